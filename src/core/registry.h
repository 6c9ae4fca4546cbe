// The registry of open devices (KVList) and the device factory.
#pragma once

#include <memory>

#include "core/handle_table.h"
#include "model/model.h"

namespace korvel {

// Registered devices under handles that are never reused. Guarded by one
// reader-writer lock: creation, release and every lookup may come from
// different threads; lookups of different threads run side by side.
class DeviceRegistry : public HandleTable<MODEL> {
 public:
  // Registers the device unless its address is registered already (checked
  // under the same lock); its new handle, or null when it was.
  void* add_if_absent(std::shared_ptr<MODEL> device);
  // 1 when a registered device has exactly this address, else 0.
  int contains(const char* ip) const;
};

DeviceRegistry& KVList();

// 1 when handle designates a registered device, else 0.
int GetDeviceHandle(const void* handle);

// Parses "a.b.c.d[,cmd[,data]]" and creates the device (KV_Device_Create).
void* open_device(const char* address);
// Identifies the device at ip, builds its driver, connects and registers it;
// its handle, or null with the reason as last error.
void* create_device(const char* ip, int cmd_port, int data_port);
// Stops every run of the device, joins its worker and unregisters it; the
// object disconnects and dies with its last user. 1; 0 with 0x1300A when
// the handle is unknown or already released.
int remove_device(void* handle);
// Releases every registered device (library unload).
void remove_all_devices();

}  // namespace korvel
