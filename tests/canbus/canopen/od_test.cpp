// The EDS/DCF reader over files written for the purpose: every construct of the format, and
// malformed or contradictory files refused with file, line (or section) and reason.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "D_esdcan.h"

namespace canbus_test {
namespace {

using canbus::Access;
using canbus::DataType;
using canbus::ObjectDictionary;
using canbus::ObjectType;
using canbus::Value;

// CRLF line ends, mixed-case keys, ';' comments, numbers in hex, decimal and octal.
const char* const kDevice =
    "; written for the reader's tests\r\n"
    "[FileInfo]\r\n"
    "FileName=test.eds\r\n"
    "[DeviceInfo]\r\n"
    "VendorName=Test Works\r\n"
    "ProductName=Test device\r\n"
    "[DummyUsage]\r\n"
    "Dummy0001=0\r\n"
    "Dummy0005=1\r\n"
    "[MandatoryObjects]\r\n"
    "SupportedObjects=3\r\n"
    "1=0x1000\r\n"
    "2=0x1001\r\n"
    "3=0x1018\r\n"
    "[1000]\r\n"
    "ParameterName=Device type\r\n"
    "ObjectType=0x7\r\n"
    "DataType=0x0007\r\n"
    "AccessType=ro\r\n"
    "DefaultValue=0x00020191\r\n"
    "PDOMapping=0\r\n"
    "[1001]\r\n"
    "parametername=Error register\r\n"
    "DATATYPE=0x0005\r\n"
    "accesstype=RO\r\n"
    "DefaultValue=0\r\n"
    "PDOMapping=1\r\n"
    "[1018]\r\n"
    "ParameterName=Identity object\r\n"
    "ObjectType=0x9\r\n"
    "SubNumber=2\r\n"
    "[1018sub0]\r\n"
    "ParameterName=Number of entries\r\n"
    "DataType=0x0005\r\n"
    "AccessType=const\r\n"
    "DefaultValue=1\r\n"
    "[1018sub1]\r\n"
    "ParameterName=Vendor-ID\r\n"
    "DataType=0x0007\r\n"
    "AccessType=ro\r\n"
    "DefaultValue=0x0000ABCD ; inline comment\r\n"
    "[OptionalObjects]\r\n"
    "SupportedObjects=4\r\n"
    "1=0x0007\r\n"
    "2=0x1017\r\n"
    "3=0x1800\r\n"
    "4=0x1F50\r\n"
    "[0007]\r\n"
    "ParameterName=UNSIGNED32\r\n"
    "ObjectType=5\r\n"
    "DataType=0x0007\r\n"
    "AccessType=ro\r\n"
    "[1017]\r\n"
    "ParameterName=Producer heartbeat time\r\n"
    "DataType=0x0006\r\n"
    "AccessType=rw\r\n"
    "DefaultValue=0\r\n"
    "[1800]\r\n"
    "ParameterName=TPDO communication parameter\r\n"
    "ObjectType=9\r\n"
    "SubNumber=3\r\n"
    "[1800sub0]\r\n"
    "ParameterName=Highest sub-index supported\r\n"
    "DataType=5\r\n"
    "AccessType=ro\r\n"
    "DefaultValue=2\r\n"
    "[1800sub1]\r\n"
    "ParameterName=COB-ID\r\n"
    "DataType=0x0007\r\n"
    "AccessType=rw\r\n"
    "DefaultValue=$NODEID+0x180\r\n"
    "[1800sub2]\r\n"
    "ParameterName=Transmission type\r\n"
    "DataType=0x0005\r\n"
    "AccessType=rw\r\n"
    "DefaultValue=0377\r\n"
    "[1F50]\r\n"
    "ParameterName=Program data\r\n"
    "ObjectType=2\r\n"
    "[ManufacturerObjects]\r\n"
    "SupportedObjects=3\r\n"
    "1=0x2000\r\n"
    "2=0x2001\r\n"
    "3=0x2002\r\n"
    "[2000]\r\n"
    "ParameterName=Channel gains\r\n"
    "ObjectType=8\r\n"
    "DataType=0x0003\r\n"
    "AccessType=rww\r\n"
    "CompactSubObj=3\r\n"
    "LowLimit=-100\r\n"
    "HighLimit=100\r\n"
    "DefaultValue=10\r\n"
    "PDOMapping=1\r\n"
    "ObjFlags=0x1\r\n"
    "[2000Name]\r\n"
    "NrOfEntries=2\r\n"
    "1=Gain A\r\n"
    "2=Gain B\r\n"
    "[2000Value]\r\n"
    "NrOfEntries=1\r\n"
    "2=-5\r\n"
    "[2001]\r\n"
    "ParameterName=Node address\r\n"
    "DataType=0x0005\r\n"
    "AccessType=rwr\r\n"
    "DefaultValue=$NODEID\r\n"
    "Unit=node\r\n"
    "[2002]\r\n"
    "ParameterName=Serial text\r\n"
    "DataType=0x0009\r\n"
    "AccessType=wo\r\n"
    "DefaultValue=ABC-1\r\n"
    "ParameterValue=XYZ-9\r\n"
    "[DeviceComissioning]\r\n"
    "NodeID=0x21\r\n"
    "Baudrate=250\r\n";

TEST(ObjectDictionary, ReadsEveryConstructOfTheFormat) {
  ObjectDictionary od;
  std::vector<std::string> errors;
  ASSERT_TRUE(ObjectDictionary::parse(kDevice, "test.dcf", od, errors)) << errors[0];
  EXPECT_EQ(od.dcf_node_id(), 0x21);
  EXPECT_EQ(od.node_id(), 0x21);
  EXPECT_EQ(od.baud_rate(), 250);
  EXPECT_EQ(od.vendor_name(), "Test Works");
  EXPECT_EQ(od.product_name(), "Test device");
  EXPECT_TRUE(od.dummy_usage(DataType::kUnsigned8));
  EXPECT_FALSE(od.dummy_usage(DataType::kBoolean));
  EXPECT_TRUE(od.has_object(0x0007));      // a DEFTYPE: listed, not an entry
  EXPECT_EQ(od.find(0x0007, 0), nullptr);  // type definitions are skipped
  std::vector<std::string> names;
  for (const auto* e : od.entries()) names.push_back(e->full_name);
  EXPECT_EQ(names, (std::vector<std::string>{
                       "Device type", "Error register", "Producer heartbeat time",
                       "Identity object.Number of entries", "Identity object.Vendor-ID",
                       "TPDO communication parameter.Highest sub-index supported",
                       "TPDO communication parameter.COB-ID",
                       "TPDO communication parameter.Transmission type", "Program data",
                       "Channel gains.NrOfObjects", "Channel gains.Gain A", "Channel gains.Gain B",
                       "Channel gains.Channel gains3", "Node address", "Serial text"}));

  const struct {
    const char* name;
    uint16_t index;
    uint8_t sub;
    ObjectType type, parent;
    DataType data;
    Access access;
    bool pdo;
    Value def, param;
  } rows[] = {
      {"Device type",
       0x1000,
       0,
       ObjectType::kVar,
       ObjectType::kVar,
       DataType::kUnsigned32,
       Access::kRO,
       false,
       Value::of_uint(0x20191),
       {}},
      {"Error register",
       0x1001,
       0,
       ObjectType::kVar,
       ObjectType::kVar,
       DataType::kUnsigned8,
       Access::kRO,
       true,
       Value::of_uint(0),
       {}},
      {"Identity object.Number of entries",
       0x1018,
       0,
       ObjectType::kVar,
       ObjectType::kRecord,
       DataType::kUnsigned8,
       Access::kConst,
       false,
       Value::of_uint(1),
       {}},
      {"Identity object.Vendor-ID",
       0x1018,
       1,
       ObjectType::kVar,
       ObjectType::kRecord,
       DataType::kUnsigned32,
       Access::kRO,
       false,
       Value::of_uint(0xABCD),
       {}},
      {"TPDO communication parameter.COB-ID",
       0x1800,
       1,
       ObjectType::kVar,
       ObjectType::kRecord,
       DataType::kUnsigned32,
       Access::kRW,
       false,
       Value::of_uint(0x1A1),
       {}},
      {"TPDO communication parameter.Transmission type",
       0x1800,
       2,
       ObjectType::kVar,
       ObjectType::kRecord,
       DataType::kUnsigned8,
       Access::kRW,
       false,
       Value::of_uint(255),
       {}},
      {"Program data",
       0x1F50,
       0,
       ObjectType::kDomain,
       ObjectType::kDomain,
       DataType::kDomain,
       Access::kRW,
       false,
       Value::of_bytes(""),
       {}},
      {"Channel gains.NrOfObjects",
       0x2000,
       0,
       ObjectType::kVar,
       ObjectType::kArray,
       DataType::kUnsigned8,
       Access::kRO,
       false,
       Value::of_uint(3),
       {}},
      {"Channel gains.Gain B", 0x2000, 2, ObjectType::kVar, ObjectType::kArray,
       DataType::kInteger16, Access::kRWW, true, Value::of_uint(10), Value::of_int(-5)},
      {"Channel gains.Channel gains3",
       0x2000,
       3,
       ObjectType::kVar,
       ObjectType::kArray,
       DataType::kInteger16,
       Access::kRWW,
       true,
       Value::of_uint(10),
       {}},
      {"Node address",
       0x2001,
       0,
       ObjectType::kVar,
       ObjectType::kVar,
       DataType::kUnsigned8,
       Access::kRWR,
       false,
       Value::of_uint(0x21),
       {}},
      {"Serial text", 0x2002, 0, ObjectType::kVar, ObjectType::kVar, DataType::kVisibleString,
       Access::kWO, false, Value::of_bytes("ABC-1"), Value::of_bytes("XYZ-9")},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    const canbus::ObjectEntry* e = od.find(r.name);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e, od.find(r.index, r.sub));
    EXPECT_EQ(e->object_type, r.type);
    EXPECT_EQ(e->parent_type, r.parent);
    EXPECT_EQ(e->data_type, r.data);
    EXPECT_EQ(e->access, r.access);
    EXPECT_EQ(e->pdo_mapping, r.pdo);
    EXPECT_EQ(e->default_value, r.def) << e->default_value.text();
    EXPECT_EQ(e->parameter_value, r.param) << e->parameter_value.text();
  }
  const canbus::ObjectEntry* gain = od.find(0x2000, 1);
  EXPECT_EQ(gain->low, Value::of_int(-100));
  EXPECT_EQ(gain->high, Value::of_uint(100));
  EXPECT_EQ(gain->obj_flags, 1u);
  EXPECT_TRUE(od.find(0x1800, 1)->nodeid_relative);
  EXPECT_EQ(od.find(0x2001, 0)->unit, "node");

