// Exported functions: single-point analog and digital I/O, counters, encoder.
#include "api/call.h"
#include "logging/log_reader.h"

using namespace korvel;
using namespace korvel::api;

namespace {

bool channel_in_range(int channel, int count) {
  if (channel >= 0 && channel < count) return true;
  set_last_error(KV_ERR_INPUT_CHANNEL);
  return false;
}

// Counts are compared, never offset, so that no count overflows.
bool count_in_range(int count, int limit) {
  if (count >= 1 && count <= limit) return true;
  set_last_error(KV_ERR_INPUT_CHANNEL);
  return false;
}

bool gain_in_range(const MODEL& d, int gain) {
  if (gain >= 0 && gain < d.module.ai_gain_count) return true;
  set_last_error(KV_ERR_GAIN_RANGE);
  return false;
}

bool array_present(const void* p, int count) { return count <= 0 || present(p); }

// A device handle, or else a log-file handle from KV_LogFile_Open; anything
// else is refused without being read through.
template <class DeviceOp, class LogOp>
int calibrate(KV_HANDLE handle, DeviceOp&& on_device, LogOp&& on_log) {
  return guarded<int>(0, [&] {
    if (const std::shared_ptr<MODEL> device = KVList().find(handle)) return on_device(*device);
    if (const std::shared_ptr<ModelLog> log = OpenLogFiles().find(handle)) return on_log(*log);
    set_last_error(KV_ERR_INVALID_HANDLE);
    return 0;
  });
}

}  // namespace

