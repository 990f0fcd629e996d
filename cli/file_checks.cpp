#include "cli/file_checks.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "burner/platform/str_format.h"
#include "burner/platform/text.h"

namespace zamo::cli {
namespace {

constexpr int64_t kSectorBytes = 2048;

// Why a file could not be reached, in the sentence case of these messages.
std::string Reason(int error) {
  switch (error) {
    case EACCES:
    case EPERM: return "accès refusé";
    case EIO: return "erreur d'entrée-sortie";
    case ENAMETOOLONG: return "nom trop long";
    case ELOOP: return "trop de liens symboliques";
    default: return StrFormat("erreur système %d", error);
  }
}

std::string Nbsp(const char* text) { return std::string(kNbsp) + text; }

}  // namespace

std::string Quoted(const std::string& text) { return "«" + std::string(kNbsp) + DisplayUtf8(text) + kNbsp + "»"; }

std::string ImageFileProblem(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    const int error = errno;
    if (error == ENOENT || error == ENOTDIR) return "Le fichier image " + Quoted(path) + " n'existe pas.";
    return "Le fichier image " + Quoted(path) + " est inaccessible (" + Reason(error) + ").";
  }
  if (S_ISDIR(st.st_mode)) return Quoted(path) + " est un dossier, pas un fichier image.";
  if (!S_ISREG(st.st_mode)) return Quoted(path) + " n'est pas un fichier image (ce n'est pas un fichier ordinaire).";
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "Le fichier image " + Quoted(path) + " ne peut pas être lu (" + Reason(errno) + ").";
  close(fd);
  return {};
}

std::string ImageDiscProblem(const std::string& path) {
  std::string problem = ImageFileProblem(path);
  if (!problem.empty()) return problem;
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && st.st_size < kSectorBytes)
    return Quoted(path) + " n'est pas une image de disque" + Nbsp(": ") + "il fait moins de 2048 octets.";
  return {};
}

std::string OutputFolderProblem(const std::string& path) {
  const std::filesystem::path file(path);
  const std::string folder = file.parent_path().empty() ? std::string(".") : file.parent_path().string();
  const std::string what = Quoted(file.filename().string()) + " ne peut pas y être créé.";
  struct stat st {};
  if (stat(folder.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return {};
    return Quoted(folder) + " n'est pas un dossier" + Nbsp(": ") + what;
  }
  const int error = errno;
  if (error == ENOENT) return "Le dossier " + Quoted(folder) + " n'existe pas" + Nbsp(": ") + what;
  // A file where one of the folders of the path should be.
  if (error == ENOTDIR) return Quoted(folder) + " n'est pas un dossier" + Nbsp(": ") + what;
  return "Le dossier " + Quoted(folder) + " est inaccessible (" + Reason(error) + ")" + Nbsp(": ") + what;
}

bool NamesImageFile(const std::string& argument) {
  if (argument.size() <= 4) return false;
  std::string suffix = argument.substr(argument.size() - 4);
  for (char& c : suffix) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  struct stat st {};
  return suffix == ".iso" && stat(argument.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace zamo::cli
