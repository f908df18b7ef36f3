// CANopen data types and their little-endian encoding.
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "can_value.h"

namespace canbus {

namespace {

struct TypeInfo {
  DataType type;
  const char* name;
  unsigned bits;  // 0: variable length
  char kind;      // 'b' boolean, 'u' unsigned, 's' signed, 'r' real, 'x' bytes
  const char* alias;
};

constexpr TypeInfo kTypes[] = {
    {DataType::kBoolean, "BOOLEAN", 1, 'b', "bool"},
    {DataType::kInteger8, "INTEGER8", 8, 's', "int8"},
    {DataType::kInteger16, "INTEGER16", 16, 's', "int16"},
    {DataType::kInteger32, "INTEGER32", 32, 's', "int32"},
    {DataType::kUnsigned8, "UNSIGNED8", 8, 'u', "uint8"},
    {DataType::kUnsigned16, "UNSIGNED16", 16, 'u', "uint16"},
    {DataType::kUnsigned32, "UNSIGNED32", 32, 'u', "uint32"},
    {DataType::kReal32, "REAL32", 32, 'r', "real32"},
    {DataType::kVisibleString, "VISIBLE_STRING", 0, 'x', "string"},
    {DataType::kOctetString, "OCTET_STRING", 0, 'x', "octets"},
    {DataType::kUnicodeString, "UNICODE_STRING", 0, 'x', "unicode"},
    {DataType::kTimeOfDay, "TIME_OF_DAY", 48, 'x', "time_of_day"},
    {DataType::kTimeDifference, "TIME_DIFFERENCE", 48, 'x', "time_difference"},
    {DataType::kDomain, "DOMAIN", 0, 'x', "domain"},
    {DataType::kInteger24, "INTEGER24", 24, 's', "int24"},
    {DataType::kReal64, "REAL64", 64, 'r', "real64"},
    {DataType::kInteger40, "INTEGER40", 40, 's', "int40"},
    {DataType::kInteger48, "INTEGER48", 48, 's', "int48"},
    {DataType::kInteger56, "INTEGER56", 56, 's', "int56"},
    {DataType::kInteger64, "INTEGER64", 64, 's', "int64"},
    {DataType::kUnsigned24, "UNSIGNED24", 24, 'u', "uint24"},
    {DataType::kUnsigned40, "UNSIGNED40", 40, 'u', "uint40"},
    {DataType::kUnsigned48, "UNSIGNED48", 48, 'u', "uint48"},
    {DataType::kUnsigned56, "UNSIGNED56", 56, 'u', "uint56"},
    {DataType::kUnsigned64, "UNSIGNED64", 64, 'u', "uint64"},
};

const TypeInfo* info(DataType t) {
  for (const TypeInfo& i : kTypes)
    if (i.type == t) return &i;
  return nullptr;
}

char kind_of(DataType t) {
  const TypeInfo* i = info(t);
  return i ? i->kind : 'x';
}

bool equal_nocase(const std::string& a, const char* b) {
  const size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t k = 0; k < n; ++k)
    if (std::tolower(static_cast<unsigned char>(a[k])) !=
        std::tolower(static_cast<unsigned char>(b[k])))
      return false;
  return true;
}

void fail(std::string* err, const std::string& why) {
  if (err) *err = why;
}

std::string text_of(const Value& v) {
  std::string t = v.text();
  return t.empty() ? "(none)" : t;
}

// Range of an integer type of `bits` bits.
int64_t signed_min(unsigned bits) {
  return bits >= 64 ? std::numeric_limits<int64_t>::min() : -(int64_t{1} << (bits - 1));
}
int64_t signed_max(unsigned bits) {
  return bits >= 64 ? std::numeric_limits<int64_t>::max() : (int64_t{1} << (bits - 1)) - 1;
}
uint64_t unsigned_max(unsigned bits) {
  return bits >= 64 ? std::numeric_limits<uint64_t>::max() : (uint64_t{1} << bits) - 1;
}

// The integer held by `v` for an integer type: false when `v` is not a whole number or does
// not fit 64 bits of the needed sign. `neg` tells a negative value, held in `s`; otherwise `u`.
bool integer_of(const Value& v, bool& neg, int64_t& s, uint64_t& u) {
  neg = false;
  switch (v.kind()) {
    case Value::Kind::kBool:
      u = v.as_bool() ? 1 : 0;
      return true;
    case Value::Kind::kInt:
      s = v.as_int();
      neg = s < 0;
      u = neg ? 0 : static_cast<uint64_t>(s);
      return true;
    case Value::Kind::kUInt:
      u = v.as_uint();
      return true;
    case Value::Kind::kReal: {
      const double r = v.as_real();
      if (!std::isfinite(r) || std::trunc(r) != r) return false;
      if (r < 0) {
        if (r < -9223372036854775808.0) return false;
        s = static_cast<int64_t>(r);
        neg = true;
        return true;
      }
      if (r >= 18446744073709551616.0) return false;
      u = static_cast<uint64_t>(r);
      return true;
    }
    default:
      return false;
  }
}

std::string range_error(const Value& v, DataType t, const std::string& lo, const std::string& hi) {
  return "value " + text_of(v) + " out of range of " + data_type_name(t) + " (" + lo + ".." + hi +
         ")";
}

}  // namespace

