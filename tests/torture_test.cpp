// The collector killed with SIGKILL at random instants and started again, as
// the client would start it (same directory, counters file present), hundreds
// of times over short work units.
//
// Each process is a fork of this test running the collector's own start-up
// and collection loop against a client model whose answers depend on nothing
// but the collector's cycle number: workers appear, execute, leave output
// files of known sizes and complete (state 5 in a client_state.xml that the
// model rewrites), while the collector's own task and one long worker keep
// running so that the work unit can end. The fake clock's sleeps also sleep a
// little real time, so that the parent can kill at any real instant, and
// checkpoints, with their syncs, take real time too. After a kill the next
// process starts a little after the start of the cycle the collector will go
// back to, so that cycle starts, and with them the records, are those of an
// uninterrupted run.
//
// What must hold: the state file is whole after every kill; no completion
// record appears twice for a result; and the records equal those of an
// uninterrupted run with the same model, apart from what belongs to each
// process (opening blocks, cycle lines, host records, the time of the last
// count of arrivals) and the two documented effects of the resources table
// living in memory only: "resources" records stated again in a restarted
// process's first cycle, and a "run" record without its resources text when
// its task is completed, or the work unit finished, in such a first cycle.
// One more record depends on how often the kills come: output sizes are seen
// by the output watch between cycles and kept from the next checkpoint on,
// so when every process that watched a worker's files was killed before its
// next checkpoint, no process ever knew them and the worker's "upload" record
// cannot be written. That is allowed only for a worker whose sizes no state
// file left by a kill ever held (counted, and printed with the figures).
//
// The environment can make the run longer or different: TORTURE_KILLS (kills
// in all, 300, at most 30 per work unit), TORTURE_RUNS (at most so many work
// units, 40), TORTURE_SEED,
// TORTURE_MAX_DELAY_US (longest wait before a kill, 240000), and
// TORTURE_KILL_IN_FIRST_CHECKPOINT=1 to stop holding back the kills between
// the two files of a task's first checkpoint (the task then starts over, so
// its records carry later times than the uninterrupted run's; that case is
// compared on its own by KillBetweenTheRenamesOfTheFirstCheckpoint).
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "client/client_calls.h"
#include "driver/collection_cycle.h"
#include "driver/collector.h"
#include "driver/startup.h"
#include "persistence/checkpoint.h"
#include "tests/fakes/client_state_xml.h"
#include "tests/fakes/fake_client_calls.h"
#include "tests/fakes/fake_platform.h"
#include "tests/fakes/faulty_platform.h"
#include "tests/fakes/test_support.h"

namespace {

const int64_t kStart = 1700000000;  // the first process's clock
const int kPeriod = 10;             // cycle period, seconds
const int kCycles = 30;             // planned cycles
const char kUrl[] = "http://localhost/torture/";
const char kProject[] = "Torture";
const char kPlatform[] = "x86_64-pc-linux-gnu";

// --- The client model -------------------------------------------------------

// One short worker. Cycles are the collector's cycle numbers.
struct Worker {
  int id;
  int arrive;         // first cycle it is listed as active
  int last_active;    // last cycle it is listed as active
  int files;          // output files, present from `arrive` ...
  int files_until;    // ... to this cycle
  int finished_from;  // first cycle with state 5 in the client's state
  int64_t vanish_ms = 0;  // when nonzero: the output files go at this clock time

  std::string name() const { return "w" + std::to_string(id) + "_0"; }
  std::string wu() const { return "w" + std::to_string(id); }
  std::string plan_class() const { return "pc" + std::to_string(id); }
  int slot() const { return 1 + id % 4; }
  double output_size(int j) const { return 1000.0 * id + 10.0 * j; }
};

// Workers arriving every three cycles, executing five to seven cycles, with
// one to three output files that stay until their last active cycle; the
// client reports them finished in the cycle after it.
std::vector<Worker> standard_workers(int variant) {
  std::vector<Worker> list;
  for (int i = 1;; i++) {
    int arrive = 1 + variant + 3 * (i - 1);
    int length = 5 + (i + variant) % 3;
    if (arrive + length > kCycles) break;
    list.push_back({i, arrive, arrive + length - 1, 1 + i % 3, arrive + length - 1,
                    arrive + length});
  }
  return list;
}

double received_time(const Worker& w) {
  return static_cast<double>(kStart + (w.arrive - 1) * kPeriod - 5);
}

RESULT base_result(const std::string& name, const std::string& wu, int version,
                   const std::string& plan_class) {
  RESULT r = make_result(name, wu, kUrl);
  r.version_num = version;
  snprintf(r.plan_class, sizeof(r.plan_class), "%s", plan_class.c_str());
  snprintf(r.platform, sizeof(r.platform), "%s", kPlatform);
  return r;
}

void set_executing(RESULT& r, int slot) {
  r.active_task = true;
  r.active_task_state = 1;
  r.state = 2;
  r.slot = slot;
}

// Writes `path` with exactly `size` bytes unless it has them already.
void write_exact(const std::string& path, int64_t size) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && st.st_size == size) return;
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return;
  std::string block(4096, 'x');
  for (int64_t left = size; left > 0; left -= static_cast<int64_t>(block.size())) {
    size_t n = left < static_cast<int64_t>(block.size()) ? static_cast<size_t>(left) : block.size();
    fwrite(block.data(), 1, n, f);
  }
  fclose(f);
}

