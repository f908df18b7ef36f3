// Recording at the driver's C calls: what goes into the file, marks, nets, the bounded queue,
// rotation, the environment, and many threads at once. Each test runs in its own process, so
// the queue size of its first start holds.
#include "recorder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <thread>

#include "canlog.h"
#include "net_counts.h"
#include "support/frames.h"
#include "support/scratch_dir.h"
#include "vbus.h"

namespace {

namespace rec = ntcan::recorder;
using canbus_test::frame_text;
using canbus_test::make_frame;

constexpr int64_t kStart = 1'700'000'000'000'000'000;
std::atomic<int64_t> g_now{kStart};
int64_t test_time() {
  return g_now.load();
}

std::vector<std::string> lines_of(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> out;
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

class RecorderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_now = kStart;
    rec::set_time_source(&test_time);
  }
  // Counters since the test began (they count for the whole process).
  uint64_t written() const { return rec::stats().written - before_.written; }
  uint64_t dropped() const { return rec::stats().dropped - before_.dropped; }
  void TearDown() override {
    rec::stop();
    rec::set_time_source(nullptr);
    for (NTCAN_HANDLE h : handles_) canClose(h);
    vbus::reset();
  }
  NTCAN_HANDLE open(int net, std::initializer_list<int32_t> ids, int32_t rxqueue = 0) {
    NTCAN_HANDLE h = NTCAN_NO_HANDLE;
    EXPECT_EQ(canOpen(net, 0, 0, rxqueue, 0, 0, &h), NTCAN_SUCCESS);
    for (int32_t id : ids) canIdAdd(h, id);
    handles_.push_back(h);
    return h;
  }
  static void send(NTCAN_HANDLE h, CMSG f) {
    int32_t n = 1;
    ASSERT_EQ(canSend(h, &f, &n), NTCAN_SUCCESS);
  }
  std::string file(const char* name = "rec.log") { return dir_.path() + "/" + name; }
  static void write(const std::string& path, const char* text, mode_t mode) {
    std::ofstream(path) << text;
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
  }
  static mode_t current_umask() {
    const mode_t m = ::umask(0);
    ::umask(m);
    return m;
  }

  canbus_test::ScratchDir dir_{"recorder-test"};
  const rec::Stats before_ = rec::stats();
  std::vector<NTCAN_HANDLE> handles_;
};

TEST_F(RecorderTest, RecordsSentAndDeliveredFramesOfChosenNetsWithMarks) {
  const NTCAN_HANDLE a = open(0, {0x181});
  const NTCAN_HANDLE b = open(0, {0x705});
  const NTCAN_HANDLE other = open(1, {0x181});
  rec::Options o;
  o.path = file();
  o.nets = 1;  // net 0 only
  ASSERT_TRUE(rec::start(o));
  const auto take = [](NTCAN_HANDLE h, size_t expected) {
    CMSG got[4];
    int32_t n = 4;
    ASSERT_EQ(canTake(h, got, &n), NTCAN_SUCCESS);
    ASSERT_EQ(n, static_cast<int32_t>(expected));
  };

  send(b, make_frame(0x181, {1, 2}));  // b sends, a receives: written once, as sent
  take(a, 1);
  g_now += 1'500;
  vbus::inject(0, make_frame(0x705, {5}));  // a device's frame, read with a time-out
  CMSG got{};
  int32_t one = 1;
  ASSERT_EQ(canReadTimeout(b, &got, &one, 1000), NTCAN_SUCCESS);
  vbus::inject(1, make_frame(0x181, {9}));  // a net that is not recorded
  take(other, 1);
  CMSG rtr = canbus_test::make_remote(0x705, 1);
  rtr.data[3] = 0x55;  // recorded as the bus carries it
  send(a, rtr);
  take(b, 1);
  vbus::set_net_down(0, true);
  int32_t n = 1;
  EXPECT_EQ(canSend(a, &rtr, &n), NTCAN_CONTR_OFF_BUS);  // not sent, not recorded
  vbus::set_net_down(0, false);
  g_now += 1'000'000'000;  // the same frame as b sent, a second later: a node's
  vbus::inject(0, make_frame(0x181, {1, 2}));
  take(a, 1);

  rec::set_nets(2);  // now net 1 only
  vbus::inject(1, make_frame(0x181, {7}));
  take(other, 1);
  send(b, make_frame(0x181, {3}));
  take(a, 1);
  rec::flush();

  EXPECT_EQ(lines_of(file()), (std::vector<std::string>{
                                  "(1700000000.000000) can0 181#0102 T",
                                  "(1700000000.000001) can0 705#05 R",
                                  "(1700000000.000001) can0 705#R1 T",
                                  "(1700000001.000001) can0 181#0102 R",
                                  "(1700000001.000001) can1 181#07 R",
                              }));
  EXPECT_EQ(written(), 5u);
  EXPECT_EQ(dropped(), 0u);
}

