// The driver's C calls: argument checks common to every backend, then dispatch to the backend
// the process chose (backend.h). Also the backend registry.
#include "ntcan.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "backend.h"
#include "guarded.h"
#include "net_counts.h"
#include "ntcan_open_error.h"
#include "recorder.h"

namespace ntcan {
namespace {

struct Registry {
  std::mutex mu;
  std::map<std::string, BackendFactory> factories;
};

// Leaked on purpose: registrations run during static initialisation in any order, and the
// registry must outlive every static destructor.
Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

struct Active {
  std::string name;
  Backend* backend = nullptr;  // never destroyed: detached threads may call during exit
};

const Active& active() {
  static const Active* a = [] {
    auto* s = new Active;
    const char* env = std::getenv("NTCAN_BACKEND");
    s->name = (env && *env) ? env : "virtual";
    s->backend = make_backend(s->name).release();
    return s;
  }();
  return *a;
}

// Says once per process, at the first canOpen, which backend carries the frames: a server
// that runs on the virtual bus by mistake sends into nothing, successfully.
void announce_backend() {
  static std::once_flag once;
  std::call_once(once, [] {
    const std::string line = backend_banner();
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
  });
}

// What the calling thread's last canOpen had to say beyond its result (ntcan_open_error.h).
thread_local std::string t_open_error;
// One cache line a net: the threads of different lines do not share one.
struct alignas(64) NetCounters {
  std::atomic<uint64_t> sent{0};
  std::atomic<uint64_t> received{0};
};
std::array<NetCounters, kCountedNets> g_nets;

// Adds `count` frames of `handle` to its net's sent or received frames.
void count_frames(NTCAN_HANDLE handle, int32_t count, bool sent) {
  if (count <= 0) return;
  const int net = recorder::net_of(handle);
  if (net < 0 || net >= kCountedNets) return;
  (sent ? g_nets[net].sent : g_nets[net].received)
      .fetch_add(static_cast<uint64_t>(count), std::memory_order_relaxed);
}

bool valid_id(int32_t id) {
  return id >= 0 && id <= kMaxId;
}

using ntcan::guarded;

// Common path of the calls that take an open handle: -1 (and any non-positive number) never
// reaches a backend, nor does any call while the process has no backend.
template <typename F>
NTCAN_RESULT on_handle(NTCAN_HANDLE handle, F&& f) noexcept {
  if (handle <= 0) return NTCAN_INVALID_HANDLE;
  Backend* b = active().backend;
  if (!b) return NTCAN_INVALID_HANDLE;
  return guarded([&] { return f(*b); });
}

// read/take/send: the count is frames delivered, 0 on any failure.
template <typename F>
NTCAN_RESULT counted(NTCAN_HANDLE handle, const CMSG* frames, int32_t* count, F&& f) noexcept {
  if (handle <= 0) {
    if (count) *count = 0;
    return NTCAN_INVALID_HANDLE;
  }
  if (!count) return NTCAN_INVALID_PARAMETER;
  if (!frames || *count <= 0) {
    *count = 0;
    return NTCAN_INVALID_PARAMETER;
  }
  NTCAN_RESULT r = on_handle(handle, f);
  if (r != NTCAN_SUCCESS) *count = 0;
  return r;
}

}  // namespace

void set_open_error(std::string text) {
  t_open_error = std::move(text);
}

bool register_backend(const char* name, BackendFactory factory) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  r.factories[name] = factory;
  return true;
}

std::vector<std::string> backend_names() {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  std::vector<std::string> names;
  for (const auto& [name, f] : r.factories) names.push_back(name);
  return names;
}

std::unique_ptr<Backend> make_backend(const std::string& name) {
  BackendFactory f = nullptr;
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    auto it = r.factories.find(name);
    if (it != r.factories.end()) f = it->second;
  }
  return f ? f() : nullptr;
}

NetCounts net_counts(int net) {
  if (net < 0 || net >= kCountedNets) return {};
  return {g_nets[net].sent.load(std::memory_order_relaxed),
          g_nets[net].received.load(std::memory_order_relaxed)};
}

Backend* active_backend() {
  return active().backend;
}
const std::string& active_backend_name() {
  return active().name;
}

std::string backend_banner() {
  const Active& a = active();
  if (a.backend == nullptr) {
    return "ntcan: no backend named \"" + a.name +
           "\" (NTCAN_BACKEND); every canOpen fails with NTCAN_INVALID_DRIVER";
  }
  if (a.name == "virtual") {
    return "ntcan: virtual bus backend (simulation; NTCAN_BACKEND=socketcan for real interfaces)";
  }
  if (a.name == "socketcan") return "ntcan: socketcan backend (Linux CAN interfaces)";
  return "ntcan: " + a.name + " backend";
}

}  // namespace ntcan

using ntcan::Backend;

extern "C" {

NTCAN_RESULT canOpen(int net, uint32_t flags, int32_t txqueuesize, int32_t rxqueuesize,
                     int32_t txtimeout, int32_t rxtimeout, NTCAN_HANDLE* handle) {
  if (!handle) return NTCAN_INVALID_PARAMETER;
  *handle = NTCAN_NO_HANDLE;
  ntcan::t_open_error.clear();
  ntcan::announce_backend();
  return ntcan::guarded([&]() -> NTCAN_RESULT {
    Backend* b = ntcan::active_backend();
    if (!b) return NTCAN_INVALID_DRIVER;
    // NTCAN_RECORD*: the first open starts recording.
    static const bool recording = (ntcan::recorder::start_from_environment(), true);
    (void)recording;
    NTCAN_HANDLE h = NTCAN_NO_HANDLE;
    NTCAN_RESULT r = b->open(net, flags, txqueuesize, rxqueuesize, txtimeout, rxtimeout, &h);
    if (r == NTCAN_SUCCESS) {
      ntcan::recorder::on_open(h, net);
      *handle = h;
    }
    return r;
  });
}

NTCAN_RESULT canOpenError(char* text, size_t size) {
  if (!text || size == 0) return NTCAN_INVALID_PARAMETER;
  const std::string& e = ntcan::t_open_error;
  const size_t n = std::min(e.size(), size - 1);
  std::memcpy(text, e.data(), n);
  text[n] = '\0';
  return NTCAN_SUCCESS;
}

NTCAN_RESULT canClose(NTCAN_HANDLE handle) {
  return ntcan::on_handle(handle, [&](Backend& b) {
    const NTCAN_RESULT r = b.close(handle);
    ntcan::recorder::on_close(handle);  // closed whatever the result
    return r;
  });
}

NTCAN_RESULT canSetBaudrate(NTCAN_HANDLE handle, uint32_t baud) {
  return ntcan::on_handle(handle, [&](Backend& b) {
    return baud > ntcan::kMaxBaudCode ? NTCAN_INVALID_PARAMETER : b.set_baudrate(handle, baud);
  });
}

NTCAN_RESULT canGetBaudrate(NTCAN_HANDLE handle, uint32_t* baud) {
  return ntcan::on_handle(handle, [&](Backend& b) {
    return baud ? b.get_baudrate(handle, baud) : NTCAN_INVALID_PARAMETER;
  });
}

NTCAN_RESULT canStatus(NTCAN_HANDLE handle, CAN_IF_STATUS* cstat) {
  return ntcan::on_handle(handle, [&](Backend& b) {
    return cstat ? b.status(handle, cstat) : NTCAN_INVALID_PARAMETER;
  });
}

NTCAN_RESULT canIdAdd(NTCAN_HANDLE handle, int32_t id) {
  return ntcan::on_handle(handle, [&](Backend& b) {
    return ntcan::valid_id(id) ? b.id_add(handle, id) : NTCAN_INVALID_PARAMETER;
  });
}

NTCAN_RESULT canIdDelete(NTCAN_HANDLE handle, int32_t id) {
  return ntcan::on_handle(handle, [&](Backend& b) {
    return ntcan::valid_id(id) ? b.id_delete(handle, id) : NTCAN_INVALID_PARAMETER;
  });
}

NTCAN_RESULT canSend(NTCAN_HANDLE handle, CMSG* cmsg, int32_t* len) {
  return ntcan::counted(handle, cmsg, len, [&](Backend& b) {
    // All or nothing: one bad frame refuses the whole array before any frame goes out.
    for (int32_t i = 0; i < *len; ++i) {
      if (!ntcan::valid_id(cmsg[i].id) || (cmsg[i].len & ntcan::kDlcMask) > 8) {
        return NTCAN_INVALID_PARAMETER;
      }
    }
    ntcan::recorder::SendRecord record(handle, cmsg, *len);
    NTCAN_RESULT r = b.send(handle, cmsg, len);
    if (r == NTCAN_SUCCESS) {
      record.sent(*len);
      ntcan::count_frames(handle, *len, true);
    }
    return r;
  });
}

NTCAN_RESULT canRead(NTCAN_HANDLE handle, CMSG* cmsg, int32_t* len, OVERLAPPED* ovrlppd) {
  return ntcan::counted(handle, cmsg, len, [&](Backend& b) {
    // No asynchronous I/O: an overlapped argument is refused rather than ignored.
    if (ovrlppd) return NTCAN_INVALID_PARAMETER;
    NTCAN_RESULT r = b.read(handle, cmsg, len);
    if (r == NTCAN_SUCCESS) {
      ntcan::recorder::on_received(handle, cmsg, *len);
      ntcan::count_frames(handle, *len, false);
    }
    return r;
  });
}

NTCAN_RESULT canReadTimeout(NTCAN_HANDLE handle, CMSG* cmsg, int32_t* len, int64_t timeout_us) {
  return ntcan::counted(handle, cmsg, len, [&](Backend& b) {
    NTCAN_RESULT r = b.read_timeout(handle, cmsg, len, timeout_us);
    if (r == NTCAN_SUCCESS) {
      ntcan::recorder::on_received(handle, cmsg, *len);
      ntcan::count_frames(handle, *len, false);
    }
    return r;
  });
}

NTCAN_RESULT canTake(NTCAN_HANDLE handle, CMSG* cmsg, int32_t* len) {
  return ntcan::counted(handle, cmsg, len, [&](Backend& b) {
    NTCAN_RESULT r = b.take(handle, cmsg, len);
    if (r == NTCAN_SUCCESS) {
      ntcan::recorder::on_received(handle, cmsg, *len);
      ntcan::count_frames(handle, *len, false);
    }
    return r;
  });
}

}  // extern "C"
