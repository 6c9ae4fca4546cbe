#include "logging/file_data.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "fs_helpers.h"

namespace korvel {
namespace {

using test::read_file;
using test::write_file;
namespace fs = std::filesystem;

// Each test works in a fresh folder under /tmp, removed afterwards.
class FileData : public ::testing::Test {
 protected:
  std::string at(const std::string& rel) const { return dir_ / rel; }
  test::TempDir dir_;
  const std::string& root_ = dir_.path();
};

TEST(Extension, TypeKeepsTheSpelling) {
  struct Case {
    const char* name;
    int type;
  };
  const Case cases[] = {{"a_2026.BIN", 7}, {"a.bin.txt", 0}, {"a.csv.bin", 0},
                        {"log.KVD", 13},   {"notes.md", 5},  {"plain", -1}};
  for (const Case& c : cases) EXPECT_EQ(checklogfiletype(c.name), c.type) << c.name;
}

TEST_F(FileData, ReadValueSingleAndTwoKeyForms) {
  write_file(at("c.config"),
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
}

TEST(Wide, ConversionCapacity) {
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

  // Names come from folder listings: over-long tokens are cut so that every
  // part fits its buffer.
  const std::string token(30, 'x');
  std::string name = token;
  for (int i = 0; i < 12; ++i) name += "_" + token;
  char long_head[65], long_code[17], long_stamp[81];
  std::memset(long_head, 0x7F, sizeof long_head);
  std::memset(long_code, 0x7F, sizeof long_code);
  std::memset(long_stamp, 0x7F, sizeof long_stamp);
  EXPECT_EQ(checkLogFileFormat(name.c_str(), long_head, long_code, long_stamp), 0);
  EXPECT_EQ(std::strlen(long_head), 63u);
  EXPECT_EQ(std::strlen(long_code), 15u);
  EXPECT_EQ(std::strlen(long_stamp), 79u);
  EXPECT_EQ(long_head[64], 0x7F);
  EXPECT_EQ(long_code[16], 0x7F);
  EXPECT_EQ(long_stamp[80], 0x7F);
}

TEST_F(FileData, ThreePartOpenCreatesOnlyTheLastLevel) {
  BinaryFile f(kModeCreateReadWrite);
  EXPECT_EQ(f.Open(root_.c_str(), "missing/grp", "a.bin"), 0);
  EXPECT_FALSE(f.is_open());
  EXPECT_FALSE(fs::exists(at("missing")));
  EXPECT_EQ(f.Open(root_.c_str(), std::string(300, 'g').c_str(), "a.bin"), 0);
  ASSERT_EQ(f.Open(root_.c_str(), "grp", "a.bin"), 1);
  EXPECT_TRUE(fs::is_regular_file(at("grp/a.bin")));
  EXPECT_EQ(BinaryFile(9).mode(), kModeCreateReadWrite);
}

TEST_F(FileData, BulkReadsMatchElementByElementReads) {
  // A file of 40001 bytes (an odd tail no element covers), read in bulk at
  // many offsets and lengths, against element reads of the same file: the
  // elements, their count and, for 16-bit reads, the untouched upper halves.
  std::string bytes(40001, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 131 + 7);
  write_file(at("bulk.bin"), bytes);
  struct Case {
    int type;
    unsigned size;
  };
  for (const Case c :
       {Case{kTypeBytes, 1}, Case{kType16, 2}, Case{kTypeFloat, 4}, Case{kType32, 4}}) {
    BinaryFile bulk(kModeRead, c.type), single(kModeRead, c.type);
    ASSERT_EQ(bulk.Open(at("bulk.bin").c_str()), 1);
    ASSERT_EQ(single.Open(at("bulk.bin").c_str()), 1);
    const unsigned total = static_cast<unsigned>(bytes.size() / c.size);
    // The file element by element, once.
    std::vector<uint32_t> all;
    for (unsigned i = 0;; ++i) {
      uint32_t one = 0;
      const unsigned k =
          c.size == 1   ? single.ReadCharFrom(reinterpret_cast<char*>(&one), i, 1)
          : c.size == 2 ? single.ReadShortFrom(reinterpret_cast<unsigned short*>(&one), i, 1)
                        : single.ReadLongFrom(reinterpret_cast<int*>(&one), i, 1);
      if (k != 1) break;
      all.push_back(one);
    }
    ASSERT_EQ(all.size(), total);
    const unsigned offsets[] = {0, 1, 3, 4095, 4096, 16383, 16385, total - 9000, total - 1, total,
                                total + 5, UINT_MAX};
    const unsigned lengths[] = {1, 2, 7, 4097, 16384, 16385, 40000, UINT_MAX};
    for (unsigned offset : offsets) {
      for (unsigned n : lengths) {
        const unsigned expected = offset >= total ? 0 : std::min(n, total - offset);
        std::vector<uint32_t> got(expected + 8, 0xA5A5A5A5u), want = got;
        for (unsigned i = 0; i < expected; ++i) {
          if (c.size == 1)
            reinterpret_cast<char*>(want.data())[i] = static_cast<char>(all[offset + i]);
          else if (c.size == 2)
            want[i] = 0xA5A50000u | all[offset + i];
          else
            want[i] = all[offset + i];
        }
        ASSERT_EQ(bulk.ReadFrom(got.data(), offset, n), expected)
            << "type " << c.type << " offset " << offset << " n " << n;
        ASSERT_EQ(got, want) << "type " << c.type << " offset " << offset << " n " << n;
      }
    }
  }
}

TEST_F(FileData, WriteAccountingAndReadsByType) {
  {
    BinaryFile w(kModeWrite);
    ASSERT_EQ(w.Open(root_.c_str(), "g", "d.bin"), 1);
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
  write_file(at("g/ro.bin"), "data");
  BinaryFile ro(kModeRead);  // the three-part open with "rb": writes fail
  ASSERT_EQ(ro.Open(root_.c_str(), "g", "ro.bin"), 1);
  const short s[2] = {1, 2};
  EXPECT_EQ(ro.WriteShort(s, 2), 0u);
  EXPECT_TRUE(ro.failed());
  EXPECT_EQ(ro.error_text(), root_ + "g write I16 2 failed");
  const int l[3] = {};
  EXPECT_EQ(ro.WriteLong(l, 3), 0u);
  EXPECT_EQ(ro.error_text(), root_ + "g write I16 3 failed");

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
  write_file(root + "/config/IP_127_0_0_3_1a2b_2026_12_6_11_37_21.config", "");  // other device
  write_file(root + "/config/IP_" + run + ".config", "Module Name,LX-3100\n");
  write_file(group + "/" + run + ".bin", "");
  write_file(group + "/127_0_0_2_1a2b_2026_12_6_11_38_21.bin", "");
  write_file(group + "/127_0_0_2_ffff_2026_12_6_11_37_21.bin", "");  // no configuration
  write_file(group + "/notes.txt", "");
  const std::string config = root + "/config/IP_" + run + ".config";

  const char* found = FindConfigFile(root.c_str(), "127_0_0_2", "1a2b", "");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(std::string(found), config);
  EXPECT_EQ(FindConfigFile(root.c_str(), "127_0_0_2", "9999", ""), nullptr);
  EXPECT_EQ(FindConfigFile(at("absent").c_str(), "127_0_0_2", "1a2b", ""), nullptr);

  ASSERT_EQ(ListLogFiles(root.c_str(), 0), 3);
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

  EXPECT_EQ(ListLogFiles(root.c_str(), 1), 1);  // notes.txt
  EXPECT_EQ(ListLogFiles(at("absent").c_str(), 0), 0);
  EXPECT_EQ(FindFilename(0, data, cfg), -1);
}

}  // namespace
}  // namespace korvel
