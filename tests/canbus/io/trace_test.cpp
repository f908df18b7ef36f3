// Observing a line: frame lengths on the wire, the tap on the virtual bus (order, ring, load,
// listeners) and the CANopen reading of frames.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "canlog.h"
#include "canopen_node.h"
#include "support/canbus_fixture.h"

namespace canbus_test {
namespace {

constexpr int kNet = 0;

// "705#05" (can-utils form) as a frame.
CMSG frame_of(const std::string& text) {
  canlog::Record r;
  EXPECT_EQ(canlog::parse_line("(0.000000) can0 " + text, &r), canlog::LineKind::kFrame) << text;
  return r.frame;
}

// Bits worked out by hand from the frame's bit sequence (CRC-15 computed over it).
TEST(FrameBits, CountsStuffBitsOfTheWholeFrame) {
  const struct {
    const char* frame;
    int bits;
  } rows[] = {
      // 34 dominant bits (CRC 0): a stuff bit after every 5th, 6 of them; 34 + 6 + 13.
      {"000#", 53},
      // 15 zeros (3 stuff bits), DLC 1000, 67 zeros (13), CRC 0x145B without a run of 5.
      {"000#0000000000000000", 127},
      {"7FF#FFFFFFFFFFFFFFFF", 126},
      {"555#5555555555555555", 112},  // alternating bits: one stuff bit, in the CRC
      {"705#05", 59},
      {"705#R", 49},
      {"705#R1", 49},  // a remote request's length code is sent, no data
      {"080#", 51},
      {"123#11223344", 80},
  };
  for (const auto& r : rows) EXPECT_EQ(canbus::frame_bits(frame_of(r.frame)), r.bits) << r.frame;
  CMSG long_dlc = frame_of("000#0000000000000000");
  long_dlc.len = 15;  // taken as 8
  EXPECT_EQ(canbus::frame_bits(long_dlc), 127);
  EXPECT_EQ(canbus::bitrate_of_baud_code(NTCAN_BAUD_1000), 1000000);
  EXPECT_EQ(canbus::bitrate_of_baud_code(NTCAN_BAUD_800), 800000);
  EXPECT_EQ(canbus::bitrate_of_baud_code(NTCAN_BAUD_125), 125000);
  EXPECT_EQ(canbus::bitrate_of_baud_code(NTCAN_BAUD_10), 10000);
  EXPECT_EQ(canbus::bitrate_of_baud_code(1), 0);
  EXPECT_EQ(canbus::bitrate_of_baud_code(-1), 0);
}

class TraceTapTest : public CanbusTest {
 protected:
  void SetUp() override {
    CanbusTest::SetUp();
    ASSERT_EQ(canOpen(kNet, 0, 10, 100, 0, 0, &h_), NTCAN_SUCCESS);
  }
  void TearDown() override {
    canClose(h_);
    CanbusTest::TearDown();
  }
  void send(const std::string& text) {
    CMSG m = frame_of(text);
    int32_t n = 1;
    ASSERT_EQ(canSend(h_, &m, &n), NTCAN_SUCCESS);
  }
  static std::vector<std::string> texts(const std::vector<canbus::TraceFrame>& fs) {
    std::vector<std::string> out;
    for (const auto& f : fs) out.push_back(std::to_string(f.seq) + " " + frame_text(f.frame));
    return out;
  }
  NTCAN_HANDLE h_ = NTCAN_NO_HANDLE;
};

TEST_F(TraceTapTest, SeesFramesOfOtherHandlesAndOfNodesInOrder) {
  canbus::LineTap tap;
  ASSERT_TRUE(tap.open({kNet}));
  sim::VbusNode node(kNet, 5);  // boot-up
  send("605#4000100000000000");
  EXPECT_EQ(tap.poll(), 3u);
  EXPECT_EQ(texts(tap.since(0, 10)), (std::vector<std::string>{"1 705#00", "2 605#4000100000000000",
                                                               "3 585#4300100091010F00"}));
  EXPECT_EQ(tap.since(0, 10)[0].t_ns, clock().now_ns());
  EXPECT_EQ(tap.counts().frames, 3u);
  EXPECT_EQ(tap.counts().lost, 0u);
}

TEST_F(TraceTapTest, RingOverwritesTheOldestLeavingAGapInSeq) {
  canbus::LineTap tap;
  canbus::LineTap::Options o;
  o.ring_frames = 4;
  ASSERT_TRUE(tap.open(o));
  for (int i = 0; i < 10; ++i) send("181#0" + std::to_string(i));
  EXPECT_EQ(tap.poll(), 10u);
  EXPECT_EQ(texts(tap.since(0, 100)),
            (std::vector<std::string>{"7 181#06", "8 181#07", "9 181#08", "10 181#09"}));
  EXPECT_EQ(texts(tap.since(8, 1)), std::vector<std::string>{"9 181#08"});
  EXPECT_TRUE(tap.since(10, 5).empty());
  EXPECT_EQ(tap.last_seq(), 10u);
  // The tap's receive queue (4,096 frames at 125 kbit/s) overflows: the driver reports the loss
  // with the next frame that enters it.
  vbus::set_sent_limit(0);
  for (int i = 0; i < 4096 + 7; ++i) send("181#01");
  EXPECT_EQ(tap.poll(), 4096u);
  send("181#02");
  EXPECT_EQ(tap.poll(), 1u);
  EXPECT_EQ(tap.counts().lost, 7u);
}

TEST_F(TraceTapTest, LoadOfAWindowIsItsBitsOverTheLinesBits) {
  canbus::LineTap tap;
  canbus::LineTap::Options o;
  o.bitrate = 125000;
  o.load_window_ns = 1'000'000'000;
  ASSERT_TRUE(tap.open(o));
  const char* mix[] = {"000#0105", "080#", "185#DC05", "605#4008100000000000", "705#R1"};
  uint64_t bits = 0;
  for (const char* m : mix) {
    send(m);
    bits += static_cast<uint64_t>(canbus::frame_bits(frame_of(m)));
  }
  clock().advance(400'000'000);
  EXPECT_EQ(tap.poll(), 5u);
  EXPECT_TRUE(tap.load_history().empty());  // the window is not complete yet
  clock().advance(2'700'000'000);           // 3.1 s: three windows ended, two without frames
  tap.poll();
  const auto h = tap.load_history();
  ASSERT_EQ(h.size(), 3u);
  EXPECT_EQ(h[0].frames, 5u);
  EXPECT_EQ(h[0].bits, bits);
  EXPECT_DOUBLE_EQ(h[0].fraction, static_cast<double>(bits) / 125000.0);
  EXPECT_EQ(h[1].bits, 0u);
  EXPECT_EQ(h[2].start_ns - h[0].start_ns, 2'000'000'000);
  EXPECT_EQ(tap.load().frames, 0u);
  EXPECT_EQ(tap.counts().bits, bits);
}

// Runs with the reading thread; `--gtest_repeat=300` clean.
TEST_F(TraceTapTest, RemovingAListenerWaitsUntilItRunsNoMore) {
  canbus::LineTap tap;
  ASSERT_TRUE(tap.open({kNet}));
  std::atomic<int> calls{0};
  std::atomic<bool> entered{false}, removing{false}, returned{false}, done{false}, late{false};
  const int id = tap.add_listener([&](const canbus::TraceFrame&) {
    ++calls;
    entered = true;
    while (!removing) std::this_thread::yield();
    for (int i = 0; i < 2000; ++i) {
      if (returned) late = true;
      std::this_thread::yield();
    }
    done = true;
  });
  std::atomic<int> others{0};
  tap.add_listener([&](const canbus::TraceFrame&) { ++others; });
  tap.start();
  send("181#01");
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!entered && std::chrono::steady_clock::now() < until) std::this_thread::yield();
  ASSERT_TRUE(entered);
  bool done_at_return = false;
  std::thread remover([&] {
    removing = true;
    tap.remove_listener(id);
    done_at_return = done;
    returned = true;
  });
  remover.join();
  EXPECT_TRUE(done_at_return);
  EXPECT_FALSE(late);
  send("181#02");
  while (others < 2 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
  tap.stop();
  EXPECT_EQ(others, 2);
  EXPECT_EQ(calls, 1);
}

// Frames in, lines out; "flush" ends what is open 2 s after the last frame.
TEST(TraceDecoder, ReadsEachServiceAsOneLine) {
  canbus::TraceDecoder::Names names;
  names.object = [](int, uint16_t index, uint8_t) -> std::string {
    if (index == 0x1008) return "Manufacturer device name";
    return index == 0x1000 ? "Device type" : "";
  };
  names.pdo = [](int, const CMSG& m) -> std::string {
    return m.id == 0x185 ? "CAN.PUMP.SPEED " + std::to_string(m.data[0] | m.data[1] << 8) + " rpm"
                         : "";
  };
  const struct {
    std::vector<std::string> frames;
    std::vector<std::string> lines;
  } rows[] = {
      {{"000#0105", "000#8200", "000#0305"},
       {"NMT start node 5", "NMT reset-communication all", "NMT 03 05"}},
      {{"080#", "080#11"}, {"SYNC", "SYNC counter 17"}},
      {{"100#952CB3025239"}, {"TIME 2024-03-05 12:34:56.789"}},
      {{"08A#1081110000000000", "08A#0000000000000000", "08A#0010010000000102"},
       {"EMCY node 10 0x8110 CAN overrun (objects lost) register 0x11 (generic, communication)",
        "EMCY node 10 error reset",
        "EMCY node 10 0x1000 generic error register 0x01 (generic) vendor 00 00 00 01 02"}},
      {{"185#DC05", "205#0102", "285#R"},
       {"TPDO1 node 5 CAN.PUMP.SPEED 1500 rpm", "RPDO1 node 5 01 02", "TPDO2 node 5 request"}},
      {{"705#00", "705#05", "705#R1", "705#85"},
       {"boot-up node 5", "heartbeat node 5 Operational", "guarding request node 5",
        "guarding node 5 Operational toggle 1"}},
      {{"7E5#0401", "7E5#1105", "7E4#1100"},
       {"LSS switch state global configuration", "LSS configure node-id 5",
        "LSS answer configure node-id ok"}},
      {{"605#4000100000000000", "585#4300100092010200"},
       {"SDO upload node 5 0x1000:00 Device type = 0x00020192"}},
      {{"605#4009100000000000", "585#8009100000000206"},
       {"SDO upload node 5 0x1009:00 abort 0x06020000 Object does not exist in the object "
        "dictionary"}},
      {{"605#4008100000000000", "585#4108100006000000", "605#6000000000000000",
        "585#0350554D502D3300"},
       {"SDO upload node 5 0x1008:00 Manufacturer device name = \"PUMP-3\""}},
      {{"605#2B4060000F000000", "585#6040600000000000"},
       {"SDO download node 5 0x6040:00 = 0x000F"}},
      // Block upload of 10 bytes in two segments, 4 bytes of the last unused.
      {{"605#A008100020000000", "585#C208100A00000000", "605#A300000000000000",
        "585#0130313233343536", "585#8237383900000000", "605#A202200000000000",
        "585#D112340000000000", "605#A100000000000000"},
       {"SDO block upload node 5 0x1008:00 Manufacturer device name = \"0123456789\""}},
      {{"605#210020010A000000", "585#6000200100000000", "605#0041424344454647",
        "585#2000000000000000", "605#1948494A00000000", "585#3000000000000000"},
       {"SDO download node 5 0x2000:01 = \"ABCDEFGHIJ\""}},
      {{"605#C600200103000000", "585#A40020017F000000", "605#8158595A00000000",
        "585#A2017F0000000000", "605#D1ABCD0000000000", "585#A100000000000000"},
       {"SDO block download node 5 0x2000:01 = \"XYZ\""}},
      {{"605#C600200103000000", "585#A40020017F000000", "605#8000000000000405"},
       {"SDO block download node 5 0x2000:01 client abort 0x05040000 SDO protocol timed out"}},
      // Sub-blocks of 2: the second segment is lost, the client acknowledges the first only, and
      // the rest comes again as the next sub-block.
      {{"605#A008100002000000", "585#C208100A00000000", "605#A300000000000000",
        "585#0130313233343536", "605#A201020000000000", "585#8137383900000000",
        "605#A201020000000000", "585#D112340000000000", "605#A100000000000000"},
       {"SDO block upload node 5 0x1008:00 Manufacturer device name = \"0123456789\""}},
      // Transfers of two nodes at once pair by node; a new request ends the one before it.
      {{"605#4000100000000000", "606#4000100000000000", "586#4300100001000000",
        "585#4300100002000000", "605#4000100000000000", "605#4008100000000000",
        "585#8008100000000206"},
       {"SDO upload node 6 0x1000:00 Device type = 0x00000001",
        "SDO upload node 5 0x1000:00 Device type = 0x00000002",
        "SDO upload node 5 0x1000:00 Device type no answer",
        "SDO upload node 5 0x1008:00 Manufacturer device name abort 0x06020000 Object does not "
        "exist in the object dictionary"}},
      {{"605#4018100100000000", "flush"}, {"SDO upload node 5 0x1018:01 no answer"}},
      {{"585#4300100092010200", "123#01", "7FF#R2"},
       {"SDO answer node 5 43 00 10 00 92 01 02 00", "0x123 01", "0x7FF request 2"}},
  };
  for (const auto& r : rows) {
    canbus::TraceDecoder d(names);
    std::vector<canbus::TraceDecoder::Line> out;
    canbus::TraceFrame f;
    for (const auto& text : r.frames) {
      if (text == "flush") {
        d.flush(f.t_ns + 999'999'999, out);
        EXPECT_TRUE(out.empty()) << "flushed early";
        d.flush(f.t_ns + 1'000'000'000, out);
        continue;
      }
      ++f.seq;
      f.t_ns += 1'000'000;
      f.frame = frame_of(text);
      d.feed(f, out);
    }
    std::vector<std::string> lines;
    for (const auto& l : out) lines.push_back(l.text);
    EXPECT_EQ(lines, r.lines) << r.frames.front();
    if (r.frames.size() > 1 && lines.size() == 1) {  // a transfer: all its frames
      EXPECT_EQ(out[0].first_seq, 1u);
      EXPECT_EQ(out[0].last_seq, f.seq);
      EXPECT_EQ(out[0].service, canbus::TraceDecoder::Service::kSdo);
    }
  }
}

TEST(TraceDecoder, CandumpLogIsTheCanToolsFormat) {
  canbus::TraceFrame f;
  f.t_ns = 1'701'955'200'123'456'000;
  f.net = 2;
  f.frame = frame_of("705#05");
  EXPECT_EQ(canbus::candump_log({f}), "(1701955200.123456) can2 705#05\n");
  EXPECT_EQ(canbus::candump_log({f, f}, "vcan0"),
            "(1701955200.123456) vcan0 705#05\n(1701955200.123456) vcan0 705#05\n");
}

}  // namespace
}  // namespace canbus_test
