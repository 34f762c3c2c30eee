#include "driver/collection_cycle.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_set>

#include "accounting/accounting.h"
#include "boinc_api.h"
#include "client/paced_calls.h"
#include "driver/collector.h"
#include "driver/log.h"
#include "driver/text.h"
#include "host/host_block.h"
#include "persistence/checkpoint.h"

namespace {

// Raises the planned cycle count so that exactly one more cycle runs.
void add_one_cycle(Collector& c) { c.settings.cycle_count = c.cycle_counter + 1; }

// The client checks made before the first cycle when no planned cycle is
// left, and after the last planned one. `check_run_table` adds the test for
// a Run table holding a single entry.
void check_client(Collector& c, bool check_run_table) {
  if (query_cc_status(c) != 0) {
    log_printf("%s Erreur reception cc_status\n", msg_prefix());
    add_one_cycle(c);
    c.last_request_time = c.now();
    return;
  }
  c.last_request_time = 0;
  if (c.replies.cc_status.network_suspend_reason != 0) {
    log_printf("%s Activite reseau suspendue\n", msg_prefix());
    add_one_cycle(c);
  } else if (check_run_table && c.tables.Run.size() == 1) {
    log_printf("%s Aucun projet actif\n", msg_prefix());
    add_one_cycle(c);
  }
}

// Sleeps until the start of the next cycle. Returns true when it slept (the
// loop head then looks again), false when the next cycle is due.
bool wait_for_cycle(Collector& c) {
  c.current_time = c.now();
  int64_t elapsed = static_cast<int64_t>(c.current_time) - c.cycle_start_time;
  if (elapsed >= c.settings.cycle_period) return false;
  int64_t left = static_cast<int64_t>(c.cycle_start_time) + c.settings.cycle_period -
                 c.current_time;
  double ms = static_cast<double>(left) * 1000.0;
  if (ms > 4294967295.0) ms = 4294967295.0;
  c.clock->sleep_ms(static_cast<uint32_t>(ms));
  return true;
}

void checkpoint_step(Collector& c) {
  c.out.flush();
  c.fraction_done = static_cast<double>(c.cycle_counter) /
                    (static_cast<double>(c.settings.cycle_count) + 1.0);
  boinc_fraction_done(c.fraction_done);
  c.current_time = c.now();
  int retval = write_checkpoint(c);
  if (retval == 0) {
    boinc_checkpoint_completed();
  } else {
    log_printf("%s checkpoint failed %s\n", msg_prefix(), strerror(retval));
  }
}

// Watches the output files of every followed result about once a second
// until one second before the next cycle is due.
void output_watch(Collector& c) {
  c.current_time = c.now();
  int64_t last_second = static_cast<int64_t>(c.settings.cycle_period) - 1;
  while (static_cast<int64_t>(c.current_time) - c.cycle_start_time < last_second) {
    for (const auto& entry : c.tables.Result) watch_one_result(c, entry.first);
    c.current_time = c.now();
    c.clock->runtime_sleep(1.0);
  }
}

// One cycle from its start to its checkpoint. Returns false when the cycle
// was cut short because the host block could not run.
bool run_cycle(Collector& c) {
  c.cycle_start_time = c.now();
  // The state is obtained again in this cycle. The document of an earlier
  // cycle stands for the state file only while the file is unchanged since
  // it was parsed and was already settled then (load_client_state), as on a
  // host whose client has not rewritten its state for a minute; any other
  // file is parsed again.
  c.state.state_loaded = false;
  c.cycle_counter += 1;
  c.out.printf("%s cycle%d\n", msg_prefix(), c.cycle_counter);
  c.out.flush();

  if (!run_host_block(c)) {
    c.cycle_start_time = c.now();
    return false;
  }
  c.out.flush();
  c.correction_factor = correction_factor(c);

  c.state.state_loaded = false;
  if (query_active_results(c) != 0) {
    log_printf("%s Erreur reception active_result\n", msg_prefix());
    c.last_request_time = c.now();
  } else {
    c.last_request_time = 0;
    c.tables.Activetask_list.clear();
    c.executing_cpu_sum = 0.0;
    sample_active_results(c);
    completion_pass(c);
  }
  checkpoint_step(c);
  return true;
}

}  // namespace

void forget_result(Collector& c, const std::string& name) {
  Tables& t = c.tables;
  t.Delai.erase(name);
  t.Dir.erase(name);
  t.Ecart_releve.erase(name);
  t.Prochain_releve.erase(name);
  auto known = t.Nb_file_result.find(name);
  erase_output_sizes(t, name, known == t.Nb_file_result.end() ? 0 : known->second);
  t.Nb_file_result.erase(name);
  t.forget_list.push_back(name);
}

void completion_pass(Collector& c) {
  Tables& t = c.tables;
  t.forget_list.clear();
  c.state.state_loaded = false;
  std::unordered_set<std::string> active;
  for (const RESULT* result : c.replies.active_results.results) active.insert(result->name);
  for (const auto& entry : t.Result) {
    const std::string& name = entry.first;
    if (active.count(name)) continue;
    if (record_finished_result(c, name) != 0) continue;
    write_completion_records(c, name);
    report_completed_task(c, name);
    forget_result(c, name);
  }
  for (const std::string& name : t.forget_list) t.Result.erase(name);
}

void finish_work_unit(Collector& c) {
  Tables& t = c.tables;
  detect_new_work_units(c);
  for (const auto& entry : t.Dl_app) {
    c.out.printf("%d;Dl_app;%s;\n", c.cycle_start_time, entry.second.c_str());
  }
  for (const auto& entry : t.Run) {
    auto resources = t.resources_table.find(entry.first);
    int count = truncate_to_int(entry.second);
    if (resources != t.resources_table.end()) {
      c.out.printf("%d;run;%s;%d;%s\n", c.cycle_start_time, entry.first.c_str(), count,
                   resources->second.c_str());
    } else {
      c.out.printf("%d;run;%s;%d\n", c.cycle_start_time, entry.first.c_str(), count);
    }
  }
  c.out.flush();
  for (const std::string& task : t.Activetask_list) c.out.printf("Activetask\t%s\n", task.c_str());
  prune_input_files(c);
  t.Run.clear();
  // The last checkpoint covers the whole finish, so that a process started
  // again afterwards writes none of it twice.
  c.out.flush();
  c.work_unit_finished = true;
  write_checkpoint(c);
  c.out.flush();
}

void run_collection(Collector& c) {
  if (c.work_unit_finished) return;
  if (c.cycle_counter >= c.settings.cycle_count) check_client(c, false);
  c.current_time = c.now();
  while (c.cycle_counter < c.settings.cycle_count) {
    if (wait_for_cycle(c)) continue;
    if (!run_cycle(c)) continue;  // cut short: no watch, no client checks
    output_watch(c);
    if (c.cycle_counter >= c.settings.cycle_count) check_client(c, true);
  }
  finish_work_unit(c);
}
