// The integer value property D_int: storage, update, client access, configuration line and
// data message.
#include "d_value.h"

#include <climits>
#include <cstring>
#include <limits>
#include <ostream>
#include <sstream>

namespace tavik {
namespace {

constexpr int kErrIllegalData = 5;
constexpr int kErrWrongArchiverType = 126;

// The event / time selector of a client read.
struct Selector {
  int64_t event;
  int64_t sec = 0;
  int usec = 0;
};

// The low 32 bits of a 64-bit element, read as a signed int.
int low32(int64_t v) {
  return static_cast<int32_t>(static_cast<uint32_t>(v));
}

// Reads the selector a request carries in `in`; returns false when the request carries none
// (`sel` is then unchanged). With `only_long_array` only the array-of-64-bit-integers form
// counts (multi-reads).
bool read_selector(const EqData* in, Selector* sel, bool only_long_array) {
  if (in == nullptr) return false;
  const int t = in->type();
  if (only_long_array && t != DATA_A_LONG) return false;
  switch (t) {
    case DATA_A_LONG: {
      const int n = in->length();
      if (n < 1 || n > 3) return false;
      sel->event = in->get_long(0);
      sel->sec = n > 1 ? in->get_long(1) : 0;
      sel->usec = n > 2 ? low32(in->get_long(2)) : 0;
      return true;
    }
    case DATA_LONG:
    case DATA_INT:
      sel->event = in->get_long(0);
      sel->sec = 0;
      sel->usec = 0;
      return true;
    case DATA_IIII:
      sel->event = in->get_int(0);
      sel->sec = in->get_int(1);
      sel->usec = in->get_int(2);
      return true;
    default:
      return false;
  }
}

}  // namespace

D_value<int>::D_value(const std::string& pn, EqFct* ef, unsigned nbuf) : D_fct(pn, ef, nbuf) {
  dmsg_supported();
}

D_value<int>::~D_value() = default;

int D_value<int>::get_value() const {
  return value_.load();
}

int D_value<int>::value() {
  return value_.load();
}

void D_value<int>::set_value(int val) {
  D_value<int>::set_value(val, Timestamp(), EventId{0}, sts_ok);
}

void D_value<int>::set_value(int val, int64_t evid, time_t sec, int usec) {
  D_value<int>::set_value(val, Timestamp(static_cast<int64_t>(sec), usec), EventId{evid}, sts_ok);
}

void D_value<int>::set_value(int val, Timestamp ts, EventId ev, ArchiveStatus status) {
  ts = launder_timestamp(ts);
  ev = launder_event_id(ev);

  value_.store(val);
  set_timestamp(ts);
  set_event_id(ev);

  const int64_t sec = ts.seconds();
  const int64_t usec = ts.microseconds();
  int err = 0;
  if (hist_) {
    hist_->fill_hist(val, status, static_cast<unsigned>(static_cast<uint32_t>(sec)),
                     static_cast<unsigned>(usec / 1000), &err);
  }
  if (err == kErrWrongArchiverType) {
    throw Error("Archiving failed with wrong archiver data type");
  }

  if (ev != 0 && get_nbuf() != 0) {
    EqData ed;
    ed.set(val);
    set_buf_value(&ed, ev, sec, static_cast<int>(usec));
  }
}

void D_value<int>::read() {
  D_conf_struct* e = nullptr;
  try {
    e = find_prop_name();
  } catch (const std::exception& x) {
    printtostderr("read", x.what(), DF_LOG);
    return;
  }
  if (e != nullptr && e->found) value_.store(e->d_int);
}

void D_value<int>::conf(Config* c) {
  conf_insert(c, DATA_INT);
}

void D_value<int>::conf_process(EqFct* ef, int i) {
  D_fct::conf_process(ef, i);
  if (hist_) {
    hist_->dynamic(dynamic());
    hist_->conf_process(ef, i);
  }
}

void D_value<int>::auto_init() {
  if (arch_en_ && hist_) hist_->auto_init();
}

void D_value<int>::set_hist(std::unique_ptr<D_hist> h) {
  hist_ = std::move(h);
}

void D_value<int>::get(EqAdr*, EqData* data_in, EqData* result, EqFct*) {
  if (result == nullptr) return;
  Selector sel{-1};
  read_selector(data_in, &sel, false);
  if (get_nbuf() == 0) {
    result->set(value_.load());
    return;
  }
  const int rc = get_buf_value(result, sel.event, sel.sec, sel.usec);
  if (rc != 0) result->error(rc, get_error_string(rc));
}

void D_value<int>::set(EqAdr*, EqData* data_in, EqData* result, EqFct* location) {
  if (data_in == nullptr || data_in->error() != 0) {
    if (result != nullptr) {
      result->error(kErrIllegalData,
                    "Cannot assign erroneous input data: " +
                        (data_in != nullptr ? data_in->get_string() : std::string()));
    }
    return;
  }
  const int nv = data_in->get_int();
  if (logging()) {
    std::string line =
        basename() + " changed from " + std::to_string(value_.load()) + " to " + std::to_string(nv);
    if (location != nullptr) {
      line += " by " + get_user_and_host(location);
      printtostderr(get_location_name(location), line, DF_LOG);
    } else {
      printtostderr("D_value", line, DF_LOG);
    }
  }
  set_value(nv);  // virtual: subclasses act on client writes
}

void D_value<int>::get_multi(EqAdr*, EqData* data_in, EqData* result, int* i, const char* addr,
                             time_t* tm) {
  // The pointers must be valid; a server must not crash on a caller that breaks that.
  if (result == nullptr || i == nullptr || tm == nullptr) return;
  const std::string text = addr != nullptr ? addr : "";
  const float nan = std::numeric_limits<float>::quiet_NaN();
  auto write_error = [&] { result->set(INT_MAX, nan, nan, *tm, text, *i); };
  auto write_value = [&](int v) {
    result->set(v, static_cast<float>(v), static_cast<float>(v), *tm, text, *i);
  };

  if (data_in != nullptr && data_in->type() == DATA_A_LONG) {
    Selector sel{0};
    read_selector(data_in, &sel, true);
    EqData buffered;
    if (get_buf_value(&buffered, sel.event, sel.sec, sel.usec) != 0) {
      write_error();
    } else {
      write_value(buffered.get_int());
    }
    return;
  }
  if (d_error() != 0) {
    write_error();
  } else {
    write_value(value_.load());
  }
}

int D_value<int>::value(uint64_t evid, time_t sec, int usec) {
  EqData buffered;
  if (get_buf_value(&buffered, static_cast<int64_t>(evid), static_cast<int64_t>(sec), usec) != 0) {
    return value_.load();
  }
  return buffered.get_int();
}

void D_value<int>::write(std::ostream& ofile) {
  D_fct::write(ofile);
  std::ostringstream os;
  os << '\t' << value_.load() << '\n';
  const std::string text = os.str();
  ofile << text;
  ofile.flush();
  dump(text);
}

int D_value<int>::send(dmsg_info* ip) {
  const int rc = send_header(ip, 1);
  if (rc != 0) return rc;
  const int v = value_.load();
  unsigned char bytes[sizeof v];
  std::memcpy(bytes, &v, sizeof v);
  return send_data(bytes, sizeof bytes, 0);
}

}  // namespace tavik
