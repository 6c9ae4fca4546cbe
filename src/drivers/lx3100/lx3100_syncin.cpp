// LX3100 sync-in scans: the frame definition on the device, and cutting the
// ring into frames for the three output shapes.
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/errors.h"
#include "drivers/lx3100/lx3100.h"

namespace korvel {

namespace {

int fail(unsigned int code) {
  set_last_error(code);
  return 0;
}

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

}  // namespace

int LX3100::SetSyncInScanParam(unsigned int header_mode, unsigned short* sizes,
                               unsigned short* types, unsigned short count, unsigned int options,
                               unsigned int) {
  if (count > SyncInFrameDef::kMaxItems) return fail(KV_ERR_INVALID_ARGUMENT);
  SyncMode = static_cast<uint16_t>(options);
  SyncIn.FrameHeaderMode = header_mode;
  SyncIn.FrameOptions = options;
  SyncIn.FrameItemCount = count;
  char text[kReplyCapacity];
  int len = std::snprintf(text, sizeof text, "~01SIH%01XO%02XT%02X", header_mode, options, count);
  for (unsigned i = 0; i < count; ++i) {
    if (types[i] > 5) return fail(KV_ERR_INVALID_ARGUMENT);
    SyncIn.FrameItemType[i] = types[i];
    SyncIn.FrameItemSize[i] = sizes[i];
    len += std::snprintf(text + len, sizeof text - static_cast<std::size_t>(len), "%02X%02X",
                         types[i], sizes[i]);
    if (types[i] == 0 || types[i] == 1) ScanChannelCount = sizes[i];
  }
  // The definition carries a CR of its own; the exchange adds another.
  std::snprintf(text + len, sizeof text - static_cast<std::size_t>(len), "\r");
  Reply r;
  if (!command(r, kCommandTimeoutMs, "%s", text) || r.at(0) != '!') return fail(KV_ERR_RESPONSE);
  SyncIn.CalculateTotalSize();
  if (!SyncIn.enabled()) return 1;

  // The sync-in thread needs a live, continuous, moderate-rate scan.
  const uint32_t rate = ScanSampleRate > 10000 ? 10000 : ScanSampleRate;
  if (ScanTriggerMode == 0 && ScanSampleRate == rate && ScanSampleCount == 0) return 1;
  return send_scan_param(0, rate, 0);
}

int LX3100::GetSyncInScanParam(unsigned int* header_mode, unsigned short* sizes,
                               unsigned short* types, unsigned short max_count,
                               unsigned short* count, unsigned int* options, unsigned int* spare) {
  Reply r;
  if (!command(r, kCommandTimeoutMs, "~01SI")) return 0;
  unsigned int opts = 0, n = 0;
  const char mode = r.at(4);
  if (mode < '0' || mode > '9' || !r.hex(6, 2, &opts) || !r.hex(9, 2, &n))
    return fail(KV_ERR_RESPONSE);
  SyncIn.FrameHeaderMode = static_cast<uint32_t>(mode - '0');
  SyncIn.FrameOptions = opts;
  SyncIn.FrameItemCount = n;
  if (header_mode) *header_mode = SyncIn.FrameHeaderMode;
  if (options) *options = opts;
  if (count) *count = static_cast<unsigned short>(n);
  if (spare) *spare = 0;
  if (n > max_count || n > SyncInFrameDef::kMaxItems) return fail(KV_ERR_BUFFER_OVERFLOW);
  for (unsigned i = 0; i < n; ++i) {
    unsigned int type = 0, size = 0;
    const std::size_t pos = 11 + 4 * static_cast<std::size_t>(i);
    if (!r.hex(pos, 2, &type) || !r.hex(pos + 2, 2, &size)) return fail(KV_ERR_RESPONSE);
    SyncIn.FrameItemType[i] = static_cast<uint16_t>(type);
    SyncIn.FrameItemSize[i] = static_cast<uint16_t>(size);
    if (types) types[i] = static_cast<unsigned short>(type);
    if (sizes) sizes[i] = static_cast<unsigned short>(size);
  }
  // Keep the frame size in step with the definition just read, so frames are
  // never cut with the size of another definition.
  SyncIn.CalculateTotalSize();
  return 1;
}

int LX3100::GetSyncInFrames(SyncInShape shape, const SyncInOutputs& out, unsigned int frames) {
  if (frames == 0) return fail(KV_ERR_INVALID_ARGUMENT);
  const uint32_t frame_bytes = SyncIn.FrameTotalSize;
  if (frame_bytes == 0) return fail(KV_ERR_RESPONSE);
  for (unsigned i = 0; i < SyncIn.FrameItemCount; ++i)
    if (SyncIn.FrameItemType[i] > 11) return fail(KV_ERR_RESPONSE);

  // Only whole frames leave the ring; fewer than asked when fewer are there.
  std::vector<unsigned char> scratch(static_cast<std::size_t>(frames) * frame_bytes);
  const uint32_t got = engine_.ring().read(reinterpret_cast<char*>(scratch.data()), frames,
                                           frame_bytes);
  const int gain = static_cast<int>(ScanGain);
  for (uint32_t f = 0; f < got; ++f) {
    const unsigned char* p = scratch.data() + static_cast<std::size_t>(f) * frame_bytes;
    if (SyncIn.has_header()) {
      if (out.header) out.header[f] = le32(p);
      p += 4;
    }
    for (unsigned i = 0; i < SyncIn.FrameItemCount; ++i) {
      const uint16_t type = SyncIn.FrameItemType[i];
      const uint16_t n = SyncIn.FrameItemSize[i];
      const bool rows = shape != SyncInShape::Flat;
      switch (type) {
        case 0:  // analog codes, delivered in volts (not in the flat shape)
          if (rows && out.analog)
            for (uint16_t k = 0; k < n; ++k)
              Calibrate_Hex2Float(static_cast<int16_t>(le16(p + 2 * k)), k, gain,
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
  return static_cast<int>(got);
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
