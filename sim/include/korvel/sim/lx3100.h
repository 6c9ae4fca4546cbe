// The LX-3100 as the simulator plays it: its command set with real state.
#pragma once

#include <array>
#include <cstdint>
#include <cstdint>
#include <optional>
#include <string>

#include "korvel/sim/device.h"
#include "korvel/sim/sync_in.h"

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

  // Scan configuration as the device holds it.
  int gain = 0;
  int channels = 8;
  int trigger_mode = 0;
  int transfer_mode = 0;
  long rate = 100;
  unsigned long sample_count = 0;
  int option = 0;
  int rate_exponent = 0;
  int rpf = 0;
  int dt = 1;
  std::array<uint32_t, 8> channel_factor_bits{};
  int analog_trigger_mode = 0;
  unsigned long pre_trigger = 0;
  unsigned long post_trigger = 0;
  std::array<uint16_t, 8> trigger_high{};
  std::array<uint16_t, 8> trigger_low{};
  unsigned long delay = 0;
  // Index reported by "~01XN"; by default the pre-trigger count.
  std::optional<unsigned long> trigger_index;

  SyncInDefinition sync_in;

  // Acquisition.
  bool sampling = false;
  bool ram_mode = false;
  int64_t start_ms = 0;
  std::string start_time;  // "YYYY/MM/DD hh:mm:ss.mmm" of the last "~01S"
  unsigned starts = 0;
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
  std::optional<std::string> scan_command(const std::string& line);
  void start_scan();
  // The device RAM's sample count now, and whether the acquisition in RAM
  // is complete.
  unsigned long ram_count() const;
  void stream_samples(std::uint64_t total, double per_second);
  Lx3100State state_;
};

}  // namespace korvel::sim
