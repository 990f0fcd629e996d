// `zamo-cli ls` and `zamo-cli extract` end to end, on an emulated CD-ROM
// holding an image made by genisoimage (or by zamo-cli, for images then
// damaged on purpose): what a user reads and gets, compared with the tree
// the image was made from.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tests/import/import_fixture.h"

namespace zamo::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class DiscCli : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeTree(src_, {{"Lisez-moi.txt", "Bonjour\n"},
                    {"Photos d'été/plage.jpg", Bytes(300000, 1)},
                    {"Photos d'été/vide.txt", ""},
                    {"Documents/Archives/ancien.doc", Bytes(2049, 3)},
                    {"Documents/rapport.pdf", Bytes(100000, 2)}});
    int64_t t = 1181899800;
    for (const char* path : {"Lisez-moi.txt", "Photos d'été/plage.jpg", "Photos d'été/vide.txt",
                             "Documents/Archives/ancien.doc", "Documents/rapport.pdf"})
      SetModifiedTime(src_ + "/" + path, t += 3600 * 24 * 40 + 17);
  }

  void Genisoimage() {
    if (!HaveProgram("genisoimage")) GTEST_SKIP() << "no genisoimage";
    ASSERT_EQ(MakeImage(Maker::kGenisoimage, src_, iso_), "");
  }

  // zamo-cli on one emulated CD-ROM holding `iso_`, in UTC.
  RunResult Cli(const std::vector<std::string>& args, const std::string& options = "") {
    std::vector<std::string> argv = {"env", "-u", "ZAMO_EMULATED_DRIVES", "LC_ALL=C.UTF-8", "TZ=UTC0",
                                     ZamoCli(), "--emulate", "cd-rom:" + iso_ + options};
    argv.insert(argv.end(), args.begin(), args.end());
    return test::Run(argv, 60);
  }

  static int64_t ModifiedTime(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_mtime) : -1;
  }

  TempDir dir_;
  std::string src_ = dir_ / "src";
  std::string iso_ = dir_ / "disc.iso";
};

