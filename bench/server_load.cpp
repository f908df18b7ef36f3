// server-load: canbus-server under hostile load over TCP. STATUS clients ask `status` in a loop;
// LEAVERS clients each connect, queue `identity` and `sdo read` of a silent node and disconnect at
// once, again and again; one writer sends `set` every 200 ms. Prints the status answers per
// second with their median and 99th percentile, and the writer's set latency (median, 99th
// percentile, worst). Real clock throughout (the server waits for a silent node's SDO deadline
// of 2 to 3 s). Reads the status table framed ("ok N lines") or, from a server without the
// framing, up to its "line 2:" row.
//
// Hostile clients besides, each set switched on by its flag (none: the figures as before):
//   --lockout N   N connections from each of 127.0.0.2 and 127.0.0.3, made before the others,
//                 that send `watch on` and then a blank line every 10 s (reading their events)
//   --readers N   N read-only clients from 127.0.1.4 (the server's --writers must leave it out),
//                 each with 8 `sdo read NODE 0x1008 0` of the silent node pipelined, again when
//                 all 8 are answered, connected throughout
//   --rpdo-flood  a writer sends set-points of the RPDO value RPDO as fast as they are answered
//   --watchers N  N clients that send `watch on` and read 256 bytes a second each
//   --pipeline    one client reads `sdo read PNODE 0x1000 0` one at a time for the first half of
//                 the run, in batches of 8 pipelined for the second: answers per second of each
//   --hostile     all of them: --lockout 500 --readers 30 --rpdo-flood --watchers 300 --pipeline
//   --metrics ADDR:PORT  the server's --metrics: frames sent per line and frames lost, read
//                 before and after the run
// A refusal (`error: busy...`), a coalesced set (`ok (coalesced ...)`) or a connection the
// server closes is counted, not taken for a failure.
//
// Usage: server-load ADDR:PORT [--seconds S] [--status N] [--leavers N] [--node NAME]
//        [--rpdo NAME] [--pnode NAME] [hostile flags]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "line_client.h"

