// The recorder (recorder.h).
//
// Frame path (any thread in a driver call): one relaxed load of the recorded nets, a lock-free
// look-up of the handle's net, one time reading per call, a reservation of queue cells by one
// compare-and-swap per call and a copy of the frames. Nothing on this path allocates, blocks or
// makes a system call but the time reading. The writer publishes how far it has read in
// `tail`, from which producers compute the room left.
//
// Writer thread: takes Writer::mu for everything it does; start, stop and flush take it to talk
// to the writer. The frame path never takes it. Control calls (start, stop) are serialised by
// control_mu, taken before Writer::mu.
#include "recorder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "backend.h"
#include "canlog.h"

namespace ntcan::recorder {
namespace {

// ---- handle -> net, without a lock -----------------------------------------------------------

// Open addressing over packed (handle << 32 | net + 1); handles are never reused, so a slot is
// claimed once per open and left as a tombstone at close.
constexpr size_t kSlots = 8192;
constexpr uint64_t kEmpty = 0;
constexpr uint64_t kTombstone = ~uint64_t{0};
std::array<std::atomic<uint64_t>, kSlots> g_slots{};

// Handles count up from 1 and the open ones are mostly close together: their slots share a few
// cache lines.
size_t home_slot(NTCAN_HANDLE h) {
  return static_cast<uint32_t>(h) & (kSlots - 1);
}

uint64_t slot_key(NTCAN_HANDLE h) {
  return uint64_t{static_cast<uint32_t>(h)} << 32;
}

void table_insert(NTCAN_HANDLE h, int net) {
  const uint64_t v = slot_key(h) | static_cast<uint32_t>(net + 1);
  for (size_t i = 0; i < kSlots; ++i) {
    auto& s = g_slots[(home_slot(h) + i) & (kSlots - 1)];
    uint64_t cur = s.load(std::memory_order_relaxed);
    while (cur == kEmpty || cur == kTombstone) {
      if (s.compare_exchange_weak(cur, v, std::memory_order_release)) return;
    }
  }
  // More than kSlots handles open at once: this one's frames are not recorded.
}

// The slot of `h` (nullptr if none) and its value.
std::atomic<uint64_t>* table_find(NTCAN_HANDLE h, uint64_t* value) {
  for (size_t i = 0; i < kSlots; ++i) {
    auto& s = g_slots[(home_slot(h) + i) & (kSlots - 1)];
    const uint64_t cur = s.load(std::memory_order_acquire);
    if (cur == kEmpty) return nullptr;
    if (cur != kTombstone && (cur & ~uint64_t{0xFFFFFFFF}) == slot_key(h)) {
      *value = cur;
      return &s;
    }
  }
  return nullptr;
}

// ---- the queue -------------------------------------------------------------------------------

// A call's frames take consecutive cells: a header cell (time, net, direction, count), then
// the frames as they are. The header's sequence number, set last (release), publishes the
// batch; 64-bit positions never repeat, so the writer never resets one.
struct Header {
  int64_t time_ns;
  uint16_t count;  // frames to write
  uint16_t cells;  // frames reserved after the header (a failed send writes none of them)
  uint8_t net;
  uint8_t sent;
  uint16_t unused;
};
static_assert(sizeof(Header) == sizeof(CMSG), "a header takes one cell");
constexpr uint64_t kMaxBatch = 0xFFFF;

// One cell: a frame, or a batch's header.
struct alignas(16) Cell {
  unsigned char bytes[16];
};
static_assert(sizeof(Cell) == sizeof(CMSG), "a cell holds one frame");

void copy_cells(Cell* dst, const void* src, size_t n) {
  std::memcpy(static_cast<void*>(dst), src, n * sizeof(Cell));
}

struct Ring;
// The last `tail` this thread saw, so that it reads the writer's cache line only when the room
// it knows of runs out (a stale tail only understates the room).
thread_local const Ring* t_ring = nullptr;
thread_local uint64_t t_tail = 0;

struct Ring {
  explicit Ring(size_t capacity)
      : cap(capacity), cells(new Cell[capacity]), seq(new std::atomic<uint64_t>[capacity]) {
    for (size_t i = 0; i < cap; ++i) seq[i].store(0, std::memory_order_relaxed);
  }
  const size_t cap;  // power of two, at most 2^30
  const std::unique_ptr<Cell[]> cells;
  // seq[i] = position + 1 of the batch whose header is in cell i, once it is filled.
  const std::unique_ptr<std::atomic<uint64_t>[]> seq;
  alignas(64) std::atomic<uint64_t> head{0};  // next position to reserve
  alignas(64) std::atomic<uint64_t> tail{0};  // next position the writer reads
  alignas(64) std::atomic<uint64_t> dropped{0};

