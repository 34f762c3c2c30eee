// The collector's main loop, from the end of start-up to the finish of the
// work unit: cycles started cycle_period seconds apart, each querying the
// client's active tasks, sampling and completing them, checkpointing, then
// watching output files until the next cycle is due.
#ifndef COLLECTOR_DRIVER_COLLECTION_CYCLE_H_
#define COLLECTOR_DRIVER_COLLECTION_CYCLE_H_

#include <string>

struct Collector;

// Runs the cycles and the finish (closing records, last checkpoint). The
// caller then ends the task with boinc_finish(0).
void run_collection(Collector& c);

// The completion pass: results of the Result table that the client no longer
// lists as active are completed, reported and forgotten.
void completion_pass(Collector& c);

// The forget step for a completed result.
void forget_result(Collector& c, const std::string& name);

// The closing steps of a work unit (records, pruning, last checkpoint).
void finish_work_unit(Collector& c);

#endif  // COLLECTOR_DRIVER_COLLECTION_CYCLE_H_