TEST_F(DiscCli, LsShowsEveryFolderAndFileWithSizeAndDate) {
  Genisoimage();
  if (IsSkipped()) return;
  const RunResult r = Cli({"ls"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("Session 1 (arborescence Joliet)\n"));
  // Lisez-moi.txt: 1181899800 + 40 days + 17 s = 2007-07-25 09:30:17 UTC.
  EXPECT_THAT(r.out, HasSubstr("2007-07-25 09:30:17                8  /Lisez-moi.txt\n"));
  EXPECT_THAT(r.out, HasSubstr("         300000  /Photos d'été/plage.jpg\n"));
  EXPECT_THAT(r.out, HasSubstr("              0  /Photos d'été/vide.txt\n"));
  EXPECT_THAT(r.out, HasSubstr("      <DOSSIER>  /Documents/Archives/\n"));
  EXPECT_THAT(r.out, HasSubstr("3 dossier(s), 5 fichier(s), 0,38 Mo\n"));
  EXPECT_THAT(r.err, HasSubstr(">>> IMPORTER LA SESSION # 1"));

  // Names compare as the disc compares them; the listing spells them as the disc does.
  const RunResult folder = Cli({"ls", "/documents/"});
  ASSERT_EQ(folder.status, 0) << folder.err;
  EXPECT_THAT(folder.out, HasSubstr("<DOSSIER>  /Documents/\n"));
  EXPECT_THAT(folder.out, HasSubstr("100000  /Documents/rapport.pdf\n"));
  EXPECT_THAT(folder.out, Not(HasSubstr("plage.jpg")));
  EXPECT_THAT(folder.out, HasSubstr("2 dossier(s), 2 fichier(s)"));

  const RunResult file = Cli({"ls", "--session", "1", "Photos d'été/plage.jpg"});
  ASSERT_EQ(file.status, 0) << file.err;
  EXPECT_THAT(file.out, HasSubstr("300000  /Photos d'été/plage.jpg\n0 dossier(s), 1 fichier(s)"));
}

TEST_F(DiscCli, ExtractingTheWholeSessionGivesTheSourceTreeWithItsDates) {
  Genisoimage();
  if (IsSkipped()) return;
  const RunResult r = Cli({"extract", "/", dir_ / "out"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(SameFiles(ReadTree(dir_ / "out"), ReadTree(src_)));
  for (const auto& [path, content] : ReadTree(src_)) {
    if (path.ends_with("/")) continue;
    EXPECT_EQ(ModifiedTime(dir_ / "out/" + path), ModifiedTime(src_ + "/" + path)) << path;
  }
}

TEST_F(DiscCli, ExtractCopiesIntoAFolderOrUnderANewName) {
  Genisoimage();
  if (IsSkipped()) return;
  mkdir((dir_ / "into").c_str(), 0777);
  ASSERT_EQ(Cli({"extract", "/Documents", dir_ / "into"}).status, 0);
  EXPECT_EQ(ReadFile(dir_ / "into/Documents/Archives/ancien.doc"), Bytes(2049, 3));
  ASSERT_EQ(Cli({"extract", "/Documents", dir_ / "renamed"}).status, 0);
  EXPECT_EQ(ReadFile(dir_ / "renamed/rapport.pdf"), Bytes(100000, 2));
  ASSERT_EQ(Cli({"extract", "/Photos d'été/plage.jpg", dir_ / "into"}).status, 0);
  EXPECT_EQ(ReadFile(dir_ / "into/plage.jpg"), Bytes(300000, 1));
  ASSERT_EQ(Cli({"extract", "Lisez-moi.txt", dir_ / "copie.txt"}).status, 0);
  EXPECT_EQ(ReadFile(dir_ / "copie.txt"), "Bonjour\n");
  EXPECT_EQ(ModifiedTime(dir_ / "copie.txt"), ModifiedTime(src_ + "/Lisez-moi.txt"));
}

TEST_F(DiscCli, WrongRequestsAreExplained) {
  Genisoimage();
  if (IsSkipped()) return;
  RunResult r = Cli({"ls", "--session", "3"});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("La session 3 n'existe pas\u00A0: le disque n'a que la session 1."));
  r = Cli({"ls", "/nulle/part"});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("Chemin introuvable sur le disque\u00A0: «\u00A0/nulle/part\u00A0»"));
  r = Cli({"ls", "/Lisez-moi.txt/dessous"});
  EXPECT_EQ(r.status, 1);
  for (const std::vector<std::string>& usage :
       {std::vector<std::string>{"extract", "/"}, {"ls", "--session", "0"}, {"ls", "--session"}, {"ls", "--tout"},
        {"ls", "a", "b"}, {"extract", "a", "b", "c"}}) {
    r = Cli(usage);
    EXPECT_EQ(r.status, 2) << usage[0] << " " << usage[1];
    EXPECT_THAT(r.err, HasSubstr("Utilisation\u00A0: zamo-cli"));
  }
  r = Cli({"ls"}, ",disc=none");
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("L'UNITÉ MEDIA/GRAVEUR N'EST PAS PRÊTE"));
  r = Cli({"ls", "--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.out, HasSubstr("--session N"));
}

// ---- Damaged and hostile discs --------------------------------------------------

class DamagedDiscCli : public DiscCli {
 protected:
  void SetUp() override {
    MakeTree(src_, {{"zz", "dot dot\n"},
                    {"a1", "slash\n"},
                    {"ok.txt", "fine\n"},
                    {"dd/inside.txt", "inside\n"},
                    {"ee/deep.txt", "deep\n"}});
    ASSERT_EQ(MakeImage(Maker::kZamo, src_, iso_), "");
    image_ = original_ = ReadFile(iso_);
  }
  size_t Record(const std::string& id) {
    const size_t at = JolietRecordAt(image_, id);
    EXPECT_NE(at, std::string::npos) << id;
    return at;
  }
  void Rename(const std::string& id, const std::string& to) {
    ASSERT_EQ(id.size(), to.size());
    const size_t at = Record(id);
    if (at != std::string::npos) image_.replace(at + 33, 2 * to.size(), Utf16Be(to));
  }
  void Save() { WriteFile(iso_, image_); }
  // Every path under dir_ except the image, its source and `out`.
  std::vector<std::string> Strays() {
    std::vector<std::string> names;
    for (const auto& item : std::filesystem::directory_iterator(dir_.path())) {
      const std::string name = item.path().filename().string();
      if (name != "src" && name != "disc.iso" && name != "out") names.push_back(name);
    }
    return names;
  }
  std::string image_;
  std::string original_;
};

TEST_F(DamagedDiscCli, NamesFromTheDiscNeverWriteOutsideTheDestination) {
  Rename("zz;1", "..;1");
  Rename("a1;1", "a/;1");
  Rename("dd", "..");
  Save();
  const RunResult r = Cli({"extract", "/", dir_ / "out"});
  EXPECT_EQ(r.status, 1) << "entries were left out";
  EXPECT_THAT(r.err, HasSubstr("NOM INVALIDE IGNORÉ DANS LE DOSSIER"));
  EXPECT_EQ(ReadTree(dir_ / "out"), (std::map<std::string, std::string>{
                                        {"a_", "slash\n"}, {"ok.txt", "fine\n"}, {"ee/", ""}, {"ee/deep.txt", "deep\n"}}));
  EXPECT_TRUE(Strays().empty());
  EXPECT_FALSE(std::filesystem::exists(dir_ / "inside.txt"));
}

TEST_F(DamagedDiscCli, ALoopAndBrokenLengthsGiveAClearMessageAndTheRest) {
  // The Joliet root's extent, from the supplementary descriptor at sector 17.
  ASSERT_EQ(image_[17 * 2048], 2);
  const uint32_t root = Le32At(image_, 17 * 2048 + 158);
  PutBoth32At(image_, Record("dd") + 2, root);  // dd is the root again
  image_[Record("ok.txt;1")] = 7;                 // a length shorter than a record head
  Save();
  const RunResult r = Cli({"ls"});
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(r.timed_out);
  EXPECT_THAT(r.err, HasSubstr("DOSSIER DÉJÀ LU (BOUCLE) IGNORÉ \"\\dd\""));
  EXPECT_THAT(r.err, HasSubstr("ENREGISTREMENT INVALIDE DANS LE DOSSIER \"\\\" (SECTEUR " + std::to_string(root) + ")"));
  EXPECT_THAT(r.out, HasSubstr("/a1\n"));
}

TEST_F(DamagedDiscCli, ExtentsBeyondTheVolumeAreLeftOutAndUnreadableDataFailsTheFile) {
  PutBoth32At(image_, Record("a1;1") + 10, 0x7FFFF000);  // a size far beyond the volume
  Save();
  RunResult r = Cli({"ls"});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("\"\\a1\" EST HORS DU VOLUME"));
  EXPECT_THAT(r.out, Not(HasSubstr("/a1")));

  // The disc ends where the data of its last file, zz, begins; the volume
  // size still says more, but the drive's capacity does not: zz is damaged,
  // refused, and every other file still comes out.
  image_ = original_;
  const uint32_t last = Le32At(image_, Record("zz;1") + 2);
  image_.resize(size_t{last} * 2048);
  Save();
  r = Cli({"extract", "/", dir_ / "out"});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("FICHIER ENDOMMAGÉ: \"\\zz\" DÉPASSE LA FIN DES DONNÉES ENREGISTRÉES (SECTEUR " +
                               std::to_string(last) + ")"));
  EXPECT_THAT(r.err, HasSubstr("EXTRACTION REFUSÉE: LE FICHIER \"zz\" EST ENDOMMAGÉ"));
  EXPECT_THAT(r.err, HasSubstr("Extraction incomplète\u00A0: 1 erreur(s)."));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "out/zz"));
  EXPECT_EQ(ReadFile(dir_ / "out/ok.txt"), "fine\n");
  EXPECT_EQ(ReadFile(dir_ / "out/ee/deep.txt"), "deep\n");
}

}  // namespace
}  // namespace zamo::test
