// The CANopen reading of a trace (can_trace.h) and its candump log.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <map>

#include "D_esdcan.h"
#include "can_emcy.h"
#include "can_trace.h"
#include "canlog.h"

namespace canbus {
namespace {

using Service = TraceDecoder::Service;
using Line = TraceDecoder::Line;

constexpr size_t kShownBytes = 32;  // a longer value is cut, its length said

std::string hex_bytes(const uint8_t* d, size_t n) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, i == 0 ? "%02X" : " %02X", d[i]);
    s += b;
  }
  return s;
}

int dlc_of(const CMSG& m) {
  return std::min(m.len & 0x0F, 8);
}

std::string data_text(const CMSG& m) {
  return hex_bytes(m.data, static_cast<size_t>(dlc_of(m)));
}

uint32_t le(const uint8_t* d, int n) {
  uint32_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = v << 8 | d[i];
  return v;
}

std::string fmt(const char* f, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char* f, ...) {
  char buf[256];
  va_list ap;
  va_start(ap, f);
  std::vsnprintf(buf, sizeof buf, f, ap);
  va_end(ap);
  return buf;
}

// A value as text when every byte is printable (trailing zero bytes ended the text), else its
// bytes in hex; integers of 1, 2 and 4 bytes as one hexadecimal number. Long values are cut.
std::string value_text(const std::vector<uint8_t>& v) {
  size_t n = v.size();
  while (n > 0 && v[n - 1] == 0) --n;
  bool printable = n > 0;
  for (size_t i = 0; i < n && printable; ++i) printable = v[i] >= 0x20 && v[i] < 0x7F;
  const size_t shown = std::min(printable ? n : v.size(), kShownBytes);
  std::string s;
  if (printable) {
    s = "\"" + std::string(v.begin(), v.begin() + static_cast<long>(shown)) + "\"";
  } else if (v.size() == 1 || v.size() == 2 || v.size() == 4) {
    s = fmt("0x%0*X", static_cast<int>(v.size() * 2), le(v.data(), static_cast<int>(v.size())));
    return s;
  } else {
    s = hex_bytes(v.data(), shown);
  }
  if (shown < (printable ? n : v.size())) s += fmt(" ... (%zu bytes)", v.size());
  return s;
}

// The finest part of an error code's text ("CAN overrun (objects lost)" of "monitoring,
// communication: CAN overrun (objects lost)").
std::string finest(const std::string& text) {
  const size_t colon = text.rfind(": ");
  return colon == std::string::npos ? text : text.substr(colon + 2);
}

const char* nmt_state(uint8_t s) {
  switch (s & 0x7F) {
    case 0x00:
      return "boot-up";
    case 0x04:
      return "Stopped";
    case 0x05:
      return "Operational";
    case 0x7F:
      return "Pre-operational";
    default:
      return nullptr;
  }
}

const char* lss_name(uint8_t cs) {
  switch (cs) {
    case 0x04:
      return "switch state global";
    case 0x11:
      return "configure node-id";
    case 0x13:
      return "configure bit timing";
    case 0x15:
      return "activate bit timing";
    case 0x17:
      return "store configuration";
    case 0x40:
      return "switch state selective vendor";
    case 0x41:
      return "switch state selective product";
    case 0x42:
      return "switch state selective revision";
    case 0x43:
      return "switch state selective serial";
    case 0x44:
      return "switch state selective";
    case 0x46:
      return "identify remote slave vendor";
    case 0x47:
      return "identify remote slave product";
    case 0x48:
      return "identify remote slave revision low";
    case 0x49:
      return "identify remote slave revision high";
    case 0x4A:
      return "identify remote slave serial low";
    case 0x4B:
      return "identify remote slave serial high";
    case 0x4C:
      return "identify non-configured remote slave";
    case 0x4F:
      return "identify slave";
    case 0x50:
      return "identify non-configured slave";
    case 0x51:
      return "fastscan";
    case 0x5A:
      return "inquire vendor";
    case 0x5B:
      return "inquire product";
    case 0x5C:
      return "inquire revision";
    case 0x5D:
      return "inquire serial";
    case 0x5E:
      return "inquire node-id";
    default:
      return nullptr;
  }
}

