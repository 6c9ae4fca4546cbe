#include "samples.h"

#include <endian.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>

#include <fmt/core.h>

namespace cli {

namespace {

bool ends_with(const std::string& s, const char* suffix) {
  const std::size_t n = std::strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

class CsvWriter : public ScanWriter {
 public:
  CsvWriter(FILE* f, const std::string& path, unsigned channels, double rate)
      : f_(f), channels_(channels), rate_(rate) {
    path_ = path;
    std::string header = "time_s";
    for (unsigned c = 0; c < channels; ++c) header += fmt::format(",AI{}", c);
    fmt::print(f_, "{}\n", header);
  }
  ~CsvWriter() override { close(); }
  bool write(const float* scans, std::size_t count) override {
    std::string line;
    for (std::size_t s = 0; s < count; ++s, ++index_) {
      line.clear();
      fmt::format_to(std::back_inserter(line), "{:.6f}",
                     rate_ > 0 ? static_cast<double>(index_) / rate_ : static_cast<double>(index_));
      for (unsigned c = 0; c < channels_; ++c)
        fmt::format_to(std::back_inserter(line), ",{:.6f}", scans[s * channels_ + c]);
      line += '\n';
      if (std::fwrite(line.data(), 1, line.size(), f_) != line.size()) ok_ = false;
    }
    return ok_;
  }
  bool close() override {
    if (!f_) return ok_;
    if (f_ == stdout) {
      ok_ = std::fflush(stdout) == 0 && ok_;
    } else {
      ok_ = std::fclose(f_) == 0 && ok_;
    }
    f_ = nullptr;
    return ok_;
  }

 private:
  FILE* f_;
  unsigned channels_;
  double rate_;
  uint64_t index_ = 0;
  bool ok_ = true;
};

// float32 values, little-endian, as they come.
class RawWriter : public ScanWriter {
 public:
  RawWriter(FILE* f, const std::string& path, unsigned channels) : f_(f), channels_(channels) {
    path_ = path;
  }
  ~RawWriter() override { close(); }
  bool write(const float* scans, std::size_t count) override {
    const std::size_t n = count * channels_;
    if (std::fwrite(scans, sizeof(float), n, f_) != n) ok_ = false;
    scans_ += count;
    return ok_;
  }
  bool close() override {
    if (!f_) return ok_;
    ok_ = finish() && ok_;
    ok_ = std::fclose(f_) == 0 && ok_;
    f_ = nullptr;
    return ok_;
  }

 protected:
  virtual bool finish() { return true; }
  FILE* f_;
  unsigned channels_;
  uint64_t scans_ = 0;
  bool ok_ = true;
};

// NumPy format 1.0: a header padded to 128 bytes, rewritten with the final
// shape when the file is closed.
class NpyWriter : public RawWriter {
 public:
  NpyWriter(FILE* f, const std::string& path, unsigned channels) : RawWriter(f, path, channels) {
    if (!write_header()) ok_ = false;
  }
  ~NpyWriter() override { close(); }

 private:
  bool write_header() {
    std::string dict = fmt::format("{{'descr': '<f4', 'fortran_order': False, 'shape': ({}, {}), }}",
                                   scans_, channels_);
    const std::size_t total = 128;
    std::string header = "\x93NUMPY";
    header += '\x01';
    header += '\x00';
    const std::size_t len = total - 10;
    header += static_cast<char>(len & 0xFF);
    header += static_cast<char>(len >> 8);
    dict.resize(len - 1, ' ');
    header += dict;
    header += '\n';
    return std::fseek(f_, 0, SEEK_SET) == 0 &&
           std::fwrite(header.data(), 1, header.size(), f_) == header.size();
  }
  bool finish() override {
    const bool ok = write_header();
    std::fseek(f_, 0, SEEK_END);
    return ok;
  }
};

}  // namespace

bool known_output(const std::string& path) {
  return path == "-" || ends_with(path, ".csv") || ends_with(path, ".npy") ||
         ends_with(path, ".bin");
}

std::unique_ptr<ScanWriter> open_writer(const std::string& path, unsigned channels, double rate,
                                        std::string* error) {
  static_assert(__BYTE_ORDER == __LITTLE_ENDIAN, "float32 files are written little-endian");
  if (!known_output(path)) {
    *error = fmt::format("-o {}: the output must end in .csv, .npy or .bin, or be - (CSV to "
                         "standard output)", path);
    return nullptr;
  }
  if (path == "-") return std::make_unique<CsvWriter>(stdout, path, channels, rate);
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    *error = fmt::format("cannot write {}: {}", path, std::strerror(errno));
    return nullptr;
  }
  if (ends_with(path, ".csv")) return std::make_unique<CsvWriter>(f, path, channels, rate);
  if (ends_with(path, ".npy")) return std::make_unique<NpyWriter>(f, path, channels);
  return std::make_unique<RawWriter>(f, path, channels);
}

ChannelStats::ChannelStats(unsigned channels, std::string unit)
    : channels_(channels),
      unit_(std::move(unit)),
      lo_(channels, std::numeric_limits<double>::infinity()),
      hi_(channels, -std::numeric_limits<double>::infinity()),
      sum_(channels, 0.0) {}

void ChannelStats::add(const float* scans, std::size_t count) {
  for (std::size_t s = 0; s < count; ++s)
    for (unsigned c = 0; c < channels_; ++c) {
      const double v = scans[s * channels_ + c];
      lo_[c] = std::min(lo_[c], v);
      hi_[c] = std::max(hi_[c], v);
      sum_[c] += v;
    }
  scans_ += count;
}

void ChannelStats::print(FILE* out, uint64_t samples) const {
  const uint64_t rest = samples - scans_ * channels_;
  if (rest != 0)
    fmt::print(out,
               "  {} samples on {} channels: {} whole scan(s) and {} sample(s) of the next; the "
               "statistics cover the whole scans\n",
               samples, channels_, scans_, rest);
  if (scans_ == 0) {
    fmt::print(out, "  no whole scan: no statistics\n");
    return;
  }
  fmt::print(out, "  channel {:>10} {:>10} {:>10}\n", "min" + unit_, "mean" + unit_, "max" + unit_);
  for (unsigned c = 0; c < channels_; ++c)
    fmt::print(out, "  AI{:<5} {:10.4f} {:10.4f} {:10.4f}\n", c, lo_[c],
               sum_[c] / static_cast<double>(scans_), hi_[c]);
}

namespace {

bool read_csv(const std::string& path, Table* t, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = fmt::format("cannot read {}", path);
    return false;
  }
  std::string line;
  if (!std::getline(in, line)) {
    *error = fmt::format("{}: empty file", path);
    return false;
  }
  std::stringstream header(line);
  std::string name;
  std::vector<std::string> names;
  while (std::getline(header, name, ',')) names.push_back(name);
  if (names.size() < 2) {
    *error = fmt::format("{}: the first row must name a time column and channels", path);
    return false;
  }
  t->names.assign(names.begin() + 1, names.end());
  t->columns.assign(t->names.size(), {});
  std::size_t row = 1;
  while (std::getline(in, line)) {
    ++row;
    if (line.empty()) continue;
    const char* p = line.c_str();
    char* end = nullptr;
    const double time = std::strtod(p, &end);
    if (end == p) {
      *error = fmt::format("{}:{}: not a number", path, row);
      return false;
    }
    t->time.push_back(time);
    for (auto& column : t->columns) {
      p = end;
      if (*p != ',') {
        *error = fmt::format("{}:{}: fewer values than columns", path, row);
        return false;
      }
      column.push_back(std::strtof(p + 1, &end));
      if (end == p + 1) column.back() = std::nanf("");
    }
  }
  return true;
}

bool read_npy(const std::string& path, double rate, Table* t, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  char magic[10];
  if (!in.read(magic, 10) || std::memcmp(magic, "\x93NUMPY", 6) != 0) {
    *error = fmt::format("{}: not a NumPy file", path);
    return false;
  }
  const std::size_t len =
      static_cast<unsigned char>(magic[8]) | static_cast<std::size_t>(static_cast<unsigned char>(magic[9])) << 8;
  std::string header(len, '\0');
  if (magic[6] != 1 || !in.read(header.data(), static_cast<std::streamsize>(len))) {
    *error = fmt::format("{}: unsupported NumPy header", path);
    return false;
  }
  unsigned long long rows = 0, cols = 0;
  const auto shape = header.find("'shape': (");
  if (header.find("'<f4'") == std::string::npos ||
      header.find("'fortran_order': False") == std::string::npos || shape == std::string::npos ||
      std::sscanf(header.c_str() + shape, "'shape': (%llu, %llu)", &rows, &cols) != 2 ||
      cols == 0 || cols > 4096 || rows > (1ull << 32) / cols) {
    *error = fmt::format("{}: expected float32 scans x channels", path);
    return false;
  }
  std::vector<float> values(rows * cols);
  if (!in.read(reinterpret_cast<char*>(values.data()),
               static_cast<std::streamsize>(values.size() * sizeof(float)))) {
    *error = fmt::format("{}: shorter than its header says", path);
    return false;
  }
  t->names.clear();
  for (unsigned long long c = 0; c < cols; ++c) t->names.push_back(fmt::format("AI{}", c));
  t->columns.assign(cols, std::vector<float>(rows));
  t->time.resize(rows);
  for (unsigned long long r = 0; r < rows; ++r) {
    t->time[r] = rate > 0 ? static_cast<double>(r) / rate : static_cast<double>(r);
    for (unsigned long long c = 0; c < cols; ++c) t->columns[c][r] = values[r * cols + c];
  }
  return true;
}

}  // namespace

bool read_table(const std::string& path, double rate, Table* table, std::string* error) {
  if (ends_with(path, ".csv")) return read_csv(path, table, error);
  if (ends_with(path, ".npy")) return read_npy(path, rate, table, error);
  *error = fmt::format("{}: plots are made from .csv or .npy files", path);
  return false;
}

}  // namespace cli
