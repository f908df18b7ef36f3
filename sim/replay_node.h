// A device on the virtual bus that does what a recorded node did: it plays the frames of a log
// in the CAN tools' format (canlog.h) with their original spacing, and answers requests the way
// the node answered them.
//
// Whose frame is which: a record marked T was sent by the process that recorded the log (the
// server: a request), one marked R or unmarked by a node (an answer, a heartbeat, an EMCY). An
// unmarked log (candump of a whole bus) names the server's identifiers in request_ids.
//
// Playing puts the node's frames on the net, spaced as recorded (divided by `speed`; a time
// going backwards counts as no pause), on the framework's clock (tavik::clock(), so a test's
// VirtualClock replays without waiting). Answering: when a handle or device sends a frame equal
// to a recorded request, the node's frames recorded after that request and within
// answer_within_ns of it go on the bus at once in the sender's thread; a frame answers the latest
// request to its node (CANopen node id: the identifier's low seven bits, an NMT command's second
// byte), or the latest request when none was to its node. Of several equal requests, the one
// after the last answered with that identifier is taken (round robin), so repeated requests get
// the answers in recorded order (guarding toggles, SDO segments).
//
//   canlog::Log log;
//   canlog::read_log_file("pump.log", &log);
//   sim::ReplayNode node(0, log);   // net 0
//   node.answer(true);              // the server under test now talks to the recorded pump
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "canlog.h"
#include "ntcan.h"

namespace sim {

struct ReplayOptions {
  std::vector<int32_t> ids;  // the node's identifiers played and answered; empty: all
  std::string iface;         // only records of this interface; empty: all
  double speed = 1.0;        // 2 plays twice as fast; must be > 0
  bool loop = false;         // play again from the start until stop()
  // Pause between the last frame and the first of the next round; negative: the spacing of the
  // first two frames played (at least 1 ms).
  int64_t loop_pause_ns = -1;
  std::vector<int32_t> request_ids;  // unmarked records with these identifiers are requests
  // A node frame counts as an answer to the request before it when it came this soon after it.
  int64_t answer_within_ns = 100'000'000;
};

class ReplayNode {
 public:
  // Attaches to `net` (0..19); std::invalid_argument for a speed that is not > 0.
  ReplayNode(int net, const canlog::Log& log, ReplayOptions options = {});
  ~ReplayNode();  // stops playing and detaches
  ReplayNode(const ReplayNode&) = delete;
  ReplayNode& operator=(const ReplayNode&) = delete;

  // Plays in the calling thread: once through, or until stop() when looping. Returns the frames
  // put on the bus.
  size_t play();
  // play() in a thread of its own; stop() ends it.
  void start();
  // Ends playing within one pause of at most 100 ms (of the clock) and joins the thread.
  void stop();

  void answer(bool on);
  // The node's frames that answer no request (sent on its own timers, far from any request):
  // those recorded up to `until_ns` after the log's first record and not yet played go on the
  // bus in the caller's thread, in recorded order. Meant for a program that steps its time
  // itself and answers from the log: each step passes the time reached. Returns the frames sent.
  size_t play_unanswered(int64_t until_ns);
  size_t unanswered() const { return unanswered_.size(); }

  // The node's frames to play, and the requests it answers.
  size_t frames() const { return frames_.size(); }
  size_t requests() const { return requests_.size(); }
  size_t played() const { return played_.load(); }
  size_t answered() const { return answered_.load(); }

 private:
  struct Timed {
    int64_t offset_ns;  // from the first frame played, pauses backwards taken as 0
    CMSG frame;
  };
  struct Request {
    CMSG frame;
    int64_t time_ns;
    std::vector<CMSG> answers;
  };
  void on_frame(const CMSG& frame);
  void wait_until(int64_t deadline_ns);

  const int net_;
  const ReplayOptions opt_;
  std::vector<Timed> frames_;
  std::vector<Request> requests_;
  std::vector<Timed> unanswered_;  // offsets from the log's first record, in log order
  std::atomic<int> device_{0};
  std::atomic<bool> answering_{false};
  std::atomic<bool> stop_{false};
  std::atomic<size_t> played_{0};
  std::atomic<size_t> answered_{0};
  std::mutex mx_;                           // guards next_request_ and next_unanswered_
  std::map<int32_t, size_t> next_request_;  // per identifier: where the next search starts
  size_t next_unanswered_ = 0;              // the first of unanswered_ not yet played
  std::thread thread_;                      // of start(); started and joined by the owner's thread
};

}  // namespace sim
