// Logging runs against the simulator: layout, names, configuration lines,
// data byte for byte, splitting, modes, and how runs end.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>

#include "fs_helpers.h"
#include "korvel/korvel.h"
#include "korvel/sim/lx3100.h"
#include "korvel/sim/signal.h"
#include "sim_helpers.h"

namespace korvel::test {
namespace {

using Clock = std::chrono::steady_clock;
using sim::Lx3100;


std::string stream_bytes(unsigned channels, uint64_t first, std::size_t n) {
  std::string s(2 * n, '\0');
  sim::fill_stream(channels, first, n, s.data());
  return s;
}

std::string stem_of(const std::string& address) {
  std::string s = address;
  for (char& c : s)
    if (c == '.') c = '_';
  return s;
}

struct LogName {
  std::string stem, tag;
  int y = 0, m = 0, d = 0, h = 0, mi = 0, s = 0;
  std::string ext;
};

// "<a>_<b>_<c>_<d>_<tag>_<y>_<m>_<d>_<h>_<min>_<s>.<ext>" (a "IP_" prefix
// for configuration files).
LogName parse_name(std::string name) {
  LogName n;
  if (name.rfind("IP_", 0) == 0) name = name.substr(3);
  const auto dot = name.rfind('.');
  n.ext = name.substr(dot);
  name = name.substr(0, dot);
  std::vector<std::string> t;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= name.size(); ++i)
    if (i == name.size() || name[i] == '_') {
      t.push_back(name.substr(start, i - start));
      start = i + 1;
    }
  EXPECT_EQ(t.size(), 11u) << name;
  if (t.size() != 11) return n;
  n.stem = t[0] + "_" + t[1] + "_" + t[2] + "_" + t[3];
  n.tag = t[4];
  n.y = std::stoi(t[5]);
  n.m = std::stoi(t[6]);
  n.d = std::stoi(t[7]);
  n.h = std::stoi(t[8]);
  n.mi = std::stoi(t[9]);
  n.s = std::stoi(t[10]);
  return n;
}

std::string base_name(const std::string& path) { return path.substr(path.rfind('/') + 1); }
std::string parent_name(const std::string& path) {
  const std::string dir = path.substr(0, path.rfind('/'));
  return base_name(dir);
}

// Files in the order they were written: by the time in their names.
std::vector<std::string> by_time(std::vector<std::string> files) {
  std::sort(files.begin(), files.end(), [](const std::string& a, const std::string& b) {
    const LogName x = parse_name(base_name(a)), y = parse_name(base_name(b));
    return std::tie(x.y, x.m, x.d, x.h, x.mi, x.s) < std::tie(y.y, y.m, y.d, y.h, y.mi, y.s);
  });
  return files;
}

class Logging : public ::testing::Test {
 protected:
  std::string start_time(OpenDevice& d) {
    std::string t;
    d.with<Lx3100>([&](Lx3100& m) { t = m.state().start_time; });
    return t;
  }
  TempDir dir_;
};

TEST_F(Logging, LayoutNamesConfigurationAndBinaryData) {
  OpenDevice d(fast_config());
  ASSERT_EQ(KV_SetAIScanParam(d.handle, 4, 0, 0, 1000, 1000, 0, 0), 1);
  std::string root = dir_.path();
  ASSERT_EQ(KV_StartLogger(d.handle, root.data(), 1, 0), 1);
  EXPECT_EQ(wait_status(d.handle, 0x10 | 0x40 | 0x80) & 0xF0, 0xD0);
  ASSERT_EQ(KV_StopLogger(d.handle), 1);

  const std::string stem = stem_of(d.sim->config().address);
  const auto configs = files_below(root + "/config", ".config");
  const auto data = files_below(root + "/log/" + stem, ".bin");
  ASSERT_EQ(configs.size(), 1u);
  ASSERT_EQ(data.size(), 1u);
  const LogName cn = parse_name(base_name(configs[0])), dn = parse_name(base_name(data[0]));
  EXPECT_EQ(cn.stem, stem);
  EXPECT_EQ(dn.stem, stem);
  EXPECT_EQ(cn.tag, dn.tag);  // the reader pairs them by these two
  EXPECT_GE(cn.tag.size(), 4u);
  EXPECT_EQ(cn.tag.find_first_not_of("0123456789abcdef"), std::string::npos);
  // Grouping 1: a folder per minute, named after the file's time.
  char group[32];
  std::snprintf(group, sizeof group, "%04d_%02d_%02d_%02d_%02d", dn.y, dn.m, dn.d, dn.h, dn.mi);
  EXPECT_EQ(parent_name(data[0]), group);

  std::vector<std::string> expected = {"Module Name,LX-3100",
                                       "SDKVersion,1.2.2.3",
                                       "IP," + d.sim->config().address,
                                       "Gain,0",
                                       "Channel Count,4",
                                       "Sample Rate,1000",
                                       "Sample Count,1000",
                                       "External Trigger,0",
                                       "Transfer Mode,0",
                                       "Sync Mode,0",
                                       "CH0",
                                       "CH1",
                                       "CH2",
                                       "CH3"};
  d.with<Lx3100>([&](Lx3100& m) {
    for (int c = 0; c < 4; ++c)
      expected.push_back("CH" + std::to_string(c) + ",Gain," +
                         std::to_string(m.state().cal_gain[c][0]) + ", Offset," +
                         std::to_string(m.state().cal_offset[c][0]));
  });
  expected.push_back("Start Sampling Time," + start_time(d));
  EXPECT_EQ(lines_of(read_file(configs[0])), expected);
  EXPECT_EQ(read_file(data[0]), stream_bytes(4, 0, 1000));
}

TEST_F(Logging, TextFilesHoldCalibratedValuesOneScanPerLine) {
  OpenDevice d(fast_config());
  ASSERT_EQ(KV_SetAIScanParam(d.handle, 3, 1, 0, 1000, 300, 0, 0), 1);
  std::string root = dir_.path();
  ASSERT_EQ(KV_StartLogger(d.handle, root.data(), 1, 1), 1);
  ASSERT_EQ(wait_status(d.handle, 0x90) & 0x90, 0x90);
  KV_StopLogger(d.handle);
  const auto data = files_below(root, ".txt");
  ASSERT_EQ(data.size(), 1u);
  const std::string text = read_file(data[0]);
  // Each value as the library converts the sample (its arithmetic is checked
  // against the device's tables in test_lx3100_io).
  std::string expected;
  char v[32];
  for (unsigned i = 0; i < 300; ++i) {
    const int c = static_cast<int>(i % 3);
    float volts = 0;
    KV_Calibrate_Data_Float(d.handle, c, 1, sim::stream_code(3, i), &volts);
    std::snprintf(v, sizeof v, "%0.5lf", static_cast<double>(volts));
    expected += v;
    expected += c == 2 ? "\r\n" : ",";
  }
  EXPECT_EQ(text, expected);
}

struct ModeCase {
  int mode;
  bool config;
  bool start_line;
  const char* ext;
  bool text;
};

class LoggerModes : public Logging, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(LoggerModes, FilesAndLines) {
  const ModeCase& c = GetParam();
  OpenDevice d(fast_config());
  ASSERT_EQ(KV_SetAIScanParam(d.handle, 2, 0, 0, 1000, 200, 0, 0), 1);
  std::string root = dir_.path();
  ASSERT_EQ(KV_StartLogger(d.handle, root.data(), 1, c.mode), 1);
  ASSERT_EQ(wait_status(d.handle, 0x90) & 0x90, 0x90);
  KV_StopLogger(d.handle);
  const auto configs = files_below(root, ".config");
  ASSERT_EQ(configs.size(), c.config ? 1u : 0u);
  if (c.config) {
    const std::string cfg = read_file(configs[0]);
    EXPECT_EQ(cfg.find("Start Sampling Time,") != std::string::npos, c.start_line);
  }
  const auto data = files_below(root + "/log", c.ext);
  ASSERT_EQ(data.size(), 1u);
  const std::string content = read_file(data[0]);
  if (c.text) {
    EXPECT_EQ(lines_of(content).size(), 100u);
  } else {
    EXPECT_EQ(content, stream_bytes(2, 0, 200));
  }
  EXPECT_EQ(d.sim->count_commands("~01SST"), c.start_line ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Modes, LoggerModes,
                         ::testing::Values(ModeCase{0, true, true, ".bin", false},
                                           ModeCase{1, true, true, ".txt", true},
                                           ModeCase{2, true, false, ".bin", false},
                                           ModeCase{3, false, false, ".bin", true},
                                           ModeCase{4, false, false, ".bin", false}));

TEST_F(Logging, SplitsOnlyAtWholeScansAndLosesNothing) {
  // A file period of 0 splits at every chunk; files of the same second are
  // one file. Three channels so that chunks end inside scans.
  OpenDevice d;
  ASSERT_EQ(KV_SetAIScanParam(d.handle, 3, 0, 0, 1000, 7500, 0, 0), 1);
  ASSERT_EQ(KV_SetConfig(d.handle, 4, 1, 2), 1);  // hourly folders: fewer folder changes
  std::string root = dir_.path();
  ASSERT_EQ(KV_StartLogger(d.handle, root.data(), 0, 0), 1);
  ASSERT_EQ(wait_status(d.handle, 0x90, 10000) & 0x90, 0x90);
  KV_StopLogger(d.handle);
  const auto files = by_time(files_below(root + "/log", ".bin"));
  ASSERT_GE(files.size(), 2u);
  std::string all;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string content = read_file(files[i]);
    if (i + 1 < files.size()) {
      EXPECT_EQ(content.size() % 6, 0u) << files[i];  // whole scans of 3 samples
    }
    all += content;
  }
  EXPECT_EQ(all, stream_bytes(3, 0, 7500));
}

TEST_F(Logging, TextSplitsKeepLinesWhole) {
  OpenDevice d;
  ASSERT_EQ(KV_SetAIScanParam(d.handle, 3, 0, 0, 1000, 6000, 0, 0), 1);
  std::string root = dir_.path();
  ASSERT_EQ(KV_StartLogger(d.handle, root.data(), 0, 1), 1);
  ASSERT_EQ(wait_status(d.handle, 0x90, 10000) & 0x90, 0x90);
  KV_StopLogger(d.handle);
  std::size_t lines = 0;
  for (const auto& f : by_time(files_below(root + "/log", ".txt"))) {
    for (const auto& line : lines_of(read_file(f))) {
      ++lines;
      EXPECT_EQ(std::count(line.begin(), line.end(), ','), 2) << f;
      EXPECT_EQ(line.back(), '\r');
    }
  }
  EXPECT_EQ(lines, 2000u);
}

struct GroupCase {
  uint32_t grouping;
};

class GroupFolders : public Logging, public ::testing::WithParamInterface<GroupCase> {};

TEST_P(GroupFolders, NamedAfterTheFilesTime) {
  OpenDevice d(fast_config());
  ASSERT_EQ(KV_SetAIScanParam(d.handle, 1, 0, 0, 1000, 100, 0, 0), 1);
  ASSERT_EQ(KV_SetConfig(d.handle, 4, 1, static_cast<int>(GetParam().grouping)), 1);
  std::string root = dir_.path();
  ASSERT_EQ(KV_StartLogger(d.handle, root.data(), 1, 0), 1);
  ASSERT_EQ(wait_status(d.handle, 0x90) & 0x90, 0x90);
  KV_StopLogger(d.handle);
  const std::string stem = stem_of(d.sim->config().address);
  const auto files = files_below(root + "/log", ".bin");
  ASSERT_EQ(files.size(), 1u);
  const LogName n = parse_name(base_name(files[0]));
  std::tm tm{};
  tm.tm_year = n.y - 1900;
  tm.tm_mon = n.m - 1;
  tm.tm_mday = n.d;
  tm.tm_hour = 12;
  std::mktime(&tm);  // fills in the day of the week
  char expected[40] = "";
  switch (GetParam().grouping) {
    case 0: std::snprintf(expected, sizeof expected, "%s", stem.c_str()); break;
    case 1: case 7:
      std::snprintf(expected, sizeof expected, "%04d_%02d_%02d_%02d_%02d", n.y, n.m, n.d, n.h, n.mi);
      break;
    case 2: std::snprintf(expected, sizeof expected, "%04d_%02d_%02d_%02d", n.y, n.m, n.d, n.h); break;
    case 3: case 5: std::snprintf(expected, sizeof expected, "%04d_%02d_%02d", n.y, n.m, n.d); break;
    case 4: std::snprintf(expected, sizeof expected, "%04d_%02d", n.y, n.m); break;
    case 6: std::snprintf(expected, sizeof expected, "%04d_%02d_w%d", n.y, n.m, tm.tm_wday); break;
  }
  EXPECT_EQ(parent_name(files[0]), expected);
}

INSTANTIATE_TEST_SUITE_P(Codes, GroupFolders,
                         ::testing::Values(GroupCase{0}, GroupCase{1}, GroupCase{2}, GroupCase{3},
                                           GroupCase{4}, GroupCase{5}, GroupCase{6},
                                           GroupCase{7}));

TEST_F(Logging, Mode8WritesTheReceivedBytesAsText) {
  OpenDevice d(fast_config());
  ASSERT_EQ(KV_SetAIScanParam(d.handle, 2, 0, 8, 1000, 0, 0, 0), 1);
  d.sim->set_stream_fault(sim::StreamFault{sim::StreamFault::Kind::Silence, 5000});
  std::string root = dir_.path();
  ASSERT_EQ(KV_StartLogger(d.handle, root.data(), 1, 0), 1);
  // Every block is flushed as it arrives: the file grows to the whole stream.
  EXPECT_EQ(wait_for_bytes(root + "/log", ".txt", 10000), 10000u);
  KV_StopLogger(d.handle);
  const auto files = files_below(root + "/log", ".txt");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(read_file(files[0]), stream_bytes(2, 0, 5000));
}

TEST_F(Logging, SampleCountEndRaisesEvent16) {
  OpenDevice d(fast_config());
  EventLog events;
  KV_SetEventCallback(d.handle, 16 | 2, 0, &EventLog::record, &events);
  ASSERT_EQ(KV_SetAIScanParam(d.handle, 4, 0, 0, 1000, 4000, 0, 0), 1);
  std::string root = dir_.path();
  ASSERT_EQ(KV_StartLogger(d.handle, root.data(), 1, 4), 1);
  ASSERT_EQ(wait_status(d.handle, 0x90) & 0x90, 0x90);
  KV_StopLogger(d.handle);
  const auto seen = events.take();
  EXPECT_EQ(std::count(seen.begin(), seen.end(), std::pair<unsigned short, unsigned>{16, 4000}), 1);
}

TEST_F(Logging, UnwritableDataFolderEndsTheRunAsDataLost) {
  OpenDevice d(fast_config());
  ASSERT_EQ(KV_SetAIScanParam(d.handle, 2, 0, 0, 1000, 0, 0, 0), 1);
  write_file(dir_ / "log", "a file where the log folder would be");
  std::string root = dir_.path();
  ASSERT_EQ(KV_StartLogger(d.handle, root.data(), 1, 4), 1);
  EXPECT_EQ(wait_status(d.handle, 0x12) & 0x12, 0x12);
  KV_StopLogger(d.handle);
}

TEST_F(Logging, RefusedStarts) {
  OpenDevice d(fast_config());
  std::string too_long(300, 'x');
  d.sim->clear_commands();
  EXPECT_EQ(KV_StartLogger(d.handle, too_long.data(), 1, 0), 0);
  EXPECT_EQ(last_error(), 0x1300Cu);
  EXPECT_EQ(d.sim->count_commands("~01S"), 0u);
  EXPECT_EQ(KV_StartLoggerW(d.handle, nullptr, 1, 0), 0);
  EXPECT_EQ(last_error(), 0x13006u);
  EXPECT_EQ(KV_StartLogger(nullptr, too_long.data(), 1, 0), 0);
  EXPECT_EQ(last_error(), 0x1300Au);
  // A scan owns the device: no logging run at the same time.
  ASSERT_EQ(KV_SetAIScanParam(d.handle, 2, 0, 0, 1000, 0, 0, 0), 1);
  ASSERT_EQ(KV_StartAIScan(d.handle), 1);
  std::string root = dir_.path();
  EXPECT_EQ(KV_StartLogger(d.handle, root.data(), 1, 0), 0);
  KV_StopAIScan(d.handle);
}

// Works in another folder until the end of the scope.
class InFolder {
 public:
  explicit InFolder(const std::string& path) : previous_(fs::current_path()) {
    fs::current_path(path);
  }
  ~InFolder() {
    std::error_code ec;
    fs::current_path(previous_, ec);
  }

