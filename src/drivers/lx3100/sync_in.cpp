#include "drivers/lx3100/sync_in.h"

namespace korvel {

uint32_t SyncInFrameDef::item_bytes(uint16_t type, uint16_t size) {
  switch (type) {
    case 0: case 1: case 2: case 3: case 9:
      return 2u * size;
    case 4: case 5: case 10: case 11:
      return 4u * size;
    case 6: case 7: case 8:
      return (size + 7u) / 8u;  // packed bits
    default:
      return 0;
  }
}

uint32_t SyncInFrameDef::CalculateTotalSize() {
  uint32_t total = has_header() ? 4 : 0;
  for (uint32_t i = 0; i < FrameItemCount && i < kMaxItems; ++i)
    total += item_bytes(FrameItemType[i], FrameItemSize[i]);
  FrameTotalSize = total;
  return total;
}

}  // namespace korvel
