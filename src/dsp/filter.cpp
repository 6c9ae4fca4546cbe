#include "dsp/filter.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <type_traits>

namespace korvel {

namespace {

constexpr double kPi = 3.141592653589793;

// The section arithmetic, shared by the per-sample Get operations and the
// block path of run(): both evaluate the same expressions in the same order,
// so they produce the same bits.
// T is double, or a vector of doubles with one channel per lane: the lanes
// then take exactly the operations of the scalar path.
template <bool High, class T>
[[gnu::always_inline]] inline T biquad_step(T x, T A, T d1, T d2, T& w0, T& w1, T& w2) {
  w0 = d1 * w1 + d2 * w2 + x;
  const T y = High ? A * (w0 - 2.0 * w1 + w2) : A * (w0 + 2.0 * w1 + w2);
  w2 = w1;
  w1 = w0;
  return y;
}

template <bool Stop, class T>
[[gnu::always_inline]] inline T quad_step(T x, T A, T d1, T d2, T d3, T d4, T c1, T c2, T& w0,
                                         T& w1, T& w2, T& w3, T& w4) {
  w0 = d1 * w1 + d2 * w2 + d3 * w3 + d4 * w4 + x;
  const T y = Stop ? A * (w0 - c1 * w1 + c2 * w2 - c1 * w3 + w4) : A * (w0 - 2.0 * w2 + w4);
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
  using Value = double;
  // Up to kDirect sections run straight over the caller's samples; longer
  // cascades run kGroup sections at a time over a block of doubles. Fewer
  // sections in flight leave the core waiting on each recursion; more no
  // longer keep their state in registers (measured: groups of 8 biquads run
  // a quarter slower than groups of 4, groups of 2 nearly three times slower).
  static constexpr int kDirect = 4;
  static constexpr int kGroup = 4;
  static constexpr std::size_t kSpan = SIZE_MAX;
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
  [[gnu::always_inline]] double step(double x) {
    return biquad_step<High>(x, A, d1, d2, w0, w1, w2);
  }
};

template <bool Stop>
struct Quad {
  using Value = double;
  // As for Biquad: of groups of 2 to 6, groups of 4 did best here too.
  static constexpr int kDirect = 4;
  static constexpr int kGroup = 4;
  static constexpr std::size_t kSpan = SIZE_MAX;
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
  [[gnu::always_inline]] double step(double x) {
    return quad_step<Stop>(x, A, d1, d2, d3, d4, c1, c2, w0, w1, w2, w3, w4);
  }
};

// Where a pass over the sections reads its inputs and writes its outputs:
// sample i is p[i * stride], converted on the way in and out.
template <class T, class E>
struct Strided {
  E* p;
  std::size_t stride;
  [[gnu::always_inline]] T operator()(std::size_t i) const {
    return static_cast<T>(p[i * stride]);
  }
  [[gnu::always_inline]] void operator()(std::size_t i, T y) const {
    p[i * stride] = static_cast<E>(y);
  }
  Strided from(std::size_t i) const { return {p + i * stride, stride}; }
};

// Sections first .. first+NS-1 over n samples, in(i) -> out(i, y) (in and
// out may be the same samples). The cascade runs as a wavefront: at step t
// section k takes sample t-k, fed by section k-1's output of the step
// before. The sections of one step are then independent of each other and
// the core overlaps them, where a sample-by-sample cascade would wait for each
// section's result before starting the next. Every section still sees the
// same inputs in the same order, so the results are those of the per-sample
// cascade, bit for bit. Each pass is a function of its own with everything
// inlined into it: left to itself, GCC kept the steps of the larger
// instantiations out of line.
template <class Sec, int NS, class Ctx, class In, class Out>
[[gnu::noinline, gnu::flatten]] void run_sections(const Ctx& a, int first, In in, Out out,
                                                  std::size_t n) {
  using T = typename Sec::Value;
  Sec s[NS];
  for (int k = 0; k < NS; ++k) s[k].load(a, first + k);
  T carry[NS + 1] = {};  // carry[k]: section k's input for the next step
  auto step = [&](std::size_t t, auto checked) {
    // From the last section back, so each carry is used before it is renewed.
#pragma GCC unroll 16
    for (int k = NS - 1; k >= 0; --k) {
      if constexpr (decltype(checked)::value) {
        if (t < static_cast<std::size_t>(k) || t - k >= n) continue;
      }
      const T x = k == 0 ? in(t) : carry[k];
      const T y = s[k].step(x);
      if (k == NS - 1)
        out(t - k, y);
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
template <class Sec, int Max, class Ctx, class In, class Out>
void run_upto(int m, const Ctx& a, int first, In in, Out out, std::size_t n) {
  if constexpr (Max > 0) {
    if (m == Max)
      run_sections<Sec, Max>(a, first, in, out, n);
    else
      run_upto<Sec, Max - 1>(m, a, first, in, out, n);
  }
}

// Values carried between section groups: 4 KiB on the stack, no allocation.
constexpr std::size_t kCarryBytes = 4096;

// ns > 0 sections over n samples, in place at io: up to kDirect sections
// in one pass, longer cascades kGroup sections at a time over blocks of
// carried values.
template <class Sec, class Ctx, class IO>
void run_cascade(const Ctx& a, int ns, IO io, std::size_t n) {
  using T = typename Sec::Value;
  // Sections that keep a history take at most kSpan samples a call.
  constexpr std::size_t kSpan = Sec::kSpan;
  if (ns <= Sec::kDirect) {
    for (std::size_t done = 0; done < n; done += kSpan) {
      const IO p = io.from(done);
      run_upto<Sec, Sec::kDirect>(ns, a, 0, p, p, std::min(kSpan, n - done));
    }
    return;
  }
  constexpr int G = Sec::kGroup;
  constexpr std::size_t kBlock = std::min(kCarryBytes / sizeof(T), kSpan);
  T buf[kBlock];
  const Strided<T, T> carried{buf, 1};
  for (std::size_t done = 0; done < n; done += kBlock) {
    const std::size_t m = std::min(kBlock, n - done);
    const IO p = io.from(done);
    run_sections<Sec, G>(a, 0, p, carried, m);
    int k = G;
    for (; ns - k > G; k += G) run_sections<Sec, G>(a, k, carried, carried, m);
    run_upto<Sec, G>(ns - k, a, k, carried, p, m);
  }
}

// Several channels of one kind and section count in lockstep, a channel per
// lane of a vector of doubles (SSE2 pairs on plain x86-64). Every lane takes
// the scalar path's operations in its order (and this file is built without
// floating-point contraction), so each channel's results are those of its
// own cascade, bit for bit.
typedef double Lanes2 __attribute__((vector_size(16)));

// Four lanes as two pairs: without AVX, GCC keeps a 32-byte vector in
// memory between operations, where the two halves stay in registers.
struct Lanes4 {
  Lanes2 lo, hi;
  [[gnu::always_inline]] friend Lanes4 operator+(Lanes4 a, Lanes4 b) {
    return {a.lo + b.lo, a.hi + b.hi};
  }
  [[gnu::always_inline]] friend Lanes4 operator-(Lanes4 a, Lanes4 b) {
    return {a.lo - b.lo, a.hi - b.hi};
  }
  [[gnu::always_inline]] friend Lanes4 operator*(Lanes4 a, Lanes4 b) {
    return {a.lo * b.lo, a.hi * b.hi};
  }
  [[gnu::always_inline]] friend Lanes4 operator*(double a, Lanes4 b) {
    return {a * b.lo, a * b.hi};
  }
};

// Lanes are built and read by value, never through their address, so that
// the vectors stay in registers.
template <class F>
Lanes2 make_lanes(F f, Lanes2*) {
  return Lanes2{f(0), f(1)};
}
template <class F>
Lanes4 make_lanes(F f, Lanes4*) {
  return {Lanes2{f(0), f(1)}, Lanes2{f(2), f(3)}};
}
template <class V, class F>
V make_lanes(F f) {
  return make_lanes(f, static_cast<V*>(nullptr));
}
[[gnu::always_inline]] inline double lane(const Lanes2& v, int j) { return v[j]; }
[[gnu::always_inline]] inline double lane(const Lanes4& v, int j) {
  return j < 2 ? v.lo[j] : v.hi[j - 2];
}

template <class V>
constexpr int kLanes = static_cast<int>(sizeof(V) / sizeof(double));

// The lanes' sections; lanes beyond the group's channels repeat its first
// channel (same data, same results, stored back unchanged).
template <class V>
struct LaneArrays {
  const Arrays* a[kLanes<V>];
  V* hist;  // kGroup histories of sections that keep one
  template <class F>
  V get(F f) const {
    return make_lanes<V>([&](int j) { return f(*a[j]); });
  }
  template <class F>
  void put(const V& v, F f) const {
    for (int j = 0; j < kLanes<V>; ++j) f(*a[j]) = lane(v, j);
  }
};

// A lane section reads its older delay values back from a history of its w0
// values instead of keeping them in registers: more sections of four lanes
// then fit the sixteen registers of plain x86-64 and run in flight together.
// Only w1 is on the recursion's critical path, and it stays in a register.
// The history holds kSpan samples, the most a run_sections call takes.
template <class V, bool High>
struct LaneBiquad {
  using Value = V;
  static constexpr int kGroup = 4;
  static constexpr int kDirect = kGroup;
  static constexpr std::size_t kSpan = 128;
  static constexpr std::size_t kHistory = 2 + kSpan;
  V A, d1, d2, w1;
  V* h;  // the next w0's place; h[-1] = w1, h[-2] = w2 as the section starts
  void load(const LaneArrays<V>& g, int k) {
    V* hist = g.hist + (k % kGroup) * kHistory;
    A = g.get([k](const Arrays& a) { return a.A[k]; });
    d1 = g.get([k](const Arrays& a) { return a.d1[k]; });
    d2 = g.get([k](const Arrays& a) { return a.d2[k]; });
    w1 = g.get([k](const Arrays& a) { return a.w1[k]; });
    hist[1] = w1;
    hist[0] = g.get([k](const Arrays& a) { return a.w2[k]; });
    h = hist + 2;
  }
  void store(const LaneArrays<V>& g, int k) const {
    // Every call takes a sample at least: w0 is the last one, as is w1.
    g.put(h[-1], [k](const Arrays& a) -> double& { return a.w0[k]; });
    g.put(h[-1], [k](const Arrays& a) -> double& { return a.w1[k]; });
    g.put(h[-2], [k](const Arrays& a) -> double& { return a.w2[k]; });
  }
  [[gnu::always_inline]] V step(V x) {
    V w0, w2 = h[-2];
    const V y = biquad_step<High>(x, A, d1, d2, w0, w1, w2);
    *h++ = w0;
    return y;
  }
};

template <class V, bool Stop>
struct LaneQuad {
  using Value = V;
  static constexpr int kGroup = 2;
  static constexpr int kDirect = kGroup;
  static constexpr std::size_t kSpan = 128;
  static constexpr std::size_t kHistory = 4 + kSpan;
  V A, d1, d2, d3, d4, c1, c2, w1;
  V* h;  // the next w0's place; h[-1 - j] = w(j+1) as the section starts
  void load(const LaneArrays<V>& g, int k) {
    V* hist = g.hist + (k % kGroup) * kHistory;
    A = g.get([k](const Arrays& a) { return a.A[k]; });
    d1 = g.get([k](const Arrays& a) { return a.d1[k]; });
    d2 = g.get([k](const Arrays& a) { return a.d2[k]; });
    d3 = g.get([k](const Arrays& a) { return a.d3[k]; });
    d4 = g.get([k](const Arrays& a) { return a.d4[k]; });
    c1 = g.get([](const Arrays& a) { return a.c1; });
    c2 = g.get([](const Arrays& a) { return a.c2; });
    w1 = g.get([k](const Arrays& a) { return a.w1[k]; });
    hist[3] = w1;
    hist[2] = g.get([k](const Arrays& a) { return a.w2[k]; });
    hist[1] = g.get([k](const Arrays& a) { return a.w3[k]; });
    hist[0] = g.get([k](const Arrays& a) { return a.w4[k]; });
    h = hist + 4;
  }
  void store(const LaneArrays<V>& g, int k) const {
    // Every call takes a sample at least: w0 is the last one, as is w1.
    g.put(h[-1], [k](const Arrays& a) -> double& { return a.w0[k]; });
    g.put(h[-1], [k](const Arrays& a) -> double& { return a.w1[k]; });
    g.put(h[-2], [k](const Arrays& a) -> double& { return a.w2[k]; });
    g.put(h[-3], [k](const Arrays& a) -> double& { return a.w3[k]; });
    g.put(h[-4], [k](const Arrays& a) -> double& { return a.w4[k]; });
  }
  [[gnu::always_inline]] V step(V x) {
    V w0, w2 = h[-2], w3 = h[-3], w4 = h[-4];
    const V y = quad_step<Stop>(x, A, d1, d2, d3, d4, c1, c2, w0, w1, w2, w3, w4);
    *h++ = w0;
    return y;
  }
};

// The lanes' channels in the interleaved block: lane j's sample i is
// p[j][i * stride].
template <class V>
struct LaneStrided {
  float* p[kLanes<V>];
  std::size_t stride;
  [[gnu::always_inline]] V operator()(std::size_t i) const {
    return make_lanes<V>([&](int j) { return static_cast<double>(p[j][i * stride]); });
  }
  [[gnu::always_inline]] void operator()(std::size_t i, const V& y) const {
    for (int j = 0; j < kLanes<V>; ++j) p[j][i * stride] = static_cast<float>(lane(y, j));
  }
  LaneStrided from(std::size_t i) const {
    LaneStrided r = *this;
    for (float*& q : r.p) q += i * stride;
    return r;
  }
};

template <class V>
void run_lanes(int kind, int ns, const Arrays* const* arrays, float* const* starts, int count,
               std::size_t stride, std::size_t n) {
  LaneArrays<V> g;
  constexpr std::size_t kB = LaneBiquad<V, false>::kGroup * LaneBiquad<V, false>::kHistory;
  constexpr std::size_t kQ = LaneQuad<V, false>::kGroup * LaneQuad<V, false>::kHistory;
  V hist[kB > kQ ? kB : kQ];
  g.hist = hist;
  LaneStrided<V> io;
  io.stride = stride;
  for (int j = 0; j < kLanes<V>; ++j) {
    g.a[j] = arrays[j < count ? j : 0];
    io.p[j] = starts[j < count ? j : 0];
  }
  switch (kind) {
    case 0: run_cascade<LaneBiquad<V, false>>(g, ns, io, n); break;
    case 1: run_cascade<LaneBiquad<V, true>>(g, ns, io, n); break;
    case 2: run_cascade<LaneQuad<V, false>>(g, ns, io, n); break;
    case 3: run_cascade<LaneQuad<V, true>>(g, ns, io, n); break;
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

template <bool High>
float Filter_cls::through_biquads(float x) {
  const int ns = biquads();
  if (ns == 0) return 0.0f;
  double y = x;
  for (int k = 0; k < ns; ++k) y = biquad_step<High>(y, A_[k], d1_[k], d2_[k], w0_[k], w1_[k], w2_[k]);
  return static_cast<float>(y);
}

template <bool Stop>
float Filter_cls::through_quads(float x) {
  const int ns = quads();
  if (ns == 0) return 0.0f;
  double y = x;
  for (int k = 0; k < ns; ++k)
    y = quad_step<Stop>(y, A_[k], d1_[k], d2_[k], d3_[k], d4_[k], c1_, c2_, w0_[k], w1_[k], w2_[k],
                        w3_[k], w4_[k]);
  return static_cast<float>(y);
}

float Filter_cls::GetLowPassFilter(float x) { return through_biquads<false>(x); }
float Filter_cls::GetHighPassFilter(float x) { return through_biquads<true>(x); }
float Filter_cls::GetBandPassFilter(float x) { return through_quads<false>(x); }
float Filter_cls::GetBandStopFilter(float x) { return through_quads<true>(x); }

void Filter_cls::run(float* values, std::size_t n, std::size_t stride) {
  if (n == 0 || kind_ < 0 || kind_ > 3) return;
  if (sections() == 0) {  // as the Get operations answer
    for (std::size_t i = 0; i < n; ++i) values[i * stride] = 0.0f;
    return;
  }
  const Arrays a{A_.data(),  d1_.data(), d2_.data(), d3_.data(), d4_.data(), w0_.data(),
                 w1_.data(), w2_.data(), w3_.data(), w4_.data(), c1_,        c2_};
  const Strided<double, float> io{values, stride};
  switch (kind_) {
    case 0: run_cascade<Biquad<false>>(a, biquads(), io, n); break;
    case 1: run_cascade<Biquad<true>>(a, biquads(), io, n); break;
    case 2: run_cascade<Quad<false>>(a, quads(), io, n); break;
    case 3: run_cascade<Quad<true>>(a, quads(), io, n); break;
  }
}

void Filter_cls::run_interleaved(Filter_cls* const* filters, std::size_t channels, float* values,
                                 std::size_t count, std::size_t phase) {
  if (filters == nullptr || values == nullptr || channels == 0 || count == 0) return;
  phase %= channels;
  // Channel c's first value in the block and how many it has there.
  auto first_of = [&](std::size_t c) { return (c + channels - phase) % channels; };
  auto count_of = [&](std::size_t c) {
    const std::size_t f = first_of(c);
    return f < count ? (count - f + channels - 1) / channels : 0;
  };
  auto active = [&](std::size_t c) {
    const Filter_cls* f = filters[c];
    return f != nullptr && f->enable == 1 && f->kind_ >= 0 && f->kind_ <= 3 && count_of(c) > 0;
  };
  // Groups form within windows of 64 channels, so a bit mask tracks them.
  constexpr std::size_t kWindow = 64;
  constexpr int kMaxLanes = 4;
  for (std::size_t base = 0; base < channels; base += kWindow) {
    const std::size_t end = std::min(channels, base + kWindow);
    std::uint64_t pending = 0;
    for (std::size_t c = base; c < end; ++c)
      if (active(c)) pending |= std::uint64_t{1} << (c - base);
    while (pending != 0) {
      const std::size_t lead = base + static_cast<std::size_t>(std::countr_zero(pending));
      pending &= pending - 1;
      Filter_cls& f = *filters[lead];
      std::size_t member[kMaxLanes] = {lead};
      int lanes = 1;
      // No sections: run() writes zeros, and a lane would not.
      if (f.sections() > 0) {
        for (std::uint64_t rest = pending; rest != 0 && lanes < kMaxLanes; rest &= rest - 1) {
          const std::size_t c = base + static_cast<std::size_t>(std::countr_zero(rest));
          const Filter_cls& o = *filters[c];
          bool distinct = true;  // one object on two channels runs them one after the other
          for (int j = 0; j < lanes; ++j) distinct = distinct && filters[member[j]] != &o;
          if (!distinct || o.kind_ != f.kind_ || o.sections() != f.sections()) continue;
          member[lanes++] = c;
          pending &= ~(std::uint64_t{1} << (c - base));
        }
      }
      if (lanes == 1) {
        f.run(values + first_of(lead), count_of(lead), channels);
        continue;
      }
      // The lanes run in lockstep over the samples every member has; a member
      // with one more finishes it alone.
      std::size_t common = count;
      Arrays arrays[kMaxLanes];
      const Arrays* arrays_of[kMaxLanes];
      float* starts[kMaxLanes];
      for (int j = 0; j < lanes; ++j) {
        common = std::min(common, count_of(member[j]));
        Filter_cls& g = *filters[member[j]];
        arrays[j] = {g.A_.data(),  g.d1_.data(), g.d2_.data(), g.d3_.data(),
                     g.d4_.data(), g.w0_.data(), g.w1_.data(), g.w2_.data(),
                     g.w3_.data(), g.w4_.data(), g.c1_,        g.c2_};
        arrays_of[j] = &arrays[j];
        starts[j] = values + first_of(member[j]);
      }
      if (lanes == 2)
        run_lanes<Lanes2>(f.kind_, f.sections(), arrays_of, starts, lanes, channels, common);
      else
        run_lanes<Lanes4>(f.kind_, f.sections(), arrays_of, starts, lanes, channels, common);
      for (int j = 0; j < lanes; ++j) {
        const std::size_t left = count_of(member[j]) - common;
        if (left > 0) filters[member[j]]->run(starts[j] + common * channels, left, channels);
      }
    }
  }
}

}  // namespace korvel
