#include "persistence/checkpoint.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app_ipc.h"
#include "driver/collector.h"
#include "driver/log.h"
#include "driver/text.h"
#include "filesys.h"
#include "persistence/tables.h"
#include "platform/platform.h"

namespace {

// Names come from the client and may hold any byte. A line end inside a key
// or a value would start a line of its own (a forged entry), a TAB inside a
// key would move the key's end: both become blanks on the way to the file.
void append_cleaned(std::string* out, const std::string& text, bool key) {
  size_t start = out->size();
  out->append(text);
  for (size_t i = start; i < out->size(); i++) {
    char& ch = (*out)[i];
    if (ch == '\n' || ch == '\r' || (key && ch == '\t')) ch = ' ';
  }
}

// The state file's text, line by line. Without a file, the whole text is
// kept in *text. With one, the text goes to the file whenever it reaches
// kChunkBytes, so that a large state is written through a small buffer
// that is reused, instead of a copy of the whole file in memory.
class StateFileWriter {
 public:
  static const size_t kChunkBytes = 256 * 1024;

  explicit StateFileWriter(std::string* text, FILE* file = nullptr) : text_(text), file_(file) {}

  // An entry whose key is empty could never be read back as itself (the
  // reader skips empty fields, so a TAB in its value would make another
  // key of it): it is left out.
  void line(const char* tag, const std::string& key, const std::string& value) {
    if (key.empty()) return;
    text_->append(tag).append("\t");
    append_cleaned(text_, key, true);
    text_->append("\t");
    append_cleaned(text_, value, false);
    text_->append("\n");
    if (file_ && text_->size() >= kChunkBytes) write_out();
  }
  void table(const char* tag, const TextTable& table) {
    for (const auto& entry : table) line(tag, entry.first, entry.second);
  }
  void table(const char* tag, const RealTable& table) {
    for (const auto& entry : table) line(tag, entry.first, format_real(entry.second));
  }
  void table(const char* tag, const IntTable& table) {
    for (const auto& entry : table) line(tag, entry.first, format_int(entry.second));
  }
  void two_fields(const char* tag, const std::string& value) {
    if (value.empty()) return;
    text_->append(tag).append("\t");
    append_cleaned(text_, value, true);
    text_->append("\n");
    if (file_ && text_->size() >= kChunkBytes) write_out();
  }

  // With a file: writes out what is left. Returns false when any part of the
  // text could not be handed to the file.
  bool finish() {
    if (file_) write_out();
    return written_;
  }

 private:
  void write_out() {
    if (written_ && !text_->empty() &&
        fwrite(text_->data(), 1, text_->size(), file_) != text_->size()) {
      written_ = false;
    }
    text_->clear();
  }

