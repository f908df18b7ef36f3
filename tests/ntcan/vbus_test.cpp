// The virtual bus's test controls: devices, sent log, scripted results, board status, nets
// going down, handle accounting and reset.
#include <stdexcept>
#include <thread>

#include "contract.h"

namespace ntcan_test {
namespace {

class VbusTest : public ::testing::Test {
 public:  // the table-driven cases call the helpers
  void SetUp() override {
    if (!virtual_backend()) GTEST_SKIP() << "virtual bus controls";
    vbus::reset();
  }
  void TearDown() override {
    if (!virtual_backend()) return;
    for (NTCAN_HANDLE h : opened_) canClose(h);
    EXPECT_EQ(vbus::open_handles(), 0);
    vbus::reset();
  }

  NTCAN_HANDLE open(int net, std::initializer_list<int32_t> ids = {}, int32_t rxqueue = 100) {
    NTCAN_HANDLE h = NTCAN_NO_HANDLE;
    EXPECT_EQ(canOpen(net, 0, 10, rxqueue, 1000, 1000, &h), NTCAN_SUCCESS);
    for (int32_t id : ids) EXPECT_EQ(canIdAdd(h, id), NTCAN_SUCCESS);
    opened_.push_back(h);
    return h;
  }

  static NTCAN_RESULT send(NTCAN_HANDLE h, CMSG f) {
    int32_t n = 1;
    return canSend(h, &f, &n);
  }

  static std::vector<CMSG> take_all(NTCAN_HANDLE h) {
    std::vector<CMSG> out(256);
    int32_t n = static_cast<int32_t>(out.size());
    EXPECT_EQ(canTake(h, out.data(), &n), NTCAN_SUCCESS);
    out.resize(static_cast<size_t>(n));
    return out;
  }

