#include "persistence/output_file.h"

#include <cstdarg>

int OutputFile::open(const std::string& path, const char* mode) {
  int retval = file_.open(path.c_str(), mode);
  open_ = retval == 0;
  return retval;
}

int OutputFile::printf(const char* format, ...) {
  if (!open_) return -1;
  va_list ap;
  va_start(ap, format);
  int n = file_.vprintf(format, ap);
  va_end(ap);
  return n < 0 ? -1 : 0;
}

void OutputFile::copy(const char* text) {
  if (open_) file_.puts(text);
}

int OutputFile::flush() {
  if (!open_) return -1;
  return file_.flush();
}
