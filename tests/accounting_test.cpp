// Task accounting against the client's state file and the in-process client:
// first sightings, executing tasks, readings, completions, run counts, output
// files and arrivals.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "accounting/accounting.h"
#include "client/paced_calls.h"
#include "driver/collection_cycle.h"
#include "driver/startup.h"
#include "persistence/checkpoint.h"
#include "tests/fakes/client_state_xml.h"
#include "tests/fakes/test_support.h"

namespace {

const char kUrl[] = "http://host/proj/";
const char kPlatform[] = "x86_64-pc-linux-gnu";
const char kDescription[] = "cpu;P;A|U;x86_64-pc-linux-gnu;";

class AccountingTest : public CollectorTest {
 protected:
  void SetUp() override {
    CollectorTest::SetUp();
    open_output();
    c().host.processor_model = "cpu";
    c().host.client_processor_count = 5;
    c().host.logical_processor_count = 4;
    c().tables.Last_new_wu = 1000;
    project_dir = dir->path() + "/projects/host_proj";
    make_dirs(project_dir);
    write_file(project_dir + "/in_a", std::string(1000, 'a'));
    write_file(project_dir + "/in_b", std::string(2000, 'b'));
    write_file(project_dir + "/A_1.00", std::string(5000, 'x'));
    write_file(project_dir + "/A_lib", std::string(300, 'y'));
    state.project(kUrl, "P", 12)
        .app("A", "U")
        .app_version("A", 100, kPlatform, {"A_1.00", "A_lib"})
        .workunit("wu_1", "A", {"in_a", "in_b"})
        .workunit("wu_2", "A", {"in_a", "in_b"})
        .workunit("wu_3", "A", {"in_a"});
    state.write("client_state.xml");
  }

  // The cycle's steps from the active-results query to the completion pass.
  void cycle() {
    c().cycle_start_time = c().current_time = static_cast<int>(clock.now());
    c().state.reset();
    c().state.state_loaded = false;
    c().correction_factor = factor;
    ASSERT_EQ(0, query_active_results(c()));
    c().tables.Activetask_list.clear();
    c().executing_cpu_sum = 0.0;
    sample_active_results(c());
    completion_pass(c());
    clock.advance(60);
  }

  RESULT worker(const std::string& name, const std::string& wu, bool executing = true) {
    RESULT r = executing ? make_executing(name, wu, kUrl, 3) : make_result(name, wu, kUrl);
    r.received_time = 1500.7;
    r.report_deadline = 1600000.2;
    return r;
  }

  // Output records written since the last call (or mark), without the
  // cycle-start field.
  std::vector<std::string> records() {
    std::string text = output();
    std::string fresh = text.substr(std::min(seen_, text.size()));
    seen_ = text.size();
    std::vector<std::string> found;
    for (const std::string& line : split_lines(fresh)) {
      size_t semicolon = line.find(';');
      bool timed = semicolon != std::string::npos &&
                   line.find_first_not_of("0123456789") == semicolon;
      found.push_back(timed ? line.substr(semicolon + 1) : line);
    }
    return found;
  }

  // Forgets the records written so far.
  void mark() { records(); }

