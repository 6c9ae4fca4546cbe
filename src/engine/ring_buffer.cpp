#include "engine/ring_buffer.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace korvel {

bool RingBuffer::init(uint32_t capacity) {
  std::unique_ptr<char[]> data(new (std::nothrow) char[capacity == 0 ? 1 : capacity]);
  std::lock_guard<std::mutex> lock(mu_);
  data_ = std::move(data);
  capacity_ = data_ ? capacity : 0;
  read_pos_ = write_pos_ = count_ = 0;
  status_ = 0;
  return data_ != nullptr;
}

void RingBuffer::release() {
  std::unique_ptr<char[]> old;
  std::lock_guard<std::mutex> lock(mu_);
  old = std::move(data_);
  capacity_ = 0;
  read_pos_ = write_pos_ = count_ = 0;
  status_ &= static_cast<uint16_t>(~kStatusData);
}

RingBuffer::WriteResult RingBuffer::write(const char* src, uint32_t bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  if (count_ >= capacity_) {
    status_ |= kStatusOverrun;
    return WriteResult::Dropped;
  }
  const uint32_t k = std::min(bytes, capacity_ - count_);
  const uint32_t first = std::min(k, capacity_ - write_pos_);
  std::memcpy(data_.get() + write_pos_, src, first);
  std::memcpy(data_.get(), src + first, k - first);
  write_pos_ = (write_pos_ + k) % capacity_;
  count_ += k;
  if (count_ != 0) status_ |= kStatusData;
  if (k < bytes) {
    status_ |= kStatusOverrun;
    return WriteResult::Truncated;
  }
  return WriteResult::Stored;
}

uint32_t RingBuffer::read(char* dst, uint32_t count, uint32_t unit) {
  if (count == 0 || unit == 0) return 0;
  std::lock_guard<std::mutex> lock(mu_);
  if (count_ == 0) return 0;
  const uint64_t wanted = static_cast<uint64_t>(count) * unit;
  uint32_t k = static_cast<uint32_t>(std::min<uint64_t>(count_, wanted));
  k -= k % unit;
  const uint32_t first = std::min(k, capacity_ - read_pos_);
  std::memcpy(dst, data_.get() + read_pos_, first);
  std::memcpy(dst + first, data_.get(), k - first);
  read_pos_ = (read_pos_ + k) % capacity_;
  count_ -= k;
  if (count_ == 0) status_ &= static_cast<uint16_t>(~kStatusData);
  return k / unit;
}

void RingBuffer::clear() {
  std::lock_guard<std::mutex> lock(mu_);
  read_pos_ = write_pos_ = count_ = 0;
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
