// disc_store.h: where an emulated disc lives on the host: its sectors in a
// sparse image file (sector n at byte n x 2048) and, for recordable kinds, its
// layout in a small text state file beside it (IMAGEFILE + ".state").
//
// A recordable disc without either file is blank. Its state is saved after
// every change (written to a temporary file, then renamed over the old one),
// and its sectors are written with pwrite, so a second process opening the
// same files sees what the first one recorded.
//
// The store also keeps the drive's tray with the disc (tray_state.h says
// where) and notices when another unit on the same files changed it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "emulator/disc_state.h"
#include "emulator/drive_config.h"
#include "emulator/state_file.h"
#include "emulator/tray_state.h"

namespace zamo::emu {

constexpr uint32_t kBlockSize = 2048;

enum class TStoreRead { kRead, kPastEnd, kFailed };

class TDiscStore {
 public:
  // Opens the files of `config` and reads the disc's state. Fails with a
  // message when a pressed disc's image is missing, a state file is damaged or
  // of another kind, or an existing image has no state file (it is then
  // somebody's file, not a disc this recorder wrote, and is never overwritten).
  static std::unique_ptr<TDiscStore> Open(const TDriveConfig& config, std::string* error);
  ~TDiscStore();
  TDiscStore(const TDiscStore&) = delete;
  TDiscStore& operator=(const TDiscStore&) = delete;

  const TDiscState& initial_state() const { return initial_state_; }
  // The tray as its file last showed it (or as this store last saved it).
  const TTray& tray() const { return tray_; }

  // Reads `out.size() / 2048` blocks from `lba`. On a recordable disc,
  // blocks past the end of the (sparse) image file read as zeros; on a
  // pressed disc they do not exist (kPastEnd).
  TStoreRead Read(uint32_t lba, std::span<uint8_t> out, std::string* error);
  // Writes whole blocks at `lba`, creating the image file on first use.
  bool Write(uint32_t lba, std::span<const uint8_t> data, std::string* error);
  // Makes `blocks` blocks from `lba` read as zeros (a drive's padding);
  // the file does not grow for it.
  bool Zero(uint32_t lba, uint32_t blocks, std::string* error);
  // Forgets every sector (the image file becomes empty).
  bool Wipe(std::string* error);
  // Saves the disc's layout and the tray with it (a pressed or protected
  // disc's layout never changes: nothing is written).
  bool SaveState(const TDiscState& state, const TTray& tray, std::string* error);
  // Saves a new tray. The layout already in the state file stays as it is
  // there (another unit may have recorded since this one read it); `disc` is
  // written only when there is no state file yet.
  bool SaveTray(const TTray& tray, const TDiscState& disc, std::string* error);
  // The tray, read again when its file changed since this store last read or
  // wrote it; null when it did not change (or cannot be read now).
  std::optional<TTray> ChangedTray();

  const std::string& image_path() const { return image_path_; }
  const std::string& state_path() const { return state_path_; }
  // Where the tray is kept: the state file, or for a pressed disc a file of
  // the user's state folder (empty when the user has none).
  const std::string& tray_path() const { return tray_path_; }

 private:
  TDiscStore(std::string image_path, bool pressed, bool read_only, TDiscState state);
  bool EnsureOpen(std::string* error);
  bool WriteZeros(off_t base, size_t length);
  std::optional<TTray> ReadTray() const;
  bool SavePressedTray(const TTray& tray, std::string* error);

  std::string image_path_;
  std::string state_path_;
  bool pressed_;
  bool read_only_;
  int fd_ = -1;
  TDiscState initial_state_;

  std::string canonical_image_;  // pressed discs: the key of their tray file
  std::string tray_path_;
  TTray tray_;
  TFileStamp tray_stamp_;  // the version of tray_path_ that tray_ comes from
};

}  // namespace zamo::emu
