// MC610s: the controller whose slots each hold a card of 8 channels. Its
// differences from the shared slot driver: slots addressed by their
// physical number, calibration per slot with conversion to volts, analog
// triggers shared over the slots, trigger modes 4 and 5 (the count given to
// every slot whole), its receive size and completion rules.
#pragma once

#include <vector>

#include "drivers/mc_common/mc_device.h"
#include "model/calibration.h"

namespace korvel {

class MC610s : public McDevice {
 public:
  MC610s(const char* ip, int cmd_port, int data_port, const QLXmodule& module);
  // The worker calls this class's hooks: it is stopped before they go.
  ~MC610s() override { engine_.stop(); }

  int GetFPGAVersion(char* text) override;
  int ConfigTrigOut(int a, int b) override;
  int TransmitData() override;
  int StartMagicScan() override;

  int Calibrate_HEX(int raw, int channel, int gain, int* out) override;
  int Calibrate_Hex2Float(int raw, int channel, int gain, float* out) override;
  int ReadGainOffset(int channel, int gain, unsigned short* gain_factor, short* offset) override;
  int ReadAllGainOffsetfromKV() override;

  int SetAIAnalogTriggerParam(int mode, const char* enable, const float* high, const float* low, int count,
                              unsigned int pre, unsigned int post) override;
  int GetAIAnalogTriggerParam(int* mode, char* enable, float* high, float* low, int count,
                              unsigned int* pre, unsigned int* post) override;
  int GetAIAnalogTriggerIdx() override;

  int AD_ReadData_float(float* dst, unsigned int count, int unit) override;

  // The device RAM status of slot ordinal `slot` ("~01NS"): 1, or 0 when the
  // device did not answer, refused or sent no status.
  int GetKVRAMBufferStatus(int slot, unsigned int* count, unsigned int* status);

 protected:
  const char* console_name() const override { return "MC610s"; }
  bool parse_slots(const Reply& reply, std::vector<Slot>* slots) const override;
  int data_port_offset(const Slot& slot, int) const override { return slot.number; }
  bool after_connect() override;
  bool check_scan(short ch_count, short gain, short trig_mode, int rate, unsigned count,
                  short transfer, uint16_t* mode) override;
  bool count_per_slot(uint16_t mode) const override { return mode == 4 || mode == 5; }
  bool send_slot_param(const Slot& s, int ordinal) override;
  bool send_rate(uint32_t rate) override;
  bool send_slot_target(const Slot& s, int ordinal) override;
  bool read_slot_param(const Slot& s, int ordinal, SlotParam* p) override;
  bool read_rate(unsigned long* rate) override;
  bool read_slot_target(const Slot& s, int ordinal, unsigned long* target) override;
  bool reports_option() const override { return true; }
  bool read_device_timing(int index, int* value) override;
  int set_channel_factor(int channel, int value) override;
  int get_channel_factor(int channel, int* value) override;
  bool read_slot_volts(int ordinal, int gain, float* values) override;
  bool read_slot_codes(int ordinal, int gain, int* codes) override;
  uint32_t finite_ring_bytes_per_sample() const override { return 5; }
  uint32_t data_timeout_base() const override;

  // AcqHooks.
  ReceivePlan receive_plan(const ScanSettings&, RunKind, uint32_t) const override;
  bool data_timeout_applies(const ScanSettings& s, RunKind kind, uint32_t received) const override;
  std::optional<bool> count_complete(const ScanSettings& s, RunKind kind,
                                     uint32_t received) override;
  uint32_t trigger_index() override { return TriggerIndex; }
  uint32_t post_trigger_count() const override { return PostTriggerCount; }
  // RunSink: the trigger's place is read when the first data arrives.
  void first_data() override;

 private:
  // Whether a code pair leaves its channel without a level trigger.
  static bool trigger_off(uint32_t high, uint32_t low);
  bool level_code(int channel, float level, uint32_t* code) const;
  // Volts of n 16-bit codes of a run of `channels` channels at range code
  // `gain`, the first of channel phase % channels: table-driven, with the
  // bits of Calibrate_Hex2Float sample by sample.
  void codes_to_volts(const char* src, uint32_t n, uint32_t channels, uint32_t phase, int gain,
                      float* dst);

  CalTable<uint16_t> GainTable;  // per global channel (slot * 8 + position) and gain code
  CalTable<int16_t> OffsetTable;
  std::vector<uint32_t> TriggerHighCode, TriggerLowCode;
  std::vector<float> ChannelFactor;
  uint32_t AnalogTriggerMode = 0;
  uint32_t PreTriggerCount = 0;
  uint32_t PostTriggerCount = 0;
  std::atomic<uint32_t> TriggerIndex{0};
  // Start argument of "~01S", set to 0 by each scan start.
  int StartArgument = 0;
};

}  // namespace korvel
