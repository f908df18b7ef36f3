// The receive cycle running while other threads attach, move and remove masters, followers come
// and go, a device sends frames and readers copy buffers out. Every frame carries its node in the
// payload: a frame found in the buffer of another node, or a frame torn apart, fails the test.
// Meant to run under ThreadSanitizer and AddressSanitizer as well.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "canbus/io/node_harness.h"
#include "canopen_node.h"
#include "sdo_port.h"
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

// --- SDO uploads beside the receive cycle ------------------------------------------------------

constexpr int kUploads = 2000;

// The cycle runs flat out in one thread while another uploads the device name again and again;
// a device answers every segment request with a numbered frame of another service as well. No
// upload may lose a reply to the cycle, and the cycle must get every other frame in order (or
// see its loss reported, should the uploads hold it off for too long), and never an SDO reply.
TEST_F(ReceiveCycleConcurrencyTest, UploadsNeverLoseTheirRepliesToTheCycle) {
  EqFct loc("SDO.RACE");
  auto n = make_node(loc, "N", iiii(1, 5));
  ASSERT_EQ(n->init(0x585), 0);
  ASSERT_EQ(n->AddIdent(0x185), 0);
  sim::VbusNode sim(0, 5, "name of 17 bytes.");
  std::atomic<int> seq{0};
  ScopedDevice numbered(0, [&](int net, const CMSG& m) {
    if (m.id == 0x605 && (m.data[0] & 0xE0) == 0x60) {
      const int s = seq.fetch_add(1);
      vbus::inject(net, make_frame(0x185, {static_cast<uint8_t>(s), static_cast<uint8_t>(s >> 8)}));
    }
  });

  std::atomic<bool> stop{false};
  std::vector<int> seen;  // numbers of the 0x185 frames, as the cycle delivered them
  int sdo_in_buffer = 0;
  // Frames out of order or missing without a report. (A stash or queue may run over while the
  // uploads hold the cycle off.)
  int unexplained = 0;
  auto collect = [&] {
    CMSG frames[D_can::kRxFrames];
    int length = 0;
    n->can_array(frames, &length);
    for (int i = 0; i < length; ++i) {
      if (frames[i].id == 0x585) ++sdo_in_buffer;
      if (frames[i].id != 0x185) continue;
      const int number = frames[i].data[0] | (frames[i].data[1] << 8);
      // A gap must be the loss the frame reports (saturating at 255).
      const int gap = number - (seen.empty() ? 0 : seen.back() + 1);
      if (gap < 0 || (frames[i].msg_lost < 255 ? gap != frames[i].msg_lost : gap < 255)) {
        ++unexplained;
      }
      seen.push_back(number);
    }
    return length;
  };
  std::thread cycle([&] {
    while (!stop.load()) {
      can_looping();
      collect();
    }
  });
  int failed = 0;
  for (int i = 0; i < kUploads; ++i) {
    if (n->get_manufacture() != 0 || n->manu_prop()->value() != "name of 17 bytes.") ++failed;
  }
  stop = true;
  cycle.join();
  // A last numbered frame reports any loss still pending; then everything is taken.
  const int last = seq.fetch_add(1);
  vbus::inject(0, make_frame(0x185, {static_cast<uint8_t>(last), static_cast<uint8_t>(last >> 8)}));
  do {
    can_looping();
  } while (collect() > 0);

  EXPECT_EQ(failed, 0);
  EXPECT_EQ(sdo_in_buffer, 0);
  EXPECT_EQ(seq.load(), kUploads * 3 + 1);
  EXPECT_EQ(unexplained, 0);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), last);
}

// An upload waiting for a slow node holds neither the receive cycle nor uploads on other nodes.
TEST_F(ReceiveCycleConcurrencyTest, UploadsOnDifferentNodesDoNotWaitForEachOther) {
  clock().set_wait_grace(10'000'000'000);  // the slow node's answer comes in real time
  EqFct loc("SDO.PARALLEL");
  auto slow = make_node(loc, "SLOW", iiii(1, 5));
  auto quick = make_node(loc, "QUICK", iiii(1, 6));
  ASSERT_EQ(slow->init(0x585), 0);
  ASSERT_EQ(quick->init(0x586), 0);
  sim::VbusNode slow_sim(0, 5, "slow");
  sim::VbusNode quick_sim(0, 6, "quick");
  slow_sim.hold_answers(true);

  int slow_result = -2;
  std::thread waiting([&] { slow_result = slow->get_manufacture(); });
  ASSERT_TRUE(vbus::wait_for_readers(slow->handle(), 1));
  EXPECT_EQ(can_looping(), 0);
  EXPECT_EQ(quick->get_manufacture(), 0);
  EXPECT_EQ(quick->manu_prop()->value(), "quick");
  slow_sim.hold_answers(false);
  waiting.join();
  EXPECT_EQ(slow_result, 0);
  EXPECT_EQ(slow->manu_prop()->value(), "slow");
}

// Two threads on one property: the second transfer waits for the first to end instead of taking
// over its replies, and goes on the bus after its last request.
TEST_F(ReceiveCycleConcurrencyTest, TransfersOfOnePropertyFromTwoThreadsTakeTurns) {
  clock().set_wait_grace(10'000'000'000);  // the held answer comes in real time
  EqFct loc("TURNS.TEST");
  auto prop = make_node(loc, "NODE", iiii(1, 5));
  ASSERT_EQ(prop->init(0x585), 0);
  sim::VbusNode node(0, 5, "three segments of 7 b");
  node.hold_answers(true);
  int first = -2;
  std::thread whole([&] { first = prop->get_manufacture(); });
  ASSERT_TRUE(vbus::wait_for_readers(prop->handle(), 1));
  int second = -2;
  uint8_t hw[8] = {};
  size_t hw_n = 0;
  std::thread other([&] { second = prop->sdo_upload(0x1009, 0, hw, sizeof hw, &hw_n); });
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (SdoAccess::waiting(prop.get()) == 0 && std::chrono::steady_clock::now() < limit) {
    std::this_thread::yield();
  }
  EXPECT_EQ(SdoAccess::waiting(prop.get()), 1);
  node.hold_answers(false);
  whole.join();
  other.join();
  EXPECT_EQ(first, 0);
  EXPECT_EQ(prop->manu_prop()->value(), "three segments of 7 b");
  EXPECT_EQ(second, 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(hw), hw_n), sim::kDefaultHwVersion);
  std::vector<std::string> requests;
  for (const CMSG& m : vbus::sent(0)) {
    if (m.id == 0x605) requests.push_back(frame_text(m));
  }
  ASSERT_EQ(requests.size(), 5u);  // initiate and three segments, then the other's initiate
  EXPECT_EQ(requests.front(), "605#4008100000000000");
  EXPECT_EQ(requests.back(), "605#4009100000000000");
}

}  // namespace
}  // namespace canbus_test
