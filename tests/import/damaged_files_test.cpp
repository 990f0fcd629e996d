// Files whose data the disc does not hold whole: a session interrupted
// while it was recorded, an image file cut short in a read-only drive, a
// file in several extents whose parts are broken. The import marks them
// damaged (or, for a new session, leaves them out), extraction refuses them
// and leaves nothing behind, and every good file of the same session still
// comes out byte for byte. Also the compilation's capacities reached during
// an import: French lines, and what was read stays.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tests/import/import_fixture.h"

namespace zamo::test {
namespace {

using ::testing::HasSubstr;

// ---- The session reader on discs built in memory ----------------------------------------

class DamagedReader : public MiniDiscTest {
 protected:
  DamagedReader() { disc_.JolietSession(); }
  SessionTreeReader::Tree Read(uint32_t recorded_end, DamagedFiles damaged = DamagedFiles::kMark) {
    return MiniDiscTest::Read({}, recorded_end, damaged);
  }
  bool Damaged(const std::string& path) {
    const TFEntry* e = FindPath(burner_, path);
    return e != nullptr && e->Damaged;
  }
};

TEST_F(DamagedReader, AFileIsWholeOnlyWhenItsLastSectorIsRecorded) {
  size_t at = disc_.DotRecords(20, 2048, 20);
  at = disc_.Record(20, at, J("whole;1"), 38, 2 * 2048, 0);    // sectors 38-39: ends at the recorded end
  at = disc_.Record(20, at, J("onebyte;1"), 38, 2 * 2048 + 1, 0);  // one byte in sector 40
  at = disc_.Record(20, at, J("beyond;1"), 45, 10, 0);
  at = disc_.Record(20, at, J("empty;1"), 60, 0, 0);          // no data: nothing to miss
  disc_.Record(20, at, J("sub"), 21, 2048, kFlagDirectory);
  disc_.Record(21, disc_.DotRecords(21, 2048, 20), J("deep;1"), 41, 100, 0);

  ASSERT_EQ(Read(40), SessionTreeReader::Tree::kJoliet) << log_;
  EXPECT_EQ(TreePaths(burner_.RootDir), (std::map<std::string, int64_t>{{"whole", 4096},
                                                                       {"onebyte", 4097},
                                                                       {"beyond", 10},
                                                                       {"empty", 0},
                                                                       {"sub/", 0},
                                                                       {"sub/deep", 100}}));
  EXPECT_FALSE(Damaged("whole"));
  EXPECT_FALSE(Damaged("empty"));
  EXPECT_TRUE(Damaged("onebyte"));
  EXPECT_TRUE(Damaged("beyond"));
  EXPECT_TRUE(Damaged("sub/deep"));
  EXPECT_THAT(log_, HasSubstr(">>> FICHIER ENDOMMAGÉ: \"\\onebyte\" DÉPASSE LA FIN DES DONNÉES ENREGISTRÉES (SECTEUR 40)\n"));
  EXPECT_THAT(log_, HasSubstr(">>> FICHIER ENDOMMAGÉ: \"\\sub\\deep\" DÉPASSE"));
  EXPECT_EQ(compilation_lines_, 3) << log_;

  // For a new session they are left out, each named; the rest is as before.
  burner_.ClearCompilation(1000, 100);
  log_.clear();
  compilation_lines_ = 0;
  ASSERT_EQ(Read(40, DamagedFiles::kLeaveOut), SessionTreeReader::Tree::kJoliet) << log_;
  EXPECT_EQ(TreePaths(burner_.RootDir),
            (std::map<std::string, int64_t>{{"whole", 4096}, {"empty", 0}, {"sub/", 0}}));
  EXPECT_THAT(log_, HasSubstr(">>> FICHIER ENDOMMAGÉ: \"\\beyond\" DÉPASSE LA FIN DES DONNÉES ENREGISTRÉES (SECTEUR "
                              "40), IL N'EST PAS REPRIS DANS LA NOUVELLE SESSION\n"));
  EXPECT_EQ(compilation_lines_, 3) << log_;

  // Without a known end nothing is judged.
  burner_.ClearCompilation(1000, 100);
  ASSERT_EQ(Read(0), SessionTreeReader::Tree::kJoliet);
  EXPECT_FALSE(Damaged("beyond"));
}

// A file in several extents: the parts of one name, each but the last
// flagged "not final".
struct Part {
  uint32_t extent;
  uint32_t size;
  bool last;
};
struct ChainCase {
  const char* name;
  std::vector<Part> parts;
  bool followed_by_a_file;  // another record comes before the chain ends
  int64_t imported_size;    // -1: left out
  bool damaged;
  const char* line;  // expected in the log ("" for none)
};

class Chains : public DamagedReader, public ::testing::WithParamInterface<ChainCase> {};

TEST_P(Chains, PartsMakeOneFileOnlyWhenTheyFollowOneAnother) {
  const ChainCase& c = GetParam();
  size_t at = disc_.DotRecords(20, 2048, 20);
  at = disc_.Record(20, at, J("avant;1"), 30, 5, 0);
  for (const Part& part : c.parts) at = disc_.Record(20, at, J("gros;1"), part.extent, part.size, part.last ? 0 : 0x80);
  if (c.followed_by_a_file) disc_.Record(20, at, J("apres;1"), 31, 6, 0);

  ASSERT_EQ(Read(50), SessionTreeReader::Tree::kJoliet) << log_;
  const TFEntry* gros = FindPath(burner_, "gros");
  if (c.imported_size < 0) {
    EXPECT_EQ(gros, nullptr);
  } else {
    ASSERT_NE(gros, nullptr) << log_;
    EXPECT_EQ(gros->IsoSize, c.imported_size);
    EXPECT_EQ(gros->IsoExtent, static_cast<int32_t>(c.parts.front().size > 0 ? c.parts.front().extent
                                                                               : c.parts[1].extent));
    EXPECT_EQ(gros->Damaged, c.damaged);
  }
  // The records around the chain are never lost with it.
  EXPECT_NE(FindPath(burner_, "avant"), nullptr);
  if (c.followed_by_a_file) {
    EXPECT_NE(FindPath(burner_, "apres"), nullptr);
  }
  if (*c.line == '\0') {
    EXPECT_EQ(compilation_lines_, 0) << log_;
  } else {
    EXPECT_THAT(log_, HasSubstr(c.line));
    EXPECT_EQ(compilation_lines_, 1) << log_;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Chains,
    ::testing::Values(
        ChainCase{"Contiguous", {{40, 2048, false}, {41, 2049, true}}, true, 4097, false, ""},
        ChainCase{"ThreeParts", {{40, 4096, false}, {42, 2048, false}, {43, 1, true}}, false, 6145, false, ""},
        ChainCase{"EmptyFirstPart", {{0, 0, false}, {44, 3000, true}}, true, 3000, false, ""},
        ChainCase{"LastPartPastTheRecordedEnd", {{48, 2048, false}, {49, 2049, true}}, true, 4097, true,
                  "FICHIER ENDOMMAGÉ: \"\\gros\" DÉPASSE LA FIN DES DONNÉES ENREGISTRÉES (SECTEUR 50)"},
        ChainCase{"Gap", {{40, 2048, false}, {42, 2049, true}}, true, -1, false,
                  "FICHIER EN PLUSIEURS PARTIES NON PRIS EN CHARGE \"\\gros\""},
        ChainCase{"PartNotInWholeSectors", {{40, 2000, false}, {41, 2049, true}}, true, -1, false,
                  "FICHIER EN PLUSIEURS PARTIES NON PRIS EN CHARGE \"\\gros\""},
        ChainCase{"NoLastPartBeforeAnotherFile", {{40, 2048, false}, {41, 2048, false}}, true, -1, false,
                  "FICHIER EN PLUSIEURS PARTIES SANS SA DERNIÈRE PARTIE \"\\gros\" IGNORÉ"},
        ChainCase{"NoLastPartBeforeTheDirectoryEnds", {{40, 2048, false}}, false, -1, false,
                  "FICHIER EN PLUSIEURS PARTIES SANS SA DERNIÈRE PARTIE \"\\gros\" IGNORÉ"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// ---- The compilation's capacities during an import -----------------------------------------

TEST_F(DamagedReader, AtTheFolderCapacityTheFilesOfFoldersAlreadyMadeStillComeIn) {
  burner_.ClearCompilation(1000, 3);  // the root and two folders
  size_t at = disc_.DotRecords(20, 2048, 20);
  for (int i = 0; i < 4; ++i) {
    const uint32_t lba = 21 + static_cast<uint32_t>(i);
    at = disc_.Record(20, at, J("d" + std::to_string(i)), lba, 2048, kFlagDirectory);
    disc_.Record(lba, disc_.DotRecords(lba, 2048, 20), J("f" + std::to_string(i) + ";1"), 30, 1, 0);
  }
  disc_.Record(20, at, J("last;1"), 31, 2, 0);  // after every folder
  ASSERT_EQ(Read(0), SessionTreeReader::Tree::kJoliet);
  EXPECT_EQ(TreePaths(burner_.RootDir), (std::map<std::string, int64_t>{
                                            {"d0/", 0}, {"d0/f0", 1}, {"d1/", 0}, {"d1/f1", 1}, {"last", 2}}));
  EXPECT_THAT(log_, HasSubstr(">>> ERREUR IMPORTATION SESSION, LIMITE DE 3 DOSSIERS ATTEINTE: \"\\d2\" ET SON "
                              "CONTENU NE SONT PAS IMPORTÉS\n"));
  EXPECT_THAT(log_, HasSubstr("\"\\d3\" ET SON CONTENU"));
  EXPECT_THAT(log_, ::testing::Not(HasSubstr("MAXIMUM")));
}

// ---- Discs in the emulated recorder ----------------------------------------------------------

// A CD-R whose first session was interrupted: its invisible track holds the
// session's first `recorded` sectors only. Made as a run stopped mid-way
// leaves it: the image as far as it got, and the state file.
class InterruptedCdR : public DiscTest {
 protected:
  void SetUp() override {
    DiscTest::SetUp();
    // In the layout's order: a.txt, gros.bin, z.txt.
    MakeTree(dir_ / "src", {{"a.txt", "premier fichier\n"}, {"gros.bin", Bytes(400000, 5)}, {"z.txt", "dernier\n"}});
    ASSERT_EQ(MakeImage(Maker::kZamo, dir_ / "src", dir_ / "full.iso"), "");
    full_ = ReadFile(dir_ / "full.iso");
    gros_ = Le32At(full_, JolietRecordAt(full_, "gros.bin;1") + 2);
    recorded_ = gros_ + 100;  // inside gros.bin's 196 sectors
  }
  void Record(const std::string& track_state, uint32_t written) {
    WriteFile(image_, full_.substr(0, size_t{written} * 2048));
    WriteFile(image_ + ".state", "zamo-disc 1\nkind cd-r\nfinalized no\nformatted no\nrestricted-overwrite no\n"
                                 "session 1 " + std::string(track_state == "invisible" ? "open" : "closed") +
                                     "\ntrack 1 " + track_state + " 0 " +
                                     (track_state == "invisible" ? "0" : std::to_string(written)) + " " +
                                     std::to_string(written) + "\n" +
                                     (track_state == "invisible" ? "" : "session 2 open\ntrack 2 invisible " +
                                                                            std::to_string(written + 11400) + " 0 0\n"));
    Load("cd-r", image_);
  }

  std::string image_ = dir_ / "cd.img";
  std::string full_;
  uint32_t gros_ = 0;
  uint32_t recorded_ = 0;
};

TEST_F(InterruptedCdR, FilesPastWhatTheTrackHoldsAreDamagedAndRefusedTheOthersComeOut) {
  Record("invisible", recorded_);
  ASSERT_TRUE(burner_.ImportSessionTree(-1, nullptr)) << Log();
  const TFEntry* a = FindPath(burner_, "a.txt");
  const TFEntry* gros = FindPath(burner_, "gros.bin");
  const TFEntry* z = FindPath(burner_, "z.txt");
  ASSERT_TRUE(a && gros && z) << Log();
  EXPECT_FALSE(a->Damaged);
  EXPECT_TRUE(gros->Damaged);
  EXPECT_TRUE(z->Damaged);
  EXPECT_EQ(gros->IsoSize, 400000) << "listed at its recorded size";
  EXPECT_THAT(CompilationLines(), HasSubstr("\"\\gros.bin\" DÉPASSE LA FIN DES DONNÉES ENREGISTRÉES (SECTEUR " +
                                            std::to_string(recorded_) + ")"));

  mkdir((dir_ / "out").c_str(), 0777);
  EXPECT_TRUE(burner_.ExtractFile(a, dir_ / "out/a.txt")) << burner_.ExtractError;
  EXPECT_EQ(ReadFile(dir_ / "out/a.txt"), "premier fichier\n");
  EXPECT_FALSE(burner_.ExtractFile(gros, dir_ / "out/gros.bin"));
  EXPECT_THAT(burner_.ExtractError, HasSubstr("EXTRACTION REFUSÉE: LE FICHIER \"gros.bin\" EST ENDOMMAGÉ"));
  EXPECT_EQ(ReadTree(dir_ / "out"), (std::map<std::string, std::string>{{"a.txt", "premier fichier\n"}}));
}

TEST_F(InterruptedCdR, TheEndOfAnInterruptedSessionThisJobClosedBoundsItsData) {
  // The session was closed after the interruption: the drive says its track
  // is complete (padded), but the component knows where the data stopped.
  Record("complete", static_cast<uint32_t>(full_.size() / 2048));
  burner_.InterruptedSessionEnd = recorded_;
  ASSERT_TRUE(burner_.ImportSessionTree(1, nullptr)) << Log();
  EXPECT_FALSE(FindPath(burner_, "a.txt")->Damaged);
  EXPECT_TRUE(FindPath(burner_, "gros.bin")->Damaged);

  // Without an interrupted session the track says it all.
  burner_.ClearCompilation(100, 10);
  burner_.InterruptedSessionEnd = 0;
  ASSERT_TRUE(burner_.ImportSessionTree(1, nullptr)) << Log();
  EXPECT_FALSE(FindPath(burner_, "gros.bin")->Damaged);
  EXPECT_FALSE(FindPath(burner_, "z.txt")->Damaged);
}

TEST_F(InterruptedCdR, TheImportForANewSessionLeavesDamagedFilesOut) {
  Record("invisible", recorded_);
  MakeTree(dir_ / "new", {{"nouveau.txt", "nouveau\n"}});
  burner_.ClearCompilation(100, 10);
  burner_.SessionToImport = 0xFFFF;
  ASSERT_GT(burner_.AddFolder("\\", dir_ / "new/", false, false, true, faAnyFile, "*"), 0);
  burner_.WritingToDisc = true;
  burner_.LayoutImage(false, nullptr);
  burner_.WritingToDisc = false;
  EXPECT_EQ(burner_.SessionStart, static_cast<int32_t>(recorded_)) << "the new session follows what was recorded";
  EXPECT_EQ(TreePaths(burner_.RootDir), (std::map<std::string, int64_t>{{"a.txt", 16}, {"nouveau.txt", 8}}));
  EXPECT_THAT(CompilationLines(), HasSubstr("\"\\gros.bin\" DÉPASSE LA FIN DES DONNÉES ENREGISTRÉES (SECTEUR " +
                                            std::to_string(recorded_) + "), IL N'EST PAS REPRIS DANS LA NOUVELLE SESSION"));
  EXPECT_THAT(CompilationLines(), HasSubstr("\"\\z.txt\" DÉPASSE"));
  EXPECT_FALSE(burner_.ImportLeavesOutDamaged) << "set for the layout's import only";

  // Browsing afterwards marks them again.
  burner_.ClearCompilation(100, 10);
  ASSERT_TRUE(burner_.ImportSessionTree(-1, nullptr));
  EXPECT_TRUE(FindPath(burner_, "gros.bin")->Damaged);
}

// An image file cut short in a read-only drive: the disc is its whole
// sectors. Each case cuts at a byte counted from gros.bin's data.
struct Cut {
  const char* name;
  int64_t from_gros_start;  // bytes after gros.bin's first sector's start
  bool gros_damaged;
};

class TruncatedImage : public DiscTest, public ::testing::WithParamInterface<Cut> {
 protected:
  // Extracts every file of the root into `dest`: exactly the damaged ones fail.
  void ExtractAllowingFailures(const std::string& dest) {
    ASSERT_EQ(mkdir(dest.c_str(), 0777), 0);
    for (const TFEntry* e = burner_.RootDir->FirstChild; e != nullptr; e = e->Next)
      EXPECT_EQ(burner_.ExtractFile(e, dest + "/" + DiscName(*e)), !e->Damaged) << DiscName(*e) << burner_.ExtractError;
  }
};

TEST_P(TruncatedImage, FilesPastTheLastWholeSectorAreDamaged) {
  // gros.bin: 399,360 bytes = 195 sectors exactly; z.txt follows it.
  MakeTree(dir_ / "src", {{"a.txt", "premier\n"}, {"gros.bin", Bytes(195 * 2048, 9)}, {"z.txt", "dernier\n"}});
  const std::string iso = dir_ / "disc.iso";
  ASSERT_EQ(MakeImage(Maker::kZamo, dir_ / "src", iso), "");
  const std::string full = ReadFile(iso);
  const uint32_t gros = Le32At(full, JolietRecordAt(full, "gros.bin;1") + 2);
  ASSERT_EQ(Le32At(full, JolietRecordAt(full, "z.txt;1") + 2), gros + 195);
  ASSERT_EQ(truncate(iso.c_str(), int64_t{gros} * 2048 + GetParam().from_gros_start), 0);
  Load("cd-rom", iso);

  ASSERT_TRUE(burner_.ImportSessionTree(-1, nullptr)) << Log();
  ASSERT_NE(FindPath(burner_, "gros.bin"), nullptr);
  EXPECT_EQ(FindPath(burner_, "gros.bin")->Damaged, GetParam().gros_damaged) << Log();
  EXPECT_TRUE(FindPath(burner_, "z.txt")->Damaged);
  EXPECT_FALSE(FindPath(burner_, "a.txt")->Damaged);
  ExtractAllowingFailures(dir_ / "out");
  std::map<std::string, std::string> expected = {{"a.txt", "premier\n"}};
  if (!GetParam().gros_damaged) expected["gros.bin"] = Bytes(195 * 2048, 9);
  EXPECT_TRUE(SameFiles(ReadTree(dir_ / "out"), expected));
}

INSTANTIATE_TEST_SUITE_P(Cuts, TruncatedImage,
                         ::testing::Values(Cut{"InsideTheFile", 100 * 2048, true},
                                           Cut{"OneByteShortOfItsLastSector", 195 * 2048 - 1, true},
                                           Cut{"AfterItsLastSector", 195 * 2048, false},
                                           Cut{"ABytePastItsLastSector", 195 * 2048 + 1, false}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace zamo::test
