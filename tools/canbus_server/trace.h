// canbus-server's bus trace: a tap on every configured line (canbus::LineTap), the CANopen
// reading of its frames (canbus::TraceDecoder, with the names of the nodes' dictionaries and of
// the process values), the decoded lines kept for the clients, and each line's bus load.
//
// The Server owns one BusTrace. It opens the taps once the lines are open (their bit rates from
// the lines' baud codes), starts their threads (or, with --manual, polls them on `tick`), and
// closes them before the lines close.
//
// Threads and locks: a tap's frames are decoded on the thread that reads them (the tap's own, or
// the caller of tick()); each line's decoder has a mutex of its own (mx_ of the Line), the kept
// lines another one (ring_mx_), the listeners a third (listen_mx_, held while they are called,
// so that remove_listener() returns only once the listener runs no more). The names the decoders
// ask for come from tables fixed at start (the dictionaries, the PDOs' mappings): decoding takes
// no lock of the server. Unanswered SDO transfers end as lines on the next frame of their line
// at least 100 ms after the last check, on tick() and on every query().
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "D_esdcan.h"
#include "metrics.h"

namespace canbus_server {

// Decoded lines kept for the clients; the oldest is overwritten.
inline constexpr size_t kTraceLinesKept = 10000;

class BusTrace {
 public:
  struct Entry {
    uint64_t seq = 0;     // 1, 2, ... over all lines, in the order decoded
    int64_t t_ns = 0;     // framework clock: the first frame's time
    int line = 0;         // 1..20
    int node = 0;         // 0: none (NMT to all, SYNC, TIME, LSS)
    std::string service;  // service_name(): "SDO", "PDO", "NMT", "HEARTBEAT", ...
    std::string text;
  };
  // The names of a line's decoder (line number given).
  using NamesOf = std::function<canbus::TraceDecoder::Names(int line)>;
  // Called for every line decoded, on the thread that decoded it: must not block.
  using Listener = std::function<void(const Entry&)>;
  struct LineLoad {
    int line = 0;
    int64_t bitrate = 0;
    canbus::LineTap::Load load;                  // the last complete window (a second)
    std::vector<canbus::LineTap::Load> history;  // the windows kept, oldest first
    canbus::LineTap::Counts counts;
  };

  explicit BusTrace(size_t kept = kTraceLinesKept) : kept_(kept) {}
  ~BusTrace();  // closes
  BusTrace(const BusTrace&) = delete;
  BusTrace& operator=(const BusTrace&) = delete;

  // Opens a tap on each line (line number, baud code; line N is the driver's net N - 1). A line
  // whose tap cannot be opened is reported in `errors` ("line 2: REASON") and left out.
  void open(const std::vector<std::pair<int, int>>& lines, const NamesOf& names,
            std::vector<std::string>& errors);
  void start();  // the taps' threads
  void tick();   // --manual: reads what the taps have queued, ends unanswered transfers
  void close();  // stops and closes the taps; the lines kept stay

  // Kept lines with seq > after_seq, oldest first, at most `limit`; `line`, `node` > 0 select
  // one line, one node (node 0 too: every node); `services` (names as service_name) selects
  // services, empty: all.
  std::vector<Entry> query(uint64_t after_seq, size_t limit, int line = 0, int node = 0,
                           const std::set<std::string>& services = {});
  uint64_t last_seq() const;

  int add_listener(Listener l);  // an id for remove_listener
  void remove_listener(int id);  // not from inside a listener

  // The loads of the tapped lines, in line order; `line` > 0: that line only.
  std::vector<LineLoad> loads(int line = 0) const;
  // "load 3.1%" of a line's last complete second; "" for a line without a tap.
  std::string load_text(int line) const;
  // The frames a line's tap keeps as a candump log (interface "can<net>", the name the virtual
  // bus and a replay use); false for a line without a tap.
  bool candump(int line, std::string& out) const;
  // canbus_line_load and canbus_line_bits_total of the tapped lines, in the text format
  // (metrics.h); the load is a ratio, written as a real number.
  std::string metrics_text() const;

 private:
  struct Line {
    int line = 0;
    canbus::LineTap tap;
    std::mutex mx;  // the decoder and last_flush_ns
    std::unique_ptr<canbus::TraceDecoder> decoder;
    int64_t last_flush_ns = 0;
  };
  void on_frame(Line& l, const canbus::TraceFrame& f);
  void flush(Line& l, int64_t now_ns);
  void keep(const Line& l, std::vector<canbus::TraceDecoder::Line>& decoded);

  const size_t kept_;
  std::vector<std::unique_ptr<Line>> lines_;  // made in open(), never changed until close()
  mutable std::mutex ring_mx_;
  std::deque<Entry> ring_;
  uint64_t seq_ = 0;
  std::mutex listen_mx_;
  std::map<int, Listener> listeners_;
  int next_listener_ = 1;
};

}  // namespace canbus_server
