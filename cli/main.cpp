// zamo-cli: the command line front end over the burning component.
#include <signal.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "cli/burn_command.h"
#include "cli/disc_commands.h"
#include "cli/drive_commands.h"
#include "cli/erase_command.h"
#include "cli/mkiso_command.h"
#include "cli/verify_command.h"

namespace {

constexpr const char* kUsage =
    "Usage : zamo-cli [--drive N] [--emulate TYPE:IMAGE[,option=valeur...]] [--verbose] COMMANDE ...\n"
    "  mkiso -o IMAGE.iso [options] CHEMIN...   enregistre la compilation dans un fichier image\n"
    "  mkiso --print-size [options] CHEMIN...   affiche le nombre de secteurs de l'image\n"
    "  devices | caps | info                    lecteurs, capacités du graveur, état du disque\n"
    "  load | eject | ready                     tiroir et disponibilité de l'unité\n"
    "  burn [options] CHEMIN...                 grave une nouvelle session sur le disque\n"
    "  burn-image IMAGE.iso                     grave un fichier image tel quel\n"
    "  erase [--full]                           efface le disque réinscriptible (rapide ou complet)\n"
    "  ls [--session N] [CHEMIN-DISQUE]         liste les fichiers d'une session du disque\n"
    "  extract [--session N] CHEMIN-DISQUE DEST copie un fichier ou un dossier du disque\n"
    "  verify [--session N] [options] CHEMIN... compare une session du disque aux fichiers sources\n"
    "Voir « zamo-cli mkiso --help », « zamo-cli devices --help » et « zamo-cli ls --help ».\n"
    "Statut de sortie : 0 succès, 1 échec du travail, 2 erreur d'utilisation.\n";

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  // A write past a file-size limit then fails with an error the job reports
  // (and the partial image is removed) instead of killing the program.
  signal(SIGXFSZ, SIG_IGN);
  bool verbose = false;
  zamo::cli::DriveOptions drive;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--verbose" || arg == "-v") {
      verbose = true;
    } else if (arg == "--drive" || arg == "--emulate") {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "zamo-cli : l'option %s attend une valeur\n%s", argv[i], kUsage);
        return 2;
      }
      (arg == "--drive" ? drive.drive : drive.emulate) = argv[++i];
    } else if (arg.starts_with("--drive=")) {
      drive.drive = std::string(arg.substr(8));
    } else if (arg.starts_with("--emulate=")) {
      drive.emulate = std::string(arg.substr(10));
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      break;
    }
  }
  if (i >= argc) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string_view command = argv[i];
  if (command == "mkiso") return zamo::cli::RunMkiso(argc - i, argv + i, verbose);
  if (command == "burn" || command == "burn-image") {
    drive.verbose = verbose;
    return zamo::cli::RunBurn(argc - i, argv + i, drive);
  }
  if (command == "ls" || command == "extract") {
    drive.verbose = verbose;
    return zamo::cli::RunDiscCommand(argc - i, argv + i, drive);
  }
  if (command == "verify") {
    drive.verbose = verbose;
    return zamo::cli::RunVerify(argc - i, argv + i, drive);
  }
  if (command == "erase") {
    drive.verbose = verbose;
    return zamo::cli::RunErase(argc - i, argv + i, drive);
  }
  if (command == "devices" || command == "caps" || command == "info" || command == "load" || command == "eject" ||
      command == "ready") {
    drive.verbose = verbose;
    return zamo::cli::RunDriveCommand(argc - i, argv + i, drive);
  }
  std::fprintf(stderr, "zamo-cli : commande inconnue « %s »\n%s", argv[i], kUsage);
  return 2;
}
