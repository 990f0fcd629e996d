#include "cli/compilation_options.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
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
      log.Line(">>> Le fichier image n'est pas enregistré dans lui-même\u00A0: " + Quoted(full_path));
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

// A boot image of `bytes` bytes: a diskette asked for must have a
// diskette's size, a no-emulation image given the information table must
// hold it; the emulation its size gives, when none is asked for, is said,
// and so is a load size that reaches past the image. False with `error` when
// the choice cannot be.
bool SayBootEmulation(const CompilationOptions& options, int64_t bytes, LogOutput& log, std::string& error) {
  static constexpr const char* kDiskettes[] = {"", "une disquette de 1,2\u00A0Mo", "une disquette de 1,44\u00A0Mo",
                                               "une disquette de 2,88\u00A0Mo"};
  const std::string image = Quoted(options.boot_image);
  const int64_t sectors = (bytes + 2047) / 2048;
  switch (options.boot_emulation) {
    case TBootEmulation::kDiskette:
      if (IsDisketteSize(sectors)) return true;
      error = "L'image de démarrage " + image + " n'a la taille d'aucune disquette (1\u00A0228\u00A0800, " +
              "1\u00A0474\u00A0560 ou 2\u00A0949\u00A0120 octets)" + kNbsp + ": --boot-emulation floppy ne peut " +
              "pas s'y appliquer.";
      return false;
    case TBootEmulation::kHardDisk:
      return true;
    case TBootEmulation::kNone: {
      if (options.boot_info_table && bytes < kBootInfoChecksumFrom) {
        error = "L'image de démarrage " + image + " n'a que " + std::to_string(bytes) + " octets" + kNbsp +
                ": la table d'informations de démarrage (--boot-info-table) en occupe les octets 8 à 63.";
        return false;
      }
      // The BIOS reads whole 2048-byte sectors: past the image's last one,
      // it would load whatever the disc holds after it.
      const int load = options.boot_load_size != 0 ? options.boot_load_size : kDefaultBootLoadSize;
      if (load > sectors * 4) {
        log.Line("Image de démarrage " + image + kNbsp + ": le BIOS chargera " + std::to_string(load) +
                 " secteurs de 512\u00A0octets (--boot-load-size), au-delà de ses " + std::to_string(sectors * 4) +
                 ".");
      }
      return true;
    }
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

// A count with its digits in groups of three, French style: "1 060 000".
std::string GroupedCount(long long count) {
  std::string digits = std::to_string(count);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(static_cast<size_t>(at), kNbsp);
  return digits;
}

// What a tree cut at a capacity is told: the entries' capacity can be
// raised, the folders' cannot (path-table records number a parent in 16 bits).
std::string CutTreeText(bool entries, int capacity, bool imported) {
  const std::string what = imported ? "la session importée et l'arborescence donnée en comptent plus"
                                    : "l'arborescence donnée en compte plus";
  if (entries) {
    return "La compilation ne peut contenir que " + GroupedCount(capacity) + " entrées (fichiers et dossiers), " +
           what + kNbsp + ": augmentez la limite avec --max-entries N (jusqu'à " +
           GroupedCount(kCliMaxEntriesLimit) + ").";
  }
  return "La compilation ne peut contenir que " + GroupedCount(capacity) +
         " dossiers, racine comprise (tables des chemins ISO 9660), " + what + kNbsp +
         ": enregistrez-la en plusieurs fois.";
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
    else if (mode == "none") options.boot_emulation = TBootEmulation::kNone;
    else error = "--boot-emulation attend floppy, hd ou none";
    return true;
  }
  if (arg == "--boot-load-size") {
    std::string count;
    value(count);
    if (!error.empty()) return true;
    char* end = nullptr;
    const long n = std::strtol(count.c_str(), &end, 10);
    if (count.empty() || count[0] == '-' || count[0] == '+' || *end != '\0' || n < 1 || n > 65535)
      error = "--boot-load-size attend un nombre de secteurs de 512\u00A0octets, de 1 à 65535";
    else options.boot_load_size = static_cast<uint16_t>(n);
    return true;
  }
  if (arg == "--max-entries") {
    std::string count;
    value(count);
    if (!error.empty()) return true;
    char* end = nullptr;
    const long long n = std::strtoll(count.c_str(), &end, 10);
    if (count.empty() || count[0] == '-' || count[0] == '+' || *end != '\0' || n < 1 || n > kCliMaxEntriesLimit)
      error = "--max-entries attend un nombre d'entrées (fichiers et dossiers), de 1 à " +
              GroupedCount(kCliMaxEntriesLimit);
    else options.max_entries = static_cast<int>(n);
    return true;
  }
  if (arg == "--boot-info-table") return options.boot_info_table = true, true;
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
  // An emulated disk's boot sector is always one sector, and its first
  // bytes are the disk's own: neither option can apply to it.
  for (auto [given, name] : {std::pair{options.boot_load_size != 0, "--boot-load-size"},
                             std::pair{options.boot_info_table, "--boot-info-table"}}) {
    if (given && options.boot_emulation != TBootEmulation::kNone)
      return std::string(name) + " ne s'applique qu'à une image de démarrage sans émulation" + kNbsp +
             ": ajoutez " + (options.boot_image.empty() ? "--boot IMAGE " : "") + "--boot-emulation none";
  }
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
      error = "Fichier ou dossier introuvable\u00A0: " + Quoted(source);
      return false;
    }
    sources.push_back(path);
  }
  if (!options.boot_image.empty()) {
    struct stat st {};
    if (stat(options.boot_image.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) {
      error = "Image de démarrage introuvable ou vide" + std::string(kNbsp) + ": " + Quoted(options.boot_image);
      return false;
    }
    if (!SayBootEmulation(options, st.st_size, log, error)) return false;
  }

  burner.ClearCompilation(options.max_entries, kCliMaxDirs);
  burner.JolietFileSystem = options.joliet;
  burner.IdVolume = options.volume;
  SayVolumeCut(options.volume, options.joliet, log);
  // The supplementary descriptor's dates come from these two properties.
  burner.DateCreation = burner.DateModification = burner.Clock();
  burner.Bootable = !options.boot_image.empty();
  burner.BootImage = options.boot_image;
  burner.BootEmulation = options.boot_emulation;
  burner.BootLoadSize = options.boot_load_size != 0 ? options.boot_load_size : kDefaultBootLoadSize;
  burner.BootInfoTable = options.boot_info_table;
  burner.ReplaceFile = options.replace;
  InstallChecks(burner, log, options.image_path.empty() ? "" : AbsolutePath(options.image_path));

  // As the desktop file list's entries, folders with their subfolders; a
  // file named on the command line is taken whatever its archive attribute.
  std::vector<TCompilationSource> entries;
  for (const std::string& path : sources) entries.push_back({path, /*Recursive=*/true});
  // No job takes a tree it did not take whole: no size, image or session for it.
  error = FillWithinCapacity(burner, false, [&] { AddSources(burner, entries, options.paths, options.archive_only); });
  return error.empty();
}

std::string FillWithinCapacity(TVeskBurner& burner, bool import, const std::function<void()>& fill) {
  // A capacity reached is said by a line of its own (an import's own line
  // when it stops); which one it was is known from the counts when it is
  // said (empty folders removed afterwards could bring them back under it).
  // Entries come first: that limit can be raised.
  bool entries_cut = false, folders_cut = false;
  const TOnDebugMsg handler = burner.OnDebugMessage;
  burner.OnDebugMessage = [&](TObject* sender, const std::string& text, uint8_t type) {
    if (type == kMsgLimit || (import && type == kMsgCompilation)) {
      if (burner.FileCount() >= burner.MaxFiles()) entries_cut = true;
      else if (burner.DirectoryCount() + 1 >= burner.MaxDirs()) folders_cut = true;  // the root counted
    }
    if (handler) handler(sender, text, type);
  };
  fill();
  burner.OnDebugMessage = handler;
  if (!entries_cut && !folders_cut) return {};
  return CutTreeText(entries_cut, entries_cut ? burner.MaxFiles() : burner.MaxDirs(), import);
}

}  // namespace zamo::cli
