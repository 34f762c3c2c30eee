// Whole work units against the in-process client, with the fake clock: the
// loop's order, pacing, extensions and finish.
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/collection_cycle.h"
#include "driver/log.h"
#include "driver/startup.h"
#include "persistence/checkpoint.h"
#include "tests/fakes/client_state_xml.h"
#include "tests/fakes/test_support.h"

namespace {

class CollectionCycleTest : public CollectorTest {
 protected:
  // Runs a task in the working directory as the client would start it.
  void run_task(int count = 180, int period = 60) {
    c().settings.cycle_count = count;
    c().settings.cycle_period = period;
    ASSERT_EQ(0, open_and_restore(c()));
    run_collection(c());
  }
  std::vector<std::string> cycle_lines() {
    std::vector<std::string> found;
    for (const std::string& line : split_lines(read_file("out"))) {
      if (line.find(": cycle") != std::string::npos) found.push_back(line);
    }
    return found;
  }
};

TEST_F(CollectionCycleTest, DefaultWorkUnitRunsItsCyclesOnTime) {
  const int64_t start = clock.now();
  std::vector<double> fractions;
  std::vector<int64_t> cycle_starts;
  client.before_call = [&](const std::string& call) {
    if (call == "get_results(active)") {
      fractions.push_back(c().fraction_done);
      cycle_starts.push_back(c().cycle_start_time);
    }
  };
  run_task();
  std::vector<std::string> cycles = cycle_lines();
  ASSERT_EQ(180u, cycles.size());
  EXPECT_EQ("P: cycle1", without_prefixes(cycles.front()));
  EXPECT_EQ("P: cycle180", without_prefixes(cycles.back()));
  // Fraction done after cycle k is k/181.
  ASSERT_EQ(180u, fractions.size());
  for (int k = 1; k < 180; k++) EXPECT_DOUBLE_EQ(k / 181.0, fractions[k]) << k;
  EXPECT_DOUBLE_EQ(180 / 181.0, c().fraction_done);
  // The first cycle starts at once, the others 60 s apart.
  EXPECT_EQ(start, cycle_starts.front());
  for (size_t k = 1; k < cycle_starts.size(); k++) EXPECT_EQ(60, cycle_starts[k] - cycle_starts[k - 1]);
  // One watch pass a second while the time read before its sleep is less
  // than one second before the next cycle: passes start at +0 ... +59 s, and
  // the last one's sleep ends when the next cycle is due, so the loop head
  // has nothing left to sleep.
  EXPECT_EQ(180 * 60, clock.runtime_sleeps);
  EXPECT_TRUE(clock.sleeps_ms.empty());
  EXPECT_EQ(180, client.count("get_results(active)"));
  EXPECT_EQ(1, client.count("get_cc_status"));
  EXPECT_EQ("180\n" + std::to_string(start + 179 * 60) + "\n" + std::to_string(start) + "\n" +
                std::to_string(read_file("out").size()) + "\n1\n",
            read_file("checkpoint"));
  // Host records once, after the first cycle line.
  std::vector<std::string> lines = split_lines(read_file("out"));
  EXPECT_EQ("hostid;1", lines[4]);
  EXPECT_EQ("p_model;cpu;5;4", lines[5]);
  EXPECT_EQ(1u, lines_starting(read_file("out"), "hostid;").size());
}

TEST_F(CollectionCycleTest, StateFileRewrittenBetweenCyclesIsReadAgain) {
  // A cycle keeps the document of the one before only while the file is
  // unchanged: here the client rewrites it, with a new application, between
  // the first cycle and the second, whose new result needs the new file.
  const char url[] = "http://host/proj/";
  auto write_state = [&](bool with_b) {
    ClientStateXml state;
    state.project(url, "P", 12).app("A", "U").app_version("A", 100, "x86").workunit("wu_1", "A");
    if (with_b) state.app("B", "V").app_version("B", 100, "x86").workunit("wu_2", "B");
    state.write("client_state.xml");
  };
  write_state(false);
  // Two results from the start: a work unit whose Run table holds a single
  // entry at its end would be extended (without end, here, if the second
  // cycle's result were never taken up).
  client.active = {make_result("wu_1_0", "wu_1", url), make_result("wu_1_1", "wu_1", url)};
  int queries = 0;
  client.before_call = [&](const std::string& call) {
    if (call != "get_results(active)" || ++queries != 2) return;
    write_state(true);
    client.active.push_back(make_result("wu_2_0", "wu_2", url));
  };
  run_task(3);
  const std::string out = read_file("out");
  EXPECT_NE(std::string::npos, out.find(";delai;P;A|U;;")) << out;
  EXPECT_NE(std::string::npos, out.find(";delai;P;B|V;;")) << out;
  EXPECT_EQ(std::string::npos, log().find("(node ")) << log();
}

TEST_F(CollectionCycleTest, NetworkSuspendedAtTheEndAddsOneCycleAtATime) {
  const int64_t end_of_planned = clock.now() + 10 * 60;  // end of the 10th cycle
  client.before_call = [&](const std::string& call) {
    client.network_suspend_reason = clock.now() < end_of_planned + 300 ? 4 : 0;
  };
  run_task(10);
  EXPECT_EQ(5, log_count("Activite reseau suspendue"));
  EXPECT_EQ(15u, cycle_lines().size());
}

TEST_F(CollectionCycleTest, SingleRunEntryAddsCyclesUntilItChanges) {
  c().tables.Run["own;cpu;P;A|U;x86;nci"] = 0.0;
  write_file("cache", "Run\town;cpu;P;A|U;x86;nci\t0.000000\n");
  int cc_calls = 0;
  client.before_call = [&](const std::string& call) {
    if (call != "get_cc_status") return;
    if (++cc_calls == 4) c().tables.Run["other;cpu;P;A|U;x86;"] = 1.0;
  };
  run_task(3);
  EXPECT_EQ(3, log_count("Aucun projet actif"));
  EXPECT_EQ(6u, cycle_lines().size());
  // The finish reports both entries and empties the table.
  EXPECT_EQ(2u, lines_starting(without_prefixes(read_file("out")), std::to_string(c().cycle_start_time) + ";run;").size());
  EXPECT_EQ(std::string::npos, read_file("cache").find("Run\t"));
}

TEST_F(CollectionCycleTest, UnreachableClientAtTheEndKeepsExtendingWithPacing) {
  const int64_t unreachable_until = clock.now() + 2 * 60 + 200;
  client.before_call = [&](const std::string& call) {
    client.reachable = clock.now() >= unreachable_until;
  };
  run_task(3);
  EXPECT_GE(log_count("Erreur reception cc_status"), 2);
  EXPECT_GT(cycle_lines().size(), 3u);
  // Never two exchanges within 31 s after a failure.
  EXPECT_GE(log_count("Mise en veille"), 1);
  for (uint32_t ms : clock.sleeps_ms) EXPECT_LE(ms, 60000u);
}

TEST_F(CollectionCycleTest, FailedActiveResultsQueryStillCheckpoints) {
  client.request_error = -102;
  client.before_call = [&](const std::string& call) {
    client.request_error = call == "get_results(active)" && c().cycle_counter == 2 ? -102 : 0;
  };
  run_task(3);
  EXPECT_EQ(1, log_count("Erreur reception active_result"));
  EXPECT_EQ(3u, cycle_lines().size());
  EXPECT_EQ("3\n", read_file("checkpoint").substr(0, 2));
}

TEST_F(CollectionCycleTest, RestartTwentySecondsIntoACheckpointedCycleWaitsTheRest) {
  const int64_t now = clock.now();
  write_file("checkpoint", "5\n" + std::to_string(now - 20) + "\n" + std::to_string(now - 400) + "\n");
  int first_cycle = 0;
  client.before_call = [&](const std::string& call) {
    if (!first_cycle && call == "get_results(active)") first_cycle = c().cycle_counter;
  };
  run_task(6);
  ASSERT_FALSE(clock.sleeps_ms.empty());
  EXPECT_EQ(40000u, clock.sleeps_ms.front());
  EXPECT_EQ(6, first_cycle);
  std::vector<std::string> lines = split_lines(read_file("out"));
  EXPECT_EQ("Longueur_wu;360", lines[1]);  // the opening block is written again
}

TEST_F(CollectionCycleTest, RestartAfterAnUncheckpointedCycleRunsItAgainAtOnce) {
  const int64_t now = clock.now();
  write_file("checkpoint", "5\n" + std::to_string(now - 95) + "\n0\n");
  write_file("out", "12:00:00 (99): cycle6\n");
  run_task(6);
  EXPECT_TRUE(clock.sleeps_ms.empty() || clock.sleeps_ms.front() != 40000u);
  std::vector<std::string> cycles = cycle_lines();
  ASSERT_EQ(2u, cycles.size());
  EXPECT_EQ("P: cycle6", without_prefixes(cycles[1]));
}

TEST_F(CollectionCycleTest, RestartAfterAllPlannedCyclesFinishesWithoutACycle) {
  write_file("checkpoint", "180\n" + std::to_string(clock.now() - 30) + "\n0\n");
  write_file("cache", "Dl_app\tA\tP;A|U;100.000000\n");
  run_task();
  EXPECT_TRUE(cycle_lines().empty());
  // The client's status, then the count of arrivals (the test directory has
  // no client_state.xml, so the client's state comes over GUI RPC).
  EXPECT_EQ(std::vector<std::string>({"get_cc_status", "get_results(all)", "get_state"}),
            client.calls);
  EXPECT_EQ(1u, lines_starting(read_file("out"), std::to_string(clock.now() - 30) + ";Dl_app;P;A|U;100.000000;").size());
}

TEST_F(CollectionCycleTest, RestartAfterAllPlannedCyclesWithNetworkSuspendedRunsOneMore) {
  write_file("checkpoint", "3\n" + std::to_string(clock.now() - 30) + "\n0\n");
  client.network_suspend_reason = 4;
  client.before_call = [&](const std::string& call) {
    if (call == "get_results(active)") client.network_suspend_reason = 0;
  };
  run_task(3);
  EXPECT_EQ(1, log_count("Activite reseau suspendue"));
  ASSERT_EQ(1u, cycle_lines().size());
  EXPECT_EQ("P: cycle4", without_prefixes(cycle_lines()[0]));
}

TEST_F(CollectionCycleTest, MissingHostIdCutsEveryCycleShort) {
  c().settings.test_mode = false;  // host data from the (empty) init data
  client.unexpected = {"get_results(active)", "get_cc_status", "get_host_info"};
  run_task(4);
  EXPECT_EQ(4u, cycle_lines().size());
  EXPECT_TRUE(lines_starting(read_file("out"), "hostid;").empty());
  EXPECT_EQ(0.0, c().fraction_done);  // no progress reported, so no checkpoint
  EXPECT_EQ(0, clock.runtime_sleeps);  // no output watch
  EXPECT_EQ("4\n", read_file("checkpoint").substr(0, 2));  // the finish's checkpoint
}

TEST_F(CollectionCycleTest, SlowCycleSkipsTheWatchAndStartsTheNextAtOnce) {
  client.before_call = [&](const std::string& call) {
    if (call == "get_results(active)" && c().cycle_counter == 1) clock.advance(75);
  };
  run_task(2);
  EXPECT_EQ(60, clock.runtime_sleeps);  // only the second cycle watches
  std::vector<std::string> cycles = cycle_lines();
  EXPECT_EQ(2u, cycles.size());
}

}  // namespace
