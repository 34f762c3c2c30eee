// A BOINC client on the loopback interface, as far as GUI RPC goes: it listens
// on 127.0.0.1, speaks the GUI-RPC framing (a request is
// <boinc_gui_rpc_request>...</boinc_gui_rpc_request> followed by byte 3, a
// reply <boinc_gui_rpc_reply>...</boinc_gui_rpc_reply> followed by byte 3),
// knows the five requests the collector makes and answers each from a script
// of steps. A step either answers from a small model of the client (results,
// projects, host ...) written in the layout of Debian's BOINC 7.20 client, or
// misbehaves the way a real peer can: an <error> reply, a connection closed
// without an answer, a reply cut in the middle, an answer that never comes,
// or a listening socket that goes away for a while.
//
// The server runs on its own thread. It records every request it receives,
// counts connections, and stops (closing every socket) in its destructor.
// Connections stay open after a reply, as the real client keeps them, until
// the peer closes them.
#ifndef COLLECTOR_TESTS_FAKES_FAKE_GUI_RPC_SERVER_H_
#define COLLECTOR_TESTS_FAKES_FAKE_GUI_RPC_SERVER_H_

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gui_rpc_client.h"
#include "tests/fakes/fake_client_calls.h"

// The requests the collector makes; get_results is told apart by active_only.
enum class RpcKind {
  exchange_versions,
  get_cc_status,
  get_host_info,
  get_results_active,  // <active_only>1</active_only>
  get_results_all,     // <active_only>0</active_only>
  get_state,
  unknown,             // anything else: answered "<error>unrecognized op: ...</error>"
};

// "exchange_versions", "get_cc_status", "get_host_info", "get_results_active",
// "get_results_all", "get_state", "unknown".
const char* rpc_kind_name(RpcKind kind);
// The inverse of rpc_kind_name; false for an unknown name.
bool rpc_kind_from_name(const std::string& name, RpcKind* kind);

// One step of a script: what the server does with one request.
struct RpcStep {
  enum class Action {
    answer,  // reply generated from the model
    reply,   // reply with `body` as it stands
    error,   // reply "<error>" + body + "</error>"
    close,   // close the connection without answering
    cut,     // send the first `bytes` bytes of the model's framed reply
             // (never its end marker), then close
    silent,  // never answer; the connection is closed when the peer gives
             // up (RPC_CLIENT after 30 s), after 45 s, or at stop()
    refuse,  // close without answering, stop listening for `ms`, listen again
  };
  Action action = Action::answer;
  std::string body;
  size_t bytes = 0;  // cut: 0 means half of the reply
  int ms = 0;        // refuse

  static RpcStep answer() { return RpcStep(); }
  static RpcStep reply(const std::string& body);
  static RpcStep error(const std::string& message = "unrecognized op");
  static RpcStep close();
  static RpcStep cut(size_t bytes = 0);
  static RpcStep silent();
  static RpcStep refuse(int ms);
};

// What get_state lists of one project, in the client's order: the project,
// then its applications, application versions and work units (its results
// come from the model's all-results list, by project URL).
struct FakeProjectState {
  PROJECT project;
  std::vector<APP> apps;
  std::vector<APP_VERSION> app_versions;
  std::vector<WORKUNIT> workunits;
};

// The client as the replies describe it.
struct FakeClientModel {
  FakeClientModel();

  int major_version = 7;            // exchange_versions
  int minor_version = 20;
  int release = 5;
  int network_suspend_reason = 0;   // get_cc_status
  int task_suspend_reason = 0;
  HOST_INFO host_info;              // get_host_info: p_ncpus, p_vendor, p_model, coprocs
  std::vector<RESULT> active;       // get_results, active_only 1
  std::vector<RESULT> all;          // get_results, active_only 0 (and get_state)
  std::vector<FakeProjectState> projects;  // get_state

  // all = results; active = those of them with an active task, as the real
  // client lists them.
  void set_results(const std::vector<RESULT>& results);

