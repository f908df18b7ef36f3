// The EDS/DCF reader: the INI syntax through inih, fed line by line by a reader of our own that
// counts lines (inih's handler is not told them), takes CRLF and leading blanks, and reports
// what inih would pass over quietly (a line without '=', an unclosed section header, a line too
// long for inih's buffer, a key outside any section, a key or section given twice). The
// dictionary is then built from the sections: nothing is kept unless the whole file is usable.
#include <ini.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

#include "can_od.h"

namespace canbus {
namespace {

constexpr size_t kMaxErrors = 100;

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  const size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

struct Key {
  std::string value;
  int line = 0;
};
struct Section {
  std::string name;  // as the file writes it
  int line = 0;
  std::map<std::string, Key> keys;  // by lower-case key
};

// Errors in the order found, with the file name in front, at most kMaxErrors of them.
class Errors {
 public:
  explicit Errors(const std::string& file) : file_(file) {}
  void at(int line, const std::string& why) {
    add(file_ + ":" + std::to_string(line) + ": " + why);
  }
  void in(const Section& s, const std::string& why) { add(file_ + ": [" + s.name + "]: " + why); }
  void file(const std::string& why) { add(file_ + ": " + why); }
  bool any() const { return !list_.empty(); }
  std::vector<std::string> take() {
    if (dropped_ > 0) list_.push_back("... and " + std::to_string(dropped_) + " more errors");
    return std::move(list_);
  }

