// canbus-server's network start-up: a line with a LINE.N.NETWORK line is started as one network
// by the library's canbus::Network. Its nodes (their first property) get their place from
// NAME.SLAVE (mandatory or optional, expected identity and software, program image, store);
// a node without a SLAVE line is an optional node with nothing checked. A node's boot
// configuration (its BOOT, PDO and DCF lines) becomes one concise DCF that the network's boot
// procedure writes, with a stamp that tells an unchanged configuration from a changed one.
//
// What the server sees of it: the BOOT column of `status` (the boot status code and its text,
// or the node's state in the start-up), a line per network (its state, why it is blocked), the
// node's .CONDITION when it was not started, the events boot-status, network and download, the
// metrics canbus_network_state and canbus_boot_failures_total, and the requests `boot LINE` and
// `download NAME FILE`.
//
// Threads: load() and make()/add()/start() run in the server's start-up. The networks' callbacks
// run on their threads (or on the bus worker's tick with --manual) and publish without any
// lock of the server; the server's hooks (Env) take its locks themselves. boot() and download()
// run as bus work. The cells, summaries and metrics read the networks' own state on any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "can_network.h"
#include "config_file.h"
#include "events.h"
#include "metrics.h"

class D_can;

namespace canbus_server {

// The largest file `download NAME FILE` or an `image FILE` reads.
inline constexpr size_t kMaxImageBytes = 16u * 1024 * 1024;

// Reads `file` from the folder open at `dfd`, never from outside it: a relative name without a
// ".." component, no link followed on the way, a regular file of at most kMaxImageBytes. false
// with the reason ("'/etc/passwd': an absolute name: give one inside the configuration's
// folder", "'x.bin': not a regular file", "'x.bin': larger than 16 MiB").
bool read_inside(int dfd, const std::string& file, std::vector<uint8_t>& out, std::string& why);

// Days since 1984-01-01 of a DCF's [FileInfo] ModificationDate (MM-DD-YYYY); 0 without one.
uint32_t dcf_modification_days(const std::string& dcf_text);
// The stamp of a configuration: `days`, and the CRC-32 of its concise bytes modulo one day of
// milliseconds, so that a changed configuration is never taken for the one the node holds.
canbus::ConfigStamp configuration_stamp(const std::vector<uint8_t>& concise, uint32_t days);

class NetworkStart {
 public:
  struct Env {
    std::function<void(const Event&)> publish;
    std::function<void(const std::string&)> log;
    // The network sent the node its NMT start: its set-points go out again now.
    std::function<void(const std::string& node)> started;
    // Why the node was not started ("Not started: B: no answer ..."), empty once it is: its
    // .CONDITION keeps it while the node is heard.
    std::function<void(const std::string& node, const std::string& why)> not_started;
  };
  explicit NetworkStart(Env env);
  ~NetworkStart();  // stops the networks; they let go of their nodes
  NetworkStart(const NetworkStart&) = delete;
  NetworkStart& operator=(const NetworkStart&) = delete;

  // The NETWORK and SLAVE lines of `config` (lines the check refused are skipped) and the
  // images they name, read from the folder open at `dfd`. false with the reasons, each after
  // the number of its line, when one cannot be used.
  bool load(const ConfigFile& config, int dfd, std::vector<std::string>& errors);
  bool empty() const { return lines_.empty(); }
  bool is_network_line(int line) const { return lines_.count(line) != 0; }
  // Whether the node property has a SLAVE line.
  bool has_slave(const std::string& node) const { return slaves_.count(node) != 0; }
  // The software its SLAVE line expects (`software`, else its image's CRC-32); -1: none.
  int64_t software_of(const std::string& node) const;

  // The networks, on the node monitor the server supervises with.
  void make(canbus::NodeMonitor& monitor);
  // The master property of a node on a network line joins its network (in place of the
  // monitor's add): `boot` its boot configuration (null: none), `days` the stamp's days.
  // The monitor's result (0 added), or -1 with the reason in `why`.
  int add(D_can& prop, int line, int id, const canbus::NodeConfig& supervision,
          canbus::NodeCallbacks own, const canbus::BootConfig* boot, uint32_t days,
          std::string& why);
  // Starts every network (own threads; without: tick() steps them) / ends them.
  void start(bool own_thread);
  void tick();
  void stop();

  // `boot LINE`: the line's start-up runs again.
  std::string boot(const std::string& line_word);
  // `download NAME FILE`: the program `image` to the node, with download events; the answer.
  std::string download(const std::string& node, const std::vector<uint8_t>& image);

  // The BOOT cell of a node property: "B: no answer to ...", "started", ...; "-" when it is in
  // no network.
  std::string boot_cell(const std::string& node) const;
  // One line per network: "network line 1: started, 3 nodes (2 mandatory)", "network line 2:
  // blocked: node 5 (mandatory): B: ...".
  std::vector<std::string> summaries() const;
  // canbus_network_state (per line) and canbus_boot_failures_total (per line and code).
  std::vector<MetricFamily> metrics() const;

 private:
  struct Member {
    std::string name;
    int line = 0;
    int id = 0;
    bool mandatory = false;
    // What was last published of it: the event and the count of failures.
    char code = 0;
    canbus::SlaveState state = canbus::SlaveState::kWaiting;
    int attempts = -1;
    size_t progress_tenth = 0;  // the last download event, in tenths of the image
  };
  struct Line {
    NetworkSpec net_line;
    int line = 0;
    std::unique_ptr<canbus::Network> net;
    std::map<int, Member> members;  // by node id
  };
  void on_slave(Line& l, const canbus::SlaveStatus& s);
  void on_network(Line& l, canbus::NetworkState st, const std::string& why);
  void on_progress(Line& l, int id, size_t bytes, size_t total);
  Line* line_of_node(const std::string& node, int* id);

  Env env_;
  std::map<int, std::unique_ptr<Line>> lines_;
  std::map<std::string, SlaveSpec> slaves_;
  std::map<std::string, std::shared_ptr<const std::vector<uint8_t>>> images_;
  mutable std::mutex mx_;                              // members' published state, failures
  std::map<std::pair<int, char>, uint64_t> failures_;  // (line, code) -> boot failures
};

}  // namespace canbus_server
