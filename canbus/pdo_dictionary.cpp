// PDO mappings and boot configurations built from a node's EDS or DCF: pure functions over a
// loaded ObjectDictionary, no bus and no lock (the dictionary is immutable once read).
#include <cstdio>
#include <string>

#include "can_ids.h"
#include "can_monitor.h"
#include "can_od.h"
#include "can_pdo.h"

namespace canbus {
namespace {

constexpr uint32_t kCobInvalid = 0x80000000u;
constexpr uint32_t kCobNoRtr = 0x40000000u;
constexpr uint32_t kCobExtended = 0x20000000u;
constexpr size_t kMaxEntries = 64;

std::string where(uint16_t index, uint8_t sub) {
  char t[16];
  std::snprintf(t, sizeof t, "0x%04X:%02X", index, sub);
  return t;
}

// The value a DCF gives the entry, else the file's default; empty when it gives neither.
const Value& configured(const ObjectEntry& e) {
  return e.parameter_value.empty() ? e.default_value : e.parameter_value;
}

bool is_pdo_object(uint16_t index) {
  return index >= 0x1400 && index <= 0x1BFF;
}

// Whether a DCF changes the entry from the file's default.
bool changed(const ObjectEntry& e) {
  return !e.parameter_value.empty() && e.parameter_value != e.default_value;
}

}  // namespace

bool pdo_entry_from_dictionary(const ObjectDictionary& od, uint16_t index, uint8_t subindex,
                               uint8_t bits, PdoEntry& out, std::string& why) {
  const std::string at = where(index, subindex);
  PdoEntry e;
  e.index = index;
  e.subindex = subindex;
  DataType t;
  if (is_dummy_entry(e)) {
    if (!data_type_from_code(index, t) || data_type_bits(t) == 0) {
      why = at + ": no data type of fixed size for a dummy entry";
      return false;
    }
  } else {
    const ObjectEntry* oe = od.find(index, subindex);
    if (oe == nullptr) {
      why = at + ": no such object in the dictionary";
      return false;
    }
    if (!oe->pdo_mapping) {
      why = at + " is not PDO-mappable";
      return false;
    }
    t = oe->data_type;
    e.name = oe->full_name;
  }
  const unsigned type_bits = data_type_bits(t);
  if (type_bits == 0 || type_bits > 64) {
    why = at + ": " + data_type_name(t) + " has no fixed size for a PDO";
    return false;
  }
  if (bits == 0) bits = static_cast<uint8_t>(type_bits);
  if (bits != type_bits) {
    why = at + ": " + std::to_string(bits) + " bits, " + data_type_name(t) + " has " +
          std::to_string(type_bits);
    return false;
  }
  e.bits = bits;
  e.type = t;
  out = e;
  return true;
}

bool pdo_entry_from_word(const ObjectDictionary& od, uint32_t word, PdoEntry& out,
                         std::string& why) {
  const uint8_t bits = static_cast<uint8_t>(word);
  if (bits == 0) {
    why = where(static_cast<uint16_t>(word >> 16), static_cast<uint8_t>(word >> 8)) +
          ": bit length 0";
    return false;
  }
  return pdo_entry_from_dictionary(od, static_cast<uint16_t>(word >> 16),
                                   static_cast<uint8_t>(word >> 8), bits, out, why);
}

bool pdo_config_from_dictionary(const ObjectDictionary& od, PdoKind kind, int number,
                                PdoConfig& out, std::string& why) {
  const std::string name = pdo_name(kind, number);
  if (number < 1 || number > 512) {
    why = name + ": no such PDO (1..512)";
    return false;
  }
  const uint16_t comm = pdo_comm_index(kind, number);
  const uint16_t map = pdo_map_index(kind, number);
  auto refuse = [&](uint16_t index, uint8_t sub, const std::string& reason) {
    why = name + ": " + where(index, sub) + ": " + reason;
    return false;
  };
  // The integer value of (index, sub); `required` entries must have one.
  auto number_of = [&](uint16_t index, uint8_t sub, bool required, uint64_t& v,
                       const ObjectEntry** entry = nullptr) {
    const ObjectEntry* e = od.find(index, sub);
    if (entry != nullptr) *entry = e;
    if (e == nullptr || configured(*e).empty()) {
      if (required) return refuse(index, sub, e == nullptr ? "not in the dictionary" : "no value");
      return true;
    }
    const Value& x = configured(*e);
    if (x.kind() != Value::Kind::kUInt && x.kind() != Value::Kind::kInt) {
      return refuse(index, sub, "not an integer");
    }
    v = x.as_uint();
    return true;
  };

  PdoConfig cfg;
  cfg.kind = kind;
  cfg.number = number;
  uint64_t v = 0;
  const ObjectEntry* cob_entry = nullptr;
  if (!number_of(comm, 1, true, v, &cob_entry)) return false;
  const uint32_t cob = static_cast<uint32_t>(v);
  if ((cob & kCobExtended) != 0) return refuse(comm, 1, "29-bit COB-ID not supported");
  cfg.valid = (cob & kCobInvalid) == 0;
  cfg.rtr_allowed = kind == PdoKind::kRpdo || (cob & kCobNoRtr) == 0;
  cfg.cob_id = cob & 0x7FF;
  if (cob_entry->parameter_value.empty() && cob_entry->nodeid_relative && od.node_id() == 0) {
    // $NODEID was resolved as 0: the identifier left is the predefined one's base, or unusable.
    const uint32_t base = kind == PdoKind::kTpdo ? cob_tpdo(number, 0) : cob_rpdo(number, 0);
    if (number > 4 || cfg.cob_id != base) {
      return refuse(comm, 1, "COB-ID uses $NODEID: read the file with the node id");
    }
    cfg.cob_id = 0;
  }
  if (!number_of(comm, 2, true, v)) return false;
  if (v > 0xFF) return refuse(comm, 2, "transmission type above 255");
  cfg.transmission_type = static_cast<uint8_t>(v);
  if (kind == PdoKind::kTpdo) {
    v = 0;
    if (!number_of(comm, 3, false, v)) return false;
    cfg.inhibit_time_100us = static_cast<uint16_t>(v);
    v = 0;
    if (!number_of(comm, 6, false, v)) return false;
    cfg.sync_start = static_cast<uint8_t>(v);
  }
  v = 0;
  if (!number_of(comm, 5, false, v)) return false;
  cfg.event_timer_ms = static_cast<uint16_t>(v);

  if (!number_of(map, 0, true, v)) return false;
  if (v > kMaxEntries) return refuse(map, 0, std::to_string(v) + " entries, at most 64");
  for (uint8_t sub = 1; sub <= v; ++sub) {
    uint64_t word = 0;
    if (!number_of(map, sub, true, word)) return false;
    PdoEntry e;
    std::string reason;
    if (!pdo_entry_from_word(od, static_cast<uint32_t>(word), e, reason)) {
      return refuse(map, sub, reason);
    }
    if (!is_dummy_entry(e)) {
      const Access a = od.find(e.index, e.subindex)->access;
      if (kind == PdoKind::kTpdo && !access_readable(a)) {
        return refuse(map, sub, where(e.index, e.subindex) + " is write-only: not in a TPDO");
      }
      if (kind == PdoKind::kRpdo && !access_writable(a)) {
        return refuse(map, sub, where(e.index, e.subindex) + " is read-only: not in an RPDO");
      }
    }
    cfg.mapping.push_back(std::move(e));
  }
  if (mapping_bits(cfg.mapping) > 64) {
    return refuse(map, 0, std::to_string(mapping_bits(cfg.mapping)) + " bits, more than 64");
  }
  out = std::move(cfg);
  return true;
}

bool boot_config_from_dictionary(const ObjectDictionary& od, BootConfig& out, std::string& why) {
  BootConfig cfg;
  bool pdo_changed[2][512] = {};  // [TPDO, RPDO][number - 1]
  for (const ObjectEntry* e : od.entries()) {
    if (!changed(*e)) continue;
    if (is_pdo_object(e->index)) {
      const bool tpdo = e->index >= 0x1800;
      pdo_changed[tpdo ? 0 : 1][e->index & 0x1FF] = true;
      continue;
    }
    if (e->index < 0x1000 || e->index == 0x1010 || e->index == 0x1011 || e->index == 0x1018) {
      continue;
    }
    if (!access_writable(e->access) || (e->obj_flags & 1u) != 0) continue;
    cfg.writes.push_back({e->index, e->subindex, e->data_type, e->parameter_value});
  }
  for (int k = 0; k < 2; ++k) {
    const PdoKind kind = k == 0 ? PdoKind::kTpdo : PdoKind::kRpdo;
    for (int n = 1; n <= 512; ++n) {
      if (!pdo_changed[k][n - 1]) continue;
      PdoConfig p;
      if (!pdo_config_from_dictionary(od, kind, n, p, why)) return false;
      cfg.pdos.push_back(std::move(p));
    }
  }
  const ObjectEntry* vendor = od.find(0x1018, 1);
  const ObjectEntry* product = od.find(0x1018, 2);
  if (vendor != nullptr && product != nullptr && !configured(*vendor).empty() &&
      !configured(*product).empty()) {
    cfg.check_identity = true;
    cfg.vendor_id = static_cast<uint32_t>(configured(*vendor).as_uint());
    cfg.product_code = static_cast<uint32_t>(configured(*product).as_uint());
  }
  out = std::move(cfg);
  return true;
}

}  // namespace canbus
