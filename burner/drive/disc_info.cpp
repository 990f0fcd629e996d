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
#include <vector>

#include "burner/drive/scsi_device.h"
#include "burner/platform/byte_order.h"

namespace zamo {

std::atomic<uint8_t> RecordedDiscKind{dkUnknown};

namespace {

constexpr uint32_t kNoAddress = 0xFFFFFFFF;
constexpr uint16_t kDefaultWriteSpeed = 1385;  // 1x DVD, in KB/s, for drives that report 0

// Offsets of the five 16-bit fields of the capabilities page.
constexpr int kMaxReadSpeedAt = 8, kBufferSizeAt = 12, kCurrentReadSpeedAt = 14, kMaxWriteSpeedAt = 18,
              kCurrentWriteSpeedAt = 20;

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

// Where a mode page starts in a MODE SENSE (10) response: after the 8-byte
// header, after a block descriptor (16), or at 7 for drives that drop a byte.
int FindPage(const uint8_t* response, uint8_t page, int fallback) {
  for (int at : {16, 8, 7}) {
    if ((response[at] & 0x3F) == page) return at;
  }
  return fallback;
}

struct ProfileName {
  uint16_t profile;
  const char* name;
};
constexpr ProfileName kProfileNames[] = {
    {0x01, "Non-removable disk"},
    {0x02, "Removable disk"},
    {0x03, "MO Eraseable"},
    {0x04, "MO Write Once"},
    {0x05, "AS-MO"},
    {0x08, "CD-ROM"},
    {0x09, "CD-R"},
    {0x0A, "CD-RW"},
    {0x10, "DVD-ROM"},
    {0x11, "DVD-R"},
    {0x12, "DVD-RAM"},
    {0x13, "DVD-RW Restricted Overwrite"},
    {0x14, "DVD-RW Sequential Recording"},
    {0x1A, "DVD+RW"},
    {0x1B, "DVD+R"},
    {0x20, "DDCD-ROM"},
    {0x21, "DDCD-R"},
    {0x22, "DDCD-RW"},
};

const char* ProfileTypeName(uint16_t profile) {
  for (const auto& entry : kProfileNames) {
    if (entry.profile == profile) return entry.name;
  }
  return "???????";
}

bool ErasableProfile(uint16_t profile) {
  switch (profile) {
    case 0x03:
    case 0x0A:
    case 0x13:
    case 0x14:
    case 0x1A:
    case 0x22:
      return true;
    default:
      return false;
  }
}

// The start of the lead-out that the ATIP announces, as a logical block
// address: MSF 00:02:00 is LBA 0, so the 150 sectors before it do not count
// (79:59:74 on an 80-minute disc is LBA 359,849, the disc's last block + 1).
uint32_t LeadOutLba(const uint8_t* atip) {
  const uint32_t frames = TSCSIDevice::MsfToLba(0, atip[12], atip[13], atip[14]);
  return frames >= 150 ? frames - 150 : 0;
}

// GET PERFORMANCE (MMC-5 6.8): an 8-byte header (data length in bytes 0-3),
// then 16-byte descriptors.
constexpr uint32_t kPerformanceHeader = 8, kPerformanceDescriptor = 16;
constexpr uint16_t kMostWriteSpeeds = 32;
constexpr int kSpeedCountAt = 30, kSpeedDescriptorsAt = 32;

uint32_t Be32(const uint8_t* p) { return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]; }

// A 16-bit big-endian field of the page, saturated.
void PutSpeed(uint8_t* p, uint32_t value) {
  value = std::min<uint32_t>(value, 0xFFFF);
  p[0] = static_cast<uint8_t>(value >> 8);
  p[1] = static_cast<uint8_t>(value);
}

// Descriptors a GET PERFORMANCE response holds, within what was asked for.
uint32_t PerformanceDescriptors(const uint8_t* response, uint32_t asked) {
  const uint32_t length = Be32(response);
  return length < 4 ? 0 : std::min((length - 4) / kPerformanceDescriptor, asked);
}

// Fills the zero speed fields of a capabilities page (big-endian, as the
// drive sent it) from GET PERFORMANCE: the write speed descriptors (type
// 03h) give the maximum write and read speeds and the page's speed list when
// it has none; the nominal performance (type 00h) the current read and write
// speeds. A field the drive does not answer stays zero.
void FillSpeedsFromPerformance(
    uint8_t* page, const std::function<bool(uint8_t type, uint8_t data_type, uint8_t* buffer, uint16_t descriptors)>&
                       get_performance) {
  std::vector<uint8_t> response(kPerformanceHeader + kMostWriteSpeeds * kPerformanceDescriptor);
  uint32_t max_read = 0, max_write = 0;
  if (get_performance(0x03, 0x00, response.data(), kMostWriteSpeeds)) {
    const uint32_t count = PerformanceDescriptors(response.data(), kMostWriteSpeeds);
    const bool list_missing = Be16(page + kSpeedCountAt) == 0;
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t* descriptor = response.data() + kPerformanceHeader + i * kPerformanceDescriptor;
      max_read = std::max(max_read, Be32(descriptor + 8));
      max_write = std::max(max_write, Be32(descriptor + 12));
      if (list_missing) {  // the page's 4-byte descriptors: rotation control, speed
        uint8_t* entry = page + kSpeedDescriptorsAt + 4 * i;
        entry[1] = static_cast<uint8_t>((descriptor[0] >> 3) & 0x03);
        PutSpeed(entry + 2, Be32(descriptor + 12));
      }
    }
    if (list_missing) PutSpeed(page + kSpeedCountAt, count);
  }
  // Nominal performance, tolerance 10b; the Write bit chooses the direction.
  const auto nominal = [&](bool write) -> uint32_t {
    std::fill(response.begin(), response.end(), 0);
    if (!get_performance(0x00, write ? 0x14 : 0x10, response.data(), 1)) return 0;
    if (PerformanceDescriptors(response.data(), 1) == 0) return 0;
    return Be32(response.data() + kPerformanceHeader + 12);  // end performance, KB/s
  };
  const uint32_t current_read = nominal(false);
  const uint32_t current_write = nominal(true);
  if (max_read == 0) max_read = current_read;
  if (Be16(page + kMaxReadSpeedAt) == 0) PutSpeed(page + kMaxReadSpeedAt, max_read);
  if (Be16(page + kCurrentReadSpeedAt) == 0) PutSpeed(page + kCurrentReadSpeedAt, current_read);
  if (Be16(page + kMaxWriteSpeedAt) == 0) PutSpeed(page + kMaxWriteSpeedAt, max_write);
  if (Be16(page + kCurrentWriteSpeedAt) == 0) PutSpeed(page + kCurrentWriteSpeedAt, current_write);
}

}  // namespace

