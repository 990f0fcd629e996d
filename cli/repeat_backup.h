// repeat_backup.h: what zamo-cli says and keeps when a backup is run again:
// an incremental run that finds nothing changed (a success: nothing is
// written), the volume name of the session a burn keeps, and a hint when a
// burn writes again the very entries that session already holds.
#pragma once

#include <string>
#include <vector>

#include "burner/compilation/veskburner.h"
#include "cli/log_output.h"

namespace zamo::cli {

// --archive-only found no file changed since the last backup: says so, with
// what is not done (`outcome`: "rien n'est gravé", ...). The exit status:
// 0, or 1 when entries were left out (each named in the log already).
int NothingChanged(LogOutput& log, const std::string& outcome);

// One entry at the top of a tree, as the disc compares names.
struct TopEntry {
  std::u16string key;  // DiscNameKey of its name
  bool folder = false;
  friend auto operator<=>(const TopEntry&, const TopEntry&) = default;
};
// The top level of the compilation, taken before a session is imported into it.
std::vector<TopEntry> CompilationTopLevel(const TVeskBurner& burner);

// Once a burn's plan has imported a session (ImportedSession): unless
// `volume_given`, the new session takes the imported one's volume name; and
// when `written` (the compilation's top level before the import) is all
// already at the top of that session, by name and kind, a one-line hint
// says that --archive-only would add only what changed (not said when
// `archive_only` is on already). Reads the session's descriptors and its
// root directory only.
void AfterImport(TVeskBurner& burner, LogOutput& log, const std::vector<TopEntry>& written, bool volume_given,
                 bool archive_only);

}  // namespace zamo::cli
