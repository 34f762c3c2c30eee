// The client misbehaving under the collector, on the wire: the collector's
// real client calls (RPC_CLIENT) against the loopback fake client, with the
// fake clock wherever waiting matters. The client goes away for minutes,
// restarts in the middle of a cycle, cuts a reply in the middle, answers
// <error>, or never answers; its client_state.xml is missing for a moment,
// cut short, not well-formed or huge. In every case the collector goes on to
// the end of its work unit and keeps every entry of its tables.
#include <chrono>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "client/client_calls.h"
#include "driver/collection_cycle.h"
#include "driver/startup.h"
#include "persistence/checkpoint.h"
#include "tests/fakes/client_state_xml.h"
#include "tests/fakes/fake_gui_rpc_server.h"
#include "tests/fakes/test_support.h"

namespace {

const char kUrl[] = "http://localhost/faults/";
const char kPlatform[] = "x86_64-pc-linux-gnu";

// The collector's real client calls, watched: each call is recorded with
// the fake clock's time and its result, and a hook runs before it.
class WatchedCalls : public ClientCalls {
 public:
  struct Call {
    std::string name;
    int64_t time;
    int result;
  };
  WatchedCalls(ClientCalls* inner, Clock* clock) : inner_(inner), clock_(clock) {}

  int exchange_versions(VERSION_INFO& v) override {
    return watch("exchange_versions", [&] { return inner_->exchange_versions(v); });
  }
  int get_cc_status(CC_STATUS& s) override {
    return watch("get_cc_status", [&] { return inner_->get_cc_status(s); });
  }
  int get_host_info(HOST_INFO& h) override {
    return watch("get_host_info", [&] { return inner_->get_host_info(h); });
  }
  int get_results(RESULTS& r, bool active_only) override {
    return watch(active_only ? "get_results_active" : "get_results_all",
                 [&] { return inner_->get_results(r, active_only); });
  }
  int get_state(CC_STATE& s) override {
    return watch("get_state", [&] { return inner_->get_state(s); });
  }

  std::function<void(const std::string& call)> before;
  std::vector<Call> calls;

 private:
  template <typename Request>
  int watch(const char* name, Request request) {
    if (before) before(name);
    int64_t time = clock_->now();
    int result = request();
    calls.push_back({name, time, result});
    return result;
  }
  ClientCalls* inner_;
  Clock* clock_;
};

// The state tables' entries, "tag<TAB>key" -> value, as the state file
// holds them.
std::map<std::string, std::string> entries(const Tables& t) {
  std::map<std::string, std::string> found;
  for (const std::string& line : split_lines(format_state_file(t))) {
    size_t tab = line.find('\t');
    const std::string tag = line.substr(0, tab);
    if (tag == "Checkpoint" || tag == "Last_new_wu" || tag == "Activetask") continue;
    size_t second = line.find('\t', tab + 1);
    found[line.substr(0, second)] = second == std::string::npos ? "" : line.substr(second + 1);
  }
  return found;
}

// Every entry of `before` is still in `after`; those that never change while
// a result is followed keep their values. w3, completed in cycle 3, is left
// out.
void expect_nothing_lost(const std::map<std::string, std::string>& before,
                         const std::map<std::string, std::string>& after) {
  static const std::set<std::string> fixed = {"Delai", "Result", "Dir", "Project", "App",
                                              "Platform", "Dl_app", "Download", "Active_project"};
  ASSERT_FALSE(before.empty());
  for (const auto& entry : before) {
    if (entry.first.find("w3_0") != std::string::npos) continue;
    auto kept = after.find(entry.first);
    if (kept == after.end()) {
      ADD_FAILURE() << "entry lost: " << entry.first;
      continue;
    }
    if (fixed.count(entry.first.substr(0, entry.first.find('\t')))) {
      EXPECT_EQ(entry.second, kept->second) << entry.first;
    }
  }
}

// The client: the collector's own task and two workers execute all along;
// w3 executes in cycles 1 and 2 and has finished from cycle 3 on.
class ClientFaultsTest : public CollectorTest {
 protected:
  void SetUp() override {
    CollectorTest::SetUp();
    ASSERT_TRUE(server.start());
    port = server.port();
    set_cycle(1);
    c().rpc_client.set_port(port);
    calls.reset(new WatchedCalls(&c().rpc_client, &clock));
    c().client = calls.get();
    calls->before = [this](const std::string& call) {
      const int n = c().cycle_counter;
      set_cycle(n);
      if (call == "get_results_active") {
        tables_at[n] = entries(c().tables);
        if (at_cycle) at_cycle(n);
      }
    };
    write_state_file_of_client(1);
    make_dirs(dir->path() + "/projects/localhost_faults");
    write_file(dir->path() + "/projects/localhost_faults/worker_app", std::string(4096, 'a'));
  }
  void TearDown() override {
    server.stop();
    CollectorTest::TearDown();
  }

