// Node supervision (guarding replies into .ALIVE and .CONDITION) and emergency reporting. Both
// evaluate a frame array owned by the caller, typically a copy taken with can_array; no lock is
// taken and no frame is sent.

#include <algorithm>
#include <cstdio>
#include <string>

#include "D_esdcan.h"
#include "cob_id.h"

namespace {
constexpr int kFound = 100;
constexpr int kOperational = 5;
}  // namespace

// The first one-byte frame on 0x700 + node (a guarding reply or a heartbeat) counts; a remote
// request on that identifier does not. The whole byte, toggle bit included, is stored without
// touching the .CONDITION text.
int D_Alive::can_read(int ident, CMSG* rxmsg, int* l) {
  int count = *l;
  for (int i = 0; i < count; ++i) {
    const CMSG& m = rxmsg[i];
    if (m.id != cob_id(0x700, ident) || m.len != 1) continue;
    D_int_ptr::set_value(m.data[0]);
    return (m.data[0] & 0x7F) == kOperational ? kFound : 0;
  }
  return 0;
}

int D_Alive::check_alive(int ident, CMSG* rxmsg, int* l) {
  int back = can_read(ident, rxmsg, l);
  if (back == kFound) set_value(value());
  return back;
}

bool D_Alive::isalive() {
  return (value() & 0x0F) == kOperational;
}

// Logs the data bytes of the first EMCY frame of node `ident`, as "0x%X " per byte. At most the
// frame's 8 data bytes are read whatever its length byte says; the text has room for all eight.
int D_can::can_emergency(int ident, CMSG* rxmsg, int* l) {
  int count = *l;
  for (int i = 0; i < count; ++i) {
    const CMSG& m = rxmsg[i];
    if (m.id != cob_id(0x80, ident)) continue;
    std::string text;
    int n = std::min(m.len & 0x0F, 8);
    for (int j = 0; j < n; ++j) {
      char piece[10];
      std::snprintf(piece, sizeof piece, "0x%X ", static_cast<unsigned>(m.data[j]));
      text += piece;
    }
    tavik::printtostderr("D_can::can_emergency", text, DF_LOG);
    return kFound;
  }
  return 0;
}

int D_can::init_emergency() {
  if (canIdent_.i2_data > 0) return init(cob_id(0x80, canIdent_.i2_data));
  return 0;
}
