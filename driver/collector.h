// The collector's one process-wide object: run settings, paths, counters, the
// host block, the client's reply records, the state tables, the output file,
// and the three seams through which it reaches the world (platform, clock and
// client calls). main() owns the instance; every operation takes it.
#ifndef COLLECTOR_DRIVER_COLLECTOR_H_
#define COLLECTOR_DRIVER_COLLECTOR_H_

#include <string>

#include "boinc_api.h"
#include "client/client_calls.h"
#include "client/state_document.h"
#include "driver/clock.h"
#include "gui_rpc_client.h"
#include "persistence/output_file.h"
#include "persistence/tables.h"
#include "platform/platform.h"

// Fixed for the life of the process (command line).
struct Settings {
  int gui_rpc_port = 31416;
  int cycle_period = 60;
  int cycle_count = 180;
  double cycle_credit = 7.0;
  bool test_mode = false;
  std::string data_directory;
};

// Built once at start-up.
struct Paths {
  std::string output;      // "out" resolved
  std::string counters;    // "checkpoint" resolved
  std::string state_file;  // project directory + "/cache", or "cache"
  std::string coproc;      // the slot's coproc.txt
};

// Filled by the host block, once per process.
struct HostBlock {
  int host_id = 0;
  std::string processor_model;
  int client_processor_count = 0;
  int logical_processor_count = 0;
};

// The records the six client calls fill; each call overwrites its own.
struct Replies {
  Replies() = default;
  Replies(const Replies&) = delete;
  Replies& operator=(const Replies&) = delete;
  // BOINC's record types own what their lists point to but do not free it.
  ~Replies() {
    active_results.clear();
    all_results.clear();
    client_state.clear();
  }
  CC_STATUS cc_status;
  HOST_INFO host_info;
  RESULTS active_results;
  RESULTS all_results;    // the all-results list
  CC_STATE client_state;  // the client state record
};

struct Collector {
  Collector();
  Collector(const Collector&) = delete;
  Collector& operator=(const Collector&) = delete;

  Settings settings;
  Paths paths;
  APP_INIT_DATA init_data;  // all zero in test mode

  // Counters. All times are Unix seconds held as 32-bit ints.
  int cycle_counter = 0;
  int cycle_start_time = 0;
  int process_start_time = 0;
  int current_time = 0;
  int last_request_time = 0;  // last failed exchange with the client, or 0

  // The checkpoint the counters file describes (read at start-up), and
  // whether this work unit's finish has been written.
  CheckpointMark counters_mark;
  bool work_unit_finished = false;

  HostBlock host;
  double executing_cpu_sum = 0.0;
  double correction_factor = 1.0;
  double fraction_done = 0.0;  // last value handed to the runtime

  Replies replies;
  StateDocument state;
  Tables tables;
  OutputFile out;

  // Seams, real by default.
  Platform* platform;
  Clock* clock;
  ClientCalls* client;
  RpcClientCalls rpc_client;  // the real client calls; start-up sets its port

  // The current time from the clock, as the collector's 32-bit int.
  int now() { return static_cast<int>(clock->now()); }

 private:
  Platform real_platform_;
  Clock real_clock_;
};

#endif  // COLLECTOR_DRIVER_COLLECTOR_H_
