// The replaying node: a session with a simulated node recorded, answered from the recording and
// recorded again gives the same log; playing keeps the recorded spacing on the virtual clock.
#include "replay_node.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "canopen_node.h"
#include "recorder.h"
#include "support/driver_io.h"
#include "support/scratch_dir.h"
#include "tavik_time.h"
#include "vbus.h"

namespace {

using canbus_test::make_frame;
using canbus_test::Port;
using canbus_test::sdo;
using Texts = std::vector<std::string>;
namespace rec = ntcan::recorder;

constexpr int64_t kMs = 1'000'000;

int64_t virtual_now() {
  return tavik::clock().now_ns();
}

// The log's lines without their time stamps.
Texts untimed_lines(const std::string& path) {
  std::ifstream in(path);
  Texts out;
  for (std::string l; std::getline(in, l);) out.push_back(l.substr(l.find(')') + 1));
  return out;
}

canlog::Log log_of(const std::string& text) {
  std::istringstream in(text);
  return canlog::read_log(in);
}

class ReplayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vbus::reset();
    rec::set_time_source(&virtual_now);
  }
  void TearDown() override {
    rec::stop();
    rec::set_time_source(nullptr);
    vbus::reset();
  }
  // Guards node 5 three times and uploads its device name, 10 ms apart; what came back.
  Texts session(const std::string& log) {
    rec::Options o;
    o.path = log;
    EXPECT_TRUE(rec::start(o));
    Port port(0, {5});
    Texts got;
    const auto step = [&](const CMSG& request) {
      port.send(request);
      for (const auto& t : port.take_texts()) got.push_back(t);
      clock_->advance(10 * kMs);
    };
    for (int i = 0; i < 3; ++i) step(canbus_test::make_remote(0x705, 1));
    step(sdo(5, 0x40, 0x1008));
    step(sdo(5, 0x60));
    step(sdo(5, 0x70));
    rec::stop();
    return got;
  }

  tavik::ScopedVirtualClock clock_;
  canbus_test::ScratchDir dir_{"replay-test"};
};

TEST_F(ReplayTest, RecordedAnsweredAndRecordedAgainGivesTheSameLog) {
  const std::string first = dir_.path() + "/first.log";
  const std::string second = dir_.path() + "/second.log";
  Texts live;
  {
    sim::VbusNode node(0, 5, "pump controller");
    live = session(first);
  }
  ASSERT_EQ(live.size(), 6u);  // three guarding replies, three SDO answers

  canlog::Log log;
  ASSERT_TRUE(canlog::read_log_file(first, &log));
  sim::ReplayNode replay(0, log);
  EXPECT_EQ(replay.requests(), 6u);
  replay.answer(true);
  EXPECT_EQ(session(second), live);
  EXPECT_EQ(replay.answered(), 6u);
  EXPECT_EQ(untimed_lines(second), untimed_lines(first));
  EXPECT_EQ(untimed_lines(first).size(), 12u);
}

// A candump of a bus has no direction marks: the server's identifiers are named instead.
TEST_F(ReplayTest, UnmarkedLogAnswersRequestsOfTheNamedIdentifiers) {
  const canlog::Log log = log_of(
      "(1.000000) can0 605#4018100100000000\n"
      "(1.000100) can0 585#4318100178563412\n"
      "(1.100001) can0 705#7F\n");  // too late to be an answer
  sim::ReplayOptions o;
  o.request_ids = {0x605};
  sim::ReplayNode replay(0, log, o);
  replay.answer(true);
  Port port(0, {5});
  port.send(sdo(5, 0x40, 0x1018, 1));
  port.send(sdo(5, 0x40, 0x1018, 2));  // not recorded: no answer
  EXPECT_EQ(port.take_texts(), Texts{"585#4318100178563412"});
  EXPECT_EQ(replay.answered(), 1u);
  // What answered nothing goes out once its time from the log's first record is reached.
  EXPECT_EQ(replay.unanswered(), 1u);
  EXPECT_EQ(replay.play_unanswered(100 * kMs), 0u);
  EXPECT_EQ(replay.play_unanswered(100 * kMs + 1000), 1u);
  EXPECT_EQ(replay.play_unanswered(200 * kMs), 0u);
  EXPECT_EQ(port.take_texts(), Texts{"705#7F"});
}

TEST_F(ReplayTest, PlaysChosenFramesWithTheirSpacingAtTheSpeedFactor) {
  const canlog::Log log = log_of(
      "(1000.000000) can0 081#01\n"
      "(1000.010000) can0 281#02\n"  // not an identifier played
      "(1000.020000) can0 081#03\n"
      "(1000.015000) can0 081#04\n"  // backwards: no pause
      "(1000.045000) can0 605#40 T\n"
      "(1000.085000) can1 081#05\n"  // another interface
      "(1000.125000) can0 081#06 R\n");
  sim::ReplayOptions o;
  o.ids = {0x81};
  o.iface = "can0";
  o.speed = 2;
  sim::ReplayNode replay(0, log, o);
  Port port(0, {1});  // receives 0x81, node 1's EMCY
  clock_->clear_sleeps();
  EXPECT_EQ(replay.play(), 4u);
  EXPECT_EQ(port.take_texts(), (Texts{"081#01", "081#03", "081#04", "081#06"}));
  // Offsets 0, 20, 20, 130 ms, halved.
  EXPECT_EQ(clock_->sleeps(), (std::vector<int64_t>{10 * kMs, 55 * kMs}));
  o.speed = 0;
  EXPECT_THROW(sim::ReplayNode(0, log, o), std::invalid_argument);
}

TEST_F(ReplayTest, LoopsInItsOwnThreadUntilStopped) {
  const canlog::Log log = log_of("(1.000000) can0 181#01\n(1.020000) can0 181#02\n");
  sim::ReplayOptions o;
  o.loop = true;
  sim::ReplayNode replay(0, log, o);
  NTCAN_HANDLE h = NTCAN_NO_HANDLE;
  ASSERT_EQ(canOpen(0, 0, 0, 1000, 0, 10000, &h), NTCAN_SUCCESS);
  ASSERT_EQ(canIdAdd(h, 0x181), NTCAN_SUCCESS);
  replay.start();
  Texts got;
  while (got.size() < 6) got.push_back(canbus_test::frame_text(canbus_test::read_one(h)));
  replay.stop();
  EXPECT_EQ(got, (Texts{"181#01", "181#02", "181#01", "181#02", "181#01", "181#02"}));
  EXPECT_GE(replay.played(), 6u);
  canClose(h);
}

}  // namespace
