// disc_store.cpp: the image and state files of an emulated disc.
#include "emulator/disc_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "burner/platform/system_error.h"

namespace zamo::emu {
namespace {

// A path named in a message, in the French quotes of zamo's texts.
std::string Quoted(const std::string& path) { return "«\u00A0" + path + "\u00A0»"; }

std::string Describe(const std::string& what, const std::string& path) {
  return what + " " + Quoted(path) + "\u00A0: " + SystemErrorText(errno);
}

}  // namespace

TDiscStore::TDiscStore(std::string image_path, bool pressed, bool read_only, TDiscState state)
    : image_path_(std::move(image_path)),
      state_path_(image_path_ + ".state"),
      pressed_(pressed),
      read_only_(read_only),
      initial_state_(std::move(state)) {
  if (pressed_) {
    canonical_image_ = CanonicalImagePath(image_path_);
    tray_path_ = PressedTrayPath(canonical_image_);
  } else {
    tray_path_ = state_path_;
  }
}

TDiscStore::~TDiscStore() {
  if (fd_ >= 0) ::close(fd_);
}

std::unique_ptr<TDiscStore> TDiscStore::Open(const TDriveConfig& config, std::string* error) {
  const TMediaTraits& traits = Traits(config.kind);
  struct stat image_stat {};
  const bool image_exists = ::stat(config.image_path.c_str(), &image_stat) == 0;
  if (image_exists && !S_ISREG(image_stat.st_mode)) {
    *error = Quoted(config.image_path) + " n'est pas un fichier ordinaire";
    return nullptr;
  }

  if (traits.read_only) {
    if (!image_exists) {
      *error = "l'image " + Quoted(config.image_path) + " du disque " + std::string(traits.name) + " n'existe pas";
      return nullptr;
    }
    // The disc holds the file's whole blocks: a partial last block (a file
    // cut short) is no block of the disc, so it is never read padded.
    const uint64_t blocks = static_cast<uint64_t>(image_stat.st_size) / kBlockSize;
    if (blocks == 0 || blocks > UINT32_MAX / 2) {
      *error = "l'image " + Quoted(config.image_path) + " ne contient aucun secteur entier de 2048 octets ou est trop "
               "grande pour un disque";
      return nullptr;
    }
    auto store = std::unique_ptr<TDiscStore>(new TDiscStore(
        config.image_path, true, true, TDiscState::Pressed(config.kind, static_cast<uint32_t>(blocks))));
    if (!store->EnsureOpen(error)) return nullptr;
    store->tray_stamp_ = StampOf(store->tray_path_);  // before the read: a change in between is read again later
    store->tray_ = store->ReadTray().value_or(TTray{});
    return store;
  }

  const std::string state_path = config.image_path + ".state";
  const TFileStamp stamp = StampOf(state_path);
  std::optional<std::string> text = ReadWholeFile(state_path);
  std::optional<TDiscState> state;
  TTray tray;
  if (text) {
    std::string problem;
    const std::optional<TTray> saved_tray = TakeTrayLines(&*text, TLineNumbers::kKeep, &problem);
    if (saved_tray) {
      tray = *saved_tray;
      state = TDiscState::Parse(*text, config.kind, &problem);
    }
    if (!state) {
      *error = "le fichier d'état " + Quoted(state_path) + " est inutilisable\u00A0: " + problem;
      return nullptr;
    }
    if (state->LastRecordedLba() && !state->formatted() && !image_exists) {
      *error = "le fichier d'état " + Quoted(state_path) + " décrit des données enregistrées, mais l'image " +
               Quoted(config.image_path) + " manque";
      return nullptr;
    }
  } else {
    if (image_exists && image_stat.st_size > 0) {
      *error = Quoted(config.image_path) + " existe sans fichier d'état " + Quoted(state_path) +
               "\u00A0: ce n'est pas un disque de ce graveur (cd-rom ou dvd-rom chargent un fichier image)";
      return nullptr;
    }
    state = TDiscState::Blank(config.kind);
  }
  auto store =
      std::unique_ptr<TDiscStore>(new TDiscStore(config.image_path, false, config.write_protected, *state));
  if (image_exists && !store->EnsureOpen(error)) return nullptr;
  store->tray_ = tray;
  store->tray_stamp_ = stamp;
  return store;
}

bool TDiscStore::EnsureOpen(std::string* error) {
  if (fd_ >= 0) return true;
  const int flags = read_only_ ? O_RDONLY : O_RDWR | O_CREAT;
  fd_ = ::open(image_path_.c_str(), flags | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    *error = Describe("impossible d'ouvrir l'image", image_path_);
    return false;
  }
  return true;
}

TStoreRead TDiscStore::Read(uint32_t lba, std::span<uint8_t> out, std::string* error) {
  std::fill(out.begin(), out.end(), uint8_t{0});
  if (fd_ < 0) return TStoreRead::kRead;  // no image file yet: nothing was ever written
  const off_t base = static_cast<off_t>(lba) * kBlockSize;
  size_t done = 0;
  while (done < out.size()) {
    const ssize_t got = ::pread(fd_, out.data() + done, out.size() - done, base + static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *error = Describe("impossible de lire l'image", image_path_);
      return TStoreRead::kFailed;
    }
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  // A recorded disc's image is sparse: what lies past its end was never
  // written with data (a padded track, a formatted area) and reads as zeros.
  // A pressed disc's image is the whole disc: a file that shrank since it
  // was loaded has lost those blocks, which are never made up.
  if (done < out.size() && pressed_) {
    *error = "l'image " + Quoted(image_path_) + " finit avant le secteur " + std::to_string(lba + done / kBlockSize);
    return TStoreRead::kPastEnd;
  }
  return TStoreRead::kRead;
}

bool TDiscStore::Write(uint32_t lba, std::span<const uint8_t> data, std::string* error) {
  if (read_only_) {
    *error = "l'image " + Quoted(image_path_) + " est en lecture seule";
    return false;
  }
  if (!EnsureOpen(error)) return false;
  const off_t base = static_cast<off_t>(lba) * kBlockSize;
  // All zeros: the first byte is zero and every byte equals the next one.
  const bool zeros = !data.empty() && data[0] == 0 && std::memcmp(data.data(), data.data() + 1, data.size() - 1) == 0;
  if (zeros && WriteZeros(base, data.size())) return true;
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t put = ::pwrite(fd_, data.data() + done, data.size() - done, base + static_cast<off_t>(done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      *error = Describe("impossible d'écrire l'image", image_path_);
      return false;
    }
    done += static_cast<size_t>(put);
  }
  return true;
}

bool TDiscStore::WriteZeros(off_t base, size_t length) {
  // Zeros stay holes, so that overwriting a whole DVD with zeros (a full
  // erase) neither takes gigabytes of the host's disk nor the time to write
  // them: inside the file the range is punched out, past its end the file
  // grows without data (it ends where a written block would have ended).
  // False sends the zeros the ordinary way.
  struct stat file {};
  if (::fstat(fd_, &file) != 0) return false;
  const off_t end = base + static_cast<off_t>(length);
  if (base < file.st_size) {
    const off_t inside = std::min<off_t>(end, file.st_size) - base;
    if (::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, base, inside) != 0) return false;
  }
  return end <= file.st_size || ::ftruncate(fd_, end) == 0;
}

bool TDiscStore::Zero(uint32_t lba, uint32_t blocks, std::string* error) {
  if (fd_ < 0 || blocks == 0) return true;  // no image yet: every block reads as zeros
  struct stat file {};
  if (::fstat(fd_, &file) != 0) {
    *error = Describe("impossible de lire la taille de l'image", image_path_);
    return false;
  }
  const off_t base = static_cast<off_t>(lba) * kBlockSize;
  const off_t end = std::min<off_t>(base + static_cast<off_t>(blocks) * kBlockSize, file.st_size);
  if (base >= end) return true;  // past the file's end already
  if (::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, base, end - base) == 0) return true;
  const std::vector<uint8_t> zeros(64 * kBlockSize, 0);
  for (off_t at = base; at < end;) {
    const size_t length = static_cast<size_t>(std::min<off_t>(end - at, static_cast<off_t>(zeros.size())));
    const ssize_t put = ::pwrite(fd_, zeros.data(), length, at);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      *error = Describe("impossible d'écrire l'image", image_path_);
      return false;
    }
    at += put;
  }
  return true;
}

