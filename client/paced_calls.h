// The six client calls as the collector makes them. Five of them are paced:
// after an exchange that failed (last_request_time set by the caller) they
// first sleep until 31 seconds have passed since that failure. Each fills its
// reply record in the collector; the callers write last_request_time after
// each exchange (now when it failed, 0 when it succeeded).
#ifndef COLLECTOR_CLIENT_PACED_CALLS_H_
#define COLLECTOR_CLIENT_PACED_CALLS_H_

struct Collector;

// Not paced. Returns the client's major version number (6, 7, ...), or -1
// when no connection could be made or the version request failed.
int query_client_version(Collector& c);

// Paced. Each returns 0 on success, -1 when no connection could be made, or
// the failed request's error code. An answer listing results that does not
// list the collector's own task (known from its init data) is incomplete and
// fails with ERR_XML_PARSE.
int query_cc_status(Collector& c);         // into replies.cc_status
int query_host_info(Collector& c);         // into replies.host_info
int query_active_results(Collector& c);    // into replies.active_results
int query_all_results(Collector& c);       // into replies.all_results
int query_client_state(Collector& c);      // into replies.client_state

#endif  // COLLECTOR_CLIENT_PACED_CALLS_H_
