// Process data of the simulated node: its TPDOs and RPDOs, their objects 0x1400..0x1BFF, and
// device models that move object values over time.
//
// PdoProducer is owned by NodeLogic and called with NodeLogic's lock held; it works on the
// node's running dictionary (raw little-endian bytes per (index, subindex)), so it needs no
// lock of its own. Time comes from the caller (NodeLogic::pdo_due), never from a clock.
//
// Behaviour a master may observe (CiA 301 unless said otherwise):
//  - Communication objects 0x1400..0x1403 (RPDO: sub 1 COB-ID, sub 2 transmission type) and
//    0x1800..0x1803 (TPDO: sub 1 COB-ID, 2 type, 3 inhibit time in 100 us, 5 event timer in
//    ms, 6 SYNC start value); mapping objects 0x1600..0x1603 and 0x1A00..0x1A03 (sub 0 count,
//    subs 1..8 entries: index << 16 | subindex << 8 | bit length). A node built in code has all
//    eight PDOs invalid (COB-ID bit 31 set) on their predefined identifiers, TPDOs of type 0xFE,
//    RPDOs of type 0xFF, no mapping.
//  - TPDOs go out in operational state only: type 0 at a SYNC when the mapped data changed
//    since the last transmission; 1..240 at every n-th SYNC (from the SYNC whose counter equals
//    the start value, when one is set and the SYNC carries a counter); 0xFC only on request,
//    with the data sampled at the last SYNC; 0xFD only on request; 0xFE when the mapped data
//    change and when the event timer runs out; 0xFF (manufacturer-specific here) when the event
//    timer runs out, or on change without a timer. A change-driven TPDO waits out its inhibit
//    time; the event timer restarts with each transmission. On entering operational state every
//    event-driven TPDO is sent once. A remote frame on a TPDO's COB-ID is answered with the PDO
//    unless bit 30 (no RTR allowed) is set.
//  - RPDOs are taken in operational state: types 0xFE/0xFF are written into the dictionary at
//    once, types 0..240 at the next SYNC (the last one received before it wins). A frame shorter
//    than the mapping is not written and answered with EMCY 0x8210 (error register 0x11); a
//    longer one is taken, its extra bytes ignored. Dummy entries (indices 0x0001..0x0007) skip
//    their bits.
//  - SDO downloads into the PDO objects are refused as real devices refuse them:
//      0x06090030 a COB-ID change of bits 0..29 while the PDO is valid, a 29-bit COB-ID, a valid
//                 COB-ID of 0 or above 0x7FF, a reserved transmission type;
//      0x08000022 (present device state) inhibit time or SYNC start value while the PDO is
//                 valid; a mapping entry or count while the PDO is valid; a mapping entry while
//                 the count is not 0;
//      0x06090031 a mapping count above 8;
//      0x06020000 an entry for an object that does not exist;
//      0x06040041 an entry for an object that cannot be mapped (not mappable, longer than the
//                 object, a dummy entry in a TPDO);
//      0x06040042 a count whose entries exceed 64 bits.
//    Objects of 0x2000..0x9FFF of 1 to 8 bytes are mappable unless set otherwise
//    (NodeLogic::set_pdo_mappable, or an EDS's PDOMapping flag); others are not.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ntcan.h"

namespace sim {

// One mapping entry.
struct PdoEntry {
  uint16_t index = 0;
  uint8_t subindex = 0;
  uint8_t bits = 0;
};

constexpr uint32_t kPdoInvalid = 0x80000000u;  // COB-ID bit 31: the PDO does not exist
constexpr uint32_t kPdoNoRtr = 0x40000000u;    // COB-ID bit 30 of a TPDO: no remote request

constexpr uint32_t kAbortParamValue = 0x06090030;
constexpr uint32_t kAbortParamTooHigh = 0x06090031;
constexpr uint32_t kAbortDeviceState = 0x08000022;
constexpr uint32_t kAbortNotMappable = 0x06040041;
constexpr uint32_t kAbortPdoTooLong = 0x06040042;
constexpr uint16_t kEmcyPdoLength = 0x8210;

using ObjectKey = std::pair<uint16_t, uint8_t>;
using ObjectMap = std::map<ObjectKey, std::string>;

// A model's view of the dictionary: integers of the objects' own sizes, little-endian.
class ObjectValues {
 public:
  explicit ObjectValues(ObjectMap& od) : od_(od) {}
  // The value, sign-extended from the object's size when `is_signed`; nothing when missing.
  std::optional<int64_t> get(uint16_t index, uint8_t subindex, bool is_signed = true) const;
  // Stores the low bytes of `v` in the object's size; false when the object does not exist.
  bool set(uint16_t index, uint8_t subindex, int64_t v);