const char* DiscKindName(TDiscKind kind) {
  static const char* const kNames[] = {"UNKNOWN", "CD-ROM", "CD-R",   "CD-RW",  "DVD-ROM", "DVD-R",
                                       "DVD-RAM", "DVD-RW", "DVD-RW", "DVD-RW", "DVD+RW",  "DVD+R",
                                       "DVD+R DL", "DDCD-ROM", "DDCD-R", "DDCD-RW"};
  return kind <= dkDdcdRw ? kNames[kind] : kNames[0];
}

TDiscKind DiscKindOfProfile(uint16_t profile) {
  switch (profile) {
    case 0x08: return dkCdRom;
    case 0x09: return dkCdR;
    case 0x0A: return dkCdRw;
    case 0x10: return dkDvdRom;
    case 0x11: return dkDvdR;
    case 0x12: return dkDvdRam;
    case 0x13: return dkDvdRwRestricted;
    case 0x14: return dkDvdRwSequential;
    case 0x1A: return dkDvdPlusRw;
    case 0x1B: return dkDvdPlusR;
    case 0x2B: return dkDvdPlusRDl;
    case 0x20: return dkDdcdRom;
    case 0x21: return dkDdcdR;
    case 0x22: return dkDdcdRw;
    default: return dkUnknown;
  }
}

uint16_t TSCSIDevice::CapabilitiesWord(int offset) const {
  uint16_t value;
  std::memcpy(&value, CapabilitiesPage + offset, 2);
  return value;
}

const char* TSCSIDevice::ProfileName(uint16_t Profile) {
  if (Profile == 0x2B) return "DVD+R DL";
  return ProfileTypeName(Profile);
}

