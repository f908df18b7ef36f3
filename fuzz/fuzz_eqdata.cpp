// Conversions of client data: an EqData of every data type, built from the input with the
// setters clients use, read back with get_int, get_long, get_double, get_string and get_iiii,
// and written to integer properties (client write with its change log, reads with event and
// time selectors, multi-read elements). The integer conversion is checked against the table the
// framework documents: 32-bit types as they are, 64-bit types by their low 32 bits, 16-bit types
// sign- or zero-extended, reals truncated toward zero (saturating, NaN 0), arrays by their first
// element, every other type 0.
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "tavik.h"

namespace {

int low32(int64_t v) {
  return static_cast<int32_t>(static_cast<uint32_t>(v));
}

int truncated(double r) {
  if (std::isnan(r)) return 0;
  const double t = std::trunc(r);
  if (t < -2147483648.0) return std::numeric_limits<int>::min();
  if (t > 2147483647.0) return std::numeric_limits<int>::max();
  return static_cast<int>(t);
}

float real_f(fuzz::Input& in) {
  const uint32_t bits = in.u32();
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

double real_d(fuzz::Input& in) {
  const uint64_t bits = in.u64();
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

// Builds one datum; returns the value get_int() must give.
int build(fuzz::Input& in, EqData& d) {
  const unsigned n = in.u8() % 4;  // array length 0..3
  switch (in.u8() % 23) {
    case 0: {
      const int v = in.i32();
      d.set(v);
      return v;
    }
    case 1: {
      const bool v = in.flag();
      d.set_bool(v);
      return v ? 1 : 0;
    }
    case 2: {
      const uint32_t v = in.u32();
      d.set_uint(v);
      return static_cast<int32_t>(v);
    }
    case 3: {
      const int64_t v = static_cast<int64_t>(in.u64());
      d.set_long(v);
      return low32(v);
    }
    case 4: {
      const uint64_t v = in.u64();
      d.set_ulong(v);
      return low32(static_cast<int64_t>(v));
    }
    case 5: {
      const int16_t v = static_cast<int16_t>(in.u16());
      d.set_short(v);
      return v;
    }
    case 6: {
      const uint16_t v = in.u16();
      d.set_ushort(v);
      return v;
    }
    case 7: {
      const float v = real_f(in);
      d.set_float(v);
      return truncated(v);
    }
    case 8: {
      const double v = real_d(in);
      d.set_double(v);
      return truncated(v);
    }
    case 9:
      d.set_string(in.text(40));
      return 0;
    case 10: {
      IIII v{in.i32(), in.i32(), in.i32(), in.i32()};
      d.set(v);
      return 0;
    }
    case 11:
    case 12:
    case 13: {
      static const int types[] = {DATA_A_INT, DATA_A_UINT, DATA_A_BOOL};
      const int type = types[(in.u8() % 3)];
      std::vector<int32_t> v;
      for (unsigned k = 0; k < n; ++k) v.push_back(in.i32());
      d.set_array_int(v, type);
      if (v.empty()) return 0;
      return type == DATA_A_BOOL ? (v[0] != 0 ? 1 : 0) : v[0];
    }
    case 14:
    case 15: {
      std::vector<int64_t> v;
      for (unsigned k = 0; k < n; ++k) v.push_back(static_cast<int64_t>(in.u64()));
      d.set_array_long(v, in.flag() ? DATA_A_ULONG : DATA_A_LONG);
      return v.empty() ? 0 : low32(v[0]);
    }
    case 16: {
      std::vector<int16_t> v;
      for (unsigned k = 0; k < n; ++k) v.push_back(static_cast<int16_t>(in.u16()));
      d.set_array_short(v);
      return v.empty() ? 0 : v[0];
    }
    case 17: {
      std::vector<uint16_t> v;
      for (unsigned k = 0; k < n; ++k) v.push_back(in.u16());
      d.set_array_ushort(v);
      return v.empty() ? 0 : v[0];
    }
    case 18: {
      std::vector<float> v;
      for (unsigned k = 0; k < n; ++k) v.push_back(real_f(in));
      d.set_array_float(v);
      return v.empty() ? 0 : truncated(v[0]);
    }
    case 19: {
      std::vector<double> v;
      for (unsigned k = 0; k < n; ++k) v.push_back(real_d(in));
      d.set_array_double(v);
      return v.empty() ? 0 : truncated(v[0]);
    }
    case 20: {
      const int index = static_cast<int>(in.u8() % 8);
      d.set(in.i32(), real_f(in), real_f(in), static_cast<time_t>(in.i32()), in.text(16), index);
      return 0;
    }
    case 21:
      d.error(static_cast<int>(in.u8()), in.text(16));
      return 0;
    default:
      d.init();
      return 0;
  }
}

struct Props {
  EqFct loc{"FUZZ"};
  D_int* plain;
  D_int* buffered;
  Props() {
    plain = new D_int("E.PLAIN", &loc);
    buffered = new D_int("E.BUF", &loc, 4);
    loc.own(plain);
    loc.own(buffered);
    plain->set_logging(true);
  }
};

Props& props() {
  static Props* p = new Props;
  return *p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  tavik::LogCapture log;
  EqData d;
  const int expect = build(in, d);

  FUZZ_CHECK(d.get_int() == expect);
  (void)d.get_string();
  (void)d.get_double(0);
  (void)d.get_float(0);
  for (int k = -1; k < 5; ++k) {
    (void)d.get_int(k);
    (void)d.get_long(k);
  }
  FUZZ_CHECK((d.get_iiii() != nullptr) == (d.type() == DATA_IIII && d.error() == 0));
  FUZZ_CHECK(d.length() >= 0);

  Props& p = props();
  // A client write: the converted value, or error 5 and no change for erroneous input.
  const int before = p.plain->get_value();
  EqData result;
  p.plain->set(nullptr, &d, &result, nullptr);
  if (d.error() != 0) {
    FUZZ_CHECK(result.error() == 5);
    FUZZ_CHECK(p.plain->get_value() == before);
    FUZZ_CHECK(log.count("D_value") == 0);
  } else {
    FUZZ_CHECK(result.error() == 0);
    FUZZ_CHECK(p.plain->get_value() == expect);
    const auto lines = log.with_label("D_value");
    FUZZ_CHECK(lines.size() == 1);
    FUZZ_CHECK(lines[0].message ==
               "E.PLAIN changed from " + std::to_string(before) + " to " + std::to_string(expect));
  }

  // Reads with the datum as selector: the value without slots, a buffered value or an error
  // with slots.
  EqData out;
  p.plain->get(nullptr, &d, &out, nullptr);
  FUZZ_CHECK(out.type() == DATA_INT && out.get_int() == p.plain->get_value());

  p.buffered->set_value(in.i32(), static_cast<int64_t>(in.u8() % 4), static_cast<time_t>(in.u8()),
                        0);
  EqData bout;
  p.buffered->get(nullptr, &d, &bout, nullptr);
  FUZZ_CHECK(bout.error() != 0 ? bout.error() == D_fct::kErrNoData : bout.type() == DATA_INT);
  (void)p.buffered->value(in.u64(), static_cast<time_t>(in.i32()), in.i32());

  // A multi-read element at the index the input names.
  EqData multi;
  int index = static_cast<int>(in.u8() % 8);
  time_t tm = static_cast<time_t>(in.i32());
  p.buffered->get_multi(nullptr, &d, &multi, &index, "addr", &tm);
  const EqData::MdaElement* e = multi.get_mda(index);
  FUZZ_CHECK(e != nullptr && e->tm == tm && e->text == "addr");
  return 0;
}
