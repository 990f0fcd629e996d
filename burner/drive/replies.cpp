// replies.cpp: the drive's answers read field by field (MMC-5 6.8 GET
// PERFORMANCE, 6.6 GET CONFIGURATION, 6.22 READ DISC INFORMATION, 6.25 READ
// TOC/PMA/ATIP, 6.27 READ TRACK INFORMATION, 7.3 the capabilities page).
#include "burner/drive/replies.h"

#include <algorithm>

#include "burner/platform/byte_order.h"

namespace zamo {
namespace {

// Fields past the bytes the drive sent read as zero, as in a zeroed buffer.
uint8_t ByteAt(std::span<const uint8_t> in, size_t at) { return at < in.size() ? in[at] : 0; }
uint16_t Be16At(std::span<const uint8_t> in, size_t at) { return at + 2 <= in.size() ? GetBe16(in, at) : 0; }
uint32_t Be32At(std::span<const uint8_t> in, size_t at) { return at + 4 <= in.size() ? GetBe32(in, at) : 0; }
// A minute, second and frame as a block address; 0 when a byte is missing.
uint32_t MsfAt(std::span<const uint8_t> in, size_t at) {
  return at + 3 <= in.size() ? MsfBlock(in[at], in[at + 1], in[at + 2]) : 0;
}

// The media bits of the read (byte 2) and write (byte 3) abilities and the
// BUF bit of byte 4.
uint32_t PageMediaBits(std::span<const uint8_t> page) {
  struct Bit {
    size_t byte;
    uint8_t mask;
    uint32_t caps;
  };
  static constexpr Bit kBits[] = {
      {kCapReads, 0x01, capReadCdR},
      {kCapReads, 0x02, capReadCdRw},
      {kCapReads, 0x04, capReadMethod2},
      {kCapReads, 0x08, capReadDvdRom},
      {kCapReads, 0x10, capReadDvdR | capReadDvdRw},
      {kCapReads, 0x20, capReadDvdRam},
      {kCapWrites, 0x01, capWriteCdR},
      {kCapWrites, 0x02, capWriteCdRw},
      {kCapWrites, 0x04, capTestWrite},
      {kCapWrites, 0x10, capWriteDvdR | capWriteDvdRw},
      {kCapWrites, 0x20, capWriteDvdRam},
      {kCapFeatures, kCapBufferUnderrunFree, capUnderrunProtection},
  };
  uint32_t media = 0;
  for (const Bit& bit : kBits) {
    if (ByteAt(page, bit.byte) & bit.mask) media |= bit.caps;
  }
  return media;
}

// Descriptors of a GET PERFORMANCE answer: its data length counts the four
// bytes after it, then whole descriptors.
size_t PerformanceDescriptors(std::span<const uint8_t> response, uint32_t asked) {
  const uint32_t length = Be32At(response, 0);
  if (length < 4 || response.size() < kPerfHeaderLength) return 0;
  const size_t counted = (length - 4) / kPerfDescriptorLength;
  const size_t held = (response.size() - kPerfHeaderLength) / kPerfDescriptorLength;
  return std::min({counted, held, size_t{asked}});
}

// The session of a full TOC that `number` names, added when first met.
TTocSession& SessionOf(std::vector<TTocSession>& sessions, uint8_t number) {
  for (TTocSession& session : sessions) {
    if (session.Number == number) return session;
  }
  sessions.push_back({number});
  return sessions.back();
}

}  // namespace

TDriveCapabilities ParseCapabilitiesPage(std::span<const uint8_t> page) {
  // The page ends where its length byte says (it counts the bytes after
  // itself): what a buffer holds beyond is not the page's.
  page = page.first(page.size() < 2 ? 0 : std::min(page.size(), size_t{2} + page[kCapPageLength]));
  TDriveCapabilities caps;
  caps.MaxReadSpeed = Be16At(page, kCapMaxReadSpeed);
  caps.CurrentReadSpeed = Be16At(page, kCapCurrentReadSpeed);
  caps.MaxWriteSpeed = Be16At(page, kCapMaxWriteSpeed);
  caps.CurrentWriteSpeed = Be16At(page, kCapCurrentWriteSpeed);
  caps.BufferSize = Be16At(page, kCapBufferSize);
  caps.Media = PageMediaBits(page);
  // Write speed descriptors (MMC-3 and later): reserved, rotation control, speed.
  const uint16_t count = Be16At(page, kCapSpeedCount);
  for (size_t i = 0; i < count; ++i) {
    const size_t at = kCapSpeedDescriptors + i * kCapSpeedDescriptorLength;
    if (at + kCapSpeedDescriptorLength > page.size()) break;
    caps.WriteSpeeds.push_back({static_cast<uint8_t>(page[at + 1] & 0x07), GetBe16(page, at + 2)});
  }
  return caps;
}

std::vector<TPerformanceSpeed> ParseWriteSpeedDescriptors(std::span<const uint8_t> response, uint32_t asked) {
  // Type 03h descriptor: WRC in byte 0 bits 4-3, end LBA 4-7, read speed 8-11, write speed 12-15.
  std::vector<TPerformanceSpeed> speeds;
  const size_t count = PerformanceDescriptors(response, asked);
  for (size_t i = 0; i < count; ++i) {
    const size_t at = kPerfHeaderLength + i * kPerfDescriptorLength;
    speeds.push_back({static_cast<uint8_t>((response[at] >> 3) & 0x03), GetBe32(response, at + 8),
                      GetBe32(response, at + 12)});
  }
  return speeds;
}

uint32_t ParseNominalPerformance(std::span<const uint8_t> response) {
  // Type 00h descriptor: start LBA 0-3, start performance 4-7, end LBA 8-11, end performance 12-15.
  if (PerformanceDescriptors(response, 1) == 0) return 0;
  return GetBe32(response, kPerfHeaderLength + 12);
}

uint32_t MsfBlock(uint8_t minute, uint8_t second, uint8_t frame) {
  const uint32_t frames = minute * 4500u + second * 75u + frame;
  return frames >= 150 ? frames - 150 : 0;
}

std::optional<uint32_t> TTableOfContents::SessionStart(uint8_t session) const {
  const auto listed = std::find_if(Sessions.begin(), Sessions.end(),
                                   [session](const TTocSession& s) { return s.Number == session; });
  if (listed == Sessions.end() || listed->FirstTrack == 0) return std::nullopt;
  for (const TTocTrack& track : Tracks) {
    if (track.Session == session && track.Number == listed->FirstTrack) return track.Start;
  }
  return std::nullopt;
}

TTableOfContents ParseToc(std::span<const uint8_t> response) {
  // Header: data length 0-1, first and last track 2-3; 8-byte descriptors:
  // ADR/control 1, track number 2, start address 4-7.
  TTableOfContents toc;
  if (response.size() < 4) return toc;
  toc.First = response[2];
  toc.Last = response[3];
  const size_t length = std::min<size_t>(GetBe16(response, 0), response.size() - 2);
  const size_t count = length >= 2 ? (length - 2) / 8 : 0;
  for (size_t i = 0; i < count; ++i) {
    const size_t at = 4 + 8 * i;
    toc.Tracks.push_back({response[at + 2], 0, response[at + 1], GetBe32(response, at + 4)});
  }
  return toc;
}

TTableOfContents ParseFullToc(std::span<const uint8_t> response) {
  // 11-byte descriptors: session 0, ADR/control 1, point 3, PMIN/PSEC/PFRAME 8-10.
  constexpr size_t kDescriptor = 11;
  TTableOfContents toc;
  if (response.size() < 4) return toc;
  toc.First = response[2];
  toc.Last = response[3];
  const size_t length = std::min<size_t>(size_t{2} + GetBe16(response, 0), response.size());
  for (size_t at = 4; at + kDescriptor <= length; at += kDescriptor) {
    const uint8_t session = response[at], point = response[at + 3];
    const uint8_t pmin = response[at + 8], psec = response[at + 9], pframe = response[at + 10];
    // Mode 5 entries (ADR 5) point elsewhere: B0h/C0h at the next program
    // area and the lead-in, 01h-40h at skipped intervals, never at a track.
    if ((response[at + 1] >> 4) == 5) continue;
    if (point >= 0x01 && point <= 0x63) {
      toc.Tracks.push_back({point, session, response[at + 1], MsfBlock(pmin, psec, pframe)});
    } else if (point == 0xA0) {
      SessionOf(toc.Sessions, session).FirstTrack = pmin;
    } else if (point == 0xA1) {
      SessionOf(toc.Sessions, session).LastTrack = pmin;
    } else if (point == 0xA2) {
      SessionOf(toc.Sessions, session).LeadOut = MsfBlock(pmin, psec, pframe);
    }
  }
  return toc;
}

TMultisessionInfo ParseMultisessionInfo(std::span<const uint8_t> response) {
  // First and last complete session 2-3; the last one's first track: number 6, start 8-11.
  return {ByteAt(response, 2), ByteAt(response, 3), Be32At(response, 8)};
}

TAtip ParseAtip(std::span<const uint8_t> response) {
  const uint8_t flags = ByteAt(response, 6);
  return {(flags & 0x80) != 0, (flags & 0x40) != 0, MsfAt(response, 12)};
}

TDiscInformation ParseDiscInformation(std::span<const uint8_t> response) {
  TDiscInformation info;
  const uint8_t status = ByteAt(response, kDiStatus);
  info.DataLength = Be16At(response, kDiLength);
  info.Erasable = (status & 0x10) != 0;
  info.LastSessionState = (status >> 2) & 0x03;
  info.DiscStatus = status & 0x03;
  info.FirstTrack = ByteAt(response, kDiFirstTrack);
  const auto both = [response](size_t lsb, size_t msb) {
    return static_cast<uint16_t>(ByteAt(response, msb) << 8 | ByteAt(response, lsb));
  };
  info.Sessions = both(kDiSessionsLsb, kDiSessionsMsb);
  info.FirstTrackInLastSession = both(kDiFirstTrackInLastLsb, kDiFirstTrackInLastMsb);
  info.LastTrackInLastSession = both(kDiLastTrackInLastLsb, kDiLastTrackInLastMsb);
  return info;
}

TTrackInfo ParseTrackInformation(std::span<const uint8_t> response) {
  TTrackInfo track;
  std::copy_n(response.begin(), std::min(response.size(), sizeof track.Raw), track.Raw);
  const std::span<const uint8_t> raw(track.Raw);
  track.DataLength = GetBe16(raw, kTiLength);
  track.TrackStart = GetBe32(raw, kTiStart);
  track.NextWritable = GetBe32(raw, kTiNextWritable);
  track.FreeBlocks = GetBe32(raw, kTiFreeBlocks);
  track.FixedPacketSize = GetBe32(raw, kTiFixedPacket);
  track.TrackSize = GetBe32(raw, kTiSize);
  track.LastRecorded = GetBe32(raw, kTiLastRecorded);
  return track;
}

TConfiguration ParseConfiguration(std::span<const uint8_t> response) {
  TConfiguration config;
  config.CurrentProfile = Be16At(response, kCfgCurrentProfile);
  config.FirstFeature = Be16At(response, kCfgFeatureCode);
  const size_t end = std::min<size_t>(kCfgFeatureData + ByteAt(response, kCfgFeatureLength), response.size());
  if (end > kCfgFeatureData) config.FirstFeatureData = response.subspan(kCfgFeatureData, end - kCfgFeatureData);
  return config;
}

std::vector<uint16_t> ParseProfileList(std::span<const uint8_t> response) {
  // Profile descriptors of 4 bytes: the profile in bytes 0-1, its current flag in byte 2.
  const TConfiguration config = ParseConfiguration(response);
  std::vector<uint16_t> profiles;
  if (config.FirstFeature != kFeatureProfileList) return profiles;
  for (size_t at = 0; at + 4 <= config.FirstFeatureData.size(); at += 4) {
    profiles.push_back(GetBe16(config.FirstFeatureData, at));
  }
  return profiles;
}

}  // namespace zamo
