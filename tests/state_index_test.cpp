// The indexes that answer the client-state lookups, against what defines the
// lookups: the XPath queries on the document (select_state_node) and the scan
// of the client's records in their order. Generated documents (random trees
// with repeated, missing and nested children, CDATA, blanks, quotes, bytes
// above 127, several client_state roots) and hand-written ones; then the
// lookups of client_state.h once the index answers them, and the reuse of a
// parsed state file from one pass to the next.
#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include "client/client_state.h"
#include "client/state_index.h"
#include "tests/fakes/client_state_xml.h"
#include "tests/fakes/test_support.h"

namespace {

const StateLookup kKinds[] = {StateLookup::kProject, StateLookup::kNonCpuIntensive,
                              StateLookup::kWorkunit, StateLookup::kApp,
                              StateLookup::kAppVersion, StateLookup::kResult};

const char* kind_name(StateLookup kind) {
  switch (kind) {
    case StateLookup::kProject: return "project";
    case StateLookup::kNonCpuIntensive: return "non_cpu_intensive";
    case StateLookup::kWorkunit: return "workunit";
    case StateLookup::kApp: return "app";
    case StateLookup::kAppVersion: return "app_version";
    case StateLookup::kResult: return "result";
  }
  return "?";
}

// Where a node is, for messages: its offset in the parsed text, or "none".
std::string where(pugi::xml_node node) {
  if (!node) return "none";
  return node.name() + std::string("@") + std::to_string(node.offset_debug());
}

// Every string-value that a compared child has in the document, by XPath:
// the values that hit.
std::vector<std::string> values_in(const pugi::xml_document& doc, const char* child) {
  std::vector<std::string> values;
  pugi::xpath_node_set nodes = doc.select_nodes((std::string("//") + child).c_str());
  for (const pugi::xpath_node& n : nodes) {
    values.push_back(pugi::xpath_query("string(.)").evaluate_string(n));
  }
  return values;
}

// Compares the index with the queries for every kind, every value of
// `values` and, for application versions, every version of `versions`. The
// queries run on `text` parsed with pugixml's defaults; the index answers on
// that document and on `text` parsed as the collector parses the state file
// (its answer there must be the same element: the one at the same place in
// the text). Returns the number of lookups that found an element, or -1 when
// the text does not parse.
int compare_all(const std::string& text, const std::vector<std::string>& given_values,
                const std::vector<std::string>& given_versions, const std::string& what) {
  pugi::xml_document doc, embedded;
  if (!doc.load_string(text.c_str(), pugi::parse_default)) return -1;
  EXPECT_TRUE(embedded.load_string(text.c_str(), kStateParseOptions)) << what;
  std::set<std::string> values(given_values.begin(), given_values.end());
  std::set<std::string> versions(given_versions.begin(), given_versions.end());
  for (const char* child : {"master_url", "name", "app_name"}) {
    for (const std::string& v : values_in(doc, child)) values.insert(v);
  }
  for (const std::string& v : values_in(doc, "version_num")) versions.insert(v);
  const std::set<std::string> no_version = {""};
  StateIndex index, embedded_index;
  index.build(doc);
  embedded_index.build(embedded);
  int hits = 0;
  for (StateLookup kind : kKinds) {
    const bool version = kind == StateLookup::kAppVersion;
    for (const std::string& value : values) {
      for (const std::string& w : version ? versions : no_version) {
        pugi::xml_node expected = select_state_node(doc, kind, value, w);
        pugi::xml_node got = index.find(kind, value, w);
        EXPECT_EQ(expected, got) << what << ": " << kind_name(kind) << " [" << value << "]["
                                 << w << "] query " << where(expected) << ", index "
                                 << where(got);
        EXPECT_EQ(where(expected), where(embedded_index.find(kind, value, w)))
            << what << ": " << kind_name(kind) << " [" << value << "][" << w
            << "] on the embedded-text parse";
        if (expected) hits++;
      }
    }
  }
  return hits;
}

// --- Generated documents ------------------------------------------------------

// A random client state. Values come from a small pool so that they repeat;
// each compared child is written in one of many ways that give the same or
// a nearby string-value.
class RandomState {
 public:
  explicit RandomState(unsigned seed) : rng_(seed) {}