 private:
  void add(std::string e) {
    if (list_.size() < kMaxErrors) {
      list_.push_back(std::move(e));
    } else {
      ++dropped_;
    }
  }
  std::string file_;
  std::vector<std::string> list_;
  size_t dropped_ = 0;
};

struct Ini {
  std::map<std::string, Section> sections;  // by lower-case name
};

struct ReadState {
  const std::string* text;
  size_t pos = 0;
  int line = 0;
  Errors* errors;
  Ini* ini;
  Section* current = nullptr;
  bool skipping = false;  // inside a section whose header was refused
};

int on_key(void* user, const char* section, const char* name, const char* value);

// inih's line source: one line of the text per call (without CR LF), or null at the end.
char* next_line(char* str, int num, void* stream) {
  auto* st = static_cast<ReadState*>(stream);
  const std::string& text = *st->text;
  if (st->pos >= text.size()) return nullptr;
  size_t end = text.find('\n', st->pos);
  if (end == std::string::npos) end = text.size();
  std::string l = text.substr(st->pos, end - st->pos);
  st->pos = end + 1;
  ++st->line;
  if (!l.empty() && l.back() == '\r') l.pop_back();
  if (st->line == 1 && l.compare(0, 3, "\xEF\xBB\xBF") == 0) l.erase(0, 3);
  l = trim(l);
  std::string checked;
  if (l.find('\0') != std::string::npos) {
    st->errors->at(st->line, "a NUL byte in the line");
  } else if (l.empty() || l[0] == ';' || l[0] == '#') {
    checked = l;
  } else if (l[0] == '[') {
    const size_t close = l.find(']');
    const std::string rest = close == std::string::npos ? "" : trim(l.substr(close + 1));
    if (close == std::string::npos || (!rest.empty() && rest[0] != ';')) {
      st->errors->at(st->line, "a section header without its closing ']'");
      st->current = nullptr;
      st->skipping = true;
    } else {
      const std::string name = trim(l.substr(1, close - 1));
      auto [it, fresh] = st->ini->sections.try_emplace(lower(name));
      if (!fresh) {
        st->errors->at(st->line, "section [" + name + "] again (first on line " +
                                     std::to_string(it->second.line) + ")");
        st->current = nullptr;
        st->skipping = true;
      } else {
        it->second.name = name;
        it->second.line = st->line;
        st->current = &it->second;
        st->skipping = false;
        checked = l;
      }
    }
  } else if (l.find('=') == std::string::npos) {
    st->errors->at(st->line, "neither a section header, a comment nor KEY=VALUE");
  } else if (st->current == nullptr) {
    // In a section already reported: passed over.
    if (!st->skipping) st->errors->at(st->line, "a key before the first section");
  } else if (l[0] == '=') {
    st->errors->at(st->line, "no key before '='");
  } else if (l.find(':') < l.find('=')) {
    // inih would end the key at the ':'.
    st->errors->at(st->line, "a ':' in the key");
  } else {
    checked = l;
  }
  if (checked.size() + 2 > static_cast<size_t>(num)) {
    // Longer than inih's line buffer: a key line is taken here as inih would take it (value
    // trimmed, a comment after " ;" cut off); comments are passed over.
    if (checked[0] == '[') {
      st->errors->at(st->line, "section header longer than " + std::to_string(num - 2) + " bytes");
    } else if (checked[0] != ';' && checked[0] != '#') {
      const size_t eq = checked.find('=');
      std::string value = checked.substr(eq + 1);
      for (size_t c = value.find(';'); c != std::string::npos; c = value.find(';', c + 1)) {
        if (c > 0 && (value[c - 1] == ' ' || value[c - 1] == '\t')) {
          value.erase(c);
          break;
        }
      }
      on_key(st, nullptr, trim(checked.substr(0, eq)).c_str(), trim(value).c_str());
    }
    checked.clear();
  }
  std::snprintf(str, static_cast<size_t>(num), "%s", checked.c_str());
  return str;
}

int on_key(void* user, const char* section, const char* name, const char* value) {
  auto* st = static_cast<ReadState*>(user);
  (void)section;  // the reader knows the section (inih keeps only the last header's name)
  if (st->current == nullptr) return 1;
  const std::string key = lower(name);
  auto [it, fresh] = st->current->keys.try_emplace(key, Key{value, st->line});
  if (!fresh) {
    st->errors->at(st->line, std::string(name) + " again in [" + st->current->name +
                                 "] (first on line " + std::to_string(it->second.line) + ")");
  }
  return 1;
}

// A non-negative integer in decimal, 0x hex or leading-zero octal.
bool uint_text(const std::string& s, uint64_t max, uint64_t& v) {
  Value out;
  std::string why;
  if (!parse_eds_value(DataType::kUnsigned64, s, 0, out, why)) return false;
  if (out.kind() != Value::Kind::kUInt || out.as_uint() > max) return false;
  v = out.as_uint();
  return true;
}

bool hex_word(const std::string& s, size_t n, uint32_t& v) {
  if (s.size() != n) return false;
  v = 0;
  for (char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (!std::isxdigit(u)) return false;
    v = v * 16 + static_cast<uint32_t>(std::isdigit(u) ? u - '0' : std::tolower(u) - 'a' + 10);
  }
  return true;
}

std::string hex4(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%04X", v);
  return buf;
}

bool access_from(const std::string& s, Access& a) {
  static const std::pair<const char*, Access> kNames[] = {
      {"ro", Access::kRO},   {"wo", Access::kWO},   {"rw", Access::kRW},
      {"rwr", Access::kRWR}, {"rww", Access::kRWW}, {"const", Access::kConst}};
  const std::string l = lower(trim(s));
  for (const auto& [n, v] : kNames) {
    if (l == n) {
      a = v;
      return true;
    }
  }
  return false;
}

int compare(DataType t, const Value& a, const Value& b) {
  if (is_real_type(t)) return a.as_real() < b.as_real() ? -1 : a.as_real() > b.as_real() ? 1 : 0;
  if (is_signed_type(t)) return a.as_int() < b.as_int() ? -1 : a.as_int() > b.as_int() ? 1 : 0;
  return a.as_uint() < b.as_uint() ? -1 : a.as_uint() > b.as_uint() ? 1 : 0;
}

}  // namespace

// Builds the dictionary from the sections of a file.
struct OdBuilder {
  const Ini& ini;
  Errors& err;
  int node_id;
  std::vector<ObjectEntry> entries;
  std::vector<uint16_t> objects;

