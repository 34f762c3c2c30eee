// Loading the client's state (its state file, or the client's records when the
// file cannot be read) and the eight lookups in either copy.
//
// tests/fixtures/client_state/real_two_projects.xml is a client_state.xml
// written by Debian's boinc-client 7.20.5 itself: the client was run by hand,
// offline, on a data directory laid out by hand (`boinc --dir DIR
// --gui_rpc_port PORT`, empty gui_rpc_auth.cfg, account files, cc_config.xml
// with skip_cpu_benchmarks/no_gpus/no_info_fetch/dont_contact_ref_site), with
// two projects, an application each (user-friendly names), application
// versions with two and three file references, work units with input files,
// and a small BOINC API program that burns CPU as the main program. Two
// results finished (state 5, ready to report, final times; one with plan
// class "mt", one without) and two were still executing (state 2) when the
// client was stopped with SIGTERM. <non_cpu_intensive/> was added to the beta
// project between two runs of the client, which kept it. The file was then
// trimmed by hand (statistics, most project fields, some file elements, the
// active task set); the header comment in the file says the same.
// The other documents below are written by hand to corner the lookups.
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client/client_state.h"
#include "tests/fakes/test_support.h"

namespace {

using Files = std::vector<std::string>;

const char kAlpha[] = "http://localhost/alpha/";
const char kBeta[] = "http://localhost/beta/";
const char kPlatform[] = "x86_64-pc-linux-gnu";

std::string fixture(const std::string& name) {
  return read_file(std::string(FIXTURES_DIR) + "/client_state/" + name);
}

class ClientStateTest : public CollectorTest {
 protected:
  std::string state_path() { return c().settings.data_directory + "/client_state.xml"; }

  void write_state(const std::string& text) { write_file(state_path(), text); }

  // A document made of `body` inside the client_state element.
  void write_state_body(const std::string& body) {
    write_state("<client_state>\n" + body + "</client_state>\n");
  }

  // Loads the state for a new pass from the file; the client must not be
  // asked.
  void load_file_state() {
    client.unexpected = {"get_state", "get_results(all)"};
    c().state.state_loaded = false;
    ASSERT_TRUE(load_client_state(c()));
    ASSERT_EQ(StateSource::kFile, c().state.source);
  }

  Files app_version_files(const std::string& app, int version) {
    Files files = {"stale"};
    lookup_app_version(c(), app, version, &files);
    return files;
  }

