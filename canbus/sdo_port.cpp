// The SDO client's hold on a node's handle: one transfer per node, the transfer as the only
// reader of the handle while it runs, and the reply wait that sleeps in the driver until a
// frame arrives or the deadline passes (one wake-up per frame, no pauses of its own).
#include "sdo_port.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "registry.h"

namespace {

constexpr int64_t kNsPerS = 1'000'000'000;

struct ReadCtx {
  D_can* can;
  CMSG* out;
  int ret;
};

// Properties with a transfer running: the threads in it and whether they are to end.
struct Running {
  const D_can* can;
  std::vector<std::thread::id> threads;
  int closing = 0;  // close_begin calls not yet ended
};
std::mutex g_running_mx;
std::condition_variable g_running_cv;  // a transfer left the table
std::vector<Running> g_running;
// Properties being closed now: while there are none (nearly always), a reply wait looks at this
// and not at the table.
std::atomic<int> g_closing{0};

Running* find_running(const D_can* can) {
  for (Running& r : g_running) {
    if (r.can == can) return &r;
  }
  return nullptr;
}

// One frame at most: a frame read but not wanted would have to go back into the queue. True
// when the wait is over: a frame came, the driver failed or the transfer was cancelled.
bool read_within(void* p, int64_t real_ns) {
  auto* c = static_cast<ReadCtx*>(p);
  if (SdoAccess::cancelled(c->can)) {
    c->ret = NTCAN_OPERATION_ABORTED;
    return true;
  }
  int count = 1;
  // Rounded up to whole microseconds, so that the driver never returns before the deadline.
  c->ret = c->can->can_read_for(c->out, &count, (real_ns + 999) / 1000);
  if (c->ret == NTCAN_SUCCESS && count <= 0) c->ret = NTCAN_RX_TIMEOUT;
  return c->ret != NTCAN_RX_TIMEOUT;
}

}  // namespace

bool SdoAccess::enter(const D_can* can) {
  std::lock_guard<std::mutex> lk(g_running_mx);
  Running* r = find_running(can);
  if (r == nullptr) {
    g_running.push_back({can, {}, 0});
    r = &g_running.back();
  } else if (r->closing > 0) {
    return false;
  }
  r->threads.push_back(std::this_thread::get_id());
  return true;
}

namespace {
void drop_if_unused(Running* r) {
  if (r->threads.empty() && r->closing == 0)
    g_running.erase(g_running.begin() + (r - g_running.data()));
}
}  // namespace

void SdoAccess::leave(const D_can* can) {
  {
    std::lock_guard<std::mutex> lk(g_running_mx);
    Running* r = find_running(can);
    if (r == nullptr) return;
    auto it = std::find(r->threads.begin(), r->threads.end(), std::this_thread::get_id());
    if (it != r->threads.end()) r->threads.erase(it);
    drop_if_unused(r);
  }
  g_running_cv.notify_all();
}

bool SdoAccess::cancelled(const D_can* can) {
  if (g_closing.load(std::memory_order_acquire) == 0) return false;
  std::lock_guard<std::mutex> lk(g_running_mx);
  const Running* r = find_running(can);
  return r != nullptr && r->closing > 0;
}

void SdoAccess::close_begin(const D_can* can) {
  std::unique_lock<std::mutex> lk(g_running_mx);
  Running* r = find_running(can);
  if (r == nullptr) {
    g_running.push_back({can, {}, 0});
    r = &g_running.back();
  }
  ++r->closing;
  g_closing.fetch_add(1, std::memory_order_release);
  const auto me = std::this_thread::get_id();
  if (std::find(r->threads.begin(), r->threads.end(), me) != r->threads.end()) return;
  g_running_cv.wait(lk, [&] { return find_running(can)->threads.empty(); });
}

void SdoAccess::close_end(const D_can* can) {
  std::lock_guard<std::mutex> lk(g_running_mx);
  Running* r = find_running(can);
  if (r == nullptr) return;
  if (r->closing > 0) {
    --r->closing;
    g_closing.fetch_sub(1, std::memory_order_release);
  }
  drop_if_unused(r);
}

