#include "drivers/lxr5000/lxr5000.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "core/errors.h"
#include "drivers/lx_common/rate_search.h"
#include "model/calibration.h"

namespace korvel {

namespace {

constexpr unsigned long kMaxRate = 128000;
constexpr uint32_t kMaxSampleCount = 15000000;
// Samples per second over all channels the device streams live.
constexpr uint64_t kMaxLiveTotal = 170664;
// The filters' orders: even, at most this.
constexpr int kMaxFilterOrder = 16384;
constexpr double kCodeScale = 8388607.0;  // the largest 24-bit code

}  // namespace

LXR5000::LXR5000(const char* ip, int cmd_port_arg, int data_port_arg,
                 const QLXmodule& module_arg)
    : LxDevice(ip, cmd_port_arg, data_port_arg, module_arg) {
  honours_timeout_override = false;
  ram_status_with_flags = true;
  log_text_decimals = 7;
  for (auto& f : ChannelFullScale) f.store(0.0f, std::memory_order_relaxed);
  for (auto& o : ChannelOffset) o.store(0, std::memory_order_relaxed);
}

// The worker calls this class's hooks: it must end before they go.
LXR5000::~LXR5000() { engine_.stop(); }

float LXR5000::channel_full_scale(int c) const {
  return ChannelFullScale[static_cast<std::size_t>(c)].load(std::memory_order_relaxed);
}

int32_t LXR5000::channel_offset(int c) const {
  return ChannelOffset[static_cast<std::size_t>(c)].load(std::memory_order_relaxed);
}

int LXR5000::ReadAllGainOffsetfromKV() {
  const int channels = std::min<int>(module.ai_count, static_cast<int>(ChannelFullScale.size()));
  bool last_ok = false;
  int silent = 0;
  for (int c = 0; c < channels; ++c) {
    Reply r;
    last_ok = table_read(r, kCommandTimeoutMs, &silent, "$01R1C%01d", c);
    if (silent >= 2) return 0;
    unsigned int full = 0, offset = 0;
    if (!last_ok || !r.hex(1, 4, &full) || !r.hex(5, 8, &offset)) continue;
    ChannelFullScale[static_cast<std::size_t>(c)].store(static_cast<float>(full & 0xFFFF) / 1000.0f,
                                                        std::memory_order_relaxed);
    ChannelOffset[static_cast<std::size_t>(c)].store(static_cast<int32_t>(offset),
                                                     std::memory_order_relaxed);
  }
  return last_ok ? 1 : 0;
}

int LXR5000::Calibrate_HEX(int raw, int channel, int gain, int* code) {
  if (channel < 0 || channel >= module.ai_count) return fail(KV_ERR_INPUT_CHANNEL);
  if (gain != 0) return fail(KV_ERR_GAIN_RANGE);
  int v = 0;
  // A value past the 32-bit scale leaves the code unwritten.
  if (calibrate_channel24(raw, channel_offset(channel), channel_full_scale(channel), &v) && code)
    *code = v;
  return 1;
}

int LXR5000::Calibrate_Hex2Float(int raw, int channel, int gain, float* value) {
  if (channel < 0 || channel >= module.ai_count) return fail(KV_ERR_INPUT_CHANNEL);
  if (gain != 0) return fail(KV_ERR_GAIN_RANGE);
  if (value) *value = channel24_to_volts(raw, channel_offset(channel), channel_full_scale(channel));
  return 1;
}

void LXR5000::codes_to_volts(const char* src, uint32_t n, uint32_t channels, uint32_t phase,
                             int gain, float* dst) {
  if (gain != 0 || static_cast<int>(channels) > module.ai_count ||
      channels > ChannelFullScale.size())
    return LxDevice::codes_to_volts(src, n, channels, phase, gain, dst);
  int32_t offsets[std::tuple_size_v<decltype(ChannelOffset)>];
  float full[std::tuple_size_v<decltype(ChannelFullScale)>];
  for (uint32_t c = 0; c < channels; ++c) {
    offsets[c] = channel_offset(static_cast<int>(c));
    full[c] = channel_full_scale(static_cast<int>(c));
  }
  channel24_codes_to_volts(src, n, channels, phase, offsets, full, dst);
}

int LXR5000::check_single_point(int gain) {
  if (gain != 0) return fail(KV_ERR_GAIN_RANGE);
  return busy() ? 0 : 1;
}

int LXR5000::ReadAIALLHEXRAW(int gain, int* raw, int count) {
  if (count < 1 || count > module.ai_count) return fail(KV_ERR_INPUT_CHANNEL);
  if (!check_single_point(gain)) return 0;
  return read_raw_codes("#01R", 8, raw, count);
}

int LXR5000::ReadGainOffset(int channel, int gain, unsigned short* gain_factor, short* offset) {
  return MODEL::ReadGainOffset(channel, gain, gain_factor, offset);
}
int LXR5000::ReadDIO(unsigned int* di, unsigned int* do_value) { return MODEL::ReadDIO(di, do_value); }
int LXR5000::WriteDO(unsigned int value) { return MODEL::WriteDO(value); }
int LXR5000::WriteDOBit(int bit, bool on) { return MODEL::WriteDOBit(bit, on); }
int LXR5000::SetConfig(int item, int index, int value) { return MODEL::SetConfig(item, index, value); }
int LXR5000::GetConfig(int item, int index, int* value) { return MODEL::GetConfig(item, index, value); }

int LXR5000::SampleRate_FloattoCommand_MIN_FMOD(int rate, char* text) {
  const RateDivisors r = nearest_rate_as_met(rate, RateLoop::DOuter);
  rate_command(r, text);
  return rate <= 20 ? 20 : static_cast<int>(divided_rate(r.a, r.b, r.d));
}

int LXR5000::SampleRate_FloattoCommand_MAX_FMOD(int rate, char* text) {
  const RateDivisors r = nearest_rate_as_met(rate, RateLoop::AOuter);
  rate_command(r, text);
  return rate <= 20 ? 20 : static_cast<int>(divided_rate(r.a, r.b, r.d));
}

int LXR5000::SetScanParam(short ch_count, short gain, short trig_mode, int sample_rate,
                          unsigned int sample_count, short transfer_mode, short option) {
  if (ch_count < 1 || ch_count > module.ai_count) return fail(KV_ERR_INPUT_CHANNEL);
  if (gain != 0) return fail(KV_ERR_GAIN_RANGE);
  if (sample_rate < 1 || static_cast<unsigned long>(sample_rate) > kMaxRate)
    return fail(KV_ERR_VALUE_RANGE);
  if (sample_count > kMaxSampleCount) return fail(KV_ERR_VALUE_RANGE);
  char rate[24];
  const int achieved = SampleRate_FloattoCommand_MIN_FMOD(sample_rate, rate);
  const uint64_t total = static_cast<uint64_t>(achieved) * static_cast<uint64_t>(ch_count);
  if (sample_count == 0 && trig_mode == 0 && total > kMaxLiveTotal) return fail(KV_ERR_SCAN_MODE);
  char second[48];
  if (trig_mode == 0 || trig_mode == 6) {
    const int digit = trig_mode == 6 ? 2 : (transfer_mode == 0 && total > kMaxLiveTotal ? 1 : 0);
    std::snprintf(second, sizeof second, "~01PC%dT%dM%d", ch_count, digit, transfer_mode);
  } else if (trig_mode == 8) {
    std::snprintf(second, sizeof second, "%s", rate);  // mode 8 repeats the rate command
  } else {
    return fail(KV_ERR_INTERRUPT_MODE);
  }
  // The rate goes first on this device; the stored rate is the one achieved.
  return send_scan_commands(rate, ch_count, gain, trig_mode, transfer_mode, second,
                            static_cast<uint32_t>(achieved), sample_count, option);
}

LxDevice::ScanReply LXR5000::parse_scan_reply(const Reply& r) const {
  auto digit = [&](std::size_t pos) {
    const char c = r.at(pos);
    return c >= '0' && c <= '9' ? c - '0' : -1;
  };
  return ScanReply{0, digit(4), digit(6), digit(8)};  // one range: the gain is always 0
}

bool LXR5000::parse_rate(const Reply& r, unsigned long* rate) const {
  return parse_divided_rate(r, rate);
}

unsigned long LXR5000::max_rate() const { return kMaxRate; }

float LXR5000::trigger_full_scale(int channel) const { return channel_full_scale(channel); }

bool LXR5000::trigger_code(int channel, float level, uint32_t* code) {
  const float full = channel_full_scale(channel);
  if (!(full > 0.0f)) return fail(KV_ERR_TRIGGER_PARAM);  // an uncalibrated channel has no codes
  const int32_t offset = channel_offset(channel);
  const float v = static_cast<float>(0x7FFFFF - static_cast<int64_t>(offset)) * level / full +
                  static_cast<float>(offset);
  const float clamped = std::fmax(-8388608.0f, std::fmin(8388607.0f, std::trunc(v)));
  *code = static_cast<uint32_t>(static_cast<int32_t>(clamped)) & 0xFFFFFFu;
  return true;
}

void LXR5000::log_channel_lines(std::vector<std::string>& lines, int channels, int) {
  char line[64];
  for (int c = 0; c < channels; ++c) {
    // Rounded, so that the reader's range / 1000 is this driver's full scale.
    std::snprintf(line, sizeof line, "CH%d,Range,%lu, Offset,%d", c,
                  static_cast<unsigned long>(
                      std::lround(static_cast<double>(channel_full_scale(c)) * 1000.0)),
                  static_cast<int>(channel_offset(c)));
    lines.emplace_back(line);
  }
}

bool LXR5000::needs_ram_phase(const ScanSettings& s) const {
  return static_cast<uint64_t>(s.rate) * s.channels > kMaxLiveTotal || s.trigger_mode == 6;
}

bool LXR5000::limits_receive(const ScanSettings& s, RunKind) const {
  return s.trigger_mode != 8;  // mode 8 counts blocks, not samples
}

// Software filters.

int LXR5000::Init_Software_Filter(int channel, int order, int sample_rate) {
  if (channel < 0 || channel >= module.ai_count) return 1;
  if (order < 0 || order % 2 != 0 || order > kMaxFilterOrder) return 1;
  std::lock_guard<std::mutex> lock(filter_mu_);
  ChannelFilter[static_cast<std::size_t>(channel)].init(order, static_cast<float>(sample_rate));
  FilterPhase = 0;
  return 1;
}

namespace {

template <class Design>
int set_filter(std::mutex& mu, Filter_cls* filters, int channels, int channel, int enable,
               Design design) {
  if (channel < 0 || channel >= channels) return 1;
  std::lock_guard<std::mutex> lock(mu);
  Filter_cls& f = filters[channel];
  f.enable = enable;
  if (enable != 0) design(f);
  return 1;
}

}  // namespace

int LXR5000::Set_LowPassFilter(int channel, int enable, float fc) {
  return set_filter(filter_mu_, ChannelFilter.data(), module.ai_count, channel, enable,
                    [&](Filter_cls& f) { f.SetLowPassFilter(fc); });
}

int LXR5000::Set_HighPassFilter(int channel, int enable, float fc) {
  return set_filter(filter_mu_, ChannelFilter.data(), module.ai_count, channel, enable,
                    [&](Filter_cls& f) { f.SetHighPassFilter(fc); });
}

int LXR5000::Set_BandPassFilter(int channel, int enable, float f1, float f2) {
  return set_filter(filter_mu_, ChannelFilter.data(), module.ai_count, channel, enable,
                    [&](Filter_cls& f) { f.SetBandPassFilter(f1, f2); });
}

int LXR5000::Set_BandStopFilter(int channel, int enable, float f1, float f2) {
  return set_filter(filter_mu_, ChannelFilter.data(), module.ai_count, channel, enable,
                    [&](Filter_cls& f) { f.SetBandStopFilter(f1, f2); });
}

int LXR5000::AD_ReadData(char* dst, unsigned int count, int unit) {
  if (unit <= 0 || dst == nullptr) return 0;
  RingPlace place;
  const uint32_t n = engine_.ring().read(dst, count, static_cast<uint32_t>(unit), &place);
  if (n > 0) {
    std::lock_guard<std::mutex> lock(filter_mu_);
    FilterChannels = std::max<uint32_t>(1, place.unit / module.sample_bytes);
    FilterPhase = place.offset / module.sample_bytes;
  }
  return static_cast<int>(n);
}

int LXR5000::AD_ReadData_float(float* dst, unsigned int count, int) {
  RingPlace first;
  const int n = read_volts(dst, count, &first);
  if (n > 0) {
    std::lock_guard<std::mutex> lock(filter_mu_);
    FilterChannels = std::max<uint32_t>(1, first.unit / module.sample_bytes);
    FilterPhase = first.offset / module.sample_bytes;
  }
  return n;
}

template <class Run>
void LXR5000::filter_block(unsigned int count, Run run) {
  const uint32_t channels = FilterChannels, phase = FilterPhase % channels;
  filter_ptrs_.assign(channels, nullptr);
  for (uint32_t c = 0; c < channels && c < ChannelFilter.size(); ++c)
    filter_ptrs_[c] = &ChannelFilter[c];
  run(filter_ptrs_.data(), channels, phase);
  FilterPhase = static_cast<uint32_t>((phase + static_cast<uint64_t>(count)) % channels);
}

int LXR5000::Filter_Data(unsigned int count, float* values) {
  if (values == nullptr) return 1;
  std::lock_guard<std::mutex> lock(filter_mu_);
  filter_block(count, [&](Filter_cls* const* filters, uint32_t channels, uint32_t phase) {
    Filter_cls::run_interleaved(filters, channels, values, count, phase);
  });
  return 1;
}

int LXR5000::Filter_DataHEX(unsigned int count, unsigned int* codes) {
  if (codes == nullptr) return 1;
  std::lock_guard<std::mutex> lock(filter_mu_);
  // Codes are signed 24-bit values, as the calibration reads them: filtered
  // as code / 8388607 and written back as 24-bit two's complement. Only the
  // filtered channels' values go through floats; the others stay as they are.
  filter_block(count, [&](Filter_cls* const* filters, uint32_t channels, uint32_t phase) {
    filter_scratch_.resize(count);
    float* scratch = filter_scratch_.data();
    auto each_filtered = [&](auto visit) {
      for (uint32_t c = 0; c < channels; ++c) {
        const Filter_cls* f = filters[c];
        if (f == nullptr || f->enable != 1 || f->kind() < 0) continue;
        for (std::size_t i = (c + channels - phase) % channels; i < count; i += channels) visit(i);
      }
    };
    each_filtered([&](std::size_t i) {
      scratch[i] = static_cast<float>(
          static_cast<double>(sign_extend24(static_cast<int>(codes[i]))) / kCodeScale);
    });
    Filter_cls::run_interleaved(filters, channels, scratch, count, phase);
    each_filtered([&](std::size_t i) {
      const double v = std::trunc(static_cast<double>(scratch[i]) * kCodeScale);
      const double c = std::fmax(-8388608.0, std::fmin(8388607.0, v));
      codes[i] = static_cast<uint32_t>(static_cast<int32_t>(c)) & 0xFFFFFFu;
    });
  });
  return 1;
}

}  // namespace korvel
