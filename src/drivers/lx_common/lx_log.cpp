// Logging runs of the LX family: the shared logger on the shared engine,
// with each family's configuration lines and text format.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/errors.h"
#include "core/version.h"
#include "drivers/lx_common/lx_device.h"
#include "logging/config_lines.h"
#include "net/clock.h"

namespace korvel {

namespace {
constexpr uint32_t kLogTimeoutRingBytes = 1460000;  // scales the data time-out only
}  // namespace

std::vector<std::string> LxDevice::log_config_lines() {
  const ScanConfigValues v = config_values(module.name, ip_address);
  std::vector<std::string> lines;
  config_lines_to_gain(lines, v);
  log_lines_after_gain(lines);
  config_lines_to_transfer(lines, v);
  log_lines_after_transfer(lines);
  const int channels = ScanChannelCount < module.ai_count ? ScanChannelCount : module.ai_count;
  const int gain = static_cast<int>(ScanGain) < module.ai_gain_count ? static_cast<int>(ScanGain) : 0;
  log_channel_lines(lines, channels, gain);
  return lines;
}

void LxDevice::log_channel_lines(std::vector<std::string>& lines, int channels, int gain) {
  for (int c = 0; c < channels; ++c) add_config_line(lines, "CH%d", c);
  for (int c = 0; c < channels; ++c)
    add_config_line(lines, "CH%d,Gain,%d, Offset,%d", c, static_cast<int>(GainTable.get(c, gain)),
             static_cast<int>(OffsetTable.get(c, gain)));
}

LogRun LxDevice::log_run(const char* path, int period, int mode, const ScanSettings& scan) const {
  LogRun run;
  run.root = path;
  run.period_minutes = period;
  run.mode = mode;
  run.grouping = LogFolders.grouping;
  run.ip = ip_address;
  run.scan = scan;
  return run;
}

bool LxDevice::start_file_run(RunKind kind, const LogRun& run) {
  if (!logger_.prepare(run)) return false;
  engine_.ring().clear();
  engine_.set_device_count(0);
  if (!engine_.start(kind, run.scan, compute_timeout_base(kLogTimeoutRingBytes), data_socket,
                     &logger_)) {
    logger_.abandon();
    return fail(KV_ERR_OUT_OF_MEMORY);
  }
  return true;
}

bool LxDevice::log_start_time(std::string* text) {
  char buf[kReplyCapacity];
  if (!GetKVStartSamplingTime(buf)) return false;
  *text = buf;
  return true;
}

int LxDevice::log_value_text(int32_t raw, unsigned channel, char* out, std::size_t capacity) {
  float v = 0.0f;
  Calibrate_Hex2Float(raw, static_cast<int>(channel), static_cast<int>(ScanGain), &v);
  return std::snprintf(out, capacity, "%0.*lf", log_text_decimals, static_cast<double>(v));
}

int LxDevice::StartLogger(const char* path, int period, int mode) {
  LoggerMode = mode;
  if (cmd_socket < 0 || data_socket < 0) return fail(KV_ERR_OPEN_DEVICE);
  // One run at a time: a scan or logging run still owns the worker.
  if (engine_.run_exists()) return fail(KV_ERR_BUSY_SAMPLING);
  if (!data_connection_ready()) return fail(KV_ERR_OPEN_DEVICE);
  LogFilePeriod = period;
  engine_.set_received(0);
  if (!ScanParamsSet) send_scan_param(ScanTriggerMode, ScanSampleRate, ScanSampleCount);
  ContinuousScan = ScanSampleCount == 0;
  if (!start_file_run(RunKind::Log, log_run(path, period, mode, scan_settings()))) return 0;
  if (!StartMagicScan()) {
    // Not started as far as we know: no worker may wait for its data.
    const unsigned int code = static_cast<unsigned int>(get_last_error());
    engine_.stop();
    logger_.abandon();
    withdraw_start(*this, code);
    return fail(code);
  }
  return 1;
}

void LxDevice::StopLogger() {
  if (cmd_socket < 0 || data_socket < 0) return;
  if (engine_.on_worker_thread()) {  // from an event callback
    set_last_error(KV_ERR_NOT_SUPPORTED);
    return;
  }
  engine_.request_stop();
  StopMagicScan();
  engine_.stop();
  logger_.close();
}

void LxDevice::SaveStartSamplingTimetoConfigFile() { logger_.save_start_time(); }

// SD-card recordings.

namespace {
// A download's files split every ten minutes, as the device recorded them.
constexpr int kDownloadPeriodMinutes = 10;
// Longest recorded-time text handed to callers, without its NUL.
constexpr std::size_t kSdTimeChars = 255;
// The configuration text of a recording fits in this many bytes.
constexpr std::size_t kSdConfigCapacity = 1024;

// Parses "%lu" at *p and moves past it; false when there is no number or
// it does not fit.
bool take_number(const char*& p, unsigned long limit, unsigned long* out) {
  if (*p < '0' || *p > '9') return false;
  unsigned long v = 0;
  while (*p >= '0' && *p <= '9') {
    v = v * 10 + static_cast<unsigned long>(*p - '0');
    if (v > limit) return false;
    ++p;
  }
  *out = v;
  return true;
}

bool take(const char*& p, char c) {
  if (*p != c) return false;
  ++p;
  return true;
}
}  // namespace

int LxDevice::GetSDAllLogFiles(unsigned int* count) {
  if (busy()) return 0;
  Reply r;
  if (!command(r, kCommandTimeoutMs, "~01SDC") || r.at(0) == '?') return fail(KV_ERR_RESPONSE);
  const char* p = r.from(3);
  unsigned long n = 0;
  if (!take_number(p, UINT32_MAX, &n)) return fail(KV_ERR_INVALID_VALUE);
  put(count, static_cast<unsigned int>(n));
  return 1;
}

bool LxDevice::read_sd_recording(unsigned int index, SdRecording* out) {
  Reply r;
  if (!command(r, kCommandTimeoutMs, "~01SDI%08u", index) || r.at(0) == '?')
    return fail(KV_ERR_RESPONSE);
  // "<first>:<samples>:<y>/<m>/<d>-<h>:<min>:<s>:" after the header.
  const char* p = r.from(3);
  SdRecording rec;
  unsigned long t[6] = {};
  if (!take_number(p, UINT32_MAX, &rec.first) || !take(p, ':') ||
      !take_number(p, UINT32_MAX, &rec.samples) || !take(p, ':'))
    return fail(KV_ERR_INVALID_VALUE);
  rec.text.assign(p, std::min(std::strlen(p), kSdTimeChars));
  const char seps[6] = {'/', '/', '-', ':', ':', ':'};
  for (int i = 0; i < 6; ++i)
    if (!take_number(p, 65535, &t[i]) || !take(p, seps[i])) return fail(KV_ERR_INVALID_VALUE);
  rec.time.tm_year = static_cast<int>(t[0]);
  rec.time.tm_mon = static_cast<int>(t[1]);
  rec.time.tm_mday = static_cast<int>(t[2]);
  rec.time.tm_hour = static_cast<int>(t[3]);
  rec.time.tm_min = static_cast<int>(t[4]);
  rec.time.tm_sec = static_cast<int>(t[5]);
  *out = rec;
  return true;
}

int LxDevice::GetSDLogFile_Info(unsigned int index, unsigned int* first, unsigned int* samples,
                                char* time) {
  if (busy()) return 0;
  SdRecording rec;
  if (!read_sd_recording(index, &rec)) return 0;
  put(first, static_cast<unsigned int>(rec.first));
  put(samples, static_cast<unsigned int>(rec.samples));
  if (time) std::memcpy(time, rec.text.c_str(), rec.text.size() + 1);
  return 1;
}

bool LxDevice::read_sd_config(unsigned int index, char area, std::string* text) {
  if (area < 0 || area > 9) return fail(KV_ERR_INVALID_ARGUMENT);  // one digit on the wire
  char cmd[32], reply[kSdConfigCapacity];
  std::snprintf(cmd, sizeof cmd, "~01SDL%01d%08u", static_cast<int>(area), index);
  if (!SendRec2(cmd_socket, cmd, reply, kCommandTimeoutMs, sizeof reply)) return false;
  if (reply[0] == '?') return fail(KV_ERR_RESPONSE);
  *text = reply;
  return true;
}

int LxDevice::SaveSDConfigFile(unsigned int index, char area, char* folder, char* stem,
                               unsigned int tag, void* time) {
  auto refuse = [](unsigned int code) {
    set_last_error(code);
    return -1;
  };
  if (folder == nullptr || stem == nullptr || time == nullptr)
    return refuse(KV_ERR_INVALID_ARGUMENT);
  std::string text;
  if (!read_sd_config(index, area, &text)) return -1;
  const std::tm& t = *static_cast<const std::tm*>(time);
  char dir[kPathCapacity], name[kPathCapacity];
  const int a = std::snprintf(dir, sizeof dir, "%s/config", folder);
  const int b = std::snprintf(name, sizeof name, "IP_%s_%04x_%d_%d_%d_%d_%d_%d.config", stem, tag,
                              t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min,
                              t.tm_sec);
  if (a < 0 || b < 0 || static_cast<std::size_t>(a) >= sizeof dir ||
      static_cast<std::size_t>(b) >= sizeof name)
    return refuse(KV_ERR_INVALID_ARGUMENT);
  if (!DirectoryExists(dir)) CreateFolder(folder, "config");
  TextFile config(kModeCreateReadWrite);
  const bool written = config.Open(dir, name) == 1 && config.Write(text.c_str()) == 1;
  return config.Close() == 0 && written ? 0 : refuse(KV_ERR_FILE_OPEN);
}

int LxDevice::DownloadSDFile(unsigned int index, char area, char* path, int mode) {
  if (cmd_socket < 0 || data_socket < 0) return fail(KV_ERR_OPEN_DEVICE);
  if (area < 0 || area > 9) return fail(KV_ERR_INVALID_ARGUMENT);  // one digit on the wire
  if (engine_.run_exists()) {
    // A new download ends a running one; a scan or logging run is stopped first.
    if (engine_.kind() != RunKind::Download) return fail(KV_ERR_BUSY_SAMPLING);
    engine_.stop();
    logger_.close();
  }
  if (!data_connection_ready()) return fail(KV_ERR_OPEN_DEVICE);
  // The device streams the recording as soon as it is asked: bytes of an
  // earlier run must be gone before.
  engine_.drain(data_socket);
  // Never a download with another recording's count and time.
  SdRecording rec;
  if (!read_sd_recording(index, &rec)) return 0;
  LoggerMode = mode;
  LogFilePeriod = kDownloadPeriodMinutes;
  engine_.set_received(0);
  std::string config;
  const bool with_config = mode != kLogTextNoConfig && mode != kLogRawNoConfig;
  if (with_config && !read_sd_config(index, area, &config)) return 0;
  ScanSettings settings = scan_settings();
  settings.trigger_mode = 0;  // a recording streams as a plain finite run
  settings.sample_count = static_cast<uint32_t>(rec.samples);
  // Text lines and file splits follow the recording's scans when its
  // configuration tells how many channels it has.
  const std::size_t at = config.find("Channel Count,");
  if (at != std::string::npos) {
    const long n = std::strtol(config.c_str() + at + 14, nullptr, 10);
    if (n >= 1 && n <= module.ai_count) settings.channels = static_cast<uint32_t>(n);
  }
  LogRun run = log_run(path, kDownloadPeriodMinutes, mode, settings);
  run.config_text = with_config ? &config : nullptr;
  run.recorded_time = &rec.time;
  return start_file_run(RunKind::Download, run) ? 1 : 0;
}

}  // namespace korvel
