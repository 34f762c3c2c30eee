// The two files that let a task survive being stopped and restarted: the
// counters file (logical name "checkpoint", in the slot, replaced through
// "temp") and the state file "cache" (every state table, tab-separated, in
// the project directory, shared by the tasks of the project on the host).
#ifndef COLLECTOR_PERSISTENCE_CHECKPOINT_H_
#define COLLECTOR_PERSISTENCE_CHECKPOINT_H_

#include <cstdio>
#include <string>

struct Collector;
struct Tables;

// Writes the counters file, then the state file. Returns 0; 1 when "temp"
// cannot be created or written whole (nothing is replaced then) or the state
// file cannot be written; the errno of the failed rename when "temp" cannot
// replace the counters file (the state file is then not written).
int write_checkpoint(Collector& c);

// Replaces the state file whole: the text is written to a file of this task
// beside it, synced, and renamed over it, so that the file on disk is
// always either the previous checkpoint or this one. Returns 0, or 1 when the
// file cannot be written (the previous file is left as it was).
int write_state_file(Collector& c);

// The state file's text for `tables`: what write_state_file writes.
std::string format_state_file(const Tables& tables);

// Reads the three counters (cycle_counter, cycle_start_time,
// process_start_time) from the open counters file. A missing line repeats the
// previous value; an empty file gives zeros.
void read_counters(Collector& c, FILE* f);

// Reads the open state file into the tables and Last_new_wu. Lines without a
// known tag, key or needed value are skipped.
void read_state_file(Tables& tables, FILE* f);

#endif  // COLLECTOR_PERSISTENCE_CHECKPOINT_H_
