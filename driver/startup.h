// Start-up of a task: command line, BOINC runtime, where the client's files
// are, the output file, the counters and state tables of an interrupted run,
// and the three records that open every process's section of the output.
#ifndef COLLECTOR_DRIVER_STARTUP_H_
#define COLLECTOR_DRIVER_STARTUP_H_

#include <string>

struct Collector;
struct Settings;

// Reads the options -p, -c, -n, -g and -t into *settings. Every argument,
// the program name included, is compared with each option in turn; an option
// consumes the next argument as its value. An option given as the last
// argument has no value: it is ignored and logged.
void parse_command_line(Settings* settings, int argc, char** argv);

// The client's data directory from a task's working directory
// (<data>/slots/<N>): backslashes become slashes, then the text is cut at its
// last slash twice.
std::string derive_data_directory(const std::string& working_directory);

// The whole start-up. Returns 0 when the collection cycle can start,
// otherwise the status the process must exit with (the code of a failed
// boinc_init, or 1 when the output file cannot be opened).
int start_up(Collector& c, int argc, char** argv);

// The part of start-up that follows the runtime's initialisation: resolves
// "out" and "checkpoint", builds the paths, opens the output file, restores
// the counters and the state tables, and writes the opening records. Returns
// 0, or 1 when the output file cannot be opened.
int open_and_restore(Collector& c);

#endif  // COLLECTOR_DRIVER_STARTUP_H_
