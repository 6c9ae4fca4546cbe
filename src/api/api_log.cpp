// Exported functions: logging runs, the SD card and software filters.
#include <string>

#include "api/call.h"

using namespace korvel;
using namespace korvel::api;

extern "C" {

KV_API int KV_StartLogger(KV_HANDLE handle, char* path, int period, int mode) {
  return with_lifecycle(handle, KV_ERR_BUSY_SAMPLING,
                        [&](MODEL& d) { return d.StartLogger(path, period, mode); });
}

KV_API int KV_StartLoggerW(KV_HANDLE, const wchar_t*, int, int) { return not_supported(); }

KV_API int KV_StopLogger(KV_HANDLE handle) {
  return with_lifecycle(handle, KV_ERR_NOT_SUPPORTED, [](MODEL& d) {
    d.StopLogger();
    return 1;
  });
}

KV_API int KV_GetSDAllLogFiles(KV_HANDLE handle, unsigned int* count) {
  return with_device(handle, [&](MODEL& d) { return d.GetSDAllLogFiles(count); });
}

KV_API int KV_GetSDLogFile_Info(KV_HANDLE handle, unsigned int index, unsigned int* first,
                                unsigned int* samples, char* time) {
  return with_device(handle,
                     [&](MODEL& d) { return d.GetSDLogFile_Info(index, first, samples, time); });
}

KV_API int KV_DownloadSDFile(KV_HANDLE handle, unsigned int index, char area, const char* path,
                             int mode) {
  std::string root = path ? path : "";
  return with_lifecycle(handle, KV_ERR_BUSY_SAMPLING, [&](MODEL& d) {
    return d.DownloadSDFile(index, area, root.data(), mode);
  });
}

KV_API int KV_DownloadSDFileW(KV_HANDLE, unsigned int, char, const wchar_t*, int) {
  return not_supported();
}

KV_API int KV_DownloadAllSDFiles(KV_HANDLE, const char*, int) { return 0; }

KV_API int KV_Init_Software_Filter(KV_HANDLE handle, int channel, int order, int sample_rate) {
  return with_device_ok(handle,
                        [&](MODEL& d) { d.Init_Software_Filter(channel, order, sample_rate); });
}

KV_API int KV_Set_LowPassFilter(KV_HANDLE handle, int channel, int enable, float f) {
  return with_device_ok(handle, [&](MODEL& d) { d.Set_LowPassFilter(channel, enable, f); });
}

KV_API int KV_Set_HighPassFilter(KV_HANDLE handle, int channel, int enable, float f) {
  return with_device_ok(handle, [&](MODEL& d) { d.Set_HighPassFilter(channel, enable, f); });
}

KV_API int KV_Set_BandPassFilter(KV_HANDLE handle, int channel, int enable, float f1, float f2) {
  return with_device_ok(handle,
                        [&](MODEL& d) { d.Set_BandPassFilter(channel, enable, f1, f2); });
}

KV_API int KV_Set_BandStopFilter(KV_HANDLE handle, int channel, int enable, float f1, float f2) {
  return with_device_ok(handle,
                        [&](MODEL& d) { d.Set_BandStopFilter(channel, enable, f1, f2); });
}

}  // extern "C"
