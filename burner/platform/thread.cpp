#include "burner/platform/thread.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace zamo {
namespace {

int NiceValue(ThreadPriority priority) {
  switch (priority) {
    case ThreadPriority::kIdle: return 19;
    case ThreadPriority::kLowest: return 10;
    case ThreadPriority::kLower: return 5;
    case ThreadPriority::kNormal: return 0;
    case ThreadPriority::kHigher: return -5;
    case ThreadPriority::kHighest: return -10;
    case ThreadPriority::kTimeCritical: return -20;
  }
  return 0;
}

}  // namespace

TThread::~TThread() {
  if (thread_.joinable()) thread_.detach();  // never reached for a started thread that is waited for
}

void TThread::Start() {
  if (started_) return;
  started_ = true;
  const bool free_on_terminate = FreeOnTerminate;
  std::thread thread([this] { Run(); });
  // A thread that frees itself may be gone at any moment from here: its
  // std::thread is detached without touching the object.
  if (free_on_terminate) {
    thread.detach();
  } else {
    thread_ = std::move(thread);
  }
}

void TThread::WaitFor() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

namespace {

// Lowering a thread's priority is always allowed, raising it back only with
// the right to do so: without it, a priority lowered once would stay low.
bool CanRaisePriority() {
  static const bool can = [] {
    struct rlimit limit {};
    return geteuid() == 0 || (getrlimit(RLIMIT_NICE, &limit) == 0 && limit.rlim_cur >= 20);
  }();
  return can;
}

}  // namespace

void TThread::SetPriority(ThreadPriority priority) {
  priority_ = priority;
  // Levels below normal are kept but not applied: a producer thread at a
  // high nice value loses the processor to the kernel's writeback threads
  // (measured: reading twice as slow, and erratic), and without the right to
  // raise a priority again it would stay low.
  if (priority < ThreadPriority::kNormal || !CanRaisePriority()) return;
  if (tid_ != 0) ApplyPriority();
}

void TThread::ApplyPriority() {
  // Linux keeps a nice value per thread; a refused change is ignored.
  setpriority(PRIO_PROCESS, static_cast<id_t>(tid_.load()), NiceValue(priority_));
}

void TThread::Run() noexcept {
  tid_ = static_cast<int>(syscall(SYS_gettid));
  if (priority_ > ThreadPriority::kNormal && CanRaisePriority()) ApplyPriority();
  try {
    Execute();
  } catch (...) {
    // Execute reports its own failures; nothing may escape the thread.
  }
  try {
    if (OnTerminate) OnTerminate(this);
  } catch (...) {
  }
  const bool free_on_terminate = FreeOnTerminate;
  finished_ = true;
  if (free_on_terminate) delete this;
}

}  // namespace zamo
