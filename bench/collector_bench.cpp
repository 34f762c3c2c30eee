// collector_bench: what the collector costs on hosts with many tasks, set
// against the one cost it cannot avoid, one pugixml load_file of the client's
// state file.
//
//   collector_bench [--sizes 100,1000,10000,50000] [--cases LIST] [--timeout SECONDS]
//                   [--dir DIR] [--keep] [--keep-freed-memory] [--repeat N]
//
//   --sizes    result counts of the generated client states
//   --cases    any of: steady first completion watch checkpoint rpc process
//              (default: all of them, the last three on 10,000 results only;
//              named, they run on every size)
//   --timeout  a case still running after this many seconds is stopped and
//              reported as such (default 900)
//   --dir      where the data directories are made (default $TMPDIR or /tmp)
//   --keep     leave the data directories behind, with each case's working
//              directory (slots/bench_CASE: its out, cache and checkpoint)
//   --keep-freed-memory
//              tune the allocator as the collector would with
//              mallopt(M_MMAP_THRESHOLD, 32 MiB) and mallopt(M_TRIM_THRESHOLD,
//              1 GiB): freed memory stays in the process instead of being
//              handed back and faulted in again at the next parse (the
//              collector program gets the same through GLIBC_TUNABLES)
//   --repeat   run the steady cycle and each cycle of first sightings N times,
//              a cycle period apart on the fake clock (the tables emptied
//              between two cycles of first sightings), and report the one of
//              median length (default 1)
//
// Each case runs in a child process of its own (fork), so that its peak
// memory (VmHWM, reset with /proc/self/clear_refs once the case's fixture is
// built) is its own, and measures load_file of the same state file in that
// same process first. The collector's real code runs against the in-process
// fake client (tests/fakes) with the system's file calls; only the clock is
// a fake one, so that no case sleeps.
#include <malloc.h>
#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <pugixml.hpp>

#include "accounting/accounting.h"
#include "bench/bench_data.h"
#include "client/client_state.h"
#include "client/paced_calls.h"
#include "client/state_index.h"
#include "driver/collection_cycle.h"
#include "driver/collector.h"
#include "driver/log.h"
#include "driver/text.h"
#include "host/host_block.h"
#include "persistence/checkpoint.h"
#include "tests/fakes/fake_client_calls.h"
#include "tests/fakes/fake_clock.h"
#include "tests/fakes/fake_gui_rpc_server.h"
#include "tests/fakes/process.h"

namespace {

const char kProcessorModel[] = "AMD EPYC [Family 25 Model 17 Stepping 1]";
const int kVanished = 10;  // results whose output files vanish in a watch pass

// --- Clocks and memory -------------------------------------------------------

double wall_ms() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

double cpu_ms(clockid_t id = CLOCK_PROCESS_CPUTIME_ID) {
  struct timespec ts;
  clock_gettime(id, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

struct Span {
  double wall = 0, cpu = 0;
};

class Stopwatch {
 public:
  Stopwatch() : wall_(wall_ms()), cpu_(cpu_ms()) {}
  Span span() const { return Span{wall_ms() - wall_, cpu_ms() - cpu_}; }

 private:
  double wall_, cpu_;
};

// A field of /proc/self/status in MB ("VmHWM", "VmRSS").
double status_mb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, strlen(field), field) == 0 && line[strlen(field)] == ':') {
      return atof(line.c_str() + strlen(field) + 1) / 1024.0;
    }
  }
  return -1;
}

