// The drive's answers read as typed values: each reply is built here byte by
// byte as MMC-5 lays it out, then cut short, given a data length larger than
// what came, or followed by bytes that are not the reply's (0xFF), which a
// parser must never take for fields.
#include "burner/drive/replies.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <tuple>
#include <vector>

#include "burner/platform/byte_order.h"

namespace zamo {
namespace {

using Bytes = std::vector<uint8_t>;

// `reply` followed by bytes that belong to no reply, and the span of the
// reply alone: a parser that reads past its span meets 0xFF.
struct Fenced {
  explicit Fenced(const Bytes& reply, size_t shown) : storage(reply) {
    storage.resize(reply.size() + 64, 0xFF);
    view = std::span<const uint8_t>(storage).first(shown);
  }
  Bytes storage;
  std::span<const uint8_t> view;
};

// ---- Capabilities page (2Ah) ---------------------------------------------------

// A page of `length` bytes after its two-byte header with the speed fields
// and write speed list given (4-byte descriptors from byte 32).
Bytes CapabilitiesPage(uint8_t length, const std::vector<std::pair<uint8_t, uint16_t>>& speeds, uint16_t count) {
  Bytes page(2 + length, 0);
  page[0] = 0x2A;
  page[1] = length;
  if (page.size() >= 22) {
    PutBe16(page, 8, 1764);   // maximum read speed
    PutBe16(page, 12, 2048);  // buffer, KB
    PutBe16(page, 14, 1411);  // current read speed
    PutBe16(page, 18, 7056);  // maximum write speed
    PutBe16(page, 20, 5645);  // current write speed
  }
  if (page.size() >= 32) PutBe16(page, 30, count);
  for (size_t i = 0; i < speeds.size() && 32 + 4 * i + 4 <= page.size(); ++i) {
    page[32 + 4 * i + 1] = speeds[i].first;
    PutBe16(page, 32 + 4 * i + 2, speeds[i].second);
  }
  return page;
}

TEST(CapabilitiesPage, SpeedsBufferAndSpeedListInTheDrivesOrder) {
  // Byte 33: reserved bits set around the rotation control (bits 2-0).
  const Bytes page = CapabilitiesPage(30 + 12, {{0xF8 | 0x01, 7056}, {0x00, 4234}, {0x01, 2822}}, 3);
  const TDriveCapabilities caps = ParseCapabilitiesPage(page);
  EXPECT_EQ(caps.MaxReadSpeed, 1764);
  EXPECT_EQ(caps.BufferSize, 2048);
  EXPECT_EQ(caps.CurrentReadSpeed, 1411);
  EXPECT_EQ(caps.MaxWriteSpeed, 7056);
  EXPECT_EQ(caps.CurrentWriteSpeed, 5645);
  EXPECT_EQ(caps.WriteSpeeds, (std::vector<TWriteSpeed>{{1, 7056}, {0, 4234}, {1, 2822}}));
}

TEST(CapabilitiesPage, SpeedListStopsAtThePagesEnd) {
  // Five descriptors counted, two inside the page; the buffer goes on.
  const Bytes page = CapabilitiesPage(30 + 8, {{0, 7056}, {0, 5645}}, 5);
  const Fenced whole(page, page.size() + 40);
  EXPECT_EQ(ParseCapabilitiesPage(whole.view).WriteSpeeds, (std::vector<TWriteSpeed>{{0, 7056}, {0, 5645}}))
      << "bytes after the page's length are not descriptors";
  // The answer cut inside the second descriptor: the first one only.
  const Fenced cut(page, 32 + 4 + 3);
  EXPECT_EQ(ParseCapabilitiesPage(cut.view).WriteSpeeds, (std::vector<TWriteSpeed>{{0, 7056}}));
  // The list count itself beyond what came: no list.
  const Fenced headless(page, 31);
  EXPECT_TRUE(ParseCapabilitiesPage(headless.view).WriteSpeeds.empty());
}

TEST(CapabilitiesPage, FieldsBeyondAShortPageReadAsZero) {
  // An MMC-1 page of 20 bytes after its header: no list, no count.
  const Bytes old_page = CapabilitiesPage(20, {}, 0);
  const Fenced old_drive(old_page, old_page.size() + 20);
  TDriveCapabilities caps = ParseCapabilitiesPage(old_drive.view);
  EXPECT_EQ(caps.MaxWriteSpeed, 7056);
  EXPECT_EQ(caps.CurrentWriteSpeed, 5645);
  EXPECT_TRUE(caps.WriteSpeeds.empty()) << "a count of 0xFFFF beyond the page was read";

  // Cut inside the maximum write speed (bytes 18-19): the field is zero, not half read.
  const Bytes page = CapabilitiesPage(30, {}, 0);
  const Fenced cut(page, 19);
  caps = ParseCapabilitiesPage(cut.view);
  EXPECT_EQ(caps.CurrentReadSpeed, 1411);
  EXPECT_EQ(caps.MaxWriteSpeed, 0);
  EXPECT_EQ(caps.CurrentWriteSpeed, 0);

  EXPECT_EQ(ParseCapabilitiesPage({}).Media, 0u);
  const Fenced code_only(page, 1);
  EXPECT_EQ(ParseCapabilitiesPage(code_only.view).Media, 0u);
}

// One bit of the read (2), write (3) or features (4) byte, alone on a page.
struct MediaBit {
  size_t byte;
  uint8_t mask;
  uint32_t caps;
};

class CapabilitiesBits : public ::testing::TestWithParam<MediaBit> {};

TEST_P(CapabilitiesBits, EachBitGivesItsMediaAndNothingElse) {
  Bytes page = CapabilitiesPage(30, {}, 0);
  page[GetParam().byte] = GetParam().mask;
  EXPECT_EQ(ParseCapabilitiesPage(page).Media, GetParam().caps);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, CapabilitiesBits,
    ::testing::Values(MediaBit{2, 0x01, capReadCdR}, MediaBit{2, 0x02, capReadCdRw}, MediaBit{2, 0x04, capReadMethod2},
                      MediaBit{2, 0x08, capReadDvdRom}, MediaBit{2, 0x10, capReadDvdR | capReadDvdRw},
                      MediaBit{2, 0x20, capReadDvdRam}, MediaBit{2, 0xC0, 0}, MediaBit{3, 0x01, capWriteCdR},
                      MediaBit{3, 0x02, capWriteCdRw}, MediaBit{3, 0x04, capTestWrite}, MediaBit{3, 0x08, 0},
                      MediaBit{3, 0x10, capWriteDvdR | capWriteDvdRw}, MediaBit{3, 0x20, capWriteDvdRam},
                      MediaBit{4, 0x80, capUnderrunProtection}, MediaBit{4, 0x7F, 0}));

// ---- GET PERFORMANCE -------------------------------------------------------------

// A header whose data length counts `counted` descriptors, then the
// descriptors given (16 bytes each).
Bytes Performance(uint32_t counted, const std::vector<Bytes>& descriptors) {
  Bytes reply(8, 0);
  PutBe32(reply, 0, 4 + 16 * counted);
  for (const Bytes& d : descriptors) reply.insert(reply.end(), d.begin(), d.end());
  return reply;
}

// Write speed descriptor (type 03h): WRC in byte 0 bits 4-3, end LBA 4-7,
// read speed 8-11, write speed 12-15.
Bytes WriteSpeedDescriptor(uint8_t byte0, uint32_t read, uint32_t write) {
  Bytes d(16, 0);
  d[0] = byte0;
  PutBe32(d, 4, 2295103);
  PutBe32(d, 8, read);
  PutBe32(d, 12, write);
  return d;
}

TEST(GetPerformance, WriteSpeedsInTheDrivesOrderWithTheirRotationControl) {
  // Byte 0: WRC 01b (CAV) with the RDD, exact and MRW bits around it.
  const Bytes reply = Performance(3, {WriteSpeedDescriptor(0x08 | 0x07, 11080, 22160),
                                      WriteSpeedDescriptor(0x00, 11080, 16620),
                                      WriteSpeedDescriptor(0x18, 5540, 5540)});
  const std::vector<TPerformanceSpeed> speeds = ParseWriteSpeedDescriptors(reply, 10);
  ASSERT_EQ(speeds.size(), 3u);
  EXPECT_EQ(speeds[0].RotationControl, 1);
  EXPECT_EQ(speeds[0].ReadSpeed, 11080u);
  EXPECT_EQ(speeds[0].WriteSpeed, 22160u);
  EXPECT_EQ(speeds[1].RotationControl, 0);
  EXPECT_EQ(speeds[1].WriteSpeed, 16620u);
  EXPECT_EQ(speeds[2].RotationControl, 3);
  EXPECT_EQ(speeds[2].ReadSpeed, 5540u);
}

TEST(GetPerformance, DescriptorsAreLimitedByTheAskedCountTheDataLengthAndTheBuffer) {
  const std::vector<Bytes> three = {WriteSpeedDescriptor(0, 1, 100), WriteSpeedDescriptor(0, 2, 200),
                                    WriteSpeedDescriptor(0, 3, 300)};
  const auto writes = [](std::span<const uint8_t> reply, uint32_t asked) {
    std::vector<uint32_t> out;
    for (const TPerformanceSpeed& s : ParseWriteSpeedDescriptors(reply, asked)) out.push_back(s.WriteSpeed);
    return out;
  };
  const Bytes all = Performance(3, three);
  EXPECT_EQ(writes(all, 2), (std::vector<uint32_t>{100, 200})) << "the first ones asked for";
  EXPECT_EQ(writes(all, 0), std::vector<uint32_t>{});
  const Fenced counted_two(Performance(2, three), 8 + 48);
  EXPECT_EQ(writes(counted_two.view, 8), (std::vector<uint32_t>{100, 200})) << "the data length counts two";
  const Fenced cut(Performance(3, three), 8 + 16 + 15);
  EXPECT_EQ(writes(cut.view, 8), (std::vector<uint32_t>{100})) << "a data length larger than what came";
  const Fenced header_only(Performance(3, three), 7);
  EXPECT_EQ(writes(header_only.view, 8), std::vector<uint32_t>{});
  Bytes short_length = all;
  PutBe32(short_length, 0, 3);  // less than the four bytes after the length field
  EXPECT_EQ(writes(short_length, 8), std::vector<uint32_t>{});
}

TEST(GetPerformance, NominalPerformanceIsTheFirstDescriptorsEndPerformance) {
  // Type 00h: start LBA 0-3, start performance 4-7, end LBA 8-11, end performance 12-15.
  Bytes first(16, 0), second(16, 0);
  PutBe32(first, 4, 4234);
  PutBe32(first, 8, 2295103);
  PutBe32(first, 12, 11080);
  PutBe32(second, 12, 99999);
  EXPECT_EQ(ParseNominalPerformance(Performance(2, {first, second})), 11080u);
  EXPECT_EQ(ParseNominalPerformance(Performance(0, {first})), 0u) << "the data length counts none";
  const Fenced cut(Performance(1, {first}), 8 + 15);
  EXPECT_EQ(ParseNominalPerformance(cut.view), 0u);
}

// ---- READ TOC/PMA/ATIP ---------------------------------------------------------

TEST(TocAddresses, MsfCountsFromTwoSecondsIn) {
  EXPECT_EQ(MsfBlock(0, 2, 0), 0u);
  EXPECT_EQ(MsfBlock(0, 2, 1), 1u);
  EXPECT_EQ(MsfBlock(0, 1, 74), 0u) << "before block 0";
  EXPECT_EQ(MsfBlock(0, 0, 0), 0u);
  EXPECT_EQ(MsfBlock(1, 0, 0), 4350u);
  EXPECT_EQ(MsfBlock(79, 59, 74), 359849u);
}

// Format 0: header (data length, first and last track) and 8-byte
// descriptors (ADR/control 1, track 2, start 4-7).
Bytes TrackToc(uint16_t data_length) {
  Bytes reply = {0, 0, 1, 2};
  PutBe16(reply, 0, data_length);
  for (const auto& [control, track, start] : {std::tuple{0x14, 1, 0u}, std::tuple{0x16, 2, 23456u},
                                              std::tuple{0x14, 0xAA, 40000u}}) {
    Bytes d(8, 0);
    d[1] = static_cast<uint8_t>(control);
    d[2] = static_cast<uint8_t>(track);
    PutBe32(d, 4, start);
    reply.insert(reply.end(), d.begin(), d.end());
  }
  return reply;
}

TEST(Toc, TracksAndLeadOutAsBlocks) {
  const TTableOfContents toc = ParseToc(TrackToc(2 + 24));
  EXPECT_EQ(toc.First, 1);
  EXPECT_EQ(toc.Last, 2);
  ASSERT_EQ(toc.Tracks.size(), 3u);
  EXPECT_EQ(toc.Tracks[1].Number, 2);
  EXPECT_EQ(toc.Tracks[1].Control, 0x16);
  EXPECT_EQ(toc.Tracks[1].Start, 23456u);
  EXPECT_EQ(toc.Tracks[2].Number, kLeadOutTrack);
  EXPECT_EQ(toc.Tracks[2].Start, 40000u);
  EXPECT_TRUE(toc.Sessions.empty());
}

TEST(Toc, DescriptorsStopAtTheDataLengthOrTheBuffer) {
  EXPECT_EQ(ParseToc(TrackToc(2 + 16)).Tracks.size(), 2u) << "the data length counts two";
  const Fenced cut(TrackToc(2 + 24), 4 + 8 + 7);
  const TTableOfContents toc = ParseToc(cut.view);
  ASSERT_EQ(toc.Tracks.size(), 1u) << "a data length larger than what came";
  EXPECT_EQ(toc.Tracks[0].Start, 0u);
  const Fenced header(TrackToc(2 + 24), 3);
  EXPECT_EQ(ParseToc(header.view).First, 0);
  EXPECT_TRUE(ParseToc(header.view).Tracks.empty());
}

// Format 2: 11-byte descriptors (session 0, ADR/control 1, point 3,
// PMIN/PSEC/PFRAME 8-10).
struct FullTocEntry {
  uint8_t session, adr_control, point, pmin, psec, pframe;
};
Bytes FullToc(uint8_t first, uint8_t last, const std::vector<FullTocEntry>& entries) {
  Bytes reply = {0, 0, first, last};
  for (const FullTocEntry& e : entries) {
    Bytes d(11, 0);
    d[0] = e.session;
    d[1] = e.adr_control;
    d[3] = e.point;
    d[8] = e.pmin;
    d[9] = e.psec;
    d[10] = e.pframe;
    reply.insert(reply.end(), d.begin(), d.end());
  }
  PutBe16(reply, 0, static_cast<uint16_t>(reply.size() - 2));
  return reply;
}

// Two sessions: tracks 1 (session 1) and 2-3 (session 2), with the mode 5
// pointers a recordable disc carries, in the order a drive may give them.
std::vector<FullTocEntry> TwoSessions() {
  return {
      {1, 0x14, 0xA0, 1, 0, 0},    {1, 0x14, 0xA1, 1, 0, 0},   {1, 0x14, 0xA2, 5, 0, 0},
      {1, 0x14, 0x01, 0, 2, 0},    {1, 0x54, 0xB0, 6, 32, 0},  {1, 0x54, 0xC0, 97, 26, 66},
      {1, 0x54, 0x01, 0, 30, 0},  // a skipped interval pointer, not a track
      {2, 0x14, 0x02, 6, 34, 0},   {2, 0x14, 0x03, 9, 0, 0},   {2, 0x14, 0xA2, 12, 0, 0},
      {2, 0x14, 0xA0, 2, 0, 0},    {2, 0x14, 0xA1, 3, 0, 0},
  };
}

TEST(FullToc, SessionsWithTheirFirstLastTracksAndLeadOut) {
  const TTableOfContents toc = ParseFullToc(FullToc(1, 2, TwoSessions()));
  EXPECT_EQ(toc.First, 1);
  EXPECT_EQ(toc.Last, 2);
  ASSERT_EQ(toc.Sessions.size(), 2u);
  EXPECT_EQ(toc.Sessions[0].Number, 1);
  EXPECT_EQ(toc.Sessions[0].FirstTrack, 1);
  EXPECT_EQ(toc.Sessions[0].LastTrack, 1);
  EXPECT_EQ(toc.Sessions[0].LeadOut, MsfBlock(5, 0, 0));
  EXPECT_EQ(toc.Sessions[1].Number, 2);
  EXPECT_EQ(toc.Sessions[1].FirstTrack, 2);
  EXPECT_EQ(toc.Sessions[1].LastTrack, 3);
  EXPECT_EQ(toc.Sessions[1].LeadOut, MsfBlock(12, 0, 0));
  ASSERT_EQ(toc.Tracks.size(), 3u) << "a mode 5 pointer was taken for a track";
  EXPECT_EQ(toc.Tracks[0].Number, 1);
  EXPECT_EQ(toc.Tracks[0].Session, 1);
  EXPECT_EQ(toc.Tracks[0].Start, 0u);
  EXPECT_EQ(toc.Tracks[1].Number, 2);
  EXPECT_EQ(toc.Tracks[1].Session, 2);
  EXPECT_EQ(toc.Tracks[1].Control, 0x14);
  EXPECT_EQ(toc.Tracks[2].Start, MsfBlock(9, 0, 0));
}

TEST(FullToc, SessionStartIsTheStartOfTheTrackItsPointA0Names) {
  const TTableOfContents toc = ParseFullToc(FullToc(1, 2, TwoSessions()));
  EXPECT_EQ(toc.SessionStart(1), 0u);
  EXPECT_EQ(toc.SessionStart(2), MsfBlock(6, 34, 0));
  EXPECT_EQ(toc.SessionStart(3), std::nullopt) << "a session the table does not list";

  // Point A0h names a track the table does not hold; a session without A0h.
  const TTableOfContents odd =
      ParseFullToc(FullToc(1, 2, {{1, 0x14, 0xA0, 4, 0, 0}, {1, 0x14, 0x01, 0, 2, 0}, {2, 0x14, 0xA2, 9, 0, 0},
                                  {2, 0x14, 0x02, 6, 0, 0}}));
  EXPECT_EQ(odd.SessionStart(1), std::nullopt);
  EXPECT_EQ(odd.SessionStart(2), std::nullopt);
}

TEST(FullToc, DescriptorsStopAtTheDataLengthOrTheBuffer) {
  const Bytes reply = FullToc(1, 2, TwoSessions());
  const Fenced cut(reply, 4 + 3 * 11 + 10);  // inside the fourth descriptor (track 1)
  const TTableOfContents toc = ParseFullToc(cut.view);
  EXPECT_TRUE(toc.Tracks.empty());
  ASSERT_EQ(toc.Sessions.size(), 1u);
  EXPECT_EQ(toc.Sessions[0].LeadOut, MsfBlock(5, 0, 0));

  Bytes counted_one = reply;
  PutBe16(counted_one, 0, 2 + 11);
  const TTableOfContents first = ParseFullToc(counted_one);
  ASSERT_EQ(first.Sessions.size(), 1u);
  EXPECT_EQ(first.Sessions[0].LastTrack, 0) << "point A1h lies beyond the data length";
}

TEST(MultisessionInfo, LastCompleteSessionAndItsFirstTrack) {
  // First and last complete session 2-3; track descriptor: ADR/control 5, track 6, start 8-11.
  Bytes reply = {0, 10, 1, 3, 0, 0x14, 5, 0, 0, 0, 0, 0};
  PutBe32(reply, 8, 0x00012345);
  const TMultisessionInfo info = ParseMultisessionInfo(reply);
  EXPECT_EQ(info.FirstSession, 1);
  EXPECT_EQ(info.LastSession, 3);
  EXPECT_EQ(info.LastSessionStart, 0x00012345u);
  const Fenced cut(reply, 10);
  EXPECT_EQ(ParseMultisessionInfo(cut.view).LastSession, 3);
  EXPECT_EQ(ParseMultisessionInfo(cut.view).LastSessionStart, 0u);
}

TEST(Atip, DiscTypeAndLastPossibleLeadOut) {
  // Data length 26; bytes 4-5 writing power and use; byte 6: bit 7 always one, bit 6 the
  // disc type (CD-RW); lead-in start 8-10 and last possible lead-out 12-14 as MSF.
  Bytes reply = {0, 26, 0, 0, 0xD5, 0x40, 0xC0, 0, 97, 26, 66, 0, 79, 59, 74, 0};
  reply.resize(28);
  TAtip atip = ParseAtip(reply);
  EXPECT_TRUE(atip.Valid);
  EXPECT_TRUE(atip.Rewritable);
  EXPECT_EQ(atip.LeadOutStart, 359849u);
  reply[6] = 0x80;
  atip = ParseAtip(reply);
  EXPECT_TRUE(atip.Valid);
  EXPECT_FALSE(atip.Rewritable);
  const Fenced cut(reply, 14);
  EXPECT_EQ(ParseAtip(cut.view).LeadOutStart, 0u) << "the frame byte did not come";
  EXPECT_FALSE(ParseAtip({}).Valid);
}

// ---- READ DISC INFORMATION -----------------------------------------------------

Bytes DiscInformation() {
  Bytes reply(34, 0);
  PutBe16(reply, 0, 32);
  reply[2] = 0x1E;  // erasable, last session complete (11b), disc complete (10b)
  reply[3] = 1;     // first track on the disc
  reply[4] = 0x2C;  // sessions, LSB
  reply[5] = 0x30;  // first track in the last session, LSB
  reply[6] = 0x31;  // last track in the last session, LSB
  reply[9] = 0x01;  // the three MSBs
  reply[10] = 0x02;
  reply[11] = 0x03;
  return reply;
}

TEST(DiscInformation, StatusFieldsAndSixteenBitNumbers) {
  const TDiscInformation info = ParseDiscInformation(DiscInformation());
  EXPECT_EQ(info.DataLength, 32);
  EXPECT_TRUE(info.Erasable);
  EXPECT_EQ(info.LastSessionState, 3);
  EXPECT_EQ(info.DiscStatus, 2);
  EXPECT_EQ(info.FirstTrack, 1);
  EXPECT_EQ(info.Sessions, 0x012C);
  EXPECT_EQ(info.FirstTrackInLastSession, 0x0230);
  EXPECT_EQ(info.LastTrackInLastSession, 0x0331);

  Bytes appendable = DiscInformation();
  appendable[2] = 0x05;  // not erasable, last session incomplete (01b), disc incomplete (01b)
  const TDiscInformation open = ParseDiscInformation(appendable);
  EXPECT_FALSE(open.Erasable);
  EXPECT_EQ(open.LastSessionState, 1);
  EXPECT_EQ(open.DiscStatus, 1);
}

TEST(DiscInformation, MostSignificantBytesThatDidNotComeReadAsZero) {
  const Fenced cut(DiscInformation(), 10);  // up to the sessions' MSB only
  const TDiscInformation info = ParseDiscInformation(cut.view);
  EXPECT_EQ(info.Sessions, 0x012C);
  EXPECT_EQ(info.FirstTrackInLastSession, 0x30);
  EXPECT_EQ(info.LastTrackInLastSession, 0x31);
  const Fenced status_only(DiscInformation(), 3);
  EXPECT_EQ(ParseDiscInformation(status_only.view).Sessions, 0);
  EXPECT_EQ(ParseDiscInformation(status_only.view).DiscStatus, 2);
}

// ---- READ TRACK INFORMATION ----------------------------------------------------

Bytes TrackInformation() {
  Bytes reply(40, 0);
  PutBe16(reply, 0, 38);
  reply[2] = 0x34;  // track number, LSB
  reply[3] = 0x12;  // session number, LSB
  reply[5] = 0x20 | 0x04;  // damaged, track mode 4
  reply[6] = 0x80 | 0x40 | 0x01;  // reserved, blank, data mode 1
  reply[7] = 0x03;  // last recorded address and next writable address valid
  PutBe32(reply, 8, 1000);
  PutBe32(reply, 12, 1500);
  PutBe32(reply, 16, 2000);
  PutBe32(reply, 20, 16);
  PutBe32(reply, 24, 3000);
  PutBe32(reply, 28, 1499);
  reply[32] = 0x01;  // track number, MSB
  reply[33] = 0x02;  // session number, MSB
  return reply;
}

TEST(TrackInformation, FieldsFlagsAndSixteenBitNumbers) {
  const TTrackInfo track = ParseTrackInformation(TrackInformation());
  EXPECT_EQ(track.DataLength, 38);
  EXPECT_EQ(track.TrackNumber(), 0x0134);
  EXPECT_EQ(track.SessionNumber(), 0x0212);
  EXPECT_EQ((std::vector<uint32_t>{track.TrackStart, track.NextWritable, track.FreeBlocks, track.FixedPacketSize,
                                   track.TrackSize, track.LastRecorded}),
            (std::vector<uint32_t>{1000, 1500, 2000, 16, 3000, 1499}))
      << "start, next writable, free blocks, fixed packet, size, last recorded";
  EXPECT_EQ(track.TrackMode(), 4);
  EXPECT_EQ(track.DataMode(), 1);
  EXPECT_TRUE(track.Damaged());
  EXPECT_TRUE(track.Reserved());
  EXPECT_TRUE(track.Blank());
  EXPECT_TRUE(track.NextWritableValid());

  Bytes plain = TrackInformation();
  plain[5] = 0x04;
  plain[6] = 0x01;
  plain[7] = 0x02;  // only the last recorded address is valid
  const TTrackInfo recorded = ParseTrackInformation(plain);
  EXPECT_FALSE(recorded.Damaged());
  EXPECT_FALSE(recorded.Reserved());
  EXPECT_FALSE(recorded.Blank());
  EXPECT_FALSE(recorded.NextWritableValid());
}

TEST(TrackInformation, ShortAndLongAnswers) {
  // An older drive's 28 bytes: no last recorded address, no MSBs.
  const Fenced old_drive(TrackInformation(), 28);
  const TTrackInfo track = ParseTrackInformation(old_drive.view);
  EXPECT_EQ(track.TrackSize, 3000u);
  EXPECT_EQ(track.LastRecorded, 0u);
  EXPECT_EQ(track.TrackNumber(), 0x34);
  EXPECT_EQ(track.SessionNumber(), 0x12);
  for (size_t i = 28; i < sizeof track.Raw; ++i) EXPECT_EQ(track.Raw[i], 0) << "byte " << i;
  // Bytes after the 40 of the record are not kept.
  const Fenced longer(TrackInformation(), 48);
  const TTrackInfo kept = ParseTrackInformation(longer.view);
  EXPECT_EQ(Bytes(kept.Raw, kept.Raw + 40), TrackInformation());
  EXPECT_EQ(ParseTrackInformation({}).TrackNumber(), 0);
}

// ---- GET CONFIGURATION ---------------------------------------------------------

// Header (data length 0-3, current profile 6-7), then a feature descriptor
// (code 8-9, flags 10, additional length 11, data from 12).
Bytes Configuration(uint16_t feature, uint8_t additional_length, const Bytes& data) {
  Bytes reply(12, 0);
  PutBe16(reply, 6, 0x0012);  // DVD-RAM
  PutBe16(reply, 8, feature);
  reply[10] = 0x03;  // persistent, current
  reply[11] = additional_length;
  reply.insert(reply.end(), data.begin(), data.end());
  PutBe32(reply, 0, static_cast<uint32_t>(reply.size() - 4));
  return reply;
}

// Profile descriptors: the profile in bytes 0-1, its current flag in byte 2.
const Bytes kProfiles = {0x00, 0x12, 0x01, 0, 0x00, 0x1A, 0x00, 0, 0x00, 0x08, 0x00, 0};

TEST(Configuration, CurrentProfileAndTheProfileListInItsOrder) {
  const Bytes reply = Configuration(0x0000, 12, kProfiles);
  const TConfiguration config = ParseConfiguration(reply);
  EXPECT_EQ(config.CurrentProfile, 0x0012);
  EXPECT_EQ(config.FirstFeature, 0x0000);
  EXPECT_EQ(config.FirstFeatureData.size(), 12u);
  EXPECT_EQ(ParseProfileList(reply), (std::vector<uint16_t>{0x0012, 0x001A, 0x0008}));

  const Bytes other = Configuration(0x002F, 4, {0x01, 0, 0, 0});
  EXPECT_EQ(ParseConfiguration(other).FirstFeature, 0x002F);
  EXPECT_EQ(ParseConfiguration(other).FirstFeatureData[0], 0x01);
  EXPECT_TRUE(ParseProfileList(other).empty()) << "the first feature is not the profile list";
}

TEST(Configuration, FeatureDataStopsAtTheAnswersEnd) {
  // The additional length counts three profiles; the answer holds one and a half.
  const Fenced cut(Configuration(0x0000, 12, kProfiles), 12 + 6);
  EXPECT_EQ(ParseConfiguration(cut.view).FirstFeatureData.size(), 6u);
  EXPECT_EQ(ParseProfileList(cut.view), (std::vector<uint16_t>{0x0012}));
  // The additional length counts less than came.
  EXPECT_EQ(ParseProfileList(Configuration(0x0000, 8, kProfiles)), (std::vector<uint16_t>{0x0012, 0x001A}));
  // No descriptor at all: the header alone.
  const Fenced header(Configuration(0x0000, 12, kProfiles), 8);
  EXPECT_EQ(ParseConfiguration(header.view).CurrentProfile, 0x0012);
  EXPECT_TRUE(ParseConfiguration(header.view).FirstFeatureData.empty());
  EXPECT_TRUE(ParseProfileList(header.view).empty());
  const Fenced half_profile(Configuration(0x0000, 12, kProfiles), 7);
  EXPECT_EQ(ParseConfiguration(half_profile.view).CurrentProfile, 0) << "a field cut in two";
}

}  // namespace
}  // namespace zamo
