#include "tests/fakes/faulty_platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>

bool Fault::hits(const std::string& path) {
  if (!on) return false;
  if (!path_contains.empty() && path.find(path_contains) == std::string::npos) return false;
  if (skip > 0) {
    skip--;
    return false;
  }
  if (times >= 0 && injected >= times) return false;
  injected++;
  return true;
}

const char* FaultyPlatform::op_name(Op op) {
  switch (op) {
    case Op::open: return "open";
    case Op::runtime_open: return "runtime_open";
    case Op::sync: return "sync";
    case Op::runtime_rename: return "runtime_rename";
    case Op::replace: return "replace";
    case Op::sync_directory: return "sync_directory";
    case Op::remove: return "remove";
  }
  return "?";
}

FaultyPlatform::FaultyPlatform(Platform* base) : base_(base ? base : &real_) {}

void FaultyPlatform::before(Op op, const std::string& path) {
  calls.push_back(std::string(op_name(op)) + " " + path);
  if (observe) observe(op, path, false, false);
}

void FaultyPlatform::after(Op op, const std::string& path, bool failed) {
  if (observe) observe(op, path, true, failed);
}

FILE* FaultyPlatform::open_common(Op op, const std::string& path, const char* mode) {
  before(op, path);
  FILE* f = nullptr;
  int error = 0;
  if (create.hits(path)) {
    error = create.error;
  } else if (full.hits(path)) {
    // The file is created as on a full disk (a directory entry needs no
    // data block), but nothing written to it can be stored.
    FILE* real = op == Op::open ? base_->open_file(path, mode)
                                : base_->runtime_open_file(path, mode);
    if (real) {
      fclose(real);
      f = fopen("/dev/full", "w");
    }
    if (!f) error = errno;
  } else {
    f = op == Op::open ? base_->open_file(path, mode) : base_->runtime_open_file(path, mode);
    if (!f) error = errno;
  }
  if (f) paths_[f] = path;
  after(op, path, f == nullptr);
  if (!f) errno = error;
  return f;
}

FILE* FaultyPlatform::open_file(const std::string& path, const char* mode) {
  return open_common(Op::open, path, mode);
}

FILE* FaultyPlatform::runtime_open_file(const std::string& path, const char* mode) {
  return open_common(Op::runtime_open, path, mode);
}

int FaultyPlatform::sync_file(FILE* f) {
  auto known = paths_.find(f);
  const std::string path = known == paths_.end() ? std::string() : known->second;
  // The stream is closed by the caller right after its sync: forget it here,
  // as the same address may come back for the next stream.
  if (known != paths_.end()) paths_.erase(known);
  before(Op::sync, path);
  int result;
  int error = 0;
  if (sync.hits(path)) {
    result = -1;
    error = sync.error;
  } else {
    result = base_->sync_file(f);
    error = errno;
  }
  after(Op::sync, path, result != 0);
  if (result != 0) errno = error;
  return result;
}

int FaultyPlatform::rename_common(Op op, const std::string& from, const std::string& to) {
  before(op, from);
  int result;
  int error = 0;
  if (rename.hits(from) || (!rename.path_contains.empty() && rename.hits(to))) {
    result = -1;
    error = rename.error;
  } else {
    result = op == Op::runtime_rename ? base_->runtime_rename(from, to)
                                      : base_->replace_file(from, to);
    error = errno;
  }
  after(op, from, result != 0);
  errno = error;
  return result;
}

int FaultyPlatform::runtime_rename(const std::string& from, const std::string& to) {
  return rename_common(Op::runtime_rename, from, to);
}

int FaultyPlatform::replace_file(const std::string& from, const std::string& to) {
  return rename_common(Op::replace, from, to);
}

int FaultyPlatform::sync_directory(const std::string& dir) {
  before(Op::sync_directory, dir);
  int result = base_->sync_directory(dir);
  after(Op::sync_directory, dir, result != 0);
  return result;
}

int FaultyPlatform::delete_file(const std::string& path) {
  before(Op::remove, path);
  int result = base_->delete_file(path);
  after(Op::remove, path, result != 0);
  return result;
}

int OpenFilesOnFullDevice::fill(const std::string& path) {
  char wanted[PATH_MAX];
  if (!realpath(path.c_str(), wanted)) return 0;
  std::vector<int> fds;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (struct dirent* entry = readdir(d)) {
      if (entry->d_name[0] == '.') continue;
      int fd = atoi(entry->d_name);
      char link[64], target[PATH_MAX];
      snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
      ssize_t n = readlink(link, target, sizeof(target) - 1);
      if (n <= 0) continue;
      target[n] = '\0';
      if (strcmp(target, wanted) == 0) fds.push_back(fd);
    }
    closedir(d);
  }
  int full = open("/dev/full", O_WRONLY);
  if (full < 0) return 0;
  int count = 0;
  for (int fd : fds) {
    int saved = dup(fd);
    if (saved < 0) continue;
    if (dup2(full, fd) < 0) {
      close(saved);
      continue;
    }
    switched_.push_back({fd, saved});
    count++;
  }
  close(full);
  return count;
}

void OpenFilesOnFullDevice::restore() {
  for (const Switched& s : switched_) {
    dup2(s.saved, s.fd);
    close(s.saved);
  }
  switched_.clear();
}
