// The registry of open devices (KVList) and the device factory.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "model/model.h"

namespace korvel {

// Registered devices keyed by their IP address text. Lookups compare handles
// with the registered objects' addresses, so an unknown handle is never read
// through. Guarded by one lock: creation, release and every lookup may come
// from different threads.
class DeviceRegistry {
 public:
  // Appends the device; returns the new count.
  int add(std::shared_ptr<MODEL> device);
  // Appends the device unless its address is registered already (checked
  // under the same lock). False when it was.
  bool add_if_absent(std::shared_ptr<MODEL> device);
  // Removes the device's node; returns the new count (unchanged if absent).
  int remove(const MODEL* device);
  // 1 when a node's key equals ip exactly, else 0.
  int contains(const char* ip) const;
  // The registered device whose address is handle, or null.
  std::shared_ptr<MODEL> find(const void* handle) const;
  int count() const;

 private:
  struct Node {
    char ip[20];
    std::shared_ptr<MODEL> device;
  };
  mutable std::mutex mu_;
  std::vector<Node> nodes_;
};

DeviceRegistry& KVList();

// 1 when handle designates a registered device, else 0.
int GetDeviceHandle(const void* handle);

// Parses "a.b.c.d[,cmd[,data]]" and creates the device (KV_Device_Create).
void* open_device(const char* address);
// Identifies the device at ip, builds its driver and connects it.
void* create_device(const char* ip, int cmd_port, int data_port);
// Unregisters; the object disconnects and dies with its last user. Returns 1.
int remove_device(const std::shared_ptr<MODEL>& device);

}  // namespace korvel
