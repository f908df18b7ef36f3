// LSS master (can_lss.h): requests on 0x7E5, replies on 0x7E4, on a handle of its own. Each
// service drains replies left over from an earlier one first: a reply carries no address, so
// one that came after its wait ended would otherwise answer the next request.
#include <cstdio>

#include "D_esdcan.h"
#include "can_lss.h"
#include "tavik_time.h"

namespace canbus {
namespace {

constexpr int32_t kMasterId = 0x7E5;
constexpr int32_t kSlaveId = 0x7E4;
constexpr int64_t kNsPerMs = 1'000'000;
constexpr int kBitRates[] = {1000, 800, 500, 250, 125, 100, 50, 20, 10};

void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

struct ReadCtx {
  NTCAN_HANDLE h;
  CMSG m;
  int ret;
  bool waited = false;  // the previous call waited its whole time in vain
};

// One frame at most, so that a reply read is never one of the next service's. The driver
// returns at the first frame: the clock's last look at the deadline after a wait that timed
// out would find nothing, and is left out.
bool read_one(void* p, int64_t real_ns) {
  auto* c = static_cast<ReadCtx*>(p);
  if (real_ns <= 0 && c->waited) return false;
  int32_t n = 1;
  c->ret = canReadTimeout(c->h, &c->m, &n, (real_ns + 999) / 1000);
  if (c->ret == NTCAN_MESSAGE_LOST) c->ret = NTCAN_SUCCESS;
  if (c->ret == NTCAN_SUCCESS && n < 1) c->ret = NTCAN_RX_TIMEOUT;
  c->waited = real_ns > 0 && c->ret == NTCAN_RX_TIMEOUT;
  return c->ret != NTCAN_RX_TIMEOUT;
}

LssResult failed(int r) {
  LssResult x;
  x.result = r;
  return x;
}

}  // namespace

int lss_bit_rate_kbit(int index) {
  if (index == 9) return 0;
  if (index < 0 || index > 8) return -1;
  return kBitRates[index];
}

int lss_bit_index(int kbit) {
  for (int i = 0; i <= 8; ++i) {
    if (kBitRates[i] == kbit) return i;
  }
  return -1;
}

std::string lss_result_text(const LssResult& r, uint8_t cs) {
  switch (r.result) {
    case 0:
      return "ok";
    case LssResult::kTimeout:
      return "no LSS reply (time-out)";
    case LssResult::kNotFound:
      return "no unconfigured slave found";
    case LssResult::kCheckFailed:
      return "fastscan check failed";
    case LssResult::kSlaveError:
      break;
    default:
      return can_error_str(static_cast<unsigned long>(r.result));
  }
  char b[64];
  if (r.error == 255) {
    std::snprintf(b, sizeof b, "manufacturer-specific error 0x%02X", r.specific);
    return b;
  }
  if (r.error == 1) {
    switch (cs) {
      case LssMaster::kConfigureNodeId:
        return "node id out of range";
      case LssMaster::kConfigureBitTiming:
        return "bit timing not supported";
      case LssMaster::kStoreConfiguration:
        return "store configuration not supported";
      default:
        break;
    }
  }
  if (r.error == 2 && cs == LssMaster::kStoreConfiguration) return "storage media access error";
  std::snprintf(b, sizeof b, "reserved error code %d", r.error);
  return b;
}

LssMaster::LssMaster(int line, int timeout_ms, int fastscan_timeout_ms)
    : line_(line),
      timeout_ns_(int64_t{timeout_ms} * kNsPerMs),
      fastscan_timeout_ns_(int64_t{fastscan_timeout_ms} * kNsPerMs) {}

LssMaster::~LssMaster() {
  if (handle_ != NTCAN_NO_HANDLE) canClose(handle_);
}

int LssMaster::open() {
  if (handle_ != NTCAN_NO_HANDLE) return NTCAN_SUCCESS;
  if (line_ < 1 || line_ > 20) return NTCAN_INVALID_PARAMETER;
  NTCAN_HANDLE h = NTCAN_NO_HANDLE;
  int r = canOpen(line_ - 1, 0, 64, 1024, 100, 100, &h);
  if (r != NTCAN_SUCCESS) return r;
  r = canIdAdd(h, kSlaveId);
  if (r != NTCAN_SUCCESS && r != NTCAN_ID_ALREADY_ENABLED) {
    canClose(h);
    return r;
  }
  handle_ = h;
  return NTCAN_SUCCESS;
}

int LssMaster::send(const uint8_t data[8]) {
  if (int r = open()) return r;
  CMSG m{};
  m.id = kMasterId;
  m.len = 8;
  for (int i = 0; i < 8; ++i) m.data[i] = data[i];
  int32_t n = 1;
  const int r = canSend(handle_, &m, &n);
  if (r == NTCAN_SUCCESS && n == 1) ++requests_;
  return r == NTCAN_SUCCESS && n != 1 ? NTCAN_TX_TIMEOUT : r;
}

void LssMaster::drain() {
  if (handle_ == NTCAN_NO_HANDLE) return;
  CMSG m[16];
  for (;;) {
    int32_t n = 16;
    const int r = canTake(handle_, m, &n);
    if ((r != NTCAN_SUCCESS && r != NTCAN_MESSAGE_LOST) || n <= 0) return;
  }
}

int LssMaster::wait_reply(uint8_t cs, int64_t timeout_ns, uint8_t reply[8]) {
  const int64_t deadline = tavik::clock().now_ns() + timeout_ns;
  for (;;) {
    ReadCtx c{handle_, {}, NTCAN_RX_TIMEOUT, false};
    tavik::clock().wait_until(deadline, &read_one, &c);
    if (c.ret == NTCAN_RX_TIMEOUT) return LssResult::kTimeout;
    if (c.ret != NTCAN_SUCCESS) return c.ret;
    if (c.m.id != kSlaveId || (c.m.len & NTCAN_RTR) || (c.m.len & 0x0F) < 1) continue;
    if (c.m.data[0] != cs) continue;  // some other service's late reply
    for (int i = 0; i < 8; ++i) reply[i] = i < (c.m.len & 0x0F) ? c.m.data[i] : 0;
    return NTCAN_SUCCESS;
  }
}

LssResult LssMaster::confirmed(const uint8_t req[8], uint8_t reply_cs, uint8_t reply[8]) {
  if (int r = open()) return failed(r);
  drain();
  if (int r = send(req)) return failed(r);
  LssResult x = failed(wait_reply(reply_cs, timeout_ns_, reply));
  return x;
}

LssResult LssMaster::switch_global(bool configuration) {
  const uint8_t req[8] = {kSwitchGlobal, static_cast<uint8_t>(configuration ? 1 : 0)};
  return failed(send(req));
}

LssResult LssMaster::switch_selective(const LssAddress& a) {
  if (int r = open()) return failed(r);
  drain();
  const uint32_t parts[4] = {a.vendor, a.product, a.revision, a.serial};
  for (int i = 0; i < 4; ++i) {
    uint8_t req[8] = {static_cast<uint8_t>(kSwitchSelectiveVendor + i)};
    put32(req + 1, parts[i]);
    if (int r = send(req)) return failed(r);
  }
  uint8_t reply[8];
  return failed(wait_reply(kSwitchSelectiveReply, timeout_ns_, reply));
}

namespace {
// A reply with the slave's error code in byte 1 and its own in byte 2.
LssResult with_error(LssResult x, const uint8_t reply[8]) {
  if (x.result != 0) return x;
  x.error = reply[1];
  x.specific = reply[2];
  if (x.error != 0) x.result = LssResult::kSlaveError;
  return x;
}
}  // namespace

LssResult LssMaster::configure_node_id(int id) {
  if (id < 0 || id > 255) return failed(NTCAN_INVALID_PARAMETER);
  const uint8_t req[8] = {kConfigureNodeId, static_cast<uint8_t>(id)};
  uint8_t reply[8] = {};
  return with_error(confirmed(req, kConfigureNodeId, reply), reply);
}

LssResult LssMaster::configure_bit_timing(int table_index, int table_selector) {
  if (table_index < 0 || table_index > 255 || table_selector < 0 || table_selector > 255) {
    return failed(NTCAN_INVALID_PARAMETER);
  }
  const uint8_t req[8] = {kConfigureBitTiming, static_cast<uint8_t>(table_selector),
                          static_cast<uint8_t>(table_index)};
  uint8_t reply[8] = {};
  return with_error(confirmed(req, kConfigureBitTiming, reply), reply);
}

LssResult LssMaster::activate_bit_timing(int switch_delay_ms) {
  if (switch_delay_ms < 0 || switch_delay_ms > 65535) return failed(NTCAN_INVALID_PARAMETER);
  const uint8_t req[8] = {kActivateBitTiming, static_cast<uint8_t>(switch_delay_ms & 0xFF),
                          static_cast<uint8_t>(switch_delay_ms >> 8)};
  return failed(send(req));
}

LssResult LssMaster::store_configuration() {
  const uint8_t req[8] = {kStoreConfiguration};
  uint8_t reply[8] = {};
  return with_error(confirmed(req, kStoreConfiguration, reply), reply);
}

LssResult LssMaster::inquire_identity(LssAddress& out) {
  uint32_t* parts[4] = {&out.vendor, &out.product, &out.revision, &out.serial};
  for (int i = 0; i < 4; ++i) {
    const uint8_t cs = static_cast<uint8_t>(kInquireVendor + i);
    const uint8_t req[8] = {cs};
    uint8_t reply[8] = {};
    LssResult x = confirmed(req, cs, reply);
    if (!x.ok()) return x;
    *parts[i] = get32(reply + 1);
  }
  return {};
}

LssResult LssMaster::inquire_node_id(int& out) {
  const uint8_t req[8] = {kInquireNodeId};
  uint8_t reply[8] = {};
  LssResult x = confirmed(req, kInquireNodeId, reply);
  if (x.ok()) out = reply[1];
  return x;
}

LssResult LssMaster::identify_remote(uint32_t vendor, uint32_t product, uint32_t revision_low,
                                     uint32_t revision_high, uint32_t serial_low,
                                     uint32_t serial_high) {
  if (int r = open()) return failed(r);
  drain();
  const uint32_t parts[6] = {vendor, product, revision_low, revision_high, serial_low, serial_high};
  for (int i = 0; i < 6; ++i) {
    uint8_t req[8] = {static_cast<uint8_t>(kIdentifyRemoteVendor + i)};
    put32(req + 1, parts[i]);
    if (int r = send(req)) return failed(r);
  }
  uint8_t reply[8];
  return failed(wait_reply(kIdentifyReply, fastscan_timeout_ns_, reply));
}

LssResult LssMaster::identify_non_configured() {
  if (int r = open()) return failed(r);
  drain();
  const uint8_t req[8] = {kIdentifyNonConfigured};
  if (int r = send(req)) return failed(r);
  uint8_t reply[8];
  return failed(wait_reply(kIdentifyNonConfiguredReply, fastscan_timeout_ns_, reply));
}

int LssMaster::probe(uint32_t id, uint8_t bit, uint8_t sub, uint8_t next, bool& answered) {
  drain();
  uint8_t req[8] = {kFastscan};
  put32(req + 1, id);
  req[5] = bit;
  req[6] = sub;
  req[7] = next;
  if (int r = send(req)) return r;
  uint8_t reply[8];
  int r = wait_reply(kIdentifyReply, fastscan_timeout_ns_, reply);
  answered = r == NTCAN_SUCCESS;
  if (!answered) return r == LssResult::kTimeout ? NTCAN_SUCCESS : r;
  // Every slave that matches replies. Their replies may come spread out (one frame each on a
  // bus of simulated or software slaves): a tenth of the time-out more for the rest of them,
  // so that they are not taken as replies to the next request.
  const int64_t settle_end = tavik::clock().now_ns() + fastscan_timeout_ns_ / 10;
  for (;;) {
    ReadCtx c{handle_, {}, NTCAN_RX_TIMEOUT, false};
    tavik::clock().wait_until(settle_end, &read_one, &c);
    if (c.ret != NTCAN_SUCCESS) break;
  }
  return NTCAN_SUCCESS;
}

LssResult LssMaster::fastscan(LssAddress& found) {
  return find_one(found, {});
}

LssResult LssMaster::find_one(LssAddress& found, const std::vector<LssAddress>& kept) {
  // A reply later than the time-out reads as "no slave" and sends the search down a branch no
  // slave is on, which the confirmation of bit 0 or the selection by the address found finds
  // out. The search then starts again with every slave back in waiting state (a slave left in
  // configuration state may answer every request of the next search) and the slaves found
  // before selected again, so that they stay out of it.
  LssResult x;
  for (int attempt = 0; attempt < kFastscanAttempts; ++attempt) {
    if (attempt > 0) {
      if (LssResult b = back_to_waiting(kept, nullptr); !b.ok()) return b;
    }
    x = fastscan_once(found);
    if (x.ok()) x = back_to_waiting(kept, &found);
    if (x.result != LssResult::kCheckFailed) return x;
  }
  return x;
}

LssResult LssMaster::back_to_waiting(const std::vector<LssAddress>& kept, const LssAddress* last) {
  // Switch state selective is a service every slave has (unlike identify remote slave): the
  // slave of the address found replies to it, and it works in waiting state only.
  if (LssResult b = switch_global(false); !b.ok()) return b;
  std::vector<LssAddress> select = kept;
  if (last != nullptr) select.push_back(*last);
  for (const LssAddress& a : select) {
    LssResult x = switch_selective(a);
    if (x.result == LssResult::kTimeout) x.result = LssResult::kCheckFailed;
    if (!x.ok()) return x;
  }
  return {};
}

LssResult LssMaster::fastscan_once(LssAddress& found) {
  if (int r = open()) return failed(r);
  bool answered = false;
  if (int r = probe(0, 0x80, 0, 0, answered)) return failed(r);
  if (!answered) return failed(LssResult::kNotFound);
  uint32_t v[4] = {};
  for (uint8_t sub = 0; sub < 4; ++sub) {
    const uint8_t next = static_cast<uint8_t>(sub < 3 ? sub + 1 : 0);
    // Bit by bit from the top: "is there a slave with these upper bits and this bit 0?".
    for (uint8_t bit = 31; bit >= 1; --bit) {
      if (int r = probe(v[sub], bit, sub, sub, answered)) return failed(r);
      if (!answered) v[sub] |= uint32_t{1} << bit;
    }
    // Bit 0 with the whole number: the slave that matches moves on to the next part (after the
    // last one: to configuration state).
    if (int r = probe(v[sub], 0, sub, next, answered)) return failed(r);
    if (!answered) {
      v[sub] |= 1;
      if (int r = probe(v[sub], 0, sub, next, answered)) return failed(r);
      if (!answered) return failed(LssResult::kCheckFailed);
    }
  }
  found = LssAddress{v[0], v[1], v[2], v[3]};
  return {};
}

LssResult LssMaster::fastscan_all(std::vector<LssAddress>& found, int max) {
  // Each slave found stays in configuration state, where it takes no part in the next search.
  LssResult first;
  while (static_cast<int>(found.size()) < max) {
    LssAddress a;
    const LssResult x = find_one(a, found);
    if (x.result == LssResult::kNotFound) break;
    if (!x.ok()) {
      first = x;
      break;
    }
    found.push_back(a);
  }
  const LssResult back = switch_global(false);
  return first.ok() ? back : first;
}

}  // namespace canbus