  const Section* section(const std::string& lower_name) const {
    auto it = ini.sections.find(lower_name);
    return it == ini.sections.end() ? nullptr : &it->second;
  }
  static const Key* key(const Section& s, const char* k) {
    auto it = s.keys.find(k);
    return it == s.keys.end() ? nullptr : &it->second;
  }
  // A key with a value that is not blank.
  static bool given(const Section& s, const char* k) {
    const Key* e = key(s, k);
    return e != nullptr && !trim(e->value).empty();
  }
  // A number key: false when it is absent or blank (no error) or not a number up to `max`.
  bool uint_key(const Section& s, const char* k, uint64_t max, uint64_t& v, const char* what) {
    const Key* e = key(s, k);
    if (e == nullptr || trim(e->value).empty()) return false;
    if (!uint_text(trim(e->value), max, v)) {
      err.at(e->line,
             std::string(what) + " '" + e->value + "' is not a number 0.." + std::to_string(max));
      return false;
    }
    return true;
  }

  // The keys of one sub-object section `s` (a VAR or DOMAIN); false when it cannot be used.
  bool var_entry(const Section& s, ObjectEntry& e) {
    bool ok = true;
    uint64_t ot = static_cast<uint64_t>(ObjectType::kVar);
    if (const Key* k = key(s, "objecttype")) {
      if (!uint_text(trim(k->value), 0xFF, ot) || (ot != 7 && ot != 2)) {
        err.at(k->line,
               "ObjectType '" + k->value + "' of a sub-object is not VAR (7) or DOMAIN (2)");
        return false;
      }
    }
    e.object_type = static_cast<ObjectType>(ot);
    const Key* name = key(s, "parametername");
    if (name == nullptr || trim(name->value).empty()) {
      err.in(s, "no ParameterName");
      ok = false;
    } else {
      e.name = trim(name->value);
    }
    return typed_keys(s, s, e) && ok;
  }

  // DataType, AccessType, PDOMapping, limits and values of `e` from `s` (and, for a compact
  // array's sub-objects, the object's section `own` for the ParameterValue of a DCF).
  bool typed_keys(const Section& s, const Section& own, ObjectEntry& e) {
    bool ok = true;
    uint64_t code = 0;
    const Key* dt = key(s, "datatype");
    if (dt == nullptr) {
      if (e.object_type == ObjectType::kDomain) {
        e.data_type = DataType::kDomain;
      } else {
        err.in(s, "no DataType");
        ok = false;
      }
    } else if (!uint_text(trim(dt->value), 0xFFFF, code) ||
               !data_type_from_code(static_cast<uint32_t>(code), e.data_type)) {
      err.at(dt->line, "DataType '" + dt->value + "' is not a standard data type");
      ok = false;
    }
    const Key* at = key(s, "accesstype");
    if (at == nullptr) {
      if (e.object_type == ObjectType::kDomain) {
        e.access = Access::kRW;
      } else {
        err.in(s, "no AccessType");
        ok = false;
      }
    } else if (!access_from(at->value, e.access)) {
      err.at(at->line, "AccessType '" + at->value + "' is not ro, wo, rw, rwr, rww or const");
      ok = false;
    }
    uint64_t v = 0;
    if (uint_key(s, "pdomapping", 1, v, "PDOMapping"))
      e.pdo_mapping = v == 1;
    else if (given(s, "pdomapping"))
      ok = false;
    if (uint_key(s, "objflags", 0xFFFFFFFF, v, "ObjFlags"))
      e.obj_flags = static_cast<uint32_t>(v);
    else if (given(s, "objflags"))
      ok = false;
    if (const Key* u = key(s, "unit")) e.unit = trim(u->value);
    if (!ok) return false;

    const bool numeric = !is_byte_type(e.data_type);
    for (const char* lim : {"lowlimit", "highlimit"}) {
      const Key* k = key(s, lim);
      if (k != nullptr && !numeric && !trim(k->value).empty()) {
        err.at(k->line, std::string(lim[0] == 'l' ? "LowLimit" : "HighLimit") + " for a " +
                            data_type_name(e.data_type));
        ok = false;
      }
    }
    if (numeric) {
      ok = limit(s, "lowlimit", "LowLimit", e.data_type, e.low) && ok;
      ok = limit(s, "highlimit", "HighLimit", e.data_type, e.high) && ok;
    }
    ok = value(s, "defaultvalue", "DefaultValue", e, e.default_value, &e.nodeid_relative) && ok;
    ok = value(own, "parametervalue", "ParameterValue", e, e.parameter_value, nullptr) && ok;
    if (ok && !e.low.empty() && !e.high.empty() && compare(e.data_type, e.low, e.high) > 0) {
      err.at(key(s, "highlimit")->line,
             "HighLimit " + e.high.text() + " below LowLimit " + e.low.text());
      ok = false;
    }
    return ok;
  }

