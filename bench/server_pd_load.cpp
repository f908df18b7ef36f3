// server-pd-load: canbus-server publishing process data over TCP. WATCHERS clients send `watch
// on` and read their events continuously (one thread polls them all); one client asks `status`
// every STATUS_MS (0: in a tight loop) and times the answers. After WARMUP seconds it measures
// for S seconds: the value events the watchers received per second, how many distinct values
// the first watcher heard, the status answer times (median, 99th percentile, worst), the TPDO
// rate the server's last status table shows (the sum of its RATE column), and the processor
// time of the server process PID from /proc: the whole process (/proc/PID/stat utime + stime)
// and split by thread into the simulated devices of the virtual bus (threads named
// "sim-device", which also carry the bus's delivery of their frames) and the server's own.
//
// Usage: server-pd-load ADDR:PORT --pid PID [--seconds S] [--warmup S] [--watchers N]
//                       [--status-ms MS]
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "line_client.h"
#include "proc_cpu.h"

namespace {

using bench::Clock;

using bench::Cpu;

Cpu sample(int pid) {
  return bench::sample_cpu(pid);
}

// One watching connection: counts the value events in its stream.
struct Watcher {
  int fd = -1;
  std::string tail;  // a line not complete yet
  long long events = 0;
  bool names = false;  // collects the distinct value names (the first watcher)
  std::unordered_set<std::string> heard;