 private:
  ObjectMap& od_;
};

// An emergency a model asks the node to send: EMCY on 0x80 + id with these bytes.
struct Emergency {
  uint16_t code = 0;
  uint8_t reg = 0;
  std::vector<uint8_t> vendor;  // up to five bytes
};

// A device model: moves object values over time (an ADC's inputs, a supply's actual current).
// Its functions run with the node's lock held (step() in the thread that drives
// NodeLogic::pdo_due, the others in the thread that brought the frame): they must not call the
// node.
class DeviceModel {
 public:
  virtual ~DeviceModel() = default;
  virtual void step(int64_t now_ns, ObjectValues& od) = 0;
  // How often the model wants to step (ns); 0: only when the PDOs are due anyway.
  virtual int64_t step_ns() const { return 1'000'000; }
  // The abort of an SDO download of `value` into `key` the device gives (0: taken), asked
  // after the dictionary's own rules.
  virtual uint32_t check_download(ObjectKey /*key*/, const std::string& /*value*/) const {
    return 0;
  }
  // A value was written into the dictionary by SDO or RPDO (after it is stored).
  virtual void written(ObjectKey /*key*/, ObjectValues& /*od*/) {}
  // NMT reset node: the dictionary is back at its configured values; the application restarts.
  virtual void restart(ObjectValues& /*od*/) {}
  // The emergencies to send since the last call (NodeLogic::pdo_due sends them as EMCY frames
  // unless the node is stopped or silent).
  virtual std::vector<Emergency> take_emergencies() { return {}; }
};

// An ADC: `channels` INTEGER16 inputs at 0x6401 sub 1..n following sine waves of `amplitude`
// and `period_ms`, channel k a k/n period behind channel 0. Sampled whenever the producer runs
// (each pdo_due), so that a node whose TPDO goes out every 100 ms wakes only for it.
class AdcModel final : public DeviceModel {
 public:
  AdcModel(int channels, int amplitude, int period_ms)
      : channels_(channels), amplitude_(amplitude), period_ms_(period_ms) {}
  void step(int64_t now_ns, ObjectValues& od) override;
  int64_t step_ns() const override { return 0; }
  // The value of channel `k` (0-based) at `now_ns`.
  int16_t value(int k, int64_t now_ns) const;

 private:
  int channels_;
  int amplitude_;
  int period_ms_;
};

// A power supply: its actual current (INTEGER32 at `actual`) follows the set-point (INTEGER32
// at `setpoint`) at `rate_per_s` units per second.
class SupplyModel final : public DeviceModel {
 public:
  SupplyModel(ObjectKey setpoint, ObjectKey actual, int64_t rate_per_s)
      : setpoint_(setpoint), actual_(actual), rate_(rate_per_s) {}
  void step(int64_t now_ns, ObjectValues& od) override;

 private:
  ObjectKey setpoint_;
  ObjectKey actual_;
  int64_t rate_;
  int64_t last_ns_ = -1;
  int64_t carry_ = 0;  // the rate's fraction of a unit not yet moved, in units * ns / s
};

class NodeLogic;

// Makes `node` an ADC module: `channels` (1..4) INTEGER16 inputs at 0x6401 sub 1..n (sub 0 the
// count), mapped in that order into TPDO1 on 0x180 + id, type 0xFF with an event timer of
// `event_ms`, moved by an AdcModel. Returns the model.
std::shared_ptr<AdcModel> make_adc(NodeLogic& node, int channels = 4, int amplitude = 10000,
                                   int period_ms = 1000, uint16_t event_ms = 100);
// Makes `node` a power supply: set-point 0x2110 (INTEGER32) written by RPDO1 on 0x200 + id
// (type 0xFF), actual current 0x2111 (INTEGER32) in TPDO1 on 0x180 + id (type 0xFE on change,
// inhibit time `inhibit_100us`, event timer `event_ms`), following at `rate_per_s`.
constexpr ObjectKey kSupplySetpoint{0x2110, 0};
constexpr ObjectKey kSupplyActual{0x2111, 0};
std::shared_ptr<SupplyModel> make_supply(NodeLogic& node, int64_t rate_per_s = 1000,
                                         uint16_t event_ms = 1000, uint16_t inhibit_100us = 100);

class PdoProducer {
 public:
  static constexpr int kPdos = 4;

