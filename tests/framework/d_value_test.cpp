// The integer value property D_int: update, client read/write, multi-read element, configuration
// line, data message.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <thread>

#include "tavik.h"

namespace {

constexpr int64_t kStart = tavik::VirtualClock::kDefaultStart;
const char* const kArchiveError = "Archiving failed with wrong archiver data type";

// Records the client writes that reach the virtual update, as a subclass acting on them would.
class RecordingInt : public D_int {
 public:
  RecordingInt(const std::string& pn, EqFct* ef, unsigned nbuf = 0) : D_int(pn, ef, nbuf) {}
  using D_int::set_value;
  void set_value(int v) override {
    ++calls;
    last = v;
    D_int::set_value(v);
  }
  int calls = 0;
  int last = 0;
};

class IntProperty : public testing::Test {
 protected:
  // Attaches a history to `p` and returns it.
  static D_hist* attach_hist(D_int& p, int fill_error = 0) {
    auto h = std::make_unique<D_hist>(p.name() + ".HIST", nullptr);
    h->set_fill_error(fill_error);
    D_hist* raw = h.get();
    p.set_hist(std::move(h));
    return raw;
  }
  static int buffered(D_fct& p, int64_t ev, int64_t s, int us) {
    EqData out;
    const int rc = p.get_buf_value(&out, ev, s, us);
    return rc != 0 ? -rc : out.get_int();
  }

