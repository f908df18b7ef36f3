// What canbus-server keeps and checks of its data without a bus: the event log's ring and
// filters, the value histories' intervals and rings, and the process values' limits (alarm and
// warn with their hysteresis) as ProcessData checks each decoded TPDO.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config_file.h"
#include "history.h"
#include "process_data.h"
#include "tavik_time.h"

namespace canbus_server {
namespace {

Event event(Event::Kind k, int line, const std::string& name) {
  Event e{k, line, name.empty() ? 0 : 5, name};
  e.state = "Operational";
  e.detail = "x";
  return e;
}

TEST(EventLog, KeepsTheNewestAndFilters) {
  EventLog log(4);
  const Event added[] = {
      event(Event::Kind::kState, 1, "CAN.PUMP"),         // 1: pushed out by the fifth
      event(Event::Kind::kValue, 1, "CAN.PUMP.SPEED"),   // 2
      event(Event::Kind::kLineLost, 2, ""),              // 3
      event(Event::Kind::kAlarm, 2, "CAN.PSU.CURRENT"),  // 4
      event(Event::Kind::kState, 2, "CAN.PSU"),          // 5
  };
  int64_t t = 1000;
  for (const auto& e : added) log.add(e, t++);
  EXPECT_EQ(log.last_seq(), 5u);
  using K = Event::Kind;
  const struct {
    EventLog::Filter f;
    std::vector<uint64_t> seqs;
  } cases[] = {
      {{}, {5, 4, 3, 2}},
      {{{K::kState}, 0, "", 0, 200}, {5}},
      {{{K::kState, K::kValue}, 0, "", 0, 200}, {5, 2}},
      {{{}, 2, "", 0, 200}, {5, 4, 3}},
      {{{}, 0, "CAN.PUMP", 0, 200}, {}},
      {{{}, 0, "CAN.PUMP.", 0, 200}, {2}},
      {{{}, 0, "CAN.PSU", 0, 200}, {5}},
      {{{}, 0, "CAN.PSU.", 0, 200}, {4}},
      {{{}, 0, "", 3, 200}, {5, 4}},
      {{{}, 0, "", 0, 2}, {5, 4}},
      {{{K::kAlarm}, 1, "", 0, 200}, {}},
  };
  for (const auto& c : cases) {
    std::vector<uint64_t> seqs;
    for (const auto& k : log.query(c.f)) seqs.push_back(k.seq);
    EXPECT_EQ(seqs, c.seqs) << "case " << (&c - cases);
  }
  const auto newest = log.query({{K::kAlarm}, 0, "", 0, 1});
  ASSERT_EQ(newest.size(), 1u);
  EXPECT_EQ(newest[0].t_ns, 1003);
  EXPECT_EQ(newest[0].text, "alarm line 2 node 5 CAN.PSU.CURRENT x");
  EXPECT_STREQ(kind_name(newest[0].kind), "alarm");
}

TEST(EventLog, TheHubKeepsWhatItPublishesWithTheClocksTime) {
  tavik::VirtualClock clock;
  tavik::set_clock(&clock);
  EventHub hub;
  hub.publish(event(Event::Kind::kNodeLost, 1, "CAN.PUMP"));
  clock.advance(5'000'000);
  hub.publish(event(Event::Kind::kValue, 1, "CAN.PUMP.SPEED"));
  tavik::set_clock(nullptr);
  const auto kept = hub.log().query({});
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0].text, "value line 1 node 5 CAN.PUMP.SPEED x");
  EXPECT_EQ(kept[1].text, "node-lost line 1 node 5 CAN.PUMP");
  EXPECT_EQ(kept[0].t_ns - kept[1].t_ns, 5'000'000);
}

constexpr int64_t kSecond = 1'000'000'000;

