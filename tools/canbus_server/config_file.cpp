#include "config_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <set>
#include <sstream>

namespace canbus_server {
namespace {

const char* const kConfigSubs[] = {".BAUDRATE", ".DEBUG_ID", ".MONITOR", ".EDS"};
const char* const kOtherSubs[] = {".ALIVE", ".CONDITION", ".MANU",  ".HWVER", ".SWVER",
                                  ".START", ".STOP",      ".RESET", ".ACTIVE"};

bool ends_with(const std::string& s, const char* suffix) {
  const size_t n = std::strlen(suffix);
  return s.size() > n && s.compare(s.size() - n, n, suffix) == 0;
}

std::string base_of(const std::string& name) {
  return name.substr(0, name.rfind('.'));
}

std::vector<std::string> words(const std::string& s) {
  std::istringstream in(s);
  std::vector<std::string> out;
  std::string w;
  while (in >> w) out.push_back(w);
  return out;
}

bool all_ints(const std::vector<std::string>& w) {
  int v = 0;
  for (const auto& x : w) {
    if (!parse_int(x, v)) return false;
  }
  return true;
}

// Four integers of a value text into `v`; the reason when the text is not that.
std::string four_ints(const std::vector<std::string>& w, int v[4]) {
  if (w.size() != 4) return "takes four integers, not " + std::to_string(w.size()) + " values";
  for (size_t i = 0; i < 4; ++i) {
    if (!parse_int(w[i], v[i])) return "'" + w[i] + "' is not an integer in range";
  }
  return "";
}

std::string out_of(const char* what, int v, int lo, int hi) {
  return std::string(what) + " must be " + std::to_string(lo) + ".." + std::to_string(hi) +
         ", not " + std::to_string(v);
}

// A new file `to` (never one that is there, never through a link) with the bytes of `from`, both
// in the folder `dfd`.
bool copy_file(int dfd, const std::string& from, const std::string& to, mode_t mode) {
  int in = ::openat(dfd, from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (in < 0) return false;
  int out = ::openat(dfd, to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  bool ok = out >= 0;
  char buf[8192];
  while (ok) {
    ssize_t k = ::read(in, buf, sizeof buf);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) {
      ok = k == 0;
      break;
    }
    ok = write_all(out, std::string(buf, static_cast<size_t>(k)));
  }
  ::close(in);
  if (out >= 0) ok = ::fsync(out) == 0 && ::close(out) == 0 && ok;
  return ok;
}

constexpr off_t kMaxConfigBytes = off_t{64} << 20;

}  // namespace

bool read_config_text(const std::string& path, std::string& out, std::string& why, int dfd) {
  const int fd = ::openat(dfd, path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    why = std::string("cannot be read: ") + std::strerror(errno);
    return false;
  }
  struct stat st {};
  bool ok = false;
  if (::fstat(fd, &st) != 0) {
    why = std::string("cannot be read: ") + std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    why = "not a regular file";
  } else if (st.st_size > kMaxConfigBytes) {
    why = "larger than 64 MB";
  } else {
    out.clear();
    out.reserve(static_cast<size_t>(st.st_size));
    char buf[65536];
    for (ok = true; ok;) {
      const ssize_t k = ::read(fd, buf, sizeof buf);
      if (k < 0 && errno == EINTR) continue;
      if (k < 0) why = std::string("cannot be read: ") + std::strerror(errno), ok = false;
      if (k <= 0) break;
      out.append(buf, static_cast<size_t>(k));
      if (out.size() > static_cast<size_t>(kMaxConfigBytes)) why = "larger than 64 MB", ok = false;
    }
  }
  ::close(fd);
  return ok;
}

namespace {

// 16 hexadecimal digits from the kernel's random source.
std::string random_suffix() {
  uint64_t r = 0;
  if (::getrandom(&r, sizeof r, 0) != static_cast<ssize_t>(sizeof r)) {
    // Only before the pool is ready at boot: still unique, less secret (O_EXCL guards).
    r = static_cast<uint64_t>(::getpid()) * 0x9E3779B97F4A7C15ull ^
        static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&r));
  }
  char b[24];
  std::snprintf(b, sizeof b, "%016llx", static_cast<unsigned long long>(r));
  return b;
}

// The numeric types of process data: short names and the CANopen ones.
struct PdoType {
  const char* name;
  const char* canopen;
  unsigned bits;
  bool real;
};
constexpr PdoType kPdoTypes[] = {
    {"bool", "BOOLEAN", 1, false},       {"int8", "INTEGER8", 8, false},
    {"int16", "INTEGER16", 16, false},   {"int24", "INTEGER24", 24, false},
    {"int32", "INTEGER32", 32, false},   {"int40", "INTEGER40", 40, false},
    {"int48", "INTEGER48", 48, false},   {"int56", "INTEGER56", 56, false},
    {"int64", "INTEGER64", 64, false},   {"uint8", "UNSIGNED8", 8, false},
    {"uint16", "UNSIGNED16", 16, false}, {"uint24", "UNSIGNED24", 24, false},
    {"uint32", "UNSIGNED32", 32, false}, {"uint40", "UNSIGNED40", 40, false},
    {"uint48", "UNSIGNED48", 48, false}, {"uint56", "UNSIGNED56", 56, false},
    {"uint64", "UNSIGNED64", 64, false}, {"real32", "REAL32", 32, true},
    {"real64", "REAL64", 64, true},
};

bool equal_nocase(const std::string& a, const char* b) {
  const size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

const PdoType* pdo_type(const std::string& name) {
  for (const PdoType& t : kPdoTypes) {
    if (equal_nocase(name, t.name) || equal_nocase(name, t.canopen)) return &t;
  }
  return nullptr;
}

// INDEX:SUB with an index 0x0001..0xFFFF and a sub-index 0..255.
bool parse_object(const std::string& s, int& index, int& sub) {
  const size_t colon = s.find(':');
  if (colon == std::string::npos) return false;
  return parse_int(s.substr(0, colon), index) && parse_int(s.substr(colon + 1), sub) &&
         index >= 1 && index <= 0xFFFF && sub >= 0 && sub <= 255;
}

bool value_name_ok(const std::string& n) {
  if (n.empty() || n.size() > 32) return false;
  for (char c : n) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  }
  return true;
}

// The parts of `s` between the separators outside double quotes.
std::vector<std::string> split_on(const std::string& s, char sep) {
  std::vector<std::string> out(1);
  bool quoted = false;
  for (char c : s) {
    if (c == '"') quoted = !quoted;
    if (c == sep && !quoted) {
      out.emplace_back();
    } else {
      out.back() += c;
    }
  }
  return out;
}

// Words separated by blanks; a word in double quotes keeps its blanks (quotes removed, flagged
// in `quoted`). false when a quote is not closed.
bool quoted_words(const std::string& s, std::vector<std::string>& out, std::vector<bool>& quoted) {
  size_t i = 0;
  while (i < s.size()) {
    if (s[i] == ' ' || s[i] == '\t') {
      ++i;
    } else if (s[i] == '"') {
      const size_t end = s.find('"', i + 1);
      if (end == std::string::npos) return false;
      out.push_back(s.substr(i + 1, end - i - 1));
      quoted.push_back(true);
      i = end + 1;
    } else {
      const size_t end = s.find_first_of(" \t", i);
      out.push_back(s.substr(i, end == std::string::npos ? std::string::npos : end - i));
      quoted.push_back(false);
      i = end == std::string::npos ? s.size() : end;
    }
  }
  return true;
}

std::string pdo_usage(bool tpdo) {
  return tpdo ? "takes '[event MS|change MS|sync N] [cob ID] map NAME INDEX:SUB TYPE [scale X] "
                "[offset X] [unit U] [deadband X] [alarm LOW HIGH] [warn LOW HIGH] [hysteresis "
                "H], ...'"
              : "takes '[sync] [interval MS] [cob ID] map NAME INDEX:SUB TYPE [scale X] [offset X] "
                "[unit U] "
                "[min X] [max X] [boot restore|clear], ...'";
}

}  // namespace

