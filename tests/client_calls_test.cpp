// The real client calls (RpcClientCalls, over BOINC's RPC_CLIENT) on the
// wire, against the loopback fake client: what each request parses into,
// what each kind of peer fault returns, connections, pacing, and the
// stand-alone fake_client program.
//
// The replies in fixtures/rpc/ were captured from Debian's BOINC 7.20.5
// client (boinc-client) running offline, and trimmed; each file is a reply
// body, without the <boinc_gui_rpc_reply> frame.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "client/client_calls.h"
#include "client/paced_calls.h"
#include "error_numbers.h"
#include "tests/fakes/fake_gui_rpc_server.h"
#include "tests/fakes/test_support.h"

extern char** environ;

namespace {

const char kUrlA[] = "http://localhost/testproj/";
const char kUrlB[] = "http://localhost/nciproj/";
const char kPlatform[] = "x86_64-pc-linux-gnu";

std::string fixture(const std::string& name) {
  std::string text = read_file(std::string(FIXTURES_DIR) + "/rpc/" + name);
  EXPECT_FALSE(text.empty()) << "missing fixture " << name;
  return text;
}

void set_text(char* field, size_t size, const char* text) { snprintf(field, size, "%s", text); }

// BOINC's RESULTS and CC_STATE own the records they point to but do not
// free them when they go: these do.
struct OwnedResults : RESULTS {
  ~OwnedResults() { clear(); }
};
struct OwnedState : CC_STATE {
  ~OwnedState() { clear(); }
};

// One request of `kind` through the real client calls; the parsed records
// are left in the arguments.
struct Parsed {
  VERSION_INFO version;
  CC_STATUS status;
  HOST_INFO host;
  OwnedResults results;
  OwnedState state;
};

int call(RpcClientCalls& calls, RpcKind kind, Parsed& r) {
  switch (kind) {
    case RpcKind::exchange_versions: return calls.exchange_versions(r.version);
    case RpcKind::get_cc_status: return calls.get_cc_status(r.status);
    case RpcKind::get_host_info: return calls.get_host_info(r.host);
    case RpcKind::get_results_active: return calls.get_results(r.results, true);
    case RpcKind::get_results_all: return calls.get_results(r.results, false);
    case RpcKind::get_state: return calls.get_state(r.state);
    case RpcKind::unknown: break;
  }
  return 1;
}

const RpcKind kAllKinds[] = {RpcKind::exchange_versions,  RpcKind::get_cc_status,
                             RpcKind::get_host_info,      RpcKind::get_results_active,
                             RpcKind::get_results_all,    RpcKind::get_state};

// Every result field the collector reads.
void expect_same_result(const RESULT& want, const RESULT& got) {
  SCOPED_TRACE(want.name);
  EXPECT_STREQ(want.name, got.name);
  EXPECT_STREQ(want.wu_name, got.wu_name);
  EXPECT_STREQ(want.project_url, got.project_url);
  EXPECT_EQ(want.version_num, got.version_num);
  EXPECT_STREQ(want.plan_class, got.plan_class);
  EXPECT_DOUBLE_EQ(want.report_deadline, got.report_deadline);
  EXPECT_DOUBLE_EQ(want.received_time, got.received_time);
  EXPECT_EQ(want.state, got.state);
  EXPECT_EQ(want.ready_to_report, got.ready_to_report);
  EXPECT_DOUBLE_EQ(want.final_cpu_time, got.final_cpu_time);
  EXPECT_DOUBLE_EQ(want.final_elapsed_time, got.final_elapsed_time);
  EXPECT_EQ(want.suspended_via_gui, got.suspended_via_gui);
  EXPECT_EQ(want.project_suspended_via_gui, got.project_suspended_via_gui);
  EXPECT_EQ(want.active_task, got.active_task);
  EXPECT_EQ(want.active_task_state, got.active_task_state);
  EXPECT_EQ(want.slot, got.slot);
  EXPECT_DOUBLE_EQ(want.elapsed_time, got.elapsed_time);
  EXPECT_DOUBLE_EQ(want.estimated_cpu_time_remaining, got.estimated_cpu_time_remaining);
  EXPECT_DOUBLE_EQ(want.working_set_size_smoothed, got.working_set_size_smoothed);
  EXPECT_DOUBLE_EQ(want.current_cpu_time, got.current_cpu_time);
  EXPECT_DOUBLE_EQ(want.checkpoint_cpu_time, got.checkpoint_cpu_time);
  EXPECT_STREQ(want.resources, got.resources);
}

// Standard error of this process, captured between construction and text().
class StderrCapture {
 public:
  StderrCapture() {
    fflush(stderr);
    file_ = tmpfile();
    saved_ = dup(2);
    if (file_ && saved_ >= 0) dup2(fileno(file_), 2);
  }
  ~StderrCapture() { restore(); }
  std::string text() {
    restore();
    std::string out;
    if (!file_) return out;
    rewind(file_);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), file_)) > 0) out.append(buf, n);
    return out;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    saved_ = -1;
  }
  FILE* file_ = nullptr;
  int saved_ = -1;
};

