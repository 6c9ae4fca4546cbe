#include "core/registry.h"

#include <cstring>

namespace korvel {

namespace {
void copy_key(char (&key)[20], const char* ip) {
  const std::size_t n = strnlen(ip, sizeof key - 1);
  std::memcpy(key, ip, n);
  key[n] = '\0';
}
}  // namespace

int DeviceRegistry::add(std::shared_ptr<MODEL> device) {
  std::lock_guard<std::mutex> lock(mu_);
  Node node{};
  copy_key(node.ip, device->ip_address);
  node.device = std::move(device);
  nodes_.push_back(std::move(node));
  return static_cast<int>(nodes_.size());
}

bool DeviceRegistry::add_if_absent(std::shared_ptr<MODEL> device) {
  std::lock_guard<std::mutex> lock(mu_);
  Node node{};
  copy_key(node.ip, device->ip_address);
  for (const Node& n : nodes_)
    if (std::strcmp(n.ip, node.ip) == 0) return false;
  node.device = std::move(device);
  nodes_.push_back(std::move(node));
  return true;
}

int DeviceRegistry::remove(const MODEL* device) {
  std::shared_ptr<MODEL> keep;  // released after the lock, never under it
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto it = nodes_.begin(); it != nodes_.end(); ++it) {
      if (it->device.get() == device) {
        keep = std::move(it->device);
        nodes_.erase(it);
        break;
      }
    }
  }
  return count();
}

int DeviceRegistry::contains(const char* ip) const {
  std::lock_guard<std::mutex> lock(mu_);
  for (const Node& n : nodes_)
    if (std::strcmp(n.ip, ip) == 0) return 1;
  return 0;
}

std::shared_ptr<MODEL> DeviceRegistry::find(const void* handle) const {
  if (handle == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(mu_);
  for (const Node& n : nodes_)
    if (n.device.get() == handle) return n.device;
  return nullptr;
}

int DeviceRegistry::count() const {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<int>(nodes_.size());
}

DeviceRegistry& KVList() {
  // Never destroyed: devices still open at exit are not torn down while other
  // threads of the process may still be using them.
  static DeviceRegistry* list = new DeviceRegistry;
  return *list;
}

int GetDeviceHandle(const void* handle) { return KVList().find(handle) ? 1 : 0; }

}  // namespace korvel
