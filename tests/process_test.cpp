// The collector as a program: started in a directory in test mode, against
// the fake client as a process of its own, in real time.
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/fakes/process.h"
#include "tests/fakes/test_support.h"

namespace {

const char kScript[] =
    "project http://localhost/testproj/ \"Test Project\" hostid=202\n"
    "app worker Worker\n"
    "app_version worker 100 platform=x86_64-pc-linux-gnu\n"
    "workunit w1 worker\n"
    "result w1_0 w1 http://localhost/testproj/ executing slot=1 current_cpu_time=12.5\n"
    "result w2_0 w1 http://localhost/testproj/ executing slot=2\n";

std::vector<std::string> cycle_lines(const std::string& text) {
  std::vector<std::string> found;
  for (const std::string& line : split_lines(text)) {
    if (line.find(": cycle") != std::string::npos) found.push_back(line);
  }
  return found;
}

TEST(CollectorProgram, ShortWorkUnitInRealTime) {
  TempDir dir;
  Process client;
  int port = start_fake_client(&client, dir.path(), kScript);
  ASSERT_GT(port, 0);
  make_dirs(dir.path() + "/slot");
  Process collector;
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(collector.start({COLLECTOR_BIN, "-t", dir.path(), "-p", std::to_string(port), "-c",
                               "2", "-n", "3"},
                              dir.path() + "/slot", dir.path() + "/console.txt"));
  ASSERT_TRUE(collector.wait(60));
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_TRUE(WIFEXITED(collector.status()));
  EXPECT_EQ(0, WEXITSTATUS(collector.status()));
  std::string out = read_file(dir.path() + "/slot/out");
  EXPECT_EQ(3u, cycle_lines(out).size()) << out;
  EXPECT_EQ(1u, lines_starting(out, "hostid;1").size());
  EXPECT_EQ(1u, lines_starting(out, "p_model;cpu;5;4").size());
  EXPECT_EQ(2u, lines_starting(out, "Activetask\t").size());
  std::vector<std::string> counters = split_lines(read_file(dir.path() + "/slot/checkpoint"));
  ASSERT_EQ(5u, counters.size());
  EXPECT_EQ("3", counters[0]);
  EXPECT_EQ(std::to_string(out.size()), counters[3]);
  EXPECT_EQ("1", counters[4]);
  // Three cycles 2 s apart, the watch of the last one, then the runtime's own
  // pause in boinc_finish.
  EXPECT_GE(wall, 6.0);
  // Reported, not asserted: the loop sleeps rather than spins.
  printf("[ figures  ] wall %.2f s, user+system CPU %.3f s (%.2f %% of the wall time)\n", wall,
         collector.cpu_seconds(), 100.0 * collector.cpu_seconds() / wall);
  // Before the runtime starts, the log goes to the process's own standard
  // error; afterwards to stderr.txt in the working directory.
  EXPECT_NE(std::string::npos, read_file(dir.path() + "/console.txt").find(": initialisation"));
  std::string log = read_file(dir.path() + "/slot/stderr.txt");
  EXPECT_NE(std::string::npos, log.find("called boinc_finish(0)"));
  EXPECT_EQ(std::string::npos, log.find("Erreur"));
}

TEST(CollectorProgram, UnreachableClientStillOpensTheOutput) {
  TempDir dir;
  make_dirs(dir.path() + "/slot");
  const std::string slot = dir.path() + "/slot";
  const std::regex opening("[0-9]{2}:[0-9]{2}:[0-9]{2} \\([0-9]+\\): method 3;[0-9]+");
  for (int start = 0; start < 2; start++) {
    Process collector;
    // Port 1 on 127.0.0.1: nobody listens there.
    ASSERT_TRUE(collector.start({COLLECTOR_BIN, "-t", dir.path(), "-n", "1", "-c", "1", "-p", "1"},
                                slot));
    // Wait (bounded) for this start's opening block.
    std::vector<std::string> lines;
    for (int i = 0; i < 500; i++) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      lines = split_lines(read_file(slot + "/out"));
      if (lines_starting(read_file(slot + "/out"), "Credit_cycle;").size() ==
          static_cast<size_t>(start + 1)) {
        break;
      }
    }
    collector.kill(SIGKILL);
    ASSERT_TRUE(collector.wait(10));
    // A new task, then a resumed one (its counters file present) appending a
    // second opening block.
    ASSERT_GE(lines.size(), 3u);
    std::vector<std::string> blocks = lines_starting(read_file(slot + "/out"), "Longueur_wu;");
    EXPECT_EQ(static_cast<size_t>(start + 1), blocks.size());
    EXPECT_TRUE(std::regex_match(lines[0], opening)) << lines[0];
    EXPECT_NE("0", lines[0].substr(lines[0].rfind(';') + 1));
    EXPECT_EQ("Longueur_wu;1", lines[1]);
    EXPECT_EQ("Credit_cycle;7.000000;1", lines[2]);
    if (start == 0) {
      write_file(slot + "/checkpoint", "1\n" + std::to_string(time(nullptr)) + "\n0\n");
    }
  }
  EXPECT_NE(std::string::npos, read_file(slot + "/stderr.txt").find("can't connect to localhost"));
}

}  // namespace
