#include "client/client_state.h"

#include <climits>
#include <cmath>
#include <string>
#include <vector>

#include <pugixml.hpp>

#include "client/paced_calls.h"
#include "driver/collector.h"
#include "driver/log.h"

namespace {

const char kStateFileName[] = "/client_state.xml";

// BOINC's result state "files uploaded": the result has finished.
const int kResultFilesUploaded = 5;
const char kResultFilesUploadedText[] = "5";

// The queries on the state file. Each one is defined by its literal text, in
// which the looked-up value stands between single quotes:
//
//   project      "/client_state/project[master_url='" + URL + "']"
//   non-CPU      "/client_state/project[master_url='" + URL + "']/non_cpu_intensive"
//   work unit    "/client_state/workunit[name='" + work-unit name + "']"
//   application  "/client_state/app[name='" + application name + "']"
//   version      "/client_state/app_version[app_name='" + application name +
//                "' and version_num='" + version number in decimal + "']"
//   result       "/client_state/result[name='" + result name + "']"
//
// The values come from the client and may hold any character, quotes
// included, so no query text is ever built from them (a quote would end the
// literal early and pugixml throws on the malformed text). Instead each query
// is compiled once with an XPath string variable in place of the quoted
// literal: comparing a node set with a string variable is the same string
// comparison as comparing it with the literal, for every value, and it also
// matches values that hold quotes. The texts below are constants that compile
// and evaluate to node sets, so neither compiling nor evaluating them throws.
const char kValueVariable[] = "value";
const char kVersionVariable[] = "version";
const char kProjectQuery[] = "/client_state/project[master_url=$value]";
const char kNonCpuIntensiveQuery[] =
    "/client_state/project[master_url=$value]/non_cpu_intensive";
const char kWorkunitQuery[] = "/client_state/workunit[name=$value]";
const char kAppQuery[] = "/client_state/app[name=$value]";
const char kAppVersionQuery[] =
    "/client_state/app_version[app_name=$value and version_num=$version]";
const char kResultQuery[] = "/client_state/result[name=$value]";

class StateQueries {
 public:
  StateQueries() {
    value_ = variables_.add(kValueVariable, pugi::xpath_type_string);
    version_ = variables_.add(kVersionVariable, pugi::xpath_type_string);
    project = pugi::xpath_query(kProjectQuery, &variables_);
    non_cpu_intensive = pugi::xpath_query(kNonCpuIntensiveQuery, &variables_);
    workunit = pugi::xpath_query(kWorkunitQuery, &variables_);
    app = pugi::xpath_query(kAppQuery, &variables_);
    app_version = pugi::xpath_query(kAppVersionQuery, &variables_);
    result = pugi::xpath_query(kResultQuery, &variables_);
  }
  StateQueries(const StateQueries&) = delete;
  StateQueries& operator=(const StateQueries&) = delete;

  // The first element in document order that `query` selects with $value
  // (and $version) set as given; an empty node when none.
  pugi::xml_node first(const pugi::xml_document& document, const pugi::xpath_query& query,
                       const std::string& value, const std::string& version = std::string()) {
    value_->set(value.c_str());
    version_->set(version.c_str());
    return document.select_node(query).node();
  }

  pugi::xpath_query project;
  pugi::xpath_query non_cpu_intensive;
  pugi::xpath_query workunit;
  pugi::xpath_query app;
  pugi::xpath_query app_version;
  pugi::xpath_query result;

 private:
  pugi::xpath_variable_set variables_;
  pugi::xpath_variable* value_ = nullptr;
  pugi::xpath_variable* version_ = nullptr;
};

StateQueries& queries() {
  static StateQueries instance;
  return instance;
}

bool from_file(const Collector& c) { return c.state.source == StateSource::kFile; }

// The file names of the direct file_ref children of `node`, in document order.
void collect_file_refs(pugi::xml_node node, std::vector<std::string>* files) {
  for (pugi::xml_node ref = node.child("file_ref"); ref; ref = ref.next_sibling("file_ref")) {
    files->push_back(ref.child_value("file_name"));
  }
}

// A client time in whole seconds, truncated toward zero, in decimal.
std::string whole_seconds(double seconds) {
  if (std::isnan(seconds)) return "0";
  if (seconds >= static_cast<double>(INT_MAX)) return std::to_string(INT_MAX);
  if (seconds <= static_cast<double>(INT_MIN)) return std::to_string(INT_MIN);
  return std::to_string(static_cast<int>(seconds));
}

// The first record of the client state record's projects with this URL.
const PROJECT* rpc_project(const Collector& c, const std::string& master_url) {
  for (const PROJECT* p : c.replies.client_state.projects) {
    if (p && master_url == p->master_url) return p;
  }
  return nullptr;
}

}  // namespace

