// canbus-ctl: a client of canbus-server's line protocol for shells and scripts. It sends the
// request of its command line, or the request lines of its standard input one after the other,
// and prints each answer: a block's lines without the "ok N lines" header, a one-line answer as
// it is, an "error: ..." line on standard error. Events (after `watch`) are printed as their
// lines. One thread: poll on the connection and standard input, plain POSIX sockets.
//
// Exit status: 0 every answer ok; 1 an answer was an error; 2 bad command line; 3 no connection,
// or the connection ended or stayed silent (--timeout) before an answer was whole.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iostream>
#include <string>
#include <vector>

#include "requests.h"

namespace {

using canbus_server::LineReader;

constexpr const char* kName = "canbus-ctl";
constexpr int kOk = 0, kFailed = 1, kUsage = 2, kNoConnection = 3;
// An answer line has no limit of the protocol's own (a JSON answer is one line): this one only
// bounds the memory a broken server can make the client take.
constexpr size_t kMaxAnswerLine = size_t{1} << 28;

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline` for poll: -1 without one, 0 once it has passed.
int left_ms(bool has_deadline, Clock::time_point deadline) {
  if (!has_deadline) return -1;
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return ms <= 0 ? 0 : static_cast<int>(std::min<long long>(ms + 1, 1 << 30));
}

// Connects a stream socket to `addr`, waiting at most until the deadline. -1 with `error` set.
int connect_to(const sockaddr* addr, socklen_t len, bool has_deadline, Clock::time_point deadline,
               std::string& error) {
  const int fd = ::socket(addr->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    error = std::strerror(errno);
    return -1;
  }
  int rc = ::connect(fd, addr, len);
  if (rc != 0 && errno == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    do {
      rc = ::poll(&p, 1, left_ms(has_deadline, deadline));
    } while (rc < 0 && errno == EINTR);
    if (rc == 0) {
      ::close(fd);
      error = "no connection within the time-out";
      return -1;
    }
    int so = 0;
    socklen_t sl = sizeof so;
    if (rc < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &so, &sl) != 0) so = errno;
    rc = so == 0 ? 0 : -1;
    errno = so;
  }
  if (rc != 0) {
    error = std::strerror(errno);
    ::close(fd);
    return -1;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

// `where` as canbus-server's --listen takes it: a path (it holds a '/'), ADDR:PORT ([V6]:PORT),
// or PORT on 127.0.0.1. Returns the socket, -1 when it cannot connect (`error` set), -2 when
// `where` is no address at all.
int connect_where(const std::string& where, double timeout_s, std::string& error) {
  const bool has_deadline = timeout_s > 0;
  const auto deadline =
      Clock::now() + std::chrono::microseconds(static_cast<long long>(timeout_s * 1e6));
  if (where.find('/') != std::string::npos) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (where.size() >= sizeof a.sun_path) {
      error = "the socket path is longer than " + std::to_string(sizeof a.sun_path - 1) + " bytes";
      return -2;
    }
    std::memcpy(a.sun_path, where.c_str(), where.size() + 1);
    return connect_to(reinterpret_cast<sockaddr*>(&a), sizeof a, has_deadline, deadline, error);
  }
  std::string host = "127.0.0.1", port = where;
  const size_t colon = where.rfind(':');
  if (colon != std::string::npos) {
    host = where.substr(0, colon);
    port = where.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
      host = host.substr(1, host.size() - 2);
  }
  char* end = nullptr;
  const long p = std::strtol(port.c_str(), &end, 10);
  if (port.empty() || *end != '\0' || p < 1 || p > 65535 || port[0] < '0' || port[0] > '9') {
    error = "'" + port + "' is no port number";
    return -2;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int gai = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  if (gai != 0) {
    error = "'" + host + "': " + ::gai_strerror(gai);
    return -1;
  }
  int fd = -1;
  for (addrinfo* ai = found; ai != nullptr && fd < 0; ai = ai->ai_next)
    fd = connect_to(ai->ai_addr, ai->ai_addrlen, has_deadline, deadline, error);
  ::freeaddrinfo(found);
  if (fd >= 0) {
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  return fd;
}

bool send_all(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t k = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    done += static_cast<size_t>(k);
  }
  return true;
}

void print_line(FILE* to, const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), to);
  std::fputc('\n', to);
}

struct Settings {
  std::string connect;
  std::string user;
  double timeout = 120;
  bool json = false;
  bool stop_on_error = false;
  std::vector<std::string> words;  // the request of the command line
};

// One connection's session: requests out one at a time, each answer read whole before the next.
class Session {
 public:
  Session(const Settings& s, int fd) : s_(s), fd_(fd), answers_(kMaxAnswerLine) {}

  int run() {
    if (!s_.user.empty()) queue_.push_back({"user " + s_.user, true});
    const bool from_stdin = s_.words.empty();
    if (!from_stdin) {
      std::string line;
      for (const auto& w : s_.words) line += (line.empty() ? "" : " ") + w;
      queue_.push_back({request_line(line), false});
    }
    bool stdin_open = from_stdin;
    for (;;) {
      if (!pending_ && !queue_.empty() && !done_) {
        if (!send_next()) return connection_lost("the connection ended");
        continue;
      }
      if (done_ || (!pending_ && queue_.empty() && !stdin_open && !watching_)) break;
      pollfd p[2] = {{fd_, POLLIN, 0}, {0, POLLIN, 0}};
      // Standard input is read only while nothing waits to be sent: one request at a time.
      const nfds_t n = stdin_open && queue_.empty() ? 2 : 1;
      const int rc = ::poll(p, n, left_ms(pending_ && s_.timeout > 0, deadline_));
      if (rc < 0 && errno == EINTR) continue;
      if (rc == 0) {
        char t[64];
        std::snprintf(t, sizeof t, "no answer within %g s", s_.timeout);
        return connection_lost(t);
      }
      if (p[0].revents != 0 && !read_answers()) {
        if (pending_ || block_left_ > 0) return connection_lost("the connection ended");
        break;  // the server ended it between answers (after `quit`, or while watching)
      }
      if (n == 2 && p[1].revents != 0) stdin_open = read_requests();
    }
    std::fflush(stdout);
    return errors_ > 0 ? kFailed : kOk;
  }

 private:
  struct Request {
    std::string line;
    bool quiet;  // `user`: its answer is not printed, and an error ends the session
  };

  std::string request_line(const std::string& line) const {
    return s_.json ? "json " + line : line;
  }

  bool send_next() {
    current_ = queue_.front();
    queue_.pop_front();
    pending_ = true;
    deadline_ = Clock::now() + std::chrono::microseconds(static_cast<long long>(s_.timeout * 1e6));
    return send_all(fd_, current_.line + "\n");
  }

  int connection_lost(const std::string& why) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s: %s\n", kName, s_.connect.c_str(), why.c_str());
    return kNoConnection;
  }

  // Reads what the server sent and handles its whole lines; false at the connection's end.
  bool read_answers() {
    char buf[65536];
    const ssize_t k = ::read(fd_, buf, sizeof buf);
    if (k < 0 && errno == EINTR) return true;
    std::vector<LineReader::Item> items;
    if (k <= 0) {
      answers_.finish(items);
    } else {
      answers_.feed(buf, static_cast<size_t>(k), items);
    }
    for (const auto& it : items) {
      if (it.too_long) {
        // Far beyond any answer: the stream is no longer the protocol.
        std::fprintf(stderr, "%s: an answer line longer than %zu bytes\n", kName, kMaxAnswerLine);
        return false;
      }
      on_line(it.line);
      if (done_) return true;
    }
    return k > 0;
  }

  void on_line(const std::string& line) {
    size_t n = 0;
    if (block_left_ > 0) {
      print_line(stdout, line);
      if (--block_left_ == 0) answered(false);
    } else if (canbus_server::block_header(line, n)) {
      block_left_ = n;
      if (n == 0) answered(false);
    } else if (line.rfind("event ", 0) == 0) {
      print_line(stdout, line);
      flush();
    } else {
      const bool error = line.rfind("error: ", 0) == 0;
      if (!(pending_ && current_.quiet && !error)) print_line(error ? stderr : stdout, line);
      if (pending_) {
        answered(error);
      } else if (error) {
        ++errors_;  // from the server by itself: no place for the client, dropped
      }
    }
  }

  // Standard output gone (`canbus-ctl watch | head`): nothing more to do.
  void flush() {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) done_ = true;
  }

  void answered(bool error) {
    flush();
    pending_ = false;
    if (error) {
      ++errors_;
      if (s_.stop_on_error || current_.quiet) done_ = true;
      return;
    }
    const auto words = canbus_server::split_words(current_.line);
    if (words.empty()) return;
    if (words[0] == "watch") watching_ = words.size() == 1 || words[1] == "on";
    if (words[0] == "quit") done_ = true;
  }

  // Reads request lines from standard input into the queue; false at its end.
  bool read_requests() {
    char buf[65536];
    const ssize_t k = ::read(0, buf, sizeof buf);
    if (k < 0 && errno == EINTR) return true;
    std::vector<LineReader::Item> items;
    if (k <= 0) {
      requests_.finish(items);
    } else {
      requests_.feed(buf, static_cast<size_t>(k), items);
    }
    for (const auto& it : items) {
      if (it.too_long) {
        // The server would refuse it the same way: it is not sent.
        std::fprintf(stderr, "error: request longer than %zu bytes\n",
                     canbus_server::kMaxRequestLine);
        ++errors_;
        if (s_.stop_on_error) done_ = true;
        continue;
      }
      const auto words = canbus_server::split_words(it.line);
      if (words.empty() || words[0][0] == '#') continue;  // blank lines and comments
      queue_.push_back({request_line(it.line), false});
    }
    return k > 0;
  }

  const Settings& s_;
  int fd_;
  LineReader answers_;
  LineReader requests_;
  std::deque<Request> queue_;
  Request current_{"", false};
  bool pending_ = false;  // current_ is sent and its answer not whole yet
  size_t block_left_ = 0;
  bool watching_ = false;
  bool done_ = false;
  int errors_ = 0;
  Clock::time_point deadline_{};
};

const CLI::Validator kFinite(
    [](std::string& text) -> std::string {
      double v = 0;
      if (!CLI::detail::lexical_cast(text, v) || !std::isfinite(v))
        return "'" + text + "' is not a finite number";
      return {};
    },
    "FINITE");

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "canbus-ctl: sends requests to canbus-server (--listen) and prints the answers: a block's\n"
      "lines without their 'ok N lines', an error on standard error. With REQUEST words it\n"
      "sends that one request; without, the request lines of standard input one after the\n"
      "other (blank lines and lines starting with '#' are skipped). After 'watch' the events\n"
      "are printed until the connection ends or the program is interrupted. Exit status: 0 ok,\n"
      "1 an answer was an error, 2 bad command line, 3 no connection, or it ended or timed\n"
      "out before an answer was whole.",
      kName};
  Settings s;
  app.add_option("--connect", s.connect,
                 "the server: ADDR:PORT, PORT (on 127.0.0.1) or a Unix socket path, as given "
                 "to its --listen")
      ->required();
  app.add_option("--user", s.user, "sends 'user NAME' first: the name the server logs writes with");
  app.add_option("--timeout", s.timeout,
                 "seconds to wait for the connection and for each answer; 0: no limit "
                 "(default 120)")
      ->check(kFinite)
      ->check(CLI::NonNegativeNumber);
  app.add_flag("--json", s.json, "sends each request as 'json REQUEST': its answer in JSON");
  app.add_flag("--stop-on-error", s.stop_on_error,
               "standard input: sends no further request after an error");
  // Everything from the first request word on is the request, options of its own included
  // (`sdo read --wait ...`).
  app.prefix_command();
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::cout << app.help();
    return kOk;
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) {
      app.exit(e);
      return kOk;
    }
    std::cerr << kName << ": " << e.what() << "\n(--help lists the options)\n";
    return kUsage;
  }
  s.words = app.remaining();
  if (!s.words.empty() && s.words.front() == "--") s.words.erase(s.words.begin());
  ::signal(SIGPIPE, SIG_IGN);

  std::string error;
  const int fd = connect_where(s.connect, s.timeout, error);
  if (fd < 0) {
    std::cerr << kName << ": --connect " << s.connect << ": " << error << "\n";
    return fd == -2 ? kUsage : kNoConnection;
  }
  Session session(s, fd);
  const int status = session.run();
  ::close(fd);
  return status;
}
