// LX3100: the reference device, eight 16-bit analog inputs, four digital
// inputs with counters, four digital outputs and one counter input.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "model/model.h"
#include "net/transport.h"

namespace korvel {

// One reply line of the command protocol, read by character position.
struct Reply {
  char text[kReplyCapacity] = {};
  std::size_t size() const;
  // The text from pos on; empty when the reply is shorter.
  const char* from(std::size_t pos) const;
  // Character at pos, or NUL beyond the end.
  char at(std::size_t pos) const;
  // ndigits hexadecimal digits at pos; false when any is missing or not hex.
  bool hex(std::size_t pos, int ndigits, unsigned int* out) const;
};

class LX3100 : public MODEL {
 public:
  LX3100(const char* ip, int cmd_port, int data_port, const QLXmodule& module);
  ~LX3100() override;

  int ConnectServer() override;
  int DisconnectServer() override;
  int GetFPGAVersion(char* text) override;
  int ReBoot() override;
  // Sets the device's send window; the reply is not consulted. Returns 1.
  int SetWinSize(unsigned int size) override;

  int ReadAllGainOffsetfromKV() override;
  int ReadGainOffset(int channel, int gain, unsigned short* gain_factor, short* offset) override;
  int Calibrate_HEX(int raw, int channel, int gain, int* code) override;
  int Calibrate_Hex2Float(int raw, int channel, int gain, float* value) override;

  // Raw codes of the first count channels. While a scan is receiving, the
  // codes of the last read are returned without an exchange.
  int ReadAIALLHEXRAW(int gain, int* raw, int count);
  int ReadAI(int channel, int gain, float* value) override;
  int ReadAIALL(int gain, float* values, int count) override;
  int ReadAIHEX(int channel, int gain, int* code) override;
  int ReadAIALLHEX(int gain, int* codes, int count) override;

  int ReadDIO(unsigned int* di, unsigned int* do_value) override;
  int WriteDO(unsigned int value) override;
  int WriteDOBit(int bit, bool on) override;
  int GetDICNTConfig(unsigned int channel, unsigned int* config, unsigned int* preset) override;
  int SetDICNTConfig(unsigned int channel, unsigned int config, unsigned int preset) override;
  int GetCounterConfig(unsigned int channel, unsigned int* config, unsigned int* preset) override;
  int SetCounterConfig(unsigned int channel, unsigned int config, unsigned int preset) override;
  int GetDICNT(unsigned int channel, unsigned int* value) override;
  int GetCounter(unsigned int channel, unsigned int* value) override;
  int ClearDICNT(unsigned int channel) override;
  int ClearDICNTALL() override;
  int ClearCounter(unsigned int channel) override;
  int ClearCounterALL() override;
  int GetDICNTAll(unsigned int* values, int count) override;
  int GetCounterAll(unsigned int* values, int count) override;

  void setKVsamplingStatus(bool on) override;
  int getKVsamplingStatus() override;

  // Filtering exists only on the LX-R5000; here these succeed and do nothing.
  int Init_Software_Filter(int channel, int order, int sample_rate) override;
  int Set_LowPassFilter(int channel, int enable, float f) override;
  int Set_HighPassFilter(int channel, int enable, float f) override;
  int Set_BandPassFilter(int channel, int enable, float f1, float f2) override;
  int Set_BandStopFilter(int channel, int enable, float f1, float f2) override;
  int Filter_Data(unsigned int count, float* values) override;
  int Filter_DataHEX(unsigned int count, unsigned int* codes) override;

  static constexpr int kCommandTimeoutMs = 1000;
  // The calibration-table read takes the device longer.
  static constexpr int kCalibrationTimeoutMs = 2000;

 protected:
  // Formats a command (bounded) and exchanges it on the command socket.
  bool command(Reply& reply, int timeout_ms, const char* format, ...)
      __attribute__((format(printf, 4, 5)));
  // The busy rule of the digital and counter operations: refused with
  // 0x18011 while the acquisition thread is inside a data receive.
  bool busy();
  bool channel_ok(unsigned int channel, unsigned int limit);
  // Clear commands succeed only on a reply starting with '!'.
  int clear_command(const char* format, unsigned int channel, bool with_channel);
  int get_all_counts(const char* cmd, unsigned int* values, int count, int limit);
  int get_config(unsigned int channel, unsigned int limit, const uint16_t* cache,
                 const char* bits_format, bool bits_failure_fails, unsigned int* config,
                 unsigned int* preset);

  int data_port;
  int data_socket = -1;

  // Calibration per channel and gain code: Q15 gain factor, offset in codes.
  std::vector<std::vector<uint16_t>> GainTable;
  std::vector<std::vector<int16_t>> OffsetTable;
  std::array<uint16_t, 4> DICNTConfigCache{};
  std::array<uint16_t, 4> CounterConfigCache{};

  // Last raw codes read; returned while a scan is receiving. Per device, so
  // that one device never hands out another's readings.
  std::vector<int> wv;
  bool firstrun0 = false;
};

}  // namespace korvel
