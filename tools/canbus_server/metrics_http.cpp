// --metrics: civetweb serves the text of metrics.cpp; the server's part gathers its counters.
#include <arpa/inet.h>
#include <civetweb.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <map>

#include "metrics.h"
#include "net_counts.h"
#include "server.h"

// civetweb (Debian's 1.15) formats the Date header of every answer, its own error pages
// included, with gmtime(), whose result is one static buffer in the C library: two workers
// answering at once would write it together. This program's gmtime gives each thread its own
// result, so civetweb runs several workers. (The sanitizers' gmtime is weak and yields to it.)
extern "C" struct tm* gmtime(const time_t* t) noexcept {
  thread_local struct tm result;
  return gmtime_r(t, &result);
}

#if defined(__SANITIZE_THREAD__)
// limit_per_address() answers and shuts sockets that civetweb's listening thread accepted and
// hands to its workers through a queue of its own, which ThreadSanitizer does not see; it
// models a descriptor as memory and takes the send() and shutdown() for a race with accept().
// For the kernel both are safe on a socket another thread holds.
extern "C" const char* __tsan_default_suppressions() {
  return "race:canbus_server::MetricsServer::limit_per_address\n";
}
#endif

namespace canbus_server {

namespace {

constexpr const char* kContentType = "text/plain; version=0.0.4; charset=utf-8";

// civetweb's first message on this thread: mg_start2 binds on the caller's thread, and that
// message names the system's error ("cannot bind to ...: 99 (Cannot assign requested address)").
thread_local std::string t_message;

// Accepts PORT, :PORT, ADDR:PORT (IPv4) and [ADDR]:PORT (IPv6); civetweb's listening_ports
// form in `ports` ("127.0.0.1:9100", "[::1]:9100").
bool listening_ports(const std::string& where, std::string& ports, std::string& why) {
  std::string host = "127.0.0.1", port = where;
  const size_t colon = where.rfind(':');
  if (colon != std::string::npos) {
    host = where.substr(0, colon);
    port = where.substr(colon + 1);
    if (host.empty()) host = "127.0.0.1";
  }
  int p = -1;
  if (!parse_int(port, p) || p < 0 || p > 65535) {
    why = "'" + port + "' is no port number";
    return false;
  }
  unsigned char buf[16];
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    if (inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), buf) != 1) {
      why = "'" + host + "' is no address";
      return false;
    }
    if ((mg_check_feature(MG_FEATURES_IPV6) & MG_FEATURES_IPV6) == 0) {
      why = "this civetweb has no IPv6";
      return false;
    }
  } else if (inet_pton(AF_INET, host.c_str(), buf) != 1) {
    why = "'" + host + "' is no address (IPv6 in brackets: [::1]:PORT)";
    return false;
  }
  ports = host + ":" + std::to_string(p);
  return true;
}

std::string address_text(const sockaddr_storage& s) {
  char text[INET6_ADDRSTRLEN] = "";
  if (s.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&s)->sin_addr, text, sizeof text);
  } else if (s.ss_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&s)->sin6_addr, text, sizeof text);
  }
  return text;
}

int port_of(const sockaddr_storage& s) {
  if (s.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&s)->sin_port);
  if (s.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&s)->sin6_port);
  return -1;
}

// The client's address and port of socket `fd` if it is an established connection to what
// civetweb listens on (`host` empty: any address of the family).
bool connection_to(int fd, const MetricsServer::Served& served, std::string& peer, int& peer_port) {
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0 || a.ss_family != served.family ||
      port_of(a) != served.port || (!served.host.empty() && address_text(a) != served.host)) {
    return false;
  }
  len = sizeof a;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return false;  // listening
  // A connection that either side has begun to close holds no worker for long.
  tcp_info info{};
  socklen_t info_len = sizeof info;
  if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &info_len) != 0 ||
      info.tcpi_state != TCP_ESTABLISHED) {
    return false;
  }
  peer = address_text(a);
  peer_port = port_of(a);
  return true;
}

}  // namespace

