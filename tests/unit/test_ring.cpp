// The ring keeps whole units: whatever the block sizes, overruns, clears and
// reads of any size, every element a reader gets is the one the writer sent
// at that place, and the offset the ring reports names its channel.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "engine/ring_buffer.h"

namespace korvel {
namespace {

// Element k of the stream is the 32-bit value k; a unit holds `channels`
// elements, so k names both its channel and its unit.
void fill(std::vector<char>& out, uint64_t first_byte, uint32_t bytes) {
  out.resize(bytes);
  for (uint32_t i = 0; i < bytes; ++i) {
    const uint64_t b = first_byte + i;
    const auto v = static_cast<uint32_t>(b / 4);
    out[i] = static_cast<char>(v >> (8 * (b % 4)));
  }
}

struct RingCase {
  const char* name;
  uint32_t channels;
  uint32_t capacity_units;
  uint32_t max_block;   // bytes per write, chosen at random up to this
  uint32_t max_read;    // elements per read
  int clear_every;      // a clear every this many steps (0: never)
};

class RingStream : public ::testing::TestWithParam<RingCase> {};

TEST_P(RingStream, EveryElementReadIsTheOneSentAtItsPlace) {
  const RingCase c = GetParam();
  const uint32_t unit = c.channels * 4;
  RingBuffer ring;
  ASSERT_TRUE(ring.init(c.capacity_units * unit + 3, unit));  // odd size: cut to whole units
  EXPECT_EQ(ring.capacity() % unit, 0u);

  std::mt19937 rng(12345);
  uint64_t sent = 0;  // bytes written so far
  int64_t previous = -1;  // last element read
  std::vector<char> block;
  std::vector<uint32_t> out;
  for (int step = 0; step < 4000; ++step) {
    const uint32_t n = 1 + rng() % c.max_block;
    fill(block, sent, n);
    ring.write(block.data(), n);
    sent += n;
    if (c.clear_every && step % c.clear_every == c.clear_every - 1) {
      ring.clear();
      previous = -1;
    }
    if (rng() % 3 == 0) continue;  // let the ring fill up now and then
    const uint32_t want = 1 + rng() % c.max_read;
    out.resize(want);
    uint32_t offset = 0;
    const uint32_t got = ring.read(reinterpret_cast<char*>(out.data()), want, 4, &offset);
    for (uint32_t i = 0; i < got; ++i) {
      const int64_t k = out[i];
      const uint32_t channel = (offset / 4 + i) % c.channels;
      // The ring's position names the channel the writer sent.
      ASSERT_EQ(channel, k % c.channels) << "step " << step;
      // Inside a unit nothing is missing; a new unit starts at channel 0
      // (after a clear too) and lies after the last one (some may have
      // been dropped whole).
      if (channel != 0) ASSERT_EQ(k, previous + 1) << "step " << step;
      else ASSERT_GT(k, previous) << "step " << step;
      previous = k;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RingStream,
    ::testing::Values(RingCase{"EightChannelsOverrunning", 8, 64, 300, 40, 0},
                      RingCase{"ThreeChannelsOddBlocks", 3, 50, 37, 500, 0},
                      RingCase{"OneChannelByteBlocks", 1, 16, 3, 7, 0},
                      RingCase{"ClearsMidUnit", 4, 40, 51, 9, 17},
                      RingCase{"WideUnitsSmallRing", 16, 2, 100, 5, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Ring, InPlaceReadsHandOutWhatCopyingReadsCopy) {
  // Twin rings fed alike; one read by copying, one in place, with sample
  // sizes 2 and 4 and byte reads between, so pieces wrap round the end and
  // elements are cut by it.
  for (uint32_t elem : {2u, 4u}) {
    RingBuffer a, b;
    const uint32_t unit = 3 * elem;
    ASSERT_TRUE(a.init(13 * unit, unit, 7));
    ASSERT_TRUE(b.init(13 * unit, unit, 7));
    std::mt19937 rng(99);
    std::vector<char> block, copied(64 * elem), visited;
    uint64_t sent = 0;
    for (int step = 0; step < 3000; ++step) {
      const uint32_t n = 1 + rng() % (5 * unit);
      fill(block, sent, n);
      sent += n;
      a.write(block.data(), n);
      b.write(block.data(), n);
      if (rng() % 11 == 0) {  // a byte read
        char x, y;
        ASSERT_EQ(a.read(&x, 1, 1), b.read(&y, 1, 1));
        ASSERT_EQ(x, y);
        continue;
      }
      const uint32_t want = 1 + rng() % 64;
      RingPlace pa, pb;
      const uint32_t got = a.read(copied.data(), want, elem, &pa);
      visited.clear();
      int pieces = 0;
      const uint32_t seen = b.read_in_place(want, elem, &pb, [&](const char* p, uint32_t k) {
        visited.insert(visited.end(), p, p + static_cast<std::size_t>(k) * elem);
        ++pieces;
      });
      ASSERT_EQ(seen, got) << "step " << step;
      ASSERT_EQ(visited.size(), static_cast<std::size_t>(got) * elem);
      ASSERT_EQ(std::memcmp(visited.data(), copied.data(), visited.size()), 0) << "step " << step;
      ASSERT_LE(pieces, 3);
      if (got > 0) {
        EXPECT_EQ(pa.offset, pb.offset);
        EXPECT_EQ(pb.unit, unit);
        EXPECT_EQ(pb.tag, 7u);
      }
      EXPECT_EQ(a.count(), b.count());
      EXPECT_EQ(a.status(), b.status());
    }
  }
}

TEST(Ring, DroppedUnitsAreCountedAndTheirTailsSkipped) {
  RingBuffer ring;
  ASSERT_TRUE(ring.init(8, 4));  // two units of 4 bytes
  const char a[] = {1, 2, 3, 4, 5, 6, 7};
  EXPECT_EQ(ring.write(a, 7), RingBuffer::WriteResult::Stored);  // one unit and 3 bytes
  EXPECT_EQ(ring.count(), 4u);
  const char b[] = {8, 9, 10, 11, 12, 13};
  // Completes the second unit, then has no room: the third unit (9..12) is
  // dropped and so is the next one, of which 13 is the first byte.
  EXPECT_EQ(ring.write(b, 6), RingBuffer::WriteResult::Dropped);
  EXPECT_EQ(ring.dropped_units(), 2u);
  EXPECT_NE(ring.status() & kStatusOverrun, 0);
  char out[8] = {};
  ASSERT_EQ(ring.read(out, 2, 4), 2u);
  EXPECT_EQ(std::memcmp(out, "\1\2\3\4\5\6\7\10", 8), 0);
  // 14, 15, 16 finish the dropped unit and are skipped; 17.. is a new unit.
  const char c[] = {14, 15, 16, 17, 18, 19, 20};
  EXPECT_EQ(ring.write(c, 7), RingBuffer::WriteResult::Stored);
  ASSERT_EQ(ring.read(out, 1, 4), 1u);
  EXPECT_EQ(std::memcmp(out, "\21\22\23\24", 4), 0);
}

TEST(Ring, DirectReceiveKeepsPartialUnitsForLater) {
  RingBuffer ring;
  ASSERT_TRUE(ring.init(12, 6));
  char* p = ring.reserve(4);
  ASSERT_NE(p, nullptr);
  std::memcpy(p, "abcd", 4);
  ring.commit(4);
  EXPECT_EQ(ring.count(), 0u);  // not a whole unit yet
  p = ring.reserve(4);
  ASSERT_NE(p, nullptr);
  std::memcpy(p, "efgh", 4);
  ring.commit(4);
  EXPECT_EQ(ring.count(), 6u);
  EXPECT_EQ(ring.reserve(6), nullptr);  // 4 bytes of room left after the staged 2
  char out[6];
  ASSERT_EQ(ring.read(out, 3, 2), 3u);
  EXPECT_EQ(std::memcmp(out, "abcdef", 6), 0);
}

// A run of the same size keeps the last run's mapping: nothing of that run
// (samples, a staged partial unit, status) may show through.
TEST(Ring, ANewRunStartsEmptyWhetherItsMappingIsKeptOrNot) {
  RingBuffer ring;
  for (const uint32_t capacity : {12u, 12u, 24u}) {
    SCOPED_TRACE(capacity);
    ASSERT_TRUE(ring.init(capacity, 6));
    EXPECT_EQ(ring.count(), 0u);
    EXPECT_EQ(ring.status(), 0);
    char out[6];
    EXPECT_EQ(ring.read(out, 3, 2), 0u);
    EXPECT_EQ(ring.write("uvwxyz", 6), RingBuffer::WriteResult::Stored);
    ASSERT_EQ(ring.read(out, 3, 2), 3u);
    EXPECT_EQ(std::memcmp(out, "uvwxyz", 6), 0);
    // Left behind for the next run: a unit and half of another.
    ring.write("abcdefghi", 9);
  }
}

// Lanes: slots of a controller each fill their columns of every scan at
// their own pace and in pieces of any size. Sample k of the interleaved
// stream holds k (16 bits); whatever the interleaving of writes and reads,
// a reader gets k, k+1, ... with nothing missing or misplaced, and never a
// sample some slot has not delivered yet.
TEST(RingLanes, SlotsOutOfStepMergeIntoWholeScans) {
  const std::vector<uint32_t> slot_channels = {8, 8, 4};  // 20 channels
  const uint32_t channels = 20, unit = channels * 2;
  std::vector<RingLane> lanes;
  uint32_t offset = 0;
  for (uint32_t n : slot_channels) {
    lanes.push_back({offset, n * 2});
    offset += n * 2;
  }
  RingBuffer ring;
  ASSERT_FALSE(ring.init_lanes(64 * unit, unit, 0, {{0, 16}, {16, 16}}, 2));  // leaves a gap
  ASSERT_TRUE(ring.init_lanes(64 * unit, unit, 0, lanes, 2));

  std::mt19937 rng(777);
  std::vector<uint64_t> sent(slot_channels.size(), 0);  // bytes each slot wrote
  uint64_t next = 0;  // next sample the reader expects
  std::vector<uint16_t> out;
  std::vector<char> block;
  auto byte_of_slot = [&](size_t s, uint64_t b) {
    // Byte b of slot s's stream: its sample b/2 is channel first+m%n of scan m/n.
    const uint64_t m = b / 2, n = slot_channels[s];
    const uint64_t k = m / n * channels + lanes[s].offset / 2 + m % n;
    return static_cast<char>(static_cast<uint16_t>(k) >> (8 * (b % 2)));
  };
  auto place_of = [&](size_t i, uint64_t b) {  // stream offset of slot i's byte b
    return b / lanes[i].width * unit + lanes[i].offset + b % lanes[i].width;
  };
  for (int step = 0; step < 20000; ++step) {
    const size_t s = rng() % slot_channels.size();
    // Slot 2 runs slow; every slot writes odd-sized pieces.
    const uint32_t bytes = 1 + rng() % (s == 2 ? 9 : 61);
    // An overrun ends a scan: keep every slot less than a ring ahead.
    if (place_of(s, sent[s] + bytes - 1) < 2 * next + ring.capacity()) {
      block.resize(bytes);
      for (uint32_t i = 0; i < bytes; ++i) block[i] = byte_of_slot(s, sent[s] + i);
      ASSERT_EQ(ring.write_lane(static_cast<uint32_t>(s), block.data(), bytes),
                RingBuffer::WriteResult::Stored);
      sent[s] += bytes;
    }
    if (rng() % 2) continue;
    // The front: the first sample some slot still owes.
    uint64_t front = UINT64_MAX;
    for (size_t i = 0; i < lanes.size(); ++i) front = std::min(front, place_of(i, sent[i]) / 2);
    ASSERT_EQ(ring.count() / 2, front - next) << "step " << step;
    out.resize(1 + rng() % 50);
    RingPlace place;
    const uint32_t got = ring.read(reinterpret_cast<char*>(out.data()),
                                   static_cast<uint32_t>(out.size()), 2, &place);
    if (got > 0) {
      ASSERT_EQ(place.offset, 2 * (next % channels));
    }
    for (uint32_t i = 0; i < got; ++i, ++next)
      ASSERT_EQ(out[i], static_cast<uint16_t>(next)) << "step " << step;
  }
  EXPECT_GT(next, 20000u);
}

TEST(RingLanes, ASlotAWholeRingAheadOverrunsWithoutTouchingUnreadData) {
  RingBuffer ring;
  ASSERT_TRUE(ring.init_lanes(2 * 4, 4, 0, {{0, 2}, {2, 2}}, 2));  // two scans of two slots
  const char a[] = {1, 1, 2, 2, 3, 3};
  // Slot 0 may fill its column of both scans; the third chunk has no room.
  EXPECT_EQ(ring.write_lane(0, a, 6), RingBuffer::WriteResult::Dropped);
  EXPECT_NE(ring.status() & kStatusOverrun, 0);
  EXPECT_EQ(ring.count(), 2u);  // slot 0's first sample: slot 1 owes the rest
  const char b[] = {9, 9};
  EXPECT_EQ(ring.write_lane(1, b, 2), RingBuffer::WriteResult::Stored);
  char out[8] = {};
  ASSERT_EQ(ring.read(out, 4, 2), 3u);  // scan 0 and slot 0's part of scan 1
  EXPECT_EQ(std::memcmp(out, "\1\1\11\11\2\2", 6), 0);
}

}  // namespace
}  // namespace korvel
