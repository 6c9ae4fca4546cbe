#include "drivers/lx_common/rate_search.h"

#include <cstdio>

namespace korvel {

namespace {

constexpr float kClock = 16384000.0f;
constexpr int kAB[] = {2, 4, 6, 8, 10, 12, 14};
constexpr int kD[] = {32, 48, 64, 96, 128, 192, 200, 256, 384, 400, 512, 768, 800, 1024, 2048, 4096};
constexpr float kTopRate = 128000.0f;

// Visits every combination in the loop's order; visit returns true to stop.
template <class Visit>
void for_each_combination(RateLoop loop, Visit visit) {
  if (loop == RateLoop::DOuter) {
    for (int d : kD)
      for (int b : kAB)
        for (int a : kAB)
          if (visit(a, b, d)) return;
  } else {
    for (int a : kAB)
      for (int b : kAB)
        for (int d : kD)
          if (visit(a, b, d)) return;
  }
}

}  // namespace

float divided_rate(int a, int b, int d) {
  // Divided one at a time, in this order: the device's rounding.
  float f = kClock / static_cast<float>(a);
  f /= static_cast<float>(b);
  return f / static_cast<float>(d);
}

RateDivisors nearest_rate(int rate, RateLoop loop) {
  if (rate <= 20) return RateDivisors{};
  const float r = static_cast<float>(rate);
  float upper = kTopRate, lower = 0.0f;
  for_each_combination(loop, [&](int a, int b, int d) {
    const float f = divided_rate(a, b, d);
    if (r <= f && f <= upper) upper = f;
    if (lower < f && f < r) lower = f;
    return false;
  });
  const float chosen = r - lower > upper - r ? upper : lower;
  RateDivisors found;
  for_each_combination(loop, [&](int a, int b, int d) {
    if (divided_rate(a, b, d) != chosen) return false;
    found = RateDivisors{a, b, d};
    return true;
  });
  return found;
}

RateDivisors nearest_rate_as_met(int rate, RateLoop loop) {
  if (rate <= 20) return RateDivisors{};
  const float r = static_cast<float>(rate);
  float upper = kTopRate, lower = 0.0f;
  RateDivisors up, low;
  for_each_combination(loop, [&](int a, int b, int d) {
    const float f = divided_rate(a, b, d);
    if (r <= f && f <= upper) {
      upper = f;
      up = RateDivisors{a, b, d};
    }
    if (lower < f && f < r) {
      lower = f;
      low = RateDivisors{a, b, d};
    }
    return false;
  });
  return r - lower > upper - r ? up : low;
}

int rate_command(const RateDivisors& r, char* text) {
  return std::snprintf(text, 14, "~01R%02d%02d%04d", r.a, r.b, r.d);
}

}  // namespace korvel
