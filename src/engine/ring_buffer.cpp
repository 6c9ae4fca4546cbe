#include "engine/ring_buffer.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>

namespace korvel {

namespace {
// Large rings ask for huge pages: a scan writes every byte of fresh memory
// once, and small-page faults cost more than the copies (measured on the
// streaming benchmark).
constexpr std::size_t kHugePage = 2u << 20;
}  // namespace

RingBuffer::~RingBuffer() { free_storage(); }

void RingBuffer::free_storage() {
  if (data_) munmap(data_, mapped_);
  data_ = nullptr;
  mapped_ = 0;
}

bool RingBuffer::init(uint32_t capacity, uint32_t unit, uint32_t tag) {
  std::lock_guard<std::mutex> reader(read_mu_);
  std::lock_guard<std::mutex> lock(mu_);
  read_pos_ = write_pos_ = count_ = 0;
  staged_ = skip_ = 0;
  dropped_ = 0;
  committed_ = 0;
  lanes_.clear();
  status_ = 0;
  capacity_ = 0;
  unit_ = unit == 0 ? 1 : unit;
  grain_ = unit_;
  tag_ = tag;
  const uint32_t units = std::max<uint32_t>(1, capacity / unit_);
  const std::size_t size = static_cast<std::size_t>(units) * unit_;
  if (size > UINT32_MAX) {
    free_storage();
    return false;
  }
  // A run of the same size as the last keeps its mapping: the kernel zeroes
  // fresh pages as the stream first reaches them, which costs a first run
  // more CPU than the copies (measured on the streaming benchmark).
  if (data_ && mapped_ == size) {
    capacity_ = static_cast<uint32_t>(size);
    return true;
  }
  free_storage();
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return false;
  if (size >= kHugePage) madvise(p, size, MADV_HUGEPAGE);
  data_ = static_cast<char*>(p);
  mapped_ = size;
  capacity_ = static_cast<uint32_t>(size);
  return true;
}

bool RingBuffer::init_lanes(uint32_t capacity, uint32_t unit, uint32_t tag,
                            std::vector<RingLane> lanes, uint32_t grain) {
  // The lanes must cover each unit exactly once, in steps of whole grains.
  std::sort(lanes.begin(), lanes.end(),
            [](const RingLane& a, const RingLane& b) { return a.offset < b.offset; });
  uint32_t end = 0;
  for (const RingLane& l : lanes) {
    if (l.width == 0 || l.offset != end) return false;
    end += l.width;
  }
  if (lanes.empty() || end != unit || grain == 0 || unit % grain != 0) return false;
  if (!init(capacity, unit, tag)) return false;
  std::lock_guard<std::mutex> lock(mu_);
  grain_ = grain;
  for (const RingLane& l : lanes) lanes_.push_back({l, 0});
  return true;
}

void RingBuffer::release() {
  std::lock_guard<std::mutex> reader(read_mu_);
  std::lock_guard<std::mutex> lock(mu_);
  free_storage();
  capacity_ = 0;
  read_pos_ = write_pos_ = count_ = 0;
  staged_ = skip_ = 0;
  lanes_.clear();
  status_ &= static_cast<uint16_t>(~kStatusData);
}

uint32_t RingBuffer::writable() const {
  if (capacity_ == 0) return 0;
  // Space freed inside a unit a reader is part-way through cannot take a
  // unit yet: only whole units count.
  const uint32_t free_units = (capacity_ - count_) / unit_;
  return free_units * unit_ - staged_;
}

void RingBuffer::stage(uint32_t bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  if (capacity_ == 0) return;
  staged_ += bytes;
  publish_staged(staged_ - staged_ % unit_);
}

void RingBuffer::publish_staged(uint32_t whole) {
  if (whole == 0) return;
  write_pos_ = static_cast<uint32_t>((static_cast<uint64_t>(write_pos_) + whole) % capacity_);
  count_ += whole;
  committed_ += whole;
  staged_ -= whole;
  status_ |= kStatusData;
}

RingBuffer::WriteResult RingBuffer::write(const char* src, uint32_t bytes) {
  uint64_t dropped = 0;
  while (bytes > 0) {
    if (skip_ > 0) {  // the rest of a unit that was dropped
      const uint32_t k = std::min(skip_, bytes);
      skip_ -= k;
      src += k;
      bytes -= k;
      continue;
    }
    uint32_t room, cursor;
    {
      std::lock_guard<std::mutex> lock(mu_);
      room = writable();
      cursor = capacity_ ? static_cast<uint32_t>((static_cast<uint64_t>(write_pos_) + staged_) %
                                                 capacity_)
                         : 0;
    }
    if (room == 0) {
      // No whole unit fits (a unit being filled always has its room, so the
      // block is at a unit boundary here): drop the block's units.
      dropped += bytes / unit_;
      if (bytes % unit_ != 0) {
        ++dropped;
        skip_ = unit_ - bytes % unit_;
      }
      break;
    }
    // Free space belongs to the writer alone: copy without the lock.
    const uint32_t k = std::min(bytes, room);
    const uint32_t first = std::min(k, capacity_ - cursor);
    std::memcpy(data_ + cursor, src, first);
    std::memcpy(data_, src + first, k - first);
    stage(k);
    src += k;
    bytes -= k;
  }
  if (dropped == 0) return WriteResult::Stored;
  std::lock_guard<std::mutex> lock(mu_);
  dropped_ += dropped;
  status_ |= kStatusOverrun;
  return WriteResult::Dropped;
}

RingBuffer::WriteResult RingBuffer::write_lane(uint32_t index, const char* src, uint32_t bytes) {
  uint64_t limit;  // stream offset no lane may reach: the read total plus the capacity
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (capacity_ == 0 || index >= lanes_.size()) {
      status_ |= kStatusOverrun;
      return WriteResult::Dropped;
    }
    limit = committed_ - count_ + capacity_;
  }
  LaneState& l = lanes_[index];
  const uint32_t width = l.lane.width;
  bool overrun = false;
  while (bytes > 0) {
    // Stream offset of the lane's next byte: its unit, its column, its
    // place within the column. A column piece never crosses the ring's end
    // (the capacity is whole units).
    const uint64_t pos = l.written / width * unit_ + l.lane.offset + l.written % width;
    uint32_t k = std::min<uint32_t>(bytes, width - static_cast<uint32_t>(l.written % width));
    if (pos + k > limit) {
      std::lock_guard<std::mutex> lock(mu_);
      limit = committed_ - count_ + capacity_;  // the reader may have moved on
    }
    if (pos + k > limit) {
      k = pos < limit ? static_cast<uint32_t>(limit - pos) : 0;
      overrun = true;
    }
    // Space past the readable front belongs to the writer: copy unlocked.
    std::memcpy(data_ + pos % capacity_, src, k);
    l.written += k;
    src += k;
    bytes -= k;
    if (overrun) break;
  }
  // The readable front: the first byte some lane still owes, in grains.
  uint64_t front = UINT64_MAX;
  for (const LaneState& s : lanes_)
    front = std::min(front, s.written / s.lane.width * unit_ + s.lane.offset +
                                s.written % s.lane.width);
  front -= front % grain_;
  std::lock_guard<std::mutex> lock(mu_);
  if (front > committed_) {
    count_ += static_cast<uint32_t>(front - committed_);
    committed_ = front;
    write_pos_ = static_cast<uint32_t>(front % capacity_);
    status_ |= kStatusData;
  }
  if (!overrun) return WriteResult::Stored;
  ++dropped_;
  status_ |= kStatusOverrun;
  return WriteResult::Dropped;
}

