// The per-result pass (then the completion pass, an output-watch pass and,
// when asked, the finish) over RESULT records filled from the input, against
// the in-process fake client, with the client's state as records (GUI RPC)
// or as a client_state.xml written from the same model.
//
// Input: fields separated by NUL bytes. First the mode (an int: 1 the
// client's state file, 2 input and application files on disk, 4 and 8 one
// to three more cycles, 16 the finish of the work unit), then for each
// result (at most 4) twenty fields, any of them possibly missing:
//   name, wu_name, project_url, project name, application name,
//   user-friendly name, platform, plan class, resources, a file name,
//   version, received time, deadline, state (2), faults (below), active
//   task state (1), slot (0), final CPU time, final elapsed time, working set.
// Faults (an int of bits): 1 suspended, 2 project suspended, 4 no active
// task, 8 project unknown to the client, 16 application unknown, 32 version
// unknown, 64 work unit unknown, 128 non-CPU-intensive project, 256 leaves
// the active list after the first cycle (and is finished), 512 finished but
// not ready to report. Names may hold anything but NUL: quotes, ";", "|",
// TABs, line ends, "../", long or non-UTF-8 texts.
//
// COLLECTOR_FUZZ_SHOW=1 in the environment prints the output file and the
// tables' state file text after each input.
//
// What must hold:
// - each result's part of the pass writes at most four lines, each of a
//   record kind of the pass; its "resources" line carries the whole result
//   name and its description, its "projet" line the whole URL and project
//   name (line ends made blanks): no name starts a line of its own;
// - a result whose names the client knows is taken up in the first cycle
//   (its name is in Result), one whose names it does not know is not;
// - the completion pass writes at most seven lines per completed result,
//   and the finish one per entry it reports, all of known kinds;
// - the state file written from the tables reads back without inventing
//   entries, exactly when no key is empty or holds a TAB or line end, and is
//   a fixed point after one round trip; the finish's state file on disk is
//   the text of the tables.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "accounting/accounting.h"
#include "client/paced_calls.h"
#include "driver/collection_cycle.h"
#include "driver/collector.h"
#include "persistence/checkpoint.h"
#include "tests/fakes/fake_client_calls.h"
#include "tests/fakes/fake_clock.h"
#include "tests/fakes/fake_platform.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

const size_t kMaxResults = 4;
const size_t kFieldsPerResult = 20;

enum Mode { kFileSource = 1, kFilesOnDisk = 2, kCycleShift = 2, kFinish = 16 };
enum Fault {
  kSuspended = 1,
  kProjectSuspended = 2,
  kNoActiveTask = 4,
  kNoProject = 8,
  kNoApp = 16,
  kNoVersion = 32,
  kNoWorkunit = 64,
  kNonCpuIntensive = 128,
  kFinishes = 256,
  kNotReady = 512,
};

struct Task {
  RESULT executing;  // as listed while active
  RESULT finished;   // as listed once done
  std::string project;
  std::string app;
  std::string friendly;
  std::string platform;
  std::string file;
  int faults = 0;
};

// The client: the fake's records, and the file references that only the
// state file carries.
struct Model {
  FakeClientCalls client;
  std::vector<std::vector<std::string>> version_files;   // by app_versions index
  std::vector<std::vector<std::string>> workunit_files;  // by workunits index
};

std::string xml_text(const std::string& text) {
  std::string out;
  for (char ch : text) {
    switch (ch) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '\r': out += "&#13;"; break;  // a raw CR would be read as LF
      default: out += ch;
    }
  }
  return out;
}

std::string element(const char* tag, const std::string& text) {
  return std::string("<") + tag + ">" + xml_text(text) + "</" + tag + ">\n";
}

std::string file_refs(const std::vector<std::string>& files) {
  std::string out;
  for (const std::string& f : files) out += "<file_ref>\n" + element("file_name", f) + "</file_ref>\n";
  return out;
}

