// LXR5000: four 24-bit analog inputs in one range, calibrated per channel
// (full scale and offset), with a Butterworth filter per channel applied to
// the samples the application fetches. No digital I/O, counters, outputs or
// encoder. Everything else is the LX family's (LxDevice).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "drivers/lx_common/lx_device.h"
#include "dsp/filter.h"

namespace korvel {

class LXR5000 : public LxDevice {
 public:
  LXR5000(const char* ip, int cmd_port, int data_port, const QLXmodule& module);
  ~LXR5000() override;

  // "$01R1C%01d" per channel: full scale (thousandths) and offset (codes).
  int ReadAllGainOffsetfromKV() override;
  int Calibrate_HEX(int raw, int channel, int gain, int* code) override;
  int Calibrate_Hex2Float(int raw, int channel, int gain, float* value) override;
  void codes_to_volts(const char* src, uint32_t n, uint32_t channels, uint32_t phase, int gain,
                      float* dst) override;
  // "#01R"; refused while sampling (the device answers no reads then).
  int ReadAIALLHEXRAW(int gain, int* raw, int count) override;

  // What this device lacks keeps MODEL's answer (KV_ERR_UNSUPPORTED).
  int ReadGainOffset(int channel, int gain, unsigned short* gain_factor, short* offset) override;
  int ReadDIO(unsigned int* di, unsigned int* do_value) override;
  int WriteDO(unsigned int value) override;
  int WriteDOBit(int bit, bool on) override;
  int SetConfig(int item, int index, int value) override;
  int GetConfig(int item, int index, int* value) override;

  int SetScanParam(short ch_count, short gain, short trig_mode, int sample_rate,
                   unsigned int sample_count, short transfer_mode, short option) override;

  // The rate command for a rate (D or A outermost); the achieved rate of the
  // divisors written (20 for rates of 20 and less). text holds 13 bytes.
  static int SampleRate_FloattoCommand_MIN_FMOD(int rate, char* text);
  static int SampleRate_FloattoCommand_MAX_FMOD(int rate, char* text);

  // Software filters, per channel. Setters may be called during a scan; a
  // read filters with the designs in force when it runs.
  int Init_Software_Filter(int channel, int order, int sample_rate) override;
  int Set_LowPassFilter(int channel, int enable, float f) override;
  int Set_HighPassFilter(int channel, int enable, float f) override;
  int Set_BandPassFilter(int channel, int enable, float f1, float f2) override;
  int Set_BandStopFilter(int channel, int enable, float f1, float f2) override;
  int Filter_Data(unsigned int count, float* values) override;
  int Filter_DataHEX(unsigned int count, unsigned int* codes) override;

  // Reads that also note where in the scan they started, so the filters see
  // each channel's own samples whatever the read sizes, clears or overruns.
  int AD_ReadData(char* dst, unsigned int count, int unit) override;
  int AD_ReadData_float(float* dst, unsigned int count, int unit) override;

  float channel_full_scale(int channel) const;
  int32_t channel_offset(int channel) const;

 protected:
  int check_single_point(int gain) override;
  ScanReply parse_scan_reply(const Reply& reply) const override;
  int trigger_mode_of_digit(int digit) const override { return ram_trigger_mode(digit); }
  bool parse_rate(const Reply& reply, unsigned long* rate) const override;
  unsigned long max_rate() const override;
  int trigger_digits() const override { return 6; }
  bool trigger_code(int channel, float level, uint32_t* code) override;
  float trigger_full_scale(int channel) const override;
  void log_channel_lines(std::vector<std::string>& lines, int channels, int gain) override;
  bool needs_ram_phase(const ScanSettings& s) const override;
  bool limits_receive(const ScanSettings& s, RunKind kind) const override;

 private:
  // Calls run(filters, channels, phase) for an interleaved block of count
  // values that starts at channel `phase` of `channels` (filters[c] is null
  // past the device's channels), then moves the phase past the block.
  // Called with filter_mu_ held.
  template <class Run>
  void filter_block(unsigned int count, Run run);

  std::array<std::atomic<float>, 4> ChannelFullScale{};
  std::array<std::atomic<int32_t>, 4> ChannelOffset{};

  // Filters and the place of the next value they will see. The lock lets
  // setters run while another thread fetches samples.
  std::mutex filter_mu_;
  std::array<Filter_cls, 4> ChannelFilter;
  uint32_t FilterPhase = 0;
  uint32_t FilterChannels = 1;
  std::vector<Filter_cls*> filter_ptrs_;
  std::vector<float> filter_scratch_;
};

}  // namespace korvel