// A handle that only watches the net (a line tap) receives every frame again: those copies are
// neither recorded nor counted.
TEST_F(RecorderTest, AWatchingHandleIsNeitherRecordedNorCounted) {
  const NTCAN_HANDLE b = open(0, {0x705});
  const NTCAN_HANDLE w = open(0, {0x181, 0x705});
  rec::observer(w);
  rec::Options o;
  o.path = file();
  ASSERT_TRUE(rec::start(o));
  const ntcan::NetCounts before = ntcan::net_counts(0);
  vbus::inject(0, make_frame(0x705, {5}));
  send(b, make_frame(0x181, {1}));
  CMSG got[4];
  for (NTCAN_HANDLE h : {b, w}) {
    int32_t n = 4;
    ASSERT_EQ(canTake(h, got, &n), NTCAN_SUCCESS);
    EXPECT_EQ(n, h == w ? 2 : 1);
  }
  rec::flush();
  EXPECT_EQ(lines_of(file()), (std::vector<std::string>{"(1700000000.000000) can0 181#01 T",
                                                        "(1700000000.000000) can0 705#05 R"}));
  EXPECT_EQ(ntcan::net_counts(0).received - before.received, 1u);
  EXPECT_EQ(ntcan::net_counts(0).sent - before.sent, 1u);
  EXPECT_EQ(canClose(w), NTCAN_SUCCESS);  // closed as any other
  handles_.erase(std::find(handles_.begin(), handles_.end(), w));
}

TEST_F(RecorderTest, FullQueueDropsCountsAndNotes) {
  const NTCAN_HANDLE h = open(3, {});
  rec::Options o;
  o.path = file();
  o.queue_frames = 10;  // 16 cells: a call's header and 15 frames
  ASSERT_TRUE(rec::start(o));
  std::vector<CMSG> burst(40, make_frame(0x100, {1}));
  int32_t n = 40;
  ASSERT_EQ(canSend(h, burst.data(), &n), NTCAN_SUCCESS);  // one call: no drain in between
  ASSERT_EQ(n, 40);
  rec::flush();
  EXPECT_EQ(dropped(), 25u);
  send(h, make_frame(0x100, {2}));
  rec::flush();
  const auto lines = lines_of(file());
  ASSERT_EQ(lines.size(), 17u);
  EXPECT_EQ(lines[15], "# recorder: 25 frames dropped, queue full");
  EXPECT_EQ(lines[16], "(1700000000.000000) can3 100#02 T");
  EXPECT_EQ(written(), 16u);
}

