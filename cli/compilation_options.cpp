#include "cli/compilation_options.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string_view>

#include "burner/compilation/names.h"
#include "burner/platform/str_format.h"
#include "burner/platform/text.h"

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

bool BuildCompilation(TVeskBurner& burner, const CompilationOptions& options, LogOutput& log, std::string& error) {
  std::vector<std::string> sources;
  for (const std::string& source : options.sources) {
    const std::string path = AbsolutePath(source);
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
  }

  burner.ClearCompilation(kCliMaxFiles, kCliMaxDirs);
  burner.JolietFileSystem = options.joliet;
  burner.IdVolume = options.volume;
  // The supplementary descriptor's dates come from these two properties.
  burner.DateCreation = burner.DateModification = burner.Clock();
  burner.Bootable = !options.boot_image.empty();
  burner.BootImage = options.boot_image;
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
