// The sync-in frame cutter: a frame definition read back from the device
// ("~01SI"), frame bytes stored by the scan's sink in blocks of random
// sizes, and the frames cut into the caller's arrays in each of the three
// layouts. The arrays are exactly as large as the definition asks, so a
// frame written past them is found.
//
// Input: line 0 is the "~01SI" reply; then a layout byte, a frame-count
// byte and the frame bytes, cut into blocks by the layout byte's high bits.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "drivers/lx3100/lx3100.h"
#include "fake_device.h"

using namespace korvel;

namespace {

struct SyncInDriver : LX3100 {
  using LX3100::LX3100;
  bool fill(uint32_t capacity, const uint8_t* data, std::size_t size, uint32_t block) {
    if (!engine_.ring().init(capacity, ring_unit(), 0)) return false;
    for (std::size_t at = 0; at < size; at += block)
      scan_sink_.store(0, reinterpret_cast<const char*>(data) + at,
                       static_cast<uint32_t>(std::min<std::size_t>(block, size - at)));
    return true;
  }
  const SyncInFrameDef& def() const { return SyncIn; }
};

// Bytes one row of an output needs for the items that write it.
struct RowNeeds {
  std::size_t analog = 0, bits_a = 0, bits_b = 0, words_a = 0, words_b = 0;
  std::size_t flat_analog = 0, flat_a = 0, flat_b = 0;  // elements per frame
};

RowNeeds needs(const SyncInFrameDef& d, SyncInShape shape) {
  RowNeeds n;
  const bool dw = shape == SyncInShape::RowsDW;
  for (unsigned i = 0; i < d.FrameItemCount && i < SyncInFrameDef::kMaxItems; ++i) {
    const std::size_t k = d.FrameItemSize[i];
    auto grow = [](std::size_t& v, std::size_t want) { v = std::max(v, want); };
    switch (d.FrameItemType[i]) {
      case 0: grow(n.analog, 4 * k); break;
      case 1: grow(n.analog, (dw ? 4 : 2) * k); grow(n.flat_analog, k); break;
      case 2: grow(n.words_a, (dw ? 4 : 2) * k); grow(n.flat_a, k); break;
      case 3: grow(n.words_b, (dw ? 4 : 2) * k); grow(n.flat_b, k); break;
      case 4: grow(n.words_a, 4 * k); grow(n.flat_a, k); break;
      case 5: grow(n.words_b, 4 * k); grow(n.flat_b, k); break;
      case 6: grow(n.bits_a, (k + 7) / 8); break;
      case 7: grow(n.bits_b, (k + 7) / 8); break;
      default: break;
    }
  }
  return n;
}

// Rows of exactly `bytes` each (at least one byte, so every row is distinct).
struct Rows {
  std::vector<std::vector<unsigned char>> storage;
  std::vector<void*> ptrs;
  Rows(std::size_t frames, std::size_t bytes) : storage(frames), ptrs(frames) {
    for (std::size_t f = 0; f < frames; ++f) {
      storage[f].resize(std::max<std::size_t>(1, bytes));
      ptrs[f] = storage[f].data();
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const uint8_t* nl = static_cast<const uint8_t*>(std::memchr(data, '\n', size));
  if (nl == nullptr) return 0;
  std::string reply(reinterpret_cast<const char*>(data), static_cast<std::size_t>(nl - data));
  const uint8_t* rest = nl + 1;
  std::size_t left = size - static_cast<std::size_t>(rest - data);
  if (left < 2) return 0;
  const uint8_t layout = rest[0];
  const unsigned frames = 1 + rest[1] % 64;
  rest += 2;
  left -= 2;

  SyncInDriver d("", 9999, 10010, QLXMODULE[kRowLX3100]);
  {
    korvel_fuzz::FakeDevice fake(std::vector<std::string>{reply});
    if (fake.driver_fd() < 0) return 0;
    d.cmd_socket = fake.driver_fd();
    unsigned int mode = 0, options = 0, spare = 0;
    unsigned short sizes[8], types[8], count = 0;
    const int ok = d.GetSyncInScanParam(&mode, sizes, types, 8, &count, &options, &spare);
    close(d.cmd_socket);
    d.cmd_socket = -1;
    if (!ok) return 0;
  }
  const SyncInFrameDef& def = d.def();
  const uint32_t block = 1 + (layout >> 2) * 7;
  if (!d.fill(4096, rest, left, block)) return 0;

  const SyncInShape shape = layout % 3 == 0   ? SyncInShape::Rows
                            : layout % 3 == 1 ? SyncInShape::RowsDW
                                              : SyncInShape::Flat;
  const RowNeeds n = needs(def, shape);
  std::vector<unsigned int> header(frames);
  SyncInOutputs out;
  Rows analog(frames, n.analog), words_a(frames, n.words_a), words_b(frames, n.words_b);
  Rows bits_a(frames, n.bits_a), bits_b(frames, n.bits_b);
  std::vector<unsigned int> flat_analog(std::max<std::size_t>(1, frames * n.flat_analog));
  std::vector<unsigned int> flat_a(std::max<std::size_t>(1, frames * n.flat_a));
  std::vector<unsigned int> flat_b(std::max<std::size_t>(1, frames * n.flat_b));
  out.header = header.data();
  if (shape == SyncInShape::Flat) {
    out.flat_analog = flat_analog.data();
    out.flat_words_a = flat_a.data();
    out.flat_words_b = flat_b.data();
  } else {
    out.analog = analog.ptrs.data();
    out.words_a = words_a.ptrs.data();
    out.words_b = words_b.ptrs.data();
    out.bits_a = reinterpret_cast<unsigned char**>(bits_a.ptrs.data());
    out.bits_b = reinterpret_cast<unsigned char**>(bits_b.ptrs.data());
  }
  // Twice: the second call takes what the first left.
  for (int round = 0; round < 2; ++round) {
    const int got = d.GetSyncInFrames(shape, out, frames);
    if (got < 0 || static_cast<unsigned>(got) > frames) __builtin_trap();
  }
  unsigned short status = 0;
  unsigned int waiting = 0;
  d.GetSyncInStatus(&status, &waiting);
  return 0;
}
