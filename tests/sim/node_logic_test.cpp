// The simulated node's protocol step function: frames in, answers out, compared in the
// can-utils text form.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "canopen_node.h"
#include "support/frames.h"

namespace {

using canbus_test::frame_text;
using canbus_test::make_frame;
using sim::NodeLogic;

constexpr int kNode = 5;

std::vector<std::string> texts(const std::vector<CMSG>& frames) {
  std::vector<std::string> out;
  for (const CMSG& m : frames) out.push_back(frame_text(m));
  return out;
}

CMSG nmt(uint8_t cmd, uint8_t node) {
  return make_frame(0, {cmd, node});
}

CMSG guard_request(int node = kNode) {
  CMSG m{};
  m.id = 0x700 + node;
  m.len = NTCAN_RTR;
  return m;
}

// An SDO request of eight bytes to node kNode.
CMSG sdo(uint8_t b0, uint16_t index = 0, uint8_t sub = 0, std::vector<uint8_t> rest = {}) {
  CMSG m{};
  m.id = 0x600 + kNode;
  m.len = 8;
  m.data[0] = b0;
  m.data[1] = static_cast<uint8_t>(index & 0xFF);
  m.data[2] = static_cast<uint8_t>(index >> 8);
  m.data[3] = sub;
  for (size_t i = 0; i < rest.size() && i < 4; ++i) m.data[4 + i] = rest[i];
  return m;
}

CMSG upload(uint16_t index, uint8_t sub = 0) {
  return sdo(0x40, index, sub);
}
CMSG segment(int toggle) {
  return sdo(toggle ? 0x70 : 0x60);
}

// A node that has sent its boot-up message.
struct Booted {
  NodeLogic node{kNode};
  Booted() { node.boot(); }
  std::vector<std::string> in(const CMSG& m) { return texts(node.on_frame(m)); }
};

using Texts = std::vector<std::string>;

// --- boot and NMT ---------------------------------------------------------------------------

TEST(SimNodeBoot, SendsBootUpAndEntersPreOperational) {
  NodeLogic node(kNode);
  EXPECT_EQ(texts(node.boot()), Texts{"705#00"});
  EXPECT_EQ(node.state(), sim::kPreOperational);
  NodeLogic last(127);
  EXPECT_EQ(texts(last.boot()), Texts{"77F#00"});
}

TEST(SimNodeBoot, RefusesNodeIdsOutsideCanopenRange) {
  for (int id : {0, -1, 128, 300}) {
    EXPECT_THROW(NodeLogic{id}, std::invalid_argument) << id;
  }
}

struct NmtCase {
  const char* name;
  std::vector<CMSG> before;  // frames given first, answers not looked at
  CMSG frame;
  Texts answer;
  uint8_t state;
  int counted;  // NMT commands counted after `frame`
};

class SimNodeNmt : public ::testing::TestWithParam<NmtCase> {};

TEST_P(SimNodeNmt, FollowsCommand) {
  const NmtCase& c = GetParam();
  Booted b;
  for (const CMSG& m : c.before) b.node.on_frame(m);
  EXPECT_EQ(b.in(c.frame), c.answer);
  EXPECT_EQ(b.node.state(), c.state);
  EXPECT_EQ(b.node.nmt_commands(), c.counted);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SimNodeNmt,
    ::testing::Values(
        NmtCase{"StartOwnId", {}, nmt(0x01, kNode), {}, sim::kOperational, 1},
        NmtCase{"StartAllNodes", {}, nmt(0x01, 0), {}, sim::kOperational, 1},
        NmtCase{"StartOtherIdIgnored", {}, nmt(0x01, kNode + 1), {}, sim::kPreOperational, 0},
        NmtCase{"Stop", {}, nmt(0x02, kNode), {}, sim::kStopped, 1},
        NmtCase{"StopAllNodes", {nmt(0x01, 0)}, nmt(0x02, 0), {}, sim::kStopped, 2},
        NmtCase{"StopOtherIdIgnored", {nmt(0x01, 0)}, nmt(0x02, 6), {}, sim::kOperational, 1},
        NmtCase{
            "EnterPreOperational", {nmt(0x01, 0)}, nmt(0x80, kNode), {}, sim::kPreOperational, 2},
        NmtCase{"StartFromStopped", {nmt(0x02, 0)}, nmt(0x01, kNode), {}, sim::kOperational, 2},
        NmtCase{"ResetNodeBootsAgain",
                {nmt(0x01, 0)},
                nmt(0x81, kNode),
                {"705#00"},
                sim::kPreOperational,
                2},
        NmtCase{"ResetNodeAll", {nmt(0x02, 0)}, nmt(0x81, 0), {"705#00"}, sim::kPreOperational, 2},
        NmtCase{"ResetCommunicationBootsAgain",
                {nmt(0x01, 0)},
                nmt(0x82, kNode),
                {"705#00"},
                sim::kPreOperational,
                2},
        NmtCase{"ResetOtherIdIgnored", {nmt(0x01, 0)}, nmt(0x81, 4), {}, sim::kOperational, 1},
        NmtCase{
            "UnknownCommandIgnored", {nmt(0x01, 0)}, nmt(0x03, kNode), {}, sim::kOperational, 2},
        NmtCase{"LengthOneIgnored", {}, make_frame(0, {0x01}), {}, sim::kPreOperational, 0},
        NmtCase{"LengthThreeIgnored",
                {},
                make_frame(0, {0x01, kNode, 0}),
                {},
                sim::kPreOperational,
                0}),
    [](const auto& info) { return std::string(info.param.name); });

// --- node guarding and heartbeat ------------------------------------------------------------

TEST(SimNodeGuarding, RepliesStateWithAlternatingToggle) {
  Booted b;
  EXPECT_EQ(b.in(guard_request()), Texts{"705#7F"});
  EXPECT_EQ(b.in(guard_request()), Texts{"705#FF"});
  b.node.on_frame(nmt(0x01, kNode));
  EXPECT_EQ(b.in(guard_request()), Texts{"705#05"});
  EXPECT_EQ(b.in(guard_request()), Texts{"705#85"});
  b.node.on_frame(nmt(0x02, kNode));
  EXPECT_EQ(b.in(guard_request()), Texts{"705#04"});  // a stopped node is still guarded
  EXPECT_EQ(b.node.guarding_requests(), 5);
}

TEST(SimNodeGuarding, ToggleStartsAtZeroAfterEveryReset) {
  for (uint8_t reset : {sim::kNmtResetNode, sim::kNmtResetCommunication}) {
    Booted b;
    EXPECT_EQ(b.in(guard_request()), Texts{"705#7F"});
    EXPECT_EQ(b.in(nmt(reset, kNode)), Texts{"705#00"});
    EXPECT_EQ(b.in(guard_request()), Texts{"705#7F"}) << int{reset};
  }
}

TEST(SimNodeGuarding, PassesOverOtherFramesOnItsIdentifier) {
  Booted b;
  EXPECT_EQ(b.in(make_frame(0x705, {0x7F})), Texts{});  // a data frame is no request
  EXPECT_EQ(b.in(guard_request(kNode + 1)), Texts{});
  EXPECT_EQ(b.node.guarding_requests(), 0);
  EXPECT_EQ(b.in(guard_request()), Texts{"705#7F"});  // toggle untouched by the above
}

TEST(SimNodeGuarding, HeartbeatModeAnswersNoRequestButGivesHeartbeats) {
  Booted b;
  b.node.set_heartbeat_mode(true);
  EXPECT_EQ(b.in(guard_request()), Texts{});
  EXPECT_EQ(b.node.guarding_requests(), 1);
  EXPECT_EQ(frame_text(b.node.heartbeat()), "705#7F");
  b.node.on_frame(nmt(0x01, 0));
  EXPECT_EQ(frame_text(b.node.heartbeat()), "705#05");
  EXPECT_EQ(frame_text(b.node.heartbeat()), "705#05");  // heartbeats carry no toggle
  b.node.set_heartbeat_mode(false);
  EXPECT_EQ(b.in(guard_request()), Texts{"705#05"});
}

// --- SDO upload -----------------------------------------------------------------------------

struct ExpeditedCase {
  std::string value;
  std::string answer;
};

class SimNodeSdoExpedited : public ::testing::TestWithParam<ExpeditedCase> {};

TEST_P(SimNodeSdoExpedited, AnswersWithSizeInCommandByte) {
  Booted b;
  b.node.set_object(0x2000, 3, GetParam().value);
  EXPECT_EQ(b.in(upload(0x2000, 3)), Texts{GetParam().answer});
  EXPECT_EQ(b.in(segment(0)), Texts{"585#8000200301000405"});  // nothing runs afterwards
}

INSTANTIATE_TEST_SUITE_P(Sizes, SimNodeSdoExpedited,
                         ::testing::Values(ExpeditedCase{"A", "585#4F00200341000000"},
                                           ExpeditedCase{"AB", "585#4B00200341420000"},
                                           ExpeditedCase{"ABC", "585#4700200341424300"},
                                           ExpeditedCase{"ABCD", "585#4300200341424344"},
                                           ExpeditedCase{std::string("\0\xFF", 2),
                                                         "585#4B00200300FF0000"}));

TEST(SimNodeSdoUpload, DefaultIdentity) {
  Booted b;
  EXPECT_EQ(b.in(upload(0x1000)), Texts{"585#4300100091010F00"});
  EXPECT_EQ(b.in(upload(0x1018, 1)), Texts{"585#43181001BC0A0000"});
  EXPECT_EQ(b.in(upload(0x1009)), Texts{"585#43091000312E3030"});  // "1.00"
  EXPECT_EQ(b.in(upload(0x1008)), Texts{"585#4108100008000000"});  // "sim node", segmented
  EXPECT_EQ(b.node.sdo_requests(), 4);
}

TEST(SimNodeSdoUpload, IdentityFromConstructorWhenGiven) {
  NodeLogic node(kNode, "XY", "", "9");
  EXPECT_EQ(node.object(0x1008, 0), "XY");
  EXPECT_EQ(node.object(0x1009, 0), sim::kDefaultHwVersion);
  EXPECT_EQ(node.object(0x100A, 0), "9");
}

TEST(SimNodeSdoUpload, TenBytesInTwoSegmentsWithToggles) {
  Booted b;
  b.node.set_object(0x1008, 0, "ABCDEFGHIJ");
  EXPECT_EQ(b.in(upload(0x1008)), Texts{"585#410810000A000000"});
  EXPECT_EQ(b.in(segment(0)), Texts{"585#0041424344454647"});
  EXPECT_EQ(b.in(segment(1)), Texts{"585#1948494A00000000"});
  EXPECT_EQ(b.in(segment(0)), Texts{"585#8008100001000405"});  // upload is over
}

TEST(SimNodeSdoUpload, HundredBytesSegmentByToggle) {
  Booted b;
  std::string value;
  for (int i = 0; i < 100; ++i) value.push_back(static_cast<char>(i * 7 + 1));
  b.node.set_object(0x100A, 0, value);
  EXPECT_EQ(b.in(upload(0x100A)), Texts{"585#410A100064000000"});
  std::string got;
  for (int seg = 0; seg < 15; ++seg) {
    const int toggle = seg % 2;
    std::vector<CMSG> out = b.node.on_frame(segment(toggle));
    ASSERT_EQ(out.size(), 1u) << seg;
    const CMSG& r = out[0];
    EXPECT_EQ(r.id, 0x585);
    EXPECT_EQ(r.len, 8);
    const bool last = seg == 14;
    const int n = last ? 2 : 7;  // 14 * 7 + 2
    EXPECT_EQ(r.data[0], (toggle << 4) | ((7 - n) << 1) | (last ? 1 : 0)) << seg;
    got.append(reinterpret_cast<const char*>(r.data + 1), static_cast<size_t>(n));
    for (int i = 1 + n; i < 8; ++i) EXPECT_EQ(r.data[i], 0) << seg << " byte " << i;
  }
  EXPECT_EQ(got, value);
}

TEST(SimNodeSdoUpload, ZeroBytesAsOneEmptyLastSegment) {
  Booted b;
  b.node.set_object(0x2001, 0, "");
  EXPECT_EQ(b.in(upload(0x2001)), Texts{"585#4101200000000000"});
  EXPECT_EQ(b.in(segment(0)), Texts{"585#0F00000000000000"});
}

TEST(SimNodeSdoUpload, MissingObjectAborted) {
  Booted b;
  EXPECT_EQ(b.in(upload(0x2000, 7)), Texts{"585#8000200700000206"});
  b.node.remove_object(0x1008, 0);
  EXPECT_EQ(b.in(upload(0x1008)), Texts{"585#8008100000000206"});
}

TEST(SimNodeSdoUpload, WrongToggleInRequestAborted) {
  Booted b;
  b.node.set_object(0x1008, 0, "ABCDEFGHIJKLMNOPQRSTU");
  b.in(upload(0x1008));
  EXPECT_EQ(b.in(segment(0)), Texts{"585#0041424344454647"});
  EXPECT_EQ(b.in(segment(0)), Texts{"585#8008100000000305"});  // repeated toggle 0
  EXPECT_EQ(b.in(segment(1)), Texts{"585#8008100001000405"});  // aborted upload is gone
}

TEST(SimNodeSdoUpload, SegmentWithoutUploadAborted) {
  Booted b;
  EXPECT_EQ(b.in(segment(0)), Texts{"585#8000000001000405"});
}

TEST(SimNodeSdoUpload, NewInitiateReplacesRunningUpload) {
  Booted b;
  b.node.set_object(0x1008, 0, "ABCDEFGHIJ");
  b.in(upload(0x1008));
  b.in(segment(0));
  EXPECT_EQ(b.in(upload(0x1008)), Texts{"585#410810000A000000"});
  EXPECT_EQ(b.in(segment(0)), Texts{"585#0041424344454647"});
}

TEST(SimNodeSdoUpload, ClientAbortEndsUploadWithoutAnswer) {
  Booted b;
  b.node.set_object(0x1008, 0, "ABCDEFGHIJ");
  b.in(upload(0x1008));
  EXPECT_EQ(b.in(sdo(0x80, 0x1008, 0, {0, 0, 0, 0x08})), Texts{});
  EXPECT_EQ(b.in(segment(0)), Texts{"585#8008100001000405"});
}

TEST(SimNodeSdoUpload, UnsupportedCommandSpecifierAborted) {
  Booted b;
  EXPECT_EQ(b.in(sdo(0xE0, 0x1008, 0)), Texts{"585#8008100001000405"});  // specifier 7
}

TEST(SimNodeSdoUpload, PassesOverOtherNodesAndMalformedRequests) {
  Booted b;
  CMSG other = upload(0x1008);
  other.id = 0x606;
  EXPECT_EQ(b.in(other), Texts{});
  CMSG short_frame = upload(0x1008);
  short_frame.len = 4;
  EXPECT_EQ(b.in(short_frame), Texts{});
  CMSG remote = upload(0x1008);
  remote.len = NTCAN_RTR | 8;
  EXPECT_EQ(b.in(remote), Texts{});
  EXPECT_EQ(b.node.sdo_requests(), 0);
}

TEST(SimNodeSdoUpload, StoppedNodeServesNoSdoAndDropsItsTransfer) {
  Booted b;
  b.node.set_object(0x1008, 0, "ABCDEFGHIJ");
  b.in(upload(0x1008));
  b.node.on_frame(nmt(0x02, kNode));
  EXPECT_EQ(b.in(segment(0)), Texts{});
  EXPECT_EQ(b.in(upload(0x1009)), Texts{});
  b.node.on_frame(nmt(0x80, kNode));
  EXPECT_EQ(b.in(segment(0)), Texts{"585#8008100001000405"});
  EXPECT_EQ(b.node.sdo_requests(), 4);
}

// --- fault injection ------------------------------------------------------------------------

TEST(SimNodeFaults, WrongToggleRepeatsFirstResponseToggle) {
  Booted b;
  b.node.set_object(0x1008, 0, std::string(20, 'x'));
  b.node.set_wrong_toggle(true);
  b.in(upload(0x1008));
  EXPECT_EQ(b.in(segment(0)), Texts{"585#0078787878787878"});
  EXPECT_EQ(b.in(segment(1)), Texts{"585#0078787878787878"});  // toggle 0 again
  EXPECT_EQ(b.in(segment(0)), Texts{"585#0378787878787800"});  // last, 6 bytes
}

TEST(SimNodeFaults, AbortNextUploadAnswersOneRequest) {
  Booted b;
  b.node.abort_next_upload(0x08000020);
  EXPECT_EQ(b.in(upload(0x1009)), Texts{"585#8009100020000008"});
  EXPECT_EQ(b.in(upload(0x1009)), Texts{"585#43091000312E3030"});
}

TEST(SimNodeFaults, AbortNextUploadHitsRunningSegmentedUpload) {
  Booted b;
  b.node.set_object(0x1008, 0, "ABCDEFGHIJ");
  b.in(upload(0x1008));
  b.node.abort_next_upload(0x05040000);
  EXPECT_EQ(b.in(segment(0)), Texts{"585#8008100000000405"});
  EXPECT_EQ(b.in(segment(1)), Texts{"585#8008100001000405"});
}

TEST(SimNodeFaults, SilentNodeAnswersAndChangesNothing) {
  Booted b;
  b.node.set_silent(true);
  EXPECT_EQ(b.in(guard_request()), Texts{});
  EXPECT_EQ(b.in(upload(0x1009)), Texts{});
  EXPECT_EQ(b.in(nmt(0x81, kNode)), Texts{});
  EXPECT_EQ(b.in(nmt(0x01, kNode)), Texts{});
  EXPECT_EQ(b.node.state(), sim::kPreOperational);
  EXPECT_EQ(b.node.guarding_requests(), 1);  // seen, not answered
  EXPECT_EQ(b.node.sdo_requests(), 1);
  b.node.set_silent(false);
  EXPECT_EQ(b.in(guard_request()), Texts{"705#7F"});
}

// --- SDO download and reset of the dictionary ------------------------------------------------

TEST(SimNodeSdoDownload, ExpeditedWritesRunningValue) {
  Booted b;
  EXPECT_EQ(b.in(sdo(0x2B, 0x1017, 0, {0xE8, 0x03})), Texts{"585#6017100000000000"});
  EXPECT_EQ(b.node.object(0x1017, 0), std::string("\xE8\x03", 2));
  EXPECT_EQ(b.in(upload(0x1017)), Texts{"585#4B171000E8030000"});
  EXPECT_EQ(b.in(sdo(0x2F, 0x3000, 0, {1})), Texts{"585#8000300000000206"});
}

TEST(SimNodeSdoDownload, SegmentedWithTogglesAndSizeCheck) {
  Booted b;
  EXPECT_EQ(b.in(sdo(0x21, sim::kManufacturerText, 0, {10, 0, 0, 0})),
            Texts{"585#6002210000000000"});
  CMSG s0 = make_frame(0x605, {0x00, 'A', 'B', 'C', 'D', 'E', 'F', 'G'});
  CMSG s1 = make_frame(0x605, {0x19, 'H', 'I', 'J', 0, 0, 0, 0});
  EXPECT_EQ(b.in(s0), Texts{"585#2000000000000000"});
  EXPECT_EQ(b.in(s1), Texts{"585#3000000000000000"});
  EXPECT_EQ(b.node.object(sim::kManufacturerText, 0), "ABCDEFGHIJ");

  EXPECT_EQ(b.in(sdo(0x21, sim::kManufacturerText, 0, {11, 0, 0, 0})),
            Texts{"585#6002210000000000"});
  b.in(s0);
  EXPECT_EQ(b.in(s1), Texts{"585#8002210010000706"});  // 10 bytes came, 11 announced
  EXPECT_EQ(b.node.object(sim::kManufacturerText, 0), "ABCDEFGHIJ");

  b.in(sdo(0x21, sim::kManufacturerText, 0, {10, 0, 0, 0}));
  EXPECT_EQ(b.in(s1), Texts{"585#8002210000000305"});  // toggle 1 first
}

TEST(SimNodeSdoDownload, ResetNodeRestoresConfiguredValuesResetCommunicationKeepsThem) {
  Booted b;
  b.node.set_object(0x2000, 0, "cfg");
  b.in(sdo(0x2F, 0x2000, 0, {'x'}));
  b.in(sdo(0x2F, 0x1001, 0, {0x11}));
  b.node.on_frame(nmt(0x82, kNode));
  EXPECT_EQ(b.node.object(0x2000, 0), "x");
  b.node.on_frame(nmt(0x81, kNode));
  EXPECT_EQ(b.node.object(0x2000, 0), "cfg");
  EXPECT_EQ(b.node.object(0x1001, 0), std::string(1, '\0'));
}

// Program area and configuration store: what a device refuses, frame by frame.
TEST(SimNodeSdoDownload, ProgramAreaAndStoreRefuseWhatADeviceRefuses) {
  Booted b;
  b.node.enable_program_area(0x11111111);
  b.node.enable_config_store(true);
  const Texts ok51{"585#60511F0100000000"};
  EXPECT_EQ(b.in(upload(0x1F50, 1)), Texts{"585#80501F0101000106"});          // write-only
  EXPECT_EQ(b.in(sdo(0x2F, 0x1F51, 1, {3})), Texts{"585#80511F0122000008"});  // clear, running
  EXPECT_EQ(b.in(sdo(0x2F, 0x1F50, 1, {0xAA})), Texts{"585#60501F0100000000"});
  EXPECT_EQ(b.in(upload(0x1F57, 1)), Texts{"585#43571F0108000000"});  // error 4: not cleared
  EXPECT_EQ(b.in(sdo(0x2F, 0x1F51, 1, {0})), ok51);                   // stop
  EXPECT_EQ(b.in(sdo(0x2F, 0x1F51, 1, {3})), ok51);                   // clear
  EXPECT_EQ(b.in(upload(0x1F51, 1)), Texts{"585#4F511F0100000000"});  // not running
  EXPECT_EQ(b.in(sdo(0x2F, 0x1F51, 1, {1})), Texts{"585#80511F0122000008"});  // no program
  EXPECT_EQ(b.in(upload(0x1F57, 1)), Texts{"585#43571F0102000000"});          // error 1
  EXPECT_EQ(b.in(sdo(0x2F, 0x1F51, 1, {9})), Texts{"585#80511F0130000906"});
  // A node whose flash holds no program boots without one.
  b.node.on_frame(nmt(0x81, kNode));
  EXPECT_EQ(b.in(upload(0x1F56, 1)), Texts{"585#43561F0100000000"});
  // Store parameters takes "save" only; the concise DCF is write-only at the node's id.
  EXPECT_EQ(b.in(sdo(0x23, 0x1010, 1, {'l', 'o', 'a', 'd'})), Texts{"585#8010100120000008"});
  EXPECT_EQ(b.in(sdo(0x23, 0x1010, 1, {'s', 'a', 'v', 'e'})), Texts{"585#6010100100000000"});
  EXPECT_EQ(b.in(upload(0x1010, 1)), Texts{"585#4310100101000000"});
  EXPECT_EQ(b.in(upload(0x1F22, kNode)), Texts{"585#80221F0501000106"});
  EXPECT_EQ(b.in(upload(0x1F22, 6)), Texts{"585#80221F0600000206"});
}

// Saved configuration and flash: an unsaved write outlives reset communication only; what
// "save" stored and the program in the flash outlive reset node and power cycle.
TEST(SimNodeSdoDownload, StoredConfigurationAndProgramOutliveResetsAndPowerCycles) {
  Booted b;
  b.node.enable_config_store(true);
  b.node.enable_program_area(0x11111111);
  b.node.set_object(0x2000, 0, "c");
  const Texts ok20{"585#6000200000000000"};
  EXPECT_EQ(b.in(sdo(0x2F, 0x2000, 0, {'x'})), ok20);
  b.in(sdo(0x23, 0x1020, 1, {7, 0, 0, 0}));
  EXPECT_EQ(b.in(sdo(0x23, 0x1010, 1, {'s', 'a', 'v', 'e'})), Texts{"585#6010100100000000"});
  EXPECT_EQ(b.in(sdo(0x2F, 0x2000, 0, {'y'})), ok20);  // not saved
  // A new program: stop, clear, one byte, start (the node restarts into it).
  b.in(sdo(0x2F, 0x1F51, 1, {0}));
  b.in(sdo(0x2F, 0x1F51, 1, {3}));
  b.in(sdo(0x2F, 0x1F50, 1, {'A'}));
  EXPECT_EQ(b.in(sdo(0x2F, 0x1F51, 1, {1})), (Texts{"585#60511F0100000000", "705#00"}));
  const std::string crc_a("\x8B\x9E\xD9\xD3", 4);  // CRC-32 of "A"
  EXPECT_EQ(b.node.object(0x1F56, 1), crc_a);
  EXPECT_EQ(b.node.object(0x2000, 0), "x");  // the restart is a reset node
  b.in(sdo(0x2F, 0x2000, 0, {'y'}));
  b.node.on_frame(nmt(0x82, kNode));
  EXPECT_EQ(b.node.object(0x2000, 0), "y");
  b.node.on_frame(nmt(0x81, kNode));
  EXPECT_EQ(b.node.object(0x2000, 0), "x");
  EXPECT_EQ(b.node.object(0x1020, 1), std::string("\x07\x00\x00\x00", 4));
  EXPECT_EQ(b.node.object(0x1F56, 1), crc_a);
  // Stopped, the program starts again at the next power-up.
  b.in(sdo(0x2F, 0x1F51, 1, {0}));
  EXPECT_EQ(b.node.object(0x1F51, 1), std::string(1, '\0'));
  EXPECT_EQ(texts(b.node.power_cycle()), Texts{"705#00"});
  EXPECT_EQ(b.node.object(0x2000, 0), "x");
  EXPECT_EQ(b.node.object(0x1020, 1), std::string("\x07\x00\x00\x00", 4));
  EXPECT_EQ(b.node.object(0x1F56, 1), crc_a);
  EXPECT_EQ(b.node.object(0x1F51, 1), std::string(1, '\1'));
}

// Faults switched on and off again: the node behaves as before.
TEST(SimNodeSdoDownload, ProgramFaultsSwitchedOffAgain) {
  Booted b;
  b.node.enable_program_area(0x11111111);
  const Texts ok51{"585#60511F0100000000"};
  const Texts refused51{"585#80511F0122000008"};
  EXPECT_EQ(b.in(sdo(0x2F, 0x1F51, 1, {0})), ok51);
  b.node.refuse_program_clear(true);
  EXPECT_EQ(b.in(sdo(0x2F, 0x1F51, 1, {3})), refused51);
  b.node.refuse_program_clear(false);
  b.node.set_flash_busy(2);
  EXPECT_EQ(b.in(sdo(0x2F, 0x1F51, 1, {3})), ok51);
  EXPECT_EQ(b.in(upload(0x1F57, 1)), Texts{"585#43571F0101000000"});            // busy
  EXPECT_EQ(b.in(sdo(0x2F, 0x1F50, 1, {'A'})), Texts{"585#80501F0122000008"});  // while busy
  EXPECT_EQ(b.in(upload(0x1F57, 1)), Texts{"585#43571F0101000000"});
  EXPECT_EQ(b.in(upload(0x1F57, 1)), Texts{"585#43571F0100000000"});  // done
  b.node.set_flash_busy(0);
  b.node.set_program_crc_error(true);
  EXPECT_EQ(b.in(sdo(0x2F, 0x1F50, 1, {'A'})), Texts{"585#60501F0100000000"});
  EXPECT_EQ(b.in(upload(0x1F57, 1)), Texts{"585#43571F0106000000"});  // error 3, not busy
  EXPECT_EQ(b.in(sdo(0x2F, 0x1F51, 1, {1})), refused51);              // no valid program
  b.node.set_program_crc_error(false);
  EXPECT_EQ(b.in(sdo(0x2F, 0x1F51, 1, {3})), ok51);
  EXPECT_EQ(b.in(sdo(0x2F, 0x1F50, 1, {'A'})), Texts{"585#60501F0100000000"});
  EXPECT_EQ(b.in(upload(0x1F57, 1)), Texts{"585#43571F0100000000"});
  b.node.hang_on_program_start(true);
  b.node.hang_on_program_start(false);
  EXPECT_EQ(b.in(sdo(0x2F, 0x1F51, 1, {1})), (Texts{"585#60511F0100000000", "705#00"}));
  EXPECT_FALSE(b.node.silent());
}

// --- SDO block transfer ----------------------------------------------------------------------

// "123456789" has the CRC-16/CCITT (initial value 0) 0x31C3: 9 bytes are two segments, the
// last with 5 bytes unused (end 0xC1 | 5 << 2).
const std::string kNine = "123456789";

struct BlockStep {
  CMSG in;
  Texts out;
};
struct BlockCase {
  const char* name;
  std::string value;  // of 0x2200/0 before the steps
  void (*setup)(NodeLogic&);
  std::vector<BlockStep> steps;
  std::string after;  // 0x2200/0 after the steps
};

class SimNodeSdoBlock : public ::testing::TestWithParam<BlockCase> {};

TEST_P(SimNodeSdoBlock, Exchange) {
  const BlockCase& c = GetParam();
  Booted b;
  b.node.set_object(0x2200, 0, c.value);
  if (c.setup != nullptr) c.setup(b.node);
  for (size_t i = 0; i < c.steps.size(); ++i) {
    EXPECT_EQ(b.in(c.steps[i].in), c.steps[i].out) << "step " << i;
  }
  EXPECT_EQ(b.node.object(0x2200, 0), c.after);
}

// A frame of eight bytes to node kNode with these first bytes, for segments and block requests
// without multiplexer.
CMSG seg(std::vector<uint8_t> bytes) {
  CMSG m = sdo(0);
  std::copy_n(bytes.begin(), std::min<size_t>(bytes.size(), 8), m.data);
  return m;
}

INSTANTIATE_TEST_SUITE_P(Table, SimNodeSdoBlock,
                         ::testing::
                             Values(
                                 BlockCase{
                                     "UploadAckBeyondTheSubBlock",
                                     kNine,
                                     nullptr,
                                     {{sdo(0xA4, 0x2200, 0, {2, 0}), {"585#C600220009000000"}},
                                      {sdo(0xA3), {"585#0131323334353637", "585#8238390000000000"}},
                                      {seg({0xA2, 3, 2}), {"585#8000220003000405"}}},
                                     kNine},
                                 BlockCase{
                                     "UploadEndAndNothingAfter",
                                     kNine,
                                     nullptr,
                                     {{sdo(0xA4, 0x2200, 0, {2, 0}), {"585#C600220009000000"}},
                                      {sdo(0xA3), {"585#0131323334353637", "585#8238390000000000"}},
                                      {seg({0xA2, 2, 2}), {"585#D5C3310000000000"}},
                                      {sdo(0xA1), {}},
                                      {sdo(0x60), {"585#8000220001000405"}}},
                                     kNine},
                                 BlockCase{
                                     "UploadResendsAfterTheAcknowledgedSegment",
                                     std::string(22, 'x'),
                                     nullptr,
                                     {{sdo(0xA0, 0x2200, 0, {2, 0}), {"585#C600220016000000"}},
                                      {sdo(0xA3), {"585#0178787878787878", "585#0278787878787878"}},
                                      {seg({0xA2, 1, 3}),
                                       {"585#0178787878787878", "585#0278787878787878",
                                        "585#8378000000000000"}},
                                      {seg({0xA2, 3, 3}), {"585#D900000000000000"}}},
                                     std::string(22, 'x')},
                                 BlockCase{
                                     "UploadLosesASegmentOnce",
                                     std::string(22, 'x'),
                                     [](NodeLogic& n) { n.drop_block_segment(2); },
                                     {{sdo(0xA0, 0x2200, 0, {4, 0}), {"585#C600220016000000"}},
                                      {sdo(0xA3),
                                       {"585#0178787878787878", "585#0378787878787878",
                                        "585#8478000000000000"}},
                                      {seg({0xA2, 1, 4}),
                                       {"585#0178787878787878", "585#0278787878787878",
                                        "585#8378000000000000"}}},
                                     std::string(22, 'x')},
                                 BlockCase{
                                     "UploadWrongCrcWhenCorrupted",
                                     kNine,
                                     [](NodeLogic& n) { n.corrupt_next_block_crc(); },
                                     {{sdo(0xA4, 0x2200, 0, {2, 0}), {"585#C600220009000000"}},
                                      {sdo(0xA3), {"585#0131323334353637", "585#8238390000000000"}},
                                      {seg({0xA2, 2, 2}), {"585#D5996B0000000000"}}},
                                     kNine},
                                 BlockCase{
                                     "UploadSwitchesProtocolAtOrBelowThreshold",
                                     "ABCD",
                                     nullptr,
                                     {{sdo(0xA4, 0x2200, 0, {127, 4}), {"585#4300220041424344"}},
                                      {sdo(0xA4, 0x2200, 0, {127, 3}), {"585#C600220004000000"}}},
                                     "ABCD"},
                                 BlockCase{
                                     "UploadInvalidBlockSize",
                                     kNine,
                                     nullptr,
                                     {{sdo(0xA4, 0x2200, 0, {0, 0}), {"585#8000220002000405"}},
                                      {sdo(0xA4, 0x2200, 0, {128, 0}), {"585#8000220002000405"}}},
                                     kNine},
                                 BlockCase{
                                     "UploadUnknownObject",
                                     kNine,
                                     nullptr,
                                     {{sdo(0xA4, 0x2201, 0, {8, 0}), {"585#8001220000000206"}}},
                                     kNine},
                                 BlockCase{
                                     "BlockTransferSwitchedOff",
                                     kNine,
                                     [](NodeLogic& n) { n.set_block_transfer(false); },
                                     {{sdo(0xA4, 0x2200, 0, {8, 0}), {"585#8000220001000405"}},
                                      {sdo(0xC6, 0x2200, 0, {9, 0, 0, 0}),
                                       {"585#8000220001000405"}}},
                                     kNine},
                                 BlockCase{"DownloadWithCrc",
                                           "",
                                           nullptr,
                                           {{sdo(0xC6, 0x2200, 0, {9, 0, 0, 0}),
                                             {"585#A40022007F000000"}},
                                            {seg({0x01, '1', '2', '3', '4', '5', '6', '7'}), {}},
                                            {seg({0x82, '8', '9'}), {"585#A2027F0000000000"}},
                                            {seg({0xD5, 0xC3, 0x31}), {"585#A100000000000000"}}},
                                           kNine},
                                 BlockCase{
                                     "DownloadWrongCrcAborted",
                                     "",
                                     nullptr,
                                     {{sdo(0xC6, 0x2200, 0, {9, 0, 0, 0}),
                                       {"585#A40022007F000000"}},
                                      {seg({0x01, '1', '2', '3', '4', '5', '6', '7'}), {}},
                                      {seg({0x82, '8', '9'}), {"585#A2027F0000000000"}},
                                      {seg({0xD5, 0xC3, 0x32}), {"585#8000220004000405"}}},
                                     ""},
                                 BlockCase{"DownloadAcknowledgesTheLastInOrder",
                                           "",
                                           [](NodeLogic& n) {
                                             n.set_block_size(2);
                                             n.drop_block_segment(1);
                                           },
                                           {{sdo(0xC2, 0x2200, 0, {9, 0, 0, 0}),
                                             {"585#A400220002000000"}},
                                            {seg({0x01, '1', '2', '3', '4', '5', '6', '7'}),
                                             {}},  // lost
                                            {seg({0x82, '8', '9'}), {"585#A200020000000000"}},
                                            {seg({0x01, '1', '2', '3', '4', '5', '6', '7'}), {}},
                                            {seg({0x82, '8', '9'}), {"585#A202020000000000"}},
                                            {seg({0xD5}), {"585#A100000000000000"}}},
                                           kNine},
                                 BlockCase{"DownloadSizeOtherThanAnnounced",
                                           "",
                                           nullptr,
                                           {{sdo(0xC2, 0x2200, 0, {8, 0, 0, 0}),
                                             {"585#A40022007F000000"}},
                                            {seg({0x01, '1', '2', '3', '4', '5', '6', '7'}), {}},
                                            {seg({0x82, '8', '9'}), {"585#A2027F0000000000"}},
                                            {seg({0xD5}), {"585#8000220010000706"}}},
                                           ""},
                                 BlockCase{"DownloadReadOnlyRefusedAtOnce",
                                           "",
                                           [](NodeLogic& n) { n.set_access(0x2200, 0, false); },
                                           {{sdo(0xC6, 0x2200, 0, {9, 0, 0, 0}),
                                             {"585#8000220002000106"}}},
                                           ""},
                                 BlockCase{"ClientAbortEndsDownload",
                                           "",
                                           nullptr,
                                           {{sdo(0xC6, 0x2200, 0, {9, 0, 0, 0}),
                                             {"585#A40022007F000000"}},
                                            {sdo(0x80, 0x2200, 0, {0, 0, 4, 5}), {}},
                                            {seg({0xD5}), {"585#8000220001000405"}}},
                                           ""}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SimNodeSdoBlock, PatternValue) {
  const std::string v = sim::pattern_value(600);
  EXPECT_EQ(v[0], 0);
  EXPECT_EQ(static_cast<uint8_t>(v[250]), 250);
  EXPECT_EQ(v[251], 0);
}

// --- EMCY -----------------------------------------------------------------------------------

struct EmcyCase {
  uint16_t code;
  uint8_t reg;
  std::vector<uint8_t> vendor;
  std::string text;
};

class SimNodeEmcy : public ::testing::TestWithParam<EmcyCase> {};

TEST_P(SimNodeEmcy, FrameBytes) {
  NodeLogic node(kNode);
  const EmcyCase& c = GetParam();
  EXPECT_EQ(frame_text(node.emcy(c.code, c.reg, c.vendor)), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SimNodeEmcy,
    ::testing::Values(EmcyCase{0x8110, 0x11, {}, "085#1081110000000000"},
                      EmcyCase{0x8110, 0x11, {1, 0, 0, 0, 0}, "085#1081110100000000"},
                      EmcyCase{0x2310, 0x03, {1, 2, 3, 4, 5}, "085#1023030102030405"},
                      EmcyCase{0x0000, 0x00, {1, 2, 3, 4, 5, 6, 7}, "085#0000000102030405"},
                      EmcyCase{0xFF00, 0x80, {0xAA}, "085#00FF80AA00000000"}));

// --- threads --------------------------------------------------------------------------------

TEST(SimNodeThreads, ConcurrentGuardingKeepsTogglesPaired) {
  Booted b;
  constexpr int kThreads = 4;
  constexpr int kEach = 500;
  std::vector<std::vector<CMSG>> replies(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&b, &replies, t] {
      for (int i = 0; i < kEach; ++i) {
        for (const CMSG& m : b.node.on_frame(guard_request())) replies[t].push_back(m);
      }
    });
  }
  for (auto& th : threads) th.join();
  int with_toggle = 0;
  int without = 0;
  for (const auto& list : replies) {
    for (const CMSG& m : list) (m.data[0] == 0xFF ? with_toggle : without)++;
  }
  EXPECT_EQ(with_toggle, kThreads * kEach / 2);
  EXPECT_EQ(without, kThreads * kEach / 2);
  EXPECT_EQ(b.node.guarding_requests(), kThreads * kEach);
}

}  // namespace

