#include "cli/compilation_options.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string_view>

#include "burner/compilation/el_torito.h"
#include "burner/compilation/names.h"
#include "burner/drive/messages.h"
#include "burner/platform/str_format.h"
#include "burner/platform/text.h"
#include "cli/file_checks.h"

namespace zamo::cli {
namespace {

std::string AbsolutePath(const std::string& path) {
  std::error_code ec;
  std::filesystem::path p = std::filesystem::absolute(path, ec);
  if (ec) return path;
  std::string text = p.lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

// The checks made while a compilation is built: the image itself is never
// taken in, and a file whose name cannot be recorded is left out with a line
// that says so (the component reports unreadable files itself).
void InstallChecks(TVeskBurner& burner, LogOutput& log, const std::string& image_path) {
  burner.OnAddFile = [&log, image_path](TObject*, const std::string& full_path, std::string&, std::string&,
                                        TDateTime&, int, int64_t, bool& skip) {
    if (!image_path.empty() && full_path == image_path) {
      log.Line(">>> LE FICHIER IMAGE N'EST PAS ENREGISTRÉ DANS LUI-MÊME  " + full_path);
      skip = true;
      return;
    }
    // Skip comes set only for a name too long for a Joliet record.
    if (skip) {
      log.Line(StrFormat(">>> ABANDON; NOM FICHIER > %d ", static_cast<int>(kMaxFileLongName)) + full_path);
      log.CountLeftOut();
      skip = true;
    }
  };
}

// The volume descriptors' fields hold 32 bytes of Windows-1252, upper-cased
// (ISO 9660), and 16 UTF-16 units (Joliet): a longer name is cut to them,
// and the log says what each one keeps.
void SayVolumeCut(const std::string& volume, bool joliet, LogOutput& log) {
  constexpr size_t kIsoBytes = 32, kJolietUnits = 16;
  const std::string iso = ToCp1252(AsciiUpper(volume));
  const std::u16string units = DecodeName(volume);
  std::vector<std::string> kept;
  if (iso.size() > kIsoBytes)
    kept.push_back(Quoted(FromCp1252(iso.substr(0, kIsoBytes))) + " en ISO 9660 (32 caractères)");
  if (joliet && units.size() > kJolietUnits)
    kept.push_back(Quoted(Utf16ToUtf8(units.substr(0, kJolietUnits))) + " en Joliet (16 caractères)");
  if (kept.empty()) return;
  std::string line =
      "Nom de volume " + Quoted(volume) + " trop long pour le disque, raccourci" + kNbsp + ": " + kept[0];
  if (kept.size() > 1) line += " et " + kept[1];
  log.Line(line + ".");
}

// A boot image of `sectors` sectors of 2048 bytes: a diskette asked for must
// have a diskette's size; the emulation its size gives, when none is asked
// for, is said. False with `error` when the choice cannot be.
bool SayBootEmulation(const CompilationOptions& options, int64_t sectors, LogOutput& log, std::string& error) {
  static constexpr const char* kDiskettes[] = {"", "une disquette de 1,2\u00A0Mo", "une disquette de 1,44\u00A0Mo",
                                               "une disquette de 2,88\u00A0Mo"};
  const std::string image = Quoted(options.boot_image);
  switch (options.boot_emulation) {
    case TBootEmulation::kDiskette:
      if (IsDisketteSize(sectors)) return true;
      error = "L'image de démarrage " + image + " n'a la taille d'aucune disquette (1\u00A0228\u00A0800, " +
              "1\u00A0474\u00A0560 ou 2\u00A0949\u00A0120 octets)" + kNbsp + ": --boot-emulation floppy ne peut " +
              "pas s'y appliquer.";
      return false;
    case TBootEmulation::kHardDisk:
      return true;
    case TBootEmulation::kBySize:
      break;
  }
  const uint8_t media = BootMediaType(sectors);
  if (media == 4) {
    log.Line("Image de démarrage " + image + " vue comme un disque dur, d'après sa taille, qui n'est pas celle " +
             "d'une disquette.");
  } else {
    log.Line("Image de démarrage " + image + " vue comme " + kDiskettes[media] + ", d'après sa taille" + kNbsp +
             "; --boot-emulation hd pour un disque dur.");
  }
  return true;
}

}  // namespace

bool ParseCompilationOption(int argc, char** argv, int& i, CompilationOptions& options, std::string& error) {
  const std::string_view arg = argv[i];
  auto value = [&](std::string& out) {
    if (i + 1 >= argc) {
      error = "l'option " + std::string(arg) + " attend une valeur";
      return true;
    }
    out = argv[++i];
    return true;
  };
  if (arg == "--volume") return value(options.volume);
  if (arg == "--boot") return value(options.boot_image);
  if (arg == "--boot-emulation") {
    std::string mode;
    value(mode);
    if (!error.empty()) return true;
    if (mode == "floppy") options.boot_emulation = TBootEmulation::kDiskette;
    else if (mode == "hd") options.boot_emulation = TBootEmulation::kHardDisk;
    else if (mode == "none") error = "--boot-emulation none (sans émulation) n'est pas encore pris en charge" +
                                     std::string(kNbsp) + ": floppy ou hd";
    else error = "--boot-emulation attend floppy ou hd";
    return true;
  }
  if (arg == "--no-joliet") return options.joliet = false, true;
  if (arg == "--archive-only") return options.archive_only = true, true;
  if (arg == "--replace") return options.replace = true, true;
  if (arg == "--paths") {
    std::string mode;
    value(mode);
    if (!error.empty()) return true;
    if (mode == "none") options.paths = PathMode::kNone;
    else if (mode == "keep") options.paths = PathMode::kKeep;
    else if (mode == "last") options.paths = PathMode::kLastFolder;
    else error = "--paths attend none, keep ou last";
    return true;
  }
  return false;
}

std::string CompilationOptionsProblem(const CompilationOptions& options) {
  if (options.boot_emulation != TBootEmulation::kBySize && options.boot_image.empty())
    return "--boot-emulation choisit l'émulation de l'image de démarrage donnée par --boot" + std::string(kNbsp) +
           ": il n'y en a pas";
  return {};
}

bool BuildCompilation(TVeskBurner& burner, const CompilationOptions& options, LogOutput& log, std::string& error) {
  std::vector<std::string> sources;
  for (const std::string& source : options.sources) {
    const std::string path = AbsolutePath(source);
    TSkippedEntry special;
    if (DescribeSkipped(path, special)) {
      // A pipe, a socket, a device or a broken link named on the command line.
      log.Line(">>> " + StrFormat(msg::kNotAFileOrFolder, DisplayUtf8(path).c_str(), SkippedKindText(special).c_str()));
      log.CountLeftOut();
      continue;
    }
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode))) {
      error = StrFormat("FICHIER OU DOSSIER INTROUVABLE \"%s\"", DisplayUtf8(source).c_str());
      return false;
    }
    sources.push_back(path);
  }
  if (!options.boot_image.empty()) {
    struct stat st {};
    if (stat(options.boot_image.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) {
      error = StrFormat("IMAGE DE DÉMARRAGE INTROUVABLE OU VIDE \"%s\"", DisplayUtf8(options.boot_image).c_str());
      return false;
    }
    if (!SayBootEmulation(options, (st.st_size + 2047) / 2048, log, error)) return false;
  }

  burner.ClearCompilation(kCliMaxFiles, kCliMaxDirs);
  burner.JolietFileSystem = options.joliet;
  burner.IdVolume = options.volume;
  SayVolumeCut(options.volume, options.joliet, log);
  // The supplementary descriptor's dates come from these two properties.
  burner.DateCreation = burner.DateModification = burner.Clock();
  burner.Bootable = !options.boot_image.empty();
  burner.BootImage = options.boot_image;
  burner.BootEmulation = options.boot_emulation;
  burner.ReplaceFile = options.replace;
  InstallChecks(burner, log, options.image_path.empty() ? "" : AbsolutePath(options.image_path));

  // As the desktop file list's entries, folders with their subfolders; a
  // file named on the command line is taken whatever its archive attribute.
  std::vector<TCompilationSource> entries;
  for (const std::string& path : sources) entries.push_back({path, /*Recursive=*/true});
  AddSources(burner, entries, options.paths, options.archive_only);
  return true;
}

}  // namespace zamo::cli
