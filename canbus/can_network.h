// Starting a whole network: the master's view of its nodes at start-up.
//
// Per line, a Network knows each node's assignment (mandatory or optional, keep alive, software
// check and update, retries, boot time) and expected identity, runs the boot procedure of each
// node on the node monitor's boot workers, and starts the network as its start mode says:
// every node with one NMT command once every mandatory node is configured, each node as soon as
// it is ready, or not at all (the application starts them). A mandatory node that is missing
// or fails keeps the others from starting (or stops or resets them, by the setting) and says
// which node and why; an optional node that comes late is configured and started on its own.
//
// The boot procedure of one node, in order (each failure ends it with its boot status code):
//   1. device type 0x1000 read (B when the node does not answer), compared (C);
//   2. identity 0x1018:1..4 against the expected vendor, product, revision, serial (D, M, N, O);
//   3. software: 0x1F56:1 (and 0x1F52 date) against the expected; when it differs, the program
//      is downloaded if the update is allowed (H when not, G without an image, I when the
//      download fails), the node is restarted into it, and the procedure begins again at its
//      boot-up;
//   4. configuration: skipped when the node's 0x1020 holds the configuration's stamp; else
//      written as one concise DCF (0x1F22, block transfer) where the node takes it, object by
//      object otherwise, then 0x1020 and, on request, "store parameters" (0x1010:1); J when
//      any of it fails;
//   5. error control: the master's heartbeat consumed by the node (0x1016) and the node's own
//      heartbeat (0x1017) written when asked; K when no heartbeat comes in time.
// The codes and texts are those of the boot procedure of a CANopen manager; boot_status_text().
//
// Threads: the procedures run on the monitor's boot workers; Network's own events and its
// start decisions are made in tick(), on the Network's thread (start(..., true)) or on the
// caller's loop (tests on the virtual clock). Callbacks run there, with no lock held.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "can_monitor.h"
#include "ntcan.h"

class D_can;

namespace canbus {

class ObjectDictionary;

// --- Boot status codes -------------------------------------------------------------------------

// 0 while a node has no code (not yet booted, or booted without error); otherwise 'A'..'O'.
// "B: no answer to the request for 0x1000 (device type)", ... "" for 0 or an unknown letter.
std::string boot_status_text(char code);

// --- Assignment of a node (0x1F81) ---------------------------------------------------------------

struct SlaveAssignment {
  bool slave = true;            // bit 0: the node belongs to this network
  bool mandatory = false;       // bit 3: the network must not start without it
  bool keep_alive = false;      // bit 4: an operational node is not reset by the start-up
  bool check_software = false;  // bit 5: 0x1F56 checked against the expected version
  bool update_allowed = false;  // bit 6: a program download is allowed when it differs
  int retries = 0;              // bits 8..15: procedure attempts after the first (0..255)
  uint16_t guard_time_ms = 0;   // bits 16..31 (kept for the 0x1F81 value; not used here)

