// Virtual time: pauses cost no real time, are logged, and sleeping threads are stepped by the test.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "tavik_time.h"

namespace {

constexpr int64_t kSec = 1'000'000'000;
constexpr int64_t kStart = tavik::VirtualClock::kDefaultStart;

TEST(VirtualClock, ShortSleepAdvancesTimeAndReturns) {
  tavik::ScopedVirtualClock vc;
  TAVIKsleep(0, 5000);
  TAVIKsleep(0, 100000);
  EXPECT_EQ(vc->now_ns(), kStart + 105'000'000);
  EXPECT_EQ(vc->sleeps(), (std::vector<int64_t>{5'000'000, 100'000'000}));
  EXPECT_EQ(vc->sleepers(), 0u);
  vc->clear_sleeps();
  EXPECT_TRUE(vc->sleeps().empty());
}

TEST(VirtualClock, LongSleepBlocksUntilTheTestAdvancesPastItsDeadline) {
  tavik::ScopedVirtualClock vc;
  std::atomic<bool> woke{false};
  std::thread sleeper([&] {
    TAVIKsleep(60, 0);
    woke = true;
  });
  ASSERT_TRUE(vc->wait_for_sleepers(1));
  EXPECT_EQ(vc->sleeps(), std::vector<int64_t>{60 * kSec});

  vc->advance(59 * kSec);
  // Still listed as asleep: the release happens inside advance(), under the clock's lock.
  EXPECT_EQ(vc->sleepers(), 1u);
  EXPECT_FALSE(woke);

  vc->advance(kSec);
  sleeper.join();
  EXPECT_TRUE(woke);
  EXPECT_EQ(vc->sleepers(), 0u);
  EXPECT_EQ(TAVIKtime(), static_cast<time_t>(kStart / kSec + 60));
}

TEST(VirtualClock, AdvanceToNextWakeupStepsTheEarliestSleeper) {
  tavik::ScopedVirtualClock vc;
  std::atomic<int> woken{0};
  std::thread a([&] {
    TAVIKsleep(10, 0);
    ++woken;
  });
  std::thread b([&] {
    TAVIKsleep(30, 0);
    ++woken;
  });
  ASSERT_TRUE(vc->wait_for_sleepers(2));

  EXPECT_EQ(vc->advance_to_next_wakeup(), 10 * kSec);
  a.join();
  EXPECT_EQ(woken, 1);
  EXPECT_EQ(vc->sleepers(), 1u);

  EXPECT_EQ(vc->advance_to_next_wakeup(), 20 * kSec);
  b.join();
  EXPECT_EQ(woken, 2);
  EXPECT_EQ(vc->advance_to_next_wakeup(), 0);
  EXPECT_EQ(vc->now_ns(), kStart + 30 * kSec);
}

TEST(VirtualClock, ThreadThatSleepsAgainIsCountedOnlyOnceAsleep) {
  tavik::ScopedVirtualClock vc;
  std::thread loop([] {
    for (int k = 0; k < 3; ++k) TAVIKsleep(15, 0);
  });
  for (int k = 0; k < 3; ++k) {
    ASSERT_TRUE(vc->wait_for_sleepers(1));
    EXPECT_EQ(vc->advance_to_next_wakeup(), 15 * kSec);
  }
  loop.join();
  EXPECT_EQ(vc->sleeps(), (std::vector<int64_t>{15 * kSec, 15 * kSec, 15 * kSec}));
}

TEST(VirtualClock, ShutdownReleasesSleepersAndLaterSleepsReturnAtOnce) {
  tavik::ScopedVirtualClock vc;
  std::thread sleeper([] { TAVIKsleep(60, 0); });
  ASSERT_TRUE(vc->wait_for_sleepers(1));
  vc->shutdown();
  sleeper.join();
  EXPECT_EQ(vc->now_ns(), kStart + 60 * kSec);  // time jumped to the deadline
  TAVIKsleep(20, 0);
  EXPECT_EQ(vc->now_ns(), kStart + 80 * kSec);
  EXPECT_EQ(vc->sleepers(), 0u);
}

TEST(VirtualClock, DestructorReleasesAThreadStillAsleep) {
  auto c = std::make_unique<tavik::VirtualClock>();
  tavik::VirtualClock* raw = c.get();
  std::thread sleeper([raw] { raw->sleep_ns(60 * kSec); });
  ASSERT_TRUE(c->wait_for_sleepers(1));
  c.reset();  // must not return before the sleeper has left the clock
  sleeper.join();
}

TEST(VirtualClock, ThresholdDecidesWhichSleepsBlock) {
  tavik::ScopedVirtualClock vc;
  vc->set_auto_advance_below(20 * kSec);
  TAVIKsleep(15, 0);  // below the threshold now
  EXPECT_EQ(vc->now_ns(), kStart + 15 * kSec);
  std::thread sleeper([] { TAVIKsleep(20, 0); });
  ASSERT_TRUE(vc->wait_for_sleepers(1));
  vc->advance(20 * kSec);
  sleeper.join();
}

TEST(VirtualClock, EachReadAdvancesByTheTick) {
  tavik::ScopedVirtualClock vc;
  vc->set_tick_per_read(1000);
  const int64_t t1 = tavik::clock().now_ns();
  const int64_t t2 = tavik::clock().now_ns();
  EXPECT_EQ(t1, kStart);
  EXPECT_EQ(t2 - t1, 1000);
}

TEST(VirtualClock, TickReleasesASleeperWhoseDeadlinePasses) {
  tavik::ScopedVirtualClock vc;
  vc->set_tick_per_read(kSec);
  std::thread sleeper([] { TAVIKsleep(2, 0); });
  ASSERT_TRUE(vc->wait_for_sleepers(1));
  tavik::clock().now_ns();
  EXPECT_EQ(vc->sleepers(), 1u);
  tavik::clock().now_ns();
  sleeper.join();
}

// A wait for an outside event: the real waits `wait` is asked for, and where the time ends up.
struct WaitCase {
  int64_t deadline_in;  // ns from now
  int64_t grace;        // real ns the virtual clock may wait
  bool event;           // the event is there
  bool result;
  std::vector<int64_t> asked;  // real ns asked of `wait`, in order
  int64_t moved;               // virtual ns the time moved
};

TEST(VirtualClock, WaitForAnOutsideEvent) {
  const WaitCase cases[] = {
      {3'000, 0, true, true, {0}, 0},                   // there at once: no time passes
      {3'000, 0, false, false, {0, 0}, 3'000},          // a look, then the deadline, a last look
      {3'000, 1'000, false, false, {1'000, 0}, 3'000},  // the grace in real time first
      {3'000, 9'000, false, false, {3'000, 0}, 3'000},  // never more than the time left
      {-5, 0, false, false, {0}, 0},                    // deadline passed: one look
  };
  for (const WaitCase& c : cases) {
    tavik::VirtualClock clock;
    clock.set_wait_grace(c.grace);
    struct Ctx {
      bool event;
      std::vector<int64_t> asked;
    } ctx{c.event, {}};
    const int64_t start = clock.now_ns();
    const bool r = clock.wait_until(
        start + c.deadline_in,
        [](void* p, int64_t real_ns) {
          auto* x = static_cast<Ctx*>(p);
          x->asked.push_back(real_ns);
          return x->event;
        },
        &ctx);
    EXPECT_EQ(r, c.result) << c.deadline_in << " " << c.grace;
    EXPECT_EQ(ctx.asked, c.asked) << c.deadline_in << " " << c.grace;
    EXPECT_EQ(clock.now_ns() - start, c.moved) << c.deadline_in << " " << c.grace;
    EXPECT_TRUE(clock.sleeps().empty());
  }
}

TEST(ProcessClock, ScopedClockIsInstalledAndRestoredWhenScopesNest) {
  tavik::Clock* before = &tavik::clock();
  {
    tavik::ScopedVirtualClock outer(5 * kSec);
    EXPECT_EQ(&tavik::clock(), &*outer);
    EXPECT_EQ(TAVIKtime(), 5);
    {
      tavik::ScopedVirtualClock inner(9 * kSec);
      EXPECT_EQ(TAVIKtime(), 9);
    }
    EXPECT_EQ(&tavik::clock(), &*outer);
  }
  EXPECT_EQ(&tavik::clock(), before);
  EXPECT_EQ(dynamic_cast<tavik::VirtualClock*>(before), nullptr);
}

TEST(ProcessClock, LaunderingFillsOnlyAMissingTimestamp) {
  tavik::ScopedVirtualClock vc;
  EXPECT_EQ(tavik::launder_timestamp(tavik::Timestamp()).ns(), kStart);
  EXPECT_EQ(tavik::launder_timestamp(tavik::Timestamp(10, 250000)).ns(), 10'250'000'000);
  EXPECT_EQ(tavik::launder_event_id(0), 0);
  EXPECT_EQ(tavik::launder_event_id(42), 42);
}

}  // namespace
