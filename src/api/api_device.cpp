// Exported functions: device life, queries and the raw command exchange.
#include <cstdio>
#include <cstring>

#include "api/call.h"

using namespace korvel;
using namespace korvel::api;

extern "C" {

KV_API KV_HANDLE KV_Device_Create(const char* address) {
  return guarded<KV_HANDLE>(nullptr, [&] { return open_device(address); });
}

KV_API int KV_Device_Release(KV_HANDLE handle) {
  return guarded<int>(0, [&] {
    const std::shared_ptr<MODEL> device = KVList().find(handle);
    if (!device) {
      set_last_error(KV_ERR_INVALID_HANDLE);
      return 0;
    }
    if (device->on_worker_thread()) {  // from an event callback of this device
      set_last_error(KV_ERR_NOT_SUPPORTED);
      return 0;
    }
    return remove_device(handle);
  });
}

KV_API int KV_GetModelName(KV_HANDLE handle, char* name) {
  return with_device(handle, [&](MODEL& d) {
    if (!present(name)) return 0;
    std::memcpy(name, d.module.name, sizeof d.module.name);
    return 1;
  });
}

KV_API int KV_GetFirmwareVersion(KV_HANDLE handle, char* text) {
  return with_device(handle, [&](MODEL& d) {
    if (!present(text)) return 0;
    unsigned short version = 0;
    char date[26];
    d.GetFirmVersionDate(&version, date, sizeof date);
    std::snprintf(text, 32, "V%X,%s", version, date);
    return 1;
  });
}

KV_API int KV_GetHWFirmwareVersion(KV_HANDLE handle, char* text) {
  return with_device_ok(
      handle, [&](MODEL& d) { d.GetFPGAVersion(text); },
      [&] {
        if (text) text[0] = '\0';
      });
}

KV_API int KV_Reboot(KV_HANDLE handle) {
  return with_device_ok(handle, [](MODEL& d) { d.ReBoot(); });
}

KV_API int KV_SendRecv(KV_HANDLE handle, const char* command, char* reply, int timeout_ms) {
  return with_device(handle, [&](MODEL& d) {
    switch (d.module.model_id) {
      case kModelIdLX3100:
      case kModelIdLX3200:
      case kModelIdLXR5000:
      case kModelIdMC610s:
      case kModelIdMC620Ws:
        return d.SendRec(d.cmd_socket, command, reply, timeout_ms) & 0xFF;
      default:
        return 0;
    }
  });
}

KV_API int KV_GetIOCounts(KV_HANDLE handle, int* ai, int* ai_ranges, int* ao, int* di,
                          int* do_count, int* sample_bytes) {
  return with_device(handle, [&](MODEL& d) {
    const QLXmodule& m = d.module;
    if (ai) *ai = m.ai_count;
    if (ai_ranges) *ai_ranges = m.ai_gain_count;
    if (ao) *ao = m.ao_count;
    if (di) *di = m.di_count;
    if (do_count) *do_count = m.do_count;
    if (sample_bytes) *sample_bytes = static_cast<int>(m.sample_bytes);
    return 1;
  });
}

KV_API int KV_Get_Module_Count(KV_HANDLE handle, int* count, char* modules) {
  return with_device_ok(handle, [&](MODEL& d) { d.GetModuleTable(count, modules); });
}

KV_API int KV_Configure_Trig_Out(KV_HANDLE handle, int a, int b) {
  return with_device_ok(handle, [&](MODEL& d) { d.ConfigTrigOut(a, b); });
}

}  // extern "C"
