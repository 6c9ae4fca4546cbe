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

}  // namespace korvel::sim
