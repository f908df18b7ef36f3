// server-load: canbus-server under hostile load over TCP. STATUS clients ask `status` in a loop;
// LEAVERS clients each connect, queue `identity` and `sdo read` of a silent node and disconnect at
// once, again and again; one writer sends `set` every 200 ms. Prints the status answers per
// second with their median and 99th percentile, and the writer's set latency (median, 99th
// percentile, worst). Real clock throughout (the server waits for a silent node's SDO deadline
// of 2 to 3 s). Reads the status table framed ("ok N lines") or, from a server without the
// framing, up to its "line 2:" row.
//
// Usage: server-load ADDR:PORT [--seconds S] [--status N] [--leavers N] [--node NAME]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "line_client.h"

namespace {

using bench::Clock;
using bench::Lines;
using bench::read_status;
using bench::send_all;
using bench::since_ms;

std::string g_host;
uint16_t g_port = 0;
std::atomic<bool> g_stop{false};

int connect_to() {
  return bench::connect_to(g_host, g_port);
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
