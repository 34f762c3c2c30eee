#include "tests/fakes/fake_gui_rpc_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <gtest/gtest.h>

#include "driver/text.h"

namespace {

using Clock = std::chrono::steady_clock;

// Limits that keep every loop of the server bounded.
const size_t kMaxRequestBytes = 100000;  // RPC_CLIENT's own request buffer
const int kRequestTimeoutMs = 10000;     // a started request must end by then
const int kIdleTimeoutMs = 120000;       // an idle open connection is closed
const int kSilentHoldMs = 45000;         // "silent": RPC_CLIENT gives up after 30 s
const int kRelistenTries = 100;          // after a refusal, 50 ms apart
const int kPollMs = 20;

const char kPlatform[] = "x86_64-pc-linux-gnu";

void appendf(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void appendf(std::string& out, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  append_vformat(&out, format, ap);
  va_end(ap);
}

void copy_text(char* field, size_t size, const std::string& text) {
  size_t n = std::min(size - 1, text.size());
  memcpy(field, text.data(), n);
  field[n] = '\0';
}

// --- Reply bodies, in the layout of BOINC 7.20's client --------------------

std::string version_body(const FakeClientModel& m) {
  std::string out;
  appendf(out,
          "<server_version>\n"
          "   <major>%d</major>\n"
          "   <minor>%d</minor>\n"
          "   <release>%d</release>\n"
          "</server_version>\n",
          m.major_version, m.minor_version, m.release);
  return out;
}

std::string cc_status_body(const FakeClientModel& m) {
  std::string out;
  // The client reports network mode "never" (3) while the user has
  // suspended the network, "auto" (2) otherwise.
  int network_mode = m.network_suspend_reason == 4 ? 3 : 2;
  appendf(out,
          "<cc_status>\n"
          "   <network_status>2</network_status>\n"
          "   <ams_password_error>0</ams_password_error>\n"
          "   <task_suspend_reason>%d</task_suspend_reason>\n"
          "   <task_mode>2</task_mode>\n"
          "   <task_mode_perm>2</task_mode_perm>\n"
          "   <task_mode_delay>0.000000</task_mode_delay>\n"
          "   <gpu_suspend_reason>%d</gpu_suspend_reason>\n"
          "   <gpu_mode>2</gpu_mode>\n"
          "   <gpu_mode_perm>2</gpu_mode_perm>\n"
          "   <gpu_mode_delay>0.000000</gpu_mode_delay>\n"
          "   <network_suspend_reason>%d</network_suspend_reason>\n"
          "   <network_mode>%d</network_mode>\n"
          "   <network_mode_perm>%d</network_mode_perm>\n"
          "   <network_mode_delay>0.000000</network_mode_delay>\n"
          "   <disallow_attach>0</disallow_attach>\n"
          "   <simple_gui_only>0</simple_gui_only>\n"
          "   <max_event_log_lines>2000</max_event_log_lines>\n"
          "</cc_status>\n",
          m.task_suspend_reason, m.task_suspend_reason, m.network_suspend_reason, network_mode,
          network_mode);
  return out;
}

void write_nvidia(std::string& out, const COPROC_NVIDIA& g) {
  appendf(out,
          "<coproc_cuda>\n"
          "   <count>%d</count>\n"
          "   <name>%s</name>\n"
          "   <available_ram>%f</available_ram>\n"
          "   <have_cuda>%d</have_cuda>\n"
          "   <have_opencl>0</have_opencl>\n"
          "   <peak_flops>%f</peak_flops>\n"
          "   <cudaVersion>%d</cudaVersion>\n"
          "   <drvVersion>%d</drvVersion>\n"
          "   <totalGlobalMem>%f</totalGlobalMem>\n"
          "   <sharedMemPerBlock>%f</sharedMemPerBlock>\n"
          "   <regsPerBlock>%d</regsPerBlock>\n"
          "   <warpSize>%d</warpSize>\n"
          "   <memPitch>%f</memPitch>\n"
          "   <maxThreadsPerBlock>%d</maxThreadsPerBlock>\n"
          "   <maxThreadsDim>%d %d %d</maxThreadsDim>\n"
          "   <maxGridSize>%d %d %d</maxGridSize>\n"
          "   <clockRate>%d</clockRate>\n"
          "   <totalConstMem>%f</totalConstMem>\n"
          "   <major>%d</major>\n"
          "   <minor>%d</minor>\n"
          "   <textureAlignment>%f</textureAlignment>\n"
          "   <deviceOverlap>%d</deviceOverlap>\n"
          "   <multiProcessorCount>%d</multiProcessorCount>\n",
          g.count, g.prop.name, g.available_ram, g.have_cuda ? 1 : 0, g.peak_flops, g.cuda_version,
          g.display_driver_version, g.prop.totalGlobalMem, g.prop.sharedMemPerBlock,
          g.prop.regsPerBlock, g.prop.warpSize, g.prop.memPitch, g.prop.maxThreadsPerBlock,
          g.prop.maxThreadsDim[0], g.prop.maxThreadsDim[1], g.prop.maxThreadsDim[2],
          g.prop.maxGridSize[0], g.prop.maxGridSize[1], g.prop.maxGridSize[2], g.prop.clockRate,
          g.prop.totalConstMem, g.prop.major, g.prop.minor, g.prop.textureAlignment,
          g.prop.deviceOverlap, g.prop.multiProcessorCount);
  for (int i = 0; i < g.count && i < MAX_COPROC_INSTANCES; i++) {
    appendf(out,
            "<pci_info>\n"
            "   <bus_id>%d</bus_id>\n"
            "   <device_id>0</device_id>\n"
            "   <domain_id>0</domain_id>\n"
            "</pci_info>\n",
            i + 1);
  }
  out += "</coproc_cuda>\n";
}

void write_ati(std::string& out, const COPROC_ATI& g) {
  appendf(out,
          "<coproc_ati>\n"
          "   <count>%d</count>\n"
          "   <name>%s</name>\n"
          "   <available_ram>%f</available_ram>\n"
          "   <have_cal>%d</have_cal>\n"
          "   <have_opencl>0</have_opencl>\n"
          "   <peak_flops>%f</peak_flops>\n"
          "   <CALVersion>%s</CALVersion>\n"
          "   <target>%d</target>\n"
          "   <localRAM>%d</localRAM>\n"
          "   <uncachedRemoteRAM>%d</uncachedRemoteRAM>\n"
          "   <cachedRemoteRAM>%d</cachedRemoteRAM>\n"
          "   <engineClock>%u</engineClock>\n"
          "   <memoryClock>%d</memoryClock>\n"
          "   <wavefrontSize>%d</wavefrontSize>\n"
          "   <numberOfSIMD>%d</numberOfSIMD>\n"
          "   <doublePrecision>%d</doublePrecision>\n"
          "   <pitch_alignment>%d</pitch_alignment>\n"
          "   <surface_alignment>%d</surface_alignment>\n"
          "   <maxResource1DWidth>%d</maxResource1DWidth>\n"
          "   <maxResource2DWidth>%d</maxResource2DWidth>\n"
          "   <maxResource2DHeight>%d</maxResource2DHeight>\n"
          "</coproc_ati>\n",
          g.count, g.name, g.available_ram, g.have_cal ? 1 : 0, g.peak_flops, g.version,
          ati_target(g), static_cast<int>(g.attribs.localRAM),
          static_cast<int>(g.attribs.uncachedRemoteRAM),
          static_cast<int>(g.attribs.cachedRemoteRAM), g.attribs.engineClock,
          static_cast<int>(g.attribs.memoryClock), static_cast<int>(g.attribs.wavefrontSize),
          static_cast<int>(g.attribs.numberOfSIMD), g.attribs.doublePrecision ? 1 : 0,
          static_cast<int>(g.attribs.pitch_alignment),
          static_cast<int>(g.attribs.surface_alignment),
          static_cast<int>(g.info.maxResource1DWidth),
          static_cast<int>(g.info.maxResource2DWidth),
          static_cast<int>(g.info.maxResource2DHeight));
}

void write_host_info(std::string& out, const HOST_INFO& h) {
  const COPROCS& cp = h.coprocs;
  int usable = 0;
  for (int i = 1; i < cp.n_rsc; i++) usable += cp.coprocs[i].count;
  appendf(out,
          "<host_info>\n"
          "    <timezone>%d</timezone>\n"
          "    <domain_name>%s</domain_name>\n"
          "    <ip_addr>%s</ip_addr>\n"
          "    <host_cpid>%s</host_cpid>\n"
          "    <p_ncpus>%d</p_ncpus>\n"
          "    <p_vendor>%s</p_vendor>\n"
          "    <p_model>%s</p_model>\n"
          "    <p_features>%s</p_features>\n"
          "    <p_fpops>%f</p_fpops>\n"
          "    <p_iops>%f</p_iops>\n"
          "    <p_membw>%f</p_membw>\n"
          "    <p_calculated>%f</p_calculated>\n"
          "    <p_vm_extensions_disabled>0</p_vm_extensions_disabled>\n"
          "    <m_nbytes>%f</m_nbytes>\n"
          "    <m_cache>%f</m_cache>\n"
          "    <m_swap>%f</m_swap>\n"
          "    <d_total>%f</d_total>\n"
          "    <d_free>%f</d_free>\n"
          "    <os_name>%s</os_name>\n"
          "    <os_version>%s</os_version>\n"
          "    <n_usable_coprocs>%d</n_usable_coprocs>\n"
          "    <wsl_available>0</wsl_available>\n"
          "    <coprocs>\n",
          h.timezone, h.domain_name, h.ip_addr, h.host_cpid, h.p_ncpus, h.p_vendor, h.p_model,
          h.p_features, h.p_fpops, h.p_iops, h.p_membw, h.p_calculated, h.m_nbytes, h.m_cache,
          h.m_swap, h.d_total, h.d_free, h.os_name, h.os_version, usable);
  for (int i = 1; i < cp.n_rsc && i < MAX_RSC; i++) {
    const COPROC& c = cp.coprocs[i];
    if (!strcmp(c.type, GPU_TYPE_NVIDIA)) {
      write_nvidia(out, cp.nvidia);
    } else if (!strcmp(c.type, GPU_TYPE_ATI)) {
      write_ati(out, cp.ati);
    } else {
      appendf(out,
              "<coproc>\n"
              "   <type>%s</type>\n"
              "   <count>%d</count>\n"
              "   <peak_flops>%f</peak_flops>\n"
              "</coproc>\n",
              c.type, c.count, c.peak_flops);
    }
  }
  out += "    </coprocs>\n</host_info>\n";
}

void write_result(std::string& out, const RESULT& r) {
  appendf(out,
          "<result>\n"
          "    <name>%s</name>\n"
          "    <wu_name>%s</wu_name>\n"
          "    <platform>%s</platform>\n"
          "    <version_num>%d</version_num>\n"
          "    <plan_class>%s</plan_class>\n"
          "    <project_url>%s</project_url>\n"
          "    <final_cpu_time>%f</final_cpu_time>\n"
          "    <final_elapsed_time>%f</final_elapsed_time>\n"
          "    <exit_status>%d</exit_status>\n"
          "    <state>%d</state>\n"
          "    <report_deadline>%f</report_deadline>\n"
          "    <received_time>%f</received_time>\n"
          "    <estimated_cpu_time_remaining>%f</estimated_cpu_time_remaining>\n",
          r.name, r.wu_name, r.platform, r.version_num, r.plan_class, r.project_url,
          r.final_cpu_time, r.final_elapsed_time, r.exit_status, r.state, r.report_deadline,
          r.received_time, r.estimated_cpu_time_remaining);
  if (r.ready_to_report) out += "    <ready_to_report/>\n";
  if (r.suspended_via_gui) out += "    <suspended_via_gui/>\n";
  if (r.project_suspended_via_gui) out += "    <project_suspended_via_gui/>\n";
  if (r.active_task) {
    appendf(out,
            "<active_task>\n"
            "    <active_task_state>%d</active_task_state>\n"
            "    <app_version_num>%d</app_version_num>\n"
            "    <slot>%d</slot>\n"
            "    <pid>%d</pid>\n"
            "    <scheduler_state>%d</scheduler_state>\n"
            "    <checkpoint_cpu_time>%f</checkpoint_cpu_time>\n"
            "    <fraction_done>%f</fraction_done>\n"
            "    <current_cpu_time>%f</current_cpu_time>\n"
            "    <elapsed_time>%f</elapsed_time>\n"
            "    <swap_size>%f</swap_size>\n"
            "    <working_set_size>%f</working_set_size>\n"
            "    <working_set_size_smoothed>%f</working_set_size_smoothed>\n"
            "    <page_fault_rate>0.000000</page_fault_rate>\n"
            "    <bytes_sent>%f</bytes_sent>\n"
            "    <bytes_received>%f</bytes_received>\n"
            "   <progress_rate>%f</progress_rate>\n"
            "</active_task>\n",
            r.active_task_state, r.app_version_num, r.slot, r.pid, r.scheduler_state,
            r.checkpoint_cpu_time, r.fraction_done, r.current_cpu_time, r.elapsed_time,
            r.swap_size, r.working_set_size_smoothed, r.working_set_size_smoothed, r.bytes_sent,
            r.bytes_received, r.progress_rate);
  }
  if (r.resources[0]) appendf(out, "    <resources>%s</resources>\n", r.resources);
  out += "</result>\n";
}

std::string results_body(const std::vector<RESULT>& results) {
  std::string out = "<results>\n";
  for (const RESULT& r : results) write_result(out, r);
  out += "</results>\n";
  return out;
}

void write_project(std::string& out, const PROJECT& p) {
  appendf(out,
          "<project>\n"
          "    <master_url>%s</master_url>\n"
          "    <project_name>%s</project_name>\n"
          "    <user_name></user_name>\n"
          "    <team_name></team_name>\n"
          "    <hostid>%d</hostid>\n"
          "    <nrpc_failures>0</nrpc_failures>\n"
          "    <master_fetch_failures>0</master_fetch_failures>\n"
          "    <min_rpc_time>0.000000</min_rpc_time>\n"
          "    <resource_share>100.000000</resource_share>\n"
          "    <disk_usage>%f</disk_usage>\n"
          "    <duration_correction_factor>1.000000</duration_correction_factor>\n"
          "    <sched_rpc_pending>0</sched_rpc_pending>\n"
          "    <last_rpc_time>0.000000</last_rpc_time>\n",
          p.master_url, p.project_name.c_str(), p.hostid, p.disk_usage);
  if (p.suspended_via_gui) out += "    <suspended_via_gui/>\n";
  if (p.non_cpu_intensive) out += "    <non_cpu_intensive/>\n";
  out +=
      "    <rsc_backoff_time>\n"
      "        <name>CPU</name>\n"
      "        <value>0.000000</value>\n"
      "    </rsc_backoff_time>\n"
      "    <rsc_backoff_interval>\n"
      "        <name>CPU</name>\n"
      "        <value>0.000000</value>\n"
      "    </rsc_backoff_interval>\n"
      "    <no_rsc_pref>CPU</no_rsc_pref>\n";
  appendf(out, "    <project_dir>%s</project_dir>\n</project>\n", p.project_dir.c_str());
}

std::string state_body(const FakeClientModel& m) {
  std::string out = "<client_state>\n";
  write_host_info(out, m.host_info);
  std::vector<bool> written(m.all.size(), false);
  for (const FakeProjectState& ps : m.projects) {
    write_project(out, ps.project);
    for (const APP& a : ps.apps) {
      appendf(out,
              "<app>\n"
              "    <name>%s</name>\n"
              "    <user_friendly_name>%s</user_friendly_name>\n"
              "    <non_cpu_intensive>0</non_cpu_intensive>\n"
              "</app>\n",
              a.name, a.user_friendly_name);
    }
    for (const APP_VERSION& v : ps.app_versions) {
      appendf(out,
              "<app_version>\n"
              "    <app_name>%s</app_name>\n"
              "    <version_num>%d</version_num>\n"
              "    <platform>%s</platform>\n"
              "    <avg_ncpus>%f</avg_ncpus>\n"
              "    <flops>%f</flops>\n",
              v.app_name, v.version_num, v.platform, v.avg_ncpus, v.flops);
      if (v.plan_class[0]) appendf(out, "    <plan_class>%s</plan_class>\n", v.plan_class);
      out += "</app_version>\n";
    }
    for (const WORKUNIT& w : ps.workunits) {
      appendf(out,
              "<workunit>\n"
              "    <name>%s</name>\n"
              "    <app_name>%s</app_name>\n"
              "    <version_num>%d</version_num>\n"
              "    <rsc_fpops_est>%f</rsc_fpops_est>\n"
              "    <rsc_fpops_bound>%f</rsc_fpops_bound>\n"
              "    <rsc_memory_bound>%f</rsc_memory_bound>\n"
              "    <rsc_disk_bound>%f</rsc_disk_bound>\n"
              "</workunit>\n",
              w.name, w.app_name, w.version_num, w.rsc_fpops_est, w.rsc_fpops_bound,
              w.rsc_memory_bound, w.rsc_disk_bound);
    }
    for (size_t i = 0; i < m.all.size(); i++) {
      if (written[i] || strcmp(m.all[i].project_url, ps.project.master_url) != 0) continue;
      write_result(out, m.all[i]);
      written[i] = true;
    }
  }
  // Results of no listed project: the client never has any; they go last,
  // where RPC_CLIENT attaches them to the last project.
  for (size_t i = 0; i < m.all.size(); i++) {
    if (!written[i]) write_result(out, m.all[i]);
  }
  appendf(out,
          "<platform_name>%s</platform_name>\n"
          "<core_client_major_version>%d</core_client_major_version>\n"
          "<core_client_minor_version>%d</core_client_minor_version>\n"
          "<core_client_release>%d</core_client_release>\n"
          "<executing_as_daemon>0</executing_as_daemon>\n"
          "<platform>%s</platform>\n"
          "<platform>i686-pc-linux-gnu</platform>\n"
          "</client_state>\n",
          kPlatform, m.major_version, m.minor_version, m.release, kPlatform);
  return out;
}

std::string frame_reply(const std::string& body) {
  return "<boinc_gui_rpc_reply>\n" + body + "</boinc_gui_rpc_reply>\n\003";
}

RpcKind classify(const std::string& text) {
  if (text.find("<exchange_versions") != std::string::npos) return RpcKind::exchange_versions;
  if (text.find("<get_cc_status") != std::string::npos) return RpcKind::get_cc_status;
  if (text.find("<get_host_info") != std::string::npos) return RpcKind::get_host_info;
  if (text.find("<get_state") != std::string::npos) return RpcKind::get_state;
  if (text.find("<get_results") != std::string::npos) {
    // RPC_CLIENT writes <active_only>0|1</active_only>; the client takes an
    // absent element as 0.
    size_t at = text.find("<active_only>");
    if (at != std::string::npos && text.compare(at + 13, 1, "1") == 0) {
      return RpcKind::get_results_active;
    }
    return RpcKind::get_results_all;
  }
  return RpcKind::unknown;
}

// The first element name of an unknown request, as the client quotes it.
std::string op_name(const std::string& text) {
  size_t open = text.find('<');
  if (open == std::string::npos) return "";
  size_t close = text.find('>', open);
  if (close == std::string::npos) return "";
  return text.substr(open + 1, close - open - 1);
}

int64_t ms_since(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

}  // namespace

// --- Names and steps --------------------------------------------------------

const char* rpc_kind_name(RpcKind kind) {
  switch (kind) {
    case RpcKind::exchange_versions: return "exchange_versions";
    case RpcKind::get_cc_status: return "get_cc_status";
    case RpcKind::get_host_info: return "get_host_info";
    case RpcKind::get_results_active: return "get_results_active";
    case RpcKind::get_results_all: return "get_results_all";
    case RpcKind::get_state: return "get_state";
    case RpcKind::unknown: break;
  }
  return "unknown";
}

bool rpc_kind_from_name(const std::string& name, RpcKind* kind) {
  static const RpcKind kinds[] = {RpcKind::exchange_versions, RpcKind::get_cc_status,
                                  RpcKind::get_host_info,     RpcKind::get_results_active,
                                  RpcKind::get_results_all,   RpcKind::get_state};
  for (RpcKind k : kinds) {
    if (name == rpc_kind_name(k)) {
      *kind = k;
      return true;
    }
  }
  return false;
}

RpcStep RpcStep::reply(const std::string& body) {
  RpcStep s;
  s.action = Action::reply;
  s.body = body;
  return s;
}

RpcStep RpcStep::error(const std::string& message) {
  RpcStep s;
  s.action = Action::error;
  s.body = message;
  return s;
}

RpcStep RpcStep::close() {
  RpcStep s;
  s.action = Action::close;
  return s;
}

RpcStep RpcStep::cut(size_t bytes) {
  RpcStep s;
  s.action = Action::cut;
  s.bytes = bytes;
  return s;
}

RpcStep RpcStep::silent() {
  RpcStep s;
  s.action = Action::silent;
  return s;
}

RpcStep RpcStep::refuse(int ms) {
  RpcStep s;
  s.action = Action::refuse;
  s.ms = ms;
  return s;
}

// --- Model --------------------------------------------------------------------

FakeClientModel::FakeClientModel() {
  host_info.clear_host_info();
  host_info.coprocs.clear();
  host_info.coprocs.n_rsc = 1;
  copy_text(host_info.coprocs.coprocs[0].type, sizeof(host_info.coprocs.coprocs[0].type), "CPU");
  // The host the reference client ran on.
  copy_text(host_info.domain_name, sizeof(host_info.domain_name), "vm");
  copy_text(host_info.ip_addr, sizeof(host_info.ip_addr), "127.0.0.1");
  copy_text(host_info.host_cpid, sizeof(host_info.host_cpid), "108cd96153d0a423d8c80c2c1d5e1702");
  host_info.p_ncpus = 4;
  copy_text(host_info.p_vendor, sizeof(host_info.p_vendor), "AuthenticAMD");
  copy_text(host_info.p_model, sizeof(host_info.p_model),
            "AMD EPYC [Family 25 Model 17 Stepping 1]");
  copy_text(host_info.p_features, sizeof(host_info.p_features),
            "fpu vme de pse tsc msr pae mce cx8 apic sep mtrr sse sse2 ht syscall nx lm");
  host_info.p_fpops = 1e9;
  host_info.p_iops = 1e9;
  host_info.p_membw = 1e9;
  host_info.m_nbytes = 25276018688.0;
  host_info.m_cache = 1048576.0;
  host_info.d_total = 270553174016.0;
  host_info.d_free = 85683597312.0;
  copy_text(host_info.os_name, sizeof(host_info.os_name), "Linux Debian");
  copy_text(host_info.os_version, sizeof(host_info.os_version),
            "Debian GNU/Linux 12 (bookworm) [6.1.0|libc 2.36]");
}

void FakeClientModel::set_results(const std::vector<RESULT>& results) {
  all = results;
  active.clear();
  for (const RESULT& r : results) {
    if (r.active_task) active.push_back(r);
  }
}

PROJECT& FakeClientModel::add_project(const std::string& url, const std::string& name, int hostid,
                                      bool non_cpu_intensive) {
  FakeProjectState ps;
  ps.project.clear();
  copy_text(ps.project.master_url, sizeof(ps.project.master_url), url);
  ps.project.project_name = name;
  ps.project.hostid = hostid;
  ps.project.non_cpu_intensive = non_cpu_intensive;
  projects.push_back(ps);
  return projects.back().project;
}

void FakeClientModel::add_app(const std::string& name, const std::string& user_friendly_name) {
  if (projects.empty()) {
    ADD_FAILURE() << "add_app before add_project";
    return;
  }
  APP a;
  a.clear();
  copy_text(a.name, sizeof(a.name), name);
  copy_text(a.user_friendly_name, sizeof(a.user_friendly_name), user_friendly_name);
  projects.back().apps.push_back(a);
}

void FakeClientModel::add_app_version(const std::string& app_name, int version_num,
                                      const std::string& platform,
                                      const std::string& plan_class) {
  if (projects.empty()) {
    ADD_FAILURE() << "add_app_version before add_project";
    return;
  }
  APP_VERSION v;
  v.clear();
  copy_text(v.app_name, sizeof(v.app_name), app_name);
  v.version_num = version_num;
  copy_text(v.platform, sizeof(v.platform), platform);
  copy_text(v.plan_class, sizeof(v.plan_class), plan_class);
  v.avg_ncpus = 1;
  v.flops = 1e9;
  projects.back().app_versions.push_back(v);
}

void FakeClientModel::add_workunit(const std::string& name, const std::string& app_name) {
  if (projects.empty()) {
    ADD_FAILURE() << "add_workunit before add_project";
    return;
  }
  WORKUNIT w;
  w.clear();
  copy_text(w.name, sizeof(w.name), name);
  copy_text(w.app_name, sizeof(w.app_name), app_name);
  w.version_num = 100;
  w.rsc_fpops_est = 1e11;
  w.rsc_fpops_bound = 2.4192e15;
  w.rsc_memory_bound = 1e8;
  w.rsc_disk_bound = 1e9;
  projects.back().workunits.push_back(w);
}

void FakeClientModel::add_nvidia(const std::string& name, int count, int multi_processor_count,
                                 int clock_rate) {
  COPROCS& cp = host_info.coprocs;
  if (cp.n_rsc >= MAX_RSC) {
    ADD_FAILURE() << "too many resource types";
    return;
  }
  COPROC_NVIDIA& g = cp.nvidia;
  g.clear();
  g.count = count;
  copy_text(g.prop.name, sizeof(g.prop.name), name);
  g.have_cuda = true;
  g.cuda_version = 11040;
  g.display_driver_version = 47014;
  g.prop.totalGlobalMem = 8589934592.0;
  g.available_ram = g.prop.totalGlobalMem;
  g.prop.sharedMemPerBlock = 49152;
  g.prop.regsPerBlock = 65536;
  g.prop.warpSize = 32;
  g.prop.memPitch = 2147483647;
  g.prop.maxThreadsPerBlock = 1024;
  g.prop.maxThreadsDim[0] = 1024;
  g.prop.maxThreadsDim[1] = 1024;
  g.prop.maxThreadsDim[2] = 64;
  g.prop.maxGridSize[0] = 2147483647;
  g.prop.maxGridSize[1] = 65535;
  g.prop.maxGridSize[2] = 65535;
  g.prop.clockRate = clock_rate;
  g.prop.totalConstMem = 65536;
  g.prop.major = 6;
  g.prop.minor = 1;
  g.prop.textureAlignment = 512;
  g.prop.deviceOverlap = 1;
  g.prop.multiProcessorCount = multi_processor_count;
  // What BOINC computes for compute capability 6.1: 128 cores per
  // multiprocessor, 2 operations per clock, clockRate in kHz.
  g.peak_flops = 1000.0 * clock_rate * multi_processor_count * 128 * 2;
  cp.coprocs[cp.n_rsc++] = g;
}

void FakeClientModel::add_ati(const std::string& name, int count, int target, int number_of_simd,
                              int engine_clock) {
  COPROCS& cp = host_info.coprocs;
  if (cp.n_rsc >= MAX_RSC) {
    ADD_FAILURE() << "too many resource types";
    return;
  }
  COPROC_ATI& g = cp.ati;
  g.clear();
  g.count = count;
  copy_text(g.name, sizeof(g.name), name);
  copy_text(g.version, sizeof(g.version), "1.4.1848");
  g.have_cal = true;
  set_ati_target(g, target);
  g.attribs.localRAM = 2048;
  g.attribs.engineClock = static_cast<CALuint>(engine_clock);
  g.attribs.memoryClock = 1200;
  g.attribs.wavefrontSize = 64;
  g.attribs.numberOfSIMD = static_cast<CALuint>(number_of_simd);
  g.attribs.doublePrecision = CAL_TRUE;
  g.attribs.pitch_alignment = 256;
  g.attribs.surface_alignment = 256;
  g.info.maxResource1DWidth = 16384;
  g.info.maxResource2DWidth = 16384;
  g.info.maxResource2DHeight = 16384;
  g.available_ram = 2048.0 * 1024 * 1024;
  // BOINC's CAL estimate: SIMDs x wavefront x 5 x clock (MHz).
  g.peak_flops = 1e6 * number_of_simd * 64 * 5 * engine_clock;
  cp.coprocs[cp.n_rsc++] = g;
}

void FakeClientModel::add_coproc(const std::string& type, int count) {
  COPROCS& cp = host_info.coprocs;
  if (cp.n_rsc >= MAX_RSC) {
    ADD_FAILURE() << "too many resource types";
    return;
  }
  COPROC& c = cp.coprocs[cp.n_rsc++];
  c.clear();
  copy_text(c.type, sizeof(c.type), type);
  c.count = count;
}

int ati_target(const COPROC_ATI& ati) {
  static_assert(sizeof(ati.attribs.target) == sizeof(int), "CALtarget is not int-sized");
  int target = 0;
  memcpy(&target, &ati.attribs.target, sizeof(target));
  return target;
}

void set_ati_target(COPROC_ATI& ati, int target) {
  memcpy(&ati.attribs.target, &target, sizeof(target));
}

RESULT make_finished_result(const std::string& name, const std::string& wu_name,
                            const std::string& project_url, double final_cpu_time,
                            double final_elapsed_time) {
  RESULT r = make_result(name, wu_name, project_url);
  r.state = 5;
  r.ready_to_report = true;
  r.final_cpu_time = final_cpu_time;
  r.final_elapsed_time = final_elapsed_time;
  r.estimated_cpu_time_remaining = 0;
  return r;
}

std::string model_reply_body(const FakeClientModel& model, RpcKind kind) {
  switch (kind) {
    case RpcKind::exchange_versions: return version_body(model);
    case RpcKind::get_cc_status: return cc_status_body(model);
    case RpcKind::get_host_info: {
      std::string out;
      write_host_info(out, model.host_info);
      return out;
    }
    case RpcKind::get_results_active: return results_body(model.active);
    case RpcKind::get_results_all: return results_body(model.all);
    case RpcKind::get_state: return state_body(model);
    case RpcKind::unknown: break;
  }
  return "<error>unrecognized op</error>\n";
}

// --- Server -------------------------------------------------------------------

struct FakeGuiRpcServer::Connection {
  int fd = -1;
  int id = 0;
  std::string in;           // bytes of the request being read
  std::string out;          // bytes still to send
  bool close_after = false; // close once `out` is sent
  bool silent = false;      // holding the connection without answering
  Clock::time_point since;  // start of the current wait (request, idle, hold)
};

FakeGuiRpcServer::FakeGuiRpcServer() = default;

FakeGuiRpcServer::~FakeGuiRpcServer() { stop(); }

int FakeGuiRpcServer::open_listener(bool quiet) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  int one = 1;
  // Lets the server listen again on its port while closed connections of
  // the previous listener linger in TIME_WAIT.
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in addr;
  memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port_));
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd, 16) != 0) {
    if (!quiet) {
      fprintf(stderr, "fake GUI RPC server: cannot listen on 127.0.0.1:%d: %s\n", port_,
              strerror(errno));
    }
    ::close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

bool FakeGuiRpcServer::start(int port, bool quiet) {
  if (running_) return true;
  port_ = port;
  listen_fd_ = open_listener(quiet);
  if (listen_fd_ < 0) return false;
  sockaddr_in addr;
  socklen_t len = sizeof(addr);
  getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  if (pipe(wake_pipe_) != 0) {
    ::close(listen_fd_);
    listen_fd_ = -1;
    return false;
  }
  listening_ = true;
  running_ = true;
  thread_ = std::thread([this] { serve(); });
  return true;
}

void FakeGuiRpcServer::stop() {
  if (!running_) return;
  running_ = false;
  if (wake_pipe_[1] >= 0 && write(wake_pipe_[1], "x", 1) < 0) {
  }
  if (thread_.joinable()) thread_.join();
  if (listen_fd_ >= 0) ::close(listen_fd_);
  listen_fd_ = -1;
  listening_ = false;
  for (int& fd : wake_pipe_) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

void FakeGuiRpcServer::script(RpcKind kind, std::vector<RpcStep> steps) {
  std::lock_guard<std::mutex> lock(mutex_);
  scripts_[kind] = std::move(steps);
  counts_[kind] = 0;
}

void FakeGuiRpcServer::edit(const std::function<void(FakeClientModel&)>& change) {
  std::lock_guard<std::mutex> lock(mutex_);
  change(model_);
}

FakeClientModel FakeGuiRpcServer::model() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_;
}

void FakeGuiRpcServer::on_request(
    std::function<void(RpcKind kind, int count, FakeClientModel& model)> hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  hook_ = std::move(hook);
}

void FakeGuiRpcServer::refuse_connections(int ms) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    refuse_request_ms_ = ms;
  }
  // Wait (bounded) until the server thread has closed its listener, so that
  // the caller's next connection is refused.
  for (int i = 0; i < 200 && running_; i++) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (refuse_request_ms_ < 0) return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool FakeGuiRpcServer::listening() const { return listening_; }

