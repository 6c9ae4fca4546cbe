#include "drivers/mc610s/mc610s.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/errors.h"
#include "net/clock.h"

namespace korvel {

namespace {

constexpr int kChannelsPerSlot = 8;
constexpr int kGains = 2;
constexpr int kMaxRate = 200000;
constexpr uint32_t kOff = 32767, kOn = 32768;  // the rails of a disabled channel
// Receives of 7300 bytes; fewer than 1460 samples due are taken exactly.
constexpr uint32_t kBlockBytes = 7300;
constexpr uint32_t kTailSamples = 1459;

}  // namespace

MC610s::MC610s(const char* ip, int cmd_port_arg, int data_port_arg, const QLXmodule& module_arg)
    : McDevice(ip, cmd_port_arg, data_port_arg, module_arg) {
  ScanSampleRate = 100;
}

bool MC610s::parse_slots(const Reply& r, std::vector<Slot>* slots) const {
  const int count = r.digit(3);
  if (count < 1 || count > kMaxSlots) return false;
  std::vector<Slot> out;
  for (int p = 0; p < kMaxSlots; ++p) {
    if (r.at(4 + static_cast<std::size_t>(p)) != '1') continue;
    Slot s;
    s.number = p;
    s.capacity = kChannelsPerSlot;
    s.module_byte = kChannelsPerSlot;
    out.push_back(s);
  }
  // A count the presence characters do not bear out would leave ordinals
  // without a slot behind them.
  if (static_cast<int>(out.size()) != count) return false;
  *slots = std::move(out);
  return true;
}

bool MC610s::after_connect() {
  const int total = module.ai_count;
  GainTable.resize(total, kGains);
  OffsetTable.resize(total, kGains);
  // Until a trigger is set, every channel reads back as having none.
  TriggerHighCode.assign(static_cast<std::size_t>(total), kOff);
  TriggerLowCode.assign(static_cast<std::size_t>(total), kOn);
  ChannelFactor.assign(static_cast<std::size_t>(total), 0.0f);
  SetWinSize(32768);
  if (!ReadAllGainOffsetfromKV()) {
    set_last_error(KV_ERR_MODULE_NOT_EXIST);
    return false;
  }
  return true;
}

int MC610s::ReadAllGainOffsetfromKV() {
  for (int k = 0; k < SlotCount; ++k) {
    for (int g = 0; g < kGains; ++g) {
      Reply r;
      if (!command(r, "$01RS%1d%1dG%1d", SlotTable[k].number, 0, g)) return 0;
      for (int c = 0; c < kChannelsPerSlot; ++c) {
        unsigned int gain = 0, offset = 0;
        if (!r.hex(1 + 8 * static_cast<std::size_t>(c), 4, &gain) ||
            !r.hex(5 + 8 * static_cast<std::size_t>(c), 4, &offset))
          return fail(KV_ERR_INVALID_VALUE);
        const int ch = k * kChannelsPerSlot + c;
        GainTable.set(ch, g, static_cast<uint16_t>(gain));
        OffsetTable.set(ch, g, static_cast<int16_t>(static_cast<uint16_t>(offset)));
      }
    }
  }
  return 1;
}

int MC610s::GetFPGAVersion(char* text) {
  if (text) text[0] = '\0';
  Reply r;
  if (!command(r, "$01FS8")) return 0;
  unsigned int v[8] = {};
  if (std::sscanf(r.text, ">%04X,%04X,%04X,%04X,%04X,%04X,%04X,%04X", &v[0], &v[1], &v[2], &v[3],
                  &v[4], &v[5], &v[6], &v[7]) != 8)
    return fail(KV_ERR_INVALID_VALUE);
  if (text)
    std::snprintf(text, 64, "V%X,V%X,V%X,V%X,V%X,V%X,V%X,V%X", v[0], v[1], v[2], v[3], v[4], v[5],
                  v[6], v[7]);
  return 1;
}

int MC610s::ConfigTrigOut(int a, int b) {
  Reply r;
  command(r, "~01MS%01d", a);
  command(r, "~01ME%01d", b);
  return 1;
}

int MC610s::TransmitData() {
  Reply r;
  return command(r, "~01E") && r.at(0) == '!' ? 1 : 0;
}

int MC610s::StartMagicScan() {
  char order[8];
  std::snprintf(order, sizeof order, "~01S%01d", StartArgument);
  return run_order(order);
}

int MC610s::GetKVRAMBufferStatus(int slot, unsigned int* count, unsigned int* status) {
  if (slot < 0 || slot >= SlotCount) return fail(KV_ERR_INPUT_CHANNEL);
  Reply r;
  if (!command(r, "~01NS%01d", SlotTable[slot].number) || r.at(0) != '!') return 0;
  unsigned int st = 0;
  unsigned long n = 0;
  char digits[11] = {};
  std::strncpy(digits, r.from(5), 10);
  if (!r.dec(3, 2, &st) || std::sscanf(digits, "%lu", &n) != 1) return fail(KV_ERR_INVALID_VALUE);
  put(status, st);
  put(count, static_cast<unsigned int>(n));
  return 1;
}

// Calibration.

int MC610s::Calibrate_HEX(int raw, int channel, int gain, int* out) {
  if (channel < 0 || channel >= module.ai_count) return fail(KV_ERR_INPUT_CHANNEL);
  if (gain < 0 || gain >= module.ai_gain_count) return fail(KV_ERR_GAIN_RANGE);
  put(out, calibrate16(raw, GainTable.get(channel, gain), OffsetTable.get(channel, gain)));
  return 1;
}

int MC610s::Calibrate_Hex2Float(int raw, int channel, int gain, float* out) {
  int code = 0;
  if (!Calibrate_HEX(raw, channel, gain, &code)) return 0;
  put(out, code16_to_volts(code, gain));
  return 1;
}

int MC610s::ReadGainOffset(int channel, int gain, unsigned short* gain_factor, short* offset) {
  unsigned int code = 0;
  if (channel < 0 || channel >= module.ai_count) code = KV_ERR_INPUT_CHANNEL;
  else if (gain < 0 || gain >= module.ai_gain_count) code = KV_ERR_GAIN_RANGE;
  if (code != 0) {
    put<unsigned short>(gain_factor, 0);
    put<short>(offset, 0);
    return fail(code);
  }
  put<unsigned short>(gain_factor, GainTable.get(channel, gain));
  put<short>(offset, OffsetTable.get(channel, gain));
  return 1;
}

// Scan configuration.

bool MC610s::check_scan(short, short gain, short trig_mode, int rate, unsigned count, short,
                        uint16_t* mode) {
  if (gain < 0 || gain > 1) return fail(KV_ERR_GAIN_RANGE);
  if (trig_mode < 0 || trig_mode > 5) return fail(KV_ERR_INTERRUPT_MODE);
  if ((trig_mode == 2 || trig_mode == 3) && count == 0) return fail(KV_ERR_SCAN_MODE);
  // A rate of 0 would leave the data time-out undefined.
  if (rate < 1 || rate > kMaxRate) return fail(KV_ERR_VALUE_RANGE);
  *mode = static_cast<uint16_t>(trig_mode);
  return true;
}

bool MC610s::send_slot_param(const Slot& s, int) {
  Reply r;
  return command(r, "~01PS%1dG%1dC%1dT%1dM%1d", s.number, static_cast<int>(ScanGain),
                 static_cast<int>(s.channels), static_cast<int>(ScanTriggerMode),
                 static_cast<int>(ScanTransferMode));
}

bool MC610s::send_rate(uint32_t rate) {
  Reply r;
  return command(r, "~01RS%01d%06ld", 8, static_cast<long>(rate));
}

bool MC610s::send_slot_target(const Slot& s, int) {
  Reply r;
  return command(r, "~01TS%01d%010lu", s.number, static_cast<unsigned long>(s.target));
}

bool MC610s::read_slot_param(const Slot& s, int, SlotParam* p) {
  Reply r;
  if (!command(r, "~01PS%01d", s.number)) return false;
  *p = SlotParam{r.digit(4), r.digit(6), r.digit(8), r.digit(10)};
  return true;
}

bool MC610s::read_rate(unsigned long* rate) {
  Reply r;
  if (!command(r, "~01RS%01d", SlotTable[0].number)) return false;
  return r.number(3, rate) ? true : fail(KV_ERR_INVALID_VALUE);
}

bool MC610s::read_slot_target(const Slot& s, int, unsigned long* target) {
  Reply r;
  if (!command(r, "~01TS%01d", s.number)) return false;
  return r.number(3, target) ? true : fail(KV_ERR_INVALID_VALUE);
}

bool MC610s::read_device_timing(int index, int* value) {
  Reply r;
  if (!command(r, index == 0 ? "~01RP" : "~01DT")) return false;
  return std::sscanf(r.from(index == 0 ? 4 : 3), "%d", value) == 1 ? true
                                                                   : fail(KV_ERR_INVALID_VALUE);
}

int MC610s::set_channel_factor(int channel, int value) {
  if (channel < 0 || channel >= module.ai_count) return fail(KV_ERR_INVALID_ARGUMENT);
  const float factor = channel_factor(value);
  Reply r;
  if (!command(r, "~01EDS%1dC%1dG%08X", channel / kChannelsPerSlot, channel % kChannelsPerSlot,
               float_bits(factor)))
    return 0;
  if (r.size() != 3) return 0;
  ChannelFactor[static_cast<std::size_t>(channel)] = factor;
  return 1;
}

int MC610s::get_channel_factor(int channel, int* value) {
  if (channel < 0 || channel >= module.ai_count) return fail(KV_ERR_INVALID_ARGUMENT);
  if (run_active()) {
    put(value, channel_factor_thousandths(ChannelFactor[static_cast<std::size_t>(channel)]));
    return 1;
  }
  Reply r;
  if (!command(r, "~01EDS%1dC%1d", channel / kChannelsPerSlot, channel % kChannelsPerSlot))
    return 0;
  unsigned int bits = 0;
  if (r.size() != 11 || !r.hex(3, 8, &bits)) return 0;
  const float factor = bits_float(bits);
  ChannelFactor[static_cast<std::size_t>(channel)] = factor;
  put(value, channel_factor_thousandths(factor));
  return 1;
}

// Single-point reads: the device converts to volts itself.

bool MC610s::read_slot_volts(int ordinal, int gain, float* values) {
  Reply r;
  if (!command(r, "#01S%01dG%01d", SlotTable[ordinal].number, gain)) return fail(KV_ERR_RESPONSE);
  for (int c = 0; c < kChannelsPerSlot; ++c) {
    const std::size_t at = 1 + 7 * static_cast<std::size_t>(c);
    if (r.size() < at + 7) return fail(KV_ERR_RESPONSE);
    char field[8] = {};
    std::memcpy(field, r.text + at, 7);
    if (std::sscanf(field, "%f", &values[c]) != 1) return fail(KV_ERR_RESPONSE);
  }
  return true;
}

bool MC610s::read_slot_codes(int ordinal, int gain, int* codes) {
  Reply r;
  if (!command(r, "#01HS%01dG%01d", SlotTable[ordinal].number, gain)) return fail(KV_ERR_RESPONSE);
  for (int c = 0; c < kChannelsPerSlot; ++c) {
    unsigned int v = 0;
    if (!r.hex(1 + 4 * static_cast<std::size_t>(c), 4, &v)) return fail(KV_ERR_RESPONSE);
    codes[c] = static_cast<int16_t>(static_cast<uint16_t>(v));
  }
  return true;
}

// Acquisition.

uint32_t MC610s::data_timeout_base() const {
  // About 2.5 times the time the ring takes to fill.
  const double per_second = static_cast<double>(ScanSampleRate) * ScanChannelCount;
  const double base = per_second > 0 ? ADBufferSize * 2.5 / per_second : 1.0;
  const uint32_t b = base >= 4.0e9 ? UINT32_MAX : static_cast<uint32_t>(base);
  return b == 0 ? 1 : b;
}

ReceivePlan MC610s::receive_plan(const ScanSettings&, RunKind, uint32_t) const {
  return ReceivePlan{kBlockBytes, kTailSamples};
}

bool MC610s::data_timeout_applies(const ScanSettings& s, RunKind, uint32_t received) const {
  switch (s.trigger_mode) {
    case 2:
    case 3:
      return received != 0;  // the trigger may take its time
    case 4:
    case 5:
      return false;
    default:
      return true;
  }
}

std::optional<bool> MC610s::count_complete(const ScanSettings& s, RunKind, uint32_t received) {
  switch (s.trigger_mode) {
    case 2:
    case 3:
      // The device stops at the end of the trigger's window.
      return received >= s.sample_count ||
             (received != 0 && uint64_t{received} >= uint64_t{TriggerIndex} + PostTriggerCount);
    case 4:
    case 5:
      return false;
    default:
      return received >= s.sample_count;
  }
}

void MC610s::first_data() { GetAIAnalogTriggerIdx(); }

int MC610s::AD_ReadData_float(float* dst, unsigned int count, int) {
  if (dst == nullptr) return 0;
  // Converted where the ring holds them, in slices that give the ring's
  // space back as they go; the ring tells each slice's channel and the
  // run's range.
  constexpr uint32_t kSlice = 65536;
  unsigned int total = 0;
  while (total < count) {
    const uint32_t want = std::min<uint32_t>({count - total, kSlice, available()});
    if (want == 0) break;
    RingPlace place;
    float* out = dst + total;
    uint32_t done = 0;
    auto convert = [&](const char* src, uint32_t k) {
      const uint32_t channels = place.unit / sizeof(int16_t);
      if (channels != 0)
        codes_to_volts(src, k, channels, (place.offset / sizeof(int16_t) + done) % channels,
                       static_cast<int>(place.tag), out + done);
      done += k;
    };
    const uint32_t n = engine_.ring().read_in_place(want, sizeof(int16_t), &place, convert);
    if (n == 0) break;
    total += n;
    if (n < want) break;
  }
  return static_cast<int>(total);
}

void MC610s::codes_to_volts(const char* src, uint32_t n, uint32_t channels, uint32_t phase,
                            int gain, float* dst) {
  ChannelCalibration cal;
  if (cal.load(GainTable, OffsetTable, channels, gain, module.ai_count, module.ai_gain_count)) {
    codes16_to_volts(src, n, channels, phase, cal.gains, cal.offsets, gain, dst);
    return;
  }
  // A channel or range outside the tables fails sample by sample.
  uint32_t c = phase % channels;
  for (uint32_t i = 0; i < n; ++i) {
    int16_t raw;
    std::memcpy(&raw, src + 2 * i, 2);
    Calibrate_Hex2Float(raw, static_cast<int>(c), gain, &dst[i]);
    if (++c == channels) c = 0;
  }
}

// Analog trigger.

bool MC610s::trigger_off(uint32_t high, uint32_t low) {
  return (high == kOff && low == kOn) || (high == kOn && low == kOff);
}

bool MC610s::level_code(int channel, float level, uint32_t* code) const {
  const int gain = static_cast<int>(ScanGain);
  const double full_scale = 5.0 * (gain + 1);
  if (!(std::fabs(level) <= full_scale)) return fail(KV_ERR_TRIGGER_PARAM);
  const double factor = GainTable.get(channel, gain);
  if (factor == 0) return fail(KV_ERR_TRIGGER_PARAM);  // no calibration to undo
  const double v = (level * 32768.0 / full_scale - OffsetTable.get(channel, gain)) * 32767.0 / factor;
  *code = static_cast<uint32_t>(static_cast<int64_t>(v)) & 0xFFFF;
  return true;
}

int MC610s::SetAIAnalogTriggerParam(int mode, const char* enable, const float* high, const float* low, int count,
                                    unsigned int pre, unsigned int post) {
  if (mode < 0 || mode > 3) return fail(KV_ERR_TRIGGER_CHANNEL);
  if (count < 0 || count > module.ai_count) return fail(KV_ERR_INVALID_VALUE);
  if (static_cast<uint64_t>(pre) + post != ScanSampleCount) return fail(KV_ERR_TRIGGER_SETUP);
  if (count > 0 && (!enable || !high || !low)) return fail(KV_ERR_INVALID_ARGUMENT);
  // Every level is checked before anything is sent, so that a bad one never
  // leaves the device half set.
  std::vector<uint32_t> hi(static_cast<std::size_t>(count)), lo(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    if (enable[i] != 1) {
      // Modes 0 to 2 disable a channel with an unreachable window; mode 3
      // (outside the window) with the reversed pair.
      hi[i] = mode == 3 ? kOn : kOff;
      lo[i] = mode == 3 ? kOff : kOn;
    } else if (!level_code(i, high[i], &hi[i]) || !level_code(i, low[i], &lo[i])) {
      return 0;
    }
  }
  AnalogTriggerMode = static_cast<uint32_t>(mode);
  PreTriggerCount = pre;
  PostTriggerCount = post;
  std::vector<uint16_t> channels;
  for (int k = 0; k < SlotCount; ++k) channels.push_back(SlotTable[k].channels);
  // The pre-trigger count is shared as the scan's count is.
  const std::vector<uint32_t> pre_share = distribute_samples(pre, channels);
  Reply r;
  for (int k = 0; k < SlotCount; ++k) {
    const uint32_t target = SlotTable[k].target;
    const uint32_t slot_pre = std::min(pre_share[k], target);
    if (!command(r, "~01XS%01dM%01dL%08luR%08lu", SlotTable[k].number, mode,
                 static_cast<unsigned long>(slot_pre), static_cast<unsigned long>(target - slot_pre)))
      return fail(KV_ERR_SEND);
    msleep(1);
  }
  for (int i = 0; i < count; ++i) {
    TriggerHighCode[i] = hi[i];
    TriggerLowCode[i] = lo[i];
    if (!command(r, "~01XS%01dC%01dH%04XL%04X", SlotTable[i / kChannelsPerSlot].number,
                 i % kChannelsPerSlot, hi[i], lo[i]))
      return fail(KV_ERR_SEND);
    msleep(1);
  }
  return 1;
}

int MC610s::GetAIAnalogTriggerParam(int* mode, char* enable, float* high, float* low, int count,
                                    unsigned int* pre, unsigned int* post) {
  if (count < 0 || count > module.ai_count) {
    return refuse_trigger_read(mode, enable, high, low, count, pre, post);
  }
  // While a run exists the worker uses the stored values: answer from them.
  if (!run_active()) {
    Reply r;
    uint64_t pre_sum = 0, post_sum = 0;
    int m = 0;
    for (int k = 0; k < SlotCount; ++k) {
      unsigned long l = 0, q = 0;
      if (!command(r, "~01XS%01dM", SlotTable[k].number) || r.digit(5) < 0 ||
          std::sscanf(r.from(6), "L%luR%lu", &l, &q) != 2)
        return fail(KV_ERR_INVALID_VALUE);
      m = r.digit(5);
      pre_sum += l;
      post_sum += q;
    }
    std::vector<uint32_t> hi(TriggerHighCode.size()), lo(TriggerLowCode.size());
    for (int c = 0; c < module.ai_count; ++c) {
      unsigned int h = 0, l = 0;
      if (!command(r, "~01XS%01dC%01d", SlotTable[c / kChannelsPerSlot].number,
                   c % kChannelsPerSlot) ||
          std::sscanf(r.from(3), "H%04XL%04X", &h, &l) != 2)
        return fail(KV_ERR_INVALID_VALUE);
      hi[c] = h;
      lo[c] = l;
    }
    AnalogTriggerMode = static_cast<uint32_t>(m);
    PreTriggerCount = static_cast<uint32_t>(std::min<uint64_t>(pre_sum, UINT32_MAX));
    PostTriggerCount = static_cast<uint32_t>(std::min<uint64_t>(post_sum, UINT32_MAX));
    TriggerHighCode = hi;
    TriggerLowCode = lo;
  }
  put(mode, static_cast<int>(AnalogTriggerMode));
  put(pre, PreTriggerCount);
  put(post, PostTriggerCount);
  for (int i = 0; i < count; ++i) {
    const bool off = trigger_off(TriggerHighCode[i], TriggerLowCode[i]);
    float hv = 0.0f, lv = 0.0f;
    if (!off) {
      Calibrate_Hex2Float(static_cast<int>(TriggerHighCode[i]), i, static_cast<int>(ScanGain), &hv);
      Calibrate_Hex2Float(static_cast<int>(TriggerLowCode[i]), i, static_cast<int>(ScanGain), &lv);
    }
    if (enable) enable[i] = off ? 0 : 1;
    if (high) high[i] = hv;
    if (low) low[i] = lv;
  }
  return 1;
}

int MC610s::GetAIAnalogTriggerIdx() {
  Reply r;
  unsigned long v = 0;
  const bool ok = command(r, "~01XN") && r.at(0) == '!' && r.number(3, &v);
  TriggerIndex = ok ? static_cast<uint32_t>(v * ScanChannelCount) : 0u;
  return ok ? 1 : 0;
}

}  // namespace korvel
