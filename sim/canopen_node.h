// A simulated CANopen node (slave) for tests and the demo server.
//
// The protocol behaviour is a step function (NodeLogic::on_frame: one received frame in, the
// frames to answer out); transports put it on a bus: VbusNode attaches it to a net of the
// in-process virtual bus and answers in the sender's thread. Supported: boot-up message and
// pre-operational state, NMT start/stop/enter-pre-operational/reset node/reset communication
// (for its own id and for node 0), node guarding (remote frame on 0x700 + id, answered with the
// state and an alternating toggle bit) or heartbeats, SDO upload (expedited up to 4 bytes,
// segmented beyond, with the toggle protocol; abort 0x06020000 for a missing object), SDO
// download (expedited and segmented, into the running dictionary), SDO block upload and block
// download of any object (sdo_block.h), EMCY, the LSS slave (lss_slave.cpp: switch state,
// configure node id and bit timing, activate bit timing, store, inquire, identify, fastscan), and
// process data: TPDOs, RPDOs, SYNC and device models (pdo_producer.h).
//
// Protocol choices a master may observe:
//  - Frames are taken as the node's services only with the length a CANopen master sends: NMT
//    data frames of length 2, SDO data frames of length 8, guarding as remote frames; others are
//    passed over without an answer.
//  - SDO is served in pre-operational and operational state; a stopped node answers only NMT
//    and guarding, as CANopen prescribes. Stopping or resetting the node ends a running transfer.
//  - A value of zero bytes is uploaded segmented: 0x41 with size 0, then one last segment that
//    carries no data (byte 0 = 0x0F).
//  - A segment request while no upload runs is aborted with 0x05040001 for the index and
//    subindex of the last upload (0 and 0 before the first), so that a master that lost its
//    transfer learns it at once.
//  - Reset node brings the dictionary back to its configured values (constructor, set_object,
//    load_dictionary); reset communication keeps downloaded values. Both send the boot-up message,
//    restart the guarding toggle at 0 and end in pre-operational state. Fault injection
//    settings survive resets.
//  - Unconfigured (node id 255): no boot-up, no NMT, guarding or SDO until a node id comes by
//    LSS; only LSS is answered. The id configured by LSS is taken when the master switches the
//    slave back to waiting state (an unconfigured slave, which then boots with it) or at the
//    next reset (node or communication). Store configuration keeps the id and bit timing for
//    power_cycle(); without it a power cycle brings back the id the node was built with.
//    PDO COB-IDs still on the predefined identifiers of the old id move to those of the new one.
//  - LSS address: 0x1018:1..4 (set_identity or set_object). The bit timing is only recorded
//    (lss_bit_index): the virtual bus has no bit rate.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ntcan.h"
#include "pdo_producer.h"
#include "sdo_block.h"

namespace canbus {
class ObjectDictionary;
}

namespace sim {

// CANopen NMT states as reported in guarding replies and heartbeats.
enum NmtState : uint8_t {
  kBootUp = 0x00,
  kStopped = 0x04,
  kOperational = 0x05,
  kPreOperational = 0x7F,
};

// NMT command bytes (byte 0 of a frame on identifier 0).
enum NmtCommand : uint8_t {
  kNmtStart = 0x01,
  kNmtStop = 0x02,
  kNmtEnterPreOperational = 0x80,
  kNmtResetNode = 0x81,
  kNmtResetCommunication = 0x82,
};

// SDO abort codes the node sends.
constexpr uint32_t kAbortNoObject = 0x06020000;
constexpr uint32_t kAbortToggle = 0x05030000;
constexpr uint32_t kAbortCommandSpecifier = 0x05040001;
constexpr uint32_t kAbortLengthMismatch = 0x06070010;
constexpr uint32_t kAbortReadOnly = 0x06010002;
constexpr uint32_t kAbortTooLong = 0x06070012;
constexpr uint32_t kAbortTooShort = 0x06070013;
constexpr uint32_t kAbortWriteOnly = 0x06010001;
constexpr uint32_t kAbortNoSubindex = 0x06090011;
constexpr uint32_t kAbortValueRange = 0x06090030;
constexpr uint32_t kAbortValueHigh = 0x06090031;
constexpr uint32_t kAbortValueLow = 0x06090032;

// Writable objects of every node besides those set with set_object: heartbeat producer time
// (ms, 2 bytes), guard time (ms, 2 bytes), life time factor (1 byte), and the manufacturer
// objects 0x2100 (4 bytes), 0x2101 (1 byte) and 0x2102 (a text of any length). The identity
// objects 0x1000, 0x1001, 0x1008, 0x1009, 0x100A and 0x1018 are read-only.
constexpr uint16_t kManufacturerU32 = 0x2100;
constexpr uint16_t kManufacturerU8 = 0x2101;
constexpr uint16_t kManufacturerText = 0x2102;

// Identity of a node built without explicit texts.
constexpr char kDefaultDeviceName[] = "sim node";
constexpr char kDefaultHwVersion[] = "1.00";
constexpr char kDefaultSwVersion[] = "1.0.0";
constexpr uint32_t kDefaultDeviceType = 0x000F0191;  // generic I/O, digital in and out
constexpr uint32_t kDefaultVendorId = 0x00000ABC;
// The node id of a node that has none yet (LSS).
constexpr int kUnconfiguredId = 255;

class NodeLogic {
 public:
  // `node_id` must be 1..127, or kUnconfiguredId (std::invalid_argument otherwise). Empty texts
  // keep the defaults above for 0x1008, 0x1009 and 0x100A.
  explicit NodeLogic(int node_id, const std::string& device_name = "",
                     const std::string& hw_version = "", const std::string& sw_version = "");

