// parse_command_line with an arbitrary argument vector, against a model of
// the option rules.
//
// Input: the arguments separated by NUL bytes (at most 64; the first is the
// program name, which is compared like the others). Each argument lives in
// an allocation of its own size and the vector holds exactly argc pointers,
// so a read past either is reported by ASan.
//
// The model: the index runs over every argument; at each index "-p", "-c",
// "-n", "-g" and "-t" are tested one after the other, each taking the next
// argument as its value and leaving the index on it (so the later tests of
// the same index look at the value); an option that is the last argument is
// ignored; the last occurrence wins.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/collector.h"
#include "driver/startup.h"
#include "driver/text.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

Settings model(const std::vector<std::string>& args) {
  Settings s;
  const size_t n = args.size();
  for (size_t i = 0; i < n; i++) {
    const char* names[] = {"-p", "-c", "-n"};
    int* values[] = {&s.gui_rpc_port, &s.cycle_period, &s.cycle_count};
    for (int k = 0; k < 3; k++) {
      if (args[i] == names[k] && i + 1 < n) *values[k] = parse_int(args[++i].c_str());
    }
    if (args[i] == "-g" && i + 1 < n) s.cycle_credit = parse_real(args[++i].c_str());
    if (args[i] == "-t" && i + 1 < n) {
      s.data_directory = args[++i];
      s.test_mode = true;
    }
  }
  return s;
}

bool same_real(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || memcmp(&a, &b, sizeof(a)) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args = split_fields(data, size, 64);
  // The last field holds the rest of the input; an argument ends at a NUL.
  args.back().resize(strlen(args.back().c_str()));
  std::vector<std::unique_ptr<char[]>> storage;
  for (const std::string& arg : args) {
    // An argument cannot hold a NUL: the field ends at the first one.
    storage.emplace_back(new char[arg.size() + 1]);
    memcpy(storage.back().get(), arg.c_str(), arg.size() + 1);
  }
  std::unique_ptr<char*[]> argv(new char*[args.size()]);
  for (size_t i = 0; i < args.size(); i++) argv[i] = storage[i].get();

  quiet_log();
  Settings s;
  parse_command_line(&s, static_cast<int>(args.size()), argv.get());

  const Settings want = model(args);
  FUZZ_CHECK(s.gui_rpc_port == want.gui_rpc_port, "port " + std::to_string(s.gui_rpc_port));
  FUZZ_CHECK(s.cycle_period == want.cycle_period, "period " + std::to_string(s.cycle_period));
  FUZZ_CHECK(s.cycle_count == want.cycle_count, "count " + std::to_string(s.cycle_count));
  FUZZ_CHECK(same_real(s.cycle_credit, want.cycle_credit), "credit");
  FUZZ_CHECK(s.test_mode == want.test_mode, "test mode");
  FUZZ_CHECK(s.data_directory == want.data_directory, "data directory " + shown(s.data_directory));
  for (size_t i = 0; i < args.size(); i++) {
    FUZZ_CHECK(argv[i] == storage[i].get() && args[i] == argv[i], "the arguments are not changed");
  }
  return 0;
}
