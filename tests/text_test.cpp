// The number formats of records and of the state file must stay those of
// printf's "%f" and "%d", whatever shortcut produces them.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "driver/text.h"

namespace {

std::string printf_f(double value) {
  char buffer[512];
  snprintf(buffer, sizeof(buffer), "%f", value);
  return buffer;
}

TEST(FormatReal, SameAsPrintfF) {
  const double cases[] = {0.0,
                          -0.0,
                          1.0,
                          -1.0,
                          0.5,
                          -0.5,
                          1e-7,
                          -1e-7,
                          12000.0,
                          2097152000.0,
                          1797008151.0,
                          123456789012345.0,
                          9007199254740991.0,   // 2^53 - 1
                          9007199254740992.0,   // 2^53: printf's way
                          -9007199254740991.0,
                          -9007199254740992.0,
                          1e300,
                          -1e300,
                          static_cast<double>(LLONG_MAX),
                          std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity(),
                          std::numeric_limits<double>::quiet_NaN(),
                          std::numeric_limits<double>::denorm_min(),
                          7.726021,
                          9.0239345};
  for (double value : cases) EXPECT_EQ(format_real(value), printf_f(value)) << value;

  // Whole and fractional values of every magnitude, both signs.
  std::mt19937_64 random(20261211);
  for (int i = 0; i < 200000; i++) {
    double value;
    switch (i % 4) {
      case 0:
        value = static_cast<double>(static_cast<int64_t>(random() >> (random() % 64)));
        break;
      case 1:
        value = std::ldexp(static_cast<double>(random() >> 11), static_cast<int>(random() % 120) - 60);
        break;
      case 2:
        value = std::floor(std::ldexp(static_cast<double>(random() >> 11), static_cast<int>(random() % 20)));
        break;
      default: {
        uint64_t bits = random();
        memcpy(&value, &bits, sizeof(value));
        break;
      }
    }
    if (i % 3 == 0) value = -value;
    ASSERT_EQ(format_real(value), printf_f(value)) << value;
  }
}

TEST(FormatInt, SameAsPrintfD) {
  const int cases[] = {0, 1, -1, 9, 10, -10, 2595, INT_MAX, INT_MIN, INT_MAX - 1, INT_MIN + 1};
  for (int value : cases) {
    char buffer[16];
    snprintf(buffer, sizeof(buffer), "%d", value);
    EXPECT_EQ(format_int(value), buffer);
  }
}

}  // namespace
