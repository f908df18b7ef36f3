#include "config_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// A new file `to` (never one that is there, never through a link) with the bytes of `from`.
bool copy_file(const std::string& from, const std::string& to, mode_t mode) {
  int in = ::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (in < 0) return false;
  int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
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

bool read_file(const std::string& path, std::string& out) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[8192];
  bool ok = true;
  for (;;) {
    ssize_t k = ::read(fd, buf, sizeof buf);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) {
      ok = k == 0;
      break;
    }
    out.append(buf, static_cast<size_t>(k));
  }
  ::close(fd);
  return ok;
}

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

}  // namespace

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
  for (auto& l : f.lines_) {
    if (l.kind != Kind::kNode || !ends_with(l.name, ".MONITOR")) continue;
    auto it = first.find(base_of(l.name));
    if (it == first.end() || f.lines_[it->second].kind != Kind::kNode) continue;
    MonitorSpec m;
    l.kind = Kind::kBad;
    l.error = l.name + " " + parse_monitor(*f.value_of(l.name), m);
    f.values_.erase(l.name);
    l.name.clear();
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
  return f;
}

std::vector<ConfigFile::Problem> ConfigFile::problems() const {
  std::vector<Problem> out;
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (lines_[i].kind == Kind::kBad) out.push_back({static_cast<int>(i + 1), lines_[i].error});
  }
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
  struct stat old {};
  const bool exists = ::lstat(path.c_str(), &old) == 0;
  if (!exists && errno != ENOENT) {
    error = "cannot look at " + path + ": " + std::strerror(errno);
    return false;
  }
  if (exists && !S_ISREG(old.st_mode)) {
    error = path + " is no regular file (a link?): not written";
    return false;
  }
  if (exists) {
    std::string now;
    if (read_file(path, now) && now == text) return true;
  }
  // The temporary file: a name nobody can know in advance, created here and now, never a
  // file or link that was there before.
  std::string tmp;
  int fd = -1;
  for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
    tmp = path + ".tmp." + random_suffix();
    fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                exists ? 0600 : 0644);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    error = "cannot create " + tmp + ": " + std::strerror(errno);
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
    error = std::string("cannot ") + what + " " + tmp + ": " + std::strerror(e);
    ::unlink(tmp.c_str());
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
      ::rename(backup_name(path, k - 1).c_str(), backup_name(path, k).c_str());
    }
    const std::string bak = backup_name(path, 0);
    ::unlink(bak.c_str());
    if (::link(path.c_str(), bak.c_str()) != 0 && !copy_file(path, bak, old.st_mode & 07777)) {
      error = "cannot keep the backup " + bak + ": " + std::strerror(errno);
      ::unlink(tmp.c_str());
      return false;
    }
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    error = "cannot rename " + tmp + " to " + path + ": " + std::strerror(errno);
    ::unlink(tmp.c_str());
    return false;
  }
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

}  // namespace canbus_server
