#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <sstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "korvel/korvel.h"

namespace {

TEST(ErrorStore, CodesArePerThreadAndStartAtZero) {
  KV_SetLastError(0x13007);
  int fresh = -1, other = -1;
  std::thread([&] {
    fresh = KV_GetLastError();
    KV_SetLastError(0x18008);
    KV_ClearLastError();
    other = KV_GetLastError();
  }).join();
  EXPECT_EQ(fresh, 0);
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

// A known code, a gap inside a known range, and codes past every range.
INSTANTIATE_TEST_SUITE_P(
    Representative, MessageTable,
    ::testing::Values(MessageCase{0x17002, "Device read timeout"},
                      MessageCase{0x1300A, "Unknow error code!"},
                      MessageCase{0xFFFFF, "Unknow error code!"},
                      MessageCase{0xFFFFFFFF, "Unknow error code!"}));

TEST(MessageTable, LongestMessageFitsTheDocumentedSize) {
  char buf[KV_ERROR_MESSAGE_SIZE + 4];
  std::memset(buf, 0x7F, sizeof buf);
  KV_GetErrorMessage(0x18001, buf);
  EXPECT_EQ(std::strlen(buf) + 1, static_cast<size_t>(KV_ERROR_MESSAGE_SIZE));
  EXPECT_EQ(buf[KV_ERROR_MESSAGE_SIZE], 0x7F);
}

// Every code constant of the public header has its own name and a sentence
// of its own: the header and the library's table cannot drift apart.
TEST(ErrorNames, EveryHeaderConstantIsNamedAndExplained) {
  std::ifstream header(KORVEL_PUBLIC_HEADER);
  ASSERT_TRUE(header) << KORVEL_PUBLIC_HEADER;
  std::set<std::string> descriptions;
  int constants = 0;
  for (std::string line; std::getline(header, line);) {
    // "#define KV_ERR_NAME 0x12345u", split by hand: std::regex made this
    // file take two and a half times as long to build.
    std::istringstream words(line);
    std::string define, name, value;
    if (!(words >> define >> name >> value) || define != "#define" || value.size() < 4 ||
        value.compare(0, 2, "0x") != 0 || value.back() != 'u' ||
        (name.rfind("KV_ERR_", 0) != 0 && name != "KV_NO_ERROR"))
      continue;
    const auto code = static_cast<unsigned>(std::stoul(value, nullptr, 16));
    EXPECT_STREQ(KV_ErrorName(code), name.c_str());
    const std::string d = KV_ErrorDescription(code);
    EXPECT_TRUE(descriptions.insert(d).second) << name << " repeats: " << d;
    ++constants;
  }
  EXPECT_GT(constants, 50);
  EXPECT_STREQ(KV_ErrorName(0x12345), "KV_ERR_UNKNOWN");
  EXPECT_EQ(descriptions.count(KV_ErrorDescription(0x12345)), 0u);
}

TEST(Library, SdkVersionNeedsNoDevice) {
  char text[16];
  std::memset(text, 0x7F, sizeof text);
  KV_GetSDKVersion(text);
  EXPECT_STREQ(text, "1.2.2.3");
  EXPECT_EQ(text[8], 0x7F);
}

}  // namespace