  // Reserves a header and up to n (<= kMaxBatch) frame cells at *pos; the frames reserved
  // (0 if none: then nothing is to be published). Frames that found no room are counted.
  uint64_t reserve(uint64_t n, uint64_t* pos) {
    if (t_ring != this) t_ring = this, t_tail = 0;
    uint64_t p = head.load(std::memory_order_relaxed);
    uint64_t k = 0;
    for (;;) {
      uint64_t room = cap - (p - t_tail);
      if (p - t_tail > cap || room < n + 1) {
        t_tail = tail.load(std::memory_order_acquire);
        room = cap - (p - t_tail);
      }
      k = room > 1 ? std::min(n, room - 1) : 0;
      if (k == 0) break;
      if (head.compare_exchange_weak(p, p + 1 + k, std::memory_order_relaxed)) break;
    }
    if (k < n) dropped.fetch_add(n - k, std::memory_order_relaxed);
    *pos = p;
    return k;
  }

  void fill(uint64_t pos, const CMSG* frames, uint64_t k) {
    const size_t first = (pos + 1) & (cap - 1);
    const size_t until_end = std::min<size_t>(k, cap - first);
    copy_cells(&cells[first], frames, until_end);
    copy_cells(&cells[0], frames + until_end, k - until_end);
  }

  void publish(uint64_t pos, const Header& h) {
    const size_t at = pos & (cap - 1);
    copy_cells(&cells[at], &h, 1);
    seq[at].store(pos + 1, std::memory_order_release);
    // The writer read the cells ahead last time round, on another core: ask for them now, for
    // a batch like this one, so that the next call finds them ready to be written.
    const uint64_t next = pos + 1 + h.cells;
    for (uint64_t c = 0; c < uint64_t{h.cells} + 1; c += 4) {
      __builtin_prefetch(&cells[(next + c) & (cap - 1)], 1);
    }
  }

