#include "service.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdlib>

#include "can_ids.h"
#include "net_counts.h"
#include "sdo_requests.h"
#include "server.h"
#include "status_table.h"

namespace canbus_server {

namespace {

using Json = nlohmann::json;

std::string hex_text(unsigned v, int digits) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%0*X", digits, v);
  return b;
}

}  // namespace

Service::Service(Server& server) : s_(server) {
  listener_ = s_.events().listen([this](const Event& e, uint64_t, int64_t t_ns) { seen(e, t_ns); });
}

Service::~Service() {
  s_.events().unlisten(listener_);
}

EventHub& Service::hub() {
  return s_.events();
}

void Service::client_gone(const std::shared_ptr<Client>& c) {
  s_.client_gone(c);
}

// A typed answer: "1000 (0x03E8) ms \"Producer heartbeat time\"", "\"PUMP-3\" \"Manufacturer
// device name\"" (with a dictionary), or the value alone.
Json Service::sdo_json(const std::string& name, const std::string& index, const std::string& sub,
                       const std::vector<std::string>& lines) const {
  std::string text;
  for (const auto& l : lines) text += (text.empty() ? "" : "\n") + l;
  uint64_t i = 0, k = 0;
  parse_uint(index, 0xFFFF, i);
  parse_uint(sub, 0xFF, k);
  Json j = {{"index", hex_text(static_cast<unsigned>(i), 4)},
            {"sub", k},
            {"name", nullptr},
            {"type", nullptr}};
  if (const auto dict = s_.objects_.dictionary(name)) {
    if (const canbus::ObjectEntry* e =
            dict->find(static_cast<uint16_t>(i), static_cast<uint8_t>(k))) {
      j["name"] = e->full_name;
      j["type"] = canbus::data_type_name(e->data_type);
      const std::string tail = " \"" + e->full_name + "\"";
      if (text.size() > tail.size() &&
          text.compare(text.size() - tail.size(), tail.size(), tail) == 0)
        text.erase(text.size() - tail.size());
    }
  }
  // The value: a number as the answer begins with it, a text in quotes without them.
  Json value = text;
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    value = text.substr(1, text.size() - 2);
  } else {
    const std::string first = text.substr(0, text.find(' '));
    char* end = nullptr;
    const double d = std::strtod(first.c_str(), &end);
    if (!first.empty() && end != nullptr && *end == '\0') {
      const bool whole = first.find_first_of(".eE") == std::string::npos && std::fabs(d) < 9e15;
      value = whole ? Json(static_cast<int64_t>(d)) : Json(d);
    }
  }
  j["value"] = value;
  j["text"] = text;
  return j;
}

std::string Service::text(const Json& j) {
  return j.dump(-1, ' ', true, Json::error_handler_t::replace);
}

Json Service::me(const Client& c) const {
  return {{"user", c.user}, {"host", c.host}, {"writer", c.writer}};
}

Json Service::event_json(const Event& e, uint64_t seq, int64_t t_ns) {
  const std::string text = e.text();
  Json j = {{"seq", seq},
            {"t_ms", t_ns / 1000000},
            {"time", utc_time_text(t_ns)},
            {"kind", text.substr(0, text.find(' '))},
            {"line", e.line},
            {"node", e.node},
            {"name", e.name},
            {"text", text}};
  return j;
}

void Service::seen(const Event& e, int64_t t_ns) {
  if (e.kind != Event::Kind::kEmergency) return;
  // "emergency line 2 node 10 NAME code 0x8110 (TEXT) register 0x11 (CLASS)": TEXT as shown.
  const std::string line = e.text();
  std::string text;
  const size_t open = line.find(" (");
  const size_t close = line.rfind(") register 0x");
  if (open != std::string::npos && close != std::string::npos && close > open)
    text = line.substr(open + 2, close - open - 2);
  Json j = {{"code", hex_text(e.code, 4)},
            {"register", hex_text(e.error_register, 2)},
            {"text", text},
            {"at", utc_time_text(t_ns)}};
  std::lock_guard<std::mutex> lk(mx_);
  emergencies_[e.name] = std::move(j);
}

Json Service::last_emergency(const std::string& name) const {
  std::lock_guard<std::mutex> lk(mx_);
  const auto it = emergencies_.find(name);
  return it == emergencies_.end() ? Json(nullptr) : it->second;
}

