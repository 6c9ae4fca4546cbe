// Reading log files back without a device: a data file opened together with
// its configuration file as a ModelLog, which also calibrates raw codes with
// the gains, offsets and ranges recorded in the configuration.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/handle_table.h"
#include "logging/file_data.h"
#include "model/descriptor.h"

namespace korvel {

class ModelLog {
 public:
  ModelLog(const QLXmodule& module, int data_type);

  // Calibrated code / volts of a raw sample of a channel, by the module the
  // configuration names. 1 done; 0 for a channel outside the arrays
  // (0x18008) or a module without a conversion.
  int Calibrate_HEX(int raw, int channel, int gain_code, int* out);
  int Calibrate_Hex2Float(int raw, int channel, int gain_code, float* out);

  // Samples in the data file: binary files by their size, text files as
  // channel count x lines (counted from the start; the text file is then
  // rewound). Saturates at UINT32_MAX. Remembered as the most a text read
  // may store.
  uint32_t sample_total();
  // Text files: the values of the lines from the current position on, one
  // scan per line: at most channel_count values of a line are taken, and a
  // line with fewer gets NaN for the missing ones, so later values keep
  // their channels. At most count values (when count is not 0) and never
  // more than the last sample_total (taken now if it was never asked), so
  // a caller's array sized by either is never overrun, whatever the file
  // holds. The values stored; 0 for a line without any field.
  int read_text_values(unsigned count, float* values);

  QLXmodule module{};
  std::unique_ptr<BinaryFile> binary;
  std::unique_ptr<TextFile> text;
  char model_name[20] = {};
  uint32_t sample_rate = 0;
  uint16_t external_trigger = 0;
  uint16_t gain = 0;
  uint16_t channel_count = 0;
  uint16_t transfer_mode = 0;
  uint32_t sample_count = 0;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  uint32_t fraction = 0;
  int file_type = -1;
  int data_type = kType16;
  uint8_t sdk_version = 0;
  uint16_t sync_mode = 0;
  std::vector<uint16_t> gains;
  std::vector<int32_t> offsets;
  std::vector<uint32_t> ranges;  // thousandths of a volt

 private:
  // One handle used from two threads: the file position and the reported
  // total are one state.
  std::mutex read_mu_;
  bool total_reported_ = false;
  uint32_t reported_total_ = 0;
};

// Opens a data file with its configuration file; null with 0x14102 when
// either cannot be used (missing, empty, no "Module Name").
std::shared_ptr<ModelLog> OpenConfigAndOpenLogFile(const char* data_path, const char* config_path,
                                                   int file_type);
// Finds the configuration file of a data file in the logger's layout and
// opens both; null with 0x14102.
std::shared_ptr<ModelLog> open_log_file(const char* path);

// The log files handed out and not yet closed, under handles never reused.
using LogHandles = HandleTable<ModelLog>;

LogHandles& OpenLogFiles();

}  // namespace korvel
