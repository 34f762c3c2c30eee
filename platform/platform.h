// The operations the collector needs from the operating system, one
// implementation per system (platform_posix.cpp here), chosen by CMake.
// Nothing outside this folder looks at which system it runs on.
#ifndef COLLECTOR_PLATFORM_PLATFORM_H_
#define COLLECTOR_PLATFORM_PLATFORM_H_

#include <cstdint>
#include <cstdio>
#include <string>

#include "filesys.h"

namespace platform {

// Starts the sockets library where the system needs it (nothing on POSIX).
// The result is ignored by the caller.
int sockets_startup();

// Sleeps the calling thread for `ms` milliseconds (resumes after signals).
void sleep_ms(uint32_t ms);

// Frequency of the monotonic high-resolution counter in counts per second.
// Returns 0 and sets *hz, or -1 when the system has no such counter.
int counter_frequency(uint64_t* hz);

// Current value of the monotonic high-resolution counter.
uint64_t counter_now();

// The processor's cycle counter, read behind a serialising instruction so
// that no earlier instruction is still in flight. 0 where there is none.
uint64_t cycle_counter();

// Number of logical processors the system runs (at least 1).
int logical_processor_count();

// One display adapter: an id text built like a PCI hardware id
// ("PCI\VEN_10DE&DEV_1B80&SUBSYS_...&REV_A1") and a description text.
struct DisplayAdapter {
  std::string id;
  std::string description;
};

// Adapter number `index` (0, 1, 2, ...). Returns 0 and fills *adapter, or -1
// when there is no adapter with that number (the end of the list).
int display_adapter(int index, DisplayAdapter* adapter);

// Size of the file at `path` as a 64-bit byte count. Returns 0 and sets
// *size, or -1 when the file's status cannot be queried.
int file_size(const std::string& path, int64_t* size);

// The working directory. Returns 0 and sets *dir, or -1 when it cannot be
// read (or is longer than 4096 bytes).
int working_directory(std::string* dir);

// Runs `command` through the system's command interpreter and waits for it.
// Returns its exit status, or -1 when it could not be started.
int run_program(const char* command);

// What tells one version of a file from another: where it lives, its size,
// and its modification and change times in nanoseconds.
struct FileStamp {
  bool valid = false;
  std::string path;
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t size = 0;
  int64_t modified_ns = 0;
  int64_t changed_ns = 0;
};

// Returns 0 and fills *stamp, or -1 when the file's status cannot be queried.
int file_stamp(const std::string& path, FileStamp* stamp);

// Whether two stamps are valid and describe the same version of a file.
bool same_file(const FileStamp& a, const FileStamp& b);

// The wall clock in nanoseconds since 1970, on the clock that file times use.
int64_t wall_clock_ns();

// Cuts the file at `path` to `size` bytes. Returns 0, or -1 on failure.
int truncate_file(const std::string& path, int64_t size);

// The calling process's id.
int process_id();

// Renames `from` onto `to` in one step, replacing an existing file: a
// reader sees either the old file or the new one. Returns 0, or -1 (errno
// set) on failure.
int replace_file(const std::string& from, const std::string& to);

// Pushes a written file's data to the disk. Returns 0, or -1 on failure.
int sync_file(FILE* f);

// Pushes a directory's entries (a rename into it) to the disk. Returns 0, or
// -1 on failure; a no-op on systems where renames need no such step.
int sync_directory(const std::string& dir);

// While an object of this class lives, the BOINC runtime's periodic timer
// signal is held back from the calling thread, so that a blocking network
// exchange is not cut short by it; the signal is delivered afterwards.
class TimerSignalBlock {
 public:
  TimerSignalBlock();
  ~TimerSignalBlock();
  TimerSignalBlock(const TimerSignalBlock&) = delete;
  TimerSignalBlock& operator=(const TimerSignalBlock&) = delete;

 private:
  alignas(8) unsigned char saved_[256];  // the previous signal mask
  bool blocked_ = false;
};

}  // namespace platform

// The platform as the collector reaches it: every call goes through this
// object, so that tests can put a fake or a fault-injecting wrapper in its
// place. The defaults call the system.
class Platform {
 public:
  virtual ~Platform() = default;
  virtual int counter_frequency(uint64_t* hz) { return platform::counter_frequency(hz); }
  virtual uint64_t counter_now() { return platform::counter_now(); }
  virtual uint64_t cycle_counter() { return platform::cycle_counter(); }
  virtual int logical_processor_count() { return platform::logical_processor_count(); }
  virtual int display_adapter(int index, platform::DisplayAdapter* adapter) {
    return platform::display_adapter(index, adapter);
  }
  virtual int file_size(const std::string& path, int64_t* size) {
    return platform::file_size(path, size);
  }
  virtual int working_directory(std::string* dir) { return platform::working_directory(dir); }
  virtual int run_program(const char* command) { return platform::run_program(command); }
  virtual int truncate_file(const std::string& path, int64_t size) {
    return platform::truncate_file(path, size);
  }

  // Writing the checkpoint files. Each default is the call the checkpoint
  // makes on its own: the standard library's fopen, without retries, for the
  // counters file's "temp"; the runtime's boinc_fopen for the state file's
  // temporary file; the runtime's boinc_rename to put "temp" in place of the
  // counters file and its boinc_delete_file to drop a temporary file. The
  // opens return nullptr and the renames nonzero on failure, errno set.
  virtual FILE* open_file(const std::string& path, const char* mode) {
    return fopen(path.c_str(), mode);
  }
  virtual FILE* runtime_open_file(const std::string& path, const char* mode) {
    return boinc_fopen(path.c_str(), mode);
  }
  virtual int sync_file(FILE* f) { return platform::sync_file(f); }
  virtual int runtime_rename(const std::string& from, const std::string& to) {
    return boinc_rename(from.c_str(), to.c_str());
  }
  virtual int replace_file(const std::string& from, const std::string& to) {
    return platform::replace_file(from, to);
  }
  virtual int sync_directory(const std::string& dir) { return platform::sync_directory(dir); }
  virtual int delete_file(const std::string& path) { return boinc_delete_file(path.c_str()); }
};

#endif  // COLLECTOR_PLATFORM_PLATFORM_H_
