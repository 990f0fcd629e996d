// verify_command.cpp: verifications from the command line. The component's
// events arrive on the main thread through a call queue, a progress line is
// kept up to date on a terminal, and Ctrl-C (or SIGTERM) stops the
// verification, which then fails.
#include "cli/verify_command.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "burner/platform/call_queue.h"
#include "burner/platform/str_format.h"
#include "cli/compilation_options.h"
#include "cli/format.h"

namespace zamo::cli {
namespace {

constexpr const char* kVerifyUsage =
    "Usage : zamo-cli [--drive N] [--emulate ...] verify [--session N] [options] CHEMIN...\n"
    "relit une session du disque et compare chacun de ses fichiers, octet par octet, au fichier\n"
    "source de même chemin : fichier absent du disque, de taille ou de contenu différents, secteur\n"
    "illisible. Les autres fichiers de la session sont relus sans être comparés.\n"
    "\n"
    "  --session N   la session N (1 = la première) ; la dernière par défaut\n"
    "options de compilation, celles de la gravure (elles disent où sont les fichiers sur le disque) :\n"
    "                --volume NOM  --no-joliet  --boot IMAGE  --paths none|keep|last\n"
    "                --archive-only  --replace  (voir « zamo-cli mkiso --help »)\n"
    "\n"
    "Sur un terminal, une ligne montre la progression ; Ctrl-C interrompt la vérification.\n"
    "Statut de sortie : 0 disque conforme, 1 différence, fichier illisible ou échec, 2 erreur d'utilisation.\n";

struct VerifyOptions {
  CompilationOptions compilation;
  int session = -1;  // the last one
};

// The component whose verification Ctrl-C stops. AbortVerify only stores to
// atomics, which a signal handler may do.
std::atomic<TVeskBurner*> g_verify_target{nullptr};

void OnInterrupt(int) {
  if (TVeskBurner* burner = g_verify_target.load()) burner->AbortVerify();
}

class InterruptGuard {
 public:
  explicit InterruptGuard(TVeskBurner& burner) {
    g_verify_target = &burner;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &old_int_);
    sigaction(SIGTERM, &action, &old_term_);
  }
  ~InterruptGuard() {
    sigaction(SIGINT, &old_int_, nullptr);
    sigaction(SIGTERM, &old_term_, nullptr);
    g_verify_target = nullptr;
  }
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

 private:
  struct sigaction old_int_ {};
  struct sigaction old_term_ {};
};

// "  45 %   123.45 MB / 456.78 MB   85.2 MB/s   reste 0:04"
std::string ProgressLine(const TVeskBurner& burner, double elapsed) {
  const int64_t total = burner.VerifyBytesTotal();
  const int64_t done = burner.VerifyBytesDone();
  const int percent = total > 0 ? static_cast<int>(done * 100 / total) : 0;
  const double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
  std::string line = StrFormat("%3d %%   %s / %s   %.1f MB/s", percent, FormatMb(done).c_str(), FormatMb(total).c_str(),
                               rate / 1048576.0);
  if (rate > 0 && done < total) {
    const auto left = static_cast<long>(static_cast<double>(total - done) / rate + 0.5);
    line += StrFormat("   reste %ld:%02ld", left / 60, left % 60);
  }
  return line;
}

// Starts the verification with `start` and waits for its OnVerifyDone;
// returns its error text ("" when the disc is as it should be).
std::string RunVerifyJob(TVeskBurner& burner, LogOutput& log, const std::function<void()>& start) {
  CallQueue queue;
  burner.Dispatcher = [&queue](std::function<void()> call) { queue.Post(std::move(call)); };
  bool done = false;
  std::string error;
  burner.OnVerifyDone = [&](TObject*, const std::string& e) {
    error = e;
    done = true;
  };
  InterruptGuard interrupt(burner);
  const bool terminal = isatty(STDERR_FILENO) != 0;
  if (terminal) log.SetProgressActive(true);
  const auto started = std::chrono::steady_clock::now();
  start();
  // The thread reports through the queue; a verification that could not
  // start has reported already. Its reads are bounded by the command gate.
  while (!done) {
    queue.RunFor(std::chrono::milliseconds(250));
    if (terminal && !done) {
      const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      log.Progress(ProgressLine(burner, elapsed));
    }
  }
  if (terminal) log.SetProgressActive(false);
  burner.Dispatcher = nullptr;
  burner.OnVerifyDone = nullptr;
  return error;
}

int Finish(TVeskBurner& burner, LogOutput& log, const std::string& error) {
  if (!error.empty()) {
    log.Line(">>> VÉRIFICATION TERMINÉE: - ÉCHEC");
    log.Line(">>> " + error);
    return 1;
  }
  log.Line(">>> " + FormatMb(burner.VerifyBytesDone()) + " VÉRIFIÉS");
  log.Line(">>> VÉRIFICATION TERMINÉE: - SUCCÈS");
  return 0;
}

int UsageError(const std::string& text) {
  std::fprintf(stderr, "zamo-cli verify : %s\n%s", text.c_str(), kVerifyUsage);
  return 2;
}

// Parses the arguments after "verify"; 0 to go on, -1 after --help, else the exit status.
int ParseArgs(int argc, char** argv, VerifyOptions& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    std::string error;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kVerifyUsage, stdout);
      return -1;
    }
    if (arg == "--session" || arg.starts_with("--session=")) {
      std::string value;
      if (arg == "--session") {
        if (i + 1 >= argc) return UsageError("--session demande un numéro");
        value = argv[++i];
      } else {
        value = std::string(arg.substr(10));
      }
      char* end = nullptr;
      const long n = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || n < 1 || n > 65535) return UsageError("numéro de session invalide « " + value + " »");
      options.session = static_cast<int>(n);
    } else if (ParseCompilationOption(argc, argv, i, options.compilation, error)) {
      if (!error.empty()) return UsageError(error);
    } else if (arg == "--") {
      for (++i; i < argc; ++i) options.compilation.sources.emplace_back(argv[i]);
    } else if (arg.starts_with("-") && arg.size() > 1) {
      return UsageError("option inconnue « " + std::string(arg) + " »");
    } else {
      options.compilation.sources.emplace_back(arg);
    }
  }
  if (options.compilation.sources.empty()) return UsageError("aucun fichier ni dossier à comparer");
  return 0;
}

