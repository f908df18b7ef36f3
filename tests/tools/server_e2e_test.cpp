// canbus-server end to end: the program is started with pipes on its standard input and output
// and driven as a client would. --manual makes the receive cycle run only on "tick", so every
// answer is deterministic.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

class ServerProcess {
 public:
  ServerProcess(const std::string& workdir, std::vector<std::string> extra = {}) {
    int in[2], out[2];
    EXPECT_EQ(pipe(in), 0);
    EXPECT_EQ(pipe(out), 0);
    std::vector<std::string> args = {CANBUS_SERVER_PATH, "--manual", "--workdir", workdir};
    args.insert(args.end(), extra.begin(), extra.end());
    std::string err = workdir + "/stderr.log";
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      int e = open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      dup2(e, 2);
      close(in[1]);
      close(out[0]);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    to_ = in[1];
    from_ = out[0];
  }

  ~ServerProcess() {
    if (to_ >= 0) close(to_);
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (from_ >= 0) close(from_);
  }

  // The next line of output; empty with `ok` false when none came within the time limit (a
  // safety net against a hung server, not a pause: lines normally come at once).
  std::string line(bool* ok = nullptr) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
      auto pos = buf_.find('\n');
      if (pos != std::string::npos) {
        std::string l = buf_.substr(0, pos);
        buf_.erase(0, pos + 1);
        if (ok) *ok = true;
        return l;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      pollfd p{from_, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
      char b[4096];
      ssize_t k = read(from_, b, sizeof b);
      if (k <= 0) break;
      buf_.append(b, static_cast<size_t>(k));
    }
    if (ok) *ok = false;
    return "";
  }

  // Reads output up to and including the line that starts with `prefix`.
  std::vector<std::string> until(const std::string& prefix) {
    std::vector<std::string> lines;
    bool ok = true;
    while (ok) {
      lines.push_back(line(&ok));
      if (ok && lines.back().rfind(prefix, 0) == 0) return lines;
    }
    ADD_FAILURE() << "no line starting with '" << prefix << "'";
    return lines;
  }

  void send(const std::string& request) {
    std::string s = request + "\n";
    ASSERT_EQ(write(to_, s.data(), s.size()), static_cast<ssize_t>(s.size()));
  }

  std::string ask(const std::string& request) {
    send(request);
    return line();
  }

  int wait_exit() {
    close(to_);
    to_ = -1;
    int st = 0;
    waitpid(pid_, &st, 0);
    pid_ = -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }

 private:
  pid_t pid_ = -1;
  int to_ = -1;
  int from_ = -1;
  std::string buf_;
};

class ServerE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/canbus-server-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string stderr_text() {
    std::ifstream f(dir_ + "/stderr.log");
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  std::string dir_;
};

TEST_F(ServerE2E, IdentityStringsOfTheSimulatedNodes) {
  ServerProcess s(dir_);
  s.until("type 'help'");
  EXPECT_EQ(s.ask("get CAN.PUMP.MANU"),
            "CAN.PUMP.MANU = Vacuum pump controller VPC-200, turbo stage, serial 0815");
  EXPECT_EQ(s.ask("get CAN.PUMP.HWVER"), "CAN.PUMP.HWVER = HW 1.2");
  EXPECT_EQ(s.ask("get CAN.PUMP.SWVER"), "CAN.PUMP.SWVER = SW 3.4.1");
  EXPECT_EQ(s.ask("get CAN.VALVE.MANU"), "CAN.VALVE.MANU = VLV1");
  EXPECT_EQ(s.ask("get CAN.MAGNET.MANU"), "CAN.MAGNET.MANU = Magnet power supply MPS-40");
  // The follower of the pump's node reads the same identity.
  EXPECT_EQ(s.ask("get CAN.PUMP_MONITOR.SWVER"), "CAN.PUMP_MONITOR.SWVER = SW 3.4.1");
}

TEST_F(ServerE2E, StopAndStartFollowedThroughGuarding) {
  ServerProcess s(dir_);
  s.until("type 'help'");
  ASSERT_EQ(s.ask("tick 21"), "ok");
  std::string alive = s.ask("get CAN.PUMP.ALIVE");
  EXPECT_TRUE(alive == "CAN.PUMP.ALIVE = 5" || alive == "CAN.PUMP.ALIVE = 133") << alive;
  EXPECT_EQ(s.ask("get CAN.PUMP.CONDITION"), "CAN.PUMP.CONDITION = Operational");

  ASSERT_EQ(s.ask("set CAN.PUMP.STOP 1"), "ok");
  ASSERT_EQ(s.ask("tick 20"), "ok");
  alive = s.ask("get CAN.PUMP.ALIVE");
  EXPECT_TRUE(alive == "CAN.PUMP.ALIVE = 4" || alive == "CAN.PUMP.ALIVE = 132") << alive;
  EXPECT_EQ(s.ask("get CAN.PUMP.CONDITION"), "CAN.PUMP.CONDITION = Stopped");
  // The follower shares the node state.
  EXPECT_EQ(s.ask("get CAN.PUMP_MONITOR.ALIVE"), alive.replace(0, 14, "CAN.PUMP_MONITOR.ALIVE"));

  ASSERT_EQ(s.ask("set CAN.PUMP.START 1"), "ok");
  ASSERT_EQ(s.ask("tick 20"), "ok");
  EXPECT_EQ(s.ask("get CAN.PUMP.CONDITION"), "CAN.PUMP.CONDITION = Operational");
}

