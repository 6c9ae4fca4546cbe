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

TEST(Clock, SleepRules) {
  errno = 0;
  EXPECT_EQ(msleep(-1), -1);
  EXPECT_EQ(errno, EINVAL);

  EXPECT_EQ(msleep(0), 0);
  const int64_t t0 = GetNowMillisecond();
  EXPECT_EQ(msleep(30), 0);
  EXPECT_GE(GetNowMillisecond() - t0, 30);
}

TEST(Clock, TimeDataMeasuresSinceReset) {
  TimeData t;
  msleep(20);
  EXPECT_GE(t.GetGlobalTicks(), 20.0);
  // Bounded by an independent clock, not by a guess of how long a step takes.
  const int64_t before = GetNowMillisecond();
  t.reset_ticks();
  const double since = t.GetGlobalTicks();
  const int64_t after = GetNowMillisecond();
  EXPECT_LE(since, static_cast<double>(after - before) + 1.0);
}

class Identification : public ::testing::Test {
 protected:
  int connect_id(sim::Device& d) {
    return OpenTcp(d.config().address.c_str(), d.config().id_port, 1);
  }
};

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

TEST(Transport, DataPortAsksForALargeReceiveBuffer) {
  auto dev = start_sim(sim_config());
  const int s = OpenTcp_DataPort(dev->config().address.c_str(), dev->config().id_port, 1);
  ASSERT_GE(s, 0);
  int rcvbuf = 0;
  socklen_t len = sizeof rcvbuf;
  getsockopt(s, SOL_SOCKET, SO_RCVBUF, &rcvbuf, &len);
  EXPECT_GE(rcvbuf, 32768);  // the kernel reports twice the requested size
  CloseTcp(s);
}

}  // namespace
}  // namespace korvel
