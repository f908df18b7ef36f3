// The driver's contract: what a caller relies on from any backend.
#include "contract.h"

#include <chrono>
#include <thread>

#include "net_counts.h"
#include "ntcan_wait.h"

namespace ntcan_test {
namespace {

// ---- handles -------------------------------------------------------------------------------

TEST_P(ContractTest, HandlesArePositiveAndNeverReused) {
  NTCAN_HANDLE a = open(kNetA);
  NTCAN_HANDLE b = open(kNetA);
  NTCAN_HANDLE c = open(kNetB);
  EXPECT_NE(a, b);
  EXPECT_NE(b, c);
  EXPECT_NE(a, c);
  ASSERT_EQ(canClose(a), NTCAN_SUCCESS);
  ASSERT_EQ(canClose(b), NTCAN_SUCCESS);
  for (int i = 0; i < 5; ++i) {
    NTCAN_HANDLE d = open(kNetA);
    EXPECT_NE(d, a);
    EXPECT_NE(d, b);
    EXPECT_NE(d, c);
    ASSERT_EQ(canClose(d), NTCAN_SUCCESS);
    a = d;  // and never one closed in an earlier round
  }
}

TEST_P(ContractTest, OpenRefusesNetsWithoutBusAndLeavesNoHandle) {
  for (int net : {-1, 20, 1000}) {
    NTCAN_HANDLE h = 12345;
    EXPECT_EQ(canOpen(net, 0, 10, 100, 1000, 1000, &h), NTCAN_NET_NOT_FOUND) << net;
    EXPECT_EQ(h, NTCAN_NO_HANDLE) << net;
  }
  EXPECT_EQ(canOpen(kNetA, 0, 10, 100, 1000, 1000, nullptr), NTCAN_INVALID_PARAMETER);
}

// Every call that takes a handle refuses -1, 0, a closed handle and one never issued, and
// reports no frames.
TEST_P(ContractTest, InvalidHandlesAreRefusedByEveryCall) {
  NTCAN_HANDLE stale = open(kNetA);
  ASSERT_EQ(canClose(stale), NTCAN_SUCCESS);
  const NTCAN_HANDLE never = stale + 1000000;

  for (NTCAN_HANDLE h : {NTCAN_NO_HANDLE, NTCAN_HANDLE{0}, stale, never}) {
    SCOPED_TRACE(h);
    CMSG f = frame(0x100, {1});
    CAN_IF_STATUS st{};
    int32_t n = 1;
    EXPECT_EQ(canClose(h), NTCAN_INVALID_HANDLE);
    EXPECT_EQ(canSetBaudrate(h, NTCAN_BAUD_125), NTCAN_INVALID_HANDLE);
    uint32_t baud = 0;
    EXPECT_EQ(canGetBaudrate(h, &baud), NTCAN_INVALID_HANDLE);
    EXPECT_EQ(canStatus(h, &st), NTCAN_INVALID_HANDLE);
    EXPECT_EQ(canIdAdd(h, 0x100), NTCAN_INVALID_HANDLE);
    EXPECT_EQ(canIdDelete(h, 0x100), NTCAN_INVALID_HANDLE);
    EXPECT_EQ(canSend(h, &f, &n), NTCAN_INVALID_HANDLE);
    EXPECT_EQ(n, 0);
    n = 1;
    EXPECT_EQ(canRead(h, &f, &n, nullptr), NTCAN_INVALID_HANDLE);
    EXPECT_EQ(n, 0);
    n = 1;
    EXPECT_EQ(canTake(h, &f, &n), NTCAN_INVALID_HANDLE);
    EXPECT_EQ(n, 0);
  }
}

TEST_P(ContractTest, StaleHandleNeverReachesTheFramesOfALaterHandle) {
  NTCAN_HANDLE old = open_with(kNetA, {0x181});
  ASSERT_EQ(canClose(old), NTCAN_SUCCESS);
  NTCAN_HANDLE now = open_with(kNetA, {0x181});
  peer_send(kNetA, frame(0x181, {7}));
  settle(kNetA);

  CMSG f{};
  int32_t n = 1;
  EXPECT_EQ(canTake(old, &f, &n), NTCAN_INVALID_HANDLE);
  auto got = take_all(now);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].data[0], 7);
}

