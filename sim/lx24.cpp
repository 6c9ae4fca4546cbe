#include "korvel/sim/lx24.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "korvel/sim/signal.h"

namespace korvel::sim {

using namespace lx;

namespace {

constexpr double kClock = 16384000.0;
constexpr std::array<int, 16> kRateD = {32,  48,  64,  96,  128, 192,  200,  256,
                                        384, 400, 512, 768, 800, 1024, 2048, 4096};

bool all_digits(const std::string& s, std::size_t from) {
  return from < s.size() && std::all_of(s.begin() + static_cast<std::ptrdiff_t>(from), s.end(),
                                        [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

Lx24Model::Lx24Model(Lx24State& state) : LxModel(state), lx24_(state) {}

double Lx24Model::sample_rate() const {
  const Lx24State& s = lx24_;
  if (s.rate_a <= 0 || s.rate_b <= 0 || s.rate_d <= 0) return 0;
  return kClock / s.rate_a / s.rate_b / s.rate_d;
}

long Lx24Model::achieved_rate() const {
  const Lx24State& s = lx24_;
  if (s.rate_a <= 0 || s.rate_b <= 0 || s.rate_d <= 0) return 0;
  float f = static_cast<float>(kClock) / static_cast<float>(s.rate_a);
  f /= static_cast<float>(s.rate_b);
  f /= static_cast<float>(s.rate_d);
  return static_cast<long>(f);
}

std::optional<std::string> Lx24Model::empty_line() { return kRefused; }

void Lx24Model::fill_samples(unsigned channels, std::uint64_t first, std::size_t n,
                             char* out) const {
  fill_stream24(channels, first, n, out);
}

std::optional<std::string> Lx24Model::common24_command(const std::string& line) {
  if (starts(line, "~01R")) return scan_rate(line);
  if (starts(line, "~01XC")) return trigger_levels(line);
  return std::nullopt;
}

// "~01R<A:2><B:2><D:4>" sets the clock dividers, "~01R" reads them back in
// the same layout after "!01".
std::optional<std::string> Lx24Model::scan_rate(const std::string& line) {
  Lx24State& s = lx24_;
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
std::optional<std::string> Lx24Model::trigger_levels(const std::string& line) {
  Lx24State& s = lx24_;
  int c = 0;
  if (!digit_at(line, 5, &c) || c >= Lx24State::kInputs) return kRefused;
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