bool data_type_from_code(uint32_t code, DataType& out) {
  for (const TypeInfo& i : kTypes)
    if (static_cast<uint32_t>(i.type) == code) {
      out = i.type;
      return true;
    }
  return false;
}

const char* data_type_name(DataType t) {
  const TypeInfo* i = info(t);
  return i ? i->name : "UNKNOWN";
}

bool data_type_from_name(const std::string& name, DataType& out) {
  for (const TypeInfo& i : kTypes)
    if (equal_nocase(name, i.name) || equal_nocase(name, i.alias)) {
      out = i.type;
      return true;
    }
  if (equal_nocase(name, "boolean")) {
    out = DataType::kBoolean;
    return true;
  }
  return false;
}

unsigned data_type_bits(DataType t) {
  const TypeInfo* i = info(t);
  return i ? i->bits : 0;
}

size_t data_type_bytes(DataType t) {
  const unsigned bits = data_type_bits(t);
  return bits == 1 ? 1 : bits / 8;
}

bool is_signed_type(DataType t) {
  return kind_of(t) == 's';
}
bool is_unsigned_type(DataType t) {
  const char k = kind_of(t);
  return k == 'u' || k == 'b';
}
bool is_real_type(DataType t) {
  return kind_of(t) == 'r';
}
bool is_byte_type(DataType t) {
  return kind_of(t) == 'x';
}

bool Value::as_bool() const {
  return as_uint() != 0 || as_int() != 0;
}

