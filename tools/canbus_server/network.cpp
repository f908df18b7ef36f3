#include "network.h"

#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <asio.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <thread>
#include <vector>

#include "server.h"
#include "tavik_log.h"

namespace canbus_server {
namespace {

// Output a client may leave unread before it is dropped; one answer larger than that still
// goes out whole when nothing else waits.
constexpr size_t kMaxUnread = 256 * 1024;
// Request lines read ahead of the ones being served; reading pauses beyond.
constexpr size_t kMaxQueued = 16;
// Bytes handed to the socket at a time, in at most kWriteLines queued texts (one system call).
constexpr size_t kWritePiece = 64 * 1024;
constexpr size_t kWriteLines = 64;

struct Writers {
  std::vector<asio::ip::network_v4> v4;
  std::vector<asio::ip::network_v6> v6;
  bool local = false;
  std::vector<uid_t> uids;
  std::vector<gid_t> gids;

  bool allows(const asio::ip::address& a) const {
    if (a.is_v4()) {
      for (const auto& n : v4) {
        if (asio::ip::network_v4(a.to_v4(), 32).is_subnet_of(n) || n.address() == a.to_v4())
          return true;
      }
    } else {
      for (const auto& n : v6) {
        if (asio::ip::network_v6(a.to_v6(), 128).is_subnet_of(n) || n.address() == a.to_v6())
          return true;
      }
    }
    return false;
  }

  // A Unix-socket client of user `uid` whose primary group is `gid`.
  bool allows_local(uid_t uid, gid_t gid) const {
    if (local || std::find(uids.begin(), uids.end(), uid) != uids.end()) return true;
    if (gids.empty()) return false;
    if (std::find(gids.begin(), gids.end(), gid) != gids.end()) return true;
    // The user's supplementary groups.
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr) return false;
    std::vector<gid_t> groups(64);
    int n = static_cast<int>(groups.size());
    if (getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &n) < 0) {
      groups.resize(static_cast<size_t>(n));
      if (getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &n) < 0) return false;
    }
    groups.resize(static_cast<size_t>(n));
    for (gid_t g : gids) {
      if (std::find(groups.begin(), groups.end(), g) != groups.end()) return true;
    }
    return false;
  }
};

asio::ip::address plain(const asio::ip::address& a) {
  if (a.is_v6() && a.to_v6().is_v4_mapped()) {
    return asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6());
  }
  return a;
}

}  // namespace

struct Network::Impl {
  Server& server;
  const int max_clients;
  const int max_per_address;
  const double idle_timeout;  // seconds, 0: none
  const int socket_mode;
  asio::io_context io;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
  std::thread thread;
  Writers writers;
  std::vector<std::shared_ptr<asio::ip::tcp::acceptor>> tcp;
  std::vector<std::shared_ptr<asio::local::stream_protocol::acceptor>> unix_;
  struct UnixPath {
    std::string path;
    dev_t dev;
    ino_t ino;
  };
  std::vector<UnixPath> unix_paths;  // the socket files this server created
  bool stopped = false;
  // On the event thread only:
  int clients = 0;
  std::map<std::string, int> per_peer;

  Impl(Server& s, const Options& o)
      : server(s),
        max_clients(o.max_clients),
        max_per_address(o.max_per_address),
        idle_timeout(o.idle_timeout),
        socket_mode(o.socket_mode) {}

  template <class Socket>
  class Session : public std::enable_shared_from_this<Session<Socket>> {
    struct Slot {
      bool done = false;
      bool end = false;
      std::string answer;
    };

   public:
    Session(Impl& net, Socket sock, std::shared_ptr<Client> c)
        : net_(net), sock_(std::move(sock)), client_(std::move(c)), idle_(net.io) {}

    void start() {
      std::weak_ptr<Session> weak = this->shared_from_this();
      asio::io_context& io = net_.io;
      client_->event_sink = [weak, &io](const std::string& line) {
        asio::post(io, [weak, line] {
          if (auto s = weak.lock()) s->send(line, true);
        });
      };
      net_.server.events().add(client_);
      arm_idle();
      read();
    }

