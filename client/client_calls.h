// The six exchanges with the BOINC client over GUI RPC. Each call opens its
// own TCP connection to 127.0.0.1, makes exactly one request and closes the
// connection; no password is ever sent. The real implementation uses BOINC's
// RPC_CLIENT; tests put a fake in its place.
#ifndef COLLECTOR_CLIENT_CLIENT_CALLS_H_
#define COLLECTOR_CLIENT_CLIENT_CALLS_H_

#include "gui_rpc_client.h"

// Every call returns -1 when no connection could be made, otherwise the
// request's own result (0 on success, a BOINC error code on failure).
class ClientCalls {
 public:
  virtual ~ClientCalls() = default;
  virtual int exchange_versions(VERSION_INFO& version) = 0;
  virtual int get_cc_status(CC_STATUS& status) = 0;
  virtual int get_host_info(HOST_INFO& host) = 0;
  virtual int get_results(RESULTS& results, bool active_only) = 0;
  virtual int get_state(CC_STATE& state) = 0;
};

// The real client on 127.0.0.1 and `port` (0 selects BOINC's default 31416).
class RpcClientCalls : public ClientCalls {
 public:
  explicit RpcClientCalls(int port = 31416) : port_(port) {}
  void set_port(int port) { port_ = port; }
  int exchange_versions(VERSION_INFO& version) override;
  int get_cc_status(CC_STATUS& status) override;
  int get_host_info(HOST_INFO& host) override;
  int get_results(RESULTS& results, bool active_only) override;
  int get_state(CC_STATE& state) override;

 private:
  int port_;
};

#endif  // COLLECTOR_CLIENT_CLIENT_CALLS_H_