class ClientCallsWire : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.start());
    calls.set_port(server.port());
  }

  FakeGuiRpcServer server;
  RpcClientCalls calls;
};

// A model that uses every field the collector reads, with values that the
// client's "%f" writes exactly.
std::vector<RESULT> sample_results() {
  RESULT finished = make_finished_result("wu_6_0", "wu_6", kUrlA, 2.937977, 4.012125);
  finished.received_time = 1796996773;
  finished.report_deadline = 1797601573;

  RESULT executing = make_executing("wu_7_0", "wu_7", kUrlA, 3);
  set_text(executing.platform, sizeof(executing.platform), kPlatform);
  set_text(executing.plan_class, sizeof(executing.plan_class), "mt");
  set_text(executing.resources, sizeof(executing.resources), "0.5 CPUs");
  executing.version_num = 712;
  executing.received_time = 1796996774;
  executing.report_deadline = 1797601574;
  executing.final_cpu_time = 1.5;
  executing.final_elapsed_time = 2.25;
  executing.elapsed_time = 72.156912;
  executing.estimated_cpu_time_remaining = 95.368569;
  executing.working_set_size_smoothed = 4177920;
  executing.current_cpu_time = 58.83096;
  executing.checkpoint_cpu_time = 41.6666;
  executing.pid = 6429;

  RESULT suspended = make_executing("wu_8_0", "wu_8", kUrlB, 4);
  suspended.active_task_state = 9;
  suspended.suspended_via_gui = true;
  suspended.project_suspended_via_gui = true;
  suspended.elapsed_time = 0;
  return {finished, executing, suspended};
}

void add_sample_state(FakeClientModel& m) {
  m.add_project(kUrlA, "Test Project", 202);
  m.add_app("worker", "Worker");
  m.add_app("burner", "CPU burner");
  m.add_app_version("worker", 100, "");
  m.add_app_version("burner", 712, kPlatform, "mt");
  m.add_workunit("wu_6", "worker");
  m.add_workunit("wu_7", "burner");
  m.add_project(kUrlB, "NCI Project", 303, true);
  m.add_app("mon", "Monitor");
  m.add_app_version("mon", 100, kPlatform);
  m.add_workunit("wu_8", "mon");
}

TEST_F(ClientCallsWire, VersionAndStatusFromTheModel) {
  server.edit([](FakeClientModel& m) {
    m.major_version = 6;
    m.minor_version = 10;
    m.release = 58;
    m.network_suspend_reason = 4;
  });
  VERSION_INFO version;
  ASSERT_EQ(0, calls.exchange_versions(version));
  EXPECT_EQ(6, version.major);
  EXPECT_EQ(10, version.minor);
  EXPECT_EQ(58, version.release);

  CC_STATUS status;
  ASSERT_EQ(0, calls.get_cc_status(status));
  EXPECT_EQ(4, status.network_suspend_reason);

  server.edit([](FakeClientModel& m) { m.network_suspend_reason = 0; });
  ASSERT_EQ(0, calls.get_cc_status(status));
  EXPECT_EQ(0, status.network_suspend_reason);
}