std::string state_xml(const Model& m) {
  const FakeClientCalls& k = m.client;
  std::string out = "<client_state>\n";
  for (const PROJECT& p : k.projects) {
    out += "<project>\n" + element("master_url", p.master_url) +
           element("project_name", p.project_name) +
           element("hostid", std::to_string(p.hostid)) +
           (p.non_cpu_intensive ? "<non_cpu_intensive/>\n" : "") + "</project>\n";
  }
  for (const APP& a : k.apps) {
    out += "<app>\n" + element("name", a.name) +
           element("user_friendly_name", a.user_friendly_name) + "</app>\n";
  }
  for (size_t i = 0; i < k.app_versions.size(); i++) {
    const APP_VERSION& v = k.app_versions[i];
    out += "<app_version>\n" + element("app_name", v.app_name) +
           element("version_num", std::to_string(v.version_num)) +
           element("platform", v.platform) + file_refs(m.version_files[i]) + "</app_version>\n";
  }
  for (size_t i = 0; i < k.workunits.size(); i++) {
    const WORKUNIT& w = k.workunits[i];
    out += "<workunit>\n" + element("name", w.name) + element("app_name", w.app_name) +
           file_refs(m.workunit_files[i]) + "</workunit>\n";
  }
  for (const RESULT& r : k.all) {
    char times[128];
    snprintf(times, sizeof(times), "<final_cpu_time>%f</final_cpu_time>\n"
             "<final_elapsed_time>%f</final_elapsed_time>\n", r.final_cpu_time,
             r.final_elapsed_time);
    out += "<result>\n" + element("name", r.name) + element("wu_name", r.wu_name) +
           element("state", std::to_string(r.state)) + times +
           element("plan_class", r.plan_class) + "</result>\n";
  }
  return out + "</client_state>\n";
}

void set_text(char* field, size_t size, const std::string& text) {
  size_t n = text.size() < size - 1 ? text.size() : size - 1;
  text.copy(field, n);
  field[n] = '\0';
}

// A text as the lookups see it in the state file: pugixml drops a text made
// only of blanks, TABs and LFs, which then reads as empty (a CR is written
// as a character reference, so it counts as text).
std::string as_seen(const std::string& text, bool file_source) {
  if (file_source && text.find_first_not_of(" \t\n") == std::string::npos) return "";
  return text;
}

// Whether the pass must take the task up: the client knows its project (with
// a name), its work unit's application (with a user-friendly name) and the
// version (with a platform), each looked up as the first record that
// matches, as the client lists them.
bool known_to_client(const Model& m, const Task& t, bool file_source) {
  const FakeClientCalls& k = m.client;
  auto seen = [&](const std::string& text) { return as_seen(text, file_source); };
  const RESULT& r = t.executing;
  const PROJECT* project = nullptr;
  for (const PROJECT& p : k.projects) {
    if (seen(p.master_url) == r.project_url) {
      project = &p;
      break;
    }
  }
  if (!project || seen(project->project_name).empty()) return false;
  std::string app;
  for (const WORKUNIT& w : k.workunits) {
    if (seen(w.name) == r.wu_name) {
      app = seen(w.app_name);
      break;
    }
  }
  const APP* known_app = nullptr;
  for (const APP& a : k.apps) {
    if (seen(a.name) == app) {
      known_app = &a;
      break;
    }
  }
  if (!known_app || seen(known_app->user_friendly_name).empty()) return false;
  for (const APP_VERSION& v : k.app_versions) {
    if (seen(v.app_name) == app && v.version_num == r.version_num) {
      return !seen(v.platform).empty();
    }
  }
  return false;
}

bool plain_file_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.size() < 200;
}

bool starts_with(const std::string& text, const std::string& start) {
  return text.compare(0, start.size(), start) == 0;
}

// The output file's lines written since `*seen` bytes; moves *seen on.
std::vector<std::string> new_lines(Collector& c, size_t* seen) {
  c.out.flush();
  std::string text = read_bytes(c.paths.output);
  FUZZ_CHECK(text.size() >= *seen, "the output file only grows");
  std::string added = text.substr(*seen);
  *seen = text.size();
  FUZZ_CHECK(added.empty() || added.back() == '\n', "records end with a line end");
  FUZZ_CHECK(added.find('\r') == std::string::npos, "no CR in the output");
  return lines_of(added);
}

