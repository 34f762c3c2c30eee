// Arrivals of results (counted per project and application at the finish of
// each work unit) and completions of the results the collector followed.
#include <string>
#include <vector>

#include "accounting/accounting.h"
#include "client/client_state.h"
#include "client/paced_calls.h"
#include "driver/collector.h"
#include "driver/log.h"

namespace {

// The project name of a master URL, from the cache or the client's state.
std::string project_name(Collector& c, const std::string& url) {
  auto cached = c.tables.Project.find(url);
  if (cached != c.tables.Project.end()) return cached->second;
  return lookup_project_name(c, url);
}

// The user-friendly name of an application, from the cache or the state.
std::string user_friendly_name(Collector& c, const std::string& app) {
  auto cached = c.tables.App.find(app);
  if (cached != c.tables.App.end()) return cached->second;
  return lookup_app_user_friendly_name(c, app);
}

}  // namespace

void detect_new_work_units(Collector& c) {
  Tables& t = c.tables;
  // The client's list of all its results can be several times the size of
  // its state file: the last cycle's document is let go before the list
  // comes, not kept beside it (the state is loaded afresh below).
  c.state.reset();
  c.state.state_loaded = false;
  bool have_results = false;
  if (query_all_results(c) != 0) {
    log_printf("%s Erreur reception result (new WU)\n", msg_prefix());
    c.last_request_time = c.now();
  } else {
    c.last_request_time = 0;
    have_results = true;
  }
  // Only four fields of each result are needed: the client's (large) result
  // records are let go before the client's state is loaded beside them.
  struct Arrival {
    std::string name, wu_name, project_url;
    double received_time;
  };
  std::vector<Arrival> arrivals;
  if (have_results) {
    for (const RESULT* r : c.replies.all_results.results) {
      arrivals.push_back({r->name, r->wu_name, r->project_url, r->received_time});
    }
    c.replies.all_results.clear();
    c.state.records.clear();
  }
  if (have_results && load_client_state(c)) {
    for (const Arrival& r : arrivals) {
      const std::string& name = r.name;
      if (!(static_cast<double>(t.Last_new_wu) < r.received_time)) continue;
      if (t.Delai.count(name) || t.New_wu_counted.count(name)) continue;
      std::string project = project_name(c, r.project_url);
      if (project.empty()) {
        log_printf("%s Erreur assignation project_name (recherche new_wu)\n", msg_prefix());
        continue;
      }
      t.Project[r.project_url] = project;
      std::string app = lookup_workunit_app_name(c, r.wu_name);
      if (app.empty()) {
        log_printf("%s Erreur assignation app_name (recherche new_wu)\n", msg_prefix());
        continue;
      }
      std::string friendly = user_friendly_name(c, app);
      if (friendly.empty()) {
        log_printf("%s Erreur assignation user_friendly_name (recherche new_wu)\n", msg_prefix());
        continue;
      }
      t.App[app] = friendly;
      t.New_wu[project + ";" + app + "|" + friendly] += 1;
      t.New_wu_counted.insert(name);
    }
  }
  t.Last_new_wu = c.now();
  for (const auto& entry : t.New_wu) {
    c.out.printf("%d;New_wu;%s;%d\n", t.Last_new_wu, entry.first.c_str(), entry.second);
  }
  t.New_wu.clear();
  t.New_wu_counted.clear();
}

int record_finished_result(Collector& c, const std::string& name, bool* finished) {
  Tables& t = c.tables;
  if (finished) *finished = false;
  if (!c.state.state_loaded) load_client_state(c, StateFallback::kAllResultsList);
  if (!c.state.state_loaded) {
    log_printf("%s Erreur wu_terminee (chargement state)\n", msg_prefix());
    return -1;
  }
  ResultCompletion completion = lookup_result_completion(c, name);
  if (!completion.finished) return 0;
  if (finished) *finished = true;
  auto result = t.Result.find(name);
  const std::string description = result == t.Result.end() ? std::string() : result->second;
  const std::string& cpu = completion.final_cpu_time;
  if (t.Duree.find(name) == t.Duree.end()) {
    t.Duree[name] = description + ";" + cpu + ";" + completion.final_elapsed_time;
  }
  auto size = t.result_output_size_table.find(name);
  if (size != t.result_output_size_table.end()) {
    t.Upload[name] = description + ";" + size->second + ";" + cpu;
    t.result_output_size_table.erase(size);
  }
  auto download = t.Download.find(name);
  if (download != t.Download.end() && download->second != "inconnu" &&
      !download->second.empty() && download->second.back() == ';') {
    download->second += completion.plan_class + ";" + cpu;
  }
  return 0;
}
