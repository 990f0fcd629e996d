// disc_store.h: where an emulated disc lives on the host: its sectors in a
// sparse image file (sector n at byte n x 2048) and, for recordable kinds, its
// layout in a small text state file beside it (IMAGEFILE + ".state").
//
// A recordable disc without either file is blank. Its state is saved after
// every change (written to a temporary file, then renamed over the old one),
// and its sectors are written with pwrite, so a second process opening the
// same files sees what the first one recorded.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "emulator/disc_state.h"
#include "emulator/drive_config.h"

namespace zamo::emu {

constexpr uint32_t kBlockSize = 2048;

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

  // Reads `out.size() / 2048` blocks from `lba`; blocks past the end of the
  // image file read as zeros.
  bool Read(uint32_t lba, std::span<uint8_t> out, std::string* error);
  // Writes whole blocks at `lba`, creating the image file on first use.
  bool Write(uint32_t lba, std::span<const uint8_t> data, std::string* error);
  // Forgets every sector (the image file becomes empty).
  bool Wipe(std::string* error);
  bool SaveState(const TDiscState& state, std::string* error);

  const std::string& image_path() const { return image_path_; }
  const std::string& state_path() const { return state_path_; }

 private:
  TDiscStore(std::string image_path, bool read_only, TDiscState state);
  bool EnsureOpen(std::string* error);

  std::string image_path_;
  std::string state_path_;
  bool read_only_;
  int fd_ = -1;
  TDiscState initial_state_;
};

}  // namespace zamo::emu
