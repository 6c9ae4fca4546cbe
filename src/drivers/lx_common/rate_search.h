// Sample-rate commands of the 24-bit LX devices: the rate is a 16 384 000 Hz
// clock divided by A, B (2..14, even) and D (a fixed table), and a search
// over all combinations picks the divisors for a requested rate.
#pragma once

namespace korvel {

struct RateDivisors {
  int a = 14, b = 14, d = 4096;
};

// The order of the search: D outermost (then B, then A) finds the smallest
// D among equal frequencies first; A outermost (then B, then D) the
// smallest A.
enum class RateLoop { DOuter, AOuter };

// The frequency of a combination, in single precision as the device
// computes it.
float divided_rate(int a, int b, int d);

// The nearer of the achievable frequencies around rate (the lower one on a
// tie), then the first combination giving exactly that frequency. Rates of
// 20 and less give 14, 14, 4096.
RateDivisors nearest_rate(int rate, RateLoop loop);

// As nearest_rate, but the combination is the one the search met last for
// the upper candidate (the smallest frequency >= rate) or first for the
// lower one (the largest frequency < rate).
RateDivisors nearest_rate_as_met(int rate, RateLoop loop);

// Writes "~01R%02d%02d%04d" (at least 13 bytes of room); its length.
int rate_command(const RateDivisors& r, char* text);

}  // namespace korvel
