// The supervision thread of a line, stepped pause by pause on the virtual clock, with scripted
// driver results.
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "line_fixture.h"

namespace canline_test {
namespace {

constexpr int kLine = 2;
constexpr int kNet = kLine - 1;
const std::string kGateway = "192.168.001.020";

using Pauses = std::vector<int64_t>;

class Supervision : public LineTest {
 protected:
  // A line with a usable gateway address, so that every reset the thread asks for runs wget.
  canline& gateway_line() {
    canline& l = make_line(kLine);
    std::string ip = kGateway;
    l.setlineip(ip);
    return l;
  }
};

TEST(CanControl, NullLineReturnsAtOnce) {
  tavik::ScopedVirtualClock clock;
  tavik::LogCapture log;
  EXPECT_EQ(can_control(nullptr), nullptr);
  EXPECT_TRUE(log.entries().empty());
  EXPECT_TRUE(clock->sleeps().empty());
}

TEST_F(Supervision, OpenLineIsFirstPolled61SecondsAfterStart) {
  canline& l = make_line(kLine);
  ASSERT_EQ(l.can_open(), 0);
  vbus::set_board_status(kNet, 17);
  const time_t t0 = TAVIKtime();
  start(l);
  EXPECT_EQ(messages("Inside can_control: "),
            std::vector<std::string>{"Line : 2, Handle: " + std::to_string(l.handle())});
  EXPECT_TRUE(messages("can_control  ").empty());  // decided after the start-up pause

  EXPECT_EQ(step(), 1);
  EXPECT_EQ(messages("can_control  "), std::vector<std::string>{"allow wget resets"});
  EXPECT_FALSE(l.deny_wget_reset_.load());
  EXPECT_EQ(log().count("3. canStatus returned: "), 0u);

  EXPECT_EQ(step(), 1);
  EXPECT_EQ(TAVIKtime() - t0, 61);
  EXPECT_EQ(messages("3. canStatus returned: "),
            std::vector<std::string>{"Line : 2boardstatus: 17"});
  EXPECT_EQ(l.board_status.load(), 17u);
}

TEST_F(Supervision, ClosedLineIsOpenedAtTheFirstCycle) {
  canline& l = make_line(5);
  start(l);
  EXPECT_EQ(messages("Inside can_control: "), std::vector<std::string>{"Line : 5, Handle: -1"});
  EXPECT_EQ(step(), 1);
  EXPECT_EQ(step(), 2);  // the pause grows after a successful open too
  EXPECT_GT(l.handle(), 0);
  EXPECT_TRUE(l.is_open());
  EXPECT_EQ(vbus::open_handles(4), 1);
  EXPECT_EQ(step(), 1);  // good status
  EXPECT_EQ(long_pauses(), (Pauses{60, 1, 2, 1}));
}

TEST_F(Supervision, BoardStatusChangesAreReportedOnce) {
  canline& l = make_line(kLine);
  ASSERT_EQ(l.can_open(), 0);
  start(l);
  step();
  for (int i = 0; i < 3; ++i) step();  // status 0, as stored at start: nothing to report
  EXPECT_EQ(log().count("3. canStatus returned: "), 0u);

  vbus::set_board_status(kNet, 7);
  for (int i = 0; i < 3; ++i) step();
  vbus::set_board_status(kNet, 0x80000000u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(step(), 1);
  EXPECT_EQ(
      messages("3. canStatus returned: "),
      (std::vector<std::string>{"Line : 2boardstatus: 7", "Line : 2boardstatus: 2147483648"}));
}

TEST_F(Supervision, SingleFailedPollOnlyReports) {
  canline& l = make_line(kLine);
  start(l);
  EXPECT_EQ(step(), 1);
  EXPECT_EQ(step(), 2);  // opened
  const NTCAN_HANDLE h = l.handle();
  vbus::script_status(kNet, {NTCAN_CONTR_OFF_BUS});
  EXPECT_EQ(step(), 2);  // the pause stays as it was
  EXPECT_EQ(messages("1. canStatus returned: "),
            std::vector<std::string>{"Line : 2mess: NTCAN_CONTR_OFF_BUS(0x00000105)"});
  EXPECT_EQ(l.handle(), h);
  EXPECT_EQ(vbus::open_handles(kNet), 1);
  EXPECT_EQ(step(), 1);  // good again
  vbus::script_status(kNet, {NTCAN_CONTR_BUSY});
  EXPECT_EQ(step(), 1);
  EXPECT_EQ(log().count("1. canStatus returned: "), 2u);
  EXPECT_EQ(log().count("2. canStatus returned: "), 0u);
  EXPECT_EQ(l.handle(), h);
}

TEST_F(Supervision, LineLossClosesAndIsReportedOncePerOutage) {
  canline& l = make_line(kLine);
  ASSERT_EQ(l.can_open(), 0);
  start(l);
  step();
  EXPECT_EQ(step(), 1);
  vbus::script_status(kNet, {NTCAN_CONTR_OFF_BUS, NTCAN_CONTR_OFF_BUS});
  EXPECT_EQ(step(), 1);
  EXPECT_EQ(step(), 15);
  EXPECT_EQ(l.handle(), -1);
  EXPECT_FALSE(l.is_open());
  EXPECT_EQ(vbus::open_handles(kNet), 0);
  EXPECT_EQ(messages("2. canStatus returned: "),
            std::vector<std::string>{"Line : 2mess: NTCAN_CONTR_OFF_BUS(0x00000105)"});

  // Reopened, but still suspect: the next failed poll closes at once, reported by neither.
  EXPECT_EQ(step(), 1);
  EXPECT_EQ(step(), 2);
  EXPECT_GT(l.handle(), 0);
  vbus::script_status(kNet, {NTCAN_CONTR_BUSY});
  EXPECT_EQ(step(), 15);
  EXPECT_EQ(l.handle(), -1);
  EXPECT_EQ(vbus::open_handles(kNet), 0);
  EXPECT_EQ(log().count("1. canStatus returned: "), 1u);
  EXPECT_EQ(log().count("2. canStatus returned: "), 1u);

  // A good status ends the outage; the next loss is reported again.
  EXPECT_EQ(step(), 1);
  EXPECT_EQ(step(), 2);
  EXPECT_EQ(step(), 1);
  vbus::script_status(kNet, {NTCAN_CONTR_WARN, NTCAN_CONTR_WARN});
  EXPECT_EQ(step(), 1);
  EXPECT_EQ(step(), 15);
  EXPECT_EQ(log().count("1. canStatus returned: "), 2u);
  EXPECT_EQ(messages("2. canStatus returned: ").back(),
            "Line : 2mess: NTCAN_CONTR_WARN(0x00000107)");
  EXPECT_EQ(log().count("2. canStatus returned: "), 2u);
  EXPECT_EQ(long_pauses(), (Pauses{60, 1, 1, 1, 15, 1, 2, 15, 1, 2, 1, 1, 15}));
}

TEST_F(Supervision, OtherOpenFailuresNeverResetAndPausesStopAtAMinute) {
  canline& l = gateway_line();
  vbus::set_net_down(kNet, true);
  start(l);
  for (int i = 0; i < 63; ++i) step();
  Pauses expected{60};
  for (int k = 1; k <= 63; ++k) expected.push_back(k < 60 ? k : 60);
  EXPECT_EQ(long_pauses(), expected);
  EXPECT_TRUE(wget_runs().empty());
  EXPECT_EQ(messages("canOpen returned: "),
            std::vector<std::string>{"Line : 2mess: NTCAN_NET_NOT_FOUND(0x00000013)"});
  EXPECT_EQ(l.handle(), -1);
}

class GatewayResets : public Supervision, public ::testing::WithParamInterface<bool> {};

TEST_P(GatewayResets, AtThe1st7th13th19th25thRefusedConnectionOfAnOutage) {
  const bool denied = GetParam();
  if (denied) write_file("./DENY-wget-reset", "");
  canline& l = gateway_line();
  vbus::script_open(kNet, std::vector<NTCAN_RESULT>(30, NTCAN_SOCK_CONN_TIMEOUT));
  start(l);
  EXPECT_EQ(messages("can_control  "), std::vector<std::string>{});
  for (int i = 0; i < 36; ++i) step();
  EXPECT_EQ(messages("can_control  "),
            std::vector<std::string>{denied ? "do not allow wget resets" : "allow wget resets"});
  EXPECT_EQ(l.deny_wget_reset_.load(), denied);

  // The pause before open k is k s; a reset after open k adds 20 s.
  const Pauses expected{60,                          //
                        1,  20,                      // open 1, reset
                        2,  3,  4,  5,  6,  7,  20,  // open 7, reset
                        8,  9,  10, 11, 12, 13, 20,  // open 13, reset
                        14, 15, 16, 17, 18, 19, 20,  // open 19, reset
                        20, 21, 22, 23, 24, 25, 20,  // open 25, reset
                        26, 27, 28, 29, 30,          // no more resets in this outage
                        31};
  EXPECT_EQ(long_pauses(), expected);
  const std::string args =
      "--post-data=FWUpdReset=1 http://tavikadm:kq7wzrbn4@" + kGateway + "/Forms/Firmware";
  EXPECT_EQ(wget_runs(), std::vector<std::string>(denied ? 0 : 5, args));
  EXPECT_EQ(log().count("system called with : "), denied ? 0u : 1u);
  EXPECT_EQ(log().count("canOpen returned: "), 1u);

  // Open 31 succeeds, a good status ends the outage, a line loss starts the next one.
  EXPECT_EQ(step(), 32);
  EXPECT_GT(l.handle(), 0);
  EXPECT_EQ(step(), 1);
  vbus::script_status(kNet, {NTCAN_CONTR_OFF_BUS, NTCAN_CONTR_OFF_BUS});
  EXPECT_EQ(step(), 1);
  EXPECT_EQ(step(), 15);
  vbus::script_open(kNet, std::vector<NTCAN_RESULT>(7, NTCAN_SOCK_CONN_TIMEOUT));
  EXPECT_EQ(step(), 1);
  EXPECT_EQ(step(), 20);  // open 1 of the new outage resets at once
  EXPECT_EQ(wget_runs().size(), denied ? 0u : 6u);
  EXPECT_EQ(log().count("system called with : "), denied ? 0u : 2u);
  for (int k = 2; k <= 7; ++k) EXPECT_EQ(step(), k);
  EXPECT_EQ(step(), 20);  // open 7
  EXPECT_EQ(wget_runs().size(), denied ? 0u : 7u);
  EXPECT_EQ(log().count("system called with : "), denied ? 0u : 2u);
}

INSTANTIATE_TEST_SUITE_P(DenyFile, GatewayResets, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) {
                           return std::string(i.param ? "denied" : "allowed");
                         });

TEST_F(Supervision, RefusedConnectionAfterOtherFailuresResetsAtOnce) {
  canline& l = gateway_line();
  vbus::script_open(kNet, {NTCAN_NET_NOT_FOUND, NTCAN_SOCK_CONN_TIMEOUT});
  start(l);
  EXPECT_EQ(step(), 1);
  EXPECT_EQ(step(), 2);   // open 1 failed with 19: counted, no reset
  EXPECT_EQ(step(), 20);  // open 2 failed with 384: reset
  EXPECT_EQ(wget_runs().size(), 1u);
}

TEST_F(Supervision, LineIsReopenedAndWatchedAfterTheNetComesBack) {
  canline& l = make_line(kLine);
  ASSERT_EQ(l.can_open(), 0);
  const NTCAN_HANDLE first = l.handle();
  vbus::set_board_status(kNet, 3);
  start(l);
  step();
  EXPECT_EQ(step(), 1);
  vbus::set_net_down(kNet, true);
  EXPECT_EQ(step(), 1);
  EXPECT_EQ(step(), 15);
  EXPECT_EQ(l.handle(), -1);
  EXPECT_EQ(step(), 1);
  EXPECT_EQ(step(), 2);
  EXPECT_EQ(step(), 3);
  EXPECT_EQ(messages("canOpen returned: "),
            std::vector<std::string>{"Line : 2mess: NTCAN_NET_NOT_FOUND(0x00000013)"});

  vbus::set_net_down(kNet, false);
  vbus::set_board_status(kNet, 4);
  EXPECT_EQ(step(), 4);
  EXPECT_GT(l.handle(), 0);
  EXPECT_NE(l.handle(), first);
  EXPECT_TRUE(l.is_open());
  EXPECT_EQ(step(), 1);
  EXPECT_EQ(messages("3. canStatus returned: "),
            (std::vector<std::string>{"Line : 2boardstatus: 3", "Line : 2boardstatus: 4"}));
  EXPECT_EQ(vbus::open_handles(kNet), 1);

  // Watched again: a new loss is noticed and reported.
  vbus::set_net_down(kNet, true);
  EXPECT_EQ(step(), 1);
  EXPECT_EQ(step(), 15);
  EXPECT_EQ(log().count("2. canStatus returned: "), 2u);
}

class SupervisionStop : public Supervision {};

TEST_F(SupervisionStop, QuietLeavesOutRoutineLinesButNotALoss) {
  TAVIK_debug = DF_CAN_QUIET;
  canline& l = make_line(kLine);
  ASSERT_EQ(l.can_open(), 0);
  start(l);
  step();
  vbus::script_status(kNet, {NTCAN_CONTR_OFF_BUS, NTCAN_CONTR_OFF_BUS});
  step();
  step();
  EXPECT_EQ(log().count("Inside can_control: "), 0u);
  EXPECT_EQ(log().count("can_control  "), 0u);
  EXPECT_EQ(messages("2. canStatus returned: "),
            std::vector<std::string>{"Line : 2mess: NTCAN_CONTR_OFF_BUS(0x00000105)"});
  l.ThreadStop_ = true;
  clock().advance_to_next_wakeup();
  EXPECT_TRUE(l.stop_thread());
  EXPECT_EQ(log().count("can_control"), 0u);
}

TEST_F(SupervisionStop, StopWaitsForThePauseInProgress) {
  canline& l = make_line(kLine);
  start(l);
  EXPECT_TRUE(l.thread_running());
  EXPECT_FALSE(l.stop_thread(0));  // asleep in its start-up pause
  EXPECT_TRUE(l.thread_running());
  clock().advance_to_next_wakeup();
  EXPECT_TRUE(l.stop_thread());
  EXPECT_FALSE(l.thread_running());
  EXPECT_EQ(long_pauses(), (Pauses{60}));  // no cycle ran
  EXPECT_EQ(messages("can_control"), std::vector<std::string>{"stop can_control thread"});
  EXPECT_EQ(l.handle(), -1);
}

TEST_F(SupervisionStop, StopsAtTheStartOfTheNextCycleAndCanBeRestarted) {
  canline& l = make_line(kLine);
  start(l);
  step();
  step();
  ASSERT_GT(l.handle(), 0);
  l.ThreadStop_ = true;
  clock().advance_to_next_wakeup();
  EXPECT_TRUE(l.stop_thread());
  EXPECT_EQ(long_pauses(), (Pauses{60, 1, 2}));
  EXPECT_EQ(log().count("can_control"), 1u);

  start(l);
  EXPECT_TRUE(l.thread_running());
  EXPECT_FALSE(l.ThreadStop_.load());
  EXPECT_EQ(log().count("Inside can_control: "), 2u);
  EXPECT_EQ(step(), 1);
  EXPECT_EQ(step(), 1);  // the line stayed open: polled
}

TEST_F(SupervisionStop, OneThreadPerLine) {
  canline& l = make_line(kLine);
  start(l);
  l.start_thread();
  EXPECT_EQ(clock().sleepers(), 1u);
  EXPECT_EQ(log().count("Inside can_control: "), 1u);
}

TEST_F(SupervisionStop, DestroyingALineWaitsForItsThread) {
  auto* l = new canline();
  l->setline(kLine);
  l->setbaud(NTCAN_BAUD_125);
  start(*l);
  step();
  clock().shutdown();  // every pause now ends at once
  delete l;            // sets ThreadStop_ and waits for can_control to return
  EXPECT_EQ(messages("can_control"), std::vector<std::string>{"stop can_control thread"});
}

// Node properties attach to a line while its thread reopens and closes it; under ThreadSanitizer
// this shows the line's shared fields are safe, and no driver handle leaks either way.
TEST_F(Supervision, AttachingThreadsBesideTheSupervisionThread) {
  canline& l = make_line(kLine);
  ASSERT_EQ(l.can_open(), 0);
  start(l);

  std::atomic<bool> done{false};
  std::atomic<long> seen{0};
  std::mutex got_mx;
  std::vector<NTCAN_HANDLE> got;
  std::vector<std::thread> workers;
  for (int w = 0; w < 3; ++w) {
    workers.emplace_back([&] {
      NTCAN_HANDLE h = -1;
      while (!done.load()) {
        const NTCAN_HANDLE before = h;
        if (l.can_open(h, false) == 0 && h != before) {
          std::lock_guard<std::mutex> lk(got_mx);
          got.push_back(h);
        }
        seen += l.is_open() ? 1 : 0;  // read beside the thread's writes
        seen += l.handle() > 0 ? 1 : 0;
        std::this_thread::yield();
      }
    });
  }
  // The schedule runs only once every worker holds a handle of its own, so that the workers
  // really race with the thread however the machine schedules them.
  for (;;) {
    {
      std::lock_guard<std::mutex> lk(got_mx);
      if (got.size() >= workers.size()) break;
    }
    std::this_thread::yield();
  }
  for (int k = 0; k < 40; ++k) {
    if (k == 5) vbus::script_status(kNet, {NTCAN_CONTR_OFF_BUS, NTCAN_CONTR_OFF_BUS});
    if (k == 15) vbus::set_net_down(kNet, true);
    if (k == 25) vbus::set_net_down(kNet, false);
    step();
  }
  done = true;
  for (auto& t : workers) t.join();

  EXPECT_GT(l.handle(), 0);
  EXPECT_FALSE(got.empty());
  for (NTCAN_HANDLE h : got) canClose(h);
  l.can_close();
  EXPECT_EQ(vbus::open_handles(), 0);
}

}  // namespace
}  // namespace canline_test
