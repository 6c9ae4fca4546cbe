#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "korvel/korvel.h"

namespace {

TEST(ErrorStore, FreshThreadReadsZero) {
  int seen = -1;
  std::thread([&] { seen = KV_GetLastError(); }).join();
  EXPECT_EQ(seen, 0);
}

TEST(ErrorStore, SetThenClear) {
  KV_SetLastError(0x17002);
  EXPECT_EQ(KV_GetLastError(), 0x17002);
  KV_ClearLastError();
  EXPECT_EQ(KV_GetLastError(), 0);
}

TEST(ErrorStore, CodesArePerThread) {
  KV_SetLastError(0x13007);
  int other = -1;
  std::thread([&] {
    KV_SetLastError(0x18008);
    KV_ClearLastError();
    other = KV_GetLastError();
  }).join();
  EXPECT_EQ(other, 0);
  EXPECT_EQ(KV_GetLastError(), 0x13007);  // the other thread's clear did not touch ours
}

TEST(ErrorStore, ManyThreadsAtOnceKeepTheirOwnCodes) {
  constexpr int kThreads = 16;
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &mismatches] {
      for (int i = 0; i < 20000; ++i) {
        const unsigned code = 0x10000u + static_cast<unsigned>(t * 100000 + i);
        KV_SetLastError(code);
        if (KV_GetLastError() != static_cast<int>(code)) ++mismatches;
        if (i % 7 == 0) KV_ClearLastError();
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches.load(), 0);
}

TEST(ErrorStore, InitZeroesTheCallingThread) {
  KV_SetLastError(5);
  EXPECT_EQ(KV_Init(), 0);
  EXPECT_EQ(KV_GetLastError(), 0);
  KV_Free();
}

struct MessageCase {
  unsigned code;
  const char* text;
};

class MessageTable : public ::testing::TestWithParam<MessageCase> {};

TEST_P(MessageTable, ExactText) {
  char buf[64];
  std::memset(buf, 0x7F, sizeof buf);
  KV_GetErrorMessage(GetParam().code, buf);
  EXPECT_STREQ(buf, GetParam().text);
  // Nothing beyond the NUL is touched.
  EXPECT_EQ(buf[std::strlen(GetParam().text) + 1], 0x7F);
}

constexpr const char* kUnknown = "Unknow error code!";

INSTANTIATE_TEST_SUITE_P(
    AllCodes, MessageTable,
    ::testing::Values(
        MessageCase{0x00000, kUnknown}, MessageCase{0x00001, "Unknow Error!"},
        MessageCase{0x13001, "Slot registered error"},
        MessageCase{0x13002, "Slot not registered error"},
        MessageCase{0x13003, "Unknown Module"}, MessageCase{0x13004, "Invalid MAC address"},
        MessageCase{0x13005, "Invalid COM port number"},
        MessageCase{0x13006, "The function isn't supported"},
        MessageCase{0x13007, "The Module doesn't exist"},
        MessageCase{0x13008, "Invalid Slot number"}, MessageCase{0x1300A, kUnknown},
        MessageCase{0x1300C, kUnknown}, MessageCase{0x1300E, kUnknown},
        MessageCase{0x14001, "Accesses invalid EEPROM address"},
        MessageCase{0x14002, "Accesses invalid SRAM address"},
        MessageCase{0x14003, "Invalid memory type"},
        MessageCase{0x14004, "Accesses invalid NVRAM address"},
        MessageCase{0x14005, "EEPROM is write-protected"},
        MessageCase{0x14006, "Write EEPROM Failed"}, MessageCase{0x14007, "Read EEPROM Failed"},
        MessageCase{0x14102, kUnknown}, MessageCase{0x15001, "Invalid WatchDog timer value"},
        MessageCase{0x15002, "WatchDog function doesn't exist"},
        MessageCase{0x15003, "WatchDog base address isn't set"},
        MessageCase{0x15004, "OS WatchDog is for OS startup process"},
        MessageCase{0x17001, "Device check sum error"},
        MessageCase{0x17002, "Device read timeout"},
        MessageCase{0x17003, "Device response error"},
        MessageCase{0x17004, "Device under input range"},
        MessageCase{0x17005, "Device exceed input range"},
        MessageCase{0x17006, "Open Device failed"},
        MessageCase{0x17007, "Fail to get the Modem status"},
        MessageCase{0x17008, "Invalid value"}, MessageCase{0x17009, "Internal buffer overflow"},
        MessageCase{0x1700A, "Device send command error"},
        MessageCase{0x18001, "IO card does not support this API function!"},
        MessageCase{0x18002, "API unsupport this IO card!"},
        MessageCase{0x18003, "Slot's value exceeds its range!"},
        MessageCase{0x18004, "Channel's value exceeds its range!"},
        MessageCase{0x18005, "Gain's value exceeds its range!"},
        MessageCase{0x18006, "RM-4400 unsupport the interrupt mode!"},
        MessageCase{0x18007, "The input value is out of range!"},
        MessageCase{0x18008, "The input channel is out of range!"},
        MessageCase{0x18009, kUnknown}, MessageCase{0x1800A, "DO output cannot be overwrite!"},
        MessageCase{0x1800B, "AO output cannot be overwirte!"}, MessageCase{0x1800C, kUnknown},
        MessageCase{0x18011, kUnknown}, MessageCase{0x19002, kUnknown},
        MessageCase{0xFFFFF, kUnknown}, MessageCase{0xFFFFFFFF, kUnknown}));

TEST(MessageTable, LongestMessageFitsTheDocumentedSize) {
  char buf[KV_ERROR_MESSAGE_SIZE + 4];
  std::memset(buf, 0x7F, sizeof buf);
  KV_GetErrorMessage(0x18001, buf);
  EXPECT_EQ(std::strlen(buf) + 1, static_cast<size_t>(KV_ERROR_MESSAGE_SIZE));
  EXPECT_EQ(buf[KV_ERROR_MESSAGE_SIZE], 0x7F);
}

TEST(Library, SdkVersionNeedsNoDevice) {
  char text[16];
  std::memset(text, 0x7F, sizeof text);
  KV_GetSDKVersion(text);
  EXPECT_STREQ(text, "1.2.2.3");
  EXPECT_EQ(text[8], 0x7F);
}

}  // namespace
