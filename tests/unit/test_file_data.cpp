#include "logging/file_data.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace korvel {
namespace {

namespace fs = std::filesystem;

// Each test works in a fresh folder under /tmp, removed afterwards.
class FileData : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/kvfd_XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string at(const std::string& rel) const { return dir_ + "/" + rel; }
  static void put(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
  }
  static std::string get(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  std::string dir_;
};

TEST(Extension, NarrowKeepsSpellingWideFoldsIt) {
  struct Case {
    const char* name;
    const wchar_t* wname;
    int narrow, wide;
  };
  const Case cases[] = {
      {"a_2026.BIN", L"a_2026.BIN", 7, 0},  {"a.bin.txt", L"a.bin.txt", 0, 0},
      {"a.csv.bin", L"a.csv.bin", 0, 0},    {"log.KVD", L"log.KVD", 13, 6},
      {"notes.md", L"notes.md", 5, 5},      {"plain", L"plain", -1, -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(checklogfiletype(c.name), c.narrow) << c.name;
    EXPECT_EQ(checklogfiletypeW(c.wname), c.wide) << c.name;
  }
}

TEST_F(FileData, ReadValueSingleAndTwoKeyForms) {
  put(at("c.config"),
      "Module Name,LX-3100\nGain,3\nCH1\nCH1,Gain,32768, Offset,12\nCH1,Offset,7,x\nTail");
  TextFile t(kModeRead);
  ASSERT_EQ(t.Open(at("c.config").c_str()), 1);
  char v[TextFile::kLineCapacity];
  struct One {
    const char* key;
    int ret;
    const char* value;
  };
  // "Tail" ends the file without a separator: nothing is read past the line.
  for (const One& c : {One{"Gain", 2, "3\n"}, One{"Module Name", 8, "LX-3100\n"},
                       One{"Tail", 0, ""}, One{"Absent", -1, ""}}) {
    EXPECT_EQ(t.ReadValue(c.key, v), c.ret) << c.key;
    EXPECT_STREQ(v, c.value) << c.key;
  }
  struct Two {
    const char *k1, *k2;
    int ret;
    const char* value;
  };
  // No ',' after "Offset,12": that line does not count and the next one does.
  for (const Two& c : {Two{"CH1", "Gain", 5, "32768"}, Two{"CH1", "Offset", 1, "7"},
                       Two{"CH2", "Gain", -1, ""}}) {
    EXPECT_EQ(t.ReadValue(c.k1, c.k2, v), c.ret) << c.k1 << "/" << c.k2;
    EXPECT_STREQ(v, c.value) << c.k1 << "/" << c.k2;
  }
}

TEST(Path, GetPathSplitsAtLastBackslashOnly) {
  char dir[kPathCapacity], name[kPathCapacity];
  std::strcpy(dir, "untouched");
  std::strcpy(name, "untouched");
  GetPath("/log/127_0_0_2/a.bin", dir, name);  // forward slashes only
  GetPath("\\a.bin", dir, name);              // backslash at the start
  EXPECT_STREQ(dir, "untouched");
  EXPECT_STREQ(name, "untouched");
  GetPath("C:\\log\\grp\\a.bin", dir, name);
  EXPECT_STREQ(dir, "C:\\log\\grp");
  EXPECT_STREQ(name, "a.bin");
  wchar_t wdir[kPathCapacity], wname[kPathCapacity];
  GetPathW(L"D:\\x\\y.txt", wdir, wname);
  EXPECT_STREQ(wdir, L"D:\\x");
  EXPECT_STREQ(wname, L"y.txt");
}

TEST(Path, BackPreviousDirLevels) {
  struct Case {
    const char* path;
    int levels;
    const char* result;  // null: the function returns null
  };
  const Case cases[] = {{"a/b/c/d", 1, "a/b/c"}, {"a/b/c/d", 3, "a"}, {"a/b", 4, "a"},
                        {"/x/y", 2, ""},         {"/x/y", 3, nullptr}, {"", 0, ""},
                        {"", 1, nullptr}};
  for (const Case& c : cases) {
    char buf[kPathCapacity];
    std::strcpy(buf, c.path);
    const char* r = BackPreviousDir(buf, c.levels);
    if (c.result == nullptr) {
      EXPECT_EQ(r, nullptr) << c.path << " " << c.levels;
    } else {
      ASSERT_EQ(r, buf) << c.path << " " << c.levels;
      EXPECT_STREQ(r, c.result);
    }
  }
  wchar_t w[] = L"C:\\root\\log\\grp";
  EXPECT_STREQ(BackPreviousDirW(w, 2), L"C:\\root");
  EXPECT_EQ(BackPreviousDirW(nullptr, 1), nullptr);
}

TEST(Wide, ConversionCapacities) {
  char out[kWideCapacity];
  std::memset(out, 'x', sizeof out);
  EXPECT_EQ(WideToChar(std::wstring(66, L'a').c_str(), out, kWideCapacity), 0u);
  EXPECT_EQ(out[0], 'x');  // refused: nothing written
  EXPECT_EQ(WideToChar(std::wstring(65, L'a').c_str(), out, kWideCapacity), 260u);
  EXPECT_EQ(std::string(out), std::string(65, 'a'));
  EXPECT_EQ(WideToChar(nullptr, out, kWideCapacity), 0u);
  EXPECT_EQ(WideToChar(L"\u00e9t\u00e9", out, kWideCapacity), 0u);  // not ASCII in "C"

  wchar_t w[4] = {L'z', L'z', L'z', L'z'};
  EXPECT_EQ(CharToWide("abcd", w, 4), 0u);  // no room for the terminator
  EXPECT_EQ(w[0], L'z');
  EXPECT_EQ(CharToWide("abc", w, 4), 3u);
  EXPECT_STREQ(w, L"abc");
  EXPECT_EQ(CharToWide(nullptr, w, 4), 0u);
}

TEST(LogName, SplitsIntoHeadCodeAndStamp) {
  char head[64], code[16], stamp[80];
  EXPECT_EQ(checkLogFileFormat("127_0_0_2_1a2b_2026_12_6_11_37_21.bin", head, code, stamp), 0);
  EXPECT_STREQ(head, "127_0_0_2");
  EXPECT_STREQ(code, "1a2b");
  EXPECT_STREQ(stamp, "2026_12_6_11_37");

  struct Case {
    const wchar_t* name;
    int ret;
  };
  const Case cases[] = {{L"127_0_0_2_1a2b_2026_12_6_11_37_21.bin", 0},
                        {L"a_b_c", -1},
                        {L"1234567890_1234567890_1_2_c_s", -1},  // head over 19
                        {L"a_b_c_d", -2},
                        {L"a_b_c_d_e", -3},
                        {L"a_b_c_d_e_2026123456_2026123456_1", -3}};  // stamp over 23
  wchar_t wh[20], wc[16], ws[24];
  for (const Case& c : cases) EXPECT_EQ(checkLogFileFormatW(c.name, wh, wc, ws), c.ret) << c.ret;
  checkLogFileFormatW(cases[0].name, wh, wc, ws);
  EXPECT_STREQ(wh, L"127_0_0_2");
  EXPECT_STREQ(wc, L"1a2b");
  EXPECT_STREQ(ws, L"2026_12_6_11_37");
}

TEST_F(FileData, ThreePartOpenCreatesOnlyTheLastLevel) {
  BinaryFile f(kModeCreateReadWrite);
  EXPECT_EQ(f.Open(dir_.c_str(), "missing/grp", "a.bin"), 0);
  EXPECT_FALSE(f.is_open());
  EXPECT_FALSE(fs::exists(at("missing")));
  EXPECT_EQ(f.Open(dir_.c_str(), std::string(300, 'g').c_str(), "a.bin"), 0);
  ASSERT_EQ(f.Open(dir_.c_str(), "grp", "a.bin"), 1);
  EXPECT_TRUE(fs::is_regular_file(at("grp/a.bin")));
  EXPECT_EQ(BinaryFile(9).mode(), kModeCreateReadWrite);
}

TEST_F(FileData, WriteAccountingAndReadsByType) {
  {
    BinaryFile w(kModeWrite);
    ASSERT_EQ(w.Open(dir_.c_str(), "g", "d.bin"), 1);
    const short s[5] = {1, 2, 3, 4, 5};
    const int l = 0x01020304;
    const float fl = 1.5f;
    EXPECT_EQ(w.WriteShort(s, 5), 10u);
    EXPECT_EQ(w.WriteChar("xy", 2), 12u);
    EXPECT_EQ(w.WriteLong(&l, 1), 16u);
    EXPECT_EQ(w.WriteFloat(&fl, 1), 20u);
    EXPECT_FALSE(w.failed());
    EXPECT_EQ(w.Size(), 20u);
  }
  BinaryFile r(kModeRead, kType16);
  ASSERT_EQ(r.Open(at("g/d.bin").c_str()), 1);
  uint32_t slots[4] = {0xAAAA5555u, 0xAAAA5555u, 0xAAAA5555u, 0xAAAA5555u};
  EXPECT_EQ(r.ReadFrom(slots, 1, 3), 3u);
  EXPECT_EQ(slots[0], 0xAAAA0002u);
  EXPECT_EQ(slots[1], 0xAAAA0003u);
  EXPECT_EQ(slots[2], 0xAAAA0004u);
  EXPECT_EQ(slots[3], 0xAAAA5555u);
  EXPECT_EQ(r.ReadFrom(slots, 8, 4), 2u);  // only two 16-bit elements remain
  EXPECT_EQ(r.ReadFrom(slots, 10, 1), 0u);
  int longs[2] = {};
  EXPECT_EQ(r.ReadLongFrom(longs, 3, 5), 2u);  // position 12: the int, then the float
  EXPECT_EQ(longs[0], 0x01020304);
  float fl = 0;
  EXPECT_EQ(r.ReadFloatFrom(&fl, 4, 1), 1u);
  EXPECT_EQ(fl, 1.5f);
  EXPECT_EQ(r.ReadLongFrom(longs, 5, 1), 0u);
}

TEST_F(FileData, FailingWritesKeepTheTotalAndReport) {
  put(at("g/ro.bin"), "data");
  BinaryFile ro(kModeRead);  // the three-part open with "rb": writes fail
  ASSERT_EQ(ro.Open(dir_.c_str(), "g", "ro.bin"), 1);
  const short s[2] = {1, 2};
  EXPECT_EQ(ro.WriteShort(s, 2), 0u);
  EXPECT_TRUE(ro.failed());
  EXPECT_EQ(ro.error_text(), dir_ + "g write I16 2 failed");
  const int l[3] = {};
  EXPECT_EQ(ro.WriteLong(l, 3), 0u);
  EXPECT_EQ(ro.error_text(), dir_ + "g write I16 3 failed");

  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  BinaryFile full(kModeWrite);
  ASSERT_EQ(full.Open("/dev", ".", "full"), 1);
  EXPECT_EQ(full.WriteChar("abc", 3), 0u);  // the flush fails: nothing counted
  EXPECT_TRUE(full.failed());
  // Unflushed writes are buffered: only the close can tell they were lost.
  BinaryFile buffered(kModeWrite);
  ASSERT_EQ(buffered.Open("/dev", ".", "full"), 1);
  EXPECT_EQ(buffered.WriteShort(s, 2), 4u);
  EXPECT_NE(buffered.Close(), 0);
  TextFile text(kModeWrite);
  ASSERT_EQ(text.Open("/dev/full"), 1);
  EXPECT_EQ(text.WriteLine("Gain,1"), 1);
  EXPECT_NE(text.Close(), 0);
}

TEST_F(FileData, FindsConfigurationAndLogFilesInLoggerLayout) {
  const std::string run = "127_0_0_2_1a2b_2026_12_6_11_37_21";
  const std::string root = at("root"), group = root + "/log/127_0_0_2/2026_12_06_11_37";
  put(root + "/config/IP_127_0_0_3_1a2b_2026_12_6_11_37_21.config", "");  // other device
  put(root + "/config/IP_" + run + ".config", "Module Name,LX-3100\n");
  put(group + "/" + run + ".bin", "");
  put(group + "/127_0_0_2_1a2b_2026_12_6_11_38_21.bin", "");
  put(group + "/127_0_0_2_ffff_2026_12_6_11_37_21.bin", "");  // no configuration
  put(group + "/notes.txt", "");
  const std::string config = root + "/config/IP_" + run + ".config";

  const char* found = FindConfigFile(root.c_str(), "127_0_0_2", "1a2b", "");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(std::string(found), config);
  EXPECT_EQ(FindConfigFile(root.c_str(), "127_0_0_2", "9999", ""), nullptr);
  EXPECT_EQ(FindConfigFile(at("absent").c_str(), "127_0_0_2", "1a2b", ""), nullptr);
  const std::wstring wroot(root.begin(), root.end()), wconfig(config.begin(), config.end());
  const wchar_t* wfound = FindConfigFileW(wroot.c_str(), L"127_0_0_2", L"1a2b", L"");
  ASSERT_NE(wfound, nullptr);
  EXPECT_EQ(std::wstring(wfound), wconfig);

  LogFileList().clearAll();
  ASSERT_EQ(FindFilesFromfolder(root.c_str(), 0), 3);
  std::vector<std::pair<std::string, std::string>> listed;
  char data[kPathCapacity], cfg[kPathCapacity];
  for (int i = 0; FindFilename(i, data, cfg) == 0; ++i) listed.emplace_back(data, cfg);
  std::sort(listed.begin(), listed.end());
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_EQ(listed[0], std::make_pair(group + "/127_0_0_2_1a2b_2026_12_6_11_37_21.bin", config));
  EXPECT_EQ(listed[1], std::make_pair(group + "/127_0_0_2_1a2b_2026_12_6_11_38_21.bin", config));
  EXPECT_EQ(listed[2], std::make_pair(group + "/127_0_0_2_ffff_2026_12_6_11_37_21.bin",
                                      std::string()));
  EXPECT_EQ(FindFilename(3, data, cfg), -1);

  LogFileList().clearAll();
  EXPECT_EQ(FindFilesFromfolder(root.c_str(), 1), 1);  // notes.txt
  LogFileList().clearAll();
  EXPECT_EQ(FindFilesFromfolder(at("absent").c_str(), 0), 0);
}

TEST_F(FileData, IniRead) {
  const std::string ini = at("p.ini");
  char out[16];
  EXPECT_EQ(ini_read("S", "k", "dflt", out, sizeof out, ini.c_str()), 4);
  EXPECT_STREQ(out, "dflt");
  put(ini, "top=0\n[A]\nx = 1\n[B]\nk=hello world\r\n");
  struct Case {
    const char *section, *key, *dflt;
    unsigned size;
    int ret;
    const char* out;
  };
  const Case cases[] = {
      {"B", "k", "", 16, 10, "helloworld"},  // blanks and the line end go
      {"A", "x", "", 16, 1, "1"},
      {"A", "k", "d", 16, 1, "d"},  // the key of the next section is not A's
      {"C", "k", nullptr, 16, -1, ""},
      {"B", "k", "", 4, 3, "hel"},  // cut to size - 1
  };
  for (const Case& c : cases) {
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(ini_read(c.section, c.key, c.dflt, out, c.size, ini.c_str()),
              c.ret)
        << c.section << "/" << c.key;
    EXPECT_STREQ(out, c.out);
  }
  EXPECT_EQ(GetIni(ini.c_str(), "Z", "k", out, sizeof out), -1);
}

TEST_F(FileData, IniWriteRebuildsTokenPerLine) {
  struct Case {
    const char* before;  // null: no file yet
    const char *section, *key, *value;
    const char* after;
  };
  const Case cases[] = {
      {nullptr, "S", "k", "v", "[S]\nk=v\n"},
      {"[S]\nother=1\n", "S", "k", "v", "[S]\nk=v\nother=1\n"},
      {"[A]\nx=1\n", "B", "k", "v", "[A]\nx=1\n[B]\nk=v\n"},
      {"[S]\nk=old  z=2\n", "S", "k", "new", "[S]\nk=new\nz=2\n"},
      {"[A]\nx=1\n[B]\nk=2\n", "A", "k", "9", "[A]\nk=9\nx=1\n[B]\nk=2\n"},
  };
  const std::string ini = at("w.ini");
  for (const Case& c : cases) {
    fs::remove(ini);
    if (c.before) put(ini, c.before);
    EXPECT_EQ(SetIni(ini.c_str(), c.section, c.key, c.value), 1);
    EXPECT_EQ(get(ini), c.after) << (c.before ? c.before : "(none)");
  }
  char out[16];
  EXPECT_EQ(GetIni(ini.c_str(), "A", "k", out, sizeof out), 1);
  EXPECT_STREQ(out, "9");
  EXPECT_EQ(SetIni(at("no/such/dir.ini").c_str(), "S", "k", "v"), 0);
}

}  // namespace
}  // namespace korvel
