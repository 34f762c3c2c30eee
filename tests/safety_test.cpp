// Hostile names in the client's state: quotes of both kinds, "../", "/",
// line ends, TABs, ";", "|", long and non-UTF-8 texts. They must not break a
// lookup, make the collector write anywhere but its own files, or put a
// record line of their own into the output file; and the collector only
// ever connects to 127.0.0.1.
//
// Where the collector writes and connects is seen at the C library: this
// file defines the calls that create or change a file by name (fopen, open,
// rename, unlink, truncate, mkdir ...) and connect, records what they are
// given while a recording is on, and passes every call on to the library's
// own (found with dlsym(RTLD_NEXT)). Whatever code makes the call, the
// collector's or BOINC's, it is seen; a path outside the test's directory
// would be seen too.
#include <arpa/inet.h>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "accounting/accounting.h"
#include "client/client_calls.h"
#include "client/client_state.h"
#include "driver/collection_cycle.h"
#include "driver/log.h"
#include "driver/startup.h"
#include "persistence/checkpoint.h"
#include "tests/fakes/client_state_xml.h"
#include "tests/fakes/fake_gui_rpc_server.h"
#include "tests/fakes/test_support.h"

// --- What the process writes and where it connects -------------------------

namespace {

struct Recording {
  std::mutex mutex;
  std::thread::id thread;           // the thread whose writes are kept
  std::vector<std::string> writes;  // "call path", paths made absolute
  std::vector<std::string> connects;  // "family address:port"
  // Connections to this port are refused without being made (so that no
  // real client on the default port is reached).
  int refused_port = -1;
};

std::atomic<bool> recording_on{false};

Recording& recording() {
  static Recording* r = new Recording();
  return *r;
}

std::string absolute(const char* path) {
  if (!path) return "(null)";
  if (path[0] == '/') return path;
  char cwd[4096];
  if (!getcwd(cwd, sizeof(cwd))) return std::string("?/") + path;
  return std::string(cwd) + "/" + path;
}

void record_write(const char* call, const char* path) {
  if (!recording_on.load()) return;
  int saved = errno;
  std::string entry = std::string(call) + " " + absolute(path);
  {
    std::lock_guard<std::mutex> lock(recording().mutex);
    if (std::this_thread::get_id() == recording().thread) recording().writes.push_back(entry);
  }
  errno = saved;
}

bool writes_by_mode(const char* mode) {
  return mode && (strchr(mode, 'w') || strchr(mode, 'a') || strchr(mode, '+'));
}

// open reads a mode argument only for these flags.
bool needs_mode(int flags) { return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE; }

bool writes_by_flags(int flags) {
  return (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND)) != 0;
}