  // The active node id; kUnconfiguredId while unconfigured. LSS may change it.
  int node_id() const { return node_id_; }
  uint8_t state() const;
  // Object dictionary: value of (index, subindex) as raw bytes. set_object and remove_object
  // configure the node: they change the running dictionary and the values a reset node
  // restores.
  // set_object keeps the access of an existing object; a new one is writable with any size.
  void set_object(uint16_t index, uint8_t subindex, const std::string& value);
  // Access of an object for downloads: read-only, or writable with exactly `size` bytes
  // (0: any size).
  void set_access(uint16_t index, uint8_t subindex, bool writable, size_t size = 0);
  void remove_object(uint16_t index, uint8_t subindex);
  // The running value (as an SDO upload would give it), if the object exists.
  std::optional<std::string> object(uint16_t index, uint8_t subindex) const;
  // Replaces the whole dictionary by the one of an EDS or DCF (sim/eds_dictionary.cpp): every
  // entry with its DCF ParameterValue, else its DefaultValue, else zero, as configured value;
  // the entries' access and data types are enforced as a device does: upload of a write-only
  // entry 0x06010001, download to a read-only or const one 0x06010002, an index the file does
  // not have 0x06020000, a sub-index it does not have 0x06090011, a wrong size for a type of
  // fixed size 0x06070012/0x06070013, a BOOLEAN other than 0 or 1 0x06090030, a value above
  // HighLimit 0x06090031 or below LowLimit 0x06090032. set_object and set_access still work
  // on top of it. The running transfer ends; the state is kept.
  void load_dictionary(const canbus::ObjectDictionary& od);
  // Reads the file with this node's id for $NODEID; false with the reader's errors, and the
  // dictionary as it was.
  bool load_dictionary(const std::string& path, std::vector<std::string>& errors);

  // Frames the node sends when it (re)boots: the boot-up message; the state becomes
  // pre-operational and the guarding toggle starts again at 0.
  std::vector<CMSG> boot();
  // One frame seen on the bus in, the node's answers out.
  std::vector<CMSG> on_frame(const CMSG& frame);
  // An EMCY frame on 0x80 + id: error code, error register, five vendor bytes (more are cut,
  // fewer are filled with zeros).
  CMSG emcy(uint16_t code, uint8_t reg, const std::vector<uint8_t>& vendor = {}) const;
  // The heartbeat frame 0x700 + id with the state, whatever the mode.
  CMSG heartbeat() const;
  // Heartbeat producer as a step function on the caller's clock: the beat due at `now_ns` (at
  // most one; none while silent, paused or skipping) with the period of 0x1017 in ms, 0 meaning
  // none. The first call only starts the schedule; beats then keep their phase, and a caller
  // that comes late gets one beat, not the ones it missed. next_heartbeat_ns(): when the next
  // one is due (0 while the period is 0 or the schedule has not started).
  std::vector<CMSG> heartbeat_due(int64_t now_ns);
  int64_t next_heartbeat_ns() const;
  int heartbeat_period_ms() const;
  void pause_heartbeat(bool on);  // no beats while on; the schedule keeps running
  void skip_heartbeats(int n);    // the next n beats due are not sent

