// CANopen data types and typed values: the one place where values meet their little-endian
// encoding on the bus, for object access by SDO and for the bit fields of process data.
//
// Every function here is pure (no lock, no bus) and works the same on any host byte order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace canbus {

// The standard data types with their object dictionary indices (0x0001..0x001B).
enum class DataType : uint16_t {
  kBoolean = 0x0001,
  kInteger8 = 0x0002,
  kInteger16 = 0x0003,
  kInteger32 = 0x0004,
  kUnsigned8 = 0x0005,
  kUnsigned16 = 0x0006,
  kUnsigned32 = 0x0007,
  kReal32 = 0x0008,
  kVisibleString = 0x0009,
  kOctetString = 0x000A,
  kUnicodeString = 0x000B,
  kTimeOfDay = 0x000C,
  kTimeDifference = 0x000D,
  kDomain = 0x000F,
  kInteger24 = 0x0010,
  kReal64 = 0x0011,
  kInteger40 = 0x0012,
  kInteger48 = 0x0013,
  kInteger56 = 0x0014,
  kInteger64 = 0x0015,
  kUnsigned24 = 0x0016,
  kUnsigned40 = 0x0018,
  kUnsigned48 = 0x0019,
  kUnsigned56 = 0x001A,
  kUnsigned64 = 0x001B,
};

// The type with dictionary index `code`; false for an index that is not a type above.
bool data_type_from_code(uint32_t code, DataType& out);
// "UNSIGNED16", "VISIBLE_STRING", ...
const char* data_type_name(DataType t);
// The type named as data_type_name() gives it, case-insensitive ("uint16", "int8", "real32",
// "bool", "string" are accepted too); false for an unknown name.
bool data_type_from_name(const std::string& name, DataType& out);
// Size of a value in bits (1 for BOOLEAN in a PDO, 8 bits in an SDO transfer: see
// data_type_bytes); 0 for the types of variable length (strings, DOMAIN).
unsigned data_type_bits(DataType t);
// Size of a value in an SDO transfer in bytes; 0 for the types of variable length.
size_t data_type_bytes(DataType t);
bool is_signed_type(DataType t);    // INTEGER8..64
bool is_unsigned_type(DataType t);  // BOOLEAN, UNSIGNED8..64
bool is_real_type(DataType t);      // REAL32, REAL64
bool is_byte_type(DataType t);      // strings, DOMAIN, TIME_OF_DAY, TIME_DIFFERENCE

// A typed value: nothing, a boolean, a signed or unsigned integer, a real or bytes (strings,
// octet strings, domains and the time types).
class Value {
 public:
  enum class Kind { kNone, kBool, kInt, kUInt, kReal, kBytes };

  Value() = default;
  static Value of_bool(bool b) { return Value(b); }
  static Value of_int(int64_t i) { return Value(i); }
  static Value of_uint(uint64_t u) { return Value(u); }
  static Value of_real(double r) { return Value(r); }
  static Value of_bytes(std::string b) { return Value(std::move(b)); }

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  bool empty() const { return kind() == Kind::kNone; }
  // Each accessor converts between the numeric kinds (a real is truncated towards zero, a
  // negative value gives 0 as unsigned); bytes and nothing give 0.
  bool as_bool() const;
  int64_t as_int() const;
  uint64_t as_uint() const;
  double as_real() const;
  // The bytes of a byte value; empty for the others.
  const std::string& bytes() const;
  // Decimal for integers and booleans (1/0), the shortest exact form for reals, the bytes
  // themselves for a byte value; "" for nothing.
  std::string text() const;

  bool operator==(const Value& o) const { return v_ == o.v_; }
  bool operator!=(const Value& o) const { return !(*this == o); }

 private:
  template <typename T>
  explicit Value(T v) : v_(std::move(v)) {}
  std::variant<std::monostate, bool, int64_t, uint64_t, double, std::string> v_;
};

// Encodes `v` as the bytes of `t` (little-endian): false with a reason in *err (if not null)
// when `v` is not of a kind `t` takes or lies outside the range of `t` ("value 70000 out of
// range of INTEGER16 (-32768..32767)"). Integers of either sign are taken for integer types
// when they fit; a real is taken for an integer type only when it is whole.
bool encode_value(DataType t, const Value& v, std::vector<uint8_t>& out, std::string* err);
// Decodes the `n` bytes at `data` as `t`: false with a reason when their count does not fit
// the type (fewer bytes than it has, or more). Byte types take any count.
bool decode_value(DataType t, const uint8_t* data, size_t n, Value& out, std::string* err);

// Bit fields of process data: bit `offset` is bit offset % 8 of byte offset / 8 (CANopen's
// little-endian bit order). get_bits reads `len` (1..64) bits; put_bits writes the low `len`
// bits of `v`. Both require offset + len <= 8 * n.
uint64_t get_bits(const uint8_t* data, size_t n, unsigned offset, unsigned len);
void put_bits(uint8_t* data, size_t n, unsigned offset, unsigned len, uint64_t v);
// The value of type `t` held in the low `len` bits of `raw` (sign-extended for signed types,
// reals from their IEEE 754 bits when len is 32 or 64).
Value value_from_bits(DataType t, uint64_t raw, unsigned len);
// The low `len` bits that hold `v` as type `t`; false with a reason when it does not fit.
bool value_to_bits(DataType t, const Value& v, unsigned len, uint64_t& raw, std::string* err);

}  // namespace canbus
