/* Extension of this driver: waiting for frames to arrive on any of a set of handles.
 *
 * Not part of the published NTCAN interface (code built against a vendor driver does without
 * it: test for NTCAN_HAS_WATCHER). One thread that serves many handles (the node monitor's
 * receive cycle) sleeps until a frame enters the receive queue of one of them, instead of
 * looking at every handle on a fixed period, and learns which handles got frames.
 *
 * A watcher holds a set of handles; a handle belongs to at most one watcher. The calls:
 *  - canWatcherCreate / canWatcherDestroy: a new watcher, and its end (its handles are left
 *    as they are, only no longer watched). Destroy must not race a wait on the same watcher.
 *  - canWatcherAdd: watches `handle`. NTCAN_INVALID_DRIVER when the backend cannot tell
 *    arrivals (the caller falls back to looking periodically); NTCAN_WRONG_DEVICE_STATE when
 *    another watcher has it; NTCAN_INVALID_HANDLE for a handle that is not open. Adding a
 *    handle twice to one watcher succeeds. A closed handle leaves its watcher by itself.
 *  - canWatcherRemove: the handle is no longer watched (NTCAN_SUCCESS also when it was not).
 *  - canWatcherWait: the handles that received a frame since the previous wait (each once,
 *    up to *count of them; the rest are kept for the next wait) into `ready`, *count set to
 *    their number. When there are none it waits up to `timeout_us` microseconds (<= 0: no
 *    wait) for one, or for canWatcherPost. NTCAN_SUCCESS with a count of 0 or more when woken,
 *    NTCAN_RX_TIMEOUT with count 0 when the time passed. A handle is reported when a frame
 *    entered its queue; the frames themselves stay in the queue for canTake/canRead.
 *  - canWatcherQuiet: frames with identifier `id` (0..0x7FF) do not count as arrivals on
 *    any handle of the watcher while `quiet` is non-zero (a supervisor's own heartbeats, say);
 *    they are queued as ever and reported with the next frame that counts.
 *  - canWatcherPost: from any thread, makes the running (or next) wait return at once; with a
 *    handle > 0 that handle is reported as if a frame had arrived on it (a reader that set
 *    frames aside for the waiter's thread says so this way); with 0 nothing is reported.
 * Every call is safe from any thread; one thread waits on a watcher at a time.
 */
#ifndef CANBUS_NTCAN_WAIT_H
#define CANBUS_NTCAN_WAIT_H

#include "ntcan.h"

#ifdef __cplusplus
extern "C" {
#endif

#define NTCAN_HAS_WATCHER 1

typedef struct NtcanWatcher* NTCAN_WATCHER;

NTCAN_RESULT canWatcherCreate(NTCAN_WATCHER* watcher);
NTCAN_RESULT canWatcherDestroy(NTCAN_WATCHER watcher);
NTCAN_RESULT canWatcherAdd(NTCAN_WATCHER watcher, NTCAN_HANDLE handle);
NTCAN_RESULT canWatcherRemove(NTCAN_WATCHER watcher, NTCAN_HANDLE handle);
NTCAN_RESULT canWatcherWait(NTCAN_WATCHER watcher, NTCAN_HANDLE* ready, int32_t* count,
                            int64_t timeout_us);
NTCAN_RESULT canWatcherQuiet(NTCAN_WATCHER watcher, int32_t id, int quiet);
NTCAN_RESULT canWatcherPost(NTCAN_WATCHER watcher, NTCAN_HANDLE handle);

#ifdef __cplusplus
}
#endif

#endif /* CANBUS_NTCAN_WAIT_H */
