// The SYNC producer of a line. The schedule is absolute: SYNC n after start() is due at
// start + n * period on the framework clock, so a late wake-up delays that one SYNC and not the
// ones after it. The thread of its own waits on a condition variable in real time (stop() ends
// the wait at once). In real time it keeps its deadlines with normal scheduling by three
// means, measured in BENCHMARKS.md:
//  - timer slack of 1 ns, so that the kernel does not add its default 50 µs to every wake-up;
//  - a time slice of 100 µs asked of the scheduler (sched_setattr, SCHED_OTHER; kernels from
//    6.12 honour it, older ones ignore it): with its early virtual deadline the woken thread
//    preempts the task that runs instead of waiting behind it on a loaded machine;
//  - the wait ends 150 µs before the deadline and the rest is spent reading the clock (a timer
//    wake-up comes 50 to 100 µs late even so), 1.2 to 1.4 % of a core at 10 ms.
// On the tests' virtual clock it waits for the whole time on the condition variable.
//
// Locks: mx_ guards the schedule, the counters, the queue and the listener list, and is never
// held while a frame goes to the driver or a listener runs. send_mx_ is held by the sending
// thread for one SYNC with its queued frames and its listeners, so that remove_listener() can
// wait for a listener call in progress.
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <system_error>

#include "D_esdcan.h"
#include "registry.h"

namespace canbus {
namespace {

// The last stretch before a deadline, waited on the real clock instead of asleep.
constexpr int64_t kSpinNs = 150'000;
// The time slice asked for; the shortest the kernel accepts.
constexpr uint64_t kSliceNs = 100'000;

// The kernel's struct sched_attr (linux/sched/types.h, which clashes with <sched.h>).
struct SchedAttr {
  uint32_t size;
  uint32_t sched_policy;
  uint64_t sched_flags;
  int32_t sched_nice;
  uint32_t sched_priority;
  uint64_t sched_runtime;
  uint64_t sched_deadline;
  uint64_t sched_period;
};

// Asks for the short slice for the calling thread, keeping its nice value; 0 or the errno. A
// thread of another policy (SCHED_BATCH, SCHED_IDLE) is left as it is.
int ask_short_slice() {
  if (sched_getscheduler(0) != SCHED_OTHER) return 0;
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, 0);  // of the calling thread on Linux
  if (nice == -1 && errno != 0) return errno;
  SchedAttr a{};
  a.size = sizeof a;
  a.sched_policy = SCHED_OTHER;
  a.sched_nice = nice;
  a.sched_runtime = kSliceNs;
  return syscall(SYS_sched_setattr, 0, &a, 0U) == 0 ? 0 : errno;
}

// Time that runs by itself: not the tests' virtual clock, which moves only when told to.
bool on_running_clock() {
  return dynamic_cast<tavik::VirtualClock*>(&tavik::clock()) == nullptr;
}

}  // namespace

SyncProducer::SyncProducer(int line) : line_(line) {}

SyncProducer::~SyncProducer() {
  stop();
}

NTCAN_HANDLE SyncProducer::line_handle() const {
  return canline_handle(line_);
}

bool SyncProducer::start(int64_t period_us, int counter_overflow, bool own_thread) {
  if (period_us <= 0 || counter_overflow == 1 || counter_overflow < 0 || counter_overflow > 240) {
    return false;
  }
  std::lock_guard<std::mutex> lk(mx_);
  if (running_ || thread_.joinable()) return false;
  period_ns_ = period_us * 1000;
  start_ns_ = tavik::clock().now_ns();
  n_ = 0;
  overflow_ = counter_overflow;
  counter_ = 0;
  stop_ = false;
  running_ = true;
  if (!own_thread) return true;
  try {
    thread_ = std::thread(&SyncProducer::run, this);
  } catch (const std::system_error& e) {
    running_ = false;
    tavik::printtostderr("SyncProducer", std::string("cannot start its thread: ") + e.what(),
                         DF_LOG);
    return false;
  }
  return true;
}

bool SyncProducer::stop() {
  if (sending_thread_.load() == std::this_thread::get_id()) return false;
  std::thread t;
  {
    std::lock_guard<std::mutex> lk(mx_);
    running_ = false;
    stop_ = true;
    t = std::move(thread_);
  }
  cv_.notify_all();
  if (t.joinable()) t.join();
  return true;
}

bool SyncProducer::running() const {
  std::lock_guard<std::mutex> lk(mx_);
  return running_;
}

int64_t SyncProducer::next_due_ns() const {
  std::lock_guard<std::mutex> lk(mx_);
  return running_ ? start_ns_ + static_cast<int64_t>(n_ + 1) * period_ns_ : 0;
}

int64_t SyncProducer::period_ns() const {
  std::lock_guard<std::mutex> lk(mx_);
  return running_ ? period_ns_ : 0;
}

SyncStats SyncProducer::stats() const {
  std::lock_guard<std::mutex> lk(mx_);
  return stats_;
}

bool SyncProducer::tick() {
  return send_due(tavik::clock().now_ns());
}

