// Recording and replaying for canbus-server: the options --record FILE and --replay FILE and
// the request "record on|off [LINE]". Kept apart from the server's own requests; a server
// holds one RecordRequests, starts it after its devices, and hands it the "record" requests.
//
//   --record FILE   records every line's frames into FILE (created 0640; an existing FILE is
//                   appended to only when it is one this server would have made, see
//                   recorder.h); past --record-max-bytes (default 64 MiB) FILE is renamed
//                   FILE.1 and a new FILE begun, --record-keep (default 4) older files kept
//   --replay FILE   on the virtual bus: puts a replaying device per interface of FILE on its net
//                   (can3 on net 3): it answers the requests recorded in FILE the way the node
//                   did (with --manual, what the node sent on its own goes out on the tick
//                   that reaches its time in FILE); a log without requests (candump of a bus) is
//                   played in a loop instead.
//   record on [LINE] / record off [LINE] / record
//                   switches recording of one line (1..20) or of all on or off; "record" alone
//                   tells the state.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "replay_node.h"

namespace canbus_server {

struct RecordOptions {
  std::string record_file;
  std::string replay_file;
  uint64_t max_bytes = uint64_t{64} << 20;  // --record-max-bytes: FILE rotates past this size
  int keep = 4;                             // --record-keep: FILE.1 .. FILE.keep kept
};

class RecordRequests {
 public:
  RecordRequests() = default;
  ~RecordRequests();  // stops the replaying devices and the recording
  RecordRequests(const RecordRequests&) = delete;
  RecordRequests& operator=(const RecordRequests&) = delete;

  // false with a message on `out` when the file cannot be written or read, or a replay is asked
  // for without the virtual bus. Problems of the replayed log's lines are reported on `out`.
  bool start(const RecordOptions& options, bool virtual_bus, std::ostream& out);
  // The answer to "record ..." (args[0] == "record").
  std::string request(const std::vector<std::string>& args);
  // --manual: a tick brought the session's time to `session_ns` from its start; the replaying
  // devices that answer put out what their nodes sent on their own (timed PDOs, heartbeats far
  // from any request) up to that time of the recording.
  void tick(int64_t session_ns);
  // Whether replaying devices stand in for the simulated nodes.
  bool replaying() const { return !replays_.empty(); }
  static const char* help();

 private:
  RecordOptions opt_;
  std::vector<std::unique_ptr<sim::ReplayNode>> replays_;
};

}  // namespace canbus_server
