// Figures of the acquisition path, measured against simulators running in a
// separate process (so that this process's CPU time is the library's):
//  1. streaming throughput and CPU per million samples, against a bare loop
//     that receives and acknowledges the same stream;
//  2. CPU use of a live 8 x 30 kHz scan;
//  3. KV_StopAIScan latency, and the KV_ReadAI round trip against a bare
//     request/response on the same loopback.
// Figures are printed, never asserted.
#include <arpa/inet.h>
#include <korvel/korvel.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_sim.h"
#include "korvel/sim/device.h"
#include "korvel/sim/signal.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

double cpu_seconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec +
         ru.ru_stime.tv_usec / 1e6;
}

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

struct Result {
  double seconds;
  double cpu;
  uint64_t errors;
};

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
  exchange(cmd, "~01Z");
  close(cmd);
  close(data);
  return r;
}

Result library_stream(const std::string& ip, unsigned samples) {
  KV_HANDLE h = KV_Device_Create(ip.c_str());
  if (!h) std::exit(1);
  KV_SetAIScanParam(h, 8, 0, 0, 30000, samples, 0, 0);
  std::vector<unsigned> buf(65536);
  const double cpu0 = cpu_seconds();
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
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }
  Result r{seconds_since(t0), cpu_seconds() - cpu0, errors + (n != samples)};
  KV_StopAIScan(h);
  KV_Device_Release(h);
  return r;
}

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

void percentiles(std::vector<double> v, const char* what) {
  std::sort(v.begin(), v.end());
  std::printf("  %-28s median %8.3f ms   max %8.3f ms   (n=%zu)\n", what, v[v.size() / 2],
              v.back(), v.size());
}

}  // namespace

int main(int argc, char** argv) {
  const unsigned samples = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 20000000u;
  const int live_seconds = argc > 2 ? std::atoi(argv[2]) : 10;
  // Simulators first, before this process has threads of its own.
  SimProcess fast(korvel::sim::unique_loopback_address(), true);
  SimProcess paced(korvel::sim::unique_loopback_address(), false);

  g_expected.resize(samples);
  korvel::sim::fill_stream(8, 0, samples, reinterpret_cast<char*>(g_expected.data()));

  std::printf("== streaming %u samples, 8 channels, simulator as fast as TCP allows\n", samples);
  const bool only_library = getenv("KORVEL_BENCH_LIBRARY_ONLY") != nullptr;
  const Result bare = only_library ? Result{1, 1, 0} : bare_stream(fast.address, samples);
  const Result lib = library_stream(fast.address, samples);
  std::printf("  bare loop : %8.2f Msamples/s  %6.3f CPU s per million samples  errors %llu\n",
              samples / bare.seconds / 1e6, bare.cpu / (samples / 1e6),
              static_cast<unsigned long long>(bare.errors));
  std::printf("  library   : %8.2f Msamples/s  %6.3f CPU s per million samples  errors %llu\n",
              samples / lib.seconds / 1e6, lib.cpu / (samples / 1e6),
              static_cast<unsigned long long>(lib.errors));
  std::printf("  ratio library/bare: throughput %.2f   CPU per sample %.2f\n",
              bare.seconds / lib.seconds, lib.cpu / bare.cpu);

  if (only_library) return 0;
  std::printf("== live scan 8 x 30 kHz for %d s\n", live_seconds);
  std::printf("  library CPU use: %.2f %% of one core\n",
              live_cpu_percent(paced.address, live_seconds));

  std::printf("== latencies\n");
  KV_HANDLE h = KV_Device_Create(paced.address.c_str());
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
  const int cmd = connect_to(paced.address, 9999);
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
  return 0;
}
