#include "dsp/filter.h"

#include <algorithm>
#include <cmath>
#include <type_traits>

namespace korvel {

namespace {

constexpr double kPi = 3.141592653589793;

// The section arithmetic, shared by the per-sample Get operations and the
// block path of run(): both evaluate the same expressions in the same order,
// so they produce the same bits.
template <bool High>
inline double biquad_step(double x, double A, double d1, double d2, double& w0, double& w1,
                          double& w2) {
  w0 = d1 * w1 + d2 * w2 + x;
  const double y = High ? A * (w0 - 2.0 * w1 + w2) : A * (w0 + 2.0 * w1 + w2);
  w2 = w1;
  w1 = w0;
  return y;
}

template <bool Stop>
inline double quad_step(double x, double A, double d1, double d2, double d3, double d4, double c1,
                        double c2, double& w0, double& w1, double& w2, double& w3, double& w4) {
  w0 = d1 * w1 + d2 * w2 + d3 * w3 + d4 * w4 + x;
  const double y = Stop ? A * (w0 - c1 * w1 + c2 * w2 - c1 * w3 + w4) : A * (w0 - 2.0 * w2 + w4);
  w4 = w3;
  w3 = w2;
  w2 = w1;
  w1 = w0;
  return y;
}

struct Arrays {
  double *A, *d1, *d2, *d3, *d4, *w0, *w1, *w2, *w3, *w4;
  double c1, c2;
};

// A section copied into locals, so that a fixed-size cascade keeps its delay
// line in registers: the recursion then costs its arithmetic latency only,
// not a store and reload per sample.
template <bool High>
struct Biquad {
  // Up to kDirect sections run straight over the caller's samples; longer
  // cascades run kGroup sections at a time over a block of doubles. Fewer
  // sections in flight leave the core waiting on each recursion; more no
  // longer keep their state in registers (measured: groups of 8 biquads run
  // a quarter slower than groups of 4, groups of 2 nearly three times slower).
  static constexpr int kDirect = 4;
  static constexpr int kGroup = 4;
  double A, d1, d2, w0, w1, w2;
  void load(const Arrays& a, int k) {
    A = a.A[k];
    d1 = a.d1[k];
    d2 = a.d2[k];
    w0 = a.w0[k];
    w1 = a.w1[k];
    w2 = a.w2[k];
  }
  void store(const Arrays& a, int k) const {
    a.w0[k] = w0;
    a.w1[k] = w1;
    a.w2[k] = w2;
  }
  double step(double x) { return biquad_step<High>(x, A, d1, d2, w0, w1, w2); }
};

template <bool Stop>
struct Quad {
  // As for Biquad: of groups of 2 to 6, groups of 4 did best here too.
  static constexpr int kDirect = 4;
  static constexpr int kGroup = 4;
  double A, d1, d2, d3, d4, c1, c2, w0, w1, w2, w3, w4;
  void load(const Arrays& a, int k) {
    A = a.A[k];
    d1 = a.d1[k];
    d2 = a.d2[k];
    d3 = a.d3[k];
    d4 = a.d4[k];
    c1 = a.c1;
    c2 = a.c2;
    w0 = a.w0[k];
    w1 = a.w1[k];
    w2 = a.w2[k];
    w3 = a.w3[k];
    w4 = a.w4[k];
  }
  void store(const Arrays& a, int k) const {
    a.w0[k] = w0;
    a.w1[k] = w1;
    a.w2[k] = w2;
    a.w3[k] = w3;
    a.w4[k] = w4;
  }
  double step(double x) { return quad_step<Stop>(x, A, d1, d2, d3, d4, c1, c2, w0, w1, w2, w3, w4); }
};

// Sections first .. first+NS-1 over n samples, in[i*is] -> out[i*os]
// (in and out may be the same samples). The cascade runs as a wavefront: at
// step t section k takes sample t-k, fed by section k-1's output of the step
// before. The sections of one step are then independent of each other and
// the core overlaps them, where a sample-by-sample cascade would wait for each
// section's result before starting the next. Every section still sees the
// same inputs in the same order, so the results are those of the per-sample
// cascade, bit for bit.
template <class Sec, int NS, class In, class Out>
void run_sections(const Arrays& a, int first, const In* in, std::size_t is, Out* out,
                  std::size_t os, std::size_t n) {
  Sec s[NS];
  for (int k = 0; k < NS; ++k) s[k].load(a, first + k);
  double carry[NS + 1] = {};  // carry[k]: section k's input for the next step
  auto step = [&](std::size_t t, auto checked) {
    // From the last section back, so each carry is used before it is renewed.
#pragma GCC unroll 16
    for (int k = NS - 1; k >= 0; --k) {
      if constexpr (decltype(checked)::value) {
        if (t < static_cast<std::size_t>(k) || t - k >= n) continue;
      }
      const double x = k == 0 ? static_cast<double>(in[t * is]) : carry[k];
      const double y = s[k].step(x);
      if (k == NS - 1)
        out[(t - k) * os] = static_cast<Out>(y);
      else
        carry[k + 1] = y;
    }
  };
  const std::size_t steps = n + NS - 1;
  const std::size_t full_from = NS - 1;  // the first step with every section busy
  std::size_t t = 0;
  for (; t < std::min(full_from, steps); ++t) step(t, std::true_type{});
  for (; t < n; ++t) step(t, std::false_type{});
  for (; t < steps; ++t) step(t, std::true_type{});
  for (int k = 0; k < NS; ++k) s[k].store(a, first + k);
}

// run_sections with a section count m of 1..Max known only at run time.
template <class Sec, int Max, class In, class Out>
void run_upto(int m, const Arrays& a, int first, const In* in, std::size_t is, Out* out,
              std::size_t os, std::size_t n) {
  if constexpr (Max > 0) {
    if (m == Max)
      run_sections<Sec, Max>(a, first, in, is, out, os, n);
    else
      run_upto<Sec, Max - 1>(m, a, first, in, is, out, os, n);
  }
}

// Doubles carried between section groups: 4 KiB on the stack, no allocation.
constexpr std::size_t kBlock = 512;

template <class Sec>
void run_cascade(const Arrays& a, int ns, float* v, std::size_t n, std::size_t stride) {
  if (ns <= 0) {
    for (std::size_t i = 0; i < n; ++i) v[i * stride] = 0.0f;
    return;
  }
  if (ns <= Sec::kDirect) {
    run_upto<Sec, Sec::kDirect>(ns, a, 0, v, stride, v, stride, n);
    return;
  }
  constexpr int G = Sec::kGroup;
  double buf[kBlock];
  for (std::size_t done = 0; done < n; done += kBlock) {
    const std::size_t m = std::min(kBlock, n - done);
    float* p = v + done * stride;
    run_sections<Sec, G>(a, 0, p, stride, buf, 1, m);
    int k = G;
    for (; ns - k > G; k += G) run_sections<Sec, G>(a, k, buf, 1, buf, 1, m);
    run_upto<Sec, G>(ns - k, a, k, buf, 1, p, stride, m);
  }
}

}  // namespace

Filter_cls::Filter_cls(int order, float rate) : order_(order), rate_(rate) {
  const std::size_t size = static_cast<std::size_t>(std::max(order, 0));
  for (std::vector<double>* v : {&A_, &d1_, &d2_, &d3_, &d4_, &w0_, &w1_, &w2_, &w3_, &w4_})
    v->assign(size, 0.0);
}

void Filter_cls::init(int order, float rate) {
  if (order != order_) {
    const std::size_t size = static_cast<std::size_t>(std::max(order, 0));
    for (std::vector<double>* v : {&A_, &d1_, &d2_, &d3_, &d4_, &w0_, &w1_, &w2_, &w3_, &w4_})
      v->assign(size, 0.0);
  }
  order_ = order;
  rate_ = rate;
}

void Filter_cls::SetLowPassFilter(float cutoff) {
  if (order_ % 4 != 0) return;
  kind_ = 0;
  const double fs = rate_;
  const double a = std::tan(kPi * cutoff / fs);
  const double a2 = a * a;
  for (int k = 0; k < biquads(); ++k) {
    const double r = std::sin(kPi * (2.0 * k + 1.0) / (2.0 * order_));
    const double s = a2 + 2.0 * a * r + 1.0;
    A_[k] = a2 / s;
    d1_[k] = 2.0 * (1.0 - a2) / s;
    d2_[k] = -(a2 - 2.0 * a * r + 1.0) / s;
  }
}

void Filter_cls::SetHighPassFilter(float cutoff) {
  if (order_ % 4 != 0) return;
  kind_ = 1;
  const double fs = rate_;
  const double a = std::tan(kPi * cutoff / fs);
  const double a2 = a * a;
  for (int k = 0; k < biquads(); ++k) {
    const double r = std::sin(kPi * (2.0 * k + 1.0) / (2.0 * order_));
    const double s = a2 + 2.0 * a * r + 1.0;
    A_[k] = 1.0 / s;
    d1_[k] = 2.0 * (1.0 - a2) / s;
    d2_[k] = -(a2 - 2.0 * a * r + 1.0) / s;
  }
}

void Filter_cls::SetBandPassFilter(float f1, float f2) {
  if (order_ % 4 != 0) return;
  kind_ = 2;
  design_band(f1, f2, false);
}

void Filter_cls::SetBandStopFilter(float f1, float f2) {
  if (order_ % 4 != 0) return;
  kind_ = 3;
  design_band(f1, f2, true);
}

void Filter_cls::design_band(float f1, float f2, bool stop) {
  const double fs = rate_;
  const double hi = f1, lo = f2;
  const double a = std::cos(kPi * (hi + lo) / fs) / std::cos(kPi * (hi - lo) / fs);
  const double a2 = a * a;
  const double b = std::tan(kPi * (hi - lo) / fs);
  const double b2 = b * b;
  for (int k = 0; k < quads(); ++k) {
    const double r = std::sin(kPi * (2.0 * k + 1.0) / order_);
    const double s = b2 + 2.0 * b * r + 1.0;
    A_[k] = stop ? 1.0 / s : b2 / s;
    d1_[k] = 4.0 * a * (1.0 + b * r) / s;
    d2_[k] = 2.0 * (b2 - 2.0 * a2 - 1.0) / s;
    d3_[k] = 4.0 * a * (1.0 - b * r) / s;
    d4_[k] = -(b2 - 2.0 * b * r + 1.0) / s;
  }
  if (stop) {
    c1_ = 4.0 * a;
    c2_ = 4.0 * a2 + 2.0;
  }
  // The new sections start from rest: the old band's state would ring.
  for (std::vector<double>* v : {&w0_, &w1_, &w2_, &w3_, &w4_}) std::fill(v->begin(), v->end(), 0.0);
}

float Filter_cls::GetLowPassFilter(float x) {
  const int ns = biquads();
  if (ns == 0) return 0.0f;
  double y = x;
  for (int k = 0; k < ns; ++k) y = biquad_step<false>(y, A_[k], d1_[k], d2_[k], w0_[k], w1_[k], w2_[k]);
  return static_cast<float>(y);
}

float Filter_cls::GetHighPassFilter(float x) {
  const int ns = biquads();
  if (ns == 0) return 0.0f;
  double y = x;
  for (int k = 0; k < ns; ++k) y = biquad_step<true>(y, A_[k], d1_[k], d2_[k], w0_[k], w1_[k], w2_[k]);
  return static_cast<float>(y);
}

float Filter_cls::GetBandPassFilter(float x) {
  const int ns = quads();
  if (ns == 0) return 0.0f;
  double y = x;
  for (int k = 0; k < ns; ++k)
    y = quad_step<false>(y, A_[k], d1_[k], d2_[k], d3_[k], d4_[k], c1_, c2_, w0_[k], w1_[k], w2_[k],
                         w3_[k], w4_[k]);
  return static_cast<float>(y);
}

float Filter_cls::GetBandStopFilter(float x) {
  const int ns = quads();
  if (ns == 0) return 0.0f;
  double y = x;
  for (int k = 0; k < ns; ++k)
    y = quad_step<true>(y, A_[k], d1_[k], d2_[k], d3_[k], d4_[k], c1_, c2_, w0_[k], w1_[k], w2_[k],
                        w3_[k], w4_[k]);
  return static_cast<float>(y);
}

void Filter_cls::run(float* values, std::size_t n, std::size_t stride) {
  if (n == 0 || kind_ < 0 || kind_ > 3) return;
  const Arrays a{A_.data(),  d1_.data(), d2_.data(), d3_.data(), d4_.data(), w0_.data(),
                 w1_.data(), w2_.data(), w3_.data(), w4_.data(), c1_,        c2_};
  switch (kind_) {
    case 0: run_cascade<Biquad<false>>(a, biquads(), values, n, stride); break;
    case 1: run_cascade<Biquad<true>>(a, biquads(), values, n, stride); break;
    case 2: run_cascade<Quad<false>>(a, quads(), values, n, stride); break;
    case 3: run_cascade<Quad<true>>(a, quads(), values, n, stride); break;
  }
}

}  // namespace korvel
