// What the LX devices share: digital I/O, the scan configuration commands
// both answer alike, and the acquisition with its device RAM and stream.
// Each device model adds its own commands and sample format.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "korvel/sim/device.h"

namespace korvel::sim {

// A recording on the device's SD card.
struct SdRecording {
  unsigned long first = 0;    // reported first by "~01SDI"; no meaning to the host
  unsigned long samples = 0;  // over all channels
  int channels = 4;
  // Recorded time as the device writes it, the fields of a struct tm: years
  // since 1900 and months from 0 (126/10/20 is 20 November 2026).
  unsigned year = 126, month = 10, day = 20, hour = 9, minute = 15, second = 0;
  // Scan settings the configuration text states; the gain also picks the
  // calibration entries it carries (LX-3200: the range).
  int gain = 0;
  long sample_rate = 1000;
  // The configuration text the device sends for it: "Key,value" lines, each
  // ending "\n" (a CR would end the reply). Empty: generated from the
  // device's calibration when asked.
  std::string config;
  // Misbehaviour of its download stream, e.g. {StreamFault::Kind::Close, n}
  // cuts the data connection after n samples. Unset: the device's.
  std::optional<StreamFault> fault;
};

// Two things make the device stream a recording's samples on the data port,
// from sample 0 and as fast as the send window allows, acknowledged like a
// scan: the download request "~01SDL<area><index>", right after its reply,
// and, with stream_after_info set, the information request "~01SDI<index>"
// (a host downloading without the configuration file sends no "~01SDL" and
// waits for the samples unasked). Neither streams while a scan samples.
struct SdCard {
  std::vector<SdRecording> recordings;
  bool stream_after_info = false;
};

struct LxState {
  unsigned fpga_version = 123;  // reported in decimal
  unsigned di = 0x5;
  unsigned do_value = 0;  // 4 digital outputs
  unsigned reboots = 0;
  unsigned window = 32768;  // send window set with "~01WS"

  // Scan configuration as the device holds it. trigger_mode is the digit
  // of "~01PG" (or "~01PC" on devices without a gain field).
  int gain = 0;
  int channels = 8;
  int trigger_mode = 0;
  int transfer_mode = 0;
  unsigned long sample_count = 0;
  int option = 0;
  int rpf = 0;
  int dt = 1;
  std::array<uint32_t, 8> channel_factor_bits{};
  int analog_trigger_mode = 0;
  unsigned long pre_trigger = 0;
  unsigned long post_trigger = 0;
  // Index reported by "~01XN"; by default the pre-trigger count.
  std::optional<unsigned long> trigger_index;

  SdCard sd;

  // Acquisition.
  bool sampling = false;
  bool ram_mode = false;
  int64_t start_ms = 0;
  std::string start_time;  // "YYYY/MM/DD hh:mm:ss.mmm" of the last "~01S"
  unsigned starts = 0;
};

class LxModel : public Model {
 public:
  std::optional<std::string> handle(const std::string& line) final;
  // The configuration text of a recording: its own, or the lines the host's
  // logger writes for such a scan, with this device's calibration.
  std::string recording_config(const SdRecording& r) const;
  // "~01SDL" answers "!01", a line end, the configuration text and this
  // trailer, then the CR: the host drops the trailer and the CR, and keeps
  // everything before (at most 1023 bytes with the CR reach it whole).
  static constexpr const char* kConfigTrailer = "END";

 protected:
  explicit LxModel(LxState& state) : lx_(state) {}

  // The device's own commands; every command neither model shares ends
  // here, so this answers unknown commands too.
  virtual std::optional<std::string> device_command(const std::string& line) = 0;
  // Answer to an empty line.
  virtual std::optional<std::string> empty_line() = 0;
  // Whether the scan setup with these fields is accepted.
  virtual bool scan_setup_ok(int gain, int channels, int trigger, int transfer) const = 0;
  // Whether the scan setup carries a gain field ("~01PG%dC%dT%dM%d") or
  // not ("~01PC%dT%dM%d", gain 0); "~01P" reads it back in the same form.
  virtual bool gain_in_scan_setup() const { return true; }
  // A shared command this device does not have: refused before the shared
  // handlers see it.
  virtual bool lacks(const std::string& /*line*/) const { return false; }
  // Samples per second of each channel at the configured rate.
  virtual double channel_rate() const = 0;
  // Whether a scan goes through the device RAM (sent on "~01E") instead of
  // streaming live.
  virtual bool ram_scan(double samples_per_second) const = 0;
  // "~01N" with a status field before the count.
  virtual bool status_in_count_reply() const = 0;
  // Bytes per sample on the data port and the function writing them.
  virtual std::uint32_t sample_bytes() const = 0;
  virtual void fill_samples(unsigned channels, std::uint64_t first, std::size_t n,
                            char* out) const = 0;
  // Begins the acquisition of a started scan: live stream or device RAM.
  virtual void begin_acquisition();
  // Pieces of a recording's configuration text: the family's module name,
  // its lines after "Gain" and after "Transfer Mode" (each ending "\n"), and
  // its per-channel lines.
  virtual const char* module_name() const = 0;
  virtual std::string config_after_gain(const SdRecording&) const { return {}; }
  virtual std::string config_after_transfer(const SdRecording&) const { return {}; }
  virtual std::string config_channels(const SdRecording& r) const = 0;

  void stream_samples(std::uint64_t total, double per_second);
  // The device RAM's sample count now.
  unsigned long ram_count() const;

 private:
  // Commands both devices answer alike; no value when the line is none.
  std::optional<std::string> common_command(const std::string& line);
  // "~01SDC", "~01SDI<index>", "~01SDL<area><index>".
  std::optional<std::string> sd_command(const std::string& line);
  void stream_recording(const SdRecording& r);
  StreamPlan sample_plan(unsigned channels, std::uint64_t total, double per_second) const;
  void start_scan();

  LxState& lx_;
};

namespace lx {

inline const std::string kOk = "!";
inline const std::string kRefused = "?";

std::string hex(unsigned value, int digits);
bool starts(const std::string& s, const char* prefix);
// The hexadecimal digit at pos; -1 when missing or not hex.
int hex_digit(const std::string& s, std::size_t pos);
// The decimal digit at pos into *value; false when missing or not a digit.
bool digit_at(const std::string& s, std::size_t pos, int* value);
// Parses 1..8 hexadecimal digits [from, to) of s.
bool hex_run(const std::string& s, std::size_t from, std::size_t to, std::uint32_t* value);
// The low 24 bits of raw as a signed (two's complement) value.
std::int32_t sign_extend24(std::uint32_t raw);
int64_t now_ms();
// The device's clock as "~01SST" reports a start: "YYYY/MM/DD hh:mm:ss.mmm",
// the milliseconds taken from ms.
std::string start_time_text(int64_t ms);
// printf into a line of its own, "\n" appended.
std::string line_of(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// "CH<c>" for each channel, then "CH<c>,Gain,<gain>, Offset,<offset>" of
// each (gain_offset[c]).
std::string gain_offset_lines(const std::vector<std::pair<int, int>>& gain_offset);
// The card a device comes with: a small recording (4 channels, 1000 scans),
// an empty one and one of all `inputs` channels at gain code `gain`.
SdCard default_sd_card(int inputs, int gain);

}  // namespace lx

}  // namespace korvel::sim
