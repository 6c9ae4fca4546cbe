// What the four-input 24-bit LX devices share: the sample clock set by
// three dividers, 24-bit analog-trigger levels and samples sent as 32-bit
// words. Each model adds its calibration, single-point reads and the rest
// of its own command set.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "korvel/sim/lx_family.h"

namespace korvel::sim {

struct Lx24State : LxState {
  static constexpr int kInputs = 4;

  // All inputs scanned, trigger levels at the rails (never met).
  Lx24State() {
    channels = kInputs;
    trigger_high.fill(0x7FFFFF);
    trigger_low.fill(0x800000);
  }

  // Sample clock: 16384000 / rate_a / rate_b / rate_d samples per second
  // per channel.
  int rate_a = 2;
  int rate_b = 2;
  int rate_d = 4096;

  // Analog-trigger levels per channel, 24-bit codes.
  std::array<uint32_t, kInputs> trigger_high{};
  std::array<uint32_t, kInputs> trigger_low{};
};

class Lx24Model : public LxModel {
 public:
  // Samples per second per channel of the configured dividers.
  double sample_rate() const;
  // The same in whole samples, divided in single precision one divider at a
  // time and truncated, as the driver states the rate it achieved.
  long achieved_rate() const;

 protected:
  explicit Lx24Model(Lx24State& state);

  // "~01R" (dividers) and "~01XC" (trigger levels); no value for others.
  std::optional<std::string> common24_command(const std::string& line);

  // An empty line is no command: refused like any unknown line, the scan
  // settings stay as they were.
  std::optional<std::string> empty_line() override;
  double channel_rate() const override { return sample_rate(); }
  bool status_in_count_reply() const override { return true; }
  std::uint32_t sample_bytes() const override { return 4; }
  void fill_samples(unsigned channels, std::uint64_t first, std::size_t n,
                    char* out) const override;

 private:
  std::optional<std::string> scan_rate(const std::string& line);
  std::optional<std::string> trigger_levels(const std::string& line);

  Lx24State& lx24_;
};

}  // namespace korvel::sim
