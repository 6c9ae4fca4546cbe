#include "drivers/device_config.h"

#include <cmath>
#include <cstring>

#include "core/errors.h"
#include "net/clock.h"
#include "net/reply.h"

namespace korvel {

int LogFolderConfig::set(int index, int value, bool continuous) {
  if (index == 1) {
    if (static_cast<unsigned int>(value) > 7) return fail(KV_ERR_INVALID_ARGUMENT);
    grouping = (value == 0 && continuous) ? 1 : static_cast<uint32_t>(value);
    return 1;
  }
  if (index == 2) {
    second_value = static_cast<uint32_t>(value);
    return 1;
  }
  return fail(KV_ERR_INVALID_ARGUMENT);
}

int LogFolderConfig::get(int index, int* value) const {
  if (index == 1) {
    put(value, static_cast<int>(grouping));
    return 1;
  }
  if (index == 2) {
    put(value, static_cast<int>(second_value));
    return 1;
  }
  return fail(KV_ERR_INVALID_ARGUMENT);
}

int set_device_timing(MODEL& device, int index, int value, int timeout_ms) {
  Reply r;
  if (index == 0) {
    if (value < 1 || value > 500) value = 500;
    return send_command(device, r, timeout_ms, "~01RPF%05d", value) ? 1 : 0;
  }
  if (index == 1) {
    value = value < 1 ? 1 : value > 1000 ? 1000 : value;
    const bool ok = send_command(device, r, timeout_ms, "~01DT%05d", value);
    msleep(1);
    return ok ? 1 : 0;
  }
  return -1;
}

float channel_factor(int thousandths) {
  return static_cast<float>(static_cast<double>(thousandths) * 0.001);
}

uint32_t float_bits(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

float bits_float(uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

int channel_factor_thousandths(float factor) {
  const double scaled = static_cast<double>(factor) * 1000.0;
  return std::isfinite(scaled) && std::fabs(scaled) < 2e9 ? static_cast<int>(std::lround(scaled))
                                                          : 0;
}

int read_start_sampling_time(MODEL& device, char* text, int timeout_ms) {
  Reply r;
  if (!send_command(device, r, timeout_ms, "~01SST") || r.at(0) != '!') return 0;
  if (text) std::memcpy(text, r.from(4), std::strlen(r.from(4)) + 1);
  return 1;
}

int refuse_trigger_read(int* mode, char* enable, float* high, float* low, int count,
                        unsigned int* pre, unsigned int* post) {
  put(mode, 0);
  put(pre, 0u);
  put(post, 0u);
  for (int i = 0; i < count; ++i) {
    if (enable) enable[i] = 0;
    if (high) high[i] = 0.0f;
    if (low) low[i] = 0.0f;
  }
  return fail(KV_ERR_INVALID_VALUE);
}

int send_run_order(MODEL& device, const char* order, int timeout_ms) {
  Reply r;
  if (!send_command(device, r, timeout_ms, "%s", order)) return 0;
  return r.at(0) == '!' ? 1 : fail(KV_ERR_RESPONSE);
}

void withdraw_start(MODEL& device, unsigned int code) {
  if (code != KV_ERR_SEND) device.StopMagicScan();
  set_last_error(code);
}

int start_scan(MODEL& device, AcqEngine& engine) {
  if (!device.StartAIScan()) return 0;
  if (device.StartMagicScan()) return 1;
  const unsigned int code = static_cast<unsigned int>(get_last_error());
  engine.stop();
  device.LANBuffer_Uninit();
  withdraw_start(device, code);
  return fail(code);
}

int stop_scan(MODEL& device, AcqEngine& engine) {
  if (engine.on_worker_thread()) return fail(KV_ERR_NOT_SUPPORTED);
  engine.request_stop();
  const bool acknowledged = device.StopMagicScan() == 1;
  const unsigned int code = acknowledged ? 0u : static_cast<unsigned int>(get_last_error());
  device.StopAIScan();
  return acknowledged ? 1 : fail(code);
}

}  // namespace korvel
