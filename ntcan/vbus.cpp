// The in-process virtual bus: the default backend ("virtual") and its test controls (vbus.h).
//
// Locks, always taken in this order and never more than one of a kind:
//   Bus::table_mu (handle table)  ->  Net::mu (a net's handles, devices, log, scripts, state)
//   ->  Handle::mu (a handle's receive queue and waiting readers).
// table_mu is never held while a net or handle lock is taken. Device functions run with no bus
// lock held, in the thread that put the frame on the net.
//
// The frame path (canSend/inject -> queues -> canTake/canRead) allocates nothing: receive
// queues are rings sized at canOpen, filters are atomic bitmaps read without a lock, and the
// device list is a copy-on-write snapshot held by shared_ptr.
#include "vbus.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>

#include "backend.h"

namespace vbus {
namespace {

constexpr int kFilterWords = (ntcan::kMaxId + 1) / 64;

struct Handle {
  Handle(int net_, size_t capacity, int32_t rxtimeout) : net(net_), rxtimeout_ms(rxtimeout) {
    ring.resize(capacity);
  }

  NTCAN_HANDLE number = NTCAN_NO_HANDLE;  // set once, under the net lock, before publication
  const int net;
  const int32_t rxtimeout_ms;

  // Enabled identifiers; senders test them without taking mu.
  std::array<std::atomic<uint64_t>, kFilterWords> filter{};

  std::mutex mu;
  std::condition_variable frames_cv;   // a frame arrived, or the handle closed
  std::condition_variable readers_cv;  // a reader started waiting, or the handle closed
  std::vector<CMSG> ring;              // guarded by mu, like everything below
  size_t head = 0;
  size_t count = 0;
  uint64_t lost_pending = 0;  // dropped since the last frame that entered the queue
  uint64_t lost_total = 0;
  int waiting = 0;
  bool closed = false;
  std::shared_ptr<ntcan::WatchSlot> watch;  // the arrival watcher's slot, if watched

  bool wants(int32_t id) const {
    return (filter[static_cast<size_t>(id) >> 6].load(std::memory_order_acquire) >> (id & 63)) & 1u;
  }

  // Caller holds mu. True when a reader waits for the frame: the caller wakes it once mu is
  // released, so that the reader does not wake only to wait for mu.
  bool push(const CMSG& f) {
    if (count == ring.size()) {
      ++lost_total;
      ++lost_pending;
      return false;
    }
    size_t tail = head + count;
    if (tail >= ring.size()) tail -= ring.size();
    CMSG& slot = ring[tail];
    slot = f;
    slot.msg_lost = static_cast<uint8_t>(std::min<uint64_t>(lost_pending, 255));
    lost_pending = 0;
    ++count;
    if (watch) watch->mark(f.id);
    return waiting > 0;
  }

  // Caller holds mu.
  int32_t pop(CMSG* out, int32_t max) {
    int32_t n = 0;
    while (n < max && count > 0) {
      out[n++] = ring[head];
      if (++head == ring.size()) head = 0;
      --count;
    }
    return n;
  }

  // Caller holds mu.
  void mark_closed() {
    closed = true;
    watch.reset();
    frames_cv.notify_all();
    readers_cv.notify_all();
  }
};

struct Device {
  Device(int id_, DeviceFn fn_) : id(id_), fn(std::move(fn_)) {}
  const int id;
  const DeviceFn fn;
  std::mutex mu;
  std::condition_variable idle_cv;
  int active = 0;  // calls running now, guarded by mu
  bool detached = false;
};
using DeviceList = std::vector<std::shared_ptr<Device>>;

enum Script { kOpen, kBaud, kStatus, kClose, kScripts };

struct Net {
  std::mutex mu;
  std::vector<std::shared_ptr<Handle>> handles;
  std::shared_ptr<const DeviceList> devices = std::make_shared<DeviceList>();
  std::deque<CMSG> sent;
  std::array<std::deque<NTCAN_RESULT>, kScripts> scripts;
  uint32_t board_status = 0;
  int baud = -1;
  bool down = false;

  // Caller holds mu.
  NTCAN_RESULT consume(Script s) {
    auto& q = scripts[s];
    if (q.empty()) return NTCAN_SUCCESS;
    NTCAN_RESULT r = q.front();
    q.pop_front();
    return r;
  }

