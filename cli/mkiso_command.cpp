#include "cli/mkiso_command.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "burner/platform/str_format.h"
#include "burner/compilation/el_torito.h"
#include "burner/platform/text.h"
#include "cli/compilation_options.h"
#include "cli/file_checks.h"
#include "cli/job_runner.h"
#include "cli/progress_meter.h"
#include "cli/repeat_backup.h"

namespace zamo::cli {
namespace {

constexpr const char* kUsage =
    "Utilisation\u00A0: zamo-cli mkiso -o IMAGE.iso [options] CHEMIN...\n"
    "        zamo-cli mkiso --print-size [options] CHEMIN...\n"
    "Enregistre les fichiers et dossiers donnés dans une image ISO 9660 (avec Joliet).\n"
    "Les dossiers sont pris avec leurs sous-dossiers\u00A0; les dossiers vides ne sont pas enregistrés.\n"
    "\n"
    "  -o IMAGE.iso          fichier image à écrire (remplacé s'il existe)\u00A0; -o - l'écrit sur la\n"
    "                        sortie standard, un tube nommé est écrit tel quel (le résumé va alors\n"
    "                        sur la sortie d'erreur)\n"
    "  --print-size          affiche seulement le nombre de secteurs de 2048 octets de l'image\n"
    "  --volume NOM          nom du volume (32 caractères ISO 9660, 16 caractères Joliet\u00A0; un nom\n"
    "                        plus long est raccourci, et le journal dit ce qui en est gardé)\n"
    "  --no-joliet           sans les noms longs Joliet\n"
    "  --boot IMAGE          disque amorçable El Torito avec cette image\n"
    "  --boot-emulation floppy|hd|none  l'image de démarrage vue comme une disquette, un disque dur,\n"
    "                        ou sans émulation\u00A0: un programme que le BIOS charge en 07C0:0000\n"
    "                        (sans l'option\u00A0: d'après sa taille, annoncée dans le journal\u00A0;\n"
    "                        1,2, 1,44 ou 2,88\u00A0Mo pour une disquette)\n"
    "  --boot-load-size N    sans émulation\u00A0: nombre de secteurs de 512\u00A0octets que le BIOS charge\n"
    "                        (1 à 65535, défaut 4)\n"
    "  --boot-info-table     sans émulation\u00A0: écrit la table d'informations de démarrage (secteur\n"
    "                        du descripteur primaire, secteur, taille et somme de contrôle de l'image)\n"
    "                        sur les octets 8 à 63 de l'image de démarrage copiée sur le disque (le\n"
    "                        fichier source n'est pas modifié)\n"
    "  --paths none|keep|last  chemins des sources\u00A0: aucun (défaut), complets, ou dernier dossier seul\n"
    "  --archive-only        seulement les fichiers modifiés depuis la dernière sauvegarde,\n"
    "                        puis les marque comme sauvegardés (aucun fichier modifié\u00A0: succès,\n"
    "                        aucune image n'est écrite)\n"
    "  --replace             un fichier de même nom remplace le précédent au lieu d'être ignoré\n"
    "  --max-entries N       nombre d'entrées (fichiers et dossiers) que la compilation peut contenir\n"
    "                        (défaut 600000, jusqu'à 100000000)\u00A0; une arborescence qui en compte\n"
    "                        plus est refusée, et aucune taille ni image n'est donnée\n"
    "  --quick               copie directe en une passe, sans cache de lecture anticipée\n"
    "  --cache-size MIO      taille du cache de lecture anticipée, en Mio (défaut 4, minimum 2)\n"
    "\n"
    "Sur un terminal, une ligne montre la progression\u00A0; sinon (journal, cron), une ligne toutes\n"
    "les 5 secondes (ZAMO_PROGRESS_INTERVAL=SECONDES pour un autre intervalle, 0 pour aucune).\n"
    "Ctrl-C interrompt proprement (le fichier image partiel est supprimé). Avec SOURCE_DATE_EPOCH,\n"
    "les dates de l'image (hors dates des fichiers) sont celles de cet instant\u00A0: images reproductibles.\n"
    "\n"
    "Ni les tubes nommés, ni les sockets, ni les fichiers de périphérique, ni les liens symboliques\n"
    "brisés ne sont enregistrés\u00A0: le journal nomme chacun.\n"
    "\n"
    "Statut de sortie\u00A0: 0 succès\u00A0; 1 échec, ou image écrite mais des éléments ont été ignorés\u00A0;\n"
    "2 erreur d'utilisation.\n";

// SOURCE_DATE_EPOCH (seconds since 1970) stands for the clock in the dates
// the image takes from it: the same tree then gives the same bytes.
void ApplySourceDateEpoch(TVeskBurner& burner) {
  const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
  if (epoch == nullptr || *epoch == '\0') return;
  char* end = nullptr;
  const long long seconds = std::strtoll(epoch, &end, 10);
  TDateTime value = 0;
  if (*end != '\0' || !DateTimeFromUnix(static_cast<time_t>(seconds), 0, value)) return;
  burner.Clock = [value] { return value; };
}

int UsageError(const std::string& text) {
  std::fprintf(stderr, "zamo-cli mkiso\u00A0: %s\n%s", text.c_str(), kUsage);
  return 2;
}

// The standard output as an image's name: -o - writes the image there.
constexpr const char* kStandardOutput = "/dev/stdout";

// True when `path` is the file or pipe the standard output goes to: the
// image then takes it, and the summary goes to stderr.
bool IsStandardOutput(const std::string& path) {
  struct stat out {}, named {};
  return fstat(STDOUT_FILENO, &out) == 0 && stat(path.c_str(), &named) == 0 && out.st_dev == named.st_dev &&
         out.st_ino == named.st_ino;
}

void PrintSummary(std::FILE* to, const TVeskBurner& b, const std::string& image, int64_t image_sectors) {
  auto range = [](int64_t first, int64_t count) {
    return count <= 1 ? std::to_string(first) : std::to_string(first) + "-" + std::to_string(first + count - 1);
  };
  const int64_t descriptors = 2 + (b.Bootable ? 1 : 0) + (b.JolietFileSystem ? 1 : 0);
  std::fprintf(to, "Image ISO 9660%s\u00A0: %s\n", b.JolietFileSystem ? " + Joliet" : "", Quoted(image).c_str());
  std::fprintf(to, "  Volume                \u00A0: %s\n", Quoted(b.IdVolume).c_str());
  std::fprintf(to, "  Dossiers / entrées    \u00A0: %d / %d\n", b.DirectoryCount(), b.FileCount());
  std::fprintf(to, "  Descripteurs de volume\u00A0: secteurs %s\n", range(16, descriptors).c_str());
  std::fprintf(to, "  Tables des chemins    \u00A0: ISO %d et %d (%d octets)", b.IsoPathTableL, b.IsoPathTableM,
              b.IsoPathTableSize);
  if (b.JolietFileSystem)
    std::fprintf(to, ", Joliet %d et %d (%d octets)", b.JolietPathTableL, b.JolietPathTableM, b.JolietPathTableSize);
  std::fprintf(to, "\n  Répertoires           \u00A0: ISO %s", range(b.IsoDirBase, b.IsoDirBytes / 2048).c_str());
  if (b.JolietFileSystem) std::fprintf(to, ", Joliet %s", range(b.JolietDirBase, b.JolietDirBytes / 2048).c_str());
  std::fprintf(to, "\n");
  if (b.Bootable) {
    static constexpr const char* kMedia[] = {"sans émulation", "disquette 1,2 Mo", "disquette 1,44 Mo",
                                             "disquette 2,88 Mo", "disque dur"};
    std::string media = kMedia[BootMediaType(b.BootSectors, b.BootEmulation)];
    if (b.BootEmulation == TBootEmulation::kNone) {
      media += ", " + std::to_string(b.BootLoadSize) + " secteurs de 512 octets chargés";
      if (!b.BootInfo.empty()) media += ", table d'informations de démarrage";
    }
    std::fprintf(to, "  El Torito              : catalogue %d, image %s (%s)\n", b.BootCatalogLba,
                range(b.BootImageLba, b.BootSectors).c_str(), media.c_str());
  }
  std::fprintf(to, "  Données des fichiers  \u00A0: à partir du secteur %d (%lld secteur%s)\n", b.FirstFileLba,
              static_cast<long long>(b.FileSectors), b.FileSectors > 1 ? "s" : "");
  std::fprintf(to, "  Taille de l'image     \u00A0: %lld secteurs (%s)\n", static_cast<long long>(image_sectors),
              ExactSizeText(image_sectors * 2048).c_str());
}

}  // namespace

int RunMkiso(int argc, char** argv, bool verbose) {
  CompilationOptions options;
  std::string output;
  bool print_size = false;
  bool quick = false;
  int cache_mib = 4;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    std::string error;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "-o") {
      if (i + 1 >= argc) return UsageError("l'option -o attend un nom de fichier");
      output = argv[++i];
      if (output == "-") {
        // An image is no text: a terminal does not take one.
        if (isatty(STDOUT_FILENO))
          return UsageError("-o - écrit l'image sur la sortie standard, qui est ici un terminal");
        output = kStandardOutput;
      }
    } else if (arg == "--print-size") {
      print_size = true;
    } else if (arg == "--quick") {
      quick = true;
    } else if (arg == "--cache-size") {
      if (i + 1 >= argc) return UsageError("l'option --cache-size attend un nombre de Mio");
      char* end = nullptr;
      const long value = std::strtol(argv[++i], &end, 10);
      if (end == argv[i] || *end != '\0' || value < 2 || value > 2047)
        return UsageError("--cache-size attend un nombre de Mio entre 2 et 2047");
      cache_mib = static_cast<int>(value);
    } else if (ParseCompilationOption(argc, argv, i, options, error)) {
      if (!error.empty()) return UsageError(error);
    } else if (arg == "--") {
      for (++i; i < argc; ++i) options.sources.emplace_back(argv[i]);
    } else if (arg.starts_with("-") && arg.size() > 1) {
      return UsageError("option inconnue " + Quoted(std::string(arg)));
    } else {
      options.sources.emplace_back(arg);
    }
  }
  if (options.sources.empty()) return UsageError("aucun fichier ni dossier à enregistrer");
  if (const std::string problem = CompilationOptionsProblem(options); !problem.empty()) return UsageError(problem);
  if (output.empty() && !print_size) return UsageError("indiquez le fichier image avec -o, ou --print-size");

  if (!print_size) options.image_path = output;
  // The image's folder is checked before the sources are read: a missing
  // folder is named as such, not taken for a missing file.
  if (!print_size) {
    if (const std::string problem = OutputFolderProblem(output); !problem.empty()) {
      std::fprintf(stderr, "%s\n", problem.c_str());
      return 1;
    }
  }
  TVeskBurner burner(nullptr);
  LogOutput log(burner, verbose);
  burner.SetCacheSize(cache_mib * 1048576);
  ApplySourceDateEpoch(burner);
  std::string error;
  if (!BuildCompilation(burner, options, log, error)) {
    log.Line(">>> " + error);
    return 1;
  }
  if (options.archive_only && burner.DirectoryCount() == 0 && burner.FileCount() == 0) {
    if (print_size) std::printf("0\n");
    return NothingChanged(log, "aucune image n'est écrite");
  }
  if (burner.DirectoryCount() == 0 && burner.FileCount() == 0) {
    log.Line(">>> Rien à enregistrer\u00A0: aucun fichier dans la compilation.");
    return 1;
  }
  if (print_size) {
    burner.CalculateLayout(true, nullptr);
    // The pipeline pads a small image to 300 sectors; the quick save does not.
    std::printf("%lld\n", static_cast<long long>(quick ? burner.SessionSectors : burner.ImageSectors()));
    return 0;
  }

  // The image's reader may go before its end (`zamo-cli mkiso -o - ... |
  // head`): the write then fails with EPIPE and the job says so, instead of
  // the program being killed without a word.
  signal(SIGPIPE, SIG_IGN);
  // With the image on stdout, nothing else may go there.
  std::FILE* summary = IsStandardOutput(output) ? stderr : stdout;
  log.Line(">>> AJOUT DES FICHIERS À .ISO OK.");
  log.Line(">>> DÉBUT DE LA CRÉATION DU FICHIER .ISO");
  const std::string write_error =
      RunWriteJob(burner, log, WriteTarget::kImageFile, [&] { burner.SaveImageFile(output, quick); });
  if (!write_error.empty()) {
    log.Line(">>> ÉCRITURE: - ÉCHEC");
    log.Line(">>> " + write_error);
    return 1;
  }
  log.Line(">>> Taille du fichier " + output + ": " + ExactSizeText(quick ? burner.SessionSectors * 2048 : burner.BytesWritten()));
  log.Line(">>> ÉCRITURE TERMINÉE: - SUCCÈS");
  if (options.archive_only) burner.ClearArchiveBits();
  PrintSummary(summary, burner, output, quick ? burner.SessionSectors : burner.BytesWritten() / 2048);
  if (log.LeftOut() > 0) {
    log.SayLeftOut(log.LeftOut());
    return 1;
  }
  return 0;
}

}  // namespace zamo::cli
