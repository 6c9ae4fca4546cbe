#include "logging/logger.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>

#include "core/errors.h"

namespace korvel {

namespace {

// Formats into a path buffer; false when the result would not fit.
template <class... Args>
bool format_path(char (&out)[kPathCapacity], const char* fmt, Args... args) {
  const int n = std::snprintf(out, sizeof out, fmt, args...);
  return n >= 0 && static_cast<std::size_t>(n) < sizeof out;
}

std::tm local_now() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  return tm;
}

std::string address_stem(const char* ip) {
  std::string s = ip ? ip : "";
  for (char& c : s)
    if (c == '.') c = '_';
  return s;
}

}  // namespace

Logger::Logger(AcqEngine& engine, LogHooks& hooks) : engine_(engine), hooks_(hooks) {}

Logger::~Logger() { close_data_file(); }

bool Logger::prepare(const LogRun& run) {
  close_data_file();
  mode_ = run.mode;
  period_minutes_ = run.period_minutes;
  grouping_ = run.grouping;
  scan_ = run.scan;
  if (scan_.channels == 0) scan_.channels = 1;
  first_group_.clear();
  written_.clear();
  current_path_.clear();
  channel_position_ = 0;
  partial_.clear();
  failed_ = false;
  stem_ = address_stem(run.ip);
  recorded_ = run.recorded_time != nullptr;
  records_ = run.records;
  if (recorded_) recorded_time_ = *run.recorded_time;

  const std::tm start = recorded_ ? recorded_time_ : local_now();
  // A fresh tag per run, from a generator seeded with the time.
  std::mt19937 gen(static_cast<uint32_t>(
      std::chrono::system_clock::now().time_since_epoch().count() ^ getpid()));
  tag_ = std::uniform_int_distribution<uint32_t>(1, 65535)(gen);

  char root[kPathCapacity];
  // An empty root is the current folder too, not the filesystem's root.
  if (run.root && run.root[0] != '\0') {
    if (std::strlen(run.root) >= sizeof root) {
      set_last_error(KV_ERR_INVALID_ARGUMENT);
      return false;
    }
    std::strcpy(root, run.root);
  } else if (!getcwd(root, sizeof root)) {
    set_last_error(KV_ERR_INVALID_ARGUMENT);
    return false;
  }

  char path[kPathCapacity];
  if (mode_ != kLogTextNoConfig && mode_ != kLogRawNoConfig) {
    char folder[kPathCapacity], name[kPathCapacity];
    if (!format_path(folder, "%s%cconfig", root, '/') ||
        !format_path(name, "IP_%s_%04x_%d_%d_%d_%d_%d_%d.config", stem_.c_str(), tag_,
                     start.tm_year + 1900, start.tm_mon + 1, start.tm_mday, start.tm_hour,
                     start.tm_min, start.tm_sec) ||
        !format_path(path, "%s%c%s", folder, '/', name)) {
      set_last_error(KV_ERR_INVALID_ARGUMENT);
      return false;
    }
    if (!DirectoryExists(folder)) CreateFolder(root, "config");
    TextFile config(kModeCreateReadWrite);
    const bool opened = config.Open(folder, name) == 1;
    bool ok = opened;
    if (run.config_text) {
      ok = ok && (run.config_text->empty() || config.Write(run.config_text->c_str()) == 1);
    } else {
      for (const std::string& line : hooks_.log_config_lines())
        ok = ok && config.WriteLine(line.c_str()) == 1;
    }
    // Lines are buffered: a full disk shows only when they are written out.
    ok = config.Close() == 0 && ok;
    if (!ok) {
      // A cut configuration would still be paired with data files later.
      if (opened) std::remove(path);
      set_last_error(KV_ERR_FILE_OPEN);
      return false;
    }
    config_path_ = path;
  } else {
    config_path_.clear();
  }

  char log_stem[kPathCapacity];
  if (!format_path(path, "%s%clog%c%s", root, '/', '/', stem_.c_str()) ||
      !format_path(log_stem, "log%c%s", '/', stem_.c_str())) {
    set_last_error(KV_ERR_INVALID_ARGUMENT);
    return false;
  }
  data_folder_ = path;
  if (!DirectoryExists(path)) {
    CreateFolder(root, "log");
    CreateFolder(root, log_stem);
  }
  return true;
}

