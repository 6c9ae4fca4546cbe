// A device's command connection inside the fuzz process: one end of a
// socketpair goes to the driver as its command socket, a thread on the other
// end answers every CR-ended line through a callback (CR added; no value:
// no answer). The fuzz targets answer every line at once with the input's
// replies, so no exchange waits for a time-out.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

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
    int stop[2];
    if (pipe2(stop, O_CLOEXEC) != 0) {
      close(sv[0]);
      close(sv[1]);
      return;
    }
    driver_fd_ = sv[0];
    own_fd_ = sv[1];
    stop_read_ = stop[0];
    stop_write_ = stop[1];
    thread_ = std::thread([this] { serve(); });
  }
  ~FakeDevice() {
    if (thread_.joinable()) {
      const char c = 1;
      (void)!write(stop_write_, &c, 1);
      thread_.join();
    }
    for (int fd : {own_fd_, stop_read_, stop_write_})
      if (fd >= 0) close(fd);
  }
  FakeDevice(const FakeDevice&) = delete;
  FakeDevice& operator=(const FakeDevice&) = delete;

  // The driver's end; the driver closes it.
  int driver_fd() const { return driver_fd_; }

 private:
  void serve() {
    char buf[4096];
    for (;;) {
      pollfd p[2] = {{own_fd_, POLLIN, 0}, {stop_read_, POLLIN, 0}};
      if (poll(p, 2, -1) < 0) continue;
      if (p[1].revents) return;
      const ssize_t n = read(own_fd_, buf, sizeof buf);
      if (n <= 0) return;  // the driver closed or shut down its end
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
  int stop_read_ = -1;
  int stop_write_ = -1;
  std::thread thread_;
};

}  // namespace korvel_fuzz
