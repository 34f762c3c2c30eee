// Lookups in the client's own state: first its state file "client_state.xml"
// in the data directory (parsed with pugixml and queried with XPath), and,
// when that file cannot be loaded, the records the client sends over GUI RPC.
// A pass (one step of the cycle) obtains the state once, at its first lookup:
// callers clear c.state.state_loaded before the pass.
#ifndef COLLECTOR_CLIENT_CLIENT_STATE_H_
#define COLLECTOR_CLIENT_CLIENT_STATE_H_

#include <string>
#include <vector>

struct Collector;

// Which GUI-RPC record stands in for the file when it cannot be loaded.
enum class StateFallback {
  kClientStateRecord,  // get_state (the default)
  kAllResultsList,     // get_results with active_only false
};

// Obtains the client's state for the current pass, unless already obtained.
// Returns true when the state is available, false when neither the file nor
// the fallback could be had (the failed exchange is logged and
// last_request_time set).
//
// The file is parsed into c.state.document, except when the document still
// holds the file as an earlier pass parsed it and the file has not changed
// since (same device, inode, size, modification and change times, and its
// last change was already a while old when it was read): the document then
// stands as it is, since parsing the same bytes again would give the same
// document. StateDocument::reset (each cycle) and forget drop that.
bool load_client_state(Collector& c, StateFallback fallback = StateFallback::kClientStateRecord);

// Each lookup reads the copy that c.state.source names, and assumes that
// load_client_state returned true in the same pass. Text results are empty
// when nothing matches. They are answered from indexes built once per copy
// of the state (client/state_index.h), exactly as the queries on the file and
// the scans of the client's records define them.
std::string lookup_project_name(Collector& c, const std::string& master_url);
bool lookup_non_cpu_intensive(Collector& c, const std::string& master_url);
std::string lookup_project_hostid(Collector& c, const std::string& master_url);
std::string lookup_workunit_app_name(Collector& c, const std::string& workunit_name);
std::string lookup_app_user_friendly_name(Collector& c, const std::string& app_name);

// The platform of an application version; with the file as source, also the
// file names of its file references in document order into *files (cleared
// first; left empty with the GUI-RPC source).
std::string lookup_app_version(Collector& c, const std::string& app_name, int version_num,
                               std::vector<std::string>* files);

// The file names of a work unit's file references in document order. Returns
// false when there is no list at all (GUI-RPC source); true otherwise, with
// an empty list when the work unit is unknown or has no file reference.
bool lookup_workunit_files(Collector& c, const std::string& workunit_name,
                           std::vector<std::string>* files);

// Whether a result has finished (state 5; with the GUI-RPC source also ready
// to report), with its final CPU time, final elapsed time and plan class as
// texts: as written in the file, or whole seconds from the client's list.
struct ResultCompletion {
  bool finished = false;
  std::string final_cpu_time;
  std::string final_elapsed_time;
  std::string plan_class;
};
ResultCompletion lookup_result_completion(Collector& c, const std::string& result_name);

#endif  // COLLECTOR_CLIENT_CLIENT_STATE_H_