int64_t SdoAccess::reply_deadline() {
  return (static_cast<int64_t>(TAVIKtime()) + 3) * kNsPerS;
}

void SdoAccess::begin(D_can* can, bool whole) {
  D_can::SdoPort* port = can->sdo_port();
  if (port == nullptr && can->share_) {
    std::lock_guard<std::mutex> lk(D_can::mx_loop);
    port = can->share_->port.load(std::memory_order_acquire);
    if (port == nullptr) {
      port = new D_can::SdoPort;
      can->share_->port.store(port, std::memory_order_release);
    }
  }
  if (port == nullptr) return;
  const std::thread::id me = std::this_thread::get_id();
  std::unique_lock<std::mutex> lk(port->mx);
  auto free = [&] {
    return port->owner == nullptr || (port->owner == can && (!port->whole || port->thread == me));
  };
  if (!free()) {
    ++port->waiting;
    port->idle_cv.wait(lk, free);
    --port->waiting;
  }
  // Nested in a whole transfer of this thread, the step calls keep it whole.
  port->whole = whole || (port->owner == can && port->thread == me && port->whole);
  port->owner = can;
  port->thread = me;
}

int SdoAccess::waiting(const D_can* can) {
  D_can::SdoPort* port = can->sdo_port();
  if (port == nullptr) return 0;
  std::lock_guard<std::mutex> lk(port->mx);
  return port->waiting;
}

void SdoAccess::end(D_can* can) {
  D_can::SdoPort* port = can->sdo_port();
  if (port == nullptr) return;
  {
    std::lock_guard<std::mutex> lk(port->mx);
    if (port->owner != can) return;
    port->owner = nullptr;
    port->whole = false;
  }
  port->idle_cv.notify_all();
  // Frames that came during the transfer and are still in the handle's queue: the receive
  // cycle woken by their arrival found the handle taken.
  canbus_post_arrival(can->handle());
}

void SdoAccess::set_aside(D_can* can, const CMSG& m) {
  D_can::SdoPort* port = can->sdo_port();
  if (port == nullptr) return;  // no receive buffer: nobody would take it
  std::lock_guard<std::mutex> lk(port->mx);
  if (port->stash.size() >= static_cast<size_t>(D_can::kRxFrames)) {
    ++port->stash_lost;
    return;
  }
  port->stash.push_back(m);
  CMSG& kept = port->stash.back();
  // A loss is shown on the next frame that is kept, as the driver's queues do.
  kept.msg_lost = static_cast<uint8_t>(std::min<uint64_t>(kept.msg_lost + port->stash_lost, 255));
  port->stash_lost = 0;
  canbus_post_arrival(can->handle());
}

int SdoAccess::read_one(D_can* can, int64_t deadline, CMSG* out) {
  ReadCtx ctx{can, out, NTCAN_RX_TIMEOUT};
  // One slice at a time, so that a cancelled transfer learns it soon also on a handle that
  // nobody closes (a follower's, the line's); each slice ends in the driver at a frame.
  for (;;) {
    const int64_t until = std::min(deadline, tavik::clock().now_ns() + kCancelSliceNs);
    if (tavik::clock().wait_until(until, &read_within, &ctx) || until >= deadline) break;
  }
  return ctx.ret == NTCAN_RX_TIMEOUT ? -1 : ctx.ret;
}

int D_can::can_read_for(CMSG* rxmsg, int* length, int64_t timeout_us) {
  const int32_t want = *length;
  int32_t count = want;
  *length = -1;
  NTCAN_HANDLE h = handle();
  if (h < 0) return NTCAN_INVALID_HANDLE;
#ifdef NTCAN_HAS_READ_TIMEOUT
  int ret = canReadTimeout(h, rxmsg, &count, timeout_us);
#else
  // A driver without its own-time-out read: a look, then at most the handle's time-out.
  int ret = canTake(h, rxmsg, &count);
  if (ret == NTCAN_SUCCESS && count == 0 && timeout_us > 0) {
    count = want;
    ret = canRead(h, rxmsg, &count, nullptr);
  } else if (ret == NTCAN_SUCCESS && count == 0) {
    ret = NTCAN_RX_TIMEOUT;
  }
#endif
  *length = count;
  return ret;
}
