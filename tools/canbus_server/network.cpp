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
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
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
// Texts (answers, pieces of a streamed answer, batches of events) a watcher may leave unread.
constexpr size_t kMaxTexts = 8192;

using Clock = std::chrono::steady_clock;

asio::ip::address plain(const asio::ip::address& a) {
  if (a.is_v6() && a.to_v6().is_v4_mapped()) {
    return asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6());
  }
  return a;
}

}  // namespace

struct WriterRule::Rules {
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

bool WriterRule::allows(const std::string& address) const {
  asio::error_code ec;
  const auto a = asio::ip::make_address(address, ec);
  return !ec && rules_ && rules_->allows(plain(a));
}

bool WriterRule::allows_local(uid_t uid, gid_t gid) const {
  return rules_ && rules_->allows_local(uid, gid);
}

struct Network::Impl {
  Server& server;
  const int max_clients;
  const int max_per_address;
  const int prefix_v4, prefix_v6;
  const double idle_timeout;  // seconds, 0: none
  const int socket_mode;
  asio::io_context io;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
  std::thread thread;
  WriterRule writers;
  std::vector<std::shared_ptr<asio::ip::tcp::acceptor>> tcp;
  std::vector<std::shared_ptr<asio::local::stream_protocol::acceptor>> unix_;
  struct UnixPath {
    std::string path;
    dev_t dev;
    ino_t ino;
  };
  std::vector<UnixPath> unix_paths;  // the socket files this server created
  bool stopped = false;

  // Makes the streamed answers (AnswerStream) off the event thread, one after the other.
  struct Maker {
    std::mutex mx;
    std::condition_variable cv;
    std::deque<std::function<void()>> jobs;
    bool stopping = false;
    std::thread thread;
    void post(std::function<void()> job) {
      std::lock_guard<std::mutex> lk(mx);
      jobs.push_back(std::move(job));
      cv.notify_one();
    }
    void run() {
      std::unique_lock<std::mutex> lk(mx);
      for (;;) {
        cv.wait(lk, [this] { return stopping || !jobs.empty(); });
        if (jobs.empty()) return;
        auto job = std::move(jobs.front());
        jobs.pop_front();
        lk.unlock();
        job();
        job = nullptr;
        lk.lock();
      }
    }
  };
  // One for the slow answers (od: counting a large dictionary takes a while), one for the others
  // (list, status: the state lock a slice at a time): a long od never delays a status.
  Maker makers[2];

  // What the event thread knows of a session.
  struct Base {
    virtual ~Base() = default;
    std::shared_ptr<Client> client;
    std::string key;   // what the per-address limit counts
    bool tcp = false;  // a TCP client (Unix-socket clients always find a place)
    Clock::time_point last_request;
    virtual void events(const std::shared_ptr<const std::string>& text, size_t lines) = 0;
    virtual void evict(const std::string& why) = 0;
  };

  // On the event thread only:
  int clients = 0;
  std::map<std::string, int> per_peer;
  std::vector<std::weak_ptr<Base>> sessions;
  // When a client was last refused a place: for want of any, and for want of one of its
  // network (networks with clients here, kept for the idle period).
  std::optional<Clock::time_point> last_refused;
  std::map<std::string, Clock::time_point> refused_from;

  Impl(Server& s, const Options& o)
      : server(s),
        max_clients(o.max_clients),
        max_per_address(o.max_per_address),
        prefix_v4(o.prefix_v4),
        prefix_v6(o.prefix_v6),
        idle_timeout(o.idle_timeout),
        socket_mode(o.socket_mode) {}

  Clock::duration idle_period() const {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(idle_timeout));
  }

  // Whether watching no longer keeps session `s` while it sends nothing: clients of its network
  // were refused a place within the idle period, or (a read-only TCP client: the others always
  // find a place) all places are taken or a client found none within the idle period.
  bool pressed(const Base& s) const {
    const auto now = Clock::now();
    auto it = refused_from.find(s.key);
    if (it != refused_from.end() && now - it->second < idle_period()) return true;
    if (!s.tcp || s.client->writer) return false;
    return clients >= max_clients || (last_refused && now - *last_refused < idle_period());
  }

