// Processor clock, host records, GPU inventory and correction factor.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "host/cpu_clock.h"
#include "host/host_block.h"
#include "tests/fakes/test_support.h"

namespace {

class HostTest : public CollectorTest {
 protected:
  void SetUp() override {
    CollectorTest::SetUp();
    open_output();
  }
  void set_ati(int count) {
    COPROC_ATI& ati = client.host_info.coprocs.ati;
    ati.count = count;
    strcpy(ati.name, "X");
    ati.attribs.target = static_cast<CALtarget>(8);
    ati.attribs.numberOfSIMD = 10;
    ati.attribs.engineClock = 850;
  }
  void set_nvidia(int count, int clock_rate) {
    COPROC_NVIDIA& nvidia = client.host_info.coprocs.nvidia;
    nvidia.count = count;
    strcpy(nvidia.prop.name, "GeForce GTX 1080");
    nvidia.prop.multiProcessorCount = 30;
    nvidia.prop.clockRate = clock_rate;
  }
};

TEST_F(HostTest, ClockIsCyclesOverCounterTicks) {
  // 4 MHz counter, 150 cycles per tick: 600 MHz.
  EXPECT_EQ(600, measure_cpu_mhz(c()));
  platform.frequency = 10000000;
  platform.cycles_per_tick = 260;
  EXPECT_EQ(2600, measure_cpu_mhz(c()));
  platform.has_counter = false;
  EXPECT_EQ(0, measure_cpu_mhz(c()));
}

TEST_F(HostTest, HostRecordsOncePerProcessWithAdapters) {
  platform.adapters = {{"PCI\\VEN_10DE&DEV_1B80&SUBSYS_119E10DE&REV_A1", "GP104"},
                       {"", "no id"},
                       {"PCI\\VEN_8086&DEV_3E92&SUBSYS_00000000&REV_00", "UHD 630"}};
  ASSERT_TRUE(run_host_block(c()));
  ASSERT_TRUE(run_host_block(c()));  // the second time writes nothing
  EXPECT_EQ(
      "hostid;1\n"
      "p_model;cpu;5;4\n"
      "edd;PCI\\VEN_10DE&DEV_1B80&SUBSYS_119E10DE&REV_A1;GP104\n"
      "edd;PCI\\VEN_8086&DEV_3E92&SUBSYS_00000000&REV_00;UHD 630\n",
      output());
  EXPECT_EQ(1, client.count("get_host_info"));
}

TEST_F(HostTest, InitDataWithoutHostIdOrModelKeepsTheBlockPending) {
  c().settings.test_mode = false;
  platform.processors = 8;
  strcpy(c().init_data.host_info.p_model, "Ryzen");
  c().init_data.host_info.p_ncpus = 16;
  EXPECT_FALSE(run_host_block(c()));  // host id 0
  c().init_data.hostid = 42;
  c().init_data.host_info.p_model[0] = '\0';
  EXPECT_FALSE(run_host_block(c()));  // empty model
  EXPECT_EQ("", output());
  EXPECT_EQ(0, client.count("get_host_info"));
  strcpy(c().init_data.host_info.p_model, "Ryzen");
  EXPECT_TRUE(run_host_block(c()));
  EXPECT_EQ("hostid;42\np_model;Ryzen;16;8\n", output());
}

struct GpuCase {
  const char* what;
  int major;
  int ati, nvidia, clock_rate;
  const char* records;
  const char* log;
};

TEST_F(HostTest, GpuRecordsFromAVersion6Client) {
  const GpuCase cases[] = {
      {"one ATI", 6, 1, 0, 0, "GPU;ATI/AMD;0;X;8;10;850\n",
       "P: Nombre de GPU NVIDIA non conforme: 0\n"},
      {"one NVIDIA", 6, 0, 1, 1733500, "GPU;NVIDIA;0;GeForce GTX 1080;-1;30;1733\n",
       "P: Nombre de GPU ATI/AMD non conforme: 0\n"},
      {"clock below 1 MHz", 6, 0, 1, 999, "GPU;NVIDIA;0;GeForce GTX 1080;-1;30;0\n",
       "P: Nombre de GPU ATI/AMD non conforme: 0\n"},
      {"two NVIDIA", 6, 0, 2, 1000, "",
       "P: Nombre de GPU ATI/AMD non conforme: 0\nP: Nombre de GPU NVIDIA non conforme: 2\n"},
      {"neither 6 nor 7", 5, 1, 1, 1000, "", ""},
  };
  for (const GpuCase& k : cases) {
    new_collector();
    open_output();
    client = FakeClientCalls();
    log_.clear();
    client.major_version = k.major;
    client.host_info.coprocs.n_rsc = 2;
    set_ati(k.ati);
    set_nvidia(k.nvidia, k.clock_rate);
    gpu_inventory(c());
    EXPECT_EQ(k.records, output()) << k.what;
    EXPECT_EQ(k.log, log()) << k.what;
    EXPECT_EQ(2, client.count("exchange_versions")) << k.what;  // asked twice
    EXPECT_TRUE(platform.programs_run.empty()) << k.what;
  }
}

TEST_F(HostTest, Version7RunsGpuDetectAndCopiesItsFileUnchanged) {
  client.host_info.coprocs.n_rsc = 2;
  const std::string text = "GPU;NVIDIA;0;A;1\n\tline two; as is\nlast line without end";
  platform.on_run_program = [&](const char*) {
    write_file("coproc.txt", text);
    return 0;
  };
  gpu_inventory(c());
  EXPECT_EQ(std::vector<std::string>({"./gpu_detect"}), platform.programs_run);
  EXPECT_EQ(text, output());
  EXPECT_EQ(1, client.count("exchange_versions"));
}

TEST_F(HostTest, Version7WithoutCoprocFileWritesNothing) {
  client.host_info.coprocs.n_rsc = 3;
  gpu_inventory(c());
  EXPECT_EQ(1u, platform.programs_run.size());
  EXPECT_EQ("", output());
  EXPECT_EQ("", log());
}

TEST_F(HostTest, OnlyTheProcessorAsResourceMeansNoGpuWork) {
  client.unexpected = {"exchange_versions"};
  gpu_inventory(c());
  EXPECT_TRUE(platform.programs_run.empty());
  EXPECT_EQ(0, c().last_request_time);
}

TEST_F(HostTest, FailedHostInfoIsLoggedAndStamped) {
  client.reachable = false;
  gpu_inventory(c());
  EXPECT_EQ("P: can't connect to localhostP: Erreur reception host_info\n", log());
  EXPECT_EQ(clock.now(), c().last_request_time);
}

TEST_F(HostTest, CorrectionFactor) {
  struct Case { int n; double sum; double factor; const char* log; };
  const Case cases[] = {
      {8, 10.7, 0.8, "P: facteur correction: 0.800000 (8/10.700000)\n"},
      {8, 8.9, 1.0, ""},
      {8, 0.0, 1.0, ""},
      {0, 50.0, 1.0, ""},
      {4, 1e300, 4.0 / 2147483647.0, nullptr},
  };
  for (const Case& k : cases) {
    log_.clear();
    c().host.logical_processor_count = k.n;
    c().executing_cpu_sum = k.sum;
    EXPECT_DOUBLE_EQ(k.factor, correction_factor(c())) << k.sum;
    if (k.log) {
      EXPECT_EQ(k.log, log()) << k.sum;
    }
  }
}

}  // namespace
