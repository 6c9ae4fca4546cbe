// LX3200: four 24-bit analog inputs in ten ranges, two analog outputs, one
// encoder, three digital inputs and four digital outputs. Everything else
// is the LX family's (LxDevice).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "drivers/lx_common/lx_device.h"

namespace korvel {

class LX3200 : public LxDevice {
 public:
  LX3200(const char* ip, int cmd_port, int data_port, const QLXmodule& module);
  ~LX3200() override;

  // Input tables per channel and range (with each range's actual full
  // scale) and output tables per output and range.
  int ReadAllGainOffsetfromKV() override;
  // Channels past the inputs name the analog outputs (gain = output range).
  int ReadGainOffset(int channel, int gain, unsigned short* gain_factor, short* offset) override;
  int Calibrate_HEX(int raw, int channel, int gain, int* code) override;
  int Calibrate_Hex2Float(int raw, int channel, int gain, float* value) override;
  int ReadAIALLHEXRAW(int gain, int* raw, int count) override;
  void codes_to_volts(const char* src, uint32_t n, uint32_t channels, uint32_t phase, int gain,
                      float* dst) override;

  int WriteAO(int channel, int range, float value) override;
  int WriteAOHEX(int channel, int range, int code) override;
  int GetEncoderMode(int channel, int* s1, int* s2, int* s3) override;
  int SetEncoderMode(int channel, int s1, int s2, int s3) override;
  int ReadEncoder(int channel, unsigned int* count) override;
  int ClearEncoder(int channel) override;

  int SetScanParam(short ch_count, short gain, short trig_mode, int sample_rate,
                   unsigned int sample_count, short transfer_mode, short option) override;

  // The rate command for a rate, searched with D or A outermost; the length
  // of the text written (at least 13 bytes of room).
  static int SampleRate_FloattoCommand_MIN_FMOD(int rate, char* text);
  static int SampleRate_FloattoCommand_MAX_FMOD(int rate, char* text);

  // A range's actual full scale as the device reported it (volts).
  float range_full_scale(int gain) const;

 protected:
  bool needs_ram_phase(const ScanSettings& s) const override;
  bool limits_receive(const ScanSettings& s, RunKind kind) const override;
  int trigger_mode_of_digit(int digit) const override;
  bool parse_rate(const Reply& reply, unsigned long* rate) const override;
  unsigned long max_rate() const override;
  int trigger_digits() const override { return 6; }
  bool trigger_code(int channel, float level, uint32_t* code) override;
  float trigger_full_scale(int channel) const override;
  void log_lines_after_gain(std::vector<std::string>& lines) override;

 private:
  int ao_checks(int channel, int range);
  // Encoder checks: channel 0 only, then the busy rule.
  bool encoder_ok(int channel);
  // "$01D..." setting the mode (re-sending the current one clears the count).
  int send_encoder_mode(int s1, int s2, int s3);

  std::array<std::atomic<float>, 10> RangeFullScale{};
  CalTable<uint16_t> AOGainTable;
  CalTable<int16_t> AOOffsetTable;
  std::array<std::atomic<int>, 3> EncoderModeCache{};  // s1, s2, s3
};

}  // namespace korvel
