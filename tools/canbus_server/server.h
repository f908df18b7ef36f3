// canbus-server: a device server built on the library, the way a user's own server is.
//
// It creates one node property per configured node in a location, attaches them, reads the
// nodes' identity strings, and then runs the receive cycle every 100 ms with a guarding round
// every second and emergency reports. Clients talk to it one request a line.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "D_esdcan.h"
#include "canopen_node.h"
#include "record_requests.h"

namespace canbus_server {

struct Options {
  std::string config_path;  // empty: the bundled example, copied into `workdir`
  std::string workdir;      // where the bundled example's copy lives
  std::string backend;      // driver backend; empty: the environment's, else "virtual"
  double duration = 0;      // seconds until the server ends by itself; 0: until quit
  double status_every = 0;  // seconds between status tables; 0: none
  bool manual = false;      // no cycle thread: "tick N" runs N cycles of 100 ms
  RecordOptions record;     // --record, --replay
};

class Server {
 public:
  Server(Options opts, std::ostream& out);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Loads the configuration, creates and attaches the node properties, starts the simulated
  // devices (virtual bus only) and reads the identity strings. false with a message on `out`
  // when the configuration cannot be read.
  bool start();
  // Serves requests from file descriptor `fd` until quit, end of input (without a duration),
  // the duration or a stop signal; starts the cycle thread unless manual. Saves on exit.
  int run(int fd);
  // One request; returns the answer lines (without the final line feed).
  std::string request(const std::string& line);
  // One receive cycle of 100 ms (a guarding round every tenth).
  void cycle();
  bool save();
  std::string status();

  static void request_stop();

 private:
  struct Node {
    D_can* prop;
    int line;
    int node;
    int64_t last_reply_cycle = -1;  // cycle of the last guarding reply
    int emcy_count = 0;
  };

  std::string cmd_get(const std::string& name);
  std::string cmd_set(const std::string& name, const std::vector<std::string>& values);
  std::string cmd_sim(const std::vector<std::string>& args);
  std::string cmd_list();
  std::string help() const;
  Node* find_node(const std::string& name);
  sim::VbusNode* find_device(int line, int node);
  void attach(Node& n);
  void read_identity(Node& n);
  void cycle_locked();

  Options opts_;
  std::ostream& out_;
  std::string config_file_;
  bool simulate_ = false;
  std::unique_ptr<EqFct> location_;
  std::vector<Node> nodes_;
  std::vector<std::unique_ptr<sim::VbusNode>> devices_;
  RecordRequests record_;  // started before the nodes attach, ended after they are gone
  std::vector<bool> emcy_devices_;
  std::mutex work_mx_;  // one request or one cycle at a time
  int64_t cycles_ = 0;
  std::thread cycle_thread_;
  std::atomic<bool> cycle_stop_{false};
};

}  // namespace canbus_server