  void push(const CMSG* frames, uint64_t n, int net, int64_t t) {
    for (; n > 0;) {
      const uint64_t batch = std::min(n, kMaxBatch);
      uint64_t pos = 0;
      const uint64_t k = reserve(batch, &pos);
      if (k > 0) {
        fill(pos, frames, k);
        const auto c = static_cast<uint16_t>(k);
        publish(pos, Header{t, c, c, static_cast<uint8_t>(net), 0, 0});
      }
      frames += batch;
      n -= batch;
    }
  }
};

std::atomic<Ring*> g_ring{nullptr};      // created by the first start, never freed
std::atomic<uint64_t> g_nets{kAllNets};  // nets chosen
std::atomic<uint64_t> g_live{0};         // nets recorded now: g_nets while recording, else 0

int64_t real_time() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}
std::atomic<TimeSource> g_time{&real_time};

// ---- the writer ------------------------------------------------------------------------------

// A frame this process sent, which its own handles may receive again.
struct Sent {
  CMSG frame;
  int64_t time_ns;
};
constexpr size_t kEchoMemory = 64;
constexpr int64_t kEchoWindowNs = 1'000'000'000;

// Whether a received frame is the process hearing itself: equal to a frame it sent on that net
// during the second before. (A send is queued before the backend delivers it, so its record
// always comes first.)
bool is_echo(const std::deque<Sent>& sent, const CMSG& f, int64_t t) {
  for (auto it = sent.rbegin(); it != sent.rend(); ++it) {
    if (t - it->time_ns > kEchoWindowNs) return false;
    if (it->frame.id == f.id && it->frame.len == f.len &&
        std::memcmp(it->frame.data, f.data, sizeof f.data) == 0) {
      return true;
    }
  }
  return false;
}

struct Writer {
  std::mutex mu;
  std::condition_variable wake_cv;  // flush requested, or stop
  std::condition_variable done_cv;  // a flush request is served
  std::thread thread;
  bool quit = false;
  Options opt;
  std::FILE* file = nullptr;  // guarded by mu, like everything below
  uint64_t file_bytes = 0;
  uint64_t flush_target = 0;    // ring position a flush() waits for
  uint64_t flushed = 0;         // ring position written out and handed to the system
  uint64_t reported_drops = 0;  // of the present queue
  uint64_t dropped_before = 0;  // by queues replaced since
  std::vector<Ring*> retired;   // queues replaced
  std::chrono::steady_clock::time_point last_report{};
  std::array<std::string, kMaxNets> names;
  std::array<std::deque<Sent>, kMaxNets> recent_sent;  // the last kEchoMemory sent per net
  uint64_t seen_nets = 0;                              // nets written so far in this recording
  int width = 0;                                       // of their longest name
  std::atomic<uint64_t> written{0};
  std::atomic<uint64_t> rotations{0};
  std::atomic<uint64_t> write_errors{0};
};

Writer& writer() {
  static Writer* w = new Writer;  // leaked: driver calls may run during exit
  return *w;
}
std::mutex control_mu;

std::string rotated_name(const std::string& path, int k) {
  return path + "." + std::to_string(k);
}

// Opens the recording file as recorder.h tells: created anew (never through a link), or an
// existing one appended to when it is a file the recorder would have made. The file descriptor
// is checked, not the name, so nothing can be swapped in between. Caller holds mu.
bool open_file(Writer& w, std::string* error) {
  const char* path = w.opt.path.c_str();
  constexpr int kFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
  int fd = ::open(path, kFlags | O_CREAT | O_EXCL, 0640);
  if (fd < 0 && errno == EEXIST) fd = ::open(path, kFlags);
  if (fd < 0) {
    const int e = errno;
    if (error) {
      *error = e == ELOOP   ? w.opt.path + " is a symbolic link: refused"
               : e == ENXIO ? w.opt.path + " is not a regular file: refused"  // FIFO, socket
                            : "cannot open " + w.opt.path + " for writing: " + std::strerror(e);
    }
    return false;
  }
  struct stat st {};
  const char* why = nullptr;
  if (::fstat(fd, &st) != 0) {
    why = "cannot be examined";
  } else if (!S_ISREG(st.st_mode)) {
    why = "is not a regular file";
  } else if (st.st_uid != ::geteuid()) {
    why = "belongs to another user";
  } else if (st.st_nlink != 1) {
    why = "has other names (hard links)";
  } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    why = "may be written by others";
  }
  if (why != nullptr) {
    ::close(fd);
    if (error) *error = w.opt.path + " " + why + ": refused (not a recording of ours)";
    return false;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  w.file = ::fdopen(fd, "a");
  if (!w.file) {
    ::close(fd);
    if (error) *error = "cannot open " + w.opt.path + ": " + std::strerror(errno);
    return false;
  }
  std::setvbuf(w.file, nullptr, _IOFBF, 1 << 16);
  w.file_bytes = static_cast<uint64_t>(st.st_size);
  return true;
}

// Caller holds mu.
void rotate(Writer& w) {
  if (w.file) std::fclose(w.file);
  w.file = nullptr;
  if (w.opt.keep <= 0) {
    std::remove(w.opt.path.c_str());
  } else {
    for (int k = w.opt.keep - 1; k >= 1; --k) {
      std::rename(rotated_name(w.opt.path, k).c_str(), rotated_name(w.opt.path, k + 1).c_str());
    }
    std::rename(w.opt.path.c_str(), rotated_name(w.opt.path, 1).c_str());
  }
  w.rotations.fetch_add(1, std::memory_order_relaxed);
  std::string error;
  if (!open_file(w, &error)) {
    // The lines count as write errors from here on; no more renames of the kept files.
    w.file_bytes = 0;
    std::fprintf(stderr, "ntcan recorder: after rotation: %s\n", error.c_str());
  }
}

// Caller holds mu.
void put(Writer& w, const char* line, size_t n) {
  if (w.opt.rotate_bytes > 0 && w.file_bytes > 0 && w.file_bytes + n > w.opt.rotate_bytes) {
    rotate(w);
  }
  if (!w.file || fwrite_unlocked(line, 1, n, w.file) != n) {  // only this thread writes it
    w.write_errors.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  w.file_bytes += n;
}

// Caller holds mu. Writes out what producers have published, and at least up to `until`
// (waiting for cells reserved below it that are still being filled).
void drain(Writer& w, Ring& r, uint64_t until) {
  uint64_t t = r.tail.load(std::memory_order_relaxed);
  uint64_t written = 0;
  char line[canlog::kMaxLine];
  for (;;) {
    const size_t at = t & (r.cap - 1);
    if (r.seq[at].load(std::memory_order_acquire) != t + 1) {
      if (t >= until) break;
      std::this_thread::yield();  // a producer is between reserving and filling this batch
      continue;
    }
    Header h;
    std::memcpy(&h, &r.cells[at], sizeof h);
    if (!((w.seen_nets >> h.net) & 1)) {  // names right-aligned to the longest so far
      w.seen_nets |= uint64_t{1} << h.net;
      w.width = std::max(w.width, static_cast<int>(w.names[h.net].size()));
    }
    auto& sent = w.recent_sent[h.net];
    for (uint64_t i = 1; i <= h.count; ++i) {
      CMSG f;
      std::memcpy(&f, &r.cells[(t + i) & (r.cap - 1)], sizeof f);
      f = canlog::normalised(f);
      if (h.sent) {
        if (sent.size() == kEchoMemory) sent.pop_front();
        sent.push_back({f, h.time_ns});
      } else if (is_echo(sent, f, h.time_ns)) {
        continue;
      }
      const size_t n = canlog::format_line(line, h.time_ns, w.names[h.net], w.width, f,
                                           h.sent ? canlog::Dir::kTx : canlog::Dir::kRx);
      put(w, line, n);
      ++written;
    }
    t += 1 + h.cells;
    r.tail.store(t, std::memory_order_release);
  }
  w.written.fetch_add(written, std::memory_order_relaxed);
  const uint64_t dropped = r.dropped.load(std::memory_order_relaxed);
  if (dropped > w.reported_drops) {
    const uint64_t d = dropped - w.reported_drops;
    w.reported_drops = dropped;
    const int n = std::snprintf(line, sizeof line, "# recorder: %llu frames dropped, queue full\n",
                                static_cast<unsigned long long>(d));
    put(w, line, static_cast<size_t>(n));
    const auto now = std::chrono::steady_clock::now();
    if (now - w.last_report >= std::chrono::seconds(1)) {
      w.last_report = now;
      std::fprintf(stderr, "ntcan recorder: %llu frames dropped (queue full), %llu in all\n",
                   static_cast<unsigned long long>(d), static_cast<unsigned long long>(dropped));
    }
  }
}

void writer_loop() {
  Writer& w = writer();
  std::unique_lock<std::mutex> lock(w.mu);
  Ring& r = *g_ring.load(std::memory_order_acquire);
  for (;;) {
    // Background pace when nobody asks: a 64 Ki-frame queue holds 0.36 s of 20 saturated lines.
    w.wake_cv.wait_for(lock, std::chrono::milliseconds(10),
                       [&] { return w.quit || w.flush_target > w.flushed; });
    const uint64_t target = w.quit ? r.head.load(std::memory_order_acquire) : w.flush_target;
    drain(w, r, target);
    if (w.file) std::fflush(w.file);
    w.flushed = std::max(w.flushed, r.tail.load(std::memory_order_relaxed));
    w.done_cv.notify_all();
    if (w.quit) break;
  }
  if (w.file) std::fclose(w.file);
  w.file = nullptr;
}

void stop_at_exit() {
  stop();
}

size_t round_up_pow2(size_t n) {
  size_t c = 1;
  while (c < n) c <<= 1;
  return c;
}

bool parse_size(const char* text, uint64_t* out) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text, &end, 10);
  if (end == text || errno != 0 || text[0] == '-') return false;
  uint64_t mult = 1;
  if (*end == 'k' || *end == 'K')
    mult = 1024, ++end;
  else if (*end == 'M')
    mult = 1024 * 1024, ++end;
  if (*end != '\0' || v > UINT64_MAX / mult) return false;
  *out = v * mult;
  return true;
}

}  // namespace

