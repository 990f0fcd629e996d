// settings_file_test.cpp: Zamo.ini read at start-up, reset at creation,
// written key by key and whole: the reading rules of each key, the writing
// order on a new file and in an existing one, where the file lives, a file
// that cannot be written, and a reader never meeting a torn file.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "app/settings_file.h"
#include "burner/compilation/veskburner.h"
#include "tests/support/temp_dir.h"

namespace zamo {
namespace {

// The component as the main window sets it up before reading the file.
void DesignTimeDefaults(TVeskBurner& burner) {
  burner.UnderrunProtection = true;
  burner.PerformOPC = true;
  burner.FinalizeDisc = false;
  burner.TestWrite = false;
  burner.SetCacheSize(8392704);
}

// Sets an environment variable for the test's length.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class SettingsFileTest : public ::testing::Test {
 protected:
  void SetUp() override { DesignTimeDefaults(burner_); }

  // Reads `content` as the whole file into fresh options and the component.
  void Load(const std::string& content) {
    test::WriteFile(path_, content);
    LoadSettings(path_, options_, burner_);
  }

  test::TempDir dir_;
  std::string path_ = dir_ / "Zamo.ini";
  TAppOptions options_;
  TVeskBurner burner_{nullptr};
  std::vector<std::string> log_;
  TSettingsLog log_to_list_ = [this](const std::string& line) { log_.push_back(line); };
};

TEST_F(SettingsFileTest, AFreshInstallationKeepsEveryDefault) {
  LoadSettings(dir_ / "missing/Zamo.ini", options_, burner_);
  EXPECT_TRUE(burner_.JolietFileSystem);
  EXPECT_TRUE(burner_.PerformOPC);
  EXPECT_FALSE(burner_.TestWrite);
  EXPECT_FALSE(burner_.FinalizeDisc);
  EXPECT_EQ(burner_.CacheSize(), 8392704);
  EXPECT_EQ(burner_.IdVolume, "");
  EXPECT_FALSE(burner_.Bootable);
  EXPECT_FALSE(options_.ImportSession);
  EXPECT_EQ(options_.SessionNo, 0);
  EXPECT_EQ(options_.SavePath, Qt::Unchecked);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "missing"));  // reading creates nothing
}

TEST_F(SettingsFileTest, EveryKeyIsReadIntoItsPlaceWhateverTheOrderAndCaseOfTheKeys) {
  // The keys in no particular order, spelled in other cases, with blanks.
  Load("; written by hand\n[options]\ncachesize=16777216\n  VolumeLable = SAUVEGARDE \nBootable=1\n"
       "BootImage=/boot/disk.img\nImportSession=1\nShowFiles=1\nEjectDisc=7\nSessionNo=2\nQuickSaveISO=1\n"
       "PerformOPC=0\nTestWrite=1\nJOLIETFS=0\nCloseDisc=1\nSavePath=Checked\nArchiveFiles=1\n");
  EXPECT_TRUE(options_.ArchiveFiles);
  EXPECT_EQ(options_.SavePath, Qt::Checked);
  EXPECT_TRUE(burner_.FinalizeDisc);
  EXPECT_FALSE(burner_.JolietFileSystem);
  EXPECT_TRUE(burner_.TestWrite);
  EXPECT_FALSE(burner_.PerformOPC);
  EXPECT_TRUE(options_.QuickSaveISO);
  EXPECT_EQ(options_.SessionNo, 2);
  EXPECT_TRUE(options_.EjectDisc);  // any whole number but 0 is true
  EXPECT_TRUE(options_.ShowFiles);
  EXPECT_TRUE(options_.ImportSession);
  EXPECT_EQ(burner_.BootImage, "/boot/disk.img");
  EXPECT_TRUE(burner_.Bootable);
  EXPECT_EQ(burner_.IdVolume, "SAUVEGARDE");
  EXPECT_EQ(burner_.CacheSize(), 16777216);
}

TEST_F(SettingsFileTest, KeysOfAnotherSectionAndValuesThatAreNoNumbersLeaveTheDefaults) {
  Load("[Other]\nJolietFS=0\nCacheSize=4194304\n[Options]\nPerformOPC=yes\nTestWrite=1.0\nCloseDisc=\n"
       "CacheSize=12MB\nEjectDisc=99999999999\n");
  EXPECT_TRUE(burner_.JolietFileSystem);
  EXPECT_TRUE(burner_.PerformOPC);
  EXPECT_FALSE(burner_.TestWrite);
  EXPECT_FALSE(burner_.FinalizeDisc);
  EXPECT_EQ(burner_.CacheSize(), 8392704);
  EXPECT_FALSE(options_.EjectDisc);
}

