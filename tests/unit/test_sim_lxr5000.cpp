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
#include "sim_data_port.h"
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

// Each channel reports a full scale of its own near 10 V and an offset near
// zero, of both signs, so that a driver mixing up channels or dropping the
// offset shows.
TEST(Lxr5000Model, CalibrationDiffersPerChannel) {
  Lxr5000 m;
  std::vector<unsigned> full_scales;
  bool negative = false, positive = false;
  for (int c = 0; c < Lxr5000State::kInputs; ++c) {
    const auto reply = m.handle("$01R1C" + std::to_string(c));
    ASSERT_TRUE(reply && reply->size() == 13 && (*reply)[0] == '!') << c;
    const auto full_scale = static_cast<unsigned>(std::stoul(reply->substr(1, 4), nullptr, 16));
    const auto offset = static_cast<int32_t>(std::stoul(reply->substr(5, 8), nullptr, 16));
    EXPECT_NEAR(full_scale, 10000u, 50u) << c;
    EXPECT_NE(full_scale, 10000u) << c;
    EXPECT_LT(std::abs(offset), 1000) << c;
    negative |= offset < 0;
    positive |= offset > 0;
    for (unsigned other : full_scales) EXPECT_NE(full_scale, other) << c;
    full_scales.push_back(full_scale);
  }
  EXPECT_TRUE(negative && positive);
}

TEST(Lxr5000Model, ConversionAtTheRails) {
  Lxr5000 m;
  m.state().full_scale_mv[0] = 10000;
  m.state().offset[0] = 0;
  m.state().offset[1] = -37;
  EXPECT_EQ(m.volts_of(0, 0x7FFFFF), 10.0f);
  EXPECT_EQ(m.volts_of(0, 0x800000), -10.000001f);
  EXPECT_EQ(m.volts_of(1, 37), 0.0f);  // the offset cancels the code
  EXPECT_LT(m.volts_of(1, 0), 0.0f);
}

// set_input_volts leaves the code whose conversion comes nearest (no
// neighbour is nearer), "#01R" reports it, and volts beyond the full scale
// give the rail codes.
TEST(Lxr5000Model, InputVoltsReadBackNearest) {
  Lxr5000 m;
  const auto& s = m.state();
  const double volts[] = {0.0, 9.9, -9.9, 4.2, -0.3, 0.0000123, -0.0191, 12.0, -12.0};
  for (double v : volts) {
    for (int c = 0; c < Lxr5000State::kInputs; ++c) {
      m.set_input_volts(c, v);
      const uint32_t code = s.ai_code[c];
      const auto reply = m.handle("#01R");
      ASSERT_TRUE(reply && reply->size() == 33);
      EXPECT_EQ(std::stoul(reply->substr(1 + 8 * c, 8), nullptr, 16), code) << c;
      const double lsb = s.full_scale_mv[c] / 1000.0 / 8388607.0;
      if (std::abs(v) > 11) {
        EXPECT_EQ(code, v > 0 ? 0x7FFFFFu : 0x800000u) << "volts " << v << " channel " << c;
        continue;
      }
      const double error = std::abs(m.volts_of(c, code) - v);
      EXPECT_LE(error, lsb) << "volts " << v << " channel " << c;
      for (uint32_t other : {(code - 1) & 0xFFFFFF, (code + 1) & 0xFFFFFF})
        EXPECT_GE(std::abs(m.volts_of(c, other) - v), error) << "volts " << v << " channel " << c;
    }
  }
}

struct ScanCase {
  const char* name;
  const char* rate;   // "~01R" dividers
  const char* setup;  // "~01PC" command
  unsigned channels;
  bool ram;  // the samples wait for "~01E"
};

void PrintTo(const ScanCase& c, std::ostream* os) { *os << c.name; }

class Lxr5000Scan : public ::testing::TestWithParam<ScanCase> {};

TEST_P(Lxr5000Scan, SendsTheSignalAsWords) {
  const ScanCase& p = GetParam();
  sim::Config cfg = test::sim_config("LXR5000");
  cfg.fast = true;
  auto dev = test::start_sim(cfg);
  test::DataPort24 port(cfg.address, cfg.data_port);
  ASSERT_TRUE(port.connected());
  const std::size_t total = p.channels * 4000;
  auto send = [&](const std::string& command) {
    std::optional<std::string> reply;
    dev->with_model([&](sim::Model& m) { reply = m.handle(command); });
    return reply.value_or("(none)");
  };
  EXPECT_EQ(send(p.rate), "!");
  EXPECT_EQ(send(p.setup), "!");
  EXPECT_EQ(send("~01T" + std::to_string(total)), "!");
  EXPECT_EQ(send("~01S"), "!");
  EXPECT_EQ(send("~01N"), "!0101" + std::to_string(total));
  EXPECT_EQ(send("#01R"), "?");
  EXPECT_EQ(send("~01E"), p.ram ? "!" : "?");
  const std::vector<int32_t> got = port.receive(total);
  ASSERT_EQ(got.size(), total);
  for (std::size_t i = 0; i < total; ++i)
    ASSERT_EQ(got[i], sim::stream_code24(p.channels, i)) << "sample " << i;
  ASSERT_TRUE(dev->wait_stream_done(8000));
  EXPECT_EQ(dev->stream_stats().acked_units, total);
  EXPECT_EQ(dev->stream_stats().ack_mismatches, 0u);
  EXPECT_EQ(send("~01Z"), "!");
  EXPECT_EQ(send("#01R").substr(0, 1), "!");
}

// 02020096 gives 42666.67 per channel: 4 x 42666 whole samples is exactly
// the live limit, so the scan still streams live; 02020064 gives 64000.
INSTANTIATE_TEST_SUITE_P(
    Lxr5000, Lxr5000Scan,
    ::testing::Values(ScanCase{"Live", "~01R02024096", "~01PC3T0M0", 3, false},
                      ScanCase{"FastInRam", "~01R02024096", "~01PC3T1M0", 3, true},
                      ScanCase{"AnalogTrigger", "~01R02024096", "~01PC3T2M0", 3, true},
                      ScanCase{"AtTheLiveLimit", "~01R02020096", "~01PC4T0M0", 4, false},
                      ScanCase{"TooFastForLive", "~01R02020064", "~01PC4T0M0", 4, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvel
