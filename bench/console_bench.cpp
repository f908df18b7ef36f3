// canbus-server with consoles: the load that browsers showing live plots and the bus trace put on
// the server, and the memory of the value histories they plot from.
//
// BM_ConsoleLoad/consoles:N starts canbus-server as a child process on the virtual bus with 250
// simulated ADC modules (--sim-adc) on 4 lines (63, 63, 62, 62 nodes), each sending its TPDO1
// with four INTEGER16 sine inputs every 10 ms: 1,000 process values changing at 100 Hz, 25,000
// TPDOs a second. N consoles connect to its HTTP server: each opens the event stream
// (/api/stream), asks for the trace ({"trace":true}) and reads everything that comes, and once a
// second fetches /api/nodes and the history of 10 values since its last fetch. A line-protocol
// client on a Unix socket asks `status` 100 times spread over the measurement and times the
// answers. Counters, over the measurement (CANBUS_CONSOLE_SECONDS, default 10, after 3 s of
// warm-up):
//   cpu_pct        processor time of the whole server process (/proc/PID/stat) in % of a core;
//   devices_pct    of it, the simulated devices' threads ("sim-device": the devices and the
//                  virtual bus's delivery of their frames; on a real bus this is not the host's);
//   server_pct     the rest: the server's own threads (cpu_pct - devices_pct);
//   status_p50/p99/max_ms  the `status` answers;
//   tpdo_per_s     the sum of the RATE column of the last status table;
//   frames_per_s   frames received on all lines (/api/lines frames_received, when served);
//   events_per_s, trace_per_s, stream_MB_per_s  messages and bytes all consoles received;
//   fetches_per_s, fetch_p99_ms, fetch_errors  the consoles' HTTP requests;
//   rss_MB         the server's resident memory at the end;
//   consoles_closed  streams the server closed (a console too slow for it).
// consoles:0 runs the same server and `status` client without consoles: its cpu_pct is the base,
// the difference to consoles:10 the consoles' cost; fetch:0 leaves the consoles' fetches out
// (their streams alone).
//
// The server run is the one of this build tree, or the program named by CANBUS_SERVER.
//
// BM_ConsoleHistoryHour: ValueHistory (the server's, as configured by --value-interval 1000) with
// 1,000 values filled at the value interval for an hour: bytes() per sample of the hour and in
// total, and the heap the server's allocator really holds for it (mallinfo2).
// BM_ConsoleHistoryAdd: one 10 ms tick of the 1,000 values arriving (ValueHistory::add each, most
// of them joining the open sample): its processor time, and that as % of a core at 100 Hz.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "history.h"
#include "line_client.h"
#include "proc_cpu.h"

#ifndef CANBUS_SERVER_PATH
#error "CANBUS_SERVER_PATH: the canbus-server to run"
#endif

namespace {

using bench::Clock;

constexpr int kLines = 4;
constexpr int kFirstNode = 40;  // above the places of the bundled example's devices (5..32)
constexpr int kNodes = 250;     // 63, 63, 62, 62
constexpr int kChannels = 4;

int nodes_on(int line) {
  return kNodes / kLines + (line <= kNodes % kLines ? 1 : 0);
}

std::string node_name(int line, int node) {
  char b[32];
  std::snprintf(b, sizeof b, "CAN.L%02dN%03d", line, node);
  return b;
}

// The configuration, and the names of its values in `values`.
std::string config_text(std::vector<std::string>& values) {
  std::ostringstream out;
  for (int l = 1; l <= kLines; ++l) {
    for (int n = kFirstNode; n < kFirstNode + nodes_on(l); ++n) {
      const std::string name = node_name(l, n);
      out << name << ": " << l << ' ' << n << " 0 0\n";
      if (n == kFirstNode) out << name << ".BAUDRATE: 0\n";  // 1 Mbit/s
      out << name << ".TPDO1: event 10 map ";
      for (int c = 1; c <= kChannels; ++c) {
        out << (c > 1 ? ", " : "") << "CH" << c << " 0x6401:" << c << " int16";
        values.push_back(name + ".CH" + std::to_string(c));
      }
      out << '\n';
    }
  }
  return out.str();
}

int free_port() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

std::string read_file(const std::string& path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

size_t count_of(const std::string& s, const std::string& what) {
  size_t n = 0;
  for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + what.size())) ++n;
  return n;
}

// canbus-server as a child: standard input a pipe (closing it, or `quit`, ends the server),
// standard output and error into files of its directory.
class ServerChild {
 public:
  explicit ServerChild(std::string dir) : dir_(std::move(dir)) {}
  ServerChild(const ServerChild&) = delete;
  ServerChild& operator=(const ServerChild&) = delete;
  ~ServerChild() { stop(); }

