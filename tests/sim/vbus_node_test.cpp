// The simulated node on the virtual bus, driven as a master would drive it: through the plain
// NTCAN calls of a handle on the node's net.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "canopen_node.h"
#include "support/driver_io.h"
#include "support/frames.h"
#include "vbus.h"

namespace {

using canbus_test::frame_text;
using canbus_test::make_frame;
using canbus_test::Port;
using canbus_test::sdo;
using sim::VbusNode;
using Texts = std::vector<std::string>;

constexpr int kNet = 0;

class SimVbusNode : public ::testing::Test {
 protected:
  void SetUp() override { vbus::reset(); }
  void TearDown() override { vbus::reset(); }
};

TEST_F(SimVbusNode, BootUpMessageOnConstruction) {
  Port port(kNet, {5});
  VbusNode node(kNet, 5);
  EXPECT_EQ(port.take_texts(), Texts{"705#00"});
  node.boot();
  EXPECT_EQ(port.take_texts(), Texts{"705#00"});
  EXPECT_EQ(node.net(), kNet);
  EXPECT_EQ(node.logic().node_id(), 5);
}

TEST_F(SimVbusNode, NmtAndGuardingThroughTheDriver) {
  VbusNode node(kNet, 5);
  Port port(kNet, {5});
  port.send(make_frame(0, {0x01, 5}));
  EXPECT_EQ(node.logic().state(), sim::kOperational);
  port.guard(5);
  port.guard(5);
  EXPECT_EQ(port.take_texts(), (Texts{"705#05", "705#85"}));
  port.send(make_frame(0, {0x02, 0}));
  port.guard(5);
  port.send(make_frame(0, {0x81, 5}));
  port.guard(5);
  EXPECT_EQ(port.take_texts(), (Texts{"705#04", "705#00", "705#7F"}));
}

TEST_F(SimVbusNode, SdoUploadOfIdentityStrings) {
  VbusNode node(kNet, 7, "PUMP-42", "HW2", "v1.2.3-rc1");
  Port port(kNet, {7});
  port.send(sdo(7, 0x40, 0x1009));
  EXPECT_EQ(port.take_texts(), Texts{"587#4709100048573200"});
  port.send(sdo(7, 0x40, 0x100A));
  port.send(sdo(7, 0x60));
  port.send(sdo(7, 0x70));
  EXPECT_EQ(port.take_texts(),
            (Texts{"587#410A10000A000000", "587#0076312E322E332D", "587#1972633100000000"}));
  port.send(sdo(7, 0x40, 0x1008));
  port.send(sdo(7, 0x60));
  EXPECT_EQ(port.take_texts(), (Texts{"587#4108100007000000", "587#0150554D502D3432"}));
}

// Real-bus timing: answers come from another thread, not before the delay plus the frame time
// (55 bit times for one data byte: 440 us at 125 kbit/s), one frame time apart, in order.
TEST_F(SimVbusNode, TimedAnswersComeLaterFromAnotherThread) {
  VbusNode node(kNet, 5);
  Port port(kNet, {5});
  port.take();
  node.set_timing(std::chrono::milliseconds(20), 125000);
  const auto start = std::chrono::steady_clock::now();
  port.guard(5);
  port.guard(5);
  EXPECT_TRUE(port.take().empty());  // nothing answered inline
  CMSG got[2];
  for (CMSG& m : got) {
    int32_t n = 1;
    ASSERT_EQ(canReadTimeout(port.handle(), &m, &n, 10'000'000), NTCAN_SUCCESS);
  }
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(frame_text(got[0]), "705#7F");
  EXPECT_EQ(frame_text(got[1]), "705#FF");
  EXPECT_GE(waited, std::chrono::microseconds(20'000 + 2 * 440));
}

// One wire for the net: two guarding requests (47 bit times each, 376 us at 125 kbit/s) go
// over it one after the other, each node takes its request 20 ms after it has, and the second
// answer waits for the first (55 bit times, 440 us): the last ends at least 20 ms + 376 us +
// 2 x 440 us after the first request went, where nodes with wires of their own would be done
// after 20 ms + 440 us.
TEST_F(SimVbusNode, NodesOnASharedWireAnswerOneAfterTheOther) {
  VbusNode::share_wire(kNet, 125000);
  VbusNode a(kNet, 5);
  VbusNode b(kNet, 6);
  Port port(kNet, {5, 6});
  port.take();
  a.set_timing(std::chrono::milliseconds(20), 125000);
  b.set_timing(std::chrono::milliseconds(20), 125000);
  const auto start = std::chrono::steady_clock::now();
  port.guard(5);
  port.guard(6);
  CMSG got[2];
  for (CMSG& m : got) {
    int32_t n = 1;
    ASSERT_EQ(canReadTimeout(port.handle(), &m, &n, 10'000'000), NTCAN_SUCCESS);
  }
  const auto waited = std::chrono::steady_clock::now() - start;
  VbusNode::share_wire(kNet, 0);
  EXPECT_EQ(frame_text(got[0]), "705#7F");
  EXPECT_EQ(frame_text(got[1]), "706#7F");
  EXPECT_GE(waited, std::chrono::microseconds(20'000 + 376 + 2 * 440));
}

TEST_F(SimVbusNode, NodesAnswerOnlyForTheirOwnIdAndNet) {
  VbusNode a(kNet, 5);
  VbusNode b(kNet, 6);
  VbusNode c(1, 5);
  Port port(kNet, {5, 6});
  Port other(1, {5});
  port.guard(6);
  port.send(sdo(5, 0x40, 0x1009));
  EXPECT_EQ(port.take_texts(), (Texts{"706#7F", "585#43091000312E3030"}));
  EXPECT_EQ(other.take_texts(), Texts{});
  EXPECT_EQ(c.logic().guarding_requests() + c.logic().sdo_requests(), 0);
  port.send(make_frame(0, {0x01, 0}));  // all nodes of net 0 only
  EXPECT_EQ(a.logic().state(), sim::kOperational);
  EXPECT_EQ(b.logic().state(), sim::kOperational);
  EXPECT_EQ(c.logic().state(), sim::kPreOperational);
}

TEST_F(SimVbusNode, HeldAnswersComeInOrderOnRelease) {
  VbusNode node(kNet, 5);
  Port port(kNet, {5});
  node.hold_answers(true);
  port.guard(5);
  port.send(sdo(5, 0x40, 0x1009));
  port.guard(5);
  EXPECT_EQ(port.take_texts(), Texts{});
  EXPECT_EQ(node.held_answers(), 3u);
  node.release_answers();
  EXPECT_EQ(port.take_texts(), (Texts{"705#7F", "585#43091000312E3030", "705#FF"}));
  port.guard(5);  // still holding
  EXPECT_EQ(port.take_texts(), Texts{});
  node.hold_answers(false);  // sends what was held
  EXPECT_EQ(port.take_texts(), Texts{"705#7F"});
  port.guard(5);
  EXPECT_EQ(port.take_texts(), Texts{"705#FF"});
  EXPECT_EQ(node.held_answers(), 0u);
}

TEST_F(SimVbusNode, EmcyAndHeartbeat) {
  VbusNode node(kNet, 5);
  Port port(kNet, {5});
  node.send_emcy(0x8110, 0x11, {1, 2, 3, 4, 5});
  node.send_heartbeat();
  EXPECT_EQ(port.take_texts(), (Texts{"085#1081110102030405", "705#7F"}));
  port.send(make_frame(0, {0x02, 5}));
  node.send_emcy(0x8110, 0x11);  // no EMCY from a stopped node
  node.send_heartbeat();
  EXPECT_EQ(port.take_texts(), Texts{"705#04"});
}

TEST_F(SimVbusNode, SilentNodeSendsNothing) {
  VbusNode node(kNet, 5);
  Port port(kNet, {5});
  node.logic().set_silent(true);
  port.guard(5);
  port.send(sdo(5, 0x40, 0x1009));
  node.boot();
  node.send_emcy(0x1000, 1);
  node.send_heartbeat();
  EXPECT_EQ(port.take_texts(), Texts{});
  EXPECT_EQ(node.logic().sdo_requests(), 1);
}

TEST_F(SimVbusNode, DestroyedNodeNoLongerAnswers) {
  Port port(kNet, {5});
  auto node = std::make_unique<VbusNode>(kNet, 5);
  port.take();
  node.reset();
  port.guard(5);
  EXPECT_EQ(port.take_texts(), Texts{});
}

TEST_F(SimVbusNode, ConcurrentMastersEachGetEveryAnswer) {
  VbusNode node(kNet, 5);
  constexpr int kThreads = 4;
  constexpr int kEach = 200;
  Port watcher(kNet, {5}, 2 * kThreads * kEach);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([] {
      Port port(kNet, {});
      for (int i = 0; i < kEach; ++i) port.guard(5);
    });
  }
  for (auto& th : threads) th.join();
  int toggled = 0;
  int plain = 0;
  int requests = 0;  // the other masters' remote frames reach the watcher as well
  for (const CMSG& m : watcher.take()) {
    ASSERT_EQ(m.id, 0x705);
    if (m.len == NTCAN_RTR) {
      ++requests;
      continue;
    }
    ASSERT_EQ(m.len, 1);
    (m.data[0] == 0xFF ? toggled : plain)++;
  }
  EXPECT_EQ(requests, kThreads * kEach);
  EXPECT_EQ(toggled, kThreads * kEach / 2);
  EXPECT_EQ(plain, kThreads * kEach / 2);
  EXPECT_EQ(node.logic().guarding_requests(), kThreads * kEach);
}

}  // namespace

namespace {

// The producer thread on the real clock: beats every 10 ms until it is stopped.
TEST_F(SimVbusNode, HeartbeatProducerThread) {
  VbusNode node(kNet, 5);
  node.logic().set_object(0x1017, 0, std::string("\x0A\x00", 2));
  NTCAN_HANDLE h = NTCAN_NO_HANDLE;
  ASSERT_EQ(canOpen(kNet, 0, 10, 100, 100, 5000, &h), NTCAN_SUCCESS);
  ASSERT_EQ(canIdAdd(h, 0x705), NTCAN_SUCCESS);
  node.start_heartbeat();
  for (int i = 0; i < 3; ++i) {
    CMSG m{};
    int32_t n = 1;
    ASSERT_EQ(canRead(h, &m, &n, nullptr), NTCAN_SUCCESS);
    EXPECT_EQ(frame_text(m), "705#7F");
  }
  node.stop_heartbeat();  // joins; the destructor would as well
  canClose(h);
}

// A supply on the bus with real-bus timing: its set-point by RPDO from a handle, its actual
// current in TPDOs from the producer thread until it reaches the set-point.
TEST_F(SimVbusNode, SupplyFollowsItsRpdoSetPointInTpdos) {
  VbusNode node(kNet, 5);
  sim::make_supply(node.logic(), 10000, 1000, 10);
  node.set_timing(std::chrono::microseconds(100), 1000000);
  Port port(kNet, {5});
  ASSERT_EQ(canIdAdd(port.handle(), 0x185), NTCAN_SUCCESS);
  port.send(make_frame(0, {0x01, 5}));
  port.send(make_frame(0x205, {0xC8, 0x00, 0x00, 0x00}));  // 200
  node.start_heartbeat();
  std::string last;
  for (int i = 0; i < 1000 && last != "185#C8000000"; ++i) {
    CMSG m{};
    int32_t n = 1;
    ASSERT_EQ(canReadTimeout(port.handle(), &m, &n, 10'000'000), NTCAN_SUCCESS);
    if (m.id == 0x185) last = frame_text(m);
  }
  EXPECT_EQ(last, "185#C8000000");
  EXPECT_EQ(node.logic().rpdos_written(), 1);
  node.stop_heartbeat();
}

}  // namespace
