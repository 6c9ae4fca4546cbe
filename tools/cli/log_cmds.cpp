// korvel log, logs, export: logging runs, and log files read back without
// a device.
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <vector>

#include <fmt/core.h>

#include "commands.h"
#include "common.h"
#include "samples.h"

namespace fs = std::filesystem;

namespace cli {

namespace {

unsigned mask_of(const std::string& model) {
  return model == "LX-3200" || model == "LX-R5000" ? 0xFFFFFFu : 0xFFFFu;
}

// A log file opened for reading, closed when done.
struct LogFile {
  KV_HANDLE handle = nullptr;
  std::string model;
  unsigned size = 0, type = 0, total = 0, rate = 0;
  unsigned short channels = 0, gain = 0;
  std::string date, time;
  ~LogFile() {
    if (handle) KV_LogFile_Close(handle);
  }
  void describe() {
    char name[20] = {}, d[16] = {}, t[32] = {};
    unsigned reserved = 0;
    unsigned short trigger = 0, transfer = 0, sync = 0;
    KV_GetLogFileInfo(handle, name, &size, &type, &reserved);
    KV_GetLogFile_AIScanConfigInfo(handle, &channels, &gain, &trigger, &rate, &transfer, &sync);
    KV_GetLogFile_AIScanSampleInfo(handle, &total, d, t);
    model = std::string(name, strnlen(name, sizeof name));
    date = std::string(d, strnlen(d, sizeof d));
    time = std::string(t, strnlen(t, sizeof t));
  }
};

}  // namespace

int log(const LogOptions& o) {
  std::error_code ec;
  fs::create_directories(o.dir, ec);
  if (ec) {
    fmt::print(stderr, "korvel: cannot create {}: {}\n", o.dir, ec.message());
    return kFailed;
  }
  Device d(o.address);
  if (!d) return d.fail("opening the device");
  const DeviceInfo& f = d.info();
  const int channels = o.channels == 0 ? f.ai : o.channels;
  if (channels < 1 || channels > f.ai)
    return usage_error(
        fmt::format("--channels {}: the {} has inputs 1..{}", o.channels, f.model, f.ai));
  const bool continuous = o.samples == 0;
  if (continuous && o.seconds <= 0) return usage_error("give --seconds S or --samples N");
  const KV_HANDLE h = d.handle();
  if (o.grouping >= 0 && !KV_SetConfig(h, 4, 1, o.grouping))
    return d.fail("setting the folder grouping");
  if (!KV_SetAIScanParam(h, static_cast<short>(channels), static_cast<short>(o.gain), 0, o.rate,
                         o.samples, 0, 0))
    return d.fail("KV_SetAIScanParam");
  const auto started = fs::file_time_type::clock::now();
  std::string folder = o.dir;
  catch_interrupts();
  if (!KV_StartLogger(h, folder.data(), o.period, o.mode)) return d.fail("KV_StartLogger");
  Progress progress;
  unsigned short status = 0;
  const auto t0 = std::chrono::steady_clock::now();
  for (;;) {
    nap(20);
    unsigned waiting = 0, received = 0, total_status = 0;
    KV_GetAIBufferStatus(h, &status, &waiting);
    KV_GetTotalSamplingStatus(h, &received, &total_status);
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    progress.show("  logged {} samples in {:.1f} s", received, elapsed);
    if ((status & KV_STATUS_LOG_ENDED) || g_interrupted) break;
    if (continuous && elapsed >= o.seconds) break;
  }
  progress.done();
  const int stopped = KV_StopLogger(h);
  const unsigned error = static_cast<unsigned>(KV_GetLastError());
  fmt::print("logging run ended: status 0x{:02X}{}\n", status,
             g_interrupted ? " (interrupted)" : "");
  // What the run wrote: every file below the folder made since it started.
  std::vector<std::string> made;
  for (auto it = fs::recursive_directory_iterator(o.dir, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_regular_file(ec) && it->last_write_time(ec) >= started - std::chrono::seconds(2))
      made.push_back(it->path().string());
  }
  std::sort(made.begin(), made.end());
  for (const auto& p : made) fmt::print("  {}\n", p);
  if (!stopped || error == KV_ERR_FILE_OPEN) {
    KV_SetLastError(error);
    return d.fail("writing the log files");
  }
  if (status & (KV_STATUS_OVERRUN | KV_STATUS_LOG_TIMEOUT)) return kFailed;
  return continuous || (status & KV_STATUS_COUNT_REACHED) ? kOk : kFailed;
}

int logs(const std::string& dir) {
  std::string folder = dir;
  int listed = 0;
  for (int type : {0, 1}) {
    const int files = KV_GetAllLogFiles(folder.data(), type);
    for (int i = 0; i < files; ++i) {
      char path[260] = {};
      LogFile log;
      log.handle = KV_LogFile_Open_byIndex(i, path);
      if (!log.handle) {
        report(fmt::format("opening {}", path));
        continue;
      }
      ++listed;
      log.describe();
      fmt::print("{}\n  {}, {} channel(s) at {} Hz, range code {}, {} samples, {} file, "
                 "started {} {}\n",
                 path, log.model, log.channels, log.rate, log.gain, log.total,
                 log.type == 0 ? "binary" : "text", log.date, log.time);
    }
  }
  if (listed == 0) {
    fmt::print(stderr, "korvel: no log files with their configuration below {}\n", dir);
    return kFailed;
  }
  return kOk;
}

int export_log(const std::string& path, const std::string& output) {
  LogFile log;
  std::string p = path;
  log.handle = KV_LogFile_Open(p.data());
  if (!log.handle) return report(fmt::format("opening the log file {}", path));
  log.describe();
  if (log.channels == 0) {
    fmt::print(stderr, "korvel: {}: the configuration names no channels\n", path);
    return kFailed;
  }
  std::string error;
  auto writer = open_writer(output, log.channels, log.rate, &error);
  if (!writer) {
    fmt::print(stderr, "korvel: {}\n", error);
    return kFailed;
  }
  const unsigned channels = log.channels;
  const unsigned chunk = channels * 8192;
  std::vector<float> volts(chunk);
  uint64_t done = 0;
  if (log.type == 0) {
    const unsigned mask = mask_of(log.model);
    std::vector<unsigned> codes(chunk);
    while (done < log.total) {
      const unsigned want =
          static_cast<unsigned>(std::min<uint64_t>(chunk, log.total - done) / channels * channels);
      if (want == 0) break;
      std::fill(codes.begin(), codes.end(), 0u);
      const int got = KV_GetLogFile_AIDataHex(log.handle, static_cast<unsigned>(done), want,
                                              codes.data());
      if (got <= 0) break;
      for (int k = 0; k < got; ++k) {
        const int ch = static_cast<int>((done + static_cast<unsigned>(k)) % channels);
        KV_Calibrate_Data_Float(log.handle, ch, log.gain, static_cast<int>(codes[k] & mask),
                                &volts[static_cast<std::size_t>(k)]);
      }
      const unsigned scans = static_cast<unsigned>(got) / channels;
      if (!writer->write(volts.data(), scans)) break;
      done += static_cast<unsigned>(got);
      if (static_cast<unsigned>(got) < want) break;
    }
  } else {
    for (;;) {
      const int got = KV_GetLogFile_AIData(log.handle, 0, chunk, volts.data());
      if (got <= 0) break;
      if (!writer->write(volts.data(), static_cast<unsigned>(got) / channels)) break;
      done += static_cast<unsigned>(got);
    }
  }
  const bool ok = writer->close();
  FILE* summary = writer->to_stdout() ? stderr : stdout;
  fmt::print(summary, "{}: {} of {} samples ({} channels) into {}\n", path, done, log.total,
             channels, output);
  if (!ok) {
    fmt::print(stderr, "korvel: writing {} failed\n", output);
    return kFailed;
  }
  return kOk;
}

}  // namespace cli
