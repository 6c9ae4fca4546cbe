// Figures of the software filter on interleaved scan data (4 channels of
// 1 M samples each, a deterministic noisy signal):
//  (a) one Filter_cls::run per channel per block of 64 Ki interleaved
//      samples, stride = channel count;
//  (a') one Filter_cls::run_interleaved per block, the path of the driver;
//  (b) a plain per-sample cascade: the Get operation matching the kind,
//      chosen by a switch for every sample;
//  (c) scipy.signal.sosfilt of the same Butterworth design (designed by
//      scipy itself), timed by an inline Python script, when scipy is there.
// Also the largest relative difference of (a) and (a') to (b), which must be
// 0, and between (c) and (a'). The designs run the same on all four channels,
// then mixed. Figures are printed, never asserted.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "dsp/filter.h"

namespace {

using korvel::Filter_cls;
using Clock = std::chrono::steady_clock;

constexpr int kChannels = 4;
constexpr std::size_t kPerChannel = std::size_t{1} << 20;
constexpr std::size_t kTotal = kPerChannel * kChannels;
constexpr std::size_t kBlock = std::size_t{64} << 10;  // interleaved samples per read
constexpr int kRepeats = 5;
constexpr float kRate = 10000.0f;

struct Design {
  const char* name;
  const char* scipy_type;
  int kind;
  int order;
  float f1, f2;  // cut-off in f1 for low/high-pass; band: f1 upper, f2 lower
};

const Design kDesigns[] = {
    {"low-pass  order 8 ", "lowpass", 0, 8, 1000.0f, 0.0f},
    {"band-pass order 8 ", "bandpass", 2, 8, 1500.0f, 500.0f},
    {"low-pass  order 32", "lowpass", 0, 32, 1000.0f, 0.0f},
    {"band-pass order 32", "bandpass", 2, 32, 1500.0f, 500.0f},
};

std::vector<float> make_signal() {
  std::vector<float> v(kTotal);
  std::uint32_t lcg = 12345;
  const double pi = 3.141592653589793;
  for (std::size_t i = 0; i < kPerChannel; ++i) {
    for (int c = 0; c < kChannels; ++c) {
      lcg = lcg * 1664525u + 1013904223u;
      const double noise = (static_cast<double>(lcg >> 8) / 16777216.0 - 0.5) * 0.4;
      const double t = static_cast<double>(i) / kRate;
      v[i * kChannels + c] = static_cast<float>(0.5 * std::sin(2 * pi * (50.0 + 40.0 * c) * t) +
                                                0.3 * std::sin(2 * pi * 2500.0 * t) + noise);
    }
  }
  return v;
}

void design(Filter_cls& f, const Design& d) {
  f.init(d.order, kRate);
  f.enable = 1;
  switch (d.kind) {
    case 0: f.SetLowPassFilter(d.f1); break;
    case 1: f.SetHighPassFilter(d.f1); break;
    case 2: f.SetBandPassFilter(d.f1, d.f2); break;
    case 3: f.SetBandStopFilter(d.f1, d.f2); break;
  }
}

void library_path(Filter_cls* f, float* v) {
  for (std::size_t start = 0; start < kTotal; start += kBlock) {
    const std::size_t n = std::min(kBlock, kTotal - start);
    for (int c = 0; c < kChannels; ++c) f[c].run(v + start + c, n / kChannels, kChannels);
  }
}

void interleaved_path(Filter_cls* f, float* v) {
  Filter_cls* filters[kChannels];
  for (int c = 0; c < kChannels; ++c) filters[c] = &f[c];
  for (std::size_t start = 0; start < kTotal; start += kBlock) {
    const std::size_t n = std::min(kBlock, kTotal - start);
    Filter_cls::run_interleaved(filters, kChannels, v + start, n, start % kChannels);
  }
}

void per_sample_path(Filter_cls* f, float* v) {
  for (std::size_t i = 0; i < kTotal; ++i) {
    Filter_cls& g = f[i % kChannels];
    switch (g.kind()) {
      case 0: v[i] = g.GetLowPassFilter(v[i]); break;
      case 1: v[i] = g.GetHighPassFilter(v[i]); break;
      case 2: v[i] = g.GetBandPassFilter(v[i]); break;
      case 3: v[i] = g.GetBandStopFilter(v[i]); break;
      default: break;
    }
  }
}

// Best of kRepeats, in ns per sample; out receives the filtered data.
// Channel c is designed as designs[c % size].
template <class Path>
double time_path(const std::vector<const Design*>& designs, const std::vector<float>& in,
                 std::vector<float>& out, Path path) {
  double best = 1e300;
  for (int r = 0; r < kRepeats; ++r) {
    Filter_cls f[kChannels];
    for (int c = 0; c < kChannels; ++c) design(f[c], *designs[c % designs.size()]);
    out = in;
    const auto t0 = Clock::now();
    path(f, out.data());
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  return best * 1e9 / static_cast<double>(kTotal);
}

double max_relative_difference(const std::vector<float>& a, const std::vector<float>& b) {
  double worst = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const double diff = std::fabs(static_cast<double>(a[i]) - b[i]);
    if (diff == 0.0) continue;
    worst = std::max(worst, diff / std::max(std::fabs(static_cast<double>(b[i])), 1e-30));
  }
  return worst;
}

const char kScript[] = R"(
import sys, time
import numpy as np
from scipy import signal
d, btype, order, fs, f1, f2, ch = sys.argv[1:8]
order, fs, f1, f2, ch = int(order), float(fs), float(f1), float(f2), int(ch)
x = np.fromfile(d + '/in.f32', dtype=np.float32).reshape(-1, ch)
ref = np.fromfile(d + '/out.f32', dtype=np.float32).reshape(-1, ch)
if btype in ('lowpass', 'highpass'):
    sos = signal.butter(order, f1, btype, fs=fs, output='sos')
else:
    sos = signal.butter(order // 2, [f2, f1], btype, fs=fs, output='sos')
cols = [np.ascontiguousarray(x[:, c], dtype=np.float64) for c in range(ch)]
best = float('inf')
for _ in range(5):
    t0 = time.perf_counter()
    ys = [signal.sosfilt(sos, c) for c in cols]
    best = min(best, time.perf_counter() - t0)
y = np.stack(ys, axis=1)
print('%.2f %.3g' % (best * 1e9 / x.size, np.max(np.abs(y - ref)) / np.max(np.abs(ref))))
)";

bool write_file(const std::string& path, const void* data, std::size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

// scipy's ns/sample and its largest difference to out, or why there are none.
struct Scipy {
  double ns = 0.0, diff = 0.0;
  std::string error;
};

Scipy scipy_figures(const Design& d, const std::vector<float>& in, const std::vector<float>& out) {
  char dir[] = "/tmp/filter_bench.XXXXXX";
  if (!mkdtemp(dir)) return {0, 0, "no temporary directory"};
  const std::string base = dir;
  Scipy result{0, 0, "failed"};
  if (write_file(base + "/in.f32", in.data(), in.size() * sizeof(float)) &&
      write_file(base + "/out.f32", out.data(), out.size() * sizeof(float)) &&
      write_file(base + "/sos.py", kScript, sizeof kScript - 1)) {
    char args[256];
    std::snprintf(args, sizeof args, " %s %d %g %g %g %d", d.scipy_type, d.order, kRate, d.f1, d.f2,
                  kChannels);
    const std::string cmd = "/usr/bin/python3 " + base + "/sos.py " + base + args;
    if (FILE* p = popen(cmd.c_str(), "r")) {
      char line[128] = {};
      if (std::fgets(line, sizeof line, p) &&
          std::sscanf(line, "%lf %lf", &result.ns, &result.diff) == 2)
        result.error.clear();
      pclose(p);
    }
  }
  for (const char* name : {"/in.f32", "/out.f32", "/sos.py"}) unlink((base + name).c_str());
  rmdir(dir);
  return result;
}

void report(const char* name, const std::vector<const Design*>& designs,
            const std::vector<float>& in, bool have_scipy) {
  std::vector<float> a, a2, b;
  const double ta = time_path(designs, in, a, library_path);
  const double ti = time_path(designs, in, a2, interleaved_path);
  const double tb = time_path(designs, in, b, per_sample_path);
  std::printf("%s  (a)  run:             %7.2f ns/sample\n", name, ta);
  std::printf("%s  (a') run_interleaved: %7.2f ns/sample   (%.2fx of (a))\n", name, ti, ta / ti);
  std::printf("%s  (b)  per sample:      %7.2f ns/sample   (%.2fx of (a'))\n", name, tb, tb / ti);
  if (designs.size() == 1) {
    if (!have_scipy) {
      std::printf("%s  (c)  scipy: not installed\n", name);
    } else if (const Scipy c = scipy_figures(*designs[0], in, a2); !c.error.empty()) {
      std::printf("%s  (c)  scipy: %s\n", name, c.error.c_str());
    } else {
      std::printf("%s  (c)  scipy sosfilt:   %7.2f ns/sample   (max |c-a'| / max |a'|: %.3g)\n",
                  name, c.ns, c.diff);
      std::printf("%s  (c) / (a'):          %7.2fx\n", name, c.ns / ti);
    }
  }
  std::printf("%s  max relative difference (a) vs (b): %g, (a') vs (b): %g\n", name,
              max_relative_difference(a, b), max_relative_difference(a2, b));
}

}  // namespace

int main() {
  const std::vector<float> in = make_signal();
  const bool have_scipy = std::system("/usr/bin/python3 -c 'import scipy' >/dev/null 2>&1") == 0;
  std::printf("%d channels x %zu samples, %zu interleaved samples per read, best of %d\n", kChannels,
              kPerChannel, kBlock, kRepeats);
  for (const Design& d : kDesigns) report(d.name, {&d}, in, have_scipy);
  // Channels alternating low-pass and band-pass of order 8: two pairs of lanes.
  report("mixed: low/band    ", {&kDesigns[0], &kDesigns[1]}, in, have_scipy);
  return 0;
}
