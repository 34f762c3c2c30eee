#include "client/state_index.h"

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

// The queries on the state file. Each one is defined by its literal text, in
// which the looked-up value stands between single quotes:
//
//   project      "/client_state/project[master_url='" + URL + "']"
//   non-CPU      "/client_state/project[master_url='" + URL + "']/non_cpu_intensive"
//   work unit    "/client_state/workunit[name='" + work-unit name + "']"
//   application  "/client_state/app[name='" + application name + "']"
//   version      "/client_state/app_version[app_name='" + application name +
//                "' and version_num='" + version number in decimal + "']"
//   result       "/client_state/result[name='" + result name + "']"
//
// The values come from the client and may hold any character, quotes
// included, so no query text is ever built from them (a quote would end the
// literal early and pugixml throws on the malformed text). Instead each query
// is compiled once with an XPath string variable in place of the quoted
// literal: comparing a node set with a string variable is the same string
// comparison as comparing it with the literal, for every value, and it also
// matches values that hold quotes. The texts below are constants that compile
// and evaluate to node sets, so neither compiling nor evaluating them throws.
const char kValueVariable[] = "value";
const char kVersionVariable[] = "version";
const char kProjectQuery[] = "/client_state/project[master_url=$value]";
const char kNonCpuIntensiveQuery[] =
    "/client_state/project[master_url=$value]/non_cpu_intensive";
const char kWorkunitQuery[] = "/client_state/workunit[name=$value]";
const char kAppQuery[] = "/client_state/app[name=$value]";
const char kAppVersionQuery[] =
    "/client_state/app_version[app_name=$value and version_num=$version]";
const char kResultQuery[] = "/client_state/result[name=$value]";

class StateQueries {
 public:
  StateQueries() {
    value_ = variables_.add(kValueVariable, pugi::xpath_type_string);
    version_ = variables_.add(kVersionVariable, pugi::xpath_type_string);
    queries_[static_cast<int>(StateLookup::kProject)] = pugi::xpath_query(kProjectQuery, &variables_);
    queries_[static_cast<int>(StateLookup::kNonCpuIntensive)] =
        pugi::xpath_query(kNonCpuIntensiveQuery, &variables_);
    queries_[static_cast<int>(StateLookup::kWorkunit)] =
        pugi::xpath_query(kWorkunitQuery, &variables_);
    queries_[static_cast<int>(StateLookup::kApp)] = pugi::xpath_query(kAppQuery, &variables_);
    queries_[static_cast<int>(StateLookup::kAppVersion)] =
        pugi::xpath_query(kAppVersionQuery, &variables_);
    queries_[static_cast<int>(StateLookup::kResult)] = pugi::xpath_query(kResultQuery, &variables_);
  }
  StateQueries(const StateQueries&) = delete;
  StateQueries& operator=(const StateQueries&) = delete;

  // The first element in document order that the query of `kind` selects
  // with $value (and $version) set as given; an empty node when none.
  pugi::xml_node first(const pugi::xml_document& document, StateLookup kind,
                       const std::string& value, const std::string& version) {
    value_->set(value.c_str());
    version_->set(version.c_str());
    return document.select_node(queries_[static_cast<int>(kind)]).node();
  }

 private:
  pugi::xpath_variable_set variables_;
  pugi::xpath_variable* value_ = nullptr;
  pugi::xpath_variable* version_ = nullptr;
  pugi::xpath_query queries_[kStateLookupKinds];
};

StateQueries& queries() {
  static StateQueries instance;
  return instance;
}

bool is_element(pugi::xml_node node, const char* name) {
  return node.type() == pugi::node_element && strcmp(node.name(), name) == 0;
}

bool is_text(pugi::xml_node node) {
  return node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata;
}

// Appends the text below `element` in document order: each element's own
// value (its leading text, when the document embeds it) before its
// children's, and the text of every PCDATA and CDATA node. Iterative, for
// any depth of nesting.
void append_text_below(pugi::xml_node element, std::string* out) {
  out->append(element.value());
  pugi::xml_node n = element.first_child();
  while (n) {
    if (n.type() == pugi::node_element || is_text(n)) out->append(n.value());
    if (n.type() == pugi::node_element && n.first_child()) {
      n = n.first_child();
      continue;
    }
    while (n != element && !n.next_sibling()) n = n.parent();
    if (n == element) break;
    n = n.next_sibling();
  }
}