class ModelClient : public ClientCalls {
 public:
  ModelClient(Collector* c, const std::string& data_dir, std::vector<Worker> workers,
              std::function<int64_t()> now_ms)
      : c_(c), dir_(data_dir), workers_(std::move(workers)), now_ms_(std::move(now_ms)) {}

  std::string project_dir() const { return dir_ + "/projects/localhost_torture"; }

  int exchange_versions(VERSION_INFO& version) override {
    apply();
    version.major = 7;
    version.minor = 20;
    version.release = 5;
    return 0;
  }
  int get_cc_status(CC_STATUS& status) override {
    apply();
    status.clear();
    status.network_suspend_reason = 0;
    return 0;
  }
  int get_host_info(HOST_INFO& host) override {
    apply();
    host.clear_host_info();
    host.coprocs.n_rsc = 1;
    return 0;
  }
  int get_results(RESULTS& results, bool active_only) override {
    apply();
    results.clear();
    for (const RESULT& r : listed(c_->cycle_counter, active_only)) {
      results.results.push_back(new RESULT(r));
    }
    return 0;
  }
  // The state file is always there: the fallback is never needed.
  int get_state(CC_STATE& state) override {
    unexpected_calls++;
    return -1;
  }

  // The output files of workers whose time to vanish has come go now.
  void remove_vanished() {
    for (const Worker& w : workers_) {
      if (w.vanish_ms == 0 || now_ms_() < w.vanish_ms) continue;
      for (int j = 0; j < w.files; j++) remove(output_path(w, j).c_str());
    }
  }

  int unexpected_calls = 0;

 private:
  std::string output_path(const Worker& w, int j) const {
    return project_dir() + "/" + w.name() + "_" + std::to_string(j);
  }

  // The results the client lists in cycle n, in its order.
  std::vector<RESULT> listed(int n, bool active_only) const {
    std::vector<RESULT> list;
    RESULT own = base_result("collector_0", "collector", 1, "nci");
    set_executing(own, 0);
    own.received_time = static_cast<double>(kStart - 100);
    own.report_deadline = static_cast<double>(kStart + 1000000);
    own.elapsed_time = n * kPeriod;
    own.estimated_cpu_time_remaining = 1000000.0;
    own.working_set_size_smoothed = 5000000.0;
    own.current_cpu_time = 0.25 * n;
    list.push_back(own);

    RESULT long_task = base_result("long_0", "long", 100, "long");
    set_executing(long_task, 9);
    snprintf(long_task.resources, sizeof(long_task.resources), "1 CPUs");
    long_task.received_time = static_cast<double>(kStart - 50);
    long_task.report_deadline = static_cast<double>(kStart + 900000);
    long_task.elapsed_time = n * kPeriod;
    long_task.estimated_cpu_time_remaining = 30000.0 - n * kPeriod;
    long_task.working_set_size_smoothed = 7000000.0 + 100.0 * n;
    long_task.current_cpu_time = 9.0 * n;
    long_task.checkpoint_cpu_time = 9.0 * n - 4.0;
    list.push_back(long_task);

    for (const Worker& w : workers_) {
      const bool active = w.arrive <= n && n <= w.last_active;
      const bool reported = n >= w.finished_from && n <= w.finished_from + 2;
      if (!active && (active_only || !reported)) continue;
      RESULT r = base_result(w.name(), w.wu(), 100, w.plan_class());
      r.received_time = received_time(w);
      r.report_deadline = received_time(w) + 86400.0;
      if (active) {
        set_executing(r, w.slot());
        // A worker of every fourth id is suspended by the user for one cycle.
        if (w.id % 4 == 0 && n == w.arrive + 1) r.suspended_via_gui = true;
        const char* resources = w.id % 2 ? "0.5 CPUs" : "1 CPUs";
        if (w.id == 2 && n >= w.arrive + 2) resources = "1 CPUs + 1 NVIDIA GPU";
        snprintf(r.resources, sizeof(r.resources), "%s", resources);
        r.elapsed_time = (n - w.arrive) * kPeriod;
        r.estimated_cpu_time_remaining = 25000.0 - r.elapsed_time;
        r.working_set_size_smoothed = 1000000.0 * w.id + 1000.0 * n;
        r.current_cpu_time = 8.0 * (n - w.arrive) + w.id;
        r.checkpoint_cpu_time = r.current_cpu_time > 3.0 ? r.current_cpu_time - 3.0 : 0.0;
      } else {
        r.state = 5;
        r.ready_to_report = true;
        r.final_cpu_time = 100.5 + w.id;
        r.final_elapsed_time = 120.25 + w.id;
      }
      list.push_back(r);
    }
    if (!active_only && n >= kCycles - 3) {
      RESULT queued = base_result("q_0", "q", 100, "");
      queued.received_time = static_cast<double>(kStart + (kCycles - 4) * kPeriod);
      queued.report_deadline = queued.received_time + 86400.0;
      list.push_back(queued);
    }
    return list;
  }

