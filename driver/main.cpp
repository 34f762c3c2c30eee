// The collector: a BOINC application that watches the BOINC client which runs
// it, for the length of one work unit, and records what it sees.
#include <cstdlib>

#include "boinc_api.h"
#include "driver/collection_cycle.h"
#include "driver/collector.h"
#include "driver/startup.h"

int main(int argc, char** argv) {
  static Collector c;
  int status = start_up(c, argc, argv);
  if (status != 0) exit(status);
  run_collection(c);
  boinc_finish(0);
  return 0;
}