  // What the per-address limit counts for a TCP peer: its network of the prefix length (the
  // address itself with 32 or 128).
  std::string key_of(const asio::ip::address& a) const {
    if (a.is_v4()) {
      if (prefix_v4 >= 32) return a.to_string();
      return asio::ip::network_v4(a.to_v4(), static_cast<unsigned short>(prefix_v4))
          .canonical()
          .to_string();
    }
    if (prefix_v6 >= 128) return a.to_string();
    return asio::ip::network_v6(a.to_v6(), static_cast<unsigned short>(prefix_v6))
        .canonical()
        .to_string();
  }

  // The event thread: the lines the hub has queued go to every watching session as one shared
  // text. Lines lost to the hub's bound drop every watcher: none of them may miss an event.
  void forward() {
    size_t lines = 0;
    bool lost = false;
    auto text = std::make_shared<const std::string>(server.events().take(lines, lost));
    std::vector<std::shared_ptr<Base>> live;
    for (auto& w : sessions) {
      if (auto s = w.lock()) {
        if (s->client->watching) live.push_back(std::move(s));
      }
    }
    for (auto& s : live) {
      if (lost) {
        tavik::printtostderr("CANBUS", "client " + s->client->who() +
                                           " dropped: events came faster than they could be sent");
        s->evict("");
      } else if (lines > 0) {
        s->events(text, lines);
      }
    }
  }

  template <class Socket>
  class Session : public Base, public std::enable_shared_from_this<Session<Socket>> {
    struct Slot {
      bool done = false;
      bool end = false;
      std::string answer;
      std::shared_ptr<AnswerStream> stream;  // a streamed answer (its header is `answer`)
    };
    using Text = std::shared_ptr<const std::string>;

   public:
    Session(Impl& net, Socket sock) : net_(net), sock_(std::move(sock)), idle_(net.io) {}

    void start() {
      last_request = Clock::now();
      arm_idle();
      read();
    }

    void close() {
      if (closed_) return;
      closed_ = true;
      // Dropping the queued work lets go of the answers' handlers, which hold this session.
      auto keep = this->shared_from_this();
      client->watching = false;
      asio::error_code ec;
      idle_.cancel();
      sock_.shutdown(asio::socket_base::shutdown_both, ec);
      sock_.close(ec);
      --net_.clients;
      if (--net_.per_peer[key] <= 0) net_.per_peer.erase(key);
      auto& all = net_.sessions;
      all.erase(std::remove_if(all.begin(), all.end(),
                               [this](const std::weak_ptr<Base>& w) {
                                 auto s = w.lock();
                                 return !s || s.get() == static_cast<Base*>(this);
                               }),
                all.end());
      net_.server.client_gone(client);
    }

    // Closed to make room (with `why` as its last line when nothing else is being sent).
    void evict(const std::string& why) override {
      if (closed_) return;
      if (!why.empty() && !writing_ && outq_.empty()) {
        asio::error_code ec;
        sock_.non_blocking(true, ec);
        asio::write(sock_, asio::buffer("error: " + why + "\n"), ec);
      }
      close();
    }

    // Lines of events. Held back while a streamed answer goes out (a block is never cut); a
    // watcher that leaves kMaxUnread bytes (of events, while an answer streams) or kMaxTexts
    // texts unread is dropped.
    void events(const Text& text, size_t) override {
      if (closed_) return;
      // While a streamed answer goes out, the events held behind it count alone.
      if ((stream_ ? held_bytes_ : unread_) > kMaxUnread ||
          outq_.size() + held_.size() >= kMaxTexts) {
        tavik::printtostderr("CANBUS",
                             "client " + client->who() + " dropped: it does not read its answers");
        close();
        return;
      }
      unread_ += text->size();
      if (stream_) {
        held_bytes_ += text->size();
        held_.push_back(text);
        return;
      }
      outq_.push_back(text);
      write();
    }

