#include "process_data.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "can_od.h"
#include "tavik_log.h"
#include "tavik_time.h"

namespace canbus_server {
namespace {

std::string base_of(const std::string& name) {
  return name.substr(0, name.rfind('.'));
}

std::string suffix_of(const std::string& name) {
  return name.substr(name.rfind('.') + 1);
}

}  // namespace

std::string utc_time_text(int64_t ns) {
  const time_t sec = static_cast<time_t>(ns / 1000000000);
  tm t{};
  gmtime_r(&sec, &t);
  char b[64];
  const size_t n = std::strftime(b, sizeof b, "%Y-%m-%d %H:%M:%S", &t);
  std::snprintf(b + n, sizeof b - n, ".%03d UTC", static_cast<int>(ns / 1000000 % 1000));
  return b;
}

namespace {

std::string number_text(double x) {
  char b[32];
  std::snprintf(b, sizeof b, "%.7g", x);
  return b;
}

// The typed value of a number: false with the reason when it does not fit the type.
bool typed(canbus::DataType t, unsigned bits, double raw, canbus::Value& out, std::string& why) {
  canbus::Value v;
  if (canbus::is_real_type(t)) {
    v = canbus::Value::of_real(raw);
  } else {
    // Whole steps exactly: the text's number may differ from a whole step only by the error of
    // its decimal digits in binary (a billionth of a step, or the double's rounding at that
    // size), so that 0.3 in steps of 0.1 is taken and 1000.0000001 in steps of 1 is not.
    const double tolerance = std::max(1e-9, std::fabs(raw) * 8 * DBL_EPSILON);
    if (std::fabs(raw - std::round(raw)) > tolerance) {
      why = "not a whole number of steps";
      return false;
    }
    if (std::fabs(raw) > 9.2e18) {
      why = "out of range of " + std::string(canbus::data_type_name(t));
      return false;
    }
    const auto whole = static_cast<int64_t>(std::llround(raw));
    if (canbus::is_signed_type(t)) {
      v = canbus::Value::of_int(whole);
    } else if (whole < 0) {
      why = "out of range of " + std::string(canbus::data_type_name(t)) + " (negative)";
      return false;
    } else if (t == canbus::DataType::kBoolean) {
      if (whole > 1) {
        why = "a BOOLEAN is 0 or 1";
        return false;
      }
      v = canbus::Value::of_bool(whole == 1);
    } else {
      v = canbus::Value::of_uint(static_cast<uint64_t>(whole));
    }
  }
  uint64_t bitsv = 0;
  if (!canbus::value_to_bits(t, v, bits, bitsv, &why)) return false;
  out = v;
  return true;
}

}  // namespace

bool ProcessData::load(const ConfigFile& config, const std::vector<std::string>& nodes,
                       const NodeObjects& objects, std::vector<std::string>& errors) {
  const size_t errors_before = errors.size();
  std::set<std::string> known(nodes.begin(), nodes.end());
  std::map<std::string, std::vector<canbus::PdoConfig>> tpdos, rpdos;
  std::map<std::string, const std::string*> boots;
  for (const auto& l : config.lines()) {
    if (l.kind == ConfigFile::Kind::kLine) {
      SyncSpec s;
      if (parse_sync(*config.value_of(l.name), s).empty()) {
        sync_lines_[sync_line_of(l.name)] = s;
      }
      continue;
    }
    if (l.kind != ConfigFile::Kind::kSub || known.count(base_of(l.name)) == 0) continue;
    const std::string node = base_of(l.name);
    const std::string which = suffix_of(l.name);
    if (which == "BOOT") {
      boots[node] = config.value_of(l.name);
      continue;
    }
    if (!is_pdo_suffix(which)) continue;
    PdoLine def;
    if (!parse_pdo(which, *config.value_of(l.name), def).empty()) continue;
    Pdo p;
    p.node = node;
    p.cfg.kind = def.tpdo ? canbus::PdoKind::kTpdo : canbus::PdoKind::kRpdo;
    p.cfg.number = def.number;
    p.cfg.cob_id = static_cast<uint32_t>(def.cob_id);
    p.cfg.transmission_type = static_cast<uint8_t>(def.transmission);
    p.cfg.event_timer_ms = static_cast<uint16_t>(def.event_ms);
    p.interval_ms = def.interval_ms;
    // With the node's EDS: objects by name, and every entry checked against the file.
    const auto od = objects.dictionary(node);
    const std::string at = std::to_string(config.line_of(l.name)) + ": ";
    std::vector<Value> values;
    bool ok = true;
    if (od != nullptr) {
      // The node's EDS lists the PDO's communication and mapping objects, or it has no such PDO.
      const auto base = static_cast<uint16_t>((def.tpdo ? 0x1800 : 0x1400) + def.number - 1);
      for (const uint16_t index : {base, static_cast<uint16_t>(base + 0x200)}) {
        if (od->has_object(index)) continue;
        char b[160];
        std::snprintf(b, sizeof b, "the node's EDS has no %s object 0x%04X: the node has no %s",
                      index == base ? "communication" : "mapping", index, which.c_str());
        errors.push_back(at + l.name + ": " + b);
        ok = false;
      }
    }
    for (const auto& vs : def.values) {
      Value v;
      v.def = vs;
      const std::string where = at + l.name + ": " + vs.name + ": ";
      std::string why;
      canbus::PdoEntry e;
      if (!vs.object.empty()) {
        const canbus::ObjectEntry* found = od ? od->lookup(vs.object, why) : nullptr;
        if (od == nullptr) why = "an object by name needs the node's EDS (a " + node + ".EDS line)";
        if (found == nullptr ||
            !canbus::pdo_entry_from_dictionary(*od, found->index, found->subindex, 0, e, why)) {
          errors.push_back(where + why);
          ok = false;
          continue;
        }
        v.def.index = e.index;
        v.def.subindex = e.subindex;
        v.def.bits = e.bits;
        v.def.type = canbus::data_type_name(e.type);
        v.type = e.type;
      } else {
        if (!canbus::data_type_from_name(vs.type, v.type)) continue;  // checked by the parser
        if (od != nullptr &&
            !canbus::pdo_entry_from_dictionary(*od, static_cast<uint16_t>(vs.index),
                                               static_cast<uint8_t>(vs.subindex),
                                               static_cast<uint8_t>(vs.bits), e, why)) {
          errors.push_back(where + why);
          ok = false;
          continue;
        }
      }
      v.node = node;
      v.tpdo = def.tpdo;
      v.pdo = def.number;
      v.entry = p.cfg.mapping.size();
      p.cfg.mapping.push_back({static_cast<uint16_t>(v.def.index),
                               static_cast<uint8_t>(v.def.subindex),
                               static_cast<uint8_t>(v.def.bits), v.type, vs.name});
      values.push_back(std::move(v));
    }
    if (ok && canbus::mapping_bits(p.cfg.mapping) > 64) {
      errors.push_back(at + l.name + ": the values take " +
                       std::to_string(canbus::mapping_bits(p.cfg.mapping)) +
                       " bits, a PDO 64 at most");
      ok = false;
    }
    if (!ok) continue;
    Node& n = nodes_[node];
    for (auto& v : values) {
      v.full = node + "." + v.def.name;
      // The default hysteresis: 1 % of the span of the limits, or of the one limit's size.
      auto hysteresis = [&v](const Limits& l) {
        if (v.def.has_hysteresis) return v.def.hysteresis;
        if (l.has_low && l.has_high) return 0.01 * (l.high - l.low);
        return 0.01 * std::fabs(l.has_low ? l.low : l.high);
      };
      v.alarm_hysteresis = hysteresis(v.def.alarm);
      v.warn_hysteresis = hysteresis(v.def.warn);
      by_name_[v.full] = values_.size();
      p.values.push_back(values_.size());
      n.values.push_back(values_.size());
      values_.push_back(std::move(v));
    }
    if (def.tpdo) n.tpdos[def.number] = pdos_.size();
    (def.tpdo ? tpdos : rpdos)[node].push_back(p.cfg);
    pdos_.push_back(std::move(p));
  }
  // The boot configuration: the DCF's writes and PDOs, the BOOT line's writes, then the PDO
  // lines, TPDOs first.
  for (const auto& name : nodes) {
    const bool has_pdos = tpdos.count(name) != 0 || rpdos.count(name) != 0;
    auto b = boots.find(name);
    if (!has_pdos && b == boots.end()) continue;
    auto cfg = std::make_shared<canbus::BootConfig>();
    if (b != boots.end()) {
      const std::string at = std::to_string(config.line_of(name + ".BOOT")) + ": ";
      BootSpec def;
      parse_boot(*b->second, def);
      if (def.dcf) {
        const auto od = objects.dictionary(name);
        std::string why;
        if (od == nullptr) {
          errors.push_back(at + name + ".BOOT: dcf needs the node's DCF file (a " + name +
                           ".EDS line)");
        } else if (!canbus::boot_config_from_dictionary(*od, *cfg, why)) {
          errors.push_back(at + name + ".BOOT: dcf: " + why);
        }
      }
      for (const auto& w : def.writes) {
        if (!w.object.empty()) {
          // By name: the monitor writes it through the node's dictionary; checked here.
          const auto od = objects.dictionary(name);
          const std::string where = name + ".BOOT: \"" + w.object + "\": ";
          canbus::SdoWrite x(w.object, {});
          const canbus::ObjectEntry* e = nullptr;
          std::string why;
          if (od == nullptr) {
            why = "an object by name needs the node's EDS (a " + name + ".EDS line)";
          } else if ((e = od->lookup(w.object, why)) != nullptr &&
                     canbus::parse_user_value(e->data_type, w.value, x.value, why) &&
                     canbus::resolve_sdo_write(*od, x, why)) {
            cfg->dictionary = od;
            cfg->writes.push_back(std::move(x));
            continue;
          }
          errors.push_back(where + why);
          continue;
        }
        canbus::SdoWrite x;
        x.index = static_cast<uint16_t>(w.index);
        x.subindex = static_cast<uint8_t>(w.subindex);
        double number = 0;
        parse_number(w.value, number);
        std::string why;
        if (!canbus::data_type_from_name(w.type, x.type) ||
            !typed(x.type, canbus::data_type_bits(x.type), number, x.value, why)) {
          errors.push_back(at + name + ".BOOT: " + w.value + " for " + w.type + ": " + why);
          continue;
        }
        cfg->writes.push_back(std::move(x));
      }
    }
    for (auto* list : {&tpdos, &rpdos}) {
      auto it = list->find(name);
      if (it == list->end()) continue;
      cfg->pdos.insert(cfg->pdos.end(), it->second.begin(), it->second.end());
    }
    nodes_[name].boot = cfg;
  }
  return errors.size() == errors_before;
}

std::shared_ptr<const canbus::BootConfig> ProcessData::boot(const std::string& node) const {
  auto it = nodes_.find(node);
  return it == nodes_.end() ? nullptr : it->second.boot;
}

void ProcessData::start_sync(bool own_thread) {
  for (const auto& [line, def] : sync_lines_) {
    auto p = std::make_unique<canbus::SyncProducer>(line);
    if (!p->start(int64_t{def.period_ms} * 1000, def.counter, own_thread)) {
      tavik::printtostderr("CANBUS", "LINE." + std::to_string(line) + ".SYNC: not started");
      continue;
    }
    syncs_[line] = std::move(p);
  }
}

void ProcessData::tick_sync() {
  for (auto& s : syncs_) s.second->tick();
}

void ProcessData::stop_sync() {
  for (auto& s : syncs_) s.second->stop();
}

std::vector<canbus::SyncProducer*> ProcessData::sync_producers() {
  std::vector<canbus::SyncProducer*> out;
  for (auto& s : syncs_) out.push_back(s.second.get());
  return out;
}

canbus::SyncProducer* ProcessData::sync_of(int line) {
  auto it = syncs_.find(line);
  return it == syncs_.end() ? nullptr : it->second.get();
}

std::string ProcessData::text_of(const Value& v) const {
  std::string t = v.def.scale == 1 && v.def.offset == 0 && !canbus::is_real_type(v.type)
                      ? v.raw.text()
                      : number_text(v.shown);
  if (!v.def.unit.empty()) t += " " + v.def.unit;
  return t;
}

const char* alarm_state_name(AlarmState s) {
  switch (s) {
    case AlarmState::kNone:
      return "none";
    case AlarmState::kWarnLow:
      return "warn-low";
    case AlarmState::kWarnHigh:
      return "warn-high";
    case AlarmState::kLow:
      return "low";
    case AlarmState::kHigh:
      return "high";
  }
  return "none";
}

int alarm_level(AlarmState s) {
  return s == AlarmState::kNone                                    ? 0
         : s == AlarmState::kWarnLow || s == AlarmState::kWarnHigh ? 1
                                                                   : 2;
}

namespace {

bool low_side(AlarmState s) {
  return s == AlarmState::kLow || s == AlarmState::kWarnLow;
}

// The limit a state stands against.
double limit_of(const PdoValueLine& d, AlarmState s) {
  switch (s) {
    case AlarmState::kWarnLow:
      return d.warn.low;
    case AlarmState::kWarnHigh:
      return d.warn.high;
    case AlarmState::kLow:
      return d.alarm.low;
    case AlarmState::kHigh:
      return d.alarm.high;
    case AlarmState::kNone:
      break;
  }
  return 0;
}

// "above 1700 mA", "below 5 V"; back inside the limit but not yet by the hysteresis: "within
// the hysteresis of 1700 mA".
std::string beyond_text(const PdoValueLine& d, AlarmState s, double x) {
  const double limit = limit_of(d, s);
  const std::string at = number_text(limit) + (d.unit.empty() ? "" : " " + d.unit);
  if (low_side(s) ? x < limit : x > limit) return (low_side(s) ? "below " : "above ") + at;
  return "within the hysteresis of " + at;
}

}  // namespace

std::string ProcessData::text_of(const Value& v, const canbus::Value& raw) {
  std::string t = v.def.scale == 1 && v.def.offset == 0 && !canbus::is_real_type(v.type)
                      ? raw.text()
                      : number_text(raw.as_real() * v.def.scale + v.def.offset);
  if (!v.def.unit.empty()) t += " " + v.def.unit;
  return t;
}

void ProcessData::place(
    const std::function<bool(const std::string& node, int& line, int& id)>& where) {
  pdo_by_cob_.clear();
  for (size_t k = 0; k < pdos_.size(); ++k) {
    const Pdo& p = pdos_[k];
    int line = 0, id = 0;
    if (!where(p.node, line, id)) continue;
    uint32_t cob = p.cfg.cob_id;
    if (cob == 0 && id >= 1 && id <= 127 && p.cfg.number >= 1 && p.cfg.number <= 4) {
      cob = p.cfg.kind == canbus::PdoKind::kTpdo ? canbus::cob_tpdo(p.cfg.number, id)
                                                 : canbus::cob_rpdo(p.cfg.number, id);
    }
    if (cob != 0) pdo_by_cob_.emplace(std::make_pair(line, cob), k);
  }
}

std::string ProcessData::pdo_text(int line, const CMSG& frame) const {
  if (frame.len & NTCAN_RTR) return "";
  auto it = pdo_by_cob_.find({line, static_cast<uint32_t>(frame.id)});
  if (it == pdo_by_cob_.end()) return "";
  const Pdo& p = pdos_[it->second];
  std::vector<canbus::Value> raw;
  const size_t n = std::min<size_t>(static_cast<size_t>(frame.len & 0x0F), 8);
  if (!canbus::decode_pdo(p.cfg.mapping, frame.data, n, raw)) return "";
  std::string t;
  for (size_t k = 0; k < p.values.size() && k < raw.size(); ++k) {
    const Value& v = values_[p.values[k]];
    t += (t.empty() ? "" : ", ") + v.node + "." + v.def.name + " " + text_of(v, raw[k]);
  }
  return t;
}

std::string ProcessData::get(const std::string& name) const {
  const Value& v = values_[by_name_.at(name)];
  const std::string pdo =
      canbus::pdo_name(v.tpdo ? canbus::PdoKind::kTpdo : canbus::PdoKind::kRpdo, v.pdo);
  if (!v.has) return name + " = none (" + (v.tpdo ? "no " + pdo + " yet" : "not set yet") + ")";
  std::string out = name + " = " + text_of(v) + " at " + utc_time_text(v.time_ns) + " (" + pdo +
                    (v.tpdo ? "" : ", set") + ")";
  if (v.alarm != AlarmState::kNone) {
    out += std::string(", alarm: ") + alarm_state_name(v.alarm) + " (" +
           beyond_text(v.def, v.alarm, v.shown) + ")";
  }
  return out;
}

ValueInfo ProcessData::info_of(const Value& v) const {
  ValueInfo i;
  i.name = v.full;
  i.node = v.node;
  i.unit = v.def.unit;
  i.has = v.has;
  if (v.has) {
    i.value = v.shown;
    i.text = text_of(v);
    i.time_ns = v.time_ns;
  }
  i.pdo = canbus::pdo_name(v.tpdo ? canbus::PdoKind::kTpdo : canbus::PdoKind::kRpdo, v.pdo);
  i.writable = !v.tpdo;
  i.alarm = v.alarm;
  i.alarm_limits = v.def.alarm;
  i.warn_limits = v.def.warn;
  return i;
}

bool ProcessData::value_info(const std::string& name, ValueInfo& out) const {
  auto it = by_name_.find(name);
  if (it == by_name_.end()) return false;
  out = info_of(values_[it->second]);
  return true;
}

std::vector<ValueInfo> ProcessData::values() const {
  std::vector<ValueInfo> out;
  out.reserve(values_.size());
  for (const Value& v : values_) out.push_back(info_of(v));
  return out;
}

std::vector<std::string> ProcessData::alarm_lines() const {
  std::vector<std::string> out;
  for (const Value& v : values_) {
    if (v.alarm == AlarmState::kNone) continue;
    out.push_back(std::string(alarm_level(v.alarm) == 2 ? "alarm " : "warn ") + v.full + " " +
                  text_of(v) + " " + beyond_text(v.def, v.alarm, v.shown) + " (" +
                  alarm_state_name(v.alarm) + ")");
  }
  return out;
}

void ProcessData::check_limits(Value& v, int line, int id, std::vector<Event>& out) {
  const PdoValueLine& d = v.def;
  const double x = v.shown;
  // A value that is no number says nothing about the limits.
  if ((!d.alarm.any() && !d.warn.any()) || !std::isfinite(x)) return;
  const AlarmState was = v.alarm;
  // Beyond a limit, or (in that state before) not back inside it by the hysteresis.
  auto beyond = [x](bool has, double limit, bool low, bool before, double h) {
    if (!has) return false;
    return low ? x < limit || (before && x < limit + h) : x > limit || (before && x > limit - h);
  };
  AlarmState now = AlarmState::kNone;
  if (beyond(d.alarm.has_low, d.alarm.low, true, was == AlarmState::kLow, v.alarm_hysteresis)) {
    now = AlarmState::kLow;
  } else if (beyond(d.alarm.has_high, d.alarm.high, false, was == AlarmState::kHigh,
                    v.alarm_hysteresis)) {
    now = AlarmState::kHigh;
  } else if (beyond(d.warn.has_low, d.warn.low, true,
                    was == AlarmState::kLow || was == AlarmState::kWarnLow, v.warn_hysteresis)) {
    now = AlarmState::kWarnLow;
  } else if (beyond(d.warn.has_high, d.warn.high, false,
                    was == AlarmState::kHigh || was == AlarmState::kWarnHigh, v.warn_hysteresis)) {
    now = AlarmState::kWarnHigh;
  }
  if (now == was) return;
  v.alarm = now;
  // The warning of a side holds while its alarm does: an alarm raised from none raises its
  // warning first, and ends with it (alarm-cleared, then warn-cleared), so that every warn and
  // alarm event has its cleared one.
  enum : unsigned { kWl = 1, kAl = 2, kWh = 4, kAh = 8 };
  auto held = [&d](AlarmState s) -> unsigned {
    switch (s) {
      case AlarmState::kNone:
        return 0;
      case AlarmState::kWarnLow:
        return kWl;
      case AlarmState::kWarnHigh:
        return kWh;
      case AlarmState::kLow:
        return kAl | (d.warn.has_low ? kWl : 0u);
      case AlarmState::kHigh:
        return kAh | (d.warn.has_high ? kWh : 0u);
    }
    return 0;
  };
  const unsigned before = held(was), after = held(now);
  auto emit = [&](Event::Kind k, bool low, double limit) {
    Event e{k, line, id, v.full};
    e.detail =
        std::string(low ? "low " : "high ") + text_of(v) + " (limit " + number_text(limit) + ")";
    out.push_back(std::move(e));
  };
  const unsigned cleared = before & ~after, raised = after & ~before;
  if (cleared & kAl) emit(Event::Kind::kAlarmCleared, true, d.alarm.low);
  if (cleared & kAh) emit(Event::Kind::kAlarmCleared, false, d.alarm.high);
  if (cleared & kWl) emit(Event::Kind::kWarnCleared, true, d.warn.low);
  if (cleared & kWh) emit(Event::Kind::kWarnCleared, false, d.warn.high);
  if (raised & kWl) emit(Event::Kind::kWarn, true, d.warn.low);
  if (raised & kWh) emit(Event::Kind::kWarn, false, d.warn.high);
  if (raised & kAl) emit(Event::Kind::kAlarm, true, d.alarm.low);
  if (raised & kAh) emit(Event::Kind::kAlarm, false, d.alarm.high);
}

void ProcessData::list(const std::string& node, std::vector<std::string>& out) const {
  auto n = nodes_.find(node);
  if (n == nodes_.end()) return;
  for (size_t k : n->second.values) {
    const Value& v = values_[k];
    std::string l =
        node + "." + v.def.name + "  (process value, " +
        canbus::pdo_name(v.tpdo ? canbus::PdoKind::kTpdo : canbus::PdoKind::kRpdo, v.pdo) +
        (v.tpdo ? "" : " set-point") + ", " + v.def.type;
    if (!v.def.unit.empty()) l += ", " + v.def.unit;
    if (v.def.has_min) l += ", min " + number_text(v.def.min);
    if (v.def.has_max) l += ", max " + number_text(v.def.max);
    out.push_back(l + ")");
  }
}

void ProcessData::on_pdo(const std::string& node, int line, int id, int pdo,
                         const canbus::PdoValues& v, std::vector<Event>& out) {
  auto n = nodes_.find(node);
  if (n == nodes_.end()) return;
  Node& st = n->second;
  ++st.received;
  if (st.last_ns > 0 && v.time_ns > st.last_ns) {
    const double d = static_cast<double>(v.time_ns - st.last_ns);
    st.interval_ns = st.interval_ns == 0 ? d : 0.8 * st.interval_ns + 0.2 * d;
  }
  st.last_ns = v.time_ns;
  if (auto t = st.tpdos.find(pdo); t != st.tpdos.end()) {
    const Pdo& p = pdos_[t->second];
    for (size_t k = 0; k < p.values.size() && k < v.values.size(); ++k) {
      Value& x = values_[p.values[k]];
      x.has = true;
      x.raw = v.values[k];
      x.shown = x.raw.as_real() * x.def.scale + x.def.offset;
      x.time_ns = v.time_ns;
      history_.add(x.full, v.time_ns, x.shown);
      const bool due = !x.published || (std::fabs(x.shown - x.published_value) > x.def.deadband &&
                                        v.time_ns - x.published_ns >= interval_ns_);
      if (due) {
        x.published = true;
        x.published_value = x.shown;
        x.published_ns = v.time_ns;
        Event e{Event::Kind::kValue, line, id, x.full};
        e.detail = text_of(x);
        out.push_back(std::move(e));
      }
      // Every value against the limits: an alarm is never held back by the value interval.
      check_limits(x, line, id, out);
    }
  }
}

void ProcessData::on_late(const std::string& node, int pdo, bool late) {
  auto n = nodes_.find(node);
  if (n == nodes_.end()) return;
  if (late) {
    n->second.late.insert(pdo);
  } else {
    n->second.late.erase(pdo);
  }
}

std::string ProcessData::value_line(const std::string& node) const {
  std::string l;
  auto n = nodes_.find(node);
  if (n == nodes_.end()) return l;
  for (size_t k : n->second.values) {
    const Value& v = values_[k];
    l += (l.empty() ? node + ": " : ", ") + v.def.name + " " + (v.has ? text_of(v) : "-") +
         (v.tpdo ? "" : " (set)");
  }
  return l;
}

std::vector<std::string> ProcessData::status_headings() {
  return {"PDOS", "AGE", "RATE", "LATE"};
}

std::vector<std::string> ProcessData::status_cells(const std::string& node, int64_t now_ns) const {
  auto n = nodes_.find(node);
  if (n == nodes_.end()) return {"-", "-", "-", "-"};
  const Node& st = n->second;
  char age[32] = "-", rate[32] = "-";
  if (st.last_ns > 0) {
    std::snprintf(age, sizeof age, "%.1fs",
                  static_cast<double>(std::max<int64_t>(0, now_ns - st.last_ns)) / 1e9);
  }
  if (st.interval_ns > 0) std::snprintf(rate, sizeof rate, "%.1f/s", 1e9 / st.interval_ns);
  std::string late;
  for (int p : st.late) late += (late.empty() ? "" : ",") + std::to_string(p);
  late = late.empty() ? "-" : "TPDO" + late;
  return {std::to_string(st.received), age, rate, late};
}

std::string ProcessData::prepare_set(const std::string& name, const Args& words, std::string& node,
                                     canbus::PdoConfig& pdo,
                                     std::vector<canbus::Value>& raw) const {
  const Value& v = values_[by_name_.at(name)];
  if (v.tpdo) {
    return "error: " + name + " is a measured value (TPDO" + std::to_string(v.pdo) +
           " of the node): read-only";
  }
  double x = 0;
  if (words.size() != 1 || !parse_number(words[0], x)) return "error: " + name + " takes a number";
  // Beyond 2^53 a double does not hold every whole number: the text's number must be the one
  // taken, not its neighbour.
  if (!canbus::is_real_type(v.type) && std::fabs(x) >= 9007199254740992.0 &&
      std::strtold(words[0].c_str(), nullptr) != static_cast<long double>(x))
    return "error: " + name + ": " + words[0] + ": not held exactly (more than 53 bits)";
  const std::string unit = v.def.unit.empty() ? "" : " " + v.def.unit;
  if (v.def.has_min && x < v.def.min)
    return "error: " + name + ": " + words[0] + " below the minimum " + number_text(v.def.min) +
           unit;
  if (v.def.has_max && x > v.def.max)
    return "error: " + name + ": " + words[0] + " above the maximum " + number_text(v.def.max) +
           unit;
  canbus::Value typed_value;
  std::string why;
  if (!typed(v.type, v.def.bits, (x - v.def.offset) / v.def.scale, typed_value, why))
    return "error: " + name + ": " + words[0] + ": " + why;
  for (const Pdo& p : pdos_) {
    if (p.node != v.node || p.cfg.kind != canbus::PdoKind::kRpdo || p.cfg.number != v.pdo) continue;
    raw.clear();
    for (size_t k : p.values) {
      const Value& o = values_[k];
      if (&o == &v) {
        raw.push_back(typed_value);
      } else if (o.has) {
        raw.push_back(o.raw);
      } else {
        canbus::Value zero;
        std::string ignored;
        typed(o.type, o.def.bits, 0, zero, ignored);
        raw.push_back(zero);
      }
    }
    pdo = p.cfg;
    node = p.node;
    return "";
  }
  return "error: " + name + " has no RPDO";
}

int ProcessData::rpdo_interval_ms(const std::string& node, int number) const {
  for (const Pdo& p : pdos_) {
    if (p.node == node && p.cfg.kind == canbus::PdoKind::kRpdo && p.cfg.number == number)
      return p.interval_ms;
  }
  return 0;
}

void ProcessData::commit_set(const std::string& name, const canbus::PdoConfig& pdo,
                             const std::vector<canbus::Value>& raw) {
  Value& v = values_[by_name_.at(name)];
  if (v.entry >= raw.size() || pdo.number != v.pdo) return;
  v.has = true;
  v.raw = raw[v.entry];
  v.shown = v.raw.as_real() * v.def.scale + v.def.offset;
  v.time_ns = tavik::clock().now_ns();
  history_.add(v.full, v.time_ns, v.shown);
}

void ProcessData::after_boot(const std::string& node, int line, int id, std::vector<Restore>& send,
                             std::vector<Event>& out) {
  for (const Pdo& p : pdos_) {
    if (p.node != node || p.cfg.kind != canbus::PdoKind::kRpdo) continue;
    Restore r;
    r.pdo = p.cfg;
    r.text = canbus::pdo_name(p.cfg.kind, p.cfg.number);
    bool any = false;
    for (size_t k : p.values) {
      Value& v = values_[k];
      if (v.has && v.def.clear_at_boot) {
        v.has = false;
        Event e{Event::Kind::kCleared, line, id, node + "." + v.def.name};
        e.detail = "(boot clear)";
        out.push_back(std::move(e));
      }
      if (v.has) {
        any = true;
        r.raw.push_back(v.raw);
        r.text += " " + v.def.name + " " + text_of(v);
      } else {
        canbus::Value zero;
        std::string ignored;
        typed(v.type, v.def.bits, 0, zero, ignored);
        r.raw.push_back(zero);
      }
    }
    if (any) send.push_back(std::move(r));
  }
}

void ProcessData::restored(const std::string& node, int line, int id, const Restore& r,
                           const std::string& error, std::vector<Event>& out) {
  Event e{error.empty() ? Event::Kind::kRestored : Event::Kind::kRestoreFailed, line, id, node};
  e.detail = r.text;
  if (!error.empty()) {
    e.detail += ": " + error;
    for (const Pdo& p : pdos_) {
      if (p.node != node || p.cfg.kind != r.pdo.kind || p.cfg.number != r.pdo.number) continue;
      for (size_t k : p.values) values_[k].has = false;
    }
  } else {
    const int64_t now = tavik::clock().now_ns();
    for (const Pdo& p : pdos_) {
      if (p.node != node || p.cfg.kind != r.pdo.kind || p.cfg.number != r.pdo.number) continue;
      for (size_t k : p.values) {
        if (values_[k].has) values_[k].time_ns = now;
      }
    }
  }
  out.push_back(std::move(e));
}

}  // namespace canbus_server