  // A line longer than inih's buffer is read all the same.
  const std::string long_text(300, 'x');
  ASSERT_TRUE(ObjectDictionary::parse(
      "[2000]\nParameterName=Long\nDataType=9\nAccessType=ro\nDefaultValue=" + long_text +
          " ; cut\n",
      "long.eds", od, errors));
  EXPECT_EQ(od.find("Long")->default_value, Value::of_bytes(long_text));

  // A node id given to the reader wins over the DCF's.
  ASSERT_TRUE(ObjectDictionary::parse(kDevice, "test.dcf", od, errors, 5));
  EXPECT_EQ(od.find("TPDO communication parameter.COB-ID")->default_value, Value::of_uint(0x185));
}

TEST(ObjectDictionary, ValuesOfEveryTypeAndForm) {
  const struct {
    DataType type;
    const char* text;
    Value want;  // empty: refused
  } rows[] = {
      {DataType::kBoolean, "1", Value::of_bool(true)},
      {DataType::kBoolean, "2", {}},
      {DataType::kInteger8, "-128", Value::of_int(-128)},
      {DataType::kInteger8, "128", {}},
      {DataType::kInteger24, "-0x800000", Value::of_int(-0x800000)},
      {DataType::kInteger40, "017", Value::of_uint(15)},
      {DataType::kInteger48, "0x7FFFFFFFFFFF", Value::of_uint(0x7FFFFFFFFFFF)},
      {DataType::kInteger56, "-1", Value::of_int(-1)},
      {DataType::kInteger64, "-9223372036854775808", Value::of_int(INT64_MIN)},
      {DataType::kUnsigned24, "0x1000000", {}},
      {DataType::kUnsigned40, "1099511627775", Value::of_uint(1099511627775)},
      {DataType::kUnsigned64, "18446744073709551615", Value::of_uint(UINT64_MAX)},
      {DataType::kUnsigned64, "18446744073709551616", {}},
      {DataType::kUnsigned16, "$NODEID", Value::of_uint(7)},
      {DataType::kUnsigned32, "0x600+$NODEID", Value::of_uint(0x607)},
      {DataType::kUnsigned32, "$nodeid + 0x80", Value::of_uint(0x87)},
      {DataType::kUnsigned32, "$NODEID-1", {}},
      {DataType::kUnsigned8, "08", {}},  // leading zero: octal
      {DataType::kUnsigned8, "12abc", {}},
      {DataType::kReal32, "1.5", Value::of_real(1.5)},
      {DataType::kReal32, "0x3F800000", Value::of_real(1.0)},
      {DataType::kReal64, "-2.5e3", Value::of_real(-2500.0)},
      {DataType::kReal64, "nan", {}},
      {DataType::kVisibleString, "a text", Value::of_bytes("a text")},
      {DataType::kOctetString, "01 AB ff", Value::of_bytes("\x01\xAB\xFF")},
      {DataType::kOctetString, "ABC", {}},
      {DataType::kUnicodeString, "A\xC3\xA9", Value::of_bytes(std::string("A\0\xE9\0", 4))},
      {DataType::kTimeOfDay, "000000000000", Value::of_bytes(std::string(6, '\0'))},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(canbus::data_type_name(r.type)) + " " + r.text);
    Value v;
    std::string why;
    EXPECT_EQ(canbus::parse_eds_value(r.type, r.text, 7, v, why), !r.want.empty()) << why;
    if (!r.want.empty()) {
      EXPECT_EQ(v, r.want) << v.text();
    }
  }
}