  bool limit(const Section& s, const char* k, const char* what, DataType t, Value& out) {
    const Key* e = key(s, k);
    if (e == nullptr || trim(e->value).empty()) return true;
    std::string why;
    if (!parse_eds_value(t, e->value, node_id, out, why)) {
      err.at(e->line, std::string(what) + " " + why);
      return false;
    }
    return true;
  }

  bool value(const Section& s, const char* k, const char* what, const ObjectEntry& e, Value& out,
             bool* nodeid) {
    const Key* kv = key(s, k);
    if (kv == nullptr) {
      if (is_byte_type(e.data_type) && k[0] == 'd') out = Value::of_bytes("");
      return true;
    }
    if (trim(kv->value).empty() && !is_byte_type(e.data_type)) return true;
    std::string why;
    if (!parse_eds_value(e.data_type, kv->value, node_id, out, why, nodeid)) {
      err.at(kv->line, std::string(what) + " " + why);
      return false;
    }
    if (!e.low.empty() && compare(e.data_type, out, e.low) < 0) {
      err.at(kv->line, std::string(what) + " " + out.text() + " below LowLimit " + e.low.text());
      return false;
    }
    if (!e.high.empty() && compare(e.data_type, out, e.high) > 0) {
      err.at(kv->line, std::string(what) + " " + out.text() + " above HighLimit " + e.high.text());
      return false;
    }
    return true;
  }

  void add(ObjectEntry e, const std::string& object_name, ObjectType parent) {
    e.parent_type = parent;
    e.full_name = parent == ObjectType::kArray || parent == ObjectType::kRecord
                      ? object_name + "." + e.name
                      : e.name;
    entries.push_back(std::move(e));
  }

