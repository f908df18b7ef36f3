// Frame I/O of a node property on the virtual bus: frames sent, frames taken, the
// request-and-reply poll and the guard of a node without an open handle.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "canbus/io/node_harness.h"
#include "support/canbus_fixture.h"

namespace canbus_test {
namespace {

constexpr int kLine = 1;
constexpr int kNet = net_of(kLine);
constexpr int64_t kPollWindowNs = 250'000'000;

class FrameIoTest : public CanbusTest {
 protected:
  void SetUp() override {
    CanbusTest::SetUp();
    loc_ = std::make_unique<EqFct>("IO.TEST");
  }
  void TearDown() override {
    nodes_.clear();
    loc_.reset();
    CanbusTest::TearDown();
  }

  // A master of (line 1, `node`) receiving `ident`.
  D_can& master(int node, int ident) {
    nodes_.push_back(make_node(*loc_, "NODE" + std::to_string(nodes_.size()), iiii(kLine, node)));
    D_can& n = *nodes_.back();
    EXPECT_EQ(n.init(ident), 0);
    EXPECT_GE(n.handle(), 0);
    // The line's supervision thread starts with a long pause; once it sleeps, the pauses logged
    // by the clock are those of the test's own thread.
    EXPECT_TRUE(clock().wait_for_sleepers(1));
    return n;
  }
  D_can& detached(int node) {
    nodes_.push_back(make_node(*loc_, "NODE" + std::to_string(nodes_.size()), iiii(kLine, node)));
    return *nodes_.back();
  }

