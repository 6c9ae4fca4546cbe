#include "model/calibration.h"

#include <cmath>

namespace korvel {

namespace {

constexpr int32_t kMax = 0x7FFFFFFF;
constexpr int32_t kMin = INT32_MIN;

// float -> int32 truncation that saturates instead of overflowing.
int32_t trunc32(float v) {
  if (!(v < 2147483648.0f)) return kMax;
  if (!(v >= -2147483648.0f)) return kMin;
  return static_cast<int32_t>(v);
}

}  // namespace

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