// The days since 1984-01-01 and milliseconds after midnight of a TIME frame as a date.
std::string time_text(const CMSG& m) {
  const uint32_t ms = le(m.data, 4) & 0x0FFFFFFFu;
  const uint32_t days = le(m.data + 4, 2);
  const time_t t =
      static_cast<time_t>(441763200LL + static_cast<int64_t>(days) * 86400 + ms / 1000);
  struct tm tm {};
  gmtime_r(&t, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03u", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms % 1000);
  return buf;
}

}  // namespace

const char* service_name(TraceDecoder::Service s) {
  switch (s) {
    case Service::kNmt:
      return "NMT";
    case Service::kSync:
      return "SYNC";
    case Service::kTime:
      return "TIME";
    case Service::kEmcy:
      return "EMCY";
    case Service::kPdo:
      return "PDO";
    case Service::kSdo:
      return "SDO";
    case Service::kHeartbeat:
      return "heartbeat";
    case Service::kLss:
      return "LSS";
    case Service::kOther:
      break;
  }
  return "other";
}

struct TraceDecoder::Impl {
  // One SDO transfer of a node (its default SDO server), from the request to its end.
  struct Transfer {
    enum Kind { kUpload, kDownload, kBlockUpload, kBlockDownload };
    enum Phase {
      kInitiate,  // request sent, no answer yet
      kSegments,  // segmented: segment requests and answers
      kBlock,     // block: segments of a sub-block flowing
      kBlockAck,  // block: the last segment came, its acknowledgement awaited
      kBlockEnd,  // block: the end frames
      kEnd,       // download: the answer ends it (expedited, or to the last segment)
    };
    bool active = false;
    Kind kind = kUpload;
    Phase phase = kInitiate;
    uint16_t index = 0;
    uint8_t sub = 0;
    bool answered = false;
    std::vector<uint8_t> data;
    std::vector<uint8_t> block;  // segments of the sub-block not yet acknowledged
    int block_seq = 0;           // last segment number of the sub-block
    bool block_last = false;     // the segment with the last-segment bit is in `block`
    int64_t t_first = 0;
    int64_t t_last = 0;
    uint64_t seq_first = 0;
    uint64_t seq_last = 0;
  };

  Names names;
  int64_t timeout_ns;
  std::map<std::pair<int, int>, Transfer> sdo;   // by net and node
  std::map<std::pair<int, int>, bool> guarding;  // a guarding request awaits its answer

  Line line(const TraceFrame& f, int node, Service s, std::string text) const {
    Line l;
    l.t_ns = f.t_ns;
    l.net = f.net;
    l.node = node;
    l.service = s;
    l.text = std::move(text);
    l.first_seq = l.last_seq = f.seq;
    return l;
  }

  std::string object(int node, uint16_t index, uint8_t sub) const {
    std::string s = fmt("0x%04X:%02X", index, sub);
    if (names.object) {
      const std::string n = names.object(node, index, sub);
      if (!n.empty()) s += " " + n;
    }
    return s;
  }

  static const char* kind_text(Transfer::Kind k) {
    switch (k) {
      case Transfer::kUpload:
        return "upload";
      case Transfer::kDownload:
        return "download";
      case Transfer::kBlockUpload:
        return "block upload";
      case Transfer::kBlockDownload:
        return "block download";
    }
    return "";
  }

  // Ends node's transfer as a line that says `how` after the object.
  void end(int net, int node, Transfer& t, const std::string& how, std::vector<Line>& out) {
    Line l;
    l.t_ns = t.t_first;
    l.net = net;
    l.node = node;
    l.service = Service::kSdo;
    l.text = fmt("SDO %s node %d ", kind_text(t.kind), node) + object(node, t.index, t.sub) + how;
    l.first_seq = t.seq_first;
    l.last_seq = t.seq_last;
    out.push_back(std::move(l));
    t = Transfer{};
  }

