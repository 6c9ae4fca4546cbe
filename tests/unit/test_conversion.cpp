// The bulk conversions of scan reads give, bit for bit, what the per-sample
// formulas gave: every 16-bit code at every range and channel position,
// 24-bit codes over their ends and sign boundary, reads starting at any
// channel, ending mid-scan and wrapping round the ring.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "drivers/lx3100/lx3100.h"
#include "model/calibration.h"
#include "model/descriptor.h"

namespace korvel {
namespace {

// The per-sample formulas the reads used before, as they were written.
float reference16(int raw, uint16_t gain_factor, int16_t offset, int gain) {
  const int32_t r = static_cast<int16_t>(static_cast<uint16_t>(raw & 0xFFFF));
  int32_t v = ((r * static_cast<int32_t>(gain_factor)) >> 15) + offset;
  if (v > 32767) v = 32767;
  if (v < -32768) v = -32768;
  if (gain == 0) return static_cast<float>(v) / 6553.6f;
  if (gain == 1) return static_cast<float>(v) / 3276.8f;
  return 0.0f;
}

float reference24(int raw, int32_t offset, float full_scale) {
  const auto u = static_cast<uint32_t>(raw) & 0xFFFFFFu;
  const int32_t code = static_cast<int32_t>(u ^ 0x800000u) - 0x800000;
  const int64_t s = static_cast<int64_t>(code) + offset;
  return static_cast<float>(s) * full_scale / 8388607.0f;
}

uint32_t bits(float v) {
  uint32_t b;
  std::memcpy(&b, &v, 4);
  return b;
}

// Calibrations with the extremes of both fields, one per channel.
constexpr uint16_t kGains[] = {32768, 0, 65535, 30000, 1, 40000, 32767, 12345, 65000, 99};
constexpr int16_t kOffsets[] = {0, -32768, 32767, -12, 7, 1000, -1, 300, -4000, 5};

void expect_bits(const std::vector<float>& got, const float* want, const char* what) {
  std::size_t wrong = 0, first = 0;
  for (std::size_t i = 0; i < got.size(); ++i)
    if (bits(got[i]) != bits(want[i]) && wrong++ == 0) first = i;
  EXPECT_EQ(wrong, 0u) << what << ": first at " << first << " got " << got[first] << " want "
                       << want[first];
}

TEST(Conversion16, EveryCodeEveryRangeEveryChannelPosition) {
  // Channel counts whose period divides the block and ones that do not.
  for (uint32_t channels : {3u, 8u}) {
    for (int gain : {0, 1, 2}) {
      // Channel c sees code (m * 40503 + c * 12345) mod 2^16 in scan m:
      // every code on every channel.
      const uint32_t n = 65536 * channels;
      std::vector<char> src(2 * n + 1);
      std::vector<float> want(n);
      for (uint32_t j = 0; j < n; ++j) {
        const uint32_t c = j % channels;
        const auto code = static_cast<uint16_t>((j / channels) * 40503u + c * 12345u);
        std::memcpy(&src[1 + 2 * j], &code, 2);  // odd address: any alignment
        want[j] = reference16(static_cast<int16_t>(code), kGains[c], kOffsets[c], gain);
      }
      // Reads starting at the first and the last channel and ending mid-scan
      // (every other start and length: below).
      for (uint32_t start : {0u, channels - 1}) {
        const uint32_t len = n - start - (start % 3);
        std::vector<float> got(len);
        codes16_to_volts(&src[1 + 2 * start], len, channels, start % channels, kGains, kOffsets,
                         gain, got.data());
        expect_bits(got, want.data() + start, "bulk");
      }
    }
  }
}

TEST(Conversion16, ReferenceIsThePerSampleFunctions) {
  for (int gain : {0, 1, 2})
    for (std::size_t k = 0; k < std::size(kGains); ++k)
      for (int raw = -32768; raw < 32768; raw += 7)
        ASSERT_EQ(bits(reference16(raw, kGains[k], kOffsets[k], gain)),
                  bits(code16_to_volts(calibrate16(raw, kGains[k], kOffsets[k]), gain)));
}

TEST(Conversion16, ShortReadsAndWideRuns) {
  // Every length below a few blocks at every phase, and a run wider than the
  // laid-out channels (walked).
  struct Case {
    uint32_t channels, max_len;
  };
  for (const Case c : {Case{5, 200}, Case{8, 200}, Case{300, 700}}) {
    std::vector<uint16_t> gains(c.channels), codes(c.max_len + c.channels);
    std::vector<int16_t> offsets(c.channels);
    for (uint32_t i = 0; i < c.channels; ++i) {
      gains[i] = static_cast<uint16_t>(kGains[i % 10] + i);
      offsets[i] = static_cast<int16_t>(kOffsets[i % 10] - static_cast<int>(i));
    }
    for (std::size_t i = 0; i < codes.size(); ++i) codes[i] = static_cast<uint16_t>(i * 977u + 13);
    for (uint32_t phase = 0; phase<c.channels; phase += c.channels> 10 ? 37 : 1) {
      for (uint32_t len = 0; len <= c.max_len; len += c.channels > 10 ? 61 : 1) {
        std::vector<float> got(len + 1, -7.0f), want(len + 1, -7.0f);
        for (uint32_t i = 0; i < len; ++i) {
          const uint32_t ch = (phase + i) % c.channels;
          want[i] = reference16(static_cast<int16_t>(codes[i]), gains[ch], offsets[ch], 1);
        }
        codes16_to_volts(reinterpret_cast<const char*>(codes.data()), len, c.channels, phase,
                         gains.data(), offsets.data(), 1, got.data());
        expect_bits(got, want.data(), "short");  // and nothing past the end written
      }
    }
  }
}

TEST(Conversion24, CodesOverTheirEndsAndSignBoundary) {
  // Codes: a stride through all of them plus the neighbourhoods of 0, the
  // largest, the sign boundary and the top, and words with bits above 24.
  std::vector<uint32_t> codes;
  for (uint32_t c = 0; c < 0x1000000; c += 997) codes.push_back(c);
  for (uint32_t centre : {0u, 0x7FFFFFu, 0x800000u, 0xFFFFFFu})
    for (uint32_t d = 0; d < 300; ++d) {
      codes.push_back((centre + d) & 0xFFFFFF);
      codes.push_back((centre - d) & 0xFFFFFF);
    }
  codes.push_back(0xFF800000u);
  codes.push_back(0x12345678u);
  codes.push_back(0xFFFFFFFFu);
  constexpr int32_t kOffsets24[] = {0, -1000, INT32_MIN, INT32_MAX, 12345};
  constexpr float kFull[] = {10.0f, 0.02f, 0.0f, 65.535f, 2.5f};
  constexpr uint32_t channels = 5;
  for (uint32_t phase = 0; phase < channels; ++phase) {
    std::vector<float> got(codes.size()), want(codes.size()), single(codes.size());
    for (std::size_t i = 0; i < codes.size(); ++i) {
      const uint32_t c = (phase + i) % channels;
      want[i] = reference24(static_cast<int>(codes[i]), kOffsets24[c], kFull[c]);
      single[i] = channel24_to_volts(static_cast<int>(codes[i]), kOffsets24[c], kFull[c]);
    }
    expect_bits(single, want.data(), "per-sample");
    channel24_codes_to_volts(reinterpret_cast<const char*>(codes.data()),
                             static_cast<uint32_t>(codes.size()), channels, phase, kOffsets24,
                             kFull, got.data());
    expect_bits(got, want.data(), "24-bit");
  }
}

TEST(Conversion16, WidenedCodesAreSignExtended) {
  std::vector<uint16_t> codes(65536);
  for (uint32_t i = 0; i < codes.size(); ++i) codes[i] = static_cast<uint16_t>(i);
  std::vector<uint32_t> wide(codes.size());
  widen16(reinterpret_cast<const char*>(codes.data()), 65536, wide.data());
  for (uint32_t i = 0; i < codes.size(); ++i)
    ASSERT_EQ(wide[i], static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(i))));
}

