// The software Butterworth filters: their magnitude response against the
// analytic bilinear-transformed Butterworth, the order rule, settling, the
// delay line across designs and init, and run() and run_interleaved() against
// the per-sample path.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <memory>
#include <vector>

#include "dsp/filter.h"

namespace korvel::test {
namespace {

constexpr double kPi = 3.141592653589793;
enum Kind { kLow, kHigh, kBandPass, kBandStop };

struct Design {
  int kind, order;
  float fs, f1, f2;  // f1: cut-off, or the upper band edge; f2: the lower band edge
};

Filter_cls make(const Design& d) {
  Filter_cls f(d.order, d.fs);
  switch (d.kind) {
    case kLow: f.SetLowPassFilter(d.f1); break;
    case kHigh: f.SetHighPassFilter(d.f1); break;
    case kBandPass: f.SetBandPassFilter(d.f1, d.f2); break;
    case kBandStop: f.SetBandStopFilter(d.f1, d.f2); break;
  }
  return f;
}

float get(Filter_cls& f, float x) {
  switch (f.kind()) {
    case kLow: return f.GetLowPassFilter(x);
    case kHigh: return f.GetHighPassFilter(x);
    case kBandPass: return f.GetBandPassFilter(x);
    case kBandStop: return f.GetBandStopFilter(x);
  }
  return x;
}

// |H| of an analog Butterworth with pre-warped edges, bilinear-transformed:
// low/high-pass of the given order, band filters from a prototype of half it.
double analytic(const Design& d, double f) {
  const double t = std::tan(kPi * f / d.fs), t1 = std::tan(kPi * d.f1 / d.fs);
  const double t2 = std::tan(kPi * d.f2 / d.fs);
  double w = 0.0;  // the prototype frequency, 1 at the edges
  int n = d.order;
  switch (d.kind) {
    case kLow: w = t / t1; break;
    case kHigh: w = t1 / t; break;
    case kBandPass: w = std::fabs(t * t - t1 * t2) / (t * (t1 - t2)), n /= 2; break;
    case kBandStop: w = t * (t1 - t2) / std::fabs(t * t - t1 * t2), n /= 2; break;
  }
  return 1.0 / std::sqrt(1.0 + std::pow(w, 2.0 * n));
}

std::vector<float> noise(std::size_t n, std::uint32_t seed) {
  std::vector<float> v(n);
  for (float& x : v) {
    seed = seed * 1664525u + 1013904223u;
    x = static_cast<float>(seed >> 8) / 8388608.0f - 1.0f;
  }
  return v;
}

TEST(FilterResponse, MatchesBilinearButterworth) {
  const Design designs[] = {
      {kLow, 4, 1000, 100, 0},        {kLow, 8, 10000, 1000, 0},      {kLow, 12, 1000, 50, 0},
      {kLow, 8, 5000, 2000, 0},       {kHigh, 4, 1000, 100, 0},       {kHigh, 8, 1000, 250, 0},
      {kHigh, 12, 10000, 3000, 0},    {kBandPass, 4, 1000, 200, 100}, {kBandPass, 8, 10000, 1500, 500},
      {kBandPass, 12, 1000, 300, 250}, {kBandStop, 4, 1000, 200, 100}, {kBandStop, 8, 10000, 1500, 500},
      {kBandStop, 12, 1000, 300, 200},
  };
  for (const Design& d : designs) {
    SCOPED_TRACE(testing::Message() << "kind " << d.kind << " order " << d.order << " f1 " << d.f1);
    Filter_cls f = make(d);
    std::vector<float> h(1 << 14);
    for (std::size_t i = 0; i < h.size(); ++i) h[i] = get(f, i == 0 ? 1.0f : 0.0f);
    ASSERT_LT(std::fabs(h.back()), 1e-12);  // decayed: the sums below are the response
    auto gain = [&](double freq) {
      std::complex<double> sum;
      for (std::size_t i = 0; i < h.size(); ++i) sum += std::polar<double>(h[i], -2 * kPi * freq * i / d.fs);
      return std::abs(sum);
    };
    const bool band = d.kind >= kBandPass;
    const bool passes_dc = d.kind == kLow || d.kind == kBandStop;
    EXPECT_NEAR(gain(0.0), passes_dc ? 1.0 : 0.0, 1e-5);
    EXPECT_NEAR(gain(d.f1), std::sqrt(0.5), 1e-5);  // -3 dB exactly at the edges
    if (band) {
      EXPECT_NEAR(gain(d.f2), std::sqrt(0.5), 1e-5);
    }
    for (int j = 1; j < 64; ++j) {
      const double freq = d.fs * j / 128.0;
      EXPECT_NEAR(gain(freq), analytic(d, freq), 1e-5) << freq << " Hz";
    }
  }
}

TEST(FilterDesign, OrdersNotMultipleOfFourLeaveTheObjectAsItWas) {
  for (int order : {2, 5, 6, 10, -2}) {
    Filter_cls f(order, 1000);
    f.SetLowPassFilter(100);
    f.SetHighPassFilter(100);
    f.SetBandPassFilter(200, 100);
    f.SetBandStopFilter(200, 100);
    EXPECT_EQ(f.kind(), -1) << order;
    float v[3] = {1, 2, 3};
    f.run(v, 3);
    EXPECT_TRUE(v[0] == 1 && v[1] == 2 && v[2] == 3) << order;  // kind -1: run leaves them
  }
  Filter_cls f(8, 1000);
  f.SetLowPassFilter(100);
  f.init(6, 1000);
  f.SetBandPassFilter(200, 100);
  EXPECT_EQ(f.kind(), kLow);
}

TEST(FilterDesign, ConstantInputSettles) {
  for (int kind : {kLow, kHigh, kBandPass, kBandStop}) {
    for (int order : {4, 8, 12}) {
      Filter_cls f = make({kind, order, 1000, kind >= kBandPass ? 200.0f : 100.0f, 100});
      float y = 0;
      for (int i = 0; i < 5000; ++i) y = get(f, 0.75f);
      const bool passes_dc = kind == kLow || kind == kBandStop;
      EXPECT_NEAR(y, passes_dc ? 0.75 : 0.0, 1e-6) << kind << " " << order;
    }
  }
}

TEST(FilterDesign, RedesignKeepsOrClearsTheDelayLine) {
  const std::vector<float> x = noise(200, 7);
  for (int kind : {kLow, kHigh, kBandPass, kBandStop}) {
    Filter_cls f = make({kind, 8, 1000, 200, 100});
    for (float v : x) get(f, v);
    if (kind >= kBandPass)
      kind == kBandPass ? f.SetBandPassFilter(300, 50) : f.SetBandStopFilter(300, 50);
    else
      kind == kLow ? f.SetLowPassFilter(300) : f.SetHighPassFilter(300);
    double ringing = 0;
    for (int i = 0; i < 50; ++i) ringing += std::fabs(get(f, 0.0f));
    if (kind >= kBandPass)
      EXPECT_EQ(ringing, 0.0) << kind;  // band designs start from rest
    else
      EXPECT_GT(ringing, 1e-3) << kind;  // low/high-pass continue the stream
  }
}

TEST(FilterDesign, InitResizesAndZeroesOnlyOnANewOrder) {
  const std::vector<float> x = noise(300, 11);
  Filter_cls f = make({kLow, 8, 1000, 100, 0});
  for (float v : x) get(f, v);
  Filter_cls snapshot = f;
  f.init(8, 2000);  // same order: coefficients and delay line stay
  EXPECT_EQ(f.rate(), 2000.0f);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(get(f, 0.0f), get(snapshot, 0.0f));

  for (int order : {12, 4}) {  // a new order, larger or smaller: a design starts from rest
    f.init(order, 1000);
    EXPECT_EQ(f.order(), order);
    f.SetLowPassFilter(100);
    Filter_cls fresh = make({kLow, order, 1000, 100, 0});
    for (float v : x) EXPECT_EQ(get(f, v), get(fresh, v)) << order;
  }
}

// run() on one channel of interleaved data, in uneven pieces, against the
// per-sample Get path: the same bits, the other channels untouched, and the
// same state afterwards. Orders up to 40 cover every section grouping.
TEST(FilterRun, StridedPiecesEqualThePerSampleGetPath) {
  constexpr std::size_t kChannels = 3, kSamples = 1500;
  const std::vector<float> data = noise(kChannels * kSamples, 3);
  for (int kind : {kLow, kHigh, kBandPass, kBandStop}) {
    for (int order : {0, 4, 8, 12, 16, 20, 24, 28, 40}) {
      SCOPED_TRACE(testing::Message() << "kind " << kind << " order " << order);
      const Design d{kind, order, 1000, kind >= kBandPass ? 300.0f : 100.0f, 150};
      Filter_cls per_sample = make(d), block = make(d);
      std::vector<float> values = data;
      std::size_t done = 0;
      for (std::size_t piece : {1, 2, 0, 700, 5, 792}) {
        block.run(values.data() + 1 + done * kChannels, piece, kChannels);
        done += piece;
      }
      ASSERT_EQ(done, kSamples);
      for (std::size_t i = 0; i < values.size(); ++i) {
        const float want = i % kChannels == 1 ? get(per_sample, data[i]) : data[i];
        ASSERT_EQ(std::bit_cast<std::uint32_t>(values[i]), std::bit_cast<std::uint32_t>(want)) << i;
      }
      for (float v : noise(10, 5)) ASSERT_EQ(get(block, v), get(per_sample, v));
    }
  }
}

// run_interleaved on blocks of several channels, each block starting at any
// channel and cut into uneven pieces, against each channel's Get path: the
// same bits, and channels without an active filter untouched. The layouts
// mix lanes of one design with different coefficients, lone channels, long
// cascades, designs with no sections, and channels that pass.
TEST(FilterRunInterleaved, EqualsEachChannelsGetPath) {
  constexpr int kNull = -2;                    // no filter object for the channel
  struct Channel {
    int kind, order;
    float f1, f2;
    int enable;
  };
  const Channel lp{kLow, 8, 100, 0, 1}, bs{kBandStop, 8, 300, 150, 1};
  const std::vector<std::vector<Channel>> layouts = {
      {lp},
      {lp, {kLow, 8, 40, 0, 1}},
      {{kHigh, 12, 100, 0, 1}, {kNull, 0, 0, 0, 0}, {kHigh, 12, 250, 0, 1}},
      {bs, {kBandStop, 8, 200, 20, 1}, {kBandStop, 8, 450, 400, 1}, {kBandPass, 8, 300, 150, 1}},
      {lp, {kLow, 8, 300, 0, 1}, {kLow, 8, 30, 0, 1}, {kLow, 8, 200, 0, 1}, {kLow, 8, 60, 0, 1}},
      {{kLow, 40, 100, 0, 1}, {kBandPass, 16, 300, 100, 1}, {kLow, 40, 150, 0, 1},
       {kBandPass, 16, 200, 150, 1}, {kLow, 40, 50, 0, 1}},
      // Disabled, undesigned (kind -1), null and no-section channels beside active ones.
      {{kLow, 8, 100, 0, 0}, {kLow, 6, 100, 0, 1}, lp, {kNull, 0, 0, 0, 0}, {kLow, 12, 100, 0, 1}},
      {{kLow, 0, 100, 0, 1}, {kLow, 0, 100, 0, 1}, {kBandPass, 4, 300, 100, 1},
       {kBandPass, 4, 200, 100, 1}, {kLow, 8, 100, 0, 0}},
  };
  // Wide blocks: lanes of one design on both sides of channel 64.
  std::vector<Channel> wide(70, {kNull, 0, 0, 0, 0});
  for (std::size_t c : {2, 63, 64, 65, 69}) wide[c] = {kLow, 8, 50.0f + c, 0, 1};
  wide[40] = bs;
  std::vector<std::vector<Channel>> all = layouts;
  all.push_back(wide);

  for (const std::vector<Channel>& layout : all) {
    const std::size_t channels = layout.size();
    const std::size_t total = channels * 301 + channels / 2;  // a partial frame at the end
    const std::vector<float> data = noise(total, 9);
    for (std::size_t phase = 0; phase < channels; ++phase) {
      SCOPED_TRACE(testing::Message() << channels << " channels, phase " << phase);
      std::vector<std::unique_ptr<Filter_cls>> block(channels), reference(channels);
      std::vector<Filter_cls*> filters(channels);
      for (std::size_t c = 0; c < channels; ++c) {
        const Channel& ch = layout[c];
        if (ch.kind == kNull) continue;
        for (auto* f : {&block[c], &reference[c]}) {
          *f = std::make_unique<Filter_cls>(make({ch.kind, ch.order, 1000, ch.f1, ch.f2}));
          (*f)->enable = ch.enable;
        }
        filters[c] = block[c].get();
      }
      std::vector<float> values = data;
      std::size_t done = 0;
      for (std::size_t piece : {std::size_t{1}, std::size_t{0}, channels + 2, std::size_t{533},
                                std::size_t{7}, total}) {
        piece = std::min(piece, total - done);
        Filter_cls::run_interleaved(filters.data(), channels, values.data() + done, piece,
                                    (phase + done) % channels);
        done += piece;
      }
      for (std::size_t i = 0; i < total; ++i) {
        Filter_cls* f = reference[(phase + i) % channels].get();
        const bool active = f != nullptr && f->enable == 1 && f->kind() >= 0;
        const float want = active ? get(*f, data[i]) : data[i];
        ASSERT_EQ(std::bit_cast<std::uint32_t>(values[i]), std::bit_cast<std::uint32_t>(want)) << i;
      }
    }
  }
}

}  // namespace
}  // namespace korvel::test
