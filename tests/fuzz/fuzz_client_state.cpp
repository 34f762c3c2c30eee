// The client state document and every lookup in it, with names taken from
// the input, against a walk of the document as pugixml parses it by default.
//
// Input: the bytes of client_state.xml, then, after a NUL byte, names
// separated by NUL bytes (quotes, ";", "|", TABs, line ends, long or
// non-UTF-8 texts: anything but NUL). The document is written as
// client_state.xml in a scratch data directory and loaded by
// load_client_state; every lookup then runs with each name of the input and
// each name the document itself holds.
//
// The walk: a query selects the first element <client_state>/<kind>, in
// document order, that has a child of the given name whose text (XPath
// string value: all text below it, CDATA included) equals the name exactly;
// the non-CPU-intensive flag is true when any such project has a
// non_cpu_intensive child; a version is compared as its decimal text. When
// the document cannot be loaded, the lookups read the fake client's records
// (empty here): every text empty, no work-unit file list.
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include <pugixml.hpp>

#include "client/client_state.h"
#include "driver/collector.h"
#include "driver/text.h"
#include "tests/fakes/fake_client_calls.h"
#include "tests/fakes/fake_clock.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

const size_t kNamesPerKind = 6;
const size_t kInputNames = 8;

// The XPath string value of `node`: its text nodes in document order.
std::string string_value(pugi::xml_node node) {
  std::string text;
  pugi::xml_node n = node.first_child();
  while (n) {
    if (n.type() == pugi::node_pcdata || n.type() == pugi::node_cdata) text += n.value();
    if (n.first_child()) {
      n = n.first_child();
      continue;
    }
    while (n && n != node && !n.next_sibling()) n = n.parent();
    if (!n || n == node) break;
    n = n.next_sibling();
  }
  return text;
}

bool has_child_text(pugi::xml_node node, const char* child, const std::string& value) {
  for (pugi::xml_node c = node.child(child); c; c = c.next_sibling(child)) {
    if (string_value(c) == value) return true;
  }
  return false;
}

// The <client_state>/<kind> elements in document order.
std::vector<pugi::xml_node> elements(const pugi::xml_document& doc, const char* kind) {
  std::vector<pugi::xml_node> found;
  for (pugi::xml_node root = doc.child("client_state"); root;
       root = root.next_sibling("client_state")) {
    for (pugi::xml_node e = root.child(kind); e; e = e.next_sibling(kind)) found.push_back(e);
  }
  return found;
}

pugi::xml_node first_with(const pugi::xml_document& doc, const char* kind, const char* child,
                          const std::string& value) {
  for (pugi::xml_node e : elements(doc, kind)) {
    if (has_child_text(e, child, value)) return e;
  }
  return pugi::xml_node();
}

std::vector<std::string> file_refs(pugi::xml_node node) {
  std::vector<std::string> files;
  for (pugi::xml_node ref = node.child("file_ref"); ref; ref = ref.next_sibling("file_ref")) {
    files.push_back(ref.child_value("file_name"));
  }
  return files;
}

void add_name(std::vector<std::string>* names, const std::string& name) {
  for (const std::string& n : *names) {
    if (n == name) return;
  }
  names->push_back(name);
}

