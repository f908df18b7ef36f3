// Network clients: TCP and Unix-socket listeners and one session per client, on one Asio event
// thread. A session reads request lines (LineReader's limit) and hands them to the server in
// order: bus requests one after the other without waiting (the server queues up to
// kMaxQueuedPerClient of them), any other request once the answers before it are in, so that
// answers stay in request order and a request never overtakes an earlier one. Answers and
// watched events go out through an output queue of shared texts. While more than kMaxUnread
// bytes wait to be read, no further request is served; a client whose output does not move for
// the idle time-out, or a watcher that leaves kMaxUnread bytes of events unread, is dropped;
// one that sends no complete request for the idle time-out is closed (unless it waits for
// answers, or watches while places are not short for it). None holds up the event thread, the
// server or other clients.
//
// Places: --max-clients in all, --max-per-address of one network (--per-address-prefix) or
// Unix-socket user; a writer or a Unix-socket client that finds none takes the place of the
// read-only TCP client idle longest.
//
// Events: the hub queues their lines (publish() on the monitor's thread does nothing more), and
// the event thread hands each batch, one shared text, to the watching sessions.
//
// Requests with an AnswerStream (od, list, status) are made on threads of their own (the
// makers: one for od, one for list and status), and a streamed answer is produced piece by piece on
// the event thread as the client reads it (at most kMaxUnread bytes ahead); events that come
// meanwhile wait behind the block.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "options.h"
#include "requests.h"

namespace canbus_server {

class Server;

// Which clients may write: addresses, networks ADDR/BITS, "local" for every Unix-socket
// client, uid:N and group:NAME for Unix-socket clients of that user (SO_PEERCRED) or of a
// user in that group. Empty: loopback and Unix-socket clients. The line protocol's network and
// the HTTP API both ask it.
class WriterRule {
 public:
  // false with `error` for an entry that is none (or an unknown group); `shown` is the list as
  // it applies.
  bool set(const std::vector<std::string>& writers, std::string& shown, std::string& error);
  // A TCP peer's address (an IPv4-mapped IPv6 address counts as the IPv4 one).
  bool allows(const std::string& address) const;
  // A Unix-socket client of user `uid` whose primary group is `gid`.
  bool allows_local(uid_t uid, gid_t gid) const;

  struct Rules;
  const Rules& rules() const { return *rules_; }

 private:
  std::shared_ptr<const Rules> rules_;
};

class Network {
 public:
  Network(Server& server, const Options& opts);
  ~Network();
  Network(const Network&) = delete;
  Network& operator=(const Network&) = delete;

  // Which clients may write (WriterRule::set).
  bool set_writers(const std::vector<std::string>& writers, std::string& shown, std::string& error);
  // Opens a listener on ADDR:PORT, PORT (on 127.0.0.1) or a Unix socket path (with a '/');
  // `bound` is what it listens on (the port chosen for port 0). A Unix socket gets the mode of
  // --socket-mode; an existing path is refused unless it is a socket nobody answers on (left
  // by a server that ended without removing it), which is replaced.
  bool listen(const std::string& where, std::string& bound, std::string& error);
  void start();  // the event thread
  void stop();   // closes listeners and sessions, joins the event thread

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace canbus_server