  std::vector<RESULT> results(int n) const {
    std::vector<RESULT> list;
    for (const char* wu : {"own", "w1", "w2"}) {
      const int slot = static_cast<int>(list.size());
      list.push_back(make_executing(std::string(wu) + "_0", wu, kUrl, slot));
    }
    if (n <= 2) {
      list.push_back(make_executing("w3_0", "w3", kUrl, 3));
    } else {
      list.push_back(make_finished_result("w3_0", "w3", kUrl, 30.0, 31.0));
    }
    for (RESULT& r : list) snprintf(r.platform, sizeof(r.platform), "%s", kPlatform);
    return list;
  }

  // The model for cycle n.
  void set_cycle(int n) {
    server.edit([this, n](FakeClientModel& m) {
      m = FakeClientModel();
      m.add_project(kUrl, "Faults", 42);
      m.add_app("worker", "Worker");
      m.add_app_version("worker", 100, kPlatform);
      for (const char* wu : {"own", "w1", "w2", "w3"}) m.add_workunit(wu, "worker");
      m.set_results(results(n));
    });
  }

  // client_state.xml as the client writes it in cycle n.
  ClientStateXml client_state(int n) const {
    ClientStateXml xml;
    xml.project(kUrl, "Faults", 42)
        .app("worker", "Worker")
        .app_version("worker", 100, kPlatform, {"worker_app"});
    for (const char* wu : {"own", "w1", "w2", "w3"}) xml.workunit(wu, "worker");
    for (const char* name : {"own", "w1", "w2"}) xml.result(std::string(name) + "_0", name, 2);
    if (n <= 2) {
      xml.result("w3_0", "w3", 2);
    } else {
      xml.result("w3_0", "w3", 5, "30.000000", "31.000000");
    }
    return xml;
  }
  std::string state_path() const { return dir->path() + "/client_state.xml"; }
  void write_state_file_of_client(int n) { client_state(n).write(state_path()); }

  void run_task(int count, int period = 60) {
    c().settings.cycle_count = count;
    c().settings.cycle_period = period;
    ASSERT_EQ(0, open_and_restore(c()));
    run_collection(c());
  }

  int requests(RpcKind kind) const { return server.count(kind); }

  // The work unit ended: its finish is checkpointed.
  void expect_finished() {
    std::vector<std::string> counters = split_lines(read_file("checkpoint"));
    ASSERT_EQ(5u, counters.size());
    EXPECT_EQ("1", counters[4]);
    EXPECT_EQ(3u, lines_starting(read_file("out"), "Activetask\t").size());
  }

  size_t count_lines(const std::string& text) {
    size_t n = 0;
    for (const std::string& line : split_lines(read_file("out"))) {
      if (line.find(text) != std::string::npos) n++;
    }
    return n;
  }