bool is_pdo_suffix(const std::string& suffix) {
  if (suffix.size() < 5 || (suffix.compare(0, 4, "TPDO") != 0 && suffix.compare(0, 4, "RPDO") != 0))
    return false;
  for (size_t i = 4; i < suffix.size(); ++i) {
    if (suffix[i] < '0' || suffix[i] > '9') return false;
  }
  return true;
}

std::string parse_pdo(const std::string& which, const std::string& value, PdoLine& out) {
  PdoLine p;
  p.tpdo = which.compare(0, 4, "TPDO") == 0;
  if (!parse_int(which.substr(4), p.number) || p.number < 1 || p.number > kMaxPdoNumber)
    return "the PDO number must be 1.." + std::to_string(kMaxPdoNumber);
  const std::string usage = pdo_usage(p.tpdo);
  const size_t map_at = (" " + value + " ").find(" map ");
  if (map_at == std::string::npos) return usage;
  const auto head = words(value.substr(0, map_at));
  for (size_t i = 0; i < head.size(); ++i) {
    const std::string& w = head[i];
    const bool has_arg = i + 1 < head.size();
    int n = 0;
    if (w == "cob" && has_arg) {
      if (!parse_int(head[++i], n) || n < 1 || n > 0x7FF)
        return "the identifier must be 0x001..0x7FF, not '" + head[i] + "'";
      p.cob_id = n;
    } else if (p.tpdo && (w == "event" || w == "change") && has_arg) {
      if (!parse_int(head[++i], n) || n < 1 || n > 65535)
        return "the event timer must be 1..65535 ms, not '" + head[i] + "'";
      p.transmission = w == "event" ? 255 : 254;
      p.event_ms = n;
    } else if (p.tpdo && w == "sync" && has_arg) {
      if (!parse_int(head[++i], n) || n < 1 || n > 240)
        return "the SYNC count must be 1..240, not '" + head[i] + "'";
      p.transmission = n;
    } else if (!p.tpdo && w == "sync") {
      p.transmission = 1;
    } else if (!p.tpdo && w == "interval" && has_arg) {
      if (!parse_int(head[++i], n) || n < 1 || n > 60000)
        return "the interval must be 1..60000 ms, not '" + head[i] + "'";
      p.interval_ms = n;
    } else {
      return usage;
    }
  }
  if (p.number > 4 && p.cob_id == 0) return "PDO " + std::to_string(p.number) + " needs 'cob ID'";
  unsigned bits = 0;
  for (const std::string& item : split_on(value.substr(map_at + 4), ',')) {
    std::vector<std::string> w;
    std::vector<bool> quoted;
    if (!quoted_words(item, w, quoted)) return "a quote is not closed";
    const bool by_name = w.size() >= 2 && quoted[1];
    if (w.size() < (by_name ? 2u : 3u))
      return "each value takes 'NAME INDEX:SUB TYPE ...' or 'NAME \"OBJECT\" ...'";
    PdoValueLine v;
    v.name = w[0];
    if (!value_name_ok(v.name)) return "a value name is 1..32 of A-Z a-z 0-9 _, not '" + w[0] + "'";
    if (has_sub_suffix("X." + v.name) || is_pdo_suffix(v.name) || v.name == "BOOT" ||
        v.name == "DRIVE")
      return v.name + " is a sub-property of the node already";
    for (const auto& o : p.values) {
      if (o.name == v.name) return v.name + " is mapped twice";
    }
    size_t options = 2;
    if (by_name) {
      if (w[1].empty()) return v.name + ": an empty object name";
      v.object = w[1];
    } else {
      if (!parse_object(w[1], v.index, v.subindex))
        return v.name + ": '" + w[1] + "' is no INDEX:SUB (0x0001..0xFFFF, 0..255)";
      const PdoType* t = pdo_type(w[2]);
      if (t == nullptr) return v.name + ": '" + w[2] + "' is no numeric data type";
      v.type = t->canopen;
      v.bits = t->bits;
      v.is_real = t->real;
      options = 3;
    }
    for (size_t i = options; i < w.size(); i += 2) {
      const std::string& k = w[i];
      if (i + 1 >= w.size()) return v.name + ": '" + k + "' without its value";
      const std::string& a = w[i + 1];
      double x = 0;
      if (p.tpdo && (k == "alarm" || k == "warn")) {
        if (i + 2 >= w.size()) return v.name + ": " + k + " takes LOW HIGH (a number or '-' each)";
        Limits& l = k == "alarm" ? v.alarm : v.warn;
        if (l.any()) return v.name + ": '" + k + "' is given twice";
        for (int side = 0; side < 2; ++side) {
          const std::string& n = w[i + 1 + static_cast<size_t>(side)];
          if (n == "-") continue;
          if (!parse_number(n, x))
            return v.name + ": " + k + " takes LOW HIGH (a number or '-' each), not '" + n + "'";
          (side == 0 ? l.has_low : l.has_high) = true;
          (side == 0 ? l.low : l.high) = x;
        }
        if (!l.any()) return v.name + ": " + k + " gives no limit ('- -')";
        if (l.has_low && l.has_high && l.low >= l.high)
          return v.name + ": the " + k + " limits must be LOW below HIGH";
        ++i;
        continue;
      }
      if (k == "unit") {
        v.unit = a;
        continue;
      }
      if (k == "boot" && !p.tpdo) {
        if (a != "restore" && a != "clear")
          return v.name + ": boot takes 'restore' or 'clear', not '" + a + "'";
        v.clear_at_boot = a == "clear";
        continue;
      }
      const bool known = k == "scale" || k == "offset" || k == "deadband" ||
                         (!p.tpdo && (k == "min" || k == "max")) || (p.tpdo && k == "hysteresis");
      if (!known) return v.name + ": unknown word '" + k + "'";
      if (!parse_number(a, x)) return v.name + ": " + k + " '" + a + "' is not a number";
      if (k == "scale") {
        if (x == 0) return v.name + ": the scale must not be 0";
        v.scale = x;
      } else if (k == "offset") {
        v.offset = x;
      } else if (k == "deadband") {
        if (x < 0) return v.name + ": the deadband must not be negative";
        v.deadband = x;
      } else if (k == "hysteresis") {
        if (x < 0) return v.name + ": the hysteresis must not be negative";
        v.has_hysteresis = true;
        v.hysteresis = x;
      } else if (k == "min") {
        v.has_min = true;
        v.min = x;
      } else {
        v.has_max = true;
        v.max = x;
      }
    }
    if (v.has_min && v.has_max && v.min > v.max) return v.name + ": min above max";
    if (v.has_hysteresis && !v.alarm.any() && !v.warn.any())
      return v.name + ": a hysteresis without 'alarm' or 'warn' limits";
    // A hysteresis as wide as the limits' span would carry the value past the other limit
    // before the first ended.
    for (const Limits* l : {&v.alarm, &v.warn}) {
      if (v.has_hysteresis && l->has_low && l->has_high && v.hysteresis >= l->high - l->low)
        return v.name + ": the hysteresis must be below HIGH - LOW";
    }
    // The warning comes before the alarm: its limits lie inside the alarm's.
    if ((v.warn.has_low && v.alarm.has_low && v.warn.low < v.alarm.low) ||
        (v.warn.has_high && v.alarm.has_high && v.warn.high > v.alarm.high))
      return v.name + ": the warn limits must lie within the alarm limits";
    bits += v.bits;
    p.values.push_back(std::move(v));
  }
  if (bits > 64) return "the values take " + std::to_string(bits) + " bits, a PDO 64 at most";
  out = std::move(p);
  return "";
}

