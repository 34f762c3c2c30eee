// e2e_worker: a BOINC application used as the client's other work in the
// end-to-end tests and the demonstration.
//
//   e2e_worker [-s SECONDS] [--burn] [-o BYTES]... [-i COUNT]
//
// It writes one output file per "-o", of exactly BYTES bytes, through the
// logical names out0, out1, ... (the client links them to the result's files
// <result>_0, <result>_1, ... in the project directory), right at the start,
// so that their final sizes are on disk for the whole run. It then spends
// SECONDS seconds of wall time one second at a time, sleeping or, with
// --burn, keeping one processor busy; after each second it checkpoints the
// seconds done to the slot file "progress" and tells the runtime. A task that
// the client restarts resumes from its checkpoint. "-i COUNT" names input
// files in0 ... in(COUNT-1) whose sizes it logs. It ends with boinc_finish(0).
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "boinc_api.h"
#include "filesys.h"
#include "util.h"

namespace {

const char* prefix() {
  static char text[256];
  boinc_msg_prefix(text, sizeof(text));
  return text;
}

// Seconds already done according to the checkpoint, 0 when there is none.
int read_progress(const std::string& path) {
  FILE* f = boinc_fopen(path.c_str(), "r");
  if (!f) return 0;
  int done = 0;
  if (fscanf(f, "%d", &done) != 1) done = 0;
  fclose(f);
  return done;
}

// Writes the checkpoint through a temporary file. Returns 0 or an error.
int write_progress(const std::string& path, int done) {
  std::string temp = path + ".tmp";
  FILE* f = boinc_fopen(temp.c_str(), "w");
  if (!f) return 1;
  fprintf(f, "%d\n", done);
  if (fclose(f) != 0) return 1;
  return boinc_rename(temp.c_str(), path.c_str());
}

// Writes exactly `bytes` bytes to the file behind logical name `logical`.
int write_output(const char* logical, long bytes) {
  std::string path;
  boinc_resolve_filename_s(logical, path);
  FILE* f = boinc_fopen(path.c_str(), "wb");
  if (!f) {
    fprintf(stderr, "%s cannot open %s (%s)\n", prefix(), logical, path.c_str());
    return 1;
  }
  std::vector<char> block(4096);
  for (size_t k = 0; k < block.size(); k++) block[k] = static_cast<char>('a' + k % 26);
  long left = bytes;
  while (left > 0) {
    size_t n = left < static_cast<long>(block.size()) ? static_cast<size_t>(left) : block.size();
    if (fwrite(block.data(), 1, n, f) != n) {
      fclose(f);
      return 1;
    }
    left -= static_cast<long>(n);
  }
  return fclose(f) == 0 ? 0 : 1;
}

void log_input_sizes(int count) {
  for (int k = 0; k < count; k++) {
    char logical[32];
    snprintf(logical, sizeof(logical), "in%d", k);
    std::string path;
    boinc_resolve_filename_s(logical, path);
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
      fprintf(stderr, "%s input %s: %lld bytes\n", prefix(), logical,
              static_cast<long long>(st.st_size));
    } else {
      fprintf(stderr, "%s input %s missing\n", prefix(), logical);
    }
  }
}

// One second of wall time, busy or asleep.
void spend_one_second(bool burn) {
  if (!burn) {
    boinc_sleep(1.0);
    return;
  }
  double end = dtime() + 1.0;
  volatile double x = 0.0;
  while (dtime() < end) {
    for (int k = 0; k < 200000; k++) x = x + k * 0.5;
  }
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 10;
  bool burn = false;
  int inputs = 0;
  std::vector<long> outputs;
  for (int i = 1; i < argc; i++) {
    if (!strcmp(argv[i], "-s") && i + 1 < argc) {
      seconds = atoi(argv[++i]);
    } else if (!strcmp(argv[i], "--burn")) {
      burn = true;
    } else if (!strcmp(argv[i], "-o") && i + 1 < argc) {
      outputs.push_back(atol(argv[++i]));
    } else if (!strcmp(argv[i], "-i") && i + 1 < argc) {
      inputs = atoi(argv[++i]);
    }
  }

  int retval = boinc_init();
  if (retval) {
    fprintf(stderr, "%s boinc_init returned %d\n", prefix(), retval);
    return retval;
  }

  std::string progress_path;
  boinc_resolve_filename_s("progress", progress_path);
  int done = read_progress(progress_path);
  fprintf(stderr, "%s %s for %d s, resuming at %d\n", prefix(), burn ? "burning" : "sleeping",
          seconds, done);
  log_input_sizes(inputs);

  for (size_t k = 0; k < outputs.size(); k++) {
    char logical[32];
    snprintf(logical, sizeof(logical), "out%zu", k);
    if (write_output(logical, outputs[k]) != 0) boinc_finish(1);
  }

  for (int second = done; second < seconds; second++) {
    spend_one_second(burn);
    if (write_progress(progress_path, second + 1) == 0) boinc_checkpoint_completed();
    boinc_fraction_done(static_cast<double>(second + 1) / seconds);
  }
  fprintf(stderr, "%s done after %d s\n", prefix(), seconds);
  boinc_finish(0);
  return 0;
}