  // Caller holds mu. Puts one normalised frame into the queues of the handles that want it.
  void deliver(const CMSG& f, const Handle* sender) {
    for (const auto& h : handles) {
      if (h.get() == sender || !h->wants(f.id)) continue;
      bool wake = false;
      {
        std::lock_guard<std::mutex> lock(h->mu);
        wake = h->push(f);
      }
      // The handle lives on: it is in `handles`, which the caller's lock keeps.
      if (wake) h->frames_cv.notify_all();
    }
  }
};

struct Bus {
  std::array<Net, kNets> nets;
  std::shared_mutex table_mu;
  std::unordered_map<NTCAN_HANDLE, std::shared_ptr<Handle>> table;
  int32_t last_handle = 0;  // guarded by table_mu
  std::atomic<int> last_device{0};
  std::atomic<size_t> sent_limit{kSentLogLimit};
};

// Leaked on purpose: detached threads may still use the bus while static objects are destroyed.
Bus& bus() {
  static Bus* b = new Bus;
  return *b;
}

bool valid_net(int net) {
  return net >= 0 && net < kNets;
}

Net& net_or_throw(int net) {
  if (!valid_net(net)) throw std::out_of_range("vbus: no net " + std::to_string(net));
  return bus().nets[static_cast<size_t>(net)];
}

std::shared_ptr<Handle> find(NTCAN_HANDLE number) {
  Bus& b = bus();
  std::shared_lock<std::shared_mutex> lock(b.table_mu);
  auto it = b.table.find(number);
  return it == b.table.end() ? nullptr : it->second;
}

// Device calls this thread is inside of, so that a device may detach itself (or reset the bus)
// from its own function without waiting for itself.
thread_local std::vector<const Device*> t_device_stack;

void call_device(Device& d, int net, const CMSG& f) {
  {
    std::lock_guard<std::mutex> lock(d.mu);
    if (d.detached) return;
    ++d.active;
  }
  t_device_stack.push_back(&d);
  try {
    d.fn(net, f);
  } catch (...) {
    // A faulty device must not take the sender down with it.
  }
  t_device_stack.pop_back();
  std::lock_guard<std::mutex> lock(d.mu);
  if (--d.active == 0 || d.detached) d.idle_cv.notify_all();
}

void call_devices(const DeviceList& devices, int net, const CMSG& f, int from_device) {
  for (const auto& d : devices) {
    if (d->id != from_device) call_device(*d, net, f);
  }
}

void retire_device(Device& d) {
  auto self = std::count(t_device_stack.begin(), t_device_stack.end(), &d);
  std::unique_lock<std::mutex> lock(d.mu);
  d.detached = true;
  d.idle_cv.wait(lock, [&] { return d.active <= self; });
}

bool valid_frame(const CMSG& f) {
  return f.id >= 0 && f.id <= ntcan::kMaxId && (f.len & ntcan::kDlcMask) <= 8;
}

// ---- the backend ---------------------------------------------------------------------------

// The frames queued at once; when none is, waits up to `timeout` for the first one.
NTCAN_RESULT read_within(Handle& h, CMSG* frames, int32_t* count,
                         std::chrono::steady_clock::duration timeout) {
  std::unique_lock<std::mutex> lock(h.mu);
  if (h.closed) return NTCAN_INVALID_HANDLE;
  if (h.count == 0 && timeout > std::chrono::steady_clock::duration::zero()) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    ++h.waiting;
    h.readers_cv.notify_all();
    h.frames_cv.wait_until(lock, deadline, [&] { return h.count > 0 || h.closed; });
    --h.waiting;
    if (h.closed) return NTCAN_OPERATION_ABORTED;
  }
  if (h.count == 0) return NTCAN_RX_TIMEOUT;
  *count = h.pop(frames, *count);
  return NTCAN_SUCCESS;
}

class VirtualBackend final : public ntcan::Backend {
 public:
  NTCAN_RESULT open(int net, uint32_t /*flags*/, int32_t /*txqueuesize*/, int32_t rxqueuesize,
                    int32_t /*txtimeout*/, int32_t rxtimeout, NTCAN_HANDLE* handle) override {
    if (!valid_net(net)) return NTCAN_NET_NOT_FOUND;
    if (rxqueuesize > kMaxRxQueue) return NTCAN_INVALID_PARAMETER;
    const int32_t capacity = rxqueuesize <= 0 ? kDefaultRxQueue : rxqueuesize;
    // The ring is allocated before any lock is taken; a refused open just drops it.
    auto h = std::make_shared<Handle>(net, static_cast<size_t>(capacity), rxtimeout);
    Bus& b = bus();
    Net& n = b.nets[static_cast<size_t>(net)];
    std::unique_lock<std::shared_mutex> table_lock(b.table_mu);
    std::lock_guard<std::mutex> net_lock(n.mu);
    if (NTCAN_RESULT r = n.consume(kOpen)) return r;
    if (n.down) return NTCAN_NET_NOT_FOUND;
    if (b.last_handle == INT32_MAX) return NTCAN_INSUFFICIENT_RESOURCES;
    h->number = ++b.last_handle;
    b.table.emplace(h->number, h);
    n.handles.push_back(h);
    *handle = h->number;
    return NTCAN_SUCCESS;
  }

