#include "cli/burn_command.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "burner/platform/str_format.h"
#include "burner/platform/text.h"
#include "cli/compilation_options.h"
#include "cli/drive_session.h"
#include "cli/file_checks.h"
#include "cli/job_runner.h"
#include "cli/repeat_backup.h"
#include "cli/verify_command.h"

namespace zamo::cli {
namespace {

constexpr const char* kBurnUsage =
    "Utilisation\u00A0: zamo-cli [--drive N] [--emulate ...] burn [options] CHEMIN...\n"
    "        zamo-cli [--drive N] [--emulate ...] burn-image [options] IMAGE.iso\n"
    "burn grave les fichiers et dossiers donnés (ISO 9660 + Joliet) dans une nouvelle session du\n"
    "disque\u00A0; burn-image grave un fichier image tel quel, à partir du début du disque.\n"
    "\n"
    "  --speed V             vitesse\u00A0: «\u00A016x\u00A0», ou en Ko/s («\u00A02822\u00A0»), "
    "ou «\u00A0max\u00A0» (défaut)\n"
    "  --test                simulation\u00A0: le graveur fait tout sans écrire\n"
    "  --close               ferme le disque\u00A0: aucune session ne pourra être ajoutée\n"
    "  --import-session N    session précédente dont les fichiers restent visibles\u00A0:\n"
    "                        «\u00A0last\u00A0» (défaut quand le disque en a une), un numéro, ou 0 pour aucune\n"
    "                        (une session que le disque n'a pas est refusée, rien n'est gravé)\n"
    "  --eject               éjecte le disque après une gravure réussie\n"
    "  --verify              relit ce qui a été gravé et le compare aux fichiers sources, ou à l'image\n"
    "  --cache-size MIO      cache de lecture anticipée, en Mio (défaut 4)\n"
    "options de compilation (burn)\u00A0: --volume NOM  --no-joliet  --boot IMAGE  --boot-emulation floppy|hd|none\n"
    "                                --boot-load-size N  --boot-info-table\n"
    "                                --paths none|keep|last  --archive-only  --replace  --max-entries N\n"
    "                                (voir «\u00A0zamo-cli mkiso --help\u00A0»)\n"
    "Sans --volume, la nouvelle session garde le nom de volume de la session importée. Avec\n"
    "--archive-only, n'avoir aucun fichier modifié depuis la dernière sauvegarde est un succès\u00A0:\n"
    "rien n'est gravé.\n"
    "\n"
    "Progression\u00A0: sur un terminal, une ligne tenue à jour (débit du graveur, tampon du graveur,\n"
    "cache, temps restant, puis ce que fait le graveur une fois les données envoyées)\u00A0; sinon\n"
    "(journal, cron), une ligne toutes les 5 secondes (ZAMO_PROGRESS_INTERVAL=SECONDES pour un autre\n"
    "intervalle, 0 pour aucune). Ctrl-C interrompt proprement et dit ce qu'il attend.\n"
    "Statut de sortie\u00A0: 0 succès, 1 échec, 2 erreur d'utilisation.\n";

int UsageError(const char* command, const std::string& text) {
  std::fprintf(stderr, "zamo-cli %s\u00A0: %s\n%s", command, text.c_str(), kBurnUsage);
  return 2;
}

struct BurnOptions {
  CompilationOptions compilation;
  std::string speed = "max";
  bool test = false;
  bool close = false;
  int import_session = -1;  // -1: the last one when the disc has sessions
  bool eject = false;
  bool verify = false;  // the session read back and compared once recorded
  int cache_mib = 4;
};

// KB/s for the speed option on this kind of disc; false when it is not one.
bool SpeedKbs(const std::string& text, TDiscKind kind, uint16_t& kbs) {
  if (text == "max") {
    kbs = 0;
    return true;
  }
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || value <= 0) return false;
  double result = value;
  if (*end == 'x' || *end == 'X') {
    ++end;
    result = value * (IsCdKind(kind) ? 176.4 : 1385.0);
  }
  if (*end != '\0' || result > 65534) return false;
  kbs = static_cast<uint16_t>(result + 0.5);
  return true;
}

int Finish(DriveSession& session, const BurnOptions& options, const std::string& error, int64_t bytes,
           const std::string& image_file = "") {
  LogOutput& log = session.log();
  if (!error.empty()) {
    log.Line(">>> Gravure\u00A0: échec");
    log.Line(">>> " + error);
    return 1;
  }
  log.Line(">>> " + ExactSizeText(bytes) + (options.test ? " simulés" : " gravés"));
  log.Line(">>> Gravure terminée\u00A0: succès");
  if (options.verify && VerifyAfterBurn(session, image_file) != 0) return 1;
  if (options.eject && !session.burner().LoadEject(true)) log.Line(">>> MÉDIA ÉJECTÉ: - ÉCHEC.");
  return 0;
}

}  // namespace