// ---- identifier filters --------------------------------------------------------------------

TEST_P(ContractTest, OnlyEnabledIdentifiersAreReceived) {
  NTCAN_HANDLE h = open_with(kNetA, {0x000, 0x200, 0x7FE});
  for (int32_t id : {0x000, 0x150, 0x200, 0x201, 0x7FE, 0x100}) {
    peer_send(kNetA, frame(id, {static_cast<uint8_t>(id & 0xFF)}));
  }
  settle(kNetA);
  auto got = take_all(h);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].id, 0x000);
  EXPECT_EQ(got[1].id, 0x200);
  EXPECT_EQ(got[2].id, 0x7FE);

  ASSERT_EQ(canIdDelete(h, 0x200), NTCAN_SUCCESS);
  peer_send(kNetA, frame(0x200, {1}));
  settle(kNetA);
  EXPECT_TRUE(take_all(h).empty());
}

TEST_P(ContractTest, IdentifierResults) {
  NTCAN_HANDLE h = open(kNetA);
  struct Case {
    const char* what;
    NTCAN_RESULT (*call)(NTCAN_HANDLE, int32_t);
    int32_t id;
    NTCAN_RESULT want;
  };
  const Case cases[] = {
      {"add lowest", canIdAdd, 0x000, NTCAN_SUCCESS},
      {"add highest", canIdAdd, 0x7FF, NTCAN_SUCCESS},
      {"add again", canIdAdd, 0x7FF, NTCAN_ID_ALREADY_ENABLED},
      {"add negative", canIdAdd, -1, NTCAN_INVALID_PARAMETER},
      {"add 12 bits", canIdAdd, 0x800, NTCAN_INVALID_PARAMETER},
      {"add 29-bit flag", canIdAdd, 0x20000100, NTCAN_INVALID_PARAMETER},
      {"delete enabled", canIdDelete, 0x7FF, NTCAN_SUCCESS},
      {"delete again", canIdDelete, 0x7FF, NTCAN_ID_NOT_ENABLED},
      {"delete never enabled", canIdDelete, 0x123, NTCAN_ID_NOT_ENABLED},
      {"delete out of range", canIdDelete, 0x800, NTCAN_INVALID_PARAMETER},
      {"add after delete", canIdAdd, 0x7FF, NTCAN_SUCCESS},
  };
  for (const Case& c : cases) EXPECT_EQ(c.call(h, c.id), c.want) << c.what;
}

TEST_P(ContractTest, FiltersBelongToOneHandle) {
  NTCAN_HANDLE a = open_with(kNetA, {0x100});
  NTCAN_HANDLE b = open_with(kNetA, {0x200});
  peer_send(kNetA, frame(0x100, {1}));
  peer_send(kNetA, frame(0x200, {2}));
  settle(kNetA);
  auto ga = take_all(a);
  auto gb = take_all(b);
  ASSERT_EQ(ga.size(), 1u);
  ASSERT_EQ(gb.size(), 1u);
  EXPECT_EQ(ga[0].id, 0x100);
  EXPECT_EQ(gb[0].id, 0x200);
}

// ---- frames between handles ----------------------------------------------------------------

TEST_P(ContractTest, FramesReachOtherHandlesOfTheNetOnly) {
  NTCAN_HANDLE a = open_with(kNetA, {0x123});
  NTCAN_HANDLE b = open_with(kNetA, {0x123});
  NTCAN_HANDLE c = open_with(kNetB, {0x123});
  CMSG f = frame(0x123, {1, 2, 3, 4, 5, 6, 7, 8});
  int32_t n = 1;
  ASSERT_EQ(canSend(a, &f, &n), NTCAN_SUCCESS);
  EXPECT_EQ(n, 1);

  CMSG got = read_one(b);
  EXPECT_TRUE(same_frame(got, f));
  settle(kNetA, a);
  settle(kNetB);
  EXPECT_TRUE(take_all(a).empty()) << "a handle does not receive its own frames";
  EXPECT_TRUE(take_all(b).empty());
  EXPECT_TRUE(take_all(c).empty()) << "frames do not cross nets";
}