  // One object section [XXXX] with its sub-objects.
  void object(uint16_t index, const Section& s) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "%04x", index);
    const std::string base(hex);
    objects.push_back(index);
    uint64_t ot = static_cast<uint64_t>(ObjectType::kVar);
    if (const Key* k = key(s, "objecttype")) {
      if (!uint_text(trim(k->value), 0xFF, ot) ||
          (ot != 0 && ot != 2 && ot != 5 && ot != 6 && ot != 7 && ot != 8 && ot != 9)) {
        err.at(k->line, "ObjectType '" + k->value + "' is not 0, 2, 5, 6, 7, 8 or 9");
        return;
      }
    }
    const auto type = static_cast<ObjectType>(ot);
    const Key* pn = key(s, "parametername");
    if (pn == nullptr || trim(pn->value).empty()) {
      err.in(s, "no ParameterName");
      return;
    }
    const std::string name = trim(pn->value);
    // Sub-object sections of this object, by sub-index.
    std::map<uint8_t, const Section*> subs;
    const std::string prefix = base + "sub";
    for (auto it = ini.sections.lower_bound(prefix);
         it != ini.sections.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it) {
      const std::string& lname = it->first;
      const Section& sec = it->second;
      if (lname.size() < 8) continue;
      uint32_t sub = 0;
      const std::string tail = lname.substr(7);
      if ((!hex_word(tail, 1, sub) && !hex_word(tail, 2, sub))) continue;  // reported as stray
      auto [at, fresh] = subs.emplace(static_cast<uint8_t>(sub), &sec);
      if (!fresh) {
        err.in(sec,
               "sub-index " + std::to_string(sub) + " again (first [" + at->second->name + "])");
        return;
      }
    }
    if (type == ObjectType::kNull || type == ObjectType::kDeftype ||
        type == ObjectType::kDefstruct) {
      return;  // type definitions: not objects a master reads or writes
    }
    if (type == ObjectType::kVar || type == ObjectType::kDomain) {
      if (!subs.empty()) {
        err.in(*subs.begin()->second, "object " + hex4(index) + " is a " + object_type_name(type) +
                                          " and has no sub-objects");
        return;
      }
      ObjectEntry e;
      e.index = index;
      e.line = s.line;
      e.object_type = type;
      e.name = name;
      if (typed_keys(s, s, e)) add(std::move(e), name, type);
      return;
    }
    uint64_t compact = 0;
    if (given(s, "compactsubobj") && !uint_key(s, "compactsubobj", 0xFE, compact, "CompactSubObj"))
      return;
    if (compact != 0) {
      if (type != ObjectType::kArray) {
        err.at(key(s, "compactsubobj")->line, "CompactSubObj in a RECORD");
        return;
      }
      if (!subs.empty()) {
        err.in(*subs.begin()->second, "sub-object section of an object with CompactSubObj");
        return;
      }
      compact_array(index, s, name, static_cast<unsigned>(compact));
      return;
    }
    uint64_t count = 0;
    if (!uint_key(s, "subnumber", 0xFF, count, "SubNumber")) {
      if (!given(s, "subnumber")) err.in(s, "no SubNumber for an ARRAY or RECORD");
      return;
    }
    if (subs.size() != count) {
      err.at(key(s, "subnumber")->line, "SubNumber " + std::to_string(count) + " but " +
                                            std::to_string(subs.size()) + " sub-object sections");
      return;
    }
    if (count > 0 && subs.count(0) == 0) {
      err.in(s, "no sub-object 0 (the number of entries)");
      return;
    }
    for (const auto& [sub, sec] : subs) {
      ObjectEntry e;
      e.index = index;
      e.subindex = sub;
      e.line = sec->line;
      if (var_entry(*sec, e)) add(std::move(e), name, type);
    }
  }

  // An ARRAY written with CompactSubObj=n: sub-object 0 holds n, sub-objects 1..n take the
  // object's keys; names from [XXXXName], DCF values from [XXXXValue].
  void compact_array(uint16_t index, const Section& s, const std::string& name, unsigned n) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "%04x", index);
    const Section* names = section(std::string(hex) + "name");
    const Section* values = section(std::string(hex) + "value");
    ObjectEntry count;
    count.index = index;
    count.line = s.line;
    count.name = "NrOfObjects";
    count.data_type = DataType::kUnsigned8;
    count.access = Access::kRO;
    count.default_value = Value::of_uint(n);
    add(count, name, ObjectType::kArray);
    for (unsigned sub = 1; sub <= n; ++sub) {
      ObjectEntry e;
      e.index = index;
      e.subindex = static_cast<uint8_t>(sub);
      e.line = s.line;
      e.name = name + std::to_string(sub);
      const std::string k = std::to_string(sub);
      if (names != nullptr) {
        if (const Key* nk = key(*names, k.c_str()); nk != nullptr && !trim(nk->value).empty())
          e.name = trim(nk->value);
      }
      // The ParameterValue of a sub-object lives in [XXXXValue] under its sub-index.
      Section own;
      own.name = s.name;
      if (values != nullptr) {
        if (const Key* vk = key(*values, k.c_str())) own.keys["parametervalue"] = *vk;
      }
      if (!typed_keys(s, own, e)) return;  // the same keys fail for every sub-object
      add(std::move(e), name, ObjectType::kArray);
    }
    for (const Section* extra : {names, values}) {
      if (extra == nullptr) continue;
      for (const auto& [k, v] : extra->keys) {
        uint64_t sub = 0;
        if (k == "nrofentries") continue;
        if (!uint_text(k, 0xFE, sub) || sub == 0 || sub > n)
          err.at(v.line, "entry '" + k + "' outside the sub-objects 1.." + std::to_string(n));
      }
    }
  }
};

