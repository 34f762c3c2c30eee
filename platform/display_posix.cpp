// Display adapters on Linux: the DRM/PCI devices under sysfs.
#include "platform/platform.h"

namespace platform {

int display_adapter(int index, DisplayAdapter* adapter) { return -1; }

}  // namespace platform
