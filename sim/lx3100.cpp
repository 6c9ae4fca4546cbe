#include "korvel/sim/lx3100.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "korvel/sim/signal.h"
#include "korvel/sim/sync_in.h"

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

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
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
    state_.trigger_high[c] = 0x7FFF;
    state_.trigger_low[c] = 0x8000;
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

std::optional<std::string> Lx3100::handle(const std::string& line) {
  if (line.empty()) return std::nullopt;  // the CR after a sync-in definition
  if (starts(line, "~01")) return scan_command(line);
  return single_point(line);
}

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
  return kRefused;
}

unsigned long Lx3100::ram_count() const {
  const Lx3100State& s = state_;
  if (!s.sampling) return 0;
  if (device_->config().fast) return s.sample_count;
  const double per_ms = static_cast<double>(s.rate) * s.channels / 1000.0;
  const auto acquired = static_cast<unsigned long>(static_cast<double>(now_ms() - s.start_ms) * per_ms);
  return s.sample_count ? std::min(acquired, s.sample_count) : acquired;
}

void Lx3100::stream_samples(std::uint64_t total, double per_second) {
  const unsigned channels = static_cast<unsigned>(state_.channels);
  StreamPlan plan;
  plan.total_units = total;
  plan.units_per_second = device_->config().fast ? 0 : per_second;
  plan.unit_bytes = 2;
  plan.fill = [channels](std::uint64_t first, std::size_t n, char* out) {
    fill_stream(channels, first, n, out);
  };
  device_->stream_begin(plan, state_.window);
}

void Lx3100::start_scan() {
  Lx3100State& s = state_;
  s.sampling = true;
  ++s.starts;
  s.start_ms = now_ms();
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char text[48];
  std::snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(s.start_ms % 1000));
  s.start_time = text;
  const double per_second = static_cast<double>(s.rate) * s.channels;
  const int m = s.trigger_mode;
  if (s.sync_in.options & 1) {
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
    return;
  }
  // Fast enough scans in untriggered modes stream live; the others fill
  // the device's RAM first and are sent on "~01E".
  s.ram_mode = per_second > 8 * 30000.0 || !(m == 0 || m == 1 || m == 7 || m == 8);
  if (!s.ram_mode) stream_samples(s.sample_count, per_second);
}

std::optional<std::string> Lx3100::scan_command(const std::string& line) {
  Lx3100State& s = state_;
  const char* p = line.c_str();
  int a = 0, b = 0, c = 0, d = 0;
  unsigned long u = 0, v = 0;
  unsigned x = 0, y = 0;
  char tail = 0;
  auto scan = [&](const char* fmt, auto... out) {
    return std::sscanf(p, fmt, out..., &tail) == static_cast<int>(sizeof...(out));
  };
  if (line == "~01P") return "!01G" + std::to_string(s.gain) + "C" + std::to_string(s.channels) + "T" +
                              std::to_string(s.trigger_mode) + "M" + std::to_string(s.transfer_mode);
  if (starts(line, "~01PG")) {
    if (!scan("~01PG%dC%dT%dM%d%c", &a, &b, &c, &d)) return kRefused;
    s.gain = a;
    s.channels = b;
    s.trigger_mode = c;
    s.transfer_mode = d;
    return kOk;
  }
  if (starts(line, "~01RPF")) {
    if (!scan("~01RPF%d%c", &a)) return kRefused;
    s.rpf = a;
    return kOk;
  }
  if (line == "~01RP") return "!01F" + std::to_string(s.rpf);
  if (line == "~01R") return "!01" + std::to_string(s.rate);
  if (starts(line, "~01R")) {
    if (!scan("~01R%lu%c", &u)) return kRefused;
    s.rate = static_cast<long>(u);
    return kOk;
  }
  if (line == "~01T") return "!01" + std::to_string(s.sample_count);
  if (starts(line, "~01T")) {
    if (!scan("~01T%lu%c", &u)) return kRefused;
    s.sample_count = u;
    return kOk;
  }
  if (line == "~01A") return "!01" + std::to_string(s.option);
  if (starts(line, "~01A")) {
    if (!scan("~01A%d%c", &a)) return kRefused;
    s.option = a;
    return kOk;
  }
  if (line == "~01V") return "!01V" + std::to_string(s.rate_exponent);
  if (starts(line, "~01V")) {
    if (!scan("~01V%1d%c", &a)) return kRefused;
    s.rate_exponent = a;
    return std::string("!01");
  }
  if (line == "~01DT") return "!01" + std::to_string(s.dt);
  if (starts(line, "~01DT")) {
    if (!scan("~01DT%d%c", &a)) return kRefused;
    s.dt = a;
    return kOk;
  }
  if (starts(line, "~01ED")) {
    if (std::sscanf(p, "~01ED%2dG%8X%c", &a, &x, &tail) == 2 && a >= 0 && a < 8) {
      s.channel_factor_bits[a] = x;
      return std::string("!01");
    }
    if (line.size() == 7 && std::sscanf(p, "~01ED%2d", &a) == 1 && a >= 0 && a < 8)
      return "!01" + hex(s.channel_factor_bits[a], 8);
    return kRefused;
  }
  if (line == "~01XM") {
    char r[48];
    std::snprintf(r, sizeof r, "!01XM%01dL%08luR%08lu", s.analog_trigger_mode, s.pre_trigger,
                  s.post_trigger);
    return std::string(r);
  }
  if (starts(line, "~01XM")) {
    if (!scan("~01XM%1dL%8luR%8lu%c", &a, &u, &v)) return kRefused;
    s.analog_trigger_mode = a;
    s.pre_trigger = u;
    s.post_trigger = v;
    return kOk;
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
  if (line == "~01XN") return "!01" + std::to_string(s.trigger_index.value_or(s.pre_trigger));
  if (line == "~01Y") return "!01Y" + std::to_string(s.delay);
  if (starts(line, "~01Y")) {
    if (!scan("~01Y%lu%c", &u)) return kRefused;
    s.delay = u;
    return kOk;
  }
  if (starts(line, "~01WS")) {
    if (!scan("~01WS%lu%c", &u)) return kRefused;
    s.window = static_cast<unsigned>(u);
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
  if (line == "~01SST") {
    if (s.start_time.empty()) return kRefused;
    return "!01S" + s.start_time;
  }
  if (line == "~01S") {
    start_scan();
    return kOk;
  }
  if (line == "~01Z") {
    s.sampling = false;
    device_->stream_end();
    return kOk;
  }
  if (line == "~01N") {
    const unsigned long count = ram_count();
    const bool complete = s.sampling && s.sample_count != 0 && count >= s.sample_count;
    char r[48];
    if (device_->config().firmware >= 776)
      std::snprintf(r, sizeof r, "!01%02d%lu", complete ? 1 : 0, count);
    else
      std::snprintf(r, sizeof r, "!01%lu", count);
    return std::string(r);
  }
  if (line == "~01E") {
    if (!s.sampling || !s.ram_mode || device_->stream_active_locked()) return kRefused;
    // The RAM's contents go out as fast as the window allows; a continuous
    // acquisition keeps streaming at its rate.
    if (s.sample_count)
      stream_samples(s.sample_count, 0);
    else
      stream_samples(0, static_cast<double>(s.rate) * s.channels);
    return kOk;
  }
  return kRefused;
}

}  // namespace korvel::sim
