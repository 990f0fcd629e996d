// settings_file.h: Zamo.ini, the program's only persistent configuration.
//
// A sectioned text file: the line "[Options]" opens the section the program
// uses, each setting is a "Key=Value" line, Booleans are written 1 or 0 and
// read as true for any whole number but 0. Every key is optional: a missing
// key, or a value that is no whole number where one is expected, leaves the
// value the program already has. Keys and section names are compared without
// regard to case, as such files always were; lines the program does not know
// (other sections, comments) are kept as they are.
//
// Each access reads the whole file or replaces it whole: a write goes to a
// temporary file beside it, which is then renamed over the old one, so that
// a crash leaves either the old file or the new one, never a torn one.
//
// The main window calls, in this order:
//   at its creation      ResetCloseDisc(SettingsFilePath(), veskb, log)
//   when first shown     LoadSettings(SettingsFilePath(), options, veskb)
//   path box clicked     WriteSavePath(SettingsFilePath(), state, log)
// and the options dialog (options_dialog.h) writes every key on "Accepter".
#pragma once

#include <Qt>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/app_options.h"

namespace zamo {

class TVeskBurner;

// Where the settings live: Zamo.ini in the program's folder when that folder
// is writable (a program run from its build or a portable folder), else
// $XDG_CONFIG_HOME/zamo/Zamo.ini ($HOME/.config/zamo/Zamo.ini when the
// variable is unset or not absolute).
std::string SettingsFilePath();
std::string SettingsFilePathFor(const std::string& program_folder);

// Receives a line for the log (the main window passes one that calls
// veskb.DebugMessage). An empty function drops the line.
using TSettingsLog = std::function<void(const std::string& line)>;

// The text of a settings file, as lines, with its reads and writes.
class TIniText {
 public:
  // False when the file is missing or unreadable (the text is then empty);
  // `error` gets the errno of a file that exists but cannot be read.
  bool Load(const std::string& path, int* error = nullptr);
  void Parse(const std::string& content);
  std::string Text() const;

  // The value of a key of `section` (trimmed), if the key is there.
  std::optional<std::string> Value(const std::string& section, const std::string& key) const;
  int ReadInteger(const std::string& section, const std::string& key, int fallback) const;
  bool ReadBool(const std::string& section, const std::string& key, bool fallback) const;
  std::string ReadString(const std::string& section, const std::string& key, const std::string& fallback) const;

  // Replaces the key's value where the key stands, else adds the key after
  // the section's last setting (the section is added at the end when
  // missing).
  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& key, int value);
  void WriteBool(const std::string& section, const std::string& key, bool value);

  // Writes the text to `path` through a temporary file renamed over it (the
  // folder is made when missing); false with a French reason in `error`.
  bool Save(const std::string& path, std::string* error) const;

 private:
  // Index of the section's header line, or -1.
  int FindSection(const std::string& section) const;
  // Index of the key's line inside the section that starts at `header`, or -1.
  int FindKey(int header, const std::string& key) const;

  std::vector<std::string> lines_;
};

// A whole number as the settings file holds it: optional blanks, an optional
// sign and decimal digits, within the range of int. Nothing otherwise.
std::optional<int> ParseWholeNumber(const std::string& text);

// The path check box's state as written ("Checked", "Grayed", "Unchecked")
// and as read back ("GRAYED" and "CHECKED" in any case, anything else clear).
const char* PathStateText(Qt::CheckState state);
Qt::CheckState PathStateOf(const std::string& text);

// Start-up: reads the file into the application options and the component.
// Keys in the reading order ArchiveFiles, SavePath, CloseDisc, JolietFS,
// TestWrite, PerformOPC, QuickSaveISO, SessionNo (only while ImportSession
// is on in the file, else 0), EjectDisc, ShowFiles, ImportSession,
// BootImage, Bootable, VolumeLable, CacheSize (through SetCacheSize). A
// missing or unreadable file leaves every value as it is.
void LoadSettings(const std::string& path, TAppOptions& options, TVeskBurner& burner);

// At the main window's creation: the component's FinalizeDisc off and
// CloseDisc=0 written, so that closing a disc never carries over to the next
// run. False when the file could not be written (said through `log`).
bool ResetCloseDisc(const std::string& path, TVeskBurner& burner, const TSettingsLog& log);

// The path check box was clicked: SavePath written with its new state.
bool WriteSavePath(const std::string& path, Qt::CheckState state, const TSettingsLog& log);

// The options dialog's "Accepter": every key, in the writing order
// ArchiveFiles, ImportSession, SavePath, CloseDisc, EjectDisc, JolietFS,
// Bootable, TestWrite, QuickSaveISO, ShowFiles, PerformOPC, SessionNo,
// BootImage, VolumeLable, CacheSize, from the options and the component as
// the dialog left them; SessionNo is the session box's text as typed.
bool WriteAllSettings(const std::string& path, const TAppOptions& options, const TVeskBurner& burner,
                      const std::string& session_text, const TSettingsLog& log);

}  // namespace zamo
