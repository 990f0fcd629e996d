// recording_steps.cpp: readying the drive for a recording, per disc kind,
// and the background format of a blank DVD+RW.
#include "burner/drive/recording_steps.h"

#include <algorithm>
#include <string>

#include "burner/drive/messages.h"
#include "burner/drive/parameter_lists.h"
#include "burner/platform/date_time.h"
#include "burner/platform/str_format.h"

namespace zamo {
namespace {

// The last sector of a single-layer DVD-R, the end of its streaming descriptor.
constexpr uint32_t kDvdREndLba = 2298495;
// The background format of a blank DVD+RW: polled every 2 s, for 30 minutes at most.
constexpr int kFormatWaitSeconds = 1800;
constexpr int kFormatPollMs = 2000;
// The time unit of the streaming rates, in milliseconds.
constexpr uint32_t kStreamingTimeMs = 1000;

// A speed in KB/s as a SET STREAMING rate: kilobytes a second (1x DVD is
// 1385 KB/s by MMC's speed unit, 1440.25 by the streaming one). Never 0: a
// zero size is refused by drives, or taken as their slowest speed.
uint32_t StreamingRate(uint16_t kbs) { return std::max<uint32_t>(static_cast<uint32_t>(kbs / 1385.0 * 1440.25), 1); }

}  // namespace

void TRecordingSteps::Prepare(const TRecordingSession& session) {
  TSCSIDevice& d = device_;
  uint32_t size = 0, free_bytes = 0;
  buffer_answers_ = d.ReadBufferCapacity(size, free_bytes);
  kind_ = d.NoteDiscKind();
  d.LoadEject(false);
  if (kind_ != dkDvdPlusRw) d.RezeroUnit();
  d.SetCdSpeed(d.ReadSpeed, d.WriteSpeed());
  d.WaitUntilReady(10000, 1000);

  const uint16_t speed = d.GetCurrentWriteSpeed();
  d.SetWriteParameters(d.TestWrite, d.UnderrunProtection, /*CloseFlag=*/true, kind_, TDiscFinalize::kFinalize);

  // "As fast as the drive goes" (0) is the drive's maximum in a streaming
  // descriptor.
  const uint16_t read_kbs = d.ReadSpeed != 0 ? d.ReadSpeed : d.GetMaxReadSpeed();
  const uint16_t write_kbs = d.WriteSpeed() != 0 ? d.WriteSpeed() : d.GetMaxWriteSpeed();
  if (IsDvdMinusKind(kind_) || IsDvdPlusKind(kind_)) SetSessionPerformance(session, read_kbs, write_kbs);
  new_track_ = static_cast<uint8_t>(d.GetSessionCount() + 1);
  if (kind_ == dkDvdR) ReserveDvdRTrack(session, read_kbs, write_kbs);
  if (kind_ != dkDvdRam && !d.TestWrite && d.PerformOPC) d.SendOpcInformation();
  LogStart(speed);
}

void TRecordingSteps::SetSessionPerformance(const TRecordingSession& session, uint16_t read_kbs, uint16_t write_kbs) {
  // DVD speeds go in a SET STREAMING performance descriptor over the session.
  device_.SetPerformance(session.start, session.start + session.image_sectors, StreamingRate(read_kbs),
                         StreamingRate(write_kbs), kStreamingTimeMs, kStreamingTimeMs);
}

void TRecordingSteps::ReserveDvdRTrack(const TRecordingSession& session, uint16_t read_kbs, uint16_t write_kbs) {
  TSCSIDevice& d = device_;
  // The streaming descriptor of the whole DVD-R, at the speed chosen (it
  // was a fixed 1x, which held every DVD-R to 1x), the time stamp, and the
  // track reserved for the session: the sectors the job writes, in whole
  // 32-sector writes, so that the last write fills it.
  const PerformanceDescriptor whole_disc = PerformanceDescriptor()
                                               .EndLba(kDvdREndLba)
                                               .ReadSize(StreamingRate(read_kbs))
                                               .ReadTime(kStreamingTimeMs)
                                               .WriteSize(StreamingRate(write_kbs))
                                               .WriteTime(kStreamingTimeMs);
  d.SetStreaming(whole_disc.data(), static_cast<int>(whole_disc.size()));
  d.SendTimeStamp(NowDateTime());
  d.ReserveTrack(static_cast<uint32_t>((session.sectors_to_write + 31) / 32 * 32));
  d.WaitUntilReady(10000, 1000);
}

void TRecordingSteps::LogStart(uint16_t speed_kbs) {
  TSCSIDevice& d = device_;
  std::string speed_text;
  if (IsDvdKind(kind_) && IsRecordableKind(kind_)) {
    speed_text = StrFormat("%.1fX (%s KB/s)", speed_kbs / 1385.0, FormatThousands(speed_kbs).c_str());
  } else {
    speed_text = StrFormat("%.0fX (%s KB/s)", speed_kbs / 176.4, FormatThousands(speed_kbs).c_str());
  }
  d.DebugMessage(std::string(">>> ") + StrFormat(msg::kWritingTo, DiscKindName(kind_), speed_text.c_str()), kMsgInfo);
  if (d.TestWrite) d.DebugMessage(std::string(">>> ") + msg::kTestWrite, kMsgInfo);
}

bool TRecordingSteps::NeedsFormat() const {
  return kind_ == dkDvdPlusRw && device_.LastAsc() == 0x30 && !formatted_;
}

Status TRecordingSteps::FormatBlankDvdPlusRw() {
  TSCSIDevice& d = device_;
  // Formatted once in the background, as the erase does.
  formatted_ = true;
  const FormatList list = DvdPlusRwBasicFormat();
  if (!d.FormatUnit(0x11, list.data(), static_cast<int>(list.size()))) {
    if (d.LastCommandCancelled || wait_.AbortAsked()) return Status::Aborted(msg::kAbortedByUser);
    return Status::IoError(std::string(msg::kFormatFailed) + " [" + d.LastError + "]");
  }
  // Done when the drive no longer says "format in progress".
  const auto settled = [&d] { return d.ReadDiscInfo() || d.LastAsc() != 0x04; };
  switch (wait_.PollUntil(settled, kFormatWaitSeconds * 1000, kFormatPollMs)) {
    case TWaitResult::kDone:
    case TWaitResult::kFailed:  // the write that follows says what is wrong
      return Status::Ok();
    case TWaitResult::kAborted:
      return Status::Aborted(msg::kAbortedByUser);
    case TWaitResult::kTimedOut:
      return Status::IoError(StrFormat(msg::kFormatTimeout, kFormatWaitSeconds));
  }
  return Status::Ok();
}

}  // namespace zamo
