// Where scans go (CSV, NumPy .npy, raw float32, standard output) and the
// per-channel statistics of a run.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace cli {

// Writes whole scans of `channels` volts each.
class ScanWriter {
 public:
  virtual ~ScanWriter() = default;
  virtual bool write(const float* scans, std::size_t count) = 0;
  // Completes the file (the .npy header's shape); false when anything
  // could not be written.
  virtual bool close() = 0;
  const std::string& path() const { return path_; }
  bool to_stdout() const { return path_ == "-"; }

 protected:
  std::string path_;
};

// By the path's extension: ".csv" (a header row "time_s,AI0,..."), ".npy"
// (float32, scans x channels), ".bin" (float32 little-endian, interleaved);
// "-" streams CSV to standard output. Null with *error set otherwise.
std::unique_ptr<ScanWriter> open_writer(const std::string& path, unsigned channels, double rate,
                                        std::string* error);
// Whether the path's extension is one open_writer takes.
bool known_output(const std::string& path);

// Minimum, mean and maximum of every channel over whole scans.
class ChannelStats {
 public:
  // unit: what the values are in, for the table's heading (" V", or "" for codes).
  ChannelStats(unsigned channels, std::string unit);
  void add(const float* scans, std::size_t count);
  uint64_t scans() const { return scans_; }
  // The table, and a line explaining samples that made no whole scan.
  void print(FILE* out, uint64_t samples) const;

 private:
  unsigned channels_;
  std::string unit_;
  uint64_t scans_ = 0;
  std::vector<double> lo_, hi_, sum_;
};

// Reads a file a writer made (.csv or .npy): scans x channels, the column
// names and the time of each scan (from the CSV, or index / rate).
struct Table {
  std::vector<std::string> names;
  std::vector<double> time;
  std::vector<std::vector<float>> columns;
};
bool read_table(const std::string& path, double rate, Table* table, std::string* error);

}  // namespace cli