namespace {

using bench::Answers;
using bench::Clock;
using bench::Lines;
using bench::read_status;
using bench::send_all;
using bench::since_ms;

std::string g_host;
uint16_t g_port = 0;
std::atomic<bool> g_stop{false};

int connect_to(const std::string& from = "") {
  return bench::connect_to(g_host, g_port, from);
}

// Connections that stay: `watch on` sent once, then `keepalive` every 10 s (empty: never);
// each reads at most `read_bytes` a second (0: all there is). Counts the ones the server closes.
void hold(std::vector<int> fds, const std::string& keepalive, size_t read_bytes,
          std::atomic<long>& closed) {
  for (int fd : fds) send_all(fd, "watch on\n");
  auto next_keepalive = Clock::now() + std::chrono::seconds(10);
  auto next_read = Clock::now();
  while (!g_stop) {
    const bool slow = read_bytes > 0;
    if (!slow || Clock::now() >= next_read) {
      std::vector<pollfd> p;
      for (int fd : fds) p.push_back({fd, POLLIN, 0});
      if (poll(p.data(), p.size(), 100) > 0) {
        for (size_t i = 0; i < p.size(); ++i) {
          if (p[i].fd < 0 || (p[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
          char b[65536];
          const ssize_t k = read(fds[i], b, slow ? read_bytes : sizeof b);
          if (k <= 0) {
            ++closed;
            close(fds[i]);
            fds[i] = -1;
          }
        }
        fds.erase(std::remove(fds.begin(), fds.end(), -1), fds.end());
      }
      next_read = Clock::now() + std::chrono::seconds(1);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!keepalive.empty() && Clock::now() >= next_keepalive) {
      for (int fd : fds) send_all(fd, keepalive);
      next_keepalive += std::chrono::seconds(10);
    }
  }
  for (int fd : fds) close(fd);
}

struct Figures {
  std::mutex mx;
  std::vector<double> ms;
  void add(double v) {
    std::lock_guard<std::mutex> lk(mx);
    ms.push_back(v);
  }
  void print(const char* what, double seconds) { bench::print_times(what, ms, seconds); }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strchr(argv[1], ':') == nullptr) {
    std::fprintf(stderr,
                 "usage: server-load ADDR:PORT [--seconds S] [--status N] [--leavers N] "
                 "[--node NAME] [--rpdo NAME] [--pnode NAME] [--lockout N] [--readers N] "
                 "[--rpdo-flood] [--watchers N] [--pipeline] [--hostile] [--metrics ADDR:PORT]\n");
    return 2;
  }
  std::signal(SIGPIPE, SIG_IGN);  // a client the server closed fails its write instead
  const std::string where = argv[1];
  g_host = where.substr(0, where.rfind(':'));
  g_port = static_cast<uint16_t>(std::atoi(where.c_str() + where.rfind(':') + 1));
  double seconds = 20;
  int status_clients = 20, leavers = 10, lockout = 0, readers = 0, watchers = 0;
  bool rpdo_flood = false, pipeline = false;
  std::string node = "CAN.VALVE", rpdo = "CAN.MAGNET.SETPOINT", pnode = "CAN.PUMP", metrics;
  for (int i = 2; i < argc; ++i) {
    const std::string opt = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : "0";
    if (opt == "--rpdo-flood") {
      rpdo_flood = true;
      continue;
    }
    if (opt == "--pipeline") {
      pipeline = true;
      continue;
    }
    if (opt == "--hostile") {
      lockout = 500;
      readers = 30;
      watchers = 300;
      rpdo_flood = pipeline = true;
      continue;
    }
    ++i;
    if (opt == "--seconds") seconds = std::atof(value);
    if (opt == "--status") status_clients = std::atoi(value);
    if (opt == "--leavers") leavers = std::atoi(value);
    if (opt == "--node") node = value;
    if (opt == "--rpdo") rpdo = value;
    if (opt == "--pnode") pnode = value;
    if (opt == "--lockout") lockout = std::atoi(value);
    if (opt == "--readers") readers = std::atoi(value);
    if (opt == "--watchers") watchers = std::atoi(value);
    if (opt == "--metrics") metrics = value;
  }
  std::string m_host;
  uint16_t m_port = 0;
  if (!metrics.empty()) {
    m_host = metrics.substr(0, metrics.rfind(':'));
    m_port = static_cast<uint16_t>(std::atoi(metrics.c_str() + metrics.rfind(':') + 1));
  }

  Figures status, set;
  Answers set_answers, read_answers, flood_answers;
  std::atomic<long> left{0}, lockout_closed{0}, watchers_closed{0}, writer_refused{0};
  std::atomic<long> unpipelined{0}, pipelined{0};
  std::vector<std::thread> threads;
  // The lock-out set first: it takes its places before anyone else comes.
  long lockout_held = 0;
  if (lockout > 0) {
    std::vector<int> fds;
    for (const char* from : {"127.0.0.2", "127.0.0.3"}) {
      for (int i = 0; i < lockout; ++i) {
        const int fd = connect_to(from);
        if (fd >= 0) fds.push_back(fd);
      }
    }
    lockout_held = static_cast<long>(fds.size());
    threads.emplace_back([fds, &lockout_closed] { hold(fds, "\n", 0, lockout_closed); });
  }
  const auto before = m_port != 0 ? bench::scrape(m_host, m_port) : std::map<std::string, double>{};
  const auto t_start = Clock::now();
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
  // The writer: connects again when refused or closed (counted).
  threads.emplace_back([&] {
    while (!g_stop) {
      const int fd = connect_to();
      if (fd < 0) {
        ++writer_refused;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        continue;
      }
      Lines in(fd, 60000);  // a set may wait for others' transfers of a silent node
      std::string l;
      while (!g_stop) {
        const auto t0 = Clock::now();
        if (!send_all(fd, "set CAN.PUMP.DEBUG_ID 0 0 0 0\n") || !in.line(l)) {
          ++set_answers.closed;
          break;
        }
        set_answers.add(l);
        if (l.rfind("ok", 0) == 0) set.add(since_ms(t0));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
      }
      close(fd);
    }
  });
  for (int i = 0; i < readers; ++i) {
    threads.emplace_back([&] {
      std::string batch;
      for (int k = 0; k < 8; ++k) batch += "sdo read " + node + " 0x1008 0\n";
      const int fd = connect_to("127.0.1.4");
      if (fd < 0) return;
      Lines in(fd, 100);
      std::string l;
      int due = 0;
      while (!g_stop) {
        if (due == 0) {
          if (!send_all(fd, batch)) break;
          due = 8;
        }
        if (in.line(l)) {
          read_answers.add(l);
          --due;
        } else if (char c; recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0) {
          ++read_answers.closed;  // the server closed it
          break;
        }
      }
      close(fd);
    });
  }
  if (rpdo_flood) {
    threads.emplace_back([&] {
      const int fd = connect_to();
      if (fd < 0) return;
      Lines in(fd, 60000);
      std::string l;
      for (unsigned v = 0; !g_stop; ++v) {
        if (!send_all(fd, "set " + rpdo + " " + std::to_string(v % 40000) + "\n") || !in.line(l)) {
          ++flood_answers.closed;
          break;
        }
        flood_answers.add(l);
      }
      close(fd);
    });
  }
  if (watchers > 0) {
    std::vector<int> fds;
    for (int i = 0; i < watchers; ++i) {
      const int fd = connect_to();
      if (fd >= 0) fds.push_back(fd);
    }
    threads.emplace_back([fds, &watchers_closed] { hold(fds, "", 256, watchers_closed); });
  }
  if (pipeline) {
    threads.emplace_back([&] {
      const int fd = connect_to();
      if (fd < 0) return;
      Lines in(fd);
      const std::string one = "sdo read " + pnode + " 0x1000 0\n";
      std::string batch, l;
      for (int k = 0; k < 8; ++k) batch += one;
      const auto half = t_start + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(seconds / 2));
      while (!g_stop && Clock::now() < half) {
        if (!send_all(fd, one) || !in.line(l)) break;
        ++unpipelined;
      }
      while (!g_stop) {
        if (!send_all(fd, batch)) break;
        int k = 0;
        while (k < 8 && in.line(l)) ++k;
        pipelined += k;
        if (k < 8) break;
      }
      close(fd);
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  g_stop = true;
  const double run = std::chrono::duration<double>(Clock::now() - t_start).count();
  const auto after = m_port != 0 ? bench::scrape(m_host, m_port) : std::map<std::string, double>{};
  for (auto& t : threads) t.join();
  std::printf(
      "%d status clients, %d leaving clients (%ld connections left with work queued), %.0f s\n",
      status_clients, leavers, left.load(), seconds);
  status.print("status", seconds);
  set.print("writer's set", seconds);
  set_answers.print("writer's set answers");
  if (writer_refused > 0) std::printf("writer refused %ld times\n", writer_refused.load());
  if (lockout > 0) {
    std::printf("lock-out: %ld of %d connections made, %ld closed by the server\n", lockout_held,
                2 * lockout, lockout_closed.load());
  }
  if (readers > 0) read_answers.print("reader flood (sdo read)");
  if (rpdo_flood) {
    flood_answers.print("RPDO flood (set)");
    std::printf("RPDO flood: %.0f answers/s\n",
                static_cast<double>(flood_answers.ok + flood_answers.coalesced +
                                    flood_answers.busy + flood_answers.errors) /
                    run);
  }
  if (watchers > 0) {
    std::printf("slow watchers: %d, %ld closed by the server\n", watchers, watchers_closed.load());
  }
  if (pipeline) {
    std::printf("unpipelined: %.0f answers/s, pipelined (8 a batch): %.0f answers/s\n",
                static_cast<double>(unpipelined) / (seconds / 2),
                static_cast<double>(pipelined) / (seconds / 2));
  }
  if (m_port != 0) {
    if (before.empty() || after.empty()) {
      std::printf("metrics: no answer from %s\n", metrics.c_str());
    } else {
      for (const auto& [series, v] : after) {
        if (series.rfind("canbus_line_frames_sent_total", 0) != 0) continue;
        const auto b = before.find(series);
        std::printf("%s: %.0f frames/s\n", series.c_str(),
                    (v - (b != before.end() ? b->second : 0)) / run);
      }
      std::printf("frames lost (every *frames_lost* and *overrun* counter): %.0f\n",
                  bench::sum_of(after, "frames_lost") - bench::sum_of(before, "frames_lost") +
                      bench::sum_of(after, "overrun") - bench::sum_of(before, "overrun"));
    }
  }
  return 0;
}
