// Network scan (can_scan.h): one handle of its own, every request and reply handled in the
// caller's thread by a small state machine per id. Nothing here is shared with the node
// registry or the receive cycle, so no lock of the library is taken.
#include <algorithm>
#include <cstring>

#include "D_esdcan.h"
#include "can_scan.h"
#include "tavik_time.h"
#if __has_include("ntcan_open_error.h")
#include "ntcan_open_error.h"
#endif

namespace canbus {
namespace {

constexpr int64_t kNsPerMs = 1'000'000;
constexpr int64_t kProgressEveryNs = 100 * kNsPerMs;
constexpr int32_t kRxQueue = 4096;  // a full line answers 127 requests at once, beats besides
constexpr int32_t kTxQueue = 256;
constexpr int32_t kDriverTimeoutMs = 100;
constexpr size_t kMaxName = 255;
constexpr uint32_t kAbortOutOfMemory = 0x05040005;  // a device name longer than we keep
constexpr uint32_t kAbortTimeout = 0x05040000;
constexpr int kBatch = 64;
constexpr int64_t kFrameBits = 111;  // 8 data bytes, standard identifier, before stuffing
constexpr int kDefaultKbit = 125;    // for a line whose bit rate the driver cannot tell
// An identity read that got no reply is asked again, each time with twice the time-out before;
// a node that let this many objects in a row go unanswered is taken as gone.
constexpr int kIdentityRetries = 2;
constexpr int kSilentObjects = 2;

// The objects read of each node found, in this order.
struct Object {
  uint16_t index;
  uint8_t sub;
};
constexpr Object kIdentity[] = {{0x1018, 1}, {0x1018, 2}, {0x1018, 3}, {0x1018, 4}, {0x1008, 0}};
constexpr int kIdentityReads = 5;

uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// What the scan knows and waits for of one id.
struct Slot {
  ScannedNode node;
  int sent = 0;          // requests for 0x1000 sent
  int64_t deadline = 0;  // of the outstanding request, 0 when none is
  bool type_done = false;
  // Identity phase: the object read now (kIdentityReads: all done), the transfer's state.
  int read = 0;
  int tries = 0;             // requests for that object so far
  int silent_reads = 0;      // objects in a row that got no reply at all
  bool guard_asked = false;  // a guarding request (remote frame) for this id was heard
  bool started = false;
  bool segmented = false;
  uint8_t toggle = 0;
  std::string value;
};

class Scanner {
 public:
  Scanner(const ScanOptions& o, ScanResult& r) : o_(o), r_(r) {}

  int run(int line) {
    const int64_t start = tavik::clock().now_ns();
    int ret = canOpen(line - 1, 0, kTxQueue, kRxQueue, kDriverTimeoutMs, kDriverTimeoutMs, &h_);
    if (ret != NTCAN_SUCCESS) {
      h_ = NTCAN_NO_HANDLE;
#ifdef NTCAN_HAS_OPEN_ERROR
      char text[256];
      if (canOpenError(text, sizeof text) == NTCAN_SUCCESS) r_.open_error = text;
#endif
      return ret;
    }
    kbit_ = o_.bit_rate_kbit >= 0 ? o_.bit_rate_kbit : line_kbit();
    r_.bit_rate_kbit = kbit_;
    for (int32_t id = 0x581; id <= 0x5FF && ret == NTCAN_SUCCESS; ++id) ret = enable(id);
    for (int32_t id = 0x701; id <= 0x77F && ret == NTCAN_SUCCESS; ++id) ret = enable(id);
    if (ret == NTCAN_SUCCESS) ret = device_types();
    if (ret == NTCAN_SUCCESS && o_.read_identity) ret = identities();
    for (Slot& s : slots_) {
      ScannedNode& n = s.node;
      n.conflict = n.answers > s.sent && n.answers > 1;
      if (n.found_by != 0) r_.nodes.push_back(n);
    }
    r_.elapsed_ns = tavik::clock().now_ns() - start;
    return ret;
  }

