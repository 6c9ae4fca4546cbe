// Scan configuration, configuration items and analog triggers of the LX
// family; the drivers add their own checks, rate commands and codes.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/errors.h"
#include "drivers/lx_common/lx_device.h"
#include "drivers/lx_common/rate_search.h"
#include "net/clock.h"

namespace korvel {

namespace {

constexpr uint32_t kMaxSampleCount = 30000000;

}  // namespace

int LxDevice::send_scan_commands(const char* first, short ch_count, short gain, short trig_mode,
                                 short transfer_mode, const char* rate_command, uint32_t rate,
                                 unsigned int sample_count, short option) {
  Reply r;
  if (!command(r, kCommandTimeoutMs, "%s", first)) return 0;
  if (static_cast<uint32_t>(gain) != ScanGain) ReadAllGainOffsetfromKV();
  ScanGain = static_cast<uint32_t>(gain);
  ScanChannelCount = static_cast<uint16_t>(ch_count);
  ScanTriggerMode = static_cast<uint16_t>(trig_mode);
  ScanTransferMode = static_cast<uint16_t>(transfer_mode);
  msleep(1);
  if (!command(r, kCommandTimeoutMs, "%s", rate_command)) return 0;
  ScanSampleRate = rate;
  msleep(1);
  if (!command(r, kCommandTimeoutMs, "~01T%010u", sample_count)) return 0;
  ScanSampleCount = sample_count;
  msleep(1);
  if (!command(r, kCommandTimeoutMs, "~01A%d", option & 3)) return 0;
  ScanOption = static_cast<uint16_t>(option);
  ScanParamsSet = true;
  return 1;
}

int LxDevice::send_scan_param(uint16_t trigger_mode, uint32_t rate, uint32_t count) {
  return SetScanParam(static_cast<short>(ScanChannelCount), static_cast<short>(ScanGain),
                      static_cast<short>(trigger_mode), static_cast<int>(rate), count,
                      static_cast<short>(ScanTransferMode), static_cast<short>(ScanOption));
}

bool LxDevice::parse_rate(const Reply& r, unsigned long* rate) const {
  return r.number(3, rate);
}

LxDevice::ScanReply LxDevice::parse_scan_reply(const Reply& r) const {
  return ScanReply{r.digit(4), r.digit(6), r.digit(8), r.digit(10)};
}

int LxDevice::ram_trigger_mode(int d) {
  switch (d) {
    case 0:
    case 1:
      return 0;
    case 2:
      return 6;
    default:
      return -1;
  }
}

bool LxDevice::parse_divided_rate(const Reply& r, unsigned long* rate) {
  unsigned int a = 0, b = 0, d = 0;
  // A zero divisor is no rate the device can run at.
  if (!r.dec(3, 2, &a) || !r.dec(5, 2, &b) || !r.dec(7, 4, &d) || a == 0 || b == 0 || d == 0)
    return false;
  *rate = static_cast<unsigned long>(
      divided_rate(static_cast<int>(a), static_cast<int>(b), static_cast<int>(d)));
  return true;
}

int LxDevice::GetScanParam(short* ch_count, short* gain, short* trig_mode, int* sample_rate,
                           unsigned int* sample_count, short* transfer_mode, short* option) {
  auto deliver = [&] {
    put<short>(gain, static_cast<short>(ScanGain));
    put<short>(ch_count, static_cast<short>(ScanChannelCount));
    put<short>(trig_mode, static_cast<short>(ScanTriggerMode));
    put<short>(transfer_mode, static_cast<short>(ScanTransferMode));
    put<int>(sample_rate, static_cast<int>(ScanSampleRate));
    put<unsigned int>(sample_count, ScanSampleCount);
    put<short>(option, static_cast<short>(ScanOption));
  };
  // The running worker and the ring's readers use these: answer from them.
  if (run_active()) {
    deliver();
    return 1;
  }
  Reply r;
  if (!command(r, kCommandTimeoutMs, "~01P")) return 0;
  const ScanReply p = parse_scan_reply(r);
  const int g = p.gain, c = p.channels, m = p.transfer;
  const int t = p.trigger_digit < 0 ? -1 : trigger_mode_of_digit(p.trigger_digit);
  // Values outside what this device has would size reads and index tables
  // wrongly: a reply carrying them is refused whole.
  if (g < 0 || g >= module.ai_gain_count || c < 1 || c > module.ai_count || t < 0 || m < 0)
    return fail(KV_ERR_INVALID_VALUE);
  unsigned long rate = 0, count = 0, opt = 0;
  msleep(1);
  if (!command(r, kCommandTimeoutMs, "~01R")) return 0;
  if (!parse_rate(r, &rate) || rate < 1 || rate > max_rate()) return fail(KV_ERR_INVALID_VALUE);
  msleep(1);
  if (!command(r, kCommandTimeoutMs, "~01T")) return 0;
  if (!r.number(3, &count) || count > kMaxSampleCount) return fail(KV_ERR_INVALID_VALUE);
  msleep(1);
  if (!command(r, kCommandTimeoutMs, "~01A")) return 0;
  if (!r.number(3, &opt) || opt > 0xFFFF) return fail(KV_ERR_INVALID_VALUE);
  ScanGain = static_cast<uint32_t>(g);
  ScanChannelCount = static_cast<uint16_t>(c);
  ScanTriggerMode = static_cast<uint16_t>(t);
  ScanTransferMode = static_cast<uint16_t>(m);
  ScanSampleRate = static_cast<uint32_t>(rate);
  ScanSampleCount = static_cast<uint32_t>(count);
  ScanOption = static_cast<uint16_t>(opt);
  deliver();

  // A finite scan ends on a whole scan: the device is set to the next
  // multiple of the channel count.
  if (ScanChannelCount != 0 && ScanSampleCount % ScanChannelCount != 0) {
    ScanSampleCount += ScanChannelCount - ScanSampleCount % ScanChannelCount;
    msleep(1);
    if (!command(r, kCommandTimeoutMs, "~01T%010u", ScanSampleCount)) return 0;
    put<unsigned int>(sample_count, ScanSampleCount);
  }
  return 1;
}

int LxDevice::SetConfig(int item, int index, int value) {
  Reply r;
  switch (item) {
    case 4:
      return LogFolders.set(index, value, ScanSampleCount == 0);
    case 5: {
      if (index == 2) {
        DataTimeoutOverride = value;
        return 1;
      }
      const int sent = set_device_timing(*this, index, value, kCommandTimeoutMs);
      return sent < 0 ? fail(KV_ERR_CONFIG_ITEM) : sent;
    }
    case 6: {
      if (index < 0 || index >= module.ai_count) return fail(KV_ERR_INVALID_ARGUMENT);
      // The nearest float to value / 1000, so that reading it back gives value.
      const float factor = channel_factor(value);
      if (!command(r, kCommandTimeoutMs, "~01ED%02dG%08X", index, float_bits(factor)))
        return fail(KV_ERR_CONFIG_ITEM);
      if (r.size() != 3) return 0;
      ChannelFactor[index] = factor;
      return 1;
    }
    default:
      return fail(KV_ERR_INVALID_ARGUMENT);
  }
}

int LxDevice::GetConfig(int item, int index, int* value) {
  Reply r;
  switch (item) {
    case 4:
      return LogFolders.get(index, value);
    case 5: {
      int v = 0;
      if (index == 0) {
        if (!command(r, kCommandTimeoutMs, "~01RP")) return 0;
        if (std::sscanf(r.from(4), "%d", &v) != 1) return fail(KV_ERR_INVALID_VALUE);
      } else if (index == 1) {
        if (!command(r, kCommandTimeoutMs, "~01DT")) return 0;
        if (std::sscanf(r.from(3), "%d", &v) != 1) return fail(KV_ERR_INVALID_VALUE);
      } else if (index == 2) {
        v = honours_timeout_override && DataTimeoutOverride >= 1
                ? DataTimeoutOverride
                : static_cast<int>(engine_.timeout_base());
      } else {
        put(value, 0);
        return fail(KV_ERR_INVALID_ARGUMENT);
      }
      put(value, v);
      return 1;
    }
    case 6: {
      if (index < 0 || index >= module.ai_count) return fail(KV_ERR_INVALID_ARGUMENT);
      if (run_active()) {
        put(value, channel_factor_thousandths(ChannelFactor[index]));
        return 1;
      }
      if (!command(r, kCommandTimeoutMs, "~01ED%02d", index)) {
        put(value, 0);
        return fail(KV_ERR_INVALID_ARGUMENT);
      }
      unsigned int bits = 0;
      if (r.size() != 11 || !r.hex(3, 8, &bits)) return 0;
      const float factor = bits_float(bits);
      ChannelFactor[index] = factor;
      put(value, channel_factor_thousandths(factor));
      return 1;
    }
    default:
      return fail(KV_ERR_INVALID_ARGUMENT);
  }
}

int LxDevice::SetAIAnalogTriggerParam(int mode, const char* enable, const float* high, const float* low, int count,
                                      unsigned int pre, unsigned int post) {
  if (mode < 0 || mode > 3) return fail(KV_ERR_TRIGGER_CHANNEL);
  if (count > module.ai_count) return fail(KV_ERR_INVALID_VALUE);
  if (count > 0 && (!enable || !high || !low)) return fail(KV_ERR_INVALID_ARGUMENT);
  for (int i = 0; i < count; ++i) {
    const float full_scale = trigger_full_scale(i);
    if (enable[i] != 1) {
      // Modes 0 to 2 disable a channel with an unreachable window; mode 3
      // (outside the window) with the reversed pair.
      TriggerHighCode[i] = mode == 3 ? trigger_low_rail() : trigger_high_rail();
      TriggerLowCode[i] = mode == 3 ? trigger_high_rail() : trigger_low_rail();
      continue;
    }
    if (!(std::fabs(high[i]) <= full_scale) || !(std::fabs(low[i]) <= full_scale))
      return fail(KV_ERR_TRIGGER_PARAM);
    uint32_t h = 0, l = 0;
    if (!trigger_code(i, high[i], &h) || !trigger_code(i, low[i], &l)) return 0;
    TriggerHighCode[i] = h;
    TriggerLowCode[i] = l;
  }
  if (static_cast<uint64_t>(pre) + post != ScanSampleCount) return fail(KV_ERR_TRIGGER_SETUP);

  Reply r;
  if (!command(r, kCommandTimeoutMs, "~01XM%01dL%08uR%08u", mode, pre, post))
    return fail(KV_ERR_INVALID_HANDLE);
  AnalogTriggerMode = static_cast<uint32_t>(mode);
  PreTriggerCount = pre;
  PostTriggerCount = post;
  const int digits = trigger_digits();
  const uint32_t mask = (1u << (4 * digits)) - 1;  // the codes travel in `digits` digits
  for (int c = 0; c < module.ai_count; ++c) {
    msleep(1);
    if (!command(r, kCommandTimeoutMs, "~01XC%01dH%0*XL%0*X", c, digits,
                 TriggerHighCode[c] & mask, digits, TriggerLowCode[c] & mask))
      return fail(KV_ERR_INVALID_HANDLE);
  }
  return 1;
}

int LxDevice::GetAIAnalogTriggerParam(int* mode, char* enable, float* high, float* low, int count,
                                      unsigned int* pre, unsigned int* post) {
  if (count > module.ai_count) {
    return refuse_trigger_read(mode, enable, high, low, count, pre, post);
  }
  if (!run_active() && !read_analog_trigger()) return 0;
  put(mode, static_cast<int>(AnalogTriggerMode));
  put(pre, PreTriggerCount);
  put(post, PostTriggerCount);
  for (int i = 0; i < count; ++i) {
    const bool disabled =
        TriggerHighCode[i] == trigger_high_rail() && TriggerLowCode[i] == trigger_low_rail();
    if (enable) enable[i] = disabled ? 0 : 1;
    float hv = 0.0f, lv = 0.0f;
    if (!disabled) {
      Calibrate_Hex2Float(static_cast<int>(TriggerHighCode[i]), i, static_cast<int>(ScanGain), &hv);
      Calibrate_Hex2Float(static_cast<int>(TriggerLowCode[i]), i, static_cast<int>(ScanGain), &lv);
    }
    if (high) high[i] = hv;
    if (low) low[i] = lv;
  }
  return 1;
}

bool LxDevice::read_analog_trigger() {
  Reply r;
  unsigned long p = 0, q = 0;
  if (!command(r, kCommandTimeoutMs, "~01XM")) return fail(KV_ERR_INVALID_VALUE);
  if (!r.number(7, &p) || !r.number(16, &q)) return fail(KV_ERR_INVALID_VALUE);
  AnalogTriggerMode = static_cast<uint32_t>(r.at(5) - '0');
  PreTriggerCount = static_cast<uint32_t>(p);
  PostTriggerCount = static_cast<uint32_t>(q);
  // "H<high>L<low>" from position 5, each in trigger_digits() digits.
  const char* format = trigger_digits() == 6 ? "H%06XL%06X" : "H%04XL%04X";
  for (int c = 0; c < module.ai_count; ++c) {
    msleep(1);
    unsigned int h = 0, l = 0;
    if (!command(r, kCommandTimeoutMs, "~01XC%01d", c) ||
        std::sscanf(r.from(5), format, &h, &l) != 2)
      return fail(KV_ERR_INVALID_VALUE);
    TriggerHighCode[c] = h;
    TriggerLowCode[c] = l;
  }
  return true;
}

int LxDevice::GetAIAnalogTriggerIdx() {
  Reply r;
  if (!command(r, kCommandTimeoutMs, "~01XN")) return fail(KV_ERR_INVALID_VALUE);
  unsigned long v = 0;
  TriggerIndex = (r.at(0) == '!' && r.number(3, &v)) ? static_cast<uint32_t>(v) : 0u;
  return 1;
}

int LxDevice::TransmitData() {
  Reply r;
  if (!command(r, kCommandTimeoutMs, "~01E")) return 0;
  return r.at(0) == '!' ? 1 : 0;
}

}  // namespace korvel