void check_pass_lines(Collector& c, const RESULT& r, const std::vector<std::string>& lines) {
  const std::string t = std::to_string(c.cycle_start_time) + ";";
  const std::string name = r.name;
  FUZZ_CHECK(lines.size() <= 4, std::to_string(lines.size()) + " lines for one result " +
                                    shown(name));
  for (size_t i = 0; i < lines.size(); i++) {
    const std::string& line = lines[i];
    if (starts_with(line, t + "resources;")) {
      auto description = c.tables.Result.find(name);
      FUZZ_CHECK(description != c.tables.Result.end(), "resources of a result not in Result");
      FUZZ_CHECK(starts_with(line, t + "resources;" + blanked(name) + ";" +
                                       blanked(description->second) + ";"),
                 "resources line does not carry the whole name: " + shown(line));
    } else if (starts_with(line, t + "delai;")) {
      auto project = c.tables.Project.find(r.project_url);
      FUZZ_CHECK(project != c.tables.Project.end() &&
                     starts_with(line, t + "delai;" + blanked(project->second) + ";"),
                 "delai line does not carry the whole project name: " + shown(line));
    } else if (starts_with(line, t + "active_project;")) {
      FUZZ_CHECK(i + 1 < lines.size() && starts_with(lines[i + 1], "projet;"),
                 "active_project without its projet line");
    } else {
      auto project = c.tables.Project.find(r.project_url);
      FUZZ_CHECK(project != c.tables.Project.end() &&
                     line == "projet;" + blanked(r.project_url) + ";" + blanked(project->second),
                 "line of no kind of the pass: " + shown(line));
    }
  }
}

void check_lines_of_kinds(const std::vector<std::string>& lines,
                          const std::vector<std::string>& starts, size_t most,
                          const char* step) {
  FUZZ_CHECK(lines.size() <= most, std::string(step) + " wrote " +
                                       std::to_string(lines.size()) + " lines, at most " +
                                       std::to_string(most) + " expected");
  for (const std::string& line : lines) {
    bool known = false;
    for (const std::string& s : starts) known = known || starts_with(line, s);
    FUZZ_CHECK(known, std::string(step) + " wrote a line of no known kind: " + shown(line));
  }
}

void check_state_file(const Tables& t) {
  bool exact = true;
  for (const TagKey& k : saved_keys(t)) {
    if (k.second.empty() || k.second.find_first_of("\t\r\n") != std::string::npos) exact = false;
  }
  check_state_round_trip(t, format_state_file(t), exact);
}

std::vector<Task> read_tasks(FieldReader& in) {
  std::vector<Task> tasks;
  while (tasks.size() < kMaxResults && !in.exhausted()) {
    Task t;
    const std::string name = in.text(), wu = in.text(), url = in.text();
    t.project = in.text();
    t.app = in.text();
    t.friendly = in.text();
    t.platform = in.text();
    const std::string plan_class = in.text(), resources = in.text();
    t.file = in.text();
    RESULT& r = t.executing;
    r = make_result(name, wu, url);
    r.version_num = in.integer(1);
    r.received_time = in.real(1700000000.0 - 100.0 * static_cast<double>(tasks.size()));
    r.report_deadline = in.real(1701000000.0);
    r.state = in.integer(2);
    t.faults = in.integer(0);
    r.active_task = !(t.faults & kNoActiveTask);
    r.suspended_via_gui = (t.faults & kSuspended) != 0;
    r.project_suspended_via_gui = (t.faults & kProjectSuspended) != 0;
    r.active_task_state = in.integer(1);
    r.slot = in.integer(0);
    r.final_cpu_time = in.real(10.0);
    r.final_elapsed_time = in.real(20.0);
    r.working_set_size_smoothed = in.real(1000000.0);
    r.current_cpu_time = r.final_cpu_time / 2;
    set_text(r.plan_class, sizeof(r.plan_class), plan_class);
    set_text(r.resources, sizeof(r.resources), resources);
    t.finished = r;
    t.finished.state = 5;
    t.finished.active_task = false;
    t.finished.ready_to_report = !(t.faults & kNotReady);
    tasks.push_back(t);
  }
  return tasks;
}

