// The tap of a line (can_trace.h): its own handle, the ring of frames, listeners and bus load.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "D_esdcan.h"
#include "can_trace.h"
#include "canlog.h"
#include "recorder.h"
#include "tavik_time.h"

namespace canbus {
namespace {

constexpr int kReadFrames = 256;         // frames taken per driver call
constexpr int64_t kReadWaitUs = 100000;  // the reading thread wakes at least this often
constexpr int64_t kErrorPauseMs = 100;   // after a failed read, before the next (real time)
constexpr int64_t kShortestFrameBits = 47;
constexpr int32_t kMinRxQueue = 4096;
constexpr int32_t kMaxRxQueue = 1 << 20;  // the driver's limit

}  // namespace

struct LineTap::Impl {
  explicit Impl(const Options& o) : opts(o) {}

  Options opts;
  std::atomic<NTCAN_HANDLE> handle{NTCAN_NO_HANDLE};

  // The ring, the load windows and the counts.
  mutable std::mutex mx;
  std::vector<TraceFrame> ring;  // ring_frames slots; seq s is at (s - 1) % size
  uint64_t seq = 0;
  int64_t window_start = 0;
  Load current;
  std::deque<Load> windows;
  Counts counts;

  // Listeners. `calling` is the id of the listener running on `caller` now (0: none).
  std::mutex lmx;
  std::condition_variable lcv;
  std::vector<std::pair<int, Listener>> listeners;
  int next_id = 1;
  int calling = 0;
  std::thread::id caller;

  // The reading thread.
  std::mutex tmx;
  std::condition_variable tcv;
  bool stop = false;
  std::thread thread;
  // One reader at a time (thread or poll).
  std::mutex read_mx;

  // Closes the windows that ended by `now`, with mx held. A window without frames has load 0; a
  // gap longer than the windows kept adds only as many empty windows as are kept.
  void close_windows(int64_t now) {
    const int64_t w = opts.load_window_ns;
    if (now < window_start + w) return;
    const int64_t ended = (now - window_start) / w;
    const int64_t keep = static_cast<int64_t>(opts.load_windows);
    int64_t first_empty = 1;
    push_window(current);
    if (ended - 1 > keep) first_empty = ended - keep;
    for (int64_t i = first_empty; i < ended; ++i) {
      Load empty;
      empty.start_ns = window_start + i * w;
      push_window(empty);
    }
    window_start += ended * w;
    current = Load{};
    current.start_ns = window_start;
  }

  void push_window(Load l) {
    l.fraction = static_cast<double>(l.bits) * 1e9 /
                 (static_cast<double>(opts.bitrate) * static_cast<double>(opts.load_window_ns));
    windows.push_back(l);
    while (windows.size() > opts.load_windows) windows.pop_front();
  }

  // Stamps and keeps the frames read, then hands them to the listeners.
  void take_in(const CMSG* frames, int n, std::vector<TraceFrame>& batch) {
    const int64_t now = tavik::clock().now_ns();
    batch.clear();
    {
      std::lock_guard<std::mutex> lock(mx);
      close_windows(now);
      for (int i = 0; i < n; ++i) {
        TraceFrame f;
        f.seq = ++seq;
        f.t_ns = now;
        f.net = opts.net;
        f.frame = canlog::normalised(frames[i]);
        f.frame.msg_lost = 0;
        const uint64_t bits = static_cast<uint64_t>(frame_bits(f.frame));
        ++counts.frames;
        counts.bits += bits;
        counts.lost += frames[i].msg_lost;
        ++current.frames;
        current.bits += bits;
        ring[(f.seq - 1) % ring.size()] = f;
        batch.push_back(f);
      }
    }
    dispatch(batch);
  }

