// gpu_detect: describes the host's GPUs in the file coproc.txt of the working
// directory, one line per GPU. The collector runs it without arguments in its
// slot and copies the file, unchanged, into its output.
//
// Line layout, fields separated by ';' (no field ever holds ';', CR or LF:
// they are replaced by blanks):
//
//   GPU;<vendor>;<index>;<name>;<memory>;<driver version>;<driver>;<pci id>;<pci address>
//
//   vendor          "NVIDIA" (PCI vendor 0x10de), "ATI/AMD" (0x1002), "Intel"
//                   (0x8086), or the PCI vendor id as "0x%04x" for any other
//   index           the GPU's number among the GPUs of its vendor, from 0
//   name            from NVIDIA's management library when it answers, else
//                   "<vendor name> <device name>" from pci.ids; empty when
//                   neither tells
//   memory          total device memory in bytes, -1 when unknown (from the
//                   management library, or amdgpu's mem_info_vram_total)
//   driver version  from the management library, else the version file of the
//                   driver's kernel module; empty when unknown
//   driver          the kernel driver bound to the device; empty when none
//   pci id          "PCI\VEN_%04X&DEV_%04X&SUBSYS_%04X%04X&REV_%02X", the id
//                   the display-adapter records ("edd") carry; empty when the
//                   GPU is known only to the management library
//   pci address     "0000:01:00.0"; empty likewise
//
// Example:
//   GPU;NVIDIA;0;NVIDIA GeForce GTX 1080;8589934592;535.104.05;nvidia;PCI\VEN_10DE&DEV_1B80&SUBSYS_119E10DE&REV_A1;0000:01:00.0
//
// The GPUs are the display-class PCI devices (class 0x03xxxx) in PCI address
// order. When NVIDIA's management library (libnvidia-ml.so.1) loads and its
// device count equals the number of NVIDIA devices bound to the "nvidia"
// driver, those devices take its names, memory sizes and driver version, in
// order (the library numbers its devices in PCI address order). When the
// counts differ and the library reports at least one device, the library's
// devices replace those devices, after the others and without PCI fields.
//
// With no GPU nothing is written, and a coproc.txt left by an earlier run is
// removed. The file is written under a temporary name and renamed, so that a
// reader sees the whole file or none. The exit status is always 0.
//
// Environment, for tests:
//   GPU_DETECT_SYSFS_ROOT  where sysfs is read instead of /sys
//   GPU_DETECT_PCI_IDS     the pci.ids file used instead of the system's
//                          (an empty value: no pci.ids)
//   GPU_DETECT_NO_NVML     when set and not empty, the management library is
//                          not loaded
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <unistd.h>

#include "platform/sysfs_display.h"

