// image_file_cli_test.cpp: `zamo-cli ls`, `extract` and `verify` reading an
// image file directly, in every form a user types it (--image, the image
// first, --drive IMAGE.iso, options after the command), with a name that
// the emulated drive list could not hold; the image's failures named; and
// what extract says about the files already at its destination.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "tests/import/import_fixture.h"

namespace zamo::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kNbsp = "\u00A0";

class ImageFileCli : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeTree(src_, {{"Lisez-moi.txt", "Bonjour\n"},
                    {"Documents/rapport.pdf", Bytes(100000, 2)},
                    {"Documents/Archives/ancien.doc", Bytes(2049, 3)}});
    ASSERT_EQ(MakeImage(Maker::kZamo, src_, iso_), "");
    image_bytes_ = ReadFile(iso_);
  }

  // zamo-cli without any drive configured, its pressed trays kept in the test's folder.
  RunResult Cli(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"env", "-u", "ZAMO_EMULATED_DRIVES", "LC_ALL=C.UTF-8", "TZ=UTC0",
                                     "XDG_STATE_HOME=" + (dir_ / "state"), ZamoCli()};
    argv.insert(argv.end(), args.begin(), args.end());
    return test::Run(argv, 60);
  }

  static std::string Quoted(const std::string& text) { return std::string("«") + kNbsp + text + kNbsp + "»"; }

  TempDir dir_;
  std::string src_ = dir_ / "src";
  // "," and ";" separate options and drives in an emulated drive list.
  std::string iso_ = dir_ / "Sauvegarde, lundi; 2.ISO";
  std::string image_bytes_;
};

// ---- Every form of the command line reads the same session ---------------------------

struct Form {
  const char* name;
  std::vector<std::string> args;  // "IMAGE" stands for the image's path
};

class ImageForms : public ImageFileCli, public ::testing::WithParamInterface<Form> {};

TEST_P(ImageForms, ListsTheImagesSession) {
  std::vector<std::string> args = GetParam().args;
  for (std::string& arg : args) arg = std::regex_replace(arg, std::regex("IMAGE"), iso_);
  const RunResult r = Cli(args);
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_THAT(r.out, HasSubstr("Session 1 (arborescence Joliet)\n"));
  EXPECT_THAT(r.out, HasSubstr("         100000  /Documents/rapport.pdf\n"));
  EXPECT_THAT(r.out, HasSubstr("           2049  /Documents/Archives/ancien.doc\n"));
  EXPECT_THAT(r.out, HasSubstr("2 dossier(s), 2 fichier(s)"));
  EXPECT_THAT(r.out, Not(HasSubstr("Lisez-moi.txt")));
  EXPECT_EQ(ReadFile(iso_), image_bytes_);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ImageForms,
    ::testing::Values(Form{"ImageOption", {"--image", "IMAGE", "ls", "/Documents"}},
                      Form{"ImageOptionAfterTheCommand", {"ls", "/Documents", "--image", "IMAGE"}},
                      Form{"ImageOptionWithEquals", {"ls", "--image=IMAGE", "/Documents"}},
                      Form{"ImageFirst", {"ls", "IMAGE", "/Documents"}},
                      Form{"ImageFirstWithSession", {"ls", "--session", "1", "IMAGE", "/Documents"}},
                      Form{"ImageAsTheDrive", {"--drive", "IMAGE", "ls", "/Documents"}},
                      Form{"ImageAsTheDriveAfterTheCommand", {"ls", "/Documents", "--drive=IMAGE", "-v"}}),
    [](const ::testing::TestParamInfo<Form>& form) { return std::string(form.param.name); });