  NTCAN_RESULT close(NTCAN_HANDLE number) override {
    std::shared_ptr<Handle> h;
    {
      Bus& b = bus();
      std::unique_lock<std::shared_mutex> lock(b.table_mu);
      auto it = b.table.find(number);
      if (it == b.table.end()) return NTCAN_INVALID_HANDLE;
      h = std::move(it->second);
      b.table.erase(it);
    }
    NTCAN_RESULT r;
    {
      Net& n = bus().nets[static_cast<size_t>(h->net)];
      std::lock_guard<std::mutex> lock(n.mu);
      n.handles.erase(std::find(n.handles.begin(), n.handles.end(), h));
      r = n.consume(kClose);
    }
    std::lock_guard<std::mutex> lock(h->mu);
    h->mark_closed();
    return r;
  }

  NTCAN_RESULT set_baudrate(NTCAN_HANDLE number, uint32_t baud) override {
    auto h = find(number);
    if (!h) return NTCAN_INVALID_HANDLE;
    Net& n = bus().nets[static_cast<size_t>(h->net)];
    std::lock_guard<std::mutex> lock(n.mu);
    if (NTCAN_RESULT r = n.consume(kBaud)) return r;
    n.baud = static_cast<int>(baud);
    return NTCAN_SUCCESS;
  }

  NTCAN_RESULT get_baudrate(NTCAN_HANDLE number, uint32_t* baud) override {
    auto h = find(number);
    if (!h) return NTCAN_INVALID_HANDLE;
    Net& n = bus().nets[static_cast<size_t>(h->net)];
    std::lock_guard<std::mutex> lock(n.mu);
    *baud = n.baud < 0 ? NTCAN_NO_BAUDRATE : static_cast<uint32_t>(n.baud);
    return NTCAN_SUCCESS;
  }

  NTCAN_RESULT status(NTCAN_HANDLE number, CAN_IF_STATUS* cstat) override {
    auto h = find(number);
    if (!h) return NTCAN_INVALID_HANDLE;
    Net& n = bus().nets[static_cast<size_t>(h->net)];
    std::lock_guard<std::mutex> lock(n.mu);
    if (NTCAN_RESULT r = n.consume(kStatus)) return r;
    if (n.down) return NTCAN_CONTR_OFF_BUS;
    *cstat = CAN_IF_STATUS{};
    cstat->hardware = 0x0100;  // versions as 0xMMmm
    cstat->firmware = 0x0100;
    cstat->driver = 0x0100;
    cstat->dll = 0x0100;
    cstat->boardstatus = n.board_status;
    std::memcpy(cstat->boardid, "VIRTUAL", sizeof "VIRTUAL");
    return NTCAN_SUCCESS;
  }

  NTCAN_RESULT id_add(NTCAN_HANDLE number, int32_t id) override {
    auto h = find(number);
    if (!h) return NTCAN_INVALID_HANDLE;
    const uint64_t bit = uint64_t{1} << (id & 63);
    const uint64_t old = h->filter[static_cast<size_t>(id) >> 6].fetch_or(bit);
    return (old & bit) ? NTCAN_ID_ALREADY_ENABLED : NTCAN_SUCCESS;
  }

  NTCAN_RESULT id_delete(NTCAN_HANDLE number, int32_t id) override {
    auto h = find(number);
    if (!h) return NTCAN_INVALID_HANDLE;
    const uint64_t bit = uint64_t{1} << (id & 63);
    const uint64_t old = h->filter[static_cast<size_t>(id) >> 6].fetch_and(~bit);
    return (old & bit) ? NTCAN_SUCCESS : NTCAN_ID_NOT_ENABLED;
  }

