#include "cli/drive_commands.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "burner/compilation/veskburner.h"
#include "burner/drive/transport.h"
#include "burner/platform/str_format.h"
#include "cli/drive_session.h"
#include "cli/file_checks.h"
#include "cli/log_output.h"
#include "cli/progress_meter.h"
#include "emulator/emulated_backend.h"

namespace zamo::cli {

namespace {

constexpr const char* kDriveUsage =
    "Utilisation\u00A0: zamo-cli [--drive N] [--emulate TYPE:IMAGE[,option=valeur...]] COMMANDE\n"
    "  devices   liste les lecteurs de CD/DVD\n"
    "  caps      capacités du graveur\u00A0: profils, lecture, écriture, vitesses\n"
    "  info      le disque\u00A0: type, état, sessions et pistes, espace libre\n"
    "  load      charge le disque (ferme le tiroir)\n"
    "  eject     éjecte le disque\n"
    "  ready     l'unité est-elle prête\u00A0? (statut 0 si oui, 1 sinon)\n"
    "--drive\u00A0: numéro dans la liste de «\u00A0devices\u00A0» (0 par défaut), nœud (/dev/sr0, emu0) ou H:T:L.\n"
    "--emulate ou ZAMO_EMULATED_DRIVES\u00A0: graveurs émulés, «\u00A0TYPE:IMAGE[,option=valeur...]\u00A0» séparés par «\u00A0;\u00A0»\n"
    "  (types\u00A0: cd-rom cd-r cd-rw dvd-rom dvd-r dvd-rw dvd+r dvd+r-dl dvd+rw dvd-ram).\n"
    "--image IMAGE.iso\u00A0: ce fichier image comme disque d'un lecteur en lecture seule (info, caps, ready...).\n";

std::string SpeedText(uint16_t kbs) {
  // 1x is 176.4 kB/s for a CD and 1385 kB/s for a DVD (MMC's units: 1 kB = 1000 bytes).
  std::string dvd = StrFormat("%.1f", kbs / 1385.0);
  std::replace(dvd.begin(), dvd.end(), '.', ',');  // a decimal comma, whatever the locale
  return StrFormat("%u Ko/s (%.0fx CD, %sx DVD)", kbs, kbs / 176.4, dvd.c_str());
}

std::string Blocks(uint32_t blocks, bool cd) {
  std::string text = StrFormat("%u secteurs, %s", blocks, ExactSizeText(static_cast<int64_t>(blocks) * 2048).c_str());
  if (cd) {
    const uint32_t seconds = blocks / 75;
    text += StrFormat(", %02u:%02u min", seconds / 60, seconds % 60);
  }
  return text;
}

// The list, each drive this process cannot use fully followed by why; exit
// status 1 when none can be used at all.
int Devices(DriveSession& session) {
  if (!session.HaveDrives()) return 1;
  std::printf("Transport\u00A0: %s\n", transport::TransportName().c_str());
  const auto& devices = session.burner().Devices;
  size_t usable = 0;
  for (size_t i = 0; i < devices.size(); ++i) {
    std::printf("%zu  %s\n", i, devices[i].c_str());
    const TDeviceAccess access = session.burner().DeviceAccessOf(devices[i]);
    if (!access.problem.empty()) std::printf("   %s\n", access.problem.c_str());
    if (access.problem.empty() || access.read_only) ++usable;
  }
  if (usable > 0) return 0;
  session.log().Line("Aucun lecteur de CD ou DVD utilisable.");
  if (!session.emulated()) session.log().Line(kEmulationHint);
  return 1;
}

int Caps(DriveSession& session) {
  TVeskBurner& b = session.burner();
  if (!b.ReadCapabilities()) {
    session.ReportFailure("Lecture des capacités impossible");
    return 1;
  }
  std::printf("Graveur   \u00A0: %s\n", b.DeviceName.c_str());
  std::printf("Adresse   \u00A0: %s (%s, %s)\n", LineAddress(b.DeviceString).c_str(), b.GetDevicePath().c_str(),
              transport::TransportName().c_str());

  std::vector<uint16_t> profiles;
  uint16_t current = 0;
  if (b.ReadProfiles(profiles, current) && !profiles.empty()) {
    std::string list;
    for (uint16_t p : profiles) list += (list.empty() ? "" : ", ") + std::string(ProfileName(p));
    std::printf("Profils   \u00A0: %s\n", list.c_str());
  }
  std::printf("Disque    \u00A0: %s\n", current != 0 ? ProfileName(current) : "aucun");

  struct Bit {
    uint32_t mask;
    const char* name;
  };
  static constexpr Bit kReads[] = {{capReadCdR, "CD-R"},         {capReadCdRw, "CD-RW"},
                                   {capReadDvdRom, "DVD-ROM"},   {capReadDvdR, "DVD-R"},
                                   {capReadDvdRw, "DVD-RW"},     {capReadDvdRam, "DVD-RAM"},
                                   {capReadDvdPlusR, "DVD+R"},   {capReadDvdPlusRDl, "DVD+R DL"},
                                   {capReadDvdPlusRw, "DVD+RW"}};
  static constexpr Bit kWrites[] = {{capWriteCdR, "CD-R"},       {capWriteCdRw, "CD-RW"},
                                    {capWriteDvdR, "DVD-R"},     {capWriteDvdRw, "DVD-RW"},
                                    {capWriteDvdRam, "DVD-RAM"}, {capWriteDvdPlusR, "DVD+R"},
                                    {capWriteDvdPlusRDl, "DVD+R DL"}, {capWriteDvdPlusRw, "DVD+RW"}};
  const TDriveCapabilities caps = b.DriveCapabilities();
  auto names = [&](const auto& bits) {
    std::string list;
    for (const Bit& bit : bits) {
      if (caps.Has(bit.mask)) list += (list.empty() ? "" : ", ") + std::string(bit.name);
    }
    return list.empty() ? std::string("aucun") : list;
  };
  std::printf("Lit       \u00A0: %s\n", names(kReads).c_str());
  std::printf("Grave     \u00A0: %s\n", names(kWrites).c_str());
  std::printf("Simulation\u00A0: %s\n", caps.Has(capTestWrite) ? "oui" : "non");
  std::printf("Protection contre les ruptures de flux (BURN-Proof)\u00A0: %s\n",
              caps.Has(capUnderrunProtection) ? "oui" : "non");
  std::printf("Lecture max       \u00A0: %s\n", SpeedText(caps.MaxReadSpeed).c_str());
  std::printf("Écriture max      \u00A0: %s\n", SpeedText(caps.MaxWriteSpeed).c_str());
  std::printf("Écriture actuelle \u00A0: %s\n", SpeedText(caps.CurrentWriteSpeed).c_str());
  if (!caps.WriteSpeeds.empty()) {
    std::string list;
    for (const TWriteSpeed& speed : caps.WriteSpeeds) list += (list.empty() ? "" : ", ") + StrFormat("%u", speed.Speed);
    std::printf("Vitesses d'écriture\u00A0: %s Ko/s\n", list.c_str());
  }
  std::printf("Mémoire tampon    \u00A0: %u Ko\n", caps.BufferSize);
  if (b.MaxTransferBytes != 0) {
    std::printf("Transfert max     \u00A0: %u octets par commande\n", b.MaxTransferBytes);
  } else {
    std::printf("Transfert max     \u00A0: inconnu\n");
  }
  std::string types;
  if (caps.TakesWriteType(kWriteTypeTrackAtOnce)) types += "TAO (piste par piste)";
  if (caps.TakesWriteType(kWriteTypeSessionAtOnce)) types += std::string(types.empty() ? "" : ", ") + "SAO (session d'un coup)";
  if (caps.TakesWriteType(kWriteTypeRaw)) types += std::string(types.empty() ? "" : ", ") + "RAW";
  std::printf("Modes d'écriture CD\u00A0: %s\n", types.empty() ? "aucun" : types.c_str());
  return 0;
}

const char* StatusName(int status) {
  switch (status) {
    case 0: return "vierge";
    case 1: return "incomplet (une session peut être ajoutée)";
    case 2: return "complet (fermé)";
    default: return "autre (disque à accès direct, réinscriptible à tout endroit)";
  }
}

// The tracks as READ TRACK INFORMATION describes them; false when the drive
// does not answer it (read-only drives often do not).
bool ListTracks(TVeskBurner& b, const TDisc& disc, bool cd) {
  if (!b.ReadDiscInfo()) return false;
  const TDiscInformation info = b.DiscInformation();
  const uint16_t first = info.FirstTrack;
  const uint16_t last = info.LastTrackInLastSession;
  if (first == 0 || !b.ReadTrackInformation(first)) return false;
  for (uint32_t track = first; track <= last; ++track) {
    if (!b.ReadTrackInformation(static_cast<uint16_t>(track))) break;
    const TTrackInfo& t = b.TrackInfo;
    const unsigned session = t.SessionNumber();
    if (t.Blank() && t.LastRecorded == 0 && disc.DiscStatus != 2) {
      std::printf("Piste %-3u  session %-3u  début %-8u  vierge, %s libres\n", track, session, t.TrackStart,
                  Blocks(t.FreeBlocks, cd).c_str());
      continue;
    }
    // An open track holds what lies before its next writable address.
    const uint32_t used = t.NextWritableValid() && t.FreeBlocks != 0 && t.NextWritable >= t.TrackStart
                              ? t.NextWritable - t.TrackStart
                              : t.TrackSize;
    std::printf("Piste %-3u  session %-3u  début %-8u  %s\n", track, session, t.TrackStart, Blocks(used, cd).c_str());
  }
  return true;
}

// The tracks from the table of contents: each runs up to the next one's
// start, the last one up to the lead-out.
void ListTocTracks(TVeskBurner& b, bool cd) {
  TTableOfContents toc;
  if (!b.ReadToc(toc)) return;
  for (size_t i = 0; i + 1 < toc.Tracks.size(); ++i) {
    const TTocTrack& track = toc.Tracks[i];
    if (track.Number == kLeadOutTrack) break;
    const uint32_t start = track.Start, end = toc.Tracks[i + 1].Start;
    std::printf("Piste %-3u  début %-8u  %s\n", track.Number, start, Blocks(end > start ? end - start : 0, cd).c_str());
  }
}

int Info(DriveSession& session) {
  TVeskBurner& b = session.burner();
  TDisc disc;
  b.GetDiscInfo(disc);
  if (!disc.Ready) {
    session.ReportFailure("Aucun disque prêt dans le lecteur");
    return 1;
  }
  const TDiscKind kind = b.NoteDiscKind();
  const bool cd = IsCdKind(kind);
  // The profile's name as `caps` gives it: the disc record's type names stop
  // short of DVD+R DL ("???????").
  const std::string type_name = disc.Profile != 0 ? ProfileName(disc.Profile) : disc.TypeName;
  std::printf("Disque    \u00A0: %s (profil %04Xh, %s)\n", DiscKindName(kind), disc.Profile, type_name.c_str());
  std::printf("État      \u00A0: %s\n", StatusName(disc.DiscStatus));
  std::printf("Effaçable \u00A0: %s\n", disc.Erasable ? "oui" : "non");
  const int sessions = b.GetSessionCount();
  std::printf("Sessions  \u00A0: %d\n", sessions);

  if (!ListTracks(b, disc, cd)) ListTocTracks(b, cd);
  const uint32_t next = b.GetNextWritableAddress();
  const uint32_t free_blocks = b.GetFreeBlocks();
  const uint32_t capacity = b.GetDiscCapacity();
  if (disc.DiscStatus != 2) std::printf("Prochaine adresse d'écriture\u00A0: %u\n", next);
  std::printf("Espace libre\u00A0: %s\n", Blocks(free_blocks, cd).c_str());
  std::printf("Capacité    \u00A0: %s\n", Blocks(capacity, cd).c_str());
  return 0;
}

int Load(DriveSession& session) {
  if (session.burner().LoadEject(false)) {
    session.log().Line(">>> MÉDIA CHARGÉ: - OK.");
    return 0;
  }
  session.ReportFailure(">>> MÉDIA CHARGÉ: - ÉCHEC.");
  return 1;
}

int Eject(DriveSession& session) {
  TVeskBurner& b = session.burner();
  b.SynchronizeCache(300000, /*Immediate=*/false);
  b.PreventAllowRemoval(true);
  if (b.LoadEject(true)) {
    session.log().Line(">>> MÉDIA ÉJECTÉ: - OK.");
    return 0;
  }
  session.ReportFailure(">>> MÉDIA ÉJECTÉ: - ÉCHEC.");
  return 1;
}

int Ready(DriveSession& session) {
  if (session.burner().TestUnitReady(5000)) {
    session.log().Line(">>> L'UNITÉ MEDIA/GRAVEUR EST PRÊTE");
    return 0;
  }
  session.ReportFailure(">>> L'UNITÉ MEDIA/GRAVEUR N'EST PAS PRÊTE ");
  return 1;
}

}  // namespace

void RegisterEmulator() {
  transport::SetLibraryLoader([](const std::string& config) {
    return emu::CreateEmulatedBackEnd(config, &EmulatorError());
  });
}

void RegisterImageReader(const std::string& image) {
  // The drive is built from its description rather than from a
  // "KIND:IMAGE" list, whose syntax a "," or ";" in the name would break.
  transport::SetLibraryLoader([image](const std::string&) -> std::unique_ptr<TAspiBackEnd> {
    emu::TDriveConfig config;
    config.image_path = image;
    struct stat st {};
    const bool fits_cd = stat(image.c_str(), &st) == 0 && st.st_size / 2048 <= emu::kCd80Blocks;
    config.kind = fits_cd ? emu::TMediaKind::kCdRom : emu::TMediaKind::kDvdRom;
    std::unique_ptr<emu::TEmulatedUnit> unit = emu::TEmulatedUnit::Open(config, &EmulatorError());
    if (!unit) return nullptr;
    std::vector<std::unique_ptr<emu::TEmulatedUnit>> units;
    units.push_back(std::move(unit));
    return std::make_unique<emu::TEmulatedBackEnd>(std::move(units));
  });
}

int RunDriveCommand(int argc, char** argv, const DriveOptions& options) {
  const std::string_view command = argv[0];
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kDriveUsage, stdout);
      return 0;
    }
    std::fprintf(stderr, "zamo-cli %s\u00A0: argument inattendu %s\n%s", argv[0], Quoted(argv[i]).c_str(), kDriveUsage);
    return 2;
  }
  RegisterEmulator();
  DriveSession session(options);
  if (command == "devices") return Devices(session);
  if (!session.Select(options.drive)) return 1;
  if (command == "caps") return Caps(session);
  if (command == "info") return Info(session);
  if (command == "load") return Load(session);
  if (command == "eject") return Eject(session);
  if (command == "ready") return Ready(session);
  return 2;
}

}  // namespace zamo::cli
