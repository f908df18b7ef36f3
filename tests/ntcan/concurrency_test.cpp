// Concurrent use of the driver: many senders and readers on one net and on one handle, and
// handles closing while frames flow and readers wait. Run under ThreadSanitizer as well.
#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "contract.h"
#include "ntcan_wait.h"

namespace ntcan_test {
namespace {

constexpr int32_t kMarker = 0x7F0;

class ConcurrencyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!virtual_backend()) GTEST_SKIP() << "accounts with the virtual bus's loss counter";
    vbus::reset();
  }
  void TearDown() override {
    if (virtual_backend()) vbus::reset();
  }
};

CMSG numbered(int32_t id, uint32_t seq) {
  CMSG f = frame(id, {});
  f.len = 4;
  for (int i = 0; i < 4; ++i) f.data[i] = static_cast<uint8_t>(seq >> (8 * i));
  return f;
}

uint32_t seq_of(const CMSG& f) {
  uint32_t s = 0;
  for (int i = 0; i < 4; ++i) s |= uint32_t{f.data[i]} << (8 * i);
  return s;
}

struct ReaderLog {
  uint64_t frames = 0;
  uint64_t msg_lost = 0;
  bool saturated = false;
  bool in_order = true;
  std::map<int32_t, int64_t> last_seq;  // per sender identifier

  void add(const CMSG& f) {
    ++frames;
    msg_lost += f.msg_lost;
    saturated |= f.msg_lost == 255;
    int64_t s = seq_of(f);
    auto [it, fresh] = last_seq.emplace(f.id, s);
    if (!fresh) {
      in_order &= s > it->second;
      it->second = s;
    }
  }
};

