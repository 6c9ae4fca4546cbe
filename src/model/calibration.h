// Calibration arithmetic shared by drivers and the log-file reader, so that
// a log read back gives exactly what the live device gave.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace korvel {

// 16-bit devices: Q15 gain factor (32768 = 1.0) and offset in codes. The
// arithmetic shift rounds towards minus infinity; the result is clamped.
int calibrate16(int raw, uint16_t gain_factor, int16_t offset);
// A calibrated 16-bit code in volts: gain code 0 is +-5 V, 1 is +-10 V
// (0 for any other gain code).
float code16_to_volts(int code, int gain);

// Nominal full scale (volts) of the 24-bit range codes 0..9.
inline constexpr float kRange24[10] = {10.0f, 5.0f,  2.5f,  1.25f, 0.625f,
                                       0.3f,  0.15f, 0.075f, 0.04f, 0.02f};

// 24-bit devices with per-range tables: turns a 24-bit two's-complement code
// into a 32-bit code whose full scale is 2^31. full_scale is the range's
// actual full scale as the device reports it, nominal the range's nominal
// one. Codes outside 0..0xFFFFFF leave *code unwritten (still true).
bool calibrate24(int raw, uint16_t gain_factor, int16_t offset, float full_scale, float nominal,
                 int* code);
// A calibrate24 code in volts, clamped to +-nominal.
float code24_to_volts(int code, float nominal);

// 24-bit devices with one range per channel (per-channel full scale in volts
// and a signed offset in codes). False when the result does not fit (the
// code is left unwritten); the caller reports success regardless.
bool calibrate_channel24(int raw, int32_t offset, float full_scale, int* code);
float channel24_to_volts(int raw, int32_t offset, float full_scale);

// Bulk forms for reads of a run's samples: `channels` channels interleaved,
// the first sample of channel phase % channels, each channel's calibration
// resolved beforehand into arrays indexed by channel. Samples are
// little-endian as devices send them, at any alignment. Every value has the
// bits of the per-sample function it stands for (the same operations in the
// same order), only without a call, a table look-up or a modulo per sample.
//
// code16_to_volts(calibrate16(raw, gains[c], offsets[c]), gain).
void codes16_to_volts(const char* src, uint32_t n, uint32_t channels, uint32_t phase,
                      const uint16_t* gains, const int16_t* offsets, int gain, float* dst);
// channel24_to_volts(raw, offsets[c], full_scales[c]) of 32-bit words.
void channel24_codes_to_volts(const char* src, uint32_t n, uint32_t channels, uint32_t phase,
                              const int32_t* offsets, const float* full_scales, float* dst);
// 16-bit codes sign-extended to 32-bit words.
void widen16(const char* src, uint32_t n, uint32_t* dst);

// The low 24 bits of raw as a signed value.
inline int32_t sign_extend24(int raw) {
  const auto u = static_cast<uint32_t>(raw) & 0xFFFFFFu;
  return static_cast<int32_t>(u ^ 0x800000u) - 0x800000;
}

// A per channel and gain code table of calibration values. Any thread reads
// it while the connection or a gain change rewrites it: each entry is a
// relaxed atomic (a plain load on the machines served), so converting a
// sample costs no lock. Indices are checked by the caller.
template <class T>
class CalTable {
 public:
  void resize(int channels, int gains) {
    gains_ = gains;
    const std::size_t n = static_cast<std::size_t>(channels) * static_cast<std::size_t>(gains);
    values_ = std::make_unique<std::atomic<T>[]>(n);
    for (std::size_t i = 0; i < n; ++i) values_[i].store(T{}, std::memory_order_relaxed);
  }
  T get(int channel, int gain) const {
    return values_[index(channel, gain)].load(std::memory_order_relaxed);
  }
  void set(int channel, int gain, T v) {
    values_[index(channel, gain)].store(v, std::memory_order_relaxed);
  }

 private:
  std::size_t index(int channel, int gain) const {
    return static_cast<std::size_t>(channel) * static_cast<std::size_t>(gains_) +
           static_cast<std::size_t>(gain);
  }
  int gains_ = 0;
  std::unique_ptr<std::atomic<T>[]> values_;
};

// Gains and offsets of channels 0..n-1 at one range, resolved once for the
// table-driven conversions above.
struct ChannelCalibration {
  static constexpr uint32_t kMaxChannels = 64;
  uint16_t gains[kMaxChannels];
  int16_t offsets[kMaxChannels];
  // False (nothing resolved) when a channel or the range lies outside the
  // tables of ai_count inputs and range_count ranges: such a run converts
  // sample by sample, failing as the per-sample function does.
  bool load(const CalTable<uint16_t>& gain_table, const CalTable<int16_t>& offset_table,
            uint32_t channels, int range, int ai_count, int range_count) {
    if (channels > kMaxChannels || static_cast<int>(channels) > ai_count || range < 0 ||
        range >= range_count)
      return false;
    for (uint32_t c = 0; c < channels; ++c) {
      gains[c] = gain_table.get(static_cast<int>(c), range);
      offsets[c] = offset_table.get(static_cast<int>(c), range);
    }
    return true;
  }
};

}  // namespace korvel