// Starts a new peak: VmHWM drops to the present RSS.
void reset_peak() {
  FILE* f = fopen("/proc/self/clear_refs", "w");
  if (!f) return;
  fputs("5", f);
  fclose(f);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// One load_file of the state file, the unit every case is measured against:
// the median of three, after one that warms the page cache.
// With `options`, the same for another set of parse options.
Span load_file_time(const std::string& path, unsigned options = pugi::parse_default) {
  std::vector<double> walls, cpus;
  for (int i = 0; i < 4; i++) {
    pugi::xml_document d;
    Stopwatch w;
    pugi::xml_parse_result r = d.load_file(path.c_str(), options, pugi::encoding_auto);
    Span s = w.span();
    if (!r) fprintf(stderr, "bench: %s does not parse: %s\n", path.c_str(), r.description());
    if (i == 0) continue;
    walls.push_back(s.wall);
    cpus.push_back(s.cpu);
  }
  return Span{median(walls), median(cpus)};
}

// --- The collector under test -------------------------------------------------

struct Harness {
  FakeClock clock{1700000000};
  FakeClientCalls client;
  std::unique_ptr<Collector> collector;
  std::string log;

  explicit Harness(const BenchData& data) {
    collector.reset(new Collector());
    Collector& c = *collector;
    c.clock = &clock;
    c.client = &client;
    c.settings.test_mode = true;
    c.settings.data_directory = data.root();
    c.paths.output = "out";
    c.paths.counters = "checkpoint";
    c.paths.state_file = "cache";
    c.paths.coproc = "coproc.txt";
    c.host.host_id = 1;
    c.host.processor_model = kProcessorModel;
    c.host.client_processor_count = 16;
    c.host.logical_processor_count = 16;
    c.tables.Last_new_wu = 1000;
    c.out.open("out", "wb");
    log_capture(&log);
  }
  ~Harness() { log_capture(nullptr); }
  Collector& c() { return *collector; }
};

// Where the time of one cycle went.
struct CycleSplit {
  Span total, query, sample, completion, checkpoint;
};

// The cycle from its start to its checkpoint, as the collection loop runs it
// once the host block has been written.
CycleSplit cycle_body(Harness& h) {
  Collector& c = h.c();
  CycleSplit split;
  Stopwatch total;
  c.cycle_start_time = c.current_time = c.now();
  c.state.state_loaded = false;
  c.cycle_counter += 1;
  c.out.printf("%s cycle%d\n", msg_prefix(), c.cycle_counter);
  c.out.flush();
  c.correction_factor = correction_factor(c);
  c.state.state_loaded = false;
  Stopwatch query;
  int status = query_active_results(c);
  split.query = query.span();
  if (status != 0) {
    fprintf(stderr, "bench: the fake client did not answer\n");
  } else {
    c.last_request_time = 0;
    c.tables.Activetask_list.clear();
    c.executing_cpu_sum = 0.0;
    Stopwatch sample;
    sample_active_results(c);
    split.sample = sample.span();
    Stopwatch completion;
    completion_pass(c);
    split.completion = completion.span();
  }
  c.out.flush();
  c.current_time = c.now();
  Stopwatch checkpoint;
  if (write_checkpoint(c) != 0) fprintf(stderr, "bench: checkpoint failed\n");
  split.checkpoint = checkpoint.span();
  split.total = total.span();
  return split;
}

// The cycle of median total wall time.
CycleSplit median_cycle(std::vector<CycleSplit> cycles) {
  std::sort(cycles.begin(), cycles.end(), [](const CycleSplit& a, const CycleSplit& b) {
    return a.total.wall < b.total.wall;
  });
  return cycles[cycles.size() / 2];
}

// Indexes 0 ... n-1 spread evenly over the state's results.
std::vector<int> spread(const BenchData& data, int n) {
  std::vector<int> which;
  for (int k = 0; k < n; k++) {
    which.push_back(static_cast<int>(static_cast<long long>(k) * data.size() / n));
  }
  return which;
}

// The active list: `which`, of which the first `executing` execute in slots
// 1, 2, ...
std::vector<RESULT> active_list(const BenchData& data, const std::vector<int>& which,
                                int executing) {
  std::vector<RESULT> list;
  list.reserve(which.size());
  for (size_t k = 0; k < which.size(); k++) {
    int slot = static_cast<int>(k) < executing ? static_cast<int>(k) % BenchData::kSlots + 1 : 0;
    list.push_back(data.active_record(which[k], slot));
  }
  return list;
}

// The tables a known executing task has after its readings so far.
void known_executing(Harness& h, const BenchData& data, const std::vector<int>& which,
                     int executing) {
  Tables& t = h.c().tables;
  for (int k = 0; k < executing && k < static_cast<int>(which.size()); k++) {
    const std::string name = data.result(which[static_cast<size_t>(k)]).name;
    t.Ecart_releve[name] = 3.6;
    t.Prochain_releve[name] = 0.0;
    const std::string& project = t.Project[data.project(data.result(which[static_cast<size_t>(k)]).project).url];
    if (std::find(t.Active_project.begin(), t.Active_project.end(), project) ==
        t.Active_project.end()) {
      t.Active_project.push_back(project);
    }
  }
}

// --- Reporting ----------------------------------------------------------------

struct Report {
  std::string data_line;  // the state file and its load_file
  Span load;
  double state_mb = 0;
  double fake_mb = 0;  // what the fake client's model holds
};

void print_case(const Report& r, const std::string& name, const Span& s, double peak_mb,
                const std::string& note = std::string()) {
  double limit = 4 * r.state_mb + 20;
  printf("  %-40s wall %8.1f ms  cpu %8.1f ms  %6.2f x load (cpu %5.2f x)  peak %6.1f MB (fake "
         "client %5.1f, limit %5.1f)%s%s\n",
         name.c_str(), s.wall, s.cpu, r.load.wall > 0 ? s.wall / r.load.wall : 0,
         r.load.cpu > 0 ? s.cpu / r.load.cpu : 0, peak_mb, r.fake_mb, limit,
         note.empty() ? "" : "  ", note.c_str());
  fflush(stdout);
}

void print_split(const Report& r, const CycleSplit& s) {
  printf("  %-40s query %.1f ms (fake client's copy), per-result pass %.1f ms, completion "
         "pass %.1f ms, checkpoint %.1f ms\n",
         "", s.query.wall, s.sample.wall, s.completion.wall, s.checkpoint.wall);
  Span own{s.total.wall - s.query.wall, s.total.cpu - s.query.cpu};
  printf("  %-40s own work (cycle less the reply) %.1f ms = %.2f x load (cpu %.1f ms = %.2f x)\n",
         "", own.wall, r.load.wall > 0 ? own.wall / r.load.wall : 0, own.cpu,
         r.load.cpu > 0 ? own.cpu / r.load.cpu : 0);
  fflush(stdout);
}

std::string log_note(const Harness& h) {
  if (h.log.empty()) return std::string();
  size_t lines = static_cast<size_t>(std::count(h.log.begin(), h.log.end(), '\n'));
  std::string first = h.log.substr(0, h.log.find('\n'));
  return "[log: " + std::to_string(lines) + " lines, first: " + first + "]";
}

// --- Cases (each in a child process) ----------------------------------------------

// The client writes its state file again: the file's times change, so that
// the next pass parses it (as after any write of the client).
void client_rewrites_state(const BenchData& data) {
  if (utimensat(AT_FDCWD, data.state_path().c_str(), nullptr, 0) != 0) {
    fprintf(stderr, "bench: cannot touch the state file\n");
  }
}

// Waits until the state file is old enough for a document parsed from it to
// stand for it at later passes (a file changed less than a few seconds
// before it is read is parsed again at every pass): the earlier cases may
// have touched it.
void wait_until_settled(const BenchData& data) {
  struct stat st;
  if (stat(data.state_path().c_str(), &st) != 0) return;
  while (time(nullptr) < st.st_ctim.tv_sec + 4) usleep(100000);
}

// A cycle in which every result of the state is active and already known;
// up to 16 of them execute and take their readings. `rewritten`: the client
// has written its state file since the last cycle, which parses it again;
// otherwise the file is the one the last cycle parsed (a first cycle, not
// counted, parsed it), and its document serves again.
void case_steady(const BenchData& data, Report& r, int repeat, bool rewritten) {
  Harness h(data);
  std::vector<int> all = spread(data, data.size());
  int executing = std::min(data.size(), BenchData::kSlots);
  double before = status_mb("VmRSS");
  h.client.active = active_list(data, all, executing);
  r.fake_mb = status_mb("VmRSS") - before;
  data.fill_first_sightings(h.c(), all);
  known_executing(h, data, all, executing);
  reset_peak();
  // With --repeat, the cycle whose total is the median of `repeat` cycles,
  // the fake clock moved on by a cycle period between two.
  std::vector<CycleSplit> cycles;
  if (!rewritten) {
    wait_until_settled(data);
    cycle_body(h);
    h.clock.advance(60);
  }
  for (int i = 0; i < repeat; i++) {
    if (i > 0) h.clock.advance(60);
    if (rewritten) client_rewrites_state(data);
    cycles.push_back(cycle_body(h));
  }
  const CycleSplit s = median_cycle(cycles);
  std::string name = "steady cycle, " + std::to_string(data.size()) + " known" +
                     (rewritten ? ", state rewritten" : ", state unchanged");
  if (repeat > 1) name += " (median of " + std::to_string(repeat) + ")";
  print_case(r, name, s.total, status_mb("VmHWM"), log_note(h));
  print_split(r, s);
}

// A cycle in which `count` results are seen for the first time.
// With --repeat, the tables are emptied between two cycles, so that each one
// sees them all for the first time, and the cycle of median length reported.
void case_first(const BenchData& data, Report& r, int count, int repeat) {
  Harness h(data);
  std::vector<int> which = spread(data, count);
  double before = status_mb("VmRSS");
  h.client.active = active_list(data, which, std::min(count, BenchData::kSlots));
  r.fake_mb = status_mb("VmRSS") - before;
  reset_peak();
  std::vector<CycleSplit> cycles;
  for (int i = 0; i < repeat; i++) {
    if (i > 0) {
      h.clock.advance(60);
      h.c().tables = Tables();
      h.c().tables.Last_new_wu = 1000;
    }
    client_rewrites_state(data);  // new results come with a new state file
    cycles.push_back(cycle_body(h));
  }
  const CycleSplit s = median_cycle(cycles);
  std::string note = log_note(h);
  if (h.c().tables.Result.size() != static_cast<size_t>(count)) {
    note += " [only " + std::to_string(h.c().tables.Result.size()) + " taken up]";
  }
  std::string name = "cycle, " + std::to_string(count) + " first sightings";
  if (repeat > 1) name += " (median of " + std::to_string(repeat) + ")";
  print_case(r, name, s.total, status_mb("VmHWM"), note);
  print_split(r, s);
}

// A cycle in which `count` known results have left the active list (half of
// them finished in the state file); up to 16 others execute.
void case_completion(const BenchData& data, Report& r, int count) {
  Harness h(data);
  std::vector<int> gone = spread(data, count);
  std::vector<int> staying;
  for (int i = 0; i < data.size() && staying.size() < static_cast<size_t>(BenchData::kSlots); i++) {
    if (!std::binary_search(gone.begin(), gone.end(), i)) staying.push_back(i);
  }
  double before = status_mb("VmRSS");
  h.client.active = active_list(data, staying, static_cast<int>(staying.size()));
  r.fake_mb = status_mb("VmRSS") - before;
  std::vector<int> known = gone;
  known.insert(known.end(), staying.begin(), staying.end());
  data.fill_first_sightings(h.c(), known);
  known_executing(h, data, staying, static_cast<int>(staying.size()));
  Tables& t = h.c().tables;
  for (int i : gone) {
    const std::string name = data.result(i).name;
    const std::string& d = t.Result[name];
    t.Conso[name] = d + ";152043520;152043520";
    t.Check[name] = d + ";2850|2800;2910|2900";
    t.Occupation[name] = d + ";5214.25;5300.5";
    t.Ecart_releve[name] = 3.6;
    t.Prochain_releve[name] = 1700000000.0;
    t.Nb_file_result[name] = 1;
    t.Size_file_result[name + "_0"] = 20480.0;
    t.result_output_size_table[name] = "20480.000000";
    t.Run[name + ";" + d] = 57.0;
  }
  reset_peak();
  CycleSplit s = cycle_body(h);
  std::string note = log_note(h);
  if (!t.Result.empty() && t.Result.size() != staying.size()) {
    note += " [" + std::to_string(t.Result.size() - staying.size()) + " not completed]";
  }
  print_case(r, "cycle, " + std::to_string(count) + " completions", s.total, status_mb("VmHWM"),
             note);
  print_split(r, s);
}

// Watch passes over every result of the state: 16 executing with an output
// file, 10 whose output file has vanished, the others without output yet.
void case_watch(const BenchData& data, Report& r) {
  Harness h(data);
  std::vector<int> all = spread(data, data.size());
  data.fill_first_sightings(h.c(), all);
  Tables& t = h.c().tables;
  int executing = std::min(data.size(), BenchData::kSlots);
  int vanished = std::min(data.size() - executing, kVanished);
  std::vector<std::string> made;
  for (int k = 0; k < executing; k++) {
    const BenchResult& b = data.result(k);
    std::string path = t.Dir[b.name] + "/" + b.name + "_0";
    bench_make_file(path, 20480 + k);
    made.push_back(path);
  }
  Collector& c = h.c();
  // A pass before, as the watch makes one every second: the system's cache
  // of names knows the files and the missing ones.
  for (const auto& entry : t.Result) watch_one_result(c, entry.first);
  for (int k = executing; k < executing + vanished; k++) {
    // Output files seen before, gone now.
    const BenchResult& b = data.result(k);
    t.Nb_file_result[b.name] = 1;
    t.Size_file_result[b.name + "_0"] = 20480.0;
  }
  // The cycle before the watch has loaded the client's state.
  wait_until_settled(data);
  c.state.reset();
  c.state.state_loaded = false;
  load_client_state(c);
  reset_peak();
  Stopwatch first;
  for (const auto& entry : t.Result) watch_one_result(c, entry.first);
  Span pass1 = first.span();
  double peak1 = status_mb("VmHWM");
  // A result whose output files have gone is recorded when the state has it
  // finished; the others wait (half of the state's results are finished).
  int left = 0, unfinished = 0;
  for (int k = executing; k < executing + vanished; k++) {
    left += t.Dir.count(data.result(k).name) ? 1 : 0;
    unfinished += data.result(k).finished ? 0 : 1;
  }
  std::string note = log_note(h);
  note += " [" + std::to_string(vanished - unfinished) + " finished results recorded, " +
          std::to_string(unfinished) + " unfinished kept";
  if (left != unfinished) note += "; but " + std::to_string(left) + " left: WRONG";
  note += "]";
  print_case(r, "watch pass, " + std::to_string(vanished) + " outputs vanished", pass1, peak1, note);
  std::vector<double> walls, cpus;
  for (int i = 0; i < 5; i++) {
    h.clock.advance(1);
    Stopwatch again;
    for (const auto& entry : t.Result) watch_one_result(c, entry.first);
    Span s = again.span();
    walls.push_back(s.wall);
    cpus.push_back(s.cpu);
  }
  print_case(r, "watch pass, nothing vanished", Span{median(walls), median(cpus)},
             status_mb("VmHWM"));
  for (const std::string& path : made) remove(path.c_str());
}

// Checkpoints with large tables: the tables of every result of the state
// with three readings each (120,000 lines for 10,000 results).
void case_checkpoint(const BenchData& data, Report& r) {
  Harness h(data);
  std::vector<int> all = spread(data, data.size());
  data.fill_first_sightings(h.c(), all);
  Tables& t = h.c().tables;
  for (int i : all) {
    const std::string name = data.result(i).name;
    const std::string& d = t.Result[name];
    t.Conso[name] = d + ";152043520;152043520;152043520";
    t.Check[name] = d + ";2850|2800;2910|2900;2970|2900";
    t.Occupation[name] = d + ";5214.25;5300.5;5400.75";
  }
  std::string text = format_state_file(t);
  long long lines = std::count(text.begin(), text.end(), '\n');
  reset_peak();
  std::vector<double> walls, cpus, formats;
  for (int i = 0; i < 5; i++) {
    Stopwatch format;
    std::string again = format_state_file(t);
    formats.push_back(format.span().wall);
    Stopwatch w;
    if (write_checkpoint(h.c()) != 0) fprintf(stderr, "bench: checkpoint failed\n");
    Span s = w.span();
    walls.push_back(s.wall);
    cpus.push_back(s.cpu);
  }
  Span s{median(walls), median(cpus)};
  char note[200];
  snprintf(note, sizeof(note), "%lld lines, %.1f MB: %.2f ms per 1,000 lines (formatting alone %.2f)",
           lines, text.size() / 1048576.0, s.wall / (lines / 1000.0),
           median(formats) / (lines / 1000.0));
  print_case(r, "checkpoint", s, status_mb("VmHWM"), note);
}

// BOINC's RPC_CLIENT receiving and parsing replies of the loopback fake
// server, timed on the calling thread (the server runs on its own).
void case_rpc(const BenchData& data, Report& r) {
  FakeGuiRpcServer server;
  std::vector<int> all = spread(data, data.size());
  std::vector<RESULT> results = active_list(data, all, std::min(data.size(), BenchData::kSlots));
  server.edit([&](FakeClientModel& m) {
    for (int p = 0; p < BenchData::kProjects; p++) {
      const BenchProject& bp = data.project(p);
      m.add_project(bp.url, bp.name, bp.hostid, bp.non_cpu_intensive);
      for (const auto& app : bp.apps) m.add_app(app.first, app.second);
      for (const BenchVersion& v : bp.versions) {
        m.add_app_version(v.app, v.version_num, "x86_64-pc-linux-gnu", v.plan_class);
      }
      for (int i : all) {
        const BenchResult& b = data.result(i);
        if (b.project == p) m.add_workunit(b.wu_name, bp.versions[static_cast<size_t>(b.version)].app);
      }
    }
    m.set_results(results);
  });
  if (!server.start(0, false)) {
    printf("  rpc: the loopback server could not start\n");
    return;
  }
  RpcClientCalls calls(server.port());
  struct Call {
    const char* what;
    std::function<int()> run;
  };
  RESULTS list;
  CC_STATE state;
  const Call calls_made[] = {
      {"get_results (active)", [&] { return calls.get_results(list, true); }},
      {"get_results (all)", [&] { return calls.get_results(list, false); }},
      {"get_state", [&] { return calls.get_state(state); }},
  };
  reset_peak();
  for (const Call& call : calls_made) {
    std::vector<double> walls, cpus;
    for (int i = 0; i < 3; i++) {
      double w = wall_ms(), t = cpu_ms(CLOCK_THREAD_CPUTIME_ID);
      int status = call.run();
      cpus.push_back(cpu_ms(CLOCK_THREAD_CPUTIME_ID) - t);
      walls.push_back(wall_ms() - w);
      if (status != 0) printf("  rpc: %s returned %d\n", call.what, status);
    }
    char note[160];
    snprintf(note, sizeof(note), "BOINC library, %zu results; cpu is the calling thread's",
             state.results.size() + list.results.size());
    print_case(r, std::string("GUI RPC ") + call.what, Span{median(walls), median(cpus)},
               status_mb("VmHWM"), note);
    list.clear();
    state.clear();
  }
  server.stop();
}

// --- Child processes ------------------------------------------------------------

// Runs `body` in a child process in a fresh working directory under the data
// directory's slots/ (a sibling of the task slots), waits at most `timeout`
// seconds. Returns false when the child failed or was stopped.
bool keep_runs = false;  // --keep: the cases' working directories stay too

bool in_child(const BenchData& data, const std::string& name, int timeout,
              const std::function<void(Report&)>& body) {
  fflush(stdout);
  fflush(stderr);
  const std::string dir = data.root() + "/slots/bench_" + name;
  bench_remove_tree(dir);
  if (!bench_make_dirs(dir)) return false;
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(3);
    Report r;
    r.state_mb = data.state_bytes() / 1048576.0;
    r.load = load_file_time(data.state_path());
    body(r);
    fflush(stdout);
    _exit(0);
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout);
  int status = 0;
  for (;;) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      printf("  %-40s stopped after %d s\n", name.c_str(), timeout);
      fflush(stdout);
      bench_remove_tree(dir);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!keep_runs) bench_remove_tree(dir);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    printf("  %-40s failed (status %d)\n", name.c_str(), status);
    return false;
  }
  return true;
}