   private:
    // The idle time-out runs from the last complete request line.
    void arm_idle() {
      if (net_.idle_timeout <= 0 || closed_) return;
      idle_.expires_at(std::max(last_request, idle_from_) + net_.idle_period());
      std::weak_ptr<Session> weak = this->shared_from_this();
      idle_.async_wait([weak](asio::error_code ec) {
        auto s = weak.lock();
        if (ec || !s || s->closed_) return;
        if (Clock::now() < std::max(s->last_request, s->idle_from_) + s->net_.idle_period()) {
          s->arm_idle();  // a request came meanwhile
          return;
        }
        // Output waiting that did not move for a whole period: the client does not read.
        if (!s->outq_.empty() && !s->wrote_) {
          tavik::printtostderr(
              "CANBUS", "client " + s->client->who() + " dropped: it does not read its answers");
          s->close();
          return;
        }
        s->wrote_ = false;
        // A client waiting for its answers is not idle, nor a watcher that reads its events
        // while places are not short for it (see pressed()).
        if (s->inflight_ > 0 || !s->outq_.empty() || s->stream_ ||
            (s->client->watching && !s->net_.pressed(*s))) {
          s->idle_from_ = Clock::now();
          s->arm_idle();
          return;
        }
        tavik::printtostderr("CANBUS", "client " + s->client->who() + " closed: no request for " +
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
        if (!items.empty()) self->last_request = Clock::now();
        for (auto& it : items) self->queue_.push_back(std::move(it));
        self->next();
        // The client has ended its side: its bus work that has not started is dropped (a
        // client that has closed cannot be told apart from one that only stopped sending);
        // what runs or is answered at once still gets its answer.
        if (self->eof_) self->net_.server.client_gone(self->client);
        self->read();
      });
    }

    // Submits what may go now: bus requests behind bus requests, anything else only once the
    // answers before it are in; nothing while more than kMaxUnread bytes wait to be read.
    void next() {
      while (!closed_ && !ending_ && !queue_.empty() && unread_ <= kMaxUnread) {
        const LineReader::Item& front = queue_.front();
        const bool bus = !front.too_long && net_.server.runs_on_bus(*client, front.line);
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
        if (!bus) {
          Prepared p = net_.server.requests().prepare(it.line, *client);
          if (p.entry != nullptr && p.entry->stream) {
            // Made on the maker's thread: counting a large answer does not stall this one.
            const RequestSpec* entry = p.entry;
            net_.makers[entry->slow ? 0 : 1].post(
                [self, slot, entry, args = std::move(p.args), &io] {
                  auto st = std::make_shared<AnswerStream>(entry->stream(*self->client, args));
                  std::string head = st->more ? "ok " + std::to_string(st->lines) + " lines"
                                              : frame_answer(st->answer, entry->block);
                  st->answer.clear();
                  asio::post(io, [self, slot, st, head = std::move(head)] {
                    if (st->more) slot->stream = st;
                    self->answered(slot, head, false);
                  });
                });
            continue;
          }
        }
        net_.server.submit(client, it.line, [self, slot, &io](const std::string& answer, bool end) {
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
      flush();
      next();
      read();
      maybe_end();
    }

    // The answers whose turn it is, up to a streamed one, which goes out as it is read.
    void flush() {
      while (!stream_ && !slots_.empty() && slots_.front()->done) {
        auto s = std::move(slots_.front());
        slots_.pop_front();
        if (!s->answer.empty()) send(s->answer);
        stream_ = std::move(s->stream);
        if (s->end) {
          ending_ = true;
          queue_.clear();
        }
      }
      pump();
    }

    // The next pieces of a streamed answer while less than kMaxUnread bytes wait to be read;
    // at its end, the events held meanwhile and the answers behind it.
    void pump() {
      while (stream_ && !closed_ && unread_ < kMaxUnread) {
        std::string piece;
        const bool more = stream_->more(piece, kWritePiece);
        if (!piece.empty()) {
          unread_ += piece.size();
          outq_.push_back(std::make_shared<const std::string>(std::move(piece)));
        }
        if (!more) {
          stream_.reset();
          for (auto& t : held_) outq_.push_back(std::move(t));
          held_.clear();
          held_bytes_ = 0;
          flush();
        }
      }
      write();
    }

    void maybe_end() {
      if (closed_ || inflight_ > 0 || writing_ || !outq_.empty() || stream_) return;
      if (ending_ || (eof_ && queue_.empty())) close();
    }

    // One answer line or block (framed, without its line feed).
    void send(const std::string& text) {
      if (closed_) return;
      unread_ += text.size() + 1;
      outq_.push_back(std::make_shared<const std::string>(text + "\n"));
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
      for (const Text& text : outq_) {
        if (n == kWritePiece || out_.size() == kWriteLines) break;
        const size_t k = std::min(kWritePiece - n, text->size() - from);
        out_.emplace_back(text->data() + from, k);
        n += k;
        from = 0;
      }
      // The queue's texts stay where they are until the write is done: they are shared and
      // never changed.
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
          const size_t rest = self->outq_.front()->size() - self->written_;
          if (left < rest) {
            self->written_ += left;
            break;
          }
          left -= rest;
          self->outq_.pop_front();
          self->written_ = 0;
        }
        self->pump();
        self->next();
        self->read();
        self->maybe_end();
      });
    }

    Impl& net_;
    Socket sock_;
    asio::steady_timer idle_;
    char buf_[4096];
    LineReader reader_;
    std::deque<LineReader::Item> queue_;       // read, not submitted yet
    std::deque<std::shared_ptr<Slot>> slots_;  // submitted, in request order
    int inflight_ = 0;                         // submitted and not answered
    bool inflight_bus_ = false;                // what was submitted last is bus work
    std::deque<Text> outq_;
    std::shared_ptr<AnswerStream> stream_;  // the streamed answer going out
    std::deque<Text> held_;                 // events that wait for the end of stream_
    size_t held_bytes_ = 0;
    size_t unread_ = 0;                    // bytes of outq_ and held_ not written
    size_t written_ = 0;                   // of the front of outq_
    std::vector<asio::const_buffer> out_;  // what the write under way sends
    bool wrote_ = false;                   // output went out since the idle timer last looked
    Clock::time_point idle_from_{};        // the idle timer's last look that kept the client
    bool reading_ = false, writing_ = false, eof_ = false, ending_ = false;
    bool closed_ = false;
  };

