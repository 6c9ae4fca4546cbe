// Acquisition of the LX family on the shared engine, and the ring's readers.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/errors.h"
#include "drivers/lx_common/lx_device.h"
#include "net/transport.h"

namespace korvel {

namespace {

constexpr uint32_t kContinuousRingBytes = 1460000;
// A finite scan's ring holds ten times its samples.
constexpr uint64_t kRingSamplesPerSample = 10;
// Firmware from this version on reports a status with the RAM count.
constexpr unsigned kStatusFirmware = 776;

}  // namespace

ScanSettings LxDevice::scan_settings() const { return run_settings(module.sample_bytes); }

bool LxDevice::ram_status(uint32_t* count, uint32_t* status) {
  return GetKVRAMBufferStatus(count, status) == 1;
}

bool LxDevice::transmit() { return TransmitData() == 1; }

uint32_t LxDevice::trigger_index() {
  GetAIAnalogTriggerIdx();
  return TriggerIndex;
}

int LxDevice::GetKVRAMBufferStatus(unsigned int* count, unsigned int* status) {
  Reply r;
  if (!command(r, kCommandTimeoutMs, "~01N") || r.at(0) != '!') return 0;
  unsigned long n = 0;
  if (ram_status_with_flags || firmware_version >= kStatusFirmware) {
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

uint32_t LxDevice::ring_bytes() const {
  if (ScanTriggerMode == 7 || ScanSampleCount == 0) return kContinuousRingBytes;
  return static_cast<uint32_t>(std::min<uint64_t>(
      uint64_t{ScanSampleCount} * kRingSamplesPerSample * module.sample_bytes, UINT32_MAX));
}

uint32_t LxDevice::compute_timeout_base(uint32_t ring) const {
  if (honours_timeout_override && DataTimeoutOverride >= 1)
    return static_cast<uint32_t>(DataTimeoutOverride);
  // About 2.5 times the expected duration of a finite scan.
  const float per_second = static_cast<float>(ScanSampleRate) * static_cast<float>(ScanChannelCount);
  const float base = per_second > 0 ? static_cast<float>(ring) * 2.5f / per_second : 1.0f;
  const uint32_t b = base >= 4.0e9f ? UINT32_MAX : static_cast<uint32_t>(base);
  return b == 0 ? 1 : b;
}

bool LxDevice::run_active() const { return engine_.run_exists(); }

void LxDevice::stop_all_runs() {
  if (!engine_.run_exists()) return;
  engine_.request_stop();
  StopMagicScan();
  engine_.stop();
  logger_.close();
  LANBuffer_Uninit();
}

bool LxDevice::data_connection_ready() {
  return cmd_socket >= 0 && renew_data_connection(data_socket, ip_address, data_port);
}

int LxDevice::StartLANQueue() {
  if (engine_.run_exists()) return fail(KV_ERR_BUSY_SAMPLING);  // stop the previous run first
  engine_.set_device_count(0);
  if (!data_connection_ready()) return fail(KV_ERR_OPEN_DEVICE);
  engine_.set_received(0);
  ContinuousScan = ScanSampleCount == 0;
  ADBufferSize = ring_bytes();
  return start_scan(*this, engine_);
}

int LxDevice::StartAIScan() {
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

int LxDevice::StopLANQueue() {
  if (data_socket < 0) return 0;
  return stop_scan(*this, engine_);
}

int LxDevice::StopAIScan() {
  engine_.stop();
  LANBuffer_Uninit();
  return 1;
}

// Start and stop orders: 1 when the device acknowledged ("!"); 0 with
// 0x17002 (no reply), 0x1700A (not sent) or 0x17003 (refused).
int LxDevice::StartMagicScan() { return run_order("~01S"); }

int LxDevice::StopMagicScan() { return run_order("~01Z"); }

int LxDevice::run_order(const char* order) {
  return send_run_order(*this, order, kCommandTimeoutMs);
}

int LxDevice::GetDAQSampleCnt() { return static_cast<int>(engine_.device_count()); }

int LxDevice::GetTCPReceivedCnt() {
  return data_socket >= 0 ? static_cast<int>(engine_.received()) : 0;
}

void LxDevice::ClearCnt() {
  if (data_socket >= 0) engine_.set_received(0);
}

int LxDevice::GetKVStartSamplingTime(char* text) {
  return read_start_sampling_time(*this, text, kCommandTimeoutMs);
}

uint32_t LxDevice::ring_unit() const {
  return std::max<uint32_t>(1, ScanChannelCount) * module.sample_bytes;
}

int LxDevice::LANBuffer_Init() {
  // The ring keeps whole units (ring_unit()).
  // The tag carries the range the samples are converted with.
  if (!engine_.ring().init(ADBufferSize, ring_unit(), ScanGain)) return fail(KV_ERR_OUT_OF_MEMORY);
  return 1;
}

void LxDevice::LANBuffer_Uninit() { engine_.ring().release(); }

bool LxDevice::ScanSink::store(uint32_t, const char* data, uint32_t bytes) {
  if (owner_.ScanTriggerMode == 8) return true;  // mode 8 only counts blocks
  if (owner_.engine_.ring().write(data, bytes) != RingBuffer::WriteResult::Stored)
    owner_.engine_.raise(8);
  return true;
}

char* LxDevice::ScanSink::direct_space(uint32_t, uint32_t wanted) {
  if (owner_.ScanTriggerMode == 8) return nullptr;
  return owner_.engine_.ring().reserve(wanted);
}

bool LxDevice::ScanSink::commit_direct(uint32_t, uint32_t bytes) {
  owner_.engine_.ring().commit(bytes);
  return true;
}

int LxDevice::AD_ReadData(char* dst, unsigned int count, int unit) {
  if (unit <= 0 || dst == nullptr) return 0;
  return static_cast<int>(engine_.ring().read(dst, count, static_cast<uint32_t>(unit)));
}

int LxDevice::AD_ReadData_float(float* dst, unsigned int count, int) {
  return read_volts(dst, count, nullptr);
}

int LxDevice::AD_ReadCodes(unsigned int* dst, unsigned int count) {
  if (module.sample_bytes != 2) return MODEL::AD_ReadCodes(dst, count);
  if (dst == nullptr) return 0;
  RingPlace place;
  return static_cast<int>(
      engine_.ring().read_in_place(count, 2, &place, [&](const char* src, uint32_t n) {
        widen16(src, n, dst);
        dst += n;
      }));
}

int LxDevice::read_volts(float* dst, unsigned int count, RingPlace* first) {
  if (dst == nullptr) return 0;
  // 16-bit codes are signed; wider samples are handed on as the device sent
  // them (24-bit codes in the low bits of a 32-bit word). The ring tells
  // each slice's channel, whatever raw reads took in between, and the run's
  // channel count and range: no setter's field is read here. Slices give
  // the ring's space back as they go.
  const uint32_t size = module.sample_bytes == 2 ? 2 : 4;
  constexpr uint32_t kSlice = 65536;
  unsigned int total = 0;
  while (total < count) {
    const uint32_t want = std::min<uint32_t>(count - total, kSlice);
    RingPlace place;
    float* out = dst + total;
    uint32_t done = 0;
    auto convert = [&](const char* src, uint32_t k) {
      const uint32_t channels = place.unit / size;
      if (channels != 0)
        codes_to_volts(src, k, channels, (place.offset / size + done) % channels,
                       static_cast<int>(place.tag), out + done);
      done += k;
    };
    const uint32_t n = engine_.ring().read_in_place(want, size, &place, convert);
    if (n == 0) break;
    if (first && total == 0) *first = place;
    total += n;
    if (n < want) break;
  }
  return static_cast<int>(total);
}

void LxDevice::codes_to_volts(const char* src, uint32_t n, uint32_t channels, uint32_t phase,
                              int gain, float* dst) {
  uint32_t c = phase % channels;
  for (uint32_t i = 0; i < n; ++i) {
    int raw;
    if (module.sample_bytes == 2) {
      int16_t v;
      std::memcpy(&v, src + 2 * i, 2);
      raw = v;
    } else {
      uint32_t v;
      std::memcpy(&v, src + 4 * i, 4);
      raw = static_cast<int>(v);
    }
    Calibrate_Hex2Float(raw, static_cast<int>(c), gain, &dst[i]);
    if (++c == channels) c = 0;
  }
}

int LxDevice::AD_BufferStatus() { return engine_.ring().status(); }

int LxDevice::Get_ADSize() {
  return static_cast<int>(engine_.ring().count() / module.sample_bytes);
}

int LxDevice::AD_ClearData() {
  engine_.ring().clear();
  return 0;
}

int LxDevice::ReadHostLANBuffer(char* dst, unsigned int bytes) { return AD_ReadData(dst, bytes, 1); }

int LxDevice::ReadHostLANBufferCnt() { return Get_ADSize(); }

void LxDevice::DOCallBackFun(unsigned short event) { engine_.raise(event, 0); }

int LxDevice::SetEventCallback(unsigned short mask, unsigned short, void* function,
                             void* user_data) {
  engine_.set_events(mask, reinterpret_cast<AcqEngine::EventFunction>(function), user_data);
  return 0;
}

int LxDevice::RemoveEventCallback(unsigned short) {
  engine_.clear_events();
  return 0;
}

}  // namespace korvel