TEST_F(RecorderTest, RotatesBySizeKeepingTheNewestFiles) {
  const NTCAN_HANDLE h = open(0, {});
  rec::Options o;
  o.path = file();
  o.rotate_bytes = 200;  // five 38-byte lines a file
  o.keep = 2;
  ASSERT_TRUE(rec::start(o));
  for (uint8_t i = 0; i < 23; ++i) send(h, make_frame(0x100, {i}));
  rec::flush();
  rec::stop();
  EXPECT_EQ(rec::stats().rotations - before_.rotations, 4u);
  EXPECT_FALSE(std::filesystem::exists(file("rec.log.3")));
  std::vector<std::string> all;
  for (const char* name : {"rec.log.2", "rec.log.1", "rec.log"}) {
    EXPECT_LE(std::filesystem::file_size(file(name)), 200u) << name;
    for (const auto& l : lines_of(file(name))) all.push_back(l);
  }
  ASSERT_EQ(all.size(), 13u);  // frames 10..22, in order
  for (size_t i = 0; i < all.size(); ++i) {
    canlog::Record r;
    ASSERT_EQ(canlog::parse_line(all[i], &r), canlog::LineKind::kFrame);
    EXPECT_EQ(r.frame.data[0], 10 + i);
  }
  // Every file is new and private to the user and group; each one reads on its own.
  for (const char* name : {"rec.log.2", "rec.log.1", "rec.log"}) {
    struct stat st {};
    ASSERT_EQ(::stat(file(name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u & ~current_umask()) << name;
    canlog::Log log;
    std::string error;
    EXPECT_TRUE(canlog::read_log_file(file(name), &log, &error)) << error;
    EXPECT_TRUE(log.problems.empty()) << name;
  }
}

// What may already be at the path: a file the recorder made is appended to; a link (whatever it
// leads to), another user's file, one with a second name or writable by others, a FIFO or a
// device are refused, and nothing is written anywhere.
TEST_F(RecorderTest, AFileNotOursIsRefused) {
  const std::string target = file("target");
  const struct Case {
    const char* name;
    std::function<void(const std::string&)> plant;
    const char* error;  // empty: appended to
  } cases[] = {
      {"ours", [&](const std::string& p) { write(p, "# earlier\n", 0640); }, ""},
      {"a link", [&](const std::string& p) { ASSERT_EQ(symlink(target.c_str(), p.c_str()), 0); },
       "is a symbolic link: refused"},
      {"a dangling link",
       [&](const std::string& p) { ASSERT_EQ(symlink(file("none").c_str(), p.c_str()), 0); },
       "is a symbolic link: refused"},
      {"writable by the group", [&](const std::string& p) { write(p, "x", 0660); },
       "may be written by others"},
      {"a second name",
       [&](const std::string& p) { ASSERT_EQ(link(target.c_str(), p.c_str()), 0); },
       "has other names"},
      {"a FIFO", [&](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); },
       "is not a regular file"},
      {"a device", {}, "is not a regular file"},
      {"another user's",
       [&](const std::string& p) {
         write(p, "x", 0640);
         if (geteuid() == 0) {
           ASSERT_EQ(chown(p.c_str(), 12345, 12345), 0);
         }
       },
       "belongs to another user"},
  };
  const NTCAN_HANDLE h = open(0, {});
  int n = 0;
  for (const Case& c : cases) {
    if (std::string(c.name) == "another user's" && geteuid() != 0) continue;  // root only
    write(target, "target\n", 0640);
    std::string path = file(("planted" + std::to_string(n++)).c_str());
    if (c.plant) {
      c.plant(path);
    } else {
      path = "/dev/null";
    }
    rec::Options o;
    o.path = path;
    std::string error;
    EXPECT_EQ(rec::start(o, &error), *c.error == '\0') << c.name << ": " << error;
    EXPECT_NE(error.find(c.error), std::string::npos) << c.name << ": " << error;
    send(h, make_frame(0x100, {1}));
    rec::flush();
    rec::stop();
    std::ifstream in(target);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "target\n") << c.name;
    if (*c.error == '\0') {
      EXPECT_EQ(lines_of(path).size(), 2u) << c.name;  // appended to
    }
  }
}

