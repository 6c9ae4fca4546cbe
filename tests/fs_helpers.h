// Temporary folders and file reading for the logging tests.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace korvel::test {

namespace fs = std::filesystem;

// A fresh folder below /tmp, removed with everything in it at the end.
class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/korvel-test-XXXXXX";
    if (mkdtemp(name)) path_ = name;
    EXPECT_FALSE(path_.empty());
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rest) const { return path_ + "/" + rest; }

 private:
  std::string path_;
};

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void write_file(const std::string& path, const std::string& content) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Regular files below root whose name ends with suffix.
inline std::vector<std::string> files_below(const std::string& root, const std::string& suffix) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::recursive_directory_iterator();
       ++it) {
    const std::string p = it->path().string();
    if (it->is_regular_file() && p.size() >= suffix.size() &&
        p.compare(p.size() - suffix.size(), suffix.size(), suffix) == 0)
      out.push_back(p);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Waits (bounded) until the regular files below root whose name ends with
// suffix hold at least `bytes` together; the total last seen.
inline uint64_t wait_for_bytes(const std::string& root, const std::string& suffix, uint64_t bytes,
                               int timeout_ms = 8000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  uint64_t total = 0;
  for (;;) {
    total = 0;
    for (const auto& f : files_below(root, suffix)) {
      std::error_code ec;
      const auto n = fs::file_size(f, ec);
      if (!ec) total += n;
    }
    if (total >= bytes || std::chrono::steady_clock::now() >= end) return total;
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
  }
}

}  // namespace korvel::test
