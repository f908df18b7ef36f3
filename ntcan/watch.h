// The arrival watchers of ntcan_wait.h as the backends see them. Private to the driver.
//
// A watcher's core owns an epoll descriptor with one eventfd in it. A backend that can tell
// arrivals keeps the WatchSlot of a watched handle and calls mark() whenever a frame enters
// that handle's receive queue (under the handle's own lock: mark() takes only the core's lock,
// so the order is backend handle lock -> WatchCore::mu_). A backend whose frames wait in file
// descriptors until a call moves them (SocketCAN) also puts those descriptors into epoll_fd()
// with the handle number as data, edge-triggered, and moves their frames into its queue when
// the waiter asks (Backend::drain), so that quiet identifiers wake nobody there either.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "ntcan.h"

namespace ntcan {

class WatchCore;

struct WatchSlot {
  WatchSlot(NTCAN_HANDLE h, std::shared_ptr<WatchCore> c) : handle(h), core(std::move(c)) {}
  ~WatchSlot();
  WatchSlot(const WatchSlot&) = delete;
  WatchSlot& operator=(const WatchSlot&) = delete;

  // A frame with identifier `id` entered the handle's queue. Nothing for a quiet identifier;
  // else one atomic exchange while the handle is reported already; the first mark after a wait
  // took it queues it and wakes a sleeping waiter.
  void mark(int32_t id);
  // The handle's queue was emptied by a read: what its frames marked is no arrival any more.
  // Called under the handle's lock, like mark().
  void clear();

  const NTCAN_HANDLE handle;
  const std::shared_ptr<WatchCore> core;
  std::atomic<bool> pending{false};  // queued in core's ready list, guarded by it for clearing
};

class WatchCore {
 public:
  // nullptr when the descriptors cannot be had.
  static std::shared_ptr<WatchCore> create();
  ~WatchCore();
  WatchCore(const WatchCore&) = delete;
  WatchCore& operator=(const WatchCore&) = delete;

  int epoll_fd() const { return epfd_; }
  // Quiet identifiers: their frames do not count as arrivals (ntcan_wait.h's canWatcherQuiet).
  void set_quiet(int32_t id, bool on);
  bool quiet(int32_t id) const {
    return (quiet_[static_cast<size_t>(id) >> 6].load(std::memory_order_relaxed) >> (id & 63)) & 1u;
  }
  // ntcan_wait.h's canWatcherWait and canWatcherPost.
  NTCAN_RESULT wait(NTCAN_HANDLE* ready, int32_t* count, int64_t timeout_us);
  void post(NTCAN_HANDLE handle);
  // Called by WatchSlot.
  void queue(WatchSlot* slot);
  void forget(const WatchSlot* slot);

 private:
  WatchCore(int epfd, int evfd) : epfd_(epfd), evfd_(evfd) {}
  struct Ready {
    NTCAN_HANDLE handle;
    WatchSlot* slot;  // nullptr for a post or an epoll event
  };
  // Caller holds mu_: the waiter is woken unless it is awake or woken already.
  void signal_locked();
  void add_locked(NTCAN_HANDLE h, WatchSlot* slot);

  const int epfd_;
  const int evfd_;
  std::array<std::atomic<uint64_t>, 32> quiet_{};  // 2048 identifiers, read without a lock
  std::mutex mu_;                                  // guards everything below
  std::vector<Ready> ready_;
  bool sleeping_ = false;  // the waiter is in epoll_wait (or about to be)
  bool signaled_ = false;  // the eventfd was written since the waiter last read it
  bool posted_ = false;    // a post(0) since the last wait
};

}  // namespace ntcan