// The heartbeat producer as a step function: period from 0x1017, phase kept, a late caller
// gets one beat, skipped and paused beats are not sent, a new period is taken up.
TEST(SimNodeHeartbeat, ProducerFollowsItsPeriodSkipsAndPauses) {
  constexpr int64_t ms = 1'000'000;
  NodeLogic n(kNode);
  EXPECT_TRUE(n.heartbeat_due(0).empty());  // 0x1017 is 0: no producer
  n.set_object(0x1017, 0, std::string("\x64\x00", 2));
  EXPECT_EQ(n.heartbeat_period_ms(), 100);
  EXPECT_TRUE(n.heartbeat_due(1000 * ms).empty());  // starts the schedule
  EXPECT_TRUE(n.heartbeat_due(1099 * ms).empty());
  EXPECT_EQ(texts(n.heartbeat_due(1100 * ms)), std::vector<std::string>{"705#7F"});
  EXPECT_TRUE(n.heartbeat_due(1150 * ms).empty());
  n.on_frame(nmt(0x01, kNode));
  EXPECT_EQ(texts(n.heartbeat_due(1450 * ms)), std::vector<std::string>{"705#05"});  // late: one
  EXPECT_EQ(n.next_heartbeat_ns(), 1550 * ms);
  n.skip_heartbeats(2);
  EXPECT_TRUE(n.heartbeat_due(1550 * ms).empty());
  EXPECT_TRUE(n.heartbeat_due(1650 * ms).empty());
  EXPECT_EQ(n.heartbeat_due(1750 * ms).size(), 1u);
  n.pause_heartbeat(true);
  EXPECT_TRUE(n.heartbeat_due(1850 * ms).empty());
  n.pause_heartbeat(false);
  n.set_silent(true);
  EXPECT_TRUE(n.heartbeat_due(1950 * ms).empty());
  n.set_silent(false);
  EXPECT_EQ(n.heartbeat_due(2050 * ms).size(), 1u);
  n.set_object(0x1017, 0, std::string("\x00\x00", 2));
  EXPECT_TRUE(n.heartbeat_due(2150 * ms).empty());
  EXPECT_EQ(n.next_heartbeat_ns(), 0);
}