bool Logger::close_data_file() {
  if (!file_) return true;
  // The stream's buffer is written out here: a full disk may show only now.
  const bool ok = file_->Close() == 0;
  file_.reset();
  return ok;
}

void Logger::close() {
  if (!close_data_file()) fail_write();
  // The run's thread reported a lost file on its own thread; the caller of
  // the stop learns it here.
  if (failed_) set_last_error(KV_ERR_FILE_OPEN);
}

void Logger::abandon() {
  close_data_file();
  for (const std::string& path : written_) std::remove(path.c_str());
  written_.clear();
  if (!config_path_.empty()) std::remove(config_path_.c_str());
  config_path_.clear();
}

std::string Logger::group_folder(const std::tm& t) {
  char name[64] = "";
  const int y = t.tm_year + 1900, m = t.tm_mon + 1;
  switch (grouping_) {
    case 0:
      break;
    case 1:
    case 7:
      std::snprintf(name, sizeof name, "%04d_%02d_%02d_%02d_%02d", y, m, t.tm_mday, t.tm_hour,
                    t.tm_min);
      break;
    case 2:
      std::snprintf(name, sizeof name, "%04d_%02d_%02d_%02d", y, m, t.tm_mday, t.tm_hour);
      break;
    case 3:
    case 5:
      std::snprintf(name, sizeof name, "%04d_%02d_%02d", y, m, t.tm_mday);
      break;
    case 4:
      std::snprintf(name, sizeof name, "%04d_%02d", y, m);
      break;
    case 6:
      std::snprintf(name, sizeof name, "%04d_%02d_w%d", y, m, t.tm_wday);
      break;
    default:
      break;
  }
  // Groupings 5 and 7 keep a whole run in the folder of its first file.
  if (grouping_ == 5 || grouping_ == 7) {
    if (first_group_.empty()) first_group_ = name;
    return first_group_;
  }
  return name;
}

bool Logger::change_time_stamp() {
  // A download names its first file after the recording; later splits, as
  // every file of a logging run, after the clock.
  file_time_ = recorded_ && current_path_.empty() ? recorded_time_ : local_now();
  engine_.start_timer().reset_ticks();  // the file period counts from here
  const bool text_name = scan_.trigger_mode == 8 || mode_ == kLogText || records_;
  char name[kPathCapacity], path[kPathCapacity];
  const std::tm& t = file_time_;
  const std::string group = group_folder(t);
  if (!format_path(name, "%s_%04x_%d_%d_%d_%d_%d_%d%s", stem_.c_str(), tag_, t.tm_year + 1900,
                   t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                   text_name ? ".txt" : ".bin") ||
      !format_path(path, "%s/%s/%s", data_folder_.c_str(), group.c_str(), name))
    return false;
  // Two splits within one second give the same name: keep writing the file
  // rather than truncating it.
  if (path == current_path_ && file_ && file_->is_open()) return true;
  if (!close_data_file()) return false;
  const int mode = written_.count(path) ? kModeAppend : kModeCreateReadWrite;
  file_ = std::make_unique<BinaryFile>(mode);
  if (!file_->Open(data_folder_.c_str(), group.c_str(), name)) return false;
  written_.insert(path);
  current_path_ = path;
  return true;
}

bool Logger::fail_write() {
  // A file that cannot be written ends the run, flagged as data lost,
  // instead of logging nothing for the rest of it.
  close_data_file();
  engine_.ring().add_status(kStatusOverrun);
  set_last_error(KV_ERR_FILE_OPEN);
  failed_ = true;
  return false;
}

bool Logger::save_start_time() {
  if ((mode_ != kLogRaw && mode_ != kLogText) || recorded_) return true;
  std::string text;
  // A device that cannot tell its start time leaves the line out.
  if (config_path_.empty() || !hooks_.log_start_time(&text)) return true;
  TextFile config(kModeAppend);
  if (!config.Open(config_path_.c_str())) return false;
  const bool written = config.WriteLine(("Start Sampling Time," + text).c_str()) == 1;
  return config.Close() == 0 && written;
}

