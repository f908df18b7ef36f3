// One running SDO transfer of a node property on one object: sends the requests, waits for the
// replies and aborts. Shared by the expedited/segmented client (sdo_object.cpp) and the block
// client (sdo_block.cpp). Private to the library.
//
// The transfer holds the node's handle from construction to destruction (SdoAccess::begin/end):
// frames of other services read meanwhile go to the stash for the receive cycle.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "D_esdcan.h"
#include "cob_id.h"
#include "sdo_port.h"

class SdoTransfer {
 public:
  static constexpr uint32_t kAbortTimeout = 0x05040000;
  static constexpr uint32_t kAbortGeneral = 0x08000000;
  static constexpr int kFirstAbort = 0x05000000;

  SdoTransfer(D_can* can, int index, int subindex)
      : can_(can),
        node_(SdoAccess::node_of(can)),
        index_(index & 0xFFFF),
        subindex_(subindex & 0xFF),
        entered_(SdoAccess::enter(can)) {
    if (entered_) SdoAccess::begin(can_, true);
  }
  ~SdoTransfer() {
    if (!entered_) return;
    SdoAccess::end(can_);
    SdoAccess::leave(can_);
  }
  // False when the property is being closed, moved or destroyed: the transfer does not start.
  bool started() const { return entered_; }
  SdoTransfer(const SdoTransfer&) = delete;
  SdoTransfer& operator=(const SdoTransfer&) = delete;

  // Sends a request: byte 0 `cmd`, then the multiplexer (with_mux) or the 7 bytes `data`.
  int send(uint8_t cmd, bool with_mux, const uint8_t* data, size_t n) {
    unsigned char b[8] = {cmd};
    size_t at = 1;
    if (with_mux) {
      b[1] = static_cast<unsigned char>(index_ & 0xFF);
      b[2] = static_cast<unsigned char>(index_ >> 8);
      b[3] = static_cast<unsigned char>(subindex_);
      at = 4;
    }
    if (n > 0) std::memcpy(b + at, data, std::min(n, sizeof b - at));
    return can_->can_write(cob_id(0x600, node_), 8, b);
  }

  // The next reply into *m: 0; the node's abort code; kSdoTimeout (after aborting the transfer
  // at the node); or a driver result. An initiate reply (`segment` false) or an abort for
  // another object is passed over: a late one of an earlier transfer.
  int reply(CMSG* m, bool segment) {
    for (;;) {
      const int r = raw(m);
      if (r != 0) return r;
      if ((m->data[0] & 0xE0) == 0x80) {
        if (!mine(*m)) continue;
        return abort_result(SdoAccess::le32(&m->data[4]));
      }
      // Initiate replies carry the multiplexer; segment replies do not.
      if (!segment && !mine(*m)) continue;
      return 0;
    }
  }

  // The next frame from the node's SDO server, not looked at (block segments carry data in
  // every byte): 0, kSdoTimeout (after aborting the transfer at the node) or a driver result.
  int raw(CMSG* m) {
    const int32_t id = cob_id(0x580, node_);
    const int r = SdoAccess::next(can_, SdoAccess::reply_deadline(), m,
                                  [&](const CMSG& f) { return f.id == id; });
    if (r == -1) {
      abort(kAbortTimeout);
      return D_can::kSdoTimeout;
    }
    return r;
  }

  // Tells the node the transfer is given up; the code is the result.
  int abort(uint32_t code) {
    uint8_t b[4] = {static_cast<uint8_t>(code), static_cast<uint8_t>(code >> 8),
                    static_cast<uint8_t>(code >> 16), static_cast<uint8_t>(code >> 24)};
    send(0x80, true, b, sizeof b);
    return static_cast<int>(code);
  }

  // Whether the frame's multiplexer is this transfer's object.
  bool mine(const CMSG& m) const {
    return SdoAccess::index_of(m) == index_ && m.data[3] == subindex_;
  }

  // The result for an abort code the node sent. A code that cannot stand as a result (0, or
  // outside the abort range) becomes "General error"; the code itself is logged.
  int abort_result(uint32_t code) const {
    if (code >= static_cast<uint32_t>(kFirstAbort) && code <= 0x7FFFFFFFu) {
      return static_cast<int>(code);
    }
    char msg[120];
    std::snprintf(msg, sizeof msg, "Line : %dNode %d aborted 0x%04X/%d with code 0x%08X",
                  can_->value().i1_data, node_, index_, subindex_, code);
    tavik::printtostderr("D_can::sdo", msg, DF_LOG);
    return static_cast<int>(kAbortGeneral);
  }

 private:
  D_can* can_;
  int node_;
  int index_;
  int subindex_;
  bool entered_;
};
