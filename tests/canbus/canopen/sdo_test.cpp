// SDO upload client and identity strings, against the simulated CANopen node and against
// devices that craft the replies a test needs.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ostream>
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

std::vector<std::string> logged(tavik::LogCapture& log, const std::string& label) {
  std::vector<std::string> out;
  for (const tavik::LogEntry& e : log.with_label(label)) out.push_back(e.message);
  return out;
}

class SdoTest : public CanbusTest {
 protected:
  void SetUp() override {
    CanbusTest::SetUp();
    loc_ = std::make_unique<EqFct>("SDO.TEST");
    node_ = make_node(*loc_, "NODE", iiii(kLine, kNode));
    ASSERT_EQ(node_->init(0x580 + kNode), 0);
    // Once the line's supervision thread sleeps, the pauses logged are the test thread's own.
    ASSERT_TRUE(clock().wait_for_sleepers(1));
    vbus::clear_sent(kNet);
  }
  void TearDown() override {
    sim_.reset();
    node_.reset();
    loc_.reset();
    CanbusTest::TearDown();
  }

  void start_sim(const std::string& name, const std::string& hw = "", const std::string& sw = "") {
    sim_ = std::make_unique<sim::VbusNode>(kNet, kNode, name, hw, sw);
  }

  std::vector<std::string> requests() {
    std::vector<std::string> out;
    for (const CMSG& m : vbus::sent(kNet)) {
      if (m.id == 0x600 + kNode) out.push_back(frame_text(m));
    }
    return out;
  }

  std::unique_ptr<EqFct> loc_;
  std::unique_ptr<D_can> node_;
  std::unique_ptr<sim::VbusNode> sim_;
};

// --- Expedited --------------------------------------------------------------------------------

struct ExpeditedCase {
  const char* name;
  std::string value;
  const char* response;
};
void PrintTo(const ExpeditedCase& c, std::ostream* os) {
  *os << c.name;
}

class ExpeditedTest : public SdoTest, public ::testing::WithParamInterface<ExpeditedCase> {};

TEST_P(ExpeditedTest, ValueStoredFromTheFirstReply) {
  Recorder rec(kNet);
  start_sim(GetParam().value);
  EXPECT_EQ(node_->get_manufacture(), 0);
  EXPECT_EQ(node_->manu_prop()->value(), GetParam().value);
  EXPECT_EQ(rec.texts(0x580 + kNode), std::vector<std::string>{GetParam().response});
  EXPECT_EQ(requests(), std::vector<std::string>{"605#4008100000000000"});
}

INSTANTIATE_TEST_SUITE_P(
    SizeGiven, ExpeditedTest,
    ::testing::Values(ExpeditedCase{"OneByte", "A", "585#4F08100041000000"},
                      ExpeditedCase{"FourBytes", "ABCD", "585#4308100041424344"}),
    [](const ::testing::TestParamInfo<ExpeditedCase>& i) { return std::string(i.param.name); });

struct CraftedCase {
  const char* name;
  uint8_t command;
  const char* stored;
};
void PrintTo(const CraftedCase& c, std::ostream* os) {
  *os << c.name;
}

class CraftedExpeditedTest : public SdoTest, public ::testing::WithParamInterface<CraftedCase> {};

TEST_P(CraftedExpeditedTest, SizeFromTheCommandByte) {
  ScopedDevice dev(kNet, answer(0x605, {make_frame(0x585, {GetParam().command, 0x09, 0x10, 0x00,
                                                           'W', 'X', 'Y', 'Z'})}));
  EXPECT_EQ(node_->get_hwversion(), 0);
  EXPECT_EQ(node_->hwver_prop()->value(), GetParam().stored);
}

INSTANTIATE_TEST_SUITE_P(Commands, CraftedExpeditedTest,
                         ::testing::Values(CraftedCase{"SizeNotGiven", 0x42, "WXYZ"},
                                           CraftedCase{"FourGiven", 0x43, "WXYZ"},
                                           CraftedCase{"ThreeGiven", 0x47, "WXY"},
                                           CraftedCase{"TwoGiven", 0x4B, "WX"},
                                           CraftedCase{"OneGiven", 0x4F, "W"}),
                         [](const ::testing::TestParamInfo<CraftedCase>& i) {
                           return std::string(i.param.name);
                         });

// --- Segmented --------------------------------------------------------------------------------

TEST_F(SdoTest, TenBytesArriveInTwoSegmentsWithAlternatingToggles) {
  Recorder rec(kNet);
  start_sim("0123456789");
  EXPECT_EQ(node_->get_manufacture(), 0);
  EXPECT_EQ(node_->manu_prop()->value(), "0123456789");
  std::vector<std::string> replies = rec.texts(0x585);
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(replies[1], "585#0030313233343536");
  EXPECT_EQ(replies[2], "585#1937383900000000");
  EXPECT_EQ(requests(), (std::vector<std::string>{"605#4008100000000000", "605#6000000000000000",
                                                  "605#7000000000000000"}));
}

TEST_F(SdoTest, SegmentReaderAdvancesTheOffset) {
  start_sim("0123456789");
  char buffer[64] = {};
  int offset = 0;
  ASSERT_EQ(node_->initiateUpload(kNode, 0x1008, 0), 0);
  ASSERT_EQ(node_->initUploadResponse(kNode, buffer, &offset), 0);
  EXPECT_EQ(offset, 0);
  ASSERT_EQ(node_->requestUploadSegment(kNode), 0);
  EXPECT_EQ(node_->receiveUploadSegment(kNode, buffer, &offset), 0);
  EXPECT_EQ(offset, 7);
  ASSERT_EQ(node_->requestUploadSegment(kNode), 0);
  EXPECT_EQ(node_->receiveUploadSegment(kNode, buffer, &offset), 0x12345678);
  EXPECT_EQ(offset, 10);
  EXPECT_STREQ(buffer, "0123456789");
}

struct LongCase {
  const char* name;
  size_t length;
};
void PrintTo(const LongCase& c, std::ostream* os) {
  *os << c.name;
}

class LongValueTest : public SdoTest, public ::testing::WithParamInterface<LongCase> {};