extern "C" {

KV_API int KV_ReadAI(KV_HANDLE handle, int channel, int gain, float* value) {
  return with_device(handle, [&](MODEL& d) {
    if (!channel_in_range(channel, d.module.ai_count) || !gain_in_range(d, gain) ||
        !present(value))
      return 0;
    return d.ReadAI(channel, gain, value);
  });
}

KV_API int KV_ReadAIALL(KV_HANDLE handle, int gain, float* values, int count) {
  return with_device(handle, [&](MODEL& d) {
    if (!count_in_range(count, d.module.ai_count) || !present(values)) return 0;
    if (!gain_in_range(d, gain)) {
      zero_n(values, count);
      return 0;
    }
    return d.ReadAIALL(gain, values, count);
  });
}

KV_API int KV_ReadAIHEX(KV_HANDLE handle, int channel, int gain, int* value) {
  return with_device(
      handle,
      [&](MODEL& d) {
        if (d.module.ai_count != 0) {
          if (!channel_in_range(channel, d.module.ai_count) || !gain_in_range(d, gain)) {
            zero(value);
            return 0;
          }
        }
        if (!present(value)) return 0;
        return d.ReadAIHEX(channel, gain, value);
      },
      [&] { zero(value); });
}

KV_API int KV_ReadAIALLHEX(KV_HANDLE handle, int gain, int* values, int count) {
  return with_device(handle, [&](MODEL& d) {
    if (d.module.ai_count != 0) {
      if (!count_in_range(count, d.module.ai_count) || !gain_in_range(d, gain)) {
        zero_n(values, count);
        return 0;
      }
    }
    if (!array_present(values, count)) return 0;
    return d.ReadAIALLHEX(gain, values, count);
  });
}

KV_API int KV_WriteAO(KV_HANDLE handle, int channel, int range, float value) {
  return with_device(handle, [&](MODEL& d) {
    if (d.module.ao_count != 0 && !channel_in_range(channel, d.module.ao_count)) return 0;
    return d.WriteAO(channel, range, value);
  });
}

KV_API int KV_WriteAOHEX(KV_HANDLE handle, int channel, int range, int value) {
  return with_device(handle, [&](MODEL& d) {
    if (d.module.ao_count != 0 && !channel_in_range(channel, d.module.ao_count)) return 0;
    return d.WriteAOHEX(channel, range, value);
  });
}

KV_API int KV_ReadGainOffset(KV_HANDLE handle, int channel, int gain, unsigned short* gain_factor,
                             short* offset) {
  return with_device(handle, [&](MODEL& d) {
    return d.ReadGainOffset(channel, gain, gain_factor, offset);
  });
}

KV_API int KV_ReadDIO(KV_HANDLE handle, unsigned int* di, unsigned int* do_value) {
  return with_device(
      handle, [&](MODEL& d) { return d.ReadDIO(di, do_value); },
      [&] {
        zero(di);
        zero(do_value);
      });
}

KV_API int KV_WriteDO(KV_HANDLE handle, unsigned int value) {
  return with_device(handle, [&](MODEL& d) { return d.WriteDO(value); });
}

KV_API int KV_WriteDOBit(KV_HANDLE handle, int bit, bool on) {
  return with_device(handle, [&](MODEL& d) { return d.WriteDOBit(bit, on); });
}

KV_API int KV_GetDICNTConfig(KV_HANDLE handle, unsigned int channel, unsigned int* config,
                             unsigned int* preset, unsigned int* extra) {
  return with_device(
      handle,
      [&](MODEL& d) {
        zero(extra);
        return d.GetDICNTConfig(channel, config, preset);
      },
      [&] {
        zero(config);
        zero(preset);
        zero(extra);
      });
}

KV_API int KV_SetDICNTConfig(KV_HANDLE handle, unsigned int channel, unsigned int config,
                             unsigned int preset) {
  return with_device(handle, [&](MODEL& d) { return d.SetDICNTConfig(channel, config, preset); });
}

KV_API int KV_GetCounterConfig(KV_HANDLE handle, unsigned int channel, unsigned int* config,
                               unsigned int* preset, unsigned int* extra) {
  return with_device(handle, [&](MODEL& d) {
    zero(extra);
    return d.GetCounterConfig(channel, config, preset);
  });
}

KV_API int KV_SetCounterConfig(KV_HANDLE handle, unsigned int channel, unsigned int config,
                               unsigned int preset) {
  return with_device(handle,
                     [&](MODEL& d) { return d.SetCounterConfig(channel, config, preset); });
}

KV_API int KV_GetDICNT(KV_HANDLE handle, unsigned int channel, unsigned int* value) {
  return with_device(
      handle, [&](MODEL& d) { return d.GetDICNT(channel, value); }, [&] { zero(value); });
}

KV_API int KV_GetCounter(KV_HANDLE handle, unsigned int channel, unsigned int* value) {
  return with_device(handle, [&](MODEL& d) { return d.GetCounter(channel, value); });
}

KV_API int KV_ClearDICNT(KV_HANDLE handle, unsigned int channel) {
  return with_device(handle, [&](MODEL& d) { return d.ClearDICNT(channel); });
}

KV_API int KV_ClearDICNTALL(KV_HANDLE handle) {
  return with_device(handle, [](MODEL& d) { return d.ClearDICNTALL(); });
}

KV_API int KV_ClearCounter(KV_HANDLE handle, unsigned int channel) {
  return with_device(handle, [&](MODEL& d) { return d.ClearCounter(channel); });
}

KV_API int KV_ClearCounterALL(KV_HANDLE handle) {
  return with_device(handle, [](MODEL& d) { return d.ClearCounterALL(); });
}

KV_API int KV_GetDICNTAll(KV_HANDLE handle, unsigned int* values, int count) {
  return with_device(
      handle,
      [&](MODEL& d) { return array_present(values, count) ? d.GetDICNTAll(values, count) : 0; },
      [&] { zero_n(values, count); });
}

KV_API int KV_GetCounterAll(KV_HANDLE handle, unsigned int* values, int count) {
  return with_device(handle, [&](MODEL& d) {
    return array_present(values, count) ? d.GetCounterAll(values, count) : 0;
  });
}

KV_API int KV_GetEncoderMode(KV_HANDLE handle, int channel, int* s1, int* s2, int* s3) {
  return with_device(
      handle, [&](MODEL& d) { return d.GetEncoderMode(channel, s1, s2, s3); },
      [&] {
        zero(s1);
        zero(s2);
        zero(s3);
      });
}

KV_API int KV_SetEncoderMode(KV_HANDLE handle, int channel, int s1, int s2, int s3) {
  return with_device(handle, [&](MODEL& d) { return d.SetEncoderMode(channel, s1, s2, s3); });
}

KV_API int KV_ReadEncoder(KV_HANDLE handle, int channel, unsigned int* value) {
  return with_device(
      handle, [&](MODEL& d) { return d.ReadEncoder(channel, value); }, [&] { zero(value); });
}

KV_API int KV_ClearEncoder(KV_HANDLE handle, int channel) {
  return with_device(handle, [&](MODEL& d) { return d.ClearEncoder(channel); });
}

}  // extern "C"

extern "C" {

KV_API int KV_Calibrate_Data_HEX(KV_HANDLE handle, int channel, int gain, int raw, int* out) {
  return calibrate(
      handle, [&](MODEL& d) { return d.Calibrate_HEX(raw, channel, gain, out); },
      [&](ModelLog& l) { return l.Calibrate_HEX(raw, channel, gain, out); });
}

KV_API int KV_Calibrate_Data_Float(KV_HANDLE handle, int channel, int gain, int raw, float* out) {
  return calibrate(
      handle, [&](MODEL& d) { return d.Calibrate_Hex2Float(raw, channel, gain, out); },
      [&](ModelLog& l) { return l.Calibrate_Hex2Float(raw, channel, gain, out); });
}

}  // extern "C"
