// The scan as a device last accepted it: the fields every scanning driver
// keeps, and the two views of them the engine and the logger take.
#pragma once

#include <cstdint>

#include "engine/acq_engine.h"
#include "logging/config_lines.h"

namespace korvel {

struct ScanFields {
  uint32_t ScanGain = 0;
  uint16_t ScanChannelCount = 8;
  uint16_t ScanTriggerMode = 0;
  uint32_t ScanSampleRate = 100;
  uint32_t ScanSampleCount = 0;
  uint16_t ScanTransferMode = 0;
  bool ScanParamsSet = false;

  // The settings a run starts with.
  ScanSettings run_settings(uint32_t sample_bytes) const {
    ScanSettings s;
    s.channels = ScanChannelCount;
    s.gain = ScanGain;
    s.trigger_mode = ScanTriggerMode;
    s.rate = ScanSampleRate;
    s.sample_count = ScanSampleCount;
    s.sample_bytes = sample_bytes;
    return s;
  }
  // The values of a logging run's configuration lines.
  ScanConfigValues config_values(const char* module_name, const char* ip) const {
    ScanConfigValues v;
    v.module_name = module_name;
    v.ip = ip;
    v.gain = static_cast<int>(ScanGain);
    v.channels = static_cast<int>(ScanChannelCount);
    v.rate = static_cast<long>(ScanSampleRate);
    v.count = static_cast<long>(ScanSampleCount);
    v.trigger = static_cast<int>(ScanTriggerMode);
    v.transfer = static_cast<int>(ScanTransferMode);
    return v;
  }
};

}  // namespace korvel
