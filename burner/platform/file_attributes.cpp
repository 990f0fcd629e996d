#include "burner/platform/file_attributes.h"

#include <errno.h>
#include <sys/xattr.h>

#include <cstring>

#include "burner/platform/str_format.h"

namespace zamo {
namespace {

std::string ArchiveStamp(const struct stat& st) {
  return StrFormat("%lld.%09ld %lld", static_cast<long long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec,
                   static_cast<long long>(st.st_size));
}

bool XattrUnsupported(int error) { return error == ENOTSUP || error == EOPNOTSUPP; }

}  // namespace

int BasicAttributes(std::string_view name, const struct stat& st) {
  int attr = 0;
  if (S_ISDIR(st.st_mode)) attr |= faDirectory;
  if (!name.empty() && name.front() == '.' && name != "." && name != "..") attr |= faHidden;
  if ((st.st_mode & S_IWUSR) == 0) attr |= faReadOnly;
  return attr;
}

ArchiveState QueryArchiveState(const std::string& path, const struct stat& st) {
  char stored[96];
  const ssize_t length = getxattr(path.c_str(), kArchivedXattr, stored, sizeof(stored) - 1);
  if (length < 0) return XattrUnsupported(errno) ? ArchiveState::kUnsupported : ArchiveState::kChanged;
  stored[length] = '\0';
  return ArchiveStamp(st) == stored ? ArchiveState::kArchived : ArchiveState::kChanged;
}

Status ClearArchiveAttribute(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return Status::IoError(StrFormat("FICHIER INTROUVABLE \"%s\"", path.c_str()));
  const std::string stamp = ArchiveStamp(st);
  if (setxattr(path.c_str(), kArchivedXattr, stamp.data(), stamp.size(), 0) == 0) return Status::Ok();
  if (XattrUnsupported(errno)) return Status::Unsupported("ATTRIBUTS ÉTENDUS NON PRIS EN CHARGE");
  return Status::IoError(StrFormat("IMPOSSIBLE DE MARQUER LE FICHIER \"%s\" COMME ARCHIVÉ (%s)", path.c_str(),
                                   std::strerror(errno)));
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace zamo