// The XPath string-value of an element as the default parse gives it: the
// text of all its text descendants, CDATA sections included, in document
// order, with any embedded text in its place (an element's leading text,
// before all its children). An element that holds one text (the usual case,
// embedded or not) gives a view of that text, an empty one gives an empty
// view; anything else is put together in *storage.
std::string_view string_value(pugi::xml_node element, std::string* storage) {
  pugi::xml_node first = element.first_child();
  const char* own = element.value();
  if (!first) return std::string_view(own);
  if (own[0] == '\0' && is_text(first) && !first.next_sibling()) {
    return std::string_view(first.value());
  }
  storage->clear();
  append_text_below(element, storage);
  return std::string_view(*storage);
}

// The value as the query compares it: up to its first byte 0.
std::string_view compared(const std::string& value) { return std::string_view(value.c_str()); }

const char kStateRoot[] = "client_state";
const char kNonCpuIntensiveChild[] = "non_cpu_intensive";
const char kVersionChild[] = "version_num";

}  // namespace

pugi::xml_node select_state_node(const pugi::xml_document& document, StateLookup kind,
                                 const std::string& value, const std::string& version) {
  return queries().first(document, kind, value, version);
}

std::string_view StateIndex::key_of(pugi::xml_node child) {
  std::string storage;
  std::string_view key = string_value(child, &storage);
  if (key.empty()) return std::string_view();
  if (key.data() != storage.data()) return key;
  texts_.push_back(std::move(storage));
  return std::string_view(texts_.back());
}

void StateIndex::walk(const pugi::xml_document& document) {
  if (walked_) return;
  walked_ = true;
  static const char* const kNames[kBuckets] = {"project", "workunit", "app", "app_version",
                                               "result"};
  // Document order: every client_state element at the top (pugixml accepts
  // several), each one's children in turn.
  for (pugi::xml_node root = document.first_child(); root; root = root.next_sibling()) {
    if (!is_element(root, kStateRoot)) continue;
    for (pugi::xml_node element = root.first_child(); element; element = element.next_sibling()) {
      if (element.type() != pugi::node_element) continue;
      for (int b = 0; b < kBuckets; b++) {
        if (strcmp(element.name(), kNames[b]) == 0) {
          elements_[b].push_back(element);
          break;
        }
      }
    }
  }
}

void StateIndex::build_kind(StateLookup kind) {
  const int k = static_cast<int>(kind);
  if (built_[k]) return;
  built_[k] = true;
  // An element keeps the values it is the first to carry: emplace leaves an
  // existing key alone.
  Map& first = first_[k];
  switch (kind) {
    case StateLookup::kProject:
    case StateLookup::kNonCpuIntensive:
      for (pugi::xml_node project : elements_[kProjects]) {
        pugi::xml_node target = project;
        if (kind == StateLookup::kNonCpuIntensive) {
          // The first flag of the first project, in document order, that
          // has both the URL and a flag.
          target = pugi::xml_node();
          for (pugi::xml_node c = project.first_child(); c && !target; c = c.next_sibling()) {
            if (is_element(c, kNonCpuIntensiveChild)) target = c;
          }
          if (!target) continue;
        }
        for (pugi::xml_node c = project.first_child(); c; c = c.next_sibling()) {
          if (is_element(c, "master_url")) first.emplace(key_of(c), target);
        }
      }
      break;
    case StateLookup::kAppVersion: {
      // Each element once per application name, however many children carry
      // it.
      std::vector<std::string_view> seen;
      for (pugi::xml_node version : elements_[kAppVersions]) {
        seen.clear();
        for (pugi::xml_node c = version.first_child(); c; c = c.next_sibling()) {
          if (!is_element(c, "app_name")) continue;
          std::string_view key = key_of(c);
          bool again = false;
          for (std::string_view v : seen) again = again || v == key;
          if (again) continue;
          seen.push_back(key);
          versions_[key].push_back(version);
        }
      }
      break;
    }
    case StateLookup::kWorkunit:
    case StateLookup::kApp:
    case StateLookup::kResult: {
      const int bucket = kind == StateLookup::kWorkunit ? kWorkunits
                         : kind == StateLookup::kApp    ? kApps
                                                        : kResults;
      for (pugi::xml_node element : elements_[bucket]) {
        for (pugi::xml_node c = element.first_child(); c; c = c.next_sibling()) {
          if (is_element(c, "name")) first.emplace(key_of(c), element);
        }
      }
      break;
    }
  }
}

