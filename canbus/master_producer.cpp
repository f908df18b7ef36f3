// The master's own producers: its heartbeat and the TIME object, from the line's own handle.
// The schedule is absolute as the SYNC producer's: frame n after start() is due at
// start + n * period on the framework clock (the first one at once); a producer more than a
// period late sends the latest frame due and passes over the ones it missed. Neither needs the
// SYNC producer's care for jitter: a heartbeat or a TIME frame a millisecond late harms nobody,
// so the thread of its own just waits on a condition variable (stop() ends the wait at once).
#include <chrono>
#include <condition_variable>
#include <string>
#include <system_error>

#include "D_esdcan.h"
#include "registry.h"

namespace canbus {
namespace {

constexpr int64_t kNsPerMs = 1'000'000;
constexpr int64_t kMsPerDay = 86'400'000;
// 1984-01-01 00:00 UTC, the origin of CANopen's TIME_OF_DAY, in seconds since the epoch.
constexpr int64_t kEpoch1984 = 441'763'200;
constexpr uint8_t kOperational = 0x05;
constexpr int32_t kTimeId = 0x100;

}  // namespace

ConfigStamp config_stamp_of(int64_t unix_seconds) {
  if (unix_seconds < kEpoch1984) return {};
  const int64_t s = unix_seconds - kEpoch1984;
  return {static_cast<uint32_t>(s / 86'400), static_cast<uint32_t>(s % 86'400 * 1000)};
}

std::vector<uint8_t> time_of_day_bytes(int64_t unix_ns) {
  int64_t ms = unix_ns / kNsPerMs - kEpoch1984 * 1000;
  if (ms < 0) ms = 0;  // before the origin: the origin
  const auto days = static_cast<uint32_t>(ms / kMsPerDay);
  const auto of_day = static_cast<uint32_t>(ms % kMsPerDay);  // < 2^27, fits the 28 bits
  return {static_cast<uint8_t>(of_day),       static_cast<uint8_t>(of_day >> 8),
          static_cast<uint8_t>(of_day >> 16), static_cast<uint8_t>((of_day >> 24) & 0x0F),
          static_cast<uint8_t>(days),         static_cast<uint8_t>(days >> 8)};
}

struct MasterProducer::Impl {
  int line;
  Kind kind;
  int node_id;
  mutable std::mutex mx;  // guards everything below; never held while a frame goes out
  std::condition_variable cv;
  bool running = false;
  bool stop = false;
  int64_t start_ns = 0;
  int64_t period_ns = 0;
  uint64_t n = 0;  // frames due so far (sent, failed or passed over)
  uint64_t sent = 0;
  uint64_t failed = 0;
  std::thread thread;

  // The frame due at `now`, if one is; with mx held.
  bool due_locked(int64_t now, CMSG& m) {
    if (!running) return false;
    const int64_t due = start_ns + static_cast<int64_t>(n) * period_ns;
    if (now < due) return false;
    n = static_cast<uint64_t>((now - start_ns) / period_ns) + 1;
    m = CMSG{};
    if (kind == Kind::kHeartbeat) {
      m.id = 0x700 + node_id;
      m.len = 1;
      m.data[0] = kOperational;
    } else {
      m.id = kTimeId;
      m.len = 6;
      const std::vector<uint8_t> b = time_of_day_bytes(now);
      for (size_t i = 0; i < b.size(); ++i) m.data[i] = b[i];
    }
    return true;
  }

  bool send_due() {
    CMSG m;
    {
      std::lock_guard<std::mutex> lk(mx);
      if (!due_locked(tavik::clock().now_ns(), m)) return false;
    }
    const bool ok = canline_send(line, m) == 0;
    std::lock_guard<std::mutex> lk(mx);
    ++(ok ? sent : failed);
    return ok;
  }

  void run() {
    std::unique_lock<std::mutex> lk(mx);
    while (!stop) {
      const int64_t due = start_ns + static_cast<int64_t>(n) * period_ns;
      const int64_t left = due - tavik::clock().now_ns();
      if (left > 0) {
        // Real time, also on a virtual clock (whose time the test moves): looks again after
        // the wait.
        cv.wait_for(lk, std::chrono::nanoseconds(left));
        continue;
      }
      lk.unlock();
      send_due();
      lk.lock();
    }
  }
};

MasterProducer::MasterProducer(int line, Kind kind, int node_id) : impl_(std::make_unique<Impl>()) {
  impl_->line = line;
  impl_->kind = kind;
  impl_->node_id = node_id;
}

MasterProducer::~MasterProducer() {
  stop();
}

bool MasterProducer::start(int period_ms, bool own_thread) {
  Impl& p = *impl_;
  if (period_ms <= 0 || (p.kind == Kind::kHeartbeat && (p.node_id < 1 || p.node_id > 127))) {
    return false;
  }
  std::lock_guard<std::mutex> lk(p.mx);
  if (p.running || p.thread.joinable()) return false;
  p.period_ns = int64_t{period_ms} * kNsPerMs;
  p.start_ns = tavik::clock().now_ns();
  p.n = 0;
  p.stop = false;
  p.running = true;
  if (!own_thread) return true;
  try {
    p.thread = std::thread(&Impl::run, &p);
  } catch (const std::system_error& e) {
    p.running = false;
    tavik::printtostderr("MasterProducer", std::string("cannot start its thread: ") + e.what(),
                         DF_LOG);
    return false;
  }
  return true;
}

bool MasterProducer::stop() {
  Impl& p = *impl_;
  std::thread t;
  {
    std::lock_guard<std::mutex> lk(p.mx);
    p.running = false;
    p.stop = true;
    t = std::move(p.thread);
  }
  p.cv.notify_all();
  if (t.joinable()) t.join();
  return true;
}

bool MasterProducer::running() const {
  std::lock_guard<std::mutex> lk(impl_->mx);
  return impl_->running;
}

bool MasterProducer::tick() {
  return impl_->send_due();
}

uint64_t MasterProducer::sent() const {
  std::lock_guard<std::mutex> lk(impl_->mx);
  return impl_->sent;
}

uint64_t MasterProducer::failed() const {
  std::lock_guard<std::mutex> lk(impl_->mx);
  return impl_->failed;
}

}  // namespace canbus
