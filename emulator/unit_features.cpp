// unit_features.cpp: GET CONFIGURATION (MMC-5 5.3): the profile list with
// the loaded disc's profile flagged current, and the features a DVD±RW/RAM
// recorder offers, each marked current when the loaded disc uses it.
#include <initializer_list>
#include <utility>
#include <vector>

#include "emulator/unit_command.h"

namespace zamo::emu {
namespace {

// Profiles in the recorder's order of preference (MMC lists them that way).
constexpr uint16_t kProfiles[] = {kProfileDvdPlusRDl, kProfileDvdPlusR,        kProfileDvdPlusRw,
                                  kProfileDvdRwSequential, kProfileDvdRwRestricted, kProfileDvdRam,
                                  kProfileDvdR,        kProfileDvdRom,          kProfileCdRw,
                                  kProfileCdR,         kProfileCdRom};

struct TFeature {
  uint16_t code;
  uint8_t version;
  bool persistent;
  bool current;
  std::vector<uint8_t> data;  // additional data, a multiple of 4 bytes
};

void Append(std::vector<uint8_t>* out, const TFeature& feature) {
  out->push_back(static_cast<uint8_t>(feature.code >> 8));
  out->push_back(static_cast<uint8_t>(feature.code));
  out->push_back(static_cast<uint8_t>(feature.version << 2 | (feature.persistent ? 0x02 : 0) |
                                      (feature.current ? 0x01 : 0)));
  out->push_back(static_cast<uint8_t>(feature.data.size()));
  out->insert(out->end(), feature.data.begin(), feature.data.end());
}

}  // namespace

TCommandResult TEmulatedUnit::GetConfiguration(const TCommand& command) {
  const uint8_t request_type = command.cdb[1] & 0x03;
  const uint16_t start = CdbBe16(command.cdb, 2);
  const uint32_t allocation = CdbBe16(command.cdb, 7);
  if (request_type == 3) return Fail(TSense::CdbField(1));

  const uint16_t profile = CurrentProfile();
  const bool cd = profile == kProfileCdRom || profile == kProfileCdR || profile == kProfileCdRw;
  const bool dvd = profile != kProfileNone && !cd;
  const bool cd_write = profile == kProfileCdR || (profile == kProfileCdRw && !disc_.formatted());
  const bool dvd_minus = profile == kProfileDvdR || profile == kProfileDvdRwSequential ||
                         profile == kProfileDvdRwRestricted;
  // A minimally blanked DVD-RW lost incremental recording (disc at once only).
  const bool minimal_blank = disc_.minimally_blanked() && Strict(TRule::kMinimalBlankDvdRw);
  const bool incremental =
      cd_write || profile == kProfileDvdR || (profile == kProfileDvdRwSequential && !minimal_blank);
  const bool formattable = profile == kProfileDvdPlusRw || profile == kProfileDvdRam || profile == kProfileCdRw ||
                           profile == kProfileDvdRwSequential || profile == kProfileDvdRwRestricted;
  // writes=: what the drive records. A feature for writing only media it
  // does not write is absent, and none is current for a disc it only reads.
  const auto writes = [this](std::initializer_list<TMediaKind> kinds) {
    for (TMediaKind kind : kinds)
      if (config_.Writes(kind)) return true;
    return false;
  };
  const bool writes_loaded = MediumPresent() && config_.Writes(disc_.kind());
  const bool writes_cd = writes({TMediaKind::kCdR, TMediaKind::kCdRw});
  const bool writes_dvd_minus = writes({TMediaKind::kDvdR, TMediaKind::kDvdRw});
  const auto write_bit = [&](TMediaKind kind) { return static_cast<uint8_t>(writes({kind}) ? 0x01 : 0x00); };

  std::vector<uint8_t> profile_list;
  for (uint16_t each : kProfiles)
    profile_list.insert(profile_list.end(), {static_cast<uint8_t>(each >> 8), static_cast<uint8_t>(each),
                                             static_cast<uint8_t>(each == profile ? 0x01 : 0x00), 0x00});
  const uint8_t blocking = dvd ? 16 : 1;
  const uint32_t random_last = disc_.formatted() ? disc_.Track(1).size - 1 : 0;
  const uint8_t link_size = profile == kProfileDvdR || profile == kProfileDvdRwSequential ? 16 : 7;

  std::vector<TFeature> features = {
      {0x0000, 0, true, true, profile_list},
      {0x0001, 2, true, true, {0x00, 0x00, 0x00, 0x01, 0x03, 0x00, 0x00, 0x00}},  // SCSI family; DBE, INQ2
      {0x0002, 1, true, true, {0x02, 0x00, 0x00, 0x00}},  // morphing: operational change events
      {0x0003, 0, true, true, {0x29, 0x00, 0x00, 0x00}},  // tray, eject, lock
      {0x0010, 0, false, profile != kProfileNone, {0x00, 0x00, 0x08, 0x00, 0x00, blocking, 0x00, 0x00}},
      {0x001D, 0, false, cd, {}},
      {0x001E, 2, false, cd, {0x00, 0x00, 0x00, 0x00}},
      {0x001F, 1, false, dvd, {0x01, 0x00, 0x01, 0x00}},  // MULTI110, DualR
  };
  // A writing feature: current only while the loaded disc is one the drive writes.
  const auto add = [&](uint16_t code, uint8_t version, bool current, std::vector<uint8_t> data) {
    features.push_back({code, version, false, current && writes_loaded, std::move(data)});
  };
  const auto u8 = [](uint32_t value) { return static_cast<uint8_t>(value); };
  if (writes({TMediaKind::kDvdRam})) {
    add(0x0020, 0, profile == kProfileDvdRam,
        {u8(random_last >> 24), u8(random_last >> 16), u8(random_last >> 8), u8(random_last), 0x00, 0x00, 0x08, 0x00,
         0x00, 16, 0x00, 0x00});
  }
  if (writes_cd || writes_dvd_minus)  // mode 1; BUF; 1 link
    add(0x0021, 1, incremental, {0x01, 0x00, 0x01, 0x01, link_size, 0x00, 0x00, 0x00});
  if (writes({TMediaKind::kDvdPlusRw, TMediaKind::kDvdRam, TMediaKind::kCdRw, TMediaKind::kDvdRw}))
    add(0x0023, 1, formattable, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
  if (writes({TMediaKind::kDvdRam})) add(0x0024, 0, profile == kProfileDvdRam, {0x80, 0x00, 0x00, 0x00});  // SSA
  if (writes({TMediaKind::kDvdRw})) add(0x0026, 0, profile == kProfileDvdRwRestricted, {});
  // DVD+RW and DVD+R: read by every drive, their Write bit as writes= says.
  features.push_back({0x002A, 1, false, profile == kProfileDvdPlusRw, {write_bit(TMediaKind::kDvdPlusRw), 0, 0, 0}});
  features.push_back({0x002B, 0, false, profile == kProfileDvdPlusR, {write_bit(TMediaKind::kDvdPlusR), 0, 0, 0}});
  if (writes({TMediaKind::kDvdRw}))
    add(0x002C, 0, profile == kProfileDvdRwRestricted, {0x03, 0x00, 0x00, 0x00});  // Blank, Intermediate
  if (writes_cd) {
    // BUF, test write and CD-RW (when it writes them); mode 1 data, SAO; a cue sheet of 4 KB.
    const uint8_t cd_rw = writes({TMediaKind::kCdRw}) ? 0x02 : 0x00;
    add(0x002D, 2, cd_write, {u8(0x44 | cd_rw), 0x00, 0x01, 0x00});
    add(0x002E, 1, cd_write, {u8(0x64 | cd_rw), 0x00, 0x10, 0x00});
  }
  if (writes_dvd_minus) {  // BUF, test write and DVD-RW (when it writes them)
    add(0x002F, 1, dvd_minus, {u8(0x44 | (writes({TMediaKind::kDvdRw}) ? 0x02 : 0x00)), 0x00, 0x00, 0x00});
  }
  features.push_back({0x003B, 0, false, profile == kProfileDvdPlusRDl, {write_bit(TMediaKind::kDvdPlusRDl), 0, 0, 0}});
  features.push_back({0x0100, 0, true, true, {}});
  features.push_back({0x0105, 0, true, true, {0x00, 0x00, 0x00, 0x00}});
  // Stream writing, GET PERFORMANCE write speeds, page 2Ah write speeds,
  // SET CD SPEED, READ BUFFER CAPACITY in blocks.
  features.push_back({0x0107, 3, false, profile != kProfileNone, {0x1F, 0x00, 0x00, 0x00}});

  std::vector<uint8_t> response(8, 0);
  PutBe16(response, 6, profile);
  for (const TFeature& feature : features) {
    const bool wanted = request_type == 2 ? feature.code == start
                                          : feature.code >= start && (request_type == 0 || feature.current);
    if (wanted) Append(&response, feature);
  }
  PutBe32(response, 0, static_cast<uint32_t>(response.size() - 4));
  return DataIn(command, response, allocation);
}

}  // namespace zamo::emu
