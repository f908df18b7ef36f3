// EqData: one datum exchanged between a client and a property.
#include "eq_data.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <sstream>

namespace {

// Truncation toward zero that saturates instead of overflowing: NaN gives 0, values beyond the
// target range give its nearest bound.
template <class Int, class Real>
Int truncate_saturating(Real r) {
  if (std::isnan(r)) return 0;
  const Real t = std::trunc(r);
  if (t <= static_cast<Real>(std::numeric_limits<Int>::min())) {
    return std::numeric_limits<Int>::min();
  }
  // max() is not exactly representable for wide integers; anything at or above 2^(digits)
  // saturates.
  if (t >= std::ldexp(static_cast<Real>(1), std::numeric_limits<Int>::digits)) {
    return std::numeric_limits<Int>::max();
  }
  return static_cast<Int>(t);
}

// The low 32 bits of a stored integer, read as a signed int.
int low32(int64_t v) {
  return static_cast<int32_t>(static_cast<uint32_t>(v));
}

bool is_integer_type(int t) {
  switch (t) {
    case DATA_INT:
    case DATA_BOOL:
    case DATA_UINT:
    case DATA_LONG:
    case DATA_ULONG:
    case DATA_SHORT:
    case DATA_USHORT:
    case DATA_A_INT:
    case DATA_A_UINT:
    case DATA_A_BOOL:
    case DATA_A_LONG:
    case DATA_A_ULONG:
    case DATA_A_SHORT:
    case DATA_A_USHORT:
      return true;
    default:
      return false;
  }
}

bool is_real_type(int t) {
  return t == DATA_FLOAT || t == DATA_DOUBLE || t == DATA_A_FLOAT || t == DATA_A_DOUBLE;
}

// An absurd element index of a multi-read must not make the container allocate gigabytes.
constexpr int kMaxMdaElements = 1 << 16;

}  // namespace

EqData::EqData() = default;

void EqData::init() {
  type_ = DATA_NULL;
  error_ = 0;
  ints_.clear();
  reals_.clear();
  text_.clear();
  iiii_ = IIII{};
  mda_.clear();
}

int EqData::type() const {
  return type_;
}

int EqData::length() const {
  if (is_integer_type(type_)) return static_cast<int>(ints_.size());
  if (is_real_type(type_)) return static_cast<int>(reals_.size());
  if (type_ == DATA_MDA_ELEMENT) return static_cast<int>(mda_.size());
  return type_ == DATA_NULL ? 0 : 1;  // text, IIII
}

int EqData::error() const {
  return error_;
}

void EqData::error(int code, const std::string& text) {
  init();
  type_ = DATA_STRING;
  error_ = code;
  text_ = text;
}

std::string EqData::get_string() const {
  if (type_ == DATA_STRING) return text_;
  std::ostringstream os;
  if (type_ == DATA_IIII) {
    os << iiii_.i1_data << ' ' << iiii_.i2_data << ' ' << iiii_.i3_data << ' ' << iiii_.i4_data;
  } else if (is_integer_type(type_)) {
    const bool is_unsigned64 = type_ == DATA_ULONG || type_ == DATA_A_ULONG;
    for (size_t k = 0; k < ints_.size(); ++k) {
      if (k != 0) os << ' ';
      if (is_unsigned64) {
        os << static_cast<uint64_t>(ints_[k]);
      } else {
        os << ints_[k];
      }
    }
  } else if (is_real_type(type_)) {
    for (size_t k = 0; k < reals_.size(); ++k) {
      if (k != 0) os << ' ';
      os << reals_[k];
    }
  } else if (type_ == DATA_MDA_ELEMENT) {
    for (size_t k = 0; k < mda_.size(); ++k) {
      if (k != 0) os << '\n';
      const MdaElement& e = mda_[k];
      os << e.i << ' ' << e.f1 << ' ' << e.f2 << ' ' << e.tm << ' ' << e.text;
    }
  }
  return os.str();
}

int EqData::get_int() const {
  switch (type_) {
    case DATA_INT:
    case DATA_BOOL:
    case DATA_UINT:  // the 32 bits as a signed int
    case DATA_LONG:
    case DATA_ULONG:   // low 32 bits
    case DATA_SHORT:   // stored sign-extended
    case DATA_USHORT:  // stored zero-extended
    case DATA_A_INT:
    case DATA_A_UINT:
    case DATA_A_BOOL:
    case DATA_A_LONG:
    case DATA_A_ULONG:
    case DATA_A_SHORT:
    case DATA_A_USHORT:
      return ints_.empty() ? 0 : low32(ints_[0]);
    case DATA_FLOAT:
    case DATA_DOUBLE:
    case DATA_A_FLOAT:
    case DATA_A_DOUBLE:
      return reals_.empty() ? 0 : truncate_saturating<int>(reals_[0]);
    default:
      return 0;
  }
}

int EqData::get_int(int index) const {
  if (index < 0) return 0;
  const size_t k = static_cast<size_t>(index);
  if (type_ == DATA_IIII) {
    switch (index) {
      case 0:
        return iiii_.i1_data;
      case 1:
        return iiii_.i2_data;
      case 2:
        return iiii_.i3_data;
      case 3:
        return iiii_.i4_data;
      default:
        return 0;
    }
  }
  if (is_integer_type(type_)) return k < ints_.size() ? low32(ints_[k]) : 0;
  if (is_real_type(type_)) return k < reals_.size() ? truncate_saturating<int>(reals_[k]) : 0;
  if (type_ == DATA_MDA_ELEMENT) return k < mda_.size() ? mda_[k].i : 0;
  return 0;
}