  void dispatch(const std::vector<TraceFrame>& batch) {
    if (batch.empty()) return;
    std::unique_lock<std::mutex> lock(lmx);
    // Listeners are kept in the order they were added, their ids ascending.
    int after = 0;
    for (;;) {
      auto it = std::upper_bound(listeners.begin(), listeners.end(), after,
                                 [](int id, const auto& e) { return id < e.first; });
      if (it == listeners.end()) break;
      after = it->first;
      Listener l = it->second;
      calling = after;
      caller = std::this_thread::get_id();
      lock.unlock();
      for (const TraceFrame& f : batch) l(f);
      lock.lock();
      calling = 0;
      lcv.notify_all();
    }
  }

  void note_error() {
    std::lock_guard<std::mutex> lock(mx);
    ++counts.errors;
  }

  // Reads what is queued; `wait_us` > 0: waits that long for the first frame.
  size_t read(int64_t wait_us) {
    std::lock_guard<std::mutex> reader(read_mx);
    const NTCAN_HANDLE h = handle.load();
    if (h == NTCAN_NO_HANDLE) return 0;
    CMSG buf[kReadFrames];
    std::vector<TraceFrame> batch;
    batch.reserve(kReadFrames);
    size_t total = 0;
    for (bool first = true;; first = false) {
      int32_t n = kReadFrames;
      NTCAN_RESULT r =
          first && wait_us > 0 ? canReadTimeout(h, buf, &n, wait_us) : canTake(h, buf, &n);
      if (r == NTCAN_RX_TIMEOUT) n = 0, r = NTCAN_SUCCESS;
      if (r != NTCAN_SUCCESS && r != NTCAN_MESSAGE_LOST) {
        if (r != NTCAN_OPERATION_ABORTED) note_error();
        if (total == 0) return total;
        break;
      }
      if (n <= 0) break;
      take_in(buf, n, batch);
      total += static_cast<size_t>(n);
      if (n < kReadFrames) break;
    }
    return total;
  }

  void tick() {
    const int64_t now = tavik::clock().now_ns();
    std::lock_guard<std::mutex> lock(mx);
    close_windows(now);
  }

  void run() {
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(tmx);
        if (stop) return;
      }
      const uint64_t errors_before = counts_errors();
      read(kReadWaitUs);
      tick();
      if (counts_errors() != errors_before) {
        // A failing handle answers at once: pause, so that the thread does not spin.
        std::unique_lock<std::mutex> lock(tmx);
        tcv.wait_for(lock, std::chrono::milliseconds(kErrorPauseMs), [this] { return stop; });
      }
    }
  }

  uint64_t counts_errors() {
    std::lock_guard<std::mutex> lock(mx);
    return counts.errors;
  }
};

LineTap::LineTap() = default;

LineTap::~LineTap() {
  close();
}

bool LineTap::open(const Options& opts, std::string* error) {
  close();
  if (opts.bitrate <= 0 || opts.ring_frames == 0 || opts.load_window_ns <= 0 ||
      opts.load_windows == 0) {
    if (error) *error = "invalid tap options";
    return false;
  }
  // A saturated line for a second: the reader may be late by far more than its wake-up period.
  const int64_t per_second = opts.bitrate / kShortestFrameBits;
  const auto rxqueue =
      static_cast<int32_t>(std::clamp<int64_t>(per_second, kMinRxQueue, kMaxRxQueue));
  NTCAN_HANDLE h = NTCAN_NO_HANDLE;
  NTCAN_RESULT r = canOpen(opts.net, 0, 1, rxqueue, 0, 0, &h);
  // The tap watches: a recording of the process and its frame counts stay those of the handles
  // that take part (every frame it reads one of them reads too, or none of them wants).
  if (r == NTCAN_SUCCESS) ntcan::recorder::observer(h);
  for (int32_t id = 0; r == NTCAN_SUCCESS && id <= 0x7FF; ++id) {
    r = canIdAdd(h, id);
    if (r == NTCAN_ID_ALREADY_ENABLED) r = NTCAN_SUCCESS;
  }
  if (r != NTCAN_SUCCESS) {
    if (h != NTCAN_NO_HANDLE) canClose(h);
    if (error) *error = can_error_str(static_cast<unsigned long>(r));
    return false;
  }
  auto impl = std::make_unique<Impl>(opts);
  impl->ring.resize(opts.ring_frames);
  impl->window_start = tavik::clock().now_ns();
  impl->current.start_ns = impl->window_start;
  impl->handle = h;
  opts_ = opts;
  impl_ = std::move(impl);
  return true;
}

