// A node's configuration as one concise DCF (the object 0x1F22's format) and its writing: the
// configuration date and time 0x1020 compared first, then the whole DCF by one block download
// where the node takes it, object by object otherwise, then the stamp and "store parameters".
// Runs in the caller's thread, one SDO transfer after the other, with no lock of its own.
#include <cstdio>
#include <map>
#include <string>

#include "D_esdcan.h"
#include "can_network.h"

namespace canbus {
namespace {

constexpr uint16_t kConciseDcf = 0x1F22;
constexpr uint16_t kConfigDate = 0x1020;  // :1 days since 1984, :2 ms after midnight
constexpr uint16_t kStoreParameters = 0x1010;
constexpr uint32_t kSaveSignature = 0x65766173;  // "save", little-endian
constexpr uint32_t kAbortNoBlockTransfer = 0x05040001;
constexpr int kFirstAbortCode = 0x05030000;  // SDO results below are the client's own
constexpr uint32_t kCobInvalid = 0x80000000u;
constexpr size_t kEntryHead = 7;  // index, sub-index, size

void put_le(std::vector<uint8_t>& out, uint64_t v, size_t n) {
  for (size_t i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint32_t get_le(const uint8_t* p, size_t n) {
  uint32_t v = 0;
  for (size_t i = n; i-- > 0;) v = (v << 8) | p[i];
  return v;
}

std::string where(uint16_t index, uint8_t sub) {
  char b[24];
  std::snprintf(b, sizeof b, "0x%04X:%02X: ", index, sub);
  return b;
}

ConciseEntry entry_of(uint16_t index, uint8_t sub, uint32_t value, size_t bytes) {
  ConciseEntry e{index, sub, {}};
  put_le(e.data, value, bytes);
  return e;
}

}  // namespace

std::vector<uint8_t> encode_concise_dcf(const std::vector<ConciseEntry>& entries) {
  std::vector<uint8_t> out;
  put_le(out, entries.size(), 4);
  for (const ConciseEntry& e : entries) {
    put_le(out, e.index, 2);
    out.push_back(e.subindex);
    put_le(out, e.data.size(), 4);
    out.insert(out.end(), e.data.begin(), e.data.end());
  }
  return out;
}

bool decode_concise_dcf(const std::vector<uint8_t>& bytes, std::vector<ConciseEntry>& out,
                        std::string& why) {
  if (bytes.size() < 4) {
    why = std::to_string(bytes.size()) + " bytes, too short for the number of entries";
    return false;
  }
  const uint32_t count = get_le(bytes.data(), 4);
  std::vector<ConciseEntry> entries;
  size_t at = 4;
  for (uint32_t i = 1; i <= count; ++i) {
    const std::string head = "entry " + std::to_string(i) + " of " + std::to_string(count) + ": ";
    const size_t left = bytes.size() - at;
    if (left < kEntryHead) {
      why = head + "its header takes 7 bytes, " + std::to_string(left) + " left";
      return false;
    }
    ConciseEntry e;
    e.index = static_cast<uint16_t>(get_le(&bytes[at], 2));
    e.subindex = bytes[at + 2];
    const uint32_t size = get_le(&bytes[at + 3], 4);
    at += kEntryHead;
    if (size > bytes.size() - at) {
      why = head + std::to_string(size) + " bytes announced, " + std::to_string(bytes.size() - at) +
            " left";
      return false;
    }
    e.data.assign(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                  bytes.begin() + static_cast<std::ptrdiff_t>(at + size));
    at += size;
    entries.push_back(std::move(e));
  }
  if (at != bytes.size()) {
    why = std::to_string(bytes.size() - at) + " bytes after the last of " + std::to_string(count) +
          " entries";
    return false;
  }
  out = std::move(entries);
  return true;
}

bool concise_entries(const BootConfig& cfg, int node_id, std::vector<ConciseEntry>& out,
                     std::string& why) {
  std::vector<ConciseEntry> entries;
  for (const SdoWrite& w : cfg.writes) {
    std::vector<uint8_t> bytes;
    if (!w.name.empty()) {
      // By name: the entry's checks (access, type, limits), as the monitor makes them.
      if (cfg.dictionary == nullptr) {
        why = "'" + w.name + "': no object dictionary of the node";
        return false;
      }
      const ObjectEntry* e = cfg.dictionary->lookup(w.name, why);
      if (e == nullptr) return false;
      if (ObjectAccess::check_value(*e, w.value, bytes, &why) != 0) {
        why = where(e->index, e->subindex) + why;
        return false;
      }
      entries.push_back({e->index, e->subindex, std::move(bytes)});
      continue;
    }
    std::string err;
    if (!encode_value(w.type, w.value, bytes, &err)) {
      why = where(w.index, w.subindex) + err;
      return false;
    }
    entries.push_back({w.index, w.subindex, std::move(bytes)});
  }
  for (const PdoConfig& p : cfg.pdos) {
    std::vector<PdoWrite> writes;
    PdoResult bad;
    if (!pdo_writes(p, node_id, writes, bad)) {
      why = bad.text;
      return false;
    }
    for (const PdoWrite& w : writes)
      entries.push_back(entry_of(w.index, w.subindex, w.value, w.bytes));
  }
  out = std::move(entries);
  return true;
}

ConfigResult write_configuration(D_can& node, const std::vector<ConciseEntry>& entries,
                                 ConfigStamp stamp, bool store,
                                 const std::function<bool()>& cancelled) {
  ConfigResult res;
  auto fail = [&](uint16_t index, uint8_t sub, int result, const std::string& why) {
    res.ok = false;
    res.index = index;
    res.subindex = sub;
    res.result = result;
    res.reason = where(index, sub) + why;
    return res;
  };
  auto stop = [&] {
    if (!cancelled || !cancelled()) return false;
    res.ok = false;
    res.result = NTCAN_OPERATION_ABORTED;
    res.reason = "cancelled";
    return true;
  };
  auto download = [&](uint16_t index, uint8_t sub, const std::vector<uint8_t>& data) {
    const int r = node.sdo_download(index, sub, data.data(), data.size());
    if (r != 0) fail(index, sub, r, sdo_result_text(r));
    return r == 0;
  };

  // 1. The stamp the node holds. A node without 0x1020 has no stored configuration: it is
  // written every time, without a stamp.
  bool has_stamp_object = true;
  if (!stamp.empty()) {
    uint32_t held[2] = {0, 0};
    bool same = true;
    for (uint8_t sub = 1; sub <= 2 && has_stamp_object; ++sub) {
      if (stop()) return res;
      uint8_t b[4] = {};
      size_t len = 0;
      const int r = node.sdo_upload(kConfigDate, sub, b, sizeof b, &len);
      if (r == 0) {
        held[sub - 1] = get_le(b, 4);
        same = same && len == 4;
      } else if (sdo_no_object(r)) {
        has_stamp_object = false;
      } else if (r >= kFirstAbortCode) {
        same = false;  // refused otherwise: taken as another stamp
      } else {
        return fail(kConfigDate, sub, r, sdo_result_text(r));  // no answer, or the driver's
      }
    }
    if (has_stamp_object && same && held[0] == stamp.days && held[1] == stamp.ms) {
      res.skipped = true;
      return res;
    }
  }

  // 2. The objects: one concise DCF where the node takes it, else one by one.
  const int node_id = node.value().i2_data;
  if (!entries.empty()) {
    if (stop()) return res;
    const auto sub = static_cast<uint8_t>(node_id);
    const int r = node.sdo_write(kConciseDcf, sub, encode_concise_dcf(entries), SdoMode::kBlock);
    if (r == 0) {
      res.concise = true;
    } else if (!sdo_no_object(r) && r != static_cast<int>(kAbortNoBlockTransfer)) {
      return fail(kConciseDcf, sub, r, sdo_result_text(r));
    } else {
      for (const ConciseEntry& e : entries) {
        if (stop()) return res;
        if (!download(e.index, e.subindex, e.data)) return res;
      }
    }
  }
  // The identifiers of valid TPDOs are enabled on the node's handle, as configure_pdo does.
  std::map<uint16_t, uint32_t> tpdo_ids;
  for (const ConciseEntry& e : entries) {
    if (e.index >= 0x1800 && e.index <= 0x19FF && e.subindex == 1 && e.data.size() == 4) {
      tpdo_ids[e.index] = get_le(e.data.data(), 4);
    }
  }
  for (const auto& [index, cob] : tpdo_ids) {
    if ((cob & kCobInvalid) != 0) continue;
    const int r = node.AddIdent(static_cast<int>(cob & 0x7FF));
    if (r != 0) {
      return fail(index, 1, r,
                  "identifier not enabled: " +
                      can_error_str(static_cast<unsigned long>(static_cast<long>(r))));
    }
  }

  // 3. The stamp, then "store parameters".
  if (!stamp.empty() && has_stamp_object) {
    std::vector<uint8_t> b;
    put_le(b, stamp.days, 4);
    if (stop() || !download(kConfigDate, 1, b)) return res;
    b.clear();
    put_le(b, stamp.ms, 4);
    if (stop() || !download(kConfigDate, 2, b)) return res;
  }
  if (store) {
    std::vector<uint8_t> b;
    put_le(b, kSaveSignature, 4);
    if (stop() || !download(kStoreParameters, 1, b)) return res;
  }
  return res;
}

}  // namespace canbus
