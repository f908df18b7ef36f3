// Processor time and memory of another process from /proc, for the load programs that run
// canbus-server as a child (server-pd-load, bench_console): the whole process and split by
// thread, so that the simulated devices' threads ("sim-device", which also carry the virtual
// bus's delivery of their frames) can be told apart from the server's own.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace bench {

// Processor time in clock ticks (utime + stime) of a /proc stat file, and its command name.
inline bool stat_ticks(const std::string& path, std::string* comm, long long& ticks) {
  std::ifstream f(path);
  std::string s;
  if (!std::getline(f, s)) return false;
  const size_t open = s.find('('), close = s.rfind(')');
  if (open == std::string::npos || close == std::string::npos) return false;
  if (comm != nullptr) *comm = s.substr(open + 1, close - open - 1);
  std::istringstream rest(s.substr(close + 1));
  std::string field;
  long long utime = 0, stime = 0;
  // Fields 3.. (state first); utime is field 14, stime 15.
  for (int k = 3; k <= 15 && rest >> field; ++k) {
    if (k == 14) utime = std::atoll(field.c_str());
    if (k == 15) stime = std::atoll(field.c_str());
  }
  ticks = utime + stime;
  return true;
}

struct ThreadTicks {
  std::string comm;
  long long ticks = 0;
};

struct Cpu {
  long long process = 0;
  std::map<int, ThreadTicks> threads;
};

inline Cpu sample_cpu(int pid) {
  Cpu c;
  stat_ticks("/proc/" + std::to_string(pid) + "/stat", nullptr, c.process);
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      ThreadTicks t;
      if (stat_ticks(dir + "/" + e->d_name + "/stat", &t.comm, t.ticks))
        c.threads[std::atoi(e->d_name)] = t;
    }
    closedir(d);
  }
  return c;
}

// Ticks between two samples of the threads named `comm` (or, `others`, of all the other threads).
inline long long thread_ticks(const Cpu& before, const Cpu& after, const std::string& comm,
                              bool others = false) {
  long long sum = 0;
  for (const auto& [tid, t] : after.threads) {
    if ((t.comm == comm) == others) continue;
    auto b = before.threads.find(tid);
    sum += t.ticks - (b == before.threads.end() ? 0 : b->second.ticks);
  }
  return sum;
}

// Ticks over `seconds` as per cent of one core.
inline double percent_of_core(long long ticks, double seconds) {
  return 100.0 * static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK)) / seconds;
}

// Resident memory of the process in bytes (VmRSS), 0 when unknown.
inline double rss_bytes(int pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string l;
  while (std::getline(f, l)) {
    if (l.rfind("VmRSS:", 0) == 0) return std::atof(l.c_str() + 6) * 1024.0;
  }
  return 0;
}

}  // namespace bench
