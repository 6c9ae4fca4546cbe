#include "model/descriptor.h"

namespace korvel {

// name, id, DI, DO, AI, AI gains, sample bytes, AO, AO ranges, counters,
// encoders, reserved
const QLXmodule QLXMODULE[6] = {
    {"LX-3100", kModelIdLX3100, 4, 4, 8, 2, 2, 0, 0, 1, 0, 0},
    {"LX-3200", kModelIdLX3200, 3, 4, 4, 10, 4, 2, 4, 0, 1, 0},
    {"MC610s", kModelIdMC610s, 0, 0, 64, 2, 2, 0, 0, 0, 0, 0},
    {"LX-R5000", kModelIdLXR5000, 0, 0, 4, 1, 4, 0, 0, 0, 0, 0},
    {"MC620Ws", kModelIdMC620Ws, 0, 0, 48, 1, 2, 0, 0, 0, 0, 0},
    {"", 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
};

const QLXmodule* GetQLXModuleNamebyID(uint16_t id) {
  for (const QLXmodule* row = QLXMODULE; row->model_id != 0; ++row)
    if (row->model_id == id) return row;
  return nullptr;
}

const SupportedIO Supported_IO_List[8] = {
    {"non", 0, {0, 0, 0}, 0},     {"MR-410A", 1, {0, 0, 0}, 8},
    {"MR-410B", 2, {0, 0, 0}, 12}, {"LX-6300", 3, {0, 0, 0}, 8},
    {"LX-6400", 4, {0, 0, 0}, 12}, {"MR-420A", 5, {0, 0, 0}, 8},
    {"MR-420B", 6, {0, 0, 0}, 16}, {"", 5, {0, 0, 0}, 0},
};

}  // namespace korvel
