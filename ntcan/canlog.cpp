// Reading and writing the CAN tools' log format (canlog.h).
#include "canlog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <istream>

#include "backend.h"

namespace canlog {
namespace {

constexpr size_t kMaxIfname = 15;  // IFNAMSIZ - 1
constexpr size_t kMaxFdBytes = 64;
// Largest second count whose nanoseconds fit an int64_t.
constexpr int64_t kMaxSeconds = INT64_MAX / 1'000'000'000 - 1;

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Hex byte pairs, all of `s`, at most `max` of them, into `out` (may be null).
bool hex_bytes(std::string_view s, size_t max, uint8_t* out, size_t* n, std::string* why) {
  if (s.size() % 2 != 0) {
    *why = "odd number of data digits";
    return false;
  }
  if (s.size() / 2 > max) {
    *why = "more than " + std::to_string(max) + " data bytes";
    return false;
  }
  for (size_t i = 0; i < s.size(); i += 2) {
    const int hi = hex_value(s[i]);
    const int lo = hex_value(s[i + 1]);
    if (hi < 0 || lo < 0) {
      *why = "data is not hexadecimal";
      return false;
    }
    if (out) out[i / 2] = static_cast<uint8_t>(hi << 4 | lo);
  }
  *n = s.size() / 2;
  return true;
}

LineKind bad(std::string* why_out, const std::string& why) {
  if (why_out) *why_out = why;
  return LineKind::kMalformed;
}

// The frame field "ID#DATA", "ID#R[n]", "ID##F DATA" into *out.
LineKind parse_frame(std::string_view s, Record* out, std::string* why) {
  const size_t hash = s.find('#');
  if (hash == std::string_view::npos) {
    *why = "no '#' in the frame";
    return LineKind::kMalformed;
  }
  const std::string_view id_text = s.substr(0, hash);
  if (id_text.size() != 3 && id_text.size() != 8) {
    *why = "identifier of " + std::to_string(id_text.size()) + " digits (3 or 8 expected)";
    return LineKind::kMalformed;
  }
  uint32_t id = 0;
  for (char c : id_text) {
    const int v = hex_value(c);
    if (v < 0) {
      *why = "identifier is not hexadecimal";
      return LineKind::kMalformed;
    }
    id = id << 4 | static_cast<uint32_t>(v);
  }
  LineKind kind = LineKind::kFrame;
  if (id_text.size() == 8) {
    if (id > 0x3FFFFFFF) {
      *why = "identifier with unknown flag bits";
      return LineKind::kMalformed;
    }
    kind = (id & 0x20000000) ? LineKind::kErrorFrame : LineKind::kExtended;
  } else if (id > static_cast<uint32_t>(ntcan::kMaxId)) {
    *why = "11-bit identifier above 7FF";
    return LineKind::kMalformed;
  }

  std::string_view rest = s.substr(hash + 1);
  CMSG f{};
  f.id = static_cast<int32_t>(id);
  size_t n = 0;
  if (!rest.empty() && rest[0] == '#') {  // CAN FD: flags nibble, then data
    if (rest.size() < 2 || hex_value(rest[1]) < 0) {
      *why = "CAN FD frame without its flags digit";
      return LineKind::kMalformed;
    }
    if (!hex_bytes(rest.substr(2), kMaxFdBytes, nullptr, &n, why)) return LineKind::kMalformed;
    return LineKind::kFd;
  }
  if (!rest.empty() && rest[0] == 'R') {
    if (rest.size() > 2 || (rest.size() == 2 && (rest[1] < '0' || rest[1] > '8'))) {
      *why = "remote request length not 0..8";
      return LineKind::kMalformed;
    }
    f.len = static_cast<uint8_t>(NTCAN_RTR | (rest.size() == 2 ? rest[1] - '0' : 0));
  } else {
    // Eight data bytes may be followed by "_X", the raw length code 9..F on the wire.
    const size_t raw = rest.find('_');
    if (raw != std::string_view::npos) {
      const int code = rest.size() == raw + 2 ? hex_value(rest[raw + 1]) : -1;
      if (raw != 16 || code < 9) {
        *why = "raw length code not after 8 bytes or not 9..F";
        return LineKind::kMalformed;
      }
      rest = rest.substr(0, raw);
    }
    if (!hex_bytes(rest, 8, f.data, &n, why)) return LineKind::kMalformed;
    f.len = static_cast<uint8_t>(n);
  }
  if (kind == LineKind::kFrame && out) out->frame = f;
  return kind;
}

// Next field of `line` from `pos`, skipping leading spaces; empty at the end.
std::string_view field(std::string_view line, size_t* pos) {
  size_t b = *pos;
  while (b < line.size() && line[b] == ' ') ++b;
  size_t e = b;
  while (e < line.size() && line[e] != ' ') ++e;
  *pos = e;
  return line.substr(b, e - b);
}

char* put_hex(char* p, unsigned v, int digits) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (int i = digits - 1; i >= 0; --i) p[i] = kHex[v & 0xF], v >>= 4;
  return p + digits;
}

char* put_dec(char* p, uint64_t v, int digits) {
  for (int i = digits - 1; i >= 0; --i) p[i] = static_cast<char>('0' + v % 10), v /= 10;
  return p + digits;
}

}  // namespace

