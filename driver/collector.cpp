#include "driver/collector.h"

Collector::Collector() : platform(&real_platform_), clock(&real_clock_), client(&rpc_client) {}
