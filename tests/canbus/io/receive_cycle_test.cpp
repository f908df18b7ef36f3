// The receive cycle: masters fill the buffer they share with their followers, device-server
// code copies it out, and the frames of the node selected by .DEBUG_ID are printed.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "canbus/io/node_harness.h"
#include "support/canbus_fixture.h"

namespace canbus_test {
namespace {

constexpr int kLine = 1;
constexpr int kNet = net_of(kLine);

class ReceiveCycleTest : public CanbusTest {
 protected:
  void SetUp() override {
    CanbusTest::SetUp();
    loc_ = std::make_unique<EqFct>("RX.TEST");
  }
  void TearDown() override {
    nodes_.clear();
    loc_.reset();
    CanbusTest::TearDown();
  }

  D_can& node(IIII v) {
    nodes_.push_back(make_node(*loc_, "NODE" + std::to_string(nodes_.size()), v));
    return *nodes_.back();
  }

  // The frames can_array copies out, in the can-utils text form.
  static std::vector<std::string> copied(D_can& n, int* result = nullptr) {
    CMSG frames[D_can::kRxFrames];
    int length = -5;
    int r = n.can_array(frames, &length);
    if (result != nullptr) *result = r;
    std::vector<std::string> out;
    for (int i = 0; i < length; ++i) out.push_back(frame_text(frames[i]));
    return out;
  }

  std::vector<std::string> printed() {
    std::vector<std::string> out;
    for (const tavik::LogEntry& e : log().with_label("can_print")) out.push_back(e.message);
    return out;
  }