  // The bit rate the line was opened with (its baud-rate code on the net), in kbit/s.
  int line_kbit() {
    uint32_t code = NTCAN_NO_BAUDRATE;
    if (canGetBaudrate(h_, &code) != NTCAN_SUCCESS) return kDefaultKbit;
    const std::pair<uint32_t, int> kRates[] = {
        {NTCAN_BAUD_1000, 1000}, {NTCAN_BAUD_800, 800}, {NTCAN_BAUD_500, 500},
        {NTCAN_BAUD_250, 250},   {NTCAN_BAUD_125, 125}, {NTCAN_BAUD_100, 100},
        {NTCAN_BAUD_50, 50},     {NTCAN_BAUD_20, 20},   {NTCAN_BAUD_10, 10}};
    for (const auto& [c, kbit] : kRates) {
      if (c == code) return kbit;
    }
    return kDefaultKbit;
  }

  ~Scanner() {
    if (h_ != NTCAN_NO_HANDLE) canClose(h_);
  }

 private:
  int enable(int32_t id) {
    const NTCAN_RESULT r = canIdAdd(h_, id);
    return r == NTCAN_ID_ALREADY_ENABLED ? NTCAN_SUCCESS : r;
  }

  Slot& slot(int id) {
    return slots_[static_cast<size_t>(id)];
  }

  // Queues a request; flush() sends the queued ones in one driver call.
  void sdo(int id, uint8_t cmd, uint16_t index, uint8_t sub, uint32_t word) {
    if (out_count_ == kOut && flush() != NTCAN_SUCCESS) out_count_ = 0;  // as if sent and lost
    CMSG& m = out_[out_count_++];
    m = CMSG{};
    m.id = 0x600 + id;
    m.len = 8;
    m.data[0] = cmd;
    m.data[1] = static_cast<uint8_t>(index & 0xFF);
    m.data[2] = static_cast<uint8_t>(index >> 8);
    m.data[3] = sub;
    for (int i = 0; i < 4; ++i) m.data[4 + i] = static_cast<uint8_t>(word >> (8 * i));
  }

  int flush() {
    if (out_count_ == 0) return NTCAN_SUCCESS;
    int32_t n = out_count_;
    const NTCAN_RESULT ret = canSend(h_, out_, &n);
    if (ret == NTCAN_SUCCESS) r_.requests += n;
    const bool all = n == out_count_;
    out_count_ = 0;
    return ret == NTCAN_SUCCESS && !all ? NTCAN_TX_TIMEOUT : ret;
  }

  // Sends what is queued, then waits until `deadline` for frames (one driver call, which returns
  // at the first arrival) and handles them; 0 or the driver's failure.
  int receive(int64_t deadline) {
    if (int r = flush()) return r;
    struct Ctx {
      NTCAN_HANDLE h;
      CMSG frames[kBatch];
      int32_t count;
      int ret;
      bool waited;  // the previous call waited its whole time in vain
    } ctx{h_, {}, 0, NTCAN_SUCCESS, false};
    auto read = [](void* p, int64_t real_ns) {
      auto* c = static_cast<Ctx*>(p);
      // The clock looks once more at the deadline after a wait that timed out; the driver
      // returns at the first frame, so that look would find nothing and is left out.
      if (real_ns <= 0 && c->waited) return false;
      c->count = kBatch;
      c->ret = canReadTimeout(c->h, c->frames, &c->count, (real_ns + 999) / 1000);
      if (c->ret != NTCAN_SUCCESS && c->ret != NTCAN_MESSAGE_LOST) c->count = 0;
      c->waited = real_ns > 0 && c->ret == NTCAN_RX_TIMEOUT;
      return c->count > 0 || (c->ret != NTCAN_SUCCESS && c->ret != NTCAN_RX_TIMEOUT);
    };
    tavik::clock().wait_until(deadline, read, &ctx);
    if (ctx.ret != NTCAN_SUCCESS && ctx.ret != NTCAN_RX_TIMEOUT && ctx.ret != NTCAN_MESSAGE_LOST) {
      return ctx.ret;
    }
    now_ = tavik::clock().now_ns();
    for (int i = 0; i < std::clamp(ctx.count, 0, kBatch); ++i) take(ctx.frames[i]);
    return flush();
  }

