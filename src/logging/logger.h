// The logger: writes a running acquisition into a configuration file and
// time-split data files instead of the ring. It is the engine's sink for
// logging runs; drivers fill in what differs through LogHooks.
//
// Layout below the log root:
//   config/IP_<stem>_<tag>_<y>_<m>_<d>_<h>_<min>_<s>.config
//   log/<stem>/<group folder>/<stem>_<tag>_<y>_<m>_<d>_<h>_<min>_<s>.bin|.txt
// where <stem> is the address with '_' for '.', <tag> four or more lower-case
// hexadecimal digits drawn per run.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/acq_engine.h"
#include "logging/file_data.h"

namespace korvel {

// What differs between devices. Called on the worker thread, except
// log_config_lines (application thread, when the run starts).
class LogHooks {
 public:
  virtual ~LogHooks() = default;
  // The configuration file's lines, in order, without line ends.
  virtual std::vector<std::string> log_config_lines() = 0;
  // The device's start time of the acquisition; false when not available.
  virtual bool log_start_time(std::string* text) = 0;
  // A raw sample of a channel as text for text data files ("%0.5lf" of its
  // calibrated value on the LX-3100).
  virtual int log_value_text(int32_t raw, unsigned channel, char* out, std::size_t capacity) = 0;
};

// Logger modes.
enum LoggerModeCode : int {
  kLogRaw = 0,            // raw .bin, configuration with start time
  kLogText = 1,           // calibrated .txt, configuration with start time
  kLogRawNoStart = 2,     // raw .bin, configuration without start time
  kLogTextNoConfig = 3,   // calibrated text (named .bin), no configuration
  kLogRawNoConfig = 4,    // raw .bin, no configuration
};

struct LogRun {
  const char* root = nullptr;  // log root; the current folder when null
  int period_minutes = 0;      // LogFilePeriod
  int mode = kLogRaw;          // LoggerMode
  uint32_t grouping = 1;       // LogFolderGrouping 0..7
  const char* ip = nullptr;    // the device's address
  ScanSettings scan;
  // An SD-card download: the configuration file holds the device's text
  // (null: the device's lines, LogHooks), and the configuration and the
  // first data file are named after the recording's time instead of now;
  // no start-time line is added.
  const std::string* config_text = nullptr;
  const std::tm* recorded_time = nullptr;
  // The device sends text records, which the driver turns into lines
  // (write_line) of ".txt" data files, whatever the mode.
  bool records = false;
};

class Logger : public RunSink {
 public:
  Logger(AcqEngine& engine, LogHooks& hooks);
  ~Logger() override;

  // Application thread, before the run's thread starts: forms the names,
  // writes the configuration file and creates the data folder. False with
  // the last error set (0x1300C for an over-long root, 0x14102 when the
  // configuration file cannot be written).
  bool prepare(const LogRun& run);
  // Application thread, after the run's thread has ended: closes the data
  // file; when a file of the run could not be written (or closed), sets the
  // caller's last error to 0x14102.
  void close();
  // Application thread, after the run's thread has ended, for a run that
  // never started (the device refused it): closes and removes the files it
  // created, so no empty run is left to be listed.
  void abandon();
  // Appends the device's start time to the configuration file (modes 0, 1);
  // false when the line could not be written out.
  bool save_start_time();

  // RunSink, on the worker thread.
  void first_data() override;
  bool store(uint32_t link, const char* data, uint32_t bytes) override;
  void finish() override;
  // A run of records: writes one whole line (its end included) and then,
  // when the file's period is over, opens the next file, so that every
  // file holds whole lines. False ends the run (the file is lost).
  bool write_line(const char* text, uint32_t bytes);

  const std::string& config_path() const { return config_path_; }
  const std::string& data_folder() const { return data_folder_; }
  const std::string& current_file() const { return current_path_; }
  uint32_t tag() const { return tag_; }

 private:
  // Opens the next data file (ChangeTimeStamp); false when it cannot be, or
  // when the previous one could not be closed.
  bool change_time_stamp();
  // Closes the data file, if any; false when its buffered bytes could not
  // be written out (a full disk shows here first).
  bool close_data_file();
  std::string group_folder(const std::tm& t);
  bool write_samples(const char* data, uint32_t samples);
  bool fail_write();
  bool text_mode() const { return mode_ == kLogText || mode_ == kLogTextNoConfig; }

  AcqEngine& engine_;
  LogHooks& hooks_;
  int mode_ = kLogRaw;
  int period_minutes_ = 0;
  uint32_t grouping_ = 1;
  ScanSettings scan_;
  uint32_t tag_ = 0;
  std::string stem_;
  std::string data_folder_;
  std::string config_path_;
  std::string first_group_;  // groupings 5 and 7 keep the first file's folder
  std::tm file_time_{};      // LogFileTime
  // A download's recording time: names its configuration and first file.
  bool recorded_ = false;
  bool records_ = false;
  std::tm recorded_time_{};
  std::unique_ptr<BinaryFile> file_;
  std::string current_path_;
  std::set<std::string> written_;  // data files of this run
  uint32_t channel_position_ = 0;
  std::string partial_;  // bytes of a sample split across receives
  // A write, flush or close failed: the run is over (0x02 and, as its
  // thread ends, 0x10). Written by the run's thread; read by close() after
  // that thread was joined.
  bool failed_ = false;
  std::vector<char> scratch_;
  std::vector<short> shorts_;
  std::vector<int> longs_;
};

}  // namespace korvel