std::string parse_boot(const std::string& value, BootSpec& out) {
  BootSpec b;
  const char* usage = "takes 'INDEX:SUB TYPE VALUE; ...', '\"OBJECT\" VALUE; ...' and/or 'dcf'";
  for (const std::string& item : split_on(value, ';')) {
    std::vector<std::string> w;
    std::vector<bool> quoted;
    if (!quoted_words(item, w, quoted)) return "a quote is not closed";
    if (w.size() == 1 && w[0] == "dcf" && !quoted[0]) {
      b.dcf = true;
      continue;
    }
    if (w.size() == 2 && quoted[0]) {
      // By name: the type and the value's check come with the node's EDS.
      if (w[0].empty()) return "an empty object name";
      BootWriteSpec x;
      x.object = w[0];
      x.value = w[1];
      b.writes.push_back(std::move(x));
      continue;
    }
    if (w.size() != 3) return usage;
    BootWriteSpec x;
    if (!parse_object(w[0], x.index, x.subindex))
      return "'" + w[0] + "' is no INDEX:SUB (0x0001..0xFFFF, 0..255)";
    const PdoType* t = pdo_type(w[1]);
    if (t == nullptr) return "'" + w[1] + "' is no numeric data type";
    x.type = t->canopen;
    double probe = 0;
    if (!parse_number(w[2], probe)) return "'" + w[2] + "' is not a number";
    x.value = w[2];
    b.writes.push_back(std::move(x));
  }
  out = std::move(b);
  return "";
}

std::string parse_sync(const std::string& value, SyncSpec& out) {
  const auto w = words(value);
  const char* usage = "takes 'PERIOD_MS [counter OVERFLOW]'";
  SyncSpec s;
  if ((w.size() != 1 && w.size() != 3) || !parse_int(w[0], s.period_ms)) return usage;
  if (s.period_ms < 1 || s.period_ms > kMaxSupervisionMs)
    return out_of("the period", s.period_ms, 1, kMaxSupervisionMs);
  if (w.size() == 3) {
    if (w[1] != "counter" || !parse_int(w[2], s.counter)) return usage;
    if (s.counter < 2 || s.counter > 240) return out_of("the counter overflow", s.counter, 2, 240);
  }
  out = s;
  return "";
}

const char* const kDriveProperties[5] = {"POSITION", "VELOCITY", "TARGET", "STATE", "MODE"};

