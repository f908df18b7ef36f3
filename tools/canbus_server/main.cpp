// canbus-server: see server.h, and `canbus-server --help`.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "server.h"

namespace {

volatile sig_atomic_t g_signalled = 0;

void on_signal(int) {
  g_signalled = 1;
  canbus_server::Server::request_stop();
}

void usage(std::ostream& o) {
  o << "usage: canbus-server [--config FILE] [--workdir DIR] [--backend virtual|socketcan]\n"
       "                     [--duration SECONDS] [--status-every SECONDS] [--manual]\n"
       "Without --config it runs the bundled example on the virtual bus with simulated nodes,\n"
       "on a copy of its configuration in DIR (default $TMPDIR/canbus-server-demo).\n"
       "Requests on standard input, one a line; 'help' lists them.\n";
}

bool number(const char* s, double& v) {
  char* end = nullptr;
  v = std::strtod(s, &end);
  return end != s && *end == '\0' && v >= 0;
}

}  // namespace

int main(int argc, char** argv) {
  canbus_server::Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char* what) -> const char* {
      if (i + 1 >= argc) {
        std::cerr << "canbus-server: " << a << " needs " << what << "\n";
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--config") {
      o.config_path = value("a file");
    } else if (a == "--workdir") {
      o.workdir = value("a directory");
    } else if (a == "--backend") {
      o.backend = value("a backend name");
    } else if (a == "--duration" || a == "--status-every") {
      double v = 0;
      if (!number(value("seconds"), v)) {
        std::cerr << "canbus-server: " << a << " needs a number of seconds\n";
        return 2;
      }
      (a == "--duration" ? o.duration : o.status_every) = v;
    } else if (a == "--manual") {
      o.manual = true;
    } else if (a == "--help" || a == "-h") {
      usage(std::cout);
      return 0;
    } else {
      usage(std::cerr);
      return 2;
    }
  }
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  canbus_server::Server server(o, std::cout);
  if (!server.start()) return 1;
  std::cout << "type 'help' for the requests" << std::endl;
  const int rc = server.run(STDIN_FILENO);
  if (g_signalled) {
    // Asked to end: the configuration is saved; giving back a thousand handles one by one
    // (5 ms each) is left to the process's end.
    std::cout.flush();
    std::_Exit(rc);
  }
  return rc;
}