// Checks that fill_first_sightings leaves the tables exactly as the real
// per-result pass does, on a small state.
bool check_prepared_tables(const BenchData& data) {
  std::vector<int> all = spread(data, data.size());
  Harness real(data), made(data);
  real.client.active = active_list(data, all, 0);
  real.c().cycle_start_time = real.c().current_time = real.c().now();
  if (query_active_results(real.c()) != 0) return false;
  real.c().state.state_loaded = false;
  sample_active_results(real.c());
  data.fill_first_sightings(made.c(), all);
  bool same = format_state_file(real.c().tables) == format_state_file(made.c().tables) &&
              real.c().tables.resources_table == made.c().tables.resources_table &&
              real.log.empty();
  if (!same) {
    fprintf(stderr, "bench: prepared tables differ from the real pass's\n%s\n---\n%s\nlog: %s\n",
            format_state_file(real.c().tables).substr(0, 3000).c_str(),
            format_state_file(made.c().tables).substr(0, 3000).c_str(), real.log.c_str());
  }
  remove("out");
  remove("cache");
  remove("checkpoint");
  return same;
}

// --- The collector as a program ---------------------------------------------------

struct ProgramRun {
  bool ok = false;
  double wall = 0, cpu = 0, max_rss_mb = 0;
  int cycles = 0;
  // From the process's CPU time sampled every 50 ms: the CPU of each burst
  // of work (start-up, the cycles, the finish) and the rate between them.
  std::vector<double> bursts_ms;
  double idle_ms_per_s = 0;
};