TEST_F(ImageFileCli, ExtractAndVerifyReadTheImage) {
  RunResult r = Cli({"extract", iso_, "/", dir_ / "out"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_TRUE(SameFiles(ReadTree(dir_ / "out"), ReadTree(src_)));
  r = Cli({"extract", "--image", iso_, "/Documents/Archives/ancien.doc", dir_ / "copie.doc"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_EQ(ReadFile(dir_ / "copie.doc"), Bytes(2049, 3));

  r = Cli({"verify", iso_, src_ + "/"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr("3 FICHIERS IDENTIQUES, 0 DIFFÉRENT"));
  // The comparison reads the image: a source changed since is found.
  WriteFile(src_ + "/Documents/rapport.pdf", Bytes(100000, 9));
  r = Cli({"verify", "--verbose", src_ + "/", "--image", iso_});
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr("2 FICHIERS IDENTIQUES, 1 DIFFÉRENT"));
  // A lone image is the source to compare, not the disc (which, here, no drive holds).
  if (!std::filesystem::exists("/sys/class/block/sr0")) {
    r = Cli({"verify", iso_});
    EXPECT_EQ(r.status, 1) << Describe(r);
    EXPECT_THAT(r.err, HasSubstr("Aucun lecteur"));
  }
  EXPECT_EQ(ReadFile(iso_), image_bytes_);
}

TEST_F(ImageFileCli, AnImageThatCannotBeReadIsNamed) {
  WriteFile(dir_ / "court.iso", std::string(2047, 'x'));
  mkdir((dir_ / "dossier.iso").c_str(), 0777);
  const struct {
    std::vector<std::string> args;
    std::string expected;
  } cases[] = {
      {{"ls", "--image", dir_ / "absente.iso"}, "Le fichier image " + Quoted(dir_ / "absente.iso") + " n'existe pas."},
      {{"--image", dir_ / "dossier.iso", "extract", "/", dir_ / "out"},
       Quoted(dir_ / "dossier.iso") + " est un dossier, pas un fichier image."},
      {{"info", "--image", dir_ / "court.iso"},
       Quoted(dir_ / "court.iso") + " n'est pas une image de disque" + kNbsp + ": il fait moins de 2048 octets."},
  };
  for (const auto& c : cases) {
    const RunResult r = Cli(c.args);
    EXPECT_EQ(r.status, 1) << Describe(r);
    EXPECT_THAT(r.err, HasSubstr(c.expected)) << Describe(r);
    EXPECT_THAT(r.err, Not(HasSubstr("Aucun lecteur"))) << Describe(r);
  }
  EXPECT_FALSE(PathExists(dir_ / "out"));

  // --image reads: it stands alone, and not for the commands that write.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--image", iso_, "--emulate", "cd-r:" + (dir_ / "d.img"), "ls"},
        {"ls", "--image", iso_, "--drive", "0"},
        {"--image", iso_, "burn", src_},
        {"burn-image", iso_, "--image", iso_},
        {"erase", "--image", iso_},
        {"mkiso", "-o", dir_ / "o.iso", src_, "--image", iso_},
        {"ls", "--image"}}) {
    const RunResult r = Cli(args);
    EXPECT_EQ(r.status, 2) << Describe(r);
    EXPECT_THAT(r.err, HasSubstr("Utilisation\u00A0: zamo-cli")) << Describe(r);
  }
  EXPECT_FALSE(PathExists(dir_ / "d.img.state"));
  EXPECT_FALSE(PathExists(dir_ / "o.iso"));
  EXPECT_EQ(ReadFile(iso_), image_bytes_);
}

TEST_F(ImageFileCli, UnknownOptionsAreRefusedAndDashedPathsFollowDoubleDash) {
  const struct {
    std::vector<std::string> args;
    std::string option;
  } cases[] = {{{"ls", iso_, "-l"}, "-l"},
               {{"ls", "-l", iso_}, "-l"},
               {{"extract", "-n", iso_, "/", dir_ / "out"}, "-n"},
               {{"ls", iso_, "--no-clobber"}, "--no-clobber"}};
  for (const auto& c : cases) {
    const RunResult r = Cli(c.args);
    EXPECT_EQ(r.status, 2) << Describe(r);
    EXPECT_THAT(r.err, HasSubstr("option inconnue «\u00A0" + c.option + "\u00A0»")) << Describe(r);
  }
  const RunResult r = Cli({"ls", iso_, "--", "-l"});
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr("Chemin introuvable sur le disque\u00A0: «\u00A0-l\u00A0»"));
  EXPECT_FALSE(PathExists(dir_ / "out"));
}

// ---- What extract does with what is already there ----------------------------------

TEST_F(ImageFileCli, ExtractNamesEachFileItReplacesOrKeeps) {
  ASSERT_EQ(Cli({"extract", iso_, "/", dir_ / "out"}).status, 0);
  WriteFile(dir_ / "out/Lisez-moi.txt", "copie locale\n");
  WriteFile(dir_ / "out/Documents/rapport.pdf", "ma version\n");
  std::filesystem::remove(dir_ / "out/Documents/Archives/ancien.doc");

  // Kept: the two files there stay as they are, named; the missing one comes back.
  RunResult r = Cli({"extract", "--no-clobber", iso_, "/", dir_ / "out"});
  EXPECT_EQ(r.status, 1) << Describe(r);
  for (const char* kept : {"out/Lisez-moi.txt", "out/Documents/rapport.pdf"})
    EXPECT_THAT(r.err, HasSubstr(std::string("Fichier existant conservé") + kNbsp + ": " + Quoted(dir_ / kept)));
  EXPECT_THAT(r.err, HasSubstr(std::string("2 fichier(s) existant(s) conservé(s) (--no-clobber)")));
  EXPECT_THAT(r.err, Not(HasSubstr("ancien.doc »")));
  EXPECT_EQ(ReadFile(dir_ / "out/Lisez-moi.txt"), "copie locale\n");
  EXPECT_EQ(ReadFile(dir_ / "out/Documents/rapport.pdf"), "ma version\n");
  EXPECT_EQ(ReadFile(dir_ / "out/Documents/Archives/ancien.doc"), Bytes(2049, 3));

  // Replaced: every file that was there is named, and the disc's bytes are back.
  r = Cli({"extract", iso_, "/", dir_ / "out"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  for (const char* replaced : {"out/Lisez-moi.txt", "out/Documents/rapport.pdf", "out/Documents/Archives/ancien.doc"})
    EXPECT_THAT(r.err, HasSubstr(std::string("Fichier existant remplacé") + kNbsp + ": " + Quoted(dir_ / replaced)));
  EXPECT_TRUE(SameFiles(ReadTree(dir_ / "out"), ReadTree(src_)));

  // A new file says nothing of the kind.
  r = Cli({"extract", iso_, "/Lisez-moi.txt", dir_ / "nouveau.txt"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_THAT(r.err, Not(HasSubstr("Fichier existant")));
}

TEST_F(ImageFileCli, ADestinationInAMissingFolderNamesTheFolder) {
  WriteFile(dir_ / "fichier.txt", "x");
  const struct {
    std::string dest;
    std::string expected;
  } cases[] = {
      {dir_ / "absent/sous/copie.txt",
       "Le dossier " + Quoted(dir_ / "absent/sous") + " n'existe pas" + kNbsp + ": " + Quoted("copie.txt") +
           " ne peut pas y être créé."},
      {dir_ / "fichier.txt/copie.txt",
       Quoted(dir_ / "fichier.txt") + " n'est pas un dossier" + kNbsp + ": " + Quoted("copie.txt") +
           " ne peut pas y être créé."},
  };
  for (const auto& c : cases) {
    for (const char* what : {"/Lisez-moi.txt", "/"}) {
      const RunResult r = Cli({"extract", iso_, what, c.dest});
      EXPECT_EQ(r.status, 1) << Describe(r);
      EXPECT_THAT(r.err, HasSubstr(c.expected)) << Describe(r);
      EXPECT_THAT(r.err, Not(HasSubstr("introuvable"))) << Describe(r);
    }
  }
  EXPECT_FALSE(PathExists(dir_ / "absent"));
  EXPECT_EQ(ReadFile(dir_ / "fichier.txt"), "x");
}

}  // namespace
}  // namespace zamo::test
