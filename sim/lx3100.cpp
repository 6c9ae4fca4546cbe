#include "korvel/sim/lx3100.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "korvel/sim/signal.h"
#include "korvel/sim/sync_in.h"

namespace korvel::sim {

using namespace lx;

namespace {

uint32_t hex_field(const std::string& s, std::size_t pos) {
  return static_cast<uint32_t>(std::strtoul(s.substr(pos, 8).c_str(), nullptr, 16));
}

}  // namespace

Lx3100::Lx3100() : LxModel(state_) {
  for (int c = 0; c < 8; ++c) {
    for (int g = 0; g < 2; ++g) {
      state_.cal_gain[c][g] = static_cast<uint16_t>(32768 - 40 * c + 13 * g);
      state_.cal_offset[c][g] = static_cast<int16_t>(c - 4 + 2 * g);
    }
    set_input_volts(c, -3.5 + c);
    state_.trigger_high[c] = 0x7FFF;
    state_.trigger_low[c] = 0x8000;
  }
  state_.preset = {0, 10, 200, 3000};
  state_.di_count = {0, 10, 200, 3000};
  state_.sd = default_sd_card(8, 1);
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

bool Lx3100::ram_scan(double samples_per_second) const {
  // Fast enough scans in untriggered modes stream live; the others fill the
  // device's RAM first and are sent on "~01E".
  const int m = state_.trigger_mode;
  return samples_per_second > 8 * 30000.0 || !(m == 0 || m == 1 || m == 7 || m == 8);
}

bool Lx3100::status_in_count_reply() const { return device_->config().firmware >= 776; }

void Lx3100::fill_samples(unsigned channels, std::uint64_t first, std::size_t n,
                          char* out) const {
  fill_stream(channels, first, n, out);
}

void Lx3100::begin_acquisition() {
  Lx3100State& s = state_;
  if (!(s.sync_in.options & 1)) {
    LxModel::begin_acquisition();
    return;
  }
  // Frames, one per scan, as a byte stream acknowledged in 16-bit words.
  const SyncInDefinition def = s.sync_in;
  const std::size_t frame = def.frame_bytes();
  if (frame == 0) return;
  StreamPlan plan;
  plan.unit_bytes = 2;
  plan.units_per_second = device_->config().fast ? 0 : static_cast<double>(s.rate) * frame / 2.0;
  plan.fill = [def, frame](std::uint64_t first, std::size_t n, char* out) {
    std::uint64_t pos = first * 2;
    std::uint64_t cached = UINT64_MAX;
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < 2 * n; ++i, ++pos) {
      const std::uint64_t f = pos / frame;
      if (f != cached) {
        bytes = sync_in_frame(def, f);
        cached = f;
      }
      out[i] = static_cast<char>(bytes[pos % frame]);
    }
  };
  s.ram_mode = false;
  device_->stream_begin(plan, s.window);
}

std::string Lx3100::config_after_transfer(const SdRecording&) const {
  return line_of("Sync Mode,%d", 0);
}

std::string Lx3100::config_channels(const SdRecording& r) const {
  const int g = r.gain == 1 ? 1 : 0;
  std::vector<std::pair<int, int>> gain_offset;
  for (int c = 0; c < std::min(r.channels, 8); ++c)
    gain_offset.emplace_back(state_.cal_gain[c][g], state_.cal_offset[c][g]);
  return gain_offset_lines(gain_offset);
}

std::optional<std::string> Lx3100::device_command(const std::string& line) {
  Lx3100State& s = state_;
  const char* p = line.c_str();
  int a = 0;
  unsigned long u = 0;
  unsigned x = 0, y = 0;
  char tail = 0;
  auto scan = [&](const char* fmt, auto... out) {
    return std::sscanf(p, fmt, out..., &tail) == static_cast<int>(sizeof...(out));
  };

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

  if (line == "~01R") return "!01" + std::to_string(s.rate);
  if (starts(line, "~01R")) {
    if (!scan("~01R%lu%c", &u)) return kRefused;
    s.rate = static_cast<long>(u);
    return kOk;
  }
  if (line == "~01V") return "!01V" + std::to_string(s.rate_exponent);
  if (starts(line, "~01V")) {
    if (!scan("~01V%1d%c", &a)) return kRefused;
    s.rate_exponent = a;
    return std::string("!01");
  }
  if (starts(line, "~01XC")) {
    if (std::sscanf(p, "~01XC%1dH%4XL%4X%c", &a, &x, &y, &tail) == 3 && a >= 0 && a < 8) {
      s.trigger_high[a] = static_cast<uint16_t>(x);
      s.trigger_low[a] = static_cast<uint16_t>(y);
      return kOk;
    }
    if (line.size() == 6) {
      a = line[5] - '0';
      if (a >= 0 && a < 8)
        return "!01C" + std::to_string(a) + "H" + hex(s.trigger_high[a], 4) + "L" +
               hex(s.trigger_low[a], 4);
    }
    return kRefused;
  }
  if (line == "~01Y") return "!01Y" + std::to_string(s.delay);
  if (starts(line, "~01Y")) {
    if (!scan("~01Y%lu%c", &u)) return kRefused;
    s.delay = u;
    return kOk;
  }
  if (starts(line, "~01SIH")) {
    // "~01SIH<mode>O<options>T<count>" then type and size of each item.
    unsigned mode = 0, options = 0, count = 0;
    if (std::sscanf(p, "~01SIH%1XO%2XT%2X", &mode, &options, &count) != 3 || count > 7 ||
        line.size() != 13 + 4 * static_cast<std::size_t>(count))
      return kRefused;
    SyncInDefinition def;
    def.header_mode = mode;
    def.options = options;
    for (unsigned i = 0; i < count; ++i) {
      unsigned type = 0, size = 0;
      if (std::sscanf(p + 13 + 4 * i, "%2X%2X", &type, &size) != 2 || type > 5) return kRefused;
      def.items.push_back({type, size});
    }
    s.sync_in = def;
    return kOk;
  }
  if (line == "~01SI") {
    char r[64];
    int n = std::snprintf(r, sizeof r, "!01H%01XO%02XT%02zX", s.sync_in.header_mode,
                          s.sync_in.options, s.sync_in.items.size());
    for (const SyncInItem& item : s.sync_in.items)
      n += std::snprintf(r + n, sizeof r - static_cast<std::size_t>(n), "%02X%02X", item.type,
                         item.size);
    return std::string(r);
  }
  return kRefused;
}

}  // namespace korvel::sim