// The rows of the status table, each with what the table shows only in part (the whole
// condition, the state, since when lost) and the node's process values.
Json Service::nodes() {
  auto t = s_.status_table(false);
  struct More {
    std::string condition;
    std::string state;
    Json lost_since;
    bool lost = false;
    std::vector<std::string> values;
  };
  std::vector<More> more(t->rows.size());
  size_t row = 0;
  s_.each_node_sliced([&](size_t k) {
    if (row >= more.size()) return;
    const Server::Node& n = s_.nodes_[k];
    More& m = more[row++];
    m.condition = n.prop->condition_prop()->value();
    const Server::Node* master = s_.master_of(n);
    canbus::NodeStats st;
    const bool supervised = master != nullptr && s_.monitor_->stats(master->prop, st);
    m.lost = supervised && st.lost;
    m.state = supervised && !st.lost ? canbus::nmt_state_text(st.state) : "Unknown";
    m.lost_since = m.lost && master->lost_since_ns > 0 ? Json(utc_time_text(master->lost_since_ns))
                                                       : Json(nullptr);
    std::vector<std::string> listed;
    s_.pd_->list(n.prop->name(), listed);
    for (const auto& l : listed) m.values.push_back(l.substr(0, l.find(' ')));
  });
  Json out = Json::array();
  for (size_t r = 0; r < t->rows.size() && r < more.size(); ++r) {
    const std::vector<std::string>& cells = t->rows[r];
    Json status = Json::object();
    std::map<std::string, std::string> cell;
    for (size_t c = 0; c < cells.size() && c < t->heading.size(); ++c) {
      status[t->heading[c]] = cells[c];
      cell[t->heading[c]] = cells[c];
    }
    auto number = [&cell](const char* h) {
      uint64_t v = 0;
      parse_uint(cell[h], UINT64_MAX, v);
      return v;
    };
    // IDENTITY: "MANUFACTURER / HARDWARE / SOFTWARE".
    std::vector<std::string> id(3);
    {
      const std::string& s = cell["IDENTITY"];
      size_t from = 0;
      for (size_t i = 0; i < 3; ++i) {
        const size_t to = i < 2 ? s.find(" / ", from) : std::string::npos;
        id[i] = s.substr(from, to == std::string::npos ? std::string::npos : to - from);
        if (to == std::string::npos) break;
        from = to + 3;
      }
    }
    const std::string& note = t->notes[r];
    const More& m = more[r];
    out.push_back(
        {{"name", cell["NODE"]},
         {"line", number("LINE")},
         {"id", number("ID")},
         {"role", cell["ROLE"]},
         {"condition", m.condition},
         {"state", m.state},
         {"alive", cell["ALIVE"]},
         {"lost", m.lost},
         {"lost_since", m.lost_since},
         {"late", cell["LATE"] != "-"},
         {"fill", number("FILL")},
         {"emergencies", number("EMCY")},
         {"frames_lost", number("LOST")},
         {"last_emergency", last_emergency(cell["NODE"])},
         {"pdo",
          {{"received", cell["PDOS"] == "-" ? Json(0) : Json(number("PDOS"))},
           {"age", cell["AGE"]},
           {"rate", cell["RATE"]},
           {"late", cell["LATE"]}}},
         {"drive", cell["DRIVE"]},
         {"monitor", cell["MONITOR"]},
         {"boot", cell["BOOT"]},
         {"identity", {{"manufacturer", id[0]}, {"hardware", id[1]}, {"software", id[2]}}},
         {"not_found_by_scan", note.find("NOT FOUND BY SCAN") != std::string::npos},
         {"values", m.values},
         {"status", std::move(status)}});
  }
  return {{"nodes", std::move(out)}};
}

Json Service::lines(int64_t since_ms) {
  struct Line {
    int number = 0;
    bool open = false;
    int handle = 0;
    int baud = 0;
    uint64_t reopenings = 0;
  };
  std::map<int, Line> found;
  s_.each_node_sliced([&](size_t k) {
    const Server::Node& n = s_.nodes_[k];
    Line& l = found[n.line];
    l.number = n.line;
    if (const canline* cl = n.prop->line_ptr()) {
      l.open = cl->is_open();
      l.handle = cl->handle();
      l.baud = cl->baud();
      const uint64_t g = cl->generation();
      l.reopenings = g > 0 ? g - 1 : 0;
    }
  });
  Json out = Json::array();
  for (const auto& [number, l] : found) {
    const ntcan::NetCounts f = ntcan::net_counts(number - 1);  // line N is net N - 1
    Json j = {{"line", number},
              {"open", l.open},
              {"handle", l.handle},
              {"baud_code", l.baud},
              {"bitrate", nullptr},
              {"reopenings", l.reopenings},
              {"frames_sent", f.sent},
              {"frames_received", f.received},
              {"errors", 0},
              {"load", nullptr},
              {"load_history", Json::array()}};
    // The bus load of the line's tap (trace.cpp): bit rate, load, load history.
    s_.line_load_json(number, since_ms, j);
    out.push_back(std::move(j));
  }
  return {{"lines", std::move(out)}};
}

Json Service::status_text() {
  auto t = s_.status_table(false);
  Json lines = Json::array();
  for (size_t k = 0; k < t->lines(); ++k) lines.push_back(t->line(k));
  return {{"text", std::move(lines)}};
}

