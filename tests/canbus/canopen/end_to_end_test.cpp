// A simulated CANopen node driven through client writes to .START, .STOP and .RESET, watched by
// node guarding through the receive cycle, and its emergencies reported.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "canbus/io/node_harness.h"
#include "canopen_node.h"
#include "support/canbus_fixture.h"

namespace canbus_test {
namespace {

constexpr int kLine = 1;
constexpr int kNet = net_of(kLine);
constexpr int kNode = 5;

class EndToEndTest : public CanbusTest {
 protected:
  // One guarding round as a device server makes it: request, receive cycle, copy, evaluation.
  int guard(D_can& n) {
    EXPECT_EQ(n.rtr(), 0);
    EXPECT_EQ(can_looping(), 0);
    CMSG frames[D_can::kRxFrames];
    int length = 0;
    EXPECT_EQ(n.can_array(frames, &length), 0);
    return n.alive_prop()->check_alive(kNode, frames, &length);
  }
  // The frames the receive cycle brings in now.
  static std::vector<std::string> drain(D_can& n) {
    can_looping();
    CMSG frames[D_can::kRxFrames];
    int length = 0;
    n.can_array(frames, &length);
    std::vector<std::string> out;
    for (int i = 0; i < length; ++i) out.push_back(frame_text(frames[i]));
    return out;
  }
};

TEST_F(EndToEndTest, StartStopResetFollowedByGuarding) {
  EqFct loc("E2E.TEST");
  sim::VbusNode sim(kNet, kNode);
  auto node = make_node(loc, "NODE", iiii(kLine, kNode));
  ASSERT_EQ(node->init(0x700 + kNode), 0);
  vbus::clear_sent(kNet);

  client_write(node->start_prop(), 1, &loc);
  EXPECT_EQ(sim.logic().state(), sim::kOperational);
  EXPECT_EQ(guard(*node), 100);
  EXPECT_EQ(node->alive_prop()->value() & 0x7F, 0x05);
  EXPECT_TRUE(node->alive_prop()->isalive());
  EXPECT_EQ(node->condition_prop()->value(), "Operational");

  client_write(node->stop_prop(), 1, &loc);
  EXPECT_EQ(sim.logic().state(), sim::kStopped);
  EXPECT_EQ(guard(*node), 0);
  EXPECT_EQ(node->alive_prop()->value() & 0x7F, 0x04);
  EXPECT_FALSE(node->alive_prop()->isalive());
  EXPECT_EQ(node->condition_prop()->value(),
            "Operational");  // only a found operational reply sets it

  client_write(node->reset_prop(), 1, &loc);
  // The boot-up message comes first; taken here so that the guarding reply is evaluated.
  EXPECT_EQ(drain(*node), std::vector<std::string>{"705#00"});
  EXPECT_EQ(guard(*node), 0);
  EXPECT_EQ(node->alive_prop()->value() & 0x7F, 0x7F);
  EXPECT_FALSE(node->alive_prop()->isalive());
  EXPECT_EQ(node->condition_prop()->value(), "Operational");

  EXPECT_EQ(sent_texts(kNet), (std::vector<std::string>{"000#0105", "705#R0", "000#0205", "705#R0",
                                                        "000#8105", "705#R0"}));
  EXPECT_EQ(sim.logic().guarding_requests(), 3);
}

TEST_F(EndToEndTest, GuardingToggleAlternatesAndStaysAlive) {
  EqFct loc("E2E.TEST");
  sim::VbusNode sim(kNet, kNode);
  auto node = make_node(loc, "NODE", iiii(kLine, kNode));
  ASSERT_EQ(node->init(0x700 + kNode), 0);
  client_write(node->start_prop(), 1, &loc);
  std::vector<int> stored;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(guard(*node), 100);
    stored.push_back(node->alive_prop()->value());
  }
  EXPECT_EQ(stored, (std::vector<int>{0x05, 0x85, 0x05}));
}

TEST_F(EndToEndTest, FollowerSeesTheMastersState) {
  EqFct loc("E2E.TEST");
  sim::VbusNode sim(kNet, kNode);
  auto master = make_node(loc, "MASTER", iiii(kLine, kNode));
  auto follower = make_node(loc, "FOLLOWER", iiii(kLine, kNode));
  ASSERT_EQ(master->init(0x700 + kNode), 0);
  ASSERT_EQ(follower->init(0x80 + kNode), 0);
  client_write(follower->start_prop(), 1, &loc);
  EXPECT_EQ(guard(*follower), 100);
  // One node-state integer for the node; the text belongs to the property that evaluated.
  EXPECT_TRUE(master->alive_prop()->isalive());
  EXPECT_EQ(follower->condition_prop()->value(), "Operational");
  EXPECT_EQ(master->condition_prop()->value(), "Preoperational");
}

TEST_F(EndToEndTest, EmergencyOfTheNodeIsLogged) {
  EqFct loc("E2E.TEST");
  sim::VbusNode sim(kNet, kNode);
  auto node = make_node(loc, "NODE", iiii(kLine, kNode));
  ASSERT_EQ(node->init_emergency(), 0);
  sim.send_emcy(0x8110, 0x01);
  can_looping();
  CMSG frames[D_can::kRxFrames];
  int length = 0;
  EXPECT_EQ(node->can_array(frames, &length), 0);
  EXPECT_EQ(node->can_emergency(kNode, frames, &length), 100);
  std::vector<tavik::LogEntry> lines = log().with_label("D_can::can_emergency");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].message, "0x10 0x81 0x1 0x0 0x0 0x0 0x0 0x0 ");
}

}  // namespace
}  // namespace canbus_test
