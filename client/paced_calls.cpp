#include "client/paced_calls.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "driver/collector.h"
#include "driver/log.h"
#include "error_numbers.h"

namespace {

// Minimum spacing, in seconds, between a failed exchange and the next call.
const int kRequestSpacing = 31;

void pace(Collector& c) {
  if (c.last_request_time <= 0) return;
  // The end of the spacing is a 32-bit sum, as the counters are 32-bit.
  int32_t due = static_cast<int32_t>(static_cast<uint32_t>(c.last_request_time) + kRequestSpacing);
  if (c.clock->now() >= static_cast<int64_t>(due)) return;
  int64_t now = c.clock->now();
  double wait_ms = static_cast<double>(static_cast<int64_t>(due) - now) * 1000.0;
  // The time may have moved on between the two readings: never sleep a
  // negative (that is, huge unsigned) count.
  if (wait_ms > 0) c.clock->sleep_ms(static_cast<uint32_t>(wait_ms));
  log_printf("%s Mise en veille (derniere requete date de moins de 30 secondes\n", msg_prefix());
}

void log_no_connection(bool line_end) {
  if (line_end) {
    log_printf("%s can't connect to localhost\n", msg_prefix());
  } else {
    log_printf("%s can't connect to localhost", msg_prefix());
  }
}

template <typename Request>
int paced_call(Collector& c, bool line_end, Request request) {
  pace(c);
  int result = request();
  if (result == -1) log_no_connection(line_end);
  return result;
}

// The client lists the collector's own task among its results for as long as
// it runs. An answer without it (an error reply, or XML cut short inside a
// complete frame, which the library accepts) is incomplete: taken as it is,
// it would make every followed task look finished.
int check_lists_own_task(const Collector& c, int result, const std::vector<RESULT*>& results) {
  if (result != 0) return result;
  const char* own = c.init_data.result_name;
  if (own[0] == '\0') return 0;  // test mode: the task is not the client's
  for (const RESULT* r : results) {
    if (r && strcmp(r->name, own) == 0) return 0;
  }
  return ERR_XML_PARSE;
}

}  // namespace

int query_client_version(Collector& c) {
  VERSION_INFO version;
  int result = c.client->exchange_versions(version);
  if (result == -1) log_no_connection(false);
  if (result != 0) return -1;
  return version.major;
}

int query_cc_status(Collector& c) {
  return paced_call(c, false, [&] { return c.client->get_cc_status(c.replies.cc_status); });
}

int query_host_info(Collector& c) {
  return paced_call(c, false, [&] { return c.client->get_host_info(c.replies.host_info); });
}

int query_active_results(Collector& c) {
  int result = paced_call(
      c, false, [&] { return c.client->get_results(c.replies.active_results, true); });
  return check_lists_own_task(c, result, c.replies.active_results.results);
}

int query_all_results(Collector& c) {
  c.state.records.clear();  // the list is fetched again
  int result =
      paced_call(c, true, [&] { return c.client->get_results(c.replies.all_results, false); });
  return check_lists_own_task(c, result, c.replies.all_results.results);
}

int query_client_state(Collector& c) {
  c.state.records.clear();  // the lists are fetched again
  int result = paced_call(c, false, [&] { return c.client->get_state(c.replies.client_state); });
  return check_lists_own_task(c, result, c.replies.client_state.results);
}