  tavik::ScopedVirtualClock clock_;
  tavik::LogCapture log_;
};

// ---------------------------------------------------------------------------------------------
// Update

using IntUpdate = IntProperty;

TEST_F(IntUpdate, FreshPropertyIsAnIntegerOfZero) {
  D_int p("N.BAUDRATE default 6 == 125KB ", nullptr);
  EXPECT_EQ(p.value(), 0);
  EXPECT_EQ(p.get_value(), 0);
  EXPECT_EQ(p.data_type(), DATA_INT);
  EXPECT_TRUE(p.is_dmsg_supported());
  EXPECT_EQ(p.hist(), nullptr);
}

TEST_F(IntUpdate, WithoutHistoryOrSlotsOnlyValueTimeAndEventChange) {
  D_int p("P", nullptr);
  p.set_value(5);
  EXPECT_EQ(p.value(), 5);
  EXPECT_EQ(p.get_timestamp().ns(), kStart);  // the laundered zero time stamp
  EXPECT_EQ(p.get_event_id(), 0);
  EXPECT_EQ(buffered(p, -1, 0, 0), -D_fct::kErrNoData);
  EXPECT_TRUE(log_.entries().empty());
}

TEST_F(IntUpdate, RingBufferFilesOnlyUpdatesWithAnEvent) {
  D_int p("P", nullptr, 4);
  p.set_value(1, 0, 10, 0);
  EXPECT_EQ(buffered(p, -1, 0, 0), -D_fct::kErrNoData);

  p.set_value(7, 42, 10, 250000);
  EqData out;
  ASSERT_EQ(p.get_buf_value(&out, 42, 0, 0), 0);
  EXPECT_EQ(out.type(), DATA_INT);
  EXPECT_EQ(out.get_int(), 7);
  // Filed with the update's seconds and microseconds.
  EXPECT_EQ(buffered(p, -1, 10, 250000), 7);
  EXPECT_EQ(buffered(p, -1, 10, 249999), -D_fct::kErrNoData);
  EXPECT_EQ(p.get_timestamp(), tavik::Timestamp(10, 250000));
  EXPECT_EQ(p.get_event_id(), 42);
}

TEST_F(IntUpdate, HistoryGetsSecondsAndMilliseconds) {
  D_int p("P", nullptr, 4);
  D_hist* hist = attach_hist(p);
  p.set_value(7, 42, 10, 250000);
  p.set_value(8, tavik::Timestamp(11, 999999), 43, sts_la10);
  p.set_value(9);
  const auto fills = hist->fills();
  ASSERT_EQ(fills.size(), 3u);
  EXPECT_EQ(fills[0].value, 7);
  EXPECT_EQ(fills[0].status, sts_ok);
  EXPECT_EQ(fills[0].sec, 10u);
  EXPECT_EQ(fills[0].msec, 250u);
  EXPECT_EQ(fills[1].status, sts_la10);
  EXPECT_EQ(fills[1].msec, 999u);
  EXPECT_EQ(fills[2].sec, static_cast<unsigned>(kStart / 1'000'000'000));
  EXPECT_EQ(fills[2].msec, 0u);
  EXPECT_EQ(buffered(p, 42, 0, 0), 7);
  EXPECT_EQ(buffered(p, 43, 0, 0), 8);
}

TEST_F(IntUpdate, HistoryErrorsOtherThanWrongTypeAreIgnored) {
  D_int p("P", nullptr, 4);
  attach_hist(p, 1);
  EXPECT_NO_THROW(p.set_value(3, 5, 1, 0));
  EXPECT_EQ(buffered(p, 5, 0, 0), 3);
}

struct ArchiveCase {
  const char* what;
  std::function<void(RecordingInt&)> update;
  int64_t expected_ns;
  tavik::EventId expected_event;
  bool client_write;
};

void PrintTo(const ArchiveCase& c, std::ostream* os) {
  *os << c.what;
}

class ArchiveFailure : public IntProperty, public testing::WithParamInterface<ArchiveCase> {};

TEST_P(ArchiveFailure, ThrowsAfterTheValueChangedAndBeforeTheRingBuffer) {
  RecordingInt p("P", nullptr, 4);
  p.set_logging(true);
  D_hist* hist = attach_hist(p, 126);
  try {
    GetParam().update(p);
    ADD_FAILURE() << "no exception";
  } catch (const tavik::Error& e) {
    EXPECT_STREQ(e.what(), kArchiveError);
    EXPECT_EQ(e.get_message(), kArchiveError);
  }
  EXPECT_EQ(p.get_value(), 7);
  EXPECT_EQ(p.get_timestamp().ns(), GetParam().expected_ns);
  EXPECT_EQ(p.get_event_id(), GetParam().expected_event);
  EXPECT_EQ(hist->fills().size(), 1u);
  EXPECT_EQ(buffered(p, -1, 0, 0), -D_fct::kErrNoData);
  // A client write logs its change before the update fails.
  EXPECT_EQ(log_.count("D_value"), GetParam().client_write ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    EveryUpdatePath, ArchiveFailure,
    testing::Values(
        ArchiveCase{"set_value(int)", [](RecordingInt& p) { p.set_value(7); }, kStart, 0, false},
        ArchiveCase{"set_value(int, evid, sec, usec)",
                    [](RecordingInt& p) { p.set_value(7, 42, 10, 5); }, 10'000'005'000, 42, false},
        ArchiveCase{"set_value(int, Timestamp, EventId, status)",
                    [](RecordingInt& p) { p.set_value(7, tavik::Timestamp(10, 0), 42, sts_ok); },
                    10'000'000'000, 42, false},
        ArchiveCase{"client set",
                    [](RecordingInt& p) {
                      EqData in;
                      EqData res;
                      in.set(7);
                      p.set(nullptr, &in, &res, nullptr);
                    },
                    kStart, 0, true}));

TEST_F(IntUpdate, ConcurrentUpdatesAndReads) {
  D_int p("P", nullptr, 8);
  std::thread writer([&] {
    for (int k = 1; k <= 500; ++k) p.set_value(k, k, k, 0);
  });
  for (int k = 0; k < 500; ++k) {
    EqData res;
    p.get(nullptr, nullptr, &res, nullptr);
    EXPECT_GE(p.value(), 0);
  }
  writer.join();
  EXPECT_EQ(p.value(), 500);
  EXPECT_EQ(buffered(p, 500, 0, 0), 500);
}

// ---------------------------------------------------------------------------------------------
// Configuration value, registration, history set-up

using IntConfig = IntProperty;

TEST_F(IntConfig, ReadTakesTheEntryOrKeepsTheValue) {
  Config c;
  c.parse("N.BAUDRATE:\t3\nOTHER: 9\n");
  D_int p("N.BAUDRATE default 6 == 125KB ", nullptr);
  p.read();  // not registered: nothing to find
  EXPECT_EQ(p.value(), 0);
  p.conf(&c);
  EXPECT_EQ(c.registered().at(0), (std::pair<D_fct*, int>{&p, 1}));
  p.read();
  EXPECT_EQ(p.value(), 3);
  EXPECT_EQ(p.get_timestamp().ns(), 0);  // reading is not an update

  c.find("N.BAUDRATE")->found = false;
  p.set_value(4);
  p.read();
  EXPECT_EQ(p.value(), 4);

  D_int missing("MISSING", nullptr);
  missing.conf(&c);
  missing.set_value(8);
  missing.read();
  EXPECT_EQ(missing.value(), 8);
  EXPECT_TRUE(log_.entries().empty());
}

TEST_F(IntConfig, LookupFailureLogsOneReadLine) {
  Config c;
  c.parse("P: 3\n");
  c.set_lookup_error("no configuration server");
  D_int p("P", nullptr);
  p.conf(&c);
  p.set_value(1);
  p.read();
  EXPECT_EQ(p.value(), 1);
  const auto lines = log_.with_label("read");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].message, "no configuration server");
  EXPECT_EQ(lines[0].flags, DF_LOG);
}

TEST_F(IntConfig, ConfProcessAndAutoInitReachTheHistory) {
  EqFct loc("LOC");
  D_int p("P", &loc);
  p.conf_process(&loc, 0);  // without a history: nothing to pass on
  p.auto_init();
  D_hist* hist = attach_hist(p);
  p.dynamic(3);
  p.conf_process(&loc, 1);
  EXPECT_EQ(hist->conf_processes(), 1);
  EXPECT_EQ(hist->dynamic(), 3);
  p.auto_init();
  EXPECT_EQ(hist->auto_inits(), 0);  // archiving is off
  p.set_arch_en(true);
  p.auto_init();
  EXPECT_EQ(hist->auto_inits(), 1);
}

// ---------------------------------------------------------------------------------------------
// Client write

using IntClientWrite = IntProperty;

TEST_F(IntClientWrite, ErroneousInputAnswersError5AndChangesNothing) {
  RecordingInt p("N.START can node", nullptr);
  p.set_logging(true);
  p.D_int::set_value(3);
  EqData in;
  in.error(12, "device offline");
  EqData res;
  p.set(nullptr, &in, &res, nullptr);
  EXPECT_EQ(res.error(), 5);
  EXPECT_EQ(res.get_string(), "Cannot assign erroneous input data: device offline");
  EXPECT_EQ(p.value(), 3);
  EXPECT_EQ(p.calls, 0);
  EXPECT_TRUE(log_.entries().empty());
}

TEST_F(IntClientWrite, InputIsConvertedByItsType) {
  struct Case {
    const char* what;
    std::function<void(EqData&)> fill;
    int expected;
  };
  const Case cases[] = {
      {"float 3.9", [](EqData& d) { d.set_float(3.9f); }, 3},
      {"float -3.9", [](EqData& d) { d.set_float(-3.9f); }, -3},
      {"string", [](EqData& d) { d.set_string("12"); }, 0},
      {"long", [](EqData& d) { d.set_long(0x100000005LL); }, 5},
      {"ushort", [](EqData& d) { d.set_ushort(65535); }, 65535},
      {"short array",
       [](EqData& d) {
         d.set_array_short({-4, 1});
       },
       -4},
  };
  for (const Case& c : cases) {
    D_int p("P", nullptr);
    p.set_value(99);
    EqData in;
    EqData res;
    c.fill(in);
    p.set(nullptr, &in, &res, nullptr);
    EXPECT_EQ(p.value(), c.expected) << c.what;
  }
}

TEST_F(IntClientWrite, ChangeLogWithoutLocation) {
  D_int p("N.START can node", nullptr);
  p.set_logging(true);
  p.set_value(1);
  EqData in;
  EqData res;
  in.set(2);
  p.set(nullptr, &in, &res, nullptr);
  const auto lines = log_.entries();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].label, "D_value");
  EXPECT_EQ(lines[0].message, "N.START changed from 1 to 2");
  EXPECT_EQ(lines[0].flags, DF_LOG);
  EXPECT_EQ(p.value(), 2);
}

TEST_F(IntClientWrite, ChangeLogWithLocationNamesTheRequester) {
  EqFct loc("CAN.LOC");
  loc.set_user_and_host("alice", "host1");
  D_int p("N.STOP can node", &loc);
  p.set_logging(true);
  EqData in;
  EqData res;
  in.set(-9);
  p.set(nullptr, &in, &res, &loc);
  const auto lines = log_.entries();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].label, "CAN.LOC");
  EXPECT_EQ(lines[0].message, "N.STOP changed from 0 to -9 by alice@host1");
  EXPECT_EQ(lines[0].flags, DF_LOG);
}

