// call_queue.h: calls posted from any thread and run on the thread that
// pumps the queue: how a front end without a window system (zamo-cli, the
// tests) receives the component's events on its main thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace zamo {

class CallQueue {
 public:
  void Post(std::function<void()> call);
  // Runs the calls posted so far; waits up to `timeout` for the first one.
  // Returns the number of calls run.
  size_t RunFor(std::chrono::milliseconds timeout);

 private:
  std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<std::function<void()>> calls_;
};

}  // namespace zamo