  void take(const char* p, size_t n, bool counting) {
    static constexpr char kValue[] = "event value ";
    constexpr size_t kLen = sizeof kValue - 1;
    const char* end = p + n;
    while (p < end) {
      const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
      if (nl == nullptr) {
        tail.append(p, end);
        return;
      }
      const char* line = p;
      size_t len = static_cast<size_t>(nl - p);
      if (!tail.empty()) {
        tail.append(p, len);
        line = tail.data();
        len = tail.size();
      }
      if (counting && len > kLen && std::memcmp(line, kValue, kLen) == 0) {
        ++events;
        // "event value line L node N NAME VALUE ...": the seventh word.
        if (names) {
          std::istringstream w(std::string(line, len));
          std::string word;
          for (int k = 0; k < 7 && w >> word; ++k) {
          }
          heard.insert(word);
        }
      }
      tail.clear();
      p = nl + 1;
    }
  }
};

double percent(long long ticks, double seconds) {
  return bench::percent_of_core(ticks, seconds);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strchr(argv[1], ':') == nullptr) {
    std::fprintf(stderr,
                 "usage: server-pd-load ADDR:PORT --pid PID [--seconds S] [--warmup S] "
                 "[--watchers N] [--status-ms MS]\n");
    return 2;
  }
  const std::string where = argv[1];
  const std::string host = where.substr(0, where.rfind(':'));
  const auto port = static_cast<uint16_t>(std::atoi(where.c_str() + where.rfind(':') + 1));
  double seconds = 20, warmup = 5;
  int pid = 0, watchers = 10, status_ms = 100;
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string opt = argv[i];
    if (opt == "--seconds") seconds = std::atof(argv[i + 1]);
    if (opt == "--warmup") warmup = std::atof(argv[i + 1]);
    if (opt == "--pid") pid = std::atoi(argv[i + 1]);
    if (opt == "--watchers") watchers = std::atoi(argv[i + 1]);
    if (opt == "--status-ms") status_ms = std::atoi(argv[i + 1]);
  }
  if (pid <= 0) {
    std::fprintf(stderr, "server-pd-load: --pid of the server is needed\n");
    return 2;
  }

  std::atomic<bool> counting{false}, stop{false};
  std::vector<Watcher> ws(static_cast<size_t>(watchers));
  for (auto& w : ws) {
    w.fd = bench::connect_to(host, port);
    if (w.fd < 0 || !bench::send_all(w.fd, "watch on\n")) {
      std::fprintf(stderr, "server-pd-load: cannot connect to %s\n", where.c_str());
      return 1;
    }
  }
  ws[0].names = true;
  std::thread reader([&] {
    std::vector<pollfd> p;
    for (auto& w : ws) p.push_back({w.fd, POLLIN, 0});
    static char b[1 << 16];
    while (!stop) {
      if (poll(p.data(), p.size(), 200) <= 0) continue;
      const bool on = counting;
      for (size_t i = 0; i < p.size(); ++i) {
        if ((p[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        const ssize_t k = read(p[i].fd, b, sizeof b);
        if (k <= 0) {
          std::fprintf(stderr, "server-pd-load: watcher %zu lost its connection\n", i + 1);
          p[i].fd = -1;
          continue;
        }
        ws[i].take(b, static_cast<size_t>(k), on);
      }
    }
  });

  std::mutex mx;
  std::vector<double> times;
  std::vector<std::string> last_table;
  std::thread status([&] {
    const int fd = bench::connect_to(host, port);
    if (fd < 0) return;
    bench::Lines in(fd);
    auto next = Clock::now();
    while (!stop) {
      std::vector<std::string> rows;
      const auto t0 = Clock::now();
      if (!bench::send_all(fd, "status\n") || !bench::read_status(in, &rows)) break;
      const double ms = bench::since_ms(t0);
      if (counting) {
        std::lock_guard<std::mutex> lk(mx);
        times.push_back(ms);
        last_table = std::move(rows);
      }
      next = std::max(next + std::chrono::milliseconds(status_ms), Clock::now());
      std::this_thread::sleep_until(next);
    }
    close(fd);
  });

  std::this_thread::sleep_for(std::chrono::duration<double>(warmup));
  const Cpu before = sample(pid);
  const auto t0 = Clock::now();
  counting = true;
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  counting = false;
  const Cpu after = sample(pid);
  const double run = std::chrono::duration<double>(Clock::now() - t0).count();
  stop = true;
  reader.join();
  status.join();

  // The TPDO rate the server sees: the RATE column ("100.0/s") of its last table.
  double tpdo_rate = 0;
  int nodes_with_rate = 0;
  for (const auto& row : last_table) {
    std::istringstream w(row);
    std::string word;
    while (w >> word) {
      if (word.size() > 2 && word.compare(word.size() - 2, 2, "/s") == 0) {
        tpdo_rate += std::atof(word.c_str());
        ++nodes_with_rate;
        break;
      }
    }
  }

  long long total = 0, least = -1, most = 0;
  for (const auto& w : ws) {
    total += w.events;
    least = least < 0 ? w.events : std::min(least, w.events);
    most = std::max(most, w.events);
  }
  std::printf("%d watchers, status every %d ms, measured %.1f s after %.0f s of warm-up\n",
              watchers, status_ms, run, warmup);
  std::printf("TPDOs: %.0f/s by the server's status table (%d nodes with a rate)\n", tpdo_rate,
              nodes_with_rate);
  std::printf(
      "value events: %.0f/s to all watchers (each %.0f..%.0f/s); the first heard %zu values\n",
      static_cast<double>(total) / run, static_cast<double>(least) / run,
      static_cast<double>(most) / run, ws[0].heard.size());
  bench::print_times("status", times, run);

  long long devices = 0, own = 0;
  std::vector<std::pair<long long, std::string>> busiest;
  for (const auto& [tid, t] : after.threads) {
    auto b = before.threads.find(tid);
    const long long d = t.ticks - (b == before.threads.end() ? 0 : b->second.ticks);
    if (t.comm == "sim-device") {
      devices += d;
    } else {
      own += d;
      busiest.emplace_back(d, t.comm + " " + std::to_string(tid));
    }
  }
  std::sort(busiest.rbegin(), busiest.rend());
  std::printf(
      "processor: the process %.1f %% of a core; its threads: the server's %.1f %%, the "
      "simulated devices' %.1f %%\n",
      percent(after.process - before.process, run), percent(own, run), percent(devices, run));
  std::printf("the server's busiest threads:");
  for (size_t i = 0; i < std::min<size_t>(4, busiest.size()); ++i)
    std::printf(" %s %.1f %%%s", busiest[i].second.c_str(), percent(busiest[i].first, run),
                i + 1 < std::min<size_t>(4, busiest.size()) ? "," : "\n");
  for (const auto& w : ws) close(w.fd);
  return 0;
}
