// The 24-bit devices' rate search: the nearest achievable rate under the
// tie rule, and the first combination in each search order that gives it.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "drivers/lx3200/lx3200.h"
#include "drivers/lx_common/rate_search.h"

namespace korvel::test {
namespace {

constexpr int kAB[] = {2, 4, 6, 8, 10, 12, 14};
constexpr int kD[] = {32, 48, 64, 96, 128, 192, 200, 256, 384, 400, 512, 768, 800, 1024, 2048, 4096};

float freq(int a, int b, int d) {
  float f = 16384000.0f / static_cast<float>(a);
  f = f / static_cast<float>(b);
  return f / static_cast<float>(d);
}

std::string command(bool min_variant, int rate) {
  char text[32] = {};
  const int n = min_variant ? LX3200::SampleRate_FloattoCommand_MIN_FMOD(rate, text)
                            : LX3200::SampleRate_FloattoCommand_MAX_FMOD(rate, text);
  EXPECT_EQ(n, 12);
  return text;
}

TEST(RateSearch, KnownCommands) {
  struct Case {
    int rate;
    const char* min_text;
    const char* max_text;
  };
  const Case cases[] = {
      {1, "~01R14144096", "~01R14144096"},      // 20 and below: the slowest setting
      {20, "~01R14144096", "~01R14144096"},
      {1000, "~01R08080256", "~01R02024096"},   // several exact 1000s: each order's first
      {128000, "~01R02020032", "~01R02020032"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(command(true, c.rate), c.min_text) << c.rate;
    EXPECT_EQ(command(false, c.rate), c.max_text) << c.rate;
  }
}

// Every rate from 21 to the top: the chosen frequency is the nearer of the
// achievable ones around the rate (the lower on a tie), and no combination
// earlier in the search order gives it.
TEST(RateSearch, SweepChoosesTheNearestAndTheFirstInOrder) {
  struct Combo {
    int a, b, d;
    float f;
  };
  std::vector<Combo> d_outer, a_outer;
  for (int d : kD)
    for (int b : kAB)
      for (int a : kAB) d_outer.push_back({a, b, d, freq(a, b, d)});
  for (int a : kAB)
    for (int b : kAB)
      for (int d : kD) a_outer.push_back({a, b, d, freq(a, b, d)});
  std::vector<float> sorted;
  for (const Combo& c : d_outer) sorted.push_back(c.f);
  std::sort(sorted.begin(), sorted.end());

  auto first_with = [](const std::vector<Combo>& order, float f) {
    return *std::find_if(order.begin(), order.end(), [&](const Combo& c) { return c.f == f; });
  };
  for (int rate = 21; rate <= 128000; rate += rate < 2000 ? 1 : 7) {
    const float r = static_cast<float>(rate);
    const float upper = *std::lower_bound(sorted.begin(), sorted.end(), r);
    const float lower = *(std::lower_bound(sorted.begin(), sorted.end(), r) - 1);
    const float chosen = r - lower > upper - r ? upper : lower;
    for (const bool min_variant : {true, false}) {
      const RateDivisors got = nearest_rate(rate, min_variant ? RateLoop::DOuter : RateLoop::AOuter);
      const Combo want = first_with(min_variant ? d_outer : a_outer, chosen);
      ASSERT_TRUE(got.a == want.a && got.b == want.b && got.d == want.d)
          << "rate " << rate << (min_variant ? " D outer" : " A outer") << ": got " << got.a
          << "," << got.b << "," << got.d << " want " << want.a << "," << want.b << ","
          << want.d;
    }
  }
}

TEST(RateSearch, AsMetKeepsTheLastUpperAndTheFirstLower) {
  // 1000 exactly: every combination giving 1000 is an upper candidate, the
  // last one met wins; the lower candidate is never nearer.
  const RateDivisors d_outer = nearest_rate_as_met(1000, RateLoop::DOuter);
  const RateDivisors a_outer = nearest_rate_as_met(1000, RateLoop::AOuter);
  EXPECT_EQ(freq(d_outer.a, d_outer.b, d_outer.d), 1000.0f);
  EXPECT_EQ(freq(a_outer.a, a_outer.b, a_outer.d), 1000.0f);
  EXPECT_EQ(d_outer.d, 4096);  // the last D that reaches 1000 in D-outer order
  EXPECT_EQ(a_outer.a, 8);     // the last A that reaches 1000 in A-outer order
}

}  // namespace
}  // namespace korvel::test
