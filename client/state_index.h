// The lookups in the client's state, and indexes that answer them without
// walking the whole state at every lookup.
//
// With the state file as source, each lookup is defined by an XPath query
// text (state_index.cpp lists them) evaluated with pugixml on the parsed
// document; select_state_node runs that query and is the reference.
// StateIndex answers the same lookups from maps: for every value, the element
// the query would select first. A query walks all the elements under
// client_state and compares the children of those of its kind; StateIndex
// walks them once, sorting them by kind, then builds the map of a kind the
// first time that kind is looked up. Building costs about as much as one
// query (measured: 8 to 12 ms for one query, 7 ms for the walk and 1 to 5 ms
// for a kind's map on a state of 10,000 results), so the maps answer from the
// first lookup on.
//
// With the client's GUI-RPC records as source, a lookup is the first record,
// in the order the client sent them, whose fields equal the looked-up
// values. Scanning a list is cheap next to building a map of it, so
// RecordIndex scans a list for its first kDirectScans lookups and then builds
// its map.
#ifndef COLLECTOR_CLIENT_STATE_INDEX_H_
#define COLLECTOR_CLIENT_STATE_INDEX_H_

#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <pugixml.hpp>

#include "gui_rpc_client.h"

// How the state file is parsed: pugixml's defaults, with an element's leading
// text kept as the element's value instead of a text node of its own
// (parse_embed_pcdata). Nearly every element of the state holds just a text,
// so the document needs about a third less memory and parses about a third
// faster. child_value() reads such text as before; string-values are taken by
// the index's own walk, which gives the text of the default parse. The query
// texts are evaluated on documents parsed with pugixml's defaults only (the
// embedded text is not what XPath sees as a text node).
const unsigned kStateParseOptions = pugi::parse_default | pugi::parse_embed_pcdata;

// The lookups in the state file, by the element they select.
enum class StateLookup {
  kProject,          // /client_state/project[master_url=V]
  kNonCpuIntensive,  // /client_state/project[master_url=V]/non_cpu_intensive
  kWorkunit,         // /client_state/workunit[name=V]
  kApp,              // /client_state/app[name=V]
  kAppVersion,       // /client_state/app_version[app_name=V and version_num=W]
  kResult,           // /client_state/result[name=V]
};
const int kStateLookupKinds = 6;

// Lookups of one list of records answered by a scan before its map is built.
const int kDirectScans = 4;

// The first element in document order that the query of `kind` selects with
// `value` (and `version`, for kAppVersion) in place of its literals; an empty
// node when none. Values are compared as XPath compares strings: with each
// candidate child's string-value, byte for byte; a value holding a byte 0
// counts up to that byte. `document` must be parsed with pugixml's defaults.
pugi::xml_node select_state_node(const pugi::xml_document& document, StateLookup kind,
                                 const std::string& value,
                                 const std::string& version = std::string());

// Maps over one parsed document, parsed with kStateParseOptions or with
// pugixml's defaults (the answers are the same elements). The maps point
// into the document: clear()
// must be called before the document is reset or loaded again, or the index
// dropped.
class StateIndex {
 public:
  StateIndex() = default;
  StateIndex(const StateIndex&) = delete;
  StateIndex& operator=(const StateIndex&) = delete;

  // What select_state_node gives, from the map of `kind` (walking the
  // document and building the map first when needed).
  pugi::xml_node lookup(const pugi::xml_document& document, StateLookup kind,
                        const std::string& value, const std::string& version = std::string());

  // Builds the maps of every kind, so that find() answers them.
  void build(const pugi::xml_document& document);
  // lookup() on a kind whose map is built, without the document.
  pugi::xml_node find(StateLookup kind, const std::string& value,
                      const std::string& version = std::string()) const;

  // Forgets the walk and the maps.
  void clear();

 private:
  using Map = std::unordered_map<std::string_view, pugi::xml_node>;
  // The elements under client_state that the queries select, by name.
  enum Bucket { kProjects, kWorkunits, kApps, kAppVersions, kResults, kBuckets };

  void walk(const pugi::xml_document& document);
  void build_kind(StateLookup kind);
  // A child's string-value as a key: a view of the document's own text when
  // it is one text node, otherwise a copy kept in texts_.
  std::string_view key_of(pugi::xml_node child);

  bool walked_ = false;
  std::vector<pugi::xml_node> elements_[kBuckets];  // in document order
  bool built_[kStateLookupKinds] = {};
  Map first_[kStateLookupKinds];  // value -> first element (not kAppVersion)
  // kAppVersion: application name -> the app_version elements carrying it,
  // in document order, each once.
  std::unordered_map<std::string_view, std::vector<pugi::xml_node>> versions_;
  std::deque<std::string> texts_;
};

// Maps over the client's records, by the lookups of the GUI-RPC source. A
// map holds pointers into the list it was built from: clear() must be called
// whenever the list is refilled.
class RecordIndex {
 public:
  RecordIndex() = default;
  RecordIndex(const RecordIndex&) = delete;
  RecordIndex& operator=(const RecordIndex&) = delete;

  // The first record whose fields equal the values (a value holding a byte
  // 0 equals none), or nullptr.
  const PROJECT* project(const std::vector<PROJECT*>& list, const std::string& master_url);
  const WORKUNIT* workunit(const std::vector<WORKUNIT*>& list, const std::string& name);
  const APP* app(const std::vector<APP*>& list, const std::string& name);
  const APP_VERSION* app_version(const std::vector<APP_VERSION*>& list,
                                 const std::string& app_name, int version_num);
  const RESULT* result(const std::vector<RESULT*>& list, const std::string& name);

  void clear();

 private:
  // One list's map: name -> first record; built after kDirectScans scans.
  // `list` and `size` tell a refilled list from the one the map was built
  // on in most cases; clear() is still required.
  template <typename Record>
  struct Map {
    std::unordered_map<std::string, const Record*> first;
    const void* list = nullptr;
    size_t size = 0;
    int scans = 0;
    bool built = false;
  };
  template <typename Record, typename Key>
  const Record* find(Map<Record>& map, const std::vector<Record*>& list, const std::string& value,
                     Key key);

  Map<PROJECT> projects_;
  Map<WORKUNIT> workunits_;
  Map<APP> apps_;
  Map<APP_VERSION> versions_;  // key: application name, byte 0, version number
  Map<RESULT> results_;
};

#endif  // COLLECTOR_CLIENT_STATE_INDEX_H_
