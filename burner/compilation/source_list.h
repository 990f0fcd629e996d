// source_list.h: a compilation from a list of source paths, the same steps
// for every front end: the desktop program's file list and zamo-cli's PATH
// arguments.
#pragma once

#include <string>
#include <vector>

#include "burner/compilation/veskburner.h"

namespace zamo {

// How the source folders appear on the disc.
enum class TPathMode {
  kNone,        // files go straight into the disc's root
  kKeep,        // each source keeps its folder path below the root
  kLastFolder,  // each source keeps only the last folder of its path
};

// One source: a file, or a folder (with or without a trailing "/") taken
// with its subfolders when `Recursive`.
struct TCompilationSource {
  std::string Path;
  bool Recursive = true;
};

// Adds each source to `burner`'s compilation in order, then removes the
// empty directories. A path that names an existing folder at this moment is
// added as a folder (AddFolderTo below the root: every kind of file, mask
// "*.*", only files whose archive attribute is set when `archive_only`);
// anything else as a file (AddFile into the root, whatever its archive
// attribute; a path that names nothing adds nothing). Sets LastFolderOnly
// for `paths`. The component's OnAddFile and OnAddDir checks run as usual.
void AddSources(TVeskBurner& burner, const std::vector<TCompilationSource>& sources, TPathMode paths,
                bool archive_only);

}  // namespace zamo