TEST_F(IntClientWrite, NoChangeLogWhileLoggingIsOff) {
  D_int p("P", nullptr);
  EqData in;
  EqData res;
  in.set(2);
  p.set(nullptr, &in, &res, nullptr);
  EXPECT_EQ(p.value(), 2);
  EXPECT_TRUE(log_.entries().empty());
}

TEST_F(IntClientWrite, GoesThroughTheVirtualUpdateAndLeavesTheResultAlone) {
  RecordingInt p("N.RESET can node", nullptr);
  EqData in;
  EqData res;
  in.set(4);
  p.set(nullptr, &in, &res, nullptr);
  EXPECT_EQ(p.calls, 1);
  EXPECT_EQ(p.last, 4);
  EXPECT_EQ(res.type(), DATA_NULL);
  EXPECT_EQ(res.error(), 0);
}

// ---------------------------------------------------------------------------------------------
// Client read with a selector

class IntClientRead : public IntProperty {
 protected:
  // Three buffered updates: event 1 at 10 s, event 2 at 20 s, event 3 at 30.5 s; the current
  // value is 300.
  void fill(D_int& p) {
    p.set_value(100, 1, 10, 0);
    p.set_value(200, 2, 20, 0);
    p.set_value(300, 3, 30, 500000);
  }
};

