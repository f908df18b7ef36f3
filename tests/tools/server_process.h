// A program run with pipes on its standard input and output, driven line by line as a client
// drives canbus-server.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

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

  static std::vector<std::string> concat(std::vector<std::string> a,
                                         const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }

  void terminate() {
    if (pid_ > 0) kill(pid_, SIGTERM);
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
