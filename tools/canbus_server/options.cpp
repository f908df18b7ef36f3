#include "options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "backend.h"

namespace canbus_server {

const char* const kStatusLegend =
    "Columns of the status table:\n"
    "  ROLE       master: owns the node's receive buffer; follower: shares its master's;\n"
    "             direct: own handle, no buffer; detached: not on the bus\n"
    "  CONDITION  the node state as text (.CONDITION), \"No guarding reply\" or \"No heartbeat\";\n"
    "             a long text is cut with ... ('get NAME.CONDITION' has it whole)\n"
    "  ALIVE      the node state (.ALIVE) from guarding replies or heartbeats, bits 0..6;\n"
    "             lost while the node is lost (.ALIVE reads -1), the row then ends with\n"
    "             LOST SINCE and the time it was lost\n"
    "  FILL       result of the last receive into the node's buffer: 0 ok, else the driver's\n"
    "             result code\n"
    "  EMCY       emergency messages received from the node\n"
    "  LOST       frames the driver dropped for the node's buffer\n"
    "             (both since the node's master was last supervised)\n"
    "  PDOS       TPDOs received from the node (its NAME.TPDOn lines); - without process data\n"
    "  AGE        seconds since the last of them; RATE  TPDOs a second, a running average\n"
    "  LATE       the TPDOs that are late now (3 event periods or SYNC counts without one)\n"
    "  DRIVE      a motor drive's state and position (NAME.DRIVE); - without a drive\n"
    "  MONITOR    the master's supervision (NAME.MONITOR): guarding PERIOD_MS MISSES or\n"
    "             heartbeat PERIOD_MS TOLERANCE_MS; - on a follower's row\n"
    "  BOOT       a node of a network (LINE.N.NETWORK): its boot status code and text\n"
    "             (B: no answer ...) or its state in the start-up (waiting, booting, retrying,\n"
    "             configured, started, missing, failed); - outside a network. After the\n"
    "             lines, one line per network: its state and, when blocked, which node and why\n"
    "  IDENTITY   device name / hardware version / software version (.MANU .HWVER .SWVER),\n"
    "             then NOT FOUND BY SCAN when the last 'scan' of its line did not find the node\n"
    "Every column is as wide as its widest text.";

namespace {

// Every floating option takes a finite number: NaN passes every comparison of a range check and
// infinity means no limit, neither of which a user meant.
const CLI::Validator kFinite(
    [](std::string& text) -> std::string {
      double v = 0;
      if (!CLI::detail::lexical_cast(text, v) || !std::isfinite(v)) {
        return "'" + text + "' is not a finite number";
      }
      return {};
    },
    "FINITE");

void add_options(CLI::App& app, Options& o, std::string& socket_mode) {
  app.add_option("--config", o.config_path, "configuration file (default: the bundled example)");
  app.add_option("--workdir", o.workdir,
                 "where the bundled example's copy lives (default $TMPDIR/canbus-server-demo)");
  app.add_option("--backend", o.backend, "driver backend")
      ->check(CLI::IsMember(ntcan::backend_names()));
  app.add_option("--duration", o.duration, "seconds until the server ends by itself")
      ->check(kFinite)
      ->check(CLI::NonNegativeNumber);
  app.add_option("--status-every", o.status_every, "seconds between status tables")
      ->check(kFinite)
      ->check(CLI::NonNegativeNumber);
  app.add_flag("--manual", o.manual,
               "no receive cycle of its own: 'tick N' moves the clock 100 ms and polls the node "
               "monitor, N times");
  app.add_flag("--ignore-bad-lines", o.ignore_bad_lines,
               "start although the configuration has lines the server cannot use (they are "
               "kept in the file)");
  app.add_flag("--strict-eds", o.strict_eds,
               "refuse an EDS file with anything wrong or odd instead of reading it with warnings");
  app.add_option("--listen", o.listen,
                 "serve clients on ADDR:PORT, PORT (on 127.0.0.1) or a Unix socket path; "
                 "may be given several times");
  app.add_option("--http", o.http,
                 "serves the console, the JSON API and its event stream, and the counters for "
                 "Prometheus (/metrics) on http://ADDR:PORT/; PORT or :PORT alone: on 127.0.0.1");
  app.add_option("--metrics", o.metrics, "the same as --http");
  app.add_option("--http-token", o.http_token,
                 "a file (not readable by others) whose first line an HTTP client off this host "
                 "sends as X-Canbus-Token to write (besides --writers)");
  app.add_option("--console", o.console_dir,
                 "the console's files (default: those installed with the server)");
  app.add_option("--writers", o.writers,
                 "who may write: addresses, networks ADDR/BITS, 'local' (every Unix-socket "
                 "client), uid:N or group:NAME (Unix-socket clients of that user or group); "
                 "default: 127.0.0.0/8, ::1 and local");
  app.add_option("--record", o.record.record_file,
                 "records every line's frames into FILE (CAN tools' log format)");
  app.add_option("--record-max-bytes", o.record.max_bytes,
                 "a recording longer than this goes on in a new FILE, the older ones kept as "
                 "FILE.1, FILE.2, ... (default 64 MiB)")
      ->check(CLI::Range(uint64_t{4096}, uint64_t{1} << 40));
  app.add_option("--record-keep", o.record.keep,
                 "older recordings kept beside FILE: FILE.1 .. FILE.N (default 4)")
      ->check(CLI::Range(0, 1000));
  app.add_option("--replay", o.record.replay_file,
                 "virtual bus: devices that answer as the nodes recorded in FILE did");
  app.add_option("--max-clients", o.max_clients, "network clients at once")
      ->check(CLI::Range(1, 1000));
  app.add_option("--max-per-address", o.max_per_address,
                 "network clients at once from one network (--per-address-prefix; Unix "
                 "socket: one user); below --max-clients (default: half of it)")
      ->check(CLI::Range(1, 999));
  // Where the places of network clients go.
  app.add_option_function<std::string>(
      "--per-address-prefix",
      [&o](const std::string& v) {
        const size_t comma = v.find(',');
        int v4 = -1, v6 = -1;
        try {
          size_t used = 0;
          v4 = std::stoi(v.substr(0, comma), &used);
          if (used != comma && comma != std::string::npos) v4 = -1;
          if (comma == std::string::npos && used != v.size()) v4 = -1;
          if (comma != std::string::npos) {
            v6 = std::stoi(v.substr(comma + 1), &used);
            if (used != v.size() - comma - 1) v6 = -1;
          } else {
            v6 = o.prefix_v6;
          }
        } catch (const std::exception&) {
          v4 = -1;
        }
        if (v4 < 0 || v4 > 32 || v6 < 0 || v6 > 128)
          throw CLI::ValidationError("--per-address-prefix",
                                     "'" + v + "' is no V4[,V6] (0..32, 0..128)");
        o.prefix_v4 = v4;
        o.prefix_v6 = v6;
      },
      "the network whose clients --max-per-address counts together: prefix lengths V4,V6 "
      "(default 24,64: an IPv4 /24, an IPv6 /64; 32,128: each address alone)");
  app.add_option("--idle-timeout", o.idle_timeout,
                 "seconds a client may stay without sending a whole request line (a watching "
                 "client stays while it reads its events, unless places are short: all taken "
                 "or one refused within this time); 0: no limit (default 60)")
      ->check(kFinite)
      ->check(CLI::Range(0.0, 86400.0));
  app.add_option("--socket-mode", socket_mode,
                 "permissions of the Unix sockets (octal, default 0660)");
  app.add_option(
         "--backups", o.backups,
         "backups a save keeps when the file changes: FILE.bak, FILE.bak.1, ... (default 3)")
      ->check(CLI::Range(0, 100));
  app.add_option("--value-interval", o.value_interval_ms,
                 "milliseconds between two events of one process value at most (watch; "
                 "default 1000)")
      ->check(CLI::Range(0, 3600000));
  // The bus protected from clients: beyond these a request is refused at once ("error: busy").
  app.add_option("--read-rate", o.read_rate,
                 "bus requests a second of one read-only client (sdo, identity; default 20)")
      ->check(CLI::Range(0.1, 100000.0));
  app.add_option("--read-rate-total", o.read_rate_total,
                 "bus requests a second of all read-only clients together (default 100)")
      ->check(CLI::Range(0.1, 100000.0));
  app.add_option("--line-sdo-rate", o.line_sdo_rate,
                 "SDO transfers a second that clients may cause on one line (default 50)")
      ->check(CLI::Range(0.1, 100000.0));
  app.add_flag("--verbose", o.verbose,
               "also the library's routine log lines (line threads, gateway file, changes of "
               "node records made by the server itself)");
  app.add_flag("--sim-adc", o.sim_adc,
               "virtual bus: every simulated node that is not one of the bundled example's "
               "devices is an ADC module with four INTEGER16 sine inputs at 0x6401 sub 1..4 "
               "(amplitude 10000, period 1 s) to map into its TPDOs");
}

}  // namespace

int parse_options(int argc, char** argv, Options& o, std::ostream& out, std::ostream& err) {
  CLI::App app{
      "canbus-server: a device server for CAN nodes. Without --config it runs the bundled\n"
      "example on the virtual bus with simulated nodes. Requests come one a line on standard\n"
      "input and from network clients (--listen); 'help' lists them.",
      "canbus-server"};
#ifndef CANBUS_DOC_DIR
#define CANBUS_DOC_DIR "share/doc/canbus"
#endif
  app.footer(std::string(kStatusLegend) +
             "\n\nDocumentation, with the examples, in " CANBUS_DOC_DIR
             "/:\n"
             "  README.md  the configuration reference and every request\n"
             "  guide.md   writing a device server with the library");
  std::string socket_mode;
  add_options(app, o, socket_mode);
  try {
    app.parse(argc, argv);
    if (!socket_mode.empty()) {
      // A mode is octal, as chmod takes it.
      char* end = nullptr;
      const long m = std::strtol(socket_mode.c_str(), &end, 8);
      if (socket_mode[0] < '0' || socket_mode[0] > '7' || *end != '\0' || m < 0 || m > 0777)
        throw CLI::ValidationError("--socket-mode", "'" + socket_mode + "' is no mode 0..0777");
      o.socket_mode = static_cast<int>(m);
    }
    if (!o.metrics.empty()) {
      if (!o.http.empty() && o.http != o.metrics)
        throw CLI::ValidationError("--metrics", "'" + o.metrics +
                                                    "' is another address than --http " + o.http +
                                                    " (one server serves both)");
      if (o.http.empty()) o.http_option = "--metrics";
      o.http = o.metrics;
    }
    if (o.max_per_address == 0) o.max_per_address = std::max(1, o.max_clients / 2);
    if (o.max_clients > 1 && o.max_per_address >= o.max_clients)
      throw CLI::ValidationError("--max-per-address", "must be below --max-clients (" +
                                                          std::to_string(o.max_clients) + ")");
  } catch (const CLI::CallForHelp&) {
    out << app.help();
    return 0;
  } catch (const CLI::ParseError& e) {
    err << "canbus-server: " << e.what() << "\n(--help lists the options)\n";
    return 2;
  }
  return -1;
}

}  // namespace canbus_server
