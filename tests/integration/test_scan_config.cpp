// Scan parameters, configuration items and triggers of the LX-3100.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "korvel/korvel.h"
#include "korvel/sim/lx3100.h"
#include "core/registry.h"
#include "model/model.h"
#include "sim_helpers.h"

namespace korvel::test {
namespace {

using sim::Fault;
using sim::Lx3100;

struct ScanParamCase {
  const char* name;
  short ch, gain, trig;
  int rate;
  unsigned count;
  unsigned error;  // 0: accepted
};

TEST(ScanParam, ChecksComeInOrderAndSendNothingOnARangeError) {
  const ScanParamCase cases[] = {
      {"Mode4", 8, 0, 4, 1000, 100, 0x18006},
      {"Mode7BeforeOtherChecks", 0, 9, 7, 0, 0, 0x18006},
      {"Mode10", 8, 0, 10, 1000, 100, 0x18006},
      {"Mode2NeedsCount", 8, 0, 2, 1000, 0, 0x1800C},
      {"Mode9NeedsCount", 8, 0, 9, 1000, 0, 0x1800C},
      {"RateZero", 8, 0, 0, 0, 100, 0x18007},
      {"RateTooHigh", 1, 0, 0, 200001, 100, 0x18007},
      {"RateHighestFinite", 1, 0, 0, 200000, 100, 0},
      {"ContinuousAtTheLimit", 8, 0, 0, 30000, 0, 0},
      {"ContinuousOneHertzOver", 8, 0, 0, 30001, 0, 0x1800C},
      {"ContinuousMode1NotLimited", 8, 0, 1, 30001, 0, 0},
      {"NoChannels", 0, 0, 0, 1000, 100, 0x18008},
      {"NineChannels", 9, 0, 0, 1000, 100, 0x18008},
      {"Gain2", 8, 2, 0, 1000, 100, 0x18005},
      {"CountTooLarge", 8, 0, 0, 1000, 30000001, 0x18007},
      {"CountLargest", 8, 0, 0, 1000, 30000000, 0},
  };
  OpenDevice d;
  for (const ScanParamCase& c : cases) {
    SCOPED_TRACE(c.name);
    d.sim->clear_commands();
    const int r = KV_SetAIScanParam(d.handle, c.ch, c.gain, c.trig, c.rate, c.count, 0, 0);
    if (c.error == 0) {
      EXPECT_EQ(r, 1);
    } else {
      EXPECT_EQ(r, 0);
      EXPECT_EQ(last_error(), c.error);
      EXPECT_TRUE(d.sim->commands().empty());  // nothing sent on a range error
    }
  }
}

TEST(ScanParam, CommandsAndReadBack) {
  OpenDevice d;
  d.sim->clear_commands();
  ASSERT_EQ(KV_SetAIScanParam(d.handle, 4, 1, 3, 12345, 1000, 1, 7), 1);
  EXPECT_EQ(d.sim->commands(),
            (std::vector<std::string>{"~01PG1C4T3M1", "$01R0C0G0", "$01R0C0G1", "$01R0C1G0",
                                      "$01R0C1G1", "$01R0C2G0", "$01R0C2G1", "$01R0C3G0",
                                      "$01R0C3G1", "$01R0C4G0", "$01R0C4G1", "$01R0C5G0",
                                      "$01R0C5G1", "$01R0C6G0", "$01R0C6G1", "$01R0C7G0",
                                      "$01R0C7G1", "~01R012345", "~01T0000001000", "~01A3"}));
  short ch, gain, trig, xfer, opt;
  int rate;
  unsigned count;
  ASSERT_EQ(KV_GetAIScanParam(d.handle, &ch, &gain, &trig, &rate, &count, &xfer, &opt), 1);
  EXPECT_EQ(ch, 4);
  EXPECT_EQ(gain, 1);
  EXPECT_EQ(trig, 3);
  EXPECT_EQ(rate, 12345);
  EXPECT_EQ(count, 1000u);
  EXPECT_EQ(xfer, 1);
  EXPECT_EQ(opt, 3);  // the device holds only the option's low two bits
  // Same gain again: no calibration reload.
  d.sim->clear_commands();
  ASSERT_EQ(KV_SetAIScanParam(d.handle, 4, 1, 0, 100, 0, 0, 0), 1);
  EXPECT_EQ(d.sim->count_commands("$01R0C"), 0u);
}

TEST(ScanParam, ReadBackRoundsTheCountUpToWholeScans) {
  OpenDevice d;
  d.with<Lx3100>([](Lx3100& m) {
    m.state().channels = 4;
    m.state().sample_count = 1001;
  });
  short ch, gain, trig, xfer, opt;
  int rate;
  unsigned count;
  ASSERT_EQ(KV_GetAIScanParam(d.handle, &ch, &gain, &trig, &rate, &count, &xfer, &opt), 1);
  EXPECT_EQ(count, 1004u);
  EXPECT_EQ(d.last_command(), "~01T0000001004");
  d.with<Lx3100>([](Lx3100& m) { EXPECT_EQ(m.state().sample_count, 1004u); });
}

TEST(ScanParam, FailedExchangeLeavesEarlierFieldsStored) {
  OpenDevice d;
  d.sim->add_fault(Fault::no_reply("~01T"));
  EXPECT_EQ(KV_SetAIScanParam(d.handle, 2, 0, 0, 500, 100, 0, 0), 0);
  EXPECT_EQ(last_error(), 0x17002u);
  d.with<Lx3100>([](Lx3100& m) {
    EXPECT_EQ(m.state().channels, 2);
    EXPECT_EQ(m.state().rate, 500);
  });
}

// Read-back values this device cannot have are refused whole: a device
// claiming 9 channels would otherwise make buffer reads count samples that
// were never written.
TEST(ScanParam, ImpossibleReadBackIsRefusedAndNothingStored) {
  struct Case {
    const char* command;
    const char* reply;
  };
  for (const Case& c : {Case{"~01P", "!01G0C0T0M0"}, Case{"~01P", "!01G0C9T0M0"},
                        Case{"~01P", "!01G9C2T0M0"}, Case{"~01R", "!01000000"},
                        Case{"~01R", "!01999999"}, Case{"~01T", "!0199999999"},
                        Case{"~01A", "!01x"}}) {
    OpenDevice d(fast_config());
    ASSERT_EQ(KV_SetAIScanParam(d.handle, 2, 0, 0, 1000, 100, 0, 0), 1);
    d.sim->add_fault(Fault::reply(c.command, c.reply));
    short ch = 0, gain = 0, trig = 0, xfer = 0, opt = 0;
    int rate = 0;
    unsigned count = 0;
    EXPECT_EQ(KV_GetAIScanParam(d.handle, &ch, &gain, &trig, &rate, &count, &xfer, &opt), 0)
        << c.reply;
    EXPECT_EQ(last_error(), 0x17008u) << c.reply;
    // The scan runs as configured before: 100 samples of 2 channels.
    ASSERT_EQ(KV_StartAIScan(d.handle), 1);
    ASSERT_EQ(wait_status(d.handle, 0x84) & 0x84, 0x84) << c.reply;
    std::vector<float> v(400, 7.0f);
    EXPECT_EQ(KV_GetAIBuffer(d.handle, v.data(), 400), 100) << c.reply;
    EXPECT_EQ(v[100], 7.0f) << c.reply;
    KV_StopAIScan(d.handle);
  }
}

TEST(ScanParam, InvalidHandleZeroesAllOutputs) {
  short ch = 1, gain = 1, trig = 1, xfer = 1, opt = 1;
  int rate = 1;
  unsigned count = 1;
  EXPECT_EQ(KV_GetAIScanParam(nullptr, &ch, &gain, &trig, &rate, &count, &xfer, &opt), 0);
  EXPECT_EQ(ch + gain + trig + xfer + opt + rate + static_cast<int>(count), 0);
}

using ConfigCase = ExchangeCase;

class ConfigItems : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(ConfigItems, Commands) {
  const ConfigCase& c = GetParam();
  OpenDevice d;
  expect_exchange(d, c.call, c.result, c.error, c.commands);
}

int g_value;

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigItems,
    ::testing::Values(
        ConfigCase{"Item0", [](KV_HANDLE h) { return KV_SetConfig(h, 0, 0, 1); }, 0, 0x1300C, {}},
        ConfigCase{"Item3", [](KV_HANDLE h) { return KV_GetConfig(h, 3, 0, &g_value); }, 0,
                   0x1300C, {}},
        ConfigCase{"RateExponent", [](KV_HANDLE h) { return KV_SetConfig(h, 2, 2, 3); }, 1, 0,
                   {"~01V3"}},
        ConfigCase{"RateExponentWrongIndex", [](KV_HANDLE h) { return KV_SetConfig(h, 2, 1, 3); },
                   0, 0x1300C, {}},
        ConfigCase{"RateExponentTooLarge", [](KV_HANDLE h) { return KV_SetConfig(h, 2, 2, 7); },
                   0, 0x1300C, {}},
        ConfigCase{"RateExponentRead",
                   [](KV_HANDLE h) {
                     KV_SetConfig(h, 2, 2, 4);
                     int r = KV_GetConfig(h, 2, 2, &g_value);
                     EXPECT_EQ(g_value, 4);
                     return r;
                   },
                   1, 0, {"~01V4", "~01V"}},
        ConfigCase{"GroupingStored",
                   [](KV_HANDLE h) {
                     KV_SetConfig(h, 4, 1, 0);  // 0 with a continuous scan is kept as 1
                     int r = KV_GetConfig(h, 4, 1, &g_value);
                     EXPECT_EQ(g_value, 1);
                     return r;
                   },
                   1, 0, {}},
        ConfigCase{"GroupingTooLarge", [](KV_HANDLE h) { return KV_SetConfig(h, 4, 1, 8); }, 0,
                   0x1300C, {}},
        ConfigCase{"SecondLoggerValue",
                   [](KV_HANDLE h) {
                     EXPECT_EQ(KV_GetConfig(h, 4, 2, &g_value), 1);
                     EXPECT_EQ(static_cast<unsigned>(g_value), 4000000000u);
                     return KV_SetConfig(h, 4, 2, 12);
                   },
                   1, 0, {}},
        ConfigCase{"RpfZeroBecomes500", [](KV_HANDLE h) { return KV_SetConfig(h, 5, 0, 0); }, 1,
                   0, {"~01RPF00500"}},
        ConfigCase{"Rpf501Becomes500", [](KV_HANDLE h) { return KV_SetConfig(h, 5, 0, 501); }, 1,
                   0, {"~01RPF00500"}},
        ConfigCase{"RpfRead",
                   [](KV_HANDLE h) {
                     KV_SetConfig(h, 5, 0, 250);
                     int r = KV_GetConfig(h, 5, 0, &g_value);
                     EXPECT_EQ(g_value, 250);
                     return r;
                   },
                   1, 0, {"~01RPF00250", "~01RP"}},
        ConfigCase{"DtClamped", [](KV_HANDLE h) { return KV_SetConfig(h, 5, 1, 5000); }, 1, 0,
                   {"~01DT01000"}},
        ConfigCase{"DtRead",
                   [](KV_HANDLE h) {
                     KV_SetConfig(h, 5, 1, 0);
                     int r = KV_GetConfig(h, 5, 1, &g_value);
                     EXPECT_EQ(g_value, 1);
                     return r;
                   },
                   1, 0, {"~01DT00001", "~01DT"}},
        ConfigCase{"TimeoutOverride",
                   [](KV_HANDLE h) {
                     KV_SetConfig(h, 5, 2, 7);
                     int r = KV_GetConfig(h, 5, 2, &g_value);
                     EXPECT_EQ(g_value, 7);
                     return r;
                   },
                   1, 0, {}},
        ConfigCase{"Item5OtherIndexSet", [](KV_HANDLE h) { return KV_SetConfig(h, 5, 3, 1); }, 0,
                   0x19002, {}},
        ConfigCase{"Item5OtherIndexGet",
                   [](KV_HANDLE h) {
                     g_value = 9;
                     int r = KV_GetConfig(h, 5, 3, &g_value);
                     EXPECT_EQ(g_value, 0);
                     return r;
                   },
                   0, 0x1300C, {}},
        ConfigCase{"ChannelFactorRoundTrips",
                   [](KV_HANDLE h) {
                     for (int v : {1500, 9, 7, 123456, -250}) {
                       EXPECT_EQ(KV_SetConfig(h, 6, 3, v), 1);
                       EXPECT_EQ(KV_GetConfig(h, 6, 3, &g_value), 1);
                       EXPECT_EQ(g_value, v);
                     }
                     return 1;
                   },
                   1, 0,
                   {"~01ED03G3FC00000", "~01ED03", "~01ED03G3C1374BC", "~01ED03",
                    "~01ED03G3BE56042", "~01ED03", "~01ED03G42F6E979", "~01ED03",
                    "~01ED03GBE800000", "~01ED03"}},
        ConfigCase{"ChannelFactorBadChannel", [](KV_HANDLE h) { return KV_SetConfig(h, 6, 8, 1); },
                   0, 0x1300C, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Config, RateExponentLowersTheRateLimit) {
  OpenDevice d;
  ASSERT_EQ(KV_SetAIScanParam(d.handle, 1, 0, 0, 200000, 100, 0, 0), 1);
  EXPECT_EQ(KV_SetConfig(d.handle, 2, 2, 1), 0);  // 200000 > 200000 / 2
  EXPECT_EQ(last_error(), 0x1300Cu);
  ASSERT_EQ(KV_SetAIScanParam(d.handle, 1, 0, 0, 100000, 100, 0, 0), 1);
  ASSERT_EQ(KV_SetConfig(d.handle, 2, 2, 1), 1);
  EXPECT_EQ(KV_SetAIScanParam(d.handle, 1, 0, 0, 100001, 100, 0, 0), 0);
  EXPECT_EQ(last_error(), 0x18007u);
  EXPECT_EQ(KV_SetAIScanParam(d.handle, 1, 0, 0, 100000, 100, 0, 0), 1);
}

TEST(Config, ExchangeFailureOfTheRateExponent) {
  OpenDevice d;
  d.sim->add_fault(Fault::no_reply("~01V"));
  EXPECT_EQ(KV_SetConfig(d.handle, 2, 2, 1), 0);
  EXPECT_EQ(last_error(), 0x19002u);
  d.sim->add_fault(Fault::reply("~01V", "!01x"));  // not 3 characters: refused quietly
  KV_SetLastError(0);
  EXPECT_EQ(KV_SetConfig(d.handle, 2, 2, 1), 0);
  EXPECT_EQ(last_error(), 0u);
}

class AnalogTrigger : public ::testing::Test {
 protected:
  void SetUp() override {
    dev_ = std::make_unique<OpenDevice>();
    ASSERT_EQ(KV_SetAIScanParam(dev_->handle, 4, 0, 6, 1000, 1000, 0, 0), 1);
  }
  std::unique_ptr<OpenDevice> dev_;
};

TEST_F(AnalogTrigger, LevelsBecomeCodesOfEveryChannel) {
  char enable[2] = {1, 0};
  float high[2] = {2.5f, 0}, low[2] = {-1.0f, 0};
  dev_->sim->clear_commands();
  ASSERT_EQ(KV_SetAIAnalogTriggerParam(dev_->handle, 1, enable, high, low, 2, 300, 700), 1);
  const auto cmds = dev_->sim->commands();
  ASSERT_EQ(cmds.size(), 9u);  // the mode command and all eight channels
  EXPECT_EQ(cmds[0], "~01XM1L00000300R00000700");
  // Channel 0: gain factor 32768, offset -4: code = (v*32768/5 + 4) * 32767 / 32768.
  auto code = [](float v) {
    const float c = v * 32768.0f / 5.0f;
    return static_cast<uint16_t>(static_cast<int32_t>((c + 4.0f) * 32767.0f / 32768.0f));
  };
  char expected[32];
  std::snprintf(expected, sizeof expected, "~01XC0H%04XL%04X", code(2.5f), code(-1.0f));
  EXPECT_EQ(cmds[1], expected);
  EXPECT_EQ(cmds[2], "~01XC1H7FFFL8000");
  EXPECT_EQ(cmds[8], "~01XC7H7FFFL8000");

  int mode = 9;
  char en[2];
  float h[2], l[2];
  unsigned pre = 0, post = 0, reserved = 9;
  ASSERT_EQ(KV_GetAIAnalogTriggerParam(dev_->handle, &mode, en, h, l, 2, &pre, &post, &reserved),
            1);
  EXPECT_EQ(mode, 1);
  EXPECT_EQ(pre, 300u);
  EXPECT_EQ(post, 700u);
  EXPECT_EQ(reserved, 0u);
  EXPECT_EQ(en[0], 1);
  EXPECT_NEAR(h[0], 2.5f, 0.001f);
  EXPECT_NEAR(l[0], -1.0f, 0.001f);
  EXPECT_EQ(en[1], 0);
  EXPECT_EQ(h[1], 0.0f);
}

TEST_F(AnalogTrigger, WindowMustMatchTheSampleCountAndNothingIsSent) {
  char enable[1] = {1};
  float high[1] = {1.0f}, low[1] = {0.0f};
  dev_->sim->clear_commands();
  EXPECT_EQ(KV_SetAIAnalogTriggerParam(dev_->handle, 0, enable, high, low, 1, 300, 600), 0);
  EXPECT_EQ(last_error(), 0x18010u);
  EXPECT_TRUE(dev_->sim->commands().empty());
}

TEST_F(AnalogTrigger, ArgumentChecks) {
  char enable[9] = {1, 1, 1, 1, 1, 1, 1, 1, 1};
  float high[9] = {}, low[9] = {};
  EXPECT_EQ(KV_SetAIAnalogTriggerParam(dev_->handle, 4, enable, high, low, 1, 300, 700), 0);
  EXPECT_EQ(last_error(), 0x1800Eu);
  EXPECT_EQ(KV_SetAIAnalogTriggerParam(dev_->handle, 0, enable, high, low, 9, 300, 700), 0);
  EXPECT_EQ(last_error(), 0x17008u);
  high[0] = 5.01f;  // beyond the +-5 V range of gain 0
  EXPECT_EQ(KV_SetAIAnalogTriggerParam(dev_->handle, 0, enable, high, low, 1, 300, 700), 0);
  EXPECT_EQ(last_error(), 0x1800Fu);
}

TEST_F(AnalogTrigger, Mode3DisabledChannelReadsBackAsEnabled) {
  char enable[1] = {0};
  float high[1] = {0}, low[1] = {0};
  ASSERT_EQ(KV_SetAIAnalogTriggerParam(dev_->handle, 3, enable, high, low, 1, 300, 700), 1);
  EXPECT_EQ(dev_->sim->commands()[dev_->sim->commands().size() - 8], "~01XC0H8000L7FFF");
  int mode;
  char en[1];
  float h[1], l[1];
  unsigned pre, post, reserved;
  ASSERT_EQ(KV_GetAIAnalogTriggerParam(dev_->handle, &mode, en, h, l, 1, &pre, &post, &reserved),
            1);
  EXPECT_EQ(en[0], 1);
  EXPECT_LT(h[0], -4.9f);  // 0x8000 as a code
  EXPECT_GT(l[0], 4.9f);
}

TEST_F(AnalogTrigger, ReadBackArgumentChecksAndInvalidHandle) {
  int mode = 5;
  char en[9];
  float h[9], l[9];
  unsigned pre = 5, post = 5, reserved = 5;
  EXPECT_EQ(KV_GetAIAnalogTriggerParam(dev_->handle, &mode, en, h, l, 9, &pre, &post, &reserved),
            0);
  EXPECT_EQ(last_error(), 0x17008u);
  EXPECT_EQ(mode + static_cast<int>(pre + post + reserved), 0);
  mode = pre = post = reserved = 5;
  EXPECT_EQ(KV_GetAIAnalogTriggerParam(nullptr, &mode, en, h, l, 2, &pre, &post, &reserved), 0);
  EXPECT_EQ(mode + static_cast<int>(pre + post + reserved), 0);
}

TEST(DelayTrigger, RangeAndReadBack) {
  OpenDevice d;
  EXPECT_EQ(KV_SetAIDelayTriggerParam(d.handle, 4), 0);
  EXPECT_EQ(last_error(), 0x1800Du);
  EXPECT_EQ(KV_SetAIDelayTriggerParam(d.handle, 10000001), 0);
  ASSERT_EQ(KV_SetAIDelayTriggerParam(d.handle, 5000), 1);
  EXPECT_EQ(d.last_command(), "~01Y00005000");
  unsigned delay = 0, extra = 9;
  ASSERT_EQ(KV_GetAIDelayTriggerParam(d.handle, &delay, &extra), 1);
  EXPECT_EQ(delay, 5000u);
  EXPECT_EQ(extra, 0u);
  delay = extra = 9;
  EXPECT_EQ(KV_GetAIDelayTriggerParam(nullptr, &delay, &extra), 0);
  EXPECT_EQ(delay + extra, 0u);
}

TEST(Transmit, NeedsAnAcceptingReply) {
  OpenDevice d;
  EXPECT_EQ(KV_TransmitDataCmd(d.handle), 0);  // nothing in the device's RAM: "?"
  EXPECT_EQ(d.last_command(), "~01E");
}

}  // namespace
}  // namespace korvel::test
