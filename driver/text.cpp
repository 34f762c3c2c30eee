#include "driver/text.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>

int parse_int(const char* text) {
  if (!text) return 0;
  long value = strtol(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

double parse_real(const char* text) { return text ? atof(text) : 0.0; }

std::string format_real(double value) {
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
  char buffer[16];
  snprintf(buffer, sizeof(buffer), "%d", value);
  return buffer;
}

int truncate_to_int(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 2147483647.0) return INT_MAX;
  if (value <= -2147483648.0) return INT_MIN;
  return static_cast<int>(value);
}
