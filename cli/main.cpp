// zamo-cli: the command line front end over the burning component.
#include <signal.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "burner/compilation/veskburner.h"
#include "cli/burn_command.h"
#include "cli/disc_commands.h"
#include "cli/drive_commands.h"
#include "cli/erase_command.h"
#include "cli/file_checks.h"
#include "cli/mkiso_command.h"
#include "cli/verify_command.h"

namespace {

constexpr const char* kUsage =
    "Utilisation\u00A0: zamo-cli [--drive N] [--emulate TYPE:IMAGE[,option=valeur...]] [--image IMAGE.iso] [--verbose] "
    "COMMANDE ...\n"
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
    "  help [COMMANDE]                          cette aide, ou celle d'une commande\n"
    "--image IMAGE.iso lit un fichier image comme le disque d'un lecteur en lecture seule (ls, extract,\n"
    "verify, info). «\u00A0zamo-cli ls IMAGE.iso\u00A0» et «\u00A0zamo-cli --drive IMAGE.iso ls\u00A0» font de même.\n"
    "Les options --drive, --emulate, --image et --verbose se placent avant ou après la commande.\n"
    "Voir «\u00A0zamo-cli help COMMANDE\u00A0», et «\u00A0zamo-cli --version\u00A0» pour la version.\n"
    "Statut de sortie\u00A0: 0 succès, 1 échec du travail, 2 erreur d'utilisation.\n";

// The options of the commands that take a value: the word after one of them
// is that value, never a global option (a volume named "-v" stays a name).
constexpr std::string_view kValueOptions[] = {"-o",       "--volume",         "--boot",           "--paths",
                                              "--speed",  "--cache-size",     "--import-session", "--session",
                                              "--boot-emulation", "--boot-load-size", "--max-entries"};

// The commands that write (a disc or an image file): --image, which reads an
// image as a pressed disc, does not apply to them.
constexpr std::string_view kWritingCommands[] = {"mkiso", "burn", "burn-image", "erase"};

bool IsOneOf(std::string_view arg, const auto& list) {
  for (std::string_view item : list) {
    if (arg == item) return true;
  }
  return false;
}

int UsageError(const std::string& text) {
  std::fprintf(stderr, "zamo-cli%s: %s\n%s", zamo::cli::kNbsp, text.c_str(), kUsage);
  return 2;
}

// Takes the global option at argv[i] (moving i past its value) into
// `drive`: 1 when it was one, 0 when it is not, 2 after a usage error.
int TakeGlobalOption(int argc, char** argv, int& i, zamo::cli::DriveOptions& drive) {
  const std::string_view arg = argv[i];
  if (arg == "--verbose" || arg == "-v") {
    drive.verbose = true;
    return 1;
  }
  for (auto [name, field] : {std::pair{std::string_view("--drive"), &drive.drive},
                             std::pair{std::string_view("--emulate"), &drive.emulate},
                             std::pair{std::string_view("--image"), &drive.image}}) {
    if (arg == name) {
      if (i + 1 >= argc) return UsageError("l'option " + std::string(name) + " attend une valeur");
      *field = argv[++i];
      return 1;
    }
    if (arg.starts_with(name) && arg.size() > name.size() && arg[name.size()] == '=') {
      *field = std::string(arg.substr(name.size() + 1));
      return 1;
    }
  }
  return 0;
}

// Where the drive comes from, once every global option is known: a plain
// image file given as the drive is read as --image; --image stands alone and
// only for the commands that read. 0, or 2 after a usage error.
int SettleDrive(std::string_view command, zamo::cli::DriveOptions& drive) {
  if (drive.image.empty() && zamo::cli::NamesImageFile(drive.drive)) {
    drive.image = drive.drive;
    drive.drive.clear();
  }
  if (drive.image.empty()) return 0;
  if (!drive.emulate.empty() || !drive.drive.empty())
    return UsageError("--image lit un fichier image à la place d'un lecteur" + std::string(zamo::cli::kNbsp) +
                      ": il ne se combine ni avec --drive ni avec --emulate");
  if (IsOneOf(command, kWritingCommands))
    return UsageError("--image lit un fichier image comme un disque, sans rien y écrire" +
                      std::string(zamo::cli::kNbsp) + ": il ne s'applique pas à " +
                      zamo::cli::Quoted(std::string(command)) + " (une image s'écrit avec " +
                      zamo::cli::Quoted("zamo-cli mkiso -o IMAGE.iso") + ")");
  return 0;
}

// Runs `command` with its arguments (args[0] is the command); -1 when there
// is no such command.
int Dispatch(std::vector<char*>& args, zamo::cli::DriveOptions& drive) {
  const std::string_view command = args[0];
  const int argc = static_cast<int>(args.size()) - 1;  // the last one is the terminating null
  char** argv = args.data();
  if (command == "mkiso") return zamo::cli::RunMkiso(argc, argv, drive.verbose);
  if (command == "burn" || command == "burn-image") return zamo::cli::RunBurn(argc, argv, drive);
  if (command == "ls" || command == "extract") return zamo::cli::RunDiscCommand(argc, argv, drive);
  if (command == "verify") return zamo::cli::RunVerify(argc, argv, drive);
  if (command == "erase") return zamo::cli::RunErase(argc, argv, drive);
  if (command == "devices" || command == "caps" || command == "info" || command == "load" || command == "eject" ||
      command == "ready")
    return zamo::cli::RunDriveCommand(argc, argv, drive);
  return -1;
}

// zamo-cli help [COMMAND]: the general usage, or the command's own help.
int Help(std::vector<char*>& args, zamo::cli::DriveOptions& drive) {
  if (args.size() == 2 || std::string_view(args[1]) == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (args.size() > 3) return UsageError("help attend au plus une commande");
  std::string help_option = "--help";
  std::vector<char*> command = {args[1], help_option.data(), nullptr};
  const int status = Dispatch(command, drive);
  if (status < 0) return UsageError("commande inconnue " + zamo::cli::Quoted(args[1]));
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  // A write past a file-size limit then fails with an error the job reports
  // (and the partial image is removed) instead of killing the program.
  signal(SIGXFSZ, SIG_IGN);
  // The process ends with the command: freeing the compilation record by
  // record first would only make it end later.
  zamo::TVeskBurner::LeaveTreesToProcessEnd();
  zamo::cli::DriveOptions drive;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("zamo-cli %s\n", ZAMO_VERSION);
      return 0;
    }
    const int taken = TakeGlobalOption(argc, argv, i, drive);
    if (taken == 2) return 2;
    if (taken == 0) break;
  }
  if (i >= argc) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  // The command's own arguments: the global options among them are taken
  // out, except after "--" and as the value of one of the command's options.
  std::vector<char*> args = {argv[i]};
  for (int j = i + 1; j < argc; ++j) {
    const std::string_view arg = argv[j];
    if (arg == "--") {
      args.insert(args.end(), argv + j, argv + argc);
      break;
    }
    if (IsOneOf(arg, kValueOptions) && j + 1 < argc) {
      args.push_back(argv[j]);
      args.push_back(argv[++j]);
      continue;
    }
    const int taken = TakeGlobalOption(argc, argv, j, drive);
    if (taken == 2) return 2;
    if (taken == 0) args.push_back(argv[j]);
  }
  args.push_back(nullptr);
  const std::string_view command = args[0];
  if (command == "help") return Help(args, drive);
  if (const int status = SettleDrive(command, drive); status != 0) return status;
  const int status = Dispatch(args, drive);
  if (status >= 0) return status;
  std::fprintf(stderr, "zamo-cli\u00A0: commande inconnue %s\n%s", zamo::cli::Quoted(argv[i]).c_str(), kUsage);
  return 2;
}
