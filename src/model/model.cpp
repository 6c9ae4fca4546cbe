#include "model/model.h"

#include <cstring>

#include "core/errors.h"

namespace korvel {

namespace {
int unsupported() {
  set_last_error(KV_ERR_UNSUPPORTED);
  return 0;
}
template <class T>
void clear(T* p) {
  if (p) *p = T{};
}
template <class T>
void clear_n(T* p, int n) {
  if (p)
    for (int i = 0; i < n; ++i) p[i] = T{};
}
void clear_text(char* text) {
  if (text) text[0] = '\0';
}
}  // namespace

MODEL::MODEL(const char* ip, int cmd_port_arg, int, const QLXmodule& module_arg)
    : module(module_arg), cmd_port(cmd_port_arg) {
  if (ip) std::strncpy(ip_address, ip, sizeof ip_address - 1);
}

MODEL::~MODEL() = default;

int MODEL::GetFirmVersionDate(unsigned short* version, char* date, int size) const {
  if (version) *version = firmware_version;
  if (date && size > 0) {
    std::size_t n = std::strlen(firmware_date);
    if (n > static_cast<std::size_t>(size - 1)) n = static_cast<std::size_t>(size - 1);
    std::memcpy(date, firmware_date, n);
    date[n] = '\0';
  }
  return 0;
}

int MODEL::ConnectServer() { return unsupported(); }
int MODEL::DisconnectServer() { return unsupported(); }
int MODEL::GetFPGAVersion(char* text) {
  clear_text(text);
  return unsupported();
}
int MODEL::Calibrate_HEX(int, int, int, int* out) {
  clear(out);
  return unsupported();
}
int MODEL::Calibrate_Hex2Float(int, int, int, float* out) {
  clear(out);
  return unsupported();
}
int MODEL::ReadAI(int, int, float*) { return unsupported(); }
int MODEL::ReadAIALL(int, float*, int) { return unsupported(); }
int MODEL::ReadAIHEX(int, int, int*) { return unsupported(); }
int MODEL::ReadAIALLHEX(int, int*, int) { return unsupported(); }
int MODEL::ReadDIO(unsigned int* di, unsigned int* do_value) {
  clear(di);
  clear(do_value);
  return unsupported();
}
int MODEL::WriteDO(unsigned int) { return unsupported(); }
int MODEL::WriteDOBit(int, bool) { return unsupported(); }
int MODEL::GetDICNTConfig(unsigned int, unsigned int* config, unsigned int* preset) {
  clear(config);
  clear(preset);
  return unsupported();
}
int MODEL::SetDICNTConfig(unsigned int, unsigned int, unsigned int) { return unsupported(); }
int MODEL::GetCounterConfig(unsigned int, unsigned int* config, unsigned int* preset) {
  clear(config);
  clear(preset);
  return unsupported();
}
int MODEL::SetCounterConfig(unsigned int, unsigned int, unsigned int) { return unsupported(); }
int MODEL::GetDICNT(unsigned int, unsigned int* value) {
  clear(value);
  return unsupported();
}
int MODEL::GetCounter(unsigned int, unsigned int* value) {
  clear(value);
  return unsupported();
}
int MODEL::ClearDICNT(unsigned int) { return unsupported(); }
int MODEL::ClearDICNTALL() { return unsupported(); }
int MODEL::ClearCounter(unsigned int) { return unsupported(); }
int MODEL::ClearCounterALL() { return unsupported(); }
int MODEL::GetDICNTAll(unsigned int* values, int count) {
  clear_n(values, count);
  return unsupported();
}
int MODEL::GetCounterAll(unsigned int* values, int count) {
  clear_n(values, count);
  return unsupported();
}
int MODEL::SetScanParam(short, short, short, int, unsigned int, short, short) {
  return unsupported();
}
int MODEL::GetScanParam(short* ch_count, short* gain, short* trig_mode, int* sample_rate,
                        unsigned int* sample_count, short* transfer_mode, short* option) {
  clear(ch_count);
  clear(gain);
  clear(trig_mode);
  clear(sample_rate);
  clear(sample_count);
  clear(transfer_mode);
  clear(option);
  return unsupported();
}
int MODEL::SetConfig(int, int, int) { return unsupported(); }
int MODEL::GetConfig(int, int, int* value) {
  clear(value);
  return unsupported();
}
int MODEL::SetRMSParam(short, short) { return unsupported(); }
int MODEL::GetRMSParam(short* rpf, short* dt) {
  clear(rpf);
  clear(dt);
  return unsupported();
}
int MODEL::GetAIAnalogTriggerIdx() { return unsupported(); }
int MODEL::SetAIAnalogTriggerParam(int, const char*, const float*, const float*, int, unsigned int, unsigned int) {
  return unsupported();
}
int MODEL::GetAIAnalogTriggerParam(int* mode, char* enable, float* high, float* low, int count,
                                   unsigned int* pre, unsigned int* post) {
  clear(mode);
  clear_n(enable, count);
  clear_n(high, count);
  clear_n(low, count);
  clear(pre);
  clear(post);
  return unsupported();
}
int MODEL::StartAIScan() { return unsupported(); }
int MODEL::StopAIScan() { return unsupported(); }
int MODEL::SetWinSize(unsigned int) { return unsupported(); }
int MODEL::StartMagicScan() { return unsupported(); }
int MODEL::StopMagicScan() { return unsupported(); }
int MODEL::StartLANQueue() { return unsupported(); }
int MODEL::StopLANQueue() { return unsupported(); }
int MODEL::GetDAQSampleCnt() { return unsupported(); }
int MODEL::GetTCPReceivedCnt() { return unsupported(); }
void MODEL::ClearCnt() { unsupported(); }
int MODEL::RunThreadAIScan_NSampleRoutine() { return unsupported(); }
int MODEL::RunThreadAIScan_ReceiveDATAfromKVDevice() { return unsupported(); }
int MODEL::RunThreadLog_NSampleRoutine() { return unsupported(); }
int MODEL::RunThreadLog_ReceiveDATAfromKVDevice() { return unsupported(); }
void MODEL::RunThread() { unsupported(); }
int MODEL::Start() { return unsupported(); }
int MODEL::Stop() { return unsupported(); }
int MODEL::ReBoot() { return unsupported(); }
int MODEL::TransmitData() { return unsupported(); }
int MODEL::GetKVStartSamplingTime(char* text) {
  clear_text(text);
  return unsupported();
}
int MODEL::ReadHostLANBuffer(char*, unsigned int) { return unsupported(); }
int MODEL::ReadHostLANBufferCnt() { return unsupported(); }
int MODEL::ChangeTimeStamp() { return unsupported(); }
int MODEL::ReadGainOffset(int, int, unsigned short* gain_factor, short* offset) {
  clear(gain_factor);
  clear(offset);
  return unsupported();
}
int MODEL::ReadAllGainOffsetfromKV() { return unsupported(); }
void MODEL::SaveStartSamplingTimetoConfigFile() { unsupported(); }
void MODEL::StopLogger() { unsupported(); }
void MODEL::setKVsamplingStatus(bool) { unsupported(); }
int MODEL::getKVsamplingStatus() { return unsupported(); }
void MODEL::DOCallBackFun(unsigned short) { unsupported(); }
int MODEL::SetEventCallback(unsigned short, unsigned short, void*, void*) { return unsupported(); }
int MODEL::RemoveEventCallback(unsigned short) { return unsupported(); }
int MODEL::AD_ReadData(char*, unsigned int, int) { return unsupported(); }
int MODEL::AD_ReadData_float(float*, unsigned int, int) { return unsupported(); }

int MODEL::AD_ReadCodes(unsigned int* dst, unsigned int count) {
  if (module.sample_bytes == 4) return AD_ReadData(reinterpret_cast<char*>(dst), count, 4);
  if (module.sample_bytes != 2) return 0;
  // 16-bit codes land in the upper half of the caller's array and are
  // widened in place, front to back (a slot never overlaps a code not yet
  // read), so no scratch copy is needed.
  char* base = reinterpret_cast<char*>(dst);
  char* codes = base + 2 * static_cast<std::size_t>(count);
  const int n = AD_ReadData(codes, count, 2);
  for (int i = 0; i < n; ++i) {
    int16_t c;
    std::memcpy(&c, codes + 2 * i, 2);
    const uint32_t wide = static_cast<uint32_t>(static_cast<int32_t>(c));
    std::memcpy(base + 4 * i, &wide, 4);
  }
  return n;
}
int MODEL::AD_BufferStatus() { return unsupported(); }
int MODEL::Get_ADSize() { return unsupported(); }
int MODEL::AD_ClearData() { return unsupported(); }
int MODEL::LANBuffer_Init() { return unsupported(); }
void MODEL::LANBuffer_Uninit() { unsupported(); }
int MODEL::GetSDAllLogFiles(unsigned int*) { return unsupported(); }
int MODEL::GetSDLogFile_Info(unsigned int, unsigned int*, unsigned int*, char*) {
  return unsupported();
}
int MODEL::StartDownload() { return unsupported(); }
void MODEL::RunThreadDownload() { unsupported(); }
void MODEL::SaveMagicConfig(char*, char*, unsigned int, void*) { unsupported(); }
int MODEL::StartLogger(const char*, int, int) { return unsupported(); }
int MODEL::DownloadSDFile(unsigned int, char, char*, int) { return unsupported(); }
int MODEL::SaveSDConfigFile(unsigned int, char, char*, char*, unsigned int, void*) {
  unsupported();
  return -1;
}
int MODEL::RunThreadDownload_ReceiveDATAfromKVDevice() { return unsupported(); }
int MODEL::ChangeTimeStamp_SD_Download() { return unsupported(); }
int MODEL::SetAIDelayTriggerParam(unsigned int) { return unsupported(); }
int MODEL::GetAIDelayTriggerParam(unsigned int* delay) {
  clear(delay);
  return unsupported();
}
int MODEL::SetSyncInScanParam(unsigned int, const unsigned short*, const unsigned short*, unsigned short,
                              unsigned int, unsigned int) {
  return unsupported();
}
int MODEL::GetSyncInScanParam(unsigned int*, unsigned short*, unsigned short*, unsigned short,
                              unsigned short*, unsigned int*, unsigned int*) {
  return unsupported();
}
void MODEL::RunThreadSyncInScan() { unsupported(); }
int MODEL::WriteAO(int, int, float) { return unsupported(); }
int MODEL::WriteAOHEX(int, int, int) { return unsupported(); }
int MODEL::GetEncoderMode(int, int* s1, int* s2, int* s3) {
  clear(s1);
  clear(s2);
  clear(s3);
  return unsupported();
}
int MODEL::SetEncoderMode(int, int, int, int) { return unsupported(); }
int MODEL::ReadEncoder(int, unsigned int*) { return unsupported(); }
int MODEL::ClearEncoder(int) { return unsupported(); }
int MODEL::GetModuleTable(int*, char*) { return unsupported(); }
int MODEL::ConfigTrigOut(int, int) { return unsupported(); }
int MODEL::Init_Software_Filter(int, int, int) { return unsupported(); }
int MODEL::Set_LowPassFilter(int, int, float) { return unsupported(); }
int MODEL::Set_HighPassFilter(int, int, float) { return unsupported(); }
int MODEL::Set_BandPassFilter(int, int, float, float) { return unsupported(); }
int MODEL::Set_BandStopFilter(int, int, float, float) { return unsupported(); }
int MODEL::Filter_Data(unsigned int, float*) { return unsupported(); }
int MODEL::Filter_DataHEX(unsigned int, unsigned int*) { return unsupported(); }

}  // namespace korvel