  explicit PdoProducer(int node_id);
  // A node id given by LSS: the predefined identifiers follow it from the next reset.
  void set_node_id(int node_id) { node_id_ = node_id; }
  // The PDO COB-IDs in `od` that are still the predefined ones of node `from` become those of
  // node `to` (as a device's "$NODEID"-based defaults do); identifiers set otherwise are kept.
  static void follow_node_id(ObjectMap& od, int from, int to);
  // The default PDO objects (all invalid) into `od`, and their access sizes into `sizes`
  // (index, subindex, bytes; 0 for read-only).
  void install(ObjectMap& od, std::vector<std::pair<ObjectKey, size_t>>& sizes) const;
  static bool is_pdo_object(uint16_t index) { return index >= 0x1400 && index <= 0x1BFF; }

  // The abort of an SDO download of `value` into `key`; 0 when allowed (also for objects that
  // are not PDO objects).
  uint32_t check_download(const ObjectMap& od, ObjectKey key, const std::string& value) const;
  // After any change of the dictionary's PDO objects (a download, a reset, set_tpdo).
  void refresh(const ObjectMap& od);
  void set_mappable(ObjectKey key, bool on) { mappable_[key] = on; }
  void clear_mappable() { mappable_.clear(); }
  void set_model(std::shared_ptr<DeviceModel> model) { model_ = std::move(model); }
  // The model's part of a download: its abort (0: taken), and its notice after the store.
  uint32_t model_check(ObjectKey key, const std::string& value) const;
  void model_written(ObjectMap& od, ObjectKey key);
  // NMT reset node: the model restarts on the configured dictionary.
  void model_restart(ObjectMap& od);
  // The model's emergencies as EMCY frames into `out` (dropped when `send` is false).
  void emergencies(bool send, std::vector<CMSG>& out);

  // The node (re)boots: counters, timers and pending RPDOs start afresh.
  void reset(const ObjectMap& od);
  // The node enters operational state: event-driven TPDOs go out at the next due().
  void start();
  // Whether a frame with this identifier concerns the PDOs (SYNC, an RPDO, a TPDO's remote
  // request).
  bool wants(int32_t id) const;
  // A frame seen on the bus; answers (TPDOs, EMCY) into `out`.
  void on_frame(ObjectMap& od, bool operational, const CMSG& f, std::vector<CMSG>& out);
  // The model's step and the TPDOs due at `now_ns`.
  void due(ObjectMap& od, bool operational, int64_t now_ns, std::vector<CMSG>& out);
  // When due() has work next (0: nothing scheduled).
  int64_t next_due(bool operational) const;
  // Counters for tests.
  int rpdos_written() const { return rpdos_written_; }
  int tpdos_sent() const { return tpdos_sent_; }

 private:
  struct Tpdo {
    uint32_t cob = kPdoInvalid;
    uint8_t type = 0xFE;
    int64_t inhibit_ns = 0;
    int64_t event_ns = 0;
    uint8_t sync_start = 0;
    std::vector<PdoEntry> map;
    // Running state.
    bool sent = false;  // since the node entered operational state
    int64_t last_ns = 0;
    int64_t timer_ns = 0;  // when the event timer runs out
    CMSG last{};           // last transmission
    std::optional<CMSG> sampled;
    int sync_count = 0;
    bool sync_started = false;
    bool valid() const { return (cob & kPdoInvalid) == 0; }
  };
  struct Rpdo {
    uint32_t cob = kPdoInvalid;
    uint8_t type = 0xFF;
    std::vector<PdoEntry> map;
    std::optional<CMSG> pending;  // a synchronous RPDO waiting for the SYNC
    bool valid() const { return (cob & kPdoInvalid) == 0; }
  };

  bool mappable(const ObjectMap& od, ObjectKey key) const;
  CMSG build(const ObjectMap& od, const Tpdo& t) const;
  void send(Tpdo& t, const CMSG& m, int64_t now, std::vector<CMSG>& out);
  void apply(ObjectMap& od, const Rpdo& r, const CMSG& f, std::vector<CMSG>& out);
  bool changed(const Tpdo& t, const CMSG& m) const;

  int node_id_;
  Tpdo tpdo_[kPdos];
  Rpdo rpdo_[kPdos];
  std::map<ObjectKey, bool> mappable_;
  std::shared_ptr<DeviceModel> model_;
  int64_t model_next_ = 0;
  int64_t now_ = 0;  // the time of the last due(), for frames handled between two
  int rpdos_written_ = 0;
  int tpdos_sent_ = 0;
};

}  // namespace sim
