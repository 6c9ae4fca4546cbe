// LX-3100 single-point operations end to end: exact command texts, reply
// parsing, calibration arithmetic, failure paths and the busy rule.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
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

struct OpCase {
  const char* name;
  std::function<void(Lx3100&)> setup;
  std::function<int(KV_HANDLE)> call;
  int result;
  unsigned error;                       // expected last error (checked when result is 0)
  std::vector<std::string> commands;    // exact texts sent, in order
  std::function<void(Lx3100&)> verify;  // device state afterwards
};

std::ostream& operator<<(std::ostream& os, const OpCase& c) { return os << c.name; }

void nothing(Lx3100&) {}

class Operations : public ::testing::TestWithParam<OpCase> {};

TEST_P(Operations, CommandTextsRepliesAndState) {
  const OpCase& c = GetParam();
  OpenDevice d;
  d.with<Lx3100>(c.setup);
  expect_exchange(d, c.call, c.result, c.error, c.commands);
  d.with<Lx3100>(c.verify);
}

unsigned g_u[8];
float g_f[8];
int g_i[8];

INSTANTIATE_TEST_SUITE_P(
    Lx3100, Operations,
    ::testing::Values(
        OpCase{"ReadDIO",
               [](Lx3100& m) {
                 m.state().do_value = 0xA;
                 m.state().di = 0x6;
               },
               [](KV_HANDLE h) {
                 int r = KV_ReadDIO(h, &g_u[0], &g_u[1]);
                 EXPECT_EQ(g_u[0], 0x6u);
                 EXPECT_EQ(g_u[1], 0xAu);
                 return r;
               },
               1, 0, {"@01"}, nothing},
        OpCase{"WriteDO", nothing, [](KV_HANDLE h) { return KV_WriteDO(h, 9); }, 1, 0,
               {"@01D9"}, [](Lx3100& m) { EXPECT_EQ(m.state().do_value, 9u); }},
        OpCase{"WriteDOTooLarge", nothing, [](KV_HANDLE h) { return KV_WriteDO(h, 16); }, 0,
               0x1300C, {}, nothing},
        OpCase{"WriteDOBitOn", nothing, [](KV_HANDLE h) { return KV_WriteDOBit(h, 3, true); }, 1,
               0, {"#01A31"}, [](Lx3100& m) { EXPECT_EQ(m.state().do_value, 8u); }},
        OpCase{"WriteDOBitOff", [](Lx3100& m) { m.state().do_value = 0xF; },
               [](KV_HANDLE h) { return KV_WriteDOBit(h, 2, false); }, 1, 0, {"#01A20"},
               [](Lx3100& m) { EXPECT_EQ(m.state().do_value, 0xBu); }},
        OpCase{"WriteDOBitOutOfRange", nothing,
               [](KV_HANDLE h) { return KV_WriteDOBit(h, 4, true); }, 0, 0x18008, {}, nothing},
        OpCase{"SetDICNTConfig", nothing,
               [](KV_HANDLE h) { return KV_SetDICNTConfig(h, 2, 3, 0x1234); }, 1, 0,
               {"@01PRE200001234", "$015PR211"},
               [](Lx3100& m) {
                 EXPECT_EQ(m.state().preset[2], 0x1234u);
                 EXPECT_EQ(m.state().di_bits[2][0], 1);
                 EXPECT_EQ(m.state().di_bits[2][1], 1);
               }},
        OpCase{"GetDICNTConfig",
               [](Lx3100& m) {
                 m.state().preset[1] = 0xCAFE;
                 m.state().di_bits[1] = {0, 1};
               },
               [](KV_HANDLE h) {
                 g_u[2] = 99;
                 int r = KV_GetDICNTConfig(h, 1, &g_u[0], &g_u[1], &g_u[2]);
                 EXPECT_EQ(g_u[0], 2u);
                 EXPECT_EQ(g_u[1], 0xCAFEu);
                 EXPECT_EQ(g_u[2], 0u);
                 return r;
               },
               1, 0, {"@01P1", "$015PR1"}, nothing},
        OpCase{"SetCounterConfig", nothing,
               [](KV_HANDLE h) { return KV_SetCounterConfig(h, 0, 2, 0xABCDEF01); }, 1, 0,
               {"@01P0ABCDEF01", "$015001"},
               [](Lx3100& m) {
                 EXPECT_EQ(m.state().preset[0], 0xABCDEF01u);
                 EXPECT_EQ(m.state().counter_bits[1], 1);
               }},
        OpCase{"GetCounterConfig",
               [](Lx3100& m) {
                 m.state().preset[0] = 77;
                 m.state().counter_bits = {1, 0};
               },
               [](KV_HANDLE h) {
                 int r = KV_GetCounterConfig(h, 0, &g_u[0], &g_u[1], &g_u[2]);
                 EXPECT_EQ(g_u[0], 1u);
                 EXPECT_EQ(g_u[1], 77u);
                 return r;
               },
               1, 0, {"@01P0", "$0150"}, nothing},
        OpCase{"GetDICNT", nothing,
               [](KV_HANDLE h) {
                 int r = KV_GetDICNT(h, 3, &g_u[0]);
                 EXPECT_EQ(g_u[0], 3000u);
                 return r;
               },
               1, 0, {"@01REC3"}, nothing},
        OpCase{"GetDICNTOutOfRange", nothing, [](KV_HANDLE h) { return KV_GetDICNT(h, 4, g_u); },
               0, 0x18008, {}, nothing},
        OpCase{"GetCounter", [](Lx3100& m) { m.state().counter = 0x10000; },
               [](KV_HANDLE h) {
                 int r = KV_GetCounter(h, 0, &g_u[0]);
                 EXPECT_EQ(g_u[0], 0x10000u);
                 return r;
               },
               1, 0, {"@01G0"}, nothing},
        OpCase{"ClearDICNT", [](Lx3100& m) { m.state().di_count[1] = 555; },
               [](KV_HANDLE h) { return KV_ClearDICNT(h, 1); }, 1, 0, {"@01CREC1"},
               [](Lx3100& m) { EXPECT_EQ(m.state().di_count[1], 10u); }},
        OpCase{"ClearDICNTALL", nothing, [](KV_HANDLE h) { return KV_ClearDICNTALL(h); }, 1, 0,
               {"@01CREC"}, nothing},
        OpCase{"ClearCounter", [](Lx3100& m) { m.state().counter = 5; },
               [](KV_HANDLE h) { return KV_ClearCounter(h, 0); }, 1, 0, {"@01C0"},
               [](Lx3100& m) { EXPECT_EQ(m.state().counter, 0u); }},
        OpCase{"ClearCounterALL", nothing, [](KV_HANDLE h) { return KV_ClearCounterALL(h); }, 1,
               0, {"@01C"}, nothing},
        OpCase{"ClearCounterOutOfRange", nothing,
               [](KV_HANDLE h) { return KV_ClearCounter(h, 1); }, 0, 0x18008, {}, nothing},
        OpCase{"GetDICNTAllTakesOnlyCount",
               [](Lx3100& m) { m.state().di_count = {1, 2, 3, 4}; },
               [](KV_HANDLE h) {
                 g_u[2] = 0xEEEE;
                 int r = KV_GetDICNTAll(h, g_u, 2);
                 EXPECT_EQ(g_u[0], 1u);
                 EXPECT_EQ(g_u[1], 2u);
                 EXPECT_EQ(g_u[2], 0xEEEEu);
                 return r;
               },
               1, 0, {"@01REC"}, nothing},
        OpCase{"GetDICNTAllBadCountZeroes", nothing,
               [](KV_HANDLE h) {
                 for (unsigned& v : g_u) v = 9;
                 int r = KV_GetDICNTAll(h, g_u, 5);
                 for (int k = 0; k < 5; ++k) EXPECT_EQ(g_u[k], 0u);
                 EXPECT_EQ(g_u[5], 9u);
                 return r;
               },
               0, 0x18008, {}, nothing},
        OpCase{"GetCounterAll", [](Lx3100& m) { m.state().counter = 42; },
               [](KV_HANDLE h) {
                 int r = KV_GetCounterAll(h, g_u, 1);
                 EXPECT_EQ(g_u[0], 42u);
                 return r;
               },
               1, 0, {"@01G"}, nothing},
        OpCase{"ReadAIChannelOutOfRange", nothing,
               [](KV_HANDLE h) { return KV_ReadAI(h, 8, 0, g_f); }, 0, 0x18008, {}, nothing},
        OpCase{"ReadAIGainOutOfRange", nothing,
               [](KV_HANDLE h) { return KV_ReadAI(h, 0, 2, g_f); }, 0, 0x18005, {}, nothing},
        OpCase{"ReadAIALLBadGainZeroes", nothing,
               [](KV_HANDLE h) {
                 for (float& v : g_f) v = 7;
                 int r = KV_ReadAIALL(h, 5, g_f, 3);
                 EXPECT_EQ(g_f[2], 0.0f);
                 EXPECT_EQ(g_f[3], 7.0f);
                 return r;
               },
               0, 0x18005, {}, nothing},
        OpCase{"ReadAIHEXBadChannelZeroes", nothing,
               [](KV_HANDLE h) {
                 g_i[0] = 5;
                 int r = KV_ReadAIHEX(h, -1, 0, &g_i[0]);
                 EXPECT_EQ(g_i[0], 0);
                 return r;
               },
               0, 0x18008, {}, nothing},
        OpCase{"ReadAIALLHEX", nothing,
               [](KV_HANDLE h) { return KV_ReadAIALLHEX(h, 1, g_i, 8); }, 1, 0, {"#01H1"},
               nothing},
        OpCase{"WriteAOUnsupported", nothing,
               [](KV_HANDLE h) { return KV_WriteAO(h, 0, 0, 1.0f); }, 0, 0xFFFFF, {}, nothing},
        OpCase{"EncoderUnsupported", nothing,
               [](KV_HANDLE h) { return KV_ReadEncoder(h, 0, g_u); }, 0, 0xFFFFF, {}, nothing},
        OpCase{"RebootIgnoresSilence", nothing, [](KV_HANDLE h) { return KV_Reboot(h); }, 1, 0,
               {"Q"}, [](Lx3100& m) { EXPECT_EQ(m.state().reboots, 1u); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Inputs, ReadsAreCalibratedPerChannelAndGain) {
  OpenDevice d;
  float volts[8];
  int codes[8];
  ASSERT_EQ(KV_ReadAIALL(d.handle, 0, volts, 8), 1);
  ASSERT_EQ(KV_ReadAIALLHEX(d.handle, 0, codes, 8), 1);
  d.with<Lx3100>([&](Lx3100& m) {
    for (int c = 0; c < 8; ++c) {
      const int raw = m.state().ai_code[c][0];
      const int gain = m.state().cal_gain[c][0];
      const int expected = ((raw * gain) >> 15) + m.state().cal_offset[c][0];
      EXPECT_EQ(codes[c], expected) << c;
      EXPECT_FLOAT_EQ(volts[c], static_cast<float>(expected) / 6553.6f) << c;
      EXPECT_NEAR(volts[c], -3.5 + c, 0.002) << c;
    }
  });
  float one = 0;
  ASSERT_EQ(KV_ReadAI(d.handle, 7, 1, &one), 1);
  EXPECT_NEAR(one, 3.5, 0.004);
  EXPECT_EQ(d.last_command(), "#01H1");
}

struct CalibrationCase {
  uint16_t gain;
  int16_t offset;
  int range;
  int raw;
  int code;
  float volts;
};

class CalibrationArithmetic : public ::testing::TestWithParam<CalibrationCase> {};

TEST_P(CalibrationArithmetic, RoundsDownAndClamps) {
  const CalibrationCase& c = GetParam();
  sim::Config cfg = sim_config();
  auto dev = start_sim(cfg);
  dev->with_model([&](sim::Model& m) { static_cast<Lx3100&>(m).set_calibration(c.gain, c.offset); });
  KV_HANDLE h = KV_Device_Create(cfg.address.c_str());
  ASSERT_NE(h, nullptr);
  int code = 12345;
  float volts = 0;
  EXPECT_EQ(KV_Calibrate_Data_HEX(h, 3, c.range, c.raw, &code), 1);
  EXPECT_EQ(code, c.code);
  EXPECT_EQ(KV_Calibrate_Data_Float(h, 3, c.range, c.raw, &volts), 1);
  EXPECT_FLOAT_EQ(volts, c.volts);
  unsigned short g = 0;
  short o = 0;
  EXPECT_EQ(KV_ReadGainOffset(h, 3, c.range, &g, &o), 1);
  EXPECT_EQ(g, c.gain);
  EXPECT_EQ(o, c.offset);
  KV_Device_Release(h);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CalibrationArithmetic,
    ::testing::Values(CalibrationCase{32768, 10, 0, 0x7FFF, 32767, 32767 / 6553.6f},
                      CalibrationCase{32768, -5, 1, 0x8000, -32768, -10.0f},
                      CalibrationCase{32768, 0, 0, 0xFFFF, -1, -1 / 6553.6f},
                      CalibrationCase{16384, 0, 0, 0x0001, 0, 0.0f},
                      CalibrationCase{16384, 0, 0, 0xFFFF, -1, -1 / 6553.6f},
                      // Only the low 16 bits of the raw value count.
                      CalibrationCase{32768, 0, 0, 0x12345, 0x2345, 0x2345 / 6553.6f},
                      CalibrationCase{65535, -12, 1, 0x4000, 32767 - 12, 32755 / 3276.8f}));

TEST(Calibration, RangeChecks) {
  OpenDevice d;
  int code = 0;
  EXPECT_EQ(KV_Calibrate_Data_HEX(d.handle, 8, 0, 1, &code), 0);
  EXPECT_EQ(last_error(), 0x18008u);
  EXPECT_EQ(KV_Calibrate_Data_HEX(d.handle, 0, 2, 1, &code), 0);
  EXPECT_EQ(last_error(), 0x18005u);
  unsigned short g = 9;
  short o = 9;
  EXPECT_EQ(KV_ReadGainOffset(d.handle, 0, 2, &g, &o), 0);
  EXPECT_EQ(g, 0);
  EXPECT_EQ(o, 0);
  EXPECT_EQ(KV_Calibrate_Data_HEX(nullptr, 0, 0, 1, &code), 0);
  EXPECT_EQ(last_error(), 0x1300Au);
}

TEST(FailurePaths, DigitalReplyThatIsNotHex) {
  OpenDevice d;
  d.sim->add_fault(Fault::reply("@01", "!ZZ"));
  unsigned di = 0, dov = 0;
  EXPECT_EQ(KV_ReadDIO(d.handle, &di, &dov), 0);
  EXPECT_EQ(last_error(), 0x17008u);
}

TEST(FailurePaths, RefusedClearReturnsZeroWithoutACode) {
  OpenDevice d;
  d.sim->add_fault(Fault::reply("@01C", "?"));
  KV_SetLastError(0x1234);
  EXPECT_EQ(KV_ClearCounter(d.handle, 0), 0);
  EXPECT_EQ(last_error(), 0x1234u);
}

TEST(FailurePaths, SecondConfigExchangeFailing) {
  OpenDevice d;
  ASSERT_EQ(KV_SetDICNTConfig(d.handle, 1, 2, 5), 1);
  d.sim->add_fault(Fault::no_reply("$015PR1"));
  unsigned cfg = 9, preset = 9, extra = 9;
  // DI counters fall back to the configuration last written.
  EXPECT_EQ(KV_GetDICNTConfig(d.handle, 1, &cfg, &preset, &extra), 1);
  EXPECT_EQ(cfg, 2u);
  EXPECT_EQ(preset, 5u);
  // Counters report the failure.
  d.sim->add_fault(Fault::no_reply("$0150"));
  EXPECT_EQ(KV_GetCounterConfig(d.handle, 0, &cfg, &preset, &extra), 0);
  EXPECT_EQ(last_error(), 0x17003u);
}

// Counter reads whose reply cannot be parsed: 0 with 0x17008, outputs 0.
struct CounterRead {
  const char* name;
  const char* command;  // the exchange whose reply is spoiled
  int outputs;          // leading entries of the output array the call writes
  std::function<int(KV_HANDLE, unsigned*)> call;
  const char* own_bad = nullptr;  // a spoiled reply only this read has
};
void PrintTo(const CounterRead& r, std::ostream* os) { *os << r.name; }

class UnparsableCounterReply : public ::testing::TestWithParam<CounterRead> {};

TEST_P(UnparsableCounterReply, FailsWithInvalidValueAndZeroes) {
  const CounterRead& read = GetParam();
  OpenDevice d;
  d.with<Lx3100>([](Lx3100& m) {
    m.state().di_count = {11, 12, 13, 14};
    m.state().counter = 21;
    m.state().preset = {31, 32, 33, 34};
  });
  std::vector<const char*> replies = {"?01", "!01ZZZZZZZZ", "!01", "!01ABC", "!01-0000001", "!"};
  if (read.own_bad) replies.push_back(read.own_bad);
  for (const char* bad : replies) {
    SCOPED_TRACE(bad);
    d.sim->add_fault(Fault::reply(read.command, bad));
    unsigned out[4];
    for (unsigned& v : out) v = 0xEEEEEEEE;
    KV_SetLastError(0);
    EXPECT_EQ(read.call(d.handle, out), 0);
    EXPECT_EQ(last_error(), 0x17008u);
    for (int k = 0; k < read.outputs; ++k) EXPECT_EQ(out[k], 0u) << k;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lx3100, UnparsableCounterReply,
    ::testing::Values(
        CounterRead{"GetDICNT", "@01REC1", 1,
                    [](KV_HANDLE h, unsigned* o) { return KV_GetDICNT(h, 1, o); }},
        CounterRead{"GetCounter", "@01G0", 1,
                    [](KV_HANDLE h, unsigned* o) { return KV_GetCounter(h, 0, o); }},
        CounterRead{"GetDICNTAll", "@01REC", 4,
                    [](KV_HANDLE h, unsigned* o) { return KV_GetDICNTAll(h, o, 4); },
                    "!01" "00000001" "00000002"},  // two of the four fields
        CounterRead{"GetCounterAll", "@01G", 1,
                    [](KV_HANDLE h, unsigned* o) { return KV_GetCounterAll(h, o, 1); }},
        CounterRead{"GetDICNTConfigPreset", "@01P1", 2,
                    [](KV_HANDLE h, unsigned* o) {
                      return KV_GetDICNTConfig(h, 1, &o[0], &o[1], &o[2]);
                    }},
        CounterRead{"GetDICNTConfigBits", "$015PR1", 2,
                    [](KV_HANDLE h, unsigned* o) {
                      return KV_GetDICNTConfig(h, 1, &o[0], &o[1], &o[2]);
                    }},
        CounterRead{"GetCounterConfigPreset", "@01P0", 2,
                    [](KV_HANDLE h, unsigned* o) {
                      return KV_GetCounterConfig(h, 0, &o[0], &o[1], &o[2]);
                    }},
        CounterRead{"GetCounterConfigBits", "$0150", 2,
                    [](KV_HANDLE h, unsigned* o) {
                      return KV_GetCounterConfig(h, 0, &o[0], &o[1], &o[2]);
                    }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FailurePaths, RefusedCounterSettings) {
  const std::vector<std::tuple<const char*, std::function<int(KV_HANDLE)>,
                               std::vector<std::string>>>
      cases = {
          {"@01PRE", [](KV_HANDLE h) { return KV_SetDICNTConfig(h, 1, 3, 5); },
           {"@01PRE100000005"}},
          {"$015PR", [](KV_HANDLE h) { return KV_SetDICNTConfig(h, 1, 3, 5); },
           {"@01PRE100000005", "$015PR111"}},
          {"@01P0", [](KV_HANDLE h) { return KV_SetCounterConfig(h, 0, 3, 5); },
           {"@01P000000005"}},
          {"$0150", [](KV_HANDLE h) { return KV_SetCounterConfig(h, 0, 3, 5); },
           {"@01P000000005", "$015011"}},
      };
  for (const auto& [prefix, call, commands] : cases) {
    SCOPED_TRACE(prefix);
    OpenDevice d;
    d.sim->add_fault(Fault::reply(prefix, "?01"));
    expect_exchange(d, call, 0, 0x17003, commands);
  }
}

// Counts from the caller are range-checked before any arithmetic on them.
TEST(CallerCounts, OutOfRangeCountsAreRefusedWithoutAnExchange) {
  OpenDevice d;
  float f[16];
  int i[16];
  unsigned u[16];  // room for the 9 entries a refused count of 9 zeroes
  const std::vector<std::pair<const char*, std::function<int(KV_HANDLE, int)>>> calls = {
      {"ReadAIALL", [&](KV_HANDLE h, int n) { return KV_ReadAIALL(h, 0, f, n); }},
      {"ReadAIALLHEX", [&](KV_HANDLE h, int n) { return KV_ReadAIALLHEX(h, 0, i, n); }},
      {"GetDICNTAll", [&](KV_HANDLE h, int n) { return KV_GetDICNTAll(h, u, n); }},
      {"GetCounterAll", [&](KV_HANDLE h, int n) { return KV_GetCounterAll(h, u, n); }},
  };
  for (const int count : {INT_MIN, INT_MIN + 1, -1, 0, 9}) {
    for (const auto& [name, call] : calls) {
      SCOPED_TRACE(std::string(name) + " " + std::to_string(count));
      expect_exchange(d, [&](KV_HANDLE h) { return call(h, count); }, 0, 0x18008, {});
    }
  }
}

TEST(FailurePaths, InvalidHandleClearsTheNamedOutputs) {
  unsigned a = 1, b = 1, c = 1;
  EXPECT_EQ(KV_ReadDIO(nullptr, &a, &b), 0);
  EXPECT_EQ(a + b, 0u);
  a = b = c = 1;
  EXPECT_EQ(KV_GetDICNTConfig(nullptr, 0, &a, &b, &c), 0);
  EXPECT_EQ(a + b + c, 0u);
  a = b = c = 1;
  EXPECT_EQ(KV_GetCounterConfig(nullptr, 0, &a, &b, &c), 0);
  EXPECT_EQ(a + b + c, 3u);  // no outputs named for this one
  int s1 = 1, s2 = 1, s3 = 1;
  EXPECT_EQ(KV_GetEncoderMode(nullptr, 0, &s1, &s2, &s3), 0);
  EXPECT_EQ(s1 + s2 + s3, 0);
  int code = 1;
  EXPECT_EQ(KV_ReadAIHEX(nullptr, 0, 0, &code), 0);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(last_error(), 0x1300Au);
}

// Functions that answer 1 for any registered device, even where the device
// lacks the operation.
TEST(ReturnsOne, ForAnyRegisteredDevice) {
  OpenDevice d;
  const std::vector<std::pair<const char*, std::function<int(KV_HANDLE)>>> calls = {
      {"Configure_Trig_Out", [](KV_HANDLE h) { return KV_Configure_Trig_Out(h, 1, 2); }},
      {"Get_Module_Count",
       [](KV_HANDLE h) {
         int n;
         char m[8];
         return KV_Get_Module_Count(h, &n, m);
       }},
      {"ClearAIBuffer", [](KV_HANDLE h) { return KV_ClearAIBuffer(h); }},
      {"StopLogger", [](KV_HANDLE h) { return KV_StopLogger(h); }},
      {"SetEventCallback", [](KV_HANDLE h) { return KV_SetEventCallback(h, 1, 0, nullptr, nullptr); }},
      {"RemoveEventCallback", [](KV_HANDLE h) { return KV_RemoveEventCallback(h, 1); }},
      {"Init_Software_Filter", [](KV_HANDLE h) { return KV_Init_Software_Filter(h, 0, 4, 1000); }},
      {"Set_LowPassFilter", [](KV_HANDLE h) { return KV_Set_LowPassFilter(h, 0, 1, 10.f); }},
  };
  for (const auto& [name, call] : calls) {
    EXPECT_EQ(call(d.handle), 1) << name;
    EXPECT_EQ(call(nullptr), 0) << name;
    EXPECT_EQ(last_error(), 0x1300Au) << name;
  }
}

TEST(NotSupported, WideEntryPointsAndDownloads) {
  OpenDevice d;
  EXPECT_EQ(KV_DownloadSDFileW(d.handle, 0, 0, nullptr, 0), 0);
  EXPECT_EQ(last_error(), 0x13006u);
  KV_SetLastError(0x77);
  EXPECT_EQ(KV_DownloadAllSDFiles(d.handle, nullptr, 0), 0);
  EXPECT_EQ(last_error(), 0x77u);
}

// While the acquisition thread is inside a receive, digital operations are
// refused and analog reads return the codes of the last read.
class Busy : public ::testing::Test {
 protected:
  static void set_sampling(KV_HANDLE h, bool on) {
    KVList().find(h).get()->setKVsamplingStatus(on);
  }
};

TEST_F(Busy, DigitalOperationsAreRefusedAfterTheirArgumentChecks) {
  OpenDevice d;
  set_sampling(d.handle, true);
  d.sim->clear_commands();
  unsigned a, b, c;
  EXPECT_EQ(KV_WriteDO(d.handle, 16), 0);
  EXPECT_EQ(last_error(), 0x1300Cu);
  EXPECT_EQ(KV_WriteDOBit(d.handle, 9, true), 0);
  EXPECT_EQ(last_error(), 0x18008u);
  const std::vector<std::function<int()>> refused = {
      [&] { return KV_WriteDO(d.handle, 15); },
      [&] { return KV_WriteDOBit(d.handle, 1, true); },
      [&] { return KV_ReadDIO(d.handle, &a, &b); },
      [&] { return KV_GetDICNTConfig(d.handle, 0, &a, &b, &c); },
      [&] { return KV_SetDICNTConfig(d.handle, 0, 1, 1); },
      [&] { return KV_GetCounterConfig(d.handle, 0, &a, &b, &c); },
      [&] { return KV_SetCounterConfig(d.handle, 0, 1, 1); },
      [&] { return KV_GetDICNT(d.handle, 0, &a); },
      [&] { return KV_GetCounter(d.handle, 0, &a); },
      [&] { return KV_ClearDICNT(d.handle, 0); },
      [&] { return KV_GetDICNTAll(d.handle, &a, 1); },
  };
  for (std::size_t k = 0; k < refused.size(); ++k) {
    EXPECT_EQ(refused[k](), 0) << k;
    EXPECT_EQ(last_error(), 0x18011u) << k;
  }
  EXPECT_TRUE(d.sim->commands().empty());
  set_sampling(d.handle, false);
}

TEST_F(Busy, AnalogReadsReturnCachedCodesPerDevice) {
  sim::Config ca = sim_config(), cb = sim_config();
  OpenDevice a(ca), b(cb);
  a.with<Lx3100>([](Lx3100& m) { m.set_input_volts(0, 1.0); });
  b.with<Lx3100>([](Lx3100& m) { m.set_input_volts(0, -2.0); });

  // Before any read succeeded, a read during sampling still asks the device.
  set_sampling(a.handle, true);
  float v = 0;
  ASSERT_EQ(KV_ReadAI(a.handle, 0, 0, &v), 1);
  EXPECT_NEAR(v, 1.0, 0.01);
  EXPECT_EQ(a.sim->count_commands("#01H"), 1u);

  ASSERT_EQ(KV_ReadAI(b.handle, 0, 0, &v), 1);
  set_sampling(b.handle, true);

  a.with<Lx3100>([](Lx3100& m) { m.set_input_volts(0, 4.0); });
  ASSERT_EQ(KV_ReadAI(a.handle, 0, 0, &v), 1);
  EXPECT_NEAR(v, 1.0, 0.01);  // cached, and not the other device's -2.0
  EXPECT_EQ(a.sim->count_commands("#01H"), 1u);
  ASSERT_EQ(KV_ReadAI(b.handle, 0, 0, &v), 1);
  EXPECT_NEAR(v, -2.0, 0.01);

  set_sampling(a.handle, false);
  set_sampling(b.handle, false);
  ASSERT_EQ(KV_ReadAI(a.handle, 0, 0, &v), 1);
  EXPECT_NEAR(v, 4.0, 0.01);
}

}  // namespace
}  // namespace korvel::test
