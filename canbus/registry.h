// Process-wide state of the library, private to it (and to its tests).
#pragma once

#include <vector>

#include "D_esdcan.h"

// The node registry: the masters, in the order in which they attached. Guarded by
// D_can::mx_loop.
extern std::vector<D_can*> can_list;
// Directly attached properties (init()), renewed by the receive cycle after a line outage, and
// followers whose master left (orphans), attached again by the cycle. Guarded by D_can::mx_loop.
extern std::vector<D_can*> direct_list;
extern std::vector<D_can*> orphan_list;
// The line registry: one line per line number, in creation order. Guarded by line_list_mx.
extern std::vector<canline*> canline_list;
extern std::mutex line_list_mx;
// The own handle of line `line` (lines live until the process ends; their supervision thread
// renews the handle); -1 when there is no such line.
NTCAN_HANDLE canline_handle(int line);
// One frame from the line's own handle (the producers of the master, NMT to every node): 0, or
// the driver's result (NTCAN_INVALID_HANDLE without an open line).
int canline_send(int line, const CMSG& frame);

// The receive cycle for the buffers of some node properties only (the node monitor's cycle
// woken by arrivals): each of the `n` properties that is a registered master, and the master
// of each follower, is renewed and filled as can_looping does it; every other buffer stays as
// it is. The properties must stay alive during the call. Returns the masters filled.
int can_looping_nodes(D_can* const* props, size_t n);

// Tells the node monitor's waiting receive cycle (if one runs woken by arrivals) that frames for
// the master of `handle` wait outside the driver's queue or were not taken at their arrival:
// the SDO client's frames set aside, the queue it leaves at the end of a transfer. Cheap when
// no monitor runs; never blocks on the monitor.
void canbus_post_arrival(NTCAN_HANDLE handle);

// The supervision thread of a line.
void* can_control(void* ip);

// Test support: stops every line's supervision thread (the caller makes their pauses end, for
// instance by shutting a virtual clock down first), closes and deletes the lines, empties both
// registries and forgets the .DEBUG_ID property. Node properties must be destroyed before.
void canbus_reset_for_tests();