  bool start(const std::vector<std::string>& args) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return false;
    const int out = open((dir_ + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int err = open((dir_ + "/log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const char* env = std::getenv("CANBUS_SERVER");
    const std::string path = env != nullptr && *env != '\0' ? env : CANBUS_SERVER_PATH;
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(p[0], 0);
      dup2(out, 1);
      dup2(err, 2);
      if (chdir(dir_.c_str()) != 0) _exit(126);
      execv(path.c_str(), argv.data());
      _exit(127);
    }
    close(p[0]);
    close(out);
    close(err);
    in_ = p[1];
    return pid_ > 0;
  }

  int pid() const { return pid_; }
  bool running() {
    if (pid_ <= 0) return false;
    int st = 0;
    if (waitpid(pid_, &st, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    return true;
  }
  std::string log() const { return read_file(dir_ + "/log"); }

  // `quit`, then up to 10 s for the server to end, else SIGKILL.
  void stop() {
    if (in_ >= 0) {
      bench::send_all(in_, "quit\n");
      close(in_);
      in_ = -1;
    }
    if (pid_ <= 0) return;
    const auto until = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < until) {
      int st = 0;
      if (waitpid(pid_, &st, WNOHANG) == pid_) {
        pid_ = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  std::string dir_;
  int pid_ = -1;
  int in_ = -1;
};

// One HTTP/1.0 GET; the status code (0: no answer) and the body.
int http_get(uint16_t port, const std::string& path, std::string& body,
             const std::string& from = "") {
  body.clear();
  const int fd = bench::connect_to("127.0.0.1", port, from);
  if (fd < 0) return 0;
  bench::send_all(fd, "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
  std::string all;
  char b[65536];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) break;
    const ssize_t k = read(fd, b, sizeof b);
    if (k <= 0) break;
    all.append(b, static_cast<size_t>(k));
  }
  close(fd);
  int status = 0;
  if (std::sscanf(all.c_str(), "HTTP/%*s %d", &status) != 1) return 0;
  const size_t head = all.find("\r\n\r\n");
  if (head != std::string::npos) body = all.substr(head + 4);
  return status;
}

// The sum of the numbers after each `"key":` in a JSON text.
double sum_json(const std::string& text, const std::string& key) {
  const std::string k = "\"" + key + "\":";
  double sum = 0;
  for (size_t at = text.find(k); at != std::string::npos; at = text.find(k, at + 1))
    sum += std::atof(text.c_str() + at + k.size());
  return sum;
}

// A console's stream: a WebSocket client that reads every message and counts them.
struct Stream {
  int fd = -1;
  std::string buf;
  size_t pos = 0;
  bool closed = false;
  long long events = 0, traces = 0, bytes = 0;

  bool open(uint16_t port, const std::string& from) {
    fd = bench::connect_to("127.0.0.1", port, from);
    if (fd < 0) return false;
    bench::send_all(fd,
                    "GET /api/stream HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                    "Connection: Upgrade\r\nSec-WebSocket-Key: Y29uc29sZS1iZW5jaC0xMg==\r\n"
                    "Sec-WebSocket-Version: 13\r\n\r\n");
    // The answer's head, read byte by byte so that no frame after it is taken with it.
    std::string head;
    char c;
    while (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 5000) <= 0 || read(fd, &c, 1) != 1) return false;
      head.push_back(c);
    }
    return head.find(" 101 ") != std::string::npos && send_text("{\"trace\":true}");
  }

  // A text frame, masked as a client's must be.
  bool send_text(const std::string& s) {
    std::string f;
    f.push_back(static_cast<char>(0x81));
    if (s.size() < 126) {
      f.push_back(static_cast<char>(0x80 | s.size()));
    } else {
      f.push_back(static_cast<char>(0x80 | 126));
      f.push_back(static_cast<char>((s.size() >> 8) & 0xff));
      f.push_back(static_cast<char>(s.size() & 0xff));
    }
    const char mask[4] = {0x12, 0x34, 0x56, 0x78};
    f.append(mask, 4);
    for (size_t i = 0; i < s.size(); ++i) f.push_back(static_cast<char>(s[i] ^ mask[i % 4]));
    return bench::send_all(fd, f);
  }

  // The frames complete in `buf`.
  void take(const char* p, size_t n, bool counting) {
    buf.append(p, n);
    for (;;) {
      const size_t left = buf.size() - pos;
      if (left < 2) break;
      const auto* b = reinterpret_cast<const unsigned char*>(buf.data() + pos);
      const int op = b[0] & 0x0f;
      const bool masked = (b[1] & 0x80) != 0;
      uint64_t len = b[1] & 0x7f;
      size_t at = 2;
      if (len == 126) {
        if (left < 4) break;
        len = (uint64_t{b[2]} << 8) | b[3];
        at = 4;
      } else if (len == 127) {
        if (left < 10) break;
        len = 0;
        for (int i = 0; i < 8; ++i) len = (len << 8) | b[2 + i];
        at = 10;
      }
      if (masked) at += 4;
      if (left < at + len) break;
      const std::string_view payload(buf.data() + pos + at, static_cast<size_t>(len));
      if (op == 8) closed = true;
      if (op == 9) {  // ping: the pong (empty, masked)
        const char pong[6] = {static_cast<char>(0x8a), static_cast<char>(0x80), 0, 0, 0, 0};
        bench::send_all(fd, std::string(pong, 6));
      }
      if (counting && (op == 1 || op == 0)) {
        bytes += static_cast<long long>(at + len);
        if (op == 1) {
          if (payload.find("\"type\":\"trace\"") != std::string_view::npos)
            ++traces;
          else
            ++events;
        }
      }
      pos += at + static_cast<size_t>(len);
    }
    if (pos > 65536 && pos * 2 > buf.size()) {
      buf.erase(0, pos);
      pos = 0;
    }
  }
};

double at_quantile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  // The smallest value at least a share q of them do not exceed (of 100, p99 is the 99th).
  const auto at = static_cast<size_t>(std::ceil(q * static_cast<double>(v.size())));
  return v[std::min(v.size(), std::max<size_t>(at, 1)) - 1];
}

long long now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void BM_ConsoleLoad(benchmark::State& state) {
  const int consoles = static_cast<int>(state.range(0));
  const bool fetching = state.range(1) != 0;
  const char* env = std::getenv("CANBUS_CONSOLE_SECONDS");
  const double seconds = env != nullptr && std::atof(env) > 0 ? std::atof(env) : 10.0;
  constexpr double kWarmup = 3;
  constexpr int kStatusRequests = 100;

  char tmpl[] = "/tmp/console-bench.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) {
    state.SkipWithError("no temporary directory");
    return;
  }
  const std::string dir = tmpl;
  std::vector<std::string> values;
  std::ofstream(dir + "/console.conf") << config_text(values);
  const int http_port = free_port();
  const std::string sock = dir + "/line.sock";
  ServerChild server(dir);
  // --metrics: the other name of --http (one server for /metrics, the API and the console).
  if (!server.start({"--config", dir + "/console.conf", "--listen", sock, "--metrics",
                     "127.0.0.1:" + std::to_string(http_port), "--sim-adc", "--value-interval",
                     "1000"})) {
    state.SkipWithError("canbus-server not started");
    std::filesystem::remove_all(dir);
    return;
  }
  // Every node configured and started by the node monitor.
  const auto ready_by = Clock::now() + std::chrono::seconds(120);
  while (count_of(server.log(), "event configured") < static_cast<size_t>(kNodes)) {
    if (!server.running() || Clock::now() > ready_by) {
      const std::string log = server.log();
      std::fprintf(stderr, "canbus-server not ready; its log ends:\n%s\n",
                   log.substr(log.size() > 2000 ? log.size() - 2000 : 0).c_str());
      state.SkipWithError("canbus-server not ready");
      server.stop();
      std::filesystem::remove_all(dir);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const int pid = server.pid();
  const auto port = static_cast<uint16_t>(http_port);

  // Each console from an address of its own (127.0.0.2, ...), as browsers on other machines: the
  // server limits the connections of one address.
  auto console_address = [](int c) { return "127.0.0." + std::to_string(2 + c); };
  std::vector<Stream> streams(static_cast<size_t>(consoles));
  for (size_t c = 0; c < streams.size(); ++c) {
    if (!streams[c].open(port, console_address(static_cast<int>(c)))) {
      state.SkipWithError("no event stream at /api/stream");
      server.stop();
      std::filesystem::remove_all(dir);
      return;
    }
  }

  std::atomic<bool> counting{false}, stop{false};
  std::thread reader([&] {
    std::vector<pollfd> p;
    for (auto& s : streams) p.push_back({s.fd, POLLIN, 0});
    std::vector<char> b(1 << 16);
    while (!stop && !p.empty()) {
      if (poll(p.data(), p.size(), 100) <= 0) continue;
      const bool on = counting;
      for (size_t i = 0; i < p.size(); ++i) {
        if ((p[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        const ssize_t k = read(p[i].fd, b.data(), b.size());
        if (k <= 0) {
          streams[i].closed = true;
          p[i].fd = -1;
          continue;
        }
        streams[i].take(b.data(), static_cast<size_t>(k), on);
      }
    }
  });

  // Each console once a second: /api/nodes and the history of its 10 values since its last fetch
  // (one value interval before it: the open sample may have changed since).
  std::mutex mx;
  std::vector<double> fetch_ms;
  long long fetch_errors = 0;
  std::thread fetcher([&] {
    std::vector<long long> since(static_cast<size_t>(consoles), 0);
    auto next = Clock::now();
    std::string body;
    while (!stop && consoles > 0 && fetching) {
      for (int c = 0; c < consoles && !stop; ++c) {
        const long long t = now_ms();
        std::vector<std::string> paths{"/api/nodes"};
        for (int k = 0; k < 10; ++k)
          paths.push_back("/api/values/" +
                          values[static_cast<size_t>(c * 97 + k * 7) % values.size()] +
                          "/history?since_ms=" + std::to_string(since[static_cast<size_t>(c)]));
        for (const auto& path : paths) {
          const auto t0 = Clock::now();
          const int code = http_get(port, path, body, console_address(c));
          const double ms = bench::since_ms(t0);
          if (counting) {
            std::lock_guard<std::mutex> lk(mx);
            fetch_ms.push_back(ms);
            if (code != 200) ++fetch_errors;
          }
        }
        since[static_cast<size_t>(c)] = t - 1000;
      }
      next = std::max(next + std::chrono::seconds(1), Clock::now());
      std::this_thread::sleep_until(next);
    }
  });

  // `status` on the line protocol, evenly over the measurement; the last table kept.
  std::vector<double> status_ms;
  std::vector<std::string> table;
  bool status_failed = false;
  const int line_fd = bench::connect_unix(sock);
  bench::Lines line_in(line_fd);

  std::this_thread::sleep_for(std::chrono::duration<double>(kWarmup));
  std::string lines_before;
  http_get(port, "/api/lines", lines_before);
  const bench::Cpu before = bench::sample_cpu(pid);
  const auto t0 = Clock::now();
  counting = true;
  for (auto _ : state) {
    const auto step = std::chrono::duration<double>(seconds / kStatusRequests);
    for (int i = 0; i < kStatusRequests; ++i) {
      std::this_thread::sleep_until(t0 + std::chrono::duration_cast<Clock::duration>(step * i));
      std::vector<std::string> rows;
      const auto s0 = Clock::now();
      if (line_fd < 0 || !bench::send_all(line_fd, "status\n") ||
          !bench::read_status(line_in, &rows)) {
        status_failed = true;
        break;
      }
      status_ms.push_back(bench::since_ms(s0));
      table = std::move(rows);
    }
    std::this_thread::sleep_until(
        t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
  }
  counting = false;
  const bench::Cpu after = bench::sample_cpu(pid);
  const double run = std::chrono::duration<double>(Clock::now() - t0).count();
  std::string lines_after;
  const bool have_lines = http_get(port, "/api/lines", lines_after) == 200;
  const double rss = bench::rss_bytes(pid);
  stop = true;
  reader.join();
  fetcher.join();
  if (line_fd >= 0) close(line_fd);
  for (auto& s : streams) close(s.fd);
  server.stop();
  std::filesystem::remove_all(dir);
  if (status_failed) {
    state.SkipWithError("status not answered");
    return;
  }

  // The TPDO rate the server sees: the RATE column ("100.0/s") of its last table.
  double tpdo_rate = 0;
  for (const auto& row : table) {
    std::istringstream w(row);
    std::string word;
    while (w >> word) {
      if (word.size() > 2 && word.compare(word.size() - 2, 2, "/s") == 0) {
        tpdo_rate += std::atof(word.c_str());
        break;
      }
    }
  }
  long long events = 0, traces = 0, bytes = 0, closed = 0;
  for (const auto& s : streams) {
    events += s.events;
    traces += s.traces;
    bytes += s.bytes;
    closed += s.closed ? 1 : 0;
  }
  const long long devices = bench::thread_ticks(before, after, "sim-device");
  const long long process = after.process - before.process;
  // The server's busiest threads, by name, to standard error (where the time goes).
  std::map<std::string, long long> by_name;
  for (const auto& [tid, t] : after.threads) {
    auto b = before.threads.find(tid);
    if (t.comm != "sim-device")
      by_name[t.comm] += t.ticks - (b == before.threads.end() ? 0 : b->second.ticks);
  }
  std::vector<std::pair<long long, std::string>> busiest;
  for (const auto& [name, ticks] : by_name) busiest.emplace_back(ticks, name);
  std::sort(busiest.rbegin(), busiest.rend());
  std::fprintf(stderr, "consoles:%d, the server's busiest threads:", consoles);
  for (size_t i = 0; i < std::min<size_t>(6, busiest.size()); ++i)
    std::fprintf(stderr, " %s %.1f %%", busiest[i].second.c_str(),
                 bench::percent_of_core(busiest[i].first, run));
  std::fprintf(stderr, "\n");
  auto& k = state.counters;
  k["cpu_pct"] = bench::percent_of_core(process, run);
  k["devices_pct"] = bench::percent_of_core(devices, run);
  k["server_pct"] = bench::percent_of_core(process - devices, run);
  k["status_p50_ms"] = at_quantile(status_ms, 0.5);
  k["status_p99_ms"] = at_quantile(status_ms, 0.99);
  k["status_max_ms"] = at_quantile(status_ms, 1.0);
  k["tpdo_per_s"] = tpdo_rate;
  if (have_lines)
    k["frames_per_s"] =
        (sum_json(lines_after, "frames_received") - sum_json(lines_before, "frames_received")) /
        run;
  k["events_per_s"] = static_cast<double>(events) / run;
  k["trace_per_s"] = static_cast<double>(traces) / run;
  k["stream_MB_per_s"] = static_cast<double>(bytes) / run / 1e6;
  k["fetches_per_s"] = static_cast<double>(fetch_ms.size()) / run;
  k["fetch_p99_ms"] = at_quantile(fetch_ms, 0.99);
  k["fetch_errors"] = static_cast<double>(fetch_errors);
  k["rss_MB"] = rss / 1e6;
  k["consoles_closed"] = static_cast<double>(closed);
}
BENCHMARK(BM_ConsoleLoad)
    ->ArgNames({"consoles", "fetch"})
    ->Args({0, 0})
    ->Args({10, 1})
    ->Args({10, 0})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

constexpr int kValues = 1000;
constexpr int64_t kSecond = 1'000'000'000;
constexpr int64_t kStart = 1'700'000'000 * kSecond;

std::vector<std::string> value_names() {
  std::vector<std::string> v;
  for (int k = 0; k < kValues; ++k)
    v.push_back(node_name(1 + k / 252, kFirstNode + (k / 4) % 63) + ".CH" +
                std::to_string(1 + k % 4));
  return v;
}

void BM_ConsoleHistoryHour(benchmark::State& state) {
  constexpr int kIntervals = 3600;
  const auto names = value_names();
  size_t bytes = 0, heap = 0;
  for (auto _ : state) {
    const size_t heap0 = mallinfo2().uordblks;
    {
      canbus_server::ValueHistory h(kSecond);
      for (int i = 0; i < kIntervals; ++i) {
        for (int k = 0; k < kValues; ++k)
          h.add(names[static_cast<size_t>(k)], kStart + i * kSecond, std::sin(i * 0.01 + k));
      }
      bytes = h.bytes();
      heap = mallinfo2().uordblks - heap0;
      benchmark::DoNotOptimize(bytes);
    }
  }
  const double samples = double{kValues} * kIntervals;
  auto& k = state.counters;
  k["samples"] = samples;
  k["bytes_per_sample"] = static_cast<double>(bytes) / samples;
  k["heap_bytes_per_sample"] = static_cast<double>(heap) / samples;
  k["MB"] = static_cast<double>(bytes) / 1e6;
  k["heap_MB"] = static_cast<double>(heap) / 1e6;
}
BENCHMARK(BM_ConsoleHistoryHour)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_ConsoleHistoryAdd(benchmark::State& state) {
  const auto names = value_names();
  canbus_server::ValueHistory h(kSecond);
  int64_t t = kStart;
  timespec c0{}, c1{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c0);
  for (auto _ : state) {
    for (int k = 0; k < kValues; ++k)
      h.add(names[static_cast<size_t>(k)], t, static_cast<double>(t % 977) + k);
    t += 10'000'000;  // 10 ms
  }
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c1);
  state.SetItemsProcessed(state.iterations() * kValues);
  // The processor time of one tick as a share of the 10 ms between ticks.
  const double cpu = static_cast<double>(c1.tv_sec - c0.tv_sec) +
                     static_cast<double>(c1.tv_nsec - c0.tv_nsec) * 1e-9;
  state.counters["pct_of_core_at_100Hz"] =
      100.0 * cpu / static_cast<double>(state.iterations()) / 0.010;
}
BENCHMARK(BM_ConsoleHistoryAdd)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
