// A small RAII layer over the C API: devices and scans that close
// themselves, errors as exceptions, samples as vectors.
#pragma once

#include <korvel/korvel.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace korvel_cpp {

class Error : public std::runtime_error {
 public:
  Error(const std::string& what, unsigned code)
      : std::runtime_error(what + ": " + KV_ErrorName(code) + ": " + KV_ErrorDescription(code)),
        code_(code) {}
  unsigned code() const { return code_; }

 private:
  unsigned code_;
};

inline void check(int ok, const char* what) {
  if (!ok) throw Error(what, static_cast<unsigned>(KV_GetLastError()));
}

class Device {
 public:
  explicit Device(const std::string& address) : h_(KV_Device_Create(address.c_str())) {
    if (!h_) throw Error("opening " + address, static_cast<unsigned>(KV_GetLastError()));
  }
  ~Device() {
    if (h_) KV_Device_Release(h_);
  }
  Device(Device&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
  Device& operator=(Device&&) = delete;
  Device(const Device&) = delete;

  KV_HANDLE handle() const { return h_; }
  std::string model() const {
    char name[32] = {};
    check(KV_GetModelName(h_, name), "KV_GetModelName");
    return name;
  }
  float read(int channel, int gain = 0) const {
    float v = 0;
    check(KV_ReadAI(h_, channel, gain, &v), "KV_ReadAI");
    return v;
  }

 private:
  KV_HANDLE h_;
};

// A running scan; stopped when it goes out of scope.
class Scan {
 public:
  Scan(const Device& d, short channels, int rate, unsigned samples, short gain = 0)
      : h_(d.handle()) {
    check(KV_SetAIScanParam(h_, channels, gain, 0, rate, samples, 0, 0), "KV_SetAIScanParam");
    check(KV_StartAIScan(h_), "KV_StartAIScan");
  }
  ~Scan() { KV_StopAIScan(h_); }
  Scan(const Scan&) = delete;
  Scan& operator=(const Scan&) = delete;

  // Every sample of a finite scan, in volts, waiting at most `limit`.
  std::vector<float> collect(unsigned samples, std::chrono::milliseconds limit) {
    std::vector<float> out(samples);
    unsigned taken = 0;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (taken < samples && std::chrono::steady_clock::now() < end) {
      const int got = KV_GetAIBuffer(h_, out.data() + taken, samples - taken);
      taken += static_cast<unsigned>(got);
      unsigned short status = 0;
      unsigned waiting = 0;
      KV_GetAIBufferStatus(h_, &status, &waiting);
      if ((status & KV_STATUS_ENDED) && waiting == 0) break;
      if (got == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    out.resize(taken);
    return out;
  }

 private:
  KV_HANDLE h_;
};

}  // namespace korvel_cpp