std::vector<FakeGuiRpcServer::Request> FakeGuiRpcServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

int FakeGuiRpcServer::count(RpcKind kind) const {
  std::lock_guard<std::mutex> lock(mutex_);
  int n = 0;
  for (const Request& r : requests_) n += r.kind == kind ? 1 : 0;
  return n;
}

int FakeGuiRpcServer::connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

RpcStep FakeGuiRpcServer::next_step(RpcKind kind, int index) const {
  auto it = scripts_.find(kind);
  if (it == scripts_.end() || it->second.empty()) return RpcStep::answer();
  const std::vector<RpcStep>& steps = it->second;
  return steps[std::min(static_cast<size_t>(index), steps.size() - 1)];
}

// Decides what to do with one complete request (its text between the
// request tags) and queues the bytes to send.
void FakeGuiRpcServer::handle_request(Connection& conn, const std::string& text) {
  RpcKind kind = classify(text);
  RpcStep step;
  std::string full_reply;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(Request{kind, text, conn.id});
    int index = counts_[kind]++;
    if (hook_) hook_(kind, index, model_);
    if (kind == RpcKind::unknown) {
      step = RpcStep::reply("<error>unrecognized op: " + op_name(text) + "</error>\n");
    } else {
      step = next_step(kind, index);
      if (step.action == RpcStep::Action::answer || step.action == RpcStep::Action::cut) {
        full_reply = frame_reply(model_reply_body(model_, kind));
      }
    }
    if (step.action == RpcStep::Action::refuse) refuse_request_ms_ = step.ms;
  }
  conn.since = Clock::now();
  switch (step.action) {
    case RpcStep::Action::answer:
      conn.out += full_reply;
      break;
    case RpcStep::Action::reply:
      conn.out += frame_reply(step.body);
      break;
    case RpcStep::Action::error:
      conn.out += frame_reply("<error>" + step.body + "</error>\n");
      break;
    case RpcStep::Action::close:
    case RpcStep::Action::refuse:
      conn.close_after = true;
      break;
    case RpcStep::Action::cut: {
      size_t n = step.bytes ? step.bytes : full_reply.size() / 2;
      // Never the whole reply: the end marker is always missing.
      n = std::min(n, full_reply.size() - 1);
      conn.out += full_reply.substr(0, n);
      conn.close_after = true;
      break;
    }
    case RpcStep::Action::silent:
      conn.silent = true;
      break;
  }
}