template <typename F>
F next_function(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

FILE* fopen(const char* path, const char* mode) {
  static auto real = next_function<FILE* (*)(const char*, const char*)>("fopen");
  if (writes_by_mode(mode)) record_write("fopen", path);
  return real(path, mode);
}

FILE* fopen64(const char* path, const char* mode) {
  static auto real = next_function<FILE* (*)(const char*, const char*)>("fopen64");
  if (writes_by_mode(mode)) record_write("fopen", path);
  return real(path, mode);
}

FILE* freopen(const char* path, const char* mode, FILE* stream) {
  static auto real = next_function<FILE* (*)(const char*, const char*, FILE*)>("freopen");
  if (path && writes_by_mode(mode)) record_write("freopen", path);
  return real(path, mode, stream);
}

int open(const char* path, int flags, ...) {
  static auto real = next_function<int (*)(const char*, int, ...)>("open");
  mode_t mode = 0;
  if (needs_mode(flags)) {
    va_list ap;
    va_start(ap, flags);
    mode = static_cast<mode_t>(va_arg(ap, int));
    va_end(ap);
  }
  if (writes_by_flags(flags)) record_write("open", path);
  return real(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  static auto real = next_function<int (*)(const char*, int, ...)>("open64");
  mode_t mode = 0;
  if (needs_mode(flags)) {
    va_list ap;
    va_start(ap, flags);
    mode = static_cast<mode_t>(va_arg(ap, int));
    va_end(ap);
  }
  if (writes_by_flags(flags)) record_write("open", path);
  return real(path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...) {
  static auto real = next_function<int (*)(int, const char*, int, ...)>("openat");
  mode_t mode = 0;
  if (needs_mode(flags)) {
    va_list ap;
    va_start(ap, flags);
    mode = static_cast<mode_t>(va_arg(ap, int));
    va_end(ap);
  }
  if (writes_by_flags(flags)) {
    record_write(dirfd == AT_FDCWD ? "open" : "openat(dirfd)", path);
  }
  return real(dirfd, path, flags, mode);
}

int creat(const char* path, mode_t mode) {
  static auto real = next_function<int (*)(const char*, mode_t)>("creat");
  record_write("creat", path);
  return real(path, mode);
}

int rename(const char* from, const char* to) {
  static auto real = next_function<int (*)(const char*, const char*)>("rename");
  record_write("rename-from", from);
  record_write("rename", to);
  return real(from, to);
}

int renameat(int from_dir, const char* from, int to_dir, const char* to) {
  static auto real = next_function<int (*)(int, const char*, int, const char*)>("renameat");
  record_write(from_dir == AT_FDCWD ? "rename-from" : "renameat(dirfd)", from);
  record_write(to_dir == AT_FDCWD ? "rename" : "renameat(dirfd)", to);
  return real(from_dir, from, to_dir, to);
}

int link(const char* from, const char* to) {
  static auto real = next_function<int (*)(const char*, const char*)>("link");
  record_write("link", to);
  return real(from, to);
}

int symlink(const char* target, const char* path) {
  static auto real = next_function<int (*)(const char*, const char*)>("symlink");
  record_write("symlink", path);
  return real(target, path);
}

int mkdir(const char* path, mode_t mode) {
  static auto real = next_function<int (*)(const char*, mode_t)>("mkdir");
  record_write("mkdir", path);
  return real(path, mode);
}

int unlink(const char* path) {
  static auto real = next_function<int (*)(const char*)>("unlink");
  record_write("unlink", path);
  return real(path);
}

int remove(const char* path) {
  static auto real = next_function<int (*)(const char*)>("remove");
  record_write("remove", path);
  return real(path);
}

int truncate(const char* path, off_t size) {
  static auto real = next_function<int (*)(const char*, off_t)>("truncate");
  record_write("truncate", path);
  return real(path, size);
}

int truncate64(const char* path, off_t size) {
  static auto real = next_function<int (*)(const char*, off_t)>("truncate64");
  record_write("truncate", path);
  return real(path, size);
}

int connect(int fd, const struct sockaddr* address, socklen_t length) {
  static auto real = next_function<int (*)(int, const struct sockaddr*, socklen_t)>("connect");
  if (recording_on.load() && address) {
    std::string entry = "family " + std::to_string(address->sa_family);
    int port = -1;
    char text[INET6_ADDRSTRLEN] = "";
    if (address->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
      const sockaddr_in* in = reinterpret_cast<const sockaddr_in*>(address);
      inet_ntop(AF_INET, &in->sin_addr, text, sizeof(text));
      port = ntohs(in->sin_port);
      entry = std::string("inet ") + text + ":" + std::to_string(port);
    } else if (address->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
      const sockaddr_in6* in6 = reinterpret_cast<const sockaddr_in6*>(address);
      inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof(text));
      port = ntohs(in6->sin6_port);
      entry = std::string("inet6 ") + text + ":" + std::to_string(port);
    }
    bool refuse = false;
    {
      std::lock_guard<std::mutex> lock(recording().mutex);
      recording().connects.push_back(entry);
      refuse = port >= 0 && port == recording().refused_port;
    }
    if (refuse) {
      errno = ECONNREFUSED;
      return -1;
    }
  }
  return real(fd, address, length);
}

}  // extern "C"

namespace {

// Records from construction to stop() (or destruction): the writes made by
// the thread that constructs it (the collector's; a test's fake client
// changes the client's files from its own thread), and the connections made
// by any thread.
class Recorder {
 public:
  explicit Recorder(int refused_port = -1) {
    std::lock_guard<std::mutex> lock(recording().mutex);
    recording().thread = std::this_thread::get_id();
    recording().writes.clear();
    recording().connects.clear();
    recording().refused_port = refused_port;
    recording_on = true;
  }
  ~Recorder() { stop(); }
  void stop() {
    recording_on = false;
    std::lock_guard<std::mutex> lock(recording().mutex);
    recording().refused_port = -1;
  }
  std::vector<std::string> writes() {
    std::lock_guard<std::mutex> lock(recording().mutex);
    return recording().writes;
  }
  std::vector<std::string> connects() {
    std::lock_guard<std::mutex> lock(recording().mutex);
    return recording().connects;
  }
};

// --- Hostile names ----------------------------------------------------------

// Names that the client's state may hold. Each one keeps a character that is
// not a blank, TAB or line end at both ends: the client's GUI-RPC parser
// trims those at the ends of every value, so no name reaches the collector
// with them there.
struct HostileName {
  const char* what;
  std::string text;
};

std::vector<HostileName> hostile_names() {
  return {
      {"single quote", "it's"},
      {"double quote", "say \"hi\""},
      {"both quotes", "a'b\"c'd\"e"},
      {"XPath injection", "x'] | //project[master_url='y"},
      {"XPath injection with double quotes", "x\"] | //*[\"1\"=\"1"},
      {"parent directories", "../../../etc/passwd"},
      {"slashes", "/abs/olute/name"},
      {"line end", "first\nsecond"},
      {"CR", "first\rsecond"},
      {"CR LF", "first\r\nsecond"},
      {"TAB", "key\tvalue"},
      {"semicolons", "a;b;;c"},
      {"bars", "a|b||c"},
      {"forged record", "x\n1700000000;run;forged;cpu;P;A|U;x86;;9;1 CPUs;\ny"},
      {"non-UTF-8", "caf\xe9 \xff\xfe\x80 \xc3\x28"},
      {"long", std::string(120, 'L') + "'\";|\t" + std::string(120, 'M')},
  };
}

// The text of a name inside client_state.xml: a CR as a character
// reference, as an XML writer must put it (a raw CR reads as LF).
std::string in_xml(const std::string& text) {
  std::string out;
  for (char ch : text) {
    if (ch == '\r') {
      out += "&#13;";
    } else {
      out += ch;
    }
  }
  return out;
}

// --- Lookups ---------------------------------------------------------------

// Every lookup finds the element or record of a hostile name, although
// elements whose names are near it (cut, extended, without its quotes, or
// an always-true XPath text) come first.
class HostileLookups : public CollectorTest, public ::testing::WithParamInterface<bool> {
 protected:
  bool from_file() const { return GetParam(); }

  static std::vector<std::string> decoys(const std::string& name) {
    std::string unquoted;
    for (char ch : name) {
      if (ch != '\'' && ch != '"') unquoted += ch;
    }
    return {name.substr(0, name.size() - 1), name + "x", "x" + name, unquoted, "' or '1'='1",
            ""};
  }

  // A platform text is short (BOINC keeps 64 bytes of it): one per name.
  static std::string platform_of(const std::string& name) {
    return "X" + std::to_string(std::hash<std::string>()(name) % 100000);
  }

  void build_state() {
    ClientStateXml xml;
    int n = 0;
    for (const HostileName& h : hostile_names()) {
      const std::string& name = h.text;
      for (const std::string& d : decoys(name)) {
        if (d == name) continue;
        std::string wrong = "wrong" + std::to_string(n++);
        if (from_file()) {
          xml.project(in_xml(d), wrong, 1)
              .app(in_xml(d), wrong)
              .app_version(in_xml(d), 7, "wrong", {wrong})
              .workunit(in_xml(d), wrong, {wrong})
              .result(in_xml(d), wrong, 5, "1", "2", wrong);
        } else {
          client.add_project(d, wrong, 1);
          client.add_app(d, wrong);
          client.add_app_version(d, 7, "wrong");
          client.add_workunit(d, wrong);
          RESULT r = make_result(d, wrong, wrong);
          r.state = 5;
          r.ready_to_report = true;
          client.all.push_back(r);
        }
      }
      if (from_file()) {
        xml.project(in_xml(name), in_xml("P " + name), 42, true)
            .app(in_xml(name), in_xml("F " + name))
            .app_version(in_xml(name), 7, platform_of(name), {in_xml("v " + name), "v2"})
            .workunit(in_xml(name), in_xml("A " + name), {in_xml("w " + name), "w2"})
            .result(in_xml(name), in_xml(name), 5, "12.5", "13.5", "mt");
      } else {
        client.add_project(name, "P " + name, 42, true);
        client.add_app(name, "F " + name);
        client.add_app_version(name, 7, platform_of(name));
        client.add_workunit(name, "A " + name);
        RESULT r = make_result(name, name, name);
        r.state = 5;
        r.ready_to_report = true;
        r.final_cpu_time = 12.5;
        r.final_elapsed_time = 13.5;
        snprintf(r.plan_class, sizeof(r.plan_class), "mt");
        client.all.push_back(r);
      }
    }
    if (from_file()) xml.write(dir->path() + "/client_state.xml");
  }
};

TEST_P(HostileLookups, FindTheRightElement) {
  build_state();
  // One pass for all names: the later lookups of each kind are answered the
  // way the first ones are, whatever the lookups keep between them.
  for (StateFallback fallback : {StateFallback::kClientStateRecord, StateFallback::kAllResultsList}) {
    c().state.state_loaded = false;
    ASSERT_TRUE(load_client_state(c(), fallback));
    ASSERT_EQ(from_file() ? StateSource::kFile : StateSource::kRpc, c().state.source);
    for (const HostileName& h : hostile_names()) {
      SCOPED_TRACE(h.what);
      const std::string& name = h.text;
      if (fallback == StateFallback::kClientStateRecord) {
        EXPECT_EQ("P " + name, lookup_project_name(c(), name));
        EXPECT_EQ("42", lookup_project_hostid(c(), name));
        EXPECT_TRUE(lookup_non_cpu_intensive(c(), name));
        EXPECT_EQ("A " + name, lookup_workunit_app_name(c(), name));
        EXPECT_EQ("F " + name, lookup_app_user_friendly_name(c(), name));
        std::vector<std::string> files;
        EXPECT_EQ(platform_of(name), lookup_app_version(c(), name, 7, &files));
        EXPECT_EQ("", lookup_app_version(c(), name, 8, &files));
        if (from_file()) {
          lookup_app_version(c(), name, 7, &files);
          EXPECT_EQ(std::vector<std::string>({"v " + name, "v2"}), files);
          EXPECT_TRUE(lookup_workunit_files(c(), name, &files));
          EXPECT_EQ(std::vector<std::string>({"w " + name, "w2"}), files);
        } else {
          EXPECT_FALSE(lookup_workunit_files(c(), name, &files));
        }
      }
      if (fallback == StateFallback::kAllResultsList || from_file()) {
        ResultCompletion done = lookup_result_completion(c(), name);
        EXPECT_TRUE(done.finished);
        EXPECT_EQ(from_file() ? "12.5" : "12", done.final_cpu_time);
        EXPECT_EQ(from_file() ? "13.5" : "13", done.final_elapsed_time);
        EXPECT_EQ("mt", done.plan_class);
      }
    }
    if (from_file()) break;  // the file answers whatever the fallback
  }
}

INSTANTIATE_TEST_SUITE_P(StateSources, HostileLookups, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "File" : "Rpc");
                         });

