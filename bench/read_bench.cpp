// Figures of the read paths, against simulators in a separate process:
//  1. KV_GetAIBuffer (volts) and KV_GetAIBufferHex per sample, draining a
//     full ring of 8 channels in 64 Ki-sample chunks, against memcpy of the
//     same bytes in the same chunks;
//  2. the log reader (KV_GetLogFile_AIDataHex) over a binary log file,
//     against fread of the same file in the same chunks.
// Each figure is the median of several repetitions, timed by the reading
// thread's CPU time (the machine may be shared: wall time would count other
// processes' turns). Printed, never asserted.
// Usage: read_bench [samples [repetitions]]
#include <korvel/korvel.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench_sim.h"
#include "korvel/sim/device.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr unsigned kChunk = 65536;
constexpr int kChannels = 8;
// Within what every family streams live on 8 channels.
constexpr int kRate = 20000;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// CPU time of the calling thread, user and system.
double thread_cpu() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Runs a finite scan of `samples` and waits until all of them sit in the
// ring (the ring holds ten times a finite scan's count); false on a failure.
bool fill_ring(KV_HANDLE h, int channels, unsigned samples) {
  if (KV_SetAIScanParam(h, static_cast<short>(channels), 0, 0, kRate, samples, 0, 0) != 1) {
    std::fprintf(stderr, "scan parameters refused: 0x%x\n", KV_GetLastError());
    return false;
  }
  if (KV_StartAIScan(h) != 1) return false;
  const auto t0 = Clock::now();
  unsigned short status = 0;
  unsigned count = 0;
  while (seconds_since(t0) < 60) {
    KV_GetAIBufferStatus(h, &status, &count);
    if (count >= samples) return true;
    if (status & 0x04) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::fprintf(stderr, "ring holds %u of %u samples\n", count, samples);
  return false;
}

// ns per sample of draining a full ring with `read`, median of reps; a
// negative figure when the scan could not be had.
template <class Read>
double drain_ns(KV_HANDLE h, int channels, unsigned samples, int reps, Read read) {
  std::vector<double> per;
  for (int r = 0; r < reps; ++r) {
    if (!fill_ring(h, channels, samples)) return -1;
    uint64_t n = 0;
    const double t0 = thread_cpu();
    for (;;) {
      const int got = read();
      if (got <= 0) break;
      n += static_cast<uint64_t>(got);
    }
    const double s = thread_cpu() - t0;
    KV_StopAIScan(h);
    if (n != samples) {
      std::fprintf(stderr, "drained %llu of %u samples\n", static_cast<unsigned long long>(n),
                   samples);
      return -1;
    }
    per.push_back(s * 1e9 / samples);
  }
  return median(per);
}

double memcpy_ns(unsigned samples, unsigned sample_bytes, int reps) {
  std::vector<char> src(static_cast<std::size_t>(samples) * sample_bytes, 1);
  std::vector<char> dst(static_cast<std::size_t>(kChunk) * 4);
  std::vector<double> per;
  for (int r = 0; r < reps; ++r) {
    const double t0 = thread_cpu();
    const std::size_t chunk = std::size_t{kChunk} * sample_bytes;
    for (std::size_t at = 0; at < src.size(); at += chunk) {
      const std::size_t k = std::min(src.size() - at, chunk);
      std::memcpy(dst.data(), src.data() + at, k);
      asm volatile("" : : "r"(dst.data()) : "memory");
    }
    per.push_back((thread_cpu() - t0) * 1e9 / samples);
  }
  return median(per);
}

void ring_rows(const SimProcess& sim, const char* model, int channels, unsigned sample_bytes,
               unsigned samples, int reps) {
  KV_HANDLE h = KV_Device_Create(sim.address.c_str());
  if (!h) return;
  std::vector<float> volts(kChunk);
  std::vector<unsigned> codes(kChunk);
  const double v = drain_ns(h, channels, samples, reps,
                            [&] { return KV_GetAIBuffer(h, volts.data(), kChunk); });
  const double x = drain_ns(h, channels, samples, reps,
                            [&] { return KV_GetAIBufferHex(h, codes.data(), kChunk); });
  KV_Device_Release(h);
  const double m = memcpy_ns(samples, sample_bytes, reps);
  std::printf("  %-8s %d ch KV_GetAIBuffer    %6.3f ns/sample  (memcpy of the same bytes %6.3f)\n",
              model, channels, v, m);
  std::printf("  %-8s %d ch KV_GetAIBufferHex %6.3f ns/sample\n", model, channels, x);
}

// A binary log file of `samples` 16-bit samples; its path.
std::string write_log(const SimProcess& sim, const std::string& root, unsigned samples) {
  KV_HANDLE h = KV_Device_Create(sim.address.c_str());
  std::string folder = root;
  if (!h || KV_SetAIScanParam(h, kChannels, 0, 0, kRate, samples, 0, 0) != 1 ||
      KV_StartLogger(h, folder.data(), 60, 0) != 1) {
    KV_Device_Release(h);
    return {};
  }
  const auto t0 = Clock::now();
  unsigned short status = 0;
  unsigned count = 0;
  while (seconds_since(t0) < 120) {
    KV_GetAIBufferStatus(h, &status, &count);
    if ((status & 0x90) == 0x90) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  KV_StopLogger(h);
  KV_Device_Release(h);
  char path[260] = {};
  if (KV_GetAllLogFiles(root.c_str(), 0) != 1) return {};
  KV_HANDLE log = KV_LogFile_Open_byIndex(0, path);
  KV_LogFile_Close(log);
  return path;
}

void log_rows(const SimProcess& sim, unsigned samples, int reps) {
  const std::filesystem::path root =
      std::filesystem::temp_directory_path() / ("korvel_read_bench_" + std::to_string(getpid()));
  std::filesystem::create_directories(root);
  const std::string path = write_log(sim, root.string(), samples);
  if (path.empty()) {
    std::fprintf(stderr, "no log file written\n");
    return;
  }
  const double bytes = static_cast<double>(std::filesystem::file_size(path));
  std::vector<unsigned> codes(kChunk);
  std::vector<char> raw(kChunk * 2);
  std::vector<double> lib, bare;
  for (int r = 0; r < reps; ++r) {
    KV_HANDLE log = KV_LogFile_Open(path.c_str());
    if (!log) break;
    double t0 = thread_cpu();
    uint64_t n = 0;
    for (;;) {
      const int got = KV_GetLogFile_AIDataHex(log, static_cast<unsigned>(n), kChunk, codes.data());
      if (got <= 0) break;
      n += static_cast<uint64_t>(got);
    }
    lib.push_back(bytes / (thread_cpu() - t0) / 1e6);
    KV_LogFile_Close(log);
    if (n * 2 != bytes) std::fprintf(stderr, "read %llu of %.0f bytes\n", 2ull * n, bytes);
    std::FILE* f = std::fopen(path.c_str(), "rb");
    t0 = thread_cpu();
    while (std::fread(raw.data(), 1, raw.size(), f) > 0) {
    }
    bare.push_back(bytes / (thread_cpu() - t0) / 1e6);
    std::fclose(f);
  }
  std::filesystem::remove_all(root);
  if (lib.empty()) return;
  const double l = median(lib), b = median(bare);
  std::printf("  log reader KV_GetLogFile_AIDataHex %8.1f MB/s  fread %8.1f MB/s  ratio %.2f\n", l,
              b, l / b);
}

}  // namespace

int main(int argc, char** argv) {
  const unsigned samples = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 4u << 20;
  const int reps = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
  // Simulators first, before this process has threads of its own.
  SimProcess lx3100(korvel::sim::unique_loopback_address(), true);
  SimProcess lxr5000(korvel::sim::unique_loopback_address(), true, "LXR5000");
  std::printf("== ring full, %u samples drained in %u-sample chunks, median of %d\n", samples,
              kChunk, reps);
  ring_rows(lx3100, "LX3100", kChannels, 2, samples, reps);
  if (!getenv("KORVEL_BENCH_16_ONLY")) ring_rows(lxr5000, "LXR5000", 4, 4, samples, reps);
  std::printf("== log reader, binary file of %u samples, %u-sample chunks, median of %d\n",
              samples, kChunk, reps);
  log_rows(lx3100, samples, reps);
  return 0;
}
