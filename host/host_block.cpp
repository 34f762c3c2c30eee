#include "host/host_block.h"

#include <cstring>
#include <vector>

#include "client/paced_calls.h"
#include "driver/collector.h"
#include "driver/log.h"
#include "driver/text.h"
#include "filesys.h"

bool run_host_block(Collector& c) {
  HostBlock& h = c.host;
  if (!h.processor_model.empty() && h.host_id != 0) return true;
  if (c.settings.test_mode) {
    h.host_id = 1;
    h.processor_model = "cpu";
    h.client_processor_count = 5;
    h.logical_processor_count = 4;
  } else {
    h.host_id = c.init_data.hostid;
    h.processor_model = c.init_data.host_info.p_model;
    h.client_processor_count = c.init_data.host_info.p_ncpus;
    h.logical_processor_count = c.platform->logical_processor_count();
  }
  if (h.processor_model.empty() || h.host_id == 0) return false;

  c.out.printf("hostid;%d\n", h.host_id);
  c.out.printf("p_model;%s;%d;%d\n", h.processor_model.c_str(), h.client_processor_count,
               h.logical_processor_count);
  platform::DisplayAdapter adapter;
  for (int index = 0; c.platform->display_adapter(index, &adapter) == 0; index++) {
    if (adapter.id.empty()) continue;
    c.out.printf("edd;%s;%s\n", adapter.id.c_str(), adapter.description.c_str());
  }
  c.out.flush();
  gpu_inventory(c);
  return true;
}

namespace {

// Copies the coprocessor description file into the output, unchanged.
void copy_coproc_file(Collector& c) {
  FILE* f = boinc_fopen(c.paths.coproc.c_str(), "r");
  if (!f) return;
  std::vector<char> buffer(100000, '\0');
  while (fgets(buffer.data(), static_cast<int>(buffer.size()), f)) {
    c.out.copy(buffer.data());
    memset(buffer.data(), 0, buffer.size());
  }
  fclose(f);
}

void gpu_records_from_host_info(Collector& c) {
  const COPROCS& coprocs = c.replies.host_info.coprocs;
  if (coprocs.ati.count == 1) {
    // The library keeps the target in an enumeration whose named values stop
    // short of newer devices: read it as the int it holds.
    int target = 0;
    static_assert(sizeof(coprocs.ati.attribs.target) == sizeof(target), "target is an int");
    memcpy(&target, &coprocs.ati.attribs.target, sizeof(target));
    c.out.printf("GPU;%s;%d;%s;%d;%d;%d\n", "ATI/AMD", 0, coprocs.ati.name, target,
                 static_cast<int>(coprocs.ati.attribs.numberOfSIMD),
                 static_cast<int>(coprocs.ati.attribs.engineClock));
  } else {
    log_printf("%s Nombre de GPU ATI/AMD non conforme: %d\n", msg_prefix(), coprocs.ati.count);
  }
  if (coprocs.nvidia.count == 1) {
    c.out.printf("GPU;%s;%d;%s;%d;%d;%d\n", "NVIDIA", 0, coprocs.nvidia.prop.name, -1,
                 coprocs.nvidia.prop.multiProcessorCount, coprocs.nvidia.prop.clockRate / 1000);
  } else {
    log_printf("%s Nombre de GPU NVIDIA non conforme: %d\n", msg_prefix(),
               coprocs.nvidia.count);
  }
}

}  // namespace

void gpu_inventory(Collector& c) {
  if (query_host_info(c) != 0) {
    log_printf("%s Erreur reception host_info\n", msg_prefix());
    c.last_request_time = c.now();
    return;
  }
  c.last_request_time = 0;
  if (c.replies.host_info.coprocs.n_rsc <= 1) return;
  if (query_client_version(c) == 7) {
    c.platform->run_program("./gpu_detect");
    copy_coproc_file(c);
  } else if (query_client_version(c) == 6) {
    gpu_records_from_host_info(c);
  }
  c.out.flush();
}

double correction_factor(Collector& c) {
  int n = c.host.logical_processor_count;
  double sum = c.executing_cpu_sum;
  if (n <= 0) return 1.0;
  int k = truncate_to_int(sum);
  if (k <= n) return 1.0;
  double factor = static_cast<double>(n) / static_cast<double>(k);
  log_printf("%s facteur correction: %3f (%d/%3f)\n", msg_prefix(), factor, n, sum);
  return factor;
}
