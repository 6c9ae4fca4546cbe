#include "korvel/sim/device.h"
#include "korvel/sim/lx3100.h"
#include "korvel/sim/lx3200.h"
#include "korvel/sim/lxr5000.h"
#include "korvel/sim/mc.h"

namespace korvel::sim {

std::unique_ptr<Model> make_model(const std::string& family) {
  if (family == "LX3100") return std::make_unique<Lx3100>();
  if (family == "LX3200") return std::make_unique<Lx3200>();
  if (family == "LXR5000") return std::make_unique<Lxr5000>();
  if (family == "MC610s") return std::make_unique<McModel>(false);
  if (family == "MC620Ws") return std::make_unique<McModel>(true);
  return nullptr;
}

}  // namespace korvel::sim
