// The SDO client's hold on a node's handle (D_can::SdoPort) and its wait for replies, shared by
// the identity uploads (sdo.cpp) and the object access (sdo_object.cpp). Private to the library.
#pragma once

#include <cstdint>

#include "D_esdcan.h"

struct SdoAccess {
  // Deadline of one reply wait: the first instant at which the whole-second clock has passed
  // start + 2, start being the whole second at which the wait begins (2 to 3 s).
  static int64_t reply_deadline();

  // Opens a transfer of `can` on its node: waits until no other property of the node runs one,
  // and until a `whole` transfer of `can` on another thread has ended, then makes `can` the
  // reader of the handle. A transfer of `can` left open by the step-by-step calls, or one of this
  // thread, is taken over. No effect for a property without receive buffer (nobody else reads
  // its handle in the library).
  static void begin(D_can* can, bool whole = false);
  // Threads waiting in begin() on the node of `can` (for tests).
  static int waiting(const D_can* can);
  // Ends the transfer of `can`, if it runs one; other frames go back to the receive cycle.
  static void end(D_can* can);

  // The threads inside a transfer of a property, so that closing, moving or destroying the
  // property can end them first (D_can::cancel_transfers). A process-wide table of the
  // properties with a transfer running: nothing per property. enter() is false while the
  // property's transfers are being cancelled (the transfer then does not start).
  static bool enter(const D_can* can);
  static void leave(const D_can* can);
  static bool cancelled(const D_can* can);
  // From close_begin() to close_end() no transfer of the property runs: close_begin marks the
  // running ones cancelled and waits until they have ended (their reply waits look at the mark
  // at least every kCancelSliceNs), and transfers asked for meanwhile do not start. From inside
  // one of its own transfers it does not wait (that transfer ends on the closed handle).
  static void close_begin(const D_can* can);
  static void close_end(const D_can* can);
  static constexpr int64_t kCancelSliceNs = 100'000'000;

  // Waits until `deadline` (process clock) for the next frame of the transfer: one that
  // `mine(frame)` claims. Frames not claimed go to the stash (or are dropped without receive
  // buffer). 0 with *out set; -1 at the deadline; or the failing driver result.
  template <class Mine>
  static int next(D_can* can, int64_t deadline, CMSG* out, Mine mine) {
    for (;;) {
      int r = read_one(can, deadline, out);
      if (r != 0) return r;
      if (mine(*out)) return 0;
      set_aside(can, *out);
    }
  }

  // The frame of another service, read during a transfer, for the receive cycle.
  static void set_aside(D_can* can, const CMSG& m);
  // One frame from the handle, waiting until `deadline`; 0, -1 at the deadline, or the driver
  // result.
  static int read_one(D_can* can, int64_t deadline, CMSG* out);

  // The multiplexer (index, subindex) of an SDO frame.
  static int index_of(const CMSG& m) { return m.data[1] | (m.data[2] << 8); }
  static uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
  }
  static int node_of(const D_can* can) { return can->canIdent_.i2_data; }
};

// The transfer runs, and is counted, inside the property's enter/leave: closing, moving or
// destroying it on another thread waits for the count, so it never touches a freed property.
template <typename Transfer>
int D_can::sdo_counted(int node, int index, int subindex, const char* what, Transfer&& transfer) {
  if (!SdoAccess::enter(this)) return NTCAN_OPERATION_ABORTED;
  const int r = transfer();
  sdo_transfers_.fetch_add(1, std::memory_order_relaxed);
  if (r != 0) {
    sdo_failures_.fetch_add(1, std::memory_order_relaxed);
    // Before leave(): the property may go away on another thread after it.
    sdo_report(node, index, subindex, what, r);
  }
  SdoAccess::leave(this);
  return r;
}
