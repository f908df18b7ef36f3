// A program run with pipes on its standard input and output, driven line by line as a client
// drives canbus-server.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "requests.h"

// Reads lines from a descriptor, waiting on it with a bounded time as the guard against a hung
// peer (lines normally come at once).
class LineSource {
 public:
  explicit LineSource(int fd = -1) : fd_(fd) {}
  void reset(int fd) {
    fd_ = fd;
    buf_.clear();
  }
  std::string line(bool* ok = nullptr, int seconds = 30) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
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
      pollfd p{fd_, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
      char b[4096];
      ssize_t k = read(fd_, b, sizeof b);
      if (k <= 0) break;
      buf_.append(b, static_cast<size_t>(k));
    }
    if (ok) *ok = false;
    return "";
  }

  // One framed answer: its line, or a block's lines (the header "ok N lines" removed).
  std::vector<std::string> answer(bool* ok = nullptr) {
    bool got = false;
    std::vector<std::string> out{line(&got)};
    size_t n = 0;
    if (got && canbus_server::block_header(out[0], n)) {
      out.clear();
      for (size_t i = 0; got && i < n; ++i) out.push_back(line(&got));
    }
    if (ok) *ok = got;
    return out;
  }

 private:
  int fd_;
  std::string buf_;
};

// A network client of canbus-server: TCP "ADDR:PORT" (from the address `from` when given) or a
// Unix socket path.
class SocketClient {
 public:
  // `from`: the local address to connect from (TCP only), e.g. "127.0.0.2".
  explicit SocketClient(const std::string& where, const std::string& from = "") {
    if (where.find('/') != std::string::npos) {
      fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_un a{};
      a.sun_family = AF_UNIX;
      std::strncpy(a.sun_path, where.c_str(), sizeof a.sun_path - 1);
      connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    } else {
      fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      const auto colon = where.rfind(':');
      if (colon == std::string::npos) return;
      a.sin_port = htons(static_cast<uint16_t>(std::stoi(where.substr(colon + 1))));
      inet_pton(AF_INET, where.substr(0, colon).c_str(), &a.sin_addr);
      if (!from.empty()) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, from.c_str(), &local.sin_addr);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return;
      }
      connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    in_.reset(fd_);
  }
  ~SocketClient() {
    if (fd_ >= 0) close(fd_);
  }
  SocketClient(const SocketClient&) = delete;
  SocketClient& operator=(const SocketClient&) = delete;

  bool connected() const { return connected_; }
  int fd() const { return fd_; }
  bool send(const std::string& text) {
    return write(fd_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  }
  std::string line(bool* ok = nullptr) { return in_.line(ok); }
  std::vector<std::string> answer(bool* ok = nullptr) { return in_.answer(ok); }
  std::string ask(const std::string& request) {
    send(request + "\n");
    return line();
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
  LineSource in_;
};

// Open descriptors of a process.
inline int open_fds(pid_t pid) {
  int n = 0;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    ++n;
  return n;
}

class ServerProcess {
 public:
  ServerProcess(const std::string& workdir, std::vector<std::string> extra = {})
      : ServerProcess(Program{}, workdir + "/stderr.log",
                      concat({CANBUS_SERVER_PATH, "--manual", "--workdir", workdir}, extra)) {}

  // Any program, its standard error appended to `err`.
  struct Program {};
  ServerProcess(Program, const std::string& err, const std::vector<std::string>& args) {
    int in[2], out[2];
    EXPECT_EQ(pipe(in), 0);
    EXPECT_EQ(pipe(out), 0);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      int e = open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      dup2(e, 2);
      close(in[1]);
      close(out[0]);
      std::vector<std::string> a2 = args;
      std::vector<char*> argv;
      for (auto& a : a2) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    to_ = in[1];
    from_ = out[0];
    from_lines_.reset(from_);
  }

  ~ServerProcess() {
    if (to_ >= 0) close(to_);
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (from_ >= 0) close(from_);
  }

  // The next line of output; empty with `ok` false when none came within the time limit.
  std::string line(bool* ok = nullptr, int seconds = 30) { return from_lines_.line(ok, seconds); }
  std::vector<std::string> answer(bool* ok = nullptr) { return from_lines_.answer(ok); }

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

  static std::vector<std::string> concat(std::vector<std::string> a,
                                         const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }

  // Sends bytes as they are (no line feed added).
  void send_raw(const std::string& bytes) {
    ASSERT_EQ(write(to_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Ends standard input: the server serves what it has and ends.
  void close_input() {
    close(to_);
    to_ = -1;
  }
  pid_t pid() const { return pid_; }

  void terminate() {
    if (pid_ > 0) kill(pid_, SIGTERM);
  }

  int wait_exit() {
    if (to_ >= 0) close(to_);
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
  LineSource from_lines_;
};