TEST_F(ClientCallsWire, HostInfoResourceTypesAndGpus) {
  struct Case {
    const char* name;
    std::function<void(FakeClientModel&)> setup;
    int n_rsc;
  };
  const Case cases[] = {
      {"processor only", [](FakeClientModel&) {}, 1},
      {"one other coprocessor", [](FakeClientModel& m) { m.add_coproc("fakegpu", 1); }, 2},
      {"AMD and NVIDIA",
       [](FakeClientModel& m) {
         m.add_ati("AMD Radeon HD 7970", 1, 8, 32, 925);
         m.add_nvidia("NVIDIA GeForce GTX 1080", 2, 20, 1733500);
       },
       3},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    server.edit([&](FakeClientModel& m) {
      m = FakeClientModel();
      m.host_info.p_ncpus = 6;
      k.setup(m);
    });
    HOST_INFO host;
    ASSERT_EQ(0, calls.get_host_info(host));
    EXPECT_EQ(k.n_rsc, host.coprocs.n_rsc);
    EXPECT_EQ(6, host.p_ncpus);
    EXPECT_STREQ("AMD EPYC [Family 25 Model 17 Stepping 1]", host.p_model);
    if (k.n_rsc == 2) {
      EXPECT_STREQ("fakegpu", host.coprocs.coprocs[1].type);
      EXPECT_EQ(1, host.coprocs.coprocs[1].count);
    }
    if (k.n_rsc == 3) {
      const COPROC_ATI& ati = host.coprocs.ati;
      EXPECT_EQ(1, ati.count);
      EXPECT_STREQ("AMD Radeon HD 7970", ati.name);
      EXPECT_EQ(8, ati_target(ati));
      EXPECT_EQ(32u, ati.attribs.numberOfSIMD);
      EXPECT_EQ(925u, ati.attribs.engineClock);
      const COPROC_NVIDIA& nv = host.coprocs.nvidia;
      EXPECT_EQ(2, nv.count);
      EXPECT_STREQ("NVIDIA GeForce GTX 1080", nv.prop.name);
      EXPECT_EQ(20, nv.prop.multiProcessorCount);
      EXPECT_EQ(1733500, nv.prop.clockRate);
    }
  }
}

TEST_F(ClientCallsWire, ResultsActiveAndAll) {
  std::vector<RESULT> sample = sample_results();
  server.edit([&](FakeClientModel& m) { m.set_results(sample); });

  OwnedResults active;
  ASSERT_EQ(0, calls.get_results(active, true));
  ASSERT_EQ(2u, active.results.size());
  expect_same_result(sample[1], *active.results[0]);
  expect_same_result(sample[2], *active.results[1]);

  OwnedResults all;
  ASSERT_EQ(0, calls.get_results(all, false));
  ASSERT_EQ(3u, all.results.size());
  for (size_t i = 0; i < 3; i++) expect_same_result(sample[i], *all.results[i]);

  server.edit([](FakeClientModel& m) { m.set_results({}); });
  ASSERT_EQ(0, calls.get_results(active, true));
  EXPECT_TRUE(active.results.empty());
}

TEST_F(ClientCallsWire, StateListsProjectsAppsVersionsWorkunitsByProject) {
  std::vector<RESULT> sample = sample_results();
  server.edit([&](FakeClientModel& m) {
    add_sample_state(m);
    m.set_results(sample);
  });
  OwnedState state;
  ASSERT_EQ(0, calls.get_state(state));

  ASSERT_EQ(2u, state.projects.size());
  EXPECT_STREQ(kUrlA, state.projects[0]->master_url);
  EXPECT_EQ("Test Project", state.projects[0]->project_name);
  EXPECT_EQ(202, state.projects[0]->hostid);
  EXPECT_FALSE(state.projects[0]->non_cpu_intensive);
  EXPECT_STREQ(kUrlB, state.projects[1]->master_url);
  EXPECT_EQ("NCI Project", state.projects[1]->project_name);
  EXPECT_EQ(303, state.projects[1]->hostid);
  EXPECT_TRUE(state.projects[1]->non_cpu_intensive);

  ASSERT_EQ(3u, state.apps.size());
  const char* apps[][3] = {{"worker", "Worker", kUrlA},
                           {"burner", "CPU burner", kUrlA},
                           {"mon", "Monitor", kUrlB}};
  for (size_t i = 0; i < 3; i++) {
    EXPECT_STREQ(apps[i][0], state.apps[i]->name);
    EXPECT_STREQ(apps[i][1], state.apps[i]->user_friendly_name);
    ASSERT_NE(nullptr, state.apps[i]->project);
    EXPECT_STREQ(apps[i][2], state.apps[i]->project->master_url);
  }

  ASSERT_EQ(3u, state.app_versions.size());
  EXPECT_STREQ("worker", state.app_versions[0]->app_name);
  EXPECT_EQ(100, state.app_versions[0]->version_num);
  EXPECT_STREQ("", state.app_versions[0]->platform);
  EXPECT_STREQ("burner", state.app_versions[1]->app_name);
  EXPECT_EQ(712, state.app_versions[1]->version_num);
  EXPECT_STREQ(kPlatform, state.app_versions[1]->platform);
  EXPECT_STREQ("mt", state.app_versions[1]->plan_class);
  EXPECT_STREQ("mon", state.app_versions[2]->app_name);
  EXPECT_STREQ(kUrlB, state.app_versions[2]->project->master_url);

  ASSERT_EQ(3u, state.wus.size());
  const char* wus[][2] = {{"wu_6", "worker"}, {"wu_7", "burner"}, {"wu_8", "mon"}};
  for (size_t i = 0; i < 3; i++) {
    EXPECT_STREQ(wus[i][0], state.wus[i]->name);
    EXPECT_STREQ(wus[i][1], state.wus[i]->app_name);
  }

  // RPC_CLIENT keeps a result only when its work unit and application
  // version are listed in its project: all three are.
  ASSERT_EQ(3u, state.results.size());
  for (size_t i = 0; i < 3; i++) expect_same_result(sample[i], *state.results[i]);
}

