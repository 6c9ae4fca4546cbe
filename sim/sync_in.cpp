#include "korvel/sim/sync_in.h"

#include "korvel/sim/signal.h"

namespace korvel::sim {

namespace {

std::size_t item_bytes(const SyncInItem& item) {
  switch (item.type) {
    case 0: case 1: case 2: case 3:
      return 2u * item.size;
    case 4: case 5:
      return 4u * item.size;
    case 6: case 7:
      return (item.size + 7u) / 8u;
    default:
      return 0;
  }
}

void put(std::vector<std::uint8_t>& out, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

}  // namespace

std::size_t SyncInDefinition::frame_bytes() const {
  std::size_t n = header_mode >= 1 && header_mode <= 3 ? 4 : 0;
  for (const SyncInItem& item : items) n += item_bytes(item);
  return n;
}

std::vector<std::uint8_t> sync_in_frame(const SyncInDefinition& def, std::uint64_t frame) {
  std::vector<std::uint8_t> out;
  out.reserve(def.frame_bytes());
  if (def.header_mode >= 1 && def.header_mode <= 3) put(out, static_cast<std::uint32_t>(frame), 4);
  const auto f = static_cast<std::uint32_t>(frame);
  for (const SyncInItem& item : def.items) {
    for (unsigned k = 0; k < item.size && item.type <= 5; ++k) {
      switch (item.type) {
        case 0: case 1:
          put(out, static_cast<std::uint16_t>(scan_code(k, frame)), 2);
          break;
        case 2: put(out, (f * 7 + k) & 0xFFFF, 2); break;
        case 3: put(out, (f * 13 + k * 257) & 0xFFFF, 2); break;
        case 4: put(out, f * 1000 + k, 4); break;
        case 5: put(out, 0x80000000u | (f * 3 + k), 4); break;
        default: break;
      }
    }
    if (item.type == 6 || item.type == 7)
      for (std::size_t j = 0; j < item_bytes(item); ++j)
        out.push_back(static_cast<std::uint8_t>(((f + 31 * j) & 0xFF) ^ (item.type == 7 ? 0x55 : 0)));
  }
  return out;
}

}  // namespace korvel::sim
