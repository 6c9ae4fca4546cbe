// The scan ring's unit logic fed random block sizes: plain rings (write,
// reserve/commit, publish_tail) and rings filled by lanes (write_lane), with
// reads of random element sizes and clears in between. Every byte written
// carries its unit and its place in the unit, so a read can tell a torn or
// misplaced unit; any broken invariant aborts.
//
// Input: capacity (2 bytes), unit, lane layout and grain bytes, then
// operations of three bytes (operation, two size bytes).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "engine/ring_buffer.h"

using namespace korvel;

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

// Byte at place p of unit k. 131 is odd, so k (mod 256) can be recovered.
uint8_t pattern(uint64_t k, uint32_t p) { return static_cast<uint8_t>(k * 131 + p); }
uint8_t unit_of(uint8_t b, uint32_t p) {
  // 131 * 43 = 5633 = 1 (mod 256)
  return static_cast<uint8_t>((static_cast<uint8_t>(b - p)) * 43u);
}

struct Harness {
  RingBuffer ring;
  uint32_t unit = 1;
  std::vector<RingLane> lanes;
  uint32_t grain = 1;
  // Writer side.
  uint64_t stream = 0;                // plain rings: bytes offered so far
  std::vector<uint64_t> lane_written;  // lanes: bytes offered per lane
  bool tail = false;                   // publish_tail done: no more writes
  bool exact = true;                   // nothing lost or cleared: units in order
  bool lanes_broken = false;           // a lane overran: its stream shifted
  bool cleared_lanes = false;          // cleared with lanes: reads may start mid-unit
  // Reader side.
  bool in_unit = false;
  uint32_t last_place = 0;
  uint8_t last_unit = 0;
  bool seen_unit = false;
  std::vector<char> scratch;

  bool init(uint32_t capacity) {
    stream = 0;
    tail = false;
    exact = true;
    lanes_broken = false;
    cleared_lanes = false;
    in_unit = seen_unit = false;
    lane_written.assign(lanes.size(), 0);
    if (lanes.empty()) return ring.init(capacity, unit, 7);
    return ring.init_lanes(capacity, unit, 7, lanes, grain);
  }

  void plain_bytes(std::vector<char>& out, uint32_t n) {
    out.resize(n);
    for (uint32_t i = 0; i < n; ++i, ++stream)
      out[i] = static_cast<char>(pattern(stream / unit, static_cast<uint32_t>(stream % unit)));
  }

  void write(uint32_t n) {
    if (tail || !lanes.empty()) return;
    plain_bytes(scratch, n);
    const uint64_t dropped = ring.dropped_units();
    const RingBuffer::WriteResult r = ring.write(scratch.data(), n);
    check((r == RingBuffer::WriteResult::Dropped) == (ring.dropped_units() != dropped));
    if (r == RingBuffer::WriteResult::Dropped) exact = false;
  }

  void reserve(uint32_t wanted, uint32_t used) {
    if (tail || !lanes.empty() || wanted == 0) return;
    char* p = ring.reserve(wanted);
    if (p == nullptr) return;
    const uint32_t n = used % (wanted + 1);
    plain_bytes(scratch, n);
    for (uint32_t i = 0; i < n; ++i) p[i] = scratch[i];
    ring.commit(n);
  }

  void write_lane(uint32_t index, uint32_t n) {
    if (lanes.empty()) return;
    const uint32_t l = index % lanes.size();
    const RingLane& lane = lanes[l];
    scratch.resize(n);
    for (uint32_t i = 0; i < n; ++i) {
      const uint64_t w = lane_written[l] + i;
      scratch[i] = static_cast<char>(
          pattern(w / lane.width, lane.offset + static_cast<uint32_t>(w % lane.width)));
    }
    lane_written[l] += n;
    if (ring.write_lane(l, scratch.data(), n) == RingBuffer::WriteResult::Dropped)
      lanes_broken = true;
  }

