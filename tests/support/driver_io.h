// Reading from a driver handle in tests.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "ntcan.h"

namespace canbus_test {

// Everything queued on `h` now (up to `capacity` frames), without waiting.
inline std::vector<CMSG> take_all(NTCAN_HANDLE h, size_t capacity = 1024) {
  std::vector<CMSG> out(capacity);
  int32_t n = static_cast<int32_t>(out.size());
  EXPECT_EQ(canTake(h, out.data(), &n), NTCAN_SUCCESS);
  out.resize(static_cast<size_t>(n < 0 ? 0 : n));
  return out;
}

// One frame, waiting for it up to the handle's receive time-out.
inline CMSG read_one(NTCAN_HANDLE h) {
  CMSG got{};
  int32_t n = 1;
  EXPECT_EQ(canRead(h, &got, &n, nullptr), NTCAN_SUCCESS);
  EXPECT_EQ(n, 1);
  return got;
}

}  // namespace canbus_test
