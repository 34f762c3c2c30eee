#include "driver/startup.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "boinc_api.h"
#include "driver/collector.h"
#include "driver/log.h"
#include "driver/text.h"
#include "accounting/accounting.h"
#include "filesys.h"
#include "host/cpu_clock.h"
#include "persistence/checkpoint.h"
#include "platform/platform.h"

void parse_command_line(Settings* s, int argc, char** argv) {
  for (int i = 0; i < argc; i++) {
    // The five tests follow one another: an option that takes its value
    // leaves the index on the value, which the later tests then look at.
    struct IntOption { const char* name; int* value; };
    const IntOption int_options[] = {
        {"-p", &s->gui_rpc_port}, {"-c", &s->cycle_period}, {"-n", &s->cycle_count}};
    for (const IntOption& option : int_options) {
      if (strcmp(argv[i], option.name) != 0) continue;
      if (i + 1 >= argc) {
        log_printf("%s Option %s sans valeur: ignoree\n", msg_prefix(), option.name);
        continue;
      }
      *option.value = parse_int(argv[++i]);
    }
    if (strcmp(argv[i], "-g") == 0) {
      if (i + 1 >= argc) {
        log_printf("%s Option %s sans valeur: ignoree\n", msg_prefix(), "-g");
      } else {
        s->cycle_credit = parse_real(argv[++i]);
      }
    }
    if (strcmp(argv[i], "-t") == 0) {
      if (i + 1 >= argc) {
        log_printf("%s Option %s sans valeur: ignoree\n", msg_prefix(), "-t");
      } else {
        s->data_directory = argv[++i];
        s->test_mode = true;
      }
    }
  }
}

std::string derive_data_directory(const std::string& working_directory) {
  std::string dir = working_directory;
  for (char& ch : dir) {
    if (ch == '\\') ch = '/';
  }
  for (int cut = 0; cut < 2; cut++) {
    size_t slash = dir.find_last_of('/');
    if (slash != std::string::npos) dir.erase(slash);
  }
  return dir;
}

namespace {

// Opens the output file in `mode`. Returns 0, or logs and returns 1.
int open_output(Collector& c, const char* mode) {
  int retval = c.out.open(c.paths.output, mode);
  if (retval == 0) return 0;
  int error = errno;
  log_printf("%s output open failed:\n", msg_prefix());
  log_printf("%s resolved name %s, retval %s\n", msg_prefix(), c.paths.output.c_str(),
             strerror(retval));
  log_printf("open: %s\n", strerror(error));
  return 1;
}

// The task was stopped: anything written after its last checkpoint belongs
// to a cycle that runs again, so the output goes back to the length the
// checkpoint recorded, and every record is written once. When the counters
// file was replaced but the state file was not (stopped between the two), the
// state file's checkpoint is the last whole one.
void return_to_last_checkpoint(Collector& c) {
  CheckpointMark mark = c.counters_mark;
  const CheckpointMark& saved = c.tables.Checkpoint;
  const std::string task = c.init_data.result_name[0] ? c.init_data.result_name : "-";
  const bool ours = saved.present && saved.task == task;
  if (mark.present && mark.cycle_counter == 1 && mark.finished == 0 && !ours) {
    // Stopped between the two files of the task's first checkpoint: the
    // state file never held this task, so the task starts over as a new one.
    log_printf("%s Premier point de reprise incomplet: la tache repart du debut\n",
               msg_prefix());
    c.cycle_counter = 0;
    c.cycle_start_time = 0;
    mark.output_length = 0;
  } else if (mark.present && ours &&
      (saved.cycle_counter < mark.cycle_counter ||
       (saved.cycle_counter == mark.cycle_counter && saved.finished < mark.finished))) {
    log_printf("%s Reprise au point de reprise du cycle %d\n", msg_prefix(),
               saved.cycle_counter);
    c.cycle_counter = saved.cycle_counter;
    c.cycle_start_time = saved.cycle_start_time;
    mark = saved;
  }
  c.work_unit_finished = mark.present && mark.finished == 1;
  int64_t size = 0;
  if (!mark.present || mark.output_length < 0 ||
      c.platform->file_size(c.paths.output, &size) != 0 || size <= mark.output_length) {
    return;
  }
  if (c.platform->truncate_file(c.paths.output, mark.output_length) == 0) {
    log_printf("%s Sortie ramenee de %lld a %lld octets (dernier point de reprise)\n",
               msg_prefix(), static_cast<long long>(size), mark.output_length);
  }
}

}  // namespace

int open_and_restore(Collector& c) {
  char resolved[512];
  boinc_resolve_filename("out", resolved, sizeof(resolved));
  c.paths.output = resolved;
  boinc_resolve_filename("checkpoint", resolved, sizeof(resolved));
  c.paths.counters = resolved;

  if (c.settings.test_mode) {
    c.paths.state_file = "cache";
    c.paths.coproc = "coproc.txt";
  } else {
    c.paths.state_file = std::string(c.init_data.project_dir) + "/cache";
    char coproc[4096 + 64];
    snprintf(coproc, sizeof(coproc), "%s/slots/%d/coproc.txt", c.init_data.boinc_dir,
             c.init_data.slot);
    c.paths.coproc = coproc;
  }

  // A counters file means a resumed task, whose output is appended to.
  FILE* counters = boinc_fopen(c.paths.counters.c_str(), "r");
  const bool resumed = counters != nullptr;
  if (counters) {
    read_counters(c, counters);
    fclose(counters);
  }
  FILE* state = boinc_fopen(c.paths.state_file.c_str(), "r");
  if (state) {
    read_state_file(c.tables, state);
    fclose(state);
  }
  if (resumed) return_to_last_checkpoint(c);
  if (open_output(c, resumed ? "ab" : "wb") != 0) return 1;
  rebuild_output_sizes(c);

  c.process_start_time = c.now();
  if (c.tables.Last_new_wu == 0) c.tables.Last_new_wu = c.process_start_time;
  // A process started again after its work unit's finish was written has
  // nothing to add: the task only has to end.
  if (c.work_unit_finished) return 0;

  int mhz = measure_cpu_mhz(c);
  c.out.printf("%s method 3;%d\n", msg_prefix(), mhz);
  // The planned length is an int product, as the counters are ints.
  int length = static_cast<int>(static_cast<uint32_t>(c.settings.cycle_count) *
                                static_cast<uint32_t>(c.settings.cycle_period));
  c.out.printf("Longueur_wu;%d\n", length);
  c.out.printf("Credit_cycle;%f;%d\n", c.settings.cycle_credit, c.settings.cycle_count);
  c.out.flush();

  if (c.cycle_counter == 0) c.tables.clear_per_task_tables();
  return 0;
}

int start_up(Collector& c, int argc, char** argv) {
  platform::sockets_startup();
  parse_command_line(&c.settings, argc, argv);
  c.rpc_client.set_port(c.settings.gui_rpc_port);
  log_printf("%s initialisation\n", msg_prefix());

  int retval = boinc_init();
  if (retval != 0) {
    log_printf("%s boinc_init returned %d\n", msg_prefix(), retval);
    return retval;
  }

  if (!c.settings.test_mode) {
    boinc_get_init_data(c.init_data);
    std::string working_directory;
    if (c.platform->working_directory(&working_directory) == 0) {
      c.settings.data_directory = derive_data_directory(working_directory);
    } else {
      // The init data name the client's data directory too.
      c.settings.data_directory = c.init_data.boinc_dir;
    }
  }
  return open_and_restore(c);
}
