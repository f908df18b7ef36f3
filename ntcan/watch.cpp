// Arrival watchers (ntcan_wait.h): the waiter's side, common to every backend, and the C calls.
//
// The waiter sleeps in epoll_wait on the core's epoll descriptor. Marks of a backend queue the
// handle under WatchCore::mu_ and write the eventfd only when the waiter sleeps and has not
// been woken since: a busy line costs one atomic exchange per frame, not a system call.
#include "watch.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <ctime>
#include <mutex>
#include <new>
#include <unordered_map>

#include "backend.h"
#include "guarded.h"
#include "ntcan_wait.h"

namespace ntcan {

WatchSlot::~WatchSlot() {
  core->forget(this);
}

void WatchSlot::mark(int32_t id) {
  if (core->quiet(id)) return;
  if (pending.exchange(true, std::memory_order_acq_rel)) return;
  core->queue(this);
}

void WatchSlot::clear() {
  if (!pending.load(std::memory_order_acquire)) return;
  core->forget(this);
  pending.store(false, std::memory_order_release);
}

std::shared_ptr<WatchCore> WatchCore::create() {
  const int epfd = ::epoll_create1(EPOLL_CLOEXEC);
  if (epfd < 0) return nullptr;
  const int evfd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (evfd < 0) {
    ::close(epfd);
    return nullptr;
  }
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = 0;  // handles are > 0
  if (::epoll_ctl(epfd, EPOLL_CTL_ADD, evfd, &ev) < 0) {
    ::close(evfd);
    ::close(epfd);
    return nullptr;
  }
  return std::shared_ptr<WatchCore>(new (std::nothrow) WatchCore(epfd, evfd));
}

WatchCore::~WatchCore() {
  ::close(evfd_);
  ::close(epfd_);
}

void WatchCore::signal_locked() {
  if (!sleeping_ || signaled_) return;
  signaled_ = true;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(evfd_, &one, sizeof one);
}

void WatchCore::add_locked(NTCAN_HANDLE h, WatchSlot* slot) {
  ready_.push_back({h, slot});
  signal_locked();
}

void WatchCore::queue(WatchSlot* slot) {
  std::lock_guard<std::mutex> lock(mu_);
  add_locked(slot->handle, slot);
}

void WatchCore::forget(const WatchSlot* slot) {
  std::lock_guard<std::mutex> lock(mu_);
  ready_.erase(std::remove_if(ready_.begin(), ready_.end(),
                              [slot](const Ready& r) { return r.slot == slot; }),
               ready_.end());
}

void WatchCore::set_quiet(int32_t id, bool on) {
  const uint64_t bit = uint64_t{1} << (id & 63);
  auto& word = quiet_[static_cast<size_t>(id) >> 6];
  if (on) {
    word.fetch_or(bit);
  } else {
    word.fetch_and(~bit);
  }
}

void WatchCore::post(NTCAN_HANDLE handle) {
  std::lock_guard<std::mutex> lock(mu_);
  if (handle > 0) {
    add_locked(handle, nullptr);
  } else {
    posted_ = true;
    signal_locked();
  }
}

NTCAN_RESULT WatchCore::wait(NTCAN_HANDLE* out, int32_t* count, int64_t timeout_us) {
  const int32_t max = *count;
  *count = 0;
  // Takes what is ready (each handle once, at most `max`); caller holds mu_.
  auto take = [&] {
    size_t used = 0;
    for (size_t i = 0; i < ready_.size(); ++i) {
      const Ready r = ready_[i];
      const bool dup = std::find(out, out + *count, r.handle) != out + *count;
      if (!dup && *count == max) {
        ready_[used++] = r;  // kept for the next wait
        continue;
      }
      if (!dup) out[(*count)++] = r.handle;
      if (r.slot != nullptr) r.slot->pending.store(false, std::memory_order_release);
    }
    ready_.resize(used);
    const bool woken = *count > 0 || posted_;
    posted_ = false;
    return woken;
  };
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (take()) return NTCAN_SUCCESS;
    if (timeout_us <= 0) return NTCAN_RX_TIMEOUT;
    sleeping_ = true;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(timeout_us);
  epoll_event events[64];
  Backend* backend = active_backend();
  for (;;) {
    int n = 0;
    int64_t left = 0;
    for (;;) {
      left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline -
                                                                  std::chrono::steady_clock::now())
                 .count();
      timespec ts{};
      if (left > 0) {
        ts.tv_sec = static_cast<time_t>(left / 1'000'000'000);
        ts.tv_nsec = static_cast<long>(left % 1'000'000'000);
      }
      // To the microsecond where the kernel has epoll_pwait2 (5.11), else whole milliseconds
      // rounded up, so that a wait never ends before its time.
      n = ::epoll_pwait2(epfd_, events, 64, &ts, nullptr);
      if (n < 0 && errno == ENOSYS) {
        const int64_t ms =
            std::min<int64_t>((std::max<int64_t>(left, 0) + 999'999) / 1'000'000, INT_MAX);
        n = ::epoll_wait(epfd_, events, 64, static_cast<int>(ms));
      }
      if (n >= 0 || errno != EINTR) break;
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      sleeping_ = false;
      if (signaled_) {
        uint64_t v = 0;
        [[maybe_unused]] ssize_t r = ::read(evfd_, &v, sizeof v);
        signaled_ = false;
      }
    }
    // A readable socket's frames go into its queue, marking the handle unless they are quiet
    // (without mu_: a mark takes the handle's lock, then mu_). A socket whose frames a read
    // took meanwhile marks nothing.
    for (int i = 0; i < n; ++i) {
      if (events[i].data.u64 == 0) continue;
      const auto h = static_cast<NTCAN_HANDLE>(events[i].data.u64);
      if (backend != nullptr) {
        backend->drain(h);
      } else {
        std::lock_guard<std::mutex> lock(mu_);
        ready_.push_back({h, nullptr});
      }
    }
    std::lock_guard<std::mutex> lock(mu_);
    if (take()) return NTCAN_SUCCESS;
    // Only quiet frames came: sleep on until the deadline.
    if (n <= 0 || left <= 0 || std::chrono::steady_clock::now() >= deadline)
      return NTCAN_RX_TIMEOUT;
    sleeping_ = true;
  }
}

}  // namespace ntcan

struct NtcanWatcher {
  std::shared_ptr<ntcan::WatchCore> core;
  std::mutex mu;  // guards slots
  std::unordered_map<NTCAN_HANDLE, std::shared_ptr<ntcan::WatchSlot>> slots;
};

namespace {

using ntcan::guarded;

}  // namespace

extern "C" {

NTCAN_RESULT canWatcherCreate(NTCAN_WATCHER* watcher) {
  if (watcher == nullptr) return NTCAN_INVALID_PARAMETER;
  *watcher = nullptr;
  return guarded([&] {
    auto core = ntcan::WatchCore::create();
    if (!core) return NTCAN_INSUFFICIENT_RESOURCES;
    auto* w = new NtcanWatcher;
    w->core = std::move(core);
    *watcher = w;
    return NTCAN_SUCCESS;
  });
}

NTCAN_RESULT canWatcherDestroy(NTCAN_WATCHER watcher) {
  if (watcher == nullptr) return NTCAN_INVALID_PARAMETER;
  return guarded([&] {
    ntcan::Backend* b = ntcan::active_backend();
    {
      std::lock_guard<std::mutex> lock(watcher->mu);
      if (b != nullptr) {
        for (const auto& [h, slot] : watcher->slots) b->unwatch(h, watcher->core.get());
      }
      watcher->slots.clear();
    }
    delete watcher;
    return NTCAN_SUCCESS;
  });
}

NTCAN_RESULT canWatcherAdd(NTCAN_WATCHER watcher, NTCAN_HANDLE handle) {
  if (watcher == nullptr) return NTCAN_INVALID_PARAMETER;
  if (handle <= 0) return NTCAN_INVALID_HANDLE;
  return guarded([&] {
    ntcan::Backend* b = ntcan::active_backend();
    if (b == nullptr) return NTCAN_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(watcher->mu);
    auto slot = std::make_shared<ntcan::WatchSlot>(handle, watcher->core);
    const NTCAN_RESULT r = b->watch(handle, slot);
    if (r == NTCAN_SUCCESS) watcher->slots[handle] = std::move(slot);
    return r;
  });
}

NTCAN_RESULT canWatcherRemove(NTCAN_WATCHER watcher, NTCAN_HANDLE handle) {
  if (watcher == nullptr) return NTCAN_INVALID_PARAMETER;
  return guarded([&] {
    ntcan::Backend* b = ntcan::active_backend();
    std::lock_guard<std::mutex> lock(watcher->mu);
    if (handle > 0 && b != nullptr) b->unwatch(handle, watcher->core.get());
    watcher->slots.erase(handle);
    return NTCAN_SUCCESS;
  });
}

NTCAN_RESULT canWatcherWait(NTCAN_WATCHER watcher, NTCAN_HANDLE* ready, int32_t* count,
                            int64_t timeout_us) {
  if (count == nullptr) return NTCAN_INVALID_PARAMETER;
  if (watcher == nullptr || ready == nullptr || *count <= 0) {
    *count = 0;
    return NTCAN_INVALID_PARAMETER;
  }
  return guarded([&] { return watcher->core->wait(ready, count, timeout_us); });
}

NTCAN_RESULT canWatcherQuiet(NTCAN_WATCHER watcher, int32_t id, int quiet) {
  if (watcher == nullptr || id < 0 || id > ntcan::kMaxId) return NTCAN_INVALID_PARAMETER;
  watcher->core->set_quiet(id, quiet != 0);
  return NTCAN_SUCCESS;
}

NTCAN_RESULT canWatcherPost(NTCAN_WATCHER watcher, NTCAN_HANDLE handle) {
  if (watcher == nullptr) return NTCAN_INVALID_PARAMETER;
  return guarded([&] {
    watcher->core->post(handle);
    return NTCAN_SUCCESS;
  });
}

}  // extern "C"
