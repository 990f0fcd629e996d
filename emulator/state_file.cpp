// state_file.cpp: reading, stamping and replacing the emulator's text files.
#include "emulator/state_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "burner/platform/system_error.h"

namespace zamo::emu {
namespace {

std::string Describe(const std::string& what, const std::string& path) {
  return what + " «\u00A0" + path + "\u00A0»\u00A0: " + SystemErrorText(errno);
}

TFileStamp StampFrom(const struct stat& info) {
  TFileStamp stamp;
  stamp.exists = true;
  stamp.device = static_cast<uint64_t>(info.st_dev);
  stamp.inode = static_cast<uint64_t>(info.st_ino);
  stamp.size = static_cast<int64_t>(info.st_size);
  stamp.modified_ns = static_cast<int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec;
  return stamp;
}

bool WriteAll(int fd, std::string_view text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<size_t>(put);
  }
  return true;
}

}  // namespace

TFileStamp StampOf(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return {};
  return StampFrom(info);
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  char chunk[4096];
  for (;;) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (got == 0) break;
    text.append(chunk, static_cast<size_t>(got));
  }
  ::close(fd);
  return text;
}

bool ReplaceFile(const std::string& path, std::string_view text, mode_t mode, TFileStamp* stamp, std::string* error) {
  // A name of its own for each writer: with one shared temporary name, two
  // processes saving at once could rename each other's half-written file.
  std::string temporary = path + ".XXXXXX";
  std::vector<char> name(temporary.begin(), temporary.end());
  name.push_back('\0');
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) {
    *error = Describe("impossible d'écrire", temporary);
    return false;
  }
  temporary = name.data();
  struct stat info {};
  const bool written = ::fchmod(fd, mode) == 0 && WriteAll(fd, text) && ::fstat(fd, &info) == 0;
  if (!written) {
    *error = Describe("impossible d'écrire", temporary);
    ::close(fd);
    ::unlink(temporary.c_str());
    return false;
  }
  if (::close(fd) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
    *error = Describe("impossible de remplacer", path);
    ::unlink(temporary.c_str());
    return false;
  }
  // A rename keeps the inode and the modification time, so the temporary
  // file's stamp is the new version's (a stat after the rename could already
  // see a third writer's file).
  if (stamp) *stamp = StampFrom(info);
  return true;
}

bool MakeParentFolders(const std::string& path, std::string* error) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    const std::string folder = path.substr(0, slash);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
      *error = Describe("impossible de créer le dossier", folder);
      return false;
    }
  }
  return true;
}

bool RemoveFile(const std::string& path, std::string* error) {
  if (::unlink(path.c_str()) == 0 || errno == ENOENT) return true;
  *error = Describe("impossible de supprimer", path);
  return false;
}

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    const size_t begin = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
    if (i > begin) words.push_back(line.substr(begin, i - begin));
  }
  return words;
}

}  // namespace zamo::emu
