// The scan's ring buffer: raw sample bytes between the acquisition thread
// (the one writer) and the application (readers), with the ADStatus word.
//
// Bytes are copied outside the lock: the writer fills only free space and
// readers take only filled space, so the lock guards nothing but positions,
// the fill level and the status (measured: a reader no longer waits behind
// a writer's page-faulting copy). Readers are serialised among themselves
// and against init/release, which free the storage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

namespace korvel {

// ADStatus bits.
enum : uint16_t {
  kStatusData = 0x01,          // samples waiting
  kStatusOverrun = 0x02,       // samples dropped (ring full, or a file write failed)
  kStatusEnded = 0x04,         // acquisition thread ended
  kStatusTimeout = 0x08,       // ended by a data time-out
  kStatusLogEnded = 0x10,      // logger or download thread ended
  kStatusLogTimeout = 0x20,    // logger or download ended by a time-out
  kStatusLogFileOpened = 0x40, // first data file opened
  kStatusCountReached = 0x80,  // finite scan reached its sample count
};

class RingBuffer {
 public:
  enum class WriteResult { Stored, Truncated, Dropped };

  RingBuffer() = default;
  ~RingBuffer();
  RingBuffer(const RingBuffer&) = delete;
  RingBuffer& operator=(const RingBuffer&) = delete;

  // Allocates capacity bytes (positions, fill level and status zeroed);
  // false when the memory cannot be had. Not while a writer runs.
  bool init(uint32_t capacity);
  // Frees the storage; afterwards the ring reads as empty. Not while a
  // writer runs.
  void release();

  // Writer: appends bytes; a block that does not fit is cut (Truncated) or,
  // with the ring full, dropped whole (Dropped); both set kStatusOverrun.
  WriteResult write(const char* data, uint32_t bytes);
  // Writer: contiguous free space of at least `wanted` bytes to receive
  // into directly, or null; fill it, then commit().
  char* reserve(uint32_t wanted);
  void commit(uint32_t bytes);

  // Reader: copies up to count units of unit bytes; returns the units
  // copied. Only whole units leave the ring, so a partly received sample
  // stays for later.
  uint32_t read(char* dst, uint32_t count, uint32_t unit);
  // Empties the ring and clears the status.
  void clear();

  uint16_t status() const;
  void add_status(uint16_t bits);
  void remove_status(uint16_t bits);
  uint32_t count() const;  // bytes waiting
  uint32_t capacity() const;

 private:
  void free_storage();

  mutable std::mutex mu_;  // ADMutex: positions, fill level, status
  std::mutex read_mu_;     // one reader at a time; storage lifetime
  char* data_ = nullptr;
  std::size_t mapped_ = 0;
  uint32_t capacity_ = 0;
  uint32_t read_pos_ = 0;
  uint32_t write_pos_ = 0;
  uint32_t count_ = 0;
  uint16_t status_ = 0;
};

}  // namespace korvel
