#include "core/registry.h"

#include <cstring>

namespace korvel {

void* DeviceRegistry::add_if_absent(std::shared_ptr<MODEL> device) {
  MODEL* d = device.get();
  return add_unless(
      std::move(device),
      [d](const MODEL& m) { return std::strcmp(m.ip_address, d->ip_address) == 0; },
      [](MODEL& m, void* h) { m.handle.store(h); });
}

int DeviceRegistry::contains(const char* ip) const {
  return any([ip](const MODEL& m) { return std::strcmp(m.ip_address, ip) == 0; }) ? 1 : 0;
}

DeviceRegistry& KVList() {
  // Never destroyed: devices still open at exit are not torn down while other
  // threads of the process may still be using them.
  static DeviceRegistry* list = new DeviceRegistry;
  return *list;
}

int GetDeviceHandle(const void* handle) { return KVList().find(handle) ? 1 : 0; }

}  // namespace korvel
