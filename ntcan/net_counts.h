// Frames per net, counted by the driver's C calls (ntcan.cpp) for any backend: what a server
// shows of a line's traffic. The counters are relaxed atomics; reading them never waits.
#pragma once

#include <cstdint>

namespace ntcan {

constexpr int kCountedNets = 64;  // nets 0..63

struct NetCounts {
  uint64_t sent = 0;      // frames canSend sent on handles of the net
  uint64_t received = 0;  // frames canRead, canReadTimeout and canTake delivered to them
};

// Since the process began; a frame that two of its handles receive counts twice. Zeros for a
// net outside 0..kCountedNets-1. Frames of handles beyond 8,192 open at once are not counted.
NetCounts net_counts(int net);

}  // namespace ntcan
