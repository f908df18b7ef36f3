// Reconfiguration: the change log, detaching on a move, and a receive cycle running while nodes
// move and attach.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "node_test_util.h"
#include "support/canbus_fixture.h"

namespace {

using canbus_test::CanbusTest;
using canbus_test::make_frame;
using node_test::buffer_ids;
using node_test::client_write;
using node_test::iiii;
using node_test::load_node;
using node_test::make_node;
using node_test::registry;

class Reconfiguration : public CanbusTest {
 protected:
  void SetUp() override {
    CanbusTest::SetUp();
    loc_.set_user_and_host("alice", "ctrl7");
  }
  std::unique_ptr<D_can> node(const std::string& name, IIII v) { return load_node(&loc_, name, v); }
  EqFct loc_{"PUMPS"};
};

TEST_F(Reconfiguration, ClientWriteIsLoggedWithRequester) {
  auto a = node("CAN.NODE1", iiii(1, 5, 0, 0));
  ASSERT_EQ(a->init(0x185), 0);
  const NTCAN_HANDLE h = a->handle();
  log().clear();
  client_write(a.get(), iiii(1, 5, 0x181, 0), &loc_);
  // (The line's supervision thread logs its start at its own pace: look at our label only.)
  const std::vector<tavik::LogEntry> lines = log().with_label("PUMPS");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].message, "CAN.NODE1 change from: 1, 5, 0, 0 to: 1, 5, 385, 0 by alice@ctrl7");
  EXPECT_EQ(lines[0].flags, DF_LOG);
  EXPECT_EQ(a->value(), iiii(1, 5, 385, 0));
  EXPECT_FALSE(a->has_changed());
  EXPECT_EQ(a->handle(), h);
  EXPECT_EQ(registry(), std::vector<D_can*>{a.get()});
}

TEST_F(Reconfiguration, WithoutLocationTheLabelIsDcan) {
  auto a = make_node(nullptr, "CAN.NODE1", iiii(1, 5, 0, 0));
  log().clear();
  IIII same = iiii(1, 5, 0, 0);
  TAVIK_debug = DF_CAN_QUIET;
  a->set_value(&same);  // no client: left out when asked to be quiet
  EXPECT_TRUE(log().entries().empty());
  IIII v = iiii(-1, 2, 3, 4);
  TAVIK_debug = 0;
  a->set_value(&v);
  ASSERT_EQ(log().entries().size(), 1u);
  EXPECT_EQ(log().entries()[0].label, "D_can");
  EXPECT_EQ(log().entries()[0].message, "CAN.NODE1 change from: 1, 5, 0, 0 to: -1, 2, 3, 4");
  const std::vector<D_fct*> subs = {
      a->baudrate_prop(), a->alive_prop(), a->condition_prop(), a->manu_prop(),  a->hwver_prop(),
      a->swver_prop(),    a->start_prop(), a->stop_prop(),      a->reset_prop(), a->active_prop()};
  a.reset();
  for (D_fct* p : subs) delete p;  // no location owns them
}

TEST_F(Reconfiguration, LongTextsAreCutToTheirBuffers) {
  loc_.set_user_and_host(std::string(300, 'u'), "host");
  auto a = node("N", iiii(1, 5));
  log().clear();
  IIII v = iiii(1, 5);
  a->set_value(&v);
  ASSERT_EQ(log().entries().size(), 1u);
  const std::string head = "N change from: 1, 5, 0, 0 to: 1, 5, 0, 0 by ";
  // The requester text is cut to 199 characters, the message to 399.
  EXPECT_EQ(log().entries()[0].message, (head + std::string(199, 'u')).substr(0, 399));

  auto b = node(std::string(500, 'n'), iiii(1, 6));
  log().clear();
  b->set_value(&v);
  ASSERT_EQ(log().entries().size(), 1u);
  EXPECT_EQ(log().entries()[0].message, std::string(399, 'n'));
}

struct MoveCase {
  IIII to;
  bool moves;
};

void PrintTo(const MoveCase& c, std::ostream* os) {
  PrintTo(c.to, os);
  *os << (c.moves ? " moves" : " stays");
}

class ReconfigurationMove : public Reconfiguration,
                            public ::testing::WithParamInterface<MoveCase> {};

