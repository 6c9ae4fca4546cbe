#include "korvel/sim/signal.h"

#include <array>
#include <cmath>
#include <vector>

namespace korvel::sim {

namespace {

constexpr unsigned kChannels = 16;
constexpr unsigned kSawtooth = 997;

// A sine per channel plus a sawtooth common to all channels, stepping once
// per scan: value = sine[c][scan % period_c] + (scan % kSawtooth) * step + base.
template <class Sample>
struct Signal {
  std::array<std::vector<Sample>, kChannels> sine;
  int step;
  int base;

  template <class Amplitude>
  Signal(Amplitude amplitude, int step_arg, int base_arg) : step(step_arg), base(base_arg) {
    for (unsigned c = 0; c < kChannels; ++c) {
      const unsigned period = 1000 + 37 * c;
      sine[c].resize(period);
      for (unsigned k = 0; k < period; ++k)
        sine[c][k] =
            static_cast<Sample>(std::lround(amplitude(c) * std::sin(2.0 * M_PI * k / period)));
    }
  }

  std::int32_t at(unsigned channel, std::uint64_t scan) const {
    const auto& s = sine[channel % kChannels];
    return s[scan % s.size()] + static_cast<int>(scan % kSawtooth) * step + base;
  }

  // Calls put(i, value) for samples [first, first + n) of an interleaved
  // stream; positions are advanced instead of recomputed (no division per
  // sample).
  template <class Put>
  void fill(unsigned channels, std::uint64_t first, std::size_t n, Put put) const {
    if (channels == 0 || channels > kChannels) return;
    unsigned ch = static_cast<unsigned>(first % channels);
    std::uint64_t scan = first / channels;
    std::array<std::size_t, kChannels> pos{};
    // Channels before the first one already belong to the next scan.
    for (unsigned c = 0; c < channels; ++c) pos[c] = (scan + (c < ch ? 1 : 0)) % sine[c].size();
    unsigned saw = static_cast<unsigned>(scan % kSawtooth);
    for (std::size_t i = 0; i < n; ++i) {
      put(i, sine[ch][pos[ch]] + static_cast<int>(saw) * step + base);
      if (++pos[ch] == sine[ch].size()) pos[ch] = 0;
      if (++ch == channels) {
        ch = 0;
        if (++saw == kSawtooth) saw = 0;
      }
    }
  }
};

const Signal<std::int16_t>& signal16() {
  static const Signal<std::int16_t> s([](unsigned c) { return 2000.0 * (c % 8 + 1); }, 1, -498);
  return s;
}

// Amplitudes up to near full scale (0x7FFFFF = 8388607), unequal so that
// channels are told apart; with the sawtooth (-128000..128172) no value
// reaches the over-range codes. The odd step moves the low byte too.
const Signal<std::int32_t>& signal24() {
  static constexpr std::array<double, 8> kAmplitude = {7900001, 2500003, 6100007, 400009,
                                                       5200011, 1300013, 7000017, 3700019};
  static const Signal<std::int32_t> s([](unsigned c) { return kAmplitude[c % 8]; }, 257, -128000);
  return s;
}

}  // namespace

std::int16_t scan_code(unsigned channel, std::uint64_t scan) {
  return static_cast<std::int16_t>(signal16().at(channel, scan));
}

void fill_stream(unsigned channels, std::uint64_t first, std::size_t n, char* out) {
  signal16().fill(channels, first, n, [out](std::size_t i, std::int32_t value) {
    const auto v = static_cast<std::uint16_t>(value);
    out[2 * i] = static_cast<char>(v & 0xFF);
    out[2 * i + 1] = static_cast<char>(v >> 8);
  });
}

std::int32_t scan_code24(unsigned channel, std::uint64_t scan) {
  return signal24().at(channel, scan);
}

void fill_stream24(unsigned channels, std::uint64_t first, std::size_t n, char* out) {
  signal24().fill(channels, first, n, [out](std::size_t i, std::int32_t value) {
    const auto v = static_cast<std::uint32_t>(value) & 0xFFFFFFu;
    out[4 * i] = static_cast<char>(v & 0xFF);
    out[4 * i + 1] = static_cast<char>((v >> 8) & 0xFF);
    out[4 * i + 2] = static_cast<char>(v >> 16);
    out[4 * i + 3] = 0;
  });
}

}  // namespace korvel::sim
