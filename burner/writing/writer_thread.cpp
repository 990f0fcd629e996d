#include "burner/writing/writer_thread.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>

#include "burner/compilation/veskburner.h"
#include "burner/drive/closing_sequence.h"
#include "burner/drive/messages.h"
#include "burner/platform/str_format.h"
#include "burner/platform/system_error.h"
#include "burner/platform/text.h"
#include "burner/writing/cache_thread.h"
#include "burner/writing/image_writer.h"

namespace zamo {

namespace {

// A command the drive refused for now, as MMC defines it: BUSY status, not
// ready because an operation is in progress (02/04/xx), or a unit attention
// after a reset or a medium change (06/28, 06/29). Anything else, above all
// a failure below SCSI (no sense data, an error of the transport or the
// host adapter) and a command that never completed or that the user cut
// short, is not retried: the job ends at once with its reason.
bool NotReadyFailure(const TSCSIDevice& drive) {
  if (drive.LastCommandTimedOut || drive.LastCommandCancelled || drive.LastFailureIsTransport()) return false;
  if (drive.TargetBusy) return true;
  const uint8_t key = drive.LastSenseKey(), asc = drive.LastAsc();
  return (key == 0x02 && asc == 0x04) || (key == 0x06 && (asc == 0x28 || asc == 0x29));
}

// What the drive kept answering, for the message of a write it never took.
std::string DriveAnswer(const TSCSIDevice& drive) {
  if (drive.TargetBusy) return msg::kDriveAnswersBusy;
  return StrFormat(msg::kDriveAnswers, drive.LastError.c_str());
}

// Retries of a write the drive is not ready for, 600 ms apart.
constexpr int kBusyRetryMs = 600;
// Overwritable discs are written in whole ECC blocks of 16 sectors.
constexpr int kEccSectors = 16;
// Every write to a DVD carries 32 sectors.
constexpr int kDvdWriteBytes = 65536;
// An image file takes up to this many ready cache blocks of 64 KiB in one
// write: 256 KiB a call. Writing into the page cache costs most where new
// pages are slow to come by (a virtual machine whose host takes freed pages
// back): there a 1.5 GB write took dd 1.45 s in calls of 64 or 128 KiB,
// 1.74 s in 256 KiB, 2.18 s in 512 KiB and 2.5 s in 1 MiB, against about
// 0.2 s for every size where pages were at hand. Builds that differed only
// in this count, saving the 1.5 GB of big files in turn with cat of the same
// files, 36 runs each: medians 0.29 s with 256 KiB a call, 0.45 s with
// 128 KiB (a system call for every 2 blocks), 0.57 s with 512 KiB; cat 0.35 s.
// See bench/README.md, "Write calls of the threaded save".
constexpr size_t kFileBlocksPerWrite = 4;
// The writer of an image file is woken once this many blocks are ready, and
// then takes all that are (up to kFileBlocksPerWrite). Woken for each block,
// it wrote 72 KiB a call on average from the 300,000 files of the tiny bench
// corpus; woken for a whole 512 KiB write, its calls cost a third more
// system time; every 2 blocks, the least. Interleaved runs of builds that
// differed only in this count (4 each): system time 2.56-2.87 s with 2,
// 2.61-3.03 s with 1, 3.65-4.11 s with 8, 3.00-3.52 s for the build before
// the cache took no lock a file and the hand-over was batched.
constexpr size_t kFileHandOverBlocks = 2;

}  // namespace

TThWrite::TThWrite(TVeskBurner& burner, bool to_file)
    : ToFile(to_file),
      burner_(burner),
      cache_(*burner.CacheThread),
      wait_(burner, burner.abort_flag_),
      steps_(burner, wait_) {}

void TThWrite::Execute() {
  // The abort flag was cleared when the job started: an abort asked since
  // (while the cache filled, or just now) stops the writer at its first block.
  burner_.writing_active_ = true;
  burner_.bytes_written_ = 0;
  burner_.job_total_bytes_ = burner_.ImageSectors() * kSectorSize;
  burner_.job_phase_ = ToFile ? TVeskBurner::TJobPhase::kWriting : TVeskBurner::TJobPhase::kPreparing;
  cache_.SetErrorText("");
  compilation_ = cache_.ImageFileName().empty();
  // An existing image file always goes to the disc from sector 0.
  if (!compilation_) burner_.SessionStart = 0;
  if (!ToFile) PrepareRecorder();
  if (ToFile) {
    file_ = CreateImageFile(burner_.ISOFileName);
    if (file_->Handle < 0) {
      Fail(StrFormat(msg::kCannotCreateFile, DisplayUtf8(burner_.ISOFileName).c_str()) + " (" +
           SystemErrorText(errno) + ")");
    } else {
      // Created empty (or emptied): its unwritten parts read as zeros. A
      // device or a pipe given as the target gets every byte.
      struct stat target {};
      holes_ = fstat(file_->Handle, &target) == 0 && S_ISREG(target.st_mode) && target.st_size == 0;
      in_sequence_ = WritesInSequence(file_->Handle);  // a pipe: written in order
    }
    burner_.SessionStart = 0;
  }
  if (cache_.ErrorText().empty()) {
    burner_.job_phase_ = TVeskBurner::TJobPhase::kWriting;
    TransferLoop();
    if (ToFile && cache_.ErrorText().empty()) {
      if (Status s = EndFile(); !s.ok()) Fail(s.UserText());
    }
  }
  // An image file needs no closing phase; a recorder's comes here, also
  // after a failure (the drive's cache is flushed, the disc left open).
  if (!ToFile) CloseRecorder();
  Finish();
}

void TThWrite::Fail(const std::string& text) {
  cache_.Abort();
  cache_.SetErrorText(text);
}

void TThWrite::TransferLoop() {
  using SteadyClock = std::chrono::steady_clock;
  // A recorder takes one block a WRITE command.
  const size_t blocks_per_write = ToFile ? kFileBlocksPerWrite : 1;
  const int64_t image_bytes = burner_.ImageSectors() * kSectorSize;
  std::vector<std::unique_ptr<TCacheBlock>> blocks;
  // Woken once a few blocks are ready, not for each one.
  cache_.SetHandOver(ToFile ? kFileHandOverBlocks : 1);
  int64_t n = cache_.TakeBlocks(blocks, blocks_per_write);
  if (!ToFile && n > 0 && compilation_ && IsOverwritableOnceFormatted(kind_)) {
    // The new descriptors go to sector 0 once the data is recorded (closing
    // phase); the old descriptor set is read now, before anything changes.
    head_copy_pending_ = true;
    head_sectors_ = (burner_.HeaderCopySize + kSectorSize - 1) / kSectorSize;
    hold_back_descriptors_ = burner_.SessionStart < head_sectors_;
    old_descriptor_set_end_ = DescriptorSetEnd();
  }
  if (ToFile || !compilation_) burner_.SessionStart = 0;
  // A producer that delivers nothing for this long is stalled: the job ends
  // with a message instead of waiting for ever.
  int64_t last_produced = cache_.ProducedBytes();
  SteadyClock::time_point last_progress = SteadyClock::now();
  for (;;) {
    if (n == -1) {
      if (burner_.abort_flag_) return Fail(msg::kAbortedByUser);
      if (!cache_.ErrorText().empty()) return;
      // Woken when a write's worth is ready or the cache ends; the bound
      // only paces the checks of the abort flag and of a stalled producer.
      cache_.WaitForData(10);
      const int64_t produced = cache_.ProducedBytes();
      if (produced != last_produced) {
        last_produced = produced;
        last_progress = SteadyClock::now();
      } else if (SteadyClock::now() - last_progress > burner_.StallBound) {
        return Fail(StrFormat(msg::kCacheStalled, static_cast<int>(burner_.StallBound.count()),
                              DisplayUtf8(cache_.CurrentFile()).c_str()));
      }
      n = cache_.TakeBlocks(blocks, blocks_per_write);
      continue;
    }
    if (n == 0) return;  // the data is complete (or the cache failed)
    {
      const std::string current = cache_.CurrentFile();
      burner_.Lock();
      burner_.CurrentFile = current;
      burner_.Unlock();
    }
    burner_.bytes_written_ = std::min(burner_.bytes_written_ + n, image_bytes);
    if (ToFile) {
      if (Status s = WriteToFile(blocks); !s.ok()) return Fail(s.UserText());
    } else {
      // Every write to a DVD carries 32 sectors, the last one included, for
      // a compilation and an image file alike: DVD media take whole ECC
      // blocks. The bytes past a short block's data are zeros.
      int bytes = static_cast<int>(n);
      if (!IsCdKind(kind_) && bytes < kDvdWriteBytes) {
        std::fill(blocks[0]->Data.begin() + bytes, blocks[0]->Data.begin() + kDvdWriteBytes, 0);
        bytes = kDvdWriteBytes;
      }
      if (!WriteToRecorder(*blocks[0], bytes)) return;
    }
    for (auto& block : blocks) cache_.Recycle(std::move(block));
    blocks.clear();
    last_progress = SteadyClock::now();
    if (burner_.abort_flag_) return Fail(msg::kAbortedByUser);
    n = cache_.TakeBlocks(blocks, blocks_per_write);
    if (!cache_.ErrorText().empty()) return;
  }
}

namespace {

// True when the `count` bytes at `data` are all zero: the first byte is, and
// each byte equals the next.
bool AllZero(const uint8_t* data, size_t count) {
  return count == 0 || (data[0] == 0 && std::memcmp(data, data + 1, count - 1) == 0);
}

}  // namespace

Status TThWrite::WriteToFile(const std::vector<std::unique_ptr<TCacheBlock>>& blocks) {
  std::vector<iovec> parts;
  parts.reserve(blocks.size());
  for (const auto& block : blocks) {
    const auto count = static_cast<size_t>(block->Count);
    if (block->Source != nullptr) {
      // The blocks before it go out, then the span, through its own buffer.
      if (Status s = WriteRun(parts); !s.ok()) return s;
      if (Status s = CopySpan(*block, block->Data); !s.ok()) return s;
      continue;
    }
    if (holes_ && AllZero(block->Data.data(), count)) {
      // The blocks before it go out; this one is passed over.
      if (Status s = WriteRun(parts); !s.ok()) return s;
      file_offset_ += static_cast<int64_t>(count);
      continue;
    }
    parts.push_back({block->Data.data(), count});
  }
  return WriteRun(parts);
}

Status TThWrite::CopySpan(const TCacheBlock& span, std::span<uint8_t> buffer) {
  const TSourceFile& source = *span.Source;
  const ImageOutput output{file_->Handle, in_sequence_, &file_offset_, burner_.ISOFileName};
  int64_t at = span.SourceOffset;
  const int64_t end = at + span.Count;
  bool kernel_copy = true;  // cleared for the span's rest when the kernel cannot copy
  while (at < end) {
    int64_t stop = end;
    if (holes_) {
      // In a new file the source's holes stay holes: only its data is copied.
      const off_t data = lseek(source.Fd, at, SEEK_DATA);
      if (data < 0 && errno == ENXIO) {
        // No data from `at` on: a hole up to the end, or a file that shrank.
        struct stat now {};
        if (fstat(source.Fd, &now) == 0 && now.st_size < end) return ShrankError(source.Name, now.st_size, source.Size);
        file_offset_ += end - at;
        return Status::Ok();
      }
      if (data > at) {
        const int64_t skip = std::min<int64_t>(data, end) - at;
        file_offset_ += skip;
        at += skip;
        continue;
      }
      if (data == at) {
        const off_t hole = lseek(source.Fd, at, SEEK_HOLE);
        if (hole > at) stop = std::min<int64_t>(hole, end);
      }
    }
    if (Status s = CopyRange(source.Fd, source.Name, source.Size, at, stop, output, buffer, &kernel_copy); !s.ok())
      return s;
    at = stop;
  }
  return Status::Ok();
}

Status TThWrite::EndFile() {
  if (!holes_ || ftruncate(file_->Handle, file_offset_) == 0) return Status::Ok();
  return ImageWriteFailure(burner_.ISOFileName, errno);
}

Status TThWrite::WriteRun(std::vector<iovec>& parts) {
  // Every write is checked: a short write or a full disk fails the job.
  return WriteParts(file_->Handle, parts, in_sequence_, &file_offset_, burner_.ISOFileName);
}

bool TThWrite::Aborted() {
  if (!burner_.abort_flag_) return false;
  Fail(msg::kAbortedByUser);
  return true;
}

int64_t TThWrite::SectorsToWrite() const {
  // A compilation is padded to a session's minimum by the cache; an image
  // file goes as it is.
  return compilation_ ? burner_.ImageSectors() : burner_.SessionSectors;
}

void TThWrite::PrepareRecorder() {
  TRecordingSession session;
  session.start = static_cast<uint32_t>(burner_.SessionStart);
  session.image_sectors = static_cast<uint32_t>(burner_.ImageSectors());
  session.sectors_to_write = SectorsToWrite();
  steps_.Prepare(session);
  kind_ = steps_.kind();
}

bool TThWrite::WriteHeadCopy(TClosingSequence& closing) {
  TVeskBurner& b = burner_;
  b.ErrorLogDone = true;
  // The head copy (system area and the new volume descriptors) goes to
  // sector 0, once the session's data is recorded: until then the disc
  // shows the volume it held, whole, and an interrupted job loses nothing.
  // It is sent in whole ECC blocks. The sectors after the new descriptors
  // are read back and written again as they are: they may hold the data
  // of the session already on the disc, which the new session still lists
  // (or, for a session at sector 0, its own path tables). Sectors of an
  // older, longer descriptor set are the exception: left as they were after
  // the new terminator they would put that old volume back in front of
  // readers that scan the whole area, so they are cleared.
  const int head_sectors = (b.HeaderCopySize + kSectorSize - 1) / kSectorSize;
  const int sectors = (head_sectors + kEccSectors - 1) / kEccSectors * kEccSectors;
  std::vector<uint8_t> head(static_cast<size_t>(sectors) * kSectorSize, 0);
  std::copy(b.HeaderCopy.begin(), b.HeaderCopy.begin() + b.HeaderCopySize, head.begin());
  const uint32_t old_set_end = b.SessionStart > 0 ? old_descriptor_set_end_ : 0;
  for (int sector = head_sectors; sector < sectors; ++sector) {
    uint8_t* at = head.data() + static_cast<size_t>(sector) * kSectorSize;
    if (static_cast<uint32_t>(sector) < old_set_end) continue;  // an old descriptor: cleared
    if (!b.Read10(static_cast<uint32_t>(sector), 1, at, kSectorSize)) std::fill(at, at + kSectorSize, 0);
  }
  if (!WriteWithRetries(0, head.data(), static_cast<int>(head.size()))) {
    const std::string& text = cache_.ErrorText();
    if (text.rfind(msg::kDiscWriteError, 0) == 0) {
      cache_.SetErrorText(std::string(msg::kHeadWriteFailed) + " [" + b.LastError + "]");
    }
    return false;
  }
  if (!closing.Flush()) {
    if (b.LastCommandCancelled || b.abort_flag_) {
      Fail(msg::kAbortedWhileClosing);
    } else {
      Fail(std::string(msg::kFlushFailed) + " [" + b.LastError + "]");
    }
    return false;
  }
  return true;
}

uint32_t TThWrite::DescriptorSetEnd() {
  TVeskBurner& b = burner_;
  // Sectors 16 up to the set terminator, as readers walk them.
  std::array<uint8_t, kSectorSize> sector{};
  for (uint32_t lba = 16; lba < 16 + 2 * kEccSectors; ++lba) {
    sector.fill(0);
    if (!b.Read10(lba, 1, sector.data(), kSectorSize)) return 0;
    if (std::memcmp(sector.data() + 1, "CD001", 5) != 0) return 0;
    if (sector[0] == 255) return lba + 1;
  }
  return 0;
}

bool TThWrite::WriteWithRetries(uint32_t lba, uint8_t* data, int bytes) {
  // Within what one command may carry (a USB bridge's limit): in pieces,
  // each of whole ECC blocks on a DVD, each retried on its own.
  const uint32_t sectors = static_cast<uint32_t>(bytes) / kSectorSize;
  uint32_t per_command = burner_.TransferSectors(sectors);
  if (!IsCdKind(kind_) && per_command < sectors) per_command = std::max<uint32_t>(per_command / kEccSectors, 1) * kEccSectors;
  for (uint32_t done = 0; done < sectors;) {
    const uint32_t count = std::min(per_command, sectors - done);
    if (!WriteCommand(lba + done, data + size_t{done} * kSectorSize, static_cast<int>(count * kSectorSize))) return false;
    done += count;
  }
  return true;
}

bool TThWrite::WriteCommand(uint32_t lba, uint8_t* data, int bytes) {
  using SteadyClock = std::chrono::steady_clock;
  TVeskBurner& b = burner_;
  const uint32_t sectors = static_cast<uint32_t>(bytes) / kSectorSize;
  SteadyClock::time_point refused_since{};
  bool refused = false;
  for (;;) {
    if (Aborted()) return false;
    if (b.Write10(lba, static_cast<uint16_t>(sectors), data, static_cast<uint32_t>(bytes), kFlagsOut)) return true;
    if (b.LastCommandCancelled) {
      Fail(msg::kAbortedByUser);
      return false;
    }
    if (steps_.NeedsFormat()) {
      if (Status s = steps_.FormatBlankDvdPlusRw(); !s.ok()) {
        Fail(s.UserText());
        return false;
      }
      continue;
    }
    if (!NotReadyFailure(b)) {
      Fail(std::string(msg::kDiscWriteError) + " [" + b.LastError + "]");
      return false;
    }
    // Not ready yet: tried again, for a bounded time.
    const SteadyClock::time_point now = SteadyClock::now();
    if (!refused) {
      refused = true;
      refused_since = now;
    } else if (now - refused_since >= burner_.DriveBusyBound) {
      Fail(std::string(msg::kWriterBusy) + " [" +
           StrFormat(msg::kWriterBusyFor, static_cast<int>(burner_.DriveBusyBound.count()), DriveAnswer(b).c_str()) +
           "]");
      return false;
    }
    ++retries_;
    if (!wait_.Pause(kBusyRetryMs)) {
      Fail(msg::kAbortedByUser);
      return false;
    }
  }
}

bool TThWrite::WriteToRecorder(TCacheBlock& block, int bytes) {
  TVeskBurner& b = burner_;
  if (buffer_poll_countdown_ == 0 && steps_.buffer_answers()) {
    uint32_t size = 0, free_bytes = 0;
    if (b.ReadBufferCapacity(size, free_bytes)) buffer_poll_countdown_ = 5;
  }
  --buffer_poll_countdown_;
  retries_ = 0;
  const uint32_t lba = static_cast<uint32_t>(b.SessionStart) + written_;
  const uint32_t count = static_cast<uint32_t>(bytes) / kSectorSize;
  const auto head_end = static_cast<uint32_t>(head_sectors_);
  if (hold_back_descriptors_ && lba < head_end && lba + count > 16) {
    // The first session of an overwritable disc: its descriptors (sectors 16
    // to the terminator) are written last, with the head copy; until then
    // sector 16 shows no volume.
    const uint32_t from = std::max<uint32_t>(lba, 16) - lba;
    const uint32_t to = std::min(head_end, lba + count) - lba;
    std::fill(block.Data.begin() + from * kSectorSize, block.Data.begin() + to * kSectorSize, 0);
  }
  if (!WriteWithRetries(lba, block.Data.data(), bytes)) return false;
  written_ += count;
  return true;
}

void TThWrite::CloseRecorder() {
  TVeskBurner& b = burner_;
  TClosingSequence closing(b, wait_, kind_);
  const bool failed = !cache_.ErrorText().empty();
  // A disc taken out of the drive has nothing left to flush or close: the
  // job ends at once, without waits for a disc that will not come back.
  if (failed && closing.MediumGone()) {
    b.DebugMessage(std::string(">>> ") + msg::kDiscRemoved, kMsgStatus);
    if (b.OnFinalizingTrack) b.OnFinalizingTrack(&b);
    b.DeviceBufferSize = 0;
    b.DeviceFreeBufferSize = 0;
    return;
  }
  b.job_phase_ = TVeskBurner::TJobPhase::kFlushing;
  closing.ReadBufferLevel();
  if (b.OnFinalizingTrack) b.OnFinalizingTrack(&b);
  const bool stopped_by_user = failed && (b.abort_flag_ || b.LastCommandCancelled);
  const Status flushed = closing.FlushBuffer(stopped_by_user);
  b.DeviceBufferSize = 0;
  b.DeviceFreeBufferSize = 0;
  if (!cache_.ErrorText().empty()) return;  // a failed job is never closed
  if (!flushed.ok()) return Fail(flushed.UserText());

  b.job_phase_ = TVeskBurner::TJobPhase::kClosing;
  if (head_copy_pending_ && !WriteHeadCopy(closing)) return;
  const TDiscFinalize finalize = DiscFinalizeIf(b.FinalizeDisc);
  if (Status s = closing.CloseSession(steps_.new_track(), finalize); !s.ok()) return Fail(s.UserText());
  b.job_phase_ = TVeskBurner::TJobPhase::kFinishing;
  if (Status s = closing.WaitUntilClosed(); !s.ok()) return Fail(s.UserText());
  closing.ReturnToIdle(finalize);
}

void TThWrite::Finish() {
  burner_.Lock();
  burner_.CurrentFile = cache_.CurrentFile();
  std::string result = cache_.ErrorText();
  burner_.Unlock();
  if (file_ != nullptr) {
    struct stat target {};
    const bool regular = file_->Handle >= 0 && fstat(file_->Handle, &target) == 0 && S_ISREG(target.st_mode);
    if (!file_->Close() && result.empty()) {
      result = StrFormat(msg::kWriteError, DisplayUtf8(burner_.ISOFileName).c_str(), SystemErrorText(errno).c_str());
    }
    // A failed or aborted image is removed; a device given as the target is not.
    if (!result.empty() && regular) unlink(burner_.ISOFileName.c_str());
  }
  burner_.writing_active_ = false;
  cache_.WaitFor();
  if (!ToFile) TSCSIDevice::SetReleaseHandles(true);
  burner_.FreeCacheThread();
  burner_.Lock();
  burner_.CurrentFile.clear();
  burner_.Unlock();
  burner_.job_phase_ = TVeskBurner::TJobPhase::kIdle;
  burner_.DeliverWriteDone(result);
  burner_.writer_running_ = false;  // the component may go from here on
}

}  // namespace zamo
