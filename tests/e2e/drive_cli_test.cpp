// drive_cli_test.cpp: `zamo-cli devices|caps|info|load|eject|ready` on
// emulated recorders holding every kind of disc, read as a user reads them:
// the numbers of each line (sectors, MB, minutes, addresses), the tray's texts
// and exit statuses across separate processes, the choice of a drive, and
// the failures a user can meet (bad configuration, no drive, usage).
//
// Discs with recorded sessions are described by the emulator's state file
// (emulator/README.md), so the expected layout is written down here rather
// than taken from the program under test.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <glob.h>

#include <algorithm>
#include <regex>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/run.h"
#include "tests/support/temp_dir.h"

namespace zamo::test {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr uint32_t kCdBlocks = 359'849;  // 80 minutes
constexpr uint32_t kDvdBlocks = 2'295'104;
constexpr uint32_t kDvdRamBlocks = 2'236'704;
constexpr uint32_t kDvdDlBlocks = 4'173'824;
constexpr const char* kNotReady = ">>> L'UNITÉ MEDIA/GRAVEUR N'EST PAS PRÊTE ";
constexpr const char* kTrayOpenText = "PAS PRÊT (MEDIUM NOT PRESENT - TRAY OPEN)";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The value of the line "LABEL<spaces><non-breaking space>: VALUE"; empty
// when there is none (a colon without its non-breaking space is none).
std::string Field(const std::string& text, const std::string& label) {
  const std::string colon = "\u00A0: ";
  for (const std::string& line : Lines(text)) {
    if (!line.starts_with(label)) continue;
    const size_t at = line.find_first_not_of(' ', label.size());
    if (at != std::string::npos && line.compare(at, colon.size(), colon) == 0) return line.substr(at + colon.size());
  }
  return {};
}

// A size as zamo-cli writes it: "N secteurs, M Mo[, mm:ss min]", recomputed
// here from the sector count alone (Mo = sectors x 2048 / 1048576 to the
// nearest hundredth, with a decimal comma and the thousands apart by a
// non-breaking space, and a CD's minutes at 75 sectors a second).
std::string SizeText(uint32_t sectors, bool cd) {
  const uint64_t hundredths = (static_cast<uint64_t>(sectors) * 2048 * 100 + 524'288) / 1'048'576;  // half up
  std::string whole = std::to_string(hundredths / 100);
  if (whole.size() > 3) whole.insert(whole.size() - 3, "\u00A0");
  char text[96];
  std::snprintf(text, sizeof text, "%u secteurs, %s,%02llu Mo", sectors, whole.c_str(),
                static_cast<unsigned long long>(hundredths % 100));
  std::string result = text;
  if (cd) {
    std::snprintf(text, sizeof text, ", %02u:%02u min", sectors / 75 / 60, sectors / 75 % 60);
    result += text;
  }
  return result;
}

// "Piste N  session S  début A  REST" lines of `info`, as fields.
struct TrackLine {
  unsigned number = 0, session = 0, start = 0;
  std::string rest;
};
std::vector<TrackLine> Tracks(const std::string& info) {
  std::vector<TrackLine> tracks;
  for (const std::string& line : Lines(info)) {
    TrackLine t;
    int used = 0;
    if (std::sscanf(line.c_str(), "Piste %u session %u début %u %n", &t.number, &t.session, &t.start, &used) == 3) {
      t.rest = line.substr(static_cast<size_t>(used));
      tracks.push_back(t);
    }
  }
  return tracks;
}

bool HaveRealDrives() {
  glob_t found{};
  const bool any = ::glob("/sys/class/block/sr*", 0, nullptr, &found) == 0 && found.gl_pathc > 0;
  ::globfree(&found);
  return any;
}

class DriveCli : public ::testing::Test {
 protected:
  // zamo-cli with ZAMO_EMULATED_DRIVES set to `drives` (unset when empty), in
  // a C locale (decimal point), the trays of pressed discs kept in this
  // test's folder rather than the user's.
  RunResult Cli(const std::vector<std::string>& args, const std::string& drives = "") {
    std::vector<std::string> argv = {"env", "-u", "ZAMO_EMULATED_DRIVES", "LC_ALL=C.UTF-8",
                                     "XDG_STATE_HOME=" + (dir_ / "state")};
    if (!drives.empty()) argv.push_back("ZAMO_EMULATED_DRIVES=" + drives);
    argv.push_back(ZamoCli());
    argv.insert(argv.end(), args.begin(), args.end());
    return zamo::test::Run(argv, 60);
  }
  // `command` on the single drive `drive` ("KIND:IMAGE[,options]"), given by --emulate.
  RunResult On(const std::string& drive, const std::string& command) { return Cli({"--emulate", drive, command}); }

  // `info` that must succeed.
  std::string Info(const std::string& drive) {
    const RunResult r = On(drive, "info");
    EXPECT_EQ(r.status, 0) << Describe(r);
    return r.out;
  }

  // A recordable disc described by its state file (the image holds zeros).
  std::string DiscWithState(const std::string& name, const std::string& state) {
    WriteFile(dir_ / (name + ".state"), state);
    WriteFile(dir_ / name, "");
    return dir_ / name;
  }

  // An ISO image made by `zamo-cli mkiso` from a small tree; its size in sectors.
  std::string MakeIso(uint32_t* sectors) {
    MakeTree(dir_ / "tree", {{"docs/lisez-moi.txt", "bonjour\n"}, {"data/a.bin", Bytes(300'000)}});
    const std::string iso = dir_ / "tree.iso";
    const RunResult r = Cli({"mkiso", "-o", iso, dir_ / "tree"});
    EXPECT_EQ(r.status, 0) << Describe(r);
    *sectors = static_cast<uint32_t>(fs::file_size(iso) / 2048);
    return iso;
  }

  TempDir dir_;
};

// ---------------------------------------------------------------------------
// Drive list, choice of a drive, capabilities.

TEST_F(DriveCli, DevicesListsEveryConfiguredDriveOnItsOwnLine) {
  const std::string drives = "cd-r:" + (dir_ / "a.img") + ";dvd+rw:" + (dir_ / "b.img") +
                             ",model=DVD WRITER;dvd-ram:" + (dir_ / "c.img") + ",tray=open";
  const RunResult r = Cli({"devices"}, drives);
  ASSERT_EQ(r.status, 0) << Describe(r);
  // Vendor (8), product (16) and revision (4) as the drive gives them.
  EXPECT_THAT(Lines(r.out), ElementsAre("Transport\u00A0: ZAMOEMU", "0  0:0:0,emu0: ZAMO    VIRTUAL RECORDER1.00",
                                        "1  0:1:0,emu1: ZAMO    DVD WRITER      1.00",
                                        "2  0:2:0,emu2: ZAMO    VIRTUAL RECORDER1.00"));
  // Listing touches no disc: no state file is made.
  EXPECT_FALSE(fs::exists(dir_ / "a.img.state"));

  // --emulate wins over the environment.
  const RunResult one = Cli({"--emulate", "dvd-r:" + (dir_ / "d.img"), "devices"}, drives);
  ASSERT_EQ(one.status, 0) << Describe(one);
  EXPECT_EQ(Lines(one.out).size(), 2u) << one.out;
}

TEST_F(DriveCli, DriveIsChosenByNumberNodeOrAddress) {
  const std::string drives = "cd-r:" + (dir_ / "a.img") + ";dvd-r:" + (dir_ / "b.img") + ",model=SECOND";
  for (const std::vector<std::string>& choice :
       {std::vector<std::string>{"--drive", "1"}, {"--drive", "emu1"}, {"--drive", "0:1:0"}, {"--drive=emu1"}}) {
    std::vector<std::string> args = choice;
    args.push_back("caps");
    const RunResult r = Cli(args, drives);
    ASSERT_EQ(r.status, 0) << choice[0] << Describe(r);
    EXPECT_EQ(Field(r.out, "Graveur"), "ZAMO     SECOND           1.00") << choice[0];  // 30 characters
    EXPECT_EQ(Field(r.out, "Adresse"), "0:1:0 (emu1, ZAMOEMU)") << choice[0];
    EXPECT_EQ(Field(r.out, "Disque"), "DVD-R") << choice[0];
  }
  const RunResult first = Cli({"info"}, drives);  // no --drive: the first one
  EXPECT_EQ(Field(first.out, "Disque"), "CD-R (profil 0009h, CD-R)") << Describe(first);

  for (const char* missing : {"9", "2", "emu7", "1:0:0", "/dev/sr0", "-1"}) {
    const RunResult r = Cli({"--drive", missing, "info"}, drives);
    EXPECT_EQ(r.status, 1) << missing << Describe(r);
    EXPECT_THAT(r.err, HasSubstr(std::string("Lecteur «\u00A0") + missing + "\u00A0» introuvable")) << missing;
    EXPECT_EQ(r.out, "") << missing;
  }
}

TEST_F(DriveCli, CapsGivesProfilesMediaAndSpeeds) {
  const RunResult r = On("cd-r:" + (dir_ / "a.img"), "caps");
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_EQ(Field(r.out, "Graveur"), "ZAMO     VIRTUAL RECORDER 1.00");
  const std::string profiles = Field(r.out, "Profils");
  for (const char* name : {"CD-ROM", "CD-R", "CD-RW", "DVD-ROM", "DVD-R", "DVD-RAM", "DVD-RW Sequential Recording",
                           "DVD-RW Restricted Overwrite", "DVD+RW", "DVD+R", "DVD+R DL"})
    EXPECT_THAT(profiles, HasSubstr(name));
  EXPECT_EQ(Field(r.out, "Disque"), "CD-R");  // the current profile
  EXPECT_EQ(Field(r.out, "Lit"), "CD-R, CD-RW, DVD-ROM, DVD-R, DVD-RW, DVD-RAM, DVD+R, DVD+R DL, DVD+RW");
  EXPECT_EQ(Field(r.out, "Grave"), "CD-R, CD-RW, DVD-R, DVD-RW, DVD-RAM, DVD+R, DVD+R DL, DVD+RW");
  EXPECT_EQ(Field(r.out, "Simulation"), "oui");

  // Speeds in kB/s with their CD (176.4 kB/s) and DVD (1385 kB/s) factors,
  // the DVD's with a decimal comma.
  unsigned read = 0, write = 0, current = 0;
  const std::string read_max = Field(r.out, "Lecture max");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(read_max, m, std::regex(R"((\d+) Ko/s \((\d+)x CD, (\d+),(\d)x DVD\))"))) << r.out;
  read = static_cast<unsigned>(std::stoul(m[1]));
  const double read_cd = std::stod(m[2]);
  const double read_dvd = std::stod(m[3].str() + "." + m[4].str());
  EXPECT_NEAR(read_cd, read / 176.4, 0.5);
  EXPECT_NEAR(read_dvd, read / 1385.0, 0.05);
  ASSERT_EQ(std::sscanf(Field(r.out, "Écriture max").c_str(), "%u Ko/s", &write), 1) << r.out;
  ASSERT_EQ(std::sscanf(Field(r.out, "Écriture actuelle").c_str(), "%u Ko/s", &current), 1) << r.out;
  EXPECT_GT(write, 0u);
  EXPECT_LE(current, write);
  // The write speed list runs from the maximum down.
  std::istringstream speeds(Field(r.out, "Vitesses d'écriture"));
  std::vector<unsigned> list;
  for (unsigned s = 0; speeds >> s;) {
    list.push_back(s);
    if (speeds.peek() == ',') speeds.get();
  }
  ASSERT_FALSE(list.empty()) << r.out;
  EXPECT_EQ(list.front(), write);
  EXPECT_TRUE(std::is_sorted(list.rbegin(), list.rend()));

  // Another disc in the same recorder: only the current profile changes.
  const RunResult dvd = On("dvd+r-dl:" + (dir_ / "dl.img"), "caps");
  ASSERT_EQ(dvd.status, 0) << Describe(dvd);
  EXPECT_EQ(Field(dvd.out, "Disque"), "DVD+R DL");
  EXPECT_EQ(Field(dvd.out, "Profils"), profiles);
  const RunResult open = On("dvd-r:" + (dir_ / "o.img") + ",tray=open", "caps");
  ASSERT_EQ(open.status, 0) << Describe(open);  // what the drive can do does not need a disc
  EXPECT_EQ(Field(open.out, "Disque"), "aucun");
}

// ---------------------------------------------------------------------------
// What `info` says of each kind of disc.

TEST_F(DriveCli, BlankCdR) {
  const std::string info = Info("cd-r:" + (dir_ / "blank.img"));
  EXPECT_EQ(Field(info, "Disque"), "CD-R (profil 0009h, CD-R)");
  EXPECT_EQ(Field(info, "État"), "vierge");
  EXPECT_EQ(Field(info, "Effaçable"), "non");
  EXPECT_EQ(Field(info, "Sessions"), "0");
  EXPECT_EQ(Field(info, "Prochaine adresse d'écriture"), "0");
  EXPECT_EQ(Field(info, "Espace libre"), SizeText(kCdBlocks, true));
  EXPECT_EQ(Field(info, "Espace libre"), "359849 secteurs, 702,83 Mo, 79:57 min");
  EXPECT_EQ(Field(info, "Capacité"), SizeText(kCdBlocks, true));
  const std::vector<TrackLine> tracks = Tracks(info);
  ASSERT_EQ(tracks.size(), 1u) << info;
  EXPECT_EQ(tracks[0].start, 0u);
  EXPECT_EQ(tracks[0].rest, "vierge, " + SizeText(kCdBlocks, true) + " libres");
  EXPECT_FALSE(fs::exists(dir_ / "blank.img.state"));  // looking changes nothing
}

TEST_F(DriveCli, AppendableCdRWithTwoSessions) {
  // Session 1: 300 blocks at 0; the first lead-out, lead-in and pre-gap take
  // 11,400 blocks, so session 2 starts at 11,700 (500 blocks); later gaps take
  // 6,900, so the next session starts at 12,200 + 6,900 = 19,100.
  const std::string image = DiscWithState("two.img",
                                          "zamo-disc 1\nkind cd-r\nfinalized no\nformatted no\n"
                                          "restricted-overwrite no\n"
                                          "session 1 closed\ntrack 1 complete 0 300 300\n"
                                          "session 2 closed\ntrack 2 complete 11700 500 500\n"
                                          "session 3 open\ntrack 3 invisible 19100 0 0\n");
  const std::string info = Info("cd-r:" + image);
  EXPECT_EQ(Field(info, "État"), "incomplet (une session peut être ajoutée)");
  EXPECT_EQ(Field(info, "Sessions"), "2");  // the empty third one does not count
  const std::vector<TrackLine> tracks = Tracks(info);
  ASSERT_EQ(tracks.size(), 3u) << info;
  EXPECT_EQ(tracks[0].session, 1u);
  EXPECT_EQ(tracks[0].start, 0u);
  EXPECT_EQ(tracks[0].rest, SizeText(300, true));
  EXPECT_EQ(tracks[1].session, 2u);
  EXPECT_EQ(tracks[1].start, 11'700u);
  EXPECT_EQ(tracks[1].rest, SizeText(500, true));
  EXPECT_EQ(tracks[2].session, 3u);
  EXPECT_EQ(tracks[2].start, 19'100u);
  EXPECT_EQ(tracks[2].rest, "vierge, " + SizeText(kCdBlocks - 19'100, true) + " libres");
  EXPECT_EQ(Field(info, "Prochaine adresse d'écriture"), "19100");
  EXPECT_EQ(Field(info, "Espace libre"), SizeText(kCdBlocks - 19'100, true));
  EXPECT_EQ(Field(info, "Capacité"), SizeText(kCdBlocks, true));
}

TEST_F(DriveCli, ClosedDvdR) {
  const std::string image = DiscWithState("closed.img",
                                          "zamo-disc 1\nkind dvd-r\nfinalized yes\nformatted no\n"
                                          "restricted-overwrite no\n"
                                          "session 1 closed\ntrack 1 complete 0 1024 1024\n");
  const std::string info = Info("dvd-r:" + image);
  EXPECT_EQ(Field(info, "Disque"), "DVD-R (profil 0011h, DVD-R)");
  EXPECT_EQ(Field(info, "État"), "complet (fermé)");
  EXPECT_EQ(Field(info, "Sessions"), "1");
  const std::vector<TrackLine> tracks = Tracks(info);
  ASSERT_EQ(tracks.size(), 1u) << info;
  EXPECT_EQ(tracks[0].rest, SizeText(1024, false));
  EXPECT_EQ(Field(info, "Prochaine adresse d'écriture"), "");  // a closed disc takes nothing more
  EXPECT_EQ(Field(info, "Espace libre"), SizeText(0, false));
  // Its last track has no next writable address: the disc ends with it
  // (adding that meaningless field to no free blocks once said 0).
  EXPECT_EQ(Field(info, "Capacité"), SizeText(1024, false));
}

TEST_F(DriveCli, DvdPlusRwUnformattedThenFormattedWithAnImage) {
  std::string info = Info("dvd+rw:" + (dir_ / "new.img"));
  EXPECT_EQ(Field(info, "Disque"), "DVD+RW (profil 001Ah, DVD+RW)");
  EXPECT_EQ(Field(info, "État"), "vierge");
  EXPECT_EQ(Field(info, "Effaçable"), "oui");
  EXPECT_EQ(Field(info, "Sessions"), "0");
  EXPECT_EQ(Field(info, "Prochaine adresse d'écriture"), "0");
  EXPECT_EQ(Field(info, "Espace libre"), SizeText(kDvdBlocks, false));
  EXPECT_EQ(Field(info, "Capacité"), SizeText(kDvdBlocks, false));

  // Formatted, holding an image made by mkiso: the used space is the ISO
  // volume's size (primary descriptor, block 16, bytes 80-83).
  uint32_t iso_sectors = 0;
  const std::string iso = MakeIso(&iso_sectors);
  const std::string bytes = ReadFile(iso);
  ASSERT_GT(bytes.size(), 16u * 2048 + 84);
  const auto* pvd = reinterpret_cast<const unsigned char*>(bytes.data()) + 16 * 2048;
  const uint32_t volume = pvd[80] | pvd[81] << 8 | pvd[82] << 16 | static_cast<uint32_t>(pvd[83]) << 24;
  ASSERT_GT(volume, 150u);
  fs::copy_file(iso, dir_ / "plus.img");
  WriteFile(dir_ / "plus.img.state",
            "zamo-disc 1\nkind dvd+rw\nfinalized yes\nformatted yes\nrestricted-overwrite no\n"
            "session 1 closed\ntrack 1 complete 0 2295104 2295104\n");
  info = Info("dvd+rw:" + (dir_ / "plus.img"));
  EXPECT_EQ(Field(info, "État"), "complet (fermé)");
  EXPECT_EQ(Field(info, "Espace libre"), SizeText(kDvdBlocks - volume, false));
  EXPECT_EQ(Field(info, "Capacité"), SizeText(kDvdBlocks, false));
}

TEST_F(DriveCli, DvdRamDvdRwAndDvdPlusRDl) {
  std::string info = Info("dvd-ram:" + (dir_ / "ram.img"));
  EXPECT_EQ(Field(info, "Disque"), "DVD-RAM (profil 0012h, DVD-RAM)");
  EXPECT_EQ(Field(info, "Effaçable"), "oui");
  EXPECT_EQ(Field(info, "Prochaine adresse d'écriture"), "0");  // no ISO volume on it yet
  EXPECT_EQ(Field(info, "Espace libre"), SizeText(kDvdRamBlocks, false));
  EXPECT_EQ(Field(info, "Capacité"), SizeText(kDvdRamBlocks, false));

  info = Info("dvd-rw:" + (dir_ / "rw.img"));
  EXPECT_EQ(Field(info, "Disque"), "DVD-RW (profil 0014h, DVD-RW Sequential Recording)");
  EXPECT_EQ(Field(info, "État"), "vierge");
  EXPECT_EQ(Field(info, "Effaçable"), "oui");
  EXPECT_EQ(Field(info, "Espace libre"), SizeText(kDvdBlocks, false));
  EXPECT_EQ(Field(info, "Capacité"), SizeText(kDvdBlocks, false));

  info = Info("dvd+r-dl:" + (dir_ / "dl.img"));
  EXPECT_EQ(Field(info, "Disque"), "DVD+R DL (profil 002Bh, DVD+R DL)");  // not "???????"
  EXPECT_EQ(Field(info, "Effaçable"), "non");
  EXPECT_EQ(Field(info, "Espace libre"), "4173824 secteurs, 8\u00A0152,00 Mo");
  EXPECT_EQ(Field(info, "Capacité"), SizeText(kDvdDlBlocks, false));
}

TEST_F(DriveCli, PressedDiscsHoldAnImageMadeByMkiso) {
  uint32_t sectors = 0;
  const std::string iso = MakeIso(&sectors);
  for (const char* kind : {"cd-rom", "dvd-rom"}) {
    const bool cd = std::string(kind) == "cd-rom";
    const std::string info = Info(std::string(kind) + ":" + iso);
    EXPECT_EQ(Field(info, "Disque"), cd ? "CD-ROM (profil 0008h, CD-ROM)" : "DVD-ROM (profil 0010h, DVD-ROM)");
    EXPECT_EQ(Field(info, "État"), "complet (fermé)");
    EXPECT_EQ(Field(info, "Sessions"), "1");
    const std::vector<TrackLine> tracks = Tracks(info);
    ASSERT_EQ(tracks.size(), 1u) << info;
    EXPECT_EQ(tracks[0].start, 0u);
    EXPECT_EQ(tracks[0].rest, SizeText(sectors, cd)) << kind;
    EXPECT_EQ(Field(info, "Prochaine adresse d'écriture"), "");
    EXPECT_EQ(Field(info, "Espace libre"), SizeText(0, cd)) << kind;
    EXPECT_EQ(Field(info, "Capacité"), SizeText(sectors, cd)) << kind;
  }
}

// ---------------------------------------------------------------------------
// The tray, across separate processes.

TEST_F(DriveCli, EjectedTrayStaysOpenUntilLoaded) {
  const std::string drive = "cd-r:" + (dir_ / "t.img");
  RunResult r = On(drive, "ready");
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr(">>> L'UNITÉ MEDIA/GRAVEUR EST PRÊTE"));

  r = On(drive, "eject");
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr(">>> MÉDIA ÉJECTÉ: - OK."));

  r = On(drive, "ready");
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr(kNotReady));
  EXPECT_THAT(r.err, HasSubstr(kTrayOpenText));

  r = On(drive, "info");
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr("Aucun disque prêt dans le lecteur"));
  EXPECT_THAT(r.err, HasSubstr(kTrayOpenText));
  EXPECT_EQ(r.out, "");

  r = On(drive, "eject");  // ejecting an open tray is no failure
  EXPECT_EQ(r.status, 0) << Describe(r);

  r = On(drive, "load");
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr(">>> MÉDIA CHARGÉ: - OK."));
  r = On(drive, "ready");
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_THAT(r.err, Not(HasSubstr("N'EST PAS")));
  EXPECT_EQ(Field(Info(drive), "État"), "vierge");
}

TEST_F(DriveCli, PressedDiscTrayLeavesTheUsersFolderAlone) {
  uint32_t sectors = 0;
  const std::string iso = MakeIso(&sectors);
  const std::string drive = "cd-rom:" + iso;
  const auto before = fs::last_write_time(iso);
  ASSERT_EQ(On(drive, "eject").status, 0);
  const RunResult r = On(drive, "ready");
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr(kTrayOpenText));
  EXPECT_FALSE(fs::exists(iso + ".state"));
  EXPECT_EQ(fs::last_write_time(iso), before);
  // Another emulated kind on the same ISO shares the tray: it is the disc's.
  EXPECT_EQ(On("dvd-rom:" + iso, "ready").status, 1);
  ASSERT_EQ(On(drive, "load").status, 0);
  EXPECT_EQ(On(drive, "ready").status, 0);
  EXPECT_TRUE(fs::is_empty(dir_ / "state/zamo/emulated-trays"));
}

TEST_F(DriveCli, TrayOptionsAndALeftoverLock) {
  const std::string image = dir_ / "opt.img";
  RunResult r = On("dvd-r:" + image + ",tray=open", "ready");
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr(kTrayOpenText));
  EXPECT_EQ(On("dvd-r:" + image, "ready").status, 0);  // the option opened that run only

  r = On("dvd-r:" + image + ",disc=none", "ready");
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr("TRAY CLOSED"));

  // A lock another program left: eject allows removal first, as the eject
  // button does, and the lock is gone afterwards.
  DiscWithState("locked.img",
                "zamo-disc 1\nkind cd-r\nremoval prevented\nfinalized no\nformatted no\n"
                "restricted-overwrite no\nsession 1 open\ntrack 1 invisible 0 0 0\n");
  r = On("cd-r:" + (dir_ / "locked.img"), "eject");
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_THAT(ReadFile(dir_ / "locked.img.state"), Not(HasSubstr("removal")));
  EXPECT_THAT(ReadFile(dir_ / "locked.img.state"), HasSubstr("tray open"));
}

// ---------------------------------------------------------------------------
// What a user gets wrong.

TEST_F(DriveCli, UnusableConfigurationIsExplained) {
  struct Case {
    std::string drives;
    std::string expected;
  } cases[] = {
      {"cd-r:" + (dir_ / "a.img") + ";bluray:" + (dir_ / "b.img"), "graveur émulé 2 («\u00A0bluray:"},
      {"cd-r:" + (dir_ / "a.img") + ",tray=ajar", "tray attend open ou closed"},
      {"cd-rom:" + (dir_ / "missing.iso"), "n'existe pas"},
      {"cd-r", "TYPE:FICHIER-IMAGE attendu"},
  };
  for (const Case& c : cases) {
    for (const RunResult& r : {Cli({"devices"}, c.drives), Cli({"--emulate", c.drives, "info"})}) {
      EXPECT_EQ(r.status, 1) << c.drives << Describe(r);
      EXPECT_THAT(r.err, HasSubstr("Graveurs émulés inutilisables\u00A0: ")) << c.drives;
      EXPECT_THAT(r.err, HasSubstr(c.expected)) << c.drives;
      EXPECT_EQ(r.out, "") << c.drives;
    }
  }
  // Somebody's file is never taken for a blank recordable disc.
  WriteFile(dir_ / "photo.jpg", "not a disc");
  const RunResult r = On("cd-r:" + (dir_ / "photo.jpg"), "info");
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr("existe sans fichier d'état"));
  EXPECT_EQ(ReadFile(dir_ / "photo.jpg"), "not a disc");
  // A damaged state file names itself and its line.
  DiscWithState("bad.img", "zamo-disc 1\nkind cd-r\nsession 1 open\ntrack 1 invisible 0 0 0\ntray ajar\n");
  const RunResult bad = On("cd-r:" + (dir_ / "bad.img"), "ready");
  EXPECT_EQ(bad.status, 1) << Describe(bad);
  EXPECT_THAT(bad.err, HasSubstr(dir_ / "bad.img.state"));
  EXPECT_THAT(bad.err, HasSubstr("ligne 5"));
}

TEST_F(DriveCli, NoEmulationAndNoDriveSaysSo) {
  if (HaveRealDrives()) GTEST_SKIP() << "this machine has a CD/DVD drive";
  for (const char* command : {"devices", "info", "ready"}) {
    const RunResult r = Cli({command});
    EXPECT_EQ(r.status, 1) << command << Describe(r);
    EXPECT_THAT(r.err, HasSubstr("Aucun lecteur de CD ou DVD trouvé")) << command;
    // And how to do without one.
    EXPECT_THAT(r.err, HasSubstr("--emulate TYPE:IMAGE")) << command;
    EXPECT_THAT(r.err, HasSubstr("la variable ZAMO_EMULATED_DRIVES")) << command;
    EXPECT_EQ(r.out, "") << command;
  }
}

TEST_F(DriveCli, UsageErrorsExitWith2) {
  const std::string drive = "cd-r:" + (dir_ / "u.img");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--emulate", drive, "devices", "extra"}, {"--emulate", drive, "ready", "--now"},
        {"--emulate", drive, "frobnicate"}, {}, {"--drive"}, {"--emulate", drive}}) {
    const RunResult r = Cli(args);
    EXPECT_EQ(r.status, 2) << testing::PrintToString(args) << Describe(r);
    EXPECT_THAT(r.err, HasSubstr("Utilisation\u00A0: zamo-cli")) << testing::PrintToString(args);
  }
  const RunResult help = Cli({"devices", "--help"});
  EXPECT_EQ(help.status, 0) << Describe(help);
  EXPECT_THAT(help.out, HasSubstr("--drive"));
  EXPECT_FALSE(fs::exists(dir_ / "u.img.state"));
}

}  // namespace
}  // namespace zamo::test
