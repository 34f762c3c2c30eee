#include "driver/clock.h"

#include <ctime>

#include "platform/platform.h"
#include "util.h"

int64_t Clock::now() { return static_cast<int64_t>(time(nullptr)); }

void Clock::sleep_ms(uint32_t ms) { platform::sleep_ms(ms); }

void Clock::runtime_sleep(double seconds) { boinc_sleep(seconds); }