  void take(const CMSG& m) {
    const bool remote = (m.len & NTCAN_RTR) != 0;
    const int dlc = m.len & 0x0F;
    if (m.id > 0x700 && m.id <= 0x77F) {
      Slot& s = slot(m.id - 0x700);
      if (remote) {
        s.guard_asked = true;  // someone guards the node: its next message is the reply
      } else if (dlc >= 1) {
        // A guarding reply carries a toggle bit (bit 7), a heartbeat never does.
        const bool guarding = s.guard_asked || (m.data[0] & 0x80) != 0;
        s.guard_asked = false;
        s.node.found_by |= guarding         ? kFoundGuarding
                           : m.data[0] == 0 ? kFoundBootUp
                                            : kFoundHeartbeat;
      }
      return;
    }
    if (m.id <= 0x580 || m.id > 0x5FF || remote || dlc != 8) return;
    Slot& s = slot(m.id - 0x580);
    const uint8_t cmd = m.data[0];
    const uint16_t index = static_cast<uint16_t>(m.data[1] | (m.data[2] << 8));
    const bool initiate = (cmd & 0xE0) == 0x40 || cmd == 0x80;
    if (initiate && index == 0x1000 && m.data[3] == 0) {
      device_type_reply(s, m);
    } else if (phase_identity_ && s.deadline != 0 && s.read < kIdentityReads) {
      identity_reply(s, m);
    }
  }

  void device_type_reply(Slot& s, const CMSG& m) {
    ScannedNode& n = s.node;
    n.found_by |= kFoundSdo;
    if (++n.answers > 1) return;
    n.device_type_result = m.data[0] == 0x80 ? int64_t{le32(m.data + 4)} : 0;
    if (m.data[0] != 0x80) n.device_type = le32(m.data + 4);
    s.deadline = 0;
    // A reply after the id was given up still counts the node, not the request again.
    if (!s.type_done) ++done_;
    s.type_done = true;
  }

  // When to wake for the time-outs: not at each one (the requests of a burst expire a pair of
  // frame times apart), but once for all that expire within a quarter of the time-out after the
  // first. A reply that comes meanwhile is taken all the same.
  int64_t wake_at(const std::vector<int64_t>& deadlines) const {
    if (deadlines.empty()) return INT64_MAX;
    const int64_t first = *std::min_element(deadlines.begin(), deadlines.end());
    const int64_t until = first + int64_t{o_.timeout_ms} * kNsPerMs / 4;
    int64_t wake = first;
    for (int64_t d : deadlines) {
      if (d <= until) wake = std::max(wake, d);
    }
    return wake;
  }

  // Phase 1: 0x1000 of every id, `in_flight` at a time, a retry for each silent one.
  int device_types() {
    for (int id = 0; id <= 127; ++id) slot(id).node.id = id;
    total_ = o_.last_id - o_.first_id + 1;
    int next = o_.first_id;
    std::vector<int> again;  // timed out, to be asked again
    std::vector<int64_t> deadlines;
    now_ = tavik::clock().now_ns();
    for (;;) {
      int outstanding = 0;
      deadlines.clear();
      for (int id = o_.first_id; id <= o_.last_id; ++id) {
        Slot& s = slot(id);
        if (s.deadline == 0) continue;
        if (s.deadline <= now_) {
          s.deadline = 0;
          if (s.sent <= o_.retries) {
            again.push_back(id);
          } else {
            s.type_done = true;
            ++done_;
          }
          continue;
        }
        ++outstanding;
        deadlines.push_back(s.deadline);
      }
      size_t retried = 0;
      while (outstanding < o_.in_flight && (retried < again.size() || next <= o_.last_id)) {
        const int id = retried < again.size() ? again[retried++] : next++;
        Slot& s = slot(id);
        if (s.type_done) continue;
        sdo(id, 0x40, 0x1000, 0, 0);
        ++s.sent;
        s.deadline = reply_deadline(o_.timeout_ms);
        deadlines.push_back(s.deadline);
        ++outstanding;
      }
      again.erase(again.begin(), again.begin() + static_cast<std::ptrdiff_t>(retried));
      if (outstanding == 0) return NTCAN_SUCCESS;
      if (int r = receive(std::min(wake_at(deadlines), next_progress()))) return r;
      report();
    }
  }

