// The SocketCAN backend on a kernel's virtual CAN interfaces, with can-utils as the peer.
#include <thread>

#include "vcan_fixture.h"

namespace socketcan_test {
namespace {

// ---- frames of another process -------------------------------------------------------------

TEST_F(SocketCanVcanTest, CansendFramesArriveOnlyForEnabledIdentifiers) {
  NTCAN_HANDLE h = open(0, {0x000, 0x185, 0x705});
  struct Case {
    const char* text;  // cansend's form
    bool arrives;
    CMSG want;
  };
  const Case cases[] = {
      {"185#0102", true, frame(0x185, {1, 2})},
      {"186#03", false, {}},
      {"705#R", true, remote(0x705, 0)},
      {"705#R3", true, remote(0x705, 3)},
      {"000#0105", true, frame(0x000, {1, 5})},
      {"00000185#01", false, {}},  // 29-bit identifier 0x185
      {"184#", false, {}},
      {"185#1122334455667788", true,
       frame(0x185, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88})},
  };
  for (const Case& c : cases) ASSERT_EQ(sh(std::string("cansend vcan0 ") + c.text), 0) << c.text;
  settle_external(0, "vcan0");

  // The first through canRead, the rest through canTake.
  std::vector<CMSG> got{read_one(h)};
  for (const CMSG& m : take_all(h)) got.push_back(m);
  size_t i = 0;
  for (const Case& c : cases) {
    if (!c.arrives) continue;
    ASSERT_LT(i, got.size()) << c.text;
    EXPECT_EQ(got[i].id, c.want.id) << c.text;
    EXPECT_EQ(got[i].len, c.want.len) << c.text;
    EXPECT_EQ(std::vector<uint8_t>(got[i].data, got[i].data + 8),
              std::vector<uint8_t>(c.want.data, c.want.data + 8))
        << c.text;
    EXPECT_EQ(got[i].msg_lost, 0) << c.text;
    ++i;
  }
  EXPECT_EQ(got.size(), i) << "frames of identifiers not enabled arrived";
}

TEST_F(SocketCanVcanTest, ReadWaitsForAFrameOfAnotherProcess) {
  NTCAN_HANDLE h = open(0, {0x123});
  CMSG got{};
  int32_t n = 1;
  NTCAN_RESULT r = -1;
  std::thread reader([&] { r = canRead(h, &got, &n, nullptr); });
  ASSERT_EQ(sh("cansend vcan0 123#2A"), 0);
  reader.join();
  EXPECT_EQ(r, NTCAN_SUCCESS);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(got.data[0], 0x2A);
}

TEST_F(SocketCanVcanTest, CanSendFramesAppearInCandumpExactly) {
  NTCAN_HANDLE h = open(0);
  CMSG short_frame = frame(0x310, {1, 2, 3, 4, 5, 6, 7, 8});
  short_frame.len = 2;  // bytes past the length do not go on the bus
  const std::pair<CMSG, const char*> cases[] = {
      {frame(0x123, {0xDE, 0xAD, 0xBE, 0xEF}), "123#DEADBEEF"},
      {frame(0x7FE, {}), "7FE#"},
      {frame(0x000, {1, 2, 3, 4, 5, 6, 7, 8}), "000#0102030405060708"},
      {remote(0x705, 0), "705#R"},
      {remote(0x605, 8), "605#R8"},
      {short_frame, "310#0102"},
  };
  Candump dump("vcan0", static_cast<int>(std::size(cases)));
  ASSERT_TRUE(dump.ready()) << "candump did not start";
  for (const auto& [f, text] : cases) EXPECT_EQ(send(h, f), NTCAN_SUCCESS) << text;
  std::vector<std::string> want;
  for (const auto& [f, text] : cases) want.push_back(text);
  EXPECT_EQ(dump.frames(), want);
}

// A burst from cangen into a queue of 10 frames: 10 stay, every other one is counted.
TEST_F(SocketCanVcanTest, CangenBurstBeyondTheQueueIsCountedAsLost) {
  constexpr int kQueue = 10;
  constexpr int kBurst = 200;
  NTCAN_HANDLE h = open(0, {0x321}, kQueue);
  ASSERT_EQ(sh("cangen vcan0 -g 0 -I 321 -L 1 -D i -n " + std::to_string(kBurst)), 0);
  settle_external(0, "vcan0");

  auto kept = take_all(h);
  ASSERT_EQ(kept.size(), static_cast<size_t>(kQueue));
  for (int i = 0; i < kQueue; ++i) {
    EXPECT_EQ(kept[i].data[0], i) << "the oldest frames stay";
    EXPECT_EQ(kept[i].msg_lost, 0);
  }
  ASSERT_EQ(sh("cansend vcan0 321#FF"), 0);
  CMSG next = read_one(h);
  EXPECT_EQ(next.data[0], 0xFF);
  EXPECT_EQ(next.msg_lost, kBurst - kQueue);
}

// A burst far beyond what the socket holds between two calls: the kernel's drops count too.
TEST_F(SocketCanVcanTest, KernelDropsAreCountedAndSaturate) {
  NTCAN_HANDLE h = open(0, {0x322}, 2);
  ASSERT_EQ(sh("cangen vcan0 -g 0 -I 322 -L 0 -n 600"), 0);
  settle_external(0, "vcan0");
  EXPECT_EQ(take_all(h).size(), 2u);
  ASSERT_EQ(sh("cansend vcan0 322#"), 0);
  EXPECT_EQ(read_one(h).msg_lost, 255);
  ASSERT_EQ(sh("cansend vcan0 322#"), 0);
  EXPECT_EQ(read_one(h).msg_lost, 0) << "a loss is reported once";
}

// ---- identifier filters --------------------------------------------------------------------

TEST_F(SocketCanVcanTest, FramesQueuedBeforeADeleteStay) {
  NTCAN_HANDLE h = open(0, {0x100, 0x101});
  ASSERT_EQ(sh("cansend vcan0 100#01"), 0);
  settle_external(0, "vcan0");
  ASSERT_EQ(canIdDelete(h, 0x100), NTCAN_SUCCESS);
  ASSERT_EQ(sh("cansend vcan0 100#02"), 0);
  ASSERT_EQ(sh("cansend vcan0 101#03"), 0);
  settle_external(0, "vcan0");
  auto got = take_all(h);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].data[0], 1) << "queued while enabled";
  EXPECT_EQ(got[1].data[0], 3);
}