  uint32_t to_u32() const;
  static SlaveAssignment from_u32(uint32_t v);
};

// What a node's identity must be (0x1F84 device type, 0x1F85..0x1F88); nullopt: not checked.
// A value of 0 in the 0x1F8x objects means "not checked"; from_objects() maps it so.
struct ExpectedIdentity {
  std::optional<uint32_t> device_type;
  std::optional<uint32_t> vendor_id;
  std::optional<uint32_t> product_code;
  std::optional<uint32_t> revision;
  std::optional<uint32_t> serial;
};

// A configuration's date and time as 0x1020 holds them: days since 1984-01-01 and milliseconds
// after midnight. A stamp of {0, 0} never matches (a node without a stored configuration).
struct ConfigStamp {
  uint32_t days = 0;
  uint32_t ms = 0;
  bool operator==(const ConfigStamp& o) const { return days == o.days && ms == o.ms; }
  bool operator!=(const ConfigStamp& o) const { return !(*this == o); }
  bool empty() const { return days == 0 && ms == 0; }
};
// The stamp of a time (seconds since the epoch, UTC).
ConfigStamp config_stamp_of(int64_t unix_seconds);

// --- Concise DCF (0x1F22) ------------------------------------------------------------------------

// One object of a concise DCF: index, sub-index and the value's bytes.
struct ConciseEntry {
  uint16_t index = 0;
  uint8_t subindex = 0;
  std::vector<uint8_t> data;
  bool operator==(const ConciseEntry& o) const {
    return index == o.index && subindex == o.subindex && data == o.data;
  }
};
// The 0x1F22 format: UNSIGNED32 number of entries, then each entry as UNSIGNED16 index,
// UNSIGNED8 sub-index, UNSIGNED32 size and the data, all little-endian.
std::vector<uint8_t> encode_concise_dcf(const std::vector<ConciseEntry>& entries);
// false with the reason ("entry 3 of 5: 12 bytes announced, 4 left") when the bytes are not one
// whole concise DCF; `out` is untouched then.
bool decode_concise_dcf(const std::vector<uint8_t>& bytes, std::vector<ConciseEntry>& out,
                        std::string& why);
// The objects a boot configuration writes, in the order it writes them: the SDO writes (by name
// resolved through cfg.dictionary), then each PDO as configure_pdo writes it (COB-ID invalid,
// mapping count 0, entries, count, parameters, COB-ID valid), for node `node_id`. false with
// the reason when a write cannot be encoded or resolved.
bool concise_entries(const BootConfig& cfg, int node_id, std::vector<ConciseEntry>& out,
                     std::string& why);

// Outcome of writing a configuration.
struct ConfigResult {
  bool ok = true;
  bool skipped = false;  // the node's 0x1020 held the stamp: nothing was written
  bool concise = false;  // written as one concise DCF to the node's 0x1F22
  uint16_t index = 0;    // the failing object
  uint8_t subindex = 0;
  int result = 0;      // SDO result, or kPdoBadConfig
  std::string reason;  // "0x1F22:05: SDO abort 0x06090030: ...", "0x2100:00: ..."
};
// Writes node's configuration `entries` (concise_entries): reads 0x1020:1/2 first and writes
// nothing when they hold `stamp` (and the stamp is not empty); else the entries as one concise
// DCF by block download to 0x1F22:<node id> when the node takes it (a node that aborts with
// "no object" or "no sub-index", or refuses block transfer, is written object by object, in
// order), then 0x1020:1/2 = stamp (unless empty), then 0x1010:1 = "save" when `store`.
// A node without 0x1020 ("no object" to the read) is written every time, and no stamp is
// written to it. Identifiers of valid TPDOs among the entries are enabled on the node's handle,
// as configure_pdo does. `cancelled`, if given, is asked between objects.
ConfigResult write_configuration(D_can& node, const std::vector<ConciseEntry>& entries,
                                 ConfigStamp stamp, bool store,
                                 const std::function<bool()>& cancelled = {});

// A DCF checked against its EDS: every entry of the DCF must be in the EDS with the same data
// type, a ParameterValue only for a writable entry, within the EDS's limits. The findings as
// "file:line: text", in line order; empty when it passes. `dcf_text` is read as a DCF file of
// name `dcf_name`; parse errors are findings too.
std::vector<std::string> check_dcf_against_eds(const std::string& dcf_text,
                                               const std::string& dcf_name,
                                               const ObjectDictionary& eds);

// --- Program download (0x1F50, 0x1F51, 0x1F56, 0x1F57) -------------------------------------------

// 0x1F51 program control values.
enum class ProgramControl : uint8_t { kStop = 0, kStart = 1, kReset = 2, kClear = 3 };

// 0x1F57 flash status: bit 0 an operation in progress, bits 1..7 the error of the last one.
struct FlashStatus {
  bool busy = false;
  uint8_t error = 0;  // 0 none, 1 no valid program, 2 format unknown, 3 format or CRC error,
                      // 4 not cleared, 5 write error, 6 address error, 7 flash secured
  static FlashStatus from_u32(uint32_t v) {
    return {(v & 1u) != 0, static_cast<uint8_t>((v >> 1) & 0x7F)};
  }
  uint32_t to_u32() const { return (busy ? 1u : 0u) | (static_cast<uint32_t>(error) << 1); }
};
// "no valid program", "data format or CRC error", ...; "" for 0.
std::string flash_error_text(uint8_t error);
// The CRC-32 of an image (that of zlib and Ethernet), as a node shows its program's in 0x1F56:1.
uint32_t program_crc32(const uint8_t* data, size_t n);

struct ProgramResult {
  bool ok = true;
  int result = 0;  // SDO result of the step that failed, or kProgramFlashError
  // "clear: SDO abort 0x08000022: ...", "flash status: data format or CRC error"
  std::string reason;
  size_t bytes = 0;  // bytes of the image the node took
};
constexpr int kProgramFlashError = -20;

// Downloads program `number` (1..254): 0x1F51 = stop, clear (waiting while 0x1F57 is busy, at
// most `flash_timeout_ms`), 0x1F50 = image by block transfer (segmented where the node has no
// block transfer; the block transfer's CRC checked), 0x1F57 checked for an error, then
// 0x1F51 = start when `start`: the node restarts into the program (a boot-up follows).
// `progress` (if given) is told the bytes sent so far and the total, at least at the start and
// the end. A node without 0x1F57 is taken at its word. Runs on the caller's thread; a 64 KiB
// image takes about 8.5 s of bus time at 125 kbit/s (9363 segments of 111 bits, stuffing aside).
ProgramResult download_program(D_can& node, const std::vector<uint8_t>& image, int number = 1,
                               bool start = true, int flash_timeout_ms = 10000,
                               const std::function<void(size_t, size_t)>& progress = {});

// --- The master's own producers ------------------------------------------------------------------

// The master's heartbeat (0x700 + its node id, state operational) every period, from the line's
// own handle; or the TIME object (identifier 0x100, TIME_OF_DAY: ms after midnight in 28 bits,
// then days since 1984-01-01 in 16 bits) from the framework clock every period. Like
// SyncProducer: start() with a thread of its own, or start(..., false) and tick() from a loop of
// the caller's (tests on the virtual clock).
class MasterProducer {
 public:
  enum class Kind { kHeartbeat, kTime };
  MasterProducer(int line, Kind kind, int node_id = 0);
  ~MasterProducer();  // stops
  MasterProducer(const MasterProducer&) = delete;
  MasterProducer& operator=(const MasterProducer&) = delete;
  // false when it runs already, the period is not positive, or a heartbeat has no node id
  // 1..127.
  bool start(int period_ms, bool own_thread = true);
  bool stop();
  bool running() const;
  // Without own thread: sends the frame due at the framework clock's time; true when one went.
  bool tick();
  uint64_t sent() const;
  uint64_t failed() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
// The 6 bytes of a TIME_OF_DAY for `unix_ns` (UTC).
std::vector<uint8_t> time_of_day_bytes(int64_t unix_ns);

// --- Network start-up --------------------------------------------------------------------------

// 0x1F80: how the network starts.
enum class StartMode {
  kAllAtOnce,      // NMT start to all nodes (node 0) once every mandatory node is configured
  kEachWhenReady,  // each node's own NMT start as soon as its procedure succeeded (mandatory
                   // nodes missing still hold the others back)
  kApplication,    // nodes are configured only; the application starts them
};
// What a missing or failed mandatory node does to the others.
enum class MandatoryFailure {
  kHoldOthers,  // the others are not started (those started stay as they are)
  kStopAll,     // NMT stop to all nodes
  kResetAll,    // NMT reset communication to all nodes (the start-up begins again)
};

struct NetworkConfig {
  int line = 0;
  int master_id = 0;            // the master's node id; 0: no heartbeat of the master
  int master_heartbeat_ms = 0;  // 0: none
  int time_period_ms = 0;       // TIME producer period; 0: none
  StartMode start = StartMode::kAllAtOnce;
  MandatoryFailure on_mandatory_failure = MandatoryFailure::kHoldOthers;
  // 0x1F89: how long from the start-up a mandatory node has to finish its procedure before it
  // counts as missing (ms); 0: for ever.
  int boot_time_ms = 10000;
  int retry_pause_ms = 1000;  // between two attempts of a node's procedure
  // Reset communication (NMT to all) at the start, unless a node is kept alive: those nodes
  // then get theirs one by one when they are not operational.
  bool reset_at_start = true;
};

// Everything the master knows of one node of the network.
struct SlaveSetup {
  SlaveAssignment assignment;
  ExpectedIdentity identity;
  // Software: the expected 0x1F56:1 (nullopt: not checked), the expected 0x1F52:1/2 date
  // (empty: not checked), and the image downloaded when they differ and the update is allowed.
  std::optional<uint32_t> software_id;
  ConfigStamp software_date;
  std::shared_ptr<const std::vector<uint8_t>> program;
  // Configuration: the objects (concise_entries of the node's boot configuration), its stamp
  // (skipped when the node holds it), and store parameters afterwards.
  std::vector<ConciseEntry> configuration;
  ConfigStamp config_stamp;
  bool store = false;
  // Error control start: write 0x1016:1 so that the node consumes the master's heartbeat (with
  // this time, ms; 0: not written), and 0x1017 = the node's own heartbeat (0: not written; the
  // first heartbeat must then come within twice the time, else K).
  int consume_master_ms = 0;
  int heartbeat_ms = 0;
  // The node's PDOs as the monitor is to know them: its TPDOs are decoded (on_pdo, late and
  // back) and their identifiers enabled from the moment the node is added, whether or not its
  // configuration has to be written. Written to the node only as part of `configuration`.
  std::vector<PdoConfig> pdos;
};

// Where a node stands in the start-up.
enum class SlaveState {
  kWaiting,     // not yet booted in this start-up
  kBooting,     // its procedure runs (or waits for its restart after a program download)
  kRetrying,    // an attempt failed; the next comes after the pause
  kConfigured,  // procedure done, not yet started
  kStarted,     // NMT start sent
  kMissing,     // boot time over (mandatory) or attempts used up without an answer
  kFailed,      // procedure failed with a code other than B
  kLost,        // configured or started, then its heartbeat (E) or guarding replies (F) stopped
};
const char* slave_state_name(SlaveState s);  // "waiting", "booting", ... "failed", "lost"

struct SlaveStatus {
  int node_id = 0;
  SlaveState state = SlaveState::kWaiting;
  char code = 0;                // boot status code of the last attempt (0: none)
  std::string reason;           // details: "vendor id 0x00000ABD, expected 0x00000ABC"
  int attempts = 0;             // in this start-up
  bool config_skipped = false;  // the stored configuration was current
  bool program_downloaded = false;
  int64_t since_ns = 0;  // framework time of the last change of state
};

enum class NetworkState {
  kIdle,     // not started
  kBooting,  // waiting for mandatory nodes
  kStarted,  // every mandatory node configured; the network started (or left to the application)
  kBlocked,  // a mandatory node missing or failed: blocked_reason() says which and why
};
const char* network_state_name(NetworkState s);

struct NetworkCallbacks {
  std::function<void(const SlaveStatus&)> on_slave;  // every change of a node's status
  std::function<void(NetworkState, const std::string& why)> on_network;
  // A program download's progress (node id, bytes sent, total).
  std::function<void(int, size_t, size_t)> on_program_progress;
};

class Network {
 public:
  Network(NodeMonitor& monitor, NetworkConfig cfg, NetworkCallbacks cb = {});
  ~Network();  // stops, removes its nodes from the monitor
  Network(const Network&) = delete;
  Network& operator=(const Network&) = delete;