void Logger::first_data() {
  if (!change_time_stamp()) {
    fail_write();
    return;
  }
  engine_.ring().add_status(kStatusLogFileOpened);
  if (!save_start_time()) fail_write();
}

bool Logger::write_samples(const char* data, uint32_t samples) {
  if (samples == 0) return true;
  if (!file_ || !file_->is_open()) return fail_write();
  const uint32_t width = scan_.sample_bytes;
  if (text_mode()) {
    scratch_.clear();
    char value[64];
    for (uint32_t i = 0; i < samples; ++i) {
      int32_t raw;
      if (width == 2) {
        int16_t v;
        std::memcpy(&v, data + 2 * i, 2);
        raw = v;
      } else {
        std::memcpy(&raw, data + 4 * i, 4);
      }
      const int n = hooks_.log_value_text(raw, channel_position_, value, sizeof value);
      scratch_.insert(scratch_.end(), value, value + (n > 0 ? n : 0));
      channel_position_ = (channel_position_ + 1) % scan_.channels;
      if (channel_position_ == 0) {
        scratch_.push_back('\r');
        scratch_.push_back('\n');
      } else {
        scratch_.push_back(',');
      }
    }
    file_->WriteChar(scratch_.data(), static_cast<unsigned>(scratch_.size()));
  } else {
    if (width == 2) {
      shorts_.resize(samples);  // aligned copies; capacity is kept between blocks
      std::memcpy(shorts_.data(), data, static_cast<std::size_t>(samples) * 2);
      file_->WriteShort(shorts_.data(), samples);
    } else {
      longs_.resize(samples);
      std::memcpy(longs_.data(), data, static_cast<std::size_t>(samples) * 4);
      file_->WriteLong(longs_.data(), samples);
    }
    channel_position_ =
        static_cast<uint32_t>((uint64_t{channel_position_} + samples) % scan_.channels);
  }
  return file_->failed() ? fail_write() : true;
}

bool Logger::store(uint32_t, const char* data, uint32_t bytes) {
  if (failed_) return false;
  const double period_ms = period_minutes_ * 60000.0;
  if (scan_.trigger_mode == 8) {
    // Mode 8 logs the received bytes as they are.
    if (!file_ || !file_->is_open()) return fail_write();
    file_->WriteChar(data, bytes);
    if (file_->failed()) return fail_write();
    if (engine_.start_timer().GetGlobalTicks() >= period_ms && !change_time_stamp())
      return fail_write();
    return true;
  }
  // Whole samples only: a sample split across receives waits for its rest.
  const uint32_t width = scan_.sample_bytes;
  std::string joined;
  if (!partial_.empty()) {
    joined = partial_;
    joined.append(data, bytes);
    data = joined.data();
    bytes = static_cast<uint32_t>(joined.size());
  }
  const uint32_t count = bytes / width;
  partial_.assign(data + static_cast<std::size_t>(count) * width, bytes % width);

  const bool split_due = grouping_ != 0 && engine_.start_timer().GetGlobalTicks() >= period_ms;
  // Samples of the scan left unfinished by this block (counted from what
  // was written, so that a device whose connections are merged before
  // they come here splits alike).
  const uint32_t rest = static_cast<uint32_t>((uint64_t{channel_position_} + count) % scan_.channels);
  // Split only where a scan ends, so that every file but the last holds
  // whole scans and every later file starts with channel 0.
  if (!split_due || rest > count) return write_samples(data, count);
  if (!write_samples(data, count - rest)) return false;
  if (!change_time_stamp()) return fail_write();
  return write_samples(data + static_cast<std::size_t>(count - rest) * width, rest);
}

bool Logger::write_line(const char* text, uint32_t bytes) {
  if (failed_) return false;
  if (!file_ || !file_->is_open()) return fail_write();
  file_->WriteChar(text, bytes);
  if (file_->failed()) return fail_write();
  const double period_ms = period_minutes_ * 60000.0;
  if (grouping_ != 0 && engine_.start_timer().GetGlobalTicks() >= period_ms && !change_time_stamp())
    return fail_write();
  return true;
}

void Logger::finish() {
  if (!close_data_file()) fail_write();
}

}  // namespace korvel