// --- process data ---------------------------------------------------------------------------

constexpr int64_t kMs = 1'000'000;

// A node with a 16-bit object 0x2000 (0x1234) and an 8-bit 0x2001 (0x56).
struct Pdo : Booted {
  Pdo() {
    node.set_object(0x2000, 0, std::string("\x34\x12", 2));
    node.set_object(0x2001, 0, std::string("\x56", 1));
  }
  void set16(uint16_t v) {
    node.set_object(0x2000, 0, std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)});
  }
  Texts due(int64_t ms) { return texts(node.pdo_due(ms * kMs)); }
  void start() { in(nmt(0x01, kNode)); }
  Texts sync(int counter = -1) {
    return in(counter < 0 ? make_frame(0x80, {})
                          : make_frame(0x80, {static_cast<uint8_t>(counter)}));
  }
  // An expedited download of the `n` low bytes of `v`: "ok" or the abort code in hex.
  std::string write(uint16_t index, uint8_t sub, uint32_t v, int n = 4) {
    const Texts r = in(sdo(static_cast<uint8_t>(0x23 | ((4 - n) << 2)), index, sub,
                           {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                            static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)}));
    if (r.size() != 1) return "no answer";
    if (r[0].substr(4, 2) == "60") return "ok";
    return r[0].substr(18, 2) + r[0].substr(16, 2) + r[0].substr(14, 2) + r[0].substr(12, 2);
  }
};

