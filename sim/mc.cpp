#include "korvel/sim/mc.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "korvel/sim/lx_family.h"

namespace korvel::sim {

namespace {

const std::string kRefused = "?";
const std::string kOk = "!01";

using lx::now_ms;
using lx::starts;

// Exactly n decimal digits at pos.
bool decimal(const std::string& s, std::size_t pos, std::size_t n, unsigned long* value) {
  if (pos + n > s.size() || n == 0) return false;
  unsigned long v = 0;
  for (std::size_t i = pos; i < pos + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + static_cast<unsigned long>(s[i] - '0');
  }
  *value = v;
  return true;
}

int digit(const std::string& s, std::size_t pos) {
  unsigned long v = 0;
  return decimal(s, pos, 1, &v) ? static_cast<int>(v) : -1;
}

// Exactly n hexadecimal digits at pos (n <= 8).
bool hexadecimal(const std::string& s, std::size_t pos, std::size_t n, std::uint32_t* value) {
  if (pos + n > s.size() || n == 0 || n > 8) return false;
  std::uint32_t v = 0;
  for (std::size_t i = pos; i < pos + n; ++i) {
    const char c = s[i];
    int d = -1;
    if (c >= '0' && c <= '9') d = c - '0';
    if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    if (d < 0) return false;
    v = v << 4 | static_cast<std::uint32_t>(d);
  }
  *value = v;
  return true;
}

std::string hex4(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04X", v & 0xFFFFu);
  return buf;
}

// A well-mixed 64-bit value of x (splitmix64's finaliser).
std::uint64_t mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// Scans per piece of an out-of-step stream on average: the same for every
// slot, so that a receiver taking one block per slot in turn keeps the
// slots within a piece or two of each other.
constexpr std::uint64_t kScansPerPiece = 37;
constexpr int kSlotStartDelayMs = 4;  // slot ordinal k starts k times this later

}  // namespace

std::int16_t slot_code(unsigned channel, std::uint64_t scan) {
  channel &= 127u;
  const unsigned period = 200 + 13 * channel;
  const double amplitude = 4000.0 + 150.0 * (channel % 41);
  // A phase of its own too, so that the channels differ at scan 0.
  const double sine = amplitude * std::sin(2.0 * M_PI * static_cast<double>(scan % period) / period +
                                           0.9 * channel);
  const long ramp = static_cast<long>(scan % 1009) * 8 - 4032;
  const long v = std::lround(sine) + ramp;  // within +-14032
  return static_cast<std::int16_t>((v & ~0x7FL) | static_cast<long>(channel));
}

double mc_record_value(unsigned channel, std::uint64_t r) {
  const long code = slot_code(channel, r) + 32768L;  // 0..65535
  return static_cast<double>(code * 80 / 65536) / 8.0;
}

std::string mc_record(unsigned first, unsigned channels, int ordinal, std::uint64_t r) {
  const std::uint64_t t = 12 * 3600 + r;
  char buf[kMcRecordBytes + 16];
  int n = std::snprintf(buf, sizeof buf, "%02u:%02u:%02u,%010llu,%02d",
                        static_cast<unsigned>(t / 3600 % 24), static_cast<unsigned>(t / 60 % 60),
                        static_cast<unsigned>(t % 60),
                        static_cast<unsigned long long>(r % 10000000000ull), ordinal % 100);
  for (unsigned c = 0; c < 8; ++c)
    n += std::snprintf(buf + n, sizeof buf - static_cast<std::size_t>(n), ",%.3f",
                       c < channels ? mc_record_value(first + c, r) : 0.0);
  return std::string(buf, static_cast<std::size_t>(n));
}

int mc620_card_channels(char code) {
  switch (code) {
    case '1': return 8;
    case '2': return 12;
    case '3': return 8;
    case '4': return 12;
    case '8': return 8;
    case '9': return 16;
    default: return 0;
  }
}

McModel::McModel(bool wide) { state_.wide = wide; }

void McModel::attach(Device* device) {
  Model::attach(device);
  McState& s = state_;
  s.slots = device->config().slots;
  s.physical.clear();
  s.card_channels.clear();
  if (s.wide) {
    if (s.slots.empty()) s.slots = "193";
    for (std::size_t k = 0; k < s.slots.size(); ++k) {
      s.physical.push_back(static_cast<int>(k));
      s.card_channels.push_back(mc620_card_channels(s.slots[k]));
    }
  } else {
    if (s.slots.empty()) s.slots = "11010000";
    s.slots.resize(8, '0');
    for (int slot = 0; slot < 8; ++slot) {
      if (s.slots[static_cast<std::size_t>(slot)] != '1') continue;
      s.physical.push_back(slot);
      s.card_channels.push_back(8);
    }
  }
  const std::size_t n = s.physical.size();
  s.cal_gain.assign(n, {});
  s.cal_offset.assign(n, {});
  s.fpga.assign(n, 0);
  s.scan.assign(n, {});
  s.trigger.assign(n, {});
  for (std::size_t k = 0; k < n; ++k) {
    s.fpga[k] = 0x0123 + 0x10 * static_cast<unsigned>(k);
    for (int c = 0; c < 8; ++c) {
      // 37 is prime to 401: every slot and channel gets a factor of its own.
      const int index = static_cast<int>(k) * 8 + c;
      for (int g = 0; g < 2; ++g) {
        s.cal_gain[k][c][g] = static_cast<std::uint16_t>(32768 + (index * 37) % 401 - 200 + 11 * g);
        s.cal_offset[k][c][g] = static_cast<std::int16_t>(index % 13 - 6 + g);
      }
      s.trigger[k].high[c] = 0x7FFF;
      s.trigger[k].low[c] = 0x8000;
    }
  }
}

int McModel::ordinal_of(int slot) const {
  for (std::size_t k = 0; k < state_.physical.size(); ++k)
    if (state_.physical[k] == slot) return static_cast<int>(k);
  return -1;
}

unsigned McModel::scan_first_channel(int k) const {
  unsigned first = 0;
  for (int j = 0; j < k; ++j) first += static_cast<unsigned>(state_.scan[j].channels);
  return first;
}

unsigned McModel::card_first_channel(int k) const {
  unsigned first = 0;
  for (int j = 0; j < k; ++j) first += static_cast<unsigned>(state_.card_channels[j]);
  return first;
}

std::int16_t McModel::stream_sample(int k, std::uint64_t m) const {
  const auto n = static_cast<std::uint64_t>(std::max(1, state_.scan[k].channels));
  return slot_code(scan_first_channel(k) + static_cast<unsigned>(m % n), m / n);
}

double McModel::input_volts(int k, int c, int g) const {
  const int code = slot_code(card_first_channel(k) + static_cast<unsigned>(c), 0);
  if (state_.wide) return code / 3276.8;
  const long v = ((static_cast<long>(code) * state_.cal_gain[k][c][g]) >> 15) + state_.cal_offset[k][c][g];
  // One short of full scale: "-10.0000" would not fit its 7 characters.
  const long clamped = std::clamp(v, -32767L, 32767L);
  return clamped / (g == 0 ? 6553.6 : 3276.8);
}

std::optional<std::string> McModel::handle(const std::string& line) {
  if (auto reply = command(line)) return reply;
  return kRefused;
}

std::optional<std::string> McModel::command(const std::string& line) {
  McState& s = state_;
  const std::size_t count = s.physical.size();
  char buf[64];

  if (line == "$01C") {
    if (s.wide) {
      std::snprintf(buf, sizeof buf, "!01%02X", static_cast<unsigned>(count & 0xFF));
      return buf + s.slots;
    }
    return "!01" + std::to_string(count % 10) + s.slots;
  }
  if (!s.wide && line == "$01FS8") {
    std::string r = ">";
    for (int slot = 0; slot < 8; ++slot) {
      const int k = ordinal_of(slot);
      if (slot) r += ",";
      r += hex4(k < 0 ? 0 : s.fpga[static_cast<std::size_t>(k)]);
    }
    return r;
  }
  if (s.wide && line == "$01F") {
    std::string r = "!";
    for (std::size_t k = 0; k < count; ++k) r += (k ? "," : "") + hex4(s.fpga[k]);
    // The host splits the reply at "," and wants two parts at least.
    for (std::size_t k = count; k < 2; ++k) r += (k ? "," : "") + hex4(0);
    return r;
  }
  if (line == "$01Q") {
    ++s.reboots;
    return kOk;
  }
  if (!s.wide && starts(line, "$01RS") && line.size() == 9 && line[7] == 'G') {
    const int k = ordinal_of(digit(line, 5));
    const int g = digit(line, 8);
    if (k < 0 || digit(line, 6) < 0 || g < 0 || g > 1) return kRefused;
    std::string r = "!";
    for (int c = 0; c < 8; ++c)
      r += hex4(s.cal_gain[k][c][g]) + hex4(static_cast<std::uint16_t>(s.cal_offset[k][c][g]));
    return r;
  }
  if (starts(line, "~01WS")) {
    unsigned long size = 0;
    const int slot = digit(line, 5);
    if (line.size() != 12 || slot < 0 || !decimal(line, 6, 6, &size)) return kRefused;
    s.window = size;
    s.window_slot = slot;
    s.windows.push_back(size);
    return kOk;
  }
  if (starts(line, "~01PS") || starts(line, "~01TS") || (!s.wide && starts(line, "~01RS")) ||
      (s.wide && starts(line, "~01R") && !starts(line, "~01RP")))
    return slot_scan_command(line);
  if (!s.wide && starts(line, "~01XS")) return trigger_command(line);
  if (line == "~01XN") {
    unsigned long pre = 0;
    for (const McSlotTrigger& t : s.trigger) pre += t.pre;
    return kOk + std::to_string(s.trigger_index.value_or(pre));
  }
  if (line == "~01SST") {
    if (s.start_time.empty()) return kRefused;
    return "!01S" + s.start_time;
  }
  if ((s.wide && line == "~01S") || (!s.wide && line.size() == 5 && starts(line, "~01S") && digit(line, 4) >= 0)) {
    s.start_argument = s.wide ? -1 : digit(line, 4);
    start_scan();
    return kOk;
  }
  if (line == "~01Z") {
    s.sampling = false;
    ++s.stops;
    device_->stream_end();
    return kOk;
  }
  if (!s.wide && (starts(line, "~01MS") || starts(line, "~01ME"))) {
    const int v = digit(line, 5);
    if (line.size() != 6 || v < 0) return kRefused;
    (line[4] == 'S' ? s.trig_out_ms : s.trig_out_me) = v;
    return kOk;
  }
  if (line == "~01E") return kOk;
  if (!s.wide && starts(line, "~01NS")) {
    const int k = ordinal_of(digit(line, 5));
    if (line.size() != 6 || k < 0) return kRefused;
    const StreamStats st = device_->stream_stats_locked(s.physical[static_cast<std::size_t>(k)]);
    const unsigned long sent = s.sampling ? static_cast<unsigned long>(st.units_sent) : 0;
    const unsigned long target = s.scan[static_cast<std::size_t>(k)].target;
    std::snprintf(buf, sizeof buf, "!01%02d%lu", target != 0 && sent >= target ? 1 : 0, sent);
    return std::string(buf);
  }
  if (starts(line, "#01")) return read_command(line);
  // Item 5.
  if (starts(line, "~01RPF")) {
    unsigned long v = 0;
    if (line.size() != 11 || !decimal(line, 6, 5, &v)) return kRefused;
    s.rpf = static_cast<int>(v);
    return kOk;
  }
  if (line == "~01RP") {
    std::snprintf(buf, sizeof buf, "!01F%05d", s.rpf);
    return std::string(buf);
  }
  if (starts(line, "~01DT") && line.size() == 10) {
    unsigned long v = 0;
    if (!decimal(line, 5, 5, &v)) return kRefused;
    s.dt = static_cast<int>(v);
    return kOk;
  }
  if ((!s.wide && line == "~01DT") || (s.wide && line == "~01D")) {
    std::snprintf(buf, sizeof buf, "!01%05d", s.dt);
    return std::string(buf);
  }
  // Item 6: s is the slot ordinal here.
  if (!s.wide && starts(line, "~01EDS") && line.size() >= 9 && line[7] == 'C') {
    const int k = digit(line, 6);
    const int c = digit(line, 8);
    if (k < 0 || static_cast<std::size_t>(k) >= count || c < 0 || c > 7) return kRefused;
    std::uint32_t& bits = s.channel_factor_bits[static_cast<std::size_t>(k * 8 + c)];
    if (line.size() == 9) {
      std::snprintf(buf, sizeof buf, "!01%08X", bits);
      return std::string(buf);
    }
    std::uint32_t v = 0;
    if (line.size() != 18 || line[9] != 'G' || !hexadecimal(line, 10, 8, &v)) return kRefused;
    bits = v;
    return kOk;
  }
  return std::nullopt;
}

// "~01PS", "~01TS" and the rate.
std::optional<std::string> McModel::slot_scan_command(const std::string& line) {
  McState& s = state_;
  char buf[64];
  // The slot field: one digit naming the physical slot (MC610s) or two hex
  // digits naming the ordinal (MC620Ws); the fields after it start at `at`.
  auto slot_at = [&](std::size_t pos, std::size_t* at) {
    if (s.wide) {
      std::uint32_t v = 0;
      *at = pos + 2;
      return hexadecimal(line, pos, 2, &v) && v < s.physical.size() ? static_cast<int>(v) : -1;
    }
    *at = pos + 1;
    return ordinal_of(digit(line, pos));
  };
  std::size_t at = 0;

  if (starts(line, "~01PS")) {
    const int k = slot_at(5, &at);
    if (k < 0) return kRefused;
    McSlotScan& scan = s.scan[static_cast<std::size_t>(k)];
    if (line.size() == at) {
      const int trigger = s.reported_trigger_mode.value_or(scan.trigger);
      if (s.wide)
        std::snprintf(buf, sizeof buf, "!01G%1dC%02XT%1dM%1d", scan.gain, scan.channels, trigger,
                      scan.transfer);
      else
        std::snprintf(buf, sizeof buf, "!01G%1dC%1dT%1dM%1d", scan.gain, scan.channels, trigger,
                      scan.transfer);
      return std::string(buf);
    }
    // G<g>C<n>T<t>M<m>, n of one decimal digit (MC610s) or two hex digits.
    const std::size_t nw = s.wide ? 2 : 1;
    if (line.size() != at + 7 + nw || line[at] != 'G' || line[at + 2] != 'C' ||
        line[at + 3 + nw] != 'T' || line[at + 5 + nw] != 'M')
      return kRefused;
    const int g = digit(line, at + 1), t = digit(line, at + 4 + nw), m = digit(line, at + 6 + nw);
    std::uint32_t n = 0;
    if (s.wide) {
      if (!hexadecimal(line, at + 3, 2, &n)) return kRefused;
    } else {
      const int d = digit(line, at + 3);
      if (d < 0) return kRefused;
      n = static_cast<std::uint32_t>(d);
    }
    const bool ok = g >= 0 && t >= 0 && m >= 0 && m <= 1 &&
                    n <= static_cast<std::uint32_t>(s.card_channels[static_cast<std::size_t>(k)]) &&
                    (s.wide || (g <= 1 && t <= 5));
    if (!ok) return kRefused;
    scan = McSlotScan{g, static_cast<int>(n), t, m, scan.target};
    return kOk;
  }
  if (starts(line, "~01TS")) {
    const int k = slot_at(5, &at);
    if (k < 0) return kRefused;
    unsigned long& target = s.scan[static_cast<std::size_t>(k)].target;
    if (line.size() == at) return kOk + std::to_string(target);
    unsigned long v = 0;
    if (line.size() != at + 10 || !decimal(line, at, 10, &v)) return kRefused;
    target = v;
    return kOk;
  }
  // The rate: "~01RS<slot>[<6 digits>]" (MC610s), "~01R[<6 digits>]".
  at = s.wide ? 4 : 6;
  int slot = -1;
  if (!s.wide) {
    slot = digit(line, 5);
    if (slot < 0) return kRefused;
  }
  if (line.size() == at) return kOk + std::to_string(s.rate);
  unsigned long v = 0;
  if (line.size() != at + 6 || !decimal(line, at, 6, &v)) return kRefused;
  s.rate = static_cast<long>(v);
  s.rate_slot = slot;
  return kOk;
}

// "~01XS<slot>M...", "~01XS<slot>C<c>..." (MC610s).
std::optional<std::string> McModel::trigger_command(const std::string& line) {
  McState& s = state_;
  const int k = ordinal_of(digit(line, 5));
  if (k < 0 || line.size() < 7) return kRefused;
  McSlotTrigger& t = s.trigger[static_cast<std::size_t>(k)];
  char buf[64];
  if (line[6] == 'M') {
    if (line.size() == 7) {
      std::snprintf(buf, sizeof buf, "!01%1dM%1dL%luR%lu", s.physical[static_cast<std::size_t>(k)],
                    t.mode, t.pre, t.post);
      return std::string(buf);
    }
    unsigned long pre = 0, post = 0;
    const int mode = digit(line, 7);
    if (line.size() != 26 || mode < 0 || mode > 3 || line[8] != 'L' || line[17] != 'R' ||
        !decimal(line, 9, 8, &pre) || !decimal(line, 18, 8, &post))
      return kRefused;
    t.mode = mode;
    t.pre = pre;
    t.post = post;
    return kOk;
  }
  if (line[6] == 'C') {
    const int c = digit(line, 7);
    if (c < 0 || c > 7) return kRefused;
    if (line.size() == 8) {
      std::snprintf(buf, sizeof buf, "!01H%04XL%04X", t.high[static_cast<std::size_t>(c)],
                    t.low[static_cast<std::size_t>(c)]);
      return std::string(buf);
    }
    std::uint32_t high = 0, low = 0;
    if (line.size() != 18 || line[8] != 'H' || line[13] != 'L' || !hexadecimal(line, 9, 4, &high) ||
        !hexadecimal(line, 14, 4, &low))
      return kRefused;
    t.high[static_cast<std::size_t>(c)] = static_cast<std::uint16_t>(high);
    t.low[static_cast<std::size_t>(c)] = static_cast<std::uint16_t>(low);
    return kOk;
  }
  return kRefused;
}

// Single-point reads: "#01S<s>G<g>", "#01HS<s>G<g>" (MC610s), "#01H" (MC620Ws).
std::optional<std::string> McModel::read_command(const std::string& line) {
  McState& s = state_;
  if (s.wide && line == "#01H") {
    std::string r = "!";
    for (std::size_t k = 0; k < s.physical.size(); ++k)
      for (int c = 0; c < s.card_channels[k]; ++c)
        r += hex4(static_cast<std::uint16_t>(slot_code(card_first_channel(static_cast<int>(k)) + static_cast<unsigned>(c), 0)));
    return r;
  }
  const bool raw = !s.wide && starts(line, "#01HS");
  const std::size_t at = raw ? 5 : 4;  // the slot digit
  if (!raw && !starts(line, "#01S")) return std::nullopt;
  if (line.size() != at + 3 || line[at + 1] != 'G') return kRefused;
  const int slot = digit(line, at);
  const int g = digit(line, at + 2);
  const int k = s.wide ? (slot >= 0 && static_cast<std::size_t>(slot) < s.physical.size() ? slot : -1)
                       : ordinal_of(slot);
  if (k < 0 || g < 0 || (!s.wide && g > 1)) return kRefused;
  std::string r = "!";
  const int channels = s.card_channels[static_cast<std::size_t>(k)];
  for (int c = 0; c < channels; ++c) {
    if (raw) {
      r += hex4(static_cast<std::uint16_t>(slot_code(card_first_channel(k) + static_cast<unsigned>(c), 0)));
    } else {
      char v[32];
      std::snprintf(v, sizeof v, "%+.4f", input_volts(k, c, s.wide ? 0 : g));
      r += v;
    }
  }
  return r;
}

StreamPlan McModel::slot_plan(int k) const {
  const McSlotScan& scan = state_.scan[static_cast<std::size_t>(k)];
  const auto n = static_cast<unsigned>(scan.channels);
  const unsigned first = scan_first_channel(k);
  const Config& config = device_->config();
  StreamPlan plan;
  plan.total_units = scan.target;
  plan.units_per_second = config.fast ? 0 : static_cast<double>(state_.rate) * n;
  plan.unit_bytes = 2;
  plan.fill = [first, n](std::uint64_t m0, std::size_t count, char* out) {
    std::uint64_t scan_no = m0 / n;
    unsigned pos = static_cast<unsigned>(m0 % n);
    for (std::size_t i = 0; i < count; ++i) {
      const auto v = static_cast<std::uint16_t>(slot_code(first + pos, scan_no));
      out[2 * i] = static_cast<char>(v & 0xFF);
      out[2 * i + 1] = static_cast<char>(v >> 8);
      if (++pos == n) {
        pos = 0;
        ++scan_no;
      }
    }
  };
  if (config.out_of_step) {
    // Pieces of about kScansPerPiece scans (in real time at most 50 ms of
    // them, so that a slow scan still arrives steadily), each end moved by
    // up to a third of a piece either way and made odd: receives end
    // mid-sample and mid-scan, and the slots take turns being ahead.
    const std::uint64_t scans =
        config.fast ? kScansPerPiece
                    : std::clamp<std::uint64_t>(static_cast<std::uint64_t>(std::max(0L, state_.rate)) / 20, 1,
                                                kScansPerPiece);
    const std::uint64_t step = std::max<std::uint64_t>(6, scans * n * 2);
    const std::uint64_t seed = mix(0x510Cull + static_cast<std::uint64_t>(k));
    plan.piece_end = [step, seed](std::uint64_t i) {
      const std::uint64_t spread = step / 3;
      const std::uint64_t jitter = mix(seed ^ i) % (2 * spread + 1);
      return ((i + 1) * step + jitter - spread) | 1u;
    };
    plan.start_delay_ms = kSlotStartDelayMs * k;
  }
  return plan;
}

StreamPlan McModel::record_plan(int k) const {
  const McSlotScan& scan = state_.scan[static_cast<std::size_t>(k)];
  const auto n = static_cast<unsigned>(scan.channels);
  const unsigned first = scan_first_channel(k);
  constexpr std::uint64_t kUnits = kMcRecordBytes / 2;
  StreamPlan plan;
  plan.total_units = scan.target * kUnits;
  plan.units_per_second = device_->config().fast ? 0 : static_cast<double>(state_.rate) * kUnits;
  plan.unit_bytes = 2;
  plan.fill = [first, n, k](std::uint64_t u0, std::size_t count, char* out) {
    std::uint64_t pos = u0 * 2;
    std::size_t i = 0;
    while (i < 2 * count) {
      const std::string r = mc_record(first, n, k, pos / kMcRecordBytes);
      const std::size_t from = static_cast<std::size_t>(pos % kMcRecordBytes);
      const std::size_t len = std::min(r.size() - from, 2 * count - i);
      std::copy_n(r.data() + from, len, out + i);
      i += len;
      pos += len;
    }
  };
  plan.piece_end = [](std::uint64_t i) { return (i + 1) * kMcRecordBytes; };
  plan.piece_taken_at_first_ack = true;
  return plan;
}

void McModel::start_scan() {
  McState& s = state_;
  s.sampling = true;
  ++s.starts;
  s.start_ms = now_ms();
  s.start_time = lx::start_time_text(s.start_ms);
  for (std::size_t k = 0; k < s.physical.size(); ++k) {
    if (s.scan[k].channels <= 0) continue;
    const int mode = s.reported_trigger_mode.value_or(s.scan[k].trigger);
    const bool records = s.wide && (mode == 4 || mode == 5);
    const int ordinal = static_cast<int>(k);
    device_->stream_begin(records ? record_plan(ordinal) : slot_plan(ordinal),
                          static_cast<std::uint32_t>(s.window), s.physical[k]);
  }
}

}  // namespace korvel::sim
