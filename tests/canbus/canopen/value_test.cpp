// Typed values and their little-endian encoding, for every data type, and the bit fields of
// process data.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "D_esdcan.h"

namespace canbus_test {
namespace {

using canbus::DataType;
using canbus::Value;

std::string hex(const std::vector<uint8_t>& b) {
  std::string s;
  char t[3];
  for (uint8_t c : b) {
    std::snprintf(t, sizeof t, "%02X", c);
    s += t;
  }
  return s;
}

TEST(Value, EveryTypeEncodesLittleEndianAndDecodesBack) {
  const struct {
    DataType type;
    Value value;
    const char* bytes;
  } table[] = {
      {DataType::kBoolean, Value::of_bool(true), "01"},
      {DataType::kInteger8, Value::of_int(-2), "FE"},
      {DataType::kInteger16, Value::of_int(-32768), "0080"},
      {DataType::kInteger24, Value::of_int(-1), "FFFFFF"},
      {DataType::kInteger32, Value::of_int(0x12345678), "78563412"},
      {DataType::kInteger40, Value::of_int(-549755813888), "0000000080"},
      {DataType::kInteger48, Value::of_int(1), "010000000000"},
      {DataType::kInteger56, Value::of_int(-2), "FEFFFFFFFFFFFF"},
      {DataType::kInteger64, Value::of_int(INT64_MIN), "0000000000000080"},
      {DataType::kUnsigned8, Value::of_uint(255), "FF"},
      {DataType::kUnsigned16, Value::of_uint(1000), "E803"},
      {DataType::kUnsigned24, Value::of_uint(0xABCDEF), "EFCDAB"},
      {DataType::kUnsigned32, Value::of_uint(0x40000180), "80010040"},
      {DataType::kUnsigned40, Value::of_uint(0xFFFFFFFFFF), "FFFFFFFFFF"},
      {DataType::kUnsigned48, Value::of_uint(0x010203040506), "060504030201"},
      {DataType::kUnsigned56, Value::of_uint(2), "02000000000000"},
      {DataType::kUnsigned64, Value::of_uint(UINT64_MAX), "FFFFFFFFFFFFFFFF"},
      {DataType::kReal32, Value::of_real(1.5), "0000C03F"},
      {DataType::kReal64, Value::of_real(-2.0), "00000000000000C0"},
      {DataType::kVisibleString, Value::of_bytes("AB"), "4142"},
      {DataType::kOctetString, Value::of_bytes(std::string("\0\xff", 2)), "00FF"},
      {DataType::kDomain, Value::of_bytes(""), ""},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(canbus::data_type_name(row.type));
    std::vector<uint8_t> b;
    std::string err;
    ASSERT_TRUE(canbus::encode_value(row.type, row.value, b, &err)) << err;
    EXPECT_EQ(hex(b), row.bytes);
    Value back;
    ASSERT_TRUE(canbus::decode_value(row.type, b.data(), b.size(), back, &err)) << err;
    EXPECT_EQ(back, row.value);
  }
}

TEST(Value, RefusesWhatTheTypeCannotHold) {
  const struct {
    DataType type;
    Value value;
    const char* error;
  } table[] = {
      {DataType::kInteger16, Value::of_int(70000),
       "value 70000 out of range of INTEGER16 (-32768..32767)"},
      {DataType::kUnsigned8, Value::of_int(-1), "value -1 out of range of UNSIGNED8 (0..255)"},
      {DataType::kUnsigned64, Value::of_real(-0.0 - 1),
       "value -1 out of range of UNSIGNED64 (0..18446744073709551615)"},
      {DataType::kInteger64, Value::of_uint(UINT64_MAX),
       "value 18446744073709551615 out of range of INTEGER64 "
       "(-9223372036854775808..9223372036854775807)"},
      {DataType::kBoolean, Value::of_uint(2), "value 2 out of range of BOOLEAN (0..1)"},
      {DataType::kUnsigned16, Value::of_real(1.5), "value 1.5 is not an integer"},
      {DataType::kUnsigned16, Value::of_bytes("12"), "value 12 is not an integer"},
      {DataType::kReal32, Value::of_real(1e39),
       "value 1e+39 out of range of REAL32 (-3.4e38..3.4e38)"},
      {DataType::kVisibleString, Value::of_int(3), "VISIBLE_STRING takes a text or bytes, not 3"},
  };
  for (const auto& row : table) {
    std::vector<uint8_t> b;
    std::string err;
    EXPECT_FALSE(canbus::encode_value(row.type, row.value, b, &err));
    EXPECT_EQ(err, row.error);
  }
  uint8_t two[2] = {1, 2};
  Value v;
  std::string err;
  EXPECT_FALSE(canbus::decode_value(DataType::kUnsigned32, two, 2, v, &err));
  EXPECT_EQ(err, "UNSIGNED32 has 4 bytes, not 2");
}

TEST(Value, NamesAndTextsOfTypes) {
  DataType t;
  ASSERT_TRUE(canbus::data_type_from_name("int16", t));
  EXPECT_EQ(t, DataType::kInteger16);
  ASSERT_TRUE(canbus::data_type_from_name("unsigned32", t));
  EXPECT_EQ(t, DataType::kUnsigned32);
  EXPECT_FALSE(canbus::data_type_from_name("int17", t));
  ASSERT_TRUE(canbus::data_type_from_code(0x1B, t));
  EXPECT_EQ(t, DataType::kUnsigned64);
  EXPECT_FALSE(canbus::data_type_from_code(0x17, t));
  EXPECT_EQ(Value::of_real(0.1).text(), "0.1");
  EXPECT_EQ(Value::of_int(-5).text(), "-5");
}

TEST(Value, BitFieldsAtAnyOffsetAndLength) {
  // A 64-bit field that starts inside a byte spans nine bytes.
  uint8_t b[9] = {};
  canbus::put_bits(b, sizeof b, 3, 64, 0x8123456789ABCDEFull);
  EXPECT_EQ(canbus::get_bits(b, sizeof b, 3, 64), 0x8123456789ABCDEFull);
  EXPECT_EQ(b[0], 0x78);  // the low five bits of 0xEF above three zero bits
  // Booleans packed bit by bit, an INTEGER12 sign-extended, and the untouched bits kept.
  uint8_t f[2] = {0xFF, 0xFF};
  canbus::put_bits(f, 2, 1, 1, 0);
  canbus::put_bits(f, 2, 4, 12, 0x800);
  EXPECT_EQ(f[0], 0x0D);
  EXPECT_EQ(f[1], 0x80);
  EXPECT_EQ(canbus::value_from_bits(DataType::kInteger16, canbus::get_bits(f, 2, 4, 12), 12),
            Value::of_int(-2048));
  EXPECT_EQ(canbus::value_from_bits(DataType::kBoolean, canbus::get_bits(f, 2, 1, 1), 1),
            Value::of_bool(false));
  uint64_t raw = 0;
  std::string err;
  EXPECT_FALSE(canbus::value_to_bits(DataType::kInteger16, Value::of_int(2048), 12, raw, &err));
  EXPECT_TRUE(canbus::value_to_bits(DataType::kInteger16, Value::of_int(-1), 12, raw, &err));
  EXPECT_EQ(raw, 0xFFFu);
  EXPECT_TRUE(canbus::value_to_bits(DataType::kReal32, Value::of_real(1.5), 32, raw, &err));
  EXPECT_EQ(canbus::value_from_bits(DataType::kReal32, raw, 32), Value::of_real(1.5));
}

}  // namespace
}  // namespace canbus_test

namespace canbus_test {
namespace {

TEST(StandardIdentifiers, OfNodeFive) {
  const struct {
    uint32_t id, expected;
  } table[] = {
      {canbus::cob_emcy(5), 0x085},    {canbus::cob_tpdo(1, 5), 0x185},
      {canbus::cob_tpdo(4, 5), 0x485}, {canbus::cob_rpdo(1, 5), 0x205},
      {canbus::cob_rpdo(4, 5), 0x505}, {canbus::cob_sdo_tx(5), 0x585},
      {canbus::cob_sdo_rx(5), 0x605},  {canbus::cob_heartbeat(5), 0x705},
      {canbus::kCobSync, 0x080},       {canbus::kCobLssMaster, 0x7E5},
  };
  for (const auto& row : table) EXPECT_EQ(row.id, row.expected);
  EXPECT_STREQ(canbus::nmt_state_text(0x85), "Operational");
  EXPECT_STREQ(canbus::nmt_state_text(0x7F), "Pre-operational");
  EXPECT_STREQ(canbus::nmt_state_text(-1), "Unknown");
  EXPECT_STREQ(canbus::nmt_state_text(0x03), "Invalid state");
}

}  // namespace
}  // namespace canbus_test
