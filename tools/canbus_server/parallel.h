// canbus-server: start-up work spread over threads (attaching nodes, reading identities).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>

namespace canbus_server {

// Runs work(0) .. work(count - 1) on up to `workers` threads at once. While it runs, calls
// progress(done) from the calling thread every `progress_every`. Once `stop` turns true no new
// item starts; items already running finish. Returns the number of items done.
size_t run_parallel(size_t count, int workers, const std::atomic<bool>& stop,
                    const std::function<void(size_t)>& work,
                    const std::function<void(size_t done)>& progress = {},
                    std::chrono::milliseconds progress_every = std::chrono::seconds(2));

}  // namespace canbus_server