std::string parse_drive(const std::string& value, DriveSpec& out) {
  const auto w = words(value);
  if (w.empty())
    return "takes 'axis N', 'homing METHOD|none', 'speed SWITCH ZERO', 'acceleration A', "
           "'offset O', 'velocity V', 'scale S', 'unit U', 'limits LOW HIGH', 'timeout S', 'sdo'";
  DriveSpec d;
  std::set<std::string> seen;
  for (size_t i = 0; i < w.size(); ++i) {
    const std::string& k = w[i];
    const size_t args = k == "sdo" ? 0 : (k == "speed" || k == "limits") ? 2 : 1;
    const bool known = k == "axis" || k == "homing" || k == "speed" || k == "acceleration" ||
                       k == "offset" || k == "velocity" || k == "scale" || k == "unit" ||
                       k == "limits" || k == "timeout" || k == "sdo";
    if (!known) return "unknown word '" + k + "'";
    if (!seen.insert(k).second) return "'" + k + "' is given twice";
    if (args > 0 && i + args >= w.size()) return "'" + k + "' without its value";
    const std::string a = args > 0 ? w[i + 1] : "";
    const std::string b = args > 1 ? w[i + 2] : "";
    i += args;
    int n = 0;
    uint64_t u = 0;
    double x = 0;
    if (k == "axis") {
      if (!parse_int(a, n) || n < 0 || n > 7) return "the axis must be 0..7, not '" + a + "'";
      d.axis = n;
    } else if (k == "homing") {
      d.has_homing = true;
      if (a == "none") {
        d.no_homing = true;
      } else if (!parse_int(a, n) || n < -128 || n > 127) {
        return "the homing method must be -128..127 or none, not '" + a + "'";
      } else {
        d.homing = n;
      }
    } else if (k == "speed") {
      uint64_t z = 0;
      if (!parse_uint(a, 0xFFFFFFFF, u) || !parse_uint(b, 0xFFFFFFFF, z) || u == 0 || z == 0)
        return "the homing speeds must be 1..4294967295, not '" + a + "' '" + b + "'";
      d.has_speed = true;
      d.speed_switch = static_cast<uint32_t>(u);
      d.speed_zero = static_cast<uint32_t>(z);
    } else if (k == "acceleration") {
      if (!parse_uint(a, 0xFFFFFFFF, u) || u == 0)
        return "the homing acceleration must be 1..4294967295, not '" + a + "'";
      d.has_acceleration = true;
      d.acceleration = static_cast<uint32_t>(u);
    } else if (k == "offset") {
      if (!parse_int(a, n)) return "the home offset must be an INTEGER32, not '" + a + "'";
      d.has_offset = true;
      d.offset = n;
    } else if (k == "velocity") {
      if (!parse_number(a, x) || x <= 0) return "the velocity must be above 0, not '" + a + "'";
      d.has_velocity = true;
      d.velocity = x;
    } else if (k == "scale") {
      if (!parse_number(a, x) || x == 0) return "the scale must be a number, not 0: '" + a + "'";
      d.scale = x;
    } else if (k == "unit") {
      if (a.size() > 16) return "a unit has at most 16 characters";
      d.unit = a;
    } else if (k == "limits") {
      double y = 0;
      if (!parse_number(a, x) || !parse_number(b, y))
        return "the limits take two numbers, not '" + a + "' '" + b + "'";
      if (x >= y) return "the low limit must be below the high limit";
      d.has_limits = true;
      d.low = x;
      d.high = y;
    } else if (k == "timeout") {
      if (!parse_int(a, n) || n < 1 || n > kMaxDriveTimeoutS)
        return "the timeout must be 1.." + std::to_string(kMaxDriveTimeoutS) + " s, not '" + a +
               "'";
      d.timeout_s = n;
    } else {
      d.sdo = true;
    }
  }
  // Moves at the profile velocity need it in the drive's increments/s.
  if (d.has_velocity && std::fabs(d.velocity * d.scale) > 4294967295.0)
    return "the velocity is beyond 4294967295 increments/s at this scale";
  out = std::move(d);
  return "";
}

int sync_line_of(const std::string& name) {
  if (name.compare(0, 5, "LINE.") != 0 || !ends_with(name, ".SYNC")) return 0;
  int line = 0;
  const std::string n = name.substr(5, name.size() - 10);
  if (n.empty() || n[0] < '0' || n[0] > '9' || !parse_int(n, line)) return 0;
  return line;
}

std::string parse_network(const std::string& value, NetworkSpec& out) {
  const auto w = words(value);
  NetworkSpec n;
  std::set<std::string> seen;
  for (size_t i = 0; i < w.size(); i += 2) {
    const std::string& k = w[i];
    const bool known = k == "master" || k == "heartbeat" || k == "time" || k == "start" ||
                       k == "failure" || k == "boottime" || k == "retry";
    if (!known) return "unknown word '" + k + "'";
    if (!seen.insert(k).second) return "'" + k + "' is given twice";
    if (i + 1 >= w.size()) return "'" + k + "' without its value";
    const std::string& a = w[i + 1];
    int v = 0;
    if (k == "start") {
      if (a == "all") {
        n.start = NetworkSpec::Start::kAll;
      } else if (a == "each") {
        n.start = NetworkSpec::Start::kEach;
      } else if (a == "application") {
        n.start = NetworkSpec::Start::kApplication;
      } else {
        return "start takes 'all', 'each' or 'application', not '" + a + "'";
      }
      continue;
    }
    if (k == "failure") {
      if (a == "hold") {
        n.failure = NetworkSpec::Failure::kHold;
      } else if (a == "stop") {
        n.failure = NetworkSpec::Failure::kStop;
      } else if (a == "reset") {
        n.failure = NetworkSpec::Failure::kReset;
      } else {
        return "failure takes 'hold', 'stop' or 'reset', not '" + a + "'";
      }
      continue;
    }
    const bool number = parse_int(a, v);
    if (k == "master") {
      if (!number || v < kMinNode || v > kMaxNode)
        return "the master's node id must be 1..127, not '" + a + "'";
      n.master_id = v;
    } else if (k == "heartbeat") {
      if (!number || v < 1 || v > 65535)
        return "the master's heartbeat must be 1..65535 ms, not '" + a + "'";
      n.heartbeat_ms = v;
    } else if (k == "time") {
      if (!number || v < 1 || v > kMaxSupervisionMs)
        return "the TIME period must be 1..60000 ms, not '" + a + "'";
      n.time_ms = v;
    } else if (k == "boottime") {
      if (!number || v < 0 || v > kMaxBootTimeMs)
        return "the boot time must be 0..3600000 ms, not '" + a + "'";
      n.boot_time_ms = v;
    } else {
      if (!number || v < 0 || v > kMaxSupervisionMs)
        return "the retry pause must be 0..60000 ms, not '" + a + "'";
      n.retry_ms = v;
    }
  }
  if (n.heartbeat_ms > 0 && n.master_id == 0) return "'heartbeat' needs the master's node id";
  out = n;
  return "";
}

int network_line_of(const std::string& name) {
  if (name.compare(0, 5, "LINE.") != 0 || !ends_with(name, ".NETWORK")) return 0;
  int line = 0;
  const std::string n = name.substr(5, name.size() - 13);
  if (n.empty() || n[0] < '0' || n[0] > '9' || !parse_int(n, line)) return 0;
  return line;
}

bool days_since_1984(const std::string& date, uint32_t& days) {
  if (date.size() != 10 || date[4] != '-' || date[7] != '-') return false;
  for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
    if (date[i] < '0' || date[i] > '9') return false;
  }
  const int y = std::atoi(date.substr(0, 4).c_str());
  const int m = std::atoi(date.substr(5, 2).c_str());
  const int d = std::atoi(date.substr(8, 2).c_str());
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (y < 1984 || m < 1 || m > 12 || d < 1 || d > kDays[m - 1] + (m == 2 && leap ? 1 : 0))
    return false;
  // Days from the civil date (the proleptic Gregorian calendar), then from 1984-01-01.
  auto civil = [](int yy, int mm, int dd) {
    yy -= mm <= 2 ? 1 : 0;
    const int era = yy / 400;
    const int yoe = yy - era * 400;
    const int doy = (153 * (mm + (mm > 2 ? -3 : 9)) + 2) / 5 + dd - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe;
  };
  const int n = civil(y, m, d) - civil(1984, 1, 1);
  if (n <= 0 || n > 0xFFFF) return false;  // TIME_OF_DAY's days are 16 bits
  days = static_cast<uint32_t>(n);
  return true;
}

