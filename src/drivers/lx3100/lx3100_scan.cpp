// LX3100 scan configuration, configuration items and triggers.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/errors.h"
#include "drivers/lx3100/lx3100.h"
#include "net/clock.h"

namespace korvel {

namespace {

bool valid_trigger_mode(int mode) {
  switch (mode) {
    case 0: case 1: case 2: case 3: case 5: case 6: case 8: case 9:
      return true;
    default:
      return false;  // 4 and 7 are read back from the device but never set
  }
}

constexpr uint32_t kMaxRate = 200000;
// Per channel, the device streams at most this rate live; faster scans go
// through its RAM.
constexpr uint64_t kLiveRatePerChannel = 30000;
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

  char first[48], rate[24];
  std::snprintf(first, sizeof first, "~01PG%dC%dT%dM%d", gain, ch_count, trig_mode,
                transfer_mode);
  std::snprintf(rate, sizeof rate, "~01R%06d", sample_rate);
  return send_scan_commands(first, ch_count, gain, trig_mode, transfer_mode, rate,
                            static_cast<uint32_t>(sample_rate), sample_count, option);
}

int LX3100::SetConfig(int item, int index, int value) {
  if (item != 2) return LxDevice::SetConfig(item, index, value);
  if (index != 2 || value < 0 || value > 6) return fail(KV_ERR_INVALID_ARGUMENT);
  if (ScanSampleRate > (kMaxRate >> value)) return fail(KV_ERR_INVALID_ARGUMENT);
  Reply r;
  if (!command(r, kCommandTimeoutMs, "~01V%01d", value)) return fail(KV_ERR_CONFIG_ITEM);
  if (r.size() != 3) return 0;
  RateDivisor = 1u << value;
  return 1;
}

int LX3100::GetConfig(int item, int index, int* value) {
  if (item != 2) return LxDevice::GetConfig(item, index, value);
  if (index != 2) return fail(KV_ERR_INVALID_ARGUMENT);
  if (run_active()) {  // stored when it was set or last read
    int e = 0;
    while ((1u << e) < RateDivisor) ++e;
    put(value, e);
    return 1;
  }
  Reply r;
  if (!command(r, kCommandTimeoutMs, "~01V")) return fail(KV_ERR_CONFIG_ITEM);
  const int e = r.digit(4);
  if (r.size() != 5 || e < 0 || e > 6) return 0;
  RateDivisor = 1u << e;
  put(value, e);
  return 1;
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

float LX3100::trigger_full_scale(int) const { return static_cast<float>((ScanGain + 1) * 5); }

bool LX3100::trigger_code(int channel, float level, uint32_t* code) {
  const float full_scale = trigger_full_scale(channel);
  const int g = GainTable.get(channel, static_cast<int>(ScanGain));
  const int o = OffsetTable.get(channel, static_cast<int>(ScanGain));
  if (g == 0) return fail(KV_ERR_TRIGGER_PARAM);  // an uncalibrated channel has no codes
  const float c = level * 32768.0f / full_scale;
  const float v = (c - static_cast<float>(o)) * 32767.0f / static_cast<float>(g);
  *code = static_cast<uint16_t>(static_cast<int32_t>(v));
  return true;
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
  if (!r.number(4, &v)) return fail(KV_ERR_INVALID_VALUE);
  DelayTriggerTime = static_cast<uint32_t>(v);
  put(delay, DelayTriggerTime);
  return 1;
}

unsigned long LX3100::max_rate() const { return kMaxRate; }

bool LX3100::needs_ram_phase(const ScanSettings& s) const {
  const uint16_t m = s.trigger_mode;
  return static_cast<uint64_t>(s.rate) * s.channels > module.ai_count * kLiveRatePerChannel ||
         !(m == 0 || m == 1 || m == 7 || m == 8);
}

bool LX3100::limits_receive(const ScanSettings& s, RunKind kind) const {
  if (s.trigger_mode == 8) return false;  // mode 8 counts blocks, not samples
  return kind == RunKind::Log || s.trigger_mode != 7;
}

void LX3100::log_lines_after_transfer(std::vector<std::string>& lines) {
  lines.push_back("Sync Mode," + std::to_string(SyncMode));
}

uint32_t LX3100::ring_unit() const {
  // A sync-in scan keeps whole frames.
  return sync_in_enabled() && SyncIn.FrameTotalSize != 0 ? SyncIn.FrameTotalSize
                                                         : LxDevice::ring_unit();
}

bool LX3100::sync_in_enabled() const { return SyncIn.enabled(); }

}  // namespace korvel