// The captured replies of the real client parse as expected; the model's
// replies built from the same records parse into the same fields.
TEST_F(ClientCallsWire, RealClientRepliesAndTheModelsLayoutAgree) {
  Parsed real;
  server.script(RpcKind::exchange_versions, {RpcStep::reply(fixture("exchange_versions.xml"))});
  ASSERT_EQ(0, calls.exchange_versions(real.version));
  EXPECT_EQ(7, real.version.major);
  EXPECT_EQ(20, real.version.minor);
  EXPECT_EQ(5, real.version.release);

  server.script(RpcKind::get_cc_status,
                {RpcStep::reply(fixture("get_cc_status.xml")),
                 RpcStep::reply(fixture("get_cc_status_network_suspended.xml"))});
  ASSERT_EQ(0, calls.get_cc_status(real.status));
  EXPECT_EQ(0, real.status.network_suspend_reason);
  ASSERT_EQ(0, calls.get_cc_status(real.status));
  EXPECT_EQ(4, real.status.network_suspend_reason);

  server.script(RpcKind::get_host_info, {RpcStep::reply(fixture("get_host_info.xml")),
                                         RpcStep::answer()});
  ASSERT_EQ(0, calls.get_host_info(real.host));
  EXPECT_EQ(2, real.host.coprocs.n_rsc);
  EXPECT_STREQ("fakegpu", real.host.coprocs.coprocs[1].type);
  EXPECT_EQ(4, real.host.p_ncpus);
  server.edit([&](FakeClientModel& m) { m.host_info = real.host; });
  HOST_INFO again;
  ASSERT_EQ(0, calls.get_host_info(again));
  EXPECT_EQ(real.host.p_ncpus, again.p_ncpus);
  EXPECT_STREQ(real.host.p_model, again.p_model);
  ASSERT_EQ(real.host.coprocs.n_rsc, again.coprocs.n_rsc);
  EXPECT_STREQ(real.host.coprocs.coprocs[1].type, again.coprocs.coprocs[1].type);
  EXPECT_EQ(real.host.coprocs.coprocs[1].count, again.coprocs.coprocs[1].count);

  server.script(RpcKind::get_results_active,
                {RpcStep::reply(fixture("get_results_active.xml"))});
  ASSERT_EQ(0, calls.get_results(real.results, true));
  ASSERT_EQ(1u, real.results.results.size());
  const RESULT& running = *real.results.results[0];
  EXPECT_STREQ("burn_2_0", running.name);
  EXPECT_STREQ("mt", running.plan_class);
  EXPECT_TRUE(running.active_task);
  EXPECT_EQ(1, running.active_task_state);
  EXPECT_EQ(1, running.slot);
  EXPECT_DOUBLE_EQ(41.6666, running.checkpoint_cpu_time);
  EXPECT_DOUBLE_EQ(58.83096, running.current_cpu_time);
  EXPECT_DOUBLE_EQ(4177920, running.working_set_size_smoothed);
  EXPECT_STREQ("0.5 CPUs", running.resources);

  server.script(RpcKind::get_results_all,
                {RpcStep::reply(fixture("get_results_all.xml")), RpcStep::answer()});
  OwnedResults all;
  ASSERT_EQ(0, calls.get_results(all, false));
  ASSERT_EQ(2u, all.results.size());
  EXPECT_EQ(5, all.results[0]->state);
  EXPECT_TRUE(all.results[0]->ready_to_report);
  EXPECT_FALSE(all.results[0]->active_task);
  EXPECT_DOUBLE_EQ(2.937977, all.results[0]->final_cpu_time);
  EXPECT_STREQ("", all.results[0]->resources);
  EXPECT_TRUE(all.results[1]->suspended_via_gui);
  EXPECT_EQ(9, all.results[1]->active_task_state);
  std::vector<RESULT> copies;
  for (const RESULT* r : all.results) copies.push_back(*r);
  server.edit([&](FakeClientModel& m) { m.set_results(copies); });
  OwnedResults rebuilt;
  ASSERT_EQ(0, calls.get_results(rebuilt, false));
  ASSERT_EQ(copies.size(), rebuilt.results.size());
  for (size_t i = 0; i < copies.size(); i++) expect_same_result(copies[i], *rebuilt.results[i]);

  server.script(RpcKind::get_state, {RpcStep::reply(fixture("get_state.xml"))});
  ASSERT_EQ(0, calls.get_state(real.state));
  ASSERT_EQ(2u, real.state.projects.size());
  EXPECT_TRUE(real.state.projects[0]->non_cpu_intensive);
  EXPECT_EQ(303, real.state.projects[0]->hostid);
  EXPECT_EQ("Test Project", real.state.projects[1]->project_name);
  EXPECT_EQ(202, real.state.projects[1]->hostid);
  ASSERT_EQ(1u, real.state.apps.size());
  EXPECT_STREQ("CPU burner", real.state.apps[0]->user_friendly_name);
  ASSERT_EQ(2u, real.state.app_versions.size());
  EXPECT_STREQ(kPlatform, real.state.app_versions[0]->platform);
  EXPECT_STREQ("mt", real.state.app_versions[1]->plan_class);
  EXPECT_EQ(2u, real.state.wus.size());
  EXPECT_EQ(2u, real.state.results.size());
}

