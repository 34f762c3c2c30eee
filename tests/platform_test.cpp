// Display adapters read from fake sysfs trees built in a temporary directory.
#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/sysfs_display.h"
#include "tests/fakes/test_support.h"

namespace {

const char kPciIds[] =
    "# a small pci.ids\n"
    "\n"
    "8086  Intel Corporation\n"
    "\t3e92  CoffeeLake-S GT2 [UHD Graphics 630]\n"
    "10de  NVIDIA Corporation\n"
    "\t1b80  GP104 [GeForce GTX 1080]\n"
    "\t\t10de 119e  GP104 [GeForce GTX 1080 Founders Edition]\n"
    "\t1c82  GP107 [GeForce GTX 1050 Ti]\n"
    "1002  Advanced Micro Devices, Inc. [AMD/ATI]\n"
    "\t73df  Navi 22 [Radeon RX 6700/6700 XT; 6750 XT]\n"
    "C 03  Display controller\n"
    "\t00  VGA compatible controller\n";

struct Device {
  std::string address;  // directory name under devices/
  std::string vendor, device, subsystem_vendor, subsystem_device, revision, device_class;
  std::string driver;  // empty: no driver link
};

std::string symlink_to(const std::string& target, const std::string& link) {
  if (symlink(target.c_str(), link.c_str()) != 0) ADD_FAILURE() << "symlink " << link;
  return link;
}

// A fake sysfs under `root`: PCI devices live in devices/pci0000:00/ and are
// listed in bus/pci/devices; DRM cards are directories of class/drm whose
// device link points at their device.
class FakeSysfs {
 public:
  explicit FakeSysfs(const std::string& root) : root_(root) {
    make_dirs(root_ + "/devices/pci0000:00");
    make_dirs(root_ + "/bus/pci/devices");
  }

  std::string add_device(const Device& d) {
    std::string dir = root_ + "/devices/pci0000:00/" + d.address;
    make_dirs(dir);
    auto put = [&](const char* name, const std::string& text) {
      if (!text.empty()) write_file(dir + "/" + name, text + "\n");
    };
    put("vendor", d.vendor);
    put("device", d.device);
    put("subsystem_vendor", d.subsystem_vendor);
    put("subsystem_device", d.subsystem_device);
    put("revision", d.revision);
    put("class", d.device_class);
    if (!d.driver.empty()) symlink_to("../../../bus/pci/drivers/" + d.driver, dir + "/driver");
    symlink_to("../../../devices/pci0000:00/" + d.address, root_ + "/bus/pci/devices/" + d.address);
    return dir;
  }

  // A card directory with the usual neighbours (a connector, a render node).
  void add_card(const std::string& card, const std::string& device_dir) {
    std::string dir = root_ + "/class/drm/" + card;
    make_dirs(dir);
    make_dirs(root_ + "/class/drm/" + card + "-HDMI-A-1");
    if (!device_dir.empty()) symlink_to(device_dir, dir + "/device");
  }

  void add_drm_neighbours() {
    make_dirs(root_ + "/class/drm/renderD128");
    write_file(root_ + "/class/drm/version", "drm 1.1.0 20060810\n");
  }

  const std::string& root() const { return root_; }

 private:
  std::string root_;
};

// Every adapter, as "id|description" lines, asking index 0, 1, ... until -1.
std::vector<std::string> adapters(const std::string& root, const std::vector<std::string>& ids) {
  std::vector<std::string> found;
  platform::DisplayAdapter adapter;
  for (int index = 0; index < 32; index++) {
    if (platform::display_adapter_in(root, ids, index, &adapter) != 0) break;
    found.push_back(adapter.id + "|" + adapter.description);
  }
  return found;
}

const Device kGtx1080{"0000:01:00.0", "0x10de", "0x1b80", "0x10de", "0x119e", "0xa1",
                      "0x030000", "nvidia"};
const Device kRadeon{"0000:03:00.0", "0x1002", "0x73bf", "0x1da2", "0xe437", "0xc1",
                     "0x030000", "amdgpu"};
const Device kIntelNoDriver{"0000:00:02.0", "0x8086", "0x3e92", "0x1028", "0x0869", "0x00",
                            "0x030000", ""};

class DisplayAdapters : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.reset(new TempDir());
    sys.reset(new FakeSysfs(dir->path() + "/sys"));
    pci_ids = dir->path() + "/pci.ids";
    write_file(pci_ids, kPciIds);
  }
  std::vector<std::string> list() { return adapters(sys->root(), {pci_ids}); }

  std::unique_ptr<TempDir> dir;
  std::unique_ptr<FakeSysfs> sys;
  std::string pci_ids;
};

