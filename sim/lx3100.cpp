#include "lx3100.h"

namespace korvel::sim {

std::optional<std::string> Lx3100::handle(const std::string&) { return std::string("?"); }

}  // namespace korvel::sim
