#include "app/add_checks.h"

#include <fcntl.h>
#include <unistd.h>

#include <utility>

#include "burner/platform/str_format.h"
#include "burner/platform/text.h"

namespace zamo {
namespace {

// Whether the file opens for reading. Linux refuses no second opener, so
// this fails only for a file that went away or that this user may not read
// since the component listed it. O_NONBLOCK: a FIFO put in its place must
// not hold the thread.
bool OpensForReading(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  close(fd);
  return true;
}

}  // namespace

TAddChecks::TAddChecks(TVeskBurner& burner, LogFunction log, SizeTextFunction size_text)
    : burner_(burner), log_(std::move(log)), size_text_(std::move(size_text)) {}

void TAddChecks::Connect() {
  burner_.OnAddFile = [this](TObject*, const std::string& full_path, std::string& long_file_name, std::string&,
                             TDateTime&, int, int64_t, bool& skip) {
    veskbAddFile(full_path, long_file_name, skip);
  };
  burner_.OnAddDir = [this](TObject*, std::string& long_name, std::string&, bool& skip) {
    veskbAddDirName(long_name, skip);
  };
}

std::string TAddChecks::FileInUseLine(const std::string& full_path) {
  return ">>> ABANDON; LE FICHIER EST DÉJÀ UTILISÉ  " + DisplayUtf8(full_path);
}

std::string TAddChecks::FileNameTooLongLine(const std::string& full_path) {
  return ">>> ABANDON; NOM FICHIER > " + std::to_string(kMaxFileName) + " " + DisplayUtf8(full_path);
}

std::string TAddChecks::FolderNameTooLongLine() {
  return StrFormat(">>> ** NOM DE FICHIER INVALIDE (LA LONGUEUR NE DOIT PAS DÉPASSER %zu)", kMaxFolderName);
}

std::string TAddChecks::FolderNameLine(const std::string& long_name) { return "     " + DisplayUtf8(long_name); }

void TAddChecks::veskbAddFile(const std::string& full_path, const std::string& long_file_name, bool& skip) {
  if (!full_path.empty() && !OpensForReading(full_path)) {
    if (log_) log_(FileInUseLine(full_path));
    skip = true;
  }
  if (Utf16Length(long_file_name) > kMaxFileName) {
    if (log_) log_(FileNameTooLongLine(full_path));
    skip = true;
  }
  // The file is not in CompilationBytes yet: the label shows the total so far.
  if (!skip && size_text_) size_text_(FormatMb(burner_.CompilationBytes));
}

void TAddChecks::veskbAddDirName(const std::string& long_name, bool& skip) {
  if (Utf16Length(long_name) <= kMaxFolderName) return;
  if (log_) {
    log_(FolderNameTooLongLine());
    log_(FolderNameLine(long_name));
  }
  skip = true;
}

}  // namespace zamo
