// read_counters on arbitrary bytes, against a model of the reading rules.
//
// Input: the bytes of a counters file "checkpoint".
//
// The model: lines of at most 999 bytes (a longer line goes on as the next
// one); each of the three counters is the int at the start of its line, up
// to the first TAB (leading TABs skipped, a NUL ends the text), 0 when there
// is none; a file with fewer lines repeats the last line read, an empty one
// gives zeros. A fourth line marks the checkpoint as present with the output
// length; a fifth, when it reads 1, marks the finish.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "driver/collector.h"
#include "driver/text.h"
#include "persistence/checkpoint.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// fgets with a 1000-byte buffer: the next line of at most 999 bytes, with
// its line end; false at the end of the input.
bool next_line(const std::string& input, size_t* at, std::string* line) {
  if (*at >= input.size()) return false;
  size_t end = *at;
  while (end < input.size() && end - *at < 999) {
    if (input[end++] == '\n') break;
  }
  *line = input.substr(*at, end - *at);
  *at = end;
  return true;
}

// The counter a line holds: the text before the first TAB (leading TABs
// skipped), read up to a NUL, as atoi clamped to the int range.
int counter_of(const std::string& line) {
  std::string text = line.substr(0, line.find('\0'));
  size_t start = text.find_first_not_of('\t');
  if (start == std::string::npos) return 0;
  text = text.substr(start, text.find('\t', start) - start);
  return parse_int(text.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  static Collector* c = new Collector();
  c->cycle_counter = c->cycle_start_time = c->process_start_time = -7;
  c->counters_mark = CheckpointMark();

  FILE* f = open_bytes(input);
  FUZZ_CHECK(f != nullptr, "memory stream");
  read_counters(*c, f);
  fclose(f);

  size_t at = 0;
  std::string line;
  int expected[3] = {0, 0, 0};
  int last = 0;
  for (int& value : expected) {
    if (next_line(input, &at, &line)) last = counter_of(line);
    value = last;
  }
  FUZZ_CHECK(c->cycle_counter == expected[0],
             "cycle_counter " + std::to_string(c->cycle_counter) + ", expected " +
                 std::to_string(expected[0]));
  FUZZ_CHECK(c->cycle_start_time == expected[1],
             "cycle_start_time " + std::to_string(c->cycle_start_time) + ", expected " +
                 std::to_string(expected[1]));
  FUZZ_CHECK(c->process_start_time == expected[2],
             "process_start_time " + std::to_string(c->process_start_time) + ", expected " +
                 std::to_string(expected[2]));

  const CheckpointMark& mark = c->counters_mark;
  FUZZ_CHECK(mark.cycle_counter == c->cycle_counter, "mark's cycle");
  FUZZ_CHECK(mark.cycle_start_time == c->cycle_start_time, "mark's start time");
  std::string fourth, fifth;
  const bool present = next_line(input, &at, &fourth);
  FUZZ_CHECK(mark.present == present, "mark present");
  if (present) {
    FUZZ_CHECK(mark.output_length == strtoll(fourth.c_str(), nullptr, 10), "output length");
    const bool finished = next_line(input, &at, &fifth) && parse_int(fifth.c_str()) == 1;
    FUZZ_CHECK(mark.finished == (finished ? 1 : 0), "finished flag");
  } else {
    FUZZ_CHECK(mark.output_length == -1 && mark.finished == 0, "absent mark keeps its defaults");
  }
  return 0;
}
