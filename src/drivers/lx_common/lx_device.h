// LxDevice: what the single-module LX devices (LX-3100, LX-3200, LX-R5000)
// share: one command and one data connection, the same command framing,
// scan configuration, triggers, acquisition on the shared engine, the ring,
// logging runs and events. A family's driver derives from it and states
// only its differences (calibration, I/O it has, checks and commands that
// differ) through the virtual operations and the hooks below.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "drivers/scan_fields.h"
#include "engine/acq_engine.h"
#include "logging/logger.h"
#include "model/calibration.h"
#include "model/model.h"
#include "drivers/device_config.h"
#include "net/reply.h"
#include "net/transport.h"

namespace korvel {

class LxDevice : public MODEL, protected AcqHooks, protected LogHooks, protected ScanFields {
 public:
  LxDevice(const char* ip, int cmd_port, int data_port, const QLXmodule& module);
  ~LxDevice() override;

  int ConnectServer() override;
  int DisconnectServer() override;
  int GetFPGAVersion(char* text) override;
  int ReBoot() override;
  // Sets the device's send window; the reply is not consulted. Returns 1.
  int SetWinSize(unsigned int size) override;

  int ReadGainOffset(int channel, int gain, unsigned short* gain_factor, short* offset) override;

  // Raw codes of the first count channels (each driver's command and
  // layout). While a scan is receiving, the codes of the last read are
  // returned without an exchange.
  virtual int ReadAIALLHEXRAW(int gain, int* raw, int count) = 0;
  int ReadAI(int channel, int gain, float* value) override;
  int ReadAIALL(int gain, float* values, int count) override;
  int ReadAIHEX(int channel, int gain, int* code) override;
  int ReadAIALLHEX(int gain, int* codes, int count) override;

  int ReadDIO(unsigned int* di, unsigned int* do_value) override;
  int WriteDO(unsigned int value) override;
  int WriteDOBit(int bit, bool on) override;

  void setKVsamplingStatus(bool on) override;
  int getKVsamplingStatus() override;

  // Scan configuration and triggers.
  int GetScanParam(short* ch_count, short* gain, short* trig_mode, int* sample_rate,
                   unsigned int* sample_count, short* transfer_mode, short* option) override;
  // Items 4 (log folders), 5 (RMS window, data time-out) and 6 (channel
  // factors); others are refused with 0x1300C.
  int SetConfig(int item, int index, int value) override;
  int GetConfig(int item, int index, int* value) override;
  int GetAIAnalogTriggerIdx() override;
  int SetAIAnalogTriggerParam(int mode, const char* enable, const float* high, const float* low, int count,
                              unsigned int pre, unsigned int post) override;
  int GetAIAnalogTriggerParam(int* mode, char* enable, float* high, float* low, int count,
                              unsigned int* pre, unsigned int* post) override;
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
  int AD_ReadCodes(unsigned int* dst, unsigned int count) override;
  int AD_BufferStatus() override;
  int Get_ADSize() override;
  int AD_ClearData() override;
  int ReadHostLANBuffer(char* dst, unsigned int bytes) override;
  int ReadHostLANBufferCnt() override;
  // The device's RAM status ("~01N"): sample count and status bits.
  int GetKVRAMBufferStatus(unsigned int* count, unsigned int* status);

  // Logging runs.
  int StartLogger(const char* path, int period, int mode) override;
  void StopLogger() override;
  void SaveStartSamplingTimetoConfigFile() override;
  int LoggerMode = 0;
  int LogFilePeriod = 0;

  // SD-card recordings. Listing and information are refused while a run
  // acquires (0x18011); 0x17003 when the device does not answer or refuses,
  // 0x17008 for a reply that is not what it should be.
  int GetSDAllLogFiles(unsigned int* count) override;
  // time receives the recorded time as the device wrote it, at most 255
  // characters and a NUL.
  int GetSDLogFile_Info(unsigned int index, unsigned int* first, unsigned int* samples,
                        char* time) override;
  // Downloads recording index into the log layout below path (the current
  // folder when null or empty), in logger mode `mode`; 1 when the transfer
  // started. A running download is stopped first; another run refuses it.
  int DownloadSDFile(unsigned int index, char area, char* path, int mode) override;
  // Writes the device's configuration text of a recording into
  // folder/config, named after stem, tag and the recording's time (a
  // std::tm*); 0, or -1 when the device refused or the file failed.
  int SaveSDConfigFile(unsigned int index, char area, char* folder, char* stem, unsigned int tag,
                       void* time) override;

