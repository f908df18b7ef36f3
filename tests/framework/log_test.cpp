// The logger: one "date time label message" line per call, recorded by the innermost capture.
#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "tavik_log.h"
#include "tavik_time.h"

namespace {

TEST(Log, CaptureRecordsLabelMessageAndFlags) {
  tavik::LogCapture cap;
  tavik::printtostderr("read", "lookup failed", DF_LOG);
  tavik::printtostderr("D_value", "X changed from 1 to 2", 7);
  const auto all = cap.entries();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].label, "read");
  EXPECT_EQ(all[0].message, "lookup failed");
  EXPECT_EQ(all[0].flags, DF_LOG);
  EXPECT_EQ(all[1].flags, 7u);
  EXPECT_EQ(cap.count("D_value"), 1u);
  ASSERT_EQ(cap.with_label("D_value").size(), 1u);
  EXPECT_EQ(cap.with_label("D_value")[0].message, "X changed from 1 to 2");
  cap.clear();
  EXPECT_TRUE(cap.entries().empty());
}

TEST(Log, InnermostCaptureRecordsAlone) {
  tavik::LogCapture outer;
  {
    tavik::LogCapture inner;
    tavik::printtostderr("a", "1");
    EXPECT_EQ(inner.count("a"), 1u);
    EXPECT_EQ(outer.count("a"), 0u);
  }
  tavik::printtostderr("a", "2");
  ASSERT_EQ(outer.count("a"), 1u);
  EXPECT_EQ(outer.entries()[0].message, "2");
}

TEST(Log, LineCarriesClockTimeLabelAndMessage) {
  tavik::ScopedVirtualClock vc;
  tavik::LogCapture cap(/*echo=*/true);
  testing::internal::CaptureStderr();
  tavik::printtostderr("can_print", "Line : 3 id 0x123");
  const std::string out = testing::internal::GetCapturedStderr();

  const time_t secs = static_cast<time_t>(tavik::VirtualClock::kDefaultStart / 1'000'000'000);
  tm parts{};
  localtime_r(&secs, &parts);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &parts);
  EXPECT_EQ(out, std::string(stamp) + " can_print Line : 3 id 0x123\n");
  EXPECT_TRUE(std::regex_match(out, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d .*\n)")));
}

TEST(Log, SilentCaptureKeepsLinesOffStandardError) {
  tavik::LogCapture cap;
  testing::internal::CaptureStderr();
  tavik::printtostderr("x", "y");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(cap.count("x"), 1u);
}

TEST(Log, ConcurrentCallersLoseNoLine) {
  tavik::LogCapture cap;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int k = 0; k < 200; ++k) tavik::printtostderr("t" + std::to_string(t), "line");
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(cap.entries().size(), 800u);
  for (int t = 0; t < 4; ++t) EXPECT_EQ(cap.count("t" + std::to_string(t)), 200u);
}

}  // namespace
