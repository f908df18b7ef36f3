// Value texts of EDS files and of users, read as typed values of a data type.
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "can_od.h"

namespace canbus {
namespace {

std::string trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  const size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// An integer with an optional sign: 0x hex, a leading zero octal (when `octal`), else decimal.
// The magnitude must fit 64 bits.
bool integer_text(const std::string& s, bool octal, bool& neg, uint64_t& mag) {
  size_t i = 0;
  neg = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
  if (i >= s.size()) return false;
  int base = 10;
  if (s.size() - i > 2 && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    base = 16;
    i += 2;
  } else if (octal && s.size() - i > 1 && s[i] == '0') {
    base = 8;
    ++i;
  }
  mag = 0;
  for (; i < s.size(); ++i) {
    const int d = hex_digit(s[i]);
    if (d < 0 || d >= base) return false;
    const auto b = static_cast<uint64_t>(base);
    if (mag > (UINT64_MAX - static_cast<uint64_t>(d)) / b) return false;
    mag = mag * b + static_cast<uint64_t>(d);
  }
  return true;
}

bool make_integer(bool neg, uint64_t mag, Value& out) {
  if (!neg || mag == 0) {
    out = Value::of_uint(mag);
    return true;
  }
  if (mag > uint64_t{1} << 63) return false;
  out = Value::of_int(mag == uint64_t{1} << 63 ? INT64_MIN : -static_cast<int64_t>(mag));
  return true;
}

bool hex_bytes(const std::string& s, std::string& out, std::string& why) {
  out.clear();
  int hi = -1;
  for (char c : s) {
    if (c == ' ' || c == '\t') continue;
    const int d = hex_digit(c);
    if (d < 0) {
      why = "'" + s + "' is not hex bytes";
      return false;
    }
    if (hi < 0) {
      hi = d;
    } else {
      out.push_back(static_cast<char>(hi * 16 + d));
      hi = -1;
    }
  }
  if (hi >= 0) {
    why = "'" + s + "' has an odd number of hex digits";
    return false;
  }
  return true;
}

// UTF-8 text to UTF-16LE (characters of the basic multilingual plane only).
bool utf16le(const std::string& s, std::string& out, std::string& why) {
  out.clear();
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    uint32_t cp = 0;
    size_t n = 0;
    if (c < 0x80) {
      cp = c;
      n = 1;
    } else if ((c & 0xE0) == 0xC0) {
      cp = c & 0x1Fu;
      n = 2;
    } else if ((c & 0xF0) == 0xE0) {
      cp = c & 0x0Fu;
      n = 3;
    } else {
      why = "not UTF-8 text of the basic multilingual plane";
      return false;
    }
    if (i + n > s.size()) {
      why = "UTF-8 text cut off";
      return false;
    }
    for (size_t k = 1; k < n; ++k) {
      const auto d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) {
        why = "not UTF-8 text";
        return false;
      }
      cp = (cp << 6) | (d & 0x3Fu);
    }
    out.push_back(static_cast<char>(cp & 0xFF));
    out.push_back(static_cast<char>(cp >> 8));
    i += n;
  }
  return true;
}

bool real_text(DataType t, const std::string& s, bool bits_in_hex, Value& out, std::string& why) {
  if (bits_in_hex && s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    // The IEEE 754 bits, as some tools write reals.
    bool neg = false;
    uint64_t raw = 0;
    if (!integer_text(s, false, neg, raw) || neg || (t == DataType::kReal32 && raw > 0xFFFFFFFFu)) {
      why = "'" + s + "' is not the bits of a " + data_type_name(t);
      return false;
    }
    out = value_from_bits(t, raw, t == DataType::kReal32 ? 32 : 64);
    return true;
  }
  errno = 0;
  char* end = nullptr;
  const double d = std::strtod(s.c_str(), &end);
  if (s.empty() || end != s.c_str() + s.size() || errno == ERANGE || std::isnan(d)) {
    why = "'" + s + "' is not a number";
    return false;
  }
  out = Value::of_real(d);
  return true;
}