TEST_P(ContractTest, FramesArriveInOrderAndExactly) {
  NTCAN_HANDLE a = open(kNetA);
  NTCAN_HANDLE b = open_with(kNetA, {0x300, 0x301});
  const ntcan::NetCounts before = ntcan::net_counts(kNetA);
  CMSG out[4] = {frame(0x300, {}), frame(0x301, {0xFF}), frame(0x300, {1, 2, 3}),
                 frame(0x301, {9, 8, 7, 6, 5, 4, 3, 2})};
  int32_t n = 4;
  ASSERT_EQ(canSend(a, out, &n), NTCAN_SUCCESS);
  EXPECT_EQ(n, 4);
  settle(kNetA, a);
  auto got = take_all(b);
  ASSERT_EQ(got.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_TRUE(same_frame(got[i], out[i])) << i;
    EXPECT_EQ(got[i].msg_lost, 0) << i;
  }
  // Counted with the sentinel of settle(), sent by `a` and read by its witness.
  EXPECT_EQ(ntcan::net_counts(kNetA).sent - before.sent, 5u);
  EXPECT_EQ(ntcan::net_counts(kNetA).received - before.received, 5u);
}

// Bytes past the data length are not carried: receivers see zeros there.
TEST_P(ContractTest, BytesPastTheDataLengthArriveAsZero) {
  NTCAN_HANDLE a = open(kNetA);
  NTCAN_HANDLE b = open_with(kNetA, {0x310});
  CMSG f = frame(0x310, {1, 2, 3, 4, 5, 6, 7, 8});
  f.len = 2;
  f.msg_lost = 9;
  int32_t n = 1;
  ASSERT_EQ(canSend(a, &f, &n), NTCAN_SUCCESS);
  CMSG got = read_one(b);
  EXPECT_TRUE(same_frame(got, frame(0x310, {1, 2})));
  EXPECT_EQ(got.msg_lost, 0);
}

TEST_P(ContractTest, RemoteFramesKeepTheRemoteBit) {
  NTCAN_HANDLE a = open(kNetA);
  NTCAN_HANDLE b = open_with(kNetA, {0x705, 0x706});
  CMSG r = remote(0x705, 1);
  int32_t n = 1;
  ASSERT_EQ(canSend(a, &r, &n), NTCAN_SUCCESS);
  CMSG got = read_one(b);
  EXPECT_EQ(got.id, 0x705);
  EXPECT_EQ(got.len, NTCAN_RTR | 1);

  peer_send(kNetA, remote(0x706, 0));
  got = read_one(b);
  EXPECT_EQ(got.id, 0x706);
  EXPECT_EQ(got.len, NTCAN_RTR);
}

TEST_P(ContractTest, SendRefusesAnArrayWithABadFrameWhole) {
  NTCAN_HANDLE a = open(kNetA);
  NTCAN_HANDLE b = open_with(kNetA, {0x100});
  const CMSG bad[] = {frame(0x800, {1}), frame(-1, {1}), [] {
                        CMSG f = frame(0x100, {1});
                        f.len = 9;
                        return f;
                      }()};
  for (const CMSG& x : bad) {
    CMSG two[2] = {frame(0x100, {1}), x};
    int32_t n = 2;
    EXPECT_EQ(canSend(a, two, &n), NTCAN_INVALID_PARAMETER) << x.id << "/" << int{x.len};
    EXPECT_EQ(n, 0);
  }
  settle(kNetA, a);
  EXPECT_TRUE(take_all(b).empty());
}

// ---- receive queue -------------------------------------------------------------------------

TEST_P(ContractTest, FullQueueDropsNewFramesAndCountsThemOnTheNextOne) {
  NTCAN_HANDLE h = open_with(kNetA, {0x180}, /*rxqueue=*/4);
  for (uint8_t i = 0; i < 6; ++i) peer_send(kNetA, frame(0x180, {i}));
  settle(kNetA);
  auto got = take_all(h);
  ASSERT_EQ(got.size(), 4u);
  for (uint8_t i = 0; i < 4; ++i) {
    EXPECT_EQ(got[i].data[0], i) << "the oldest frames stay";
    EXPECT_EQ(got[i].msg_lost, 0);
  }
  peer_send(kNetA, frame(0x180, {6}));
  peer_send(kNetA, frame(0x180, {7}));
  settle(kNetA);
  got = take_all(h);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].data[0], 6);
  EXPECT_EQ(got[0].msg_lost, 2);
  EXPECT_EQ(got[1].msg_lost, 0) << "a loss is reported once";
}

