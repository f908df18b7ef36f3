// Process data on the virtual bus with the virtual clock: the PDO frame layout (every type,
// bit-packed booleans, 64-bit values, short frames), the configuration procedure's frames and
// its failures against the simulated node's SDO server, TPDOs decoded by the monitor (late and
// back), RPDOs, the SYNC producer, boot configuration, and closing a property under a transfer.
#include <gtest/gtest.h>

#include <cstdio>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "canbus/io/node_harness.h"
#include "canopen_node.h"
#include "support/canbus_fixture.h"
#include "support/vcan_peers.h"

namespace canbus_test {
namespace {

using canbus::DataType;
using canbus::PdoConfig;
using canbus::PdoEntry;
using canbus::PdoKind;
using canbus::Value;
using Texts = std::vector<std::string>;

constexpr int kLine = 1;
constexpr int kNet = net_of(kLine);
constexpr int kNode = 5;

// --- Frame layout -----------------------------------------------------------------------------

struct DecodeCase {
  const char* name;
  std::vector<PdoEntry> mapping;
  std::vector<uint8_t> data;
  std::vector<Value> want;
};
void PrintTo(const DecodeCase& c, std::ostream* os) {
  *os << c.name;
}

PdoEntry e(DataType t, uint8_t bits, uint16_t index = 0x6000, uint8_t sub = 1) {
  return {index, sub, bits, t, ""};
}

class DecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, DecodesAndEncodesBack) {
  const DecodeCase& c = GetParam();
  std::vector<Value> got;
  ASSERT_TRUE(canbus::decode_pdo(c.mapping, c.data.data(), c.data.size(), got));
  EXPECT_EQ(got, c.want);
  // Encoding the values gives the frame again (dummy bits as zero).
  CMSG m{};
  std::string err;
  ASSERT_TRUE(canbus::encode_pdo(c.mapping, got, m, &err)) << err;
  EXPECT_EQ(std::vector<uint8_t>(m.data, m.data + m.len), c.data);
  // One byte short: not decoded.
  EXPECT_FALSE(canbus::decode_pdo(c.mapping, c.data.data(), c.data.size() - 1, got));
}

INSTANTIATE_TEST_SUITE_P(
    Types, DecodeTest,
    ::testing::Values(
        DecodeCase{"U8_I8_U16_I16",
                   {e(DataType::kUnsigned8, 8), e(DataType::kInteger8, 8),
                    e(DataType::kUnsigned16, 16), e(DataType::kInteger16, 16)},
                   {0xFF, 0xFF, 0x34, 0x12, 0x00, 0x80},
                   {Value::of_uint(255), Value::of_int(-1), Value::of_uint(0x1234),
                    Value::of_int(-32768)}},
        DecodeCase{"I24_U24",
                   {e(DataType::kInteger24, 24), e(DataType::kUnsigned24, 24)},
                   {0xFE, 0xFF, 0xFF, 0x01, 0x02, 0x03},
                   {Value::of_int(-2), Value::of_uint(0x030201)}},
        DecodeCase{"U32_I32",
                   {e(DataType::kUnsigned32, 32), e(DataType::kInteger32, 32)},
                   {0x78, 0x56, 0x34, 0x12, 0x00, 0x00, 0x00, 0x80},
                   {Value::of_uint(0x12345678), Value::of_int(INT32_MIN)}},
        DecodeCase{
            "U40_I48_U56",
            {e(DataType::kUnsigned40, 40), e(DataType::kInteger16, 16), e(DataType::kUnsigned8, 8)},
            {1, 2, 3, 4, 5, 0xFF, 0x7F, 9},
            {Value::of_uint(0x0504030201), Value::of_int(32767), Value::of_uint(9)}},
        DecodeCase{"I64",
                   {e(DataType::kInteger64, 64)},
                   {0x01, 0, 0, 0, 0, 0, 0, 0x80},
                   {Value::of_int(INT64_MIN + 1)}},
        DecodeCase{"U64",
                   {e(DataType::kUnsigned64, 64)},
                   {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
                   {Value::of_uint(UINT64_MAX)}},
        DecodeCase{"Real32_Real32",
                   {e(DataType::kReal32, 32), e(DataType::kReal32, 32)},
                   {0x00, 0x00, 0xC0, 0x3F, 0x00, 0x00, 0x20, 0xC1},
                   {Value::of_real(1.5), Value::of_real(-10.0)}},
        DecodeCase{"Real64",
                   {e(DataType::kReal64, 64)},
                   {0, 0, 0, 0, 0, 0, 0xF0, 0x3F},
                   {Value::of_real(1.0)}},
        DecodeCase{"BitPackedBooleans",
                   {e(DataType::kBoolean, 1), e(DataType::kBoolean, 1), e(DataType::kBoolean, 1),
                    e(DataType::kUnsigned8, 5), e(DataType::kBoolean, 1),
                    e(DataType::kUnsigned8, 7)},
                   {0xA5, 0x03},
                   {Value::of_bool(true), Value::of_bool(false), Value::of_bool(true),
                    Value::of_uint(0x14), Value::of_bool(true), Value::of_uint(1)}},
        DecodeCase{"DummySkipped",
                   {e(DataType::kUnsigned8, 8), e(DataType::kUnsigned16, 16, 0x0006, 0),
                    e(DataType::kInteger16, 16)},
                   {0x07, 0x00, 0x00, 0x9C, 0xFF},
                   {Value::of_uint(7), Value(), Value::of_int(-100)}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PdoEncode, ValueOutOfRangeAndWrongCountAreRefused) {
  const std::vector<PdoEntry> m = {e(DataType::kInteger8, 8), e(DataType::kUnsigned16, 16)};
  CMSG f{};
  std::string err;
  EXPECT_FALSE(canbus::encode_pdo(m, {Value::of_int(200), Value::of_uint(1)}, f, &err));
  EXPECT_EQ(err, "0x6000:01: value 200 out of range of INTEGER8 (-128..127)");
  EXPECT_FALSE(canbus::encode_pdo(m, {Value::of_int(1)}, f, &err));
  EXPECT_EQ(err, "1 values for 2 mapped objects");
  EXPECT_EQ(canbus::entry_from_word(0x64010110).type, DataType::kUnsigned16);
  EXPECT_EQ(canbus::entry_from_word(0x00050008).type, DataType::kUnsigned8);  // dummy
  EXPECT_EQ(canbus::entry_from_word(0x60000101).type, DataType::kBoolean);
}

// --- Configuration over SDO -------------------------------------------------------------------

// The ADC's TPDO1: two 16-bit channels, every 100 ms.
PdoConfig adc_tpdo() {
  PdoConfig c;
  c.kind = PdoKind::kTpdo;
  c.number = 1;
  c.transmission_type = 0xFF;
  c.event_timer_ms = 100;
  c.mapping = {{0x6401, 1, 16, DataType::kInteger16, "ch1"},
               {0x6401, 2, 16, DataType::kInteger16, "ch2"}};
  return c;
}

// --- Mappings and boot configuration from the device's file ----------------------------------

// A 2-channel ADC module's EDS; with `dcf` its DCF for node 5: both channels mapped into TPDO1
// (made valid, event timer 100 ms), a filter set, and values that are not to be written (a
// read-only object, one marked "refuse write on download", the store command, one unchanged).
std::string adc_file(bool dcf) {
  std::string t = dcf ? "[DeviceComissioning]\nNodeID=5\n" : "";
  auto obj = [&](const char* sec, const char* name, int code, int subs) {
    t += std::string("[") + sec + "]\nParameterName=" + name +
         "\nObjectType=" + std::to_string(code) + "\nSubNumber=" + std::to_string(subs) + "\n";
  };
  auto var = [&](const char* sec, const char* name, int type, const char* access, const char* def,
                 const char* param = nullptr, const char* more = "") {
    t += std::string("[") + sec + "]\nParameterName=" + name +
         "\nDataType=" + std::to_string(type) + "\nAccessType=" + access + "\nDefaultValue=" + def +
         "\n" + more;
    if (dcf && param != nullptr) t += std::string("ParameterValue=") + param + "\n";
  };
  obj("1010", "Store parameters", 8, 2);
  var("1010sub0", "Highest sub-index supported", 5, "ro", "1");
  var("1010sub1", "Save all parameters", 7, "rw", "1", "0x65766173");
  obj("1018", "Identity object", 9, 3);
  var("1018sub0", "Highest sub-index supported", 5, "const", "2");
  var("1018sub1", "Vendor-ID", 7, "ro", "0xABC");
  var("1018sub2", "Product code", 7, "ro", "0x2A");
  obj("1400", "RPDO communication parameter", 9, 3);
  var("1400sub0", "Highest sub-index supported", 5, "const", "2");
  var("1400sub1", "COB-ID used by RPDO", 7, "rw", "$NODEID+0x80000200");
  var("1400sub2", "Transmission type", 5, "rw", "0xFF");
  obj("1600", "RPDO mapping parameter", 9, 2);
  var("1600sub0", "Number of mapped objects", 5, "rw", "1");
  var("1600sub1", "Mapped object 1", 7, "rw", "0x21000010");
  obj("1800", "TPDO communication parameter", 9, 5);
  var("1800sub0", "Highest sub-index supported", 5, "const", "5");
  var("1800sub1", "COB-ID used by TPDO", 7, "rw", "$NODEID+0x80000180", "$NODEID+0x180");
  var("1800sub2", "Transmission type", 5, "rw", "0xFE", "0xFF");
  var("1800sub3", "Inhibit time", 6, "rw", "0");
  var("1800sub5", "Event timer", 6, "rw", "0", "100");
  obj("1A00", "TPDO mapping parameter", 9, 3);
  var("1A00sub0", "Number of mapped objects", 5, "rw", "0", "2");
  var("1A00sub1", "Mapped object 1", 7, "rw", "0", "0x64010110");
  var("1A00sub2", "Mapped object 2", 7, "rw", "0", "0x64010210");
  var("2100", "Filter", 6, "rw", "0", "8", "PDOMapping=1\n");
  var("2101", "Serial number", 7, "ro", "0", "7");
  var("2102", "Calibration", 6, "rw", "0", "3", "ObjFlags=1\n");
  var("2103", "Gain", 6, "rw", "1", "1");
  obj("6401", "Read analogue input 16-bit", 8, 3);
  var("6401sub0", "Highest sub-index supported", 5, "ro", "2");
  var("6401sub1", "Channel 1", 3, "ro", "0", nullptr, "PDOMapping=1\n");
  var("6401sub2", "Channel 2", 3, "ro", "0", nullptr, "PDOMapping=1\n");
  var("6402", "Status", 6, "ro", "0");
  return t;
}

canbus::ObjectDictionary parsed(const std::string& text, int node_id = 0) {
  canbus::ObjectDictionary od;
  std::vector<std::string> errors;
  EXPECT_TRUE(canbus::ObjectDictionary::parse(text, "adc.dcf", od, errors, node_id))
      << ::testing::PrintToString(errors);
  return od;
}

std::string describe(const PdoConfig& c) {
  char t[96];
  std::snprintf(t, sizeof t, "%s 0x%03X%s%s type %u inhibit %u event %u sync %u:",
                canbus::pdo_name(c.kind, c.number).c_str(), c.cob_id, c.valid ? "" : " invalid",
                c.rtr_allowed ? "" : " no-rtr", c.transmission_type, c.inhibit_time_100us,
                c.event_timer_ms, c.sync_start);
  std::string s = t;
  for (const PdoEntry& e : c.mapping) {
    std::snprintf(t, sizeof t, " 0x%04X:%02X/%u %s '", e.index, e.subindex, e.bits,
                  canbus::data_type_name(e.type));
    s += t + e.name + "'";
  }
  return s;
}

TEST(PdoDictionary, EntriesTakeTheObjectsNameAndTypeOrAreRefused) {
  const canbus::ObjectDictionary od = parsed(adc_file(true));
  struct Case {
    uint32_t word;
    const char* want;  // the entry, or the reason
  } cases[] = {
      {0x64010110, "0x6401:01/16 INTEGER16 'Read analogue input 16-bit.Channel 1'"},
      {0x21000010, "0x2100:00/16 UNSIGNED16 'Filter'"},
      {0x00050008, "0x0005:00/8 UNSIGNED8 ''"},  // dummies stay dummies
      {0x00010001, "0x0001:00/1 BOOLEAN ''"},
      {0x64010108, "0x6401:01: 8 bits, INTEGER16 has 16"},
      {0x00050010, "0x0005:00: 16 bits, UNSIGNED8 has 8"},
      {0x64020010, "0x6402:00 is not PDO-mappable"},
      {0x64030010, "0x6403:00: no such object in the dictionary"},
      {0x64010100, "0x6401:01: bit length 0"},
  };
  for (const Case& c : cases) {
    PdoEntry e;
    std::string why;
    PdoConfig one;
    if (canbus::pdo_entry_from_word(od, c.word, e, why)) {
      one.mapping = {e};
      why = describe(one).substr(describe(one).find(':') + 2);
    }
    EXPECT_EQ(why, c.want) << std::hex << c.word;
  }
}

TEST(PdoDictionary, PdosAndBootConfigurationFromTheDcf) {
  const canbus::ObjectDictionary dcf = parsed(adc_file(true));  // node id from the DCF
  PdoConfig c;
  std::string why;
  ASSERT_TRUE(canbus::pdo_config_from_dictionary(dcf, PdoKind::kTpdo, 1, c, why)) << why;
  const std::string tpdo1 =
      "TPDO1 0x185 type 255 inhibit 0 event 100 sync 0: 0x6401:01/16 INTEGER16 'Read analogue "
      "input 16-bit.Channel 1' 0x6401:02/16 INTEGER16 'Read analogue input 16-bit.Channel 2'";
  EXPECT_EQ(describe(c), tpdo1);
  ASSERT_TRUE(canbus::pdo_config_from_dictionary(dcf, PdoKind::kRpdo, 1, c, why)) << why;
  EXPECT_EQ(describe(c),
            "RPDO1 0x205 invalid type 255 inhibit 0 event 0 sync 0: 0x2100:00/16 "
            "UNSIGNED16 'Filter'");
  EXPECT_FALSE(canbus::pdo_config_from_dictionary(dcf, PdoKind::kTpdo, 2, c, why));
  EXPECT_EQ(why, "TPDO2: 0x1801:01: not in the dictionary");
  // Read without a node id, the EDS's $NODEID identifier is the predefined one.
  ASSERT_TRUE(
      canbus::pdo_config_from_dictionary(parsed(adc_file(false)), PdoKind::kTpdo, 1, c, why));
  EXPECT_EQ(describe(c), "TPDO1 0x000 invalid type 254 inhibit 0 event 0 sync 0:");
  // An RPDO takes writable objects only.
  std::string ro = adc_file(true);
  ro.replace(ro.find("0x21000010"), 10, "0x64010110");
  EXPECT_FALSE(canbus::pdo_config_from_dictionary(parsed(ro), PdoKind::kRpdo, 1, c, why));
  EXPECT_EQ(why, "RPDO1: 0x1600:01: 0x6401:01 is read-only: not in an RPDO");

  // The boot configuration: the changed writable object, the changed PDO, the identity.
  canbus::BootConfig b;
  ASSERT_TRUE(canbus::boot_config_from_dictionary(dcf, b, why)) << why;
  ASSERT_EQ(b.writes.size(), 1u);
  EXPECT_EQ(b.writes[0].index, 0x2100);
  EXPECT_EQ(b.writes[0].type, DataType::kUnsigned16);
  EXPECT_EQ(b.writes[0].value, Value::of_uint(8));
  ASSERT_EQ(b.pdos.size(), 1u);
  EXPECT_EQ(describe(b.pdos[0]), tpdo1);
  EXPECT_TRUE(b.check_identity);
  EXPECT_EQ(b.vendor_id, 0xABCu);
  EXPECT_EQ(b.product_code, 0x2Au);
  // An EDS asks for nothing but the identity; a changed PDO that cannot be built is refused.
  ASSERT_TRUE(canbus::boot_config_from_dictionary(parsed(adc_file(false), kNode), b, why));
  EXPECT_TRUE(b.writes.empty() && b.pdos.empty() && b.check_identity);
  std::string bad = adc_file(true);
  bad.replace(bad.find("0x64010210"), 10, "0x64020010");
  EXPECT_FALSE(canbus::boot_config_from_dictionary(parsed(bad), b, why));
  EXPECT_EQ(why, "TPDO1: 0x1A00:02: 0x6402:00 is not PDO-mappable");
}

class PdoTest : public CanbusTest {
 protected:
  void SetUp() override {
    CanbusTest::SetUp();
    loc_ = std::make_unique<EqFct>("PDO.TEST");
    node_ = make_node(*loc_, "NODE", iiii(kLine, kNode));
    ASSERT_EQ(node_->init(0x580 + kNode), 0);
    sim_ = std::make_unique<sim::VbusNode>(kNet, kNode);
    // A device's TPDO1 as it comes from the factory: valid on 0x185, one 8-bit entry.
    auto& l = sim_->logic();
    l.set_object(0x1800, 0, "\x06");
    l.set_object(0x1800, 1, std::string("\x85\x01\x00\x00", 4));
    l.set_object(0x1800, 2, "\xFE");
    l.set_object(0x1800, 3, std::string("\x00\x00", 2));
    l.set_object(0x1800, 5, std::string("\x00\x00", 2));
    l.set_object(0x1800, 6, std::string("\x00", 1));
    l.set_object(0x1A00, 0, "\x01");
    l.set_object(0x1A00, 1, std::string("\x08\x00\x00\x60", 4));
    l.set_object(0x1A00, 2, std::string(4, '\0'));
    // The ADC's channels, which the configuration maps.
    for (uint8_t ch = 1; ch <= 2; ++ch) {
      l.set_object(0x6401, ch, std::string(2, '\0'));
      l.set_pdo_mappable(0x6401, ch, true);
    }
    vbus::clear_sent(kNet);
  }
  void TearDown() override {
    mon_.reset();
    sim_.reset();
    node_.reset();
    loc_.reset();
    CanbusTest::TearDown();
  }
  Texts sent(int32_t id) {
    Texts out;
    for (const CMSG& m : vbus::sent(kNet)) {
      if (id < 0 || m.id == id) out.push_back(frame_text(m));
    }
    return out;
  }
  uint32_t cob_in_node() {
    const std::string v = *sim_->logic().object(0x1800, 1);
    uint32_t c = 0;
    for (size_t i = 0; i < v.size(); ++i) c |= static_cast<uint32_t>(uint8_t(v[i])) << (8 * i);
    return c;
  }

  // A monitor recording its process-data callbacks.
  void monitor(canbus::NodeConfig cfg = {}) {
    canbus::MonitorCallbacks cb;
    cb.on_pdo = [this](D_can&, int pdo, const canbus::PdoValues& v) {
      std::string t =
          "TPDO" + std::to_string(pdo) + " @" + std::to_string((v.time_ns - t0_) / 1000000);
      for (const Value& x : v.values) t += " " + x.text();
      record(t);
    };
    cb.on_pdo_late = [this](D_can&, int pdo) { record("late " + std::to_string(pdo)); };
    cb.on_pdo_back = [this](D_can&, int pdo) { record("back " + std::to_string(pdo)); };
    cb.on_frames = [this](D_can&, CMSG*, int n) { record("frames " + std::to_string(n)); };
    cb.on_boot_config = [this](D_can&, const canbus::BootReport& r) {
      record(r.ok ? "configured" : "failed: " + r.reason);
    };
    mon_ = std::make_unique<canbus::NodeMonitor>(cb);
    t0_ = clock().now_ns();
    cfg.mode = canbus::Supervision::kNone;
    ASSERT_EQ(mon_->add(node_.get(), cfg), 0);
  }
  void record(const std::string& s) {
    std::lock_guard<std::mutex> lk(mx_);
    events_.push_back(s);
  }
  Texts events() {
    std::lock_guard<std::mutex> lk(mx_);
    Texts t;
    t.swap(events_);
    return t;
  }
  void step(int ms) {
    clock().advance(int64_t{ms} * 1'000'000);
    ASSERT_TRUE(mon_->poll());
  }
  // Until the boot configurations due have ended (the workers run them on threads of their own)
  // and their reports are delivered: `n` of them by then.
  canbus::NodeStats until_configured(uint64_t n) {
    canbus::NodeStats s;
    mon_->poll();  // a boot-up seen makes its configuration due
    EXPECT_TRUE(mon_->wait_boot_configs(10000));
    mon_->poll();  // delivers the reports, stored with the counters
    EXPECT_TRUE(mon_->stats(node_.get(), s));
    EXPECT_EQ(s.configured + s.config_failures, n);
    return s;
  }

  std::unique_ptr<EqFct> loc_;
  std::unique_ptr<D_can> node_;
  std::unique_ptr<sim::VbusNode> sim_;
  std::unique_ptr<canbus::NodeMonitor> mon_;
  std::mutex mx_;
  Texts events_;
  int64_t t0_ = 0;
};

TEST_F(PdoTest, ConfigurationFramesInOrderThenReadBack) {
  const canbus::PdoResult r = canbus::configure_pdo(*node_, adc_tpdo());
  ASSERT_TRUE(r.ok()) << r.text;
  EXPECT_EQ(sent(0x600 + kNode),
            (Texts{
                "605#4000180100000000",  // COB-ID read
                "605#2300180185010080",  // invalid
                "605#2F001A0000000000",  // no entries
                "605#23001A0110010164",  // 0x6401:1, 16 bits
                "605#23001A0210020164",  // 0x6401:2, 16 bits
                "605#2F001A0002000000",  // two entries
                "605#2300180185010080",  // identifier, still invalid
                "605#2F001802FF000000",  // event driven
                "605#2B00180300000000",  // inhibit time
                "605#2B00180564000000",  // event timer 100 ms
                "605#2300180185010000",  // valid
                "605#4000180000000000",  // read-back
                "605#4000180100000000", "605#4000180200000000", "605#4000180300000000",
                "605#4000180500000000", "605#4000180600000000", "605#40001A0000000000",
                "605#40001A0100000000", "605#40001A0200000000",
            }));
  PdoConfig back;
  ASSERT_TRUE(canbus::read_pdo(*node_, PdoKind::kTpdo, 1, back).ok());
  EXPECT_EQ(back.cob_id, 0x185u);
  EXPECT_TRUE(back.valid);
  EXPECT_EQ(back.event_timer_ms, 100);
  ASSERT_EQ(back.mapping.size(), 2u);
  EXPECT_EQ(canbus::mapping_word(back.mapping[1]), 0x64010210u);
  EXPECT_EQ(back.mapping[1].type, DataType::kUnsigned16);  // the node does not tell the sign
  // The TPDO's identifier is enabled on the node's handle.
  const auto ids = vbus::enabled_ids(node_->handle());
  EXPECT_NE(std::find(ids.begin(), ids.end(), 0x185), ids.end());
}

// --- Configuration as one concise DCF ----------------------------------------------------------

canbus::BootConfig config_with_write_and_pdo() {
  canbus::BootConfig cfg;
  cfg.writes.push_back({0x2100, 0, DataType::kUnsigned32, Value::of_uint(0x12345678)});
  cfg.pdos.push_back(adc_tpdo());
  return cfg;
}

TEST(ConciseDcf, RoundTripAndEveryTruncationRefused) {
  std::vector<canbus::ConciseEntry> entries, back;
  std::string why;
  ASSERT_TRUE(canbus::concise_entries(config_with_write_and_pdo(), kNode, entries, why));
  const std::vector<uint8_t> bytes = canbus::encode_concise_dcf(entries);
  ASSERT_TRUE(canbus::decode_concise_dcf(bytes, back, why)) << why;
  EXPECT_EQ(back, entries);
  for (size_t n = 0; n < bytes.size(); ++n) {
    std::vector<canbus::ConciseEntry> out{entries[0]};
    EXPECT_FALSE(canbus::decode_concise_dcf({bytes.begin(), bytes.begin() + n}, out, why)) << n;
    EXPECT_EQ(out.size(), 1u);  // untouched
  }
  EXPECT_EQ(why, "entry 11 of 11: 4 bytes announced, 3 left");
  std::vector<uint8_t> longer = bytes;
  longer.push_back(0);
  EXPECT_FALSE(canbus::decode_concise_dcf(longer, back, why));
  EXPECT_EQ(why, "1 bytes after the last of 11 entries");
}

// The entries are the writes, then exactly the downloads configure_pdo makes (its first one
// with the new identifier), so that both ways configure a node alike.
TEST_F(PdoTest, ConciseEntriesAreTheWritesThenTheDownloadsOfConfigurePdo) {
  std::vector<canbus::ConciseEntry> entries;
  std::string why;
  ASSERT_TRUE(canbus::concise_entries(config_with_write_and_pdo(), kNode, entries, why)) << why;
  ASSERT_TRUE(canbus::configure_pdo(*node_, adc_tpdo()).ok());
  Texts downloads;
  for (const std::string& f : sent(0x600 + kNode)) {
    if (f.compare(4, 1, "2") == 0) downloads.push_back(f);
  }
  Texts expected;
  for (const canbus::ConciseEntry& e : entries) {
    // The expedited download of the entry's bytes.
    const uint8_t cmd = e.data.size() == 1 ? 0x2F : e.data.size() == 2 ? 0x2B : 0x23;
    std::vector<uint8_t> f{cmd, uint8_t(e.index & 0xFF), uint8_t(e.index >> 8), e.subindex};
    f.insert(f.end(), e.data.begin(), e.data.end());
    CMSG m{};
    m.id = 0x600 + kNode;
    m.len = 8;
    std::copy(f.begin(), f.end(), m.data);
    expected.push_back(frame_text(m));
  }
  EXPECT_EQ(expected.front(), "605#2300210078563412");
  EXPECT_EQ(Texts(expected.begin() + 1, expected.end()), downloads);
  // A write by name needs the dictionary.
  canbus::BootConfig named;
  named.writes.push_back({"Filter", Value::of_uint(1)});
  EXPECT_FALSE(canbus::concise_entries(named, kNode, entries, why));
  EXPECT_EQ(why, "'Filter': no object dictionary of the node");
}

struct ConfigCase {
  const char* name;
  bool concise_node;     // the node takes a concise DCF at 0x1F22
  bool block = true;     // the node has block transfer
  bool current = false;  // the node holds the stamp already
  bool store = false;
  bool bad = false;  // an entry the node refuses (0x2101 is one byte)
  // Outcome.
  bool ok = true, skipped = false, concise = false;
  uint64_t transfers = 0;
  std::string reason = "";
  bool no_stamp_object = false;  // a node without 0x1020: written every time, no stamp
  bool empty_stamp = false;      // no stamp given: nothing read, nothing stamped
  int cancel_after = -1;         // cancelled at this call of `cancelled` (counted from 0)
};
void PrintTo(const ConfigCase& c, std::ostream* os) {
  *os << c.name;
}

class ConfigTest : public PdoTest, public ::testing::WithParamInterface<ConfigCase> {};

TEST_P(ConfigTest, WrittenAsOneDcfOrObjectByObjectOrSkipped) {
  const ConfigCase& c = GetParam();
  sim::NodeLogic& n = sim_->logic();
  n.enable_config_store(c.concise_node);
  n.set_block_transfer(c.block);
  if (c.no_stamp_object) {
    n.remove_object(0x1020, 1);
    n.remove_object(0x1020, 2);
  }
  const canbus::ConfigStamp stamp =
      c.empty_stamp ? canbus::ConfigStamp{} : canbus::ConfigStamp{15000, 3600000};
  if (c.current) {
    n.set_object(0x1020, 1, std::string("\x98\x3A\x00\x00", 4));
    n.set_object(0x1020, 2, std::string("\x80\xEE\x36\x00", 4));
  }
  canbus::BootConfig cfg = config_with_write_and_pdo();
  if (c.bad) cfg.writes.push_back({0x2101, 0, DataType::kUnsigned16, Value::of_uint(7)});
  std::vector<canbus::ConciseEntry> entries;
  std::string why;
  ASSERT_TRUE(canbus::concise_entries(cfg, kNode, entries, why)) << why;
  int asked = 0;
  const canbus::ConfigResult r = canbus::write_configuration(
      *node_, entries, stamp, c.store, [&] { return asked++ == c.cancel_after; });
  EXPECT_EQ(r.ok, c.ok);
  if (c.cancel_after >= 0) {
    EXPECT_EQ(asked, c.cancel_after + 1);  // asked no more once cancelled
    EXPECT_EQ(r.result, NTCAN_OPERATION_ABORTED);
  }
  EXPECT_EQ(r.skipped, c.skipped);
  EXPECT_EQ(r.concise, c.concise);
  EXPECT_EQ(r.reason, c.reason);
  EXPECT_EQ(node_->sdo_counts().transfers, c.transfers);
  // The objects before a refused one stay written, as on a device.
  if (!c.skipped) {
    EXPECT_EQ(n.object(0x2100, 0), "\x78\x56\x34\x12");
  }
  if (!c.ok || c.skipped) return;
  EXPECT_EQ(n.object(0x2100, 0), "\x78\x56\x34\x12");
  EXPECT_EQ(cob_in_node(), 0x185u);
  // The TPDO's identifier is enabled on the node's handle either way.
  const auto ids = vbus::enabled_ids(node_->handle());
  EXPECT_NE(std::find(ids.begin(), ids.end(), 0x185), ids.end());
  // Stored, the configuration and its stamp outlive a power cycle; else the node forgets both.
  n.power_cycle();
  EXPECT_EQ(n.object(0x2100, 0), c.store ? "\x78\x56\x34\x12" : std::string(4, '\0'));
  if (c.no_stamp_object) {
    EXPECT_EQ(n.object(0x1020, 1), std::nullopt);  // not there, and not made
  } else {
    EXPECT_EQ(n.object(0x1020, 1), (c.store && !c.empty_stamp) || c.current
                                       ? std::string("\x98\x3A\x00\x00", 4)
                                       : std::string(4, '\0'));
  }
}

// Transfers: two reads of 0x1020; the DCF, or its try and the 11 objects; the stamp; the store
// command.
INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigTest,
    ::testing::Values(
        ConfigCase{"Concise", true, true, false, false, false, true, false, true, 5},
        ConfigCase{"ConciseStored", true, true, false, true, false, true, false, true, 6},
        ConfigCase{"NoConciseObject", false, true, false, true, false, true, false, false, 17},
        ConfigCase{"NoBlockTransfer", true, false, false, false, false, true, false, false, 16},
        ConfigCase{"Current", true, true, true, false, false, true, true, false, 2},
        ConfigCase{"ConciseRefused", true, true, false, false, true, false, false, false, 3,
                   "0x1F22:05: SDO abort 0x06070012: Data type does not match, length of "
                   "service parameter too high"},
        ConfigCase{"ObjectRefused", false, true, false, false, true, false, false, false, 5,
                   "0x2101:00: SDO abort 0x06070012: Data type does not match, length of "
                   "service parameter too high"},
        // One read finds no 0x1020; the DCF; no stamp; the store command.
        ConfigCase{"NoStampObject", true, true, false, true, false, true, false, true, 3, "", true},
        // No reads, the DCF, no stamp, the store command.
        ConfigCase{"EmptyStamp", true, true, false, true, false, true, false, true, 2, "", false,
                   true},
        // An empty stamp matches none, not even the one the node holds.
        ConfigCase{"EmptyStampCurrent", true, true, true, false, false, true, false, true, 1, "",
                   false, true},
        // Two reads, the DCF's try, the first object; asked before the second.
        ConfigCase{"CancelledBetweenObjects", false, true, false, false, false, false, false, false,
                   4, "cancelled", false, false, 4},
        // Cancelled before the stamp: the DCF went, no stamp.
        ConfigCase{"CancelledBeforeTheStamp", true, true, false, true, false, false, false, true, 3,
                   "cancelled", false, false, 3}),
    [](const ::testing::TestParamInfo<ConfigCase>& i) { return std::string(i.param.name); });

// --- The master's own producers and their values -------------------------------------------

// On the virtual clock: due at once, then every period from the start; a late tick sends one
// frame and the schedule stays on the start's grid; stop() ends it and start() begins anew.
TEST_F(PdoTest, MasterHeartbeatKeepsItsGridWithoutBurstAndStartsAgain) {
  canbus::MasterProducer p(kLine, canbus::MasterProducer::Kind::kHeartbeat, 0x10);
  ASSERT_TRUE(p.start(100, false));
  EXPECT_FALSE(p.start(100, false));  // runs already
  EXPECT_TRUE(p.running());
  EXPECT_TRUE(p.tick());
  EXPECT_FALSE(p.tick());
  clock().advance(99'000'000);
  EXPECT_FALSE(p.tick());
  clock().advance(1'000'000);
  EXPECT_TRUE(p.tick());
  clock().advance(1'050'000'000);  // ten periods late
  EXPECT_TRUE(p.tick());
  EXPECT_FALSE(p.tick());       // no burst for the missed ones
  clock().advance(49'000'000);  // t0 + 1199 ms
  EXPECT_FALSE(p.tick());
  clock().advance(1'000'000);  // t0 + 1200 ms: on the grid of the start
  EXPECT_TRUE(p.tick());
  EXPECT_EQ(sent(0x710), Texts(4, "710#05"));
  EXPECT_EQ(p.sent(), 4u);
  EXPECT_EQ(p.failed(), 0u);
  ASSERT_TRUE(p.stop());
  EXPECT_FALSE(p.running());
  clock().advance(500'000'000);
  EXPECT_FALSE(p.tick());  // stopped: nothing due
  ASSERT_TRUE(p.start(300, false));
  EXPECT_TRUE(p.tick());  // due at once again
  clock().advance(299'000'000);
  EXPECT_FALSE(p.tick());
  clock().advance(1'000'000);
  EXPECT_TRUE(p.tick());
  EXPECT_EQ(p.sent(), 6u);
  // Refused arguments.
  for (int id : {0, 128, -1}) {
    canbus::MasterProducer h(kLine, canbus::MasterProducer::Kind::kHeartbeat, id);
    EXPECT_FALSE(h.start(100, false)) << id;
    EXPECT_FALSE(h.running());
  }
  canbus::MasterProducer t(kLine, canbus::MasterProducer::Kind::kTime);
  EXPECT_FALSE(t.start(-5, false));
  EXPECT_FALSE(t.running());
  EXPECT_FALSE(t.tick());
}

// The TIME frame carries the clock's time when it is sent, in TIME_OF_DAY's layout.
TEST_F(PdoTest, MasterTimeFrameCarriesTheClock) {
  canbus::MasterProducer t(kLine, canbus::MasterProducer::Kind::kTime);
  ASSERT_TRUE(t.start(1000, false));
  const std::vector<uint8_t> b = canbus::time_of_day_bytes(clock().now_ns());
  ASSERT_TRUE(t.tick());
  const Texts times = sent(0x100);
  ASSERT_EQ(times.size(), 1u);
  char want[32];
  std::snprintf(want, sizeof want, "100#%02X%02X%02X%02X%02X%02X", b[0], b[1], b[2], b[3], b[4],
                b[5]);
  EXPECT_EQ(times[0], want);
}

TEST(MasterValues, TimeOfDayAtTheOriginAndDayBoundaries) {
  constexpr int64_t k1984 = 441'763'200'000;  // ms
  struct Case {
    const char* name;
    int64_t unix_ms;
    std::vector<uint8_t> bytes;
  };
  const std::vector<Case> cases = {
      {"origin", k1984, {0, 0, 0, 0, 0, 0}},
      {"before the origin", k1984 - 1, {0, 0, 0, 0, 0, 0}},
      {"the epoch", 0, {0, 0, 0, 0, 0, 0}},
      {"last ms of day 0", k1984 + 86'399'999, {0xFF, 0x5B, 0x26, 0x05, 0, 0}},
      {"first ms of day 1", k1984 + 86'400'000, {0, 0, 0, 0, 1, 0}},
      {"last ms of day 256", k1984 + 257 * 86'400'000LL - 1, {0xFF, 0x5B, 0x26, 0x05, 0, 1}},
      {"day 65535", k1984 + 65'535 * 86'400'000LL + 1, {1, 0, 0, 0, 0xFF, 0xFF}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(canbus::time_of_day_bytes(c.unix_ms * 1'000'000), c.bytes) << c.name;
    // Sub-millisecond parts are cut, not rounded.
    EXPECT_EQ(canbus::time_of_day_bytes(c.unix_ms * 1'000'000 + 999'999), c.bytes) << c.name;
  }
  constexpr int64_t s1984 = k1984 / 1000;
  EXPECT_EQ(canbus::config_stamp_of(s1984 + 86'399), (canbus::ConfigStamp{0, 86'399'000}));
  EXPECT_EQ(canbus::config_stamp_of(s1984 + 86'400), (canbus::ConfigStamp{1, 0}));
  EXPECT_EQ(canbus::config_stamp_of(s1984 + 1), (canbus::ConfigStamp{0, 1000}));
  EXPECT_TRUE(canbus::config_stamp_of(s1984 - 1).empty());
  EXPECT_TRUE(canbus::config_stamp_of(-86'400).empty());
}

// Every bit of 0x1F81 that the assignment holds comes back; the reserved bits 1, 2 and 7 do not.
TEST(MasterValues, AssignmentRoundTripOfEveryBit) {
  for (int bit = 0; bit < 32; ++bit) {
    const uint32_t v = 1u << bit;
    const bool reserved = bit == 1 || bit == 2 || bit == 7;
    EXPECT_EQ(canbus::SlaveAssignment::from_u32(v).to_u32(), reserved ? 0u : v) << bit;
  }
  EXPECT_EQ(canbus::SlaveAssignment::from_u32(0xFFFFFFFFu).to_u32(), 0xFFFFFF79u);
  canbus::SlaveAssignment a;
  a.slave = false;
  a.retries = 300;  // clamped to the 8 bits
  EXPECT_EQ(a.to_u32(), 0x0000FF00u);
  a.retries = -1;
  EXPECT_EQ(a.to_u32(), 0u);
}

struct FailCase {
  const char* name;
  uint16_t index;
  uint8_t sub;
  bool remove;  // the object is missing; else it is read-only
  const char* text;
  bool left_invalid;
};
void PrintTo(const FailCase& c, std::ostream* os) {
  *os << c.name;
}
class PdoFailTest : public PdoTest, public ::testing::WithParamInterface<FailCase> {};

TEST_P(PdoFailTest, ReportedWithObjectAndAbortTextAndThePdoLeftInvalid) {
  const FailCase& c = GetParam();
  if (c.remove) {
    sim_->logic().remove_object(c.index, c.sub);
  } else {
    sim_->logic().set_access(c.index, c.sub, false);
  }
  const canbus::PdoResult r = canbus::configure_pdo(*node_, adc_tpdo());
  EXPECT_EQ(r.text, c.text);
  EXPECT_EQ(r.index, c.index);
  EXPECT_EQ(r.subindex, c.sub);
  EXPECT_EQ((cob_in_node() & 0x80000000u) != 0, c.left_invalid);
  // Never valid with a mapping other than the factory one.
  if (!c.left_invalid) {
    EXPECT_EQ(*sim_->logic().object(0x1A00, 0), "\x01");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, PdoFailTest,
    ::testing::Values(
        FailCase{"Invalidate", 0x1800, 1, false,
                 "TPDO1: 0x1800:01: SDO abort 0x06010002: Attempt to write a read only object",
                 false},
        FailCase{"Count", 0x1A00, 0, false,
                 "TPDO1: 0x1A00:00: SDO abort 0x06010002: Attempt to write a read only object",
                 true},
        FailCase{"Entry", 0x1A00, 2, true,
                 "TPDO1: 0x1A00:02: SDO abort 0x06020000: Object does not exist in the object "
                 "dictionary",
                 true},
        FailCase{"TransmissionType", 0x1800, 2, false,
                 "TPDO1: 0x1800:02: SDO abort 0x06010002: Attempt to write a read only object",
                 true},
        FailCase{"EventTimer", 0x1800, 5, true,
                 "TPDO1: 0x1800:05: SDO abort 0x06020000: Object does not exist in the object "
                 "dictionary",
                 true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PdoTest, SilentNodeReportsTheTimeOutOfTheFirstStep) {
  sim_->logic().set_silent(true);
  const canbus::PdoResult r = canbus::configure_pdo(*node_, adc_tpdo());
  EXPECT_EQ(r.result, D_can::kSdoTimeout);
  EXPECT_EQ(r.text, "TPDO1: 0x1800:01: SDO time-out");
}

// --- Decoding in the monitor ------------------------------------------------------------------

TEST_F(PdoTest, MonitorDecodesTpdosCountsShortOnesAndReportsLateAndBack) {
  monitor();
  ASSERT_EQ(mon_->add_tpdo(node_.get(), adc_tpdo()), 0);
  vbus::inject(kNet, make_frame(0x185, {0x10, 0x00, 0xF6, 0xFF}));
  vbus::inject(kNet, make_frame(0x185, {0x10, 0x00}));  // short
  step(0);
  EXPECT_EQ(events(), (Texts{"TPDO1 @0 16 -10", "frames 2"}));
  EXPECT_EQ(log().with_label("NodeMonitor").size(), 1u);
  for (int i = 0; i < 3; ++i) step(100);  // 300 ms: within 3 event periods
  EXPECT_EQ(events(), Texts{});
  step(1);
  EXPECT_EQ(events(), Texts{"late 1"});
  step(500);  // reported once
  vbus::inject(kNet, make_frame(0x185, {1, 0, 2, 0}));
  step(0);
  EXPECT_EQ(events(), (Texts{"TPDO1 @801 1 2", "back 1", "frames 1"}));
  canbus::TpdoStats t;
  ASSERT_TRUE(mon_->tpdo_stats(node_.get(), 1, t));
  EXPECT_EQ(t.count, 2u);
  EXPECT_EQ(t.short_frames, 1u);
  EXPECT_EQ(t.late_events, 1u);
  canbus::NodeStats s;
  ASSERT_TRUE(mon_->stats(node_.get(), s));
  EXPECT_EQ(s.pdos, 2u);
  EXPECT_EQ(s.pdos_short, 1u);
  EXPECT_EQ(s.pdos_late, 1u);
  // A boot-up disarms: a node that is not started sends no TPDOs and is not late.
  vbus::inject(kNet, make_frame(0x705, {0}));
  step(1000);
  EXPECT_EQ(events(), Texts{"frames 1"});
}

// --- RPDOs and SYNC ---------------------------------------------------------------------------

TEST_F(PdoTest, RpdoEncodedAndSentAtOnceOrAfterTheNextSync) {
  PdoConfig sp;
  sp.kind = PdoKind::kRpdo;
  sp.number = 1;
  sp.mapping = {{0x6411, 1, 16, DataType::kInteger16, "set-point"},
                {0x6200, 1, 1, DataType::kBoolean, "enable"},
                {0x0001, 0, 7, DataType::kBoolean, ""}};
  std::string err;
  ASSERT_EQ(canbus::send_rpdo(*node_, sp, {Value::of_int(-2), Value::of_bool(true), Value()},
                              nullptr, &err),
            0)
      << err;
  EXPECT_EQ(sent(-1), Texts{"205#FEFF01"});
  EXPECT_EQ(canbus::send_rpdo(*node_, sp, {Value::of_int(40000), Value(), Value()}, nullptr, &err),
            canbus::kPdoBadConfig);

  vbus::clear_sent(kNet);
  sp.transmission_type = 1;  // synchronous
  canbus::SyncProducer sync(kLine);
  ASSERT_TRUE(sync.start(10000, 0, false));
  ASSERT_EQ(
      canbus::send_rpdo(*node_, sp, {Value::of_int(1), Value::of_bool(false), Value()}, &sync), 0);
  ASSERT_EQ(
      canbus::send_rpdo(*node_, sp, {Value::of_int(2), Value::of_bool(false), Value()}, &sync), 0);
  EXPECT_EQ(sent(-1), Texts{});
  clock().advance(10'000'000);
  EXPECT_TRUE(sync.tick());
  EXPECT_EQ(sent(-1), (Texts{"080#", "205#020000"}));  // the later value replaced the first
  EXPECT_EQ(sync.stats().rpdos, 1u);
}

TEST_F(PdoTest, SyncKeepsItsDeadlinesCountsAndWraps) {
  canbus::SyncProducer sync(kLine);
  EXPECT_FALSE(sync.start(10000, 1, false));    // counter 1 is reserved
  EXPECT_FALSE(sync.start(10000, 241, false));  // above 240
  const int64_t t0 = clock().now_ns();
  ASSERT_TRUE(sync.start(10000, 3, false));
  std::vector<uint64_t> seen;
  const int id =
      sync.add_listener([&](const canbus::SyncEvent& ev) { seen.push_back(ev.counter); });
  EXPECT_FALSE(sync.tick());  // not yet due
  for (int i = 0; i < 4; ++i) {
    clock().advance(9'999'999);
    EXPECT_FALSE(sync.tick());
    clock().advance(1);
    EXPECT_TRUE(sync.tick());
    EXPECT_FALSE(sync.tick());  // one per period
  }
  EXPECT_EQ(sent(0x80), (Texts{"080#01", "080#02", "080#03", "080#01"}));
  EXPECT_EQ(sync.next_due_ns(), t0 + 50'000'000);
  // 25 ms late: the missed period is skipped, the phase kept.
  clock().advance(25'000'000);
  EXPECT_TRUE(sync.tick());
  EXPECT_EQ(sync.next_due_ns(), t0 + 70'000'000);
  EXPECT_EQ(sync.stats().skipped, 1u);
  EXPECT_EQ(sync.stats().sent, 5u);
  sync.remove_listener(id);
  clock().advance(10'000'000);
  EXPECT_TRUE(sync.tick());
  EXPECT_EQ(seen, (std::vector<uint64_t>{1, 2, 3, 1, 2}));
  EXPECT_TRUE(sync.stop());
  EXPECT_FALSE(sync.running());
}

// With its own thread on the real clock, as a device server runs it: the SYNCs come on time
// (never before their deadline), and stop() ends the wait of a period of an hour at once.
TEST_F(PdoTest, SyncOwnThreadOnTheRealClockKeepsTimeAndStopsAtOnce) {
  // The line's supervision thread stays in its start-up pause on the virtual clock meanwhile.
  ASSERT_TRUE(clock().wait_for_sleepers(1));
  tavik::set_clock(nullptr);
  canbus::SyncProducer sync(kLine);
  std::promise<void> fifth;
  std::vector<canbus::SyncEvent> seen;  // written by the producer's thread until the fifth
  sync.add_listener([&](const canbus::SyncEvent& ev) {
    if (seen.size() < 5) seen.push_back(ev);
    if (seen.size() == 5 && ev.sequence == 5) fifth.set_value();
  });
  ASSERT_TRUE(sync.start(2000, 4));
  fifth.get_future().wait();
  EXPECT_TRUE(sync.stop());
  for (size_t i = 0; i < seen.size(); ++i) {
    EXPECT_GE(seen[i].time_ns, seen[i].due_ns) << i;
    EXPECT_EQ(seen[i].counter, i % 4 + 1) << i;
  }
  const uint64_t sent_syncs = sync.stats().sent;
  EXPECT_EQ(sent_syncs, sent(0x80).size());
  ASSERT_TRUE(sync.start(3'600'000'000));
  EXPECT_TRUE(sync.stop());  // a wait that stop() does not end hangs the test
  EXPECT_EQ(sync.stats().sent, sent_syncs);
  tavik::set_clock(&clock());
}

// Only the SYNCs of the node's own line count: a faster producer on another line, attached
// after it, changes nothing.
TEST_F(PdoTest, SynchronousTpdoLateAfterThreeTimesItsSyncCount) {
  monitor();
  auto elsewhere = make_node(*loc_, "ELSEWHERE", iiii(kLine + 1, kNode));
  ASSERT_EQ(elsewhere->init(0x580 + kNode), 0);
  canbus::SyncProducer sync(kLine);
  canbus::SyncProducer fast(kLine + 1);
  mon_->use_sync(&sync);
  mon_->use_sync(&fast);
  PdoConfig t = adc_tpdo();
  t.transmission_type = 2;  // every second SYNC
  t.event_timer_ms = 0;
  ASSERT_EQ(mon_->add_tpdo(node_.get(), t), 0);
  ASSERT_TRUE(sync.start(10000, 0, false));
  ASSERT_TRUE(fast.start(2500, 0, false));
  vbus::inject(kNet, make_frame(0x185, {0, 0, 0, 0}));
  step(0);
  events();
  for (int i = 0; i < 24; ++i) {
    clock().advance(2'500'000);
    if (i % 4 == 3) sync.tick();
    fast.tick();
  }
  EXPECT_EQ(fast.stats().sent, 24u);
  step(0);
  EXPECT_EQ(events(), Texts{});
  clock().advance(10'000'000);
  sync.tick();
  step(0);
  EXPECT_EQ(events(), Texts{"late 1"});
  mon_->use_sync(nullptr);
}

// --- Boot configuration -----------------------------------------------------------------------

std::shared_ptr<canbus::BootConfig> adc_boot(uint32_t vendor) {
  auto b = std::make_shared<canbus::BootConfig>();
  b->check_identity = true;
  b->vendor_id = vendor;
  b->product_code = 1;
  b->writes = {{0x2100, 0, DataType::kUnsigned32, Value::of_uint(0xCAFE)}};
  b->pdos = {adc_tpdo()};
  return b;
}

TEST_F(PdoTest, BootConfigurationAppliedAtAddAndAfterEachBootUpOnceThenStarted) {
  canbus::NodeConfig cfg;
  cfg.boot = adc_boot(sim::kDefaultVendorId);
  monitor(cfg);
  canbus::NodeStats s = until_configured(1);
  EXPECT_EQ(s.configured, 1u);
  EXPECT_EQ(events(), Texts{"configured"});
  EXPECT_EQ(*sim_->logic().object(0x2100, 0), std::string("\xFE\xCA\x00\x00", 4));
  EXPECT_EQ(sim_->logic().state(), sim::kOperational);
  // The NMT start comes after the last transfer of the configuration.
  EXPECT_EQ(sent(-1).back(), "000#0105");

  // Reset: the node forgets what was written, boots, and is configured and started again.
  vbus::clear_sent(kNet);
  ASSERT_EQ(node_->reset_node(), 0);
  EXPECT_EQ(sim_->logic().object(0x2100, 0), std::string(4, '\0'));
  s = until_configured(2);
  EXPECT_EQ(s.configured, 2u);
  for (int i = 0; i < 5; ++i) step(100);  // no more for that boot
  ASSERT_TRUE(mon_->stats(node_.get(), s));
  EXPECT_EQ(s.configured, 2u);
  EXPECT_EQ(sent(0).size(), 2u);  // the reset and one start
  EXPECT_EQ(*sim_->logic().object(0x2100, 0), std::string("\xFE\xCA\x00\x00", 4));
  // Its TPDOs are decoded from the boot configuration.
  vbus::inject(kNet, make_frame(0x185, {3, 0, 4, 0}));
  step(0);
  const Texts ev = events();
  EXPECT_NE(std::find(ev.begin(), ev.end(), "TPDO1 @500 3 4"), ev.end())
      << ::testing::PrintToString(ev);
}

// A boot-up while the configuration runs: that run is not reported and the node not started
// after it; the configuration runs once more for the new boot, and then the node starts once.
TEST_F(PdoTest, BootUpDuringTheConfigurationRunsItOnceMore) {
  clock().set_wait_grace(60'000'000'000);
  sim_->hold_answers(true);
  canbus::NodeConfig cfg;
  cfg.boot = adc_boot(sim::kDefaultVendorId);
  monitor(cfg);
  ASSERT_TRUE(wait_until([&] { return sim_->held_answers() == 1; }));
  vbus::inject(kNet, make_frame(0x705, {0}));
  canbus::NodeStats s;
  ASSERT_TRUE(wait_until([&] {
    mon_->poll();
    return mon_->stats(node_.get(), s) && s.boot_ups == 1;
  }));
  EXPECT_EQ(events(), Texts{"frames 1"});  // the boot-up
  sim_->hold_answers(false);
  s = until_configured(1);
  EXPECT_EQ(s.configured, 1u);
  EXPECT_EQ(s.config_failures, 0u);
  EXPECT_EQ(events(), Texts{"configured"});
  EXPECT_EQ(sent(0), Texts{"000#0105"});
  const Texts req = sent(0x600 + kNode);
  EXPECT_EQ(std::count(req.begin(), req.end(), "605#4018100100000000"), 2);
}

TEST_F(PdoTest, IdentityMismatchRefusesTheStart) {
  canbus::NodeConfig cfg;
  cfg.boot = adc_boot(0xABD);
  monitor(cfg);
  const canbus::NodeStats s = until_configured(1);
  EXPECT_EQ(s.config_failures, 1u);
  EXPECT_EQ(events(), Texts{"failed: 0x1018:01: vendor id 0x00000ABC, expected 0x00000ABD"});
  EXPECT_EQ(sim_->logic().state(), sim::kPreOperational);
  EXPECT_EQ(sent(0), Texts{});
  EXPECT_EQ(sim_->logic().object(0x2100, 0), std::string(4, '\0'));  // nothing written
}

// A device from its EDS with an ADC model, configured from its DCF by the monitor when added and
// again after an NMT reset (which brings back the EDS's values); each time started, and its TPDOs
// decoded into the model's values.
TEST_F(PdoTest, NodeFromItsEdsConfiguredFromTheDcfAtEachBootGivesTheModelsValues) {
  sim_->logic().load_dictionary(parsed(adc_file(false), kNode));
  auto model = std::make_shared<sim::AdcModel>(2, 10000, 1000);
  sim_->logic().set_model(model);
  auto boot = std::make_shared<canbus::BootConfig>();
  std::string why;
  ASSERT_TRUE(canbus::boot_config_from_dictionary(parsed(adc_file(true)), *boot, why)) << why;
  canbus::NodeConfig cfg;
  cfg.boot = boot;
  monitor(cfg);
  for (uint64_t boots = 1; boots <= 2; ++boots) {
    if (boots == 2) {
      ASSERT_EQ(node_->reset_node(), 0);
      EXPECT_EQ(*sim_->logic().object(0x2100, 0), std::string(2, '\0'));
      EXPECT_EQ(*sim_->logic().object(0x1A00, 0), std::string(1, '\0'));
    }
    EXPECT_EQ(until_configured(boots).configured, boots);
    EXPECT_EQ(sim_->logic().state(), sim::kOperational);
    EXPECT_EQ(*sim_->logic().object(0x2100, 0), std::string("\x08\x00", 2));
    events();
    // The first TPDO on entering operational state, then one per event period.
    Texts want, got;
    for (int k = 0; k < 4; ++k) {
      if (k > 0) clock().advance(100'000'000);
      sim_->pdo_tick();
      ASSERT_TRUE(mon_->poll());
      const int64_t now = clock().now_ns();
      want.push_back("TPDO1 @" + std::to_string((now - t0_) / 1000000) + " " +
                     std::to_string(model->value(0, now)) + " " +
                     std::to_string(model->value(1, now)));
    }
    for (const std::string& ev : events()) {
      if (ev.rfind("TPDO", 0) == 0) got.push_back(ev);
    }
    EXPECT_EQ(got, want) << "boot " << boots;
  }
  // What the node lets be mapped is what the file's PDOMapping flags say.
  auto download = [&](uint16_t index, uint8_t sub, uint32_t v, int n) {
    const auto b = [&](int i) { return static_cast<uint8_t>(i < n ? v >> (8 * i) : 0); };
    const std::vector<CMSG> r = sim_->logic().on_frame(make_frame(
        0x600 + kNode, {static_cast<uint8_t>(0x23 | ((4 - n) << 2)), static_cast<uint8_t>(index),
                        static_cast<uint8_t>(index >> 8), sub, b(0), b(1), b(2), b(3)}));
    return r.size() == 1 ? frame_text(r[0]) : std::string("no answer");
  };
  EXPECT_EQ(download(0x1800, 1, 0x80000185, 4), "585#6000180100000000");
  EXPECT_EQ(download(0x1A00, 0, 0, 1), "585#60001A0000000000");
  EXPECT_EQ(download(0x1A00, 1, 0x64020010, 4), "585#80001A0141000406");  // Status: not mappable
  EXPECT_EQ(download(0x1A00, 1, 0x64010210, 4), "585#60001A0100000000");
}

// Boot writes by object name, through the node's dictionary: its type and its checks.
struct NamedWriteCase {
  const char* name;
  const char* object;
  Value value;
  bool dictionary;
  const char* event;
  const char* filter;  // 0x2100 in the node afterwards
};
void PrintTo(const NamedWriteCase& c, std::ostream* os) {
  *os << c.name;
}
class NamedWriteTest : public PdoTest, public ::testing::WithParamInterface<NamedWriteCase> {};

TEST_P(NamedWriteTest, ResolvedThroughTheDictionaryOrRefusedWithTheReason) {
  const NamedWriteCase& c = GetParam();
  const auto od = std::make_shared<const canbus::ObjectDictionary>(parsed(adc_file(false), kNode));
  sim_->logic().load_dictionary(*od);
  auto boot = std::make_shared<canbus::BootConfig>();
  boot->writes = {{c.object, c.value}};
  if (c.dictionary) boot->dictionary = od;
  canbus::NodeConfig cfg;
  cfg.boot = boot;
  monitor(cfg);
  until_configured(1);
  EXPECT_EQ(events(), Texts{c.event});
  EXPECT_EQ(*sim_->logic().object(0x2100, 0), std::string(c.filter, 2));
}

INSTANTIATE_TEST_SUITE_P(
    Boot, NamedWriteTest,
    ::testing::Values(
        NamedWriteCase{"ByName", "Filter", Value::of_uint(8), true, "configured", "\x08\x00"},
        NamedWriteCase{"OutOfItsType", "Filter", Value::of_uint(70000), true,
                       "failed: 0x2100:00: 'Filter' (0x2100 sub 0): value 70000 out of range of "
                       "UNSIGNED16 (0..65535)",
                       "\0\0"},
        NamedWriteCase{"ReadOnly", "Serial number", Value::of_uint(1), true,
                       "failed: 0x2101:00: 'Serial number' (0x2101 sub 0) is read-only", "\0\0"},
        NamedWriteCase{"Unknown", "Fliter", Value::of_uint(8), true,
                       "failed: no object named 'Fliter'", "\0\0"},
        NamedWriteCase{"NoDictionary", "Filter", Value::of_uint(8), false,
                       "failed: 'Filter': no object dictionary of the node", "\0\0"}),
    [](const ::testing::TestParamInfo<NamedWriteCase>& i) { return std::string(i.param.name); });

// --- Closing under a transfer -----------------------------------------------------------------

enum class Ending { kClose, kMove, kDestroy, kRemove };
class TransferEndTest : public PdoTest, public ::testing::WithParamInterface<Ending> {};

// A transfer to a silent node waits in real time (wait grace); closing, moving or destroying
// the property, or removing it from the monitor, ends it at once with an error, and nothing
// touches the property afterwards (checked by ASan/TSan).
TEST_P(TransferEndTest, TransferEndsWithAnError) {
  clock().set_wait_grace(60'000'000'000);
  sim_->logic().set_silent(true);
  std::future<int> r;
  if (GetParam() == Ending::kRemove) {
    canbus::NodeConfig cfg;
    cfg.boot = adc_boot(sim::kDefaultVendorId);
    monitor(cfg);  // the worker starts uploading 0x1018:1
  } else {
    r = std::async(std::launch::async, [this] {
      uint8_t b[4];
      return node_->sdo_upload(0x1018, 1, b, sizeof b, nullptr);
    });
  }
  ASSERT_TRUE(vbus::wait_for_readers(node_->handle(), 1));
  switch (GetParam()) {
    case Ending::kClose:
      node_->can_close();
      break;
    case Ending::kMove: {
      IIII v = iiii(kLine, kNode + 1);
      node_->set_value(&v);
      break;
    }
    case Ending::kDestroy:
      node_.reset();
      break;
    case Ending::kRemove: {
      // Meanwhile the monitor's thread goes on: the node's own TPDO is decoded.
      // The transfer, the only reader of the handle while it runs, sets the frame aside for the
      // receive cycle when it wakes; each poll returns at once meanwhile.
      vbus::inject(kNet, make_frame(0x185, {1, 0, 2, 0}));
      Texts ev;
      for (int i = 0; i < 1'000'000 && ev.empty(); ++i) {
        ASSERT_TRUE(mon_->poll());
        ev = events();
        std::this_thread::yield();
      }
      ASSERT_FALSE(ev.empty());
      EXPECT_EQ(ev.front().substr(ev.front().size() - 4), " 1 2");
      EXPECT_TRUE(mon_->remove(node_.get()));
      return;
    }
  }
  EXPECT_EQ(r.get(), NTCAN_OPERATION_ABORTED);
  if (node_ != nullptr) {  // a later transfer runs normally (and finds no handle)
    uint8_t b[4];
    EXPECT_EQ(node_->sdo_upload(0x1018, 1, b, sizeof b, nullptr), NTCAN_INVALID_HANDLE);
  }
}

INSTANTIATE_TEST_SUITE_P(Endings, TransferEndTest,
                         ::testing::Values(Ending::kClose, Ending::kMove, Ending::kDestroy,
                                           Ending::kRemove));

}  // namespace
}  // namespace canbus_test