// CPU time of every thread of process `pid` so far, in ms (the first field of
// /proc/PID/task/TID/schedstat, nanoseconds on the processor).
double process_cpu_ms(pid_t pid) {
  std::string dir = "/proc/" + std::to_string(pid) + "/task";
  double total = 0;
  if (DIR* d = opendir(dir.c_str())) {
    while (struct dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      std::ifstream in(dir + "/" + e->d_name + "/schedstat");
      double ns = 0;
      if (in >> ns) total += ns / 1e6;
    }
    closedir(d);
  }
  return total;
}

// The peak resident memory of process `pid` so far (VmHWM), in MB, once it
// runs `program`; 0 before (a child between fork and exec still has the
// bench's own memory, which its rusage's ru_maxrss keeps counting).
double program_peak_mb(pid_t pid, const std::string& program) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  bool named = false;
  while (std::getline(in, line)) {
    if (line.compare(0, 5, "Name:") == 0) {
      std::string name = line.substr(5);
      name.erase(0, name.find_first_not_of(" \t"));
      named = name == program.substr(0, 15);
    }
    if (named && line.compare(0, 6, "VmHWM:") == 0) return atof(line.c_str() + 6) / 1024.0;
  }
  return 0;
}

// Splits the samples (time in s, CPU in ms) into bursts: runs of 50-ms slots
// that used more than 2 ms of CPU each.
void find_bursts(const std::vector<std::pair<double, double>>& samples, ProgramRun* run) {
  double idle_cpu = 0, idle_time = 0, burst = 0;
  bool in_burst = false;
  for (size_t i = 1; i < samples.size(); i++) {
    double dt = samples[i].first - samples[i - 1].first;
    double dc = samples[i].second - samples[i - 1].second;
    if (dc > 2.0) {
      burst += dc;
      in_burst = true;
      continue;
    }
    if (in_burst) run->bursts_ms.push_back(burst);
    burst = 0;
    in_burst = false;
    idle_cpu += dc;
    idle_time += dt;
  }
  if (in_burst) run->bursts_ms.push_back(burst);
  run->idle_ms_per_s = idle_time > 0 ? idle_cpu / idle_time : 0;
}

