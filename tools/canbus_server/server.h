// canbus-server: a device server built on the library, the way a user's own server is.
//
// It creates one node property per configured node in a location, attaches them, reads the
// nodes' identity strings, and then runs the receive cycle every 100 ms with a guarding round
// every second. Clients (standard input, network sessions) send one request a line.
//
// Threads and locks:
//  - bus_mx_: bus work, one piece at a time: a receive cycle, or one job of the bus worker
//    (identity uploads, writes, moves, ticks). Taken before state_mx_.
//  - state_mx_: the node table and the property values as requests see them; held briefly by
//    requests that run at once (get, list, status) and by bus work while it changes them, never
//    while it waits for the bus (an SDO upload runs without it). So status never waits for the
//    bus.
// The files: options (command line), config_file (reading and writing the configuration),
// requests (request lines and the request table), events (the one place events are published),
// network (Asio sessions), server (nodes, cycle, request handlers).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "D_esdcan.h"
#include "canopen_node.h"
#include "config_file.h"
#include "events.h"
#include "options.h"
#include "requests.h"

namespace canbus_server {

// Runs jobs one after the other on a thread of its own.
class BusWorker {
 public:
  void start();
  void stop();  // runs what is queued, then ends
  void post(std::function<void()> job);

 private:
  std::mutex mx_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  std::thread thread_;
};

class Server {
 public:
  // The answer to a request and whether the session ends with it (quit).
  using Done = std::function<void(const std::string& answer, bool end)>;

  Server(Options opts, int out_fd);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Reads the configuration, creates and attaches the node properties, starts the simulated
  // devices (virtual bus only) and reads the identity strings. false with the reasons on
  // standard error when the configuration cannot be used.
  bool start();
  // Serves standard input (`in_fd`) and the network until quit on standard input, end of input
  // (without a duration or listeners), the duration or a stop signal. Saves on exit.
  int run(int in_fd);

  // One request of client `c`; `done` is called exactly once, possibly on another thread.
  void submit(const std::shared_ptr<Client>& c, const std::string& line, Done done);
  RequestTable& requests() { return table_; }
  EventHub& events() { return events_; }

  static void request_stop();

 private:
  struct Node {
    D_can* prop;
    int line;
    int node;
    int64_t last_reply_cycle = -1;  // cycle of the last guarding reply
    int emcy_count = 0;
    int last_state = -1;  // last state published (low 7 bits of the reply), -1 none yet
    bool lost = false;    // "No guarding reply" published
    bool master = false;  // attached as the master of its line and node
  };

  static std::string role_of(const Node& n);

  void register_requests();
  std::string cmd_get(const std::string& name);
  std::string cmd_set(Client& c, const std::string& name, const Args& values);
  std::string cmd_set_node(Client& c, Node& n, const int v[4]);
  std::string cmd_sim(const Args& args);
  std::string cmd_list();
  std::string cmd_identity(const std::string& name);
  std::string cmd_help(const Args& args) const;
  std::string status();
  Node* find_node(const std::string& name);
  sim::VbusNode* find_device(int line, int node);
  void attach(Node& n);
  void read_identity(Node& n);
  void cycle();           // one receive cycle of 100 ms, with bus_mx_
  void cycle_locked();    // with bus_mx_ and state_mx_
  void publish_events();  // without state_mx_
  bool save(std::string& error);
  void restore_values();
  void log(const std::string& msg);
  void write_out(const std::string& text);

  Options opts_;
  int out_fd_;
  std::mutex out_mx_;
  std::string config_file_;
  ConfigFile config_;
  bool config_ok_ = false;  // the file was read: it may be written back
  bool simulate_ = false;
  std::unique_ptr<EqFct> location_;
  std::vector<Node> nodes_;
  std::vector<std::unique_ptr<sim::VbusNode>> devices_;
  RecordRequests record_;  // started before the nodes attach, ended after they are gone
  std::vector<bool> emcy_devices_;
  std::map<int, bool> line_open_;  // per line number: open at the last cycle
  RequestTable table_;
  EventHub events_;
  std::vector<Event> pending_events_;  // found by the cycle, published after it
  BusWorker worker_;
  std::mutex bus_mx_;
  std::mutex state_mx_;
  int64_t cycles_ = 0;
  std::thread cycle_thread_;
  std::atomic<bool> cycle_stop_{false};
};

}  // namespace canbus_server
