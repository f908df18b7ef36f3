// Test controls of the virtual-bus backend (C++ only; not part of the driver's C API).
//
// A net of the virtual bus carries frames between the handles opened on it and the simulated
// devices attached to it. Tests use these functions to act as devices, to script driver results
// and to check that no handle leaks.
//
// How the virtual bus answers the C calls (NTCAN_BACKEND unset, empty or "virtual"):
//  - canOpen: net 0..19, else NTCAN_NET_NOT_FOUND; flags, txqueuesize and txtimeout are
//    accepted and ignored (canSend never blocks). rxqueuesize is the receive queue in frames,
//    <= 0 means kDefaultRxQueue, above kMaxRxQueue is NTCAN_INVALID_PARAMETER. Handles count
//    up from 1 and are never reused within the process.
//  - canRead returns the frames queued at once (up to the count given); when none is queued
//    it waits in real time up to rxtimeout ms, rxtimeout <= 0 meaning no wait, then returns
//    NTCAN_RX_TIMEOUT with count 0. A canClose (or reset) of the handle wakes it with
//    NTCAN_OPERATION_ABORTED. canReadTimeout waits the same way up to its own time-out.
//    canTake never waits: NTCAN_SUCCESS with count 0 when empty.
//  - A frame reaches every other handle of the net that enabled its identifier, in one order
//    for all of them. A full queue drops the new frame; the loss shows in msg_lost of the next
//    frame that enters that queue (saturating at 255) and in lost().
//  - canSend refuses the whole array (NTCAN_INVALID_PARAMETER, count 0) if any frame has an
//    identifier outside 0..0x7FF or a data length above 8. Frames travel normalised: only the
//    data length and the remote bit (0x10) stay in len, data bytes past the length are zero.
//  - canSetBaudrate accepts codes 0..14 and records them (baudrate(), canGetBaudrate); a net
//    that was never given one says NTCAN_NO_BAUDRATE. canStatus reports the
//    net's board status (set_board_status()).
//  - canClose always closes a valid handle; a scripted non-zero result is returned all the
//    same, the handle being gone (callers treat a failed close as closed).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "ntcan.h"

namespace vbus {

constexpr int kNets = 20;                 // nets 0..19
constexpr int32_t kDefaultRxQueue = 100;  // frames, for rxqueuesize <= 0
constexpr int32_t kMaxRxQueue = 1 << 20;  // frames (16 MiB of queue)
// Frames kept per net by sent() unless set_sent_limit() says otherwise; the oldest go first.
// Small, so that a long-running process on the virtual bus keeps a flat memory footprint.
constexpr size_t kSentLogLimit = 4096;

// A device sees every frame sent on its net by a handle (canSend) or by another device
// (inject), in order. It is called in the sender's thread, outside the bus's locks, and may
// answer at once with inject(). Calls from different sending threads may overlap: a device
// that keeps state protects it itself. An exception out of a device is dropped.
using DeviceFn = std::function<void(int net, const CMSG& frame)>;

// Puts `frame` on `net` as a device would: every handle of the net that enabled its identifier
// receives it, and every device but `from_device` sees it. Ignored while the net is down, and
// for a net outside 0..kNets-1, an identifier outside 0..0x7FF or a data length above 8.
void inject(int net, const CMSG& frame, int from_device = 0);
// Attaches a device; returns its id (> 0).
int attach_device(int net, DeviceFn fn);
// Detaches a device; when it returns, the device's function is no longer running or called
// (except by calls further up the detaching thread's own stack, when a device detaches from
// inside a device call).
void detach_device(int id);

// The frames sent on `net` by handles (canSend), in order, normalised (the last kSentLogLimit,
// or as many as set_sent_limit() asked for).
std::vector<CMSG> sent(int net);
void clear_sent(int net);
// Frames sent() keeps per net from now on (0: none); reset() restores kSentLogLimit. A test that
// checks more frames than that raises it first.
void set_sent_limit(size_t frames);

// Scripted results: each call of the named function on `net` consumes the first scripted result
// and returns it instead of doing its work when it is non-zero (0 lets that call run normally).
// When the script is used up, calls behave normally again. Each call replaces the function's
// script on that net. Only calls that reach the net consume: a canOpen with a net outside
// 0..kNets-1, or a call with an unknown handle, leaves the script as it is.
void script_open(int net, std::vector<NTCAN_RESULT> results);
void script_baudrate(int net, std::vector<NTCAN_RESULT> results);
void script_status(int net, std::vector<NTCAN_RESULT> results);
void script_close(int net, std::vector<NTCAN_RESULT> results);

void set_board_status(int net, uint32_t status);
// Baud-rate code last set on `net` with canSetBaudrate (-1 if never).
int baudrate(int net);

// A net that is down refuses canOpen (NTCAN_NET_NOT_FOUND), fails canStatus
// (NTCAN_CONTR_OFF_BUS), canSend (NTCAN_CONTR_OFF_BUS) and carries no frames. Handles stay open.
void set_net_down(int net, bool down);

// Number of handles open now, over all nets, and on one net.
int open_handles();
int open_handles(int net);
// Identifiers enabled on a handle, ascending (empty for an unknown handle).
std::vector<int32_t> enabled_ids(NTCAN_HANDLE h);
// Frames dropped so far because the handle's receive queue was full (0 for an unknown handle);
// unlike msg_lost it does not saturate.
uint64_t lost(NTCAN_HANDLE h);
// Waits in real time, at most `real_timeout_ms`, until at least `n` threads wait in canRead on
// the handle; returns whether they do. Lets a test act on a blocked reader without sleeping.
bool wait_for_readers(NTCAN_HANDLE h, int n, int real_timeout_ms = 10000);

// Closes every handle, detaches every device, clears logs, scripts and states. Handle numbers
// keep growing: a handle is never reused within a process.
void reset();

}  // namespace vbus