// The client's records for the tasks, in their order, but those the faults
// leave out.
void build_model(const std::vector<Task>& tasks, Model* m) {
  FakeClientCalls& k = m->client;
  int hostid = 100;
  for (const Task& t : tasks) {
    const RESULT& r = t.executing;
    if (!(t.faults & kNoProject)) {
      k.add_project(r.project_url, t.project, hostid++, (t.faults & kNonCpuIntensive) != 0);
    }
    if (!(t.faults & kNoApp)) k.add_app(t.app, t.friendly);
    if (!(t.faults & kNoVersion)) {
      k.add_app_version(t.app, r.version_num, t.platform);
      m->version_files.push_back({t.file});
    }
    if (!(t.faults & kNoWorkunit)) {
      k.add_workunit(r.wu_name, t.app);
      m->workunit_files.push_back({t.file});
    }
  }
}

// The client's lists in cycle `cycle` (1, 2 ...): a task that finishes is
// active in the first cycle only, then listed finished.
void list_results(const std::vector<Task>& tasks, int cycle, Model* m) {
  FakeClientCalls& k = m->client;
  k.active.clear();
  k.all.clear();
  for (const Task& t : tasks) {
    const bool done = cycle > 1 && (t.faults & kFinishes);
    if (!done) k.active.push_back(t.executing);
    k.all.push_back(done ? t.finished : t.executing);
  }
}

