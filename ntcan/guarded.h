// The driver's C calls never let an exception out: what a call throws becomes a result code.
// Private to the driver.
#pragma once

#include <new>

#include "ntcan.h"

namespace ntcan {

template <typename F>
NTCAN_RESULT guarded(F&& f) noexcept {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    return NTCAN_INSUFFICIENT_RESOURCES;
  } catch (...) {
    return NTCAN_INVALID_DRIVER;
  }
}

}  // namespace ntcan