  // Each add_* below attaches to the project added last (as in the client's
  // state file); calling one before add_project fails the current test. The
  // reference add_project returns is valid until the next add_project.
  PROJECT& add_project(const std::string& url, const std::string& name, int hostid,
                       bool non_cpu_intensive = false);
  void add_app(const std::string& name, const std::string& user_friendly_name);
  void add_app_version(const std::string& app_name, int version_num,
                       const std::string& platform, const std::string& plan_class = "");
  void add_workunit(const std::string& name, const std::string& app_name);

  // GPUs in get_host_info. Each adds one resource type (coprocs.n_rsc grows
  // by one; the processor is resource 0). The NVIDIA and AMD entries describe
  // `count` identical devices, as BOINC records them.
  void add_nvidia(const std::string& name, int count, int multi_processor_count,
                  int clock_rate);
  void add_ati(const std::string& name, int count, int target, int number_of_simd,
               int engine_clock);
  void add_coproc(const std::string& type, int count);  // any other type
};

// A finished result as the client lists it after the upload: state 5, ready
// to report, no active task (make_result and make_executing, in
// fake_client_calls.h, give the other usual shapes).
RESULT make_finished_result(const std::string& name, const std::string& wu_name,
                            const std::string& project_url, double final_cpu_time,
                            double final_elapsed_time);

// The AMD device's target as a number. BOINC keeps it in an enum whose
// named values stop at 7 while drivers report larger ones; these copy the
// bytes instead of converting, which would be undefined for such values.
int ati_target(const COPROC_ATI& ati);
void set_ati_target(COPROC_ATI& ati, int target);

// The reply bodies (what goes between <boinc_gui_rpc_reply> and its end tag)
// that the model gives for each request kind, in the real client's layout.
std::string model_reply_body(const FakeClientModel& model, RpcKind kind);

class FakeGuiRpcServer {
 public:
  struct Request {
    RpcKind kind;
    std::string text;  // between the request tags
    int connection;    // 1 for the first connection accepted, 2 ...
  };

  FakeGuiRpcServer();
  ~FakeGuiRpcServer();
  FakeGuiRpcServer(const FakeGuiRpcServer&) = delete;
  FakeGuiRpcServer& operator=(const FakeGuiRpcServer&) = delete;

  // Binds 127.0.0.1:`port` (0: any free port) and starts serving. Returns
  // false when the socket cannot be bound (the reason on stderr unless
  // `quiet`).
  bool start(int port = 0, bool quiet = false);
  // Stops serving and closes every socket; the destructor calls it.
  void stop();
  int port() const { return port_; }

  // Replaces the steps for one request kind. Each request of that kind takes
  // the next step; the last one repeats. Without a script a kind is answered
  // from the model.
  void script(RpcKind kind, std::vector<RpcStep> steps);

  // The model, under the server's lock.
  void edit(const std::function<void(FakeClientModel&)>& change);
  FakeClientModel model() const;
  // Called on the server thread, under the lock, before each request is
  // answered (unknown ones too): `count` is how many requests of that kind
  // were received before this one.
  void on_request(std::function<void(RpcKind kind, int count, FakeClientModel& model)> hook);

  // Stops listening for `ms` milliseconds (connections are refused), then
  // listens again on the same port.
  void refuse_connections(int ms);
  bool listening() const;

  std::vector<Request> requests() const;
  int count(RpcKind kind) const;
  int connections() const;

 private:
  struct Connection;

  void serve();
  int open_listener(bool quiet);
  void handle_request(Connection& conn, const std::string& text);
  RpcStep next_step(RpcKind kind, int index) const;

  mutable std::mutex mutex_;
  FakeClientModel model_;
  std::map<RpcKind, std::vector<RpcStep>> scripts_;
  std::map<RpcKind, int> counts_;
  std::vector<Request> requests_;
  std::function<void(RpcKind, int, FakeClientModel&)> hook_;
  int connections_ = 0;
  int refuse_request_ms_ = -1;  // set by refuse_connections, taken by the thread

  int port_ = 0;
  int listen_fd_ = -1;
  int wake_pipe_[2] = {-1, -1};
  std::atomic<bool> running_{false};
  std::atomic<bool> listening_{false};
  std::thread thread_;
};

#endif  // COLLECTOR_TESTS_FAKES_FAKE_GUI_RPC_SERVER_H_
