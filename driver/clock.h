// Time as the collector sees it: the wall clock in Unix seconds, the system's
// millisecond sleep and the BOINC runtime's sleep. Tests put a fake clock in
// its place, whose sleeps advance its time, so that whole work units run in
// milliseconds.
#ifndef COLLECTOR_DRIVER_CLOCK_H_
#define COLLECTOR_DRIVER_CLOCK_H_

#include <cstdint>

class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds since 1970 (time()).
  virtual int64_t now();
  // The system's millisecond sleep.
  virtual void sleep_ms(uint32_t ms);
  // The BOINC runtime's sleep (boinc_sleep), in seconds.
  virtual void runtime_sleep(double seconds);
};

#endif  // COLLECTOR_DRIVER_CLOCK_H_
