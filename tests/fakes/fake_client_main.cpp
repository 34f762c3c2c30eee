// fake_client: the loopback GUI-RPC peer (FakeGuiRpcServer) as a process of
// its own, for tests that run the collector as a separate program.
//
//   fake_client --script FILE [--port N] [--port-file PATH]
//               [--lifetime SECONDS] [--requests-log PATH]
//
//   --script        the script below (required)
//   --port          port to listen on (default 0: any free port)
//   --port-file     the port is written there (complete when the file appears)
//   --lifetime      exit after this many seconds (default 600, at most 3600)
//   --requests-log  one line per request received, with its kind:
//                   exchange_versions, get_cc_status, get_host_info,
//                   get_results_active, get_results_all, get_state or unknown
//
// The port is also printed on standard output as "port N". The program
// listens on 127.0.0.1 only and exits with status 0 after its lifetime or on
// SIGTERM or SIGINT, 2 on a bad command line or script, 1 when it cannot
// listen.
//
// Script format: one directive per line; "#" starts a comment; words are
// separated by blanks and "double quotes" keep blanks inside a word. Times
// (any real-valued field) may be written "now", "now+S" or "now-S": seconds
// from the moment the script is read.
//
//   The client model (every directive optional):
//   version MAJOR [MINOR [RELEASE]]       exchange_versions; default 7 20 5
//   network_suspend_reason N              get_cc_status; default 0
//   task_suspend_reason N                 get_cc_status; default 0
//   host [ncpus=N] [vendor=TEXT] [model=TEXT]
//                                         get_host_info's processor
//   nvidia NAME [count=N] [multiProcessorCount=N] [clockRate=KHZ]
//   ati NAME [count=N] [target=N] [numberOfSIMD=N] [engineClock=MHZ]
//   coproc TYPE [count=N]                 each of these three adds a
//                                         resource type to get_host_info
//   project URL NAME [hostid=N] [non_cpu_intensive]
//   app NAME USER_FRIENDLY_NAME           app, app_version and workunit
//   app_version APP VERSION_NUM [platform=P] [plan_class=PC]
//   workunit NAME APP                     belong to the project above them
//
//   Results, in phases:
//   result NAME WU URL [executing] [finished] [FIELD=VALUE ...]
//       FIELD: platform version_num plan_class report_deadline received_time
//       state ready_to_report final_cpu_time final_elapsed_time exit_status
//       suspended_via_gui project_suspended_via_gui active_task
//       active_task_state slot pid elapsed_time estimated_cpu_time_remaining
//       working_set_size_smoothed current_cpu_time checkpoint_cpu_time
//       fraction_done resources. "executing" stands for active_task=1
//       active_task_state=1 state=2; "finished" for state=5
//       ready_to_report=1. A result with an active task is listed by both
//       get_results requests, any other only by get_results with
//       active_only 0 (as the real client does); get_state lists them all.
//       Defaults: version_num 100, state 2, report_deadline now+604800,
//       received_time now.
//   phase N [any]
//       The results that follow replace the ones before once N get_results
//       requests with active_only 1 (with "any": of both kinds) have been
//       received before the current request. Results before the first
//       phase line form phase 0.
//
//   Misbehaviour:
//   steps KIND STEP [STEP ...]
//       KIND: exchange_versions get_cc_status get_host_info
//       get_results_active get_results_all get_state, or "*" for all six.
//       Each request of that kind takes the next step, the last one
//       repeats. STEP: answer (from the model; the default), error[=TEXT],
//       close, cut[=BYTES] (half the reply by default), silent (no answer:
//       RPC_CLIENT gives up after 30 s), refuse=MS (close, then refuse
//       connections for MS milliseconds), reply=FILE (the reply body from
//       FILE, relative to the script's directory).
//
// Example: a worker executes for two cycles, then shows up finished.
//
//   project http://localhost/testproj/ "Test Project" hostid=202
//   app worker Worker
//   app_version worker 100 platform=x86_64-pc-linux-gnu
//   workunit w1 worker
//   result w1_0 w1 http://localhost/testproj/ executing slot=1 current_cpu_time=12.5
//   phase 2
//   result w1_0 w1 http://localhost/testproj/ finished final_cpu_time=30 final_elapsed_time=31
//   steps get_cc_status close answer
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/fakes/fake_gui_rpc_server.h"

