// The session reader on discs built byte by byte: which tree it takes,
// how imported entries look, and what it does with records a damaged or
// hostile disc holds (every case ends with a line in the log, a partial
// tree and no hang).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "burner/import/session_reader.h"
#include "tests/import/import_fixture.h"

namespace zamo::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

using SessionReaderTest = MiniDiscTest;

TEST_F(SessionReaderTest, JolietTreeIsPreferredAndEntriesAreImportedAtTheirSectors) {
  disc_.Descriptor(16, 1, 20, 2048, 64);
  disc_.Descriptor(17, 2, 21, 2048, 64);
  disc_.Terminator(18);
  size_t at = disc_.DotRecords(20, 2048, 20);
  disc_.Record(20, at, "LONG_NAM.TXT;1", 40, 3000, 0);
  at = disc_.DotRecords(21, 2048, 21);
  at = disc_.Record(21, at, J("Long name.txt;1"), 40, 3000, kFlagHidden, {107, 6, 15, 10, 30, 0, 4});
  at = disc_.Record(21, at, J("vide;1"), 0, 0, 0);
  disc_.Record(21, at, J("Dossier"), 22, 2048, kFlagDirectory);
  disc_.DotRecords(22, 2048, 21);

  ASSERT_EQ(Read(), SessionTreeReader::Tree::kJoliet) << log_;
  EXPECT_EQ(Tree(), (std::map<std::string, int64_t>{{"Long name.txt", 3000}, {"vide", 0}, {"Dossier/", 0}}));
  const TFEntry* file = FindPath(burner_, "Long name.txt");
  ASSERT_NE(file, nullptr);
  EXPECT_TRUE(file->Imported);
  EXPECT_EQ(file->IsoExtent, 40);
  EXPECT_EQ(file->JolietExtent, 40);
  EXPECT_EQ(file->Attr, faHidden);  // hidden kept, nothing else carried over
  time_t seconds = 0;
  ASSERT_TRUE(DateTimeToUnix(file->DateTime, seconds));
  EXPECT_EQ(seconds, 1181899800);  // 10:30 at +01:00
  // An empty file at extent 0 is an imported entry all the same.
  const TFEntry* empty = FindPath(burner_, "vide");
  ASSERT_NE(empty, nullptr);
  EXPECT_TRUE(empty->Imported);
  EXPECT_EQ(burner_.CompilationBytes, 0) << "imported data is never counted as new data";
  EXPECT_EQ(compilation_lines_, 0) << log_;
}

TEST_F(SessionReaderTest, IsoTreeStandsInWhenTheJolietRootCannotBeRead) {
  disc_.Descriptor(16, 1, 20, 2048, 64);
  disc_.Descriptor(17, 2, 70, 2048, 100);  // a Joliet root that cannot be read
  disc_.Terminator(18);
  const size_t at = disc_.DotRecords(20, 2048, 20);
  disc_.Record(20, at, "README.;1", 30, 10, 0);
  ASSERT_EQ(Read(), SessionTreeReader::Tree::kIso9660) << log_;
  EXPECT_EQ(Tree(), (std::map<std::string, int64_t>{{"README", 10}}));
  EXPECT_THAT(log_, HasSubstr("SECTEUR 70 ILLISIBLE: LE DOSSIER \"\\\" EST INCOMPLET"));
}

TEST_F(SessionReaderTest, NoDescriptorBeforeTheTerminatorIsNoSession) {
  disc_.Terminator(16);
  disc_.Descriptor(17, 1, 20, 2048, 64);  // after the terminator: not part of the set
  EXPECT_EQ(Read(), SessionTreeReader::Tree::kNone);
}

TEST_F(SessionReaderTest, RecordsWithoutDotEntriesAndAcrossSectorsAreAllRead) {
  disc_.JolietSession(20, 4096);
  size_t at = 0;  // no "." and ".." records at all
  int n = 0;
  while (at + 33 + 2 * 8 + 1 <= 2048) at = disc_.Record(20, at, J("f" + std::to_string(1000 + n++) + ";1"), 30, 1, 0);
  disc_.Record(21, 0, J("next;1"), 30, 1, 0);  // the second sector of the directory
  ASSERT_EQ(Read(), SessionTreeReader::Tree::kJoliet);
  EXPECT_EQ(burner_.FileCount(), n + 1);
  EXPECT_NE(FindPath(burner_, "next"), nullptr);
}