void check_file_lookups(Collector& c, const pugi::xml_document& doc, const std::string& name,
                        const std::vector<int>& versions) {
  const std::string where = " for " + shown(name);

  pugi::xml_node project = first_with(doc, "project", "master_url", name);
  FUZZ_CHECK(lookup_project_name(c, name) == project.child_value("project_name"),
             "project name" + where);
  FUZZ_CHECK(lookup_project_hostid(c, name) == project.child_value("hostid"), "host id" + where);
  bool nci = false;
  for (pugi::xml_node e : elements(doc, "project")) {
    if (has_child_text(e, "master_url", name) && e.child("non_cpu_intensive")) nci = true;
  }
  FUZZ_CHECK(lookup_non_cpu_intensive(c, name) == nci, "non-CPU-intensive flag" + where);

  pugi::xml_node workunit = first_with(doc, "workunit", "name", name);
  FUZZ_CHECK(lookup_workunit_app_name(c, name) == workunit.child_value("app_name"),
             "work unit's application" + where);
  std::vector<std::string> files = {"left over"};
  FUZZ_CHECK(lookup_workunit_files(c, name, &files), "a file list with the document");
  FUZZ_CHECK(files == file_refs(workunit), "work unit's files" + where);

  pugi::xml_node app = first_with(doc, "app", "name", name);
  FUZZ_CHECK(lookup_app_user_friendly_name(c, name) == app.child_value("user_friendly_name"),
             "user-friendly name" + where);

  for (int version : versions) {
    const std::string text = std::to_string(version);
    pugi::xml_node found;
    for (pugi::xml_node e : elements(doc, "app_version")) {
      if (has_child_text(e, "app_name", name) && has_child_text(e, "version_num", text)) {
        found = e;
        break;
      }
    }
    std::vector<std::string> version_files = {"left over"};
    FUZZ_CHECK(lookup_app_version(c, name, version, &version_files) ==
                   found.child_value("platform"),
               "platform" + where + " version " + text);
    FUZZ_CHECK(version_files == file_refs(found), "version's files" + where);
  }

  pugi::xml_node result = first_with(doc, "result", "name", name);
  ResultCompletion done = lookup_result_completion(c, name);
  const bool finished = result && std::string(result.child_value("state")) == "5";
  FUZZ_CHECK(done.finished == finished, "result finished" + where);
  if (finished) {
    FUZZ_CHECK(done.final_cpu_time == result.child_value("final_cpu_time"), "cpu time" + where);
    FUZZ_CHECK(done.final_elapsed_time == result.child_value("final_elapsed_time"),
               "elapsed time" + where);
    FUZZ_CHECK(done.plan_class == result.child_value("plan_class"), "plan class" + where);
  }
}

void check_rpc_lookups(Collector& c, const std::string& name, const std::vector<int>& versions) {
  FUZZ_CHECK(lookup_project_name(c, name).empty(), "no project without records");
  FUZZ_CHECK(lookup_project_hostid(c, name).empty(), "no host id without records");
  FUZZ_CHECK(!lookup_non_cpu_intensive(c, name), "no flag without records");
  FUZZ_CHECK(lookup_workunit_app_name(c, name).empty(), "no application without records");
  std::vector<std::string> files = {"left over"};
  FUZZ_CHECK(!lookup_workunit_files(c, name, &files) && files.empty(),
             "no work-unit file list from the client's records");
  FUZZ_CHECK(lookup_app_user_friendly_name(c, name).empty(), "no name without records");
  for (int version : versions) {
    FUZZ_CHECK(lookup_app_version(c, name, version, &files).empty() && files.empty(),
               "no platform without records");
  }
  FUZZ_CHECK(!lookup_result_completion(c, name).finished, "nothing finished without records");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> fields = split_fields(data, size, 1 + kInputNames);
  const std::string& dir = scratch_directory();
  FUZZ_CHECK(write_bytes(dir + "/client_state.xml", fields[0]), "scratch file written");

  static FakeClock* clock = new FakeClock();
  FakeClientCalls client;
  Collector c;
  c.clock = clock;
  c.client = &client;
  c.settings.test_mode = true;
  c.settings.data_directory = dir;
  quiet_log();

  FUZZ_CHECK(load_client_state(c), "the state is available (file or fake client)");
  const bool from_file = c.state.source == StateSource::kFile;

  std::vector<std::string> names;
  std::vector<int> versions = {0, INT_MIN};
  for (size_t i = 1; i < fields.size(); i++) {
    // A name ends at a NUL (the last field holds the rest of the input).
    const std::string name = fields[i].c_str();
    add_name(&names, name);
    versions.push_back(parse_int(name.c_str()));
  }
  // The walk reads the file as pugixml parses it by default, with every
  // text a node of its own: the lookups must give what that parse gives.
  pugi::xml_document doc;
  if (from_file) {
    FUZZ_CHECK(doc.load_file((dir + "/client_state.xml").c_str(), pugi::parse_default,
                             pugi::encoding_auto),
               "the file parses by default as it parsed for the collector");
    struct Kind { const char* kind; const char* child; };
    const Kind kinds[] = {{"project", "master_url"}, {"workunit", "name"}, {"app", "name"},
                          {"app_version", "app_name"}, {"result", "name"}};
    for (const Kind& k : kinds) {
      size_t taken = 0;
      for (pugi::xml_node e : elements(doc, k.kind)) {
        if (taken++ == kNamesPerKind) break;
        add_name(&names, string_value(e.child(k.child)));
        if (std::string(k.kind) == "app_version") {
          versions.push_back(parse_int(e.child_value("version_num")));
        }
      }
    }
  }
  if (versions.size() > 6) versions.resize(6);

  for (const std::string& name : names) {
    if (from_file) {
      check_file_lookups(c, doc, name, versions);
    } else {
      check_rpc_lookups(c, name, versions);
    }
  }
  return 0;
}
