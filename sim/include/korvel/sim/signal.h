// The signals simulated inputs carry during a scan: deterministic in the
// channel and the scan index, so that a receiver can check every sample.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvel::sim {

// Raw 16-bit code of a channel (0..15) in scan number `scan`: a sine of its
// own period and amplitude plus a slow sawtooth, so that no block of a
// stream repeats an earlier one.
std::int16_t scan_code(unsigned channel, std::uint64_t scan);

// Code of the n-th sample of an interleaved stream of `channels` channels.
inline std::int16_t stream_code(unsigned channels, std::uint64_t n) {
  return scan_code(static_cast<unsigned>(n % channels), n / channels);
}

// Writes samples [first, first + n) of an interleaved stream of `channels`
// channels as 16-bit little-endian codes; the same values as stream_code,
// computed incrementally.
void fill_stream(unsigned channels, std::uint64_t first, std::size_t n, char* out);

// The 24-bit converters' signal: a raw code of a channel (0..15) in scan
// number `scan`, sign-extended, within -0x7FFFFF..0x7FFFFE: the two codes
// that stand for over-range (0x7FFFFF and 0x800000) never occur. Both signs
// and magnitudes close to full scale do.
std::int32_t scan_code24(unsigned channel, std::uint64_t scan);

inline std::int32_t stream_code24(unsigned channels, std::uint64_t n) {
  return scan_code24(static_cast<unsigned>(n % channels), n / channels);
}

// Writes samples [first, first + n) of an interleaved 24-bit stream as
// 32-bit little-endian words, the code in the low 24 bits and the upper byte
// 0; the same values as stream_code24, computed incrementally.
void fill_stream24(unsigned channels, std::uint64_t first, std::size_t n, char* out);

}  // namespace korvel::sim
