// Process data: PDO mappings and communication parameters, their configuration on a node over
// SDO, decoding of received TPDOs into typed values, encoding and sending of RPDOs, and the
// SYNC producer of a line.
//
// A mapping is given in code (PdoEntry by PdoEntry); entries carry the mapped object's index,
// sub-index, bit length, data type and an optional name, so that a mapping read from a device
// description fills the same structure.
//
// Threads: the functions that talk to a node (read_pdo, configure_pdo) run SDO transfers in the
// caller's thread and wait for the node's replies (2 to 3 s for a silent node per transfer);
// they follow the SDO client's rules (D_can::sdo_upload). decode_pdo and encode_pdo are pure.
// A SyncProducer may be used from any thread.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "can_value.h"
#include "ntcan.h"

class D_can;

namespace canbus {

class ObjectDictionary;

// One mapped object of a PDO. An entry whose index is that of a data type (0x0001..0x001F) is a
// dummy entry: it takes its bits in the frame and carries no value.
struct PdoEntry {
  uint16_t index = 0;
  uint8_t subindex = 0;
  uint8_t bits = 0;  // 1..64
  DataType type = DataType::kUnsigned8;
  std::string name;  // optional, for reports and device servers
};
using PdoMapping = std::vector<PdoEntry>;

bool is_dummy_entry(const PdoEntry& e);
// The mapping object's value of an entry: index << 16 | subindex << 8 | bits.
uint32_t mapping_word(const PdoEntry& e);
// The entry a mapping object's value stands for. The node does not tell the type: it is taken
// from a dummy entry's index, else BOOLEAN for 1 bit and the unsigned type of the length
// (UNSIGNED8..64, rounded up to whole bytes) otherwise.
PdoEntry entry_from_word(uint32_t word);
// Bits the mapping takes in a frame; the mapping fits a frame when this is at most 64.
unsigned mapping_bits(const PdoMapping& m);

enum class PdoKind { kTpdo, kRpdo };  // sent by the node / received by the node

// Communication parameters and mapping of one PDO (TPDO n: objects 0x1800 + n - 1 and
// 0x1A00 + n - 1; RPDO n: 0x1400 + n - 1 and 0x1600 + n - 1; n is 1..512).
struct PdoConfig {
  PdoKind kind = PdoKind::kTpdo;
  int number = 1;
  // The 11-bit identifier; 0 takes the predefined one (cob_tpdo / cob_rpdo of the node, for
  // PDO 1..4).
  uint32_t cob_id = 0;
  bool valid = true;        // COB-ID bit 31 clear
  bool rtr_allowed = true;  // COB-ID bit 30 clear (TPDO only)
  // 0: synchronous acyclic; 1..240: every n-th SYNC; 252, 253: on remote request; 254, 255:
  // event driven.
  uint8_t transmission_type = 0xFF;
  uint16_t inhibit_time_100us = 0;  // TPDO only
  uint16_t event_timer_ms = 0;      // TPDO: period of an event-driven TPDO; 0: none
  uint8_t sync_start = 0;           // TPDO only; written only when not 0
  PdoMapping mapping;
};

// The objects of a PDO.
uint16_t pdo_comm_index(PdoKind kind, int number);
uint16_t pdo_map_index(PdoKind kind, int number);
// The PDO's identifier on node `node`: cfg.cob_id, or the predefined one when that is 0.
uint32_t pdo_cob_id(const PdoConfig& cfg, int node);
// "TPDO1", "RPDO2".
std::string pdo_name(PdoKind kind, int number);
// Synchronous transmission (types 0..240).
inline bool is_synchronous(const PdoConfig& cfg) {
  return cfg.transmission_type <= 240;
}

// Outcome of a PDO configuration or read: result 0, or the SDO result of the step that failed
// (abort code, D_can::kSdoTimeout or a driver result), kPdoMismatch when the read-back differs,
// kPdoBadConfig when the configuration cannot be written (number, mapping longer than 64 bits or
// 64 entries, identifier). `text` names the PDO, the object and the reason:
// "TPDO1: 0x1A00:02: SDO abort 0x06040041: Object cannot be mapped to the PDO".
constexpr int kPdoMismatch = -10;
constexpr int kPdoBadConfig = -11;
struct PdoResult {
  int result = 0;
  uint16_t index = 0;
  uint8_t subindex = 0;
  std::string text;
  bool ok() const { return result == 0; }
};

// Reads a PDO's communication parameters and mapping from the node into `out` (kind and number
// as given). Sub-indices the node does not have (inhibit time, event timer, SYNC start value)
// keep their defaults.
PdoResult read_pdo(D_can& node, PdoKind kind, int number, PdoConfig& out);
// Writes `cfg` into the node in the order CiA 301 requires: the COB-ID made invalid (read first,
// written with bit 31 set when it is valid), the entry count set to 0, the entries, the entry
// count, the transmission type, (TPDO) inhibit time and event timer, the SYNC start value when
// not 0, and last the COB-ID with the valid bit as cfg says. Then reads the PDO back and
// compares. A failing step ends the procedure: the PDO stays invalid, never half-mapped and
// valid. On success the identifier of a TPDO is enabled on the node's handle (AddIdent), for a
// master and a follower alike.
PdoResult configure_pdo(D_can& node, const PdoConfig& cfg);
// One SDO write of a PDO configuration: the low `bytes` bytes (1, 2 or 4) of `value`.
struct PdoWrite {
  uint16_t index = 0;
  uint8_t subindex = 0;
  uint32_t value = 0;
  uint8_t bytes = 4;
};
// The writes of configure_pdo for `cfg` on node `node`, in its order: first the COB-ID with the
// new identifier and bit 31 set (configure_pdo itself only sets bit 31 of a valid COB-ID, with
// the identifier it has), then the entry count 0, the entries, the count, the COB-ID still
// invalid, the parameters and last the valid COB-ID when cfg.valid. A configuration that cannot
// be written gives false with `failure` as configure_pdo reports it (kPdoBadConfig).
bool pdo_writes(const PdoConfig& cfg, int node, std::vector<PdoWrite>& out, PdoResult& failure);

// --- Mappings from a device description ---------------------------------------------------------

// The mapping entry for the object (index, subindex) of `od`, `bits` long: the object's data type
// and its name as the dictionary spells it ("ADC inputs.Channel 1", see can_od.h). Refused (false,
// `out` untouched, the reason in `why`) when the file does not list the object, marks it not
// PDO-mappable, gives it a type of no fixed size, or `bits` differs from the type's length
// ("0x6401:01: 8 bits, INTEGER16 has 16"). A dummy entry (index 0x0001..0x001F, a data type)
// stays a dummy: only its length is checked against the type. bits 0 takes the type's length.
bool pdo_entry_from_dictionary(const ObjectDictionary& od, uint16_t index, uint8_t subindex,
                               uint8_t bits, PdoEntry& out, std::string& why);
// The same for a mapping object's value (index << 16 | subindex << 8 | bits).
bool pdo_entry_from_word(const ObjectDictionary& od, uint32_t word, PdoEntry& out,
                         std::string& why);
// TPDO or RPDO `number` as the dictionary describes it: the communication object (0x1400 /
// 0x1800 + number - 1: COB-ID with its valid and RTR bits, transmission type, inhibit time, event
// timer, SYNC start value) and the mapping object (0x1600 / 0x1A00 + number - 1: count and
// entries), each value the entry's ParameterValue (a DCF) or else its DefaultValue. Entries go
// through pdo_entry_from_word; a TPDO takes readable objects only, an RPDO writable ones. A COB-ID
// the file gives with $NODEID while the dictionary was read without a node id is taken as the
// predefined identifier (cob_id 0) when it is one (PDO 1..4), else refused. Refused with the PDO,
// the object and the reason: "TPDO1: 0x1A00:02: 0x6401:02 is not PDO-mappable". Sub-indices the
// file does not have keep PdoConfig's defaults, except the COB-ID, transmission type and count,
// which must be there.
bool pdo_config_from_dictionary(const ObjectDictionary& od, PdoKind kind, int number,
                                PdoConfig& out, std::string& why);

// --- Values -----------------------------------------------------------------------------------

// A decoded TPDO: its number, the time it was taken from the bus (framework clock, ns), and one
// value per mapping entry, in mapping order (an empty Value for a dummy entry).
struct PdoValues {
  int pdo = 0;
  int64_t time_ns = 0;
  std::vector<Value> values;
};

// Decodes `n` data bytes with `mapping` into `out` (resized to the mapping): false when the
// frame is shorter than the mapping.
bool decode_pdo(const PdoMapping& mapping, const uint8_t* data, size_t n, std::vector<Value>& out);
// Encodes one value per mapping entry (dummy entries: any value, sent as zero bits) into the
// frame's data and length; false with a reason in *err when a value does not fit its entry, the
// count differs or the mapping exceeds 64 bits.
bool encode_pdo(const PdoMapping& mapping, const std::vector<Value>& values, CMSG& out,
                std::string* err);

class SyncProducer;
// Encodes `values` with the RPDO's mapping and sends it on its identifier from the node's handle
// (can_write). A synchronous RPDO (transmission type 0..240) with a SYNC producer goes out right
// after the producer's next SYNC, from the line's handle (a later send of the same RPDO before
// that SYNC replaces it). 0, the driver's result, or kPdoBadConfig with the reason in *err.
int send_rpdo(D_can& node, const PdoConfig& rpdo, const std::vector<Value>& values,
              SyncProducer* sync = nullptr, std::string* err = nullptr);

// --- SYNC producer ----------------------------------------------------------------------------

struct SyncStats {
  uint64_t sent = 0;     // SYNC frames sent
  uint64_t failed = 0;   // SYNC frames the driver refused (line down, no line)
  uint64_t skipped = 0;  // periods passed over because the producer came more than a period late
  uint64_t rpdos = 0;    // synchronous RPDOs sent after a SYNC
};

// One SYNC as the listeners see it: its counter (0 without counter) and the framework time it
// was sent at.
struct SyncEvent {
  uint8_t counter = 0;
  int64_t time_ns = 0;
  int64_t due_ns = 0;     // when it was due: start + n * period
  uint64_t sequence = 0;  // 1 for the first SYNC after start()
};

// The SYNC producer of a line (identifier 0x080), sending from the line's own handle: period n
// after start() is due at start + n * period on the framework clock, so no error accumulates. A
// producer that comes more than one period late skips the periods it missed (counted), it does
// not send a burst. With a counter (object 0x1019 semantics: overflow value 2..240), each SYNC
// carries one byte counting 1..overflow and starting at 1 again; without (0) the SYNC has no data.
//
// Two ways to run it: start() with its own thread (real time: timer slack of the thread cut, a
// short time slice asked of the scheduler, the last 150 µs before each deadline waited on the
// clock), or start(..., false) and tick() from a loop of the caller's, which is how tests drive it
// on the virtual clock. Listeners run on the sending thread right after each SYNC, with no lock of
// the producer held; they must return quickly and must not call stop().
class SyncProducer {
 public:
  explicit SyncProducer(int line);
  ~SyncProducer();  // stops
  SyncProducer(const SyncProducer&) = delete;
  SyncProducer& operator=(const SyncProducer&) = delete;