  void done(int net, int node, Transfer& t, std::vector<Line>& out) {
    end(net, node, t, " = " + value_text(t.data), out);
  }

  // A transfer left behind by a new request or by silence.
  void unfinished(int net, int node, Transfer& t, std::vector<Line>& out) {
    end(net, node, t, t.answered ? " unfinished" : " no answer", out);
  }

  void touch(Transfer& t, const TraceFrame& f) {
    t.t_last = f.t_ns;
    t.seq_last = f.seq;
  }

  void begin(Transfer& t, Transfer::Kind k, const TraceFrame& f) {
    t = Transfer{};
    t.active = true;
    t.kind = k;
    t.index = static_cast<uint16_t>(le(f.frame.data + 1, 2));
    t.sub = f.frame.data[3];
    t.t_first = t.t_last = f.t_ns;
    t.seq_first = t.seq_last = f.seq;
  }

  std::string abort_text(const uint8_t* d) {
    const uint32_t code = le(d + 4, 4);
    const char* text = sdo_abort_text(code);
    return fmt(" abort 0x%08X", code) + (text ? std::string(" ") + text : "");
  }

  // Appends a block segment's data to the sub-block.
  static void block_segment(Transfer& t, const CMSG& m) {
    const int seqno = m.data[0] & 0x7F;
    if (seqno == t.block_seq + 1) {
      t.block.insert(t.block.end(), m.data + 1, m.data + 8);
      t.block_seq = seqno;
      if (m.data[0] & 0x80) t.block_last = true;
    }
  }

  // A block acknowledgement: segments up to `ackseq` are taken, the rest come again.
  static void block_ack(Transfer& t, int ackseq) {
    const size_t keep = static_cast<size_t>(std::min(ackseq, t.block_seq)) * 7;
    const bool last_taken = t.block_last && ackseq >= t.block_seq;
    t.data.insert(t.data.end(), t.block.begin(), t.block.begin() + static_cast<long>(keep));
    t.block.clear();
    t.block_seq = 0;
    t.block_last = false;
    t.phase = last_taken ? Transfer::kBlockEnd : Transfer::kBlock;
  }

  static void drop_unused(Transfer& t, int unused) {
    t.data.resize(t.data.size() - std::min<size_t>(static_cast<size_t>(unused), t.data.size()));
  }

  // A frame of the client (0x600 + node).
  void request(const TraceFrame& f, int node, std::vector<Line>& out) {
    const CMSG& m = f.frame;
    Transfer& t = sdo[{f.net, node}];
    const uint8_t c = m.data[0];
    // Segment numbers start at 1: 0x80 is an abort.
    if (t.active && t.kind == Transfer::kBlockDownload && t.phase == Transfer::kBlock &&
        c != 0x80) {
      touch(t, f);
      block_segment(t, m);
      if (t.block_last) t.phase = Transfer::kBlockAck;
      return;
    }
    const int ccs = c >> 5;
    if (ccs == 4) {  // abort by the client
      if (!t.active) {
        begin(t, Transfer::kUpload, f);
        end(f.net, node, t, std::string(" client") + abort_text(m.data), out);
        return;
      }
      touch(t, f);
      end(f.net, node, t, std::string(" client") + abort_text(m.data), out);
      return;
    }
    if (t.active) {
      // Requests that continue the transfer.
      if (t.kind == Transfer::kUpload && ccs == 3 && t.phase == Transfer::kSegments) {
        return touch(t, f);
      }
      if (t.kind == Transfer::kDownload && ccs == 0 && t.phase == Transfer::kSegments) {
        touch(t, f);
        const size_t n = 7 - ((c >> 1) & 7);
        t.data.insert(t.data.end(), m.data + 1, m.data + 1 + n);
        if (c & 1) t.phase = Transfer::kEnd;  // the answer to it ends the transfer
        return;
      }
      if (t.kind == Transfer::kBlockUpload && ccs == 5) {
        touch(t, f);
        switch (c & 3) {
          case 3:
            t.phase = Transfer::kBlock;
            break;  // start upload
          case 2:
            block_ack(t, m.data[1]);
            break;  // acknowledgement
          case 1:
            done(f.net, node, t, out);
            break;  // end: the transfer is complete
          default:
            break;
        }
        return;
      }
      if (t.kind == Transfer::kBlockDownload && ccs == 6 && (c & 1) == 1) {
        touch(t, f);
        drop_unused(t, (c >> 2) & 7);
        return;
      }
      unfinished(f.net, node, t, out);
    }
    switch (ccs) {
      case 1: {  // initiate download
        begin(t, Transfer::kDownload, f);
        if (c & 2) {  // expedited
          const int n = (c & 1) ? 4 - ((c >> 2) & 3) : 4;
          t.data.assign(m.data + 4, m.data + 4 + n);
        }
        t.phase = (c & 2) ? Transfer::kEnd : Transfer::kSegments;
        return;
      }
      case 2:
        begin(t, Transfer::kUpload, f);
        return;
      case 5:
        if ((c & 3) == 0)
          begin(t, Transfer::kBlockUpload, f);
        else
          out.push_back(
              line(f, node, Service::kSdo, fmt("SDO request node %d ", node) + data_text(m)));
        return;
      case 6:
        if ((c & 1) == 0)
          begin(t, Transfer::kBlockDownload, f);
        else
          out.push_back(
              line(f, node, Service::kSdo, fmt("SDO request node %d ", node) + data_text(m)));
        return;
      default:
        out.push_back(
            line(f, node, Service::kSdo, fmt("SDO request node %d ", node) + data_text(m)));
    }
  }

