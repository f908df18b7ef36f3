// The seam between the driver's C calls (ntcan.cpp) and the backends that carry the frames.
//
// How a call travels: a C call of ntcan.h checks its arguments (see "What a backend may rely
// on"), then calls the same-named method of the process's backend. The backend is chosen once
// per process, at the first C call, from the environment variable NTCAN_BACKEND: unset or
// empty means "virtual" (the in-process virtual bus, vbus.cpp). A name that no backend
// registered, or a factory that returns nullptr, leaves the process without a backend: every
// canOpen then fails with NTCAN_INVALID_DRIVER and every other call with NTCAN_INVALID_HANDLE.
//
// Adding a backend ("socketcan" for instance) takes one new source file in ntcan/ and touches
// no other file (the library's CMake globs ntcan/*.cpp):
//
//   #include "backend.h"
//   namespace {
//   class SocketCanBackend final : public ntcan::Backend { ... };
//   std::unique_ptr<ntcan::Backend> make_socketcan() { return std::make_unique<SocketCanBackend>();
//   } const bool registered = ntcan::register_backend("socketcan", &make_socketcan); }  //
//   namespace
//
// Why this is safe against static-initialisation order: the registry is a function-local
// static, created by whichever registration runs first, and the backend is chosen lazily at the
// first C call. The dynamic loader runs all initialisers of the driver library before those of
// any library or program linked against it, so every registration is in place before a caller
// can reach a C call. (Do not call the C API from a namespace-scope initialiser inside the
// driver library itself.) The factory runs once, in the thread of that first call; the backend
// object is never destroyed, because detached threads may still call the driver while the
// process exits.
//
// What a backend may rely on (checked by ntcan.cpp before the call):
//  - handle > 0 for every call but open (-1 and 0 never reach a backend);
//  - every pointer argument is non-null; for send/read/take, *count > 0 on entry;
//  - send: every frame has an identifier in 0..0x7FF and a data length (len & 0x0F) of 0..8;
//    frames are passed as the caller gave them: a backend puts normalised copies
//    (normalised_frame) on the bus, never modifies the caller's array;
//  - set_baudrate: code in 0..14 (the standard table);
//  - id_add/id_delete: id in 0..0x7FF.
// What a backend must do:
//  - be safe for concurrent calls from many threads, also on one handle; close must wake a
//    thread waiting in read on that handle (it returns NTCAN_OPERATION_ABORTED);
//  - never reuse a handle number within the process; an unknown or closed handle gives
//    NTCAN_INVALID_HANDLE and touches no other handle's frames;
//  - read/take set *count to the frames delivered; ntcan.cpp sets it to 0 whenever the result
//    is not NTCAN_SUCCESS. A frame lost because a receive queue was full is counted and shown
//    in msg_lost of the next frame that enters that queue (saturating at 255);
//  - read waits up to the handle's rxtimeout in ms (<= 0: no wait), then gives
//    NTCAN_RX_TIMEOUT; read_timeout the same up to its own time-out in microseconds, to the
//    microsecond (callers wait for replies up to their own deadline with it); take never waits
//    and gives NTCAN_SUCCESS with count 0 when empty;
//  - close always closes a valid handle, whatever it returns;
//  - not throw; an exception that escapes anyway is turned into NTCAN_INSUFFICIENT_RESOURCES
//    (std::bad_alloc) or NTCAN_INVALID_DRIVER by ntcan.cpp.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ntcan.h"
#include "watch.h"

namespace ntcan {

constexpr int32_t kMaxId = 0x7FF;      // 11-bit identifiers only
constexpr uint32_t kMaxBaudCode = 14;  // standard table 0..14
constexpr uint8_t kDlcMask = 0x0F;

class Backend {
 public:
  virtual ~Backend() = default;

