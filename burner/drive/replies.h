// replies.h: what the drive answers, as typed values. Each parser reads the
// bytes a command returned through the named offsets of MMC-5 and the
// big-endian helpers, never past the bytes it is given (a field beyond them
// reads as zero), and leaves the bytes as they are: the component keeps a
// raw answer it publishes beside its typed view. Pure functions, no drive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace zamo {

// Capabilities bits (the component's `Capabilities` bit set): from the
// capabilities page and the features GET CONFIGURATION lists.
constexpr uint32_t capReadCdR = 0x1, capReadCdRw = 0x2, capReadMethod2 = 0x4, capReadDvdRom = 0x8,
                   capReadDvdR = 0x10, capReadDvdRw = 0x20, capReadDvdRam = 0x40, capReadDvdPlusR = 0x80,
                   capReadDvdPlusRDl = 0x100, capReadDvdPlusRw = 0x200, capWriteCdR = 0x400,
                   capWriteCdRw = 0x800, capTestWrite = 0x1000, capWriteDvdR = 0x2000,
                   capWriteDvdRw = 0x4000, capWriteDvdRam = 0x8000, capWriteDvdPlusR = 0x10000,
                   capWriteDvdPlusRDl = 0x20000, capWriteDvdPlusRw = 0x40000, capUnderrunProtection = 0x100000;

// Write types a CD recorder takes (the component's `SupportedWriteTypes`).
constexpr uint8_t kWriteTypeRaw = 0x01, kWriteTypeSessionAtOnce = 0x02, kWriteTypeTrackAtOnce = 0x04;

// ---- Capabilities and mechanical status page (mode page 2Ah) --------------

// Offsets from the page code byte.
constexpr size_t kCapPageLength = 1, kCapReads = 2, kCapWrites = 3, kCapFeatures = 4, kCapMaxReadSpeed = 8,
                 kCapBufferSize = 12, kCapCurrentReadSpeed = 14, kCapMaxWriteSpeed = 18, kCapCurrentWriteSpeed = 20,
                 kCapSpeedCount = 30, kCapSpeedDescriptors = 32, kCapSpeedDescriptorLength = 4;
constexpr uint8_t kCapBufferUnderrunFree = 0x80;  // byte 4 bit 7, "BUF"

// One entry of the write speed list.
struct TWriteSpeed {
  uint8_t RotationControl = 0;  // 0 constant linear velocity, 1 constant angular velocity
  uint16_t Speed = 0;           // KB/s
  bool operator==(const TWriteSpeed&) const = default;
};

// What a recorder can do: its speeds in KB/s (MMC's kilobyte, 1000 bytes;
// 1x is 176.4 for a CD, 1385 for a DVD), its buffer, its write speed list,
// the media it reads and writes and the CD write types it takes.
struct TDriveCapabilities {
  uint16_t MaxReadSpeed = 0;
  uint16_t CurrentReadSpeed = 0;
  uint16_t MaxWriteSpeed = 0;
  uint16_t CurrentWriteSpeed = 0;
  uint16_t BufferSize = 0;  // KB
  std::vector<TWriteSpeed> WriteSpeeds;
  uint32_t Media = 0;       // capRead*, capWrite*, capTestWrite, capUnderrunProtection
  uint8_t WriteTypes = 0;   // kWriteType* bits
  bool Has(uint32_t cap) const { return (Media & cap) != 0; }
  bool TakesWriteType(uint8_t type) const { return (WriteTypes & type) != 0; }
};

// The speeds, buffer and speed list of a capabilities page as the drive
// sent them (a field it left zero stays zero), and the bits its read,
// write and BUF bytes give. `page` starts at the page code and holds what
// the drive sent of it: the page and its speed list stop at its end or at
// the end its length byte gives, whichever comes first.
TDriveCapabilities ParseCapabilitiesPage(std::span<const uint8_t> page);

// ---- GET PERFORMANCE -------------------------------------------------------

