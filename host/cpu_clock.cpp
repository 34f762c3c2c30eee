#include "host/cpu_clock.h"

#include <cstdint>

#include "driver/collector.h"
#include "driver/text.h"

int measure_cpu_mhz(Collector& c) {
  uint64_t frequency = 0;
  if (c.platform->counter_frequency(&frequency) != 0) return 0;
  uint64_t cycles_start = c.platform->cycle_counter();
  uint64_t counter_start = c.platform->counter_now();
  for (;;) {
    uint64_t elapsed = c.platform->counter_now() - counter_start;
    if ((elapsed >> 32) != 0 || static_cast<uint32_t>(elapsed) >= 10000) break;
  }
  uint64_t cycles_end = c.platform->cycle_counter();
  uint64_t counter_end = c.platform->counter_now();
  double mhz = static_cast<double>(cycles_end - cycles_start) * static_cast<double>(frequency) /
               static_cast<double>(counter_end - counter_start) / 1000000.0;
  return truncate_to_int(mhz);
}
