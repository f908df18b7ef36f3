// A simulated CANopen node (slave) for tests and the demo server.
//
// The protocol behaviour is a step function (NodeLogic::on_frame: one received frame in, the
// frames to answer out); transports put it on a bus: VbusNode attaches it to a net of the
// in-process virtual bus and answers in the sender's thread. Supported: boot-up message and
// pre-operational state, NMT start/stop/enter-pre-operational/reset node/reset communication
// (for its own id and for node 0), node guarding (remote frame on 0x700 + id, answered with the
// state and an alternating toggle bit) or heartbeats, SDO upload (expedited up to 4 bytes,
// segmented beyond, with the toggle protocol; abort 0x06020000 for a missing object) and EMCY.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ntcan.h"

namespace sim {

// CANopen NMT states as reported in guarding replies and heartbeats.
enum NmtState : uint8_t {
  kBootUp = 0x00,
  kStopped = 0x04,
  kOperational = 0x05,
  kPreOperational = 0x7F,
};

constexpr uint32_t kAbortNoObject = 0x06020000;
constexpr uint32_t kAbortToggle = 0x05030000;

class NodeLogic {
 public:
  explicit NodeLogic(int node_id);

  int node_id() const { return node_id_; }
  uint8_t state() const;
  // Object dictionary: value of (index, subindex) as raw bytes.
  void set_object(uint16_t index, uint8_t subindex, const std::string& value);
  void remove_object(uint16_t index, uint8_t subindex);

  // Frames the node sends when it (re)boots: the boot-up message; the state becomes
  // pre-operational.
  std::vector<CMSG> boot();
  // One frame seen on the bus in, the node's answers out.
  std::vector<CMSG> on_frame(const CMSG& frame);
  // An EMCY frame on 0x80 + id: error code, error register, five vendor bytes.
  CMSG emcy(uint16_t code, uint8_t reg, const std::vector<uint8_t>& vendor = {}) const;
  CMSG heartbeat() const;

  // Fault injection.
  void set_silent(bool on);              // answers nothing at all
  void set_heartbeat_mode(bool on);      // guarding requests are not answered
  void set_wrong_toggle(bool on);        // segment responses repeat the previous toggle
  void abort_next_upload(uint32_t code); // the next SDO request is answered with this abort

  // Counters for tests.
  int guarding_requests() const;
  int sdo_requests() const;
  int nmt_commands() const;

 private:
  mutable std::mutex mx_;
  int node_id_;
  uint8_t state_ = kPreOperational;
  uint8_t guard_toggle_ = 0;
  std::map<std::pair<uint16_t, uint8_t>, std::string> od_;
  // Running segmented upload.
  bool uploading_ = false;
  std::string upload_data_;
  size_t upload_pos_ = 0;
  uint8_t seg_toggle_ = 0;
  bool silent_ = false;
  bool heartbeat_ = false;
  bool wrong_toggle_ = false;
  uint32_t abort_next_ = 0;
  int guarding_requests_ = 0;
  int sdo_requests_ = 0;
  int nmt_commands_ = 0;
};

// A node on a net of the virtual bus. Answers are put on the bus at once, in the thread that
// sent the request, unless answers are held.
class VbusNode {
 public:
  VbusNode(int net, int node_id, const std::string& device_name = "",
           const std::string& hw_version = "", const std::string& sw_version = "");
  ~VbusNode();  // detaches from the bus
  VbusNode(const VbusNode&) = delete;
  VbusNode& operator=(const VbusNode&) = delete;

  NodeLogic& logic() { return logic_; }
  int net() const { return net_; }
  // Sends the boot-up message (also done by the constructor).
  void boot();
  void send_emcy(uint16_t code, uint8_t reg, const std::vector<uint8_t>& vendor = {});
  void send_heartbeat();
  // Held answers are kept back until released (a slow node); release sends them in order.
  void hold_answers(bool on);
  void release_answers();

 private:
  void on_frame(const CMSG& frame);
  void put(const std::vector<CMSG>& frames);

  int net_;
  NodeLogic logic_;
  int device_ = 0;
  std::mutex hold_mx_;
  bool hold_ = false;
  std::vector<CMSG> held_;
};

}  // namespace sim
