// Observing a line: a tap that sees every frame of a net, the bus load those frames make, and a
// CANopen reading of them for people (a trace).
//
// The tap opens a handle of its own on the net with every 11-bit identifier enabled. The driver
// hands it every frame of the bus and every frame the other handles of this process send, so
// nothing of the node properties, their handles or their identifiers changes, and a tap can be
// opened and closed at any time. Its frames are stamped with the framework clock as they are
// read, kept in a bounded ring (the oldest overwritten, never a wait) and handed to listeners.
//
// Bus load is counted from the frames' lengths on the wire: frame_bits() is exact for the frame's
// content (stuff bits counted from its bits, CRC included), the intermission included, at the
// line's bit rate. A window's load is the bits of the frames read within it over the bits the line
// could carry in it; frames the tap's queue lost are counted as lost, not guessed.
//
// Threads: start() reads on a thread of its own (waking at least every 100 ms); without it, poll()
// reads what is queued on the caller's thread (a stepped clock, tests). Listeners run on the
// reading thread, in order, and must not block (nor stop or close the tap); since(), load() and
// counts() may be called from any thread. Frames lost are those the driver reports (msg_lost:
// at most 255 before each frame that enters the tap's queue).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ntcan.h"

namespace canbus {

// Bits frame `m` takes on the bus: start of frame to end of frame, stuff bits of its content
// counted exactly, plus the 3 bits of intermission. A remote request has no data field; a data
// length above 8 is taken as 8. 11-bit identifiers: a CMSG of this driver carries no other.
int frame_bits(const CMSG& m);

// The bit rate of a baud-rate code the driver names (ntcan.h: NTCAN_BAUD_1000 = 0: 1 Mbit/s ...
// NTCAN_BAUD_10 = 13: 10 kbit/s, NTCAN_BAUD_800 = 14: 800 kbit/s); 0 for a code without one.
int64_t bitrate_of_baud_code(int code);

struct TraceFrame {
  uint64_t seq = 0;  // 1, 2, ... per tap, in the order read; a gap: frames overwritten in the ring
  int64_t t_ns = 0;  // framework clock when read
  int net = 0;
  CMSG frame{};
};

class LineTap {
 public:
  struct Options {
    int net = 0;
    int64_t bitrate = 125000;             // bit/s; bitrate_of_baud_code() of the line's code
    size_t ring_frames = 1u << 16;        // frames kept (since())
    int64_t load_window_ns = 1000000000;  // one bus-load figure per window
    size_t load_windows = 3600;           // windows kept (load_history())
  };
  struct Load {
    int64_t start_ns = 0;  // window start
    uint64_t frames = 0;
    uint64_t bits = 0;
    double fraction = 0;  // bits / (bitrate * window), may exceed 1 only if the clock jumps
  };
  struct Counts {
    uint64_t frames = 0;  // read by the tap
    uint64_t bits = 0;
    uint64_t lost = 0;    // lost by the tap's own receive queue (overrun)
    uint64_t errors = 0;  // reads that failed other than by time-out
  };
  using Listener = std::function<void(const TraceFrame&)>;

  LineTap();
  ~LineTap();  // stops and closes
  LineTap(const LineTap&) = delete;
  LineTap& operator=(const LineTap&) = delete;

  // Opens the tap's handle on opts.net (receive queue large enough for a saturated line at the
  // poll interval). false with the driver's reason in `error`.
  bool open(const Options& opts, std::string* error = nullptr);
  void close();  // stops the thread first
  bool is_open() const;
  const Options& options() const { return opts_; }

  void start();   // the reading thread
  void stop();    // waits for it
  size_t poll();  // reads what is queued now, without waiting; the frames read

  // Called for every frame read, on the reading thread. Returns an id for remove_listener, which
  // returns once the listener runs no more.
  int add_listener(Listener l);
  void remove_listener(int id);

  // Frames of the ring with seq > after_seq, oldest first, at most `max`.
  std::vector<TraceFrame> since(uint64_t after_seq, size_t max) const;
  uint64_t last_seq() const;

  // The last complete window's load, and the windows kept, oldest first (the current one not
  // yet complete is left out).
  Load load() const;
  std::vector<Load> load_history() const;
  Counts counts() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  Options opts_;
};

// The CANopen reading of a trace, one line per frame, or per SDO transfer: an SDO transfer's
// frames (request, segments, blocks, the answer or the abort) become one line when it ends
// ("SDO upload node 5 0x1008:00 Manufacturer device name = \"PUMP-3\"" or "... abort 0x06020000
// Object does not exist in the object dictionary"), and a transfer never ended becomes a line once
// `sdo_timeout_ns` passed without frames (flush()).
class TraceDecoder {
 public:
  struct Names {
    // The object's name for node `node` ("" when unknown: the line shows the index only).
    std::function<std::string(int node, uint16_t index, uint8_t sub)> object;
    // The values a PDO carries, decoded as text ("CAN.PUMP.SPEED 1500 rpm, ..."), or "" (the line
    // shows the data bytes).
    std::function<std::string(int net, const CMSG& frame)> pdo;
  };
  enum class Service { kNmt, kSync, kTime, kEmcy, kPdo, kSdo, kHeartbeat, kLss, kOther };
  struct Line {
    int64_t t_ns = 0;  // the first frame's time
    int net = 0;
    int node = 0;  // 0: none (NMT to all, SYNC, TIME, LSS)
    Service service = Service::kOther;
    std::string text;        // "NMT start node 5", "EMCY node 10 0x8110 CAN overrun ...", ...
    uint64_t first_seq = 0;  // the frames it was read from
    uint64_t last_seq = 0;
  };

  explicit TraceDecoder(Names names = {}, int64_t sdo_timeout_ns = 1000000000);
  // Reads one frame; the lines it completes are appended to `out`.
  void feed(const TraceFrame& f, std::vector<Line>& out);
  // Transfers without a frame since `now_ns - sdo_timeout_ns` end as lines ("... no answer").
  void flush(int64_t now_ns, std::vector<Line>& out);

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

const char* service_name(TraceDecoder::Service s);  // "NMT", "SYNC", "TIME", "EMCY", "PDO", ...

// The frames as a candump log ("(1701955200.123456) can0 705#05"), one line each, with the
// interface name `iface` ("can<net>" when empty): the log `canbus-server --replay` and the CAN
// tools read.
std::string candump_log(const std::vector<TraceFrame>& frames, const std::string& iface = "");

}  // namespace canbus