void LineTap::close() {
  if (!impl_) return;
  stop();
  const NTCAN_HANDLE h = impl_->handle.exchange(NTCAN_NO_HANDLE);
  if (h != NTCAN_NO_HANDLE) canClose(h);
  // A poll() still running on another thread ends with the handle gone.
  std::lock_guard<std::mutex> reader(impl_->read_mx);
}

bool LineTap::is_open() const {
  return impl_ && impl_->handle.load() != NTCAN_NO_HANDLE;
}

void LineTap::start() {
  if (!is_open()) return;
  std::lock_guard<std::mutex> lock(impl_->tmx);
  if (impl_->thread.joinable()) return;
  impl_->stop = false;
  Impl* impl = impl_.get();
  impl_->thread = std::thread([impl] { impl->run(); });
}

void LineTap::stop() {
  if (!impl_) return;
  std::thread t;
  {
    std::lock_guard<std::mutex> lock(impl_->tmx);
    impl_->stop = true;
    t = std::move(impl_->thread);
  }
  impl_->tcv.notify_all();
  if (t.joinable()) t.join();  // wakes within one read wait (100 ms)
}

size_t LineTap::poll() {
  if (!impl_) return 0;
  const size_t n = impl_->read(0);
  impl_->tick();
  return n;
}

int LineTap::add_listener(Listener l) {
  if (!impl_ || !l) return 0;
  std::lock_guard<std::mutex> lock(impl_->lmx);
  const int id = impl_->next_id++;
  impl_->listeners.emplace_back(id, std::move(l));
  return id;
}

void LineTap::remove_listener(int id) {
  if (!impl_) return;
  std::unique_lock<std::mutex> lock(impl_->lmx);
  auto& ls = impl_->listeners;
  ls.erase(std::remove_if(ls.begin(), ls.end(), [id](const auto& e) { return e.first == id; }),
           ls.end());
  // A listener removing itself (or another) from inside a call does not wait for itself.
  impl_->lcv.wait(
      lock, [&] { return impl_->calling != id || impl_->caller == std::this_thread::get_id(); });
}

std::vector<TraceFrame> LineTap::since(uint64_t after_seq, size_t max) const {
  std::vector<TraceFrame> out;
  if (!impl_) return out;
  std::lock_guard<std::mutex> lock(impl_->mx);
  const uint64_t last = impl_->seq;
  const uint64_t size = impl_->ring.size();
  const uint64_t oldest = last > size ? last - size + 1 : 1;
  uint64_t s = std::max(after_seq + 1, oldest);
  if (s > last) return out;
  out.reserve(static_cast<size_t>(std::min<uint64_t>(last - s + 1, max)));
  for (; s <= last && out.size() < max; ++s) out.push_back(impl_->ring[(s - 1) % size]);
  return out;
}

uint64_t LineTap::last_seq() const {
  if (!impl_) return 0;
  std::lock_guard<std::mutex> lock(impl_->mx);
  return impl_->seq;
}

LineTap::Load LineTap::load() const {
  if (!impl_) return {};
  impl_->tick();
  std::lock_guard<std::mutex> lock(impl_->mx);
  return impl_->windows.empty() ? Load{} : impl_->windows.back();
}

std::vector<LineTap::Load> LineTap::load_history() const {
  if (!impl_) return {};
  impl_->tick();
  std::lock_guard<std::mutex> lock(impl_->mx);
  return {impl_->windows.begin(), impl_->windows.end()};
}

LineTap::Counts LineTap::counts() const {
  if (!impl_) return {};
  std::lock_guard<std::mutex> lock(impl_->mx);
  return impl_->counts;
}

}  // namespace canbus