bool parse_nets(const std::string& text, uint64_t* nets) {
  if (text == "all") {
    *nets = kAllNets;
    return true;
  }
  uint64_t m = 0;
  size_t p = 0;
  while (p < text.size()) {
    size_t e = text.find(',', p);
    if (e == std::string::npos) e = text.size();
    const std::string part = text.substr(p, e - p);
    int a = -1, b = -1;
    char tail = 0;
    const int got = std::sscanf(part.c_str(), "%d-%d%c", &a, &b, &tail);
    if (got == 1 && part.find('-') == std::string::npos) b = a;
    if ((got != 1 && got != 2) || (got == 1 && b != a) || a < 0 || b < a || b >= kMaxNets) {
      return false;
    }
    if (part.find_first_not_of("0123456789-") != std::string::npos) return false;
    for (int n = a; n <= b; ++n) m |= uint64_t{1} << n;
    p = e + 1;
  }
  if (m == 0) return false;
  *nets = m;
  return true;
}

bool options_from_environment(Options* o, std::string* error) {
  const char* path = std::getenv("NTCAN_RECORD");
  if (!path || !*path) return false;
  Options opt;
  opt.path = path;
  const auto bad = [&](const char* name) {
    if (error) *error = std::string("bad value of ") + name;
    return false;
  };
  if (const char* v = std::getenv("NTCAN_RECORD_NETS"); v && *v && !parse_nets(v, &opt.nets)) {
    return bad("NTCAN_RECORD_NETS");
  }
  for (const char* name : {"NTCAN_RECORD_ROTATE", "NTCAN_RECORD_MAX_BYTES"}) {
    if (const char* v = std::getenv(name); v && *v && !parse_size(v, &opt.rotate_bytes)) {
      return bad(name);
    }
  }
  uint64_t n = 0;
  if (const char* v = std::getenv("NTCAN_RECORD_KEEP"); v && *v) {
    if (!parse_size(v, &n) || n > 1000) return bad("NTCAN_RECORD_KEEP");
    opt.keep = static_cast<int>(n);
  }
  if (const char* v = std::getenv("NTCAN_RECORD_QUEUE"); v && *v) {
    if (!parse_size(v, &n) || n == 0 || n > (1u << 30)) return bad("NTCAN_RECORD_QUEUE");
    opt.queue_frames = static_cast<size_t>(n);
  }
  *o = opt;
  return true;
}

