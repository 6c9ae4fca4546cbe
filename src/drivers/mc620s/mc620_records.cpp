#include "drivers/mc620s/mc620_records.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>

namespace korvel {

namespace {

// "dd:dd:dd," opens every record: the anchor for finding the next one.
constexpr std::size_t kStartBytes = 9;
constexpr std::size_t kFields = 3 + kRecordValues;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool starts_record(const char* p) {
  return is_digit(p[0]) && is_digit(p[1]) && p[2] == ':' && is_digit(p[3]) && is_digit(p[4]) &&
         p[5] == ':' && is_digit(p[6]) && is_digit(p[7]) && p[8] == ',';
}

struct Field {
  const char* begin;
  const char* end;
  std::size_t size() const { return static_cast<std::size_t>(end - begin); }
};

Field trimmed(Field f) {
  while (f.begin < f.end && *f.begin == ' ') ++f.begin;
  while (f.end > f.begin && f.end[-1] == ' ') --f.end;
  return f;
}

bool parse_time(Field f, McRecord* out) {
  if (f.size() != 8 || f.begin[2] != ':' || f.begin[5] != ':') return false;
  int part[3];
  for (int i = 0; i < 3; ++i) {
    const char* p = f.begin + 3 * i;
    if (!is_digit(p[0]) || !is_digit(p[1])) return false;
    part[i] = (p[0] - '0') * 10 + (p[1] - '0');
  }
  if (part[0] > 23 || part[1] > 59 || part[2] > 59) return false;
  out->hour = static_cast<uint8_t>(part[0]);
  out->minute = static_cast<uint8_t>(part[1]);
  out->second = static_cast<uint8_t>(part[2]);
  return true;
}

// Unsigned decimal of at most max_digits digits that fits unsigned long.
bool parse_unsigned(Field f, std::size_t max_digits, unsigned long* out) {
  f = trimmed(f);
  if (f.size() == 0 || f.size() > max_digits) return false;
  unsigned long v = 0;
  for (const char* p = f.begin; p < f.end; ++p) {
    if (!is_digit(*p)) return false;
    const unsigned long d = static_cast<unsigned long>(*p - '0');
    if (v > (ULONG_MAX - d) / 10) return false;
    v = v * 10 + d;
  }
  *out = v;
  return true;
}

// A decimal value ([+-]digits[.digits]) as thousandths, rounded half up at
// the fourth decimal and held to 0..65535. Parsed by hand: exact, and free
// of the process's locale (a decimal comma would break strtod).
bool parse_value(Field f, uint16_t* out) {
  f = trimmed(f);
  const char* p = f.begin;
  bool negative = false;
  if (p < f.end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  uint64_t whole = 0;
  bool digits = false, big = false;
  for (; p < f.end && is_digit(*p); ++p) {
    digits = true;
    whole = whole * 10 + static_cast<uint64_t>(*p - '0');
    if (whole > 65535) {
      big = true;
      whole = 65536;  // kept small: only "beyond the range" matters now
    }
  }
  uint64_t milli = 0;
  if (p < f.end && *p == '.') {
    ++p;
    int place = 0;
    for (; p < f.end && is_digit(*p); ++p, ++place) {
      digits = true;
      const uint64_t d = static_cast<uint64_t>(*p - '0');
      if (place < 3) milli = milli * 10 + d;
      if (place == 3 && d >= 5) ++milli;  // rounds half up
    }
    for (; place < 3; ++place) milli *= 10;
  }
  if (!digits || p != f.end) return false;
  const uint64_t total = big ? UINT64_MAX : whole * 1000 + milli;
  if (negative && total != 0)
    *out = 0;
  else
    *out = static_cast<uint16_t>(total > 65535 ? 65535 : total);
  return true;
}

}  // namespace

bool parse_record(const char* text, std::size_t bytes, McRecord* out) {
  const char* end = text + bytes;
  // Padding to the fixed size.
  while (end > text && (end[-1] == ' ' || end[-1] == '\0' || end[-1] == '\r' || end[-1] == '\n'))
    --end;
  std::array<Field, kFields> fields;
  std::size_t n = 0;
  const char* begin = text;
  for (const char* p = text; p <= end; ++p) {
    if (p == end || *p == ',') {
      if (n == kFields) return false;  // more fields than a record has
      fields[n++] = Field{begin, p};
      begin = p + 1;
    } else if (static_cast<unsigned char>(*p) < 0x20 || static_cast<unsigned char>(*p) > 0x7E) {
      return false;
    }
  }
  if (n != kFields) return false;
  unsigned long ordinal = 0;
  if (!parse_time(fields[0], out) || !parse_unsigned(fields[1], 20, &out->number) ||
      !parse_unsigned(fields[2], 3, &ordinal))
    return false;
  for (std::size_t v = 0; v < kRecordValues; ++v)
    if (!parse_value(fields[3 + v], &out->values[v])) return false;
  return true;
}

void RecordFramer::feed(const char* data, std::size_t bytes,
                        const std::function<void(const McRecord*)>& take) {
  pending_.append(data, bytes);
  std::size_t pos = 0;
  while (pending_.size() - pos >= kRecordBytes) {
    const char* frame = pending_.data() + pos;
    McRecord record;
    if (parse_record(frame, kRecordBytes, &record)) {
      take(&record);
      pos += kRecordBytes;
      continue;
    }
    // A bad frame: the next record begins at the first place inside it that
    // starts like one. Seeing a start at the frame's last byte takes the
    // bytes after it: wait for them.
    if (pending_.size() - pos < kRecordBytes + kStartBytes - 1) break;
    std::size_t skip = kRecordBytes;
    for (std::size_t p = 1; p < kRecordBytes; ++p) {
      if (starts_record(frame + p)) {
        skip = p;
        break;
      }
    }
    // What is dropped stood for a record when it began like one or was at
    // least half a record long (a record cut short or damaged: its scan
    // keeps its place); a few stray bytes between records stand for none.
    if (starts_record(frame) || skip >= kRecordBytes / 2) take(nullptr);
    pos += skip;
  }
  pending_.erase(0, pos);
}

void RecordTimes::reset(uint32_t lanes) {
  lanes_ = lanes < kMaxLanes ? lanes : kMaxLanes;
  written_.fill(0);
  read_ = 0;
  entries_.fill(Entry{});
}

bool RecordTimes::write(uint32_t lane, const McRecord* record) {
  if (lane >= lanes_ || written_[lane] - read_ >= kRecordTimeEntries) return false;
  Entry& e = entries_[written_[lane] % kRecordTimeEntries];
  if (lane == 0) {
    e.hour = record ? record->hour : 0;
    e.minute = record ? record->minute : 0;
    e.second = record ? record->second : 0;
    e.number = record ? record->number : 0;
  }
  const uint32_t bit = uint32_t{1} << lane;
  e.bad_lanes = record ? e.bad_lanes & ~bit : e.bad_lanes | bit;
  ++written_[lane];
  return true;
}

bool RecordTimes::take(Entry* out) {
  if (lanes_ == 0) return false;
  for (uint32_t l = 0; l < lanes_; ++l)
    if (written_[l] <= read_) return false;
  *out = entries_[read_ % kRecordTimeEntries];
  ++read_;
  return true;
}

RecordMerger::RecordMerger(RingBuffer& ring, LineWriter write_line)
    : ring_(ring), write_line_(std::move(write_line)) {}

void RecordMerger::start(const std::vector<uint16_t>& lane_channels, uint16_t scan_channels) {
  lane_channels_ = lane_channels;
  framers_.assign(lane_channels.size(), RecordFramer{});
  times_.reset(static_cast<uint32_t>(lane_channels.size()));
  scan_channels_ = scan_channels;
  scan_.assign(scan_channels, 0);
  ok_ = true;
  lines_ = malformed_ = skipped_ = 0;
}

bool RecordMerger::feed(uint32_t lane, const char* data, std::size_t bytes) {
  if (lane >= framers_.size()) return false;
  framers_[lane].feed(data, bytes, [this, lane](const McRecord* r) {
    if (ok_) ok_ = place(lane, r);
  });
  return ok_;
}

bool RecordMerger::place(uint32_t lane, const McRecord* record) {
  // Channels past the record's values are refused when the run starts.
  const uint32_t n = lane_channels_[lane] < kRecordValues ? lane_channels_[lane] : kRecordValues;
  std::array<uint16_t, kRecordValues> chunk{};
  // A malformed record still fills its slot's column, so that every later
  // scan stays whole and in step; that scan's line is not written.
  if (record)
    std::memcpy(chunk.data(), record->values.data(), n * sizeof(uint16_t));
  else
    ++malformed_;
  if (ring_.write_lane(lane, reinterpret_cast<const char*>(chunk.data()), n * sizeof(uint16_t)) !=
      RingBuffer::WriteResult::Stored)
    return false;
  if (!times_.write(lane, record)) {
    ring_.add_status(kStatusOverrun);
    return false;
  }
  return write_scans();
}

bool RecordMerger::write_scans() {
  const uint32_t scan_bytes = static_cast<uint32_t>(scan_channels_) * sizeof(uint16_t);
  while (scan_bytes > 0 && ring_.count() >= scan_bytes) {
    RecordTimes::Entry e;
    if (!times_.take(&e)) return true;  // no lane is owed anything here
    if (ring_.read(reinterpret_cast<char*>(scan_.data()), scan_channels_, sizeof(uint16_t)) !=
        scan_channels_)
      return false;
    if (e.bad_lanes != 0) {
      // Part of this scan never arrived intact: no line rather than a
      // line with made-up values; the run is marked as having lost data.
      ++skipped_;
      ring_.add_status(kStatusOverrun);
      continue;
    }
    char item[32];
    std::snprintf(item, sizeof item, "%02d:%02d:%02d,%lu,%d", e.hour, e.minute, e.second, e.number,
                  static_cast<int>(scan_channels_));
    line_ = item;
    for (uint16_t v : scan_) {
      std::snprintf(item, sizeof item, ",%0.3f", v / 1000.0);
      line_ += item;
    }
    line_ += '\n';
    if (!write_line_(line_.data(), line_.size())) return false;
    ++lines_;
  }
  return true;
}

}  // namespace korvel