    void close() {
      if (closed_) return;
      closed_ = true;
      // Dropping the queued work lets go of the answers' handlers, which hold this session.
      auto keep = this->shared_from_this();
      client_->watching = false;
      asio::error_code ec;
      idle_.cancel();
      sock_.shutdown(asio::socket_base::shutdown_both, ec);
      sock_.close(ec);
      --net_.clients;
      if (--net_.per_peer[client_->peer] <= 0) net_.per_peer.erase(client_->peer);
      net_.server.client_gone(client_);
    }

   private:
    // The idle time-out runs from the last complete request line.
    void arm_idle() {
      if (net_.idle_timeout <= 0 || closed_) return;
      idle_.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::duration<double>(net_.idle_timeout)));
      std::weak_ptr<Session> weak = this->shared_from_this();
      idle_.async_wait([weak](asio::error_code ec) {
        auto s = weak.lock();
        if (ec || !s || s->closed_) return;
        // Output waiting that did not move for a whole period: the client does not read.
        if (!s->outq_.empty() && !s->wrote_) {
          tavik::printtostderr(
              "CANBUS", "client " + s->client_->who() + " dropped: it does not read its answers");
          s->close();
          return;
        }
        s->wrote_ = false;
        // A watcher that reads its events, and a client waiting for its answers, are not idle.
        if (s->client_->watching || s->inflight_ > 0 || !s->outq_.empty()) {
          s->arm_idle();
          return;
        }
        tavik::printtostderr("CANBUS", "client " + s->client_->who() + " closed: no request for " +
                                           std::to_string(s->net_.idle_timeout) + " s");
        s->close();
      });
    }

    void read() {
      if (closed_ || reading_ || eof_ || queue_.size() >= kMaxQueued) return;
      reading_ = true;
      auto self = this->shared_from_this();
      sock_.async_read_some(asio::buffer(buf_), [self](asio::error_code ec, size_t n) {
        self->reading_ = false;
        if (self->closed_) return;
        std::vector<LineReader::Item> items;
        if (ec) {
          self->eof_ = true;
          self->reader_.finish(items);
        } else {
          self->reader_.feed(self->buf_, n, items);
        }
        if (!items.empty()) self->arm_idle();
        for (auto& it : items) self->queue_.push_back(std::move(it));
        self->next();
        // The client has ended its side: its bus work that has not started is dropped (a
        // client that has closed cannot be told apart from one that only stopped sending);
        // what runs or is answered at once still gets its answer.
        if (self->eof_) self->net_.server.client_gone(self->client_);
        self->read();
      });
    }

    // Submits what may go now: bus requests behind bus requests, anything else only once the
    // answers before it are in; nothing while more than kMaxUnread bytes wait to be read.
    void next() {
      while (!closed_ && !ending_ && !queue_.empty() && unread_ <= kMaxUnread) {
        const LineReader::Item& front = queue_.front();
        const bool bus = !front.too_long && net_.server.runs_on_bus(*client_, front.line);
        if (inflight_ > 0 && (!bus || !inflight_bus_)) break;
        LineReader::Item it = std::move(queue_.front());
        queue_.pop_front();
        auto slot = std::make_shared<Slot>();
        slots_.push_back(slot);
        ++inflight_;
        inflight_bus_ = bus;
        if (it.too_long) {
          answered(slot, "error: request longer than " + std::to_string(kMaxRequestLine) + " bytes",
                   false);
          continue;
        }
        // The request in flight keeps the session alive until its answer is handled.
        auto self = this->shared_from_this();
        asio::io_context& io = net_.io;
        net_.server.submit(
            client_, it.line, [self, slot, &io](const std::string& answer, bool end) {
              asio::post(io, [s = self, slot, answer, end] { s->answered(slot, answer, end); });
            });
      }
      maybe_end();
    }

    // On the event thread: an answer is in; the answers whose turn it is go out.
    void answered(const std::shared_ptr<Slot>& slot, const std::string& answer, bool end) {
      if (closed_) return;
      slot->done = true;
      slot->answer = answer;  // empty: dropped, nothing to send
      slot->end = end;
      --inflight_;
      while (!slots_.empty() && slots_.front()->done) {
        auto s = std::move(slots_.front());
        slots_.pop_front();
        if (!s->answer.empty()) send(s->answer, false);
        if (s->end) {
          ending_ = true;
          queue_.clear();
        }
      }
      next();
      read();
      maybe_end();
    }

    void maybe_end() {
      if (closed_ || inflight_ > 0 || writing_ || !outq_.empty()) return;
      if (ending_ || (eof_ && queue_.empty())) close();
    }

    // One answer or event line (framed, without its line feed). Answers are held back by
    // next(); events are not, and a watcher that leaves kMaxUnread bytes unread is dropped.
    void send(const std::string& text, bool event) {
      if (closed_) return;
      if (event && unread_ > kMaxUnread) {
        tavik::printtostderr("CANBUS",
                             "client " + client_->who() + " dropped: it does not read its answers");
        close();
        return;
      }
      unread_ += text.size() + 1;
      outq_.push_back(text + "\n");
      write();
    }

    // The output queue from its front, up to kWritePiece bytes in one write: what queued up
    // meanwhile (the events of a busy bus) goes out together, a large answer moves (and counts
    // as read) piece by piece.
    void write() {
      if (writing_ || outq_.empty() || closed_) return;
      writing_ = true;
      auto self = this->shared_from_this();
      out_.clear();
      size_t n = 0, from = written_;
      for (const std::string& text : outq_) {
        if (n == kWritePiece || out_.size() == kWriteLines) break;
        const size_t k = std::min(kWritePiece - n, text.size() - from);
        out_.emplace_back(text.data() + from, k);
        n += k;
        from = 0;
      }
      // The queue's texts stay where they are until the write is done: a deque keeps its
      // elements in place as texts are added behind them.
      asio::async_write(sock_, out_, [self, n](asio::error_code ec, size_t) {
        self->writing_ = false;
        if (self->closed_) return;
        if (ec) {
          self->close();
          return;
        }
        self->unread_ -= n;
        self->wrote_ = true;
        for (size_t left = n; left > 0;) {
          const size_t rest = self->outq_.front().size() - self->written_;
          if (left < rest) {
            self->written_ += left;
            break;
          }
          left -= rest;
          self->outq_.pop_front();
          self->written_ = 0;
        }
        self->write();
        self->next();
        self->read();
        self->maybe_end();
      });
    }

    Impl& net_;
    Socket sock_;
    std::shared_ptr<Client> client_;
    asio::steady_timer idle_;
    char buf_[4096];
    LineReader reader_;
    std::deque<LineReader::Item> queue_;       // read, not submitted yet
    std::deque<std::shared_ptr<Slot>> slots_;  // submitted, in request order
    int inflight_ = 0;                         // submitted and not answered
    bool inflight_bus_ = false;                // what was submitted last is bus work
    std::deque<std::string> outq_;
    size_t unread_ = 0;
    size_t written_ = 0;                   // of the front of outq_
    std::vector<asio::const_buffer> out_;  // what the write under way sends
    bool wrote_ = false;                   // output went out since the idle timer last looked
    bool reading_ = false, writing_ = false, eof_ = false, ending_ = false;
    bool closed_ = false;
  };

  template <class Socket>
  void refuse(Socket& sock, const std::string& why) {
    asio::error_code ec;
    sock.non_blocking(true, ec);
    asio::write(sock, asio::buffer("error: " + why + "\n"), ec);
    sock.close(ec);
  }

  template <class Socket>
  void admit(Socket sock, std::shared_ptr<Client> c) {
    if (clients >= max_clients) {
      refuse(sock, "too many clients");
      return;
    }
    if (per_peer[c->peer] >= max_per_address) {
      refuse(sock, "too many clients from " + c->peer);
      return;
    }
    ++clients;
    ++per_peer[c->peer];
    auto s = std::make_shared<Session<Socket>>(*this, std::move(sock), std::move(c));
    s->start();
  }

  template <class Acceptor, class Make>
  void accept(std::shared_ptr<Acceptor> a, Make make) {
    a->async_accept(
        [this, a, make](asio::error_code ec, typename Acceptor::protocol_type::socket s) {
          if (ec == asio::error::operation_aborted || !a->is_open()) return;
          if (ec) {
            // Out of descriptors, for instance: try again a little later instead of spinning.
            tavik::printtostderr("CANBUS", "accept failed: " + ec.message());
            auto t = std::make_shared<asio::steady_timer>(io, std::chrono::milliseconds(100));
            t->async_wait([this, a, make, t](asio::error_code) { accept(a, make); });
            return;
          }
          auto c = make(s);
          admit(std::move(s), std::move(c));
          accept(a, make);
        });
  }
};