TEST_P(ContractTest, LostCountSaturatesAt255) {
  NTCAN_HANDLE h = open_with(kNetA, {0x180}, /*rxqueue=*/1);
  for (int i = 0; i < 301; ++i) peer_send(kNetA, frame(0x180, {}));
  settle(kNetA);
  ASSERT_EQ(take_all(h).size(), 1u);
  peer_send(kNetA, frame(0x180, {}));
  EXPECT_EQ(read_one(h).msg_lost, 255);
}

TEST_P(ContractTest, CountInIsCapacityCountOutIsDelivered) {
  NTCAN_HANDLE h = open_with(kNetA, {0x280});
  for (uint8_t i = 0; i < 5; ++i) peer_send(kNetA, frame(0x280, {i}));
  settle(kNetA);
  CMSG buf[10]{};
  int32_t n = 2;
  ASSERT_EQ(canTake(h, buf, &n), NTCAN_SUCCESS);
  ASSERT_EQ(n, 2);
  EXPECT_EQ(buf[1].data[0], 1);
  n = 10;
  ASSERT_EQ(canRead(h, buf, &n, nullptr), NTCAN_SUCCESS);
  ASSERT_EQ(n, 3) << "canRead returns what is queued without waiting for more";
  EXPECT_EQ(buf[0].data[0], 2);
  EXPECT_EQ(buf[2].data[0], 4);
}