struct SessionCase {
  const char* lines;
  int8_t session_no;
  bool import_session;
};

class SessionNoRules : public SettingsFileTest, public ::testing::WithParamInterface<SessionCase> {};

TEST_P(SessionNoRules, TheNumberCountsOnlyWhileTheImportIsOnAndIsKeptInEightBits) {
  options_.SessionNo = 9;  // whatever came before, the file decides
  Load(std::string("[Options]\n") + GetParam().lines);
  EXPECT_EQ(options_.SessionNo, GetParam().session_no);
  EXPECT_EQ(options_.ImportSession, GetParam().import_session);
}

INSTANTIATE_TEST_SUITE_P(
    Files, SessionNoRules,
    ::testing::Values(SessionCase{"ImportSession=0\nSessionNo=-1\n", 0, false},
                      SessionCase{"ImportSession=1\n", 0, true},
                      SessionCase{"SessionNo=3\n", 0, false},
                      SessionCase{"ImportSession=1\nSessionNo=-1\n", -1, true},
                      SessionCase{"ImportSession=1\nSessionNo=255\n", -1, true},
                      SessionCase{"ImportSession=1\nSessionNo=256\n", 0, true},
                      SessionCase{"ImportSession=1\nSessionNo=3\n", 3, true},
                      SessionCase{"ImportSession=1\nSessionNo=deux\n", 0, true},
                      SessionCase{"SessionNo=4\nImportSession=2\n", 4, true}));

struct CacheCase {
  const char* value;
  int bytes;
};

class CacheSizeRules : public SettingsFileTest, public ::testing::WithParamInterface<CacheCase> {};