  std::vector<NTCAN_HANDLE> opened_;
};

// ---- devices -------------------------------------------------------------------------------

// An SDO-like server: answers 0x605 with 0x585 at once, in the sender's thread, so the reply
// is queued by the time canSend returns.
TEST_F(VbusTest, DeviceAnswersBeforeCanSendReturns) {
  std::thread::id sender = std::this_thread::get_id();
  std::thread::id called_in;
  int dev = vbus::attach_device(kNetA, [&](int net, const CMSG& f) {
    called_in = std::this_thread::get_id();
    if (f.id == 0x605) vbus::inject(net, frame(0x585, {0x43, f.data[1]}));
  });
  EXPECT_GT(dev, 0);
  NTCAN_HANDLE h = open(kNetA, {0x585});
  ASSERT_EQ(send(h, frame(0x605, {0x40, 0x18})), NTCAN_SUCCESS);
  EXPECT_EQ(called_in, sender);
  auto got = take_all(h);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_TRUE(same_frame(got[0], frame(0x585, {0x43, 0x18})));
}

TEST_F(VbusTest, DevicesSeeFramesOfHandlesAndOtherDevicesButNotTheirOwn) {
  std::vector<int32_t> seen_a, seen_b, seen_other_net;
  int a = vbus::attach_device(kNetA, [&](int, const CMSG& f) { seen_a.push_back(f.id); });
  int b = vbus::attach_device(kNetA, [&](int, const CMSG& f) { seen_b.push_back(f.id); });
  vbus::attach_device(kNetB, [&](int, const CMSG& f) { seen_other_net.push_back(f.id); });
  NTCAN_HANDLE h = open(kNetA);
  ASSERT_EQ(send(h, frame(0x10, {})), NTCAN_SUCCESS);
  vbus::inject(kNetA, frame(0x20, {}), a);
  vbus::inject(kNetA, frame(0x30, {}), b);
  vbus::inject(kNetA, frame(0x40, {}));
  EXPECT_EQ(seen_a, (std::vector<int32_t>{0x10, 0x30, 0x40}));
  EXPECT_EQ(seen_b, (std::vector<int32_t>{0x10, 0x20, 0x40}));
  EXPECT_TRUE(seen_other_net.empty());
}

TEST_F(VbusTest, DetachedDeviceIsNotCalledAgainAndMayDetachItself) {
  int calls = 0;
  int self = 0;
  self = vbus::attach_device(kNetA, [&](int, const CMSG&) {
    ++calls;
    vbus::detach_device(self);  // from inside its own call: must not wait for itself
  });
  int other_calls = 0;
  int other = vbus::attach_device(kNetA, [&](int, const CMSG&) { ++other_calls; });
  vbus::inject(kNetA, frame(0x1, {}));
  vbus::inject(kNetA, frame(0x1, {}));
  EXPECT_EQ(calls, 1);
  vbus::detach_device(other);
  vbus::inject(kNetA, frame(0x1, {}));
  EXPECT_EQ(other_calls, 2);
}

TEST_F(VbusTest, InvalidInjectedFramesAreIgnored) {
  NTCAN_HANDLE h = open(kNetA, {0x100});
  int calls = 0;
  vbus::attach_device(kNetA, [&](int, const CMSG&) { ++calls; });
  CMSG long_frame = frame(0x100, {});
  long_frame.len = 9;
  vbus::inject(kNetA, long_frame);
  vbus::inject(kNetA, frame(0x800, {}));
  vbus::inject(vbus::kNets, frame(0x100, {}));
  vbus::inject(-1, frame(0x100, {}));
  EXPECT_TRUE(take_all(h).empty());
  EXPECT_EQ(calls, 0);
}

// ---- sent log ------------------------------------------------------------------------------

TEST_F(VbusTest, SentLogHoldsFramesOfHandlesNormalisedInOrder) {
  NTCAN_HANDLE h = open(kNetA);
  NTCAN_HANDLE g = open(kNetB);
  CMSG dirty = frame(0x181, {1, 2, 3, 4});
  dirty.len = 1;
  dirty.msg_lost = 3;
  CMSG two[2] = {dirty, remote(0x705, 0)};
  int32_t n = 2;
  ASSERT_EQ(canSend(h, two, &n), NTCAN_SUCCESS);
  ASSERT_EQ(send(g, frame(0x000, {1, 5})), NTCAN_SUCCESS);
  vbus::inject(kNetA, frame(0x585, {}));  // a device's frame is not a handle's

  auto log = vbus::sent(kNetA);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_TRUE(same_frame(log[0], frame(0x181, {1})));
  EXPECT_EQ(log[0].msg_lost, 0);
  EXPECT_TRUE(same_frame(log[1], remote(0x705, 0)));
  ASSERT_EQ(vbus::sent(kNetB).size(), 1u);

  vbus::clear_sent(kNetA);
  EXPECT_TRUE(vbus::sent(kNetA).empty());
  EXPECT_EQ(vbus::sent(kNetB).size(), 1u);
}

// A bounded ring: a long-running process keeps a flat footprint; the newest frames stay.
TEST_F(VbusTest, SentLogKeepsOnlyTheNewestFrames) {
  NTCAN_HANDLE h = open(kNetA);
  for (int32_t i = 0; i <= int32_t{vbus::kSentLogLimit}; ++i) {
    ASSERT_EQ(send(h, frame(i & 0x7FF, {})), NTCAN_SUCCESS);
  }
  auto log = vbus::sent(kNetA);
  ASSERT_EQ(log.size(), vbus::kSentLogLimit);
  EXPECT_EQ(log.front().id, 1);
  vbus::set_sent_limit(2);
  EXPECT_EQ(vbus::sent(kNetA).size(), 2u);
  vbus::set_sent_limit(0);
  ASSERT_EQ(send(h, frame(0x123, {})), NTCAN_SUCCESS);
  EXPECT_TRUE(vbus::sent(kNetA).empty());
}

TEST_F(VbusTest, ControlsRefuseNetsOutOfRange) {
  EXPECT_THROW(vbus::sent(vbus::kNets), std::out_of_range);
  EXPECT_THROW(vbus::set_net_down(-1, true), std::out_of_range);
  EXPECT_THROW(vbus::attach_device(20, [](int, const CMSG&) {}), std::out_of_range);
  EXPECT_EQ(vbus::open_handles(20), 0);
}

// ---- scripted results ----------------------------------------------------------------------

// Each script is consumed one result per call; 0 lets that call run; then calls are normal.
TEST_F(VbusTest, ScriptedResultsAreConsumedInOrderPerNet) {
  struct Case {
    const char* what;
    void (*script)(int, std::vector<NTCAN_RESULT>);
    // Makes the call on kNetA, opening what it needs; returns its result.
    NTCAN_RESULT (*call)(VbusTest&);
  };
  static const Case cases[] = {
      {"open", vbus::script_open,
       [](VbusTest& t) {
         NTCAN_HANDLE h = NTCAN_NO_HANDLE;
         NTCAN_RESULT r = canOpen(kNetA, 0, 10, 100, 1000, 1000, &h);
         if (r == NTCAN_SUCCESS) {
           t.opened_.push_back(h);
         } else {
           EXPECT_EQ(h, NTCAN_NO_HANDLE);
         }
         return r;
       }},
      {"baudrate", vbus::script_baudrate,
       [](VbusTest& t) { return canSetBaudrate(t.open(kNetA), NTCAN_BAUD_250); }},
      {"status", vbus::script_status,
       [](VbusTest& t) {
         CAN_IF_STATUS st{};
         return canStatus(t.open(kNetA), &st);
       }},
      {"close", vbus::script_close,
       [](VbusTest& t) {
         NTCAN_HANDLE h = t.open(kNetA);
         NTCAN_RESULT r = canClose(h);
         // Closed whatever the result: a second close finds no handle.
         EXPECT_EQ(canClose(h), NTCAN_INVALID_HANDLE);
         return r;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    vbus::reset();
    c.script(kNetB, {NTCAN_CONTR_BUSY});  // another net's script is not touched
    c.script(kNetA, {NTCAN_SOCK_CONN_TIMEOUT, 0, NTCAN_CONTR_OFF_BUS});
    EXPECT_EQ(c.call(*this), NTCAN_SOCK_CONN_TIMEOUT);
    EXPECT_EQ(c.call(*this), NTCAN_SUCCESS);
    EXPECT_EQ(c.call(*this), NTCAN_CONTR_OFF_BUS);
    EXPECT_EQ(c.call(*this), NTCAN_SUCCESS);
    c.script(kNetA, {NTCAN_TX_ERROR});
    c.script(kNetA, {NTCAN_RX_TIMEOUT});  // replaces
    EXPECT_EQ(c.call(*this), NTCAN_RX_TIMEOUT);
    EXPECT_EQ(c.call(*this), NTCAN_SUCCESS);
    for (NTCAN_HANDLE h : opened_) canClose(h);
    opened_.clear();
    EXPECT_EQ(vbus::open_handles(kNetA), 0);
  }
}

TEST_F(VbusTest, ScriptedBaudrateFailureRecordsNoCode) {
  NTCAN_HANDLE h = open(kNetA);
  EXPECT_EQ(vbus::baudrate(kNetA), -1);
  uint32_t got = 0;
  EXPECT_EQ(canGetBaudrate(h, &got), NTCAN_SUCCESS);
  EXPECT_EQ(got, uint32_t{NTCAN_NO_BAUDRATE});
  vbus::script_baudrate(kNetA, {NTCAN_TX_ERROR});
  EXPECT_EQ(canSetBaudrate(h, NTCAN_BAUD_1000), NTCAN_TX_ERROR);
  EXPECT_EQ(vbus::baudrate(kNetA), -1);
  EXPECT_EQ(canSetBaudrate(h, NTCAN_BAUD_125), NTCAN_SUCCESS);
  EXPECT_EQ(vbus::baudrate(kNetA), NTCAN_BAUD_125);
  EXPECT_EQ(vbus::baudrate(kNetB), -1);
}

TEST_F(VbusTest, StatusReportsTheNetsBoardStatus) {
  NTCAN_HANDLE a = open(kNetA);
  NTCAN_HANDLE b = open(kNetB);
  vbus::set_board_status(kNetA, 0xC0FFEE);
  CAN_IF_STATUS st{};
  ASSERT_EQ(canStatus(a, &st), NTCAN_SUCCESS);
  EXPECT_EQ(st.boardstatus, 0xC0FFEEu);
  ASSERT_EQ(canStatus(b, &st), NTCAN_SUCCESS);
  EXPECT_EQ(st.boardstatus, 0u);
}

// ---- net down ------------------------------------------------------------------------------

TEST_F(VbusTest, NetDownRefusesOpenStatusSendAndCarriesNothing) {
  NTCAN_HANDLE a = open(kNetA, {0x100});
  NTCAN_HANDLE b = open(kNetA, {0x100});
  int device_calls = 0;
  vbus::attach_device(kNetA, [&](int, const CMSG&) { ++device_calls; });
  vbus::set_net_down(kNetA, true);

  NTCAN_HANDLE h = 5;
  EXPECT_EQ(canOpen(kNetA, 0, 10, 100, 1000, 1000, &h), NTCAN_NET_NOT_FOUND);
  EXPECT_EQ(h, NTCAN_NO_HANDLE);
  CAN_IF_STATUS st{};
  EXPECT_EQ(canStatus(a, &st), NTCAN_CONTR_OFF_BUS);
  CMSG f = frame(0x100, {});
  int32_t n = 1;
  EXPECT_EQ(canSend(a, &f, &n), NTCAN_CONTR_OFF_BUS);
  EXPECT_EQ(n, 0);
  vbus::inject(kNetA, frame(0x100, {}));
  EXPECT_TRUE(take_all(b).empty());
  EXPECT_TRUE(vbus::sent(kNetA).empty());
  EXPECT_EQ(device_calls, 0);
  EXPECT_EQ(vbus::open_handles(kNetA), 2) << "handles stay open";
  EXPECT_EQ(canOpen(kNetB, 0, 10, 100, 1000, 1000, &h), NTCAN_SUCCESS) << "other nets work";
  opened_.push_back(h);

  vbus::set_net_down(kNetA, false);
  EXPECT_EQ(canStatus(a, &st), NTCAN_SUCCESS);
  ASSERT_EQ(send(a, frame(0x100, {})), NTCAN_SUCCESS);
  EXPECT_EQ(take_all(b).size(), 1u);
  EXPECT_EQ(device_calls, 1);
}

// ---- handles, queues, reset ----------------------------------------------------------------

TEST_F(VbusTest, OpenHandlesCountsPerNetAndOverall) {
  NTCAN_HANDLE a = open(kNetA);
  open(kNetA);
  open(kNetB);
  EXPECT_EQ(vbus::open_handles(), 3);
  EXPECT_EQ(vbus::open_handles(kNetA), 2);
  EXPECT_EQ(vbus::open_handles(kNetB), 1);
  EXPECT_EQ(vbus::open_handles(2), 0);
  ASSERT_EQ(canClose(a), NTCAN_SUCCESS);
  EXPECT_EQ(vbus::open_handles(), 2);
  EXPECT_EQ(vbus::open_handles(kNetA), 1);
}

TEST_F(VbusTest, EnabledIdsAndLostAreReported) {
  NTCAN_HANDLE h = open(kNetA, {0x7FF, 0x000, 0x181}, /*rxqueue=*/1);
  EXPECT_EQ(vbus::enabled_ids(h), (std::vector<int32_t>{0x000, 0x181, 0x7FF}));
  for (int i = 0; i < 300; ++i) vbus::inject(kNetA, frame(0x181, {}));
  EXPECT_EQ(vbus::lost(h), 299u) << "not saturated, unlike msg_lost";
  ASSERT_EQ(canClose(h), NTCAN_SUCCESS);
  EXPECT_TRUE(vbus::enabled_ids(h).empty());
  EXPECT_EQ(vbus::lost(h), 0u);
}

TEST_F(VbusTest, QueueSizeDefaultsAndLimit) {
  for (int32_t size : {0, -5}) {
    NTCAN_HANDLE h = open(kNetA, {0x100}, size);
    for (int i = 0; i < vbus::kDefaultRxQueue + 3; ++i) vbus::inject(kNetA, frame(0x100, {}));
    std::vector<CMSG> buf(200);
    int32_t n = 200;
    ASSERT_EQ(canTake(h, buf.data(), &n), NTCAN_SUCCESS);
    EXPECT_EQ(n, vbus::kDefaultRxQueue) << size;
    EXPECT_EQ(vbus::lost(h), 3u);
    canClose(h);
  }
  NTCAN_HANDLE h = NTCAN_NO_HANDLE;
  EXPECT_EQ(canOpen(kNetA, 0, 10, vbus::kMaxRxQueue + 1, 1000, 1000, &h), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(h, NTCAN_NO_HANDLE);
}

TEST_F(VbusTest, ReadWithoutTimeoutDoesNotWait) {
  for (int32_t timeout : {0, -1}) {
    NTCAN_HANDLE h = NTCAN_NO_HANDLE;
    ASSERT_EQ(canOpen(kNetA, 0, 10, 100, 1000, timeout, &h), NTCAN_SUCCESS);
    opened_.push_back(h);
    CMSG f{};
    int32_t n = 1;
    EXPECT_EQ(canRead(h, &f, &n, nullptr), NTCAN_RX_TIMEOUT);
    EXPECT_EQ(n, 0);
  }
}

TEST_F(VbusTest, ResetClosesEverythingWakesReadersAndKeepsNumbering) {
  NTCAN_HANDLE a = open(kNetA, {0x100});
  NTCAN_HANDLE b = NTCAN_NO_HANDLE;
  ASSERT_EQ(canOpen(kNetB, 0, 10, 100, 1000, 600000, &b), NTCAN_SUCCESS);
  int device_calls = 0;
  vbus::attach_device(kNetA, [&](int, const CMSG&) { ++device_calls; });
  vbus::set_net_down(kNetB, true);
  vbus::set_board_status(kNetA, 7);
  vbus::script_open(kNetA, {NTCAN_TX_ERROR});
  ASSERT_EQ(canSetBaudrate(a, NTCAN_BAUD_500), NTCAN_SUCCESS);
  ASSERT_EQ(send(a, frame(0x1, {})), NTCAN_SUCCESS);

  NTCAN_RESULT r = -1;
  std::thread reader([&] {
    CMSG f{};
    int32_t n = 1;
    r = canRead(b, &f, &n, nullptr);
  });
  ASSERT_TRUE(vbus::wait_for_readers(b, 1));
  vbus::reset();
  reader.join();
  EXPECT_EQ(r, NTCAN_OPERATION_ABORTED);

  EXPECT_EQ(vbus::open_handles(), 0);
  EXPECT_EQ(canIdAdd(a, 0x200), NTCAN_INVALID_HANDLE);
  EXPECT_TRUE(vbus::sent(kNetA).empty());
  EXPECT_EQ(vbus::baudrate(kNetA), -1);
  NTCAN_HANDLE c = open(kNetB);  // net up again, no script left on kNetA either
  NTCAN_HANDLE d = open(kNetA);
  EXPECT_GT(c, b);
  EXPECT_GT(d, c);
  CAN_IF_STATUS st{};
  ASSERT_EQ(canStatus(d, &st), NTCAN_SUCCESS);
  EXPECT_EQ(st.boardstatus, 0u);
  vbus::inject(kNetA, frame(0x1, {}));
  EXPECT_EQ(device_calls, 1) << "devices are detached";
}

}  // namespace
}  // namespace ntcan_test
