// --http: one civetweb server for the Prometheus text (/metrics), the JSON API (/api/...), the
// event stream (WebSocket /api/stream) and the console's static files. Every API request is a
// Client of its own peer (host, X-Canbus-User, writer by --writers and, off loopback, the
// --http-token), and goes through the service layer (service.h): the line protocol's checks,
// limits, queue and log lines.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "metrics.h"
#include "network.h"
#include "requests.h"

struct mg_connection;
struct mg_context;

namespace canbus_server {

class Service;

// Bytes of messages a stream connection may leave unwritten; beyond, it is closed (1008).
inline constexpr size_t kMaxStreamQueued = 1024 * 1024;
// The largest body of a POST.
inline constexpr size_t kMaxBody = 16 * 1024;

class HttpApi {
 public:
  struct Config {
    std::string where;              // --http ADDR:PORT
    std::string option = "--http";  // the option it was given by, for messages
    std::string token;              // --http-token's first line; empty: none
    std::string console_dir;        // the console's files; empty: none served
    WriterRule writers;
    MetricsLimits limits;
    // The metrics text of one scrape; false while the server starts (503).
    std::function<bool(std::string& body)> collect;
    // Whether the server has started (API answers 503 before).
    std::function<bool()> ready;
  };
  HttpApi(Service& service, Config config);
  ~HttpApi();
  HttpApi(const HttpApi&) = delete;
  HttpApi& operator=(const HttpApi&) = delete;

  // Binds config.where: PORT or :PORT (on 127.0.0.1), ADDR:PORT, [IPV6]:PORT; port 0 takes a
  // free one. `bound` is the address served; false with the reason ("--http WHERE: ...").
  bool start(std::string& bound, std::string& error);
  // Ends the streams, the requests in progress and the threads (also done by the destructor).
  void stop();

  // A trace line for the streams that asked for the trace (of its line): the bus trace's
  // listener calls this; it never blocks.
  void trace(int line, const std::string& message_json);
  // Whether a stream asks for the trace now: without one, no trace message is made at all.
  bool wants_trace() const { return trace_streams_.load(std::memory_order_relaxed) > 0; }

  // Where civetweb listens: address family, address (empty: any of the family), port.
  struct Served {
    int family = 0;
    std::string host;
    int port = 0;
  };

  struct Stream;

 private:
  static int handle(mg_connection* conn, void* self);
  static int opened(const mg_connection* conn, void** data);
  static int ws_connect(const mg_connection* conn, void* self);
  static void ws_ready(mg_connection* conn, void* self);
  static int ws_data(mg_connection* conn, int bits, char* data, size_t len, void* self);
  static void ws_close(const mg_connection* conn, void* self);
  void limit_per_address();
  int serve(mg_connection* conn);
  int serve_api(mg_connection* conn, const std::string& path);
  int serve_file(mg_connection* conn, const std::string& path);
  std::shared_ptr<Client> client_of(mg_connection* conn);
  // Runs a request line for `c` and answers it (the answer's lines, or the error).
  int run_line(mg_connection* conn, const std::shared_ptr<Client>& c, const std::string& line,
               const std::function<int(const std::vector<std::string>&)>& ok = nullptr);
  void fan_out(const std::string& message, bool is_trace, int line);

  Service& service_;
  Config cfg_;
  Served served_;  // (mx_)
  std::mutex mx_;
  // The connections seen (descriptor, client address, client port): when first seen, and
  // whether refused.
  std::map<std::tuple<int, std::string, int>, std::pair<uint64_t, bool>> seen_;
  uint64_t seen_count_ = 0;
  // The API's clients by peer, user and writer: each keeps its own queue and rate of bus work
  // across requests; forgotten when unused for a while.
  struct Known {
    std::shared_ptr<Client> client;
    std::chrono::steady_clock::time_point used;
  };
  std::mutex clients_mx_;
  std::map<std::string, Known> clients_;
  std::mutex streams_mx_;
  std::atomic<int> trace_streams_{0};  // streams with trace on
  std::map<const mg_connection*, std::shared_ptr<Stream>> streams_;
  size_t listener_ = 0;
  mg_context* ctx_ = nullptr;
};

}  // namespace canbus_server
