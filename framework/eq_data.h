// EqData: the container in which clients and properties exchange one datum.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "tavik_types.h"

class EqData {
 public:
  // One element of a multi-property read.
  struct MdaElement {
    int i = 0;
    float f1 = 0;
    float f2 = 0;
    time_t tm = 0;
    std::string text;
  };

  EqData();
  void init();  // empty (DATA_NULL), no error

  int type() const;
  int length() const;  // number of elements (1 for a scalar, 0 when empty)
  int error() const;   // error code; 0 when none

  // Marks the datum as an error with its code and text; the text is then get_string().
  void error(int code, const std::string& text);

  // The datum as text (the error text when an error is set).
  std::string get_string() const;
  // The datum converted to int following the integer conversion table of the framework
  // (scalars, first element of arrays; 0 for other types).
  int get_int() const;
  // Element `index`: an array element, a field of an IIII (0..3), or the scalar for index 0;
  // 0 when out of range.
  int get_int(int index) const;
  int64_t get_long(int index) const;
  float get_float(int index = 0) const;
  double get_double(int index = 0) const;
  // The record when the datum is an IIII, else nullptr. Valid while this object lives unchanged.
  IIII* get_iiii();

  void set(int v);
  void set(const IIII& v);
  // Writes element `index` of a multi-property read (type DATA_MDA_ELEMENT); the container grows
  // to hold it.
  void set(int i, float f1, float f2, time_t tm, const std::string& text, int index);
  const MdaElement* get_mda(int index) const;

  // Setters for the other data types (used by clients and tests).
  void set_bool(bool v);
  void set_uint(uint32_t v);
  void set_float(float v);
  void set_double(double v);
  void set_short(int16_t v);
  void set_ushort(uint16_t v);
  void set_long(int64_t v);
  void set_ulong(uint64_t v);
  void set_string(const std::string& v);
  // Arrays: `type` one of DATA_A_INT, DATA_A_UINT, DATA_A_BOOL (32-bit elements).
  void set_array_int(const std::vector<int32_t>& v, int type = DATA_A_INT);
  // `type` one of DATA_A_LONG, DATA_A_ULONG.
  void set_array_long(const std::vector<int64_t>& v, int type = DATA_A_LONG);
  void set_array_short(const std::vector<int16_t>& v);
  void set_array_ushort(const std::vector<uint16_t>& v);
  void set_array_float(const std::vector<float>& v);
  void set_array_double(const std::vector<double>& v);

 private:
  // A scalar of an integer or a floating type code.
  void set_integer(int type, int64_t v);
  void set_real(int type, double v);

  int type_ = DATA_NULL;
  int error_ = 0;
  std::vector<int64_t> ints_;  // every integer type, sign- or zero-extended as stored
  std::vector<double> reals_;  // float and double types
  std::string text_;           // string datum or error text
  IIII iiii_;
  std::vector<MdaElement> mda_;
};
