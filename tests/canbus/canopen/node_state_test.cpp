// Node state from guarding replies (.ALIVE, .CONDITION) and emergency reports, evaluated on
// frame arrays as can_array hands them out.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <ostream>
#include <string>
#include <vector>

#include "canbus/io/node_harness.h"
#include "support/canbus_fixture.h"

namespace canbus_test {
namespace {

constexpr int kLine = 1;
constexpr int kNode = 5;
constexpr int kUntouched = 42;
constexpr int kAll = 1000;  // GuardCase::count: hand every frame of the case over

class NodeStateTest : public CanbusTest {
 protected:
  void SetUp() override {
    CanbusTest::SetUp();
    loc_ = std::make_unique<EqFct>("STATE.TEST");
    node_ = make_node(*loc_, "NODE", iiii(kLine, kNode));
    node_->condition_prop()->set_value("before");
    node_->alive_prop()->D_int_ptr::set_value(kUntouched);
  }
  void TearDown() override {
    node_.reset();
    loc_.reset();
    CanbusTest::TearDown();
  }

  std::vector<std::string> emergencies() {
    std::vector<std::string> out;
    for (const tavik::LogEntry& e : log().with_label("D_can::can_emergency")) {
      EXPECT_EQ(e.flags, DF_LOG);
      out.push_back(e.message);
    }
    return out;
  }