int RunBurn(int argc, char** argv, const DriveOptions& drive) {
  const std::string command = argv[0];
  const bool image = command == "burn-image";
  BurnOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    std::string error;
    auto value = [&](const char* what) -> const char* {
      if (i + 1 >= argc) return nullptr;
      (void)what;
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kBurnUsage, stdout);
      return 0;
    } else if (arg == "--speed") {
      const char* v = value("speed");
      if (v == nullptr) return UsageError(argv[0], "l'option --speed attend une vitesse");
      options.speed = v;
    } else if (arg == "--test") {
      options.test = true;
    } else if (arg == "--close") {
      options.close = true;
    } else if (arg == "--eject") {
      options.eject = true;
    } else if (arg == "--verify") {
      options.verify = true;
    } else if (arg == "--import-session") {
      const char* v = value("session");
      if (v == nullptr) return UsageError(argv[0], "l'option --import-session attend un numéro ou «\u00A0last\u00A0»");
      if (std::string_view(v) == "last") {
        options.import_session = -1;
      } else {
        char* end = nullptr;
        const long n = std::strtol(v, &end, 10);
        if (end == v || *end != '\0' || n < 0 || n > 65534)
          return UsageError(argv[0], "--import-session attend un numéro de session, «\u00A0last\u00A0» ou 0");
        options.import_session = static_cast<int>(n);
      }
    } else if (arg == "--cache-size") {
      const char* v = value("size");
      char* end = nullptr;
      const long n = v ? std::strtol(v, &end, 10) : 0;
      if (v == nullptr || end == v || *end != '\0' || n < 2 || n > 2047)
        return UsageError(argv[0], "--cache-size attend un nombre de Mio entre 2 et 2047");
      options.cache_mib = static_cast<int>(n);
    } else if (!image && ParseCompilationOption(argc, argv, i, options.compilation, error)) {
      if (!error.empty()) return UsageError(argv[0], error);
    } else if (arg == "--") {
      for (++i; i < argc; ++i) options.compilation.sources.emplace_back(argv[i]);
    } else if (arg.starts_with("-") && arg.size() > 1) {
      return UsageError(argv[0], "option inconnue " + Quoted(std::string(arg)));
    } else {
      options.compilation.sources.emplace_back(arg);
    }
  }
  if (options.compilation.sources.empty())
    return UsageError(argv[0], image ? "indiquez le fichier image à graver" : "aucun fichier ni dossier à graver");
  if (image && options.compilation.sources.size() != 1) return UsageError(argv[0], "un seul fichier image à la fois");
  if (const std::string problem = CompilationOptionsProblem(options.compilation); !problem.empty())
    return UsageError(argv[0], problem);
  // A missing image file is said as such before any drive is opened.
  if (image) {
    if (const std::string problem = ImageFileProblem(options.compilation.sources[0]); !problem.empty()) {
      std::fprintf(stderr, "%s\n", problem.c_str());
      return 1;
    }
  }

  RegisterEmulator();
  DriveSession session(drive);
  if (!session.Select(drive.drive)) return 1;
  TVeskBurner& b = session.burner();
  LogOutput& log = session.log();
  b.SetCacheSize(options.cache_mib * 1048576);

  TVeskBurner::TBurnPlan plan;
  if (!b.CheckBurnDisc(plan)) {
    log.Line(">>> " + plan.Refusal);
    return 1;
  }
  uint16_t kbs = 0;
  if (!SpeedKbs(options.speed, plan.Kind, kbs))
    return UsageError(argv[0], "vitesse non comprise " + Quoted(options.speed));
  b.ReadSpeed = 0;
  b.SetWriteSpeed(kbs);
  b.TestWrite = options.test;
  b.FinalizeDisc = options.close;
  b.KeepImageHead = options.verify;  // the verification compares the disc with it

  if (image) {
    const std::string& file = options.compilation.sources[0];
    log.Line(">>> Début de la gravure de l'image " + Quoted(file));
    const std::string error = RunWriteJob(b, log, WriteTarget::kDisc, [&] { b.RecordImageFile(file); });
    return Finish(session, options, error, b.BytesWritten(), file);
  }

  // A session to keep that the disc does not have is refused, as ls refuses it.
  if (options.import_session > 0) {
    const int count = plan.HoldsFiles ? b.GetSessionCount() : 0;
    if (options.import_session > count) {
      log.Line(MissingSessionText(options.import_session, count) + " Rien n'est gravé.");
      return 1;
    }
  }
  std::string error;
  if (!BuildCompilation(b, options.compilation, log, error)) {
    log.Line(">>> " + error);
    return 1;
  }
  if (options.compilation.archive_only && b.DirectoryCount() == 0 && b.FileCount() == 0)
    return NothingChanged(log, "rien n'est gravé");
  const std::vector<TopEntry> written = CompilationTopLevel(b);
  bool planned = false;
  // The session kept is read into the compilation: cut at its capacity, the
  // new session would lose the files it did not take.
  error = FillWithinCapacity(b, true, [&] { planned = b.PlanBurn(plan, options.import_session); });
  if (!planned) {
    log.Line(">>> " + plan.Refusal);
    return 1;
  }
  if (!error.empty()) {
    log.Line(">>> " + error + " Rien n'est gravé.");
    return 1;
  }
  AfterImport(b, log, written, !options.compilation.volume.empty(), options.compilation.archive_only);
  log.Line(">>> Début de la gravure\u00A0: " + ExactSizeText(plan.Sectors * 2048) + " sur " + DiscKindName(plan.Kind));
  const std::string write_error = RunWriteJob(b, log, WriteTarget::kDisc, [&] { b.RecordCompilation(); });
  const int status = Finish(session, options, write_error, b.BytesWritten());
  if (status == 0 && options.compilation.archive_only && !options.test) b.ClearArchiveBits();
  if (status == 0 && log.LeftOut() > 0) {
    log.SayLeftOut(log.LeftOut());
    return 1;
  }
  return status;
}

}  // namespace zamo::cli
