// POSIX implementation of the platform layer (Linux and other Unix systems).
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <x86intrin.h>
#endif

namespace platform {

int sockets_startup() { return 0; }

void sleep_ms(uint32_t ms) {
  struct timespec request;
  request.tv_sec = static_cast<time_t>(ms / 1000);
  request.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  struct timespec remaining;
  while (nanosleep(&request, &remaining) != 0 && errno == EINTR) request = remaining;
}

// The monotonic clock counted in units of 100 ns (10 MHz), the usual rate of
// such counters elsewhere: a spin of 10000 counts then lasts 1 ms, long
// enough for a clock measurement that the serialising instructions do not
// disturb.
const uint64_t kCounterHz = 10000000ULL;

int counter_frequency(uint64_t* hz) {
  struct timespec now;
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return -1;
  *hz = kCounterHz;
  return 0;
}

uint64_t counter_now() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * kCounterHz +
         static_cast<uint64_t>(now.tv_nsec) / (1000000000ULL / kCounterHz);
}

uint64_t cycle_counter() {
#if defined(__x86_64__) || defined(__i386__)
  unsigned int a, b, c, d;
  __cpuid(0, a, b, c, d);  // serialise: earlier instructions complete first
  (void)a; (void)b; (void)c; (void)d;
  return __rdtsc();
#elif defined(__aarch64__)
  uint64_t value;
  asm volatile("isb; mrs %0, cntvct_el0" : "=r"(value) : : "memory");
  return value;
#else
  return 0;
#endif
}

int logical_processor_count() {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  if (n < 1) return 1;
  if (n > INT_MAX) return INT_MAX;
  return static_cast<int>(n);
}

int file_size(const std::string& path, int64_t* size) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return -1;
  *size = static_cast<int64_t>(st.st_size);
  return 0;
}

namespace {
int64_t nanoseconds(const struct timespec& t) {
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}
}  // namespace

int file_stamp(const std::string& path, FileStamp* stamp) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return -1;
  stamp->valid = true;
  stamp->path = path;
  stamp->device = static_cast<uint64_t>(st.st_dev);
  stamp->inode = static_cast<uint64_t>(st.st_ino);
  stamp->size = static_cast<int64_t>(st.st_size);
  stamp->modified_ns = nanoseconds(st.st_mtim);
  stamp->changed_ns = nanoseconds(st.st_ctim);
  return 0;
}

bool same_file(const FileStamp& a, const FileStamp& b) {
  return a.valid && b.valid && a.path == b.path && a.device == b.device && a.inode == b.inode &&
         a.size == b.size && a.modified_ns == b.modified_ns && a.changed_ns == b.changed_ns;
}

int64_t wall_clock_ns() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return nanoseconds(now);
}

int working_directory(std::string* dir) {
  char buffer[4096];
  if (!getcwd(buffer, sizeof(buffer))) return -1;
  *dir = buffer;
  return 0;
}

int run_program(const char* command) {
  int status = system(command);
  if (status == -1) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return -1;
}

int replace_file(const std::string& from, const std::string& to) {
  return rename(from.c_str(), to.c_str()) == 0 ? 0 : -1;
}

int truncate_file(const std::string& path, int64_t size) {
  return truncate(path.c_str(), static_cast<off_t>(size)) == 0 ? 0 : -1;
}

static_assert(sizeof(sigset_t) <= 256, "room for a signal mask");

TimerSignalBlock::TimerSignalBlock() {
  sigset_t timer;
  sigemptyset(&timer);
  sigaddset(&timer, SIGALRM);
  blocked_ = pthread_sigmask(SIG_BLOCK, &timer, reinterpret_cast<sigset_t*>(saved_)) == 0;
}

TimerSignalBlock::~TimerSignalBlock() {
  if (blocked_) pthread_sigmask(SIG_SETMASK, reinterpret_cast<sigset_t*>(saved_), nullptr);
}

int process_id() { return static_cast<int>(getpid()); }

int sync_file(FILE* f) { return fsync(fileno(f)) == 0 ? 0 : -1; }

int sync_directory(const std::string& dir) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return -1;
  int result = fsync(fd);
  close(fd);
  return result == 0 ? 0 : -1;
}

}  // namespace platform
