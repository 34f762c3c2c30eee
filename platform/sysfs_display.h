// Display devices as Linux's sysfs shows them, and their names from a pci.ids
// database. Used by the display adapters of the platform layer and by the
// separate program gpu_detect, which includes this file by its relative path;
// hence everything here is inline and depends on the C and C++ libraries only.
//
// Every reader tolerates missing, unreadable and malformed files: a value that
// cannot be read is reported as absent, never as an error that stops the
// enumeration. Files are opened without blocking and read only when they are
// regular files, so an odd entry in a tree (a directory, a pipe) costs nothing.
#ifndef COLLECTOR_PLATFORM_SYSFS_DISPLAY_H_
#define COLLECTOR_PLATFORM_SYSFS_DISPLAY_H_

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

struct DisplayAdapter;

// Display adapter number `index` of the system whose sysfs is mounted at
// `sysfs_root` ("/sys" for the running system), named from the first pci.ids
// file of `pci_ids_paths` that opens. Returns 0 and fills *adapter, or -1 when
// there is no adapter with that number. The list: the DRM cards under
// class/drm (cardN, not their connectors) in numeric order; when there is
// none, the display-class PCI devices under bus/pci/devices in address order.
//
// The id: "PCI\VEN_%04X&DEV_%04X&SUBSYS_%04X%04X&REV_%02X" for a PCI device
// (subsystem device, then subsystem vendor; an unreadable subsystem or
// revision counts as 0). A device without readable PCI vendor and device ids
// (virtio, platform or USB GPUs) gets its modalias text instead, else
// "DRM\<driver>", else "DRM\cardN" (or the PCI address in the PCI list).
// The description: "<vendor name> <device name>" from pci.ids, else the
// kernel driver's name, else empty. Neither text holds ';' or control
// characters (they are replaced by blanks).
int display_adapter_in(const std::string& sysfs_root, const std::vector<std::string>& pci_ids_paths,
                       int index, DisplayAdapter* adapter);

}  // namespace platform

namespace sysfs {

// The pci.ids databases of the usual distributions, in the order tried.
inline std::vector<std::string> default_pci_ids_paths() {
  return {"/usr/share/misc/pci.ids", "/usr/share/hwdata/pci.ids"};
}

// `text` with ';', CR, LF and every other control character replaced by a
// blank, so that it can be one field of a ';'-separated record line.
inline std::string clean_field(std::string text) {
  for (char& ch : text) {
    unsigned char u = static_cast<unsigned char>(ch);
    if (ch == ';' || u < 0x20 || u == 0x7f) ch = ' ';
  }
  return text;
}

inline std::string trim(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && isspace(static_cast<unsigned char>(text[begin]))) begin++;
  while (end > begin && isspace(static_cast<unsigned char>(text[end - 1]))) end--;
  return text.substr(begin, end - begin);
}

// The text of a small attribute file (at most 4096 bytes are read), trimmed
// of surrounding blanks and line ends. False when the file does not exist or
// is not a regular file that can be read.
inline bool read_text(const std::string& path, std::string* text) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return false;
  }
  char buffer[4096];
  size_t used = 0;
  bool ok = true;
  while (used < sizeof(buffer)) {
    ssize_t n = read(fd, buffer + used, sizeof(buffer) - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    used += static_cast<size_t>(n);
  }
  close(fd);
  if (!ok) return false;
  *text = trim(std::string(buffer, used));
  return true;
}

