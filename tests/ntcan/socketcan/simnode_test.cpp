// canbus-simnode as a separate process on a virtual CAN interface, driven by a master that
// uses the driver's calls: boot-up, guarding, NMT, SDO upload of the identity objects, and a
// net that vanishes and comes back.
#include <signal.h>

#include <optional>
#include <variant>

#include "support/frames.h"
#include "vcan_fixture.h"

namespace socketcan_test {
namespace {

constexpr int kNode = 5;
constexpr int32_t kGuardId = 0x700 + kNode;
constexpr int32_t kSdoTx = 0x580 + kNode;
constexpr int32_t kSdoRx = 0x600 + kNode;

class SocketCanSimnodeTest : public SocketCanVcanTest {
 protected:
  void SetUp() override {
#ifndef CANBUS_SIMNODE_PATH
    GTEST_SKIP() << "canbus-simnode is not built";
#else
    SocketCanVcanTest::SetUp();
#endif
  }

  // Starts the node on `net` and returns the master's handle once the boot-up has arrived
  // (the node's identifiers are enabled by then).
  NTCAN_HANDLE start(int net, const std::vector<std::string>& more = {}) {
    NTCAN_HANDLE master = open(net, {kGuardId, kSdoTx}, 100, /*rxtimeout=*/kLongTimeoutMs);
#ifdef CANBUS_SIMNODE_PATH
    std::vector<std::string> args{CANBUS_SIMNODE_PATH,
                                  "--net",
                                  std::to_string(net),
                                  "--node",
                                  std::to_string(kNode),
                                  "--name",
                                  "Simulated pump controller",
                                  "--hw",
                                  "HW 2.1",
                                  "--sw",
                                  "SW 3.4.5"};
    args.insert(args.end(), more.begin(), more.end());
    node_ = std::make_unique<Child>(args);
#endif
    EXPECT_TRUE(node_ && node_->running());
    CMSG boot = read_one(master);
    EXPECT_EQ(boot.id, kGuardId);
    EXPECT_EQ(boot.len, 1);
    EXPECT_EQ(boot.data[0], 0x00) << "boot-up";
    return master;
  }

  // The guarding reply byte (state | toggle bit 0x80), or -1 if no reply came.
  int guard(NTCAN_HANDLE master) {
    EXPECT_EQ(send(master, remote(kGuardId, 1)), NTCAN_SUCCESS);
    CMSG got{};
    int32_t n = 1;
    if (canRead(master, &got, &n, nullptr) != NTCAN_SUCCESS) return -1;
    EXPECT_EQ(got.id, kGuardId);
    EXPECT_EQ(got.len, 1);
    return got.data[0];
  }

  // SDO upload, expedited or segmented: the value, or the abort code.
  std::variant<std::string, uint32_t> upload(NTCAN_HANDLE master, uint16_t index, uint8_t sub) {
    auto exchange = [&](CMSG req) {
      EXPECT_EQ(send(master, req), NTCAN_SUCCESS);
      CMSG r = read_one(master);
      EXPECT_EQ(r.id, kSdoTx);
      EXPECT_EQ(r.len, 8);
      return r;
    };
    auto le32 = [](const CMSG& m) {
      return static_cast<uint32_t>(m.data[4] | m.data[5] << 8 | m.data[6] << 16 | m.data[7] << 24);
    };
    CMSG r = exchange(frame(kSdoRx, {0x40, static_cast<uint8_t>(index & 0xFF),
                                     static_cast<uint8_t>(index >> 8), sub, 0, 0, 0, 0}));
    if (r.data[0] == 0x80) return le32(r);
    EXPECT_EQ(r.data[0] & 0xE0, 0x40);
    if (r.data[0] & 0x02) {  // expedited
      const int n = (r.data[0] & 0x01) ? 4 - ((r.data[0] >> 2) & 3) : 4;
      return std::string(r.data + 4, r.data + 4 + n);
    }
    std::string value;
    for (uint8_t toggle = 0; value.size() < 1000; toggle ^= 0x10) {
      CMSG s = exchange(frame(kSdoRx, {static_cast<uint8_t>(0x60 | toggle), 0, 0, 0, 0, 0, 0, 0}));
      if (s.data[0] == 0x80) return le32(s);
      EXPECT_EQ(s.data[0] & 0x10, toggle);
      value.append(s.data + 1, s.data + 1 + (7 - ((s.data[0] >> 1) & 7)));
      if (s.data[0] & 0x01) break;
    }
    return value;
  }

