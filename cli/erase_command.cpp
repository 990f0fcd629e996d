#include "cli/erase_command.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

#include "burner/erase/erase_rules.h"
#include "burner/erase/erase_thread.h"
#include "burner/platform/call_queue.h"
#include "burner/platform/str_format.h"
#include "cli/drive_session.h"

namespace zamo::cli {
namespace {

constexpr const char* kEraseUsage =
    "Usage : zamo-cli [--drive N] [--emulate ...] erase [--full] [--eject]\n"
    "Efface le disque réinscriptible du graveur (CD-RW, DVD-RW, DVD+RW, DVD-RAM).\n"
    "\n"
    "  --full    effacement complet (long) ; sans lui, effacement rapide\n"
    "  --eject   éjecte le disque après un effacement réussi\n"
    "\n"
    "Sur un terminal, une ligne montre la progression et le temps restant estimé.\n"
    "Statut de sortie : 0 succès, 1 échec, 2 erreur d'utilisation.\n";

std::string Clock(int seconds) { return StrFormat("%d:%02d", seconds / 60, seconds % 60); }

// "  37 %   écoulé 0:55   reste 1:35": the time left is what the component's
// estimate of the erase has not used up yet.
std::string ProgressLine(int percent, int elapsed, int estimated) {
  const int left = std::max(0, estimated * (100 - percent) / 100);
  return StrFormat("%3d %%   écoulé %s   reste %s", percent, Clock(elapsed).c_str(), Clock(left).c_str());
}

// Waits for OnEraseDone, pumping the component's calls to this thread. The
// erase thread's waits are bounded, so the event always comes.
void WaitForEraseDone(TVeskBurner& burner, LogOutput& log, CallQueue& queue, const bool& done, int estimated) {
  const bool terminal = isatty(STDERR_FILENO) != 0;
  if (terminal) log.SetProgressActive(true);
  const auto started = std::chrono::steady_clock::now();
  while (!done) {
    queue.RunFor(std::chrono::milliseconds(250));
    if (terminal && !done) {
      const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started);
      log.Progress(ProgressLine(burner.GetEraseProgress(), static_cast<int>(elapsed.count()), estimated));
    }
  }
  if (terminal) log.SetProgressActive(false);
}

}  // namespace

int RunErase(int argc, char** argv, const DriveOptions& drive) {
  bool full = false;
  bool eject = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kEraseUsage, stdout);
      return 0;
    }
    if (arg == "--full") {
      full = true;
    } else if (arg == "--eject") {
      eject = true;
    } else {
      std::fprintf(stderr, "zamo-cli erase : argument inattendu « %s »\n%s", argv[i], kEraseUsage);
      return 2;
    }
  }

  RegisterEmulator();
  DriveSession session(drive);
  if (!session.Select(drive.drive)) return 1;
  TVeskBurner& burner = session.burner();
  LogOutput& log = session.log();

  // The desktop program's rule (a quick erase also takes a DVD-RAM). The
  // disc is loaded first, so that an open tray is not taken for a bad disc.
  burner.LoadEject(false);
  const TDiscKind kind = burner.GetDiscType();
  if (!EraseAllowed(burner, kind, /*quick=*/!full)) {
    log.Line(kDiscNotErasable);
    return 1;
  }

  CallQueue queue;
  burner.Dispatcher = [&queue](std::function<void()> call) { queue.Post(std::move(call)); };
  bool done = false;
  bool failed = false;
  burner.OnEraseDone = [&](TObject*, bool with_error) {
    failed = with_error;
    done = true;
  };
  // A start that fails has fired OnEraseDone already.
  if (burner.EraseDisc(!full)) WaitForEraseDone(burner, log, queue, done, EstimatedEraseSeconds(kind, !full));
  burner.Dispatcher = nullptr;
  burner.OnEraseDone = nullptr;

  if (failed || !done) {
    log.Line(">>> SUPPRESSION: - ÉCHEC");
    return 1;
  }
  log.Line(">>> SUPPRESSION: - RÉUSSIE");
  if (eject && !burner.LoadEject(true)) session.ReportFailure(">>> MÉDIA ÉJECTÉ: - ÉCHEC.");
  return 0;
}

}  // namespace zamo::cli
