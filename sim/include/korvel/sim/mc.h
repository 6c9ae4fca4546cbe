// The slot controllers MC610s and MC620Ws as the simulator plays them: cards
// in numbered slots, each populated slot streaming its own samples on a data
// port of its own (data_port + k), with per-slot calibration and scan setup.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "korvel/sim/device.h"

namespace korvel::sim {

// Raw code the controllers stream for global channel `channel` (0..127, the
// channel's index over the whole controller) in scan number `scan`: a sine
// of the channel's own period and amplitude plus a slow ramp, both signs.
// The low 7 bits are the channel number, so two channels never share a code
// in the same scan and a misplaced sample shows.
std::int16_t slot_code(unsigned channel, std::uint64_t scan);

// MC620Ws in trigger modes 4 and 5 (as "~01PS" reports the mode): each slot
// streams text records instead of samples, one per scan, each going out as
// a piece of its own. Record r of a slot whose scan channels start at global
// channel `first` is kMcRecordBytes characters, no terminator:
//   "hh:mm:ss,<r, 10 digits>,<ordinal, 2 digits>,v0,v1,...,v7"
// the time 12:00:00 plus r seconds, v_c "%.3f" of mc_record_value(first + c,
// r) for c < channels and "0.000" for the others.
constexpr std::size_t kMcRecordBytes = 70;
std::string mc_record(unsigned first, unsigned channels, int ordinal, std::uint64_t r);
// A record value: slot_code(channel, r) mapped onto 0..9.875 in steps of
// 1/8, so that its three decimals times 1000 are exact (0, 125, ..., 9875).
double mc_record_value(unsigned channel, std::uint64_t r);

// Channels a card code of the MC620Ws carries (0: no card known).
int mc620_card_channels(char code);

// Scan setup of one slot as "~01PS" and "~01TS" set it.
struct McSlotScan {
  int gain = 0;
  int channels = 0;
  int trigger = 0;
  int transfer = 0;
  unsigned long target = 0;  // samples of a finite scan; 0 streams until "~01Z"
};

// Analog trigger of one slot (MC610s, "~01XS").
struct McSlotTrigger {
  int mode = 0;
  unsigned long pre = 0;
  unsigned long post = 0;
  std::array<std::uint16_t, 8> high{};  // per channel of the slot
  std::array<std::uint16_t, 8> low{};
};

struct McState {
  bool wide = false;  // MC620Ws
  // As configured: MC610s presence characters of physical slots 0..7,
  // MC620Ws card codes in ordinal order.
  std::string slots;
  // Per ordinal: its physical slot (the data port offset) and the channels
  // of its card.
  std::vector<int> physical;
  std::vector<int> card_channels;
  // Per ordinal, channel and gain code (MC610s): Q15 gain factor and offset.
  std::vector<std::array<std::array<std::uint16_t, 2>, 8>> cal_gain;
  std::vector<std::array<std::array<std::int16_t, 2>, 8>> cal_offset;
  std::vector<unsigned> fpga;  // per ordinal
  std::vector<McSlotScan> scan;
  std::vector<McSlotTrigger> trigger;
  long rate = 100;
  int rate_slot = -1;  // slot digit of the last "~01RS" setting (MC610s; 8 = all)
  // Item 6 (MC610s): float patterns per ordinal * 8 + channel.
  std::array<std::uint32_t, 64> channel_factor_bits{};
  // Item 5.
  int rpf = 500;
  int dt = 1;
  int trig_out_ms = 0;  // "~01MS"
  int trig_out_me = 0;  // "~01ME"
  unsigned starts = 0;
  unsigned stops = 0;
  unsigned reboots = 0;
  int start_argument = -1;  // digit of the last "~01S%01d" (MC610s)
  unsigned long window = 32768;
  int window_slot = -1;  // slot digit of the last "~01WS"
  std::vector<unsigned long> windows;  // every "~01WS" size, in order
  // "~01XN" reports this; unset: the sum of the slots' pre counts.
  std::optional<unsigned long> trigger_index;
  // "~01PS<slot>" reports this trigger mode instead of the one set.
  std::optional<int> reported_trigger_mode;
  bool sampling = false;
  std::int64_t start_ms = 0;
  std::string start_time;  // "YYYY/MM/DD hh:mm:ss.mmm" of the last start
};

class McModel : public Model {
 public:
  explicit McModel(bool wide);
  std::string id_string() const override { return state_.wide ? "MC620Ws" : "MC610s"; }
  std::optional<std::string> handle(const std::string& line) override;
  void attach(Device* device) override;
  std::vector<int> data_ports() const override { return state_.physical; }

  McState& state() { return state_; }
  // Ordinal of a slot as commands name it (MC610s: physical; MC620Ws:
  // ordinal); -1 when no slot is there.
  int ordinal_of(int slot) const;
  // First global channel of the scan carried by ordinal k: the channels set
  // for the slots before it.
  unsigned scan_first_channel(int k) const;
  // First global channel of ordinal k's card (single-point reads).
  unsigned card_first_channel(int k) const;
  // Samples the slot of ordinal k sends in a finite scan, in order: its m-th
  // sample is channel first + m % n of scan m / n.
  std::int16_t stream_sample(int k, std::uint64_t m) const;

 private:
  std::optional<std::string> command(const std::string& line);
  std::optional<std::string> slot_scan_command(const std::string& line);
  std::optional<std::string> trigger_command(const std::string& line);
  std::optional<std::string> read_command(const std::string& line);
  void start_scan();
  StreamPlan slot_plan(int k) const;
  StreamPlan record_plan(int k) const;
  // Volts of slot k's channel c (0.. on the card) at gain code g.
  double input_volts(int k, int c, int g) const;

  McState state_;
};

}  // namespace korvel::sim
