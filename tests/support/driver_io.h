// Reading from a driver handle in tests, and a master's handle that sends and takes frames.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ntcan.h"
#include "support/frames.h"

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

// A master's handle on a net, receiving the answers of the given nodes.
class Port {
 public:
  Port(int net, std::vector<int> nodes, int32_t rx_queue = 1000) {
    EXPECT_EQ(canOpen(net, 0, 100, rx_queue, 100, 0, &h_), NTCAN_SUCCESS);
    for (int node : nodes) {
      for (int base : {0x580, 0x700, 0x80}) EXPECT_EQ(canIdAdd(h_, base + node), NTCAN_SUCCESS);
    }
  }
  ~Port() { canClose(h_); }
  NTCAN_HANDLE handle() const { return h_; }

  void send(CMSG m) {
    int32_t n = 1;
    ASSERT_EQ(canSend(h_, &m, &n), NTCAN_SUCCESS);
    ASSERT_EQ(n, 1);
  }
  void guard(int node) {
    CMSG m{};
    m.id = 0x700 + node;
    m.len = NTCAN_RTR;
    send(m);
  }
  // Everything received so far, in order.
  std::vector<CMSG> take() {
    std::vector<CMSG> all;
    for (;;) {
      CMSG buf[64];
      int32_t n = 64;
      EXPECT_EQ(canTake(h_, buf, &n), NTCAN_SUCCESS);
      if (n <= 0) return all;
      all.insert(all.end(), buf, buf + n);
    }
  }
  std::vector<std::string> take_texts() {
    std::vector<std::string> t;
    for (const CMSG& m : take()) t.push_back(frame_text(m));
    return t;
  }

 private:
  NTCAN_HANDLE h_ = NTCAN_NO_HANDLE;
};

inline CMSG sdo(int node, uint8_t b0, uint16_t index = 0, uint8_t sub = 0) {
  return make_frame(0x600 + node, {b0, static_cast<uint8_t>(index & 0xFF),
                                   static_cast<uint8_t>(index >> 8), sub, 0, 0, 0, 0});
}

}  // namespace canbus_test