void StateIndex::build(const pugi::xml_document& document) {
  walk(document);
  for (int k = 0; k < kStateLookupKinds; k++) build_kind(static_cast<StateLookup>(k));
}

pugi::xml_node StateIndex::find(StateLookup kind, const std::string& value,
                                const std::string& version) const {
  const std::string_view v = compared(value);
  if (kind != StateLookup::kAppVersion) {
    const Map& first = first_[static_cast<int>(kind)];
    auto found = first.find(v);
    return found == first.end() ? pugi::xml_node() : found->second;
  }
  auto found = versions_.find(v);
  if (found == versions_.end()) return pugi::xml_node();
  const std::string_view w = compared(version);
  std::string storage;
  for (pugi::xml_node element : found->second) {
    for (pugi::xml_node c = element.first_child(); c; c = c.next_sibling()) {
      if (is_element(c, kVersionChild) && string_value(c, &storage) == w) return element;
    }
  }
  return pugi::xml_node();
}

void StateIndex::clear() {
  walked_ = false;
  for (std::vector<pugi::xml_node>& bucket : elements_) bucket.clear();
  for (int k = 0; k < kStateLookupKinds; k++) {
    built_[k] = false;
    first_[k].clear();
  }
  versions_.clear();
  texts_.clear();
}

pugi::xml_node StateIndex::lookup(const pugi::xml_document& document, StateLookup kind,
                                  const std::string& value, const std::string& version) {
  walk(document);
  build_kind(kind);
  return find(kind, value, version);
}

// --- The client's records -------------------------------------------------------

template <typename Record, typename Key>
const Record* RecordIndex::find(Map<Record>& map, const std::vector<Record*>& list,
                                const std::string& value, Key key) {
  if (map.built && (map.list != static_cast<const void*>(list.data()) || map.size != list.size())) {
    map.first.clear();
    map.built = false;
  }
  if (!map.built) {
    if (map.scans < kDirectScans) {
      map.scans++;
      for (const Record* r : list) {
        if (r && key(*r) == value) return r;
      }
      return nullptr;
    }
    for (const Record* r : list) {
      if (r) map.first.emplace(key(*r), r);  // an earlier record keeps the key
    }
    map.built = true;
    map.list = list.data();
    map.size = list.size();
  }
  auto found = map.first.find(value);
  return found == map.first.end() ? nullptr : found->second;
}

// The records' names are C strings: a value holding a byte 0 equals none.
const PROJECT* RecordIndex::project(const std::vector<PROJECT*>& list,
                                   const std::string& master_url) {
  if (master_url.find('\0') != std::string::npos) return nullptr;
  return find(projects_, list, master_url, [](const PROJECT& p) { return std::string(p.master_url); });
}

const WORKUNIT* RecordIndex::workunit(const std::vector<WORKUNIT*>& list, const std::string& name) {
  if (name.find('\0') != std::string::npos) return nullptr;
  return find(workunits_, list, name, [](const WORKUNIT& w) { return std::string(w.name); });
}

const APP* RecordIndex::app(const std::vector<APP*>& list, const std::string& name) {
  if (name.find('\0') != std::string::npos) return nullptr;
  return find(apps_, list, name, [](const APP& a) { return std::string(a.name); });
}

const APP_VERSION* RecordIndex::app_version(const std::vector<APP_VERSION*>& list,
                                            const std::string& app_name, int version_num) {
  if (app_name.find('\0') != std::string::npos) return nullptr;
  // Name, byte 0, number: no name holds a byte 0, so the pair is unambiguous.
  auto key = [](const std::string& name, int number) {
    std::string k = name;
    k.push_back('\0');
    return k + std::to_string(number);
  };
  return find(versions_, list, key(app_name, version_num),
              [&](const APP_VERSION& v) { return key(v.app_name, v.version_num); });
}

const RESULT* RecordIndex::result(const std::vector<RESULT*>& list, const std::string& name) {
  if (name.find('\0') != std::string::npos) return nullptr;
  return find(results_, list, name, [](const RESULT& r) { return std::string(r.name); });
}

void RecordIndex::clear() {
  projects_ = Map<PROJECT>();
  workunits_ = Map<WORKUNIT>();
  apps_ = Map<APP>();
  versions_ = Map<APP_VERSION>();
  results_ = Map<RESULT>();
}
