// A platform with fixed answers, recording the programs it is asked to run.
// Files are real (tests work in a temporary directory).
#ifndef COLLECTOR_TESTS_FAKES_FAKE_PLATFORM_H_
#define COLLECTOR_TESTS_FAKES_FAKE_PLATFORM_H_

#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"

class FakePlatform : public Platform {
 public:
  // The counter ticks `counter_step` per reading at `frequency` counts per
  // second; the cycle counter moves `cycles_per_tick` per counter tick.
  uint64_t frequency = 4000000;
  bool has_counter = true;
  uint64_t counter_step = 100;
  uint64_t cycles_per_tick = 150;
  int processors = 4;
  std::vector<platform::DisplayAdapter> adapters;
  std::string cwd = "/data/slots/0";
  bool cwd_readable = true;

  std::vector<std::string> programs_run;
  std::function<int(const char*)> on_run_program;  // optional: does the program's work

  int counter_frequency(uint64_t* hz) override {
    if (!has_counter) return -1;
    *hz = frequency;
    return 0;
  }
  uint64_t counter_now() override {
    counter_ += counter_step;
    return counter_;
  }
  uint64_t cycle_counter() override { return counter_ * cycles_per_tick; }
  int logical_processor_count() override { return processors; }
  int display_adapter(int index, platform::DisplayAdapter* adapter) override {
    if (index < 0 || static_cast<size_t>(index) >= adapters.size()) return -1;
    *adapter = adapters[static_cast<size_t>(index)];
    return 0;
  }
  int working_directory(std::string* dir) override {
    if (!cwd_readable) return -1;
    *dir = cwd;
    return 0;
  }
  int run_program(const char* command) override {
    programs_run.push_back(command);
    return on_run_program ? on_run_program(command) : 0;
  }

 private:
  uint64_t counter_ = 0;
};

#endif  // COLLECTOR_TESTS_FAKES_FAKE_PLATFORM_H_