TEST_F(IntClientRead, SelectorByInputType) {
  struct Case {
    const char* what;
    std::function<void(EqData&)> request;
    int expected;  // the value, or -(error code)
  };
  const Case cases[] = {
      {"no input data", [](EqData&) {}, 300},
      {"text: no selector", [](EqData& d) { d.set_string("2"); }, 300},
      {"long array of 1: event", [](EqData& d) { d.set_array_long({2}); }, 200},
      {"long array of 2: event 0 and seconds",
       [](EqData& d) {
         d.set_array_long({0, 25});
       },
       200},
      {"long array of 3: event -1 and time",
       [](EqData& d) {
         d.set_array_long({-1, 30, 499999});
       },
       200},
      {"long array of 3, time exactly",
       [](EqData& d) {
         d.set_array_long({-1, 30, 500000});
       },
       300},
      {"long array of 4: no selector",
       [](EqData& d) {
         d.set_array_long({1, 0, 0, 0});
       },
       300},
      {"long: event", [](EqData& d) { d.set_long(1); }, 100},
      {"int: event", [](EqData& d) { d.set(2); }, 200},
      {"IIII: event, seconds, microseconds; fourth unused",
       [](EqData& d) {
         d.set(IIII{-1, 30, 499999, 3});
       },
       200},
      {"IIII: event",
       [](EqData& d) {
         d.set(IIII{1, 0, 0, 3});
       },
       100},
      {"unknown event", [](EqData& d) { d.set_array_long({99}); }, -101},
      {"too early",
       [](EqData& d) {
         d.set_array_long({0, 5, 0});
       },
       -101},
  };
  D_int p("P", nullptr, 8);
  fill(p);
  for (const Case& c : cases) {
    EqData in;
    c.request(in);
    EqData res;
    p.get(nullptr, &in, &res, nullptr);
    if (c.expected >= 0) {
      EXPECT_EQ(res.error(), 0) << c.what;
      EXPECT_EQ(res.type(), DATA_INT) << c.what;
      EXPECT_EQ(res.get_int(), c.expected) << c.what;
    } else {
      EXPECT_EQ(res.error(), -c.expected) << c.what;
      EXPECT_EQ(res.get_string(), get_error_string(-c.expected)) << c.what;
    }
  }
  EqData res;
  p.get(nullptr, nullptr, &res, nullptr);  // a null request is no selector either
  EXPECT_EQ(res.get_int(), 300);
}

TEST_F(IntClientRead, WithoutSlotsTheCurrentValueWhateverTheSelector) {
  D_int p("P", nullptr);
  fill(p);
  EqData in;
  in.set_array_long({1, 0, 0});
  EqData res;
  p.get(nullptr, &in, &res, nullptr);
  EXPECT_EQ(res.error(), 0);
  EXPECT_EQ(res.get_int(), 300);
}

TEST_F(IntClientRead, ValueByEventFallsBackToTheCurrentValue) {
  D_int p("P", nullptr, 8);
  fill(p);
  EXPECT_EQ(p.value(1, 0, 0), 100);
  EXPECT_EQ(p.value(0, 20, 0), 200);
  EXPECT_EQ(p.value(77, 0, 0), 300);
  D_int bare("B", nullptr);
  bare.set_value(5, 1, 1, 0);
  EXPECT_EQ(bare.value(1, 0, 0), 5);
}

// ---------------------------------------------------------------------------------------------
// Multi-read element

