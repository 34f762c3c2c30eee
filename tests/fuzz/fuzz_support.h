// What the fuzz targets share: splitting an input into NUL-separated fields,
// an input as an open stream, a scratch directory, the collector wired to
// the fakes, and the checks that end a run with a report.
#ifndef COLLECTOR_TESTS_FUZZ_FUZZ_SUPPORT_H_
#define COLLECTOR_TESTS_FUZZ_FUZZ_SUPPORT_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <utility>
#include <vector>

struct Tables;

// A failed property: prints the message and the location, then aborts, so
// that libFuzzer keeps the input as a crash.
#define FUZZ_CHECK(condition, message)                                             \
  do {                                                                             \
    if (!(condition)) fuzz_fail(__FILE__, __LINE__, #condition, (message));       \
  } while (0)

[[noreturn]] void fuzz_fail(const char* file, int line, const char* condition,
                            const std::string& message);

// The input cut at every NUL byte: at most `max_fields` fields, the last one
// holding the rest. An empty input gives one empty field.
std::vector<std::string> split_fields(const uint8_t* data, size_t size, size_t max_fields);

// Reads fields in order; past the last one every field is empty.
class FieldReader {
 public:
  explicit FieldReader(std::vector<std::string> fields) : fields_(std::move(fields)) {}
  bool exhausted() const { return next_ >= fields_.size(); }
  // The next field, cut to `max` bytes.
  std::string text(size_t max = 4096);
  // The next field as an int (atoi, clamped); `fallback` when it is empty.
  int integer(int fallback);
  // The next field as a double (atof); `fallback` when it is empty.
  double real(double fallback);

 private:
  std::vector<std::string> fields_;
  size_t next_ = 0;
};

// The bytes as a stream open for reading (a memory stream over a copy that
// stays valid until the next call). Close it with fclose.
FILE* open_bytes(const std::string& bytes);

// A directory made once per process under /dev/shm (else $TMPDIR or /tmp)
// and removed at exit.
const std::string& scratch_directory();

// Removes everything under `path` (not `path` itself).
void empty_directory(const std::string& path);

// Writes `text` to `path` whole. Returns false on failure.
bool write_bytes(const std::string& path, const std::string& text);
std::string read_bytes(const std::string& path);

// The lines of `text` without their line ends; a text that does not end in
// a line end has its last line counted too.
std::vector<std::string> lines_of(const std::string& text);

// `text` with every line end (LF, CR) made a blank: what the output file and
// the state file write for a name that holds one.
std::string blanked(const std::string& text);

// Sends the collector's log to a sink that each call empties (the targets
// do not look at it; standard error stays quiet).
void quiet_log();

// A visible rendering of a text for messages (escapes, cut to 200 bytes).
std::string shown(const std::string& text);

// --- The state file ---------------------------------------------------------

// (tag, key) of every entry of the saved tables, and (tag, element) of every
// element of the saved lists and of the checkpoint mark.
using TagKey = std::pair<std::string, std::string>;
std::set<TagKey> saved_keys(const Tables& t);

// A key as the state file writes it: line ends and TABs made blanks.
std::string blanked_key(const std::string& key);

// Reads `text` as a state file into *tables and returns the state file
// written from them.
std::string read_and_format(const std::string& text, Tables* tables);

// `written` is the state file written from `source`. Reads it back and
// checks that no entry appears that `source` did not hold (keys compared
// blanked), that the text written again equals `written` when `exact`, and
// that a further round trip changes nothing.
void check_state_round_trip(const Tables& source, const std::string& written, bool exact);

#endif  // COLLECTOR_TESTS_FUZZ_FUZZ_SUPPORT_H_
