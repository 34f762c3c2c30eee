// The task's output file (logical name "out"): one process-wide buffered
// writer. Records are formatted into memory and reach the disk only when the
// writer is flushed, at the fixed points of the cycle.
#ifndef COLLECTOR_PERSISTENCE_OUTPUT_FILE_H_
#define COLLECTOR_PERSISTENCE_OUTPUT_FILE_H_

#include <string>

#include "mfile.h"

class OutputFile {
 public:
  // Opens `path` with boinc_fopen in `mode` ("wb" for a new task, "ab" for a
  // resumed one). Returns 0, or BOINC's file-open error code (-108).
  int open(const std::string& path, const char* mode);
  bool is_open() const { return open_; }

  // Appends one formatted record (one line) to the buffer; a line end inside
  // it, other than the last character, is written as a blank. Returns 0, or
  // -1 when no file is open.
  int printf(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // Appends `text` to the buffer unchanged (lines copied from another file).
  void copy(const char* text);

  // Writes the buffer with one write, flushes the stream and empties the
  // buffer. Returns 0, or nonzero when the write or the flush failed: the
  // buffered records are then lost, and the file is cut back to its length
  // before the flush, so that it never holds part of a record.
  int flush();

 private:
  MFILE file_;
  std::string path_;
  bool open_ = false;
};

#endif  // COLLECTOR_PERSISTENCE_OUTPUT_FILE_H_
