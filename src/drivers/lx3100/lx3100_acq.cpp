// LX3100 acquisition: how its scans use the shared engine, and its buffer.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/errors.h"
#include "drivers/lx3100/lx3100.h"
#include "net/transport.h"

namespace korvel {

namespace {

constexpr uint32_t kContinuousRingBytes = 1460000;
// A finite scan's ring holds ten times its 2-byte samples.
constexpr uint64_t kRingBytesPerSample = 20;
// Per channel, the device streams at most this rate live; faster scans go
// through its RAM.
constexpr uint64_t kLiveRatePerChannel = 30000;
// Firmware from this version on reports a status with the RAM count.
constexpr unsigned kStatusFirmware = 776;

}  // namespace

ScanSettings LX3100::scan_settings() const {
  ScanSettings s;
  s.channels = ScanChannelCount;
  s.gain = ScanGain;
  s.trigger_mode = ScanTriggerMode;
  s.rate = ScanSampleRate;
  s.sample_count = ScanSampleCount;
  s.sample_bytes = module.sample_bytes;
  return s;
}

bool LX3100::needs_ram_phase(const ScanSettings& s) const {
  const uint16_t m = s.trigger_mode;
  return static_cast<uint64_t>(s.rate) * s.channels > module.ai_count * kLiveRatePerChannel ||
         !(m == 0 || m == 1 || m == 7 || m == 8);
}

bool LX3100::limits_receive(const ScanSettings& s, RunKind kind) const {
  if (s.trigger_mode == 8) return false;  // mode 8 counts blocks, not samples
  return kind == RunKind::Log || s.trigger_mode != 7;
}

bool LX3100::ram_status(uint32_t* count, uint32_t* status) {
  return GetKVRAMBufferStatus(count, status) == 1;
}

bool LX3100::transmit() { return TransmitData() == 1; }

uint32_t LX3100::trigger_index() {
  GetAIAnalogTriggerIdx();
  return TriggerIndex;
}

int LX3100::GetKVRAMBufferStatus(unsigned int* count, unsigned int* status) {
  Reply r;
  if (!command(r, kCommandTimeoutMs, "~01N") || r.at(0) != '!') return 0;
  unsigned long n = 0;
  if (firmware_version >= kStatusFirmware) {
    const char a = r.at(3), b = r.at(4);
    if (a < '0' || a > '9' || b < '0' || b > '9') return fail(KV_ERR_INVALID_VALUE);
    if (std::sscanf(r.from(5), "%lu", &n) != 1) return fail(KV_ERR_INVALID_VALUE);
    *status = static_cast<unsigned int>((a - '0') * 10 + (b - '0'));
  } else {
    if (std::sscanf(r.from(3), "%lu", &n) != 1) return fail(KV_ERR_INVALID_VALUE);
    *status = 0;
  }
  *count = static_cast<unsigned int>(n);
  return 1;
}

uint32_t LX3100::ring_bytes() const {
  if (ScanTriggerMode == 7 || ScanSampleCount == 0) return kContinuousRingBytes;
  return static_cast<uint32_t>(
      std::min<uint64_t>(ScanSampleCount * kRingBytesPerSample, UINT32_MAX));
}

uint32_t LX3100::compute_timeout_base(uint32_t ring) const {
  if (DataTimeoutOverride >= 1) return static_cast<uint32_t>(DataTimeoutOverride);
  // About 2.5 times the expected duration of a finite scan.
  const float per_second = static_cast<float>(ScanSampleRate) * static_cast<float>(ScanChannelCount);
  const float base = per_second > 0 ? static_cast<float>(ring) * 2.5f / per_second : 1.0f;
  const uint32_t b = base >= 4.0e9f ? UINT32_MAX : static_cast<uint32_t>(base);
  return b == 0 ? 1 : b;
}

bool LX3100::sync_in_enabled() const { return SyncIn.enabled(); }

bool LX3100::run_active() const { return engine_.run_exists(); }

void LX3100::stop_all_runs() {
  if (!engine_.run_exists()) return;
  engine_.request_stop();
  StopMagicScan();
  engine_.stop();
  logger_.close();
  LANBuffer_Uninit();
}

int LX3100::StartLANQueue() {
  if (engine_.run_exists()) return fail(KV_ERR_BUSY_SAMPLING);  // stop the previous run first
  engine_.set_device_count(0);
  if (cmd_socket < 0 || data_socket < 0) return fail(KV_ERR_OPEN_DEVICE);
  engine_.set_received(0);
  ContinuousScan = ScanSampleCount == 0;
  ADBufferSize = ring_bytes();
  if (!StartAIScan()) return 0;
  if (!StartMagicScan()) {
    // The device never started: no worker may wait for its data.
    const unsigned int code = static_cast<unsigned int>(get_last_error());
    engine_.stop();
    LANBuffer_Uninit();
    return fail(code);
  }
  return 1;
}

int LX3100::StartAIScan() {
  if (engine_.run_exists()) return fail(KV_ERR_BUSY_SAMPLING);
  if (!LANBuffer_Init()) return 0;
  const RunKind kind = sync_in_enabled() ? RunKind::SyncIn : RunKind::Scan;
  if (!engine_.start(kind, scan_settings(), compute_timeout_base(ADBufferSize), data_socket,
                     &scan_sink_)) {
    LANBuffer_Uninit();
    return fail(KV_ERR_OUT_OF_MEMORY);
  }
  return 1;
}

int LX3100::StopLANQueue() {
  if (data_socket < 0) return 0;
  // A callback cannot wait for the thread it runs on.
  if (engine_.on_worker_thread()) return fail(KV_ERR_NOT_SUPPORTED);
  engine_.request_stop();
  const bool acknowledged = StopMagicScan() == 1;
  const unsigned int code = acknowledged ? 0u : static_cast<unsigned int>(get_last_error());
  StopAIScan();
  // Stopped on this side either way; a device that did not take the stop
  // may still be sampling, which the caller must hear of.
  return acknowledged ? 1 : fail(code);
}

int LX3100::StopAIScan() {
  engine_.stop();
  LANBuffer_Uninit();
  return 1;
}

// Start and stop orders: 1 when the device acknowledged ("!"); 0 with
// 0x17002 (no reply), 0x1700A (not sent) or 0x17003 (refused).
int LX3100::StartMagicScan() { return run_order("~01S"); }

int LX3100::StopMagicScan() { return run_order("~01Z"); }

int LX3100::run_order(const char* order) {
  Reply r;
  if (!command(r, kCommandTimeoutMs, "%s", order)) return 0;
  return r.at(0) == '!' ? 1 : fail(KV_ERR_RESPONSE);
}

int LX3100::GetDAQSampleCnt() { return static_cast<int>(engine_.device_count()); }

int LX3100::GetTCPReceivedCnt() {
  return data_socket >= 0 ? static_cast<int>(engine_.received()) : 0;
}

void LX3100::ClearCnt() {
  if (data_socket >= 0) engine_.set_received(0);
}

int LX3100::GetKVStartSamplingTime(char* text) {
  Reply r;
  if (!command(r, kCommandTimeoutMs, "~01SST") || r.at(0) != '!') return 0;
  if (text) std::memcpy(text, r.from(4), std::strlen(r.from(4)) + 1);
  return 1;
}

int LX3100::LANBuffer_Init() {
  // The ring keeps whole units: a frame of a sync-in scan, else one sample
  // of every scanned channel.
  const uint32_t unit = sync_in_enabled() && SyncIn.FrameTotalSize != 0
                            ? SyncIn.FrameTotalSize
                            : std::max<uint32_t>(1, ScanChannelCount) * module.sample_bytes;
  // The tag carries the range the samples are converted with.
  if (!engine_.ring().init(ADBufferSize, unit, ScanGain)) return fail(KV_ERR_OUT_OF_MEMORY);
  return 1;
}

void LX3100::LANBuffer_Uninit() { engine_.ring().release(); }

bool LX3100::ScanSink::store(const char* data, uint32_t bytes) {
  if (owner_.ScanTriggerMode == 8) return true;  // mode 8 only counts blocks
  if (owner_.engine_.ring().write(data, bytes) != RingBuffer::WriteResult::Stored)
    owner_.engine_.raise(8);
  return true;
}

char* LX3100::ScanSink::direct_space(uint32_t wanted) {
  if (owner_.ScanTriggerMode == 8) return nullptr;
  return owner_.engine_.ring().reserve(wanted);
}

bool LX3100::ScanSink::commit_direct(uint32_t bytes) {
  owner_.engine_.ring().commit(bytes);
  return true;
}

int LX3100::AD_ReadData(char* dst, unsigned int count, int unit) {
  if (unit <= 0 || dst == nullptr) return 0;
  return static_cast<int>(engine_.ring().read(dst, count, static_cast<uint32_t>(unit)));
}

int LX3100::AD_ReadData_float(float* dst, unsigned int count, int) {
  if (dst == nullptr) return 0;
  // Converted in slices so that no allocation happens per call. The ring
  // tells each slice's channel, whatever raw reads took in between, and the
  // run's channel count and range: no setter's field is read here.
  int16_t codes[4096];
  unsigned int total = 0;
  while (total < count) {
    const uint32_t want = std::min<uint32_t>(count - total, 4096);
    RingPlace place;
    const uint32_t n = engine_.ring().read(reinterpret_cast<char*>(codes), want, 2, &place);
    if (n == 0) break;
    const uint32_t channels = place.unit / 2;
    const int gain = static_cast<int>(place.tag);
    if (channels != 0) {
      const uint32_t phase = place.offset / 2;
      for (uint32_t i = 0; i < n; ++i)
        Calibrate_Hex2Float(codes[i], static_cast<int>((phase + i) % channels), gain,
                            &dst[total + i]);
    }
    total += n;
    if (n < want) break;
  }
  return static_cast<int>(total);
}

int LX3100::AD_BufferStatus() { return engine_.ring().status(); }

int LX3100::Get_ADSize() {
  return static_cast<int>(engine_.ring().count() / module.sample_bytes);
}

int LX3100::AD_ClearData() {
  engine_.ring().clear();
  return 0;
}

int LX3100::ReadHostLANBuffer(char* dst, unsigned int bytes) { return AD_ReadData(dst, bytes, 1); }

int LX3100::ReadHostLANBufferCnt() { return Get_ADSize(); }

void LX3100::DOCallBackFun(unsigned short event) { engine_.raise(event, 0); }

int LX3100::SetEventCallback(unsigned short mask, unsigned short, void* function,
                             void* user_data) {
  engine_.set_events(mask, reinterpret_cast<AcqEngine::EventFunction>(function), user_data);
  return 0;
}

int LX3100::RemoveEventCallback(unsigned short) {
  engine_.clear_events();
  return 0;
}

}  // namespace korvel