bool SyncProducer::send_due(int64_t now) {
  std::lock_guard<std::mutex> sl(send_mx_);
  CMSG sync{};
  sync.id = static_cast<int32_t>(kCobSync);
  SyncEvent ev;
  std::vector<CMSG> after;
  std::vector<std::shared_ptr<Listener>> fns;
  {
    std::lock_guard<std::mutex> lk(mx_);
    if (!running_) return false;
    const int64_t due = start_ns_ + static_cast<int64_t>(n_ + 1) * period_ns_;
    if (now < due) return false;
    // More than a whole period late: the periods missed are passed over, this SYNC stands for
    // the latest one that is due.
    const uint64_t latest = static_cast<uint64_t>((now - start_ns_) / period_ns_);
    stats_.skipped += latest - (n_ + 1);
    n_ = latest;
    if (overflow_ != 0) {
      counter_ = counter_ >= overflow_ ? 1 : static_cast<uint8_t>(counter_ + 1);
      sync.len = 1;
      sync.data[0] = counter_;
    }
    ev.counter = counter_;
    ev.time_ns = now;
    ev.due_ns = start_ns_ + static_cast<int64_t>(latest) * period_ns_;
    ev.sequence = stats_.sent + stats_.failed + 1;
    after.swap(queued_);
    for (const Slot& s : listeners_) fns.push_back(s.fn);
  }
  const NTCAN_HANDLE h = line_handle();
  int32_t count = 1;
  const bool ok = h > 0 && canSend(h, &sync, &count) == NTCAN_SUCCESS && count == 1;
  uint64_t rpdos = 0;
  for (CMSG& m : after) {
    int32_t c = 1;
    if (ok && canSend(h, &m, &c) == NTCAN_SUCCESS && c == 1) ++rpdos;
  }
  {
    std::lock_guard<std::mutex> lk(mx_);
    ++(ok ? stats_.sent : stats_.failed);
    stats_.rpdos += rpdos;
  }
  if (!ok) return false;
  sending_thread_ = std::this_thread::get_id();
  for (const auto& fn : fns) {
    try {
      (*fn)(ev);
    } catch (...) {
      tavik::printtostderr("SyncProducer", "a listener threw", DF_LOG);
    }
  }
  sending_thread_ = std::thread::id();
  return true;
}

void SyncProducer::set_realtime_priority(int priority) {
  std::lock_guard<std::mutex> lk(mx_);
  rt_priority_ = std::max(0, std::min(priority, 99));
}

void SyncProducer::run() {
  // 1 ns of timer slack (the kernel's default is 50 µs): SYNC jitter is what this thread is for.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  std::unique_lock<std::mutex> lk(mx_);
  bool realtime = false;
  if (rt_priority_ > 0) {
    sched_param sp{};
    sp.sched_priority = rt_priority_;
    const int r = pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);
    realtime = r == 0;
    if (r != 0) {
      tavik::printtostderr("SyncProducer",
                           "Line : " + std::to_string(line_) +
                               ": real-time priority refused, normal scheduling (error " +
                               std::to_string(r) + ")",
                           DF_LOG);
    }
  }
  if (!realtime) {
    const int r = ask_short_slice();
    if (r != 0) {
      tavik::printtostderr(
          "SyncProducer",
          "Line : " + std::to_string(line_) + ": short time slice refused: " + std::strerror(r),
          DF_LOG);
    }
  }
  while (!stop_) {
    const int64_t due = start_ns_ + static_cast<int64_t>(n_ + 1) * period_ns_;
    const int64_t left = due - tavik::clock().now_ns();
    const int64_t spin = on_running_clock() ? kSpinNs : 0;
    if (left > spin) {
      cv_.wait_for(lk, std::chrono::nanoseconds(left - spin));
      continue;  // looks at the clock again: a wake-up may come early
    }
    if (left > 0) {
      // The last stretch on the clock, without the lock; stop() ends it too.
      lk.unlock();
      while (!stop_.load(std::memory_order_relaxed) && tavik::clock().now_ns() < due) {
      }
      lk.lock();
      continue;
    }
    lk.unlock();
    send_due(tavik::clock().now_ns());
    lk.lock();
  }
}

int SyncProducer::add_listener(Listener fn) {
  std::lock_guard<std::mutex> lk(mx_);
  const int id = next_listener_++;
  listeners_.push_back({id, std::make_shared<Listener>(std::move(fn))});
  return id;
}

void SyncProducer::remove_listener(int id) {
  {
    std::lock_guard<std::mutex> lk(mx_);
    listeners_.erase(std::remove_if(listeners_.begin(), listeners_.end(),
                                    [id](const Slot& s) { return s.id == id; }),
                     listeners_.end());
  }
  // A SYNC in progress may still call it: wait for the end of that SYNC, unless this is that
  // SYNC's own thread.
  if (sending_thread_.load() != std::this_thread::get_id()) {
    std::lock_guard<std::mutex> sl(send_mx_);
  }
}

void SyncProducer::queue_after_sync(const CMSG& frame) {
  std::lock_guard<std::mutex> lk(mx_);
  for (CMSG& m : queued_) {
    if (m.id == frame.id) {
      m = frame;
      return;
    }
  }
  queued_.push_back(frame);
}

}  // namespace canbus
