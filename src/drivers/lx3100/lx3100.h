// LX3100: the reference device, eight 16-bit analog inputs, four digital
// inputs with counters, four digital outputs and one counter input.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "drivers/lx3100/sync_in.h"
#include "engine/acq_engine.h"
#include "logging/logger.h"
#include "model/calibration.h"
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

class LX3100 : public MODEL, private AcqHooks, private LogHooks {
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

  // Scan configuration and triggers.
  int SetScanParam(short ch_count, short gain, short trig_mode, int sample_rate,
                   unsigned int sample_count, short transfer_mode, short option) override;
  int GetScanParam(short* ch_count, short* gain, short* trig_mode, int* sample_rate,
                   unsigned int* sample_count, short* transfer_mode, short* option) override;
  int SetConfig(int item, int index, int value) override;
  int GetConfig(int item, int index, int* value) override;
  int SetRMSParam(short rpf, short dt) override;
  int GetRMSParam(short* rpf, short* dt) override;
  int GetAIAnalogTriggerIdx() override;
  int SetAIAnalogTriggerParam(int mode, char* enable, float* high, float* low, int count,
                              unsigned int pre, unsigned int post) override;
  int GetAIAnalogTriggerParam(int* mode, char* enable, float* high, float* low, int count,
                              unsigned int* pre, unsigned int* post) override;
  int SetAIDelayTriggerParam(unsigned int delay) override;
  int GetAIDelayTriggerParam(unsigned int* delay) override;
  int TransmitData() override;

  // Acquisition.
  int StartLANQueue() override;
  int StopLANQueue() override;
  int StartAIScan() override;
  int StopAIScan() override;
  int StartMagicScan() override;
  int StopMagicScan() override;
  bool run_active() const override;
  void stop_all_runs() override;
  int GetDAQSampleCnt() override;
  int GetTCPReceivedCnt() override;
  void ClearCnt() override;
  int GetKVStartSamplingTime(char* text) override;
  int LANBuffer_Init() override;
  void LANBuffer_Uninit() override;
  int AD_ReadData(char* dst, unsigned int count, int unit) override;
  int AD_ReadData_float(float* dst, unsigned int count, int unit) override;
  int AD_BufferStatus() override;
  int Get_ADSize() override;
  int AD_ClearData() override;
  int ReadHostLANBuffer(char* dst, unsigned int bytes) override;
  int ReadHostLANBufferCnt() override;
  // The device's RAM status ("~01N"): sample count and status bits.
  int GetKVRAMBufferStatus(unsigned int* count, unsigned int* status);

  // Sync-in scans.
  int SetSyncInScanParam(unsigned int header_mode, unsigned short* sizes, unsigned short* types,
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

  // Logging runs.
  int StartLogger(char* path, int period, int mode) override;
  void StopLogger() override;
  void SaveStartSamplingTimetoConfigFile() override;
  int LoggerMode = 0;
  int LogFilePeriod = 0;

  // Events: delivered on the worker thread that detects them.
  void DOCallBackFun(unsigned short event) override;
  int SetEventCallback(unsigned short mask, unsigned short spare, void* function,
                       void* user_data) override;
  int RemoveEventCallback(unsigned short mask) override;

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
  int read_count(unsigned int channel, unsigned int limit, const char* format,
                 unsigned int* value);
  int get_all_counts(const char* cmd, unsigned int* values, int count, int limit);
  int get_config(unsigned int channel, unsigned int limit, const uint16_t* cache,
                 const char* bits_format, bool bits_failure_fails, unsigned int* config,
                 unsigned int* preset);

  // AcqHooks: how this device's scans differ in the shared engine.
  bool needs_ram_phase(const ScanSettings& s) const override;
  bool limits_receive(const ScanSettings& s, RunKind kind) const override;
  bool ram_status(uint32_t* count, uint32_t* status) override;
  bool transmit() override;
  uint32_t trigger_index() override;
  uint32_t post_trigger_count() const override { return PostTriggerCount; }

  // LogHooks: what this device's log files hold.
  std::vector<std::string> log_config_lines() override;
  bool log_start_time(std::string* text) override;
  int log_value_text(int32_t raw, unsigned channel, char* out, std::size_t capacity) override;

  ScanSettings scan_settings() const;
  // Sends a start or stop order; 1 when the device acknowledged it.
  int run_order(const char* order);
  // Reads the analog trigger's settings from the device into the fields;
  // false (with the code set) when a reply is missing or malformed.
  bool read_analog_trigger();
  // Sends the scan parameters: the current channels, gain, transfer mode and
  // option with the given trigger mode, rate and count.
  int send_scan_param(uint16_t trigger_mode, uint32_t rate, uint32_t count);
  // Ring size in bytes and time-out base of a scan about to start.
  uint32_t ring_bytes() const;
  uint32_t compute_timeout_base(uint32_t ring_bytes) const;
  bool sync_in_enabled() const;

  // The scan's ring: blocks go into the engine's ring buffer.
  class ScanSink : public RunSink {
   public:
    explicit ScanSink(LX3100& owner) : owner_(owner) {}
    bool store(const char* data, uint32_t bytes) override;
    char* direct_space(uint32_t wanted) override;
    bool commit_direct(uint32_t bytes) override;

   private:
    LX3100& owner_;
  };

  int data_port;
  int data_socket = -1;

  // Scan configuration as last accepted by the device.
  uint32_t ScanGain = 0;
  uint16_t ScanChannelCount = 8;
  uint16_t ScanTriggerMode = 0;
  uint32_t ScanSampleRate = 100;
  uint32_t ScanSampleCount = 0;
  uint16_t ScanTransferMode = 0;
  uint16_t ScanOption = 0;
  bool ScanParamsSet = false;
  uint32_t RateDivisor = 1;
  int32_t DataTimeoutOverride = -1;
  int16_t RmsRpf = 0;
  int16_t RmsDt = 1;
  uint32_t LogFolderGrouping = 1;
  uint32_t LogSecondValue = 4000000000u;
  std::vector<float> ChannelFactor;

  uint32_t AnalogTriggerMode = 0;
  uint32_t PreTriggerCount = 0;
  uint32_t PostTriggerCount = 0;
  std::atomic<uint32_t> TriggerIndex{0};
  std::vector<uint16_t> TriggerHighCode;
  std::vector<uint16_t> TriggerLowCode;
  uint32_t DelayTriggerTime = 0;

  SyncInFrameDef SyncIn;

  // Acquisition.
  uint32_t ADBufferSize = 0;
  bool ContinuousScan = false;
  ScanSink scan_sink_{*this};
  AcqEngine engine_{*this, *this};
  Logger logger_{engine_, *this};

  // Calibration per channel and gain code: Q15 gain factor, offset in codes.
  CalTable<uint16_t> GainTable;
  CalTable<int16_t> OffsetTable;
  std::array<uint16_t, 4> DICNTConfigCache{};
  std::array<uint16_t, 4> CounterConfigCache{};

  // Last raw codes read; returned while a run is acquiring. Per device, so
  // that one device never hands out another's readings; guarded by
  // raw_cache_mu_ (single-point reads may come from several threads).
  std::mutex raw_cache_mu_;
  std::vector<int> last_raw_codes;
  bool have_last_raw_codes = false;
};

}  // namespace korvel