ProgramRun run_program(const BenchData& data, int period, int cycles, int executing) {
  ProgramRun run;
#if defined(COLLECTOR_BIN) && defined(FAKE_CLIENT_BIN)
  const std::string dir = data.root() + "/slots/program";
  bench_remove_tree(dir);
  bench_make_dirs(dir);
  const std::string client_dir =
      data.root() + "/client_" + std::to_string(period) + "_" + std::to_string(cycles);
  bench_remove_tree(client_dir);
  bench_make_dirs(client_dir);
  Process client;
  int port = start_fake_client(&client, client_dir, data.fake_client_script(executing), 600);
  if (port <= 0) {
    fprintf(stderr, "bench: the fake client did not start\n");
    return run;
  }
  Process collector;
  auto start = std::chrono::steady_clock::now();
  if (!collector.start({COLLECTOR_BIN, "-t", data.root(), "-p", std::to_string(port), "-c",
                        std::to_string(period), "-n", std::to_string(cycles)},
                       dir, dir + "/console.txt")) {
    return run;
  }
  std::vector<std::pair<double, double>> samples;
  bool ended = false;
  for (int i = 0; i < (cycles * period + 120) * 20 && !ended; i++) {
    double cpu = process_cpu_ms(collector.pid());
    run.max_rss_mb = std::max(run.max_rss_mb, program_peak_mb(collector.pid(), "collector"));
    double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ended = collector.wait(0.05);
    if (!ended) samples.emplace_back(t, cpu);
  }
  if (!ended) {
    fprintf(stderr, "bench: the collector did not finish\n");
    return run;
  }
  find_bursts(samples, &run);
  run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.cpu = collector.cpu_seconds();
  run.ok = WIFEXITED(collector.status()) && WEXITSTATUS(collector.status()) == 0;
  std::ifstream out(dir + "/out");
  std::string line;
  while (std::getline(out, line)) {
    if (line.find(": cycle") != std::string::npos) run.cycles++;
  }
  std::ifstream err(dir + "/stderr.txt");
  std::stringstream log;
  log << err.rdbuf();
  if (log.str().find("Erreur") != std::string::npos) {
    fprintf(stderr, "bench: the collector logged errors:\n%s\n", log.str().substr(0, 2000).c_str());
  }
  client.kill(SIGTERM);
  client.wait(10);
  bench_remove_tree(dir);
  bench_remove_tree(client_dir);
#else
  (void)data;
  (void)period;
  (void)cycles;
  (void)executing;
#endif
  return run;
}

