// The supervision thread of a CAN line: polls the interface status of the line's own handle,
// closes a lost line, reopens it with a pause that grows to a minute, and resets a network
// gateway that refuses the connection.
//
// Runs detached, one per line, and takes no lock: the line's fields it shares with the server's
// threads are atomics. All its pauses are whole seconds on the framework clock.
#include <cstdio>
#include <string>

#include "D_esdcan.h"
#include "registry.h"

namespace {

constexpr int kStartPause = 60;   // s, before the first cycle
constexpr int kMaxRetry = 60;     // s, longest pause between reopen attempts
constexpr int kResetPause = 20;   // s, after a gateway reset
constexpr int kLossPause = 15;    // s, after closing a lost line
constexpr int kOpenErrStart = 5;  // a failed open above this count may reset the gateway
constexpr int kMaxResets = 5;     // per outage
constexpr const char* kDenyFile = "./DENY-wget-reset";

std::string line_mess(int line, NTCAN_RESULT r) {
  return "Line : " + std::to_string(line) +
         "mess: " + can_error_str(static_cast<unsigned long>(static_cast<long>(r)));
}

}  // namespace

void* can_control(void* ip) {
  if (ip == nullptr) return nullptr;
  canline* line = static_cast<canline*>(ip);

  char start[64];
  std::snprintf(start, sizeof start, "Line : %d, Handle: %d", line->line_.load(),
                line->linehandle_.load());
  if (!line->quiet_) tavik::printtostderr("Inside can_control: ", start, DF_LOG);

  TAVIKsleep(kStartPause, 0);

  // Decided once per thread: an operator forbids gateway resets by creating the file in the
  // server's working directory.
  if (std::FILE* deny = std::fopen(kDenyFile, "r")) {
    if (!line->quiet_) tavik::printtostderr("can_control  ", "do not allow wget resets", DF_LOG);
    line->deny_wget_reset_ = true;
    std::fclose(deny);
  } else {
    if (!line->quiet_) tavik::printtostderr("can_control  ", "allow wget resets", DF_LOG);
    line->deny_wget_reset_ = false;
  }

  int retry = 1;                     // s, pause at the top of the cycle
  int open_err_cnt = kOpenErrStart;  // failed opens since the last poll or reset
  int reset_tries = 0;               // gateway resets in this outage
  bool first_time = true;            // the next failed poll only reports
  bool first = false;                // the line loss of this outage has been reported

  // ThreadStop_ is first looked at right after the start-up pause and then once per cycle.
  while (!line->ThreadStop_.load()) {
    TAVIKsleep(retry, 0);

    if (line->linehandle_.load() <= 0) {
      const int r = line->can_open();  // reports its own failures
      if (r != 0) {
        ++open_err_cnt;
        if (open_err_cnt > kOpenErrStart && reset_tries < kMaxResets &&
            r == NTCAN_SOCK_CONN_TIMEOUT) {
          open_err_cnt = 0;
          line->reset_line();  // may run nothing; counted and paused for all the same
          TAVIKsleep(kResetPause, 0);
          ++reset_tries;
        }
        first_time = true;
      }
      if (retry < kMaxRetry) ++retry;
      continue;
    }

    CAN_IF_STATUS canstat{};
    const NTCAN_RESULT r = canStatus(line->linehandle_.load(), &canstat);
    if (r == NTCAN_SUCCESS) {
      if (canstat.boardstatus != line->board_status.load()) {
        tavik::printtostderr("3. canStatus returned: ",
                             "Line : " + std::to_string(line->line_.load()) +
                                 "boardstatus: " + std::to_string(canstat.boardstatus),
                             DF_LOG);
      }
      line->board_status = canstat.boardstatus;
      line->reset_first_ = false;
      retry = 1;
      reset_tries = 0;
      first = false;
      first_time = true;
      open_err_cnt = kOpenErrStart;
    } else if (first_time) {
      // One failed poll may be a glitch: report it and keep the handle.
      tavik::printtostderr("1. canStatus returned: ", line_mess(line->line_.load(), r), DF_LOG);
      first_time = false;
      open_err_cnt = kOpenErrStart;
    } else {
      line->can_close();
      if (!first) {
        tavik::printtostderr("2. canStatus returned: ", line_mess(line->line_.load(), r), DF_LOG);
      }
      TAVIKsleep(kLossPause, 0);
      retry = 1;
      first = true;
      open_err_cnt = kOpenErrStart;
      reset_tries = 0;
    }
  }

  if (!line->quiet_) tavik::printtostderr("can_control", "stop can_control thread", DF_LOG);
  line->thread_done();  // the line may be freed from here on
  return ip;
}
