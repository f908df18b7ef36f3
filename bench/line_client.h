// A plain TCP client of canbus-server's line protocol for the load programs (server-load,
// server-pd-load): connecting, reading lines, reading a status table, percentiles.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

// Connected with TCP_NODELAY; -1 when refused. `from`: the local address to connect from
// (bound before connecting), e.g. "127.0.0.2"; empty: the system's choice.
inline int connect_to(const std::string& host, uint16_t port, const std::string& from = "") {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (!from.empty()) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from.c_str(), &local.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      close(fd);
      return -1;
    }
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, host.c_str(), &a.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

// Connected to a Unix socket at `path`; -1 when refused or too long a path.
inline int connect_unix(const std::string& path) {
  sockaddr_un a{};
  if (path.size() >= sizeof a.sun_path) return -1;
  a.sun_family = AF_UNIX;
  path.copy(a.sun_path, path.size());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

inline bool send_all(int fd, const std::string& s) {
  return write(fd, s.data(), s.size()) == static_cast<ssize_t>(s.size());
}

// Lines of one connection, waiting at most 10 s for each.
class Lines {
 public:
  explicit Lines(int fd, int wait_ms = 10000) : fd_(fd), wait_ms_(wait_ms) {}
  bool line(std::string& out) {
    for (;;) {
      const size_t nl = buf_.find('\n', pos_);
      if (nl != std::string::npos) {
        out.assign(buf_, pos_, nl - pos_);
        pos_ = nl + 1;
        return true;
      }
      buf_.erase(0, pos_);
      pos_ = 0;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, wait_ms_) <= 0) return false;
      char b[65536];
      const ssize_t k = read(fd_, b, sizeof b);
      if (k <= 0) return false;
      buf_.append(b, static_cast<size_t>(k));
    }
  }

 private:
  int fd_;
  int wait_ms_;
  std::string buf_;
  size_t pos_ = 0;
};

// The kinds of answer a loaded server gives; a refusal or a coalesced set is no failure of the
// load program.
struct Answers {
  std::atomic<long> ok{0}, coalesced{0}, busy{0}, errors{0}, closed{0};
  std::mutex mx;
  std::string first_error;
  void add(const std::string& l) {
    if (l.rfind("ok (coalesced", 0) == 0) {
      ++coalesced;
    } else if (l.rfind("ok", 0) == 0) {
      ++ok;
    } else if (l.rfind("error: busy", 0) == 0) {
      ++busy;
    } else {
      if (errors++ == 0) {
        std::lock_guard<std::mutex> lk(mx);
        first_error = l;
      }
    }
  }
  void print(const char* what) {
    std::printf("%s: %ld ok, %ld coalesced, %ld busy, %ld other errors, %ld closed by the server\n",
                what, ok.load(), coalesced.load(), busy.load(), errors.load(), closed.load());
    if (errors > 0) std::printf("  (the first other error: %s)\n", first_error.c_str());
  }
};

// One scrape of canbus-server's --metrics at ADDR:PORT: every sample, series to value; empty
// when there is no answer.
inline std::map<std::string, double> scrape(const std::string& host, uint16_t port) {
  std::map<std::string, double> out;
  const int fd = connect_to(host, port);
  if (fd < 0) return out;
  send_all(fd, "GET /metrics HTTP/1.0\r\n\r\n");
  Lines in(fd);
  std::string l;
  while (in.line(l)) {
    const size_t sp = l.rfind(' ');
    if (l.empty() || l[0] == '#' || sp == std::string::npos || l.find('{') == 0) continue;
    if (l.rfind("HTTP/", 0) == 0 || l.find(':') < l.find('{')) continue;  // status and headers
    out[l.substr(0, sp)] = std::atof(l.c_str() + sp + 1);
  }
  close(fd);
  return out;
}

// The sum of the samples whose series name (before the labels) contains `part`.
inline double sum_of(const std::map<std::string, double>& samples, const std::string& part) {
  double sum = 0;
  for (const auto& [series, v] : samples) {
    if (series.substr(0, series.find('{')).find(part) != std::string::npos) sum += v;
  }
  return sum;
}

// One status answer, framed ("ok N lines") or, from a server without the framing, up to its
// "line 2:" row. Its lines into `rows` when given.
inline bool read_status(Lines& in, std::vector<std::string>* rows = nullptr) {
  std::string l;
  if (!in.line(l)) return false;
  unsigned n = 0;
  if (std::sscanf(l.c_str(), "ok %u lines", &n) == 1) {
    for (unsigned i = 0; i < n; ++i) {
      if (!in.line(l)) return false;
      if (rows != nullptr) rows->push_back(l);
    }
    return true;
  }
  while (l.rfind("line 2:", 0) != 0) {
    if (!in.line(l)) return false;
  }
  return true;
}

// Times in milliseconds: their count, median, 99th percentile and worst.
inline void print_times(const char* what, std::vector<double> ms, double seconds) {
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

inline double since_ms(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

}  // namespace bench
