#include "korvel/sim/lx_family.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace korvel::sim {

namespace lx {

std::string hex(unsigned value, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*X", digits, value);
  return buf;
}

bool starts(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

int hex_digit(const std::string& s, std::size_t pos) {
  if (pos >= s.size()) return -1;
  const char c = s[pos];
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool digit_at(const std::string& s, std::size_t pos, int* value) {
  if (pos >= s.size() || s[pos] < '0' || s[pos] > '9') return false;
  *value = s[pos] - '0';
  return true;
}

bool hex_run(const std::string& s, std::size_t from, std::size_t to, uint32_t* value) {
  if (to <= from || to - from > 8) return false;
  uint32_t v = 0;
  for (std::size_t i = from; i < to; ++i) {
    const int d = hex_digit(s, i);
    if (d < 0) return false;
    v = v << 4 | static_cast<uint32_t>(d);
  }
  *value = v;
  return true;
}

int32_t sign_extend24(uint32_t raw) {
  raw &= 0xFFFFFF;
  return static_cast<int32_t>(raw ^ 0x800000u) - 0x800000;
}

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string start_time_text(int64_t ms) {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char text[48];
  std::snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(ms % 1000));
  return text;
}

std::string line_of(const char* fmt, ...) {
  char buf[320];
  va_list args;
  va_start(args, fmt);
  const int n = std::vsnprintf(buf, sizeof buf, fmt, args);
  va_end(args);
  const int kept = std::clamp(n, 0, static_cast<int>(sizeof buf) - 1);
  return std::string(buf, static_cast<std::size_t>(kept)) + "\n";
}

std::string gain_offset_lines(const std::vector<std::pair<int, int>>& gain_offset) {
  std::string text;
  for (std::size_t c = 0; c < gain_offset.size(); ++c) text += line_of("CH%zu", c);
  for (std::size_t c = 0; c < gain_offset.size(); ++c)
    text += line_of("CH%zu,Gain,%d, Offset,%d", c, gain_offset[c].first, gain_offset[c].second);
  return text;
}

SdCard default_sd_card(int inputs, int gain) {
  SdCard card;
  SdRecording small;
  small.first = 101;
  small.samples = 4 * 1000;
  small.channels = 4;
  card.recordings.push_back(small);

  SdRecording empty;
  empty.first = 102;
  empty.samples = 0;
  empty.day = 21;
  empty.hour = 13;
  empty.minute = 2;
  empty.second = 7;
  card.recordings.push_back(empty);

  // The last day of a year: the month the host names it by is 12.
  SdRecording all;
  all.first = 103;
  all.channels = inputs;
  all.samples = static_cast<unsigned long>(inputs) * 6000;
  all.gain = gain;
  all.sample_rate = 2000;
  all.month = 11;
  all.day = 31;
  all.hour = 23;
  all.minute = 59;
  all.second = 30;
  card.recordings.push_back(all);
  return card;
}

}  // namespace lx

using namespace lx;

namespace {

// Exactly eight decimal digits from pos to the end of the line.
bool index_at(const std::string& line, std::size_t pos, std::size_t* index) {
  if (line.size() != pos + 8) return false;
  std::size_t v = 0;
  for (std::size_t i = pos; i < line.size(); ++i) {
    if (line[i] < '0' || line[i] > '9') return false;
    v = v * 10 + static_cast<std::size_t>(line[i] - '0');
  }
  *index = v;
  return true;
}

// The software version the recordings' configuration states.
constexpr const char* kRecorderVersion = "1.2.2.3";

}  // namespace

std::optional<std::string> LxModel::handle(const std::string& line) {
  if (line.empty()) return empty_line();
  if (line == "Q") {  // reboot: the device goes away without answering
    ++lx_.reboots;
    return std::nullopt;
  }
  if (lacks(line)) return kRefused;
  if (auto reply = common_command(line)) return reply;
  return device_command(line);
}

std::optional<std::string> LxModel::common_command(const std::string& line) {
  LxState& s = lx_;
  const char* p = line.c_str();
  int a = 0, b = 0, c = 0, d = 0;
  unsigned long u = 0, v = 0;
  unsigned x = 0;
  char tail = 0;
  // True when the whole line matches fmt (the trailing %c must find nothing).
  auto scan = [&](const char* fmt, auto... out) {
    return std::sscanf(p, fmt, out..., &tail) == static_cast<int>(sizeof...(out));
  };

  if (line == "$01F") return "!" + std::to_string(s.fpga_version);
  if (line == "@01") return "!" + hex(s.do_value & 15, 1) + hex(s.di & 15, 1);
  if (starts(line, "@01D")) {
    const int value = hex_digit(line, 4);
    if (value < 0 || line.size() != 5) return kRefused;
    s.do_value = static_cast<unsigned>(value);
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
  if (!starts(line, "~01")) return std::nullopt;

  if (line == "~01P")
    return "!01" + (gain_in_scan_setup() ? "G" + std::to_string(s.gain) : std::string()) + "C" +
           std::to_string(s.channels) + "T" + std::to_string(s.trigger_mode) + "M" +
           std::to_string(s.transfer_mode);
  if (starts(line, "~01PG") || starts(line, "~01PC")) {
    const bool parsed = gain_in_scan_setup() ? scan("~01PG%dC%dT%dM%d%c", &a, &b, &c, &d)
                                             : scan("~01PC%dT%dM%d%c", &b, &c, &d);
    if (!parsed || !scan_setup_ok(a, b, c, d)) return kRefused;
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
  if (line == "~01XN") return "!01" + std::to_string(s.trigger_index.value_or(s.pre_trigger));
  if (starts(line, "~01WS")) {
    if (!scan("~01WS%lu%c", &u)) return kRefused;
    s.window = static_cast<unsigned>(u);
    return kOk;
  }
  if (line == "~01SST") {
    if (s.start_time.empty()) return kRefused;
    return "!01S" + s.start_time;
  }
  if (starts(line, "~01SD")) return sd_command(line);
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
    if (status_in_count_reply())
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
      stream_samples(0, channel_rate() * s.channels);
    return kOk;
  }
  return std::nullopt;
}

unsigned long LxModel::ram_count() const {
  const LxState& s = lx_;
  if (!s.sampling) return 0;
  if (device_->config().fast) return s.sample_count;
  const double per_ms = channel_rate() * s.channels / 1000.0;
  const auto acquired =
      static_cast<unsigned long>(static_cast<double>(lx::now_ms() - s.start_ms) * per_ms);
  return s.sample_count ? std::min(acquired, s.sample_count) : acquired;
}

StreamPlan LxModel::sample_plan(unsigned channels, std::uint64_t total, double per_second) const {
  StreamPlan plan;
  plan.total_units = total;
  plan.units_per_second = device_->config().fast ? 0 : per_second;
  plan.unit_bytes = sample_bytes();
  plan.fill = [this, channels](std::uint64_t first, std::size_t n, char* out) {
    fill_samples(channels, first, n, out);
  };
  return plan;
}

void LxModel::stream_samples(std::uint64_t total, double per_second) {
  device_->stream_begin(sample_plan(static_cast<unsigned>(lx_.channels), total, per_second),
                        lx_.window);
}

std::optional<std::string> LxModel::sd_command(const std::string& line) {
  const std::vector<SdRecording>& card = lx_.sd.recordings;
  if (line == "~01SDC") return "!01" + std::to_string(card.size());
  std::size_t index = 0;
  if (starts(line, "~01SDI")) {
    if (!index_at(line, 6, &index) || index >= card.size()) return kRefused;
    const SdRecording& r = card[index];
    char reply[160];
    std::snprintf(reply, sizeof reply, "!01%lu:%lu:%u/%u/%u-%u:%u:%u:", r.first, r.samples, r.year,
                  r.month, r.day, r.hour, r.minute, r.second);
    if (lx_.sd.stream_after_info && !lx_.sampling) stream_recording(r);
    return std::string(reply);
  }
  if (starts(line, "~01SDL")) {
    int area = 0;  // which of the card's areas: any digit, one card
    // The converter and the data port are the scan's while it samples.
    if (lx_.sampling || !digit_at(line, 6, &area) || !index_at(line, 7, &index) ||
        index >= card.size())
      return kRefused;
    const SdRecording& r = card[index];
    stream_recording(r);  // goes out after the reply: the loop sends it later
    return "!01\n" + recording_config(r) + kConfigTrailer;
  }
  return kRefused;
}

void LxModel::stream_recording(const SdRecording& r) {
  if (device_ == nullptr || r.samples == 0) return;
  StreamPlan plan = sample_plan(static_cast<unsigned>(std::max(1, r.channels)), r.samples, 0);
  plan.fault = r.fault;
  device_->stream_begin(plan, lx_.window);
}

std::string LxModel::recording_config(const SdRecording& r) const {
  if (!r.config.empty()) return r.config;
  std::string text = line_of("Module Name,%s", module_name());
  text += line_of("SDKVersion,%s", kRecorderVersion);
  text += line_of("IP,%s", device_ ? device_->config().address.c_str() : "");
  text += line_of("Gain,%d", r.gain);
  text += config_after_gain(r);
  text += line_of("Channel Count,%d", r.channels);
  text += line_of("Sample Rate,%ld", r.sample_rate);
  text += line_of("Sample Count,%lu", r.samples);
  text += line_of("External Trigger,%d", 0);
  text += line_of("Transfer Mode,%d", 0);
  text += config_after_transfer(r);
  return text + config_channels(r);
}

void LxModel::start_scan() {
  LxState& s = lx_;
  s.sampling = true;
  ++s.starts;
  s.start_ms = lx::now_ms();
  s.start_time = lx::start_time_text(s.start_ms);
  begin_acquisition();
}

void LxModel::begin_acquisition() {
  LxState& s = lx_;
  const double per_second = channel_rate() * s.channels;
  s.ram_mode = ram_scan(per_second);
  if (!s.ram_mode) stream_samples(s.sample_count, per_second);
}

}  // namespace korvel::sim
