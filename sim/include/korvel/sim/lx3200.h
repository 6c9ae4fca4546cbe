// The LX-3200 as the simulator plays it: four 24-bit inputs with ten
// ranges, two analog outputs, an encoder, 3 digital inputs and 4 outputs.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "korvel/sim/lx24.h"

namespace korvel::sim {

struct Lx3200State : Lx24State {
  static constexpr int kRanges = 10;
  static constexpr int kOutputs = 2;
  static constexpr int kOutputRanges = 4;
  // Nominal full scale of each input range in volts.
  static constexpr std::array<double, kRanges> kNominal = {10.0, 5.0,  2.5,   1.25, 0.625,
                                                           0.3,  0.15, 0.075, 0.04, 0.02};

  // Input calibration per channel and range: gain factor (32768 = 1.0) and
  // offset, as the device reports them.
  std::array<std::array<uint16_t, kRanges>, kInputs> cal_gain{};
  std::array<std::array<int16_t, kRanges>, kInputs> cal_offset{};
  // Actual full scale of each range in thousandths of a volt (10.012 V is
  // 10012), reported with every channel's table.
  std::array<uint16_t, kRanges> full_scale_mv{};
  // Output calibration per output and range.
  std::array<std::array<uint16_t, kOutputRanges>, kOutputs> ao_cal_gain{};
  std::array<std::array<int16_t, kOutputRanges>, kOutputs> ao_cal_offset{};
  // Raw 24-bit code (0..0xFFFFFF, two's complement) each input reads in
  // each range.
  std::array<std::array<uint32_t, kRanges>, kInputs> ai_code{};

  // Last write to each analog output: in volts ("#01<ch><range>%+07.3f") or
  // as a code ("#01<ch><range>%04X"); the other one is cleared.
  struct Output {
    int range = 0;
    std::optional<double> volts;
    std::optional<uint16_t> code;
    unsigned writes = 0;
  };
  std::array<Output, kOutputs> ao{};

  // Encoder settings in the driver's terms (the device carries s1 + 1) and
  // its count; setting the mode clears the count.
  int encoder_s1 = 0;  // 0..2
  int encoder_s2 = 0;  // 0..8
  int encoder_s3 = 0;  // 0..3
  uint32_t encoder_count = 0;
};

class Lx3200 : public Lx24Model {
 public:
  Lx3200();
  std::string id_string() const override { return "QLX-3200M"; }

  Lx3200State& state() { return state_; }
  // Sets every input table entry to (gain, offset).
  void set_calibration(uint16_t gain, int16_t offset);
  // Input voltage of a channel; sets the raw code of every range to the one
  // whose calibrated value comes nearest (clipped to the range).
  void set_input_volts(int channel, double volts);
  // Volts of a raw code as a calibrated read gives them, with the actual
  // full scale of the range (not clipped to the nominal one).
  double volts_of(int channel, int range, uint32_t raw) const;

 protected:
  std::optional<std::string> device_command(const std::string& line) override;
  bool scan_setup_ok(int gain, int channels, int trigger, int transfer) const override;
  bool ram_scan(double samples_per_second) const override;
  const char* module_name() const override { return "LX-3200"; }
  std::string config_after_gain(const SdRecording& r) const override;
  std::string config_channels(const SdRecording& r) const override;

 private:
  std::optional<std::string> analog_output(const std::string& line);
  std::optional<std::string> encoder(const std::string& line);

  Lx3200State state_;
};

}  // namespace korvel::sim
