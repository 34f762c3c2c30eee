// The gpu_detect program, run in a temporary slot against fake sysfs trees,
// with NVIDIA's management library kept out.
#ifdef GPU_DETECT_BIN

#include <algorithm>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "tests/fakes/test_support.h"

namespace {

const char kPciIds[] =
    "10de  NVIDIA Corporation\n"
    "\t1b80  GP104 [GeForce GTX 1080]\n"
    "1002  Advanced Micro Devices, Inc. [AMD/ATI]\n"
    "\t73bf  Navi 21 [Radeon RX 6800/6800 XT / 6900 XT]\n";

struct Device {
  std::string address, vendor, device, device_class, driver;
  std::string vram;  // mem_info_vram_total, empty for none
};

class GpuDetect : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.reset(new TempDir());
    root = dir->path() + "/sys";
    slot = dir->path() + "/slot";
    pci_ids = dir->path() + "/pci.ids";
    make_dirs(root + "/bus/pci/devices");
    make_dirs(slot);
    write_file(pci_ids, kPciIds);
  }

  void add_device(const Device& d) {
    std::string dev = root + "/bus/pci/devices/" + d.address;
    make_dirs(dev);
    write_file(dev + "/vendor", d.vendor + "\n");
    write_file(dev + "/device", d.device + "\n");
    write_file(dev + "/subsystem_vendor", "0x1458\n");
    write_file(dev + "/subsystem_device", "0x3702\n");
    write_file(dev + "/revision", "0xa1\n");
    write_file(dev + "/class", d.device_class + "\n");
    if (!d.vram.empty()) write_file(dev + "/mem_info_vram_total", d.vram + "\n");
    if (!d.driver.empty()) {
      std::string target = "../../../bus/pci/drivers/" + d.driver;
      EXPECT_EQ(0, symlink(target.c_str(), (dev + "/driver").c_str()));
    }
  }

  void add_module_version(const std::string& module, const std::string& version) {
    make_dirs(root + "/module/" + module);
    write_file(root + "/module/" + module + "/version", version);
  }

  // Runs gpu_detect in the slot; returns its exit status (-1 when it did not
  // exit normally).
  int run() {
    std::string command = "cd '" + slot + "' && GPU_DETECT_NO_NVML=1 GPU_DETECT_SYSFS_ROOT='" +
                          root + "' GPU_DETECT_PCI_IDS='" + pci_ids + "' '" GPU_DETECT_BIN "'";
    int status = system(command.c_str());
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string coproc() const { return slot + "/coproc.txt"; }

  std::unique_ptr<TempDir> dir;
  std::string root, slot, pci_ids;
};

TEST_F(GpuDetect, NoGpuWritesNothingAndRemovesAStaleFile) {
  add_device({"0000:00:1f.3", "0x8086", "0xa348", "0x040300", "snd_hda_intel", ""});
  add_device({"0000:00:02.0", "0x8086", "0x3e92", "garbage", "i915", ""});  // class unreadable
  write_file(coproc(), "GPU;NVIDIA;0;stale;1;1;nvidia;;\n");
  EXPECT_EQ(0, run());
  EXPECT_FALSE(file_exists(coproc()));

  // No sysfs at all.
  root = dir->path() + "/missing";
  write_file(coproc(), "stale\n");
  EXPECT_EQ(0, run());
  EXPECT_FALSE(file_exists(coproc()));
  EXPECT_FALSE(file_exists(slot + "/coproc.txt.tmp"));
}

TEST_F(GpuDetect, OneLinePerGpuNumberedPerVendor) {
  add_device({"0000:03:00.0", "0x1002", "0x73bf", "0x030000", "amdgpu", "17163091968"});
  add_device({"0000:01:00.0", "0x10de", "0x1b80", "0x030000", "nvidia", ""});
  add_device({"0000:01:00.1", "0x10de", "0x10f0", "0x040300", "snd_hda_intel", ""});
  add_device({"0000:41:00.0", "0x10de", "0x2684", "0x030200", "", ""});  // no driver, not named
  add_module_version("nvidia", "535.104.05\n");
  write_file(coproc(), std::string(4000, 'x') + "\n");  // an earlier run's longer file
  EXPECT_EQ(0, run());
  EXPECT_EQ(
      "GPU;NVIDIA;0;NVIDIA Corporation GP104 [GeForce GTX 1080];-1;535.104.05;nvidia;"
      "PCI\\VEN_10DE&DEV_1B80&SUBSYS_37021458&REV_A1;0000:01:00.0\n"
      "GPU;ATI/AMD;0;Advanced Micro Devices, Inc. [AMD/ATI] Navi 21 [Radeon RX 6800/6800 XT / 6900 XT];"
      "17163091968;;amdgpu;PCI\\VEN_1002&DEV_73BF&SUBSYS_37021458&REV_A1;0000:03:00.0\n"
      "GPU;NVIDIA;1;;-1;;;PCI\\VEN_10DE&DEV_2684&SUBSYS_37021458&REV_A1;0000:41:00.0\n",
      read_file(coproc()));
  EXPECT_FALSE(file_exists(slot + "/coproc.txt.tmp"));
}

TEST_F(GpuDetect, SeparatorsAndLineEndsInNamesBecomeBlanks) {
  write_file(pci_ids,
             "1a03  Vendor;One\r\n"
             "\t2000  Graphics; family\r\n");
  add_device({"0000:05:00.0", "0x1a03", "0x2000", "0x030000", "odd\nname;x", "12;34"});
  add_module_version("odd\nname;x", "1.2;3\r\nbuild 4\n");
  EXPECT_EQ(0, run());
  std::string text = read_file(coproc());
  EXPECT_EQ(
      "GPU;0x1a03;0;Vendor One Graphics  family;-1;1.2 3  build 4;odd name x;"
      "PCI\\VEN_1A03&DEV_2000&SUBSYS_37021458&REV_A1;0000:05:00.0\n",
      text);
  ASSERT_EQ(1u, split_lines(text).size());
  EXPECT_EQ(9u, std::count(text.begin(), text.end(), ';') + 1);
}

}  // namespace

#endif  // GPU_DETECT_BIN