// Four sender threads (two of them share one handle) and three receiving handles with two
// reader threads each, one reading, one taking. Every frame sent to a handle is either
// delivered once or counted as lost, and each thread sees each sender's frames in order.
TEST_F(ConcurrencyTest, EveryFrameIsDeliveredOrCountedLost) {
  constexpr int kSenderThreads = 4;
  constexpr uint32_t kFramesPerSender = 3000;
  constexpr int kReceivers = 3;
  vbus::set_sent_limit(size_t{kSenderThreads} * kFramesPerSender);

  NTCAN_HANDLE tx[3];
  for (auto& h : tx) ASSERT_EQ(canOpen(kNetA, 0, 10, 10, 1000, 1000, &h), NTCAN_SUCCESS);
  NTCAN_HANDLE rx[kReceivers];
  for (auto& h : rx) {
    ASSERT_EQ(canOpen(kNetA, 0, 10, /*rxqueue=*/32, 1000, /*rxtimeout=*/1, &h), NTCAN_SUCCESS);
    for (int s = 0; s < kSenderThreads; ++s) ASSERT_EQ(canIdAdd(h, 0x100 + s), NTCAN_SUCCESS);
    ASSERT_EQ(canIdAdd(h, kMarker), NTCAN_SUCCESS);
  }
  // A receiver on another net that would see the frames if they crossed nets.
  NTCAN_HANDLE other = NTCAN_NO_HANDLE;
  ASSERT_EQ(canOpen(kNetB, 0, 10, 10, 1000, 1000, &other), NTCAN_SUCCESS);
  ASSERT_EQ(canIdAdd(other, 0x100), NTCAN_SUCCESS);
  std::atomic<uint64_t> device_saw{0};
  vbus::attach_device(kNetA, [&](int, const CMSG&) { device_saw.fetch_add(1); });

  std::atomic<bool> done{false};
  ReaderLog logs[kReceivers][2];
  std::vector<std::thread> readers;
  for (int r = 0; r < kReceivers; ++r) {
    readers.emplace_back([&, r] {
      CMSG buf[8];
      for (;;) {
        const bool last = done.load();
        int32_t n = 8;
        NTCAN_RESULT res = canRead(rx[r], buf, &n, nullptr);
        for (int32_t i = 0; i < n; ++i) logs[r][0].add(buf[i]);
        if (res == NTCAN_RX_TIMEOUT && last) return;
      }
    });
    readers.emplace_back([&, r] {
      CMSG buf[3];
      for (;;) {
        const bool last = done.load();
        int32_t n = 3;
        ASSERT_EQ(canTake(rx[r], buf, &n), NTCAN_SUCCESS);
        for (int32_t i = 0; i < n; ++i) logs[r][1].add(buf[i]);
        if (n == 0) {
          if (last) return;
          std::this_thread::yield();
        }
      }
    });
  }

  std::vector<std::thread> senders;
  for (int s = 0; s < kSenderThreads; ++s) {
    senders.emplace_back([&, s] {
      const NTCAN_HANDLE h = tx[s < 2 ? 0 : s - 1];  // threads 0 and 1 share a handle
      uint32_t seq = 0;
      while (seq < kFramesPerSender) {
        CMSG batch[3];
        int32_t n = 0;
        for (; n < 1 + int32_t(seq % 3) && seq < kFramesPerSender; ++n) {
          batch[n] = numbered(0x100 + s, seq++);
        }
        const int32_t want = n;
        ASSERT_EQ(canSend(h, batch, &n), NTCAN_SUCCESS);
        ASSERT_EQ(n, want);
      }
    });
  }
  for (auto& t : senders) t.join();
  done.store(true);
  for (auto& t : readers) t.join();

  const uint64_t sent = uint64_t{kSenderThreads} * kFramesPerSender;
  EXPECT_EQ(vbus::sent(kNetA).size(), sent);
  EXPECT_EQ(device_saw.load(), sent);
  CMSG stray{};
  int32_t n = 1;
  EXPECT_EQ(canTake(other, &stray, &n), NTCAN_SUCCESS);
  EXPECT_EQ(n, 0) << "frames crossed nets";

  // The queues are empty now; a marker frame carries the loss not yet reported.
  vbus::inject(kNetA, frame(kMarker, {}));
  for (int r = 0; r < kReceivers; ++r) {
    SCOPED_TRACE(r);
    CMSG marker{};
    n = 1;
    ASSERT_EQ(canTake(rx[r], &marker, &n), NTCAN_SUCCESS);
    ASSERT_EQ(n, 1);
    ASSERT_EQ(marker.id, kMarker);
    const ReaderLog& a = logs[r][0];
    const ReaderLog& b = logs[r][1];
    const uint64_t lost = vbus::lost(rx[r]);
    EXPECT_EQ(a.frames + b.frames + lost, sent);
    EXPECT_TRUE(a.in_order);
    EXPECT_TRUE(b.in_order);
    if (!a.saturated && !b.saturated && marker.msg_lost != 255) {
      EXPECT_EQ(a.msg_lost + b.msg_lost + marker.msg_lost, lost);
    }
  }
  EXPECT_EQ(vbus::open_handles(), 3 + kReceivers + 1);
}

