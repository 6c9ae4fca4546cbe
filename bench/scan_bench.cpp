// The library's figures in one table, each against its baseline measured in
// the same run, with simulators in child processes (so that this process's
// CPU time is the library's):
//  1. streaming throughput and CPU per million samples, every sample
//     checked, against a bare loop that receives, acknowledges and checks the
//     same stream (median and spread of several rounds);
//  2. CPU use of a live 8 x 30 kHz scan;
//  3. KV_StopAIScan latency, and the KV_ReadAI round trip against a bare
//     request/response on the same loopback;
//  4. KV_GetAIBuffer / KV_GetAIBufferHex per sample, draining a full ring in
//     64 Ki-sample chunks, against memcpy of the same bytes;
//  5. the log reader against fread of the same file;
//  6. many devices streaming at once, every sample checked.
// Figures are printed, never asserted.
// Usage: scan_bench [samples [live-seconds [rounds [devices [device-seconds]]]]]
//   (defaults 20000000 10 5 64 60; devices 0 leaves out the last row).
#include <arpa/inet.h>
#include <korvel/korvel.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench_sim.h"
#include "korvel/sim/device.h"
#include "korvel/sim/signal.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// CPU time of the whole process (every thread), user and system.
double cpu_seconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec +
         ru.ru_stime.tv_usec / 1e6;
}

// CPU time of the calling thread: the read figures are timed by it, so that
// other processes' turns on a shared machine do not count.
double thread_cpu() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double lowest(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }
double highest(const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); }

int connect_to(const std::string& ip, int port) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    std::perror("connect");
    std::exit(1);
  }
  // A simulator that stops answering ends the figure, not the program.
  timeval limit{10, 0};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  return s;
}

// A bare command exchange: line out, CR-ended reply in.
std::string exchange(int s, const std::string& line) {
  const std::string out = line + "\r";
  (void)!send(s, out.data(), out.size(), MSG_NOSIGNAL);
  std::string reply;
  char buf[256];
  for (;;) {
    const ssize_t n = recv(s, buf, sizeof buf, 0);
    if (n <= 0) break;
    reply.append(buf, static_cast<std::size_t>(n));
    if (reply.back() == '\r') {
      reply.pop_back();
      break;
    }
  }
  return reply;
}

// ---------------------------------------------------------------- table

struct Row {
  std::string figure, library, baseline, ratio, goal;
};
std::vector<Row> g_rows;

std::string fmt(const char* f, double a) {
  char s[96];
  std::snprintf(s, sizeof s, f, a);
  return s;
}

std::string fmt(const char* f, double a, double b) {
  char s[96];
  std::snprintf(s, sizeof s, f, a, b);
  return s;
}

void print_table() {
  std::printf("\n| figure | library | baseline (same run) | ratio | goal |\n");
  std::printf("|---|---|---|---|---|\n");
  for (const Row& r : g_rows)
    std::printf("| %s | %s | %s | %s | %s |\n", r.figure.c_str(), r.library.c_str(),
                r.baseline.c_str(), r.ratio.c_str(), r.goal.c_str());
}

// ------------------------------------------------------------ streaming

struct Result {
  double seconds;
  double cpu;
  uint64_t errors;
  long waits = 0;       // voluntary context switches of the process (blocking waits)
  long preempted = 0;   // involuntary ones (a thread lost its core)
};

// Context switches of the whole process so far: voluntary, involuntary.
std::pair<long, long> switches() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return {ru.ru_nvcsw, ru.ru_nivcsw};
}

// The stream both loops must receive, sample by sample.
std::vector<int16_t> g_expected;