// The identity buffer holds 63 characters and the zero: a longer value keeps its first 63, and
// the upload still runs to its last segment so that the next one starts clean.
TEST_P(LongValueTest, IdentityKeepsAtMost63Bytes) {
  std::string value;
  for (size_t i = 0; i < GetParam().length; ++i) value += static_cast<char>('A' + i % 26);
  start_sim(value, "HW1");
  EXPECT_EQ(node_->get_manufacture(), 0);
  EXPECT_EQ(node_->manu_prop()->value(), value.substr(0, 63));
  const size_t segments = (value.size() + 6) / 7;
  EXPECT_EQ(requests().size(), 1 + segments);
  EXPECT_EQ(node_->get_hwversion(), 0);
  EXPECT_EQ(node_->hwver_prop()->value(), "HW1");
}

INSTANTIATE_TEST_SUITE_P(Lengths, LongValueTest,
                         ::testing::Values(LongCase{"Fits", 63}, LongCase{"OneTooMany", 64},
                                           LongCase{"Hundred", 100}),
                         [](const ::testing::TestParamInfo<LongCase>& i) {
                           return std::string(i.param.name);
                         });

TEST_F(SdoTest, UnboundedReadKeepsTheWholeValue) {
  std::string value(100, 'v');
  start_sim(value);
  std::vector<char> buffer(128, '\0');
  EXPECT_EQ(node_->segSdoRead(kNode, 0x1008, 0, buffer.data()), 0);
  EXPECT_EQ(std::string(buffer.data()), value);
}

TEST_F(SdoTest, BoundedReadNeverWritesTheLastByte) {
  start_sim("0123456789");
  char buffer[8];
  std::memset(buffer, 0, sizeof buffer);
  EXPECT_EQ(node_->segSdoRead(kNode, 0x1008, 0, buffer, 6), 0);
  EXPECT_STREQ(buffer, "01234");
  EXPECT_EQ(buffer[5], 0);
  EXPECT_EQ(buffer[6], 0);
}

TEST_F(SdoTest, TrailingCarriageReturnAndLineFeedAreCut) {
  start_sim("Device 12\r\nrest");
  EXPECT_EQ(node_->get_manufacture(), 0);
  EXPECT_EQ(node_->manu_prop()->value(), "Device 12");
}

// --- Failures ---------------------------------------------------------------------------------

