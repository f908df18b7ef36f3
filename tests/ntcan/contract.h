// Harness of the driver's contract tests: what every backend must do, written once and run
// against the backend NTCAN_BACKEND selects.
//
// A "peer" puts frames on a net from outside the handle under test:
//  - "vbus":   vbus::inject, as a device would (virtual backend only);
//  - "handle": a handle of its own on that net, through canSend (any backend).
// The tests use nets kNetA and kNetB, which a backend under test must map to two separate
// buses (the virtual bus: nets 0 and 1; SocketCAN: two vcan interfaces).
//
// Delivery may be asynchronous on a real bus, so a test never assumes that a frame has arrived
// when canSend returns: it waits with canRead, or it calls settle(), which sends a sentinel
// frame (identifier kSentinel, which no tested handle enables) after the frames of interest
// and waits until a witness handle of the net has received it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "backend.h"
#include "ntcan.h"
#include "support/driver_io.h"
#include "support/frames.h"
#include "vbus.h"

namespace ntcan_test {

constexpr int kNetA = 0;
constexpr int kNetB = 1;
constexpr int32_t kSentinel = 0x7FF;
constexpr int32_t kLongTimeoutMs = 10000;  // a wait that only a fault lets run out

inline bool virtual_backend() {
  return ntcan::active_backend_name() == "virtual";
}

inline CMSG frame(int32_t id, std::initializer_list<uint8_t> data) {
  return canbus_test::make_frame(id, data);
}
inline CMSG remote(int32_t id, uint8_t dlc) {
  return canbus_test::make_remote(id, dlc);
}

inline bool same_frame(const CMSG& a, const CMSG& b) {
  return a.id == b.id && a.len == b.len && std::equal(a.data, a.data + 8, b.data);
}

class Peer {
 public:
  virtual ~Peer() = default;
  virtual void send(int net, const CMSG& f) = 0;
};

class VbusPeer final : public Peer {
 public:
  void send(int net, const CMSG& f) override { vbus::inject(net, f); }
};

class HandlePeer final : public Peer {
 public:
  ~HandlePeer() override {
    for (auto& [net, h] : handles_) canClose(h);
  }
  void send(int net, const CMSG& f) override {
    auto it = handles_.find(net);
    if (it == handles_.end()) {
      NTCAN_HANDLE h = NTCAN_NO_HANDLE;
      ASSERT_EQ(canOpen(net, 0, 10, 10, 1000, 1000, &h), NTCAN_SUCCESS);
      it = handles_.emplace(net, h).first;
    }
    CMSG copy = f;
    int32_t n = 1;
    ASSERT_EQ(canSend(it->second, &copy, &n), NTCAN_SUCCESS);
    ASSERT_EQ(n, 1);
  }

 private:
  std::map<int, NTCAN_HANDLE> handles_;
};

// Read from the environment rather than from the driver, so that listing the tests does not
// choose the process's backend (a death test's child chooses its own).
inline std::vector<std::string> peer_kinds() {
  const char* env = std::getenv("NTCAN_BACKEND");
  if (!env || !*env || std::string(env) == "virtual") return {"vbus", "handle"};
  return {"handle"};
}

class ContractTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    ASSERT_NE(ntcan::active_backend(), nullptr) << "no backend " << ntcan::active_backend_name();
    if (virtual_backend()) vbus::reset();
    if (GetParam() == "vbus") {
      peer_ = std::make_unique<VbusPeer>();
    } else {
      peer_ = std::make_unique<HandlePeer>();
    }
  }

  void TearDown() override {
    for (NTCAN_HANDLE h : opened_) canClose(h);
    for (auto& [net, h] : witnesses_) canClose(h);
    peer_.reset();
    if (virtual_backend()) {
      EXPECT_EQ(vbus::open_handles(), 0);
    }
  }

  // A handle the fixture closes at the end (closing it earlier is fine: a second close fails
  // harmlessly).
  NTCAN_HANDLE open(int net, int32_t rxqueue = 100, int32_t rxtimeout = kLongTimeoutMs) {
    NTCAN_HANDLE h = NTCAN_NO_HANDLE;
    EXPECT_EQ(canOpen(net, 0, 10, rxqueue, 1000, rxtimeout, &h), NTCAN_SUCCESS);
    EXPECT_GT(h, 0);
    opened_.push_back(h);
    return h;
  }

  NTCAN_HANDLE open_with(int net, std::initializer_list<int32_t> ids, int32_t rxqueue = 100,
                         int32_t rxtimeout = kLongTimeoutMs) {
    NTCAN_HANDLE h = open(net, rxqueue, rxtimeout);
    for (int32_t id : ids) EXPECT_EQ(canIdAdd(h, id), NTCAN_SUCCESS) << id;
    return h;
  }

  void peer_send(int net, const CMSG& f) { peer_->send(net, f); }

  // Returns once every frame put on `net` so far (by the peer, or by canSend through `via`)
  // has reached every handle of the net.
  void settle(int net, NTCAN_HANDLE via = NTCAN_NO_HANDLE) {
    auto it = witnesses_.find(net);
    if (it == witnesses_.end()) {
      NTCAN_HANDLE w = NTCAN_NO_HANDLE;
      ASSERT_EQ(canOpen(net, 0, 10, 1000, 1000, kLongTimeoutMs, &w), NTCAN_SUCCESS);
      ASSERT_EQ(canIdAdd(w, kSentinel), NTCAN_SUCCESS);
      it = witnesses_.emplace(net, w).first;
    }
    CMSG s = frame(kSentinel, {});
    if (via > 0) {
      int32_t n = 1;
      ASSERT_EQ(canSend(via, &s, &n), NTCAN_SUCCESS);
    } else {
      peer_send(net, s);
    }
    CMSG got{};
    int32_t n = 1;
    ASSERT_EQ(canRead(it->second, &got, &n, nullptr), NTCAN_SUCCESS);
    ASSERT_EQ(got.id, kSentinel);
  }

  static std::vector<CMSG> take_all(NTCAN_HANDLE h) { return canbus_test::take_all(h); }
  static CMSG read_one(NTCAN_HANDLE h) { return canbus_test::read_one(h); }

  std::unique_ptr<Peer> peer_;
  std::vector<NTCAN_HANDLE> opened_;
  std::map<int, NTCAN_HANDLE> witnesses_;
};

}  // namespace ntcan_test
