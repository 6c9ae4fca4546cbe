#include "korvel/sim/lx3200.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace korvel::sim {

using namespace lx;

namespace {

constexpr int32_t kCodeMax = 0x7FFFFF;
constexpr int32_t kCodeMin = -0x800000;
constexpr double kCodeScale = 2147483648.0;  // calibrated codes: full scale is 2^31

// The calibrated code before the range's full-scale factor: the upper 16
// bits of the raw code and its low byte scaled by the gain factor
// separately, plus the offset.
int64_t calibrated_sum(int32_t code, uint16_t gain, int16_t offset) {
  const int64_t g = gain;
  return static_cast<int64_t>(code >> 8) * g * 2 + static_cast<int64_t>(code & 0xFF) * g / 128 +
         offset;
}

// The recording's range, or 0 when it names none.
int range_of(const SdRecording& r) {
  return r.gain >= 0 && r.gain < Lx3200State::kRanges ? r.gain : 0;
}

}  // namespace

Lx3200::Lx3200() : Lx24Model(state_) {
  Lx3200State& s = state_;
  // Actual ranges a little off their nominal values, so that the two are
  // told apart.
  s.full_scale_mv = {10012, 5006, 2503, 1251, 626, 301, 151, 76, 41, 21};
  for (int c = 0; c < Lx3200State::kInputs; ++c) {
    for (int g = 0; g < Lx3200State::kRanges; ++g) {
      s.cal_gain[c][g] = static_cast<uint16_t>(32768 + 45 * g - 60 * c);
      s.cal_offset[c][g] = static_cast<int16_t>(300 * (c - 2) + 17 * g);
    }
    set_input_volts(c, -3.5 + 2.25 * c);
  }
  for (int a = 0; a < Lx3200State::kOutputs; ++a)
    for (int r = 0; r < Lx3200State::kOutputRanges; ++r) {
      s.ao_cal_gain[a][r] = static_cast<uint16_t>(32768 - 50 * a + 9 * r);
      s.ao_cal_offset[a][r] = static_cast<int16_t>(5 * a - 3 * r - 2);
    }
  s.sd = default_sd_card(Lx3200State::kInputs, 3);
}

void Lx3200::set_calibration(uint16_t gain, int16_t offset) {
  for (auto& row : state_.cal_gain) row.fill(gain);
  for (auto& row : state_.cal_offset) row.fill(offset);
}

double Lx3200::volts_of(int channel, int range, uint32_t raw) const {
  const Lx3200State& s = state_;
  const double nominal = Lx3200State::kNominal[static_cast<std::size_t>(range)];
  // The over-range codes read as the ends of the nominal range.
  raw &= 0xFFFFFF;
  if (raw == 0x7FFFFF) return nominal;
  if (raw == 0x800000) return -nominal;
  const double full_scale = s.full_scale_mv[static_cast<std::size_t>(range)] / 1000.0;
  return static_cast<double>(calibrated_sum(sign_extend24(raw), s.cal_gain[channel][range],
                                            s.cal_offset[channel][range])) *
         full_scale / kCodeScale;
}

void Lx3200::set_input_volts(int channel, double volts) {
  // The raw code is what the uncalibrated converter reads: the inverse of
  // the channel's calibration in each range, so that a calibrated read gives
  // the volts back to within a code.
  Lx3200State& s = state_;
  for (int g = 0; g < Lx3200State::kRanges; ++g) {
    const uint16_t gain = s.cal_gain[channel][g] ? s.cal_gain[channel][g] : 32768;
    const int16_t offset = s.cal_offset[channel][g];
    const double full_scale = s.full_scale_mv[static_cast<std::size_t>(g)] / 1000.0;
    const double target = full_scale > 0 ? volts * kCodeScale / full_scale : 0;
    const double estimate = (target - offset) * 128.0 / gain;
    const auto clamp = [](double v) {
      return static_cast<int32_t>(std::clamp(v, double{kCodeMin}, double{kCodeMax}));
    };
    const int32_t guess = clamp(std::round(estimate));
    // The low byte's share is rounded down, so the estimate may be one off.
    int32_t best = guess;
    double best_error = INFINITY;
    for (int32_t code = std::max(kCodeMin, guess - 1); code <= std::min(kCodeMax, guess + 1);
         ++code) {
      const double error =
          std::fabs(static_cast<double>(calibrated_sum(code, gain, offset)) - target);
      if (error < best_error) {
        best = code;
        best_error = error;
      }
    }
    s.ai_code[channel][g] = static_cast<uint32_t>(best) & 0xFFFFFF;
  }
}

// The actual full scale of the range in thousandths of a volt: what the
// host's reader divides by 1000.
std::string Lx3200::config_after_gain(const SdRecording& r) const {
  const auto g = static_cast<std::size_t>(range_of(r));
  return line_of("Range,%u", static_cast<unsigned>(state_.full_scale_mv[g]));
}

