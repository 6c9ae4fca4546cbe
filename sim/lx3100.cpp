#include "korvel/sim/lx3100.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace korvel::sim {

namespace {

std::string hex(unsigned value, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*X", digits, value);
  return buf;
}

bool starts(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// Parses the hexadecimal digit at pos; -1 when missing or not hex.
int hex_digit(const std::string& s, std::size_t pos) {
  if (pos >= s.size()) return -1;
  const char c = s[pos];
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

uint32_t hex_field(const std::string& s, std::size_t pos) {
  return static_cast<uint32_t>(std::strtoul(s.substr(pos, 8).c_str(), nullptr, 16));
}

const std::string kOk = "!";
const std::string kRefused = "?";

}  // namespace

Lx3100::Lx3100() {
  for (int c = 0; c < 8; ++c) {
    for (int g = 0; g < 2; ++g) {
      state_.cal_gain[c][g] = static_cast<uint16_t>(32768 - 40 * c + 13 * g);
      state_.cal_offset[c][g] = static_cast<int16_t>(c - 4 + 2 * g);
    }
    set_input_volts(c, -3.5 + c);
  }
  state_.preset = {0, 10, 200, 3000};
  state_.di_count = {0, 10, 200, 3000};
}

void Lx3100::set_calibration(uint16_t gain, int16_t offset) {
  for (int c = 0; c < 8; ++c)
    for (int g = 0; g < 2; ++g) {
      state_.cal_gain[c][g] = gain;
      state_.cal_offset[c][g] = offset;
    }
}

void Lx3100::set_input_volts(int channel, double volts) {
  // The raw code is what an uncalibrated converter reads: the inverse of the
  // channel's calibration, so that a calibrated read gives the volts back.
  for (int g = 0; g < 2; ++g) {
    const double full_scale = g == 0 ? 5.0 : 10.0;
    const double calibrated = volts / full_scale * 32768.0;
    const double gain = state_.cal_gain[channel][g] ? state_.cal_gain[channel][g] : 32768.0;
    long code = std::lround((calibrated - state_.cal_offset[channel][g]) * 32768.0 / gain);
    if (code > 32767) code = 32767;
    if (code < -32768) code = -32768;
    state_.ai_code[channel][g] = static_cast<int16_t>(code);
  }
}

std::optional<std::string> Lx3100::handle(const std::string& line) { return single_point(line); }

std::optional<std::string> Lx3100::single_point(const std::string& line) {
  Lx3100State& s = state_;
  if (line == "Q") {  // reboot: the device goes away without answering
    ++s.reboots;
    return std::nullopt;
  }
  if (line == "$01F") return "!" + std::to_string(s.fpga_version);
  if (starts(line, "$01R0C") && line.size() == 9 && line[7] == 'G') {
    const int c = line[6] - '0', g = line[8] - '0';
    if (c < 0 || c > 7 || g < 0 || g > 1) return kRefused;
    return "!" + hex(s.cal_gain[c][g], 4) + hex(static_cast<uint16_t>(s.cal_offset[c][g]), 4);
  }
  if (starts(line, "#01H") && line.size() == 5) {
    const int g = line[4] - '0';
    if (g < 0 || g > 1) return kRefused;
    std::string r = "!";
    for (int c = 0; c < 8; ++c) r += hex(static_cast<uint16_t>(s.ai_code[c][g]), 4);
    return r;
  }
  if (line == "@01") return "!" + hex(s.do_value & 15, 1) + hex(s.di & 15, 1);
  if (starts(line, "@01D")) {
    const int v = hex_digit(line, 4);
    if (v < 0 || line.size() != 5) return kRefused;
    s.do_value = static_cast<unsigned>(v);
    return kOk;
  }
  if (starts(line, "#01A") && line.size() == 6) {
    const int bit = hex_digit(line, 4);
    if (bit < 0 || bit > 3 || (line[5] != '0' && line[5] != '1')) return kRefused;
    if (line[5] == '1')
      s.do_value |= 1u << bit;
    else
      s.do_value &= ~(1u << bit);
    return kOk;
  }
  if (starts(line, "@01PRE")) {  // DI-counter preset
    const int ch = hex_digit(line, 6);
    if (ch < 0 || ch > 3 || line.size() != 15) return kRefused;
    s.preset[ch] = hex_field(line, 7);
    return kOk;
  }
  if (starts(line, "@01P")) {  // "@01P<ch>" read preset, "@01P<ch><8 hex>" counter preset
    const int ch = hex_digit(line, 4);
    if (ch < 0 || ch > 3) return kRefused;
    if (line.size() == 5) return "!01" + hex(s.preset[ch], 8);
    if (line.size() != 13 || ch != 0) return kRefused;
    s.preset[0] = hex_field(line, 5);
    return kOk;
  }
  if (starts(line, "$015PR")) {  // DI-counter configuration bits
    const int ch = hex_digit(line, 6);
    if (ch < 0 || ch > 3) return kRefused;
    if (line.size() == 7)
      return "!01" + std::to_string(s.di_bits[ch][0]) + std::to_string(s.di_bits[ch][1]);
    if (line.size() != 9) return kRefused;
    s.di_bits[ch] = {line[7] == '1', line[8] == '1'};
    return kOk;
  }
  if (starts(line, "$015")) {  // counter configuration bits
    const int ch = hex_digit(line, 4);
    if (ch != 0) return kRefused;
    if (line.size() == 5)
      return "!01" + std::to_string(s.counter_bits[0]) + std::to_string(s.counter_bits[1]);
    if (line.size() != 7) return kRefused;
    s.counter_bits = {line[5] == '1', line[6] == '1'};
    return kOk;
  }
  if (starts(line, "@01CREC")) {
    if (line.size() == 7) {
      s.di_count = s.preset;
      return kOk;
    }
    const int ch = hex_digit(line, 7);
    if (ch < 0 || ch > 3 || line.size() != 8) return kRefused;
    s.di_count[ch] = s.preset[ch];
    return kOk;
  }
  if (starts(line, "@01REC")) {
    if (line.size() == 6) {
      std::string r = "!01";
      for (uint32_t v : s.di_count) r += hex(v, 8);
      return r;
    }
    const int ch = hex_digit(line, 6);
    if (ch < 0 || ch > 3 || line.size() != 7) return kRefused;
    return "!01" + hex(s.di_count[ch], 8);
  }
  if (starts(line, "@01C")) {
    if (line.size() == 4 || (line.size() == 5 && line[4] == '0')) {
      s.counter = s.preset[0];
      return kOk;
    }
    return kRefused;
  }
  if (starts(line, "@01G")) {
    if (line.size() == 4 || (line.size() == 5 && line[4] == '0')) return "!01" + hex(s.counter, 8);
    return kRefused;
  }
  if (starts(line, "~01WS") && line.size() == 11) {
    s.window = static_cast<unsigned>(std::strtoul(line.c_str() + 5, nullptr, 10));
    return kOk;
  }
  return kRefused;
}

}  // namespace korvel::sim
