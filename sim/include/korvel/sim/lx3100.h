// The LX-3100 as the simulator plays it: its command set with real state.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "korvel/sim/lx_family.h"
#include "korvel/sim/sync_in.h"

namespace korvel::sim {

struct Lx3100State : LxState {
  // Calibration per channel and gain code, as the device reports it.
  std::array<std::array<uint16_t, 2>, 8> cal_gain{};
  std::array<std::array<int16_t, 2>, 8> cal_offset{};
  // Raw code each input reads at each gain code.
  std::array<std::array<int16_t, 2>, 8> ai_code{};
  std::array<uint32_t, 4> di_count{};
  // One preset register per channel, read with "@01P<ch>"; the counter uses
  // register 0 (written by "@01P0<preset>"), the DI counters all four
  // (written by "@01PRE<ch><preset>").
  std::array<uint32_t, 4> preset{};
  std::array<std::array<int, 2>, 4> di_bits{};
  uint32_t counter = 0;
  std::array<int, 2> counter_bits{};

  long rate = 100;
  int rate_exponent = 0;
  std::array<uint16_t, 8> trigger_high{};
  std::array<uint16_t, 8> trigger_low{};
  unsigned long delay = 0;

  SyncInDefinition sync_in;
};

class Lx3100 : public LxModel {
 public:
  Lx3100();
  std::string id_string() const override { return "LX3100"; }

  Lx3100State& state() { return state_; }
  // Sets every channel's calibration pair to (gain, offset) for both gains.
  void set_calibration(uint16_t gain, int16_t offset);
  // Input voltage of a channel; sets the raw codes of both gain codes.
  void set_input_volts(int channel, double volts);

 protected:
  std::optional<std::string> device_command(const std::string& line) override;
  // The CR that ends a sync-in definition: no answer.
  std::optional<std::string> empty_line() override { return std::nullopt; }
  bool scan_setup_ok(int, int, int, int) const override { return true; }
  double channel_rate() const override { return static_cast<double>(state_.rate); }
  bool ram_scan(double samples_per_second) const override;
  bool status_in_count_reply() const override;
  std::uint32_t sample_bytes() const override { return 2; }
  void fill_samples(unsigned channels, std::uint64_t first, std::size_t n,
                    char* out) const override;
  void begin_acquisition() override;
  const char* module_name() const override { return "LX-3100"; }
  std::string config_after_transfer(const SdRecording&) const override;
  std::string config_channels(const SdRecording& r) const override;

  Lx3100State state_;
};

}  // namespace korvel::sim