TEST(SimNodePdo, EventTimerInVirtualTimeOnlyWhenOperational) {
  Pdo p;
  p.node.set_tpdo(1, 0x185, 0xFF, 100, {{0x2000, 0, 16}, {0x2001, 0, 8}});
  EXPECT_TRUE(p.due(0).empty());  // pre-operational
  p.start();
  EXPECT_EQ(p.due(1000), Texts{"185#341256"});  // once on entering operational
  EXPECT_TRUE(p.due(1099).empty());
  p.set16(0x0001);
  EXPECT_TRUE(p.due(1050).empty());  // 0xFF: the timer only
  EXPECT_EQ(p.due(1100), Texts{"185#010056"});
  EXPECT_EQ(p.node.next_pdo_ns(), 1200 * kMs);
  EXPECT_EQ(p.due(1450), Texts{"185#010056"});  // late: one, and a new phase
  EXPECT_EQ(p.node.next_pdo_ns(), 1550 * kMs);
  p.in(nmt(0x02, kNode));
  EXPECT_TRUE(p.due(1550).empty());
  EXPECT_EQ(p.node.tpdos_sent(), 3);
}

TEST(SimNodePdo, OnChangeWaitsOutTheInhibitTime) {
  Pdo p;
  p.node.set_tpdo(2, 0x285, 0xFE, 0, {{0x2000, 0, 16}}, /*inhibit_100us=*/200);
  p.start();
  EXPECT_EQ(p.due(0), Texts{"285#3412"});
  EXPECT_TRUE(p.due(5).empty());
  p.set16(0x0002);
  EXPECT_TRUE(p.due(19).empty());  // inhibited until 20 ms
  EXPECT_EQ(p.due(20), Texts{"285#0200"});
  EXPECT_TRUE(p.due(40).empty());  // no change
}

