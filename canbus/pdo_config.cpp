// PDO configuration of a node over SDO: reading a PDO's communication parameters and mapping,
// and writing a new configuration with the procedure of CiA 301 (invalidate, clear the mapping,
// map, count, parameters, validate), followed by a read-back. Runs in the caller's thread, one
// SDO transfer after the other (sdo_upload / sdo_download), with no lock of its own.
#include <cstdio>
#include <string>

#include "D_esdcan.h"

namespace canbus {
namespace {

constexpr uint32_t kCobInvalid = 0x80000000u;
constexpr uint32_t kCobNoRtr = 0x40000000u;
constexpr uint8_t kSubCobId = 1;
constexpr uint8_t kSubTransmission = 2;
constexpr uint8_t kSubInhibit = 3;
constexpr uint8_t kSubEventTimer = 5;
constexpr uint8_t kSubSyncStart = 6;
constexpr size_t kMaxEntries = 64;

PdoResult failure(PdoKind kind, int number, uint16_t index, uint8_t sub, int result,
                  const std::string& why) {
  PdoResult r;
  r.result = result;
  r.index = index;
  r.subindex = sub;
  char where[24];
  std::snprintf(where, sizeof where, ": 0x%04X:%02X: ", index, sub);
  r.text = pdo_name(kind, number) + where + why;
  return r;
}

// One PDO's transfers, each failure reported with the object it concerned.
class Steps {
 public:
  Steps(D_can& node, PdoKind kind, int number) : node_(node), kind_(kind), number_(number) {}

