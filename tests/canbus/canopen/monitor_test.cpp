// The node monitor against simulated nodes and injected frames on the virtual bus, stepped by
// the test on the virtual clock: heartbeat and guarding supervision, counters that count each
// frame once, callbacks in order (also when they call the monitor back), lines, frame budget,
// and its thread.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "canbus/io/node_harness.h"
#include "canopen_node.h"
#include "support/canbus_fixture.h"

namespace canbus_test {
namespace {

using Texts = std::vector<std::string>;

constexpr int kLine = 1;
constexpr int kNet = net_of(kLine);
constexpr int kNode = 5;

canbus::NodeConfig config(canbus::Supervision mode) {
  canbus::NodeConfig c;
  c.mode = mode;
  c.heartbeat_ms = 100;
  c.heartbeat_tolerance_ms = 100;
  return c;
}

class MonitorTest : public CanbusTest {
 protected:
  void SetUp() override {
    CanbusTest::SetUp();
    loc_ = std::make_unique<EqFct>("MONITOR.TEST");
    node_ = make_node(*loc_, "NODE", iiii(kLine, kNode));
    ASSERT_EQ(node_->init(0), 0);
    canbus::MonitorCallbacks cb;
    cb.on_state = [this](D_can& n, int o, int s) {
      record(n.name() + " state " + std::to_string(o) + ">" + std::to_string(s));
    };
    cb.on_lost = [this](D_can& n) { record(n.name() + " lost"); };
    cb.on_back = [this](D_can& n) { record(n.name() + " back"); };
    cb.on_emergency = [this](D_can& n, const canbus::Emcy& e) {
      char code[8];
      std::snprintf(code, sizeof code, "%04X", e.code);
      record(n.name() + " emcy " + code);
      if (on_emcy_) on_emcy_();
    };
    cb.on_line_lost = [this](int line) { record("line lost " + std::to_string(line)); };
    cb.on_line_back = [this](int line) { record("line back " + std::to_string(line)); };
    cb.on_frames = [this](D_can& n, CMSG*, int count) {
      if (record_frames_) record(n.name() + " frames " + std::to_string(count));
    };
    mon_ = std::make_unique<canbus::NodeMonitor>(cb);
  }
  void TearDown() override {
    mon_.reset();
    node_.reset();
    loc_.reset();
    CanbusTest::TearDown();
  }

  // The time moves on by `ms`, the simulated node beats if due, and the monitor polls.
  void step(int ms = 100) {
    clock().advance(int64_t{ms} * 1'000'000);
    if (sim_ != nullptr) sim_->heartbeat_tick();
    ASSERT_TRUE(mon_->poll());
  }
  void record(const std::string& s) {
    std::lock_guard<std::mutex> lk(mx_);
    events_.push_back(s);
  }
  Texts events() {
    std::lock_guard<std::mutex> lk(mx_);
    return events_;
  }
  canbus::NodeStats stats() {
    canbus::NodeStats s;
    EXPECT_TRUE(mon_->stats(node_.get(), s));
    return s;
  }

