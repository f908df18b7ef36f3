// canbus-server's Server object: construction, the serving loop (run), the log and saves.
#include "server.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <sstream>
#include <utility>

#include "http_api.h"
#include "metrics.h"
#include "network.h"
#include "parallel.h"
#include "server_util.h"
#include "service.h"
#include "tavik_time.h"

namespace canbus_server {

// ---------------------------------------------------------------------------------------------
// Start and end

Server::Server(Options opts, int out_fd) : opts_(std::move(opts)), out_fd_(out_fd) {
  register_requests();
  service_ = std::make_unique<Service>(*this);
  service_->register_requests(table_);
}

Server::~Server() {
  // The trace calls the HTTP streams no more before they go.
  if (trace_ && trace_listener_ != 0) trace_->remove_listener(trace_listener_);
  metrics_.reset();  // no scrape runs once the nodes go
  // The taps close before the lines they watch.
  if (trace_) trace_->close();
  // The networks' threads end before the work they hand the server (restores) can no more run.
  if (nets_) nets_->stop();
  stop_flusher();
  worker_.stop();
  if (pd_) {
    if (monitor_) monitor_->use_sync(nullptr);
    pd_->stop_sync();
  }
  // The networks let go of their nodes, the monitor of the node properties before they go,
  // then the drives on them.
  nets_.reset();
  monitor_.reset();
  drives_.reset();
  // Node properties go before the devices and the location they live in. Their handles go back
  // first, the nodes side by side: each closing pauses 5 ms, which one after the other would
  // hold up the end of a large server for seconds.
  const std::atomic<bool> go_on{false};
  run_parallel(nodes_.size(), kAttachThreads, go_on,
               [this](size_t k) { nodes_[k].prop->can_close(); });
  for (auto& n : nodes_) delete n.prop;
  node_index_.clear();
  nodes_.clear();
  demo_.clear();
}

void Server::request_stop() {
  g_stop = true;
}

void Server::log(const std::string& msg) {
  tavik::printtostderr("CANBUS", msg);
}

void Server::write_out(const std::string& text) {
  std::lock_guard<std::mutex> lk(out_mx_);
  write_all(out_fd_, text);
}

// ---------------------------------------------------------------------------------------------
// Saving and running

bool Server::save(std::string& error) {
  if (!config_ok_) {
    error = "the configuration was not read; not written";
    return false;
  }
  // The lines of the node properties, their baud rates and the debug selector, each in its
  // place; every other line of the file stays as it was.
  std::map<std::string, std::string> current;
  std::vector<std::string> order;
  for (D_fct* p : location_->properties()) {
    const std::string& name = p->name();
    if (find_node(name) == nullptr && !is_config_sub(name)) continue;
    std::ostringstream o;
    p->write(o);
    std::string line = o.str();
    while (!line.empty() && line.back() == '\n') line.pop_back();
    current[name] = line;
    // A sub-property that is not in the file yet is added only when it holds more than zeros.
    bool zeros = true;
    for (const auto& w : split_words(line.substr(name.size() + 1))) zeros = zeros && w == "0";
    if (find_node(name) != nullptr || !zeros) order.push_back(name);
  }
  std::string text = config_.render(current, order);
  // The folder must still be the one opened at the start: one moved away or replaced (by a link,
  // say) is not written to, neither where it went nor where the link leads.
  struct stat st {};
  std::string dir = config_dir_.path;
  if (dir.size() > 1) dir.pop_back();  // the '/', which would follow a link
  if (::lstat(dir.c_str(), &st) != 0 || st.st_dev != config_dir_.dev ||
      st.st_ino != config_dir_.ino) {
    error = "the folder " + dir + " is not the one the server started with (moved or replaced" +
            (S_ISLNK(st.st_mode) ? " by a link" : "") + "): not saved";
    return false;
  }
  if (!save_file_at(config_dir_.fd, config_dir_.path, config_name_, text, error, {},
                    opts_.backups)) {
    return false;
  }
  // The file now holds what was rendered: later saves work from it.
  config_ = ConfigFile::parse(text);
  return true;
}

int Server::run(int in_fd) {
  using clk = std::chrono::steady_clock;
  auto t0 = clk::now();
  auto next_status = t0;
  auto next_emergencies = t0 + std::chrono::seconds(3);
  auto next_drive_poll = t0;

  Network* net = net_.get();
  if (!opts_.manual) {
    // The receive cycle and supervision on the monitor's thread; heartbeats on the devices'.
    monitor_->start(kMonitorPeriodMs);
    demo_.start();
  }
  worker_.start();
  start_flusher();
  if (net) net->start();
  write_out("type 'help' for the requests\n");

  // Standard input: one client, always a writer, served one request at a time.
  auto console = std::make_shared<Client>();
  const char* user = std::getenv("USER");
  console->user = user && *user ? user : "console";
  console->host = "stdin";
  console->writer = true;
  console->event_sink = [this](const std::string& line) { write_out(line + "\n"); };
  events_.add(console);

  std::mutex done_mx;
  std::condition_variable done_cv;
  auto serve = [&](const LineReader::Item& it) -> bool {
    if (it.too_long) {
      write_out("error: request longer than " + std::to_string(kMaxRequestLine) + " bytes\n");
      return true;
    }
    bool finished = false, end = false;
    submit(console, it.line, [&](const std::string& answer, bool e) {
      write_out(answer + "\n");
      std::lock_guard<std::mutex> lk(done_mx);
      finished = true;
      end = e;
      done_cv.notify_all();
    });
    std::unique_lock<std::mutex> lk(done_mx);
    done_cv.wait(lk, [&] { return finished; });
    return !end;
  };

  LineReader reader;
  bool input_open = true;
  bool quit = false;
  while (!quit && !g_stop) {
    auto now = clk::now();
    if (opts_.duration > 0 && now - t0 >= std::chrono::duration<double>(opts_.duration)) break;
    // The example's devices that boot late, when their time has come.
    if (!opts_.manual && simulate_ && late_devices_ && !late_queued_.exchange(true)) {
      worker_.post(nullptr, {[this] {
                               std::lock_guard<std::mutex> bus(bus_mx_);
                               late_devices_ = demo_.boot_late(tavik::clock().now_ns());
                               late_queued_ = false;
                             },
                             [this] { late_queued_ = false; }});
    }
    if (!opts_.manual && simulate_ && now >= next_emergencies) {
      worker_.post(nullptr, {[this] {
                               std::lock_guard<std::mutex> bus(bus_mx_);
                               demo_.emergencies();
                             },
                             {}});
      next_emergencies = now + std::chrono::seconds(3);
    }
    // The drives' time-outs, and the values of drives without PDOs (by SDO), while no
    // operation waits on them.
    if (!opts_.manual && !drives_->empty() && now >= next_drive_poll &&
        !drive_poll_queued_.exchange(true)) {
      worker_.post(nullptr, {[this] {
                               std::lock_guard<std::mutex> bus(bus_mx_);
                               drives_->poll(tavik::clock().now_ns());
                               drive_poll_queued_ = false;
                             },
                             [this] { drive_poll_queued_ = false; }});
      next_drive_poll = now + std::chrono::milliseconds(200);
    }
    if (opts_.status_every > 0 && now >= next_status) {
      write_out(status(true) + "\n");
      next_status = now + std::chrono::duration_cast<clk::duration>(
                              std::chrono::duration<double>(opts_.status_every));
    }
    if (!input_open) {
      if (opts_.duration <= 0 && !net) break;
      TAVIKsleep(0, 50000);
      continue;
    }
    pollfd pfd{in_fd, POLLIN, 0};
    int r = poll(&pfd, 1, 50);
    if (r <= 0) continue;
    char buf[4096];
    ssize_t k = read(in_fd, buf, sizeof buf);
    if (k < 0 && errno == EINTR) continue;
    std::vector<LineReader::Item> items;
    if (k <= 0) {
      input_open = false;
      reader.finish(items);
    } else {
      reader.feed(buf, static_cast<size_t>(k), items);
    }
    for (const auto& it : items) {
      if (!serve(it)) {
        quit = true;
        break;
      }
    }
  }
  if (net) net->stop();
  // A drive that moves is halted and no operation starts any more: the bus work waiting for a
  // drive ends at once.
  drives_->end();
  stop_flusher();  // it posts to the worker
  worker_.stop();  // its jobs may pause and restart the monitor
  {
    // What is held goes out now: the last set-points and their log lines are not lost.
    std::lock_guard<std::mutex> bus(bus_mx_);
    flush_held(true);
  }
  monitor_->stop();
  monitor_->use_sync(nullptr);
  pd_->stop_sync();
  std::lock_guard<std::mutex> bus(bus_mx_);
  if (opts_.status_every > 0) write_out(status(true) + "\n");  // takes state_mx_ itself
  std::lock_guard<std::mutex> lk(state_mx_);
  std::string error;
  if (!save(error)) {
    std::cerr << "canbus-server: " << error << "\n";
    return 1;
  }
  return 0;
}

}  // namespace canbus_server
