// Digital Butterworth filter for one channel of samples: low-pass, high-pass,
// band-pass or band-stop, designed by the bilinear transform with frequency
// pre-warping and run as a cascade of second-order sections (low/high-pass,
// order/2 of them) or fourth-order sections (band-pass/stop, order/4).
// Coefficients and delay line are doubles; samples enter and leave as floats.
//
// Designs accept only orders that are multiples of 4; any other order makes
// every Set operation a no-op (the kind included). Frequencies are not
// checked: a cut-off at or above half the rate, or equal band edges, give
// meaningless coefficients. Band designs clear the delay line; low-pass and
// high-pass designs keep it, so a cut-off can change in the middle of a
// stream. Depends on nothing but the standard library and libm.
#pragma once

#include <cstddef>
#include <vector>

namespace korvel {

class Filter_cls {
 public:
  explicit Filter_cls(int order = 0, float rate = 0.0f);

  // Stores order and rate; when the order changes the arrays are re-sized to
  // it and zeroed.
  void init(int order, float rate);
  int order() const { return order_; }
  float rate() const { return rate_; }

  int enable = 0;  // 1 = filtering on (set by the driver)

  // -1 none, 0 low-pass, 1 high-pass, 2 band-pass, 3 band-stop
  int kind() const { return kind_; }

  void SetLowPassFilter(float cutoff);
  void SetHighPassFilter(float cutoff);
  void SetBandPassFilter(float f1, float f2);  // f1 upper edge, f2 lower edge
  void SetBandStopFilter(float f1, float f2);

  // One sample through the cascade, updating the delay line; 0.0 when the
  // filter has no sections.
  float GetLowPassFilter(float x);
  float GetHighPassFilter(float x);
  float GetBandPassFilter(float x);
  float GetBandStopFilter(float x);

  // Filters values[0], values[stride], ... values[(n-1)*stride] in place with
  // the Get operation matching kind() (kind -1 leaves them). The results are
  // bit-identical to calling that Get operation per sample; the kind and the
  // section count are resolved once per call, not per sample.
  void run(float* values, std::size_t n, std::size_t stride = 1);

  // Filters an interleaved block in place: values[i] belongs to channel
  // (phase + i) % channels; filters[c] (null, or enable != 1, or kind() < 0:
  // the channel passes unchanged) filters channel c's samples. Results are
  // bit-identical to calling each channel's Get operation on its samples in
  // order. Enabled channels of the same kind and section count run side by
  // side, one per lane, so their recursions overlap; a channel with no such
  // partner runs alone as run() would. No allocation.
  static void run_interleaved(Filter_cls* const* filters, std::size_t channels, float* values,
                              std::size_t count, std::size_t phase);

 private:
  // One sample through the whole cascade (the Get operations).
  template <bool High>
  float through_biquads(float x);
  template <bool Stop>
  float through_quads(float x);
  int biquads() const { return order_ > 0 ? order_ / 2 : 0; }
  int quads() const { return order_ > 0 ? order_ / 4 : 0; }
  int sections() const { return kind_ >= 2 ? quads() : biquads(); }
  void design_band(float f1, float f2, bool stop);

  int kind_ = -1;
  int order_ = 0;
  float rate_ = 0.0f;
  // Band-stop numerator constants 4a and 4a^2 + 2, kept from the design.
  double c1_ = 0.0, c2_ = 0.0;
  // Per section: gain, feedback coefficients (d3, d4 for band filters only)
  // and delay line (w3, w4 for band filters only). Each holds order entries.
  std::vector<double> A_, d1_, d2_, d3_, d4_;
  std::vector<double> w0_, w1_, w2_, w3_, w4_;
};

}  // namespace korvel