// --- A whole work unit ------------------------------------------------------

// The names of a short work unit's client: two projects, one application
// (in both), two results, beside the collector's own task (with harmless
// names: the client always lists it). Result 1 executes throughout; result 2
// executes in the first cycle, then its output file goes and it is listed
// finished.
struct UnitNames {
  std::string url1, url2, project1, project2, app, friendly, platform;
  std::string result1, result2, wu1, wu2, input_file;
};

UnitNames benign_unit() {
  return {"http://one.example/p/", "http://two.example/", "One", "Two", "app", "Application",
          "x86_64-pc-linux-gnu", "w1_0", "w2_0", "w1", "w2", "input"};
}

UnitNames hostile_unit() {
  UnitNames n;
  n.url1 = "http://ev'il\"; |\t/../x/";
  n.url2 = "http://../";  // its project directory is projects/..
  // No byte 0xFF: BOINC's GUI-RPC parser reads it as the end of the reply
  // (a char compared with EOF), so no name holding it reaches the collector
  // over GUI RPC whole.
  n.project1 = "P'\"\n1700000000;run;forged;1;\n;|\t\xfe\xe9";
  n.project2 = "Q\r\nQ" + std::string(5000, 'q') + "'";
  n.app = "a'\"\n;|\t\x80pp";
  n.friendly = "F\"'\r\n1700000000;delai;forged;\n|;";
  n.platform = "x86'\"\n;|";
  n.result1 = "../../../outside/r'\"\n1700000000;upload;forged\n;|\t\xfe_0";
  n.result2 = "r2'\"\n1700000060;run;forged;\r;|\t_0";
  n.wu1 = "../../w1'\"\n;|";
  n.wu2 = "w2'\"\r\n;|";
  n.input_file = "in'\"; |\tput";
  return n;
}

