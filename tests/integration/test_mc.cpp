// Slot-based controllers (MC610s, MC620Ws) end to end against the simulator:
// slot tables, the spreading of a scan over the slots, per-slot commands,
// triggers and calibration, single-point reads, and scans whose slots stream
// out of step and must be merged back into whole scans sample by sample.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "drivers/mc620s/mc620_records.h"
#include "engine/ring_buffer.h"
#include "korvel/korvel.h"
#include "korvel/sim/mc.h"
#include "sim_helpers.h"

namespace korvel::test {
namespace {

sim::Config mc_config(const std::string& model, const std::string& slots, bool fast = true) {
  sim::Config c = fast ? fast_config(model) : sim_config(model);
  c.slots = slots;
  return c;
}

int set_scan(KV_HANDLE h, short channels, unsigned count, short trigger = 0, int rate = 100,
             short gain = 0, short transfer = 0) {
  return KV_SetAIScanParam(h, channels, gain, trigger, rate, count, transfer, 0);
}

std::vector<int16_t> read_scan(KV_HANDLE h, unsigned total, bool finite = true,
                               int timeout_ms = 20000);
long first_misplaced(const std::vector<int16_t>& codes, unsigned channels, uint64_t first = 0);

// ---------------------------------------------------------------------------
// Connection and slot table

struct TableCase {
  const char* model;
  const char* slots;
  int count;
  std::vector<int> table;  // GetModuleTable's bytes
  int channels;            // total channel count
  std::vector<int> ports;  // data port offsets that carry a stream
};

class McTable : public ::testing::TestWithParam<TableCase> {};

TEST_P(McTable, SlotTableChannelsAndDataPorts) {
  const TableCase& c = GetParam();
  OpenDevice d(mc_config(c.model, c.slots));
  ASSERT_NE(d.handle, nullptr);
  int count = -1;
  char table[8] = {};
  ASSERT_EQ(KV_Get_Module_Count(d.handle, &count, table), 1);
  EXPECT_EQ(count, c.count);
  for (std::size_t k = 0; k < c.table.size(); ++k) EXPECT_EQ(table[k], c.table[k]) << k;

  // The total channel count bounds every channel number.
  d.sim->clear_commands();
  EXPECT_EQ(set_scan(d.handle, static_cast<short>(c.channels + 1), 0), 0);
  EXPECT_EQ(last_error(), KV_ERR_INPUT_CHANNEL);
  EXPECT_TRUE(d.sim->commands().empty());
  ASSERT_EQ(set_scan(d.handle, static_cast<short>(c.channels), 0), 1);

  // A short scan over every channel reaches the data port of each slot.
  ASSERT_EQ(set_scan(d.handle, static_cast<short>(c.channels), 10u * c.channels), 1);
  ASSERT_EQ(KV_StartAIScan(d.handle), 1);
  EXPECT_NE(wait_status(d.handle, 0x80) & 0x80, 0);
  // The device reads the last acknowledgements on its own time.
  EXPECT_TRUE(d.sim->wait_stream_done(5000));
  for (int port : c.ports) EXPECT_GT(d.sim->stream_stats(port).acked_units, 0u) << port;
  KV_StopAIScan(d.handle);
}

INSTANTIATE_TEST_SUITE_P(
    Slots, McTable,
    ::testing::Values(TableCase{"MC610s", "10010000", 2, {8, 8}, 16, {0, 3}},
                      TableCase{"MC610s", "11010000", 3, {8, 8, 8}, 24, {0, 1, 3}},
                      TableCase{"MC620Ws", "19", 2, {1, 6}, 24, {0, 1}},
                      // Code '5' is no card: its entry stays empty, '9' takes the next.
                      TableCase{"MC620Ws", "159", 3, {1, 0, 6}, 24, {0, 2}}),
    [](const auto& info) { return std::string(info.param.model) + "_" + info.param.slots; });

struct RefusedCase {
  const char* model;
  const char* reply;  // the controller's answer to "$01C"
};

TEST(McConnect, SlotCountsOutsideTheTableAreRefused) {
  for (const RefusedCase& c : {RefusedCase{"MC610s", "!01000000000"},
                               RefusedCase{"MC610s", "!01911111111"},
                               // A count the presence characters do not bear out.
                               RefusedCase{"MC610s", "!01210000000"},
                               RefusedCase{"MC620Ws", "!0109111111111"}}) {
    SCOPED_TRACE(std::string(c.model) + " " + c.reply);
    const sim::Config config = mc_config(c.model, "");
    auto s = start_sim(config);
    s->add_fault(sim::Fault::reply("$01C", c.reply));
    KV_SetLastError(0);
    EXPECT_EQ(KV_Device_Create(config.address.c_str()), nullptr);
    EXPECT_EQ(last_error(), KV_ERR_OPEN_DEVICE);
  }
}

TEST(McConnect, Mc610sSetsItsWindowAndReadsEverySlotsCalibration) {
  OpenDevice d(mc_config("MC610s", "10010000"));
  const std::vector<std::string> expected = {"$01C",         "~01WS8032768", "$01RS00G0",
                                             "$01RS00G1",    "$01RS30G0",    "$01RS30G1"};
  EXPECT_EQ(d.sim->commands(), expected);
}

TEST(McConnect, MissingCalibrationFailsCreation) {
  const sim::Config config = mc_config("MC610s", "11000000");
  auto s = start_sim(config);
  s->add_fault(sim::Fault::reply("$01RS10G1", "?01"));
  EXPECT_EQ(KV_Device_Create(config.address.c_str()), nullptr);
  EXPECT_EQ(last_error(), KV_ERR_OPEN_DEVICE);
}

// The simulator answers as strictly as a controller, refusals included, so
// that a driver sending a command the device would refuse fails its tests.
TEST(McConnect, SimulatorRepliesThroughThePassThrough) {
  struct Case {
    const char* model;
    std::vector<std::pair<std::string, std::string>> exchanges;  // command, reply
  };
  const std::vector<Case> cases = {
      {"MC610s",
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
        {"~01EDS2C7G3F800000", "!01"},
        {"~01EDS2C7", "!013F800000"},
        {"~01EDS3C0", "?"},  // ordinal 3 does not exist
        {"~01RPF00042", "!01"},
        {"~01RP", "!01F00042"},
        {"~01DT00007", "!01"},
        {"~01DT", "!0100007"},
        {"~01S", "?"},
        {"~01Q", "?"}}},
      {"MC620Ws",
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
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.model);
    OpenDevice d(mc_config(c.model, ""));
    for (const auto& [line, reply] : c.exchanges) {
      char got[256] = {};
      ASSERT_EQ(KV_SendRecv(d.handle, line.c_str(), got, 1000), 1) << line;
      EXPECT_EQ(got, reply) << line;
    }
  }
}

TEST(McConnect, VersionsRebootAndTriggerOutput) {
  OpenDevice a(mc_config("MC610s", "10010000"));
  a.sim->add_fault(sim::Fault::reply("$01FS8", ">0123,0000,0000,0ABC,0000,0000,0000,0000"));
  char text[64] = "x";
  EXPECT_EQ(KV_GetHWFirmwareVersion(a.handle, text), 1);
  EXPECT_STREQ(text, "V123,V0,V0,VABC,V0,V0,V0,V0");
  a.sim->add_fault(sim::Fault::reply("$01FS8", ">0123"));
  EXPECT_EQ(KV_GetHWFirmwareVersion(a.handle, text), 1);
  EXPECT_STREQ(text, "");
  expect_exchanges(a, {{"reboot", [](KV_HANDLE h) { return KV_Reboot(h); }, 1, 0, {"$01Q"}},
                       {"trig out", [](KV_HANDLE h) { return KV_Configure_Trig_Out(h, 1, 0); },
                        1, 0, {"~01MS1", "~01ME0"}}});

  OpenDevice b(mc_config("MC620Ws", "193"));
  b.sim->add_fault(sim::Fault::reply("$01F", "!0101,0A02,0003"));
  EXPECT_EQ(KV_GetHWFirmwareVersion(b.handle, text), 1);
  EXPECT_STREQ(text, "V101,VA02,V3");
  b.sim->add_fault(sim::Fault::reply("$01F", "!0101"));
  EXPECT_EQ(KV_GetHWFirmwareVersion(b.handle, text), 1);
  EXPECT_STREQ(text, "");
}

// ---------------------------------------------------------------------------
// Scan configuration: distribution over the slots, argument checks

struct ScanCase {
  const char* name;
  const char* model;
  const char* slots;
  short channels;
  unsigned count;
  short trigger;
  std::vector<std::string> commands;
};

TEST(McScanParam, ChannelsAndSamplesAreSpreadInOrdinalOrder) {
  const std::vector<ScanCase> cases = {
      {"12 over 8+4, N 96", "MC610s", "10010000", 12, 96, 0,
       {"~01PS0G0C8T0M0", "~01PS3G0C4T0M0", "~01RS8000100", "~01TS00000000064",
        "~01TS30000000032"}},
      {"remainder to the first slot", "MC610s", "10010000", 12, 100, 0,
       {"~01PS0G0C8T0M0", "~01PS3G0C4T0M0", "~01RS8000100", "~01TS00000000068",
        "~01TS30000000032"}},
      {"20 over 3 slots, N 1010", "MC610s", "11010000", 20, 1010, 0,
       {"~01PS0G0C8T0M0", "~01PS1G0C8T0M0", "~01PS3G0C4T0M0", "~01RS8000100",
        "~01TS00000000408", "~01TS10000000402", "~01TS30000000200"}},
      {"unused slot gets nothing", "MC610s", "11010000", 5, 0, 0,
       {"~01PS0G0C5T0M0", "~01PS1G0C0T0M0", "~01PS3G0C0T0M0", "~01RS8000100",
        "~01TS00000000000", "~01TS10000000000", "~01TS30000000000"}},
      {"modes 4 and 5 give each slot the count", "MC610s", "11010000", 12, 50, 4,
       {"~01PS0G0C8T4M0", "~01PS1G0C4T4M0", "~01PS3G0C0T4M0", "~01RS8000100",
        "~01TS00000000050", "~01TS10000000050", "~01TS30000000000"}},
      {"cards of different widths", "MC620Ws", "193", 20, 1010, 0,
       {"~01PS00G0C08T0M0", "~01PS01G0C0CT0M0", "~01PS02G0C00T0M0", "~01R000100",
        "~01TS000000000408", "~01TS010000000602", "~01TS020000000000"}},
      {"MC620Ws has only mode 0", "MC620Ws", "19", 24, 48, 3,
       {"~01PS00G0C08T0M0", "~01PS01G0C10T0M0", "~01R000100", "~01TS000000000016",
        "~01TS010000000032"}},
  };
  for (const ScanCase& c : cases) {
    SCOPED_TRACE(c.name);
    OpenDevice d(mc_config(c.model, c.slots));
    expect_exchange(
        d, [&](KV_HANDLE h) { return set_scan(h, c.channels, c.count, c.trigger); }, 1, 0,
        c.commands);
  }
}

TEST(McScanParam, ReadBackSumsTheSlots) {
  OpenDevice d(mc_config("MC610s", "11010000"));
  ASSERT_EQ(set_scan(d.handle, 20, 1010, 0, 250, 1, 1), 1);
  short ch = 0, gain = 0, trig = 0, transfer = 0, option = -1;
  int rate = 0;
  unsigned count = 0;
  ASSERT_EQ(KV_GetAIScanParam(d.handle, &ch, &gain, &trig, &rate, &count, &transfer, &option), 1);
  EXPECT_EQ(ch, 20);
  EXPECT_EQ(gain, 1);
  EXPECT_EQ(rate, 250);
  EXPECT_EQ(count, 1010u);
  EXPECT_EQ(transfer, 1);
  EXPECT_EQ(option, 0);
  // Modes 4 and 5 report the count each slot was given.
  ASSERT_EQ(set_scan(d.handle, 12, 50, 5), 1);
  ASSERT_EQ(KV_GetAIScanParam(d.handle, &ch, &gain, &trig, &rate, &count, &transfer, &option), 1);
  EXPECT_EQ(ch, 12);
  EXPECT_EQ(trig, 5);
  EXPECT_EQ(count, 50u);

  OpenDevice e(mc_config("MC620Ws", "193"));
  ASSERT_EQ(set_scan(e.handle, 30, 3000, 0, 1000), 1);
  ASSERT_EQ(KV_GetAIScanParam(e.handle, &ch, &gain, &trig, &rate, &count, &transfer, &option), 1);
  EXPECT_EQ(ch, 30);
  EXPECT_EQ(rate, 1000);
  EXPECT_EQ(count, 3000u);
}

struct RefusedScan {
  const char* model;
  short channels, gain, trigger;
  int rate;
  unsigned count;
  short transfer;
  unsigned error;
};

TEST(McScanParam, RefusedArgumentsSendNothing) {
  const std::vector<RefusedScan> cases = {
      {"MC610s", 0, 0, 0, 100, 0, 0, KV_ERR_INPUT_CHANNEL},
      {"MC610s", 17, 0, 0, 100, 0, 0, KV_ERR_INPUT_CHANNEL},
      {"MC610s", 8, 2, 0, 100, 0, 0, KV_ERR_GAIN_RANGE},
      {"MC610s", 8, 0, 6, 100, 0, 0, KV_ERR_INTERRUPT_MODE},
      {"MC610s", 8, 0, 2, 100, 0, 0, KV_ERR_SCAN_MODE},
      {"MC610s", 8, 0, 3, 100, 0, 0, KV_ERR_SCAN_MODE},
      {"MC610s", 8, 0, 0, 200001, 0, 0, KV_ERR_VALUE_RANGE},
      {"MC610s", 8, 0, 0, 0, 0, 0, KV_ERR_VALUE_RANGE},
      {"MC610s", 8, 0, 0, 100, 30000001, 0, KV_ERR_VALUE_RANGE},
      {"MC610s", 8, 0, 0, 100, 0, 2, KV_ERR_VALUE_RANGE},
      {"MC620Ws", 25, 0, 0, 100, 0, 0, KV_ERR_INPUT_CHANNEL},
      {"MC620Ws", 8, 0, 0, 100, 30000001, 0, KV_ERR_VALUE_RANGE},
      {"MC620Ws", 8, 0, 0, 100, 0, 2, KV_ERR_VALUE_RANGE},
      {"MC620Ws", 8, 0, 0, 1000000, 0, 0, KV_ERR_VALUE_RANGE},
  };
  OpenDevice m610(mc_config("MC610s", "10010000"));
  OpenDevice m620(mc_config("MC620Ws", "19"));
  for (const RefusedScan& c : cases) {
    SCOPED_TRACE(std::string(c.model) + " channels " + std::to_string(c.channels) + " error " +
                 std::to_string(c.error));
    OpenDevice& d = std::string(c.model) == "MC610s" ? m610 : m620;
    expect_exchange(
        d,
        [&](KV_HANDLE h) {
          return KV_SetAIScanParam(h, c.channels, c.gain, c.trigger, c.rate, c.count, c.transfer,
                                   0);
        },
        0, c.error, {});
  }
}

// ---------------------------------------------------------------------------
// Configuration items

TEST(McConfig, ItemsFourToSix) {
  OpenDevice d(mc_config("MC610s", "10010000"));
  expect_exchanges(
      d,
      {
          {"rms window clamped", [](KV_HANDLE h) { return KV_SetConfig(h, 5, 0, 0); }, 1, 0,
           {"~01RPF00500"}},
          {"time-out clamped", [](KV_HANDLE h) { return KV_SetConfig(h, 5, 1, 5000); }, 1, 0,
           {"~01DT01000"}},
          {"item 5 other index", [](KV_HANDLE h) { return KV_SetConfig(h, 5, 2, 1); }, 0,
           KV_ERR_CONFIG_ITEM, {}},
          {"item 2 refused", [](KV_HANDLE h) { return KV_SetConfig(h, 2, 0, 1); }, 0,
           KV_ERR_INVALID_ARGUMENT, {}},
          {"grouping above 7", [](KV_HANDLE h) { return KV_SetConfig(h, 4, 1, 8); }, 0,
           KV_ERR_INVALID_ARGUMENT, {}},
          {"factor of channel 9 goes to slot ordinal 1",
           [](KV_HANDLE h) { return KV_SetConfig(h, 6, 9, 1500); }, 1, 0,
           {"~01EDS1C1G3FC00000"}},
          {"factor beyond the channels", [](KV_HANDLE h) { return KV_SetConfig(h, 6, 16, 1); },
           0, KV_ERR_INVALID_ARGUMENT, {}},
      });
  int v = 0;
  ASSERT_EQ(KV_GetConfig(d.handle, 6, 9, &v), 1);
  EXPECT_EQ(v, 1500);
  EXPECT_EQ(d.last_command(), "~01EDS1C1");
  ASSERT_EQ(KV_SetConfig(d.handle, 4, 1, 5), 1);
  ASSERT_EQ(KV_GetConfig(d.handle, 4, 1, &v), 1);
  EXPECT_EQ(v, 5);
  ASSERT_EQ(KV_GetConfig(d.handle, 4, 2, &v), 1);
  EXPECT_EQ(static_cast<unsigned>(v), 4000000000u);
  ASSERT_EQ(KV_SetConfig(d.handle, 5, 0, 123), 1);
  ASSERT_EQ(KV_GetConfig(d.handle, 5, 0, &v), 1);
  EXPECT_EQ(v, 123);

  OpenDevice e(mc_config("MC620Ws", "19"));
  expect_exchanges(e, {{"factor ignored", [](KV_HANDLE h) { return KV_SetConfig(h, 6, 3, 7); },
                        1, 0, {}},
                       {"time-out", [](KV_HANDLE h) { return KV_SetConfig(h, 5, 1, 0); }, 1, 0,
                        {"~01DT00001"}}});
  ASSERT_EQ(KV_GetConfig(e.handle, 5, 1, &v), 1);
  EXPECT_EQ(v, 1);
  EXPECT_EQ(e.last_command(), "~01D");
}

// ---------------------------------------------------------------------------
// MC610s analog trigger and calibration

TEST(McTrigger, CountsAreSharedOverSlotsAndLevelsUseTheChannelsCalibration) {
  OpenDevice d(mc_config("MC610s", "10010000"));
  ASSERT_EQ(set_scan(d.handle, 12, 96, 3), 1);
  char enable[12] = {};
  float high[12] = {}, low[12] = {};
  enable[9] = 1;  // slot ordinal 1 (physical 3), position 1
  high[9] = 2.5f;
  low[9] = -1.25f;

  // Refusals come before any command.
  expect_exchanges(
      d, {{"pre + post differs from the count",
           [&](KV_HANDLE h) { return KV_SetAIAnalogTriggerParam(h, 3, enable, high, low, 12, 60, 35); },
           0, KV_ERR_TRIGGER_SETUP, {}},
          {"mode 4", [&](KV_HANDLE h) {
             return KV_SetAIAnalogTriggerParam(h, 4, enable, high, low, 12, 60, 36); },
           0, KV_ERR_TRIGGER_CHANNEL, {}},
          {"more channels than the controller",
           [&](KV_HANDLE h) { return KV_SetAIAnalogTriggerParam(h, 3, enable, high, low, 17, 60, 36); },
           0, KV_ERR_INVALID_VALUE, {}}});
  high[9] = 5.5f;
  expect_exchange(
      d, [&](KV_HANDLE h) { return KV_SetAIAnalogTriggerParam(h, 3, enable, high, low, 12, 60, 36); },
      0, KV_ERR_TRIGGER_PARAM, {});
  high[9] = 2.5f;

  // The level's code through the device's own table of slot ordinal 1,
  // channel 1, gain code 0.
  unsigned short g = 0;
  short o = 0;
  d.with<sim::McModel>([&](sim::McModel& m) {
    g = m.state().cal_gain[1][1][0];
    o = m.state().cal_offset[1][1][0];
  });
  auto code = [&](float v) {
    const double c = (v * 32768.0 / 5.0 - o) * 32767.0 / g;
    return static_cast<unsigned>(static_cast<long long>(c)) & 0xFFFFu;
  };
  char channel9_line[24];
  std::snprintf(channel9_line, sizeof channel9_line, "~01XS3C1H%04XL%04X", code(2.5f),
                code(-1.25f));
  std::vector<std::string> commands = {"~01XS0M3L00000040R00000024", "~01XS3M3L00000020R00000012"};
  for (int c = 0; c < 12; ++c) {
    if (c == 9) {
      commands.push_back(channel9_line);
      continue;
    }
    char line[24];
    // Mode 3 disables a channel with the reversed pair.
    std::snprintf(line, sizeof line, "~01XS%dC%dH8000L7FFF", c < 8 ? 0 : 3, c % 8);
    commands.push_back(line);
  }
  expect_exchange(
      d, [&](KV_HANDLE h) { return KV_SetAIAnalogTriggerParam(h, 3, enable, high, low, 12, 60, 36); },
      1, 0, commands);

  int mode = -1;
  unsigned pre = 0, post = 0, reserved = 0;
  char en[12];
  float hi[12], lo[12];
  ASSERT_EQ(KV_GetAIAnalogTriggerParam(d.handle, &mode, en, hi, lo, 12, &pre, &post, &reserved), 1);
  EXPECT_EQ(mode, 3);
  EXPECT_EQ(pre, 60u);
  EXPECT_EQ(post, 36u);
  for (int c = 0; c < 12; ++c) EXPECT_EQ(en[c], c == 9 ? 1 : 0) << c;
  EXPECT_NEAR(hi[9], 2.5f, 0.001f);
  EXPECT_NEAR(lo[9], -1.25f, 0.001f);
}

// In modes 2 and 3 the controller stops at the end of the trigger's window:
// the trigger's index (in scans, from "~01XN" when the data starts) plus
// the post-trigger count, short of the scan's count.
TEST(McTrigger, ScanEndsAtTheTriggerWindow) {
  OpenDevice d(mc_config("MC610s", "10010000"));
  ASSERT_EQ(set_scan(d.handle, 12, 96, 2, 200000), 1);
  char enable[12] = {};
  float level[12] = {};
  ASSERT_EQ(KV_SetAIAnalogTriggerParam(d.handle, 2, enable, level, level, 12, 60, 36), 1);
  d.with<sim::McModel>([](sim::McModel& m) { m.state().trigger_index = 2; });  // 24 samples
  // The slots deliver the window, 24 + 36 samples, and then nothing.
  sim::StreamFault fault;
  fault.kind = sim::StreamFault::Kind::Silence;
  fault.after_units = 40;
  d.sim->set_stream_fault(fault, 0);
  fault.after_units = 20;
  d.sim->set_stream_fault(fault, 3);
  ASSERT_EQ(KV_StartAIScan(d.handle), 1);
  EXPECT_EQ(wait_status(d.handle, 0x84) & 0xA4, 0x84);
  EXPECT_EQ(first_misplaced(read_scan(d.handle, 60), 12), -1);
  EXPECT_GE(d.sim->count_commands("~01XN"), 1u);
  KV_StopAIScan(d.handle);
}

// Modes 4 and 5 give every slot the whole count and never end by it: the
// received count is reported per slot.
TEST(McTrigger, ModesFourAndFiveCountPerSlot) {
  OpenDevice d(mc_config("MC610s", "10010000"));
  ASSERT_EQ(set_scan(d.handle, 12, 50, 4, 1000), 1);
  ASSERT_EQ(KV_StartAIScan(d.handle), 1);
  unsigned count = 0, status = 0;
  EXPECT_TRUE(wait_until([&] {
    KV_GetTotalSamplingStatus(d.handle, &count, &status);
    return count == 50;
  }));
  EXPECT_TRUE(wait_until([&] {
    return d.sim->stream_stats(0).acked_units + d.sim->stream_stats(3).acked_units == 100u;
  }));
  EXPECT_EQ(status & 0x80, 0u);
  EXPECT_EQ(KV_StopAIScan(d.handle), 1);
}

TEST(McCalibration, EachChannelUsesItsSlotsTable) {
  OpenDevice d(mc_config("MC610s", "10010000"));
  std::vector<std::pair<unsigned short, short>> seen;
  for (int c = 0; c < 16; ++c) {
    for (int g = 0; g < 2; ++g) {
      unsigned short gf = 0;
      short off = 0;
      ASSERT_EQ(KV_ReadGainOffset(d.handle, c, g, &gf, &off), 1);
      EXPECT_NEAR(gf, 32768, 2000) << c;
      seen.emplace_back(gf, off);
      int out = 0;
      ASSERT_EQ(KV_Calibrate_Data_HEX(d.handle, c, g, 1000, &out), 1);
      EXPECT_EQ(out, ((1000 * gf) >> 15) + off);
      float v = 0;
      ASSERT_EQ(KV_Calibrate_Data_Float(d.handle, c, g, -1000, &v), 1);
      EXPECT_FLOAT_EQ(v, static_cast<float>(((-1000 * gf) >> 15) + off) / (g ? 3276.8f : 6553.6f));
    }
  }
  // Distinct per slot and channel: a table read into the wrong place shows.
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(std::unique(seen.begin(), seen.end()), seen.end());
  unsigned short gf = 1;
  short off = 1;
  EXPECT_EQ(KV_ReadGainOffset(d.handle, 16, 0, &gf, &off), 0);
  EXPECT_EQ(last_error(), KV_ERR_INPUT_CHANNEL);
  EXPECT_EQ(gf, 0);
  int out = 0;
  EXPECT_EQ(KV_Calibrate_Data_HEX(d.handle, 0, 2, 0, &out), 0);
  EXPECT_EQ(last_error(), KV_ERR_GAIN_RANGE);
}

// ---------------------------------------------------------------------------
// Single-point reads

TEST(McReadAI, EveryChannelComesFromItsSlot) {
  OpenDevice a(mc_config("MC610s", "11010000"));
  std::vector<int> all(24);
  ASSERT_EQ(KV_ReadAIALLHEX(a.handle, 0, all.data(), 24), 1);
  std::vector<float> volts(24);
  ASSERT_EQ(KV_ReadAIALL(a.handle, 0, volts.data(), 24), 1);
  for (int c = 0; c < 24; ++c) {
    SCOPED_TRACE(c);
    const int expected = sim::slot_code(static_cast<unsigned>(c), 0);
    int code = 0;
    ASSERT_EQ(KV_ReadAIHEX(a.handle, c, 0, &code), 1);
    EXPECT_EQ(code, expected);
    EXPECT_EQ(all[c], expected);
    float v = 0, calibrated = 0;
    ASSERT_EQ(KV_ReadAI(a.handle, c, 0, &v), 1);
    KV_Calibrate_Data_Float(a.handle, c, 0, expected, &calibrated);
    EXPECT_NEAR(v, calibrated, 0.0002f);
    EXPECT_EQ(volts[c], v);
  }
  EXPECT_EQ(a.last_command(), "#01S3G0");  // channel 23 lives in physical slot 3
  float v = 0;
  EXPECT_EQ(KV_ReadAI(a.handle, 24, 0, &v), 0);
  EXPECT_EQ(last_error(), KV_ERR_INPUT_CHANNEL);

  // 88 inputs: their codes come in one reply of 353 characters.
  OpenDevice b(mc_config("MC620Ws", "1599999"));
  for (int c = 0; c < 88; ++c) {
    SCOPED_TRACE(c);
    int code = 0;
    ASSERT_EQ(KV_ReadAIHEX(b.handle, c, 0, &code), 1);
    EXPECT_EQ(code, sim::slot_code(static_cast<unsigned>(c), 0));
    ASSERT_EQ(KV_ReadAI(b.handle, c, 0, &v), 1);
    EXPECT_NEAR(v, sim::slot_code(static_cast<unsigned>(c), 0) / 3276.8f, 0.0002f);
  }
  // Channel 8 is on the third entry: the '5' entry before it has no channels.
  ASSERT_EQ(KV_ReadAI(b.handle, 8, 0, &v), 1);
  EXPECT_EQ(b.last_command(), "#01S2G0");
}

TEST(McReadAI, ReadsDuringAScanReturnAtOnceAndWriteNothing) {
  OpenDevice d(mc_config("MC610s", "10010000"));
  ASSERT_EQ(set_scan(d.handle, 16, 0), 1);
  ASSERT_EQ(KV_StartAIScan(d.handle), 1);
  d.sim->clear_commands();
  float v = 123.0f;
  int code = 77;
  EXPECT_EQ(KV_ReadAI(d.handle, 3, 0, &v), 1);
  EXPECT_EQ(KV_ReadAIHEX(d.handle, 3, 0, &code), 1);
  EXPECT_EQ(v, 123.0f);
  EXPECT_EQ(code, 77);
  EXPECT_EQ(d.sim->count_commands("#01"), 0u);
  EXPECT_EQ(KV_StopAIScan(d.handle), 1);
}

// ---------------------------------------------------------------------------
// Scans: slots out of step merged back into whole scans

// Reads until `total` samples arrived or the deadline passed; in a finite
// scan of `total` samples the readable count never exceeds what it has left.
std::vector<int16_t> read_scan(KV_HANDLE h, unsigned total, bool finite, int timeout_ms) {
  std::vector<int16_t> out;
  std::vector<unsigned> buf(8192);
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (out.size() < total && std::chrono::steady_clock::now() < end) {
    unsigned short status = 0;
    unsigned count = 0;
    KV_GetAIBufferStatus(h, &status, &count);
    if (finite) {
      EXPECT_LE(count, total - out.size());
    }
    count = std::min<unsigned>(count, total - static_cast<unsigned>(out.size()));
    if (count == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    const int n = KV_GetAIBufferHex(h, buf.data(),
                                    std::min<unsigned>(static_cast<unsigned>(buf.size()), count));
    for (int i = 0; i < n; ++i) out.push_back(static_cast<int16_t>(buf[i]));
  }
  return out;
}

// Index of the first sample that is not slot_code(its channel, its scan); -1.
long first_misplaced(const std::vector<int16_t>& codes, unsigned channels, uint64_t first) {
  for (std::size_t i = 0; i < codes.size(); ++i) {
    const uint64_t n = first + i;
    if (codes[i] != sim::slot_code(static_cast<unsigned>(n % channels), n / channels))
      return static_cast<long>(i);
  }
  return -1;
}

struct FiniteCase {
  const char* model;
  const char* slots;
  short channels;
  unsigned count;
};

TEST(McScan, FiniteScansOutOfStepAreMergedSampleBySample) {
  for (const FiniteCase& c : {FiniteCase{"MC610s", "11010000", 20, 1010},
                              FiniteCase{"MC610s", "11010000", 24, 240000},
                              FiniteCase{"MC620Ws", "193", 32, 64000},
                              FiniteCase{"MC620Ws", "193", 30, 30017}}) {
    SCOPED_TRACE(std::string(c.model) + " " + std::to_string(c.channels) + " channels, " +
                 std::to_string(c.count));
    sim::Config config = mc_config(c.model, c.slots);
    config.out_of_step = true;
    OpenDevice d(config);
    ASSERT_EQ(set_scan(d.handle, c.channels, c.count, 0, 1000), 1);
    ASSERT_EQ(KV_StartAIScan(d.handle), 1);
    const std::vector<int16_t> codes = read_scan(d.handle, c.count);
    ASSERT_EQ(codes.size(), c.count);
    EXPECT_EQ(first_misplaced(codes, static_cast<unsigned>(c.channels)), -1);
    const unsigned short status = wait_status(d.handle, 0x84);
    EXPECT_EQ(status & 0x86, 0x84);
    unsigned count = 0, st = 0;
    KV_GetTotalSamplingStatus(d.handle, &count, &st);
    EXPECT_EQ(count, c.count);
    // Nothing more than the count is ever handed out.
    unsigned extra = 0;
    EXPECT_EQ(KV_GetAIBufferHex(d.handle, &extra, 1), 0);
    EXPECT_EQ(KV_StopAIScan(d.handle), 1);
  }
}

TEST(McScan, VoltsFollowEachChannelsCalibration) {
  OpenDevice d(mc_config("MC610s", "11010000"));
  ASSERT_EQ(set_scan(d.handle, 20, 2000, 0, 1000, 1), 1);
  ASSERT_EQ(KV_StartAIScan(d.handle), 1);
  ASSERT_NE(wait_status(d.handle, 0x80) & 0x80, 0);
  // Three raw codes first, so that the volts start mid-scan.
  unsigned raw[3];
  ASSERT_EQ(KV_GetAIBufferHex(d.handle, raw, 3), 3);
  std::vector<float> volts(1997);
  ASSERT_EQ(KV_GetAIBuffer(d.handle, volts.data(), 1997), 1997);
  for (unsigned i = 0; i < volts.size(); ++i) {
    const unsigned n = i + 3, channel = n % 20;
    float expected = 0;
    KV_Calibrate_Data_Float(d.handle, static_cast<int>(channel), 1, sim::slot_code(channel, n / 20),
                            &expected);
    ASSERT_EQ(volts[i], expected) << n;
  }
  KV_StopAIScan(d.handle);
}

TEST(McScan, OverrunEndsTheScanAndKeepsWhatArrivedInPlace) {
  OpenDevice d(mc_config("MC610s", "10010000"));
  ASSERT_EQ(set_scan(d.handle, 16, 0, 0, 1000), 1);
  ASSERT_EQ(KV_StartAIScan(d.handle), 1);
  const unsigned short status = wait_status(d.handle, 0x06, 30000);
  ASSERT_EQ(status & 0x06, 0x06);
  // What the ring kept is still whole scans in place.
  const std::vector<int16_t> codes = read_scan(d.handle, 16 * 1000, false);
  ASSERT_EQ(codes.size(), 16u * 1000);
  EXPECT_EQ(first_misplaced(codes, 16), -1);
  EXPECT_EQ(KV_StopAIScan(d.handle), 1);
  // A new scan starts clean.
  ASSERT_EQ(set_scan(d.handle, 16, 1600, 0, 1000), 1);
  ASSERT_EQ(KV_StartAIScan(d.handle), 1);
  const std::vector<int16_t> again = read_scan(d.handle, 1600);
  EXPECT_EQ(first_misplaced(again, 16), -1);
  EXPECT_EQ(wait_status(d.handle, 0x80) & 0x02, 0);
  KV_StopAIScan(d.handle);
}

TEST(McScan, AStartTheControllerRefusesLeavesNoRun) {
  OpenDevice d(mc_config("MC620Ws", "19"));
  ASSERT_EQ(set_scan(d.handle, 24, 240), 1);
  d.sim->add_fault(sim::Fault::reply("~01S", "?01"));
  EXPECT_EQ(KV_StartAIScan(d.handle), 0);
  EXPECT_EQ(last_error(), KV_ERR_RESPONSE);
  // No run is left behind: the scan can be set and started again.
  ASSERT_EQ(set_scan(d.handle, 24, 240), 1);
  ASSERT_EQ(KV_StartAIScan(d.handle), 1);
  EXPECT_EQ(first_misplaced(read_scan(d.handle, 240), 24), -1);
  d.sim->add_fault(sim::Fault::reply("~01Z", "?01"));
  EXPECT_EQ(KV_StopAIScan(d.handle), 0);
  EXPECT_EQ(last_error(), KV_ERR_RESPONSE);
  EXPECT_EQ(set_scan(d.handle, 8, 0), 1);  // stopped on this side all the same
}

// ---------------------------------------------------------------------------
// MC620Ws logging: the slots' streams merged before they reach the files

TEST(McLog, LogFilesHoldTheMergedScans) {
  sim::Config config = mc_config("MC620Ws", "193");
  config.out_of_step = true;
  for (int mode : {0, 1}) {
    SCOPED_TRACE(mode);
    OpenDevice d(config);
    TempDir dir;
    constexpr unsigned kChannels = 30, kCount = 30 * 400 + 7;
    ASSERT_EQ(set_scan(d.handle, kChannels, kCount, 0, 1000), 1);
    std::string root = dir.path();
    ASSERT_EQ(KV_StartLogger(d.handle, root.data(), 10, mode), 1);
    ASSERT_EQ(wait_status(d.handle, 0x90) & 0x90, 0x90);
    ASSERT_EQ(KV_StopLogger(d.handle), 1);
    const auto data = files_below(root + "/log", mode == 0 ? ".bin" : ".txt");
    ASSERT_EQ(data.size(), 1u);
    const std::string bytes = read_file(data[0]);
    if (mode == 0) {
      ASSERT_EQ(bytes.size(), kCount * 2u);
      std::vector<int16_t> codes(kCount);
      std::memcpy(codes.data(), bytes.data(), bytes.size());
      EXPECT_EQ(first_misplaced(codes, kChannels), -1);
    } else {
      std::string expected;
      char v[32];
      for (unsigned n = 0; n < kCount; ++n) {
        std::snprintf(v, sizeof v, "%0.3lf",
                      sim::slot_code(n % kChannels, n / kChannels) / 3276.8);
        expected += v;
        expected += n % kChannels == kChannels - 1 ? "\r\n" : ",";
      }
      EXPECT_EQ(bytes, expected);
    }
  }
}

// ---------------------------------------------------------------------------
// MC620Ws logging in trigger modes 4 and 5: text records become lines

// The line a logging run writes for scan r of slots carrying these channel
// counts (in ordinal order): the first slot's time and number, the channel
// count, then every slot's values.
std::string record_line(const std::vector<unsigned>& slot_channels, uint64_t r) {
  const uint64_t t = 12 * 3600 + r;
  unsigned total = 0;
  for (unsigned n : slot_channels) total += n;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%02u:%02u:%02u,%llu,%u", static_cast<unsigned>(t / 3600 % 24),
                static_cast<unsigned>(t / 60 % 60), static_cast<unsigned>(t % 60),
                static_cast<unsigned long long>(r), total);
  std::string line = buf;
  unsigned first = 0;
  for (unsigned n : slot_channels) {
    for (unsigned c = 0; c < n; ++c) {
      std::snprintf(buf, sizeof buf, ",%0.3f", sim::mc_record_value(first + c, r));
      line += buf;
    }
    first += n;
  }
  return line + "\n";
}

// Sets a scan the controller then reports in `trigger` mode, as only its own
// setup can bring that mode in.
void set_record_scan(OpenDevice& d, int trigger, short channels, unsigned count, int rate) {
  d.with<sim::McModel>([trigger](sim::McModel& m) { m.state().reported_trigger_mode = trigger; });
  ASSERT_EQ(set_scan(d.handle, channels, count, 0, rate), 1);
  short ch = 0, gain = 0, mode = 0, transfer = 0, option = 0;
  int r = 0;
  unsigned n = 0;
  ASSERT_EQ(KV_GetAIScanParam(d.handle, &ch, &gain, &mode, &r, &n, &transfer, &option), 1);
  ASSERT_EQ(mode, trigger);
}

// Every data file below root, in the order the run wrote them (by the first
// line's number), and each one's content.
std::vector<std::string> record_files(const std::string& root) {
  std::vector<std::pair<unsigned long, std::string>> files;
  for (const std::string& f : files_below(root + "/log", ".txt")) {
    const std::string text = read_file(f);
    const std::size_t comma = text.find(',');
    files.emplace_back(comma == std::string::npos ? 0 : std::stoul(text.substr(comma + 1)), text);
  }
  std::sort(files.begin(), files.end());
  std::vector<std::string> out;
  for (auto& f : files) out.push_back(f.second);
  return out;
}

struct RecordRunCase {
  const char* name;
  const char* slots;
  int trigger;
  std::vector<unsigned> slot_channels;  // the scan's channels per slot
  unsigned scans;                       // whole scans the run logs
  // The scan's count: shared out as samples are, it gives each slot count
  // x its channels / the scan's channels records.
  unsigned count;
  int logger_mode;
  int rate;       // records per second per slot; 0: as fast as taken
  int period;     // minutes per file; 0 splits after every line
  std::optional<sim::StreamFault> fault;  // on slot 1's stream
  bool ends_by_count;
};

// Test names show the case's name rather than its bytes.
void PrintTo(const RecordRunCase& c, std::ostream* os) { *os << c.name; }

class McRecordLog : public ::testing::TestWithParam<RecordRunCase> {};

TEST_P(McRecordLog, LinesHoldWhatTheSlotsSent) {
  const RecordRunCase& c = GetParam();
  OpenDevice d(mc_config("MC620Ws", c.slots, c.rate == 0));
  TempDir dir;
  unsigned channels = 0;
  for (unsigned n : c.slot_channels) channels += n;
  set_record_scan(d, c.trigger, static_cast<short>(channels), c.count, c.rate ? c.rate : 1000);
  if (c.fault) d.sim->set_stream_fault(*c.fault, 1);
  std::string root = dir.path();
  ASSERT_EQ(KV_StartLogger(d.handle, root.data(), c.period, c.logger_mode), 1);
  const unsigned short want = c.ends_by_count ? 0x90 : 0x10;
  ASSERT_EQ(wait_status(d.handle, want, 20000) & want, want);
  unsigned short status = 0;
  unsigned n = 0;
  KV_GetAIBufferStatus(d.handle, &status, &n);
  EXPECT_EQ(status & 0x02, 0);  // nothing was malformed or lost
  KV_StopLogger(d.handle);

  const std::vector<std::string> files = record_files(root);
  ASSERT_FALSE(files.empty());
  if (c.period == 0 && c.rate > 0) {
    EXPECT_GT(files.size(), 1u);  // the run spans seconds
  }
  std::string all;
  for (const std::string& f : files) {
    // Files split between lines only.
    EXPECT_EQ(f.back(), '\n');
    all += f;
  }
  const std::vector<std::string> lines = lines_of(all);
  ASSERT_EQ(lines.size(), c.scans);
  for (unsigned r = 0; r < c.scans; ++r)
    ASSERT_EQ(lines[r] + "\n", record_line(c.slot_channels, r)) << r;
}

INSTANTIATE_TEST_SUITE_P(
    Runs, McRecordLog,
    ::testing::Values(
        RecordRunCase{"ThreeFullSlots", "111", 4, {8, 8, 8}, 120, 360, 0, 0, 10, {}, true},
        // The last slot uses 4 of its record's 8 values, and is given half
        // the records of the others: only the scans it completes are logged.
        RecordRunCase{"PartSlotMode5", "131", 5, {8, 8, 4}, 60, 300, 1, 0, 10, {}, true},
        // In real time over more than a second, with a split after every
        // line whose second has changed.
        RecordRunCase{"SplitFiles", "11", 4, {8, 8}, 304, 608, 0, 200, 0, {}, true},
        // Slot 1's records arrive three bytes at a time.
        RecordRunCase{"ShortBlocks", "11", 4, {8, 8}, 32, 64, 0, 0, 10,
                      sim::StreamFault{sim::StreamFault::Kind::ShortBlocks, 0, 3, 0}, true},
        // Slot 1's connection closes inside its eleventh record: the ten
        // whole scans before it are logged, the cut record is not.
        RecordRunCase{"ClosedInsideARecord", "11", 4, {8, 8}, 10, 0, 0, 0, 10,
                      sim::StreamFault{sim::StreamFault::Kind::Close, 10 * 35 + 17, 3, 0},
                      false}),
    [](const auto& info) { return std::string(info.param.name); });

// A continuous run goes on past the size of the table of record times (the
// times wrap with the ring) until it is stopped.
TEST(McRecordStart, ContinuousRunPassesTheTableSize) {
  OpenDevice d(mc_config("MC620Ws", "11"));
  TempDir dir;
  set_record_scan(d, 4, 16, 0, 1000);
  std::string root = dir.path();
  ASSERT_EQ(KV_StartLogger(d.handle, root.data(), 10, 0), 1);
  constexpr unsigned kLines = kRecordTimeEntries + kRecordTimeEntries / 2;
  uint64_t bytes = 0;
  for (unsigned r = 0; r < kLines; ++r) bytes += record_line({8, 8}, r).size();
  EXPECT_GE(wait_for_bytes(root + "/log", ".txt", bytes, 20000), bytes);
  ASSERT_EQ(KV_StopLogger(d.handle), 1);
  const std::vector<std::string> files = record_files(root);
  ASSERT_EQ(files.size(), 1u);
  const std::vector<std::string> lines = lines_of(files[0]);
  ASSERT_GE(lines.size(), kLines);
  for (unsigned r = 0; r < lines.size(); ++r)
    ASSERT_EQ(lines[r] + "\n", record_line({8, 8}, r)) << r;
}

TEST(McRecordStart, SlotsWiderThanARecordAreRefused) {
  OpenDevice d(mc_config("MC620Ws", "19"));
  TempDir dir;
  set_record_scan(d, 4, 24, 0, 100);
  std::string root = dir.path();
  EXPECT_EQ(KV_StartLogger(d.handle, root.data(), 10, 0), 0);
  EXPECT_EQ(last_error(), KV_ERR_INPUT_CHANNEL);
  EXPECT_TRUE(files_below(root, "").empty());
}

// Record parsing: bounds and formats of every field.
TEST(McRecordParse, FieldsAreCheckedOneByOne) {
  struct Case {
    const char* name;
    std::string text;
    bool ok;
    unsigned long number;
    uint16_t v0;  // first value x 1000
  };
  const std::string good = sim::mc_record(0, 8, 0, 3723);  // 13:02:03
  const std::string tail = ",1,2,3,4,5,6,7";
  const std::vector<Case> cases = {
      {"simulated", good, true, 3723, static_cast<uint16_t>(std::lround(sim::mc_record_value(0, 3723) * 1000))},
      {"padded", "23:59:59,42,0,1.5" + tail + "  \r\n", true, 42, 1500},
      {"spaces around numbers", "00:00:00, 7 ,00, 2.250" + tail, true, 7, 2250},
      {"rounded at the fourth decimal", "00:00:00,1,0,1.2345" + tail, true, 1, 1235},
      {"negative held at 0", "00:00:00,1,0,-0.5" + tail, true, 1, 0},
      {"large held at 65.535", "00:00:00,1,0,70" + tail, true, 1, 65535},
      {"largest number", "00:00:00,18446744073709551615,0,1" + tail, true, 18446744073709551615ul, 1000},
      {"number overflows", "00:00:00,18446744073709551616,0,1" + tail, false, 0, 0},
      {"hour 24", "24:00:00,1,0,1" + tail, false, 0, 0},
      {"minute 60", "00:60:00,1,0,1" + tail, false, 0, 0},
      {"short time", "0:00:00,1,0,1" + tail, false, 0, 0},
      {"empty number", "00:00:00,,0,1" + tail, false, 0, 0},
      {"ordinal too long", "00:00:00,1,0000,1" + tail, false, 0, 0},
      {"seven values", "00:00:00,1,0,1,2,3,4,5,6,7", false, 0, 0},
      {"nine values", "00:00:00,1,0,1" + tail + ",8", false, 0, 0},
      {"letter in a value", "00:00:00,1,0,1.2x" + tail, false, 0, 0},
      {"lone point", "00:00:00,1,0,." + tail, false, 0, 0},
      {"exponent", "00:00:00,1,0,1e3" + tail, false, 0, 0},
      {"NUL inside", std::string("00:00:00,1,0,1\0", 15) + tail, false, 0, 0},
      {"empty", "", false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    McRecord r;
    ASSERT_EQ(parse_record(c.text.data(), c.text.size(), &r), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(r.number, c.number);
    EXPECT_EQ(r.values[0], c.v0);
  }
  McRecord r;
  ASSERT_TRUE(parse_record(good.data(), good.size(), &r));
  EXPECT_EQ(r.hour, 13);
  EXPECT_EQ(r.minute, 2);
  EXPECT_EQ(r.second, 3);
}

// A merger over a ring of two lanes (8 and 4 channels), as a logging run
// sets it up, collecting the lines it writes.
struct MergerBench {
  RingBuffer ring;
  std::vector<std::string> lines;
  RecordMerger merger{ring, [this](const char* t, std::size_t n) {
                        lines.emplace_back(t, n);
                        return true;
                      }};
  MergerBench() {
    EXPECT_TRUE(ring.init_lanes(kRecordTimeEntries * 12 * 2, 24, 0, {{0, 16}, {16, 8}}, 2));
    merger.start({8, 4}, 12);
  }
  std::string record(uint32_t lane, uint64_t r) const {
    return lane == 0 ? sim::mc_record(0, 8, 0, r) : sim::mc_record(8, 4, 1, r);
  }
};

// Damaged records on one slot: their scans are left out, every other scan
// keeps its own values and time, whatever the receive boundaries.
TEST(McRecordMerge, MalformedRecordsLoseOnlyTheirScans) {
  MergerBench b;
  std::string lane0, lane1;
  for (uint64_t r = 0; r < 12; ++r) {
    lane0 += b.record(0, r);
    std::string rec = b.record(1, r);
    if (r == 3) rec.resize(50);                // cut short
    if (r == 6) rec[rec.size() - 2] = 'x';     // a damaged value
    if (r == 8) rec = std::string("#@!\n\0", 5) + rec;  // stray bytes before it
    if (r == 10) rec.replace(0, 8, "99:99:99");  // an impossible time
    lane1 += rec;
  }
  // Odd receive sizes, the slots taking turns.
  std::size_t at0 = 0, at1 = 0, size = 1;
  while (at0 < lane0.size() || at1 < lane1.size()) {
    const std::size_t n0 = std::min(size, lane0.size() - at0), n1 = std::min(size + 5, lane1.size() - at1);
    ASSERT_TRUE(b.merger.feed(0, lane0.data() + at0, n0));
    ASSERT_TRUE(b.merger.feed(1, lane1.data() + at1, n1));
    at0 += n0;
    at1 += n1;
    size = size % 97 + 13;
  }
  std::vector<std::string> expected;
  for (uint64_t r : {0, 1, 2, 4, 5, 7, 8, 9, 11}) expected.push_back(record_line({8, 4}, r));
  EXPECT_EQ(b.lines, expected);
  EXPECT_EQ(b.merger.malformed(), 3u);
  EXPECT_EQ(b.merger.skipped_scans(), 3u);
  EXPECT_NE(b.ring.status() & kStatusOverrun, 0);
}

// The table of record times and the ring wrap together: many tables' worth
// of scans go through with the slots out of step by up to a whole table,
// and a slot one scan further ahead is stopped rather than overwriting.
TEST(McRecordMerge, TimesWrapWithTheRing) {
  MergerBench b;
  constexpr uint64_t kScans = 3 * kRecordTimeEntries + 17;
  uint64_t next1 = 0;
  for (uint64_t r = 0; r < kScans; ++r) {
    const std::string rec = b.record(0, r);
    ASSERT_TRUE(b.merger.feed(0, rec.data(), rec.size())) << r;
    // Slot 1 catches up only when slot 0 is a whole table ahead.
    if (r + 1 - next1 == kRecordTimeEntries || r + 1 == kScans)
      for (; next1 <= r; ++next1) {
        const std::string rec1 = b.record(1, next1);
        ASSERT_TRUE(b.merger.feed(1, rec1.data(), rec1.size())) << next1;
      }
  }
  ASSERT_EQ(b.lines.size(), kScans);
  for (uint64_t r = 0; r < kScans; r += 211) EXPECT_EQ(b.lines[r], record_line({8, 4}, r)) << r;
  EXPECT_EQ(b.lines.back(), record_line({8, 4}, kScans - 1));

  for (uint64_t r = kScans; r < kScans + kRecordTimeEntries; ++r) {
    const std::string rec = b.record(0, r);
    ASSERT_TRUE(b.merger.feed(0, rec.data(), rec.size())) << r;
  }
  const std::string over = b.record(0, kScans + kRecordTimeEntries);
  EXPECT_FALSE(b.merger.feed(0, over.data(), over.size()));
  EXPECT_NE(b.ring.status() & kStatusOverrun, 0);
  EXPECT_EQ(b.lines.size(), kScans);
}

TEST(McRecordMerge, TableRefusesALaneAWholeTableAhead) {
  RecordTimes t;
  t.reset(2);
  McRecord rec;
  for (uint32_t i = 0; i < kRecordTimeEntries; ++i) {
    rec.number = i;
    ASSERT_TRUE(t.write(0, &rec));
  }
  EXPECT_FALSE(t.write(0, &rec));
  EXPECT_FALSE(t.write(2, &rec));  // no such lane
  RecordTimes::Entry e;
  EXPECT_FALSE(t.take(&e));  // lane 1 has written nothing
  ASSERT_TRUE(t.write(1, nullptr));
  ASSERT_TRUE(t.take(&e));
  EXPECT_EQ(e.number, 0u);
  EXPECT_EQ(e.bad_lanes, 2u);
  rec.number = kRecordTimeEntries;
  EXPECT_TRUE(t.write(0, &rec));  // the entry read is free again
  EXPECT_FALSE(t.take(&e));
}

// Operations these controllers do not have keep the library's default.
TEST(McScan, OperationsWithoutSupportAreRefused) {
  OpenDevice a(mc_config("MC610s", "10000000"));
  unsigned di = 0, dout = 0;
  EXPECT_EQ(KV_ReadDIO(a.handle, &di, &dout), 0);
  EXPECT_EQ(last_error(), KV_ERR_UNSUPPORTED);
  EXPECT_EQ(KV_WriteDO(a.handle, 1), 0);
  EXPECT_EQ(last_error(), KV_ERR_UNSUPPORTED);
  char path[] = "/nonexistent";
  EXPECT_EQ(KV_StartLogger(a.handle, path, 1, 0), 0);
  OpenDevice b(mc_config("MC620Ws", "1"));
  int out = 0;
  EXPECT_EQ(KV_Calibrate_Data_HEX(b.handle, 0, 0, 5, &out), 0);
  EXPECT_EQ(last_error(), KV_ERR_UNSUPPORTED);
}

}  // namespace
}  // namespace korvel::test
