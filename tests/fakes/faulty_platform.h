// A platform that passes every call on to another one (the real platform
// unless told otherwise) and makes chosen file operations fail the way a full
// disk, a file that cannot be created or a failing rename do: one switch per
// operation, each limited to the paths that hold a given text and to a number
// of calls. A test can also watch every checkpoint file operation, before and
// after it runs, and act at that moment (stop the process, for instance).
//
// The output file is written through BOINC's buffered file, which opens its
// own stream: OpenFilesOnFullDevice fills "the disk" under it instead.
#ifndef COLLECTOR_TESTS_FAKES_FAULTY_PLATFORM_H_
#define COLLECTOR_TESTS_FAKES_FAULTY_PLATFORM_H_

#include <cerrno>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"

// One operation's failure switch.
struct Fault {
  bool on = false;
  std::string path_contains;  // only paths holding this text ("" for all)
  int skip = 0;               // matching calls let through before the first failure
  int times = -1;             // failures to inject; -1 while `on`
  int error = EIO;            // errno of an injected failure
  int injected = 0;           // failures injected so far

  // Turns the switch on for paths holding `text`, with `error`.
  void fail(const std::string& text, int err, int count = -1) {
    on = true;
    path_contains = text;
    error = err;
    times = count;
    skip = 0;
  }
  void clear() { on = false; }
  // Whether this call on `path` fails; counts it.
  bool hits(const std::string& path);
};

class FaultyPlatform : public Platform {
 public:
  // The operations a test can watch, in the order a checkpoint runs them.
  enum class Op { open, runtime_open, sync, runtime_rename, replace, sync_directory, remove };
  static const char* op_name(Op op);

  // `base` answers every call that is not failed (nullptr: the real
  // platform). It must outlive this object.
  explicit FaultyPlatform(Platform* base = nullptr);

  // --- The switches --------------------------------------------------------
  // Opening for writing fails (nullptr, errno set): a file that cannot be
  // created.
  Fault create;
  // Opening succeeds and the file is created empty, but what is written to
  // the stream goes to /dev/full: writes, flushes and syncs fail with the
  // system's own ENOSPC (or EINVAL for a sync), as on a disk that is full.
  Fault full;
  Fault sync;    // sync_file fails
  Fault rename;  // runtime_rename and replace_file fail, nothing moved

  // Called before (after == false) and after every watched operation, with
  // the path (for sync, the path the stream was opened with; for renames,
  // the source). `failed` tells, after the call, whether it failed.
  std::function<void(Op op, const std::string& path, bool after, bool failed)> observe;

  // Every watched call so far, as "op path".
  std::vector<std::string> calls;

  // --- Platform --------------------------------------------------------------
  int counter_frequency(uint64_t* hz) override { return base_->counter_frequency(hz); }
  uint64_t counter_now() override { return base_->counter_now(); }
  uint64_t cycle_counter() override { return base_->cycle_counter(); }
  int logical_processor_count() override { return base_->logical_processor_count(); }
  int display_adapter(int index, platform::DisplayAdapter* adapter) override {
    return base_->display_adapter(index, adapter);
  }
  int file_size(const std::string& path, int64_t* size) override {
    return base_->file_size(path, size);
  }
  int working_directory(std::string* dir) override { return base_->working_directory(dir); }
  int run_program(const char* command) override { return base_->run_program(command); }
  int truncate_file(const std::string& path, int64_t size) override {
    return base_->truncate_file(path, size);
  }

  FILE* open_file(const std::string& path, const char* mode) override;
  FILE* runtime_open_file(const std::string& path, const char* mode) override;
  int sync_file(FILE* f) override;
  int runtime_rename(const std::string& from, const std::string& to) override;
  int replace_file(const std::string& from, const std::string& to) override;
  int sync_directory(const std::string& dir) override;
  int delete_file(const std::string& path) override;

 private:
  FILE* open_common(Op op, const std::string& path, const char* mode);
  int rename_common(Op op, const std::string& from, const std::string& to);
  void before(Op op, const std::string& path);
  void after(Op op, const std::string& path, bool failed);

  Platform real_;
  Platform* base_;
  std::map<FILE*, std::string> paths_;  // streams opened here, by path
};

// Makes every descriptor of this process that is open on `path` write to
// /dev/full, until restore() or the object's end: the program keeps its open
// stream, and each of its writes fails with ENOSPC, as when the disk fills up
// under an open file. Reading the file's size still sees the real file.
class OpenFilesOnFullDevice {
 public:
  OpenFilesOnFullDevice() = default;
  OpenFilesOnFullDevice(const OpenFilesOnFullDevice&) = delete;
  OpenFilesOnFullDevice& operator=(const OpenFilesOnFullDevice&) = delete;
  ~OpenFilesOnFullDevice() { restore(); }

  // Returns how many descriptors were switched (0 when none is open on it).
  int fill(const std::string& path);
  // Puts the real files back under the descriptors.
  void restore();

 private:
  struct Switched {
    int fd;
    int saved;
  };
  std::vector<Switched> switched_;
};

#endif  // COLLECTOR_TESTS_FAKES_FAULTY_PLATFORM_H_
