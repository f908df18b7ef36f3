// The service layer's views of what the server keeps: process values, their histories and the
// kept events (history.h).
#include "history.h"
#include "process_data.h"
#include "server.h"
#include "service.h"

namespace canbus_server {

namespace {

using Json = nlohmann::json;

Json limits_json(const Limits& l) {
  if (!l.any()) return nullptr;
  return Json::array(
      {l.has_low ? Json(l.low) : Json(nullptr), l.has_high ? Json(l.high) : Json(nullptr)});
}

Json value_json(const ValueInfo& v) {
  return {
      {"name", v.name},
      {"node", v.node},
      {"unit", v.unit},
      {"value", v.has ? Json(v.value) : Json(nullptr)},
      {"text", v.text},
      {"time", v.has && v.time_ns > 0 ? Json(utc_time_text(v.time_ns)) : Json(nullptr)},
      {"t_ms", v.has && v.time_ns > 0 ? Json(v.time_ns / 1000000) : Json(nullptr)},
      {"pdo", v.pdo},
      {"writable", v.writable},
      {"alarm", alarm_state_name(v.alarm)},
      {"limits", {{"alarm", limits_json(v.alarm_limits)}, {"warn", limits_json(v.warn_limits)}}}};
}

}  // namespace

Json Service::values() {
  std::vector<ValueInfo> all;
  {
    std::lock_guard<std::mutex> lk(s_.state_mx_);
    all = s_.pd_->values();
  }
  Json out = Json::array();
  for (const ValueInfo& v : all) out.push_back(value_json(v));
  return {{"values", std::move(out)}};
}

Service::Answer Service::value_of(const std::string& name) {
  Answer a;
  ValueInfo v;
  bool found = false;
  {
    std::lock_guard<std::mutex> lk(s_.state_mx_);
    found = s_.pd_->value_info(name, v);
  }
  if (!found) {
    a.error = "error: unknown property " + quote_word(name);
    return a;
  }
  a.json = value_json(v);
  return a;
}

Service::Answer Service::history(const std::string& name, int64_t since_ms) {
  Answer a;
  ValueInfo v;
  bool found = false;
  {
    std::lock_guard<std::mutex> lk(s_.state_mx_);
    found = s_.pd_->value_info(name, v);
  }
  if (!found) {
    a.error = "error: unknown property " + quote_word(name);
    return a;
  }
  std::vector<ValueHistory::Sample> samples;
  // The history has its own lock.
  s_.pd_->history().query(name, since_ms * 1000000, samples);
  Json points = Json::array();
  for (const auto& p : samples)
    points.push_back(Json::array({p.t_ns / 1000000, p.last, p.min, p.max}));
  a.json = {{"name", name}, {"unit", v.unit}, {"points", std::move(points)}};
  return a;
}

Service::Answer Service::events(const EventQuery& q) {
  Answer a;
  EventLog::Filter f;
  for (const std::string& k : q.kinds) {
    bool known = false;
    for (int i = 0; i <= static_cast<int>(Event::Kind::kWarnCleared); ++i) {
      const auto kind = static_cast<Event::Kind>(i);
      if (k == kind_name(kind)) {
        f.kinds.push_back(kind);
        known = true;
      }
    }
    if (!known) {
      a.error = "error: no event kind " + quote_word(k);
      return a;
    }
  }
  f.line = q.line;
  f.name = q.name;
  f.after_seq = q.after;
  f.limit = q.limit;
  Json out = Json::array();
  for (const KeptEvent& e : s_.events().log().query(f)) {
    out.push_back({{"seq", e.seq},
                   {"t_ms", e.t_ns / 1000000},
                   {"time", utc_time_text(e.t_ns)},
                   {"kind", kind_name(e.kind)},
                   {"line", e.line},
                   {"node", e.node},
                   {"name", e.name},
                   {"text", e.text}});
  }
  a.json = {{"events", std::move(out)}};
  return a;
}

}  // namespace canbus_server
