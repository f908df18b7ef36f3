// The EDS/DCF reader: the INI syntax through inih, fed line by line by a reader of our own that
// counts lines (inih's handler is not told them), takes CRLF and leading blanks, and reports
// what inih would pass over quietly (a line without '=', an unclosed section header, a line too
// long for inih's buffer, a key outside any section, a key or section given twice). The
// dictionary is then built from the sections. What cannot be known (an object's index, data type
// or structure) refuses the file; what is only wrong or odd is a warning with the reading taken,
// or an error in a strict reading.
#include <fcntl.h>
#include <ini.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <list>
#include <set>
#include <sstream>

#include "can_od.h"

namespace canbus {
namespace {

constexpr size_t kMaxErrors = 100;

// The whole of a regular file, at most kMaxFileBytes: a FIFO, a device or an endless file
// (/dev/zero) is refused with a reason, never waited on or read into memory without bound.
constexpr off_t kMaxFileBytes = off_t{64} << 20;

bool read_limited(const std::string& path, std::string& out, std::string& why) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    why = std::string("cannot be read: ") + std::strerror(errno);
    return false;
  }
  struct stat st {};
  bool ok = false;
  if (::fstat(fd, &st) != 0) {
    why = std::string("cannot be read: ") + std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    why = "not a regular file";
  } else if (st.st_size > kMaxFileBytes) {
    why = "larger than 64 MB";
  } else {
    out.clear();
    out.reserve(static_cast<size_t>(st.st_size));
    char buf[65536];
    for (ok = true; ok;) {
      const ssize_t k = ::read(fd, buf, sizeof buf);
      if (k < 0 && errno == EINTR) continue;
      if (k < 0) why = std::string("cannot be read: ") + std::strerror(errno), ok = false;
      if (k <= 0) break;
      out.append(buf, static_cast<size_t>(k));
      if (out.size() > static_cast<size_t>(kMaxFileBytes)) why = "larger than 64 MB", ok = false;
    }
  }
  ::close(fd);
  return ok;
}

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

