// The scan lines every device writes into a logging run's configuration
// file, in the order the log-file reader expects; a family adds its own
// lines between the groups.
#pragma once

#include <string>
#include <vector>

namespace korvel {

struct ScanConfigValues {
  const char* module_name = "";
  const char* ip = "";
  int gain = 0;
  int channels = 0;
  long rate = 0;
  long count = 0;
  int trigger = 0;
  int transfer = 0;
};

// Appends one formatted line (longer lines are cut at 319 characters; the
// longest, the address line, fits).
void add_config_line(std::vector<std::string>& lines, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
// "Module Name", "SDKVersion", "IP", "Gain".
void config_lines_to_gain(std::vector<std::string>& lines, const ScanConfigValues& v);
// "Channel Count", "Sample Rate", "Sample Count", "External Trigger",
// "Transfer Mode".
void config_lines_to_transfer(std::vector<std::string>& lines, const ScanConfigValues& v);

}  // namespace korvel