// An LX-3100 with no connection, its ring fed by the test: reads of every
// size, raw byte reads that leave the position mid-sample, and a small ring
// that wraps at every place.
class OfflineLX3100 : public LX3100 {
 public:
  OfflineLX3100() : LX3100("127.0.0.1", 1, 2, QLXMODULE[kRowLX3100]) {}
  void set_run(uint16_t channels, uint32_t gain, uint32_t ring_units) {
    ScanChannelCount = channels;
    ScanGain = gain;
    ADBufferSize = ring_units * channels * 2;
    for (int c = 0; c < module.ai_count; ++c)
      for (int g = 0; g < module.ai_gain_count; ++g) {
        GainTable.set(c, g, static_cast<uint16_t>(kGains[c] + g));
        OffsetTable.set(c, g, static_cast<int16_t>(kOffsets[c] - g));
      }
    ASSERT_EQ(LANBuffer_Init(), 1);
  }
  RingBuffer& ring() { return engine_.ring(); }
};

TEST(ScanReads, VoltsAndCodesThroughTheRingAreThePerSampleOnes) {
  struct Case {
    uint16_t channels;
    uint32_t gain;
  };
  for (const auto [channels, gain] : {Case{3, 1}, Case{8, 0}}) {
    SCOPED_TRACE(testing::Message() << channels << " channels, gain " << gain);
    OfflineLX3100 dev;
    dev.set_run(channels, gain, 37);
    const uint32_t unit = channels * 2u;
    // The stream: codes over the whole range on every channel (every
    // single code is checked above).
    const uint32_t samples = 16384u * channels;
    std::vector<char> stream(2 * static_cast<std::size_t>(samples));
    for (uint32_t j = 0; j < samples; ++j) {
      const auto code =
          static_cast<uint16_t>((j / channels) * 4u * 40503u + (j % channels) * 12345u);
      std::memcpy(&stream[2 * static_cast<std::size_t>(j)], &code, 2);
    }
    // Per element read at byte position p: its code and the channel the
    // reads name, (p mod unit) / 2.
    auto code_at = [&](std::size_t p) {
      int16_t v;
      std::memcpy(&v, &stream[p], 2);
      return v;
    };
    std::size_t written = 0, cursor = 0, wrong = 0, step = 0;
    constexpr uint32_t kSizes[] = {1, 2, 3, 5, 7, 8, 13, 64, 100, 257, 1000};
    std::vector<float> volts(1000);
    std::vector<unsigned> codes(1000);
    while (cursor + 1 < stream.size() && step < 10 * samples) {
      const uint32_t free_units = (dev.ring().capacity() - dev.ring().count()) / unit;
      const std::size_t k = std::min<std::size_t>(free_units * unit, stream.size() - written);
      if (k > 0) {
        ASSERT_EQ(dev.ring().write(&stream[written], static_cast<uint32_t>(k)),
                  RingBuffer::WriteResult::Stored);
      }
      written += k;
      const uint32_t want = kSizes[step % std::size(kSizes)];
      ++step;
      if (step % 97 == 0) {  // a raw byte: later samples start mid-code
        char b;
        ASSERT_EQ(dev.ReadHostLANBuffer(&b, 1), 1);
        EXPECT_EQ(b, stream[cursor]);
        ++cursor;
      } else if (step % 5 == 0) {
        const int n = dev.AD_ReadCodes(codes.data(), want);
        for (int i = 0; i < n; ++i, cursor += 2)
          wrong += codes[i] != static_cast<unsigned>(static_cast<int32_t>(code_at(cursor)));
      } else {
        const int n = dev.AD_ReadData_float(volts.data(), want, 2);
        for (int i = 0; i < n; ++i, cursor += 2) {
          const uint32_t c = static_cast<uint32_t>(cursor % unit) / 2;
          const int g = static_cast<int>(gain);
          wrong += bits(volts[i]) !=
                   bits(reference16(code_at(cursor), static_cast<uint16_t>(kGains[c] + g),
                                    static_cast<int16_t>(kOffsets[c] - g), g));
        }
      }
    }
    EXPECT_GE(cursor + 2, stream.size());
    EXPECT_EQ(wrong, 0u);
  }
}

}  // namespace
}  // namespace korvel
