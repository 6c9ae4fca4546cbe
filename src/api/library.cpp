// Library frame: load and unload, the error functions and the version.
#include <cstring>

#include "core/errors.h"
#include "core/registry.h"
#include "core/version.h"
#include "korvel/korvel.h"

using namespace korvel;

KV_API int KV_Init() {
  clear_last_error();
  set_last_error(KV_NO_ERROR);
  return 0;
}

// Closes every device still open: their workers are stopped and joined while
// the library's code is still there to run them.
KV_API void KV_Free() {
  try {
    remove_all_devices();
  } catch (...) {
  }
}

namespace {
__attribute__((constructor)) void dll_load() { KV_Init(); }
__attribute__((destructor)) void dll_unload() { KV_Free(); }
}  // namespace

extern "C" {

KV_API int KV_GetLastError(void) { return get_last_error(); }

KV_API void KV_SetLastError(unsigned int code) { set_last_error(code); }

KV_API void KV_ClearLastError(void) { clear_last_error(); }

KV_API void KV_GetErrorMessage(unsigned int code, char* text) {
  if (text == nullptr) return;
  const char* m = error_message(code);
  std::memcpy(text, m, std::strlen(m) + 1);
}

KV_API const char* KV_ErrorName(unsigned int code) { return error_name(code); }

KV_API const char* KV_ErrorDescription(unsigned int code) { return error_description(code); }

KV_API void KV_GetSDKVersion(char* text) {
  if (text == nullptr) return;
  std::memcpy(text, KORVEL_SDK_VERSION, sizeof KORVEL_SDK_VERSION);
}

}  // extern "C"
