// The six client calls: pacing after a failed exchange, results and log texts.
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "client/paced_calls.h"
#include "tests/fakes/test_support.h"

namespace {

class PacedCallsTest : public CollectorTest {};

struct PacingCase {
  const char* what;
  int last_request_offset;  // last_request_time relative to now; 1 = "0" (no failure)
  std::vector<uint32_t> sleeps;
};

TEST_F(PacedCallsTest, SleepsOutThirtyOneSecondsAfterAFailure) {
  const int T = static_cast<int>(clock.now());
  const PacingCase cases[] = {
      {"no failure", 1, {}},
      {"failure 10 s ago", -10, {21000}},
      {"failure 30 s ago", -30, {1000}},
      {"failure 31 s ago", -31, {}},
      {"failure 100 s ago", -100, {}},
      {"clock set back 100 s", 100, {131000}},
  };
  const std::function<int(Collector&)> paced[] = {query_cc_status, query_host_info,
                                                  query_active_results, query_all_results,
                                                  query_client_state};
  for (const PacingCase& k : cases) {
    for (const auto& call : paced) {
      clock.set(T);
      clock.sleeps_ms.clear();
      log_.clear();
      c().last_request_time = k.last_request_offset == 1 ? 0 : T + k.last_request_offset;
      EXPECT_EQ(0, call(c())) << k.what;
      EXPECT_EQ(k.sleeps, clock.sleeps_ms) << k.what;
      EXPECT_EQ(k.sleeps.empty() ? ""
                                 : "P: Mise en veille (derniere requete date de moins de 30 "
                                   "secondes\n",
                log())
          << k.what;
    }
  }
  EXPECT_EQ(30, static_cast<int>(client.calls.size()));
}

TEST_F(PacedCallsTest, CallersStampFailuresSoTheNextCallWaits) {
  client.reachable = false;
  const int T = static_cast<int>(clock.now());
  EXPECT_EQ(-1, query_cc_status(c()));
  c().last_request_time = c().now();  // what every caller does after a failure
  clock.advance(10);
  EXPECT_EQ(-1, query_active_results(c()));
  c().last_request_time = c().now();
  EXPECT_EQ(T + 31, c().last_request_time);
  clock.advance(5);
  EXPECT_EQ(-1, query_all_results(c()));
  EXPECT_EQ(std::vector<uint32_t>({21000, 26000}), clock.sleeps_ms);
  EXPECT_EQ(
      "P: can't connect to localhost"
      "P: Mise en veille (derniere requete date de moins de 30 secondes\n"
      "P: can't connect to localhost"
      "P: Mise en veille (derniere requete date de moins de 30 secondes\n"
      "P: can't connect to localhost\n",
      log());
}

TEST_F(PacedCallsTest, ClientVersionIsNeverPaced) {
  c().last_request_time = static_cast<int>(clock.now()) - 1;
  client.major_version = 6;
  EXPECT_EQ(6, query_client_version(c()));
  client.major_version = 7;
  EXPECT_EQ(7, query_client_version(c()));
  EXPECT_TRUE(clock.sleeps_ms.empty());
  client.request_error = -102;  // connected, but the request failed
  EXPECT_EQ(-1, query_client_version(c()));
  EXPECT_EQ("", log());
  client.reachable = false;
  EXPECT_EQ(-1, query_client_version(c()));
  EXPECT_EQ("P: can't connect to localhost", log());
}

TEST_F(PacedCallsTest, RequestErrorsComeBackAsTheyAre) {
  client.request_error = -112;
  EXPECT_EQ(-112, query_cc_status(c()));
  EXPECT_EQ(-112, query_all_results(c()));
  EXPECT_EQ("", log());
}

TEST_F(PacedCallsTest, EachCallFillsItsOwnRecord) {
  client.network_suspend_reason = 4;
  client.active.push_back(make_executing("r1", "wu1", "http://h/p/"));
  client.all.push_back(make_result("r1", "wu1", "http://h/p/"));
  client.all.push_back(make_result("r2", "wu2", "http://h/p/"));
  client.add_project("http://h/p/", "P", 12);
  client.host_info.coprocs.n_rsc = 2;
  ASSERT_EQ(0, query_cc_status(c()));
  ASSERT_EQ(0, query_host_info(c()));
  ASSERT_EQ(0, query_active_results(c()));
  ASSERT_EQ(0, query_all_results(c()));
  ASSERT_EQ(0, query_client_state(c()));
  EXPECT_EQ(4, c().replies.cc_status.network_suspend_reason);
  EXPECT_EQ(2, c().replies.host_info.coprocs.n_rsc);
  EXPECT_EQ(1u, c().replies.active_results.results.size());
  EXPECT_EQ(2u, c().replies.all_results.results.size());
  ASSERT_EQ(1u, c().replies.client_state.projects.size());
  EXPECT_EQ("P", c().replies.client_state.projects[0]->project_name);
  EXPECT_EQ(std::vector<std::string>({"get_cc_status", "get_host_info", "get_results(active)",
                                      "get_results(all)", "get_state"}),
            client.calls);
}

}  // namespace
