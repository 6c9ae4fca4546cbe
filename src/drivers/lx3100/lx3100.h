// LX3100: the reference device, eight 16-bit analog inputs in two ranges,
// four digital inputs with counters, four digital outputs, one counter
// input, RMS and delay triggers, and sync-in frame scans.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "drivers/lx3100/sync_in.h"
#include "drivers/lx_common/lx_device.h"

namespace korvel {

class LX3100 : public LxDevice {
 public:
  LX3100(const char* ip, int cmd_port, int data_port, const QLXmodule& module);
  ~LX3100() override;

  int ReadAllGainOffsetfromKV() override;
  int Calibrate_HEX(int raw, int channel, int gain, int* code) override;
  int Calibrate_Hex2Float(int raw, int channel, int gain, float* value) override;
  int ReadAIALLHEXRAW(int gain, int* raw, int count) override;
  void codes_to_volts(const char* src, uint32_t n, uint32_t channels, uint32_t phase, int gain,
                      float* dst) override;

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

  int SetScanParam(short ch_count, short gain, short trig_mode, int sample_rate,
                   unsigned int sample_count, short transfer_mode, short option) override;
  // Item 2 (the rate divisor) besides the family's items.
  int SetConfig(int item, int index, int value) override;
  int GetConfig(int item, int index, int* value) override;
  int SetRMSParam(short rpf, short dt) override;
  int GetRMSParam(short* rpf, short* dt) override;
  int SetAIDelayTriggerParam(unsigned int delay) override;
  int GetAIDelayTriggerParam(unsigned int* delay) override;

  // Sync-in scans.
  int SetSyncInScanParam(unsigned int header_mode, const unsigned short* sizes,
                         const unsigned short* types,
                         unsigned short count, unsigned int options, unsigned int spare) override;
  int GetSyncInScanParam(unsigned int* header_mode, unsigned short* sizes, unsigned short* types,
                         unsigned short max_count, unsigned short* count, unsigned int* options,
                         unsigned int* spare) override;
  // Takes up to `frames` whole frames from the ring into the caller's
  // outputs; the number of frames delivered, or 0 with an error code.
  int GetSyncInFrames(SyncInShape shape, const SyncInOutputs& out, unsigned int frames);
  // Status bits and the frames waiting; 0 while no frame is defined.
  int GetSyncInStatus(unsigned short* status, unsigned int* frames);
  // Options last given to KV_SetSyncInScanParam ("Sync Mode" of log files).
  uint16_t SyncMode = 0;

 protected:
  // Clear commands succeed only on a reply starting with '!'.
  int clear_command(const char* format, unsigned int channel, bool with_channel);
  int read_count(unsigned int channel, unsigned int limit, const char* format,
                 unsigned int* value);
  int get_all_counts(const char* cmd, unsigned int* values, int count, int limit);
  int get_config(unsigned int channel, unsigned int limit, const uint16_t* cache,
                 const char* bits_format, bool bits_failure_fails, unsigned int* config,
                 unsigned int* preset);

  // The family's hooks.
  bool needs_ram_phase(const ScanSettings& s) const override;
  bool limits_receive(const ScanSettings& s, RunKind kind) const override;
  unsigned long max_rate() const override;
  bool trigger_code(int channel, float level, uint32_t* code) override;
  float trigger_full_scale(int channel) const override;
  void log_lines_after_transfer(std::vector<std::string>& lines) override;
  uint32_t ring_unit() const override;
  bool sync_in_enabled() const override;

  uint32_t RateDivisor = 1;
  int16_t RmsRpf = 0;
  int16_t RmsDt = 1;
  uint32_t DelayTriggerTime = 0;
  SyncInFrameDef SyncIn;
  std::array<uint16_t, 4> DICNTConfigCache{};
  std::array<uint16_t, 4> CounterConfigCache{};
};

}  // namespace korvel
