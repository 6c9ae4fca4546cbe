#include <gtest/gtest.h>
#include <unistd.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "net/clock.h"
#include "net/transport.h"
#include "sim_helpers.h"

namespace korvel {
namespace {

using test::sim_config;
using test::start_sim;

struct AddressCase {
  const char* text;
  int valid;
};

class ValidIPv4 : public ::testing::TestWithParam<AddressCase> {};

TEST_P(ValidIPv4, AcceptsOnlyDottedQuads) {
  EXPECT_EQ(isValidIPv4(GetParam().text), GetParam().valid) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Cases, ValidIPv4,
                         ::testing::Values(AddressCase{"127.0.0.1", 1},
                                           AddressCase{"127.255.255.254", 1},
                                           AddressCase{"127.0.0", 0}, AddressCase{"127.0.0.256", 0},
                                           AddressCase{"localhost", 0}, AddressCase{"", 0},
                                           AddressCase{" 127.0.0.1", 0},
                                           AddressCase{"127.0.0.1,9999", 0}));

TEST(Transport, NullIsNotAnAddress) { EXPECT_EQ(isValidIPv4(nullptr), 0); }

TEST(Clock, SleepRules) {
  errno = 0;
  EXPECT_EQ(msleep(-1), -1);
  EXPECT_EQ(errno, EINVAL);

  EXPECT_EQ(msleep(0), 0);
  int64_t t0 = GetNowMillisecond();

  t0 = GetNowMillisecond();
  EXPECT_EQ(msleep(30), 0);
  EXPECT_GE(GetNowMillisecond() - t0, 30);
}

TEST(Clock, TickCountIsTheLow32BitsOfTheMillisecondClock) {
  const int64_t wide = GetNowMillisecond();
  const uint32_t ticks = GetTickCount();
  EXPECT_LT(static_cast<uint32_t>(ticks - static_cast<uint32_t>(wide)), 100u);
}

TEST(Clock, TimeDataMeasuresSinceReset) {
  TimeData t;
  msleep(20);
  EXPECT_GE(t.GetGlobalTicks(), 20.0);
  // Bounded by an independent clock, not by a guess of how long a step takes.
  const int64_t before = GetNowMillisecond();
  t.reset_ticks();
  const double since = t.GetGlobalTicks();
  const double now = t.GetTimeTicks();
  const int64_t after = GetNowMillisecond();
  EXPECT_LE(since, static_cast<double>(after - before) + 1.0);
  EXPECT_GE(now, static_cast<double>(before) - 1.0);
  EXPECT_LE(now, static_cast<double>(after) + 1.0);
}

class Identification : public ::testing::Test {
 protected:
  int connect_id(sim::Device& d) {
    return OpenTcp(d.config().address.c_str(), d.config().id_port, 1);
  }
};

TEST_F(Identification, ModelIdAndFirmware) {
  auto cfg = sim_config();
  cfg.firmware = 0x105;
  cfg.firmware_date = "2026/01/02 03:04";
  auto dev = start_sim(cfg);
  const int s = connect_id(*dev);
  ASSERT_GE(s, 0);

  char name[20];
  ASSERT_EQ(GetModuleNameTCP(s, name), 1);
  EXPECT_STREQ(name, "LX3100");

  unsigned short version = 0;
  char date[26];
  ASSERT_EQ(GetFirmVersionDateTCP(s, &version, date), 1);
  EXPECT_EQ(version, 0x105);
  EXPECT_STREQ(date, "2026/01/02 03:04");
  CloseTcp(s);
}

struct FirmwareCase {
  unsigned firmware;
  const char* date;
  unsigned short version;
  const char* expected_date;
};

class FirmwareReply : public Identification,
                      public ::testing::WithParamInterface<FirmwareCase> {};

TEST_P(FirmwareReply, Decodes) {
  auto cfg = sim_config();
  cfg.firmware = GetParam().firmware;
  cfg.firmware_date = GetParam().date;
  auto dev = start_sim(cfg);
  const int s = connect_id(*dev);
  ASSERT_GE(s, 0);
  unsigned short version = 0;
  char date[64];
  std::memset(date, 0x7F, sizeof date);
  ASSERT_EQ(GetFirmVersionDateTCP(s, &version, date), 1);
  EXPECT_EQ(version, GetParam().version);
  EXPECT_STREQ(date, GetParam().expected_date);
  EXPECT_EQ(date[26], 0x7F);  // never more than 25 characters and the NUL
  CloseTcp(s);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FirmwareReply,
    ::testing::Values(
        // A version wider than 16 bits keeps its low 16 bits.
        FirmwareCase{0x12345, "2026/05/06", 0x2345, "2026/05/06"},
        // Dates are cut to 25 characters.
        FirmwareCase{0x312, "0123456789abcdefghijklmnopqrstuvwxyz", 0x312,
                     "0123456789abcdefghijklmno"},
        // A date with its own spaces splits at the first space after the version.
        FirmwareCase{0x776, "Nov 20 2026", 0x776, "Nov 20 2026"}));

TEST_F(Identification, LongIdIsCutToTheCallersBuffer) {
  auto cfg = sim_config();
  cfg.id = "LX3100-WITH-A-VERY-LONG-IDENTIFIER";
  auto dev = start_sim(cfg);
  const int s = connect_id(*dev);
  ASSERT_GE(s, 0);
  char name[24];
  std::memset(name, 0x7F, sizeof name);
  ASSERT_EQ(GetModuleNameTCP(s, name, 20), 1);
  EXPECT_EQ(std::string(name), cfg.id.substr(0, 19));
  EXPECT_EQ(name[20], 0x7F);
  CloseTcp(s);
}

TEST_F(Identification, SilentDeviceTimesOutAndLeavesOutputs) {
  auto dev = start_sim(sim_config());
  dev->set_silent_identification(true);
  const int s = connect_id(*dev);
  ASSERT_GE(s, 0);
  char name[20] = "untouched";
  const int64_t t0 = GetNowMillisecond();
  EXPECT_EQ(GetModuleNameTCP(s, name), 0);
  const int64_t took = GetNowMillisecond() - t0;
  EXPECT_GE(took, 900);
  EXPECT_LT(took, 3000);
  EXPECT_STREQ(name, "untouched");
  CloseTcp(s);
}

TEST(Transport, NoSocketMeansNoExchange) {
  char name[20] = "x";
  unsigned short v = 7;
  char date[26] = "y";
  EXPECT_EQ(GetModuleNameTCP(0, name), 0);
  EXPECT_EQ(GetFirmVersionDateTCP(0, &v, date), 0);
  EXPECT_STREQ(name, "x");
  EXPECT_EQ(v, 7);
}

TEST(Transport, RefusedConnectionFailsFast) {
  const std::string addr = sim::unique_loopback_address();  // nothing listens here
  const int64_t t0 = GetNowMillisecond();
  EXPECT_EQ(OpenTcp(addr.c_str(), 10000, 1), -1);
  EXPECT_EQ(OpenTcp_DataPort(addr.c_str(), 10010, 1), -1);
  EXPECT_LT(GetNowMillisecond() - t0, 2000);
}

TEST(Transport, PortIsTakenModulo65536) {
  auto dev = start_sim(sim_config());
  const int s = OpenTcp(dev->config().address.c_str(), 65536 + 10000, 1);
  ASSERT_GE(s, 0);
  char name[20];
  EXPECT_EQ(GetModuleNameTCP(s, name), 1);
  CloseTcp(s);
}

TEST(Transport, DataAvailabilityPoll) {
  auto dev = start_sim(sim_config());
  const int s = OpenTcp_DataPort(dev->config().address.c_str(), dev->config().id_port, 1);
  ASSERT_GE(s, 0);
  int rcvbuf = 0;
  socklen_t len = sizeof rcvbuf;
  getsockopt(s, SOL_SOCKET, SO_RCVBUF, &rcvbuf, &len);
  EXPECT_GE(rcvbuf, 32768);  // the kernel reports twice the requested size
  EXPECT_EQ(IsDataAvailable(s, 0), 0);
  ASSERT_EQ(send_all(s, "10\r", 3), 3);
  int ready = 0;
  for (int i = 0; i < 100 && !ready; ++i) {
    ready = IsDataAvailable(s, 0);
    if (!ready) msleep(10);
  }
  EXPECT_EQ(ready, 1);
  CloseTcp(s);
}

}  // namespace
}  // namespace korvel