int64_t EqData::get_long(int index) const {
  if (index < 0) return 0;
  const size_t k = static_cast<size_t>(index);
  if (is_integer_type(type_)) return k < ints_.size() ? ints_[k] : 0;
  if (is_real_type(type_)) return k < reals_.size() ? truncate_saturating<int64_t>(reals_[k]) : 0;
  return get_int(index);  // IIII fields, multi-read elements
}

double EqData::get_double(int index) const {
  if (index < 0) return 0;
  const size_t k = static_cast<size_t>(index);
  if (is_real_type(type_)) return k < reals_.size() ? reals_[k] : 0;
  if (type_ == DATA_ULONG || type_ == DATA_A_ULONG) {
    return k < ints_.size() ? static_cast<double>(static_cast<uint64_t>(ints_[k])) : 0;
  }
  if (is_integer_type(type_)) return k < ints_.size() ? static_cast<double>(ints_[k]) : 0;
  if (type_ == DATA_MDA_ELEMENT) return k < mda_.size() ? static_cast<double>(mda_[k].f1) : 0;
  return static_cast<double>(get_int(index));
}

float EqData::get_float(int index) const {
  return static_cast<float>(get_double(index));
}

IIII* EqData::get_iiii() {
  return type_ == DATA_IIII ? &iiii_ : nullptr;
}

void EqData::set_integer(int type, int64_t v) {
  init();
  type_ = type;
  ints_.push_back(v);
}

void EqData::set_real(int type, double v) {
  init();
  type_ = type;
  reals_.push_back(v);
}

void EqData::set(int v) {
  set_integer(DATA_INT, v);
}

void EqData::set(const IIII& v) {
  init();
  type_ = DATA_IIII;
  iiii_ = v;
}

void EqData::set(int i, float f1, float f2, time_t tm, const std::string& text, int index) {
  if (index < 0 || index >= kMaxMdaElements) return;
  if (type_ != DATA_MDA_ELEMENT || error_ != 0) {
    init();
    type_ = DATA_MDA_ELEMENT;
  }
  const size_t k = static_cast<size_t>(index);
  if (mda_.size() <= k) mda_.resize(k + 1);
  mda_[k] = MdaElement{i, f1, f2, tm, text};
}

const EqData::MdaElement* EqData::get_mda(int index) const {
  if (type_ != DATA_MDA_ELEMENT || index < 0) return nullptr;
  const size_t k = static_cast<size_t>(index);
  return k < mda_.size() ? &mda_[k] : nullptr;
}

void EqData::set_bool(bool v) {
  set_integer(DATA_BOOL, v ? 1 : 0);
}

void EqData::set_uint(uint32_t v) {
  set_integer(DATA_UINT, v);
}

void EqData::set_float(float v) {
  set_real(DATA_FLOAT, v);
}

void EqData::set_double(double v) {
  set_real(DATA_DOUBLE, v);
}

void EqData::set_short(int16_t v) {
  set_integer(DATA_SHORT, v);
}

void EqData::set_ushort(uint16_t v) {
  set_integer(DATA_USHORT, v);
}

void EqData::set_long(int64_t v) {
  set_integer(DATA_LONG, v);
}

void EqData::set_ulong(uint64_t v) {
  set_integer(DATA_ULONG, static_cast<int64_t>(v));  // the bit pattern; readers know the type
}

void EqData::set_string(const std::string& v) {
  init();
  type_ = DATA_STRING;
  text_ = v;
}

void EqData::set_array_int(const std::vector<int32_t>& v, int type) {
  init();
  type_ = (type == DATA_A_UINT || type == DATA_A_BOOL) ? type : DATA_A_INT;
  ints_.reserve(v.size());
  for (int32_t e : v) {
    if (type_ == DATA_A_UINT) {
      ints_.push_back(static_cast<uint32_t>(e));
    } else if (type_ == DATA_A_BOOL) {
      ints_.push_back(e != 0 ? 1 : 0);
    } else {
      ints_.push_back(e);
    }
  }
}

void EqData::set_array_long(const std::vector<int64_t>& v, int type) {
  init();
  type_ = type == DATA_A_ULONG ? DATA_A_ULONG : DATA_A_LONG;
  ints_ = v;
}

void EqData::set_array_short(const std::vector<int16_t>& v) {
  init();
  type_ = DATA_A_SHORT;
  ints_.assign(v.begin(), v.end());
}

void EqData::set_array_ushort(const std::vector<uint16_t>& v) {
  init();
  type_ = DATA_A_USHORT;
  ints_.assign(v.begin(), v.end());
}

void EqData::set_array_float(const std::vector<float>& v) {
  init();
  type_ = DATA_A_FLOAT;
  reals_.assign(v.begin(), v.end());
}

void EqData::set_array_double(const std::vector<double>& v) {
  init();
  type_ = DATA_A_DOUBLE;
  reals_ = v;
}
