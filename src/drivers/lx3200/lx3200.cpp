#include "drivers/lx3200/lx3200.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/errors.h"
#include "drivers/lx_common/rate_search.h"
#include "model/calibration.h"

namespace korvel {

namespace {

constexpr unsigned long kMaxRate = 128000;
constexpr uint64_t kMaxLiveTotal = 256000;  // samples per second over all channels
constexpr uint32_t kMaxSampleCount = 30000000;
// Per channel, the device streams at most this rate live.
constexpr uint64_t kLiveRatePerChannel = 64000;

}  // namespace

LX3200::LX3200(const char* ip, int cmd_port_arg, int data_port_arg, const QLXmodule& module_arg)
    : LxDevice(ip, cmd_port_arg, data_port_arg, module_arg) {
  do_range_code = KV_ERR_VALUE_RANGE;
  honours_timeout_override = false;
  ram_status_with_flags = true;
  log_text_decimals = 7;
  AOGainTable.resize(module.ao_count, module.ao_range_count);
  AOOffsetTable.resize(module.ao_count, module.ao_range_count);
  for (auto& f : RangeFullScale) f.store(0.0f, std::memory_order_relaxed);
}

// The worker calls this class's hooks: it must end before they go.
LX3200::~LX3200() { engine_.stop(); }

float LX3200::range_full_scale(int gain) const {
  return RangeFullScale[static_cast<std::size_t>(gain)].load(std::memory_order_relaxed);
}

int LX3200::ReadAllGainOffsetfromKV() {
  const int inputs = module.ai_count;
  const int ranges = std::min<int>(module.ai_gain_count, static_cast<int>(RangeFullScale.size()));
  int silent = 0;
  for (int c = 0; c < inputs; ++c) {
    for (int g = 0; g < ranges; ++g) {
      Reply r;
      const bool ok = table_read(r, kCommandTimeoutMs, &silent, "$01RI1C%01dG%01d", c, g);
      if (silent >= 2) return 0;
      unsigned int gain = 0, offset = 0, full = 0;
      if (!ok || !r.hex(1, 4, &gain) || !r.hex(5, 4, &offset) || !r.hex(9, 4, &full)) continue;
      GainTable.set(c, g, static_cast<uint16_t>(gain));
      OffsetTable.set(c, g, static_cast<int16_t>(static_cast<uint16_t>(offset)));
      // One full scale per range: the last channel's report is kept.
      RangeFullScale[static_cast<std::size_t>(g)].store(static_cast<float>(full) / 1000.0f,
                                                        std::memory_order_relaxed);
    }
  }
  int empty = 0;
  for (int c = 0; c < inputs; ++c)
    for (int g = 0; g < ranges; ++g)
      if (GainTable.get(c, g) == 0 && OffsetTable.get(c, g) == 0) ++empty;
  bool last_ok = false;
  for (int a = 0; a < module.ao_count; ++a) {
    for (int g = 0; g < module.ao_range_count; ++g) {
      Reply r;
      last_ok = table_read(r, kCommandTimeoutMs, &silent, "$01RO1C%01dG%01d", a, g);
      if (silent >= 2) return 0;
      unsigned int gain = 0, offset = 0;
      if (!last_ok || !r.hex(1, 4, &gain) || !r.hex(5, 4, &offset)) continue;
      AOGainTable.set(a, g, static_cast<uint16_t>(gain));
      AOOffsetTable.set(a, g, static_cast<int16_t>(static_cast<uint16_t>(offset)));
    }
  }
  // A device whose input table is mostly blank has not been calibrated.
  if (empty > inputs / 2) return 0;
  return last_ok ? 1 : 0;
}

int LX3200::ReadGainOffset(int channel, int gain, unsigned short* gain_factor, short* offset) {
  const int inputs = module.ai_count;
  if (channel < 0 || channel >= inputs + module.ao_count) return fail(KV_ERR_INPUT_CHANNEL);
  if (channel < inputs) {
    if (gain < 0 || gain >= module.ai_gain_count) return fail(KV_ERR_GAIN_RANGE);
    put<unsigned short>(gain_factor, GainTable.get(channel, gain));
    put<short>(offset, OffsetTable.get(channel, gain));
    return 1;
  }
  if (gain < 0 || gain >= module.ao_range_count) return fail(KV_ERR_GAIN_RANGE);
  put<unsigned short>(gain_factor, AOGainTable.get(channel - inputs, gain));
  put<short>(offset, AOOffsetTable.get(channel - inputs, gain));
  return 1;
}

int LX3200::Calibrate_HEX(int raw, int channel, int gain, int* code) {
  if (channel < 0 || channel >= module.ai_count) return fail(KV_ERR_INPUT_CHANNEL);
  if (gain < 0 || gain >= module.ai_gain_count) return fail(KV_ERR_GAIN_RANGE);
  int v = 0;
  const bool written = raw >= 0 && raw <= 0xFFFFFF;
  calibrate24(raw, GainTable.get(channel, gain), OffsetTable.get(channel, gain),
              range_full_scale(gain), kRange24[gain], &v);
  if (written) put(code, v);
  return 1;
}

int LX3200::Calibrate_Hex2Float(int raw, int channel, int gain, float* value) {
  if (channel < 0 || channel >= module.ai_count) return fail(KV_ERR_INPUT_CHANNEL);
  if (gain < 0 || gain >= module.ai_gain_count) return fail(KV_ERR_GAIN_RANGE);
  int code = 0;
  Calibrate_HEX(raw, channel, gain, &code);
  put(value, code24_to_volts(code, kRange24[gain]));
  return 1;
}

void LX3200::codes_to_volts(const char* src, uint32_t n, uint32_t channels, uint32_t phase,
                            int gain, float* dst) {
  ChannelCalibration cal;
  if (gain >= 10 ||
      !cal.load(GainTable, OffsetTable, channels, gain, module.ai_count, module.ai_gain_count))
    return LxDevice::codes_to_volts(src, n, channels, phase, gain, dst);
  const float full = range_full_scale(gain), nominal = kRange24[gain];
  uint32_t c = phase % channels;
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t raw;
    std::memcpy(&raw, src + 4 * i, 4);
    // A code outside 24 bits leaves the code at 0, as Calibrate_HEX does.
    int code = 0;
    calibrate24(static_cast<int>(raw), cal.gains[c], cal.offsets[c], full, nominal, &code);
    dst[i] = code24_to_volts(code, nominal);
    if (++c == channels) c = 0;
  }
}

