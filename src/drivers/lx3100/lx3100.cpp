#include "drivers/lx3100/lx3100.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/errors.h"
#include "model/calibration.h"
#include "net/clock.h"

namespace korvel {

LX3100::LX3100(const char* ip, int cmd_port_arg, int data_port_arg, const QLXmodule& module_arg)
    : LxDevice(ip, cmd_port_arg, data_port_arg, module_arg) {
  do_range_code = KV_ERR_INVALID_ARGUMENT;
}

// The worker calls this class's hooks: it must end before they go.
LX3100::~LX3100() { engine_.stop(); }

int LX3100::ReadAllGainOffsetfromKV() {
  const int channels = module.ai_count;
  bool last_ok = false;
  int silent = 0;  // consecutive reads the device did not answer
  for (int c = 0; c < channels; ++c) {
    for (int g = 0; g < 2; ++g) {
      Reply r;
      last_ok = table_read(r, kCalibrationTimeoutMs, &silent, "$01R0C%01dG%01d", c, g);
      if (silent >= 2) return 0;
      unsigned int gain = 0, offset = 0;
      if (last_ok && g < module.ai_gain_count && r.hex(1, 4, &gain) && r.hex(5, 4, &offset)) {
        GainTable.set(c, g, static_cast<uint16_t>(gain));
        OffsetTable.set(c, g, static_cast<int16_t>(static_cast<uint16_t>(offset)));
      }
    }
  }
  int empty = 0;
  for (int c = 0; c < channels; ++c)
    for (int g = 0; g < 2 && g < module.ai_gain_count; ++g)
      if (GainTable.get(c, g) == 0 && OffsetTable.get(c, g) == 0) ++empty;
  // A device whose table is mostly blank has not been calibrated.
  if (empty > channels / 2) return 0;
  return last_ok ? 1 : 0;
}

int LX3100::Calibrate_HEX(int raw, int channel, int gain, int* code) {
  if (channel < 0 || channel >= module.ai_count) return fail(KV_ERR_INPUT_CHANNEL);
  if (gain < 0 || gain >= module.ai_gain_count) return fail(KV_ERR_GAIN_RANGE);
  const int v = calibrate16(raw, GainTable.get(channel, gain), OffsetTable.get(channel, gain));
  put(code, v);
  return 1;
}

int LX3100::Calibrate_Hex2Float(int raw, int channel, int gain, float* value) {
  if (channel < 0 || channel >= module.ai_count) return fail(KV_ERR_INPUT_CHANNEL);
  if (gain < 0 || gain >= module.ai_gain_count) return fail(KV_ERR_GAIN_RANGE);
  int code = 0;
  Calibrate_HEX(raw, channel, gain, &code);
  put(value, code16_to_volts(code, gain));
  return 1;
}

void LX3100::codes_to_volts(const char* src, uint32_t n, uint32_t channels, uint32_t phase,
                            int gain, float* dst) {
  ChannelCalibration cal;
  if (!cal.load(GainTable, OffsetTable, channels, gain, module.ai_count, module.ai_gain_count))
    return LxDevice::codes_to_volts(src, n, channels, phase, gain, dst);
  codes16_to_volts(src, n, channels, phase, cal.gains, cal.offsets, gain, dst);
}

int LX3100::ReadAIALLHEXRAW(int gain, int* raw, int count) {
  if (count < 0 || count > module.ai_count) return fail(KV_ERR_INPUT_CHANNEL);
  char cmd[16];
  std::snprintf(cmd, sizeof cmd, "#01H%01d", gain);
  return read_raw_codes(cmd, 4, raw, count);
}

namespace {

// Counter replies: "!", the module address, then eight hexadecimal digits
// per value from position 3. Anything else (a refusal, a short or garbled
// field) cannot be read.
bool counter_field(const Reply& r, std::size_t index, unsigned int* value) {
  return r.at(0) == '!' && r.hex(3 + 8 * index, 8, value);
}

// Configuration bits 0 and 1 as two decimal digits (0 or 1) from position 3.
bool config_bits(const Reply& r, unsigned int* config) {
  const char a = r.at(3), b = r.at(4);
  if (r.at(0) != '!' || (a != '0' && a != '1') || (b != '0' && b != '1')) return false;
  *config = (a == '1' ? 1u : 0u) | (b == '1' ? 2u : 0u);
  return true;
}

bool accepted(const Reply& r) { return r.at(0) == '!'; }

}  // namespace

int LX3100::get_config(unsigned int channel, unsigned int limit, const uint16_t* cache,
                       const char* bits_format, bool bits_failure_fails, unsigned int* config,
                       unsigned int* preset) {
  if (!channel_ok(channel, limit)) return 0;
  if (busy()) return 0;
  // Every failure from here on leaves zeros, never a stale or partial value.
  put(config, 0u);
  put(preset, 0u);
  Reply r;
  if (!command(r, kCommandTimeoutMs, "@01P%01X", channel)) return fail(KV_ERR_RESPONSE);
  unsigned int p = 0;
  if (!counter_field(r, 0, &p)) return fail(KV_ERR_INVALID_VALUE);
  unsigned int cfg = cache[channel];
  msleep(1);
  Reply bits;
  if (command(bits, kCommandTimeoutMs, bits_format, channel)) {
    if (!config_bits(bits, &cfg)) return fail(KV_ERR_INVALID_VALUE);
  } else if (bits_failure_fails) {
    return fail(KV_ERR_RESPONSE);
  }
  // A DI counter whose bits exchange failed reports the configuration last
  // written.
  put(config, cfg);
  put(preset, p);
  return 1;
}

int LX3100::GetDICNTConfig(unsigned int channel, unsigned int* config, unsigned int* preset) {
  return get_config(channel, module.di_count, DICNTConfigCache.data(), "$015PR%01X", false,
                    config, preset);
}

int LX3100::GetCounterConfig(unsigned int channel, unsigned int* config, unsigned int* preset) {
  return get_config(channel, module.counter_count, CounterConfigCache.data(), "$015%01X", true,
                    config, preset);
}

int LX3100::SetDICNTConfig(unsigned int channel, unsigned int config, unsigned int preset) {
  if (!channel_ok(channel, module.di_count)) return 0;
  if (busy()) return 0;
  Reply r;
  if (!command(r, kCommandTimeoutMs, "@01PRE%01X%08X", channel, preset) || !accepted(r))
    return fail(KV_ERR_RESPONSE);
  DICNTConfigCache[channel] = static_cast<uint16_t>(config);
  msleep(1);
  // A failed exchange keeps its own code; a refusal gets 0x17003.
  if (!command(r, kCommandTimeoutMs, "$015PR%01X%01d%01d", channel, config & 1 ? 1 : 0,
               config & 2 ? 1 : 0))
    return 0;
  return accepted(r) ? 1 : fail(KV_ERR_RESPONSE);
}

int LX3100::SetCounterConfig(unsigned int channel, unsigned int config, unsigned int preset) {
  if (!channel_ok(channel, module.counter_count)) return 0;
  if (busy()) return 0;
  Reply r;
  if (!command(r, kCommandTimeoutMs, "@01P%01X%08X", channel, preset) || !accepted(r))
    return fail(KV_ERR_RESPONSE);
  CounterConfigCache[channel] = static_cast<uint16_t>(config);
  msleep(1);
  const int bit0 = config & 1 ? 1 : 0;
  const int bit1 = config & 2 ? 1 : 0;
  msleep(1);
  if (!command(r, kCommandTimeoutMs, "$015%01X%01d%01d", channel, bit0, bit1) || !accepted(r))
    return fail(KV_ERR_RESPONSE);
  return 1;
}

int LX3100::read_count(unsigned int channel, unsigned int limit, const char* format,
                       unsigned int* value) {
  if (!channel_ok(channel, limit)) return 0;
  if (busy()) return 0;
  put(value, 0u);
  Reply r;
  if (!command(r, kCommandTimeoutMs, format, channel)) return fail(KV_ERR_RESPONSE);
  unsigned int v = 0;
  if (!counter_field(r, 0, &v)) return fail(KV_ERR_INVALID_VALUE);
  put(value, v);
  return 1;
}

int LX3100::GetDICNT(unsigned int channel, unsigned int* value) {
  return read_count(channel, module.di_count, "@01REC%01X", value);
}

int LX3100::GetCounter(unsigned int channel, unsigned int* value) {
  return read_count(channel, module.counter_count, "@01G%01X", value);
}

int LX3100::clear_command(const char* format, unsigned int channel, bool with_channel) {
  if (busy()) return 0;
  Reply r;
  const bool ok = with_channel ? command(r, kCommandTimeoutMs, format, channel)
                               : command(r, kCommandTimeoutMs, "%s", format);
  if (!ok) return fail(KV_ERR_RESPONSE);
  return r.at(0) == '!' ? 1 : 0;
}

int LX3100::ClearDICNT(unsigned int channel) {
  if (!channel_ok(channel, module.di_count)) return 0;
  return clear_command("@01CREC%01X", channel, true);
}

int LX3100::ClearDICNTALL() { return clear_command("@01CREC", 0, false); }

int LX3100::ClearCounter(unsigned int channel) {
  if (!channel_ok(channel, module.counter_count)) return 0;
  return clear_command("@01C%01X", channel, true);
}

int LX3100::ClearCounterALL() { return clear_command("@01C", 0, false); }

int LX3100::get_all_counts(const char* cmd, unsigned int* values, int count, int limit) {
  if (count < 1 || count > limit) {
    for (int i = 0; i < count; ++i) values[i] = 0;
    return fail(KV_ERR_INPUT_CHANNEL);
  }
  if (busy()) return 0;
  for (int i = 0; i < count; ++i) values[i] = 0;
  Reply r;
  if (!command(r, kCommandTimeoutMs, "%s", cmd)) return fail(KV_ERR_RESPONSE);
  // Every requested field must be there before any is handed out.
  unsigned int v = 0;
  for (int i = 0; i < count; ++i)
    if (!counter_field(r, static_cast<std::size_t>(i), &v)) return fail(KV_ERR_INVALID_VALUE);
  for (int i = 0; i < count; ++i) counter_field(r, static_cast<std::size_t>(i), &values[i]);
  return 1;
}

int LX3100::GetDICNTAll(unsigned int* values, int count) {
  return get_all_counts("@01REC", values, count, module.di_count);
}

int LX3100::GetCounterAll(unsigned int* values, int count) {
  return get_all_counts("@01G", values, count, module.counter_count);
}

}  // namespace korvel