  NTCAN_RESULT send(NTCAN_HANDLE number, const CMSG* frames, int32_t* count) override {
    auto h = find(number);
    if (!h) return NTCAN_INVALID_HANDLE;
    Net& n = bus().nets[static_cast<size_t>(h->net)];
    std::shared_ptr<const DeviceList> devices;
    const size_t limit = bus().sent_limit.load(std::memory_order_relaxed);
    {
      std::lock_guard<std::mutex> lock(n.mu);
      if (n.down) return NTCAN_CONTR_OFF_BUS;
      for (int32_t i = 0; i < *count; ++i) {
        const CMSG f = ntcan::normalised_frame(frames[i]);
        n.deliver(f, h.get());
        if (limit == 0) continue;
        while (n.sent.size() >= limit) n.sent.pop_front();
        n.sent.push_back(f);
      }
      devices = n.devices;
    }
    if (!devices->empty()) {
      for (int32_t i = 0; i < *count; ++i) {
        call_devices(*devices, h->net, ntcan::normalised_frame(frames[i]), 0);
      }
    }
    return NTCAN_SUCCESS;
  }

  NTCAN_RESULT read(NTCAN_HANDLE number, CMSG* frames, int32_t* count) override {
    auto h = find(number);
    if (!h) return NTCAN_INVALID_HANDLE;
    return read_within(*h, frames, count, std::chrono::milliseconds(std::max(h->rxtimeout_ms, 0)));
  }

  NTCAN_RESULT read_timeout(NTCAN_HANDLE number, CMSG* frames, int32_t* count,
                            int64_t timeout_us) override {
    auto h = find(number);
    if (!h) return NTCAN_INVALID_HANDLE;
    return read_within(*h, frames, count,
                       std::chrono::microseconds(std::max<int64_t>(timeout_us, 0)));
  }

  NTCAN_RESULT take(NTCAN_HANDLE number, CMSG* frames, int32_t* count) override {
    auto h = find(number);
    if (!h) return NTCAN_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(h->mu);
    if (h->closed) return NTCAN_INVALID_HANDLE;
    *count = h->pop(frames, *count);
    return NTCAN_SUCCESS;
  }

  NTCAN_RESULT watch(NTCAN_HANDLE number, const std::shared_ptr<ntcan::WatchSlot>& slot) override {
    auto h = find(number);
    if (!h) return NTCAN_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(h->mu);
    if (h->closed) return NTCAN_INVALID_HANDLE;
    if (h->watch && h->watch->core != slot->core) return NTCAN_WRONG_DEVICE_STATE;
    h->watch = slot;
    if (h->count > 0) {
      for (size_t i = 0, at = h->head; i < h->count; ++i, at = (at + 1) % h->ring.size()) {
        slot->mark(h->ring[at].id);
      }
    }
    return NTCAN_SUCCESS;
  }

  void unwatch(NTCAN_HANDLE number, const ntcan::WatchCore* core) override {
    auto h = find(number);
    if (!h) return;
    std::lock_guard<std::mutex> lock(h->mu);
    if (h->watch && h->watch->core.get() == core) h->watch.reset();
  }
};

std::unique_ptr<ntcan::Backend> make_virtual() {
  return std::make_unique<VirtualBackend>();
}

const bool registered = ntcan::register_backend("virtual", &make_virtual);

void set_script(int net, Script s, std::vector<NTCAN_RESULT> results) {
  Net& n = net_or_throw(net);
  std::lock_guard<std::mutex> lock(n.mu);
  n.scripts[s].assign(results.begin(), results.end());
}

}  // namespace

// ---- test controls -------------------------------------------------------------------------

void inject(int net, const CMSG& frame, int from_device) {
  if (!valid_net(net) || !valid_frame(frame)) return;
  Net& n = bus().nets[static_cast<size_t>(net)];
  const CMSG f = ntcan::normalised_frame(frame);
  std::shared_ptr<const DeviceList> devices;
  {
    std::lock_guard<std::mutex> lock(n.mu);
    if (n.down) return;
    n.deliver(f, nullptr);
    devices = n.devices;
  }
  call_devices(*devices, net, f, from_device);
}

int attach_device(int net, DeviceFn fn) {
  Net& n = net_or_throw(net);
  if (!fn) throw std::invalid_argument("vbus: attach_device without a function");
  auto d = std::make_shared<Device>(++bus().last_device, std::move(fn));
  std::lock_guard<std::mutex> lock(n.mu);
  auto list = std::make_shared<DeviceList>(*n.devices);
  list->push_back(d);
  n.devices = std::move(list);
  return d->id;
}