// The kinds of record line of a work unit, each by the start of its lines.
const std::vector<std::pair<std::string, std::regex>>& record_kinds() {
  static const std::vector<std::pair<std::string, std::regex>> kinds = [] {
    std::vector<std::pair<std::string, std::regex>> k;
    const char* prefix = "[0-9][0-9]:[0-9][0-9]:[0-9][0-9] \\([0-9]+\\): ";
    k.push_back({"method", std::regex(std::string("^") + prefix + "method 3;-?[0-9]+$")});
    k.push_back({"cycle", std::regex(std::string("^") + prefix + "cycle[0-9]+$")});
    k.push_back({"Longueur_wu", std::regex("^Longueur_wu;-?[0-9]+$")});
    k.push_back({"Credit_cycle", std::regex("^Credit_cycle;[-0-9.]+;-?[0-9]+$")});
    k.push_back({"hostid", std::regex("^hostid;-?[0-9]+$")});
    k.push_back({"p_model", std::regex("^p_model;.*;-?[0-9]+;-?[0-9]+$")});
    for (std::string tag : {"delai;", "resources;", "active_project;", "upload;", "download;",
                            "conso|", "check|", "occupation;", "duree|", "run;", "New_wu;",
                            "Dl_app;"}) {
      std::string pattern = std::regex_replace(tag, std::regex("\\|"), "\\|");
      k.push_back({tag, std::regex("^[0-9]+;" + pattern)});
    }
    k.push_back({"projet", std::regex("^projet;")});
    k.push_back({"Activetask", std::regex("^Activetask\t")});
    return k;
  }();
  return kinds;
}

