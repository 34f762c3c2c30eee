#include "bench/bench_data.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "accounting/accounting.h"
#include "driver/collector.h"
#include "driver/text.h"

namespace {

const char kPlatformName[] = "x86_64-pc-linux-gnu";
const double kFirstReceived = 1699000000.0;  // the fake clock starts at 1700000000
const double kDeadlineAfter = 14 * 86400.0;
const char kMultiThreadResources[] = "4 CPUs";

void copy_text(char* field, size_t size, const std::string& text) {
  size_t n = text.size() < size - 1 ? text.size() : size - 1;
  memcpy(field, text.data(), n);
  field[n] = '\0';
}

// 32 hex digits that vary with `seed`, for checksums and ids.
std::string hex32(unsigned long long seed) {
  char buffer[40];
  unsigned long long a = seed * 0x9E3779B97F4A7C15ULL + 0x632BE59BD9B4E019ULL;
  unsigned long long b = (a ^ (a >> 29)) * 0xBF58476D1CE4E5B9ULL;
  snprintf(buffer, sizeof(buffer), "%016llx%016llx", a, b);
  return buffer;
}

std::string version_text(int version_num) {
  char buffer[32];
  snprintf(buffer, sizeof(buffer), "%d.%02d", version_num / 100, version_num % 100);
  return buffer;
}

long long app_file_size(const BenchVersion& v, int index) {
  return index == 0 ? 5000000LL + v.version_num : 800000LL + v.version_num;
}

}  // namespace

std::vector<std::string> bench_input_files(const std::string& wu_name) {
  return {wu_name + "_grid", wu_name + "_params"};
}

long long bench_input_size(const std::string& wu_name, int index) {
  unsigned long long h = 1469598103934665603ULL;
  for (char ch : wu_name) h = (h ^ static_cast<unsigned char>(ch)) * 1099511628211ULL;
  return index == 0 ? 1000000LL + static_cast<long long>(h % 500000) : 4096 + index;
}

bool bench_make_file(const std::string& path, long long bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  bool ok = ftruncate(fd, static_cast<off_t>(bytes)) == 0;
  if (close(fd) != 0) ok = false;
  return ok;
}

bool bench_make_dirs(const std::string& path) {
  std::string partial;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    partial = path.substr(0, slash);
    if (!partial.empty() && mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
    start = slash + 1;
  }
  return true;
}

void bench_remove_tree(const std::string& path) {
  if (path.empty() || path == "/") return;
  std::string command = "rm -rf '" + path + "'";
  if (system(command.c_str()) != 0) fprintf(stderr, "bench: could not remove %s\n", path.c_str());
}