TEST_F(DisplayAdapters, DrmCardsInNumericOrderWithoutConnectors) {
  // card10 sorts before card2 as text; the numeric order puts card2 first.
  sys->add_card("card10", sys->add_device(kRadeon));
  sys->add_card("card2", sys->add_device(kGtx1080));
  sys->add_drm_neighbours();
  EXPECT_EQ((std::vector<std::string>{
                "PCI\\VEN_10DE&DEV_1B80&SUBSYS_119E10DE&REV_A1|NVIDIA Corporation GP104 [GeForce GTX 1080]",
                "PCI\\VEN_1002&DEV_73BF&SUBSYS_E4371DA2&REV_C1|amdgpu",
            }),
            list());
  platform::DisplayAdapter adapter{"kept", "kept"};
  EXPECT_EQ(-1, platform::display_adapter_in(sys->root(), {pci_ids}, 2, &adapter));
  EXPECT_EQ(-1, platform::display_adapter_in(sys->root(), {pci_ids}, -1, &adapter));
  EXPECT_EQ("kept", adapter.id);
}

TEST_F(DisplayAdapters, DescriptionFallsBackFromPciIdsToDriverToNothing) {
  Device unknown = kGtx1080;
  unknown.address = "0000:02:00.0";
  unknown.device = "0x2684";  // not in the small database
  unknown.driver = "";
  sys->add_card("card0", sys->add_device(kIntelNoDriver));
  sys->add_card("card1", sys->add_device(kGtx1080));
  sys->add_card("card2", sys->add_device(unknown));
  std::vector<std::string> named = {
      "PCI\\VEN_8086&DEV_3E92&SUBSYS_08691028&REV_00|Intel Corporation CoffeeLake-S GT2 [UHD Graphics 630]",
      "PCI\\VEN_10DE&DEV_1B80&SUBSYS_119E10DE&REV_A1|NVIDIA Corporation GP104 [GeForce GTX 1080]",
      "PCI\\VEN_10DE&DEV_2684&SUBSYS_119E10DE&REV_A1|",
  };
  EXPECT_EQ(named, list());

  // No pci.ids at any of the paths: the driver's name, or nothing.
  std::vector<std::string> unnamed = {
      "PCI\\VEN_8086&DEV_3E92&SUBSYS_08691028&REV_00|",
      "PCI\\VEN_10DE&DEV_1B80&SUBSYS_119E10DE&REV_A1|nvidia",
      "PCI\\VEN_10DE&DEV_2684&SUBSYS_119E10DE&REV_A1|",
  };
  EXPECT_EQ(unnamed, adapters(sys->root(), {dir->path() + "/none", dir->path() + "/sys"}));
  EXPECT_EQ(unnamed, adapters(sys->root(), {}));
  // The first database that opens is the one used.
  EXPECT_EQ(named, adapters(sys->root(), {dir->path() + "/none", pci_ids}));
}

TEST_F(DisplayAdapters, PciDisplayDevicesWhenThereIsNoDrmCard) {
  Device audio = kGtx1080;
  audio.address = "0000:01:00.1";
  audio.device = "0x10f0";
  audio.device_class = "0x040300";
  Device compute = kGtx1080;  // a 3D controller is a display device too
  compute.address = "0000:41:00.0";
  compute.device = "0x1c82";
  compute.device_class = "0x030200";
  Device no_class = kGtx1080;
  no_class.address = "0000:42:00.0";
  no_class.device_class = "";
  sys->add_device(compute);
  sys->add_device(audio);
  sys->add_device(kGtx1080);
  sys->add_device(kIntelNoDriver);
  sys->add_device(no_class);
  // Connectors and render nodes alone are no DRM device.
  make_dirs(sys->root() + "/class/drm/card0-DP-1");
  sys->add_drm_neighbours();
  write_file(sys->root() + "/bus/pci/devices/not-an-address", "");
  EXPECT_EQ((std::vector<std::string>{
                "PCI\\VEN_8086&DEV_3E92&SUBSYS_08691028&REV_00|Intel Corporation CoffeeLake-S GT2 [UHD Graphics 630]",
                "PCI\\VEN_10DE&DEV_1B80&SUBSYS_119E10DE&REV_A1|NVIDIA Corporation GP104 [GeForce GTX 1080]",
                "PCI\\VEN_10DE&DEV_1C82&SUBSYS_119E10DE&REV_A1|NVIDIA Corporation GP107 [GeForce GTX 1050 Ti]",
            }),
            list());
}

TEST_F(DisplayAdapters, NoDeviceAtAll) {
  EXPECT_TRUE(list().empty());
  EXPECT_TRUE(adapters(dir->path() + "/missing", {pci_ids}).empty());
}

TEST_F(DisplayAdapters, DevicesOffThePciBusAreNamedByModaliasOrDriver) {
  // A virtio GPU has vendor and device files too, but is no PCI device.
  std::string virtio = sys->root() + "/devices/pci0000:00/0000:00:01.0/virtio0";
  make_dirs(virtio);
  write_file(virtio + "/vendor", "0x1af4\n");
  write_file(virtio + "/device", "0x0010\n");
  write_file(virtio + "/modalias", "virtio:d00000010v00001AF4\n");
  symlink_to("../../../../bus/virtio/drivers/virtio_gpu", virtio + "/driver");
  std::string platform_gpu = sys->root() + "/devices/platform/gpu";
  make_dirs(platform_gpu);
  symlink_to("../../../bus/platform/drivers/vc4-drm", platform_gpu + "/driver");
  std::string bare = sys->root() + "/devices/platform/bare";
  make_dirs(bare);
  sys->add_card("card0", virtio);
  sys->add_card("card1", platform_gpu);
  sys->add_card("card2", bare);
  sys->add_card("card3", "");                                   // no device link
  sys->add_card("card4", sys->root() + "/devices/vanished");    // a dangling one
  EXPECT_EQ((std::vector<std::string>{
                "virtio:d00000010v00001AF4|virtio_gpu",
                "DRM\\vc4-drm|vc4-drm",
                "DRM\\card2|",
                "DRM\\card3|",
                "DRM\\card4|",
            }),
            list());
}

