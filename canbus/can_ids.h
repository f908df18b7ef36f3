// The standard CAN identifiers of a CANopen node's services (the predefined connection set) and
// the texts of NMT states, so that no device server writes 0x580 + node by hand.
//
// Node ids are 1..127; `n` of a PDO is 1..4. The functions compute, they do not check: an id
// outside the range gives an identifier outside the node's range.
#pragma once

#include <cstdint>

namespace canbus {

constexpr uint32_t kCobNmt = 0x000;        // NMT node control (master to nodes)
constexpr uint32_t kCobSync = 0x080;       // SYNC
constexpr uint32_t kCobTime = 0x100;       // TIME stamp
constexpr uint32_t kCobLssSlave = 0x7E4;   // LSS: slave to master
constexpr uint32_t kCobLssMaster = 0x7E5;  // LSS: master to slaves

constexpr uint32_t cob_emcy(int node) {
  return 0x080u + static_cast<uint32_t>(node);
}
// TPDO n is sent by the node: 0x180, 0x280, 0x380, 0x480 + node.
constexpr uint32_t cob_tpdo(int n, int node) {
  return 0x080u + 0x100u * static_cast<uint32_t>(n) + static_cast<uint32_t>(node);
}
// RPDO n is received by the node: 0x200, 0x300, 0x400, 0x500 + node.
constexpr uint32_t cob_rpdo(int n, int node) {
  return 0x100u + 0x100u * static_cast<uint32_t>(n) + static_cast<uint32_t>(node);
}
constexpr uint32_t cob_sdo_tx(int node) {
  return 0x580u + static_cast<uint32_t>(node);
}  // node's replies
constexpr uint32_t cob_sdo_rx(int node) {
  return 0x600u + static_cast<uint32_t>(node);
}  // requests to it
// Heartbeat, boot-up and guarding replies: 0x700 + node.
constexpr uint32_t cob_heartbeat(int node) {
  return 0x700u + static_cast<uint32_t>(node);
}

// NMT states as a node reports them (heartbeat, boot-up, guarding reply without its toggle bit).
constexpr int kNmtBootUp = 0x00;
constexpr int kNmtStopped = 0x04;
constexpr int kNmtOperational = 0x05;
constexpr int kNmtPreOperational = 0x7F;

// "Boot-up", "Stopped", "Operational", "Pre-operational"; "Unknown" for a negative state (not
// yet heard); "Invalid state" for any other value. The guarding toggle bit (0x80) is ignored.
inline const char* nmt_state_text(int state) {
  if (state < 0) return "Unknown";
  switch (state & 0x7F) {
    case kNmtBootUp:
      return "Boot-up";
    case kNmtStopped:
      return "Stopped";
    case kNmtOperational:
      return "Operational";
    case kNmtPreOperational:
      return "Pre-operational";
    default:
      return "Invalid state";
  }
}

}  // namespace canbus
