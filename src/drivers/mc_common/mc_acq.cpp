// Acquisition of the slot-based controllers on the shared engine: one data
// connection per slot with channels, one ring lane per slot.
#include <algorithm>

#include "core/errors.h"
#include "drivers/mc_common/mc_device.h"
#include "model/calibration.h"
#include "engine/ring_buffer.h"

namespace korvel {

namespace {

// A continuous scan's ring per populated slot.
constexpr uint32_t kContinuousRingBytesPerSlot = 1460000;

}  // namespace

void McDevice::adjust_profile(RunKind kind, const ScanSettings&, RunProfile& profile) const {
  if (kind == RunKind::Scan) profile.timeout_status = kStatusLogTimeout;
}

bool McDevice::run_active() const { return engine_.run_exists(); }

void McDevice::stop_all_runs() {
  if (!engine_.run_exists()) return;
  engine_.request_stop();
  StopMagicScan();
  engine_.stop();
  LANBuffer_Uninit();
}

bool McDevice::data_connections_ready() {
  if (cmd_socket < 0) return false;
  for (int k = 0; k < SlotCount; ++k) {
    const Slot& s = SlotTable[k];
    if (!renew_data_connection(s.socket, ip_address, data_port + data_port_offset(s, k)))
      return false;
  }
  return true;
}

int McDevice::StartLANQueue() {
  if (engine_.run_exists()) return fail(KV_ERR_BUSY_SAMPLING);  // stop the previous run first
  if (!data_connections_ready()) return fail(KV_ERR_OPEN_DEVICE);
  if (active_slots().empty()) return fail(KV_ERR_INPUT_CHANNEL);
  engine_.set_device_count(0);
  engine_.set_received(0);
  ContinuousScan = ScanSampleCount == 0;
  const uint64_t bytes =
      ContinuousScan ? uint64_t{kContinuousRingBytesPerSlot} * static_cast<uint32_t>(SlotCount)
                     : uint64_t{ScanSampleCount} * finite_ring_bytes_per_sample();
  // The ring holds at least one scan.
  ADBufferSize = static_cast<uint32_t>(std::min<uint64_t>(bytes, UINT32_MAX));
  return start_scan(*this, engine_);
}

int McDevice::StartAIScan() {
  if (engine_.run_exists()) return fail(KV_ERR_BUSY_SAMPLING);
  if (!LANBuffer_Init()) return 0;
  std::vector<DataLink> links;
  for (int k : active_slots()) links.push_back(DataLink{SlotTable[k].socket, SlotTable[k].target});
  if (!engine_.start(RunKind::Scan, scan_settings(), data_timeout_base(), std::move(links), this)) {
    LANBuffer_Uninit();
    return fail(KV_ERR_OUT_OF_MEMORY);
  }
  return 1;
}

int McDevice::StopLANQueue() { return stop_scan(*this, engine_); }

int McDevice::StopAIScan() {
  engine_.stop();
  LANBuffer_Uninit();
  return 1;
}

int McDevice::StopMagicScan() { return run_order("~01Z"); }

int McDevice::run_order(const char* order) {
  return send_run_order(*this, order, kCommandTimeoutMs);
}

int McDevice::GetDAQSampleCnt() { return static_cast<int>(engine_.device_count()); }

int McDevice::GetTCPReceivedCnt() {
  uint32_t n = engine_.received();
  // A finite scan never reports more than it was due.
  const uint32_t count = run_count_.load(std::memory_order_relaxed);
  if (count != 0) n = std::min(n, count);
  const uint32_t slots = run_count_slots_.load(std::memory_order_relaxed);
  if (slots) n /= slots;
  return static_cast<int>(n);
}

void McDevice::ClearCnt() { engine_.set_received(0); }

int McDevice::LANBuffer_Init() {
  const uint32_t grain = module.sample_bytes;
  std::vector<RingLane> lanes;
  for (int k : active_slots())
    lanes.push_back(RingLane{SlotTable[k].first_channel * grain, SlotTable[k].channels * grain});
  const uint32_t unit = static_cast<uint32_t>(ScanChannelCount) * grain;
  run_count_.store(ScanSampleCount, std::memory_order_relaxed);
  run_count_slots_.store(
      count_per_slot(ScanTriggerMode) ? static_cast<uint32_t>(active_slots().size()) : 0,
      std::memory_order_relaxed);
  // The tag carries the range the samples are converted with.
  if (!engine_.ring().init_lanes(ADBufferSize, unit, ScanGain, std::move(lanes), grain))
    return fail(KV_ERR_OUT_OF_MEMORY);
  return 1;
}

void McDevice::LANBuffer_Uninit() { engine_.ring().release(); }

bool McDevice::store(uint32_t link, const char* data, uint32_t bytes) {
  // A slot a whole ring ahead of the reader has lost data: the scan ends.
  return engine_.ring().write_lane(link, data, bytes) == RingBuffer::WriteResult::Stored;
}

uint32_t McDevice::available() {
  RingBuffer& ring = engine_.ring();
  uint32_t n = ring.count() / module.sample_bytes;
  const uint32_t count = run_count_.load(std::memory_order_relaxed);
  if (count != 0 && run_count_slots_.load(std::memory_order_relaxed) == 0) {
    const uint64_t read = ring.total_read() / module.sample_bytes;
    n = read >= count ? 0 : std::min<uint32_t>(n, count - static_cast<uint32_t>(read));
  }
  return n;
}

int McDevice::Get_ADSize() { return static_cast<int>(available()); }

int McDevice::AD_ReadData(char* dst, unsigned int count, int unit) {
  if (unit <= 0 || dst == nullptr) return 0;
  const uint64_t bytes = uint64_t{available()} * module.sample_bytes;
  const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(count, bytes / static_cast<uint32_t>(unit)));
  return static_cast<int>(engine_.ring().read(dst, n, static_cast<uint32_t>(unit)));
}

int McDevice::AD_ReadCodes(unsigned int* dst, unsigned int count) {
  if (module.sample_bytes != 2) return MODEL::AD_ReadCodes(dst, count);
  if (dst == nullptr) return 0;
  RingPlace place;
  return static_cast<int>(engine_.ring().read_in_place(
      std::min<uint32_t>(count, available()), 2, &place, [&](const char* src, uint32_t n) {
        widen16(src, n, dst);
        dst += n;
      }));
}

int McDevice::AD_BufferStatus() { return engine_.ring().status(); }

}  // namespace korvel
