// A raw reader of a simulated 24-bit device's data port that acknowledges
// what it receives, as the library does, in 4-byte sample units.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "korvel/sim/lx_family.h"

namespace korvel::test {

class DataPort24 {
 public:
  DataPort24(const std::string& address, int port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    timeval tv{5, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~DataPort24() { close(fd_); }
  DataPort24(const DataPort24&) = delete;
  DataPort24& operator=(const DataPort24&) = delete;
  bool connected() const { return connected_; }
  // Receives exactly `samples` samples (bounded by the receive time-out),
  // sign-extended.
  std::vector<int32_t> receive(std::size_t samples) {
    std::vector<unsigned char> bytes;
    std::size_t acked = 0;
    while (bytes.size() < 4 * samples) {
      unsigned char buf[4096];
      const ssize_t n = recv(fd_, buf, std::min(sizeof buf, 4 * samples - bytes.size()), 0);
      if (n <= 0) break;
      bytes.insert(bytes.end(), buf, buf + n);
      const auto ack = static_cast<uint32_t>(bytes.size() / 4 - acked);  // whole samples
      if (ack == 0) continue;
      send(fd_, &ack, 4, MSG_NOSIGNAL);
      acked += ack;
    }
    std::vector<int32_t> out;
    for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4) {
      EXPECT_EQ(bytes[i + 3], 0);
      out.push_back(sim::lx::sign_extend24(bytes[i] | bytes[i + 1] << 8 | bytes[i + 2] << 16));
    }
    return out;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

}  // namespace korvel::test
