#pragma once

#include <string>

namespace cli {

// Plots a .csv or .npy scan file (rate: scans per second, for .npy time;
// 0 plots against the scan number) into output (.svg or .png).
int plot_file(const std::string& input, const std::string& output, double rate);

}  // namespace cli
