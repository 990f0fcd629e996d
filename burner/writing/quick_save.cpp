// quick_save.cpp: the quick image save. Runs on the caller's thread without
// the read-ahead cache: the image head (its directory extents generated as
// they are written), the boot image and every file's data
// are copied into the image file in one pass, each file at the sector the
// layout gave it, small files gathered into one buffer. Any
// file that cannot be read whole, and any write that fails, fails the save:
// no image with files at wrong sectors or silent zeros is ever reported as a
// success, and the partial file is removed.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "burner/compilation/veskburner.h"
#include "burner/drive/messages.h"
#include "burner/platform/file_attributes.h"
#include "burner/platform/str_format.h"
#include "burner/platform/system_error.h"
#include "burner/platform/text.h"
#include "burner/writing/image_writer.h"

namespace zamo {
Status TVeskBurner::QuickSave(const std::string& file_name) {
  LayoutImage(/*to_image_file=*/true, ImportTarget);
  BuildImageHeader(true, ImportTarget, THeadExtents::kGenerated);
  // Files of the compilation existed when they were added; the image can be
  // one of them only if it existed before this save.
  std::optional<FileIdentity> existing;
  struct stat before {};
  if (stat(file_name.c_str(), &before) == 0 && S_ISREG(before.st_mode)) existing.emplace(before.st_dev, before.st_ino);
  const std::unique_ptr<TFileStreamEx> created = CreateImageFile(file_name);
  TFileStreamEx& image = *created;
  if (image.Handle < 0)
    return Status::IoError(
        StrFormat(msg::kCannotCreateImage, DisplayUtf8(file_name).c_str(), SystemErrorText(errno).c_str()));
  struct stat target {};
  const bool regular_file = fstat(image.Handle, &target) == 0 && S_ISREG(target.st_mode);
  Status result = CopyFilesToImage(image, file_name, existing);
  if (!image.Close() && result.ok())
    result = Status::IoError(StrFormat(msg::kWriteError, DisplayUtf8(file_name).c_str(), SystemErrorText(errno).c_str()));
  // A partial image is removed; a device or pipe given as the target is not.
  if (!result.ok() && regular_file) unlink(file_name.c_str());
  return result;
}

Status TVeskBurner::CopyFilesToImage(TFileStreamEx& image, const std::string& file_name,
                                     const std::optional<FileIdentity>& image_identity) {
  ImageWriter out(image.Handle, file_name);
  const auto head = ImageStream.Memory();
  if (Status s = out.Write(head.data(), head.size()); !s.ok()) return s;
  // The directory extents, boot catalog and padding: generated a window at
  // a time, never held whole.
  if (const std::shared_ptr<HeadExtentsSource> rest = NewHeadExtents()) {
    std::vector<uint8_t> piece(HeadExtentsSource::kWindowTarget);
    for (size_t n = rest->Read(piece); n > 0; n = rest->Read(piece)) {
      if (Status s = out.Write(piece.data(), n); !s.ok()) return s;
    }
  }

  if (Bootable) {
    CurrentFile = BootImage;
    TFileStreamEx boot(BootImage, fmOpenRead | fmShareDenyNone);
    if (Status s = CheckSource(BootImage, image_identity, boot); !s.ok()) return s;
    const int64_t bytes = std::min<int64_t>(boot.GetSize(), int64_t{BootSectors} * kSectorSize);
    const int64_t boot_start = out.position();
    // The first sector, which holds the boot information table, stays in the
    // buffer until the table is laid over it: an output written in sequence
    // (a pipe) cannot go back to it.
    const int64_t first = std::min<int64_t>(bytes, kSectorSize);
    if (Status s = out.CopyFrom(boot.Handle, BootImage, first); !s.ok()) return s;
    // The boot information table goes over the copy, never the source file.
    if (!BootInfo.empty() && bytes >= kBootInfoChecksumFrom) {
      const int64_t table_at = boot_start + static_cast<int64_t>(kBootInfoOffset);
      if (Status s = out.Overwrite(table_at, BootInfo.data(), BootInfo.size()); !s.ok()) return s;
    }
    if (Status s = out.CopyFrom(boot.Handle, BootImage, bytes - first, first); !s.ok()) return s;
    if (Status s = out.PadToSector(); !s.ok()) return s;
    if (Status s = out.WriteZeros(PadAfterBoot * kSectorSize); !s.ok()) return s;
  }

  SourceOpener sources;
  std::string path;  // the source path of the entry being copied, rebuilt in the same buffer each time
  for (const TFEntry* entry : FileEntries()) {
    if ((entry->Attr & faDirectory) != 0) continue;
    if (entry->Imported || !entry->HasSource()) continue;  // its data is already on the disc
    path.clear();
    entry->AppendSourcePath(path);
    CurrentFile = path;
    // An empty file is opened all the same, to notice that it vanished.
    const std::unique_ptr<TFileStreamEx> source = sources.Open(path);
    if (Status s = CheckSource(path, image_identity, *source); !s.ok()) return s;
    if (entry->IsoSize == 0) continue;
    const int64_t expected = int64_t{FirstFileLba} + entry->IsoExtent;
    const int64_t actual = out.position() / kSectorSize;
    if (expected != actual) {
      DebugMessage(">>> " + std::string(msg::kInternal0004) + " " + DisplayUtf8(path) + " " +
                       std::to_string(expected) + "<>" + std::to_string(actual),
                   kMsgCompilation);
    }
    // A file that grew since it was added is copied up to its recorded size.
    if (Status s = out.CopyFrom(source->Handle, path, entry->IsoSize); !s.ok()) return s;
    if (Status s = out.PadToSector(); !s.ok()) return s;
  }
  CurrentFile.clear();
  if (Status s = out.Flush(); !s.ok()) return s;
  if (out.position() != SessionSectors * kSectorSize)
    return Status::Internal(StrFormat(msg::kWriteError, DisplayUtf8(file_name).c_str(), "TAILLE INATTENDUE"));
  return Status::Ok();
}

}  // namespace zamo
