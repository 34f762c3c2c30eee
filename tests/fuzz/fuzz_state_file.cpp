// read_state_file on arbitrary bytes, then the state file written from what
// was read (format_state_file) and read again.
//
// Input: the bytes of a state file "cache".
//
// What must hold:
// - the text written has one entry per line, each line a known tag and a
//   TAB, no CR anywhere, and no more lines than the input had (plus the
//   Last_new_wu line, always written);
// - reading back what was written creates no entry that was not in memory
//   (keys compared with their line ends and TABs made blanks);
// - the first round trip is exact (text read back, written again, is the
//   same text) unless a key or list element held a CR: the writer makes it
//   a blank, so two keys can become one and keys can change order;
// - from then on the text is a fixed point: a second round trip gives the
//   same text in every case.
// What is not kept by the first reading, and is not asserted: lines with an
// unknown tag or without a key or value, all but the last line of a key,
// numbers beyond six decimals or the int range, and CRs (blanks).
#include <cstdint>
#include <set>
#include <string>

#include "persistence/checkpoint.h"
#include "persistence/tables.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

const std::set<std::string>& three_field_tags() {
  static const std::set<std::string> tags = {
      "Delai",  "Check",          "Conso",           "File",   "Upload",
      "Download", "Occupation",   "Result",          "Duree",  "Nb_file_result",
      "Size_file_result", "Dir",  "Dl_app",          "Project", "Ecart_releve",
      "Prochain_releve", "New wu", "App",            "Platform", "Run",
      "Checkpoint"};
  return tags;
}

const std::set<std::string>& two_field_tags() {
  static const std::set<std::string> tags = {"New wu counted", "Last_new_wu", "Active_project",
                                             "Activetask"};
  return tags;
}

void check_shape(const std::string& written, size_t input_lines) {
  FUZZ_CHECK(!written.empty() && written.back() == '\n', "the text ends with a line end");
  FUZZ_CHECK(written.find('\r') == std::string::npos, "no CR is written");
  std::vector<std::string> lines = lines_of(written);
  FUZZ_CHECK(lines.size() <= input_lines + 1,
             std::to_string(lines.size()) + " lines written from " + std::to_string(input_lines));
  for (const std::string& line : lines) {
    size_t tab = line.find('\t');
    FUZZ_CHECK(tab != std::string::npos, "line without TAB: " + shown(line));
    std::string tag = line.substr(0, tab);
    size_t tabs = 0;
    for (char ch : line) tabs += ch == '\t';
    if (two_field_tags().count(tag)) {
      FUZZ_CHECK(tabs == 1, "two-field line with more TABs: " + shown(line));
    } else {
      FUZZ_CHECK(three_field_tags().count(tag), "unknown tag written: " + shown(line));
      FUZZ_CHECK(tabs >= 2, "entry without key or value: " + shown(line));
    }
  }
}

size_t count_lines(const std::string& text) {
  size_t n = 0;
  for (char ch : text) n += ch == '\n';
  if (!text.empty() && text.back() != '\n') n++;
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);

  Tables first;
  const std::string written = read_and_format(input, &first);
  check_shape(written, count_lines(input));

  // Only a CR in a key or list element can change the text read back.
  bool cr = false;
  for (const TagKey& k : saved_keys(first)) cr = cr || k.second.find('\r') != std::string::npos;
  check_state_round_trip(first, written, !cr);
  return 0;
}