TEST_P(ContractTest, BadCountsAndPointersAreRefused) {
  NTCAN_HANDLE h = open(kNetA);
  CMSG buf[2]{};
  for (int32_t bad : {0, -1}) {
    int32_t n = bad;
    EXPECT_EQ(canTake(h, buf, &n), NTCAN_INVALID_PARAMETER);
    EXPECT_EQ(n, 0);
    n = bad;
    EXPECT_EQ(canRead(h, buf, &n, nullptr), NTCAN_INVALID_PARAMETER);
    n = bad;
    EXPECT_EQ(canSend(h, buf, &n), NTCAN_INVALID_PARAMETER);
  }
  int32_t n = 1;
  EXPECT_EQ(canTake(h, nullptr, &n), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(canTake(h, buf, nullptr), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(canSend(h, nullptr, &n), NTCAN_INVALID_PARAMETER);
  n = 1;
  EXPECT_EQ(canRead(h, buf, &n, reinterpret_cast<OVERLAPPED*>(buf)), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(canStatus(h, nullptr), NTCAN_INVALID_PARAMETER);
}

// ---- waiting -------------------------------------------------------------------------------

TEST_P(ContractTest, ReadTimesOutWithNoFrames) {
  NTCAN_HANDLE h = open_with(kNetA, {0x100}, 100, /*rxtimeout=*/20);
  CMSG f{};
  int32_t n = 1;
  EXPECT_EQ(canRead(h, &f, &n, nullptr), NTCAN_RX_TIMEOUT);
  EXPECT_EQ(n, 0);
}

// The read with its own time-out ignores the handle's (10 minutes here): it waits its own time,
// to the microsecond, and returns when a frame comes.
TEST_P(ContractTest, ReadTimeoutKeepsItsOwnTime) {
  NTCAN_HANDLE h = open_with(kNetA, {0x100}, 100, /*rxtimeout=*/600000);
  CMSG f{};
  for (int64_t us : {int64_t{0}, int64_t{1500}}) {
    int32_t n = 1;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(canReadTimeout(h, &f, &n, us), NTCAN_RX_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::microseconds(us));
    EXPECT_EQ(n, 0);
  }
  peer_send(kNetA, frame(0x100, {7}));
  int32_t n = 1;
  EXPECT_EQ(canReadTimeout(h, &f, &n, 10'000'000), NTCAN_SUCCESS);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(f.data[0], 7);
}

TEST_P(ContractTest, TakeNeverWaits) {
  // A take that waited would wait for the whole (long) receive time-out.
  NTCAN_HANDLE h = open_with(kNetA, {0x100}, 100, /*rxtimeout=*/600000);
  CMSG f{};
  int32_t n = 1;
  EXPECT_EQ(canTake(h, &f, &n), NTCAN_SUCCESS);
  EXPECT_EQ(n, 0);
}

TEST_P(ContractTest, ReadWakesWhenAFrameArrives) {
  NTCAN_HANDLE h = open_with(kNetA, {0x100});
  CMSG got{};
  int32_t n = 1;
  NTCAN_RESULT r = -1;
  std::thread reader([&] { r = canRead(h, &got, &n, nullptr); });
  if (virtual_backend()) {
    ASSERT_TRUE(vbus::wait_for_readers(h, 1));
  }
  peer_send(kNetA, frame(0x100, {42}));
  reader.join();
  EXPECT_EQ(r, NTCAN_SUCCESS);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(got.data[0], 42);
}

TEST_P(ContractTest, CloseWakesAReaderOfThatHandle) {
  NTCAN_HANDLE h = open_with(kNetA, {0x100}, 100, /*rxtimeout=*/600000);
  CMSG got{};
  int32_t n = 1;
  NTCAN_RESULT r = -1;
  std::thread reader([&] { r = canRead(h, &got, &n, nullptr); });
  const bool blocked = virtual_backend() && vbus::wait_for_readers(h, 1);
  ASSERT_EQ(canClose(h), NTCAN_SUCCESS);
  reader.join();
  if (blocked) {
    EXPECT_EQ(r, NTCAN_OPERATION_ABORTED);
  } else {  // the reader may have come after the close
    EXPECT_TRUE(r == NTCAN_OPERATION_ABORTED || r == NTCAN_INVALID_HANDLE) << r;
  }
  EXPECT_EQ(n, 0);
}

// ---- arrival watchers (ntcan_wait.h) -----------------------------------------------------

class Watcher {
 public:
  Watcher() { EXPECT_EQ(canWatcherCreate(&w_), NTCAN_SUCCESS); }
  ~Watcher() { EXPECT_EQ(canWatcherDestroy(w_), NTCAN_SUCCESS); }
  NTCAN_WATCHER get() const { return w_; }
  // The handles reported by one wait, sorted; {-1} when it timed out.
  std::vector<NTCAN_HANDLE> wait(int64_t timeout_us = int64_t{kLongTimeoutMs} * 1000) {
    std::vector<NTCAN_HANDLE> ready(8);
    int32_t n = 8;
    const NTCAN_RESULT r = canWatcherWait(w_, ready.data(), &n, timeout_us);
    if (r == NTCAN_RX_TIMEOUT) return {-1};
    EXPECT_EQ(r, NTCAN_SUCCESS);
    ready.resize(static_cast<size_t>(n));
    std::sort(ready.begin(), ready.end());
    return ready;
  }

 private:
  NTCAN_WATCHER w_ = nullptr;
};

// Each handle that received frames is reported once per wait, only for enabled identifiers;
// the frames stay in the queue; frames waiting when a handle is added count at once.
TEST_P(ContractTest, WatcherReportsHandlesThatReceivedFramesOnce) {
  NTCAN_HANDLE a = open_with(kNetA, {0x181});
  NTCAN_HANDLE b = open_with(kNetA, {0x182});
  peer_send(kNetA, frame(0x181, {1}));
  settle(kNetA);
  Watcher w;
  ASSERT_EQ(canWatcherAdd(w.get(), a), NTCAN_SUCCESS);
  ASSERT_EQ(canWatcherAdd(w.get(), b), NTCAN_SUCCESS);
  ASSERT_EQ(canWatcherAdd(w.get(), a), NTCAN_SUCCESS);
  EXPECT_EQ(w.wait(), std::vector<NTCAN_HANDLE>({a}));
  EXPECT_EQ(w.wait(0), std::vector<NTCAN_HANDLE>({-1}));
  for (int i = 0; i < 3; ++i) peer_send(kNetA, frame(0x182, {2}));
  peer_send(kNetA, frame(0x183, {3}));  // enabled nowhere
  settle(kNetA);
  EXPECT_EQ(w.wait(), std::vector<NTCAN_HANDLE>({b}));
  EXPECT_EQ(take_all(b).size(), 3u);
  EXPECT_EQ(take_all(a).size(), 1u);
  EXPECT_EQ(w.wait(1000), std::vector<NTCAN_HANDLE>({-1}));
  ASSERT_EQ(canWatcherQuiet(w.get(), 0x182, 1), NTCAN_SUCCESS);  // queued, but wakes nobody
  peer_send(kNetA, frame(0x182, {5}));
  settle(kNetA);
  EXPECT_EQ(w.wait(1000), std::vector<NTCAN_HANDLE>({-1}));
  peer_send(kNetA, frame(0x181, {6}));
  settle(kNetA);
  EXPECT_EQ(w.wait(), std::vector<NTCAN_HANDLE>({a}));
  EXPECT_EQ(take_all(b).size(), 1u);
  ASSERT_EQ(canWatcherQuiet(w.get(), 0x182, 0), NTCAN_SUCCESS);
  ASSERT_EQ(canWatcherRemove(w.get(), b), NTCAN_SUCCESS);
  peer_send(kNetA, frame(0x182, {4}));
  settle(kNetA);
  EXPECT_EQ(w.wait(1000), std::vector<NTCAN_HANDLE>({-1}));
  Watcher other;
  EXPECT_EQ(canWatcherAdd(other.get(), a), NTCAN_WRONG_DEVICE_STATE);
  EXPECT_EQ(canWatcherAdd(other.get(), 0x7FFFFFF), NTCAN_INVALID_HANDLE);
}

// A waiter sleeps until a frame arrives (or a post), then wakes; a closed handle leaves.
TEST_P(ContractTest, WatcherWakesOnArrivalAndOnPost) {
  NTCAN_HANDLE h = open_with(kNetA, {0x181});
  Watcher w;
  ASSERT_EQ(canWatcherAdd(w.get(), h), NTCAN_SUCCESS);
  std::vector<NTCAN_HANDLE> got;
  std::thread waiter([&] { got = w.wait(); });
  peer_send(kNetA, frame(0x181, {1}));
  waiter.join();
  EXPECT_EQ(got, std::vector<NTCAN_HANDLE>({h}));
  waiter = std::thread([&] { got = w.wait(); });
  ASSERT_EQ(canWatcherPost(w.get(), 0), NTCAN_SUCCESS);
  waiter.join();
  EXPECT_TRUE(got.empty());
  ASSERT_EQ(canWatcherPost(w.get(), 77), NTCAN_SUCCESS);
  EXPECT_EQ(w.wait(), std::vector<NTCAN_HANDLE>({77}));
  ASSERT_EQ(canClose(h), NTCAN_SUCCESS);
  NTCAN_HANDLE again = open_with(kNetA, {0x181});
  peer_send(kNetA, frame(0x181, {1}));
  settle(kNetA);
  EXPECT_EQ(w.wait(1000), std::vector<NTCAN_HANDLE>({-1}));
  EXPECT_EQ(canWatcherAdd(w.get(), again), NTCAN_SUCCESS);
  EXPECT_EQ(w.wait(), std::vector<NTCAN_HANDLE>({again}));
}

// ---- line control --------------------------------------------------------------------------

TEST_P(ContractTest, BaudrateCodesOfTheStandardTableOnly) {
  NTCAN_HANDLE h = open(kNetA);
  NTCAN_HANDLE other = open(kNetA);
  uint32_t got = 0;
  for (uint32_t code : {0u, 2u, 6u, 14u}) {
    EXPECT_EQ(canSetBaudrate(h, code), NTCAN_SUCCESS);
    // The net's code, whichever handle asks.
    EXPECT_EQ(canGetBaudrate(other, &got), NTCAN_SUCCESS);
    EXPECT_EQ(got, code);
  }
  for (uint32_t code : {15u, 0x7FFFFFFFu, 0x80000000u}) {
    EXPECT_EQ(canSetBaudrate(h, code), NTCAN_INVALID_PARAMETER) << code;
  }
  EXPECT_EQ(canGetBaudrate(h, &got), NTCAN_SUCCESS);
  EXPECT_EQ(got, 14u);
  EXPECT_EQ(canGetBaudrate(h, nullptr), NTCAN_INVALID_PARAMETER);
}

TEST_P(ContractTest, StatusOfAWorkingNetSucceeds) {
  NTCAN_HANDLE h = open(kNetA);
  CAN_IF_STATUS st{};
  EXPECT_EQ(canStatus(h, &st), NTCAN_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Peers, ContractTest, ::testing::ValuesIn(peer_kinds()),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace ntcan_test