  bool upload(uint16_t index, uint8_t sub, uint32_t& value) {
    uint8_t b[4] = {};
    size_t n = 0;
    const int r = node_.sdo_upload(index, sub, b, sizeof b, &n);
    if (r != 0) return fail(index, sub, r, sdo_result_text(r));
    value = 0;
    for (size_t i = 0; i < n; ++i) value |= static_cast<uint32_t>(b[i]) << (8 * i);
    return true;
  }
  bool download(uint16_t index, uint8_t sub, uint32_t value, size_t bytes) {
    uint8_t b[4];
    for (size_t i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(value >> (8 * i));
    const int r = node_.sdo_download(index, sub, b, bytes);
    return r == 0 || fail(index, sub, r, sdo_result_text(r));
  }
  bool fail(uint16_t index, uint8_t sub, int result, const std::string& why) {
    res_ = failure(kind_, number_, index, sub, result, why);
    return false;
  }
  PdoResult& result() { return res_; }

 private:
  D_can& node_;
  PdoKind kind_;
  int number_;
  PdoResult res_;
};

bool number_ok(int number) {
  return number >= 1 && number <= 512;
}

// What differs between a written configuration and its read-back, "" when nothing does.
std::string difference(const PdoConfig& want, const PdoConfig& got, int node, uint16_t& index,
                       uint8_t& sub) {
  const uint16_t comm = pdo_comm_index(want.kind, want.number);
  const uint16_t map = pdo_map_index(want.kind, want.number);
  auto at = [&](uint16_t i, uint8_t s, const std::string& what) {
    index = i;
    sub = s;
    return what;
  };
  if (got.mapping.size() != want.mapping.size()) {
    return at(map, 0,
              "read back " + std::to_string(got.mapping.size()) + " entries, wrote " +
                  std::to_string(want.mapping.size()));
  }
  for (size_t i = 0; i < want.mapping.size(); ++i) {
    if (mapping_word(got.mapping[i]) != mapping_word(want.mapping[i])) {
      char t[64];
      std::snprintf(t, sizeof t, "read back 0x%08X, wrote 0x%08X", mapping_word(got.mapping[i]),
                    mapping_word(want.mapping[i]));
      return at(map, static_cast<uint8_t>(i + 1), t);
    }
  }
  if (got.cob_id != pdo_cob_id(want, node) || got.valid != want.valid) {
    return at(comm, kSubCobId, "COB-ID read back differs");
  }
  if (got.transmission_type != want.transmission_type) {
    return at(comm, kSubTransmission, "transmission type read back differs");
  }
  return "";
}

}  // namespace

PdoResult read_pdo(D_can& node, PdoKind kind, int number, PdoConfig& out) {
  out = PdoConfig{};
  out.kind = kind;
  out.number = number;
  if (!number_ok(number)) {
    return failure(kind, number, 0, 0, kPdoBadConfig, "PDO number outside 1..512");
  }
  Steps s(node, kind, number);
  const uint16_t comm = pdo_comm_index(kind, number);
  const uint16_t map = pdo_map_index(kind, number);
  uint32_t highest = 0;
  uint32_t v = 0;
  if (!s.upload(comm, 0, highest) || !s.upload(comm, kSubCobId, v)) return s.result();
  out.cob_id = v & 0x7FF;
  out.valid = (v & kCobInvalid) == 0;
  out.rtr_allowed = (v & kCobNoRtr) == 0;
  if (highest >= kSubTransmission) {
    if (!s.upload(comm, kSubTransmission, v)) return s.result();
    out.transmission_type = static_cast<uint8_t>(v);
  }
  if (kind == PdoKind::kTpdo && highest >= kSubInhibit) {
    if (!s.upload(comm, kSubInhibit, v)) return s.result();
    out.inhibit_time_100us = static_cast<uint16_t>(v);
  }
  if (highest >= kSubEventTimer) {
    if (!s.upload(comm, kSubEventTimer, v)) return s.result();
    out.event_timer_ms = static_cast<uint16_t>(v);
  }
  if (kind == PdoKind::kTpdo && highest >= kSubSyncStart) {
    if (!s.upload(comm, kSubSyncStart, v)) return s.result();
    out.sync_start = static_cast<uint8_t>(v);
  }
  uint32_t count = 0;
  if (!s.upload(map, 0, count)) return s.result();
  if (count > kMaxEntries) {
    s.fail(map, 0, kPdoBadConfig, std::to_string(count) + " entries, at most 64 possible");
    return s.result();
  }
  for (uint32_t i = 1; i <= count; ++i) {
    if (!s.upload(map, static_cast<uint8_t>(i), v)) return s.result();
    out.mapping.push_back(entry_from_word(v));
  }
  return {};
}

bool pdo_writes(const PdoConfig& cfg, int node, std::vector<PdoWrite>& out,
                PdoResult& failure_out) {
  const uint16_t comm = pdo_comm_index(cfg.kind, cfg.number);
  const uint16_t map = pdo_map_index(cfg.kind, cfg.number);
  if (!number_ok(cfg.number)) {
    failure_out = failure(cfg.kind, cfg.number, 0, 0, kPdoBadConfig, "PDO number outside 1..512");
    return false;
  }
  if (cfg.mapping.size() > kMaxEntries || mapping_bits(cfg.mapping) > 64) {
    failure_out = failure(cfg.kind, cfg.number, map, 0, kPdoBadConfig,
                          "mapping of " + std::to_string(mapping_bits(cfg.mapping)) + " bits in " +
                              std::to_string(cfg.mapping.size()) + " entries does not fit a frame");
    return false;
  }
  if (cfg.cob_id == 0 && cfg.number > 4) {
    failure_out = failure(cfg.kind, cfg.number, comm, kSubCobId, kPdoBadConfig,
                          "no predefined identifier beyond PDO 4");
    return false;
  }
  const uint32_t rtr = cfg.kind == PdoKind::kTpdo && !cfg.rtr_allowed ? kCobNoRtr : 0;
  const uint32_t id = pdo_cob_id(cfg, node) | rtr;
  out.clear();
  auto put = [&](uint16_t index, uint8_t sub, uint32_t value, uint8_t bytes) {
    out.push_back({index, sub, value, bytes});
  };
  // 1. Invalidate: the identifier bits may only change while the PDO does not exist.
  put(comm, kSubCobId, id | kCobInvalid, 4);
  // 2..4. Mapping: cleared, entries, count.
  put(map, 0, 0, 1);
  for (size_t i = 0; i < cfg.mapping.size(); ++i) {
    put(map, static_cast<uint8_t>(i + 1), mapping_word(cfg.mapping[i]), 4);
  }
  put(map, 0, static_cast<uint32_t>(cfg.mapping.size()), 1);
  // 5. Parameters, the identifier still invalid.
  put(comm, kSubCobId, id | kCobInvalid, 4);
  put(comm, kSubTransmission, cfg.transmission_type, 1);
  if (cfg.kind == PdoKind::kTpdo) {
    put(comm, kSubInhibit, cfg.inhibit_time_100us, 2);
    put(comm, kSubEventTimer, cfg.event_timer_ms, 2);
  } else if (cfg.event_timer_ms != 0) {
    put(comm, kSubEventTimer, cfg.event_timer_ms, 2);
  }
  if (cfg.kind == PdoKind::kTpdo && cfg.sync_start != 0)
    put(comm, kSubSyncStart, cfg.sync_start, 1);
  // 6. Validate.
  if (cfg.valid) put(comm, kSubCobId, id, 4);
  return true;
}

PdoResult configure_pdo(D_can& node, const PdoConfig& cfg) {
  const uint16_t comm = pdo_comm_index(cfg.kind, cfg.number);
  const int node_id = node.value().i2_data;
  std::vector<PdoWrite> writes;
  PdoResult bad;
  if (!pdo_writes(cfg, node_id, writes, bad)) return bad;
  Steps s(node, cfg.kind, cfg.number);
  const uint32_t rtr = cfg.kind == PdoKind::kTpdo && !cfg.rtr_allowed ? kCobNoRtr : 0;
  const uint32_t id = pdo_cob_id(cfg, node_id);
  // The first write makes the PDO invalid: here only when it is valid, with its identifier.
  uint32_t current = 0;
  if (!s.upload(comm, kSubCobId, current)) return s.result();
  if ((current & kCobInvalid) == 0 && !s.download(comm, kSubCobId, current | kCobInvalid, 4)) {
    return s.result();
  }
  for (size_t i = 1; i < writes.size(); ++i) {
    const PdoWrite& w = writes[i];
    if (!s.download(w.index, w.subindex, w.value, w.bytes)) return s.result();
  }
  // Read-back.
  PdoConfig back;
  PdoResult r = read_pdo(node, cfg.kind, cfg.number, back);
  if (!r.ok()) return r;
  uint16_t index = 0;
  uint8_t sub = 0;
  const std::string diff = difference(cfg, back, node_id, index, sub);
  if (!diff.empty()) {
    // Never left valid with a configuration other than the one asked for.
    if (back.valid) s.download(comm, kSubCobId, id | rtr | kCobInvalid, 4);
    return failure(cfg.kind, cfg.number, index, sub, kPdoMismatch, diff);
  }
  if (cfg.kind == PdoKind::kTpdo && cfg.valid) {
    const int e = node.AddIdent(static_cast<int>(id));
    if (e != 0) {
      return failure(cfg.kind, cfg.number, comm, kSubCobId, e,
                     "identifier not enabled: " +
                         can_error_str(static_cast<unsigned long>(static_cast<long>(e))));
    }
  }
  return {};
}

}  // namespace canbus
