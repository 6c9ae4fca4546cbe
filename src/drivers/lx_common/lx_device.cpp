#include "drivers/lx_common/lx_device.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/errors.h"

namespace korvel {

LxDevice::LxDevice(const char* ip, int cmd_port_arg, int data_port_arg,
                   const QLXmodule& module_arg)
    : MODEL(ip, cmd_port_arg, data_port_arg, module_arg), data_port(data_port_arg) {
  GainTable.resize(module.ai_count, module.ai_gain_count);
  OffsetTable.resize(module.ai_count, module.ai_gain_count);
  last_raw_codes.assign(module.ai_count, 0);
  ChannelFactor.assign(module.ai_count, 0.0f);
  TriggerHighCode.assign(module.ai_count, 0);
  TriggerLowCode.assign(module.ai_count, 0);
}

LxDevice::~LxDevice() {
  // The worker must be gone before the sockets it reads are closed.
  engine_.stop();
  if (cmd_socket >= 0) CloseTcp(cmd_socket);
  if (data_socket >= 0) CloseTcp(data_socket);
}

bool LxDevice::command(Reply& reply, int timeout_ms, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const bool ok = vsend_command(*this, reply, timeout_ms, format, args);
  va_end(args);
  return ok;
}

bool LxDevice::table_read(Reply& reply, int timeout_ms, int* silent, const char* format, ...) {
  char line[64];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  const bool ok = command(reply, timeout_ms, "%s", line);
  *silent = !ok && get_last_error() == KV_ERR_READ_TIMEOUT ? *silent + 1 : 0;
  return ok;
}

int LxDevice::ConnectServer() {
  cmd_socket = OpenTcp(ip_address, cmd_port, 1);
  if (cmd_socket < 0) {
    cmd_socket = -1;
    return fail(KV_ERR_OPEN_DEVICE);
  }
  data_socket = OpenTcp_DataPort(ip_address, data_port, 1);
  if (data_socket < 0) {
    CloseTcp(cmd_socket);
    cmd_socket = data_socket = -1;
    return fail(KV_ERR_OPEN_DEVICE);
  }
  // The first trigger read-back before any is set finds every channel off.
  for (int c = 0; c < module.ai_count; ++c) {
    TriggerHighCode[c] = trigger_high_rail();
    TriggerLowCode[c] = trigger_low_rail();
  }
  SetWinSize(32768);
  if (!ReadAllGainOffsetfromKV()) {
    CloseTcp(cmd_socket);
    CloseTcp(data_socket);
    cmd_socket = data_socket = -1;
    return fail(KV_ERR_MODULE_NOT_EXIST);
  }
  return 1;
}

int LxDevice::DisconnectServer() {
  engine_.stop();
  if (cmd_socket >= 0) CloseTcp(cmd_socket);
  if (data_socket >= 0) CloseTcp(data_socket);
  cmd_socket = data_socket = -1;
  return 1;
}

int LxDevice::GetFPGAVersion(char* text) {
  Reply r;
  if (!command(r, kCommandTimeoutMs, "$01F")) return 0;
  // The device answers in decimal; the version is shown in hexadecimal.
  const int n = std::atoi(r.from(1));
  if (text) std::snprintf(text, 16, "V%x", static_cast<unsigned int>(n));
  return 1;
}

int LxDevice::ReBoot() {
  Reply r;
  command(r, kCommandTimeoutMs, "Q");
  return 1;
}

int LxDevice::SetWinSize(unsigned int size) {
  Reply r;
  command(r, kCommandTimeoutMs, "~01WS%06u", size);
  return 1;
}

int LxDevice::ReadGainOffset(int channel, int gain, unsigned short* gain_factor, short* offset) {
  if (channel < 0 || channel >= module.ai_count) {
    put<unsigned short>(gain_factor, 0);
    put<short>(offset, 0);
    return fail(KV_ERR_INPUT_CHANNEL);
  }
  if (gain < 0 || gain >= module.ai_gain_count) {
    put<unsigned short>(gain_factor, 0);
    put<short>(offset, 0);
    return fail(KV_ERR_GAIN_RANGE);
  }
  put<unsigned short>(gain_factor, GainTable.get(channel, gain));
  put<short>(offset, OffsetTable.get(channel, gain));
  return 1;
}

int LxDevice::read_raw_codes(const char* command_text, int digits, int* raw, int count) {
  std::lock_guard<std::mutex> lock(raw_cache_mu_);
  if (getKVsamplingStatus() && have_last_raw_codes) {
    for (int i = 0; i < count; ++i) raw[i] = last_raw_codes[i];
    return 1;
  }
  Reply r;
  if (!command(r, kCommandTimeoutMs, "%s", command_text)) return fail(KV_ERR_RESPONSE);
  for (int i = 0; i < count; ++i) {
    unsigned int v = 0;
    if (!r.hex(1 + static_cast<std::size_t>(digits) * static_cast<std::size_t>(i), digits, &v))
      return fail(KV_ERR_INVALID_VALUE);
    raw[i] = static_cast<int>(v);
  }
  for (int i = 0; i < count; ++i) last_raw_codes[i] = raw[i];
  have_last_raw_codes = true;
  return 1;
}

int LxDevice::ReadAI(int channel, int gain, float* value) {
  if (channel < 0 || channel >= module.ai_count) return fail(KV_ERR_INPUT_CHANNEL);
  if (!check_single_point(gain)) return 0;
  std::vector<int> codes(module.ai_count);
  if (!ReadAIALLHEXRAW(gain, codes.data(), module.ai_count)) return fail(KV_ERR_RESPONSE);
  if (!Calibrate_Hex2Float(codes[channel], channel, gain, value)) return fail(KV_ERR_INPUT_CHANNEL);
  return 1;
}

int LxDevice::ReadAIALL(int gain, float* values, int count) {
  if (count < 0 || count > module.ai_count) return fail(KV_ERR_INPUT_CHANNEL);
  if (!check_single_point(gain)) return 0;
  std::vector<int> codes(module.ai_count);
  if (!ReadAIALLHEXRAW(gain, codes.data(), count)) {
    for (int i = 0; i < count; ++i) values[i] = 0.0f;
    return 0;
  }
  for (int i = 0; i < count; ++i)
    if (!Calibrate_Hex2Float(codes[i], i, gain, &values[i])) return fail(KV_ERR_INPUT_CHANNEL);
  return 1;
}

int LxDevice::ReadAIHEX(int channel, int gain, int* code) {
  if (channel < 0 || channel >= module.ai_count) return fail(KV_ERR_INPUT_CHANNEL);
  if (!check_single_point(gain)) return 0;
  std::vector<int> codes(module.ai_count);
  if (!ReadAIALLHEXRAW(gain, codes.data(), module.ai_count)) {
    put(code, 0);
    return fail(KV_ERR_RESPONSE);
  }
  Calibrate_HEX(codes[channel], channel, gain, code);
  return 1;
}

int LxDevice::ReadAIALLHEX(int gain, int* codes, int count) {
  if (count < 0 || count > module.ai_count) return fail(KV_ERR_INPUT_CHANNEL);
  if (!check_single_point(gain)) return 0;
  std::vector<int> raw(module.ai_count);
  if (!ReadAIALLHEXRAW(gain, raw.data(), count)) {
    for (int i = 0; i < count; ++i) codes[i] = 0;
    return 0;
  }
  for (int i = 0; i < count; ++i) Calibrate_HEX(raw[i], i, gain, &codes[i]);
  return 1;
}

bool LxDevice::busy() {
  if (!getKVsamplingStatus()) return false;
  set_last_error(KV_ERR_BUSY_SAMPLING);
  return true;
}

bool LxDevice::channel_ok(unsigned int channel, unsigned int limit) {
  if (channel < limit) return true;
  set_last_error(KV_ERR_INPUT_CHANNEL);
  return false;
}

int LxDevice::ReadDIO(unsigned int* di, unsigned int* do_value) {
  if (busy()) return 0;
  Reply r;
  if (!command(r, kCommandTimeoutMs, "@01")) return fail(KV_ERR_RESPONSE);
  unsigned int out = 0, in = 0;
  if (!r.hex(1, 1, &out) || !r.hex(2, 1, &in)) return fail(KV_ERR_INVALID_VALUE);
  put(do_value, out);
  put(di, in);
  return 1;
}

int LxDevice::WriteDO(unsigned int value) {
  if (module.do_count < 32 && (value >> module.do_count) != 0) return fail(do_range_code);
  if (busy()) return 0;
  Reply r;
  if (!command(r, kCommandTimeoutMs, "@01D%X", value & 15)) return fail(KV_ERR_RESPONSE);
  return 1;
}

int LxDevice::WriteDOBit(int bit, bool on) {
  if (bit < 0 || bit >= module.do_count) return fail(KV_ERR_INPUT_CHANNEL);
  if (busy()) return 0;
  Reply r;
  if (!command(r, kCommandTimeoutMs, on ? "#01A%X1" : "#01A%X0", static_cast<unsigned>(bit)))
    return fail(KV_ERR_RESPONSE);
  return 1;
}

void LxDevice::setKVsamplingStatus(bool on) { sampling_status.store(on); }

int LxDevice::getKVsamplingStatus() { return sampling_status.load() ? 1 : 0; }

int LxDevice::Init_Software_Filter(int, int, int) { return 1; }
int LxDevice::Set_LowPassFilter(int, int, float) { return 1; }
int LxDevice::Set_HighPassFilter(int, int, float) { return 1; }
int LxDevice::Set_BandPassFilter(int, int, float, float) { return 1; }
int LxDevice::Set_BandStopFilter(int, int, float, float) { return 1; }
int LxDevice::Filter_Data(unsigned int, float*) { return 1; }
int LxDevice::Filter_DataHEX(unsigned int, unsigned int*) { return 1; }

}  // namespace korvel
