// options_dialog_test.cpp: the options dialog driven as a user would: what
// it shows at opening, each box landing in its own option and key, the
// session box's rules (zero, not a number), the cache slider, the boot image
// chooser, cancelling, accepting untouched, the skin button and the balloons.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <string>

#include "tests/app/modal.h"
#include "app/balloon.h"
#include "app/options_dialog.h"
#include "app/settings_file.h"
#include "app/skin.h"
#include "burner/compilation/veskburner.h"
#include "tests/support/temp_dir.h"

namespace zamo {
namespace {

using test::WhenModal;

class OptionsDialogTest : public ::testing::Test {
 protected:
  OptionsDialogTest() {
    // The component as the main window sets it up.
    burner_.UnderrunProtection = true;
    burner_.PerformOPC = true;
    burner_.SetCacheSize(8392704);
    burner_.OnDebugMessage = [this](TObject*, const std::string& line, uint8_t) { log_.push_back(line); };
  }
  void TearDown() override {
    if (dialog_ != nullptr) dialog_->close();
  }

  TfrmSettings& Open() {
    dialog_ = std::make_unique<TfrmSettings>(options_, burner_, path_);
    dialog_->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(dialog_.get()));
    return *dialog_;
  }
  template <typename T>
  T* Find(const char* name) {
    T* found = dialog_->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(found, nullptr) << name;
    return found;
  }
  // A click on a box's own square (the centre of a box wider than its
  // caption is outside it), or at the centre of a button.
  void Click(const char* name) {
    QAbstractButton* button = Find<QAbstractButton>(name);
    const bool box = qobject_cast<QCheckBox*>(button) != nullptr;
    QTest::mouseClick(button, Qt::LeftButton, {}, box ? QPoint(8, button->height() / 2) : QPoint());
  }
  void TypeSession(const QString& text) {
    QLineEdit* session = Find<QLineEdit>("eSession");
    session->selectAll();
    QTest::keyClick(session, Qt::Key_Backspace);
    QTest::keyClicks(session, text);
  }
  // "Accepter", with the message box it opens answered; returns its text.
  QString AcceptAnsweringMessage() {
    QString message;
    WhenModal<QMessageBox>([&message](QMessageBox* box) {
      message = box->text();
      QTest::keyClick(box, Qt::Key_Return);
    });
    Click("bAccept");
    return message;
  }