// An unsigned number in `text`, hexadecimal ("0x10de", "10de") when `base` is
// 16, decimal when 10; nothing but the digits is allowed. False when there is
// no number or it is above `max`.
inline bool parse_number(const std::string& text, int base, unsigned long long max,
                         unsigned long long* value) {
  std::string digits = text;
  if (base == 16 && digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
    digits = digits.substr(2);
  if (digits.empty() || digits.size() > 20) return false;
  for (char ch : digits) {
    if (base == 16 ? !isxdigit(static_cast<unsigned char>(ch))
                   : !isdigit(static_cast<unsigned char>(ch)))
      return false;
  }
  errno = 0;
  unsigned long long parsed = strtoull(digits.c_str(), nullptr, base);
  if (errno != 0 || parsed > max) return false;
  *value = parsed;
  return true;
}

inline bool read_number(const std::string& path, int base, unsigned long long max,
                        unsigned long long* value) {
  std::string text;
  return read_text(path, &text) && parse_number(text, base, max, value);
}

// The last component of the target of the symbolic link at `path` (the
// driver link of a device: ".../drivers/amdgpu" gives "amdgpu"); empty when
// `path` is not a link. The target need not exist.
inline std::string link_basename(const std::string& path) {
  char target[4096];
  ssize_t n = readlink(path.c_str(), target, sizeof(target) - 1);
  if (n <= 0) return "";
  std::string text(target, static_cast<size_t>(n));
  while (!text.empty() && text.back() == '/') text.pop_back();
  size_t slash = text.rfind('/');
  return slash == std::string::npos ? text : text.substr(slash + 1);
}

// The names in directory `dir` other than "." and "..", unsorted; empty when
// it cannot be read.
inline std::vector<std::string> list_dir(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (!d) return names;
  while (struct dirent* entry = readdir(d)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  return names;
}

// A PCI device's identity, from its files vendor, device, subsystem_vendor,
// subsystem_device and revision.
struct PciIdentity {
  unsigned vendor = 0;
  unsigned device = 0;
  unsigned subsystem_vendor = 0;
  unsigned subsystem_device = 0;
  unsigned revision = 0;
};

// Reads the identity of the device in `device_dir`. False unless vendor and
// device hold 16-bit numbers; the other three count as 0 when unreadable.
inline bool read_pci_identity(const std::string& device_dir, PciIdentity* id) {
  unsigned long long vendor, device;
  if (!read_number(device_dir + "/vendor", 16, 0xffff, &vendor)) return false;
  if (!read_number(device_dir + "/device", 16, 0xffff, &device)) return false;
  PciIdentity found;
  found.vendor = static_cast<unsigned>(vendor);
  found.device = static_cast<unsigned>(device);
  unsigned long long value;
  if (read_number(device_dir + "/subsystem_vendor", 16, 0xffff, &value))
    found.subsystem_vendor = static_cast<unsigned>(value);
  if (read_number(device_dir + "/subsystem_device", 16, 0xffff, &value))
    found.subsystem_device = static_cast<unsigned>(value);
  if (read_number(device_dir + "/revision", 16, 0xff, &value))
    found.revision = static_cast<unsigned>(value);
  *id = found;
  return true;
}

// "PCI\VEN_10DE&DEV_1B80&SUBSYS_119E10DE&REV_A1".
inline std::string pci_hardware_id(const PciIdentity& id) {
  char text[64];
  snprintf(text, sizeof(text), "PCI\\VEN_%04X&DEV_%04X&SUBSYS_%04X%04X&REV_%02X", id.vendor,
           id.device, id.subsystem_device, id.subsystem_vendor, id.revision);
  return text;
}

// Whether `name` is a PCI address "dddd:bb:dd.f" (the domain may be longer).
inline bool is_pci_address(const std::string& name) {
  size_t colon = name.find(':');
  if (colon == std::string::npos || colon < 4) return false;
  if (name.size() != colon + 8) return false;
  for (size_t i = 0; i < name.size(); i++) {
    char ch = name[i];
    bool ok;
    if (i == colon || i == colon + 3) ok = ch == ':';
    else if (i == colon + 6) ok = ch == '.';
    else if (i == colon + 7) ok = ch >= '0' && ch <= '7';
    else ok = isxdigit(static_cast<unsigned char>(ch)) != 0;
    if (!ok) return false;
  }
  return true;
}

// PCI addresses in address order: a longer domain sorts after a shorter one,
// and addresses of one length compare as text, their fields being of fixed
// width.
inline bool pci_address_less(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

// The display-class devices (class 0x03xxxx) under <root>/bus/pci/devices,
// as PCI addresses in address order. Entries whose class cannot be read are
// left out.
inline std::vector<std::string> pci_display_devices(const std::string& sysfs_root) {
  std::string dir = sysfs_root + "/bus/pci/devices";
  std::vector<std::string> found;
  for (const std::string& name : list_dir(dir)) {
    if (!is_pci_address(name)) continue;
    unsigned long long device_class;
    if (!read_number(dir + "/" + name + "/class", 16, 0xffffff, &device_class)) continue;
    if ((device_class >> 16) == 0x03) found.push_back(name);
  }
  std::sort(found.begin(), found.end(), pci_address_less);
  return found;
}

// The names of a vendor and one of its devices in the first pci.ids file of
// `paths` that opens, as "<vendor name> <device name>". False when no file
// opens or the file does not name both. The file is read line by line up to
// the device's entry, or to the end of the vendor's block when it is absent.
inline bool pci_ids_name(const std::vector<std::string>& paths, unsigned vendor, unsigned device,
                         std::string* name) {
  FILE* f = nullptr;
  for (const std::string& path : paths) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    f = fopen(path.c_str(), "r");
    if (f) break;
  }
  if (!f) return false;
  // A vendor line: four hex digits at the start, blanks, the name. A device
  // line: the same behind one tab. Subsystem lines have two tabs; comments
  // start with '#'; the class list at the end starts with "C ".
  auto entry = [](const char* line, unsigned* id, std::string* entry_name) {
    for (int i = 0; i < 4; i++)
      if (!isxdigit(static_cast<unsigned char>(line[i]))) return false;
    if (line[4] != ' ' && line[4] != '\t') return false;
    *id = static_cast<unsigned>(strtoul(std::string(line, 4).c_str(), nullptr, 16));
    *entry_name = trim(line + 4);
    return !entry_name->empty();
  };
  char line[1024];
  bool in_vendor = false;
  bool found = false;
  std::string vendor_name;
  while (fgets(line, sizeof(line), f)) {
    size_t length = strlen(line);
    bool whole = length > 0 && line[length - 1] == '\n';
    if (line[0] == '#' || line[0] == '\n' || line[0] == '\r') {
      // comment or blank line: skip
    } else if (line[0] != '\t') {
      unsigned id;
      std::string text;
      if (in_vendor) break;  // the vendor's block has ended
      if (entry(line, &id, &text) && id == vendor) {
        in_vendor = true;
        vendor_name = text;
      }
    } else if (in_vendor && line[1] != '\t') {
      unsigned id;
      std::string text;
      if (entry(line + 1, &id, &text) && id == device) {
        *name = vendor_name + " " + text;
        found = true;
        break;
      }
    }
    // Skip the rest of an overlong line so that it is not taken for a new one.
    while (!whole) {
      int ch = fgetc(f);
      if (ch == EOF || ch == '\n') break;
    }
  }
  fclose(f);
  return found;
}

}  // namespace sysfs

#endif  // COLLECTOR_PLATFORM_SYSFS_DISPLAY_H_
