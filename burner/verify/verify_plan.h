// verify_plan.h: what a verification reads from the disc and what each part
// must hold, built from the component before its thread starts: the areas of
// a session's head (with the bytes laid out for them), the boot image, and
// the files with their source files. The plan refers to no record of the
// compilation tree, so the thread never touches the tree.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "burner/compilation/veskburner.h"

namespace zamo {

struct VerifyItem {
  enum class Kind {
    kArea,      // sectors that must hold `expected` (zeros when null)
    kFile,      // a file's data, compared with its source file
    kReadOnly,  // a file without a source here: read, not compared
    kDamaged,   // a file whose data the disc does not hold (import): reported, not read
    kMissing,   // a source file the session does not hold: reported, not read
  };
  Kind kind = Kind::kFile;
  bool counted_as_area = false;  // a kFile that is part of the head (the boot image)
  std::string label;             // how the log names it: FICHIER "\A\b.txt", DOSSIER JOLIET "\A" ...
  uint32_t lba = 0;              // first sector on the disc
  uint32_t sectors = 0;          // sectors read
  int64_t bytes = 0;             // kFile: its size on the disc, which the source's must equal
  std::string source;            // kFile: the file its bytes must equal
  std::vector<uint8_t> boot_info;  // kFile: a table the disc holds over the source's bytes 8-63 (the boot image's)
  const uint8_t* expected = nullptr;  // kArea: sectors x 2048 bytes; they live in the component
};

struct VerifyPlan {
  std::string title;               // the line that starts the verification
  std::vector<std::string> notes;  // lines that follow it
  std::vector<VerifyItem> items;  // in disc order
  int import_errors = 0;
};

// The plan of VerifyRecording: the session the component laid out and
// recorded last. `overwritable`: the disc got the descriptors at sector 16
// too. False (with the reason in `error`) when no session was laid out for
// a disc.
bool PlanRecordingVerify(const TVeskBurner& burner, bool overwritable, VerifyPlan& plan, std::string& error);

// The plan of VerifySession: `sources` against the session the component's
// tree holds, just imported.
VerifyPlan PlanSessionVerify(const TVeskBurner& burner, const std::vector<TVeskBurner::TVerifySource>& sources);

// The plan of VerifyImageFile: an image file of `bytes` bytes recorded from
// sector 0.
VerifyPlan PlanImageVerify(const std::string& file_name, int64_t bytes);

// The files of the compilation (not those imported) with their names from
// the root in both trees, in creation order.
std::vector<TVeskBurner::TVerifySource> ListVerifySources(const TVeskBurner& burner);

}  // namespace zamo