  virtual NTCAN_RESULT open(int net, uint32_t flags, int32_t txqueuesize, int32_t rxqueuesize,
                            int32_t txtimeout, int32_t rxtimeout, NTCAN_HANDLE* handle) = 0;
  virtual NTCAN_RESULT close(NTCAN_HANDLE handle) = 0;
  virtual NTCAN_RESULT set_baudrate(NTCAN_HANDLE handle, uint32_t baud) = 0;
  virtual NTCAN_RESULT status(NTCAN_HANDLE handle, CAN_IF_STATUS* cstat) = 0;
  // The code last set on the handle's net; a backend that cannot tell says NTCAN_NO_BAUDRATE.
  virtual NTCAN_RESULT get_baudrate(NTCAN_HANDLE /*handle*/, uint32_t* baud) {
    *baud = NTCAN_NO_BAUDRATE;
    return NTCAN_SUCCESS;
  }
  virtual NTCAN_RESULT id_add(NTCAN_HANDLE handle, int32_t id) = 0;
  virtual NTCAN_RESULT id_delete(NTCAN_HANDLE handle, int32_t id) = 0;
  virtual NTCAN_RESULT send(NTCAN_HANDLE handle, const CMSG* frames, int32_t* count) = 0;
  virtual NTCAN_RESULT read(NTCAN_HANDLE handle, CMSG* frames, int32_t* count) = 0;
  // read with its own time-out in microseconds (<= 0: no wait) instead of the handle's. This
  // default only looks and then waits the handle's time-out: backends override it.
  virtual NTCAN_RESULT read_timeout(NTCAN_HANDLE handle, CMSG* frames, int32_t* count,
                                    int64_t timeout_us) {
    const int32_t want = *count;
    NTCAN_RESULT r = take(handle, frames, count);
    if (r != NTCAN_SUCCESS || *count > 0) return r;
    if (timeout_us <= 0) return NTCAN_RX_TIMEOUT;
    *count = want;
    return read(handle, frames, count);
  }
  virtual NTCAN_RESULT take(NTCAN_HANDLE handle, CMSG* frames, int32_t* count) = 0;
  // Arrival watching (ntcan_wait.h): from now on the backend calls slot->mark() whenever a
  // frame enters the handle's receive queue (at once when frames wait already), until unwatch
  // or close. NTCAN_WRONG_DEVICE_STATE when a slot of another core is attached;
  // NTCAN_INVALID_DRIVER (this default) when the backend cannot tell arrivals.
  virtual NTCAN_RESULT watch(NTCAN_HANDLE /*handle*/, const std::shared_ptr<WatchSlot>& /*slot*/) {
    return NTCAN_INVALID_DRIVER;
  }
  // Detaches the handle's slot if it belongs to `core`.
  virtual void unwatch(NTCAN_HANDLE /*handle*/, const WatchCore* /*core*/) {}
  // The waiter saw the handle's descriptor in its epoll set turn readable: move the frames
  // waiting there into the queue (marking them), as any call on the handle would.
  virtual void drain(NTCAN_HANDLE /*handle*/) {}
  // The interface name of `net` in recorded logs (recorder.h).
  virtual std::string net_name(int net) const { return "can" + std::to_string(net); }
};

using BackendFactory = std::unique_ptr<Backend> (*)();

// Registers `factory` under `name` (a later registration of the same name replaces it).
// Returns true, so that it can initialise a namespace-scope constant.
bool register_backend(const char* name, BackendFactory factory);
// Names registered so far, sorted.
std::vector<std::string> backend_names();
// A new backend of that name; nullptr for an unknown name or a factory that declined.
std::unique_ptr<Backend> make_backend(const std::string& name);

// Inside Backend::open: why the open fails, for canOpenError (ntcan_open_error.h) in the
// calling thread. canOpen clears it before calling the backend.
void set_open_error(std::string text);

// The process's backend, chosen at the first call (nullptr if NTCAN_BACKEND names none).
Backend* active_backend();
// The name the process's backend was chosen by ("virtual" when NTCAN_BACKEND is unset).
const std::string& active_backend_name();
// The line the driver writes to standard error once per process, at the first canOpen: which
// backend is in use (or that NTCAN_BACKEND names none).
std::string backend_banner();

// The frame as a bus carries it: only the data-length and remote bits of len kept, msg_lost
// and reserved cleared, data bytes past the data length (all of them for a remote request)
// zeroed. Expects a checked frame (data length <= 8).
inline CMSG normalised_frame(const CMSG& in) {
  CMSG out{};
  out.id = in.id;
  out.len = static_cast<uint8_t>(in.len & (kDlcMask | NTCAN_RTR));
  if (!(in.len & NTCAN_RTR)) {
    for (int i = 0; i < (in.len & kDlcMask); ++i) out.data[i] = in.data[i];
  }
  return out;
}

}  // namespace ntcan