void detach_device(int id) {
  std::shared_ptr<Device> found;
  for (Net& n : bus().nets) {
    std::lock_guard<std::mutex> lock(n.mu);
    auto it = std::find_if(n.devices->begin(), n.devices->end(),
                           [&](const auto& d) { return d->id == id; });
    if (it == n.devices->end()) continue;
    found = *it;
    auto list = std::make_shared<DeviceList>(*n.devices);
    list->erase(list->begin() + (it - n.devices->begin()));
    n.devices = std::move(list);
    break;
  }
  if (found) retire_device(*found);
}

std::vector<CMSG> sent(int net) {
  Net& n = net_or_throw(net);
  std::lock_guard<std::mutex> lock(n.mu);
  return {n.sent.begin(), n.sent.end()};
}

void clear_sent(int net) {
  Net& n = net_or_throw(net);
  std::lock_guard<std::mutex> lock(n.mu);
  n.sent.clear();
}

void set_sent_limit(size_t frames) {
  bus().sent_limit = frames;
  for (Net& n : bus().nets) {
    std::lock_guard<std::mutex> lock(n.mu);
    while (n.sent.size() > frames) n.sent.pop_front();
  }
}

void script_open(int net, std::vector<NTCAN_RESULT> r) {
  set_script(net, kOpen, std::move(r));
}
void script_baudrate(int net, std::vector<NTCAN_RESULT> r) {
  set_script(net, kBaud, std::move(r));
}
void script_status(int net, std::vector<NTCAN_RESULT> r) {
  set_script(net, kStatus, std::move(r));
}
void script_close(int net, std::vector<NTCAN_RESULT> r) {
  set_script(net, kClose, std::move(r));
}

void set_board_status(int net, uint32_t status) {
  Net& n = net_or_throw(net);
  std::lock_guard<std::mutex> lock(n.mu);
  n.board_status = status;
}

int baudrate(int net) {
  Net& n = net_or_throw(net);
  std::lock_guard<std::mutex> lock(n.mu);
  return n.baud;
}

void set_net_down(int net, bool down) {
  Net& n = net_or_throw(net);
  std::lock_guard<std::mutex> lock(n.mu);
  n.down = down;
}

int open_handles() {
  Bus& b = bus();
  std::shared_lock<std::shared_mutex> lock(b.table_mu);
  return static_cast<int>(b.table.size());
}

int open_handles(int net) {
  if (!valid_net(net)) return 0;
  Net& n = bus().nets[static_cast<size_t>(net)];
  std::lock_guard<std::mutex> lock(n.mu);
  return static_cast<int>(n.handles.size());
}

std::vector<int32_t> enabled_ids(NTCAN_HANDLE number) {
  std::vector<int32_t> ids;
  auto h = find(number);
  if (!h) return ids;
  for (int32_t id = 0; id <= ntcan::kMaxId; ++id) {
    if (h->wants(id)) ids.push_back(id);
  }
  return ids;
}

uint64_t lost(NTCAN_HANDLE number) {
  auto h = find(number);
  if (!h) return 0;
  std::lock_guard<std::mutex> lock(h->mu);
  return h->lost_total;
}

bool wait_for_readers(NTCAN_HANDLE number, int n, int real_timeout_ms) {
  auto h = find(number);
  if (!h) return n <= 0;
  std::unique_lock<std::mutex> lock(h->mu);
  h->readers_cv.wait_for(lock, std::chrono::milliseconds(real_timeout_ms),
                         [&] { return h->waiting >= n || h->closed; });
  return h->waiting >= n;
}

void reset() {
  Bus& b = bus();
  std::unordered_map<NTCAN_HANDLE, std::shared_ptr<Handle>> handles;
  std::vector<std::shared_ptr<const DeviceList>> devices;
  b.sent_limit = kSentLogLimit;
  {
    std::unique_lock<std::shared_mutex> table_lock(b.table_mu);
    handles.swap(b.table);
    for (Net& n : b.nets) {
      std::lock_guard<std::mutex> lock(n.mu);
      n.handles.clear();
      devices.push_back(std::exchange(n.devices, std::make_shared<DeviceList>()));
      n.sent.clear();
      n.sent.shrink_to_fit();
      for (auto& s : n.scripts) s.clear();
      n.board_status = 0;
      n.baud = -1;
      n.down = false;
    }
  }
  for (auto& [number, h] : handles) {
    std::lock_guard<std::mutex> lock(h->mu);
    h->mark_closed();
  }
  for (const auto& list : devices) {
    for (const auto& d : *list) retire_device(*d);
  }
}

}  // namespace vbus
