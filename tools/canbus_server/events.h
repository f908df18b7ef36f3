// What happens on the bus, published in one place: every event goes to the server's log and to
// every client that watches. The node monitor's callbacks publish them: publish() only logs and
// queues, the clients' output is the network side's work (forward_to/take), so a slow or
// numerous audience never holds up the monitor's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "requests.h"

namespace canbus_server {

class EventLog;

struct Event {
  enum class Kind {
    kState,
    kEmergency,
    kLineLost,
    kLineBack,
    kNodeLost,
    kNodeBack,
    kValue,          // a process value: name is the value's property, detail its text
    kPdoLate,        // detail: the TPDO ("TPDO1")
    kPdoBack,        // detail: the TPDO
    kConfigured,     // the boot configuration was applied and the node started
    kConfigFailed,   // detail: the reason; the node was not started
    kRestored,       // set-points sent again after a boot configuration; detail: "RPDO1 SETPOINT
                     // 5000 mA"
    kRestoreFailed,  // detail: the RPDO, its values and why it was not sent
    kCleared,        // a set-point with `boot clear` reads none after a boot; name: the value
    kDrive,          // a motor drive's event; detail: "state Operation enabled", "target-reached
                     // at 25.000 mm", "fault 0x8611 following error", ...
    kBootStatus,     // a node's boot procedure ended with a code; detail: "B no answer to ..."
    kNetwork,        // a network's start-up (line event); detail: "started", "blocked node 5 ..."
    kDownload,       // a program download's progress; detail: "BYTES/TOTAL"
    // A process value's limits (name: the value); detail: the side, the value and the limit
    // passed, "high 1800 mA (limit 1700)".
    kAlarm,
    kAlarmCleared,
    kWarn,
    kWarnCleared,
  };
  Event() = default;
  Event(Kind k, int line_no, int node_id, std::string prop)
      : kind(k), line(line_no), node(node_id), name(std::move(prop)) {}

  Kind kind = Kind::kState;
  int line = 0;
  int node = 0;       // 0 for line events
  std::string name;   // the node property, empty for line events
  std::string state;  // kState: the new state text
  uint16_t code = 0;  // kEmergency: error code
  uint8_t error_register = 0;
  std::string detail;

  // One line: "state line 1 node 5 CAN.PUMP Stopped", "emergency line 2 node 10 CAN.MAGNET
  // code 0x8110 (CAN overrun (objects lost)) register 0x11 (Monitoring)", "line-lost line 2",
  // "value line 2 node 10 CAN.MAGNET.CURRENT 1500 mA", "pdo-late line 2 node 20 CAN.GAUGE
  // TPDO1", "drive line 1 node 7 CAN.SLIT target-reached at 25.000 mm", ... An emergency's code
  // text may hold parentheses but never ") register 0x", which ends it; the last parenthesis is the
  // class of the code.
  std::string text() const;
};

// Bytes of event lines the hub holds for the network side at most; beyond, lines are lost and
// the network side drops its watchers (they would miss events otherwise).
inline constexpr size_t kMaxForwardBytes = 4 * 1024 * 1024;

class EventHub {
 public:
  EventHub();
  ~EventHub();
  EventHub(const EventHub&) = delete;
  EventHub& operator=(const EventHub&) = delete;
  // Every event published, kept with the framework clock's time (newest first, filtered).
  EventLog& log() { return *log_; }
  // A client whose event_sink gets the lines of events while it watches (standard input).
  void add(const std::shared_ptr<Client>& c);
  // Logs the event (value events are not logged: they come all the time) and keeps it in log(),
  // hands its line to
  // the watching clients added and queues it for the network side.
  void publish(const Event& e);
  // The network side: `wake` is called (by the publishing thread, without the hub's lock) when
  // a line is queued into an empty queue; the side then takes what is queued.
  void forward_to(std::function<void()> wake);
  // The lines queued since the last take, each "event ...\n", and their count; `lost` when
  // lines were lost to kMaxForwardBytes meanwhile.
  std::string take(size_t& lines, bool& lost);

  // Further consumers of every event (the HTTP event stream, the service's last emergencies):
  // called by the publishing thread, without the hub's lock, with the event's number and time
  // as log() keeps them; they must not block. `unlisten` returns once no call of
  // that listener runs any more.
  using Listener = std::function<void(const Event& e, uint64_t seq, int64_t t_ns)>;
  size_t listen(Listener f);
  void unlisten(size_t id);

 private:
  std::mutex mx_;
  std::vector<std::weak_ptr<Client>> clients_;
  std::function<void()> wake_;
  std::string queued_;
  size_t queued_lines_ = 0;
  bool lost_ = false;
  // The listeners, and one lock per listener held while it runs: unlisten waits for it.
  struct Listening {
    size_t id = 0;
    Listener f;
    std::mutex running;
  };
  std::vector<std::shared_ptr<Listening>> listeners_;
  size_t next_listener_ = 0;
  std::unique_ptr<EventLog> log_;
};

}  // namespace canbus_server
