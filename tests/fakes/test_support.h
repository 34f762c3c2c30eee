// What most tests share: a temporary working directory, file helpers, and a
// collector wired to the fake clock, platform and client, with its log
// captured.
#ifndef COLLECTOR_TESTS_FAKES_TEST_SUPPORT_H_
#define COLLECTOR_TESTS_FAKES_TEST_SUPPORT_H_

#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/collector.h"
#include "tests/fakes/fake_client_calls.h"
#include "tests/fakes/fake_clock.h"
#include "tests/fakes/fake_platform.h"

// A fresh directory under $TMPDIR (or /tmp), made the working directory for
// the object's life and removed afterwards.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string previous_;
};

// A test run once per entry of a table of cases, each run named after its
// entry's `name`:
//   INSTANTIATE_TEST_SUITE_P(Faults, SomeTest, case_indexes<kCases>(), case_name_of<kCases>);
template <const auto& kCases>
::testing::internal::ParamGenerator<size_t> case_indexes() {
  return ::testing::Range<size_t>(0, std::size(kCases));
}
template <const auto& kCases>
std::string case_name_of(const ::testing::TestParamInfo<size_t>& info) {
  return std::string(kCases[info.param].name);
}

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& text);
bool file_exists(const std::string& path);
void make_dirs(const std::string& path);
// The names in a directory, sorted, one per line ("." and ".." left out).
std::string list_directory(const std::string& path);
std::vector<std::string> split_lines(const std::string& text);

// The log with every BOINC message prefix "HH:MM:SS (PID):" replaced by "P:".
std::string without_prefixes(const std::string& text);

// Lines of `text` that start with `start`.
std::vector<std::string> lines_starting(const std::string& text, const std::string& start);

class CollectorTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A new collector wired to the fakes, as a new process would start in the
  // same working directory.
  void new_collector();
  // Opens "out" for a new task as start-up would (test mode).
  void open_output();
  // The output file's text, after a flush.
  std::string output();
  // The log so far, prefixes replaced.
  std::string log() const { return without_prefixes(log_); }
  // How many times `text` stands in the log.
  int log_count(const std::string& text) const {
    const std::string l = log();
    int n = 0;
    for (size_t at = l.find(text); at != std::string::npos; at = l.find(text, at + 1)) n++;
    return n;
  }

  std::unique_ptr<TempDir> dir;
  FakeClock clock;
  FakePlatform platform;
  FakeClientCalls client;
  std::unique_ptr<Collector> collector;
  Collector& c() { return *collector; }
  std::string log_;
};

#endif  // COLLECTOR_TESTS_FAKES_TEST_SUPPORT_H_
