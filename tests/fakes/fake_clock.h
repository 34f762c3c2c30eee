// A clock whose sleeps advance its own time: pacing and whole work units run
// in milliseconds. Every sleep is recorded.
#ifndef COLLECTOR_TESTS_FAKES_FAKE_CLOCK_H_
#define COLLECTOR_TESTS_FAKES_FAKE_CLOCK_H_

#include <cstdint>
#include <functional>
#include <vector>

#include "driver/clock.h"

class FakeClock : public Clock {
 public:
  explicit FakeClock(int64_t start_seconds = 1700000000) : now_ms_(start_seconds * 1000) {}

  int64_t now() override { return now_ms_ / 1000; }
  void sleep_ms(uint32_t ms) override {
    sleeps_ms.push_back(ms);
    advance_ms(ms);
  }
  void runtime_sleep(double seconds) override {
    runtime_sleeps++;
    advance_ms(static_cast<int64_t>(seconds * 1000.0));
  }

  void advance(int64_t seconds) { advance_ms(seconds * 1000); }
  void advance_ms(int64_t ms) {
    now_ms_ += ms;
    if (on_advance) on_advance(now());
  }
  void set(int64_t seconds) { now_ms_ = seconds * 1000; }
  int64_t now_ms() const { return now_ms_; }

  std::vector<uint32_t> sleeps_ms;  // every sleep_ms, in order
  int runtime_sleeps = 0;           // calls of runtime_sleep
  std::function<void(int64_t)> on_advance;

 private:
  int64_t now_ms_;
};

#endif  // COLLECTOR_TESTS_FAKES_FAKE_CLOCK_H_