void RingBuffer::publish_tail(uint32_t grain) {
  std::lock_guard<std::mutex> lock(mu_);
  if (capacity_ == 0 || grain == 0 || !lanes_.empty()) return;
  publish_staged(staged_ - staged_ % grain);
}

char* RingBuffer::reserve(uint32_t wanted) {
  std::lock_guard<std::mutex> lock(mu_);
  if (data_ == nullptr || skip_ > 0 || !lanes_.empty() || writable() < wanted) return nullptr;
  const uint32_t cursor =
      static_cast<uint32_t>((static_cast<uint64_t>(write_pos_) + staged_) % capacity_);
  if (capacity_ - cursor < wanted) return nullptr;
  return data_ + cursor;
}

void RingBuffer::commit(uint32_t bytes) { stage(bytes); }

uint32_t RingBuffer::read(char* dst, uint32_t count, uint32_t elem, uint32_t* offset) {
  RingPlace place;
  const uint32_t n = read(dst, count, elem, &place);
  if (offset) *offset = place.offset;
  return n;
}

uint32_t RingBuffer::begin_read(uint32_t count, uint32_t elem, RingPlace* place, uint32_t* pos) {
  std::lock_guard<std::mutex> lock(mu_);
  if (count_ == 0) return 0;
  const uint64_t wanted = static_cast<uint64_t>(count) * elem;
  uint32_t k = static_cast<uint32_t>(std::min<uint64_t>(count_, wanted));
  k -= k % elem;
  *pos = read_pos_;
  place->offset = read_pos_ % unit_;
  place->unit = unit_;
  place->tag = tag_;
  return k;
}

