#include "driver/log.h"

#include <cstdarg>
#include <cstdio>

#include "boinc_api.h"
#include "driver/text.h"

namespace {
std::string* capture = nullptr;
char prefix_buffer[256];
}  // namespace

void log_printf(const char* format, ...) {
  std::string text;
  va_list ap;
  va_start(ap, format);
  int n = append_vformat(&text, format, ap);
  va_end(ap);
  if (n < 0) return;
  if (capture) {
    capture->append(text);
    return;
  }
  fwrite(text.data(), 1, text.size(), stderr);
  fflush(stderr);
}

const char* msg_prefix() { return boinc_msg_prefix(prefix_buffer, sizeof(prefix_buffer)); }

void log_capture(std::string* sink) { capture = sink; }