std::string blanked(const std::string& text) {
  std::string out = text;
  for (char& ch : out) {
    if (ch == '\n' || ch == '\r') ch = ' ';
  }
  return out;
}

// mkdir -p, for names that a shell would not take as they are.
void make_directories(const std::string& path) {
  for (size_t at = path.find('/', 1); ; at = path.find('/', at + 1)) {
    ::mkdir(path.substr(0, at).c_str(), 0755);
    if (at == std::string::npos) break;
  }
}

// A path with its "." and ".." steps taken, as the file system reads it.
std::string normal(const std::string& path) {
  return std::filesystem::path(path).lexically_normal().string();
}

// Every file under `root`: path -> inode, size and modification time.
using Tree = std::map<std::string, std::string>;
void walk(const std::string& path, Tree* tree) {
  DIR* d = opendir(path.c_str());
  if (!d) return;
  while (struct dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string full = path + "/" + name;
    struct stat st;
    if (lstat(full.c_str(), &st) != 0) continue;
    (*tree)[full] = std::to_string(st.st_ino) + " " + std::to_string(st.st_size) + " " +
                    std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
    if (S_ISDIR(st.st_mode)) walk(full, tree);
  }
  closedir(d);
}

// Records the paths whose size the collector asks for.
class StatRecordingPlatform : public FakePlatform {
 public:
  int file_size(const std::string& path, int64_t* size) override {
    sized.push_back(path);
    return FakePlatform::file_size(path, size);
  }
  std::vector<std::string> sized;
};

struct UnitRun {
  std::string output;
  std::vector<std::string> writes;     // by the collector's thread
  std::vector<std::string> connects;
  std::vector<std::string> changed;    // files created, changed or removed under the tree
  std::vector<std::string> sized;      // paths whose size was asked
  std::vector<std::string> programs;   // programs run
  std::set<std::string> followed;      // Result's keys at the end
  std::string log;
  std::string slot, data, project_dir1, project_dir2;
  std::vector<std::string> project_dirs;  // of every project the client lists
  int port = 0;
};

class HostileWorkUnit : public ::testing::TestWithParam<bool> {
 protected:
  bool from_file() const { return GetParam(); }

