// LX3100 logging runs: the shared logger on the shared engine, with this
// device's configuration lines and text format.
#include <cstdio>

#include "core/errors.h"
#include "core/version.h"
#include "drivers/lx3100/lx3100.h"
#include "net/clock.h"

namespace korvel {

namespace {
constexpr uint32_t kLogTimeoutRingBytes = 1460000;  // scales the data time-out only
}  // namespace

std::vector<std::string> LX3100::log_config_lines() {
  std::vector<std::string> lines;
  char line[320];  // the longest line holds the 255-character address
  auto add = [&](const char* fmt, auto... args) {
    std::snprintf(line, sizeof line, fmt, args...);
    lines.emplace_back(line);
  };
  add("Module Name,%s", module.name);
  add("SDKVersion,%s", KORVEL_SDK_VERSION);
  add("IP,%s", ip_address);
  add("Gain,%d", static_cast<int>(ScanGain));
  add("Channel Count,%d", static_cast<int>(ScanChannelCount));
  add("Sample Rate,%ld", static_cast<long>(ScanSampleRate));
  add("Sample Count,%ld", static_cast<long>(ScanSampleCount));
  add("External Trigger,%d", static_cast<int>(ScanTriggerMode));
  add("Transfer Mode,%d", static_cast<int>(ScanTransferMode));
  add("Sync Mode,%d", static_cast<int>(SyncMode));
  const int channels = ScanChannelCount < module.ai_count ? ScanChannelCount : module.ai_count;
  const int gain = static_cast<int>(ScanGain) < module.ai_gain_count ? static_cast<int>(ScanGain) : 0;
  for (int c = 0; c < channels; ++c) add("CH%d", c);
  for (int c = 0; c < channels; ++c)
    add("CH%d,Gain,%d, Offset,%d", c, static_cast<int>(GainTable.get(c, gain)),
        static_cast<int>(OffsetTable.get(c, gain)));
  return lines;
}

bool LX3100::log_start_time(std::string* text) {
  char buf[kReplyCapacity];
  if (!GetKVStartSamplingTime(buf)) return false;
  *text = buf;
  return true;
}

int LX3100::log_value_text(int32_t raw, unsigned channel, char* out, std::size_t capacity) {
  float v = 0.0f;
  Calibrate_Hex2Float(raw, static_cast<int>(channel), static_cast<int>(ScanGain), &v);
  return std::snprintf(out, capacity, "%0.5lf", static_cast<double>(v));
}

int LX3100::StartLogger(char* path, int period, int mode) {
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

void LX3100::StopLogger() {
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

void LX3100::SaveStartSamplingTimetoConfigFile() { logger_.save_start_time(); }

}  // namespace korvel
