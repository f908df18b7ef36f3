// canbus-server: see server.h, and `canbus-server --help`.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>

#include "D_esdcan.h"
#include "options.h"
#include "server.h"

namespace {

volatile sig_atomic_t g_signalled = 0;
// Set while the server starts. A signal then ends the process at once: nothing has changed
// that would need saving, and the identity uploads of silent nodes would hold the end up to
// their deadline (2 to 3 s). The system gives the driver handles back.
volatile sig_atomic_t g_starting = 1;

void on_signal(int) {
  if (g_starting) _exit(0);
  g_signalled = 1;
  canbus_server::Server::request_stop();
}

}  // namespace

int main(int argc, char** argv) {
  canbus_server::Options o;
  const int r = canbus_server::parse_options(argc, argv, o, std::cout, std::cerr);
  if (r >= 0) return r;
  if (!o.verbose) TAVIK_debug |= DF_CAN_QUIET;

  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // Answers go to the original standard output only; whatever the library prints there (SDO
  // transfer reports, for instance) goes to the log on standard error instead.
  std::cout.flush();
  const int answers = dup(STDOUT_FILENO);
  if (answers < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    std::cerr << "canbus-server: cannot set up standard output\n";
    return 1;
  }

  canbus_server::Server server(o, answers);
  if (!server.start()) return server.start_failure();
  g_starting = 0;
  const int rc = server.run(STDIN_FILENO);
  if (g_signalled) {
    // Asked to end: the configuration is saved; giving the handles back is left to the
    // process's end.
    std::_Exit(rc);
  }
  return rc;
}
