// What the client's tasks occupy in their project's directory: the project
// directory of a result, the output files each result produces, and the
// pruning of the table of known input files.
#include <cstdint>
#include <string>
#include <vector>

#include "accounting/accounting.h"
#include "driver/collector.h"
#include "driver/text.h"

std::string project_directory(const Collector& c, const std::string& master_url) {
  // Drop a seven-character scheme prefix ("http://") and the closing "/". A
  // URL of eight characters or fewer leaves no name at all.
  std::string name;
  if (master_url.size() > 8) name = master_url.substr(7, master_url.size() - 8);
  for (char& ch : name) {
    if (ch == '/') ch = '_';
  }
  // Never the projects directory's parent or itself under another name.
  if (name == "." || name == "..") name.assign(name.size(), '_');
  return c.settings.data_directory + "/projects/" + name;
}

bool plain_file_name(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find_first_of("/\\") == std::string::npos;
}

namespace {

// Whether `text` is an index as the collector writes it: decimal digits
// without a leading zero (except "0" itself), no larger than `last`.
bool is_index_up_to(const std::string& text, int last) {
  if (text.empty() || text.size() > 10) return false;
  if (text.size() > 1 && text[0] == '0') return false;
  int64_t value = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') return false;
    value = value * 10 + (ch - '0');
  }
  return value <= last;
}

}  // namespace

void erase_output_sizes(Tables& t, const std::string& name, int last) {
  // Erases exactly the keys name + "_" + i, i = 0 ... last, whatever `last`
  // is, by walking the keys that start with name + "_".
  const std::string prefix = name + "_";
  auto it = t.Size_file_result.lower_bound(prefix);
  while (it != t.Size_file_result.end() && it->first.compare(0, prefix.size(), prefix) == 0) {
    if (is_index_up_to(it->first.substr(prefix.size()), last)) {
      it = t.Size_file_result.erase(it);
    } else {
      ++it;
    }
  }
}

void watch_one_result(Collector& c, const std::string& name) {
  Tables& t = c.tables;
  auto dir = t.Dir.find(name);
  if (dir == t.Dir.end() || !plain_file_name(name)) return;
  int known = t.Nb_file_result[name];
  double total = 0.0;
  int found = 0;
  // At most one index beyond the highest known one: files are discovered
  // one per pass.
  for (int64_t i = 0; i < static_cast<int64_t>(known) + 1; i++) {
    std::string file = name + "_" + std::to_string(i);
    int64_t size = 0;
    if (c.platform->file_size(dir->second + "/" + file, &size) == 0) {
      total += static_cast<double>(size);
      t.Size_file_result[file] = static_cast<double>(size);
      found = static_cast<int>(i + 1);
    } else {
      auto last_size = t.Size_file_result.find(file);
      if (last_size != t.Size_file_result.end()) total += last_size->second;
    }
  }
  if (found > 0) {
    t.result_output_size_table[name] = format_real(total);
    if (found > known) t.Nb_file_result[name] = found;
    return;
  }
  if (known <= 0) return;  // no output file has appeared yet
  // Output files were seen and none is left: the result may have ended.
  // Their last sizes are kept until it has: they are the upload size, and a
  // kill before the result's end must not lose them.
  c.state.state_loaded = false;
  bool finished = false;
  if (record_finished_result(c, name, &finished) != 0 || !finished) return;
  t.Dir.erase(name);
  erase_output_sizes(t, name, known);
  t.Nb_file_result.erase(name);
}

void rebuild_output_sizes(Collector& c) {
  Tables& t = c.tables;
  for (const auto& known : t.Nb_file_result) {
    if (known.second <= 0) continue;
    const std::string prefix = known.first + "_";
    double total = 0.0;
    bool any = false;
    for (auto it = t.Size_file_result.lower_bound(prefix);
         it != t.Size_file_result.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it) {
      if (!is_index_up_to(it->first.substr(prefix.size()), known.second - 1)) continue;
      total += it->second;
      any = true;
    }
    if (any) t.result_output_size_table[known.first] = format_real(total);
  }
}

void prune_input_files(Collector& c) {
  std::vector<std::string> gone;
  for (const auto& entry : c.tables.File) {
    int64_t size = 0;
    if (c.platform->file_size(entry.first, &size) != 0) gone.push_back(entry.first);
  }
  for (const std::string& path : gone) c.tables.File.erase(path);
}
