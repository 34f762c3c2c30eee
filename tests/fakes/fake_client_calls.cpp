#include "tests/fakes/fake_client_calls.h"

#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>

namespace {

void copy_text(char* field, size_t size, const std::string& text) {
  size_t n = std::min(size - 1, text.size());
  memcpy(field, text.data(), n);
  field[n] = '\0';
}

}  // namespace

RESULT make_result(const std::string& name, const std::string& wu_name,
                   const std::string& project_url) {
  RESULT r;
  r.clear();
  copy_text(r.name, sizeof(r.name), name);
  copy_text(r.wu_name, sizeof(r.wu_name), wu_name);
  copy_text(r.project_url, sizeof(r.project_url), project_url);
  r.state = 2;
  r.version_num = 100;
  return r;
}

RESULT make_executing(const std::string& name, const std::string& wu_name,
                      const std::string& project_url, int slot) {
  RESULT r = make_result(name, wu_name, project_url);
  r.active_task = true;
  r.active_task_state = 1;
  r.slot = slot;
  return r;
}

FakeClientCalls::FakeClientCalls() {
  host_info.clear_host_info();
  host_info.coprocs.n_rsc = 1;
}

void FakeClientCalls::add_project(const std::string& url, const std::string& name, int hostid,
                                  bool non_cpu_intensive) {
  PROJECT p;
  p.clear();
  copy_text(p.master_url, sizeof(p.master_url), url);
  p.project_name = name;
  p.hostid = hostid;
  p.non_cpu_intensive = non_cpu_intensive;
  projects.push_back(p);
}

void FakeClientCalls::add_app(const std::string& name, const std::string& user_friendly_name) {
  APP a;
  a.clear();
  copy_text(a.name, sizeof(a.name), name);
  copy_text(a.user_friendly_name, sizeof(a.user_friendly_name), user_friendly_name);
  apps.push_back(a);
}

void FakeClientCalls::add_app_version(const std::string& app_name, int version_num,
                                      const std::string& platform) {
  APP_VERSION v;
  v.clear();
  copy_text(v.app_name, sizeof(v.app_name), app_name);
  v.version_num = version_num;
  copy_text(v.platform, sizeof(v.platform), platform);
  app_versions.push_back(v);
}

void FakeClientCalls::add_workunit(const std::string& name, const std::string& app_name) {
  WORKUNIT w;
  w.clear();
  copy_text(w.name, sizeof(w.name), name);
  copy_text(w.app_name, sizeof(w.app_name), app_name);
  workunits.push_back(w);
}

int FakeClientCalls::count(const std::string& call) const {
  return static_cast<int>(std::count(calls.begin(), calls.end(), call));
}

int FakeClientCalls::begin(const std::string& call) {
  calls.push_back(call);
  if (unexpected.count(call)) ADD_FAILURE() << "unexpected client call " << call;
  if (before_call) before_call(call);
  if (!reachable) return -1;
  return request_error;
}

int FakeClientCalls::exchange_versions(VERSION_INFO& version) {
  int result = begin("exchange_versions");
  if (result != 0) return result;
  version.major = major_version;
  version.minor = 20;
  version.release = 5;
  return 0;
}

int FakeClientCalls::get_cc_status(CC_STATUS& status) {
  int result = begin("get_cc_status");
  if (result != 0) return result;
  status.clear();
  status.network_suspend_reason = network_suspend_reason;
  return 0;
}

int FakeClientCalls::get_host_info(HOST_INFO& host) {
  int result = begin("get_host_info");
  if (result != 0) return result;
  host = host_info;
  return 0;
}

int FakeClientCalls::get_results(RESULTS& results, bool active_only) {
  int result = begin(active_only ? "get_results(active)" : "get_results(all)");
  if (result != 0) return result;
  results.clear();
  for (const RESULT& r : active_only ? active : all) results.results.push_back(new RESULT(r));
  return 0;
}

int FakeClientCalls::get_state(CC_STATE& state) {
  int result = begin("get_state");
  if (result != 0) return result;
  state.clear();
  for (const PROJECT& p : projects) state.projects.push_back(new PROJECT(p));
  for (const APP& a : apps) state.apps.push_back(new APP(a));
  for (const APP_VERSION& v : app_versions) state.app_versions.push_back(new APP_VERSION(v));
  for (const WORKUNIT& w : workunits) state.wus.push_back(new WORKUNIT(w));
  for (const RESULT& r : all) state.results.push_back(new RESULT(r));
  return 0;
}
