// The node monitor's thread woken by frames arriving on a kernel's virtual CAN interface through
// the SocketCAN backend: frames a peer handle sends reach on_frames, every one once and in
// order, although the periodic poll comes only once an hour. Skips without vcan0
// (scripts/uml-run).
#include <net/if.h>
#include <sys/wait.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "support/canbus_fixture.h"
#include "support/nodes.h"

namespace {

using canbus_test::iiii;
using canbus_test::make_frame;

constexpr int kLine = 3;
constexpr int kNet = kLine - 1;
constexpr int kNode = 7;

int sh(const std::string& command) {
  const int status = std::system(command.c_str());
  return (status != -1 && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
}

class SocketCanMonitor : public canbus_test::CanbusTest {
 protected:
  void SetUp() override {
    if (::if_nametoindex("vcan0") == 0) GTEST_SKIP() << "no vcan0 here (scripts/uml-run has one)";
    ::setenv("NTCAN_BACKEND", "socketcan", 1);
    ifname_ = "vcmw" + std::to_string(::getpid() % 100000);
    if (sh("ip link add dev " + ifname_ + " type vcan && ip link set " + ifname_ + " up") != 0) {
      ifname_.clear();
      GTEST_SKIP() << "cannot create a vcan interface here";
    }
    ::setenv(("NTCAN_SOCKETCAN_IF" + std::to_string(kNet)).c_str(), ifname_.c_str(), 1);
    CanbusTest::SetUp();
  }
  void TearDown() override {
    if (ifname_.empty()) return;
    CanbusTest::TearDown();
    sh("ip link del dev " + ifname_ + " 2>/dev/null");
  }
  std::string ifname_;
};

TEST_F(SocketCanMonitor, ArrivalsOnTheInterfaceWakeTheThread) {
  EqFct loc("MONITOR.VCAN");
  auto node = canbus_test::make_node(loc, "NODE", iiii(kLine, kNode));
  ASSERT_EQ(node->init(0x180 + kNode), 0);
  std::mutex mx;
  std::condition_variable cv;
  std::vector<int> seen;
  std::vector<double> latency_ms;
  std::chrono::steady_clock::time_point sent_at;
  canbus::MonitorCallbacks cb;
  cb.on_frames = [&](D_can&, CMSG* frames, int count) {
    std::lock_guard<std::mutex> lk(mx);
    for (int i = 0; i < count; ++i) {
      if (frames[i].id != 0x180 + kNode) continue;
      seen.push_back(frames[i].data[0] | frames[i].data[1] << 8);
    }
    latency_ms.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sent_at)
            .count());
    cv.notify_all();
  };
  canbus::NodeMonitor mon(cb);
  canbus::NodeConfig cfg;
  cfg.mode = canbus::Supervision::kNone;
  ASSERT_EQ(mon.add(node.get(), cfg), 0);
  ASSERT_TRUE(mon.start(3'600'000, 200));

  NTCAN_HANDLE peer = NTCAN_NO_HANDLE;
  ASSERT_EQ(canOpen(kNet, 0, 100, 100, 1000, 1000, &peer), NTCAN_SUCCESS);
  int sent = 0;
  auto send = [&](int n) {
    {
      std::lock_guard<std::mutex> lk(mx);
      sent_at = std::chrono::steady_clock::now();
    }
    for (int i = 0; i < n; ++i, ++sent) {
      CMSG m = make_frame(0x180 + kNode,
                          {static_cast<uint8_t>(sent & 0xFF), static_cast<uint8_t>(sent >> 8)});
      int32_t one = 1;
      ASSERT_EQ(canSend(peer, &m, &one), NTCAN_SUCCESS);
    }
  };
  auto wait_for = [&](size_t n) {
    std::unique_lock<std::mutex> lk(mx);
    return cv.wait_for(lk, std::chrono::seconds(20), [&] { return seen.size() >= n; });
  };
  for (int k = 0; k < 5; ++k) {
    send(1);
    ASSERT_TRUE(wait_for(static_cast<size_t>(sent)));
  }
  send(60);  // the node's queue holds 100
  ASSERT_TRUE(wait_for(static_cast<size_t>(sent)));
  EXPECT_TRUE(mon.stop());
  canClose(peer);
  std::vector<int> expected(static_cast<size_t>(sent));
  for (int i = 0; i < sent; ++i) expected[static_cast<size_t>(i)] = i;
  EXPECT_EQ(seen, expected);
  std::lock_guard<std::mutex> lk(mx);
  for (size_t i = 0; i < latency_ms.size() && i < 5; ++i) {
    std::printf("arrival to on_frames: %.3f ms\n", latency_ms[i]);
  }
  mon.remove(node.get());
}

}  // namespace
