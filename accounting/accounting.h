// What the collector learns and reports about each of the client's tasks:
// first sightings and executing tasks (per-result pass), completions and
// arrivals, readings and completion records, run-time counts, and the disk
// footprint of input and output files.
#ifndef COLLECTOR_ACCOUNTING_ACCOUNTING_H_
#define COLLECTOR_ACCOUNTING_ACCOUNTING_H_

#include <string>

struct Collector;
struct Tables;
struct RESULT;

// --- Active task sampling -------------------------------------------------

// The per-result pass over the client's active results, in the client's
// order. Ends early when the client's state cannot be obtained.
void sample_active_results(Collector& c);

// --- Arrivals and completions ---------------------------------------------

// At the finish of a work unit: counts the results that arrived since the
// last count and writes one "New_wu" record per project and application.
void detect_new_work_units(Collector& c);

// Looks result `name` up in the client's state and, when it has finished,
// stores its durations, upload summary and completed download summary.
// Returns 0 when the client's state could be consulted (finished or not;
// *finished tells which when given), -1 when it was not available.
int record_finished_result(Collector& c, const std::string& name, bool* finished = nullptr);

// --- Readings and completion records --------------------------------------

// One reading of an executing task, when its reading time has come.
void take_reading(Collector& c, const RESULT& result, const std::string& name,
                  const std::string& description);

// "upload", "download", "conso|", "check|", "occupation" and "duree|" records
// of a completed result, each entry erased as it is written.
void write_completion_records(Collector& c, const std::string& name);

// The work-unit name of a result: its name up to its last "_".
std::string work_unit_name(const std::string& result_name);

// The slot-directory size in KiB, in printf's %g notation with a
// three-digit exponent (1536 bytes give 1.5; 2097152000 give 2.048e+006).
std::string format_kibibytes(double bytes);

// --- Run-time accounting --------------------------------------------------

// Adds this cycle's correction factor to the task's Run entry.
void count_executing_task(Collector& c, const std::string& name, const std::string& description);

// The "run" record of a completed task, then its Run and resources entries go.
void report_completed_task(Collector& c, const std::string& name);

// --- Disk footprint -------------------------------------------------------

// The project directory of a master URL: the data directory + "/projects/" +
// the URL without its first 7 characters and its last one, "/" made "_".
std::string project_directory(const Collector& c, const std::string& master_url);

// Whether a name from the client can stand for a file directly inside a
// project directory: not empty, no "/" or "\", not "." or "..". Other names
// are never looked at on the disk.
bool plain_file_name(const std::string& name);

// One output-watch pass for result `name`: sizes its output files, and when
// all of them have gone, records the result's end.
void watch_one_result(Collector& c, const std::string& name);

// At start-up: the total output size of every result whose output files were
// seen, from the last sizes kept in Size_file_result, so that a result whose
// files vanish before the first watch pass of a new process keeps its size.
void rebuild_output_sizes(Collector& c);

// At the finish: drops the File entries whose file no longer exists.
void prune_input_files(Collector& c);

// Erases Size_file_result entries name + "_" + i for i = 0 to `last`.
void erase_output_sizes(Tables& t, const std::string& name, int last);

#endif  // COLLECTOR_ACCOUNTING_ACCOUNTING_H_