// The BOINC runtime alone (boinc_init, then the runtime's sleep) over
// `seconds`: its CPU time in ms per second of wall time, or -1 when it could
// not be run. Every program that calls boinc_init pays this between cycles.
double runtime_floor_ms_per_s(const BenchData& data, int seconds) {
#ifdef RUNTIME_FLOOR_BIN
  const std::string dir = data.root() + "/slots/runtime_floor";
  bench_remove_tree(dir);
  bench_make_dirs(dir);
  Process floor_process;
  auto start = std::chrono::steady_clock::now();
  if (!floor_process.start({RUNTIME_FLOOR_BIN, std::to_string(seconds)}, dir,
                           dir + "/console.txt")) {
    return -1;
  }
  // From its second second to the end of its sleep: start-up and the
  // runtime's pause in boinc_finish left out.
  double cpu_start = -1, t_start = 0, cpu_end = -1, t_end = 0;
  bool ended = false;
  for (int i = 0; i < (seconds + 30) * 20 && !ended; i++) {
    double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double cpu = process_cpu_ms(floor_process.pid());
    if (cpu_start < 0 && t >= 1.0) {
      cpu_start = cpu;
      t_start = t;
    }
    if (t <= seconds) {
      cpu_end = cpu;
      t_end = t;
    }
    ended = floor_process.wait(0.05);
  }
  if (!ended) {
    floor_process.kill(SIGKILL);
    floor_process.wait(10);
    return -1;
  }
  bench_remove_tree(dir);
  if (cpu_start < 0 || t_end - t_start < 1.0) return -1;
  return (cpu_end - cpu_start) / (t_end - t_start);
#else
  (void)data;
  (void)seconds;
  return -1;
#endif
}

