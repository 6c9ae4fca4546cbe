// The LX-R5000 end to end against its simulator: what it lacks, its
// per-channel calibration, scan configuration with the achieved rate,
// filtered scans against a reference cascade, and a log round trip.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "dsp/filter.h"
#include "fs_helpers.h"
#include "korvel/korvel.h"
#include "korvel/sim/lxr5000.h"
#include "korvel/sim/signal.h"
#include "model/calibration.h"
#include "sim_helpers.h"

namespace korvel::test {
namespace {

using sim::Lxr5000;

TEST(Lxr5000, WhatItLacksAndWhatItRefuses) {
  OpenDevice d(fast_config("LXR5000"));
  ASSERT_NE(d.handle, nullptr);
  const std::vector<ExchangeCase> cases = {
      {"DIO", [](KV_HANDLE h) { unsigned a, b; return KV_ReadDIO(h, &a, &b); }, 0, KV_ERR_UNSUPPORTED, {}},
      {"DO", [](KV_HANDLE h) { return KV_WriteDO(h, 1); }, 0, KV_ERR_UNSUPPORTED, {}},
      {"AO", [](KV_HANDLE h) { return KV_WriteAO(h, 0, 0, 1.0f); }, 0, KV_ERR_UNSUPPORTED, {}},
      {"encoder", [](KV_HANDLE h) { unsigned v; return KV_ReadEncoder(h, 0, &v); }, 0, KV_ERR_UNSUPPORTED, {}},
      {"config item", [](KV_HANDLE h) { return KV_SetConfig(h, 4, 1, 2); }, 0, KV_ERR_UNSUPPORTED, {}},
      {"gain table", [](KV_HANDLE h) { unsigned short g; short o; return KV_ReadGainOffset(h, 0, 0, &g, &o); },
       0, KV_ERR_UNSUPPORTED, {}},
      {"read range", [](KV_HANDLE h) { float v; return KV_ReadAI(h, 0, 1, &v); }, 0, KV_ERR_GAIN_RANGE, {}},
      {"read channel", [](KV_HANDLE h) { float v; return KV_ReadAI(h, 4, 0, &v); }, 0, KV_ERR_INPUT_CHANNEL, {}},
      {"read none", [](KV_HANDLE h) { int v[4]; return KV_ReadAIALLHEX(h, 0, v, 0); }, 0, KV_ERR_INPUT_CHANNEL, {}},
      {"read", [](KV_HANDLE h) { int v[4]; return KV_ReadAIALLHEX(h, 0, v, 4); }, 1, 0, {"#01R"}},
      {"odd filter order changes nothing", [](KV_HANDLE h) { return KV_Init_Software_Filter(h, 0, 7, 1000); }, 1, 0, {}},
  };
  expect_exchanges(d, cases);
  // While a scan runs the device answers no reads: refused without asking.
  ASSERT_EQ(KV_SetAIScanParam(d.handle, 4, 0, 0, 1000, 0, 0, 0), 1);
  ASSERT_EQ(KV_StartAIScan(d.handle), 1);
  expect_exchange(d, [](KV_HANDLE h) { float v; return KV_ReadAI(h, 0, 0, &v); }, 0,
                  KV_ERR_BUSY_SAMPLING, {});
  KV_StopAIScan(d.handle);
}

TEST(Lxr5000, PerChannelCalibration) {
  OpenDevice d(fast_config("LXR5000"), [](sim::Model& m) {
    auto& s = static_cast<Lxr5000&>(m).state();
    s.full_scale_mv[3] = 10000;  // 10 V, no offset: the saturation values are exact
    s.offset[3] = 0;
  });
  float v = 0;
  ASSERT_EQ(KV_Calibrate_Data_Float(d.handle, 3, 0, 0x7FFFFF, &v), 1);
  EXPECT_EQ(v, 10.0f);
  ASSERT_EQ(KV_Calibrate_Data_Float(d.handle, 3, 0, 0x800000, &v), 1);
  EXPECT_EQ(v, -8388608.0f * 10.0f / 8388607.0f);
  for (int c = 0; c < 4; ++c)
    for (unsigned raw : {0x000000u, 0x000005u, 0x400000u, 0x7FFFF0u, 0xFFFFFFu, 0x812345u}) {
      ASSERT_EQ(KV_Calibrate_Data_Float(d.handle, c, 0, static_cast<int>(raw), &v), 1);
      d.with<Lxr5000>([&](Lxr5000& m) { EXPECT_EQ(v, m.volts_of(c, raw)) << c << " " << raw; });
    }
  const double volts[4] = {-4.25, 0.5, 7.0, -9.5};
  d.with<Lxr5000>([&](Lxr5000& m) {
    for (int c = 0; c < 4; ++c) m.set_input_volts(c, volts[c]);
  });
  float read[4] = {};
  ASSERT_EQ(KV_ReadAIALL(d.handle, 0, read, 4), 1);
  for (int c = 0; c < 4; ++c) EXPECT_NEAR(read[c], volts[c], 1e-5) << c;
}

struct ScanCase {
  const char* name;
  short ch, gain, mode;
  int rate;
  unsigned count;
  unsigned error;         // 0: accepted
  const char* second;     // the command after the rate; null: as the rate
  int stored_rate;        // read back
};

TEST(Lxr5000, ScanConfigurationStoresTheAchievedRate) {
  OpenDevice d(fast_config("LXR5000"));
  const std::vector<ScanCase> cases = {
      {"exact 1000", 4, 0, 0, 1000, 4000, 0, "~01PC4T0M0", 1000},
      {"between 2925.7 and 3047.6", 2, 0, 0, 3000, 100, 0, "~01PC2T0M0", 3047},
      {"continuous at the live limit", 4, 0, 0, 42666, 0, 0, "~01PC4T0M0", 42666},
      {"finite above it: digit 1", 4, 0, 0, 64000, 4000, 0, "~01PC4T1M0", 64000},
      {"mode 6", 1, 0, 6, 500, 100, 0, "~01PC1T2M0", 500},
      {"mode 8 repeats the rate", 1, 0, 8, 1000, 0, 0, nullptr, 1000},
      {"continuous above the limit", 4, 0, 0, 64000, 0, KV_ERR_SCAN_MODE, "", 0},
      {"gain", 4, 1, 0, 1000, 0, KV_ERR_GAIN_RANGE, "", 0},
      {"count", 4, 0, 0, 1000, 15000001, KV_ERR_VALUE_RANGE, "", 0},
      {"trigger mode", 4, 0, 1, 1000, 0, KV_ERR_INTERRUPT_MODE, "", 0},
  };
  for (const ScanCase& c : cases) {
    SCOPED_TRACE(c.name);
    d.sim->clear_commands();
    const int r = KV_SetAIScanParam(d.handle, c.ch, c.gain, c.mode, c.rate, c.count, 0, 0);
    if (c.error) {
      EXPECT_EQ(r, 0);
      EXPECT_EQ(last_error(), c.error);
      EXPECT_TRUE(d.sim->commands().empty());
      continue;
    }
    ASSERT_EQ(r, 1);
    const auto cmds = d.sim->commands();
    ASSERT_EQ(cmds.size(), 4u);
    EXPECT_EQ(cmds[0].substr(0, 4), "~01R");
    EXPECT_EQ(cmds[1], c.second ? std::string(c.second) : cmds[0]);
    if (c.mode == 8) continue;  // the device keeps its earlier "~01P" settings
    short ch = 0, gain = 9, mode = 0, transfer = 0, option = 0;
    int rate = 0;
    unsigned count = 0;
    ASSERT_EQ(KV_GetAIScanParam(d.handle, &ch, &gain, &mode, &rate, &count, &transfer, &option), 1);
    EXPECT_EQ(ch, c.ch);
    EXPECT_EQ(gain, 0);
    EXPECT_EQ(mode, c.mode);
    EXPECT_EQ(rate, c.stored_rate);
  }
}

// The reference: each channel's filter run sample by sample on the values
// the unfiltered path gives.
struct Reference {
  Filter_cls filter[3];
  bool on[3] = {true, false, true};
  Reference() {
    for (auto& f : filter) f.init(8, 2000.0f);
    filter[0].SetLowPassFilter(100.0f);
    filter[2].SetBandStopFilter(300.0f, 200.0f);
  }
  float step(int c, float x) {
    if (!on[c]) return x;
    return c == 0 ? filter[0].GetLowPassFilter(x) : filter[2].GetBandStopFilter(x);
  }
};

void set_filters(KV_HANDLE h) {
  for (int c = 0; c < 3; ++c) ASSERT_EQ(KV_Init_Software_Filter(h, c, 8, 2000), 1);
  ASSERT_EQ(KV_Set_LowPassFilter(h, 0, 1, 100.0f), 1);
  ASSERT_EQ(KV_Set_HighPassFilter(h, 1, 0, 100.0f), 1);  // designed off: passes unchanged
  ASSERT_EQ(KV_Set_BandStopFilter(h, 2, 1, 300.0f, 200.0f), 1);
}

class Lxr5000Filters : public ::testing::TestWithParam<bool> {};

// Volts (false) or raw codes (true), in reads of odd sizes that start at any
// channel: every channel's filter sees exactly its own samples.
TEST_P(Lxr5000Filters, ScanMatchesAReferenceCascade) {
  const bool hex = GetParam();
  OpenDevice d(fast_config("LXR5000"));
  constexpr unsigned kChannels = 3, kTotal = 3 * 2000;
  set_filters(d.handle);
  ASSERT_EQ(KV_SetAIScanParam(d.handle, kChannels, 0, 0, 2000, kTotal, 0, 0), 1);
  ASSERT_EQ(KV_StartAIScan(d.handle), 1);
  ASSERT_EQ(wait_status(d.handle, 0x84) & 0x8C, 0x84);
  Reference ref;
  unsigned taken = 0, negative = 0;
  int size = 1;
  while (taken < kTotal) {
    const unsigned want = std::min<unsigned>(static_cast<unsigned>(size), kTotal - taken);
    std::vector<float> volts(want);
    std::vector<unsigned> codes(want);
    const int got = hex ? KV_GetAIBufferHex(d.handle, codes.data(), want)
                        : KV_GetAIBuffer(d.handle, volts.data(), want);
    ASSERT_EQ(got, static_cast<int>(want));
    for (unsigned i = 0; i < want; ++i) {
      const unsigned n = taken + i;
      const int c = static_cast<int>(n % kChannels);
      const unsigned raw = raw24(sim::stream_code24(kChannels, n));
      negative += (raw & 0x800000u) != 0;
      if (hex) {
        const float x = static_cast<float>(sign_extend24(static_cast<int>(raw)) / 8388607.0);
        const double y = std::trunc(static_cast<double>(ref.step(c, x)) * 8388607.0);
        const unsigned expected =
            ref.on[c] ? static_cast<unsigned>(static_cast<int32_t>(y)) & 0xFFFFFFu : raw;
        ASSERT_EQ(codes[i], expected) << n;
      } else {
        float v = 0;
        KV_Calibrate_Data_Float(d.handle, c, 0, static_cast<int>(raw), &v);
        ASSERT_EQ(volts[i], ref.step(c, v)) << n;
      }
    }
    taken += want;
    size = size * 5 % 113 + 1;
  }
  // The signal carries both signs, so the codes' sign handling is exercised.
  EXPECT_GT(negative, kTotal / 10);
  KV_StopAIScan(d.handle);
}

INSTANTIATE_TEST_SUITE_P(Paths, Lxr5000Filters, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Codes" : "Volts"; });

TEST(Lxr5000, LogReadsBackWithTheDriversCalibration) {
  TempDir dir;
  OpenDevice d(fast_config("LXR5000"));
  constexpr unsigned kChannels = 2, kTotal = 2000;
  ASSERT_EQ(KV_SetAIScanParam(d.handle, kChannels, 0, 0, 1000, kTotal, 0, 0), 1);
  std::string root = dir.path();
  ASSERT_EQ(KV_StartLogger(d.handle, root.data(), 1, 0), 1);
  ASSERT_EQ(wait_status(d.handle, 0x80) & 0x80, 0x80);
  ASSERT_EQ(KV_StopLogger(d.handle), 1);
  const auto configs = files_below(root + "/config", ".config");
  ASSERT_EQ(configs.size(), 1u);
  const auto lines = lines_of(read_file(configs[0]));
  d.with<Lxr5000>([&](Lxr5000& m) {
    for (unsigned c = 0; c < kChannels; ++c) {
      const std::string want = "CH" + std::to_string(c) + ",Range," +
                               std::to_string(m.state().full_scale_mv[c]) + ", Offset," +
                               std::to_string(m.state().offset[c]);
      EXPECT_NE(std::find(lines.begin(), lines.end(), want), lines.end()) << want;
    }
  });
  for (const auto& l : lines) EXPECT_NE(l.rfind("Range,", 0), 0u) << l;

  expect_24bit_log_reads_as_device(root, d.handle, kChannels, 0, kTotal);
}

}  // namespace
}  // namespace korvel::test