TEST(SimNodePdo, RemoteRequestsWhereTheCobIdAllowsThem) {
  Pdo p;
  p.node.set_tpdo(1, 0x185, 0xFD, 0, {{0x2001, 0, 8}});
  p.node.set_tpdo(2, sim::kPdoNoRtr | 0x285, 0xFD, 0, {{0x2001, 0, 8}});
  p.node.set_tpdo(3, 0x385, 0xFC, 0, {{0x2000, 0, 16}});
  EXPECT_TRUE(p.in(canbus_test::make_remote(0x185, 1)).empty());  // pre-operational
  p.start();
  EXPECT_TRUE(p.due(0).empty());
  EXPECT_EQ(p.in(canbus_test::make_remote(0x185, 1)), Texts{"185#56"});
  EXPECT_TRUE(p.in(canbus_test::make_remote(0x285, 1)).empty());
  EXPECT_TRUE(p.sync().empty());  // 0xFC samples at the SYNC
  p.set16(0x0003);
  EXPECT_EQ(p.in(canbus_test::make_remote(0x385, 2)), Texts{"385#3412"});
}

// Which of a run of SYNCs (their counters) send TPDO1 of a transmission type and start value.
struct SyncCase {
  uint8_t type;
  uint8_t start;
  std::vector<int> counters;  // -1: a SYNC without counter
  std::string sends;          // per SYNC: x sent, - not
};