  // Puts the client's files in the state of cycle n; every process does it
  // again at its first call, which also mends what a killed one left half
  // done.
  void apply() {
    const int n = c_->cycle_counter;
    if (n == applied_) return;
    applied_ = n;
    const std::string project = project_dir();
    make_dirs(project);
    write_exact(project + "/worker_app_100", 5000);
    write_exact(project + "/collector_app", 3000);
    write_exact(project + "/shared_input", 7777);
    for (int slot : {0, 1, 2, 3, 4, 9}) {
      const std::string slot_dir = dir_ + "/slots/" + std::to_string(slot);
      make_dirs(slot_dir);
      write_exact(slot_dir + "/data", 1024 * (slot + 1) + 512 * (n % 2));
    }
    ClientStateXml xml;
    xml.project(kUrl, kProject, 77)
        .app("worker", "Worker")
        .app("collector", "Collector")
        .app_version("worker", 100, kPlatform, {"worker_app_100"})
        .app_version("collector", 1, kPlatform, {"collector_app"})
        .workunit("collector", "collector", {})
        .workunit("long", "worker", {"shared_input"});
    for (const Worker& w : workers_) {
      const std::string input = project + "/in_" + std::to_string(w.id);
      if (n >= w.arrive && n <= w.last_active + 2) {
        write_exact(input, 2000 + w.id);
      } else {
        remove(input.c_str());
      }
      const bool gone = w.vanish_ms != 0 && now_ms_() >= w.vanish_ms;
      for (int j = 0; j < w.files; j++) {
        if (!gone && n >= w.arrive && n <= w.files_until) {
          write_exact(output_path(w, j), static_cast<int64_t>(w.output_size(j)));
        } else {
          remove(output_path(w, j).c_str());
        }
      }
      if (n >= w.arrive) {
        xml.workunit(w.wu(), "worker", {"in_" + std::to_string(w.id), "shared_input"});
      }
    }
    if (n >= kCycles - 3) xml.workunit("q", "worker", {});
    xml.result("collector_0", "collector", 2).result("long_0", "long", 2);
    for (const Worker& w : workers_) {
      if (n < w.arrive) continue;
      if (n >= w.finished_from) {
        char cpu[32], elapsed[32];
        snprintf(cpu, sizeof(cpu), "%f", 100.5 + w.id);
        snprintf(elapsed, sizeof(elapsed), "%f", 120.25 + w.id);
        xml.result(w.name(), w.wu(), 5, cpu, elapsed, w.plan_class());
      } else {
        xml.result(w.name(), w.wu(), 2);
      }
    }
    if (n >= kCycles - 3) xml.result("q_0", "q", 2);
    // As the client does: a new file renamed over the old one.
    const std::string state = dir_ + "/client_state.xml";
    write_file(state + ".new", xml.text());
    rename((state + ".new").c_str(), state.c_str());
  }

  Collector* c_;
  std::string dir_;
  std::vector<Worker> workers_;
  std::function<int64_t()> now_ms_;
  int applied_ = -1;
};

// --- The process -------------------------------------------------------------

// A fake clock whose sleeps also take real time: `real_us` microseconds of
// real time per second of its own.
class RealtimeClock : public Clock {
 public:
  RealtimeClock(int64_t start_seconds, int real_us)
      : now_ms_(start_seconds * 1000), real_us_(real_us) {}
  int64_t now() override { return now_ms_ / 1000; }
  void sleep_ms(uint32_t ms) override { pass(ms); }
  void runtime_sleep(double seconds) override { pass(static_cast<int64_t>(seconds * 1000.0)); }
  int64_t now_ms() const { return now_ms_; }
  std::function<void(int64_t now_ms)> on_advance;

 private:
  void pass(int64_t ms) {
    int64_t us = ms * real_us_ / 1000;
    if (us > 0) std::this_thread::sleep_for(std::chrono::microseconds(us));
    now_ms_ += ms;
    if (on_advance) on_advance(now_ms_);
  }
  int64_t now_ms_;
  int real_us_;
};

// Shared between the test and its collector processes (an anonymous shared
// mapping made before the forks).
struct Shared {
  // Where the process stands: 0 elsewhere, 1 writing the counters file, 2
  // writing the state file (counters already replaced).
  std::atomic<int> phase;
  // The first checkpoint of the task is under way between its two renames
  // (see Guard below), and the test's wish to kill now.
  std::atomic<int> in_first_checkpoint;
  std::atomic<int> kill_pending;
  std::atomic<int> checkpoints;
  std::atomic<int> unexpected_calls;
};

Shared* shared_memory() {
  void* p =
      mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  return new (p) Shared();
}

void reset(Shared* s) {
  s->phase = 0;
  s->in_first_checkpoint = 0;
  s->kill_pending = 0;
  s->checkpoints = 0;
}

struct ProcessPlan {
  std::string dir;
  int64_t clock_start = kStart;
  std::vector<Worker> workers;
  int real_us = 1000;  // real microseconds per fake second
  // Kills between the two renames of a task's first checkpoint wait until
  // the state file is in place: the task would start over, with later times
  // than the uninterrupted run (compared on its own by
  // KillBetweenTheRenamesOfTheFirstCheckpoint).
  bool guard_first_checkpoint = true;
  // The process kills itself at this clock time (0: never), or right after
  // the counters file of the task's first checkpoint is in place.
  int64_t kill_at_ms = 0;
  bool kill_between_first_renames = false;
};