Network::Network(Server& server, const Options& opts)
    : impl_(std::make_unique<Impl>(server, opts)) {}

Network::~Network() {
  stop();
}

bool Network::set_writers(const std::vector<std::string>& list, std::string& shown,
                          std::string& error) {
  Writers w;
  std::vector<std::string> entries = list;
  if (entries.empty()) entries = {"127.0.0.0/8", "::1", "local"};
  shown.clear();
  for (const auto& e : entries) {
    shown += (shown.empty() ? "" : " ") + e;
    if (e == "local") {
      w.local = true;
      continue;
    }
    if (e.rfind("uid:", 0) == 0) {
      uint64_t uid = 0;
      if (parse_uint(e.substr(4), 0xFFFFFFFEu, uid)) {
        w.uids.push_back(static_cast<uid_t>(uid));
        continue;
      }
      error = "--writers: '" + e + "' is no user id";
      return false;
    }
    if (e.rfind("group:", 0) == 0) {
      std::vector<char> buf(16384);
      group g{};
      group* found = nullptr;
      if (getgrnam_r(e.c_str() + 6, &g, buf.data(), buf.size(), &found) == 0 && found) {
        w.gids.push_back(g.gr_gid);
        continue;
      }
      error = "--writers: no group '" + e.substr(6) + "'";
      return false;
    }
    asio::error_code ec;
    if (e.find('/') != std::string::npos) {
      auto n4 = asio::ip::make_network_v4(e, ec);
      if (!ec) {
        w.v4.push_back(n4.canonical());
        continue;
      }
      auto n6 = asio::ip::make_network_v6(e, ec);
      if (!ec) {
        w.v6.push_back(n6.canonical());
        continue;
      }
    } else {
      auto a = asio::ip::make_address(e, ec);
      if (!ec && a.is_v4()) {
        w.v4.emplace_back(a.to_v4(), 32);
        continue;
      }
      if (!ec) {
        w.v6.emplace_back(a.to_v6(), 128);
        continue;
      }
    }
    error = "--writers: '" + quote_word(e) +
            "' is no address, network ADDR/BITS, 'local', uid:N or group:NAME";
    return false;
  }
  if (list.empty()) shown += " (the default)";
  impl_->writers = std::move(w);
  return true;
}

