#include "burner/compilation/source_list.h"

#include "burner/platform/file_attributes.h"

namespace zamo {

void AddSources(TVeskBurner& burner, const std::vector<TCompilationSource>& sources, TPathMode paths,
                bool archive_only) {
  burner.LastFolderOnly = paths == TPathMode::kLastFolder;
  const bool keep_path = paths != TPathMode::kNone;
  for (const TCompilationSource& source : sources) {
    if (IsDirectory(source.Path)) {
      const std::string folder = source.Path.ends_with('/') ? source.Path : source.Path + "/";
      burner.AddFolderTo(burner.RootDir, folder, archive_only, keep_path, source.Recursive, faAnyFile, "*.*");
    } else {
      burner.AddFile("\\", source.Path, keep_path);
    }
  }
  burner.RemoveEmptyDirs();
}

}  // namespace zamo