TEST_F(SessionReaderTest, AnIdentifierAtTheLimitIsReportedAndNeverTakesAnotherName) {
  disc_.JolietSession();
  size_t at = disc_.DotRecords(20, 2048, 20);
  at = disc_.Record(20, at, J("before;1"), 30, 1, 0);
  // 221 bytes: longer than the 110 UCS-2 units a record can hold with its padding.
  at = disc_.Record(20, at, J(std::string(110, 'x')) + "y", 31, 2, 0);
  disc_.Record(20, at, J("after;1"), 32, 3, 0);
  ASSERT_EQ(Read(), SessionTreeReader::Tree::kJoliet);
  EXPECT_EQ(Tree(), (std::map<std::string, int64_t>{{"before", 1}, {"after", 3}}));
  EXPECT_THAT(log_, HasSubstr("ERREUR IMPORTATION SESSION, NOM DE FICHIER EXCÈDE 120 CARACTÈRES\"\n\r" +
                              std::string(110, 'x')));
}

TEST_F(SessionReaderTest, TheLongestNamesThisProgramWritesAreImported) {
  disc_.JolietSession();
  size_t at = disc_.DotRecords(20, 2048, 20);
  at = disc_.Record(20, at, J(std::string(108, 'f') + ";1"), 30, 1, 0);  // 220 bytes
  at = disc_.Record(20, at, J(std::string(110, 'd')), 21, 2048, kFlagDirectory);
  disc_.DotRecords(21, 2048, 20);
  ASSERT_EQ(Read(), SessionTreeReader::Tree::kJoliet);
  EXPECT_EQ(Tree(), (std::map<std::string, int64_t>{{std::string(108, 'f'), 1}, {std::string(110, 'd') + "/", 0}}));
  EXPECT_EQ(compilation_lines_, 0) << log_;
}

TEST_F(SessionReaderTest, NamesThatAreNoPathComponentNeverEnterTheTree) {
  disc_.JolietSession();
  size_t at = disc_.DotRecords(20, 2048, 20);
  at = disc_.Record(20, at, J("..;1"), 30, 1, 0);
  at = disc_.Record(20, at, J(".."), 21, 2048, kFlagDirectory);
  at = disc_.Record(20, at, J(".;1"), 30, 1, 0);
  at = disc_.Record(20, at, J("../etc/passwd;1"), 30, 1, 0);
  at = disc_.Record(20, at, J("a") + std::string(2, '\0') + J("b;1"), 30, 1, 0);
  disc_.DotRecords(21, 2048, 20);
  disc_.Record(21, 68, J("inside;1"), 30, 1, 0);
  ASSERT_EQ(Read(), SessionTreeReader::Tree::kJoliet);
  EXPECT_EQ(Tree(), (std::map<std::string, int64_t>{{".._etc_passwd", 1}, {"a_b", 1}}));
  EXPECT_EQ(compilation_lines_, 3) << log_;
  EXPECT_THAT(log_, HasSubstr("NOM INVALIDE IGNORÉ"));
}

TEST_F(SessionReaderTest, AFileInSeveralExtentsIsLeftOutWhole) {
  disc_.JolietSession();
  size_t at = disc_.DotRecords(20, 2048, 20);
  at = disc_.Record(20, at, J("big;1"), 30, 0xFFFFF800, kFlagNotFinal);
  at = disc_.Record(20, at, J("big;1"), 30, 4096, 0);
  at = disc_.Record(20, at, J("big;1"), 30, 0, kFlagAssociated);  // a resource fork: passed over
  disc_.Record(20, at, J("small;1"), 31, 10, 0);
  ASSERT_EQ(Read(), SessionTreeReader::Tree::kJoliet);
  EXPECT_EQ(Tree(), (std::map<std::string, int64_t>{{"small", 10}}));
  EXPECT_THAT(log_, HasSubstr("FICHIER EN PLUSIEURS PARTIES NON PRIS EN CHARGE \"\\big\""));
  EXPECT_EQ(compilation_lines_, 1) << log_;
}

TEST_F(SessionReaderTest, DamagedRecordLengthsCostTheRestOfTheirSectorOnly) {
  disc_.JolietSession(20, 3 * 2048);
  size_t at = disc_.DotRecords(20, 3 * 2048, 20);
  at = disc_.Record(20, at, J("a;1"), 30, 1, 0);
  disc_.Sector(20)[at] = 12;  // shorter than a record head
  disc_.Record(20, at + 12, J("lost1;1"), 30, 1, 0);
  at = 0;
  int filled = 0;
  while (at + 46 <= 2000) at = disc_.Record(21, at, J("b" + std::to_string(100 + filled++) + ";1"), 30, 1, 0);
  disc_.Sector(21)[at] = 255;  // a length running past the sector's end
  disc_.Record(21, at + 1, J("lost2;1"), 30, 1, 0);
  at = disc_.Record(22, 0, J("c;1"), 30, 1, 0);
  at = disc_.Record(22, at, J("d;1"), 30, 1, 0);
  disc_.Sector(22)[at + 32] = 0xFF;  // something after a zero length byte
  ASSERT_EQ(Read(), SessionTreeReader::Tree::kJoliet);
  std::map<std::string, int64_t> expected = {{"a", 1}, {"c", 1}, {"d", 1}};
  for (int i = 0; i < filled; ++i) expected["b" + std::to_string(100 + i)] = 1;
  EXPECT_EQ(Tree(), expected);
  EXPECT_EQ(compilation_lines_, 3) << log_;
  EXPECT_THAT(log_, HasSubstr("(SECTEUR 21)"));
}