Service::Answer Service::od(const std::string& name, const std::string& search) {
  Answer a;
  const auto dict = s_.objects_.dictionary(name);
  if (!dict) {
    // The line protocol's own answer: "no EDS ..." or the like.
    a.error = od_request(s_.objects_, {"od", name});
    if (a.error.rfind("error: ", 0) != 0) a.error = "error: " + a.error;
    return a;
  }
  std::string want = search;
  std::transform(want.begin(), want.end(), want.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  Json out = Json::array();
  for (size_t i = 0; i < dict->size(); ++i) {
    const canbus::ObjectEntry& e = dict->entry(i);
    if (!want.empty()) {
      std::string n = e.full_name;
      std::transform(n.begin(), n.end(), n.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      if (n.find(want) == std::string::npos) continue;
    }
    Json o = {{"index", hex_text(e.index, 4)},
              {"sub", e.subindex},
              {"name", e.full_name},
              {"type", canbus::data_type_name(e.data_type)},
              {"access", canbus::access_name(e.access)},
              {"default", e.default_value.empty() ? Json(nullptr) : Json(e.default_value.text())},
              {"pdo", e.pdo_mapping}};
    const std::string last = s_.objects_.last(name, e);
    if (!last.empty()) o["last"] = last.substr(0, last.rfind(" \""));
    out.push_back(std::move(o));
  }
  a.json = {{"objects", std::move(out)}};
  return a;
}

Service::Answer Service::value(const std::string& name) {
  Answer a;
  std::string got;
  bool process_value = false;
  {
    std::lock_guard<std::mutex> lk(s_.state_mx_);
    got = s_.cmd_get(name);
    process_value = s_.pd_->is_value(name);
  }
  if (got.rfind("error: ", 0) == 0) {
    a.error = got;
    return a;
  }
  if (process_value) return value_of(name);
  // Another property: its `get` text.
  const size_t eq = got.find(" = ");
  a.json = {{"name", name}, {"text", eq == std::string::npos ? got : got.substr(eq + 3)}};
  return a;
}

Json Service::trace(const TraceQuery& q) {
  // The decoded trace (trace.cpp).
  return s_.trace_json(q.after, q.limit, q.line, q.node, q.services);
}

std::string Service::trace_log(int line) {
  return s_.trace_log(line);
}

void Service::request(const std::shared_ptr<Client>& c, const std::string& line,
                      std::function<void(const std::string&)> done) {
  s_.submit(c, line, [done = std::move(done)](const std::string& answer, bool) { done(answer); });
}

std::string Service::json_request(const Args& a) {
  const std::string& what = a[0];
  auto arg = [&a](size_t k) { return k < a.size() ? a[k] : std::string(); };
  auto answer = [](const Answer& r) { return r.ok() ? text(r.json) : r.error; };
  if (what == "status" || what == "nodes") {
    if (a.size() != 1) return "error: usage: json " + what;
    return text(nodes());
  }
  if (what == "lines" && a.size() == 1) return text(lines(0));
  if (what == "get" && a.size() == 2) return answer(value(a[1]));
  if (what == "od" && (a.size() == 2 || a.size() == 3)) return answer(od(a[1], arg(2)));
  if (what == "trace" && a.size() <= 2) {
    TraceQuery q;
    uint64_t n = 200;
    if (a.size() == 2 && !parse_uint(a[1], 100000, n)) return "error: usage: json trace [N]";
    q.limit = n;
    return text(trace(q));
  }
  if (what == "values" && a.size() == 1) return text(values());
  if (what == "history" && a.size() == 2) return answer(history(a[1], 0));
  if (what == "events" && a.size() <= 2) {
    EventQuery q;
    uint64_t n = 200;
    if (a.size() == 2 && !parse_uint(a[1], 100000, n)) return "error: usage: json events [N]";
    q.limit = n;
    return answer(events(q));
  }
  static const char* const kKnown[] = {"status", "nodes",   "lines", "values", "get",
                                       "events", "history", "od",    "trace"};
  if (std::find_if(std::begin(kKnown), std::end(kKnown),
                   [&what](const char* k) { return what == k; }) != std::end(kKnown)) {
    return "error: usage: json status|nodes|lines|values|get NAME|events [N]|history NAME|od "
           "NAME [TEXT]|trace [N]";
  }
  return "error: no JSON form of " + quote_word(what);
}

void Service::register_requests(RequestTable& t) {
  RequestSpec entry{"json",
                    "json status|nodes|lines|values|get NAME|events [N]|history NAME|od NAME "
                    "[TEXT]|trace [N]",
                    1,
                    3,
                    Access::kRead,
                    Run::kNow,
                    "one line of JSON: the same as the HTTP API's answer",
                    [this](Client&, const Args& a) { return json_request(a); }};
  entry.unlocked = true;  // the views take the state lock themselves, a slice at a time
  t.add(std::move(entry));
}

}  // namespace canbus_server
