// SDO block transfer over SocketCAN: the library's client reads and writes a 4 KiB object of a
// canbus-simnode process on a vcan interface of its own, the node answering at the kernel's
// pace. Skips without vcan0 (scripts/uml-run) or without canbus-simnode.
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "ntcan/socketcan/vcan_fixture.h"
#include "support/canbus_fixture.h"
#include "support/nodes.h"

namespace {

constexpr int kLine = 3;
constexpr int kNet = kLine - 1;
constexpr int kNode = 5;

class SocketCanBlock : public canbus_test::CanbusTest {
 protected:
  void SetUp() override {
#ifndef CANBUS_SIMNODE_PATH
    GTEST_SKIP() << "canbus-simnode is not built";
#endif
    if (!socketcan_test::have_interface("vcan0")) {
      GTEST_SKIP() << "no vcan0 here (scripts/uml-run has one)";
    }
    ::setenv("NTCAN_BACKEND", "socketcan", 1);
    ifname_ = "vcsb" + std::to_string(::getpid() % 100000);
    if (socketcan_test::sh("ip link add dev " + ifname_ + " type vcan && ip link set " + ifname_ +
                           " up") != 0) {
      ifname_.clear();
      GTEST_SKIP() << "cannot create a vcan interface here";
    }
    ::setenv(("NTCAN_SOCKETCAN_IF" + std::to_string(kNet)).c_str(), ifname_.c_str(), 1);
    CanbusTest::SetUp();
    // The node's answers come from another process in real time.
    clock().set_wait_grace(10'000'000'000);
  }
  void TearDown() override {
    if (ifname_.empty()) return;
    CanbusTest::TearDown();
    socketcan_test::sh("ip link del dev " + ifname_ + " 2>/dev/null");
  }

  // Starts canbus-simnode with a 4,096-byte object 0x2200/0 and waits for its boot-up.
  void start_node() {
    NTCAN_HANDLE h = NTCAN_NO_HANDLE;
    ASSERT_EQ(canOpen(kNet, 0, 10, 10, 1000, socketcan_test::kLongTimeoutMs, &h), NTCAN_SUCCESS);
    ASSERT_EQ(canIdAdd(h, 0x700 + kNode), NTCAN_SUCCESS);
#ifdef CANBUS_SIMNODE_PATH
    node_ = std::make_unique<socketcan_test::Child>(std::vector<std::string>{
        CANBUS_SIMNODE_PATH, "--net", std::to_string(kNet), "--node", std::to_string(kNode),
        "--object", "0x2200:0=4096", "--backend", "socketcan"});
#endif
    CMSG boot{};
    int32_t n = 1;
    EXPECT_EQ(canRead(h, &boot, &n, nullptr), NTCAN_SUCCESS);
    EXPECT_EQ(canbus_test::frame_text(boot), "705#00");
    canClose(h);
  }

  std::string ifname_;
  std::unique_ptr<socketcan_test::Child> node_;
};

TEST_F(SocketCanBlock, FourKibibytesEachWayFromACanbusSimnodeProcess) {
  start_node();
  EqFct loc("SOCKETCAN.BLOCK");
  auto can = canbus_test::make_node(loc, "NODE", canbus_test::iiii(kLine, kNode));
  ASSERT_EQ(can->init(0x580 + kNode), 0);
  std::vector<uint8_t> pattern(4096);
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i % 251);

  std::vector<uint8_t> v;
  ASSERT_EQ(can->sdo_read(0x2200, 0, v, SdoMode::kBlock), 0);
  EXPECT_EQ(v, pattern);
  std::reverse(pattern.begin(), pattern.end());
  ASSERT_EQ(can->sdo_write(0x2200, 0, pattern, SdoMode::kBlock), 0);
  ASSERT_EQ(can->sdo_read(0x2200, 0, v), 0);
  EXPECT_EQ(v, pattern);
}

}  // namespace