bool BenchData::create(const std::string& root, int results) {
  root_ = root;
  projects_.clear();
  results_.clear();
  const char* names[kProjects][2] = {
      {"http://lattice.bench.test/lattice/", "Lattice Relaxation Project"},
      {"http://www.sieve-bench.org/sieve/", "Prime Sieve@Home"},
      {"http://climate.bench.test/cpdn_bench/", "Climate Bench"},
      {"http://einstein.bench.test/gw/", "Gravity Waves Bench"},
  };
  const char* apps[kProjects][2][2] = {
      {{"lattice", "Lattice Relaxation"}, {"lattice_mt", "Lattice Relaxation (multi-thread)"}},
      {{"sieve", "Prime Sieve"}, {"sieve_llr", "Prime Sieve LLR"}},
      {{"hadam3", "Hadley Atmosphere Model"}, {"wah2", "Weather at Home 2"}},
      {{"gw_search", "Continuous Wave Search"}, {"gw_binary", "Binary Radio Pulsar Search"}},
  };
  for (int p = 0; p < kProjects; p++) {
    BenchProject project;
    project.url = names[p][0];
    project.name = names[p][1];
    project.hostid = 4711 + 1000 * p;
    project.non_cpu_intensive = p == 1;  // one project flags non-CPU-intensive work
    std::string dir = project.url.substr(7, project.url.size() - 8);
    for (char& ch : dir) {
      if (ch == '/') ch = '_';
    }
    project.dir_name = dir;
    for (int a = 0; a < 2; a++) {
      project.apps.emplace_back(apps[p][a][0], apps[p][a][1]);
      for (int v = 0; v < 2; v++) {
        BenchVersion version;
        version.app = apps[p][a][0];
        version.version_num = 700 + 12 * a + v;
        version.plan_class = v == 0 ? "" : "mt";
        std::string stem = version.app + "_" + version_text(version.version_num);
        version.files = {stem + "_" + kPlatformName, stem + "_tables.dat"};
        project.versions.push_back(version);
      }
    }
    projects_.push_back(project);
  }
  for (int i = 0; i < results; i++) {
    BenchResult r;
    r.project = i % kProjects;
    r.version = (i / kProjects) % 4;
    const BenchVersion& v = projects_[static_cast<size_t>(r.project)].versions[static_cast<size_t>(r.version)];
    char number[32];
    snprintf(number, sizeof(number), "%08d", i);
    r.wu_name = v.app + "_wu_" + number;
    r.name = r.wu_name + "_0";
    r.finished = (i % 2) == 1;
    r.received_time = kFirstReceived + i;
    r.report_deadline = r.received_time + kDeadlineAfter;
    results_.push_back(r);
  }
  if (!write_project_files() || !write_slots() || !write_state_file()) return false;
  // The state file as a client leaves it between two writes: changed a few
  // seconds ago at least (the collector parses a file changed in the last
  // three seconds at every pass, as it may change again unseen).
  struct stat st;
  if (stat(state_path().c_str(), &st) != 0) return false;
  for (int i = 0; i < 100 && time(nullptr) < st.st_ctim.tv_sec + 4; i++) usleep(100000);
  return true;
}