bool load_client_state(Collector& c, StateFallback fallback) {
  if (c.state.state_loaded) return true;

  std::string path = c.settings.data_directory + kStateFileName;
  pugi::xml_parse_result parsed =
      c.state.document.load_file(path.c_str(), pugi::parse_default, pugi::encoding_auto);
  if (parsed) {
    c.state.state_loaded = true;
    c.state.source = StateSource::kFile;
    return true;
  }

  if (fallback == StateFallback::kClientStateRecord) {
    if (query_client_state(c) != 0) {
      log_printf("Erreur reception state (%s)\n", msg_prefix());
      c.last_request_time = c.now();
      return false;
    }
  } else {
    if (query_all_results(c) != 0) {
      log_printf("%s Erreur reception state\n", msg_prefix());
      c.last_request_time = c.now();
      return false;
    }
  }
  c.state.state_loaded = true;
  c.state.source = StateSource::kRpc;
  c.last_request_time = 0;
  return true;
}

std::string lookup_project_name(Collector& c, const std::string& master_url) {
  if (from_file(c)) {
    StateQueries& q = queries();
    return q.first(c.state.document, q.project, master_url).child_value("project_name");
  }
  const PROJECT* p = rpc_project(c, master_url);
  return p ? p->project_name : std::string();
}

bool lookup_non_cpu_intensive(Collector& c, const std::string& master_url) {
  if (from_file(c)) {
    // The element's presence answers; its content is not read.
    StateQueries& q = queries();
    return static_cast<bool>(q.first(c.state.document, q.non_cpu_intensive, master_url));
  }
  const PROJECT* p = rpc_project(c, master_url);
  return p ? p->non_cpu_intensive : false;
}

std::string lookup_project_hostid(Collector& c, const std::string& master_url) {
  if (from_file(c)) {
    StateQueries& q = queries();
    return q.first(c.state.document, q.project, master_url).child_value("hostid");
  }
  const PROJECT* p = rpc_project(c, master_url);
  return p ? std::to_string(p->hostid) : std::string();
}

std::string lookup_workunit_app_name(Collector& c, const std::string& workunit_name) {
  if (from_file(c)) {
    StateQueries& q = queries();
    return q.first(c.state.document, q.workunit, workunit_name).child_value("app_name");
  }
  for (const WORKUNIT* w : c.replies.client_state.wus) {
    if (w && workunit_name == w->name) return w->app_name;
  }
  return std::string();
}

std::string lookup_app_user_friendly_name(Collector& c, const std::string& app_name) {
  if (from_file(c)) {
    StateQueries& q = queries();
    return q.first(c.state.document, q.app, app_name).child_value("user_friendly_name");
  }
  for (const APP* a : c.replies.client_state.apps) {
    if (a && app_name == a->name) return a->user_friendly_name;
  }
  return std::string();
}

std::string lookup_app_version(Collector& c, const std::string& app_name, int version_num,
                               std::vector<std::string>* files) {
  if (files) files->clear();
  if (from_file(c)) {
    // The version number is compared as text, written without leading zeros.
    StateQueries& q = queries();
    pugi::xml_node version =
        q.first(c.state.document, q.app_version, app_name, std::to_string(version_num));
    if (files) collect_file_refs(version, files);
    return version.child_value("platform");
  }
  for (const APP_VERSION* v : c.replies.client_state.app_versions) {
    if (v && app_name == v->app_name && v->version_num == version_num) return v->platform;
  }
  return std::string();
}

bool lookup_workunit_files(Collector& c, const std::string& workunit_name,
                           std::vector<std::string>* files) {
  if (files) files->clear();
  // The client's records carry no file list of a work unit.
  if (!from_file(c)) return false;
  StateQueries& q = queries();
  pugi::xml_node workunit = q.first(c.state.document, q.workunit, workunit_name);
  if (files) collect_file_refs(workunit, files);
  return true;
}

ResultCompletion lookup_result_completion(Collector& c, const std::string& result_name) {
  ResultCompletion completion;
  if (from_file(c)) {
    StateQueries& q = queries();
    pugi::xml_node result = q.first(c.state.document, q.result, result_name);
    if (!result) return completion;
    if (std::string(result.child_value("state")) != kResultFilesUploadedText) return completion;
    completion.finished = true;
    completion.final_cpu_time = result.child_value("final_cpu_time");
    completion.final_elapsed_time = result.child_value("final_elapsed_time");
    completion.plan_class = result.child_value("plan_class");
    return completion;
  }
  for (const RESULT* r : c.replies.all_results.results) {
    if (!r || result_name != r->name) continue;
    if (!r->ready_to_report || r->state != kResultFilesUploaded) return completion;
    completion.finished = true;
    completion.final_cpu_time = whole_seconds(r->final_cpu_time);
    completion.final_elapsed_time = whole_seconds(r->final_elapsed_time);
    completion.plan_class = r->plan_class;
    return completion;
  }
  return completion;
}