std::string parse_slave(const std::string& value, SlaveSpec& out) {
  const auto w = words(value);
  SlaveSpec s;
  std::set<std::string> seen;
  bool kind = false;
  for (size_t i = 0; i < w.size(); ++i) {
    const std::string& k = w[i];
    const bool flag =
        k == "mandatory" || k == "optional" || k == "keep-alive" || k == "update" || k == "store";
    const bool valued = k == "retries" || k == "device-type" || k == "vendor" || k == "product" ||
                        k == "revision" || k == "serial" || k == "software" || k == "date" ||
                        k == "image" || k == "consume-master";
    if (!flag && !valued) return "unknown word '" + k + "'";
    if (k == "mandatory" || k == "optional") {
      if (kind) return "'mandatory' or 'optional' is given twice";
      kind = true;
      s.mandatory = k == "mandatory";
      continue;
    }
    if (!seen.insert(k).second) return "'" + k + "' is given twice";
    if (flag) {
      if (k == "keep-alive") s.keep_alive = true;
      if (k == "update") s.update = true;
      if (k == "store") s.store = true;
      continue;
    }
    if (i + 1 >= w.size()) return "'" + k + "' without its value";
    const std::string& a = w[++i];
    uint64_t u = 0;
    if (k == "retries") {
      if (!parse_uint(a, 255, u)) return "the retries must be 0..255, not '" + a + "'";
      s.retries = static_cast<int>(u);
    } else if (k == "date") {
      if (!days_since_1984(a, s.date_days))
        return "the software date must be YYYY-MM-DD after 1984-01-01, not '" + a + "'";
    } else if (k == "image") {
      s.image = a;
    } else if (k == "consume-master") {
      if (!parse_uint(a, 65535, u) || u == 0)
        return "consume-master must be 1..65535 ms, not '" + a + "'";
      s.consume_master_ms = static_cast<int>(u);
    } else {
      if (!parse_uint(a, 0xFFFFFFFF, u)) return k + " must be 0..0xFFFFFFFF, not '" + a + "'";
      const auto v = static_cast<uint32_t>(u);
      if (k == "device-type") s.has_device_type = true, s.device_type = v;
      if (k == "vendor") s.has_vendor = true, s.vendor = v;
      if (k == "product") s.has_product = true, s.product = v;
      if (k == "revision") s.has_revision = true, s.revision = v;
      if (k == "serial") s.has_serial = true, s.serial = v;
      if (k == "software") s.has_software = true, s.software = v;
    }
  }
  if (!kind) return "takes 'mandatory' or 'optional', then its other words";
  if (s.update && s.image.empty()) return "'update' needs 'image FILE'";
  out = std::move(s);
  return "";
}

bool write_all(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t k = ::write(fd, text.data() + done, text.size() - done);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    done += static_cast<size_t>(k);
  }
  return true;
}

bool parse_int(const std::string& s, int& v) {
  if (s.empty() || s.size() > 24) return false;
  if (s[0] != '-' && s[0] != '+' && (s[0] < '0' || s[0] > '9')) return false;
  // Decimal (a leading zero is not octal) or hexadecimal with 0x.
  const size_t digits = s[0] == '-' || s[0] == '+' ? 1 : 0;
  const bool hex = s.size() > digits + 2 && s[digits] == '0' && (s[digits + 1] | 0x20) == 'x';
  if (hex && (s[digits + 2] == '-' || s[digits + 2] == '+' || s[digits + 2] == ' ')) return false;
  errno = 0;
  char* end = nullptr;
  long long x = std::strtoll(s.c_str(), &end, hex ? 16 : 10);
  if (errno != 0 || end == s.c_str() || *end != '\0' || x < INT_MIN || x > INT_MAX) return false;
  v = static_cast<int>(x);
  return true;
}

bool parse_number(const std::string& s, double& v) {
  int i = 0;
  if (parse_int(s, i)) {
    v = i;
    return true;
  }
  // No hexadecimal floats, infinities or NaNs.
  if (s.empty() || s.size() > 32 || s.find_first_of("xXnNiI") != std::string::npos) return false;
  errno = 0;
  char* end = nullptr;
  v = std::strtod(s.c_str(), &end);
  return errno == 0 && end != s.c_str() && *end == '\0' && std::isfinite(v);
}

bool parse_uint(const std::string& s, uint64_t max, uint64_t& v) {
  if (s.empty() || s.size() > 24 || s[0] < '0' || s[0] > '9') return false;
  const bool hex = s.size() > 2 && s[0] == '0' && (s[1] | 0x20) == 'x';
  if (hex && !std::isxdigit(static_cast<unsigned char>(s[2]))) return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long x = std::strtoull(s.c_str(), &end, hex ? 16 : 10);
  if (errno != 0 || *end != '\0' || x > max) return false;
  v = x;
  return true;
}

std::string check_node_value(const int v[4]) {
  if (v[0] < kMinLine || v[0] > kMaxLine) return out_of("the line", v[0], kMinLine, kMaxLine);
  if (v[1] < kMinNode || v[1] > kMaxNode) return out_of("the node id", v[1], kMinNode, kMaxNode);
  for (int i = 2; i < 4; ++i) {
    if (v[i] < 0 || v[i] > kMaxIdent) return out_of("an identifier", v[i], 0, kMaxIdent);
  }
  return "";
}

std::string check_debug_value(const int v[4]) {
  if (v[0] < 0 || v[0] > kMaxLine) return out_of("the line", v[0], 0, kMaxLine);
  for (int i = 1; i < 4; ++i) {
    if (v[i] < 0 || v[i] > kMaxIdent) return out_of("an identifier", v[i], 0, kMaxIdent);
  }
  return "";
}