TEST_F(ServerE2E, EmergencyIsReported) {
  ServerProcess s(dir_);
  s.until("type 'help'");
  ASSERT_EQ(s.ask("sim emcy CAN.VALVE"), "ok");
  ASSERT_EQ(s.ask("tick 1"), "ok");
  s.send("status");
  auto table = s.until("line 2:");
  bool found = false;
  for (auto& l : table) {
    if (l.rfind("CAN.VALVE ", 0) == 0) {
      found = true;
      std::istringstream in(l);
      std::string name, line, id, role, cond, alive, fill, emcy;
      in >> name >> line >> id >> role >> cond >> alive >> fill >> emcy;
      EXPECT_EQ(emcy, "1") << l;
      EXPECT_EQ(role, "master");
    }
  }
  EXPECT_TRUE(found);
  ASSERT_EQ(s.ask("quit"), "bye");
  EXPECT_EQ(s.wait_exit(), 0);
  EXPECT_NE(stderr_text().find("D_can::can_emergency 0x10 0x81 0x11 0x0 0x0 0x0 0x0 0x0 "),
            std::string::npos)
      << stderr_text();
}

TEST_F(ServerE2E, SilentNodeIsMarked) {
  ServerProcess s(dir_);
  s.until("type 'help'");
  ASSERT_EQ(s.ask("tick 10"), "ok");
  ASSERT_EQ(s.ask("sim silent CAN.VALVE on"), "ok");
  ASSERT_EQ(s.ask("tick 50"), "ok");
  EXPECT_EQ(s.ask("get CAN.VALVE.CONDITION"), "CAN.VALVE.CONDITION = No guarding reply");
  EXPECT_EQ(s.ask("get CAN.PUMP.CONDITION"), "CAN.PUMP.CONDITION = Operational");
  ASSERT_EQ(s.ask("sim silent CAN.VALVE off"), "ok");
  ASSERT_EQ(s.ask("tick 20"), "ok");
  EXPECT_EQ(s.ask("get CAN.VALVE.CONDITION"), "CAN.VALVE.CONDITION = Operational");
}

TEST_F(ServerE2E, BadRequestsAreAnsweredWithErrors) {
  ServerProcess s(dir_);
  s.until("type 'help'");
  const char* requests[] = {
      "get CAN.NOPE",
      "set CAN.NOPE 1",
      "set CAN.PUMP.BAUDRATE abc",
      "set CAN.PUMP 1 2",
      "set CAN.PUMP 1 x 0 0",
      "frobnicate",
      "sim silent CAN.NOPE on",
      "tick -3",
      "set CAN.PUMP.BAUDRATE 99999999999",
  };
  for (const char* r : requests) {
    std::string a = s.ask(r);
    EXPECT_EQ(a.rfind("error: ", 0), 0u) << r << " -> " << a;
  }
  // Still serving.
  EXPECT_EQ(s.ask("get CAN.PUMP"), "CAN.PUMP = 1 5 0 0");
}

TEST_F(ServerE2E, SavedConfigurationIsReadOnTheNextStart) {
  {
    ServerProcess s(dir_);
    s.until("type 'help'");
    ASSERT_EQ(s.ask("set CAN.VALVE.BAUDRATE 4"), "ok");
    EXPECT_EQ(s.ask("set CAN.MAGNET 2 11 0 0").rfind("ok (moved", 0), 0u);
    EXPECT_EQ(s.ask("save").rfind("ok (saved", 0), 0u);
    ASSERT_EQ(s.ask("quit"), "bye");
    EXPECT_EQ(s.wait_exit(), 0);
  }
  ServerProcess s(dir_);
  s.until("type 'help'");
  EXPECT_EQ(s.ask("get CAN.VALVE.BAUDRATE"), "CAN.VALVE.BAUDRATE = 4");
  EXPECT_EQ(s.ask("get CAN.MAGNET"), "CAN.MAGNET = 2 11 0 0");
  EXPECT_EQ(s.ask("get CAN.PUMP"), "CAN.PUMP = 1 5 0 0");
}

}  // namespace
