// verify_command.cpp: verifications from the command line. The component's
// events arrive on the main thread through a call queue, a progress line is
// kept up to date on a terminal, and Ctrl-C (or SIGTERM) stops the
// verification, which then fails.
#include "cli/verify_command.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "burner/platform/str_format.h"
#include "cli/compilation_options.h"
#include "cli/file_checks.h"
#include "cli/job_runner.h"

namespace zamo::cli {
namespace {

constexpr const char* kVerifyUsage =
    "Utilisation\u00A0: zamo-cli [--drive N] [--emulate ...] verify [--session N] [options] CHEMIN...\n"
    "        zamo-cli verify [--session N] [options] IMAGE.iso CHEMIN...\n"
    "relit une session du disque et compare chacun de ses fichiers, octet par octet, au fichier\n"
    "source de même chemin\u00A0: fichier absent du disque, de taille ou de contenu différents, secteur\n"
    "illisible. Les autres fichiers de la session sont relus sans être comparés.\n"
    "\n"
    "  --session N   la session N (1 = la première)\u00A0; la dernière par défaut\n"
    "  --image IMAGE.iso, ou IMAGE.iso suivi des CHEMINS\u00A0: compare ce fichier image au lieu du disque\n"
    "                d'un lecteur\n"
    "options de compilation, celles de la gravure (elles disent où sont les fichiers sur le disque)\u00A0:\n"
    "                --volume NOM  --no-joliet  --boot IMAGE  --boot-emulation floppy|hd|none\n"
    "                --boot-load-size N  --boot-info-table\n"
    "                --paths none|keep|last\n"
    "                --archive-only  --replace  --max-entries N  (voir «\u00A0zamo-cli mkiso --help\u00A0»)\n"
    "\n"
    "Sur un terminal, une ligne montre la progression\u00A0; sinon (journal, cron), une ligne toutes\n"
    "les 5 secondes (ZAMO_PROGRESS_INTERVAL). Ctrl-C interrompt la vérification.\n"
    "Statut de sortie\u00A0: 0 disque conforme, 1 différence, fichier illisible ou échec, 2 erreur d'utilisation.\n";

struct VerifyOptions {
  CompilationOptions compilation;
  int session = -1;  // the last one
};

// Starts the verification with `start` and waits for its OnVerifyDone;
// returns its error text ("" when the disc is as it should be). The
// progress is the bytes compared, at the rate of the last seconds.
std::string RunVerifyJob(TVeskBurner& burner, LogOutput& log, const std::function<void()>& start) {
  ProgressMeter meter;
  const auto look = [&burner, &meter](double elapsed) {
    meter.Update(elapsed, burner.VerifyBytesDone(), burner.VerifyBytesTotal());
    ProgressView view;
    view.percent = meter.Percent();
    view.sizes = burner.VerifyBytesTotal() > 0;
    view.done = burner.VerifyBytesDone();
    view.total = burner.VerifyBytesTotal();
    view.rate = meter.Rate();
    view.seconds_left = meter.SecondsLeft();
    return view;
  };
  return RunJob(
      burner, log, &TVeskBurner::OnVerifyDone, [](TVeskBurner& b) { b.AbortVerify(); }, look,
      [] {
        return std::string("Arrêt demandé") + kNbsp + ": fin de la lecture en cours, puis arrêt de la vérification.";
      },
      start);
}

int Finish(TVeskBurner& burner, LogOutput& log, const std::string& error) {
  if (!error.empty()) {
    log.Line(">>> Vérification terminée\u00A0: échec");
    log.Line(">>> " + error);
    return 1;
  }
  log.Line(">>> " + ExactSizeText(burner.VerifyBytesDone()) + " vérifiés");
  log.Line(">>> Vérification terminée\u00A0: succès");
  return 0;
}

int UsageError(const std::string& text) {
  std::fprintf(stderr, "zamo-cli verify\u00A0: %s\n%s", text.c_str(), kVerifyUsage);
  return 2;
}

// Parses the arguments after "verify"; 0 to go on, -1 after --help, else
// the exit status. Where no drive is named, an image file named first and
// followed by the sources is read as the disc (`drive.image`).
int ParseArgs(int argc, char** argv, VerifyOptions& options, DriveOptions& drive) {
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
      if (value.empty() || *end != '\0' || n < 1 || n > 65535) return UsageError("numéro de session invalide " + Quoted(value));
      options.session = static_cast<int>(n);
    } else if (ParseCompilationOption(argc, argv, i, options.compilation, error)) {
      if (!error.empty()) return UsageError(error);
    } else if (arg == "--") {
      for (++i; i < argc; ++i) options.compilation.sources.emplace_back(argv[i]);
    } else if (arg.starts_with("-") && arg.size() > 1) {
      return UsageError("option inconnue " + Quoted(std::string(arg)));
    } else {
      options.compilation.sources.emplace_back(arg);
    }
  }
  std::vector<std::string>& sources = options.compilation.sources;
  const bool drive_named = !drive.drive.empty() || !drive.emulate.empty() || !drive.image.empty();
  if (!drive_named && sources.size() >= 2 && NamesImageFile(sources[0])) {
    drive.image = sources[0];
    sources.erase(sources.begin());
  }
  if (sources.empty()) return UsageError("aucun fichier ni dossier à comparer");
  if (const std::string problem = CompilationOptionsProblem(options.compilation); !problem.empty())
    return UsageError(problem);
  return 0;
}

}  // namespace

int RunVerify(int argc, char** argv, const DriveOptions& drive_options) {
  VerifyOptions options;
  DriveOptions drive = drive_options;
  if (const int status = ParseArgs(argc, argv, options, drive); status != 0) return status < 0 ? 0 : status;
  RegisterEmulator();
  DriveSession session(drive);
  if (!session.Select(drive.drive)) return 1;
  if (!session.DiscHoldsSession(options.session)) return 1;
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
    log.Line(">>> Rien à vérifier\u00A0: aucun fichier dans la compilation.");
    return 1;
  }
  error = RunVerifyJob(b, log, [&] { b.VerifySession(options.session, sources); });
  const int status = Finish(b, log, error);
  if (status == 0 && left_out > 0) {
    log.SayLeftOut(left_out, "non vérifié");
    return 1;
  }
  return status;
}

int VerifyAfterBurn(DriveSession& session, const std::string& image_file) {
  TVeskBurner& b = session.burner();
  if (b.TestWrite) {
    session.log().Line(">>> Pas de vérification\u00A0: simulation, rien n'a été gravé.");
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