  static const std::vector<std::string>& pool() {
    static const std::vector<std::string> values = {
        "a", "b", "ab", "a b", " a", "a ", "http://h/p/", "it's", "say \"hi\"", "both ' and \"",
        "\xc3\xa9t\xc3\xa9", "\xe9", "\xff\xfe", "x]", "$value", "<&>", "7", "07", " 7", "-3", "12",
        "line\nend"};
    return values;
  }

  std::string document() {
    std::string text;
    if (pick(4) == 0) text += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    if (pick(5) == 0) text += "<!-- client state -->\n";
    int roots = 1 + (pick(4) == 0 ? 1 + pick(2) : 0);
    for (int r = 0; r < roots; r++) {
      // Now and then a root of another name, which the queries skip.
      const std::string root = pick(6) == 0 ? "other_state" : "client_state";
      text += "<" + root + ">";
      int elements = 3 + pick(25);
      for (int e = 0; e < elements; e++) text += element(0);
      text += "</" + root + ">\n";
    }
    return text;
  }

 private:
  int pick(int n) { return static_cast<int>(rng_() % static_cast<unsigned>(n)); }

  std::string value() {
    const std::vector<std::string>& p = pool();
    return p[static_cast<size_t>(pick(static_cast<int>(p.size())))];
  }

  static std::string escaped(const std::string& text) {
    std::string out;
    for (char ch : text) {
      if (ch == '<') {
        out += "&lt;";
      } else if (ch == '&') {
        out += "&amp;";
      } else if (ch == '>') {
        out += "&gt;";
      } else {
        out += ch;
      }
    }
    return out;
  }

  // A compared child: plain text, entities for the quotes, CDATA, the value
  // split over nested elements or CDATA sections, blanks around it, empty,
  // blank only (which the parser drops), or a comment inside.
  std::string compared(const std::string& name) {
    const std::string v = value();
    std::string inner;
    switch (pick(11)) {
      case 0:
      case 1:
      case 2: inner = escaped(v); break;
      case 3: {
        std::string q;
        for (char ch : escaped(v)) {
          q += ch == '\'' ? std::string("&apos;") : ch == '"' ? std::string("&quot;") : std::string(1, ch);
        }
        inner = q;
        break;
      }
      case 4: inner = "<![CDATA[" + v + "]]>"; break;
      case 5: {
        size_t cut = v.size() / 2;
        inner = escaped(v.substr(0, cut)) + "<b>" + escaped(v.substr(cut)) + "</b>";
        break;
      }
      case 6: {
        size_t cut = v.size() / 2;
        inner = "<![CDATA[" + v.substr(0, cut) + "]]>" + escaped(v.substr(cut));
        break;
      }
      case 7: inner = pick(2) ? "" : "   \n  "; break;
      case 8: inner = "\n    " + escaped(v) + "\n"; break;
      case 9: inner = escaped(v) + "<!-- note -->" + "<x><y>" + escaped(v) + "</y></x>"; break;
      default: inner = "<i/>" + escaped(v); break;
    }
    if (inner.empty() && pick(2)) return "<" + name + "/>";
    return "<" + name + ">" + inner + "</" + name + ">";
  }

  // A child of client_state: one of the queried kinds or another element,
  // with its compared children missing, once or repeated, among others.
  std::string element(int depth) {
    static const char* kinds[] = {"project", "workunit", "app", "app_version", "result",
                                  "file", "project_x", "active_task"};
    const std::string kind = kinds[pick(8)];
    std::string text = "<" + kind + ">";
    int children = pick(7);
    for (int i = 0; i < children; i++) {
      // Half of the children are the ones the element's query compares.
      if (pick(2) == 0) {
        if (kind == "project") {
          text += compared("master_url");
        } else if (kind == "app_version") {
          text += compared(pick(2) ? "app_name" : "version_num");
        } else {
          text += compared("name");
        }
        continue;
      }
      switch (pick(10)) {
        case 0:
        case 1: text += compared("master_url"); break;
        case 2:
        case 3: text += compared("name"); break;
        case 4: text += compared("app_name"); break;
        case 5: text += compared("version_num"); break;
        case 6: text += pick(2) ? "<non_cpu_intensive/>" : "<non_cpu_intensive>0</non_cpu_intensive>"; break;
        case 7: text += "<project_name>" + escaped(value()) + "</project_name>"; break;
        case 8:
          // Nested: a flag or a whole element one level down, which the
          // queries do not reach.
          text += pick(2) ? "<sub><non_cpu_intensive/>" + compared("master_url") + "</sub>"
                          : (depth < 2 ? element(depth + 1) : std::string("<z/>"));
          break;
        default: text += "<file_ref><file_name>" + escaped(value()) + "</file_name></file_ref>"; break;
      }
    }
    return text + "</" + kind + ">\n";
  }