// civetweb tells neither the client's address nor the socket before the request has been
// read, and a client that trickles its request never gets that far. So each time a worker
// takes a connection up, the process's sockets on the metrics port are looked through
// (those waiting for a worker included): of one address, the ones first seen after its
// `per_address` oldest are answered 503 and shut, and their workers are free at once.
int MetricsServer::opened(const mg_connection* conn, void** data) {
  *data = nullptr;
  static_cast<MetricsServer*>(mg_get_user_data(mg_get_context(conn)))->limit_per_address();
  return 0;
}

void MetricsServer::limit_per_address() {
  static constexpr char kBusy[] =
      "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\nContent-Length: 30\r\n"
      "Connection: close\r\n\r\ntoo many connections from here\n";
  std::lock_guard<std::mutex> lk(mx_);
  using Key = std::tuple<int, std::string, int>;
  std::map<Key, std::pair<uint64_t, bool>> now;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (const dirent* e = readdir(d)) {
      char* end = nullptr;
      const long fd = std::strtol(e->d_name, &end, 10);
      std::string peer;
      int peer_port = 0;
      if (end == e->d_name || *end != '\0' || fd == dirfd(d) ||
          !connection_to(static_cast<int>(fd), served_, peer, peer_port)) {
        continue;
      }
      Key k{static_cast<int>(fd), peer, peer_port};
      const auto it = seen_.find(k);
      now.emplace(std::move(k),
                  it != seen_.end() ? it->second : std::make_pair(++seen_count_, false));
    }
    closedir(d);
  }
  seen_ = std::move(now);
  // Oldest first, by address.
  std::map<std::string, std::map<uint64_t, int>> by_address;
  for (const auto& [k, v] : seen_) {
    if (!v.second) by_address[std::get<1>(k)].emplace(v.first, std::get<0>(k));
  }
  for (const auto& [peer, conns] : by_address) {
    int n = 0;
    for (const auto& [order, fd] : conns) {
      if (++n <= limits_.per_address) continue;
      std::string p;
      int pp = 0;
      // Still the same connection (the descriptor may have been closed and taken again).
      if (!connection_to(fd, served_, p, pp) || p != peer) continue;
      const auto k = seen_.find(Key{fd, p, pp});
      if (k == seen_.end() || k->second.first != order) continue;
      k->second.second = true;
      (void)!send(fd, kBusy, sizeof kBusy - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      shutdown(fd, SHUT_RDWR);
    }
  }
}

MetricsServer::~MetricsServer() {
  stop();
}

void MetricsServer::stop() {
  if (ctx_ != nullptr) mg_stop(ctx_);
  ctx_ = nullptr;
}

bool MetricsServer::start(const std::string& where, std::string& bound, std::string& error) {
  std::string ports, why;
  if (!listening_ports(where, ports, why)) {
    error = "--metrics " + where + ": " + why;
    return false;
  }
  // A few workers: a client that stalls holds one of them for the request time-out at most
  // (counted from the start of its request, however slowly it trickles), and one address no
  // more than its share of them, so a scrape from elsewhere finds a worker free.
  const std::string workers = std::to_string(limits_.workers);
  const std::string timeout = std::to_string(limits_.request_timeout_ms);
  const char* options[] = {"listening_ports",    ports.c_str(),   "num_threads", workers.c_str(),
                           "request_timeout_ms", timeout.c_str(), nullptr};
  mg_callbacks callbacks{};
  callbacks.init_connection = &MetricsServer::opened;
  // civetweb's own messages go into the error rather than onto standard error.
  callbacks.log_message = [](const mg_connection*, const char* message) {
    if (t_message.empty()) t_message = message;
    return 1;
  };
  t_message.clear();
  mg_init_data init{&callbacks, this, options};
  char text[256] = "";
  unsigned code = 0;
  mg_error_data err{&code, text, sizeof text};
  ctx_ = mg_start2(&init, &err);
  if (ctx_ == nullptr) {
    error = "--metrics " + where + ": " +
            (!t_message.empty() ? t_message
             : text[0] != '\0'  ? text
                                : "cannot serve there");
    return false;
  }
  mg_set_request_handler(ctx_, "/metrics$", &MetricsServer::handle, this);
  mg_server_port sp[4] = {};
  const int n = mg_get_server_ports(ctx_, 4, sp);
  const std::string host = ports.substr(0, ports.rfind(':'));
  const int port = n > 0 ? sp[0].port : 0;
  {
    std::lock_guard<std::mutex> lk(mx_);
    const bool v6 = host.front() == '[';
    served_.family = v6 ? AF_INET6 : AF_INET;
    served_.host = v6 ? host.substr(1, host.size() - 2) : host;
    if (served_.host == "0.0.0.0" || served_.host == "::") served_.host.clear();
    served_.port = port;
  }
  bound = host + ":" + std::to_string(port);
  return true;
}

