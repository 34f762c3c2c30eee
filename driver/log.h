// Every diagnostic of the collector goes through log_printf: one
// printf-formatted text on standard error. Most texts carry the BOINC message
// prefix (time of day and process id) as their first "%s", from msg_prefix().
#ifndef COLLECTOR_DRIVER_LOG_H_
#define COLLECTOR_DRIVER_LOG_H_

#include <string>

void log_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "HH:MM:SS (PID):", BOINC's message prefix, in a buffer that the next call
// overwrites.
const char* msg_prefix();

// Tests capture the log instead of standard error: every text logged while a
// capture is installed is appended to *sink. nullptr restores standard error.
void log_capture(std::string* sink);

#endif  // COLLECTOR_DRIVER_LOG_H_