 private:
  fs::path previous_;
};

struct RootCase {
  const char* name;
  const char* root;  // null: no path at all
};

class CurrentFolder : public Logging, public ::testing::WithParamInterface<RootCase> {};

TEST_P(CurrentFolder, LogsBelowItAndStopIsPrompt) {
  OpenDevice d;
  ASSERT_EQ(KV_SetAIScanParam(d.handle, 2, 0, 0, 1000, 0, 0, 0), 1);
  std::string root = GetParam().root ? GetParam().root : "";
  int started = 0;
  unsigned short status = 0;
  long long stop_ms = 0;
  {
    InFolder in(dir_.path());
    started = KV_StartLogger(d.handle, GetParam().root ? root.data() : nullptr, 1, 0);
    if (started) status = wait_status(d.handle, 0x40);  // data is being written
    const auto t0 = Clock::now();
    KV_StopLogger(d.handle);
    stop_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
  }
  ASSERT_EQ(started, 1);
  EXPECT_EQ(status & 0x40, 0x40);
  // A stop does not wait for the next block (several seconds at this rate).
  EXPECT_LT(stop_ms, 1000);
  EXPECT_EQ(files_below(dir_.path() + "/config", ".config").size(), 1u);
  EXPECT_EQ(files_below(dir_.path() + "/log", ".bin").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Paths, CurrentFolder,
                         ::testing::Values(RootCase{"Null", nullptr}, RootCase{"Empty", ""}),
                         [](const auto& info) { return std::string(info.param.name); });

// Caps the size of the files this process writes, as a full disk would:
// writes past the cap fail (EFBIG) rather than raise SIGXFSZ.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    previous_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    if (getrlimit(RLIMIT_FSIZE, &previous_) != 0) return;
    rlimit limit = previous_;
    limit.rlim_cur = bytes;
    set_ = setrlimit(RLIMIT_FSIZE, &limit) == 0;
  }
  ~FileSizeLimit() {
    if (set_) setrlimit(RLIMIT_FSIZE, &previous_);
    std::signal(SIGXFSZ, previous_handler_);
  }
  bool set() const { return set_; }

