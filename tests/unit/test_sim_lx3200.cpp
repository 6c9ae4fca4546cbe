// The simulated LX-3200 on its own: replies to command sequences, the raw
// codes it reads against the library's 24-bit calibration, its signal, and
// a scan on the data port.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "korvel/sim/lx3200.h"
#include "korvel/sim/signal.h"
#include "model/calibration.h"
#include "sim_helpers.h"

namespace korvel {
namespace {

using sim::Lx3200;
using sim::Lx3200State;

struct Exchange {
  std::string command;
  std::optional<std::string> reply;
};

struct ReplyCase {
  const char* name;
  std::function<void(Lx3200State&)> setup;
  std::vector<Exchange> exchanges;
  std::function<void(const Lx3200State&)> verify = [](const Lx3200State&) {};
};

void none(Lx3200State&) {}
void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }

class Lx3200Replies : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(Lx3200Replies, AnswerInOrder) {
  Lx3200 m;
  GetParam().setup(m.state());
  for (const Exchange& e : GetParam().exchanges)
    EXPECT_EQ(m.handle(e.command), e.reply) << "command '" << e.command << "'";
  GetParam().verify(m.state());
}

INSTANTIATE_TEST_SUITE_P(
    Lx3200, Lx3200Replies,
    ::testing::Values(
        ReplyCase{"InputTables",
                  [](Lx3200State& s) {
                    s.cal_gain[3][9] = 0x8123;
                    s.cal_offset[3][9] = -10;
                    s.full_scale_mv[9] = 21;
                  },
                  {{"$01RI1C3G9", "!8123FFF60015"},
                   {"$01RI1C4G0", "?"},
                   {"$01RI1C0G", "?"}}},
        ReplyCase{"OutputTables",
                  [](Lx3200State& s) {
                    s.ao_cal_gain[1][3] = 0x7FF0;
                    s.ao_cal_offset[1][3] = 3;
                  },
                  {{"$01RO1C1G3", "!7FF00003"}, {"$01RO1C2G0", "?"}, {"$01RO1C0G4", "?"}}},
        ReplyCase{"InputCodesEightDigitsEach",
                  [](Lx3200State& s) {
                    s.ai_code[0][7] = 0x000001;
                    s.ai_code[1][7] = 0xFFFFFF;
                    s.ai_code[2][7] = 0x7FFFFF;
                    s.ai_code[3][7] = 0x800000;
                  },
                  {{"#01H7", "!0000000100FFFFFF007FFFFF00800000"}, {"#01HA", "?"}}},
        ReplyCase{"Encoder",
                  [](Lx3200State& s) { s.encoder_count = 0xABCD12; },
                  {{"$01D", ">01010"},
                   {"#01N", ">00ABCD12"},
                   {"$01D831", ">"},  // s2 8, s1 2, s3 1; clears the count
                   {"$01D", ">01831"},
                   {"#01N", ">00000000"},
                   {"$01D900", "?"},
                   {"$01D800", "?"},
                   {"$01D814", "?"},
                   {"$01D", ">01831"}}},
        ReplyCase{"RateDividers", none,
                  {{"~01R", "!0102024096"},
                   {"~01R08080256", "!"},
                   {"~01R", "!0108080256"},
                   {"~01R03020256", "?"},
                   {"~01R16020256", "?"},
                   {"~01R02020100", "?"},
                   {"~01R0202409", "?"},
                   {"~01RPF5", "!"},  // the RMS setting, not a rate
                   {"~01RP", "!01F5"},
                   {"~01R", "!0108080256"}}},
        ReplyCase{"ScanSetup", none,
                  {{"~01PG9C4T2M0", "!"},
                   {"~01P", "!01G9C4T2M0"},
                   {"~01PG0C5T0M0", "?"},
                   {"~01PG0C4T3M0", "?"},
                   {"~01PC4T0M0", "?"},  // the form without gain is another device's
                   {"", "?"},
                   {"~01P", "!01G9C4T2M0"},
                   {"~01N", "!01000"}}},
        ReplyCase{"TriggerLevels", none,
                  {{"~01XC0", "!01C0H7FFFFFL800000"},
                   {"~01XC2H123456L00ABCD", "!"},
                   {"~01XC2", "!01C2H123456L00ABCD"},
                   {"~01XC3HFFC00000LFF800001", "!"},
                   {"~01XC3", "!01C3HC00000L800001"},
                   {"~01XC4", "?"},
                   {"~01XC1H12L", "?"}}},
        ReplyCase{"AnalogOutputs", none,
                  {{"#0113-02.500", ">"},
                   {"#0102ABCD", ">"},
                   {"#0101+00.125", ">"},
                   {"#0140000", "?"},
                   {"#0200+01.000", "?"},
                   {"#0100+1.0x", "?"},
                   {"#0100ABC", "?"}},
                  [](const Lx3200State& s) {
                    EXPECT_EQ(s.ao[1].range, 3);
                    EXPECT_EQ(s.ao[1].volts, -2.5);
                    EXPECT_FALSE(s.ao[1].code);
                    EXPECT_EQ(s.ao[0].range, 1);
                    EXPECT_EQ(s.ao[0].volts, 0.125);  // the code written before is gone
                    EXPECT_FALSE(s.ao[0].code);
                    EXPECT_EQ(s.ao[0].writes, 2u);
                  }},
        ReplyCase{"DigitalIo", [](Lx3200State& s) { s.di = 6; },
                  {{"@01D9", "!"}, {"@01", "!96"}, {"#01A00", "!"}, {"@01", "!86"}}},
        ReplyCase{"NoLx3100OnlyCommands", none,
                  {{"~01V", "?"},
                   {"~01Y00000010", "?"},
                   {"@01G", "?"},
                   {"@01REC", "?"},
                   {"$01R0C0G0", "?"},
                   {"~01SI", "?"},
                   {"Q", std::nullopt}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Signal24, FillMatchesTheCodesFromAnyStart) {
  for (unsigned channels : {1u, 3u, 4u}) {
    for (std::uint64_t first : {0ull, 5ull, 996ull * 4 + 1, 123457ull}) {
      const std::size_t n = 3000;
      std::vector<char> out(4 * n);
      sim::fill_stream24(channels, first, n, out.data());
      for (std::size_t i = 0; i < n; ++i) {
        const auto* b = reinterpret_cast<const unsigned char*>(out.data() + 4 * i);
        ASSERT_EQ(b[3], 0) << i;
        const uint32_t word = b[0] | b[1] << 8 | b[2] << 16;
        ASSERT_EQ(sign_extend24(static_cast<int>(word)), sim::stream_code24(channels, first + i))
            << "channels " << channels << " sample " << first + i;
      }
    }
  }
}

TEST(Signal24, SpansBothSignsWithoutOverRangeCodes) {
  for (unsigned c = 0; c < 4; ++c) {
    int32_t lo = 0, hi = 0;
    for (std::uint64_t scan = 0; scan < 50000; ++scan) {
      const int32_t v = sim::scan_code24(c, scan);
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
    EXPECT_GT(lo, -0x800000) << c;
    EXPECT_LT(hi, 0x7FFFFF) << c;
    EXPECT_LT(lo, -300000) << c;
    EXPECT_GT(hi, 300000) << c;
  }
  EXPECT_GT(sim::scan_code24(0, 250), 0x700000);  // near full scale
}

}  // namespace
}  // namespace korvel