  // LSS slave.
  // The LSS address (0x1018:1..4, as configured values).
  void set_identity(uint32_t vendor, uint32_t product, uint32_t revision, uint32_t serial);
  bool lss_configuration_state() const;
  int lss_pending_id() const;  // the id configured by LSS, not yet taken
  // Bit timing table index: configured (pending), activated, stored; -1 when none.
  int lss_bit_index() const;
  int lss_active_bit_index() const;
  int lss_stored_id() const;
  // Switching off and on: the stored id and bit timing (the id the node was built with, when
  // nothing was stored), the configured dictionary, waiting state; the boot-up if configured.
  std::vector<CMSG> power_cycle();
  // The next replies to configure node id (0x11), configure bit timing (0x13) or store
  // configuration (0x17) carry this error code (and manufacturer-specific error); code 0 ends
  // it. With `silent`, that service is not answered at all instead.
  void set_lss_error(uint8_t cs, uint8_t code, uint8_t specific = 0, bool silent = false);
  int lss_requests() const;
  // The services a slave may do without, as real ones do: left out (set_lss_left_out, bits of
  // LssOptional), a service is not answered; configure and activate bit timing and store
  // configuration answer "not supported" (error code 1) instead.
  enum LssOptional : unsigned {
    kLssIdentifyRemote = 1,         // identify remote slave
    kLssIdentifyNonConfigured = 2,  // identify non-configured remote slave
    kLssFastscan = 4,
    kLssInquireIdentity = 8,  // inquire vendor, product, revision, serial
    kLssBitTiming = 16,       // configure and activate bit timing
    kLssStore = 32,           // store configuration
  };
  void set_lss_left_out(unsigned services);
  // "identify", "identify-non-configured", "fastscan", "inquire", "bit-timing", "store" joined
  // by ","; the bits, or -1 for an unknown name.
  static long lss_optional_from_text(const std::string& names);

  // Process data (pdo_producer.h tells the behaviour). set_tpdo/set_rpdo configure PDO n
  // (1..4; std::invalid_argument otherwise) as set_object does, valid unless `cob_id` has bit
  // 31: communication parameters and mapping (at most 8 entries of 64 bits in all). Event
  // timer in ms, inhibit time in 100 us.
  void set_tpdo(int n, uint32_t cob_id, uint8_t type, uint16_t event_ms,
                const std::vector<PdoEntry>& entries, uint16_t inhibit_100us = 0);
  void set_rpdo(int n, uint32_t cob_id, uint8_t type, const std::vector<PdoEntry>& entries);
  void set_pdo_mappable(uint16_t index, uint8_t subindex, bool mappable);
  // A model that moves object values over time, stepped by pdo_due (nullptr: none).
  void set_model(std::shared_ptr<DeviceModel> model);
  // The PDO producer as a step function on the caller's clock, as heartbeat_due: the model's
  // step and the TPDOs due at `now_ns`; next_pdo_ns(): when it has work next (0: none).
  std::vector<CMSG> pdo_due(int64_t now_ns);
  int64_t next_pdo_ns() const;
  // Whether the node takes notice of frames with this identifier (its services, SYNC, PDOs).
  bool wants(int32_t id) const;
  int rpdos_written() const;
  int tpdos_sent() const;

