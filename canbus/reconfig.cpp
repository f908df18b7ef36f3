// Run-time reconfiguration of a node property: a client (or the device server) writes a new
// line/node/identifier record. Every write by a client is logged (the others in verbose mode); a
// move to another line or node detaches the property from its old node, and the device server
// attaches it anew (has_changed()).
#include <cstdio>
#include <mutex>
#include <string>

#include "D_esdcan.h"
#include "registry.h"

void D_can::set_value(IIII* s) {
  if (s == nullptr) return;
  const IIII o = canIdent_;  // only this thread and attachment write it; no lock needed to read
  const IIII n = *s;

  // Fixed buffers: longer texts are cut (snprintf never writes past them).
  char msg[400];
  const std::string user = efp_ != nullptr ? efp_->get_username() : std::string();
  const std::string host = efp_ != nullptr ? efp_->get_hostname() : std::string();
  if (user.empty() && host.empty() && can_quiet()) {
    // No client made this change (the server's own configuration): nothing to log.
  } else if (efp_ != nullptr) {
    char who[200];
    std::snprintf(who, sizeof who, "%s@%s", user.c_str(), host.c_str());
    std::snprintf(msg, sizeof msg, "%s change from: %d, %d, %d, %d to: %d, %d, %d, %d by %s",
                  basename().c_str(), o.i1_data, o.i2_data, o.i3_data, o.i4_data, n.i1_data,
                  n.i2_data, n.i3_data, n.i4_data, who);
    tavik::printtostderr(get_location_name(efp_), msg, DF_LOG);
  } else {
    std::snprintf(msg, sizeof msg, "%s change from: %d, %d, %d, %d to: %d, %d, %d, %d",
                  basename().c_str(), o.i1_data, o.i2_data, o.i3_data, o.i4_data, n.i1_data,
                  n.i2_data, n.i3_data, n.i4_data);
    tavik::printtostderr("D_can", msg, DF_LOG);
  }

  if (n.i1_data != o.i1_data || n.i2_data != o.i2_data) {
    // Detach under the old line and node, while they are still in place.
    can_close();
    dellist();
    changed_ = true;
  }

  // The receive thread reads canIdent_ of the registered masters under mx_loop.
  std::lock_guard<std::mutex> lk(mx_loop);
  canIdent_ = n;
}