// More identifiers than the kernel filters per socket: the set still decides exactly.
TEST_F(SocketCanVcanTest, ManyIdentifiersBeyondTheKernelFilterLimit) {
  NTCAN_HANDLE h = open(0, {}, 2048);
  for (int32_t id = 0; id < 1200; id += 2) ASSERT_EQ(canIdAdd(h, id), NTCAN_SUCCESS) << id;
  NTCAN_HANDLE tx = open(0);
  auto run = [&](std::vector<int32_t> want) {
    for (int32_t id = 0; id < 1210; ++id) {
      ASSERT_EQ(send(tx, frame(id, {static_cast<uint8_t>(id & 0xFF)})), NTCAN_SUCCESS);
    }
    settle_external(0, "vcan0");
    std::vector<int32_t> got;
    for (const CMSG& m : take_all(h)) got.push_back(m.id);
    EXPECT_EQ(got, want);
  };
  std::vector<int32_t> even;
  for (int32_t id = 0; id < 1200; id += 2) even.push_back(id);
  run(even);

  // Back below the limit: exact kernel filters again.
  for (int32_t id = 2; id < 1200; id += 2) ASSERT_EQ(canIdDelete(h, id), NTCAN_SUCCESS) << id;
  run({0});
}

// ---- nets and interfaces -------------------------------------------------------------------

