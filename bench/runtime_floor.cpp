// runtime_floor: the BOINC runtime alone, as the floor under the collector's
// own cost between cycles. It calls boinc_init as the collector does, then
// does nothing but the runtime's sleep for the given number of seconds, and
// finishes. collector_bench measures its CPU time from outside.
#include <cstdlib>

#include "boinc_api.h"
#include "util.h"

int main(int argc, char** argv) {
  int seconds = argc > 1 ? atoi(argv[1]) : 10;
  if (seconds < 1 || seconds > 600) seconds = 10;
  boinc_init();
  for (int i = 0; i < seconds; i++) boinc_sleep(1.0);
  boinc_finish(0);
  return 0;
}
