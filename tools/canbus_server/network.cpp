#include "network.h"

#include <sys/stat.h>
#include <unistd.h>

#include <asio.hpp>
#include <cstdio>
#include <deque>
#include <optional>
#include <thread>

#include "server.h"
#include "tavik_log.h"

namespace canbus_server {
namespace {

// Output a client may leave unread before it is dropped.
constexpr size_t kMaxUnread = 256 * 1024;
// Request lines read ahead of the one being served; reading pauses beyond.
constexpr size_t kMaxQueued = 16;

struct Writers {
  std::vector<asio::ip::network_v4> v4;
  std::vector<asio::ip::network_v6> v6;
  bool local = false;

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
  int max_clients;
  asio::io_context io;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
  std::thread thread;
  Writers writers;
  std::vector<std::shared_ptr<asio::ip::tcp::acceptor>> tcp;
  std::vector<std::shared_ptr<asio::local::stream_protocol::acceptor>> unix_;
  std::vector<std::string> unix_paths;
  int clients = 0;  // on the event thread only

  Impl(Server& s, int max) : server(s), max_clients(max) {}

  template <class Socket>
  class Session : public std::enable_shared_from_this<Session<Socket>> {
   public:
    Session(Impl& net, Socket sock, std::shared_ptr<Client> c)
        : net_(net), sock_(std::move(sock)), client_(std::move(c)) {}

    void start() {
      std::weak_ptr<Session> weak = this->shared_from_this();
      asio::io_context& io = net_.io;
      client_->event_sink = [weak, &io](const std::string& line) {
        asio::post(io, [weak, line] {
          if (auto s = weak.lock()) s->send(line);
        });
      };
      net_.server.events().add(client_);
      read();
    }

    void close() {
      if (closed_) return;
      closed_ = true;
      client_->watching = false;
      asio::error_code ec;
      sock_.shutdown(asio::socket_base::shutdown_both, ec);
      sock_.close(ec);
      --net_.clients;
    }

   private:
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
        for (auto& it : items) self->queue_.push_back(std::move(it));
        self->next();
        self->read();
      });
    }

    // Serves the next queued request once the one before is answered.
    void next() {
      while (!closed_ && !busy_ && !queue_.empty()) {
        LineReader::Item it = std::move(queue_.front());
        queue_.pop_front();
        if (it.too_long) {
          send("error: request longer than " + std::to_string(kMaxRequestLine) + " bytes");
          continue;
        }
        busy_ = true;
        // The request in flight keeps the session alive until its answer is handled.
        auto self = this->shared_from_this();
        asio::io_context& io = net_.io;
        net_.server.submit(client_, it.line, [self, &io](const std::string& answer, bool end) {
          asio::post(io, [s = self, answer, end] {
            if (s->closed_) return;
            s->busy_ = false;
            if (!answer.empty()) s->send(answer);
            if (end) {
              s->ending_ = true;
              s->queue_.clear();
            }
            s->next();
            s->read();
            s->maybe_end();
          });
        });
      }
      maybe_end();
    }

    void maybe_end() {
      if (closed_ || busy_ || writing_ || !outq_.empty()) return;
      if (ending_ || (eof_ && queue_.empty())) close();
    }

    void send(const std::string& line) {
      if (closed_) return;
      if (unread_ + line.size() + 1 > kMaxUnread) {
        tavik::printtostderr("CANBUS",
                             "client " + client_->who() + " dropped: it does not read its answers");
        close();
        return;
      }
      unread_ += line.size() + 1;
      outq_.push_back(line + "\n");
      write();
    }

    void write() {
      if (writing_ || outq_.empty() || closed_) return;
      writing_ = true;
      auto self = this->shared_from_this();
      asio::async_write(sock_, asio::buffer(outq_.front()), [self](asio::error_code ec, size_t) {
        self->writing_ = false;
        if (self->closed_) return;
        self->unread_ -= self->outq_.front().size();
        self->outq_.pop_front();
        if (ec) {
          self->close();
          return;
        }
        self->write();
        self->maybe_end();
      });
    }

    Impl& net_;
    Socket sock_;
    std::shared_ptr<Client> client_;
    char buf_[4096];
    LineReader reader_;
    std::deque<LineReader::Item> queue_;
    std::deque<std::string> outq_;
    size_t unread_ = 0;
    bool reading_ = false, writing_ = false, busy_ = false, eof_ = false, ending_ = false;
    bool closed_ = false;
  };

  template <class Socket>
  void admit(Socket sock, std::shared_ptr<Client> c) {
    if (clients >= max_clients) {
      asio::error_code ec;
      sock.non_blocking(true, ec);
      asio::write(sock, asio::buffer(std::string("error: too many clients\n")), ec);
      sock.close(ec);
      return;
    }
    ++clients;
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

Network::Network(Server& server, int max_clients)
    : impl_(std::make_unique<Impl>(server, max_clients)) {}

Network::~Network() {
  stop();
}

bool Network::set_writers(const std::vector<std::string>& list, std::string& error) {
  Writers w;
  std::vector<std::string> entries = list;
  if (entries.empty()) entries = {"127.0.0.0/8", "::1", "local"};
  for (const auto& e : entries) {
    if (e == "local") {
      w.local = true;
      continue;
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
    error = "--writers: '" + e + "' is no address, network ADDR/BITS or 'local'";
    return false;
  }
  impl_->writers = std::move(w);
  return true;
}

bool Network::listen(const std::string& where, std::string& bound, std::string& error) {
  Impl& m = *impl_;
  asio::error_code ec;
  if (where.find('/') != std::string::npos) {
    // A socket file left by an earlier run is replaced; any other file is not.
    struct stat st {};
    if (::lstat(where.c_str(), &st) == 0) {
      if (!S_ISSOCK(st.st_mode)) {
        error = "--listen " + where + ": the file exists and is no socket";
        return false;
      }
      ::unlink(where.c_str());
    }
    auto a = std::make_shared<asio::local::stream_protocol::acceptor>(m.io);
    asio::local::stream_protocol::endpoint ep(where);
    a->open(ep.protocol(), ec);
    if (!ec) a->bind(ep, ec);
    if (!ec) a->listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
      error = "--listen " + where + ": " + ec.message();
      return false;
    }
    m.unix_.push_back(a);
    m.unix_paths.push_back(where);
    bound = where;
    m.accept(a, [&m](asio::local::stream_protocol::socket&) {
      auto c = std::make_shared<Client>();
      c->host = "local";
      c->writer = m.writers.local;
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
  if (!m.thread.joinable()) return;
  m.work.reset();
  m.io.stop();
  m.thread.join();
  // The event thread has ended: nothing else touches the listeners now. Sessions still open go
  // with the io_context.
  asio::error_code ec;
  for (auto& a : m.tcp) a->close(ec);
  for (auto& a : m.unix_) a->close(ec);
  for (const auto& p : m.unix_paths) ::unlink(p.c_str());
}

}  // namespace canbus_server