bool TSCSIDevice::ReadProfiles(std::vector<uint16_t>& Profiles, uint16_t& Current) {
  uint8_t response[252] = {};
  Profiles.clear();
  Current = 0;
  if (!GetConfiguration(2, 0, sizeof(response), response)) return false;
  Current = Be16(response + 6);
  if (Be16(response + 8) != 0) return true;  // no profile-list feature
  const int additional = response[11];
  for (int at = 12; at + 4 <= 12 + additional && at + 4 <= static_cast<int>(sizeof(response)); at += 4) {
    Profiles.push_back(Be16(response + at));
  }
  return true;
}

// ---- Capabilities -----------------------------------------------------------

bool TSCSIDevice::HasUnderrunPage() {
  uint8_t response[128 + 1];
  if (!ModeSense(0x30, response, false, 128, 128)) return false;
  return response[16] == 0x30 || response[8] == 0x30 || response[7] == 0x30;
}

bool TSCSIDevice::ReadCapabilities() {
  Capabilities = 0;
  DeviceMaxWriteSpeed = 0;
  DeviceMaxReadSpeed = 0;
  std::memset(CapabilitiesPage, 0, sizeof(CapabilitiesPage));

  // A mode sense response is at most 255 bytes here: the page fits in the copy.
  uint8_t response[256] = {};
  int page_at = 8;
  auto copy_page = [&](int length) {
    const int available = length - page_at;
    if (available > 0) std::memcpy(CapabilitiesPage, response + page_at, static_cast<size_t>(available));
  };

  if (ModeSense(0x2A, response, true, 255, 255)) {
    page_at = FindPage(response, 0x2A, 8);
    copy_page(255);
    const uint8_t reads = CapabilitiesPage[2];
    const uint8_t writes = CapabilitiesPage[3];
    if (reads & 0x01) Capabilities |= capReadCdR;
    if (reads & 0x02) Capabilities |= capReadCdRw;
    if (reads & 0x04) Capabilities |= capReadMethod2;
    if (reads & 0x08) Capabilities |= capReadDvdRom;
    if (reads & 0x10) Capabilities |= capReadDvdR | capReadDvdRw;
    if (reads & 0x20) Capabilities |= capReadDvdRam;
    if (writes & 0x01) Capabilities |= capWriteCdR;
    if (writes & 0x02) Capabilities |= capWriteCdRw;
    if (writes & 0x04) Capabilities |= capTestWrite;
    if (writes & 0x10) Capabilities |= capWriteDvdR | capWriteDvdRw;
    if (writes & 0x20) Capabilities |= capWriteDvdRam;
    if ((CapabilitiesPage[4] & 0x80) || HasUnderrunPage() || UnderrunCapableModel) {
      Capabilities |= capUnderrunProtection;
    }
    const bool ram_writer = (writes & 0x20) != 0;
    const uint16_t max_write = Be16(CapabilitiesPage + kMaxWriteSpeedAt);
    const uint16_t max_read = Be16(CapabilitiesPage + kMaxReadSpeedAt);
    DeviceMaxWriteSpeed = max_write != 0 ? max_write : (ram_writer ? 1 : 0);
    DeviceMaxReadSpeed = max_read != 0 ? max_read : (ram_writer ? 1 : 0);

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
      if (Be16(ConfigBuffer + 8) != f.feature) continue;
      Capabilities |= f.read_bits;
      if (ConfigBuffer[12] == 1) Capabilities |= f.write_bits;
    }
  }

  std::memset(response, 0, sizeof(response));
  if (!ModeSense(0x2A, response, false, 128, 128)) return false;
  for (int at : {16, 8, 7}) {
    if ((response[at] & 0x3F) == 0x2A) {
      page_at = at;
      break;
    }
  }
  std::memset(CapabilitiesPage, 0, sizeof(CapabilitiesPage));
  copy_page(128);

  // MMC-5 made the page's speed fields obsolete: a drive of its generation
  // leaves them zero and gives its speeds through GET PERFORMANCE.
  const bool obsolete_speeds = Be16(CapabilitiesPage + kMaxReadSpeedAt) == 0 ||
                               Be16(CapabilitiesPage + kCurrentReadSpeedAt) == 0 ||
                               Be16(CapabilitiesPage + kMaxWriteSpeedAt) == 0 ||
                               Be16(CapabilitiesPage + kCurrentWriteSpeedAt) == 0;
  if (obsolete_speeds) {
    const auto get_performance = [this](uint8_t type, uint8_t data_type, uint8_t* buffer, uint16_t descriptors) {
      const uint8_t cdb[12] = {0xAC, data_type, 0, 0, 0, 0, 0, 0, static_cast<uint8_t>(descriptors >> 8),
                               static_cast<uint8_t>(descriptors), type, 0};
      return RunCommand(cdb, sizeof cdb, kFlagsIn, buffer, kPerformanceHeader + descriptors * kPerformanceDescriptor,
                        10000);
    };
    FillSpeedsFromPerformance(CapabilitiesPage, get_performance);
  }

  if (Be16(CapabilitiesPage + kCurrentWriteSpeedAt) == 0 || Be16(CapabilitiesPage + kMaxWriteSpeedAt) == 0) {
    // A drive that reports no write speed gets 1x DVD for both.
    for (int at : {kCurrentWriteSpeedAt, kMaxWriteSpeedAt}) {
      if (Be16(CapabilitiesPage + at) == 0) {
        CapabilitiesPage[at] = kDefaultWriteSpeed >> 8;
        CapabilitiesPage[at + 1] = kDefaultWriteSpeed & 0xFF;
      }
    }
  }
  for (int at : {kCurrentWriteSpeedAt, kMaxWriteSpeedAt, kCurrentReadSpeedAt, kMaxReadSpeedAt, kBufferSizeAt}) {
    const uint16_t host = Be16(CapabilitiesPage + at);
    std::memcpy(CapabilitiesPage + at, &host, 2);
  }
  DeviceMaxWriteSpeed = std::max(DeviceMaxWriteSpeed, CapabilitiesWord(kMaxWriteSpeedAt));
  DeviceMaxReadSpeed = std::max(DeviceMaxReadSpeed, CapabilitiesWord(kMaxReadSpeedAt));
  return true;
}