TEST_F(RecorderTest, EnvironmentAndRefusedOptions) {
  struct Case {
    const char* nets;
    uint64_t mask;
  } const cases[] = {{"all", rec::kAllNets}, {"0", 1}, {"0,2-4", 0x1D}, {"19", 1u << 19}};
  for (const Case& c : cases) {
    uint64_t m = 0;
    EXPECT_TRUE(rec::parse_nets(c.nets, &m)) << c.nets;
    EXPECT_EQ(m, c.mask) << c.nets;
  }
  for (const char* bad : {"", "x", "-1", "3-1", "64", "1,,2", "1-", "1 2"}) {
    uint64_t m = 0;
    EXPECT_FALSE(rec::parse_nets(bad, &m)) << bad;
  }

  rec::Options o;
  std::string error;
  unsetenv("NTCAN_RECORD");
  EXPECT_FALSE(rec::options_from_environment(&o, &error));
  EXPECT_TRUE(error.empty());
  setenv("NTCAN_RECORD", "/tmp/x.log", 1);
  setenv("NTCAN_RECORD_NETS", "1-2", 1);
  setenv("NTCAN_RECORD_ROTATE", "10M", 1);
  ASSERT_TRUE(rec::options_from_environment(&o, &error));
  EXPECT_EQ(o.path, "/tmp/x.log");
  EXPECT_EQ(o.nets, 6u);
  EXPECT_EQ(o.rotate_bytes, 10u << 20);
  setenv("NTCAN_RECORD_ROTATE", "10G", 1);
  EXPECT_FALSE(rec::options_from_environment(&o, &error));
  EXPECT_EQ(error, "bad value of NTCAN_RECORD_ROTATE");
  unsetenv("NTCAN_RECORD_ROTATE");
  setenv("NTCAN_RECORD_MAX_BYTES", "1k", 1);
  ASSERT_TRUE(rec::options_from_environment(&o, &error));
  EXPECT_EQ(o.rotate_bytes, 1024u);
  EXPECT_EQ(o.keep, 4);
  unsetenv("NTCAN_RECORD_MAX_BYTES");
  ASSERT_TRUE(rec::options_from_environment(&o, &error));
  EXPECT_EQ(o.rotate_bytes, 64u << 20);  // bounded unless asked otherwise
  unsetenv("NTCAN_RECORD");

  o = rec::Options{};
  o.path = dir_.path() + "/no/such/dir/rec.log";
  EXPECT_FALSE(rec::start(o, &error));
  EXPECT_FALSE(rec::active());
  rec::flush();  // not recording: returns at once
}

// Many threads on their own nets: every frame is in the file once, each net's in order.
TEST_F(RecorderTest, ConcurrentSendersLoseNothingAndKeepEachNetsOrder) {
  constexpr int kThreads = 4;
  constexpr int kFrames = 2000;
  std::vector<NTCAN_HANDLE> hs;
  for (int t = 0; t < kThreads; ++t) hs.push_back(open(t, {}));
  rec::Options o;
  o.path = file();
  o.queue_frames = kThreads * kFrames;
  ASSERT_TRUE(rec::start(o));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kFrames; ++i) {
        CMSG f = make_frame(0x200, {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)});
        int32_t n = 1;
        canSend(hs[static_cast<size_t>(t)], &f, &n);
        if (i % 500 == 0) rec::flush();
      }
    });
  }
  for (auto& th : threads) th.join();
  rec::flush();
  std::map<std::string, int> next;
  canlog::Log log;
  ASSERT_TRUE(canlog::read_log_file(file(), &log));
  EXPECT_EQ(log.malformed + log.other, 0u);
  ASSERT_EQ(log.records.size(), size_t{kThreads * kFrames});
  for (const auto& r : log.records) {
    EXPECT_EQ(r.frame.data[0] | r.frame.data[1] << 8, next[r.iface]++) << r.iface;
  }
  EXPECT_EQ(dropped(), 0u);
}

}  // namespace