bool BenchData::write_state_file() {
  std::string path = state_path();
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) {
    fprintf(stderr, "bench: cannot write %s\n", path.c_str());
    return false;
  }
  static char buffer[1 << 20];
  setvbuf(f, buffer, _IOFBF, sizeof(buffer));
  fprintf(f,
          "<client_state>\n"
          "<host_info>\n"
          "    <timezone>3600</timezone>\n"
          "    <domain_name>benchhost</domain_name>\n"
          "    <ip_addr>127.0.0.1</ip_addr>\n"
          "    <host_cpid>%s</host_cpid>\n"
          "    <p_ncpus>16</p_ncpus>\n"
          "    <p_vendor>AuthenticAMD</p_vendor>\n"
          "    <p_model>AMD EPYC [Family 25 Model 17 Stepping 1]</p_model>\n"
          "    <p_features>fpu vme de pse tsc msr pae mce cx8 apic sep mtrr pge mca cmov</p_features>\n"
          "    <p_fpops>4500000000.000000</p_fpops>\n"
          "    <p_iops>16000000000.000000</p_iops>\n"
          "    <p_membw>1000000000.000000</p_membw>\n"
          "    <p_calculated>1699000000.000000</p_calculated>\n"
          "    <p_vm_extensions_disabled>0</p_vm_extensions_disabled>\n"
          "    <m_nbytes>67108864000.000000</m_nbytes>\n"
          "    <m_cache>524288.000000</m_cache>\n"
          "    <m_swap>0.000000</m_swap>\n"
          "    <d_total>1000000000000.000000</d_total>\n"
          "    <d_free>500000000000.000000</d_free>\n"
          "    <os_name>Linux Debian</os_name>\n"
          "    <os_version>Debian GNU/Linux 12 (bookworm) [6.1.0]</os_version>\n"
          "</host_info>\n"
          "<time_stats>\n"
          "    <on_frac>0.999000</on_frac>\n"
          "    <connected_frac>-1.000000</connected_frac>\n"
          "    <cpu_and_network_available_frac>0.999000</cpu_and_network_available_frac>\n"
          "    <active_frac>0.999000</active_frac>\n"
          "    <gpu_active_frac>0.999000</gpu_active_frac>\n"
          "    <client_start_time>1699000000.000000</client_start_time>\n"
          "    <total_start_time>1600000000.000000</total_start_time>\n"
          "    <total_duration>99000000.000000</total_duration>\n"
          "    <total_active_duration>98000000.000000</total_active_duration>\n"
          "    <total_gpu_active_duration>98000000.000000</total_gpu_active_duration>\n"
          "    <now>1700000000.000000</now>\n"
          "    <previous_uptime>86400.000000</previous_uptime>\n"
          "    <session_active_duration>86400.000000</session_active_duration>\n"
          "    <session_gpu_active_duration>86400.000000</session_gpu_active_duration>\n"
          "</time_stats>\n"
          "<net_stats>\n"
          "    <bwup>12000.000000</bwup>\n"
          "    <avg_up>12000.000000</avg_up>\n"
          "    <avg_time_up>1699000000.000000</avg_time_up>\n"
          "    <bwdown>240000.000000</bwdown>\n"
          "    <avg_down>240000.000000</avg_down>\n"
          "    <avg_time_down>1699000000.000000</avg_time_down>\n"
          "</net_stats>\n",
          hex32(1).c_str());
  for (int p = 0; p < kProjects; p++) {
    const BenchProject& project = projects_[static_cast<size_t>(p)];
    int count = 0;
    for (const BenchResult& r : results_) count += r.project == p;
    fprintf(f,
            "<project>\n"
            "    <master_url>%s</master_url>\n"
            "    <project_name>%s</project_name>\n"
            "    <symstore></symstore>\n"
            "    <user_name>bench volunteer</user_name>\n"
            "    <team_name></team_name>\n"
            "    <host_venue></host_venue>\n"
            "    <email_hash>%s</email_hash>\n"
            "    <cross_project_id>%s</cross_project_id>\n"
            "    <external_cpid>%s</external_cpid>\n"
            "    <cpid_time>1600000000.000000</cpid_time>\n"
            "    <user_total_credit>123456.789000</user_total_credit>\n"
            "    <user_expavg_credit>1234.567890</user_expavg_credit>\n"
            "    <user_create_time>1500000000.000000</user_create_time>\n"
            "    <rpc_seqno>321</rpc_seqno>\n"
            "    <userid>%d</userid>\n"
            "    <teamid>0</teamid>\n"
            "    <hostid>%d</hostid>\n"
            "    <host_total_credit>65432.100000</host_total_credit>\n"
            "    <host_expavg_credit>876.543210</host_expavg_credit>\n"
            "    <host_create_time>1600000000.000000</host_create_time>\n"
            "    <nrpc_failures>0</nrpc_failures>\n"
            "    <master_fetch_failures>0</master_fetch_failures>\n"
            "    <min_rpc_time>0.000000</min_rpc_time>\n"
            "    <next_rpc_time>0.000000</next_rpc_time>\n"
            "    <rec>1234.567890</rec>\n"
            "    <rec_time>1699990000.000000</rec_time>\n"
            "    <resource_share>100.000000</resource_share>\n"
            "    <desired_disk_usage>0.000000</desired_disk_usage>\n"
            "    <duration_correction_factor>1.000000</duration_correction_factor>\n"
            "    <sched_rpc_pending>0</sched_rpc_pending>\n"
            "    <send_time_stats_log>0</send_time_stats_log>\n"
            "    <send_job_log>0</send_job_log>\n"
            "    <njobs_success>%d</njobs_success>\n"
            "    <njobs_error>0</njobs_error>\n"
            "    <elapsed_time>9876543.210000</elapsed_time>\n"
            "    <last_rpc_time>1699990000.000000</last_rpc_time>\n"
            "%s"
            "    <scheduler_url>%scgi-bin/cgi</scheduler_url>\n"
            "    <cpu_time>9800000.000000</cpu_time>\n"
            "</project>\n",
            project.url.c_str(), project.name.c_str(), hex32(10 + p).c_str(),
            hex32(20 + p).c_str(), hex32(30 + p).c_str(), 1000 + p, project.hostid, count,
            project.non_cpu_intensive ? "    <non_cpu_intensive/>\n" : "", project.url.c_str());
    for (const auto& app : project.apps) {
      fprintf(f,
              "<app>\n"
              "    <name>%s</name>\n"
              "    <user_friendly_name>%s</user_friendly_name>\n"
              "    <non_cpu_intensive>0</non_cpu_intensive>\n"
              "</app>\n",
              app.first.c_str(), app.second.c_str());
    }
    for (const BenchVersion& v : project.versions) {
      for (size_t k = 0; k < v.files.size(); k++) {
        fprintf(f,
                "<file>\n"
                "    <name>%s</name>\n"
                "    <nbytes>%lld.000000</nbytes>\n"
                "    <max_nbytes>0.000000</max_nbytes>\n"
                "    <status>1</status>\n"
                "%s"
                "    <signature_required/>\n"
                "    <file_signature>\n%s\n%s\n%s\n%s\n.\n"
                "</file_signature>\n"
                "</file>\n",
                v.files[k].c_str(), app_file_size(v, static_cast<int>(k)),
                k == 0 ? "    <executable/>\n" : "", hex32(100 + k).c_str(),
                hex32(200 + k).c_str(), hex32(300 + k).c_str(), hex32(400 + k).c_str());
      }
    }
    // The files of the project's work units and results.
    for (size_t i = 0; i < results_.size(); i++) {
      const BenchResult& r = results_[i];
      if (r.project != p) continue;
      std::vector<std::string> inputs = bench_input_files(r.wu_name);
      for (size_t k = 0; k < inputs.size(); k++) {
        fprintf(f,
                "<file>\n"
                "    <name>%s</name>\n"
                "    <nbytes>%lld.000000</nbytes>\n"
                "    <max_nbytes>0.000000</max_nbytes>\n"
                "    <md5_cksum>%s</md5_cksum>\n"
                "    <status>1</status>\n"
                "    <download_url>%sdownload/%02x/%s</download_url>\n"
                "</file>\n",
                inputs[k].c_str(), bench_input_size(r.wu_name, static_cast<int>(k)),
                hex32(i * 2 + k).c_str(), project.url.c_str(), static_cast<unsigned>(i % 256),
                inputs[k].c_str());
      }
      fprintf(f,
              "<file>\n"
              "    <name>%s_0</name>\n"
              "    <nbytes>%s</nbytes>\n"
              "    <max_nbytes>100000000.000000</max_nbytes>\n"
              "    <status>%d</status>\n"
              "%s"
              "    <upload_url>%scgi-bin/file_upload_handler</upload_url>\n"
              "</file>\n",
              r.name.c_str(), r.finished ? "20480.000000" : "0.000000", r.finished ? 1 : 0,
              r.finished ? "    <uploaded/>\n" : "", project.url.c_str());
    }
    for (const BenchVersion& v : project.versions) {
      fprintf(f,
              "<app_version>\n"
              "    <app_name>%s</app_name>\n"
              "    <version_num>%d</version_num>\n"
              "    <platform>%s</platform>\n"
              "    <avg_ncpus>%s</avg_ncpus>\n"
              "    <flops>3000000000.000000</flops>\n"
              "%s%s%s"
              "    <api_version>7.20.0</api_version>\n"
              "    <file_ref>\n"
              "        <file_name>%s</file_name>\n"
              "        <main_program/>\n"
              "    </file_ref>\n"
              "    <file_ref>\n"
              "        <file_name>%s</file_name>\n"
              "        <open_name>tables.dat</open_name>\n"
              "    </file_ref>\n"
              "</app_version>\n",
              v.app.c_str(), v.version_num, kPlatformName,
              v.plan_class.empty() ? "1.000000" : "4.000000",
              v.plan_class.empty() ? "" : "    <plan_class>", v.plan_class.c_str(),
              v.plan_class.empty() ? "" : "</plan_class>\n", v.files[0].c_str(),
              v.files[1].c_str());
    }
    for (size_t i = 0; i < results_.size(); i++) {
      const BenchResult& r = results_[i];
      if (r.project != p) continue;
      const BenchVersion& v = project.versions[static_cast<size_t>(r.version)];
      std::vector<std::string> inputs = bench_input_files(r.wu_name);
      fprintf(f,
              "<workunit>\n"
              "    <name>%s</name>\n"
              "    <app_name>%s</app_name>\n"
              "    <version_num>%d</version_num>\n"
              "    <rsc_fpops_est>36000000000000.000000</rsc_fpops_est>\n"
              "    <rsc_fpops_bound>720000000000000.000000</rsc_fpops_bound>\n"
              "    <rsc_memory_bound>536870912.000000</rsc_memory_bound>\n"
              "    <rsc_disk_bound>1000000000.000000</rsc_disk_bound>\n"
              "    <command_line>\n"
              "--seed %zu --steps 100000\n"
              "    </command_line>\n"
              "    <file_ref>\n"
              "        <file_name>%s</file_name>\n"
              "        <open_name>grid.dat</open_name>\n"
              "    </file_ref>\n"
              "    <file_ref>\n"
              "        <file_name>%s</file_name>\n"
              "        <open_name>params.xml</open_name>\n"
              "    </file_ref>\n"
              "</workunit>\n",
              r.wu_name.c_str(), v.app.c_str(), v.version_num, i, inputs[0].c_str(),
              inputs[1].c_str());
    }
    for (size_t i = 0; i < results_.size(); i++) {
      const BenchResult& r = results_[i];
      if (r.project != p) continue;
      const BenchVersion& v = project.versions[static_cast<size_t>(r.version)];
      std::string plan = v.plan_class.empty() ? "" : "    <plan_class>" + v.plan_class + "</plan_class>\n";
      fprintf(f,
              "<result>\n"
              "    <name>%s</name>\n"
              "    <final_cpu_time>%s</final_cpu_time>\n"
              "    <final_elapsed_time>%s</final_elapsed_time>\n"
              "    <exit_status>0</exit_status>\n"
              "    <state>%d</state>\n"
              "    <platform>%s</platform>\n"
              "    <version_num>%d</version_num>\n"
              "%s"
              "    <final_peak_working_set_size>%s</final_peak_working_set_size>\n"
              "    <final_peak_swap_size>%s</final_peak_swap_size>\n"
              "    <final_peak_disk_usage>%s</final_peak_disk_usage>\n"
              "    <final_bytes_sent>%s</final_bytes_sent>\n"
              "    <final_bytes_received>%s</final_bytes_received>\n",
              r.name.c_str(), r.finished ? "3512.734000" : "0.000000",
              r.finished ? "3600.912345" : "0.000000", r.finished ? 5 : 2, kPlatformName,
              v.version_num, plan.c_str(), r.finished ? "152043520.000000" : "0.000000",
              r.finished ? "160432128.000000" : "0.000000",
              r.finished ? "1048576.000000" : "0.000000", r.finished ? "20480.000000" : "0.000000",
              r.finished ? "1052672.000000" : "0.000000");
      if (r.finished) {
        fprintf(f,
                "<stderr_out>\n"
                "<![CDATA[\n"
                "<stderr_txt>\n"
                "13:46:48 (7721): starting %s\n"
                "13:46:48 (7721): resuming from checkpoint, step 48000\n"
                "14:46:41 (7721): called boinc_finish(0)\n"
                "\n"
                "</stderr_txt>\n"
                "]]>\n"
                "</stderr_out>\n"
                "    <ready_to_report/>\n"
                "    <completed_time>%.6f</completed_time>\n",
                r.name.c_str(), r.received_time + 3700.0);
      }
      fprintf(f,
              "    <wu_name>%s</wu_name>\n"
              "    <report_deadline>%.6f</report_deadline>\n"
              "    <received_time>%.6f</received_time>\n"
              "    <file_ref>\n"
              "        <file_name>%s_0</file_name>\n"
              "        <open_name>out.dat</open_name>\n"
              "    </file_ref>\n"
              "</result>\n",
              r.wu_name.c_str(), r.report_deadline, r.received_time, r.name.c_str());
    }
  }
  fprintf(f, "<active_task_set>\n");
  for (int slot = 1; slot <= kSlots && slot <= size(); slot++) {
    const BenchResult& r = results_[static_cast<size_t>(slot - 1)];
    fprintf(f,
            "<active_task>\n"
            "    <project_master_url>%s</project_master_url>\n"
            "    <result_name>%s</result_name>\n"
            "    <active_task_state>1</active_task_state>\n"
            "    <app_version_num>%d</app_version_num>\n"
            "    <slot>%d</slot>\n"
            "    <checkpoint_cpu_time>2800.000000</checkpoint_cpu_time>\n"
            "    <checkpoint_elapsed_time>2900.000000</checkpoint_elapsed_time>\n"
            "    <fraction_done>0.800000</fraction_done>\n"
            "    <peak_working_set_size>152043520.000000</peak_working_set_size>\n"
            "</active_task>\n",
            projects_[static_cast<size_t>(r.project)].url.c_str(), r.name.c_str(),
            projects_[static_cast<size_t>(r.project)].versions[static_cast<size_t>(r.version)].version_num,
            slot);
  }
  fprintf(f,
          "</active_task_set>\n"
          "<platform_name>%s</platform_name>\n"
          "<core_client_major_version>7</core_client_major_version>\n"
          "<core_client_minor_version>20</core_client_minor_version>\n"
          "<core_client_release>5</core_client_release>\n"
          "<user_run_request>0</user_run_request>\n"
          "<user_network_request>0</user_network_request>\n"
          "<new_version_check_time>1699000000.000000</new_version_check_time>\n"
          "</client_state>\n",
          kPlatformName);
  bool ok = ferror(f) == 0;
  long end = ftell(f);
  if (fclose(f) != 0) ok = false;
  state_bytes_ = static_cast<double>(end);
  // Written some time ago, as far as its modification time goes.
  struct timespec times[2];
  clock_gettime(CLOCK_REALTIME, &times[0]);
  times[0].tv_sec -= 30;
  times[1] = times[0];
  if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) ok = false;
  if (!ok) fprintf(stderr, "bench: writing %s failed\n", path.c_str());
  return ok;
}

