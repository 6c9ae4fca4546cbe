// The LX-3100 as the simulator plays it: its command set with real state.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "korvel/sim/device.h"

namespace korvel::sim {

struct Lx3100State {
  // Calibration per channel and gain code, as the device reports it.
  std::array<std::array<uint16_t, 2>, 8> cal_gain{};
  std::array<std::array<int16_t, 2>, 8> cal_offset{};
  // Raw code each input reads at each gain code.
  std::array<std::array<int16_t, 2>, 8> ai_code{};
  unsigned fpga_version = 123;  // reported in decimal
  unsigned di = 0x5;            // 4 digital inputs
  unsigned do_value = 0;        // 4 digital outputs
  std::array<uint32_t, 4> di_count{};
  // One preset register per channel, read with "@01P<ch>"; the counter uses
  // register 0 (written by "@01P0<preset>"), the DI counters all four
  // (written by "@01PRE<ch><preset>").
  std::array<uint32_t, 4> preset{};
  std::array<std::array<int, 2>, 4> di_bits{};
  uint32_t counter = 0;
  std::array<int, 2> counter_bits{};
  unsigned reboots = 0;
  unsigned window = 32768;  // send window set with "~01WS"
};

class Lx3100 : public Model {
 public:
  Lx3100();
  std::string id_string() const override { return "LX3100"; }
  std::optional<std::string> handle(const std::string& line) override;

  Lx3100State& state() { return state_; }
  // Sets every channel's calibration pair to (gain, offset) for both gains.
  void set_calibration(uint16_t gain, int16_t offset);
  // Input voltage of a channel; sets the raw codes of both gain codes.
  void set_input_volts(int channel, double volts);

 protected:
  std::optional<std::string> single_point(const std::string& line);
  Lx3100State state_;
};

}  // namespace korvel::sim