  // Events: delivered on the worker thread that detects them.
  void DOCallBackFun(unsigned short event) override;
  int SetEventCallback(unsigned short mask, unsigned short spare, void* function,
                       void* user_data) override;
  int RemoveEventCallback(unsigned short mask) override;

  // Filtering exists only where a driver overrides these; here they succeed
  // and do nothing.
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
  // One read of a calibration table. *silent counts consecutive reads the
  // device left unanswered: a device silent twice in a row will not answer
  // the rest, so callers give up at 2 rather than wait out every read.
  bool table_read(Reply& reply, int timeout_ms, int* silent, const char* format, ...)
      __attribute__((format(printf, 5, 6)));
  // The busy rule of the digital, counter and output operations: refused
  // with 0x18011 while a run is acquiring.
  bool busy();
  bool channel_ok(unsigned int channel, unsigned int limit);
  // Sends command_text and parses `digits` hexadecimal digits per channel
  // from position 1 into raw, keeping them for reads during a run.
  int read_raw_codes(const char* command_text, int digits, int* raw, int count);

  // The scan-configuration exchange every family makes: the channel/gain/
  // trigger command (first), a calibration reload when the gain changed,
  // the rate command, the sample count and the option, storing each value
  // once the device took it. rate is what is stored as the scan's rate.
  int send_scan_commands(const char* first, short ch_count, short gain, short trig_mode,
                         short transfer_mode, const char* rate_command, uint32_t rate,
                         unsigned int sample_count, short option);
  // Sends the scan parameters again: the current channels, gain, transfer
  // mode and option with the given trigger mode, rate and count.
  int send_scan_param(uint16_t trigger_mode, uint32_t rate, uint32_t count);

  // How GetScanParam reads the device: the fields of the "~01P" reply (-1
  // where a field is not a digit), the trigger mode a digit stands for (-1:
  // not one), and the rate of a "~01R" reply.
  struct ScanReply {
    int gain, channels, trigger_digit, transfer;
  };
  virtual ScanReply parse_scan_reply(const Reply& reply) const;
  virtual int trigger_mode_of_digit(int digit) const { return digit; }
  virtual bool parse_rate(const Reply& reply, unsigned long* rate) const;
  virtual unsigned long max_rate() const = 0;
  // The 24-bit devices' forms: trigger digits 0/1 (mode 0) and 2 (mode 6),
  // and the rate as the clock divided by the A, B, D of "!01AABBDDDD".
  static int ram_trigger_mode(int digit);
  static bool parse_divided_rate(const Reply& reply, unsigned long* rate);

  // Checks a single-point read makes before any exchange (the range, the
  // busy rule where a family has no cache); 0 with the code set.
  virtual int check_single_point(int /*gain*/) { return 1; }

  // Analog-trigger codes: hexadecimal digits on the wire, the code of a
  // level (false: no code for it, with the error set), and the full scale a
  // level may not exceed.
  virtual int trigger_digits() const { return 4; }
  virtual bool trigger_code(int channel, float level, uint32_t* code) = 0;
  virtual float trigger_full_scale(int channel) const = 0;
  uint32_t trigger_high_rail() const { return (1u << (4 * trigger_digits() - 1)) - 1; }
  uint32_t trigger_low_rail() const { return 1u << (4 * trigger_digits() - 1); }

  // Configuration-file lines a family adds after "Gain,%d" and after
  // "Transfer Mode,%d", and the per-channel calibration lines.
  virtual void log_lines_after_gain(std::vector<std::string>&) {}
  virtual void log_lines_after_transfer(std::vector<std::string>&) {}
  virtual void log_channel_lines(std::vector<std::string>& lines, int channels, int gain);

  // Ring unit: one sample of every scanned channel unless a driver streams
  // frames of its own.
  virtual uint32_t ring_unit() const;
  virtual bool sync_in_enabled() const { return false; }

  // AcqHooks shared by the family.
  bool ram_status(uint32_t* count, uint32_t* status) override;
  bool transmit() override;
  uint32_t trigger_index() override;
  uint32_t post_trigger_count() const override { return PostTriggerCount; }