  int line() const { return line_; }
  // false (nothing changes) when it runs already, the period is not positive or the counter is
  // neither 0 nor 2..240.
  bool start(int64_t period_us, int counter_overflow = 0, bool own_thread = true);
  // Ends the production; with its own thread, ends the wait in progress and joins. Refused
  // (false) from a listener.
  bool stop();
  bool running() const;
  // Without own thread: sends the SYNC due at the framework clock's time, if one is due; true
  // when one was sent.
  bool tick();
  // Real-time priority (SCHED_FIFO 1..99) for the thread of its own, taken at the next start();
  // 0, the default, keeps the normal scheduling. On a loaded machine only a real-time thread
  // keeps its deadlines within a fraction of a millisecond. When the system refuses it
  // (no CAP_SYS_NICE or RLIMIT_RTPRIO), the thread logs that once and runs normally.
  void set_realtime_priority(int priority);
  // When the next SYNC is due (framework clock, ns); 0 when not running.
  int64_t next_due_ns() const;
  // The period of the running production (ns); 0 when not running.
  int64_t period_ns() const;
  SyncStats stats() const;

  using Listener = std::function<void(const SyncEvent&)>;
  int add_listener(Listener fn);  // id > 0
  // When it returns, the listener is not running and is not called again (except from itself).
  void remove_listener(int id);

  // A frame to send right after the next SYNC (send_rpdo uses it); one of the same identifier
  // queued before is replaced.
  void queue_after_sync(const CMSG& frame);

 private:
  bool send_due(int64_t now);  // with nothing held
  void run();
  NTCAN_HANDLE line_handle() const;

  const int line_;
  mutable std::mutex mx_;  // guards the schedule, stats, queue and listeners
  std::condition_variable cv_;
  bool running_ = false;
  std::atomic<bool> stop_{false};  // written under mx_; read without it right before a deadline
  int64_t start_ns_ = 0;
  int64_t period_ns_ = 0;
  uint64_t n_ = 0;  // periods sent or skipped since start
  int overflow_ = 0;
  int rt_priority_ = 0;
  uint8_t counter_ = 0;
  SyncStats stats_;
  std::vector<CMSG> queued_;
  struct Slot {
    int id;
    std::shared_ptr<Listener> fn;
  };
  std::vector<Slot> listeners_;
  int next_listener_ = 1;
  std::mutex send_mx_;  // held while one SYNC and its listeners run; remove_listener waits on it
  std::atomic<std::thread::id> sending_thread_{};
  std::thread thread_;
};

}  // namespace canbus
