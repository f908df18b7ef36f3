// Opening and closing a line: the decision table of can_open(handle, openalways), the opening
// steps with their reports, and can_close().
#include <vector>

#include "line_fixture.h"

namespace canline_test {
namespace {

constexpr int kLine = 3;
constexpr int kNet = kLine - 1;

enum class LineHandle { kOpen, kNone, kZero, kNegative };
enum class Caller { kMinusOne, kZero, kNegative, kOwn };
enum class Outcome { kOpens, kNoCall, kRefused };

struct DecisionRow {
  const char* name;
  LineHandle line;
  Caller caller;
  bool openalways;
  Outcome outcome;
};

std::ostream& operator<<(std::ostream& os, const DecisionRow& r) {
  return os << r.name;
}

class CanOpenDecision : public LineTest, public ::testing::WithParamInterface<DecisionRow> {};

TEST_P(CanOpenDecision, Row) {
  const DecisionRow& row = GetParam();
  canline& l = make_line(kLine);

  // The line is opened for real first, so that is_open() is true and every change shows.
  ASSERT_EQ(l.can_open(), 0);
  const NTCAN_HANDLE opened = l.handle();
  switch (row.line) {
    case LineHandle::kOpen:
      break;
    case LineHandle::kNone:
      canline_test_access::set_handle(l, -1);
      break;
    case LineHandle::kZero:
      canline_test_access::set_handle(l, 0);
      break;
    case LineHandle::kNegative:
      canline_test_access::set_handle(l, -7);
      break;
  }
  const NTCAN_HANDLE line_before = l.handle();
  ASSERT_TRUE(l.is_open());

  NTCAN_HANDLE own = -1;
  ASSERT_EQ(canOpen(kNet, 0, 10, 100, 1000, 1000, &own), 0);
  NTCAN_HANDLE h = -1;
  switch (row.caller) {
    case Caller::kMinusOne:
      h = -1;
      break;
    case Caller::kZero:
      h = 0;
      break;
    case Caller::kNegative:
      h = -5;
      break;
    case Caller::kOwn:
      h = own;
      break;
  }
  const NTCAN_HANDLE caller_before = h;
  const int handles_before = vbus::open_handles(kNet);
  clock().clear_sleeps();

  const int r = l.can_open(h, row.openalways);

  switch (row.outcome) {
    case Outcome::kOpens:
      EXPECT_EQ(r, 0);
      EXPECT_GT(h, 0);
      EXPECT_NE(h, caller_before);
      EXPECT_NE(h, opened);
      EXPECT_EQ(vbus::open_handles(kNet), handles_before + 1);
      EXPECT_EQ(clock().sleeps(), std::vector<int64_t>{kHandlePause});
      EXPECT_TRUE(l.is_open());
      // Only a line without a handle (-1) takes the new handle as its own.
      EXPECT_EQ(l.handle(), row.line == LineHandle::kNone ? h : line_before);
      break;
    case Outcome::kNoCall:
      EXPECT_EQ(r, 0);
      EXPECT_EQ(h, caller_before);
      EXPECT_TRUE(l.is_open());
      break;
    case Outcome::kRefused:
      EXPECT_EQ(r, -1);
      EXPECT_EQ(h, -1);
      EXPECT_FALSE(l.is_open());
      break;
  }
  if (row.outcome != Outcome::kOpens) {
    EXPECT_EQ(l.handle(), line_before);
    EXPECT_EQ(vbus::open_handles(kNet), handles_before);
    EXPECT_TRUE(clock().sleeps().empty());
  }
  EXPECT_TRUE(log().entries().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, CanOpenDecision,
    ::testing::Values(
        DecisionRow{"open_minus1_false", LineHandle::kOpen, Caller::kMinusOne, false,
                    Outcome::kOpens},
        DecisionRow{"open_minus1_true", LineHandle::kOpen, Caller::kMinusOne, true,
                    Outcome::kOpens},
        DecisionRow{"open_own_true", LineHandle::kOpen, Caller::kOwn, true, Outcome::kOpens},
        DecisionRow{"open_zero_true", LineHandle::kOpen, Caller::kZero, true, Outcome::kOpens},
        DecisionRow{"open_negative_true", LineHandle::kOpen, Caller::kNegative, true,
                    Outcome::kOpens},
        DecisionRow{"open_own_false", LineHandle::kOpen, Caller::kOwn, false, Outcome::kNoCall},
        DecisionRow{"open_zero_false", LineHandle::kOpen, Caller::kZero, false, Outcome::kRefused},
        DecisionRow{"open_negative_false", LineHandle::kOpen, Caller::kNegative, false,
                    Outcome::kRefused},
        DecisionRow{"none_minus1_false", LineHandle::kNone, Caller::kMinusOne, false,
                    Outcome::kRefused},
        DecisionRow{"none_own_false", LineHandle::kNone, Caller::kOwn, false, Outcome::kRefused},
        DecisionRow{"zero_own_false", LineHandle::kZero, Caller::kOwn, false, Outcome::kRefused},
        DecisionRow{"zero_minus1_false", LineHandle::kZero, Caller::kMinusOne, false,
                    Outcome::kRefused},
        DecisionRow{"negative_own_false", LineHandle::kNegative, Caller::kOwn, false,
                    Outcome::kRefused},
        DecisionRow{"none_minus1_true", LineHandle::kNone, Caller::kMinusOne, true,
                    Outcome::kOpens},
        DecisionRow{"none_own_true", LineHandle::kNone, Caller::kOwn, true, Outcome::kOpens},
        DecisionRow{"zero_minus1_true", LineHandle::kZero, Caller::kMinusOne, true,
                    Outcome::kOpens},
        DecisionRow{"negative_zero_true", LineHandle::kNegative, Caller::kZero, true,
                    Outcome::kOpens}),
    [](const ::testing::TestParamInfo<DecisionRow>& i) { return std::string(i.param.name); });

class LineOpen : public LineTest {};

TEST_F(LineOpen, NoCallSuccessLeavesTheScriptedOpenUntouched) {
  canline& l = make_line(kLine);
  NTCAN_HANDLE h = -1;
  ASSERT_EQ(l.can_open(h, false), -1);  // line not open yet
  ASSERT_EQ(l.can_open(h, true), 0);
  vbus::script_open(kNet, {NTCAN_INSUFFICIENT_RESOURCES});
  EXPECT_EQ(l.can_open(h, false), 0);
  // Had can_open called the driver, it would have used up the scripted failure.
  NTCAN_HANDLE probe = -1;
  EXPECT_EQ(canOpen(kNet, 0, 10, 100, 1000, 1000, &probe), NTCAN_INSUFFICIENT_RESOURCES);
}

TEST_F(LineOpen, OpensNetWithBaudrateAndTakesFirstHandleAsLineHandle) {
  canline& l = make_line(kLine, NTCAN_BAUD_500);
  NTCAN_HANDLE h = -1;
  ASSERT_EQ(l.can_open(h, false), -1);
  ASSERT_EQ(l.can_open(h, true), 0);
  EXPECT_GT(h, 0);
  EXPECT_EQ(l.handle(), h);
  EXPECT_TRUE(l.is_open());
  EXPECT_EQ(vbus::baudrate(kNet), NTCAN_BAUD_500);
  EXPECT_EQ(vbus::open_handles(kNet), 1);
  EXPECT_EQ(vbus::open_handles(), 1);

  // A second node asking with -1 gets a handle of its own; asking again with it is free.
  NTCAN_HANDLE h2 = -1;
  ASSERT_EQ(l.can_open(h2, false), 0);
  EXPECT_NE(h2, h);
  EXPECT_EQ(l.handle(), h);
  EXPECT_EQ(vbus::open_handles(kNet), 2);
  EXPECT_EQ(l.can_open(h2, false), 0);
  EXPECT_EQ(vbus::open_handles(kNet), 2);
}

TEST_F(LineOpen, FailedOpenReportedOncePerStreak) {
  canline& l = make_line(kLine);
  NTCAN_HANDLE h = 1234;
  vbus::script_open(kNet, {NTCAN_NET_NOT_FOUND, NTCAN_NET_NOT_FOUND});
  EXPECT_EQ(l.can_open(h, true), NTCAN_NET_NOT_FOUND);
  EXPECT_EQ(h, -1);
  EXPECT_EQ(l.can_open(), NTCAN_NET_NOT_FOUND);
  EXPECT_EQ(l.handle(), -1);
  EXPECT_FALSE(l.is_open());
  EXPECT_EQ(messages("canOpen returned: "),
            std::vector<std::string>{"Line : 3mess: NTCAN_NET_NOT_FOUND(0x00000013)"});
  EXPECT_TRUE(clock().sleeps().empty());  // no pause after a failed open

  ASSERT_EQ(l.can_open(), 0);
  vbus::script_open(kNet, {NTCAN_SOCK_CONN_TIMEOUT});
  NTCAN_HANDLE h2 = -1;
  EXPECT_EQ(l.can_open(h2, true), NTCAN_SOCK_CONN_TIMEOUT);
  EXPECT_EQ(messages("canOpen returned: "),
            (std::vector<std::string>{"Line : 3mess: NTCAN_NET_NOT_FOUND(0x00000013)",
                                      "Line : 3mess: NTCAN_SOCK_CONN_TIMEOUT(0x00000180)"}));
  EXPECT_FALSE(l.is_open());
}

TEST_F(LineOpen, SuccessWithoutDriverCallEndsTheStreakToo) {
  canline& l = make_line(kLine);
  ASSERT_EQ(l.can_open(), 0);
  NTCAN_HANDLE own = -1;
  ASSERT_EQ(l.can_open(own, false), 0);
  vbus::script_open(kNet, {NTCAN_NET_NOT_FOUND, NTCAN_NET_NOT_FOUND});
  NTCAN_HANDLE h = -1;
  EXPECT_EQ(l.can_open(h, false), NTCAN_NET_NOT_FOUND);
  EXPECT_EQ(l.can_open(own, false), 0);
  EXPECT_EQ(l.can_open(h, false), NTCAN_NET_NOT_FOUND);
  EXPECT_EQ(log().count("canOpen returned: "), 2u);
}

TEST_F(LineOpen, FailedBaudrateReportsEveryTimeAndClosesTheNewHandle) {
  canline& l = make_line(kLine);
  ASSERT_EQ(l.can_open(), 0);
  const NTCAN_HANDLE line_handle = l.handle();
  NTCAN_HANDLE own = -1;
  ASSERT_EQ(l.can_open(own, false), 0);
  const int handles = vbus::open_handles();

  vbus::script_baudrate(kNet, {NTCAN_INVALID_PARAMETER, NTCAN_INVALID_PARAMETER});
  NTCAN_HANDLE h = own;
  EXPECT_EQ(l.can_open(h, true), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(h, own);
  EXPECT_FALSE(l.is_open());
  NTCAN_HANDLE none = -1;
  EXPECT_EQ(l.can_open(none, false), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(none, -1);

  EXPECT_EQ(l.handle(), line_handle);
  EXPECT_EQ(vbus::open_handles(), handles);
  EXPECT_EQ(messages("canSetBaudrate returned: "),
            (std::vector<std::string>{"NTCAN_INVALID_PARAMETER(0x00000016)",
                                      "NTCAN_INVALID_PARAMETER(0x00000016)"}));
  EXPECT_EQ(log().count("canOpen returned: "), 0u);
}

TEST_F(LineOpen, FailedBaudrateLeavesAClosedLineClosed) {
  canline& l = make_line(kLine);
  vbus::script_baudrate(kNet, {NTCAN_INVALID_PARAMETER});
  EXPECT_EQ(l.can_open(), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(l.handle(), -1);
  EXPECT_EQ(vbus::open_handles(), 0);
  EXPECT_EQ(l.can_open(), 0);
  EXPECT_GT(l.handle(), 0);
}

class LineClose : public LineTest {};

TEST_F(LineClose, WithoutHandleReturnsAtOnce) {
  canline& l = make_line(kLine);
  ASSERT_EQ(l.can_open(), 0);
  canline_test_access::set_handle(l, -1);
  const int handles = vbus::open_handles();
  clock().clear_sleeps();
  EXPECT_EQ(l.can_close(), 0);
  EXPECT_TRUE(clock().sleeps().empty());
  EXPECT_TRUE(l.is_open());  // nothing else changes
  EXPECT_EQ(vbus::open_handles(), handles);
  EXPECT_TRUE(log().entries().empty());
}

TEST_F(LineClose, ClosesTheLineHandle) {
  canline& l = make_line(kLine);
  ASSERT_EQ(l.can_open(), 0);
  clock().clear_sleeps();
  EXPECT_EQ(l.can_close(), 0);
  EXPECT_EQ(l.handle(), -1);
  EXPECT_FALSE(l.is_open());
  EXPECT_EQ(vbus::open_handles(kNet), 0);
  EXPECT_EQ(clock().sleeps(), std::vector<int64_t>{kHandlePause});
  EXPECT_TRUE(log().entries().empty());
  EXPECT_EQ(l.can_close(), 0);  // a second close has nothing to do
  EXPECT_EQ(clock().sleeps().size(), 1u);
}

TEST_F(LineClose, FailedCloseIsReportedAndTheHandleCountsAsClosed) {
  canline& l = make_line(kLine);
  ASSERT_EQ(l.can_open(), 0);
  vbus::script_close(kNet, {NTCAN_INVALID_HANDLE});
  EXPECT_EQ(l.can_close(), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(l.handle(), -1);
  EXPECT_FALSE(l.is_open());
  EXPECT_EQ(messages("canline::canClose returned: "),
            std::vector<std::string>{"NTCAN_INVALID_HANDLE(0x0000004d)"});
}

TEST_F(LineClose, FreshLineIsClosed) {
  canline l;
  EXPECT_EQ(l.handle(), -1);
  EXPECT_FALSE(l.is_open());
  EXPECT_FALSE(l.thread_running());
  EXPECT_EQ(l.board_status.load(), 0u);
  EXPECT_FALSE(l.reset_first_.load());
  EXPECT_FALSE(l.ThreadStop_.load());
  EXPECT_TRUE(l.line_ip_.empty());
}

}  // namespace
}  // namespace canline_test
