// disc_info.cpp: what the recorder can do and what disc is in it.
//
// The answers combine the capabilities mode page (2Ah), GET CONFIGURATION,
// READ DISC INFORMATION, READ TRACK INFORMATION, READ TOC/PMA/ATIP, READ
// CAPACITY and READ FORMAT CAPACITIES, falling back from one to the next for
// drives and discs that do not answer one of them. Nothing is cached between
// calls but the capabilities page: every size query asks the drive again.
#include <algorithm>
#include <cstring>
#include <functional>
#include <span>
#include <vector>

#include "burner/drive/cdb.h"
#include "burner/drive/replies.h"
#include "burner/drive/scsi_device.h"
#include "burner/platform/byte_order.h"

namespace zamo {

namespace {

constexpr uint32_t kNoAddress = 0xFFFFFFFF;
constexpr uint16_t kDefaultWriteSpeed = 1385;  // 1x DVD, in KB/s, for drives that report 0

// Where a mode page starts in a MODE SENSE (10) response: after the 8-byte
// header, after a block descriptor (16), or at 7 for drives that drop a byte.
int FindPage(const uint8_t* response, uint8_t page, int fallback) {
  for (int at : {16, 8, 7}) {
    if ((response[at] & 0x3F) == page) return at;
  }
  return fallback;
}

constexpr uint16_t kMostWriteSpeeds = 32;  // write speed descriptors asked of GET PERFORMANCE

uint16_t Saturated16(uint32_t value) { return static_cast<uint16_t>(std::min<uint32_t>(value, 0xFFFF)); }

// GET PERFORMANCE of `type` (03h write speeds, 00h nominal performance) into
// `response`, at most `descriptors` of them.
using PerformanceQuery = std::function<bool(uint8_t type, uint8_t data_type, std::span<uint8_t> response,
                                            uint16_t descriptors)>;

// Fills the zero speeds of `caps` from GET PERFORMANCE: the write speed
// descriptors (type 03h) give the maximum write and read speeds and the
// speed list when the page has none; the nominal performance (type 00h) the
// current read and write speeds. A speed the drive does not answer stays 0.
void FillSpeedsFromPerformance(TDriveCapabilities& caps, const PerformanceQuery& get_performance) {
  std::vector<uint8_t> response(kPerfHeaderLength + kMostWriteSpeeds * kPerfDescriptorLength);
  uint32_t max_read = 0, max_write = 0;
  if (get_performance(0x03, 0x00, response, kMostWriteSpeeds)) {
    const bool list_missing = caps.WriteSpeeds.empty();
    for (const TPerformanceSpeed& speed : ParseWriteSpeedDescriptors(response, kMostWriteSpeeds)) {
      max_read = std::max(max_read, speed.ReadSpeed);
      max_write = std::max(max_write, speed.WriteSpeed);
      if (list_missing) caps.WriteSpeeds.push_back({speed.RotationControl, Saturated16(speed.WriteSpeed)});
    }
  }
  // Nominal performance, tolerance 10b; the Write bit chooses the direction.
  const auto nominal = [&](bool write) -> uint32_t {
    std::fill(response.begin(), response.end(), 0);
    if (!get_performance(0x00, write ? 0x14 : 0x10, response, 1)) return 0;
    return ParseNominalPerformance(response);
  };
  const uint32_t current_read = nominal(false);
  const uint32_t current_write = nominal(true);
  if (max_read == 0) max_read = current_read;
  if (caps.MaxReadSpeed == 0) caps.MaxReadSpeed = Saturated16(max_read);
  if (caps.CurrentReadSpeed == 0) caps.CurrentReadSpeed = Saturated16(current_read);
  if (caps.MaxWriteSpeed == 0) caps.MaxWriteSpeed = Saturated16(max_write);
  if (caps.CurrentWriteSpeed == 0) caps.CurrentWriteSpeed = Saturated16(current_write);
}

}  // namespace

TDriveCapabilities TSCSIDevice::DriveCapabilities() const {
  TDriveCapabilities caps = drive_capabilities_;
  caps.Media = Capabilities;
  caps.WriteTypes = SupportedWriteTypes;
  return caps;
}

TDiscInformation TSCSIDevice::DiscInformation() const { return ParseDiscInformation(DiscInfoBuffer); }

bool TSCSIDevice::ReadProfiles(std::vector<uint16_t>& Profiles, uint16_t& Current) {
  uint8_t response[252] = {};
  Profiles.clear();
  Current = 0;
  if (!GetConfiguration(2, kFeatureProfileList, sizeof(response), response)) return false;
  Current = ParseConfiguration(response).CurrentProfile;
  Profiles = ParseProfileList(response);
  return true;
}

// ---- Capabilities -----------------------------------------------------------

bool TSCSIDevice::HasUnderrunPage() {
  uint8_t response[128 + 1];
  if (!ModeSense(0x30, response, /*Defaults=*/false, 128, 128)) return false;
  return response[16] == 0x30 || response[8] == 0x30 || response[7] == 0x30;
}

bool TSCSIDevice::ReadCapabilities() {
  Capabilities = 0;
  DeviceMaxWriteSpeed = 0;
  DeviceMaxReadSpeed = 0;
  drive_capabilities_ = {};
  std::memset(CapabilitiesPage, 0, sizeof(CapabilitiesPage));

  // A mode sense response is at most 255 bytes here: the page fits in the copy.
  uint8_t response[256] = {};
  int page_at = 8;
  size_t page_length = 0;  // bytes of the page the drive sent
  auto copy_page = [&](int length) {
    const int available = length - page_at;
    page_length = available > 0 ? static_cast<size_t>(available) : 0;
    if (available > 0) std::memcpy(CapabilitiesPage, response + page_at, page_length);
  };
  auto page = [&] { return std::span<const uint8_t>(CapabilitiesPage, page_length); };

  if (ModeSense(0x2A, response, /*Defaults=*/true, 255, 255)) {
    page_at = FindPage(response, 0x2A, 8);
    copy_page(255);
    const TDriveCapabilities defaults = ParseCapabilitiesPage(page());
    Capabilities = defaults.Media & ~capUnderrunProtection;
    if (defaults.Has(capUnderrunProtection) || HasUnderrunPage() || UnderrunCapableModel) {
      Capabilities |= capUnderrunProtection;
    }
    const bool ram_writer = defaults.Has(capWriteDvdRam);
    DeviceMaxWriteSpeed = defaults.MaxWriteSpeed != 0 ? defaults.MaxWriteSpeed : (ram_writer ? 1 : 0);
    DeviceMaxReadSpeed = defaults.MaxReadSpeed != 0 ? defaults.MaxReadSpeed : (ram_writer ? 1 : 0);

    // Features that the capabilities page predates.
    struct FeatureBits {
      uint16_t feature;
      uint32_t read_bits, write_bits;
    };
    static constexpr FeatureBits kFeatures[] = {
        {0x2A, capReadDvdPlusR | capReadDvdPlusRw, capWriteDvdPlusR | capWriteDvdPlusRw},
        {0x3B, capReadDvdPlusRDl, capWriteDvdPlusRDl},
        {0x2F, capReadDvdR | capReadDvdRw, capWriteDvdR | capWriteDvdRw},
    };
    for (const auto& f : kFeatures) {
      std::memset(ConfigBuffer, 0, sizeof(ConfigBuffer));
      if (!GetConfiguration(2, f.feature, sizeof(ConfigBuffer), ConfigBuffer)) continue;
      const TConfiguration config = ParseConfiguration(ConfigBuffer);
      if (config.FirstFeature != f.feature) continue;
      Capabilities |= f.read_bits;
      // The first data byte: 1 when the drive writes the medium.
      if (!config.FirstFeatureData.empty() && config.FirstFeatureData[0] == 1) Capabilities |= f.write_bits;
    }
  }

  std::memset(response, 0, sizeof(response));
  if (!ModeSense(0x2A, response, /*Defaults=*/false, 128, 128)) return false;
  for (int at : {16, 8, 7}) {
    if ((response[at] & 0x3F) == 0x2A) {
      page_at = at;
      break;
    }
  }
  std::memset(CapabilitiesPage, 0, sizeof(CapabilitiesPage));
  copy_page(128);
  TDriveCapabilities current = ParseCapabilitiesPage(page());

  // MMC-5 made the page's speed fields obsolete: a drive of its generation
  // leaves them zero and gives its speeds through GET PERFORMANCE.
  if (current.MaxReadSpeed == 0 || current.CurrentReadSpeed == 0 || current.MaxWriteSpeed == 0 ||
      current.CurrentWriteSpeed == 0) {
    const auto get_performance = [this](uint8_t type, uint8_t data_type, std::span<uint8_t> buffer,
                                        uint16_t descriptors) {
      Cdb cdb(0xAC, 12);  // GET PERFORMANCE: data type 1, maximum descriptors 8-9, type 10
      cdb.Byte(1, data_type).Be16(8, descriptors).Byte(10, type);
      const uint32_t length = static_cast<uint32_t>(kPerfHeaderLength + descriptors * kPerfDescriptorLength);
      return length <= buffer.size() && RunCommand(cdb, kFlagsIn, buffer.data(), length, 10000);
    };
    FillSpeedsFromPerformance(current, get_performance);
  }

  // A drive that reports no write speed gets 1x DVD.
  if (current.CurrentWriteSpeed == 0) current.CurrentWriteSpeed = kDefaultWriteSpeed;
  if (current.MaxWriteSpeed == 0) current.MaxWriteSpeed = kDefaultWriteSpeed;
  DeviceMaxWriteSpeed = std::max(DeviceMaxWriteSpeed, current.MaxWriteSpeed);
  DeviceMaxReadSpeed = std::max(DeviceMaxReadSpeed, current.MaxReadSpeed);
  drive_capabilities_ = std::move(current);
  return true;
}

uint16_t TSCSIDevice::GetMaxWriteSpeed() { return ReadCapabilities() ? drive_capabilities_.MaxWriteSpeed : 0; }
uint16_t TSCSIDevice::GetMaxReadSpeed() { return ReadCapabilities() ? drive_capabilities_.MaxReadSpeed : 0; }
uint16_t TSCSIDevice::GetCurrentWriteSpeed() {
  return ReadCapabilities() ? drive_capabilities_.CurrentWriteSpeed : 0;
}

void TSCSIDevice::ReadDeviceName() {
  ReadCapabilities();
  if (!Inquiry()) {
    DeviceName = LastError;
    return;
  }
  DeviceType = InquiryData[0];
  for (int i = 8; i <= 55; ++i) {
    if (InquiryData[i] < 0x20) InquiryData[i] = ' ';
  }
  const char* text = reinterpret_cast<const char*>(InquiryData);
  DeviceName = std::string(text + 8, 8) + " " + std::string(text + 16, 16) + " " + std::string(text + 32, 4);
}

// ---- The disc ---------------------------------------------------------------

TDiscKind TSCSIDevice::GetDiscType() {
  TDiscKind kind = dkUnknown;
  std::memset(ConfigBuffer, 0, sizeof(ConfigBuffer));
  if (GetConfiguration(2, 0, sizeof(ConfigBuffer), ConfigBuffer)) {
    kind = DiscKindOfProfile(ParseConfiguration(ConfigBuffer).CurrentProfile);
  }
  if (kind == dkUnknown) {
    std::memset(AtipBuffer, 0, sizeof(AtipBuffer));
    if (ReadTocPmaAtip(kTocFormatAtip, AtipBuffer, 0, /*Msf=*/true, 0, sizeof(AtipBuffer))) {
      const TAtip atip = ParseAtip(AtipBuffer);
      if (atip.Valid) {
        kind = atip.Rewritable ? dkCdRw : dkCdR;
      } else {
        kind = dkCdRom;
      }
    }
  }
  if (kind == dkUnknown && ReadDiscInfo()) kind = DiscInformation().Erasable ? dkCdRw : dkCdR;
  if (kind == dkUnknown && TestUnitReady(5000)) kind = dkCdRom;
  return kind;
}

TDiscKind TSCSIDevice::NoteDiscKind() {
  const TDiscKind kind = GetDiscType();
  recorded_disc_kind_ = kind;
  return kind;
}

bool TSCSIDevice::IsDiscErasable() {
  if (ReadDiscInfo()) return DiscInformation().Erasable;
  // Without the disc information: the DVD kinds that can be erased.
  const TDiscKind kind = NoteDiscKind();
  return IsDvdKind(kind) && IsErasableKind(kind);
}

int TSCSIDevice::GetDiscStatus() { return ReadDiscInfo() ? DiscInformation().DiscStatus : -1; }

// Number of sessions: READ DISC INFORMATION keeps the high byte of the count
// apart (byte 9), so a disc with 255 closed sessions and an empty 256th does
// not wrap to 0.
int TSCSIDevice::GetSessionCount() {
  if (!ReadDiscInfo()) return 0;
  const TDiscInformation info = DiscInformation();
  if (info.DiscStatus == 0) return 0;
  int count = info.Sessions;
  if (info.LastSessionState == 0 && count > 0) --count;
  return count;
}

uint16_t TSCSIDevice::LastTrackOfLastSession() const { return DiscInformation().LastTrackInLastSession; }

void TSCSIDevice::GetDiscInfo(TDisc& Disc) {
  TDisc disc;
  disc.Ready = TestUnitReady(5000);
  if (!disc.Ready) {
    WaitUntilReady(3000, 5000);
    disc.Ready = TestUnitReady(5000);
    if (!disc.Ready) return;
  }

  uint8_t toc[114] = {};
  if (ReadTocPmaAtip(kTocFormatTracks, toc, 0, /*Msf=*/false, 0, sizeof(toc))) {
    const uint8_t last_track = ParseToc(toc).Last;
    std::memset(toc, 0, sizeof(toc));
    ReadTocPmaAtip(kTocFormatTracks, toc, 0, /*Msf=*/false, last_track, sizeof(toc));
  }
  uint8_t sessions[4] = {};
  if (ReadTocPmaAtip(kTocFormatSessions, sessions, 0, /*Msf=*/false, 0, sizeof(sessions))) {
    const TMultisessionInfo info = ParseMultisessionInfo(sessions);
    disc.FirstSession = info.FirstSession;
    disc.LastSession = info.LastSession;
  }
  std::memset(AtipBuffer, 0, sizeof(AtipBuffer));
  if (ReadTocPmaAtip(kTocFormatAtip, AtipBuffer, 0, /*Msf=*/true, 0, sizeof(AtipBuffer))) {
    disc.Capacity = ParseAtip(AtipBuffer).LeadOutStart;
  }
  disc.TypeName = "CD-ROM";

  TDiscKind kind = dkUnknown;
  std::memset(ConfigBuffer, 0, sizeof(ConfigBuffer));
  if (GetConfiguration(2, 0, sizeof(ConfigBuffer), ConfigBuffer)) {
    disc.Profile = ParseConfiguration(ConfigBuffer).CurrentProfile;
    disc.TypeName = ProfileTypeName(disc.Profile);
    disc.Erasable = ErasableProfile(disc.Profile);
    kind = DiscKindOfProfile(disc.Profile);
  }
  if (ReadTrackInformation(IsCdKind(kind) ? 255 : 1)) {
    disc.Size = TrackInfo.NextWritable;
    disc.Capacity = TrackInfo.NextWritable + TrackInfo.FreeBlocks;
    disc.BlockLength = 2048;
    ReadDiscInfo();
  } else {
    uint32_t blocks = 0, block_length = 0;
    if (ReadFormatCapacities(blocks, block_length)) {
      disc.Size = blocks;
      disc.BlockLength = block_length;
    }
    if (disc.Size > disc.Capacity) disc.Capacity = disc.Size;
  }

  if (ReadDiscInfo()) {
    const TDiscInformation info = DiscInformation();
    disc.DiscStatus = info.DiscStatus;
    disc.LastSessionState = info.LastSessionState;
    disc.Erasable = info.Erasable;
  } else {
    uint32_t last_lba = 0, block_length = 0;
    if (ReadCapacity(last_lba, block_length)) {
      disc.Size = last_lba;
      disc.BlockLength = block_length;
    }
    if (ReadTrackInformation(0)) disc.TypeName = "CD-ROM";
  }
  if (disc.Size > disc.Capacity) disc.Capacity = disc.Size;
  Disc = disc;
}

uint32_t TSCSIDevice::GetIsoVolumeSize() {
  uint8_t block[2048] = {};
  for (uint32_t lba = 16; lba <= 32; ++lba) {
    if (!Read10(lba, 1, block, sizeof(block))) continue;
    if (std::memcmp(block + 1, "CD001", 5) == 0 && (block[0] == 1 || block[0] == 2)) {
      return GetLe32(std::span<const uint8_t>(block, sizeof(block)), 80);
    }
  }
  return 0;
}

// The size queries start alike: the kind of the disc, the write parameters
// sent as for a closing session (some drives report the free space of the
// write type in force), and the disc information.
TDiscKind TSCSIDevice::PrepareSizeQuery() {
  const TDiscKind kind = GetDiscType();
  // Nothing recorded the disc's kind yet (no erase, layout or write ran):
  // use the one just found rather than send a CD page to a DVD.
  if (RecordedDiscKind() == dkUnknown) recorded_disc_kind_ = kind;
  SetWriteParameters(/*TestWriteOn=*/false, UnderrunProtection, /*CloseFlag=*/true, RecordedDiscKind(), TDiscFinalize::kFinalize);
  // No last track when the disc information cannot be read.
  DiscInfoBuffer[kDiLastTrackInLastLsb] = 0;
  DiscInfoBuffer[kDiLastTrackInLastMsb] = 0;
  ReadDiscInfo();
  return kind;
}

uint32_t TSCSIDevice::GetNextWritableAddress() {
  const TDiscKind kind = PrepareSizeQuery();
  const uint16_t last_track = LastTrackOfLastSession();

  if (IsCdKind(kind)) {
    const int n = GetSessionCount() + 1;
    uint32_t r = 0;
    if (ReadTrackInformation(static_cast<uint16_t>(n))) {
      r = TrackInfo.NextWritable != kNoAddress ? TrackInfo.NextWritable : TrackInfo.TrackSize;
      if (n == 1 || r != 0) return r;
    }
    uint32_t last_lba = 0, block_length = 0;
    if (ReadCapacity(last_lba, block_length)) {
      if (last_lba <= 0x7F000000) return last_lba;
      uint32_t blocks = 0;
      return ReadFormatCapacities(blocks, block_length) ? blocks : 0;
    }
    if (ReadTrackInformation(static_cast<uint16_t>(n))) return TrackInfo.FreeBlocks;
    return r;
  }

  if (!ReadTrackInformation(last_track)) return 0;
  if (TrackInfo.TrackSize == kNoAddress) return 0;
  if (IsDvdRwKind(kind)) {
    uint32_t blocks = 0, block_length = 0;
    if (ReadFormatCapacities(blocks, block_length)) {
      return TrackInfo.TrackSize == TrackInfo.FreeBlocks ? 0 : TrackInfo.TrackSize;
    }
    return TrackInfo.NextWritable;
  }
  // The other overwritable discs (DVD+RW, DVD-RAM): the volume they hold.
  if (IsOverwritableKind(kind)) return GetIsoVolumeSize();
  return TrackInfo.NextWritable;
}

uint32_t TSCSIDevice::GetFreeBlocks() {
  const TDiscKind kind = PrepareSizeQuery();
  const uint16_t last_track = LastTrackOfLastSession();

  if (IsCdKind(kind)) {
    SetWriteParameters(/*TestWriteOn=*/false, UnderrunProtection, /*CloseFlag=*/true, RecordedDiscKind(), TDiscFinalize::kFinalize);
    if (GetDiscStatus() == 2) return 0;
    ReadDiscInfo();
    const uint16_t track = LastTrackOfLastSession();
    if (!ReadTrackInformation(track) && !ReadTrackInformation(track)) return 0;
    return std::max(TrackInfo.FreeBlocks, TrackInfo.TrackSize);
  }

  if (!ReadTrackInformation(last_track)) return 0;
  if (kind == dkDvdRwRestricted) {
    if (TrackInfo.NextWritable != 0) return TrackInfo.FreeBlocks;
    const uint32_t free_blocks = TrackInfo.FreeBlocks, track_size = TrackInfo.TrackSize;
    uint32_t blocks = 0, block_length = 0;
    if (ReadFormatCapacities(blocks, block_length)) {
      if (free_blocks == track_size) return free_blocks;
      return blocks > track_size ? blocks - track_size : 0;
    }
  } else if (IsOverwritableKind(kind)) {  // DVD+RW, DVD-RAM
    const uint32_t track_size = TrackInfo.TrackSize;
    const uint32_t used = GetIsoVolumeSize();
    return used < track_size ? track_size - used : 0;
  }
  if (TrackInfo.TrackSize == kNoAddress) return 0;
  if (TrackInfo.LastRecorded == 0) return TrackInfo.TrackSize;
  return TrackInfo.FreeBlocks;
}

uint32_t TSCSIDevice::GetDiscCapacity() {
  const TDiscKind kind = PrepareSizeQuery();
  const uint16_t last_track = LastTrackOfLastSession();

  if (IsCdKind(kind)) {
    const int s = GetSessionCount();
    uint32_t result = 0;
    std::memset(AtipBuffer, 0, sizeof(AtipBuffer));
    uint32_t blocks = 0, block_length = 0;
    if (ReadTocPmaAtip(kTocFormatAtip, AtipBuffer, 0, /*Msf=*/true, 0, sizeof(AtipBuffer))) {
      // The lead-out the ATIP announces: 79:59:74 on an 80-minute disc is
      // block 359,849, the disc's last block + 1.
      result = ParseAtip(AtipBuffer).LeadOutStart;
      uint32_t last_lba = 0;
      if (result < 20000 && ReadCapacity(last_lba, block_length) && last_lba > result) result = last_lba;
    } else if (ReadFormatCapacities(blocks, block_length)) {
      result = blocks;
      if (result == 0xFFFD0001) {
        // An unusable answer: the track after the last session tells instead.
        if (ReadTrackInformation(static_cast<uint16_t>(s + 1))) {
          result = TrackInfo.FreeBlocks + TrackInfo.TrackStart;
        } else if (ReadTrackInformation(static_cast<uint16_t>(s))) {
          result = TrackInfo.FreeBlocks + TrackInfo.TrackStart;
        } else {
          result = 0;
        }
      }
    } else {
      if (ReadTrackInformation(static_cast<uint16_t>(s))) return TrackInfo.FreeBlocks + TrackInfo.TrackStart;
      if (ReadFormatCapacities(blocks, block_length)) return blocks;
      return 0;
    }
    if (result == kNoAddress) result = GetNextWritableAddress();
    return result;
  }

  if (!ReadTrackInformation(last_track)) return 0;
  const uint32_t free_blocks = TrackInfo.FreeBlocks, next_writable = TrackInfo.NextWritable;
  // A closed disc's last track takes no more data and its next writable
  // address field means nothing (0 on most drives): the disc ends with it.
  const uint32_t track_end = TrackInfo.NextWritableValid() ? 0 : TrackInfo.TrackStart + TrackInfo.TrackSize;
  if (IsOverwritableKind(kind)) {
    uint32_t blocks = 0, block_length = 0;
    if (ReadFormatCapacities(blocks, block_length)) return blocks;
  }
  if (track_end != 0) return track_end;
  return free_blocks + next_writable;
}

}  // namespace zamo
