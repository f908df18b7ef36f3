/* NTCAN-compatible CAN driver API.
 *
 * The calls and types keep the signatures of the published NTCAN interface, so that code written
 * against it builds with this driver or with a vendor installation. The backend behind the calls
 * is chosen at run time by the environment variable NTCAN_BACKEND: "virtual" (the default, an
 * in-process virtual bus) or "socketcan".
 */
#ifndef CANBUS_NTCAN_H
#define CANBUS_NTCAN_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t NTCAN_HANDLE;
typedef int32_t NTCAN_RESULT;
typedef struct _OVERLAPPED OVERLAPPED; /* asynchronous I/O is not supported: pass NULL */

#define NTCAN_NO_HANDLE ((NTCAN_HANDLE)-1)

/* One CAN frame; also the stride of frame arrays. */
typedef struct {
  int32_t id;       /* 11-bit CAN identifier */
  uint8_t len;      /* data length code 0..8; bit 0x10 marks a remote request */
  uint8_t msg_lost; /* frames lost in the receive queue before this one (saturates at 255) */
  uint8_t reserved[2];
  uint8_t data[8];
} CMSG;

#define NTCAN_RTR 0x10 /* in CMSG.len */

typedef struct {
  uint16_t hardware;
  uint16_t firmware;
  uint16_t driver;
  uint16_t dll;
  uint32_t boardstatus;
  uint8_t boardid[14];
  uint16_t features;
} CAN_IF_STATUS;

/* Results. */
#define NTCAN_SUCCESS 0x000
#define NTCAN_OPERATION_ABORTED 0x004
#define NTCAN_INSUFFICIENT_RESOURCES 0x00C
#define NTCAN_NET_NOT_FOUND 0x013
#define NTCAN_INVALID_PARAMETER 0x016
#define NTCAN_INVALID_HANDLE 0x04D
#define NTCAN_RX_TIMEOUT 0x101
#define NTCAN_TX_TIMEOUT 0x102
#define NTCAN_TX_ERROR 0x104
#define NTCAN_CONTR_OFF_BUS 0x105
#define NTCAN_CONTR_BUSY 0x106
#define NTCAN_CONTR_WARN 0x107
#define NTCAN_NO_ID_ENABLED 0x109
#define NTCAN_ID_ALREADY_ENABLED 0x10A
#define NTCAN_ID_NOT_ENABLED 0x10B
#define NTCAN_INVALID_FIRMWARE 0x10D
#define NTCAN_MESSAGE_LOST 0x10E
#define NTCAN_INVALID_HARDWARE 0x10F
#define NTCAN_PENDING_WRITE 0x110
#define NTCAN_PENDING_READ 0x111
#define NTCAN_INVALID_DRIVER 0x112
#define NTCAN_WRONG_DEVICE_STATE 0x113
#define NTCAN_SOCK_CONN_TIMEOUT 0x180
#define NTCAN_SOCK_CMD_TIMEOUT 0x181
#define NTCAN_SOCK_HOST_NOT_FOUND 0x182

/* Baud-rate codes accepted by canSetBaudrate (index into the standard table). */
#define NTCAN_BAUD_1000 0
#define NTCAN_BAUD_800 14
#define NTCAN_BAUD_500 2
#define NTCAN_BAUD_250 4
#define NTCAN_BAUD_125 6
#define NTCAN_BAUD_100 7
#define NTCAN_BAUD_50 9
#define NTCAN_BAUD_20 11
#define NTCAN_BAUD_10 13
/* canGetBaudrate of a net whose bit rate was never set (or that the driver cannot tell). */
#define NTCAN_NO_BAUDRATE 0x7FFFFFFF

NTCAN_RESULT canOpen(int net, uint32_t flags, int32_t txqueuesize, int32_t rxqueuesize,
                     int32_t txtimeout, int32_t rxtimeout, NTCAN_HANDLE* handle);
NTCAN_RESULT canClose(NTCAN_HANDLE handle);
NTCAN_RESULT canSetBaudrate(NTCAN_HANDLE handle, uint32_t baud);
/* The baud-rate code last set on the handle's net, or NTCAN_NO_BAUDRATE. */
NTCAN_RESULT canGetBaudrate(NTCAN_HANDLE handle, uint32_t* baud);
NTCAN_RESULT canStatus(NTCAN_HANDLE handle, CAN_IF_STATUS* cstat);
NTCAN_RESULT canIdAdd(NTCAN_HANDLE handle, int32_t id);
NTCAN_RESULT canIdDelete(NTCAN_HANDLE handle, int32_t id);
NTCAN_RESULT canSend(NTCAN_HANDLE handle, CMSG* cmsg, int32_t* len);
NTCAN_RESULT canRead(NTCAN_HANDLE handle, CMSG* cmsg, int32_t* len, OVERLAPPED* ovrlppd);
NTCAN_RESULT canTake(NTCAN_HANDLE handle, CMSG* cmsg, int32_t* len);

/* Extension of this driver: canRead with a time-out of its own, `timeout_us` microseconds
 * (<= 0: no wait), instead of the handle's receive time-out. Returns the frames queued at once;
 * when none is, it waits until a frame arrives or the time-out has passed (then NTCAN_RX_TIMEOUT
 * with count 0). canClose wakes it with NTCAN_OPERATION_ABORTED. Lets a caller wait for a reply
 * up to its own deadline with one wake-up per frame. */
#define NTCAN_HAS_READ_TIMEOUT 1
NTCAN_RESULT canReadTimeout(NTCAN_HANDLE handle, CMSG* cmsg, int32_t* len, int64_t timeout_us);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
static_assert(sizeof(CMSG) == 16, "CMSG must be 16 bytes");
#else
_Static_assert(sizeof(CMSG) == 16, "CMSG must be 16 bytes");
#endif

#endif /* CANBUS_NTCAN_H */
