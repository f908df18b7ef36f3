// The framework's small property classes: history, text, bound integer, IIII.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <sstream>

#include "eq_fct.h"

namespace {

constexpr int kErrIllegalData = 5;

// Rejects erroneous client input the way every property of the framework does; true when the
// input may be used.
bool input_usable(const EqData* in, EqData* result) {
  if (in != nullptr && in->error() == 0) return true;
  if (result != nullptr) {
    result->error(kErrIllegalData, "Cannot assign erroneous input data: " +
                                       (in != nullptr ? in->get_string() : std::string()));
  }
  return false;
}

// The configuration entry of `p`, or nullptr; a failing lookup is logged under "read".
D_conf_struct* conf_entry(D_fct* p) {
  try {
    return p->find_prop_name();
  } catch (const std::exception& e) {
    tavik::printtostderr("read", e.what(), DF_LOG);
    return nullptr;
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// D_hist

D_hist::D_hist(const std::string& pn, EqFct* ef) : D_fct(pn, ef) {}

void D_hist::fill_hist(int value, ArchiveStatus status, unsigned s, unsigned ms, int* err) {
  std::lock_guard<std::mutex> lk(hmx_);
  fills_.push_back(Fill{value, status, s, ms});
  if (err != nullptr) *err = fill_error_;
}

void D_hist::set_fill_error(int err) {
  std::lock_guard<std::mutex> lk(hmx_);
  fill_error_ = err;
}

std::vector<D_hist::Fill> D_hist::fills() const {
  std::lock_guard<std::mutex> lk(hmx_);
  return fills_;
}

void D_hist::conf_process(EqFct* ef, int i) {
  D_fct::conf_process(ef, i);
  ++conf_processes_;
}

// ---------------------------------------------------------------------------------------------
// D_string

D_string::D_string(const std::string& pn, EqFct* ef) : D_fct(pn, ef) {}

D_string::D_string(const std::string& pn, char* buf, unsigned short size, EqFct* ef)
    : D_fct(pn, ef) {
  // A buffer without room for even the terminating zero cannot hold a text; use our own.
  if (buf != nullptr && size > 0) {
    buf_ = buf;
    size_ = size;
  }
}

void D_string::get(EqAdr*, EqData*, EqData* result, EqFct*) {
  if (result != nullptr) result->set_string(value());
}

void D_string::set(EqAdr*, EqData* data_in, EqData* result, EqFct*) {
  if (input_usable(data_in, result)) set_value(data_in->get_string());
}

void D_string::read() {
  const D_conf_struct* e = conf_entry(this);
  if (e != nullptr && e->found) set_value(e->d_text);
}

void D_string::write(std::ostream& ofile) {
  D_fct::write(ofile);
  // A line break inside the text would end the configuration line early.
  std::string v = value();
  for (char& c : v) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  const std::string text = "\t" + v + "\n";
  ofile << text;
  ofile.flush();
  dump(text);
}

void D_string::set_value(const std::string& s) {
  std::lock_guard<std::mutex> lk(vmx_);
  if (buf_ == nullptr) {
    own_ = s;
    return;
  }
  const size_t n = std::min(s.size(), static_cast<size_t>(size_ - 1));
  std::memcpy(buf_, s.data(), n);
  buf_[n] = '\0';
}

std::string D_string::value() const {
  std::lock_guard<std::mutex> lk(vmx_);
  if (buf_ == nullptr) return own_;
  // The caller's buffer may lack a terminating zero; never read past its last text byte.
  return std::string(buf_, strnlen(buf_, static_cast<size_t>(size_ - 1)));
}

// ---------------------------------------------------------------------------------------------
// D_int_ptr

D_int_ptr::D_int_ptr(const std::string& pn, int* p, EqFct* ef)
    : D_fct(pn, ef), ptr_(p != nullptr ? p : &own_) {}

void D_int_ptr::get(EqAdr*, EqData*, EqData* result, EqFct*) {
  if (result != nullptr) result->set(value());
}

void D_int_ptr::set(EqAdr*, EqData* data_in, EqData* result, EqFct*) {
  if (input_usable(data_in, result)) set_value(data_in->get_int());
}

void D_int_ptr::set_ptr(int* p) {
  __atomic_store_n(&ptr_, p != nullptr ? p : &own_, __ATOMIC_SEQ_CST);
}

int* D_int_ptr::get_ptr() const {
  int* p = __atomic_load_n(&ptr_, __ATOMIC_SEQ_CST);
  return p == &own_ ? nullptr : p;
}

void D_int_ptr::set_value(int v) {
  __atomic_store_n(__atomic_load_n(&ptr_, __ATOMIC_SEQ_CST), v, __ATOMIC_SEQ_CST);
}

int D_int_ptr::value() {
  return __atomic_load_n(__atomic_load_n(&ptr_, __ATOMIC_SEQ_CST), __ATOMIC_SEQ_CST);
}

// ---------------------------------------------------------------------------------------------
// D_iiii

D_iiii::D_iiii(const std::string& pn, EqFct* ef) : D_fct(pn, ef) {}

void D_iiii::get(EqAdr*, EqData*, EqData* result, EqFct*) {
  if (result != nullptr) result->set(value());
}

void D_iiii::set(EqAdr*, EqData* data_in, EqData* result, EqFct*) {
  if (!input_usable(data_in, result)) return;
  const IIII* v = data_in->get_iiii();
  if (v == nullptr) {
    if (result != nullptr) {
      result->error(kErrIllegalData, "Cannot assign data of type " +
                                         std::to_string(data_in->type()) + " to an IIII");
    }
    return;
  }
  set_value(*v);
}

void D_iiii::read() {
  const D_conf_struct* e = conf_entry(this);
  if (e == nullptr || !e->found || e->d_int_array.size() < 4) return;
  set_value(IIII{e->d_int_array[0], e->d_int_array[1], e->d_int_array[2], e->d_int_array[3]});
}

void D_iiii::write(std::ostream& ofile) {
  D_fct::write(ofile);
  const IIII v = value();
  char buf[200];
  const int n = std::snprintf(buf, sizeof buf, " \t%d  %d  %d  %d\n", v.i1_data, v.i2_data,
                              v.i3_data, v.i4_data);
  const std::string text(buf, static_cast<size_t>(n));
  ofile << text;
  ofile.flush();
  dump(text);
}

void D_iiii::set_value(const IIII& v) {
  std::lock_guard<std::mutex> lk(vmx_);
  v_ = v;
}

IIII D_iiii::value() const {
  std::lock_guard<std::mutex> lk(vmx_);
  return v_;
}
