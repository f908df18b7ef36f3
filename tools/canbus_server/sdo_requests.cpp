// canbus-server: SDO access requests and the parallel identity read at start-up.
#include "sdo_requests.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "config_file.h"
#include "od_requests.h"
#include "parallel.h"
#include "requests.h"

namespace canbus_server {
namespace {

// Words of the line; a word in double quotes keeps its blanks (quotes removed). false when a
// quote is not closed.
bool words(const std::string& line, std::vector<std::string>& out, std::vector<bool>& quoted) {
  size_t i = 0;
  while (i < line.size()) {
    if (line[i] == ' ' || line[i] == '\t') {
      ++i;
      continue;
    }
    if (line[i] == '"') {
      const size_t end = line.find('"', i + 1);
      if (end == std::string::npos) return false;
      out.push_back(line.substr(i + 1, end - i - 1));
      quoted.push_back(true);
      i = end + 1;
      continue;
    }
    size_t end = i;
    while (end < line.size() && line[end] != ' ' && line[end] != '\t') ++end;
    out.push_back(line.substr(i, end - i));
    quoted.push_back(false);
    i = end;
  }
  return true;
}

// Decimal or 0x hexadecimal, as every request's numbers (a leading zero is not octal).
bool number(const std::string& s, uint64_t max, uint64_t& v) {
  return parse_uint(s, max, v);
}

std::string failure(int r) {
  return "error: " + sdo_result_text(r);
}

std::string show(const uint8_t* b, size_t n) {
  bool text = n > 0;
  for (size_t i = 0; i < n; ++i) text = text && b[i] >= 0x20 && b[i] <= 0x7E;
  if (text) return "\"" + std::string(reinterpret_cast<const char*>(b), n) + "\"";
  char piece[48];
  if (n <= 8) {
    uint64_t v = 0;
    for (size_t i = n; i-- > 0;) v = (v << 8) | b[i];
    std::snprintf(piece, sizeof piece, "%llu (0x%0*llX)", static_cast<unsigned long long>(v),
                  static_cast<int>(n == 0 ? 1 : 2 * n), static_cast<unsigned long long>(v));
    return piece;
  }
  std::string hex;
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(piece, sizeof piece, i == 0 ? "%02X" : " %02X", b[i]);
    hex += piece;
  }
  return hex;
}

constexpr size_t kMaxValue = 4096;

}  // namespace

bool request_words(const std::string& line, std::vector<std::string>& out,
                   std::vector<bool>& quoted) {
  return words(line, out, quoted);
}

std::string sdo_request(D_can* node, const std::string& line, NodeObjects* objects) {
  std::vector<std::string> a;
  std::vector<bool> quoted;
  const char* usage =
      "error: sdo read NAME INDEX SUB|OBJECT, sdo write NAME INDEX SUB VALUE|OBJECT VALUE";
  if (!words(line, a, quoted) || a.size() < 4) return usage;
  uint64_t probe = 0;
  // An unquoted number where a name may stand is an index without its sub-index (or value).
  if (objects != nullptr &&
      ((a[1] == "read" && a.size() == 4) || (a[1] == "write" && a.size() == 5)) &&
      (quoted[3] || !number(a[3], UINT64_MAX, probe))) {
    return sdo_by_name(node, *objects, a);
  }
  if (a.size() < 5) return usage;
  uint64_t index = 0;
  uint64_t sub = 0;
  if (!number(a[3], 0xFFFF, index)) return "error: bad index " + quote_word(a[3]);
  if (!number(a[4], 0xFF, sub)) return "error: bad subindex " + quote_word(a[4]);
  const int i = static_cast<int>(index);
  const int s = static_cast<int>(sub);
  if (a[1] == "read" && a.size() == 5) {
    std::vector<uint8_t> buf(kMaxValue);
    size_t n = 0;
    const int r = node->sdo_upload(i, s, buf.data(), buf.size(), &n);
    if (r == 0 && objects != nullptr) objects->remember_bytes(node->name(), i, s, buf.data(), n);
    return r == 0 ? show(buf.data(), n) : failure(r);
  }
  if (a[1] != "write" || a.size() != 6) return usage;
  std::vector<uint8_t> bytes;
  if (quoted[5]) {
    bytes.assign(a[5].begin(), a[5].end());
  } else {
    uint64_t v = 0;
    if (!number(a[5], UINT64_MAX, v)) return "error: bad value " + quote_word(a[5]);
    // The size of the object's present value, when it can be read and holds the number.
    uint8_t now[8];
    size_t size = 0;
    if (node->sdo_upload(i, s, now, sizeof now, &size) != 0 || size == 0 ||
        (size < 8 && (v >> (8 * size)) != 0)) {
      size = v <= 0xFF ? 1 : v <= 0xFFFF ? 2 : v <= 0xFFFFFFFFu ? 4 : 8;
    }
    for (size_t k = 0; k < size; ++k) bytes.push_back(static_cast<uint8_t>(v >> (8 * k)));
  }
  const int r = node->sdo_download(i, s, bytes.data(), bytes.size());
  if (r != 0) return failure(r);
  // The node holds it now: `od` shows what was written.
  if (objects != nullptr) objects->remember_bytes(node->name(), i, s, bytes.data(), bytes.size());
  return "ok";
}

size_t read_identities(const std::vector<D_can*>& nodes, std::ostream& out,
                       const std::atomic<bool>& stop, int workers,
                       std::chrono::milliseconds progress_every) {
  return run_parallel(
      nodes.size(), workers, stop,
      [&](size_t k) {
        D_can* n = nodes[k];
        n->get_manufacture();
        if (!stop.load()) n->get_hwversion();
        if (!stop.load()) n->get_swversion();
      },
      [&](size_t done) {
        out << "identity: " << done << " of " << nodes.size() << " nodes" << std::endl;
      },
      progress_every);
}

}  // namespace canbus_server
