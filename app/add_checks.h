// add_checks.h: the main window's checks while the component builds its
// compilation from the file list (veskbAddFile and veskbAddDirName, the
// handlers of the component's OnAddFile and OnAddDir).
//
// - A file that cannot be opened for reading is left out with
//   ">>> ABANDON; LE FICHIER EST DÉJÀ UTILISÉ  " + its path.
// - A file whose long name has more than 107 characters is left out with
//   ">>> ABANDON; NOM FICHIER > 107 " + its path.
// - A file kept: the size label shows the compilation's running total.
// - A folder whose long name is longer than the component's Joliet limit for
//   folders (kMaxDirLongName) is left out, with everything below it, and two
//   lines: ">>> ** NOM DE FICHIER INVALIDE (LA LONGUEUR NE DOIT PAS DÉPASSER
//   110)" and five spaces followed by the name.
//
// Lengths count UTF-16 units; paths and names go to the log as valid UTF-8.
// Thread safety: the component fires both events on the thread that builds
// the compilation (the GUI thread); the functions given are called there.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "burner/compilation/names.h"
#include "burner/compilation/veskburner.h"

namespace zamo {

class TAddChecks {
 public:
  // One line for the log pane.
  using LogFunction = std::function<void(const std::string& line)>;
  // The status bar's size label text ("12,34 MB").
  using SizeTextFunction = std::function<void(const std::string& text)>;

  // Longest long name of a file the list takes (the component's own limit,
  // for the Joliet record, is one more).
  static constexpr size_t kMaxFileName = 107;
  // Longest long name of a folder: the component's Joliet limit.
  static constexpr size_t kMaxFolderName = kMaxDirLongName;

  // `burner` must outlive the checks; so must whatever the functions use.
  TAddChecks(TVeskBurner& burner, LogFunction log, SizeTextFunction size_text);
  TAddChecks(const TAddChecks&) = delete;
  TAddChecks& operator=(const TAddChecks&) = delete;

  // Makes the two checks the component's OnAddFile and OnAddDir handlers.
  void Connect();

  // veskbAddFile: sets `skip` for a file that cannot be opened or whose long
  // name is too long; otherwise shows the running total.
  void veskbAddFile(const std::string& full_path, const std::string& long_file_name, bool& skip);
  // veskbAddDirName: sets `skip` for a folder whose long name is too long.
  void veskbAddDirName(const std::string& long_name, bool& skip);

  // The log lines, as written.
  static std::string FileInUseLine(const std::string& full_path);
  static std::string FileNameTooLongLine(const std::string& full_path);
  static std::string FolderNameTooLongLine();
  static std::string FolderNameLine(const std::string& long_name);

 private:
  TVeskBurner& burner_;
  LogFunction log_;
  SizeTextFunction size_text_;
};

}  // namespace zamo