  // A frame of the server (0x580 + node).
  void answer(const TraceFrame& f, int node, std::vector<Line>& out) {
    const CMSG& m = f.frame;
    auto it = sdo.find({f.net, node});
    if (it == sdo.end() || !it->second.active) {
      out.push_back(line(f, node, Service::kSdo, fmt("SDO answer node %d ", node) + data_text(m)));
      return;
    }
    Transfer& t = it->second;
    touch(t, f);
    const uint8_t c = m.data[0];
    if (t.kind == Transfer::kBlockUpload && t.phase == Transfer::kBlock && c != 0x80) {
      block_segment(t, m);
      if (t.block_last) t.phase = Transfer::kBlockAck;
      return;
    }
    t.answered = true;
    const int scs = c >> 5;
    if (scs == 4) return end(f.net, node, t, abort_text(m.data), out);
    switch (t.kind) {
      case Transfer::kUpload:
        if (scs == 2 && t.phase == Transfer::kInitiate) {
          if (c & 2) {  // expedited
            const int n = (c & 1) ? 4 - ((c >> 2) & 3) : 4;
            t.data.assign(m.data + 4, m.data + 4 + n);
            return done(f.net, node, t, out);
          }
          t.phase = Transfer::kSegments;
          return;
        }
        if (scs == 0 && t.phase == Transfer::kSegments) {
          const size_t n = 7 - ((c >> 1) & 7);
          t.data.insert(t.data.end(), m.data + 1, m.data + 1 + n);
          if (c & 1) done(f.net, node, t, out);
          return;
        }
        break;
      case Transfer::kDownload:
        if ((scs == 3 || scs == 1) && t.phase == Transfer::kEnd) {
          return done(f.net, node, t, out);
        }
        if (scs == 3 || scs == 1) return;  // the next segment may come
        break;
      case Transfer::kBlockUpload:
        if (scs == 2 && t.phase == Transfer::kInitiate) {  // the server chose segmented
          t.kind = Transfer::kUpload;
          t.phase = Transfer::kSegments;
          if (c & 2) {
            const int n = (c & 1) ? 4 - ((c >> 2) & 3) : 4;
            t.data.assign(m.data + 4, m.data + 4 + n);
            return done(f.net, node, t, out);
          }
          return;
        }
        if (scs == 6 && (c & 1) == 0) return;  // initiate answer
        if (scs == 6 && (c & 1) == 1) {        // end: unused bytes of the last segment
          drop_unused(t, (c >> 2) & 7);
          t.phase = Transfer::kBlockEnd;
          return;
        }
        break;
      case Transfer::kBlockDownload:
        if (scs == 5 && (c & 3) == 0) {
          t.phase = Transfer::kBlock;
          return;
        }
        if (scs == 5 && (c & 3) == 2) {
          block_ack(t, m.data[1]);
          return;
        }
        if (scs == 5 && (c & 3) == 1) return done(f.net, node, t, out);
        break;
    }
    end(f.net, node, t, " unexpected answer " + data_text(m), out);
  }