  std::mt19937 rng_;
};

TEST(StateIndex, AnswersAsTheQueriesOnGeneratedDocuments) {
  std::vector<std::string> values = RandomState::pool();
  values.push_back("");
  values.push_back("absent");
  values.push_back(std::string("a\0b", 3));  // compared up to the byte 0: "a"
  std::vector<std::string> versions = {"", "7", "07", "-3", "12", "1", std::string("7\0" "1", 3)};
  int documents = 0, hits = 0;
  for (unsigned seed = 1; seed <= 600; seed++) {
    RandomState state(seed);
    const std::string text = state.document();
    int found = compare_all(text, values, versions, "seed " + std::to_string(seed));
    if (found < 0) continue;
    documents++;
    hits += found;
    if (HasFailure()) {
      ADD_FAILURE() << "document of seed " << seed << ":\n" << text;
      return;
    }
  }
  // The generator must give documents that parse and lookups that hit, or
  // the comparison proves nothing.
  printf("[ figures  ] %d documents, %d lookups that found an element\n", documents, hits);
  EXPECT_GE(documents, 590);
  EXPECT_GE(hits, 5000);
}

TEST(StateIndex, AnswersAsTheQueriesOnHandWrittenDocuments) {
  struct Case {
    const char* what;
    const char* text;
  };
  const Case cases[] = {
      {"first in document order across two client_state roots",
       "<client_state><app><name>a</name><user_friendly_name>1</user_friendly_name></app>"
       "</client_state><client_state><app><name>a</name></app><app><name>b</name></app>"
       "</client_state>"},
      {"a root of another name and a nested client_state are not searched",
       "<other><client_state><app><name>a</name></app></client_state></other>"
       "<client_state><x><app><name>a</name></app></x><app><name>a</name></app></client_state>"},
      {"any of several name children matches; the element counts once",
       "<client_state><workunit><name>w1</name><name>w2</name><name>w1</name></workunit>"
       "<workunit><name>w2</name></workunit></client_state>"},
      {"string-value: nested elements, CDATA and comments",
       "<client_state><result><name>r<b>1</b><!-- c --><![CDATA[_0]]></name></result>"
       "<result><name>r1_0</name></result><result><name><![CDATA[]]></name></result>"
       "<result><name><e/></name></result><result><name>   </name></result>"
       "<result><name><b>r</b>1_0</name></result><result><name>r<b>1<c>_</c></b>0</name></result>"
       "</client_state>"},
      {"blanks are kept around text and dropped when alone",
       "<client_state><project><master_url> u </master_url></project>"
       "<project><master_url>\n</master_url><non_cpu_intensive/></project>"
       "<project><master_url>u</master_url></project></client_state>"},
      {"the flag comes from the first project that has both URL and flag",
       "<client_state><project><master_url>u</master_url></project>"
       "<project><master_url>v</master_url><master_url>u</master_url>"
       "<non_cpu_intensive>0</non_cpu_intensive><non_cpu_intensive/></project>"
       "<project><master_url>u</master_url><non_cpu_intensive/></project>"
       "<project><master_url>w</master_url><x><non_cpu_intensive/></x></project>"
       "</client_state>"},
      {"versions: name and number from any children, compared as text",
       "<client_state>"
       "<app_version><app_name>X</app_name><version_num>07</version_num></app_version>"
       "<app_version><app_name>Y</app_name><app_name>X</app_name><version_num>8</version_num>"
       "<version_num>7</version_num></app_version>"
       "<app_version><app_name>X</app_name><version_num>7</version_num></app_version>"
       "<app_version><version_num>7</version_num></app_version>"
       "<app_version><app_name>X</app_name></app_version>"
       "<app_version><app_name>X</app_name><version_num><![CDATA[1]]>2</version_num>"
       "</app_version></client_state>"},
      {"quotes, entities and bytes above 127",
       "<client_state><project><master_url>http://it&apos;s/&quot;x&quot;/</master_url>"
       "</project><app><name>caf\xc3\xa9</name></app><app><name>&lt;&amp;&gt;</name></app>"
       "<workunit><name>\xe9\xff</name></workunit></client_state>"},
      {"empty and missing compared children",
       "<client_state><result/><result><state>5</state></result><result><name/></result>"
       "<result><name></name><name>r</name></result></client_state>"},
  };
  const std::vector<std::string> values = {"a",  "b",  "w1",    "w2",  "r1_0", "r",
                                           "",   " ",  "u",     " u ", "v",    "w",
                                           "X",  "Y",  "\n",    "http://it's/\"x\"/",
                                           "caf\xc3\xa9", "<&>", "\xe9\xff"};
  const std::vector<std::string> versions = {"7", "07", "8", "12", ""};
  for (const Case& k : cases) EXPECT_GT(compare_all(k.text, values, versions, k.what), 0) << k.what;

  // A few answers written out, so that the comparison rests on known ground.
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(cases[5].text));
  StateIndex index;
  pugi::xml_node flag = index.lookup(doc, StateLookup::kNonCpuIntensive, "u");
  for (int i = 0; i < 3; i++) EXPECT_EQ(flag, index.lookup(doc, StateLookup::kNonCpuIntensive, "u"));
  ASSERT_TRUE(flag);
  EXPECT_STREQ("0", flag.child_value());  // the second project's first flag
  EXPECT_FALSE(index.lookup(doc, StateLookup::kNonCpuIntensive, "w"));
  ASSERT_TRUE(doc.load_string(cases[6].text));
  index.clear();
  for (int i = 0; i < 4; i++) {
    pugi::xml_node v = index.lookup(doc, StateLookup::kAppVersion, "X", "7");
    EXPECT_STREQ("Y", v.child_value("app_name")) << i;  // the second element
    // "1" in a CDATA section, then "2".
    EXPECT_EQ(doc.first_child().last_child(),
              index.lookup(doc, StateLookup::kAppVersion, "X", "12")) << i;
  }
}