  std::string project_dir;
  ClientStateXml state;
  double factor = 1.0;
  size_t seen_ = 0;
};

TEST_F(AccountingTest, FirstSightingSizesInputsAndRecordsArrival) {
  client.active = {worker("wu_1_0", "wu_1", false)};
  cycle();
  const Tables& t = c().tables;
  EXPECT_EQ("P;A|U;3000.000000;", t.Download.at("wu_1_0"));
  EXPECT_EQ(2u, t.File.size());
  EXPECT_EQ(1000.0, t.File.at(project_dir + "/in_a"));
  EXPECT_EQ(1, t.New_wu.at("P;A|U"));
  EXPECT_EQ("1500;1600000", t.Delai.at("wu_1_0"));
  EXPECT_EQ(kDescription, t.Result.at("wu_1_0"));
  EXPECT_EQ(project_dir, t.Dir.at("wu_1_0"));
  EXPECT_EQ(0, t.Nb_file_result.at("wu_1_0"));
  EXPECT_EQ("P;A|U;5300.000000", t.Dl_app.at("A"));
  EXPECT_EQ("P", t.Project.at(kUrl));
  EXPECT_EQ("U", t.App.at("A"));
  EXPECT_EQ(kPlatform, t.Platform.at("A_100"));
  EXPECT_EQ(0.0, t.Run.at(std::string("wu_1_0;") + kDescription));
  EXPECT_EQ(std::vector<std::string>({"delai;P;A|U;;1500;1600000",
                                      std::string("resources;wu_1_0;") + kDescription + ";1 CPUs"}),
            records());
  EXPECT_EQ("", log());

  // A second work unit with the same input files counts none of them.
  client.active.push_back(worker("wu_2_0", "wu_2", false));
  cycle();
  EXPECT_EQ("P;A|U;0.000000;", t.Download.at("wu_2_0"));
  EXPECT_EQ(2, t.New_wu.at("P;A|U"));
  EXPECT_EQ("", log());
}

TEST_F(AccountingTest, FirstSightingFailuresAreRetriedNextCycle) {
  client.active = {worker("wu_9_0", "wu_9", false)};  // unknown work unit: no application
  cycle();
  EXPECT_EQ("P: Erreur assignation user_friendly_name (node app) - app_name: \n", log());
  EXPECT_FALSE(c().tables.Result.count("wu_9_0"));
  log_.clear();
  client.active = {make_result("r_0", "wu_1", "http://other/x/")};
  cycle();
  EXPECT_EQ("P: Erreur assignation project_name (node result) - project_url: http://other/x/\n",
            log());
  log_.clear();
  // A missing input file: no Download entry, the rest goes on.
  remove((project_dir + "/in_a").c_str());
  client.active = {worker("wu_3_0", "wu_3", false)};
  cycle();
  EXPECT_EQ("Erreur assignation taille wu\n", log());
  EXPECT_FALSE(c().tables.Download.count("wu_3_0"));
  EXPECT_TRUE(c().tables.Result.count("wu_3_0"));
}

TEST_F(AccountingTest, ClientStateOverGuiRpcRecordsNoSizes) {
  remove("client_state.xml");
  client.add_project(kUrl, "P", 12);
  client.add_app("A", "U");
  client.add_app_version("A", 100, kPlatform);
  client.add_workunit("wu_1", "A");
  client.active = {worker("wu_1_0", "wu_1", false)};
  cycle();
  const Tables& t = c().tables;
  EXPECT_EQ(kDescription, t.Result.at("wu_1_0"));
  EXPECT_TRUE(t.Download.empty() && t.File.empty() && t.Dl_app.empty());
  EXPECT_EQ("", log());
}

TEST_F(AccountingTest, ResourcesTexts) {
  struct Case { const char* resources; const char* plan_class; bool nci_project; const char* text; };
  const Case cases[] = {
      {"0.5 CPUs + 1 NVIDIA GPU", "", false, "0.5 CPUs + 1 NVIDIA GPU"},
      {"", "nci", false, "0.01 CPUs"},
      {"", "", true, "0.01 CPUs"},
      {"", "mt", false, "1 CPUs"},
  };
  int n = 0;
  for (const Case& k : cases) {
    ClientStateXml doc;
    doc.project(kUrl, "P", 12, k.nci_project).app("A", "U").app_version("A", 100, kPlatform)
        .workunit("wu_1", "A");
    doc.write("client_state.xml");
    const std::string name = "r" + std::to_string(n++);
    RESULT r = worker(name, "wu_1", false);
    strcpy(r.resources, k.resources);
    strcpy(r.plan_class, k.plan_class);
    client.active = {r};
    mark();
    cycle();
    std::vector<std::string> written = records();
    EXPECT_EQ(1, std::count(written.begin(), written.end(),
                            "resources;" + name + ";" + kDescription + k.plan_class + ";" + k.text))
        << k.text;
  }
}

TEST_F(AccountingTest, ExecutingTasksShareClaimAndAnnounceTheirProjectOnce) {
  RESULT half = worker("wu_1_0", "wu_1");
  strcpy(half.resources, "0.5 CPUs");
  RESULT preempted = worker("wu_2_0", "wu_2");
  preempted.active_task_state = 0;
  client.active = {half, worker("wu_3_0", "wu_3"), preempted};
  cycle();
  EXPECT_DOUBLE_EQ(1.5, c().executing_cpu_sum);
  EXPECT_EQ(2u, c().tables.Activetask_list.size());
  EXPECT_EQ(std::string(kDescription) + ";0.5 CPUs", c().tables.Activetask_list[0]);
  std::vector<std::string> r = records();
  EXPECT_EQ(1, std::count(r.begin(), r.end(), "active_project;P;cpu;5;600;12"));
  EXPECT_EQ(1, std::count(r.begin(), r.end(), "projet;http://host/proj/;P"));
  // The preempted task is neither counted nor read.
  EXPECT_EQ(1.0, c().tables.Run.at(std::string("wu_1_0;") + kDescription));
  EXPECT_EQ(0.0, c().tables.Run.at(std::string("wu_2_0;") + kDescription));
  EXPECT_FALSE(c().tables.Conso.count("wu_2_0"));
  EXPECT_TRUE(c().tables.Conso.count("wu_3_0"));
  // The next cycle announces nothing again and keeps the same texts.
  mark();
  cycle();
  EXPECT_TRUE(records().empty());
}

TEST_F(AccountingTest, ChangedResourcesTextIsWrittenOnce) {
  RESULT r = worker("wu_1_0", "wu_1", false);
  client.active = {r};
  cycle();
  mark();
  strcpy(client.active[0].resources, "2 CPUs");
  cycle();
  EXPECT_EQ(std::vector<std::string>({std::string("resources;wu_1_0;") + kDescription + ";2 CPUs"}),
            records());
  cycle();
  EXPECT_TRUE(records().empty());
}

TEST_F(AccountingTest, ArrivalAtExactlyLastCountIsNotNew) {
  RESULT r = worker("wu_1_0", "wu_1", false);
  r.received_time = 1000.0;
  client.active = {r};
  cycle();
  EXPECT_TRUE(c().tables.New_wu.empty());
}

TEST_F(AccountingTest, UnavailableStateEndsThePass) {
  remove("client_state.xml");
  client.unexpected = {};
  client.before_call = [&](const std::string& call) { client.reachable = call != "get_state"; };
  client.active = {worker("wu_1_0", "wu_1")};
  cycle();
  EXPECT_TRUE(c().tables.Result.empty());
  EXPECT_EQ(0.0, c().executing_cpu_sum);
  EXPECT_EQ("P: can't connect to localhostErreur reception state (P:)\n", log());
}

TEST_F(AccountingTest, ReadingsFollowTheTasksSchedule) {
  RESULT r = worker("wu_1_0", "wu_1");
  r.elapsed_time = 3000;
  r.estimated_cpu_time_remaining = 57000;
  r.working_set_size_smoothed = 3e9;  // beyond 2 GiB: its true count
  r.current_cpu_time = 120.9;
  r.checkpoint_cpu_time = 100.2;
  make_dirs(dir->path() + "/../3");
  client.active = {r};
  const int start = static_cast<int>(clock.now());
  cycle();  // reading at once
  EXPECT_EQ(60.0, c().tables.Ecart_releve.at("wu_1_0"));
  EXPECT_EQ(start + 60.0, c().tables.Prochain_releve.at("wu_1_0"));
  cycle();  // exactly 60 s later: not strictly greater, no reading
  clock.advance(1);
  cycle();  // 121 s: a reading
  EXPECT_EQ(std::string(kDescription) + ";3000000000;3000000000", c().tables.Conso.at("wu_1_0"));
  EXPECT_EQ(std::string(kDescription) + ";120|100;120|100", c().tables.Check.at("wu_1_0"));
  EXPECT_EQ(2, static_cast<int>(std::count(c().tables.Occupation.at("wu_1_0").begin(),
                                           c().tables.Occupation.at("wu_1_0").end(), ';')) - 4);
}

TEST_F(AccountingTest, ZeroIntervalReadsEveryExecutingCycle) {
  client.active = {worker("wu_1_0", "wu_1")};
  for (int i = 0; i < 3; i++) cycle();
  EXPECT_EQ(std::string(kDescription) + ";0;0;0", c().tables.Conso.at("wu_1_0"));
}

TEST(Notations, KibibytesAndWorkUnitNames) {
  const std::pair<double, const char*> sizes[] = {
      {1536, "1.5"}, {10485760, "10240"}, {2097152000, "2.048e+006"}, {0, "0"},
      {1024, "1"}, {1.5e15, "1.46484e+012"}, {1e-3, "9.76563e-007"}};
  for (const auto& k : sizes) EXPECT_EQ(k.second, format_kibibytes(k.first)) << k.first;
  const std::pair<const char*, const char*> names[] = {
      {"wu_17_0", "wu_17"}, {"abc", "abc"}, {"_0", ""}, {"a_b_c_2", "a_b_c"}};
  for (const auto& k : names) EXPECT_EQ(k.second, work_unit_name(k.first)) << k.first;
}

TEST_F(AccountingTest, ProjectDirectories) {
  const std::pair<const char*, const char*> cases[] = {
      {"http://host/proj/", "/projects/host_proj"},
      {"https://host/proj/", "/projects/_host_proj"},
      {"http://host/proj", "/projects/host_pro"},
      {"http://host/a/b/", "/projects/host_a_b"},
      {"http://", "/projects/"},
      {"http:/", "/projects/"},
      {"", "/projects/"},
  };
  for (const auto& k : cases) {
    EXPECT_EQ(dir->path() + k.second, project_directory(c(), k.first)) << k.first;
  }
}

TEST_F(AccountingTest, CompletedTaskWritesItsRecordsInOrderOnce) {
  client.active = {worker("wu_1_0", "wu_1")};
  strcpy(client.active[0].plan_class, "mt");
  state.result("wu_1_0", "wu_1", 2);
  state.write("client_state.xml");
  cycle();
  cycle();
  write_file(project_dir + "/wu_1_0_0", std::string(20480, 'o'));
  watch_one_result(c(), "wu_1_0");
  mark();
  // The client finishes the task.
  client.active.clear();
  ClientStateXml done = state;
  done.result("wu_1_0", "wu_1", 5, "3600.500000", "3700.250000", "mt");
  // The finished result comes after the running one in the document: the
  // first element of that name answers, so write a fresh document.
  ClientStateXml fresh;
  fresh.project(kUrl, "P", 12).app("A", "U").app_version("A", 100, kPlatform)
      .workunit("wu_1", "A", {"in_a", "in_b"})
      .result("wu_1_0", "wu_1", 5, "3600.500000", "3700.250000", "mt");
  fresh.write("client_state.xml");
  cycle();
  const std::string d = "cpu;P;A|U;x86_64-pc-linux-gnu;mt";
  std::vector<std::string> r = records();
  ASSERT_EQ(7u, r.size());
  EXPECT_EQ("upload;" + d + ";20480.000000;3600.500000", r[0]);
  EXPECT_EQ("download;P;A|U;3000.000000;mt;3600.500000", r[1]);
  EXPECT_EQ("conso|wu_1;" + d + ";0;0", r[2]);
  EXPECT_EQ("check|wu_1;" + d + ";0|0;0|0", r[3]);
  EXPECT_EQ("occupation;" + d + ";0;0", r[4]);
  EXPECT_EQ("duree|wu_1;" + d + ";3600.500000;3700.250000;", r[5]);
  EXPECT_EQ("run;wu_1_0;" + d + ";2;1 CPUs;", r[6]);
  const Tables& t = c().tables;
  EXPECT_TRUE(t.Result.empty() && t.Delai.empty() && t.Dir.empty() && t.Run.empty() &&
              t.Nb_file_result.empty() && t.Size_file_result.empty() && t.Upload.empty() &&
              t.Download.empty() && t.Duree.empty() && t.Ecart_releve.empty() &&
              t.Prochain_releve.empty() && t.resources_table.empty());
  cycle();
  EXPECT_TRUE(records().empty());
}

TEST_F(AccountingTest, RecordFinishedResultCases) {
  Tables& t = c().tables;
  t.Result["r1"] = "D";
  t.Download["r1"] = "P;A|U;1000.000000;";
  t.result_output_size_table["r1"] = "20480.000000";
  ClientStateXml doc;
  doc.result("r1", "wu", 5, "3600.500000", "3700.000000", "mt").result("r2", "wu", 4, "1", "2")
      .result("r3", "wu", 5);
  doc.write("client_state.xml");
  EXPECT_EQ(0, record_finished_result(c(), "r1"));
  EXPECT_EQ("D;3600.500000;3700.000000", t.Duree.at("r1"));
  EXPECT_EQ("D;20480.000000;3600.500000", t.Upload.at("r1"));
  EXPECT_EQ("P;A|U;1000.000000;mt;3600.500000", t.Download.at("r1"));
  EXPECT_FALSE(t.result_output_size_table.count("r1"));
  // A second call changes nothing: Download completed once, Duree kept, no size.
  t.Duree["r1"] = "kept";
  EXPECT_EQ(0, record_finished_result(c(), "r1"));
  EXPECT_EQ("P;A|U;1000.000000;mt;3600.500000", t.Download.at("r1"));
  EXPECT_EQ("kept", t.Duree.at("r1"));
  // Still uploading (state 4): nothing stored; finished without times: empty texts.
  t.Download["r2"] = "inconnu";
  EXPECT_EQ(0, record_finished_result(c(), "r2"));
  EXPECT_FALSE(t.Duree.count("r2"));
  EXPECT_EQ(0, record_finished_result(c(), "r3"));
  EXPECT_EQ(";;", t.Duree.at("r3"));
  // Over GUI RPC: whole seconds, and ready_to_report required.
  remove("client_state.xml");
  c().state.state_loaded = false;
  RESULT done = make_result("r4", "wu", kUrl);
  done.state = 5;
  done.final_cpu_time = 3600.9;
  done.final_elapsed_time = 4000.2;
  RESULT waiting = done;
  strcpy(waiting.name, "r5");
  done.ready_to_report = true;
  client.all = {done, waiting};
  t.Result["r4"] = "D4";
  EXPECT_EQ(0, record_finished_result(c(), "r4"));
  EXPECT_EQ(0, record_finished_result(c(), "r5"));
  EXPECT_EQ("D4;3600;4000", t.Duree.at("r4"));
  EXPECT_FALSE(t.Duree.count("r5"));
  EXPECT_EQ(1, client.count("get_results(all)"));  // one load for the pass
  // Unreachable: -1 with both messages, nothing stored.
  c().state.state_loaded = false;
  client.reachable = false;
  EXPECT_EQ(-1, record_finished_result(c(), "r6"));
  EXPECT_EQ("P: can't connect to localhost\nP: Erreur reception state\n"
            "P: Erreur wu_terminee (chargement state)\n",
            log());
}

TEST_F(AccountingTest, InconnuDownloadIsDroppedWithoutARecord) {
  Tables& t = c().tables;
  t.Download["r1"] = "inconnu";
  t.Duree["r1"] = "D;1;2";
  write_completion_records(c(), "r1");
  EXPECT_EQ(std::vector<std::string>({"duree|r1;D;1;2;"}), records());
  EXPECT_TRUE(t.Download.empty());
}

TEST_F(AccountingTest, RunCountsAreWeightedByTheCorrectionFactor) {
  struct Case { std::vector<double> factors; int shown; double stored; };
  const Case cases[] = {
      {std::vector<double>(10, 1.0), 10, 10.0},
      {{1.0, 1.0, 1.0, 0.5, 0.5}, 4, 4.0},
      {{1.0, 1.0, 1.0, 0.75, 0.75}, 4, 4.5},
  };
  int n = 0;
  for (const Case& k : cases) {
    std::string name = "wu_1_" + std::to_string(n++);
    client.active = {worker(name, "wu_1")};
    for (double f : k.factors) {
      factor = f;
      cycle();
    }
    EXPECT_DOUBLE_EQ(k.stored, c().tables.Run.at(name + ";" + kDescription));
    mark();
    report_completed_task(c(), name);
    EXPECT_EQ(std::vector<std::string>({"run;" + name + ";" + kDescription + ";" +
                                        std::to_string(k.shown) + ";1 CPUs;"}),
              records());
    EXPECT_FALSE(c().tables.Run.count(name + ";" + kDescription));
  }
  // Without a resources text (the collector restarted): the short form.
  c().tables.Result["x"] = "D";
  c().tables.Run["x;D"] = 3.9;
  report_completed_task(c(), "x");
  EXPECT_EQ(std::vector<std::string>({"run;x;D;3;"}), records());
  report_completed_task(c(), "x");  // no entry left: nothing
  EXPECT_TRUE(records().empty());
}

TEST_F(AccountingTest, OutputFilesAreDiscoveredOnePerPass) {
  Tables& t = c().tables;
  t.Result["K"] = "D";
  t.Dir["K"] = project_dir;
  t.Nb_file_result["K"] = 0;
  write_file(project_dir + "/K_0", std::string(100, 'a'));
  write_file(project_dir + "/K_1", std::string(50, 'b'));
  watch_one_result(c(), "K");
  EXPECT_EQ(1, t.Nb_file_result.at("K"));
  EXPECT_EQ("100.000000", t.result_output_size_table.at("K"));
  watch_one_result(c(), "K");
  EXPECT_EQ(2, t.Nb_file_result.at("K"));
  EXPECT_EQ("150.000000", t.result_output_size_table.at("K"));
  remove((project_dir + "/K_0").c_str());
  write_file(project_dir + "/K_1", std::string(70, 'b'));
  watch_one_result(c(), "K");
  EXPECT_EQ(2, t.Nb_file_result.at("K"));
  EXPECT_EQ("170.000000", t.result_output_size_table.at("K"));
  // All gone and the client's state available: the result's end is recorded.
  remove((project_dir + "/K_1").c_str());
  ClientStateXml().result("K", "wu", 5, "10.000000", "11.000000").write("client_state.xml");
  watch_one_result(c(), "K");
  EXPECT_FALSE(t.Dir.count("K") || t.Nb_file_result.count("K") ||
               t.Size_file_result.count("K_0") || t.Size_file_result.count("K_1"));
  EXPECT_EQ("D;170.000000;10.000000", t.Upload.at("K"));
  EXPECT_EQ("D;10.000000;11.000000", t.Duree.at("K"));
}

TEST_F(AccountingTest, OutputWithoutIndexZeroIsNeverFound) {
  Tables& t = c().tables;
  t.Dir["K"] = project_dir;
  write_file(project_dir + "/K_1", "x");
  client.unexpected = {"get_results(all)", "get_state"};
  for (int i = 0; i < 3; i++) watch_one_result(c(), "K");
  EXPECT_EQ(0, t.Nb_file_result.at("K"));
  EXPECT_FALSE(t.result_output_size_table.count("K"));
}

TEST_F(AccountingTest, ForgetErasesExactlyTheResultsOutputSizes) {
  Tables& t = c().tables;
  for (const char* key : {"K_0", "K_1", "K_2", "K_02", "K_1_0", "K_x", "L_0"}) {
    t.Size_file_result[key] = 1.0;
  }
  t.Nb_file_result["K"] = 1;
  erase_output_sizes(t, "K", 1);
  std::vector<std::string> left;
  for (const auto& e : t.Size_file_result) left.push_back(e.first);
  EXPECT_EQ(std::vector<std::string>({"K_02", "K_1_0", "K_2", "K_x", "L_0"}), left);
  erase_output_sizes(t, "K", 2147483647);  // any bound, no loop over it
  EXPECT_EQ(4u, t.Size_file_result.size());
}

TEST_F(AccountingTest, PruningDropsVanishedInputFiles) {
  c().tables.File[project_dir + "/in_a"] = 1000;
  c().tables.File[project_dir + "/gone"] = 5;
  prune_input_files(c());
  EXPECT_EQ(1u, c().tables.File.size());
  EXPECT_TRUE(c().tables.File.count(project_dir + "/in_a"));
}

// New work units at the finish.
class NewWorkUnitsTest : public AccountingTest {
 protected:
  RESULT arrived(const std::string& name, const std::string& wu, double received,
                 int state = 2) {
    RESULT r = make_result(name, wu, kUrl);
    r.received_time = received;
    r.state = state;
    return r;
  }
};

TEST_F(NewWorkUnitsTest, CountsResultsNeverSeenActive) {
  client.all = {arrived("a_0", "wu_1", 1500), arrived("b_0", "wu_2", 2500),
                arrived("c_0", "wu_3", 900), arrived("d_0", "wu_3", 1000)};
  detect_new_work_units(c());
  EXPECT_EQ(std::vector<std::string>({"New_wu;P;A|U;2"}), records());
  EXPECT_EQ(clock.now(), c().tables.Last_new_wu);
  EXPECT_TRUE(c().tables.New_wu.empty());
  EXPECT_EQ(std::to_string(clock.now()) + ";New_wu;P;A|U;2\n", read_file("out"));
}

TEST_F(NewWorkUnitsTest, AddsToTheCountsOfFirstSightings) {
  client.active = {worker("wu_1_0", "wu_1", false)};
  cycle();
  mark();
  client.all = {arrived("wu_1_0", "wu_1", 1500.7), arrived("other_0", "wu_2", 2000)};
  // The cycle's document is let go before the (large) list of all results
  // comes, and the state is loaded again after it.
  ASSERT_TRUE(c().state.document.first_child());
  int document_held = -1;
  client.before_call = [&](const std::string& call) {
    if (call == "get_results(all)") document_held = c().state.document.first_child() ? 1 : 0;
  };
  detect_new_work_units(c());
  EXPECT_EQ(0, document_held);
  EXPECT_EQ(std::vector<std::string>({"New_wu;P;A|U;2"}), records());
}

TEST_F(NewWorkUnitsTest, UnreachableClientStillWritesTheCounts) {
  c().tables.New_wu["P;A|U"] = 1;
  client.reachable = false;
  detect_new_work_units(c());
  EXPECT_EQ(std::vector<std::string>({"New_wu;P;A|U;1"}), records());
  EXPECT_EQ("P: can't connect to localhost\nP: Erreur reception result (new WU)\n", log());
  EXPECT_EQ(clock.now(), c().tables.Last_new_wu);
  EXPECT_EQ(clock.now(), c().last_request_time);
}

TEST_F(NewWorkUnitsTest, NamesThatCannotBeFoundAreNotCounted) {
  client.all = {arrived("a_0", "wu_unknown", 1500), make_result("b_0", "wu_1", "http://x/y/")};
  client.all[1].received_time = 1500;
  detect_new_work_units(c());
  EXPECT_TRUE(records().empty());
  EXPECT_EQ("P: Erreur assignation app_name (recherche new_wu)\n"
            "P: Erreur assignation project_name (recherche new_wu)\n",
            log());
}

// A result that arrives, executes and completes within one work unit, and is
// still listed by the client at the finish, is counted once.
TEST_F(NewWorkUnitsTest, ResultCompletedWithinTheWorkUnitIsCountedOnce) {
  for (bool restart : {false, true}) {
    SCOPED_TRACE(restart ? "with a restart" : "without a restart");
    new_collector();
    open_output();
    seen_ = 0;
    c().host.processor_model = "cpu";
    c().tables.Last_new_wu = 1000;
    state.write("client_state.xml");
    client.active = {worker("wu_1_0", "wu_1")};
    client.all = {};
    cycle();
    client.active.clear();
    ClientStateXml fresh;
    fresh.project(kUrl, "P", 12).app("A", "U").app_version("A", 100, kPlatform)
        .workunit("wu_1", "A", {"in_a", "in_b"})
        .result("wu_1_0", "wu_1", 5, "10.000000", "11.000000");
    fresh.write("client_state.xml");
    cycle();  // completed and forgotten
    EXPECT_FALSE(c().tables.Delai.count("wu_1_0"));
    c().cycle_counter = 2;
    if (restart) {
      ASSERT_EQ(0, write_checkpoint(c()));
      new_collector();
      ASSERT_EQ(0, c().out.open("out", "ab"));
      FILE* f = fopen("cache", "rb");
      ASSERT_NE(nullptr, f);
      read_state_file(c().tables, f);
      fclose(f);
    }
    mark();
    RESULT finished = arrived("wu_1_0", "wu_1", 1500.7, 5);
    finished.ready_to_report = true;
    client.all = {finished};
    detect_new_work_units(c());
    EXPECT_EQ(std::vector<std::string>({"New_wu;P;A|U;1"}), records());
  }
}

}  // namespace