TEST_F(SocketCanVcanTest, NetsMapToInterfacesByEnvironment) {
  ::setenv("NTCAN_SOCKETCAN_IF5", "vcan0", 1);
  NTCAN_HANDLE on5 = open(5, {0x222});
  NTCAN_HANDLE on0 = open(0);
  ::unsetenv("NTCAN_SOCKETCAN_IF5");
  ASSERT_EQ(send(on0, frame(0x222, {5})), NTCAN_SUCCESS);
  EXPECT_EQ(read_one(on5).data[0], 5) << "net 5 is vcan0 as well";

  CAN_IF_STATUS st{};
  ASSERT_EQ(canStatus(on5, &st), NTCAN_SUCCESS);
  EXPECT_STREQ(reinterpret_cast<const char*>(st.boardid), "vcan0");
  EXPECT_EQ(st.boardstatus, 0u);
}

TEST_F(SocketCanVcanTest, OpenRefusesWhatIsNotACanInterface) {
  struct Case {
    const char* what;
    const char* ifname;
  };
  const Case cases[] = {{"missing", "nosuchcan0"}, {"not CAN", "lo"}};
  for (const Case& c : cases) {
    ::setenv("NTCAN_SOCKETCAN_IF9", c.ifname, 1);
    NTCAN_HANDLE h = 123;
    EXPECT_EQ(canOpen(9, 0, 10, 100, 1000, 1000, &h), NTCAN_NET_NOT_FOUND) << c.what;
    EXPECT_EQ(h, NTCAN_NO_HANDLE) << c.what;
  }
  ::unsetenv("NTCAN_SOCKETCAN_IF9");
}

// Tests that change an interface's state use one of their own, net 7.
class SocketCanInterfaceTest : public SocketCanVcanTest {
 protected:
  void SetUp() override {
    SocketCanVcanTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ifname_ = "vcst" + std::to_string(::getpid() % 100000);
    if (sh("ip link add dev " + ifname_ + " type vcan && ip link set " + ifname_ + " up") != 0) {
      GTEST_SKIP() << "cannot create a vcan interface here";
    }
    ::setenv("NTCAN_SOCKETCAN_IF7", ifname_.c_str(), 1);
  }
  void TearDown() override {
    SocketCanVcanTest::TearDown();
    if (!ifname_.empty()) sh("ip link del dev " + ifname_ + " 2>/dev/null");
    ::unsetenv("NTCAN_SOCKETCAN_IF7");
  }
  static NTCAN_RESULT status(NTCAN_HANDLE h) {
    CAN_IF_STATUS st{};
    return canStatus(h, &st);
  }
  std::string ifname_;
};

TEST_F(SocketCanInterfaceTest, DownFailsStatusAndOpenUpRestoresBoth) {
  NTCAN_HANDLE rx = open(7, {0x155}, 100, /*rxtimeout=*/20);
  NTCAN_HANDLE tx = open(7);
  ASSERT_EQ(status(rx), NTCAN_SUCCESS);

  ASSERT_EQ(sh("ip link set " + ifname_ + " down"), 0);
  EXPECT_EQ(status(rx), NTCAN_CONTR_OFF_BUS);
  EXPECT_EQ(send(tx, frame(0x155, {1})), NTCAN_CONTR_OFF_BUS);
  CMSG f{};
  int32_t n = 1;
  EXPECT_EQ(canRead(rx, &f, &n, nullptr), NTCAN_RX_TIMEOUT) << "a down bus just brings nothing";
  NTCAN_HANDLE h = 123;
  EXPECT_EQ(canOpen(7, 0, 10, 100, 1000, 1000, &h), NTCAN_NET_NOT_FOUND);
  EXPECT_EQ(h, NTCAN_NO_HANDLE);

  ASSERT_EQ(sh("ip link set " + ifname_ + " up"), 0);
  EXPECT_EQ(status(rx), NTCAN_SUCCESS);
  ASSERT_EQ(send(tx, frame(0x155, {2})), NTCAN_SUCCESS);
  EXPECT_EQ(read_one(rx).data[0], 2);
  open(7);
}