// Handles open and close while a sender keeps the net busy, readers wait on the closing
// handles and filters change: closed handles wake their readers and never crash anyone.
TEST_F(ConcurrencyTest, HandlesCloseWhileFramesFlowAndReadersWait) {
  NTCAN_HANDLE tx = NTCAN_NO_HANDLE;
  ASSERT_EQ(canOpen(kNetA, 0, 10, 10, 1000, 1000, &tx), NTCAN_SUCCESS);
  NTCAN_HANDLE steady = NTCAN_NO_HANDLE;
  ASSERT_EQ(canOpen(kNetA, 0, 10, 16, 1000, 1000, &steady), NTCAN_SUCCESS);

  std::atomic<bool> stop{false};
  std::thread sender([&] {
    CMSG f = frame(0x100, {1});
    while (!stop.load()) {
      int32_t n = 1;
      ASSERT_EQ(canSend(tx, &f, &n), NTCAN_SUCCESS);
    }
  });
  std::thread filters([&] {
    while (!stop.load()) {
      ASSERT_EQ(canIdAdd(steady, 0x100), NTCAN_SUCCESS);
      CMSG buf[16];
      int32_t n = 16;
      ASSERT_EQ(canTake(steady, buf, &n), NTCAN_SUCCESS);
      ASSERT_EQ(canIdDelete(steady, 0x100), NTCAN_SUCCESS);
    }
  });

  for (int round = 0; round < 100; ++round) {
    NTCAN_HANDLE h = NTCAN_NO_HANDLE;
    ASSERT_EQ(canOpen(kNetA, 0, 10, 4, 1000, 600000, &h), NTCAN_SUCCESS);
    ASSERT_EQ(canIdAdd(h, 0x100), NTCAN_SUCCESS);
    NTCAN_RESULT last = NTCAN_SUCCESS;
    std::thread reader([&] {
      CMSG buf[2];
      do {
        int32_t n = 2;
        last = canRead(h, buf, &n, nullptr);
      } while (last == NTCAN_SUCCESS);
    });
    ASSERT_EQ(canClose(h), NTCAN_SUCCESS);
    reader.join();
    EXPECT_TRUE(last == NTCAN_OPERATION_ABORTED || last == NTCAN_INVALID_HANDLE) << last;
  }
  stop.store(true);
  sender.join();
  filters.join();
  EXPECT_EQ(vbus::open_handles(), 2);
}

// A watcher's waiter against four injecting threads over eight handles: the waiter empties
// every handle it is told of and takes nothing else; when the senders are done, every frame
// has been taken (none was left without its handle being reported), none twice.
TEST_F(ConcurrencyTest, WatcherMissesNoArrival) {
  constexpr int kHandles = 8;
  constexpr int kPerSender = 5000;
  NTCAN_WATCHER w = nullptr;
  ASSERT_EQ(canWatcherCreate(&w), NTCAN_SUCCESS);
  std::vector<NTCAN_HANDLE> hs;
  for (int i = 0; i < kHandles; ++i) {
    NTCAN_HANDLE h = NTCAN_NO_HANDLE;
    ASSERT_EQ(canOpen(kNetA, 0, 10, 100000, 100, 100, &h), NTCAN_SUCCESS);
    ASSERT_EQ(canIdAdd(h, 0x100 + i), NTCAN_SUCCESS);
    ASSERT_EQ(canWatcherAdd(w, h), NTCAN_SUCCESS);
    hs.push_back(h);
  }
  std::atomic<int> senders_left{4};
  std::atomic<uint64_t> taken{0};
  std::thread waiter([&] {
    NTCAN_HANDLE ready[kHandles];
    for (;;) {
      const bool last = senders_left.load() == 0;
      int32_t n = kHandles;
      canWatcherWait(w, ready, &n, last ? 0 : 100'000);
      // A report stands for the arrivals up to now, not for one take's worth: a handle is
      // emptied before the next wait (a backlog of a loaded machine exceeds take_all's 1024).
      for (int32_t i = 0; i < n; ++i) {
        for (size_t got; (got = canbus_test::take_all(ready[i]).size()) > 0;) taken += got;
      }
      if (last && n == 0) break;
    }
  });
  std::vector<std::thread> senders;
  for (int s = 0; s < 4; ++s) {
    senders.emplace_back([&, s] {
      for (uint32_t k = 0; k < kPerSender; ++k) {
        vbus::inject(kNetA, numbered(0x100 + static_cast<int32_t>((k + s) % kHandles), k));
      }
      --senders_left;
    });
  }
  for (auto& t : senders) t.join();
  waiter.join();
  EXPECT_EQ(taken.load(), 4u * kPerSender);
  for (NTCAN_HANDLE h : hs) {
    EXPECT_TRUE(canbus_test::take_all(h).empty());
    canClose(h);
  }
  EXPECT_EQ(canWatcherDestroy(w), NTCAN_SUCCESS);
}

}  // namespace
}  // namespace ntcan_test
