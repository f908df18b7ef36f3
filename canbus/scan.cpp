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

  int sdo(int id, uint8_t cmd, uint16_t index, uint8_t sub, uint32_t word) {
    CMSG m{};
    m.id = 0x600 + id;
    m.len = 8;
    m.data[0] = cmd;
    m.data[1] = static_cast<uint8_t>(index & 0xFF);
    m.data[2] = static_cast<uint8_t>(index >> 8);
    m.data[3] = sub;
    for (int i = 0; i < 4; ++i) m.data[4 + i] = static_cast<uint8_t>(word >> (8 * i));
    int32_t n = 1;
    const NTCAN_RESULT ret = canSend(h_, &m, &n);
    if (ret == NTCAN_SUCCESS && n == 1) ++r_.requests;
    return ret == NTCAN_SUCCESS && n != 1 ? NTCAN_TX_TIMEOUT : ret;
  }

  // Waits until `deadline` for frames and handles them; 0 or the driver's failure.
  int receive(int64_t deadline) {
    struct Ctx {
      NTCAN_HANDLE h;
      CMSG frames[kBatch];
      int32_t count;
      int ret;
    } ctx{h_, {}, 0, NTCAN_SUCCESS};
    auto read = [](void* p, int64_t real_ns) {
      auto* c = static_cast<Ctx*>(p);
      c->count = kBatch;
      c->ret = canReadTimeout(c->h, c->frames, &c->count, (real_ns + 999) / 1000);
      if (c->ret != NTCAN_SUCCESS && c->ret != NTCAN_MESSAGE_LOST) c->count = 0;
      return c->count > 0 || (c->ret != NTCAN_SUCCESS && c->ret != NTCAN_RX_TIMEOUT);
    };
    tavik::clock().wait_until(deadline, read, &ctx);
    if (ctx.ret != NTCAN_SUCCESS && ctx.ret != NTCAN_RX_TIMEOUT && ctx.ret != NTCAN_MESSAGE_LOST) {
      return ctx.ret;
    }
    for (int i = 0; i < std::clamp(ctx.count, 0, kBatch); ++i) take(ctx.frames[i]);
    return NTCAN_SUCCESS;
  }

  void take(const CMSG& m) {
    const bool remote = (m.len & NTCAN_RTR) != 0;
    const int dlc = m.len & 0x0F;
    if (m.id > 0x700 && m.id <= 0x77F && !remote && dlc >= 1) {
      slot(m.id - 0x700).node.found_by |= m.data[0] == 0 ? kFoundBootUp : kFoundHeartbeat;
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

  // Phase 1: 0x1000 of every id, `in_flight` at a time, a retry for each silent one.
  int device_types() {
    for (int id = 0; id <= 127; ++id) slot(id).node.id = id;
    total_ = o_.last_id - o_.first_id + 1;
    int next = o_.first_id;
    std::vector<int> again;  // timed out, to be asked again
    for (;;) {
      int64_t now = tavik::clock().now_ns();
      int outstanding = 0;
      int64_t first_deadline = 0;
      for (int id = o_.first_id; id <= o_.last_id; ++id) {
        Slot& s = slot(id);
        if (s.deadline == 0) continue;
        if (s.deadline <= now) {
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
        if (first_deadline == 0 || s.deadline < first_deadline) first_deadline = s.deadline;
      }
      while (outstanding < o_.in_flight && (!again.empty() || next <= o_.last_id)) {
        int id = 0;
        if (!again.empty()) {
          id = again.front();
          again.erase(again.begin());
        } else {
          id = next++;
        }
        Slot& s = slot(id);
        if (s.type_done) continue;
        if (int r = sdo(id, 0x40, 0x1000, 0, 0)) return r;
        ++s.sent;
        s.deadline = reply_deadline();
        if (first_deadline == 0 || s.deadline < first_deadline) first_deadline = s.deadline;
        ++outstanding;
      }
      if (outstanding == 0) return NTCAN_SUCCESS;
      if (int r = receive(std::min(first_deadline, next_progress()))) return r;
      report();
    }
  }

  // Phase 2: 0x1018:1..4 and 0x1008 of each node that answered, one read per node at a time.
  int identities() {
    phase_identity_ = true;
    std::vector<int> todo;
    for (int id = o_.first_id; id <= o_.last_id; ++id) {
      Slot& s = slot(id);
      s.deadline = 0;
      // A conflict's replies would mix two devices: their identity is left unread. (A second
      // reply after a retry may be the late one to the first request.)
      if (s.node.answers >= 1 && s.node.answers <= s.sent) todo.push_back(id);
    }
    total_ += kIdentityReads * static_cast<int>(todo.size());
    for (;;) {
      const int64_t now = tavik::clock().now_ns();
      int outstanding = 0;
      int64_t first_deadline = 0;
      for (int id : todo) {
        Slot& s = slot(id);
        if (s.deadline != 0 && s.deadline <= now) {
          // The node went quiet: the rest of its identity stays unknown (-1).
          if (s.segmented) {
            if (int r =
                    sdo(id, 0x80, kIdentity[s.read].index, kIdentity[s.read].sub, kAbortTimeout)) {
              return r;
            }
          }
          done_ += kIdentityReads - s.read;
          s.read = kIdentityReads;
          s.deadline = 0;
        }
        if (s.deadline != 0) {
          ++outstanding;
          if (first_deadline == 0 || s.deadline < first_deadline) first_deadline = s.deadline;
        }
      }
      for (int id : todo) {
        Slot& s = slot(id);
        if (s.deadline != 0 || s.read >= kIdentityReads) continue;
        if (!s.started && outstanding >= o_.in_flight) continue;
        s.started = true;
        if (int r = request_identity(s)) return r;
        ++outstanding;
        if (first_deadline == 0 || s.deadline < first_deadline) first_deadline = s.deadline;
      }
      if (outstanding == 0) return NTCAN_SUCCESS;
      if (int r = receive(std::min(first_deadline, next_progress()))) return r;
      report();
    }
  }

  int request_identity(Slot& s) {
    const Object& o = kIdentity[s.read];
    s.segmented = false;
    s.value.clear();
    s.deadline = reply_deadline();
    return sdo(s.node.id, 0x40, o.index, o.sub, 0);
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
    ++s.read;
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
    s.deadline = reply_deadline();
    if (sdo(s.node.id, static_cast<uint8_t>(0x60 | s.toggle), 0, 0, 0) != NTCAN_SUCCESS) {
      s.deadline = 1;  // expires at once, as a silent node's would
    }
  }

  // The time-out counts from when the request and its reply can have been on the wire: the
  // requests of a burst queue in the driver behind each other, and at 125 kbit/s the last of
  // 127 goes out some 110 ms after the first. So each request books two frame times (its own
  // and the reply's) on the bus after those booked before it.
  int64_t reply_deadline() {
    const int64_t now = tavik::clock().now_ns();
    const int64_t timeout = int64_t{o_.timeout_ms} * kNsPerMs;
    if (o_.bit_rate_kbit <= 0) return now + timeout;
    const int64_t pair_ns = 2 * kFrameBits * 1'000'000 / o_.bit_rate_kbit;
    wire_free_ = std::max(now, wire_free_) + pair_ns;
    return wire_free_ + timeout;
  }

  int64_t next_progress() {
    if (!o_.progress) return INT64_MAX;
    if (progress_at_ == 0) progress_at_ = tavik::clock().now_ns() + kProgressEveryNs;
    return progress_at_;
  }

  void report() {
    if (!o_.progress) return;
    const int64_t now = tavik::clock().now_ns();
    if (now < progress_at_) return;
    progress_at_ = now + kProgressEveryNs;
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
};

}  // namespace

std::string found_by_text(unsigned found_by) {
  std::string s;
  const std::pair<unsigned, const char*> names[] = {
      {kFoundBootUp, "boot-up"}, {kFoundHeartbeat, "heartbeat"}, {kFoundSdo, "SDO"}};
  for (const auto& [bit, name] : names) {
    if ((found_by & bit) == 0) continue;
    if (!s.empty()) s += "+";
    s += name;
  }
  return s.empty() ? "-" : s;
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
      options.retries < 0 || options.bit_rate_kbit < 0) {
    r.result = NTCAN_INVALID_PARAMETER;
    return r;
  }
  Scanner s(options, r);
  r.result = s.run(line);
  return r;
}

}  // namespace canbus