int MetricsServer::handle(mg_connection* conn, void* self) {
  const mg_request_info* ri = mg_get_request_info(conn);
  const bool head = std::strcmp(ri->request_method, "HEAD") == 0;
  if (!head && std::strcmp(ri->request_method, "GET") != 0) {
    mg_send_http_error(conn, 405, "%s", "GET only\n");
    return 405;
  }
  std::string body;
  if (!static_cast<MetricsServer*>(self)->collect_(body)) {
    mg_send_http_error(conn, 503, "%s", "starting\n");
    return 503;
  }
  mg_send_http_ok(conn, kContentType, static_cast<long long>(body.size()));
  if (!head) mg_write(conn, body.data(), body.size());
  return 200;
}

// ---------------------------------------------------------------------------------------------
// The server's counters

bool Server::open_metrics() {
  if (opts_.metrics.empty()) return true;
  metrics_ = std::make_unique<MetricsServer>([this](std::string& body) {
    if (!metrics_ready_.load()) return false;
    body = metrics_text();
    return true;
  });
  std::string bound, error;
  if (!metrics_->start(opts_.metrics, bound, error)) {
    std::cerr << "canbus-server: " << error << "\n";
    start_failure_ = 2;
    return false;
  }
  write_out("metrics on http://" + bound + "/metrics\n");
  return true;
}

// As status: state_mx_ for the node table, nothing that waits for the bus.
std::string Server::metrics_text() {
  std::vector<NodeCounters> nodes;
  std::map<int, LineCounters> lines;
  {
    std::lock_guard<std::mutex> lk(state_mx_);
    for (const Node& n : nodes_) {
      NodeCounters c;
      c.name = n.prop->name();
      c.line = n.line;
      c.node = n.node;
      canbus::NodeStats st;
      c.supervised = n.master && monitor_->stats(n.prop, st);
      if (c.supervised) {
        // A lost node is in no known state: not the last one heard.
        c.state = st.lost ? canbus::kStateUnknown : st.state;
        c.lost = st.lost;
        c.losses = st.losses;
        c.missed = st.missed;
        c.emergencies = st.emergencies;
        c.frames_lost = st.frames_lost;
        c.pdos = st.pdos;
        c.pdos_late = st.pdos_late;
      }
      const D_can::SdoCounts sdo = n.prop->sdo_counts();
      c.sdo_transfers = sdo.transfers;
      c.sdo_failures = sdo.failures;
      c.drive = drives_->counters(c.name, c.drive_state, c.drive_faults);
      nodes.push_back(std::move(c));
      LineCounters& l = lines[n.line];
      l.line = n.line;
      if (const canline* cl = n.prop->line_ptr()) {
        l.open = cl->is_open();
        const uint64_t g = cl->generation();
        l.reopenings = g > 0 ? g - 1 : 0;
      }
    }
  }
  std::vector<LineCounters> all;
  for (auto& [number, l] : lines) {
    // Line N is the driver's net N - 1.
    const ntcan::NetCounts f = ntcan::net_counts(number - 1);
    l.frames_sent = f.sent;
    l.frames_received = f.received;
    all.push_back(l);
  }
  return render_metrics(server_metrics(nodes, all)) + (trace_ ? trace_->metrics_text() : "") +
         render_metrics(bus_metrics(bus_counters())) + render_metrics(nets_->metrics());
}

}  // namespace canbus_server
