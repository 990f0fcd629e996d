// app_options.h: the options the main window keeps for its jobs (the burner
// component keeps the others), loaded from the settings file at start-up and
// changed by the options dialog.
#pragma once

#include <Qt>
#include <cstdint>

namespace zamo {

struct TAppOptions {
  // Incremental copy: folders give only the files changed since they were
  // last recorded, and a successful write marks them recorded.
  bool ArchiveFiles = false;
  // The previous session imported before each compile: 0 none, -1 the last
  // one, n session n. Kept in 8 bits, as the settings file has it.
  int8_t SessionNo = 0;
  // Eject the disc after a successful write or erase.
  bool EjectDisc = false;
  // Show the disc layout window before burning.
  bool ShowFiles = false;
  // The options dialog's import box; SessionNo is 0 whenever it is off.
  bool ImportSession = false;
  // Save image files in one pass instead of through the writer threads.
  bool QuickSaveISO = false;
  // The file list's path check box "Inclure les chemins des fichiers: ".
  Qt::CheckState SavePath = Qt::Unchecked;
};

}  // namespace zamo
