// Opening, identifying and releasing devices through the exported API.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "korvel/korvel.h"
#include "korvel/sim/lx3100.h"
#include "sim_helpers.h"

namespace korvel::test {
namespace {

struct AddressCase {
  const char* name;
  std::string suffix;  // appended to the device's address
  int sim_cmd_port;
  int sim_data_port;
  unsigned error;  // 0: opens
};

class AddressParsing : public ::testing::TestWithParam<AddressCase> {};

TEST_P(AddressParsing, PortsAndFailures) {
  const AddressCase& c = GetParam();
  sim::Config cfg = sim_config();
  cfg.cmd_port = c.sim_cmd_port;
  cfg.data_port = c.sim_data_port;
  auto dev = start_sim(cfg);
  KV_ClearLastError();
  KV_HANDLE h = KV_Device_Create((cfg.address + c.suffix).c_str());
  if (c.error == 0) {
    ASSERT_NE(h, nullptr) << std::hex << last_error();
    EXPECT_EQ(dev->count_commands("$01R0C"), 16u);  // spoke on the command port it serves
    EXPECT_EQ(KV_Device_Release(h), 1);
  } else {
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(last_error(), c.error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AddressParsing,
    ::testing::Values(AddressCase{"Defaults", "", 9999, 10010, 0},
                      AddressCase{"CommandPort", ",9502", 9502, 10010, 0},
                      AddressCase{"BothPorts", ",9502,9503", 9502, 9503, 0},
                      AddressCase{"EmptyMiddleFieldSkipped", ",,9503", 9503, 10010, 0},
                      AddressCase{"TrailingCommas", ",9502,,,", 9502, 10010, 0},
                      AddressCase{"ZeroCommandPort", ",0", 9999, 10010, 0x1300C},
                      AddressCase{"LettersAsPort", ",abc", 9999, 10010, 0x1300C},
                      AddressCase{"ZeroDataPort", ",9502,0", 9502, 10010, 0x1300C},
                      AddressCase{"FourFields", ",1,2,3", 9999, 10010, 0x1300C},
                      AddressCase{"SixFields", ",1,2,3,4,5", 9999, 10010, 0x1300C},
                      AddressCase{"OverlongField", ",00000000000000000009999", 9999, 10010,
                                  0x1300C},
                      AddressCase{"WrongCommandPort", ",9502", 9999, 10010, 0x17006}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DeviceCreate, MalformedAddressesNeverConnect) {
  std::string too_long = "127.0.0.1";
  while (too_long.size() < 64) too_long += ",1";
  const std::string bad[] = {"localhost", "127.0.0", "127.0.0.1.5", "127.0.0.256", "",
                             ",", "127.0.0.1 ", " 127.0.0.1", too_long};
  for (const std::string& a : bad) {
    KV_ClearLastError();
    EXPECT_EQ(KV_Device_Create(a.c_str()), nullptr) << a;
    EXPECT_EQ(last_error(), 0x1300Cu) << a;
  }
  EXPECT_EQ(KV_Device_Create(nullptr), nullptr);
  EXPECT_EQ(last_error(), 0x1300Cu);
}

TEST(DeviceCreate, DuplicateAddressIsRefusedAndTheFirstHandleKeepsWorking) {
  OpenDevice d;
  EXPECT_EQ(KV_Device_Create(d.sim->config().address.c_str()), nullptr);
  EXPECT_EQ(last_error(), 0x17006u);
  float v = 0;
  EXPECT_EQ(KV_ReadAI(d.handle, 0, 0, &v), 1);
}

struct IdCase {
  const char* id;
  unsigned error;  // 0: opens as an LX-3100
};

class ModelIds : public ::testing::TestWithParam<IdCase> {};

TEST_P(ModelIds, Factory) {
  sim::Config cfg = sim_config();
  cfg.id = GetParam().id;
  auto dev = start_sim(cfg);
  KV_HANDLE h = KV_Device_Create(cfg.address.c_str());
  if (GetParam().error == 0) {
    ASSERT_NE(h, nullptr);
    char name[20];
    EXPECT_EQ(KV_GetModelName(h, name), 1);
    EXPECT_STREQ(name, "LX-3100");  // the descriptor's name, not the reported id
    KV_Device_Release(h);
  } else {
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(last_error(), GetParam().error);
    EXPECT_EQ(dev->count_commands(""), 0u);  // no driver connected
  }
}

INSTANTIATE_TEST_SUITE_P(Ids, ModelIds,
                         ::testing::Values(IdCase{"LX3100", 0}, IdCase{"LX31002", 0},
                                           IdCase{"LX3100-B", 0}, IdCase{"LX310", 0x13007},
                                           IdCase{"UNKNOWN", 0x13007}));

TEST(DeviceCreate, SilentIdentificationIsNotRecognised) {
  sim::Config cfg = sim_config();
  auto dev = start_sim(cfg);
  dev->set_silent_identification(true);
  EXPECT_EQ(KV_Device_Create(cfg.address.c_str()), nullptr);
  EXPECT_EQ(last_error(), 0x13007u);
}

TEST(DeviceCreate, NothingListeningFailsToOpen) {
  const std::string addr = sim::unique_loopback_address();
  EXPECT_EQ(KV_Device_Create(addr.c_str()), nullptr);
  EXPECT_EQ(last_error(), 0x17006u);
}

struct CalibrationTableCase {
  int zero_pairs;
  bool opens;
};

class CalibrationTable : public ::testing::TestWithParam<CalibrationTableCase> {};

TEST_P(CalibrationTable, MostlyEmptyTableRefusesTheDevice) {
  sim::Config cfg = sim_config();
  auto dev = start_sim(cfg);
  dev->with_model([&](sim::Model& m) {
    auto& s = static_cast<sim::Lx3100&>(m).state();
    for (int k = 0; k < GetParam().zero_pairs; ++k) {
      s.cal_gain[k / 2][k % 2] = 0;
      s.cal_offset[k / 2][k % 2] = 0;
    }
  });
  KV_HANDLE h = KV_Device_Create(cfg.address.c_str());
  EXPECT_EQ(h != nullptr, GetParam().opens);
  if (h) {
    KV_Device_Release(h);
  } else {
    EXPECT_EQ(last_error(), 0x17006u);
  }
}

INSTANTIATE_TEST_SUITE_P(Pairs, CalibrationTable,
                         ::testing::Values(CalibrationTableCase{0, true},
                                           CalibrationTableCase{4, true},
                                           CalibrationTableCase{5, false},
                                           CalibrationTableCase{16, false}));

TEST(DeviceCreate, FailedLastCalibrationExchangeRefusesTheDevice) {
  sim::Config cfg = sim_config();
  auto dev = start_sim(cfg);
  dev->add_fault(sim::Fault::no_reply("$01R0C7G1"));
  EXPECT_EQ(KV_Device_Create(cfg.address.c_str()), nullptr);
  EXPECT_EQ(last_error(), 0x17006u);
}

TEST(DeviceRelease, GarbageHandlesAreRejectedWithoutBeingRead) {
  int local = 0;
  KV_HANDLE garbage[] = {reinterpret_cast<KV_HANDLE>(0x1), reinterpret_cast<KV_HANDLE>(&local),
                         reinterpret_cast<KV_HANDLE>(~uintptr_t{0} - 15)};
  for (KV_HANDLE h : garbage) {
    char text[64];
    float v;
    EXPECT_EQ(KV_Device_Release(h), 0);
    EXPECT_EQ(KV_ReadAI(h, 0, 0, &v), 0);
    EXPECT_EQ(last_error(), 0x1300Au);
    EXPECT_EQ(KV_GetModelName(h, text), 0);
    EXPECT_EQ(KV_Calibrate_Data_HEX(h, 0, 0, 0, &local), 0);
    EXPECT_EQ(last_error(), 0x1300Au);
  }
}

TEST(Queries, ModelFirmwareAndHardwareVersions) {
  sim::Config cfg = sim_config();
  cfg.firmware = 0x105;
  cfg.firmware_date = "2026/11/20";
  OpenDevice d(cfg);
  char text[64];
  ASSERT_EQ(KV_GetFirmwareVersion(d.handle, text), 1);
  EXPECT_STREQ(text, "V105,2026/11/20");
  ASSERT_EQ(KV_GetHWFirmwareVersion(d.handle, text), 1);
  EXPECT_STREQ(text, "V7b");  // 123 reported in decimal, shown in hexadecimal
  EXPECT_EQ(d.last_command(), "$01F");
  ASSERT_EQ(KV_GetModelName(d.handle, text), 1);
  EXPECT_STREQ(text, "LX-3100");

  std::strcpy(text, "untouched");
  EXPECT_EQ(KV_GetFirmwareVersion(nullptr, text), 0);
  EXPECT_STREQ(text, "untouched");
  EXPECT_EQ(KV_GetHWFirmwareVersion(nullptr, text), 0);
  EXPECT_STREQ(text, "");
}

TEST(Queries, HardwareVersionReplies) {
  OpenDevice d;
  char text[16];
  d.sim->add_fault(sim::Fault::reply("$01F", "!12"));
  ASSERT_EQ(KV_GetHWFirmwareVersion(d.handle, text), 1);
  EXPECT_STREQ(text, "Vc");
  d.sim->add_fault(sim::Fault::reply("$01F", "!"));
  ASSERT_EQ(KV_GetHWFirmwareVersion(d.handle, text), 1);
  EXPECT_STREQ(text, "V0");
}

TEST(SendRecv, PassesCommandsThroughUnchanged) {
  OpenDevice d;
  char reply[256];
  ASSERT_EQ(KV_SendRecv(d.handle, const_cast<char*>("$01R0C2G0"), reply, 1000), 1);
  EXPECT_STREQ(reply, "!7FB0FFFE");
  EXPECT_EQ(KV_SendRecv(nullptr, const_cast<char*>("$01F"), reply, 1000), 0);
  EXPECT_EQ(last_error(), 0x1300Au);
}

}  // namespace
}  // namespace korvel::test
