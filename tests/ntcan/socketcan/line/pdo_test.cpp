// Process data on a kernel's virtual CAN interface through the SocketCAN backend: SYNC with its
// counter and a synchronous RPDO as a raw socket (what candump reads) sees them, a TPDO put on
// the interface by that socket decoded by the monitor, and a canbus-simnode process whose TPDO
// the library remaps by SDO, the monitor's values of its frames against candump's record of
// them. The schedule runs on the virtual clock; the frames are real. Skips without vcan0
// (scripts/uml-run).
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ntcan/socketcan/vcan_fixture.h"
#include "support/canbus_fixture.h"
#include "support/nodes.h"
#include "support/vcan_peers.h"

namespace canbus_test {
namespace {

constexpr int kNode = 5;

using socketcan_test::sh;

class SocketCanPdo : public CanbusTest {
 protected:
  void SetUp() override {
    if (::if_nametoindex("vcan0") == 0) GTEST_SKIP() << "no vcan0 here (scripts/uml-run has one)";
    ifname_ = "vcpd" + std::to_string(::getpid() % 100000);
    if (sh("ip link add dev " + ifname_ + " type vcan && ip link set " + ifname_ + " up") != 0) {
      ifname_.clear();
      GTEST_SKIP() << "cannot create a vcan interface here";
    }
    ::setenv("NTCAN_BACKEND", "socketcan", 1);
    ::setenv("NTCAN_SOCKETCAN_IF0", ifname_.c_str(), 1);
    CanbusTest::SetUp();
    raw_ = ::socket(PF_CAN, SOCK_RAW, CAN_RAW);
    ASSERT_GE(raw_, 0);
    sockaddr_can a{};
    a.can_family = AF_CAN;
    a.can_ifindex = static_cast<int>(::if_nametoindex(ifname_.c_str()));
    ASSERT_EQ(::bind(raw_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    timeval tv{1, 0};
    ::setsockopt(raw_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    loc_ = std::make_unique<EqFct>("PDO.VCAN");
    node_ = make_node(*loc_, "NODE", iiii(1, kNode));
    ASSERT_EQ(node_->init(0x580 + kNode), 0);
  }
  void TearDown() override {
    if (ifname_.empty()) return;
    node_.reset();
    loc_.reset();
    sim_.reset();
    if (raw_ >= 0) ::close(raw_);
    CanbusTest::TearDown();
    sh("ip link del dev " + ifname_ + " 2>/dev/null");
  }
  // The next frame on the interface, in the can-utils text form; "" after a second of nothing.
  std::string next_frame() {
    can_frame f{};
    if (::read(raw_, &f, sizeof f) != static_cast<ssize_t>(sizeof f)) return "";
    CMSG m{};
    m.id = static_cast<int32_t>(f.can_id & CAN_SFF_MASK);
    m.len = f.can_dlc;
    std::memcpy(m.data, f.data, 8);
    return frame_text(m);
  }

  std::string ifname_;
  int raw_ = -1;
  std::unique_ptr<EqFct> loc_;
  std::unique_ptr<D_can> node_;
  std::unique_ptr<socketcan_test::Child> sim_;
};

TEST_F(SocketCanPdo, SyncCounterAndSynchronousRpdoAsCandumpSeesThem) {
  canbus::PdoConfig sp;
  sp.kind = canbus::PdoKind::kRpdo;
  sp.transmission_type = 1;
  sp.mapping = {{0x6411, 1, 16, canbus::DataType::kInteger16, ""}};
  canbus::SyncProducer sync(1);
  ASSERT_TRUE(sync.start(10000, 2, false));
  ASSERT_EQ(canbus::send_rpdo(*node_, sp, {canbus::Value::of_int(-2)}, &sync), 0);
  for (int i = 0; i < 3; ++i) {
    clock().advance(10'000'000);
    ASSERT_TRUE(sync.tick());
  }
  std::vector<std::string> seen;
  for (int i = 0; i < 4; ++i) seen.push_back(next_frame());
  EXPECT_EQ(seen, (std::vector<std::string>{"080#01", "205#FEFF", "080#02", "080#01"}));
}

TEST_F(SocketCanPdo, TpdoFromTheInterfaceDecodedByTheMonitor) {
  std::vector<std::string> got;
  canbus::MonitorCallbacks cb;
  cb.on_pdo = [&](D_can&, int pdo, const canbus::PdoValues& v) {
    std::string t = "TPDO" + std::to_string(pdo);
    for (const canbus::Value& x : v.values) t += " " + x.text();
    got.push_back(t);
  };
  canbus::NodeMonitor mon(cb);
  canbus::NodeConfig cfg;
  cfg.mode = canbus::Supervision::kNone;
  ASSERT_EQ(mon.add(node_.get(), cfg), 0);
  canbus::PdoConfig t;
  t.mapping = {{0x6401, 1, 16, canbus::DataType::kInteger16, ""},
               {0x6000, 1, 1, canbus::DataType::kBoolean, ""},
               {0x6000, 2, 7, canbus::DataType::kUnsigned8, ""}};
  ASSERT_EQ(mon.add_tpdo(node_.get(), t), 0);
  can_frame f{};
  f.can_id = 0x185;
  f.can_dlc = 3;
  f.data[0] = 0x9C;
  f.data[1] = 0xFF;
  f.data[2] = 0x0B;
  ASSERT_EQ(::write(raw_, &f, sizeof f), static_cast<ssize_t>(sizeof f));
  EXPECT_TRUE(wait_until([&] {
    mon.poll();
    return !got.empty();
  }));
  EXPECT_EQ(got, std::vector<std::string>{"TPDO1 -100 1 5"});
  mon.remove(node_.get());
}

// A canbus-simnode ADC process: its TPDO1 (four channels every second) remapped by SDO to
// channels 3 and 1 every 20 ms; after the NMT start every frame on the interface is a TPDO, and
// the monitor's values of each equal candump's bytes of it decoded here by hand.
TEST_F(SocketCanPdo, RemappedTpdoOfASimnodeProcessDecodedAsCandumpSawIt) {
#ifndef CANBUS_SIMNODE_PATH
  GTEST_SKIP() << "canbus-simnode is not built";
#else
  if (sh("command -v candump >/dev/null") != 0) GTEST_SKIP() << "can-utils are not installed";
  clock().set_wait_grace(10'000'000'000);  // the node answers from another process
  sim_ = std::make_unique<socketcan_test::Child>(
      std::vector<std::string>{CANBUS_SIMNODE_PATH, "--net", "0", "--node", std::to_string(kNode),
                               "--adc", "--tpdo-ms", "1000", "--backend", "socketcan"});
  std::string boot;
  for (int i = 0; i < 30 && boot != "705#00"; ++i) boot = next_frame();
  ASSERT_EQ(boot, "705#00");

  canbus::PdoConfig t;
  t.event_timer_ms = 20;
  t.mapping = {{0x6401, 3, 16, canbus::DataType::kInteger16, ""},
               {0x6401, 1, 16, canbus::DataType::kInteger16, ""}};
  const canbus::PdoResult r = canbus::configure_pdo(*node_, t);
  ASSERT_TRUE(r.ok()) << r.text;

  std::vector<std::string> got;
  canbus::MonitorCallbacks cb;
  cb.on_pdo = [&](D_can&, int pdo, const canbus::PdoValues& v) {
    std::string text = "TPDO" + std::to_string(pdo);
    for (const canbus::Value& x : v.values) text += " " + x.text();
    got.push_back(text);
  };
  canbus::NodeMonitor mon(cb);
  canbus::NodeConfig cfg;
  cfg.mode = canbus::Supervision::kNone;
  ASSERT_EQ(mon.add(node_.get(), cfg), 0);
  ASSERT_EQ(mon.add_tpdo(node_.get(), t), 0);

  constexpr size_t kFrames = 25;
  socketcan_test::Candump dump(ifname_, 1 + kFrames);
  ASSERT_TRUE(dump.ready());
  ASSERT_EQ(node_->start_node(), 0);
  EXPECT_TRUE(wait_until(
      [&] {
        mon.poll();
        return got.size() >= kFrames;
      },
      30));
  mon.remove(node_.get());
  const std::vector<std::string> frames = dump.frames();
  ASSERT_EQ(frames.size(), 1 + kFrames);
  EXPECT_EQ(frames[0], "000#0105");
  ASSERT_GE(got.size(), kFrames);
  std::set<std::string> distinct;
  for (size_t i = 0; i < kFrames; ++i) {
    const std::string& f = frames[1 + i];
    ASSERT_EQ(f.size(), 12u) << f;  // 185#, four data bytes
    ASSERT_EQ(f.substr(0, 4), "185#") << f;
    const auto le16 = [&](size_t at) {
      return static_cast<int16_t>(std::stoi(f.substr(at + 2, 2) + f.substr(at, 2), nullptr, 16));
    };
    const std::string text = "TPDO1 " + std::to_string(le16(4)) + " " + std::to_string(le16(8));
    EXPECT_EQ(got[i], text) << "frame " << i << ": " << f;
    distinct.insert(text);
  }
  EXPECT_GT(distinct.size(), 1u) << "the inputs move";
#endif
}

}  // namespace
}  // namespace canbus_test
