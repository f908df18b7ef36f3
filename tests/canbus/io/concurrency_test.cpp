// The receive cycle running while other threads attach, move and remove masters, followers come
// and go, a device sends frames and readers copy buffers out. Every frame carries its node in the
// payload: a frame found in the buffer of another node, or a frame torn apart, fails the test.
// Meant to run under ThreadSanitizer and AddressSanitizer as well.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "canbus/io/node_harness.h"
#include "support/canbus_fixture.h"

namespace canbus_test {
namespace {

constexpr int kChurnRounds = 150;

CMSG node_frame(int node, int seq) {
  return make_frame(0x180 + node,
                    {static_cast<uint8_t>(node), static_cast<uint8_t>(seq & 0xFF),
                     static_cast<uint8_t>((seq >> 8) & 0xFF), static_cast<uint8_t>(node ^ 0xFF)});
}

// Empty when every copied frame belongs to `node` and is whole, else a description.
std::string foreign_frames(D_can& n, int node, int* copied) {
  CMSG frames[D_can::kRxFrames];
  int length = 0;
  n.can_array(frames, &length);
  std::string bad;
  for (int i = 0; i < length; ++i) {
    const CMSG& m = frames[i];
    if (m.id != 0x180 + node || m.len != 4 || m.data[0] != node || m.data[3] != (node ^ 0xFF)) {
      bad += frame_text(m) + " in node " + std::to_string(node) + "; ";
    }
  }
  *copied += length;
  return bad;
}

class ReceiveCycleConcurrencyTest : public CanbusTest {};

TEST_F(ReceiveCycleConcurrencyTest, NoFrameEverReachesAnotherNodesBuffer) {
  EqFct loc("RACE.TEST");
  auto m3 = make_node(loc, "M3", iiii(1, 3));
  auto m4 = make_node(loc, "M4", iiii(1, 4));
  auto mover = make_node(loc, "MOVER", iiii(1, 5));      // moves between lines 1 and 2
  auto remover = make_node(loc, "REMOVER", iiii(1, 6));  // leaves and rejoins the registry
  ASSERT_EQ(m3->init(0x183), 0);
  ASSERT_EQ(m4->init(0x184), 0);
  ASSERT_EQ(mover->init(0x185), 0);
  ASSERT_EQ(remover->init(0x186), 0);
  // The print reads the mover's value while it is being moved.
  D_can::canIdent_debug_->set_value(iiii(1, 5));
  TAVIK_debug = DF_DAQ_5;

  std::atomic<bool> stop{false};
  std::atomic<int> cycles{0};
  std::vector<std::string> failures;  // written by the reader thread only

  std::thread cycle([&] {
    while (!stop.load()) {
      can_looping();
      cycles.fetch_add(1);
    }
  });
  std::thread device([&] {
    for (int seq = 0; !stop.load(); ++seq) {
      for (int node = 3; node <= 6; ++node) {
        vbus::inject(0, node_frame(node, seq));
        vbus::inject(1, node_frame(node, seq));
      }
    }
  });
  int copied = 0;
  std::atomic<int> passes{0};
  std::thread reader([&] {
    for (; !stop.load(); passes.fetch_add(1)) {
      const std::pair<D_can*, int> nodes[] = {
          {m3.get(), 3}, {m4.get(), 4}, {mover.get(), 5}, {remover.get(), 6}};
      for (auto [n, node] : nodes) {
        std::string bad = foreign_frames(*n, node, &copied);
        if (!bad.empty()) failures.push_back(bad);
      }
    }
  });

  // This thread is the only one that attaches: attachments are made one at a time.
  int follower_failures = 0;
  for (int round = 0; round < kChurnRounds; ++round) {
    // Each round overlaps at least one receive cycle and one reader pass.
    const int cycles_before = cycles.load();
    const int passes_before = passes.load();
    IIII there = iiii(2 - round % 2, 5);
    mover->set_value(&there);
    mover->init(0x185);

    remover->dellist();
    remover->init(0x186);

    EqFct floc("FOLLOWER.TEST");
    auto follower = make_node(floc, "FOLLOWER", iiii(1, 3));
    follower->init(0x183);
    int n = 0;
    if (!foreign_frames(*follower, 3, &n).empty()) ++follower_failures;
    follower.reset();
    while (cycles.load() == cycles_before || passes.load() == passes_before) {
      std::this_thread::yield();
    }
  }
  stop = true;
  cycle.join();
  device.join();
  reader.join();

  EXPECT_TRUE(failures.empty()) << failures.front();
  EXPECT_EQ(follower_failures, 0);
  EXPECT_GE(cycles.load(), kChurnRounds);

  // Afterwards every registered master still gets exactly its own frames.
  TAVIK_debug = 0;
  can_looping();
  for (int node = 3; node <= 6; ++node) vbus::inject(0, node_frame(node, 7));
  can_looping();
  const std::pair<D_can*, int> nodes[] = {
      {m3.get(), 3}, {m4.get(), 4}, {mover.get(), 5}, {remover.get(), 6}};
  for (auto [n, node] : nodes) {
    CMSG frames[D_can::kRxFrames];
    int length = 0;
    EXPECT_EQ(n->can_array(frames, &length), 0) << node;
    ASSERT_EQ(length, 1) << node;
    EXPECT_EQ(frame_text(frames[0]), frame_text(node_frame(node, 7)));
  }
}

}  // namespace
}  // namespace canbus_test
