// Time and sleep of the framework. Every pause and every reading of the time goes through one
// process-wide clock, which tests replace by a VirtualClock: pauses then cost no real time, the
// pauses requested are logged, and a test steps sleeping threads by advancing the time.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <vector>

#include "tavik_types.h"

// Debug word of the framework; bits switch optional output on.
extern int TAVIK_debug;
constexpr int DF_DAQ_5 = 0x100000;

// Blocking pause of `seconds` and `microseconds` on the process clock.
void TAVIKsleep(int seconds, int microseconds);
// Whole seconds since the epoch on the process clock.
time_t TAVIKtime();

namespace tavik {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual int64_t now_ns() = 0;  // nanoseconds since the epoch
  virtual void sleep_ns(int64_t ns) = 0;

  // Waits for an event from outside the clock (a frame from the bus) until `deadline_ns` on
  // this clock. `wait(ctx, real_ns)` blocks at most real_ns nanoseconds of real time (0: looks
  // without blocking) and returns true when the event came; the result is that of its last
  // call. This clock passes the time left until the deadline, again after an early return, so
  // that the deadline is kept to the nanosecond whatever `wait` rounds to.
  using WaitFn = bool (*)(void* ctx, int64_t real_ns);
  virtual bool wait_until(int64_t deadline_ns, WaitFn wait, void* ctx);
};

// The real clock (CLOCK_REALTIME, nanosleep).
class RealClock : public Clock {
 public:
  int64_t now_ns() override;
  void sleep_ns(int64_t ns) override;
};

// Installs `c` as the process clock; nullptr restores the real clock. The caller keeps
// ownership and must keep `c` alive while any thread may still use it.
void set_clock(Clock* c);
Clock& clock();

// Virtual time for tests.
//  - Every sleep is appended to a log (sleeps()).
//  - A sleep shorter than the auto-advance threshold (default 1 s) advances the virtual time by
//    its own length and returns at once: 5 ms and 100 ms pauses cost nothing.
//  - A longer sleep blocks until the test advances the time past its deadline (advance(),
//    advance_to_next_wakeup()); wait_for_sleepers() lets the test wait until threads are asleep.
//  - Each now_ns() reading may advance the time by a tick (set_tick_per_read), so that loops that
//    poll the clock without sleeping reach their deadlines.
//  - A wait for an outside event (wait_until) blocks in real time at most for the wait grace
//    (set_wait_grace, default 0: it only looks); when the event has not come by then, the time
//    jumps to the wait's deadline and the wait times out. So a silent bus costs no real time,
//    and answers from another thread are awaited for up to the grace.
//  - After shutdown() every sleep returns at once (time jumps to its deadline), so that threads
//    still using the clock can finish before it is destroyed.
class VirtualClock : public Clock {
 public:
  static constexpr int64_t kDefaultStart = 1'700'000'000LL * 1'000'000'000LL;
  explicit VirtualClock(int64_t start_ns = kDefaultStart);
  // Shuts the clock down and waits until no thread is inside sleep_ns any more.
  ~VirtualClock() override;

  int64_t now_ns() override;
  void sleep_ns(int64_t ns) override;

  void set_auto_advance_below(int64_t ns);
  void set_tick_per_read(int64_t ns);
  void set_wait_grace(int64_t real_ns);
  bool wait_until(int64_t deadline_ns, WaitFn wait, void* ctx) override;

  // Moves the time forward by `ns` and wakes every sleeper whose deadline has passed.
  void advance(int64_t ns);
  // Moves the time to the earliest deadline of a sleeping thread; returns the step (0 if none).
  int64_t advance_to_next_wakeup();
  // Waits (in real time, at most `real_timeout_ms`) until at least `n` threads sleep on the
  // clock; returns whether they do.
  bool wait_for_sleepers(size_t n, int real_timeout_ms = 10000);
  size_t sleepers();
  // Every pause requested so far, in nanoseconds, in order (blocking and auto-advanced alike).
  std::vector<int64_t> sleeps();
  void clear_sleeps();
  void shutdown();

 private:
  // One blocked sleep; lives on the sleeping thread's stack while it is listed in sleepers_.
  struct Sleeper {
    int64_t deadline;
    bool released = false;
  };
  // Takes every sleeper whose deadline has come (all of them after shutdown) off the list and
  // wakes them. Called with mx_ held.
  void release_due_locked();

  std::mutex mx_;
  std::condition_variable cv_;  // sleepers, wait_for_sleepers() and the destructor wait on it
  int64_t now_;
  int64_t auto_below_ = 1'000'000'000;
  int64_t tick_ = 0;
  int64_t wait_grace_ = 0;
  bool shutdown_ = false;
  // Threads blocked in sleep_ns now. A sleeper is removed by the thread that releases it, so
  // sleepers() never counts a thread that is merely on its way out of sleep_ns.
  std::vector<Sleeper*> sleepers_;
  size_t inside_ = 0;  // threads inside sleep_ns; the destructor waits for them to leave
  std::vector<int64_t> log_;
};

// Installs a VirtualClock for the lifetime of the object and restores the clock installed before
// it (the real clock unless scopes nest); the destructor shuts the clock down first.
class ScopedVirtualClock {
 public:
  explicit ScopedVirtualClock(int64_t start_ns = VirtualClock::kDefaultStart);
  ~ScopedVirtualClock();
  VirtualClock& operator*() { return clock_; }
  VirtualClock* operator->() { return &clock_; }
  ScopedVirtualClock(const ScopedVirtualClock&) = delete;
  ScopedVirtualClock& operator=(const ScopedVirtualClock&) = delete;

 private:
  VirtualClock clock_;
  Clock* previous_;  // the clock installed before; restored by the destructor (nesting)
};

// The time stamp to store for an update: a zero time stamp becomes the clock's current time.
Timestamp launder_timestamp(Timestamp ts);
// The event id to store for an update: returned unchanged (0 stays "no event").
EventId launder_event_id(EventId ev);

}  // namespace tavik