std::string parse_monitor(const std::string& value, MonitorSpec& out) {
  const auto w = words(value);
  const char* usage = "takes 'guarding PERIOD_MS MISSES' or 'heartbeat PERIOD_MS TOLERANCE_MS'";
  if (w.size() != 3 || (w[0] != "guarding" && w[0] != "heartbeat")) return usage;
  MonitorSpec m;
  m.heartbeat = w[0] == "heartbeat";
  int second = 0;
  if (!parse_int(w[1], m.period_ms) || !parse_int(w[2], second)) return usage;
  if (m.period_ms < kMonitorPeriodMs || m.period_ms > kMaxSupervisionMs)
    return out_of("the period", m.period_ms, kMonitorPeriodMs, kMaxSupervisionMs);
  if (m.heartbeat) {
    // Arrival is known to the cycle's period: a shorter tolerance reports beats that came.
    if (second < kMonitorPeriodMs || second > kMaxSupervisionMs)
      return out_of("the tolerance", second, kMonitorPeriodMs, kMaxSupervisionMs);
    m.tolerance_ms = second;
  } else {
    if (second < 1 || second > kMaxMisses) return out_of("the misses", second, 1, kMaxMisses);
    m.misses = second;
  }
  out = m;
  return "";
}

std::string monitor_text(const MonitorSpec& m) {
  return std::string(m.heartbeat ? "heartbeat " : "guarding ") + std::to_string(m.period_ms) + " " +
         std::to_string(m.heartbeat ? m.tolerance_ms : m.misses);
}

std::string check_baud_code(int code) {
  if (code < 0 || code > kMaxBaudCode) return out_of("the baud-rate code", code, 0, kMaxBaudCode);
  return "";
}

bool is_config_sub(const std::string& name) {
  for (const char* s : kConfigSubs) {
    if (ends_with(name, s)) return true;
  }
  return false;
}

bool has_sub_suffix(const std::string& name) {
  if (is_config_sub(name)) return true;
  for (const char* s : kOtherSubs) {
    if (ends_with(name, s)) return true;
  }
  return false;
}