  FakeGuiRpcServer server;
  int port = 0;
  std::unique_ptr<WatchedCalls> calls;
  std::map<int, std::map<std::string, std::string>> tables_at;  // at each cycle's query
  std::function<void(int cycle)> at_cycle;
};

// The client is gone for five minutes of a work unit of 10-second cycles:
// every call fails at once (connection refused), the calls come 31 seconds
// apart, each after one sleep, and the work unit resumes when the client is
// back.
TEST_F(ClientFaultsTest, UnreachableForMinutesIsPacedEvery31Seconds) {
  const int64_t start = clock.now();
  const int64_t down = start + 150, up = down + 300;
  bool stopped = false, restarted = false;
  std::map<std::string, std::string> before;
  clock.on_advance = [&](int64_t now) {
    if (!stopped && now >= down) {
      before = entries(c().tables);
      server.stop();
      stopped = true;
    }
    if (stopped && !restarted && now >= up) restarted = server.start(port);
  };
  at_cycle = [&](int n) { write_state_file_of_client(n); };
  const size_t sleeps_before = clock.sleeps_ms.size();
  run_task(60, 10);
  ASSERT_TRUE(stopped && restarted);

  std::vector<int64_t> failed;
  for (const WatchedCalls::Call& call : calls->calls) {
    if (call.result == -1) failed.push_back(call.time);
  }
  // Five minutes at one call per 31 seconds: about ten calls, not a loop.
  EXPECT_GE(failed.size(), 9u);
  EXPECT_LE(failed.size(), 11u);
  for (size_t i = 1; i < failed.size(); i++) EXPECT_EQ(31, failed[i] - failed[i - 1]) << i;
  EXPECT_EQ(static_cast<int>(failed.size()), log_count("can't connect to localhost"));
  // One sleep before each paced call, none longer than the spacing.
  EXPECT_EQ(static_cast<int>(failed.size()), log_count("Mise en veille"));
  for (uint32_t ms : clock.sleeps_ms) EXPECT_LE(ms, 31000u);
  EXPECT_LE(clock.sleeps_ms.size() - sleeps_before, failed.size() + 2u);
  // The first call after the client came back succeeded, and nothing the
  // tables held before the outage was lost.
  bool after_up = false;
  for (const WatchedCalls::Call& call : calls->calls) {
    if (call.time >= up) {
      EXPECT_EQ(0, call.result) << call.name;
      after_up = true;
      break;
    }
  }
  EXPECT_TRUE(after_up);
  expect_nothing_lost(before, tables_at.rbegin()->second);
  expect_finished();
  printf("[ figures  ] client gone for 300 s: %zu calls failed, 31 s apart, %zu sleeps\n",
         failed.size(), clock.sleeps_ms.size() - sleeps_before);
}

struct PeerFaultCase {
  const char* name;
  RpcKind kind;
  std::vector<RpcStep> steps;
  const char* logged;  // a line the fault must leave in the log
  bool file;           // client_state.xml present
};

const PeerFaultCase kPeerFaults[] = {
    // The client restarts as the cycle's first exchange arrives: the
    // connection closes unanswered, then nobody listens for a moment.
    {"RestartAtActiveResults", RpcKind::get_results_active,
     {RpcStep::answer(), RpcStep::refuse(300), RpcStep::answer()},
     "Erreur reception active_result", true},
    // ... or in the middle of the per-result pass, when the pass asks for
    // the client's state over GUI RPC (no client_state.xml).
    {"RestartAtState", RpcKind::get_state,
     {RpcStep::answer(), RpcStep::refuse(300), RpcStep::answer()}, "Erreur reception state (",
     false},
    {"ActiveResultsCut", RpcKind::get_results_active,
     {RpcStep::answer(), RpcStep::cut(), RpcStep::answer()}, "Erreur reception active_result",
     true},
    {"ActiveResultsClosed", RpcKind::get_results_active,
     {RpcStep::answer(), RpcStep::close(), RpcStep::answer()},
     "Erreur reception active_result", true},
    {"StateCut", RpcKind::get_state, {RpcStep::answer(), RpcStep::cut(200), RpcStep::answer()},
     "Erreur reception state (", false},
    // An <error> reply is a success for the library, with empty records:
    // the lookups of that pass find nothing.
    {"StateError", RpcKind::get_state, {RpcStep::answer(), RpcStep::error(), RpcStep::answer()},
     "", false},
    // The completion of w3 in cycle 3 without client_state.xml asks for all
    // results; their reply is cut, and the completion waits a cycle.
    {"AllResultsCut", RpcKind::get_results_all,
     {RpcStep::cut(), RpcStep::answer()}, "Erreur wu_terminee (chargement state)", false},
    {"HostInfoCut", RpcKind::get_host_info, {RpcStep::cut(), RpcStep::answer()},
     "Erreur reception host_info", true},
    {"HostInfoError", RpcKind::get_host_info, {RpcStep::error(), RpcStep::answer()},
     "Erreur reception host_info", true},
    {"StatusCut", RpcKind::get_cc_status, {RpcStep::cut(), RpcStep::answer()},
     "Erreur reception cc_status", true},
    {"StatusRefused", RpcKind::get_cc_status, {RpcStep::refuse(300), RpcStep::answer()},
     "Erreur reception cc_status", true},
};

class PeerFaultTest : public ClientFaultsTest, public ::testing::WithParamInterface<size_t> {};

// One fault, on the request named, in a work unit of five one-minute
// cycles: logged, then the next exchange (paced when it comes within 31 s)
// succeeds, every table entry is kept, w3's completion is recorded once, and
// the work unit ends.
TEST_P(PeerFaultTest, LogsGoesOnAndKeepsEveryEntry) {
  const PeerFaultCase& k = kPeerFaults[GetParam()];
  if (!k.file) remove(state_path().c_str());
  server.script(k.kind, k.steps);
  // A refusal lasts 300 ms of real time: the collector's next exchange
  // comes after a sleep of the fake clock, when the client listens again.
  clock.on_advance = [&](int64_t) {
    for (int i = 0; i < 300 && !server.listening(); i++) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  };
  at_cycle = [&](int n) {
    if (k.file) write_state_file_of_client(n);
  };
  run_task(5);
  if (*k.logged) {
    EXPECT_GE(log_count(k.logged), 1) << log();
  }
  EXPECT_EQ(0, log_count("checkpoint failed"));
  ASSERT_TRUE(tables_at.count(2) && tables_at.count(5));
  expect_nothing_lost(tables_at[2], tables_at[5]);
  EXPECT_EQ(1u, count_lines(";run;w3_0;"));
  expect_finished();
  // The faulty step was used.
  EXPECT_GE(requests(k.kind), static_cast<int>(k.steps.size()) - 1);
}

INSTANTIATE_TEST_SUITE_P(Faults, PeerFaultTest, case_indexes<kPeerFaults>(),
                         case_name_of<kPeerFaults>);

// The one slow test: in cycle 2 the client takes the request for the active
// results and never answers. RPC_CLIENT gives up after its 30 seconds; the
// cycle is logged as failed and nothing else changes.
TEST_F(ClientFaultsTest, ReplyThatNeverComesEndsAtTheLibraryTimeout) {
  server.script(RpcKind::get_results_active,
                {RpcStep::answer(), RpcStep::silent(), RpcStep::answer()});
  at_cycle = [&](int n) { write_state_file_of_client(n); };
  auto began = std::chrono::steady_clock::now();
  run_task(4);
  const double waited =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  EXPECT_EQ(1, log_count("Erreur reception active_result"));
  int failed = 0;
  for (const WatchedCalls::Call& call : calls->calls) {
    if (call.name == "get_results_active" && call.result != 0) failed++;
  }
  EXPECT_EQ(1, failed);
  expect_nothing_lost(tables_at[2], tables_at[4]);
  EXPECT_EQ(1u, count_lines(";run;w3_0;"));
  expect_finished();
  printf("[ figures  ] reply that never came: the work unit took %.1f s of real time\n", waited);
}

struct StateFileCase {
  const char* name;
  // Spoils client_state.xml (path) at the start of cycle 3.
  std::function<void(const std::string& path, const std::string& good)> spoil;
  bool fallback;  // the lookups of cycle 3 must come over GUI RPC
};

std::string cut_text(const std::string& good) { return good.substr(0, good.size() * 2 / 3); }

// A whole, valid file of tens of megabytes: the client's state with many
// other work units and results.
std::string huge_text(const std::string& good) {
  std::string padding;
  padding.reserve(40u << 20);
  for (int i = 0; padding.size() < (32u << 20); i++) {
    const std::string n = std::to_string(i);
    padding += "<workunit>\n    <name>pad_" + n + "</name>\n    <app_name>other</app_name>\n" +
               "    <file_ref>\n        <file_name>pad_" + n + "_in</file_name>\n" +
               "    </file_ref>\n</workunit>\n<result>\n    <name>pad_" + n +
               "_0</name>\n    <state>2</state>\n    <wu_name>pad_" + n +
               "</wu_name>\n</result>\n";
  }
  std::string text = good;
  text.insert(text.find("<project>"), padding);
  return text;
}

const StateFileCase kStateFileFaults[] = {
    // The client replaces the file with a rename: for a moment there is none.
    {"Missing", [](const std::string& path, const std::string&) { remove(path.c_str()); }, true},
    {"Truncated",
     [](const std::string& path, const std::string& good) { write_file(path, cut_text(good)); },
     true},
    {"NotWellFormed",
     [](const std::string& path, const std::string& good) {
       std::string text = good;
       text.replace(text.find("</project>"), 10, "</projet>");
       write_file(path, text);
     },
     true},
    {"Empty", [](const std::string& path, const std::string&) { write_file(path, ""); }, true},
    {"Huge",
     [](const std::string& path, const std::string& good) { write_file(path, huge_text(good)); },
     false},
};

class StateFileFaultTest : public ClientFaultsTest,
                           public ::testing::WithParamInterface<size_t> {};

// client_state.xml spoiled during cycle 3, the cycle that also completes w3:
// the lookups of that cycle come over GUI RPC instead (or from the huge file
// itself), without an error; w3's completion is recorded; nothing is lost.
TEST_P(StateFileFaultTest, LookupsFallBackAndNothingIsLost) {
  const StateFileCase& k = kStateFileFaults[GetParam()];
  int state_requests = -1, all_requests = -1;
  at_cycle = [&](int n) {
    if (n == 3) {
      k.spoil(state_path(), client_state(3).text());
      state_requests = requests(RpcKind::get_state);
      all_requests = requests(RpcKind::get_results_all);
    } else {
      if (n == 4) {
        EXPECT_EQ(k.fallback, requests(RpcKind::get_state) > state_requests) << "get_state";
        EXPECT_EQ(k.fallback, requests(RpcKind::get_results_all) > all_requests) << "all results";
      }
      write_state_file_of_client(n);
    }
  };
  run_task(5);
  EXPECT_EQ(0, log_count("Erreur")) << log();
  expect_nothing_lost(tables_at[2], tables_at[5]);
  EXPECT_EQ(1u, count_lines(";run;w3_0;"));
  // The final times as the source gives them: the file's texts, or whole
  // seconds from the client's records.
  const std::string times = k.fallback ? ";30;31;" : ";30.000000;31.000000;";
  EXPECT_EQ(1u, count_lines(";duree|w3;cpu;Faults;worker|Worker;x86_64-pc-linux-gnu;" + times));
  expect_finished();
}

INSTANTIATE_TEST_SUITE_P(Faults, StateFileFaultTest, case_indexes<kStateFileFaults>(),
                         case_name_of<kStateFileFaults>);

// An <error> reply to the request for the active results is a success for
// the library, with an empty list: taken as it is, the completion pass would
// take every followed task for one that has left the client, write its
// completion records in the middle of its run and forget it. The collector
// knows its own task (init data), which the client always lists: an answer
// without it is a failed query.
TEST_F(ClientFaultsTest, ErrorReplyToActiveResultsForgetsNothing) {
  snprintf(c().init_data.result_name, sizeof(c().init_data.result_name), "own_0");
  server.script(RpcKind::get_results_active,
                {RpcStep::answer(), RpcStep::error(), RpcStep::answer()});
  at_cycle = [&](int n) { write_state_file_of_client(n); };
  run_task(5);
  expect_nothing_lost(tables_at[2], tables_at[3]);
  // Nothing was completed but w3 (w1's one "run" record is the finish's);
  // each task arrived once.
  EXPECT_EQ(1u, count_lines(";run;w1_0;")) << read_file("out");
  EXPECT_EQ(4u, count_lines(";delai;"));
  EXPECT_EQ(1, log_count("Erreur reception active_result"));
}

}  // namespace
