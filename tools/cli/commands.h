// The korvel commands; main.cpp reads their options.
#pragma once

#include <string>

#include "common.h"

namespace cli {

int info(const std::string& address);
int print_info(const Device& d);

struct ReadOptions {
  std::string address;
  int channel = -1;  // -1: every input
  int gain = 0;
  bool raw = false;
};
int read(const ReadOptions& o);
int print_inputs(const Device& d, const ReadOptions& o);

int dio(const std::string& address, long long set_value);  // set_value < 0: read only

int send(const std::string& address, const std::string& command);

int sd(const std::string& address, int get_index, const std::string& folder);

struct ScanOptions {
  std::string address;
  int channels = 0;  // 0: every input
  int gain = 0;
  int rate = 1000;
  unsigned samples = 0;
  bool continuous = false;
  double seconds = 0;  // continuous: stop after this long (0: at Ctrl-C)
  int trigger = 0;
  std::string output;  // empty: statistics only
  bool raw = false;    // codes instead of volts
  double lowpass = 0, highpass = 0;
  int order = 4;
};
int scan(const ScanOptions& o);

struct LogOptions {
  std::string address;
  std::string dir;
  int mode = 0;
  int period = 1;
  int grouping = -1;  // -1: the device's setting
  double seconds = 0;
  unsigned samples = 0;
  int channels = 0;
  int rate = 1000;
  int gain = 0;
};
int log(const LogOptions& o);
int logs(const std::string& dir);
int export_log(const std::string& path, const std::string& output);

int bench(const std::string& address, int channels, int rate, double seconds);

struct SimOptions {
  std::string model = "LX3100";
  std::string address = "127.0.0.2";
  int cmd_port = 9999, data_port = 10010;
  std::string slots;
  bool fast = false;
};
int sim(const SimOptions& o);

int demo(const std::string& address, const std::string& model);

}  // namespace cli