  // Configuration store (config_store.cpp), opt-in; the objects stay across load_dictionary.
  // 0x1020:1/2 configuration date and time (UNSIGNED32 each, writable, 0 at first) and
  // 0x1010:1 store parameters: writing "save" (0x65766173) makes the running values the ones a
  // reset node and a power cycle keep (another value is aborted with 0x08000020; reading gives
  // 1, "saves on command"). With `concise`, 0x1F22:<node id> (DOMAIN, write-only) takes a whole
  // concise DCF by (block) download and applies its entries in order with the dictionary's
  // rules, as downloads of each; an entry refused aborts the download with its abort code (the
  // entries before it stay applied), a DCF whose bytes are not whole with 0x06070010.
  void enable_config_store(bool concise);
  // Program area (program_area.cpp), opt-in, for a node that runs the program of CRC-32
  // `software_id` (0x1F56:1), with the software date 0x1F52:1/2 (days, ms). Objects:
  // 0x1F50:1 program data (DOMAIN, write-only), 0x1F51:1 program control (UNSIGNED8: 0 stop,
  // 1 start, 2 reset (as start), 3 clear; reading gives 1 while the program runs, else 0),
  // 0x1F52:1/2 software date, 0x1F56:1 software identification, 0x1F57:1 flash status (bit 0
  // busy, bits 1..7 the error of the last operation, as canbus::FlashStatus). Rules: clear only
  // while stopped (else 0x08000022); data after a clear is the new image (its CRC-32 becomes
  // the program's id), data without a clear is passed over with flash error 4; start without a
  // valid program is aborted with 0x08000022 (flash error 1); start answers, then the node
  // restarts as a reset node does (boot-up, pre-operational) into the program: 0x1F56:1 its
  // CRC-32, 0x1F52 its date (set_program_date; 0 otherwise) and 0x100A "crc-XXXXXXXX" (hex)
  // for a program other than the first. A node whose flash holds no valid program boots with
  // 0x1F56:1 = 0 and flash error 1. While the flash is busy (set_flash_busy), writes to 0x1F50
  // and 0x1F51 are aborted with 0x08000022.
  void enable_program_area(uint32_t software_id, uint32_t date_days = 0, uint32_t date_ms = 0);
  // The software date 0x1F52 shows while the program of this CRC-32 runs.
  void set_program_date(uint32_t software_id, uint32_t days, uint32_t ms);

  // Fault injection.
  // Program area: clear aborted with 0x08000022; every image written ends with flash error 3
  // (data format or CRC) and no valid program; after a start the node answers and then stays
  // silent (no boot-up, nothing at all) until power_cycle(), which boots the new program; each
  // clear and each image keeps the flash status busy for the next `polls` reads of 0x1F57
  // (0: never busy).
  void refuse_program_clear(bool on);
  void set_program_crc_error(bool on);
  void hang_on_program_start(bool on);
  void set_flash_busy(int polls);
  void set_silent(bool on);               // takes no notice of any frame and answers nothing
  void set_heartbeat_mode(bool on);       // guarding requests are not answered
  void set_wrong_toggle(bool on);         // segment responses repeat the previous toggle
  void abort_next_upload(uint32_t code);  // the next SDO request is answered with this abort
                                          // (0 cancels a pending one)
  // Off: the node has no 0x1009 and 0x100A (optional): uploads are aborted with 0x06020000.
  // On again: they are there with their values as before.
  void set_optional_identity(bool present);
  // Block transfer (sdo_block.h). Off: block requests are aborted with 0x05040001.
  void set_block_transfer(bool on);
  // Block upload requests are answered by the expedited/segmented protocol, whatever the
  // protocol switch threshold says (as some servers do).
  void set_block_upload_segmented(bool on);
  // Download: segments per sub-block the node takes (1..127, default 127).
  void set_block_size(int segments);
  // The next block transfer loses its n-th segment (from 1, counted over the transfer, sent or
  // received) once, as a frame lost on the bus; 0 cancels. The segment goes again after the
  // acknowledgement, unless it was the last of its sub-block: a lost last segment of a download
  // sub-block leaves the client waiting for an acknowledgement that never comes.
  void drop_block_segment(int n);
  // The next block transfer's CRC is wrong: the one the node sends, or the one it computes.
  void corrupt_next_block_crc();
  bool silent() const;

  // Counters for tests: frames seen that address the service, whether answered or not.
  int guarding_requests() const;
  int sdo_requests() const;
  int nmt_commands() const;

 private:
  using Key = std::pair<uint16_t, uint8_t>;
  enum class Transfer { kNone, kUpload, kDownload };
  friend class BlockServer;  // works on the dictionary and the transfer under mx_