  // One work unit of three cycles in a fresh directory tree:
  //   <root>/data            the client's data directory
  //   <root>/data/slots/0    the collector's slot (its working directory)
  //   <root>/data/projects/collector   the collector's own project directory
  //   <root>/outside         where "../" in names points
  UnitRun run_unit(const UnitNames& n) {
    UnitRun out;
    TempDir root;
    const std::string data = root.path() + "/data";
    out.data = data;
    out.slot = data + "/slots/0";
    make_directories(out.slot);
    make_directories(data + "/projects/collector");
    make_directories(root.path() + "/outside");

    Collector c;
    FakeClock clock;
    StatRecordingPlatform platform;
    platform.cwd = out.slot;
    c.clock = &clock;
    c.platform = &platform;
    c.settings.data_directory = data;
    out.project_dir1 = project_directory(c, n.url1);
    out.project_dir2 = project_directory(c, n.url2);
    make_directories(out.project_dir1);
    make_directories(out.project_dir2);
    write_file(out.project_dir1 + "/" + n.input_file, std::string(1000, 'i'));
    write_file(out.project_dir2 + "/" + n.input_file, std::string(2000, 'i'));
    const std::string output2 = out.project_dir2 + "/" + n.result2 + "_0";
    write_file(output2, std::string(500, 'o'));

    RESULT r1 = make_executing(n.result1, n.wu1, n.url1, 0);
    RESULT r2 = make_executing(n.result2, n.wu2, n.url2, 0);
    for (RESULT* r : {&r1, &r2}) {
      r->version_num = 7;
      r->received_time = 1700000000.0 - 50;
      r->report_deadline = 1700600000.0;
    }
    RESULT r2_done = make_finished_result(n.result2, n.wu2, n.url2, 30.5, 40.5);
    r2_done.version_num = 7;
    const char kOwnUrl[] = "http://collector.example/";
    out.project_dirs = {project_directory(c, kOwnUrl), out.project_dir1, out.project_dir2};
    RESULT own = make_executing("collector_1_0", "collector_1", kOwnUrl, 0);
    own.version_num = 7;
    const std::string state_path = data + "/client_state.xml";
    auto state_xml = [&](bool r2_finished) {
      ClientStateXml xml;
      xml.project(kOwnUrl, "Collector", 33)
          .app("collector", "Collector")
          .app_version("collector", 7, "x86_64-pc-linux-gnu")
          .workunit("collector_1", "collector")
          .result("collector_1_0", "collector_1", 2)
          .project(in_xml(n.url1), in_xml(n.project1), 11)
          .app(in_xml(n.app), in_xml(n.friendly))
          .app_version(in_xml(n.app), 7, in_xml(n.platform), {in_xml(n.input_file)})
          .workunit(in_xml(n.wu1), in_xml(n.app), {in_xml(n.input_file)})
          .project(in_xml(n.url2), in_xml(n.project2), 22)
          .workunit(in_xml(n.wu2), in_xml(n.app), {in_xml(n.input_file)})
          .result(in_xml(n.result1), in_xml(n.wu1), 2)
          .result(in_xml(n.result2), in_xml(n.wu2), r2_finished ? 5 : 2,
                  r2_finished ? "30.500000" : "", r2_finished ? "40.500000" : "");
      xml.write(state_path);
    };
    if (from_file()) state_xml(false);

    FakeGuiRpcServer server;
    EXPECT_TRUE(server.start());
    out.port = server.port();
    server.edit([&](FakeClientModel& m) {
      m.add_project(kOwnUrl, "Collector", 33);
      m.add_app("collector", "Collector");
      m.add_app_version("collector", 7, "x86_64-pc-linux-gnu");
      m.add_workunit("collector_1", "collector");
      m.add_project(n.url1, n.project1, 11);
      m.add_app(n.app, n.friendly);
      m.add_app_version(n.app, 7, n.platform);
      m.add_workunit(n.wu1, n.app);
      m.add_project(n.url2, n.project2, 22);
      m.add_app(n.app, n.friendly);
      m.add_app_version(n.app, 7, n.platform);
      m.add_workunit(n.wu2, n.app);
      m.set_results({own, r1, r2});
    });
    // From the second cycle on, result 2 has ended: its output file is
    // gone and the client lists it finished.
    server.on_request([&](RpcKind kind, int count, FakeClientModel& m) {
      if (kind != RpcKind::get_results_active || count != 1) return;
      ::remove(output2.c_str());
      if (from_file()) state_xml(true);
      m.set_results({own, r1, r2_done});
    });

    c.settings.test_mode = false;
    c.settings.cycle_count = 3;
    c.settings.cycle_period = 60;
    c.settings.gui_rpc_port = server.port();
    c.rpc_client.set_port(server.port());
    c.client = &c.rpc_client;
    snprintf(c.init_data.project_dir, sizeof(c.init_data.project_dir), "%s",
             (data + "/projects/collector").c_str());
    snprintf(c.init_data.boinc_dir, sizeof(c.init_data.boinc_dir), "%s", data.c_str());
    snprintf(c.init_data.result_name, sizeof(c.init_data.result_name), "collector_1_0");
    c.init_data.slot = 0;
    c.init_data.hostid = 5;
    snprintf(c.init_data.host_info.p_model, sizeof(c.init_data.host_info.p_model), "cpu");
    c.init_data.host_info.p_ncpus = 4;

    Tree before;
    walk(root.path(), &before);
    EXPECT_EQ(0, chdir(out.slot.c_str()));
    std::string log;
    log_capture(&log);
    {
      Recorder recorder;
      EXPECT_EQ(0, open_and_restore(c));
      run_collection(c);
      recorder.stop();
      out.writes = recorder.writes();
      out.connects = recorder.connects();
    }
    log_capture(nullptr);
    out.log = log;
    EXPECT_EQ(0, chdir(root.path().c_str()));
    server.stop();
    Tree after;
    walk(root.path(), &after);
    for (const auto& entry : after) {
      auto old = before.find(entry.first);
      if (old == before.end() || old->second != entry.second) out.changed.push_back(entry.first);
    }
    for (const auto& entry : before) {
      if (!after.count(entry.first)) out.changed.push_back(entry.first);
    }
    out.output = read_file(out.slot + "/out");
    out.sized = platform.sized;
    out.programs = platform.programs_run;
    for (const auto& entry : c.tables.Result) out.followed.insert(entry.first);
    return out;
  }

