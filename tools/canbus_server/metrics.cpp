#include "metrics.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace canbus_server {

namespace {

// The length of the well-formed UTF-8 sequence at `s` (at most `n` bytes), 0 if there is none:
// no overlong forms, no surrogates, nothing above U+10FFFF.
size_t utf8_length(const unsigned char* s, size_t n) {
  const unsigned char c = s[0];
  if (c < 0x80) return 1;
  size_t len = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // the bounds of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (n < len || s[1] < lo || s[1] > hi) return 0;
  for (size_t i = 2; i < len; ++i) {
    if (s[i] < 0x80 || s[i] > 0xBF) return 0;
  }
  return len;
}

}  // namespace

// The body is UTF-8: a byte that begins no well-formed sequence becomes U+FFFD, one for each
// such byte (a name stays apart from others by its line and node labels).
std::string escape_label_value(const std::string& v) {
  std::string out;
  out.reserve(v.size());
  const auto* s = reinterpret_cast<const unsigned char*>(v.data());
  for (size_t i = 0; i < v.size();) {
    const char c = v[i];
    const size_t len = utf8_length(s + i, v.size() - i);
    if (len == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out.append(v, i, len);
    }
    i += len;
  }
  return out;
}

namespace {

// HELP texts escape backslash and line feed only.
std::string escape_help(const std::string& v) {
  std::string out;
  for (char c : v) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

// A float sample: the shortest text that reads back as the same double; NaN, +Inf, -Inf as
// the text format spells them.
std::string real_text(double x) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x > 0 ? "+Inf" : "-Inf";
  char b[40];
  for (int digits = 15; digits <= 17; ++digits) {
    std::snprintf(b, sizeof b, "%.*g", digits, x);
    if (std::strtod(b, nullptr) == x) break;
  }
  return b;
}

}  // namespace

std::string render_metrics(const std::vector<MetricFamily>& families) {
  std::string out;
  for (const auto& f : families) {
    if (f.samples.empty()) continue;
    out += "# HELP " + f.name + " " + escape_help(f.help) + "\n";
    out += "# TYPE " + f.name + " " + f.type + "\n";
    for (const auto& s : f.samples) {
      out += f.name;
      if (!s.labels.empty()) {
        out += "{";
        for (size_t i = 0; i < s.labels.size(); ++i) {
          if (i > 0) out += ",";
          out += s.labels[i].first + "=\"" + escape_label_value(s.labels[i].second) + "\"";
        }
        out += "}";
      }
      out += " " + (s.is_real ? real_text(s.real) : std::to_string(s.value)) + "\n";
    }
  }
  return out;
}

