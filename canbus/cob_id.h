// CAN identifiers of a node's CANopen services, private to the library.
#pragma once

#include <cstdint>

// base + node without overflow: a node id far outside the CANopen range (a client may write any
// value) gives -1, which matches no received frame and which the driver refuses to send.
inline int32_t cob_id(int32_t base, int64_t node) {
  const int64_t id = static_cast<int64_t>(base) + node;
  return id < INT32_MIN || id > INT32_MAX ? -1 : static_cast<int32_t>(id);
}