TEST_P(CacheSizeRules, TheValuePassesThroughTheComponentsSetter) {
  Load(std::string("[Options]\nCacheSize=") + GetParam().value + "\n");
  EXPECT_EQ(burner_.CacheSize(), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(Values, CacheSizeRules,
                         ::testing::Values(CacheCase{"1000", 2097152}, CacheCase{"-5", 2097152},
                                           CacheCase{"2097153", 2097152}, CacheCase{"8392705", 8392704},
                                           CacheCase{"67108864", 67108864}, CacheCase{"0x800000", 8392704}));

struct PathCase {
  const char* value;
  Qt::CheckState state;
};

class SavePathRules : public SettingsFileTest, public ::testing::WithParamInterface<PathCase> {};

TEST_P(SavePathRules, TheStateIsReadWithoutRegardToCase) {
  options_.SavePath = Qt::Checked;
  Load(std::string("[Options]\n") + GetParam().value);
  EXPECT_EQ(options_.SavePath, GetParam().state);
}

INSTANTIATE_TEST_SUITE_P(Values, SavePathRules,
                         ::testing::Values(PathCase{"SavePath=gRaYeD\n", Qt::PartiallyChecked},
                                           PathCase{"SavePath=GRAYED\n", Qt::PartiallyChecked},
                                           PathCase{"SavePath=checked\n", Qt::Checked},
                                           PathCase{"SavePath=Unchecked\n", Qt::Unchecked},
                                           PathCase{"SavePath=1\n", Qt::Unchecked},
                                           PathCase{"", Qt::Unchecked}));

// The values the main window holds after a user changed every option.
void ChangeEverything(TAppOptions& options, TVeskBurner& burner) {
  options.ArchiveFiles = true;
  options.ImportSession = true;
  options.SessionNo = -1;
  options.SavePath = Qt::PartiallyChecked;
  options.EjectDisc = true;
  options.QuickSaveISO = false;
  options.ShowFiles = true;
  burner.FinalizeDisc = true;
  burner.JolietFileSystem = false;
  burner.Bootable = true;
  burner.TestWrite = true;
  burner.PerformOPC = false;
  burner.BootImage = "/srv/images/démarrage.img";
  burner.IdVolume = "PHOTOS 2024";
  burner.SetCacheSize(33554432);
}

constexpr char kEveryKey[] =
    "ArchiveFiles=1\nImportSession=1\nSavePath=Grayed\nCloseDisc=1\nEjectDisc=1\nJolietFS=0\nBootable=1\n"
    "TestWrite=1\nQuickSaveISO=0\nShowFiles=1\nPerformOPC=0\nSessionNo=-1\n"
    "BootImage=/srv/images/démarrage.img\nVolumeLable=PHOTOS 2024\nCacheSize=33554432\n";

TEST_F(SettingsFileTest, ANewFileHoldsEveryKeyInTheWritingOrder) {
  ChangeEverything(options_, burner_);
  const std::string path = dir_ / "config/zamo/Zamo.ini";  // its folder is made
  ASSERT_TRUE(WriteAllSettings(path, options_, burner_, "-1", log_to_list_));
  EXPECT_EQ(test::ReadFile(path), std::string("[Options]\n") + kEveryKey);
  EXPECT_TRUE(log_.empty());
}

TEST_F(SettingsFileTest, AtEachStartCloseDiscComesFirstAndTheKeysWrittenLaterFollowIt) {
  // A first run: the window's creation writes CloseDisc=0, then the user
  // accepts the options with every box changed.
  burner_.FinalizeDisc = true;
  ASSERT_TRUE(ResetCloseDisc(path_, burner_, log_to_list_));
  EXPECT_FALSE(burner_.FinalizeDisc);
  EXPECT_EQ(test::ReadFile(path_), "[Options]\nCloseDisc=0\n");
  ChangeEverything(options_, burner_);
  ASSERT_TRUE(WriteAllSettings(path_, options_, burner_, "-1", log_to_list_));
  std::string expected = kEveryKey;
  expected.erase(expected.find("CloseDisc=1\n"), 12);
  EXPECT_EQ(test::ReadFile(path_), "[Options]\nCloseDisc=1\n" + expected);

  // The next start resets the key where it stands and reads it clear.
  ASSERT_TRUE(ResetCloseDisc(path_, burner_, log_to_list_));
  EXPECT_EQ(test::ReadFile(path_), "[Options]\nCloseDisc=0\n" + expected);
  TVeskBurner next{nullptr};
  TAppOptions next_options;
  DesignTimeDefaults(next);
  next.FinalizeDisc = true;
  LoadSettings(path_, next_options, next);
  EXPECT_FALSE(next.FinalizeDisc);
  EXPECT_TRUE(next_options.ArchiveFiles);
  EXPECT_EQ(next_options.SavePath, Qt::PartiallyChecked);
  EXPECT_EQ(next_options.SessionNo, -1);
  EXPECT_EQ(next.BootImage, "/srv/images/démarrage.img");
  EXPECT_EQ(next.CacheSize(), 33554432);
  EXPECT_TRUE(log_.empty());
}

TEST_F(SettingsFileTest, WritingKeepsWhatTheProgramDoesNotKnowAndChangesKeysWhereTheyStand) {
  const std::string before =
      "; mes réglages\n[Display]\nCacheSize=1\n\n[OPTIONS]\nvolumelable=ANCIEN\nCustom=garde\n\n[Tail]\nx=y\n";
  test::WriteFile(path_, before);
  ASSERT_TRUE(WriteSavePath(path_, Qt::Checked, log_to_list_));
  EXPECT_EQ(test::ReadFile(path_),
            "; mes réglages\n[Display]\nCacheSize=1\n\n[OPTIONS]\nvolumelable=ANCIEN\nCustom=garde\n"
            "SavePath=Checked\n\n[Tail]\nx=y\n");
  ChangeEverything(options_, burner_);
  ASSERT_TRUE(WriteAllSettings(path_, options_, burner_, "-1", log_to_list_));
  const std::string after = test::ReadFile(path_);
  EXPECT_EQ(after.substr(0, after.find("[OPTIONS]")), "; mes réglages\n[Display]\nCacheSize=1\n\n");
  EXPECT_NE(after.find("[OPTIONS]\nVolumeLable=PHOTOS 2024\nCustom=garde\nSavePath=Grayed\nArchiveFiles=1\n"),
            std::string::npos)
      << after;
  EXPECT_NE(after.find("CacheSize=33554432\n\n[Tail]\nx=y\n"), std::string::npos) << after;
}

TEST_F(SettingsFileTest, AFileThatCannotBeWrittenIsSaidInTheLogAndLeftAsItWas) {
  // Its folder is a file: nothing can be created there.
  test::WriteFile(dir_ / "plain", "x");
  const std::string inside_file = dir_ / "plain/Zamo.ini";
  EXPECT_FALSE(ResetCloseDisc(inside_file, burner_, log_to_list_));
  ASSERT_EQ(log_.size(), 1u);
  EXPECT_EQ(log_[0].rfind("IMPOSSIBLE D'ENREGISTRER LES OPTIONS DANS " + inside_file + " : ", 0), 0u) << log_[0];

  // A path that is a folder cannot be read: it is not replaced either.
  std::filesystem::create_directories(dir_ / "folder.ini/keep");
  EXPECT_FALSE(WriteSavePath(dir_ / "folder.ini", Qt::Checked, log_to_list_));
  EXPECT_EQ(log_.size(), 2u);
  EXPECT_TRUE(std::filesystem::is_directory(dir_ / "folder.ini/keep"));
  EXPECT_EQ(test::ReadFile(dir_ / "plain"), "x");
}

TEST_F(SettingsFileTest, AReaderNeverMeetsATornFileWhileItIsRewritten) {
  // Two versions of the file, of different lengths; a reader running all
  // the while must always find one of them whole.
  TAppOptions short_options;
  TVeskBurner short_burner{nullptr};
  DesignTimeDefaults(short_burner);
  ASSERT_TRUE(WriteAllSettings(path_, short_options, short_burner, "0", {}));
  const std::string short_text = test::ReadFile(path_);
  ChangeEverything(options_, burner_);
  burner_.IdVolume = std::string(16, 'V');
  ASSERT_TRUE(WriteAllSettings(path_, options_, burner_, "-1", {}));
  const std::string long_text = test::ReadFile(path_);
  ASSERT_NE(short_text.size(), long_text.size());

  std::atomic<bool> done{false};
  std::atomic<int> reads{0}, torn{0};
  std::thread reader([&] {
    while (!done) {
      const std::string seen = test::ReadFile(path_);
      if (seen != short_text && seen != long_text) ++torn;
      ++reads;
    }
  });
  for (int i = 0; i < 400; ++i) {
    const bool wrote = i % 2 == 0 ? WriteAllSettings(path_, short_options, short_burner, "0", log_to_list_)
                                  : WriteAllSettings(path_, options_, burner_, "-1", log_to_list_);
    ASSERT_TRUE(wrote);
  }
  done = true;
  reader.join();
  EXPECT_EQ(torn, 0) << "of " << reads << " reads";
  EXPECT_GT(reads, 0);
  // No temporary file stays behind.
  int entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir_.path())) ++entries;
  EXPECT_EQ(entries, 1);
}