// Malformed and contradictory files: the error names the file, the line (and the section).
// What leaves an object's index, type or structure unknown is refused in any reading (`hard`);
// the rest is read with warnings that start with the same text, and refused in a strict one.
TEST(ObjectDictionary, RefusesUnusableFilesWithEveryError) {
  const std::string head =
      "[OptionalObjects]\n"  // 1
      "SupportedObjects=1\n"
      "1=0x2000\n"
      "[2000]\n"  // 4
      "ParameterName=Value\n";
  const std::string var = "DataType=0x0006\nAccessType=rw\n";  // lines 6, 7
  const struct {
    std::string text;
    bool hard;
    std::vector<std::string> errors;
  } rows[] = {
      {head + var + "DefaultValue=70000\n",
       false,
       {"t.eds:8: DefaultValue value 70000 out of range of UNSIGNED16 (0..65535)"}},
      {head + var + "LowLimit=10\nHighLimit=5\n",
       false,
       {"t.eds:9: HighLimit 5 below LowLimit 10"}},
      {head + var + "HighLimit=5\nDefaultValue=6\n",
       false,
       {"t.eds:9: DefaultValue 6 above HighLimit 5"}},
      {head + "DataType=0x0040\nAccessType=rw\n",
       true,
       {"t.eds:6: DataType '0x0040' is not a standard data type"}},
      {head + "DataType=0x0006\nAccessType=read\n",
       false,
       {"t.eds:7: AccessType 'read' is not ro, wo, rw, rwr, rww or const"}},
      {head + "AccessType=rw\n", true, {"t.eds:4: [2000]: no DataType"}},
      {head + var + "PDOMapping=2\n", false, {"t.eds:8: PDOMapping '2' is not a number 0..1"}},
      {head + var + "DefaultValue=$NODEID*2\n",
       false,
       {"t.eds:8: DefaultValue '$NODEID*2' is not $NODEID+N"}},
      {head + var + "AccessType=ro\n",
       true,
       {"t.eds:8: AccessType again in [2000] (first on line 7)"}},
      {head + var + "AccessType=rw\n",
       false,
       {"t.eds:8: AccessType again in [2000] (first on line 7)"}},
      {head + var + "junk\n",
       false,
       {"t.eds:8: neither a section header, a comment nor KEY=VALUE"}},
      {head + var + "[3000\n", false, {"t.eds:8: a section header without its closing ']'"}},
      {head + var + "[2000]\n", true, {"t.eds:8: section [2000] again (first on line 4)"}},
      {head + var + "[OptionalObjects]\nSupportedObjects=1\n1=0x2000\n",
       false,
       {"t.eds:8: section [OptionalObjects] again (first on line 1)"}},
      {head + var + "[" + std::string(250, 'x') + "]\n",
       true,
       {"t.eds:8: section header longer than 198 bytes"}},
      {"Key=1\n" + head + var, false, {"t.eds:1: a key before the first section"}},
      {"[OptionalObjects]\nSupportedObjects=2\n1=0x2000\n[2000]\nDataType=6\nAccessType=ro\n",
       false,
       {"t.eds:1: [OptionalObjects]: no entry 2 ", "t.eds:4: [2000]: no ParameterName"}},
      {head + var + "[2001sub1]\nParameterName=X\n",
       false,
       {"t.eds:8: [2001sub1]: no object section [2001]"}},
      {head + "ObjectType=9\nSubNumber=2\n[2000sub0]\nParameterName=N\nDataType=5\nAccessType=ro\n",
       false,
       {"t.eds:7: SubNumber 2 but 1 sub-object sections"}},
      {head + "ObjectType=9\nSubNumber=two\n[2000sub0]\nParameterName=N\nDataType=5\n",
       true,
       {"t.eds:7: SubNumber 'two' is not a number 0..255"}},
      {head + "ObjectType=9\nSubNumber=1\n[2000sub0]\nParameterName=N\n[2000sub00]\n",
       true,
       {"t.eds:10: [2000sub00]: sub-index 0 again (first [2000sub0])"}},
      {head + "ObjectType=9\nCompactSubObj=2\nDataType=5\nAccessType=ro\n",
       false,
       {"t.eds:7: CompactSubObj in a RECORD"}},
      {head + "ObjectType=9\nCompactSubObj=2\n", true, {"t.eds:7: CompactSubObj in a RECORD"}},
      {head + "ObjectType=4\n", true, {"t.eds:6: ObjectType '4' is not 0, 2, 5, 6, 7, 8 or 9"}},
      {head + var + "[3000]\nParameterName=Y\nDataType=7\nAccessType=ro\n",
       false,
       {}},  // not listed: read all the same
      {head + var + "[ManufacturerObjects]\nSupportedObjects=1\n1=0x2000\n",
       false,
       {"t.eds:10: object 0x2000 listed again (first in [OptionalObjects])"}},
      {"[MandatoryObjects]\nSupportedObjects=1\n1=0x1000\n[2000]\nParameterName=V\n" + var,
       false,
       {"t.eds:3: object 0x1000 has no section [1000]"}},
      {"; nothing\n", true, {"t.eds: no objects"}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.text);
    for (const bool strict : {true, false}) {
      ObjectDictionary od;
      std::vector<std::string> errors;
      const bool ok = ObjectDictionary::parse(r.text, "t.eds", od, errors, 0, strict);
      const bool refused = !r.errors.empty() && (strict || r.hard);
      ASSERT_EQ(ok, !refused) << (errors.empty() ? "" : errors[0]);
      std::vector<std::string> told = errors;
      if (ok) {
        EXPECT_TRUE(errors.empty());
        told.clear();
        for (const auto& w : od.warnings()) told.push_back(w.str());
      } else {
        EXPECT_EQ(od.size(), 0u);  // nothing half-loaded
      }
      // Every problem is told, in the order of the file; a warning adds the reading taken.
      ASSERT_EQ(told.size(), r.errors.size()) << (told.empty() ? "" : told[0]);
      for (size_t i = 0; i < told.size(); ++i) {
        EXPECT_EQ(told[i].rfind(r.errors[i], 0), 0u) << told[i];
        if (strict && r.errors[i].back() != ' ') {
          EXPECT_EQ(told[i], r.errors[i]);
        }
      }
    }
  }
}

