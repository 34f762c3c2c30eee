// Command line, data directory, and the restoring part of start-up.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/log.h"
#include "driver/collection_cycle.h"
#include "driver/startup.h"
#include "tests/fakes/test_support.h"

namespace {

struct CommandLineCase {
  std::vector<const char*> args;
  int port, period, count;
  double credit;
  bool test_mode;
  const char* data_directory;
};

TEST(CommandLine, Options) {
  const CommandLineCase cases[] = {
      {{"collector"}, 31416, 60, 180, 7.0, false, ""},
      {{"collector", "-c", "30", "-n", "10"}, 31416, 30, 10, 7.0, false, ""},
      {{"collector", "-p", "0"}, 0, 60, 180, 7.0, false, ""},
      {{"collector", "-n", "5", "-n", "9"}, 31416, 60, 9, 7.0, false, ""},
      {{"collector", "-g", "2.5", "-t", "/data"}, 31416, 60, 180, 2.5, true, "/data"},
      {{"collector", "-p", "x12"}, 0, 60, 180, 7.0, false, ""},       // atoi
      {{"collector", "-c", "15s"}, 31416, 15, 180, 7.0, false, ""},   // leading digits
      {{"-n", "3"}, 31416, 60, 3, 7.0, false, ""},                   // the program name too
      // A value is looked at by the later tests of the same index: "-p -c 5"
      // takes "-c" as the port (0), then "-c" itself is tested, taking 5.
      {{"collector", "-p", "-c", "5"}, 0, 5, 180, 7.0, false, ""},
      // An option without a value at the end is ignored.
      {{"collector", "-n", "4", "-c"}, 31416, 60, 4, 7.0, false, ""},
      {{"collector", "-t"}, 31416, 60, 180, 7.0, false, ""},
      {{"collector", "-t", ""}, 31416, 60, 180, 7.0, true, ""},
  };
  std::string log;
  log_capture(&log);
  for (const CommandLineCase& k : cases) {
    Settings s;
    std::vector<char*> argv;
    for (const char* a : k.args) argv.push_back(const_cast<char*>(a));
    parse_command_line(&s, static_cast<int>(argv.size()), argv.data());
    std::string where = k.args.size() > 1 ? k.args[1] : k.args[0];
    EXPECT_EQ(k.port, s.gui_rpc_port) << where;
    EXPECT_EQ(k.period, s.cycle_period) << where;
    EXPECT_EQ(k.count, s.cycle_count) << where;
    EXPECT_DOUBLE_EQ(k.credit, s.cycle_credit) << where;
    EXPECT_EQ(k.test_mode, s.test_mode) << where;
    EXPECT_EQ(k.data_directory, s.data_directory) << where;
  }
  log_capture(nullptr);
  EXPECT_EQ(
      "P: Option -c sans valeur: ignoree\n"
      "P: Option -t sans valeur: ignoree\n",
      without_prefixes(log));
}

TEST(DataDirectory, CutTwiceAtTheLastSlash) {
  const std::pair<const char*, const char*> cases[] = {
      {"/var/lib/boinc-client/slots/3", "/var/lib/boinc-client"},
      {"C:\\ProgramData\\Client\\slots\\3", "C:/ProgramData/Client"},
      {"slots/3", "slots"},  // a cut without a slash leaves the text
      {"3", "3"},
      {"/slots/3", ""},
      {"a/b/", "a"},
  };
  for (const auto& k : cases) EXPECT_EQ(k.second, derive_data_directory(k.first)) << k.first;
}

class StartUpTest : public CollectorTest {};

TEST_F(StartUpTest, NewTaskTruncatesOutputAndEmptiesPerTaskTables) {
  write_file("out", "left by an earlier attempt\n");
  write_file("cache",
             "Result\tr1\tcpu;P;A|U;x86;\n"
             "Dl_app\tA\tP;A|U;10.000000\n"
             "Project\thttp://h/p/\tP\n"
             "New wu\tP;A|U\t2\n"
             "App\tA\tU\n"
             "Platform\tA_1\tx86\n"
             "Active_project\tP\n"
             "Last_new_wu\t1600000000\n");
  c().settings.cycle_count = 10;
  c().settings.cycle_period = 30;
  ASSERT_EQ(0, open_and_restore(c()));
  std::vector<std::string> lines = split_lines(output());
  ASSERT_EQ(3u, lines.size());
  EXPECT_EQ("P: method 3;600", without_prefixes(lines[0]));  // 150 cycles per tick at 4 MHz
  EXPECT_EQ("Longueur_wu;300", lines[1]);
  EXPECT_EQ("Credit_cycle;7.000000;10", lines[2]);
  const Tables& t = c().tables;
  EXPECT_EQ(1u, t.Result.size());
  EXPECT_TRUE(t.Dl_app.empty() && t.Project.empty() && t.New_wu.empty() && t.App.empty() &&
              t.Platform.empty() && t.Active_project.empty());
  EXPECT_EQ(1600000000, t.Last_new_wu);
  EXPECT_EQ(0, c().cycle_counter);
  EXPECT_EQ(clock.now(), c().process_start_time);
}

TEST_F(StartUpTest, ResumedTaskAppendsAndKeepsItsTables) {
  write_file("out", "earlier\n");
  write_file("checkpoint", "7\n1700000000\n1690000000\n");
  write_file("cache", "Project\thttp://h/p/\tP\n");
  ASSERT_EQ(0, open_and_restore(c()));
  std::vector<std::string> lines = split_lines(output());
  ASSERT_EQ(4u, lines.size());
  EXPECT_EQ("earlier", lines[0]);
  EXPECT_EQ("Longueur_wu;10800", lines[2]);
  EXPECT_EQ("Credit_cycle;7.000000;180", lines[3]);
  EXPECT_EQ(7, c().cycle_counter);
  EXPECT_EQ(1700000000, c().cycle_start_time);
  EXPECT_EQ(clock.now(), c().process_start_time);  // the third value is replaced
  EXPECT_EQ("P", c().tables.Project["http://h/p/"]);
  // Last_new_wu was 0: it becomes the process's start.
  EXPECT_EQ(clock.now(), c().tables.Last_new_wu);
}

TEST_F(StartUpTest, CountersSayingZeroMakeANewTask) {
  write_file("checkpoint", "0\n0\n0\n");
  write_file("cache", "Project\thttp://h/p/\tP\n");
  ASSERT_EQ(0, open_and_restore(c()));
  EXPECT_TRUE(c().tables.Project.empty());
}

TEST_F(StartUpTest, OutputThatCannotBeOpenedEndsTheRunAfterReadingTheCounters) {
  write_file("checkpoint", "4\n1700000000\n0\n");
  make_dirs("out");  // a directory cannot be opened for writing
  EXPECT_EQ(1, open_and_restore(c()));
  EXPECT_EQ(4, c().cycle_counter);
  EXPECT_EQ(
      "P: output open failed:\n"
      "P: resolved name out, retval Unknown error -108\n"
      "open: Is a directory\n",
      log());
}

TEST_F(StartUpTest, NoHighResolutionCounterGivesZeroMHz) {
  platform.has_counter = false;
  ASSERT_EQ(0, open_and_restore(c()));
  EXPECT_EQ("P: method 3;0", without_prefixes(split_lines(output())[0]));
}

}  // namespace

