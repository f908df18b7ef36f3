// The text exposition format of --metrics (metrics.cpp), without a server.
#include "metrics.h"

#include <gtest/gtest.h>

namespace canbus_server {
namespace {

TEST(MetricsText, LabelValuesAreEscaped) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"CAN.PUMP", "CAN.PUMP"},
      {"a\\b", "a\\\\b"},
      {"say \"hi\"", "say \\\"hi\\\""},
      {"two\nlines", "two\\nlines"},
      {"\\\"\n", "\\\\\\\"\\n"},
      // Bytes that begin no well-formed UTF-8 sequence: U+FFFD each.
      {"CAN.\xff", "CAN.\xef\xbf\xbd"},
      {"\xc3\xa9t\xc3", "\xc3\xa9t\xef\xbf\xbd"},
      {"\xe0\x80\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},                  // overlong
      {"\xed\xa0\x80!", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd!"},                // surrogate
      {"\xf4\x90\x80\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // above U+10FFFF
      {"\xf0\x9f\x98\x80\xe2\x82\xac", "\xf0\x9f\x98\x80\xe2\x82\xac"},
  };
  for (const auto& c : cases) EXPECT_EQ(escape_label_value(c.in), c.out) << c.in;
}

TEST(MetricsText, FamiliesWithHelpTypeAndSamples) {
  const std::vector<MetricFamily> families = {
      {"x_total", "counter", "Things\\counted\nhere", {{{{"name", "a\"b"}, {"line", "1"}}, 7}}},
      {"empty", "gauge", "left out", {}},
      {"y", "gauge", "No labels", {{{}, -1}}},
  };
  EXPECT_EQ(render_metrics(families),
            "# HELP x_total Things\\\\counted\\nhere\n"
            "# TYPE x_total counter\n"
            "x_total{name=\"a\\\"b\",line=\"1\"} 7\n"
            "# HELP y No labels\n"
            "# TYPE y gauge\n"
            "y -1\n");
}

TEST(MetricsText, SupervisionSeriesOnlyForSupervisedNodes) {
  NodeCounters master{"CAN.A", 1, 5, true, 5};
  master.emergencies = 3;
  NodeCounters follower{"CAN.B", 1, 5, false};
  follower.sdo_transfers = 2;
  const std::string text =
      render_metrics(server_metrics({master, follower}, {{1, true, 0, 10, 12}}));
  EXPECT_NE(text.find("canbus_node_emergencies_total{name=\"CAN.A\",line=\"1\",node=\"5\"} 3\n"),
            std::string::npos);
  EXPECT_EQ(text.find("canbus_node_state{name=\"CAN.B\""), std::string::npos);
  EXPECT_NE(text.find("canbus_node_sdo_transfers_total{name=\"CAN.B\",line=\"1\",node=\"5\"} 2\n"),
            std::string::npos);
  EXPECT_NE(text.find("canbus_line_frames_received_total{line=\"1\"} 12\n"), std::string::npos);
}

// Process values as float gauges (the shortest text of the double), their limits' state for
// every value, the value only once there is one.
TEST(MetricsText, ProcessValuesAndTheirAlarmState) {
  const std::string text =
      render_metrics(value_metrics({{"CAN.PSU.CURRENT", "CAN.PSU", "mA", true, 1500, 2},
                                    {"CAN.G.P", "CAN.G", "mbar", true, 1.25e-7, 1},
                                    {"CAN.G.Q", "CAN.G", "", true, 0.1, 0},
                                    {"CAN.G.S", "CAN.G", "", false, 0, 0}}));
  for (const char* line :
       {"canbus_value{name=\"CAN.PSU.CURRENT\",node=\"CAN.PSU\",unit=\"mA\"} 1500\n",
        "canbus_value{name=\"CAN.G.P\",node=\"CAN.G\",unit=\"mbar\"} 1.25e-07\n",
        "canbus_value{name=\"CAN.G.Q\",node=\"CAN.G\",unit=\"\"} 0.1\n",
        "canbus_value_alarm{name=\"CAN.PSU.CURRENT\"} 2\n",
        "canbus_value_alarm{name=\"CAN.G.P\"} 1\n", "canbus_value_alarm{name=\"CAN.G.S\"} 0\n",
        "# TYPE canbus_value gauge\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << text;
  EXPECT_EQ(text.find("canbus_value{name=\"CAN.G.S\""), std::string::npos);
}

}  // namespace
}  // namespace canbus_server