TEST_F(SessionReaderTest, AnIdentifierLongerThanItsRecordSkipsThatRecordOnly) {
  disc_.JolietSession();
  size_t at = disc_.DotRecords(20, 2048, 20);
  const size_t bad = at;
  at = disc_.Record(20, at, J("bad;1"), 30, 1, 0);
  disc_.Sector(20)[bad + 32] = 60;
  disc_.Record(20, at, J("good;1"), 30, 1, 0);
  ASSERT_EQ(Read(), SessionTreeReader::Tree::kJoliet);
  EXPECT_EQ(Tree(), (std::map<std::string, int64_t>{{"good", 1}}));
  EXPECT_THAT(log_, HasSubstr("ENREGISTREMENT INVALIDE DANS LE DOSSIER \"\\\" (SECTEUR 20)"));
}

TEST_F(SessionReaderTest, ExtentsOutsideTheVolumeAreReportedAndLeftOut) {
  disc_.JolietSession();  // the volume is the disc's 64 sectors
  size_t at = disc_.DotRecords(20, 2048, 20);
  at = disc_.Record(20, at, J("end;1"), 63, 2048, 0);         // the last sector: inside
  at = disc_.Record(20, at, J("past;1"), 63, 2049, 0);        // one byte too many
  at = disc_.Record(20, at, J("far;1"), 0x7FFFFFF0, 10, 0);   // far beyond
  at = disc_.Record(20, at, J("huge"), 21, 0xFFFFF800, kFlagDirectory);
  at = disc_.Record(20, at, J("system;1"), 3, 10, 0);         // the system area
  disc_.Record(20, at, J("empty;1"), 0, 0, 0);                // no data, no place needed
  ASSERT_EQ(Read(), SessionTreeReader::Tree::kJoliet);
  EXPECT_EQ(Tree(), (std::map<std::string, int64_t>{{"end", 2048}, {"empty", 0}}));
  EXPECT_EQ(compilation_lines_, 4) << log_;
  EXPECT_THAT(log_, HasSubstr("\"\\far\" EST HORS DU VOLUME (SECTEUR 2147483632, 10 OCTETS)"));
}

TEST_F(SessionReaderTest, DirectoryLoopsAreReadOnce) {
  disc_.JolietSession();
  size_t at = disc_.DotRecords(20, 2048, 20);
  at = disc_.Record(20, at, J("sub"), 21, 2048, kFlagDirectory);
  disc_.Record(20, at, J("again"), 21, 2048, kFlagDirectory);  // the same extent twice
  at = disc_.DotRecords(21, 2048, 20);
  at = disc_.Record(21, at, J("up"), 20, 2048, kFlagDirectory);    // back to the root
  at = disc_.Record(21, at, J("self"), 21, 2048, kFlagDirectory);  // itself
  disc_.Record(21, at, J("file;1"), 30, 1, 0);
  ASSERT_EQ(Read(), SessionTreeReader::Tree::kJoliet);
  EXPECT_EQ(Tree(), (std::map<std::string, int64_t>{{"sub/", 0}, {"sub/file", 1}}));
  EXPECT_EQ(compilation_lines_, 3) << log_;
  EXPECT_THAT(log_, HasSubstr("DOSSIER DÉJÀ LU (BOUCLE) IGNORÉ \"\\sub\\up\""));
}

TEST_F(SessionReaderTest, NestingBeyondTheDepthLimitIsLeftOut) {
  disc_.JolietSession();
  for (uint32_t level = 0; level < 6; ++level) {
    const uint32_t lba = 20 + level;
    const size_t at = disc_.DotRecords(lba, 2048, level == 0 ? lba : lba - 1);
    disc_.Record(lba, at, J("d" + std::to_string(level + 1)), lba + 1, 2048, kFlagDirectory);
  }
  disc_.DotRecords(26, 2048, 25);
  ASSERT_EQ(Read({.max_depth = 3}), SessionTreeReader::Tree::kJoliet);
  EXPECT_EQ(Tree(), (std::map<std::string, int64_t>{{"d1/", 0}, {"d1/d2/", 0}, {"d1/d2/d3/", 0}}));
  EXPECT_THAT(log_, HasSubstr("PLUS DE 3 NIVEAUX DE DOSSIERS: \"\\d1\\d2\\d3\\d4\" EST IGNORÉ"));
}

