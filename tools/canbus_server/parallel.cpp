// canbus-server: start-up work spread over threads.
#include "parallel.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace canbus_server {

size_t run_parallel(size_t count, int workers, const std::atomic<bool>& stop,
                    const std::function<void(size_t)>& work,
                    const std::function<void(size_t done)>& progress,
                    std::chrono::milliseconds progress_every) {
  std::mutex mx;
  std::condition_variable done_cv;
  size_t next = 0;
  size_t done = 0;
  auto worker = [&] {
    for (;;) {
      size_t k = 0;
      {
        std::lock_guard<std::mutex> lk(mx);
        if (stop.load() || next >= count) return;
        k = next++;
      }
      work(k);
      std::lock_guard<std::mutex> lk(mx);
      ++done;
      done_cv.notify_all();
    }
  };
  const size_t n = std::min(count, static_cast<size_t>(std::max(workers, 1)));
  std::vector<std::thread> threads;
  for (size_t t = 0; t < n; ++t) threads.emplace_back(worker);
  {
    // Progress, and the look at the stop flag: a signal handler cannot notify, so the wait
    // looks again at least every 50 ms.
    std::unique_lock<std::mutex> lk(mx);
    auto next_report = std::chrono::steady_clock::now() + progress_every;
    while (done < count && !stop.load() && !(next >= count && done == next)) {
      done_cv.wait_for(lk, std::chrono::milliseconds(50));
      if (progress && std::chrono::steady_clock::now() >= next_report && done < count) {
        progress(done);
        next_report += progress_every;
      }
    }
  }
  for (std::thread& t : threads) t.join();
  return done;
}

}  // namespace canbus_server
