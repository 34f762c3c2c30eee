#include "tests/fuzz/fuzz_support.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "driver/log.h"
#include "driver/text.h"
#include "persistence/checkpoint.h"
#include "persistence/tables.h"

void fuzz_fail(const char* file, int line, const char* condition, const std::string& message) {
  fprintf(stderr, "\n%s:%d: property failed: %s\n  %s\n", file, line, condition, message.c_str());
  fflush(stderr);
  abort();
}

std::vector<std::string> split_fields(const uint8_t* data, size_t size, size_t max_fields) {
  std::vector<std::string> fields(1);
  for (size_t i = 0; i < size; i++) {
    if (data[i] == 0 && fields.size() < max_fields) {
      fields.emplace_back();
    } else {
      fields.back().push_back(static_cast<char>(data[i]));
    }
  }
  return fields;
}

std::string FieldReader::text(size_t max) {
  if (next_ >= fields_.size()) return std::string();
  std::string field = fields_[next_++];
  if (field.size() > max) field.resize(max);
  return field;
}

int FieldReader::integer(int fallback) {
  std::string field = text(64);
  return field.empty() ? fallback : parse_int(field.c_str());
}

double FieldReader::real(double fallback) {
  std::string field = text(64);
  return field.empty() ? fallback : parse_real(field.c_str());
}

FILE* open_bytes(const std::string& bytes) {
  // The stream reads a copy that stays valid until the next call.
  static std::string buffer;
  buffer = bytes;
  static char empty[1];
  if (buffer.empty()) return fmemopen(empty, 0, "r");
  return fmemopen(&buffer[0], buffer.size(), "r");
}

namespace {

std::string make_scratch() {
  std::string base = "/dev/shm";
  if (access(base.c_str(), W_OK) != 0) {
    const char* tmp = getenv("TMPDIR");
    base = tmp && *tmp ? tmp : "/tmp";
  }
  std::string templ = base + "/collector-fuzz.XXXXXX";
  std::vector<char> buffer(templ.begin(), templ.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data())) {
    perror("mkdtemp");
    abort();
  }
  return buffer.data();
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

std::string* scratch_path = nullptr;

void remove_scratch() {
  if (!scratch_path) return;
  nftw(scratch_path->c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

int remove_below(const char* path, const struct stat*, int, struct FTW* ftw) {
  if (ftw->level > 0) remove(path);
  return 0;
}

}  // namespace

const std::string& scratch_directory() {
  if (!scratch_path) {
    scratch_path = new std::string(make_scratch());
    atexit(remove_scratch);
  }
  return *scratch_path;
}

void empty_directory(const std::string& path) {
  nftw(path.c_str(), remove_below, 16, FTW_DEPTH | FTW_PHYS);
}

bool write_bytes(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  return fclose(f) == 0 && ok;
}

std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string blanked(const std::string& text) {
  std::string out = text;
  for (char& ch : out) {
    if (ch == '\n' || ch == '\r') ch = ' ';
  }
  return out;
}

void quiet_log() {
  static std::string sink;
  sink.clear();
  log_capture(&sink);
}

std::string shown(const std::string& text) {
  std::string out;
  for (unsigned char ch : text.substr(0, 200)) {
    if (ch >= 32 && ch < 127 && ch != '\\') {
      out.push_back(static_cast<char>(ch));
    } else {
      char escaped[8];
      snprintf(escaped, sizeof(escaped), "\\x%02x", ch);
      out += escaped;
    }
  }
  if (text.size() > 200) out += "...(" + std::to_string(text.size()) + " bytes)";
  return out;
}

namespace {

template <typename Table>
void add_keys(const char* tag, const Table& table, std::set<TagKey>* out) {
  for (const auto& entry : table) out->insert({tag, entry.first});
}

}  // namespace

std::set<TagKey> saved_keys(const Tables& t) {
  std::set<TagKey> keys;
  add_keys("Delai", t.Delai, &keys);
  add_keys("Check", t.Check, &keys);
  add_keys("Conso", t.Conso, &keys);
  add_keys("File", t.File, &keys);
  add_keys("Upload", t.Upload, &keys);
  add_keys("Download", t.Download, &keys);
  add_keys("Occupation", t.Occupation, &keys);
  add_keys("Result", t.Result, &keys);
  add_keys("Duree", t.Duree, &keys);
  add_keys("Nb_file_result", t.Nb_file_result, &keys);
  add_keys("Size_file_result", t.Size_file_result, &keys);
  add_keys("Dir", t.Dir, &keys);
  add_keys("Dl_app", t.Dl_app, &keys);
  add_keys("Project", t.Project, &keys);
  add_keys("Ecart_releve", t.Ecart_releve, &keys);
  add_keys("Prochain_releve", t.Prochain_releve, &keys);
  add_keys("New wu", t.New_wu, &keys);
  add_keys("App", t.App, &keys);
  add_keys("Platform", t.Platform, &keys);
  add_keys("Run", t.Run, &keys);
  for (const std::string& e : t.New_wu_counted) keys.insert({"New wu counted", e});
  for (const std::string& e : t.Active_project) keys.insert({"Active_project", e});
  for (const std::string& e : t.Activetask_list) keys.insert({"Activetask", e});
  if (t.Checkpoint.present) keys.insert({"Checkpoint", t.Checkpoint.task});
  return keys;
}

std::string blanked_key(const std::string& key) {
  std::string out = key;
  for (char& ch : out) {
    if (ch == '\n' || ch == '\r' || ch == '\t') ch = ' ';
  }
  return out;
}

std::string read_and_format(const std::string& text, Tables* tables) {
  FILE* f = open_bytes(text);
  FUZZ_CHECK(f != nullptr, "memory stream");
  read_state_file(*tables, f);
  fclose(f);
  return format_state_file(*tables);
}

namespace {

// Where two texts part: the lines around the first difference.
std::string difference(const std::string& a, const std::string& b) {
  size_t at = 0;
  while (at < a.size() && at < b.size() && a[at] == b[at]) at++;
  size_t start = a.rfind('\n', at == 0 ? 0 : at - 1);
  start = start == std::string::npos ? 0 : start + 1;
  return "at byte " + std::to_string(at) + ":\n  " + shown(a.substr(start, 160)) +
         "\n  became\n  " + shown(b.substr(start, 160));
}

}  // namespace

void check_state_round_trip(const Tables& source, const std::string& written, bool exact) {
  Tables second;
  const std::string rewritten = read_and_format(written, &second);
  std::set<TagKey> allowed;
  for (const TagKey& k : saved_keys(source)) allowed.insert({k.first, blanked_key(k.second)});
  for (const TagKey& k : saved_keys(second)) {
    FUZZ_CHECK(allowed.count(k), "state file read back holds an entry that was not in memory: " +
                                     k.first + " " + shown(k.second));
  }
  if (exact) {
    FUZZ_CHECK(rewritten == written, "first round trip changed the state file " +
                                         difference(written, rewritten));
  }
  Tables third;
  const std::string again = read_and_format(rewritten, &third);
  FUZZ_CHECK(again == rewritten, "second round trip changed the state file " +
                                     difference(rewritten, again));
}
