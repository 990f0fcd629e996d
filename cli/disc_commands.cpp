// disc_commands.cpp: browsing a session of the disc and extracting from it.
// The session is imported into an empty compilation (as the desktop
// program's disc explorer does) and its entries are listed or copied out.
#include "cli/disc_commands.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "burner/compilation/veskburner.h"
#include "burner/import/import_messages.h"
#include "burner/import/session_reader.h"
#include "burner/platform/file_attributes.h"
#include "burner/platform/str_format.h"
#include "burner/platform/system_error.h"
#include "burner/platform/text.h"
#include "cli/drive_session.h"
#include "cli/file_checks.h"
#include "cli/progress_meter.h"

namespace zamo::cli {
namespace {

constexpr const char* kDiscUsage =
    "Utilisation\u00A0: zamo-cli [--drive N] [--emulate TYPE:IMAGE[,option=valeur...]] ls [--session N] [CHEMIN-DISQUE]\n"
    "        zamo-cli [--drive N] [--emulate TYPE:IMAGE[,option=valeur...]] extract [--session N] [--no-clobber] "
    "CHEMIN-DISQUE DESTINATION\n"
    "        zamo-cli ls [--session N] IMAGE.iso [CHEMIN-DISQUE]\n"
    "        zamo-cli extract [--session N] [--no-clobber] IMAGE.iso CHEMIN-DISQUE DESTINATION\n"
    "  ls       liste les dossiers et fichiers d'une session du disque (taille, date)\u00A0;\n"
    "           CHEMIN-DISQUE («\u00A0/dossier/fichier\u00A0») limite la liste à un dossier ou un fichier\u00A0;\n"
    "           <ENDOMMAGÉ> marque un fichier dont les données dépassent la fin des données\n"
    "           enregistrées (session interrompue, image tronquée)\u00A0: il ne peut pas être extrait.\n"
    "  extract  copie un fichier, ou un dossier et tout son contenu, avec les dates du disque\u00A0:\n"
    "           dans DESTINATION quand c'est un dossier existant, sinon sous le nom DESTINATION\u00A0;\n"
    "           «\u00A0/\u00A0» copie toute la session dans le dossier DESTINATION.\n"
    "  --session N  la session N (1 = la première)\u00A0; la dernière par défaut.\n"
    "  --no-clobber (extract) garde les fichiers qui existent déjà, chacun nommé (statut 1), au lieu\n"
    "               de les remplacer (chaque fichier remplacé est nommé).\n"
    "  --image IMAGE.iso, ou IMAGE.iso en premier argument\u00A0: lit ce fichier image au lieu du disque\n"
    "               d'un lecteur. Après «\u00A0--\u00A0», un argument qui commence par «\u00A0-\u00A0» est un chemin.\n"
    "Statut de sortie\u00A0: 0 succès, 1 disque illisible, élément non lu, endommagé ou non extrait (fichier\n"
    "existant gardé par --no-clobber compris), 2 erreur d'utilisation.\n";

constexpr int kMaxEntries = 600000;  // the application's capacities
constexpr int kMaxDirectories = 20000;

struct DiscArgs {
  int session = -1;  // the last one
  std::string disc_path;  // empty: the session's root
  std::string dest;
  bool no_clobber = false;  // extract: files already at the destination are kept
};

// A folder of the session as the commands see it: its record in the parent
// (null for the root) and its directory.
struct Item {
  const TFEntry* entry = nullptr;
  const TDEntry* dir = nullptr;
  bool IsFolder() const { return dir != nullptr; }
};

// The importer never lets such a name into the tree; checked again because
// the name becomes part of a path on the computer.
bool SafeComponent(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

std::string DateText(TDateTime value) {
  const DateTimeFields f = DecodeDateTime(value);
  return StrFormat("%04d-%02d-%02d %02d:%02d:%02d", f.year, f.month, f.day, f.hour, f.minute, f.second);
}

// Finds a path of the session ("/a/b", "a/b", "/" for the root): each part
// is the name as shown, or the name as the disc compares names (case aside).
// `spelled` receives the path as the disc spells it ("" for the root).
bool Resolve(const TVeskBurner& b, const std::string& path, Item& out, std::string& spelled) {
  out = Item{nullptr, b.RootDir};
  spelled.clear();
  size_t at = 0;
  while (at < path.size()) {
    const size_t slash = path.find('/', at);
    const std::string part = path.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
    at = slash == std::string::npos ? path.size() : slash + 1;
    if (part.empty() || part == ".") continue;
    if (!out.IsFolder()) return false;  // a file has no parts below it
    const TFEntry* found = nullptr;
    for (const TFEntry* e = out.dir->FirstChild; e != nullptr && found == nullptr; e = e->Next) {
      if (DiscName(*e) == part || e->LongName == part) found = e;
    }
    if (found == nullptr) found = b.FindChild(out.dir, part);
    if (found == nullptr) return false;
    out = Item{found, (found->Attr & faDirectory) ? found->Dir : nullptr};
    spelled += "/" + DiscName(*found);
    if ((found->Attr & faDirectory) && found->Dir == nullptr) return false;
  }
  return true;
}

struct Totals {
  int folders = 0;
  int files = 0;
  int damaged = 0;
  int64_t bytes = 0;
};

// A damaged file (its data runs past what the disc holds recorded) is
// listed with its recorded size and a mark after its path.
void PrintEntry(const TFEntry& e, const std::string& path, Totals& totals) {
  const std::string shown = DisplayUtf8(path);
  if (e.Attr & faDirectory) {
    ++totals.folders;
    std::printf("%s  %15s  %s/\n", DateText(e.DateTime).c_str(), "<DOSSIER>", shown.c_str());
  } else {
    ++totals.files;
    totals.bytes += e.IsoSize;
    if (e.Damaged) ++totals.damaged;
    std::printf("%s  %15lld  %s%s\n", DateText(e.DateTime).c_str(), static_cast<long long>(e.IsoSize), shown.c_str(),
                e.Damaged ? "  <ENDOMMAGÉ>" : "");
  }
}

void PrintTree(const TDEntry& dir, const std::string& path, Totals& totals) {
  for (const TFEntry* e = dir.FirstChild; e != nullptr; e = e->Next) {
    const std::string child = path + "/" + DiscName(*e);
    PrintEntry(*e, child, totals);
    if ((e->Attr & faDirectory) && e->Dir != nullptr) PrintTree(*e->Dir, child, totals);
  }
}

// ---- Extraction ---------------------------------------------------------------

class Extractor {
 public:
  Extractor(TVeskBurner& burner, bool no_clobber) : burner_(burner), no_clobber_(no_clobber) {}

  // Copies `item` to `dest`: a file under that name, a folder into the
  // folder of that name (made when missing). A file that fails leaves
  // nothing (ExtractFile sees to it), and a folder this copy made that its
  // failures leave empty is taken away again: what a failed extraction
  // leaves behind is only what was extracted whole.
  void Copy(const Item& item, const std::string& dest) {
    if (!item.IsFolder()) {
      ++files_;
      CopyFile(*item.entry, dest);
      return;
    }
    bool made = false;
    if (!MakeFolder(dest, made)) return;
    const int failures_before = failures_;
    for (const TFEntry* e = item.dir->FirstChild; e != nullptr; e = e->Next) {
      const std::string name = DiscName(*e);
      if (!SafeComponent(name)) {
        Fail("Nom refusé sur le disque\u00A0: " + Quoted(name));
        continue;
      }
      const bool folder = (e->Attr & faDirectory) != 0;
      if (folder && e->Dir == nullptr) continue;
      Copy(Item{e, folder ? e->Dir : nullptr}, dest + "/" + name);
    }
    // rmdir takes only an empty folder: one holding what did come out stays.
    if (made && failures_ > failures_before && rmdir(dest.c_str()) == 0) return;
    // The folder's date goes last: adding its files changed it.
    if (item.entry != nullptr) SetDate(dest, item.entry->DateTime);
  }

  int files() const { return files_; }
  int failures() const { return failures_; }
  int kept() const { return kept_; }

 private:
  // A file already at `dest` is replaced, and named; with --no-clobber it
  // is kept instead, named too.
  void CopyFile(const TFEntry& entry, const std::string& dest) {
    struct stat st {};
    const bool exists = lstat(dest.c_str(), &st) == 0;
    if (exists && no_clobber_) {
      ++kept_;
      std::fprintf(stderr, "Fichier existant conservé%s: %s\n", kNbsp, Quoted(dest).c_str());
      return;
    }
    if (!burner_.ExtractFile(&entry, dest)) {
      ++failures_;
      return;
    }
    if (exists) std::fprintf(stderr, "Fichier existant remplacé%s: %s\n", kNbsp, Quoted(dest).c_str());
  }

  // Creates the folder (`made`), or takes the one already there (never a
  // link to elsewhere).
  bool MakeFolder(const std::string& path, bool& made) {
    struct stat st {};
    made = mkdir(path.c_str(), 0777) == 0;
    if (made) return true;
    const int error = errno;
    if (error == EEXIST && lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
    Fail(StrFormat("Impossible de créer le dossier %s (%s)", Quoted(path).c_str(),
                   error == EEXIST ? "un fichier ou un lien porte ce nom" : SystemErrorText(error).c_str()));
    return false;
  }

  void SetDate(const std::string& path, TDateTime date) {
    time_t seconds = 0;
    if (!DateTimeToUnix(date, seconds)) return;
    const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    if (utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
      Fail(StrFormat("Impossible de dater le dossier %s (%s)", Quoted(path).c_str(),
                     SystemErrorText(errno).c_str()));
  }

  void Fail(const std::string& text) {
    ++failures_;
    std::fprintf(stderr, "%s\n", text.c_str());
  }

  TVeskBurner& burner_;
  const bool no_clobber_;
  int files_ = 0;
  int failures_ = 0;
  int kept_ = 0;
};

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int Usage(const char* command, const std::string& problem) {
  std::fprintf(stderr, "zamo-cli %s\u00A0: %s\n%s", command, problem.c_str(), kDiscUsage);
  return 2;
}

// Parses the arguments after the command name; returns 0 to go on, else the
// exit status. An image file named first, where no drive is named, is read
// as the disc (`drive.image`).
int ParseArgs(int argc, char** argv, bool extract, DiscArgs& args, DriveOptions& drive) {
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--") {
      positional.insert(positional.end(), argv + i + 1, argv + argc);
      break;
    }
    if (extract && arg == "--no-clobber") {
      args.no_clobber = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      std::fputs(kDiscUsage, stdout);
      return -1;
    }
    if (arg == "--session" || arg.starts_with("--session=")) {
      std::string value;
      if (arg == "--session") {
        if (i + 1 >= argc) return Usage(argv[0], "--session demande un numéro");
        value = argv[++i];
      } else {
        value = std::string(arg.substr(10));
      }
      char* end = nullptr;
      const long n = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || n < 1 || n > 65535)
        return Usage(argv[0], "numéro de session invalide " + Quoted(value));
      args.session = static_cast<int>(n);
      continue;
    }
    // A disc path never starts with "-" but after "--": "ls -l" is an option this command does not know.
    if (arg.starts_with("-") && arg.size() > 1) return Usage(argv[0], "option inconnue " + Quoted(std::string(arg)));
    positional.emplace_back(arg);
  }
  const size_t wanted = extract ? 2 : 1;
  const bool drive_named = !drive.drive.empty() || !drive.emulate.empty() || !drive.image.empty();
  if (!drive_named && !positional.empty() && positional.size() <= wanted + 1 &&
      (!extract || positional.size() == wanted + 1) && NamesImageFile(positional[0])) {
    drive.image = positional[0];
    positional.erase(positional.begin());
  }
  if (positional.size() > wanted || (extract && positional.size() < wanted))
    return Usage(argv[0], extract ? "il faut un CHEMIN-DISQUE et une DESTINATION" : "un seul CHEMIN-DISQUE");
  args.disc_path = positional.empty() ? std::string(1, '/') : positional[0];
  if (extract) args.dest = positional[1];
  return 0;
}

// Imports the session asked for; false (with a line) when it cannot.
bool ImportSession(DriveSession& session, const DiscArgs& args) {
  TVeskBurner& b = session.burner();
  if (!session.DiscHoldsSession(args.session)) return false;
  b.ClearCompilation(kMaxEntries, kMaxDirectories);
  return b.ImportSessionTree(args.session, nullptr);
}

int List(DriveSession& session, const DiscArgs& args) {
  TVeskBurner& b = session.burner();
  Item item;
  std::string path;
  if (!Resolve(b, args.disc_path, item, path)) {
    session.log().Line("Chemin introuvable sur le disque\u00A0: " + Quoted(args.disc_path));
    return 1;
  }
  std::printf("Session %d (arborescence %s)\n", b.ImportedSession, b.ImportedJoliet ? "Joliet" : "ISO 9660");
  Totals totals;
  if (item.entry != nullptr) PrintEntry(*item.entry, path, totals);
  if (item.IsFolder()) PrintTree(*item.dir, path, totals);
  std::printf("%d dossier(s), %d fichier(s), %s\n", totals.folders, totals.files, ExactSizeText(totals.bytes).c_str());
  if (totals.damaged > 0) {
    session.log().Line(StrFormat("%d fichier(s) endommagé(s)\u00A0: leurs données dépassent la fin des données "
                                 "enregistrées sur le disque, ils ne peuvent pas être extraits.",
                                 totals.damaged));
    return 1;
  }
  return session.log().LeftOut() > 0 ? 1 : 0;
}

// `damaged_lines`: of the import's lines counted as left out, those that
// name a damaged file. Such a file is in the tree, and refused (a failure)
// only when it is among what is extracted.
int Extract(DriveSession& session, const DiscArgs& args, int damaged_lines) {
  TVeskBurner& b = session.burner();
  Item item;
  std::string spelled;
  if (!Resolve(b, args.disc_path, item, spelled)) {
    session.log().Line("Chemin introuvable sur le disque\u00A0: " + Quoted(args.disc_path));
    return 1;
  }
  std::string dest = args.dest;
  // An existing folder given as "out/" takes the copy as "out/name": the
  // paths named in the messages have no doubled slash.
  if (IsDirectory(dest)) {
    while (dest.size() > 1 && dest.back() == '/') dest.pop_back();
    if (item.entry != nullptr) dest += (dest == "/" ? "" : "/") + DiscName(*item.entry);
  }
  Extractor extractor(b, args.no_clobber);
  extractor.Copy(item, dest);
  if (extractor.failures() > 0) {
    session.log().Line(StrFormat("Extraction incomplète\u00A0: %d erreur(s).", extractor.failures()));
    return 1;
  }
  if (extractor.kept() > 0) {
    session.log().Line(StrFormat("Extraction incomplète%s: %d fichier(s) existant(s) conservé(s) (--no-clobber).",
                                 kNbsp, extractor.kept()));
    return 1;
  }
  if (session.log().LeftOut() > damaged_lines) {
    session.log().Line("Extraction incomplète\u00A0: des éléments de la session n'ont pas pu être lus.");
    return 1;
  }
  return 0;
}

}  // namespace

int RunDiscCommand(int argc, char** argv, const DriveOptions& options) {
  const bool extract = std::string_view(argv[0]) == "extract";
  DiscArgs args;
  DriveOptions drive = options;
  if (const int status = ParseArgs(argc, argv, extract, args, drive); status != 0) return status < 0 ? 0 : status;
  // A destination that is not a folder is made, or written, in its folder: checked before the disc is read.
  if (extract && !IsDirectory(args.dest)) {
    if (const std::string problem = OutputFolderProblem(args.dest); !problem.empty()) {
      std::fprintf(stderr, "%s\n", problem.c_str());
      return 1;
    }
  }
  RegisterEmulator();
  // Counts the import's lines about damaged files on their way to the log
  // (declared before the session, which may still log while it goes away).
  int damaged_lines = 0;
  const std::string damaged_prefix =
      ">>> " + std::string(msg::kImportDamaged).substr(0, std::string_view(msg::kImportDamaged).find('"'));
  DriveSession session(drive);
  TVeskBurner& b = session.burner();
  b.OnDebugMessage = [log = b.OnDebugMessage, &damaged_lines, &damaged_prefix](TObject* sender,
                                                                               const std::string& message,
                                                                               uint8_t type) {
    if (type == kMsgCompilation && message.starts_with(damaged_prefix)) ++damaged_lines;
    log(sender, message, type);
  };
  if (!session.Select(drive.drive)) return 1;
  if (!ImportSession(session, args)) return 1;
  return extract ? Extract(session, args, damaged_lines) : List(session, args);
}

}  // namespace zamo::cli
