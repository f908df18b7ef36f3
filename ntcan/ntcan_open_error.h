/* Extension of this driver: why a canOpen failed, in words.
 *
 * Not part of the published NTCAN interface (code built against a vendor driver does without
 * it: test for NTCAN_HAS_OPEN_ERROR). A result code such as NTCAN_NET_NOT_FOUND says neither
 * which device the net stands for nor what the system answered; the backend that refused the
 * open says so here, e.g. for SocketCAN `SocketCAN: interface "can0" for net 0: No such
 * device`.
 *
 *  - canOpenError: the text of the calling thread's last canOpen, into `text` (cut to size - 1
 *    bytes, always terminated). Empty when that canOpen succeeded, when the thread has not
 *    called canOpen, or when the backend has nothing to add to the result code (the virtual
 *    bus). NTCAN_INVALID_PARAMETER for a null text or a size of 0, else NTCAN_SUCCESS.
 * Per thread, so that the text read right after a failed canOpen is the one of that call,
 * whatever other threads open meanwhile.
 */
#ifndef CANBUS_NTCAN_OPEN_ERROR_H
#define CANBUS_NTCAN_OPEN_ERROR_H

#include <stddef.h>

#include "ntcan.h"

#ifdef __cplusplus
extern "C" {
#endif

#define NTCAN_HAS_OPEN_ERROR 1

NTCAN_RESULT canOpenError(char* text, size_t size);

#ifdef __cplusplus
}
#endif

#endif /* CANBUS_NTCAN_OPEN_ERROR_H */