ConfigFile ConfigFile::parse(const std::string& text) {
  ConfigFile f;
  std::map<std::string, size_t> first;  // name -> index of its line
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    Line l;
    l.text = text.substr(start, end - start);
    start = end + 1;

    std::string t = l.text;
    if (!t.empty() && t.back() == '\r') t.pop_back();
    auto bad = [&](std::string why) {
      l.kind = Kind::kBad;
      l.error = std::move(why);
    };
    const size_t begin = t.find_first_not_of(" \t");
    bool control = false;
    for (unsigned char c : t) control = control || (c < 0x20 && c != '\t') || c == 0x7F;
    if (begin == std::string::npos || t[begin] == '#') {
      l.kind = Kind::kOther;
    } else if (control) {
      bad("not a text line (control characters)");
    } else if (t.find(':', begin) == std::string::npos) {
      bad("no ':' after the property name");
    } else {
      const size_t colon = t.find(':', begin);
      std::string name = t.substr(begin, colon - begin);
      name.erase(name.find_last_not_of(" \t") + 1);
      const std::string value = t.substr(colon + 1);
      const size_t vstart = value.find_first_not_of(" \t");
      const std::string vtext = vstart == std::string::npos ? "" : value.substr(vstart);
      const auto w = words(value);
      int v[4] = {0, 0, 0, 0};
      int probe = 0;
      if (name.empty()) {
        bad("no property name before ':'");
      } else if (name.find_first_of(" \t") != std::string::npos) {
        bad("a property name has no blanks: '" + name + "'");
      } else if (first.count(name) != 0) {
        bad(name + " is defined already on line " + std::to_string(first[name] + 1));
      } else if (ends_with(name, ".BAUDRATE")) {
        l.kind = Kind::kSub;
        if (w.size() != 1 || !parse_int(w[0], probe)) {
          bad(name + " takes one integer");
        } else if (auto e = check_baud_code(probe); !e.empty()) {
          bad(name + ": " + e);
        }
      } else if (ends_with(name, ".DEBUG_ID")) {
        l.kind = Kind::kSub;
        if (auto e = four_ints(w, v); !e.empty()) {
          bad(name + " " + e);
        } else if (auto e2 = check_debug_value(v); !e2.empty()) {
          bad(name + ": " + e2);
        }
      } else if (ends_with(name, ".EDS")) {
        // The file is read once its node property is known (the server's start-up).
        l.kind = Kind::kSub;
        if (vtext.empty()) l.error = name + " takes the name of an EDS or DCF file";
      } else if (const int sl = sync_line_of(name); sl != 0) {
        l.kind = Kind::kLine;
        SyncSpec sync;
        if (sl < kMinLine || sl > kMaxLine) {
          bad(name + ": " + out_of("the line", sl, kMinLine, kMaxLine));
        } else if (auto e = parse_sync(vtext, sync); !e.empty()) {
          bad(name + " " + e);
        }
      } else if (name.find('.') != std::string::npos && !w.empty() &&
                 ((is_pdo_suffix(name.substr(name.rfind('.') + 1)) && !parse_int(w[0], probe)) ||
                  (ends_with(name, ".BOOT") && !all_ints(w)))) {
        // Checked once its node property is known (below), as .MONITOR: a value of plain
        // numbers is a node property's of that name.
        l.kind = Kind::kSub;
        const std::string which = name.substr(name.rfind('.') + 1);
        PdoLine pdo;
        BootSpec boot;
        const std::string e =
            which == "BOOT" ? parse_boot(vtext, boot) : parse_pdo(which, vtext, pdo);
        if (!e.empty()) l.error = name + ": " + e;
      } else if (const int nl = network_line_of(name); nl != 0) {
        l.kind = Kind::kLine;
        NetworkSpec net;
        if (nl < kMinLine || nl > kMaxLine) {
          bad(name + ": " + out_of("the line", nl, kMinLine, kMaxLine));
        } else if (auto e = parse_network(vtext, net); !e.empty()) {
          bad(name + ": " + e);
        }
      } else if (ends_with(name, ".SLAVE") && (w.empty() || !parse_int(w[0], probe))) {
        // As .DRIVE: checked once its node property is known (below).
        l.kind = Kind::kSub;
        SlaveSpec sl;
        if (auto e = parse_slave(vtext, sl); !e.empty()) l.error = name + ": " + e;
      } else if (ends_with(name, ".DRIVE") && (w.empty() || !parse_int(w[0], probe))) {
        // As .MONITOR: checked once its node property is known (below).
        l.kind = Kind::kSub;
        DriveSpec d;
        if (auto e = parse_drive(vtext, d); !e.empty()) l.error = name + ": " + e;
      } else if (ends_with(name, ".MONITOR") && !w.empty() && !parse_int(w[0], probe)) {
        // A value that starts with a number is a node property's of that name.
        // Checked once its node property is known (below): another server's line is kept.
        l.kind = Kind::kSub;
        MonitorSpec m;
        if (auto e = parse_monitor(vtext, m); !e.empty()) l.error = name + " " + e;
      } else if ((has_sub_suffix(name) && !ends_with(name, ".MONITOR")) || w.empty() ||
                 !parse_int(w[0], probe)) {
        // Read-only sub-properties and values that are not numbers: not the server's.
        l.kind = Kind::kUnknown;
      } else {
        l.kind = Kind::kNode;
        if (auto e = four_ints(w, v); !e.empty()) {
          bad("the node property " + name + " " + e + " (line, node id, two identifiers)");
        } else if (auto e2 = check_node_value(v); !e2.empty()) {
          bad(name + ": " + e2);
        }
      }
      if (!name.empty() && l.kind != Kind::kBad) {
        l.name = name;
        first[name] = f.lines_.size();
        f.values_[name] = vtext;
      }
    }
    f.lines_.push_back(std::move(l));
  }
  // NAME.MONITOR of a node property NAME is that node's supervision, also when its value
  // starts with a number: never a node property of its own.
  // The same for NAME.DRIVE, its drive, and NAME.SLAVE, its place in a network.
  for (auto& l : f.lines_) {
    const bool drive = ends_with(l.name, ".DRIVE");
    const bool slave = ends_with(l.name, ".SLAVE");
    if (l.kind != Kind::kNode || (!drive && !slave && !ends_with(l.name, ".MONITOR"))) continue;
    auto it = first.find(base_of(l.name));
    if (it == first.end() || f.lines_[it->second].kind != Kind::kNode) continue;
    MonitorSpec m;
    DriveSpec d;
    SlaveSpec sl;
    l.kind = Kind::kBad;
    l.error = drive   ? l.name + ": " + parse_drive(*f.value_of(l.name), d)
              : slave ? l.name + ": " + parse_slave(*f.value_of(l.name), sl)
                      : l.name + " " + parse_monitor(*f.value_of(l.name), m);
    f.values_.erase(l.name);
    l.name.clear();
  }
  // The values of a node's PDOs are properties of the node: one name once, none a drive's
  // property when the node has a drive. A drive with PDOs configures the node's PDOs itself.
  std::map<std::string, std::set<std::string>> value_names;
  std::map<std::string, size_t> drives;  // node property -> its .DRIVE line
  for (size_t i = 0; i < f.lines_.size(); ++i) {
    const Line& l = f.lines_[i];
    if (l.kind == Kind::kSub && ends_with(l.name, ".DRIVE")) {
      drives[base_of(l.name)] = i;
      for (const char* p : kDriveProperties) value_names[base_of(l.name)].insert(p);
    }
  }
  for (auto& l : f.lines_) {
    if (l.kind != Kind::kSub || !l.error.empty()) continue;
    const std::string which = l.name.substr(l.name.rfind('.') + 1);
    if (!is_pdo_suffix(which)) continue;
    PdoLine pdo;
    parse_pdo(which, *f.value_of(l.name), pdo);
    auto& names = value_names[base_of(l.name)];
    const auto d = drives.find(base_of(l.name));
    for (const auto& v : pdo.values) {
      if (!names.insert(v.name).second) {
        l.error = l.name + ": " + v.name +
                  (d != drives.end() &&
                           std::find(std::begin(kDriveProperties), std::end(kDriveProperties),
                                     v.name) != std::end(kDriveProperties)
                       ? " is a property of the node's drive already"
                       : " is mapped by another PDO of the node already");
        break;
      }
    }
    if (l.error.empty() && d != drives.end()) {
      Line& dl = f.lines_[d->second];
      DriveSpec drive_line;
      if (dl.error.empty() && parse_drive(*f.value_of(dl.name), drive_line).empty() &&
          !drive_line.sdo) {
        l.error = l.name +
                  ": the node's drive configures its PDOs (give the drive 'sdo' to map "
                  "PDOs of your own)";
      }
    }
  }
  // A sub-property whose node property is not in the file is not the server's either.
  for (auto& l : f.lines_) {
    if (l.kind != Kind::kSub) continue;
    auto it = first.find(base_of(l.name));
    if (it == first.end() || f.lines_[it->second].kind != Kind::kNode) {
      l.kind = Kind::kUnknown;
      l.error.clear();
    } else if (!l.error.empty()) {
      l.kind = Kind::kBad;
    }
  }
  // A SLAVE line belongs to a node on a line started as a network (LINE.N.NETWORK).
  std::set<int> networks;
  for (const auto& l : f.lines_) {
    if (l.kind == Kind::kLine) networks.insert(network_line_of(l.name));
  }
  for (auto& l : f.lines_) {
    if (l.kind != Kind::kSub || !ends_with(l.name, ".SLAVE")) continue;
    int v[4] = {0, 0, 0, 0};
    four_ints(words(*f.value_of(base_of(l.name))), v);
    if (networks.count(v[0]) == 0) {
      l.kind = Kind::kBad;
      l.error = l.name + ": line " + std::to_string(v[0]) + " is no network (no LINE." +
                std::to_string(v[0]) + ".NETWORK line)";
    }
  }
  f.check_line_rates();
  return f;
}

// One bit rate per CAN line: the line is opened with the .BAUDRATE of its first property in the
// file (the attach at start-up sees to that), so every other property of the line must give the
// same code. The library opens a line with code 6 (125 kbit/s) for a property without the line
// or with 0, so those count as 6.
void ConfigFile::check_line_rates() {
  struct First {
    std::string name;  // the property whose setting the line takes
    int code = 0;
    size_t at = 0;     // the line of the file that gives it (the .BAUDRATE line, else the node's)
    bool own = false;  // given by a .BAUDRATE line
  };
  std::map<int, First> first;
  std::map<std::string, size_t> rates;  // NAME.BAUDRATE -> its line of the file
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (lines_[i].kind == Kind::kSub && ends_with(lines_[i].name, ".BAUDRATE"))
      rates[lines_[i].name] = i;
  }
  for (size_t i = 0; i < lines_.size(); ++i) {
    const Line& l = lines_[i];
    if (l.kind != Kind::kNode) continue;
    const auto w = words(values_[l.name]);
    int line = 0;
    if (w.empty() || !parse_int(w[0], line)) continue;
    First here{l.name, kDefaultBaudCode, i, false};
    if (const auto r = rates.find(l.name + ".BAUDRATE"); r != rates.end()) {
      int code = 0;
      const auto rw = words(*value_of(r->first));
      if (rw.size() == 1 && parse_int(rw[0], code)) {
        here = {l.name, code == 0 ? kDefaultBaudCode : code, r->second, true};
      }
    }
    const auto it = first.find(line);
    if (it == first.end()) {
      first.emplace(line, here);
      continue;
    }
    const First& f = it->second;
    if (f.code == here.code) continue;
    auto source = [&](const First& x) {
      return "code " + std::to_string(x.code) + " from " +
             (x.own ? x.name + ".BAUDRATE" : x.name + " (no .BAUDRATE: the default)") +
             " on line " + std::to_string(x.at + 1);
    };
    rate_problems_.push_back(
        {static_cast<int>(here.at + 1),
         "CAN line " + std::to_string(line) + " is given two baud rates: " + source(f) + ", " +
             source(here) + "; one rate per line (with --ignore-bad-lines the first is used)"});
  }
}

