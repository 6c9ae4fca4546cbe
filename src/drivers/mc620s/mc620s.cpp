#include "drivers/mc620s/mc620s.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "core/errors.h"
#include "logging/config_lines.h"

namespace korvel {

namespace {

// A logging run's ring; it also scales the data time-out.
constexpr uint32_t kLogRingBytes = 1460000;
// The rate travels in six digits.
constexpr int kMaxRate = 999999;

// Supported_IO_List row of a card code; 0 ("non", no channels) for any other.
int card_row(char code) {
  switch (code) {
    case '1': return 1;
    case '2': return 2;
    case '3': return 3;
    case '4': return 4;
    case '8': return 5;
    case '9': return 6;
    default: return 0;
  }
}

}  // namespace

MC620s::MC620s(const char* ip, int cmd_port_arg, int data_port_arg, const QLXmodule& module_arg)
    : McDevice(ip, cmd_port_arg, data_port_arg, module_arg) {
  ScanSampleRate = 0;
}

bool MC620s::parse_slots(const Reply& r, std::vector<Slot>* slots) const {
  slots->clear();
  if (r.size() == 0) return true;  // no answer: no slots
  unsigned int count = 0;
  if (!r.hex(3, 2, &count) || count > static_cast<unsigned int>(kMaxSlots)) return false;
  for (unsigned int k = 0; k < count; ++k) {
    // A code the reply lacks leaves its entry without a card.
    const SupportedIO& card = Supported_IO_List[card_row(r.at(5 + k))];
    Slot s;
    s.number = static_cast<int>(k);
    s.capacity = static_cast<uint16_t>(card.channels);
    s.module_byte = static_cast<uint8_t>(card.card_id & 0xFF);  // its type id
    slots->push_back(s);
  }
  return true;
}

int MC620s::GetFPGAVersion(char* text) {
  if (text) text[0] = '\0';
  Reply r;
  if (!command(r, "$01F")) return 0;
  std::vector<std::string> parts;
  const char* p = r.from(1);
  for (;;) {
    const char* comma = std::strchr(p, ',');
    parts.emplace_back(p, comma ? static_cast<std::size_t>(comma - p) : std::strlen(p));
    if (!comma) break;
    p = comma + 1;
  }
  if (parts.size() < 2) return fail(KV_ERR_INVALID_VALUE);
  std::string out;
  for (int k = 0; k < SlotCount && static_cast<std::size_t>(k) < parts.size(); ++k) {
    unsigned int v = 0;
    if (std::sscanf(parts[k].c_str(), "%04X", &v) != 1) return fail(KV_ERR_INVALID_VALUE);
    char item[16];
    std::snprintf(item, sizeof item, "V%X", v);
    if (k > 0) out += ',';
    out += item;
  }
  if (text) std::memcpy(text, out.c_str(), out.size() + 1);
  return 1;
}

int MC620s::StartMagicScan() { return run_order("~01S"); }

bool MC620s::check_scan(short, short, short, int rate, unsigned, short, uint16_t* mode) {
  // The rate's field is six digits wide; a longer one would be read wrongly.
  if (rate < 1 || rate > kMaxRate) return fail(KV_ERR_VALUE_RANGE);
  *mode = 0;  // the only mode these controllers have
  return true;
}

bool MC620s::send_slot_param(const Slot& s, int ordinal) {
  Reply r;
  return command(r, "~01PS%02XG%1dC%02XT%1dM%1d", static_cast<unsigned>(ordinal),
                 static_cast<int>(ScanGain), static_cast<unsigned>(s.channels), 0,
                 static_cast<int>(ScanTransferMode));
}

bool MC620s::send_rate(uint32_t rate) {
  Reply r;
  return command(r, "~01R%06ld", static_cast<long>(rate));
}

bool MC620s::send_slot_target(const Slot& s, int ordinal) {
  Reply r;
  return command(r, "~01TS%02X%010lu", static_cast<unsigned>(ordinal),
                 static_cast<unsigned long>(s.target));
}

bool MC620s::read_slot_param(const Slot&, int ordinal, SlotParam* p) {
  Reply r;
  if (!command(r, "~01PS%02X", static_cast<unsigned>(ordinal))) return false;
  unsigned int n = 0;
  p->gain = r.digit(4);
  p->channels = r.hex(6, 2, &n) ? static_cast<int>(n) : -1;
  p->trigger = r.digit(9);
  p->transfer = r.digit(11);
  return true;
}

bool MC620s::read_rate(unsigned long* rate) {
  Reply r;
  if (!command(r, "~01R")) return false;
  return r.number(3, rate) ? true : fail(KV_ERR_INVALID_VALUE);
}

bool MC620s::read_slot_target(const Slot&, int ordinal, unsigned long* target) {
  Reply r;
  if (!command(r, "~01TS%02X", static_cast<unsigned>(ordinal))) return false;
  return r.number(3, target) ? true : fail(KV_ERR_INVALID_VALUE);
}

bool MC620s::read_device_timing(int index, int* value) {
  Reply r;
  if (!command(r, index == 0 ? "~01RP" : "~01D")) return false;
  return std::sscanf(r.from(index == 0 ? 4 : 3), "%d", value) == 1 ? true
                                                                   : fail(KV_ERR_INVALID_VALUE);
}

int MC620s::get_channel_factor(int, int* value) {
  put(value, 0);
  return fail(KV_ERR_INVALID_ARGUMENT);
}

bool MC620s::read_slot_volts(int ordinal, int gain, float* values) {
  Reply r;
  if (!command(r, "#01S%01dG%01d", ordinal, gain)) return fail(KV_ERR_RESPONSE);
  for (int c = 0; c < SlotTable[ordinal].capacity; ++c) {
    const std::size_t at = 1 + 7 * static_cast<std::size_t>(c);
    if (r.size() < at + 7) return fail(KV_ERR_RESPONSE);
    char field[8] = {};
    std::memcpy(field, r.text + at, 7);
    if (std::sscanf(field, "%f", &values[c]) != 1) return fail(KV_ERR_RESPONSE);
  }
  return true;
}

bool MC620s::read_slot_codes(int ordinal, int, int* codes) {
  Reply r;
  r.limit = kLongReplyCapacity;  // every card's codes: up to 513 characters
  if (!command(r, "#01H")) return fail(KV_ERR_RESPONSE);
  // Every slot's codes in ordinal order: this slot's follow the cards before it.
  std::size_t first = 0, total = 0;
  for (int k = 0; k < SlotCount; ++k) {
    if (k < ordinal) first += SlotTable[k].capacity;
    total += SlotTable[k].capacity;
  }
  // A reply of another length is not this device's answer to "#01H".
  if (r.size() != 1 + 4 * total) return fail(KV_ERR_RESPONSE);
  for (int c = 0; c < SlotTable[ordinal].capacity; ++c) {
    unsigned int v = 0;
    if (!r.hex(1 + 4 * (first + static_cast<std::size_t>(c)), 4, &v)) return fail(KV_ERR_RESPONSE);
    codes[c] = static_cast<int16_t>(static_cast<uint16_t>(v));
  }
  return true;
}

ReceivePlan MC620s::receive_plan(const ScanSettings& s, RunKind kind, uint32_t link) const {
  // Records: one per receive as the slot sends them (a receive may still
  // end inside one); never cut to a count of samples.
  if (kind == RunKind::Log && sends_records(s.trigger_mode)) return ReceivePlan{kRecordBytes, 0};
  // One scan of the slot per receive; less only for the last, shorter part.
  const std::vector<int> slots = active_slots();
  const uint32_t n = link < slots.size() ? SlotTable[slots[link]].channels : 1u;
  return ReceivePlan{n * module.sample_bytes, n - 1};
}

void MC620s::adjust_profile(RunKind kind, const ScanSettings& s, RunProfile& profile) const {
  McDevice::adjust_profile(kind, s, profile);
  if (kind == RunKind::Log && sends_records(s.trigger_mode)) profile.ack_unit = kRecordBytes;
}

void MC620s::timed_out(bool quiet) {
  std::printf(quiet ? "Time Out 0\n" : "Time Out 1\n");
  std::fflush(stdout);
}

// Logging runs.

int MC620s::StartLogger(const char* path, int period, int mode) {
  LoggerMode = mode;
  if (cmd_socket < 0) return fail(KV_ERR_OPEN_DEVICE);
  // One run at a time: a scan or logging run still owns the worker.
  if (engine_.run_exists()) return fail(KV_ERR_BUSY_SAMPLING);
  if (!data_connections_ready()) return fail(KV_ERR_OPEN_DEVICE);
  LogFilePeriod = period;
  if (!ScanParamsSet)
    SetScanParam(static_cast<short>(ScanChannelCount), static_cast<short>(ScanGain),
                 static_cast<short>(ScanTriggerMode), static_cast<int>(ScanSampleRate),
                 ScanSampleCount, static_cast<short>(ScanTransferMode), 0);
  if (active_slots().empty()) return fail(KV_ERR_INPUT_CHANNEL);
  records_run_ = sends_records(ScanTriggerMode);
  std::vector<uint16_t> lane_channels;
  for (int k : active_slots()) {
    lane_channels.push_back(SlotTable[k].channels);
    // A record has eight values: more channels in a slot would be logged
    // with values the device never sent.
    if (records_run_ && SlotTable[k].channels > kRecordValues) return fail(KV_ERR_INPUT_CHANNEL);
  }
  engine_.set_received(0);
  engine_.set_device_count(0);
  ContinuousScan = ScanSampleCount == 0;
  // A run of records holds as many scans as the table of record times.
  ADBufferSize = records_run_ ? kRecordTimeEntries * ScanChannelCount * module.sample_bytes
                              : kLogRingBytes;
  LogRun run;
  run.root = path;
  run.period_minutes = period;
  run.mode = mode;
  run.grouping = LogFolders.grouping;
  run.ip = ip_address;
  run.scan = scan_settings();
  run.records = records_run_;
  if (!logger_.prepare(run)) return 0;
  if (!LANBuffer_Init()) {
    logger_.abandon();
    return 0;
  }
  if (records_run_) records_.start(lane_channels, ScanChannelCount);
  // About 2.5 times the time the ring takes to fill.
  const double per_second = static_cast<double>(ScanSampleRate) * ScanChannelCount;
  const double base = per_second > 0 ? kLogRingBytes * 2.5 / per_second : 1.0;
  const uint32_t timeout_base = base < 1.0 ? 1 : base >= 4.0e9 ? UINT32_MAX : static_cast<uint32_t>(base);
  std::vector<DataLink> links;
  for (int k : active_slots()) links.push_back(DataLink{SlotTable[k].socket, SlotTable[k].target});
  if (!engine_.start(RunKind::Log, run.scan, timeout_base, std::move(links), &log_sink_)) {
    LANBuffer_Uninit();
    logger_.abandon();
    return fail(KV_ERR_OUT_OF_MEMORY);
  }
  if (!StartMagicScan()) {
    // Not started as far as we know: no worker may wait for its data.
    const unsigned int code = static_cast<unsigned int>(get_last_error());
    engine_.stop();
    LANBuffer_Uninit();
    logger_.abandon();
    withdraw_start(*this, code);
    return fail(code);
  }
  return 1;
}

void MC620s::StopLogger() {
  if (engine_.on_worker_thread()) {
    set_last_error(KV_ERR_NOT_SUPPORTED);
    return;
  }
  if (!engine_.run_exists() || engine_.kind() != RunKind::Log) return;
  engine_.request_stop();
  StopMagicScan();
  engine_.stop();
  logger_.close();
  LANBuffer_Uninit();
}

void MC620s::stop_all_runs() {
  const bool logging = engine_.run_exists() && engine_.kind() == RunKind::Log;
  McDevice::stop_all_runs();
  if (logging) logger_.close();
}

void MC620s::SaveStartSamplingTimetoConfigFile() { logger_.save_start_time(); }

bool MC620s::LogSink::store(uint32_t link, const char* data, uint32_t bytes) {
  if (owner_.records_run_) return owner_.records_.feed(link, data, bytes);
  if (!owner_.store(link, data, bytes)) return false;
  // Everything the slots have completed so far, in scan order.
  const uint32_t samples = owner_.available();
  if (samples == 0) return true;
  const uint32_t width = owner_.module.sample_bytes;
  merged_.resize(static_cast<std::size_t>(samples) * width);
  const uint32_t n = owner_.engine_.ring().read(merged_.data(), samples, width);
  return owner_.logger_.store(0, merged_.data(), n * width);
}

std::vector<std::string> MC620s::log_config_lines() {
  const ScanConfigValues v = config_values(module.name, ip_address);
  std::vector<std::string> lines;
  config_lines_to_gain(lines, v);
  config_lines_to_transfer(lines, v);
  for (int c = 0; c < ScanChannelCount; ++c) add_config_line(lines, "CH%d", c);
  // No calibration: every channel's pair is the identity.
  for (int c = 0; c < ScanChannelCount; ++c) add_config_line(lines, "CH%d,Gain,32768, Offset,0", c);
  return lines;
}

bool MC620s::log_start_time(std::string* text) {
  char buf[kReplyCapacity];
  if (!GetKVStartSamplingTime(buf)) return false;
  *text = buf;
  return true;
}

int MC620s::log_value_text(int32_t raw, unsigned, char* out, std::size_t capacity) {
  return std::snprintf(out, capacity, "%0.3lf", static_cast<double>(raw) / 3276.8);
}

}  // namespace korvel