// What RPC_CLIENT returns for each kind of misbehaving peer, in BOINC's
// codes: ERR_READ (-102) whenever the connection ends before the reply's end
// marker. A reply that arrives whole is a success for the library even when
// it says <error>, except for get_host_info, whose parser then fails with
// ERR_XML_PARSE (-112).
TEST_F(ClientCallsWire, PeerFaultCodes) {
  struct Case {
    const char* name;
    RpcStep step;
    int code[6];  // in the order of kAllKinds
  };
  const Case cases[] = {
      {"closed without answer", RpcStep::close(), {-102, -102, -102, -102, -102, -102}},
      {"cut after 40 bytes", RpcStep::cut(40), {-102, -102, -102, -102, -102, -102}},
      {"cut in half", RpcStep::cut(), {-102, -102, -102, -102, -102, -102}},
      {"error reply", RpcStep::error("unrecognized op"), {0, 0, -112, 0, 0, 0}},
  };
  for (const Case& k : cases) {
    for (size_t i = 0; i < 6; i++) {
      RpcKind kind = kAllKinds[i];
      SCOPED_TRACE(std::string(k.name) + ", " + rpc_kind_name(kind));
      server.edit([](FakeClientModel& m) {
        m = FakeClientModel();
        add_sample_state(m);
        m.set_results(sample_results());
      });
      server.script(kind, {k.step, RpcStep::answer()});
      Parsed r;
      EXPECT_EQ(k.code[i], call(calls, kind, r));
      // The next request on a new connection is answered again.
      Parsed next;
      EXPECT_EQ(0, call(calls, kind, next));
    }
  }
}