namespace {

const char kOutput[] = "coproc.txt";
const char kTemporary[] = "coproc.txt.tmp";

struct Gpu {
  unsigned vendor_id = 0;
  std::string name;
  long long memory = -1;
  std::string driver_version;
  std::string driver;
  std::string pci_id;
  std::string address;
};

std::string vendor_label(unsigned vendor_id) {
  switch (vendor_id) {
    case 0x10de: return "NVIDIA";
    case 0x1002: return "ATI/AMD";
    case 0x8086: return "Intel";
  }
  char text[16];
  snprintf(text, sizeof(text), "0x%04x", vendor_id);
  return text;
}

std::string env(const char* name, const char* fallback, bool* set = nullptr) {
  const char* value = getenv(name);
  if (set) *set = value != nullptr;
  return value ? value : fallback;
}

// The display-class PCI devices under `root`, with what sysfs tells of them.
std::vector<Gpu> gpus_from_sysfs(const std::string& root, const std::vector<std::string>& pci_ids) {
  std::vector<Gpu> gpus;
  for (const std::string& address : sysfs::pci_display_devices(root)) {
    std::string dir = root + "/bus/pci/devices/" + address;
    sysfs::PciIdentity identity;
    if (!sysfs::read_pci_identity(dir, &identity)) continue;
    Gpu gpu;
    gpu.vendor_id = identity.vendor;
    gpu.address = address;
    gpu.pci_id = sysfs::pci_hardware_id(identity);
    sysfs::pci_ids_name(pci_ids, identity.vendor, identity.device, &gpu.name);
    unsigned long long vram;
    if (sysfs::read_number(dir + "/mem_info_vram_total", 10, 0x7fffffffffffffffULL, &vram))
      gpu.memory = static_cast<long long>(vram);
    gpu.driver = sysfs::link_basename(dir + "/driver");
    if (!gpu.driver.empty())
      sysfs::read_text(root + "/module/" + gpu.driver + "/version", &gpu.driver_version);
    gpus.push_back(gpu);
  }
  return gpus;
}

// NVIDIA's management library, reached through the few entry points used
// here, declared after its published interface (0 is success).
struct NvmlDevice;
struct NvmlMemory {
  unsigned long long total;
  unsigned long long free;
  unsigned long long used;
};
typedef int (*NvmlInit)();
typedef int (*NvmlShutdown)();
typedef int (*NvmlGetCount)(unsigned int* count);
typedef int (*NvmlGetHandle)(unsigned int index, NvmlDevice** device);
typedef int (*NvmlGetName)(NvmlDevice* device, char* name, unsigned int length);
typedef int (*NvmlGetMemory)(NvmlDevice* device, NvmlMemory* memory);
typedef int (*NvmlGetDriverVersion)(char* version, unsigned int length);

template <typename T>
bool bind(void* library, const char* name, T* function) {
  *function = reinterpret_cast<T>(dlsym(library, name));
  return *function != nullptr;
}

// The NVIDIA GPUs the management library reports. False when the library
// is missing or does not start.
bool gpus_from_nvml(std::vector<Gpu>* gpus) {
  void* library = dlopen("libnvidia-ml.so.1", RTLD_NOW | RTLD_LOCAL);
  if (!library) return false;
  NvmlInit init;
  NvmlShutdown shutdown;
  NvmlGetCount get_count;
  NvmlGetHandle get_handle;
  NvmlGetName get_name;
  NvmlGetMemory get_memory;
  NvmlGetDriverVersion get_driver_version;
  bool bound = bind(library, "nvmlInit_v2", &init) && bind(library, "nvmlShutdown", &shutdown) &&
               bind(library, "nvmlDeviceGetCount_v2", &get_count) &&
               bind(library, "nvmlDeviceGetHandleByIndex_v2", &get_handle) &&
               bind(library, "nvmlDeviceGetName", &get_name) &&
               bind(library, "nvmlDeviceGetMemoryInfo", &get_memory) &&
               bind(library, "nvmlSystemGetDriverVersion", &get_driver_version);
  if (!bound || init() != 0) {
    dlclose(library);
    return false;
  }
  bool ok = false;
  unsigned int count = 0;
  if (get_count(&count) == 0) {
    ok = true;
    char version[256] = {0};
    if (get_driver_version(version, sizeof(version) - 1) != 0) version[0] = '\0';
    for (unsigned int i = 0; i < count && i < 1024; i++) {
      Gpu gpu;
      gpu.vendor_id = 0x10de;
      gpu.driver = "nvidia";
      gpu.driver_version = version;
      NvmlDevice* device = nullptr;
      if (get_handle(i, &device) == 0) {
        char name[256] = {0};
        if (get_name(device, name, sizeof(name) - 1) == 0) gpu.name = name;
        NvmlMemory memory;
        if (get_memory(device, &memory) == 0 && memory.total <= 0x7fffffffffffffffULL)
          gpu.memory = static_cast<long long>(memory.total);
      }
      gpus->push_back(gpu);
    }
  }
  shutdown();
  dlclose(library);
  return ok;
}

// Joins the library's view of the NVIDIA GPUs to sysfs's (see the top of
// this file).
void merge_nvml(std::vector<Gpu>* gpus, const std::vector<Gpu>& nvml) {
  if (nvml.empty()) return;
  std::vector<size_t> driven;
  for (size_t i = 0; i < gpus->size(); i++) {
    if ((*gpus)[i].vendor_id == 0x10de && (*gpus)[i].driver == "nvidia") driven.push_back(i);
  }
  if (driven.size() == nvml.size()) {
    for (size_t k = 0; k < driven.size(); k++) {
      Gpu& gpu = (*gpus)[driven[k]];
      if (!nvml[k].name.empty()) gpu.name = nvml[k].name;
      if (nvml[k].memory >= 0) gpu.memory = nvml[k].memory;
      if (!nvml[k].driver_version.empty()) gpu.driver_version = nvml[k].driver_version;
    }
    return;
  }
  std::vector<Gpu> merged;
  for (const Gpu& gpu : *gpus) {
    if (!(gpu.vendor_id == 0x10de && gpu.driver == "nvidia")) merged.push_back(gpu);
  }
  merged.insert(merged.end(), nvml.begin(), nvml.end());
  *gpus = merged;
}

std::string render(const std::vector<Gpu>& gpus) {
  std::string text;
  std::vector<std::pair<unsigned, int>> counts;  // vendor id, GPUs seen
  for (const Gpu& gpu : gpus) {
    int index = 0;
    bool seen = false;
    for (auto& count : counts) {
      if (count.first == gpu.vendor_id) {
        index = count.second++;
        seen = true;
      }
    }
    if (!seen) counts.emplace_back(gpu.vendor_id, 1);
    text += "GPU;" + sysfs::clean_field(vendor_label(gpu.vendor_id)) + ";" + std::to_string(index) +
            ";" + sysfs::clean_field(gpu.name) + ";" + std::to_string(gpu.memory) + ";" +
            sysfs::clean_field(gpu.driver_version) + ";" + sysfs::clean_field(gpu.driver) + ";" +
            sysfs::clean_field(gpu.pci_id) + ";" + sysfs::clean_field(gpu.address) + "\n";
  }
  return text;
}

// Writes `text` to coproc.txt whole: a temporary file first, then a rename.
bool write_whole(const std::string& text) {
  FILE* f = fopen(kTemporary, "w");
  if (!f) return false;
  bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = fflush(f) == 0 && ok;
  ok = fsync(fileno(f)) == 0 && ok;
  ok = fclose(f) == 0 && ok;
  if (ok && rename(kTemporary, kOutput) == 0) return true;
  unlink(kTemporary);
  return false;
}

}  // namespace

int main() {
  std::string root = env("GPU_DETECT_SYSFS_ROOT", "/sys");
  bool pci_ids_set;
  std::string pci_ids_path = env("GPU_DETECT_PCI_IDS", "", &pci_ids_set);
  std::vector<std::string> pci_ids = sysfs::default_pci_ids_paths();
  if (pci_ids_set) {
    pci_ids.clear();
    if (!pci_ids_path.empty()) pci_ids.push_back(pci_ids_path);
  }

  std::vector<Gpu> gpus = gpus_from_sysfs(root, pci_ids);
  std::vector<Gpu> nvml;
  if (env("GPU_DETECT_NO_NVML", "").empty() && gpus_from_nvml(&nvml)) merge_nvml(&gpus, nvml);

  if (gpus.empty()) {
    unlink(kOutput);  // stale data from an earlier run must not be copied
    return 0;
  }
  if (!write_whole(render(gpus))) {
    unlink(kOutput);
    fprintf(stderr, "gpu_detect: cannot write %s\n", kOutput);
  }
  return 0;
}