// An 8-byte header (data length in bytes 0-3), then 16-byte descriptors.
constexpr size_t kPerfHeaderLength = 8, kPerfDescriptorLength = 16;

// Write speed descriptors (type 03h), in the drive's order.
struct TPerformanceSpeed {
  uint8_t RotationControl = 0;
  uint32_t ReadSpeed = 0;   // KB/s
  uint32_t WriteSpeed = 0;  // KB/s
};
// At most `asked` descriptors, and no more than the data length counts.
std::vector<TPerformanceSpeed> ParseWriteSpeedDescriptors(std::span<const uint8_t> response, uint32_t asked);
// The end performance (KB/s) of the first nominal performance descriptor
// (type 00h); 0 when the answer holds none.
uint32_t ParseNominalPerformance(std::span<const uint8_t> response);

// ---- READ TOC/PMA/ATIP -----------------------------------------------------

constexpr uint8_t kTocFormatTracks = 0, kTocFormatSessions = 1, kTocFormatFull = 2, kTocFormatAtip = 4;
constexpr uint8_t kLeadOutTrack = 0xAA;

// A logical block address from a minute, second and frame: MSF 00:02:00 is
// block 0, so the 150 frames before it count for nothing (0 below it).
uint32_t MsfBlock(uint8_t minute, uint8_t second, uint8_t frame);

struct TTocTrack {
  uint8_t Number = 0;   // kLeadOutTrack for the lead-out
  uint8_t Session = 0;  // full TOC only
  uint8_t Control = 0;  // ADR (high nibble) and control (low nibble)
  uint32_t Start = 0;   // logical block address
};

struct TTocSession {
  uint8_t Number = 0;
  uint8_t FirstTrack = 0;  // point A0h
  uint8_t LastTrack = 0;   // point A1h
  uint32_t LeadOut = 0;    // point A2h
};

struct TTableOfContents {
  uint8_t First = 0;  // first track (format 0) or first complete session (format 2)
  uint8_t Last = 0;   // last track or last complete session
  // Format 0: every descriptor in the drive's order, the lead-out last.
  // Format 2: the tracks (points 01h to 63h) of every session.
  std::vector<TTocTrack> Tracks;
  std::vector<TTocSession> Sessions;  // format 2 only
  // Where the first track of `session` starts, from the full TOC: the track
  // its point A0h names. Nothing when the table does not list both.
  std::optional<uint32_t> SessionStart(uint8_t session) const;
};

// Format 0 with addresses as blocks (MSF bit clear).
TTableOfContents ParseToc(std::span<const uint8_t> response);
// Format 2 (full TOC), whose addresses are MSF. Mode 5 entries (ADR 5:
// multisession pointers, skipped intervals) are passed over.
TTableOfContents ParseFullToc(std::span<const uint8_t> response);

// Format 1: the complete sessions and where the last one's first track starts.
struct TMultisessionInfo {
  uint8_t FirstSession = 0;
  uint8_t LastSession = 0;
  uint32_t LastSessionStart = 0;
};
TMultisessionInfo ParseMultisessionInfo(std::span<const uint8_t> response);

// Format 4 with the MSF bit.
struct TAtip {
  bool Valid = false;       // byte 6 bit 7
  bool Rewritable = false;  // byte 6 bit 6
  uint32_t LeadOutStart = 0;  // bytes 12-14 as a block address
};
TAtip ParseAtip(std::span<const uint8_t> response);

// ---- READ DISC INFORMATION -------------------------------------------------

constexpr size_t kDiLength = 0, kDiStatus = 2, kDiFirstTrack = 3, kDiSessionsLsb = 4, kDiFirstTrackInLastLsb = 5,
                 kDiLastTrackInLastLsb = 6, kDiSessionsMsb = 9, kDiFirstTrackInLastMsb = 10,
                 kDiLastTrackInLastMsb = 11;

