// korvel scan and bench: analog-input scans drained from the library's
// buffer into files, statistics or figures.
#include <sys/resource.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include <fmt/core.h>

#include "commands.h"
#include "common.h"
#include "samples.h"

namespace cli {

namespace {

double cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Drains a started scan until it ends (or, continuous, until `seconds` pass
// or Ctrl-C), handing whole scans to `take`. Returns the samples received
// and the final status.
// Raw reads give codes as float values (sign-extended) instead of volts.
struct Reader {
  KV_HANDLE h;
  bool raw = false;
  int sample_bytes = 2;
  std::vector<unsigned> codes;
  int take(float* out, unsigned count) {
    if (!raw) return KV_GetAIBuffer(h, out, count);
    codes.resize(count);
    const int got = KV_GetAIBufferHex(h, codes.data(), count);
    for (int i = 0; i < got; ++i) {
      const unsigned c = codes[static_cast<std::size_t>(i)];
      out[i] = sample_bytes == 2 ? static_cast<float>(static_cast<int16_t>(c))
                                 : static_cast<float>(static_cast<int32_t>(c << 8) >> 8);
    }
    return got;
  }
};

template <class Take>
uint64_t drain(Reader& reader, unsigned channels, bool continuous, double seconds, unsigned total,
               Progress& progress, unsigned short* final_status, Take&& take) {
  const KV_HANDLE h = reader.h;
  std::vector<float> buf(static_cast<std::size_t>(channels) * 8192);
  std::size_t held = 0;  // samples of an unfinished scan at the front of buf
  uint64_t n = 0;
  const auto t0 = std::chrono::steady_clock::now();
  for (;;) {
    const unsigned room = static_cast<unsigned>(buf.size() - held);
    const int got = reader.take(buf.data() + held, room);
    if (got > 0) {
      n += static_cast<unsigned>(got);
      held += static_cast<std::size_t>(got);
      const std::size_t scans = held / channels;
      take(buf.data(), scans);
      const std::size_t rest = held - scans * channels;
      std::memmove(buf.data(), buf.data() + scans * channels, rest * sizeof(float));
      held = rest;
    }
    unsigned short status = 0;
    unsigned waiting = 0;
    KV_GetAIBufferStatus(h, &status, &waiting);
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (continuous)
      progress.show("  received {} samples in {:.1f} s", n, elapsed);
    else
      progress.show("  received {} of {} samples ({:3.0f} %)", n, total,
                    total ? 100.0 * static_cast<double>(n) / total : 0.0);
    *final_status = status;
    if ((status & KV_STATUS_ENDED) && waiting == 0 && got <= 0) break;
    if (continuous && (g_interrupted || (seconds > 0 && elapsed >= seconds))) break;
    if (!continuous && g_interrupted) break;
    if (got <= 0) nap(5);
  }
  return n;
}

}  // namespace

int scan(const ScanOptions& o) {
  Device d(o.address);
  if (!d) return d.fail("opening the device");
  const DeviceInfo& f = d.info();
  const int channels = o.channels == 0 ? f.ai : o.channels;
  if (channels < 1 || channels > f.ai)
    return usage_error(fmt::format("--channels {}: the {} at {} has inputs 1..{}", o.channels,
                                   f.model, o.address, f.ai));
  if (o.gain >= f.ranges)
    return usage_error(
        fmt::format("--gain {}: the {} has range codes 0..{}", o.gain, f.model, f.ranges - 1));
  const unsigned samples = o.continuous ? 0u : o.samples;
  if (!o.continuous && samples == 0)
    return usage_error("give --samples N (over all channels) or --continuous");
  const KV_HANDLE h = d.handle();
  if (o.lowpass > 0 || o.highpass > 0) {
    // Software filters: the LX-R5000 runs them on the samples fetched.
    for (int c = 0; c < channels; ++c) {
      if (!KV_Init_Software_Filter(h, c, o.order, o.rate)) return d.fail("KV_Init_Software_Filter");
      const int ok = o.lowpass > 0 ? KV_Set_LowPassFilter(h, c, 1, static_cast<float>(o.lowpass))
                                   : KV_Set_HighPassFilter(h, c, 1, static_cast<float>(o.highpass));
      if (!ok) return d.fail("setting the filter");
    }
  }
  std::unique_ptr<ScanWriter> writer;
  if (!o.output.empty()) {
    std::string error;
    writer = open_writer(o.output, static_cast<unsigned>(channels), o.rate, &error);
    if (!writer) {
      fmt::print(stderr, "korvel: {}\n", error);
      return kFailed;
    }
  }
  // The summary goes where it does not mix with samples streamed to stdout.
  FILE* summary = writer && writer->to_stdout() ? stderr : stdout;
  if (!KV_SetAIScanParam(h, static_cast<short>(channels), static_cast<short>(o.gain),
                         static_cast<short>(o.trigger), o.rate, samples, 0, 0))
    return d.fail("KV_SetAIScanParam");
  Reader reader{h, o.raw || f.model == "MC620Ws", f.sample_bytes, {}};
  if (reader.raw && !o.raw)
    fmt::print(stderr, "korvel: the {} gives raw codes only: the values are codes, not volts\n",
               f.model);
  catch_interrupts();
  if (!KV_StartAIScan(h)) return d.fail("KV_StartAIScan");
  ChannelStats stats(static_cast<unsigned>(channels), reader.raw ? "" : " V");
  bool written = true;
  Progress progress;
  unsigned short status = 0;
  const auto t0 = std::chrono::steady_clock::now();
  const uint64_t n = drain(reader, static_cast<unsigned>(channels), o.continuous, o.seconds, samples,
                           progress, &status, [&](const float* scans, std::size_t count) {
                             stats.add(scans, count);
                             if (writer && written) written = writer->write(scans, count);
                             // A closed pipe or a full disk: nothing more can be kept.
                             if (!written) g_interrupted = true;
                           });
  progress.done();
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const int stopped = KV_StopAIScan(h);
  if (writer && !writer->close()) written = false;
  fmt::print(summary, "{} samples ({} channels at {} Hz) in {:.2f} s{}{}\n", n, channels, o.rate,
             secs, g_interrupted ? ", interrupted" : "",
             writer && !writer->to_stdout() ? " into " + writer->path() : "");
  if (status & (KV_STATUS_TIMEOUT | KV_STATUS_OVERRUN))
    fmt::print(summary, "  the scan ended early: status 0x{:02X}{}{}\n", status,
               status & KV_STATUS_OVERRUN ? " (samples lost)" : "",
               status & KV_STATUS_TIMEOUT ? " (data time-out)" : "");
  stats.print(summary, n);
  if (!written) {
    fmt::print(stderr, "korvel: writing {} failed\n", o.output);
    return kFailed;
  }
  if (!stopped) return d.fail("KV_StopAIScan");
  if (o.continuous) return (status & (KV_STATUS_TIMEOUT | KV_STATUS_OVERRUN)) ? kFailed : kOk;
  return n == samples ? kOk : kFailed;
}

int bench(const std::string& address, int channels, int rate, double seconds) {
  Device d(address);
  if (!d) return d.fail("opening the device");
  const DeviceInfo& f = d.info();
  if (channels == 0) channels = f.ai;
  if (channels < 1 || channels > f.ai)
    return usage_error(fmt::format("--channels {}: the {} has inputs 1..{}", channels, f.model, f.ai));
  const KV_HANDLE h = d.handle();
  if (!KV_SetAIScanParam(h, static_cast<short>(channels), 0, 0, rate, 0, 0, 0))
    return d.fail("KV_SetAIScanParam");
  catch_interrupts();
  const double cpu0 = cpu_seconds();
  const auto t0 = std::chrono::steady_clock::now();
  if (!KV_StartAIScan(h)) return d.fail("KV_StartAIScan");
  Progress progress;
  unsigned short status = 0;
  Reader reader{h, false, f.sample_bytes, {}};
  const uint64_t n = drain(reader, static_cast<unsigned>(channels), true, seconds, 0, progress, &status,
                           [](const float*, std::size_t) {});
  progress.done();
  KV_StopAIScan(h);
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const double cpu = cpu_seconds() - cpu0;
  fmt::print("{} channels at {} Hz for {:.2f} s: {} samples, {:.0f} samples/s ({:.1f} % of the "
             "requested {} samples/s)\n",
             channels, rate, secs, n, static_cast<double>(n) / secs,
             100.0 * static_cast<double>(n) / secs / (static_cast<double>(rate) * channels),
             static_cast<long long>(rate) * channels);
  fmt::print("CPU {:.3f} s ({:.1f} % of one core), {:.4f} CPU s per million samples{}\n", cpu,
             100.0 * cpu / secs, n ? cpu / (static_cast<double>(n) / 1e6) : 0.0,
             status & KV_STATUS_OVERRUN ? "; samples were LOST (overrun)" : "");
  return status & (KV_STATUS_OVERRUN | KV_STATUS_TIMEOUT) ? kFailed : kOk;
}

}  // namespace cli
