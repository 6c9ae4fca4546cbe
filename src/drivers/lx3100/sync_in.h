// Sync-in scans: fixed-size frames of a header and typed items instead of a
// plain stream of analog samples.
#pragma once

#include <cstdint>

namespace korvel {

class SyncInFrameDef {
 public:
  static constexpr unsigned kMaxItems = 7;

  // Bytes of one item on the wire; 0 for an unknown type.
  static uint32_t item_bytes(uint16_t type, uint16_t size);
  // Recomputes FrameTotalSize from the header mode and the items.
  uint32_t CalculateTotalSize();
  uint32_t GetTotalSize() const { return FrameTotalSize; }
  bool has_header() const { return FrameHeaderMode >= 1 && FrameHeaderMode <= 3; }
  bool enabled() const { return (FrameOptions & 1) != 0; }

  uint32_t FrameTotalSize = 0;
  uint32_t FrameHeaderMode = 0;
  uint16_t FrameItemType[kMaxItems] = {};
  uint16_t FrameItemSize[kMaxItems] = {};
  uint32_t FrameItemCount = 0;
  uint32_t FrameOptions = 0;
};

// How retrieved frames are laid out in the caller's arrays.
enum class SyncInShape {
  Rows,    // one row per frame; 16-bit items packed as 16 bits
  RowsDW,  // one row per frame; 16-bit items one per 32-bit slot
  Flat,    // flat arrays of 32-bit slots, element k of frame f at f * size + k
};

// The caller's outputs; any may be null. Rows shapes: arrays of row
// pointers, one per frame. Flat shape: the pointers themselves are arrays.
struct SyncInOutputs {
  unsigned int* header = nullptr;
  void** analog = nullptr;
  unsigned char** bits_a = nullptr;
  unsigned char** bits_b = nullptr;
  void** words_a = nullptr;
  void** words_b = nullptr;
  unsigned int* flat_analog = nullptr;
  unsigned int* flat_words_a = nullptr;
  unsigned int* flat_words_b = nullptr;
};

}  // namespace korvel
