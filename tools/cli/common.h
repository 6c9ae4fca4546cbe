// What the korvel commands share: error reports, devices, what a device
// has, progress lines, interrupts.
#pragma once

#include <korvel/korvel.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

namespace cli {

enum Exit : int { kOk = 0, kFailed = 1, kUsage = 2 };

// Reports the calling thread's last library error for `what` (and the
// device address when given): code, name and description. Returns kFailed.
int report(const std::string& what, const std::string& address = {});
// Reports a usage error found after the command line was read (a value the
// device does not allow). Returns kUsage.
int usage_error(const std::string& message);

// What a device has, and how to show it.
struct DeviceInfo {
  std::string model;
  int ai = 0, ranges = 1, ao = 0, di = 0, dout = 0, sample_bytes = 2;
  unsigned code_mask = 0xFFFF;  // the bits of a raw sample
  std::vector<std::string> range_names;
  bool counters = false, encoder = false;
  bool range_tables = true;  // calibration per range (else per channel)
  bool logs = true;          // logging runs into files
  std::vector<int> slots;    // slot controllers: one value per populated slot
};

// A device opened for the command, released when it ends.
class Device {
 public:
  explicit Device(std::string address);
  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
  explicit operator bool() const { return handle_ != nullptr; }
  KV_HANDLE handle() const { return handle_; }
  const std::string& address() const { return address_; }
  const DeviceInfo& info() const { return info_; }
  // Reports the last error with this device's address.
  int fail(const std::string& what) const { return report(what, address_); }

 private:
  std::string address_;
  KV_HANDLE handle_ = nullptr;
  DeviceInfo info_;
};

// Names of a family's ranges, by gain code.
std::vector<std::string> range_names(const std::string& model, int ranges);

// A progress line on stderr, shown only when stderr is a terminal and
// redrawn at most ten times a second.
class Progress {
 public:
  Progress();
  ~Progress();
  template <class... Args>
  void show(const char* format, const Args&... args);
  void show_text(const std::string& text);
  void done();

 private:
  bool tty_;
  bool shown_ = false;
  std::chrono::steady_clock::time_point last_{};
};

// Ctrl-C (and SIGTERM) set this instead of killing the program, so that a
// continuous run ends cleanly and writes what it received.
extern std::atomic<bool> g_interrupted;
void catch_interrupts();

// Sleeps up to ms, returning early on an interrupt.
void nap(int ms);

}  // namespace cli

#include <fmt/core.h>

template <class... Args>
void cli::Progress::show(const char* format, const Args&... args) {
  if (!tty_) return;
  show_text(fmt::format(fmt::runtime(format), args...));
}