void FakeGuiRpcServer::serve() {
  std::vector<std::unique_ptr<Connection>> conns;
  int next_id = 1;
  bool refusing = false;
  Clock::time_point refuse_until;
  int relisten_tries = 0;

  // A refusal asked for (by a step or by refuse_connections): close the
  // listener at once, so that the next connection is refused.
  auto take_refusal = [&] {
    int ms = -1;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ms = refuse_request_ms_;
      refuse_request_ms_ = -1;
    }
    if (ms < 0) return;
    if (listen_fd_ >= 0) ::close(listen_fd_);
    listen_fd_ = -1;
    listening_ = false;
    refusing = true;
    relisten_tries = 0;
    refuse_until = Clock::now() + std::chrono::milliseconds(ms);
  };

  while (running_) {
    take_refusal();
    if (refusing && Clock::now() >= refuse_until) {
      listen_fd_ = open_listener(relisten_tries + 1 < kRelistenTries);
      if (listen_fd_ >= 0) {
        refusing = false;
        listening_ = true;
      } else if (++relisten_tries >= kRelistenTries) {
        refusing = false;  // gave up (reported on stderr): stays closed
      } else {
        refuse_until = Clock::now() + std::chrono::milliseconds(50);
      }
    }

    std::vector<pollfd> fds;
    fds.push_back(pollfd{wake_pipe_[0], POLLIN, 0});
    bool polled_listener = listen_fd_ >= 0;
    if (polled_listener) fds.push_back(pollfd{listen_fd_, POLLIN, 0});
    size_t first_conn = fds.size();
    for (const auto& c : conns) {
      short events = POLLIN;
      if (!c->out.empty()) events |= POLLOUT;
      fds.push_back(pollfd{c->fd, events, 0});
    }
    int n = poll(fds.data(), fds.size(), kPollMs);
    if (n < 0 && errno != EINTR) break;
    if (!running_) break;

    size_t polled_conns = conns.size();
    if (polled_listener && listen_fd_ >= 0 && (fds[1].revents & POLLIN)) {
      // A bounded number of accepts per pass.
      for (int i = 0; i < 16; i++) {
        int fd = accept(listen_fd_, nullptr, nullptr);
        if (fd < 0) break;
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        auto c = std::make_unique<Connection>();
        c->fd = fd;
        c->id = next_id++;
        c->since = Clock::now();
        {
          std::lock_guard<std::mutex> lock(mutex_);
          connections_++;
        }
        conns.push_back(std::move(c));
      }
    }

    for (size_t i = 0; i < polled_conns; i++) {
      Connection& c = *conns[i];
      short revents = fds[first_conn + i].revents;
      bool drop = false;
      if (revents & (POLLIN | POLLHUP | POLLERR)) {
        char buf[8192];
        ssize_t got = recv(c.fd, buf, sizeof(buf), 0);
        if (got == 0) {
          drop = true;  // the peer closed
        } else if (got < 0) {
          drop = errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
        } else if (!c.silent && !c.close_after) {
          if (c.in.empty()) c.since = Clock::now();
          c.in.append(buf, static_cast<size_t>(got));
          size_t end = c.in.find('\003');
          if (end != std::string::npos) {
            std::string request = c.in.substr(0, end);
            c.in.erase(0, end + 1);
            const std::string open = "<boinc_gui_rpc_request>";
            const std::string close = "</boinc_gui_rpc_request>";
            size_t a = request.find(open);
            size_t b = request.rfind(close);
            if (a != std::string::npos && b != std::string::npos && b >= a + open.size()) {
              request = request.substr(a + open.size(), b - a - open.size());
            }
            if (!request.empty() && request[0] == '\n') request.erase(0, 1);
            handle_request(c, request);
            take_refusal();
          } else if (c.in.size() > kMaxRequestBytes) {
            drop = true;
          }
        }
      }
      if (!drop && !c.out.empty()) {
        ssize_t sent = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
        if (sent > 0) {
          c.out.erase(0, static_cast<size_t>(sent));
        } else if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
          drop = true;
        }
      }
      if (!drop && c.close_after && c.out.empty()) drop = true;
      if (!drop && c.silent && ms_since(c.since) > kSilentHoldMs) drop = true;
      if (!drop && !c.in.empty() && ms_since(c.since) > kRequestTimeoutMs) drop = true;
      if (!drop && c.in.empty() && c.out.empty() && ms_since(c.since) > kIdleTimeoutMs) drop = true;
      if (drop) {
        ::close(c.fd);
        c.fd = -1;
      }
    }
    conns.erase(std::remove_if(conns.begin(), conns.end(),
                               [](const std::unique_ptr<Connection>& c) { return c->fd < 0; }),
                conns.end());
  }
  for (auto& c : conns) ::close(c->fd);
}