const char* object_type_name(ObjectType t) {
  switch (t) {
    case ObjectType::kNull:
      return "NULL";
    case ObjectType::kDomain:
      return "DOMAIN";
    case ObjectType::kDeftype:
      return "DEFTYPE";
    case ObjectType::kDefstruct:
      return "DEFSTRUCT";
    case ObjectType::kVar:
      return "VAR";
    case ObjectType::kArray:
      return "ARRAY";
    case ObjectType::kRecord:
      return "RECORD";
  }
  return "?";
}

const char* access_name(Access a) {
  switch (a) {
    case Access::kRO:
      return "ro";
    case Access::kWO:
      return "wo";
    case Access::kRW:
      return "rw";
    case Access::kRWR:
      return "rwr";
    case Access::kRWW:
      return "rww";
    case Access::kConst:
      return "const";
  }
  return "?";
}

bool ObjectDictionary::load(const std::string& path, ObjectDictionary& out,
                            std::vector<std::string>& errors, int node_id) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    errors.push_back(path + ": cannot be read");
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    errors.push_back(path + ": cannot be read");
    return false;
  }
  return parse(text.str(), path, out, errors, node_id);
}

bool ObjectDictionary::parse(const std::string& text, const std::string& name,
                             ObjectDictionary& out, std::vector<std::string>& errors, int node_id) {
  Errors err(name);
  Ini ini;
  ReadState st{&text, 0, 0, &err, &ini, nullptr};
  ini_parse_stream(next_line, &st, on_key, &st);
  if (node_id < 0 || node_id > 127) err.file("node id " + std::to_string(node_id) + " not 0..127");

  ObjectDictionary od;
  OdBuilder b{ini, err, 0, {}, {}};
  // [DeviceComissioning] (CiA 306 spells it so; the common spelling is taken too).
  const Section* dc = b.section("devicecomissioning");
  if (dc == nullptr) dc = b.section("devicecommissioning");
  uint64_t v = 0;
  if (dc != nullptr) {
    if (b.uint_key(*dc, "nodeid", 127, v, "NodeID")) od.dcf_node_id_ = static_cast<int>(v);
    if (b.uint_key(*dc, "baudrate", 1000000, v, "Baudrate")) od.baud_rate_ = static_cast<int>(v);
  }
  od.node_id_ = node_id != 0 ? node_id : od.dcf_node_id_;
  b.node_id = od.node_id_;
  if (const Section* di = b.section("deviceinfo")) {
    if (const Key* k = OdBuilder::key(*di, "vendorname")) od.vendor_name_ = trim(k->value);
    if (const Key* k = OdBuilder::key(*di, "productname")) od.product_name_ = trim(k->value);
  }
  if (const Section* du = b.section("dummyusage")) {
    for (const auto& [k, kv] : du->keys) {
      uint32_t code = 0;
      if (k.compare(0, 5, "dummy") != 0 || !hex_word(k.substr(5), 4, code) || code > 31) continue;
      if (b.uint_key(*du, k.c_str(), 1, v, k.c_str()) && v == 1) od.dummy_mask_ |= 1u << code;
    }
  }

  // The object lists: every object listed must have its section.
  std::map<uint32_t, std::string> listed;
  for (const char* list : {"mandatoryobjects", "optionalobjects", "manufacturerobjects"}) {
    const Section* s = b.section(list);
    if (s == nullptr) continue;
    uint64_t n = 0;
    if (!b.uint_key(*s, "supportedobjects", 0xFFFF, n, "SupportedObjects")) {
      if (!OdBuilder::given(*s, "supportedobjects")) err.in(*s, "no SupportedObjects");
      continue;
    }
    for (const auto& [k, kv] : s->keys) {
      if (k == "supportedobjects") continue;
      uint64_t at = 0;
      if (!uint_text(k, 0xFFFF, at) || at == 0 || at > n) {
        err.at(kv.line,
               "entry '" + k + "' outside 1..SupportedObjects (" + std::to_string(n) + ")");
        continue;
      }
      uint64_t index = 0;
      if (!uint_text(trim(kv.value), 0xFFFF, index)) {
        err.at(kv.line, "'" + kv.value + "' is not an object index");
        continue;
      }
      char sec[8];
      std::snprintf(sec, sizeof sec, "%04x", static_cast<unsigned>(index));
      if (!listed.emplace(static_cast<uint32_t>(index), s->name).second) {
        err.at(kv.line, "object " + hex4(static_cast<uint32_t>(index)) +
                            " listed again (first in [" + listed[static_cast<uint32_t>(index)] +
                            "])");
      } else if (b.section(sec) == nullptr) {
        err.at(kv.line,
               "object " + hex4(static_cast<uint32_t>(index)) + " has no section [" + sec + "]");
      }
    }
    for (uint64_t k = 1; k <= n; ++k) {
      if (OdBuilder::key(*s, std::to_string(k).c_str()) == nullptr) {
        err.in(*s, "no entry " + std::to_string(k) + " of SupportedObjects=" + std::to_string(n));
        break;
      }
    }
  }

  // Objects, in index order; sub-object sections without their object are an error.
  for (const auto& [lname, sec] : ini.sections) {
    uint32_t index = 0;
    if (hex_word(lname, 4, index)) {
      b.object(static_cast<uint16_t>(index), sec);
    } else if (lname.size() >= 8 && hex_word(lname.substr(0, 4), 4, index) &&
               lname.compare(4, 3, "sub") == 0) {
      uint32_t sub = 0;
      const std::string tail = lname.substr(7);
      if (!hex_word(tail, 1, sub) && !hex_word(tail, 2, sub)) {
        err.in(sec, "not a sub-index in hex");
      } else if (b.section(lname.substr(0, 4)) == nullptr) {
        err.in(sec, "no object section [" + sec.name.substr(0, 4) + "]");
      }
    }
  }
  if (b.entries.empty() && !err.any()) err.file("no objects");
  if (err.any()) {
    auto e = err.take();
    errors.insert(errors.end(), e.begin(), e.end());
    return false;
  }

  std::sort(b.entries.begin(), b.entries.end(), [](const ObjectEntry& x, const ObjectEntry& y) {
    return x.index != y.index ? x.index < y.index : x.subindex < y.subindex;
  });
  od.entries_ = std::move(b.entries);
  od.objects_ = std::move(b.objects);
  std::sort(od.objects_.begin(), od.objects_.end());
  for (size_t i = 0; i < od.entries_.size(); ++i) {
    const ObjectEntry& e = od.entries_[i];
    od.by_key_[uint32_t{e.index} << 8 | e.subindex] = i;
    od.by_name_.emplace(e.full_name, i);
  }
  out = std::move(od);
  return true;
}