namespace {

// A stopped task goes back to its last whole checkpoint: the output file is
// cut to the length that checkpoint recorded.
class ResumeTest : public CollectorTest {
 protected:
  void write_out(size_t checkpointed, size_t after) {
    write_file("out", std::string(checkpointed, 'c') + std::string(after, 'x'));
  }
};

TEST_F(ResumeTest, OutputGoesBackToTheCheckpointedLength) {
  write_out(100, 40);  // records of a cycle that had not checkpointed
  write_file("checkpoint", "4\n1700000000\n1690000000\n100\n0\n");
  write_file("cache", "Checkpoint\t-\t4;1700000000;100;0\n");
  ASSERT_EQ(0, open_and_restore(c()));
  std::string out = output();
  EXPECT_EQ(std::string(100, 'c'), out.substr(0, 100));
  EXPECT_EQ("Longueur_wu;10800", split_lines(out.substr(100))[1]);
  EXPECT_EQ(4, c().cycle_counter);
  EXPECT_EQ("P: Sortie ramenee de 140 a 100 octets (dernier point de reprise)\n", log());
}

TEST_F(ResumeTest, StateFileBehindTheCountersWins) {
  // Stopped between the two renames: the counters say cycle 5, the state
  // file still holds cycle 4.
  write_out(100, 60);
  write_file("checkpoint", "5\n1700000060\n1690000000\n150\n0\n");
  write_file("cache", "Delai\tr\t1;2\nCheckpoint\t-\t4;1700000000;100;0\n");
  ASSERT_EQ(0, open_and_restore(c()));
  EXPECT_EQ(4, c().cycle_counter);
  EXPECT_EQ(1700000000, c().cycle_start_time);
  EXPECT_EQ(std::string(100, 'c'), output().substr(0, 100));
  EXPECT_EQ(std::string::npos, output().find('x'));
  EXPECT_NE(std::string::npos, log().find("Reprise au point de reprise du cycle 4"));
}

TEST_F(ResumeTest, OtherTasksMarkOrOldFilesChangeNothing) {
  struct Case { const char* counters; const char* cache; size_t kept; int cycle; };
  const Case cases[] = {
      // Written before output lengths were kept: the file is only appended to.
      {"5\n1700000060\n1690000000\n", "", 160, 5},
      // Another task's mark in the shared state file is not ours.
      {"5\n1700000060\n1690000000\n150\n0\n", "Checkpoint\tother_0\t4;1;100;0\n", 150, 5},
      // A mark ahead of the counters is not a checkpoint of this task either.
      {"5\n1700000060\n1690000000\n150\n0\n", "Checkpoint\t-\t6;1;155;0\n", 150, 5},
  };
  for (const Case& k : cases) {
    new_collector();
    write_out(100, 60);
    write_file("checkpoint", k.counters);
    write_file("cache", k.cache);
    ASSERT_EQ(0, open_and_restore(c()));
    EXPECT_EQ(k.cycle, c().cycle_counter) << k.counters;
    EXPECT_EQ(std::string(100, 'c') + std::string(k.kept - 100, 'x'), output().substr(0, k.kept));
  }
}

TEST_F(ResumeTest, FinishedWorkUnitOnlyEnds) {
  write_out(300, 25);
  write_file("checkpoint", "10\n1700000000\n1690000000\n300\n1\n");
  write_file("cache", "Checkpoint\t-\t10;1700000000;300;1\n");
  ASSERT_EQ(0, open_and_restore(c()));
  EXPECT_TRUE(c().work_unit_finished);
  client.unexpected = {"get_cc_status", "get_results(all)", "get_results(active)"};
  run_collection(c());
  EXPECT_EQ(std::string(300, 'c'), output());
}

TEST_F(ResumeTest, OutputSizesComeBackFromTheLastSizesSeen) {
  write_file("checkpoint", "3\n1700000000\n0\n");
  write_file("cache",
             "Nb_file_result\tK\t2\n"
             "Nb_file_result\tL\t0\n"
             "Size_file_result\tK_0\t100.000000\n"
             "Size_file_result\tK_1\t50.000000\n"
             "Size_file_result\tK_2\t7.000000\n"  // beyond the known indexes
             "Size_file_result\tK_1_0\t9.000000\n");
  ASSERT_EQ(0, open_and_restore(c()));
  EXPECT_EQ("150.000000", c().tables.result_output_size_table.at("K"));
  EXPECT_EQ(1u, c().tables.result_output_size_table.size());
}

}  // namespace
