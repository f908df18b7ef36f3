// The configuration: parsing of "NAME: value" lines, registration, and the round trip of the lines
// that properties write.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tavik.h"

namespace {

TEST(ConfigParse, NumbersTextAndPadding) {
  Config c;
  c.parse(
      "# comment line\n"
      "\n"
      "A.BAUDRATE:\t6\n"
      "NODE: \t1  5  0  0\n"
      "SHORT:  7 -8\r\n"
      "TEXT:\tCAN module 2\n"
      "MIXED: 3 x 4\n"
      "EMPTY:\n"
      "no colon here\n");
  const D_conf_struct* e = c.find("A.BAUDRATE");
  ASSERT_NE(e, nullptr);
  EXPECT_TRUE(e->found);
  EXPECT_EQ(e->d_int, 6);
  EXPECT_EQ(e->d_int_array, (std::vector<int>{6, 0, 0, 0}));
  EXPECT_EQ(e->d_text, "6");

  EXPECT_EQ(c.find("NODE")->d_int_array, (std::vector<int>{1, 5, 0, 0}));
  EXPECT_EQ(c.find("SHORT")->d_int_array, (std::vector<int>{7, -8, 0, 0}));
  EXPECT_EQ(c.find("TEXT")->d_text, "CAN module 2");
  EXPECT_EQ(c.find("TEXT")->d_int, 0);
  EXPECT_EQ(c.find("MIXED")->d_int_array, (std::vector<int>{3, 0, 0, 0}));
  ASSERT_NE(c.find("EMPTY"), nullptr);
  EXPECT_EQ(c.find("EMPTY")->d_int_array.size(), 4u);
  EXPECT_EQ(c.find("no colon here"), nullptr);
  EXPECT_EQ(c.find("MISSING"), nullptr);
}

TEST(ConfigParse, LookupErrorThrows) {
  Config c;
  c.parse("X: 1\n");
  c.set_lookup_error("config unavailable");
  EXPECT_THROW(c.find("X"), std::runtime_error);
  c.set_lookup_error("");
  EXPECT_NE(c.find("X"), nullptr);
}

TEST(ConfigParse, LoadReadsAFileAndReportsAMissingOne) {
  char path[] = "/tmp/fw-config-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  std::ofstream(path) << "P: 42\n";
  Config c;
  EXPECT_TRUE(c.load(path));
  EXPECT_EQ(c.find("P")->d_int, 42);
  std::remove(path);
  EXPECT_FALSE(c.load(path));
}

TEST(ConfigRegistration, ConfInsertLetsAPropertyFindItsEntry) {
  Config c;
  c.parse("N.BAUDRATE: 3\n");
  D_int baud("N.BAUDRATE default 6 == 125KB ", nullptr);
  D_iiii node("N node", nullptr);
  EXPECT_EQ(baud.find_prop_name(), nullptr);  // not registered yet
  baud.conf(&c);
  node.conf(&c);
  const auto reg = c.registered();
  ASSERT_EQ(reg.size(), 2u);
  EXPECT_EQ(reg[0], (std::pair<D_fct*, int>{&baud, DATA_INT}));
  EXPECT_EQ(reg[1], (std::pair<D_fct*, int>{&node, DATA_IIII}));
  ASSERT_NE(baud.find_prop_name(), nullptr);
  EXPECT_EQ(baud.find_prop_name()->d_int, 3);
  EXPECT_EQ(node.find_prop_name(), nullptr);
}

// Every line a property writes is read back by the configuration to the same value.
class ConfigRoundTrip : public testing::TestWithParam<int> {};

TEST_P(ConfigRoundTrip, IntegerLine) {
  D_int out("R.INT some description", nullptr);
  out.set_value(GetParam());
  std::ostringstream file;
  out.write(file);

  Config c;
  c.parse(file.str());
  D_int in("R.INT some description", nullptr);
  in.conf(&c);
  in.read();
  EXPECT_EQ(in.value(), GetParam()) << file.str();
}

TEST_P(ConfigRoundTrip, IiiiLines) {
  const int v = GetParam();
  const IIII rec{v, -v, 0, v / 2};
  std::ostringstream file;
  // The line of the node property: the common head, then its own four-field format.
  D_fct head("R.NODE", nullptr);
  head.write(file);
  char buf[200];
  const int n = std::snprintf(buf, sizeof buf, " \t%d  %d  %d  %d\n", rec.i1_data, rec.i2_data,
                              rec.i3_data, rec.i4_data);
  file.write(buf, n);
  // And the same record through the IIII property's own line.
  D_iiii out("R.IIII", nullptr);
  out.set_value(rec);
  out.write(file);

  Config c;
  c.parse(file.str());
  const D_conf_struct* e = c.find("R.NODE");
  ASSERT_NE(e, nullptr) << file.str();
  EXPECT_EQ(e->d_int_array, (std::vector<int>{rec.i1_data, rec.i2_data, rec.i3_data, rec.i4_data}));
  D_iiii in("R.IIII", nullptr);
  in.conf(&c);
  in.read();
  EXPECT_EQ(in.value(), rec) << file.str();
}

INSTANTIATE_TEST_SUITE_P(Values, ConfigRoundTrip,
                         testing::Values(0, 6, -7, 2000, INT_MAX, INT_MIN + 2));

TEST(ConfigRoundTripText, TextLineReadsBackUnchanged) {
  D_string out("R.MANU Manufacture device name", nullptr);
  out.set_value("CAN node  v2.1");
  std::ostringstream file;
  out.write(file);
  EXPECT_EQ(file.str(), "R.MANU:\tCAN node  v2.1\n");
  EXPECT_EQ(out.last_dump(), "\tCAN node  v2.1\n");

  Config c;
  c.parse(file.str());
  D_string in("R.MANU", nullptr);
  in.conf(&c);
  in.read();
  EXPECT_EQ(in.value(), "CAN node  v2.1");
}

TEST(ConfigRoundTripText, IiiiPropertyWritesTheFourFieldFormat) {
  D_iiii p("N.DEBUG_ID to print this ID data", nullptr);
  p.set_value(IIII{1, 5, 0, 0});
  std::ostringstream file;
  p.write(file);
  EXPECT_EQ(file.str(), "N.DEBUG_ID: \t1  5  0  0\n");
  EXPECT_EQ(p.last_dump(), " \t1  5  0  0\n");
}

TEST(ConfigReadFailure, LookupErrorIsLoggedUnderRead) {
  tavik::LogCapture log;
  Config c;
  c.parse("R.IIII: 1 2 3 4\n");
  c.set_lookup_error("lookup broke");
  D_iiii p("R.IIII", nullptr);
  p.conf(&c);
  p.read();
  EXPECT_EQ(p.value(), IIII{});
  ASSERT_EQ(log.count("read"), 1u);
  EXPECT_EQ(log.with_label("read")[0].message, "lookup broke");
}

}  // namespace