// The baseline: receive the stream in blocks of the same size on a socket
// with the same receive buffer, acknowledge every block, check every sample.
Result bare_stream(const std::string& ip, unsigned samples) {
  const int cmd = connect_to(ip, 9999);
  const int data = connect_to(ip, 10010);
  int rcvbuf = 32768, one = 1;
  setsockopt(data, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  setsockopt(data, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  exchange(cmd, "~01PG0C8T0M0");
  exchange(cmd, "~01R030000");
  char line[32];
  std::snprintf(line, sizeof line, "~01T%010u", samples);
  exchange(cmd, line);
  const double cpu0 = cpu_seconds();
  const auto sw0 = switches();
  const auto t0 = Clock::now();
  exchange(cmd, "~01S");
  std::vector<char> buf(29200);
  uint64_t n = 0, errors = 0;
  uint32_t partial = 0;
  unsigned char carry = 0;
  while (n < samples) {
    const ssize_t got = recv(data, buf.data(), buf.size(), 0);
    if (got <= 0) break;
    const uint32_t units = static_cast<uint32_t>((got + partial) / 2);
    std::size_t i = 0;
    if (partial) {
      const auto v = static_cast<int16_t>(carry | (static_cast<unsigned char>(buf[0]) << 8));
      errors += v != g_expected[n++];
      i = 1;
    }
    for (; i + 1 < static_cast<std::size_t>(got); i += 2) {
      int16_t v;
      std::memcpy(&v, &buf[i], 2);
      errors += n < samples ? v != g_expected[n] : 1;
      ++n;
    }
    partial = i < static_cast<std::size_t>(got);
    if (partial) carry = static_cast<unsigned char>(buf[i]);
    (void)!send(data, &units, 4, MSG_NOSIGNAL);
  }
  Result r{seconds_since(t0), cpu_seconds() - cpu0, errors + (n != samples)};
  r.waits = switches().first - sw0.first;
  r.preempted = switches().second - sw0.second;
  exchange(cmd, "~01Z");
  close(cmd);
  close(data);
  return r;
}

// One finite scan on `h`, read and checked as it arrives.
Result library_stream(KV_HANDLE h, unsigned samples) {
  KV_SetAIScanParam(h, 8, 0, 0, 30000, samples, 0, 0);
  std::vector<unsigned> buf(65536);
  const double cpu0 = cpu_seconds();
  const auto sw0 = switches();
  const auto t0 = Clock::now();
  KV_StartAIScan(h);
  uint64_t n = 0, errors = 0;
  unsigned short status = 0;
  unsigned count = 0;
  for (;;) {
    const int got = KV_GetAIBufferHex(h, buf.data(), static_cast<unsigned>(buf.size()));
    for (int i = 0; i < got; ++i, ++n)
      errors += n < samples ? static_cast<int16_t>(buf[i]) != g_expected[n] : 1;
    if (got == 0) {
      KV_GetAIBufferStatus(h, &status, &count);
      if (status & 0x04 && count == 0) break;
      if (seconds_since(t0) > 120) {
        std::fprintf(stderr, "the library's scan stalled after %llu samples\n",
                     static_cast<unsigned long long>(n));
        break;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }
  Result r{seconds_since(t0), cpu_seconds() - cpu0, errors + (n != samples)};
  r.waits = switches().first - sw0.first;
  r.preempted = switches().second - sw0.second;
  KV_StopAIScan(h);
  return r;
}

// Rounds of the bare loop and the library on the same stream; the ratios
// are taken per round (the two run back to back) and their median printed.
// One device serves every round, as an application repeating scans would
// have it: the first round's ring is fresh memory, which the kernel zeroes
// as the stream first reaches it; later rounds of the same size reuse it.
// The bare loop has a simulator of its own (the same stream): its
// connections would otherwise take the device's data port from the library's.
void streaming_rows(const std::string& ip, const std::string& bare_ip, unsigned samples,
                    int rounds, bool only_library) {
  KV_HANDLE h = KV_Device_Create(ip.c_str());
  if (!h) std::exit(1);
  std::printf("== streaming %u samples, 8 channels, simulator as fast as TCP allows, %d rounds\n"
              "   (a/b: the process's voluntary / involuntary context switches)\n",
              samples, rounds);
  std::vector<double> bare_rate, lib_rate, bare_cpu, lib_cpu, rate_ratio, cpu_ratio;
  uint64_t errors = 0;
  for (int r = 0; r < rounds; ++r) {
    const Result bare = only_library ? Result{1, 1, 0} : bare_stream(bare_ip, samples);
    const Result lib = library_stream(h, samples);
    errors += bare.errors + lib.errors;
    const double m = samples / 1e6;
    bare_rate.push_back(m / bare.seconds);
    lib_rate.push_back(m / lib.seconds);
    bare_cpu.push_back(bare.cpu / m);
    lib_cpu.push_back(lib.cpu / m);
    rate_ratio.push_back(bare.seconds / lib.seconds);
    cpu_ratio.push_back(lib.cpu / bare.cpu);
    std::printf("  round %d: bare %7.2f Msamples/s %6.4f CPU s/M %5ld/%-4ld  library %7.2f "
                "Msamples/s %6.4f CPU s/M %5ld/%-4ld  errors %llu/%llu\n",
                r + 1, bare_rate.back(), bare_cpu.back(), bare.waits, bare.preempted,
                lib_rate.back(), lib_cpu.back(), lib.waits, lib.preempted,
                static_cast<unsigned long long>(bare.errors),
                static_cast<unsigned long long>(lib.errors));
  }
  KV_Device_Release(h);
  std::printf("  bare loop : %8.2f Msamples/s  %6.4f CPU s per million samples  (medians)\n",
              median(bare_rate), median(bare_cpu));
  std::printf("  library   : %8.2f Msamples/s  %6.4f CPU s per million samples  errors %llu\n",
              median(lib_rate), median(lib_cpu), static_cast<unsigned long long>(errors));
  std::printf("  ratio library/bare: throughput %.2f   CPU per sample %.2f\n", median(rate_ratio),
              median(cpu_ratio));
  const std::string spread = fmt(" (%.2f..%.2f)", lowest(rate_ratio), highest(rate_ratio));
  g_rows.push_back({"streaming, every sample checked" + std::string(errors ? " (ERRORS)" : ""),
                    fmt("%.1f M samples/s", median(lib_rate)),
                    fmt("bare loop %.1f M samples/s", median(bare_rate)),
                    fmt("%.2f", median(rate_ratio)) + spread, "≥ 0.8"});
  g_rows.push_back({"CPU s per million samples", fmt("%.4f", median(lib_cpu)),
                    fmt("bare loop %.4f", median(bare_cpu)),
                    fmt("%.2f", median(cpu_ratio)) +
                        fmt(" (%.2f..%.2f)", lowest(cpu_ratio), highest(cpu_ratio)),
                    "≤ 1.5"});
}

// ----------------------------------------------------- live and latency

double live_cpu_percent(const std::string& ip, int seconds) {
  KV_HANDLE h = KV_Device_Create(ip.c_str());
  KV_SetAIScanParam(h, 8, 0, 0, 30000, 0, 0, 0);
  std::vector<float> buf(65536);
  const double cpu0 = cpu_seconds();
  const auto t0 = Clock::now();
  KV_StartAIScan(h);
  uint64_t n = 0;
  while (seconds_since(t0) < seconds) {
    n += static_cast<uint64_t>(KV_GetAIBuffer(h, buf.data(), static_cast<unsigned>(buf.size())));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const double cpu = cpu_seconds() - cpu0;
  const double wall = seconds_since(t0);
  KV_StopAIScan(h);
  KV_Device_Release(h);
  std::printf("  %.0f samples/s received and converted to volts\n", n / wall);
  return 100.0 * cpu / wall;
}

void percentiles(const std::vector<double>& v, const char* what) {
  std::printf("  %-28s median %8.3f ms   max %8.3f ms   (n=%zu)\n", what, median(v), highest(v),
              v.size());
}

void live_and_latency_rows(const std::string& ip, int live_seconds) {
  std::printf("== live scan 8 x 30 kHz for %d s\n", live_seconds);
  const double live = live_cpu_percent(ip, live_seconds);
  std::printf("  library CPU use: %.2f %% of one core\n", live);
  g_rows.push_back({"CPU at live 8 x 30 kHz, read as volts every 10 ms",
                    fmt("%.2f %% of one core", live), "—", "—", "< 2 %"});

  std::printf("== latencies\n");
  KV_HANDLE h = KV_Device_Create(ip.c_str());
  KV_SetAIScanParam(h, 8, 0, 0, 30000, 0, 0, 0);
  std::vector<double> stops;
  for (int i = 0; i < 200; ++i) {
    KV_StartAIScan(h);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const auto t0 = Clock::now();
    KV_StopAIScan(h);
    stops.push_back(seconds_since(t0) * 1e3);
  }
  percentiles(stops, "KV_StopAIScan");
  std::vector<double> reads, bare_reads;
  float v;
  for (int i = 0; i < 2000; ++i) {
    const auto t0 = Clock::now();
    KV_ReadAI(h, 0, 0, &v);
    reads.push_back(seconds_since(t0) * 1e3);
  }
  KV_Device_Release(h);
  const int cmd = connect_to(ip, 9999);
  int one = 1;
  setsockopt(cmd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  for (int i = 0; i < 2000; ++i) {
    const auto t0 = Clock::now();
    exchange(cmd, "#01H0");
    bare_reads.push_back(seconds_since(t0) * 1e3);
  }
  close(cmd);
  percentiles(reads, "KV_ReadAI round trip");
  percentiles(bare_reads, "bare request/response");
  g_rows.push_back({"KV_StopAIScan latency", fmt("median %.3f ms, max %.3f ms", median(stops),
                                                 highest(stops)),
                    "—", "—", "< 5 ms"});
  g_rows.push_back({"KV_ReadAI round trip", fmt("median %.3f ms", median(reads)),
                    fmt("bare request/response %.3f ms", median(bare_reads)),
                    fmt("%.2f", median(reads) / median(bare_reads)), "≤ 1.3"});
}

// ------------------------------------------------------------ read paths

constexpr unsigned kChunk = 65536;
constexpr int kReadRate = 20000;  // within what every family streams live on 8 channels

// Runs a finite scan of `samples` and waits until all of them sit in the
// ring (the ring holds ten times a finite scan's count); false on a failure.
bool fill_ring(KV_HANDLE h, int channels, unsigned samples) {
  if (KV_SetAIScanParam(h, static_cast<short>(channels), 0, 0, kReadRate, samples, 0, 0) != 1) {
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
  const std::string what = std::string(model) + " " + std::to_string(channels) + " ch, ring full";
  const std::string base = fmt("memcpy %.2f ns/sample", m);
  g_rows.push_back({"KV_GetAIBuffer (volts), " + what, fmt("%.2f ns/sample", v), base,
                    fmt("%.1f", v / m), sample_bytes == 2 ? "≤ 0.6 ns" : "—"});
  g_rows.push_back({"KV_GetAIBufferHex, " + what, fmt("%.2f ns/sample", x), base,
                    fmt("%.1f", x / m), "—"});
}

// A binary log file of `samples` 16-bit samples; its path.
std::string write_log(const SimProcess& sim, const std::string& root, unsigned samples) {
  KV_HANDLE h = KV_Device_Create(sim.address.c_str());
  std::string folder = root;
  if (!h || KV_SetAIScanParam(h, 8, 0, 0, kReadRate, samples, 0, 0) != 1 ||
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
  std::printf("== log reader, binary file of %u samples, %u-sample chunks, median of %d\n",
              samples, kChunk, reps);
  const std::filesystem::path root =
      std::filesystem::temp_directory_path() / ("korvel_scan_bench_" + std::to_string(getpid()));
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
  g_rows.push_back({"log reader KV_GetLogFile_AIDataHex", fmt("%.0f MB/s", l),
                    fmt("fread %.0f MB/s", b), fmt("%.2f", l / b), "≥ 0.5"});
}

// ---------------------------------------------------------- many devices

// One device of the fleet: its handle and where its stream has got to.
struct FleetDevice {
  KV_HANDLE handle = nullptr;
  uint64_t next = 0;  // index of the next sample in its stream
  uint64_t misplaced = 0;
  bool overrun = false;
};

// Reads what every device of `fleet` holds and checks each sample against
// the simulator's signal; the samples read.
uint64_t drain_fleet(std::vector<FleetDevice>& fleet, std::vector<unsigned>& codes,
                     std::vector<int16_t>& expected) {
  uint64_t n = 0;
  for (FleetDevice& d : fleet) {
    for (;;) {
      const int got = KV_GetAIBufferHex(d.handle, codes.data(), static_cast<unsigned>(codes.size()));
      if (got <= 0) break;
      korvel::sim::fill_stream(8, d.next, static_cast<std::size_t>(got),
                               reinterpret_cast<char*>(expected.data()));
      for (int i = 0; i < got; ++i)
        d.misplaced += static_cast<int16_t>(codes[static_cast<std::size_t>(i)]) != expected[i];
      d.next += static_cast<uint64_t>(got);
      n += static_cast<uint64_t>(got);
    }
  }
  return n;
}

void fleet_row(int devices, int seconds) {
  constexpr int kPerProcess = 16;
  constexpr unsigned kRate = 30000;  // 8 channels: 240 kS/s per device
  std::printf("== %d devices x 8 ch x %u Hz for %d s, simulators in %d processes\n", devices, kRate,
              seconds, (devices + kPerProcess - 1) / kPerProcess);
  std::vector<std::unique_ptr<SimProcess>> sims;
  std::vector<std::string> addresses;
  for (int i = 0; i < devices; ++i) addresses.push_back(korvel::sim::unique_loopback_address());
  for (int i = 0; i < devices; i += kPerProcess) {
    const auto end = addresses.begin() + std::min(devices, i + kPerProcess);
    sims.push_back(std::make_unique<SimProcess>(
        std::vector<std::string>(addresses.begin() + i, end), false));
  }
  // Two reading threads, as an application with many devices might have.
  constexpr int kReaders = 2;
  std::vector<std::vector<FleetDevice>> groups(kReaders);
  int started = 0;
  for (int i = 0; i < devices; ++i) {
    FleetDevice d;
    d.handle = KV_Device_Create(addresses[static_cast<std::size_t>(i)].c_str());
    if (!d.handle) continue;
    if (KV_SetAIScanParam(d.handle, 8, 0, 0, kRate, 0, 0, 0) != 1) continue;
    groups[static_cast<std::size_t>(i % kReaders)].push_back(d);
  }
  const double cpu0 = cpu_seconds();
  const auto t0 = Clock::now();
  for (auto& g : groups)
    for (FleetDevice& d : g) started += KV_StartAIScan(d.handle) == 1;
  std::atomic<bool> done{false};
  std::vector<std::thread> readers;
  std::vector<uint64_t> read(kReaders, 0);
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&, r] {
      std::vector<unsigned> codes(kChunk);
      std::vector<int16_t> expected(kChunk);
      while (!done.load()) {
        read[static_cast<std::size_t>(r)] += drain_fleet(groups[static_cast<std::size_t>(r)],
                                                         codes, expected);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    });
  }
  while (seconds_since(t0) < seconds) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  done = true;
  for (std::thread& t : readers) t.join();
  const double wall = seconds_since(t0);
  const double cpu = cpu_seconds() - cpu0;
  uint64_t total = 0, misplaced = 0;
  int overruns = 0, short_devices = 0;
  std::vector<unsigned> codes(kChunk);
  std::vector<int16_t> expected(kChunk);
  for (int r = 0; r < kReaders; ++r) {
    auto& g = groups[static_cast<std::size_t>(r)];
    for (FleetDevice& d : g) KV_StopAIScan(d.handle);
    total += read[static_cast<std::size_t>(r)] + drain_fleet(g, codes, expected);
    for (FleetDevice& d : g) {
      unsigned short status = 0;
      unsigned count = 0;
      KV_GetAIBufferStatus(d.handle, &status, &count);
      overruns += (status & KV_STATUS_OVERRUN) != 0;
      misplaced += d.misplaced;
      // A device that streamed less than nine tenths of the time lost time.
      short_devices += d.next < static_cast<uint64_t>(0.9 * kRate * 8 * seconds);
      KV_Device_Release(d.handle);
    }
  }
  const double percent = 100.0 * cpu / wall;
  std::printf("  %d of %d started, %.1f M samples checked, %llu misplaced, %d overruns, %d short; "
              "library process %.1f %% of one core\n",
              started, devices, total / 1e6, static_cast<unsigned long long>(misplaced), overruns,
              short_devices, percent);
  g_rows.push_back(
      {fmt("%.0f devices x 240 kS/s for %.0f s, every sample checked", devices, seconds),
       fmt("%.0f M samples, %.0f misplaced, ", total / 1e6, static_cast<double>(misplaced)) +
           fmt("%.0f overruns, %.0f short; ", overruns, short_devices) +
           fmt("process %.0f %% of one core", percent),
       "—", "—", "nothing lost or misplaced; < 100 % of one core"});
}

}  // namespace

int main(int argc, char** argv) {
  const unsigned samples = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 20000000u;
  const int live_seconds = argc > 2 ? std::atoi(argv[2]) : 10;
  const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
  const int devices = argc > 4 ? std::max(0, std::atoi(argv[4])) : 64;
  const int device_seconds = argc > 5 ? std::max(1, std::atoi(argv[5])) : 60;
  const bool only_library = getenv("KORVEL_BENCH_LIBRARY_ONLY") != nullptr;
  // Simulators first, before this process has threads of its own.
  SimProcess fast(korvel::sim::unique_loopback_address(), true);
  SimProcess fast_bare(korvel::sim::unique_loopback_address(), true);
  SimProcess paced(korvel::sim::unique_loopback_address(), false);
  SimProcess fast24(korvel::sim::unique_loopback_address(), true, "LXR5000");

  g_expected.resize(samples);
  korvel::sim::fill_stream(8, 0, samples, reinterpret_cast<char*>(g_expected.data()));
  streaming_rows(fast.address, fast_bare.address, samples, rounds, only_library);
  if (only_library) return 0;
  live_and_latency_rows(paced.address, live_seconds);

  constexpr unsigned kReadSamples = 4u << 20;
  constexpr int kReps = 7;
  std::printf("== ring full, %u samples drained in %u-sample chunks, median of %d\n", kReadSamples,
              kChunk, kReps);
  ring_rows(fast, "LX3100", 8, 2, kReadSamples, kReps);
  ring_rows(fast24, "LXR5000", 4, 4, kReadSamples, kReps);
  log_rows(fast, kReadSamples, kReps);
  if (devices > 0) fleet_row(devices, device_seconds);
  print_table();
  return 0;
}
