// Display adapters on Linux: the DRM cards under sysfs, or the display-class
// PCI devices when the system has no DRM device. The list is read anew at
// every call (a directory listing and a few small files), and pci.ids is read
// only up to the entry of the one adapter asked for.
#include <cctype>
#include <climits>
#include <cstdlib>

#include "platform/platform.h"
#include "platform/sysfs_display.h"

namespace platform {
namespace {

// N for a DRM card entry "cardN", -1 for anything else (connectors such as
// "card0-HDMI-A-1", render nodes, "version").
int card_number(const std::string& name) {
  if (name.size() <= 4 || name.size() > 4 + 9 || name.compare(0, 4, "card") != 0) return -1;
  for (size_t i = 4; i < name.size(); i++) {
    if (!isdigit(static_cast<unsigned char>(name[i]))) return -1;
  }
  return atoi(name.c_str() + 4);
}

// The last component of `path`.
std::string basename_of(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Fills *adapter for the device in `device_dir`. `pci` tells whether the
// device sits on the PCI bus; `fallback_id` names it when nothing in sysfs
// does.
void describe_device(const std::string& device_dir, bool pci, const std::string& fallback_id,
                     const std::vector<std::string>& pci_ids_paths, DisplayAdapter* adapter) {
  std::string driver = sysfs::link_basename(device_dir + "/driver");
  std::string id;
  std::string description;
  sysfs::PciIdentity identity;
  if (pci && sysfs::read_pci_identity(device_dir, &identity)) {
    id = sysfs::pci_hardware_id(identity);
    sysfs::pci_ids_name(pci_ids_paths, identity.vendor, identity.device, &description);
  } else if (!sysfs::read_text(device_dir + "/modalias", &id) || id.empty()) {
    id = driver.empty() ? fallback_id : "DRM\\" + driver;
  }
  if (description.empty()) description = driver;
  adapter->id = sysfs::clean_field(id);
  adapter->description = sysfs::clean_field(description);
}

}  // namespace

int display_adapter_in(const std::string& sysfs_root, const std::vector<std::string>& pci_ids_paths,
                       int index, DisplayAdapter* adapter) {
  if (index < 0) return -1;

  // DRM cards in numeric order.
  std::string drm_dir = sysfs_root + "/class/drm";
  std::vector<std::pair<int, std::string>> cards;
  for (const std::string& name : sysfs::list_dir(drm_dir)) {
    int number = card_number(name);
    if (number >= 0) cards.emplace_back(number, name);
  }
  if (!cards.empty()) {
    if (static_cast<size_t>(index) >= cards.size()) return -1;
    std::sort(cards.begin(), cards.end());
    const std::string& card = cards[static_cast<size_t>(index)].second;
    std::string device_dir = drm_dir + "/" + card + "/device";
    char resolved[PATH_MAX];
    bool has_device = realpath(device_dir.c_str(), resolved) != nullptr;
    bool pci = has_device && sysfs::is_pci_address(basename_of(resolved));
    describe_device(device_dir, pci, "DRM\\" + card, pci_ids_paths, adapter);
    return 0;
  }

  // No DRM device: the display-class PCI devices in address order.
  std::vector<std::string> devices = sysfs::pci_display_devices(sysfs_root);
  if (static_cast<size_t>(index) >= devices.size()) return -1;
  const std::string& address = devices[static_cast<size_t>(index)];
  describe_device(sysfs_root + "/bus/pci/devices/" + address, true, "PCI\\" + address,
                  pci_ids_paths, adapter);
  return 0;
}

int display_adapter(int index, DisplayAdapter* adapter) {
  return display_adapter_in("/sys", sysfs::default_pci_ids_paths(), index, adapter);
}

}  // namespace platform
