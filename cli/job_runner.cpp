#include "cli/job_runner.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>

#include "burner/platform/call_queue.h"
#include "burner/platform/str_format.h"
#include "cli/file_checks.h"

namespace zamo::cli {
namespace {

// The component whose job Ctrl-C aborts, and how; the count of Ctrl-C and
// SIGTERM heard. The handler only stores to atomics, as a signal handler may.
std::atomic<TVeskBurner*> g_abort_target{nullptr};
std::atomic<AbortFunction> g_abort{nullptr};
std::atomic<int> g_interrupts{0};

void OnInterrupt(int) {
  g_interrupts.fetch_add(1);
  TVeskBurner* burner = g_abort_target.load();
  const AbortFunction abort = g_abort.load();
  if (burner != nullptr && abort != nullptr) abort(*burner);
}

constexpr auto kLookEvery = std::chrono::milliseconds(250);

}  // namespace

class JobWatch::InterruptGuard {
 public:
  InterruptGuard(TVeskBurner& burner, AbortFunction abort) {
    g_interrupts = 0;
    g_abort = abort;
    g_abort_target = &burner;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &old_int_);
    sigaction(SIGTERM, &action, &old_term_);
  }
  ~InterruptGuard() {
    sigaction(SIGINT, &old_int_, nullptr);
    sigaction(SIGTERM, &old_term_, nullptr);
    g_abort_target = nullptr;
  }
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

 private:
  struct sigaction old_int_ {};
  struct sigaction old_term_ {};
};

JobWatch::JobWatch(TVeskBurner& burner, LogOutput& log, AbortFunction abort)
    : interrupt_(std::make_unique<InterruptGuard>(burner, abort)),
      log_(log),
      terminal_(isatty(STDERR_FILENO) != 0),
      interval_(PlainLineInterval()),
      started_(std::chrono::steady_clock::now()) {
  if (terminal_) log_.SetProgressActive(true);
}

JobWatch::~JobWatch() {
  if (terminal_) log_.SetProgressActive(false);
}

double JobWatch::Elapsed() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
}

void JobWatch::Show(const ProgressView& view) {
  if (terminal_) {
    log_.Progress(TerminalLine(view));
    return;
  }
  const double now = Elapsed();
  if (interval_ <= 0 || now - last_plain_ < interval_) return;
  last_plain_ = now;
  plain_written_ = true;
  log_.Line(PlainLine(view));
}

void JobWatch::ShowEnd(ProgressView view) {
  if (terminal_ || !plain_written_) return;
  view.rate = 0;
  view.seconds_left = -1;
  view.state.clear();
  log_.Line(PlainLine(view));
}

bool JobWatch::Heard(const std::function<std::string()>& stopping) {
  if (g_interrupts.load() == 0) return false;
  if (!announced_) {
    announced_ = true;
    log_.Line(stopping());
  }
  return true;
}

std::string RunJob(TVeskBurner& burner, LogOutput& log, TWriteDoneEvent TVeskBurner::*done_event, AbortFunction abort,
                   const ProgressLook& look, const std::function<std::string()>& stopping,
                   const std::function<void()>& start) {
  CallQueue queue;
  burner.Dispatcher = [&queue](std::function<void()> call) { queue.Post(std::move(call)); };
  bool done = false;
  std::string error;
  burner.*done_event = [&](TObject*, const std::string& e) {
    error = e;
    done = true;
  };
  {
    JobWatch watch(burner, log, abort);
    start();
    // The job reports through the queue; one that could not start has
    // reported already.
    while (!done) {
      queue.RunFor(kLookEvery);
      watch.Heard(stopping);
      if (!done) watch.Show(look(watch.Elapsed()));
    }
    if (error.empty()) watch.ShowEnd(look(watch.Elapsed()));
  }
  burner.Dispatcher = nullptr;
  burner.*done_event = nullptr;
  return error;
}

