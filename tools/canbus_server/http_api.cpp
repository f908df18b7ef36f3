// --http: one civetweb server for /metrics, the JSON API, the event stream and the console.
//
// Threads: civetweb's workers (Config::limits.workers) serve the requests, each taking the
// locks it needs through the service layer; a request that runs bus work waits for its answer
// on its worker. A stream (WebSocket /api/stream) holds a worker for as long as it is open (it
// reads the client's messages), and has a writer thread of its own: civetweb's
// mg_websocket_write blocks while the client does not read, so the event hub's listener (on the
// publishing thread) only queues a stream's messages and never writes; a stream whose queue
// reaches kMaxStreamQueued is shut at once (the blocked write then fails) and closed.
#include "http_api.h"

#include <arpa/inet.h>
#include <civetweb.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "server.h"
#include "service.h"
#include "tavik_log.h"

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
// For the kernel both are safe on a socket another thread holds. The same for a stream's
// socket shut by the event hub's listener while a worker reads it.
extern "C" const char* __tsan_default_suppressions() {
  return "race:canbus_server::HttpApi::limit_per_address\n"
         "race:canbus_server::HttpApi::fan_out\n";
}
#endif

namespace canbus_server {

using Json = nlohmann::json;

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
bool connection_to(int fd, const HttpApi::Served& served, std::string& peer, int& peer_port) {
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

namespace {

// The first line of the token file, which must be a regular file that others cannot read.
bool read_http_token(const std::string& path, std::string& token, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  struct stat st {};
  std::string text;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    error = "not a regular file";
  } else if ((st.st_mode & S_IROTH) != 0) {
    error = "readable by others (chmod o-r)";
  } else {
    char b[4096];
    const ssize_t k = ::read(fd, b, sizeof b);
    if (k > 0) text.assign(b, static_cast<size_t>(k));
  }
  ::close(fd);
  if (!error.empty()) return false;
  token = text.substr(0, text.find('\n'));
  if (!token.empty() && token.back() == '\r') token.pop_back();
  if (token.empty()) {
    error = "its first line is empty";
    return false;
  }
  return true;
}

#ifndef CANBUS_CONSOLE_SOURCE_DIR
#define CANBUS_CONSOLE_SOURCE_DIR ""
#endif
#ifndef CANBUS_CONSOLE_INSTALL_DIR
#define CANBUS_CONSOLE_INSTALL_DIR ""
#endif

// The console's folder: --console DIR, else a "console" beside the program, the sources' (the
// build tree) or the installed one; the first with an index.html. Empty: none.
std::string console_dir(const std::string& given) {
  auto has_index = [](const std::string& d) {
    struct stat st {};
    return !d.empty() && ::stat((d + "/index.html").c_str(), &st) == 0 && S_ISREG(st.st_mode);
  };
  if (!given.empty()) return has_index(given) ? given : "";
  std::vector<std::string> tries;
  char exe[PATH_MAX];
  const ssize_t k = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (k > 0) {
    std::string d(exe, static_cast<size_t>(k));
    tries.push_back(d.substr(0, d.rfind('/')) + "/console");
  }
  tries.push_back(CANBUS_CONSOLE_SOURCE_DIR);
  tries.push_back(CANBUS_CONSOLE_INSTALL_DIR);
  for (const auto& d : tries)
    if (has_index(d)) return d;
  return "";
}

}  // namespace

// civetweb tells neither the client's address nor the socket before the request has been
// read, and a client that trickles its request never gets that far. So each time a worker
// takes a connection up, the process's sockets on the HTTP port are looked through
// (those waiting for a worker included): of one address, the ones first seen after its
// `per_address` oldest are answered 503 and shut, and their workers are free at once.
int HttpApi::opened(const mg_connection* conn, void** data) {
  *data = nullptr;
  static_cast<HttpApi*>(mg_get_user_data(mg_get_context(conn)))->limit_per_address();
  return 0;
}

void HttpApi::limit_per_address() {
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
      if (++n <= cfg_.limits.per_address) continue;
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

namespace {

bool loopback(const std::string& a) {
  return a.rfind("127.", 0) == 0 || a == "::1" || a.rfind("::ffff:127.", 0) == 0;
}

// The same length and bytes, in a time that does not tell where they differ.
bool same_token(const std::string& given, const std::string& token) {
  unsigned diff = given.size() == token.size() ? 0u : 1u;
  for (size_t i = 0; i < token.size(); ++i) {
    const unsigned char g = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
    diff |= static_cast<unsigned>(g ^ static_cast<unsigned char>(token[i]));
  }
  return diff == 0;
}

const char* reason_of(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 409:
      return "Conflict";
    case 413:
      return "Payload Too Large";
    case 415:
      return "Unsupported Media Type";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    case 504:
      return "Gateway Timeout";
    default:
      return "Error";
  }
}

int send_body(mg_connection* conn, int status, const std::string& type, const std::string& body,
              const std::string& extra = "") {
  const mg_request_info* ri = mg_get_request_info(conn);
  const bool head = std::strcmp(ri->request_method, "HEAD") == 0;
  mg_printf(conn,
            "HTTP/%s %d %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\nCache-Control: "
            "no-store\r\nX-Content-Type-Options: nosniff\r\nX-Frame-Options: DENY\r\n%s"
            "Connection: close\r\n\r\n",
            ri->http_version != nullptr ? ri->http_version : "1.1", status, reason_of(status),
            type.c_str(), body.size(), extra.c_str());
  if (!head) mg_write(conn, body.data(), body.size());
  return status;
}

int send_json(mg_connection* conn, int status, const Json& j) {
  return send_body(conn, status, "application/json", Service::text(j) + "\n");
}

// The status of an error answer ("error: ..." or the text after it).
int status_of_error(const std::string& answer) {
  const std::string e = answer.rfind("error: ", 0) == 0 ? answer.substr(7) : answer;
  auto has = [&e](const char* s) { return e.find(s) != std::string::npos; };
  if (has("read-only") || has("not allowed")) return 403;
  if (e.rfind("busy", 0) == 0) return 503;
  if (e.rfind("unknown property", 0) == 0 || e.rfind("unknown node", 0) == 0 ||
      e.rfind("unknown value", 0) == 0 || has("no EDS") || has("no object dictionary") ||
      has("no history"))
    return 404;
  if (has("time-out") || has("timed out") || has("no answer") || has("abort") || has("is lost") ||
      has("line is closed") || has("failed"))
    return 502;
  return 400;
}

int send_error(mg_connection* conn, int status, const std::string& answer) {
  const std::string e = answer.rfind("error: ", 0) == 0 ? answer.substr(7) : answer;
  return send_json(conn, status, {{"error", e}});
}

// A query argument; false when missing.
bool query_var(const mg_request_info* ri, const char* name, std::string& out) {
  if (ri->query_string == nullptr) return false;
  std::vector<char> buf(4096);
  const int n =
      mg_get_var(ri->query_string, std::strlen(ri->query_string), name, buf.data(), buf.size());
  if (n < 0) return false;
  out.assign(buf.data(), static_cast<size_t>(n));
  return true;
}

bool query_number(const mg_request_info* ri, const char* name, uint64_t max, uint64_t& v) {
  std::string s;
  return !query_var(ri, name, s) || parse_uint(s, max, v);
}

std::vector<std::string> comma_list(const std::string& s) {
  std::vector<std::string> out;
  std::stringstream in(s);
  for (std::string w; std::getline(in, w, ',');)
    if (!w.empty()) out.push_back(w);
  return out;
}

// A word of a request line built from a client's JSON: printable, no blanks (a text with blanks
// goes in double quotes, as the line protocol takes it); empty when it cannot be one.
std::string word_of(const Json& v, bool quote_blanks) {
  std::string s;
  if (v.is_number_integer()) return std::to_string(v.get<int64_t>());
  if (v.is_number()) {
    std::ostringstream o;
    o.precision(17);
    o << v.get<double>();
    return o.str();
  }
  if (!v.is_string()) return "";
  s = v.get<std::string>();
  if (s.empty() || s.size() > 1024) return "";
  bool blank = false;
  for (unsigned char c : s) {
    if (c < 0x20 || c == 0x7F || c == '"') return "";
    if (c == ' ') blank = true;
  }
  if (blank) return quote_blanks ? "\"" + s + "\"" : "";
  return s;
}

// A path segment: a node, value or drive name.
bool name_ok(const std::string& s) {
  if (s.empty() || s.size() > 256) return false;
  for (unsigned char c : s)
    if (c <= 0x20 || c >= 0x7F || c == '/') return false;
  return true;
}

std::string content_type_of(const std::string& path) {
  static const std::map<std::string, std::string> kTypes = {
      {".html", "text/html; charset=utf-8"},
      {".js", "text/javascript; charset=utf-8"},
      {".mjs", "text/javascript; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},
      {".json", "application/json"},
      {".svg", "image/svg+xml"},
      {".png", "image/png"},
      {".ico", "image/x-icon"},
      {".txt", "text/plain; charset=utf-8"},
      {".map", "application/json"}};
  const size_t dot = path.rfind('.');
  if (dot != std::string::npos && path.find('/', dot) == std::string::npos) {
    const auto it = kTypes.find(path.substr(dot));
    if (it != kTypes.end()) return it->second;
  }
  return "application/octet-stream";
}

}  // namespace

// One stream connection: the messages not written yet, and its writer thread.
struct HttpApi::Stream {
  mg_connection* conn = nullptr;
  int fd = -1;  // its socket, to shut it from outside civetweb
  std::mutex mx;
  std::condition_variable cv;
  std::deque<std::string> queue;
  size_t bytes = 0;
  bool closed = false;
  bool writing = false;
  bool trace = false;
  int trace_line = 0;  // 0: every line
  std::thread writer;

  // With mx: closed, shut and told why when no frame is being written (1008 "too slow").
  void shut(bool too_slow) {
    if (closed) return;
    closed = true;
    if (too_slow && !writing && fd >= 0) {
      static const char kClose[] = "\x88\x0a\x03\xf0too slow";
      (void)!send(fd, kClose, sizeof kClose - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    if (fd >= 0) shutdown(fd, SHUT_RDWR);
    cv.notify_all();
  }
  void run() {
    std::unique_lock<std::mutex> lk(mx);
    for (;;) {
      cv.wait(lk, [this] { return closed || !queue.empty(); });
      if (closed) return;
      std::string m = std::move(queue.front());
      queue.pop_front();
      writing = true;
      lk.unlock();
      const int r = mg_websocket_write(conn, MG_WEBSOCKET_OPCODE_TEXT, m.data(), m.size());
      lk.lock();
      writing = false;
      bytes -= m.size();
      if (r <= 0) shut(false);
    }
  }
};

HttpApi::HttpApi(Service& service, Config config) : service_(service), cfg_(std::move(config)) {}

HttpApi::~HttpApi() {
  stop();
}

void HttpApi::stop() {
  if (listener_ != 0) service_.hub().unlisten(listener_);
  listener_ = 0;
  {
    std::lock_guard<std::mutex> lk(streams_mx_);
    for (auto& [conn, s] : streams_) {
      std::lock_guard<std::mutex> sl(s->mx);
      s->shut(false);
    }
  }
  if (ctx_ != nullptr) mg_stop(ctx_);
  ctx_ = nullptr;
  // Streams civetweb did not close (it calls ws_close for each it had).
  std::map<const mg_connection*, std::shared_ptr<Stream>> left;
  {
    std::lock_guard<std::mutex> lk(streams_mx_);
    left.swap(streams_);
  }
  for (auto& [conn, s] : left)
    if (s->writer.joinable()) s->writer.join();
}

bool HttpApi::start(std::string& bound, std::string& error) {
  std::string ports, why;
  if (!listening_ports(cfg_.where, ports, why)) {
    error = cfg_.option + " " + cfg_.where + ": " + why;
    return false;
  }
  // A few workers: a client that stalls holds one of them for the request time-out at most
  // (counted from the start of its request, however slowly it trickles), and one address no
  // more than its share of them, so a request from elsewhere finds a worker free. A stream
  // holds one while it is open.
  const std::string workers = std::to_string(cfg_.limits.workers);
  const std::string timeout = std::to_string(cfg_.limits.request_timeout_ms);
  const char* options[] = {"listening_ports",
                           ports.c_str(),
                           "num_threads",
                           workers.c_str(),
                           "request_timeout_ms",
                           timeout.c_str(),
                           "websocket_timeout_ms",
                           "3600000",
                           "enable_websocket_ping_pong",
                           "yes",
                           nullptr};
  mg_callbacks callbacks{};
  callbacks.init_connection = &HttpApi::opened;
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
    error = cfg_.option + " " + cfg_.where + ": " +
            (!t_message.empty() ? t_message
             : text[0] != '\0'  ? text
                                : "cannot serve there");
    return false;
  }
  mg_set_websocket_handler(ctx_, "/api/stream$", &HttpApi::ws_connect, &HttpApi::ws_ready,
                           &HttpApi::ws_data, &HttpApi::ws_close, this);
  mg_set_request_handler(ctx_, "/", &HttpApi::handle, this);
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
  // Every event goes to the streams, formatted once.
  listener_ = service_.hub().listen([this](const Event& e, uint64_t seq, int64_t t_ns) {
    Json j = Service::event_json(e, seq, t_ns);
    j["type"] = "event";
    fan_out(Service::text(j), false, 0);
  });
  bound = host + ":" + std::to_string(port);
  return true;
}

void HttpApi::trace(int line, const std::string& message_json) {
  fan_out(message_json, true, line);
}

// On the publishing thread: queued for each stream, never written here.
void HttpApi::fan_out(const std::string& message, bool is_trace, int line) {
  std::lock_guard<std::mutex> lk(streams_mx_);
  for (auto& [conn, s] : streams_) {
    std::lock_guard<std::mutex> sl(s->mx);
    if (s->closed || (is_trace && (!s->trace || (s->trace_line != 0 && s->trace_line != line))))
      continue;
    if (s->bytes + message.size() > kMaxStreamQueued) {
      tavik::printtostderr("CANBUS", std::string("event stream of ") +
                                         mg_get_request_info(s->conn)->remote_addr +
                                         " closed: too slow");
      s->shut(true);
      continue;
    }
    s->bytes += message.size();
    s->queue.push_back(message);
    s->cv.notify_one();
  }
}

int HttpApi::ws_connect(const mg_connection*, void* self) {
  auto* api = static_cast<HttpApi*>(self);
  return api->cfg_.ready && !api->cfg_.ready() ? 1 : 0;
}

void HttpApi::ws_ready(mg_connection* conn, void* self) {
  auto* api = static_cast<HttpApi*>(self);
  auto s = std::make_shared<Stream>();
  s->conn = conn;
  const mg_request_info* ri = mg_get_request_info(conn);
  // The socket of this connection: the one from the client's address and port.
  if (DIR* d = opendir("/proc/self/fd")) {
    Served served;
    {
      std::lock_guard<std::mutex> lk(api->mx_);
      served = api->served_;
    }
    while (const dirent* e = readdir(d)) {
      char* end = nullptr;
      const long fd = std::strtol(e->d_name, &end, 10);
      std::string peer;
      int peer_port = 0;
      if (end == e->d_name || *end != '\0' || fd == dirfd(d) ||
          !connection_to(static_cast<int>(fd), served, peer, peer_port)) {
        continue;
      }
      if (peer_port == ri->remote_port && peer == ri->remote_addr) {
        s->fd = static_cast<int>(fd);
        break;
      }
    }
    closedir(d);
  }
  s->writer = std::thread([s] { s->run(); });
  std::lock_guard<std::mutex> lk(api->streams_mx_);
  api->streams_[conn] = s;
}

int HttpApi::ws_data(mg_connection* conn, int bits, char* data, size_t len, void* self) {
  auto* api = static_cast<HttpApi*>(self);
  const int opcode = bits & 0x0F;
  if (opcode == MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE) return 0;
  if (opcode != MG_WEBSOCKET_OPCODE_TEXT) return 1;
  // {"trace":true,"line":L} or {"trace":false}; anything else is ignored.
  const Json j = Json::parse(std::string(data, len), nullptr, false);
  if (!j.is_object() || !j.contains("trace") || !j["trace"].is_boolean()) return 1;
  std::shared_ptr<Stream> s;
  {
    std::lock_guard<std::mutex> lk(api->streams_mx_);
    auto it = api->streams_.find(conn);
    if (it == api->streams_.end()) return 1;
    s = it->second;
  }
  std::lock_guard<std::mutex> sl(s->mx);
  const bool on = j["trace"].get<bool>();
  if (on != s->trace) api->trace_streams_ += on ? 1 : -1;
  s->trace = on;
  s->trace_line = j.contains("line") && j["line"].is_number_integer() ? j["line"].get<int>() : 0;
  return 1;
}

void HttpApi::ws_close(const mg_connection* conn, void* self) {
  auto* api = static_cast<HttpApi*>(self);
  std::shared_ptr<Stream> s;
  {
    std::lock_guard<std::mutex> lk(api->streams_mx_);
    auto it = api->streams_.find(conn);
    if (it == api->streams_.end()) return;
    s = it->second;
    api->streams_.erase(it);
  }
  {
    std::lock_guard<std::mutex> sl(s->mx);
    s->shut(false);
    if (s->trace) --api->trace_streams_;
    s->trace = false;
  }
  if (s->writer.joinable()) s->writer.join();
}

int HttpApi::handle(mg_connection* conn, void* self) {
  return static_cast<HttpApi*>(self)->serve(conn);
}

int HttpApi::serve(mg_connection* conn) {
  const mg_request_info* ri = mg_get_request_info(conn);
  const std::string path = ri->local_uri_raw != nullptr ? ri->local_uri_raw : "";
  const std::string method = ri->request_method;
  if (path == "/metrics") {
    const bool head = method == "HEAD";
    if (!head && method != "GET") {
      mg_send_http_error(conn, 405, "%s", "GET only\n");
      return 405;
    }
    std::string body;
    if (!cfg_.collect || !cfg_.collect(body)) {
      mg_send_http_error(conn, 503, "%s", "starting\n");
      return 503;
    }
    mg_send_http_ok(conn, kContentType, static_cast<long long>(body.size()));
    if (!head) mg_write(conn, body.data(), body.size());
    return 200;
  }
  if (path == "/api" || path.rfind("/api/", 0) == 0) {
    if (cfg_.ready && !cfg_.ready()) return send_error(conn, 503, "starting");
    return serve_api(conn, path);
  }
  if (method != "GET" && method != "HEAD") return send_error(conn, 405, "GET only");
  return serve_file(conn, path);
}

// The console's files: "/" is index.html, "/console/X" the file X of the console's folder; no
// folder listing, nothing outside the folder (no "..", no link that leads out of it).
int HttpApi::serve_file(mg_connection* conn, const std::string& path) {
  std::string rel;
  if (path == "/" || path == "/console" || path == "/console/") {
    rel = "index.html";
  } else if (path.rfind("/console/", 0) == 0) {
    rel = path.substr(9);
  } else {
    return send_error(conn, 404, "no such page");
  }
  bool bad = rel.empty() || rel.find('\0') != std::string::npos || rel.front() == '/' ||
             rel.find('\\') != std::string::npos || rel.find("//") != std::string::npos;
  for (size_t from = 0; !bad && from <= rel.size();) {
    const size_t to = std::min(rel.find('/', from), rel.size());
    const std::string seg = rel.substr(from, to - from);
    if (seg.empty() || seg == "." || seg == ".." || seg.front() == '.') bad = true;
    from = to + 1;
  }
  if (bad || cfg_.console_dir.empty()) return send_error(conn, 404, "no such page");
  char root[PATH_MAX], file[PATH_MAX];
  if (realpath(cfg_.console_dir.c_str(), root) == nullptr ||
      realpath((cfg_.console_dir + "/" + rel).c_str(), file) == nullptr)
    return send_error(conn, 404, "no such page");
  const std::string r = std::string(root) + "/";
  if (std::string(file).rfind(r, 0) != 0) return send_error(conn, 404, "no such page");
  const int fd = ::open(file, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > (64 << 20)) {
    if (fd >= 0) ::close(fd);
    return send_error(conn, 404, "no such page");
  }
  std::string body(static_cast<size_t>(st.st_size), '\0');
  size_t got = 0;
  while (got < body.size()) {
    const ssize_t k = ::read(fd, &body[got], body.size() - got);
    if (k <= 0) break;
    got += static_cast<size_t>(k);
  }
  ::close(fd);
  body.resize(got);
  return send_body(conn, 200, content_type_of(rel), body);
}

std::shared_ptr<Client> HttpApi::client_of(mg_connection* conn) {
  const mg_request_info* ri = mg_get_request_info(conn);
  std::string host = ri->remote_addr;
  if (host.rfind("::ffff:", 0) == 0 && host.find('.') != std::string::npos) host = host.substr(7);
  const char* u = mg_get_header(conn, "X-Canbus-User");
  const std::string user = u != nullptr && *u != '\0' ? quote_word(u) : "anonymous";
  bool writer = cfg_.writers.allows(host);
  if (writer && !cfg_.token.empty() && !loopback(host)) {
    const char* t = mg_get_header(conn, "X-Canbus-Token");
    writer = t != nullptr && same_token(t, cfg_.token);
  }
  const std::string key = host + "\n" + user + "\n" + (writer ? "w" : "r");
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> lk(clients_mx_);
  // Clients unused for a minute go, with their rates (a few hundred at most are kept).
  if (clients_.size() > 256) {
    for (auto it = clients_.begin(); it != clients_.end();) {
      if (it->second.client.use_count() == 1 && now - it->second.used > std::chrono::minutes(1)) {
        service_.client_gone(it->second.client);
        it = clients_.erase(it);
      } else {
        ++it;
      }
    }
  }
  Known& k = clients_[key];
  if (!k.client) {
    k.client = std::make_shared<Client>();
    k.client->host = host;
    k.client->peer = host;
    k.client->user = user;
    k.client->user_given = true;  // `user` cannot rename it: the header names it
    k.client->writer = writer;
  }
  k.used = now;
  return k.client;
}

int HttpApi::run_line(mg_connection* conn, const std::shared_ptr<Client>& c,
                      const std::string& line,
                      const std::function<int(const std::vector<std::string>&)>& ok) {
  struct Wait {
    std::mutex mx;
    std::condition_variable cv;
    bool done = false;
    std::string framed;
  };
  auto w = std::make_shared<Wait>();
  service_.request(c, line, [w](const std::string& framed) {
    std::lock_guard<std::mutex> lk(w->mx);
    w->framed = framed;
    w->done = true;
    w->cv.notify_all();
  });
  std::string framed;
  {
    std::unique_lock<std::mutex> lk(w->mx);
    if (!w->cv.wait_for(lk, std::chrono::seconds(120), [&w] { return w->done; }))
      return send_error(conn, 504, "no answer in time");
    framed = w->framed;
  }
  std::vector<std::vector<std::string>> answers;
  if (!split_answers(framed + "\n", answers) || answers.empty())
    return send_error(conn, 502, "no answer");
  const std::vector<std::string>& lines = answers.front();
  if (lines.size() == 1 && lines[0].rfind("error: ", 0) == 0)
    return send_error(conn, status_of_error(lines[0]), lines[0]);
  if (ok) return ok(lines);
  return send_json(conn, 200, {{"answer", lines}});
}

namespace {

// "/api/nodes/CAN.PUMP/od" -> {"nodes", "CAN.PUMP", "od"}.
std::vector<std::string> segments(const std::string& path) {
  std::vector<std::string> out;
  size_t from = 5;  // after "/api/"
  while (from <= path.size()) {
    const size_t to = std::min(path.find('/', from), path.size());
    out.push_back(path.substr(from, to - from));
    from = to + 1;
  }
  if (!out.empty() && out.back().empty()) out.pop_back();
  return out;
}

}  // namespace

int HttpApi::serve_api(mg_connection* conn, const std::string& path) {
  const mg_request_info* ri = mg_get_request_info(conn);
  const std::string method = ri->request_method;
  const std::vector<std::string> seg =
      path.size() > 5 ? segments(path) : std::vector<std::string>{};
  const bool get = method == "GET" || method == "HEAD";
  const bool post = method == "POST";
  auto c = client_of(conn);
  auto bad_name = [&](size_t k) { return k < seg.size() && !name_ok(seg[k]); };
  for (size_t k = 1; k < seg.size(); ++k)
    if (bad_name(k)) return send_error(conn, 404, "unknown path");
  auto view = [&](const Service::Answer& a) {
    return a.ok() ? send_json(conn, 200, a.json)
                  : send_error(conn, status_of_error(a.error), a.error);
  };
  const size_t n = seg.size();
  const std::string top = n > 0 ? seg[0] : "";

  if (get) {
    if (n == 1 && top == "me") return send_json(conn, 200, service_.me(*c));
    if (n == 1 && top == "nodes") return send_json(conn, 200, service_.nodes());
    if (n == 1 && top == "status") return send_json(conn, 200, service_.status_text());
    if (n == 1 && top == "lines") {
      uint64_t since = 0;
      if (!query_number(ri, "since_ms", INT64_MAX, since))
        return send_error(conn, 400, "since_ms is no number");
      return send_json(conn, 200, service_.lines(static_cast<int64_t>(since)));
    }
    if (n == 1 && top == "values") return send_json(conn, 200, service_.values());
    if (n == 3 && top == "values" && seg[2] == "history") {
      uint64_t since = 0;
      if (!query_number(ri, "since_ms", INT64_MAX, since))
        return send_error(conn, 400, "since_ms is no number");
      return view(service_.history(seg[1], static_cast<int64_t>(since)));
    }
    if (n == 1 && top == "events") {
      Service::EventQuery q;
      uint64_t limit = q.limit, line = 0;
      std::string s;
      if (!query_number(ri, "limit", 100000, limit) || !query_number(ri, "line", 1000, line) ||
          !query_number(ri, "after", UINT64_MAX, q.after))
        return send_error(conn, 400, "limit, line and after are numbers");
      q.limit = limit;
      q.line = static_cast<int>(line);
      if (query_var(ri, "kind", s)) q.kinds = comma_list(s);
      query_var(ri, "name", q.name);
      return view(service_.events(q));
    }
    if (n == 2 && top == "values") return view(service_.value(seg[1]));
    if (n == 3 && top == "nodes" && seg[2] == "od") {
      std::string search;
      query_var(ri, "search", search);
      return view(service_.od(seg[1], search));
    }
    if (n == 3 && top == "nodes" && seg[2] == "sdo") {
      std::string index, sub;
      if (!query_var(ri, "index", index) || !query_var(ri, "sub", sub) ||
          word_of(index, false).empty() || word_of(sub, false).empty())
        return send_error(conn, 400, "index and sub are needed");
      const std::string name = seg[1];
      return run_line(conn, c, "sdo read " + name + " " + index + " " + sub,
                      [&](const std::vector<std::string>& lines) {
                        return send_json(conn, 200, service_.sdo_json(name, index, sub, lines));
                      });
    }
    if (n == 1 && top == "trace") {
      Service::TraceQuery q;
      uint64_t limit = q.limit, line = 0, node = 0;
      std::string s;
      if (!query_number(ri, "limit", 100000, limit) || !query_number(ri, "line", 1000, line) ||
          !query_number(ri, "node", 127, node) || !query_number(ri, "after", UINT64_MAX, q.after))
        return send_error(conn, 400, "limit, line, node and after are numbers");
      q.limit = limit;
      q.line = static_cast<int>(line);
      q.node = static_cast<int>(node);
      if (query_var(ri, "service", s)) q.services = comma_list(s);
      return send_json(conn, 200, service_.trace(q));
    }
    if (n == 1 && top == "trace.log") {
      uint64_t line = 0;
      if (!query_number(ri, "line", 1000, line)) return send_error(conn, 400, "line is no number");
      return send_body(conn, 200, "text/plain; charset=utf-8",
                       service_.trace_log(static_cast<int>(line)),
                       "Content-Disposition: attachment; filename=\"canbus-trace.log\"\r\n");
    }
  }
  // The writes: the same paths as reads with POST, and the requests.
  const bool write_path = (n == 1 && top == "request") || (n == 2 && top == "values") ||
                          (n == 3 && top == "nodes" && (seg[2] == "nmt" || seg[2] == "sdo")) ||
                          (n == 2 && top == "drives") ||
                          (n == 3 && top == "lines" && (seg[2] == "scan" || seg[2] == "lss"));
  if (!post) {
    if (write_path) return send_error(conn, 405, get ? "POST only" : "GET or POST only");
    return send_error(conn, 404, "unknown path");
  }
  if (!write_path)
    return send_error(conn, n == 0 ? 404 : 405, n == 0 ? "unknown path" : "GET only");
  // A JSON body: a cross-site form cannot send one without asking first (and is never answered).
  const char* type = mg_get_header(conn, "Content-Type");
  std::string media = type != nullptr ? type : "";
  media = media.substr(0, media.find(';'));
  while (!media.empty() && media.back() == ' ') media.pop_back();
  for (char& ch : media) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  if (media != "application/json")
    return send_error(conn, 415, "Content-Type must be application/json");
  if (ri->content_length > static_cast<long long>(kMaxBody))
    return send_error(conn, 413, "body larger than " + std::to_string(kMaxBody) + " bytes");
  std::string body;
  char buf[4096];
  for (int k; body.size() <= kMaxBody && (k = mg_read(conn, buf, sizeof buf)) > 0;)
    body.append(buf, static_cast<size_t>(k));
  if (body.size() > kMaxBody)
    return send_error(conn, 413, "body larger than " + std::to_string(kMaxBody) + " bytes");
  const Json j = Json::parse(body, nullptr, false);
  if (j.is_discarded() || !j.is_object())
    return send_error(conn, 400, "the body is no JSON object");
  auto field = [&j](const char* k) { return j.contains(k) ? j[k] : Json(); };

  std::string line;
  if (top == "request") {
    const Json l = field("line");
    if (!l.is_string()) return send_error(conn, 400, "\"line\" is needed");
    line = l.get<std::string>();
    if (line.size() > kMaxRequestLine)
      return send_error(conn, 400,
                        "request longer than " + std::to_string(kMaxRequestLine) + " bytes");
    if (line.find_first_of("\r\n") != std::string::npos)
      return send_error(conn, 400, "one request line only");
  } else if (top == "values") {
    Json v = field("value");
    std::string words;
    for (const Json& x : v.is_array() ? v : Json::array({v})) {
      const std::string w = word_of(x, true);
      if (w.empty())
        return send_error(conn, 400, "\"value\": a number or a text (or a list of them)");
      words += " " + w;
    }
    if (words.empty()) return send_error(conn, 400, "\"value\" is needed");
    line = "set " + seg[1] + words;
  } else if (top == "nodes" && seg[2] == "nmt") {
    // The NMT commands go by the node's trigger properties, as a line client sets them.
    static const std::map<std::string, std::string> kNmt = {
        {"start", ".START"}, {"stop", ".STOP"}, {"reset", ".RESET"}};
    const Json cmd = field("command");
    const auto it = cmd.is_string() ? kNmt.find(cmd.get<std::string>()) : kNmt.end();
    if (it == kNmt.end()) return send_error(conn, 400, "\"command\": start, stop or reset");
    line = "set " + seg[1] + it->second + " 1";
  } else if (top == "nodes" && seg[2] == "sdo") {
    const std::string index = word_of(field("index"), false), sub = word_of(field("sub"), false),
                      value = word_of(field("value"), true);
    if (index.empty() || sub.empty() || value.empty())
      return send_error(conn, 400, "\"index\", \"sub\" and \"value\" are needed");
    line = "sdo write " + seg[1] + " " + index + " " + sub + " " + value;
  } else if (top == "drives") {
    const std::string cmd = word_of(field("command"), false);
    if (cmd.empty()) return send_error(conn, 400, "\"command\" is needed");
    line = "drive " + seg[1] + " " + cmd;
    const Json args = field("args");
    for (const Json& x : args.is_array() ? args : Json::array()) {
      const std::string w = word_of(x, false);
      if (w.empty()) return send_error(conn, 400, "\"args\": numbers or words");
      line += " " + w;
    }
  } else if (top == "lines" && seg[2] == "scan") {
    line = "scan " + seg[1];
  } else {  // lines/L/lss
    line = "lss " + seg[1];
    const Json words = field("words");
    for (const Json& x : words.is_array() ? words : Json::array()) {
      const std::string w = word_of(x, false);
      if (w.empty()) return send_error(conn, 400, "\"words\": numbers or words");
      line += " " + w;
    }
  }
  return run_line(conn, c, line);
}

// ---------------------------------------------------------------------------------------------
// The server's part

bool Server::open_metrics() {
  if (opts_.http.empty()) return true;
  HttpApi::Config cfg;
  cfg.where = opts_.http;
  cfg.option = opts_.http_option;
  std::string shown, error;
  if (!cfg.writers.set(opts_.writers, shown, error)) {
    std::cerr << "canbus-server: " << error << "\n";
    start_failure_ = 2;
    return false;
  }
  if (!opts_.http_token.empty() && !read_http_token(opts_.http_token, cfg.token, error)) {
    std::cerr << "canbus-server: --http-token " << opts_.http_token << ": " << error << "\n";
    start_failure_ = 2;
    return false;
  }
  cfg.console_dir = console_dir(opts_.console_dir);
  if (!opts_.console_dir.empty() && cfg.console_dir.empty()) {
    std::cerr << "canbus-server: --console " << opts_.console_dir << ": no index.html there\n";
    start_failure_ = 2;
    return false;
  }
  cfg.collect = [this](std::string& body) {
    if (!metrics_ready_.load()) return false;
    body = metrics_text();
    return true;
  };
  cfg.ready = [this] { return metrics_ready_.load(); };
  metrics_ = std::make_unique<HttpApi>(*service_, std::move(cfg));
  std::string bound;
  if (!metrics_->start(bound, error)) {
    std::cerr << "canbus-server: " << error << "\n";
    start_failure_ = 2;
    return false;
  }
  write_out("metrics on http://" + bound + "/metrics\n");
  write_out("console on http://" + bound + "/\n");
  return true;
}

}  // namespace canbus_server
