// MODEL: the base of every device driver.
//
// The exported functions know only this class: they validate a handle and
// call one of its virtual operations. A driver overrides what its device
// supports; every operation it leaves alone reports KV_ERR_UNSUPPORTED
// (0xFFFFF), clears the outputs listed with it and returns 0 (or -1, or
// nothing, as declared). That default is the library's answer for a function
// a device lacks.
//
// Threads: operations are called on the application's thread unless stated.
// The thread routines (RunThread*, the buffer writers) run on the device's
// single worker thread. Command exchanges are serialised by the device's
// command lock inside SendRec/SendRec2; no other lock is held when an
// operation is entered.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "model/descriptor.h"
#include "net/clock.h"
#include "net/transport.h"

namespace korvel {

class MODEL {
 public:
  MODEL(const char* ip, int cmd_port, int data_port, const QLXmodule& module);
  MODEL(const MODEL&) = delete;
  MODEL& operator=(const MODEL&) = delete;

  virtual ~MODEL();
  virtual int ConnectServer();
  virtual int DisconnectServer();
  virtual int GetFPGAVersion(char* text);
  virtual int Calibrate_HEX(int raw, int channel, int gain, int* out);
  virtual int Calibrate_Hex2Float(int raw, int channel, int gain, float* out);
  virtual int ReadAI(int channel, int gain, float* value);
  virtual int ReadAIALL(int gain, float* values, int count);
  virtual int ReadAIHEX(int channel, int gain, int* value);
  virtual int ReadAIALLHEX(int gain, int* values, int count);
  virtual int ReadDIO(unsigned int* di, unsigned int* do_value);
  virtual int WriteDO(unsigned int value);
  virtual int WriteDOBit(int bit, bool on);
  virtual int GetDICNTConfig(unsigned int channel, unsigned int* config, unsigned int* preset);
  virtual int SetDICNTConfig(unsigned int channel, unsigned int config, unsigned int preset);
  virtual int GetCounterConfig(unsigned int channel, unsigned int* config, unsigned int* preset);
  virtual int SetCounterConfig(unsigned int channel, unsigned int config, unsigned int preset);
  virtual int GetDICNT(unsigned int channel, unsigned int* value);
  virtual int GetCounter(unsigned int channel, unsigned int* value);
  virtual int ClearDICNT(unsigned int channel);
  virtual int ClearDICNTALL();
  virtual int ClearCounter(unsigned int channel);
  virtual int ClearCounterALL();
  virtual int GetDICNTAll(unsigned int* values, int count);
  virtual int GetCounterAll(unsigned int* values, int count);
  virtual int SetScanParam(short ch_count, short gain, short trig_mode, int sample_rate,
                           unsigned int sample_count, short transfer_mode, short option);
  virtual int GetScanParam(short* ch_count, short* gain, short* trig_mode, int* sample_rate,
                           unsigned int* sample_count, short* transfer_mode, short* option);
  virtual int SetConfig(int item, int index, int value);
  virtual int GetConfig(int item, int index, int* value);
  virtual int SetRMSParam(short rpf, short dt);
  virtual int GetRMSParam(short* rpf, short* dt);
  virtual int GetAIAnalogTriggerIdx();
  virtual int SetAIAnalogTriggerParam(int mode, const char* enable, const float* high, const float* low, int count,
                                      unsigned int pre, unsigned int post);
  virtual int GetAIAnalogTriggerParam(int* mode, char* enable, float* high, float* low, int count,
                                      unsigned int* pre, unsigned int* post);
  virtual int StartAIScan();
  virtual int StopAIScan();
  virtual int SetWinSize(unsigned int size);
  virtual int StartMagicScan();
  virtual int StopMagicScan();
  virtual int StartLANQueue();
  virtual int StopLANQueue();
  virtual int GetDAQSampleCnt();
  virtual int GetTCPReceivedCnt();
  virtual void ClearCnt();
  // Worker thread.
  virtual int RunThreadAIScan_NSampleRoutine();
  virtual int RunThreadAIScan_ReceiveDATAfromKVDevice();
  virtual int RunThreadLog_NSampleRoutine();
  virtual int RunThreadLog_ReceiveDATAfromKVDevice();
  virtual void RunThread();
  virtual int Start();
  virtual int Stop();
  virtual int ReBoot();
  virtual int TransmitData();
  virtual int GetKVStartSamplingTime(char* text);
  virtual int ReadHostLANBuffer(char* dst, unsigned int bytes);
  virtual int ReadHostLANBufferCnt();
  virtual int ChangeTimeStamp();
  virtual int ReadGainOffset(int channel, int gain, unsigned short* gain_factor, short* offset);
  virtual int ReadAllGainOffsetfromKV();
  virtual void SaveStartSamplingTimetoConfigFile();
  virtual void StopLogger();
  virtual void setKVsamplingStatus(bool on);
  virtual int getKVsamplingStatus();
  // Worker thread; must not call back into the API.
  virtual void DOCallBackFun(unsigned short event);
  virtual int SetEventCallback(unsigned short mask, unsigned short spare, void* function,
                               void* user_data);
  virtual int RemoveEventCallback(unsigned short mask);
  virtual int AD_ReadData(char* dst, unsigned int count, int unit);
  virtual int AD_ReadData_float(float* dst, unsigned int count, int unit);
  // Up to count samples as 32-bit words (16-bit codes sign-extended); the
  // number read. By default through AD_ReadData, widening in dst itself.
  virtual int AD_ReadCodes(unsigned int* dst, unsigned int count);
  virtual int AD_BufferStatus();
  virtual int Get_ADSize();
  virtual int AD_ClearData();
  virtual int LANBuffer_Init();
  virtual void LANBuffer_Uninit();
  virtual int GetSDAllLogFiles(unsigned int* count);
  virtual int GetSDLogFile_Info(unsigned int index, unsigned int* first, unsigned int* samples,
                                char* time);
  virtual int StartDownload();
  virtual void RunThreadDownload();
  virtual void SaveMagicConfig(char* folder, char* stem, unsigned int tag, void* time);
  virtual int StartLogger(const char* path, int period, int mode);
  virtual int DownloadSDFile(unsigned int index, char area, char* path, int mode);
  virtual int SaveSDConfigFile(unsigned int index, char area, char* folder, char* stem,
                               unsigned int tag, void* time);
  virtual int RunThreadDownload_ReceiveDATAfromKVDevice();
  virtual int ChangeTimeStamp_SD_Download();
  virtual int SetAIDelayTriggerParam(unsigned int delay);
  virtual int GetAIDelayTriggerParam(unsigned int* delay);
  virtual int SetSyncInScanParam(unsigned int header_mode, const unsigned short* sizes,
                                 const unsigned short* types, unsigned short count,
                                 unsigned int options, unsigned int spare);
  virtual int GetSyncInScanParam(unsigned int* header_mode, unsigned short* sizes,
                                 unsigned short* types, unsigned short max_count,
                                 unsigned short* count, unsigned int* options,
                                 unsigned int* spare);
  virtual void RunThreadSyncInScan();
  virtual int WriteAO(int channel, int range, float value);
  virtual int WriteAOHEX(int channel, int range, int value);
  virtual int GetEncoderMode(int channel, int* s1, int* s2, int* s3);
  virtual int SetEncoderMode(int channel, int s1, int s2, int s3);
  virtual int ReadEncoder(int channel, unsigned int* value);
  virtual int ClearEncoder(int channel);
  virtual int GetModuleTable(int* count, char* modules);
  virtual int ConfigTrigOut(int a, int b);
  virtual int Init_Software_Filter(int channel, int order, int sample_rate);
  virtual int Set_LowPassFilter(int channel, int enable, float f);
  virtual int Set_HighPassFilter(int channel, int enable, float f);
  virtual int Set_BandPassFilter(int channel, int enable, float f1, float f2);
  virtual int Set_BandStopFilter(int channel, int enable, float f1, float f2);
  virtual int Filter_Data(unsigned int count, float* values);
  virtual int Filter_DataHEX(unsigned int count, unsigned int* codes);

