// A CAN line and its supervision thread on a kernel's virtual CAN interface through the
// SocketCAN backend: the interface going down, or away, makes the line's status fail and the
// line close; the interface coming back lets the line reopen. The supervision schedule runs on
// the virtual clock; the interface changes are real. Skips without vcan0 (scripts/uml-run).
#include <net/if.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <string>
#include <system_error>

#include "backend.h"
#include "can_scan.h"
#include "canbus/line/line_fixture.h"
#include "ntcan_open_error.h"

namespace canline_test {
namespace {

constexpr int kLine = 2;
constexpr int kNet = kLine - 1;
constexpr int kMaxSteps = 20;  // pauses until a change must be noticed; the longest is a minute

int sh(const std::string& command) {
  const int status = std::system(command.c_str());
  return (status != -1 && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
}

class SocketCanLine : public LineTest {
 protected:
  void SetUp() override {
    if (::if_nametoindex("vcan0") == 0) GTEST_SKIP() << "no vcan0 here (scripts/uml-run has one)";
    ::setenv("NTCAN_BACKEND", "socketcan", 1);
    ifname_ = "vcsl" + std::to_string(::getpid() % 100000);
    if (!make_interface()) {
      ifname_.clear();
      GTEST_SKIP() << "cannot create a vcan interface here";
    }
    ::setenv(("NTCAN_SOCKETCAN_IF" + std::to_string(kNet)).c_str(), ifname_.c_str(), 1);
    LineTest::SetUp();
  }
  void TearDown() override {
    if (ifname_.empty()) return;
    LineTest::TearDown();
    sh("ip link del dev " + ifname_ + " 2>/dev/null");
  }

  bool make_interface() {
    return sh("ip link add dev " + ifname_ + " type vcan && ip link set " + ifname_ + " up") == 0;
  }
  void link(const std::string& how) { ASSERT_EQ(sh("ip link " + how), 0) << how; }

  // Steps the supervision schedule until `done` holds; whether it did within kMaxSteps.
  bool step_until(const std::function<bool()>& done) {
    for (int i = 0; i < kMaxSteps && !done(); ++i) step();
    return done();
  }

  // A line open on the interface, its supervision thread started and past its start-up pause.
  canline& watched_line() {
    canline& l = make_line(kLine);
    EXPECT_EQ(l.can_open(), 0);
    EXPECT_GT(l.handle(), 0);
    start(l);
    EXPECT_TRUE(step_until([&] { return log().count("can_control  ") > 0; }));
    return l;
  }

  std::string ifname_;
};

TEST_F(SocketCanLine, DownClosesTheLineAndUpReopensIt) {
  ASSERT_EQ(ntcan::active_backend_name(), "socketcan");
  canline& l = watched_line();
  const NTCAN_HANDLE first = l.handle();

  link("set " + ifname_ + " down");
  ASSERT_TRUE(step_until([&] { return l.handle() == -1; })) << "the line stayed open";
  EXPECT_FALSE(l.is_open());
  EXPECT_EQ(messages("2. canStatus returned: "),
            std::vector<std::string>{"Line : 2mess: NTCAN_CONTR_OFF_BUS(0x00000105)"});
  // While the interface is down every reopening fails.
  ASSERT_TRUE(step_until([&] { return log().count("canOpen returned: ") > 0; }));
  EXPECT_EQ(messages("canOpen returned: ").front(),
            "Line : 2mess: NTCAN_NET_NOT_FOUND(0x00000013)");
  EXPECT_EQ(l.handle(), -1);

  link("set " + ifname_ + " up");
  ASSERT_TRUE(step_until([&] { return l.handle() > 0; })) << "the line was not reopened";
  EXPECT_TRUE(l.is_open());
  EXPECT_NE(l.handle(), first);
  CAN_IF_STATUS st{};
  EXPECT_EQ(canStatus(l.handle(), &st), NTCAN_SUCCESS);

  // The reopened line carries frames again.
  NTCAN_HANDLE h = NTCAN_NO_HANDLE;
  ASSERT_EQ(l.can_open(h, true), 0);
  ASSERT_GT(h, 0);
  ASSERT_EQ(canIdAdd(h, 0x123), NTCAN_SUCCESS);
  ASSERT_EQ(sh("cansend " + ifname_ + " 123#2A"), 0);
  CMSG got{};
  int32_t n = 1;
  ASSERT_EQ(canRead(h, &got, &n, nullptr), NTCAN_SUCCESS);
  EXPECT_EQ(got.data[0], 0x2A);
  if (h != l.handle()) canClose(h);
}

// A controller in bus-off (its error frame) counts as a lost line.
TEST_F(SocketCanLine, BusOffClosesTheLineLikeALostOne) {
  canline& l = watched_line();
  const NTCAN_HANDLE first = l.handle();
  ASSERT_EQ(sh("cansend " + ifname_ + " 20000040#0000000000000000"), 0);
  ASSERT_TRUE(step_until([&] { return l.handle() != first; })) << "the line stayed open";
  EXPECT_EQ(messages("2. canStatus returned: "),
            std::vector<std::string>{"Line : 2mess: NTCAN_CONTR_OFF_BUS(0x00000105)"});
  ASSERT_TRUE(step_until([&] { return l.handle() > 0; })) << "the line was not reopened";
  CAN_IF_STATUS st{};
  EXPECT_EQ(canStatus(l.handle(), &st), NTCAN_SUCCESS);
}

TEST_F(SocketCanLine, AVanishedInterfaceClosesTheLineAndANewOneReopensIt) {
  canline& l = watched_line();
  link("del dev " + ifname_);
  ASSERT_TRUE(step_until([&] { return l.handle() == -1; })) << "the line stayed open";
  EXPECT_EQ(messages("2. canStatus returned: "),
            std::vector<std::string>{"Line : 2mess: NTCAN_NET_NOT_FOUND(0x00000013)"});

  ASSERT_TRUE(make_interface());
  ASSERT_TRUE(step_until([&] { return l.handle() > 0; })) << "the line was not reopened";
  CAN_IF_STATUS st{};
  EXPECT_EQ(canStatus(l.handle(), &st), NTCAN_SUCCESS);
}

// No vcan0 needed: a kernel without SocketCAN refuses the socket, one with it the name.
class SocketCanMissingInterface : public LineTest {
 protected:
  void SetUp() override {
    ::setenv("NTCAN_BACKEND", "socketcan", 1);
    ::setenv(("NTCAN_SOCKETCAN_IF" + std::to_string(kNet)).c_str(), "nosuchcan0", 1);
    LineTest::SetUp();
  }
};

TEST_F(SocketCanMissingInterface, OpenFailureNamesTheInterfaceAndTheSystemsErrorOnce) {
  ASSERT_EQ(ntcan::active_backend_name(), "socketcan");
  const std::string head = "SocketCAN: interface \"nosuchcan0\" for net 1: ";
  const std::string no_device = head + std::system_category().message(ENODEV);
  const std::string no_can = head + std::system_category().message(EAFNOSUPPORT);
  canline& l = make_line(kLine);
  start(l);
  for (int i = 0; i < 6; ++i) step();  // reopening attempts
  EXPECT_EQ(l.handle(), -1);
  EXPECT_EQ(log().count("canOpen returned: "), 1u);
  const auto why = messages("canOpen failed: ");
  ASSERT_EQ(why.size(), 1u);
  EXPECT_TRUE(why[0] == no_device || why[0] == no_can) << why[0];

  // The text belongs to the calling thread's last canOpen, cut to the buffer.
  NTCAN_HANDLE h = NTCAN_NO_HANDLE;
  EXPECT_NE(canOpen(kNet, 0, 10, 10, 100, 100, &h), NTCAN_SUCCESS);
  char text[12];
  EXPECT_EQ(canOpenError(text, sizeof text), NTCAN_SUCCESS);
  EXPECT_EQ(std::string(text), head.substr(0, sizeof text - 1));
  EXPECT_EQ(canOpenError(nullptr, 1), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(canOpenError(text, 0), NTCAN_INVALID_PARAMETER);

  // A scan of the line tells it too.
  const canbus::ScanResult scan = canbus::scan_line(kLine);
  EXPECT_NE(scan.result, 0);
  EXPECT_TRUE(scan.open_error == no_device || scan.open_error == no_can) << scan.open_error;
}

}  // namespace
}  // namespace canline_test