  std::unique_ptr<Child> node_;
};

TEST_F(SocketCanSimnodeTest, IdentityGuardingAndNmt) {
  NTCAN_HANDLE master = start(0);

  using Value = std::variant<std::string, uint32_t>;
  EXPECT_EQ(upload(master, 0x1008, 0), Value(std::string("Simulated pump controller")));
  EXPECT_EQ(upload(master, 0x1009, 0), Value(std::string("HW 2.1")));
  EXPECT_EQ(upload(master, 0x100A, 0), Value(std::string("SW 3.4.5")));
  EXPECT_EQ(upload(master, 0x2000, 0), Value(uint32_t{0x06020000})) << "no such object";

  EXPECT_EQ(guard(master), 0x7F) << "pre-operational, toggle 0";
  EXPECT_EQ(guard(master), 0xFF) << "toggle 1";
  ASSERT_EQ(send(master, frame(0x000, {0x01, kNode})), NTCAN_SUCCESS);  // start
  EXPECT_EQ(guard(master), 0x05);
  ASSERT_EQ(send(master, frame(0x000, {0x02, 0})), NTCAN_SUCCESS);  // stop all nodes
  EXPECT_EQ(guard(master), 0x84);
  ASSERT_EQ(send(master, frame(0x000, {0x01, kNode + 1})), NTCAN_SUCCESS);  // another node
  EXPECT_EQ(guard(master), 0x04);
  ASSERT_EQ(send(master, frame(0x000, {0x81, kNode})), NTCAN_SUCCESS);  // reset node
  CMSG boot = read_one(master);
  EXPECT_EQ(boot.id, kGuardId);
  EXPECT_EQ(boot.data[0], 0x00) << "boot-up after reset";
  EXPECT_EQ(guard(master), 0x7F) << "pre-operational again, toggle restarted";
}

// --heartbeat: the node beats by itself (state byte without toggle bit), and a start shows.
TEST_F(SocketCanSimnodeTest, HeartbeatProducer) {
  NTCAN_HANDLE master = start(0, {"--heartbeat", "20"});
  for (int i = 0; i < 3; ++i) EXPECT_EQ(canbus_test::frame_text(read_one(master)), "705#7F");
  ASSERT_EQ(send(master, frame(0x000, {0x01, kNode})), NTCAN_SUCCESS);
  std::string beat;  // a beat sent before the start may still come first
  for (int i = 0; i < 3 && beat != "705#05"; ++i) beat = canbus_test::frame_text(read_one(master));
  EXPECT_EQ(beat, "705#05");
}

// --eds: the node serves the file's dictionary (the texts of --name and --hw win over it).
TEST_F(SocketCanSimnodeTest, ServesTheDictionaryOfAnEds) {
  NTCAN_HANDLE master = start(0, {"--eds", std::string(CANBUS_EDS_DIR) + "/vpc200.eds"});
  using Value = std::variant<std::string, uint32_t>;
  EXPECT_EQ(upload(master, 0x1008, 0), Value(std::string("Simulated pump controller")));
  EXPECT_EQ(upload(master, 0x2400, 2), Value(std::string("\x42")));  // Standby speed 66
  EXPECT_EQ(upload(master, 0x1018, 1), Value(std::string("\xBC\x0A\0\0", 4)));
  EXPECT_EQ(upload(master, 0x2400, 9), Value(uint32_t{0x06090011})) << "no such sub-index";
  EXPECT_EQ(upload(master, 0x2000, 0), Value(uint32_t{0x06020000})) << "no such object";
}

// --drive: a drive of the drive profile with its built-in dictionary, started in Switch on
// disabled (the texts of --name win over the dictionary's).
TEST_F(SocketCanSimnodeTest, ServesADrive) {
  NTCAN_HANDLE master =
      start(0, {"--drive", "--drive-quirks", "fault-reset-edge", "--homing-methods", "1,17,35"});
  using Value = std::variant<std::string, uint32_t>;
  EXPECT_EQ(upload(master, 0x1008, 0), Value(std::string("Simulated pump controller")));
  EXPECT_EQ(upload(master, 0x1000, 0), Value(std::string("\x92\x01\x02\x00", 4)));
  EXPECT_EQ(upload(master, 0x6041, 0), Value(std::string("\x40\x02", 2)));
  EXPECT_EQ(upload(master, 0x6502, 0), Value(std::string("\xAD\x03\0\0", 4)));
}

TEST_F(SocketCanSimnodeTest, EndsCleanlyOnSigterm) {
  start(0);
  EXPECT_EQ(node_->terminate(SIGTERM), 0);
}

class SocketCanSimnodeNetTest : public SocketCanSimnodeTest {
 protected:
  void SetUp() override {
    SocketCanSimnodeTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ifname_ = "vcsn" + std::to_string(::getpid() % 100000);
    if (!make_interface()) GTEST_SKIP() << "cannot create a vcan interface here";
    ::setenv("NTCAN_SOCKETCAN_IF7", ifname_.c_str(), 1);
  }
  void TearDown() override {
    node_.reset();
    SocketCanSimnodeTest::TearDown();
    if (!ifname_.empty()) sh("ip link del dev " + ifname_ + " 2>/dev/null");
    ::unsetenv("NTCAN_SOCKETCAN_IF7");
  }
  bool make_interface() {
    return sh("ip link add dev " + ifname_ + " type vcan && ip link set " + ifname_ + " up") == 0;
  }
  std::string ifname_;
};

// The interface is deleted and created anew: the node notices its dead handle and reopens.
TEST_F(SocketCanSimnodeNetTest, NodeComesBackWithTheNet) {
  NTCAN_HANDLE master = start(7);
  EXPECT_EQ(guard(master), 0x7F);
  ASSERT_EQ(sh("ip link del dev " + ifname_), 0);
  ASSERT_TRUE(make_interface());
  NTCAN_HANDLE again = open(7, {kGuardId}, 100, /*rxtimeout=*/100);
  // The node reopens within about two of its one-second checks; until then requests go
  // unanswered.
  int reply = -1;
  ASSERT_TRUE(wait_until([&] { return (reply = guard(again)) >= 0; }, 20));
  EXPECT_EQ(reply & 0x7F, 0x7F) << "the node kept its state";
}

}  // namespace
}  // namespace socketcan_test
