// unit_mode_pages.cpp: MODE SENSE (10) and MODE SELECT (10) with the write
// parameters page 05h and the capabilities page 2Ah.
#include <algorithm>
#include <vector>

#include "emulator/unit_command.h"

namespace zamo::emu {
namespace {

constexpr size_t kModeHeaderLength = 8;  // MODE SENSE (10) / MODE SELECT (10) header, no block descriptor
constexpr uint8_t kWriteParamsPage = 0x05;
constexpr uint8_t kCapabilitiesPage = 0x2A;
constexpr uint8_t kAllPages = 0x3F;

std::array<uint8_t, 52> WriteParamsChangeable() {
  std::array<uint8_t, 52> mask{};
  mask[0] = kWriteParamsPage;
  mask[1] = static_cast<uint8_t>(mask.size() - 2);
  mask[2] = 0x7F;  // BUFE, LS_V, test write, write type
  mask[3] = 0xFF;  // multisession, fixed packet, copy, track mode
  mask[4] = 0x0F;  // data block type
  mask[5] = 0xFF;  // link size
  mask[7] = 0x3F;  // host application code
  mask[8] = 0xFF;  // session format
  std::fill(mask.begin() + 10, mask.end(), 0xFF);  // packet size, audio pause, MCN, ISRC, sub-header
  return mask;
}

}  // namespace

std::vector<uint8_t> TEmulatedUnit::CapabilitiesPage() const {
  const std::vector<uint16_t> speeds = WriteSpeeds(disc_.kind());
  std::vector<uint8_t> page(32 + 4 * speeds.size(), 0);
  page[0] = kCapabilitiesPage;
  page[1] = static_cast<uint8_t>(page.size() - 2);
  page[2] = 0x3F;  // reads DVD-RAM, DVD-R, DVD-ROM, method 2, CD-RW, CD-R
  // Writes DVD-RAM, DVD-R (-RW), test write, CD-RW, CD-R, as far as writes= lets it.
  const auto writes = [this](TMediaKind kind, uint8_t bit) { return config_.Writes(kind) ? bit : uint8_t{0}; };
  const uint8_t test_write = writes(TMediaKind::kCdR, 0x04) | writes(TMediaKind::kCdRw, 0x04) |
                             writes(TMediaKind::kDvdR, 0x04) | writes(TMediaKind::kDvdRw, 0x04);
  page[3] = writes(TMediaKind::kDvdRam, 0x20) | writes(TMediaKind::kDvdR, 0x10) | writes(TMediaKind::kDvdRw, 0x10) |
            test_write | writes(TMediaKind::kCdRw, 0x02) | writes(TMediaKind::kCdR, 0x01);
  page[4] = 0xF1;  // BUF, multi-session, mode 2 form 1 and 2, audio play
  page[5] = 0x03;  // CD-DA commands, accurate CD-DA stream
  page[6] = static_cast<uint8_t>(0x29 | (tray_.removal_prevented ? 0x02 : 0x00));  // tray, eject, lock (+ state)
  PutBe16(page, 10, 256);   // volume levels
  PutBe16(page, 12, static_cast<uint16_t>(std::min<uint32_t>(config_.buffer_bytes / 1024, 0xFFFF)));
  // MMC-5 makes the maximum and current read and write speeds obsolete (a
  // drive of its generation leaves them zero and answers GET PERFORMANCE);
  // the current write speed selected and the write speed descriptors stay.
  if (!config_.modern) {
    PutBe16(page, 8, Traits(disc_.kind()).max_read_kbs);
    PutBe16(page, 14, read_speed_);
    PutBe16(page, 18, speeds.front());
    PutBe16(page, 20, write_speed_);
  }
  PutBe16(page, 28, write_speed_);
  PutBe16(page, 30, static_cast<uint16_t>(speeds.size()));  // as many descriptors as the page holds
  for (size_t i = 0; i < speeds.size(); ++i) PutBe16(page, 32 + 4 * i + 2, speeds[i]);  // CLV
  return page;
}

TCommandResult TEmulatedUnit::ModeSense(const TCommand& command) {
  const uint8_t control = command.cdb[2] >> 6;  // 0 current, 1 changeable, 2 default, 3 saved
  const uint8_t page_code = command.cdb[2] & 0x3F;
  const uint32_t allocation = CdbBe16(command.cdb, 7);
  if (control == 3) return Fail(sense::kSavingNotSupported);
  if (command.cdb[3] != 0) return Fail(TSense::CdbField(3));  // no subpages
  if (page_code != kWriteParamsPage && page_code != kCapabilitiesPage && page_code != kAllPages)
    return Fail(TSense::CdbField(2));

  std::vector<uint8_t> response(kModeHeaderLength, 0);
  if (page_code == kWriteParamsPage || page_code == kAllPages) {
    std::array<uint8_t, 52> page = write_params_;
    if (control == 1) page = WriteParamsChangeable();
    if (control == 2) page = DefaultWriteParameters();
    response.insert(response.end(), page.begin(), page.end());
  }
  if (page_code == kCapabilitiesPage || page_code == kAllPages) {
    std::vector<uint8_t> page = CapabilitiesPage();
    if (control == 1) std::fill(page.begin() + 2, page.end(), 0);  // nothing in it can be changed
    response.insert(response.end(), page.begin(), page.end());
  }
  PutBe16(response, 0, static_cast<uint16_t>(response.size() - 2));
  return DataIn(command, response, allocation);
}

std::optional<TSense> TEmulatedUnit::CheckWriteParameters(std::span<const uint8_t> list, size_t at) const {
  const std::span<const uint8_t> page = list.subspan(at);
  const uint8_t write_type = page[2] & 0x0F;
  const uint8_t multisession = page[3] >> 6;
  const bool fixed_packet = page[3] & 0x20;
  const bool audio_track = (page[3] & 0x04) == 0;
  const uint8_t block_type = page[4] & 0x0F;
  if (write_type > 4) return TSense::ParameterField(static_cast<uint16_t>(at + 2));
  if (multisession == 2) return TSense::ParameterField(static_cast<uint16_t>(at + 3));
  if ((block_type >= 4 && block_type <= 7) || block_type >= 14)
    return TSense::ParameterField(static_cast<uint16_t>(at + 4));
  if (page[8] != 0x00 && page[8] != 0x10 && page[8] != 0x20)
    return TSense::ParameterField(static_cast<uint16_t>(at + 8));
  if (write_type == 0 && fixed_packet && GetBe32(page, 10) == 0)
    return TSense::ParameterField(static_cast<uint16_t>(at + 10));
  if (!MediumPresent()) return std::nullopt;

  // What the loaded disc can be recorded with (MMC-5 7.5.4): packets, track
  // at once, session at once or raw on a CD; incremental or disc at once on a
  // sequential DVD-R/-RW. Other media ignore the page.
  const uint16_t profile = disc_.Profile();
  const bool cd = (profile == kProfileCdR || profile == kProfileCdRw) && !disc_.formatted();
  if (cd) {
    if (write_type == 4) return TSense::Of(sense::kIllegalModeForTrack);
    if (write_type == 3 && (block_type < 1 || block_type > 3)) return TSense::Of(sense::kIllegalModeForTrack);
    if (block_type >= 8 && audio_track) return TSense::Of(sense::kIllegalModeForTrack);
  }
  if ((profile == kProfileDvdR || profile == kProfileDvdRwSequential) && write_type != 0 && write_type != 2)
    return TSense::Of(sense::kIllegalModeForTrack);
  return std::nullopt;
}

TCommandResult TEmulatedUnit::ModeSelect(const TCommand& command) {
  if (!(command.cdb[1] & 0x10) || (command.cdb[1] & 0x01)) return Fail(TSense::CdbField(1));  // PF set, SP clear
  const uint32_t length = CdbBe16(command.cdb, 7);
  if (length == 0) return Good();
  const std::optional<std::span<const uint8_t>> list = ParameterList(command, length);
  if (!list) return HostError();
  if (length < kModeHeaderLength) return Fail(sense::kParameterListLength);
  size_t at = kModeHeaderLength + GetBe16(*list, 6);  // pages follow any block descriptor
  if (at > length) return Fail(sense::kParameterListLength);

  std::optional<std::array<uint8_t, 52>> new_params;
  while (at < length) {
    if (at + 2 > length) return Fail(sense::kParameterListLength);
    const uint8_t code = (*list)[at] & 0x3F;
    const uint8_t page_length = (*list)[at + 1];
    if (at + 2 + page_length > length) return Fail(sense::kParameterListLength);
    if (code != kWriteParamsPage) return Fail(TSense::ParameterField(static_cast<uint16_t>(at)));
    if (page_length != 0x32 && page_length != 0x36)
      return Fail(TSense::ParameterField(static_cast<uint16_t>(at + 1)));
    if (std::optional<TSense> problem = CheckWriteParameters(*list, at)) return Fail(*problem);
    std::array<uint8_t, 52> page{};
    std::copy_n(list->begin() + static_cast<ptrdiff_t>(at), page.size(), page.begin());
    page[0] = kWriteParamsPage;
    page[1] = static_cast<uint8_t>(page.size() - 2);
    new_params = page;
    at += 2 + page_length;
  }
  if (new_params) {
    write_params_ = *new_params;
    simulated_next_.reset();  // a test write ends with the page that started it
  }
  return Good();
}

}  // namespace zamo::emu