std::string Lx3200::config_channels(const SdRecording& r) const {
  const int g = range_of(r);
  std::vector<std::pair<int, int>> gain_offset;
  for (int c = 0; c < std::min(r.channels, Lx3200State::kInputs); ++c)
    gain_offset.emplace_back(state_.cal_gain[c][g], state_.cal_offset[c][g]);
  return gain_offset_lines(gain_offset);
}

bool Lx3200::scan_setup_ok(int gain, int channels, int trigger, int transfer) const {
  return gain >= 0 && gain < Lx3200State::kRanges && channels >= 1 &&
         channels <= Lx3200State::kInputs && trigger >= 0 && trigger <= 2 && transfer >= 0;
}

bool Lx3200::ram_scan(double samples_per_second) const {
  // Trigger digit 1 is a fast untriggered scan and 2 the analog trigger:
  // both fill the RAM first, as does any scan too fast to stream live.
  const int t = state_.trigger_mode;
  return samples_per_second > Lx3200State::kInputs * 64000.0 || t == 1 || t == 2;
}

std::optional<std::string> Lx3200::device_command(const std::string& line) {
  Lx3200State& s = state_;
  int c = 0, g = 0;
  // "$01RI1C<ch>G<range>" input table, "$01RO1C<ch>G<range>" output table.
  if ((starts(line, "$01RI1C") || starts(line, "$01RO1C")) && line.size() == 10 && line[8] == 'G' &&
      digit_at(line, 7, &c) && digit_at(line, 9, &g)) {
    if (line[4] == 'I') {
      if (c >= Lx3200State::kInputs || g >= Lx3200State::kRanges) return kRefused;
      return "!" + hex(s.cal_gain[c][g], 4) + hex(static_cast<uint16_t>(s.cal_offset[c][g]), 4) +
             hex(s.full_scale_mv[static_cast<std::size_t>(g)], 4);
    }
    if (c >= Lx3200State::kOutputs || g >= Lx3200State::kOutputRanges) return kRefused;
    return "!" + hex(s.ao_cal_gain[c][g], 4) + hex(static_cast<uint16_t>(s.ao_cal_offset[c][g]), 4);
  }
  if (starts(line, "#01H") && line.size() == 5) {
    if (!digit_at(line, 4, &g)) return kRefused;
    std::string r = "!";
    for (c = 0; c < Lx3200State::kInputs; ++c) r += hex(s.ai_code[c][g] & 0xFFFFFF, 8);
    return r;
  }
  if (line == "#01N") {
    char r[16];
    std::snprintf(r, sizeof r, ">%08lX", static_cast<unsigned long>(s.encoder_count));
    return std::string(r);
  }
  if (starts(line, "#01") && line.size() > 5 && digit_at(line, 3, &c)) return analog_output(line);
  if (starts(line, "$01D")) return encoder(line);
  return common24_command(line).value_or(kRefused);
}

// "#01<ch><range>%+07.3f" in volts, "#01<ch><range>%04X" as a code.
std::optional<std::string> Lx3200::analog_output(const std::string& line) {
  int c = 0, r = 0;
  if (!digit_at(line, 3, &c) || !digit_at(line, 4, &r) || c >= Lx3200State::kOutputs ||
      r >= Lx3200State::kOutputRanges)
    return kRefused;
  Lx3200State::Output& out = state_.ao[static_cast<std::size_t>(c)];
  const std::string value = line.substr(5);
  if (value[0] == '+' || value[0] == '-') {
    char* end = nullptr;
    const double volts = std::strtod(value.c_str(), &end);
    if (end != value.c_str() + value.size() || !std::isfinite(volts)) return kRefused;
    out.volts = volts;
    out.code.reset();
  } else {
    uint32_t code = 0;
    if (value.size() != 4 || !hex_run(value, 0, 4, &code)) return kRefused;
    out.code = static_cast<uint16_t>(code);
    out.volts.reset();
  }
  out.range = r;
  ++out.writes;
  return std::string(">");
}

// "$01D" reads the mode as ">01" s2 (s1 + 1) s3; "$01D<s2><s1 + 1><s3>" sets
// it, which also clears the count.
std::optional<std::string> Lx3200::encoder(const std::string& line) {
  Lx3200State& s = state_;
  if (line == "$01D")
    return ">01" + std::to_string(s.encoder_s2) + std::to_string(s.encoder_s1 + 1) +
           std::to_string(s.encoder_s3);
  int s2 = 0, s1 = 0, s3 = 0;
  if (line.size() != 7 || !digit_at(line, 4, &s2) || !digit_at(line, 5, &s1) ||
      !digit_at(line, 6, &s3) || s2 > 8 || s1 < 1 || s1 > 3 || s3 > 3)
    return kRefused;
  s.encoder_s2 = s2;
  s.encoder_s1 = s1 - 1;
  s.encoder_s3 = s3;
  s.encoder_count = 0;
  return std::string(">");
}

}  // namespace korvel::sim