int64_t Value::as_int() const {
  switch (kind()) {
    case Kind::kBool:
      return std::get<bool>(v_) ? 1 : 0;
    case Kind::kInt:
      return std::get<int64_t>(v_);
    case Kind::kUInt:
      return static_cast<int64_t>(std::get<uint64_t>(v_));
    case Kind::kReal: {
      const double r = std::get<double>(v_);
      if (!(r == r)) return 0;
      if (r <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
      if (r >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
      return static_cast<int64_t>(r);
    }
    default:
      return 0;
  }
}

uint64_t Value::as_uint() const {
  switch (kind()) {
    case Kind::kBool:
      return std::get<bool>(v_) ? 1 : 0;
    case Kind::kInt: {
      const int64_t i = std::get<int64_t>(v_);
      return i < 0 ? 0 : static_cast<uint64_t>(i);
    }
    case Kind::kUInt:
      return std::get<uint64_t>(v_);
    case Kind::kReal: {
      const double r = std::get<double>(v_);
      if (!(r > 0)) return 0;
      if (r >= 18446744073709551615.0) return std::numeric_limits<uint64_t>::max();
      return static_cast<uint64_t>(r);
    }
    default:
      return 0;
  }
}

double Value::as_real() const {
  switch (kind()) {
    case Kind::kBool:
      return std::get<bool>(v_) ? 1.0 : 0.0;
    case Kind::kInt:
      return static_cast<double>(std::get<int64_t>(v_));
    case Kind::kUInt:
      return static_cast<double>(std::get<uint64_t>(v_));
    case Kind::kReal:
      return std::get<double>(v_);
    default:
      return 0.0;
  }
}

const std::string& Value::bytes() const {
  static const std::string none;
  return kind() == Kind::kBytes ? std::get<std::string>(v_) : none;
}

std::string Value::text() const {
  switch (kind()) {
    case Kind::kBool:
      return std::get<bool>(v_) ? "1" : "0";
    case Kind::kInt:
      return std::to_string(std::get<int64_t>(v_));
    case Kind::kUInt:
      return std::to_string(std::get<uint64_t>(v_));
    case Kind::kReal: {
      // The shortest of %.1g..%.17g that reads back as the same double.
      const double r = std::get<double>(v_);
      char b[40];
      for (int p = 1; p <= 17; ++p) {
        std::snprintf(b, sizeof b, "%.*g", p, r);
        if (std::strtod(b, nullptr) == r) break;
      }
      return b;
    }
    case Kind::kBytes:
      return std::get<std::string>(v_);
    default:
      return "";
  }
}

bool value_to_bits(DataType t, const Value& v, unsigned len, uint64_t& raw, std::string* err) {
  const char k = kind_of(t);
  if (len == 0 || len > 64) {
    fail(err, "bit length " + std::to_string(len) + " outside 1..64");
    return false;
  }
  if (k == 'x') {
    fail(err, std::string(data_type_name(t)) + " is not a number");
    return false;
  }
  if (k == 'r') {
    if (v.kind() == Value::Kind::kBytes || v.empty()) {
      fail(err, "value " + text_of(v) + " is not a number");
      return false;
    }
    const double r = v.as_real();
    if (len == 32) {
      const float f = static_cast<float>(r);
      if (std::isfinite(r) && !std::isfinite(f)) {
        fail(err, range_error(v, t, "-3.4e38", "3.4e38"));
        return false;
      }
      uint32_t bits;
      std::memcpy(&bits, &f, 4);
      raw = bits;
      return true;
    }
    if (len == 64) {
      uint64_t bits;
      std::memcpy(&bits, &r, 8);
      raw = bits;
      return true;
    }
    fail(err, std::string(data_type_name(t)) + " needs 32 or 64 bits");
    return false;
  }
  bool neg;
  int64_t s = 0;
  uint64_t u = 0;
  if (!integer_of(v, neg, s, u)) {
    fail(err, "value " + text_of(v) + " is not " + (k == 'b' ? "a boolean" : "an integer"));
    return false;
  }
  if (k == 's') {
    const int64_t lo = signed_min(len), hi = signed_max(len);
    if (neg ? s < lo : u > static_cast<uint64_t>(hi)) {
      fail(err, range_error(v, t, std::to_string(lo), std::to_string(hi)));
      return false;
    }
    const uint64_t bits = neg ? static_cast<uint64_t>(s) : u;
    raw = len >= 64 ? bits : bits & unsigned_max(len);
    return true;
  }
  const uint64_t hi = k == 'b' ? 1 : unsigned_max(len);
  if (neg || u > hi) {
    fail(err, range_error(v, t, "0", std::to_string(hi)));
    return false;
  }
  raw = u;
  return true;
}

Value value_from_bits(DataType t, uint64_t raw, unsigned len) {
  if (len == 0 || len > 64) return Value();
  if (len < 64) raw &= unsigned_max(len);
  switch (kind_of(t)) {
    case 'b':
      return Value::of_bool(raw != 0);
    case 'u':
      return Value::of_uint(raw);
    case 's': {
      if (len < 64 && (raw >> (len - 1)) & 1) raw |= ~unsigned_max(len);
      return Value::of_int(static_cast<int64_t>(raw));
    }
    case 'r':
      if (len == 32) {
        const uint32_t b = static_cast<uint32_t>(raw);
        float f;
        std::memcpy(&f, &b, 4);
        return Value::of_real(static_cast<double>(f));
      }
      if (len == 64) {
        double d;
        std::memcpy(&d, &raw, 8);
        return Value::of_real(d);
      }
      return Value();
    default:
      return Value();
  }
}

bool encode_value(DataType t, const Value& v, std::vector<uint8_t>& out, std::string* err) {
  out.clear();
  if (is_byte_type(t)) {
    if (v.kind() != Value::Kind::kBytes) {
      fail(err, std::string(data_type_name(t)) + " takes a text or bytes, not " + text_of(v));
      return false;
    }
    const size_t fixed = data_type_bytes(t);
    if (fixed != 0 && v.bytes().size() != fixed) {
      fail(err, std::string(data_type_name(t)) + " takes " + std::to_string(fixed) +
                    " bytes, not " + std::to_string(v.bytes().size()));
      return false;
    }
    out.assign(v.bytes().begin(), v.bytes().end());
    return true;
  }
  const unsigned bits = data_type_bits(t);
  uint64_t raw = 0;
  if (!value_to_bits(t, v, bits, raw, err)) return false;
  const size_t n = data_type_bytes(t);
  out.resize(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(raw >> (8 * i));
  return true;
}

bool decode_value(DataType t, const uint8_t* data, size_t n, Value& out, std::string* err) {
  if (is_byte_type(t)) {
    const size_t fixed = data_type_bytes(t);
    if (fixed != 0 && n != fixed) {
      fail(err, std::string(data_type_name(t)) + " has " + std::to_string(fixed) + " bytes, not " +
                    std::to_string(n));
      return false;
    }
    out = Value::of_bytes(std::string(reinterpret_cast<const char*>(data), n));
    return true;
  }
  const size_t want = data_type_bytes(t);
  if (n != want) {
    fail(err, std::string(data_type_name(t)) + " has " + std::to_string(want) + " bytes, not " +
                  std::to_string(n));
    return false;
  }
  uint64_t raw = 0;
  for (size_t i = 0; i < n; ++i) raw |= static_cast<uint64_t>(data[i]) << (8 * i);
  out = value_from_bits(t, raw, t == DataType::kBoolean ? 8 : data_type_bits(t));
  if (t == DataType::kBoolean) out = Value::of_bool(raw != 0);
  return true;
}

uint64_t get_bits(const uint8_t* data, size_t n, unsigned offset, unsigned len) {
  if (len == 0 || len > 64 || offset + len > 8 * n) return 0;
  // Up to 9 bytes hold the field: the first 8 little-endian into `v`, the ninth only when the
  // field starts inside a byte and runs 64 bits.
  const size_t first = offset / 8, last = (offset + len - 1) / 8;
  const unsigned shift = offset % 8;
  uint64_t v = 0;
  for (size_t i = first; i <= last && i < first + 8; ++i)
    v |= static_cast<uint64_t>(data[i]) << (8 * (i - first));
  v >>= shift;
  if (last == first + 8) v |= static_cast<uint64_t>(data[last]) << (64 - shift);
  return len == 64 ? v : v & ((uint64_t{1} << len) - 1);
}

void put_bits(uint8_t* data, size_t n, unsigned offset, unsigned len, uint64_t v) {
  if (len == 0 || len > 64 || offset + len > 8 * n) return;
  for (unsigned i = 0; i < len; ++i) {
    const unsigned b = offset + i;
    const auto mask = static_cast<uint8_t>(1u << (b % 8));
    if ((v >> i) & 1)
      data[b / 8] = static_cast<uint8_t>(data[b / 8] | mask);
    else
      data[b / 8] = static_cast<uint8_t>(data[b / 8] & ~mask);
  }
}

}  // namespace canbus