// The body of one collector process. Never returns.
[[noreturn]] void collector_process(const ProcessPlan& plan, Shared* shared) {
  if (chdir(plan.dir.c_str()) != 0) _exit(120);
  int log = open((plan.dir + "/collector.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (log >= 0) {
    dup2(log, 2);
    close(log);
  }
  RealtimeClock clock(plan.clock_start, plan.real_us);
  FakePlatform base;
  base.cwd = plan.dir + "/slots/0";
  FaultyPlatform platform(&base);
  std::unique_ptr<Collector> collector(new Collector());
  Collector& c = *collector;
  ModelClient client(&c, plan.dir, plan.workers, [&clock] { return clock.now_ms(); });
  c.clock = &clock;
  c.platform = &platform;
  c.client = &client;
  c.settings.test_mode = true;
  c.settings.data_directory = plan.dir;
  c.settings.cycle_count = kCycles;
  c.settings.cycle_period = kPeriod;

  clock.on_advance = [&](int64_t now_ms) {
    client.remove_vanished();
    if (plan.kill_at_ms != 0 && now_ms >= plan.kill_at_ms) raise(SIGKILL);
  };
  using Op = FaultyPlatform::Op;
  platform.observe = [&](Op op, const std::string& path, bool after, bool failed) {
    if (!after && op == Op::open && path == "temp") shared->phase = 1;
    if (!after && op == Op::runtime_rename && plan.guard_first_checkpoint &&
        !file_exists("cache")) {
      shared->in_first_checkpoint = 1;
      if (shared->kill_pending) {
        // The test is about to kill: let it, before the window opens.
        shared->in_first_checkpoint = 0;
        for (;;) pause();
      }
    }
    if (after && op == Op::runtime_rename && !failed) {
      shared->phase = 2;
      if (plan.kill_between_first_renames && !file_exists("cache")) raise(SIGKILL);
    }
    if (after && (op == Op::replace || op == Op::remove)) shared->in_first_checkpoint = 0;
    if (after && op == Op::sync_directory) {
      shared->phase = 0;
      shared->checkpoints++;
    }
  };
  if (open_and_restore(c) != 0) _exit(3);
  run_collection(c);
  shared->unexpected_calls += client.unexpected_calls;
  _exit(0);
}

pid_t start_process(const ProcessPlan& plan, Shared* shared) {
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) collector_process(plan, shared);
  return pid;
}

// Waits at most `seconds` for `pid`. Returns true when it ended (*status set).
bool wait_for(pid_t pid, double seconds, int* status) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    if (waitpid(pid, status, WNOHANG) == pid) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

