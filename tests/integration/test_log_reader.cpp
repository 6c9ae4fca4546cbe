// Reading log files back without a device: files written by the logger and
// hand-made ones, calibration of log handles, and malformed configurations.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <future>
#include <set>
#include <thread>

#include "fs_helpers.h"
#include "korvel/korvel.h"
#include "korvel/sim/lx3100.h"
#include "korvel/sim/signal.h"
#include "model/calibration.h"
#include "sim_helpers.h"

namespace korvel::test {
namespace {

using Clock = std::chrono::steady_clock;
using sim::Lx3100;

void wait_logged(KV_HANDLE h) { ASSERT_EQ(wait_status(h, 0x90) & 0x90, 0x90); }

// Closes a log handle at the end of a test.
struct Log {
  KV_HANDLE h;
  explicit Log(KV_HANDLE handle) : h(handle) {}
  ~Log() { KV_LogFile_Close(h); }
};

class RoundTrip : public ::testing::Test {
 protected:
  // Logs a finite 4-channel scan at gain 1 with distinct (and negative)
  // calibration offsets.
  void log_scan(int mode, unsigned samples) {
    dev_ = std::make_unique<OpenDevice>(fast_config(), [](sim::Model& m) {
      auto& s = static_cast<Lx3100&>(m).state();
      for (int c = 0; c < 8; ++c) {
        s.cal_gain[c][1] = static_cast<uint16_t>(30000 + 1000 * c);
        s.cal_offset[c][1] = static_cast<int16_t>(-12 + 5 * c);
      }
    });
    ASSERT_EQ(KV_SetAIScanParam(dev_->handle, 4, 1, 0, 2000, samples, 0, 0), 1);
    std::string root = root_;
    fs::create_directories(root);
    ASSERT_EQ(KV_StartLogger(dev_->handle, root.data(), 1, mode), 1);
    wait_logged(dev_->handle);
    KV_StopLogger(dev_->handle);
  }
  TempDir dir_;
  // Listings search for configurations from the folder above the log root:
  // that stays inside the test's own folder.
  const std::string root_ = dir_ / "root";
  std::unique_ptr<OpenDevice> dev_;
};

TEST_F(RoundTrip, BinaryRunReadsBackEverySample) {
  log_scan(0, 1000);
  std::string root = root_;
  ASSERT_EQ(KV_GetAllLogFiles(root.data(), 0), 1);
  char path[260];
  Log log(KV_LogFile_Open_byIndex(0, path));
  ASSERT_NE(log.h, nullptr);
  EXPECT_EQ(files_below(root, ".bin")[0], path);

  char name[20];
  unsigned size = 0, type = 9, reserved = 9;
  ASSERT_EQ(KV_GetLogFileInfo(log.h, name, &size, &type, &reserved), 1);
  EXPECT_STREQ(name, "LX-3100");
  EXPECT_EQ(size, 2000u);
  EXPECT_EQ(type, 0u);
  EXPECT_EQ(reserved, 0u);

  unsigned short channels, gain, trigger, transfer, sync;
  unsigned rate;
  ASSERT_EQ(KV_GetLogFile_AIScanConfigInfo(log.h, &channels, &gain, &trigger, &rate, &transfer,
                                           &sync),
            1);
  EXPECT_EQ(channels, 4);
  EXPECT_EQ(gain, 1);
  EXPECT_EQ(rate, 2000u);

  for (int c = 0; c < 4; ++c) {
    unsigned short g = 0, o = 0;
    ASSERT_EQ(KV_GetLogFile_GainOffset(log.h, c, 1, &g, &o), 1);
    EXPECT_EQ(g, 30000 + 1000 * c);
    EXPECT_EQ(o, static_cast<unsigned short>(-12 + 5 * c));  // channel 0: 0xFFF4
  }
  unsigned short g, o;
  EXPECT_EQ(KV_GetLogFile_GainOffset(log.h, 4, 1, &g, &o), 0);

  unsigned total = 0;
  char date[16], time[32];
  ASSERT_EQ(KV_GetLogFile_AIScanSampleInfo(log.h, &total, date, time), 1);
  EXPECT_EQ(total, 1000u);
  std::string start;
  dev_->with<Lx3100>([&](Lx3100& m) { start = m.state().start_time; });
  EXPECT_EQ(std::string(date), start.substr(0, 10));
  EXPECT_EQ(std::string(time), start.substr(11, 8) + "." + std::to_string(std::stoul(start.substr(20))));

  std::vector<unsigned> codes(1000, 0);
  ASSERT_EQ(KV_GetLogFile_AIDataHex(log.h, 0, 1000, codes.data()), 1000);
  for (unsigned i = 0; i < 1000; ++i) {
    const auto raw = static_cast<uint16_t>(sim::stream_code(4, i));
    ASSERT_EQ(codes[i], raw) << i;
    // The log's calibration gives what the live device gives.
    float from_log = 0, from_device = 0;
    ASSERT_EQ(KV_Calibrate_Data_Float(log.h, static_cast<int>(i % 4), 1, raw, &from_log), 1);
    ASSERT_EQ(KV_Calibrate_Data_Float(dev_->handle, static_cast<int>(i % 4), 1, raw, &from_device), 1);
    ASSERT_EQ(from_log, from_device) << i;
  }
  // Reading from an offset, past the end.
  EXPECT_EQ(KV_GetLogFile_AIDataHex(log.h, 990, 50, codes.data()), 10);
  // A text reader on a binary file has nothing to give.
  float v[4];
  EXPECT_EQ(KV_GetLogFile_AIData(log.h, 0, 4, v), 0);
}

TEST_F(RoundTrip, TextRunReadsBackItsValues) {
  log_scan(1, 400);
  std::string root = root_;
  ASSERT_EQ(KV_GetAllLogFiles(root.data(), 1), 1);
  ASSERT_EQ(KV_GetAllLogFiles(root.data(), 0), 0);
  const std::string path = files_below(root, ".txt")[0];
  Log log(KV_LogFile_Open(const_cast<char*>(path.c_str())));
  ASSERT_NE(log.h, nullptr);
  unsigned total = 0;
  ASSERT_EQ(KV_GetLogFile_AIScanSampleInfo(log.h, &total, nullptr, nullptr), 1);
  EXPECT_EQ(total, 400u);
  std::vector<float> values(401, 99.0f);
  // The count bounds what is written into the caller's array.
  ASSERT_EQ(KV_GetLogFile_AIData(log.h, 0, 10, values.data()), 10);
  EXPECT_EQ(values[10], 99.0f);
  KV_GetLogFile_AIScanSampleInfo(log.h, &total, nullptr, nullptr);  // rewinds
  ASSERT_EQ(KV_GetLogFile_AIData(log.h, 0, 0, values.data()), 400);
  for (unsigned i = 0; i < 400; ++i) {
    float live = 0;
    KV_Calibrate_Data_Float(dev_->handle, static_cast<int>(i % 4), 1,
                            static_cast<uint16_t>(sim::stream_code(4, i)), &live);
    ASSERT_NEAR(values[i], live, 0.000005) << i;
  }
  std::vector<unsigned> codes(4);
  EXPECT_EQ(KV_GetLogFile_AIDataHex(log.h, 0, 4, codes.data()), 0);
}

TEST_F(RoundTrip, TwoDataFilesOfARunShareTheirConfiguration) {
  log_scan(0, 100);
  const std::string first = files_below(dir_.path(), ".bin")[0];
  const std::string name = first.substr(first.rfind('/') + 1);
  const std::string group = first.substr(0, first.rfind('/'));
  const std::string stem_folder = group.substr(0, group.rfind('/'));
  // A second file of the same run (same address and tag), in a later folder.
  write_file(stem_folder + "/2030_01_01_00_00/" + name, std::string("\x01\x00", 2));
  ASSERT_EQ(files_below(dir_.path(), ".bin").size(), 2u);
  for (const auto& f : files_below(dir_.path(), ".bin")) {
    Log log(KV_LogFile_Open(const_cast<char*>(f.c_str())));
    EXPECT_NE(log.h, nullptr) << f;
    unsigned short ch = 0;
    EXPECT_EQ(KV_GetLogFile_AIScanConfigInfo(log.h, &ch, nullptr, nullptr, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(ch, 4);
  }
}

// Hand-made log trees in the logger's layout.
class HandMade : public ::testing::Test {
 protected:
  std::string make(const std::string& config, const std::string& data,
                   const std::string& ext = ".bin") {
    const std::string stem = "127_0_0_9", tag = "00ab";
    write_file(at("config/IP_" + stem + "_" + tag + "_2026_12_6_10_0_0.config"), config);
    const std::string path =
        at("log/" + stem + "/2026_12_06_10_00/" + stem + "_" + tag + "_2026_12_6_10_0_0" + ext);
    write_file(path, data);
    return path;
  }
  // A path below the log root; listings search for configurations from the
  // folder above it, which stays inside the test's own folder.
  std::string at(const std::string& rest) const { return root_ + "/" + rest; }
  TempDir dir_;
  const std::string root_ = dir_ / "root";
};

TEST_F(HandMade, FileTypesAreFoundByTheirSpelling) {
  make("Module Name,LX-3100\n", "", ".bin");
  make("Module Name,LX-3100\n", "", ".BIN");
  std::string root = root_;
  EXPECT_EQ(KV_GetAllLogFiles(root.data(), 0), 1);
  EXPECT_EQ(KV_GetAllLogFiles(root.data(), 7), 1);
  char path[260];
  Log upper(KV_LogFile_Open_byIndex(0, path));
  ASSERT_NE(upper.h, nullptr);
  char name[20];
  unsigned size = 5, type = 5, reserved;
  // Opened by index, the upper-case spelling is its own type: no data file.
  EXPECT_EQ(KV_GetLogFileInfo(upper.h, name, &size, &type, &reserved), 0);
  EXPECT_EQ(type, 7u);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(KV_LogFile_Open_byIndex(1, path), nullptr);
}

TEST_F(HandMade, ChannelKeysDoNotMatchLongerChannelNumbers) {
  std::string config = "Module Name,MC610s\nGain,0\nChannel Count,12\n";
  for (int c = 11; c >= 0; --c)  // channel 10's line comes before channel 1's
    config += "CH" + std::to_string(c) + ",Gain," + std::to_string(20000 + c) + ", Offset," +
              std::to_string(-c) + "\n";
  const std::string path = make(config, std::string(24, '\0'));
  Log log(KV_LogFile_Open(const_cast<char*>(path.c_str())));
  ASSERT_NE(log.h, nullptr);
  for (int c = 0; c < 12; ++c) {
    unsigned short g = 0, o = 0;
    ASSERT_EQ(KV_GetLogFile_GainOffset(log.h, c, 0, &g, &o), 1);
    EXPECT_EQ(g, 20000 + c);
    EXPECT_EQ(o, static_cast<unsigned short>(-c));
  }
  char name[20];
  KV_GetLogFileInfo(log.h, name, nullptr, nullptr, nullptr);
  EXPECT_STREQ(name, "MC610s");
}

TEST_F(HandMade, TwentyFourBitFilesReadAsThirtyTwoBitSamples) {
  const std::string config =
      "Module Name,LX-3200\nGain,1\nRange,5000\nChannel Count,2\nCH0\nCH1\n"
      "CH0,Gain,32768, Offset,0\nCH1,Gain,32768, Offset,-10\n";
  std::string data;
  for (uint32_t v : {0x000100u, 0xFFFFFFu, 0x7FFFFFu, 0x800000u}) data.append(reinterpret_cast<const char*>(&v), 4);
  const std::string path = make(config, data);
  Log log(KV_LogFile_Open(const_cast<char*>(path.c_str())));
  ASSERT_NE(log.h, nullptr);
  unsigned total = 0;
  KV_GetLogFile_AIScanSampleInfo(log.h, &total, nullptr, nullptr);
  EXPECT_EQ(total, 4u);  // 16 bytes of 32-bit samples
  std::vector<unsigned> codes(4);
  ASSERT_EQ(KV_GetLogFile_AIDataHex(log.h, 0, 4, codes.data()), 4);
  EXPECT_EQ(codes[1], 0xFFFFFFu);
  int code = 0;
  // Unity gain, range at its nominal: a code is the raw value times 256.
  ASSERT_EQ(KV_Calibrate_Data_HEX(log.h, 0, 1, 0x000100, &code), 1);
  EXPECT_EQ(code, 0x10000);
  ASSERT_EQ(KV_Calibrate_Data_HEX(log.h, 0, 1, 0xFFFFFF, &code), 1);
  EXPECT_EQ(code, -256);
  // A negative offset on a zero code stays a small negative code.
  ASSERT_EQ(KV_Calibrate_Data_HEX(log.h, 1, 1, 0, &code), 1);
  EXPECT_EQ(code, -10);
  ASSERT_EQ(KV_Calibrate_Data_HEX(log.h, 0, 1, 0x7FFFFF, &code), 1);
  EXPECT_EQ(code, 0x7FFFFFFF);
  float v = 0;
  ASSERT_EQ(KV_Calibrate_Data_Float(log.h, 0, 1, 0x800000, &v), 1);
  EXPECT_FLOAT_EQ(v, -5.0f);
}

TEST_F(HandMade, ChannelRangeFilesConvertAsTheLiveDevice) {
  const std::string config =
      "Module Name,LX-R5000\nChannel Count,2\nCH0,Range,9990, Offset,0\nCH1,Range,10000, Offset,-3\n";
  const std::string path = make(config, std::string(8, '\0'));
  Log log(KV_LogFile_Open(const_cast<char*>(path.c_str())));
  ASSERT_NE(log.h, nullptr);
  float v = 0;
  ASSERT_EQ(KV_Calibrate_Data_Float(log.h, 0, 0, 0x400000, &v), 1);
  EXPECT_FLOAT_EQ(v, static_cast<float>(0x400000) * 9.99f / 8388607.0f);  // not 10 % low
  ASSERT_EQ(KV_Calibrate_Data_Float(log.h, 1, 0, 0x7FFFFF, &v), 1);
  EXPECT_FLOAT_EQ(v, static_cast<float>(0x7FFFFF - 3) * 10.0f / 8388607.0f);
  unsigned short g = 0, o = 0;
  ASSERT_EQ(KV_GetLogFile_GainOffset(log.h, 1, 0, &g, &o), 1);
  EXPECT_EQ(o, 0xFFFDu);
}

struct MalformedCase {
  const char* name;
  const char* config;
  bool opens;
};

class MalformedConfig : public HandMade, public ::testing::WithParamInterface<MalformedCase> {};

TEST_P(MalformedConfig, FailsCleanlyOrReadsZeros) {
  const std::string path = make(GetParam().config, std::string(4, '\0'));
  KV_ClearLastError();
  Log log(KV_LogFile_Open(const_cast<char*>(path.c_str())));
  EXPECT_EQ(log.h != nullptr, GetParam().opens);
  if (!log.h) {
    EXPECT_EQ(last_error(), 0x14102u);
    return;
  }
  unsigned short ch = 9, gain = 9, trig = 9, xfer = 9, sync = 9;
  unsigned rate = 9;
  ASSERT_EQ(KV_GetLogFile_AIScanConfigInfo(log.h, &ch, &gain, &trig, &rate, &xfer, &sync), 1);
  EXPECT_EQ(ch + gain + trig + xfer + sync + rate, 0u);
  unsigned total = 9;
  char date[16], time[32];
  KV_GetLogFile_AIScanSampleInfo(log.h, &total, date, time);
  EXPECT_STREQ(date, "0000/00/00");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MalformedConfig,
    ::testing::Values(MalformedCase{"Empty", "", false},
                      MalformedCase{"NoModuleName", "Gain,1\nChannel Count,4\n", false},
                      MalformedCase{"OnlyModuleName", "Module Name,LX-3100\n", true},
                      MalformedCase{"UnknownModuleAndGarbage",
                                    "Module Name,XYZ\nStart Sampling Time,20\nCH0,Gain\n", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HandMade, MissingConfigurationOrDataFile) {
  write_file(dir_ / "log/127_0_0_9/g/127_0_0_9_0bad_2026_12_6_10_0_0.bin", "xx");
  std::string path = dir_ / "log/127_0_0_9/g/127_0_0_9_0bad_2026_12_6_10_0_0.bin";
  EXPECT_EQ(KV_LogFile_Open(path.data()), nullptr);
  EXPECT_EQ(last_error(), 0x14102u);
  std::string missing = dir_ / "nothing.bin";
  EXPECT_EQ(KV_LogFile_Open(missing.data()), nullptr);
  EXPECT_EQ(last_error(), 0x14102u);
  EXPECT_EQ(KV_LogFile_Open(nullptr), nullptr);
}

TEST_F(HandMade, WidePathsOfAnyLength) {
  const std::string path = make("Module Name,LX-3100\n", std::string(4, '\0'));
  ASSERT_GT(path.size(), 65u);
  std::wstring wide(path.begin(), path.end());
  Log log(KV_LogFile_OpenW(wide.data()));
  EXPECT_NE(log.h, nullptr);
  EXPECT_EQ(KV_LogFile_Open_byIndexW(0, nullptr), nullptr);
  EXPECT_EQ(last_error(), 0x13006u);
  EXPECT_EQ(KV_GetAllLogFilesW(wide.data(), 0), 0);
  EXPECT_EQ(last_error(), 0x13006u);
}

// Text data files are untrusted: a line holds one scan, so the reader stores
// at most the configured channels per line and never more than the channels
// times the lines it reports as the file's total.
struct TextCase {
  const char* name;
  int channels;          // "Channel Count" of the configuration (0: none)
  const char* data;      // the text data file
  unsigned count;        // the caller's array size passed in (0: whole file)
  unsigned total;        // what KV_GetLogFile_AIScanSampleInfo reports
  std::vector<float> values;  // what is stored; NaN for a missing field
};

class TextValues : public HandMade, public ::testing::WithParamInterface<TextCase> {};

TEST_P(TextValues, NeverMoreThanTheReportedScans) {
  const TextCase& c = GetParam();
  std::string config = "Module Name,LX-3100\nGain,0\n";
  if (c.channels > 0) config += "Channel Count," + std::to_string(c.channels) + "\n";
  const std::string path = make(config, c.data, ".txt");
  Log log(KV_LogFile_Open(const_cast<char*>(path.c_str())));
  ASSERT_NE(log.h, nullptr);
  unsigned total = 0;
  ASSERT_EQ(KV_GetLogFile_AIScanSampleInfo(log.h, &total, nullptr, nullptr), 1);
  EXPECT_EQ(total, c.total);
  // The caller sized its array by the reported total (or by count); the
  // guard elements behind it must stay untouched.
  const std::size_t size = c.count ? c.count : c.total;
  std::vector<float> out(size + 16, 99.0f);
  const int stored = KV_GetLogFile_AIData(log.h, 0, c.count, out.data());
  ASSERT_EQ(stored, static_cast<int>(c.values.size()));
  for (std::size_t i = 0; i < c.values.size(); ++i) {
    if (std::isnan(c.values[i]))
      EXPECT_TRUE(std::isnan(out[i])) << i;
    else
      EXPECT_EQ(out[i], c.values[i]) << i;
  }
  for (std::size_t i = c.values.size(); i < out.size(); ++i) ASSERT_EQ(out[i], 99.0f) << i;
}

const float kNaN = std::nanf("");

INSTANTIATE_TEST_SUITE_P(
    Cases, TextValues,
    ::testing::Values(
        TextCase{"ExtraFieldsOfAOneChannelLine", 1, "1,2,3,4,5,6,7,8\n", 0, 1, {1}},
        TextCase{"CountLargerThanTheFile", 1, "1,2,3,4,5,6,7,8\n", 5, 1, {1}},
        TextCase{"ShortLineKeepsLaterScansInTheirChannels", 2, "1,2\n3\n4,5,6\n", 0, 6,
                 {1, 2, 3, kNaN, 4, 5}},
        TextCase{"CountCutsInsideAScan", 2, "1,2\n3,4\n", 3, 4, {1, 2, 3}},
        TextCase{"NoChannelCountStoresNothing", 0, "1,2\n3,4\n", 0, 0, {}},
        TextCase{"BlankFieldsAreSkipped", 2, " , 1 ,,2\n", 0, 2, {1, 2}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HandMade, TwoThreadsReadTheirOwnTextLogs) {
  // Different values in each file: a parser with shared state mixes them.
  constexpr int kLines = 200, kChannels = 4;
  std::string paths[2];
  for (int f = 0; f < 2; ++f) {
    std::string data;
    for (int l = 0; l < kLines; ++l) {
      for (int c = 0; c < kChannels; ++c) {
        data += std::to_string(f * 100000 + l * kChannels + c);
        data += c + 1 < kChannels ? "," : "\r\n";
      }
    }
    const std::string tag = f == 0 ? "0a01" : "0a02";
    write_file(at("config/IP_127_0_0_9_" + tag + "_2026_12_6_10_0_0.config"),
               "Module Name,LX-3100\nChannel Count,4\n");
    paths[f] = at("log/127_0_0_9/g/127_0_0_9_" + tag + "_2026_12_6_10_0_0.txt");
    write_file(paths[f], data);
  }
  std::atomic<int> wrong{0};
  auto reader = [&](int f) {
    Log log(KV_LogFile_Open(const_cast<char*>(paths[f].c_str())));
    if (!log.h) {
      ++wrong;
      return;
    }
    std::vector<float> values(kLines * kChannels);
    for (int round = 0; round < 100; ++round) {
      unsigned total = 0;
      KV_GetLogFile_AIScanSampleInfo(log.h, &total, nullptr, nullptr);  // rewinds
      if (KV_GetLogFile_AIData(log.h, 0, 0, values.data()) != kLines * kChannels) ++wrong;
      for (int i = 0; i < kLines * kChannels; ++i)
        if (values[i] != static_cast<float>(f * 100000 + i)) ++wrong;
    }
  };
  std::thread a(reader, 0), b(reader, 1);
  a.join();
  b.join();
  EXPECT_EQ(wrong.load(), 0);
}

// A FIFO in place of a data or configuration file has no writer: opening it
// for reading would wait forever.
struct FifoCase {
  const char* name;
  bool data_is_fifo;
  bool by_index;
};

class FifoFiles : public HandMade, public ::testing::WithParamInterface<FifoCase> {};

TEST_P(FifoFiles, AreRefusedPromptly) {
  const FifoCase& c = GetParam();
  const std::string data = make("Module Name,LX-3100\nChannel Count,1\n", "", ".bin");
  const std::string config = files_below(root_, ".config")[0];
  const std::string fifo = c.data_is_fifo ? data : config;
  ASSERT_EQ(::unlink(fifo.c_str()), 0);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::string root = root_;
  if (c.by_index) {
    ASSERT_EQ(KV_GetAllLogFiles(root.data(), 0), 1);
  }
  auto opened = std::async(std::launch::async, [&]() -> std::pair<KV_HANDLE, unsigned> {
    KV_ClearLastError();
    char path[260];
    KV_HANDLE h = c.by_index ? KV_LogFile_Open_byIndex(0, path)
                             : KV_LogFile_Open(const_cast<char*>(data.c_str()));
    return {h, last_error()};
  });
  if (opened.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    // Give every blocked open a writer so the thread can end, then fail.
    for (int i = 0; i < 200 && opened.wait_for(std::chrono::milliseconds(50)) !=
                                   std::future_status::ready;
         ++i) {
      const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) ::close(fd);
    }
    FAIL() << "opening blocked on a FIFO";
  }
  const auto [h, error] = opened.get();
  Log log(h);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(error, 0x14102u);
}

INSTANTIATE_TEST_SUITE_P(Cases, FifoFiles,
                         ::testing::Values(FifoCase{"DataByPath", true, false},
                                           FifoCase{"ConfigurationByPath", false, false},
                                           FifoCase{"DataByIndex", true, true},
                                           FifoCase{"ConfigurationByIndex", false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Sizes past 4 GiB do not fit the unsigned outputs: they saturate rather
// than wrap. Sparse files, so nothing is really written.
struct SizeCase {
  const char* name;
  uint64_t bytes;
  unsigned size;
  unsigned total;
};

class LargeFiles : public HandMade, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(LargeFiles, SizesSaturate) {
  const SizeCase& c = GetParam();
  const std::string path = make("Module Name,LX-3100\nChannel Count,1\n", "", ".bin");
  std::error_code ec;
  fs::resize_file(path, c.bytes, ec);
  if (ec) GTEST_SKIP() << "no sparse file of " << c.bytes << " bytes here: " << ec.message();
  Log log(KV_LogFile_Open(const_cast<char*>(path.c_str())));
  ASSERT_NE(log.h, nullptr);
  unsigned size = 0, type = 9, total = 0;
  ASSERT_EQ(KV_GetLogFileInfo(log.h, nullptr, &size, &type, nullptr), 1);
  EXPECT_EQ(size, c.size);
  ASSERT_EQ(KV_GetLogFile_AIScanSampleInfo(log.h, &total, nullptr, nullptr), 1);
  EXPECT_EQ(total, c.total);
}

constexpr uint64_t kGiB = 1ull << 30;

INSTANTIATE_TEST_SUITE_P(
    Cases, LargeFiles,
    ::testing::Values(SizeCase{"Small", 4000, 4000, 2000},
                      SizeCase{"LargestThatFits", 4 * kGiB - 1, 0xFFFFFFFFu, 0x7FFFFFFFu},
                      SizeCase{"FourGiB", 4 * kGiB, 0xFFFFFFFFu, 0x80000000u},
                      SizeCase{"PastFourGiB", 4 * kGiB + 10, 0xFFFFFFFFu, 0x80000005u},
                      SizeCase{"SamplesPastFourGi", 8 * kGiB + 6, 0xFFFFFFFFu, 0xFFFFFFFFu}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HandMade, ListingAndOpeningByIndexFromTwoThreads) {
  // Many files, so that a listing grows (and moves) its storage while the
  // other thread looks entries up.
  constexpr int kFiles = 40;
  write_file(at("config/IP_127_0_0_9_0c0c_2026_12_6_10_0_0.config"),
             "Module Name,LX-3100\nChannel Count,1\n");
  std::set<std::string> paths;
  for (int i = 0; i < kFiles; ++i) {
    const std::string p =
        at("log/127_0_0_9/g" + std::to_string(i) + "/127_0_0_9_0c0c_2026_12_6_10_0_0.bin");
    write_file(p, std::string(2, '\0'));
    paths.insert(p);
  }
  std::string root = root_;
  ASSERT_EQ(KV_GetAllLogFiles(root.data(), 0), kFiles);
  std::atomic<bool> done{false};
  std::atomic<int> wrong{0}, opened{0};
  std::thread lister([&] {
    for (int round = 0; round < 40; ++round)
      if (KV_GetAllLogFiles(root.data(), 0) != kFiles) ++wrong;
    done = true;
  });
  for (int i = 0; !done || i < kFiles; ++i) {
    char path[260] = "";
    Log log(KV_LogFile_Open_byIndex(i % kFiles, path));
    if (!log.h) continue;  // between a clear and the listing
    ++opened;
    if (!paths.count(path)) ++wrong;
  }
  lister.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GE(opened.load(), kFiles);
}

TEST(LogHandles, UnknownHandlesAreNeverReadThrough) {
  int local = 0;
  KV_HANDLE bogus = &local;
  char name[20] = "untouched";
  unsigned size = 7;
  EXPECT_EQ(KV_GetLogFileInfo(bogus, name, &size, nullptr, nullptr), 1);
  EXPECT_STREQ(name, "untouched");
  EXPECT_EQ(KV_GetLogFileInfo(nullptr, name, &size, nullptr, nullptr), 1);
  EXPECT_EQ(KV_GetLogFile_AIScanConfigInfo(bogus, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(KV_GetLogFile_AIData(bogus, 0, 1, nullptr), 0);
  EXPECT_EQ(KV_LogFile_Close(bogus), 1);
  EXPECT_EQ(KV_LogFile_Close(nullptr), 1);
  int code = 0;
  float v = 0;
  EXPECT_EQ(KV_Calibrate_Data_HEX(bogus, 0, 0, 1, &code), 0);
  EXPECT_EQ(last_error(), 0x1300Au);
  EXPECT_EQ(KV_Calibrate_Data_Float(bogus, 0, 0, 1, &v), 0);
  EXPECT_EQ(last_error(), 0x1300Au);
}

TEST(Calibration24, ContinuousAndMonotonicThroughZeroAtUnityGain) {
  int previous = 0;
  bool first = true;
  // From the most negative 24-bit code to the most positive: every code near
  // zero and near the ends, where the pieces of the arithmetic meet, and
  // every 97th in between.
  for (int32_t s = -0x800000; s <= 0x7FFFFF;
       s += (s > -0x10000 && s < 0x10000) || s < -0x7F0000 || s > 0x7F0000 ? 1 : 97) {
    const int raw = s & 0xFFFFFF;
    int code = 0;
    ASSERT_TRUE(calibrate24(raw, 32768, 0, 10.0f, 10.0f, &code));
    if (s > -0x800000 && s < 0x7FFFFF) {
      ASSERT_EQ(code, s * 256) << s;
    }
    if (!first) {
      ASSERT_GE(code, previous) << s;
    }
    previous = code;
    first = false;
  }
}

TEST(Calibration24, SignedOffsetAndSaturation) {
  struct Case {
    int raw;
    int16_t offset;
    int code;
  } cases[] = {{0, -10, -10}, {1, -10, 246}, {0xFFFFFF, 0, -256}, {0xFFFFFF, 10, -246},
               {0x7FFFFF, -10, 0x7FFFFFFF}, {0x800000, 10, INT32_MIN}, {0x000002, 0, 512}};
  for (const Case& c : cases) {
    int code = 12345;
    ASSERT_TRUE(calibrate24(c.raw, 32768, c.offset, 10.0f, 10.0f, &code));
    EXPECT_EQ(code, c.code) << std::hex << c.raw;
  }
  int untouched = 77;
  EXPECT_TRUE(calibrate24(0x1000000, 32768, 0, 10.0f, 10.0f, &untouched));
  EXPECT_EQ(untouched, 77);
  EXPECT_FLOAT_EQ(code24_to_volts(INT32_MIN, 2.5f), -2.5f);
  EXPECT_FLOAT_EQ(code24_to_volts(0x7FFFFFFF, 2.5f), 2.5f);
}

TEST(CalibrationChannel24, ScaleAndFit) {
  int code = 0;
  ASSERT_TRUE(calibrate_channel24(0x7FFFFF, 0, 10.0f, &code));
  EXPECT_EQ(code, static_cast<int>(static_cast<uint32_t>(0x7FFFFF) << 8));
  EXPECT_FLOAT_EQ(channel24_to_volts(0x7FFFFF, 0, 10.0f), 10.0f);
  EXPECT_FLOAT_EQ(channel24_to_volts(0x800000, 0, 10.0f), -8388608.0f / 8388607.0f * 10.0f);
  int untouched = 5;
  EXPECT_FALSE(calibrate_channel24(0x7FFFFF, 0, 20.0f, &untouched));  // beyond 2^31
  EXPECT_EQ(untouched, 5);
}

}  // namespace
}  // namespace korvel::test