  void lss(const TraceFrame& f, bool from_master, std::vector<Line>& out) {
    const CMSG& m = f.frame;
    const uint8_t cs = m.data[0];
    const char* name = dlc_of(m) > 0 ? lss_name(cs) : nullptr;
    std::string text = from_master ? "LSS " : "LSS answer ";
    if (!name) {
      out.push_back(line(f, 0, Service::kLss, text + data_text(m)));
      return;
    }
    text += name;
    if (from_master) {
      if (cs == 0x04) text += m.data[1] == 1 ? " configuration" : " waiting";
      if (cs == 0x11) text += fmt(" %u", m.data[1]);
      if (cs == 0x13) text += fmt(" table %u index %u", m.data[1], m.data[2]);
      if (cs == 0x15) text += fmt(" delay %u ms", le(m.data + 1, 2));
      if ((cs >= 0x40 && cs <= 0x43) || (cs >= 0x46 && cs <= 0x4B)) {
        text += fmt(" 0x%08X", le(m.data + 1, 4));
      }
      if (cs == 0x51) {
        text += fmt(" 0x%08X bit %u sub %u next %u", le(m.data + 1, 4), m.data[5], m.data[6],
                    m.data[7]);
      }
    } else {
      if (cs == 0x11 || cs == 0x13 || cs == 0x17) {
        text += m.data[1] == 0 ? " ok" : fmt(" error %u", m.data[1]);
      }
      if (cs >= 0x5A && cs <= 0x5D) text += fmt(" 0x%08X", le(m.data + 1, 4));
      if (cs == 0x5E) text += fmt(" %u", m.data[1]);
    }
    out.push_back(line(f, 0, Service::kLss, std::move(text)));
  }

