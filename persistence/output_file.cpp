#include "persistence/output_file.h"

#include <cstdarg>
#include <cstdio>

#include "driver/text.h"
#include "platform/platform.h"

int OutputFile::open(const std::string& path, const char* mode) {
  path_ = path;
  int retval = file_.open(path.c_str(), mode);
  open_ = retval == 0;
  return retval;
}

int OutputFile::printf(const char* format, ...) {
  if (!open_) return -1;
  // Formatted here rather than by the buffered file, whose own formatting
  // refuses records of 100,000 bytes and more: a long history is a record
  // like any other.
  std::string text;
  va_list ap;
  va_start(ap, format);
  int n = append_vformat(&text, format, ap);
  va_end(ap);
  if (n < 0) return -1;
  // One record, one line: a line end inside a field (a name from the client)
  // becomes a blank, so that no field can start a forged record of its own.
  for (int i = 0; i + 1 < n; i++) {
    if (text[i] == '\n' || text[i] == '\r') text[i] = ' ';
  }
  file_.puts(text.c_str());
  return 0;
}

void OutputFile::copy(const char* text) {
  if (open_) file_.puts(text);
}

int OutputFile::flush() {
  if (!open_) return -1;
  int64_t before = 0;
  const bool known = platform::file_size(path_, &before) == 0;
  int retval = file_.flush();
  if (retval == 0) return 0;
  // A write cut short (a full disk) leaves part of a record, onto which the
  // next records would be glued: the file goes back to its length before
  // this flush, and the buffered records are lost whole. (The stream drops
  // what it could not write, and appends after the new end next time.)
  if (known) platform::truncate_file(path_, before);
  return retval;
}