  void read(uint32_t count, uint32_t elem) {
    const uint32_t before = ring.count();
    scratch.resize(static_cast<std::size_t>(count) * elem);
    RingPlace place;
    const uint32_t got = ring.read(scratch.data(), count, elem, &place);
    check(got <= count);
    const uint64_t bytes = static_cast<uint64_t>(got) * elem;
    check(bytes <= before);
    check(ring.count() == before - bytes);
    if (got == 0) return;
    check(place.unit == unit && place.tag == 7 && place.offset < unit);
    if (lanes_broken) return;
    // A read that starts inside a unit continues the one the last read left,
    // except after a clear of a ring with lanes: it starts where the lanes'
    // readable front was, which may be inside a unit (the offset says where).
    if (place.offset != 0 && !in_unit && cleared_lanes) {
      last_place = place.offset - 1;
      last_unit = unit_of(static_cast<uint8_t>(scratch[0]), place.offset);
      in_unit = true;
    }
    cleared_lanes = false;
    if (place.offset != 0) check(in_unit && place.offset == last_place + 1);
    for (uint64_t i = 0; i < bytes; ++i) {
      const uint32_t p = static_cast<uint32_t>((place.offset + i) % unit);
      const uint8_t k = unit_of(static_cast<uint8_t>(scratch[i]), p);
      if (p == 0) {
        if (seen_unit && exact) check(k == static_cast<uint8_t>(last_unit + 1));
        if (!seen_unit && exact) check(k == 0);
        seen_unit = true;
      } else {
        check(in_unit && k == last_unit && p == last_place + 1);
      }
      last_unit = k;
      last_place = p;
      in_unit = true;
    }
    if (last_place + 1 == unit) in_unit = false;
  }

  void clear() {
    ring.clear();
    check(ring.count() == 0 && ring.status() == 0);
    exact = false;
    in_unit = false;
    cleared_lanes = !lanes.empty();
  }

  void publish(uint32_t g) {
    // The writer's last act: once per run, as the engine does.
    if (!lanes.empty() || tail) return;
    ring.publish_tail(g);
    tail = true;
  }
};

// Divisors of n (n small).
std::vector<uint32_t> divisors(uint32_t n) {
  std::vector<uint32_t> out;
  for (uint32_t d = 1; d <= n; ++d)
    if (n % d == 0) out.push_back(d);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  const uint32_t capacity = 1 + ((data[0] << 8 | data[1]) % 4096);
  Harness h;
  h.unit = 1 + data[2] % 48;
  const std::vector<uint32_t> div = divisors(h.unit);
  // Lanes: data[3] & 3 of them (0: a plain ring), widths cut from the unit.
  const uint32_t nlanes = data[3] & 3;
  if (nlanes > 0 && nlanes <= h.unit) {
    uint32_t left = h.unit, offset = 0;
    for (uint32_t l = 0; l < nlanes; ++l) {
      const uint32_t width =
          l + 1 == nlanes ? left : 1 + ((data[3] >> (2 + 2 * l)) % (left - (nlanes - 1 - l)));
      h.lanes.push_back({offset, width});
      offset += width;
      left -= width;
    }
    h.grain = div[data[4] % div.size()];
  }
  if (!h.init(capacity)) return 0;
  check(h.ring.capacity() % h.unit == 0 && h.ring.capacity() >= h.unit);

  for (std::size_t i = 5; i + 2 < size; i += 3) {
    const uint8_t op = data[i];
    const uint32_t n = 1 + (static_cast<uint32_t>(data[i + 1]) << 8 | data[i + 2]) % (2 * capacity);
    switch (op % 8) {
      case 0:
      case 1: h.write(n); break;
      case 2: h.write_lane(op >> 3, n); break;
      case 3: h.read(1 + (op >> 3) % 64, div[data[i + 1] % div.size()]); break;
      case 4: h.read(n, 1); break;
      case 5:
        if (op & 0x80) h.clear();
        else h.reserve(n, data[i + 2]);
        break;
      case 6:
        if (op & 0x80) h.publish(div[data[i + 1] % div.size()]);
        else h.read(n / h.unit + 1, h.unit);
        break;
      case 7:
        if (op & 0x80) {
          if (!h.init(1 + n % 4096)) return 0;
        } else {
          h.write_lane(op >> 3, data[i + 2] % 8 + 1);
        }
        break;
    }
    check(h.ring.count() <= h.ring.capacity());
    check(((h.ring.status() & kStatusData) != 0) == (h.ring.count() != 0));
  }
  return 0;
}
