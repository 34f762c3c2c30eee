// Readings of executing tasks (slot-directory size, working set, CPU times)
// on a schedule tied to each task's expected length, and the records written
// when a task completes.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "accounting/accounting.h"
#include "driver/collector.h"
#include "driver/text.h"
#include "filesys.h"
#include "gui_rpc_client.h"

std::string work_unit_name(const std::string& result_name) {
  size_t underscore = result_name.find_last_of('_');
  if (underscore == std::string::npos) return result_name;
  return result_name.substr(0, underscore);
}

std::string format_kibibytes(double bytes) {
  char buffer[64];
  snprintf(buffer, sizeof(buffer), "%g", bytes * 0.0009765625);
  std::string text = buffer;
  // The records carry exponents of at least three digits (1.23457e+006).
  size_t e = text.find('e');
  if (e != std::string::npos && e + 2 < text.size()) {
    size_t digits = e + 2;
    size_t count = text.size() - digits;
    if (count < 3) text.insert(digits, 3 - count, '0');
  }
  return text;
}

namespace {

// Appends one reading to a history: the result description first, then one
// ";"-separated item per reading.
void append_reading(TextTable& table, const std::string& name, const std::string& description,
                    const std::string& item) {
  auto entry = table.find(name);
  if (entry == table.end()) {
    table[name] = description + ";" + item;
  } else {
    entry->second += ";" + item;
  }
}

// A byte count as the client reports it, truncated toward zero. Working
// sets of 2 GiB and more are written as their true byte count.
std::string format_bytes(double value) {
  if (std::isnan(value)) return "0";
  if (value >= 9.2e18) value = 9.2e18;
  if (value <= -9.2e18) value = -9.2e18;
  return std::to_string(static_cast<int64_t>(value));
}

}  // namespace

void take_reading(Collector& c, const RESULT& result, const std::string& name,
                  const std::string& description) {
  Tables& t = c.tables;
  if (t.Ecart_releve.find(name) == t.Ecart_releve.end()) {
    t.Ecart_releve[name] = (result.elapsed_time + result.estimated_cpu_time_remaining) / 1000.0;
    t.Prochain_releve[name] = 0.0;
  }
  double& next = t.Prochain_releve[name];
  if (!(static_cast<double>(c.current_time) > next)) return;
  next = static_cast<double>(c.current_time) + t.Ecart_releve[name];

  // The task's slot directory is a sibling of the collector's own slot.
  std::string slots;
  if (c.platform->working_directory(&slots) == 0) {
    for (char& ch : slots) {
      if (ch == '\\') ch = '/';
    }
    size_t slash = slots.find_last_of('/');
    if (slash != std::string::npos) {
      slots.erase(slash);
      const std::string slot = slots + "/" + std::to_string(result.slot);
      // A slot that is not there reads 0 (without the library's complaint).
      double bytes = 0.0;
      int64_t ignored = 0;
      if (c.platform->file_size(slot, &ignored) == 0) dir_size(slot.c_str(), bytes, true);
      append_reading(t.Occupation, name, description, format_kibibytes(bytes));
    }
  }
  append_reading(t.Conso, name, description, format_bytes(result.working_set_size_smoothed));
  append_reading(t.Check, name, description,
                 format_int(truncate_to_int(result.current_cpu_time)) + "|" +
                     format_int(truncate_to_int(result.checkpoint_cpu_time)));
}

void write_completion_records(Collector& c, const std::string& name) {
  Tables& t = c.tables;
  const int start = c.cycle_start_time;
  const std::string wu = work_unit_name(name);
  auto upload = t.Upload.find(name);
  if (upload != t.Upload.end()) {
    c.out.printf("%d;upload;%s\n", start, upload->second.c_str());
    t.Upload.erase(upload);
  }
  auto download = t.Download.find(name);
  if (download != t.Download.end()) {
    if (download->second != "inconnu") {
      c.out.printf("%d;download;%s\n", start, download->second.c_str());
    }
    t.Download.erase(download);
  }
  auto conso = t.Conso.find(name);
  if (conso != t.Conso.end()) {
    c.out.printf("%d;conso|%s;%s\n", start, wu.c_str(), conso->second.c_str());
    t.Conso.erase(conso);
  }
  auto check = t.Check.find(name);
  if (check != t.Check.end()) {
    c.out.printf("%d;check|%s;%s\n", start, wu.c_str(), check->second.c_str());
    t.Check.erase(check);
  }
  auto occupation = t.Occupation.find(name);
  if (occupation != t.Occupation.end()) {
    c.out.printf("%d;occupation;%s\n", start, occupation->second.c_str());
    t.Occupation.erase(occupation);
  }
  auto duree = t.Duree.find(name);
  if (duree != t.Duree.end()) {
    c.out.printf("%d;duree|%s;%s;\n", start, wu.c_str(), duree->second.c_str());
    t.Duree.erase(duree);
  }
}
