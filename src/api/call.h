// The pattern every exported device function shares, written once: find the
// device behind the handle (keeping it alive for the call), clear the
// outputs named for an unknown handle, set 0x1300A, and keep exceptions
// inside the library.
#pragma once

#include <memory>
#include <new>

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
