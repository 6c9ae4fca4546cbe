// Text records of the MC620Ws in trigger modes 4 and 5. In these modes each
// slot streams one text record per scan instead of raw samples:
//   "hh:mm:ss,<number>,<ordinal>,v0,v1,...,v7"
// always kRecordBytes characters, with no terminator. A logging run cuts
// every slot's byte stream into records, puts their values (x 1000, as
// unsigned 16-bit codes) into the slot's lane of the ring, and writes one
// line per whole scan: the time and number of the first slot's record, the
// scan's channel count and every value.
//
// The stream is untrusted: TCP keeps no record boundaries, and a record may
// be cut short or damaged. Framing is by the fixed record size; a frame that
// does not parse is dropped up to the next place that starts like a record
// ("dd:dd:dd,"), and counts as one record whose scan is not written.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/ring_buffer.h"

namespace korvel {

// Characters of one record, as the controller sends them.
inline constexpr uint32_t kRecordBytes = 70;
// Values a record carries (fields 3 to 10).
inline constexpr uint32_t kRecordValues = 8;
// Entries of the table of record times. The logging ring holds exactly this
// many scans, so a slot can never run a whole table ahead of the reader
// (the ring stops it first) and no entry is overwritten before it is read.
inline constexpr uint32_t kRecordTimeEntries = 1000;

struct McRecord {
  uint8_t hour = 0;
  uint8_t minute = 0;
  uint8_t second = 0;
  unsigned long number = 0;
  // Each value x 1000, rounded and held to 0..65535 (the ring's codes).
  std::array<uint16_t, kRecordValues> values{};
};

// Parses one record of exactly `bytes` characters: eleven fields separated
// by ','; a time 00:00:00..23:59:59, a number of decimal digits that fits
// unsigned long, an ordinal of 1 to 3 digits, eight decimal values. Spaces
// around numbers are allowed, and so is padding (spaces, NUL, CR, LF) at the
// end. False when anything else is there; *out is then unspecified.
bool parse_record(const char* text, std::size_t bytes, McRecord* out);

// Cuts one slot's byte stream into records.
class RecordFramer {
 public:
  // For each record completed by these bytes, in order, take(record) is
  // called with the parsed record, or with null for a malformed one.
  void feed(const char* data, std::size_t bytes, const std::function<void(const McRecord*)>& take);
  void reset() { pending_.clear(); }
  // Bytes held back: an incomplete record, or a bad one waiting for the
  // bytes that show where the next record starts.
  std::size_t pending() const { return pending_.size(); }

 private:
  std::string pending_;
};

// The table of record times: per scan, the time and number of the first
// slot's record and which slots' records of it were malformed. One writer
// position per slot and one reader position, all wrapping at the same size.
class RecordTimes {
 public:
  struct Entry {
    uint8_t hour = 0;
    uint8_t minute = 0;
    uint8_t second = 0;
    unsigned long number = 0;
    uint32_t bad_lanes = 0;  // bit per lane whose record was malformed
  };
  static constexpr uint32_t kMaxLanes = 32;

  void reset(uint32_t lanes);
  // Lane's next record (null: malformed); lane 0 gives the time. False
  // (nothing kept) when the lane is a whole table ahead of the reader.
  bool write(uint32_t lane, const McRecord* record);
  // The next scan's entry; false when not every lane has written it.
  bool take(Entry* out);
  uint64_t written(uint32_t lane) const { return lane < lanes_ ? written_[lane] : 0; }
  uint64_t read() const { return read_; }

 private:
  std::array<Entry, kRecordTimeEntries> entries_{};
  std::array<uint64_t, kMaxLanes> written_{};
  uint32_t lanes_ = 0;
  uint64_t read_ = 0;
};

// A logging run's records from every slot to the data file's lines.
class RecordMerger {
 public:
  // Writes one line (with its '\n'); false when it could not be written.
  using LineWriter = std::function<bool(const char* text, std::size_t bytes)>;

  RecordMerger(RingBuffer& ring, LineWriter write_line);
  // Before a run, with the ring already set up with one lane per slot:
  // each lane's channels (at most kRecordValues) and the scan's.
  void start(const std::vector<uint16_t>& lane_channels, uint16_t scan_channels);
  // Bytes received on lane's connection. False ends the run: a slot ran a
  // whole ring ahead (the ring marks the overrun), or a line was lost.
  bool feed(uint32_t lane, const char* data, std::size_t bytes);

  uint64_t lines() const { return lines_; }
  uint64_t malformed() const { return malformed_; }
  uint64_t skipped_scans() const { return skipped_; }

 private:
  bool place(uint32_t lane, const McRecord* record);
  bool write_scans();

  RingBuffer& ring_;
  LineWriter write_line_;
  std::vector<uint16_t> lane_channels_;
  std::vector<RecordFramer> framers_;
  RecordTimes times_;
  uint16_t scan_channels_ = 0;
  std::vector<uint16_t> scan_;
  std::string line_;
  bool ok_ = true;
  uint64_t lines_ = 0;
  uint64_t malformed_ = 0;
  uint64_t skipped_ = 0;
};

}  // namespace korvel
