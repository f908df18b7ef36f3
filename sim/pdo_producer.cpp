// Process data of the simulated node (pdo_producer.h). Called with NodeLogic's lock held.
#include "pdo_producer.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "canopen_node.h"

namespace sim {
namespace {

constexpr int32_t kSyncId = 0x080;
constexpr uint16_t kRpdoComm = 0x1400;
constexpr uint16_t kRpdoMap = 0x1600;
constexpr uint16_t kTpdoComm = 0x1800;
constexpr uint16_t kTpdoMap = 0x1A00;
constexpr int kMaxEntries = 8;
constexpr int kMaxBits = 64;

uint64_t le(const std::string& s, size_t max = 8) {
  uint64_t v = 0;
  for (size_t i = std::min(s.size(), max); i-- > 0;) v = (v << 8) | static_cast<uint8_t>(s[i]);
  return v;
}

std::string le_bytes(uint64_t v, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return s;
}

uint64_t value_of(const ObjectMap& od, ObjectKey key) {
  auto it = od.find(key);
  return it == od.end() ? 0 : le(it->second);
}

PdoEntry entry_of(uint32_t w) {
  return {static_cast<uint16_t>(w >> 16), static_cast<uint8_t>((w >> 8) & 0xFF),
          static_cast<uint8_t>(w & 0xFF)};
}

// Bits of a dummy entry's type (BOOLEAN, INTEGER8..32, UNSIGNED8..32); 0 for no dummy.
unsigned dummy_bits(uint16_t index) {
  static constexpr unsigned kBits[] = {0, 1, 8, 16, 32, 8, 16, 32};
  return index >= 1 && index <= 7 ? kBits[index] : 0;
}

std::vector<PdoEntry> mapping(const ObjectMap& od, uint16_t index) {
  std::vector<PdoEntry> m;
  const int n = static_cast<int>(std::min<uint64_t>(value_of(od, {index, 0}), kMaxEntries));
  for (int i = 1; i <= n; ++i) {
    m.push_back(entry_of(static_cast<uint32_t>(value_of(od, {index, static_cast<uint8_t>(i)}))));
  }
  return m;
}

unsigned total_bits(const std::vector<PdoEntry>& m) {
  unsigned n = 0;
  for (const PdoEntry& e : m) n += e.bits;
  return n;
}

// CANopen's bit order: bit `at` is bit at % 8 of byte at / 8.
void put_bits(uint8_t* data, unsigned at, unsigned len, uint64_t v) {
  for (unsigned i = 0; i < len; ++i, ++at) {
    const auto bit = static_cast<uint8_t>(1u << (at % 8));
    if ((v >> i) & 1u) {
      data[at / 8] = static_cast<uint8_t>(data[at / 8] | bit);
    } else {
      data[at / 8] = static_cast<uint8_t>(data[at / 8] & ~bit);
    }
  }
}

uint64_t get_bits(const uint8_t* data, unsigned at, unsigned len) {
  uint64_t v = 0;
  for (unsigned i = 0; i < len; ++i, ++at) v |= uint64_t{(data[at / 8] >> (at % 8)) & 1u} << i;
  return v;
}

bool valid_tpdo_type(uint64_t t) {
  return t <= 240 || t >= 0xFC;
}
bool valid_rpdo_type(uint64_t t) {
  return t <= 240 || t >= 0xFE;
}

}  // namespace

std::optional<int64_t> ObjectValues::get(uint16_t index, uint8_t subindex, bool is_signed) const {
  auto it = od_.find({index, subindex});
  if (it == od_.end()) return std::nullopt;
  const size_t n = std::min<size_t>(it->second.size(), 8);
  uint64_t v = le(it->second);
  if (is_signed && n > 0 && n < 8 && ((v >> (8 * n - 1)) & 1u)) v |= ~uint64_t{0} << (8 * n);
  return static_cast<int64_t>(v);
}

bool ObjectValues::set(uint16_t index, uint8_t subindex, int64_t v) {
  auto it = od_.find({index, subindex});
  if (it == od_.end()) return false;
  it->second = le_bytes(static_cast<uint64_t>(v), std::min<size_t>(it->second.size(), 8));
  return true;
}

int16_t AdcModel::value(int k, int64_t now_ns) const {
  constexpr double kTwoPi = 6.283185307179586;
  const double period_ns = static_cast<double>(std::max(period_ms_, 1)) * 1e6;
  const double phase = std::fmod(static_cast<double>(now_ns), period_ns) / period_ns -
                       static_cast<double>(k) / std::max(channels_, 1);
  const double v = std::round(amplitude_ * std::sin(kTwoPi * phase));
  return static_cast<int16_t>(std::clamp(v, -32768.0, 32767.0));
}

void AdcModel::step(int64_t now_ns, ObjectValues& od) {
  for (int k = 0; k < channels_; ++k) od.set(0x6401, static_cast<uint8_t>(k + 1), value(k, now_ns));
}

void SupplyModel::step(int64_t now_ns, ObjectValues& od) {
  const int64_t last = last_ns_;
  last_ns_ = now_ns;
  if (last < 0 || now_ns <= last) return;
  const auto set = od.get(setpoint_.first, setpoint_.second);
  const auto actual = od.get(actual_.first, actual_.second);
  if (!set || !actual || *set == *actual) {
    carry_ = 0;
    return;
  }
  // Units moved in this step, the fraction carried to the next: no drift at any step size.
  carry_ += rate_ * (now_ns - last);
  const int64_t move = carry_ / 1'000'000'000;
  carry_ %= 1'000'000'000;
  const int64_t next =
      *set > *actual ? std::min(*set, *actual + move) : std::max(*set, *actual - move);
  od.set(actual_.first, actual_.second, next);
}

PdoProducer::PdoProducer(int node_id) : node_id_(node_id) {}

void PdoProducer::install(ObjectMap& od, std::vector<std::pair<ObjectKey, size_t>>& sizes) const {
  auto add = [&](uint16_t index, uint8_t sub, uint64_t v, size_t n, bool writable = true) {
    od[{index, sub}] = le_bytes(v, n);
    sizes.push_back({{index, sub}, writable ? n : 0});
  };
  for (int i = 0; i < kPdos; ++i) {
    const auto n = static_cast<uint16_t>(i);
    const uint32_t rx = static_cast<uint32_t>(0x200 + 0x100 * i + node_id_);
    const uint32_t tx = static_cast<uint32_t>(0x180 + 0x100 * i + node_id_);
    add(kRpdoComm + n, 0, 2, 1, false);
    add(kRpdoComm + n, 1, kPdoInvalid | rx, 4);
    add(kRpdoComm + n, 2, 0xFF, 1);
    add(kTpdoComm + n, 0, 6, 1, false);
    add(kTpdoComm + n, 1, kPdoInvalid | tx, 4);
    add(kTpdoComm + n, 2, 0xFE, 1);
    add(kTpdoComm + n, 3, 0, 2);
    add(kTpdoComm + n, 5, 0, 2);
    add(kTpdoComm + n, 6, 0, 1);
    for (uint16_t base : {kRpdoMap, kTpdoMap}) {
      add(base + n, 0, 0, 1);
      for (int e = 1; e <= kMaxEntries; ++e) add(base + n, static_cast<uint8_t>(e), 0, 4);
    }
  }
}

void PdoProducer::follow_node_id(ObjectMap& od, int from, int to) {
  if (from == to) return;
  for (int i = 0; i < kPdos; ++i) {
    const auto n = static_cast<uint16_t>(i);
    for (auto [index, base] : {std::pair<uint16_t, int>{kRpdoComm + n, 0x200 + 0x100 * i},
                               std::pair<uint16_t, int>{kTpdoComm + n, 0x180 + 0x100 * i}}) {
      auto it = od.find({index, 1});
      if (it == od.end() || it->second.size() != 4) continue;
      const auto cob = static_cast<uint32_t>(le(it->second));
      // Bit 29 marks a 29-bit identifier: never a predefined one.
      if ((cob & 0x20000000u) != 0 || (cob & 0x1FFFFFFFu) != static_cast<uint32_t>(base + from)) {
        continue;
      }
      it->second = le_bytes((cob & 0xE0000000u) | static_cast<uint32_t>(base + to), 4);
    }
  }
}

bool PdoProducer::mappable(const ObjectMap& od, ObjectKey key) const {
  auto it = od.find(key);
  if (it == od.end()) return false;
  auto m = mappable_.find(key);
  if (m != mappable_.end()) return m->second;
  return key.first >= 0x2000 && key.first < 0xA000 && !it->second.empty() && it->second.size() <= 8;
}

uint32_t PdoProducer::check_download(const ObjectMap& od, ObjectKey key,
                                     const std::string& value) const {
  const uint16_t index = key.first;
  if (!is_pdo_object(index)) return 0;
  const bool tx = index >= kTpdoComm;
  const bool map = (index >= kRpdoMap && index < kTpdoComm) || index >= kTpdoMap;
  const uint16_t comm = static_cast<uint16_t>((index & 0x01FF) + (tx ? kTpdoComm : kRpdoComm));
  const bool valid = (value_of(od, {comm, 1}) & kPdoInvalid) == 0;
  const uint64_t v = le(value);
  if (!map) {
    switch (key.second) {
      case 1: {
        const uint64_t cur = value_of(od, key);
        const bool stays_valid = (v & kPdoInvalid) == 0;
        if (v & 0x20000000u) return kAbortParamValue;  // 29-bit identifiers are not supported
        if (stays_valid && ((v & 0x7FF) == 0 || (v & 0x1FFFF800u) != 0)) return kAbortParamValue;
        if (valid && stays_valid && (v & 0x3FFFFFFFu) != (cur & 0x3FFFFFFFu)) {
          return kAbortParamValue;
        }
        return 0;
      }
      case 2:
        return (tx ? valid_tpdo_type(v) : valid_rpdo_type(v)) ? 0 : kAbortParamValue;
      case 3:
      case 6:
        return valid ? kAbortDeviceState : 0;
      default:
        return 0;
    }
  }
  if (valid) return kAbortDeviceState;
  if (key.second == 0) {
    if (v > kMaxEntries) return kAbortParamTooHigh;
    unsigned bits = 0;
    for (uint8_t i = 1; i <= v; ++i)
      bits += entry_of(static_cast<uint32_t>(value_of(od, {index, i}))).bits;
    return bits > kMaxBits ? kAbortPdoTooLong : 0;
  }
  if (value_of(od, {index, 0}) != 0) return kAbortDeviceState;
  if (v == 0) return 0;
  const PdoEntry e = entry_of(static_cast<uint32_t>(v));
  if (e.bits == 0) return kAbortParamValue;
  if (const unsigned d = dummy_bits(e.index)) {
    return !tx && e.subindex == 0 && e.bits == d ? 0 : kAbortNotMappable;
  }
  auto it = od.find({e.index, e.subindex});
  if (it == od.end()) return 0x06020000;
  if (!mappable(od, {e.index, e.subindex}) || e.bits > 8 * it->second.size()) {
    return kAbortNotMappable;
  }
  return 0;
}

void PdoProducer::refresh(const ObjectMap& od) {
  for (int i = 0; i < kPdos; ++i) {
    const auto n = static_cast<uint16_t>(i);
    Tpdo& t = tpdo_[i];
    const bool was_valid = t.valid();
    const uint32_t old_cob = t.cob;
    t.cob = static_cast<uint32_t>(value_of(od, {kTpdoComm + n, 1}));
    t.type = static_cast<uint8_t>(value_of(od, {kTpdoComm + n, 2}));
    t.inhibit_ns = static_cast<int64_t>(value_of(od, {kTpdoComm + n, 3})) * 100'000;
    const int64_t event_ns = static_cast<int64_t>(value_of(od, {kTpdoComm + n, 5})) * 1'000'000;
    if (event_ns != t.event_ns && t.sent) t.timer_ns = t.last_ns + event_ns;
    t.event_ns = event_ns;
    t.sync_start = static_cast<uint8_t>(value_of(od, {kTpdoComm + n, 6}));
    t.map = mapping(od, kTpdoMap + n);
    if (!t.valid() || !was_valid || old_cob != t.cob) {
      // A PDO that comes into existence starts as if the node had just entered operational.
      t.sent = false;
      t.sampled.reset();
      t.sync_count = 0;
      t.sync_started = false;
    }
    Rpdo& r = rpdo_[i];
    r.cob = static_cast<uint32_t>(value_of(od, {kRpdoComm + n, 1}));
    r.type = static_cast<uint8_t>(value_of(od, {kRpdoComm + n, 2}));
    r.map = mapping(od, kRpdoMap + n);
    if (!r.valid()) r.pending.reset();
  }
}

void PdoProducer::reset(const ObjectMap& od) {
  for (Tpdo& t : tpdo_) t = Tpdo{};
  for (Rpdo& r : rpdo_) r = Rpdo{};
  refresh(od);
}

void PdoProducer::start() {
  for (Tpdo& t : tpdo_) {
    t.sent = false;
    t.sync_count = 0;
    t.sync_started = false;
  }
}

bool PdoProducer::wants(int32_t id) const {
  if (id == kSyncId) return true;
  for (int i = 0; i < kPdos; ++i) {
    if (rpdo_[i].valid() && static_cast<int32_t>(rpdo_[i].cob & 0x7FF) == id) return true;
    if (tpdo_[i].valid() && static_cast<int32_t>(tpdo_[i].cob & 0x7FF) == id) return true;
  }
  return false;
}

CMSG PdoProducer::build(const ObjectMap& od, const Tpdo& t) const {
  CMSG m{};
  m.id = static_cast<int32_t>(t.cob & 0x7FF);
  unsigned at = 0;
  for (const PdoEntry& e : t.map) {
    if (at + e.bits > kMaxBits) break;
    put_bits(m.data, at, e.bits, value_of(od, {e.index, e.subindex}));
    at += e.bits;
  }
  m.len = static_cast<uint8_t>((at + 7) / 8);
  return m;
}

bool PdoProducer::changed(const Tpdo& t, const CMSG& m) const {
  return !t.sent || t.last.len != m.len || !std::equal(m.data, m.data + 8, t.last.data);
}

void PdoProducer::send(Tpdo& t, const CMSG& m, int64_t now, std::vector<CMSG>& out) {
  out.push_back(m);
  t.sent = true;
  t.last = m;
  t.last_ns = now;
  t.timer_ns = now + t.event_ns;
  ++tpdos_sent_;
}

void PdoProducer::apply(ObjectMap& od, const Rpdo& r, const CMSG& f, std::vector<CMSG>& out) {
  const unsigned bits = total_bits(r.map);
  if (bits > kMaxBits) return;
  if (static_cast<unsigned>(f.len & 0x0F) * 8 < bits) {
    CMSG e{};
    e.id = 0x080 + node_id_;
    e.len = 8;
    e.data[0] = kEmcyPdoLength & 0xFF;
    e.data[1] = kEmcyPdoLength >> 8;
    e.data[2] = 0x11;  // generic and communication error
    out.push_back(e);
    return;
  }
  unsigned at = 0;
  for (const PdoEntry& e : r.map) {
    const uint64_t v = get_bits(f.data, at, e.bits);
    at += e.bits;
    if (dummy_bits(e.index) != 0) continue;
    auto it = od.find({e.index, e.subindex});
    if (it == od.end()) continue;
    it->second = le_bytes(v, it->second.size());
    model_written(od, {e.index, e.subindex});
  }
  ++rpdos_written_;
}

void PdoProducer::on_frame(ObjectMap& od, bool operational, const CMSG& f, std::vector<CMSG>& out) {
  if (!operational) return;
  const bool remote = (f.len & NTCAN_RTR) != 0;
  if (f.id == kSyncId && !remote && (f.len & 0x0F) <= 1) {
    const bool has_counter = (f.len & 0x0F) == 1;
    for (Rpdo& r : rpdo_) {
      if (!r.pending) continue;
      apply(od, r, *r.pending, out);
      r.pending.reset();
    }
    for (Tpdo& t : tpdo_) {
      if (!t.valid() || (t.type > 240 && t.type != 0xFC)) continue;
      const CMSG m = build(od, t);
      if (t.type == 0xFC) {
        t.sampled = m;
      } else if (t.type == 0) {
        if (changed(t, m)) send(t, m, now_, out);
      } else {
        if (!t.sync_started) {
          // Counting starts with the SYNC whose counter is the start value, when both are there.
          if (t.sync_start != 0 && has_counter) {
            if (f.data[0] != t.sync_start) continue;
            t.sync_started = true;
            t.sync_count = 0;
            send(t, m, now_, out);
            continue;
          }
          t.sync_started = true;
        }
        if (++t.sync_count >= t.type) {
          t.sync_count = 0;
          send(t, m, now_, out);
        }
      }
    }
    return;
  }
  for (Tpdo& t : tpdo_) {
    if (!remote || !t.valid() || static_cast<int32_t>(t.cob & 0x7FF) != f.id) continue;
    if (t.cob & kPdoNoRtr) return;
    send(t, t.type == 0xFC && t.sampled ? *t.sampled : build(od, t), now_, out);
    return;
  }
  if (remote) return;
  for (Rpdo& r : rpdo_) {
    if (!r.valid() || static_cast<int32_t>(r.cob & 0x7FF) != f.id) continue;
    if (r.type <= 240) {
      if (static_cast<unsigned>(f.len & 0x0F) * 8 < total_bits(r.map)) {
        apply(od, r, f, out);  // the length error is told at once
      } else {
        r.pending = f;
      }
    } else {
      apply(od, r, f, out);
    }
    return;
  }
}

void PdoProducer::due(ObjectMap& od, bool operational, int64_t now, std::vector<CMSG>& out) {
  now_ = now;
  if (model_ && now >= model_next_) {
    ObjectValues v(od);
    model_->step(now, v);
    const int64_t step = model_->step_ns();
    model_next_ = step <= 0 ? 0 : (model_next_ + step > now ? model_next_ + step : now + step);
  }
  if (!operational) return;
  for (Tpdo& t : tpdo_) {
    if (!t.valid() || t.type < 0xFE) continue;
    if (now < t.last_ns + t.inhibit_ns && t.sent) continue;
    const CMSG m = build(od, t);
    const bool on_change = t.type == 0xFE || t.event_ns == 0;
    const bool timer = t.sent && t.event_ns > 0 && now >= t.timer_ns;
    if (!t.sent || timer || (on_change && changed(t, m))) {
      // A timer transmission keeps the timer's phase unless it comes a period late or more.
      const int64_t at = timer && now - t.timer_ns < t.event_ns ? t.timer_ns : now;
      send(t, m, now, out);
      if (timer) t.timer_ns = at + t.event_ns;
    }
  }
}

uint32_t PdoProducer::model_check(ObjectKey key, const std::string& value) const {
  return model_ ? model_->check_download(key, value) : 0;
}

void PdoProducer::model_written(ObjectMap& od, ObjectKey key) {
  if (!model_) return;
  ObjectValues v(od);
  model_->written(key, v);
}

void PdoProducer::model_restart(ObjectMap& od) {
  if (!model_) return;
  ObjectValues v(od);
  model_->restart(v);
}

void PdoProducer::emergencies(bool send, std::vector<CMSG>& out) {
  if (!model_) return;
  for (const Emergency& e : model_->take_emergencies()) {
    if (!send) continue;
    CMSG m{};
    m.id = 0x080 + node_id_;
    m.len = 8;
    m.data[0] = static_cast<uint8_t>(e.code & 0xFF);
    m.data[1] = static_cast<uint8_t>(e.code >> 8);
    m.data[2] = e.reg;
    std::copy_n(e.vendor.begin(), std::min<size_t>(5, e.vendor.size()), m.data + 3);
    out.push_back(m);
  }
}

int64_t PdoProducer::next_due(bool operational) const {
  int64_t next = model_ ? model_next_ : 0;
  auto earliest = [&](int64_t t) {
    if (t > 0 && (next == 0 || t < next)) next = t;
  };
  if (!operational) return next;
  for (const Tpdo& t : tpdo_) {
    if (!t.valid() || t.type < 0xFE) continue;
    if (!t.sent) {
      earliest(std::max<int64_t>(now_, 1));
      continue;
    }
    if (t.event_ns > 0) earliest(t.timer_ns);
    // A change waits for the inhibit time; the node looks again every millisecond for one.
    if (t.type == 0xFE || t.event_ns == 0)
      earliest(std::max(t.last_ns + t.inhibit_ns, now_ + 1'000'000));
  }
  return next;
}

// ---- NodeLogic's process data -------------------------------------------------------------

namespace {

void check_pdo(int n, const std::vector<PdoEntry>& entries) {
  if (n < 1 || n > PdoProducer::kPdos) {
    throw std::invalid_argument("PDO number must be 1..4, got " + std::to_string(n));
  }
  if (entries.size() > kMaxEntries || total_bits(entries) > kMaxBits) {
    throw std::invalid_argument("a PDO maps at most 8 entries of 64 bits in all");
  }
}

void put_mapping(ObjectMap& od, uint16_t index, const std::vector<PdoEntry>& entries) {
  od[{index, 0}] = le_bytes(entries.size(), 1);
  for (int i = 1; i <= kMaxEntries; ++i) {
    const size_t k = static_cast<size_t>(i - 1);
    const PdoEntry e = k < entries.size() ? entries[k] : PdoEntry{};
    const uint32_t w =
        static_cast<uint32_t>(e.index) << 16 | static_cast<uint32_t>(e.subindex) << 8 | e.bits;
    od[{index, static_cast<uint8_t>(i)}] = le_bytes(w, 4);
  }
}

}  // namespace

void NodeLogic::set_tpdo(int n, uint32_t cob_id, uint8_t type, uint16_t event_ms,
                         const std::vector<PdoEntry>& entries, uint16_t inhibit_100us) {
  check_pdo(n, entries);
  const auto i = static_cast<uint16_t>(n - 1);
  std::lock_guard<std::mutex> lk(mx_);
  for (ObjectMap* od : {&configured_, &od_}) {
    (*od)[{kTpdoComm + i, 1}] = le_bytes(cob_id, 4);
    (*od)[{kTpdoComm + i, 2}] = le_bytes(type, 1);
    (*od)[{kTpdoComm + i, 3}] = le_bytes(inhibit_100us, 2);
    (*od)[{kTpdoComm + i, 5}] = le_bytes(event_ms, 2);
    put_mapping(*od, kTpdoMap + i, entries);
  }
  pdo_.refresh(od_);
}

void NodeLogic::set_rpdo(int n, uint32_t cob_id, uint8_t type,
                         const std::vector<PdoEntry>& entries) {
  check_pdo(n, entries);
  const auto i = static_cast<uint16_t>(n - 1);
  std::lock_guard<std::mutex> lk(mx_);
  for (ObjectMap* od : {&configured_, &od_}) {
    (*od)[{kRpdoComm + i, 1}] = le_bytes(cob_id, 4);
    (*od)[{kRpdoComm + i, 2}] = le_bytes(type, 1);
    put_mapping(*od, kRpdoMap + i, entries);
  }
  pdo_.refresh(od_);
}

void NodeLogic::set_pdo_mappable(uint16_t index, uint8_t subindex, bool mappable) {
  std::lock_guard<std::mutex> lk(mx_);
  pdo_.set_mappable({index, subindex}, mappable);
}

void NodeLogic::set_model(std::shared_ptr<DeviceModel> model) {
  std::lock_guard<std::mutex> lk(mx_);
  pdo_.set_model(std::move(model));
}

std::vector<CMSG> NodeLogic::pdo_due(int64_t now_ns) {
  std::lock_guard<std::mutex> lk(mx_);
  std::vector<CMSG> out;
  pdo_.due(od_, state_ == kOperational && !(silent_ || hung_), now_ns, out);
  // A model's emergencies go out as the node's own would: not while stopped or silent.
  pdo_.emergencies(state_ != kStopped && !(silent_ || hung_), out);
  return out;
}

int64_t NodeLogic::next_pdo_ns() const {
  std::lock_guard<std::mutex> lk(mx_);
  return pdo_.next_due(state_ == kOperational && !(silent_ || hung_));
}

bool NodeLogic::wants(int32_t id) const {
  const int node = node_id_.load();
  if (id == 0 || id == 0x600 + node || id == 0x700 + node || id == 0x7E5) return true;
  std::lock_guard<std::mutex> lk(mx_);
  return pdo_.wants(id);
}

int NodeLogic::rpdos_written() const {
  std::lock_guard<std::mutex> lk(mx_);
  return pdo_.rpdos_written();
}

int NodeLogic::tpdos_sent() const {
  std::lock_guard<std::mutex> lk(mx_);
  return pdo_.tpdos_sent();
}

std::shared_ptr<AdcModel> make_adc(NodeLogic& node, int channels, int amplitude, int period_ms,
                                   uint16_t event_ms) {
  channels = std::clamp(channels, 1, 4);
  node.set_object(0x6401, 0, le_bytes(static_cast<uint64_t>(channels), 1));
  node.set_access(0x6401, 0, false);
  std::vector<PdoEntry> map;
  for (int k = 1; k <= channels; ++k) {
    node.set_object(0x6401, static_cast<uint8_t>(k), le_bytes(0, 2));
    node.set_access(0x6401, static_cast<uint8_t>(k), false);
    node.set_pdo_mappable(0x6401, static_cast<uint8_t>(k), true);
    map.push_back({0x6401, static_cast<uint8_t>(k), 16});
  }
  node.set_tpdo(1, static_cast<uint32_t>(0x180 + node.node_id()), 0xFF, event_ms, map);
  auto model = std::make_shared<AdcModel>(channels, amplitude, period_ms);
  node.set_model(model);
  return model;
}

std::shared_ptr<SupplyModel> make_supply(NodeLogic& node, int64_t rate_per_s, uint16_t event_ms,
                                         uint16_t inhibit_100us) {
  for (ObjectKey k : {kSupplySetpoint, kSupplyActual}) {
    node.set_object(k.first, k.second, le_bytes(0, 4));
    node.set_access(k.first, k.second, k == kSupplySetpoint, 4);
  }
  node.set_rpdo(1, static_cast<uint32_t>(0x200 + node.node_id()), 0xFF,
                {{kSupplySetpoint.first, kSupplySetpoint.second, 32}});
  node.set_tpdo(1, static_cast<uint32_t>(0x180 + node.node_id()), 0xFE, event_ms,
                {{kSupplyActual.first, kSupplyActual.second, 32}}, inhibit_100us);
  auto model = std::make_shared<SupplyModel>(kSupplySetpoint, kSupplyActual, rate_per_s);
  node.set_model(model);
  return model;
}

}  // namespace sim