TEST_F(SdoTest, SilentNodeFailsAfterTheDeadlineWithoutHoldingTheProcessor) {
  start_sim("name");
  sim_->logic().set_silent(true);
  clock().clear_sleeps();
  const int64_t start = clock().now_ns();
  EXPECT_EQ(node_->get_manufacture(), -1);
  const int64_t waited = clock().now_ns() - start;
  EXPECT_EQ(node_->manu_prop()->value(), "error");
  EXPECT_EQ(logged(log(), "SDO"),
            std::vector<std::string>{"NODE (line 1, node 5): upload 0x1008:00: SDO time-out"});
  // Until the whole-second clock passes start + 2: more than 2 and at most 3 seconds, spent
  // waiting in the driver rather than in pauses of its own.
  EXPECT_GT(waited, 2'000'000'000);
  EXPECT_LE(waited, 3'000'000'000);
  EXPECT_TRUE(clock().sleeps().empty());
}

TEST_F(SdoTest, SilenceDuringTheSegmentsIsReported) {
  ScopedDevice dev(kNet, answer(0x605, {make_frame(0x585, {0x41, 0x08, 0x10, 0x00, 20, 0, 0, 0})}));
  EXPECT_EQ(node_->get_manufacture(), -1);
  EXPECT_EQ(node_->manu_prop()->value(), "error");
  EXPECT_EQ(logged(log(), "SDO"),
            std::vector<std::string>{"NODE (line 1, node 5): upload 0x1008:00: SDO time-out"});
}

// One log line per failure, with the node, the object and the abort's text; nothing on stdout.
TEST_F(SdoTest, AbortOfTheRunningUploadEndsTheWaitAndIsLoggedOnce) {
  start_sim("name");
  sim_->logic().abort_next_upload(0x06090011);
  testing::internal::CaptureStdout();
  EXPECT_EQ(node_->get_manufacture(), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(node_->manu_prop()->value(), "error");
  EXPECT_EQ(logged(log(), "SDO"),
            std::vector<std::string>{"NODE (line 1, node 5): upload 0x1008:00: SDO abort "
                                     "0x06090011: Sub-index does not exist"});
  for (const auto& e : log().entries()) {  // nothing else but the fixture's routine lines
    if (e.label == "SDO" || e.label == "Inside can_control: " ||
        e.message.find(" change from: ") != std::string::npos) {
      continue;
    }
    ADD_FAILURE() << e.label << e.message;
  }
}

// A node without the optional 0x1009 and 0x100A: "-" for them, and the identity stays whole.
TEST_F(SdoTest, MissingOptionalIdentityObjectsShowADash) {
  start_sim("name");
  sim_->logic().set_optional_identity(false);
  EXPECT_EQ(node_->get_manufacture(), 0);
  EXPECT_EQ(node_->get_hwversion(), 0);
  EXPECT_EQ(node_->get_swversion(), 0);
  EXPECT_EQ(node_->manu_prop()->value() + " / " + node_->hwver_prop()->value() + " / " +
                node_->swver_prop()->value(),
            "name / - / -");
  const std::string missing =
      ": SDO abort 0x06020000: Object does not exist in the object dictionary";
  EXPECT_EQ(logged(log(), "SDO"),
            (std::vector<std::string>{"NODE (line 1, node 5): upload 0x1009:00" + missing,
                                      "NODE (line 1, node 5): upload 0x100A:00" + missing}));
  // The device name is not optional here: its absence is an error.
  sim_->logic().remove_object(0x1008, 0);
  EXPECT_EQ(node_->get_manufacture(), -1);
  EXPECT_EQ(node_->manu_prop()->value(), "error");
}

TEST_F(SdoTest, AbortIsRecognisedWhateverItsIdentifier) {
  ASSERT_EQ(node_->AddIdent(0x123), 0);
  ScopedDevice dev(
      kNet, answer(0x605, {make_frame(0x123, {0x80, 0x08, 0x10, 0x00, 0x00, 0x00, 0x04, 0x05})}));
  EXPECT_EQ(node_->get_manufacture(), -1);
  EXPECT_EQ(logged(log(), "SDO"),
            std::vector<std::string>{"NODE (line 1, node 5): upload 0x1008:00: SDO abort "
                                     "0x05040000: SDO protocol timed out"});
}

// A code with its top bit set (negative as int) is an abort as any other: -1, its code logged.
TEST_F(SdoTest, AbortWithTheTopBitSetIsStillAnAbort) {
  ScopedDevice dev(kNet,
                   answer(0x605, {make_frame(0x585, {0x80, 0x08, 0x10, 0x00, 0, 0, 2, 0x80})}));
  EXPECT_EQ(node_->get_manufacture(), -1);
  EXPECT_EQ(
      logged(log(), "SDO"),
      std::vector<std::string>{"NODE (line 1, node 5): upload 0x1008:00: SDO abort 0x80020000"});
}

TEST_F(SdoTest, AbortForAnotherIndexOrSubindexIsPassedOver) {
  ScopedDevice dev(kNet, answer(0x605, {
                                           make_frame(0x585, {0x80, 0x09, 0x10, 0x00, 0, 0, 2, 6}),
                                           make_frame(0x585, {0x80, 0x08, 0x10, 0x01, 0, 0, 2, 6}),
                                           make_frame(0x585, {0x4F, 0x08, 0x10, 0x00, 'M'}),
                                       }));
  testing::internal::CaptureStdout();
  EXPECT_EQ(node_->get_manufacture(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(node_->manu_prop()->value(), "M");
}

TEST_F(SdoTest, AbortDuringTheSegmentsIsLoggedOnce) {
  ScopedDevice init(kNet,
                    answer(0x605, {make_frame(0x585, {0x41, 0x08, 0x10, 0x00, 20, 0, 0, 0})}));
  ScopedDevice seg(kNet, [](int net, const CMSG& m) {
    if (m.id == 0x605 && m.data[0] == 0x60) {
      vbus::inject(net, make_frame(0x585, {0x80, 0x08, 0x10, 0x00, 0x00, 0x00, 0x04, 0x05}));
    }
  });
  EXPECT_EQ(node_->get_manufacture(), -1);
  EXPECT_EQ(logged(log(), "SDO"),
            std::vector<std::string>{"NODE (line 1, node 5): upload 0x1008:00: SDO abort "
                                     "0x05040000: SDO protocol timed out"});
}

TEST_F(SdoTest, RepeatedToggleEndsTheUpload) {
  start_sim("a value of twenty b");
  sim_->logic().set_wrong_toggle(true);
  EXPECT_EQ(node_->get_manufacture(), -1);
  EXPECT_EQ(node_->manu_prop()->value(), "error");
  EXPECT_EQ(logged(log(), "SDO"),
            std::vector<std::string>{"NODE (line 1, node 5): upload 0x1008:00: SDO abort "
                                     "0x05030000: Toggle bit not alternated"});
}

TEST_F(SdoTest, NoHandleFailsTheInitiateRequest) {
  auto detached = make_node(*loc_, "DETACHED", iiii(kLine, 6));
  EXPECT_EQ(detached->get_manufacture(), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(detached->manu_prop()->value(), "error");
  EXPECT_EQ(logged(log(), "SDO"),
            std::vector<std::string>{"DETACHED (line 1, node 6): upload 0x1008:00: " +
                                     can_error_str(NTCAN_INVALID_HANDLE)});
}

// The exchange goes through the virtual can_write and can_read_for: failures of either are reported
// with the step that failed.
class FaultyCan : public D_can {
 public:
  using D_can::D_can;
  int can_write(int ident, int length, unsigned char* Data) override {
    if (fail_segment_request && Data[0] == 0x60) return NTCAN_TX_ERROR;
    return D_can::can_write(ident, length, Data);
  }
  int can_read_for(CMSG* rxmsg, int* length, int64_t timeout_us) override {
    if (fail_take) {
      *length = 0;
      return NTCAN_CONTR_OFF_BUS;
    }
    return D_can::can_read_for(rxmsg, length, timeout_us);
  }
  bool fail_segment_request = false;
  bool fail_take = false;
};

TEST_F(SdoTest, FailingSegmentRequestIsReported) {
  start_sim("0123456789");
  FaultyCan f("FAULTY node under test", loc_.get());
  IIII v = iiii(kLine, kNode);
  f.set_value(&v);
  ASSERT_EQ(f.init(0x585), 0);
  f.fail_segment_request = true;
  char buffer[64] = {};
  EXPECT_EQ(f.segSdoRead(kNode, 0x1008, 0, buffer, sizeof buffer), NTCAN_TX_ERROR);
  EXPECT_EQ(logged(log(), "SDO"),
            std::vector<std::string>{"FAULTY (line 1, node 5): upload 0x1008:00: " +
                                     can_error_str(NTCAN_TX_ERROR)});
}

TEST_F(SdoTest, FailingTakeIsReportedInTheInitiatePhase) {
  FaultyCan f("FAULTY node under test", loc_.get());
  IIII v = iiii(kLine, kNode);
  f.set_value(&v);
  ASSERT_EQ(f.init(0x585), 0);
  f.fail_take = true;
  char buffer[64] = {};
  EXPECT_EQ(f.segSdoRead(kNode, 0x1008, 0, buffer, sizeof buffer), NTCAN_CONTR_OFF_BUS);
  EXPECT_EQ(logged(log(), "SDO"),
            std::vector<std::string>{"FAULTY (line 1, node 5): upload 0x1008:00: " +
                                     can_error_str(NTCAN_CONTR_OFF_BUS)});
}

TEST_F(SdoTest, SoftwareVersionWaits100msBeforeTheRequest) {
  start_sim("name", "hw", "SW 2.1");
  int64_t asked_at = 0;
  ScopedDevice watch(kNet, [&](int, const CMSG& m) {
    if (m.id == 0x605 && asked_at == 0) asked_at = clock().now_ns();
  });
  clock().clear_sleeps();
  const int64_t start = clock().now_ns();
  EXPECT_EQ(node_->get_swversion(), 0);
  EXPECT_EQ(node_->swver_prop()->value(), "SW 2.1");
  std::vector<int64_t> sleeps = clock().sleeps();
  ASSERT_FALSE(sleeps.empty());
  EXPECT_EQ(sleeps[0], 100'000'000);
  EXPECT_GE(asked_at - start, 100'000'000);
}

TEST_F(SdoTest, IdentityStringsOfTheSimulatedNode) {
  start_sim("ESD sim device", "HW 1.2", "SW 3.4.5");
  EXPECT_EQ(node_->get_manufacture(), 0);
  EXPECT_EQ(node_->get_hwversion(), 0);
  EXPECT_EQ(node_->get_swversion(), 0);
  EXPECT_EQ(node_->manu_prop()->value(), "ESD sim device");
  EXPECT_EQ(node_->hwver_prop()->value(), "HW 1.2");
  EXPECT_EQ(node_->swver_prop()->value(), "SW 3.4.5");
  EXPECT_EQ(requests().front(), "605#4008100000000000");
}

// --- Any object: download and upload ----------------------------------------------------------

enum class Op { kDownload, kUpload };
enum class Fault { kNone, kSilent, kWrongToggle };

struct ObjectCase {
  const char* name;
  Op op;
  int index;
  int subindex;
  std::string value;  // downloaded, or expected from the upload
  size_t buffer;      // upload buffer size
  Fault fault;
  int result;
  std::vector<std::string> requests;
};
void PrintTo(const ObjectCase& c, std::ostream* os) {
  *os << c.name;
}

class ObjectTest : public SdoTest, public ::testing::WithParamInterface<ObjectCase> {};

TEST_P(ObjectTest, FramesResultAndValue) {
  const ObjectCase& c = GetParam();
  start_sim("twenty bytes of name");
  if (c.fault == Fault::kSilent) sim_->logic().set_silent(true);
  if (c.fault == Fault::kWrongToggle) sim_->logic().set_wrong_toggle(true);
  std::vector<char> buffer(c.buffer + 1, '\0');
  size_t length = 0;
  const int r = c.op == Op::kDownload
                    ? node_->sdo_download(c.index, c.subindex, c.value.data(), c.value.size())
                    : node_->sdo_upload(c.index, c.subindex, buffer.data(), c.buffer, &length);
  EXPECT_EQ(r, c.result) << sdo_result_text(r);
  EXPECT_EQ(requests(), c.requests);
  EXPECT_EQ(node_->sdo_counts().failures, r == 0 ? 0u : 1u);
  if (r != 0) return;
  if (c.op == Op::kDownload) {
    EXPECT_EQ(
        sim_->logic().object(static_cast<uint16_t>(c.index), static_cast<uint8_t>(c.subindex)),
        c.value);
  } else {
    EXPECT_EQ(std::string(buffer.data(), length), c.value);
    EXPECT_EQ(buffer[c.buffer], '\0');
  }
}

const std::string kTwoBytes("\xE8\x03", 2);

INSTANTIATE_TEST_SUITE_P(
    Cases, ObjectTest,
    ::testing::Values(
        ObjectCase{"ExpeditedDownload",
                   Op::kDownload,
                   0x1017,
                   0,
                   kTwoBytes,
                   0,
                   Fault::kNone,
                   0,
                   {"605#2B171000E8030000"}},
        ObjectCase{"SegmentedDownloadTogglesAndEnds",
                   Op::kDownload,
                   0x2102,
                   0,
                   "0123456789",
                   0,
                   Fault::kNone,
                   0,
                   {"605#210221000A000000", "605#0030313233343536", "605#1937383900000000"}},
        ObjectCase{"EmptyValueAsOneLastSegment",
                   Op::kDownload,
                   0x2102,
                   0,
                   "",
                   0,
                   Fault::kNone,
                   0,
                   {"605#2102210000000000", "605#0F00000000000000"}},
        ObjectCase{"ReadOnly",
                   Op::kDownload,
                   0x1008,
                   0,
                   "abc",
                   0,
                   Fault::kNone,
                   0x06010002,
                   {"605#2708100061626300"}},
        ObjectCase{"Unknown",
                   Op::kDownload,
                   0x3000,
                   0,
                   "a",
                   0,
                   Fault::kNone,
                   0x06020000,
                   {"605#2F00300061000000"}},
        ObjectCase{"TooLong",
                   Op::kDownload,
                   0x1017,
                   0,
                   "abc",
                   0,
                   Fault::kNone,
                   0x06070012,
                   {"605#2717100061626300"}},
        ObjectCase{"TooShort",
                   Op::kDownload,
                   0x2100,
                   0,
                   "ab",
                   0,
                   Fault::kNone,
                   0x06070013,
                   {"605#2B00210061620000"}},
        // A silent node: the transfer is aborted at the node, the result is the time-out.
        ObjectCase{"DownloadTimeOut",
                   Op::kDownload,
                   0x1017,
                   0,
                   kTwoBytes,
                   0,
                   Fault::kSilent,
                   D_can::kSdoTimeout,
                   {"605#2B171000E8030000", "605#8017100000000405"}},
        ObjectCase{"ExpeditedUpload",
                   Op::kUpload,
                   0x1018,
                   1,
                   std::string("\xBC\x0A\0\0", 4),
                   4,
                   Fault::kNone,
                   0,
                   {"605#4018100100000000"}},
        ObjectCase{"SegmentedUpload",
                   Op::kUpload,
                   0x1008,
                   0,
                   "twenty bytes of name",
                   20,
                   Fault::kNone,
                   0,
                   {"605#4008100000000000", "605#6000000000000000", "605#7000000000000000",
                    "605#6000000000000000"}},
        ObjectCase{"UploadBufferTooSmall",
                   Op::kUpload,
                   0x1008,
                   0,
                   "",
                   19,
                   Fault::kNone,
                   0x06070012,
                   {"605#4008100000000000", "605#8008100012000706"}},
        ObjectCase{"UploadUnknown",
                   Op::kUpload,
                   0x3000,
                   0,
                   "",
                   8,
                   Fault::kNone,
                   0x06020000,
                   {"605#4000300000000000"}},
        ObjectCase{"UploadToggleRepeated",
                   Op::kUpload,
                   0x1008,
                   0,
                   "",
                   64,
                   Fault::kWrongToggle,
                   0x05030000,
                   {"605#4008100000000000", "605#6000000000000000", "605#7000000000000000",
                    "605#8008100000000305"}},
        ObjectCase{"UploadTimeOut",
                   Op::kUpload,
                   0x1008,
                   0,
                   "",
                   64,
                   Fault::kSilent,
                   D_can::kSdoTimeout,
                   {"605#4008100000000000", "605#8008100000000405"}}),
    [](const ::testing::TestParamInfo<ObjectCase>& i) { return std::string(i.param.name); });

// --- Block transfer ---------------------------------------------------------------------------

enum class BlockFault { kNone, kDrop3, kBadCrc, kNoBlock, kSilent, kSegmentedAnswer };

struct BlockCase {
  const char* name;
  Op op;
  size_t size;  // of a pattern_value in 0x2200/0
  SdoMode mode;
  BlockFault fault;
  int result;
  std::vector<std::string> head;           // the first requests
  std::string last;                        // the last request
  size_t count;                            // requests in all
  std::vector<std::string> contains = {};  // further requests among them
};
void PrintTo(const BlockCase& c, std::ostream* os) {
  *os << c.name;
}

class BlockTest : public SdoTest, public ::testing::WithParamInterface<BlockCase> {};

TEST_P(BlockTest, FramesResultAndValue) {
  const BlockCase& c = GetParam();
  start_sim("name");
  sim::NodeLogic& n = sim_->logic();
  const std::string value = sim::pattern_value(c.size);
  n.set_object(0x2200, 0, c.op == Op::kUpload ? value : "");
  if (c.fault == BlockFault::kDrop3) n.drop_block_segment(3);
  if (c.fault == BlockFault::kBadCrc) n.corrupt_next_block_crc();
  if (c.fault == BlockFault::kNoBlock) n.set_block_transfer(false);
  if (c.fault == BlockFault::kSilent) n.set_silent(true);
  if (c.fault == BlockFault::kSegmentedAnswer) n.set_block_upload_segmented(true);
  const std::vector<uint8_t> bytes(value.begin(), value.end());
  int r = 0;
  if (c.op == Op::kUpload) {
    std::vector<uint8_t> got{1, 2, 3};
    r = node_->sdo_read(0x2200, 0, got, c.mode);
    EXPECT_EQ(got, r == 0 ? bytes : std::vector<uint8_t>{});
  } else {
    r = node_->sdo_write(0x2200, 0, bytes, c.mode);
    EXPECT_EQ(n.object(0x2200, 0), r == 0 ? value : "");
  }
  EXPECT_EQ(r, c.result) << sdo_result_text(r);
  // One transfer, also when it went again by the other protocol.
  EXPECT_EQ(node_->sdo_counts().transfers, 1u);
  const std::vector<std::string> sent = requests();
  ASSERT_GE(sent.size(), c.head.size());
  EXPECT_EQ(std::vector<std::string>(sent.begin(), sent.begin() + c.head.size()), c.head);
  EXPECT_EQ(sent.back(), c.last);
  EXPECT_EQ(sent.size(), c.count);
  for (const std::string& f : c.contains) {
    EXPECT_NE(std::find(sent.begin(), sent.end(), f), sent.end()) << f;
  }
}

const std::vector<std::string> kBlockUp{"605#A400220040000000", "605#A300000000000000"};
const char kUpEnd[] = "605#A100000000000000";

// Sub-blocks of 64 segments on upload, the node's 127 on download. The download end frames
// carry the CRC-16/CCITT of the value as computed apart.
INSTANTIATE_TEST_SUITE_P(
    Cases, BlockTest,
    ::testing::Values(
        BlockCase{"Up1", Op::kUpload, 1, SdoMode::kBlock, BlockFault::kNone, 0, kBlockUp, kUpEnd,
                  4},
        BlockCase{"Up7", Op::kUpload, 7, SdoMode::kBlock, BlockFault::kNone, 0, kBlockUp, kUpEnd,
                  4},
        BlockCase{"Up8", Op::kUpload, 8, SdoMode::kBlock, BlockFault::kNone, 0, kBlockUp, kUpEnd,
                  4},
        BlockCase{"Up127", Op::kUpload, 127, SdoMode::kBlock, BlockFault::kNone, 0, kBlockUp,
                  kUpEnd, 4},
        BlockCase{"Up128", Op::kUpload, 128, SdoMode::kBlock, BlockFault::kNone, 0, kBlockUp,
                  kUpEnd, 4},
        BlockCase{"Up889",
                  Op::kUpload,
                  889,
                  SdoMode::kBlock,
                  BlockFault::kNone,
                  0,
                  {"605#A400220040000000", "605#A300000000000000", "605#A240400000000000",
                   "605#A23F400000000000", kUpEnd},
                  kUpEnd,
                  5},
        BlockCase{"Up4096",
                  Op::kUpload,
                  4096,
                  SdoMode::kBlock,
                  BlockFault::kNone,
                  0,
                  kBlockUp,
                  kUpEnd,
                  13,
                  {"605#A20A400000000000"}},
        BlockCase{"Down1",
                  Op::kDownload,
                  1,
                  SdoMode::kBlock,
                  BlockFault::kNone,
                  0,
                  {"605#C600220001000000", "605#8100000000000000"},
                  "605#D900000000000000",
                  3},
        BlockCase{"Down7",
                  Op::kDownload,
                  7,
                  SdoMode::kBlock,
                  BlockFault::kNone,
                  0,
                  {"605#C600220007000000", "605#8100010203040506"},
                  "605#C10CD90000000000",
                  3},
        BlockCase{"Down8",
                  Op::kDownload,
                  8,
                  SdoMode::kBlock,
                  BlockFault::kNone,
                  0,
                  {"605#C600220008000000", "605#0100010203040506", "605#8207000000000000"},
                  "605#D9B3260000000000",
                  4},
        BlockCase{"Down127",
                  Op::kDownload,
                  127,
                  SdoMode::kBlock,
                  BlockFault::kNone,
                  0,
                  {"605#C60022007F000000"},
                  "605#D941310000000000",
                  21},
        BlockCase{"Down128",
                  Op::kDownload,
                  128,
                  SdoMode::kBlock,
                  BlockFault::kNone,
                  0,
                  {"605#C600220080000000"},
                  "605#D50AE80000000000",
                  21},
        BlockCase{"Down889",
                  Op::kDownload,
                  889,
                  SdoMode::kBlock,
                  BlockFault::kNone,
                  0,
                  {"605#C600220079030000"},
                  "605#C11F280000000000",
                  129,
                  {"605#FF81828384858687"}},
        BlockCase{"Down4096",
                  Op::kDownload,
                  4096,
                  SdoMode::kBlock,
                  BlockFault::kNone,
                  0,
                  {"605#C600220000100000"},
                  "605#D99CF50000000000",
                  588},
        // Segment 3 lost: the acknowledgement says 2, and the segments from 3 on go again.
        BlockCase{"UpLostSegmentSentAgain",
                  Op::kUpload,
                  889,
                  SdoMode::kBlock,
                  BlockFault::kDrop3,
                  0,
                  {"605#A400220040000000", "605#A300000000000000", "605#A202400000000000",
                   "605#A240400000000000", "605#A23D400000000000", kUpEnd},
                  kUpEnd,
                  6},
        BlockCase{"DownLostSegmentSentAgain",
                  Op::kDownload,
                  128,
                  SdoMode::kBlock,
                  BlockFault::kDrop3,
                  0,
                  {"605#C600220080000000"},
                  "605#D50AE80000000000",
                  38,
                  {"605#030E0F1011121314", "605#010E0F1011121314"}},
        BlockCase{"UpWrongCrcAborted", Op::kUpload, 128, SdoMode::kBlock, BlockFault::kBadCrc,
                  0x05040004, kBlockUp, "605#8000220004000405", 4},
        BlockCase{"DownWrongCrcAbortedByTheNode",
                  Op::kDownload,
                  128,
                  SdoMode::kBlock,
                  BlockFault::kBadCrc,
                  0x05040004,
                  {"605#C600220080000000"},
                  "605#D50AE80000000000",
                  21},
        // A node without block transfer: kAuto goes again segmented, kBlock gives the abort.
        BlockCase{"UpFallBackToSegmented",
                  Op::kUpload,
                  128,
                  SdoMode::kAuto,
                  BlockFault::kNoBlock,
                  0,
                  {"605#A4002200403F0000", "605#4000220000000000", "605#6000000000000000"},
                  "605#6000000000000000",
                  21},
        BlockCase{"UpBlockOnlyRefused",
                  Op::kUpload,
                  128,
                  SdoMode::kBlock,
                  BlockFault::kNoBlock,
                  0x05040001,
                  {"605#A400220040000000"},
                  "605#A400220040000000",
                  1},
        // A node that answers a block request segmented: kBlock fails (and ends the node's
        // transfer), kAuto takes the value as it comes.
        BlockCase{"UpBlockOnlyAnsweredSegmented",
                  Op::kUpload,
                  128,
                  SdoMode::kBlock,
                  BlockFault::kSegmentedAnswer,
                  0x05040001,
                  {"605#A400220040000000"},
                  "605#8000220001000405",
                  2},
        BlockCase{"UpAutoAnsweredSegmented",
                  Op::kUpload,
                  128,
                  SdoMode::kAuto,
                  BlockFault::kSegmentedAnswer,
                  0,
                  {"605#A4002200403F0000", "605#6000000000000000", "605#7000000000000000"},
                  "605#6000000000000000",
                  20},
        BlockCase{"DownFallBackToSegmented",
                  Op::kDownload,
                  128,
                  SdoMode::kAuto,
                  BlockFault::kNoBlock,
                  0,
                  {"605#C600220080000000", "605#2100220080000000"},
                  "605#0B7E7F0000000000",
                  21},
        BlockCase{"DownBlockOnlyRefused",
                  Op::kDownload,
                  128,
                  SdoMode::kBlock,
                  BlockFault::kNoBlock,
                  0x05040001,
                  {"605#C600220080000000"},
                  "605#C600220080000000",
                  1},
        BlockCase{"UpTimeOut",
                  Op::kUpload,
                  128,
                  SdoMode::kBlock,
                  BlockFault::kSilent,
                  D_can::kSdoTimeout,
                  {"605#A400220040000000"},
                  "605#8000220000000405",
                  2},
        BlockCase{"DownTimeOut",
                  Op::kDownload,
                  128,
                  SdoMode::kBlock,
                  BlockFault::kSilent,
                  D_can::kSdoTimeout,
                  {"605#C600220080000000"},
                  "605#8000220000000405",
                  2},
        // kAuto: below the threshold of 64 the node may switch (protocol switch threshold 63),
        // and downloads go segmented.
        BlockCase{"AutoUpBelowThresholdSwitches",
                  Op::kUpload,
                  8,
                  SdoMode::kAuto,
                  BlockFault::kNone,
                  0,
                  {"605#A4002200403F0000", "605#6000000000000000", "605#7000000000000000"},
                  "605#7000000000000000",
                  3},
        BlockCase{"AutoUpAtThresholdByBlock",
                  Op::kUpload,
                  64,
                  SdoMode::kAuto,
                  BlockFault::kNone,
                  0,
                  {"605#A4002200403F0000", "605#A300000000000000"},
                  kUpEnd,
                  4},
        BlockCase{"AutoDownBelowThresholdSegmented",
                  Op::kDownload,
                  63,
                  SdoMode::kAuto,
                  BlockFault::kNone,
                  0,
                  {"605#210022003F000000"},
                  "605#0138393A3B3C3D3E",
                  10},
        BlockCase{"AutoDownAtThresholdByBlock",
                  Op::kDownload,
                  64,
                  SdoMode::kAuto,
                  BlockFault::kNone,
                  0,
                  {"605#C600220040000000"},
                  "605#D9F52B0000000000",
                  12},
        BlockCase{"SegmentedModeUpload",
                  Op::kUpload,
                  128,
                  SdoMode::kSegmented,
                  BlockFault::kNone,
                  0,
                  {"605#4000220000000000"},
                  "605#6000000000000000",
                  20}),
    [](const ::testing::TestParamInfo<BlockCase>& i) { return std::string(i.param.name); });

// After a node refused block transfer with 0x05040001, or answered a block request beyond the
// protocol switch threshold segmented, kAuto goes segmented at once; a kBlock transfer that
// works makes kAuto try block transfer again.
TEST_F(SdoTest, NodeWithoutBlockTransferIsRemembered) {
  start_sim("name");
  sim_->logic().set_object(0x2200, 0, sim::pattern_value(100));
  for (const bool answers_segmented : {false, true}) {
    SCOPED_TRACE(answers_segmented ? "answers segmented" : "aborts");
    auto refuse = [&](bool on) {
      if (answers_segmented) {
        sim_->logic().set_block_upload_segmented(on);
      } else {
        sim_->logic().set_block_transfer(!on);
      }
    };
    refuse(true);
    std::vector<uint8_t> v;
    ASSERT_EQ(node_->sdo_read(0x2200, 0, v), 0);
    vbus::clear_sent(kNet);
    ASSERT_EQ(node_->sdo_read(0x2200, 0, v), 0);
    ASSERT_EQ(node_->sdo_write(0x2200, 0, v), 0);
    EXPECT_EQ(requests().front(), "605#4000220000000000");
    EXPECT_EQ(requests()[16], "605#2100220064000000");
    refuse(false);
    ASSERT_EQ(node_->sdo_read(0x2200, 0, v, SdoMode::kBlock), 0);
    vbus::clear_sent(kNet);
    ASSERT_EQ(node_->sdo_read(0x2200, 0, v), 0);
    EXPECT_EQ(requests().front(), "605#A4002200403F0000");
    EXPECT_EQ(v.size(), 100u);
  }
}

TEST_F(SdoTest, BlockThresholdSetsTheProtocolSwitchThreshold) {
  start_sim("name");
  sim_->logic().set_object(0x2200, 0, "abc");
  EXPECT_EQ(node_->sdo_block_threshold(), 64u);
  std::vector<uint8_t> v;
  for (size_t threshold : {size_t{0}, size_t{1}, size_t{256}, size_t{100000}}) {
    node_->sdo_block_threshold(threshold);
    ASSERT_EQ(node_->sdo_read(0x2200, 0, v), 0);
  }
  EXPECT_EQ(v, (std::vector<uint8_t>{'a', 'b', 'c'}));
  const std::vector<std::string> sent = requests();
  const std::vector<std::string> inits{sent[0], sent[4], sent[8], sent[9]};
  EXPECT_EQ(inits, (std::vector<std::string>{"605#A400220040000000", "605#A400220040000000",
                                             "605#A400220040FF0000", "605#A400220040FF0000"}));
}

// The node answers as on a real bus (1 Mbit/s, its own thread) and loses a segment each way.
TEST_F(SdoTest, BlockTransferWithRealBusTiming) {
  start_sim("name");
  clock().set_wait_grace(10'000'000'000);
  sim_->set_timing(std::chrono::microseconds(50), 1'000'000);
  sim::NodeLogic& n = sim_->logic();
  const std::string big = sim::pattern_value(4096);
  n.set_object(0x2200, 0, big);
  n.drop_block_segment(100);
  std::vector<uint8_t> v;
  ASSERT_EQ(node_->sdo_read(0x2200, 0, v, SdoMode::kBlock), 0);
  EXPECT_EQ(std::string(v.begin(), v.end()), big);
  v.assign(big.rbegin(), big.rbegin() + 889);
  n.drop_block_segment(5);
  ASSERT_EQ(node_->sdo_write(0x2200, 0, v), 0);
  EXPECT_EQ(n.object(0x2200, 0), std::string(v.begin(), v.end()));
}

// --- Program download ---------------------------------------------------------------------------

enum class ProgramFault {
  kNone,
  kRefusedClear,
  kCrc,
  kBusy,
  kBusyTooLong,
  kHang,
  kNoBlock,
  kTiming,
  kNoFlashStatus,     // a node without 0x1F57: taken at its word
  kNoFlashStatusCrc,  // ... whose image was bad: the start is refused
  kNoControl,         // a node without 0x1F51: the stop fails
  kBadNumber,         // program 0: refused before any transfer
  kNoStart,           // downloaded, not started
  kFlashError         // busy for a while, then a flash error
};

struct ProgramCase {
  const char* name;
  ProgramFault fault;
  bool ok;
  std::string reason;
  bool boots;  // the node restarts into the new program at once
};
void PrintTo(const ProgramCase& c, std::ostream* os) {
  *os << c.name;
}

class ProgramTest : public SdoTest, public ::testing::WithParamInterface<ProgramCase> {};

TEST_P(ProgramTest, DownloadedStartedAndCheckedOrTheStepThatFailed) {
  const ProgramCase& c = GetParam();
  start_sim("name");
  Recorder rec(kNet);
  sim::NodeLogic& n = sim_->logic();
  n.enable_program_area(0x11111111);
  n.refuse_program_clear(c.fault == ProgramFault::kRefusedClear);
  n.set_program_crc_error(c.fault == ProgramFault::kCrc ||
                          c.fault == ProgramFault::kNoFlashStatusCrc ||
                          c.fault == ProgramFault::kFlashError);
  n.hang_on_program_start(c.fault == ProgramFault::kHang);
  n.set_flash_busy(c.fault == ProgramFault::kBusy          ? 5
                   : c.fault == ProgramFault::kBusyTooLong ? 1000
                                                           : 0);
  n.set_block_transfer(c.fault != ProgramFault::kNoBlock);
  if (c.fault == ProgramFault::kNoFlashStatus || c.fault == ProgramFault::kNoFlashStatusCrc) {
    n.remove_object(0x1F57, 1);
  }
  if (c.fault == ProgramFault::kFlashError) n.set_flash_busy(3);
  if (c.fault == ProgramFault::kNoControl) n.remove_object(0x1F51, 1);
  if (c.fault == ProgramFault::kTiming) {
    clock().set_wait_grace(10'000'000'000);
    sim_->set_timing(std::chrono::microseconds(50), 1'000'000);
  }
  const std::string image = sim::pattern_value(3000);
  const std::vector<uint8_t> bytes(image.begin(), image.end());
  std::vector<std::pair<size_t, size_t>> told;
  const canbus::ProgramResult r = canbus::download_program(
      *node_, bytes, c.fault == ProgramFault::kBadNumber ? 0 : 1, c.fault != ProgramFault::kNoStart,
      200, [&](size_t a, size_t b) { told.emplace_back(a, b); });
  EXPECT_EQ(r.ok, c.ok);
  EXPECT_EQ(r.reason, c.reason);
  const bool refused =
      c.fault == ProgramFault::kRefusedClear || c.fault == ProgramFault::kNoFlashStatusCrc;
  EXPECT_EQ(r.result, c.ok                                  ? 0
                      : refused                             ? 0x08000022
                      : c.fault == ProgramFault::kNoControl ? 0x06020000
                                                            : canbus::kProgramFlashError);
  const uint32_t crc = canbus::program_crc32(bytes.data(), bytes.size());
  // The CRC-32 every zlib gives for "123456789".
  EXPECT_EQ(canbus::program_crc32(reinterpret_cast<const uint8_t*>("123456789"), 9), 0xCBF43926u);
  // The progress is told at the start and the end of the data, and only when it went.
  const bool data_went = c.ok || c.fault == ProgramFault::kCrc ||
                         c.fault == ProgramFault::kNoFlashStatusCrc ||
                         c.fault == ProgramFault::kFlashError;
  using Told = std::vector<std::pair<size_t, size_t>>;
  EXPECT_EQ(told, (data_went ? Told{{0, 3000}, {3000, 3000}} : Told{}));
  EXPECT_EQ(r.bytes, data_went ? 3000u : 0u);
  if (c.fault == ProgramFault::kHang) {
    EXPECT_TRUE(rec.texts(0x705).empty());
    EXPECT_TRUE(n.silent());
    std::vector<uint8_t> v;
    EXPECT_EQ(node_->sdo_read(0x1F56, 1, v), D_can::kSdoTimeout);
    n.power_cycle();
  }
  std::vector<uint8_t> id;
  ASSERT_EQ(node_->sdo_read(0x1F56, 1, id), 0);
  // The node's answers keep their order: the boot-up came before the answer to that read.
  sim_->set_timing(std::chrono::nanoseconds(0));
  EXPECT_EQ(rec.texts(0x705),
            c.boots ? std::vector<std::string>{"705#00"} : std::vector<std::string>{});
  // A program that failed leaves the old one's id until the node restarts.
  const bool replaced = c.ok && c.fault != ProgramFault::kNoStart;
  const uint32_t want = replaced ? crc : 0x11111111;
  EXPECT_EQ(id, (std::vector<uint8_t>{uint8_t(want), uint8_t(want >> 8), uint8_t(want >> 16),
                                      uint8_t(want >> 24)}));
  char sw[16];
  std::snprintf(sw, sizeof sw, "crc-%08X", crc);
  EXPECT_EQ(n.object(0x100A, 0), replaced ? sw : "1.0.0");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProgramTest,
    ::testing::Values(
        ProgramCase{"Ok", ProgramFault::kNone, true, "", true},
        ProgramCase{"SegmentedWithoutBlockTransfer", ProgramFault::kNoBlock, true, "", true},
        ProgramCase{"RealBusTiming", ProgramFault::kTiming, true, "", true},
        ProgramCase{"BusyThenOk", ProgramFault::kBusy, true, "", true},
        ProgramCase{"RestartNeverComes", ProgramFault::kHang, true, "", false},
        ProgramCase{"RefusedClear", ProgramFault::kRefusedClear, false,
                    "clear: SDO abort 0x08000022: Data cannot be transferred or stored to the "
                    "application because of the present device state",
                    false},
        ProgramCase{"WrongCrc", ProgramFault::kCrc, false, "flash status: data format or CRC error",
                    false},
        ProgramCase{"FlashTimeOut", ProgramFault::kBusyTooLong, false,
                    "flash status: still busy after 200 ms", false},
        ProgramCase{"NoFlashStatusTakenAtItsWord", ProgramFault::kNoFlashStatus, true, "", true},
        ProgramCase{"NoFlashStatusBadImageStartRefused", ProgramFault::kNoFlashStatusCrc, false,
                    "start: SDO abort 0x08000022: Data cannot be transferred or stored to the "
                    "application because of the present device state",
                    false},
        ProgramCase{"NoProgramControl", ProgramFault::kNoControl, false,
                    "stop: SDO abort 0x06020000: Object does not exist in the object dictionary",
                    false},
        ProgramCase{"NumberOutOfRange", ProgramFault::kBadNumber, false,
                    "program: number 0 not 1..254", false},
        ProgramCase{"DownloadedNotStarted", ProgramFault::kNoStart, true, "", false},
        ProgramCase{"FlashErrorAfterBusy", ProgramFault::kFlashError, false,
                    "flash status: data format or CRC error", false}),
    [](const ::testing::TestParamInfo<ProgramCase>& i) { return std::string(i.param.name); });

TEST_F(SdoTest, ObjectAccessWithoutHandle) {
  auto detached = make_node(*loc_, "DETACHED", iiii(kLine, 6));
  char b[4] = {};
  EXPECT_EQ(detached->sdo_download(0x1017, 0, b, 2), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(detached->sdo_upload(0x1017, 0, b, sizeof b, nullptr), NTCAN_INVALID_HANDLE);
}

TEST(SdoResultText, CodesAndTexts) {
  EXPECT_EQ(sdo_result_text(0), "ok");
  EXPECT_EQ(sdo_result_text(D_can::kSdoTimeout), "SDO time-out");
  EXPECT_EQ(sdo_result_text(0x06020000),
            "SDO abort 0x06020000: Object does not exist in the object dictionary");
  EXPECT_EQ(sdo_result_text(0x08000024), "SDO abort 0x08000024: No data available");
  EXPECT_EQ(sdo_result_text(0x05040002), "SDO abort 0x05040002: Invalid block size");
  EXPECT_EQ(sdo_result_text(0x05040003), "SDO abort 0x05040003: Invalid sequence number");
  EXPECT_EQ(sdo_result_text(0x05040004), "SDO abort 0x05040004: CRC error");
  EXPECT_EQ(sdo_result_text(0x06ABCDEF), "SDO abort 0x06ABCDEF");
  EXPECT_EQ(sdo_result_text(NTCAN_INVALID_HANDLE), can_error_str(NTCAN_INVALID_HANDLE));
}

// --- Text check -------------------------------------------------------------------------------

struct AsciiCase {
  const char* name;
  std::string in;
  int result;
  std::string out;
};
void PrintTo(const AsciiCase& c, std::ostream* os) {
  *os << c.name;
}

class CheckAsciiTest : public SdoTest, public ::testing::WithParamInterface<AsciiCase> {};

TEST_P(CheckAsciiTest, CutAtTheFirstNonPrintableByte) {
  std::vector<char> text(GetParam().in.begin(), GetParam().in.end());
  text.push_back('\0');
  EXPECT_EQ(node_->check_ascii(text.data()), GetParam().result);
  EXPECT_EQ(std::string(text.data()), GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(Texts, CheckAsciiTest,
                         ::testing::Values(AsciiCase{"Empty", "", 0, ""},
                                           AsciiCase{"Printable", " ~Name 1.0", 0, " ~Name 1.0"},
                                           AsciiCase{"CrLf", "abc\r\ndef", -1, "abc"},
                                           AsciiCase{"Tab", "a\tb", -1, "a"},
                                           AsciiCase{"Delete", "ab\x7f", -1, "ab"},
                                           AsciiCase{"HighByte", "\xc3\xa4x", -1, ""}),
                         [](const ::testing::TestParamInfo<AsciiCase>& i) {
                           return std::string(i.param.name);
                         });

TEST_F(SdoTest, CheckAsciiRefusesNull) {
  EXPECT_EQ(node_->check_ascii(nullptr), -1);
}

TEST_F(SdoTest, CheckAsciiLooksAtTenThousandBytesAtMost) {
  std::string text(10001, 'x');
  text[10000] = '\n';
  EXPECT_EQ(node_->check_ascii(text.data()), 0);
  EXPECT_EQ(text[10000], '\n');
  text[9999] = '\n';
  EXPECT_EQ(node_->check_ascii(text.data()), -1);
  EXPECT_EQ(text[9999], '\0');
}

}  // namespace
}  // namespace canbus_test