class IntMultiRead : public IntProperty {
 protected:
  static void expect_error_element(const EqData& res, int index, time_t tm, const char* addr) {
    const EqData::MdaElement* e = res.get_mda(index);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->i, 2147483647);
    EXPECT_TRUE(std::isnan(e->f1));
    EXPECT_TRUE(std::isnan(e->f2));
    EXPECT_EQ(e->tm, tm);
    EXPECT_EQ(e->text, addr);
  }
  static void expect_element(const EqData& res, int index, int v) {
    const EqData::MdaElement* e = res.get_mda(index);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->i, v);
    EXPECT_EQ(e->f1, static_cast<float>(v));
    EXPECT_EQ(e->f2, static_cast<float>(v));
  }
};

TEST_F(IntMultiRead, PropertyInErrorWritesTheErrorElement) {
  D_int p("P", nullptr);
  p.set_value(9);
  p.d_error(3);
  EqData res;
  int index = 2;
  time_t tm = 1234;
  p.get_multi(nullptr, nullptr, &res, &index, "LOC/DEV/P", &tm);
  expect_error_element(res, 2, 1234, "LOC/DEV/P");
}

TEST_F(IntMultiRead, CurrentValueWithTimeAddressAndIndex) {
  D_int p("P", nullptr, 4);
  p.set_value(9, 5, 1, 0);
  p.set_value(11);
  EqData res;
  int index = 0;
  time_t tm = 77;
  EqData in;
  in.set(5);  // only an array of 64-bit integers selects
  p.get_multi(nullptr, &in, &res, &index, "A", &tm);
  expect_element(res, 0, 11);
  EXPECT_EQ(res.get_mda(0)->tm, 77);
  EXPECT_EQ(res.get_mda(0)->text, "A");
}

TEST_F(IntMultiRead, LongArraySelectsFromTheRingBuffer) {
  D_int p("P", nullptr, 4);
  p.set_value(9, 42, 1, 0);
  p.set_value(11);
  int index = 1;
  time_t tm = 5;
  EqData in;
  EqData res;
  in.set_array_long({42});
  p.get_multi(nullptr, &in, &res, &index, "A", &tm);
  expect_element(res, 1, 9);
  in.set_array_long({43});
  p.get_multi(nullptr, &in, &res, &index, "A", &tm);
  expect_error_element(res, 1, 5, "A");
}

TEST_F(IntMultiRead, LongArrayOnAPropertyWithoutSlotsIsAnError) {
  D_int p("P", nullptr);
  p.set_value(9, 42, 1, 0);
  int index = 0;
  time_t tm = 5;
  EqData in;
  EqData res;
  in.set_array_long({42});
  p.get_multi(nullptr, &in, &res, &index, "A", &tm);
  expect_error_element(res, 0, 5, "A");
}

// ---------------------------------------------------------------------------------------------
// Configuration line and data message

using IntPersistence = IntProperty;

TEST_F(IntPersistence, WriteEmitsHeadTabValueLineFeedAndDumpsTheSame) {
  D_int p("N.BAUDRATE default 6 == 125KB ", nullptr);
  p.set_value(-7);
  std::ostringstream file;
  p.write(file);
  EXPECT_EQ(file.str(), "N.BAUDRATE:\t-7\n");
  EXPECT_EQ(p.last_dump(), "\t-7\n");
}

TEST_F(IntPersistence, SendPassesTheHeaderThenTheFourValueBytes) {
  D_int p("P", nullptr);
  p.set_value(0x01020304);
  dmsg_info info;
  info.ident = 4711;
  EXPECT_EQ(p.send(&info), 0);
  EXPECT_EQ(p.last_sent_header().ident, 4711);
  EXPECT_EQ(p.last_sent_kind(), 1);
  const int v = 0x01020304;
  std::vector<unsigned char> bytes(4);
  std::memcpy(bytes.data(), &v, 4);
  EXPECT_EQ(p.last_sent_data(), bytes);
  EXPECT_EQ(p.last_sent_flags(), 0);
}

TEST_F(IntPersistence, SendStopsAtAFailingHeaderAndPassesTheDataResult) {
  D_int p("P", nullptr);
  p.set_value(5);
  dmsg_info info;
  p.set_send_result(9, 0);
  EXPECT_EQ(p.send(&info), 9);
  EXPECT_TRUE(p.last_sent_data().empty());
  p.set_send_result(0, 4);
  EXPECT_EQ(p.send(&info), 4);
  EXPECT_EQ(p.last_sent_data().size(), 4u);
}

}  // namespace