  test::TempDir dir_;
  std::string path_ = dir_ / "Zamo.ini";
  TAppOptions options_;
  TVeskBurner burner_{nullptr};
  std::vector<std::string> log_;
  std::unique_ptr<TfrmSettings> dialog_;
};

TEST_F(OptionsDialogTest, AtAFreshInstallationTheDialogShowsTheDefaults) {
  Open();
  EXPECT_EQ(dialog_->windowTitle(), "    Options ");
  EXPECT_TRUE(Find<QCheckBox>("cJoliet")->isChecked());
  EXPECT_TRUE(Find<QCheckBox>("cOPC")->isChecked());
  EXPECT_FALSE(Find<QCheckBox>("cTestWrite")->isChecked());
  EXPECT_FALSE(Find<QCheckBox>("cCloseDisc")->isChecked());
  EXPECT_FALSE(Find<QCheckBox>("cImportSession")->isChecked());
  EXPECT_FALSE(Find<QLineEdit>("eSession")->isEnabled());
  EXPECT_EQ(Find<QLineEdit>("eVolLabel")->text(), "");
  EXPECT_EQ(Find<QSlider>("sCacheSize")->value(), 8);
  EXPECT_EQ(Find<QLabel>("lCacheSize")->text(), " 8 MB");
  EXPECT_TRUE(Find<QCheckBox>("cUnderrunProtection")->isChecked());
  EXPECT_FALSE(Find<QCheckBox>("cUnderrunProtection")->isEnabled());  // no drive says it protects
  EXPECT_TRUE(dialog_->isVisible());
}

TEST_F(OptionsDialogTest, TheUnderrunBoxIsOpenOnlyToADriveThatProtects) {
  burner_.Capabilities = capUnderrunProtection | capWriteCdR;
  Open();
  EXPECT_TRUE(Find<QCheckBox>("cUnderrunProtection")->isEnabled());
  Click("cUnderrunProtection");
  Click("bAccept");
  EXPECT_FALSE(burner_.UnderrunProtection);
  EXPECT_EQ(test::ReadFile(path_).find("Underrun"), std::string::npos);  // kept for the run only
}

struct BoxCase {
  const char* box;
  const char* key;  // its line in the file after a click, from the defaults
  std::function<bool(const TAppOptions&, const TVeskBurner&)> value;
};

class EachBox : public OptionsDialogTest, public ::testing::WithParamInterface<BoxCase> {};

// Clicking one box and accepting changes its own option and its own key,
// and nothing else.
TEST_P(EachBox, LandsInItsOwnOptionAndKeyAlone) {
  Open();
  Click("bAccept");
  const std::string untouched_file = test::ReadFile(path_);
  ASSERT_FALSE(dialog_->isVisible());

  Open();
  const bool before = GetParam().value(options_, burner_);
  Click(GetParam().box);
  Click("bAccept");
  EXPECT_NE(GetParam().value(options_, burner_), before);
  std::string expected = untouched_file;
  const std::string key = GetParam().key;
  const size_t at = expected.find(key.substr(0, key.find('=') + 1));
  ASSERT_NE(at, std::string::npos);
  expected.replace(at, key.size(), key);
  EXPECT_EQ(test::ReadFile(path_), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Boxes, EachBox,
    ::testing::Values(
        BoxCase{"cJoliet", "JolietFS=0", [](const TAppOptions&, const TVeskBurner& b) { return b.JolietFileSystem; }},
        BoxCase{"cCloseDisc", "CloseDisc=1", [](const TAppOptions&, const TVeskBurner& b) { return b.FinalizeDisc; }},
        BoxCase{"cTestWrite", "TestWrite=1", [](const TAppOptions&, const TVeskBurner& b) { return b.TestWrite; }},
        BoxCase{"cOPC", "PerformOPC=0", [](const TAppOptions&, const TVeskBurner& b) { return b.PerformOPC; }},
        BoxCase{"cEject", "EjectDisc=1", [](const TAppOptions& o, const TVeskBurner&) { return o.EjectDisc; }},
        BoxCase{"cQuickSaveISO", "QuickSaveISO=1",
                [](const TAppOptions& o, const TVeskBurner&) { return o.QuickSaveISO; }},
        BoxCase{"cArchiveOnly", "ArchiveFiles=1",
                [](const TAppOptions& o, const TVeskBurner&) { return o.ArchiveFiles; }},
        BoxCase{"cShowFiles", "ShowFiles=1", [](const TAppOptions& o, const TVeskBurner&) { return o.ShowFiles; }}),
    [](const ::testing::TestParamInfo<BoxCase>& box_case) { return std::string(box_case.param.box); });

TEST_F(OptionsDialogTest, AcceptingUntouchedRewritesTheValuesInEffectByteForByte) {
  const std::string file =
      "[Options]\nCloseDisc=0\nArchiveFiles=1\nImportSession=1\nSavePath=Grayed\nEjectDisc=1\nJolietFS=0\n"
      "Bootable=1\nTestWrite=1\nQuickSaveISO=1\nShowFiles=0\nPerformOPC=0\nSessionNo=-1\n"
      "BootImage=/boot/disquette.img\nVolumeLable=ARCHIVES 2024\nCacheSize=33554432\n";
  test::WriteFile(path_, file);
  LoadSettings(path_, options_, burner_);
  Open();
  EXPECT_EQ(Find<QLineEdit>("eSession")->text(), "-1");
  EXPECT_TRUE(Find<QLineEdit>("eSession")->isEnabled());
  EXPECT_EQ(Find<QLabel>("lBootImage")->text(), "/boot/disquette.img");
  EXPECT_EQ(Find<QLabel>("lCacheSize")->text(), "32 MB");
  Click("bAccept");
  EXPECT_FALSE(dialog_->isVisible());
  EXPECT_EQ(test::ReadFile(path_), file);
  EXPECT_TRUE(log_.empty());
}

TEST_F(OptionsDialogTest, ZeroInTheSessionBoxIsSaidAndImportsNothing) {
  options_.ImportSession = true;
  options_.SessionNo = -1;
  Open();
  TypeSession(QStringLiteral(" 0 "));
  EXPECT_EQ(AcceptAnsweringMessage(), "Session à importer. 'Zéro' ne rappelle aucune session");
  EXPECT_FALSE(dialog_->isVisible());
  EXPECT_EQ(dialog_->result(), QDialog::Accepted);
  EXPECT_EQ(options_.SessionNo, 0);
  EXPECT_TRUE(options_.ImportSession);
  EXPECT_NE(test::ReadFile(path_).find("\nImportSession=1\n"), std::string::npos);
  EXPECT_NE(test::ReadFile(path_).find("\nSessionNo= 0 \n"), std::string::npos);  // the text as typed
}

TEST_F(OptionsDialogTest, ASessionTextThatIsNoWholeNumberIsRefusedAndNothingApplied) {
  Open();
  Click("cImportSession");
  Click("cTestWrite");
  TypeSession(QStringLiteral("deux"));
  const QString message = AcceptAnsweringMessage();
  EXPECT_TRUE(message.contains(QStringLiteral("« deux » n'est pas un nombre entier"))) << message.toStdString();
  EXPECT_TRUE(dialog_->isVisible());
  EXPECT_FALSE(options_.ImportSession);
  EXPECT_FALSE(burner_.TestWrite);
  EXPECT_FALSE(std::filesystem::exists(path_));

  for (const QString& refused : {QStringLiteral(""), QStringLiteral("1.5"), QStringLiteral("99999999999")}) {
    TypeSession(refused);
    EXPECT_FALSE(AcceptAnsweringMessage().isEmpty()) << refused.toStdString();
    EXPECT_TRUE(dialog_->isVisible());
  }
  EXPECT_FALSE(std::filesystem::exists(path_));

  TypeSession(QStringLiteral("2"));
  Click("bAccept");
  EXPECT_FALSE(dialog_->isVisible());
  EXPECT_EQ(options_.SessionNo, 2);
  EXPECT_TRUE(burner_.TestWrite);
  EXPECT_NE(test::ReadFile(path_).find("\nSessionNo=2\n"), std::string::npos);
}

TEST_F(OptionsDialogTest, TheSessionNumberIsKeptInEightBits) {
  Open();
  Click("cImportSession");
  EXPECT_TRUE(Find<QLineEdit>("eSession")->isEnabled());
  TypeSession(QStringLiteral("255"));
  Click("bAccept");
  EXPECT_EQ(options_.SessionNo, -1);
  EXPECT_NE(test::ReadFile(path_).find("\nSessionNo=255\n"), std::string::npos);
}

TEST_F(OptionsDialogTest, TheCacheSliderShowsItsPositionAndGivesWholeMegabytes) {
  Open();
  QSlider* slider = Find<QSlider>("sCacheSize");
  slider->setFocus();
  QTest::keyClick(slider, Qt::Key_End);
  EXPECT_EQ(Find<QLabel>("lCacheSize")->text(), "64 MB");
  QTest::keyClick(slider, Qt::Key_Home);
  EXPECT_EQ(Find<QLabel>("lCacheSize")->text(), " 2 MB");
  QTest::keyClick(slider, Qt::Key_Up);
  EXPECT_EQ(Find<QLabel>("lCacheSize")->text(), " 3 MB");
  Click("bAccept");
  EXPECT_EQ(burner_.CacheSize(), 3 * 1048576);
  EXPECT_NE(test::ReadFile(path_).find("\nCacheSize=3145728\n"), std::string::npos);
}

TEST_F(OptionsDialogTest, TheBootImageIsChosenWhenTheBoxIsTickedAndTakenOverOnAccepting) {
  const std::string image = dir_ / "images/boot.img";
  test::WriteFile(image, std::string(1474560, '\0'));
  burner_.BootImage = dir_ / "images/old.img";
  Open();

  // Cancelled: the box is cleared again, the label keeps its text.
  WhenModal<QFileDialog>([](QFileDialog* chooser) { chooser->reject(); });
  Click("cBootable");
  EXPECT_FALSE(Find<QCheckBox>("cBootable")->isChecked());
  EXPECT_EQ(Find<QLabel>("lBootImage")->text().toStdString(), dir_ / "images/old.img");

  QString start_folder;
  WhenModal<QFileDialog>([&](QFileDialog* chooser) {
    start_folder = chooser->directory().absolutePath();
    // The name typed (pasted) into the chooser's file name box, then "Open".
    auto* name = chooser->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    if (name == nullptr) {
      ADD_FAILURE() << "the chooser has no file name box";
      chooser->reject();
      return;
    }
    name->setText(QString::fromStdString(image));
    static_cast<QDialog*>(chooser)->accept();
  });
  Click("cBootable");
  EXPECT_EQ(start_folder.toStdString(), dir_ / "images");
  EXPECT_TRUE(Find<QCheckBox>("cBootable")->isChecked());
  EXPECT_EQ(Find<QLabel>("lBootImage")->text().toStdString(), image);
  EXPECT_EQ(burner_.BootImage, dir_ / "images/old.img");  // not before "Accepter"

  // Clearing the box changes nothing else.
  Click("cBootable");
  EXPECT_EQ(Find<QLabel>("lBootImage")->text().toStdString(), image);
  WhenModal<QFileDialog>([](QFileDialog* chooser) { chooser->reject(); });
  Click("cBootable");  // ticked again, cancelled
  Click("bAccept");
  EXPECT_FALSE(burner_.Bootable);
  EXPECT_EQ(burner_.BootImage, image);
}

TEST_F(OptionsDialogTest, CancellingChangesNothingButTheSkin) {
  SetSkinOn(true);
  test::WriteFile(path_, "[Options]\nCloseDisc=0\n");
  Open();
  EXPECT_EQ(Find<QPushButton>("btnSkin")->text(), "XP");
  for (const char* box : {"cJoliet", "cCloseDisc", "cTestWrite", "cOPC", "cEject", "cArchiveOnly", "cImportSession"})
    Click(box);
  QTest::keyClicks(Find<QLineEdit>("eVolLabel"), QStringLiteral("NOUVEAU"));
  Click("btnSkin");
  EXPECT_EQ(Find<QPushButton>("btnSkin")->text(), "Office 2007");
  EXPECT_FALSE(SkinOn());
  QTest::keyClick(dialog_.get(), Qt::Key_Escape);
  EXPECT_FALSE(dialog_->isVisible());
  EXPECT_EQ(dialog_->result(), QDialog::Rejected);
  EXPECT_FALSE(SkinOn());  // switched at once, kept
  EXPECT_TRUE(burner_.JolietFileSystem);
  EXPECT_FALSE(burner_.FinalizeDisc);
  EXPECT_FALSE(burner_.TestWrite);
  EXPECT_TRUE(burner_.PerformOPC);
  EXPECT_EQ(burner_.IdVolume, "");
  EXPECT_FALSE(options_.EjectDisc);
  EXPECT_FALSE(options_.ArchiveFiles);
  EXPECT_FALSE(options_.ImportSession);
  EXPECT_EQ(test::ReadFile(path_), "[Options]\nCloseDisc=0\n");

  Open();
  EXPECT_EQ(Find<QPushButton>("btnSkin")->text(), "Office 2007");
  Click("btnSkin");
  EXPECT_EQ(Find<QPushButton>("btnSkin")->text(), "XP");
  EXPECT_TRUE(SkinOn());
  SetSkinOn(false);
}

TEST_F(OptionsDialogTest, TheVolumeNameTakesSixteenCharactersAtMost) {
  Open();
  QTest::keyClicks(Find<QLineEdit>("eVolLabel"), QStringLiteral("VACANCES_ÉTÉ_2024_PHOTOS"));
  Click("bAccept");
  EXPECT_EQ(burner_.IdVolume, "VACANCES_ÉTÉ_202");
  EXPECT_NE(test::ReadFile(path_).find("\nVolumeLable=VACANCES_ÉTÉ_202\n"), std::string::npos);
}

TEST_F(OptionsDialogTest, AFileThatCannotBeWrittenIsSaidInTheLogAndTheValuesHoldAllTheSame) {
  test::WriteFile(dir_ / "plain", "x");
  path_ = dir_ / "plain/Zamo.ini";
  Open();
  Click("cTestWrite");
  Click("bAccept");
  EXPECT_FALSE(dialog_->isVisible());
  EXPECT_TRUE(burner_.TestWrite);
  ASSERT_EQ(log_.size(), 1u);
  EXPECT_NE(log_[0].find("IMPOSSIBLE D'ENREGISTRER LES OPTIONS DANS " + path_), std::string::npos);
}

struct BalloonCase {
  const char* box;
  const char* title;
  const char* text_start;
};

class Balloons : public OptionsDialogTest, public ::testing::WithParamInterface<BalloonCase> {};

TEST_P(Balloons, ARightClickOnTheBoxOpensItsBalloon) {
  Open();
  QCheckBox* box = Find<QCheckBox>(GetParam().box);
  const bool ticked = box->isChecked();
  QTest::mouseClick(box, Qt::RightButton);
  TBalloon* balloon = nullptr;
  for (QWidget* top : QApplication::topLevelWidgets()) {
    if (auto* each = dynamic_cast<TBalloon*>(top); each != nullptr && each->isVisible()) balloon = each;
  }
  ASSERT_NE(balloon, nullptr);
  EXPECT_EQ(balloon->Title().toStdString(), GetParam().title);
  EXPECT_TRUE(balloon->Text().startsWith(QString::fromUtf8(GetParam().text_start))) << balloon->Text().toStdString();
  EXPECT_EQ(box->isChecked(), ticked);  // a right click does not tick
  balloon->close();
}

INSTANTIATE_TEST_SUITE_P(
    Boxes, Balloons,
    ::testing::Values(BalloonCase{"cCloseDisc", "Clôturer les média", "Une opération qui consiste à passer"},
                      BalloonCase{"cImportSession", "Importer une session", "Opération qui permet d'importer"},
                      BalloonCase{"cQuickSaveISO", "Graver automatiquement au format ISO",
                                  "Utilisé pour débuter automatiquement la sauvegarde des fichiers au format ISO et "
                                  "leur gravure sur le disque.\nATTENTION:"},
                      BalloonCase{"cArchiveOnly", "Sauvegarde incrémentale", "Opération qui conciste à copier"}),
    [](const ::testing::TestParamInfo<BalloonCase>& balloon_case) { return std::string(balloon_case.param.box); });

}  // namespace
}  // namespace zamo
