// burnt_disc.h: the fixture of the disc windows' tests: an emulated recorder
// whose disc the component itself records, session after session, as the
// burn job does; what the emulator's state file says of its tracks; and
// answers to the message boxes a window asks one after the other.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QMessageBox>
#include <QString>
#include <QThread>

#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "burner/compilation/veskburner.h"
#include "burner/drive/transport.h"
#include "burner/platform/file_attributes.h"
#include "tests/app/modal.h"
#include "tests/support/burner_job.h"
#include "tests/support/emulated_drive.h"

// QString in failure messages as text.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace zamo::test {

class BurntDiscTest : public BurnerJobTest {
 protected:
  // Records the files of `folder` as a new session that keeps the previous
  // session's files (imported), closing the disc when `close`.
  void BurnSession(const std::string& folder, bool close = false) {
    ASSERT_TRUE(burner_.ClearCompilation(kDefaultMaxFiles, kDefaultMaxDirs));
    burner_.IdVolume = "ESSAI";
    burner_.SessionToImport = 0xFFFF;  // the last session, when there is one
    burner_.FinalizeDisc = close;
    ASSERT_GT(burner_.AddFolder("\\", folder, false, false, true, faAnyFile, "*"), 0);
    ASSERT_TRUE(RunJob([this] { EXPECT_EQ(burner_.RecordCompilation(), 1); }));
    ASSERT_EQ(error_, "") << Log();
  }

  // The drive again, as a user would find it after putting the disc back,
  // with `options` (",option=value...").
  void ReloadDrive(const std::string& options) {
    transport::AspiUnload();
    ASSERT_TRUE(UseEmulatedDrives(burner_, "cd-r:" + image_ + options));
  }

  // The tracks of the disc as the emulator keeps them in its state file
  // ("track N STATE START SIZE RECORDED"): the recorded ones, and where the
  // invisible one (the next session's) starts.
  struct Track {
    uint32_t start = 0, size = 0;
  };
  std::vector<Track> RecordedTracks() { return Tracks("complete"); }
  uint32_t NextTrackStart() {
    const std::vector<Track> next = Tracks("invisible");
    EXPECT_EQ(next.size(), 1u);
    return next.empty() ? 0 : next.front().start;
  }

 private:
  std::vector<Track> Tracks(const std::string& state_wanted) {
    std::ifstream state(image_ + ".state");
    std::vector<Track> tracks;
    std::string line;
    while (std::getline(state, line)) {
      std::istringstream fields(line);
      std::string word, state_word;
      int number = 0;
      Track track;
      if (fields >> word >> number >> state_word >> track.start >> track.size && word == "track" &&
          state_word == state_wanted)
        tracks.push_back(track);
    }
    return tracks;
  }
};

// Answers the message boxes that come one after the other (at the loop
// level `level`), each by clicking the button of the next text; the boxes'
// texts are added to `seen` (which must outlive them).
inline void AnswerBoxes(std::vector<QString> buttons, QStringList* seen,
                        int level = QThread::currentThread()->loopLevel() + 1) {
  if (buttons.empty()) return;
  WhenModal<QMessageBox>(
      [buttons, seen, level](QMessageBox* box) {
        if (seen != nullptr) seen->append(box->text());
        QAbstractButton* chosen = nullptr;
        for (QAbstractButton* button : box->buttons()) {
          if (button->text() == buttons.front()) chosen = button;
        }
        if (chosen == nullptr) {
          ADD_FAILURE() << "no button " << buttons.front().toStdString() << " in: " << box->text().toStdString();
          box->reject();
          return;
        }
        chosen->click();
        AnswerBoxes({buttons.begin() + 1, buttons.end()}, seen, level);
      },
      1000, level);
}

}  // namespace zamo::test
