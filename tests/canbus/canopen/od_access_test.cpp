// Typed object access against a simulated node that serves the dictionary of an EDS: every data
// type written, read back and compared; refusals with no frame on the bus; the device's aborts;
// and the bundled example's EDS files.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "canopen_node.h"
#include "support/canbus_fixture.h"
#include "support/nodes.h"

namespace canbus_test {
namespace {

using canbus::DataType;
using canbus::ObjectAccess;
using canbus::ObjectDictionary;
using canbus::Value;

constexpr int kLine = 1;
constexpr int kNet = net_of(kLine);
constexpr int kNode = 9;

// One rw object per data type at 0x3000 + its code, named after the type.
struct TypeRow {
  DataType type;
  Value value;
};
const TypeRow kTypes[] = {
    {DataType::kBoolean, Value::of_bool(true)},
    {DataType::kInteger8, Value::of_int(-100)},
    {DataType::kInteger16, Value::of_int(-30000)},
    {DataType::kInteger24, Value::of_int(-0x7FFFFF)},
    {DataType::kInteger32, Value::of_int(-2000000000)},
    {DataType::kInteger40, Value::of_int(-0x7FFFFFFFFF)},
    {DataType::kInteger48, Value::of_int(0x7FFFFFFFFFFF)},
    {DataType::kInteger56, Value::of_int(-0x123456789ABCD)},
    {DataType::kInteger64, Value::of_int(INT64_MIN)},
    {DataType::kUnsigned8, Value::of_uint(0xFE)},
    {DataType::kUnsigned16, Value::of_uint(0xBEEF)},
    {DataType::kUnsigned24, Value::of_uint(0xABCDEF)},
    {DataType::kUnsigned32, Value::of_uint(0xDEADBEEF)},
    {DataType::kUnsigned40, Value::of_uint(0xFFFFFFFFFF)},
    {DataType::kUnsigned48, Value::of_uint(0x123456789ABC)},
    {DataType::kUnsigned56, Value::of_uint(0xFFFFFFFFFFFFFF)},
    {DataType::kUnsigned64, Value::of_uint(UINT64_MAX)},
    {DataType::kReal32, Value::of_real(-1.5)},
    {DataType::kReal64, Value::of_real(6.02214076e23)},
    {DataType::kVisibleString, Value::of_bytes("a text of some length")},
    {DataType::kOctetString, Value::of_bytes(std::string("\0\x01\xFF\x7F", 4))},
    {DataType::kUnicodeString, Value::of_bytes(std::string("A\0\xE9\0", 4))},
    {DataType::kDomain, Value::of_bytes(std::string(100, '\x5A'))},
    {DataType::kTimeOfDay, Value::of_bytes("\x01\x02\x03\x04\x05\x06")},
};

std::string device_eds() {
  std::string s =
      "[MandatoryObjects]\nSupportedObjects=1\n1=0x1000\n"
      "[1000]\nParameterName=Device type\nDataType=0x0007\nAccessType=ro\nDefaultValue=0x191\n"
      "[1008]\nParameterName=Manufacturer device name\nDataType=0x0009\nAccessType=const\n"
      "DefaultValue=Test device\n"
      "[1017]\nParameterName=Producer heartbeat time\nDataType=0x0006\nAccessType=rw\n"
      "DefaultValue=0\n"
      "[2000]\nParameterName=Set point\nDataType=0x0004\nAccessType=rw\nLowLimit=-50\n"
      "HighLimit=$NODEID+100\nDefaultValue=5\n"
      "[2003]\nParameterName=Trim\nDataType=0x0002\nAccessType=rw\nLowLimit=-100\n"
      "HighLimit=0xF6\n"  // an INTEGER8 written as unsigned: -10
      "[2001]\nParameterName=Command\nDataType=0x0005\nAccessType=wo\n"
      "[2002]\nParameterName=Pump configuration\nObjectType=9\nSubNumber=2\n"
      "[2002sub0]\nParameterName=Highest sub-index supported\nDataType=5\nAccessType=const\n"
      "DefaultValue=1\n"
      "[2002sub1]\nParameterName=Vent delay\nDataType=6\nAccessType=rw\nDefaultValue=2000\n";
  char sec[64];
  for (const TypeRow& r : kTypes) {
    std::snprintf(sec, sizeof sec, "[%04X]\nDataType=0x%04X\n", 0x3000 + static_cast<int>(r.type),
                  static_cast<int>(r.type));
    s += std::string(sec) + "ParameterName=Type " + canbus::data_type_name(r.type) +
         "\nAccessType=rw\n";
  }
  return s;
}

class ObjectAccessTest : public CanbusTest {
 protected:
  void SetUp() override {
    CanbusTest::SetUp();
    auto od = std::make_shared<ObjectDictionary>();
    std::vector<std::string> errors;
    ASSERT_TRUE(ObjectDictionary::parse(device_eds(), "device.eds", *od, errors, kNode))
        << errors[0];
    od_ = od;
    sim_ = std::make_unique<sim::VbusNode>(kNet, kNode);
    sim_->logic().load_dictionary(*od_);
    loc_ = std::make_unique<EqFct>("OD.TEST");
    node_ = make_node(*loc_, "NODE", iiii(kLine, kNode));
    ASSERT_EQ(node_->init(0x580 + kNode), 0);
    ASSERT_TRUE(clock().wait_for_sleepers(1));
    vbus::clear_sent(kNet);
  }
  void TearDown() override {
    node_.reset();
    loc_.reset();
    sim_.reset();
    CanbusTest::TearDown();
  }
  size_t sdo_requests() {
    size_t n = 0;
    for (const CMSG& m : vbus::sent(kNet)) n += m.id == 0x600 + kNode;
    return n;
  }

