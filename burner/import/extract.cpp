// extract.cpp: copying a file of a disc session to a file on the computer.
//
// The data goes to a temporary file beside the destination, which replaces
// the destination only once every byte was read and written: a sector that
// cannot be read, a write that fails or a full disk leave no partial file
// behind and never pass for a success. A file the import found damaged (its
// data runs past what the disc holds recorded) is refused before anything
// is created.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "burner/compilation/veskburner.h"
#include "burner/import/import_messages.h"
#include "burner/import/session_reader.h"
#include "burner/platform/file_attributes.h"
#include "burner/platform/str_format.h"
#include "burner/platform/system_error.h"
#include "burner/platform/text.h"

namespace zamo {
namespace {

// At most 31 sectors a READ (10): a transfer stays below 64 KiB.
constexpr uint32_t kChunkSectors = 31;
constexpr uint32_t kChunkBytes = kChunkSectors * kSectorSize;  // 63,488

// Creates a temporary file in the folder of `dest` (mode 0666 less the
// umask, like the file it stands for), under a short name of its own so that
// a destination name near the length limit still gets one; -1 with errno set
// when it cannot.
int CreateTemporaryBeside(const std::string& dest, std::string& temp_name) {
  static std::atomic<unsigned> counter{0};
  const size_t slash = dest.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : dest.substr(0, slash + 1);
  for (int attempt = 0; attempt < 100; ++attempt) {
    temp_name = folder + StrFormat(".zamo-extraction-%ld-%u", static_cast<long>(getpid()), counter++);
    const int fd = open(temp_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

// Writes all of `data`; false with errno set on failure.
bool WriteAll(int fd, const uint8_t* data, size_t length) {
  while (length > 0) {
    const ssize_t n = write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool TVeskBurner::ExtractFile(const TFEntry* Entry, const std::string& DestFile) {
  ExtractError.clear();
  auto fail = [this](std::string text) {
    ExtractError = std::move(text);
    DebugMessage(">>> " + ExtractError, kMsgStatus);
    return false;
  };
  // Only an entry read from a disc has its data there, at an absolute sector.
  if (Entry == nullptr || (Entry->Attr & faDirectory) != 0 || !Entry->Imported)
    return fail(StrFormat(msg::kExtractNotOnDisc, Entry ? DisplayUtf8(DiscName(*Entry)).c_str() : ""));
  const std::string name = DisplayUtf8(DiscName(*Entry));
  // Its data runs past what the disc holds recorded: reading it would fail
  // half-way, or give what the drive padded the session with.
  if (Entry->Damaged) return fail(StrFormat(msg::kExtractDamaged, name.c_str()));
  const std::string shown_dest = DisplayUtf8(DestFile);
  DebugMessage(">>> " + StrFormat(msg::kExtractFiles, name.c_str(), shown_dest.c_str()), kMsgInfo);

  std::string temp_name;
  const int fd = CreateTemporaryBeside(DestFile, temp_name);
  if (fd < 0) return fail(StrFormat(msg::kExtractCannotCreate, shown_dest.c_str(), SystemErrorText(errno).c_str()));
  auto discard = [&](std::string text) {
    close(fd);
    unlink(temp_name.c_str());
    return fail(std::move(text));
  };

  std::vector<uint8_t> buffer(kChunkBytes, 0);
  auto lba = static_cast<uint32_t>(Entry->IsoExtent);
  // A file of 4 GiB or more lies in extents that follow one another on the
  // disc (the import took only such a file): one run of sectors all the same.
  auto remaining = static_cast<uint64_t>(std::max<int64_t>(Entry->IsoSize, 0));
  while (remaining > 0) {
    const auto bytes = static_cast<uint32_t>(std::min<uint64_t>(remaining, kChunkBytes));
    const auto sectors = static_cast<uint16_t>(SectorsFor(bytes));
    if (!Read10(lba, sectors, buffer.data(), uint32_t{sectors} * kSectorSize)) {
      // Name the first sector that does not read, one at a time.
      uint32_t bad = lba;
      std::string drive_text = LastError;
      for (uint16_t i = 0; i < sectors; ++i, ++bad) {
        if (!Read10(lba + i, 1, buffer.data(), kSectorSize)) {
          drive_text = LastError;
          break;
        }
      }
      if (bad == lba + sectors) bad = lba;  // the single reads all passed: name the chunk
      return discard(StrFormat(msg::kExtractReadError, name.c_str(), bad, drive_text.c_str()));
    }
    if (!WriteAll(fd, buffer.data(), bytes))
      return discard(StrFormat(msg::kExtractWriteError, shown_dest.c_str(), SystemErrorText(errno).c_str()));
    lba += sectors;
    remaining -= bytes;
  }
  // The recorded date goes on the temporary file, so the destination
  // appears complete with it or not at all.
  time_t seconds = 0;
  if (!DateTimeToUnix(Entry->DateTime, seconds))
    return discard(StrFormat(msg::kExtractDateError, shown_dest.c_str(), SystemErrorText(EINVAL).c_str()));
  const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
  if (futimens(fd, times) != 0)
    return discard(StrFormat(msg::kExtractDateError, shown_dest.c_str(), SystemErrorText(errno).c_str()));
  if (close(fd) != 0) {
    const int error = errno;
    unlink(temp_name.c_str());
    return fail(StrFormat(msg::kExtractWriteError, shown_dest.c_str(), SystemErrorText(error).c_str()));
  }
  if (rename(temp_name.c_str(), DestFile.c_str()) != 0) {
    const int error = errno;
    unlink(temp_name.c_str());
    return fail(StrFormat(msg::kExtractCannotCreate, shown_dest.c_str(), SystemErrorText(error).c_str()));
  }
  return true;
}

}  // namespace zamo