// After an <error> reply that the library takes for a success, the records
// are empty (version 0, no results, no projects), except the client status,
// which get_cc_status does not clear: it keeps the previous answer.
TEST_F(ClientCallsWire, ErrorReplyLeavesEmptyOrStaleRecords) {
  server.edit([](FakeClientModel& m) {
    m.network_suspend_reason = 4;
    add_sample_state(m);
    m.set_results(sample_results());
  });
  for (RpcKind kind : kAllKinds) server.script(kind, {RpcStep::answer(), RpcStep::error()});
  Parsed r;
  for (RpcKind kind : kAllKinds) ASSERT_EQ(0, call(calls, kind, r)) << rpc_kind_name(kind);
  ASSERT_EQ(4, r.status.network_suspend_reason);
  ASSERT_FALSE(r.state.projects.empty());

  VERSION_INFO version;
  EXPECT_EQ(0, calls.exchange_versions(version));
  EXPECT_EQ(0, version.major);
  EXPECT_EQ(0, calls.get_cc_status(r.status));
  EXPECT_EQ(4, r.status.network_suspend_reason);
  EXPECT_EQ(0, calls.get_results(r.results, true));
  EXPECT_TRUE(r.results.results.empty());
  EXPECT_EQ(0, calls.get_state(r.state));
  EXPECT_TRUE(r.state.projects.empty());
  EXPECT_TRUE(r.state.results.empty());
}

// A well-framed reply whose XML stops in the middle: the library returns 0
// and the collector sees a shortened list.
TEST_F(ClientCallsWire, TruncatedXmlInACompleteFrameParsesAsSuccess) {
  server.edit([](FakeClientModel& m) { m.set_results(sample_results()); });
  std::string body = model_reply_body(server.model(), RpcKind::get_results_all);
  size_t second = body.find("<result>", body.find("<result>") + 1);
  ASSERT_NE(std::string::npos, second);
  server.script(RpcKind::get_results_all, {RpcStep::reply(body.substr(0, second + 50))});
  OwnedResults all;
  EXPECT_EQ(0, calls.get_results(all, false));
  ASSERT_EQ(2u, all.results.size());
  EXPECT_STREQ("wu_6_0", all.results[0]->name);
  EXPECT_STREQ("wu_7_0", all.results[1]->name);
  EXPECT_FALSE(all.results[1]->active_task);  // the rest of it never came

  server.edit([](FakeClientModel& m) { add_sample_state(m); });
  std::string state = model_reply_body(server.model(), RpcKind::get_state);
  server.script(RpcKind::get_state, {RpcStep::reply(state.substr(0, state.size() / 2))});
  OwnedState cc_state;
  EXPECT_EQ(0, calls.get_state(cc_state));
}

TEST_F(ClientCallsWire, RefusedConnectionIsMinusOneAndSilent) {
  int port = server.port();
  server.stop();
  RpcClientCalls refused(port);
  StderrCapture err;
  for (RpcKind kind : kAllKinds) {
    Parsed r;
    EXPECT_EQ(-1, call(refused, kind, r)) << rpc_kind_name(kind);
  }
  EXPECT_EQ("", err.text());
}

TEST_F(ClientCallsWire, PortZeroMeansTheDefaultPort) {
  FakeGuiRpcServer on_default;
  if (!on_default.start(31416, true)) GTEST_SKIP() << "127.0.0.1:31416 is in use";
  on_default.edit([](FakeClientModel& m) { m.major_version = 9; });
  RpcClientCalls port_zero(0);
  VERSION_INFO version;
  ASSERT_EQ(0, port_zero.exchange_versions(version));
  EXPECT_EQ(9, version.major);
  EXPECT_EQ(1, on_default.count(RpcKind::exchange_versions));
}

TEST_F(ClientCallsWire, EveryCallHasItsOwnConnection) {
  Parsed r;
  for (RpcKind kind : kAllKinds) ASSERT_EQ(0, call(calls, kind, r)) << rpc_kind_name(kind);
  EXPECT_EQ(6, server.connections());
  std::vector<FakeGuiRpcServer::Request> requests = server.requests();
  ASSERT_EQ(6u, requests.size());
  for (size_t i = 0; i < requests.size(); i++) {
    EXPECT_EQ(kAllKinds[i], requests[i].kind);
    EXPECT_EQ(static_cast<int>(i) + 1, requests[i].connection);
  }
  // No password exchange: the collector's requests carry nothing but the
  // request itself.
  for (const auto& request : requests) EXPECT_EQ(std::string::npos, request.text.find("auth"));
}

// BOINC's runtime raises SIGALRM on the main thread ten times a second; the
// wait for a reply must not end on it.
void on_timer(int) {}

