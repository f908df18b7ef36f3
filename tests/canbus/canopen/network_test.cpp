// The start-up of a network against simulated nodes on the virtual bus, stepped by the test on
// the virtual clock: mandatory and optional nodes present, missing, late or of the wrong
// identity, the start modes and the reactions to a failing mandatory node, NMT frames counted
// on the bus; the master's heartbeat and TIME; the boot status texts and the 0x1F81 value.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "canopen_node.h"
#include "support/canbus_fixture.h"
#include "support/nodes.h"

namespace canbus_test {
namespace {

using canbus::MandatoryFailure;
using canbus::NetworkState;
using canbus::SlaveState;
using canbus::StartMode;

constexpr int kLine = 1;
constexpr int kNet = net_of(kLine);
constexpr int64_t kMs = 1'000'000;

// How a node of a case is on the bus.
enum class Sim { kAnswers, kAbsent, kWrongVendor, kWrongType, kSilent };

struct NodeCase {
  int id;
  bool mandatory;
  Sim sim;
  SlaveState state;  // at the end
  char code;
};

class NetworkTest : public CanbusTest {
 protected:
  void SetUp() override {
    CanbusTest::SetUp();
    loc_ = std::make_unique<EqFct>("NETWORK.TEST");
    mon_ = std::make_unique<canbus::NodeMonitor>();
  }
  void TearDown() override {
    net_.reset();
    mon_.reset();
    props_.clear();
    sims_.clear();
    loc_.reset();
    CanbusTest::TearDown();
  }

  // A simulated node `id` as `how` says (none when absent).
  sim::VbusNode* simulate(int id, Sim how) {
    if (how == Sim::kAbsent) return nullptr;
    sims_.push_back(std::make_unique<sim::VbusNode>(kNet, id));
    sim::NodeLogic& n = sims_.back()->logic();
    n.set_identity(how == Sim::kWrongVendor ? 0xABD : 0xABC, 1, 0x10000, 100 + id);
    if (how == Sim::kWrongType) n.set_object(0x1000, 0, std::string("\x92\x01\x0F\x00", 4));
    if (how == Sim::kSilent) n.set_silent(true);
    return sims_.back().get();
  }
  // The network, not started, with a node property per case expecting vendor 0xABC and the
  // simulated node's device type.
  using Tweak = std::function<void(canbus::SlaveSetup&, canbus::NodeConfig&)>;
  void build(const std::vector<NodeCase>& nodes, canbus::NetworkConfig cfg, int retries = 0,
             const Tweak& tweak = {}) {
    cfg.line = kLine;
    net_ = std::make_unique<canbus::Network>(*mon_, cfg, callbacks());
    for (const NodeCase& c : nodes) {
      simulate(c.id, c.sim);
      props_.push_back(make_node(*loc_, "N" + std::to_string(c.id), iiii(kLine, c.id)));
      ASSERT_EQ(props_.back()->init(0), 0);
      canbus::SlaveSetup s;
      s.assignment.mandatory = c.mandatory;
      s.assignment.retries = retries;
      s.identity.device_type = sim::kDefaultDeviceType;
      s.identity.vendor_id = 0xABC;
      canbus::NodeConfig sup;
      sup.mode = canbus::Supervision::kNone;
      if (tweak) tweak(s, sup);
      ASSERT_EQ(net_->add(props_.back().get(), s, sup), 0);
    }
  }
  canbus::NetworkCallbacks callbacks() {
    canbus::NetworkCallbacks cb;
    cb.on_network = [this](NetworkState s, const std::string&) {
      network_events_.push_back(canbus::network_state_name(s));
    };
    cb.on_slave = [this](const canbus::SlaveStatus& s) {
      ++slave_events_;
      if (s.state == SlaveState::kLost) lost_.push_back(std::to_string(s.node_id) + s.code);
    };
    cb.on_program_progress = [this](int id, size_t sent, size_t total) {
      progress_.push_back(std::to_string(id) + ": " + std::to_string(sent) + "/" +
                          std::to_string(total));
    };
    return cb;
  }
  // The monitor's poll and every procedure it starts, then the Network's decisions and the
  // procedures they start: no worker runs when the time moves on.
  void step(int ms = 100) {
    clock().advance(ms * kMs);
    for (const auto& s : sims_) s->heartbeat_tick();
    ASSERT_TRUE(mon_->poll());
    ASSERT_TRUE(mon_->wait_boot_configs(10000));
    ASSERT_TRUE(mon_->poll());
    net_->tick();
    ASSERT_TRUE(mon_->wait_boot_configs(10000));
  }
  void run(int ms) {
    for (int t = 0; t < ms; t += 100) step();
  }
  // NMT frames with `command` to node `node` sent on the bus so far.
  static int nmt(uint8_t command, int node) {
    int n = 0;
    for (const CMSG& m : vbus::sent(kNet)) {
      n += m.id == 0 && m.len == 2 && m.data[0] == command && m.data[1] == node;
    }
    return n;
  }
  canbus::SlaveStatus status(int id) {
    canbus::SlaveStatus s;
    EXPECT_TRUE(net_->status(id, s));
    return s;
  }

