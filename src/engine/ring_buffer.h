// The scan's ring buffer: raw sample bytes between the acquisition thread
// (the one writer) and the application (readers), with the ADStatus word.
//
// Bytes are copied outside the lock: the writer fills only free space and
// readers take only filled space, so the lock guards nothing but positions,
// the fill level and the status (measured: a reader no longer waits behind
// a writer's page-faulting copy). Readers are serialised among themselves
// and against init/release, which free the storage.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

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

// Where a read started: the byte offset of its first element within its unit,
// the unit's size and the run's tag (given at init), read together with the
// data, so a reader converts samples with the settings of the run that wrote
// them without any lock of its own.
struct RingPlace {
  uint32_t offset = 0;
  uint32_t unit = 1;
  uint32_t tag = 0;
};

// A lane: one writer's column of every unit, bytes [offset, offset + width).
// Several lanes fill the units side by side (a controller's slots, each
// streaming its channels of every scan on a connection of its own).
struct RingLane {
  uint32_t offset = 0;
  uint32_t width = 0;
};

class RingBuffer {
 public:
  enum class WriteResult { Stored, Dropped };

  RingBuffer() = default;
  ~RingBuffer();
  RingBuffer(const RingBuffer&) = delete;
  RingBuffer& operator=(const RingBuffer&) = delete;

  // Allocates room for capacity bytes cut to whole units of `unit` bytes (at
  // least one unit); positions, fill level and status zeroed. False when the
  // memory cannot be had. Not while a writer runs.
  bool init(uint32_t capacity, uint32_t unit = 1, uint32_t tag = 0);
  // As init, with the units filled by lanes (write_lane) that together
  // cover each unit exactly. Readers see everything before the first byte
  // some lane still owes, in steps of `grain` bytes (a sample): a scan
  // whose later columns have not arrived is readable up to them. False also
  // when the lanes do not tile the unit.
  bool init_lanes(uint32_t capacity, uint32_t unit, uint32_t tag, std::vector<RingLane> lanes,
                  uint32_t grain);
  // Frees the storage; afterwards the ring reads as empty. Not while a
  // writer runs.
  void release();

  // Writer: appends a block of any size. Readers see only whole units; the
  // bytes of a unit not yet complete wait until its last byte arrives. A
  // unit that does not fit is dropped whole (with the rest of the block),
  // its bytes still to come in later blocks are skipped, and kStatusOverrun
  // is set: every unit kept is one the device sent, intact and in place.
  WriteResult write(const char* data, uint32_t bytes);
  // Writer of a ring with lanes: appends a block (of any size) to lane's
  // column, unit after unit. When the column reaches bytes not yet read,
  // nothing more is written, kStatusOverrun is set and Dropped returned: a
  // lane running a whole ring ahead of the reader has lost data, and what
  // readers see is still exactly what the lanes sent.
  WriteResult write_lane(uint32_t lane, const char* data, uint32_t bytes);
  // Writer, once its run has reached its count: the samples of a last unit
  // that will never complete (a finite scan whose count is not whole scans)
  // become readable, `grain` bytes at a time. No write follows until init.
  void publish_tail(uint32_t grain);
  // Writer: contiguous free space of at least `wanted` bytes to receive
  // into directly, or null; fill it, then commit().
  char* reserve(uint32_t wanted);
  void commit(uint32_t bytes);

  // Reader: copies up to count elements of elem bytes (a sample, or a whole
  // unit); returns the elements copied. *offset (when given) receives the
  // byte offset of the first element within its unit, which tells a reader
  // the channel it belongs to: one position shared by every reader.
  uint32_t read(char* dst, uint32_t count, uint32_t elem, uint32_t* offset = nullptr);
  uint32_t read(char* dst, uint32_t count, uint32_t elem, RingPlace* place);
  // As read, without the copy: the elements are handed to
  // visit(const char* data, uint32_t elements) where they lie, one call per
  // contiguous piece (two when they wrap round the ring's end; an element
  // cut by the end, after byte reads, comes in a call of its own from a
  // copy), then their space is given back. elem is at most 8 bytes.
  template <class Visit>
  uint32_t read_in_place(uint32_t count, uint32_t elem, RingPlace* place, Visit&& visit);
  // Drops everything waiting, the rest of a unit partly read included, and
  // clears the status; the next element read starts a unit. With lanes it
  // starts at their readable front, which may lie inside a unit (the read's
  // offset tells where).
  void clear();

  uint16_t status() const;
  void add_status(uint16_t bits);
  void remove_status(uint16_t bits);
  uint32_t count() const;  // bytes waiting
  uint32_t capacity() const;
  uint32_t unit() const;
  // Bytes read or cleared since init.
  uint64_t total_read() const;
  uint64_t dropped_units() const;  // units dropped since init

 private:
  void free_storage();
  // A read's two halves, with read_mu_ held: the bytes to take (whole
  // elements) and their position, then giving them back.
  uint32_t begin_read(uint32_t count, uint32_t elem, RingPlace* place, uint32_t* pos);
  void end_read(uint32_t pos, uint32_t bytes);
  // Whole free units from the committed write position, in bytes, less the
  // bytes of the unit being filled. Called with mu_ held.
  uint32_t writable() const;
  // Makes the completed units of the staged bytes visible. Writer only.
  void stage(uint32_t bytes);
  // Makes `whole` staged bytes readable. Called with mu_ held.
  void publish_staged(uint32_t whole);

  mutable std::mutex mu_;  // ADMutex: positions, fill level, status
  std::mutex read_mu_;     // one reader at a time; storage lifetime
  char* data_ = nullptr;
  std::size_t mapped_ = 0;
  uint32_t capacity_ = 0;  // a multiple of unit_
  uint32_t unit_ = 1;
  uint32_t tag_ = 0;
  uint32_t read_pos_ = 0;
  uint32_t write_pos_ = 0;  // always at a unit boundary
  uint32_t count_ = 0;
  uint16_t status_ = 0;
  uint64_t dropped_ = 0;
  // Writer only: bytes of the incomplete unit past write_pos_, and bytes of
  // a dropped unit still to arrive.
  uint32_t staged_ = 0;
  uint32_t skip_ = 0;
  // Bytes made readable since init (under mu_): the read total is this
  // less count_.
  uint64_t committed_ = 0;
  // Lanes: each one's bytes written since init (writer only); grain_ is
  // the step in which their common front becomes readable.
  struct LaneState {
    RingLane lane;
    uint64_t written = 0;
  };
  std::vector<LaneState> lanes_;
  uint32_t grain_ = 1;
};

template <class Visit>
uint32_t RingBuffer::read_in_place(uint32_t count, uint32_t elem, RingPlace* place, Visit&& visit) {
  if (count == 0 || elem == 0 || elem > 8) return 0;
  std::lock_guard<std::mutex> reader(read_mu_);
  uint32_t pos;
  const uint32_t k = begin_read(count, elem, place, &pos);
  if (k == 0) return 0;
  const uint32_t first = std::min(k, capacity_ - pos);
  const uint32_t whole = first / elem;
  if (whole > 0) visit(static_cast<const char*>(data_ + pos), whole);
  uint32_t done = whole * elem;
  if (done < first) {  // an element cut by the ring's end
    char cut[8];
    const uint32_t head = first - done;
    std::memcpy(cut, data_ + pos + done, head);
    std::memcpy(cut + head, data_, elem - head);
    visit(static_cast<const char*>(cut), 1u);
    done += elem;
  }
  if (done < k) visit(static_cast<const char*>(data_ + (done - first)), (k - done) / elem);
  end_read(pos, k);
  return k / elem;
}

}  // namespace korvel
