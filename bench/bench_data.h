// The benchmark's client data directory: a client_state.xml in the layout the
// BOINC 7.20 client writes (host, then per project its project element,
// applications, files, application versions, work units and results), the
// project directories with the work units' input files and the applications'
// files, and slot directories for the executing tasks. Everything is derived
// from the result count, so that the tables the collector builds can be
// predicted exactly.
#ifndef COLLECTOR_BENCH_BENCH_DATA_H_
#define COLLECTOR_BENCH_BENCH_DATA_H_

#include <string>
#include <vector>

#include "gui_rpc_client.h"

struct Collector;

// One application version of the generated state.
struct BenchVersion {
  std::string app;
  int version_num = 0;
  std::string plan_class;
  std::vector<std::string> files;
};

struct BenchProject {
  std::string url;
  std::string name;
  std::string dir_name;  // under projects/
  int hostid = 0;
  bool non_cpu_intensive = false;
  std::vector<std::pair<std::string, std::string>> apps;  // name, user-friendly name
  std::vector<BenchVersion> versions;
};

// Result i of the generated state: its names and where it belongs.
struct BenchResult {
  std::string name;
  std::string wu_name;
  int project = 0;
  int version = 0;  // index in its project's versions
  bool finished = false;  // state 5 in the state file
  double received_time = 0;
  double report_deadline = 0;
};

class BenchData {
 public:
  static constexpr int kProjects = 4;
  static constexpr int kSlots = 16;  // slots/1 ... slots/16, one per executing task

  // Lays out `results` results under `root` (which must exist and be empty).
  // Returns false (with the reason on stderr) on a failure.
  bool create(const std::string& root, int results);

  const std::string& root() const { return root_; }
  std::string state_path() const { return root_ + "/client_state.xml"; }
  double state_bytes() const { return state_bytes_; }
  int size() const { return static_cast<int>(results_.size()); }
  const BenchResult& result(int i) const { return results_[static_cast<size_t>(i)]; }
  const BenchProject& project(int p) const { return projects_[static_cast<size_t>(p)]; }

  // The result as the client lists it among its active results: with an
  // active task, preempted, or executing in `slot` (1 ... kSlots) when slot
  // is not 0.
  RESULT active_record(int i, int slot) const;

  // The collector's tables as the real per-result pass leaves them after the
  // first sighting of each result of `which` (none executing): names, sizes,
  // arrival, description, run count and resources text. Lets a case start
  // from a known state without paying for the sightings.
  void fill_first_sightings(Collector& c, const std::vector<int>& which) const;

  // The script of the standalone fake client for the same results: every
  // result listed, the first `executing` of them executing in slots 1...
  std::string fake_client_script(int executing) const;

 private:
  bool write_state_file();
  bool write_project_files();
  bool write_slots();

  std::string root_;
  double state_bytes_ = 0;
  std::vector<BenchProject> projects_;
  std::vector<BenchResult> results_;
};

// Input file names of a work unit, in its file_ref order.
std::vector<std::string> bench_input_files(const std::string& wu_name);

// Sizes the generator gives to files, so that the tables can be predicted.
long long bench_input_size(const std::string& wu_name, int index);

// Makes `path` a file of `bytes` bytes (sparse). Returns false on failure.
bool bench_make_file(const std::string& path, long long bytes);

// mkdir -p.
bool bench_make_dirs(const std::string& path);

// rm -rf of a directory the benchmark made.
void bench_remove_tree(const std::string& path);

#endif  // COLLECTOR_BENCH_BENCH_DATA_H_