// What files of real devices get wrong, read as meant: the warnings with their lines, and the
// values taken. A strict reading refuses the same texts at the first warning's line.
TEST(ObjectDictionary, ReadsSloppyVendorFilesWithWarnings) {
  const std::string head =
      "[OptionalObjects]\nSupportedObjects=1\n1=0x2000\n[2000]\nParameterName=Value\n";  // 1..5
  const std::string rec =
      head + "ObjectType=9\nSubNumber=3\n[2000sub0]\nParameterName=N\nDataType=5\nAccessType=ro\n";
  const int64_t min32 = INT32_MIN;
  const struct {
    std::string text;
    std::vector<std::string> warnings;
    uint16_t index;
    uint8_t sub;
    Value low, high, def;  // those not empty are checked
    bool absent;           // the entry is left out
  } rows[] = {
      {head + "DataType=2\nAccessType=rw\nLowLimit=0x80\nHighLimit=255\n",
       {"t.eds:8: LowLimit 0x80 is out of range of INTEGER8: read as -128 (two's complement)",
        "t.eds:9: HighLimit 255 is out of range of INTEGER8: read as -1 (two's complement)"},
       0x2000,
       0,
       Value::of_int(-128),
       Value::of_int(-1),
       {},
       false},
      {head + "DataType=3\nAccessType=rw\nLowLimit=0xFFFF\nHighLimit=100\nDefaultValue=65535\n",
       {"t.eds:8: LowLimit 0xFFFF is out of range of INTEGER16: read as -1 (two's complement)",
        "t.eds:10: DefaultValue 65535 is out of range of INTEGER16: read as -1 (two's complement)"},
       0x2000,
       0,
       Value::of_int(-1),
       Value::of_uint(100),
       Value::of_int(-1),
       false},
      {head + "DataType=4\nAccessType=rw\nDefaultValue=2147483648\n",
       {"t.eds:8: DefaultValue 2147483648 is out of range of INTEGER32: read as -2147483648 "
        "(two's complement)"},
       0x2000,
       0,
       {},
       {},
       Value::of_int(min32),
       false},
      {rec + "[2000sub2]\nParameterName=B\nDataType=5\nAccessType=ro\n",
       {"t.eds:7: SubNumber 3 but 2 sub-object sections: the sections are read"},
       0x2000,
       1,
       {},
       {},
       {},
       true},
      {head + "DataType=7\nAccessType=ro\n[ManufacturerObjects]\nSupportedObjects=1\n1=0x3000\n",
       {"t.eds:10: object 0x3000 has no section [3000]: left out"},
       0x3000,
       0,
       {},
       {},
       {},
       true},
      {"[OptionalObjects]\nSupportedObjects=1\n1=0x2000\n2=0x2001\n[2001]\nParameterName=B\n"
       "DataType=5\nAccessType=ro\nDefaultValue=7\n",
       {"t.eds:3: object 0x2000 has no section [2000]: left out",
        "t.eds:4: entry '2' outside 1..SupportedObjects (1): read"},
       0x2001,
       0,
       {},
       {},
       Value::of_uint(7),
       false},
      {head + "ObjectType=9\nCompactSubObj=2\nDataType=6\nAccessType=rw\nDefaultValue=3\n",
       {"t.eds:7: CompactSubObj in a RECORD: read as an ARRAY"},
       0x2000,
       2,
       {},
       {},
       Value::of_uint(3),
       false},
      {head + "ObjectType=2\nDefaultValue=NULL\n",
       {"t.eds:7: DefaultValue 'NULL' for a DOMAIN: no bytes"},
       0x2000,
       0,
       {},
       {},
       Value::of_bytes(""),
       false},
      {head + "; Ger\xE4tedatei\nDataType=9\nAccessType=ro\nDefaultValue=25 \xB0"
              "C\n",
       {"t.eds:6: a byte that is not UTF-8 (0xE4) in a comment: ignored",
        "t.eds:9: a byte that is not UTF-8 (0xB0): read as Latin-1"},
       0x2000,
       0,
       {},
       {},
       Value::of_bytes("25 \xC2\xB0"
                       "C"),
       false},
      {head + "DataType=7\nAccessType=rw\nDefaultValue=$NodeId + 0x180\n",
       {},
       0x2000,
       0,
       {},
       {},
       Value::of_uint(0x185),
       false},
      {head + "DataType=7\nAccessType=rw\nDefaultValue=$NODEID+0x80000200 ; not valid\n",
       {},
       0x2000,
       0,
       {},
       {},
       Value::of_uint(0x80000205),
       false},
      {head + "DataType=7\nAccessType=rw\nDefaultValue=16;the rate\n",
       {"t.eds:8: DefaultValue '16;the rate' has a comment after ';': read as '16'"},
       0x2000,
       0,
       {},
       {},
       Value::of_uint(16),
       false},
      {head + "DataType=7\nAccessType=ro\n[PreDefines]\nX=1\n[DynamicChannels]\nNrOfSeg=1\n"
              "[DeviceCommissioning]\nNodeID=5\n",
       {},
       0x2000,
       0,
       {},
       {},
       {},
       false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.text);
    ObjectDictionary od;
    std::vector<std::string> errors;
    ASSERT_TRUE(ObjectDictionary::parse(r.text, "t.eds", od, errors, 5)) << errors[0];
    std::vector<std::string> told;
    for (const auto& w : od.warnings()) told.push_back(w.str());
    EXPECT_EQ(told, r.warnings);
    const canbus::ObjectEntry* e = od.find(r.index, r.sub);
    EXPECT_EQ(e == nullptr, r.absent);
    if (e != nullptr) {
      for (const auto& [got, want] :
           {std::pair{e->low, r.low}, {e->high, r.high}, {e->default_value, r.def}}) {
        if (!want.empty()) {
          EXPECT_EQ(got, want) << got.text();
        }
      }
    }
    ObjectDictionary strict;
    errors.clear();
    EXPECT_EQ(ObjectDictionary::parse(r.text, "t.eds", strict, errors, 5, true),
              r.warnings.empty());
    if (!r.warnings.empty()) {
      ASSERT_FALSE(errors.empty());
      const std::string at = r.warnings[0].substr(0, r.warnings[0].find(": ") + 2);
      EXPECT_EQ(errors[0].rfind(at, 0), 0u) << errors[0];
    }
  }
  // A TIME_OF_DAY has its six bytes or no value; never an empty default it cannot hold.
  for (const char* def : {"", "DefaultValue=\n", "DefaultValue=NULL\n", "DefaultValue=0x0102\n"}) {
    ObjectDictionary od;
    std::vector<std::string> errors;
    ASSERT_TRUE(ObjectDictionary::parse(head + "DataType=0x000C\nAccessType=rw\n" + def, "t.eds",
                                        od, errors));
    ASSERT_NE(od.find(0x2000, 0), nullptr) << def;
    EXPECT_TRUE(od.find(0x2000, 0)->default_value.empty()) << def;
  }
  // The misspelt section is read under both spellings.
  for (const char* dc : {"DeviceComissioning", "DeviceCommissioning"}) {
    ObjectDictionary od;
    std::vector<std::string> errors;
    ASSERT_TRUE(ObjectDictionary::parse(
        head + "DataType=7\nAccessType=ro\n[" + dc + "]\nNodeID=9\nBaudrate=500\n", "t.dcf", od,
        errors));
    EXPECT_EQ(od.dcf_node_id(), 9);
    EXPECT_EQ(od.baud_rate(), 500);
  }
}

