#include "core/handle_table.h"

#include <atomic>

namespace korvel {

void* next_handle() {
  // Starts far from small integers so that a handle mistaken for a count or
  // an index is obviously wrong; 64 bits never wrap within a process.
  static std::atomic<std::uintptr_t> next{0x4B560001};
  return reinterpret_cast<void*>(next.fetch_add(1, std::memory_order_relaxed));
}

}  // namespace korvel