  std::shared_ptr<const ObjectDictionary> od_;
  std::unique_ptr<sim::VbusNode> sim_;
  std::unique_ptr<EqFct> loc_;
  std::unique_ptr<D_can> node_;
};

TEST_F(ObjectAccessTest, EveryDataTypeRoundTripsByName) {
  ObjectAccess access(*node_, od_);
  for (const TypeRow& r : kTypes) {
    const std::string name = std::string("Type ") + canbus::data_type_name(r.type);
    SCOPED_TRACE(name);
    std::string why;
    ASSERT_EQ(access.write(name, r.value, &why), 0) << why;
    // The node holds the little-endian bytes of the type.
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(canbus::encode_value(r.type, r.value, bytes, nullptr));
    const auto index = static_cast<uint16_t>(0x3000 + static_cast<int>(r.type));
    EXPECT_EQ(sim_->logic().object(index, 0), std::string(bytes.begin(), bytes.end()));
    Value back;
    ASSERT_EQ(access.read(name, back, &why), 0) << why;
    EXPECT_EQ(back, r.value) << back.text();
    Value by_index;
    ASSERT_EQ(access.read(index, 0, by_index), 0);
    EXPECT_EQ(by_index, r.value);
  }
  // Names with blanks and sub-objects; defaults as the node's initial values ($NODEID resolved).
  Value v;
  ASSERT_EQ(access.read("Pump configuration.Vent delay", v), 0);
  EXPECT_EQ(v, Value::of_uint(2000));
  ASSERT_EQ(access.write("Producer heartbeat time", Value::of_uint(1000)), 0);
  EXPECT_EQ(sim_->logic().heartbeat_period_ms(), 1000);
  ASSERT_EQ(access.read("Manufacturer device name", v), 0);
  EXPECT_EQ(v, Value::of_bytes("Test device"));
  ASSERT_EQ(access.write("Set point", Value::of_int(109)), 0);  // HighLimit $NODEID+100
}

TEST_F(ObjectAccessTest, ChecksRefuseBeforeAnythingIsSent) {
  ObjectAccess access(*node_, od_, 16);
  const struct {
    const char* name;
    Value value;
    const char* why;
  } rows[] = {
      {"Device type", Value::of_uint(1), "'Device type' (0x1000 sub 0) is read-only"},
      {"Manufacturer device name", Value::of_bytes("x"),
       "'Manufacturer device name' (0x1008 sub 0) is const"},
      {"Pump configuration.Highest sub-index supported", Value::of_uint(1),
       "'Pump configuration.Highest sub-index supported' (0x2002 sub 0) is const"},
      {"Set point", Value::of_int(110), "'Set point' (0x2000 sub 0): 110 above the high limit 109"},
      {"Set point", Value::of_int(-51), "'Set point' (0x2000 sub 0): -51 below the low limit -50"},
      {"Trim", Value::of_int(-5), "'Trim' (0x2003 sub 0): -5 above the high limit -10"},
      {"Type UNSIGNED8", Value::of_uint(256),
       "'Type UNSIGNED8' (0x3005 sub 0): value 256 out of range of UNSIGNED8 (0..255)"},
      {"Type INTEGER16", Value::of_bytes("ab"), nullptr},
      {"Type VISIBLE_STRING", Value::of_bytes(std::string(17, 'x')),
       "'Type VISIBLE_STRING' (0x3009 sub 0): a value of 17 bytes is longer than 16 bytes"},
      {"No such object", Value::of_uint(1), "no object named 'No such object'"},
      {"Vent delay", Value::of_uint(1), "no object named 'Vent delay'"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    std::string why;
    EXPECT_EQ(access.write(r.name, r.value, &why), ObjectAccess::kRefused);
    if (r.why != nullptr) {
      EXPECT_EQ(why, r.why);
    }
  }
  Value v;
  std::string why;
  EXPECT_EQ(access.read("Command", v, &why), ObjectAccess::kRefused);
  EXPECT_EQ(why, "'Command' (0x2001 sub 0) is write-only");
  EXPECT_EQ(access.write(0x4000, 0, Value::of_uint(1), &why), ObjectAccess::kRefused);
  EXPECT_EQ(why, "0x4000 sub 0 is not in the object dictionary");
  EXPECT_EQ(ObjectAccess::result_text(ObjectAccess::kRefused), "refused before sending");
  EXPECT_EQ(sdo_requests(), 0u);
}

// The caller's type bypasses the dictionary's checks: the node refuses as a device does.
TEST_F(ObjectAccessTest, TheSimulatedDeviceAbortsAsTheFileSays) {
  ObjectAccess plain(*node_);  // no dictionary
  const struct {
    uint16_t index;
    uint8_t sub;
    DataType type;
    Value value;  // empty: a read
    int result;
  } rows[] = {
      {0x1000, 0, DataType::kUnsigned32, Value::of_uint(1), 0x06010002},
      {0x1008, 0, DataType::kVisibleString, Value::of_bytes("x"), 0x06010002},
      {0x2001, 0, DataType::kUnsigned8, {}, 0x06010001},
      {0x2001, 0, DataType::kUnsigned8, Value::of_uint(3), 0},
      {0x4000, 0, DataType::kUnsigned8, {}, 0x06020000},
      {0x2002, 7, DataType::kUnsigned8, {}, 0x06090011},
      {0x1017, 0, DataType::kUnsigned8, Value::of_uint(1), 0x06070013},
      {0x1017, 0, DataType::kUnsigned32, Value::of_uint(1), 0x06070012},
      {0x2000, 0, DataType::kInteger32, Value::of_int(110), 0x06090031},
      {0x2000, 0, DataType::kInteger32, Value::of_int(-51), 0x06090032},
      {0x3001, 0, DataType::kUnsigned8, Value::of_uint(2), 0x06090030},
      {0x2000, 0, DataType::kInteger32, {}, 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(std::to_string(r.index) + " sub " + std::to_string(r.sub));
    Value v;
    const int got = r.value.empty() ? plain.read(r.index, r.sub, r.type, v)
                                    : plain.write(r.index, r.sub, r.type, r.value);
    EXPECT_EQ(got, r.result) << ObjectAccess::result_text(got);
  }
  std::string why;
  Value v;
  EXPECT_EQ(plain.read("Set point", v, &why), ObjectAccess::kRefused);
  EXPECT_EQ(why, "no object dictionary for names");
  // A value whose size does not fit the type the caller gives.
  EXPECT_EQ(plain.read(0x1017, 0, DataType::kUnsigned32, v, &why), ObjectAccess::kMismatch);
  // Reset node restores the file's defaults.
  ASSERT_EQ(plain.write(0x2000, 0, DataType::kInteger32, Value::of_int(7)), 0);
  const unsigned char reset[2] = {0x81, kNode};
  ASSERT_EQ(node_->can_write(0, 2, const_cast<unsigned char*>(reset)), 0);
  ASSERT_EQ(plain.read(0x2000, 0, DataType::kInteger32, v), 0);
  EXPECT_EQ(v, Value::of_int(5));
}

TEST(ExampleEds, TheBundledDevicesFilesAreRead) {
  for (const char* file : {"vpc200.eds", "vlv1.eds", "mps40.eds", "vg3.eds"}) {
    SCOPED_TRACE(file);
    ObjectDictionary od;
    std::vector<std::string> errors;
    ASSERT_TRUE(ObjectDictionary::load(std::string(CANBUS_EDS_DIR) + "/" + file, od, errors, 5))
        << errors[0];
    const canbus::ObjectEntry* hb = od.find("Producer heartbeat time");
    ASSERT_NE(hb, nullptr);
    EXPECT_EQ(hb->data_type, DataType::kUnsigned16);
    EXPECT_EQ(hb->unit, "ms");
    EXPECT_EQ(od.find("TPDO1 communication parameter.COB-ID used by TPDO")->default_value,
              Value::of_uint(0x185));
    EXPECT_NE(od.find(0x2102, 0), nullptr);  // the text object every simulated node has
  }
}

}  // namespace
}  // namespace canbus_test