class SimNodeSync : public ::testing::TestWithParam<SyncCase> {};

TEST_P(SimNodeSync, SendsOnTheRightSyncs) {
  const SyncCase& c = GetParam();
  Pdo p;
  p.node.set_tpdo(1, 0x185, c.type, 0, {{0x2001, 0, 8}});
  ASSERT_EQ(p.write(0x1800, 1, sim::kPdoInvalid | 0x185), "ok");
  ASSERT_EQ(p.write(0x1800, 6, c.start, 1), "ok");
  ASSERT_EQ(p.write(0x1800, 1, 0x185), "ok");
  p.start();
  std::string got;
  for (int counter : c.counters) got += p.sync(counter).empty() ? '-' : 'x';
  EXPECT_EQ(got, c.sends);
}

INSTANTIATE_TEST_SUITE_P(
    Types, SimNodeSync,
    ::testing::Values(SyncCase{1, 0, {-1, -1, -1}, "xxx"}, SyncCase{2, 0, {-1, -1, -1, -1}, "-x-x"},
                      SyncCase{0, 0, {-1, -1, -1}, "x--"},  // acyclic: the data did not change
                      SyncCase{240, 0, {-1, -1}, "--"},
                      SyncCase{3, 5, {3, 4, 5, 6, 7, 8}, "--x--x"},
                      SyncCase{2, 5, {-1, -1}, "-x"},  // no counter: the start value is moot
                      SyncCase{0xFC, 0, {-1, -1}, "--"}, SyncCase{0xFE, 0, {-1}, "-"}));