// Runs a process to its end (bounded). Returns its wait status, or -1.
int run_to_end(const ProcessPlan& plan, Shared* shared) {
  pid_t pid = start_process(plan, shared);
  if (pid < 0) return -1;
  int status = 0;
  if (wait_for(pid, 120, &status)) return status;
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

// --- What a kill leaves ------------------------------------------------------

struct Mark {
  bool present = false;
  int cycle = 0;
  int start = 0;
  long long length = -1;
  int finished = 0;
};

// The counters file: five whole lines, or nothing.
bool read_counters_file(const std::string& dir, Mark* mark, std::string* problem) {
  *mark = Mark();
  if (!file_exists(dir + "/checkpoint")) return true;
  std::string text = read_file(dir + "/checkpoint");
  std::vector<std::string> lines = split_lines(text);
  static const std::regex number("-?[0-9]+");
  if (lines.size() != 5 || text.back() != '\n') {
    *problem = "counters file not whole: [" + text + "]";
    return false;
  }
  for (const std::string& line : lines) {
    if (!std::regex_match(line, number)) {
      *problem = "counters line not a number: [" + line + "]";
      return false;
    }
  }
  mark->present = true;
  mark->cycle = atoi(lines[0].c_str());
  mark->start = atoi(lines[1].c_str());
  mark->length = atoll(lines[3].c_str());
  mark->finished = atoi(lines[4].c_str());
  return true;
}

// The state file: every line a known tag, ending with its line end, and the
// last one the checkpoint line, which only a whole file holds.
bool read_state(const std::string& dir, Mark* mark, Tables* tables, std::string* problem) {
  *mark = Mark();
  if (!file_exists(dir + "/cache")) return true;
  const std::string text = read_file(dir + "/cache");
  static const std::set<std::string> tags = {
      "Delai", "Check", "Conso", "File", "Upload", "Download", "Occupation", "Result", "Duree",
      "Nb_file_result", "Size_file_result", "Dir", "Dl_app", "Project", "Ecart_releve",
      "Prochain_releve", "New wu", "New wu counted", "Last_new_wu", "App", "Platform",
      "Active_project", "Run", "Activetask", "Checkpoint"};
  if (text.empty() || text.back() != '\n') {
    *problem = "state file does not end with a line end (" + std::to_string(text.size()) +
               " bytes)";
    return false;
  }
  std::vector<std::string> lines = split_lines(text);
  for (const std::string& line : lines) {
    if (!tags.count(line.substr(0, line.find('\t')))) {
      *problem = "state file line with an unknown tag: [" + line + "]";
      return false;
    }
  }
  static const std::regex last("Checkpoint\t-\t([0-9]+);([0-9]+);(-?[0-9]+);([01])");
  std::smatch m;
  if (!std::regex_match(lines.back(), m, last)) {
    *problem = "state file does not end with its checkpoint line: [" + lines.back() + "]";
    return false;
  }
  mark->present = true;
  mark->cycle = atoi(m[1].str().c_str());
  mark->start = atoi(m[2].str().c_str());
  mark->length = atoll(m[3].str().c_str());
  mark->finished = atoi(m[4].str().c_str());
  FILE* f = fopen((dir + "/cache").c_str(), "r");
  if (f) {
    read_state_file(*tables, f);
    fclose(f);
  }
  return true;
}

// The checkpoint a process started now goes back to, as start-up chooses it.
Mark resumed_mark(const Mark& counters, const Mark& state) {
  if (counters.present && state.present &&
      (state.cycle < counters.cycle ||
       (state.cycle == counters.cycle && state.finished < counters.finished))) {
    return state;
  }
  return counters;
}

// --- Comparing outputs -------------------------------------------------------

struct Record {
  std::string text;
  int process;  // 1 for the first opening block
  int cycle;    // cycles of that process so far (0: before its first cycle)
};

bool is_per_process(const std::string& line, int* process, int* cycle) {
  static const std::regex prefix("^[0-9]{2}:[0-9]{2}:[0-9]{2} \\([0-9]+\\): ");
  if (std::regex_search(line, prefix)) {
    if (line.find(": method 3;") != std::string::npos) {
      ++*process;
      *cycle = 0;
    } else if (line.find(": cycle") != std::string::npos) {
      ++*cycle;
    }
    return true;
  }
  for (const char* tag : {"Longueur_wu;", "Credit_cycle;", "hostid;", "p_model;", "edd;", "GPU;"}) {
    if (line.compare(0, strlen(tag), tag) == 0) return true;
  }
  return false;
}

std::vector<Record> records_of(const std::string& out) {
  std::vector<Record> records;
  int process = 0, cycle = 0;
  for (const std::string& line : split_lines(out)) {
    if (is_per_process(line, &process, &cycle)) continue;
    records.push_back({line, process, cycle});
  }
  return records;
}

// The kind of a timestamped record ("upload", "conso|" ...), or "".
std::string kind_of(const std::string& text) {
  static const std::regex kind("^-?[0-9]+;([a-zA-Z_]+[|;])");
  std::smatch m;
  if (!std::regex_search(text, m, kind)) return "";
  std::string k = m[1].str();
  if (k.back() == ';') k.pop_back();
  return k;
}

// The worker a record belongs to ("w3_0"), or "".
std::string worker_of(const std::string& text) {
  static const std::regex worker("[;|]w([0-9]+)(_0)?;|;pc([0-9]+);");
  std::smatch m;
  if (!std::regex_search(text, m, worker)) return "";
  return "w" + (m[1].matched ? m[1].str() : m[3].str()) + "_0";
}

bool is_completion_kind(const std::string& kind) {
  static const std::set<std::string> kinds = {"upload", "download", "conso|", "check|",
                                              "occupation", "duree|", "run"};
  return kinds.count(kind) > 0;
}

// "run" record `text` with its resources text left out, as a process writes
// it when the resources table has no entry.
std::string without_resources(const std::string& text) {
  if (kind_of(text) != "run") return "";
  if (!text.empty() && text.back() == ';') {
    // At completion: ...;count;resources;  ->  ...;count;
    std::string body = text.substr(0, text.size() - 1);
    size_t cut = body.rfind(';');
    return cut == std::string::npos ? "" : body.substr(0, cut + 1);
  }
  size_t cut = text.rfind(';');  // at the finish: ...;count;resources -> ...;count
  return cut == std::string::npos ? "" : text.substr(0, cut);
}

// The time of the last count of arrivals is the finishing process's own.
std::string comparable(const std::string& text) {
  if (kind_of(text) == "New_wu") return text.substr(text.find(';') + 1);
  return text;
}

struct Figures {
  int runs = 0;
  int kills = 0;
  int kills_by_phase[3] = {0, 0, 0};
  int kills_deferred = 0;       // waited for a first checkpoint's state file
  int finished_before_kill = 0;
  int records_compared = 0;
  int resources_compared = 0;
  int run_without_resources = 0;
  int uploads_never_observed = 0;
  int back_to_state_file = 0;   // "Reprise au point de reprise"
  int outputs_cut_back = 0;     // "Sortie ramenee"
  int stale_temp_files = 0;
  int state_files_checked = 0;
};

// Checks a killed run's output against the uninterrupted one.
// `observed` holds the workers whose output sizes some checkpoint had
// recorded whole: only those must have an "upload" record.
void compare_outputs(const std::string& reference, const std::string& torture,
                     const std::set<std::string>& observed, const std::string& where,
                     Figures* figures) {
  std::vector<Record> want, got;
  std::multiset<std::string> want_resources;
  std::set<std::string> want_resources_text;
  for (const Record& r : records_of(reference)) {
    if (kind_of(r.text) == "resources") {
      want_resources.insert(r.text);
      want_resources_text.insert(r.text.substr(r.text.find(';')));
    } else {
      want.push_back(r);
    }
  }
  std::map<std::string, int> completions;
  for (const Record& r : records_of(torture)) {
    const std::string kind = kind_of(r.text);
    if (is_completion_kind(kind) && !worker_of(r.text).empty()) {
      int n = ++completions[kind + " " + worker_of(r.text)];
      EXPECT_EQ(1, n) << where << ": completion record twice: " << r.text;
    }
    if (kind == "resources") {
      auto same = want_resources.find(r.text);
      if (same != want_resources.end()) {
        want_resources.erase(same);
      } else {
        // Stated again in a restarted process's first cycle.
        EXPECT_EQ(1, r.cycle) << where << ": extra resources record " << r.text;
        EXPECT_TRUE(want_resources_text.count(r.text.substr(r.text.find(';'))))
            << where << ": resources record of no uninterrupted kind " << r.text;
      }
      figures->resources_compared++;
      continue;
    }
    got.push_back(r);
  }
  EXPECT_TRUE(want_resources.empty())
      << where << ": " << want_resources.size() << " resources records missing, first "
      << (want_resources.empty() ? "" : *want_resources.begin());

  size_t i = 0, j = 0;
  while (i < want.size() || j < got.size()) {
    if (i < want.size() && j < got.size() && comparable(want[i].text) == comparable(got[j].text)) {
      i++, j++;
      figures->records_compared++;
      continue;
    }
    if (i < want.size() && j < got.size() && got[j].cycle <= 1 &&
        without_resources(want[i].text) == got[j].text && !got[j].text.empty()) {
      i++, j++;
      figures->records_compared++;
      figures->run_without_resources++;
      continue;
    }
    if (i < want.size() && kind_of(want[i].text) == "upload" &&
        !observed.count(worker_of(want[i].text))) {
      i++;
      figures->uploads_never_observed++;
      continue;
    }
    ADD_FAILURE() << where << ": records differ at uninterrupted record " << i << " of "
                  << want.size() << " / killed-run record " << j << " of " << got.size()
                  << "\n  uninterrupted: " << (i < want.size() ? want[i].text : "(end)")
                  << "\n  killed run:    "
                  << (j < got.size() ? got[j].text + " (process " +
                                           std::to_string(got[j].process) + ", its cycle " +
                                           std::to_string(got[j].cycle) + ")"
                                     : "(end)");
    return;
  }
}

// The state file without the lines that belong to the last process, and
// with the run's directory in its paths written "DIR".
std::string comparable_state(const std::string& text, const std::string& dir) {
  std::string kept;
  for (std::string line : split_lines(text)) {
    for (size_t at = line.find(dir); at != std::string::npos; at = line.find(dir)) {
      line.replace(at, dir.size(), "DIR");
    }
    if (line.compare(0, 12, "Last_new_wu\t") == 0 || line.compare(0, 11, "Checkpoint\t") == 0) {
      continue;
    }
    kept += line + "\n";
  }
  return kept;
}

int count_in(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

int stale_temp_files(const std::string& dir) {
  int n = 0;
  for (const std::string& name : split_lines(list_directory(dir))) {
    if (name.compare(0, 6, "cache.") == 0 && name.size() > 10 &&
        name.compare(name.size() - 4, 4, ".tmp") == 0) {
      n++;
    }
  }
  return n;
}

int env_int(const char* name, int fallback) {
  const char* text = getenv(name);
  return text && *text ? atoi(text) : fallback;
}

struct VanishCase;

class TortureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    shared = shared_memory();
    ASSERT_NE(nullptr, shared);
  }
  void TearDown() override {
    if (shared) munmap(shared, sizeof(Shared));
  }

  // An uninterrupted run of `workers` in a directory of its own.
  void reference_run(const std::vector<Worker>& workers, std::string* out, std::string* state) {
    TempDir dir;
    ProcessPlan plan;
    plan.dir = dir.path();
    plan.workers = workers;
    reset(shared);
    int status = run_to_end(plan, shared);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    *out = read_file(dir.path() + "/out");
    *state = comparable_state(read_file(dir.path() + "/cache"), dir.path());
    ASSERT_FALSE(out->empty());
  }

  // Runs a first process, which must end by its own SIGKILL, then one
  // started as after any kill, to the end of the work unit. Returns the
  // output file.
  std::string killed_then_resumed(ProcessPlan plan) {
    reset(shared);
    int status = run_to_end(plan, shared);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
    Mark counters, state;
    Tables tables;
    std::string problem;
    EXPECT_TRUE(read_counters_file(plan.dir, &counters, &problem)) << problem;
    EXPECT_TRUE(read_state(plan.dir, &state, &tables, &problem)) << problem;
    Mark resume = resumed_mark(counters, state);
    plan.clock_start = resume.present ? resume.start + 3 : kStart;
    plan.kill_at_ms = 0;
    plan.kill_between_first_renames = false;
    reset(shared);
    status = run_to_end(plan, shared);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    return read_file(plan.dir + "/out");
  }

  // An uninterrupted run and a run killed at k.kill_at_s, compared.
  void run_vanish_case(const VanishCase& k, Figures* figures);

  Shared* shared = nullptr;
};

