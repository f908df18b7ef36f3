// Emergency decoding: every error code class with its sub-classes and single codes, codes that
// belong to no class, the error register bits, and frames of every length.
#include <gtest/gtest.h>

#include <string>

#include "D_esdcan.h"
#include "support/frames.h"

namespace canbus_test {
namespace {

using canbus::emcy_code_text;

TEST(EmcyDecode, EveryClassAndItsSubCodes) {
  const struct {
    uint16_t code;
    const char* text;
  } table[] = {
      {0x0000, "error reset or no error"},
      {0x00FF, "error reset or no error"},
      {0x1000, "generic error"},
      {0x2000, "current"},
      {0x2110, "current, device input side"},
      {0x2200, "current, inside the device"},
      {0x2310, "current, device output side"},
      {0x2400, "current"},
      {0x3000, "voltage"},
      {0x3110, "voltage, mains"},
      {0x3210, "voltage, inside the device"},
      {0x3310, "voltage, output"},
      {0x4000, "temperature"},
      {0x4110, "temperature, ambient"},
      {0x4210, "temperature, device"},
      {0x5000, "device hardware"},
      {0x6000, "device software"},
      {0x6100, "device software, internal software"},
      {0x6200, "device software, user software"},
      {0x6300, "device software, data set"},
      {0x7000, "additional modules"},
      {0x8000, "monitoring"},
      {0x8100, "monitoring, communication"},
      {0x8110, "monitoring, communication: CAN overrun (objects lost)"},
      {0x8120, "monitoring, communication: CAN in error passive mode"},
      {0x8130, "monitoring, communication: life guard or heartbeat error"},
      {0x8140, "monitoring, communication: recovered from bus off"},
      {0x8150, "monitoring, communication: CAN-ID collision"},
      {0x8160, "monitoring, communication"},
      {0x8200, "monitoring, protocol error"},
      {0x8210, "monitoring, protocol error: PDO not processed due to length error"},
      {0x8220, "monitoring, protocol error: PDO length exceeded"},
      {0x8230,
       "monitoring, protocol error: DAM MPDO not processed, destination object not "
       "available"},
      {0x8240, "monitoring, protocol error: unexpected SYNC data length"},
      {0x8250, "monitoring, protocol error: RPDO time-out"},
      {0x8300, "monitoring"},
      {0x9000, "external error"},
      {0xF000, "additional functions"},
      {0xFF00, "device specific"},
      {0xFFFF, "device specific"},
      // Two-digit classes own only their xx00..xxFF range; A..E are not classes.
      {0x1100, "unknown error code"},
      {0x5100, "unknown error code"},
      {0x7100, "unknown error code"},
      {0x9100, "unknown error code"},
      {0xA000, "unknown error code"},
      {0xE123, "unknown error code"},
      {0xF100, "unknown error code"},
  };
  for (const auto& c : table) {
    EXPECT_EQ(emcy_code_text(c.code), c.text) << std::hex << c.code;
  }
}

TEST(EmcyDecode, RegisterBits) {
  EXPECT_EQ(canbus::emcy_register_text(0x00), "no error");
  EXPECT_EQ(canbus::emcy_register_text(0x01), "generic");
  EXPECT_EQ(canbus::emcy_register_text(0x05), "generic, voltage");
  EXPECT_EQ(canbus::emcy_register_text(0x1A), "current, temperature, communication");
  EXPECT_EQ(canbus::emcy_register_text(0xE0), "device profile, reserved, manufacturer");
}

// Short frames give zeros for the bytes they lack; the vendor bytes are kept as sent; a length
// byte above 8 (a remote request's flag) never reads past the 8 data bytes.
TEST(EmcyDecode, FramesOfEveryLength) {
  CMSG full = make_frame(0x85, {0x10, 0x32, 0x05, 0x01, 0x02, 0x03, 0x04, 0xFF});
  canbus::Emcy e = canbus::emcy_from_frame(full);
  EXPECT_EQ(e.code, 0x3210);
  EXPECT_EQ(e.reg, 0x05);
  EXPECT_EQ(e.vendor_len, 5);
  EXPECT_EQ(canbus::emcy_text(e),
            "0x3210 voltage, inside the device; register 0x05 (generic, voltage); vendor 01 02 03 "
            "04 FF");

  CMSG shorter = full;
  shorter.len = 4;
  e = canbus::emcy_from_frame(shorter);
  EXPECT_EQ(e.vendor_len, 1);
  EXPECT_EQ(e.vendor[1], 0);
  EXPECT_EQ(canbus::emcy_text(e),
            "0x3210 voltage, inside the device; register 0x05 (generic, voltage); vendor 01");

  shorter.len = 1;
  e = canbus::emcy_from_frame(shorter);
  EXPECT_EQ(e.code, 0x0010);
  EXPECT_EQ(e.reg, 0);
  EXPECT_EQ(canbus::emcy_text(e), "0x0010 error reset or no error; register 0x00 (no error)");

  CMSG flagged = full;
  flagged.len = 0x1F;
  e = canbus::emcy_from_frame(flagged);
  EXPECT_EQ(e.vendor_len, 5);
  EXPECT_EQ(e.vendor[4], 0xFF);
}

}  // namespace
}  // namespace canbus_test