namespace {

// A writing job's look: the data's progress and the drive's rate while the
// data flows, then what the drive does with it (the phase, and for how long).
class WriteJobLook {
 public:
  WriteJobLook(TVeskBurner& burner, WriteTarget target) : burner_(burner), target_(target) {}

  ProgressView operator()(double elapsed) {
    using Phase = TVeskBurner::TJobPhase;
    const TVeskBurner::TJobProgress p = burner_.Progress();
    if (p.Phase != phase_) {
      phase_ = p.Phase;
      phase_since_ = elapsed;
    }
    // What the drive has taken but not recorded yet waits in its buffer.
    const int64_t pending = p.DriveBufferSize > 0 ? int64_t{p.DriveBufferSize} - p.DriveBufferFree : 0;
    meter_.Update(elapsed, p.BytesWritten, p.TotalBytes, pending);
    ProgressView view;
    view.percent = meter_.Percent();
    view.sizes = p.TotalBytes > 0;
    view.done = p.BytesWritten;
    view.total = p.TotalBytes;
    view.gauges = "cache " + PercentText(p.CacheFillPercent);
    if (p.DriveBufferSize > 0) {
      const auto used = static_cast<int>(static_cast<uint64_t>(pending) * 100 / p.DriveBufferSize);
      view.gauges += "   tampon du graveur " + PercentText(used);
    }
    if (p.Phase == Phase::kWriting) {
      view.rate = meter_.Rate();
      view.seconds_left = meter_.SecondsLeft();
    } else if (p.Phase != Phase::kIdle) {
      // Before the first byte an image file's job reads the files ahead; a
      // disc's readies the drive. After the last, the drive works alone.
      const std::string what = target_ == WriteTarget::kImageFile && p.Phase == Phase::kPreparing
                                   ? "lecture des fichiers"
                                   : TVeskBurner::JobPhaseText(p.Phase);
      view.state = what + " depuis " + DurationText(elapsed - phase_since_);
    }
    return view;
  }

  // What Ctrl-C stops in the phase the job is in, and what it then waits for.
  std::string StoppingText() const {
    using Phase = TVeskBurner::TJobPhase;
    const std::string asked = std::string("Arrêt demandé") + kNbsp + ": ";
    if (target_ == WriteTarget::kImageFile)
      return asked + "fin de l'écriture en cours, puis suppression du fichier image partiel.";
    // The phase of the last look: the job may have ended since the signal.
    switch (phase_) {
      case Phase::kIdle:
      case Phase::kPreparing:
        return asked + "attente de la réponse du graveur à la commande en cours" + kNbsp +
               "; rien n'est encore gravé.";
      case Phase::kWriting:
        return asked + "attente de la fin de l'écriture en cours, puis le graveur vide son tampon" + kNbsp +
               "; la session restera ouverte, jamais donnée pour bonne.";
      case Phase::kFlushing:
        return asked + "attente de la réponse du graveur, qui vide son tampon" + kNbsp +
               "; la session ne sera pas fermée.";
      default:
        return asked + "le graveur termine seul la fermeture de la session, zamo-cli cesse de l'attendre après "
                       "la commande en cours" + kNbsp + "; la session n'est peut-être pas fermée.";
    }
  }

 private:
  TVeskBurner& burner_;
  const WriteTarget target_;
  ProgressMeter meter_;
  TVeskBurner::TJobPhase phase_ = TVeskBurner::TJobPhase::kIdle;
  double phase_since_ = 0;
};

}  // namespace

std::string RunWriteJob(TVeskBurner& burner, LogOutput& log, WriteTarget target, const std::function<void()>& start) {
  WriteJobLook look(burner, target);
  return RunJob(
      burner, log, &TVeskBurner::OnWriteDone, [](TVeskBurner& b) { b.AbortWriting(); },
      [&look](double elapsed) { return look(elapsed); }, [&look] { return look.StoppingText(); }, start);
}

}  // namespace zamo::cli