  std::unique_ptr<EqFct> loc_;
  std::vector<std::unique_ptr<D_can>> nodes_;
};

// More frames between two cycles than the driver's queue holds: the loss is counted for the node
// and logged, at most once a second; the fill result stays the driver's.
TEST_F(ReceiveCycleTest, LostFramesAreCountedAndLoggedOnceASecond) {
  D_can& m = node(iiii(kLine, 5));
  D_can& f = node(iiii(kLine, 5));
  ASSERT_EQ(m.init(0x185), 0);
  ASSERT_EQ(f.init(0x285), 0);
  // The driver's queue holds 100 frames; the frame after a cycle reports the drops before it.
  const auto overrun = [](int frames) {
    for (int i = 0; i < frames; ++i) vbus::inject(kNet, make_frame(0x185, {}));
    can_looping();
    vbus::inject(kNet, make_frame(0x285, {}));
    can_looping();
  };
  const auto reports = [this] {
    std::vector<std::string> out;
    for (const auto& e : log().with_label("D_can::can_fill")) out.push_back(e.message);
    return out;
  };
  EXPECT_EQ(m.frames_lost(), 0u);
  overrun(150);
  EXPECT_EQ(m.frames_lost(), 50u);
  EXPECT_EQ(f.frames_lost(), 50u);
  EXPECT_EQ(m.can_return(), 0);
  overrun(130);
  EXPECT_EQ(m.frames_lost(), 80u);
  EXPECT_EQ(reports(), std::vector<std::string>{"Line : 1 node: 5 frames lost: 50"});
  clock().advance(1'000'000'000);
  can_looping();
  EXPECT_EQ(reports(), (std::vector<std::string>{"Line : 1 node: 5 frames lost: 50",
                                                 "Line : 1 node: 5 frames lost: 30"}));
}

TEST_F(ReceiveCycleTest, EmptyRegistryIsACycleWithoutWork) {
  EXPECT_EQ(can_looping(), 0);
  EXPECT_EQ(vbus::open_handles(), 0);
}

TEST_F(ReceiveCycleTest, FramesOfTwoIdentifiersReachMasterAndFollower) {
  D_can& a = node(iiii(kLine, 5));
  D_can& b = node(iiii(kLine, 5));
  ASSERT_EQ(a.init(0x185), 0);
  ASSERT_EQ(b.init(0x285), 0);
  ASSERT_EQ(b.rx_buffer(), a.rx_buffer());

  vbus::inject(kNet, make_frame(0x185, {5, 1}));
  vbus::inject(kNet, make_frame(0x385, {5, 9}));  // not enabled
  vbus::inject(kNet, make_frame(0x285, {5, 2}));
  EXPECT_EQ(can_looping(), 0);

  const std::vector<std::string> expect{"185#0501", "285#0502"};
  int result = -5;
  EXPECT_EQ(copied(b, &result), expect);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(copied(a), expect);

  // The next fill replaces the content: nothing pending gives an empty copy.
  EXPECT_EQ(can_looping(), 0);
  EXPECT_TRUE(copied(b, &result).empty());
  EXPECT_EQ(result, 0);
  EXPECT_EQ(*b.rx_count(), 0);
}

TEST_F(ReceiveCycleTest, EachMasterFillsItsOwnBuffer) {
  D_can& a = node(iiii(kLine, 5));
  D_can& b = node(iiii(kLine, 6));
  ASSERT_EQ(a.init(0x185), 0);
  ASSERT_EQ(b.init(0x186), 0);
  ASSERT_NE(a.rx_buffer(), b.rx_buffer());
  vbus::inject(kNet, make_frame(0x186, {6}));
  vbus::inject(kNet, make_frame(0x185, {5}));
  can_looping();
  EXPECT_EQ(copied(a), std::vector<std::string>{"185#05"});
  EXPECT_EQ(copied(b), std::vector<std::string>{"186#06"});
}

TEST_F(ReceiveCycleTest, ClosedMasterStores77AndRefusesTheCopy) {
  D_can& a = node(iiii(kLine, 5));
  D_can& b = node(iiii(kLine, 5));
  ASSERT_EQ(a.init(0x185), 0);
  ASSERT_EQ(b.init(0), 0);
  vbus::inject(kNet, make_frame(0x185, {1}));
  can_looping();
  ASSERT_EQ(a.can_close(), 0);

  can_looping();
  EXPECT_EQ(*a.rx_count(), -1);
  EXPECT_EQ(*a.ret_ptr(), NTCAN_INVALID_HANDLE);
  CMSG frames[D_can::kRxFrames];
  int length = 42;
  EXPECT_EQ(a.can_array(frames, &length), -1);
  EXPECT_EQ(length, 42);
  // The follower still holds the master's former handle number on an open line: it copies
  // nothing and learns the stored result.
  int result = 0;
  EXPECT_TRUE(copied(b, &result).empty());
  EXPECT_EQ(result, NTCAN_INVALID_HANDLE);
}

TEST_F(ReceiveCycleTest, DirectlyAttachedNodeHasNoBuffer) {
  D_can& d = node(iiii(kLine, 7));
  ASSERT_EQ(d.init(), 0);
  EXPECT_EQ(d.can_fill(), -1);
  CMSG frames[D_can::kRxFrames];
  int length = 42;
  EXPECT_EQ(d.can_array(frames, &length), -1);
  EXPECT_EQ(length, 42);
  D_can& never = node(iiii(kLine, 8));
  EXPECT_EQ(never.can_array(frames, &length), -1);
  EXPECT_EQ(length, 42);
}

TEST_F(ReceiveCycleTest, DriverErrorOfTheTakeIsStoredAndReturnedByTheCopy) {
  struct FailingTake : D_can {
    using D_can::D_can;
    int can_get(CMSG*, int* length) override {
      *length = 0;
      return NTCAN_CONTR_OFF_BUS;
    }
  };
  FailingTake f("FAIL node under test", loc_.get());
  IIII v = iiii(kLine, 9);
  f.set_value(&v);
  ASSERT_EQ(f.init(0x189), 0);
  can_looping();
  int result = 0;
  EXPECT_TRUE(copied(f, &result).empty());
  EXPECT_EQ(result, NTCAN_CONTR_OFF_BUS);
  EXPECT_EQ(f.dellist(), 0);
}

// --- Debug print ------------------------------------------------------------------------------

class PrintTest : public ReceiveCycleTest {
 protected:
  D_can& printed_node() {
    D_can& n = node(iiii(kLine, 5));
    EXPECT_EQ(n.init(0x705), 0);
    EXPECT_EQ(n.AddIdent(0x185), 0);
    EXPECT_EQ(n.AddIdent(0), 0);
    return n;
  }
  static void select(IIII v) {
    ASSERT_NE(D_can::canIdent_debug_, nullptr);
    D_can::canIdent_debug_->set_value(v);
  }
};

TEST_F(PrintTest, LinesOfTheSelectedNode) {
  printed_node();
  select(iiii(kLine, 5, 0, 99));  // the fourth value is not compared
  TAVIK_debug = DF_DAQ_5;
  vbus::inject(kNet, make_frame(0x705, {0x05}));
  vbus::inject(kNet, make_frame(0, {0x01, 0x05}));  // NMT seen on the bus: never printed
  vbus::inject(kNet, make_frame(0x185, {}));
  vbus::inject(kNet, make_frame(0x185, {0x00, 0xAB, 0x10, 0xFF, 1, 2, 3, 4}));
  CMSG remote = make_frame(0x705, {});
  remote.len = 0x10;
  vbus::inject(kNet, remote);
  can_looping();
  EXPECT_EQ(printed(), (std::vector<std::string>{
                           "ID: 705, Len: 1, Data: 05",
                           "ID: 185, Len: 0, Data:",
                           "ID: 185, Len: 8, Data: 00 AB 10 FF 01 02 03 04",
                           "ID: 705, Len: 16, Data:",
                       }));
  for (const tavik::LogEntry& e : log().with_label("can_print")) EXPECT_EQ(e.flags, DF_LOG);
}

TEST_F(PrintTest, RemoteFrameShowsAtMostEightDataBytes) {
  printed_node();
  select(iiii(kLine, 5));
  TAVIK_debug = DF_DAQ_5;
  CMSG remote = make_frame(0x705, {});
  remote.len = 0x18;
  vbus::inject(kNet, remote);
  can_looping();
  EXPECT_EQ(printed(), std::vector<std::string>{"ID: 705, Len: 24, Data: 00 00 00 00 00 00 00 00"});
}

struct NoPrintCase {
  const char* name;
  int debug;
  IIII selection;
};
void PrintTo(const NoPrintCase& c, std::ostream* os) {
  *os << c.name;
}

class NoPrintTest : public PrintTest, public ::testing::WithParamInterface<NoPrintCase> {};

TEST_P(NoPrintTest, NothingIsPrinted) {
  printed_node();
  select(GetParam().selection);
  TAVIK_debug = GetParam().debug;
  vbus::inject(kNet, make_frame(0x705, {0x05}));
  can_looping();
  EXPECT_TRUE(printed().empty());
  // The frames were taken all the same.
  EXPECT_EQ(*nodes_.back()->rx_count(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Selection, NoPrintTest,
    ::testing::Values(NoPrintCase{"DebugBitOff", DF_DAQ_5 >> 1, iiii(kLine, 5)},
                      NoPrintCase{"OtherLine", DF_DAQ_5, iiii(kLine + 1, 5)},
                      NoPrintCase{"OtherNode", DF_DAQ_5, iiii(kLine, 6)},
                      NoPrintCase{"OtherThirdValue", DF_DAQ_5, iiii(kLine, 5, 0x185)}),
    [](const ::testing::TestParamInfo<NoPrintCase>& i) { return std::string(i.param.name); });

TEST_F(PrintTest, ClosedMasterPrintsNothing) {
  D_can& n = printed_node();
  select(iiii(kLine, 5));
  TAVIK_debug = DF_DAQ_5;
  vbus::inject(kNet, make_frame(0x705, {0x05}));
  ASSERT_EQ(n.can_close(), 0);
  can_looping();
  EXPECT_TRUE(printed().empty());
}

}  // namespace
}  // namespace canbus_test
