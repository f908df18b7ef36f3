#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "D_esdcan.h"

namespace {

// A driver result as callers pass it: the signed 32-bit value widened with its sign.
unsigned long widened(int32_t r) {
  return static_cast<unsigned long>(static_cast<long>(r));
}

struct ErrorStrCase {
  unsigned long status;
  const char* text;
};

class CanErrorStr : public ::testing::TestWithParam<ErrorStrCase> {};

TEST_P(CanErrorStr, NameThenHexValue) {
  EXPECT_EQ(can_error_str(GetParam().status), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Results, CanErrorStr,
    ::testing::Values(
        ErrorStrCase{384, "NTCAN_SOCK_CONN_TIMEOUT(0x00000180)"},
        ErrorStrCase{0, "NTCAN_SUCCESS(0x00000000)"}, ErrorStrCase{5, "NTCAN_UNKNOWN(0x00000005)"},
        ErrorStrCase{0xFFFFFFFFul, "NTCAN_UNKNOWN(0xffffffff)"},
        ErrorStrCase{widened(-1), "NTCAN_UNKNOWN(0xffffffffffffffff)"},
        ErrorStrCase{widened(-384), "NTCAN_UNKNOWN(0xfffffffffffffe80)"},
        // First, middle and last rows before the end marker; rows out of numeric order.
        ErrorStrCase{257, "NTCAN_RX_TIMEOUT(0x00000101)"},
        ErrorStrCase{266, "NTCAN_ID_ALREADY_ENABLED(0x0000010a)"},
        ErrorStrCase{77, "NTCAN_INVALID_HANDLE(0x0000004d)"},
        ErrorStrCase{19, "NTCAN_NET_NOT_FOUND(0x00000013)"},
        ErrorStrCase{4, "NTCAN_OPERATION_ABORTED(0x00000004)"},
        ErrorStrCase{12, "NTCAN_INSUFFICIENT_RESOURCES(0x0000000c)"},
        ErrorStrCase{386, "NTCAN_SOCK_HOST_NOT_FOUND(0x00000182)"},
        // Codes near table rows but not in it, and one above 32 bits.
        ErrorStrCase{259, "NTCAN_UNKNOWN(0x00000103)"},
        ErrorStrCase{387, "NTCAN_UNKNOWN(0x00000183)"},
        ErrorStrCase{0x100000180ul, "NTCAN_UNKNOWN(0x100000180)"}));

}  // namespace