TEST_F(ClientCallsWire, TimerSignalDoesNotCutTheExchange) {
  struct sigaction action = {}, previous = {};
  action.sa_handler = on_timer;  // no SA_RESTART, as the runtime installs it
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(0, sigaction(SIGALRM, &action, &previous));
  struct itimerval every_5ms = {{0, 5000}, {0, 5000}}, stopped = {};
  ASSERT_EQ(0, setitimer(ITIMER_REAL, &every_5ms, nullptr));
  server.on_request([](RpcKind, int, FakeClientModel&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
  });
  Parsed r;
  int results = call(calls, RpcKind::get_results_active, r);
  int state = call(calls, RpcKind::get_state, r);
  setitimer(ITIMER_REAL, &stopped, nullptr);
  sigaction(SIGALRM, &previous, nullptr);
  EXPECT_EQ(0, results);
  EXPECT_EQ(0, state);
}

TEST_F(ClientCallsWire, RefusalStepClosesThenRefusesThenListensAgain) {
  server.script(RpcKind::get_cc_status, {RpcStep::refuse(300), RpcStep::answer()});
  CC_STATUS status;
  EXPECT_EQ(ERR_READ, calls.get_cc_status(status));
  EXPECT_EQ(-1, calls.get_cc_status(status));
  for (int i = 0; i < 200 && !server.listening(); i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(server.listening());
  EXPECT_EQ(0, calls.get_cc_status(status));
  EXPECT_EQ(2, server.count(RpcKind::get_cc_status));

  server.refuse_connections(300);
  EXPECT_EQ(-1, calls.get_cc_status(status));
}

// The one slow test: an answer that never comes. RPC_CLIENT gives up after
// its 30-second receive timeout.
TEST_F(ClientCallsWire, AnswerThatNeverComesTimesOut) {
  server.script(RpcKind::get_results_active, {RpcStep::silent(), RpcStep::answer()});
  OwnedResults results;
  EXPECT_EQ(ERR_READ, calls.get_results(results, true));
  EXPECT_EQ(0, calls.get_results(results, true));
}

class PacedWire : public CollectorTest {};

TEST_F(PacedWire, FailureThenPacedCallSleepsTheRestThenReachesTheClient) {
  FakeGuiRpcServer server;
  ASSERT_TRUE(server.start());
  server.edit([](FakeClientModel& m) { m.network_suspend_reason = 4; });
  server.script(RpcKind::get_cc_status, {RpcStep::close(), RpcStep::answer()});
  c().rpc_client.set_port(server.port());
  c().client = &c().rpc_client;

  EXPECT_EQ(ERR_READ, query_cc_status(c()));
  EXPECT_TRUE(clock.sleeps_ms.empty());
  c().last_request_time = c().now();  // as the caller does after a failure
  clock.advance(10);

  EXPECT_EQ(0, query_cc_status(c()));
  EXPECT_EQ(std::vector<uint32_t>{21000}, clock.sleeps_ms);
  EXPECT_EQ(std::vector<std::string>{"P: Mise en veille (derniere requete date de moins de 30 "
                                     "secondes"},
            lines_starting(log(), "P: Mise en veille"));
  EXPECT_EQ(2, server.count(RpcKind::get_cc_status));
  EXPECT_EQ(4, c().replies.cc_status.network_suspend_reason);
}

#ifdef FAKE_CLIENT_BIN

// Starts fake_client; stops it by PID.
class FakeClientProcess {
 public:
  // Standard output goes to `stdout_path`, standard error to the same path
  // with ".err" appended. Returns posix_spawn's result.
  int start(const std::vector<std::string>& args, const std::string& stdout_path) {
    std::vector<std::string> argv_text = {FAKE_CLIENT_BIN};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argv_text) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    std::string stderr_path = stdout_path + ".err";
    posix_spawn_file_actions_addopen(&actions, 1, stdout_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, stderr_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int rc = posix_spawn(&pid_, FAKE_CLIENT_BIN, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) pid_ = -1;
    return rc;
  }
  // Waits at most `ms` for the process to end; its wait status, or -1.
  int wait(int ms) {
    for (int i = 0; i < ms / 10 && pid_ > 0; i++) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return status;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }
  void signal(int sig) {
    if (pid_ > 0) kill(pid_, sig);
  }
  ~FakeClientProcess() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }

 private:
  pid_t pid_ = -1;
};