TEST(ObjectDictionary, NamesAreExactAndAmbiguousOnesRefused) {
  const std::string text =
      "[2000]\nParameterName=Speed\nDataType=6\nAccessType=rw\n"
      "[2001]\nParameterName=Speed\nDataType=6\nAccessType=rw\n"
      "[2002]\nParameterName=Set point\nDataType=6\nAccessType=rw\n";
  ObjectDictionary od;
  std::vector<std::string> errors;
  ASSERT_TRUE(ObjectDictionary::parse(text, "t.eds", od, errors));
  std::string why;
  EXPECT_EQ(od.lookup("Speed", why), nullptr);
  EXPECT_EQ(why, "'Speed' is ambiguous: 0x2000 sub 0, 0x2001 sub 0 (use the index and sub-index)");
  EXPECT_EQ(od.lookup("set point", why), nullptr);
  EXPECT_EQ(why, "no object named 'set point'");
  EXPECT_NE(od.find("Set point"), nullptr);
  EXPECT_FALSE(ObjectDictionary::load("/nonexistent/x.eds", od, errors));
  EXPECT_EQ(errors.back(), "/nonexistent/x.eds: cannot be read: No such file or directory");
  // Only a regular file is read: an endless device is refused, not read into memory.
  EXPECT_FALSE(ObjectDictionary::load("/dev/zero", od, errors));
  EXPECT_EQ(errors.back(), "/dev/zero: not a regular file");
}