bool start(const Options& options, std::string* error) {
  const auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  if (options.path.empty()) return fail("no file name");
  if (options.queue_frames == 0 || options.queue_frames > (1u << 30) || options.keep < 0 ||
      options.keep > 1000) {
    return fail("queue size or number of kept files out of range");
  }
  std::lock_guard<std::mutex> control(control_mu);
  // Names first: the backend may not be chosen yet, and choosing it must not run under mu.
  Backend* b = active_backend();
  std::array<std::string, kMaxNets> names;
  for (int n = 0; n < kMaxNets; ++n) names[n] = b ? b->net_name(n) : "can" + std::to_string(n);

  Writer& w = writer();
  if (w.thread.joinable()) {
    g_live.store(0, std::memory_order_relaxed);
    {
      std::lock_guard<std::mutex> lock(w.mu);
      w.quit = true;
    }
    w.wake_cv.notify_all();
    w.thread.join();
  }
  Ring* ring = g_ring.load(std::memory_order_acquire);
  const size_t cap = round_up_pow2(options.queue_frames);
  if (!ring || ring->cap != cap) {
    // Never freed, also the one replaced (kept in `retired`): a driver call may still be
    // filling a cell. Frames put into the old queue after this point are lost with it.
    std::lock_guard<std::mutex> lock(w.mu);
    if (ring) {
      w.dropped_before += ring->dropped.load();
      w.retired.push_back(ring);
    }
    ring = new Ring(cap);
    g_ring.store(ring, std::memory_order_release);
    w.flush_target = 0;
    w.flushed = 0;
    static const bool at_exit = std::atexit(&stop_at_exit) == 0;
    (void)at_exit;
  }
  {
    std::lock_guard<std::mutex> lock(w.mu);
    w.opt = options;
    w.names = names;
    w.seen_nets = 0;
    w.width = 0;
    for (auto& d : w.recent_sent) d.clear();
    w.quit = false;
    std::string why;
    if (!open_file(w, &why)) return fail(why);
    w.reported_drops = g_ring.load()->dropped.load();
  }
  try {
    w.thread = std::thread(&writer_loop);
  } catch (const std::system_error& e) {
    std::lock_guard<std::mutex> lock(w.mu);
    std::fclose(w.file);
    w.file = nullptr;
    return fail(std::string("no writer thread: ") + e.what());
  }
  g_nets.store(options.nets, std::memory_order_relaxed);
  g_live.store(options.nets, std::memory_order_relaxed);
  return true;
}

void stop() {
  std::lock_guard<std::mutex> control(control_mu);
  Writer& w = writer();
  if (!w.thread.joinable()) return;
  g_live.store(0, std::memory_order_relaxed);
  {
    std::lock_guard<std::mutex> lock(w.mu);
    w.quit = true;
  }
  w.wake_cv.notify_all();
  w.thread.join();
}

bool active() {
  return g_live.load(std::memory_order_relaxed) != 0;
}