  // Phase 2: 0x1018:1..4 and 0x1008 of each node that answered, one read per node at a time.
  // A read without a reply is asked again with a longer time-out; when it stays unanswered its
  // result is a time-out (-1) and the next object is read.
  int identities() {
    phase_identity_ = true;
    std::vector<int> todo;
    for (int id = o_.first_id; id <= o_.last_id; ++id) {
      Slot& s = slot(id);
      s.deadline = 0;
      // A conflict's replies would mix two devices: their identity is left unread. (A second
      // reply after a retry may be the late one to the first request.)
      if (s.node.answers >= 1 && s.node.answers <= s.sent) {
        todo.push_back(id);
        s.node.identity_read = true;
      }
    }
    total_ += kIdentityReads * static_cast<int>(todo.size());
    std::vector<int64_t> deadlines;
    now_ = tavik::clock().now_ns();
    for (;;) {
      int outstanding = 0;
      deadlines.clear();
      for (int id : todo) {
        Slot& s = slot(id);
        if (s.deadline != 0 && s.deadline <= now_) timed_out(s);
        if (s.deadline != 0) {
          ++outstanding;
          deadlines.push_back(s.deadline);
        }
      }
      for (int id : todo) {
        Slot& s = slot(id);
        if (s.deadline != 0 || s.read >= kIdentityReads) continue;
        if (!s.started && outstanding >= o_.in_flight) continue;
        s.started = true;
        s.tries = 0;
        request_identity(s);
        ++outstanding;
        deadlines.push_back(s.deadline);
      }
      if (outstanding == 0) return flush();
      if (int r = receive(std::min(wake_at(deadlines), next_progress()))) return r;
      report();
    }
  }

  // The read of `s` got no reply in time: asked again, or given up.
  void timed_out(Slot& s) {
    const Object& o = kIdentity[s.read];
    if (s.segmented) sdo(s.node.id, 0x80, o.index, o.sub, kAbortTimeout);
    s.deadline = 0;
    if (s.tries <= kIdentityRetries) {
      request_identity(s);
      return;
    }
    finish_read(s, -1);
    if (++s.silent_reads >= kSilentObjects) {
      // The node went quiet: the rest of its identity stays unknown (-1).
      done_ += kIdentityReads - s.read;
      s.read = kIdentityReads;
    }
  }

  // The request for the object read now; each further try waits twice as long as the one before.
  void request_identity(Slot& s) {
    const Object& o = kIdentity[s.read];
    s.segmented = false;
    s.value.clear();
    s.deadline = reply_deadline(o_.timeout_ms << std::min(s.tries, 4));
    ++s.tries;
    sdo(s.node.id, 0x40, o.index, o.sub, 0);
  }

  void finish_read(Slot& s, int64_t result) {
    ScannedNode& n = s.node;
    if (s.read < 4) {
      n.identity_result[s.read] = result;
      const uint32_t v = result == 0 && s.value.size() >= 4
                             ? le32(reinterpret_cast<const uint8_t*>(s.value.data()))
                             : 0;
      uint32_t* fields[] = {&n.vendor, &n.product, &n.revision, &n.serial};
      *fields[s.read] = v;
      if (result == 0 && s.value.size() < 4) n.identity_result[s.read] = 0x06070010;
    } else {
      n.name_result = result;
      for (char c : s.value) {
        if (static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F) {
          n.name.push_back(c);
        }
      }
    }
    if (result != -1) s.silent_reads = 0;
    ++s.read;
    s.tries = 0;
    ++done_;
    s.deadline = 0;
  }

  void identity_reply(Slot& s, const CMSG& m) {
    const uint8_t cmd = m.data[0];
    const Object& o = kIdentity[s.read];
    const bool ours =
        m.data[1] == (o.index & 0xFF) && m.data[2] == (o.index >> 8) && m.data[3] == o.sub;
    if (cmd == 0x80) {
      // An abort of a segmented transfer carries the multiplexer of its initiate as well.
      if (ours) finish_read(s, le32(m.data + 4));
      return;
    }
    if (!s.segmented) {
      if ((cmd & 0xE0) != 0x40 || !ours) return;
      if (cmd & 0x02) {
        const size_t n = (cmd & 0x01) ? 4u - ((cmd >> 2) & 3u) : 4u;
        s.value.assign(reinterpret_cast<const char*>(m.data + 4), n);
        finish_read(s, 0);
        return;
      }
      s.segmented = true;
      s.toggle = 0;
    } else {
      // A repeated segment (wrong toggle) is passed over, as is anything else.
      if ((cmd & 0xE0) != 0x00 || (cmd & 0x10) != s.toggle) return;
      const size_t n = 7u - ((cmd >> 1) & 7u);
      s.value.append(reinterpret_cast<const char*>(m.data + 1), n);
      s.toggle ^= 0x10;
      if (cmd & 0x01) {
        finish_read(s, 0);
        return;
      }
      if (s.value.size() > kMaxName) {
        s.value.resize(kMaxName);
        sdo(s.node.id, 0x80, o.index, o.sub, kAbortOutOfMemory);
        finish_read(s, 0);
        return;
      }
    }
    s.deadline = reply_deadline(o_.timeout_ms << std::min(s.tries - 1, 4));
    sdo(s.node.id, static_cast<uint8_t>(0x60 | s.toggle), 0, 0, 0);
  }

