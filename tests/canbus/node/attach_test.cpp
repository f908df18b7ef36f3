// Bus attachment: master and follower roles, direct attachment, line creation, giving handles
// back, the node registry, and the ownership rules that keep one node from closing or
// unregistering another.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "node_test_util.h"
#include "support/canbus_fixture.h"

namespace {

using canbus_test::CanbusTest;
using canbus_test::make_frame;
using node_test::buffer_ids;
using node_test::enabled;
using node_test::iiii;
using node_test::line_count;
using node_test::make_node;
using node_test::registry;

class Attach : public CanbusTest {
 protected:
  std::unique_ptr<D_can> node(const std::string& name, IIII v) { return make_node(&loc_, name, v); }
  EqFct loc_{"LOC"};
};

using SharedAttachment = Attach;

TEST_F(SharedAttachment, MasterAndFollowerShareHandleBufferAndNodeState) {
  auto a = node("A", iiii(1, 5));
  auto b = node("B", iiii(1, 5));
  ASSERT_EQ(a->init(0x185), 0);
  ASSERT_EQ(b->init(0x285), 0);

  EXPECT_TRUE(a->isactive());
  EXPECT_FALSE(b->isactive());
  EXPECT_EQ(registry(), std::vector<D_can*>{a.get()});
  ASSERT_GT(a->handle(), 0);
  EXPECT_EQ(b->handle(), a->handle());
  EXPECT_EQ(b->line_ptr(), a->line_ptr());
  ASSERT_NE(a->rx_buffer(), nullptr);
  EXPECT_EQ(b->rx_buffer(), a->rx_buffer());
  EXPECT_EQ(b->rx_count(), a->rx_count());
  EXPECT_EQ(b->ret_ptr(), a->ret_ptr());
  EXPECT_EQ(b->alive_ptr(), a->alive_ptr());
  EXPECT_EQ(*a->ret_ptr(), 0);
  EXPECT_EQ(*a->rx_count(), 0);

  // The master starts "Preoperational"; the follower's .ALIVE shows the shared integer.
  EXPECT_EQ(a->alive_prop()->value(), 15);
  EXPECT_EQ(a->condition_prop()->value(), "Preoperational");
  EXPECT_EQ(b->alive_prop()->value(), 15);
  a->alive_prop()->set_value(0x05);
  EXPECT_EQ(b->alive_prop()->value(), 5);

  EXPECT_TRUE(enabled(a->handle(), 0x185));
  EXPECT_TRUE(enabled(a->handle(), 0x285));
  vbus::inject(0, make_frame(0x185, {1}));
  vbus::inject(0, make_frame(0x285, {2}));
  can_looping();
  EXPECT_EQ(buffer_ids(*a), (std::vector<int32_t>{0x185, 0x285}));
  EXPECT_EQ(buffer_ids(*b), (std::vector<int32_t>{0x185, 0x285}));
}

TEST_F(SharedAttachment, TwoNodesHaveTwoMasters) {
  auto a = node("A", iiii(1, 5));
  auto b = node("B", iiii(1, 6));
  ASSERT_EQ(a->init(0x185), 0);
  ASSERT_EQ(b->init(0x186), 0);
  EXPECT_TRUE(a->isactive());
  EXPECT_TRUE(b->isactive());
  EXPECT_EQ(registry(), (std::vector<D_can*>{a.get(), b.get()}));
  EXPECT_NE(a->handle(), b->handle());
  EXPECT_NE(a->rx_buffer(), b->rx_buffer());
  EXPECT_EQ(a->line_ptr(), b->line_ptr());
  EXPECT_EQ(line_count(), 1u);
  vbus::inject(0, make_frame(0x186, {1}));
  can_looping();
  EXPECT_TRUE(buffer_ids(*a).empty());
  EXPECT_EQ(buffer_ids(*b), std::vector<int32_t>{0x186});
}

TEST_F(SharedAttachment, MasterAttachingAgainKeepsHandleAndEntry) {
  auto a = node("A", iiii(1, 5));
  ASSERT_EQ(a->init(0x185), 0);
  const NTCAN_HANDLE h = a->handle();
  CMSG* buf = a->rx_buffer();
  const int handles = vbus::open_handles();
  a->alive_prop()->set_value(0x05);
  ASSERT_EQ(a->init(0x85), 0);
  EXPECT_EQ(a->handle(), h);
  EXPECT_EQ(a->rx_buffer(), buf);
  EXPECT_EQ(a->alive_prop()->value(), 5);
  EXPECT_EQ(registry(), std::vector<D_can*>{a.get()});
  EXPECT_EQ(vbus::open_handles(), handles);
  EXPECT_TRUE(enabled(h, 0x85));
  EXPECT_TRUE(enabled(h, 0x185));
}

TEST_F(SharedAttachment, FailedOpenLeavesMasterRegisteredAndLineSupervised) {
  auto a = node("A", iiii(1, 5));
  vbus::script_open(0, {NTCAN_NET_NOT_FOUND});
  EXPECT_EQ(a->init(0x185), NTCAN_NET_NOT_FOUND);
  EXPECT_TRUE(a->isactive());
  EXPECT_EQ(registry(), std::vector<D_can*>{a.get()});
  EXPECT_NE(a->rx_buffer(), nullptr);
  EXPECT_EQ(a->handle(), -1);
  ASSERT_NE(a->line_ptr(), nullptr);
  EXPECT_FALSE(a->line_ptr()->is_open());
  EXPECT_TRUE(a->line_ptr()->thread_running());
  EXPECT_EQ(line_count(), 1u);
  EXPECT_EQ(log().count("canOpen returned: "), 1u);
  EXPECT_EQ(vbus::open_handles(), 0);
}

TEST_F(SharedAttachment, FollowerOfMasterWithoutOpenLineHasNoHandle) {
  auto a = node("A", iiii(1, 5));
  auto b = node("B", iiii(1, 5));
  vbus::script_open(0, {NTCAN_NET_NOT_FOUND});
  ASSERT_EQ(a->init(0x185), NTCAN_NET_NOT_FOUND);
  EXPECT_EQ(b->init(0x285), NTCAN_INVALID_HANDLE);  // enabling on handle -1
  EXPECT_EQ(b->handle(), -1);
  EXPECT_EQ(b->rx_buffer(), a->rx_buffer());
  EXPECT_FALSE(b->isactive());
}

// A new master pauses after opening its handle without holding the attachment lock, so that
// the receive cycle and other attachments go on meanwhile.
TEST_F(SharedAttachment, NewMasterPausesAfterOpeningWithoutTheLock) {
  auto first = node("FIRST", iiii(1, 1));
  ASSERT_EQ(first->init(0x181), 0);
  ASSERT_TRUE(clock().wait_for_sleepers(1));  // the line's supervision thread
  clock().set_auto_advance_below(1);          // every pause now waits for the test
  auto a = node("A", iiii(1, 5));
  std::thread t([&] { EXPECT_EQ(a->init(0x185), 0); });
  ASSERT_TRUE(clock().wait_for_sleepers(2));
  {
    std::unique_lock<std::mutex> lk(D_can::mx_loop, std::try_to_lock);
    EXPECT_TRUE(lk.owns_lock());
  }
  clock().advance(5'000'000);
  t.join();
  clock().set_auto_advance_below(1'000'000'000);
  EXPECT_TRUE(a->isactive());
  EXPECT_GT(a->handle(), 0);
  EXPECT_NE(a->handle(), first->handle());
  EXPECT_TRUE(enabled(a->handle(), 0x185));
}

// Two properties of one node and one of another node attaching at once, then giving their
// handles back at once: one master per node, the follower on its handle, and the handle the
// follower may have opened ahead is given back.
TEST_F(SharedAttachment, AttachingAndClosingFromSeveralThreads) {
  auto first = node("FIRST", iiii(1, 1));
  ASSERT_EQ(first->init(0x181), 0);
  const int base = vbus::open_handles();
  for (int k = 0; k < 20; ++k) {
    std::unique_ptr<D_can> p[3] = {node("A", iiii(1, 5)), node("B", iiii(1, 5)),
                                   node("C", iiii(1, 6))};
    const int ids[3] = {0x185, 0x285, 0x186};
    auto each = [&](auto fn) {
      std::vector<std::thread> t;
      for (int i = 0; i < 3; ++i) t.emplace_back(fn, i);
      for (auto& th : t) th.join();
    };
    each([&](int i) { EXPECT_EQ(p[i]->init(ids[i]), 0); });
    D_can* a = p[0].get();
    D_can* b = p[1].get();
    ASSERT_NE(a->isactive(), b->isactive());
    EXPECT_TRUE(p[2]->isactive());
    EXPECT_EQ(a->handle(), b->handle());
    EXPECT_EQ(vbus::open_handles(), base + 2);
    EXPECT_TRUE(enabled(a->handle(), 0x185));
    EXPECT_TRUE(enabled(a->handle(), 0x285));
    each([&](int i) { EXPECT_EQ(p[i]->can_close(), 0); });
    EXPECT_EQ(vbus::open_handles(), base);
  }
}

TEST_F(SharedAttachment, FlagOtherThanOneIsSharedAttachmentReportingSuccess) {
  auto a = node("A", iiii(1, 5));
  vbus::script_open(0, {NTCAN_NET_NOT_FOUND});
  EXPECT_EQ(a->init(0x185, 0), 0);
  EXPECT_TRUE(a->isactive());
  EXPECT_EQ(registry(), std::vector<D_can*>{a.get()});
}

// ---------------------------------------------------------------------------------------------

class LineNumberCheck : public Attach, public ::testing::WithParamInterface<int> {};

TEST_P(LineNumberCheck, RefusedBeforeAnythingHappens) {
  auto a = node("A", iiii(GetParam(), 5, 0x185));
  EXPECT_EQ(a->init(), -1);
  EXPECT_EQ(a->init(0x185), -1);
  EXPECT_EQ(a->init(0x185, 1), -1);
  EXPECT_EQ(a->init(0x185, 0), 0);
  EXPECT_EQ(a->alive_ptr(), nullptr);
  EXPECT_EQ(a->rx_buffer(), nullptr);
  EXPECT_EQ(a->line_ptr(), nullptr);
  EXPECT_FALSE(a->isactive());
  EXPECT_TRUE(registry().empty());
  EXPECT_EQ(line_count(), 0u);
  EXPECT_EQ(vbus::open_handles(), 0);
}

INSTANTIATE_TEST_SUITE_P(OutOfRange, LineNumberCheck,
                         ::testing::Values(0, 21, -1, -2147483647 - 1, 2147483647));

// ---------------------------------------------------------------------------------------------

using DirectAttachment = Attach;

TEST_F(DirectAttachment, EnablesOnlyPositiveIdentifiersOnItsOwnHandle) {
  auto a = node("A", iiii(1, 0, 0x181, 0));
  ASSERT_EQ(a->init(), 0);
  EXPECT_EQ(vbus::enabled_ids(a->handle()), std::vector<int32_t>{0x181});
  EXPECT_FALSE(a->isactive());
  EXPECT_TRUE(registry().empty());
  EXPECT_EQ(a->rx_buffer(), nullptr);
  ASSERT_NE(a->alive_ptr(), nullptr);
  EXPECT_EQ(a->alive_prop()->get_ptr(), a->alive_ptr());
}

TEST_F(DirectAttachment, FirstFailingIdentifierEndsTheAttachment) {
  auto a = node("A", iiii(1, 5, 0x900, 0x181));  // 0x900 is no 11-bit identifier
  EXPECT_EQ(a->init(), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(vbus::enabled_ids(a->handle()), std::vector<int32_t>{5});
}

TEST_F(DirectAttachment, FlagOneEnablesOnlyTheGivenIdentifier) {
  auto a = node("A", iiii(1, 5, 6, 7));
  ASSERT_EQ(a->init(0x85, 1), 0);
  EXPECT_EQ(vbus::enabled_ids(a->handle()), std::vector<int32_t>{0x85});
  EXPECT_FALSE(a->isactive());
  EXPECT_TRUE(registry().empty());
}

TEST_F(DirectAttachment, AlreadyEnabledIdentifierIsSuccess) {
  auto a = node("A", iiii(1, 5));
  ASSERT_EQ(a->init(), 0);
  EXPECT_EQ(a->AddIdent(5), 0);
  EXPECT_EQ(a->AddIdent(0x900), NTCAN_INVALID_PARAMETER);
}

// ---------------------------------------------------------------------------------------------

using LineCreation = Attach;

TEST_F(LineCreation, BaudrateZeroOpensWith125kAndLaterRatesAreIgnored) {
  auto a = node("A", iiii(1, 5));
  auto b = node("B", iiii(1, 6));
  auto c = node("C", iiii(3, 6));
  b->baudrate_prop()->set_value(2);
  c->baudrate_prop()->set_value(4);
  ASSERT_EQ(a->init(0x185), 0);
  EXPECT_EQ(vbus::baudrate(0), 6);
  ASSERT_EQ(b->init(0x186), 0);
  EXPECT_EQ(vbus::baudrate(0), 6);
  EXPECT_EQ(a->line_ptr()->baud(), 6);
  ASSERT_EQ(c->init(), 0);
  EXPECT_EQ(vbus::baudrate(2), 4);
  EXPECT_EQ(line_count(), 2u);
  EXPECT_EQ(c->line_ptr()->line(), 3);
}

TEST_F(LineCreation, FirstHandleOfALineIsTheLinesOwn) {
  auto a = node("A", iiii(1, 5));
  auto b = node("B", iiii(1, 6));
  ASSERT_EQ(a->init(0x185), 0);
  EXPECT_EQ(a->handle(), a->line_ptr()->handle());
  ASSERT_EQ(b->init(0x186), 0);
  EXPECT_NE(b->handle(), b->line_ptr()->handle());
  EXPECT_EQ(vbus::open_handles(0), 2);
}

// ---------------------------------------------------------------------------------------------

using CloseAndUnregister = Attach;

TEST_F(CloseAndUnregister, MasterGivesItsOwnHandleBackAndKeepsItsBuffer) {
  auto first = node("FIRST", iiii(1, 1));
  ASSERT_EQ(first->init(), 0);  // opens the line
  auto a = node("A", iiii(1, 5));
  ASSERT_EQ(a->init(0x185), 0);
  CMSG* buf = a->rx_buffer();
  EXPECT_EQ(vbus::open_handles(), 2);
  EXPECT_EQ(a->can_close(), 0);
  EXPECT_EQ(vbus::open_handles(), 1);
  EXPECT_EQ(a->handle(), -1);
  EXPECT_EQ(a->rx_buffer(), buf);
  EXPECT_TRUE(a->isactive());
  EXPECT_EQ(registry(), std::vector<D_can*>{a.get()});
  EXPECT_EQ(a->can_close(), 0);  // a second close does nothing

  // A closed master attaching again gets a new handle and keeps its buffer.
  ASSERT_EQ(a->init(0x185), 0);
  EXPECT_GT(a->handle(), 0);
  EXPECT_EQ(a->rx_buffer(), buf);
  EXPECT_EQ(vbus::open_handles(), 2);
}

TEST_F(CloseAndUnregister, TheLinesOwnHandleStaysOpen) {
  auto a = node("A", iiii(1, 5));
  ASSERT_EQ(a->init(0x185), 0);
  const NTCAN_HANDLE h = a->handle();
  EXPECT_EQ(a->can_close(), 0);
  EXPECT_EQ(vbus::open_handles(), 1);
  EXPECT_EQ(a->line_ptr()->handle(), h);
  EXPECT_TRUE(a->line_ptr()->is_open());
}

TEST_F(CloseAndUnregister, FailingCloseIsLoggedAndTheHandleForgotten) {
  auto first = node("FIRST", iiii(1, 1));
  ASSERT_EQ(first->init(), 0);
  auto a = node("A", iiii(1, 5));
  ASSERT_EQ(a->init(0x185), 0);
  vbus::script_close(0, {NTCAN_INVALID_DRIVER});
  // The line's supervision thread must be in its start-up pause before the log is cleared.
  ASSERT_TRUE(clock().wait_for_sleepers(1));
  clock().clear_sleeps();
  EXPECT_EQ(a->can_close(), NTCAN_INVALID_DRIVER);
  EXPECT_EQ(a->handle(), -1);
  ASSERT_EQ(log().count("D_can::can_close returned: "), 1u);
  EXPECT_EQ(log().with_label("D_can::can_close returned: ")[0].message,
            can_error_str(NTCAN_INVALID_DRIVER));
  EXPECT_EQ(clock().sleeps(), std::vector<int64_t>{5'000'000});
}

TEST_F(CloseAndUnregister, FollowerForgetsItsCopiesOnly) {
  auto a = node("A", iiii(1, 5));
  auto b = node("B", iiii(1, 5));
  ASSERT_EQ(a->init(0x185), 0);
  ASSERT_EQ(b->init(0x285), 0);
  const int handles = vbus::open_handles();
  EXPECT_EQ(b->can_close(), 0);
  EXPECT_EQ(b->handle(), -1);
  EXPECT_EQ(b->rx_buffer(), nullptr);
  EXPECT_EQ(b->rx_count(), nullptr);
  EXPECT_EQ(b->ret_ptr(), nullptr);
  EXPECT_EQ(b->alive_ptr(), nullptr);
  EXPECT_EQ(vbus::open_handles(), handles);
  EXPECT_EQ(b->dellist(), 0);
  EXPECT_EQ(registry(), std::vector<D_can*>{a.get()});
  vbus::inject(0, make_frame(0x285, {1}));
  can_looping();
  EXPECT_EQ(buffer_ids(*a), std::vector<int32_t>{0x285});
}

TEST_F(CloseAndUnregister, DirectAttachmentGivesItsHandleBack) {
  auto first = node("FIRST", iiii(1, 1));
  ASSERT_EQ(first->init(), 0);
  auto a = node("A", iiii(1, 5));
  ASSERT_EQ(a->init(), 0);
  EXPECT_EQ(vbus::open_handles(), 2);
  EXPECT_EQ(a->can_close(), 0);
  EXPECT_EQ(vbus::open_handles(), 1);
  EXPECT_EQ(a->alive_ptr(), nullptr);
}

TEST_F(CloseAndUnregister, DelIdentOnlyOnTheMaster) {
  auto a = node("A", iiii(1, 5));
  auto b = node("B", iiii(1, 5));
  auto d = node("D", iiii(1, 7));
  ASSERT_EQ(a->init(0x185), 0);
  ASSERT_EQ(b->init(0x285), 0);
  ASSERT_EQ(d->init(), 0);
  EXPECT_EQ(b->DelIdent(0x185), 0);
  EXPECT_TRUE(enabled(a->handle(), 0x185));
  EXPECT_EQ(d->DelIdent(7), 0);
  EXPECT_TRUE(enabled(d->handle(), 7));
  EXPECT_EQ(a->DelIdent(0x285), 0);
  EXPECT_FALSE(enabled(a->handle(), 0x285));
  EXPECT_EQ(a->DelIdent(0x285), NTCAN_ID_NOT_ENABLED);
}

TEST_F(CloseAndUnregister, DellistRemovesTheMaster) {
  auto a = node("A", iiii(1, 5));
  auto b = node("B", iiii(1, 6));
  auto c = node("C", iiii(1, 7));
  ASSERT_EQ(a->init(0), 0);
  ASSERT_EQ(b->init(0), 0);
  ASSERT_EQ(c->init(0), 0);
  EXPECT_EQ(b->dellist(), 0);
  EXPECT_EQ(registry(), (std::vector<D_can*>{a.get(), c.get()}));
  EXPECT_EQ(b->dellist(), 0);
  EXPECT_EQ(registry(), (std::vector<D_can*>{a.get(), c.get()}));
}

TEST_F(CloseAndUnregister, DestroyedMasterLeavesTheRegistryAndItsFollowersTheBuffer) {
  auto a = node("A", iiii(1, 5));
  auto b = node("B", iiii(1, 5));
  ASSERT_EQ(a->init(0x185), 0);
  ASSERT_EQ(b->init(0x285), 0);
  CMSG* buf = b->rx_buffer();
  a.reset();
  EXPECT_TRUE(registry().empty());
  EXPECT_EQ(can_looping(), 0);  // never reaches the destroyed master
  // The buffer lives on with the follower (ASan checks this access).
  buf[0].id = 0x123;
  EXPECT_EQ(b->rx_buffer()[0].id, 0x123);
  EXPECT_EQ(b->alive_prop()->value(), 15);

  // The follower attaching again becomes the new master with a buffer of its own.
  ASSERT_EQ(b->can_close(), 0);
  ASSERT_EQ(b->init(0x285), 0);
  EXPECT_TRUE(b->isactive());
  EXPECT_NE(b->rx_buffer(), nullptr);
  EXPECT_EQ(registry(), std::vector<D_can*>{b.get()});
}

// ---------------------------------------------------------------------------------------------

using Ownership = Attach;

// A, master of line 1 node 5, moves to node 6 where B is master; A moves again; B still
// receives.
TEST_F(Ownership, FormerMasterFollowingAnotherNeverClosesOrUnregistersIt) {
  auto a = node("A", iiii(1, 5));
  auto b = node("B", iiii(1, 6));
  ASSERT_EQ(a->init(0x185), 0);
  ASSERT_EQ(b->init(0x186), 0);
  const NTCAN_HANDLE hb = b->handle();

  IIII to6 = iiii(1, 6);
  a->set_value(&to6);
  EXPECT_EQ(registry(), std::vector<D_can*>{b.get()});
  ASSERT_EQ(a->init(0x286), 0);
  EXPECT_TRUE(a->isactive());  // once a master, .ACTIVE stays 1
  EXPECT_EQ(a->handle(), hb);  // a follower of B, not a second master
  EXPECT_EQ(a->rx_buffer(), b->rx_buffer());
  EXPECT_EQ(registry(), std::vector<D_can*>{b.get()});
  EXPECT_EQ(a->DelIdent(0x186), 0);
  EXPECT_TRUE(enabled(hb, 0x186));

  const int handles = vbus::open_handles();
  IIII to7 = iiii(1, 7);
  a->set_value(&to7);
  EXPECT_EQ(vbus::open_handles(), handles);
  EXPECT_TRUE(enabled(hb, 0x186));
  EXPECT_EQ(registry(), std::vector<D_can*>{b.get()});
  vbus::inject(0, make_frame(0x186, {9}));
  can_looping();
  EXPECT_EQ(buffer_ids(*b), std::vector<int32_t>{0x186});

  // A attaching at node 7 becomes its master with a buffer of its own, not B's.
  ASSERT_EQ(a->init(0x187), 0);
  EXPECT_EQ(registry(), (std::vector<D_can*>{b.get(), a.get()}));
  EXPECT_NE(a->rx_buffer(), b->rx_buffer());
  EXPECT_NE(a->handle(), hb);
}

TEST_F(Ownership, DirectHandleIsGivenBackWhenBecomingAFollower) {
  auto first = node("FIRST", iiii(1, 1));
  ASSERT_EQ(first->init(), 0);
  auto a = node("A", iiii(1, 5));
  auto b = node("B", iiii(1, 5));
  ASSERT_EQ(a->init(0x185), 0);
  ASSERT_EQ(b->init(), 0);
  EXPECT_EQ(vbus::open_handles(), 3);
  ASSERT_EQ(b->init(0x285), 0);
  EXPECT_EQ(b->handle(), a->handle());
  EXPECT_EQ(vbus::open_handles(), 2);
}

TEST_F(Ownership, HandleOfALostLineIsGivenBackOnReattach) {
  auto first = node("FIRST", iiii(1, 1));
  ASSERT_EQ(first->init(), 0);
  auto a = node("A", iiii(1, 5));
  ASSERT_EQ(a->init(0x185), 0);
  EXPECT_EQ(vbus::open_handles(), 2);
  // The line loses its own handle (as the supervision thread does on a lost line).
  ASSERT_EQ(first->line_ptr()->can_close(), 0);
  EXPECT_EQ(a->init(0x185), -1);
  EXPECT_EQ(vbus::open_handles(), 0);
  EXPECT_EQ(a->handle(), -1);
}

// The line reopened under a master that shared the line's first handle: its next attachment,
// or else the next receive cycle, gives it a working handle with its identifiers, shared with its
// follower. A handle of its own that still works is kept through a later reopen.
TEST_F(Ownership, MasterOnTheLinesOldHandleWorksAgainAfterTheLineReopens) {
  for (const bool attach : {true, false}) {
    SCOPED_TRACE(attach ? "attachment" : "receive cycle");
    const int lineno = attach ? 1 : 2;  // a new line each time: the master opens it
    auto a = node("A", iiii(lineno, 5));
    auto b = node("B", iiii(lineno, 5));
    ASSERT_EQ(a->init(0x185), 0);
    ASSERT_EQ(b->init(0x285), 0);
    canline* line = a->line_ptr();
    const NTCAN_HANDLE first = a->handle();
    ASSERT_EQ(line->handle(), first);

    ASSERT_EQ(line->can_close(), 0);
    ASSERT_EQ(line->can_open(), 0);
    if (attach) {
      ASSERT_EQ(a->init(0x85), 0);
    } else {
      EXPECT_EQ(can_looping(), 0);
    }
    const NTCAN_HANDLE renewed = a->handle();
    EXPECT_GT(renewed, 0);
    EXPECT_NE(renewed, first);
    can_looping();
    EXPECT_EQ(b->handle(), renewed);
    EXPECT_TRUE(enabled(renewed, 0x185));
    EXPECT_TRUE(enabled(renewed, 0x285));
    EXPECT_EQ(a->start_node(), 0);
    vbus::inject(lineno - 1, make_frame(0x285, {1}));
    can_looping();
    EXPECT_EQ(a->can_return(), 0);
    EXPECT_EQ(buffer_ids(*b), std::vector<int32_t>{0x285});

    ASSERT_EQ(line->can_close(), 0);
    ASSERT_EQ(line->can_open(), 0);
    can_looping();
    EXPECT_EQ(a->handle(), renewed);
    EXPECT_EQ(vbus::open_handles(lineno - 1), 2);  // the line's and the master's
  }
}

// A master that is destroyed or moves away leaves its followers reading nothing new; the next
// master of their node takes them over, with the identifiers they enabled.
TEST_F(Ownership, FollowersOfALeavingMasterReadNothingUntilTheNextMasterAttaches) {
  for (const bool destroy : {true, false}) {
    SCOPED_TRACE(destroy ? "destroyed" : "moved");
    auto a = node("A", iiii(1, 5));
    auto b = node("B", iiii(1, 5));
    ASSERT_EQ(a->init(0x705), 0);
    ASSERT_EQ(b->init(0x285), 0);
    vbus::inject(0, make_frame(0x705, {5}));
    can_looping();
    CMSG frames[D_can::kRxFrames];
    int n = -5;
    ASSERT_EQ(b->can_array(frames, &n), 0);
    ASSERT_EQ(b->alive_prop()->check_alive(5, frames, &n), 100);

    if (destroy) {
      a.reset();
    } else {
      IIII moved = iiii(1, 6);
      a->set_value(&moved);
    }
    can_looping();
    EXPECT_EQ(b->can_array(frames, &n), NTCAN_INVALID_HANDLE);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(b->alive_prop()->check_alive(5, frames, &n), 0);

    auto m = node("M", iiii(1, 5));
    ASSERT_EQ(m->init(0x185), 0);
    EXPECT_EQ(b->rx_buffer(), m->rx_buffer());
    EXPECT_EQ(b->handle(), m->handle());
    EXPECT_TRUE(enabled(m->handle(), 0x285));
    vbus::inject(0, make_frame(0x285, {1}));
    can_looping();
    EXPECT_EQ(b->can_array(frames, &n), 0);
    EXPECT_EQ(n, 1);
  }
}

TEST_F(Ownership, NoHandleLeaksAcrossAttachCloseAndMoveCycles) {
  auto first = node("FIRST", iiii(1, 1));
  ASSERT_EQ(first->init(), 0);
  auto m = node("M", iiii(1, 5));
  auto f = node("F", iiii(1, 5));
  auto d = node("D", iiii(1, 9, 0x189));
  const int base = vbus::open_handles();
  for (int k = 0; k < 5; ++k) {
    SCOPED_TRACE(k);
    ASSERT_EQ(m->init(0x185), 0);
    ASSERT_EQ(f->init(0x285), 0);
    ASSERT_EQ(d->init(), 0);
    EXPECT_EQ(vbus::open_handles(), base + 2);
    EXPECT_EQ(f->can_close(), 0);
    EXPECT_EQ(d->can_close(), 0);
    EXPECT_EQ(m->can_close(), 0);
    EXPECT_EQ(vbus::open_handles(), base);
    // Move the master back and forth between two nodes.
    IIII v = iiii(1, k % 2 == 0 ? 6 : 5);
    m->set_value(&v);
    ASSERT_EQ(m->init(0x180 + v.i2_data), 0);
    EXPECT_EQ(vbus::open_handles(), base + 1);
    v = iiii(1, 5);
    m->set_value(&v);
    if (k % 2 == 0) {
      EXPECT_EQ(vbus::open_handles(), base);
    }
    m->can_close();
    EXPECT_EQ(vbus::open_handles(), base);
    EXPECT_TRUE(registry().empty() || registry() == std::vector<D_can*>{m.get()});
  }
}

}  // namespace

namespace {

// A master that moves to another node and attaches there gets a new buffer: its old node's
// followers keep the old one and never see the new node's frames.
TEST_F(Ownership, MovedMasterDoesNotFeedItsOldFollowers) {
  auto a = node("A", iiii(1, 5));
  auto b = node("B", iiii(1, 5));
  ASSERT_EQ(a->init(0x185), 0);
  ASSERT_EQ(b->init(0x285), 0);
  CMSG* old_buffer = a->rx_buffer();

  IIII moved = iiii(1, 6);
  a->set_value(&moved);
  ASSERT_EQ(a->init(0x186), 0);
  EXPECT_NE(a->rx_buffer(), old_buffer);
  EXPECT_EQ(b->rx_buffer(), old_buffer);

  vbus::inject(0, make_frame(0x186, {6}));
  can_looping();
  EXPECT_EQ(buffer_ids(*a), std::vector<int32_t>{0x186});
  EXPECT_TRUE(buffer_ids(*b).empty());
}

// A follower left behind by a master that moved away becomes master on its next attachment with
// a handle of its own, not the copy of the handle its former master closed.
TEST_F(Ownership, OrphanedFollowerBecomingMasterOpensItsOwnHandle) {
  auto anchor = node("ANCHOR", iiii(1, 9));  // holds the line's own handle
  ASSERT_EQ(anchor->init(0x189), 0);
  auto a = node("A", iiii(1, 5));
  auto b = node("B", iiii(1, 5));
  ASSERT_EQ(a->init(0x185), 0);
  ASSERT_EQ(b->init(0x285), 0);
  const NTCAN_HANDLE old = a->handle();

  IIII moved = iiii(1, 6);
  a->set_value(&moved);  // closes A's handle, which B still holds a copy of
  ASSERT_EQ(b->init(0x185), 0);
  EXPECT_TRUE(b->isactive());
  EXPECT_GT(b->handle(), 0);
  EXPECT_NE(b->handle(), old);

  vbus::inject(0, make_frame(0x185, {5}));
  can_looping();
  EXPECT_EQ(buffer_ids(*b), std::vector<int32_t>{0x185});
}

}  // namespace
