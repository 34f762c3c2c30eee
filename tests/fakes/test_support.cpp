#include "tests/fakes/test_support.h"

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/log.h"

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/collector-test.XXXXXX";
  std::vector<char> buffer(templ.begin(), templ.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data())) abort();
  path_ = buffer.data();
  char cwd[4096];
  if (getcwd(cwd, sizeof(cwd))) previous_ = cwd;
  if (chdir(path_.c_str()) != 0) abort();
}

TempDir::~TempDir() {
  if (!previous_.empty() && chdir(previous_.c_str()) != 0) {
  }
  std::string command = "rm -rf '" + path_ + "'";
  if (system(command.c_str()) != 0) {
  }
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

bool file_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

void make_dirs(const std::string& path) {
  std::string command = "mkdir -p '" + path + "'";
  if (system(command.c_str()) != 0) ADD_FAILURE() << "mkdir -p " << path;
}

std::string list_directory(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* d = opendir(path.c_str())) {
    while (struct dirent* entry = readdir(d)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  std::string text;
  for (const std::string& name : names) text += name + "\n";
  return text;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  std::istringstream in(text);
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

std::string without_prefixes(const std::string& text) {
  static const std::regex prefix("[0-9][0-9]:[0-9][0-9]:[0-9][0-9] \\([0-9]+\\):");
  return std::regex_replace(text, prefix, "P:");
}

std::vector<std::string> lines_starting(const std::string& text, const std::string& start) {
  std::vector<std::string> found;
  for (const std::string& line : split_lines(text)) {
    if (line.compare(0, start.size(), start) == 0) found.push_back(line);
  }
  return found;
}

void CollectorTest::SetUp() {
  dir.reset(new TempDir());
  new_collector();
  log_capture(&log_);
}

void CollectorTest::new_collector() {
  collector.reset(new Collector());
  Collector& col = *collector;
  col.clock = &clock;
  col.platform = &platform;
  col.client = &client;
  col.settings.test_mode = true;
  col.settings.data_directory = dir->path();
  col.paths.output = "out";
  col.paths.counters = "checkpoint";
  col.paths.state_file = "cache";
  col.paths.coproc = "coproc.txt";
}

void CollectorTest::TearDown() {
  log_capture(nullptr);
  collector.reset();
  dir.reset();
}

void CollectorTest::open_output() { ASSERT_EQ(0, c().out.open(c().paths.output, "wb")); }

std::string CollectorTest::output() {
  c().out.flush();
  return read_file(dir->path() + "/out");
}
