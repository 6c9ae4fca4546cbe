#include "korvel/sim/lxr5000.h"

#include <algorithm>
#include <cmath>

namespace korvel::sim {

using namespace lx;

namespace {

constexpr int32_t kCodeMax = 0x7FFFFF;
constexpr int32_t kCodeMin = -0x800000;

}  // namespace

Lxr5000::Lxr5000() : Lx24Model(state_) {
  Lxr5000State& s = state_;
  // Each channel a little off 10 V and off zero, both ways, so that a driver
  // mixing up channels or ignoring the offset shows.
  s.full_scale_mv = {10012, 9987, 10006, 10019};
  s.offset = {-37, 52, -8, 113};
  for (int c = 0; c < Lxr5000State::kInputs; ++c) set_input_volts(c, -3.5 + 2.25 * c);
  s.sd = default_sd_card(Lxr5000State::kInputs, 0);
}

float Lxr5000::volts_of(int channel, uint32_t raw) const {
  const Lxr5000State& s = state_;
  const auto c = static_cast<std::size_t>(channel);
  const auto sum = static_cast<int32_t>(int64_t{sign_extend24(raw)} + s.offset[c]);
  const auto full_scale = static_cast<float>(s.full_scale_mv[c] / 1000.0);
  return static_cast<float>(static_cast<float>(sum) * full_scale / 8388607.0);
}

void Lxr5000::set_input_volts(int channel, double volts) {
  // The raw code is what the uncalibrated converter reads: the inverse of
  // the channel's calibration, the nearest of the codes around the estimate
  // once the driver's rounding is applied.
  Lxr5000State& s = state_;
  const auto c = static_cast<std::size_t>(channel);
  const double full_scale = s.full_scale_mv[c] / 1000.0;
  const double estimate = full_scale > 0 ? volts * 8388607.0 / full_scale - s.offset[c] : 0;
  const auto guess = static_cast<int32_t>(
      std::clamp(std::round(estimate), double{kCodeMin}, double{kCodeMax}));
  int32_t best = guess;
  double best_error = INFINITY;
  for (int32_t code = std::max(kCodeMin, guess - 1); code <= std::min(kCodeMax, guess + 1);
       ++code) {
    const double error = std::fabs(volts_of(channel, static_cast<uint32_t>(code)) - volts);
    if (error < best_error) {
      best = code;
      best_error = error;
    }
  }
  s.ai_code[c] = static_cast<uint32_t>(best) & 0xFFFFFF;
}

// One line per channel: its full scale (thousandths of a volt) and offset.
std::string Lxr5000::config_channels(const SdRecording& r) const {
  std::string text;
  for (int c = 0; c < std::min(r.channels, Lxr5000State::kInputs); ++c)
    text += line_of("CH%d,Range,%u, Offset,%d", c,
                    static_cast<unsigned>(state_.full_scale_mv[static_cast<std::size_t>(c)]),
                    static_cast<int>(state_.offset[static_cast<std::size_t>(c)]));
  return text;
}

bool Lxr5000::scan_setup_ok(int gain, int channels, int trigger, int transfer) const {
  return gain == 0 && channels >= 1 && channels <= Lxr5000State::kInputs && trigger >= 0 &&
         trigger <= 2 && transfer >= 0;
}

// Digital I/O ("@01...", "#01A") and the RMS and per-channel settings of
// the other LX devices ("~01RPF", "~01RP", "~01DT", "~01ED") do not exist
// here.
bool Lxr5000::lacks(const std::string& line) const {
  return starts(line, "@01") || starts(line, "#01A") || starts(line, "~01RP") ||
         starts(line, "~01DT") || starts(line, "~01ED");
}

bool Lxr5000::ram_scan(double) const {
  // Trigger digits 1 (fast untriggered) and 2 (analog trigger) fill the RAM
  // first, as does a scan faster than the live limit, judged like the
  // driver on the whole samples per second the dividers give.
  const Lxr5000State& s = state_;
  return s.trigger_mode == 1 || s.trigger_mode == 2 ||
         achieved_rate() * s.channels > Lxr5000State::kLiveLimit;
}

std::optional<std::string> Lxr5000::device_command(const std::string& line) {
  Lxr5000State& s = state_;
  int c = 0;
  // "$01R1C<ch>": full scale (4 hex digits) and offset (8, two's complement).
  if (starts(line, "$01R1C")) {
    if (line.size() != 7 || !digit_at(line, 6, &c) || c >= Lxr5000State::kInputs) return kRefused;
    return "!" + hex(s.full_scale_mv[c], 4) + hex(static_cast<uint32_t>(s.offset[c]), 8);
  }
  // "#01R": all four inputs, eight hex digits each. The converter is the
  // scan's while sampling, so single-point reads are refused then.
  if (line == "#01R") {
    if (s.sampling) return kRefused;
    std::string r = "!";
    for (c = 0; c < Lxr5000State::kInputs; ++c) r += hex(s.ai_code[c] & 0xFFFFFF, 8);
    return r;
  }
  return common24_command(line).value_or(kRefused);
}

}  // namespace korvel::sim