uint16_t TSCSIDevice::GetMaxWriteSpeed() { return ReadCapabilities() ? CapabilitiesWord(kMaxWriteSpeedAt) : 0; }
uint16_t TSCSIDevice::GetMaxReadSpeed() { return ReadCapabilities() ? CapabilitiesWord(kMaxReadSpeedAt) : 0; }
uint16_t TSCSIDevice::GetCurrentWriteSpeed() {
  return ReadCapabilities() ? CapabilitiesWord(kCurrentWriteSpeedAt) : 0;
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
  if (GetConfiguration(2, 0, sizeof(ConfigBuffer), ConfigBuffer)) kind = DiscKindOfProfile(Be16(ConfigBuffer + 6));
  if (kind == dkUnknown) {
    std::memset(AtipBuffer, 0, sizeof(AtipBuffer));
    if (ReadTocPmaAtip(4, AtipBuffer, 0, true, 0, sizeof(AtipBuffer))) {
      if (AtipBuffer[6] & 0x80) {
        kind = (AtipBuffer[6] & 0x40) ? dkCdRw : dkCdR;
      } else {
        kind = dkCdRom;
      }
    }
  }
  if (kind == dkUnknown && ReadDiscInfo()) kind = (DiscInfoBuffer[2] & 0x10) ? dkCdRw : dkCdR;
  if (kind == dkUnknown && TestUnitReady(5000)) kind = dkCdRom;
  return kind;
}

bool TSCSIDevice::IsDiscErasable() {
  if (ReadDiscInfo()) return (DiscInfoBuffer[2] & 0x10) != 0;
  const TDiscKind kind = GetDiscType();
  RecordedDiscKind = kind;
  return kind == dkDvdRam || kind == dkDvdRwRestricted || kind == dkDvdRwSequential || kind == dkDvdPlusRw;
}

int TSCSIDevice::GetDiscStatus() { return ReadDiscInfo() ? (DiscInfoBuffer[2] & 0x03) : -1; }

// Number of sessions: READ DISC INFORMATION keeps the high byte of the count
// apart (byte 9), so a disc with 255 closed sessions and an empty 256th does
// not wrap to 0.
int TSCSIDevice::GetSessionCount() {
  if (!ReadDiscInfo()) return 0;
  if ((DiscInfoBuffer[2] & 0x03) == 0) return 0;
  int count = DiscInfoBuffer[9] << 8 | DiscInfoBuffer[4];
  if (((DiscInfoBuffer[2] >> 2) & 0x03) == 0 && count > 0) --count;
  return count;
}