void RingBuffer::end_read(uint32_t pos, uint32_t bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  read_pos_ = (pos + bytes) % capacity_;
  count_ -= bytes;
  if (count_ == 0) status_ &= static_cast<uint16_t>(~kStatusData);
}

uint32_t RingBuffer::read(char* dst, uint32_t count, uint32_t elem, RingPlace* place) {
  if (count == 0 || elem == 0) return 0;
  std::lock_guard<std::mutex> reader(read_mu_);
  uint32_t pos;
  const uint32_t k = begin_read(count, elem, place, &pos);
  if (k == 0) return 0;
  // Filled space is the reader's until it is given back below.
  const uint32_t first = std::min(k, capacity_ - pos);
  std::memcpy(dst, data_ + pos, first);
  std::memcpy(dst + first, data_, k - first);
  end_read(pos, k);
  return k / elem;
}

void RingBuffer::clear() {
  std::lock_guard<std::mutex> reader(read_mu_);  // not in the middle of a read
  std::lock_guard<std::mutex> lock(mu_);
  // The writer may be filling free space: drop what is waiting by moving the
  // read position up to the committed write position (a unit boundary),
  // leaving the unit being filled alone.
  read_pos_ = write_pos_;
  count_ = 0;
  status_ = 0;
}

uint16_t RingBuffer::status() const {
  std::lock_guard<std::mutex> lock(mu_);
  return status_;
}

void RingBuffer::add_status(uint16_t bits) {
  std::lock_guard<std::mutex> lock(mu_);
  status_ |= bits;
}

void RingBuffer::remove_status(uint16_t bits) {
  std::lock_guard<std::mutex> lock(mu_);
  status_ &= static_cast<uint16_t>(~bits);
}

uint32_t RingBuffer::count() const {
  std::lock_guard<std::mutex> lock(mu_);
  return count_;
}

uint32_t RingBuffer::capacity() const {
  std::lock_guard<std::mutex> lock(mu_);
  return capacity_;
}

uint32_t RingBuffer::unit() const {
  std::lock_guard<std::mutex> lock(mu_);
  return unit_;
}

uint64_t RingBuffer::total_read() const {
  std::lock_guard<std::mutex> lock(mu_);
  return committed_ - count_;
}

uint64_t RingBuffer::dropped_units() const {
  std::lock_guard<std::mutex> lock(mu_);
  return dropped_;
}

}  // namespace korvel