namespace {

volatile sig_atomic_t stop_requested = 0;

void on_signal(int) { stop_requested = 1; }

struct Phase {
  int after = 0;
  bool any = false;  // count get_results requests of both kinds
  std::vector<RESULT> results;
};

struct Script {
  FakeClientModel model;
  std::vector<Phase> phases;
  std::vector<std::pair<RpcKind, std::vector<RpcStep>>> steps;
};

bool split_words(const std::string& line, std::vector<std::string>* words) {
  words->clear();
  std::string word;
  bool in_word = false, quoted = false;
  for (char ch : line) {
    if (quoted) {
      if (ch == '"') {
        quoted = false;
      } else {
        word += ch;
      }
      continue;
    }
    if (ch == '#') break;
    if (ch == '"') {
      quoted = true;
      in_word = true;
    } else if (ch == ' ' || ch == '\t' || ch == '\r') {
      if (in_word) words->push_back(word);
      word.clear();
      in_word = false;
    } else {
      word += ch;
      in_word = true;
    }
  }
  if (quoted) return false;
  if (in_word) words->push_back(word);
  return true;
}

bool to_int(const std::string& text, int* value) {
  char* end = nullptr;
  errno = 0;
  long v = strtol(text.c_str(), &end, 10);
  if (text.empty() || *end || errno) return false;
  *value = static_cast<int>(v);
  return true;
}

bool to_real(const std::string& text, double now, double* value) {
  std::string rest = text;
  double base = 0;
  if (rest.compare(0, 3, "now") == 0) {
    base = now;
    rest = rest.substr(3);
    if (rest.empty()) {
      *value = base;
      return true;
    }
    if (rest[0] == '+') rest = rest.substr(1);
  }
  char* end = nullptr;
  double v = strtod(rest.c_str(), &end);
  if (rest.empty() || *end) return false;
  *value = base + v;
  return true;
}

bool to_bool(const std::string& text, bool* value) {
  if (text == "1" || text == "true") {
    *value = true;
  } else if (text == "0" || text == "false") {
    *value = false;
  } else {
    return false;
  }
  return true;
}

void copy_text(char* field, size_t size, const std::string& text) {
  size_t n = std::min(size - 1, text.size());
  memcpy(field, text.data(), n);
  field[n] = '\0';
}

// key=value words after the positional ones; `flags` are words without "=".
void options(const std::vector<std::string>& words, size_t first,
             std::vector<std::pair<std::string, std::string>>* pairs,
             std::vector<std::string>* flags) {
  for (size_t i = first; i < words.size(); i++) {
    size_t eq = words[i].find('=');
    if (eq == std::string::npos) {
      flags->push_back(words[i]);
    } else {
      pairs->emplace_back(words[i].substr(0, eq), words[i].substr(eq + 1));
    }
  }
}

bool set_result_field(RESULT& r, const std::string& key, const std::string& value, double now) {
  struct Real {
    const char* key;
    double RESULT::*field;
  };
  static const Real reals[] = {
      {"report_deadline", &RESULT::report_deadline},
      {"received_time", &RESULT::received_time},
      {"final_cpu_time", &RESULT::final_cpu_time},
      {"final_elapsed_time", &RESULT::final_elapsed_time},
      {"elapsed_time", &RESULT::elapsed_time},
      {"estimated_cpu_time_remaining", &RESULT::estimated_cpu_time_remaining},
      {"working_set_size_smoothed", &RESULT::working_set_size_smoothed},
      {"current_cpu_time", &RESULT::current_cpu_time},
      {"checkpoint_cpu_time", &RESULT::checkpoint_cpu_time},
      {"fraction_done", &RESULT::fraction_done},
  };
  struct Int {
    const char* key;
    int RESULT::*field;
  };
  static const Int ints[] = {
      {"version_num", &RESULT::version_num}, {"state", &RESULT::state},
      {"exit_status", &RESULT::exit_status}, {"active_task_state", &RESULT::active_task_state},
      {"slot", &RESULT::slot},               {"pid", &RESULT::pid},
  };
  struct Bool {
    const char* key;
    bool RESULT::*field;
  };
  static const Bool bools[] = {
      {"ready_to_report", &RESULT::ready_to_report},
      {"suspended_via_gui", &RESULT::suspended_via_gui},
      {"project_suspended_via_gui", &RESULT::project_suspended_via_gui},
      {"active_task", &RESULT::active_task},
  };
  for (const Real& f : reals) {
    if (key == f.key) return to_real(value, now, &(r.*f.field));
  }
  for (const Int& f : ints) {
    if (key == f.key) return to_int(value, &(r.*f.field));
  }
  for (const Bool& f : bools) {
    if (key == f.key) return to_bool(value, &(r.*f.field));
  }
  if (key == "platform") {
    copy_text(r.platform, sizeof(r.platform), value);
  } else if (key == "plan_class") {
    copy_text(r.plan_class, sizeof(r.plan_class), value);
  } else if (key == "resources") {
    copy_text(r.resources, sizeof(r.resources), value);
  } else {
    return false;
  }
  return true;
}

bool parse_step(const std::string& word, const std::string& dir, RpcStep* step,
                std::string* error) {
  size_t eq = word.find('=');
  std::string name = word.substr(0, eq);
  std::string arg = eq == std::string::npos ? "" : word.substr(eq + 1);
  bool has_arg = eq != std::string::npos;
  int n = 0;
  if (name == "answer" && !has_arg) {
    *step = RpcStep::answer();
  } else if (name == "close" && !has_arg) {
    *step = RpcStep::close();
  } else if (name == "silent" && !has_arg) {
    *step = RpcStep::silent();
  } else if (name == "error") {
    *step = has_arg ? RpcStep::error(arg) : RpcStep::error();
  } else if (name == "cut" && (!has_arg || (to_int(arg, &n) && n > 0))) {
    *step = RpcStep::cut(static_cast<size_t>(n));
  } else if (name == "refuse" && to_int(arg, &n) && n >= 0) {
    *step = RpcStep::refuse(n);
  } else if (name == "reply" && has_arg) {
    std::string path = !arg.empty() && arg[0] == '/' ? arg : dir + "/" + arg;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      *error = "cannot read " + path;
      return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    *step = RpcStep::reply(text.str());
  } else {
    *error = "bad step '" + word + "'";
    return false;
  }
  return true;
}

// One directive; false with *error set when the line is wrong.
bool parse_line(const std::vector<std::string>& w, const std::string& dir, double now,
                Script* s, std::string* error) {
  FakeClientModel& m = s->model;
  std::vector<std::pair<std::string, std::string>> kv;
  std::vector<std::string> flags;
  const std::string& d = w[0];
  auto need = [&](size_t n) {
    if (w.size() < n) *error = "'" + d + "' needs " + std::to_string(n - 1) + " arguments";
    return w.size() >= n;
  };
  auto int_option = [&](const std::string& value, int* out) {
    if (!to_int(value, out)) *error = "bad number '" + value + "'";
    return error->empty();
  };
  if (d == "version") {
    if (w.size() < 2 || w.size() > 4) {
      *error = "version takes MAJOR [MINOR [RELEASE]]";
      return false;
    }
    if (!int_option(w[1], &m.major_version)) return false;
    if (w.size() > 2 && !int_option(w[2], &m.minor_version)) return false;
    if (w.size() > 3 && !int_option(w[3], &m.release)) return false;
    return true;
  }
  if (d == "network_suspend_reason" || d == "task_suspend_reason") {
    if (!need(2)) return false;
    return int_option(w[1], d == "network_suspend_reason" ? &m.network_suspend_reason
                                                          : &m.task_suspend_reason);
  }
  if (d == "host") {
    options(w, 1, &kv, &flags);
    for (const auto& o : kv) {
      if (o.first == "ncpus") {
        if (!int_option(o.second, &m.host_info.p_ncpus)) return false;
      } else if (o.first == "vendor") {
        copy_text(m.host_info.p_vendor, sizeof(m.host_info.p_vendor), o.second);
      } else if (o.first == "model") {
        copy_text(m.host_info.p_model, sizeof(m.host_info.p_model), o.second);
      } else {
        *error = "unknown host field '" + o.first + "'";
        return false;
      }
    }
    if (!flags.empty()) {
      *error = "unexpected '" + flags[0] + "'";
      return false;
    }
    return true;
  }
  if (d == "nvidia" || d == "ati" || d == "coproc") {
    if (!need(2)) return false;
    options(w, 2, &kv, &flags);
    int count = 1, a = 0, b = 0, c = 0;
    for (const auto& o : kv) {
      int* field = nullptr;
      if (o.first == "count") field = &count;
      if (d == "nvidia" && o.first == "multiProcessorCount") field = &a;
      if (d == "nvidia" && o.first == "clockRate") field = &b;
      if (d == "ati" && o.first == "target") field = &a;
      if (d == "ati" && o.first == "numberOfSIMD") field = &b;
      if (d == "ati" && o.first == "engineClock") field = &c;
      if (!field) {
        *error = "unknown " + d + " field '" + o.first + "'";
        return false;
      }
      if (!int_option(o.second, field)) return false;
    }
    if (!flags.empty()) {
      *error = "unexpected '" + flags[0] + "'";
      return false;
    }
    if (m.host_info.coprocs.n_rsc >= MAX_RSC) {
      *error = "too many resource types";
      return false;
    }
    if (d == "nvidia") m.add_nvidia(w[1], count, a, b);
    if (d == "ati") m.add_ati(w[1], count, a, b, c);
    if (d == "coproc") m.add_coproc(w[1], count);
    return true;
  }
  if (d == "project") {
    if (!need(3)) return false;
    options(w, 3, &kv, &flags);
    int hostid = 1;
    for (const auto& o : kv) {
      if (o.first != "hostid") {
        *error = "unknown project field '" + o.first + "'";
        return false;
      }
      if (!int_option(o.second, &hostid)) return false;
    }
    bool nci = false;
    for (const std::string& f : flags) {
      if (f != "non_cpu_intensive") {
        *error = "unexpected '" + f + "'";
        return false;
      }
      nci = true;
    }
    m.add_project(w[1], w[2], hostid, nci);
    return true;
  }
  if (d == "app" || d == "app_version" || d == "workunit") {
    if (!need(3)) return false;
    if (m.projects.empty()) {
      *error = "'" + d + "' before any project";
      return false;
    }
    if (d == "app") {
      if (w.size() != 3) {
        *error = "app takes NAME and USER_FRIENDLY_NAME";
        return false;
      }
      m.add_app(w[1], w[2]);
    } else if (d == "workunit") {
      if (w.size() != 3) {
        *error = "workunit takes NAME and APP";
        return false;
      }
      m.add_workunit(w[1], w[2]);
    } else {
      int version_num = 0;
      if (!int_option(w[2], &version_num)) return false;
      options(w, 3, &kv, &flags);
      std::string platform = "x86_64-pc-linux-gnu", plan_class;
      for (const auto& o : kv) {
        if (o.first == "platform") {
          platform = o.second;
        } else if (o.first == "plan_class") {
          plan_class = o.second;
        } else {
          *error = "unknown app_version field '" + o.first + "'";
          return false;
        }
      }
      if (!flags.empty()) {
        *error = "unexpected '" + flags[0] + "'";
        return false;
      }
      m.add_app_version(w[1], version_num, platform, plan_class);
    }
    return true;
  }
  if (d == "phase") {
    Phase p;
    if (!need(2) || !int_option(w[1], &p.after) || p.after < 0) {
      if (error->empty()) *error = "bad phase";
      return false;
    }
    if (w.size() == 3 && w[2] == "any") {
      p.any = true;
    } else if (w.size() != 2) {
      *error = "phase takes N and an optional 'any'";
      return false;
    }
    s->phases.push_back(p);
    return true;
  }
  if (d == "result") {
    if (!need(4)) return false;
    RESULT r = make_result(w[1], w[2], w[3]);
    r.report_deadline = now + 7 * 86400;
    r.received_time = now;
    options(w, 4, &kv, &flags);
    for (const std::string& f : flags) {
      if (f == "executing") {
        r.active_task = true;
        r.active_task_state = 1;
        r.state = 2;
      } else if (f == "finished") {
        r.state = 5;
        r.ready_to_report = true;
      } else {
        *error = "unexpected '" + f + "'";
        return false;
      }
    }
    for (const auto& o : kv) {
      if (!set_result_field(r, o.first, o.second, now)) {
        *error = "bad result field '" + o.first + "=" + o.second + "'";
        return false;
      }
    }
    if (s->phases.empty()) s->phases.push_back(Phase());
    s->phases.back().results.push_back(r);
    return true;
  }
  if (d == "steps") {
    if (!need(3)) return false;
    std::vector<RpcStep> steps;
    for (size_t i = 2; i < w.size(); i++) {
      RpcStep step;
      if (!parse_step(w[i], dir, &step, error)) return false;
      steps.push_back(step);
    }
    if (w[1] == "*") {
      for (RpcKind k : {RpcKind::exchange_versions, RpcKind::get_cc_status,
                        RpcKind::get_host_info, RpcKind::get_results_active,
                        RpcKind::get_results_all, RpcKind::get_state}) {
        s->steps.emplace_back(k, steps);
      }
      return true;
    }
    RpcKind kind;
    if (!rpc_kind_from_name(w[1], &kind)) {
      *error = "unknown request kind '" + w[1] + "'";
      return false;
    }
    s->steps.emplace_back(kind, steps);
    return true;
  }
  *error = "unknown directive '" + d + "'";
  return false;
}

bool load_script(const std::string& path, Script* s) {
  std::ifstream in(path);
  if (!in) {
    fprintf(stderr, "fake_client: cannot read %s\n", path.c_str());
    return false;
  }
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
  double now = static_cast<double>(time(nullptr));
  std::string line;
  int number = 0;
  std::vector<std::string> words;
  // Bounded by the file's length.
  while (std::getline(in, line)) {
    number++;
    if (!split_words(line, &words)) {
      fprintf(stderr, "fake_client: %s:%d: unclosed quote\n", path.c_str(), number);
      return false;
    }
    if (words.empty()) continue;
    std::string error;
    if (!parse_line(words, dir, now, s, &error)) {
      fprintf(stderr, "fake_client: %s:%d: %s\n", path.c_str(), number, error.c_str());
      return false;
    }
  }
  return true;
}

void usage() {
  fprintf(stderr,
          "usage: fake_client --script FILE [--port N] [--port-file PATH] "
          "[--lifetime SECONDS] [--requests-log PATH]\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::string script_path, port_file, log_path;
  int port = 0, lifetime = 600;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    bool has_value = i + 1 < argc;
    if (arg == "--script" && has_value) {
      script_path = argv[++i];
    } else if (arg == "--port-file" && has_value) {
      port_file = argv[++i];
    } else if (arg == "--requests-log" && has_value) {
      log_path = argv[++i];
    } else if (arg == "--port" && has_value && to_int(argv[i + 1], &port) && port >= 0 &&
               port < 65536) {
      i++;
    } else if (arg == "--lifetime" && has_value && to_int(argv[i + 1], &lifetime) &&
               lifetime > 0 && lifetime <= 3600) {
      i++;
    } else {
      usage();
      return 2;
    }
  }
  if (script_path.empty()) {
    usage();
    return 2;
  }
  Script script;
  if (!load_script(script_path, &script)) return 2;

  FILE* log = nullptr;
  if (!log_path.empty()) {
    log = fopen(log_path.c_str(), "a");
    if (!log) {
      fprintf(stderr, "fake_client: cannot open %s\n", log_path.c_str());
      return 2;
    }
  }

  signal(SIGTERM, on_signal);
  signal(SIGINT, on_signal);
  signal(SIGPIPE, SIG_IGN);

  FakeGuiRpcServer server;
  std::vector<Phase> phases = script.phases;
  server.edit([&](FakeClientModel& m) {
    m = script.model;
    if (!phases.empty()) m.set_results(phases[0].results);
  });
  for (auto& s : script.steps) server.script(s.first, s.second);

  // Runs on the server thread: logs the request and moves the result lists
  // to the phase that the get_results requests received so far select.
  int active_seen = 0, all_seen = 0;
  size_t current = 0;
  server.on_request([&](RpcKind kind, int, FakeClientModel& m) {
    if (log) {
      fprintf(log, "%s\n", rpc_kind_name(kind));
      fflush(log);
    }
    size_t wanted = 0;
    for (size_t i = 0; i < phases.size(); i++) {
      int seen = phases[i].any ? active_seen + all_seen : active_seen;
      if (seen >= phases[i].after) wanted = i;
    }
    if (wanted != current) {
      m.set_results(phases[wanted].results);
      current = wanted;
    }
    if (kind == RpcKind::get_results_active) active_seen++;
    if (kind == RpcKind::get_results_all) all_seen++;
  });

  if (!server.start(port)) return 1;
  printf("port %d\n", server.port());
  fflush(stdout);
  if (!port_file.empty()) {
    std::string temp = port_file + ".tmp";
    FILE* f = fopen(temp.c_str(), "w");
    if (!f || fprintf(f, "%d\n", server.port()) < 0 || fclose(f) != 0 ||
        rename(temp.c_str(), port_file.c_str()) != 0) {
      fprintf(stderr, "fake_client: cannot write %s\n", port_file.c_str());
      return 1;
    }
  }

  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(lifetime);
  while (!stop_requested && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  server.stop();
  if (log) fclose(log);
  return 0;
}
