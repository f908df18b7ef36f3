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

// Runs the line's supervision thread on the virtual clock, pause after pause, until `done`.
template <typename Done>
void supervise_until(tavik::VirtualClock& clock, Done done) {
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(clock.wait_for_sleepers(1));
    if (done()) return;
    clock.advance_to_next_wakeup();
  }
  FAIL() << "the supervision thread never got there";
}

// Whether the frames of `id` reach `n` now: through the receive cycle for a node with a buffer,
// straight from its handle for a directly attached one.
bool receives(D_can& n, int32_t id) {
  CMSG frames[D_can::kRxFrames];
  int length = D_can::kRxFrames;
  if (n.rx_buffer() != nullptr) {
    can_looping();
    if (n.can_array(frames, &length) != 0) return false;
  } else if (n.can_get(frames, &length) != 0) {
    return false;
  }
  for (int i = 0; i < length; ++i) {
    if (frames[i].id == id) return true;
  }
  return false;
}

// A lost line (net down) that the supervision thread closes and reopens: within one receive
// cycle after the reopen, a master and its follower (node 5, the master holding the line's own
// handle), a second master (node 6) and a directly attached property (node 5) receive, poll,
// send NMT and upload again, with no call of the device server's.
TEST_F(EndToEndTest, EveryNodeWorksAgainAfterALineOutage) {
  EqFct loc("E2E.TEST");
  sim::VbusNode pump(kNet, 5, "TURBO PUMP");
  sim::VbusNode valve(kNet, 6, "VALVE");
  auto a = make_node(loc, "A", iiii(kLine, 5));
  auto b = make_node(loc, "B", iiii(kLine, 5));
  auto c = make_node(loc, "C", iiii(kLine, 6));
  auto d = make_node(loc, "D", iiii(kLine, 5, 0x585, 0x705));
  ASSERT_EQ(a->init(0x705), 0);
  ASSERT_EQ(b->init(0x585), 0);
  ASSERT_EQ(c->init(0x706), 0);
  ASSERT_EQ(c->AddIdent(0x586), 0);
  ASSERT_EQ(d->init(), 0);
  canline* line = a->line_ptr();
  const NTCAN_HANDLE first = line->handle();
  ASSERT_EQ(a->handle(), first);

  vbus::set_net_down(kNet, true);
  supervise_until(clock(), [&] { return line->handle() <= 0; });
  EXPECT_EQ(a->start_node(), NTCAN_INVALID_HANDLE);
  vbus::set_net_down(kNet, false);
  supervise_until(clock(), [&] { return line->handle() > 0; });
  ASSERT_NE(line->handle(), first);
  can_looping();
  EXPECT_EQ(b->handle(), a->handle());

  for (D_can* n : {a.get(), b.get(), c.get(), d.get()}) {
    SCOPED_TRACE(n->basename());
    const int id = n->value().i2_data;
    sim::VbusNode& sim = id == 5 ? pump : valve;
    EXPECT_GT(n->handle(), 0);
    EXPECT_EQ(n->stop_node(), 0);
    EXPECT_EQ(sim.logic().state(), sim::kStopped);
    EXPECT_EQ(n->start_node(), 0);
    EXPECT_EQ(sim.logic().state(), sim::kOperational);
    EXPECT_EQ(n->rtr(), 0);
    EXPECT_TRUE(receives(*n, 0x700 + id));

    char name[32] = {};
    EXPECT_EQ(n->segSdoRead(static_cast<short>(id), 0x1008, 0, name, sizeof name), 0);
    EXPECT_STREQ(name, id == 5 ? "TURBO PUMP" : "VALVE");

    int ident = 0x600 + id;
    int length = 8;
    unsigned char data[8] = {0x40, 0x00, 0x10, 0x00};  // device type, expedited
    EXPECT_EQ(n->can_poll(&ident, &length, data), 0);
    EXPECT_EQ(ident, 0x580 + id);
  }
  // The second master's own handle lived through the outage and was kept.
  EXPECT_EQ(log().count("D_can::keep_open"), 1u);
}

}  // namespace
}  // namespace canbus_test