// Hundreds of kills at random real instants over several work units.
TEST_F(TortureTest, RandomKillsLoseAndDoubleNothing) {
  const int total_kills = env_int("TORTURE_KILLS", 300);
  const int max_runs = env_int("TORTURE_RUNS", 40);
  const int kills_per_run = 30;
  const int max_delay_us = env_int("TORTURE_MAX_DELAY_US", 240000);
  const bool guard = env_int("TORTURE_KILL_IN_FIRST_CHECKPOINT", 0) == 0;
  const unsigned seed = static_cast<unsigned>(env_int("TORTURE_SEED", 20261211));
  std::mt19937 random(seed);
  Figures figures;
  auto began = std::chrono::steady_clock::now();

  std::map<int, std::pair<std::string, std::string>> references;
  for (int run = 0; run < max_runs && figures.kills < total_kills; run++) {
    const int variant = run % 3;
    const std::vector<Worker> workers = standard_workers(variant);
    if (!references.count(variant)) {
      std::string out, state;
      reference_run(workers, &out, &state);
      if (HasFatalFailure()) return;
      references[variant] = {out, state};
    }
    const std::string where = "run " + std::to_string(run) + " (seed " + std::to_string(seed) +
                              ", variant " + std::to_string(variant) + ")";
    TempDir dir;
    ProcessPlan plan;
    plan.dir = dir.path();
    plan.workers = workers;
    plan.guard_first_checkpoint = guard;
    std::set<std::string> observed;
    bool ended = false;
    for (int kill_number = 0; !ended; kill_number++) {
      reset(shared);
      pid_t pid = start_process(plan, shared);
      ASSERT_GT(pid, 0);
      int status = 0;
      if (kill_number >= kills_per_run) {
        ASSERT_TRUE(wait_for(pid, 120, &status)) << where << ": last process did not end";
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << where << ": " << status;
        break;
      }
      // When to kill: soon after the start (start-up, the first cycle and
      // its checkpoint), later (after some cycles), or within the syncs of
      // one of the first checkpoints.
      std::uniform_int_distribution<int> mode(0, 99), early(0, max_delay_us / 6),
          late(max_delay_us / 6, max_delay_us), nth(1, 3), within(0, 3000);
      const int m = mode(random);
      bool done = false;
      if (m < 25) {
        const int target = nth(random);
        for (int i = 0; i < 40000 && !done; i++) {
          if (shared->checkpoints >= target - 1 && shared->phase != 0) break;
          done = waitpid(pid, &status, WNOHANG) == pid;
          std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        if (!done) done = wait_for(pid, within(random) / 1e6, &status);
      } else {
        done = wait_for(pid, (m < 55 ? early(random) : late(random)) / 1e6, &status);
      }
      if (done) {
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << where << ": " << status;
        figures.finished_before_kill++;
        ended = true;
        break;
      }
      shared->kill_pending = 1;
      if (shared->in_first_checkpoint) {
        figures.kills_deferred++;
        for (int i = 0; i < 50000 && shared->in_first_checkpoint; i++) {
          std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
      }
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      if (WIFEXITED(status)) {
        // It ended by itself just before the kill.
        ASSERT_EQ(0, WEXITSTATUS(status)) << where;
        figures.finished_before_kill++;
        break;
      }
      figures.kills++;
      figures.kills_by_phase[shared->phase.load() % 3]++;

      Mark counters, state;
      Tables tables;
      std::string problem;
      ASSERT_TRUE(read_counters_file(dir.path(), &counters, &problem)) << where << ": " << problem;
      ASSERT_TRUE(read_state(dir.path(), &state, &tables, &problem)) << where << ": " << problem;
      if (state.present) figures.state_files_checked++;
      if (counters.present) {
        // The state file holds the counters' checkpoint or the one before.
        ASSERT_TRUE(state.present) << where << ": counters of cycle " << counters.cycle
                                   << " without a state file";
        ASSERT_TRUE(state.cycle == counters.cycle || state.cycle == counters.cycle - 1)
            << where << ": state file at cycle " << state.cycle << ", counters at "
            << counters.cycle;
      }
      for (const Worker& w : workers) {
        auto known = tables.Nb_file_result.find(w.name());
        if (known != tables.Nb_file_result.end() && known->second == w.files) {
          observed.insert(w.name());
        }
      }
      Mark resume = resumed_mark(counters, state);
      std::uniform_int_distribution<int> into_cycle(1, kPeriod - 1);
      plan.clock_start = resume.present ? resume.start + into_cycle(random) : kStart;
    }
    if (HasFatalFailure()) return;
    figures.runs++;

    const std::string out = read_file(dir.path() + "/out");
    compare_outputs(references[variant].first, out, observed, where, &figures);
    EXPECT_EQ(references[variant].second,
              comparable_state(read_file(dir.path() + "/cache"), dir.path()))
        << where;
    Mark counters;
    std::string problem;
    ASSERT_TRUE(read_counters_file(dir.path(), &counters, &problem)) << problem;
    EXPECT_EQ(1, counters.finished) << where;
    EXPECT_EQ(static_cast<long long>(out.size()), counters.length) << where;
    const std::string log = read_file(dir.path() + "/collector.log");
    figures.back_to_state_file += count_in(log, "Reprise au point de reprise");
    figures.outputs_cut_back += count_in(log, "Sortie ramenee");
    figures.stale_temp_files += stale_temp_files(dir.path());
    EXPECT_EQ(0, shared->unexpected_calls.load()) << where;
  }
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  printf("[ figures  ] %d work units, %d kills survived (%d elsewhere, %d writing the counters "
         "file, %d writing the state file), %d work units ended before their kill\n",
         figures.runs, figures.kills, figures.kills_by_phase[0], figures.kills_by_phase[1],
         figures.kills_by_phase[2], figures.finished_before_kill);
  printf("[ figures  ] %d records compared with uninterrupted runs, %d resources records "
         "checked, %d state files read whole after a kill\n",
         figures.records_compared, figures.resources_compared, figures.state_files_checked);
  printf("[ figures  ] restarts back to the state file's checkpoint %d, outputs cut back %d, "
         "run records without resources text %d, uploads of never-checkpointed sizes %d\n",
         figures.back_to_state_file, figures.outputs_cut_back, figures.run_without_resources,
         figures.uploads_never_observed);
  printf("[ figures  ] kills held back until a first state file was in place %d, stale state "
         "temporary files left %d, %.1f s\n",
         figures.kills_deferred, figures.stale_temp_files, wall);
}

// The first worker's two output files (1000 and 1010 bytes) vanish during
// the output watch of cycle 5, as the client uploads them, and the collector
// is killed at that moment: the restarted process's first watch pass never
// sees them. The sizes that the checkpoint of cycle 5 holds must still give
// the "upload" record, in the cycle that completes the worker.
struct VanishCase {
  const char* name;
  int last_active;    // last cycle the worker is listed as active
  int finished_from;  // first cycle the client's state says state 5
  int64_t kill_at_s;  // seconds after the first process's start
  const char* upload;
};

std::vector<Worker> vanishing_workers(const VanishCase& k) {
  std::vector<Worker> workers = standard_workers(0);
  Worker& w = workers[0];
  w.last_active = k.last_active;
  w.files_until = k.last_active;
  w.finished_from = k.finished_from;
  w.vanish_ms = (kStart + 4 * kPeriod + 5) * 1000 + 500;
  return workers;
}

std::vector<std::string> uploads_of_first_worker(const std::string& out) {
  std::vector<std::string> found;
  for (const std::string& line : split_lines(out)) {
    if (kind_of(line) == "upload" && worker_of(line) == "w1_0") found.push_back(line);
  }
  return found;
}

void check_vanish_case(const VanishCase& k, const std::string& reference,
                       const std::string& out, Figures* figures) {
  SCOPED_TRACE(k.name);
  std::set<std::string> all;
  for (const Worker& w : vanishing_workers(k)) all.insert(w.name());
  EXPECT_EQ(std::vector<std::string>{k.upload}, uploads_of_first_worker(reference))
      << "the uninterrupted run";
  EXPECT_EQ(std::vector<std::string>{k.upload}, uploads_of_first_worker(out)) << "the killed run";
  compare_outputs(reference, out, all, k.name, figures);
}

void TortureTest::run_vanish_case(const VanishCase& k, Figures* figures) {
  std::string reference, state;
  reference_run(vanishing_workers(k), &reference, &state);
  TempDir dir;
  ProcessPlan plan;
  plan.dir = dir.path();
  plan.workers = vanishing_workers(k);
  plan.kill_at_ms = (kStart + k.kill_at_s) * 1000 + 500;
  check_vanish_case(k, reference, killed_then_resumed(plan), figures);
}

TEST_F(TortureTest, OutputFilesGoneAtTheKillKeepTheirUpload) {
  const VanishCase cases[] = {
      // Completed in the restarted process's first cycle, before any watch.
      {"leaves the active list in cycle 6", 5, 6, 45,
       "1700000050;upload;cpu;Torture;worker|Worker;x86_64-pc-linux-gnu;pc1;2010.000000;"
       "101.500000"},
      // Still listed in cycle 6: the first watch pass finds its files gone
      // and the client's state says it has finished.
      {"listed until cycle 6, finished in 6", 6, 6, 45,
       "1700000060;upload;cpu;Torture;worker|Worker;x86_64-pc-linux-gnu;pc1;2010.000000;"
       "101.500000"},
  };
  Figures figures;
  for (const VanishCase& k : cases) run_vanish_case(k, &figures);
  printf("[ figures  ] %d records compared after a kill at the moment output files vanished\n",
         figures.records_compared);
}

// The output files vanish during the watch of cycle 5 while the client still
// lists the worker and has not finished it: the watch keeps their last sizes
// until the result has finished, so that a kill during the watch of cycle 6
// does not lose the total, and the worker's completion in cycle 7 writes its
// "upload" record as in an uninterrupted run.
TEST_F(TortureTest, OutputSizesForgottenBeforeTheCompletionSurviveAKill) {
  const VanishCase k = {"files gone in cycle 5, listed until 6, finished in 7, killed in 6", 6, 7,
                        55,
                        "1700000060;upload;cpu;Torture;worker|Worker;x86_64-pc-linux-gnu;pc1;"
                        "2010.000000;101.500000"};
  Figures figures;
  run_vanish_case(k, &figures);
}

// Killed after the counters file of the task's first checkpoint is in place
// and before the state file is: the state file never held this task, so the
// task starts over as a new one (its output cut to nothing). Every record is
// then written once; the restarted first cycle starts later than the
// uninterrupted one did, so the records are compared without their leading
// time.
TEST_F(TortureTest, KillBetweenTheRenamesOfTheFirstCheckpoint) {
  const std::vector<Worker> workers = standard_workers(0);
  std::string reference, state;
  reference_run(workers, &reference, &state);
  TempDir dir;
  ProcessPlan plan;
  plan.dir = dir.path();
  plan.workers = workers;
  plan.kill_between_first_renames = true;
  const std::string out = killed_then_resumed(plan);
  auto untimed = [](const std::string& text) {
    std::multiset<std::string> found;
    for (const Record& r : records_of(text)) {
      if (kind_of(r.text) == "resources" || kind_of(r.text) == "New_wu") continue;
      size_t semicolon = r.text.find(';');
      bool timed = semicolon != std::string::npos &&
                   r.text.find_first_not_of("-0123456789") == semicolon;
      found.insert(timed ? r.text.substr(semicolon + 1) : r.text);
    }
    return found;
  };
  std::multiset<std::string> want = untimed(reference), got = untimed(out);
  EXPECT_EQ(want, got);
  EXPECT_EQ(1u, lines_starting(out, "Longueur_wu;").size());  // the first block was cut away
}

}  // namespace
