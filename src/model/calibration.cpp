#include "model/calibration.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace korvel {

namespace {

constexpr int32_t kMax = 0x7FFFFFFF;
constexpr int32_t kMin = INT32_MIN;
// Channels the bulk conversions lay out per position (far more than any
// device scans); wider runs are walked channel by channel.
constexpr uint32_t kMaxChannels16 = 256;

// float -> int32 truncation that saturates instead of overflowing.
int32_t trunc32(float v) {
  if (!(v < 2147483648.0f)) return kMax;
  if (!(v >= -2147483648.0f)) return kMin;
  return static_cast<int32_t>(v);
}

// Samples are converted in blocks of kBlock with each position's parameters
// laid out alongside (a period of whole scans, repeated), so that the loop
// over a block has a fixed length, contiguous operands and no channel
// arithmetic: the compiler vectorises it.
constexpr uint32_t kBlock = 64;
constexpr uint32_t kMaxSpread = 512;  // period (< channels + kBlock) plus a block

// out[i] = per_channel[(phase + i) % channels] for every i a block starting
// inside the period can reach; the period (whole scans, at least kBlock), or
// 0 when the channels do not fit.
template <class T>
uint32_t spread(const T* per_channel, uint32_t channels, uint32_t phase, T* out) {
  const uint32_t period = channels * ((kBlock + channels - 1) / channels);
  if (channels == 0 || period + kBlock > kMaxSpread) return 0;
  uint32_t c = phase % channels;
  for (uint32_t i = 0; i < period + kBlock; ++i) {
    out[i] = per_channel[c];
    if (++c == channels) c = 0;
  }
  return period;
}

[[gnu::always_inline]] inline int16_t load16(const char* p) {
  int16_t v;
  std::memcpy(&v, p, 2);
  return v;
}

[[gnu::always_inline]] inline uint32_t load32(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// calibrate16 of a sign-extended code.
[[gnu::always_inline]] inline int32_t cal16(int32_t r, int32_t gain_factor, int32_t offset) {
  int32_t v = ((r * gain_factor) >> 15) + offset;
  v = v > 32767 ? 32767 : v;
  v = v < -32768 ? -32768 : v;
  return v;
}

// The loops' bodies, with a length the compiler sees as kBlock when it is.
// Everything here is inlined into the exported functions, so that each of
// their target clones (below) compiles it for its own instruction set.
[[gnu::always_inline]] inline void volts16(const char* __restrict src, uint32_t n,
                                           const int32_t* __restrict g, const int32_t* __restrict o,
                                           float divisor, float* __restrict dst) {
  for (std::size_t i = 0; i < n; ++i)
    dst[i] = static_cast<float>(cal16(load16(src + 2 * i), g[i], o[i])) / divisor;
}

[[gnu::always_inline]] inline void volts24(const char* __restrict src, uint32_t n,
                                           const double* __restrict o, const float* __restrict fs,
                                           float* __restrict dst) {
  for (std::size_t i = 0; i < n; ++i) {
    // The code plus the offset is exact in double (well inside 2^53), so
    // narrowing it rounds once, exactly as the 64-bit integer sum converts.
    const int32_t code = sign_extend24(static_cast<int>(load32(src + 4 * i)));
    const double s = static_cast<double>(code) + o[i];
    dst[i] = static_cast<float>(s) * fs[i] / 8388607.0f;
  }
}

}  // namespace

// Where the machine has AVX2 the bulk conversions run eight samples per
// instruction, with a 32-bit multiply and a clamp of their own (same IEEE
// operations, no contraction: there is no multiply-add to fuse). Not under
// the thread sanitizer: its instrumented resolvers would run before its
// runtime is set up, when the loader binds them.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
#define KORVEL_WIDE_VECTORS __attribute__((target_clones("avx2", "default")))
#else
#define KORVEL_WIDE_VECTORS
#endif

KORVEL_WIDE_VECTORS
void codes16_to_volts(const char* src, uint32_t n, uint32_t channels, uint32_t phase,
                      const uint16_t* gains, const int16_t* offsets, int gain, float* dst) {
  if (n == 0 || channels == 0) return;
  if (gain != 0 && gain != 1) {
    std::fill(dst, dst + n, 0.0f);
    return;
  }
  const float divisor = gain == 0 ? 6553.6f : 3276.8f;
  int32_t g[kMaxChannels16], o[kMaxChannels16];
  const uint32_t known = std::min(channels, kMaxChannels16);
  for (uint32_t c = 0; c < known; ++c) {
    g[c] = gains[c];
    o[c] = offsets[c];
  }
  int32_t gs[kMaxSpread], os[kMaxSpread];
  const uint32_t period = channels <= kMaxChannels16 ? spread(g, channels, phase, gs) : 0;
  if (period == 0 || spread(o, channels, phase, os) != period) {
    // More channels than any device has: walk them.
    uint32_t c = phase % channels;
    for (uint32_t i = 0; i < n; ++i) {
      dst[i] = static_cast<float>(cal16(load16(src + 2 * i), gains[c], offsets[c])) / divisor;
      if (++c == channels) c = 0;
    }
    return;
  }
  // Blocks of kBlock; `at` indexes the laid-out parameters of sample i.
  uint32_t at = 0, i = 0;
  for (; n - i >= kBlock; i += kBlock) {
    volts16(src + 2 * i, kBlock, gs + at, os + at, divisor, dst + i);
    at += kBlock;
    if (at >= period) at -= period;
  }
  volts16(src + 2 * i, n - i, gs + at, os + at, divisor, dst + i);
}

KORVEL_WIDE_VECTORS
void channel24_codes_to_volts(const char* src, uint32_t n, uint32_t channels, uint32_t phase,
                              const int32_t* offsets, const float* full_scales, float* dst) {
  if (n == 0 || channels == 0) return;
  double o[kMaxChannels16];
  const uint32_t known = std::min(channels, kMaxChannels16);
  for (uint32_t c = 0; c < known; ++c) o[c] = offsets[c];
  double os[kMaxSpread];
  float fs[kMaxSpread];
  const uint32_t period = channels <= kMaxChannels16 ? spread(o, channels, phase, os) : 0;
  if (period == 0 || spread(full_scales, channels, phase, fs) != period) {
    uint32_t c = phase % channels;
    for (uint32_t i = 0; i < n; ++i) {
      const int raw = static_cast<int>(load32(src + 4 * i));
      dst[i] = channel24_to_volts(raw, offsets[c], full_scales[c]);
      if (++c == channels) c = 0;
    }
    return;
  }
  uint32_t at = 0, i = 0;
  for (; n - i >= kBlock; i += kBlock) {
    volts24(src + 4 * i, kBlock, os + at, fs + at, dst + i);
    at += kBlock;
    if (at >= period) at -= period;
  }
  volts24(src + 4 * i, n - i, os + at, fs + at, dst + i);
}

void widen16(const char* src, uint32_t n, uint32_t* dst) {
  // A 64-bit index: 2 * i may not wrap, so the loop vectorises.
  for (std::size_t i = 0; i < n; ++i)
    dst[i] = static_cast<uint32_t>(static_cast<int32_t>(load16(src + 2 * i)));
}

int calibrate16(int raw, uint16_t gain_factor, int16_t offset) {
  const int32_t r = static_cast<int16_t>(static_cast<uint16_t>(raw & 0xFFFF));
  int32_t v = ((r * static_cast<int32_t>(gain_factor)) >> 15) + offset;
  if (v > 32767) v = 32767;
  if (v < -32768) v = -32768;
  return v;
}

float code16_to_volts(int code, int gain) {
  if (gain == 0) return static_cast<float>(code) / 6553.6f;
  if (gain == 1) return static_cast<float>(code) / 3276.8f;
  return 0.0f;
}

bool calibrate24(int raw, uint16_t gain_factor, int16_t offset, float full_scale, float nominal,
                 int* code) {
  if (raw == 0x7FFFFF) {
    *code = kMax;
    return true;
  }
  if (raw == 0x800000) {
    *code = kMin;
    return true;
  }
  if (raw < 0 || raw > 0xFFFFFF) return true;
  const float k = full_scale / nominal;
  const int64_t g = gain_factor;
  // Scaling of the overflow guards: the pieces of the product at full scale.
  auto scale = [&](int64_t x) {
    const int32_t a = trunc32(static_cast<float>(x) * (full_scale * 1000.0f));
    return static_cast<int64_t>(trunc32(static_cast<float>(a) / (nominal * 1000.0f)));
  };
  if (raw < 0x7FFFFF) {
    const uint32_t hi = (static_cast<uint32_t>(raw) >> 8) & 0xFFFF;
    const uint32_t lo = static_cast<uint32_t>(raw) & 0xFF;
    const uint32_t t = static_cast<uint32_t>(hi * g * 2);
    const int64_t th = scale(t >> 16), tl = scale(t & 0xFFFF);
    const uint32_t u = static_cast<uint32_t>(lo * g / 128);
    const int64_t uh = scale(u >> 16), ul = scale(u & 0xFFFF);
    const int64_t top = static_cast<int64_t>(kMax) - (th << 16) - tl;
    if ((tl >> 16) + th >= 32768 || top < (uh << 16) + ul ||
        top - (uh << 16) - ul < trunc32(static_cast<float>(static_cast<uint16_t>(offset)) * k)) {
      *code = kMax;
      return true;
    }
    // The offset is signed: a small code with a negative offset stays small.
    const int64_t sum = static_cast<int64_t>(t) + u + offset;
    int32_t c = trunc32(static_cast<float>(sum) * k);
    *code = c == kMin ? kMax : c;
    return true;
  }
  // Negative codes: the signed high word times 256 plus the unsigned low
  // byte, so that the result runs on continuously through zero.
  const int64_t hi = static_cast<int64_t>((static_cast<uint32_t>(raw) >> 8) & 0xFFFF) - 65536;
  const int64_t lo = static_cast<uint32_t>(raw) & 0xFF;
  const int64_t sum = hi * g * 2 + lo * g / 128 + offset;
  const float v = static_cast<float>(sum) * k;
  const int32_t c = trunc32(v);
  *code = c == kMax ? kMin : c;
  return true;
}

float code24_to_volts(int code, float nominal) {
  float v = static_cast<float>(code) * nominal / 2147483648.0f;
  if (v > nominal) v = nominal;
  if (v < -nominal) v = -nominal;
  return v;
}

bool calibrate_channel24(int raw, int32_t offset, float full_scale, int* code) {
  const int64_t s = static_cast<int64_t>(sign_extend24(raw)) + offset;
  const float v = static_cast<float>(s) / 10.0f * full_scale;
  if ((s >= 1 && v * 256.0f > 2147483648.0f) || (s < 1 && v * 256.0f < -2147483648.0f))
    return false;
  *code = static_cast<int>(static_cast<uint32_t>(trunc32(v)) << 8);
  return true;
}

float channel24_to_volts(int raw, int32_t offset, float full_scale) {
  const int64_t s = static_cast<int64_t>(sign_extend24(raw)) + offset;
  return static_cast<float>(s) * full_scale / 8388607.0f;
}

}  // namespace korvel