  Files workunit_files(const std::string& workunit, bool expect_list = true) {
    Files files = {"stale"};
    EXPECT_EQ(expect_list, lookup_workunit_files(c(), workunit, &files)) << workunit;
    return files;
  }
};

// What the client's records would say about the real fixture's content.
void model_real_fixture(FakeClientCalls& client) {
  client.add_project(kAlpha, "Alpha Lattice", 4711, false);
  client.add_project(kBeta, "Beta Sieve", 88, true);
  client.add_app("lattice", "Lattice Relaxation");
  client.add_app("sieve", "Prime Sieve");
  client.add_app_version("lattice", 205, kPlatform);
  client.add_app_version("sieve", 712, kPlatform);
  client.add_workunit("lattice_wu_101", "lattice");
  client.add_workunit("lattice_wu_102", "lattice");
  client.add_workunit("sieve_wu_7", "sieve");
  client.add_workunit("sieve_wu_8", "sieve");
}

RESULT finished_result(const std::string& name, int state, bool ready_to_report,
                       double cpu_time, double elapsed_time, const std::string& plan_class) {
  RESULT r = make_result(name, name.substr(0, name.rfind('_')), kAlpha);
  r.state = state;
  r.ready_to_report = ready_to_report;
  r.final_cpu_time = cpu_time;
  r.final_elapsed_time = elapsed_time;
  snprintf(r.plan_class, sizeof(r.plan_class), "%s", plan_class.c_str());
  return r;
}

struct TextCase {
  const char* what;
  std::function<std::string(Collector&)> lookup;
  std::string expected;
};

std::string yes_no(bool flag) { return flag ? "true" : "false"; }

// Lookups whose answers are the same whichever copy of the state is read.
std::vector<TextCase> common_text_cases() {
  return {
      {"project name alpha", [](Collector& c) { return lookup_project_name(c, kAlpha); },
       "Alpha Lattice"},
      {"project name beta", [](Collector& c) { return lookup_project_name(c, kBeta); },
       "Beta Sieve"},
      {"project name, URL without its slash",
       [](Collector& c) { return lookup_project_name(c, "http://localhost/alpha"); }, ""},
      {"project name, unknown URL",
       [](Collector& c) { return lookup_project_name(c, "http://localhost/gamma/"); }, ""},
      {"host id alpha", [](Collector& c) { return lookup_project_hostid(c, kAlpha); }, "4711"},
      {"host id beta", [](Collector& c) { return lookup_project_hostid(c, kBeta); }, "88"},
      {"host id, unknown URL", [](Collector& c) { return lookup_project_hostid(c, "x"); }, ""},
      {"non CPU intensive alpha",
       [](Collector& c) { return yes_no(lookup_non_cpu_intensive(c, kAlpha)); }, "false"},
      {"non CPU intensive beta",
       [](Collector& c) { return yes_no(lookup_non_cpu_intensive(c, kBeta)); }, "true"},
      {"non CPU intensive, unknown URL",
       [](Collector& c) { return yes_no(lookup_non_cpu_intensive(c, "x")); }, "false"},
      {"work unit app, executing",
       [](Collector& c) { return lookup_workunit_app_name(c, "lattice_wu_102"); }, "lattice"},
      {"work unit app, no input file",
       [](Collector& c) { return lookup_workunit_app_name(c, "sieve_wu_8"); }, "sieve"},
      {"work unit app, result name is no work unit",
       [](Collector& c) { return lookup_workunit_app_name(c, "sieve_wu_8_0"); }, ""},
      {"user-friendly name lattice",
       [](Collector& c) { return lookup_app_user_friendly_name(c, "lattice"); },
       "Lattice Relaxation"},
      {"user-friendly name sieve",
       [](Collector& c) { return lookup_app_user_friendly_name(c, "sieve"); }, "Prime Sieve"},
      {"user-friendly name, other case",
       [](Collector& c) { return lookup_app_user_friendly_name(c, "Lattice"); }, ""},
      {"platform lattice 205",
       [](Collector& c) { return lookup_app_version(c, "lattice", 205, nullptr); }, kPlatform},
      {"platform sieve 712",
       [](Collector& c) { return lookup_app_version(c, "sieve", 712, nullptr); }, kPlatform},
      {"platform, version of the other application",
       [](Collector& c) { return lookup_app_version(c, "lattice", 712, nullptr); }, ""},
  };
}

TEST_F(ClientStateTest, RealStateFileAnswersEveryLookup) {
  write_state(fixture("real_two_projects.xml"));
  load_file_state();
  for (const TextCase& k : common_text_cases()) EXPECT_EQ(k.expected, k.lookup(c())) << k.what;

  EXPECT_EQ(Files({"lattice_2.05_x86_64-pc-linux-gnu", "lattice_params_2.05.xml",
                   "lattice_tables_2.05.dat"}),
            app_version_files("lattice", 205));
  EXPECT_EQ(Files({"sieve_7.12_x86_64-pc-linux-gnu", "sieve_primes_7.12.bin"}),
            app_version_files("sieve", 712));
  EXPECT_EQ(Files(), app_version_files("sieve", 205));

  EXPECT_EQ(Files({"lattice_wu_101_grid", "lattice_wu_101_seed"}),
            workunit_files("lattice_wu_101"));
  EXPECT_EQ(Files({"sieve_wu_7_range"}), workunit_files("sieve_wu_7"));
  EXPECT_EQ(Files(), workunit_files("sieve_wu_8"));  // no input file
  EXPECT_EQ(Files(), workunit_files("sieve_wu_9"));  // unknown

  struct CompletionCase {
    const char* result;
    bool finished;
    const char* cpu;
    const char* elapsed;
    const char* plan_class;
  };
  const CompletionCase completions[] = {
      {"lattice_wu_101_0", true, "0.767241", "5.015177", "mt"},
      {"sieve_wu_8_0", true, "0.505465", "4.013936", ""},  // no plan class written
      {"lattice_wu_102_0", false, "", "", ""},               // executing, state 2
      {"sieve_wu_7_1", false, "", "", ""},
      {"sieve_wu_7_0", false, "", "", ""},  // unknown
  };
  for (const CompletionCase& k : completions) {
    ResultCompletion got = lookup_result_completion(c(), k.result);
    EXPECT_EQ(k.finished, got.finished) << k.result;
    EXPECT_EQ(k.cpu, got.final_cpu_time) << k.result;
    EXPECT_EQ(k.elapsed, got.final_elapsed_time) << k.result;
    EXPECT_EQ(k.plan_class, got.plan_class) << k.result;
  }
  EXPECT_TRUE(client.calls.empty());
}

TEST_F(ClientStateTest, MissingFileFallsBackToTheClientStateRecord) {
  model_real_fixture(client);
  client.all.push_back(finished_result("lattice_wu_101_0", 5, true, 0.767241, 5.015177, "mt"));
  c().last_request_time = c().now() - 100;  // an old failure: no wait
  ASSERT_TRUE(load_client_state(c()));
  EXPECT_EQ(StateSource::kRpc, c().state.source);
  EXPECT_TRUE(c().state.state_loaded);
  EXPECT_EQ(0, c().last_request_time);
  EXPECT_EQ(std::vector<std::string>({"get_state"}), client.calls);
  EXPECT_EQ("", log());

  for (const TextCase& k : common_text_cases()) EXPECT_EQ(k.expected, k.lookup(c())) << k.what;
  // The records carry no file lists.
  EXPECT_EQ(Files(), app_version_files("lattice", 205));
  EXPECT_EQ(Files(), workunit_files("lattice_wu_101", false));
  EXPECT_EQ(Files(), workunit_files("unknown_wu", false));
  // The state record's own results are not where completions are read.
  EXPECT_FALSE(lookup_result_completion(c(), "lattice_wu_101_0").finished);
  EXPECT_EQ(1u, client.calls.size());  // every lookup read the records obtained once
}

TEST_F(ClientStateTest, ClientRecordsAreComparedAsTheClientSentThem) {
  client.add_project(kAlpha, "First", 1, false);
  client.add_project(kAlpha, "Second", 2, true);
  client.add_app_version("X", 8, "eight");
  client.add_app_version("Y", 7, "other application");
  client.add_app_version("X", 7, "seven");
  client.add_app_version("X", 7, "seven again");
  client.add_workunit("wu", "first");
  client.add_workunit("wu", "second");
  ASSERT_TRUE(load_client_state(c()));
  EXPECT_EQ("First", lookup_project_name(c(), kAlpha));
  EXPECT_EQ("1", lookup_project_hostid(c(), kAlpha));
  EXPECT_FALSE(lookup_non_cpu_intensive(c(), kAlpha));
  EXPECT_EQ("seven", lookup_app_version(c(), "X", 7, nullptr));
  EXPECT_EQ("", lookup_app_version(c(), "X", 9, nullptr));
  EXPECT_EQ("first", lookup_workunit_app_name(c(), "wu"));
  EXPECT_EQ("", lookup_workunit_app_name(c(), "WU"));
}

TEST_F(ClientStateTest, AllResultsFallbackNeedsReadyToReportAndGivesWholeSeconds) {
  client.all = {
      finished_result("done_1_0", 5, true, 3600.9, 7200.999, "mt"),
      finished_result("unreported_1_0", 5, false, 10.0, 11.0, "mt"),
      finished_result("uploading_1_0", 4, true, 10.0, 11.0, ""),
      finished_result("short_1_0", 5, true, 0.767241, 5.015177, ""),
      // The first record of a name answers, even when a later one finished.
      finished_result("twice_1_0", 2, false, 0.0, 0.0, ""),
      finished_result("twice_1_0", 5, true, 1.0, 2.0, "late"),
  };
  client.unexpected = {"get_state"};
  ASSERT_TRUE(load_client_state(c(), StateFallback::kAllResultsList));
  EXPECT_EQ(StateSource::kRpc, c().state.source);
  EXPECT_EQ(std::vector<std::string>({"get_results(all)"}), client.calls);

  struct Case {
    const char* result;
    bool finished;
    const char* cpu;
    const char* elapsed;
    const char* plan_class;
  };
  const Case cases[] = {
      {"done_1_0", true, "3600", "7200", "mt"},
      {"short_1_0", true, "0", "5", ""},
      {"unreported_1_0", false, "", "", ""},
      {"uploading_1_0", false, "", "", ""},
      {"twice_1_0", false, "", "", ""},
      {"missing_1_0", false, "", "", ""},
  };
  for (const Case& k : cases) {
    ResultCompletion got = lookup_result_completion(c(), k.result);
    EXPECT_EQ(k.finished, got.finished) << k.result;
    EXPECT_EQ(k.cpu, got.final_cpu_time) << k.result;
    EXPECT_EQ(k.elapsed, got.final_elapsed_time) << k.result;
    EXPECT_EQ(k.plan_class, got.plan_class) << k.result;
  }
}

TEST_F(ClientStateTest, UnreachableClientIsLoggedStampedAndTriedAgain) {
  struct Case {
    const char* what;
    StateFallback fallback;
    bool reachable;
    int request_error;
    const char* call;
    const char* log;
  };
  const Case cases[] = {
      {"get_state, no connection", StateFallback::kClientStateRecord, false, 0, "get_state",
       "P: can't connect to localhostErreur reception state (P:)\n"},
      {"get_state, request failed", StateFallback::kClientStateRecord, true, -102, "get_state",
       "Erreur reception state (P:)\n"},
      {"all results, no connection", StateFallback::kAllResultsList, false, 0,
       "get_results(all)", "P: can't connect to localhost\nP: Erreur reception state\n"},
      {"all results, request failed", StateFallback::kAllResultsList, true, -102,
       "get_results(all)", "P: Erreur reception state\n"},
  };
  for (const Case& k : cases) {
    client.calls.clear();
    client.reachable = k.reachable;
    client.request_error = k.request_error;
    log_.clear();
    clock.sleeps_ms.clear();
    c().last_request_time = 0;
    c().state.state_loaded = false;
    const int failed_at = c().now();
    EXPECT_FALSE(load_client_state(c(), k.fallback)) << k.what;
    EXPECT_FALSE(c().state.state_loaded) << k.what;
    EXPECT_EQ(failed_at, c().last_request_time) << k.what;
    EXPECT_EQ(k.log, log()) << k.what;
    // The same pass asks again; the paced call first waits out the spacing.
    EXPECT_FALSE(load_client_state(c(), k.fallback)) << k.what;
    EXPECT_EQ(std::vector<std::string>({k.call, k.call}), client.calls) << k.what;
    EXPECT_EQ(std::vector<uint32_t>({31000}), clock.sleeps_ms) << k.what;
    EXPECT_EQ(failed_at + 31, c().last_request_time) << k.what;
  }
  // Once the client answers, the next attempt of the pass succeeds.
  client.reachable = true;
  client.request_error = 0;
  EXPECT_TRUE(load_client_state(c()));
  EXPECT_EQ(0, c().last_request_time);
}

TEST_F(ClientStateTest, UnreadableFileFallsBackSilently) {
  const std::string real = fixture("real_two_projects.xml");
  struct Case {
    const char* what;
    std::function<void()> prepare;
  };
  const Case cases[] = {
      {"missing", [] {}},
      {"cut in the middle", [&] { write_state(real.substr(0, real.size() / 2)); }},
      {"empty", [&] { write_state(""); }},
      {"not XML", [&] { write_state("client state\n"); }},
      {"mismatched end tag", [&] { write_state("<client_state><project></client_state>"); }},
  };
  client.add_project(kAlpha, "From the client", 5);
  for (const Case& k : cases) {
    std::string command = "rm -rf '" + state_path() + "'";
    ASSERT_EQ(0, system(command.c_str()));
    k.prepare();
    client.calls.clear();
    c().state.state_loaded = false;
    ASSERT_TRUE(load_client_state(c())) << k.what;
    EXPECT_EQ(StateSource::kRpc, c().state.source) << k.what;
    EXPECT_EQ("From the client", lookup_project_name(c(), kAlpha)) << k.what;
    EXPECT_EQ(std::vector<std::string>({"get_state"}), client.calls) << k.what;
  }
  EXPECT_EQ("", log());
}

TEST_F(ClientStateTest, FileLoadLeavesLastRequestTimeAlone) {
  write_state_body("");
  c().last_request_time = 12345;
  load_file_state();
  EXPECT_EQ(12345, c().last_request_time);
}

TEST_F(ClientStateTest, StateIsObtainedOncePerPass) {
  write_state_body("<project><master_url>u</master_url><project_name>old</project_name></project>\n");
  load_file_state();
  write_state_body("<project><master_url>u</master_url><project_name>new</project_name></project>\n");
  // Same pass: nothing is reloaded, whatever fallback is asked for.
  EXPECT_TRUE(load_client_state(c()));
  EXPECT_TRUE(load_client_state(c(), StateFallback::kAllResultsList));
  EXPECT_EQ("old", lookup_project_name(c(), "u"));
  // Next pass: the file is read again.
  load_file_state();
  EXPECT_EQ("new", lookup_project_name(c(), "u"));

  // The same with the client's records, then back to the file once it is there.
  remove(state_path().c_str());
  client.unexpected.clear();
  client.add_project("u", "from the client", 3);
  c().state.state_loaded = false;
  ASSERT_TRUE(load_client_state(c()));
  EXPECT_TRUE(load_client_state(c()));
  EXPECT_EQ(1, client.count("get_state"));
  EXPECT_EQ("from the client", lookup_project_name(c(), "u"));
  write_state_body("<project><master_url>u</master_url><project_name>file</project_name></project>\n");
  EXPECT_EQ("from the client", lookup_project_name(c(), "u"));
  c().state.state_loaded = false;
  ASSERT_TRUE(load_client_state(c()));
  EXPECT_EQ(StateSource::kFile, c().state.source);
  EXPECT_EQ("file", lookup_project_name(c(), "u"));
  EXPECT_EQ(1, client.count("get_state"));
}

TEST_F(ClientStateTest, FirstProjectOfAUrlAnswers) {
  write_state_body(
      "<project><master_url>u</master_url><project_name>first</project_name>"
      "<hostid>1</hostid></project>\n"
      "<project><master_url>u</master_url><project_name>second</project_name>"
      "<hostid>2</hostid><non_cpu_intensive/></project>\n"
      "<project><master_url>v</master_url><project_name>v project</project_name></project>\n");
  load_file_state();
  EXPECT_EQ("first", lookup_project_name(c(), "u"));
  EXPECT_EQ("1", lookup_project_hostid(c(), "u"));
  // The flag's query selects the element under any project of that URL.
  EXPECT_TRUE(lookup_non_cpu_intensive(c(), "u"));
  EXPECT_FALSE(lookup_non_cpu_intensive(c(), "v"));
  EXPECT_EQ("", lookup_project_hostid(c(), "v"));  // no hostid child
}

TEST_F(ClientStateTest, NonCpuIntensiveIsTheElementsPresence) {
  write_state_body(
      "<project><master_url>empty</master_url><non_cpu_intensive/></project>\n"
      "<project><master_url>zero</master_url><non_cpu_intensive>0</non_cpu_intensive></project>\n"
      "<project><master_url>one</master_url><non_cpu_intensive>1</non_cpu_intensive></project>\n"
      "<project><master_url>none</master_url><project_name>n</project_name></project>\n"
      "<project><master_url>deep</master_url><x><non_cpu_intensive/></x></project>\n"
      "<app><name>none</name><non_cpu_intensive>1</non_cpu_intensive></app>\n");
  load_file_state();
  const std::pair<const char*, bool> cases[] = {
      {"empty", true}, {"zero", true}, {"one", true},
      {"none", false}, {"deep", false}, {"absent", false},
  };
  for (const auto& k : cases) EXPECT_EQ(k.second, lookup_non_cpu_intensive(c(), k.first)) << k.first;
}

TEST_F(ClientStateTest, VersionNumberIsComparedAsText) {
  write_state_body(
      "<app_version><app_name>Y</app_name><version_num>7</version_num>"
      "<platform>other app</platform></app_version>\n"
      "<app_version><app_name>X</app_name><version_num>07</version_num>"
      "<platform>leading zero</platform><file_ref><file_name>z</file_name></file_ref>"
      "</app_version>\n"
      "<app_version><app_name>X</app_name><version_num> 7</version_num>"
      "<platform>blank</platform></app_version>\n"
      "<app_version><app_name>X</app_name><version_num>7</version_num>"
      "<platform>seven</platform><file_ref><file_name>s</file_name></file_ref></app_version>\n"
      "<app_version><app_name>X</app_name><version_num>7</version_num>"
      "<platform>seven again</platform></app_version>\n"
      "<app_version><app_name>X</app_name><version_num>-3</version_num>"
      "<platform>negative</platform></app_version>\n");
  load_file_state();
  EXPECT_EQ("seven", lookup_app_version(c(), "X", 7, nullptr));
  EXPECT_EQ(Files({"s"}), app_version_files("X", 7));
  EXPECT_EQ("negative", lookup_app_version(c(), "X", -3, nullptr));
  EXPECT_EQ("", lookup_app_version(c(), "X", 70, nullptr));
  EXPECT_EQ(Files(), app_version_files("X", 70));
  EXPECT_EQ("", lookup_app_version(c(), "x", 7, nullptr));
}

TEST_F(ClientStateTest, FileListsTakeOnlyDirectFileRefChildren) {
  write_state_body(
      "<workunit><name>mixed</name>\n"
      "  <file_ref><file_name>a</file_name><open_name>in</open_name></file_ref>\n"
      "  <command_line>-x</command_line>\n"
      "  <extra><file_ref><file_name>nested</file_name></file_ref></extra>\n"
      "  <file_ref><open_name>nameless</open_name></file_ref>\n"
      "  <file_ref><file_name>b</file_name></file_ref>\n"
      "</workunit>\n"
      "<workunit><name>bare</name><app_name>x</app_name></workunit>\n"
      "<workunit><name>mixed</name><file_ref><file_name>second</file_name></file_ref>"
      "</workunit>\n"
      "<app_version><app_name>A</app_name><version_num>1</version_num>"
      "<file_ref><file_name>main</file_name><main_program/></file_ref>"
      "<avg_ncpus>1</avg_ncpus>"
      "<file_ref><file_name>lib</file_name></file_ref></app_version>\n");
  load_file_state();
  EXPECT_EQ(Files({"a", "", "b"}), workunit_files("mixed"));
  EXPECT_EQ(Files(), workunit_files("bare"));     // no file reference: empty list
  EXPECT_EQ(Files(), workunit_files("unknown"));  // no such work unit: empty list too
  EXPECT_EQ(Files({"main", "lib"}), app_version_files("A", 1));
  EXPECT_EQ("", lookup_app_version(c(), "A", 1, nullptr));  // no platform child
}

TEST_F(ClientStateTest, ResultFinishesOnlyWithStateTextFive) {
  write_state_body(
      "<result><name>r4</name><state>4</state><final_cpu_time>1</final_cpu_time></result>\n"
      "<result><name>r_blank</name><state> 5</state></result>\n"
      "<result><name>r_trailing</name><state>5 </state></result>\n"
      "<result><name>r05</name><state>05</state></result>\n"
      "<result><name>r_none</name></result>\n"
      "<result><name>r_partial</name><state>5</state>"
      "<final_cpu_time>12.500000</final_cpu_time></result>\n"
      "<result><name>r5</name><final_cpu_time>0.038268</final_cpu_time>"
      "<final_elapsed_time>21.051168</final_elapsed_time><state>5</state>"
      "<plan_class>nci</plan_class></result>\n"
      "<result><name>r5</name><state>2</state></result>\n");
  load_file_state();
  for (const char* name : {"r4", "r_blank", "r_trailing", "r05", "r_none", "unknown"}) {
    ResultCompletion got = lookup_result_completion(c(), name);
    EXPECT_FALSE(got.finished) << name;
    EXPECT_EQ("", got.final_cpu_time + got.final_elapsed_time + got.plan_class) << name;
  }
  ResultCompletion partial = lookup_result_completion(c(), "r_partial");
  EXPECT_TRUE(partial.finished);
  EXPECT_EQ("12.500000", partial.final_cpu_time);
  EXPECT_EQ("", partial.final_elapsed_time);
  EXPECT_EQ("", partial.plan_class);
  ResultCompletion done = lookup_result_completion(c(), "r5");
  EXPECT_TRUE(done.finished);
  EXPECT_EQ("0.038268", done.final_cpu_time);
  EXPECT_EQ("21.051168", done.final_elapsed_time);
  EXPECT_EQ("nci", done.plan_class);
}

TEST_F(ClientStateTest, ValuesWithQuotesAreLookedUpLiterally) {
  write_state_body(
      "<project><master_url>http://it's/a/</master_url><project_name>single</project_name>"
      "<hostid>1</hostid><non_cpu_intensive/></project>\n"
      "<project><master_url>http://say/\"hi\"/</master_url><project_name>double</project_name>"
      "</project>\n"
      "<project><master_url>both ' and &quot; $value ]</master_url>"
      "<project_name>both</project_name></project>\n"
      "<app><name>o'brien</name><user_friendly_name>O'Brien's \"app\"</user_friendly_name>"
      "</app>\n"
      "<app_version><app_name>o'brien</app_name><version_num>3</version_num>"
      "<platform>p'l\"at</platform><file_ref><file_name>f'1</file_name></file_ref>"
      "</app_version>\n"
      "<workunit><name>wu'\"1</name><app_name>o'brien</app_name>"
      "<file_ref><file_name>in\"put</file_name></file_ref></workunit>\n"
      "<result><name>wu'\"1_0</name><state>5</state><final_cpu_time>1.0</final_cpu_time>"
      "</result>\n");
  load_file_state();
  EXPECT_EQ("single", lookup_project_name(c(), "http://it's/a/"));
  EXPECT_EQ("1", lookup_project_hostid(c(), "http://it's/a/"));
  EXPECT_TRUE(lookup_non_cpu_intensive(c(), "http://it's/a/"));
  EXPECT_EQ("double", lookup_project_name(c(), "http://say/\"hi\"/"));
  EXPECT_EQ("both", lookup_project_name(c(), "both ' and \" $value ]"));
  EXPECT_EQ("O'Brien's \"app\"", lookup_app_user_friendly_name(c(), "o'brien"));
  EXPECT_EQ("o'brien", lookup_workunit_app_name(c(), "wu'\"1"));
  EXPECT_EQ("p'l\"at", lookup_app_version(c(), "o'brien", 3, nullptr));
  EXPECT_EQ(Files({"f'1"}), app_version_files("o'brien", 3));
  EXPECT_EQ(Files({"in\"put"}), workunit_files("wu'\"1"));
  EXPECT_TRUE(lookup_result_completion(c(), "wu'\"1_0").finished);

  // Texts that would change a query built by concatenation match nothing.
  const char* injections[] = {"x' or '1'='1", "x\" or \"1\"=\"1", "']|//project[name='",
                              "$value", "'", "\"", ""};
  for (const char* value : injections) {
    EXPECT_EQ("", lookup_project_name(c(), value)) << value;
    EXPECT_FALSE(lookup_non_cpu_intensive(c(), value)) << value;
    EXPECT_EQ("", lookup_app_user_friendly_name(c(), value)) << value;
    EXPECT_EQ("", lookup_app_version(c(), value, 3, nullptr)) << value;
    EXPECT_EQ(Files(), workunit_files(value)) << value;
    EXPECT_FALSE(lookup_result_completion(c(), value).finished) << value;
  }
}

TEST_F(ClientStateTest, ClientRecordsMatchValuesWithQuotes) {
  client.add_project("http://it's/\"x\"/", "quoted", 9, true);
  client.add_app("o'brien", "O'Brien");
  ASSERT_TRUE(load_client_state(c()));
  EXPECT_EQ("quoted", lookup_project_name(c(), "http://it's/\"x\"/"));
  EXPECT_EQ("9", lookup_project_hostid(c(), "http://it's/\"x\"/"));
  EXPECT_TRUE(lookup_non_cpu_intensive(c(), "http://it's/\"x\"/"));
  EXPECT_EQ("O'Brien", lookup_app_user_friendly_name(c(), "o'brien"));
  EXPECT_EQ("", lookup_project_name(c(), "x' or '1'='1"));
}

}  // namespace
