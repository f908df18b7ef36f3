// Locations, the configuration reader and the property base D_fct.
#include "eq_fct.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <ostream>
#include <sstream>
#include <unordered_set>

namespace {

constexpr int kErrUnsupported = 2;

// The numbers at the start of a configuration value: whitespace-separated decimal integers up to
// the first token that is not one. Values beyond the int range saturate.
std::vector<int> leading_numbers(const std::string& text) {
  std::vector<int> out;
  std::istringstream in(text);
  std::string tok;
  while (in >> tok) {
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(tok.c_str(), &end, 10);
    if (end == tok.c_str() || *end != '\0') break;
    out.push_back(static_cast<int>(std::clamp<long long>(v, INT_MIN, INT_MAX)));
  }
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// EqFct

EqFct::EqFct(const std::string& name) : name_(name) {}

EqFct::~EqFct() {
  // One property at a time, newest first, without holding the lock: each destructor calls
  // remove_property(), and a property may delete others that were handed over as well.
  for (;;) {
    D_fct* p = nullptr;
    {
      std::lock_guard<std::mutex> lk(mx_);
      if (owned_.empty()) break;
      p = owned_.back();
      owned_.pop_back();
    }
    delete p;
  }
}

std::vector<D_fct*> EqFct::properties() const {
  std::lock_guard<std::mutex> lk(mx_);
  return props_;
}

D_fct* EqFct::find(const std::string& name) const {
  std::lock_guard<std::mutex> lk(mx_);
  for (D_fct* p : props_) {
    if (p->name() == name) return p;
  }
  return nullptr;
}

void EqFct::add_property(D_fct* p) {
  if (p == nullptr) return;
  std::lock_guard<std::mutex> lk(mx_);
  if (std::find(props_.begin(), props_.end(), p) == props_.end()) props_.push_back(p);
}

void EqFct::remove_property(D_fct* p) {
  std::lock_guard<std::mutex> lk(mx_);
  props_.erase(std::remove(props_.begin(), props_.end(), p), props_.end());
  // A property deleted by someone else must not be deleted again with the location.
  owned_.erase(std::remove(owned_.begin(), owned_.end(), p), owned_.end());
}

void EqFct::own(D_fct* p) {
  if (p == nullptr) return;
  std::lock_guard<std::mutex> lk(mx_);
  if (std::find(owned_.begin(), owned_.end(), p) == owned_.end()) owned_.push_back(p);
}

void EqFct::set_user_and_host(const std::string& user, const std::string& host) {
  std::lock_guard<std::mutex> lk(mx_);
  user_ = user;
  host_ = host;
}

std::string EqFct::get_username() const {
  std::lock_guard<std::mutex> lk(mx_);
  return user_;
}

std::string EqFct::get_hostname() const {
  std::lock_guard<std::mutex> lk(mx_);
  return host_;
}

std::string get_user_and_host(EqFct* ef) {
  if (ef == nullptr) return std::string();
  return ef->get_username() + "@" + ef->get_hostname();
}

std::string get_location_name(EqFct* ef) {
  return ef != nullptr ? ef->name() : std::string();
}

std::string get_error_string(int code) {
  switch (code) {
    case 0:
      return "no error";
    case kErrUnsupported:
      return "operation not supported by this property";
    case 5:
      return "illegal data";
    case D_fct::kErrNoData:
      return "no data for this event or time";
    case 126:
      return "wrong archiver data type";
    default:
      return "error " + std::to_string(code);
  }
}

// ---------------------------------------------------------------------------------------------
// Config

void Config::parse(const std::string& text) {
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    const size_t colon = line.find(':', first);
    if (colon == std::string::npos) continue;
    std::string name = line.substr(first, colon - first);
    name.erase(name.find_last_not_of(" \t") + 1);
    if (name.empty()) continue;

    const std::string rest = line.substr(colon + 1);
    D_conf_struct e;
    e.found = true;
    const size_t value_start = rest.find_first_not_of(" \t");
    if (value_start != std::string::npos) e.d_text = rest.substr(value_start);
    e.d_int_array = leading_numbers(rest);
    if (!e.d_int_array.empty()) e.d_int = e.d_int_array[0];
    if (e.d_int_array.size() < 4) e.d_int_array.resize(4, 0);
    entries_[name] = std::move(e);  // a later line of the same name wins
  }
}

bool Config::load(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  std::ostringstream text;
  text << f.rdbuf();
  parse(text.str());
  return true;
}

D_conf_struct* Config::find(const std::string& name) {
  if (!lookup_error_.empty()) throw std::runtime_error(lookup_error_);
  auto it = entries_.find(name);
  return it != entries_.end() ? &it->second : nullptr;
}

void Config::set_lookup_error(const std::string& what) {
  lookup_error_ = what;
}

void Config::insert(D_fct* p, int data_type) {
  if (p != nullptr) registered_.emplace_back(p, data_type);
}

std::vector<std::pair<D_fct*, int>> Config::registered() const {
  return registered_;
}

// ---------------------------------------------------------------------------------------------
// D_fct

namespace {

// The one copy of a description text; never freed, as properties may outlive any owner of it.
const std::string* pooled_description(const std::string& text) {
  static std::mutex mx;
  static auto* pool = new std::unordered_set<std::string>();
  std::lock_guard<std::mutex> lk(mx);
  return &*pool->insert(text).first;
}

}  // namespace

D_fct::D_fct(const std::string& pn, EqFct* ef, unsigned nbuf) : location_(ef), nbuf_(nbuf) {
  const size_t blank = pn.find(' ');
  if (blank == std::string::npos) {
    name_ = pn;
    description_ = pooled_description(std::string());
  } else {
    name_ = pn.substr(0, blank);
    description_ = pooled_description(pn.substr(blank + 1));
  }
  if (location_ != nullptr) location_->add_property(this);
}

D_fct::~D_fct() {
  if (location_ != nullptr) location_->remove_property(this);
}

void D_fct::get(EqAdr*, EqData*, EqData* result, EqFct*) {
  if (result != nullptr) result->error(kErrUnsupported, get_error_string(kErrUnsupported));
}

void D_fct::set(EqAdr*, EqData*, EqData* result, EqFct*) {
  if (result != nullptr) result->error(kErrUnsupported, get_error_string(kErrUnsupported));
}

void D_fct::names(EqAdr*, EqData* result, int*) {
  if (result == nullptr) return;
  result->set_string(description_->empty() ? name_ : name_ + " " + *description_);
}

void D_fct::get_multi(EqAdr*, EqData*, EqData* result, int* i, const char* addr, time_t* tm) {
  if (result == nullptr || i == nullptr) return;
  // A property without a value of its own answers with the error element.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  result->set(INT_MAX, nan, nan, tm != nullptr ? *tm : 0, addr != nullptr ? addr : "", *i);
}

void D_fct::conf(Config* c) {
  conf_insert(c, data_type());
}

void D_fct::read() {}

void D_fct::write(std::ostream& ofile) {
  ofile << name_ << ':';
}

const char* D_fct::comment() const {
  return description_->c_str();
}

void D_fct::conf_insert(Config* c, int data_type) {
  config_ = c;
  if (c != nullptr) c->insert(this, data_type);
}

void D_fct::conf_process(EqFct*, int) {}

D_conf_struct* D_fct::find_prop_name() {
  return config_ != nullptr ? config_->find(name_) : nullptr;
}

D_fct::Record& D_fct::record_locked() {
  if (!record_) record_ = std::make_unique<Record>();
  return *record_;
}

void D_fct::dump(const std::string& line) {
  std::lock_guard<std::mutex> lk(mx_);
  record_locked().last_dump = line;
}

std::string D_fct::last_dump() const {
  std::lock_guard<std::mutex> lk(mx_);
  return record_ ? record_->last_dump : std::string();
}

void D_fct::set_timestamp(tavik::Timestamp ts) {
  std::lock_guard<std::mutex> lk(mx_);
  ts_ = ts;
}

tavik::Timestamp D_fct::get_timestamp() const {
  std::lock_guard<std::mutex> lk(mx_);
  return ts_;
}

void D_fct::set_event_id(tavik::EventId ev) {
  std::lock_guard<std::mutex> lk(mx_);
  ev_ = ev;
}

tavik::EventId D_fct::get_event_id() const {
  std::lock_guard<std::mutex> lk(mx_);
  return ev_;
}

void D_fct::set_buf_value(EqData* ed, int64_t event, int64_t s, int us) {
  if (ed == nullptr || nbuf_ == 0) return;
  std::lock_guard<std::mutex> lk(mx_);
  if (!slots_) slots_ = std::make_unique<std::deque<Slot>>();
  slots_->push_back(Slot{event, s, us, *ed});
  while (slots_->size() > nbuf_) slots_->pop_front();
}

int D_fct::get_buf_value(EqData* out, int64_t event, int64_t s, int us) {
  if (out == nullptr) return kErrNoData;
  std::lock_guard<std::mutex> lk(mx_);
  if (!slots_) return kErrNoData;
  const std::deque<Slot>& slots = *slots_;
  const Slot* hit = nullptr;
  if (event > 0) {
    for (auto it = slots.rbegin(); it != slots.rend() && hit == nullptr; ++it) {
      if (it->event == event) hit = &*it;
    }
  } else if (s > 0) {
    auto not_after = [s, us](const Slot& x) { return x.sec < s || (x.sec == s && x.usec <= us); };
    auto later = [](const Slot& a, const Slot& b) {
      return a.sec > b.sec || (a.sec == b.sec && a.usec > b.usec);
    };
    // Oldest to newest, so that among equal times the slot filed last is kept.
    for (const Slot& x : slots) {
      if (not_after(x) && (hit == nullptr || !later(*hit, x))) hit = &x;
    }
  } else if (!slots.empty()) {
    hit = &slots.back();
  }
  if (hit == nullptr) return kErrNoData;
  *out = hit->data;
  return 0;
}

int D_fct::send_header(dmsg_info* ip, int kind) {
  std::lock_guard<std::mutex> lk(mx_);
  Record& r = record_locked();
  r.sent_header = ip != nullptr ? *ip : dmsg_info{};
  r.sent_kind = kind;
  return r.header_result;
}

int D_fct::send_data(const unsigned char* data, unsigned length, int flags) {
  std::lock_guard<std::mutex> lk(mx_);
  Record& r = record_locked();
  if (data != nullptr) {
    r.sent_data.assign(data, data + length);
  } else {
    r.sent_data.clear();
  }
  r.sent_flags = flags;
  return r.data_result;
}

std::vector<unsigned char> D_fct::last_sent_data() const {
  std::lock_guard<std::mutex> lk(mx_);
  return record_ ? record_->sent_data : std::vector<unsigned char>();
}

void D_fct::set_send_result(int header_result, int data_result) {
  std::lock_guard<std::mutex> lk(mx_);
  Record& r = record_locked();
  r.header_result = header_result;
  r.data_result = data_result;
}

dmsg_info D_fct::last_sent_header() const {
  std::lock_guard<std::mutex> lk(mx_);
  return record_ ? record_->sent_header : dmsg_info{};
}

int D_fct::last_sent_kind() const {
  std::lock_guard<std::mutex> lk(mx_);
  return record_ ? record_->sent_kind : -1;
}

int D_fct::last_sent_flags() const {
  std::lock_guard<std::mutex> lk(mx_);
  return record_ ? record_->sent_flags : -1;
}