// Errors and warnings in the order found, with the file name in front, at most kMaxErrors of
// each. A warning is an error in a strict reading; its text there is the reason alone, as the
// reader has always told it, without the reading taken.
class Errors {
 public:
  Errors(const std::string& file, bool strict) : file_(file), strict_(strict) {}
  void at(int line, const std::string& why) {
    add(file_ + ":" + std::to_string(line) + ": " + why);
  }
  void in(const Section& s, const std::string& why) { at(s.line, "[" + s.name + "]: " + why); }
  void file(const std::string& why) { add(file_ + ": " + why); }
  void warn_at(int line, const std::string& why, const std::string& taken) {
    if (strict_) {
      at(line, why);
    } else if (warnings_.size() < kMaxErrors) {
      warnings_.push_back({file_, line, taken.empty() ? why : why + ": " + taken});
    } else {
      ++dropped_warnings_;
    }
  }
  void warn_in(const Section& s, const std::string& why, const std::string& taken) {
    warn_at(s.line, "[" + s.name + "]: " + why, taken);
  }
  bool strict() const { return strict_; }
  bool any() const { return !list_.empty(); }
  std::vector<std::string> take() {
    if (dropped_ > 0) list_.push_back("... and " + std::to_string(dropped_) + " more errors");
    return std::move(list_);
  }
  std::vector<OdWarning> take_warnings() {
    if (dropped_warnings_ > 0)
      warnings_.push_back({file_, 0, "... and " + std::to_string(dropped_warnings_) + " more"});
    return std::move(warnings_);
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
  bool strict_;
  std::vector<std::string> list_;
  std::vector<OdWarning> warnings_;
  size_t dropped_ = 0;
  size_t dropped_warnings_ = 0;
};

struct Ini {
  std::map<std::string, Section> sections;  // by lower-case name
  // Sections given again: each with the first of its name, compared when the text is read.
  std::list<std::pair<Section, const Section*>> again;
};

// Whether a section (lower-case name) defines an object or a part of one: XXXX, XXXXsubN,
// XXXXName and XXXXValue.
bool object_section(const std::string& lname) {
  if (lname.size() < 4 || !std::all_of(lname.begin(), lname.begin() + 4, [](char c) {
        return std::isxdigit(static_cast<unsigned char>(c)) != 0;
      }))
    return false;
  const std::string tail = lname.substr(4);
  return tail.empty() || tail.compare(0, 3, "sub") == 0 || tail == "name" || tail == "value";
}

// Bytes that are not UTF-8 read as the Latin-1 characters they are in the old code pages of
// Windows; `first` is the first such byte. False when the text is UTF-8 already.
bool latin1_to_utf8(std::string& s, unsigned char& first) {
  std::string out;
  bool changed = false;
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80                          ? 1
               : (c & 0xE0) == 0xC0 && c >= 0xC2 ? 2
               : (c & 0xF0) == 0xE0              ? 3
               : (c & 0xF8) == 0xF0 && c <= 0xF4 ? 4
                                                 : 0;
    for (size_t k = 1; k < n; ++k) {
      if (i + k >= s.size() || (static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) n = 0;
    }
    if (n == 0) {
      if (!changed) first = c;
      changed = true;
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
      ++i;
    } else {
      out.append(s, i, n);
      i += n;
    }
  }
  if (changed) s = std::move(out);
  return changed;
}

std::string hex2(unsigned char c) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", c);
  return buf;
}

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
  Errors& err = *st->errors;
  if (!l.empty() && l.back() == '\r') l.pop_back();
  if (st->line == 1 && l.compare(0, 3, "\xEF\xBB\xBF") == 0) l.erase(0, 3);
  l = trim(l);
  std::string checked;
  unsigned char bad = 0;
  const bool comment = l.empty() || l[0] == ';' || l[0] == '#';
  const bool latin1 = l.find('\0') == std::string::npos && latin1_to_utf8(l, bad);
  if (latin1) {
    err.warn_at(st->line,
                "a byte that is not UTF-8 (" + hex2(bad) + ")" + (comment ? " in a comment" : ""),
                comment ? "ignored" : "read as Latin-1");
  }
  if (l.find('\0') != std::string::npos) {
    err.warn_at(st->line, "a NUL byte in the line", "ignored");
  } else if (comment) {
    checked = l;
  } else if (latin1 && err.strict()) {
    // Refused.
  } else if (l[0] == '[') {
    const size_t close = l.find(']');
    const std::string rest = close == std::string::npos ? "" : trim(l.substr(close + 1));
    if (close == std::string::npos || (!rest.empty() && rest[0] != ';')) {
      err.warn_at(st->line, "a section header without its closing ']'", "its keys are ignored");
      st->current = nullptr;
      st->skipping = true;
    } else {
      const std::string name = trim(l.substr(1, close - 1));
      auto [it, fresh] = st->ini->sections.try_emplace(lower(name));
      if (!fresh) {
        // Compared with the first when the text is read.
        st->ini->again.emplace_back(Section{name, st->line, {}}, &it->second);
        st->current = &st->ini->again.back().first;
      } else {
        it->second.name = name;
        it->second.line = st->line;
        st->current = &it->second;
      }
      st->skipping = false;
      checked = l;
    }
  } else if (l.find('=') == std::string::npos) {
    err.warn_at(st->line, "neither a section header, a comment nor KEY=VALUE", "ignored");
  } else if (st->current == nullptr) {
    // In a section already reported: passed over.
    if (!st->skipping) err.warn_at(st->line, "a key before the first section", "ignored");
  } else if (l[0] == '=') {
    err.warn_at(st->line, "no key before '='", "ignored");
  } else if (l.find(':') < l.find('=')) {
    // inih would end the key at the ':'.
    err.warn_at(st->line, "a ':' in the key", "ignored");
  } else {
    checked = l;
  }
  if (checked.size() + 2 > static_cast<size_t>(num)) {
    // Longer than inih's line buffer: a key line is taken here as inih would take it (value
    // trimmed, a comment after " ;" cut off); comments are passed over.
    if (checked[0] == '[') {
      err.at(st->line, "section header longer than " + std::to_string(num - 2) + " bytes");
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
    const std::string why = std::string(name) + " again in [" + st->current->name +
                            "] (first on line " + std::to_string(it->second.line) + ")";
    if (it->second.value == value) {
      st->errors->warn_at(st->line, why, "the same value");
    } else if (object_section(lower(st->current->name))) {
      st->errors->at(st->line, why);  // which one the object has cannot be known
    } else {
      st->errors->warn_at(st->line, why, "the first is taken");
    }
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
  // A number key: false when it is absent or blank (nothing told) or not a number up to `max`
  // (an error, or with `taken` a warning that says what is taken instead).
  bool uint_key(const Section& s, const char* k, uint64_t max, uint64_t& v, const char* what,
                const char* taken = nullptr) {
    const Key* e = key(s, k);
    if (e == nullptr || trim(e->value).empty()) return false;
    if (!uint_text(trim(e->value), max, v)) {
      const std::string why =
          std::string(what) + " '" + e->value + "' is not a number 0.." + std::to_string(max);
      if (taken != nullptr) {
        err.warn_at(e->line, why, taken);
      } else {
        err.at(e->line, why);
      }
      return false;
    }
    return true;
  }

  // The keys of one sub-object section `s` (a VAR or DOMAIN); false when it cannot be used.
  bool var_entry(const Section& s, ObjectEntry& e) {
    uint64_t ot = static_cast<uint64_t>(ObjectType::kVar);
    if (const Key* k = key(s, "objecttype")) {
      if (!uint_text(trim(k->value), 0xFF, ot) || (ot != 7 && ot != 2)) {
        err.at(k->line,
               "ObjectType '" + k->value + "' of a sub-object is not VAR (7) or DOMAIN (2)");
        return false;
      }
    }
    e.object_type = static_cast<ObjectType>(ot);
    e.name = name_of(s);
    return typed_keys(s, s, e);
  }

  // The ParameterName of a section, or (with a warning) the section's name.
  std::string name_of(const Section& s) {
    const Key* pn = key(s, "parametername");
    if (pn == nullptr || trim(pn->value).empty()) {
      err.warn_in(s, "no ParameterName", "named " + s.name);
      return s.name;
    }
    return trim(pn->value);
  }

  // DataType, AccessType, PDOMapping, limits and values of `e` from `s` (and, for a compact
  // array's sub-objects, the object's section `own` for the ParameterValue of a DCF). False
  // when the data type cannot be known.
  bool typed_keys(const Section& s, const Section& own, ObjectEntry& e) {
    uint64_t code = 0;
    const Key* dt = key(s, "datatype");
    if (dt == nullptr) {
      if (e.object_type != ObjectType::kDomain) {
        err.in(s, "no DataType");
        return false;
      }
      e.data_type = DataType::kDomain;
    } else if (!uint_text(trim(dt->value), 0xFFFF, code) ||
               !data_type_from_code(static_cast<uint32_t>(code), e.data_type)) {
      err.at(dt->line, "DataType '" + dt->value + "' is not a standard data type");
      return false;
    }
    const Key* at = key(s, "accesstype");
    if (at == nullptr) {
      e.access = Access::kRW;
      if (e.object_type != ObjectType::kDomain) err.warn_in(s, "no AccessType", "rw taken");
    } else if (!access_from(at->value, e.access)) {
      e.access = Access::kRW;
      err.warn_at(at->line, "AccessType '" + at->value + "' is not ro, wo, rw, rwr, rww or const",
                  "rw taken");
    }
    uint64_t v = 0;
    if (uint_key(s, "pdomapping", 1, v, "PDOMapping", "not mappable")) e.pdo_mapping = v == 1;
    if (uint_key(s, "objflags", 0xFFFFFFFF, v, "ObjFlags", "0 taken"))
      e.obj_flags = static_cast<uint32_t>(v);
    if (const Key* u = key(s, "unit")) e.unit = trim(u->value);

    const bool numeric = !is_byte_type(e.data_type);
    for (const char* lim : {"lowlimit", "highlimit"}) {
      const Key* k = key(s, lim);
      if (k != nullptr && !numeric && !trim(k->value).empty()) {
        err.warn_at(k->line,
                    std::string(lim[0] == 'l' ? "LowLimit" : "HighLimit") + " for a " +
                        data_type_name(e.data_type),
                    "ignored");
      }
    }
    if (numeric) {
      limit(s, "lowlimit", "LowLimit", e.data_type, e.low);
      limit(s, "highlimit", "HighLimit", e.data_type, e.high);
      if (!e.low.empty() && !e.high.empty() && compare(e.data_type, e.low, e.high) > 0) {
        err.warn_at(key(s, "highlimit")->line,
                    "HighLimit " + e.high.text() + " below LowLimit " + e.low.text(),
                    "both ignored");
        e.low = Value();
        e.high = Value();
      }
    }
    value(s, "defaultvalue", "DefaultValue", e, e.default_value, &e.nodeid_relative);
    value(own, "parametervalue", "ParameterValue", e, e.parameter_value, nullptr);
    if (const Key* pv = key(own, "parametervalue")) e.parameter_line = pv->line;
    return true;
  }

  // The text of key `k` as type `t`. What a sloppy file means is taken with a warning: a signed
  // number written as the unsigned one of the type's width (two's complement), a comment after
  // ';' without a blank before it, NULL for no bytes. Otherwise (and in a strict reading) the
  // reason is told and false returned.
  // Texts and domains may be empty; TIME_OF_DAY and TIME_DIFFERENCE have their fixed six bytes or
  // no value at all.
  static bool variable_bytes(DataType t) { return is_byte_type(t) && data_type_bytes(t) == 0; }

  bool typed_text(DataType t, const Key& k, const char* what, Value& out, bool* nodeid) {
    std::string why;
    if (parse_eds_value(t, k.value, node_id, out, why, nodeid)) return true;
    const std::string head = std::string(what) + " ";
    if (err.strict()) {
      err.at(k.line, head + why);
      return false;
    }
    std::string text = trim(k.value);
    const size_t semi = text.find(';');
    if (semi != std::string::npos && t != DataType::kVisibleString) {
      text = trim(text.substr(0, semi));
      if (parse_eds_value(t, text, node_id, out, why, nodeid)) {
        err.warn_at(k.line, head + "'" + k.value + "' has a comment after ';'",
                    "read as '" + text + "'");
        return true;
      }
    }
    if (is_signed_type(t)) {
      const unsigned bits = data_type_bits(t);
      DataType u = DataType::kUnsigned64;
      std::string w;
      Value raw;
      if (data_type_from_name("UNSIGNED" + std::to_string(bits), u) &&
          parse_eds_value(u, text, node_id, raw, w, nodeid) &&
          raw.as_uint() > (uint64_t{1} << (bits - 1)) - 1) {
        const uint64_t r = raw.as_uint();
        out = Value::of_int(bits >= 64 ? static_cast<int64_t>(r)
                                       : static_cast<int64_t>(r) - (int64_t{1} << bits));
        err.warn_at(k.line, head + text + " is out of range of " + data_type_name(t),
                    "read as " + out.text() + " (two's complement)");
        return true;
      }
    }
    if (variable_bytes(t) && lower(text) == "null") {
      out = Value::of_bytes("");
      err.warn_at(k.line, head + "'" + text + "' for a " + data_type_name(t), "no bytes");
      return true;
    }
    err.warn_at(k.line, head + why, "left out");
    out = Value();
    return false;
  }

  void limit(const Section& s, const char* k, const char* what, DataType t, Value& out) {
    const Key* e = key(s, k);
    if (e == nullptr || trim(e->value).empty()) return;
    typed_text(t, *e, what, out, nullptr);
  }

  void value(const Section& s, const char* k, const char* what, const ObjectEntry& e, Value& out,
             bool* nodeid) {
    const Key* kv = key(s, k);
    if (kv == nullptr) {
      if (variable_bytes(e.data_type) && k[0] == 'd') out = Value::of_bytes("");
      return;
    }
    if (trim(kv->value).empty() && !variable_bytes(e.data_type)) return;
    if (!typed_text(e.data_type, *kv, what, out, nodeid)) {
      if (variable_bytes(e.data_type) && k[0] == 'd') out = Value::of_bytes("");
      return;
    }
    if (!e.low.empty() && compare(e.data_type, out, e.low) < 0) {
      err.warn_at(kv->line,
                  std::string(what) + " " + out.text() + " below LowLimit " + e.low.text(), "kept");
    } else if (!e.high.empty() && compare(e.data_type, out, e.high) > 0) {
      err.warn_at(kv->line,
                  std::string(what) + " " + out.text() + " above HighLimit " + e.high.text(),
                  "kept");
    }
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
    uint64_t ot = static_cast<uint64_t>(ObjectType::kVar);
    if (const Key* k = key(s, "objecttype")) {
      if (!uint_text(trim(k->value), 0xFF, ot) ||
          (ot != 0 && ot != 2 && ot != 5 && ot != 6 && ot != 7 && ot != 8 && ot != 9)) {
        err.at(k->line, "ObjectType '" + k->value + "' is not 0, 2, 5, 6, 7, 8 or 9");
        return;
      }
    }
    objects.push_back(index);
    const auto type = static_cast<ObjectType>(ot);
    const std::string name = name_of(s);
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
      const Key* ck = key(s, "compactsubobj");
      if (!subs.empty()) {
        // The sections say more than the count: they are taken.
        err.warn_at(ck->line,
                    std::string("CompactSubObj in ") +
                        (type == ObjectType::kRecord ? "a RECORD" : "an object") +
                        " with sub-object sections",
                    "the sections are read");
      } else if (type != ObjectType::kArray) {
        if (!given(s, "datatype")) {
          err.at(ck->line, "CompactSubObj in a RECORD");  // of sub-objects of no known type
          return;
        }
        err.warn_at(ck->line, "CompactSubObj in a RECORD", "read as an ARRAY");
        compact_array(index, s, name, type, static_cast<unsigned>(compact));
        return;
      } else {
        compact_array(index, s, name, type, static_cast<unsigned>(compact));
        return;
      }
    }
    uint64_t count = 0;
    if (!uint_key(s, "subnumber", 0xFF, count, "SubNumber")) {
      if (given(s, "subnumber")) return;  // not a number
      err.warn_in(s, "no SubNumber for an ARRAY or RECORD",
                  std::to_string(subs.size()) + " sub-object sections read");
    } else if (subs.size() != count) {
      err.warn_at(key(s, "subnumber")->line,
                  "SubNumber " + std::to_string(count) + " but " + std::to_string(subs.size()) +
                      " sub-object sections",
                  "the sections are read");
    }
    if (!subs.empty() && subs.count(0) == 0)
      err.warn_in(s, "no sub-object 0 (the number of entries)", "left out");
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
  void compact_array(uint16_t index, const Section& s, const std::string& name, ObjectType type,
                     unsigned n) {
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
    add(count, name, type);
    // The object's keys hold for every sub-object: read (and told) once.
    ObjectEntry all;
    all.index = index;
    all.line = s.line;
    Section none;
    none.name = s.name;
    if (!typed_keys(s, none, all)) return;
    for (unsigned sub = 1; sub <= n; ++sub) {
      ObjectEntry e = all;
      e.subindex = static_cast<uint8_t>(sub);
      e.name = name + std::to_string(sub);
      const std::string k = std::to_string(sub);
      if (names != nullptr) {
        if (const Key* nk = key(*names, k.c_str()); nk != nullptr && !trim(nk->value).empty())
          e.name = trim(nk->value);
      }
      // The ParameterValue of a sub-object lives in [XXXXValue] under its sub-index.
      if (values != nullptr) {
        if (const Key* vk = key(*values, k.c_str())) {
          Section own;
          own.name = values->name;
          own.keys["parametervalue"] = *vk;
          value(own, "parametervalue", "ParameterValue", e, e.parameter_value, nullptr);
          e.parameter_line = vk->line;
        }
      }
      add(std::move(e), name, type);
    }
    for (const Section* extra : {names, values}) {
      if (extra == nullptr) continue;
      for (const auto& [k, v] : extra->keys) {
        uint64_t sub = 0;
        if (k == "nrofentries") continue;
        if (!uint_text(k, 0xFE, sub) || sub == 0 || sub > n)
          err.warn_at(v.line, "entry '" + k + "' outside the sub-objects 1.." + std::to_string(n),
                      "ignored");
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
                            std::vector<std::string>& errors, int node_id, bool strict) {
  std::string text, why;
  if (!read_limited(path, text, why)) {
    errors.push_back(path + ": " + why);
    return false;
  }
  return parse(text, path, out, errors, node_id, strict);
}

bool ObjectDictionary::parse(const std::string& text, const std::string& name,
                             ObjectDictionary& out, std::vector<std::string>& errors, int node_id,
                             bool strict) {
  Errors err(name, strict);
  Ini ini;
  ReadState st{&text, 0, 0, &err, &ini, nullptr};
  ini_parse_stream(next_line, &st, on_key, &st);
  if (node_id < 0 || node_id > 127) err.file("node id " + std::to_string(node_id) + " not 0..127");
  // A section given again: the same keys and values are told; different ones of an object are
  // two definitions of it, and of another section the first is taken.
  for (const auto& [again, first] : ini.again) {
    std::map<std::string, std::string> a, b;
    for (const auto& [k, v] : again.keys) a[k] = v.value;
    for (const auto& [k, v] : first->keys) b[k] = v.value;
    const std::string why =
        "section [" + again.name + "] again (first on line " + std::to_string(first->line) + ")";
    if (a == b) {
      err.warn_at(again.line, why, "the same keys");
    } else if (object_section(lower(again.name))) {
      err.at(again.line, why);
    } else {
      err.warn_at(again.line, why, "the first is taken");
    }
  }

  ObjectDictionary od;
  OdBuilder b{ini, err, 0, {}, {}};
  // [DeviceComissioning] (so spelt in the format's definition; the common spelling is taken too).
  const Section* dc = b.section("devicecomissioning");
  if (dc == nullptr) dc = b.section("devicecommissioning");
  uint64_t v = 0;
  if (dc != nullptr) {
    if (b.uint_key(*dc, "nodeid", 127, v, "NodeID", "ignored"))
      od.dcf_node_id_ = static_cast<int>(v);
    if (b.uint_key(*dc, "baudrate", 1000000, v, "Baudrate", "ignored"))
      od.baud_rate_ = static_cast<int>(v);
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
      if (b.uint_key(*du, k.c_str(), 1, v, k.c_str(), "ignored") && v == 1)
        od.dummy_mask_ |= 1u << code;
    }
  }

  // The object lists. A listed object without its section is left out; the counts are checked
  // against the lists, and the lists win.
  std::map<uint32_t, std::string> listed;
  for (const char* list : {"mandatoryobjects", "optionalobjects", "manufacturerobjects"}) {
    const Section* s = b.section(list);
    if (s == nullptr) continue;
    uint64_t n = 0;
    const bool counted =
        b.uint_key(*s, "supportedobjects", 0xFFFF, n, "SupportedObjects", "the entries are read");
    if (!counted && !OdBuilder::given(*s, "supportedobjects"))
      err.warn_in(*s, "no SupportedObjects", "the entries are read");
    for (const auto& [k, kv] : s->keys) {
      if (k == "supportedobjects") continue;
      uint64_t at = 0;
      if (!uint_text(k, 0xFFFF, at) || at == 0) {
        err.warn_at(kv.line, "entry '" + k + "' is not a number 1..65535", "ignored");
        continue;
      }
      if (counted && at > n) {
        err.warn_at(kv.line,
                    "entry '" + k + "' outside 1..SupportedObjects (" + std::to_string(n) + ")",
                    "read");
      }
      uint64_t index = 0;
      if (!uint_text(trim(kv.value), 0xFFFF, index)) {
        err.warn_at(kv.line, "'" + kv.value + "' is not an object index", "ignored");
        continue;
      }
      char sec[8];
      std::snprintf(sec, sizeof sec, "%04x", static_cast<unsigned>(index));
      if (!listed.emplace(static_cast<uint32_t>(index), s->name).second) {
        err.warn_at(kv.line,
                    "object " + hex4(static_cast<uint32_t>(index)) + " listed again (first in [" +
                        listed[static_cast<uint32_t>(index)] + "])",
                    "");
      } else if (b.section(sec) == nullptr) {
        err.warn_at(
            kv.line,
            "object " + hex4(static_cast<uint32_t>(index)) + " has no section [" + sec + "]",
            "left out");
      }
    }
    for (uint64_t k = 1; counted && k <= n; ++k) {
      if (OdBuilder::key(*s, std::to_string(k).c_str()) == nullptr) {
        err.warn_in(*s,
                    "no entry " + std::to_string(k) + " of SupportedObjects=" + std::to_string(n),
                    "the entries are read");
        break;
      }
    }
  }

  // Objects, in index order; sub-object sections without their object are left out.
  for (const auto& [lname, sec] : ini.sections) {
    uint32_t index = 0;
    if (hex_word(lname, 4, index)) {
      b.object(static_cast<uint16_t>(index), sec);
    } else if (lname.size() >= 8 && hex_word(lname.substr(0, 4), 4, index) &&
               lname.compare(4, 3, "sub") == 0) {
      uint32_t sub = 0;
      const std::string tail = lname.substr(7);
      if (!hex_word(tail, 1, sub) && !hex_word(tail, 2, sub)) {
        err.warn_in(sec, "not a sub-index in hex", "ignored");
      } else if (b.section(lname.substr(0, 4)) == nullptr) {
        err.warn_in(sec, "no object section [" + sec.name.substr(0, 4) + "]", "left out");
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
  od.warnings_ = err.take_warnings();
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