TEST(SimNodePdo, RpdosWrittenAtOnceOrAtTheNextSyncShortOnesGiveEmcy) {
  Pdo p;
  p.node.set_rpdo(1, 0x205, 0xFF, {{0x2000, 0, 16}, {0x0005, 0, 8}, {0x2001, 0, 8}});
  p.node.set_rpdo(2, 0x305, 1, {{0x2001, 0, 8}});
  EXPECT_TRUE(p.in(make_frame(0x205, {0xAA, 0xBB, 0xCC, 0xDD})).empty());  // pre-operational
  EXPECT_EQ(p.node.object(0x2000, 0), std::string("\x34\x12", 2));
  p.start();
  EXPECT_TRUE(p.in(make_frame(0x205, {0xAA, 0xBB, 0xCC, 0xDD, 0xEE})).empty());
  EXPECT_EQ(p.node.object(0x2000, 0), std::string("\xAA\xBB", 2));
  EXPECT_EQ(p.node.object(0x2001, 0), std::string("\xDD", 1));  // the dummy byte skipped
  EXPECT_EQ(p.in(make_frame(0x205, {0x01, 0x02, 0x03})), Texts{"085#1082110000000000"});
  EXPECT_EQ(p.node.object(0x2000, 0), std::string("\xAA\xBB", 2));
  p.in(make_frame(0x305, {0x11}));
  p.in(make_frame(0x305, {0x22}));
  EXPECT_EQ(p.node.object(0x2001, 0), std::string("\xDD", 1));
  p.sync();
  EXPECT_EQ(p.node.object(0x2001, 0), std::string("\x22", 1));
  EXPECT_EQ(p.node.rpdos_written(), 2);
}

