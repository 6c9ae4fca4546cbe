// The simulated LX-R5000 on its own: replies to command sequences, the raw
// codes it reads against the driver's per-channel conversion, and scans on
// the data port, live and through the device RAM.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "korvel/sim/lxr5000.h"
#include "korvel/sim/signal.h"
#include "sim_helpers.h"

namespace korvel {
namespace {

using sim::Lxr5000;
using sim::Lxr5000State;

struct Exchange {
  std::string command;
  std::optional<std::string> reply;
};

struct ReplyCase {
  const char* name;
  std::function<void(Lxr5000State&)> setup;
  std::vector<Exchange> exchanges;
};

void none(Lxr5000State&) {}
void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }

class Lxr5000Replies : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(Lxr5000Replies, AnswerInOrder) {
  Lxr5000 m;
  GetParam().setup(m.state());
  for (const Exchange& e : GetParam().exchanges)
    EXPECT_EQ(m.handle(e.command), e.reply) << "command '" << e.command << "'";
}

INSTANTIATE_TEST_SUITE_P(
    Lxr5000, Lxr5000Replies,
    ::testing::Values(
        ReplyCase{"CalibrationPerChannel",
                  [](Lxr5000State& s) {
                    s.full_scale_mv[2] = 10012;
                    s.offset[2] = -37;
                    s.full_scale_mv[1] = 9987;
                    s.offset[1] = 113;
                  },
                  {{"$01R1C2", "!271CFFFFFFDB"},
                   {"$01R1C1", "!270300000071"},
                   {"$01R1C4", "?"},
                   {"$01R1C", "?"},
                   {"$01R1C01", "?"},
                   {"$01RI1C0G0", "?"}}},  // the ranged tables of the LX-3200
        ReplyCase{"SinglePointReadEightDigitsEach",
                  [](Lxr5000State& s) { s.ai_code = {0x000001, 0xFFFFFF, 0x7FFFFF, 0x800000}; },
                  {{"#01R", "!0000000100FFFFFF007FFFFF00800000"},
                   {"#01R0", "?"},  // no gain digit
                   {"#01H0", "?"}}},
        ReplyCase{"SinglePointReadRefusedWhileSampling",
                  [](Lxr5000State& s) { s.sampling = true; },
                  {{"#01R", "?"}, {"~01P", "!01C4T0M0"}}},
        ReplyCase{"ScanSetupWithoutGain", none,
                  {{"~01P", "!01C4T0M0"},
                   {"~01PC3T2M1", "!"},
                   {"~01P", "!01C3T2M1"},
                   {"~01PG0C4T0M0", "?"},
                   {"~01PC5T0M0", "?"},
                   {"~01PC0T0M0", "?"},
                   {"~01PC4T3M0", "?"},
                   {"", "?"},
                   {"~01P", "!01C3T2M1"},
                   {"~01N", "!01000"}}},
        ReplyCase{"RateDividers", none,
                  {{"~01R", "!0102024096"},
                   {"~01R08080256", "!"},
                   {"~01R", "!0108080256"},
                   {"~01R14144096", "!"},
                   {"~01R14144096", "!"},  // sent again in place of the setup
                   {"~01R", "!0114144096"},
                   {"~01R03020256", "?"},
                   {"~01R02020100", "?"},
                   {"~01R0202409", "?"},
                   {"~01R", "!0114144096"}}},
        ReplyCase{"TriggerLevels", none,
                  {{"~01XC0", "!01C0H7FFFFFL800000"},
                   {"~01XC3HFFC00000LFF800001", "!"},
                   {"~01XC3", "!01C3HC00000L800001"},
                   {"~01XC4", "?"}}},
        ReplyCase{"SharedScanCommands", none,
                  {{"~01T1000", "!"},
                   {"~01T", "!011000"},
                   {"~01A2", "!"},
                   {"~01A", "!012"},
                   {"~01XM1L00000010R00000020", "!"},
                   {"~01XM", "!01XM1L00000010R00000020"},
                   {"~01XN", "!0110"},
                   {"~01WS032768", "!"},
                   {"~01SST", "?"},  // never started
                   {"$01F", "!123"}}},
        ReplyCase{"NoDigitalIoCountersOutputsOrEncoder", none,
                  {{"@01", "?"},
                   {"@01D5", "?"},
                   {"#01A01", "?"},
                   {"@01G", "?"},
                   {"@01P0", "?"},
                   {"@01REC", "?"},
                   {"$015PR0", "?"},
                   {"$01D", "?"},
                   {"$01D111", "?"},
                   {"#01N", "?"},
                   {"#0100+01.000", "?"},
                   {"$01RO1C0G0", "?"},
                   {"~01RPF5", "?"},
                   {"~01RP", "?"},
                   {"~01DT00010", "?"},
                   {"~01ED00", "?"},
                   {"~01V", "?"},
                   {"~01Y", "?"},
                   {"~01SI", "?"},
                   {"Q", std::nullopt}}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvel
