// Process-wide state of the library: the node registry, the line registry and their locks, the
// .DEBUG_ID pointer, and the reset used between tests.
#include "registry.h"

#include <mutex>
#include <vector>

// Lines and nodes live until the process ends: at exit the vectors free their arrays only.
std::vector<D_can*> can_list;
std::vector<D_can*> direct_list;
std::vector<D_can*> orphan_list;
std::vector<canline*> canline_list;
std::mutex line_list_mx;

NTCAN_HANDLE canline_handle(int line) {
  std::lock_guard<std::mutex> lk(line_list_mx);
  for (canline* l : canline_list) {
    if (l->line() == line) return l->handle();
  }
  return -1;
}

int canline_send(int line, const CMSG& frame) {
  const NTCAN_HANDLE h = canline_handle(line);
  if (h <= 0) return NTCAN_INVALID_HANDLE;
  CMSG m = frame;
  int32_t count = 1;
  const NTCAN_RESULT r = canSend(h, &m, &count);
  if (r != NTCAN_SUCCESS) return static_cast<int>(r);
  return count == 1 ? 0 : NTCAN_TX_TIMEOUT;
}

std::mutex D_can::mx_loop;
D_iiii* D_can::canIdent_debug_ = nullptr;

void canbus_reset_for_tests() {
  std::vector<canline*> lines;
  {
    std::lock_guard<std::mutex> lk(line_list_mx);
    lines.swap(canline_list);
  }
  for (canline* l : lines) l->ThreadStop_ = true;
  for (canline* l : lines) {
    // A thread that did not end still uses its line: leave that line alive rather than free it
    // under the thread.
    if (!l->stop_thread()) continue;
    l->can_close();
    delete l;
  }

  D_iiii* dbg = nullptr;
  {
    std::lock_guard<std::mutex> lk(D_can::mx_loop);
    can_list.clear();
    direct_list.clear();
    orphan_list.clear();
    dbg = D_can::canIdent_debug_;
    D_can::canIdent_debug_ = nullptr;
  }
  // A .DEBUG_ID with a location belongs to it; one without (a node property created without a
  // location) belongs to nobody and is freed here. Its destructor takes mx_loop.
  if (dbg != nullptr && dbg->location() == nullptr) delete dbg;
}
