#include "driver/log.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "boinc_api.h"

namespace {
std::string* capture = nullptr;
char prefix_buffer[256];
}  // namespace

void log_printf(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  va_list copy;
  va_copy(copy, ap);
  int n = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n < 0) {
    va_end(ap);
    return;
  }
  std::vector<char> text(static_cast<size_t>(n) + 1);
  vsnprintf(text.data(), text.size(), format, ap);
  va_end(ap);
  if (capture) {
    capture->append(text.data(), static_cast<size_t>(n));
    return;
  }
  fwrite(text.data(), 1, static_cast<size_t>(n), stderr);
  fflush(stderr);
}

const char* msg_prefix() { return boinc_msg_prefix(prefix_buffer, sizeof(prefix_buffer)); }

void log_capture(std::string* sink) { capture = sink; }