  // Stores the firmware version and writes the date text, at most size - 1
  // characters and a NUL. Returns 0.
  int GetFirmVersionDate(unsigned short* version, char* date, int size) const;

  // Longest command text an exchange accepts (the CR makes 255 bytes).
  static constexpr std::size_t kMaxCommandChars = 254;

  // One command line out (the CR is added), one CR-ended reply in. The reply
  // (without its CR, NUL-terminated, at most reply_capacity - 1 characters;
  // reply_capacity at most kLongReplyCapacity) goes to reply. Stray bytes are
  // discarded first, and pieces are accumulated until the CR. Exchanges of
  // one device are serialised. 1 received; 0 with 0x1700A (short send, or no
  // usable connection), 0x17002 (no complete reply in time) or 0x17008
  // (command longer than 254 characters).
  // A reply is never taken for a later command's: an exchange that fails
  // after sending anything, or whose command holds CRs of its own (several
  // lines, each of which the device may answer), replaces the connection
  // with a new one to the same peer under the same descriptor number
  // (connect bounded by 1 s), so a late reply is left on the old one. A failed exchange may thus take up to 1 s
  // longer than timeout_ms. When no new connection can be had the old one is
  // shut down and the next exchange tries again before sending.
  int SendRec(int socket, const char* command, char* reply, int timeout_ms,
              std::size_t reply_capacity = kReplyCapacity);
  // As SendRec, for replies of several lines that span several receives:
  // the reply ends at a CR with nothing more waiting behind it, and is the
  // text received less its last four bytes (the CR and a three-character
  // trailer). reply_capacity bounds what is stored.
  int SendRec2(int socket, const char* command, char* reply, int timeout_ms,
               std::size_t reply_capacity = 1024);
  // 1 when the socket is readable within timeout_seconds, 0 when not; -1 on a
  // poll failure, with errno stored as the last error.
  int IsDataAvailable_2(int socket, int timeout_seconds);