TEST_P(ReconfigurationMove, LineOrNodeChangeClosesAndUnregisters) {
  auto first = node("FIRST", iiii(1, 1));
  ASSERT_EQ(first->init(), 0);  // the line's own handle is not A's
  auto a = node("A", iiii(1, 5, 0, 0));
  ASSERT_EQ(a->init(0x185), 0);
  CMSG* buf = a->rx_buffer();
  const NTCAN_HANDLE h = a->handle();
  log().clear();
  IIII to = GetParam().to;
  a->set_value(&to);
  EXPECT_EQ(log().count("PUMPS"), 1u);
  EXPECT_EQ(a->value(), to);
  EXPECT_EQ(a->has_changed(), GetParam().moves);
  if (GetParam().moves) {
    EXPECT_EQ(a->handle(), -1);
    EXPECT_EQ(vbus::open_handles(), 1);
    EXPECT_TRUE(registry().empty());
    EXPECT_TRUE(a->isactive());
    EXPECT_EQ(a->rx_buffer(), buf);
  } else {
    EXPECT_EQ(a->handle(), h);
    EXPECT_EQ(vbus::open_handles(), 2);
    EXPECT_EQ(registry(), std::vector<D_can*>{a.get()});
  }
}

INSTANTIATE_TEST_SUITE_P(Records, ReconfigurationMove,
                         ::testing::Values(MoveCase{iiii(2, 5, 0, 0), true},
                                           MoveCase{iiii(1, 6, 0, 0), true},
                                           MoveCase{iiii(0, 5, 0, 0), true},
                                           MoveCase{iiii(1, 5, 0x181, 0x281), false},
                                           MoveCase{iiii(1, 5, 0, 0), false}));

// The old buffer stays with the old node (its followers may still read it); the moved master
// gets one of its own for its new line and node.
TEST_F(Reconfiguration, MovedMasterAttachesOnItsNewLineWithAFreshBuffer) {
  auto a = node("A", iiii(1, 5));
  ASSERT_EQ(a->init(0x185), 0);
  CMSG* buf = a->rx_buffer();
  IIII v = iiii(2, 5);
  a->set_value(&v);
  ASSERT_TRUE(a->has_changed());
  ASSERT_EQ(a->init(0x185), 0);
  EXPECT_EQ(a->line_ptr()->line(), 2);
  EXPECT_NE(a->rx_buffer(), buf);
  EXPECT_EQ(registry(), std::vector<D_can*>{a.get()});
  vbus::inject(1, make_frame(0x185, {1}));
  can_looping();
  EXPECT_EQ(buffer_ids(*a), std::vector<int32_t>{0x185});
}

TEST_F(Reconfiguration, NullRecordDoesNothing) {
  auto a = node("A", iiii(1, 5));
  ASSERT_EQ(a->init(0x185), 0);
  log().clear();
  a->set_value(nullptr);
  EXPECT_EQ(log().count("PUMPS"), 0u);
  EXPECT_EQ(a->value(), iiii(1, 5));
  EXPECT_GT(a->handle(), 0);
}

TEST_F(Reconfiguration, FollowersOfAMovedMasterAreNotTold) {
  auto a = node("A", iiii(1, 5));
  auto b = node("B", iiii(1, 5));
  ASSERT_EQ(a->init(0x185), 0);
  ASSERT_EQ(b->init(0x285), 0);
  const NTCAN_HANDLE h = b->handle();
  CMSG* buf = b->rx_buffer();
  IIII v = iiii(1, 6);
  a->set_value(&v);
  EXPECT_EQ(b->handle(), h);
  EXPECT_EQ(b->rx_buffer(), buf);
  EXPECT_FALSE(b->has_changed());
}

TEST_F(Reconfiguration, ReceiveCycleRunsWhileNodesMoveAndAttach) {
  TAVIK_debug = DF_DAQ_5;  // the cycle also compares every master's record with .DEBUG_ID
  auto a = node("A", iiii(1, 5));
  auto b = node("B", iiii(1, 6));
  ASSERT_EQ(b->init(0x186), 0);
  std::atomic<bool> stop{false};
  std::thread cycle([&] {
    while (!stop.load()) can_looping();
  });
  for (int k = 0; k < 200; ++k) {
    IIII v = iiii(1, 5 + k % 3);  // node 6 makes A a follower of B
    a->set_value(&v);
    a->init(0x180 + v.i2_data);
  }
  stop = true;
  cycle.join();
  EXPECT_EQ(registry().front(), b.get());
  vbus::inject(0, make_frame(0x186, {1}));
  can_looping();
  EXPECT_EQ(buffer_ids(*b), std::vector<int32_t>{0x186});
}

}  // namespace