void set_nets(uint64_t nets) {
  g_nets.store(nets, std::memory_order_relaxed);
  std::lock_guard<std::mutex> control(control_mu);
  if (writer().thread.joinable()) g_live.store(nets, std::memory_order_relaxed);
}

uint64_t nets() {
  return g_nets.load(std::memory_order_relaxed);
}

void flush() {
  Ring* r = g_ring.load(std::memory_order_acquire);
  if (!r) return;
  Writer& w = writer();
  std::unique_lock<std::mutex> lock(w.mu);
  if (!w.file && !w.thread.joinable()) return;
  const uint64_t target = r->head.load(std::memory_order_acquire);
  w.flush_target = std::max(w.flush_target, target);
  w.wake_cv.notify_all();
  w.done_cv.wait(lock, [&] { return w.flushed >= target || w.quit; });
}

Stats stats() {
  Stats s;
  Writer& w = writer();
  s.written = w.written.load(std::memory_order_relaxed);
  s.rotations = w.rotations.load(std::memory_order_relaxed);
  s.write_errors = w.write_errors.load(std::memory_order_relaxed);
  std::lock_guard<std::mutex> lock(w.mu);
  s.dropped = w.dropped_before;
  if (Ring* r = g_ring.load(std::memory_order_acquire)) {
    s.dropped += r->dropped.load(std::memory_order_relaxed);
  }
  return s;
}

void set_time_source(TimeSource source) {
  g_time.store(source ? source : &real_time, std::memory_order_relaxed);
}

void on_open(NTCAN_HANDLE handle, int net) {
  table_insert(handle, net);
}

int net_of(NTCAN_HANDLE handle) {
  uint64_t v = 0;
  if (!table_find(handle, &v)) return -1;
  return static_cast<int>(v & 0xFFFFFFFF) - 1;
}

void on_close(NTCAN_HANDLE handle) {
  uint64_t v = 0;
  if (auto* s = table_find(handle, &v)) s->compare_exchange_strong(v, kTombstone);
}

void observer(NTCAN_HANDLE handle) {
  on_close(handle);  // its slot given up: the handle has no net for the recorder and the counts
}

namespace {

// The recorded net of `handle` (-1 if it is not recorded now).
int recorded_net(NTCAN_HANDLE handle) {
  const uint64_t live = g_live.load(std::memory_order_relaxed);
  if (live == 0) return -1;
  uint64_t v = 0;
  if (!table_find(handle, &v)) return -1;
  const int net = static_cast<int>(v & 0xFFFFFFFF) - 1;
  return net >= 0 && net < kMaxNets && ((live >> net) & 1) ? net : -1;
}

}  // namespace

void on_received(NTCAN_HANDLE handle, const CMSG* frames, int32_t count) {
  if (count <= 0) return;
  const int net = recorded_net(handle);
  if (net < 0) return;
  g_ring.load(std::memory_order_acquire)
      ->push(frames, static_cast<uint64_t>(count), net, g_time.load(std::memory_order_relaxed)());
}

SendRecord::SendRecord(NTCAN_HANDLE handle, const CMSG* frames, int32_t count) {
  if (count <= 0) return;
  net_ = recorded_net(handle);
  if (net_ < 0) return;
  Ring* r = g_ring.load(std::memory_order_acquire);
  const uint64_t k = r->reserve(std::min(static_cast<uint64_t>(count), kMaxBatch), &pos_);
  if (static_cast<uint64_t>(count) > kMaxBatch) {
    r->dropped.fetch_add(static_cast<uint64_t>(count) - kMaxBatch, std::memory_order_relaxed);
  }
  if (k == 0) return;
  r->fill(pos_, frames, k);
  ring_ = r;
  cells_ = static_cast<uint16_t>(k);
  time_ns_ = g_time.load(std::memory_order_relaxed)();
}

SendRecord::~SendRecord() {
  if (!ring_) return;
  const auto count = static_cast<uint16_t>(std::min<int32_t>(std::max(sent_, 0), cells_));
  static_cast<Ring*>(ring_)->publish(
      pos_, Header{time_ns_, count, cells_, static_cast<uint8_t>(net_), 1, 0});
}

void start_from_environment() {
  Options o;
  std::string error;
  if (options_from_environment(&o, &error)) {
    if (!start(o, &error)) std::fprintf(stderr, "ntcan recorder: %s\n", error.c_str());
  } else if (!error.empty()) {
    std::fprintf(stderr, "ntcan recorder: %s; not recording\n", error.c_str());
  }
}

}  // namespace ntcan::recorder