  std::unique_ptr<EqFct> loc_;
  std::unique_ptr<D_can> node_;
};

CMSG remote(int32_t id, uint8_t len) {
  CMSG m = make_frame(id, {});
  m.len = len;
  return m;
}

// --- Guarding replies -------------------------------------------------------------------------

struct GuardCase {
  const char* name;
  std::vector<CMSG> frames;
  int count;  // frames handed over, or kAll
  int result;
  int stored;
  const char* condition;
  bool alive;
};
void PrintTo(const GuardCase& c, std::ostream* os) {
  *os << c.name;
}

class GuardingTest : public NodeStateTest, public ::testing::WithParamInterface<GuardCase> {};

TEST_P(GuardingTest, CheckAlive) {
  const GuardCase& c = GetParam();
  std::vector<CMSG> frames = c.frames;
  int count = c.count == kAll ? static_cast<int>(frames.size()) : c.count;
  EXPECT_EQ(node_->alive_prop()->check_alive(kNode, frames.data(), &count), c.result);
  EXPECT_EQ(node_->alive_prop()->value(), c.stored);
  EXPECT_EQ(node_->condition_prop()->value(), c.condition);
  EXPECT_EQ(node_->alive_prop()->isalive(), c.alive);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, GuardingTest,
    ::testing::Values(
        GuardCase{"OperationalWithToggle",
                  {make_frame(0x705, {0x85})},
                  kAll,
                  100,
                  0x85,
                  "Operational",
                  true},
        GuardCase{"Operational", {make_frame(0x705, {0x05})}, kAll, 100, 0x05, "Operational", true},
        GuardCase{"PreOperational", {make_frame(0x705, {0x7F})}, kAll, 0, 0x7F, "before", false},
        GuardCase{"Stopped", {make_frame(0x705, {0x84})}, kAll, 0, 0x84, "before", false},
        GuardCase{"LengthTwoPassedOver",
                  {make_frame(0x705, {0x05, 0x00})},
                  kAll,
                  0,
                  kUntouched,
                  "before",
                  false},
        GuardCase{
            "RemoteRequestPassedOver", {remote(0x705, 0x11)}, kAll, 0, kUntouched, "before", false},
        GuardCase{"OtherNodePassedOver",
                  {make_frame(0x706, {0x05})},
                  kAll,
                  0,
                  kUntouched,
                  "before",
                  false},
        GuardCase{"OnlyTheFirstOfTwoCounts",
                  {make_frame(0x705, {0x7F}), make_frame(0x705, {0x05})},
                  kAll,
                  0,
                  0x7F,
                  "before",
                  false},
        GuardCase{"FirstOfTwoOperational",
                  {make_frame(0x185, {1}), make_frame(0x705, {0x85}), make_frame(0x705, {0x04})},
                  kAll,
                  100,
                  0x85,
                  "Operational",
                  true},
        GuardCase{"BeyondTheCountNotLookedAt",
                  {make_frame(0x185, {1}), make_frame(0x705, {0x05})},
                  1,
                  0,
                  kUntouched,
                  "before",
                  false},
        GuardCase{
            "NegativeCount", {make_frame(0x705, {0x05})}, -5, 0, kUntouched, "before", false}),
    [](const ::testing::TestParamInfo<GuardCase>& i) { return std::string(i.param.name); });

TEST_F(NodeStateTest, ZeroCountChangesNothing) {
  CMSG frame = make_frame(0x705, {0x05});
  int count = 0;
  EXPECT_EQ(node_->alive_prop()->check_alive(kNode, &frame, &count), 0);
  EXPECT_EQ(node_->alive_prop()->value(), kUntouched);
}

TEST_F(NodeStateTest, CanReadStoresWithoutTouchingTheCondition) {
  CMSG frame = make_frame(0x705, {0x05});
  int count = 1;
  EXPECT_EQ(node_->alive_prop()->can_read(kNode, &frame, &count), 100);
  EXPECT_EQ(node_->alive_prop()->value(), 5);
  EXPECT_EQ(node_->condition_prop()->value(), "before");
  EXPECT_EQ(count, 1);
}

// Node ids far outside the CANopen range (a client may write any value) match nothing and do
// not overflow the identifier arithmetic.
TEST_F(NodeStateTest, AbsurdNodeIdsMatchNothing) {
  CMSG frames[2] = {make_frame(0x6FF, {0x05}), make_frame(0x7F, {0x10})};
  int count = 2;
  for (int node : {INT_MAX, INT_MAX - 0x7F, INT_MIN}) {
    EXPECT_EQ(node_->alive_prop()->can_read(node, frames, &count), 0) << node;
    EXPECT_EQ(node_->can_emergency(node, frames, &count), 0) << node;
  }
  EXPECT_EQ(node_->alive_prop()->value(), kUntouched);
}

struct AliveCase {
  int value;
  bool alive;
};
void PrintTo(const AliveCase& c, std::ostream* os) {
  *os << "0x" << std::hex << c.value;
}

class IsAliveTest : public NodeStateTest, public ::testing::WithParamInterface<AliveCase> {};

TEST_P(IsAliveTest, OnlyTheLowFourBitsCount) {
  node_->alive_prop()->D_int_ptr::set_value(GetParam().value);
  EXPECT_EQ(node_->alive_prop()->isalive(), GetParam().alive);
}

INSTANTIATE_TEST_SUITE_P(States, IsAliveTest,
                         ::testing::Values(AliveCase{0x05, true}, AliveCase{0x85, true},
                                           AliveCase{0x75, true}, AliveCase{0x04, false},
                                           AliveCase{0x7F, false}, AliveCase{0x00, false},
                                           AliveCase{0x0F, false}));

TEST_F(NodeStateTest, FreshMasterIsNotAliveUntilAReplyCounts) {
  ASSERT_EQ(node_->init(0x705), 0);
  EXPECT_EQ(node_->alive_prop()->value(), 15);
  EXPECT_FALSE(node_->alive_prop()->isalive());
}

// --- Emergency --------------------------------------------------------------------------------

struct EmcyCase {
  const char* name;
  CMSG frame;
  const char* text;
};
void PrintTo(const EmcyCase& c, std::ostream* os) {
  *os << c.name;
}

class EmergencyTest : public NodeStateTest, public ::testing::WithParamInterface<EmcyCase> {};

TEST_P(EmergencyTest, LoggedText) {
  // On the heap and alone, so that a read past the frame shows under ASan.
  auto frames = std::make_unique<CMSG[]>(1);
  frames[0] = GetParam().frame;
  int count = 1;
  EXPECT_EQ(node_->can_emergency(kNode, frames.get(), &count), 100);
  EXPECT_EQ(emergencies(), std::vector<std::string>{GetParam().text});
}

INSTANTIATE_TEST_SUITE_P(
    Frames, EmergencyTest,
    ::testing::Values(
        EmcyCase{"Example", make_frame(0x85, {0x10, 0x81, 0x01, 0, 0, 0, 0, 0}),
                 "0x10 0x81 0x1 0x0 0x0 0x0 0x0 0x0 "},
        EmcyCase{"EightWideBytesKeptWhole",
                 make_frame(0x85, {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0xFF}),
                 "0x10 0x20 0x30 0x40 0x50 0x60 0x70 0xFF "},
        EmcyCase{"LengthZero", make_frame(0x85, {}), ""},
        EmcyCase{"ThreeBytes", make_frame(0x85, {0x00, 0x23, 0xAB}), "0x0 0x23 0xAB "},
        EmcyCase{"LengthByteAboveEight", remote(0x85, 0x1F), "0x0 0x0 0x0 0x0 0x0 0x0 0x0 0x0 "}),
    [](const ::testing::TestParamInfo<EmcyCase>& i) { return std::string(i.param.name); });

TEST_F(NodeStateTest, OnlyTheFirstEmergencyOfTheArrayIsReported) {
  std::vector<CMSG> frames{make_frame(0x86, {9}), make_frame(0x85, {1}), make_frame(0x85, {2})};
  int count = 3;
  EXPECT_EQ(node_->can_emergency(kNode, frames.data(), &count), 100);
  EXPECT_EQ(emergencies(), std::vector<std::string>{"0x1 "});
}

TEST_F(NodeStateTest, NoEmergencyNoLog) {
  std::vector<CMSG> frames{make_frame(0x86, {9}), make_frame(0x85, {1})};
  int count = 1;
  EXPECT_EQ(node_->can_emergency(kNode, frames.data(), &count), 0);
  count = 0;
  EXPECT_EQ(node_->can_emergency(kNode, frames.data(), &count), 0);
  count = -1;
  EXPECT_EQ(node_->can_emergency(kNode, frames.data(), &count), 0);
  EXPECT_TRUE(emergencies().empty());
}

TEST_F(NodeStateTest, InitEmergencyWithoutNodeIdDoesNothing) {
  auto none = make_node(*loc_, "NONODE", iiii(kLine, 0));
  EXPECT_EQ(none->init_emergency(), 0);
  EXPECT_EQ(vbus::open_handles(), 0);
  EXPECT_EQ(none->line_ptr(), nullptr);
  std::lock_guard<std::mutex> lk(D_can::mx_loop);
  EXPECT_TRUE(can_list.empty());
}

TEST_F(NodeStateTest, InitEmergencyEnablesTheEmergencyIdentifier) {
  EXPECT_EQ(node_->init_emergency(), 0);
  ASSERT_GE(node_->handle(), 0);
  std::vector<int32_t> ids = vbus::enabled_ids(node_->handle());
  EXPECT_NE(std::find(ids.begin(), ids.end(), 0x85), ids.end());
  EXPECT_TRUE(node_->isactive());
}

}  // namespace
}  // namespace canbus_test
