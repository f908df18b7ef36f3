// PDO mappings as data, and the frame layout of process data: decoding a TPDO's bytes into
// typed values, encoding an RPDO's values into bytes, and sending an RPDO. Pure functions except
// send_rpdo, which sends from the caller's thread.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "D_esdcan.h"

namespace canbus {

bool is_dummy_entry(const PdoEntry& e) {
  return e.index >= 0x0001 && e.index <= 0x001F;
}

uint32_t mapping_word(const PdoEntry& e) {
  return static_cast<uint32_t>(e.index) << 16 | static_cast<uint32_t>(e.subindex) << 8 | e.bits;
}

PdoEntry entry_from_word(uint32_t word) {
  PdoEntry e;
  e.index = static_cast<uint16_t>(word >> 16);
  e.subindex = static_cast<uint8_t>(word >> 8);
  e.bits = static_cast<uint8_t>(word);
  DataType t;
  if (is_dummy_entry(e) && data_type_from_code(e.index, t)) {
    e.type = t;
  } else if (e.bits == 1) {
    e.type = DataType::kBoolean;
  } else {
    static const DataType by_bytes[] = {
        DataType::kUnsigned8,  DataType::kUnsigned16, DataType::kUnsigned24, DataType::kUnsigned32,
        DataType::kUnsigned40, DataType::kUnsigned48, DataType::kUnsigned56, DataType::kUnsigned64};
    const unsigned bytes = (e.bits + 7u) / 8u;
    e.type = by_bytes[bytes == 0 ? 0 : (bytes > 8 ? 7 : bytes - 1)];
  }
  return e;
}

unsigned mapping_bits(const PdoMapping& m) {
  unsigned n = 0;
  for (const PdoEntry& e : m) n += e.bits;
  return n;
}

uint16_t pdo_comm_index(PdoKind kind, int number) {
  return static_cast<uint16_t>((kind == PdoKind::kTpdo ? 0x1800 : 0x1400) + number - 1);
}

uint16_t pdo_map_index(PdoKind kind, int number) {
  return static_cast<uint16_t>((kind == PdoKind::kTpdo ? 0x1A00 : 0x1600) + number - 1);
}

uint32_t pdo_cob_id(const PdoConfig& cfg, int node) {
  if (cfg.cob_id != 0) return cfg.cob_id & 0x7FF;
  return cfg.kind == PdoKind::kTpdo ? cob_tpdo(cfg.number, node) : cob_rpdo(cfg.number, node);
}

std::string pdo_name(PdoKind kind, int number) {
  return (kind == PdoKind::kTpdo ? "TPDO" : "RPDO") + std::to_string(number);
}

bool decode_pdo(const PdoMapping& mapping, const uint8_t* data, size_t n, std::vector<Value>& out) {
  if (mapping_bits(mapping) > 8 * n) return false;
  out.resize(mapping.size());
  unsigned at = 0;
  for (size_t i = 0; i < mapping.size(); ++i) {
    const PdoEntry& e = mapping[i];
    if (is_dummy_entry(e) || e.bits == 0) {
      out[i] = Value();
    } else {
      out[i] = value_from_bits(e.type, get_bits(data, n, at, e.bits), e.bits);
    }
    at += e.bits;
  }
  return true;
}

bool encode_pdo(const PdoMapping& mapping, const std::vector<Value>& values, CMSG& out,
                std::string* err) {
  auto fail = [&](const std::string& why) {
    if (err != nullptr) *err = why;
    return false;
  };
  if (values.size() != mapping.size()) {
    return fail(std::to_string(values.size()) + " values for " + std::to_string(mapping.size()) +
                " mapped objects");
  }
  const unsigned total = mapping_bits(mapping);
  if (total > 64) return fail("mapping of " + std::to_string(total) + " bits exceeds 64");
  out.len = static_cast<uint8_t>((total + 7) / 8);
  std::memset(out.data, 0, sizeof out.data);
  unsigned at = 0;
  for (size_t i = 0; i < mapping.size(); ++i) {
    const PdoEntry& e = mapping[i];
    if (!is_dummy_entry(e) && e.bits > 0) {
      uint64_t raw = 0;
      std::string why;
      if (!value_to_bits(e.type, values[i], e.bits, raw, &why)) {
        char where[32];
        std::snprintf(where, sizeof where, "0x%04X:%02X: ", e.index, e.subindex);
        return fail(where + why);
      }
      put_bits(out.data, sizeof out.data, at, e.bits, raw);
    }
    at += e.bits;
  }
  return true;
}

int send_rpdo(D_can& node, const PdoConfig& rpdo, const std::vector<Value>& values,
              SyncProducer* sync, std::string* err) {
  CMSG m{};
  if (!encode_pdo(rpdo.mapping, values, m, err)) return kPdoBadConfig;
  m.id = static_cast<int32_t>(pdo_cob_id(rpdo, node.value().i2_data));
  if (sync != nullptr && is_synchronous(rpdo)) {
    sync->queue_after_sync(m);
    return 0;
  }
  return node.can_write(m.id, m.len, m.data);
}

}  // namespace canbus
