// The simulated node's dictionary from an EDS or DCF: the values it starts with and the rules a
// device with that file enforces. Called under NodeLogic::mx_ like the rest of the protocol
// (load_dictionary takes it itself).
#include <set>

#include "can_od.h"
#include "canopen_node.h"

namespace sim {

struct NodeLogic::EdsRules {
  struct Rule {
    canbus::DataType type;
    canbus::Access access;
    canbus::Value low, high;
  };
  std::map<Key, Rule> rules;
  std::set<uint16_t> indices;  // objects of the file, with or without sub-objects
};

namespace {

// The bytes an entry starts with: the DCF's ParameterValue, else the DefaultValue, else zero.
std::string initial_bytes(const canbus::ObjectEntry& e) {
  const canbus::Value& v = !e.parameter_value.empty() ? e.parameter_value : e.default_value;
  std::vector<uint8_t> bytes;
  if (v.empty() || !canbus::encode_value(e.data_type, v, bytes, nullptr)) {
    bytes.assign(canbus::data_type_bytes(e.data_type), 0);
  }
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace

void NodeLogic::load_dictionary(const canbus::ObjectDictionary& od) {
  auto eds = std::make_shared<EdsRules>();
  std::map<Key, std::string> values;
  std::map<Key, Access> access;
  for (const canbus::ObjectEntry* e : od.entries()) {
    const Key key{e->index, e->subindex};
    eds->rules[key] = {e->data_type, e->access, e->low, e->high};
    eds->indices.insert(e->index);
    values[key] = initial_bytes(*e);
    access[key] = Access{canbus::access_writable(e->access), canbus::data_type_bytes(e->data_type)};
  }
  std::lock_guard<std::mutex> lk(mx_);
  end_transfer_locked();
  configured_ = values;
  od_ = std::move(values);
  access_ = std::move(access);
  eds_ = std::move(eds);
  install_extras_locked();
  // What may be mapped is what the file says; the PDOs are those of its objects.
  pdo_.clear_mappable();
  for (const canbus::ObjectEntry* e : od.entries()) {
    pdo_.set_mappable({e->index, e->subindex}, e->pdo_mapping);
  }
  pdo_.reset(od_);
}

bool NodeLogic::load_dictionary(const std::string& path, std::vector<std::string>& errors) {
  canbus::ObjectDictionary od;
  if (!canbus::ObjectDictionary::load(path, od, errors, node_id_)) return false;
  load_dictionary(od);
  return true;
}

uint32_t NodeLogic::eds_abort_locked(Key key, const std::string* value, bool upload) const {
  if (!eds_) return 0;
  auto it = eds_->rules.find(key);
  if (it == eds_->rules.end()) {
    // An object set_object added on top of the file is served as set_object's objects are.
    if (od_.count(key) != 0) return 0;
    return eds_->indices.count(key.first) != 0 ? kAbortNoSubindex : kAbortNoObject;
  }
  const EdsRules::Rule& r = it->second;
  if (upload) return r.access == canbus::Access::kWO ? kAbortWriteOnly : 0;
  if (!canbus::access_writable(r.access)) return kAbortReadOnly;
  if (value == nullptr || canbus::is_byte_type(r.type)) return 0;
  // Sizes were checked by download_abort_locked; an expedited download without a size gives
  // four bytes, of which the type's own count.
  const size_t n = std::min(value->size(), canbus::data_type_bytes(r.type));
  const auto* data = reinterpret_cast<const uint8_t*>(value->data());
  if (r.type == canbus::DataType::kBoolean && n == 1 && data[0] > 1) return kAbortValueRange;
  canbus::Value v;
  if (!canbus::decode_value(r.type, data, n, v, nullptr)) return kAbortValueRange;
  const bool real = canbus::is_real_type(r.type);
  const bool sign = canbus::is_signed_type(r.type);
  auto less = [&](const canbus::Value& a, const canbus::Value& b) {
    return real   ? a.as_real() < b.as_real()
           : sign ? a.as_int() < b.as_int()
                  : a.as_uint() < b.as_uint();
  };
  if (!r.high.empty() && less(r.high, v)) return kAbortValueHigh;
  if (!r.low.empty() && less(v, r.low)) return kAbortValueLow;
  return 0;
}

}  // namespace sim
