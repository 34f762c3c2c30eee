#include "driver/text.h"

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>

int append_vformat(std::string* out, const char* format, va_list ap) {
  va_list copy;
  va_copy(copy, ap);
  int n = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n < 0) return -1;
  const size_t start = out->size();
  out->resize(start + static_cast<size_t>(n) + 1);
  vsnprintf(&(*out)[start], static_cast<size_t>(n) + 1, format, ap);
  out->resize(start + static_cast<size_t>(n));
  return n;
}

int parse_int(const char* text) {
  if (!text) return 0;
  long value = strtol(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

double parse_real(const char* text) { return text ? atof(text) : 0.0; }

std::string format_real(double value) {
  // Whole values below 2^53 (sizes, counts, times) print as their digits
  // and ".000000", which is what "%f" gives for them; the rest goes through
  // snprintf. A negative zero keeps its sign through snprintf.
  if (value == std::floor(value) && std::fabs(value) < 9007199254740992.0 &&
      !(value == 0.0 && std::signbit(value))) {
    char digits[32];
    auto end = std::to_chars(digits, digits + sizeof(digits), static_cast<int64_t>(value)).ptr;
    std::string text(digits, end);
    text.append(".000000");
    return text;
  }
  char buffer[512];
  int n = snprintf(buffer, sizeof(buffer), "%f", value);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof(buffer)) return std::string(buffer, static_cast<size_t>(n));
  std::string text(static_cast<size_t>(n) + 1, '\0');
  snprintf(&text[0], text.size(), "%f", value);
  text.resize(static_cast<size_t>(n));
  return text;
}

std::string format_int(int value) {
  char digits[16];
  return std::string(digits, std::to_chars(digits, digits + sizeof(digits), value).ptr);
}

int truncate_to_int(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 2147483647.0) return INT_MAX;
  if (value <= -2147483648.0) return INT_MIN;
  return static_cast<int>(value);
}
