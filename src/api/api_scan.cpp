// Exported functions: scan configuration, acquisition, buffers and events.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

#include "api/call.h"

using namespace korvel;
using namespace korvel::api;

extern "C" {

KV_API int KV_SetAIScanParam(KV_HANDLE handle, short ch_count, short gain, short trig_mode,
                             int sample_rate, unsigned int sample_count, short transfer_mode,
                             short option) {
  return with_idle_device(handle, [&](MODEL& d) {
    return d.SetScanParam(ch_count, gain, trig_mode, sample_rate, sample_count, transfer_mode,
                          option);
  });
}

KV_API int KV_GetAIScanParam(KV_HANDLE handle, short* ch_count, short* gain, short* trig_mode,
                             int* sample_rate, unsigned int* sample_count, short* transfer_mode,
                             short* option) {
  return with_settings(
      handle,
      [&](MODEL& d) {
        return d.GetScanParam(ch_count, gain, trig_mode, sample_rate, sample_count,
                              transfer_mode, option);
      },
      [&] {
        zero(ch_count);
        zero(gain);
        zero(trig_mode);
        zero(sample_rate);
        zero(sample_count);
        zero(transfer_mode);
        zero(option);
      });
}

KV_API int KV_SetAIAnalogTriggerParam(KV_HANDLE handle, int mode, const char* enable,
                                      const float* high, const float* low, int n, unsigned int pre, unsigned int post) {
  return with_idle_device(handle, [&](MODEL& d) {
    return d.SetAIAnalogTriggerParam(mode, enable, high, low, n, pre, post);
  });
}

KV_API int KV_GetAIAnalogTriggerParam(KV_HANDLE handle, int* mode, char* enable, float* high,
                                      float* low, int n, unsigned int* pre, unsigned int* post,
                                      unsigned int* reserved) {
  return with_settings(
      handle,
      [&](MODEL& d) {
        zero(reserved);
        return d.GetAIAnalogTriggerParam(mode, enable, high, low, n, pre, post);
      },
      [&] {
        zero(mode);
        zero_n(enable, n);
        zero_n(high, n);
        zero_n(low, n);
        zero(pre);
        zero(post);
        zero(reserved);
      });
}

KV_API int KV_SetAIDelayTriggerParam(KV_HANDLE handle, unsigned int delay) {
  return with_idle_device(handle, [&](MODEL& d) { return d.SetAIDelayTriggerParam(delay); });
}

KV_API int KV_GetAIDelayTriggerParam(KV_HANDLE handle, unsigned int* delay, unsigned int* extra) {
  return with_settings(
      handle,
      [&](MODEL& d) {
        zero(extra);
        return d.GetAIDelayTriggerParam(delay);
      },
      [&] {
        zero(delay);
        zero(extra);
      });
}

KV_API int KV_SetConfig(KV_HANDLE handle, int item, int index, int value) {
  return with_idle_device(handle, [&](MODEL& d) { return d.SetConfig(item, index, value); });
}

KV_API int KV_GetConfig(KV_HANDLE handle, int item, int index, int* value) {
  return with_settings(handle, [&](MODEL& d) { return d.GetConfig(item, index, value); });
}

KV_API int KV_TransmitDataCmd(KV_HANDLE handle) {
  return with_device(handle, [](MODEL& d) { return d.TransmitData(); });
}

KV_API int KV_StartAIScan(KV_HANDLE handle) {
  return with_lifecycle(handle, KV_ERR_BUSY_SAMPLING,
                        [](MODEL& d) { return d.StartLANQueue(); });
}

KV_API int KV_StopAIScan(KV_HANDLE handle) {
  return with_lifecycle(handle, KV_ERR_NOT_SUPPORTED,
                        [](MODEL& d) { return d.StopLANQueue(); });
}

KV_API int KV_GetAIBufferStatus(KV_HANDLE handle, unsigned short* status, unsigned int* count) {
  return with_device(
      handle,
      [&](MODEL& d) {
        const unsigned short s = static_cast<unsigned short>(d.AD_BufferStatus());
        if (status) *status = s;
        if (count) *count = s != 0 ? static_cast<unsigned int>(d.Get_ADSize()) : 0u;
        return 1;
      },
      [&] {
        zero(status);
        zero(count);
      });
}

KV_API int KV_GetAIBuffer(KV_HANDLE handle, float* buffer, unsigned int count) {
  return with_device(
      handle,
      [&](MODEL& d) {
        if (count == 0) return 0;
        // The result is an int.
        count = std::min<unsigned int>(count, INT_MAX);
        if (!present(buffer)) return 0;
        const int n = d.AD_ReadData_float(buffer, count, static_cast<int>(d.module.sample_bytes));
        if (n > 0) d.Filter_Data(static_cast<unsigned int>(n), buffer);
        return n;
      },
      [&] {
        if (buffer) buffer[0] = 0.0f;
      });
}

KV_API int KV_GetAIBufferHex(KV_HANDLE handle, unsigned int* buffer, unsigned int count) {
  return with_device(
      handle,
      [&](MODEL& d) {
        if (count == 0) return 0;
        // The result is an int.
        count = std::min<unsigned int>(count, INT_MAX);
        if (!present(buffer)) return 0;
        const int n = d.AD_ReadCodes(buffer, count);
        if (n > 0) d.Filter_DataHEX(static_cast<unsigned int>(n), buffer);
        return n;
      },
      [&] {
        if (buffer) buffer[0] = 0;
      });
}

KV_API int KV_ClearAIBuffer(KV_HANDLE handle) {
  return with_device_ok(handle, [](MODEL& d) { d.AD_ClearData(); });
}

KV_API int KV_GetTotalSamplingStatus(KV_HANDLE handle, unsigned int* count,
                                     unsigned int* status) {
  return with_device(handle, [&](MODEL& d) {
    const unsigned int s = static_cast<unsigned short>(d.AD_BufferStatus());
    if (status) *status = s;
    if (count)
      *count = static_cast<unsigned int>(s != 0 ? d.GetTCPReceivedCnt() : d.GetDAQSampleCnt());
    return 1;
  });
}

KV_API int KV_SetEventCallback(KV_HANDLE handle, unsigned short mask, unsigned short spare,
                               KV_EventCallback function, void* user_data) {
  return with_device_ok(handle, [&](MODEL& d) {
    d.SetEventCallback(mask, spare, reinterpret_cast<void*>(function), user_data);
  });
}

KV_API int KV_RemoveEventCallback(KV_HANDLE handle, unsigned short mask) {
  return with_device_ok(handle, [&](MODEL& d) { d.RemoveEventCallback(mask); });
}

KV_API int KV_SetSyncInScanParam(KV_HANDLE handle, unsigned int header_mode,
                                 const unsigned short* sizes, const unsigned short* types,
                                 unsigned short count, unsigned int options, unsigned int spare) {
  if (count >= 8) {
    set_last_error(KV_ERR_INVALID_ARGUMENT);
    return 0;
  }
  return with_idle_device(handle, [&](MODEL& d) {
    if (count > 0 && (!present(sizes) || !present(types))) return 0;
    return d.SetSyncInScanParam(header_mode, sizes, types, count, options, spare);
  });
}

KV_API int KV_GetSyncInScanParam(KV_HANDLE handle, unsigned int* header_mode,
                                 unsigned short* sizes, unsigned short* types,
                                 unsigned short max_count, unsigned short* count,
                                 unsigned int* options, unsigned int* spare) {
  if (max_count >= 8) {
    set_last_error(KV_ERR_INVALID_ARGUMENT);
    return 0;
  }
  return with_settings(
      handle,
      [&](MODEL& d) {
        return d.GetSyncInScanParam(header_mode, sizes, types, max_count, count, options, spare);
      },
      [&] {
        zero(header_mode);
        zero(sizes);
        zero(types);
        zero(count);
        zero(options);
        zero(spare);
      });
}

}  // extern "C"
