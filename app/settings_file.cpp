#include "app/settings_file.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "burner/compilation/veskburner.h"
#include "burner/platform/system_error.h"

namespace zamo {
namespace {

constexpr char kSection[] = "Options";
constexpr char kFileName[] = "Zamo.ini";

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

bool SameLetters(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// The name of a "[Name]" line, or nothing for any other line.
std::optional<std::string> SectionName(const std::string& line) {
  const std::string trimmed = Trim(line);
  if (trimmed.empty() || trimmed.front() != '[') return std::nullopt;
  const size_t close = trimmed.find(']');
  if (close == std::string::npos) return std::nullopt;
  return Trim(trimmed.substr(1, close - 1));
}

// The key of a "Key=Value" line, or nothing (comments, blank lines).
std::optional<std::string> KeyOf(const std::string& line) {
  const std::string trimmed = Trim(line);
  if (trimmed.empty() || trimmed.front() == ';') return std::nullopt;
  const size_t equals = trimmed.find('=');
  if (equals == std::string::npos) return std::nullopt;
  return Trim(trimmed.substr(0, equals));
}

std::string ConfigHome() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') return xdg;
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return std::string(home) + "/.config";
  const passwd* entry = getpwuid(getuid());
  return entry != nullptr ? std::string(entry->pw_dir) + "/.config" : std::string("/tmp");
}

bool WriteAll(int fd, const std::string& content) {
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string SaveFailure(const std::string& path, const std::string& reason) {
  return "IMPOSSIBLE D'ENREGISTRER LES OPTIONS DANS " + path + " : " + reason;
}

// Reads the file for a write: a missing file is an empty one; a file that
// exists but cannot be read is not replaced (its settings would be lost).
bool LoadForWrite(TIniText& ini, const std::string& path, const TSettingsLog& log) {
  int error = 0;
  if (ini.Load(path, &error) || error == ENOENT) return true;
  if (log) log(SaveFailure(path, SystemErrorText(error)));
  return false;
}

bool SaveAndReport(const TIniText& ini, const std::string& path, const TSettingsLog& log) {
  std::string error;
  if (ini.Save(path, &error)) return true;
  if (log) log(SaveFailure(path, error));
  return false;
}

}  // namespace

// ---- Where ------------------------------------------------------------------

std::string SettingsFilePathFor(const std::string& program_folder) {
  struct stat info{};
  if (!program_folder.empty() && stat(program_folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
      access(program_folder.c_str(), W_OK) == 0) {
    return program_folder + "/" + kFileName;
  }
  return ConfigHome() + "/zamo/" + kFileName;
}

std::string SettingsFilePath() {
  return SettingsFilePathFor(QFile::encodeName(QCoreApplication::applicationDirPath()).toStdString());
}

// ---- The text -----------------------------------------------------------------

bool TIniText::Load(const std::string& path, int* error) {
  lines_.clear();
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    if (error != nullptr) *error = errno != 0 ? errno : ENOENT;
    return false;
  }
  std::ostringstream content;
  content << file.rdbuf();
  if (file.bad()) {
    if (error != nullptr) *error = EIO;
    return false;
  }
  Parse(content.str());
  return true;
}

void TIniText::Parse(const std::string& content) {
  lines_.clear();
  size_t start = 0;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    std::string line = content.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines_.push_back(std::move(line));
    start = end + 1;
  }
}

std::string TIniText::Text() const {
  std::string text;
  for (const std::string& line : lines_) text += line + "\n";
  return text;
}

int TIniText::FindSection(const std::string& section) const {
  for (size_t i = 0; i < lines_.size(); ++i) {
    const std::optional<std::string> name = SectionName(lines_[i]);
    if (name && SameLetters(*name, section)) return static_cast<int>(i);
  }
  return -1;
}

int TIniText::FindKey(int header, const std::string& key) const {
  for (size_t i = static_cast<size_t>(header) + 1; i < lines_.size(); ++i) {
    if (SectionName(lines_[i])) break;
    const std::optional<std::string> name = KeyOf(lines_[i]);
    if (name && SameLetters(*name, key)) return static_cast<int>(i);
  }
  return -1;
}

std::optional<std::string> TIniText::Value(const std::string& section, const std::string& key) const {
  const int header = FindSection(section);
  if (header < 0) return std::nullopt;
  const int at = FindKey(header, key);
  if (at < 0) return std::nullopt;
  const std::string& line = lines_[static_cast<size_t>(at)];
  return Trim(line.substr(line.find('=') + 1));
}

int TIniText::ReadInteger(const std::string& section, const std::string& key, int fallback) const {
  const std::optional<std::string> value = Value(section, key);
  if (!value) return fallback;
  return ParseWholeNumber(*value).value_or(fallback);
}

bool TIniText::ReadBool(const std::string& section, const std::string& key, bool fallback) const {
  return ReadInteger(section, key, fallback ? 1 : 0) != 0;
}

std::string TIniText::ReadString(const std::string& section, const std::string& key,
                                 const std::string& fallback) const {
  return Value(section, key).value_or(fallback);
}

void TIniText::WriteString(const std::string& section, const std::string& key, const std::string& value) {
  const std::string line = key + "=" + value;
  int header = FindSection(section);
  if (header < 0) {
    lines_.push_back("[" + section + "]");
    lines_.push_back(line);
    return;
  }
  if (const int at = FindKey(header, key); at >= 0) {
    lines_[static_cast<size_t>(at)] = line;
    return;
  }
  // After the section's last setting, so that blank lines and comments
  // before the next section stay where they are.
  size_t insert_at = static_cast<size_t>(header) + 1;
  for (size_t i = insert_at; i < lines_.size() && !SectionName(lines_[i]); ++i) {
    if (KeyOf(lines_[i])) insert_at = i + 1;
  }
  lines_.insert(lines_.begin() + static_cast<ptrdiff_t>(insert_at), line);
}

void TIniText::WriteInteger(const std::string& section, const std::string& key, int value) {
  WriteString(section, key, std::to_string(value));
}

void TIniText::WriteBool(const std::string& section, const std::string& key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

bool TIniText::Save(const std::string& path, std::string* error) const {
  const std::filesystem::path target(path);
  std::error_code made;
  if (target.has_parent_path()) std::filesystem::create_directories(target.parent_path(), made);

  std::string temporary = path + ".XXXXXX";
  const int fd = mkstemp(temporary.data());
  if (fd < 0) {
    *error = SystemErrorText(errno);
    return false;
  }
  struct stat old{};
  const mode_t mode = stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
  const std::string content = Text();
  bool written = fchmod(fd, mode) == 0 && WriteAll(fd, content) && fsync(fd) == 0;
  int saved_errno = errno;
  if (close(fd) != 0 && written) {
    written = false;
    saved_errno = errno;
  }
  if (written && rename(temporary.c_str(), path.c_str()) == 0) {
    // The rename itself reaches the disc with the folder.
    const int folder = open(target.has_parent_path() ? target.parent_path().c_str() : ".", O_RDONLY | O_DIRECTORY);
    if (folder >= 0) {
      fsync(folder);
      close(folder);
    }
    return true;
  }
  if (written) saved_errno = errno;
  unlink(temporary.c_str());
  *error = SystemErrorText(saved_errno);
  return false;
}

// ---- Values -------------------------------------------------------------------

std::optional<int> ParseWholeNumber(const std::string& text) {
  const std::string trimmed = Trim(text);
  size_t at = 0;
  bool negative = false;
  if (at < trimmed.size() && (trimmed[at] == '+' || trimmed[at] == '-')) negative = trimmed[at++] == '-';
  if (at == trimmed.size()) return std::nullopt;
  int64_t value = 0;
  for (; at < trimmed.size(); ++at) {
    if (trimmed[at] < '0' || trimmed[at] > '9') return std::nullopt;
    value = value * 10 + (trimmed[at] - '0');
    if (value > int64_t{INT_MAX} + 1) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > INT_MAX || value < INT_MIN) return std::nullopt;
  return static_cast<int>(value);
}

const char* PathStateText(Qt::CheckState state) {
  switch (state) {
    case Qt::Checked: return "Checked";
    case Qt::PartiallyChecked: return "Grayed";
    default: return "Unchecked";
  }
}

Qt::CheckState PathStateOf(const std::string& text) {
  if (SameLetters(text, "GRAYED")) return Qt::PartiallyChecked;
  if (SameLetters(text, "CHECKED")) return Qt::Checked;
  return Qt::Unchecked;
}

// ---- The program's moments ---------------------------------------------------------

void LoadSettings(const std::string& path, TAppOptions& options, TVeskBurner& burner) {
  TIniText ini;
  if (!ini.Load(path)) return;
  options.ArchiveFiles = ini.ReadBool(kSection, "ArchiveFiles", options.ArchiveFiles);
  options.SavePath = PathStateOf(ini.ReadString(kSection, "SavePath", ""));
  burner.FinalizeDisc = ini.ReadBool(kSection, "CloseDisc", burner.FinalizeDisc);
  burner.JolietFileSystem = ini.ReadBool(kSection, "JolietFS", burner.JolietFileSystem);
  burner.TestWrite = ini.ReadBool(kSection, "TestWrite", burner.TestWrite);
  burner.PerformOPC = ini.ReadBool(kSection, "PerformOPC", burner.PerformOPC);
  options.QuickSaveISO = ini.ReadBool(kSection, "QuickSaveISO", options.QuickSaveISO);
  // The session number counts only while the import is on; it is kept in
  // 8 bits, so 255 reads as -1 (the last session).
  if (ini.ReadBool(kSection, "ImportSession", false)) {
    options.SessionNo = static_cast<int8_t>(ini.ReadInteger(kSection, "SessionNo", burner.SessionToImport));
  } else {
    options.SessionNo = 0;
  }
  options.EjectDisc = ini.ReadBool(kSection, "EjectDisc", options.EjectDisc);
  options.ShowFiles = ini.ReadBool(kSection, "ShowFiles", options.ShowFiles);
  options.ImportSession = ini.ReadBool(kSection, "ImportSession", options.ImportSession);
  burner.BootImage = ini.ReadString(kSection, "BootImage", burner.BootImage);
  burner.Bootable = ini.ReadBool(kSection, "Bootable", burner.Bootable);
  burner.IdVolume = ini.ReadString(kSection, "VolumeLable", burner.IdVolume);
  burner.SetCacheSize(ini.ReadInteger(kSection, "CacheSize", burner.CacheSize()));
}

bool ResetCloseDisc(const std::string& path, TVeskBurner& burner, const TSettingsLog& log) {
  burner.FinalizeDisc = false;
  TIniText ini;
  if (!LoadForWrite(ini, path, log)) return false;
  ini.WriteBool(kSection, "CloseDisc", false);
  return SaveAndReport(ini, path, log);
}

bool WriteSavePath(const std::string& path, Qt::CheckState state, const TSettingsLog& log) {
  TIniText ini;
  if (!LoadForWrite(ini, path, log)) return false;
  ini.WriteString(kSection, "SavePath", PathStateText(state));
  return SaveAndReport(ini, path, log);
}

bool WriteAllSettings(const std::string& path, const TAppOptions& options, const TVeskBurner& burner,
                      const std::string& session_text, const TSettingsLog& log) {
  TIniText ini;
  if (!LoadForWrite(ini, path, log)) return false;
  ini.WriteBool(kSection, "ArchiveFiles", options.ArchiveFiles);
  ini.WriteBool(kSection, "ImportSession", options.ImportSession);
  ini.WriteString(kSection, "SavePath", PathStateText(options.SavePath));
  ini.WriteBool(kSection, "CloseDisc", burner.FinalizeDisc);
  ini.WriteBool(kSection, "EjectDisc", options.EjectDisc);
  ini.WriteBool(kSection, "JolietFS", burner.JolietFileSystem);
  ini.WriteBool(kSection, "Bootable", burner.Bootable);
  ini.WriteBool(kSection, "TestWrite", burner.TestWrite);
  ini.WriteBool(kSection, "QuickSaveISO", options.QuickSaveISO);
  ini.WriteBool(kSection, "ShowFiles", options.ShowFiles);
  ini.WriteBool(kSection, "PerformOPC", burner.PerformOPC);
  ini.WriteString(kSection, "SessionNo", session_text);
  ini.WriteString(kSection, "BootImage", burner.BootImage);
  ini.WriteString(kSection, "VolumeLable", burner.IdVolume);
  ini.WriteInteger(kSection, "CacheSize", burner.CacheSize());
  return SaveAndReport(ini, path, log);
}

}  // namespace zamo
