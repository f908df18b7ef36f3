#include "history.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_map>

namespace canbus_server {

const char* kind_name(Event::Kind k) {
  switch (k) {
    case Event::Kind::kState:
      return "state";
    case Event::Kind::kEmergency:
      return "emergency";
    case Event::Kind::kLineLost:
      return "line-lost";
    case Event::Kind::kLineBack:
      return "line-back";
    case Event::Kind::kNodeLost:
      return "node-lost";
    case Event::Kind::kNodeBack:
      return "node-back";
    case Event::Kind::kValue:
      return "value";
    case Event::Kind::kPdoLate:
      return "pdo-late";
    case Event::Kind::kPdoBack:
      return "pdo-back";
    case Event::Kind::kConfigured:
      return "configured";
    case Event::Kind::kConfigFailed:
      return "config-failed";
    case Event::Kind::kRestored:
      return "restored";
    case Event::Kind::kRestoreFailed:
      return "restore-failed";
    case Event::Kind::kCleared:
      return "cleared";
    case Event::Kind::kDrive:
      return "drive";
    case Event::Kind::kBootStatus:
      return "boot-status";
    case Event::Kind::kNetwork:
      return "network";
    case Event::Kind::kDownload:
      return "download";
    case Event::Kind::kAlarm:
      return "alarm";
    case Event::Kind::kAlarmCleared:
      return "alarm-cleared";
    case Event::Kind::kWarn:
      return "warn";
    case Event::Kind::kWarnCleared:
      return "warn-cleared";
  }
  return "?";
}

void EventLog::add(const Event& e, int64_t t_ns, std::string text) {
  KeptEvent k;
  k.t_ns = t_ns;
  k.kind = e.kind;
  k.line = e.line;
  k.node = e.node;
  k.name = e.name;
  k.text = std::move(text);
  std::lock_guard<std::mutex> lk(mx_);
  k.seq = ++seq_;
  if (capacity_ == 0) return;
  if (ring_.size() >= capacity_) ring_.pop_front();
  ring_.push_back(std::move(k));
}

std::vector<KeptEvent> EventLog::query(const Filter& f) const {
  const bool prefix = !f.name.empty() && f.name.back() == '.';
  auto wanted = [&](const KeptEvent& k) {
    if (f.line != 0 && k.line != f.line) return false;
    if (!f.kinds.empty() && std::find(f.kinds.begin(), f.kinds.end(), k.kind) == f.kinds.end())
      return false;
    if (f.name.empty()) return true;
    return prefix ? k.name.compare(0, f.name.size(), f.name) == 0 : k.name == f.name;
  };
  std::vector<KeptEvent> out;
  std::lock_guard<std::mutex> lk(mx_);
  for (auto it = ring_.rbegin(); it != ring_.rend() && out.size() < f.limit; ++it) {
    if (it->seq <= f.after_seq) break;
    if (wanted(*it)) out.push_back(*it);
  }
  return out;
}

uint64_t EventLog::last_seq() const {
  std::lock_guard<std::mutex> lk(mx_);
  return seq_;
}

// A value's samples are kept in two rings allocated once, at its first value: 32 bytes a
// sample (the time, the exact last value, the lowest and highest as floats rounded outwards so
// that they still enclose every value of the interval, the count).
namespace {

struct Cell {
  int64_t t_ns;
  double last;
  float min;
  float max;
  uint32_t count;
};
static_assert(sizeof(Cell) <= 32, "a sample takes 32 bytes at most");

float down(double x) {
  float f = static_cast<float>(x);
  if (std::isfinite(x) && static_cast<double>(f) > x)
    f = std::nextafter(f, -std::numeric_limits<float>::infinity());
  return f;
}

float up(double x) {
  float f = static_cast<float>(x);
  if (std::isfinite(x) && static_cast<double>(f) < x)
    f = std::nextafter(f, std::numeric_limits<float>::infinity());
  return f;
}

// A fixed ring of cells, oldest first from `head - size`.
struct Ring {
  std::unique_ptr<Cell[]> cells;
  size_t capacity = 0;
  size_t head = 0;  // where the next cell goes
  size_t size = 0;