  // Lines of each record kind; a line of no kind counts under "unknown".
  static std::map<std::string, int> kinds_of(const std::string& output) {
    std::map<std::string, int> count;
    for (const std::string& line : split_lines(output)) {
      std::string kind = "unknown: " + line;
      for (const auto& k : record_kinds()) {
        if (std::regex_search(line, k.second)) {
          kind = k.first;
          break;
        }
      }
      count[kind]++;
    }
    return count;
  }
};

TEST_P(HostileWorkUnit, WritesOnlyItsFilesAndOneLinePerRecord) {
  const UnitNames n = hostile_unit();
  UnitRun benign = run_unit(benign_unit());
  UnitRun hostile = run_unit(n);

  // Result 1 is still followed, result 2 was followed to its end, whatever
  // their names.
  EXPECT_EQ(std::set<std::string>({"collector_1_0", n.result1}), hostile.followed);

  // Only the collector's own files were written: the output, the counters
  // file and its temporary file in the slot, the state file and its
  // temporary file in its project directory.
  const std::string cache = hostile.data + "/projects/collector/cache";
  const std::set<std::string> allowed_paths = {hostile.slot + "/out", hostile.slot + "/temp",
                                               hostile.slot + "/checkpoint", cache};
  // The state file's temporary sibling: "cache." + a name of its own + ".tmp".
  auto state_temporary = [&](const std::string& path) {
    return path.size() > cache.size() + 5 && path.compare(0, cache.size() + 1, cache + ".") == 0 &&
           path.compare(path.size() - 4, 4, ".tmp") == 0 &&
           path.find('/', cache.size()) == std::string::npos;
  };
  auto allowed_write = [&](const std::string& w) {
    const std::string path = w.substr(w.find(' ') + 1);
    return allowed_paths.count(path) || state_temporary(path);
  };
  EXPECT_FALSE(hostile.writes.empty());
  for (const std::string& w : hostile.writes) {
    EXPECT_TRUE(allowed_write(w)) << w;
  }
  std::set<std::string> changed(hostile.changed.begin(), hostile.changed.end());
  std::set<std::string> expected_changes = {hostile.slot + "/out", hostile.slot + "/checkpoint",
                                            cache, hostile.data + "/projects/collector",
                                            hostile.slot};
  // The test's own changes: result 2's output file and client_state.xml,
  // and the directories they are in.
  for (const std::string& own :
       {hostile.project_dir2 + "/" + n.result2 + "_0", hostile.project_dir2,
        hostile.data + "/client_state.xml", hostile.data}) {
    changed.erase(normal(own));
  }
  for (const std::string& path : changed) {
    EXPECT_TRUE(expected_changes.count(path)) << "changed: " << path;
  }

  // Sizes were asked only under the projects' directories (as their names
  // stand; a "../" in a file name is not taken apart) and the slot.
  auto starts = [](const std::string& path, const std::string& start) {
    return path.compare(0, start.size(), start) == 0;
  };
  for (const std::string& path : hostile.sized) {
    bool under = starts(path, hostile.data + "/slots/") || path == "out";
    for (const std::string& dir : hostile.project_dirs) under = under || starts(path, dir + "/");
    EXPECT_TRUE(under) << "sized: " << path;
  }
  // No name reaches a command.
  for (const std::string& program : hostile.programs) EXPECT_EQ("./gpu_detect", program);

  // Every line of the output is one record of a known kind, and there are
  // as many of each kind as with harmless names: no name starts a line.
  std::map<std::string, int> kinds = kinds_of(hostile.output);
  EXPECT_EQ(kinds_of(benign.output), kinds) << "log:\n" << hostile.log;
  EXPECT_EQ(3, kinds["resources;"]);
  EXPECT_EQ(3, kinds["active_project;"]);
  EXPECT_EQ(1, kinds["duree|"]);
  EXPECT_EQ(3, kinds["run;"]);  // result 2's, then those of the tasks still running
  // A name with line ends stands whole, blanked, in its records.
  const std::string t = "1700000000;";  // the first cycle starts at the fake clock's start
  EXPECT_EQ(1u, lines_starting(hostile.output, t + "resources;" + blanked(n.result1) + ";cpu;" +
                                                   blanked(n.project1) + ";" + blanked(n.app) +
                                                   "|" + blanked(n.friendly) + ";" +
                                                   blanked(n.platform) + ";")
                    .size());
  EXPECT_EQ(1u, lines_starting(hostile.output, "projet;" + blanked(n.url1) + ";" +
                                                   blanked(n.project1))
                    .size());
  EXPECT_EQ(1u, lines_starting(hostile.output, t + "delai;" + blanked(n.project2) + ";" +
                                                   blanked(n.app) + "|" + blanked(n.friendly) +
                                                   ";;")
                    .size());

  // Every connection went to the client's port on 127.0.0.1.
  EXPECT_FALSE(hostile.connects.empty());
  for (const std::string& to : hostile.connects) {
    EXPECT_EQ("inet 127.0.0.1:" + std::to_string(hostile.port), to);
  }
}