  std::vector<CMSG> boot_locked();
  void nmt_locked(const CMSG& frame, std::vector<CMSG>& out);
  void sdo_locked(const CMSG& frame, std::vector<CMSG>& out);
  void initiate_upload_locked(Key key, std::vector<CMSG>& out);
  // Aborts a segment request that belongs to no running transfer of that direction, or that
  // carries the wrong toggle; true when the request may be served.
  bool segment_request_ok_locked(uint8_t cmd, Transfer expected, std::vector<CMSG>& out);
  void upload_segment_locked(uint8_t cmd, std::vector<CMSG>& out);
  void initiate_download_locked(const CMSG& frame, Key key, std::vector<CMSG>& out);
  void download_segment_locked(uint8_t cmd, const CMSG& frame, std::vector<CMSG>& out);
  CMSG sdo_frame(uint8_t cmd, Key key) const;
  CMSG abort_frame(Key key, uint32_t code) const;
  void end_transfer_locked();
  // LSS (lss_slave.cpp).
  void lss_locked(const CMSG& frame, std::vector<CMSG>& out);
  // A reset takes the id configured by LSS.
  void apply_pending_id_locked();
  void take_node_id_locked(int id);  // with the PDO COB-IDs that follow the node id
  uint32_t identity_locked(int part) const;

  // Writes a downloaded value into the running dictionary; the abort code when the PDO
  // objects' rules refuse it, else 0.
  uint32_t store_locked(Key key, const std::string& value);
  // A download of `value` to `key` with every check of the SDO server; the abort code or 0.
  uint32_t download_locked(Key key, const std::string& value);

  // Configuration store and program area (config_store.cpp, program_area.cpp). The objects
  // into the dictionary (after load_dictionary too); values kept where they are.
  void install_extras_locked();
  void program_install_locked();
  // The program area's objects from its state (0x1F51, 0x1F52, 0x1F56, 0x1F57, 0x100A).
  void program_values_locked();
  // Writes these features take over: `handled` when the value was theirs; the abort code or 0.
  uint32_t store_extra_locked(Key key, const std::string& value, bool& handled);
  uint32_t program_store_locked(Key key, const std::string& value, bool& handled);
  // Before an upload of `key`: the abort for a write-only object, and the flash status' value.
  uint32_t upload_extra_locked(Key key);
  // At every boot (`booting`) and install: 0x1F22:<node id>; at a boot the program in the
  // flash starts.
  void extras_boot_locked(bool booting = true);
  // A start of the program asked for: after its answer, the restart (or the hang).
  void program_restart_locked(std::vector<CMSG>& out);