TEST(ValueHistory, IntervalsRingsAndQueries) {
  // One sample a second, 4 kept; beyond them thinned to 2 s, 2 kept.
  ValueHistory h(kSecond, 4, 2 * kSecond, 2);
  std::vector<ValueHistory::Sample> out;
  EXPECT_FALSE(h.query("V", 0, out));
  // Three values in one interval: the last, the lowest, the highest, the count.
  h.add("V", 100 * kSecond + 100, 5);
  h.add("V", 100 * kSecond + 500, 1);
  h.add("V", 100 * kSecond + 900, 3);
  ASSERT_TRUE(h.query("V", 0, out));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_TRUE(out[0].t_ns == 100 * kSecond && out[0].last == 3 && out[0].min == 1 &&
              out[0].max == 5 && out[0].count == 3);
  // The seconds 101..109, one value each (the second's number): 106..109 are the recent ones,
  // 100..105 went into the thinned ring (100+101 shared with the first interval's values,
  // 102+103, 104+105), of which the last two are kept.
  for (int s = 101; s <= 109; ++s) h.add("V", s * kSecond + 1, s);
  ASSERT_TRUE(h.query("V", 0, out));
  const struct {
    int64_t t;
    double last, min, max;
    uint32_t count;
  } expected[] = {{102, 103, 102, 103, 2}, {104, 105, 104, 105, 2}, {106, 106, 106, 106, 1},
                  {107, 107, 107, 107, 1}, {108, 108, 108, 108, 1}, {109, 109, 109, 109, 1}};
  ASSERT_EQ(out.size(), std::size(expected));
  for (size_t i = 0; i < out.size(); ++i) {
    EXPECT_EQ(out[i].t_ns, expected[i].t * kSecond) << i;
    EXPECT_TRUE(out[i].last == expected[i].last && out[i].min == expected[i].min &&
                out[i].max == expected[i].max && out[i].count == expected[i].count)
        << i;
  }
  // From a time on; a value stamped before the newest interval joins it.
  ASSERT_TRUE(h.query("V", 108 * kSecond, out));
  ASSERT_EQ(out.size(), 2u);
  h.add("V", 50 * kSecond, 0.1);
  ASSERT_TRUE(h.query("V", 109 * kSecond, out));
  ASSERT_EQ(out.size(), 1u);
  // The last exact, the float bounds still enclose it.
  EXPECT_TRUE(out[0].last == 0.1 && out[0].min <= 0.1 && out[0].count == 2);
  // Both rings are there from a value's first add: 32 bytes a sample.
  const size_t one = h.bytes();
  h.add("W", kSecond, 1);
  EXPECT_GE(h.bytes() - one, 6 * 32u);
  EXPECT_LE(h.bytes() - one, 6 * 32u + 256);
}

// A measured value with limits, one TPDO frame a value: the events of the limits it passes.
TEST(ProcessDataLimits, AlarmsAndWarningsWithHysteresis) {
  const struct {
    const char* options;
    std::vector<int> values;
    std::vector<std::string> events;  // kind and detail
  } cases[] = {
      {"alarm 100 900 warn 200 800 hysteresis 10",
       {500, 810, 805, 795, 789},
       {"warn high 810 mA (limit 800)", "warn-cleared high 789 mA (limit 800)"}},
      // From none into the alarm: its warning first; back from it, the alarm ends first.
      {"alarm 100 900 warn 200 800 hysteresis 10",
       {950, 895, 850, 50},
       {"warn high 950 mA (limit 800)", "alarm high 950 mA (limit 900)",
        "alarm-cleared high 850 mA (limit 900)", "warn-cleared high 50 mA (limit 800)",
        "warn low 50 mA (limit 200)", "alarm low 50 mA (limit 100)"}},
      {"alarm 100 900 warn 200 800 hysteresis 10",
       {50, 109, 110, 209, 210},
       {"warn low 50 mA (limit 200)", "alarm low 50 mA (limit 100)",
        "alarm-cleared low 110 mA (limit 100)", "warn-cleared low 210 mA (limit 200)"}},
      // The default hysteresis: 1 % of the one limit's size, of the span with both.
      {"alarm - 1000",
       {1001, 991, 990},
       {"alarm high 1001 mA (limit 1000)", "alarm-cleared high 990 mA (limit 1000)"}},
      {"warn 0 1000",
       {-5, -1, 10},
       {"warn low -5 mA (limit 0)", "warn-cleared low 10 mA (limit 0)"}},
      {"alarm 0 1000 hysteresis 0",
       {1001, 1000},
       {"alarm high 1001 mA (limit 1000)", "alarm-cleared high 1000 mA (limit 1000)"}},
      {"deadband 5", {-100000, 100000}, {}},
  };
  for (const auto& c : cases) {
    const auto config = ConfigFile::parse(
        std::string("CAN.A: 1 5 0 0\nCAN.A.TPDO1: event 100 map V 0x2000:0 int32 unit mA ") +
        c.options + "\n");
    ASSERT_TRUE(config.problems().empty()) << c.options << ": " << config.problems()[0].reason;
    ProcessData pd;
    NodeObjects objects;
    std::vector<std::string> errors;
    ASSERT_TRUE(pd.load(config, config.node_names(), objects, errors)) << c.options;
    canbus::PdoValues v;
    v.pdo = 1;
    v.time_ns = 1'700'000'000 * kSecond;
    std::vector<std::string> got;
    for (int x : c.values) {
      v.values = {canbus::Value::of_int(x)};
      v.time_ns += kSecond / 10;
      std::vector<Event> out;
      pd.on_pdo("CAN.A", 1, 5, 1, v, out);
      for (const auto& e : out) {
        if (e.kind == Event::Kind::kValue) continue;
        got.push_back(std::string(kind_name(e.kind)) + " " + e.detail);
        EXPECT_EQ(e.text().find(std::string(kind_name(e.kind)) + " line 1 node 5 CAN.A.V "), 0u);
      }
    }
    EXPECT_EQ(got, c.events) << c.options;
    std::vector<ValueHistory::Sample> samples;
    EXPECT_TRUE(pd.history().query("CAN.A.V", 0, samples) && !samples.empty()) << c.options;
  }
}

