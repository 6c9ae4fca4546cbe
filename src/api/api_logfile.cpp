// Exported functions: finding, opening and reading log files (no device).
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api/call.h"
#include "logging/file_data.h"
#include "logging/log_reader.h"

using namespace korvel;
using namespace korvel::api;

namespace {

KV_HANDLE hand_out(std::shared_ptr<ModelLog> log) {
  return log ? OpenLogFiles().add(std::move(log)) : nullptr;
}

// Runs op on an open log file; an unknown handle is treated like a null one
// and answered with `none`.
template <class Op>
int with_log(KV_HANDLE handle, int none, Op&& op) {
  return guarded<int>(0, [&] {
    const std::shared_ptr<ModelLog> log = OpenLogFiles().find(handle);
    return log ? op(*log) : none;
  });
}

// Wide to narrow without the 65-character limit of the wide helpers: log
// paths are routinely longer.
bool narrow_path(const wchar_t* path, std::string* out) {
  if (!path) return false;
  const std::size_t n = std::wcstombs(nullptr, path, 0);
  if (n == static_cast<std::size_t>(-1) || n >= kPathCapacity) return false;
  out->resize(n);
  std::wcstombs(out->data(), path, n + 1);
  return true;
}

}  // namespace

extern "C" {

KV_API int KV_GetAllLogFiles(const char* folder, int type) {
  return guarded<int>(0, [&] { return ListLogFiles(folder, type); });
}

KV_API int KV_GetAllLogFilesW(const wchar_t*, int) { return not_supported(); }

KV_API KV_HANDLE KV_LogFile_Open(const char* path) {
  return guarded<KV_HANDLE>(nullptr, [&] { return hand_out(open_log_file(path)); });
}

KV_API KV_HANDLE KV_LogFile_OpenW(const wchar_t* path) {
  return guarded<KV_HANDLE>(nullptr, [&]() -> KV_HANDLE {
    std::string narrow;
    if (!narrow_path(path, &narrow)) {
      set_last_error(KV_ERR_FILE_OPEN);
      return nullptr;
    }
    return hand_out(open_log_file(narrow.c_str()));
  });
}

KV_API KV_HANDLE KV_LogFile_Open_byIndex(int index, char* data_path) {
  return guarded<KV_HANDLE>(nullptr, [&]() -> KV_HANDLE {
    char data[kPathCapacity], config[kPathCapacity];
    if (FindFilename(index, data, config) != 0) return nullptr;
    if (data_path) std::memcpy(data_path, data, std::strlen(data) + 1);
    return hand_out(OpenConfigAndOpenLogFile(data, config, checklogfiletype(data)));
  });
}

KV_API KV_HANDLE KV_LogFile_Open_byIndexW(int, wchar_t*) {
  not_supported();
  return nullptr;
}

KV_API int KV_LogFile_Close(KV_HANDLE handle) {
  return guarded<int>(1, [&] {
    OpenLogFiles().remove(handle);
    return 1;
  });
}

KV_API int KV_GetLogFileInfo(KV_HANDLE handle, char* name, unsigned int* size, unsigned int* type,
                             unsigned int* reserved) {
  return with_log(handle, 1, [&](ModelLog& log) {
    if (name) std::memcpy(name, log.model_name, sizeof log.model_name);
    if (type) *type = static_cast<unsigned int>(log.file_type);
    if (reserved) *reserved = 0;
    uint64_t bytes = 0;
    if (log.file_type == 0 && log.binary) bytes = log.binary->Size();
    else if (log.file_type == 1 && log.text) bytes = log.text->Size();
    else {
      if (size) *size = 0;
      return 0;
    }
    // A size past what the field holds saturates rather than wraps.
    if (size) *size = bytes > UINT_MAX ? UINT_MAX : static_cast<unsigned int>(bytes);
    return 1;
  });
}

KV_API int KV_GetLogFile_AIScanConfigInfo(KV_HANDLE handle, unsigned short* channel_count,
                                          unsigned short* gain, unsigned short* trigger,
                                          unsigned int* sample_rate, unsigned short* transfer_mode,
                                          unsigned short* sync_mode) {
  return with_log(handle, 0, [&](ModelLog& log) {
    if (channel_count) *channel_count = log.channel_count;
    if (gain) *gain = log.gain;
    if (trigger) *trigger = log.external_trigger;
    if (sample_rate) *sample_rate = log.sample_rate;
    if (transfer_mode) *transfer_mode = log.transfer_mode;
    if (sync_mode) *sync_mode = log.sync_mode;
    return 1;
  });
}

KV_API int KV_GetLogFile_GainOffset(KV_HANDLE handle, int channel, unsigned int,
                                    unsigned short* gain, unsigned short* offset) {
  return with_log(handle, 0, [&](ModelLog& log) {
    if (channel < 0 || channel >= log.channel_count ||
        static_cast<std::size_t>(channel) >= log.gains.size())
      return 0;
    if (gain) *gain = log.gains[channel];
    if (offset) *offset = static_cast<unsigned short>(log.offsets[channel] & 0xFFFF);
    return 1;
  });
}

KV_API int KV_GetLogFile_AIScanSampleInfo(KV_HANDLE handle, unsigned int* total, char* date,
                                          char* time) {
  return with_log(handle, 1, [&](ModelLog& log) {
    if (log.binary || log.text) {
      const uint32_t samples = log.sample_total();
      if (total) *total = samples;
    }
    if (date) std::snprintf(date, 16, "%04d/%02d/%02d", log.year, log.month, log.day);
    if (time)
      std::snprintf(time, 32, "%02d:%02d:%02d.%lu", log.hour, log.minute, log.second,
                    static_cast<unsigned long>(log.fraction));
    return 1;
  });
}

KV_API int KV_GetLogFile_AIData(KV_HANDLE handle, unsigned int, unsigned int count,
                                float* values) {
  return with_log(handle, 0,
                  [&](ModelLog& log) { return log.read_text_values(count, values); });
}

KV_API int KV_GetLogFile_AIDataHex(KV_HANDLE handle, unsigned int offset, unsigned int count,
                                   void* codes) {
  return with_log(handle, 0, [&](ModelLog& log) {
    if (!log.binary || !codes) return 0;
    return static_cast<int>(log.binary->ReadFrom(codes, offset, count));
  });
}

}  // extern "C"