  template <class Socket>
  void refuse(Socket& sock, const std::string& key, const std::string& why) {
    const auto now = Clock::now();
    if (key.empty()) last_refused = now;
    for (auto it = refused_from.begin(); it != refused_from.end();)
      it = now - it->second >= idle_period() ? refused_from.erase(it) : std::next(it);
    // Only networks with clients here matter (and are few: at most one a place).
    if (!key.empty() && per_peer.count(key) != 0) refused_from[key] = now;
    asio::error_code ec;
    sock.non_blocking(true, ec);
    asio::write(sock, asio::buffer("error: " + why + "\n"), ec);
    sock.close(ec);
  }

  // The read-only TCP session that sent its last request longest ago, of network `key` (any
  // with an empty key); nullptr when there is none.
  std::shared_ptr<Base> longest_idle_reader(const std::string& key) {
    std::shared_ptr<Base> best;
    for (auto& w : sessions) {
      auto s = w.lock();
      if (!s || !s->tcp || s->client->writer || (!key.empty() && s->key != key)) continue;
      if (!best || s->last_request < best->last_request) best = std::move(s);
    }
    return best;
  }

  // Places: at most max_clients, max_per_address of one network. A writer or a Unix-socket
  // client that finds none takes the place of the read-only TCP client idle longest.
  template <class Socket>
  void admit(Socket sock, std::shared_ptr<Client> c, const std::string& key, bool is_tcp) {
    const bool privileged = c->writer || !is_tcp;
    for (int round = 0; round < 2; ++round) {
      const bool full = clients >= max_clients;
      const bool network_full = per_peer[key] >= max_per_address;
      if (!full && !network_full) break;
      std::shared_ptr<Base> victim;
      // A full network is made room in by one of its own; a Unix-socket user's is not.
      if (privileged && round == 0 && (is_tcp || !network_full))
        victim = longest_idle_reader(network_full ? key : "");
      if (!victim) {
        if (per_peer[key] == 0) per_peer.erase(key);
        if (full)
          refuse(sock, "", "too many clients");
        else
          refuse(sock, key, "too many clients from " + key);
        return;
      }
      const std::string why = "closed: its place went to " +
                              std::string(c->writer ? "writer " : "local client ") + c->who();
      tavik::printtostderr("CANBUS", "client " + victim->client->who() + " " + why);
      victim->evict("your place went to " + std::string(c->writer ? "writer " : "local client ") +
                    c->who());
    }
    ++clients;
    ++per_peer[key];
    auto s = std::make_shared<Session<Socket>>(*this, std::move(sock));
    s->client = std::move(c);
    s->key = key;
    s->tcp = is_tcp;
    sessions.push_back(s);
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
          make(s);
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
  return impl_->writers.set(list, shown, error);
}

bool WriterRule::set(const std::vector<std::string>& list, std::string& shown, std::string& error) {
  auto rules = std::make_shared<Rules>();
  Rules& w = *rules;
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
  rules_ = std::move(rules);
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
      c->forwarded = true;
      ucred cred{};
      socklen_t len = sizeof cred;
      if (::getsockopt(s.native_handle(), SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0) {
        c->host = "local:uid=" + std::to_string(cred.uid);
        c->peer = "uid " + std::to_string(cred.uid);
        c->writer = m.writers.allows_local(cred.uid, cred.gid);
      } else {
        c->host = "local";
        c->peer = "local";
        c->writer = m.writers.rules().local;
      }
      const std::string key = c->peer;
      m.admit(std::move(s), std::move(c), key, false);
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
    c->forwarded = true;
    asio::error_code e;
    auto peer = plain(s.remote_endpoint(e).address());
    c->host = e ? "unknown" : peer.to_string();
    c->peer = c->host;
    c->writer = !e && m.writers.rules().allows(peer);
    // Answers go out when they are ready, not when the previous segment is acknowledged.
    s.set_option(asio::ip::tcp::no_delay(true), e);
    const std::string key = c->host == "unknown" ? c->host : m.key_of(peer);
    m.admit(std::move(s), std::move(c), key, true);
  });
  return true;
}

void Network::start() {
  if (impl_->thread.joinable()) return;
  Impl& m = *impl_;
  m.work.emplace(m.io.get_executor());
  m.server.events().forward_to([&m] { asio::post(m.io, [&m] { m.forward(); }); });
  for (Impl::Maker& k : m.makers) k.thread = std::thread([&k] { k.run(); });
  m.thread = std::thread([&m] { m.io.run(); });
}

void Network::stop() {
  Impl& m = *impl_;
  if (m.stopped) return;
  m.stopped = true;
  if (m.thread.joinable()) {
    m.server.events().forward_to(nullptr);
    m.work.reset();
    m.io.stop();
    m.thread.join();
  }
  for (Impl::Maker& k : m.makers) {
    if (!k.thread.joinable()) continue;
    {
      std::lock_guard<std::mutex> lk(k.mx);
      k.stopping = true;
      k.jobs.clear();
      k.cv.notify_one();
    }
    k.thread.join();
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
