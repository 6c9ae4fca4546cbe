#include "logging/config_lines.h"

#include <cstdarg>
#include <cstdio>

#include "core/version.h"

namespace korvel {

void add_config_line(std::vector<std::string>& lines, const char* format, ...) {
  char line[320];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  lines.emplace_back(line);
}

void config_lines_to_gain(std::vector<std::string>& lines, const ScanConfigValues& v) {
  add_config_line(lines, "Module Name,%s", v.module_name);
  add_config_line(lines, "SDKVersion,%s", KORVEL_SDK_VERSION);
  add_config_line(lines, "IP,%s", v.ip);
  add_config_line(lines, "Gain,%d", v.gain);
}

void config_lines_to_transfer(std::vector<std::string>& lines, const ScanConfigValues& v) {
  add_config_line(lines, "Channel Count,%d", v.channels);
  add_config_line(lines, "Sample Rate,%ld", v.rate);
  add_config_line(lines, "Sample Count,%ld", v.count);
  add_config_line(lines, "External Trigger,%d", v.trigger);
  add_config_line(lines, "Transfer Mode,%d", v.transfer);
}

}  // namespace korvel