bool BenchData::write_project_files() {
  for (const BenchProject& project : projects_) {
    std::string dir = root_ + "/projects/" + project.dir_name;
    if (!bench_make_dirs(dir)) return false;
    for (const BenchVersion& v : project.versions) {
      for (size_t k = 0; k < v.files.size(); k++) {
        if (!bench_make_file(dir + "/" + v.files[k], app_file_size(v, static_cast<int>(k)))) {
          return false;
        }
      }
    }
  }
  for (const BenchResult& r : results_) {
    std::string dir = root_ + "/projects/" + projects_[static_cast<size_t>(r.project)].dir_name;
    std::vector<std::string> inputs = bench_input_files(r.wu_name);
    for (size_t k = 0; k < inputs.size(); k++) {
      if (!bench_make_file(dir + "/" + inputs[k], bench_input_size(r.wu_name, static_cast<int>(k)))) {
        fprintf(stderr, "bench: cannot create %s/%s\n", dir.c_str(), inputs[k].c_str());
        return false;
      }
    }
  }
  return true;
}

bool BenchData::write_slots() {
  // Slots 1 and 2 hold a large task (a few thousand files in a tree), the
  // others a usual one.
  for (int slot = 1; slot <= kSlots; slot++) {
    std::string dir = root_ + "/slots/" + std::to_string(slot);
    int subdirs = slot <= 2 ? 40 : 2;
    int files = slot <= 2 ? 50 : 8;
    for (int d = 0; d < subdirs; d++) {
      std::string sub = dir + "/run" + std::to_string(d);
      if (!bench_make_dirs(sub)) return false;
      for (int k = 0; k < files; k++) {
        if (!bench_make_file(sub + "/part_" + std::to_string(k), 65536 + k)) return false;
      }
    }
    if (!bench_make_file(dir + "/init_data.xml", 9000)) return false;
    if (!bench_make_file(dir + "/boinc_lockfile", 0)) return false;
  }
  return true;
}