INSTANTIATE_TEST_SUITE_P(StateSources, HostileWorkUnit, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "File" : "Rpc");
                         });

// The client calls have no host to give: whatever the port, the connection
// goes to 127.0.0.1 (port 0 meaning the client's default, 31416). The
// connections are refused here before they are made, so that no client
// listening on this host is reached.
TEST(Loopback, EveryCallConnectsTo127001WhateverThePort) {
  for (int port : {0, 1, 31416, 65535}) {
    const int expected = port == 0 ? 31416 : port;
    Recorder recorder(expected);
    RpcClientCalls calls(port);
    VERSION_INFO version;
    CC_STATUS status;
    HOST_INFO host;
    RESULTS results;
    CC_STATE state;
    EXPECT_EQ(-1, calls.exchange_versions(version));
    EXPECT_EQ(-1, calls.get_cc_status(status));
    EXPECT_EQ(-1, calls.get_host_info(host));
    EXPECT_EQ(-1, calls.get_results(results, true));
    EXPECT_EQ(-1, calls.get_state(state));
    recorder.stop();
    std::vector<std::string> connects = recorder.connects();
    EXPECT_GE(connects.size(), 5u) << port;
    for (const std::string& to : connects) {
      EXPECT_EQ("inet 127.0.0.1:" + std::to_string(expected), to) << port;
    }
  }
}

}  // namespace
