// canbus-server's read views and its one way of running a request, shared by the front ends:
// the line protocol's `json WHAT` request and the HTTP API (http_api.cpp) answer from here, so
// that both show the same state the same way. The views are built from what the line protocol
// shows: a node's "status" object is its row of the `status` table, a value's text the `get`
// answer's. Requests run through Server::submit: the request table's checks, the clients'
// limits, the bus worker's queue and the log lines are the line protocol's own.
//
// Threads: every view takes the locks it needs itself (the state lock a slice of nodes at a
// time, as `status`), so the caller holds none of the server's.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "events.h"
#include "requests.h"

namespace canbus_server {

class Server;

class Service {
 public:
  using Json = nlohmann::json;
  explicit Service(Server& server);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // `json WHAT [ARGS]` in the request table.
  void register_requests(RequestTable& t);

  // A view: the JSON, or false with the line protocol's error text ("error: ...").
  struct Answer {
    Json json;
    std::string error;  // "error: ..." when the view has no answer
    bool ok() const { return error.empty(); }
  };
  Json me(const Client& c) const;
  Json nodes();
  Json lines(int64_t since_ms);
  Json values();
  Answer value(const std::string& name);  // a process value, or another property's `get`
  Answer history(const std::string& name, int64_t since_ms);
  struct EventQuery {
    std::vector<std::string> kinds;  // kind names ("state", "emergency", ...); empty: all
    int line = 0;
    std::string name;
    uint64_t after = 0;
    size_t limit = 200;
  };
  Answer events(const EventQuery& q);
  Answer od(const std::string& name, const std::string& search);
  Json status_text();
  struct TraceQuery {
    uint64_t after = 0;
    size_t limit = 200;
    int line = 0;
    int node = 0;
    std::vector<std::string> services;
  };
  Json trace(const TraceQuery& q);
  std::string trace_log(int line);

  // Runs `line` as client `c`'s request line; `done` gets the framed answer (possibly on
  // another thread, once).
  void request(const std::shared_ptr<Client>& c, const std::string& line,
               std::function<void(const std::string& framed)> done);

  // An event as the API shows it: {"seq","t_ms","time","kind","line","node","name","text"}.
  static Json event_json(const Event& e, uint64_t seq, int64_t t_ns);
  // A remembered emergency of a node property, as /api/nodes shows it (null: none).
  Json last_emergency(const std::string& name) const;
  // Every published event passes here first (the hub's listener): the last emergencies.
  void seen(const Event& e, int64_t t_ns);

  // The answer lines of `sdo read NAME INDEX SUB` as /api/nodes/NAME/sdo shows them.
  Json sdo_json(const std::string& name, const std::string& index, const std::string& sub,
                const std::vector<std::string>& lines) const;
  EventHub& hub();
  void client_gone(const std::shared_ptr<Client>& c);  // its queued work and rates go

  // JSON text, ASCII only (other characters escaped, bytes that are no UTF-8 replaced).
  static std::string text(const Json& j);

 private:
  std::string json_request(const Args& a);
  Answer value_of(const std::string& name);  // a process value (service_data.cpp)
  Server& s_;
  mutable std::mutex mx_;
  std::map<std::string, Json> emergencies_;  // node property -> its last emergency
  size_t listener_ = 0;
};

}  // namespace canbus_server