RESULT BenchData::active_record(int i, int slot) const {
  const BenchResult& b = results_[static_cast<size_t>(i)];
  const BenchProject& project = projects_[static_cast<size_t>(b.project)];
  const BenchVersion& v = project.versions[static_cast<size_t>(b.version)];
  RESULT r;
  r.clear();
  copy_text(r.name, sizeof(r.name), b.name);
  copy_text(r.wu_name, sizeof(r.wu_name), b.wu_name);
  copy_text(r.project_url, sizeof(r.project_url), project.url);
  copy_text(r.platform, sizeof(r.platform), kPlatformName);
  copy_text(r.plan_class, sizeof(r.plan_class), v.plan_class);
  r.version_num = v.version_num;
  r.report_deadline = b.report_deadline;
  r.received_time = b.received_time;
  r.state = 2;
  r.active_task = true;
  r.active_task_state = slot > 0 ? 1 : 9;  // executing, or preempted
  r.slot = slot > 0 ? slot : 0;
  r.elapsed_time = 2900.0;
  r.estimated_cpu_time_remaining = 700.0;
  r.current_cpu_time = 2850.5;
  r.checkpoint_cpu_time = 2800.25;
  r.working_set_size_smoothed = 152043520.0;
  r.fraction_done = 0.8;
  // The client sends a resources text only for tasks that use other than one
  // processor: the multi-thread versions here.
  if (!v.plan_class.empty()) copy_text(r.resources, sizeof(r.resources), kMultiThreadResources);
  return r;
}