// The disc is ready and holds the session asked for; false with a line.
bool DiscHoldsSession(DriveSession& session, int number) {
  TVeskBurner& b = session.burner();
  if (!b.TestUnitReady(5000)) {
    b.WaitUntilReady(10000, 500);
    if (!b.TestUnitReady(5000)) {
      session.ReportFailure(">>> L'UNITÉ MEDIA/GRAVEUR N'EST PAS PRÊTE ");
      return false;
    }
  }
  const int count = b.GetSessionCount();
  if (count == 0) {
    session.log().Line("Le disque ne contient aucune session.");
    return false;
  }
  if (number > count) {
    session.log().Line(StrFormat("La session %d n'existe pas : le disque en contient %d.", number, count));
    return false;
  }
  return true;
}

}  // namespace

int RunVerify(int argc, char** argv, const DriveOptions& drive) {
  VerifyOptions options;
  if (const int status = ParseArgs(argc, argv, options); status != 0) return status < 0 ? 0 : status;
  RegisterEmulator();
  DriveSession session(drive);
  if (!session.Select(drive.drive)) return 1;
  if (!DiscHoldsSession(session, options.session)) return 1;
  TVeskBurner& b = session.burner();
  LogOutput& log = session.log();

  // The compilation the session was burned from says where each file is on the disc.
  std::string error;
  if (!BuildCompilation(b, options.compilation, log, error)) {
    log.Line(">>> " + error);
    return 1;
  }
  const int left_out = log.LeftOut();
  const std::vector<TVeskBurner::TVerifySource> sources = b.VerifySources();
  if (sources.empty()) {
    log.Line(">>> RIEN À VÉRIFIER: AUCUN FICHIER DANS LA COMPILATION");
    return 1;
  }
  error = RunVerifyJob(b, log, [&] { b.VerifySession(options.session, sources); });
  const int status = Finish(b, log, error);
  if (status == 0 && left_out > 0) {
    log.Line(">>> ATTENTION: " + std::to_string(left_out) + " ÉLÉMENT(S) IGNORÉ(S), NON VÉRIFIÉ(S), VOIR CI-DESSUS");
    return 1;
  }
  return status;
}

int VerifyAfterBurn(DriveSession& session, const std::string& image_file) {
  TVeskBurner& b = session.burner();
  if (b.TestWrite) {
    session.log().Line(">>> VÉRIFICATION IGNORÉE: SIMULATION, RIEN N'A ÉTÉ GRAVÉ");
    return 0;
  }
  const std::string error = RunVerifyJob(b, session.log(), [&] {
    if (image_file.empty()) {
      b.VerifyRecording();
    } else {
      b.VerifyImageFile(image_file);
    }
  });
  return Finish(b, session.log(), error);
}

}  // namespace zamo::cli
