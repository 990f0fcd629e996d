// file_checks.h: what zamo-cli checks about the files a command names before
// it opens a drive or starts a job: an image file to read or to burn, and the
// folder an output file goes into. Each check returns "" when the file will
// do, else one French sentence naming the file or folder that is wrong, so a
// user is not sent looking for a file when a folder is missing.
#pragma once

#include <string>

namespace zamo::cli {

// French typography in zamo-cli's own texts: a non-breaking space before ":"
// and "%", and inside « » quotes.
inline constexpr const char* kNbsp = "\u00A0";
// « text », the text shown as UTF-8.
std::string Quoted(const std::string& text);

// An existing image file that can be read (burn-image): a regular file
// this process may open for reading.
std::string ImageFileProblem(const std::string& path);
// The same, and it holds at least one whole sector of 2048 bytes: a disc
// for the read-only drive that --image puts it in.
std::string ImageDiscProblem(const std::string& path);
// The folder that is to hold the new file `path` exists and is a folder.
std::string OutputFolderProblem(const std::string& path);

// True when `argument` names an existing regular file whose name ends in
// ".iso" (in any case): where a command expects a drive, such a path is an
// image file to read, not a disc path or a source.
bool NamesImageFile(const std::string& argument);

}  // namespace zamo::cli