void BenchData::fill_first_sightings(Collector& c, const std::vector<int>& which) const {
  Tables& t = c.tables;
  for (int i : which) {
    const BenchResult& b = results_[static_cast<size_t>(i)];
    const BenchProject& project = projects_[static_cast<size_t>(b.project)];
    const BenchVersion& v = project.versions[static_cast<size_t>(b.version)];
    std::string friendly;
    for (const auto& app : project.apps) {
      if (app.first == v.app) friendly = app.second;
    }
    const std::string app_key = project.name + ";" + v.app + "|" + friendly;
    t.Project[project.url] = project.name;
    t.App[v.app] = friendly;
    const std::string dir = project_directory(c, project.url);
    t.Dir[b.name] = dir;
    t.Nb_file_result[b.name] = 0;
    double sum = 0.0;
    std::vector<std::string> inputs = bench_input_files(b.wu_name);
    for (size_t k = 0; k < inputs.size(); k++) {
      std::string path = dir + "/" + inputs[k];
      if (t.File.count(path)) continue;
      double size = static_cast<double>(bench_input_size(b.wu_name, static_cast<int>(k)));
      sum += size;
      t.File[path] = size;
    }
    t.Download[b.name] = app_key + ";" + format_real(sum) + ";";
    const std::string platform_key = v.app + "_" + format_int(v.version_num);
    if (!t.Platform.count(platform_key)) {
      if (!t.Dl_app.count(v.app)) {
        double app_size = 0.0;
        for (size_t k = 0; k < v.files.size(); k++) {
          app_size += static_cast<double>(app_file_size(v, static_cast<int>(k)));
        }
        t.Dl_app[v.app] = app_key + ";" + format_real(app_size);
      }
      t.Platform[platform_key] = kPlatformName;
    }
    if (!t.Delai.count(b.name)) {
      if (static_cast<double>(t.Last_new_wu) < b.received_time && !t.New_wu_counted.count(b.name)) {
        t.New_wu[app_key] += 1;
        t.New_wu_counted.insert(b.name);
      }
      t.Delai[b.name] = format_int(truncate_to_int(b.received_time)) + ";" +
                        format_int(truncate_to_int(b.report_deadline));
    }
    const std::string description = c.host.processor_model + ";" + project.name + ";" + v.app +
                                    "|" + friendly + ";" + kPlatformName + ";" + v.plan_class;
    t.Result[b.name] = description;
    const std::string run_key = b.name + ";" + description;
    const bool nci = v.plan_class == "nci" || project.non_cpu_intensive;
    std::string resources = nci ? "0.01 CPUs" : "1 CPUs";
    if (!v.plan_class.empty()) resources = kMultiThreadResources;
    if (!t.resources_table.count(run_key)) t.resources_table[run_key] = resources;
    t.Run[run_key] = 0.0;
  }
}