  // The time-out counts from when the request and its reply can have been on the wire: the
  // requests of a burst queue in the driver behind each other, and at 125 kbit/s the last of
  // 127 goes out some 110 ms after the first (14 ms at 1 Mbit/s). So each request books two
  // frame times (its own and the reply's) at the line's bit rate after those booked before it.
  int64_t reply_deadline(int timeout_ms) {
    const int64_t timeout = int64_t{timeout_ms} * kNsPerMs;
    if (kbit_ <= 0) return now_ + timeout;
    const int64_t pair_ns = 2 * kFrameBits * 1'000'000 / kbit_;
    wire_free_ = std::max(now_, wire_free_) + pair_ns;
    return wire_free_ + timeout;
  }

  int64_t next_progress() {
    if (!o_.progress) return INT64_MAX;
    if (progress_at_ == 0) progress_at_ = now_ + kProgressEveryNs;
    return progress_at_;
  }

  void report() {
    if (!o_.progress) return;
    if (now_ < progress_at_) return;
    progress_at_ = now_ + kProgressEveryNs;
    o_.progress(done_, total_);
  }

  const ScanOptions& o_;
  ScanResult& r_;
  NTCAN_HANDLE h_ = NTCAN_NO_HANDLE;
  Slot slots_[128];
  bool phase_identity_ = false;
  int done_ = 0;
  int total_ = 0;
  int64_t progress_at_ = 0;
  int64_t wire_free_ = 0;  // when the requests sent so far and their replies have been sent
  int64_t now_ = 0;        // the clock, read once per wake-up
  int kbit_ = kDefaultKbit;
  static constexpr int32_t kOut = 2 * 128;  // one request per id and an abort, mostly
  CMSG out_[kOut];                          // requests queued for the next flush()
  int32_t out_count_ = 0;
};

}  // namespace

std::string found_by_text(unsigned found_by) {
  std::string s;
  const std::pair<unsigned, const char*> names[] = {{kFoundBootUp, "boot-up"},
                                                    {kFoundHeartbeat, "heartbeat"},
                                                    {kFoundGuarding, "guarding"},
                                                    {kFoundSdo, "SDO"}};
  for (const auto& [bit, name] : names) {
    if ((found_by & bit) == 0) continue;
    if (!s.empty()) s += "+";
    s += name;
  }
  return s.empty() ? "-" : s;
}

std::string unanswered_text(const ScannedNode& n) {
  if (!n.identity_read) return "";
  const char* names[] = {"vendor", "product", "revision", "serial"};
  std::string s;
  auto add = [&](const char* name) { s += (s.empty() ? "" : ", ") + std::string(name); };
  for (int i = 0; i < 4; ++i) {
    if (n.identity_result[i] == -1) add(names[i]);
  }
  if (n.name_result == -1) add("name");
  return s;
}

std::vector<int> ScanResult::conflicts() const {
  std::vector<int> ids;
  for (const ScannedNode& n : nodes) {
    if (n.conflict) ids.push_back(n.id);
  }
  return ids;
}

ScanResult scan_line(int line, const ScanOptions& options) {
  ScanResult r;
  if (line < 1 || line > 20 || options.first_id < 1 || options.last_id > 127 ||
      options.first_id > options.last_id || options.in_flight < 1 || options.timeout_ms < 1 ||
      options.retries < 0 || options.bit_rate_kbit < ScanOptions::kLineBitRate) {
    r.result = NTCAN_INVALID_PARAMETER;
    return r;
  }
  Scanner s(options, r);
  r.result = s.run(line);
  return r;
}

}  // namespace canbus
