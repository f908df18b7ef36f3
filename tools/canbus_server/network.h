// Network clients: TCP and Unix-socket listeners and one session per client, on one Asio event
// thread. A session reads request lines (LineReader's limit), hands them to the server one at a
// time (answers stay in request order) and writes answers and watched events through a
// bounded output queue: a client that does not read its answers is dropped when the queue is
// full, and never holds up the event thread, the server or other clients.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "requests.h"

namespace canbus_server {

class Server;

class Network {
 public:
  Network(Server& server, int max_clients);
  ~Network();
  Network(const Network&) = delete;
  Network& operator=(const Network&) = delete;

  // Which clients may write: addresses, networks ADDR/BITS, "local" for Unix-socket clients.
  // Empty: loopback and Unix-socket clients. false with `error` for an entry that is none.
  bool set_writers(const std::vector<std::string>& writers, std::string& error);
  // Opens a listener on ADDR:PORT, PORT (on 127.0.0.1) or a Unix socket path (with a '/');
  // `bound` is what it listens on (the port chosen for port 0).
  bool listen(const std::string& where, std::string& bound, std::string& error);
  void start();  // the event thread
  void stop();   // closes listeners and sessions, joins the event thread

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace canbus_server
