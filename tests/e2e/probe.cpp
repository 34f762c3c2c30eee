// e2e_probe: asks a BOINC client on 127.0.0.1 over GUI RPC what the
// end-to-end harness needs to follow a run, one connection per call.
//
//   e2e_probe PORT ping      exit 0 when the client answers exchange_versions
//   e2e_probe PORT results   one line per result the client knows:
//                            name state ready_to_report active_task
//                            active_task_state pid slot
//   e2e_probe PORT status    the client status, one line:
//                            network_suspend_reason network_mode
//                            network_mode_perm task_suspend_reason
//
// Exit status 1 when the client cannot be reached, 64 for bad arguments.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "gui_rpc_client.h"

namespace {

int ping(int port) {
  RPC_CLIENT rpc;
  if (rpc.init("127.0.0.1", port) != 0) return 1;
  VERSION_INFO version;
  int retval = rpc.exchange_versions(std::string("e2e_probe"), version);
  rpc.close();
  return retval == 0 && version.major > 0 ? 0 : 1;
}

int list_results(int port) {
  RPC_CLIENT rpc;
  if (rpc.init("127.0.0.1", port) != 0) return 1;
  RESULTS results;
  int retval = rpc.get_results(results, false);
  rpc.close();
  if (retval != 0) return 1;
  for (const RESULT* r : results.results) {
    printf("%s %d %d %d %d %d %d\n", r->name, r->state, r->ready_to_report ? 1 : 0,
           r->active_task ? 1 : 0, r->active_task_state, r->pid, r->slot);
  }
  return 0;
}

int status(int port) {
  RPC_CLIENT rpc;
  if (rpc.init("127.0.0.1", port) != 0) return 1;
  CC_STATUS cc;
  int retval = rpc.get_cc_status(cc);
  rpc.close();
  if (retval != 0) return 1;
  printf("%d %d %d %d\n", cc.network_suspend_reason, cc.network_mode, cc.network_mode_perm,
         cc.task_suspend_reason);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: e2e_probe PORT ping|results|status\n");
    return 64;
  }
  int port = atoi(argv[1]);
  if (!strcmp(argv[2], "ping")) return ping(port);
  if (!strcmp(argv[2], "results")) return list_results(port);
  if (!strcmp(argv[2], "status")) return status(port);
  fprintf(stderr, "e2e_probe: unknown request %s\n", argv[2]);
  return 64;
}
