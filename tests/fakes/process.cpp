#include "tests/fakes/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "tests/fakes/test_support.h"

Process::~Process() {
  if (running()) {
    kill(SIGKILL);
    wait(10);
  }
}

bool Process::start(const std::vector<std::string>& args, const std::string& directory,
                    const std::string& stdout_path) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    if (chdir(directory.c_str()) != 0) _exit(127);
    int out = open(stdout_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (out >= 0) {
      dup2(out, 1);
      dup2(out, 2);
      close(out);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  pid_ = pid;
  ended_ = false;
  return true;
}

bool Process::wait(double seconds) {
  if (!running()) return ended_;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    int status = 0;
    pid_t done = wait4(pid_, &status, WNOHANG, &usage_);
    if (done == pid_) {
      ended_ = true;
      status_ = status;
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void Process::kill(int signal) {
  if (running()) ::kill(pid_, signal);
}

double Process::cpu_seconds() const {
  return usage_.ru_utime.tv_sec + usage_.ru_utime.tv_usec / 1e6 + usage_.ru_stime.tv_sec +
         usage_.ru_stime.tv_usec / 1e6;
}

int start_fake_client(Process* process, const std::string& directory,
                      const std::string& script_text, int lifetime_seconds) {
#ifdef FAKE_CLIENT_BIN
  const std::string script = directory + "/client.script";
  const std::string port_file = directory + "/client.port";
  write_file(script, script_text);
  remove(port_file.c_str());
  if (!process->start({FAKE_CLIENT_BIN, "--script", script, "--port-file", port_file,
                       "--lifetime", std::to_string(lifetime_seconds)},
                      directory)) {
    return -1;
  }
  for (int i = 0; i < 1000; i++) {
    if (file_exists(port_file)) return atoi(read_file(port_file).c_str());
    if (process->wait(0.01)) return -1;
  }
#endif
  return -1;
}