LineKind parse_line(std::string_view line, Record* out, std::string* why_out) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.empty() || line[0] != '(') return LineKind::kOther;

  size_t p = 1;
  int64_t sec = 0;
  const size_t sec_begin = p;
  while (p < line.size() && is_digit(line[p])) {
    if (sec > kMaxSeconds / 10) return bad(why_out, "time stamp too large");
    sec = sec * 10 + (line[p++] - '0');
  }
  if (p == sec_begin || sec > kMaxSeconds) {
    return bad(why_out, p == sec_begin ? "time stamp without seconds" : "time stamp too large");
  }
  if (p >= line.size() || line[p] != '.') return bad(why_out, "time stamp without '.'");
  const size_t frac_begin = ++p;
  int64_t frac = 0;
  for (; p < line.size() && is_digit(line[p]); ++p) {
    if (p - frac_begin < 9) frac = frac * 10 + (line[p] - '0');  // more digits are refused
  }
  const size_t digits = p - frac_begin;
  if (digits != 6 && digits != 9) return bad(why_out, "time stamp fraction not 6 or 9 digits");
  if (p >= line.size() || line[p] != ')') return bad(why_out, "time stamp without ')'");
  ++p;
  if (p >= line.size() || line[p] != ' ') return bad(why_out, "no space after the time stamp");

  const std::string_view iface = field(line, &p);
  const std::string_view frame = field(line, &p);
  const std::string_view mark = field(line, &p);
  const std::string_view extra = field(line, &p);
  if (iface.empty() || frame.empty()) return bad(why_out, "interface or frame missing");
  if (iface.size() > kMaxIfname) return bad(why_out, "interface name longer than 15");
  if (std::any_of(iface.begin(), iface.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x21 || c == 0x7F; })) {
    return bad(why_out, "control character in the interface name");
  }
  if (!extra.empty() || (mark.size() > 1 || (mark.size() == 1 && mark != "R" && mark != "T"))) {
    return bad(why_out, "text after the frame other than a direction R or T");
  }
  std::string why;
  Record r;
  const LineKind kind = parse_frame(frame, &r, &why);
  if (kind == LineKind::kMalformed) return bad(why_out, why);
  if (kind == LineKind::kFrame && out) {
    out->time_ns = sec * 1'000'000'000 + (digits == 6 ? frac * 1000 : frac);
    out->iface.assign(iface.data(), iface.size());
    out->frame = r.frame;
    out->dir = mark.empty() ? Dir::kNone : static_cast<Dir>(mark[0]);
  }
  return kind;
}

Log read_log(std::istream& in) {
  Log log;
  std::string line;
  Record r;
  std::string why;
  while (std::getline(in, line)) {
    ++log.lines;
    switch (parse_line(line, &r, &why)) {
      case LineKind::kFrame:
        log.records.push_back(r);
        break;
      case LineKind::kOther:
        ++log.other;
        break;
      case LineKind::kExtended:
        ++log.extended;
        break;
      case LineKind::kErrorFrame:
        ++log.error_frames;
        break;
      case LineKind::kFd:
        ++log.fd;
        break;
      case LineKind::kMalformed:
        if (++log.malformed <= kMaxProblems) log.problems.push_back({log.lines, why});
        break;
    }
  }
  return log;
}

bool read_log_file(const std::string& path, Log* log, std::string* error) {
  // A regular file only: a FIFO would hold the reader up, a device such as /dev/zero never end.
  struct stat st {};
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  const bool regular = fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (fd >= 0) ::close(fd);
  if (fd >= 0 && !regular) {
    if (error) *error = path + ": not a regular file";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = "cannot open " + path;
    return false;
  }
  *log = read_log(in);
  return true;
}

CMSG normalised(const CMSG& frame) {
  CMSG in = frame;
  if ((in.len & ntcan::kDlcMask) > 8) in.len = static_cast<uint8_t>((in.len & NTCAN_RTR) | 8);
  return ntcan::normalised_frame(in);
}

size_t format_line(char* buf, int64_t time_ns, std::string_view iface, int width, const CMSG& frame,
                   Dir dir) {
  if (time_ns < 0) time_ns = 0;
  const auto t = static_cast<uint64_t>(time_ns);
  const uint64_t sec = t / 1'000'000'000;
  char* p = buf;
  *p++ = '(';
  p = put_dec(p, sec, 10);  // int64_t nanoseconds reach 9.2e9 s: never more digits
  *p++ = '.';
  p = put_dec(p, t % 1'000'000'000 / 1000, 6);
  *p++ = ')';
  *p++ = ' ';
  iface = iface.substr(0, kMaxIfname);
  for (int i = static_cast<int>(iface.size()); i < std::min(width, int{kMaxIfname}); ++i)
    *p++ = ' ';
  p = std::copy(iface.begin(), iface.end(), p);
  *p++ = ' ';
  const CMSG f = normalised(frame);
  p = put_hex(p, static_cast<unsigned>(f.id) & 0x7FF, 3);
  *p++ = '#';
  const int len = std::min(f.len & ntcan::kDlcMask, 8);
  if (f.len & NTCAN_RTR) {
    *p++ = 'R';
    if (len > 0) *p++ = static_cast<char>('0' + len);
  } else {
    for (int i = 0; i < len; ++i) p = put_hex(p, f.data[i], 2);
  }
  if (dir != Dir::kNone) {
    *p++ = ' ';
    *p++ = static_cast<char>(dir);
  }
  *p++ = '\n';
  return static_cast<size_t>(p - buf);
}

std::string format_line(const Record& r) {
  char buf[kMaxLine];
  const size_t n = format_line(buf, r.time_ns, r.iface, 0, r.frame, r.dir);
  return std::string(buf, n - 1);
}

}  // namespace canlog