  std::string* text_;
  FILE* file_;
  bool written_ = true;
};

// Every table, in the state file's order.
void write_tables(StateFileWriter& w, const Tables& t) {
  w.table("Delai", t.Delai);
  w.table("Check", t.Check);
  w.table("Conso", t.Conso);
  w.table("File", t.File);
  w.table("Upload", t.Upload);
  w.table("Download", t.Download);
  w.table("Occupation", t.Occupation);
  w.table("Result", t.Result);
  w.table("Duree", t.Duree);
  w.table("Nb_file_result", t.Nb_file_result);
  w.table("Size_file_result", t.Size_file_result);
  w.table("Dir", t.Dir);
  w.table("Dl_app", t.Dl_app);
  w.table("Project", t.Project);
  w.table("Ecart_releve", t.Ecart_releve);
  w.table("Prochain_releve", t.Prochain_releve);
  w.table("New wu", t.New_wu);
  for (const std::string& name : t.New_wu_counted) w.two_fields("New wu counted", name);
  w.two_fields("Last_new_wu", format_int(t.Last_new_wu));
  w.table("App", t.App);
  w.table("Platform", t.Platform);
  for (const std::string& project : t.Active_project) w.two_fields("Active_project", project);
  w.table("Run", t.Run);
  for (const std::string& task : t.Activetask_list) w.two_fields("Activetask", task);
  if (t.Checkpoint.present) {
    const CheckpointMark& m = t.Checkpoint;
    char numbers[96];
    snprintf(numbers, sizeof(numbers), "%d;%d;%lld;%d", m.cycle_counter, m.cycle_start_time,
             m.output_length, m.finished);
    w.line("Checkpoint", m.task, numbers);
  }
}

std::string directory_of(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

std::string format_state_file(const Tables& t) {
  std::string text;
  StateFileWriter w(&text);
  write_tables(w, t);
  return text;
}

namespace {

// The state file's temporary sibling, named after the task: the tasks of a
// project share the directory, and a process of the same task started after
// a kill writes over what its predecessor left.
std::string temporary_state_path(const Collector& c) {
  std::string task = c.init_data.result_name;
  if (task.empty()) task = "task";
  if (task.size() > 100) task.resize(100);
  for (char& ch : task) {
    bool plain = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
                 ch == '_' || ch == '-';
    if (!plain) ch = '_';
  }
  return c.paths.state_file + "." + task + ".tmp";
}

}  // namespace

int write_state_file(Collector& c) {
  const std::string& path = c.paths.state_file;
  const std::string temp = temporary_state_path(c);
  FILE* f = c.platform->runtime_open_file(temp, "wb");
  if (!f) return 1;
  std::string chunk;
  chunk.reserve(StateFileWriter::kChunkBytes + 4096);
  StateFileWriter w(&chunk, f);
  write_tables(w, c.tables);
  bool written = w.finish() && fflush(f) == 0 && c.platform->sync_file(f) == 0;
  if (fclose(f) != 0) written = false;
  if (!written || c.platform->replace_file(temp, path) != 0) {
    c.platform->delete_file(temp);
    return 1;
  }
  c.platform->sync_directory(directory_of(path));
  return 0;
}

int write_checkpoint(Collector& c) {
  // What this checkpoint covers: the cycle, and the output file as it stands
  // (flushed just before). Both files carry it.
  CheckpointMark& mark = c.tables.Checkpoint;
  mark.present = true;
  mark.task = c.init_data.result_name[0] ? c.init_data.result_name : "-";
  mark.cycle_counter = c.cycle_counter;
  mark.cycle_start_time = c.cycle_start_time;
  int64_t length = -1;
  if (c.platform->file_size(c.paths.output, &length) != 0) length = -1;
  mark.output_length = length;
  mark.finished = c.work_unit_finished ? 1 : 0;

  FILE* f = c.platform->open_file("temp", "w");
  if (!f) return 1;
  // A counters file that did not reach the disk whole must not replace the
  // last good one: the task would be taken for a new one.
  bool written = fprintf(f, "%d\n%d\n%d\n%lld\n%d\n", c.cycle_counter, c.cycle_start_time,
                         c.process_start_time, mark.output_length, mark.finished) > 0;
  if (fflush(f) != 0 || c.platform->sync_file(f) != 0) written = false;
  if (fclose(f) != 0) written = false;
  if (!written) {
    c.platform->delete_file("temp");
    return 1;
  }
  std::string name;
  boinc_resolve_filename_s("checkpoint", name);
  errno = 0;
  if (c.platform->runtime_rename("temp", name) != 0) {
    int error = errno;
    return error != 0 ? error : EIO;
  }
  if (write_state_file(c) != 0) return 1;
  return 0;
}

void read_counters(Collector& c, FILE* f) {
  char buffer[1000];
  memset(buffer, 0, sizeof(buffer));
  int* counters[3] = {&c.cycle_counter, &c.cycle_start_time, &c.process_start_time};
  for (int* counter : counters) {
    // At the end of the file the buffer keeps the previous line, so a short
    // file repeats its last value.
    if (!fgets(buffer, sizeof(buffer), f) && ferror(f)) clearerr(f);
    char* saveptr = nullptr;
    char* token = strtok_r(buffer, "\t", &saveptr);
    *counter = parse_int(token);
  }
  // Two more lines since the output length is checkpointed: a file without
  // them leaves the length unknown.
  CheckpointMark& mark = c.counters_mark;
  mark = CheckpointMark();
  mark.cycle_counter = c.cycle_counter;
  mark.cycle_start_time = c.cycle_start_time;
  char line[1000];
  if (fgets(line, sizeof(line), f)) {
    mark.present = true;
    mark.output_length = strtoll(line, nullptr, 10);
    if (fgets(line, sizeof(line), f)) mark.finished = parse_int(line) == 1 ? 1 : 0;
  }
}

namespace {

void store_entry(Tables& t, const char* tag, const char* key, const char* value) {
  struct TextTag { const char* tag; TextTable Tables::*table; };
  struct RealTag { const char* tag; RealTable Tables::*table; };
  struct IntTag { const char* tag; IntTable Tables::*table; };
  static const TextTag text_tags[] = {
      {"Delai", &Tables::Delai},   {"Check", &Tables::Check},
      {"Conso", &Tables::Conso},   {"Upload", &Tables::Upload},
      {"Download", &Tables::Download}, {"Occupation", &Tables::Occupation},
      {"Result", &Tables::Result}, {"Duree", &Tables::Duree},
      {"Dir", &Tables::Dir},       {"Dl_app", &Tables::Dl_app},
      {"Project", &Tables::Project}, {"App", &Tables::App},
      {"Platform", &Tables::Platform},
  };
  static const RealTag real_tags[] = {
      {"File", &Tables::File},
      {"Size_file_result", &Tables::Size_file_result},
      {"Ecart_releve", &Tables::Ecart_releve},
      {"Prochain_releve", &Tables::Prochain_releve},
      {"Run", &Tables::Run},
  };
  static const IntTag int_tags[] = {
      {"Nb_file_result", &Tables::Nb_file_result},
      {"New wu", &Tables::New_wu},
  };
  for (const TextTag& entry : text_tags) {
    if (strcmp(tag, entry.tag) == 0) {
      (t.*entry.table)[key] = value;
      return;
    }
  }
  for (const RealTag& entry : real_tags) {
    if (strcmp(tag, entry.tag) == 0) {
      (t.*entry.table)[key] = parse_real(value);
      return;
    }
  }
  for (const IntTag& entry : int_tags) {
    if (strcmp(tag, entry.tag) == 0) {
      (t.*entry.table)[key] = parse_int(value);
      return;
    }
  }
}

// "cycle;start;output length;finished" of a Checkpoint line.
void read_mark(const char* task, const char* value, CheckpointMark* mark) {
  std::vector<std::string> fields;
  std::string field;
  for (const char* p = value;; p++) {
    if (*p == ';' || *p == '\0') {
      fields.push_back(field);
      field.clear();
      if (*p == '\0') break;
    } else {
      field += *p;
    }
  }
  if (fields.size() != 4) return;
  mark->present = true;
  mark->task = task;
  mark->cycle_counter = parse_int(fields[0].c_str());
  mark->cycle_start_time = parse_int(fields[1].c_str());
  mark->output_length = strtoll(fields[2].c_str(), nullptr, 10);
  mark->finished = parse_int(fields[3].c_str()) == 1 ? 1 : 0;
}

}  // namespace

void read_state_file(Tables& t, FILE* f) {
  // Lines of any length: a long reading history is read back whole.
  char* line = nullptr;
  size_t capacity = 0;
  while (getline(&line, &capacity, f) >= 0) {
    char* saveptr = nullptr;
    char* tag = strtok_r(line, "\t", &saveptr);
    char* key = strtok_r(nullptr, "\t", &saveptr);
    if (!tag || !key) continue;
    if (strcmp(tag, "Last_new_wu") == 0) {
      t.Last_new_wu = parse_int(key);
      continue;
    }
    const bool active_project = strcmp(tag, "Active_project") == 0;
    const bool active_task = strcmp(tag, "Activetask") == 0;
    const bool counted = strcmp(tag, "New wu counted") == 0;
    if (active_project || active_task || counted) {
      char* element_save = nullptr;
      char* element = strtok_r(key, "\n", &element_save);
      if (!element) continue;
      if (active_project) t.Active_project.push_back(element);
      if (active_task) t.Activetask_list.push_back(element);
      if (counted) t.New_wu_counted.insert(element);
      continue;
    }
    char* value = strtok_r(nullptr, "\n", &saveptr);
    if (!value) continue;
    if (strcmp(tag, "Checkpoint") == 0) {
      read_mark(key, value, &t.Checkpoint);
      continue;
    }
    store_entry(t, tag, key, value);
  }
  free(line);
}