  // True on the device's own worker thread (in an event callback). Starting,
  // stopping, reconfiguring or releasing the device from there is refused: a
  // thread cannot wait for itself.
  bool on_worker_thread() const { return worker_thread.load() == std::this_thread::get_id(); }
  // The worker thread of the running scan or logging run, set by the engine.
  std::atomic<std::thread::id> worker_thread{};

  // Run lifecycle. Starting, stopping and reconfiguring runs (scans, sync-in
  // scans, logging runs, downloads) and releasing the device happen under
  // lifecycle_mutex, one at a time per device; the API layer takes it, never
  // a driver, and never on the device's worker thread.
  std::mutex lifecycle_mutex;
  // Set under lifecycle_mutex by the release; later lifecycle calls through
  // a reference still held are refused as for an unknown handle.
  bool released = false;
  // True while a run exists: from its start until it is stopped (a finite
  // run that reached its count still exists until then). Called with
  // lifecycle_mutex held.
  virtual bool run_active() const { return false; }
  // Stops every run and joins the worker. Called with lifecycle_mutex held,
  // never on the worker thread.
  virtual void stop_all_runs() {}

  // The handle the application knows this device by (given at registration);
  // event callbacks receive it.
  std::atomic<void*> handle{nullptr};

  // Fields shared by every driver.
  char ip_address[256] = {};
  QLXmodule module{};
  TimeData acq_timer;
  TimeData cmd_timer;
  std::atomic<bool> sampling_status{false};
  unsigned short firmware_version = 0;
  char firmware_date[26] = {};
  int cmd_port = 0;
  // Command connection; KV_SendRecv exchanges on it directly.
  int cmd_socket = -1;

 private:
  bool exchange(int socket, const char* command, char* buf, std::size_t capacity, int timeout_ms,
                std::size_t* n, bool multi_line = false);
  std::mutex command_mutex_;
};

// Parses consecutive 8-digit hexadecimal fields of text (length characters)
// into values, at most max_values. 1 parsed; 0 with 0x17008 on a bad field.
int parse_fields(const char* text, int length, unsigned int* values, int max_values);

}  // namespace korvel
