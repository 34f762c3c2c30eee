// The collector's memory from one cycle to the next and from one process to
// the next: the keyed tables and the list that the state file "cache" holds
// (each member is named by its tag in that file), the scalar Last_new_wu, and
// the working tables that live only in the process.
#ifndef COLLECTOR_PERSISTENCE_TABLES_H_
#define COLLECTOR_PERSISTENCE_TABLES_H_

#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

// Keys compare byte by byte as unsigned characters, shorter prefix first:
// the order of std::map<std::string, ...>, which is the order of iteration
// and of the state file.
using TextTable = std::map<std::string, std::string>;
using RealTable = std::map<std::string, double>;
using IntTable = std::map<std::string, int>;

// Where a task stood at its last checkpoint, kept in the state file (tag
// "Checkpoint") as well as in the counters file, so that start-up can tell
// whether the two files belong to the same checkpoint.
struct CheckpointMark {
  bool present = false;
  std::string task;             // the task's result name ("-" in test mode)
  int cycle_counter = 0;
  int cycle_start_time = 0;
  long long output_length = -1;  // the output file's size, -1 when unknown
  int finished = 0;             // 1 once the finish of the work unit is written
};

struct Tables {
  // Saved in the state file, in this order.
  TextTable Delai;             // result name -> "received;deadline"
  TextTable Check;             // result name -> description;cpu|checkpoint;...
  TextTable Conso;             // result name -> description;working set;...
  RealTable File;              // input file path -> size in bytes
  TextTable Upload;            // result name -> description;output size;final cpu
  TextTable Download;          // result name -> project;app|name;input size;[plan class;cpu]
  TextTable Occupation;        // result name -> description;slot KiB;...
  TextTable Result;            // result name -> result description
  TextTable Duree;             // result name -> description;final cpu;final elapsed
  IntTable Nb_file_result;     // result name -> output-file indexes known
  RealTable Size_file_result;  // result name + "_" + index -> last size seen
  TextTable Dir;               // result name -> project directory
  TextTable Dl_app;            // application name -> project;app|name;size
  TextTable Project;           // master URL -> project name
  RealTable Ecart_releve;      // result name -> reading interval, seconds
  RealTable Prochain_releve;   // result name -> next reading time
  IntTable New_wu;             // project;app|name -> count (tag "New wu")
  // Results already counted in New_wu since the last count, so that no
  // result is counted twice, whichever way it was counted (tag "New wu
  // counted"). Cleared with New_wu.
  std::set<std::string> New_wu_counted;
  int Last_new_wu = 0;         // Unix seconds of the last count of arrivals
  TextTable App;               // application name -> user-friendly name
  TextTable Platform;          // application name + "_" + version -> platform
  std::vector<std::string> Active_project;  // project names announced
  RealTable Run;               // run key -> weighted count of executing cycles
  // Saved too, so that a finish after a restart still reports the tasks the
  // last query found executing.
  std::vector<std::string> Activetask_list;
  CheckpointMark Checkpoint;   // as of the last checkpoint (tag "Checkpoint")

  // Working tables, never saved.
  // run key -> resources text; looked up by key, never listed in order.
  std::unordered_map<std::string, std::string> resources_table;
  TextTable result_output_size_table;  // result name -> total output size "%f"
  std::vector<std::string> forget_list;

  // Empties the tables that belong to one task of the collector.
  void clear_per_task_tables();
};

#endif  // COLLECTOR_PERSISTENCE_TABLES_H_
