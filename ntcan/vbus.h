// Test controls of the virtual-bus backend (C++ only; not part of the driver's C API).
//
// A net of the virtual bus carries frames between the handles opened on it and the simulated
// devices attached to it. Tests use these functions to act as devices, to script driver results
// and to check that no handle leaks.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "ntcan.h"

namespace vbus {

constexpr int kNets = 20;  // nets 0..19

// A device sees every frame sent on its net by a handle (canSend) or by another device
// (inject), in order. It is called in the sender's thread, outside the bus's locks, and may
// answer at once with inject().
using DeviceFn = std::function<void(int net, const CMSG& frame)>;

// Puts `frame` on `net` as a device would: every handle of the net that enabled its identifier
// receives it, and every device but `from_device` sees it. Ignored while the net is down.
void inject(int net, const CMSG& frame, int from_device = 0);
// Attaches a device; returns its id (> 0).
int attach_device(int net, DeviceFn fn);
// Detaches a device; when it returns, the device's function is no longer running or called.
void detach_device(int id);

// The frames sent on `net` by handles (canSend), in order.
std::vector<CMSG> sent(int net);
void clear_sent(int net);

// Scripted results: each call of the named function on `net` consumes the first scripted result
// and returns it instead of doing its work when it is non-zero (0 lets that call run normally).
// When the script is used up, calls behave normally again.
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
// Identifiers enabled on a handle (empty for an unknown handle).
std::vector<int32_t> enabled_ids(NTCAN_HANDLE h);

// Closes every handle, detaches every device, clears logs, scripts and states. Handle numbers
// keep growing: a handle is never reused within a process.
void reset();

}  // namespace vbus
