// Plain types shared by the framework and the properties built on it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A record of four signed 32-bit integers (data type 14).
struct IIII {
  int32_t i1_data = 0;
  int32_t i2_data = 0;
  int32_t i3_data = 0;
  int32_t i4_data = 0;
};

inline bool operator==(const IIII& a, const IIII& b) {
  return a.i1_data == b.i1_data && a.i2_data == b.i2_data && a.i3_data == b.i3_data &&
         a.i4_data == b.i4_data;
}
inline bool operator!=(const IIII& a, const IIII& b) {
  return !(a == b);
}

namespace tavik {

// Nanoseconds since the Unix epoch; zero means "none given".
class Timestamp {
 public:
  Timestamp() = default;
  // (seconds * 1000000 + microseconds) * 1000 nanoseconds after the epoch.
  Timestamp(int64_t seconds, int64_t microseconds)
      : ns_((seconds * 1000000 + microseconds) * 1000) {}
  static Timestamp from_ns(int64_t ns) {
    Timestamp t;
    t.ns_ = ns;
    return t;
  }
  int64_t ns() const { return ns_; }
  // Whole seconds and the microseconds within the second (truncating division).
  int64_t seconds() const { return ns_ / 1000000000; }
  int64_t microseconds() const { return (ns_ % 1000000000) / 1000; }
  bool operator==(const Timestamp& o) const { return ns_ == o.ns_; }
  bool operator!=(const Timestamp& o) const { return ns_ != o.ns_; }

 private:
  int64_t ns_ = 0;
};

using EventId = int64_t;  // 0 means no event

}  // namespace tavik

using ArchiveStatus = uint16_t;
constexpr ArchiveStatus sts_ok = 0;
constexpr ArchiveStatus sts_err = 1;
constexpr ArchiveStatus sts_off = 2;
constexpr ArchiveStatus sts_ok2 = 4;
constexpr ArchiveStatus sts_offline = 6;
constexpr ArchiveStatus sts_la10 = 32768;

// Header of a data message.
struct dmsg_info {
  int64_t ident = 0;
  uint64_t sec = 0;
  uint32_t usec = 0;
  uint32_t stat = 0;
  uint32_t res0 = 0;
  uint32_t res1 = 0;
};

// A property's entry in the configuration. The integer array always holds at least four
// elements (missing ones are 0), so that a reader may take the first four unconditionally.
struct D_conf_struct {
  bool found = false;
  int d_int = 0;                 // first number of the line
  std::vector<int> d_int_array;  // every number of the line, padded with 0 to four
  std::string d_text;            // the value text, without its leading blanks and tabs
};

// Data-type codes of EqData.
enum : int {
  DATA_NULL = 0,
  DATA_INT = 1,
  DATA_FLOAT = 2,
  DATA_STRING = 3,
  DATA_BOOL = 4,
  DATA_DOUBLE = 6,
  DATA_IIII = 14,
  DATA_MDA_ELEMENT = 19,  // one element of a multi-property read (int, float, float, time, text)
  DATA_SHORT = 25,
  DATA_LONG = 26,
  DATA_USHORT = 27,
  DATA_UINT = 28,
  DATA_ULONG = 29,
  DATA_A_FLOAT = 100,
  DATA_A_INT = 105,
  DATA_A_DOUBLE = 110,
  DATA_A_UINT = 111,
  DATA_A_SHORT = 113,
  DATA_A_LONG = 114,
  DATA_A_USHORT = 116,
  DATA_A_BOOL = 117,
  DATA_A_ULONG = 118,
};
