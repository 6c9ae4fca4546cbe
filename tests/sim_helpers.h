// Simulated devices for tests: each on a loopback address of its own.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fs_helpers.h"
#include "korvel/sim/device.h"
#include "korvel/sim/signal.h"

namespace korvel::test {

inline sim::Config sim_config(const std::string& family = "LX3100") {
  sim::Config c;
  c.model = family;
  c.address = sim::unique_loopback_address();
  return c;
}

// A device that sends its data as fast as the library takes it.
inline sim::Config fast_config(const std::string& family = "LX3100") {
  sim::Config c = sim_config(family);
  c.fast = true;
  return c;
}

// Starts a simulated device or fails the test.
inline std::unique_ptr<sim::Device> start_sim(const sim::Config& config) {
  auto d = std::make_unique<sim::Device>(config);
  std::string error;
  EXPECT_TRUE(d->start(&error)) << error;
  return d;
}

}  // namespace korvel::test

#include "korvel/korvel.h"

namespace korvel::test {

// A simulated device and the library's handle for it.
struct OpenDevice {
  std::unique_ptr<sim::Device> sim;
  KV_HANDLE handle = nullptr;

  // before_open prepares the simulated device before the library opens it
  // (the library reads the calibration tables when it opens a device).
  explicit OpenDevice(sim::Config config = sim_config(),
                      const std::function<void(sim::Model&)>& before_open = nullptr) {
    sim = start_sim(config);
    if (before_open) sim->with_model(before_open);
    handle = KV_Device_Create(config.address.c_str());
    EXPECT_NE(handle, nullptr) << "last error 0x" << std::hex << KV_GetLastError();
  }
  ~OpenDevice() {
    if (handle) KV_Device_Release(handle);
  }
  OpenDevice(const OpenDevice&) = delete;
  OpenDevice& operator=(const OpenDevice&) = delete;

  template <class M>
  void with(const std::function<void(M&)>& f) {
    sim->with_model([&](sim::Model& m) { f(static_cast<M&>(m)); });
  }
  std::string last_command() const {
    const auto c = sim->commands();
    return c.empty() ? std::string() : c.back();
  }
};

inline unsigned last_error() { return static_cast<unsigned>(KV_GetLastError()); }

// Runs call on a fresh device and checks its result, its error code (when it
// failed) and the exact commands the device received.
inline void expect_exchange(OpenDevice& d, const std::function<int(KV_HANDLE)>& call, int result,
                            unsigned error, const std::vector<std::string>& commands) {
  d.sim->clear_commands();
  KV_SetLastError(0);
  EXPECT_EQ(call(d.handle), result);
  if (result == 0) {
    EXPECT_EQ(last_error(), error);
  }
  EXPECT_EQ(d.sim->commands(), commands);
}

// One call on a device: its result, its error code (when it failed) and
// the exact commands it must send.
struct ExchangeCase {
  const char* name;
  std::function<int(KV_HANDLE)> call;
  int result;
  unsigned error;
  std::vector<std::string> commands;
};

inline void expect_exchanges(OpenDevice& d, const std::vector<ExchangeCase>& cases) {
  for (const ExchangeCase& c : cases) {
    SCOPED_TRACE(c.name);
    expect_exchange(d, c.call, c.result, c.error, c.commands);
  }
}

// A 24-bit code as the device sends it: its low 24 bits.
inline unsigned raw24(int32_t code) { return static_cast<unsigned>(code) & 0xFFFFFFu; }

// Opens the binary log file below root (the only one) and checks that it
// holds the 24-bit stream of `channels` channels and that the reader
// converts every sample exactly as the live device does.
inline void expect_24bit_log_reads_as_device(const std::string& root, KV_HANDLE device,
                                             unsigned channels, int gain, unsigned total) {
  const auto data = files_below(root + "/log", ".bin");
  ASSERT_EQ(data.size(), 1u);
  std::string file = data[0];
  KV_HANDLE log = KV_LogFile_Open(file.data());
  ASSERT_NE(log, nullptr);
  std::vector<unsigned> raw(total);
  ASSERT_EQ(KV_GetLogFile_AIDataHex(log, 0, total, raw.data()), static_cast<int>(total));
  for (unsigned n = 0; n < total; ++n) {
    ASSERT_EQ(raw[n], raw24(sim::stream_code24(channels, n))) << n;
    const int c = static_cast<int>(n % channels);
    float from_log = 0, live = 0;
    ASSERT_EQ(KV_Calibrate_Data_Float(log, c, gain, static_cast<int>(raw[n]), &from_log), 1);
    KV_Calibrate_Data_Float(device, c, gain, static_cast<int>(raw[n]), &live);
    ASSERT_EQ(from_log, live) << n;
  }
  KV_LogFile_Close(log);
}

// Polls pred until it holds (true) or timeout_ms passed (false). The
// deadline is generous: test machines stall for tens of milliseconds.
inline bool wait_until(const std::function<bool()>& pred, int timeout_ms = 8000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// A device's events as its callback saw them: id, value and thread.
struct EventLog {
  std::mutex mu;
  std::vector<std::pair<unsigned short, unsigned>> events;
  std::vector<std::thread::id> threads;
  static void record(KV_HANDLE, unsigned short event, unsigned value, void* user) {
    auto* log = static_cast<EventLog*>(user);
    std::lock_guard<std::mutex> lock(log->mu);
    log->events.emplace_back(event, value);
    log->threads.push_back(std::this_thread::get_id());
  }
  std::vector<std::pair<unsigned short, unsigned>> take() {
    std::lock_guard<std::mutex> lock(mu);
    return events;
  }
  int count(unsigned short event) {
    std::lock_guard<std::mutex> lock(mu);
    return static_cast<int>(
        std::count_if(events.begin(), events.end(), [&](const auto& e) { return e.first == event; }));
  }
  bool wait_for(unsigned short event, int timeout_ms = 5000) {
    return wait_until([&] { return count(event) > 0; }, timeout_ms);
  }
};

// Polls the buffer status until all of bits are set (bounded); the last status.
inline unsigned short wait_status(KV_HANDLE h, unsigned short bits, int timeout_ms = 8000) {
  unsigned short status = 0;
  unsigned count = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < end) {
    KV_GetAIBufferStatus(h, &status, &count);
    if ((status & bits) == bits) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
  }
  return status;
}

}  // namespace korvel::test
