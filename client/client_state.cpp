#include "client/client_state.h"

#include "driver/collector.h"

bool load_client_state(Collector& c, StateFallback fallback) { return false; }
std::string lookup_project_name(Collector& c, const std::string& master_url) { return ""; }
bool lookup_non_cpu_intensive(Collector& c, const std::string& master_url) { return false; }
std::string lookup_project_hostid(Collector& c, const std::string& master_url) { return ""; }
std::string lookup_workunit_app_name(Collector& c, const std::string& workunit_name) { return ""; }
std::string lookup_app_user_friendly_name(Collector& c, const std::string& app_name) { return ""; }
std::string lookup_app_version(Collector& c, const std::string& app_name, int version_num,
                               std::vector<std::string>* files) { return ""; }
bool lookup_workunit_files(Collector& c, const std::string& workunit_name,
                           std::vector<std::string>* files) { return false; }
ResultCompletion lookup_result_completion(Collector& c, const std::string& result_name) { return {}; }