  void feed(const TraceFrame& f, std::vector<Line>& out) {
    const CMSG& m = f.frame;
    const int id = m.id & 0x7FF;
    const bool remote = (m.len & NTCAN_RTR) != 0;
    const int dlc = dlc_of(m);
    const int node = id & 0x7F;
    const int fn = id & 0x780;
    if (id == 0x000 && !remote) {
      const char* cmd = nullptr;
      switch (m.data[0]) {
        case 0x01:
          cmd = "start";
          break;
        case 0x02:
          cmd = "stop";
          break;
        case 0x80:
          cmd = "enter pre-operational";
          break;
        case 0x81:
          cmd = "reset node";
          break;
        case 0x82:
          cmd = "reset-communication";
          break;
        default:
          break;
      }
      const int target = m.data[1];
      std::string text = cmd && dlc == 2 ? std::string("NMT ") + cmd : ("NMT " + data_text(m));
      if (text.back() == ' ') text.pop_back();
      if (cmd && dlc == 2) text += target == 0 ? std::string(" all") : fmt(" node %d", target);
      out.push_back(line(f, cmd && dlc == 2 ? target : 0, Service::kNmt, std::move(text)));
      return;
    }
    if (id == 0x080 && !remote) {
      out.push_back(line(f, 0, Service::kSync,
                         dlc >= 1 ? fmt("SYNC counter %u", m.data[0]) : std::string("SYNC")));
      return;
    }
    if (id == 0x100 && !remote) {
      out.push_back(
          line(f, 0, Service::kTime, dlc >= 6 ? "TIME " + time_text(m) : "TIME " + data_text(m)));
      return;
    }
    if (id == 0x7E5 || id == 0x7E4) {
      if (!remote) return lss(f, id == 0x7E5, out);
    } else if (node != 0 && fn == 0x080 && !remote) {
      const Emcy e = emcy_from_frame(m);
      std::string text = fmt("EMCY node %d ", node);
      if (e.code == 0) {
        text += "error reset";
        if (e.reg != 0) text += fmt(" register 0x%02X (", e.reg) + emcy_register_text(e.reg) + ")";
      } else {
        text += fmt("0x%04X ", e.code) + finest(emcy_code_text(e.code)) +
                fmt(" register 0x%02X (", e.reg) + emcy_register_text(e.reg) + ")";
      }
      bool vendor = false;
      for (int i = 0; i < e.vendor_len; ++i) vendor = vendor || e.vendor[i] != 0;
      if (vendor) text += " vendor " + hex_bytes(e.vendor, e.vendor_len);
      out.push_back(line(f, node, Service::kEmcy, std::move(text)));
      return;
    } else if (node != 0 && fn >= 0x180 && fn <= 0x500) {
      const int n = (fn - 0x180) / 0x100 + 1;
      const bool tx = (fn & 0x80) != 0;
      std::string text = fmt("%s%d node %d", tx ? "TPDO" : "RPDO", n, node);
      if (remote) {
        text += " request";
      } else {
        std::string values = names.pdo ? names.pdo(f.net, m) : std::string();
        if (values.empty()) values = data_text(m);
        if (!values.empty()) text += " " + values;
      }
      out.push_back(line(f, node, Service::kPdo, std::move(text)));
      return;
    } else if (node != 0 && (fn == 0x580 || fn == 0x600) && !remote && dlc == 8) {
      if (fn == 0x600)
        request(f, node, out);
      else
        answer(f, node, out);
      return;
    } else if (node != 0 && fn == 0x700) {
      bool& guard = guarding[{f.net, node}];
      if (remote) {
        guard = true;
        out.push_back(line(f, node, Service::kHeartbeat, fmt("guarding request node %d", node)));
        return;
      }
      const char* state = dlc == 1 ? nmt_state(m.data[0]) : nullptr;
      std::string text;
      if (dlc == 1 && (guard || (m.data[0] & 0x80))) {
        text = fmt("guarding node %d ", node) +
               (state ? state : fmt("state 0x%02X", m.data[0] & 0x7F)) +
               fmt(" toggle %d", m.data[0] >> 7);
      } else if (dlc == 1 && m.data[0] == 0) {
        text = fmt("boot-up node %d", node);
      } else if (state) {
        text = fmt("heartbeat node %d %s", node, state);
      } else {
        text = fmt("heartbeat node %d ", node) + data_text(m);
      }
      guard = false;
      out.push_back(line(f, node, Service::kHeartbeat, std::move(text)));
      return;
    }
    out.push_back(line(f, 0, Service::kOther,
                       remote ? fmt("0x%03X request %d", id, dlc)
                              : fmt("0x%03X", id) + (dlc ? " " + data_text(m) : "")));
  }

  void flush(int64_t now_ns, std::vector<Line>& out) {
    for (auto& [key, t] : sdo) {
      if (t.active && t.t_last <= now_ns - timeout_ns) unfinished(key.first, key.second, t, out);
    }
  }
};

TraceDecoder::TraceDecoder(Names names, int64_t sdo_timeout_ns) : impl_(std::make_shared<Impl>()) {
  impl_->names = std::move(names);
  impl_->timeout_ns = sdo_timeout_ns;
}

void TraceDecoder::feed(const TraceFrame& f, std::vector<Line>& out) {
  impl_->feed(f, out);
}

void TraceDecoder::flush(int64_t now_ns, std::vector<Line>& out) {
  impl_->flush(now_ns, out);
}

std::string candump_log(const std::vector<TraceFrame>& frames, const std::string& iface) {
  std::string out;
  out.reserve(frames.size() * 40);
  char buf[canlog::kMaxLine];
  for (const TraceFrame& f : frames) {
    const std::string name = iface.empty() ? "can" + std::to_string(f.net) : iface;
    const size_t n = canlog::format_line(buf, f.t_ns, name, 0, f.frame, canlog::Dir::kNone);
    out.append(buf, n);
  }
  return out;
}

}  // namespace canbus