std::vector<MetricFamily> server_metrics(const std::vector<NodeCounters>& nodes,
                                         const std::vector<LineCounters>& lines) {
  struct NodeField {
    const char* name;
    const char* type;
    const char* help;
    int only;  // 1: supervised masters, 2: drives, 0: every node property
    int64_t (*get)(const NodeCounters&);
  };
  static const NodeField kNode[] = {
      {"canbus_node_state", "gauge",
       "NMT state of the node: 0 boot-up, 4 stopped, 5 operational, 127 pre-operational, -1 not "
       "heard yet or lost",
       1, [](const NodeCounters& n) { return int64_t{n.state}; }},
      {"canbus_node_lost", "gauge", "1 while the node is lost (no guarding reply, no heartbeat)", 1,
       [](const NodeCounters& n) { return int64_t{n.lost ? 1 : 0}; }},
      {"canbus_node_losses_total", "counter", "Times the node was lost", 1,
       [](const NodeCounters& n) { return static_cast<int64_t>(n.losses); }},
      {"canbus_node_replies_missed_total", "counter",
       "Guarding requests without a good reply, heartbeat time-outs", 1,
       [](const NodeCounters& n) { return static_cast<int64_t>(n.missed); }},
      {"canbus_node_emergencies_total", "counter", "Emergency messages received", 1,
       [](const NodeCounters& n) { return static_cast<int64_t>(n.emergencies); }},
      {"canbus_node_frames_lost_total", "counter",
       "Frames the driver dropped before they reached the node's buffer (overruns)", 1,
       [](const NodeCounters& n) { return static_cast<int64_t>(n.frames_lost); }},
      {"canbus_node_pdos_total", "counter", "TPDOs received and decoded", 1,
       [](const NodeCounters& n) { return static_cast<int64_t>(n.pdos); }},
      {"canbus_node_pdos_late_total", "counter", "Times a TPDO of the node was late", 1,
       [](const NodeCounters& n) { return static_cast<int64_t>(n.pdos_late); }},
      {"canbus_node_sdo_transfers_total", "counter", "SDO transfers of the node property", 0,
       [](const NodeCounters& n) { return static_cast<int64_t>(n.sdo_transfers); }},
      {"canbus_node_sdo_failures_total", "counter",
       "SDO transfers of the node property that failed (abort, time-out, driver error)", 0,
       [](const NodeCounters& n) { return static_cast<int64_t>(n.sdo_failures); }},
      {"canbus_drive_state", "gauge",
       "Power state of a motor drive: 0 unknown, 1 not ready to switch on, 2 switch on disabled, "
       "3 ready to switch on, 4 switched on, 5 operation enabled, 6 quick stop active, 7 fault "
       "reaction active, 8 fault",
       2, [](const NodeCounters& n) { return int64_t{n.drive_state}; }},
      {"canbus_drive_faults_total", "counter", "Times a motor drive went to Fault", 2,
       [](const NodeCounters& n) { return static_cast<int64_t>(n.drive_faults); }},
  };
  struct LineField {
    const char* name;
    const char* type;
    const char* help;
    int64_t (*get)(const LineCounters&);
  };
  static const LineField kLine[] = {
      {"canbus_line_open", "gauge", "1 while the line's handle is open",
       [](const LineCounters& l) { return int64_t{l.open ? 1 : 0}; }},
      {"canbus_line_reopenings_total", "counter",
       "Openings of the line's handle after the first (line supervision)",
       [](const LineCounters& l) { return static_cast<int64_t>(l.reopenings); }},
      {"canbus_line_frames_sent_total", "counter", "Frames the server's handles sent on the line",
       [](const LineCounters& l) { return static_cast<int64_t>(l.frames_sent); }},
      {"canbus_line_frames_received_total", "counter",
       "Frames the server's handles received from the line (each handle's own)",
       [](const LineCounters& l) { return static_cast<int64_t>(l.frames_received); }},
  };
  std::vector<MetricFamily> out;
  for (const auto& f : kNode) {
    MetricFamily fam{f.name, f.type, f.help, {}};
    for (const auto& n : nodes) {
      if ((f.only == 1 && !n.supervised) || (f.only == 2 && !n.drive)) continue;
      fam.samples.push_back(
          {{{"name", n.name}, {"line", std::to_string(n.line)}, {"node", std::to_string(n.node)}},
           f.get(n)});
    }
    out.push_back(std::move(fam));
  }
  for (const auto& f : kLine) {
    MetricFamily fam{f.name, f.type, f.help, {}};
    for (const auto& l : lines)
      fam.samples.push_back({{{"line", std::to_string(l.line)}}, f.get(l)});
    out.push_back(std::move(fam));
  }
  return out;
}

std::vector<MetricFamily> bus_metrics(const BusCounters& c) {
  auto one = [](const char* name, const char* help, uint64_t v) {
    return MetricFamily{name, "counter", help, {{{}, static_cast<int64_t>(v)}}};
  };
  std::vector<MetricFamily> out;
  out.push_back(one("canbus_rpdo_coalesced_total",
                    "Set-points held for their RPDO's interval and sent with the latest values",
                    c.rpdo_coalesced));
  MetricFamily refused{"canbus_client_bus_refused_total",
                       "counter",
                       "Clients' bus requests refused at once as over a rate (error: busy)",
                       {}};
  refused.samples.push_back({{{"reason", "client"}}, static_cast<int64_t>(c.refused_client)});
  refused.samples.push_back(
      {{{"reason", "all_readers"}}, static_cast<int64_t>(c.refused_all_readers)});
  refused.samples.push_back({{{"reason", "line_sdo"}}, static_cast<int64_t>(c.refused_line_sdo)});
  out.push_back(std::move(refused));
  out.push_back(one("canbus_client_lost_refused_total",
                    "Clients' bus requests for a lost node refused without asking it",
                    c.refused_lost));
  out.push_back(one("canbus_client_sdo_joined_total",
                    "Reads joined to the same read queued or running: no transfer of their own",
                    c.joined));
  out.push_back(one("canbus_setpoint_log_held_total",
                    "Set-point log lines held back by the rate of the log (summed up later)",
                    c.log_held));
  return out;
}

std::vector<MetricFamily> value_metrics(const std::vector<ValueGauge>& values) {
  MetricFamily value{
      "canbus_value", "gauge", "Process value in its units (the last received or set)", {}};
  MetricFamily alarm{"canbus_value_alarm",
                     "gauge",
                     "Process value against its limits: 0 inside, 1 warning, 2 alarm",
                     {}};
  for (const auto& v : values) {
    if (v.has) {
      MetricSample m{{{"name", v.name}, {"node", v.node}, {"unit", v.unit}}, 0};
      m.is_real = true;
      m.real = v.value;
      value.samples.push_back(std::move(m));
    }
    alarm.samples.push_back({{{"name", v.name}}, v.alarm});
  }
  std::vector<MetricFamily> out;
  out.push_back(std::move(value));
  out.push_back(std::move(alarm));
  return out;
}

}  // namespace canbus_server
