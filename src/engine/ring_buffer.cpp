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

bool RingBuffer::init(uint32_t capacity) {
  std::lock_guard<std::mutex> reader(read_mu_);
  std::lock_guard<std::mutex> lock(mu_);
  free_storage();
  read_pos_ = write_pos_ = count_ = 0;
  status_ = 0;
  capacity_ = 0;
  const std::size_t size = capacity == 0 ? 1 : capacity;
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return false;
  if (size >= kHugePage) madvise(p, size, MADV_HUGEPAGE);
  data_ = static_cast<char*>(p);
  mapped_ = size;
  capacity_ = capacity;
  return true;
}

void RingBuffer::release() {
  std::lock_guard<std::mutex> reader(read_mu_);
  std::lock_guard<std::mutex> lock(mu_);
  free_storage();
  capacity_ = 0;
  read_pos_ = write_pos_ = count_ = 0;
  status_ &= static_cast<uint16_t>(~kStatusData);
}

RingBuffer::WriteResult RingBuffer::write(const char* src, uint32_t bytes) {
  uint32_t pos, k;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (count_ >= capacity_) {
      status_ |= kStatusOverrun;
      return WriteResult::Dropped;
    }
    pos = write_pos_;
    k = std::min(bytes, capacity_ - count_);
  }
  // Free space belongs to the writer alone: copy without the lock.
  const uint32_t first = std::min(k, capacity_ - pos);
  std::memcpy(data_ + pos, src, first);
  std::memcpy(data_, src + first, k - first);
  commit(k);
  if (k < bytes) {
    add_status(kStatusOverrun);
    return WriteResult::Truncated;
  }
  return WriteResult::Stored;
}

char* RingBuffer::reserve(uint32_t wanted) {
  std::lock_guard<std::mutex> lock(mu_);
  if (data_ == nullptr || capacity_ - count_ < wanted || capacity_ - write_pos_ < wanted)
    return nullptr;
  return data_ + write_pos_;
}

void RingBuffer::commit(uint32_t bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  if (capacity_ == 0) return;
  write_pos_ = static_cast<uint32_t>((static_cast<uint64_t>(write_pos_) + bytes) % capacity_);
  count_ += bytes;
  if (count_ != 0) status_ |= kStatusData;
}

uint32_t RingBuffer::read(char* dst, uint32_t count, uint32_t unit) {
  if (count == 0 || unit == 0) return 0;
  std::lock_guard<std::mutex> reader(read_mu_);
  uint32_t pos, k;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (count_ == 0) return 0;
    const uint64_t wanted = static_cast<uint64_t>(count) * unit;
    k = static_cast<uint32_t>(std::min<uint64_t>(count_, wanted));
    k -= k % unit;
    pos = read_pos_;
  }
  if (k == 0) return 0;
  // Filled space is the reader's until it is given back below.
  const uint32_t first = std::min(k, capacity_ - pos);
  std::memcpy(dst, data_ + pos, first);
  std::memcpy(dst + first, data_, k - first);
  {
    std::lock_guard<std::mutex> lock(mu_);
    read_pos_ = (pos + k) % capacity_;
    count_ -= k;
    if (count_ == 0) status_ &= static_cast<uint16_t>(~kStatusData);
  }
  return k / unit;
}

void RingBuffer::clear() {
  std::lock_guard<std::mutex> reader(read_mu_);  // not in the middle of a read
  std::lock_guard<std::mutex> lock(mu_);
  // The writer may be filling free space: drop what is waiting by moving the
  // read position up to the write position, leaving the writer's place alone.
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

}  // namespace korvel
