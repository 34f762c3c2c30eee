#include "client/client_state.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include <pugixml.hpp>

#include "client/paced_calls.h"
#include "client/state_index.h"
#include "driver/collector.h"
#include "driver/log.h"

namespace {

const char kStateFileName[] = "/client_state.xml";

// BOINC's result state "files uploaded": the result has finished.
const int kResultFilesUploaded = 5;
const char kResultFilesUploadedText[] = "5";

// A state file whose last change (its inode change time, which every write,
// rename or touch sets to the current time) is at least this much older than
// the moment its reading starts cannot be changed afterwards without getting
// a later change time, even on file systems that keep times to the second or
// two and with the kernel's coarse clock. A younger file could be rewritten
// within the same clock tick with the same size and look unchanged: its
// document is never reused.
const int64_t kSettledNs = 3000000000;

pugi::xml_node select(Collector& c, StateLookup kind, const std::string& value,
                      const std::string& version = std::string()) {
  return c.state.index.lookup(c.state.document, kind, value, version);
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
const PROJECT* rpc_project(Collector& c, const std::string& master_url) {
  return c.state.records.project(c.replies.client_state.projects, master_url);
}

}  // namespace

bool load_client_state(Collector& c, StateFallback fallback) {
  if (c.state.state_loaded) return true;

  const std::string path = c.settings.data_directory + kStateFileName;
  platform::FileStamp stamp;
  const bool stamped = platform::file_stamp(path, &stamp) == 0;
  if (stamped && platform::same_file(stamp, c.state.parsed_from)) {
    // The file is the one parsed into the document at an earlier pass: the
    // document already holds what a new parse would give.
    c.state.state_loaded = true;
    c.state.source = StateSource::kFile;
    return true;
  }

  c.state.forget();
  const int64_t read_at = platform::wall_clock_ns();
  pugi::xml_parse_result parsed =
      c.state.document.load_file(path.c_str(), kStateParseOptions, pugi::encoding_auto);
  if (parsed) {
    platform::FileStamp after;
    if (stamped && platform::file_stamp(path, &after) == 0 && platform::same_file(stamp, after) &&
        stamp.changed_ns + kSettledNs <= read_at) {
      c.state.parsed_from = stamp;
    }
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
  if (from_file(c)) return select(c, StateLookup::kProject, master_url).child_value("project_name");
  const PROJECT* p = rpc_project(c, master_url);
  return p ? p->project_name : std::string();
}

bool lookup_non_cpu_intensive(Collector& c, const std::string& master_url) {
  if (from_file(c)) {
    // The element's presence answers; its content is not read.
    return static_cast<bool>(select(c, StateLookup::kNonCpuIntensive, master_url));
  }
  const PROJECT* p = rpc_project(c, master_url);
  return p ? p->non_cpu_intensive : false;
}

std::string lookup_project_hostid(Collector& c, const std::string& master_url) {
  if (from_file(c)) return select(c, StateLookup::kProject, master_url).child_value("hostid");
  const PROJECT* p = rpc_project(c, master_url);
  return p ? std::to_string(p->hostid) : std::string();
}

std::string lookup_workunit_app_name(Collector& c, const std::string& workunit_name) {
  if (from_file(c)) return select(c, StateLookup::kWorkunit, workunit_name).child_value("app_name");
  const WORKUNIT* w =
      c.state.records.workunit(c.replies.client_state.wus, workunit_name);
  return w ? w->app_name : std::string();
}

std::string lookup_app_user_friendly_name(Collector& c, const std::string& app_name) {
  if (from_file(c)) {
    return select(c, StateLookup::kApp, app_name).child_value("user_friendly_name");
  }
  const APP* a = c.state.records.app(c.replies.client_state.apps, app_name);
  return a ? a->user_friendly_name : std::string();
}

std::string lookup_app_version(Collector& c, const std::string& app_name, int version_num,
                               std::vector<std::string>* files) {
  if (files) files->clear();
  if (from_file(c)) {
    // The version number is compared as text, written without leading zeros.
    pugi::xml_node version =
        select(c, StateLookup::kAppVersion, app_name, std::to_string(version_num));
    if (files) collect_file_refs(version, files);
    return version.child_value("platform");
  }
  const APP_VERSION* v = c.state.records.app_version(c.replies.client_state.app_versions,
                                                             app_name, version_num);
  return v ? v->platform : std::string();
}

bool lookup_workunit_files(Collector& c, const std::string& workunit_name,
                           std::vector<std::string>* files) {
  if (files) files->clear();
  // The client's records carry no file list of a work unit.
  if (!from_file(c)) return false;
  pugi::xml_node workunit = select(c, StateLookup::kWorkunit, workunit_name);
  if (files) collect_file_refs(workunit, files);
  return true;
}

ResultCompletion lookup_result_completion(Collector& c, const std::string& result_name) {
  ResultCompletion completion;
  if (from_file(c)) {
    pugi::xml_node result = select(c, StateLookup::kResult, result_name);
    if (!result) return completion;
    if (std::string(result.child_value("state")) != kResultFilesUploadedText) return completion;
    completion.finished = true;
    completion.final_cpu_time = result.child_value("final_cpu_time");
    completion.final_elapsed_time = result.child_value("final_elapsed_time");
    completion.plan_class = result.child_value("plan_class");
    return completion;
  }
  // The first record of that name answers, finished or not.
  const RESULT* r = c.state.records.result(c.replies.all_results.results, result_name);
  if (!r) return completion;
  if (!r->ready_to_report || r->state != kResultFilesUploaded) return completion;
  completion.finished = true;
  completion.final_cpu_time = whole_seconds(r->final_cpu_time);
  completion.final_elapsed_time = whole_seconds(r->final_elapsed_time);
  completion.plan_class = r->plan_class;
  return completion;
}