TEST_F(DisplayAdapters, MalformedFilesNeitherStopNorCorruptTheList) {
  struct Case {
    const char* what;
    Device device;
    std::string expected;
  };
  auto with = [](const char* address, void (*change)(Device&)) {
    Device d = kGtx1080;
    d.address = address;
    change(d);
    return d;
  };
  std::vector<Case> cases = {
      {"vendor is text, driver name with ';'",
       with("0000:01:00.0",
            [](Device& d) {
              d.vendor = "nvidia";
              d.driver = "drv;x";
            }),
       "DRM\\drv x|drv x"},
      {"device missing", with("0000:02:00.0", [](Device& d) { d.device = ""; }),
       "DRM\\nvidia|nvidia"},
      {"vendor too wide", with("0000:03:00.0", [](Device& d) { d.vendor = "0x110de"; }),
       "DRM\\nvidia|nvidia"},
      {"subsystem and revision unreadable",
       with("0000:04:00.0",
            [](Device& d) {
              d.subsystem_vendor = "0x";
              d.subsystem_device = "0x1234567";
              d.revision = "0x1a1";
            }),
       "PCI\\VEN_10DE&DEV_1B80&SUBSYS_00000000&REV_00|NVIDIA Corporation GP104 [GeForce GTX 1080]"},
      {"no 0x and blanks around",
       with("0000:05:00.0", [](Device& d) { d.vendor = "  10DE\t"; }),
       "PCI\\VEN_10DE&DEV_1B80&SUBSYS_119E10DE&REV_A1|NVIDIA Corporation GP104 [GeForce GTX 1080]"},
      {"a subsystem line is no device",
       with("0000:06:00.0", [](Device& d) { d.device = "0x119e"; }),
       "PCI\\VEN_10DE&DEV_119E&SUBSYS_119E10DE&REV_A1|nvidia"},
      {"a device of the next vendor is not this vendor's",
       with("0000:07:00.0", [](Device& d) { d.vendor = "0x8086"; }),
       "PCI\\VEN_8086&DEV_1B80&SUBSYS_119E10DE&REV_A1|nvidia"},
      {"a name with ';'",
       with("0000:08:00.0",
            [](Device& d) {
              d.vendor = "0x1002";
              d.device = "0x73df";
            }),
       "PCI\\VEN_1002&DEV_73DF&SUBSYS_119E10DE&REV_A1|"
       "Advanced Micro Devices, Inc. [AMD/ATI] Navi 22 [Radeon RX 6700/6700 XT  6750 XT]"},
  };
  std::vector<std::string> expected;
  for (size_t i = 0; i < cases.size(); i++) {
    sys->add_card("card" + std::to_string(i), sys->add_device(cases[i].device));
    expected.push_back(cases[i].expected);
  }
  // A vendor "file" that is a directory, and a card without any file.
  std::string odd = sys->add_device(with("0000:09:00.0", [](Device& d) { d.vendor = ""; }));
  make_dirs(odd + "/vendor");
  sys->add_card("card" + std::to_string(cases.size()), odd);
  expected.push_back("DRM\\nvidia|nvidia");

  std::vector<std::string> found = list();
  ASSERT_EQ(expected.size(), found.size());
  for (size_t i = 0; i < cases.size(); i++) EXPECT_EQ(expected[i], found[i]) << cases[i].what;
  EXPECT_EQ(expected.back(), found.back());
}

TEST_F(DisplayAdapters, OddPciIdsLinesAreSkipped) {
  std::string odd_ids = dir->path() + "/odd.ids";
  std::string text = "10\n"                         // short
                     "zzzz  Not hex\n"
                     "10de\n"                       // a vendor without a name
                     "\t1b80  Not this one: its vendor line has no name\n";
  text += std::string(3000, 'x') + "\n";             // overlong lines
  text += "\t" + std::string(2000, '1') + "\n";
  text += "10de  NVIDIA Corporation\r\n";           // CR LF line ends
  // An overlong comment whose rest would read as a device line.
  text += "#" + std::string(1022, 'x') + "\t1b80  Wrong: the end of a comment\n";
  text += "\t1b80  GP104\r\n";
  write_file(odd_ids, text);
  sys->add_card("card0", sys->add_device(kGtx1080));
  EXPECT_EQ((std::vector<std::string>{
                "PCI\\VEN_10DE&DEV_1B80&SUBSYS_119E10DE&REV_A1|NVIDIA Corporation GP104"}),
            adapters(sys->root(), {odd_ids}));
}

}  // namespace
