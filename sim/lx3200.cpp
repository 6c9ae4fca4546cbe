#include "korvel/sim/lx3200.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "korvel/sim/signal.h"

namespace korvel::sim {

using namespace lx;

namespace {

constexpr double kClock = 16384000.0;
constexpr std::array<int, 16> kRateD = {32,  48,  64,  96,  128, 192,  200,  256,
                                        384, 400, 512, 768, 800, 1024, 2048, 4096};
constexpr int32_t kCodeMax = 0x7FFFFF;
constexpr int32_t kCodeMin = -0x800000;
constexpr double kCodeScale = 2147483648.0;  // calibrated codes: full scale is 2^31

bool digit_at(const std::string& s, std::size_t pos, int* value) {
  if (pos >= s.size() || s[pos] < '0' || s[pos] > '9') return false;
  *value = s[pos] - '0';
  return true;
}

bool all_digits(const std::string& s, std::size_t from) {
  return from < s.size() && std::all_of(s.begin() + static_cast<std::ptrdiff_t>(from), s.end(),
                                        [](char c) { return c >= '0' && c <= '9'; });
}

// Parses 1..8 hexadecimal digits [from, to) of s.
bool hex_run(const std::string& s, std::size_t from, std::size_t to, uint32_t* value) {
  if (to <= from || to - from > 8) return false;
  uint32_t v = 0;
  for (std::size_t i = from; i < to; ++i) {
    const int d = hex_digit(s, i);
    if (d < 0) return false;
    v = v << 4 | static_cast<uint32_t>(d);
  }
  *value = v;
  return true;
}

int32_t sign_extend24(uint32_t raw) {
  raw &= 0xFFFFFF;
  return static_cast<int32_t>(raw ^ 0x800000u) - 0x800000;
}

// The calibrated code before the range's full-scale factor: the upper 16
// bits of the raw code and its low byte scaled by the gain factor
// separately, plus the offset.
int64_t calibrated_sum(int32_t code, uint16_t gain, int16_t offset) {
  const int64_t g = gain;
  return static_cast<int64_t>(code >> 8) * g * 2 + static_cast<int64_t>(code & 0xFF) * g / 128 +
         offset;
}

}  // namespace

Lx3200::Lx3200() : LxModel(state_) {
  Lx3200State& s = state_;
  s.channels = 4;
  // Actual ranges a little off their nominal values, so that the two are
  // told apart.
  s.full_scale_mv = {10012, 5006, 2503, 1251, 626, 301, 151, 76, 41, 21};
  for (int c = 0; c < Lx3200State::kInputs; ++c) {
    for (int g = 0; g < Lx3200State::kRanges; ++g) {
      s.cal_gain[c][g] = static_cast<uint16_t>(32768 + 45 * g - 60 * c);
      s.cal_offset[c][g] = static_cast<int16_t>(300 * (c - 2) + 17 * g);
    }
    set_input_volts(c, -3.5 + 2.25 * c);
    s.trigger_high[c] = 0x7FFFFF;
    s.trigger_low[c] = 0x800000;
  }
  for (int a = 0; a < Lx3200State::kOutputs; ++a)
    for (int r = 0; r < Lx3200State::kOutputRanges; ++r) {
      s.ao_cal_gain[a][r] = static_cast<uint16_t>(32768 - 50 * a + 9 * r);
      s.ao_cal_offset[a][r] = static_cast<int16_t>(5 * a - 3 * r - 2);
    }
}

double Lx3200::sample_rate() const {
  const Lx3200State& s = state_;
  if (s.rate_a <= 0 || s.rate_b <= 0 || s.rate_d <= 0) return 0;
  return kClock / s.rate_a / s.rate_b / s.rate_d;
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

bool Lx3200::scan_setup_ok(int gain, int channels, int trigger, int transfer) const {
  return gain >= 0 && gain < Lx3200State::kRanges && channels >= 1 &&
         channels <= Lx3200State::kInputs && trigger >= 0 && trigger <= 2 && transfer >= 0;
}

// An empty line is no command: refused like any line the device does not
// know. The scan settings stay as they were.
std::optional<std::string> Lx3200::empty_line() { return kRefused; }

bool Lx3200::ram_scan(double samples_per_second) const {
  // Trigger digit 1 is a fast untriggered scan and 2 the analog trigger:
  // both fill the RAM first, as does any scan too fast to stream live.
  const int t = state_.trigger_mode;
  return samples_per_second > Lx3200State::kInputs * 64000.0 || t == 1 || t == 2;
}

void Lx3200::fill_samples(unsigned channels, std::uint64_t first, std::size_t n, char* out) const {
  fill_stream24(channels, first, n, out);
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
  if (starts(line, "~01R")) return scan_rate(line);
  if (starts(line, "~01XC")) return trigger_levels(line);
  return kRefused;
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

// "~01R<A:2><B:2><D:4>" sets the clock dividers, "~01R" reads them back in
// the same layout after "!01".
std::optional<std::string> Lx3200::scan_rate(const std::string& line) {
  Lx3200State& s = state_;
  if (line == "~01R") {
    char r[32];
    std::snprintf(r, sizeof r, "!01%02d%02d%04d", s.rate_a, s.rate_b, s.rate_d);
    return std::string(r);
  }
  if (line.size() != 12 || !all_digits(line, 4)) return kRefused;
  const int a = std::atoi(line.substr(4, 2).c_str());
  const int b = std::atoi(line.substr(6, 2).c_str());
  const int d = std::atoi(line.substr(8, 4).c_str());
  const auto divider_ok = [](int v) { return v >= 2 && v <= 14 && v % 2 == 0; };
  if (!divider_ok(a) || !divider_ok(b) ||
      std::find(kRateD.begin(), kRateD.end(), d) == kRateD.end())
    return kRefused;
  s.rate_a = a;
  s.rate_b = b;
  s.rate_d = d;
  return kOk;
}

// "~01XC<ch>H<high>L<low>" sets a channel's levels (24-bit codes; longer
// fields keep their low 24 bits), "~01XC<ch>" reads them back as
// "!01C<ch>H%06XL%06X".
std::optional<std::string> Lx3200::trigger_levels(const std::string& line) {
  Lx3200State& s = state_;
  int c = 0;
  if (!digit_at(line, 5, &c) || c >= Lx3200State::kInputs) return kRefused;
  if (line.size() == 6) {
    char r[32];
    std::snprintf(r, sizeof r, "!01C%dH%06XL%06X", c, s.trigger_high[c], s.trigger_low[c]);
    return std::string(r);
  }
  const std::size_t l = line.find('L', 7);
  uint32_t high = 0, low = 0;
  if (line.size() < 9 || line[6] != 'H' || l == std::string::npos || !hex_run(line, 7, l, &high) ||
      !hex_run(line, l + 1, line.size(), &low))
    return kRefused;
  s.trigger_high[c] = high & 0xFFFFFF;
  s.trigger_low[c] = low & 0xFFFFFF;
  return kOk;
}

}  // namespace korvel::sim
