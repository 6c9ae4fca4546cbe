// Opaque handles for objects handed to applications (devices, open log
// files). A handle is a number drawn once per process and never reused, so a
// stale handle of a released object never reaches an object created later,
// even when the allocator hands out the same address again.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <utility>
#include <vector>

namespace korvel {

// The next handle value: unique in the process, never 0.
void* next_handle();

template <class T>
class HandleTable {
 public:
  // Registers obj under a new handle; the handle.
  void* add(std::shared_ptr<T> obj) {
    std::unique_lock lock(mu_);
    void* h = next_handle();
    entries_.emplace_back(h, std::move(obj));
    return h;
  }
  // As add, unless an entry satisfies clash (checked under the same lock):
  // then null. named(obj, handle) runs before the object becomes findable.
  template <class Clash, class Named>
  void* add_unless(std::shared_ptr<T> obj, Clash&& clash, Named&& named) {
    std::unique_lock lock(mu_);
    for (const auto& e : entries_)
      if (clash(*e.second)) return nullptr;
    void* h = next_handle();
    named(*obj, h);
    entries_.emplace_back(h, std::move(obj));
    return h;
  }
  std::shared_ptr<T> find(const void* handle) const {
    if (handle == nullptr) return nullptr;
    std::shared_lock lock(mu_);
    for (const auto& e : entries_)
      if (e.first == handle) return e.second;
    return nullptr;
  }
  // Unregisters the handle; the object it named (null when unknown), which
  // the caller destroys outside the table's lock.
  std::shared_ptr<T> remove(const void* handle) {
    std::unique_lock lock(mu_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (it->first == handle) {
        std::shared_ptr<T> obj = std::move(it->second);
        entries_.erase(it);
        return obj;
      }
    }
    return nullptr;
  }
  // Every registered handle, for closing them all.
  std::vector<void*> handles() const {
    std::shared_lock lock(mu_);
    std::vector<void*> out;
    out.reserve(entries_.size());
    for (const auto& e : entries_) out.push_back(e.first);
    return out;
  }
  template <class Pred>
  bool any(Pred&& pred) const {
    std::shared_lock lock(mu_);
    for (const auto& e : entries_)
      if (pred(*e.second)) return true;
    return false;
  }
  int count() const {
    std::shared_lock lock(mu_);
    return static_cast<int>(entries_.size());
  }

 private:
  // Look-ups (every API call) share the lock, so that threads serving
  // different devices never wait for each other; only registration and
  // release take it alone.
  mutable std::shared_mutex mu_;
  std::vector<std::pair<void*, std::shared_ptr<T>>> entries_;
};

}  // namespace korvel