int LX3200::ReadAIALLHEXRAW(int gain, int* raw, int count) {
  if (count < 1 || count > module.ai_count) return fail(KV_ERR_INPUT_CHANNEL);
  char cmd[16];
  std::snprintf(cmd, sizeof cmd, "#01H%01d", gain);
  return read_raw_codes(cmd, 8, raw, count);
}

int LX3200::ao_checks(int channel, int range) {
  if (module.ao_count != 0 && (channel < 0 || channel >= module.ao_count))
    return fail(KV_ERR_INPUT_CHANNEL);
  if (range < 0 || range >= module.ao_range_count) return fail(KV_ERR_GAIN_RANGE);
  if (busy()) return 0;
  return 1;
}

int LX3200::WriteAO(int channel, int range, float value) {
  if (!ao_checks(channel, range)) return 0;
  Reply r;
  if (!command(r, kCommandTimeoutMs, "#01%01d%01d%+07.3f", channel, range,
               static_cast<double>(value)))
    return fail(KV_ERR_RESPONSE);
  return 1;
}

int LX3200::WriteAOHEX(int channel, int range, int code) {
  if (!ao_checks(channel, range)) return 0;
  Reply r;
  if (!command(r, kCommandTimeoutMs, "#01%01d%01d%04X", channel, range,
               static_cast<unsigned int>(code) & 0xFFFFu))
    return fail(KV_ERR_RESPONSE);
  return 1;
}

bool LX3200::encoder_ok(int channel) {
  if (channel != 0) return fail(KV_ERR_INPUT_CHANNEL);
  return !busy();
}

int LX3200::GetEncoderMode(int channel, int* s1, int* s2, int* s3) {
  put(s1, 0);
  put(s2, 0);
  put(s3, 0);
  if (!encoder_ok(channel)) return 0;
  Reply r;
  if (!command(r, kCommandTimeoutMs, "$01D")) return fail(KV_ERR_RESPONSE);
  unsigned int b = 0, a = 0, c = 0;
  // Settings that are not digits are not settings: nothing is stored.
  if (r.at(0) != '>' || !r.dec(3, 1, &b) || !r.dec(4, 1, &a) || !r.dec(5, 1, &c))
    return fail(KV_ERR_INVALID_VALUE);
  const int v1 = static_cast<int>(a) - 1, v2 = static_cast<int>(b), v3 = static_cast<int>(c);
  EncoderModeCache[0] = v1;
  EncoderModeCache[1] = v2;
  EncoderModeCache[2] = v3;
  put(s1, v1);
  put(s2, v2);
  put(s3, v3);
  return 1;
}

int LX3200::send_encoder_mode(int s1, int s2, int s3) {
  Reply r;
  if (!command(r, kCommandTimeoutMs, "$01D%01d%01d%01d", s2, s1 + 1, s3))
    return fail(KV_ERR_RESPONSE);
  return r.at(0) == '>' ? 1 : fail(KV_ERR_INVALID_VALUE);
}

int LX3200::SetEncoderMode(int channel, int s1, int s2, int s3) {
  if (channel != 0) return fail(KV_ERR_INPUT_CHANNEL);
  if (s1 < 0 || s1 > 2 || s2 < 0 || s2 > 8 || s3 < 0 || s3 > 3) return fail(KV_ERR_VALUE_RANGE);
  if (busy()) return 0;
  if (!send_encoder_mode(s1, s2, s3)) return 0;
  EncoderModeCache[0] = s1;
  EncoderModeCache[1] = s2;
  EncoderModeCache[2] = s3;
  return 1;
}