uint16_t TSCSIDevice::LastTrackOfLastSession() const {
  return static_cast<uint16_t>(DiscInfoBuffer[11] << 8 | DiscInfoBuffer[6]);
}

void TSCSIDevice::GetDiscInfo(TDisc& Disc) {
  TDisc disc;
  disc.Ready = TestUnitReady(5000);
  if (!disc.Ready) {
    WaitUntilReady(3000, 5000);
    disc.Ready = TestUnitReady(5000);
    if (!disc.Ready) return;
  }

  uint8_t toc[114] = {};
  if (ReadTocPmaAtip(0, toc, 0, false, 0, sizeof(toc))) {
    const uint8_t last_track = toc[3];
    std::memset(toc, 0, sizeof(toc));
    ReadTocPmaAtip(0, toc, 0, false, last_track, sizeof(toc));
  }
  uint8_t sessions[4] = {};
  if (ReadTocPmaAtip(1, sessions, 0, false, 0, sizeof(sessions))) {
    disc.FirstSession = sessions[2];
    disc.LastSession = sessions[3];
  }
  std::memset(AtipBuffer, 0, sizeof(AtipBuffer));
  if (ReadTocPmaAtip(4, AtipBuffer, 0, true, 0, sizeof(AtipBuffer))) {
    disc.Capacity = LeadOutLba(AtipBuffer);
  }
  disc.TypeName = "CD-ROM";

  TDiscKind kind = dkUnknown;
  std::memset(ConfigBuffer, 0, sizeof(ConfigBuffer));
  if (GetConfiguration(2, 0, sizeof(ConfigBuffer), ConfigBuffer)) {
    disc.Profile = Be16(ConfigBuffer + 6);
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
    disc.DiscStatus = DiscInfoBuffer[2] & 0x03;
    disc.LastSessionState = (DiscInfoBuffer[2] >> 2) & 0x03;
    disc.Erasable = (DiscInfoBuffer[2] & 0x10) != 0;
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
  if (RecordedDiscKind == dkUnknown) RecordedDiscKind = kind;
  const bool finalize = FinalizeDisc;
  FinalizeDisc = true;
  SetWriteParameters(false, UnderrunProtection, true, static_cast<TDiscKind>(RecordedDiscKind.load()));
  FinalizeDisc = finalize;
  DiscInfoBuffer[6] = 0;
  DiscInfoBuffer[11] = 0;
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
  switch (kind) {
    case dkDvdRwRestricted:
    case dkDvdRwSequential: {
      uint32_t blocks = 0, block_length = 0;
      if (ReadFormatCapacities(blocks, block_length)) {
        return TrackInfo.TrackSize == TrackInfo.FreeBlocks ? 0 : TrackInfo.TrackSize;
      }
      return TrackInfo.NextWritable;
    }
    case dkDvdRam:
    case dkDvdPlusRw:
      return GetIsoVolumeSize();
    default:
      return TrackInfo.NextWritable;
  }
}

uint32_t TSCSIDevice::GetFreeBlocks() {
  const TDiscKind kind = PrepareSizeQuery();
  const uint16_t last_track = LastTrackOfLastSession();

  if (IsCdKind(kind)) {
    const bool finalize = FinalizeDisc;
    FinalizeDisc = true;
    SetWriteParameters(false, UnderrunProtection, true, static_cast<TDiscKind>(RecordedDiscKind.load()));
    FinalizeDisc = finalize;
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
  } else if (kind == dkDvdRam || kind == dkDvdPlusRw) {
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
    if (ReadTocPmaAtip(4, AtipBuffer, 0, true, 0, sizeof(AtipBuffer))) {
      result = LeadOutLba(AtipBuffer);
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
  if (kind == dkDvdRam || kind == dkDvdRwRestricted || kind == dkDvdPlusRw) {
    uint32_t blocks = 0, block_length = 0;
    if (ReadFormatCapacities(blocks, block_length)) return blocks;
  }
  if (track_end != 0) return track_end;
  return free_blocks + next_writable;
}

}  // namespace zamo
