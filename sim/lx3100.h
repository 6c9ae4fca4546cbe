// The LX-3100 as the simulator plays it.
#pragma once

#include "korvel/sim/device.h"

namespace korvel::sim {

class Lx3100 : public Model {
 public:
  std::string id_string() const override { return "LX3100"; }
  std::optional<std::string> handle(const std::string& line) override;
};

}  // namespace korvel::sim
