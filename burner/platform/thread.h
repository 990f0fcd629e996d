// thread.h: TThread, a thread that is created suspended and started later,
// with a best-effort priority, an OnTerminate handler, WaitFor, and the
// choice to free itself when it ends (FreeOnTerminate).
//
// Execute runs on the new thread; nothing it throws escapes the thread. A
// thread that frees itself must not be waited for or touched once started.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

namespace zamo {

enum class ThreadPriority { kIdle, kLowest, kLower, kNormal, kHigher, kHighest, kTimeCritical };

class TThread {
 public:
  TThread() = default;
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  // Starts Execute on a new thread (once).
  void Start();
  // Waits until Execute has returned and OnTerminate has run.
  // REQUIRES: started and not FreeOnTerminate.
  void WaitFor();
  // Asks Execute to stop; Execute reads Terminated().
  void Terminate() { terminated_ = true; }
  bool Terminated() const { return terminated_; }
  bool Finished() const { return finished_; }
  // Best effort: raising applies where the process may (it takes effect at
  // once, or when the thread starts); levels below normal are only recorded.
  void SetPriority(ThreadPriority priority);
  ThreadPriority Priority() const { return priority_; }

  bool FreeOnTerminate = false;
  std::function<void(TThread*)> OnTerminate;

 protected:
  virtual void Execute() = 0;

 private:
  void Run() noexcept;
  void ApplyPriority();

  std::thread thread_;
  bool started_ = false;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::atomic<int> tid_{0};
  std::atomic<ThreadPriority> priority_{ThreadPriority::kNormal};
};

}  // namespace zamo