namespace {

// Whether a server answers on the Unix socket `path`.
bool answers_on(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  const bool live = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ||
                    (errno != ECONNREFUSED && errno != ENOENT);
  ::close(fd);
  return live;
}

}  // namespace

bool Network::listen(const std::string& where, std::string& bound, std::string& error) {
  Impl& m = *impl_;
  asio::error_code ec;
  if (where.find('/') != std::string::npos) {
    // A socket file left by a server that has ended is replaced; a socket a server answers on,
    // and any other file, are not.
    struct stat st {};
    if (::lstat(where.c_str(), &st) == 0) {
      if (!S_ISSOCK(st.st_mode)) {
        error = "--listen " + where + ": the file exists and is no socket";
        return false;
      }
      if (answers_on(where)) {
        error = "--listen " + where + ": a server answers there already";
        return false;
      }
      ::unlink(where.c_str());
    }
    auto a = std::make_shared<asio::local::stream_protocol::acceptor>(m.io);
    asio::local::stream_protocol::endpoint ep(where);
    a->open(ep.protocol(), ec);
    if (!ec) {
      // Created with the mode asked for (bind applies the umask): at no time with more.
      const mode_t old = ::umask(static_cast<mode_t>(~m.socket_mode & 0777));
      a->bind(ep, ec);
      ::umask(old);
    }
    if (!ec && ::chmod(where.c_str(), static_cast<mode_t>(m.socket_mode)) != 0)
      ec = asio::error_code(errno, asio::system_category());
    if (!ec && ::lstat(where.c_str(), &st) != 0)
      ec = asio::error_code(errno, asio::system_category());
    if (!ec) a->listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
      error = "--listen " + where + ": " + ec.message();
      return false;
    }
    m.unix_.push_back(a);
    m.unix_paths.push_back({where, st.st_dev, st.st_ino});
    bound = where;
    m.accept(a, [&m](asio::local::stream_protocol::socket& s) {
      auto c = std::make_shared<Client>();
      ucred cred{};
      socklen_t len = sizeof cred;
      if (::getsockopt(s.native_handle(), SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0) {
        c->host = "local:uid=" + std::to_string(cred.uid);
        c->peer = "uid " + std::to_string(cred.uid);
        c->writer = m.writers.allows_local(cred.uid, cred.gid);
      } else {
        c->host = "local";
        c->peer = "local";
        c->writer = m.writers.local;
      }
      return c;
    });
    return true;
  }
  std::string host = "127.0.0.1", port = where;
  const size_t colon = where.rfind(':');
  if (colon != std::string::npos) {
    host = where.substr(0, colon);
    port = where.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
      host = host.substr(1, host.size() - 2);
  }
  int p = -1;
  if (!parse_int(port, p) || p < 0 || p > 65535) {
    error = "--listen " + where + ": '" + port + "' is no port number";
    return false;
  }
  auto addr = asio::ip::make_address(host, ec);
  if (ec) {
    error = "--listen " + where + ": '" + host + "' is no address";
    return false;
  }
  asio::ip::tcp::endpoint ep(addr, static_cast<unsigned short>(p));
  auto a = std::make_shared<asio::ip::tcp::acceptor>(m.io);
  a->open(ep.protocol(), ec);
  if (!ec) a->set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) a->bind(ep, ec);
  if (!ec) a->listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    error = "--listen " + where + ": " + ec.message();
    return false;
  }
  auto local = a->local_endpoint(ec);
  bound = (local.address().is_v6() ? "[" + local.address().to_string() + "]"
                                   : local.address().to_string()) +
          ":" + std::to_string(local.port());
  m.tcp.push_back(a);
  m.accept(a, [&m](asio::ip::tcp::socket& s) {
    auto c = std::make_shared<Client>();
    asio::error_code e;
    auto peer = plain(s.remote_endpoint(e).address());
    c->host = e ? "unknown" : peer.to_string();
    c->peer = c->host;
    c->writer = !e && m.writers.allows(peer);
    return c;
  });
  return true;
}

void Network::start() {
  if (impl_->thread.joinable()) return;
  impl_->work.emplace(impl_->io.get_executor());
  impl_->thread = std::thread([this] { impl_->io.run(); });
}

void Network::stop() {
  Impl& m = *impl_;
  if (m.stopped) return;
  m.stopped = true;
  if (m.thread.joinable()) {
    m.work.reset();
    m.io.stop();
    m.thread.join();
  }
  // The event thread has ended (or never ran): nothing else touches the listeners now.
  // Sessions still open go with the io_context.
  asio::error_code ec;
  for (auto& a : m.tcp) a->close(ec);
  for (auto& a : m.unix_) a->close(ec);
  // Only the socket files this server made: one put there since by another server stays.
  for (const auto& p : m.unix_paths) {
    struct stat st {};
    if (::lstat(p.path.c_str(), &st) == 0 && st.st_dev == p.dev && st.st_ino == p.ino)
      ::unlink(p.path.c_str());
  }
}

}  // namespace canbus_server