 private:
  rlimit previous_{};
  bool set_ = false;
  void (*previous_handler_)(int) = SIG_DFL;
};

struct FullDiskCase {
  const char* name;
  int mode;
};

class FullDisk : public Logging, public ::testing::WithParamInterface<FullDiskCase> {};

TEST_P(FullDisk, EndsTheRunAsDataLostWithAnError) {
  OpenDevice d(fast_config());
  // 2000 bytes of raw data: they fit the stream's buffer, so a raw file
  // meets the cap only when it is closed.
  ASSERT_EQ(KV_SetAIScanParam(d.handle, 2, 0, 0, 1000, 1000, 0, 0), 1);
  std::string root = dir_.path();
  unsigned short status = 0;
  unsigned error = 0;
  {
    FileSizeLimit limit(1000);
    ASSERT_TRUE(limit.set());
    ASSERT_EQ(KV_StartLogger(d.handle, root.data(), 1, GetParam().mode), 1);
    status = wait_status(d.handle, 0x10);
    KV_ClearLastError();
    ASSERT_EQ(KV_StopLogger(d.handle), 1);
    error = last_error();
  }
  EXPECT_EQ(status & 0x12, 0x12);
  EXPECT_EQ(error, 0x14102u);
}

INSTANTIATE_TEST_SUITE_P(Modes, FullDisk,
                         ::testing::Values(FullDiskCase{"Raw", 4},
                                           FullDiskCase{"RawWithConfiguration", 0},
                                           FullDiskCase{"Text", 3}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Logging, StartTimeThatCannotBeSavedEndsTheRun) {
  OpenDevice d(fast_config());
  ASSERT_EQ(KV_SetAIScanParam(d.handle, 1, 0, 0, 1000, 50, 0, 0), 1);  // 100 data bytes
  // A first run shows how long the configuration is before its start time
  // (the same lines again in the second run).
  TempDir first;
  std::string root = first.path();
  ASSERT_EQ(KV_StartLogger(d.handle, root.data(), 1, 0), 1);
  ASSERT_EQ(wait_status(d.handle, 0x90) & 0x90, 0x90);
  KV_StopLogger(d.handle);
  const auto configs = files_below(root + "/config", ".config");
  ASSERT_EQ(configs.size(), 1u);
  const std::size_t before_start = read_file(configs[0]).find("Start Sampling Time,");
  ASSERT_NE(before_start, std::string::npos);
  ASSERT_GT(before_start, 100u);

  root = dir_.path();
  unsigned short status = 0;
  unsigned error = 0;
  {
    // Room for the configuration's lines and the data, not for the start time.
    FileSizeLimit limit(before_start + 5);
    ASSERT_TRUE(limit.set());
    ASSERT_EQ(KV_StartLogger(d.handle, root.data(), 1, 0), 1);
    status = wait_status(d.handle, 0x10);
    KV_ClearLastError();
    KV_StopLogger(d.handle);
    error = last_error();
  }
  EXPECT_EQ(status & 0x12, 0x12);
  EXPECT_EQ(error, 0x14102u);
}

TEST_F(Logging, ConfigurationThatCannotBeWrittenRefusesTheStart) {
  OpenDevice d(fast_config());
  ASSERT_EQ(KV_SetAIScanParam(d.handle, 2, 0, 0, 1000, 200, 0, 0), 1);
  std::string root = dir_.path();
  d.sim->clear_commands();
  {
    FileSizeLimit limit(50);
    ASSERT_TRUE(limit.set());
    KV_ClearLastError();
    EXPECT_EQ(KV_StartLogger(d.handle, root.data(), 1, 0), 0);
    EXPECT_EQ(last_error(), 0x14102u);
  }
  EXPECT_EQ(d.sim->count_commands("~01S"), 0u);  // the device never started
  // A cut configuration would pair with data files later: none is kept.
  EXPECT_TRUE(files_below(root + "/config", ".config").empty());
  // Nothing of the refused run is left: the next one starts and completes.
  ASSERT_EQ(KV_StartLogger(d.handle, root.data(), 1, 0), 1);
  EXPECT_EQ(wait_status(d.handle, 0x90) & 0x92, 0x90);
  KV_StopLogger(d.handle);
}

}  // namespace
}  // namespace korvel::test
