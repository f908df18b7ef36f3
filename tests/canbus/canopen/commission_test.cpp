// Commissioning on the virtual bus in virtual time: the network scan (lines of 0 to 127 nodes,
// silent ones, an id conflict) and every LSS service against the simulated slave, frame by
// frame in the can-utils text form.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "canopen_node.h"
#include "support/canbus_fixture.h"
#include "support/nodes.h"

namespace canbus_test {
namespace {

constexpr int kLine = 1;
constexpr int kNet = 0;
constexpr int64_t kMs = 1'000'000;

// Every frame on the net as the devices see it (requests and the slaves' replies), by text.
class Wire {
 public:
  Wire() {
    id_ = vbus::attach_device(kNet, [this](int, const CMSG& m) {
      std::lock_guard<std::mutex> lk(mx_);
      frames_.push_back(frame_text(m));
    });
  }
  ~Wire() { vbus::detach_device(id_); }
  std::vector<std::string> take() {
    std::lock_guard<std::mutex> lk(mx_);
    return std::move(frames_);
  }

 private:
  int id_ = 0;
  std::mutex mx_;
  std::vector<std::string> frames_;
};

std::unique_ptr<sim::VbusNode> slave(uint32_t serial, uint32_t product = 1) {
  auto n = std::make_unique<sim::VbusNode>(kNet, sim::kUnconfiguredId);
  n->logic().set_identity(0xABC, product, 0x10000, serial);
  return n;
}

using CommissionTest = CanbusTest;

// --- Network scan ----------------------------------------------------------------------------

struct ScanCase {
  const char* name;
  int nodes;                // ids 1..nodes
  std::vector<int> silent;  // of those
  int conflict;             // a second node with this id (0: none)
  int baud = -1;            // baud-rate code the line was opened with (-1: none)
  int kbit = 125;           // the bit rate the scan counts with
  // 127 requests book 225 ms of a 125 kbit/s bus (request and reply each), the retries sent as
  // the first time-outs of 100 ms pass queue behind them: 0.55 s however many ids are silent.
  int64_t max_ms = 560;
};

void PrintTo(const ScanCase& c, std::ostream* os) {
  *os << c.name;
}

class ScanTest : public CanbusTest, public ::testing::WithParamInterface<ScanCase> {};

TEST_P(ScanTest, FindsEveryAnsweringNodeWithItsIdentityAndTheConflict) {
  const ScanCase& c = GetParam();
  std::vector<std::unique_ptr<sim::VbusNode>> devices;
  std::set<int> expected;
  for (int id = 1; id <= c.nodes; ++id) {
    devices.push_back(std::make_unique<sim::VbusNode>(kNet, id, "dev " + std::to_string(id)));
    const bool silent = std::count(c.silent.begin(), c.silent.end(), id) > 0;
    devices.back()->logic().set_silent(silent);
    if (!silent) expected.insert(id);
  }
  if (c.conflict != 0) {
    devices.push_back(std::make_unique<sim::VbusNode>(kNet, c.conflict, "twin"));
    devices.back()->logic().set_object(0x1018, 4, std::string("\x99\0\0\0", 4));
  }
  NTCAN_HANDLE line = NTCAN_NO_HANDLE;
  ASSERT_EQ(canOpen(kNet, 0, 10, 10, 0, 0, &line), NTCAN_SUCCESS);
  if (c.baud >= 0) {
    ASSERT_EQ(canSetBaudrate(line, static_cast<uint32_t>(c.baud)), NTCAN_SUCCESS);
  }
  vbus::clear_sent(kNet);
  const int64_t t0 = clock().now_ns();
  canbus::ScanResult r = canbus::scan_line(kLine);
  canClose(line);
  ASSERT_EQ(r.result, 0);
  EXPECT_EQ(r.bit_rate_kbit, c.kbit);
  std::set<int> found;
  for (const auto& n : r.nodes) {
    found.insert(n.id);
    EXPECT_EQ(n.found_by, unsigned{canbus::kFoundSdo}) << n.id;
    EXPECT_EQ(n.device_type, sim::kDefaultDeviceType);
    if (n.id == c.conflict) continue;
    EXPECT_FALSE(n.conflict) << n.id;
    EXPECT_EQ(n.vendor, sim::kDefaultVendorId);
    EXPECT_EQ(n.serial, static_cast<uint32_t>(n.id));
    EXPECT_EQ(n.name, "dev " + std::to_string(n.id));
  }
  EXPECT_EQ(found, expected);
  EXPECT_EQ(r.conflicts(), c.conflict ? std::vector<int>{c.conflict} : std::vector<int>{});
  // Only SDO requests (upload initiate and segment): no NMT, no download.
  for (const CMSG& m : vbus::sent(kNet)) {
    ASSERT_TRUE(m.id > 0x600 && m.id < 0x680) << frame_text(m);
    ASSERT_TRUE(m.data[0] == 0x40 || (m.data[0] & 0xEF) == 0x60) << frame_text(m);
  }
  EXPECT_LE(clock().now_ns() - t0, c.max_ms * kMs);
  EXPECT_EQ(vbus::open_handles(), 0);
}

INSTANTIATE_TEST_SUITE_P(Lines, ScanTest,
                         ::testing::Values(ScanCase{"Empty", 0, {}, 0},
                                           ScanCase{"OneNode", 1, {}, 0},
                                           ScanCase{"Twenty", 20, {3, 11, 19}, 7},
                                           ScanCase{"Full", 127, {1, 64, 127}, 100},
                                           // 28 ms of booked bus time at 1 Mbit/s.
                                           ScanCase{"FullAt1Mbit", 127, {1, 64}, 0, 0, 1000, 240},
                                           ScanCase{"EmptyAt250", 0, {}, 0, 4, 250, 350}),
                         [](const auto& i) { return std::string(i.param.name); });

TEST_F(CommissionTest, ScanHearsHeartbeatsAndBootUpsOfNodesThatGiveNoSdo) {
  sim::VbusNode stopped(kNet, 9);
  vbus::inject(kNet, make_frame(0x000, {0x02, 9}));  // stopped: no SDO, heartbeats go on
  sim::VbusNode late(kNet, 12);
  late.logic().set_silent(true);
  sim::VbusNode guarded(kNet, 14);
  vbus::inject(kNet, make_frame(0x000, {0x02, 14}));
  canbus::ScanOptions o;
  o.read_identity = false;
  int calls = 0;
  o.progress = [&](int done, int total) {
    EXPECT_LE(done, total);
    if (calls++ == 0) {
      stopped.send_heartbeat();
      vbus::inject(kNet, make_frame(0x70C, {0x00}));  // node 12's boot-up
      // Another master guards node 14: its first reply has no toggle bit, its second has.
      CMSG rtr = make_frame(0x70E, {});
      rtr.len = NTCAN_RTR | 1;
      vbus::inject(kNet, rtr);
      vbus::inject(kNet, rtr);
    }
  };
  canbus::ScanResult r = canbus::scan_line(kLine, o);
  ASSERT_EQ(r.nodes.size(), 3u);
  EXPECT_EQ(r.nodes[0].id, 9);
  EXPECT_EQ(canbus::found_by_text(r.nodes[0].found_by), "heartbeat");
  EXPECT_EQ(r.nodes[0].device_type_result, -1);
  EXPECT_EQ(canbus::found_by_text(r.nodes[1].found_by), "boot-up");
  EXPECT_EQ(canbus::found_by_text(r.nodes[2].found_by), "guarding");
  EXPECT_GT(calls, 0);
}

// The scan reads its own handle: a node property's buffer keeps every frame that came
// meanwhile, and the node itself gets no NMT.
// A node whose replies to 0x1018:2 are lost once, come late (during the second request's wait)
// or never come: that read is asked again, with a longer time-out, and the rest of the
// identity is read all the same.
TEST_F(CommissionTest, ScanAsksALateIdentityReadAgainAndReadsTheRest) {
  for (const int unanswered : {1, 2, 1000}) {
    SCOPED_TRACE(unanswered);
    std::unique_ptr<sim::VbusNode> node;
    int asked = 0;
    // Attached before the node, so that it silences the node before the node sees the request.
    const int delay = vbus::attach_device(kNet, [&](int, const CMSG& m) {
      if (m.id != 0x605 || !node) return;
      const bool product = m.data[0] == 0x40 && m.data[1] == 0x18 && m.data[3] == 2;
      asked += product ? 1 : 0;
      node->logic().set_silent(product && asked <= unanswered);
      // The reply to the first request comes as the second one goes out.
      if (product && asked == 2 && unanswered == 2) {
        vbus::inject(kNet, make_frame(0x585, {0x43, 0x18, 0x10, 2, 1, 0, 0, 0}));
      }
    });
    node = std::make_unique<sim::VbusNode>(kNet, 5, "late");
    const canbus::ScanResult r = canbus::scan_line(kLine);
    vbus::detach_device(delay);
    ASSERT_EQ(r.nodes.size(), 1u);
    const canbus::ScannedNode& n = r.nodes[0];
    EXPECT_EQ(n.identity_result[0], 0);
    EXPECT_EQ(n.serial, 5u);
    EXPECT_EQ(n.name, "late");
    EXPECT_EQ(asked, unanswered == 1000 ? 3 : 2);
    EXPECT_EQ(n.identity_result[1], unanswered < 3 ? 0 : -1);
    EXPECT_EQ(n.product, unanswered < 3 ? 1u : 0u);
    EXPECT_EQ(canbus::unanswered_text(n), unanswered < 3 ? "" : "product");
  }
}

TEST_F(CommissionTest, ScanLeavesTheReceiveCycleItsFrames) {
  EqFct loc("SCAN.TEST");
  auto prop = make_node(loc, "PUMP", iiii(kLine, 5));
  ASSERT_EQ(prop->init(0x185), 0);
  sim::VbusNode pump(kNet, 5);
  canbus::ScanOptions o;
  int pdos = 0;
  o.progress = [&](int, int) {
    if (pdos++ == 0) vbus::inject(kNet, make_frame(0x185, {1, 2}));
  };
  vbus::inject(kNet, make_frame(0x185, {0}));
  ASSERT_EQ(canbus::scan_line(kLine, o).nodes.size(), 1u);
  can_looping();
  CMSG frames[D_can::kRxFrames];
  int length = 0;
  ASSERT_EQ(prop->can_array(frames, &length), 0);
  std::vector<std::string> got;
  for (int i = 0; i < length; ++i) {
    if (frames[i].id == 0x185) got.push_back(frame_text(frames[i]));
  }
  EXPECT_EQ(got, (std::vector<std::string>{"185#00", "185#0102"}));
  EXPECT_EQ(pump.logic().nmt_commands(), 0);
  EXPECT_EQ(pump.logic().state(), sim::kPreOperational);
}

TEST_F(CommissionTest, ScanRefusesBadArgumentsAndReportsAMissingNet) {
  EXPECT_EQ(canbus::scan_line(0).result, NTCAN_INVALID_PARAMETER);
  canbus::ScanOptions o;
  o.first_id = 0;
  EXPECT_EQ(canbus::scan_line(kLine, o).result, NTCAN_INVALID_PARAMETER);
  vbus::script_open(kNet, {NTCAN_NET_NOT_FOUND});
  EXPECT_EQ(canbus::scan_line(kLine).result, NTCAN_NET_NOT_FOUND);
}

// --- LSS services, frame by frame ------------------------------------------------------------

struct LssCase {
  const char* name;
  bool configuration;  // the slave is switched to configuration state first
  std::function<void(sim::NodeLogic&)> fault;
  std::function<canbus::LssResult(canbus::LssMaster&)> act;
  uint8_t cs;
  std::vector<std::string> frames;
  std::string text;
  std::function<void(sim::NodeLogic&)> check;
};

void PrintTo(const LssCase& c, std::ostream* os) {
  *os << c.name;
}

class LssServiceTest : public CanbusTest, public ::testing::WithParamInterface<LssCase> {};

TEST_P(LssServiceTest, FramesResultAndSlaveState) {
  const LssCase& c = GetParam();
  Wire wire;  // first on the net: it sees each request before the slave's reply to it
  auto s = slave(0x1234);
  canbus::LssMaster m(kLine);
  if (c.configuration) {
    ASSERT_TRUE(m.switch_global(true).ok());
  }
  if (c.fault) c.fault(s->logic());
  wire.take();
  canbus::LssResult r = c.act(m);
  EXPECT_EQ(wire.take(), c.frames);
  EXPECT_EQ(canbus::lss_result_text(r, c.cs), c.text);
  if (c.check) c.check(s->logic());
}

using M = canbus::LssMaster;
using L = sim::NodeLogic;
const LssCase kLssCases[] = {
    {"SwitchGlobalConfiguration",
     false,
     nullptr,
     [](M& m) { return m.switch_global(true); },
     M::kSwitchGlobal,
     {"7E5#0401000000000000"},
     "ok",
     [](L& l) { EXPECT_TRUE(l.lss_configuration_state()); }},
    {"SwitchSelective",
     false,
     nullptr,
     [](M& m) {
       return m.switch_selective({0xABC, 1, 0x10000, 0x1234});
     },
     M::kSwitchSelectiveReply,
     {"7E5#40BC0A0000000000", "7E5#4101000000000000", "7E5#4200000100000000",
      "7E5#4334120000000000", "7E4#4400000000000000"},
     "ok",
     [](L& l) { EXPECT_TRUE(l.lss_configuration_state()); }},
    {"SwitchSelectiveOtherSerialTimesOut",
     false,
     nullptr,
     [](M& m) {
       return m.switch_selective({0xABC, 1, 0x10000, 0x1235});
     },
     M::kSwitchSelectiveReply,
     {"7E5#40BC0A0000000000", "7E5#4101000000000000", "7E5#4200000100000000",
      "7E5#4335120000000000"},
     "no LSS reply (time-out)",
     [](L& l) { EXPECT_FALSE(l.lss_configuration_state()); }},
    {"ConfigureNodeId",
     true,
     nullptr,
     [](M& m) { return m.configure_node_id(10); },
     M::kConfigureNodeId,
     {"7E5#110A000000000000", "7E4#1100000000000000"},
     "ok",
     [](L& l) { EXPECT_EQ(l.lss_pending_id(), 10); }},
    {"ConfigureNodeIdOutOfRange",
     true,
     nullptr,
     [](M& m) { return m.configure_node_id(200); },
     M::kConfigureNodeId,
     {"7E5#11C8000000000000", "7E4#1101000000000000"},
     "node id out of range",
     [](L& l) { EXPECT_EQ(l.lss_pending_id(), sim::kUnconfiguredId); }},
    {"ConfigureNodeIdInWaitingStateIsNotAnswered",
     false,
     nullptr,
     [](M& m) { return m.configure_node_id(10); },
     M::kConfigureNodeId,
     {"7E5#110A000000000000"},
     "no LSS reply (time-out)",
     nullptr},
    {"ConfigureBitTiming",
     true,
     nullptr,
     [](M& m) { return m.configure_bit_timing(4); },
     M::kConfigureBitTiming,
     {"7E5#1300040000000000", "7E4#1300000000000000"},
     "ok",
     [](L& l) { EXPECT_EQ(l.lss_bit_index(), 4); }},
    {"ConfigureBitTimingNotSupported",
     true,
     nullptr,
     [](M& m) { return m.configure_bit_timing(9); },
     M::kConfigureBitTiming,
     {"7E5#1300090000000000", "7E4#1301000000000000"},
     "bit timing not supported",
     nullptr},
    {"ActivateBitTiming",
     true,
     nullptr,
     [](M& m) {
       EXPECT_TRUE(m.configure_bit_timing(2).ok());
       return m.activate_bit_timing(100);
     },
     M::kActivateBitTiming,
     {"7E5#1300020000000000", "7E4#1300000000000000", "7E5#1564000000000000"},
     "ok",
     [](L& l) { EXPECT_EQ(l.lss_active_bit_index(), 2); }},
    {"StoreConfiguration",
     true,
     nullptr,
     [](M& m) { return m.store_configuration(); },
     M::kStoreConfiguration,
     {"7E5#1700000000000000", "7E4#1700000000000000"},
     "ok",
     nullptr},
    {"StoreMediaError",
     true,
     [](L& l) { l.set_lss_error(0x17, 2); },
     [](M& m) { return m.store_configuration(); },
     M::kStoreConfiguration,
     {"7E5#1700000000000000", "7E4#1702000000000000"},
     "storage media access error",
     nullptr},
    {"StoreNotSupported",
     true,
     [](L& l) { l.set_lss_error(0x17, 1); },
     [](M& m) { return m.store_configuration(); },
     M::kStoreConfiguration,
     {"7E5#1700000000000000", "7E4#1701000000000000"},
     "store configuration not supported",
     nullptr},
    {"ManufacturerSpecificError",
     true,
     [](L& l) { l.set_lss_error(0x11, 255, 0x42); },
     [](M& m) { return m.configure_node_id(5); },
     M::kConfigureNodeId,
     {"7E5#1105000000000000", "7E4#11FF420000000000"},
     "manufacturer-specific error 0x42",
     nullptr},
    {"ReservedErrorCode",
     true,
     [](L& l) { l.set_lss_error(0x13, 7); },
     [](M& m) { return m.configure_bit_timing(1); },
     M::kConfigureBitTiming,
     {"7E5#1300010000000000", "7E4#1307000000000000"},
     "reserved error code 7",
     nullptr},
    {"SilentStoreTimesOut",
     true,
     [](L& l) { l.set_lss_error(0x17, 0, 0, true); },
     [](M& m) { return m.store_configuration(); },
     M::kStoreConfiguration,
     {"7E5#1700000000000000"},
     "no LSS reply (time-out)",
     nullptr},
    {"InquireIdentity",
     true,
     nullptr,
     [](M& m) {
       canbus::LssAddress a;
       canbus::LssResult r = m.inquire_identity(a);
       EXPECT_EQ(a, (canbus::LssAddress{0xABC, 1, 0x10000, 0x1234}));
       return r;
     },
     M::kInquireVendor,
     {"7E5#5A00000000000000", "7E4#5ABC0A0000000000", "7E5#5B00000000000000",
      "7E4#5B01000000000000", "7E5#5C00000000000000", "7E4#5C00000100000000",
      "7E5#5D00000000000000", "7E4#5D34120000000000"},
     "ok",
     nullptr},
    {"InquireNodeId",
     true,
     nullptr,
     [](M& m) {
       int id = 0;
       canbus::LssResult r = m.inquire_node_id(id);
       EXPECT_EQ(id, 255);
       return r;
     },
     M::kInquireNodeId,
     {"7E5#5E00000000000000", "7E4#5EFF000000000000"},
     "ok",
     nullptr},
    {"IdentifyRemoteSlaveInRange",
     false,
     nullptr,
     [](M& m) { return m.identify_remote(0xABC, 1, 0, 0x20000, 0x1000, 0x2000); },
     M::kIdentifyReply,
     {"7E5#46BC0A0000000000", "7E5#4701000000000000", "7E5#4800000000000000",
      "7E5#4900000200000000", "7E5#4A00100000000000", "7E5#4B00200000000000",
      "7E4#4F00000000000000"},
     "ok",
     nullptr},
    {"IdentifyRemoteSlaveOutOfRange",
     false,
     nullptr,
     [](M& m) { return m.identify_remote(0xABC, 1, 0, 0x20000, 0x1235, 0x2000); },
     M::kIdentifyReply,
     {"7E5#46BC0A0000000000", "7E5#4701000000000000", "7E5#4800000000000000",
      "7E5#4900000200000000", "7E5#4A35120000000000", "7E5#4B00200000000000"},
     "no LSS reply (time-out)",
     nullptr},
    {"IdentifyRemoteSlaveLeftOut",
     false,
     [](L& l) { l.set_lss_left_out(L::kLssIdentifyRemote); },
     [](M& m) { return m.identify_remote(0xABC, 1, 0, 0x20000, 0x1000, 0x2000); },
     M::kIdentifyReply,
     {"7E5#46BC0A0000000000", "7E5#4701000000000000", "7E5#4800000000000000",
      "7E5#4900000200000000", "7E5#4A00100000000000", "7E5#4B00200000000000"},
     "no LSS reply (time-out)",
     nullptr},
    {"StoreLeftOut",
     true,
     [](L& l) { l.set_lss_left_out(L::kLssStore | L::kLssIdentifyNonConfigured); },
     [](M& m) { return m.store_configuration(); },
     M::kStoreConfiguration,
     {"7E5#1700000000000000", "7E4#1701000000000000"},
     "store configuration not supported",
     nullptr},
    {"IdentifyNonConfigured",
     false,
     nullptr,
     [](M& m) { return m.identify_non_configured(); },
     M::kIdentifyNonConfiguredReply,
     {"7E5#4C00000000000000", "7E4#5000000000000000"},
     "ok",
     nullptr},
};

INSTANTIATE_TEST_SUITE_P(Services, LssServiceTest, ::testing::ValuesIn(kLssCases),
                         [](const auto& i) { return std::string(i.param.name); });

// --- Fastscan and the whole commissioning ----------------------------------------------------

// Slaves, and the optional services they leave out.
class FastscanTest : public CanbusTest,
                     public ::testing::WithParamInterface<std::tuple<int, unsigned>> {};

TEST_P(FastscanTest, FindsEveryUnconfiguredSlaveThenIdsByLssMakeThemScannable) {
  std::vector<std::unique_ptr<sim::VbusNode>> slaves;
  std::vector<canbus::LssAddress> expected;
  const auto [count, left_out] = GetParam();
  for (int i = 0; i < count; ++i) {
    // Serials and products that share long runs of bits.
    const uint32_t serial = 0x8000'0000u | static_cast<uint32_t>(i * 3);
    const uint32_t product = static_cast<uint32_t>(1 + i % 2);
    slaves.push_back(slave(serial, product));
    slaves.back()->logic().set_lss_left_out(left_out);
    expected.push_back({0xABC, product, 0x10000, serial});
  }
  sim::VbusNode configured(kNet, 3);  // has an id: takes no part
  EXPECT_EQ(canbus::scan_line(kLine).nodes.size(), 1u);

  canbus::LssMaster m(kLine);
  std::vector<canbus::LssAddress> found;
  ASSERT_TRUE(m.fastscan_all(found).ok());
  auto order = [](const canbus::LssAddress& a, const canbus::LssAddress& b) {
    return std::tie(a.product, a.serial) < std::tie(b.product, b.serial);
  };
  std::sort(found.begin(), found.end(), order);
  std::sort(expected.begin(), expected.end(), order);
  EXPECT_EQ(found, expected);

  Wire wire;
  for (size_t i = 0; i < found.size(); ++i) {
    ASSERT_TRUE(m.switch_selective(found[i]).ok());
    ASSERT_TRUE(m.configure_node_id(static_cast<int>(10 + i)).ok());
    ASSERT_TRUE(m.switch_global(false).ok());
  }
  // Each slave boots with its new id as it leaves configuration state.
  const auto frames = wire.take();
  EXPECT_EQ(std::count(frames.begin(), frames.end(), "70A#00"), 1);
  EXPECT_EQ(m.identify_non_configured().result, canbus::LssResult::kTimeout);
  EXPECT_EQ(canbus::scan_line(kLine).nodes.size(), found.size() + 1);
  std::vector<canbus::LssAddress> none;
  EXPECT_EQ(m.fastscan_all(none).result, 0);
  EXPECT_TRUE(none.empty());
}

constexpr unsigned kNoIdentify =
    sim::NodeLogic::kLssIdentifyRemote | sim::NodeLogic::kLssIdentifyNonConfigured;
INSTANTIATE_TEST_SUITE_P(Slaves, FastscanTest,
                         ::testing::Values(std::tuple{1, 0u}, std::tuple{8, 0u},
                                           std::tuple{1, kNoIdentify}, std::tuple{8, kNoIdentify}));

// A reply that comes too late answers the next request instead: here the 22nd fastscan
// request (vendor bit 11, a 1) gets a stray one, the search follows a branch no slave is on,
// and starts again.
TEST_F(CommissionTest, FastscanLedAstrayByALateReplyStartsAgainAndFindsTheSlave) {
  auto s = slave(0x55);
  int fastscans = 0;
  const int stray = vbus::attach_device(kNet, [&](int, const CMSG& m) {
    if (m.id == 0x7E5 && m.data[0] == 0x51 && ++fastscans == 22) {
      vbus::inject(kNet, make_frame(0x7E4, {0x4F, 0, 0, 0, 0, 0, 0, 0}));
    }
  });
  canbus::LssMaster m(kLine);
  std::vector<canbus::LssAddress> found;
  EXPECT_TRUE(m.fastscan_all(found).ok());
  EXPECT_EQ(found, (std::vector<canbus::LssAddress>{{0xABC, 1, 0x10000, 0x55}}));
  EXPECT_GT(fastscans, 22 + 4 * 32);  // two searches
  vbus::detach_device(stray);
}

TEST_F(CommissionTest, StoredIdAndBitTimingOutliveAPowerCycleAndUnstoredOnesDoNot) {
  auto stored = slave(1);
  auto unstored = slave(2);
  canbus::LssMaster m(kLine);
  for (auto* s : {stored.get(), unstored.get()}) {
    const uint32_t serial = s == stored.get() ? 1 : 2;
    ASSERT_TRUE(m.switch_selective({0xABC, 1, 0x10000, serial}).ok());
    ASSERT_TRUE(m.configure_node_id(static_cast<int>(20 + serial)).ok());
    ASSERT_TRUE(m.configure_bit_timing(3).ok());
    if (s == stored.get()) {
      ASSERT_TRUE(m.store_configuration().ok());
    }
    ASSERT_TRUE(m.switch_global(false).ok());
    EXPECT_EQ(s->logic().node_id(), static_cast<int>(20 + serial));
  }
  stored->logic().power_cycle();
  unstored->logic().power_cycle();
  EXPECT_EQ(stored->logic().node_id(), 21);
  EXPECT_EQ(stored->logic().lss_active_bit_index(), 3);
  EXPECT_EQ(unstored->logic().node_id(), sim::kUnconfiguredId);
  EXPECT_EQ(unstored->logic().lss_active_bit_index(), -1);
}

TEST_F(CommissionTest, UnconfiguredSlaveIgnoresNmtAndSdoAndFastscanOfNoneEndsAtOnce) {
  auto s = slave(5);
  Wire wire;
  vbus::inject(kNet, make_frame(0x000, {0x81, 0x00}));  // reset every node: no boot-up
  EXPECT_TRUE(wire.take().size() == 1u);
  EXPECT_EQ(s->logic().nmt_commands(), 0);
  s->logic().set_silent(true);
  canbus::LssMaster m(kLine);
  canbus::LssAddress a;
  EXPECT_EQ(m.fastscan(a).result, canbus::LssResult::kNotFound);
  EXPECT_EQ(wire.take(), std::vector<std::string>{"7E5#5100000000800000"});
  EXPECT_EQ(lss_result_text(m.fastscan(a), M::kFastscan), "no unconfigured slave found");
}

}  // namespace
}  // namespace canbus_test
