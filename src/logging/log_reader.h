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