  std::unique_ptr<EqFct> loc_;
  std::unique_ptr<D_can> node_;
  std::unique_ptr<canbus::NodeMonitor> mon_;
  sim::VbusNode* sim_ = nullptr;
  std::function<void()> on_emcy_;
  bool record_frames_ = false;
  std::mutex mx_;
  Texts events_;
};

TEST_F(MonitorTest, HeartbeatLostAfterToleranceAndBackOnTheNextBeat) {
  ASSERT_EQ(mon_->add(node_.get(), config(canbus::Supervision::kHeartbeat)), 0);
  sim::VbusNode sim(kNet, kNode);                                 // boot-up
  sim.logic().set_object(0x1017, 0, std::string("\x64\x00", 2));  // 100 ms
  sim_ = &sim;
  step(0);
  node_->start_node();
  for (int i = 0; i < 5; ++i) step();
  EXPECT_EQ(events(), (Texts{"NODE state -1>0", "NODE state 0>5"}));
  EXPECT_EQ(node_->condition_prop()->value(), "Operational");

  sim.logic().pause_heartbeat(true);
  step();
  step();  // 200 ms since the last beat: period and tolerance not yet over
  EXPECT_EQ(events().size(), 2u);
  step();
  EXPECT_EQ(events().back(), "NODE lost");
  EXPECT_EQ(node_->condition_prop()->value(), "No heartbeat");
  for (int i = 0; i < 5; ++i) step();  // reported once
  sim.logic().pause_heartbeat(false);
  step();
  EXPECT_EQ(events(), (Texts{"NODE state -1>0", "NODE state 0>5", "NODE lost", "NODE back"}));
  EXPECT_EQ(node_->condition_prop()->value(), "Operational");
  canbus::NodeStats s = stats();
  EXPECT_EQ(s.replies, 6u);
  EXPECT_EQ(s.missed, 1u);
  EXPECT_EQ(s.boot_ups, 1u);
  EXPECT_FALSE(s.lost);
  EXPECT_EQ(s.losses, 1u);
  sim_ = nullptr;
}

// The heartbeat deadline runs from the first poll after add() (or start()) until the node is
// heard: a node never heard, or one that boots and never beats, is lost as one that stopped.
struct HeartbeatStart {
  const char* name;
  bool boots, beats;
  int restart_ms;  // start() and stop() of the thread at this time (0: none)
  int lost_ms;     // when it is reported lost (-1: never)
  Texts events;
};

class MonitorHeartbeatStart : public MonitorTest,
                              public ::testing::WithParamInterface<HeartbeatStart> {};

TEST_P(MonitorHeartbeatStart, LostWhenNotHeardWithinPeriodAndTolerance) {
  const HeartbeatStart& c = GetParam();
  ASSERT_EQ(mon_->add(node_.get(), config(canbus::Supervision::kHeartbeat)), 0);
  auto send = [](uint8_t b) { vbus::inject(kNet, make_frame(0x700 + kNode, {b})); };
  if (c.boots) send(0x00);
  step(0);
  int lost_ms = -1;
  for (int t = 100; t <= 800; t += 100) {
    if (c.beats) send(0x05);
    step();
    if (lost_ms < 0 && stats().lost) lost_ms = t;
    if (t != c.restart_ms) continue;
    ASSERT_TRUE(mon_->start(100, 0));
    ASSERT_TRUE(mon_->stop());
    ASSERT_TRUE(mon_->poll());  // at the same time, whether the thread polled or not
  }
  EXPECT_EQ(lost_ms, c.lost_ms);
  EXPECT_EQ(events(), c.events);
  EXPECT_EQ(stats().missed, c.lost_ms < 0 ? 0u : 1u);
  if (c.lost_ms >= 0) {
    EXPECT_EQ(node_->condition_prop()->value(), "No heartbeat");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MonitorHeartbeatStart,
    ::testing::Values(
        HeartbeatStart{"NeverHeard", false, false, 0, 300, {"NODE lost"}},
        HeartbeatStart{"NeverHeardThreadRestarted", false, false, 200, 500, {"NODE lost"}},
        HeartbeatStart{"BootsAndNeverBeats", true, false, 0, 300, {"NODE state -1>0", "NODE lost"}},
        HeartbeatStart{"BootsAndBeats", true, true, 0, -1, {"NODE state -1>0", "NODE state 0>5"}}),
    [](const ::testing::TestParamInfo<HeartbeatStart>& i) { return std::string(i.param.name); });

TEST_F(MonitorTest, HeartbeatProducerTimeWrittenIntoTheNode) {
  sim::VbusNode sim(kNet, kNode);
  canbus::NodeConfig cfg = config(canbus::Supervision::kHeartbeat);
  cfg.write_producer_time = true;
  cfg.heartbeat_ms = 0x10000;  // more than the object holds
  EXPECT_EQ(mon_->add(node_.get(), cfg), -1);
  cfg.heartbeat_ms = 250;
  ASSERT_EQ(mon_->add(node_.get(), cfg), 0);
  EXPECT_EQ(sim.logic().object(0x1017, 0), std::string("\xFA\x00", 2));
}

// Polled ten times per guarding period: one request per period, each reply counted once.
TEST_F(MonitorTest, GuardingOneRequestPerPeriodLostAfterMissesBackOnReply) {
  ASSERT_EQ(mon_->add(node_.get(), config(canbus::Supervision::kGuarding)), 0);
  sim::VbusNode sim(kNet, kNode);
  node_->start_node();
  step(0);
  for (int i = 0; i < 99; ++i) step();
  EXPECT_EQ(sim.logic().guarding_requests(), 10);
  EXPECT_EQ(stats().replies, 10u);
  EXPECT_EQ(events(), (Texts{"NODE state -1>0", "NODE state 0>5"}));

  sim.logic().set_silent(true);
  for (int i = 0; i < 30; ++i) step();  // requests at 10, 11, 12 s unanswered; 13 s not yet
  EXPECT_EQ(stats().missed, 2u);
  EXPECT_FALSE(stats().lost);
  step();
  EXPECT_EQ(events().back(), "NODE lost");
  EXPECT_EQ(node_->condition_prop()->value(), "No guarding reply");
  sim.logic().set_silent(false);
  for (int i = 0; i < 11; ++i) step();
  EXPECT_EQ(events().back(), "NODE back");
  EXPECT_EQ(node_->condition_prop()->value(), "Operational");
  EXPECT_EQ(stats().missed, 4u);
  EXPECT_EQ(stats().toggle_errors, 0u);
}

TEST_F(MonitorTest, GuardingToggleErrorsAndRepliesNobodyAskedFor) {
  ASSERT_EQ(mon_->add(node_.get(), config(canbus::Supervision::kGuarding)), 0);
  auto reply = [](uint8_t b) { vbus::inject(kNet, make_frame(0x700 + kNode, {b})); };
  step(0);  // request 1
  reply(0x05);
  reply(0x85);  // a second reply to one request
  step(1000);   // request 2
  reply(0x05);  // toggle did not alternate
  step(1000);   // request 2 missed; request 3
  reply(0x05);  // after a miss the toggle is learnt anew
  step(1000);
  canbus::NodeStats s = stats();
  EXPECT_EQ(s.replies, 2u);
  EXPECT_EQ(s.toggle_errors, 1u);
  EXPECT_EQ(s.missed, 1u);
  EXPECT_EQ(events(), (Texts{"NODE state -1>5"}));
  int requests = 0;
  for (const CMSG& m : vbus::sent(kNet)) requests += m.id == 0x705 && (m.len & NTCAN_RTR);
  EXPECT_EQ(requests, 4);
}

// Every EMCY of a cycle, decoded and logged; a callback may ask for counters and remove its
// node, and the node's later events of that cycle are then not delivered.
TEST_F(MonitorTest, EmergenciesInOrderAndCallbacksCallingTheMonitor) {
  canbus::NodeConfig cfg = config(canbus::Supervision::kNone);
  ASSERT_EQ(mon_->add(node_.get(), cfg), 0);
  sim::VbusNode sim(kNet, kNode);
  sim.send_emcy(0x8130, 0x11, {0x01, 0x02});
  sim.send_emcy(0x3210, 0x04);
  record_frames_ = true;
  step();
  record_frames_ = false;
  EXPECT_EQ(events(),
            (Texts{"NODE state -1>0", "NODE emcy 8130", "NODE emcy 3210", "NODE frames 3"}));
  EXPECT_EQ(stats().emergencies, 2u);
  auto logged = log().with_label("NodeMonitor");
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[0].message,
            "Line : 1, node 5: EMCY 0x8130 monitoring, communication: life guard or heartbeat "
            "error; register 0x11 (generic, communication); vendor 01 02 00 00 00");
  EXPECT_EQ(log().count("D_can::can_emergency"), 0u);

  uint64_t seen = 0;
  on_emcy_ = [&] {
    canbus::NodeStats s;
    ASSERT_TRUE(mon_->stats(node_.get(), s));
    seen = s.emergencies;
    EXPECT_TRUE(mon_->remove(node_.get()));
  };
  sim.send_emcy(0x1000, 0x01);
  sim.send_emcy(0x2000, 0x02);
  step();
  EXPECT_EQ(seen, 4u);  // both evaluated before the first callback
  EXPECT_EQ(events().back(), "NODE emcy 1000");
  EXPECT_FALSE(mon_->supervised(node_.get()));
}

// Callbacks of a node's own (given with add(), or its handler object) run before the all-nodes
// ones; a node's own callback that removes it ends its events there.
TEST_F(MonitorTest, PerNodeCallbacksRunBeforeTheAllNodesOnes) {
  struct Handler : canbus::NodeHandler {
    void on_emergency(D_can& n, const canbus::Emcy&) override { record("handler " + n.name()); }
    std::function<void(const std::string&)> record;
  } handler;
  handler.record = [this](const std::string& t) { record(t); };
  auto other = make_node(*loc_, "OTHER", iiii(kLine, 6));
  ASSERT_EQ(other->init(0), 0);
  bool remove = false;
  canbus::NodeCallbacks own;
  own.on_emergency = [&](D_can& n, const canbus::Emcy&) {
    record("own " + n.name());
    if (remove) mon_->remove(&n);
  };
  const canbus::NodeConfig cfg = config(canbus::Supervision::kNone);
  ASSERT_EQ(mon_->add(node_.get(), cfg, own), 0);
  ASSERT_EQ(mon_->add(other.get(), cfg, handler), 0);
  vbus::inject(kNet, make_frame(0x80 + kNode, {0x00, 0x10}));
  vbus::inject(kNet, make_frame(0x80 + 6, {0x00, 0x20}));
  step();
  EXPECT_EQ(events(), (Texts{"own NODE", "NODE emcy 1000", "handler OTHER", "OTHER emcy 2000"}));
  remove = true;
  vbus::inject(kNet, make_frame(0x80 + kNode, {0x00, 0x30}));
  step();
  EXPECT_EQ(events().back(), "own NODE");
  EXPECT_FALSE(mon_->supervised(node_.get()));
  EXPECT_TRUE(mon_->remove(other.get()));
}

TEST_F(MonitorTest, ACallbackThatThrowsIsLoggedAndTheCycleGoesOn) {
  ASSERT_EQ(mon_->add(node_.get(), config(canbus::Supervision::kNone)), 0);
  on_emcy_ = [] { throw std::runtime_error("boom"); };
  vbus::inject(kNet, make_frame(0x80 + kNode, {0x00, 0x10}));
  vbus::inject(kNet, make_frame(0x80 + kNode, {0x00, 0x20}));
  step();
  EXPECT_EQ(events(), (Texts{"NODE emcy 1000", "NODE emcy 2000"}));
  EXPECT_EQ(log().count("NodeMonitor"), 4u);  // two emergencies, two exceptions
  EXPECT_EQ(log().with_label("NodeMonitor")[1].message, "a callback threw: boom");
}

TEST_F(MonitorTest, OnePropertyPerNodeAndOnlyWithAReceiveBuffer) {
  auto follower = make_node(*loc_, "FOLLOWER", iiii(kLine, kNode));
  ASSERT_EQ(follower->init(0), 0);
  auto direct = make_node(*loc_, "DIRECT", iiii(kLine, 6));
  ASSERT_EQ(direct->init(), 0);
  EXPECT_EQ(mon_->add(follower.get()), 0);
  EXPECT_EQ(mon_->add(node_.get()), -1);  // same node
  EXPECT_EQ(mon_->add(direct.get()), -1);
  EXPECT_TRUE(mon_->remove(follower.get()));
  EXPECT_FALSE(mon_->remove(follower.get()));
  canbus::NodeConfig no_period = config(canbus::Supervision::kHeartbeat);
  no_period.heartbeat_ms = 0;
  EXPECT_EQ(mon_->add(node_.get(), no_period), -1);
  EXPECT_EQ(mon_->add(node_.get()), 0);
}

TEST_F(MonitorTest, LineLostAndBack) {
  ASSERT_EQ(mon_->add(node_.get(), config(canbus::Supervision::kNone)), 0);
  step();
  node_->line_ptr()->can_close();
  step();
  step();
  node_->line_ptr()->can_open();
  step();
  EXPECT_EQ(events(), (Texts{"line lost 1", "line back 1"}));
}

// At most kRxFrames per node and cycle; what the driver's queue dropped shows as lost frames.
TEST_F(MonitorTest, FrameBudgetAndLostFrames) {
  canbus::NodeConfig cfg = config(canbus::Supervision::kNone);
  cfg.log_emergencies = false;
  ASSERT_EQ(mon_->add(node_.get(), cfg), 0);
  for (int i = 0; i < 150; ++i) vbus::inject(kNet, make_frame(0x80 + kNode, {0x00, 0x10, 0x01}));
  step();
  EXPECT_EQ(stats().emergencies, 100u);
  EXPECT_EQ(stats().cycles_full, 1u);
  vbus::inject(kNet, make_frame(0x80 + kNode, {0x00, 0x10, 0x01}));
  step();
  EXPECT_EQ(stats().emergencies, 101u);
  EXPECT_EQ(stats().frames_lost, 50u);
  EXPECT_EQ(stats().cycles_full, 1u);
}

TEST_F(MonitorTest, ThreadPollsOneOwnerStopsAtOnce) {
  ASSERT_EQ(mon_->add(node_.get(), config(canbus::Supervision::kNone)), 0);
  std::promise<bool> stop_in_callback;
  bool asked = false;  // only touched by the monitor's thread
  on_emcy_ = [&] {
    if (asked) return;
    asked = true;
    stop_in_callback.set_value(mon_->stop());
  };
  auto result = stop_in_callback.get_future();
  ASSERT_TRUE(mon_->start(10));
  EXPECT_TRUE(mon_->running());
  EXPECT_FALSE(mon_->start(10));
  canbus::NodeMonitor other;
  EXPECT_FALSE(other.start(10));
  EXPECT_FALSE(other.poll());
  vbus::inject(kNet, make_frame(0x80 + kNode, {0x00, 0x10}));
  ASSERT_EQ(result.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_FALSE(result.get());  // refused from its own thread
  EXPECT_TRUE(mon_->stop());
  EXPECT_FALSE(mon_->running());

  ASSERT_TRUE(mon_->start(3'600'000));
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(mon_->stop());
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
  EXPECT_TRUE(other.start(10));
  EXPECT_TRUE(other.stop());
}

// Between two polls an hour apart the thread is woken by each arrival and serves the node:
// every frame reaches on_frames once, in order, with no poll in between. Also for 250 frames
// put on the bus in bursts of 100 (the driver's queue), which take three woken cycles or more.
TEST_F(MonitorTest, ThreadWokenByArrivalsDeliversEveryFrameOnce) {
  std::mutex mx;
  std::condition_variable cv;
  std::vector<int> seen;
  canbus::MonitorCallbacks cb;
  cb.on_frames = [&](D_can&, CMSG* frames, int count) {
    std::lock_guard<std::mutex> lk(mx);
    for (int i = 0; i < count; ++i) seen.push_back(frames[i].data[0] | frames[i].data[1] << 8);
    cv.notify_all();
  };
  mon_ = std::make_unique<canbus::NodeMonitor>(cb);
  ASSERT_EQ(mon_->add(node_.get(), config(canbus::Supervision::kNone)), 0);
  ASSERT_EQ(node_->AddIdent(0x180 + kNode), 0);
  ASSERT_TRUE(mon_->start(3'600'000, 200));
  auto wait_for = [&](size_t n) {
    std::unique_lock<std::mutex> lk(mx);
    return cv.wait_for(lk, std::chrono::seconds(20), [&] { return seen.size() >= n; });
  };
  int sent = 0;
  auto send = [&](int n) {
    for (int i = 0; i < n; ++i, ++sent) {
      vbus::inject(kNet, make_frame(0x180 + kNode, {static_cast<uint8_t>(sent & 0xFF),
                                                    static_cast<uint8_t>(sent >> 8)}));
    }
  };
  send(1);
  ASSERT_TRUE(wait_for(1));
  for (int burst = 0; burst < 3; ++burst) {
    send(burst < 2 ? 100 : 50);
    ASSERT_TRUE(wait_for(static_cast<size_t>(sent)));
  }
  EXPECT_TRUE(mon_->stop());
  std::vector<int> expected(static_cast<size_t>(sent));
  for (int i = 0; i < sent; ++i) expected[static_cast<size_t>(i)] = i;
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(stats().frames_lost, 0u);
}

// The simulated ADC in virtual time: started by NMT through the property, its TPDO1 every
// 100 ms reaches on_frames with the model's four channels.
TEST_F(MonitorTest, SimulatedAdcTpdosReachOnFrames) {
  sim::VbusNode adc(kNet, kNode);
  auto model = sim::make_adc(adc.logic(), 4, 10000, 1000, 100);
  std::vector<std::string> tpdos;
  canbus::MonitorCallbacks cb;
  cb.on_frames = [&](D_can&, CMSG* frames, int count) {
    for (int i = 0; i < count; ++i) {
      if (frames[i].id == 0x180 + kNode) tpdos.push_back(canbus_test::frame_text(frames[i]));
    }
  };
  mon_ = std::make_unique<canbus::NodeMonitor>(cb);
  ASSERT_EQ(mon_->add(node_.get(), config(canbus::Supervision::kNone)), 0);
  ASSERT_EQ(node_->AddIdent(0x180 + kNode), 0);
  ASSERT_EQ(node_->start_node(), 0);
  std::vector<std::string> expected;
  for (int k = 0; k < 3; ++k) {
    if (k > 0) clock().advance(100'000'000);
    adc.pdo_tick();
    ASSERT_TRUE(mon_->poll());
    const int64_t now = clock().now_ns();
    CMSG m{};
    m.id = 0x180 + kNode;
    m.len = 8;
    for (int c = 0; c < 4; ++c) {
      const auto v = static_cast<uint16_t>(model->value(c, now));
      m.data[2 * c] = static_cast<uint8_t>(v & 0xFF);
      m.data[2 * c + 1] = static_cast<uint8_t>(v >> 8);
    }
    expected.push_back(canbus_test::frame_text(m));
  }
  EXPECT_EQ(tpdos, expected);
}

}  // namespace
}  // namespace canbus_test