TEST_F(SessionReaderTest, RecordAndDirectoryDataLimitsStopTheImportWithOneLine) {
  disc_.JolietSession(20, 8 * 2048);
  for (uint32_t s = 0; s < 8; ++s) {
    size_t at = 0;
    for (int i = 0; i < 40; ++i) at = disc_.Record(20 + s, at, J("s" + std::to_string(s) + "f" + std::to_string(i) + ";1"), 30, 1, 0);
  }
  ASSERT_EQ(Read({.max_records = 100}), SessionTreeReader::Tree::kJoliet);
  EXPECT_EQ(burner_.FileCount(), 100);
  EXPECT_THAT(log_, HasSubstr("PLUS DE 100 ENREGISTREMENTS: IMPORTATION ARRÊTÉE"));

  burner_.ClearCompilation(1000, 100);
  log_.clear();
  ASSERT_EQ(Read({.max_directory_sectors = 3}), SessionTreeReader::Tree::kJoliet);
  EXPECT_EQ(burner_.FileCount(), 120);
  EXPECT_THAT(log_, HasSubstr("PLUS DE 3 SECTEURS DE DOSSIERS: IMPORTATION ARRÊTÉE"));
}

TEST_F(SessionReaderTest, AFullTreeStopsTheImportWithOneFrenchLineAndKeepsWhatWasRead) {
  burner_.ClearCompilation(5, 100);
  disc_.JolietSession();
  size_t at = disc_.DotRecords(20, 2048, 20);
  for (int i = 0; i < 20; ++i) at = disc_.Record(20, at, J("f" + std::to_string(10 + i) + ";1"), 30, 1, 0);
  ASSERT_EQ(Read(), SessionTreeReader::Tree::kJoliet);
  EXPECT_EQ(TreePaths(burner_.RootDir),
            (std::map<std::string, int64_t>{{"f10", 1}, {"f11", 1}, {"f12", 1}, {"f13", 1}, {"f14", 1}}));
  EXPECT_EQ(log_, ">>> ERREUR IMPORTATION SESSION, LIMITE DE 5 FICHIERS ATTEINTE: IMPORTATION ARRÊTÉE, LES "
                  "ÉLÉMENTS DÉJÀ LUS SONT CONSERVÉS\n");
}

TEST_F(SessionReaderTest, ManyDamagedRecordsGiveABoundedLog) {
  disc_ = MiniDisc(400);
  disc_.JolietSession(20, 300 * 2048);
  for (uint32_t s = 20; s < 320; ++s) disc_.Sector(s)[0] = 5;  // every sector starts with a broken record
  ASSERT_EQ(Read(), SessionTreeReader::Tree::kJoliet);
  EXPECT_EQ(compilation_lines_, 101) << "100 lines, then one saying the rest is not shown";
  EXPECT_THAT(log_, HasSubstr("TROP D'ERREURS"));
}

TEST_F(SessionReaderTest, ImportingAgainAddsNothingAndKeepsTheCompilationsOwnFiles) {
  disc_.JolietSession();
  size_t at = disc_.DotRecords(20, 2048, 20);
  at = disc_.Record(20, at, J("old;1"), 30, 1, 0);
  at = disc_.Record(20, at, J("same;1"), 31, 1, 0);
  disc_.Record(20, at, J("dir"), 21, 2048, kFlagDirectory);
  at = disc_.DotRecords(21, 2048, 20);
  disc_.Record(21, at, J("inner;1"), 32, 1, 0);
  ASSERT_EQ(Read(), SessionTreeReader::Tree::kJoliet);

  // A newer file of the compilation under a name the disc also has.
  TempDir dir;
  WriteFile(dir / "same", "new version");
  burner_.ReplaceFile = true;
  ASSERT_EQ(burner_.AddFile("\\", dir / "same", false), 1);
  const int files = burner_.FileCount();
  log_.clear();
  ASSERT_EQ(Read(), SessionTreeReader::Tree::kJoliet);
  EXPECT_EQ(burner_.FileCount(), files);
  EXPECT_EQ(log_, "") << "importing the same session again says nothing";
  const TFEntry* same = FindPath(burner_, "same");
  ASSERT_NE(same, nullptr);
  EXPECT_FALSE(same->Imported) << "the disc's older file never replaces the compilation's";
  EXPECT_EQ(same->IsoSize, 11);
}

}  // namespace
}  // namespace zamo::test
