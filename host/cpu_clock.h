#ifndef COLLECTOR_HOST_CPU_CLOCK_H_
#define COLLECTOR_HOST_CPU_CLOCK_H_

struct Collector;

// The processor clock in MHz, measured anew at each call: the processor's
// cycle counter against the platform's high-resolution counter over a spin of
// 10000 counter ticks. Returns 0 when the platform has no such counter.
int measure_cpu_mhz(Collector& c);

#endif  // COLLECTOR_HOST_CPU_CLOCK_H_
