// canbus-server: node dictionaries, typed SDO access by object name, and "od".
#include "od_requests.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace canbus_server {
namespace {

uint32_t key_of(const canbus::ObjectEntry& e) {
  return uint32_t{e.index} << 8 | e.subindex;
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string no_dictionary(const std::string& name) {
  return "error: " + name + " has no object dictionary (a " + name + ".EDS line): give INDEX SUB";
}

}  // namespace

bool NodeObjects::load(const std::string& name, const std::string& path, int node_id,
                       std::vector<std::string>& errors, bool strict) {
  auto od = std::make_shared<canbus::ObjectDictionary>();
  if (!canbus::ObjectDictionary::load(path, *od, errors, node_id, strict)) return false;
  std::lock_guard<std::mutex> lk(mx_);
  nodes_[name] = Node{std::move(od), {}};
  return true;
}

std::shared_ptr<const canbus::ObjectDictionary> NodeObjects::dictionary(
    const std::string& name) const {
  std::lock_guard<std::mutex> lk(mx_);
  auto it = nodes_.find(name);
  return it == nodes_.end() ? nullptr : it->second.od;
}

void NodeObjects::remember(const std::string& name, const canbus::ObjectEntry& e,
                           const std::string& text) {
  std::lock_guard<std::mutex> lk(mx_);
  auto it = nodes_.find(name);
  if (it != nodes_.end()) it->second.last[key_of(e)] = text;
}

void NodeObjects::remember_bytes(const std::string& name, int index, int subindex,
                                 const uint8_t* data, size_t n) {
  const auto od = dictionary(name);
  const canbus::ObjectEntry* e =
      od ? od->find(static_cast<uint16_t>(index), static_cast<uint8_t>(subindex)) : nullptr;
  canbus::Value v;
  if (e == nullptr) return;
  if (canbus::decode_value(e->data_type, data, n, v, nullptr)) {
    remember(name, *e, typed_answer(*e, v));
    return;
  }
  // Bytes that are no value of the entry's type: what was shown before is not held any more.
  std::lock_guard<std::mutex> lk(mx_);
  auto it = nodes_.find(name);
  if (it != nodes_.end()) it->second.last.erase(key_of(*e));
}

std::string NodeObjects::last(const std::string& name, const canbus::ObjectEntry& e) const {
  std::lock_guard<std::mutex> lk(mx_);
  auto it = nodes_.find(name);
  if (it == nodes_.end()) return "";
  auto v = it->second.last.find(key_of(e));
  return v == it->second.last.end() ? "" : v->second;
}

std::string typed_answer(const canbus::ObjectEntry& e, const canbus::Value& v) {
  std::string out;
  char buf[64];
  const canbus::DataType t = e.data_type;
  if (canbus::is_byte_type(t)) {
    if (t == canbus::DataType::kVisibleString) {
      out = "\"" + v.bytes() + "\"";
    } else {
      for (size_t i = 0; i < v.bytes().size(); ++i) {
        std::snprintf(buf, sizeof buf, i == 0 ? "%02X" : " %02X",
                      static_cast<unsigned char>(v.bytes()[i]));
        out += buf;
      }
      if (out.empty()) out = "(no bytes)";
    }
  } else {
    // The hex form is the bytes on the bus read as one little-endian number.
    std::vector<uint8_t> bytes;
    canbus::encode_value(t, v, bytes, nullptr);
    uint64_t raw = 0;
    for (size_t i = bytes.size(); i-- > 0;) raw = (raw << 8) | bytes[i];
    std::snprintf(buf, sizeof buf, " (0x%0*llX)", static_cast<int>(2 * bytes.size()),
                  static_cast<unsigned long long>(raw));
    out = v.text() + buf;
  }
  if (!e.unit.empty()) out += " " + e.unit;
  return out + " \"" + e.full_name + "\"";
}

std::string sdo_by_name(D_can* node, NodeObjects& objects, const std::vector<std::string>& a) {
  const auto od = objects.dictionary(node->name());
  if (!od) return no_dictionary(node->name());
  std::string why;
  const canbus::ObjectEntry* e = od->lookup(a[3], why);
  if (e == nullptr) return "error: " + why;
  const canbus::ObjectAccess access(*node, od);
  if (a[1] == "read") {
    canbus::Value v;
    const int r = access.read(e->index, e->subindex, v, &why);
    if (r != 0) return "error: " + why;
    const std::string text = typed_answer(*e, v);
    objects.remember(node->name(), *e, text);
    return text;
  }
  canbus::Value v;
  if (!canbus::parse_user_value(e->data_type, a[4], v, why)) {
    return "error: bad value for " + std::string(canbus::data_type_name(e->data_type)) + ": " + why;
  }
  const int r = access.write(e->index, e->subindex, v, &why);
  if (r != 0) return "error: " + why;
  objects.remember(node->name(), *e, typed_answer(*e, v));
  return "ok";
}

AnswerStream od_stream(const NodeObjects& objects, const std::vector<std::string>& a) {
  AnswerStream out;
  if (a.size() < 2 || a.size() > 3) {
    out.answer = "error: usage: od NAME [TEXT|warnings]";
    return out;
  }
  const auto od = objects.dictionary(a[1]);
  if (!od) {
    out.answer = no_dictionary(a[1]);
    return out;
  }
  if (a.size() == 3 && a[2] == "warnings") {
    if (od->warnings().empty()) out.answer = "no warnings in the EDS of " + a[1];
    for (const canbus::OdWarning& w : od->warnings())
      out.answer += (out.answer.empty() ? "" : "\n") + w.str();
    return out;
  }
  // The entries that match, as positions in the dictionary (none kept without TEXT): the count
  // is known before the first line, and the lines are made as they are sent.
  auto matches = std::make_shared<std::vector<uint32_t>>();
  const bool all = a.size() < 3 || a[2].empty();
  if (!all) {
    const std::string want = lower(a[2]);
    for (size_t i = 0; i < od->size(); ++i) {
      if (lower(od->entry(i).full_name).find(want) != std::string::npos)
        matches->push_back(static_cast<uint32_t>(i));
    }
  }
  out.lines = all ? od->size() : matches->size();
  if (out.lines == 0) {
    out.answer = "no object of " + a[1] + " has '" + (a.size() == 3 ? a[2] : "") + "' in its name";
    return out;
  }
  const std::string name = a[1];
  auto next = std::make_shared<size_t>(0);
  out.more = [&objects, od, matches, all, name, next](std::string& text, size_t bytes) {
    const size_t n = all ? od->size() : matches->size();
    const size_t start = text.size();
    char head[80];
    for (; *next < n && text.size() - start < bytes; ++*next) {
      const canbus::ObjectEntry& e = od->entry(all ? *next : (*matches)[*next]);
      std::snprintf(head, sizeof head, "0x%04X sub %-3u %-15s %-5s ", e.index, e.subindex,
                    canbus::data_type_name(e.data_type), canbus::access_name(e.access));
      std::string line = head + e.full_name;
      const std::string last = objects.last(name, e);
      if (!last.empty()) line += " = " + last.substr(0, last.rfind(" \""));
      text += printable(line) + "\n";
    }
    return *next < n;
  };
  return out;
}

std::string od_request(const NodeObjects& objects, const std::vector<std::string>& a) {
  AnswerStream s = od_stream(objects, a);
  if (!s.more) return s.answer;
  std::string out;
  while (s.more(out, size_t{1} << 20)) {
  }
  if (!out.empty()) out.pop_back();
  return out;
}

}  // namespace canbus_server