// ---- Where the file lives ---------------------------------------------------

class SettingsLocationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Readable by anyone, for the check run as an unprivileged user below.
    chmod(dir_.path().c_str(), 0755);
    std::filesystem::create_directories(program_);
    chmod(program_.c_str(), 0755);
  }

  // Whether the settings of a program in `folder` would go to `expected`,
  // as a user who cannot write to what is read-only (root writes anywhere:
  // the check then runs in a child process as the user nobody).
  bool GoesTo(const std::string& folder, const std::string& expected) {
    if (geteuid() != 0) return SettingsFilePathFor(folder) == expected;
    const pid_t child = fork();
    if (child == 0) {
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
      _exit(SettingsFilePathFor(folder) == expected ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

  test::TempDir dir_;
  std::string program_ = dir_ / "bin";
};

TEST_F(SettingsLocationTest, BesideTheProgramWhenItsFolderIsWritable) {
  ScopedEnv xdg("XDG_CONFIG_HOME", (dir_ / "config").c_str());
  EXPECT_EQ(SettingsFilePathFor(program_), program_ + "/Zamo.ini");
}

TEST_F(SettingsLocationTest, InTheXdgConfigurationFolderWhenTheProgramsFolderIsReadOnly) {
  chmod(program_.c_str(), 0555);
  {
    ScopedEnv xdg("XDG_CONFIG_HOME", (dir_ / "config").c_str());
    EXPECT_TRUE(GoesTo(program_, dir_ / "config/zamo/Zamo.ini"));
  }
  {
    ScopedEnv xdg("XDG_CONFIG_HOME", nullptr);
    ScopedEnv home("HOME", (dir_ / "home").c_str());
    EXPECT_TRUE(GoesTo(program_, dir_ / "home/.config/zamo/Zamo.ini"));
  }
  {
    ScopedEnv xdg("XDG_CONFIG_HOME", "relative/config");  // not absolute: ignored
    ScopedEnv home("HOME", (dir_ / "home").c_str());
    EXPECT_TRUE(GoesTo(program_, dir_ / "home/.config/zamo/Zamo.ini"));
    EXPECT_TRUE(GoesTo(dir_ / "no such folder", dir_ / "home/.config/zamo/Zamo.ini"));
  }
}

}  // namespace
}  // namespace zamo
