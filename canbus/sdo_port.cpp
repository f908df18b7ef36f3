// The SDO client's hold on a node's handle: one transfer per node, the transfer as the only
// reader of the handle while it runs, and the reply wait that sleeps in the driver until a
// frame arrives or the deadline passes (one wake-up per frame, no pauses of its own).
#include "sdo_port.h"

#include <algorithm>
#include <mutex>

#include "registry.h"

namespace {

constexpr int64_t kNsPerS = 1'000'000'000;

struct ReadCtx {
  D_can* can;
  CMSG* out;
  int ret;
};

// One frame at most: a frame read but not wanted would have to go back into the queue. True
// when the wait is over: a frame came or the driver failed.
bool read_within(void* p, int64_t real_ns) {
  auto* c = static_cast<ReadCtx*>(p);
  int count = 1;
  // Rounded up to whole microseconds, so that the driver never returns before the deadline.
  c->ret = c->can->can_read_for(c->out, &count, (real_ns + 999) / 1000);
  if (c->ret == NTCAN_SUCCESS && count <= 0) c->ret = NTCAN_RX_TIMEOUT;
  return c->ret != NTCAN_RX_TIMEOUT;
}

}  // namespace

int64_t SdoAccess::reply_deadline() {
  return (static_cast<int64_t>(TAVIKtime()) + 3) * kNsPerS;
}

void SdoAccess::begin(D_can* can) {
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
  std::unique_lock<std::mutex> lk(port->mx);
  port->idle_cv.wait(lk, [&] { return port->owner == nullptr || port->owner == can; });
  port->owner = can;
}

void SdoAccess::end(D_can* can) {
  D_can::SdoPort* port = can->sdo_port();
  if (port == nullptr) return;
  {
    std::lock_guard<std::mutex> lk(port->mx);
    if (port->owner != can) return;
    port->owner = nullptr;
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
  tavik::clock().wait_until(deadline, &read_within, &ctx);
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
