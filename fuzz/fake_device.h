// A device's command connection inside the fuzz process: one end of a
// socketpair goes to the driver as its command socket; every CR-ended line
// the driver sends there is answered through a callback (CR added; no
// value: no answer) before send_all returns, on the driver's own thread, so
// an exchange costs no thread hand-off and never waits for a time-out.
// The driver still reads its replies from a real socket. One fake at a time
// (libFuzzer runs inputs one after another on one thread). Built without the
// fuzzing library (the seed generator), a thread of the fake answers instead.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "net/transport.h"

namespace korvel_fuzz {

// Splits data at '\n' into at most max_parts parts (the last takes the rest).
inline std::vector<std::string> split_input(const uint8_t* data, std::size_t size,
                                            std::size_t max_parts) {
  std::vector<std::string> parts(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == '\n' && parts.size() < max_parts)
      parts.emplace_back();
    else
      parts.back().push_back(static_cast<char>(data[i]));
  }
  return parts;
}

class FakeDevice {
 public:
  using Answer = std::function<std::optional<std::string>(const std::string& line)>;

  // Answers with the replies in turn, then "?".
  explicit FakeDevice(std::vector<std::string> replies)
      : FakeDevice(Answer([r = std::move(replies), next = std::size_t{0}](
                              const std::string&) mutable -> std::optional<std::string> {
          return next < r.size() ? r[next++] : std::string("?");
        })) {}

  explicit FakeDevice(Answer answer) : answer_(std::move(answer)) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return;
    driver_fd_ = sv[0];
    own_fd_ = sv[1];
    fcntl(own_fd_, F_SETFL, fcntl(own_fd_, F_GETFL) | O_NONBLOCK);
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    current() = this;
    korvel::fuzz_after_send = [](int socket) {
      if (FakeDevice* f = current(); f != nullptr && socket == f->driver_fd_) f->serve();
    };
#else
    thread_ = std::thread([this] {
      // Until the driver closes its end.
      for (pollfd p{own_fd_, POLLIN, 0}; poll(&p, 1, -1) >= 0 && serve();) {
      }
    });
#endif
  }
  ~FakeDevice() {
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    korvel::fuzz_after_send = nullptr;
    current() = nullptr;
#else
    if (thread_.joinable()) thread_.join();
#endif
    if (own_fd_ >= 0) close(own_fd_);
  }
  FakeDevice(const FakeDevice&) = delete;
  FakeDevice& operator=(const FakeDevice&) = delete;

  // The driver's end; the driver closes it.
  int driver_fd() const { return driver_fd_; }

 private:
  static FakeDevice*& current() {
    static FakeDevice* f = nullptr;
    return f;
  }

  // Answers every whole line waiting on the fake's end; false once the
  // driver has closed its end.
  bool serve() {
    char buf[4096];
    for (;;) {
      const ssize_t n = read(own_fd_, buf, sizeof buf);
      if (n <= 0) return n < 0 && errno == EAGAIN;  // nothing more waiting, or closed
      for (ssize_t i = 0; i < n; ++i) {
        if (buf[i] != '\r') {
          if (line_.size() < 4096) line_.push_back(buf[i]);
          continue;
        }
        std::optional<std::string> out = answer_(line_);
        line_.clear();
        if (!out) continue;
        out->push_back('\r');
        // One write: the whole reply is waiting before the driver reads it.
        (void)!send(own_fd_, out->data(), out->size(), MSG_NOSIGNAL);
      }
    }
  }

  Answer answer_;
  std::string line_;
  int driver_fd_ = -1;
  int own_fd_ = -1;
  std::thread thread_;
};

}  // namespace korvel_fuzz