// The collector as a program in real time: a short work unit of 2-s cycles,
// then one of 6-s cycles whose CPU time, sampled every 50 ms, tells the cost
// of one cycle (a burst of work) from the cost of waiting and watching in
// between, so that 60-s cycles can be extrapolated.
void case_program(const BenchData& data) {
  const int executing = BenchData::kSlots;
  printf("  the collector program, test mode, against the standalone fake client listing the %d "
         "results (%d executing, the only ones with an active task, so the only ones in the "
         "active list), peak memory sampled every 50 ms:\n",
         data.size(), executing);
  const int periods[][2] = {{2, 10}, {6, 10}};
  for (const auto& p : periods) {
    ProgramRun r = run_program(data, p[0], p[1], executing);
    if (!r.ok) {
      printf("    -c %d -n %d: run failed\n", p[0], p[1]);
      continue;
    }
    printf("    -c %d -n %-3d %2d cycles: wall %6.2f s, user+system %.3f s = %.3f %% of one core, "
           "max RSS %.1f MB (limit %.1f)\n",
           p[0], p[1], r.cycles, r.wall, r.cpu, 100.0 * r.cpu / r.wall, r.max_rss_mb,
           4 * data.state_bytes() / 1048576.0 + 20);
    if (r.bursts_ms.size() < 4) continue;
    // The first burst is start-up with the first cycle, the last the
    // finish; the ones between are steady cycles.
    std::vector<double> steady(r.bursts_ms.begin() + 1, r.bursts_ms.end() - 1);
    std::string list;
    for (double b : r.bursts_ms) list += (list.empty() ? "" : " ") + std::to_string(static_cast<int>(b));
    double cycle = median(steady);
    printf("             bursts of CPU (ms): %s; steady cycle %.1f ms, between cycles %.3f ms/s\n",
           list.c_str(), cycle, r.idle_ms_per_s);
    printf("             at 60-s cycles: %.1f ms of CPU a minute = %.3f %% of one core\n",
           cycle + 60 * r.idle_ms_per_s, (cycle + 60 * r.idle_ms_per_s) / 600.0);
  }
  double floor_rate = runtime_floor_ms_per_s(data, 20);
  if (floor_rate >= 0) {
    printf("    the BOINC runtime alone (boinc_init, then idle), for comparison: %.3f ms/s = "
           "%.1f ms of CPU a minute = %.3f %% of one core\n",
           floor_rate, 60 * floor_rate, floor_rate / 10.0);
  }
  fflush(stdout);
}

std::vector<int> parse_list(const std::string& text) {
  std::vector<int> values;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) values.push_back(atoi(item.c_str()));
  return values;
}

bool wanted(const std::vector<std::string>& cases, const char* name) {
  return cases.empty() || std::find(cases.begin(), cases.end(), name) != cases.end();
}