int read_port(const std::string& path) {
  for (int i = 0; i < 500; i++) {
    std::string text = read_file(path);
    if (!text.empty()) return atoi(text.c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return 0;
}

TEST(FakeClientProgram, ServesItsScriptLogsRequestsAndStopsOnSigterm) {
  TempDir dir;
  write_file(dir.path() + "/script",
             "# a worker executes for two cycles, then shows up finished\n"
             "version 6 10 58\n"
             "project http://localhost/testproj/ \"Test Project\" hostid=202\n"
             "app worker Worker\n"
             "app_version worker 100\n"
             "workunit w1 worker\n"
             "result w1_0 w1 http://localhost/testproj/ executing slot=3 "
             "current_cpu_time=12.5 resources=\"1 CPU\"\n"
             "phase 2\n"
             "result w1_0 w1 http://localhost/testproj/ finished final_cpu_time=30 "
             "final_elapsed_time=31\n"
             "steps get_cc_status close answer\n");
  FakeClientProcess process;
  ASSERT_EQ(0, process.start({"--script", dir.path() + "/script", "--port-file",
                              dir.path() + "/port", "--lifetime", "60", "--requests-log",
                              dir.path() + "/requests"},
                             dir.path() + "/stdout"));
  int port = read_port(dir.path() + "/port");
  ASSERT_GT(port, 0);
  EXPECT_EQ("port " + std::to_string(port) + "\n", read_file(dir.path() + "/stdout"));

  RpcClientCalls calls(port);
  VERSION_INFO version;
  ASSERT_EQ(0, calls.exchange_versions(version));
  EXPECT_EQ(6, version.major);

  OwnedResults results;
  for (int cycle = 0; cycle < 2; cycle++) {
    ASSERT_EQ(0, calls.get_results(results, true));
    ASSERT_EQ(1u, results.results.size());
    EXPECT_EQ(3, results.results[0]->slot);
    EXPECT_DOUBLE_EQ(12.5, results.results[0]->current_cpu_time);
    EXPECT_STREQ("1 CPU", results.results[0]->resources);
  }
  ASSERT_EQ(0, calls.get_results(results, false));
  ASSERT_EQ(1u, results.results.size());
  EXPECT_EQ(5, results.results[0]->state);
  EXPECT_TRUE(results.results[0]->ready_to_report);
  EXPECT_DOUBLE_EQ(31, results.results[0]->final_elapsed_time);
  ASSERT_EQ(0, calls.get_results(results, true));
  EXPECT_TRUE(results.results.empty());

  OwnedState state;
  ASSERT_EQ(0, calls.get_state(state));
  ASSERT_EQ(1u, state.projects.size());
  EXPECT_EQ(202, state.projects[0]->hostid);
  EXPECT_EQ(1u, state.results.size());

  CC_STATUS status;
  EXPECT_EQ(ERR_READ, calls.get_cc_status(status));
  EXPECT_EQ(0, calls.get_cc_status(status));

  process.signal(SIGTERM);
  int status_code = process.wait(5000);
  ASSERT_NE(-1, status_code) << "fake_client did not stop on SIGTERM";
  EXPECT_TRUE(WIFEXITED(status_code));
  EXPECT_EQ(0, WEXITSTATUS(status_code));
  EXPECT_EQ(
      "exchange_versions\nget_results_active\nget_results_active\nget_results_all\n"
      "get_results_active\nget_state\nget_cc_status\nget_cc_status\n",
      read_file(dir.path() + "/requests"));
}

TEST(FakeClientProgram, EndsAfterItsLifetimeAndRejectsABadScript) {
  TempDir dir;
  write_file(dir.path() + "/good", "network_suspend_reason 4\n");
  write_file(dir.path() + "/bad", "result only_a_name\n");
  FakeClientProcess alive;
  ASSERT_EQ(0, alive.start({"--script", dir.path() + "/good", "--lifetime", "1"},
                           dir.path() + "/stdout1"));
  int status = alive.wait(10000);
  ASSERT_NE(-1, status) << "fake_client outlived its lifetime";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  FakeClientProcess bad;
  ASSERT_EQ(0, bad.start({"--script", dir.path() + "/bad"}, dir.path() + "/stdout2"));
  status = bad.wait(5000);
  ASSERT_NE(-1, status);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2);
  EXPECT_NE(std::string::npos, read_file(dir.path() + "/stdout2.err").find("bad:1:"));
}

#endif  // FAKE_CLIENT_BIN

}  // namespace