bool TDiscStore::Wipe(std::string* error) {
  if (read_only_) {
    *error = "l'image " + Quoted(image_path_) + " est en lecture seule";
    return false;
  }
  if (fd_ < 0) return true;
  if (::ftruncate(fd_, 0) != 0) {
    *error = Describe("impossible de vider l'image", image_path_);
    return false;
  }
  return true;
}

bool TDiscStore::SaveState(const TDiscState& state, const TTray& tray, std::string* error) {
  if (read_only_) return true;  // a pressed or protected disc never changes
  if (!ReplaceFile(state_path_, state.Serialize() + TrayLines(tray), 0644, &tray_stamp_, error)) return false;
  tray_ = tray;
  return true;
}

bool TDiscStore::SaveTray(const TTray& tray, const TDiscState& disc, std::string* error) {
  if (pressed_) return SavePressedTray(tray, error);
  std::optional<std::string> text = ReadWholeFile(state_path_);
  if (!text && tray.IsDefault()) {  // a blank disc in a closed tray: no file needed
    tray_ = tray;
    return true;
  }
  // The layout as the file holds it now; a file whose tray lines cannot be
  // read is replaced by this unit's view of the disc.
  if (!text || !TakeTrayLines(&*text, TLineNumbers::kDrop, nullptr)) text = disc.Serialize();
  if (!ReplaceFile(state_path_, *text + TrayLines(tray), 0644, &tray_stamp_, error)) return false;
  tray_ = tray;
  return true;
}

bool TDiscStore::SavePressedTray(const TTray& tray, std::string* error) {
  if (tray.IsDefault()) {
    if (!tray_path_.empty() && !RemoveFile(tray_path_, error)) return false;
    tray_stamp_ = {};
  } else {
    if (tray_path_.empty()) {
      *error = "aucun dossier où garder l'état du tiroir de " + Quoted(image_path_) + " (XDG_STATE_HOME ou HOME)";
      return false;
    }
    if (!MakeParentFolders(tray_path_, error)) return false;
    if (!ReplaceFile(tray_path_, PressedTrayText(tray, canonical_image_), 0600, &tray_stamp_, error)) return false;
  }
  tray_ = tray;
  return true;
}

std::optional<TTray> TDiscStore::ReadTray() const {
  if (tray_path_.empty()) return TTray{};
  std::optional<std::string> text = ReadWholeFile(tray_path_);
  if (!text) return TTray{};  // no file: closed and unlocked
  if (pressed_) return ParsePressedTray(*text, canonical_image_);
  return TakeTrayLines(&*text, TLineNumbers::kDrop, nullptr);
}

std::optional<TTray> TDiscStore::ChangedTray() {
  if (tray_path_.empty()) return std::nullopt;
  const TFileStamp now = StampOf(tray_path_);
  if (now == tray_stamp_) return std::nullopt;
  tray_stamp_ = now;  // taken before the read: a change in between is read next time
  const std::optional<TTray> read = ReadTray();
  if (!read) return std::nullopt;  // a damaged file: the tray stays as it was
  tray_ = *read;
  return tray_;
}

}  // namespace zamo::emu
