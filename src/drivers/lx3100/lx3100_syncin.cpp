// LX3100 sync-in scans: the frame definition on the device, and cutting the
// ring into frames for the three output shapes.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/errors.h"
#include "drivers/lx3100/lx3100.h"

namespace korvel {

namespace {

uint16_t le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t le32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Writes the 16-bit elements of an item into a row (packed or one per
// 32-bit slot) or into a flat array of 32-bit slots.
void put16(const unsigned char* src, uint16_t n, SyncInShape shape, void* row, unsigned int* flat,
           uint32_t frame) {
  for (uint16_t k = 0; k < n; ++k) {
    const uint16_t v = le16(src + 2 * k);
    if (shape == SyncInShape::Rows)
      static_cast<uint16_t*>(row)[k] = v;
    else if (shape == SyncInShape::RowsDW)
      static_cast<uint32_t*>(row)[k] = v;
    else
      flat[static_cast<std::size_t>(frame) * n + k] = v;
  }
}

void put32(const unsigned char* src, uint16_t n, SyncInShape shape, void* row, unsigned int* flat,
           uint32_t frame) {
  for (uint16_t k = 0; k < n; ++k) {
    const uint32_t v = le32(src + 4 * k);
    if (shape == SyncInShape::Flat)
      flat[static_cast<std::size_t>(frame) * n + k] = v;
    else
      static_cast<uint32_t*>(row)[k] = v;
  }
}

// Types 0 and 1 hold one analog code per channel.
bool is_analog(unsigned int type) { return type == 0 || type == 1; }

// Scratch bytes one retrieval batch takes from the ring.
constexpr uint32_t kSyncInBatchBytes = 64 * 1024;

// Distributes frame number f (at p, laid out by def) into the outputs.
void put_frame(MODEL& device, int gain, const SyncInFrameDef& def, SyncInShape shape,
               const SyncInOutputs& out, const unsigned char* p, uint32_t f) {
  if (def.has_header()) {
    if (out.header) out.header[f] = le32(p);
    p += 4;
  }
  const bool rows = shape != SyncInShape::Flat;
  for (unsigned i = 0; i < def.FrameItemCount; ++i) {
    const uint16_t type = def.FrameItemType[i];
    const uint16_t n = def.FrameItemSize[i];
    switch (type) {
      case 0:  // analog codes, delivered in volts (not in the flat shape)
        if (rows && out.analog)
          for (uint16_t k = 0; k < n; ++k)
            device.Calibrate_Hex2Float(static_cast<int16_t>(le16(p + 2 * k)), k, gain,
                                       &static_cast<float*>(out.analog[f])[k]);
        break;
      case 1:
        if (rows ? out.analog != nullptr : out.flat_analog != nullptr)
          put16(p, n, shape, rows ? out.analog[f] : nullptr, out.flat_analog, f);
        break;
      case 2:
      case 3: {
        void** r = type == 2 ? out.words_a : out.words_b;
        unsigned int* fl = type == 2 ? out.flat_words_a : out.flat_words_b;
        if (rows ? r != nullptr : fl != nullptr) put16(p, n, shape, rows ? r[f] : nullptr, fl, f);
        break;
      }
      case 4:
      case 5: {
        void** r = type == 4 ? out.words_a : out.words_b;
        unsigned int* fl = type == 4 ? out.flat_words_a : out.flat_words_b;
        if (rows ? r != nullptr : fl != nullptr) put32(p, n, shape, rows ? r[f] : nullptr, fl, f);
        break;
      }
      case 6:
      case 7: {
        unsigned char** r = type == 6 ? out.bits_a : out.bits_b;
        if (rows && r) std::memcpy(r[f], p, SyncInFrameDef::item_bytes(type, n));
        break;
      }
      default:
        break;  // types 8 to 11 are stepped over
    }
    p += SyncInFrameDef::item_bytes(type, n);
  }
}

}  // namespace

int LX3100::SetSyncInScanParam(unsigned int header_mode, const unsigned short* sizes,
                               const unsigned short* types, unsigned short count, unsigned int options,
                               unsigned int) {
  // Everything is checked before anything is sent or kept, so a refused
  // definition leaves the one in force whole. The header mode, options and
  // every item travel in fixed-width hexadecimal fields.
  if (count > SyncInFrameDef::kMaxItems || header_mode > 0xF || options > 0xFF ||
      (count > 0 && (sizes == nullptr || types == nullptr)))
    return fail(KV_ERR_INVALID_ARGUMENT);
  SyncInFrameDef def;
  def.FrameHeaderMode = header_mode;
  def.FrameOptions = options;
  def.FrameItemCount = count;
  uint16_t channels = ScanChannelCount;
  char text[kReplyCapacity];
  int len = std::snprintf(text, sizeof text, "~01SIH%01XO%02XT%02X", header_mode, options, count);
  for (unsigned i = 0; i < count; ++i) {
    if (types[i] > 5 || sizes[i] > 0xFF) return fail(KV_ERR_INVALID_ARGUMENT);
    // An analog item carries one element per channel scanned.
    if (is_analog(types[i])) {
      if (sizes[i] == 0 || sizes[i] > module.ai_count) return fail(KV_ERR_INVALID_ARGUMENT);
      channels = sizes[i];
    }
    def.FrameItemType[i] = types[i];
    def.FrameItemSize[i] = sizes[i];
    len += std::snprintf(text + len, sizeof text - static_cast<std::size_t>(len), "%02X%02X",
                         types[i], sizes[i]);
  }
  // The definition carries a CR of its own; the exchange adds another.
  std::snprintf(text + len, sizeof text - static_cast<std::size_t>(len), "\r");
  Reply r;
  if (!command(r, kCommandTimeoutMs, "%s", text) || r.at(0) != '!') return fail(KV_ERR_RESPONSE);
  def.CalculateTotalSize();
  SyncIn = def;
  SyncMode = static_cast<uint16_t>(options);
  ScanChannelCount = channels;
  if (!SyncIn.enabled()) return 1;

  // The sync-in thread needs a live, continuous, moderate-rate scan.
  const uint32_t rate = ScanSampleRate > 10000 ? 10000 : ScanSampleRate;
  if (ScanTriggerMode == 0 && ScanSampleRate == rate && ScanSampleCount == 0) return 1;
  return send_scan_param(0, rate, 0);
}

int LX3100::GetSyncInScanParam(unsigned int* header_mode, unsigned short* sizes,
                               unsigned short* types, unsigned short max_count,
                               unsigned short* count, unsigned int* options, unsigned int* spare) {
  // The caller learns the count even when its arrays are too small for it.
  auto deliver = [&](const SyncInFrameDef& def) {
    if (header_mode) *header_mode = def.FrameHeaderMode;
    if (options) *options = def.FrameOptions;
    if (count) *count = static_cast<unsigned short>(def.FrameItemCount);
    if (spare) *spare = 0;
    if (def.FrameItemCount > max_count) return fail(KV_ERR_BUFFER_OVERFLOW);
    for (unsigned i = 0; i < def.FrameItemCount; ++i) {
      if (types) types[i] = def.FrameItemType[i];
      if (sizes) sizes[i] = def.FrameItemSize[i];
    }
    return 1;
  };
  // The running worker and the frame readers use the stored definition:
  // answer from it.
  if (run_active()) return deliver(SyncIn);
  Reply r;
  if (!command(r, kCommandTimeoutMs, "~01SI")) return 0;
  unsigned int opts = 0, n = 0;
  const char mode = r.at(4);
  if (r.at(0) != '!' || mode < '0' || mode > '9' || !r.hex(6, 2, &opts) || !r.hex(9, 2, &n))
    return fail(KV_ERR_RESPONSE);
  // The whole reply is read and checked before any of it is kept: counts
  // the device reports are bounded by the arrays they index.
  if (n > SyncInFrameDef::kMaxItems) return fail(KV_ERR_INVALID_VALUE);
  SyncInFrameDef def;
  def.FrameHeaderMode = static_cast<uint32_t>(mode - '0');
  def.FrameOptions = opts;
  def.FrameItemCount = n;
  for (unsigned i = 0; i < n; ++i) {
    unsigned int type = 0, size = 0;
    const std::size_t pos = 11 + 4 * static_cast<std::size_t>(i);
    if (!r.hex(pos, 2, &type) || !r.hex(pos + 2, 2, &size)) return fail(KV_ERR_RESPONSE);
    // Analog elements are calibrated with the table of their channel.
    if (is_analog(type) && size > static_cast<unsigned>(module.ai_count))
      return fail(KV_ERR_INVALID_VALUE);
    def.FrameItemType[i] = static_cast<uint16_t>(type);
    def.FrameItemSize[i] = static_cast<uint16_t>(size);
  }
  if (!deliver(def)) return 0;
  // The frame size always follows the items it was computed from.
  def.CalculateTotalSize();
  SyncIn = def;
  return 1;
}

int LX3100::GetSyncInFrames(SyncInShape shape, const SyncInOutputs& out, unsigned int frames) {
  if (frames == 0) return fail(KV_ERR_INVALID_ARGUMENT);
  // One definition for the whole call; its items always lie within its
  // frame, whose size is recomputed from them.
  SyncInFrameDef def = SyncIn;
  if (def.FrameItemCount > SyncInFrameDef::kMaxItems) return fail(KV_ERR_RESPONSE);
  for (unsigned i = 0; i < def.FrameItemCount; ++i)
    if (def.FrameItemType[i] > 11) return fail(KV_ERR_RESPONSE);
  const uint32_t frame_bytes = def.CalculateTotalSize();
  if (frame_bytes == 0) return fail(KV_ERR_RESPONSE);

  // Work is sized by the frames waiting, never by the request, and done in
  // batches of bounded scratch. Only whole frames leave the ring.
  const int gain = static_cast<int>(ScanGain);
  RingBuffer& ring = engine_.ring();
  const uint32_t waiting = ring.count() / frame_bytes;
  const uint32_t wanted = std::min({frames, waiting, static_cast<uint32_t>(INT_MAX)});
  const uint32_t batch = std::max<uint32_t>(1, kSyncInBatchBytes / frame_bytes);
  std::vector<unsigned char> scratch(static_cast<std::size_t>(std::min(wanted, batch)) *
                                     frame_bytes);
  uint32_t done = 0;
  while (done < wanted) {
    const uint32_t ask = std::min(wanted - done, batch);
    const uint32_t got = ring.read(reinterpret_cast<char*>(scratch.data()), ask, frame_bytes);
    for (uint32_t f = 0; f < got; ++f)
      put_frame(*this, gain, def, shape, out,
                scratch.data() + static_cast<std::size_t>(f) * frame_bytes, done + f);
    done += got;
    if (got < ask) break;
  }
  return static_cast<int>(done);
}

int LX3100::GetSyncInStatus(unsigned short* status, unsigned int* frames) {
  const unsigned short s = engine_.ring().status();
  if (status) *status = s;
  if (SyncIn.FrameTotalSize == 0) return 0;
  const uint64_t units = s != 0 ? engine_.ring().count() / module.sample_bytes
                                : engine_.device_count();
  if (frames) *frames = static_cast<unsigned int>(units * 2 / SyncIn.FrameTotalSize);
  return 1;
}

}  // namespace korvel
