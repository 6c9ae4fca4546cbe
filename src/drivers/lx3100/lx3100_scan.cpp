// LX3100 scan configuration, configuration items and triggers.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/errors.h"
#include "drivers/lx3100/lx3100.h"
#include "net/clock.h"

namespace korvel {

namespace {

template <class T>
void put(T* out, T value) {
  if (out) *out = value;
}

// A single decimal digit of a reply; -1 when it is not one.
int digit(const Reply& r, std::size_t pos) {
  const char c = r.at(pos);
  return c >= '0' && c <= '9' ? c - '0' : -1;
}

bool number_at(const Reply& r, std::size_t pos, unsigned long* out) {
  return std::sscanf(r.from(pos), "%lu", out) == 1;
}

bool valid_trigger_mode(int mode) {
  switch (mode) {
    case 0: case 1: case 2: case 3: case 5: case 6: case 8: case 9:
      return true;
    default:
      return false;  // 4 and 7 are read back from the device but never set
  }
}

constexpr uint32_t kMaxRate = 200000;
constexpr uint64_t kMaxLiveSamplesPerSecond = 240000;
constexpr uint32_t kMaxSampleCount = 30000000;

}  // namespace

int LX3100::SetScanParam(short ch_count, short gain, short trig_mode, int sample_rate,
                         unsigned int sample_count, short transfer_mode, short option) {
  if (!valid_trigger_mode(trig_mode)) return fail(KV_ERR_INTERRUPT_MODE);
  if ((trig_mode == 2 || trig_mode == 3 || trig_mode == 9) && sample_count == 0)
    return fail(KV_ERR_SCAN_MODE);
  if (sample_rate < 1 || sample_rate > static_cast<int>(kMaxRate) ||
      sample_rate > static_cast<int>(kMaxRate / RateDivisor))
    return fail(KV_ERR_VALUE_RANGE);
  if (sample_count == 0 && trig_mode == 0 &&
      static_cast<uint64_t>(sample_rate) * static_cast<uint64_t>(ch_count < 0 ? 0 : ch_count) >
          kMaxLiveSamplesPerSecond)
    return fail(KV_ERR_SCAN_MODE);
  if (ch_count < 1 || ch_count > module.ai_count) return fail(KV_ERR_INPUT_CHANNEL);
  if (gain != 0 && gain != 1) return fail(KV_ERR_GAIN_RANGE);
  if (sample_count > kMaxSampleCount) return fail(KV_ERR_VALUE_RANGE);

  Reply r;
  if (!command(r, kCommandTimeoutMs, "~01PG%dC%dT%dM%d", gain, ch_count, trig_mode,
               transfer_mode))
    return 0;
  if (static_cast<uint32_t>(gain) != ScanGain) ReadAllGainOffsetfromKV();
  ScanGain = static_cast<uint32_t>(gain);
  ScanChannelCount = static_cast<uint16_t>(ch_count);
  ScanTriggerMode = static_cast<uint16_t>(trig_mode);
  ScanTransferMode = static_cast<uint16_t>(transfer_mode);
  msleep(1);
  if (!command(r, kCommandTimeoutMs, "~01R%06d", sample_rate)) return 0;
  ScanSampleRate = static_cast<uint32_t>(sample_rate);
  msleep(1);
  if (!command(r, kCommandTimeoutMs, "~01T%010u", sample_count)) return 0;
  ScanSampleCount = sample_count;
  msleep(1);
  if (!command(r, kCommandTimeoutMs, "~01A%d", option & 3)) return 0;
  ScanOption = static_cast<uint16_t>(option);
  ScanParamsSet = true;
  return 1;
}

int LX3100::send_scan_param(uint16_t trigger_mode, uint32_t rate, uint32_t count) {
  return SetScanParam(static_cast<short>(ScanChannelCount), static_cast<short>(ScanGain),
                      static_cast<short>(trigger_mode), static_cast<int>(rate), count,
                      static_cast<short>(ScanTransferMode), static_cast<short>(ScanOption));
}

int LX3100::GetScanParam(short* ch_count, short* gain, short* trig_mode, int* sample_rate,
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
  const int g = digit(r, 4), c = digit(r, 6), t = digit(r, 8), m = digit(r, 10);
  // Values outside what this device has would size reads and index tables
  // wrongly: a reply carrying them is refused whole.
  if (g < 0 || g >= module.ai_gain_count || c < 1 || c > module.ai_count || t < 0 || m < 0)
    return fail(KV_ERR_INVALID_VALUE);
  unsigned long rate = 0, count = 0, opt = 0;
  msleep(1);
  if (!command(r, kCommandTimeoutMs, "~01R")) return 0;
  if (!number_at(r, 3, &rate) || rate < 1 || rate > kMaxRate) return fail(KV_ERR_INVALID_VALUE);
  msleep(1);
  if (!command(r, kCommandTimeoutMs, "~01T")) return 0;
  if (!number_at(r, 3, &count) || count > kMaxSampleCount) return fail(KV_ERR_INVALID_VALUE);
  msleep(1);
  if (!command(r, kCommandTimeoutMs, "~01A")) return 0;
  if (!number_at(r, 3, &opt) || opt > 0xFFFF) return fail(KV_ERR_INVALID_VALUE);
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

int LX3100::SetConfig(int item, int index, int value) {
  Reply r;
  switch (item) {
    case 2: {
      if (index != 2 || value < 0 || value > 6) return fail(KV_ERR_INVALID_ARGUMENT);
      if (ScanSampleRate > (kMaxRate >> value)) return fail(KV_ERR_INVALID_ARGUMENT);
      if (!command(r, kCommandTimeoutMs, "~01V%01d", value)) return fail(KV_ERR_CONFIG_ITEM);
      if (r.size() != 3) return 0;
      RateDivisor = 1u << value;
      return 1;
    }
    case 4:
      if (index == 1) {
        if (static_cast<unsigned int>(value) > 7) return fail(KV_ERR_INVALID_ARGUMENT);
        // Grouping 0 never splits files, which a continuous run needs.
        LogFolderGrouping = (value == 0 && ScanSampleCount == 0) ? 1 : static_cast<uint32_t>(value);
        return 1;
      }
      if (index == 2) {
        LogSecondValue = static_cast<uint32_t>(value);
        return 1;
      }
      return fail(KV_ERR_INVALID_ARGUMENT);
    case 5:
      if (index == 0) {
        if (value < 1 || value > 500) value = 500;
        return command(r, kCommandTimeoutMs, "~01RPF%05d", value) ? 1 : 0;
      }
      if (index == 1) {
        value = value < 1 ? 1 : value > 1000 ? 1000 : value;
        return command(r, kCommandTimeoutMs, "~01DT%05d", value) ? 1 : 0;
      }
      if (index == 2) {
        DataTimeoutOverride = value;
        return 1;
      }
      return fail(KV_ERR_CONFIG_ITEM);
    case 6: {
      if (index < 0 || index >= module.ai_count) return fail(KV_ERR_INVALID_ARGUMENT);
      // The nearest float to value / 1000, so that reading it back gives value.
      const float factor = static_cast<float>(static_cast<double>(value) * 0.001);
      uint32_t bits;
      std::memcpy(&bits, &factor, sizeof bits);
      if (!command(r, kCommandTimeoutMs, "~01ED%02dG%08X", index, bits))
        return fail(KV_ERR_CONFIG_ITEM);
      if (r.size() != 3) return 0;
      ChannelFactor[index] = factor;
      return 1;
    }
    default:
      return fail(KV_ERR_INVALID_ARGUMENT);
  }
}

int LX3100::GetConfig(int item, int index, int* value) {
  Reply r;
  switch (item) {
    case 2: {
      if (index != 2) return fail(KV_ERR_INVALID_ARGUMENT);
      if (run_active()) {  // stored when it was set or last read
        int e = 0;
        while ((1u << e) < RateDivisor) ++e;
        put(value, e);
        return 1;
      }
      if (!command(r, kCommandTimeoutMs, "~01V")) return fail(KV_ERR_CONFIG_ITEM);
      const int e = digit(r, 4);
      if (r.size() != 5 || e < 0 || e > 6) return 0;
      RateDivisor = 1u << e;
      put(value, e);
      return 1;
    }
    case 4:
      if (index == 1) {
        put(value, static_cast<int>(LogFolderGrouping));
        return 1;
      }
      if (index == 2) {
        put(value, static_cast<int>(LogSecondValue));
        return 1;
      }
      return fail(KV_ERR_INVALID_ARGUMENT);
    case 5: {
      int v = 0;
      if (index == 0) {
        if (!command(r, kCommandTimeoutMs, "~01RP")) return 0;
        if (std::sscanf(r.from(4), "%d", &v) != 1) return fail(KV_ERR_INVALID_VALUE);
      } else if (index == 1) {
        if (!command(r, kCommandTimeoutMs, "~01DT")) return 0;
        if (std::sscanf(r.from(3), "%d", &v) != 1) return fail(KV_ERR_INVALID_VALUE);
      } else if (index == 2) {
        v = DataTimeoutOverride >= 1 ? DataTimeoutOverride
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
        put(value, static_cast<int>(std::lround(static_cast<double>(ChannelFactor[index]) * 1000.0)));
        return 1;
      }
      if (!command(r, kCommandTimeoutMs, "~01ED%02d", index)) {
        put(value, 0);
        return fail(KV_ERR_INVALID_ARGUMENT);
      }
      unsigned int bits = 0;
      if (r.size() != 11 || !r.hex(3, 8, &bits)) return 0;
      float factor;
      std::memcpy(&factor, &bits, sizeof factor);
      ChannelFactor[index] = factor;
      // Rounded, not truncated: 0.009f is a hair below 0.009 and must read as 9.
      const double scaled = static_cast<double>(factor) * 1000.0;
      put(value, std::isfinite(scaled) && std::fabs(scaled) < 2e9
                     ? static_cast<int>(std::lround(scaled))
                     : 0);
      return 1;
    }
    default:
      return fail(KV_ERR_INVALID_ARGUMENT);
  }
}

int LX3100::SetRMSParam(short rpf, short dt) {
  Reply r;
  if (!command(r, kCommandTimeoutMs, "~01RPF%01d", rpf)) return 0;
  RmsRpf = rpf;
  msleep(1);
  if (!command(r, kCommandTimeoutMs, "~01DT%05d", dt)) return 0;
  RmsDt = dt;
  return 1;
}

int LX3100::GetRMSParam(short* rpf, short* dt) {
  Reply r;
  if (!command(r, kCommandTimeoutMs, "~01RP") || r.size() != 5) return 0;
  put<short>(rpf, static_cast<short>(r.at(4) - '0'));
  msleep(1);
  int v = 0;
  if (command(r, kCommandTimeoutMs, "~01DT") && std::sscanf(r.from(3), "%d", &v) == 1)
    put<short>(dt, static_cast<short>(v));
  return 1;
}

int LX3100::SetAIAnalogTriggerParam(int mode, char* enable, float* high, float* low, int count,
                                    unsigned int pre, unsigned int post) {
  if (mode < 0 || mode > 3) return fail(KV_ERR_TRIGGER_CHANNEL);
  if (count > module.ai_count) return fail(KV_ERR_INVALID_VALUE);
  if (count > 0 && (!enable || !high || !low)) return fail(KV_ERR_INVALID_ARGUMENT);
  const float full_scale = static_cast<float>((ScanGain + 1) * 5);
  for (int i = 0; i < count; ++i) {
    if (enable[i] != 1) {
      // Modes 0 to 2 disable a channel with an unreachable window; mode 3
      // (outside the window) with the reversed pair.
      TriggerHighCode[i] = mode == 3 ? 0x8000 : 0x7FFF;
      TriggerLowCode[i] = mode == 3 ? 0x7FFF : 0x8000;
      continue;
    }
    if (!(std::fabs(high[i]) <= full_scale) || !(std::fabs(low[i]) <= full_scale))
      return fail(KV_ERR_TRIGGER_PARAM);
    unsigned short g = 0;
    short o = 0;
    ReadGainOffset(i, static_cast<int>(ScanGain), &g, &o);
    if (g == 0) return fail(KV_ERR_TRIGGER_PARAM);  // an uncalibrated channel has no codes
    auto to_code = [&](float v) {
      const float c = v * 32768.0f / full_scale;
      const float code = (c - static_cast<float>(o)) * 32767.0f / static_cast<float>(g);
      return static_cast<uint16_t>(static_cast<int32_t>(code));
    };
    TriggerHighCode[i] = to_code(high[i]);
    TriggerLowCode[i] = to_code(low[i]);
  }
  if (static_cast<uint64_t>(pre) + post != ScanSampleCount) return fail(KV_ERR_TRIGGER_SETUP);

  Reply r;
  if (!command(r, kCommandTimeoutMs, "~01XM%01dL%08uR%08u", mode, pre, post))
    return fail(KV_ERR_INVALID_HANDLE);
  AnalogTriggerMode = static_cast<uint32_t>(mode);
  PreTriggerCount = pre;
  PostTriggerCount = post;
  for (int c = 0; c < module.ai_count; ++c) {
    msleep(1);
    if (!command(r, kCommandTimeoutMs, "~01XC%01dH%04XL%04X", c, TriggerHighCode[c],
                 TriggerLowCode[c]))
      return fail(KV_ERR_INVALID_HANDLE);
  }
  return 1;
}

int LX3100::GetAIAnalogTriggerParam(int* mode, char* enable, float* high, float* low, int count,
                                    unsigned int* pre, unsigned int* post) {
  if (count > module.ai_count) {
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
  if (!run_active() && !read_analog_trigger()) return 0;
  put(mode, static_cast<int>(AnalogTriggerMode));
  put(pre, PreTriggerCount);
  put(post, PostTriggerCount);
  for (int i = 0; i < count; ++i) {
    const bool disabled = TriggerHighCode[i] == 0x7FFF && TriggerLowCode[i] == 0x8000;
    if (enable) enable[i] = disabled ? 0 : 1;
    float hv = 0.0f, lv = 0.0f;
    if (!disabled) {
      Calibrate_Hex2Float(TriggerHighCode[i], i, static_cast<int>(ScanGain), &hv);
      Calibrate_Hex2Float(TriggerLowCode[i], i, static_cast<int>(ScanGain), &lv);
    }
    if (high) high[i] = hv;
    if (low) low[i] = lv;
  }
  return 1;
}

bool LX3100::read_analog_trigger() {
  Reply r;
  unsigned long p = 0, q = 0;
  if (!command(r, kCommandTimeoutMs, "~01XM")) return fail(KV_ERR_INVALID_VALUE);
  if (!number_at(r, 7, &p) || !number_at(r, 16, &q)) return fail(KV_ERR_INVALID_VALUE);
  AnalogTriggerMode = static_cast<uint32_t>(r.at(5) - '0');
  PreTriggerCount = static_cast<uint32_t>(p);
  PostTriggerCount = static_cast<uint32_t>(q);
  for (int c = 0; c < module.ai_count; ++c) {
    msleep(1);
    unsigned int h = 0, l = 0;
    if (!command(r, kCommandTimeoutMs, "~01XC%01d", c) ||
        std::sscanf(r.from(5), "H%04XL%04X", &h, &l) != 2)
      return fail(KV_ERR_INVALID_VALUE);
    TriggerHighCode[c] = static_cast<uint16_t>(h);
    TriggerLowCode[c] = static_cast<uint16_t>(l);
  }
  return true;
}

int LX3100::GetAIAnalogTriggerIdx() {
  Reply r;
  if (!command(r, kCommandTimeoutMs, "~01XN")) return fail(KV_ERR_INVALID_VALUE);
  unsigned long v = 0;
  TriggerIndex = (r.at(0) == '!' && number_at(r, 3, &v)) ? static_cast<uint32_t>(v) : 0u;
  return 1;
}

int LX3100::SetAIDelayTriggerParam(unsigned int delay) {
  if (delay < 5 || delay > 10000000) return fail(KV_ERR_DELAY_RANGE);
  Reply r;
  if (!command(r, kCommandTimeoutMs, "~01Y%08u", delay)) return 0;
  DelayTriggerTime = delay;
  return 1;
}

int LX3100::GetAIDelayTriggerParam(unsigned int* delay) {
  if (run_active()) {
    put(delay, DelayTriggerTime);
    return 1;
  }
  Reply r;
  if (!command(r, kCommandTimeoutMs, "~01Y")) return 0;
  unsigned long v = 0;
  if (!number_at(r, 4, &v)) return fail(KV_ERR_INVALID_VALUE);
  DelayTriggerTime = static_cast<uint32_t>(v);
  put(delay, DelayTriggerTime);
  return 1;
}

int LX3100::TransmitData() {
  Reply r;
  if (!command(r, kCommandTimeoutMs, "~01E")) return 0;
  return r.at(0) == '!' ? 1 : 0;
}

}  // namespace korvel