std::vector<ConfigFile::Problem> ConfigFile::problems() const {
  std::vector<Problem> out;
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (lines_[i].kind == Kind::kBad) out.push_back({static_cast<int>(i + 1), lines_[i].error});
  }
  out.insert(out.end(), rate_problems_.begin(), rate_problems_.end());
  std::stable_sort(out.begin(), out.end(),
                   [](const Problem& a, const Problem& b) { return a.line < b.line; });
  return out;
}

std::vector<std::string> ConfigFile::node_names() const {
  std::vector<std::string> out;
  for (const auto& l : lines_) {
    if (l.kind == Kind::kNode) out.push_back(l.name);
  }
  return out;
}

const std::string* ConfigFile::value_of(const std::string& name) const {
  auto it = values_.find(name);
  return it == values_.end() ? nullptr : &it->second;
}

int ConfigFile::line_of(const std::string& name) const {
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (lines_[i].kind != Kind::kBad && lines_[i].name == name) return static_cast<int>(i + 1);
  }
  return 0;
}

std::string ConfigFile::render(const std::map<std::string, std::string>& current,
                               const std::vector<std::string>& order) const {
  std::string out;
  std::map<std::string, bool> written;
  for (const auto& l : lines_) {
    auto it = l.name.empty() ? current.end() : current.find(l.name);
    if (it != current.end() && l.kind != Kind::kBad) {
      out += it->second;
      written[l.name] = true;
    } else {
      out += l.text;
    }
    out += '\n';
  }
  for (const auto& name : order) {
    auto it = current.find(name);
    if (it == current.end() || written[name]) continue;
    out += it->second + '\n';
    written[name] = true;
  }
  return out;
}

std::string backup_name(const std::string& path, int k) {
  return path + ".bak" + (k == 0 ? "" : "." + std::to_string(k));
}

bool save_file(const std::string& path, const std::string& text, std::string& error,
               const std::function<bool()>& before_rename, int backups) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) {
    error = "cannot open the folder " + dir + ": " + std::strerror(errno);
    return false;
  }
  const bool ok = save_file_at(dfd, slash == std::string::npos ? "" : path.substr(0, slash + 1),
                               slash == std::string::npos ? path : path.substr(slash + 1), text,
                               error, before_rename, backups);
  ::close(dfd);
  return ok;
}

bool save_file_at(int dfd, const std::string& dir, const std::string& name, const std::string& text,
                  std::string& error, const std::function<bool()>& before_rename, int backups) {
  const std::string path = dir + name;  // for the messages
  const char* const at = name.c_str();
  struct stat old {};
  const bool exists = ::fstatat(dfd, at, &old, AT_SYMLINK_NOFOLLOW) == 0;
  if (!exists && errno != ENOENT) {
    error = "cannot look at " + path + ": " + std::strerror(errno);
    return false;
  }
  if (exists && !S_ISREG(old.st_mode)) {
    error = path + " is no regular file (a link?): not written";
    return false;
  }
  if (exists) {
    std::string now, why;
    if (read_config_text(name, now, why, dfd) && now == text) return true;
  }
  // The temporary file: a name nobody can know in advance, created here and now, never a
  // file or link that was there before.
  std::string tmp;
  int fd = -1;
  for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
    tmp = name + ".tmp." + random_suffix();
    fd = ::openat(dfd, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  exists ? 0600 : 0644);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    error = "cannot create " + dir + tmp + ": " + std::strerror(errno);
    return false;
  }
  bool ok = true;
  int e = 0;
  const char* what = "write";
  if (exists) {
    // The old file's owner and mode (the owner first: a change of owner clears set-id bits).
    struct stat mine {};
    ok = ::fstat(fd, &mine) == 0;
    if (ok && (mine.st_uid != old.st_uid || mine.st_gid != old.st_gid)) {
      ok = ::fchown(fd, old.st_uid, old.st_gid) == 0;
      what = "keep the owner of";
    }
    if (ok) {
      ok = ::fchmod(fd, old.st_mode & 07777) == 0;
      what = "keep the mode of";
    }
    e = errno;
  }
  if (ok) {
    what = "write";
    ok = write_all(fd, text) && ::fsync(fd) == 0;
    e = errno;
  }
  ok = ::close(fd) == 0 && ok;
  if (!ok) {
    error = std::string("cannot ") + what + " " + dir + tmp + ": " + std::strerror(e);
    ::unlinkat(dfd, tmp.c_str(), 0);
    return false;
  }
  if (before_rename && !before_rename()) {
    error = "stopped before the rename";
    return false;
  }
  // The backups move on by one (rename moves a name, never writes through a link); the newest
  // is a second name for the old file (a copy where links are not possible), made before the
  // rename so that PATH always names a whole file.
  if (exists && backups > 0) {
    for (int k = backups - 1; k >= 1; --k) {
      ::renameat(dfd, backup_name(name, k - 1).c_str(), dfd, backup_name(name, k).c_str());
    }
    const std::string bak = backup_name(name, 0);
    ::unlinkat(dfd, bak.c_str(), 0);
    if (::linkat(dfd, at, dfd, bak.c_str(), 0) != 0 &&
        !copy_file(dfd, name, bak, old.st_mode & 07777)) {
      error = "cannot keep the backup " + dir + bak + ": " + std::strerror(errno);
      ::unlinkat(dfd, tmp.c_str(), 0);
      return false;
    }
  }
  if (::renameat(dfd, tmp.c_str(), dfd, at) != 0) {
    error = "cannot rename " + dir + tmp + " to " + path + ": " + std::strerror(errno);
    ::unlinkat(dfd, tmp.c_str(), 0);
    return false;
  }
  ::fsync(dfd);
  return true;
}

}  // namespace canbus_server
