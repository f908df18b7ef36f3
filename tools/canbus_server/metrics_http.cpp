// --metrics: civetweb serves the text of metrics.cpp; the server's part gathers its counters.
#include <arpa/inet.h>
#include <civetweb.h>

#include <cstring>
#include <iostream>
#include <map>

#include "metrics.h"
#include "net_counts.h"
#include "server.h"

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

}  // namespace

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
  // One worker thread: scrapes are short and come from a few collectors, and civetweb's
  // workers format their Date header with gmtime(), which is not safe on two threads at once.
  // A client that stalls holds the next scrape up for the request time-out at most.
  const char* options[] = {"listening_ports",    ports.c_str(), "num_threads", "1",
                           "request_timeout_ms", "5000",        nullptr};
  mg_callbacks callbacks{};
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
  bound = host + ":" + std::to_string(n > 0 ? sp[0].port : 0);
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
  return render_metrics(server_metrics(nodes, all)) + render_metrics(bus_metrics(bus_counters()));
}

}  // namespace canbus_server