// A DCF checked against its device's EDS: each finding with the line it concerns, in line order;
// a DCF the reader refuses gives the reader's errors.
TEST(ObjectDictionary, DcfCheckedAgainstTheEds) {
  ObjectDictionary eds;
  std::vector<std::string> errors;
  ASSERT_TRUE(ObjectDictionary::parse(kDevice, "test.eds", eds, errors));
  const std::string dcf =
      "[DeviceComissioning]\nNodeID=5\n"
      "[1017]\nParameterName=Producer heartbeat time\nDataType=0x0006\nAccessType=rw\n"
      "ParameterValue=1000\n"  // 3..7
      "[1000]\nParameterName=Device type\nDataType=0x0007\nAccessType=ro\n"
      "ParameterValue=0x191\n"  // 8..12
      "[2001]\nParameterName=Node address\nDataType=0x0006\nAccessType=rw\n"
      "ParameterValue=5\n"  // 13..17
      "[2000]\nParameterName=Channel gains\nObjectType=8\nDataType=0x0003\nAccessType=rww\n"
      "CompactSubObj=2\n[2000Value]\nNrOfEntries=1\n1=150\n"  // 18..26
      "[3000]\nParameterName=Extra\nDataType=0x0005\nAccessType=rw\nParameterValue=1;x\n";  // 27..31
  EXPECT_EQ(canbus::check_dcf_against_eds(dcf, "node5.dcf", eds),
            (std::vector<std::string>{
                "node5.dcf:12: 0x1000:00 'Device type': a ParameterValue for an entry the EDS "
                "makes ro",
                "node5.dcf:13: 0x2001:00 'Node address' is UNSIGNED16, the EDS has UNSIGNED8",
                "node5.dcf:26: 0x2000:01 'Channel gains.Channel gains1': ParameterValue 150 above "
                "the EDS's HighLimit 100",
                "node5.dcf:27: 0x3000:00 'Extra' is not in the EDS",
                "node5.dcf:31: ParameterValue '1;x' has a comment after ';': read as '1'",
            }));
  EXPECT_EQ(canbus::check_dcf_against_eds(dcf.substr(0, dcf.find("[1000]")), "node5.dcf", eds),
            std::vector<std::string>{});
  EXPECT_EQ(canbus::check_dcf_against_eds("[1017]\nDataType=0x00FF\n", "bad.dcf", eds),
            std::vector<std::string>{"bad.dcf:2: DataType '0x00FF' is not a standard data type"});
  // Limits of a signed type compared as signed: a negative value within them is no finding, one
  // at a limit neither; below the LowLimit is.
  const std::string limits =
      "[2000]\nParameterName=Channel gains\nObjectType=8\nDataType=0x0003\nAccessType=rww\n"
      "CompactSubObj=3\n[2000Value]\nNrOfEntries=3\n1=-150\n2=-5\n3=100\n";  // 9..11
  EXPECT_EQ(canbus::check_dcf_against_eds(limits, "l.dcf", eds),
            std::vector<std::string>{"l.dcf:9: 0x2000:01 'Channel gains.Channel gains1': "
                                     "ParameterValue -150 below the EDS's LowLimit -100"});
  // A value of another type is named for its type only, not compared with the limits.
  const std::string typed =
      "[2000]\nParameterName=Channel gains\nObjectType=8\nDataType=0x0007\nAccessType=rww\n"
      "CompactSubObj=1\n[2000Value]\nNrOfEntries=1\n1=5000\n";
  const std::vector<std::string> found = canbus::check_dcf_against_eds(typed, "t.dcf", eds);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_NE(found[0].find("is UNSIGNED32, the EDS has INTEGER16"), std::string::npos) << found[0];
}

}  // namespace
}  // namespace canbus_test