  std::unique_ptr<EqFct> loc_;
  std::unique_ptr<canbus::NodeMonitor> mon_;
  std::vector<std::unique_ptr<sim::VbusNode>> sims_;
  std::vector<std::unique_ptr<D_can>> props_;
  std::unique_ptr<canbus::Network> net_;
  std::vector<std::string> network_events_;
  int slave_events_ = 0;
  std::vector<std::string> lost_;  // "5E": node 5 lost with its code
  std::vector<std::string> progress_;
};

struct StartCase {
  const char* name;
  std::vector<NodeCase> nodes;
  StartMode mode;
  MandatoryFailure on_failure;
  int run_ms;
  NetworkState net;
  int starts_to_all, starts_each, stops_to_all;
  std::string blocked;  // the reason begins so (when `lose` is lost, if it comes back)
  // After run_ms, node `lose` stops beating and answering guarding (supervised `by`, every
  // node beating each 100 ms) and is reported lost; `back`: then heard again, or boots.
  int lose = 0;
  canbus::Supervision by = canbus::Supervision::kHeartbeat;
  enum Back { kNo, kBeats, kBoots } back = kNo;
};

void PrintTo(const StartCase& c, std::ostream* os) {
  *os << c.name;
}

class NetworkStart : public NetworkTest, public ::testing::WithParamInterface<StartCase> {};

TEST_P(NetworkStart, NodesAndNetworkEndAsExpected) {
  const StartCase& c = GetParam();
  canbus::NetworkConfig cfg;
  cfg.start = c.mode;
  cfg.on_mandatory_failure = c.on_failure;
  build(c.nodes, cfg, 0, [&c](canbus::SlaveSetup&, canbus::NodeConfig& sup) {
    if (c.lose == 0) return;
    sup.mode = c.by;
    sup.heartbeat_ms = 100;
  });
  for (const auto& n : sims_) {
    if (c.lose != 0 && c.by == canbus::Supervision::kHeartbeat) {
      n->logic().set_object(0x1017, 0, std::string("\x64\x00", 2));
    }
  }
  ASSERT_TRUE(net_->start(false));
  EXPECT_FALSE(net_->start(false));
  EXPECT_EQ(nmt(0x82, 0), 1);  // reset communication, to all
  run(c.run_ms);
  sim::VbusNode* gone = nullptr;
  for (const auto& s : sims_) {
    if (s->logic().node_id() == c.lose) gone = s.get();
  }
  if (gone != nullptr) {
    gone->logic().pause_heartbeat(true);
    gone->logic().set_heartbeat_mode(true);
    run(c.by == canbus::Supervision::kGuarding ? 5000 : 1000);
    const char code = c.by == canbus::Supervision::kGuarding ? 'F' : 'E';
    EXPECT_EQ(lost_, (std::vector<std::string>{std::to_string(c.lose) + code}));
    EXPECT_EQ(net_->blocked_reason().substr(0, c.blocked.size()), c.blocked);
    EXPECT_EQ(nmt(0x82, 0), c.on_failure == MandatoryFailure::kResetAll ? 2 : 1);
    if (c.back != StartCase::kNo) {
      gone->logic().pause_heartbeat(false);
      gone->logic().set_heartbeat_mode(false);
      if (c.back == StartCase::kBoots) gone->boot();
      run(1000);
    }
  }
  for (const NodeCase& n : c.nodes) {
    const canbus::SlaveStatus s = status(n.id);
    EXPECT_EQ(s.state, n.state) << "node " << n.id << ": " << canbus::slave_state_name(s.state)
                                << " " << s.reason;
    EXPECT_EQ(s.code, n.code) << "node " << n.id;
  }
  EXPECT_EQ(net_->state(), c.net) << net_->blocked_reason();
  if (c.back == StartCase::kNo) {
    EXPECT_EQ(net_->blocked_reason().substr(0, c.blocked.size()), c.blocked);
  }
  EXPECT_EQ(nmt(0x01, 0), c.starts_to_all);
  int each = 0;
  for (const NodeCase& n : c.nodes) each += nmt(0x01, n.id);
  EXPECT_EQ(each, c.starts_each);
  EXPECT_EQ(nmt(0x02, 0), c.stops_to_all);
  // A failed attempt is the procedure's, not a plain boot configuration's.
  bool failed = false, procedure_logged = false;
  for (const NodeCase& n : c.nodes) failed |= n.state == SlaveState::kFailed;
  for (const tavik::LogEntry& e : log().with_label("NodeMonitor")) {
    EXPECT_EQ(e.message.find("boot configuration failed"), std::string::npos) << e.message;
    procedure_logged |= e.message.find(": boot procedure failed: ") != std::string::npos;
  }
  EXPECT_TRUE(procedure_logged || !failed);
  // The simulated nodes are where the master has them.
  for (size_t i = 0; i < c.nodes.size(); ++i) {
    const sim::VbusNode* n = nullptr;
    for (const auto& s : sims_) {
      if (s->logic().node_id() == c.nodes[i].id) n = s.get();
    }
    if (n == nullptr || c.nodes[i].sim != Sim::kAnswers || n == gone) continue;
    const bool started = c.nodes[i].state == SlaveState::kStarted;
    EXPECT_EQ(const_cast<sim::VbusNode*>(n)->logic().state(), started ? sim::kOperational
                                                              : c.stops_to_all
                                                                  ? sim::kStopped
                                                                  : sim::kPreOperational)
        << "node " << c.nodes[i].id;
  }
}

constexpr Sim kOk = Sim::kAnswers;
const NodeCase kFive{5, true, kOk, SlaveState::kStarted, 0};

INSTANTIATE_TEST_SUITE_P(
    Cases, NetworkStart,
    ::testing::Values(
        StartCase{"AllPresentStartedTogether",
                  {kFive,
                   {6, true, kOk, SlaveState::kStarted, 0},
                   {7, false, kOk, SlaveState::kStarted, 0}},
                  StartMode::kAllAtOnce,
                  MandatoryFailure::kHoldOthers,
                  300,
                  NetworkState::kStarted,
                  1,
                  0,
                  0,
                  ""},
        StartCase{"MandatoryMissingHoldsEveryone",
                  {{5, true, kOk, SlaveState::kConfigured, 0},
                   {7, true, Sim::kAbsent, SlaveState::kMissing, 'B'},
                   {8, false, kOk, SlaveState::kConfigured, 0}},
                  StartMode::kAllAtOnce,
                  MandatoryFailure::kHoldOthers,
                  12000,
                  NetworkState::kBlocked,
                  0,
                  0,
                  0,
                  "node 7 (mandatory): B: no answer to the request for 0x1000 (device type)"},
        StartCase{"WrongVendor",
                  {{5, true, kOk, SlaveState::kConfigured, 0},
                   {6, true, Sim::kWrongVendor, SlaveState::kFailed, 'D'}},
                  StartMode::kAllAtOnce,
                  MandatoryFailure::kHoldOthers,
                  300,
                  NetworkState::kBlocked,
                  0,
                  0,
                  0,
                  "node 6 (mandatory): D: the vendor id (0x1018:1) differs from the expected; "
                  "vendor id 0x00000ABD, expected 0x00000ABC"},
        StartCase{"DeviceTypeDiffersStopsAll",
                  {{5, true, kOk, SlaveState::kConfigured, 0},
                   {6, true, Sim::kWrongType, SlaveState::kFailed, 'C'}},
                  StartMode::kAllAtOnce,
                  MandatoryFailure::kStopAll,
                  300,
                  NetworkState::kBlocked,
                  0,
                  0,
                  1,
                  "node 6 (mandatory): C: the device type (0x1000) differs from the expected; "
                  "device type 0x000F0192, expected 0x000F0191"},
        StartCase{"OptionalMissingOthersStart",
                  {kFive, {8, false, Sim::kAbsent, SlaveState::kMissing, 'B'}},
                  StartMode::kAllAtOnce,
                  MandatoryFailure::kHoldOthers,
                  4000,
                  NetworkState::kStarted,
                  0,
                  1,
                  0,
                  ""},
        StartCase{"OptionalFailedEachWhenReady",
                  {kFive,
                   {6, false, kOk, SlaveState::kStarted, 0},
                   {8, false, Sim::kWrongVendor, SlaveState::kFailed, 'D'}},
                  StartMode::kEachWhenReady,
                  MandatoryFailure::kHoldOthers,
                  300,
                  NetworkState::kStarted,
                  0,
                  2,
                  0,
                  ""},
        StartCase{"LeftToTheApplication",
                  {{5, true, kOk, SlaveState::kConfigured, 0},
                   {6, false, kOk, SlaveState::kConfigured, 0}},
                  StartMode::kApplication,
                  MandatoryFailure::kHoldOthers,
                  300,
                  NetworkState::kStarted,
                  0,
                  0,
                  0,
                  ""},
        // Nodes lost after the start.
        StartCase{"MandatoryLostBlocksThenBeatsAgain",
                  {kFive, {6, true, kOk, SlaveState::kStarted, 0}},
                  StartMode::kAllAtOnce,
                  MandatoryFailure::kHoldOthers,
                  300,
                  NetworkState::kStarted,
                  2,
                  0,
                  0,
                  "node 5 (mandatory): E: no heartbeat from the node; lost while started",
                  5,
                  canbus::Supervision::kHeartbeat,
                  StartCase::kBeats},
        StartCase{
            "MandatoryLostStaysLost",
            {{5, true, kOk, SlaveState::kLost, 'E'}, {6, false, kOk, SlaveState::kStarted, 0}},
            StartMode::kEachWhenReady,
            MandatoryFailure::kHoldOthers,
            300,
            NetworkState::kBlocked,
            0,
            2,
            0,
            "node 5 (mandatory): E: no heartbeat from the node; lost while started",
            5},
        StartCase{"MandatoryLostStopsAllThenBootsAgain",
                  {kFive, {6, true, kOk, SlaveState::kStarted, 0}},
                  StartMode::kAllAtOnce,
                  MandatoryFailure::kStopAll,
                  300,
                  NetworkState::kStarted,
                  2,
                  0,
                  1,
                  "node 6 (mandatory): E: no heartbeat",
                  6,
                  canbus::Supervision::kHeartbeat,
                  StartCase::kBoots},
        StartCase{"MandatoryLostResetsAllThenBeatsAgain",
                  {kFive, {6, false, kOk, SlaveState::kStarted, 0}},
                  StartMode::kAllAtOnce,
                  MandatoryFailure::kResetAll,
                  300,
                  NetworkState::kStarted,
                  2,
                  0,
                  0,
                  "",
                  5,
                  canbus::Supervision::kHeartbeat,
                  StartCase::kBeats},
        StartCase{"OptionalLostByGuardingOnlyReported",
                  {kFive, {8, false, kOk, SlaveState::kLost, 'F'}},
                  StartMode::kAllAtOnce,
                  MandatoryFailure::kStopAll,
                  300,
                  NetworkState::kStarted,
                  1,
                  0,
                  0,
                  "",
                  8,
                  canbus::Supervision::kGuarding}),
    [](const ::testing::TestParamInfo<StartCase>& i) { return std::string(i.param.name); });

// An optional node that boots after the network started is configured and started on its own.
TEST_F(NetworkTest, LateOptionalNodeConfiguredAndStartedOnItsOwn) {
  build({{5, true, kOk, {}, 0}, {8, false, Sim::kAbsent, {}, 0}}, {});
  ASSERT_TRUE(net_->start(false));
  run(4000);
  ASSERT_EQ(status(8).state, SlaveState::kMissing);
  ASSERT_EQ(net_->state(), NetworkState::kStarted);
  sim::VbusNode* late = simulate(8, kOk);  // boots
  run(200);
  EXPECT_EQ(status(8).state, SlaveState::kStarted);
  EXPECT_EQ(status(8).code, 0);
  EXPECT_EQ(nmt(0x01, 8), 1);
  EXPECT_EQ(late->logic().state(), sim::kOperational);
  EXPECT_EQ(nmt(0x01, 0), 0);
}

// A mandatory node silent past the boot time is asked again after each pause, then missing;
// when it boots at last the network starts.
TEST_F(NetworkTest, SlowMandatoryNodeRetriedThenMissingThenUnblocksTheNetwork) {
  canbus::NetworkConfig cfg;
  cfg.boot_time_ms = 5000;
  build({{5, true, kOk, {}, 0}, {7, true, Sim::kSilent, {}, 0}}, cfg, 1);
  ASSERT_TRUE(net_->start(false));
  run(6000);
  canbus::SlaveStatus s = status(7);
  EXPECT_EQ(s.state, SlaveState::kMissing);
  EXPECT_EQ(s.code, 'B');
  EXPECT_GE(s.attempts, 2);
  EXPECT_EQ(net_->state(), NetworkState::kBlocked);
  const int attempts = s.attempts;
  run(3000);  // missing: not asked any more
  EXPECT_EQ(status(7).attempts, attempts);
  EXPECT_EQ(nmt(0x01, 0), 0);

  sims_.back()->logic().set_silent(false);
  sims_.back()->boot();
  run(200);
  EXPECT_EQ(status(7).state, SlaveState::kStarted);
  EXPECT_EQ(status(5).state, SlaveState::kStarted);
  EXPECT_EQ(net_->state(), NetworkState::kStarted);
  EXPECT_EQ(nmt(0x01, 0), 1);
  EXPECT_EQ(network_events_, (std::vector<std::string>{"booting", "blocked", "started"}));
}

// A node kept alive that runs already is neither reset nor written to: L, and started; the
// others get their reset communication one by one.
TEST_F(NetworkTest, KeptAliveOperationalNodeLeftRunning) {
  build({kFive, {6, true, kOk, {}, 0}}, {}, 0, [](canbus::SlaveSetup& s, canbus::NodeConfig& sup) {
    sup.mode = canbus::Supervision::kGuarding;
    s.assignment.keep_alive = true;
  });
  ASSERT_EQ(props_[0]->start_node(), 0);
  ASSERT_EQ(props_[1]->start_node(), 0);
  ASSERT_TRUE(net_->start(false));
  run(1200);
  EXPECT_EQ(nmt(0x82, 0) + nmt(0x82, 5) + nmt(0x82, 6), 0);
  for (int id : {5, 6}) {
    EXPECT_EQ(status(id).state, SlaveState::kStarted);
    EXPECT_EQ(status(id).code, 'L');
  }
  EXPECT_EQ(net_->state(), NetworkState::kStarted);
  EXPECT_EQ(nmt(0x01, 0), 0);
}

// The master's heartbeat consumed by the node and the node's own heartbeat written; a node
// that does not beat within twice its time is K.
TEST_F(NetworkTest, ErrorControlWrittenThenNoHeartbeatIsK) {
  canbus::NetworkConfig cfg;
  cfg.master_id = 0x10;
  build({kFive}, cfg, 0, [](canbus::SlaveSetup& s, canbus::NodeConfig&) {
    s.consume_master_ms = 500;
    s.heartbeat_ms = 100;
  });
  sims_[0]->logic().set_object(0x1016, 1, std::string(4, '\0'));
  ASSERT_TRUE(net_->start(false));
  run(300);
  EXPECT_EQ(sims_[0]->logic().object(0x1016, 1), std::string("\xF4\x01\x10\x00", 4));
  EXPECT_EQ(sims_[0]->logic().object(0x1017, 0), std::string("\x64\x00", 2));
  EXPECT_EQ(status(5).state, SlaveState::kFailed);
  EXPECT_EQ(status(5).code, 'K');
  EXPECT_EQ(net_->blocked_reason(),
            "node 5 (mandatory): K: no heartbeat during the start of "
            "error control; no heartbeat within 200 ms");
}

// On threads of their own: the Network's decisions and the master's heartbeat (its first beat
// at once); the test only polls the monitor, restart() begins the start-up again, and a
// callback may stop the Network.
TEST_F(NetworkTest, OwnThreadStartsTheNetworkAndRestartBeginsAgain) {
  std::mutex mx;
  std::condition_variable cv;
  int started = 0, beats = 0;
  canbus::NetworkConfig cfg;
  cfg.line = kLine;
  cfg.master_id = 0x10;
  cfg.master_heartbeat_ms = 60'000;
  canbus::NetworkCallbacks cb;
  std::atomic<bool> stop_in_callback{false};
  cb.on_network = [&](NetworkState s, const std::string&) {
    if (s == NetworkState::kStarted && stop_in_callback) net_->stop();  // on its own thread
    std::lock_guard<std::mutex> lk(mx);
    started += s == NetworkState::kStarted;
    cv.notify_all();
  };
  const int wire = vbus::attach_device(kNet, [&](int, const CMSG& m) {
    std::lock_guard<std::mutex> lk(mx);
    beats += m.id == 0x710;
    cv.notify_all();
  });
  net_ = std::make_unique<canbus::Network>(*mon_, cfg, cb);
  simulate(5, kOk);
  props_.push_back(make_node(*loc_, "N5", iiii(kLine, 5)));
  ASSERT_EQ(props_.back()->init(0), 0);
  canbus::SlaveSetup setup;
  setup.assignment.mandatory = true;
  ASSERT_EQ(net_->add(props_.back().get(), setup), 0);
  auto until = [&](const int& n, int want) {
    std::unique_lock<std::mutex> lk(mx);
    return cv.wait_for(lk, std::chrono::seconds(20), [&] { return n >= want; });
  };
  for (int round = 1; round <= 2; ++round) {
    stop_in_callback = round == 2;
    ASSERT_TRUE(round == 1 ? net_->start(true) : net_->restart());
    ASSERT_TRUE(mon_->poll());  // the boot-up: the procedure
    ASSERT_TRUE(mon_->wait_boot_configs(10000));
    EXPECT_TRUE(until(started, round));
    EXPECT_EQ(status(5).state, SlaveState::kStarted);
    EXPECT_EQ(status(5).attempts, 1);
  }
  EXPECT_TRUE(until(beats, 1));
  EXPECT_FALSE(net_->running());  // stopped from its callback
  EXPECT_FALSE(net_->restart());
  vbus::detach_device(wire);
  EXPECT_EQ(nmt(0x01, 0), 2);
  EXPECT_TRUE(net_->start(false));  // the thread that stopped itself is joined first
}

// --- Software and configuration ---------------------------------------------------------------

const std::vector<uint8_t> kImage(300, 0x5A);
const uint32_t kRunning = 0x11111111;  // the program the simulated node runs at first

enum class Fault { kNone, kRefusedClear, kCrcError, kOtherImage };

struct ProgramCase {
  const char* name;
  Fault fault;
  bool update_allowed, program;
  SlaveState state;
  char code;
  bool downloaded;
  int attempts;
};

void PrintTo(const ProgramCase& c, std::ostream* os) {
  *os << c.name;
}

class NetworkProgram : public NetworkTest, public ::testing::WithParamInterface<ProgramCase> {};

// A node whose software differs gets the program when allowed, restarts into it and is checked
// again; a second difference in the same start-up is I, never a second download.
TEST_P(NetworkProgram, SoftwareCheckedDownloadedAndCheckedAgain) {
  const ProgramCase& c = GetParam();
  const uint32_t expected = canbus::program_crc32(kImage.data(), kImage.size());
  const std::vector<uint8_t> image =
      c.fault == Fault::kOtherImage ? std::vector<uint8_t>(64, 1) : kImage;
  build({kFive}, {}, 0, [&](canbus::SlaveSetup& s, canbus::NodeConfig&) {
    s.assignment.check_software = true;
    s.assignment.update_allowed = c.update_allowed;
    s.software_id = expected;
    if (c.program) s.program = std::make_shared<const std::vector<uint8_t>>(image);
  });

  sim::NodeLogic& n = sims_[0]->logic();
  n.enable_program_area(kRunning);
  n.refuse_program_clear(c.fault == Fault::kRefusedClear);
  n.set_program_crc_error(c.fault == Fault::kCrcError);
  ASSERT_TRUE(net_->start(false));
  run(500);
  const canbus::SlaveStatus st = status(5);
  EXPECT_EQ(st.state, c.state) << st.reason;
  EXPECT_EQ(st.code, c.code) << st.reason;
  EXPECT_EQ(st.program_downloaded, c.downloaded);
  EXPECT_EQ(st.attempts, c.attempts);
  const bool started = c.state == SlaveState::kStarted;
  EXPECT_EQ(nmt(0x01, 0), started ? 1 : 0);
  EXPECT_EQ(n.state(), started ? sim::kOperational : sim::kPreOperational);
  if (c.downloaded) {
    ASSERT_FALSE(progress_.empty());
    EXPECT_EQ(progress_.front(), "5: 0/" + std::to_string(image.size()));
    EXPECT_EQ(progress_.back(),
              "5: " + std::to_string(image.size()) + "/" + std::to_string(image.size()));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NetworkProgram,
    ::testing::Values(
        ProgramCase{"DownloadedRestartedStarted", Fault::kNone, true, true, SlaveState::kStarted, 0,
                    true, 2},
        ProgramCase{"UpdateNotAllowed", Fault::kNone, false, true, SlaveState::kFailed, 'H', false,
                    1},
        ProgramCase{"NoProgram", Fault::kNone, true, false, SlaveState::kFailed, 'G', false, 1},
        ProgramCase{"ClearRefused", Fault::kRefusedClear, true, true, SlaveState::kFailed, 'I',
                    false, 1},
        ProgramCase{"CrcWrong", Fault::kCrcError, true, true, SlaveState::kFailed, 'I', false, 1},
        ProgramCase{"StillDiffersAfterTheDownload", Fault::kOtherImage, true, true,
                    SlaveState::kFailed, 'I', true, 2}),
    [](const ::testing::TestParamInfo<ProgramCase>& i) { return std::string(i.param.name); });

// download NAME FILE: the program now, the node restarted and its procedure again.
TEST_F(NetworkTest, DownloadByHandRestartsTheNodeIntoItsProcedure) {
  build({kFive}, {});
  sims_[0]->logic().enable_program_area(kRunning);
  ASSERT_TRUE(net_->start(false));
  run(200);
  ASSERT_EQ(status(5).state, SlaveState::kStarted);
  std::string why;
  EXPECT_FALSE(net_->download(9, kImage, why));
  EXPECT_EQ(why, "node 9 is not in the network");
  ASSERT_TRUE(net_->download(5, kImage, why)) << why;
  run(200);
  const canbus::SlaveStatus st = status(5);
  EXPECT_EQ(st.state, SlaveState::kStarted);
  EXPECT_TRUE(st.program_downloaded);
  EXPECT_EQ(nmt(0x01, 5), 1);  // started again on its own
  uint32_t id = 0;
  const std::string v = *sims_[0]->logic().object(0x1F56, 1);
  for (size_t i = 0; i < v.size(); ++i) id |= static_cast<uint32_t>(uint8_t(v[i])) << (8 * i);
  EXPECT_EQ(id, canbus::program_crc32(kImage.data(), kImage.size()));
}

// The configuration is written only when the node's 0x1020 does not hold its stamp.
TEST_F(NetworkTest, UnchangedConfigurationSkippedChangedOneWritten) {
  const canbus::ConfigStamp stamp = canbus::config_stamp_of(1'796'817'600);
  for (bool unchanged : {true, false}) {
    SCOPED_TRACE(unchanged ? "unchanged" : "changed");
    vbus::clear_sent(kNet);
    build({kFive}, {}, 0, [&](canbus::SlaveSetup& s, canbus::NodeConfig&) {
      s.configuration = {{0x2100, 0, {0x78, 0x56, 0x34, 0x12}}};
      s.config_stamp = stamp;
      canbus::PdoConfig tpdo;
      tpdo.mapping = {{0x2100, 0, 32, canbus::DataType::kUnsigned32, "V"}};
      s.pdos = {tpdo};
    });
    sim::NodeLogic& n = sims_.back()->logic();
    n.enable_config_store(true);
    n.set_tpdo(1, 0x185, 255, 100, {{0x2100, 0, 32}});
    if (unchanged) {
      n.set_object(0x1020, 1, std::string("\x43\x3D\x00\x00", 4));
      n.set_object(0x1020, 2, std::string("\x00\x2E\x93\x02", 4));
    }
    ASSERT_TRUE(net_->start(false));
    run(200);
    EXPECT_EQ(status(5).state, SlaveState::kStarted);
    EXPECT_EQ(status(5).config_skipped, unchanged);
    std::set<int> written, read;
    for (const CMSG& m : vbus::sent(kNet)) {
      if (m.id != 0x605) continue;
      const int index = m.data[1] | m.data[2] << 8;
      if ((m.data[0] & 0xE0) == 0x40) read.insert(index);
      if ((m.data[0] & 0xE0) == 0x20 || (m.data[0] & 0xE0) == 0xC0) written.insert(index);
    }
    EXPECT_EQ(read, (std::set<int>{0x1000, 0x1018, 0x1020}));
    // (Block segments may look like writes as well: only what must be there is looked for.)
    EXPECT_TRUE(!unchanged || written.empty());
    EXPECT_EQ(written.count(0x1F22) + written.count(0x1020), unchanged ? 0u : 2u);
    EXPECT_EQ(*n.object(0x2100, 0), unchanged ? std::string(4, '\0') : "\x78\x56\x34\x12");
    // Its TPDO is decoded by the monitor, whether its configuration was written or not.
    sims_.back()->pdo_tick();
    step();
    canbus::NodeStats st;
    ASSERT_TRUE(mon_->stats(props_.back().get(), st));
    EXPECT_GE(st.pdos, 1u);
    net_.reset();
    sims_.clear();
    props_.clear();
  }
}

// With kResetAll a missing mandatory node resets the line once per boot time at most (the
// silent node's SDO time-outs move the virtual time on as well).
TEST_F(NetworkTest, ResetAllAtMostOncePerBootTime) {
  canbus::NetworkConfig cfg;
  cfg.boot_time_ms = 3000;
  cfg.on_mandatory_failure = MandatoryFailure::kResetAll;
  build({{5, true, kOk, {}, 0}, {7, true, Sim::kAbsent, {}, 0}}, cfg);
  std::vector<int64_t> resets;
  const int wire = vbus::attach_device(kNet, [&](int, const CMSG& m) {
    if (m.id == 0 && m.data[0] == 0x82) resets.push_back(clock().now_ns());
  });
  ASSERT_TRUE(net_->start(false));
  run(10000);
  vbus::detach_device(wire);
  ASSERT_GE(resets.size(), 3u);
  for (size_t i = 1; i < resets.size(); ++i) EXPECT_GE(resets[i] - resets[i - 1], 3000 * kMs);
  EXPECT_EQ(nmt(0x01, 0), 0);
  EXPECT_NE(net_->state(), NetworkState::kStarted);
}

// The master's heartbeat and TIME from the line's handle, as the Network runs them.
TEST_F(NetworkTest, MasterHeartbeatAndTimeOnTheBus) {
  canbus::NetworkConfig cfg;
  cfg.master_id = 0x10;
  cfg.master_heartbeat_ms = 200;
  cfg.time_period_ms = 1000;
  build({kFive}, cfg);
  ASSERT_TRUE(net_->start(false));
  std::vector<std::string> beats, times;
  std::vector<std::string> expected_times;
  for (int t = 0; t <= 1000; t += 100) {
    if (t % 1000 == 0) {
      CMSG m = make_frame(0x100, {});
      const std::vector<uint8_t> b = canbus::time_of_day_bytes(clock().now_ns() + 100 * kMs);
      m.len = 6;
      for (size_t i = 0; i < b.size(); ++i) m.data[i] = b[i];
      expected_times.push_back(frame_text(m));
    }
    step();
  }
  for (const CMSG& m : vbus::sent(kNet)) {
    if (m.id == 0x710) beats.push_back(frame_text(m));
    if (m.id == 0x100) times.push_back(frame_text(m));
  }
  EXPECT_EQ(beats, std::vector<std::string>(6, "710#05"));  // 100, 300, ... 1100 ms
  ASSERT_EQ(times.size(), 2u);
  EXPECT_EQ(times[0], expected_times[0]);

  canbus::MasterProducer p(kLine, canbus::MasterProducer::Kind::kHeartbeat, 0);
  EXPECT_FALSE(p.start(100, false));  // a heartbeat needs a node id
  canbus::MasterProducer q(kLine, canbus::MasterProducer::Kind::kTime);
  EXPECT_FALSE(q.start(0, false));
  ASSERT_TRUE(q.start(100, false));
  EXPECT_FALSE(q.start(100, false));
  EXPECT_TRUE(q.tick());
  EXPECT_FALSE(q.tick());  // not yet due
  clock().advance(350 * kMs);
  EXPECT_TRUE(q.tick());  // one, for the periods missed
  EXPECT_FALSE(q.tick());
  EXPECT_EQ(q.sent(), 2u);
}

TEST(NetworkValues, TimeOfDayAndConfigurationStamp) {
  // 1984-01-02 00:00:01.500 UTC; 2026-12-09 12:00:00 UTC.
  const int64_t t = (441'763'200 + 86'400 + 1) * int64_t{1'000'000'000} + 500'000'000;
  EXPECT_EQ(canbus::time_of_day_bytes(t), (std::vector<uint8_t>{0xDC, 0x05, 0, 0, 0x01, 0}));
  EXPECT_EQ(canbus::time_of_day_bytes(1'796'817'600LL * 1'000'000'000),
            (std::vector<uint8_t>{0x00, 0x2E, 0x93, 0x02, 0x43, 0x3D}));
  EXPECT_EQ(canbus::config_stamp_of(1'796'817'600), (canbus::ConfigStamp{15683, 43'200'000}));
  EXPECT_TRUE(canbus::config_stamp_of(0).empty());
}

TEST(NetworkValues, AssignmentBitsAndBootStatusTexts) {
  canbus::SlaveAssignment a;
  a.mandatory = true;
  a.update_allowed = true;
  a.retries = 3;
  a.guard_time_ms = 500;
  EXPECT_EQ(a.to_u32(), 0x01F40349u);
  const canbus::SlaveAssignment b = canbus::SlaveAssignment::from_u32(0x01F4037Fu);
  EXPECT_TRUE(b.slave && b.mandatory && b.keep_alive && b.check_software && b.update_allowed);
  EXPECT_EQ(b.retries, 3);
  EXPECT_EQ(b.guard_time_ms, 500);
  EXPECT_EQ(b.to_u32(), 0x01F40379u);
  std::set<std::string> texts;
  for (char c = 'A'; c <= 'O'; ++c) {
    const std::string t = canbus::boot_status_text(c);
    EXPECT_EQ(t.substr(0, 3), std::string(1, c) + ": ");
    texts.insert(t);
  }
  EXPECT_EQ(texts.size(), 15u);
  EXPECT_EQ(canbus::boot_status_text('B'), "B: no answer to the request for 0x1000 (device type)");
  EXPECT_EQ(canbus::boot_status_text('P'), "");
  EXPECT_EQ(canbus::boot_status_text(0), "");
}

}  // namespace
}  // namespace canbus_test
