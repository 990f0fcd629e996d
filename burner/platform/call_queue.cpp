#include "burner/platform/call_queue.h"

namespace zamo {

void CallQueue::Post(std::function<void()> call) {
  // Notified under the lock: the pumping thread may run the call and free
  // the queue as soon as the lock is released.
  std::lock_guard lock(mutex_);
  calls_.push_back(std::move(call));
  posted_.notify_all();
}

size_t CallQueue::RunFor(std::chrono::milliseconds timeout) {
  std::deque<std::function<void()>> ready;
  {
    std::unique_lock lock(mutex_);
    posted_.wait_for(lock, timeout, [this] { return !calls_.empty(); });
    ready.swap(calls_);
  }
  for (auto& call : ready) call();
  return ready.size();
}

}  // namespace zamo
