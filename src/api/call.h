// The pattern every exported device function shares, written once: find the
// device behind the handle (keeping it alive for the call), clear the
// outputs named for an unknown handle, set 0x1300A, and keep exceptions
// inside the library.
#pragma once

#include <memory>
#include <mutex>
#include <new>
#include <utility>

#include "core/errors.h"
#include "core/registry.h"
#include "korvel/korvel.h"

namespace korvel::api {

struct NoOutputs {
  void operator()() const {}
};

template <class Op, class OnInvalid = NoOutputs>
int with_device(KV_HANDLE handle, Op&& op, OnInvalid&& on_invalid = {}) noexcept {
  try {
    const std::shared_ptr<MODEL> device = KVList().find(handle);
    if (!device) {
      on_invalid();
      set_last_error(KV_ERR_INVALID_HANDLE);
      return 0;
    }
    return op(*device);
  } catch (const std::bad_alloc&) {
    set_last_error(KV_ERR_OUT_OF_MEMORY);
  } catch (...) {
    set_last_error(1);  // "Unknow Error!"
  }
  return 0;
}

// For the functions that report 1 for any registered device, whatever the
// operation returned (its last error still stands).
template <class Op, class OnInvalid = NoOutputs>
int with_device_ok(KV_HANDLE handle, Op&& op, OnInvalid&& on_invalid = {}) noexcept {
  return with_device(
      handle,
      [&](MODEL& d) {
        op(d);
        return 1;
      },
      on_invalid);
}

// Lifecycle calls: start, stop, reconfigure. They run one at a time per
// device under its lifecycle lock, and not at all after its release. On
// the device's own worker thread (an event callback) the lock cannot be
// taken (the release holding it may be joining that very thread): the call
// is refused with `on_worker`, or, when that is 0, runs without the lock
// (getters only: a run exists then, so nothing changes what they read).
template <class Op, class OnInvalid = NoOutputs>
int with_lifecycle(KV_HANDLE handle, unsigned int on_worker, Op&& op,
                   OnInvalid&& on_invalid = {}) noexcept {
  return with_device(
      handle,
      [&](MODEL& d) {
        if (d.on_worker_thread()) {
          if (on_worker == 0) return op(d);
          on_invalid();
          set_last_error(on_worker);
          return 0;
        }
        std::lock_guard<std::mutex> lock(d.lifecycle_mutex);
        if (d.released) {
          on_invalid();
          set_last_error(KV_ERR_INVALID_HANDLE);
          return 0;
        }
        return op(d);
      },
      on_invalid);
}

// Setters of the scan, trigger, sync-in and configuration: refused with
// 0x18011 while a run exists, so a worker never reads half-changed settings.
template <class Op>
int with_idle_device(KV_HANDLE handle, Op&& op) noexcept {
  return with_lifecycle(handle, KV_ERR_BUSY_SAMPLING, [&](MODEL& d) {
    if (d.run_active()) {
      set_last_error(KV_ERR_BUSY_SAMPLING);
      return 0;
    }
    return op(d);
  });
}

// Getters of the same settings: serialised with the setters; while a run
// exists the driver answers from what it stored instead of asking the device.
template <class Op, class OnInvalid = NoOutputs>
int with_settings(KV_HANDLE handle, Op&& op, OnInvalid&& on_invalid = {}) noexcept {
  return with_lifecycle(handle, 0, std::forward<Op>(op), std::forward<OnInvalid>(on_invalid));
}

// Runs f (which returns a value of type R) with exceptions kept inside.
template <class R, class F>
R guarded(R on_exception, F&& f) noexcept {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    set_last_error(KV_ERR_OUT_OF_MEMORY);
  } catch (...) {
    set_last_error(1);
  }
  return on_exception;
}

template <class T>
void zero(T* p) {
  if (p) *p = T{};
}

template <class T>
void zero_n(T* p, int n) {
  if (p)
    for (int i = 0; i < n; ++i) p[i] = T{};
}

// The wide-character and bulk entry points the library does not provide.
inline int not_supported() {
  set_last_error(KV_ERR_NOT_SUPPORTED);
  return 0;
}

// Fails with 0x1300C when an output the call must write is missing.
inline bool present(const void* p) {
  if (p) return true;
  set_last_error(KV_ERR_INVALID_ARGUMENT);
  return false;
}

}  // namespace korvel::api