namespace {

// The road of two worker tasks through a whole work unit, in test mode
// against the in-process client.
TEST_F(AccountingTest, WholeWorkUnitFollowsTwoWorkersToTheirEnd) {
  const char kUrl2[] = "http://host2/other/";
  make_dirs(dir->path() + "/projects/host2_other");
  write_file(dir->path() + "/projects/host2_other/B_1.00", std::string(700, 'b'));
  write_file(dir->path() + "/projects/host2_other/in_c", std::string(400, 'c'));
  c().host = HostBlock();  // the host block runs in the first cycle
  c().tables.Last_new_wu = 1000;
  auto write_state = [&](int cycle) {
    ClientStateXml doc;
    doc.project(kUrl, "P", 12).app("A", "U").app("own", "Collector")
        .app_version("A", 100, kPlatform, {"A_1.00"})
        .app_version("own", 100, kPlatform, {"A_lib"})
        .workunit("wu_1", "A", {"in_a", "in_b"}).workunit("own", "own");
    if (cycle >= 4) doc.result("wu_1_0", "wu_1", 5, "150.000000", "170.000000");
    doc.project(kUrl2, "Q", 34).app("B", "V").app_version("B", 7, kPlatform, {"B_1.00"})
        .workunit("wu_5", "B", {"in_c"}).workunit("wu_6", "B", {"in_c"});
    if (cycle >= 5) doc.result("wu_5_0", "wu_5", 5, "90.000000", "95.000000", "mt");
    doc.write("client_state.xml");
  };
  client.before_call = [&](const std::string& call) {
    if (call != "get_results(active)") return;
    const int cycle = c().cycle_counter;
    write_state(cycle);
    RESULT own = make_executing("own_0", "own", kUrl, 0);
    strcpy(own.plan_class, "nci");
    strcpy(own.resources, "0.01 CPUs");
    own.received_time = 900;  // before the last count
    RESULT w1 = worker("wu_1_0", "wu_1");
    RESULT w2 = make_executing("wu_5_0", "wu_5", kUrl2, 4);
    w2.received_time = 2000;
    w2.version_num = 7;
    strcpy(w2.plan_class, "mt");
    RESULT long_task = make_executing("wu_6_0", "wu_6", kUrl2, 5);
    long_task.received_time = 2100;
    long_task.version_num = 7;
    client.active = {own};
    if (cycle <= 3) client.active.push_back(w1);
    if (cycle >= 2 && cycle <= 4) client.active.push_back(w2);
    client.active.push_back(long_task);
    if (cycle == 2) write_file(project_dir + "/wu_1_0_0", std::string(4096, 'o'));
    if (cycle == 3) write_file(dir->path() + "/projects/host2_other/wu_5_0_0", std::string(512, 'o'));
    if (cycle == 4) remove((project_dir + "/wu_1_0_0").c_str());
    // Listed by the client at the finish (both workers done, not reported).
    w1.state = w2.state = 5;
    w1.ready_to_report = w2.ready_to_report = true;
    client.all = {w1, w2, long_task, own};
  };
  c().settings.cycle_count = 6;
  ASSERT_EQ(0, open_and_restore(c()));
  client.before_call("get_results(active)");  // the state file exists from the start
  run_collection(c());

  std::vector<std::string> lines = split_lines(read_file("out"));
  auto position = [&](const std::string& start) {
    for (size_t i = 0; i < lines.size(); i++) {
      size_t at = lines[i].find(';');
      std::string record = at != std::string::npos && lines[i].find_first_not_of("0123456789") == at
                               ? lines[i].substr(at + 1)
                               : lines[i];
      if (record.compare(0, start.size(), start) == 0) return static_cast<int>(i);
    }
    return -1;
  };
  const std::string d1 = "cpu;P;A|U;x86_64-pc-linux-gnu;";
  const std::string d2 = "cpu;Q;B|V;x86_64-pc-linux-gnu;mt";
  const char* order1[] = {"delai;P;A|U;;1500;1600000", "resources;wu_1_0;", "upload;",
                          "download;P;A|U;3000.000000;;150.000000", "conso|wu_1;", "check|wu_1;",
                          "occupation;", "duree|wu_1;", "run;wu_1_0;"};
  int previous = -1;
  for (const char* record : order1) {
    int at = position(record);
    EXPECT_GT(at, previous) << record;
    previous = at;
  }
  EXPECT_NE(-1, position("upload;" + d1 + ";4096.000000;150.000000"));
  EXPECT_NE(-1, position("run;wu_1_0;" + d1 + ";3;1 CPUs;"));
  EXPECT_NE(-1, position("duree|wu_5;" + d2 + ";90.000000;95.000000;"));
  EXPECT_NE(-1, position("upload;" + d2 + ";512.000000;90.000000"));
  EXPECT_NE(-1, position("run;wu_5_0;" + d2 + ";3;1 CPUs;"));
  // Each project announced once, by its first executing task.
  EXPECT_EQ(1u, lines_starting(read_file("out"), "projet;http://host/proj/;P").size());
  EXPECT_EQ(1u, lines_starting(read_file("out"), "projet;http://host2/other/;Q").size());
  EXPECT_LT(position("active_project;P;cpu;5;600;12"), position("projet;http://host/proj/;P"));
  // The finish: arrivals, application sizes, the two tasks still running,
  // and what executed in the last cycle.
  int finish = position("New_wu;");
  EXPECT_GT(finish, position("run;wu_5_0;"));
  EXPECT_NE(-1, position("New_wu;P;A|U;1"));
  EXPECT_NE(-1, position("New_wu;Q;B|V;2"));
  EXPECT_GT(position("Dl_app;P;A|U;5000.000000;"), finish);
  EXPECT_GT(position("Dl_app;Q;B|V;700.000000;"), finish);
  EXPECT_GT(position("run;own_0;cpu;P;own|Collector;x86_64-pc-linux-gnu;nci;6;0.01 CPUs"), finish);
  EXPECT_GT(position("run;wu_6_0;cpu;Q;B|V;x86_64-pc-linux-gnu;;6;1 CPUs"), finish);
  EXPECT_EQ("Activetask\tcpu;P;own|Collector;x86_64-pc-linux-gnu;nci;0.01 CPUs", lines[lines.size() - 2]);
  EXPECT_EQ("Activetask\tcpu;Q;B|V;x86_64-pc-linux-gnu;;1 CPUs", lines.back());
  EXPECT_EQ("", log());
}

}  // namespace

