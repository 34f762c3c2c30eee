// A child process for tests that run the collector or the fake client as
// programs of their own: started in a given directory, waited for with a
// bound, stopped by its PID.
#ifndef COLLECTOR_TESTS_FAKES_PROCESS_H_
#define COLLECTOR_TESTS_FAKES_PROCESS_H_

#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <vector>

class Process {
 public:
  Process() = default;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  // Kills the process (SIGKILL) if it is still running.
  ~Process();

  // Starts `args` (args[0] is the program) in `directory`, standard output
  // and error to /dev/null unless given files. Returns false on failure.
  bool start(const std::vector<std::string>& args, const std::string& directory,
             const std::string& stdout_path = "/dev/null");

  // Waits at most `seconds`. Returns true when the process ended; its status
  // and resource use are then in status() and usage().
  bool wait(double seconds);

  // Sends `signal` to the process.
  void kill(int signal);

  bool running() const { return pid_ > 0 && !ended_; }
  pid_t pid() const { return pid_; }
  int status() const { return status_; }
  const struct rusage& usage() const { return usage_; }
  // Seconds of user plus system CPU time, once ended.
  double cpu_seconds() const;

 private:
  pid_t pid_ = -1;
  bool ended_ = false;
  int status_ = 0;
  struct rusage usage_ = {};
};

// Runs the fake client with `script_text` (a script file is written in
// `directory`) and returns its port, or -1.
int start_fake_client(Process* process, const std::string& directory,
                      const std::string& script_text, int lifetime_seconds = 300);

#endif  // COLLECTOR_TESTS_FAKES_PROCESS_H_
