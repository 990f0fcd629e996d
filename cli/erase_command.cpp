#include "cli/erase_command.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

#include "burner/drive/messages.h"
#include "burner/erase/erase_rules.h"
#include "burner/erase/erase_thread.h"
#include "burner/platform/call_queue.h"
#include "burner/platform/str_format.h"
#include "cli/drive_session.h"
#include "cli/file_checks.h"
#include "cli/job_runner.h"
#include "cli/progress_meter.h"

namespace zamo::cli {
namespace {

constexpr const char* kEraseUsage =
    "Utilisation\u00A0: zamo-cli [--drive N] [--emulate ...] erase [--full] [--eject]\n"
    "Efface le disque réinscriptible du graveur (CD-RW, DVD-RW, DVD+RW, DVD-RAM).\n"
    "\n"
    "  --full    effacement complet (long)\u00A0; sans lui, effacement rapide\n"
    "  --eject   éjecte le disque après un effacement réussi\n"
    "\n"
    "La progression est celle que donne le graveur, avec le temps restant à son rythme\u00A0: sur un\n"
    "terminal, une ligne tenue à jour\u00A0; sinon (journal, cron), une ligne toutes les 5 secondes\n"
    "(ZAMO_PROGRESS_INTERVAL=SECONDES pour un autre intervalle, 0 pour aucune). Ctrl-C cesse\n"
    "d'attendre\u00A0: le graveur termine seul un effacement commencé.\n"
    "Statut de sortie\u00A0: 0 succès, 1 échec, 2 erreur d'utilisation.\n";

// What Ctrl-C stops: zamo-cli's waiting, never the drive's blank or format.
// Where the erase thread overwrites the disc itself (a DVD+RW, a DVD-RAM's
// quick erase), the erase stays incomplete.
std::string StoppingText(TDiscKind kind, bool quick) {
  const std::string asked = std::string("Arrêt demandé") + kNbsp + ": ";
  if (kind == dkDvdPlusRw || (kind == dkDvdRam && quick))
    return asked + "l'effacement s'arrête après la commande en cours du graveur" + kNbsp +
           "; il reste incomplet, effacez de nouveau le disque avant de l'utiliser.";
  return asked + "le graveur termine seul l'effacement, qui ne s'interrompt pas" + kNbsp +
         "; zamo-cli cesse de l'attendre après la commande en cours. Le disque sera utilisable quand le graveur "
         "sera de nouveau prêt (" + Quoted("zamo-cli ready") + ").";
}

// Waits for OnEraseDone, pumping the component's calls to this thread, and
// shows the erase's progress: the drive's, as the component reads it, with
// the time left at the pace it has had since the start. The erase thread's
// waits are bounded, so the event always comes. False when Ctrl-C stopped
// the waiting first.
bool WaitForEraseDone(TVeskBurner& burner, LogOutput& log, CallQueue& queue, const bool& done, TDiscKind kind,
                      bool quick) {
  JobWatch watch(burner, log, [](TVeskBurner&) {});  // Ctrl-C heard, nothing stopped from the handler
  ProgressMeter meter(RateOver::kWholeJob);
  while (!done) {
    queue.RunFor(std::chrono::milliseconds(250));
    if (watch.Heard([&] { return StoppingText(kind, quick); })) return false;
    if (done) break;
    const double elapsed = watch.Elapsed();
    meter.Update(elapsed, burner.GetEraseProgress(), 100);
    ProgressView view;
    view.sizes = false;
    view.percent = meter.Percent();
    view.state = "effacement depuis " + DurationText(elapsed);
    view.seconds_left = meter.SecondsLeft();
    watch.Show(view);
  }
  ProgressView end;
  end.sizes = false;
  end.percent = 100;
  watch.ShowEnd(end);
  return true;
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
      std::fprintf(stderr, "zamo-cli erase\u00A0: argument inattendu %s\n%s", Quoted(argv[i]).c_str(), kEraseUsage);
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
  if (burner.EraseDisc(!full) && !WaitForEraseDone(burner, log, queue, done, kind, !full)) {
    burner.StopErase();  // the thread sends no more commands, and fires nothing
    burner.Dispatcher = nullptr;
    burner.OnEraseDone = nullptr;
    log.Line(">>> SUPPRESSION: - ÉCHEC");
    log.Line(std::string(">>> ") + msg::kAbortedByUser);
    return 1;
  }
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
