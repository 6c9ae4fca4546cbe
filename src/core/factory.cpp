// KV_Device_Create's road: address parsing, identification, driver choice.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/errors.h"
#include "core/registry.h"
#include "drivers/lx3100/lx3100.h"
#include "drivers/lx3200/lx3200.h"
#include "drivers/lxr5000/lxr5000.h"
#include "drivers/mc610s/mc610s.h"
#include "drivers/mc620s/mc620s.h"
#include "net/transport.h"

namespace korvel {

namespace {

using Creator = std::shared_ptr<MODEL> (*)(const char* ip, int cmd_port, int data_port,
                                          const QLXmodule& row);

template <class Driver>
std::shared_ptr<MODEL> make(const char* ip, int cmd_port, int data_port, const QLXmodule& row) {
  return std::make_shared<Driver>(ip, cmd_port, data_port, row);
}

struct Prefix {
  const char* text;
  std::size_t chars;
  int row;
  Creator create;  // null: the family's driver is not part of this build
};

// The first prefix that matches decides. "LX31002" can never win over
// "LX3100"; both give the same result.
constexpr Prefix kPrefixes[] = {
    {"LX3100", 6, kRowLX3100, &make<LX3100>},
    {"LX31002", 7, kRowLX3100, &make<LX3100>},
    {"QLX-3200M", 9, kRowLX3200, &make<LX3200>},
    {"MC610s", 6, kRowMC610s, &make<MC610s>},
    {"QLX-R5000", 9, kRowLXR5000, &make<LXR5000>},
    {"MC620Ws", 7, kRowMC620Ws, &make<MC620s>},
};

// Working limits of the address string: 63 characters, fields of 19.
constexpr std::size_t kAddressChars = 63;
constexpr std::size_t kFieldChars = 19;
constexpr int kMaxFields = 5;

void* refuse(unsigned int code) {
  set_last_error(code);
  return nullptr;
}

}  // namespace

void* open_device(const char* address) {
  if (address == nullptr) return refuse(KV_ERR_INVALID_ARGUMENT);
  // Longer strings and fields would have been cut silently into a different
  // address; refuse them instead.
  if (std::strlen(address) > kAddressChars) return refuse(KV_ERR_INVALID_ARGUMENT);

  // Split like strtok: runs of commas are one separator, empty fields vanish.
  char fields[kMaxFields][kFieldChars + 1] = {};
  int count = 0;
  for (const char* p = address; *p && count < kMaxFields;) {
    while (*p == ',') ++p;
    if (!*p) break;
    const char* end = std::strchr(p, ',');
    const std::size_t len = end ? static_cast<std::size_t>(end - p) : std::strlen(p);
    if (len > kFieldChars) return refuse(KV_ERR_INVALID_ARGUMENT);
    std::memcpy(fields[count++], p, len);
    p += len;
  }
  if (count == 0 || !isValidIPv4(fields[0])) return refuse(KV_ERR_INVALID_ARGUMENT);

  int cmd_port = kDefaultCommandPort;
  int data_port = kDefaultDataPort;
  switch (count) {
    case 1:
      break;
    case 2:
      cmd_port = std::atoi(fields[1]);
      if (cmd_port == 0) return refuse(KV_ERR_INVALID_ARGUMENT);
      break;
    case 3:
      cmd_port = std::atoi(fields[1]);
      data_port = std::atoi(fields[2]);
      if (cmd_port == 0 || data_port == 0) return refuse(KV_ERR_INVALID_ARGUMENT);
      break;
    default:
      return refuse(KV_ERR_INVALID_ARGUMENT);
  }
  return create_device(fields[0], cmd_port, data_port);
}

void* create_device(const char* ip, int cmd_port, int data_port) {
  if (KVList().contains(ip)) return refuse(KV_ERR_OPEN_DEVICE);
  const int id_socket = OpenTcp(ip, kIdentificationPort, 1);
  if (id_socket < 0) return refuse(KV_ERR_OPEN_DEVICE);
  struct Closer {
    int fd;
    ~Closer() { CloseTcp(fd); }
  } closer{id_socket};

  char id[20] = {};
  GetModuleNameTCP(id_socket, id, sizeof id);
  const Prefix* match = nullptr;
  for (const Prefix& p : kPrefixes) {
    if (std::strncmp(id, p.text, p.chars) == 0) {
      match = &p;
      break;
    }
  }
  if (match == nullptr || match->create == nullptr) return refuse(KV_ERR_MODULE_NOT_EXIST);

  std::shared_ptr<MODEL> device = match->create(ip, cmd_port, data_port, QLXMODULE[match->row]);
  unsigned short version = 0;
  char date[26] = {};
  if (GetFirmVersionDateTCP(id_socket, &version, date)) {
    device->firmware_version = version;
    std::memcpy(device->firmware_date, date, sizeof device->firmware_date);
    device->firmware_date[sizeof device->firmware_date - 1] = '\0';
  }
  if (!device->ConnectServer()) return refuse(KV_ERR_OPEN_DEVICE);
  // Another thread may have opened the same address meanwhile.
  void* handle = KVList().add_if_absent(device);
  if (handle == nullptr) return refuse(KV_ERR_OPEN_DEVICE);
  return handle;
}

int remove_device(void* handle) {
  const std::shared_ptr<MODEL> device = KVList().find(handle);
  if (!device) {
    set_last_error(KV_ERR_INVALID_HANDLE);
    return 0;
  }
  {
    std::lock_guard<std::mutex> lock(device->lifecycle_mutex);
    if (device->released) {  // another thread released it meanwhile
      set_last_error(KV_ERR_INVALID_HANDLE);
      return 0;
    }
    device->released = true;
    // The worker is joined before the registry lets go, so the last
    // reference can never drop on the worker itself.
    device->stop_all_runs();
  }
  // The driver's destructor closes the sockets once the last call still
  // running on the device has returned, never under an exchange in flight.
  KVList().remove(handle);
  return 1;
}

void remove_all_devices() {
  for (void* h : KVList().handles()) remove_device(h);
}

}  // namespace korvel
