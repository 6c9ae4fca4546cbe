// The slot controllers' simulator read by a plain socket client: a few
// replies, and the out-of-step streams of a finite scan, slot by slot.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "korvel/sim/mc.h"
#include "sim_helpers.h"

namespace korvel::test {
namespace {

// A connected TCP socket, closed with its owner.
struct Socket {
  int fd = -1;
  Socket(const std::string& address, int port) {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      close(fd);
      fd = -1;
    }
  }
  ~Socket() {
    if (fd >= 0) close(fd);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  // Waits at most timeout_ms for something to read.
  bool readable(int timeout_ms) const {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeout_ms) == 1;
  }
};

// One command line out, its CR-ended reply back (without the CR); "" when
// none comes within a second.
std::string exchange(Socket& cmd, const std::string& line) {
  const std::string out = line + "\r";
  if (send(cmd.fd, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) return "";
  std::string reply;
  while (reply.empty() || reply.back() != '\r') {
    char c[256];
    if (!cmd.readable(1000)) return "";
    const ssize_t n = recv(cmd.fd, c, sizeof c, 0);
    if (n <= 0) return "";
    reply.append(c, static_cast<std::size_t>(n));
  }
  reply.pop_back();
  return reply;
}

struct ReplyCase {
  const char* model;
  const char* slots;
  std::vector<std::pair<std::string, std::string>> exchanges;  // command, reply
};

TEST(SimMc, Replies) {
  const std::vector<ReplyCase> cases = {
      {"MC610s", "",
       {{"$01C", "!01311010000"},
        {"$01FS8", ">0123,0133,0000,0143,0000,0000,0000,0000"},
        {"~01PS3G1C4T2M1", "!01"},
        {"~01PS3", "!01G1C4T2M1"},
        {"~01PS2", "?"},  // no card there
        {"~01PS0G0C9T0M0", "?"},
        {"~01RS8012345", "!01"},
        {"~01RS0", "!0112345"},
        {"~01TS10000001010", "!01"},
        {"~01TS1", "!011010"},
        {"~01XS1M2L00000010R00000020", "!01"},
        {"~01XS1M", "!011M2L10R20"},
        {"~01XS3C7H1234LABCD", "!01"},
        {"~01XS3C7", "!01H1234LABCD"},
        {"~01XN", "!0110"},
        {"~01EDS2C7G3F800000", "!01"},
        {"~01EDS2C7", "!013F800000"},
        {"~01EDS3C0", "?"},  // ordinal 3 does not exist
        {"~01RPF00042", "!01"},
        {"~01RP", "!01F00042"},
        {"~01DT00007", "!01"},
        {"~01DT", "!0100007"},
        {"~01S", "?"},
        {"$01Q", "!01"},
        {"~01Q", "?"}}},
      {"MC620Ws", "",
       {{"$01C", "!0103193"},
        {"$01F", "!0123,0133,0143"},
        {"~01PS01G0C10T0M0", "!01"},
        {"~01PS01", "!01G0C10T0M0"},
        {"~01PS00G0C09T0M0", "?"},  // an 8-channel card
        {"~01R000500", "!01"},
        {"~01R", "!01500"},
        {"~01TS020000000099", "!01"},
        {"~01TS02", "!0199"},
        {"~01DT00003", "!01"},
        {"~01D", "!0100003"},
        {"~01S0", "?"}}},
      {"MC620Ws", "5", {{"$01C", "!01015"}, {"$01F", "!0123,0000"}, {"#01H", "!"}}},
  };
  for (const ReplyCase& c : cases) {
    SCOPED_TRACE(c.model + std::string(" ") + c.slots);
    sim::Config config = sim_config(c.model);
    config.slots = c.slots;
    auto dev = start_sim(config);
    Socket cmd(config.address, config.cmd_port);
    ASSERT_GE(cmd.fd, 0);
    for (const auto& [line, reply] : c.exchanges) EXPECT_EQ(exchange(cmd, line), reply) << line;
  }
}

TEST(SimMc, SinglePointReadsFollowSlotCodesAndCalibration) {
  sim::Config config = sim_config("MC610s");
  auto dev = start_sim(config);
  Socket cmd(config.address, config.cmd_port);
  ASSERT_GE(cmd.fd, 0);
  // Physical slot 3 is ordinal 2: global channels 16..23.
  const std::string raw = exchange(cmd, "#01HS3G1");
  const std::string volts = exchange(cmd, "#01S3G1");
  const std::string cal = exchange(cmd, "$01RS30G1");
  ASSERT_EQ(raw.size(), 33u);
  ASSERT_EQ(volts.size(), 57u);
  ASSERT_EQ(cal.size(), 65u);
  for (int c = 0; c < 8; ++c) {
    const auto code = static_cast<int16_t>(std::stoul(raw.substr(1 + 4 * c, 4), nullptr, 16));
    EXPECT_EQ(code, sim::slot_code(16 + c, 0));
    const auto gain = std::stoul(cal.substr(1 + 8 * c, 4), nullptr, 16);
    const auto offset = static_cast<int16_t>(std::stoul(cal.substr(5 + 8 * c, 4), nullptr, 16));
    EXPECT_NEAR(static_cast<double>(gain), 32768.0, 400.0);
    const double expected = static_cast<double>(((code * static_cast<long>(gain)) >> 15) + offset) / 3276.8;
    EXPECT_NEAR(std::stod(volts.substr(1 + 7 * c, 7)), expected, 0.0001);
  }
}

// A finite scan read slot by slot as a driver would: per port, in turn,
// whatever has arrived, acknowledging whole samples.
struct StreamCase {
  const char* model;
  int channels;         // of the scan
  unsigned long total;  // samples of the scan
  // Per ordinal: the setup commands and the samples it must deliver.
  std::vector<std::string> setup;
  std::vector<int> ports;           // data port offsets, in ordinal order
  std::vector<int> slot_channels;   // channels each ordinal carries
  std::vector<unsigned long> targets;
  const char* start;
};

TEST(SimMc, OutOfStepStreamsDeliverEachSlotsSamples) {
  const std::vector<StreamCase> cases = {
      {"MC610s", 20, 1010,
       {"~01PS0G0C8T0M0", "~01PS1G0C8T0M0", "~01PS3G0C4T0M0", "~01RS8001000",
        "~01TS00000000408", "~01TS10000000402", "~01TS30000000200"},
       {0, 1, 3}, {8, 8, 4}, {408, 402, 200}, "~01S0"},
      {"MC620Ws", 30, 30 * 300 + 7,
       {"~01PS00G0C08T0M0", "~01PS01G0C10T0M0", "~01PS02G0C06T0M0", "~01R001000",
        "~01TS000000002403", "~01TS010000004802", "~01TS020000001802"},
       {0, 1, 2}, {8, 16, 6}, {2403, 4802, 1802}, "~01S"},
  };
  for (const StreamCase& c : cases) {
    SCOPED_TRACE(c.model);
    sim::Config config = sim_config(c.model);
    config.fast = true;
    auto dev = start_sim(config);
    Socket cmd(config.address, config.cmd_port);
    ASSERT_GE(cmd.fd, 0);
    std::vector<std::unique_ptr<Socket>> data;
    for (int k : c.ports) {
      data.push_back(std::make_unique<Socket>(config.address, config.data_port + k));
      ASSERT_GE(data.back()->fd, 0);
    }
    for (const std::string& line : c.setup) ASSERT_EQ(exchange(cmd, line), "!01") << line;
    ASSERT_EQ(exchange(cmd, c.start), "!01");

    const std::size_t slots = c.ports.size();
    std::vector<std::string> got(slots);
    std::vector<unsigned> odd_blocks(slots);
    unsigned first = 0;
    std::vector<unsigned> firsts;
    for (int n : c.slot_channels) firsts.push_back(first), first += static_cast<unsigned>(n);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    auto done = [&] {
      for (std::size_t k = 0; k < slots; ++k)
        if (got[k].size() < 2 * c.targets[k]) return false;
      return true;
    };
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      for (std::size_t k = 0; k < slots; ++k) {
        if (!data[k]->readable(5)) continue;
        char buf[7300];
        const ssize_t n = recv(data[k]->fd, buf, sizeof buf, 0);
        ASSERT_GT(n, 0);
        const std::size_t before = got[k].size() / 2;
        got[k].append(buf, static_cast<std::size_t>(n));
        if (n % 2) ++odd_blocks[k];
        const uint32_t ack = htole32(static_cast<uint32_t>(got[k].size() / 2 - before));
        ASSERT_EQ(send(data[k]->fd, &ack, 4, MSG_NOSIGNAL), 4);
      }
    }
    ASSERT_TRUE(done());
    EXPECT_TRUE(dev->wait_stream_done(5000));
    for (std::size_t k = 0; k < slots; ++k) {
      SCOPED_TRACE(k);
      ASSERT_EQ(got[k].size(), 2 * c.targets[k]);
      const auto n = static_cast<unsigned>(c.slot_channels[k]);
      for (std::size_t m = 0; m < c.targets[k]; ++m) {
        const auto v = static_cast<int16_t>(static_cast<uint8_t>(got[k][2 * m]) |
                                            static_cast<uint8_t>(got[k][2 * m + 1]) << 8);
        ASSERT_EQ(v, sim::slot_code(firsts[k] + static_cast<unsigned>(m % n), m / n)) << m;
      }
      // The pieces are odd-sized: blocks end mid-sample.
      EXPECT_GT(odd_blocks[k], 0u);
      const sim::StreamStats stats = dev->stream_stats(c.ports[k]);
      EXPECT_EQ(stats.acked_units, c.targets[k]);
      EXPECT_EQ(stats.ack_mismatches, 0u);
    }
    // Nothing beyond the targets.
    for (std::size_t k = 0; k < slots; ++k) EXPECT_FALSE(data[k]->readable(20));
  }
}

// Reads what a data socket delivers within timeout_ms of quiet, acknowledging
// each block with `ack(bytes)`; the blocks.
std::vector<std::string> read_blocks(Socket& s, std::size_t want, int timeout_ms,
                                     const std::function<uint32_t(std::size_t)>& ack) {
  std::vector<std::string> blocks;
  std::size_t total = 0;
  while (total < want && s.readable(timeout_ms)) {
    char buf[4096];
    const ssize_t n = recv(s.fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    blocks.emplace_back(buf, static_cast<std::size_t>(n));
    total += static_cast<std::size_t>(n);
    const uint32_t a = htole32(ack(static_cast<std::size_t>(n)));
    send(s.fd, &a, 4, MSG_NOSIGNAL);
  }
  return blocks;
}

TEST(SimMc, TriggerMode4SlotsSendOneTextRecordPerBlock) {
  sim::Config config = sim_config("MC620Ws");
  config.fast = true;
  auto dev = start_sim(config);
  dev->with_model([](sim::Model& m) { static_cast<sim::McModel&>(m).state().reported_trigger_mode = 4; });
  Socket cmd(config.address, config.cmd_port);
  Socket slot1(config.address, config.data_port + 1);
  ASSERT_TRUE(cmd.fd >= 0 && slot1.fd >= 0);
  for (const char* line : {"~01PS00G0C08T0M0", "~01PS01G0C05T0M0", "~01TS000000000000",
                           "~01TS010000000006", "~01S"})
    ASSERT_EQ(exchange(cmd, line), "!01") << line;
  EXPECT_EQ(exchange(cmd, "~01PS01"), "!01G0C05T4M0");
  // Acknowledged as one each, the way a host counts records.
  const auto blocks = read_blocks(slot1, 6 * sim::kMcRecordBytes, 1000, [](std::size_t) { return 1u; });
  ASSERT_EQ(blocks.size(), 6u);
  for (std::size_t r = 0; r < blocks.size(); ++r) EXPECT_EQ(blocks[r], sim::mc_record(8, 5, 1, r));
  EXPECT_EQ(blocks[3].substr(0, 31), "12:00:03,0000000003,01," + blocks[3].substr(23, 8));
  EXPECT_EQ(blocks[3].substr(52), ",0.000,0.000,0.000");
  EXPECT_EQ(std::stod(blocks[3].substr(23, 5)) * 1000, std::round(sim::mc_record_value(8, 3) * 1000));
}

// Real time: a slot's samples take rate x channels per second; a stop ends
// every slot's stream.
TEST(SimMc, RealTimeStreamsKeepTheRateAndStopOnZ) {
  sim::Config config = sim_config("MC610s");
  config.slots = "10100000";
  auto dev = start_sim(config);
  Socket cmd(config.address, config.cmd_port);
  Socket slot0(config.address, config.data_port);
  Socket slot2(config.address, config.data_port + 2);
  ASSERT_TRUE(cmd.fd >= 0 && slot0.fd >= 0 && slot2.fd >= 0);
  for (const char* line : {"~01PS0G0C8T0M0", "~01PS2G0C3T0M0", "~01RS8002000", "~01TS00000000000",
                           "~01TS20000000000", "~01S0"})
    ASSERT_EQ(exchange(cmd, line), "!01") << line;
  const auto start = std::chrono::steady_clock::now();
  auto whole = [](std::size_t n) { return static_cast<uint32_t>(n / 2); };
  std::size_t got = 0;
  std::size_t carry = 0;
  // 300 scans of slot 2 (3 channels) at 2000 scans/s: not before 150 ms.
  while (got < 900 * 2 && slot2.readable(1000)) {
    char buf[4096];
    const ssize_t n = recv(slot2.fd, buf, sizeof buf, 0);
    ASSERT_GT(n, 0);
    got += static_cast<std::size_t>(n);
    const uint32_t a = htole32(static_cast<uint32_t>((carry + static_cast<std::size_t>(n)) / 2));
    carry = (carry + static_cast<std::size_t>(n)) % 2;
    send(slot2.fd, &a, 4, MSG_NOSIGNAL);
  }
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  EXPECT_GE(got, 1800u);
  EXPECT_GE(ms.count(), 140);
  EXPECT_EQ(exchange(cmd, "~01Z"), "!01");
  read_blocks(slot0, SIZE_MAX, 100, whole);  // what was on its way
  read_blocks(slot2, SIZE_MAX, 100, whole);
  EXPECT_FALSE(slot0.readable(50));
  EXPECT_FALSE(slot2.readable(50));
  EXPECT_FALSE(dev->stream_stats(0).active);
  EXPECT_FALSE(dev->stream_stats(2).active);
}

TEST(SimMc, AFaultEndsOneSlotsStreamOnly) {
  sim::Config config = sim_config("MC610s");
  config.fast = true;
  auto dev = start_sim(config);
  Socket cmd(config.address, config.cmd_port);
  Socket slot0(config.address, config.data_port);
  Socket slot1(config.address, config.data_port + 1);
  ASSERT_TRUE(cmd.fd >= 0 && slot0.fd >= 0 && slot1.fd >= 0);
  dev->set_stream_fault({sim::StreamFault::Kind::Close, 100}, 1);
  for (const char* line : {"~01PS0G0C8T0M0", "~01PS1G0C8T0M0", "~01TS00000000800",
                           "~01TS10000000800", "~01S0"})
    ASSERT_EQ(exchange(cmd, line), "!01") << line;
  std::map<int, std::size_t> bytes;
  std::map<int, bool> closed;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!(closed[1] && bytes[0] == 1600) && std::chrono::steady_clock::now() < deadline) {
    for (auto [k, s] : {std::pair{0, &slot0}, std::pair{1, &slot1}}) {
      if (closed[k] || !s->readable(5)) continue;
      char buf[4096];
      const ssize_t n = recv(s->fd, buf, sizeof buf, 0);
      if (n <= 0) {
        closed[k] = true;
        continue;
      }
      const std::size_t before = bytes[k] / 2;
      bytes[k] += static_cast<std::size_t>(n);
      const uint32_t ack = htole32(static_cast<uint32_t>(bytes[k] / 2 - before));
      send(s->fd, &ack, 4, MSG_NOSIGNAL);
    }
  }
  EXPECT_EQ(bytes[0], 1600u);
  EXPECT_FALSE(closed[0]);
  EXPECT_TRUE(closed[1]);
  EXPECT_EQ(bytes[1], 200u);
}

}  // namespace
}  // namespace korvel::test