TEST(StateIndex, TextNestedToAnyDepthIsComparedWhole) {
  // The name's text is spread over 50,000 nested elements, each one holding
  // a leading "r" before the next: as deep as the parser goes, no deeper
  // than the index's walk.
  const int depth = 50000;
  std::string name, text = "<client_state><result><name>";
  for (int i = 0; i < depth; i++) text += "r<e>";
  text += "x";
  for (int i = 0; i < depth; i++) text += "</e>";
  text += "</name><state>5</state></result></client_state>";
  name = std::string(depth, 'r') + "x";
  for (unsigned options : {pugi::parse_default, kStateParseOptions}) {
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(text.c_str(), options));
    StateIndex index;
    pugi::xml_node result = index.lookup(doc, StateLookup::kResult, name);
    EXPECT_STREQ("5", result.child_value("state")) << options;
    EXPECT_FALSE(index.lookup(doc, StateLookup::kResult, name.substr(1))) << options;
  }
}

// The first record of `list`, in its order, that `match` accepts (holes
// skipped), or nullptr: the scan that defines a lookup in the records.
template <typename Record, typename Match>
const Record* first_of(const std::vector<Record*>& list, Match match) {
  for (const Record* r : list) {
    if (r && match(*r)) return r;
  }
  return nullptr;
}

// --- The client's records ------------------------------------------------------

