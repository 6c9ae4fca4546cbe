// SD-card recordings end to end: listing, refusals, and downloads into the
// log layout that the reader opens, for every LX family.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "fs_helpers.h"
#include "korvel/korvel.h"
#include "korvel/sim/lx3100.h"
#include "korvel/sim/lx3200.h"
#include "korvel/sim/lxr5000.h"
#include "korvel/sim/signal.h"
#include "sim_helpers.h"

namespace korvel::test {
namespace {

sim::SdCard& card_of(sim::Model& m, const std::string& family) {
  if (family == "LX3200") return static_cast<sim::Lx3200&>(m).state().sd;
  if (family == "LXR5000") return static_cast<sim::Lxr5000&>(m).state().sd;
  return static_cast<sim::Lx3100&>(m).state().sd;
}

struct Sd {
  std::string family;
  OpenDevice d;
  TempDir dir;
  explicit Sd(const std::string& f) : family(f), d(fast_config(f)) {}
  void card(const std::function<void(sim::SdCard&)>& edit) {
    d.sim->with_model([&](sim::Model& m) { edit(card_of(m, family)); });
  }
  sim::SdRecording recording(unsigned i) {
    sim::SdRecording r;
    card([&](sim::SdCard& c) { r = c.recordings.at(i); });
    return r;
  }
  // Downloads a recording and waits until the transfer ended.
  unsigned short download(unsigned index, int mode) {
    EXPECT_EQ(KV_DownloadSDFile(d.handle, index, 0, dir.path().c_str(), mode), 1)
        << std::hex << last_error();
    const unsigned short status = wait_status(d.handle, KV_STATUS_LOG_ENDED);
    KV_StopLogger(d.handle);
    return status;
  }
  std::string sample_name(const sim::SdRecording& r) const {
    char t[64];
    std::snprintf(t, sizeof t, "_%u_%u_%u_%u_%u_%u", r.year + 1900, r.month + 1, r.day, r.hour,
                  r.minute, r.second);
    return t;
  }
  // The raw word the device sends for sample n of a recording.
  unsigned code(const sim::SdRecording& r, unsigned n) const {
    if (family == "LX3100")
      return static_cast<uint16_t>(sim::stream_code(static_cast<unsigned>(r.channels), n));
    return raw24(sim::stream_code24(static_cast<unsigned>(r.channels), n));
  }
};

class SdFamilies : public ::testing::TestWithParam<const char*> {};

// Listed, downloaded and read back without the device: every sample, the
// device's configuration text, files named after the recording's time.
TEST_P(SdFamilies, DownloadReadsBackEverySample) {
  Sd sd(GetParam());
  unsigned count = 0;
  ASSERT_EQ(KV_GetSDAllLogFiles(sd.d.handle, &count), 1);
  ASSERT_GE(count, 1u);
  const sim::SdRecording r = sd.recording(0);
  unsigned first = 0, samples = 0;
  char time[256];
  ASSERT_EQ(KV_GetSDLogFile_Info(sd.d.handle, 0, &first, &samples, time), 1);
  EXPECT_EQ(samples, r.samples);
  EXPECT_EQ(first, r.first);
  ASSERT_GT(r.samples, 0u);

  const unsigned short status = sd.download(0, 0);
  EXPECT_EQ(status & 0xF2, 0xD0);  // file opened, all samples, ended, nothing lost
  const auto configs = files_below(sd.dir.path() + "/config", ".config");
  const auto data = files_below(sd.dir.path() + "/log", ".bin");
  ASSERT_EQ(configs.size(), 1u);
  ASSERT_EQ(data.size(), 1u);
  EXPECT_NE(configs[0].find(sd.sample_name(r) + ".config"), std::string::npos) << configs[0];
  EXPECT_NE(data[0].find(sd.sample_name(r) + ".bin"), std::string::npos) << data[0];
  std::string text;
  sd.d.sim->with_model([&](sim::Model& m) {
    text = static_cast<sim::LxModel&>(m).recording_config(r);
  });
  EXPECT_NE(read_file(configs[0]).find(text), std::string::npos);

  std::string file = data[0];
  KV_HANDLE log = KV_LogFile_Open(file.data());
  ASSERT_NE(log, nullptr);
  unsigned short channels = 0, gain = 0, trigger = 0, transfer = 0, sync = 0;
  unsigned rate = 0;
  ASSERT_EQ(KV_GetLogFile_AIScanConfigInfo(log, &channels, &gain, &trigger, &rate, &transfer, &sync), 1);
  EXPECT_EQ(channels, r.channels);
  std::vector<unsigned> raw(r.samples, 0);
  ASSERT_EQ(KV_GetLogFile_AIDataHex(log, 0, static_cast<unsigned>(r.samples), raw.data()),
            static_cast<int>(r.samples));
  for (unsigned n = 0; n < r.samples; ++n) ASSERT_EQ(raw[n], sd.code(r, n)) << n;
  KV_LogFile_Close(log);
}

INSTANTIATE_TEST_SUITE_P(Lx, SdFamilies, ::testing::Values("LX3100", "LX3200", "LXR5000"));

TEST(Sd, ListingAndInformationRefusals) {
  Sd sd("LX3100");
  unsigned count = 0, first = 0, samples = 0;
  char time[256];
  ASSERT_EQ(KV_GetSDAllLogFiles(sd.d.handle, &count), 1);
  EXPECT_EQ(KV_GetSDLogFile_Info(sd.d.handle, count, &first, &samples, time), 0);
  EXPECT_EQ(last_error(), KV_ERR_RESPONSE);  // past the card
  sd.d.sim->add_fault(sim::Fault::reply("~01SDI", "!01x:5:126/1/2-3:4:5:"));
  EXPECT_EQ(KV_GetSDLogFile_Info(sd.d.handle, 0, &first, &samples, time), 0);
  EXPECT_EQ(last_error(), KV_ERR_INVALID_VALUE);
  sd.d.sim->clear_faults();
  sd.d.sim->add_fault(sim::Fault::reply("~01SDC", "!01"));
  EXPECT_EQ(KV_GetSDAllLogFiles(sd.d.handle, &count), 0);
  EXPECT_EQ(last_error(), KV_ERR_INVALID_VALUE);
  sd.d.sim->clear_faults();
  // While a scan runs the card is not asked.
  ASSERT_EQ(KV_SetAIScanParam(sd.d.handle, 2, 0, 0, 1000, 0, 0, 0), 1);
  ASSERT_EQ(KV_StartAIScan(sd.d.handle), 1);
  sd.d.sim->clear_commands();
  EXPECT_EQ(KV_GetSDAllLogFiles(sd.d.handle, &count), 0);
  EXPECT_EQ(last_error(), KV_ERR_BUSY_SAMPLING);
  EXPECT_EQ(KV_DownloadSDFile(sd.d.handle, 0, 0, sd.dir.path().c_str(), 0), 0);
  EXPECT_EQ(last_error(), KV_ERR_BUSY_SAMPLING);
  EXPECT_EQ(sd.d.sim->count_commands("~01SD"), 0u);
  KV_StopAIScan(sd.d.handle);
  EXPECT_EQ(KV_DownloadSDFileW(sd.d.handle, 0, 0, nullptr, 0), 0);
  EXPECT_EQ(last_error(), KV_ERR_NOT_SUPPORTED);
  KV_SetLastError(0);
  EXPECT_EQ(KV_DownloadAllSDFiles(sd.d.handle, nullptr, 0), 0);
  EXPECT_EQ(last_error(), 0u);
}

TEST(Sd, FailedRequestsWriteNothing) {
  Sd sd("LX3200");
  // Information past the card, or a refused configuration: no files at all.
  EXPECT_EQ(KV_DownloadSDFile(sd.d.handle, 99, 0, sd.dir.path().c_str(), 0), 0);
  EXPECT_EQ(last_error(), KV_ERR_RESPONSE);
  sd.d.sim->add_fault(sim::Fault::reply("~01SDL", "?"));
  EXPECT_EQ(KV_DownloadSDFile(sd.d.handle, 0, 0, sd.dir.path().c_str(), 0), 0);
  EXPECT_EQ(last_error(), KV_ERR_RESPONSE);
  EXPECT_EQ(KV_DownloadSDFile(sd.d.handle, 0, 10, sd.dir.path().c_str(), 0), 0);
  EXPECT_EQ(last_error(), KV_ERR_INVALID_ARGUMENT);
  EXPECT_TRUE(files_below(sd.dir.path(), "").empty());
}

TEST(Sd, ModesWithoutConfigurationSendNoConfigurationRequest) {
  for (const int mode : {3, 4}) {
    SCOPED_TRACE(mode);
    Sd sd("LX3100");
    sd.card([](sim::SdCard& c) { c.stream_after_info = true; });
    const sim::SdRecording r = sd.recording(0);
    const unsigned short status = sd.download(0, mode);
    EXPECT_EQ(status & 0x90, 0x90);
    EXPECT_EQ(sd.d.sim->count_commands("~01SDL"), 0u);
    EXPECT_TRUE(files_below(sd.dir.path() + "/config", ".config").empty());
    EXPECT_EQ(files_below(sd.dir.path() + "/log", ".bin").size(), 1u);
  }
}

TEST(Sd, EmptyRecordingEndsAtOnce) {
  Sd sd("LX3100");
  unsigned empty = 0;
  sd.card([&](sim::SdCard& c) {
    for (unsigned i = 0; i < c.recordings.size(); ++i)
      if (c.recordings[i].samples == 0) empty = i;
  });
  ASSERT_EQ(sd.recording(empty).samples, 0u);
  EXPECT_EQ(sd.download(empty, 0) & 0x90, 0x90);
  EXPECT_TRUE(files_below(sd.dir.path() + "/log", ".bin").empty());
}

TEST(Sd, GroupingZeroKeepsTheWholeRecordingInOneFile) {
  Sd sd("LX3200");
  ASSERT_EQ(KV_SetAIScanParam(sd.d.handle, 4, 0, 0, 1000, 4000, 0, 0), 1);  // finite: 0 is kept
  ASSERT_EQ(KV_SetConfig(sd.d.handle, 4, 1, 0), 1);
  const sim::SdRecording r = sd.recording(0);
  EXPECT_EQ(sd.download(0, 0) & 0x90, 0x90);
  const auto data = files_below(sd.dir.path() + "/log", ".bin");
  ASSERT_EQ(data.size(), 1u);
  // No group folder: the file sits right in the address's folder.
  EXPECT_EQ(std::filesystem::path(data[0]).lexically_normal().parent_path().parent_path().filename(),
            "log");
  EXPECT_EQ(read_file(data[0]).size(), r.samples * 4);
}

TEST(Sd, NewDownloadOrReleaseEndsARunningOnePromptly) {
  using Clock = std::chrono::steady_clock;
  Sd sd("LX3100");
  // Recording 2 stalls after 100 samples: its download would wait minutes.
  sd.card([](sim::SdCard& c) {
    c.recordings[2].fault = sim::StreamFault{sim::StreamFault::Kind::Silence, 100};
  });
  const std::string root = sd.dir.path();
  ASSERT_EQ(KV_DownloadSDFile(sd.d.handle, 2, 0, root.c_str(), 0), 1);
  ASSERT_EQ(wait_status(sd.d.handle, KV_STATUS_LOG_FILE) & 0x40, 0x40);
  auto t0 = Clock::now();
  ASSERT_EQ(KV_DownloadSDFile(sd.d.handle, 0, 0, root.c_str(), 0), 1);
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(2));
  EXPECT_EQ(wait_status(sd.d.handle, KV_STATUS_COUNT_REACHED) & 0x80, 0x80);
  KV_StopLogger(sd.d.handle);

  ASSERT_EQ(KV_DownloadSDFile(sd.d.handle, 2, 0, root.c_str(), 0), 1);
  ASSERT_EQ(wait_status(sd.d.handle, KV_STATUS_LOG_FILE) & 0x40, 0x40);
  t0 = Clock::now();
  EXPECT_EQ(KV_Device_Release(sd.d.handle), 1);
  sd.d.handle = nullptr;
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(2));
}

}  // namespace
}  // namespace korvel::test
