// Device descriptors: the capability record of each device family, and the
// table of I/O cards that slot-based controllers accept.
#pragma once

#include <cstdint>

namespace korvel {

struct QLXmodule {
  char name[20];
  uint16_t model_id;
  uint16_t di_count;
  uint16_t do_count;
  uint16_t ai_count;
  uint16_t ai_gain_count;
  uint32_t sample_bytes;
  uint16_t ao_count;
  uint16_t ao_range_count;
  uint16_t counter_count;
  uint16_t encoder_count;
  uint16_t reserved_c;
};

// Five rows and a terminating row of zeros.
extern const QLXmodule QLXMODULE[6];

enum DescriptorRow : int {
  kRowLX3100 = 0,
  kRowLX3200 = 1,
  kRowMC610s = 2,
  kRowLXR5000 = 3,
  kRowMC620Ws = 4,
};

inline constexpr uint16_t kModelIdLX3100 = 0xA016;
inline constexpr uint16_t kModelIdLX3200 = 0xA024;
inline constexpr uint16_t kModelIdMC610s = 0xA012;
inline constexpr uint16_t kModelIdLXR5000 = 0xA400;
inline constexpr uint16_t kModelIdMC620Ws = 0xA015;

// First row whose model id equals id, or null.
const QLXmodule* GetQLXModuleNamebyID(uint16_t id);

struct SupportedIO {
  char name[32];
  uint32_t card_id;
  uint32_t reserved[3];
  uint32_t channels;
};

extern const SupportedIO Supported_IO_List[8];

}  // namespace korvel
