// The line protocol's requests and answers: the request table, status, list, get, identity.
#include <algorithm>
#include <cctype>
#include <iomanip>
#include <sstream>

#include "scan_requests.h"
#include "sdo_requests.h"
#include "server.h"
#include "server_util.h"
#include "status_table.h"
#include "tavik_time.h"

namespace canbus_server {

namespace {

std::string hex4(int v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%04X", v & 0xFFFF);
  return b;
}

}  // namespace

void Server::register_requests() {
  auto& t = table_;
  t.add({"help", "help [REQUEST|status]", 0, 1, Access::kRead, Run::kNow,
         "the requests, one request's usage, or the status columns",
         [this](Client&, const Args& a) { return cmd_help(a); }, false, false, true});
  // list and status of thousands of nodes: made off the network's event thread, the state
  // lock taken a slice of nodes at a time, and streamed as the client reads.
  t.add({"list", "list", 0, 0, Access::kRead, Run::kNow, "every property of the location",
         [this](Client&, const Args&) { return cmd_list(); }, false, false, true, false,
         [this](Client&, const Args&) { return list_stream(); }, true});
  t.add({"get", "get NAME", 1, 1, Access::kRead, Run::kNow,
         "a property's value; a process value with its unit and time stamp",
         [this](Client&, const Args& a) { return cmd_get(a[0]); }});
  t.add({"set", "set NAME VALUE...", 2, 5, Access::kWrite, Run::kBus,
         "writes a property (four integers for a node property) or a set-point (sent as its "
         "RPDO); checked, logged with user@host",
         [this](Client& c, const Args& a) {
           return cmd_set(c, a[0], Args(a.begin() + 1, a.end()));
         }});
  t.add({"status", "status", 0, 0, Access::kRead, Run::kNow, "nodes and lines",
         [this](Client&, const Args&) { return status(); }, false, false, true, false,
         [this](Client&, const Args&) { return status_stream(); }, true});
  t.add({"identity", "identity [--wait] NAME", 1, 2, Access::kRead, Run::kBus,
         "reads a node's identity strings again (--wait: also while the node is lost)",
         [this](Client&, const Args& a) {
           if (a.size() == 2 && a[0] != "--wait")
             return std::string("error: usage: identity [--wait] NAME");
           return cmd_identity(a.back());
         },
         false, false, false, true});
  t.add({"sdo",
         "sdo read [--wait] NAME INDEX SUB|OBJECT | sdo write [--wait] NAME INDEX SUB|OBJECT VALUE",
         3, 1000, Access::kRead, Run::kBus,
         "reads or writes an object of a node by number or by its name in the node's EDS (VALUE: "
         "number, or text in double quotes); a node held lost is not asked unless --wait",
         [this](Client& c, const Args& a) {
           // The line as typed: a quoted text keeps its blanks.
           std::string line = a[0];
           auto w = split_words(line);
           if (w.size() > 2 && w[2] == "--wait") {
             // Before the node's name: the first "--wait" of the line.
             line.erase(line.find("--wait"), 6);
             w.erase(w.begin() + 2);
           }
           if (w.size() < 4 || (w[1] != "read" && w[1] != "write"))
             return std::string(
                 "error: usage: sdo read [--wait] NAME INDEX SUB|OBJECT | sdo write [--wait] NAME "
                 "INDEX SUB|OBJECT VALUE");
           if (w[1] == "write" && !c.writer) return std::string("error: read-only client");
           Node* n = nullptr;
           {
             std::lock_guard<std::mutex> lk(state_mx_);
             n = find_node(w[2]);
           }
           if (n == nullptr) return "error: unknown node property " + quote_word(w[2]);
           return sdo_request(n->prop, line, &objects_);
         },
         false, true});
  t.add({"od", "od NAME [TEXT|warnings]", 1, 1000, Access::kRead, Run::kNow,
         "the objects of a node's EDS whose name contains TEXT, with the last value read; "
         "'warnings': what the file gets wrong, as read",
         [this](Client&, const Args& a) {
           std::vector<std::string> w;
           std::vector<bool> quoted;
           if (!request_words(a[0], w, quoted)) return std::string("error: a quote is not closed");
           return od_request(objects_, w);
         },
         false, true, true, false,
         [this](Client&, const Args& a) {
           std::vector<std::string> w;
           std::vector<bool> quoted;
           if (!request_words(a[0], w, quoted)) return AnswerStream{"error: a quote is not closed"};
           return od_stream(objects_, w);
         },
         true, true});
  t.add({"scan", "scan LINE", 1, 1, Access::kWrite, Run::kBus,
         "lists the nodes that answer on LINE; status marks configured nodes it did not find",
         [this](Client&, const Args& a) {
           std::vector<ScanTarget> targets;
           {
             std::lock_guard<std::mutex> lk(state_mx_);
             for (const Node& n : nodes_) {
               const canline* l = n.prop->line_ptr();
               targets.push_back({n.prop->name(), n.line, n.node, l ? l->baud() : -1});
             }
           }
           int line = 0;
           std::set<int> found;
           std::string answer = scan_request(a[0], targets, &line, &found);
           if (line != 0) {
             std::lock_guard<std::mutex> lk(state_mx_);
             scanned_[line] = std::move(found);
           }
           return answer;
         },
         false, false, true});
  t.add({"boot", "boot LINE", 1, 1, Access::kWrite, Run::kBus,
         "starts the network of LINE up again: reset communication, every node's boot procedure",
         [this](Client&, const Args& a) { return nets_->boot(a[0]); }});
  t.add({"download", "download NAME FILE", 2, 2, Access::kWrite, Run::kBus,
         "downloads the program FILE (in the configuration's folder) to a node of a network, "
         "with download events; the node restarts into it",
         [this](Client&, const Args& a) { return cmd_download(a[0], a[1]); }});
  t.add({"save", "save", 0, 0, Access::kWrite, Run::kNow, "writes the configuration back",
         [this](Client&, const Args&) {
           std::string error;
           return save(error) ? "ok (saved " + config_file_ + ")" : "error: " + error;
         }});
  t.add({"tick", "tick N", 1, 1, Access::kWrite, Run::kBus,
         "runs N receive cycles of 100 ms (with --manual)", [this](Client&, const Args& a) {
           if (!opts_.manual) return std::string("error: tick needs --manual");
           int k = 0;
           if (!parse_int(a[0], k) || k < 0 || k > 100000)
             return "error: bad count " + quote_word(a[0]);
           for (int i = 0; i < k; ++i) tick();
           return std::string("ok");
         }});
  t.add({"sim",
         "sim silent|hold|identity NODE on|off, sim emcy NODE [CODE [REGISTER]], sim boot|abort "
         "NODE, sim line N down|up, sim fault NODE over-temperature|following-error|over-voltage, "
         "sim block NODE on|off",
         2, 4, Access::kWrite, Run::kNow, "faults of the simulated devices (virtual bus)",
         [this](Client&, const Args& a) { return cmd_sim(a); }});
  t.add(
      {"drive",
       "drive NAME enable|disable|home|move POS [VELOCITY]|jog VELOCITY|halt|stop|quickstop|reset",
       2, 4, Access::kWrite, Run::kBus,
       "operates a motor drive (a NAME.DRIVE line) and answers what it did; halt and quickstop "
       "are sent at once, also while a move runs",
       [this](Client& c, const Args& a) { return drives_->request(c, a); }, false, false, false,
       false, nullptr, false, false, &Drives::at_once});
  t.add({"record", "record [on|off [LINE]]", 0, 2, Access::kWrite, Run::kNow,
         "recording of one line (1..20) or all on or off (needs --record); alone: the state",
         [this](Client&, const Args& a) {
           Args r{"record"};
           r.insert(r.end(), a.begin(), a.end());
           return record_.request(r);
         }});
  t.add({"user", "user NAME", 1, 1, Access::kRead, Run::kNow,
         "names the user of this connection for the change log (once)",
         [](Client& c, const Args& a) {
           if (c.user_given) return std::string("error: the user is named already");
           const std::string& u = a[0];
           bool ok = !u.empty() && u.size() <= 32;
           for (char ch : u)
             ok = ok && (std::isalnum(static_cast<unsigned char>(ch)) || ch == '.' || ch == '_' ||
                         ch == '-');
           if (!ok) return std::string("error: a user name is 1..32 of A-Z a-z 0-9 . _ -");
           c.user = u;
           c.user_given = true;
           return "ok (" + c.who() + ")";
         }});
  t.add({"watch", "watch [on|off]", 0, 1, Access::kRead, Run::kNow,
         "sends events as they happen, each a line starting with 'event ' (process values at most "
         "once per --value-interval)",
         [](Client& c, const Args& a) {
           if (!a.empty() && a[0] != "on" && a[0] != "off")
             return std::string("error: usage: watch [on|off]");
           if (!c.event_sink && !c.forwarded)
             return std::string("error: no events on this channel");
           c.watching = a.empty() || a[0] == "on";
           return std::string(c.watching ? "ok (watching)" : "ok (not watching)");
         }});
  t.add({"quit", "quit", 0, 0, Access::kRead, Run::kNow,
         "ends the connection (on standard input: saves and ends the server)",
         [](Client&, const Args&) { return std::string("bye"); }, true});
}

std::string Server::cmd_download(const std::string& name, const std::string& file) {
  {
    std::lock_guard<std::mutex> lk(state_mx_);
    const Node* n = find_node(name);
    if (n == nullptr) return "error: unknown node property '" + name + "'";
    if (!n->master) return "error: " + name + " is not its node's first property";
  }
  std::vector<uint8_t> image;
  std::string why;
  if (!read_inside(config_dir_.fd, file, image, why)) return "error: " + why;
  return nets_->download(name, image);
}

std::string Server::cmd_help(const Args& a) const {
  if (!a.empty()) {
    if (a[0] == "status") return kStatusLegend;
    const RequestSpec* s = table_.find(a[0]);
    if (s == nullptr) return "error: unknown request '" + quote_word(a[0]) + "'";
    return s->usage + "\n  " + s->help;
  }
  std::ostringstream o;
  bool first = true;
  for (const auto& s : table_.all()) {
    if (!first) o << "\n";
    first = false;
    o << std::left << std::setw(22) << s.usage << " " << s.help;
  }
  return o.str();
}

// status and list read the node table under state_mx_ a slice of kSliceNodes nodes at a time
// and make their text without it: thousands of nodes never hold up the monitor's callbacks or
// the other requests for long. A table may then show nodes read a few milliseconds apart.
void Server::each_node_sliced(const std::function<void(size_t)>& f) {
  for (size_t k = 0; k < nodes_.size();) {
    std::lock_guard<std::mutex> lk(state_mx_);
    for (const size_t end = std::min(nodes_.size(), k + kSliceNodes); k < end; ++k) f(k);
  }
}

namespace {

// A block of `n` lines streamed to a network client, line k made by `line(k)` as it is sent.
AnswerStream lines_stream(size_t n, std::function<std::string(size_t)> line) {
  AnswerStream s;
  s.lines = n;
  auto next = std::make_shared<size_t>(0);
  s.more = [n, line = std::move(line), next](std::string& out, size_t bytes) {
    for (const size_t start = out.size(); *next < n && out.size() - start < bytes; ++*next)
      out += line(*next) + "\n";
    return *next < n;
  };
  return s;
}

std::string joined(size_t n, const std::function<std::string(size_t)>& line) {
  std::string s;
  for (size_t k = 0; k < n; ++k) s += (k == 0 ? "" : "\n") + line(k);
  return s;
}

}  // namespace

// A table of columns as wide as their widest cell (at least their usual width), so that no text
// shifts the columns after it; a .CONDITION longer than kMaxConditionShown is cut (`get` has it
// whole). The last column is not padded; notes follow it. The widths are known once every node
// is read.
std::shared_ptr<StatusTable> Server::status_table(bool values) {
  constexpr size_t kMaxConditionShown = 48;
  auto t = std::make_shared<StatusTable>();
  t->heading = {"NODE", "LINE", "ID", "ROLE", "CONDITION", "ALIVE", "FILL", "EMCY", "LOST"};
  t->width = {18, 5, 5, 9, 19, 7, 6, 5, 6};
  for (const auto& h : ProcessData::status_headings()) t->heading.push_back(h);
  for (size_t w : {6, 8, 9, 7}) t->width.push_back(w);
  t->heading.push_back("DRIVE");
  t->width.push_back(7);
  t->heading.push_back("MONITOR");
  t->width.push_back(18);
  t->heading.push_back("BOOT");
  t->width.push_back(9);
  t->heading.push_back("IDENTITY");
  t->width.push_back(0);
  t->rows.reserve(nodes_.size());
  t->notes.reserve(nodes_.size());
  std::vector<canline*> lines;
  std::vector<std::string> value_lines, alarm_lines;
  each_node_sliced([&](size_t k) {
    const Node& n = nodes_[k];
    D_can* p = n.prop;
    // The node's counters, also on its followers' rows; supervision on the master's.
    const Node* m = master_of(n);
    canbus::NodeStats st;
    const bool supervised = m != nullptr && monitor_->stats(m->prop, st);
    const bool lost = supervised && st.lost;
    std::string condition = p->condition_prop()->value();
    if (condition.size() > kMaxConditionShown) {
      condition = condition.substr(0, kMaxConditionShown - 3) + "...";
    }
    std::vector<std::string> row{p->name(), std::to_string(n.line), std::to_string(n.node),
                                 role_of(n), condition,
                                 // The last state heard is no state while the node is lost.
                                 lost ? std::string("lost") : hex2(p->alive_prop()->value()),
                                 std::to_string(p->can_return()), std::to_string(st.emergencies),
                                 std::to_string(st.frames_lost)};
    for (auto& c : pd_->status_cells(p->name(), tavik::clock().now_ns()))
      row.push_back(std::move(c));
    row.push_back(drives_->status_cell(p->name()));
    row.push_back(supervised && m == &n ? monitor_text(n.mon) : "-");
    row.push_back(n.master ? nets_->boot_cell(p->name()) : "-");
    row.push_back(p->manu_prop()->value() + " / " + p->hwver_prop()->value() + " / " +
                  p->swver_prop()->value());
    std::string note;
    if (lost && m->lost_since_ns > 0) note += "  LOST SINCE " + utc_time_text(m->lost_since_ns);
    if (auto s = scanned_.find(n.line); s != scanned_.end() && s->second.count(n.node) == 0) {
      note += "  NOT FOUND BY SCAN";
    }
    t->rows.push_back(std::move(row));
    t->notes.push_back(std::move(note));
    canline* l = p->line_ptr();
    if (l != nullptr && std::find(lines.begin(), lines.end(), l) == lines.end()) lines.push_back(l);
    if (values) {
      std::string v = pd_->value_line(p->name());
      if (!v.empty()) value_lines.push_back(std::move(v));
    }
  });
  {
    std::lock_guard<std::mutex> lk(state_mx_);
    for (canline* l : lines) {
      const std::string load = trace_ ? trace_->load_text(l->line()) : "";
      t->tail.push_back("line " + std::to_string(l->line()) + ": handle " +
                        std::to_string(l->handle()) + ", " + (l->handle() > 0 ? "open" : "closed") +
                        ", baud code " + std::to_string(l->baud()) +
                        (load.empty() ? "" : ", " + load));
    }
    alarm_lines = pd_->alarm_lines();
  }
  for (auto& v : nets_->summaries()) t->tail.push_back(std::move(v));
  for (auto& v : value_lines) t->tail.push_back(std::move(v));
  for (auto& v : alarm_lines) t->tail.push_back(std::move(v));
  for (const auto& r : t->rows) {
    for (size_t c = 0; c + 1 < r.size(); ++c) t->width[c] = std::max(t->width[c], r[c].size() + 2);
  }
  return t;
}

std::string Server::status(bool values) {
  auto t = status_table(values);
  return joined(t->lines(), [&t](size_t k) { return t->line(k); });
}

AnswerStream Server::status_stream() {
  auto t = status_table(false);
  return lines_stream(t->lines(), [t](size_t k) { return t->line(k); });
}

std::vector<std::string> Server::list_lines() {
  std::vector<std::string> out;
  const std::vector<D_fct*> props = location_->properties();
  for (size_t k = 0; k < props.size();) {
    std::lock_guard<std::mutex> lk(state_mx_);
    for (const size_t end = std::min(props.size(), k + kSliceNodes * 8); k < end; ++k) {
      const D_fct* p = props[k];
      std::string l = p->name();
      if (ends_with(p->name(), ".BAUDRATE")) {
        // The library's own description names its default only: 0 in the file means it.
        l += "  (baud-rate code 0..14 taken when the line is opened; 0: the default, 6 == 125 "
             "kbit/s)";
      } else if (!p->description().empty()) {
        l += "  (" + p->description() + ")";
      }
      out.push_back(printable(l));
    }
  }
  std::vector<std::string> values;
  each_node_sliced([&](size_t k) {
    pd_->list(nodes_[k].prop->name(), values);
    drives_->list(nodes_[k].prop->name(), values);
  });
  for (auto& v : values) out.push_back(printable(v));
  return out;
}

std::string Server::cmd_list() {
  std::vector<std::string> l = list_lines();
  return joined(l.size(), [&l](size_t k) { return l[k]; });
}

AnswerStream Server::list_stream() {
  auto l = std::make_shared<std::vector<std::string>>(list_lines());
  return lines_stream(l->size(), [l](size_t k) { return std::move((*l)[k]); });
}

std::string Server::cmd_get(const std::string& name) {
  if (pd_->is_value(name)) return pd_->get(name);
  if (drives_->is_property(name)) return drives_->get(name);
  D_fct* p = location_->find(name);
  if (p == nullptr) return "error: unknown property " + quote_word(name);
  EqData in, res;
  p->get(nullptr, &in, &res, location_.get());
  if (res.error() != 0) return "error: " + res.get_string();
  std::ostringstream o;
  o << name << " = ";
  if (res.type() == DATA_IIII) {
    o << res.get_int(0) << " " << res.get_int(1) << " " << res.get_int(2) << " " << res.get_int(3);
  } else if (res.type() == DATA_STRING) {
    o << res.get_string();
  } else {
    o << res.get_int();
  }
  return o.str();
}

// With bus_mx_ (a bus job): the uploads run without state_mx_. The three strings are stored
// only when all three were read ("-" for 0x1009 or 0x100A when the node has none); the first
// failure ends the read (a silent node costs one
// transfer's time-out, not three).
std::string Server::cmd_identity(const std::string& name) {
  Node* n = nullptr;
  {
    std::lock_guard<std::mutex> lk(state_mx_);
    n = find_node(name);
    if (n == nullptr) return "error: unknown node property " + quote_word(name);
    if (n->prop->handle() < 0) return "error: " + name + " is not on the bus";
  }
  D_can* p = n->prop;
  std::string got[3];
  const int index[3] = {0x1008, 0x1009, 0x100A};
  for (int k = 0; k < 3; ++k) {
    // The node is given 100 ms before its software version, as at start-up.
    if (index[k] == 0x100A) TAVIKsleep(0, 100000);
    // The whole value (the SDO client reports a longer one as not fitting); 63 bytes kept.
    std::vector<char> buffer(4096);
    size_t length = 0;
    const int r = p->sdo_upload(index[k], 0, buffer.data(), buffer.size() - 1, &length);
    if (index[k] != 0x1008 && sdo_no_object(r)) {
      // An optional object the node does not have: no failure of the identity.
      got[k] = "-";
      continue;
    }
    if (r != 0) {
      return "error: identity of " + name + " not read (object " + hex4(index[k]) +
             "): " + sdo_result_text(r);
    }
    buffer[std::min(length, kMaxString)] = '\0';
    p->check_ascii(buffer.data());
    got[k] = buffer.data();
  }
  {
    std::lock_guard<std::mutex> lk(state_mx_);
    p->manu_prop()->set_value(got[0]);
    p->hwver_prop()->set_value(got[1]);
    p->swver_prop()->set_value(got[2]);
  }
  return got[0] + " / " + got[1] + " / " + got[2];
}

std::string Server::cmd_sim(const Args& a) {
  if (!simulate_) return "error: no simulated devices on this backend";
  return demo_.request(a, table_.find("sim")->usage,
                       [this](const std::string& name, int& line, int& node) {
                         const Node* n = find_node(name);
                         if (n == nullptr) return false;
                         line = n->line;
                         node = n->node;
                         return true;
                       });
}

}  // namespace canbus_server
