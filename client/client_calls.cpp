#include "client/client_calls.h"

#include <string>

#include "platform/platform.h"

namespace {

// One exchange: connect, run `request` on the connection, close. Returns -1
// when the connection fails, otherwise the request's result.
template <typename Request>
int exchange(int port, Request request) {
  // The runtime's timer signal would interrupt the wait for the reply, which
  // the library then reports as a failed read.
  platform::TimerSignalBlock quiet;
  RPC_CLIENT rpc;
  if (rpc.init("127.0.0.1", port) != 0) {
    rpc.close();
    return -1;
  }
  int result = request(rpc);
  rpc.close();
  return result;
}

}  // namespace

int RpcClientCalls::exchange_versions(VERSION_INFO& version) {
  return exchange(port_, [&](RPC_CLIENT& rpc) {
    return rpc.exchange_versions(std::string("collector"), version);
  });
}

int RpcClientCalls::get_cc_status(CC_STATUS& status) {
  return exchange(port_, [&](RPC_CLIENT& rpc) { return rpc.get_cc_status(status); });
}

int RpcClientCalls::get_host_info(HOST_INFO& host) {
  return exchange(port_, [&](RPC_CLIENT& rpc) { return rpc.get_host_info(host); });
}

int RpcClientCalls::get_results(RESULTS& results, bool active_only) {
  return exchange(port_, [&](RPC_CLIENT& rpc) { return rpc.get_results(results, active_only); });
}

int RpcClientCalls::get_state(CC_STATE& state) {
  return exchange(port_, [&](RPC_CLIENT& rpc) { return rpc.get_state(state); });
}
