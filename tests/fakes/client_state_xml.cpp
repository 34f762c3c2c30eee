#include "tests/fakes/client_state_xml.h"

#include "tests/fakes/test_support.h"

namespace {

std::string file_refs(const std::vector<std::string>& files) {
  std::string text;
  for (const std::string& f : files) {
    text += "    <file_ref>\n        <file_name>" + f + "</file_name>\n    </file_ref>\n";
  }
  return text;
}

}  // namespace

ClientStateXml& ClientStateXml::project(const std::string& url, const std::string& name,
                                        int hostid, bool non_cpu_intensive) {
  body_ += "<project>\n    <master_url>" + url + "</master_url>\n    <project_name>" + name +
           "</project_name>\n    <hostid>" + std::to_string(hostid) + "</hostid>\n" +
           (non_cpu_intensive ? "    <non_cpu_intensive/>\n" : "") + "</project>\n";
  return *this;
}

ClientStateXml& ClientStateXml::app(const std::string& name, const std::string& friendly) {
  body_ += "<app>\n    <name>" + name + "</name>\n    <user_friendly_name>" + friendly +
           "</user_friendly_name>\n</app>\n";
  return *this;
}

ClientStateXml& ClientStateXml::app_version(const std::string& app, int version,
                                            const std::string& platform,
                                            const std::vector<std::string>& files) {
  body_ += "<app_version>\n    <app_name>" + app + "</app_name>\n    <version_num>" +
           std::to_string(version) + "</version_num>\n    <platform>" + platform +
           "</platform>\n" + file_refs(files) + "</app_version>\n";
  return *this;
}

ClientStateXml& ClientStateXml::workunit(const std::string& name, const std::string& app,
                                         const std::vector<std::string>& files) {
  body_ += "<workunit>\n    <name>" + name + "</name>\n    <app_name>" + app +
           "</app_name>\n" + file_refs(files) + "</workunit>\n";
  return *this;
}

ClientStateXml& ClientStateXml::result(const std::string& name, const std::string& wu,
                                       int state, const std::string& cpu,
                                       const std::string& elapsed,
                                       const std::string& plan_class) {
  body_ += "<result>\n    <name>" + name + "</name>\n";
  if (!cpu.empty()) body_ += "    <final_cpu_time>" + cpu + "</final_cpu_time>\n";
  if (!elapsed.empty()) body_ += "    <final_elapsed_time>" + elapsed + "</final_elapsed_time>\n";
  body_ += "    <state>" + std::to_string(state) + "</state>\n";
  if (!plan_class.empty()) body_ += "    <plan_class>" + plan_class + "</plan_class>\n";
  body_ += "    <wu_name>" + wu + "</wu_name>\n</result>\n";
  return *this;
}

void ClientStateXml::write(const std::string& path) const { write_file(path, text()); }