  mutable std::mutex mx_;  // guards everything below; node_id_ changes only under it (LSS)
  std::atomic<int> node_id_;
  struct Lss {
    bool configuration = false;  // LSS configuration state, else waiting
    int pending_id = kUnconfiguredId;
    int stored_id = kUnconfiguredId;
    int bit_index = -1;
    int active_bit_index = -1;
    int stored_bit_index = -1;
    int selective_step = 0;  // parts of a switch selective matched in a row
    int identify_step = 0;   // parts of an identify remote slave received in a row
    bool identify_match = true;
    int fastscan_pos = 0;  // LSSPos: the part of the address fastscan compares
    struct Fault {
      uint8_t code = 0, specific = 0;
      bool silent = false;
    };
    std::map<uint8_t, Fault> faults;
    int requests = 0;
    unsigned left_out = 0;  // LssOptional bits
  } lss_;
  PdoProducer pdo_;
  uint8_t state_ = kPreOperational;
  uint8_t guard_toggle_ = 0;
  std::map<Key, std::string> od_;          // running dictionary
  std::map<Key, std::string> configured_;  // restored by reset node
  struct Access {
    bool writable = true;
    size_t size = 0;  // 0: any
  };
  std::map<Key, Access> access_;  // objects not listed are writable with any size
  // The abort for a download of `n` bytes (a final size) into `key`; 0 when allowed.
  uint32_t download_abort_locked(Key key, size_t n) const;
  // The rules of a loaded EDS (eds_dictionary.cpp); null without one.
  struct EdsRules;
  std::shared_ptr<const EdsRules> eds_;
  // The abort a device with the loaded EDS gives for an upload (`upload`) or a download of
  // `value` (null: before the value is known) to `key`; 0 when allowed or without an EDS.
  uint32_t eds_abort_locked(Key key, const std::string* value, bool upload) const;
  // Running SDO transfer (at most one, as for one SDO server channel).
  Transfer transfer_ = Transfer::kNone;
  Key transfer_key_{0, 0};  // also the multiplexer of the last transfer once it has ended
  std::string upload_data_;
  size_t upload_pos_ = 0;
  uint8_t seg_toggle_ = 0;        // toggle the next segment request must carry
  uint8_t last_resp_toggle_ = 0;  // toggle of the last segment response (wrong-toggle mode)
  std::string download_data_;
  std::optional<size_t> download_size_;
  bool silent_ = false;
  bool hung_ = false;  // a program start that never restarts the node: silent until power_cycle
  struct ConfigStore {
    bool on = false;
    bool concise = false;
    bool applying = false;  // a concise DCF's entries are being applied
  } store_;
  struct ProgramArea {
    bool on = false;
    uint32_t first_id = 0;    // the program the node was set up with
    std::string first_sw;     // and its 0x100A
    uint32_t running_id = 0;  // 0x1F56:1 (0: no program runs)
    uint32_t flash_id = 0;    // the program in the flash, when valid
    bool valid = true;
    bool running = true;
    bool cleared = false;  // cleared, waiting for the image
    uint8_t error = 0;
    int busy_left = 0;     // reads of 0x1F57 that still show busy
    bool restart = false;  // a start was answered: restart after the answer
    std::map<uint32_t, std::pair<uint32_t, uint32_t>> dates;  // by program id: days, ms
    bool refuse_clear = false;
    bool crc_error = false;
    bool hang_on_start = false;
    int busy_polls = 0;
  } prog_;
  bool optional_identity_ = true;
  bool heartbeat_ = false;
  bool wrong_toggle_ = false;
  bool hb_paused_ = false;
  int hb_skip_ = 0;
  int64_t hb_next_ = 0;
  uint32_t abort_next_ = 0;
  BlockServer block_;
  bool block_upload_segmented_ = false;
  int guarding_requests_ = 0;
  int sdo_requests_ = 0;
  int nmt_commands_ = 0;
};

// A node on a net of the virtual bus. Answers are put on the bus at once, in the thread that
// sent the request, unless answers are held or the node answers with real-bus timing
// (set_timing).
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
  // Sent unless the node is silent or stopped (no EMCY in stopped state).
  void send_emcy(uint16_t code, uint8_t reg, const std::vector<uint8_t>& vendor = {});
  // Sent unless the node is silent.
  void send_heartbeat();
  // Held answers are kept back until released (a slow node); release sends them in order and
  // leaves holding as it is. Switching holding off sends what is held, so nothing is lost.
  void hold_answers(bool on);
  void release_answers();
  // Number of answers held back now.
  size_t held_answers();
  // The heartbeat producer on a thread of its own: it sends each beat when due by the framework
  // clock, waking in real time (a virtual clock's time moves only as its test advances it).
  // The same thread produces the TPDOs (pdo_tick) and steps the device model.
  // Stopped by stop_heartbeat() or the destructor.
  void start_heartbeat();
  void stop_heartbeat();
  // One step of the producer at the framework clock's time, for tests that drive the time.
  void heartbeat_tick();
  // One step of the PDO producer (NodeLogic::pdo_due) at the framework clock's time.
  void pdo_tick();
  // Real-bus timing: the node takes each frame it sees `delay` later (its processing time) in a
  // thread of the simulation (one for all nodes), and every answer then takes the frame time at
  // `bit_rate` bit/s (47 + 8 per data byte bit times: 111 for 8 bytes) after the end of the
  // node's previous answer. The node's answers keep their order. A delay of 0 and bit_rate 0
  // (the default) go back to answers at once, in the sender's thread.
  void set_timing(std::chrono::nanoseconds delay, int bit_rate = 0);
  // The node's answer to `frame`, at once (the timing thread calls it when a frame is due).
  void process(const CMSG& frame);

 private:
  void on_frame(const CMSG& frame);
  void put(const std::vector<CMSG>& frames);
  void inject_all(const std::vector<CMSG>& frames);

  int net_;
  NodeLogic logic_;
  // Written once after attaching; read by the bus callback, which may already run by then.
  std::atomic<int> device_{0};
  std::mutex hold_mx_;  // guards hold_ and held_; never held while frames go on the bus
  bool hold_ = false;
  std::vector<CMSG> held_;
  std::mutex hb_mx_;  // guards hb_stop_ and hb_thread_
  std::condition_variable hb_cv_;
  bool hb_stop_ = false;
  std::thread hb_thread_;
  std::atomic<int64_t> delay_ns_{0};
  std::atomic<int> bit_rate_{0};
};

}  // namespace sim
