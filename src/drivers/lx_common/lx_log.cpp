// Logging runs of the LX family: the shared logger on the shared engine,
// with each family's configuration lines and text format.
#include <cstdio>

#include "core/errors.h"
#include "core/version.h"
#include "drivers/lx_common/lx_device.h"
#include "net/clock.h"

namespace korvel {

namespace {
constexpr uint32_t kLogTimeoutRingBytes = 1460000;  // scales the data time-out only
}  // namespace

namespace {
// The longest line holds the 255-character address.
template <class... Args>
void add_line(std::vector<std::string>& lines, const char* fmt, Args... args) {
  char line[320];
  std::snprintf(line, sizeof line, fmt, args...);
  lines.emplace_back(line);
}
}  // namespace

std::vector<std::string> LxDevice::log_config_lines() {
  std::vector<std::string> lines;
  add_line(lines, "Module Name,%s", module.name);
  add_line(lines, "SDKVersion,%s", KORVEL_SDK_VERSION);
  add_line(lines, "IP,%s", ip_address);
  add_line(lines, "Gain,%d", static_cast<int>(ScanGain));
  log_lines_after_gain(lines);
  add_line(lines, "Channel Count,%d", static_cast<int>(ScanChannelCount));
  add_line(lines, "Sample Rate,%ld", static_cast<long>(ScanSampleRate));
  add_line(lines, "Sample Count,%ld", static_cast<long>(ScanSampleCount));
  add_line(lines, "External Trigger,%d", static_cast<int>(ScanTriggerMode));
  add_line(lines, "Transfer Mode,%d", static_cast<int>(ScanTransferMode));
  log_lines_after_transfer(lines);
  const int channels = ScanChannelCount < module.ai_count ? ScanChannelCount : module.ai_count;
  const int gain = static_cast<int>(ScanGain) < module.ai_gain_count ? static_cast<int>(ScanGain) : 0;
  log_channel_lines(lines, channels, gain);
  return lines;
}

void LxDevice::log_channel_lines(std::vector<std::string>& lines, int channels, int gain) {
  for (int c = 0; c < channels; ++c) add_line(lines, "CH%d", c);
  for (int c = 0; c < channels; ++c)
    add_line(lines, "CH%d,Gain,%d, Offset,%d", c, static_cast<int>(GainTable.get(c, gain)),
             static_cast<int>(OffsetTable.get(c, gain)));
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

int LxDevice::StartLogger(char* path, int period, int mode) {
  LoggerMode = mode;
  if (cmd_socket < 0 || data_socket < 0) return fail(KV_ERR_OPEN_DEVICE);
  // One run at a time: a scan or logging run still owns the worker.
  if (engine_.run_exists()) return fail(KV_ERR_BUSY_SAMPLING);
  LogFilePeriod = period;
  engine_.set_received(0);
  if (!ScanParamsSet) send_scan_param(ScanTriggerMode, ScanSampleRate, ScanSampleCount);
  LogRun run;
  run.root = path;
  run.period_minutes = period;
  run.mode = mode;
  run.grouping = LogFolderGrouping;
  run.ip = ip_address;
  run.scan = scan_settings();
  if (!logger_.prepare(run)) return 0;
  engine_.ring().clear();
  engine_.set_device_count(0);
  ContinuousScan = ScanSampleCount == 0;
  if (!engine_.start(RunKind::Log, scan_settings(), compute_timeout_base(kLogTimeoutRingBytes),
                     data_socket, &logger_)) {
    logger_.abandon();
    return fail(KV_ERR_OUT_OF_MEMORY);
  }
  if (!StartMagicScan()) {
    // The device never started: no worker may wait for its data.
    const unsigned int code = static_cast<unsigned int>(get_last_error());
    engine_.stop();
    logger_.abandon();
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

}  // namespace korvel
