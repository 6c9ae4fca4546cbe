// The LX-3200 end to end against its simulator: single-point I/O, outputs,
// encoder, scan configuration, a sample-exact scan, and a log read back
// with the driver's own calibration.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "fs_helpers.h"
#include "korvel/korvel.h"
#include "korvel/sim/lx3200.h"
#include "korvel/sim/signal.h"
#include "sim_helpers.h"

namespace korvel::test {
namespace {

using sim::Lx3200;

constexpr float kNominal[10] = {10.0f, 5.0f, 2.5f, 1.25f, 0.625f, 0.3f, 0.15f, 0.075f, 0.04f, 0.02f};

TEST(Lx3200, OperationsSendTheirCommandsAndRefuseBadArguments) {
  OpenDevice d(fast_config("LX3200"));
  ASSERT_NE(d.handle, nullptr);
  const std::vector<ExchangeCase> cases = {
      {"AO volts", [](KV_HANDLE h) { return KV_WriteAO(h, 0, 1, 2.5f); }, 1, 0, {"#0101+02.500"}},
      {"AO negative", [](KV_HANDLE h) { return KV_WriteAO(h, 1, 3, -0.25f); }, 1, 0, {"#0113-00.250"}},
      {"AO code keeps 16 bits", [](KV_HANDLE h) { return KV_WriteAOHEX(h, 1, 2, 0x1ABCD); }, 1, 0,
       {"#0112ABCD"}},
      {"AO channel", [](KV_HANDLE h) { return KV_WriteAO(h, 2, 0, 1.0f); }, 0, KV_ERR_INPUT_CHANNEL, {}},
      {"AO range", [](KV_HANDLE h) { return KV_WriteAOHEX(h, 0, 4, 0); }, 0, KV_ERR_GAIN_RANGE, {}},
      {"DO", [](KV_HANDLE h) { return KV_WriteDO(h, 5); }, 1, 0, {"@01D5"}},
      {"DO too wide", [](KV_HANDLE h) { return KV_WriteDO(h, 16); }, 0, KV_ERR_VALUE_RANGE, {}},
      {"encoder set", [](KV_HANDLE h) { return KV_SetEncoderMode(h, 0, 2, 8, 3); }, 1, 0, {"$01D833"}},
      {"encoder clear resends", [](KV_HANDLE h) { return KV_ClearEncoder(h, 0); }, 1, 0, {"$01D833"}},
      {"encoder s1", [](KV_HANDLE h) { return KV_SetEncoderMode(h, 0, 3, 0, 0); }, 0,
       KV_ERR_VALUE_RANGE, {}},
      {"encoder channel", [](KV_HANDLE h) { return KV_SetEncoderMode(h, 1, 0, 0, 0); }, 0,
       KV_ERR_INPUT_CHANNEL, {}},
      {"no DI counters", [](KV_HANDLE h) { unsigned v; return KV_GetDICNT(h, 0, &v); }, 0,
       KV_ERR_UNSUPPORTED, {}},
      {"no delay trigger", [](KV_HANDLE h) { return KV_SetAIDelayTriggerParam(h, 100); }, 0,
       KV_ERR_UNSUPPORTED, {}},
      {"raw read of no channel", [](KV_HANDLE h) { int v[4]; return KV_ReadAIALLHEX(h, 0, v, 0); },
       0, KV_ERR_INPUT_CHANNEL, {}},
      {"rate divisor item", [](KV_HANDLE h) { return KV_SetConfig(h, 2, 2, 1); }, 0,
       KV_ERR_INVALID_ARGUMENT, {}},
  };
  expect_exchanges(d, cases);
  d.with<Lx3200>([](Lx3200& m) {
    EXPECT_EQ(m.state().encoder_s1, 2);
    EXPECT_EQ(m.state().ao[0].volts.value_or(0), 2.5);
    m.state().encoder_count = 0x89ABCDEF;
  });
  int s1 = -1, s2 = -1, s3 = -1;
  EXPECT_EQ(KV_GetEncoderMode(d.handle, 0, &s1, &s2, &s3), 1);
  EXPECT_EQ(s1, 2);
  EXPECT_EQ(s2, 8);
  EXPECT_EQ(s3, 3);
  unsigned count = 0;
  EXPECT_EQ(KV_ReadEncoder(d.handle, 0, &count), 1);
  EXPECT_EQ(count, 0x89ABCDEFu);
}

TEST(Lx3200, EncoderRepliesThatAreNotDataAreRefused) {
  OpenDevice d(fast_config("LX3200"));
  for (const char* reply : {"!01", "?", ">", ">0"}) {
    SCOPED_TRACE(reply);
    d.sim->add_fault(sim::Fault::reply("#01N", reply));
    d.sim->add_fault(sim::Fault::reply("$01D", reply));
    unsigned count = 7;
    int s1 = 7, s2 = 7, s3 = 7;
    EXPECT_EQ(KV_ReadEncoder(d.handle, 0, &count), 0);
    EXPECT_EQ(last_error(), KV_ERR_INVALID_VALUE);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(KV_GetEncoderMode(d.handle, 0, &s1, &s2, &s3), 0);
    EXPECT_EQ(last_error(), KV_ERR_INVALID_VALUE);
    EXPECT_EQ(s1 | s2 | s3, 0);
    d.sim->clear_faults();
  }
}

TEST(Lx3200, CalibrationTablesOfInputsAndOutputs) {
  OpenDevice d(fast_config("LX3200"));
  d.with<Lx3200>([&](Lx3200& m) {
    for (int c = 0; c < 6; ++c) {
      unsigned short g = 0;
      short o = 0;
      const int range = c < 4 ? 9 : 3;
      ASSERT_EQ(KV_ReadGainOffset(d.handle, c, range, &g, &o), 1) << c;
      if (c < 4) {
        EXPECT_EQ(g, m.state().cal_gain[c][9]);
        EXPECT_EQ(o, m.state().cal_offset[c][9]);
      } else {
        EXPECT_EQ(g, m.state().ao_cal_gain[c - 4][3]);
        EXPECT_EQ(o, m.state().ao_cal_offset[c - 4][3]);
      }
    }
  });
  unsigned short g = 0;
  short o = 0;
  EXPECT_EQ(KV_ReadGainOffset(d.handle, 5, 4, &g, &o), 0);
  EXPECT_EQ(last_error(), KV_ERR_GAIN_RANGE);
  EXPECT_EQ(KV_ReadGainOffset(d.handle, 6, 0, &g, &o), 0);
  EXPECT_EQ(last_error(), KV_ERR_INPUT_CHANNEL);
}

// Every range, both signs, the saturation codes: the driver's conversion is
// the device's calibration with the range's actual full scale, clamped to
// the nominal one.
TEST(Lx3200, ConversionFollowsTheDeviceTablesInEveryRange) {
  OpenDevice d(fast_config("LX3200"));
  const std::vector<unsigned> raws = {0x000000, 0x000001, 0x0000FF, 0x123456, 0x3FFFFF, 0x7FFFFE,
                                      0xFFFFFF, 0xFFFF00, 0xC00000, 0x800001, 0x7FFFFF, 0x800000};
  for (int g = 0; g < 10; ++g) {
    for (int c = 0; c < 4; ++c) {
      for (unsigned raw : raws) {
        int code = 0;
        float v = 0;
        ASSERT_EQ(KV_Calibrate_Data_HEX(d.handle, c, g, static_cast<int>(raw), &code), 1);
        ASSERT_EQ(KV_Calibrate_Data_Float(d.handle, c, g, static_cast<int>(raw), &v), 1);
        EXPECT_LE(std::fabs(v), kNominal[g]);
        if (raw == 0x7FFFFF) {
          EXPECT_EQ(code, INT_MAX);
        }
        if (raw == 0x800000) {
          EXPECT_EQ(code, INT_MIN);
        }
        if (raw == 0x7FFFFF || raw == 0x800000) continue;
        double expected = 0;
        d.with<Lx3200>([&](Lx3200& m) { expected = m.volts_of(c, g, raw); });
        expected = std::clamp(expected, -static_cast<double>(kNominal[g]),
                              static_cast<double>(kNominal[g]));
        EXPECT_NEAR(v, expected, kNominal[g] * 1e-5) << "range " << g << " ch " << c << " raw "
                                                     << std::hex << raw;
      }
    }
  }
  int code = 0;
  EXPECT_EQ(KV_Calibrate_Data_HEX(d.handle, 4, 0, 0, &code), 0);
  EXPECT_EQ(last_error(), KV_ERR_INPUT_CHANNEL);
  EXPECT_EQ(KV_Calibrate_Data_HEX(d.handle, 0, 10, 0, &code), 0);
  EXPECT_EQ(last_error(), KV_ERR_GAIN_RANGE);
}

TEST(Lx3200, SinglePointReadsGiveTheInputVolts) {
  OpenDevice d(fast_config("LX3200"));
  const double volts[4] = {-1.7, 0.0, 0.25, 9.0};
  d.with<Lx3200>([&](Lx3200& m) {
    for (int c = 0; c < 4; ++c) m.set_input_volts(c, volts[c]);
  });
  for (int g : {0, 1, 4}) {
    float v[4] = {};
    ASSERT_EQ(KV_ReadAIALL(d.handle, g, v, 4), 1);
    for (int c = 0; c < 4; ++c) {
      const double want = std::clamp(volts[c], -static_cast<double>(kNominal[g]),
                                     static_cast<double>(kNominal[g]));
      EXPECT_NEAR(v[c], want, kNominal[g] * 1e-4) << "range " << g << " ch " << c;
    }
  }
}

struct ScanCase {
  const char* name;
  short ch, gain, mode;
  int rate;
  unsigned count;
  short transfer;
  unsigned error;  // 0: accepted
  std::vector<std::string> commands;
};

TEST(Lx3200, ScanConfigurationChecksAndCommands) {
  OpenDevice d(fast_config("LX3200"));
  const std::vector<ScanCase> cases = {
      {"finite mode 0", 4, 0, 0, 1000, 4000, 0, 0,
       {"~01PG0C4T0M0", "~01R02024096", "~01T0000004000", "~01A0"}},
      {"mode 6 digit 2 (21 Hz: 20.4 is nearer than 21.3)", 2, 0, 6, 21, 100, 1, 0,
       {"~01PG0C2T2M1", "~01R14144096", "~01T0000000100", "~01A0"}},
      {"fast finite digit 1", 4, 0, 0, 64001, 4000, 0, 0,
       {"~01PG0C4T1M0", "~01R02020064", "~01T0000004000", "~01A0"}},
      {"mode 8 empty line", 1, 0, 8, 20, 0, 0, 0, {"", "~01R14144096", "~01T0000000000", "~01A0"}},
      {"channels", 5, 0, 0, 1000, 0, 0, KV_ERR_INPUT_CHANNEL, {}},
      {"gain", 4, 10, 0, 1000, 0, 0, KV_ERR_GAIN_RANGE, {}},
      {"rate", 4, 0, 0, 128001, 0, 0, KV_ERR_VALUE_RANGE, {}},
      {"continuous too fast", 4, 0, 0, 64001, 0, 0, KV_ERR_SCAN_MODE, {}},
      {"count", 4, 0, 0, 1000, 30000001, 0, KV_ERR_VALUE_RANGE, {}},
      {"trigger mode", 4, 0, 1, 1000, 0, 0, KV_ERR_INTERRUPT_MODE, {}},
      {"channels before trigger mode", 0, 0, 1, 1000, 0, 0, KV_ERR_INPUT_CHANNEL, {}},
  };
  for (const ScanCase& c : cases) {
    SCOPED_TRACE(c.name);
    expect_exchange(
        d,
        [&](KV_HANDLE h) {
          return KV_SetAIScanParam(h, c.ch, c.gain, c.mode, c.rate, c.count, c.transfer, 0);
        },
        c.error ? 0 : 1, c.error, c.commands);
  }
}

TEST(Lx3200, ScanParametersReadBackWithTheAchievedRate) {
  OpenDevice d(fast_config("LX3200"));
  // 3000 Hz is not reachable: the nearer of 2 925.7 and 3 047.6 is set.
  ASSERT_EQ(KV_SetAIScanParam(d.handle, 3, 2, 6, 3000, 300, 1, 0), 1);
  short ch = 0, gain = 0, mode = 0, transfer = 0, option = 0;
  int rate = 0;
  unsigned count = 0;
  ASSERT_EQ(KV_GetAIScanParam(d.handle, &ch, &gain, &mode, &rate, &count, &transfer, &option), 1);
  EXPECT_EQ(ch, 3);
  EXPECT_EQ(gain, 2);
  EXPECT_EQ(mode, 6);
  EXPECT_EQ(count, 300u);
  double achieved = 0;
  d.with<Lx3200>([&](Lx3200& m) { achieved = m.sample_rate(); });
  EXPECT_EQ(rate, static_cast<int>(achieved));
  EXPECT_LT(std::abs(rate - 3000), 60);
  // A rate field the device cannot mean is refused, not divided by zero.
  d.sim->add_fault(sim::Fault::reply("~01R", "!0100024096"));
  EXPECT_EQ(KV_GetAIScanParam(d.handle, &ch, &gain, &mode, &rate, &count, &transfer, &option), 0);
  EXPECT_EQ(last_error(), KV_ERR_INVALID_VALUE);
}

TEST(Lx3200, AnalogTriggerLevelsTravelAs24BitCodes) {
  OpenDevice d(fast_config("LX3200"));
  ASSERT_EQ(KV_SetAIScanParam(d.handle, 4, 0, 0, 1000, 1000, 0, 0), 1);
  char enable[4] = {1, 0, 1, 0};
  float high[4] = {5.0f, 0, -2.5f, 0}, low[4] = {-5.0f, 0, -7.5f, 0};
  d.sim->clear_commands();
  ASSERT_EQ(KV_SetAIAnalogTriggerParam(d.handle, 1, enable, high, low, 4, 400, 600), 1);
  const auto cmds = d.sim->commands();
  ASSERT_EQ(cmds.size(), 5u);
  EXPECT_EQ(cmds[2], "~01XC1H7FFFFFL800000");  // an unused channel can never trigger
  for (int c : {0, 2}) EXPECT_EQ(cmds[1 + c].size(), std::string("~01XC0H123456L123456").size());
  int mode = 0;
  char en[4] = {};
  float h[4] = {}, l[4] = {};
  unsigned pre = 0, post = 0, reserved = 9;
  ASSERT_EQ(KV_GetAIAnalogTriggerParam(d.handle, &mode, en, h, l, 4, &pre, &post, &reserved), 1);
  EXPECT_EQ(mode, 1);
  EXPECT_EQ(pre, 400u);
  for (int c = 0; c < 4; ++c) {
    EXPECT_EQ(en[c], enable[c]) << c;
    if (enable[c]) {
      EXPECT_NEAR(h[c], high[c], 1e-3) << c;
      EXPECT_NEAR(l[c], low[c], 1e-3) << c;
    }
  }
}

struct FiniteScan {
  const char* name;
  unsigned channels;
  short mode;
  int rate;
};

class Lx3200Scans : public ::testing::TestWithParam<FiniteScan> {};

// Sample by sample, in codes and in volts, across reads of odd sizes: live,
// through the device's RAM (mode 6), and too fast to stream live.
TEST_P(Lx3200Scans, FiniteScanIsSampleExact) {
  OpenDevice d(fast_config("LX3200"));
  const unsigned channels = GetParam().channels, total = channels * 1000;
  ASSERT_EQ(KV_SetAIScanParam(d.handle, static_cast<short>(channels), 1, GetParam().mode,
                              GetParam().rate, total, 0, 0),
            1);
  ASSERT_EQ(KV_StartAIScan(d.handle), 1);
  ASSERT_EQ(wait_status(d.handle, 0x84) & 0x8C, 0x84);
  unsigned taken = 0;
  int size = 1;
  while (taken < total) {
    const unsigned want = std::min<unsigned>(static_cast<unsigned>(size), total - taken);
    if (size % 2 == 0) {
      std::vector<unsigned> raw(want);
      ASSERT_EQ(KV_GetAIBufferHex(d.handle, raw.data(), want), static_cast<int>(want));
      for (unsigned i = 0; i < want; ++i)
        ASSERT_EQ(raw[i], raw24(sim::stream_code24(channels, taken + i))) << taken + i;
    } else {
      std::vector<float> volts(want);
      ASSERT_EQ(KV_GetAIBuffer(d.handle, volts.data(), want), static_cast<int>(want));
      for (unsigned i = 0; i < want; ++i) {
        const unsigned n = taken + i;
        float expected = 0;
        KV_Calibrate_Data_Float(d.handle, static_cast<int>(n % channels), 1,
                                static_cast<int>(raw24(sim::stream_code24(channels, n))),
                                &expected);
        ASSERT_EQ(volts[i], expected) << n;
      }
    }
    taken += want;
    size = size * 3 % 97 + 1;
  }
  // Only the live scan streams without the device's RAM and its transfer order.
  EXPECT_EQ(d.sim->count_commands("~01E") > 0, std::string(GetParam().name) != "Live");
  KV_StopAIScan(d.handle);
}

INSTANTIATE_TEST_SUITE_P(Modes, Lx3200Scans,
                         ::testing::Values(FiniteScan{"Live", 3, 0, 2000},
                                           FiniteScan{"DeviceRam", 3, 6, 2000},
                                           FiniteScan{"TooFastForLive", 4, 0, 64001}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Lx3200, LogWrittenAndReadBackWithTheDriversCalibration) {
  TempDir dir;
  OpenDevice d(fast_config("LX3200"));
  constexpr unsigned kChannels = 4, kTotal = 2000;
  const int gain = 3;
  ASSERT_EQ(KV_SetAIScanParam(d.handle, kChannels, gain, 0, 1000, kTotal, 0, 0), 1);
  for (const int mode : {0, 1}) {
    SCOPED_TRACE(mode);
    const std::string root = dir.path() + "/m" + std::to_string(mode);
    std::filesystem::create_directories(root);
    std::string path = root;
    ASSERT_EQ(KV_StartLogger(d.handle, path.data(), 1, mode), 1) << std::hex << last_error();
    ASSERT_EQ(wait_status(d.handle, 0x80) & 0x80, 0x80);
    ASSERT_EQ(KV_StopLogger(d.handle), 1);

    const auto configs = files_below(root + "/config", ".config");
    ASSERT_EQ(configs.size(), 1u);
    const auto lines = lines_of(read_file(configs[0]));
    const auto at = std::find(lines.begin(), lines.end(), "Gain,3");
    ASSERT_NE(at, lines.end());
    unsigned full_mv = 0;
    d.with<Lx3200>([&](Lx3200& m) { full_mv = m.state().full_scale_mv[gain]; });
    ASSERT_NE(at + 1, lines.end());
    EXPECT_EQ(*(at + 1), "Range," + std::to_string(full_mv));
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.rfind("Sync Mode", 0) == 0; }),
              0);

    auto expected_volts = [&](unsigned n) {
      float v = 0;
      KV_Calibrate_Data_Float(d.handle, static_cast<int>(n % kChannels), gain,
                              static_cast<int>(raw24(sim::stream_code24(kChannels, n))), &v);
      return v;
    };
    if (mode == 0) {
      expect_24bit_log_reads_as_device(root, d.handle, kChannels, gain, kTotal);
    } else {
      const auto data = files_below(root + "/log", ".txt");
      ASSERT_EQ(data.size(), 1u);
      const std::string text = read_file(data[0]);
      std::string expected;
      char v[32];
      for (unsigned n = 0; n < kTotal; ++n) {
        std::snprintf(v, sizeof v, "%0.7lf", static_cast<double>(expected_volts(n)));
        expected += v;
        expected += n % kChannels == kChannels - 1 ? "\r\n" : ",";
      }
      EXPECT_EQ(text, expected);
    }
  }
}

}  // namespace
}  // namespace korvel::test