  std::unique_ptr<EqFct> loc_;
  std::vector<std::unique_ptr<D_can>> nodes_;
};

// --- Frames sent ------------------------------------------------------------------------------

TEST_F(FrameIoTest, CanWriteSendsExactlyTheGivenPayload) {
  D_can& n = master(5, 0x185);
  vbus::clear_sent(kNet);
  unsigned char data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(n.can_write(0x181, 0, data), 0);
  EXPECT_EQ(n.can_write(0x182, 8, data), 0);
  EXPECT_EQ(n.can_write(0x183, 3, data), 0);
  EXPECT_EQ(sent_texts(kNet),
            (std::vector<std::string>{"181#", "182#0102030405060708", "183#010203"}));
}

TEST_F(FrameIoTest, CanWriteNeverReadsPastEightPayloadBytes) {
  D_can& n = master(5, 0x185);
  vbus::clear_sent(kNet);
  // The caller's buffer holds exactly 8 bytes; a length of 15 must not read beyond it (ASan).
  auto data = std::make_unique<unsigned char[]>(8);
  std::memset(data.get(), 0x5A, 8);
  n.can_write(0x181, 15, data.get());
  // The driver refuses a data length above 8; nothing reaches the bus.
  EXPECT_TRUE(vbus::sent(kNet).empty());
}

TEST_F(FrameIoTest, RemoteFramesCarryTheRemoteFlag) {
  D_can& n = master(5, 0x185);
  vbus::clear_sent(kNet);
  int ident = 0x123;
  EXPECT_EQ(n.rtr(&ident), 0);
  EXPECT_EQ(n.rtr(&ident, 8), 0);
  EXPECT_EQ(n.rtr(), 0);
  EXPECT_EQ(ident, 0x123);
  std::vector<CMSG> sent = vbus::sent(kNet);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(frame_text(sent[0]), "123#R0");
  EXPECT_EQ(sent[0].len, 0x10);
  EXPECT_EQ(frame_text(sent[1]), "123#R8");
  EXPECT_EQ(sent[1].len, 0x18);
  EXPECT_EQ(frame_text(sent[2]), "705#R0");  // node guarding request
  EXPECT_EQ(sent[2].len, 0x10);
}

TEST_F(FrameIoTest, CanSdoSendsTheInitiateUploadRequest) {
  D_can& n = master(5, 0x585);
  vbus::clear_sent(kNet);
  EXPECT_EQ(n.can_SDO(0x1008, 0), 0);
  EXPECT_EQ(n.can_SDO(0x2345, 0x67), 0);
  EXPECT_EQ(sent_texts(kNet),
            (std::vector<std::string>{"605#4008100000000000", "605#4045236700000000"}));
}

TEST_F(FrameIoTest, NmtCommandsOfAnAttachedNode) {
  D_can& n = master(5, 0x185);
  vbus::clear_sent(kNet);
  EXPECT_EQ(n.start_node(), 0);
  EXPECT_EQ(n.stop_node(), 0);
  EXPECT_EQ(n.reset_node(), 0);
  EXPECT_EQ(sent_texts(kNet), (std::vector<std::string>{"000#0105", "000#0205", "000#8105"}));
}

TEST_F(FrameIoTest, NodeWithoutHandleSendsNothingAndReports77) {
  D_can& n = detached(5);
  unsigned char data[8] = {0x40, 0x08, 0x10, 0, 0, 0, 0, 0};
  int ident = 0x605;
  int length = 8;
  EXPECT_EQ(n.can_write(0x605, 8, data), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(n.rtr(&ident), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(n.rtr(&ident, 8), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(n.rtr(), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(n.can_SDO(0x1008, 0), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(n.start_node(), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(n.can_poll(&ident, &length, data), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(ident, 0x605);
  EXPECT_EQ(length, 8);
  for (int net = 0; net < vbus::kNets; ++net) EXPECT_TRUE(vbus::sent(net).empty());
}

// --- Frames taken -----------------------------------------------------------------------------

TEST_F(FrameIoTest, ReadAndGetWithoutHandleLeaveLengthAtMinusOne) {
  D_can& n = detached(5);
  CMSG frames[10];
  int length = 10;
  EXPECT_EQ(n.can_get(frames, &length), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(length, -1);
  length = 10;
  EXPECT_EQ(n.can_read(frames, &length), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(length, -1);
  EXPECT_EQ(n.ret_ptr(), nullptr);
}

TEST_F(FrameIoTest, GetTakesPendingFramesWithoutWaiting) {
  D_can& n = master(5, 0x185);
  *n.ret_ptr() = 1234;
  CMSG frames[10];
  int length = 10;
  EXPECT_EQ(n.can_get(frames, &length), 0);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(*n.ret_ptr(), 0);

  vbus::inject(kNet, make_frame(0x185, {1}));
  vbus::inject(kNet, make_frame(0x186, {2}));  // not enabled on the handle
  vbus::inject(kNet, make_frame(0x185, {3, 4}));
  length = 10;
  EXPECT_EQ(n.can_get(frames, &length), 0);
  ASSERT_EQ(length, 2);
  EXPECT_EQ(frame_text(frames[0]), "185#01");
  EXPECT_EQ(frame_text(frames[1]), "185#0304");
}

TEST_F(FrameIoTest, GetTakesNoMoreThanTheCountGiven) {
  D_can& n = master(5, 0x185);
  for (uint8_t i = 0; i < 3; ++i) vbus::inject(kNet, make_frame(0x185, {i}));
  CMSG frames[2];
  int length = 2;
  EXPECT_EQ(n.can_get(frames, &length), 0);
  EXPECT_EQ(length, 2);
  length = 2;
  EXPECT_EQ(n.can_get(frames, &length), 0);
  ASSERT_EQ(length, 1);
  EXPECT_EQ(frame_text(frames[0]), "185#02");
}

TEST_F(FrameIoTest, ReadReturnsQueuedFrames) {
  D_can& n = master(5, 0x185);
  vbus::inject(kNet, make_frame(0x185, {0xAB}));
  CMSG frames[10];
  int length = 10;
  EXPECT_EQ(n.can_read(frames, &length), 0);
  ASSERT_EQ(length, 1);
  EXPECT_EQ(frame_text(frames[0]), "185#AB");
  EXPECT_EQ(*n.ret_ptr(), 0);
}

// --- Request and reply ------------------------------------------------------------------------

TEST_F(FrameIoTest, PollFindsTheReplyAmongOtherFramesOfTheSameTake) {
  D_can& n = master(5, 0x585);
  ScopedDevice dev(kNet, answer(0x605, {make_frame(0x585, {0x4F, 0x00, 0x10, 0x00, 1}),
                                        make_frame(0x585, {0x4F, 0x08, 0x11, 0x00, 2}),
                                        make_frame(0x585, {0x4F, 0x08, 0x10, 0x01, 3}),
                                        make_frame(0x585, {0x4F, 0x08, 0x10, 0x00, 0x41})}));
  unsigned char data[8] = {0x40, 0x08, 0x10, 0x00, 0, 0, 0, 0};
  int ident = 0x605;
  int length = 8;
  clock().clear_sleeps();
  EXPECT_EQ(n.can_poll(&ident, &length, data), 0);
  EXPECT_EQ(ident, 0x585);
  EXPECT_EQ(length, 5);
  EXPECT_EQ(data[0], 0x4F);
  EXPECT_EQ(data[4], 0x41);
  EXPECT_EQ(*n.ret_ptr(), 0);
  // Found without a pause; the frames of that read that were not the reply are gone.
  EXPECT_TRUE(clock().sleeps().empty());
  CMSG rest[10];
  int count = 10;
  EXPECT_EQ(n.can_get(rest, &count), 0);
  EXPECT_EQ(count, 0);
}

TEST_F(FrameIoTest, PollAcceptsAReplyOfAnotherIdentifier) {
  D_can& n = master(5, 0x585);
  ASSERT_EQ(n.AddIdent(0x586), 0);
  ScopedDevice dev(kNet, answer(0x605, {make_frame(0x586, {0x43, 0x00, 0x10, 0x00, 9, 8, 7, 6})}));
  unsigned char data[8] = {0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0};
  int ident = 0x605;
  int length = 8;
  EXPECT_EQ(n.can_poll(&ident, &length, data), 0);
  EXPECT_EQ(ident, 0x586);
  EXPECT_EQ(length, 8);
  const unsigned char expect[8] = {0x43, 0x00, 0x10, 0x00, 9, 8, 7, 6};
  EXPECT_EQ(std::memcmp(data, expect, 8), 0);
}

TEST_F(FrameIoTest, PollReplyOfLengthZeroLeavesTheDataAlone) {
  D_can& n = master(5, 0x185);
  // A one-byte request: its bytes 1..3 compare as zeros, as do those of an empty reply.
  ScopedDevice dev(kNet, answer(0x105, {make_frame(0x185, {})}));
  unsigned char data[8] = {0x11, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
  int ident = 0x105;
  int length = 1;
  EXPECT_EQ(n.can_poll(&ident, &length, data), 0);
  EXPECT_EQ(ident, 0x185);
  EXPECT_EQ(length, 0);
  const unsigned char expect[8] = {0x11, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
  EXPECT_EQ(std::memcmp(data, expect, 8), 0);
}

TEST_F(FrameIoTest, PollWithoutReplyGivesUpAfter250ms) {
  D_can& n = master(5, 0x585);
  vbus::inject(kNet, make_frame(0x585, {0x4F, 0x09, 0x10, 0x00}));  // not the reply
  unsigned char data[8] = {0x40, 0x08, 0x10, 0x00, 0, 0, 0, 0};
  int ident = 0x605;
  int length = 8;
  clock().clear_sleeps();
  const int64_t start = clock().now_ns();
  EXPECT_EQ(n.can_poll(&ident, &length, data), 32);
  EXPECT_EQ(clock().now_ns() - start, kPollWindowNs);
  EXPECT_EQ(*n.ret_ptr(), 32);
  EXPECT_EQ(ident, 0x605);
  EXPECT_EQ(length, 8);
  EXPECT_EQ(data[0], 0x40);
  // It waits in the driver, not in pauses of its own.
  EXPECT_TRUE(clock().sleeps().empty());
}

TEST_F(FrameIoTest, PollEndsWith32WhenTheLineClosesMeanwhile) {
  D_can& n = master(5, 0x585);
  canline* line = n.line_ptr();
  ASSERT_NE(line, nullptr);
  // The line goes down while the request is on its way; the reply is queued on the node's
  // handle but can no longer be taken through the node.
  ScopedDevice dev(kNet, answer(0x605, {make_frame(0x585, {0x4F, 0x08, 0x10, 0x00, 1})},
                                [line] { line->can_close(); }));
  unsigned char data[8] = {0x40, 0x08, 0x10, 0x00, 0, 0, 0, 0};
  int ident = 0x605;
  int length = 8;
  EXPECT_EQ(n.can_poll(&ident, &length, data), 32);
  EXPECT_EQ(*n.ret_ptr(), 32);
  EXPECT_EQ(n.handle(), -1);
}

TEST_F(FrameIoTest, PollSendFailureIsReturnedWithoutTouchingTheResultCode) {
  D_can& n = master(5, 0x585);
  *n.ret_ptr() = 1234;
  vbus::set_net_down(kNet, true);
  unsigned char data[8] = {0x40, 0x08, 0x10, 0x00, 0, 0, 0, 0};
  int ident = 0x605;
  int length = 8;
  clock().clear_sleeps();
  EXPECT_EQ(n.can_poll(&ident, &length, data), NTCAN_CONTR_OFF_BUS);
  EXPECT_EQ(*n.ret_ptr(), 1234);
  EXPECT_TRUE(clock().sleeps().empty());
  vbus::set_net_down(kNet, false);
}

// A received length byte above 8 never writes past the caller's 8 bytes (ASan).
TEST_F(FrameIoTest, PollCopiesAtMostEightReplyBytes) {
  D_can& n = master(5, 0x585);
  CMSG remote = make_frame(0x585, {});
  remote.len = 0x18;  // a remote request for 8 bytes; its data bytes are zero on the bus
  ScopedDevice dev(kNet, answer(0x605, {remote}));
  auto data = std::make_unique<unsigned char[]>(8);
  std::memset(data.get(), 0, 8);
  data[0] = 0x40;
  int ident = 0x605;
  int length = 1;
  EXPECT_EQ(n.can_poll(&ident, &length, data.get()), 0);
  EXPECT_EQ(length, 0x18);
  EXPECT_EQ(data[0], 0);
}

// --- Virtual dispatch -------------------------------------------------------------------------

class SpyCan : public D_can {
 public:
  using D_can::D_can;
  int can_write(int ident, int length, unsigned char* Data) override {
    writes.push_back(frame_text(make_frame(ident, {})) + std::to_string(length));
    return D_can::can_write(ident, length, Data);
  }
  int can_get(CMSG* rxmsg, int* length) override {
    ++gets;
    return D_can::can_get(rxmsg, length);
  }
  int can_fill() override {
    ++fills;
    return D_can::can_fill();
  }
  std::vector<std::string> writes;
  int gets = 0;
  int fills = 0;
};

TEST_F(FrameIoTest, LibraryCallsReachOverridesThroughTheVirtualTable) {
  SpyCan n("SPY node under test", loc_.get());
  IIII v = iiii(kLine, 5);
  n.set_value(&v);
  ASSERT_EQ(n.init(0x185), 0);
  EXPECT_EQ(n.can_SDO(0x1008, 0), 0);
  EXPECT_EQ(n.writes, std::vector<std::string>{"605#8"});
  EXPECT_EQ(can_looping(), 0);
  EXPECT_EQ(n.fills, 1);
  EXPECT_EQ(n.gets, 1);
  ASSERT_EQ(n.dellist(), 0);
}

}  // namespace
}  // namespace canbus_test
