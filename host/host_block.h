// The host's description: host id, processor model and counts, display
// adapters and GPUs, written once per process in its first full cycle; and
// the per-cycle correction factor for over-committed hosts.
#ifndef COLLECTOR_HOST_HOST_BLOCK_H_
#define COLLECTOR_HOST_HOST_BLOCK_H_

struct Collector;

// Runs the host block unless it already succeeded in this process. Returns
// true when the host id and processor model are known (the cycle goes on),
// false when either is missing (the cycle is cut short; nothing written).
bool run_host_block(Collector& c);

// The GPU records: the text ./gpu_detect leaves in coproc.txt with a version
// 7 client, one "GPU" record per vendor with a version 6 client. The last
// step of the host block.
void gpu_inventory(Collector& c);

// This cycle's correction factor from the logical processor count and the
// executing CPU sum of the previous cycle: 1.0, or N / k when the executing
// tasks claimed k > N processors (logged).
double correction_factor(Collector& c);

#endif  // COLLECTOR_HOST_HOST_BLOCK_H_