namespace {

// Against a client_state.xml written by the real client (see the fixture's
// own comment for how it was made).
TEST_F(AccountingTest, RealClientStateFile) {
  write_file("client_state.xml",
             read_file(std::string(FIXTURES_DIR) + "/client_state/real_two_projects.xml"));
  const std::string alpha = dir->path() + "/projects/localhost_alpha";
  const std::string beta = dir->path() + "/projects/localhost_beta";
  make_dirs(alpha);
  make_dirs(beta);
  write_file(alpha + "/lattice_wu_102_grid", std::string(500, 'g'));
  write_file(alpha + "/lattice_wu_102_seed", std::string(20, 's'));
  write_file(alpha + "/lattice_2.05_x86_64-pc-linux-gnu", std::string(9000, 'x'));
  write_file(alpha + "/lattice_params_2.05.xml", std::string(100, 'p'));
  write_file(alpha + "/lattice_tables_2.05.dat", std::string(900, 't'));
  write_file(beta + "/sieve_wu_7_range", std::string(64, 'r'));
  write_file(beta + "/sieve_7.12_x86_64-pc-linux-gnu", std::string(7000, 'y'));

  RESULT lattice = make_executing("lattice_wu_102_0", "lattice_wu_102", "http://localhost/alpha/");
  lattice.version_num = 205;
  strcpy(lattice.plan_class, "mt");
  strcpy(lattice.resources, "4 CPUs");
  lattice.received_time = 1796996801.0;
  lattice.report_deadline = 1797601601.0;
  RESULT sieve = make_result("sieve_wu_7_1", "sieve_wu_7", "http://localhost/beta/");
  sieve.version_num = 712;
  sieve.received_time = 1796996802.0;
  sieve.report_deadline = 1797601602.0;
  client.active = {lattice, sieve};
  // Two results followed from an earlier cycle, now gone from the active list.
  Tables& t = c().tables;
  t.Result["lattice_wu_101_0"] = "cpu;Alpha Lattice;lattice|Lattice Relaxation;x86_64-pc-linux-gnu;mt";
  t.Download["lattice_wu_101_0"] = "Alpha Lattice;lattice|Lattice Relaxation;1024.000000;";
  t.Result["sieve_wu_8_0"] = "cpu;Beta Sieve;sieve|Prime Sieve;x86_64-pc-linux-gnu;";
  cycle();

  const std::string lattice_d = "cpu;Alpha Lattice;lattice|Lattice Relaxation;x86_64-pc-linux-gnu;mt";
  const std::string sieve_d = "cpu;Beta Sieve;sieve|Prime Sieve;x86_64-pc-linux-gnu;";
  EXPECT_EQ(std::vector<std::string>({
                "delai;Alpha Lattice;lattice|Lattice Relaxation;;1796996801;1797601601",
                "resources;lattice_wu_102_0;" + lattice_d + ";4 CPUs",
                "active_project;Alpha Lattice;cpu;5;600;4711",
                "projet;http://localhost/alpha/;Alpha Lattice",
                "delai;Beta Sieve;sieve|Prime Sieve;;1796996802;1797601602",
                "resources;sieve_wu_7_1;" + sieve_d + ";0.01 CPUs",  // the project is nci
                "download;Alpha Lattice;lattice|Lattice Relaxation;1024.000000;mt;0.767241",
                "duree|lattice_wu_101;" + lattice_d + ";0.767241;5.015177;",
                "duree|sieve_wu_8;" + sieve_d + ";0.505465;4.013936;",
            }),
            records());
  EXPECT_EQ("Alpha Lattice;lattice|Lattice Relaxation;520.000000;", t.Download.at("lattice_wu_102_0"));
  EXPECT_EQ("Beta Sieve;sieve|Prime Sieve;64.000000;", t.Download.at("sieve_wu_7_1"));
  EXPECT_EQ("Alpha Lattice;lattice|Lattice Relaxation;10000.000000", t.Dl_app.at("lattice"));
  EXPECT_EQ("Beta Sieve;sieve|Prime Sieve;7000.000000", t.Dl_app.at("sieve"));
  EXPECT_DOUBLE_EQ(4.0, c().executing_cpu_sum);
  EXPECT_EQ("", log());
}

}  // namespace
