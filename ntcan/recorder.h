// Recording of the frames a process sends and receives, in the CAN tools' log format (canlog.h),
// for any backend.
//
// The driver's C calls hand every frame of a recorded net to the recorder: canSend's frames
// that were sent, marked T; the frames canRead and canTake deliver, marked R. A frame the
// process sent that one of its own handles receives again within a second is written once, as
// sent (candump sees it once on the bus, and a replay must not take it for a node's answer). Each
// is stamped with the time of the call and put into one bounded queue without waiting: a frame that
// finds the queue full is dropped and counted (stats().dropped). A background thread writes the
// queue to the file; the frame path never waits for the disk nor takes a lock. When frames were
// dropped the writer reports it on standard error and puts a comment line
// "# recorder: N frames dropped, queue full" into the log, which readers pass over.
//
// Handles beyond 8,192 open at once are not recorded. Net n is named by the backend (virtual bus
// "can<n>", SocketCAN its interface name); names are right-aligned to the longest one written so
// far, as candump aligns them.
//
// The writer writes what is queued every 10 ms, on flush(), at stop() and when the process
// exits normally (exit handler); a process killed by a signal loses what was still queued.
//
// The file: created with mode 0640 (less as the umask takes away), never through a symbolic
// link (O_NOFOLLOW | O_CREAT | O_EXCL). A file already at the path is appended to only when it
// is one the recorder would have made: a regular file owned by the process's effective user,
// with no other name (link count 1) and not writable by its group or others; anything else
// (a link planted at the path, another user's file, a device, a FIFO) is refused and recording
// stays off. The checks are made on the opened descriptor, so no name can be swapped in between.
//
// Rotation: with rotate_bytes > 0, before a line would take FILE past that size, FILE is
// renamed FILE.1 (an older FILE.1 becoming FILE.2 and so on, FILE.<keep> the oldest kept) and a
// new FILE is created as above. Lines are never split and no frame is lost to a rotation: each
// file holds whole lines, which the log readers take on their own. If the new FILE cannot be
// created (something was put at the path in between) the lines are counted as write errors.
//
// Configuration by the environment, read at the process's first canOpen:
//   NTCAN_RECORD=FILE            record into FILE (appended to if it exists and is ours)
//   NTCAN_RECORD_NETS=0,2-4      nets to record (default: all)
//   NTCAN_RECORD_MAX_BYTES=SIZE  rotate at SIZE bytes (suffix k or M; default 64M; 0: never);
//                                NTCAN_RECORD_ROTATE is the older name
//   NTCAN_RECORD_KEEP=N          rotated files kept (default 4)
//   NTCAN_RECORD_QUEUE=FRAMES    queue size (default 65536)
// A bad value is reported on standard error and recording stays off.
#pragma once

#include <cstdint>
#include <string>

#include "ntcan.h"

namespace ntcan::recorder {

constexpr int kMaxNets = 64;  // nets 0..63 can be recorded
constexpr uint64_t kAllNets = ~uint64_t{0};
constexpr size_t kDefaultQueue = 65536;

struct Options {
  std::string path;
  uint64_t nets = kAllNets;                    // bit n: net n
  uint64_t rotate_bytes = uint64_t{64} << 20;  // 0: never rotate
  int keep = 4;
  // Cells, rounded up to a power of two; each driver call takes one more than its frames. A start
  // with another size than the queue in use makes a new queue (the old one stays allocated: 32
  // bytes a frame).
  size_t queue_frames = kDefaultQueue;
};

// Starts recording into options.path (a running recording is stopped first). False with a
// reason in *error if the file cannot be opened or an option is out of range.
bool start(const Options& options, std::string* error = nullptr);
// Writes out everything queued and closes the file. Frames of calls running meanwhile may be
// lost; frames of calls that returned before are in the file.
void stop();
bool active();

// The nets recorded from now on, for the running recording and later ones.
void set_nets(uint64_t nets);
uint64_t nets();

// Returns once every frame of driver calls that returned before it is written to the file and
// handed to the system. No-op when not recording.
void flush();

struct Stats {
  uint64_t written = 0;  // frames written, since the process began
  uint64_t dropped = 0;  // frames lost because the queue was full, since the process began
  uint64_t rotations = 0;
  uint64_t write_errors = 0;  // failed writes (the lines are lost)
};
Stats stats();

// Time stamps of recorded frames, in ns since the epoch; nullptr restores CLOCK_REALTIME.
// Tests put the framework's virtual clock here.
using TimeSource = int64_t (*)();
void set_time_source(TimeSource source);

// Options from the NTCAN_RECORD* environment; false when NTCAN_RECORD is unset or empty, or a
// value is bad (*error says which).
bool options_from_environment(Options* options, std::string* error);
// Parses a net list such as "0,2-4" or "all".
bool parse_nets(const std::string& text, uint64_t* nets);

// Hooks of the driver's C calls (ntcan.cpp).
void on_open(NTCAN_HANDLE handle, int net);
// The net `handle` was opened on, recorded or not; -1 once it is closed or when it was opened
// beyond 8,192 handles at once.
int net_of(NTCAN_HANDLE handle);
void on_close(NTCAN_HANDLE handle);
// A handle that only watches its net (a line tap, which receives every frame of the bus): from
// now on its frames are neither recorded nor counted (net_counts.h). The handles that take part
// in the traffic record and count it; the watcher's copies would be every received frame again.
void observer(NTCAN_HANDLE handle);
void on_received(NTCAN_HANDLE handle, const CMSG* frames, int32_t count);
// canSend's frames take their place in the queue before the backend sends them, so that a copy
// that one of the process's own handles receives is always recorded after them; the destructor
// completes the record with the frames sent (none unless sent() was called).
class SendRecord {
 public:
  SendRecord(NTCAN_HANDLE handle, const CMSG* frames, int32_t count);
  ~SendRecord();
  SendRecord(const SendRecord&) = delete;
  SendRecord& operator=(const SendRecord&) = delete;
  void sent(int32_t count) { sent_ = count; }

 private:
  void* ring_ = nullptr;  // set when cells were reserved
  uint64_t pos_ = 0;
  int64_t time_ns_ = 0;
  int32_t sent_ = 0;
  uint16_t cells_ = 0;
  int net_ = -1;
};
// Starts recording from the environment, if it asks for it (first driver call).
void start_from_environment();

}  // namespace ntcan::recorder