// CiA 301's procedure on TPDO2 (invalid), then the rules while TPDO1 is valid.
TEST(SimNodePdo, ConfigurationByDownloadAndWhatIsRefused) {
  Pdo p;
  p.node.set_tpdo(1, 0x185, 0xFE, 0, {{0x2000, 0, 16}});
  p.node.set_object(0x2008, 0, std::string(8, '\0'));
  p.node.set_pdo_mappable(0x2001, 0, false);
  struct Step {
    uint16_t index;
    uint8_t sub;
    uint32_t value;
    int n;
    std::string result;
  };
  const std::vector<Step> steps = {
      {0x1800, 1, 0x190, 4, "06090030"},  // new identifier while valid
      {0x1800, 1, 0x40000185, 4, "ok"},   // bit 30 (RTR) may change while valid
      {0x1800, 3, 10, 2, "08000022"},     // inhibit time while valid
      {0x1800, 6, 1, 1, "08000022"},      // SYNC start value while valid
      {0x1800, 5, 50, 2, "ok"},           // event timer any time
      {0x1800, 2, 250, 1, "06090030"},    // reserved type
      {0x1800, 0, 5, 1, "06010002"},      // highest sub-index: read-only
      {0x1A00, 0, 0, 1, "08000022"},      // mapping while valid
      {0x1A00, 1, 0x20010008, 4, "08000022"},
      {0x1801, 1, 0xA0000285, 4, "06090030"},  // 29-bit identifier
      {0x1801, 1, 0x80000000, 4, "ok"},        // invalid with any identifier
      {0x1A01, 1, 0x10000020, 4, "06040041"},  // not mappable (communication area)
      {0x1A01, 1, 0x20010008, 4, "06040041"},  // set not mappable
      {0x1A01, 1, 0x30000010, 4, "06020000"},  // no such object
      {0x1A01, 1, 0x20000020, 4, "06040041"},  // longer than the object
      {0x1A01, 1, 0x00050008, 4, "06040041"},  // dummy in a TPDO
      {0x1A01, 1, 0x20000010, 4, "ok"},
      {0x1A01, 2, 0x20080040, 4, "ok"},
      {0x1A01, 0, 9, 1, "06090031"},
      {0x1A01, 0, 2, 1, "06040042"},  // 80 bits
      {0x1A01, 2, 0x20080020, 4, "ok"},
      {0x1A01, 0, 2, 1, "ok"},
      {0x1A01, 3, 0, 4, "08000022"},  // entries only while the count is 0
      {0x1801, 1, 0x0285, 4, "ok"},
      {0x1801, 1, 0x0000, 4, "06090030"},
  };
  for (const Step& s : steps) {
    EXPECT_EQ(p.write(s.index, s.sub, s.value, s.n), s.result)
        << std::hex << s.index << "/" << int{s.sub} << " = " << s.value;
  }
  p.start();
  EXPECT_EQ(p.due(0), (Texts{"185#3412", "285#341200000000"}));
}

// A node id given by LSS moves the PDOs still on their predefined identifiers with it, from the
// reset that takes it; one set otherwise stays. A power cycle brings back the stored id.
TEST(SimNodePdo, PredefinedIdentifiersFollowANodeIdGivenByLss) {
  Pdo p;
  p.node.set_tpdo(1, 0x185, 0xFE, 0, {{0x2001, 0, 8}});
  p.node.set_tpdo(2, 0x290, 0xFE, 0, {{0x2001, 0, 8}});
  auto cob = [&](uint16_t index) {
    const std::string v = p.node.object(index, 1).value_or("");
    uint32_t w = 0;
    for (size_t i = v.size(); i-- > 0;) w = (w << 8) | static_cast<uint8_t>(v[i]);
    return w;
  };
  p.in(make_frame(0x7E5, {0x04, 1, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(p.in(make_frame(0x7E5, {0x11, 10, 0, 0, 0, 0, 0, 0})), Texts{"7E4#1100000000000000"});
  p.in(make_frame(0x7E5, {0x04, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(cob(0x1800), 0x185u);  // until the reset
  EXPECT_EQ(p.in(nmt(0x82, kNode)), Texts{"70A#00"});
  EXPECT_EQ(cob(0x1800), 0x18Au);
  EXPECT_EQ(cob(0x1801), 0x290u);
  EXPECT_EQ(cob(0x1802), 0x8000038Au);
  EXPECT_EQ(cob(0x1400), 0x8000020Au);
  EXPECT_EQ(cob(0x1403), 0x8000050Au);
  p.in(nmt(0x01, 10));
  EXPECT_EQ(p.due(0), (Texts{"18A#56", "290#56"}));
  p.in(nmt(0x81, 10));  // a reset of the node keeps them too
  EXPECT_EQ(cob(0x1800), 0x18Au);
  EXPECT_EQ(texts(p.node.power_cycle()), Texts{"705#00"});
  EXPECT_EQ(cob(0x1800), 0x185u);
  EXPECT_EQ(cob(0x1400), 0x80000205u);
}

TEST(SimNodePdo, ModelsMoveValuesOverTime) {
  NodeLogic adc(kNode);
  auto model = sim::make_adc(adc, 4, 10000, 1000, 100);
  adc.on_frame(nmt(0x01, kNode));
  const Texts first = texts(adc.pdo_due(250 * kMs));
  ASSERT_EQ(first.size(), 1u);
  // At a quarter period: channel 0 at the top, 1 at zero, 2 at the bottom, 3 at zero.
  EXPECT_EQ(first[0], "185#10270000F0D80000");
  EXPECT_EQ(model->value(0, 250 * kMs), 10000);
  EXPECT_EQ(model->value(2, 250 * kMs), -10000);

  NodeLogic supply(kNode);
  sim::make_supply(supply, 1000, 1000, 100);
  supply.on_frame(nmt(0x01, kNode));
  EXPECT_EQ(texts(supply.pdo_due(0)), Texts{"185#00000000"});
  supply.on_frame(make_frame(0x205, {0xF4, 0x01, 0, 0}));  // set-point 500
  for (int64_t ms = 1; ms <= 100; ++ms) supply.pdo_due(ms * kMs);
  EXPECT_EQ(supply.object(0x2111, 0), std::string("\x64\x00\x00\x00", 4));  // 100 after 100 ms
  for (int64_t ms = 101; ms <= 1000; ++ms) supply.pdo_due(ms * kMs);
  EXPECT_EQ(supply.object(0x2111, 0), std::string("\xF4\x01\x00\x00", 4));  // there, no further
}
