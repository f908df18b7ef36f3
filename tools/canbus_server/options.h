// The command line. A new option is one line in add_options() (options.cpp) and a field here.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "record_requests.h"

namespace canbus_server {

struct Options {
  std::string config_path;             // empty: the bundled example, copied into `workdir`
  std::string workdir;                 // where the bundled example's copy lives
  std::string backend;                 // driver backend; empty: the environment's, else "virtual"
  double duration = 0;                 // seconds until the server ends by itself; 0: until quit
  double status_every = 0;             // seconds between status tables; 0: none
  bool manual = false;                 // no monitor thread: "tick N" polls it N times, 100 ms each
  bool ignore_bad_lines = false;       // start although the configuration has lines it cannot use
  bool strict_eds = false;             // EDS files with anything wrong or odd are refused
  std::vector<std::string> listen;     // ADDR:PORT, PORT (127.0.0.1) or a Unix socket path
  std::string http;                    // --http (or --metrics) ADDR:PORT, PORT, :PORT; empty: off
  std::string http_option = "--http";  // the one given, for messages
  std::string metrics;                 // --metrics: the same as --http
  std::string http_token;              // --http-token FILE: writers off loopback send its line
  std::string console_dir;             // --console DIR: the console's files
  std::vector<std::string> writers;    // addresses or networks whose clients may write
  int max_clients = 32;
  int max_per_address = 0;   // clients of one network (Unix socket: one uid); 0: max_clients / 2
  int prefix_v4 = 24;        // the network --max-per-address counts: an IPv4 address's /24
  int prefix_v6 = 64;        // and an IPv6 address's /64 (32 and 128: the address alone)
  double idle_timeout = 60;  // seconds without a complete request before a client is closed
  int socket_mode = 0660;    // of the Unix sockets created
  int backups = 3;           // FILE.bak, FILE.bak.1, ... kept by saves that change the file
  RecordOptions record;      // --record FILE, --replay FILE
  int value_interval_ms = 1000;  // value events: at most one per value in this time
  bool sim_adc = false;          // virtual bus: the plain simulated devices are ADC modules
  bool verbose = false;          // the library's routine log lines too (without it: DF_CAN_QUIET)
  // Bus work of read-only clients, requests a second: of one client, of all of them; SDO
  // transfers clients cause, a second on one line (writers too; the server's own are not).
  double read_rate = 20;
  double read_rate_total = 100;
  double line_sdo_rate = 50;
};

// Parses the command line. Returns -1 to go on, otherwise the exit status (0 after --help; 2
// with the error on `err`, naming the option or value at fault).
int parse_options(int argc, char** argv, Options& o, std::ostream& out, std::ostream& err);

// What the columns of the status table mean (--help and "help status").
extern const char* const kStatusLegend;

}  // namespace canbus_server
