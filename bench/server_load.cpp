// server-load: canbus-server under hostile load over TCP. STATUS clients ask `status` in a loop;
// LEAVERS clients each connect, queue `identity` and `sdo read` of a silent node and disconnect at
// once, again and again; one writer sends `set` every 200 ms. Prints the status answers per
// second with their median and 99th percentile, and the writer's set latency (median, 99th
// percentile, worst). Real clock throughout (the server waits for a silent node's SDO deadline
// of 2 to 3 s). Reads the status table framed ("ok N lines") or, from a server without the
// framing, up to its "line 2:" row.
//
// Usage: server-load ADDR:PORT [--seconds S] [--status N] [--leavers N] [--node NAME]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string g_host;
uint16_t g_port = 0;
std::atomic<bool> g_stop{false};

int connect_to() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(g_port);
  inet_pton(AF_INET, g_host.c_str(), &a.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

// Lines of one connection, waiting at most until the run's end plus 10 s.
class Lines {
 public:
  explicit Lines(int fd) : fd_(fd) {}
  bool line(std::string& out) {
    for (;;) {
      const size_t nl = buf_.find('\n');
      if (nl != std::string::npos) {
        out = buf_.substr(0, nl);
        buf_.erase(0, nl + 1);
        return true;
      }
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 10000) <= 0) return false;
      char b[65536];
      const ssize_t k = read(fd_, b, sizeof b);
      if (k <= 0) return false;
      buf_.append(b, static_cast<size_t>(k));
    }
  }

 private:
  int fd_;
  std::string buf_;
};

bool send_all(int fd, const std::string& s) {
  return write(fd, s.data(), s.size()) == static_cast<ssize_t>(s.size());
}

// One status answer, framed or not.
bool read_status(Lines& in) {
  std::string l;
  if (!in.line(l)) return false;
  unsigned n = 0;
  if (std::sscanf(l.c_str(), "ok %u lines", &n) == 1) {
    for (unsigned i = 0; i < n; ++i) {
      if (!in.line(l)) return false;
    }
    return true;
  }
  while (l.rfind("line 2:", 0) != 0) {
    if (!in.line(l)) return false;
  }
  return true;
}

struct Figures {
  std::mutex mx;
  std::vector<double> ms;
  void add(double v) {
    std::lock_guard<std::mutex> lk(mx);
    ms.push_back(v);
  }
  void print(const char* what, double seconds) {
    std::sort(ms.begin(), ms.end());
    if (ms.empty()) {
      std::printf("%s: none answered in %.0f s\n", what, seconds);
      return;
    }
    auto at = [&](double q) {
      const auto k = static_cast<size_t>(q * static_cast<double>(ms.size()));
      return ms[std::min(ms.size() - 1, k)];
    };
    std::printf("%s: %zu answers (%.0f/s), median %.2f ms, p99 %.2f ms, worst %.2f ms\n", what,
                ms.size(), static_cast<double>(ms.size()) / seconds, at(0.5), at(0.99), ms.back());
  }
};

double since_ms(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strchr(argv[1], ':') == nullptr) {
    std::fprintf(stderr,
                 "usage: server-load ADDR:PORT [--seconds S] [--status N] [--leavers N] "
                 "[--node NAME]\n");
    return 2;
  }
  const std::string where = argv[1];
  g_host = where.substr(0, where.rfind(':'));
  g_port = static_cast<uint16_t>(std::atoi(where.c_str() + where.rfind(':') + 1));
  double seconds = 20;
  int status_clients = 20, leavers = 10;
  std::string node = "CAN.VALVE";
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string opt = argv[i];
    if (opt == "--seconds") seconds = std::atof(argv[i + 1]);
    if (opt == "--status") status_clients = std::atoi(argv[i + 1]);
    if (opt == "--leavers") leavers = std::atoi(argv[i + 1]);
    if (opt == "--node") node = argv[i + 1];
  }

  Figures status, set;
  std::atomic<long> left{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < status_clients; ++i) {
    threads.emplace_back([&] {
      const int fd = connect_to();
      if (fd < 0) return;
      Lines in(fd);
      while (!g_stop) {
        const auto t0 = Clock::now();
        if (!send_all(fd, "status\n") || !read_status(in)) break;
        status.add(since_ms(t0));
      }
      close(fd);
    });
  }
  for (int i = 0; i < leavers; ++i) {
    threads.emplace_back([&] {
      const std::string work = "identity " + node + "\nsdo read " + node + " 0x1008 0\n";
      while (!g_stop) {
        const int fd = connect_to();
        if (fd < 0) continue;
        send_all(fd, work);
        close(fd);
        ++left;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
  }
  threads.emplace_back([&] {
    const int fd = connect_to();
    if (fd < 0) return;
    Lines in(fd);
    std::string l;
    while (!g_stop) {
      const auto t0 = Clock::now();
      if (!send_all(fd, "set CAN.PUMP.DEBUG_ID 0 0 0 0\n") || !in.line(l)) break;
      set.add(since_ms(t0));
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    close(fd);
  });
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  g_stop = true;
  for (auto& t : threads) t.join();
  std::printf(
      "%d status clients, %d leaving clients (%ld connections left with work queued), %.0f s\n",
      status_clients, leavers, left.load(), seconds);
  status.print("status", seconds);
  set.print("writer's set", seconds);
  return 0;
}
