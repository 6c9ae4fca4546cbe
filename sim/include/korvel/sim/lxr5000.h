// The LX-R5000 as the simulator plays it: four 24-bit inputs with a single
// range, calibrated per channel, and nothing else: no digital I/O,
// counters, analog outputs or encoder.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "korvel/sim/lx24.h"

namespace korvel::sim {

struct Lxr5000State : Lx24State {
  // Samples per second of all channels together that still stream live;
  // faster scans go through the device RAM.
  static constexpr long kLiveLimit = 170664;

  // Calibration per channel, as the device reports it: the full scale in
  // thousandths of a volt (10.012 V is 10012) and the offset in raw codes.
  std::array<uint16_t, kInputs> full_scale_mv{};
  std::array<int32_t, kInputs> offset{};
  // Raw 24-bit code (0..0xFFFFFF, two's complement) each input reads.
  std::array<uint32_t, kInputs> ai_code{};
};

class Lxr5000 : public Lx24Model {
 public:
  Lxr5000();
  std::string id_string() const override { return "QLX-R5000"; }

  Lxr5000State& state() { return state_; }
  // Input voltage of a channel; sets its raw code to the one whose
  // calibrated value comes nearest (clipped to the 24-bit codes).
  void set_input_volts(int channel, double volts);
  // Volts of a raw code as the driver converts it: the sign-extended code
  // plus the channel's offset, times its full scale over 8388607, in single
  // precision.
  float volts_of(int channel, uint32_t raw) const;

 protected:
  std::optional<std::string> device_command(const std::string& line) override;
  bool scan_setup_ok(int gain, int channels, int trigger, int transfer) const override;
  bool gain_in_scan_setup() const override { return false; }
  bool lacks(const std::string& line) const override;
  bool ram_scan(double samples_per_second) const override;
  const char* module_name() const override { return "LX-R5000"; }
  std::string config_channels(const SdRecording& r) const override;

 private:
  Lxr5000State state_;
};

}  // namespace korvel::sim