// Files of the tasks' work units and versions, in their project directories.
void make_files(Collector& c, const std::vector<Task>& tasks) {
  for (size_t i = 0; i < tasks.size(); i++) {
    const Task& t = tasks[i];
    if (!plain_file_name(t.file)) continue;
    std::string dir = project_directory(c, t.executing.project_url);
    std::string last = dir.substr(dir.find_last_of('/') + 1);
    if (last.size() > 200 || last == "." || last == "..") continue;
    mkdir(dir.c_str(), 0755);
    write_bytes(dir + "/" + t.file, std::string(100 * (i + 1), 'x'));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string& scratch = scratch_directory();
  empty_directory(scratch);
  const std::string data_dir = scratch + "/data";
  mkdir(data_dir.c_str(), 0755);
  mkdir((data_dir + "/projects").c_str(), 0755);
  mkdir((data_dir + "/slots").c_str(), 0755);
  mkdir((data_dir + "/slots/0").c_str(), 0755);

  FieldReader in(split_fields(data, size, 1 + kMaxResults * kFieldsPerResult));
  const int mode = in.integer(0);
  const bool file_source = (mode & kFileSource) != 0;
  const int cycles = 1 + ((mode >> kCycleShift) & 3);
  std::vector<Task> tasks = read_tasks(in);

  static FakeClock* clock = new FakeClock();
  clock->set(1700000000);
  FakePlatform platform;
  platform.cwd = data_dir + "/slots/0";
  Model model;
  build_model(tasks, &model);
  Collector c;
  c.clock = clock;
  c.platform = &platform;
  c.client = &model.client;
  c.settings.test_mode = true;
  c.settings.data_directory = data_dir;
  c.settings.cycle_count = cycles;
  c.paths.output = scratch + "/out";
  c.paths.counters = "checkpoint";  // the checkpoint's own name, in the working directory
  c.paths.state_file = scratch + "/cache";
  c.host.host_id = 1;
  c.host.processor_model = "cpu";
  c.host.client_processor_count = 4;
  c.host.logical_processor_count = 4;
  c.tables.Last_new_wu = 1699990000;
  quiet_log();
  FUZZ_CHECK(c.out.open(c.paths.output, "wb") == 0, "output file opened");
  if (mode & kFilesOnDisk) make_files(c, tasks);

  size_t seen = 0;
  for (int cycle = 1; cycle <= cycles; cycle++) {
    c.cycle_counter = cycle;
    c.cycle_start_time = c.now();
    c.state.reset();
    c.state.state_loaded = false;
    list_results(tasks, cycle, &model);
    const std::string xml_path = data_dir + "/client_state.xml";
    if (file_source) {
      FUZZ_CHECK(write_bytes(xml_path, state_xml(model)), "client_state.xml written");
    }
    FUZZ_CHECK(query_active_results(c) == 0, "the fake client answers");
    c.tables.Activetask_list.clear();
    c.executing_cpu_sum = 0.0;

    // The pass, one result at a time, so that each result's lines are seen.
    std::vector<RESULT*> listed;
    listed.swap(c.replies.active_results.results);
    for (RESULT* r : listed) {
      c.replies.active_results.results.assign(1, r);
      sample_active_results(c);
      check_pass_lines(c, *r, new_lines(c, &seen));
    }
    c.replies.active_results.results.swap(listed);
    if (cycle == 1) {
      std::set<std::string> taken, refused;
      for (const Task& t : tasks) {
        (known_to_client(model, t, file_source) ? taken : refused).insert(t.executing.name);
      }
      for (const std::string& name : taken) {
        FUZZ_CHECK(c.tables.Result.count(name),
                   "a result the client knows was not taken up: " + shown(name));
      }
      for (const std::string& name : refused) {
        FUZZ_CHECK(taken.count(name) || !c.tables.Result.count(name),
                   "a result the client does not know was taken up: " + shown(name));
      }
    }

    const size_t followed = c.tables.Result.size();
    completion_pass(c);
    const std::string t = std::to_string(c.cycle_start_time) + ";";
    check_lines_of_kinds(new_lines(c, &seen),
                         {t + "upload;", t + "download;", t + "conso|", t + "check|",
                          t + "occupation;", t + "duree|", t + "run;"},
                         7 * (followed - c.tables.Result.size()), "the completion pass");

    std::vector<std::string> names;
    for (const auto& entry : c.tables.Result) names.push_back(entry.first);
    c.state.state_loaded = false;
    for (const std::string& name : names) watch_one_result(c, name);
    check_lines_of_kinds(new_lines(c, &seen), {}, 0, "the output watch");
    check_state_file(c.tables);
    clock->advance(60);
  }

  if (mode & kFinish) {
    const Tables& tb = c.tables;
    const size_t most = tb.New_wu.size() + tasks.size() + tb.Dl_app.size() + tb.Run.size() +
                        tb.Activetask_list.size();
    const std::string t = std::to_string(c.cycle_start_time) + ";";
    const std::string arrivals = std::to_string(c.now()) + ";New_wu;";
    // The counters file and its temporary file are written in the working
    // directory: the scratch directory for this call only (libFuzzer writes
    // its files relative to the directory it was started in).
    char previous[4096];
    FUZZ_CHECK(getcwd(previous, sizeof(previous)) && chdir(scratch.c_str()) == 0,
               "working directory");
    finish_work_unit(c);
    FUZZ_CHECK(chdir(previous) == 0, "working directory back");
    check_lines_of_kinds(new_lines(c, &seen), {arrivals, t + "Dl_app;", t + "run;", "Activetask\t"},
                         most, "the finish");
    FUZZ_CHECK(read_bytes(c.paths.state_file) == format_state_file(c.tables),
               "the state file on disk is the tables' text");
    check_state_file(c.tables);
  }
  if (getenv("COLLECTOR_FUZZ_SHOW")) {
    // To see what an input does: the output file and the tables' text.
    fprintf(stderr, "--- output\n%s--- state file\n%s", read_bytes(c.paths.output).c_str(),
            format_state_file(c.tables).c_str());
  }
  return 0;
}
