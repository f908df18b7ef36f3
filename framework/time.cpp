// Process clock, real and virtual time, and the framework's sleep and time calls.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>

#include "tavik_time.h"

int TAVIK_debug = 0;

namespace tavik {
namespace {

constexpr int64_t kNsPerSec = 1'000'000'000;

// The installed clock; nullptr stands for the real clock. Read by every thread that sleeps or
// reads the time, written by tests, hence atomic.
std::atomic<Clock*> g_clock{nullptr};

// Never destroyed: detached threads may still sleep on it while static objects are torn down.
RealClock& real_clock() {
  static RealClock* const real = new RealClock();
  return *real;
}

}  // namespace

int64_t RealClock::now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * kNsPerSec + ts.tv_nsec;
}

void RealClock::sleep_ns(int64_t ns) {
  if (ns <= 0) return;
  timespec req{};
  req.tv_sec = static_cast<time_t>(ns / kNsPerSec);
  req.tv_nsec = static_cast<long>(ns % kNsPerSec);
  timespec rem{};
  // A signal must not cut the pause short.
  while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}

bool Clock::wait_until(int64_t deadline_ns, WaitFn wait, void* ctx) {
  for (;;) {
    const int64_t left = deadline_ns - now_ns();
    if (left <= 0) return wait(ctx, 0);
    if (wait(ctx, left)) return true;
  }
}

void set_clock(Clock* c) {
  g_clock.store(c, std::memory_order_release);
}

Clock& clock() {
  Clock* c = g_clock.load(std::memory_order_acquire);
  return c != nullptr ? *c : real_clock();
}

VirtualClock::VirtualClock(int64_t start_ns) : now_(start_ns) {}

VirtualClock::~VirtualClock() {
  std::unique_lock<std::mutex> lk(mx_);
  shutdown_ = true;
  release_due_locked();
  cv_.wait(lk, [this] { return inside_ == 0; });
}

void VirtualClock::release_due_locked() {
  bool any = false;
  for (auto it = sleepers_.begin(); it != sleepers_.end();) {
    if (shutdown_ || (*it)->deadline <= now_) {
      (*it)->released = true;
      it = sleepers_.erase(it);
      any = true;
    } else {
      ++it;
    }
  }
  if (any) cv_.notify_all();
}

int64_t VirtualClock::now_ns() {
  std::lock_guard<std::mutex> lk(mx_);
  const int64_t t = now_;
  if (tick_ > 0) {
    now_ += tick_;
    release_due_locked();
  }
  return t;
}

void VirtualClock::sleep_ns(int64_t ns) {
  std::unique_lock<std::mutex> lk(mx_);
  log_.push_back(ns);
  const int64_t step = std::max<int64_t>(ns, 0);
  if (shutdown_ || ns < auto_below_) {
    now_ += step;
    release_due_locked();
    return;
  }
  Sleeper self{now_ + step};
  sleepers_.push_back(&self);
  ++inside_;
  cv_.notify_all();  // wait_for_sleepers() may be waiting for this thread
  cv_.wait(lk, [&self] { return self.released; });
  // After a shutdown the time jumps to the deadline, as if the pause had been served.
  now_ = std::max(now_, self.deadline);
  --inside_;
  cv_.notify_all();  // the destructor may be waiting for the last thread to leave
}

void VirtualClock::set_auto_advance_below(int64_t ns) {
  std::lock_guard<std::mutex> lk(mx_);
  auto_below_ = ns;
}

void VirtualClock::set_tick_per_read(int64_t ns) {
  std::lock_guard<std::mutex> lk(mx_);
  tick_ = ns;
}

void VirtualClock::set_wait_grace(int64_t real_ns) {
  std::lock_guard<std::mutex> lk(mx_);
  wait_grace_ = real_ns;
}

bool VirtualClock::wait_until(int64_t deadline_ns, WaitFn wait, void* ctx) {
  int64_t left = 0;
  int64_t grace = 0;
  {
    std::lock_guard<std::mutex> lk(mx_);
    left = deadline_ns - now_;
    grace = wait_grace_;
  }
  if (left <= 0) return wait(ctx, 0);
  if (wait(ctx, std::min(left, grace))) return true;
  {
    std::lock_guard<std::mutex> lk(mx_);
    now_ = std::max(now_, deadline_ns);
    release_due_locked();
  }
  return wait(ctx, 0);
}

void VirtualClock::advance(int64_t ns) {
  std::lock_guard<std::mutex> lk(mx_);
  now_ += std::max<int64_t>(ns, 0);
  release_due_locked();
}

int64_t VirtualClock::advance_to_next_wakeup() {
  std::lock_guard<std::mutex> lk(mx_);
  if (sleepers_.empty()) return 0;
  int64_t next = sleepers_.front()->deadline;
  for (const Sleeper* s : sleepers_) next = std::min(next, s->deadline);
  const int64_t step = std::max<int64_t>(next - now_, 0);
  now_ += step;
  release_due_locked();
  return step;
}

bool VirtualClock::wait_for_sleepers(size_t n, int real_timeout_ms) {
  std::unique_lock<std::mutex> lk(mx_);
  return cv_.wait_for(lk, std::chrono::milliseconds(real_timeout_ms),
                      [this, n] { return sleepers_.size() >= n; });
}

size_t VirtualClock::sleepers() {
  std::lock_guard<std::mutex> lk(mx_);
  return sleepers_.size();
}

std::vector<int64_t> VirtualClock::sleeps() {
  std::lock_guard<std::mutex> lk(mx_);
  return log_;
}

void VirtualClock::clear_sleeps() {
  std::lock_guard<std::mutex> lk(mx_);
  log_.clear();
}

void VirtualClock::shutdown() {
  std::lock_guard<std::mutex> lk(mx_);
  shutdown_ = true;
  release_due_locked();
}

ScopedVirtualClock::ScopedVirtualClock(int64_t start_ns)
    : clock_(start_ns), previous_(g_clock.load(std::memory_order_acquire)) {
  set_clock(&clock_);
}

ScopedVirtualClock::~ScopedVirtualClock() {
  clock_.shutdown();
  set_clock(previous_);
}

Timestamp launder_timestamp(Timestamp ts) {
  return ts.ns() != 0 ? ts : Timestamp::from_ns(clock().now_ns());
}

EventId launder_event_id(EventId ev) {
  return ev;
}

}  // namespace tavik

void TAVIKsleep(int seconds, int microseconds) {
  tavik::clock().sleep_ns(static_cast<int64_t>(seconds) * tavik::kNsPerSec +
                          static_cast<int64_t>(microseconds) * 1000);
}

time_t TAVIKtime() {
  return static_cast<time_t>(tavik::clock().now_ns() / tavik::kNsPerSec);
}