  // LogHooks.
  std::vector<std::string> log_config_lines() override;
  bool log_start_time(std::string* text) override;
  int log_value_text(int32_t raw, unsigned channel, char* out, std::size_t capacity) override;

  ScanSettings scan_settings() const;
  // A run into files (logging, download): its description, and its start
  // (files prepared, the worker started; false with the code set, nothing
  // left behind).
  LogRun log_run(const char* path, int period, int mode, const ScanSettings& scan) const;
  bool start_file_run(RunKind kind, const LogRun& run);
  // A recording's information ("~01SDI"): false with 0x17003 (no answer,
  // refused) or 0x17008 (a field that is not a number, an impossible time).
  struct SdRecording {
    unsigned long first = 0, samples = 0;
    std::tm time{};      // the numbers as the device wrote them
    std::string text;    // the recorded time as written
  };
  bool read_sd_recording(unsigned int index, SdRecording* out);
  // The device's configuration text of a recording ("~01SDL"); false with
  // 0x17003 when it does not answer or refuses.
  bool read_sd_config(unsigned int index, char area, std::string* text);
  // Sends a start or stop order; 1 when the device acknowledged it.
  int run_order(const char* order);
  // Before a run: connected, and a data connection the device closed or
  // reset is made anew. False when there is none to be had.
  bool data_connection_ready();
  // Reads the analog trigger's settings from the device into the fields;
  // false (with the code set) when a reply is missing or malformed.
  bool read_analog_trigger();
  // Ring size in bytes and time-out base of a scan about to start.
  uint32_t ring_bytes() const;
  uint32_t compute_timeout_base(uint32_t ring_bytes) const;

  // The scan's ring: blocks go into the engine's ring buffer.
  class ScanSink : public RunSink {
   public:
    explicit ScanSink(LxDevice& owner) : owner_(owner) {}
    bool store(uint32_t link, const char* data, uint32_t bytes) override;
    char* direct_space(uint32_t link, uint32_t wanted) override;
    bool commit_direct(uint32_t link, uint32_t bytes) override;

   private:
    LxDevice& owner_;
  };

  // Differences set by a family's constructor.
  unsigned int do_range_code = 0x1300C;   // WriteDO of a value wider than do_count
  bool honours_timeout_override = true;   // configuration item 5, index 2
  bool ram_status_with_flags = false;     // "~01N" always in the form with status
  int log_text_decimals = 5;              // text log files

  int data_port;
  int data_socket = -1;

  // Scan configuration as last accepted by the device.
  uint16_t ScanOption = 0;
  int32_t DataTimeoutOverride = -1;
  LogFolderConfig LogFolders;  // item 4
  std::vector<float> ChannelFactor;

  uint32_t AnalogTriggerMode = 0;
  uint32_t PreTriggerCount = 0;
  uint32_t PostTriggerCount = 0;
  std::atomic<uint32_t> TriggerIndex{0};
  std::vector<uint32_t> TriggerHighCode;
  std::vector<uint32_t> TriggerLowCode;

  // Acquisition.
  uint32_t ADBufferSize = 0;
  bool ContinuousScan = false;
  ScanSink scan_sink_{*this};
  AcqEngine engine_{*this, *this};
  Logger logger_{engine_, *this};

  // Calibration per channel and gain code: gain factor, offset in codes.
  CalTable<uint16_t> GainTable;
  CalTable<int16_t> OffsetTable;

  // Volts of up to count samples from the ring, converted where the ring
  // holds them; *first (when given) is where in its unit the first sample
  // sat, and the unit's size.
  int read_volts(float* dst, unsigned int count, RingPlace* first);
  // Volts of n samples as the ring holds them (src: 16-bit codes, or 32-bit
  // words for wider samples; any alignment) of a run of `channels` channels
  // at range code `gain`, the first of channel phase % channels. By default
  // sample by sample through Calibrate_Hex2Float; a family replaces that
  // with its table-driven form (which must give the same bits).
  virtual void codes_to_volts(const char* src, uint32_t n, uint32_t channels, uint32_t phase,
                              int gain, float* dst);

 private:

  // Last raw codes read; returned while a run is acquiring. Per device, so
  // that one device never hands out another's readings; guarded by
  // raw_cache_mu_ (single-point reads may come from several threads).
  std::mutex raw_cache_mu_;
  std::vector<int> last_raw_codes;
  bool have_last_raw_codes = false;
};

}  // namespace korvel
