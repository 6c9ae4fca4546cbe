// The engine's service of several data connections from one worker.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "engine/acq_engine.h"
#include "model/descriptor.h"
#include "model/model.h"

namespace korvel {
namespace {

class NoHooks : public AcqHooks {
 public:
  bool needs_ram_phase(const ScanSettings&) const override { return false; }
  bool limits_receive(const ScanSettings&, RunKind) const override { return false; }
  bool ram_status(uint32_t*, uint32_t*) override { return false; }
  bool transmit() override { return false; }
  uint32_t trigger_index() override { return 0; }
  uint32_t post_trigger_count() const override { return 0; }
};

// Stores of connection 0 take a while (a slow consumer), so that its
// connection always has data waiting again when the worker comes back.
class CountingSink : public RunSink {
 public:
  bool store(uint32_t link, const char*, uint32_t bytes) override {
    if (link == 0) std::this_thread::sleep_for(std::chrono::microseconds(300));
    if (link < 2) bytes_[link] += bytes;
    return true;
  }
  uint64_t bytes(int link) const { return bytes_[link].load(); }

 private:
  std::atomic<uint64_t> bytes_[2] = {};
};

bool wait_until(const std::function<bool()>& pred, int timeout_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// A connection that always has data must not keep the worker from a second
// one whose data arrives while the first is busy: a slot left unserved falls
// a whole ring behind the others.
TEST(EngineLinks, ABusyConnectionDoesNotStarveAQuietOne) {
  int busy[2], quiet[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, busy), 0);
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, quiet), 0);
  for (int fd : {busy[0], quiet[0]}) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
  // The writer's sends give up now and then, so that it sees the end.
  timeval tv{0, 50000};
  setsockopt(busy[1], SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);

  MODEL device("127.0.0.1", 0, 0, QLXMODULE[kRowMC610s]);
  NoHooks hooks;
  CountingSink sink;
  AcqEngine engine(device, hooks);
  ScanSettings s;
  s.channels = 1;
  s.rate = 1000;
  ASSERT_TRUE(engine.start(RunKind::Scan, s, 1000, {DataLink{busy[0], 0}, DataLink{quiet[0], 0}},
                           &sink));

  std::atomic<bool> pump{true};
  std::thread writer([&] {
    std::vector<char> block(1 << 16);
    char acks[1 << 12];
    while (pump) {
      (void)send(busy[1], block.data(), block.size(), 0);
      while (recv(busy[1], acks, sizeof acks, MSG_DONTWAIT) > 0) {
      }
    }
  });
  EXPECT_TRUE(wait_until([&] { return sink.bytes(0) > (1u << 20); }, 10000));
  const char small[64] = {};
  ASSERT_EQ(send(quiet[1], small, sizeof small, 0), static_cast<ssize_t>(sizeof small));
  EXPECT_TRUE(wait_until([&] { return sink.bytes(1) == sizeof small; }, 2000));

  pump = false;
  engine.stop();
  writer.join();
  for (int fd : {busy[0], busy[1], quiet[0], quiet[1]}) close(fd);
}

}  // namespace
}  // namespace korvel
