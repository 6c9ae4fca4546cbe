// Sync-in frames as the simulated LX-3100 sends them: deterministic in the
// frame number, so that a receiver can check every field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvel::sim {

struct SyncInItem {
  unsigned type = 0;  // 0..5 (see below)
  unsigned size = 0;  // elements (bits for the bit types)
};

struct SyncInDefinition {
  unsigned header_mode = 0;  // 1..3: a 32-bit frame counter leads each frame
  unsigned options = 0;      // bit 0: sync-in scan enabled
  std::vector<SyncInItem> items;
  std::size_t frame_bytes() const;
};

// Frame number `frame`:
//  header             the frame number
//  type 0, 1 element k  scan_code(k, frame) (an analog code)
//  type 2 element k     (frame * 7 + k) & 0xFFFF
//  type 3 element k     (frame * 13 + k * 257) & 0xFFFF
//  type 4 element k     frame * 1000 + k
//  type 5 element k     0x80000000 | (frame * 3 + k)
//  type 6/7 byte j      (frame + 31 * j) & 0xFF, xor 0x55 for type 7
std::vector<std::uint8_t> sync_in_frame(const SyncInDefinition& def, std::uint64_t frame);

}  // namespace korvel::sim