int LX3200::ReadEncoder(int channel, unsigned int* count) {
  put(count, 0u);
  if (!encoder_ok(channel)) return 0;
  Reply r;
  if (!command(r, kCommandTimeoutMs, "#01N")) return fail(KV_ERR_RESPONSE);
  unsigned int v = 0;
  if (r.at(0) != '>' || !r.hex(1, 8, &v)) return fail(KV_ERR_INVALID_VALUE);
  put(count, v);
  return 1;
}

int LX3200::ClearEncoder(int channel) {
  if (!encoder_ok(channel)) return 0;
  return send_encoder_mode(EncoderModeCache[0], EncoderModeCache[1], EncoderModeCache[2]);
}

int LX3200::SampleRate_FloattoCommand_MIN_FMOD(int rate, char* text) {
  return rate_command(nearest_rate(rate, RateLoop::DOuter), text);
}

int LX3200::SampleRate_FloattoCommand_MAX_FMOD(int rate, char* text) {
  return rate_command(nearest_rate(rate, RateLoop::AOuter), text);
}

int LX3200::SetScanParam(short ch_count, short gain, short trig_mode, int sample_rate,
                         unsigned int sample_count, short transfer_mode, short option) {
  if (ch_count < 1 || ch_count > module.ai_count) return fail(KV_ERR_INPUT_CHANNEL);
  if (gain < 0 || gain >= module.ai_gain_count) return fail(KV_ERR_GAIN_RANGE);
  if (sample_rate < 1 || static_cast<unsigned long>(sample_rate) > kMaxRate)
    return fail(KV_ERR_VALUE_RANGE);
  const uint64_t total = static_cast<uint64_t>(sample_rate) * static_cast<uint64_t>(ch_count);
  if (sample_count == 0 && trig_mode == 0 && total > kMaxLiveTotal) return fail(KV_ERR_SCAN_MODE);
  if (sample_count > kMaxSampleCount) return fail(KV_ERR_VALUE_RANGE);
  char first[48] = "";  // mode 8 sends an empty line
  if (trig_mode == 0 || trig_mode == 6) {
    const int digit = trig_mode == 6 ? 2 : (transfer_mode == 0 && total > kMaxLiveTotal ? 1 : 0);
    std::snprintf(first, sizeof first, "~01PG%dC%dT%dM%d", gain, ch_count, digit, transfer_mode);
  } else if (trig_mode != 8) {
    return fail(KV_ERR_INTERRUPT_MODE);
  }
  char rate[24];
  SampleRate_FloattoCommand_MAX_FMOD(sample_rate, rate);
  return send_scan_commands(first, ch_count, gain, trig_mode, transfer_mode, rate,
                            static_cast<uint32_t>(sample_rate), sample_count, option);
}

int LX3200::trigger_mode_of_digit(int digit) const { return ram_trigger_mode(digit); }

bool LX3200::parse_rate(const Reply& r, unsigned long* rate) const {
  return parse_divided_rate(r, rate);
}

unsigned long LX3200::max_rate() const { return kMaxRate; }

bool LX3200::needs_ram_phase(const ScanSettings& s) const {
  return static_cast<uint64_t>(s.rate) * s.channels > module.ai_count * kLiveRatePerChannel ||
         s.trigger_mode == 6;
}

bool LX3200::limits_receive(const ScanSettings& s, RunKind) const {
  return s.trigger_mode != 8;  // mode 8 counts blocks, not samples
}

float LX3200::trigger_full_scale(int) const {
  const int g = static_cast<int>(ScanGain) < module.ai_gain_count ? static_cast<int>(ScanGain) : 0;
  const float f = range_full_scale(g);
  return f > 0.0f ? f : kRange24[g];
}

bool LX3200::trigger_code(int channel, float level, uint32_t* code) {
  const int g = static_cast<int>(ScanGain);
  const double gain = GainTable.get(channel, g);
  if (gain == 0.0) return fail(KV_ERR_TRIGGER_PARAM);  // an uncalibrated channel has no codes
  const double v = (static_cast<double>(level) * (2147483648.0 / trigger_full_scale(channel)) -
                    OffsetTable.get(channel, g)) *
                   (128.0 / gain);
  const double clamped = std::fmax(-8388608.0, std::fmin(8388607.0, std::trunc(v)));
  *code = static_cast<uint32_t>(static_cast<int32_t>(clamped)) & 0xFFFFFFu;
  return true;
}

void LX3200::log_lines_after_gain(std::vector<std::string>& lines) {
  // Rounded, so that the reader's range / 1000 is this driver's full scale.
  const int g = static_cast<int>(ScanGain) < module.ai_gain_count ? static_cast<int>(ScanGain) : 0;
  char line[40];
  std::snprintf(line, sizeof line, "Range,%lu",
                static_cast<unsigned long>(std::lround(static_cast<double>(range_full_scale(g)) * 1000.0)));
  lines.emplace_back(line);
}

}  // namespace korvel
