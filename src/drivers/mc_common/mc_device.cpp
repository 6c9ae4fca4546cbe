// Connection, slot table, scan configuration and single-point reads of the
// slot-based controllers.
#include "drivers/mc_common/mc_device.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "core/errors.h"
#include "net/clock.h"
#include "net/transport.h"

namespace korvel {

namespace {

constexpr uint32_t kMaxSampleCount = 30000000;

}  // namespace

std::vector<uint16_t> distribute_channels(uint32_t channels,
                                          const std::vector<uint16_t>& capacity) {
  std::vector<uint16_t> out;
  out.reserve(capacity.size());
  for (uint16_t cap : capacity) {
    const uint16_t n = static_cast<uint16_t>(std::min<uint32_t>(cap, channels));
    out.push_back(n);
    channels -= n;
  }
  return out;
}

std::vector<uint32_t> distribute_samples(uint32_t total, const std::vector<uint16_t>& channels) {
  uint32_t c = 0;
  for (uint16_t n : channels) c += n;
  std::vector<uint32_t> out(channels.size(), 0);
  if (c == 0) return out;
  const uint32_t scans = total / c;
  uint32_t rest = total % c;
  for (std::size_t s = 0; s < channels.size(); ++s) {
    out[s] = scans * channels[s];
    if (channels[s] <= rest) {
      out[s] += channels[s];
      rest -= channels[s];
    } else {
      out[s] += rest;
      rest = 0;
    }
  }
  return out;
}

McDevice::McDevice(const char* ip, int cmd_port_arg, int data_port_arg,
                   const QLXmodule& module_arg)
    : MODEL(ip, cmd_port_arg, data_port_arg, module_arg), data_port(data_port_arg) {
  for (int k = 0; k < kMaxSlots; ++k) SlotTable[k].data_port = data_port + k;
}

McDevice::~McDevice() {
  // The worker must be gone before the sockets it reads are closed.
  engine_.stop();
  close_sockets();
}

bool McDevice::command(Reply& reply, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const bool ok = vsend_command(*this, reply, kCommandTimeoutMs, format, args);
  va_end(args);
  return ok;
}

void McDevice::close_sockets() {
  if (cmd_socket >= 0) CloseTcp(cmd_socket);
  cmd_socket = -1;
  for (Slot& s : SlotTable) {
    if (s.socket >= 0) CloseTcp(s.socket);
    s.socket = -1;
  }
}

bool McDevice::load_slots(const Reply& r) {
  std::vector<Slot> slots;
  if (!parse_slots(r, &slots)) return false;
  SlotCount = static_cast<int>(slots.size());
  uint32_t total = 0;
  for (int k = 0; k < SlotCount; ++k) {
    const int port = SlotTable[k].data_port;
    SlotTable[k] = slots[k];
    SlotTable[k].data_port = port;
    total += slots[k].capacity;
  }
  module.ai_count = static_cast<uint16_t>(total);
  // The slots carry the default scan's channels until a scan is configured.
  assign_slots(distribute_channels(ScanChannelCount, capacities()),
               std::vector<uint32_t>(slots.size(), 0));
  return true;
}

int McDevice::ConnectServer() {
  cmd_socket = OpenTcp(ip_address, cmd_port, 1);
  if (cmd_socket < 0) {
    cmd_socket = -1;
    std::printf(" [%s::ConnectServer] cmd port error\n", console_name());
    std::fflush(stdout);
    return fail(KV_ERR_OPEN_DEVICE);
  }
  Reply r;
  // A failed exchange leaves no slots, which the driver's rule then judges.
  const bool answered = command(r, "$01C");
  if (!load_slots(answered ? r : Reply{})) {
    close_sockets();
    std::printf(" [%s::ConnectServer] data port error\n", console_name());
    std::fflush(stdout);
    return fail(KV_ERR_OPEN_DEVICE);
  }
  for (int k = 0; k < SlotCount; ++k) {
    Slot& s = SlotTable[k];
    s.socket = OpenTcp_DataPort(ip_address, data_port + data_port_offset(s, k), 1);
    if (s.socket < 0) {
      s.socket = -1;
      close_sockets();
      std::printf(" [%s::ConnectServer] data port error\n", console_name());
      std::fflush(stdout);
      return fail(KV_ERR_OPEN_DEVICE);
    }
  }
  if (!after_connect()) {
    const unsigned int code = static_cast<unsigned int>(get_last_error());
    close_sockets();
    return fail(code);
  }
  return 1;
}

int McDevice::DisconnectServer() {
  engine_.stop();
  close_sockets();
  return 1;
}

int McDevice::ReBoot() {
  Reply r;
  command(r, "$01Q");
  return 1;
}

int McDevice::SetWinSize(unsigned int size) {
  Reply r;
  command(r, "~01WS%1d%06u", 8, size);
  return 1;
}

int McDevice::GetModuleTable(int* count, char* modules) {
  put(count, SlotCount);
  if (modules)
    for (int k = 0; k < SlotCount; ++k)
      if (SlotTable[k].number >= 0) modules[k] = static_cast<char>(SlotTable[k].module_byte);
  return 1;
}

bool McDevice::locate_channel(int channel, int* ordinal, int* position) const {
  if (channel < 0) return false;
  int first = 0;
  for (int k = 0; k < SlotCount; ++k) {
    const int cap = SlotTable[k].capacity;
    if (channel < first + cap) {
      *ordinal = k;
      *position = channel - first;
      return true;
    }
    first += cap;
  }
  return false;
}

std::vector<uint16_t> McDevice::capacities() const {
  std::vector<uint16_t> out;
  for (int k = 0; k < SlotCount; ++k) out.push_back(SlotTable[k].capacity);
  return out;
}

void McDevice::assign_slots(const std::vector<uint16_t>& channels,
                            const std::vector<uint32_t>& targets) {
  uint32_t first = 0;
  for (int k = 0; k < SlotCount; ++k) {
    SlotTable[k].channels = channels[k];
    SlotTable[k].target = targets[k];
    SlotTable[k].first_channel = first;
    first += channels[k];
  }
}

std::vector<int> McDevice::active_slots() const {
  std::vector<int> out;
  for (int k = 0; k < SlotCount; ++k)
    if (SlotTable[k].channels > 0) out.push_back(k);
  return out;
}

ScanSettings McDevice::scan_settings() const { return run_settings(module.sample_bytes); }

int McDevice::SetScanParam(short ch_count, short gain, short trig_mode, int sample_rate,
                           unsigned int sample_count, short transfer_mode, short) {
  uint16_t mode = 0;
  if (ch_count < 1 || ch_count > module.ai_count) return fail(KV_ERR_INPUT_CHANNEL);
  if (!check_scan(ch_count, gain, trig_mode, sample_rate, sample_count, transfer_mode, &mode))
    return 0;
  if (sample_count > kMaxSampleCount) return fail(KV_ERR_VALUE_RANGE);
  if (transfer_mode != 0 && transfer_mode != 1) return fail(KV_ERR_VALUE_RANGE);

  ScanChannelCount = static_cast<uint16_t>(ch_count);
  ScanGain = static_cast<uint32_t>(gain);
  ScanTriggerMode = mode;
  ScanTransferMode = static_cast<uint16_t>(transfer_mode);
  const std::vector<uint16_t> channels = distribute_channels(ScanChannelCount, capacities());
  std::vector<uint32_t> targets(channels.size(), 0);
  ScanSampleCount = sample_count;
  if (sample_count != 0 && count_per_slot(mode)) {
    for (std::size_t k = 0; k < channels.size(); ++k) targets[k] = channels[k] ? sample_count : 0;
    ScanSampleCount = sample_count * ScanChannelCount;
  } else if (sample_count != 0) {
    targets = distribute_samples(sample_count, channels);
  }
  assign_slots(channels, targets);

  for (int k = 0; k < SlotCount; ++k)
    if (!send_slot_param(SlotTable[k], k)) return 0;
  msleep(1);
  if (!send_rate(static_cast<uint32_t>(sample_rate))) return 0;
  ScanSampleRate = static_cast<uint32_t>(sample_rate);
  msleep(1);
  for (int k = 0; k < SlotCount; ++k)
    if (!send_slot_target(SlotTable[k], k)) return 0;
  ScanParamsSet = true;
  return 1;
}

int McDevice::GetScanParam(short* ch_count, short* gain, short* trig_mode, int* sample_rate,
                           unsigned int* sample_count, short* transfer_mode, short* option) {
  auto deliver = [&](uint32_t count) {
    put<short>(ch_count, static_cast<short>(ScanChannelCount));
    put<short>(gain, static_cast<short>(ScanGain));
    put<short>(trig_mode, static_cast<short>(ScanTriggerMode));
    put<int>(sample_rate, static_cast<int>(ScanSampleRate));
    put<unsigned int>(sample_count, count);
    put<short>(transfer_mode, static_cast<short>(ScanTransferMode));
    if (reports_option()) put<short>(option, 0);
  };
  // Modes that give every slot the count whole report it per slot.
  auto per_slot_count = [&] {
    return count_per_slot(ScanTriggerMode) ? ScanSampleCount / ScanChannelCount : ScanSampleCount;
  };
  // The running worker uses these: answer from them.
  if (run_active() || SlotCount == 0) {
    deliver(per_slot_count());
    return 1;
  }
  std::array<SlotParam, kMaxSlots> params{};
  std::array<unsigned long, kMaxSlots> targets{};
  unsigned long rate = 0;
  for (int k = 0; k < SlotCount; ++k) {
    SlotParam& p = params[k];
    if (!read_slot_param(SlotTable[k], k, &p)) return 0;
    // A reply outside what this controller has would size reads and tables
    // wrongly: it is refused whole.
    if (p.gain < 0 || p.gain >= module.ai_gain_count || p.channels < 0 ||
        p.channels > SlotTable[k].capacity || p.trigger < 0 || p.trigger > 5 || p.transfer < 0 ||
        p.transfer > 1)
      return fail(KV_ERR_INVALID_VALUE);
  }
  if (!read_rate(&rate)) return 0;
  for (int k = 0; k < SlotCount; ++k)
    if (!read_slot_target(SlotTable[k], k, &targets[k])) return 0;

  uint32_t channels = 0;
  uint64_t total = 0;
  for (int k = 0; k < SlotCount; ++k) {
    channels += static_cast<uint32_t>(params[k].channels);
    total += targets[k];
  }
  if (channels < 1 || total > UINT32_MAX || rate > INT32_MAX) return fail(KV_ERR_INVALID_VALUE);
  std::vector<uint16_t> slot_channels;
  std::vector<uint32_t> slot_targets;
  for (int k = 0; k < SlotCount; ++k) {
    slot_channels.push_back(static_cast<uint16_t>(params[k].channels));
    slot_targets.push_back(static_cast<uint32_t>(targets[k]));
  }
  assign_slots(slot_channels, slot_targets);
  const SlotParam& last = params[SlotCount - 1];
  ScanChannelCount = static_cast<uint16_t>(channels);
  ScanGain = static_cast<uint32_t>(last.gain);
  ScanTriggerMode = static_cast<uint16_t>(last.trigger);
  ScanTransferMode = static_cast<uint16_t>(last.transfer);
  ScanSampleRate = static_cast<uint32_t>(rate);
  ScanSampleCount = static_cast<uint32_t>(total);
  if (count_per_slot(ScanTriggerMode)) {
    // Every slot with channels was given the count whole.
    const std::size_t n = active_slots().size();
    const uint32_t each = n ? static_cast<uint32_t>(total / n) : 0;
    ScanSampleCount = each * ScanChannelCount;
  }
  deliver(per_slot_count());
  return 1;
}

int McDevice::SetConfig(int item, int index, int value) {
  switch (item) {
    case 4:
      return LogFolders.set(index, value, ScanSampleCount == 0);
    case 5: {
      const int sent = set_device_timing(*this, index, value, kCommandTimeoutMs);
      return sent < 0 ? fail(KV_ERR_CONFIG_ITEM) : sent;
    }
    case 6:
      return set_channel_factor(index, value);
    default:
      return fail(KV_ERR_INVALID_ARGUMENT);
  }
}

int McDevice::GetConfig(int item, int index, int* value) {
  switch (item) {
    case 4:
      return LogFolders.get(index, value);
    case 5: {
      if (index != 0 && index != 1) return fail(KV_ERR_CONFIG_ITEM);
      int v = 0;
      if (!read_device_timing(index, &v)) return 0;
      put(value, v);
      return 1;
    }
    case 6:
      return get_channel_factor(index, value);
    default:
      return fail(KV_ERR_INVALID_ARGUMENT);
  }
}

int McDevice::ReadAI(int channel, int gain, float* value) {
  if (getKVsamplingStatus()) return 1;
  int k = 0, pos = 0;
  if (!locate_channel(channel, &k, &pos)) return fail(KV_ERR_INPUT_CHANNEL);
  float values[kMaxCardChannels] = {};
  if (!read_slot_volts(k, gain, values)) return 0;
  put(value, values[pos]);
  return 1;
}

int McDevice::ReadAIHEX(int channel, int gain, int* code) {
  if (getKVsamplingStatus()) return 1;
  int k = 0, pos = 0;
  if (!locate_channel(channel, &k, &pos)) return fail(KV_ERR_INPUT_CHANNEL);
  int codes[kMaxCardChannels] = {};
  if (!read_slot_codes(k, gain, codes)) {
    put(code, 0);
    return 0;
  }
  put(code, codes[pos]);
  return 1;
}

int McDevice::ReadAIALL(int gain, float* values, int count) {
  if (getKVsamplingStatus()) return 1;
  if (count < 0 || count > module.ai_count || (count > 0 && !values))
    return fail(KV_ERR_INPUT_CHANNEL);
  int stored = 0;
  for (int k = 0; k < SlotCount && stored < count; ++k) {
    float slot[kMaxCardChannels] = {};
    if (!read_slot_volts(k, gain, slot)) {
      std::fill(values, values + count, 0.0f);
      return 0;
    }
    for (int i = 0; i < SlotTable[k].capacity && stored < count; ++i) values[stored++] = slot[i];
  }
  return 1;
}

int McDevice::ReadAIALLHEX(int gain, int* codes, int count) {
  if (getKVsamplingStatus()) return 1;
  if (count < 0 || count > module.ai_count || (count > 0 && !codes))
    return fail(KV_ERR_INPUT_CHANNEL);
  int stored = 0;
  for (int k = 0; k < SlotCount && stored < count; ++k) {
    int slot[kMaxCardChannels] = {};
    if (!read_slot_codes(k, gain, slot)) {
      std::fill(codes, codes + count, 0);
      return 0;
    }
    for (int i = 0; i < SlotTable[k].capacity && stored < count; ++i) codes[stored++] = slot[i];
  }
  return 1;
}

void McDevice::setKVsamplingStatus(bool on) { sampling_status.store(on); }

int McDevice::getKVsamplingStatus() { return sampling_status.load() ? 1 : 0; }

int McDevice::GetKVStartSamplingTime(char* text) {
  return read_start_sampling_time(*this, text, kCommandTimeoutMs);
}

}  // namespace korvel
