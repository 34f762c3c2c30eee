// An in-process BOINC client for tests: answers the six client calls from a
// small model (its results, projects, applications ...) that the test edits,
// records every call, and fails the test on a call it was told not to expect.
#ifndef COLLECTOR_TESTS_FAKES_FAKE_CLIENT_CALLS_H_
#define COLLECTOR_TESTS_FAKES_FAKE_CLIENT_CALLS_H_

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "client/client_calls.h"

// A result as the client lists it. Strings longer than BOINC's fields are cut.
RESULT make_result(const std::string& name, const std::string& wu_name,
                   const std::string& project_url);
// The same result executing in `slot` (state 2, active task state 1).
RESULT make_executing(const std::string& name, const std::string& wu_name,
                      const std::string& project_url, int slot = 1);

class FakeClientCalls : public ClientCalls {
 public:
  FakeClientCalls();

  // --- The model ---------------------------------------------------------
  bool reachable = true;          // false: every call fails to connect (-1)
  int request_error = 0;          // nonzero: connected, but requests return it
  int major_version = 7;
  int network_suspend_reason = 0;
  HOST_INFO host_info;            // coprocs.n_rsc is 1 (the processor) by default
  std::vector<RESULT> active;     // get_results(active_only = true)
  std::vector<RESULT> all;        // get_results(active_only = false)
  // get_state: owned copies are handed over at each call.
  std::vector<PROJECT> projects;
  std::vector<APP> apps;
  std::vector<APP_VERSION> app_versions;
  std::vector<WORKUNIT> workunits;

  void add_project(const std::string& url, const std::string& name, int hostid,
                   bool non_cpu_intensive = false);
  void add_app(const std::string& name, const std::string& user_friendly_name);
  void add_app_version(const std::string& app_name, int version_num,
                       const std::string& platform);
  void add_workunit(const std::string& name, const std::string& app_name);

  // Called before every call with its name ("exchange_versions",
  // "get_cc_status", "get_host_info", "get_results(active)",
  // "get_results(all)", "get_state"); a test changes the model here as time
  // goes on.
  std::function<void(const std::string& call)> before_call;

  // Calls that must not happen: any of them fails the test.
  std::set<std::string> unexpected;

  // Every call made, by name, in order.
  std::vector<std::string> calls;
  int count(const std::string& call) const;

  // --- ClientCalls --------------------------------------------------------
  int exchange_versions(VERSION_INFO& version) override;
  int get_cc_status(CC_STATUS& status) override;
  int get_host_info(HOST_INFO& host) override;
  int get_results(RESULTS& results, bool active_only) override;
  int get_state(CC_STATE& state) override;

 private:
  // Records the call; returns -1 (no connection), the request error, or 0.
  int begin(const std::string& call);
};

#endif  // COLLECTOR_TESTS_FAKES_FAKE_CLIENT_CALLS_H_