struct TDiscInformation {
  uint16_t DataLength = 0;
  bool Erasable = false;
  uint8_t LastSessionState = 0;  // 0 empty, 1 incomplete, 2 reserved or damaged, 3 complete
  uint8_t DiscStatus = 0;        // 0 empty, 1 incomplete, 2 complete, 3 other
  uint8_t FirstTrack = 0;        // first track on the disc
  uint16_t Sessions = 0;
  uint16_t FirstTrackInLastSession = 0;
  uint16_t LastTrackInLastSession = 0;
};
TDiscInformation ParseDiscInformation(std::span<const uint8_t> response);

// ---- READ TRACK INFORMATION ------------------------------------------------

constexpr size_t kTiLength = 0, kTiTrackLsb = 2, kTiSessionLsb = 3, kTiTrackFlags = 5, kTiDataFlags = 6,
                 kTiAddressFlags = 7, kTiStart = 8, kTiNextWritable = 12, kTiFreeBlocks = 16, kTiFixedPacket = 20,
                 kTiSize = 24, kTiLastRecorded = 28, kTiTrackMsb = 32, kTiSessionMsb = 33;
constexpr uint8_t kTiDamaged = 0x20, kTiTrackModeMask = 0x0F;                     // byte 5
constexpr uint8_t kTiReserved = 0x80, kTiBlank = 0x40, kTiDataModeMask = 0x0F;    // byte 6
constexpr uint8_t kTiNextWritableValid = 0x01, kTiLastRecordedValid = 0x02;       // byte 7

// The READ TRACK INFORMATION answer: the 40 bytes as the drive sent them
// and their fields.
struct TTrackInfo {
  uint8_t Raw[40] = {};
  uint16_t DataLength = 0;
  uint32_t TrackStart = 0;
  uint32_t NextWritable = 0;
  uint32_t FreeBlocks = 0;
  uint32_t FixedPacketSize = 0;
  uint32_t TrackSize = 0;
  uint32_t LastRecorded = 0;
  // Track and session numbers, both of their bytes.
  uint16_t TrackNumber() const { return static_cast<uint16_t>(Raw[kTiTrackMsb] << 8 | Raw[kTiTrackLsb]); }
  uint16_t SessionNumber() const { return static_cast<uint16_t>(Raw[kTiSessionMsb] << 8 | Raw[kTiSessionLsb]); }
  uint8_t TrackMode() const { return Raw[kTiTrackFlags] & kTiTrackModeMask; }
  uint8_t DataMode() const { return Raw[kTiDataFlags] & kTiDataModeMask; }
  bool Damaged() const { return (Raw[kTiTrackFlags] & kTiDamaged) != 0; }
  bool Reserved() const { return (Raw[kTiDataFlags] & kTiReserved) != 0; }
  bool Blank() const { return (Raw[kTiDataFlags] & kTiBlank) != 0; }
  bool NextWritableValid() const { return (Raw[kTiAddressFlags] & kTiNextWritableValid) != 0; }
};
// The record of `response` (its first 40 bytes; fewer leave the rest zero).
TTrackInfo ParseTrackInformation(std::span<const uint8_t> response);

// ---- GET CONFIGURATION -----------------------------------------------------

constexpr size_t kCfgCurrentProfile = 6, kCfgFeatureCode = 8, kCfgFeatureLength = 11, kCfgFeatureData = 12;
constexpr uint16_t kFeatureProfileList = 0x0000;

// The header and the first feature descriptor of an answer.
struct TConfiguration {
  uint16_t CurrentProfile = 0;
  uint16_t FirstFeature = 0;
  // The first descriptor's data (its additional length), within the answer.
  std::span<const uint8_t> FirstFeatureData;
};
TConfiguration ParseConfiguration(std::span<const uint8_t> response);
// The profiles a profile list feature (the first descriptor) names, in its
// order; none when the first descriptor is another feature.
std::vector<uint16_t> ParseProfileList(std::span<const uint8_t> response);

}  // namespace zamo
