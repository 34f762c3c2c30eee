// The per-result pass over the client's active results: first sightings
// (names, sizes, arrival and deadline, the result description), the resources
// text of every result, and the executing tasks (CPU share, project
// announcement, run-time count and readings).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "accounting/accounting.h"
#include "client/client_state.h"
#include "driver/collector.h"
#include "driver/log.h"
#include "driver/text.h"
#include "host/cpu_clock.h"

namespace {

// The resources text of a result: the client's own when it gives one,
// otherwise a share of one CPU or of a hundredth of one for
// non-CPU-intensive work.
std::string resources_text(Collector& c, const RESULT& r) {
  if (r.resources[0] != '\0') return r.resources;
  bool nci = lookup_non_cpu_intensive(c, r.project_url);
  if (std::string(r.plan_class) == "nci" || nci) return "0.01 CPUs";
  return "1 CPUs";
}

// The processors a resources text claims: its leading run of digits and
// points, read as a number ("0.5 CPUs + 1 NVIDIA GPU" claims 0.5).
double cpu_share(const std::string& resources) {
  size_t n = resources.find_first_not_of("0123456789.");
  std::string number = resources.substr(0, n);
  if (number.empty()) return 0.0;
  return atof(number.c_str());
}

// The project name of a master URL, from the cache or the client's state.
std::string project_name(Collector& c, const std::string& url) {
  auto cached = c.tables.Project.find(url);
  if (cached != c.tables.Project.end()) return cached->second;
  return lookup_project_name(c, url);
}

// Sizes the work unit's input files that no earlier work unit brought, and
// records its download summary. Only with the client's state file.
void size_input_files(Collector& c, const RESULT& r, const std::string& name,
                      const std::string& app_key) {
  Tables& t = c.tables;
  std::vector<std::string> files;
  lookup_workunit_files(c, r.wu_name, &files);
  const std::string& dir = t.Dir[name];
  double sum = 0.0;
  for (const std::string& file : files) {
    std::string path = dir + "/" + file;
    if (t.File.count(path)) continue;  // counted with the work unit that brought it
    int64_t size = 0;
    if (!plain_file_name(file) || c.platform->file_size(path, &size) != 0) {
      log_printf("Erreur assignation taille wu\n");
      return;
    }
    sum += static_cast<double>(size);
    t.File[path] = static_cast<double>(size);
  }
  t.Download[name] = app_key + ";" + format_real(sum) + ";";
}

// Sizes the files of an application version, once per application and task
// of the collector. Only with the client's state file.
void size_application(Collector& c, const std::string& name, const std::string& app,
                      const std::string& app_key, const std::vector<std::string>& files) {
  Tables& t = c.tables;
  double sum = 0.0;
  const std::string& dir = t.Dir[name];
  for (const std::string& file : files) {
    int64_t size = 0;
    if (!plain_file_name(file)) continue;
    if (c.platform->file_size(dir + "/" + file, &size) == 0) sum += static_cast<double>(size);
  }
  if (sum == 0.0) {
    log_printf("Erreur assignation taille application\n");
    return;
  }
  t.Dl_app[app] = app_key + ";" + format_real(sum);
}

// A result seen for the first time. Returns false when it cannot be taken up
// in this cycle (it is tried again in the next one); otherwise sets *project
// and *description.
bool first_sighting(Collector& c, const RESULT& r, std::string* project,
                    std::string* description) {
  Tables& t = c.tables;
  const std::string name = r.name;
  const std::string url = r.project_url;

  *project = project_name(c, url);
  if (project->empty()) {
    log_printf("%s Erreur assignation project_name (node result) - project_url: %s\n",
               msg_prefix(), url.c_str());
    return false;
  }
  t.Project[url] = *project;

  const std::string app = lookup_workunit_app_name(c, r.wu_name);
  auto cached = t.App.find(app);
  const std::string friendly =
      cached != t.App.end() ? cached->second : lookup_app_user_friendly_name(c, app);
  if (friendly.empty()) {
    log_printf("%s Erreur assignation user_friendly_name (node app) - app_name: %s\n",
               msg_prefix(), app.c_str());
    return false;
  }
  t.App[app] = friendly;
  const std::string app_key = *project + ";" + app + "|" + friendly;

  t.Dir[name] = project_directory(c, url);
  t.Nb_file_result[name] = 0;
  const bool from_file = c.state.source == StateSource::kFile;
  if (from_file) size_input_files(c, r, name, app_key);

  const std::string version = format_int(r.version_num);
  const std::string platform_key = app + "_" + version;
  auto known_platform = t.Platform.find(platform_key);
  if (known_platform == t.Platform.end()) {
    std::vector<std::string> files;
    std::string platform = lookup_app_version(c, app, r.version_num, &files);
    if (from_file && !t.Dl_app.count(app)) size_application(c, name, app, app_key, files);
    if (platform.empty()) {
      log_printf("%s Erreur assignation platform (node app_version) - app_name: %s - "
                 "version_num: %s\n",
                 msg_prefix(), app.c_str(), version.c_str());
      return false;
    }
    t.Platform[platform_key] = platform;
  }
  const std::string plan_class = r.plan_class;

  if (!t.Delai.count(name)) {
    const std::string received = format_int(truncate_to_int(r.received_time));
    const std::string deadline = format_int(truncate_to_int(r.report_deadline));
    if (static_cast<double>(t.Last_new_wu) < r.received_time && !t.New_wu_counted.count(name)) {
      t.New_wu[app_key] += 1;
      t.New_wu_counted.insert(name);
    }
    t.Delai[name] = received + ";" + deadline;
    c.out.printf("%d;delai;%s;%s|%s;;%s;%s\n", c.cycle_start_time, project->c_str(),
                 app.c_str(), friendly.c_str(), received.c_str(), deadline.c_str());
  }

  *description = c.host.processor_model + ";" + *project + ";" + app + "|" + friendly + ";" +
                 t.Platform[platform_key] + ";" + plan_class;
  t.Result[name] = *description;

  const std::string resources = resources_text(c, r);
  const std::string run_key = name + ";" + *description;
  if (!t.resources_table.count(run_key)) t.resources_table[run_key] = resources;
  c.out.printf("%d;resources;%s;%s;%s\n", c.cycle_start_time, name.c_str(),
               description->c_str(), resources.c_str());
  t.Run[run_key] = 0.0;
  return true;
}

// A result already followed, whose description is `known`: keeps its
// resources text current. Returns false when its project name cannot be had
// in this cycle.
bool known_result(Collector& c, const RESULT& r, const std::string& known, std::string* project,
                  std::string* description) {
  Tables& t = c.tables;
  const std::string name = r.name;
  const std::string url = r.project_url;
  auto cached = t.Project.find(url);
  *project = cached != t.Project.end() ? cached->second : lookup_project_name(c, url);
  if (project->empty()) {
    log_printf("%s Erreur assignation project_name (node result)\n", msg_prefix());
    return false;
  }
  if (cached == t.Project.end()) t.Project[url] = *project;
  *description = known;
  const std::string resources = resources_text(c, r);
  const std::string run_key = name + ";" + *description;
  auto entry = t.resources_table.find(run_key);
  if (entry != t.resources_table.end() && entry->second == resources) return true;
  t.resources_table[run_key] = resources;
  c.out.printf("%d;resources;%s;%s;%s\n", c.cycle_start_time, name.c_str(),
               description->c_str(), resources.c_str());
  return true;
}

// An executing task: its CPU share, its project's announcement, its run-time
// count and its reading.
void executing_task(Collector& c, const RESULT& r, const std::string& project,
                    const std::string& description) {
  Tables& t = c.tables;
  const std::string name = r.name;
  const std::string run_key = name + ";" + description;
  auto resources = t.resources_table.find(run_key);
  if (resources != t.resources_table.end()) {
    c.executing_cpu_sum += cpu_share(resources->second);
    t.Activetask_list.push_back(description + ";" + resources->second);
  } else {
    t.Activetask_list.push_back(description);
  }
  bool announced = false;
  for (const std::string& p : t.Active_project) {
    if (p == project) {
      announced = true;
      break;
    }
  }
  if (!announced) {
    const std::string hostid = lookup_project_hostid(c, r.project_url);
    c.out.printf("%d;active_project;%s;%s;%d;%d;%s\n", c.cycle_start_time, project.c_str(),
                 c.host.processor_model.c_str(), c.host.client_processor_count,
                 measure_cpu_mhz(c), hostid.c_str());
    c.out.printf("projet;%s;%s\n", r.project_url, project.c_str());
    t.Active_project.push_back(project);
  }
  count_executing_task(c, name, description);
  take_reading(c, r, name, description);
}

}  // namespace

void sample_active_results(Collector& c) {
  for (const RESULT* result : c.replies.active_results.results) {
    const RESULT& r = *result;
    auto known = c.tables.Result.find(r.name);
    const bool first = known == c.tables.Result.end();
    if (!load_client_state(c)) return;
    std::string project, description;
    bool taken = first ? first_sighting(c, r, &project, &description)
                       : known_result(c, r, known->second, &project, &description);
    if (!taken) continue;
    // Only a task that is executing goes on: files downloaded, not suspended
    // by the user, with an active task in the executing state.
    if (r.state != 2 || r.suspended_via_gui || r.project_suspended_via_gui || !r.active_task) {
      continue;
    }
    if (r.active_task_state != 1) continue;
    executing_task(c, r, project, description);
  }
}
