#include "cli/repeat_backup.h"

#include <array>
#include <optional>
#include <set>

#include "burner/compilation/iso9660_layout.h"
#include "burner/compilation/names.h"
#include "burner/import/iso_records.h"
#include "burner/platform/file_attributes.h"
#include "burner/platform/str_format.h"
#include "burner/platform/text.h"
#include "cli/file_checks.h"

namespace zamo::cli {
namespace {

using SectorBytes = std::array<uint8_t, iso::kSectorBytes>;

// Where a session's descriptor set is searched, as the import does.
constexpr uint32_t kDescriptorSetStart = 16;
constexpr uint32_t kDescriptorSectors = 21;
// A root directory longer than this (4 MiB) is not read for the hint.
constexpr uint32_t kMostRootSectors = 2048;

// The primary and Joliet descriptors of the session starting at `start`.
struct Descriptors {
  std::optional<SectorBytes> primary;
  std::optional<SectorBytes> joliet;
};

Descriptors ReadDescriptors(TVeskBurner& burner, uint32_t start) {
  Descriptors found;
  SectorBytes sector{};
  for (uint32_t lba = start + kDescriptorSetStart; lba < start + kDescriptorSetStart + kDescriptorSectors; ++lba) {
    sector.fill(0);
    if (!burner.Read10(lba, 1, sector.data(), iso::kSectorBytes)) continue;
    const iso::Descriptor kind = iso::ClassifyDescriptor(sector);
    if (kind == iso::Descriptor::kTerminator) break;
    if (kind == iso::Descriptor::kPrimary && !found.primary) found.primary = sector;
    if (kind == iso::Descriptor::kJoliet && !found.joliet) found.joliet = sector;
  }
  return found;
}

// The volume identifier the session was written with: `name` gives both
// fields again, `shown` says what they hold. The component puts the name in
// both: in capitals and Windows-1252 in the primary one (32 characters), as
// it is in UCS-2 in the Joliet one (16). A longer name's end is then only in
// the primary field: the name is the Joliet field followed by it.
struct VolumeName {
  std::string name;
  std::string shown;
};

VolumeName ReadVolumeName(const Descriptors& d) {
  std::string primary;
  if (d.primary) {
    primary.assign(d.primary->begin() + kVdVolumeId, d.primary->begin() + kVdVolumeId + kVdShortIdLength);
    while (!primary.empty() && (primary.back() == ' ' || primary.back() == '\0')) primary.pop_back();
  }
  if (!d.joliet) return {FromCp1252(primary), Quoted(FromCp1252(primary))};
  std::u16string units;
  for (size_t i = 0; i + 1 < kVdShortIdLength; i += 2) {
    const auto* field = d.joliet->data() + kVdVolumeId;
    units.push_back(static_cast<char16_t>(field[i] << 8 | field[i + 1]));
  }
  while (!units.empty() && (units.back() == u' ' || units.back() == u'\0')) units.pop_back();
  const std::string joliet = Utf16ToUtf8(units);
  const std::string joliet_in_primary = AsciiUpper(ToCp1252(joliet));
  if (units.size() == kVdShortIdLength / 2 && primary.size() > joliet_in_primary.size() &&
      primary.starts_with(joliet_in_primary)) {
    return {joliet + FromCp1252(primary.substr(joliet_in_primary.size())),
            Quoted(joliet) + " (ISO 9660" + kNbsp + ": " + Quoted(FromCp1252(primary)) + ")"};
  }
  return {joliet, Quoted(joliet)};
}

// The entries of the root directory the descriptor names; none when it
// cannot be read whole.
std::optional<std::set<TopEntry>> SessionTopLevel(TVeskBurner& burner, const SectorBytes& descriptor, bool joliet) {
  const iso::Extent root = iso::DescriptorRoot(descriptor);
  const uint32_t sectors = static_cast<uint32_t>(SectorsFor(root.length));
  if (sectors == 0 || sectors > kMostRootSectors) return std::nullopt;
  std::set<TopEntry> entries;
  SectorBytes sector{};
  for (uint32_t n = 0; n < sectors; ++n) {
    sector.fill(0);
    if (!burner.Read10(root.lba + n, 1, sector.data(), iso::kSectorBytes)) return std::nullopt;
    iso::DirRecord record;
    for (size_t at = 0; at < sector.size(); at += record.length) {
      const iso::Parse parsed = iso::ParseRecord(sector, at, record);
      if (parsed == iso::Parse::kEndOfSector || parsed == iso::Parse::kMalformed) break;
      if (parsed != iso::Parse::kRecord || iso::IsSelfOrParent(record)) continue;
      const std::string name = joliet ? iso::JolietNameToAnsi(record.id) : iso::IsoNameToAnsi(record.id);
      entries.insert({DiscNameKey(name), (record.flags & kFlagDirectory) != 0});
    }
  }
  return entries;
}

}  // namespace

int NothingChanged(LogOutput& log, const std::string& outcome) {
  log.Line("Aucun fichier modifié depuis la dernière sauvegarde" + std::string(kNbsp) + ": " + outcome + ".");
  if (log.LeftOut() == 0) return 0;
  log.SayLeftOut(log.LeftOut());
  return 1;
}

std::vector<TopEntry> CompilationTopLevel(const TVeskBurner& burner) {
  std::vector<TopEntry> entries;
  for (const TFEntry* e = burner.RootDir->FirstChild; e != nullptr; e = e->Next)
    entries.push_back({DiscNameKey(e->LongName), (e->Attr & faDirectory) != 0});
  return entries;
}

void AfterImport(TVeskBurner& burner, LogOutput& log, const std::vector<TopEntry>& written, bool volume_given,
                 bool archive_only) {
  const int session = burner.ImportedSession;
  if (session <= 0) return;
  const Descriptors descriptors = ReadDescriptors(burner, burner.ImportedSessionStart);
  if (!volume_given) {
    const VolumeName volume = ReadVolumeName(descriptors);
    if (!volume.name.empty()) {
      burner.IdVolume = volume.name;
      log.Line(StrFormat("Nom de volume repris de la session %d%s: %s.", session, kNbsp, volume.shown.c_str()));
    }
  }
  // The rule of the hint: every entry the sources put at the top of the new
  // session is at the top of the kept session already, with its name and
  // kind; the new session then lists them all with new copies of their data.
  if (archive_only || written.empty()) return;
  const bool joliet = burner.ImportedJoliet && descriptors.joliet;
  const std::optional<SectorBytes>& descriptor = joliet ? descriptors.joliet : descriptors.primary;
  if (!descriptor) return;
  const std::optional<std::set<TopEntry>> on_disc = SessionTopLevel(burner, *descriptor, joliet);
  if (!on_disc) return;
  for (const TopEntry& entry : written) {
    if (!on_disc->contains(entry)) return;
  }
  log.Line(StrFormat("Conseil%s: ces dossiers et fichiers sont déjà dans la session %d du disque et y sont gravés de "
                     "nouveau en entier. %s n'ajoute que ce qui a changé depuis la dernière sauvegarde.",
                     kNbsp, session, Quoted("--archive-only").c_str()));
}

}  // namespace zamo::cli
