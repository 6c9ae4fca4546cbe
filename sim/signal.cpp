#include "korvel/sim/signal.h"

#include <array>
#include <cmath>
#include <vector>

namespace korvel::sim {

namespace {

constexpr unsigned kChannels = 16;
constexpr unsigned kSawtooth = 997;

struct Tables {
  std::array<std::vector<std::int16_t>, kChannels> sine;
  Tables() {
    for (unsigned c = 0; c < kChannels; ++c) {
      const unsigned period = 1000 + 37 * c;
      const double amplitude = 2000.0 * (c % 8 + 1);
      sine[c].resize(period);
      for (unsigned k = 0; k < period; ++k)
        sine[c][k] = static_cast<std::int16_t>(
            std::lround(amplitude * std::sin(2.0 * M_PI * k / period)));
    }
  }
};

const Tables& tables() {
  static const Tables t;
  return t;
}

}  // namespace

std::int16_t scan_code(unsigned channel, std::uint64_t scan) {
  const auto& sine = tables().sine[channel % kChannels];
  return static_cast<std::int16_t>(sine[scan % sine.size()] +
                                   static_cast<int>(scan % kSawtooth) - 498);
}

void fill_stream(unsigned channels, std::uint64_t first, std::size_t n, char* out) {
  if (channels == 0 || channels > kChannels) return;
  const Tables& t = tables();
  unsigned ch = static_cast<unsigned>(first % channels);
  std::uint64_t scan = first / channels;
  // Per scan, the position of every channel in its sine table and in the
  // sawtooth; advanced instead of recomputed (no division per sample).
  std::array<std::size_t, kChannels> pos{};
  // Channels before the first one already belong to the next scan.
  for (unsigned c = 0; c < channels; ++c) pos[c] = (scan + (c < ch ? 1 : 0)) % t.sine[c].size();
  unsigned saw = static_cast<unsigned>(scan % kSawtooth);
  for (std::size_t i = 0; i < n; ++i) {
    const auto v = static_cast<std::uint16_t>(t.sine[ch][pos[ch]] + static_cast<int>(saw) - 498);
    out[2 * i] = static_cast<char>(v & 0xFF);
    out[2 * i + 1] = static_cast<char>(v >> 8);
    if (++pos[ch] == t.sine[ch].size()) pos[ch] = 0;
    if (++ch == channels) {
      ch = 0;
      if (++saw == kSawtooth) saw = 0;
    }
  }
}

}  // namespace korvel::sim