const ObjectEntry* ObjectDictionary::find(uint16_t index, uint8_t subindex) const {
  auto it = by_key_.find(uint32_t{index} << 8 | subindex);
  return it == by_key_.end() ? nullptr : &entries_[it->second];
}

const ObjectEntry* ObjectDictionary::find(const std::string& name) const {
  std::string why;
  return lookup(name, why);
}

const ObjectEntry* ObjectDictionary::lookup(const std::string& name, std::string& why) const {
  auto [first, last] = by_name_.equal_range(name);
  if (first == last) {
    why = "no object named '" + name + "'";
    return nullptr;
  }
  if (std::next(first) == last) return &entries_[first->second];
  why = "'" + name + "' is ambiguous:";
  char buf[24];
  for (auto it = first; it != last; ++it) {
    const ObjectEntry& e = entries_[it->second];
    std::snprintf(buf, sizeof buf, " 0x%04X sub %u", e.index, e.subindex);
    why += buf;
    if (std::next(it) != last) why += ",";
  }
  why += " (use the index and sub-index)";
  return nullptr;
}

bool ObjectDictionary::has_object(uint16_t index) const {
  return std::binary_search(objects_.begin(), objects_.end(), index);
}

std::vector<const ObjectEntry*> ObjectDictionary::entries() const {
  std::vector<const ObjectEntry*> out;
  out.reserve(entries_.size());
  for (const ObjectEntry& e : entries_) out.push_back(&e);
  return out;
}

bool ObjectDictionary::dummy_usage(DataType t) const {
  const auto code = static_cast<uint32_t>(t);
  return code < 32 && (dummy_mask_ & (1u << code)) != 0;
}

}  // namespace canbus