TEST(RecordIndex, AnswersAsTheScanInTheClientsOrder) {
  FakeClientCalls records;
  const char* names[] = {"a", "b", "a", "", "c\xe9", "it's \"q\"", "b"};
  for (int i = 0; i < 7; i++) {
    records.add_project(names[i], "project " + std::to_string(i), i);
    records.add_app(names[i], "app " + std::to_string(i));
    records.add_workunit(names[i], "wu " + std::to_string(i));
    records.add_app_version(names[i], i % 3, "platform " + std::to_string(i));
    records.all.push_back(make_result(names[i], "w", "u"));
    records.all.back().final_cpu_time = i;
  }
  CC_STATE state;
  records.get_state(state);
  state.projects.insert(state.projects.begin() + 2, nullptr);  // a hole in a list
  RESULTS results;
  records.get_results(results, false);

  std::vector<std::string> values(std::begin(names), std::end(names));
  values.push_back("absent");
  values.push_back(std::string("a\0b", 3));
  values.push_back(std::string("a\0", 2));
  RecordIndex index;
  for (int round = 0; round < 2; round++) {
    for (const std::string& v : values) {
      EXPECT_EQ(first_of(state.projects, [&](const PROJECT& p) { return v == p.master_url; }),
                index.project(state.projects, v))
          << v;
      EXPECT_EQ(first_of(state.apps, [&](const APP& a) { return v == a.name; }),
                index.app(state.apps, v))
          << v;
      EXPECT_EQ(first_of(state.wus, [&](const WORKUNIT& w) { return v == w.name; }),
                index.workunit(state.wus, v))
          << v;
      EXPECT_EQ(first_of(results.results, [&](const RESULT& r) { return v == r.name; }),
                index.result(results.results, v))
          << v;
      for (int number = -1; number < 4; number++) {
        const APP_VERSION* version = first_of(state.app_versions, [&](const APP_VERSION& a) {
          return v == a.app_name && a.version_num == number;
        });
        EXPECT_EQ(version, index.app_version(state.app_versions, v, number)) << v << " " << number;
      }
    }
  }
  // A list refilled after clear() is searched afresh.
  index.clear();
  CC_STATE other;
  FakeClientCalls next;
  next.add_project("a", "new", 9);
  next.get_state(other);
  for (int i = 0; i < 4; i++) {
    const PROJECT* p = index.project(other.projects, "a");
    ASSERT_TRUE(p);
    EXPECT_EQ("new", p->project_name);
    EXPECT_EQ(nullptr, index.project(other.projects, "b"));
  }
  other.clear();
  state.projects.erase(state.projects.begin() + 2);
  state.clear();
  results.clear();
}

// --- Through the lookups of client_state.h --------------------------------------

class LoadedStateTest : public CollectorTest {
 protected:
  std::string state_path() { return c().settings.data_directory + "/client_state.xml"; }

  void new_pass() {
    c().state.state_loaded = false;
    ASSERT_TRUE(load_client_state(c()));
    ASSERT_EQ(StateSource::kFile, c().state.source);
  }

