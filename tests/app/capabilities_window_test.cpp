// capabilities_window_test.cpp: the drive capabilities window: each box
// shows its own bit and no other, the bits never shown, a drive whose
// capabilities could not be read, and every emulated kind as the component
// reads it (boxes and both maximum speeds).
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTest>
#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "app/capabilities_window.h"
#include "burner/compilation/veskburner.h"
#include "burner/drive/transport.h"
#include "emulator/emulated_backend.h"
#include "tests/support/temp_dir.h"

namespace zamo {
namespace {

// The boxes by caption, in the order of the window's rows.
const char* const kCaptions[] = {
    "Lecture CDR",   "Écriture CDR",    "Lecture CDRW",    "Écriture CDRW",    "Lecture DVD-R",
    "Écriture DVD-R", "Lecture DVD-RW", "Écriture DVD-RW", "Lecture DVD-RAM", "Écriture DVD-RAM",
    "Lecture DVD+R", "Écriture DVD+R",  "Lecture DVD+RW",  "Écriture DVD+RW",  "Lecture DVD",
    "Écriture Test", "Protection Underrun "};

// Caption -> ticked, for every check box of the window.
std::map<std::string, bool> Ticks(const TForm2& window) {
  std::map<std::string, bool> ticks;
  for (const QCheckBox* box : window.findChildren<QCheckBox*>()) ticks[box->text().toStdString()] = box->isChecked();
  return ticks;
}

std::string LabelText(const TForm2& window, const char* name) {
  const auto* label = window.findChild<QLabel*>(QString::fromLatin1(name));
  return label != nullptr ? label->text().toStdString() : "(none)";
}

struct BitCase {
  int bit;
  const char* caption;  // nullptr: a bit the window does not show
};

class CapabilityBits : public ::testing::TestWithParam<BitCase> {};

TEST_P(CapabilityBits, EachBitTicksItsOwnBoxAndNoOther) {
  TVeskBurner burner{nullptr};
  burner.Capabilities = 1u << GetParam().bit;
  TForm2 window(burner);
  const std::map<std::string, bool> ticks = Ticks(window);
  ASSERT_EQ(ticks.size(), std::size(kCaptions));
  for (const char* caption : kCaptions) {
    ASSERT_EQ(ticks.count(caption), 1u) << caption;
    const bool expected = GetParam().caption != nullptr && std::string(caption) == GetParam().caption;
    EXPECT_EQ(ticks.at(caption), expected) << caption;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Bits, CapabilityBits,
    ::testing::Values(BitCase{0, "Lecture CDR"}, BitCase{1, "Lecture CDRW"}, BitCase{2, nullptr},
                      BitCase{3, "Lecture DVD"}, BitCase{4, "Lecture DVD-R"}, BitCase{5, "Lecture DVD-RW"},
                      BitCase{6, "Lecture DVD-RAM"}, BitCase{7, "Lecture DVD+R"}, BitCase{8, nullptr},
                      BitCase{9, "Lecture DVD+RW"}, BitCase{10, "Écriture CDR"}, BitCase{11, "Écriture CDRW"},
                      BitCase{12, "Écriture Test"}, BitCase{13, "Écriture DVD-R"}, BitCase{14, "Écriture DVD-RW"},
                      BitCase{15, "Écriture DVD-RAM"}, BitCase{16, "Écriture DVD+R"}, BitCase{17, nullptr},
                      BitCase{18, "Écriture DVD+RW"}, BitCase{20, "Protection Underrun "}));

TEST(CapabilitiesWindow, ADriveWhoseCapabilitiesCouldNotBeReadShowsNothingTicked) {
  TVeskBurner burner{nullptr};
  burner.DeviceString = "0:0:0,emu0: ZAMO     VIRTUAL RECORDER 1.0 ";
  TForm2 window(burner);
  for (const auto& [caption, ticked] : Ticks(window)) EXPECT_FALSE(ticked) << caption;
  EXPECT_EQ(LabelText(window, "lMaxWrite"), "Vitesse Max Écriture : 0 KB/s");
  EXPECT_EQ(LabelText(window, "lMaxRead"), "Vitesse Max Lecture  : 0 KB/s");
  EXPECT_EQ(LabelText(window, "lDevice"), "  0:0:0,emu0: ZAMO     VIRTUAL RECORDER 1.0 ");
  EXPECT_EQ(window.windowTitle(), "     Caractéristiques du graveur");
}

TEST(CapabilitiesWindow, TheBoxesCannotBeChangedAndEscCloses) {
  TVeskBurner burner{nullptr};
  burner.Capabilities = capWriteCdR;
  TForm2 window(burner);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  // A click on a box's own square, where a check box toggles.
  const auto click = [&window](const char* name) {
    auto* box = window.findChild<QCheckBox*>(QString::fromLatin1(name));
    if (box == nullptr) return false;
    QStyleOptionButton option;
    option.initFrom(box);
    const QRect square = box->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, box);
    QTest::mouseClick(box, Qt::LeftButton, {}, square.center());
    return box->isChecked();
  };
  EXPECT_TRUE(click("cWriteCdR"));
  EXPECT_FALSE(click("cReadCdR"));
  QTest::keyClick(&window, Qt::Key_Escape);
  EXPECT_FALSE(window.isVisible());
}

struct KindCase {
  const char* kind;
  int max_write;  // KB/s: the medium's fastest write speed
  int max_read;
};

// An emulated recorder chosen as the main window chooses it.
class EmulatedDrive {
 public:
  explicit EmulatedDrive(const std::string& drive) {
    std::string error;
    auto back_end = emu::CreateEmulatedBackEnd(drive, &error);
    EXPECT_NE(back_end, nullptr) << error;
    transport::Install(std::move(back_end));
    burner.LogCommandErrors = false;
    burner.HostAdapterInquiry(0);
    burner.ScanDevices();
    EXPECT_EQ(burner.Devices.size(), 1u);
    if (!burner.Devices.empty()) burner.SelectDevice(burner.Devices[0]);
  }
  ~EmulatedDrive() { transport::AspiUnload(); }
  TVeskBurner burner{nullptr};
};

class EmulatedKinds : public ::testing::TestWithParam<KindCase> {
 protected:
  test::TempDir dir_;
};

TEST_P(EmulatedKinds, TheWindowShowsWhatTheComponentReadFromTheDrive) {
  const std::string image = dir_ / "disc.img";
  const std::string kind = GetParam().kind;
  if (kind == "cd-rom" || kind == "dvd-rom") test::WriteFile(image, std::string(300 * 2048, '\0'));
  EmulatedDrive drive(kind + ":" + image);
  const TVeskBurner& burner = drive.burner;
  ASSERT_FALSE(burner.Devices.empty());

  TForm2 window(burner);
  // The emulated recorder reads and writes every medium the window shows,
  // with buffer-underrun protection, whatever disc it holds.
  for (const auto& [caption, ticked] : Ticks(window)) EXPECT_TRUE(ticked) << caption;
  EXPECT_EQ(LabelText(window, "lMaxWrite"), "Vitesse Max Écriture : " + std::to_string(GetParam().max_write) + " KB/s");
  EXPECT_EQ(LabelText(window, "lMaxRead"), "Vitesse Max Lecture  : " + std::to_string(GetParam().max_read) + " KB/s");
  EXPECT_EQ(LabelText(window, "lDevice"), "  " + burner.Devices[0]);
}

// Speeds: x times 176.4 KB/s on a CD, 1385 KB/s on a DVD, rounded.
INSTANTIATE_TEST_SUITE_P(Kinds, EmulatedKinds,
                         ::testing::Values(KindCase{"cd-r", 8467, 8467}, KindCase{"cd-rw", 4234, 8467},
                                           KindCase{"cd-rom", 8467, 8467}, KindCase{"dvd-r", 22160, 22160},
                                           KindCase{"dvd-rw", 8310, 22160}, KindCase{"dvd+r", 22160, 22160},
                                           KindCase{"dvd+r-dl", 11080, 16620}, KindCase{"dvd+rw", 11080, 22160},
                                           KindCase{"dvd-ram", 6925, 16620}, KindCase{"dvd-rom", 22160, 22160}),
                         [](const ::testing::TestParamInfo<KindCase>& kind_case) {
                           std::string name = kind_case.param.kind;
                           for (char& c : name) c = (c == '-' ? '_' : c == '+' ? 'P' : c);
                           return name;
                         });

struct WritesCase {
  const char* option;
  std::vector<std::string> writes;  // the "Écriture" boxes ticked
};

class WritesOption : public ::testing::TestWithParam<WritesCase> {
 protected:
  test::TempDir dir_;
};

// A recorder that writes only some media reads every one all the same.
TEST_P(WritesOption, OnlyTheMediaTheDriveWritesAreTicked) {
  EmulatedDrive drive("dvd+r:" + dir_ / "disc.img" + ",writes=" + GetParam().option);
  TForm2 window(drive.burner);
  for (const auto& [caption, ticked] : Ticks(window)) {
    if (caption.rfind("Lecture", 0) == 0 || caption == "Protection Underrun ") {
      EXPECT_TRUE(ticked) << caption;
    } else {
      const bool listed =
          std::find(GetParam().writes.begin(), GetParam().writes.end(), caption) != GetParam().writes.end();
      EXPECT_EQ(ticked, listed) << caption;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Drives, WritesOption,
    ::testing::Values(WritesCase{"dvd+r/dvd+rw", {"Écriture DVD+R", "Écriture DVD+RW"}},
                      WritesCase{"dvd+r", {}},  // DVD+R writing is read from the DVD+RW feature
                      WritesCase{"cd-r/cd-rw", {"Écriture CDR", "Écriture CDRW", "Écriture Test"}},
                      WritesCase{"dvd-r", {"Écriture DVD-R", "Écriture DVD-RW", "Écriture Test"}},
                      WritesCase{"dvd-ram", {"Écriture DVD-RAM"}}, WritesCase{"none", {}}),
    [](const ::testing::TestParamInfo<WritesCase>& writes_case) {
      std::string name = writes_case.param.option;
      for (char& c : name) c = (c == '-' ? '_' : c == '+' ? 'P' : c == '/' ? '_' : c);
      return name;
    });

}  // namespace
}  // namespace zamo