void print_machine() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line, model = "?";
  while (std::getline(cpuinfo, line)) {
    if (line.compare(0, 10, "model name") == 0) {
      model = line.substr(line.find(':') + 2);
      break;
    }
  }
  long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
  printf("machine: %ld processors (nproc), %s, %.1f GB memory\n", sysconf(_SC_NPROCESSORS_ONLN),
         model.c_str(), pages * static_cast<double>(page) / 1073741824.0);
  printf("times: wall and process CPU in ms; \"x load\" is the wall time over one load_file of "
         "the same state file, measured in the same process; peak is VmHWM during the case\n");
  fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> sizes = {100, 1000, 10000, 50000};
  std::vector<std::string> cases;
  int timeout = 900;
  std::string base;
  bool keep = false;
  bool keep_freed = false;
  int repeat = 1;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    bool value = i + 1 < argc;
    if (arg == "--sizes" && value) {
      sizes = parse_list(argv[++i]);
    } else if (arg == "--cases" && value) {
      std::stringstream in(argv[++i]);
      std::string item;
      while (std::getline(in, item, ',')) cases.push_back(item);
    } else if (arg == "--timeout" && value) {
      timeout = atoi(argv[++i]);
    } else if (arg == "--dir" && value) {
      base = argv[++i];
    } else if (arg == "--keep") {
      keep = true;
      keep_runs = true;
    } else if (arg == "--repeat" && value) {
      repeat = std::max(1, atoi(argv[++i]));
    } else if (arg == "--keep-freed-memory") {
      keep_freed = true;
    } else {
      fprintf(stderr,
              "usage: collector_bench [--sizes 100,1000,10000,50000] [--cases "
              "steady,first,completion,watch,checkpoint,rpc,process] [--timeout S] [--dir DIR] "
              "[--keep] [--keep-freed-memory] [--repeat N]\n");
      return 2;
    }
  }
  if (base.empty()) {
    const char* tmp = getenv("TMPDIR");
    base = tmp && *tmp ? tmp : "/tmp";
  }
  print_machine();
  if (keep_freed) {
    const size_t mmap_threshold = 32u << 20, trim_threshold = 1u << 30;
    if (mallopt(M_MMAP_THRESHOLD, static_cast<int>(mmap_threshold)) != 1 ||
        mallopt(M_TRIM_THRESHOLD, static_cast<int>(trim_threshold)) != 1) {
      fprintf(stderr, "bench: mallopt failed\n");
      return 1;
    }
    std::string tunables = "glibc.malloc.mmap_threshold=" + std::to_string(mmap_threshold) +
                           ":glibc.malloc.trim_threshold=" + std::to_string(trim_threshold);
    setenv("GLIBC_TUNABLES", tunables.c_str(), 1);
    printf("allocator: freed memory kept in the process (%s)\n", tunables.c_str());
  }

  {
    std::string root = base + "/collector-bench-check";
    bench_remove_tree(root);
    bench_make_dirs(root);
    BenchData small;
    char cwd[4096];
    if (!getcwd(cwd, sizeof(cwd))) cwd[0] = '\0';
    bool ok = small.create(root, 100) && bench_make_dirs(root + "/slots/check") &&
              chdir((root + "/slots/check").c_str()) == 0 && check_prepared_tables(small);
    if (chdir(cwd) != 0) {
    }
    bench_remove_tree(root);
    if (!ok) {
      fprintf(stderr, "bench: the prepared tables are not what the collector builds\n");
      return 1;
    }
  }

  for (int n : sizes) {
    if (n <= 0) continue;
    std::string root = base + "/collector-bench-" + std::to_string(n);
    bench_remove_tree(root);
    bench_make_dirs(root);
    BenchData data;
    double started = wall_ms();
    if (!data.create(root, n)) return 1;
    printf("\nstate of %d results: client_state.xml %.1f MB (made in %.1f s)\n", n,
           data.state_bytes() / 1048576.0, (wall_ms() - started) / 1000);
    if (in_child(data, "load", timeout, [&](Report& r) {
          printf("  %-40s wall %8.1f ms  cpu %8.1f ms  (median of 3)\n", "load_file", r.load.wall,
                 r.load.cpu);
          // The collector keeps each element's text in the element itself.
          Span own = load_file_time(data.state_path(), kStateParseOptions);
          printf("  %-40s wall %8.1f ms  cpu %8.1f ms  (median of 3; %.2f x load_file)\n",
                 "load_file, the collector's parse options", own.wall, own.cpu,
                 r.load.wall > 0 ? own.wall / r.load.wall : 0);
        })) {
    }
    if (wanted(cases, "steady")) {
      in_child(data, "steady", timeout, [&](Report& r) { case_steady(data, r, repeat, true); });
      in_child(data, "steady_unchanged", timeout,
               [&](Report& r) { case_steady(data, r, repeat, false); });
    }
    if (wanted(cases, "first")) {
      for (int count : {100, 1000, 10000}) {
        if (count > n) continue;
        in_child(data, "first_" + std::to_string(count), timeout,
                 [&](Report& r) { case_first(data, r, count, repeat); });
      }
    }
    if (wanted(cases, "completion")) {
      for (int count : {100, 1000, 10000}) {
        if (count > n) continue;
        in_child(data, "completion_" + std::to_string(count), timeout,
                 [&](Report& r) { case_completion(data, r, count); });
      }
    }
    if (wanted(cases, "watch")) {
      in_child(data, "watch", timeout, [&](Report& r) { case_watch(data, r); });
    }
    // These three on the state of 10,000 results, or on every state when
    // asked for by name.
    auto once = [&](const char* name) {
      return cases.empty() ? n == 10000 : wanted(cases, name);
    };
    if (once("checkpoint")) {
      in_child(data, "checkpoint", timeout, [&](Report& r) { case_checkpoint(data, r); });
    }
    if (once("rpc")) in_child(data, "rpc", timeout, [&](Report& r) { case_rpc(data, r); });
    if (once("process")) case_program(data);
    if (!keep) bench_remove_tree(root);
  }
  return 0;
}