// Where a value stands is in get, status's tail and the snapshot for the HTTP side.
TEST(ProcessDataLimits, StateInGetStatusAndSnapshot) {
  const auto config = ConfigFile::parse(
      "CAN.A: 1 5 0 0\nCAN.A.TPDO1: event 100 map V 0x2000:0 int32 unit mA alarm - 1700 warn - "
      "1600 hysteresis 50, W 0x2001:0 int16\nCAN.A.RPDO1: map S 0x2100:0 uint16 max 9\n");
  ProcessData pd;
  NodeObjects objects;
  std::vector<std::string> errors;
  ASSERT_TRUE(pd.load(config, config.node_names(), objects, errors));
  canbus::PdoValues v;
  v.pdo = 1;
  v.time_ns = 1'700'000'000 * kSecond;
  const struct {
    int value;
    const char* get_tail;  // after "(TPDO1)"
    const char* status;    // "" none
    AlarmState state;
  } steps[] = {
      {1800, ", alarm: high (above 1700 mA)", "alarm CAN.A.V 1800 mA above 1700 mA (high)",
       AlarmState::kHigh},
      {1680, ", alarm: high (within the hysteresis of 1700 mA)",
       "alarm CAN.A.V 1680 mA within the hysteresis of 1700 mA (high)", AlarmState::kHigh},
      {1620, ", alarm: warn-high (above 1600 mA)", "warn CAN.A.V 1620 mA above 1600 mA (warn-high)",
       AlarmState::kWarnHigh},
      {1500, "", "", AlarmState::kNone},
  };
  for (const auto& s : steps) {
    v.values = {canbus::Value::of_int(s.value), canbus::Value::of_int(3)};
    v.time_ns += kSecond;
    std::vector<Event> out;
    pd.on_pdo("CAN.A", 1, 5, 1, v, out);
    const std::string got = pd.get("CAN.A.V");
    EXPECT_EQ(got.substr(got.find("(TPDO1)") + 7), s.get_tail);
    const auto lines = pd.alarm_lines();
    EXPECT_EQ(lines.empty() ? std::string() : lines[0], s.status);
    EXPECT_LE(lines.size(), 1u);
    ValueInfo i;
    ASSERT_TRUE(pd.value_info("CAN.A.V", i));
    EXPECT_EQ(i.alarm, s.state);
    EXPECT_TRUE(i.has && i.value == s.value && i.time_ns == v.time_ns && i.pdo == "TPDO1");
  }
  const auto all = pd.values();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_TRUE(all[0].name == "CAN.A.V" && all[0].unit == "mA" && all[0].text == "1500 mA" &&
              !all[0].writable && all[0].alarm_limits.has_high && !all[0].alarm_limits.has_low &&
              all[0].warn_limits.high == 1600);
  EXPECT_TRUE(all[1].name == "CAN.A.W" && !all[1].alarm_limits.any() && all[1].text == "3");
  EXPECT_TRUE(all[2].name == "CAN.A.S" && all[2].writable && !all[2].has);
  ValueInfo none;
  EXPECT_FALSE(pd.value_info("CAN.A.X", none));
}

}  // namespace
}  // namespace canbus_server
