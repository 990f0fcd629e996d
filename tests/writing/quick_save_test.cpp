// The quick image save: bytes at the sectors the layout gave, and every way a
// save can fail reported once through OnWriteDone, with the partial image gone.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/compilation/burner_fixture.h"
#include "tests/support/temp_dir.h"

namespace zamo::test {
namespace {

class QuickSaveTest : public BurnerTest {
 protected:
  QuickSaveTest() {
    burner.OnWriteDone = [this](TObject* sender, const std::string& error) {
      EXPECT_EQ(sender, &burner);
      ++done_calls;
      done_error = error;
    };
  }
  // Saves and returns the error text ("" on success); OnWriteDone must come once.
  std::string Save(const std::string& image) {
    done_calls = 0;
    burner.SaveImageFile(image, true);
    EXPECT_EQ(done_calls, 1);
    return done_error;
  }
  std::string At(const std::string& image, int64_t lba, size_t bytes) {
    return ReadFile(image).substr(static_cast<size_t>(lba) * 2048, bytes);
  }

  TempDir dir;
  int done_calls = 0;
  std::string done_error;
};

TEST_F(QuickSaveTest, FilesLieAtTheirSectorsPaddedWithZeros) {
  MakeTree(dir.path(), {{"src/a.bin", Bytes(2049, 1)}, {"src/sub/b.bin", Bytes(2048, 2)}, {"src/empty", ""},
                        {"src/c.txt", "c"}});
  burner.AddFolderTo(burner.RootDir, dir / "src", false, false, true, faAnyFile, "*.*");
  const std::string image = dir / "out.iso";
  ASSERT_EQ(Save(image), "");
  const std::string bytes = ReadFile(image);
  ASSERT_EQ(static_cast<int64_t>(bytes.size()), burner.SessionSectors * 2048);
  const std::string head(burner.ImageStream.Memory().begin(), burner.ImageStream.Memory().end());
  EXPECT_EQ(bytes.substr(0, head.size()), head);
  for (const char* name : {"a.bin", "c.txt"}) {
    const TFEntry* e = burner.FindChild(burner.RootDir, name);
    const std::string source = ReadFile(e->SourcePath());
    const size_t at = static_cast<size_t>(burner.FirstFileLba + e->IsoExtent) * 2048;
    EXPECT_EQ(bytes.substr(at, source.size()), source) << name;
    const size_t padded = static_cast<size_t>(SectorsFor(e->IsoSize)) * 2048;
    EXPECT_EQ(bytes.substr(at + source.size(), padded - source.size()), std::string(padded - source.size(), '\0'));
  }
  const TFEntry* b = burner.FindChild(burner.FindDir("\\SUB"), "b.bin");
  EXPECT_EQ(At(image, burner.FirstFileLba + b->IsoExtent, 2048), Bytes(2048, 2));
  EXPECT_FALSE(Logged("ERREUR INTERNE"));
}

TEST_F(QuickSaveTest, ShortBootImageLiesAtItsLoadAddress) {
  MakeTree(dir.path(), {{"boot.img", Bytes(3 * 2048 + 7, 9)}, {"src/f.bin", Bytes(5000, 3)}});
  burner.Bootable = true;
  burner.BootImage = dir / "boot.img";
  burner.AddFolderTo(burner.RootDir, dir / "src", false, false, true, faAnyFile, "*.*");
  const std::string image = dir / "boot.iso";
  ASSERT_EQ(Save(image), "");
  const std::string bytes = ReadFile(image);
  const size_t load = static_cast<size_t>(GetLe32(std::span(reinterpret_cast<const uint8_t*>(bytes.data()),
                                                            bytes.size()),
                                                  static_cast<size_t>(burner.BootCatalogLba) * 2048 + 40));
  EXPECT_EQ(load, static_cast<size_t>(burner.BootImageLba));
  EXPECT_EQ(bytes.substr(load * 2048, 3 * 2048 + 7), Bytes(3 * 2048 + 7, 9));
  EXPECT_EQ(bytes.substr(load * 2048 + 3 * 2048 + 7, 2048 - 7), std::string(2048 - 7, '\0'));
  EXPECT_EQ(burner.FirstFileLba, 150);
  EXPECT_EQ(bytes.substr(150 * 2048, 5000), Bytes(5000, 3));
  EXPECT_EQ(static_cast<int64_t>(bytes.size()), burner.SessionSectors * 2048);
}

TEST_F(QuickSaveTest, VanishedSourceFailsTheSaveNamingTheFile) {
  MakeTree(dir.path(), {{"src/keep.txt", "k"}, {"src/gone.txt", "g"}});
  burner.AddFolderTo(burner.RootDir, dir / "src", false, false, true, faAnyFile, "*.*");
  unlink((dir / "src/gone.txt").c_str());
  const std::string image = dir / "out.iso";
  const std::string error = Save(image);
  EXPECT_NE(error.find("gone.txt"), std::string::npos) << error;
  EXPECT_NE(error.find("IMPOSSIBLE D'OUVRIR LE FICHIER"), std::string::npos) << error;
  EXPECT_FALSE(PathExists(image));
}

// A source replaced by a named pipe after it was added fails the save naming
// it, instead of waiting for ever in open(2) for a writer.
TEST_F(QuickSaveTest, SourceTurnedIntoANamedPipeFailsTheSave) {
  MakeTree(dir.path(), {{"src/keep.txt", "k"}, {"src/pipe.txt", "p"}});
  burner.AddFolderTo(burner.RootDir, dir / "src", false, false, true, faAnyFile, "*.*");
  unlink((dir / "src/pipe.txt").c_str());
  ASSERT_EQ(mkfifo((dir / "src/pipe.txt").c_str(), 0644), 0);
  const std::string image = dir / "out.iso";
  const std::string error = Save(image);
  EXPECT_NE(error.find("pipe.txt"), std::string::npos) << error;
  EXPECT_NE(error.find("ERREUR DE LECTURE DU FICHIER"), std::string::npos) << error;
  EXPECT_FALSE(PathExists(image));
}

TEST_F(QuickSaveTest, ShrunkSourceFailsGrownSourceIsCopiedToItsRecordedSize) {
  MakeTree(dir.path(), {{"src/a.bin", Bytes(10000, 1)}, {"src/b.bin", Bytes(3000, 2)}});
  burner.AddFolderTo(burner.RootDir, dir / "src", false, false, true, faAnyFile, "*.*");
  WriteFile(dir / "src/a.bin", Bytes(10000, 1) + "more bytes");
  WriteFile(dir / "src/b.bin", Bytes(2999, 2));
  const std::string image = dir / "out.iso";
  const std::string error = Save(image);
  EXPECT_NE(error.find("b.bin"), std::string::npos) << error;
  EXPECT_NE(error.find("2999"), std::string::npos) << error;
  EXPECT_FALSE(PathExists(image));

  WriteFile(dir / "src/b.bin", Bytes(3000, 2));
  ASSERT_EQ(Save(image), "");
  const TFEntry* a = burner.FindChild(burner.RootDir, "a.bin");
  EXPECT_EQ(At(image, burner.FirstFileLba + a->IsoExtent, 2048 * 5), Bytes(10000, 1) + std::string(240, '\0'));
}

TEST_F(QuickSaveTest, ImportedEntriesAreSkipped) {
  MakeTree(dir.path(), {{"src/new.txt", "new"}});
  burner.AddFileEntry(burner.RootDir, FileRec("old.txt", 4000), false, 5000, "");
  burner.AddFolderTo(burner.RootDir, dir / "src", false, false, true, faAnyFile, "*.*");
  const std::string image = dir / "out.iso";
  ASSERT_EQ(Save(image), "");
  EXPECT_EQ(burner.SessionSectors, 151);
  EXPECT_EQ(At(image, 150, 3), "new");
  const std::string root = At(image, burner.IsoDirBase, 2048);
  const auto records = ParseDirectory(std::span(reinterpret_cast<const uint8_t*>(root.data()), root.size()));
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[2].id, "OLD.TXT;1");
  EXPECT_EQ(records[2].extent, 5000u);  // absolute: already on the disc
}

TEST_F(QuickSaveTest, WriteFailuresFailTheSave) {
  MakeTree(dir.path(), {{"src/big.bin", Bytes(600000, 4)}});
  burner.AddFolderTo(burner.RootDir, dir / "src", false, false, true, faAnyFile, "*.*");
  // A file-size limit stands for a full disk: writes past it fail.
  struct rlimit old_limit {};
  getrlimit(RLIMIT_FSIZE, &old_limit);
  auto old_handler = signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit = old_limit;
  limit.rlim_cur = 400000;
  setrlimit(RLIMIT_FSIZE, &limit);
  const std::string image = dir / "out.iso";
  const std::string error = Save(image);
  setrlimit(RLIMIT_FSIZE, &old_limit);
  signal(SIGXFSZ, old_handler);
  EXPECT_NE(error.find("out.iso"), std::string::npos) << error;
  EXPECT_NE(error.find("ERREUR D'ÉCRITURE"), std::string::npos) << error;
  EXPECT_FALSE(PathExists(image));

  EXPECT_NE(Save(dir / "no/such/folder/out.iso").find("IMPOSSIBLE DE CRÉER LE FICHIER IMAGE"), std::string::npos);
  if (access("/dev/full", W_OK) == 0) {
    EXPECT_NE(Save("/dev/full").find("ESPACE DISQUE INSUFFISANT"), std::string::npos);
    EXPECT_TRUE(PathExists("/dev/full")) << "a device given as the target is never removed";
  }
}

TEST_F(QuickSaveTest, TheImageCannotContainItself) {
  MakeTree(dir.path(), {{"src/a.txt", "a"}, {"src/out.iso", "old image"}});
  burner.AddFolderTo(burner.RootDir, dir / "src", false, false, true, faAnyFile, "*.*");
  const std::string error = Save(dir / "src/out.iso");
  EXPECT_NE(error.find("NE PEUT PAS FAIRE PARTIE"), std::string::npos) << error;
}

}  // namespace
}  // namespace zamo::test
