// e2e_killer: kills a task process with SIGKILL at a chosen instant of its
// cycle, for the end-to-end torture test, more precisely than a shell loop
// can.
//
//   e2e_killer PID SLOT_DIR OUTPUT COUNTERS cycle DELAY_US TIMEOUT_MS
//   e2e_killer PID SLOT_DIR OUTPUT COUNTERS counters TIMEOUT_MS
//
// "cycle": waits for the file OUTPUT to grow (the collector flushes its cycle
// line first thing in a cycle), then DELAY_US microseconds, then kills.
// "counters": waits for the file COUNTERS to be replaced (a new inode: the
// collector renames its counters file into place, then writes its state
// file), then kills at once.
// The files are polled every 100 microseconds. The process is killed only
// while its working directory is still SLOT_DIR, so that a PID reused by
// another process is never touched.
//
// Prints one line: "waited_us W killed_after_us K counters_replaced R", where
// W is the time until the awaited change, K the time from that change to the
// kill and R is 1 when the counters file had been replaced by the time of the
// kill. Exit status 0 when the process was killed, 1 when the change did not
// come within TIMEOUT_MS or the process was gone, 64 for bad arguments.
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

long long now_us() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000LL + ts.tv_nsec / 1000;
}

long long size_of(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

long long inode_of(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 ? static_cast<long long>(st.st_ino) : -1;
}

bool works_in(pid_t pid, const std::string& dir) {
  char link[64];
  snprintf(link, sizeof(link), "/proc/%d/cwd", static_cast<int>(pid));
  char target[PATH_MAX];
  ssize_t n = readlink(link, target, sizeof(target) - 1);
  if (n <= 0) return false;
  target[n] = '\0';
  return dir == target;
}

void pause_us(long long us) {
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(us / 1000000);
  ts.tv_nsec = static_cast<long>(us % 1000000) * 1000;
  nanosleep(&ts, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 7) {
    fprintf(stderr, "usage: e2e_killer PID SLOT_DIR OUTPUT COUNTERS cycle DELAY_US TIMEOUT_MS\n"
                    "       e2e_killer PID SLOT_DIR OUTPUT COUNTERS counters TIMEOUT_MS\n");
    return 64;
  }
  pid_t pid = static_cast<pid_t>(atoi(argv[1]));
  std::string slot = argv[2];
  const char* output = argv[3];
  const char* counters = argv[4];
  bool on_cycle = strcmp(argv[5], "cycle") == 0;
  if (!on_cycle && strcmp(argv[5], "counters") != 0) return 64;
  if (on_cycle && argc != 8) return 64;
  long long delay_us = on_cycle ? atoll(argv[6]) : 0;
  long long timeout_us = atoll(argv[on_cycle ? 7 : 6]) * 1000LL;
  if (pid <= 0 || delay_us < 0 || timeout_us <= 0) return 64;

  long long size0 = size_of(output);
  long long inode0 = inode_of(counters);
  long long start = now_us();
  long long changed = -1;
  while (now_us() - start < timeout_us) {
    if (on_cycle ? size_of(output) != size0 : inode_of(counters) != inode0) {
      changed = now_us();
      break;
    }
    pause_us(100);
  }
  if (changed < 0) return 1;
  while (now_us() - changed < delay_us) {
    long long left = delay_us - (now_us() - changed);
    if (left > 200) pause_us(left - 100);
  }
  if (!works_in(pid, slot)) return 1;
  if (kill(pid, SIGKILL) != 0) return 1;
  long long killed = now_us();
  int replaced = inode_of(counters) != inode0 ? 1 : 0;
  printf("waited_us %lld killed_after_us %lld counters_replaced %d\n", changed - start,
         killed - changed, replaced);
  return 0;
}
