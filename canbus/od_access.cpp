// Typed object access: values checked against the dictionary entry, encoded little-endian and
// moved by the node property's SDO client. Runs in the caller's thread; takes no lock of its
// own (the SDO client serialises the transfers of one node).
#include <cstdio>

#include "D_esdcan.h"

namespace canbus {
namespace {

std::string where(const ObjectEntry& e) {
  char buf[48];
  std::snprintf(buf, sizeof buf, " (0x%04X sub %u)", e.index, e.subindex);
  return "'" + e.full_name + "'" + buf;
}

int refuse(std::string* why, const std::string& text) {
  if (why) *why = text;
  return ObjectAccess::kRefused;
}

int result(std::string* why, int r) {
  if (why) *why = ObjectAccess::result_text(r);
  return r;
}

bool below(DataType t, const Value& v, const Value& lim) {
  if (is_real_type(t)) return v.as_real() < lim.as_real();
  if (is_signed_type(t)) return v.as_int() < lim.as_int();
  if (v.kind() == Value::Kind::kInt && v.as_int() < 0) return true;
  return v.as_uint() < lim.as_uint();
}

bool above(DataType t, const Value& v, const Value& lim) {
  if (is_real_type(t)) return v.as_real() > lim.as_real();
  if (is_signed_type(t)) return v.as_int() > lim.as_int();
  if (v.kind() == Value::Kind::kInt && v.as_int() < 0) return false;
  return v.as_uint() > lim.as_uint();
}

ObjectEntry plain_entry(uint16_t index, uint8_t subindex, DataType t) {
  ObjectEntry e;
  e.index = index;
  e.subindex = subindex;
  e.data_type = t;
  e.access = Access::kRW;
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%04X sub %u", index, subindex);
  e.name = e.full_name = buf;
  return e;
}

}  // namespace

ObjectAccess::ObjectAccess(D_can& node, std::shared_ptr<const ObjectDictionary> od,
                           size_t max_bytes)
    : node_(&node), od_(std::move(od)), max_bytes_(max_bytes) {}

std::string ObjectAccess::result_text(int r) {
  if (r == kRefused) return "refused before sending";
  if (r == kMismatch) return "the node's value does not fit the object's data type";
  return sdo_result_text(r);
}

int ObjectAccess::transfer_in(uint16_t index, uint8_t subindex, std::vector<uint8_t>& bytes) const {
  // Expedited, segmented or block transfer as the size asks; a value larger than this access
  // takes is refused like one that does not fit a caller's buffer.
  const int r = node_->sdo_read(index, subindex, bytes);
  if (r == 0 && bytes.size() > max_bytes_) {
    bytes.clear();
    return 0x06070012;
  }
  return r;
}

int ObjectAccess::transfer_out(uint16_t index, uint8_t subindex,
                               const std::vector<uint8_t>& bytes) const {
  return node_->sdo_write(index, subindex, bytes);
}

int ObjectAccess::check_write(const ObjectEntry& e, const Value& v, std::vector<uint8_t>& bytes,
                              std::string* why) const {
  return check_value(e, v, bytes, why, max_bytes_);
}

int ObjectAccess::check_value(const ObjectEntry& e, const Value& v, std::vector<uint8_t>& bytes,
                              std::string* why, size_t max_bytes) {
  if (!access_writable(e.access)) {
    return refuse(why, where(e) + " is " + (e.access == Access::kConst ? "const" : "read-only"));
  }
  std::string err;
  if (!encode_value(e.data_type, v, bytes, &err)) return refuse(why, where(e) + ": " + err);
  if (bytes.size() > max_bytes) {
    return refuse(why, where(e) + ": a value of " + std::to_string(bytes.size()) +
                           " bytes is longer than " + std::to_string(max_bytes) + " bytes");
  }
  if (!is_byte_type(e.data_type)) {
    if (!e.low.empty() && below(e.data_type, v, e.low))
      return refuse(why, where(e) + ": " + v.text() + " below the low limit " + e.low.text());
    if (!e.high.empty() && above(e.data_type, v, e.high))
      return refuse(why, where(e) + ": " + v.text() + " above the high limit " + e.high.text());
  }
  return 0;
}

int ObjectAccess::read_entry(const ObjectEntry& e, Value& out, std::string* why) const {
  if (!access_readable(e.access)) return refuse(why, where(e) + " is write-only");
  std::vector<uint8_t> bytes;
  const int r = transfer_in(e.index, e.subindex, bytes);
  if (r != 0) return result(why, r);
  std::string err;
  Value v;
  if (!decode_value(e.data_type, bytes.data(), bytes.size(), v, &err)) {
    if (why) *why = where(e) + ": " + err;
    return kMismatch;
  }
  out = std::move(v);
  return result(why, 0);
}

int ObjectAccess::write_entry(const ObjectEntry& e, const Value& v, std::string* why) const {
  std::vector<uint8_t> bytes;
  if (int r = check_write(e, v, bytes, why); r != 0) return r;
  return result(why, transfer_out(e.index, e.subindex, bytes));
}

int ObjectAccess::read(const std::string& name, Value& out, std::string* why) const {
  if (!od_) return refuse(why, "no object dictionary for names");
  std::string err;
  const ObjectEntry* e = od_->lookup(name, err);
  return e ? read_entry(*e, out, why) : refuse(why, err);
}

int ObjectAccess::write(const std::string& name, const Value& v, std::string* why) const {
  if (!od_) return refuse(why, "no object dictionary for names");
  std::string err;
  const ObjectEntry* e = od_->lookup(name, err);
  return e ? write_entry(*e, v, why) : refuse(why, err);
}

// The entry of (index, subindex), or nullptr with the reason in *why.
static const ObjectEntry* entry_at(const ObjectDictionary* od, uint16_t index, uint8_t subindex,
                                   std::string* why) {
  const ObjectEntry* e = od ? od->find(index, subindex) : nullptr;
  if (e == nullptr && why != nullptr) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "0x%04X sub %u is not in the object dictionary%s", index,
                  subindex, od ? "" : " (there is none: give the data type)");
    *why = buf;
  }
  return e;
}

int ObjectAccess::read(uint16_t index, uint8_t subindex, Value& out, std::string* why) const {
  const ObjectEntry* e = entry_at(od_.get(), index, subindex, why);
  return e ? read_entry(*e, out, why) : kRefused;
}

int ObjectAccess::write(uint16_t index, uint8_t subindex, const Value& v, std::string* why) const {
  const ObjectEntry* e = entry_at(od_.get(), index, subindex, why);
  return e ? write_entry(*e, v, why) : kRefused;
}

int ObjectAccess::read(uint16_t index, uint8_t subindex, DataType t, Value& out,
                       std::string* why) const {
  return read_entry(plain_entry(index, subindex, t), out, why);
}

int ObjectAccess::write(uint16_t index, uint8_t subindex, DataType t, const Value& v,
                        std::string* why) const {
  return write_entry(plain_entry(index, subindex, t), v, why);
}

}  // namespace canbus