  // Waits until the state file's last change is old enough for its
  // document to be reused (a few seconds at most).
  void let_settle() {
    struct stat st;
    ASSERT_EQ(0, stat(state_path().c_str(), &st));
    for (int i = 0; i < 100; i++) {
      if (time(nullptr) >= st.st_ctim.tv_sec + 4) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

  // Marks the document in memory: a pass that parses the file again loses
  // the mark, one that reuses the document keeps it.
  void mark_document(const char* project_name) {
    pugi::xml_node name =
        c().state.index.lookup(c().state.document, StateLookup::kProject, "u").child("project_name");
    ASSERT_TRUE(name);
    name.text().set(project_name);
  }
};

TEST_F(LoadedStateTest, LookupsThroughTheIndexAnswerAsTheQueries) {
  // Many lookups of every kind on generated documents, through the index.
  for (unsigned seed = 1000; seed < 1040; seed++) {
    RandomState generated(seed);
    std::string text = generated.document();
    pugi::xml_document reference;
    if (!reference.load_string(text.c_str())) continue;
    write_file(state_path(), text);
    c().state.reset();
    new_pass();
    for (int round = 0; round < 3; round++) {
      for (const std::string& v : RandomState::pool()) {
        pugi::xml_node project = select_state_node(reference, StateLookup::kProject, v);
        EXPECT_EQ(project.child_value("project_name"), lookup_project_name(c(), v)) << seed;
        EXPECT_EQ(project.child_value("hostid"), lookup_project_hostid(c(), v)) << seed;
        EXPECT_EQ(static_cast<bool>(select_state_node(reference, StateLookup::kNonCpuIntensive, v)),
                  lookup_non_cpu_intensive(c(), v))
            << seed;
        pugi::xml_node wu = select_state_node(reference, StateLookup::kWorkunit, v);
        EXPECT_EQ(wu.child_value("app_name"), lookup_workunit_app_name(c(), v)) << seed;
        std::vector<std::string> files, expected;
        for (pugi::xml_node ref : wu.children("file_ref")) expected.push_back(ref.child_value("file_name"));
        EXPECT_TRUE(lookup_workunit_files(c(), v, &files));
        EXPECT_EQ(expected, files) << seed;
        EXPECT_EQ(select_state_node(reference, StateLookup::kApp, v).child_value("user_friendly_name"),
                  lookup_app_user_friendly_name(c(), v))
            << seed;
        for (int number : {7, 12, -3}) {
          EXPECT_EQ(select_state_node(reference, StateLookup::kAppVersion, v, std::to_string(number))
                        .child_value("platform"),
                    lookup_app_version(c(), v, number, nullptr))
              << seed;
        }
        pugi::xml_node result = select_state_node(reference, StateLookup::kResult, v);
        EXPECT_EQ(result && std::string(result.child_value("state")) == "5",
                  lookup_result_completion(c(), v).finished)
            << seed;
      }
    }
    if (HasFailure()) {
      ADD_FAILURE() << "document of seed " << seed << ":\n" << text;
      return;
    }
  }
}

TEST_F(LoadedStateTest, ANewDocumentGetsANewIndex) {
  // The same lookups, many times, on documents that follow each other: each
  // answer comes from the document that is loaded now.
  for (int version = 0; version < 4; version++) {
    ClientStateXml state;
    // A different size every time, so that no two files look alike.
    state.project("u", "name " + std::string(static_cast<size_t>(version + 1), '#'), version);
    state.write(state_path());
    if (version % 2 == 0) c().state.reset();  // as the cycle does; else a new pass only
    new_pass();
    for (int i = 0; i < 5; i++) {
      EXPECT_EQ(std::to_string(version), lookup_project_hostid(c(), "u")) << version << " " << i;
    }
  }
  // A document loaded by other means, then its index forgotten.
  for (int i = 0; i < 3; i++) lookup_project_hostid(c(), "u");
  ASSERT_TRUE(c().state.document.load_string(
      "<client_state><project><master_url>u</master_url><hostid>99</hostid></project>"
      "</client_state>"));
  c().state.forget();
  for (int i = 0; i < 4; i++) EXPECT_EQ("99", lookup_project_hostid(c(), "u")) << i;
}

TEST_F(LoadedStateTest, FreshStateFileIsParsedAtEveryPass) {
  ClientStateXml state;
  state.project("u", "original", 1);
  state.write(state_path());
  new_pass();
  mark_document("in memory");
  new_pass();  // the file changed less than a few seconds ago: parsed again
  EXPECT_EQ("original", lookup_project_name(c(), "u"));
  // Rewritten with the same size within the same second: seen.
  ClientStateXml changed;
  changed.project("u", "changed!", 1);
  changed.write(state_path());
  new_pass();
  EXPECT_EQ("changed!", lookup_project_name(c(), "u"));
}

TEST_F(LoadedStateTest, UnchangedSettledStateFileIsNotParsedAgain) {
  ClientStateXml state;
  state.project("u", "original", 1);
  for (int i = 0; i < 20; i++) state.result("r" + std::to_string(i), "w", i % 6);
  state.write(state_path());
  let_settle();
  new_pass();
  for (int i = 0; i < 5; i++) lookup_result_completion(c(), "r" + std::to_string(i));  // index built
  mark_document("in memory");

  // Next pass, same file: the document stands, index included.
  new_pass();
  EXPECT_EQ("in memory", lookup_project_name(c(), "u"));
  EXPECT_TRUE(lookup_result_completion(c(), "r5").finished);
  EXPECT_FALSE(lookup_result_completion(c(), "r4").finished);
  EXPECT_TRUE(client.calls.empty());

  // Forgotten, emptied by the cycle, or touched (same bytes, new times):
  // parsed again.
  struct Change {
    const char* what;
    std::function<void()> change;
    bool file_changed;
  };
  const Change changes[] = {
      {"forgotten", [&] { c().state.forget(); }, false},
      {"emptied", [&] { c().state.reset(); }, false},
      {"touched",
       [&] {
         struct timespec times[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
         ASSERT_EQ(0, utimensat(AT_FDCWD, state_path().c_str(), times, 0));
       },
       true},
  };
  for (const Change& k : changes) {
    mark_document("in memory");
    k.change();
    new_pass();
    EXPECT_EQ("original", lookup_project_name(c(), "u")) << k.what;
    // An unchanged file is still the settled one: the new document stands
    // for it in turn. A touched one has just changed: parsed every time.
    mark_document("in memory");
    new_pass();
    EXPECT_EQ(k.file_changed ? "original" : "in memory", lookup_project_name(c(), "u")) << k.what;
  }

  // Gone: the client is asked, as before.
  remove(state_path().c_str());
  client.add_project("u", "from the client", 3);
  c().state.state_loaded = false;
  ASSERT_TRUE(load_client_state(c()));
  EXPECT_EQ(StateSource::kRpc, c().state.source);
  EXPECT_EQ("from the client", lookup_project_name(c(), "u"));
  EXPECT_EQ(1, client.count("get_state"));
}

}  // namespace
