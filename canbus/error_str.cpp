// Texts of driver results for log lines and device servers.
#include <cstdint>
#include <cstdio>
#include <string>

#include "D_esdcan.h"

namespace {

struct ERR2STR {
  uint64_t ntstatus;
  const char* str;
};

constexpr uint64_t kEndMarker = 0xFFFFFFFFu;

// Searched front to back, first match wins; the end marker names every code not listed.
constexpr ERR2STR err2str[] = {
    {NTCAN_SUCCESS, "NTCAN_SUCCESS"},
    {NTCAN_RX_TIMEOUT, "NTCAN_RX_TIMEOUT"},
    {NTCAN_TX_TIMEOUT, "NTCAN_TX_TIMEOUT"},
    {NTCAN_TX_ERROR, "NTCAN_TX_ERROR"},
    {NTCAN_CONTR_OFF_BUS, "NTCAN_CONTR_OFF_BUS"},
    {NTCAN_CONTR_BUSY, "NTCAN_CONTR_BUSY"},
    {NTCAN_CONTR_WARN, "NTCAN_CONTR_WARN"},
    {NTCAN_NO_ID_ENABLED, "NTCAN_NO_ID_ENABLED"},
    {NTCAN_ID_ALREADY_ENABLED, "NTCAN_ID_ALREADY_ENABLED"},
    {NTCAN_ID_NOT_ENABLED, "NTCAN_ID_NOT_ENABLED"},
    {NTCAN_INVALID_FIRMWARE, "NTCAN_INVALID_FIRMWARE"},
    {NTCAN_MESSAGE_LOST, "NTCAN_MESSAGE_LOST"},
    {NTCAN_INVALID_PARAMETER, "NTCAN_INVALID_PARAMETER"},
    {NTCAN_INVALID_HANDLE, "NTCAN_INVALID_HANDLE"},
    {NTCAN_NET_NOT_FOUND, "NTCAN_NET_NOT_FOUND"},
    {NTCAN_INVALID_HARDWARE, "NTCAN_INVALID_HARDWARE"},
    {NTCAN_PENDING_WRITE, "NTCAN_PENDING_WRITE"},
    {NTCAN_PENDING_READ, "NTCAN_PENDING_READ"},
    {NTCAN_INVALID_DRIVER, "NTCAN_INVALID_DRIVER"},
    {NTCAN_OPERATION_ABORTED, "NTCAN_OPERATION_ABORTED"},
    {NTCAN_WRONG_DEVICE_STATE, "NTCAN_WRONG_DEVICE_STATE"},
    {NTCAN_INSUFFICIENT_RESOURCES, "NTCAN_INSUFFICIENT_RESOURCES"},
    {NTCAN_SOCK_CONN_TIMEOUT, "NTCAN_SOCK_CONN_TIMEOUT"},
    {NTCAN_SOCK_CMD_TIMEOUT, "NTCAN_SOCK_CMD_TIMEOUT"},
    {NTCAN_SOCK_HOST_NOT_FOUND, "NTCAN_SOCK_HOST_NOT_FOUND"},
    {kEndMarker, "NTCAN_UNKNOWN"},
};

static_assert(sizeof(err2str) / sizeof(err2str[0]) == 26, "result table changed size");

}  // namespace

std::string can_error_str(unsigned long ntstatus) {
  const ERR2STR* row = err2str;
  while (row->ntstatus != ntstatus && row->ntstatus != kEndMarker) ++row;
  // A negative driver result arrives sign-extended and prints with all sixteen digits.
  char value[32];
  std::snprintf(value, sizeof value, "(0x%08lx)", ntstatus);
  return std::string(row->str) + value;
}