  // A node of the network (an attached property, as NodeMonitor::add takes it), before start().
  // `supervision` is how the monitor supervises it; its boot member is replaced by the network's
  // procedure, and `own` callbacks (or the handler) are the node's as NodeMonitor::add has them;
  // the Network hears of the node's loss and return first (same thread), then `own` is called.
  // A node configured or started that is lost is kLost with E (heartbeat) or F (guarding): a
  // mandatory one blocks, stops or resets the network as on_mandatory_failure says, an optional
  // one is only reported. Back, it runs its procedure again after a boot-up, or is configured
  // still without one, and is started as the start mode says.
  // -1 when the network runs, the node is not attached, or its id is taken.
  int add(D_can* node, const SlaveSetup& setup, const NodeConfig& supervision = {},
          NodeCallbacks own = {});
  int add(D_can* node, const SlaveSetup& setup, const NodeConfig& supervision,
          NodeHandler& handler);

  // Starts up: the producers, reset communication (see NetworkConfig::reset_at_start), every
  // node to the monitor, then each node's procedure as it boots. Returns at once; the outcome
  // comes as events. false when it runs already or has no node.
  bool start(bool own_thread = true);
  // Runs the start-up again (boot LINE): every node back to waiting, reset communication, the
  // procedures anew. false when not running.
  bool restart();
  // Ends the producers and the thread; the nodes stay with the monitor until the destructor.
  void stop();
  bool running() const;
  // Without own thread: deadlines, retries and start decisions at the framework clock's time,
  // and the producers' frames due.
  void tick();

  // A program download to node `node_id` now (download NAME FILE), with progress events; the
  // node is restarted into it and its procedure runs again. Runs on the caller's thread. false
  // with the reason when the node is unknown or the download fails.
  bool download(int node_id, const std::vector<uint8_t>& image, std::string& why);

  NetworkState state() const;
  std::string blocked_reason() const;  // "node 5 (mandatory): B: no answer to ..."
  bool status(int node_id, SlaveStatus& out) const;
  std::vector<SlaveStatus> statuses() const;  // by node id
  const NetworkConfig& config() const { return cfg_; }

 private:
  struct Impl;
  NetworkConfig cfg_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace canbus
