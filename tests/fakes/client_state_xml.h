// Builds a client_state.xml as the BOINC client writes it, element by element,
// for tests that need the client's state file.
#ifndef COLLECTOR_TESTS_FAKES_CLIENT_STATE_XML_H_
#define COLLECTOR_TESTS_FAKES_CLIENT_STATE_XML_H_

#include <string>
#include <vector>

class ClientStateXml {
 public:
  ClientStateXml& project(const std::string& url, const std::string& name, int hostid,
                          bool non_cpu_intensive = false);
  ClientStateXml& app(const std::string& name, const std::string& user_friendly_name);
  ClientStateXml& app_version(const std::string& app, int version, const std::string& platform,
                              const std::vector<std::string>& files = {});
  ClientStateXml& workunit(const std::string& name, const std::string& app,
                           const std::vector<std::string>& files = {});
  // A result; state 5 with final times makes it finished.
  ClientStateXml& result(const std::string& name, const std::string& wu, int state,
                         const std::string& final_cpu_time = "",
                         const std::string& final_elapsed_time = "",
                         const std::string& plan_class = "");
  std::string text() const { return "<client_state>\n" + body_ + "</client_state>\n"; }
  void write(const std::string& path) const;

 private:
  std::string body_;
};

#endif  // COLLECTOR_TESTS_FAKES_CLIENT_STATE_XML_H_
