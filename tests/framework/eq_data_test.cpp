// EqData: the integer conversion by data type, element access, multi-read elements, errors.
#include "eq_data.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <functional>
#include <limits>
#include <set>

namespace {

struct ConversionCase {
  const char* what;
  int type;
  std::function<void(EqData&)> fill;
  int expected;
};

void PrintTo(const ConversionCase& c, std::ostream* os) {
  *os << c.what;
}

const std::vector<ConversionCase>& conversion_cases() {
  static const std::vector<ConversionCase> cases = {
      {"int", DATA_INT, [](EqData& d) { d.set(-5); }, -5},
      {"bool", DATA_BOOL, [](EqData& d) { d.set_bool(true); }, 1},
      {"uint all ones", DATA_UINT, [](EqData& d) { d.set_uint(0xFFFFFFFFu); }, -1},
      {"long high bits dropped", DATA_LONG, [](EqData& d) { d.set_long(0x100000007LL); }, 7},
      {"long negative", DATA_LONG, [](EqData& d) { d.set_long(-2); }, -2},
      {"ulong low bits", DATA_ULONG, [](EqData& d) { d.set_ulong(0xFFFFFFFF00000003ULL); }, 3},
      {"short sign-extended", DATA_SHORT, [](EqData& d) { d.set_short(-300); }, -300},
      {"ushort zero-extended", DATA_USHORT, [](EqData& d) { d.set_ushort(65535); }, 65535},
      {"float truncated", DATA_FLOAT, [](EqData& d) { d.set_float(3.9f); }, 3},
      {"float negative truncated", DATA_FLOAT, [](EqData& d) { d.set_float(-3.9f); }, -3},
      {"double truncated", DATA_DOUBLE, [](EqData& d) { d.set_double(-7.99); }, -7},
      {"int array", DATA_A_INT,
       [](EqData& d) {
         d.set_array_int({-9, 4});
       },
       -9},
      {"uint array", DATA_A_UINT,
       [](EqData& d) {
         d.set_array_int({-1, 2}, DATA_A_UINT);
       },
       -1},
      {"bool array", DATA_A_BOOL,
       [](EqData& d) {
         d.set_array_int({1, 0}, DATA_A_BOOL);
       },
       1},
      {"long array", DATA_A_LONG,
       [](EqData& d) {
         d.set_array_long({0x20000000BLL, 1});
       },
       11},
      {"ulong array", DATA_A_ULONG,
       [](EqData& d) {
         d.set_array_long({-1, 5}, DATA_A_ULONG);
       },
       -1},
      {"short array", DATA_A_SHORT,
       [](EqData& d) {
         d.set_array_short({-2, 3});
       },
       -2},
      {"ushort array", DATA_A_USHORT,
       [](EqData& d) {
         d.set_array_ushort({65534, 1});
       },
       65534},
      {"float array", DATA_A_FLOAT,
       [](EqData& d) {
         d.set_array_float({-2.5f, 9.f});
       },
       -2},
      {"double array", DATA_A_DOUBLE,
       [](EqData& d) {
         d.set_array_double({1000.7, 2});
       },
       1000},
      // Types outside the table convert to 0, whatever they hold.
      {"string", DATA_STRING, [](EqData& d) { d.set_string("42"); }, 0},
      {"IIII", DATA_IIII,
       [](EqData& d) {
         d.set(IIII{4, 5, 6, 7});
       },
       0},
      {"multi-read element", DATA_MDA_ELEMENT, [](EqData& d) { d.set(8, 1.f, 2.f, 0, "a", 0); }, 0},
      {"empty", DATA_NULL, [](EqData&) {}, 0},
  };
  return cases;
}

class IntegerConversion : public testing::TestWithParam<ConversionCase> {};

TEST_P(IntegerConversion, GetIntFollowsTheTypeTable) {
  EqData d;
  GetParam().fill(d);
  ASSERT_EQ(d.type(), GetParam().type);
  EXPECT_EQ(d.get_int(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(EveryTypeCode, IntegerConversion, testing::ValuesIn(conversion_cases()));

TEST(IntegerConversionTable, CoversEveryTypeCodeOfTheTable) {
  const std::set<int> table = {1,   4,   28,  26,  29,  25,  27,  2,   6,
                               105, 111, 117, 114, 118, 113, 116, 100, 110};
  std::set<int> covered;
  for (const auto& c : conversion_cases()) covered.insert(c.type);
  for (int code : table) EXPECT_TRUE(covered.count(code)) << code;
}

TEST(IntegerConversionTable, OutOfRangeRealsSaturateInsteadOfOverflowing) {
  EqData d;
  d.set_double(1e12);
  EXPECT_EQ(d.get_int(), INT_MAX);
  d.set_float(-1e12f);
  EXPECT_EQ(d.get_int(), INT_MIN);
  d.set_double(std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(d.get_int(), 0);
  d.set_array_double({});
  EXPECT_EQ(d.get_int(), 0);  // an empty array has no first element
}

TEST(EqDataAccess, ElementsFieldsAndLengths) {
  EqData d;
  EXPECT_EQ(d.type(), DATA_NULL);
  EXPECT_EQ(d.length(), 0);

  d.set_array_long({-5, 1LL << 40, 7});
  EXPECT_EQ(d.length(), 3);
  EXPECT_EQ(d.get_long(1), 1LL << 40);
  EXPECT_EQ(d.get_int(2), 7);
  EXPECT_EQ(d.get_long(3), 0);  // out of range
  EXPECT_EQ(d.get_int(-1), 0);
  EXPECT_EQ(d.get_iiii(), nullptr);

  d.set(IIII{1, -2, 3, 4});
  ASSERT_NE(d.get_iiii(), nullptr);
  EXPECT_EQ(*d.get_iiii(), (IIII{1, -2, 3, 4}));
  EXPECT_EQ(d.get_int(1), -2);
  EXPECT_EQ(d.get_int(3), 4);
  EXPECT_EQ(d.get_int(4), 0);
  EXPECT_EQ(d.length(), 1);

  d.set_double(2.5);
  EXPECT_DOUBLE_EQ(d.get_double(), 2.5);
  EXPECT_FLOAT_EQ(d.get_float(), 2.5f);
  EXPECT_EQ(d.get_iiii(), nullptr);
}

TEST(EqDataAccess, TextOfNumbersStringsAndErrors) {
  EqData d;
  d.set(-12);
  EXPECT_EQ(d.get_string(), "-12");
  d.set_ulong(18446744073709551615ULL);
  EXPECT_EQ(d.get_string(), "18446744073709551615");
  d.set(IIII{1, 2, 3, 4});
  EXPECT_EQ(d.get_string(), "1 2 3 4");
  d.set_string("hello");
  EXPECT_EQ(d.get_string(), "hello");
  EXPECT_EQ(d.error(), 0);

  d.error(101, "no data for this event or time");
  EXPECT_EQ(d.error(), 101);
  EXPECT_EQ(d.get_string(), "no data for this event or time");
  d.set(3);  // a new datum clears the error
  EXPECT_EQ(d.error(), 0);
  d.init();
  EXPECT_EQ(d.type(), DATA_NULL);
}

TEST(EqDataMultiRead, ElementsAreWrittenAtTheirIndex) {
  EqData d;
  d.set(5, 5.f, 6.f, 1234, "LOC/DEV/PROP", 2);
  EXPECT_EQ(d.type(), DATA_MDA_ELEMENT);
  EXPECT_EQ(d.length(), 3);
  const EqData::MdaElement* e = d.get_mda(2);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->i, 5);
  EXPECT_EQ(e->f1, 5.f);
  EXPECT_EQ(e->f2, 6.f);
  EXPECT_EQ(e->tm, 1234);
  EXPECT_EQ(e->text, "LOC/DEV/PROP");
  ASSERT_NE(d.get_mda(0), nullptr);
  EXPECT_EQ(d.get_mda(0)->i, 0);

  d.set(9, 0.f, 0.f, 0, "b", 0);  // a further element keeps the others
  EXPECT_EQ(d.get_mda(0)->i, 9);
  EXPECT_EQ(d.get_mda(2)->i, 5);
  EXPECT_EQ(d.get_mda(3), nullptr);

  d.set(1, 0.f, 0.f, 0, "c", -1);  // refused, not a crash
  EXPECT_EQ(d.length(), 3);
}

}  // namespace
