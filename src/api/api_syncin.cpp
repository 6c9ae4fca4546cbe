// Exported functions: sync-in frame retrieval (LX-3100 only).
#include "api/call.h"
#include "drivers/lx3100/lx3100.h"

using namespace korvel;
using namespace korvel::api;

namespace {

// Devices without sync-in answer like a driver lacking the operation. Frames
// are cut with the stored definition: read under the lifecycle lock, so no
// setter changes it under the cut.
template <class Op>
int with_sync_in(KV_HANDLE handle, Op&& op) {
  return with_settings(handle, [&](MODEL& d) {
    auto* lx = dynamic_cast<LX3100*>(&d);
    if (!lx) {
      set_last_error(KV_ERR_UNSUPPORTED);
      return 0;
    }
    return op(*lx);
  });
}

SyncInOutputs rows(unsigned int* header, void** analog, unsigned char** bits_a,
                   unsigned char** bits_b, void** words_a, void** words_b) {
  SyncInOutputs out;
  out.header = header;
  out.analog = analog;
  out.bits_a = bits_a;
  out.bits_b = bits_b;
  out.words_a = words_a;
  out.words_b = words_b;
  return out;
}

}  // namespace

extern "C" {

KV_API int KV_GetSyncInBuffer(KV_HANDLE handle, unsigned int* header, void** analog,
                              unsigned char** bits_a, unsigned char** bits_b, void** words_a,
                              void** words_b, void*, void*, unsigned int frames) {
  return with_sync_in(handle, [&](LX3100& d) {
    return d.GetSyncInFrames(SyncInShape::Rows,
                             rows(header, analog, bits_a, bits_b, words_a, words_b), frames);
  });
}

KV_API int KV_GetSyncInBufferDW(KV_HANDLE handle, unsigned int* header, void** analog,
                                unsigned char** bits_a, unsigned char** bits_b, void** words_a,
                                void** words_b, void*, void*, unsigned int frames) {
  return with_sync_in(handle, [&](LX3100& d) {
    return d.GetSyncInFrames(SyncInShape::RowsDW,
                             rows(header, analog, bits_a, bits_b, words_a, words_b), frames);
  });
}

KV_API int KV_GetSyncInBufferLV(KV_HANDLE handle, unsigned int* header, unsigned int* analog,
                                unsigned char*, unsigned char*, unsigned int* words_a,
                                unsigned int* words_b, void*, void*, unsigned int frames) {
  return with_sync_in(handle, [&](LX3100& d) {
    SyncInOutputs out;
    out.header = header;
    out.flat_analog = analog;
    out.flat_words_a = words_a;
    out.flat_words_b = words_b;
    return d.GetSyncInFrames(SyncInShape::Flat, out, frames);
  });
}

KV_API int KV_GetSyncInBufferStatus(KV_HANDLE handle, unsigned short* status,
                                    unsigned int* frames) {
  return with_sync_in(handle, [&](LX3100& d) { return d.GetSyncInStatus(status, frames); });
}

KV_API int KV_ClearSyncInBuffer(KV_HANDLE handle) { return KV_ClearAIBuffer(handle); }

KV_API int KV_GetSyncInTotalSamplingStatus(KV_HANDLE handle, unsigned int* count,
                                           unsigned int* status) {
  return KV_GetTotalSamplingStatus(handle, count, status);
}

}  // extern "C"