  explicit Ring(size_t cap) : cells(cap > 0 ? new Cell[cap] : nullptr), capacity(cap) {}
  Cell* newest() { return size == 0 ? nullptr : &cells[(head + capacity - 1) % capacity]; }
  const Cell& at(size_t i) const { return cells[(head + capacity - size + i) % capacity]; }
  // Appends `c`; the cell it pushed out (the oldest), if the ring was full, in `out`.
  bool push(const Cell& c, Cell& out) {
    if (capacity == 0) {
      out = c;
      return true;
    }
    const bool full = size == capacity;
    if (full) out = cells[head];
    cells[head] = c;
    head = (head + 1) % capacity;
    if (!full) ++size;
    return full;
  }
};

void merge(Cell& into, const Cell& c) {
  into.last = c.last;
  into.min = std::min(into.min, c.min);
  into.max = std::max(into.max, c.max);
  into.count += c.count;
}

}  // namespace

struct ValueHistory::Impl {
  struct Series {
    Ring recent;
    Ring thinned;
    Series(size_t r, size_t t) : recent(r), thinned(t) {}
  };
  int64_t interval_ns;
  size_t recent;
  int64_t thinned_ns;
  size_t thinned;
  mutable std::mutex mx;
  std::unordered_map<std::string, std::unique_ptr<Series>> series;

  void thin(Series& s, const Cell& old) const {
    Cell c = old;
    c.t_ns = old.t_ns - ((old.t_ns % thinned_ns) + thinned_ns) % thinned_ns;
    Cell* last = s.thinned.newest();
    if (last != nullptr && c.t_ns <= last->t_ns) {
      merge(*last, c);
      return;
    }
    Cell dropped{};
    s.thinned.push(c, dropped);
  }
};

ValueHistory::ValueHistory(int64_t interval_ns, size_t recent, int64_t thinned_ns, size_t thinned)
    : impl_(std::make_shared<Impl>()) {
  impl_->interval_ns = std::max<int64_t>(1, interval_ns);
  impl_->recent = recent;
  impl_->thinned_ns = std::max<int64_t>(impl_->interval_ns, thinned_ns);
  impl_->thinned = thinned;
}

void ValueHistory::add(const std::string& name, int64_t t_ns, double value) {
  Impl& m = *impl_;
  const int64_t start = t_ns - ((t_ns % m.interval_ns) + m.interval_ns) % m.interval_ns;
  std::lock_guard<std::mutex> lk(m.mx);
  auto it = m.series.find(name);
  if (it == m.series.end())
    it = m.series.emplace(name, std::make_unique<Impl::Series>(m.recent, m.thinned)).first;
  Impl::Series& s = *it->second;
  const Cell c{start, value, down(value), up(value), 1};
  // A value within the newest interval, or stamped before it (a clock set back), joins it: the
  // rings stay in time order.
  Cell* last = s.recent.newest();
  if (last != nullptr && start <= last->t_ns) {
    merge(*last, c);
    return;
  }
  Cell old{};
  if (s.recent.push(c, old)) m.thin(s, old);
}

bool ValueHistory::query(const std::string& name, int64_t from_ns, std::vector<Sample>& out) const {
  const Impl& m = *impl_;
  out.clear();
  std::lock_guard<std::mutex> lk(m.mx);
  auto it = m.series.find(name);
  if (it == m.series.end()) return false;
  for (const Ring* r : {&it->second->thinned, &it->second->recent}) {
    for (size_t i = 0; i < r->size; ++i) {
      const Cell& c = r->at(i);
      if (c.t_ns < from_ns) continue;
      out.push_back({c.t_ns, c.last, c.min, c.max, c.count});
    }
  }
  return true;
}

size_t ValueHistory::bytes() const {
  const Impl& m = *impl_;
  std::lock_guard<std::mutex> lk(m.mx);
  size_t n = sizeof(Impl);
  for (const auto& [name, s] : m.series) {
    n += sizeof(Impl::Series) + name.capacity() + 32 /* the map's node */ +
         (s->recent.capacity + s->thinned.capacity) * sizeof(Cell);
  }
  return n;
}

}  // namespace canbus_server
