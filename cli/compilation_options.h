// compilation_options.h: the options that shape a compilation (shared by the
// commands that build one) and how PATH arguments become its entries.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "burner/compilation/source_list.h"
#include "burner/compilation/veskburner.h"
#include "cli/log_output.h"

namespace zamo::cli {

using PathMode = TPathMode;

// Capacities of a compilation built by zamo-cli: by default the desktop
// program's entry capacity (files and folders), up to kCliMaxEntriesLimit
// with --max-entries, and as many directories as path-table records can number.
constexpr int kCliMaxFiles = 600000;
constexpr int kCliMaxEntriesLimit = 100000000;
constexpr int kCliMaxDirs = 65535;

struct CompilationOptions {
  std::string volume;
  bool joliet = true;
  std::string boot_image;
  // --boot-emulation: how the BIOS sees the boot image; by its size when not given.
  TBootEmulation boot_emulation = TBootEmulation::kBySize;
  // --boot-load-size (0 when not given: the default 4) and --boot-info-table,
  // both for no emulation only.
  uint16_t boot_load_size = 0;
  bool boot_info_table = false;
  PathMode paths = PathMode::kNone;
  bool archive_only = false;
  bool replace = false;
  std::vector<std::string> sources;
  // The image being written: never taken into its own compilation.
  std::string image_path;
  // --max-entries: how many entries (files and folders) the compilation takes.
  int max_entries = kCliMaxFiles;
};

// Takes one compilation option at argv[i] (moving i past its value).
// Returns false when argv[i] is not one; sets `error` for a bad value.
bool ParseCompilationOption(int argc, char** argv, int& i, CompilationOptions& options, std::string& error);

// What is wrong with the options taken together ("" when nothing is): a
// usage error, as a wrong value is.
std::string CompilationOptionsProblem(const CompilationOptions& options);

// Empties `burner`, applies the options and adds every source as an entry of
// the desktop file list would be added (folders with their subfolders), then
// removes empty directories. Returns false with a message when a source does
// not exist, the boot image is unusable, or the tree did not fit whole in the
// entry or folder capacity (no job may take a cut tree). A source that is neither a file
// nor a folder (a pipe, a broken link ...) is left out and named, as such
// entries of the folders are; a volume name cut to fit its fields and the
// boot emulation guessed from the image's size are said in the log.
bool BuildCompilation(TVeskBurner& burner, const CompilationOptions& options, LogOutput& log, std::string& error);

// Runs `fill`, which adds entries to `burner`'s compilation (a walk, or with
// `import` a previous session read in), and returns "" when everything fitted,
// else the message for the capacity that cut it, naming --max-entries when
// that can raise it.
std::string FillWithinCapacity(TVeskBurner& burner, bool import, const std::function<void()>& fill);

}  // namespace zamo::cli
