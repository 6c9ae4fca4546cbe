// The ring keeps whole units: whatever the block sizes, overruns, clears and
// reads of any size, every element a reader gets is the one the writer sent
// at that place, and the offset the ring reports names its channel.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace korvel
