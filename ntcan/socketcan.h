// Pieces of the SocketCAN backend (socketcan.cpp) that do not need a CAN interface, exposed so
// that they can be tested on any host. Not part of the driver's C API.
#pragma once

#include <linux/can.h>

#include <cstdint>
#include <string>

#include "ntcan.h"

namespace ntcan::socketcan {

// boardstatus of canStatus: the controller state its error frames last reported.
constexpr uint32_t kBoardErrorActive = 0;
constexpr uint32_t kBoardErrorWarning = 1;
constexpr uint32_t kBoardErrorPassive = 2;

// Default pattern for interface names; "%d" stands for the net number.
constexpr const char* kDefaultIfnamePattern = "can%d";

// Bytes one waiting frame takes from a socket's receive buffer (the kernel's "truesize" of a
// CAN frame's buffer on x86_64 Linux 6.x); sizes the socket's buffer from the queue size.
constexpr int kBytesPerQueuedFrame = 768;

// The interface name of `net`: the value of NTCAN_SOCKETCAN_IF<net> if it is set and not empty,
// else the pattern NTCAN_SOCKETCAN_IFNAME (default "can%d") with its first "%d" replaced by the
// net number. Empty when the net is negative or the name would not fit an interface name
// (15 characters).
std::string interface_name(int net);

// The SocketCAN frame of a checked driver frame (identifier 0..0x7FF, data length 0..8): the
// remote bit 0x10 of len becomes CAN_RTR_FLAG, a remote frame keeps its data length code and
// carries no data.
can_frame to_can_frame(const CMSG& m);

// The driver frame of a received SocketCAN frame; false for frames the driver does not deliver
// (29-bit identifiers, error frames). msg_lost is left 0; data bytes past the length are zero.
bool from_can_frame(const can_frame& f, CMSG* m);

// The msg_lost value of a delivered frame: frames dropped since the previous one, saturating.
inline uint8_t lost_count(uint64_t dropped) {
  return dropped > 255 ? uint8_t{255} : static_cast<uint8_t>(dropped);
}

}  // namespace ntcan::socketcan