std::string BenchData::fake_client_script(int executing) const {
  std::string text;
  text += "host ncpus=16 vendor=AuthenticAMD \"model=AMD EPYC [Family 25 Model 17 Stepping 1]\"\n";
  for (const BenchProject& project : projects_) {
    text += "project " + project.url + " \"" + project.name + "\" hostid=" +
            std::to_string(project.hostid) + (project.non_cpu_intensive ? " non_cpu_intensive" : "") +
            "\n";
    for (const auto& app : project.apps) text += "app " + app.first + " \"" + app.second + "\"\n";
    for (const BenchVersion& v : project.versions) {
      text += "app_version " + v.app + " " + std::to_string(v.version_num) +
              (v.plan_class.empty() ? "" : " plan_class=" + v.plan_class) + "\n";
    }
  }
  char line[1024];
  for (int i = 0; i < size(); i++) {
    const BenchResult& b = results_[static_cast<size_t>(i)];
    const BenchProject& project = projects_[static_cast<size_t>(b.project)];
    const BenchVersion& v = project.versions[static_cast<size_t>(b.version)];
    const std::string resources =
        v.plan_class.empty() ? "" : std::string(" \"resources=") + kMultiThreadResources + "\"";
    if (i < executing) {
      snprintf(line, sizeof(line),
               "result %s %s %s executing slot=%d version_num=%d%s%s%s received_time=%.0f "
               "report_deadline=%.0f elapsed_time=2900 estimated_cpu_time_remaining=700 "
               "current_cpu_time=2850.5 checkpoint_cpu_time=2800.25 "
               "working_set_size_smoothed=152043520\n",
               b.name.c_str(), b.wu_name.c_str(), project.url.c_str(), i % kSlots + 1,
               v.version_num, v.plan_class.empty() ? "" : " plan_class=", v.plan_class.c_str(),
               resources.c_str(), b.received_time, b.report_deadline);
    } else {
      snprintf(line, sizeof(line), "result %s %s %s version_num=%d%s%s received_time=%.0f report_deadline=%.0f%s\n",
               b.name.c_str(), b.wu_name.c_str(), project.url.c_str(), v.version_num,
               v.plan_class.empty() ? "" : " plan_class=", v.plan_class.c_str(), b.received_time,
               b.report_deadline, b.finished ? " finished final_cpu_time=3512.734 final_elapsed_time=3600.9" : "");
    }
    text += line;
  }
  return text;
}