// The controller's error frames (sent here by cansend, as a CAN driver would) reach canStatus:
// error passive as the board status, bus-off as a failing status until a restart.
TEST_F(SocketCanInterfaceTest, ErrorFramesSetTheControllerStateOfTheStatus) {
  NTCAN_HANDLE h = open(7, {0x157});
  const auto board = [h] {
    CAN_IF_STATUS st{};
    return canStatus(h, &st) == NTCAN_SUCCESS ? static_cast<int64_t>(st.boardstatus) : -1;
  };
  EXPECT_EQ(board(), 0);
  struct Step {
    const char* frame;  // error class in the identifier, controller state in byte 1
    NTCAN_RESULT result;
    int64_t board;
  };
  for (const Step& s : {Step{"20000004#0020000000000000", NTCAN_SUCCESS, 2},
                        Step{"20000040#0000000000000000", NTCAN_CONTR_OFF_BUS, -1},
                        Step{"20000100#0000000000000000", NTCAN_SUCCESS, 0},
                        Step{"20000004#0008000000000000", NTCAN_SUCCESS, 1},
                        Step{"20000004#0040000000000000", NTCAN_SUCCESS, 0}}) {
    SCOPED_TRACE(s.frame);
    ASSERT_EQ(sh(std::string("cansend ") + ifname_ + " " + s.frame), 0);
    EXPECT_TRUE(wait_until([&] { return status(h) == s.result && board() == s.board; }));
  }
  // Error frames never reach the receive queue.
  ASSERT_EQ(sh("cansend " + ifname_ + " 157#01"), 0);
  EXPECT_EQ(read_one(h).data[0], 1);
}

// A queueing discipline that drops every frame makes the kernel answer ENOBUFS: the send is
// retried until the transmit time-out and reported as such; the handle goes on working.
TEST_F(SocketCanInterfaceTest, EnobufsIsATransmitTimeOutNotAFailedHandle) {
  NTCAN_HANDLE rx = open(7, {0x158}, 100, /*rxtimeout=*/1000);
  NTCAN_HANDLE tx = NTCAN_NO_HANDLE;
  ASSERT_EQ(canOpen(7, 0, 10, 100, /*txtimeout=*/50, 1000, &tx), NTCAN_SUCCESS);
  ASSERT_EQ(sh("tc qdisc add dev " + ifname_ + " root pfifo limit 0"), 0);
  EXPECT_EQ(send(tx, frame(0x158, {1})), NTCAN_TX_TIMEOUT);
  ASSERT_EQ(sh("tc qdisc del dev " + ifname_ + " root"), 0);
  EXPECT_EQ(send(tx, frame(0x158, {2})), NTCAN_SUCCESS);
  EXPECT_EQ(read_one(rx).data[0], 2);
  EXPECT_EQ(canClose(tx), NTCAN_SUCCESS);
}

TEST_F(SocketCanInterfaceTest, AVanishedInterfaceIsNotFoundAndItsHandlesStayDead) {
  NTCAN_HANDLE old = open(7, {0x156}, 100, /*rxtimeout=*/20);
  ASSERT_EQ(sh("ip link del dev " + ifname_), 0);
  EXPECT_EQ(status(old), NTCAN_NET_NOT_FOUND);
  EXPECT_EQ(send(old, frame(0x156, {1})), NTCAN_NET_NOT_FOUND);
  NTCAN_HANDLE h = 123;
  EXPECT_EQ(canOpen(7, 0, 10, 100, 1000, 1000, &h), NTCAN_NET_NOT_FOUND);

  // A new interface of the same name is another bus: the old handle does not come back to life.
  ASSERT_EQ(sh("ip link add dev " + ifname_ + " type vcan && ip link set " + ifname_ + " up"), 0);
  EXPECT_EQ(status(old), NTCAN_NET_NOT_FOUND);
  NTCAN_HANDLE now = open(7, {0x156});
  ASSERT_GT(now, old);
  EXPECT_EQ(status(now), NTCAN_SUCCESS);
  ASSERT_EQ(sh("cansend " + ifname_ + " 156#07"), 0);
  EXPECT_EQ(read_one(now).data[0], 7);
  CMSG f{};
  int32_t n = 1;
  EXPECT_EQ(canRead(old, &f, &n, nullptr), NTCAN_RX_TIMEOUT);
}

}  // namespace
}  // namespace socketcan_test