bool in_type(DataType t, const Value& v, std::string& why) {
  std::vector<uint8_t> bytes;
  return encode_value(t, v, bytes, &why);
}

bool lower_equal(const std::string& a, const char* b) {
  if (a.size() != std::strlen(b)) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
  return true;
}

// A number or the value of one of the forms of a byte type, shared by both readers.
bool typed_text(DataType t, const std::string& raw, bool eds, int node_id, Value& out,
                std::string& why, bool* uses_nodeid) {
  if (uses_nodeid) *uses_nodeid = false;
  if (t == DataType::kVisibleString) {
    out = Value::of_bytes(raw);
    return true;
  }
  const std::string s = trim(raw);
  if (t == DataType::kUnicodeString) {
    std::string b;
    if (!utf16le(raw, b, why)) return false;
    out = Value::of_bytes(b);
    return true;
  }
  if (is_byte_type(t)) {
    std::string b;
    if (!hex_bytes(s, b, why)) return false;
    const size_t fixed = data_type_bytes(t);
    if (fixed != 0 && b.size() != fixed) {
      why = std::string(data_type_name(t)) + " takes " + std::to_string(fixed) + " bytes, not " +
            std::to_string(b.size());
      return false;
    }
    out = Value::of_bytes(b);
    return true;
  }
  if (is_real_type(t)) return real_text(t, s, eds, out, why);
  if (t == DataType::kBoolean && (lower_equal(s, "true") || lower_equal(s, "false"))) {
    out = Value::of_bool(lower_equal(s, "true"));
    return true;
  }
  // $NODEID, $NODEID+N, N+$NODEID (EDS only).
  std::string num = s;
  bool add_node = false;
  if (eds) {
    std::string low;
    for (char c : s) low.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    const size_t at = low.find("$nodeid");
    if (at != std::string::npos) {
      add_node = true;
      if (uses_nodeid) *uses_nodeid = true;
      std::string before = trim(s.substr(0, at));
      std::string after = trim(s.substr(at + 7));
      if (!before.empty() && !after.empty()) {
        why = "'" + s + "' is not $NODEID+N";
        return false;
      }
      if (!after.empty()) {
        if (after[0] != '+') {
          why = "'" + s + "' is not $NODEID+N";
          return false;
        }
        num = trim(after.substr(1));
      } else if (!before.empty()) {
        if (before.back() != '+') {
          why = "'" + s + "' is not N+$NODEID";
          return false;
        }
        before.pop_back();
        num = trim(before);
      } else {
        num = "0";
      }
      if (num.empty() || num[0] == '+' || num[0] == '-') {
        why = "'" + s + "' is not $NODEID+N";
        return false;
      }
    }
  }
  bool neg = false;
  uint64_t mag = 0;
  if (!integer_text(num, eds, neg, mag)) {
    why = "'" + s + "' is not an integer";
    return false;
  }
  if (add_node) {
    if (mag > UINT64_MAX - 127) {
      why = "'" + s + "' is out of range";
      return false;
    }
    mag += static_cast<uint64_t>(node_id);
  }
  Value v;
  if (!make_integer(neg, mag, v)) {
    why = "'" + s + "' is out of range";
    return false;
  }
  if (t == DataType::kBoolean) {
    if (v.kind() != Value::Kind::kUInt || v.as_uint() > 1) {
      why = "'" + s + "' is not a BOOLEAN (0 or 1)";
      return false;
    }
    v = Value::of_bool(v.as_uint() == 1);
  }
  if (!in_type(t, v, why)) return false;
  out = v;
  return true;
}

}  // namespace

bool parse_eds_value(DataType t, const std::string& text, int node_id, Value& out, std::string& why,
                     bool* uses_nodeid) {
  return typed_text(t, text, true, node_id, out, why, uses_nodeid);
}

bool parse_user_value(DataType t, const std::string& text, Value& out, std::string& why) {
  return typed_text(t, text, false, 0, out, why, nullptr);
}

}  // namespace canbus
