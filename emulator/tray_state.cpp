// tray_state.cpp: the tray's lines in a state file and the pressed discs'
// tray files.
#include "emulator/state_file.h"
#include "emulator/tray_state.h"

#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace zamo::emu {
namespace {

constexpr std::string_view kPressedHeader = "zamo-tray 1\n";
constexpr std::string_view kImageKey = "image ";

// Applies one tray line to `tray`. Returns false when the line is not a tray
// line at all; sets `problem` when it is one with a wrong value.
bool TakeLine(std::string_view line, TTray* tray, std::string* problem) {
  const std::vector<std::string_view> words = Words(line);
  if (words.empty()) return false;
  if (words[0] == "tray") {
    if (words.size() != 2 || (words[1] != "open" && words[1] != "closed"))
      *problem = "le tiroir est open ou closed";
    else
      tray->open = words[1] == "open";
    return true;
  }
  if (words[0] == "removal") {
    if (words.size() != 2 || (words[1] != "prevented" && words[1] != "allowed"))
      *problem = "le retrait est prevented ou allowed";
    else
      tray->removal_prevented = words[1] == "prevented";
    return true;
  }
  return false;
}

bool IsAbsolute(const char* path) { return path && path[0] == '/'; }

// The XDG base directory rules: XDG_STATE_HOME when it is an absolute path,
// else ~/.local/state.
std::string StateHome() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (IsAbsolute(state)) return state;
  const char* home = std::getenv("HOME");
  if (IsAbsolute(home)) return std::string(home) + "/.local/state";
  struct passwd entry {};
  struct passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
      IsAbsolute(found->pw_dir))
    return std::string(found->pw_dir) + "/.local/state";
  return {};
}

uint64_t Fnv1a64(std::string_view text) {
  uint64_t hash = 0xCBF29CE484222325u;
  for (char c : text) {
    hash ^= static_cast<uint8_t>(c);
    hash *= 0x100000001B3u;
  }
  return hash;
}

}  // namespace

std::string TrayLines(const TTray& tray) {
  std::string lines;
  if (tray.open) lines += "tray open\n";
  if (tray.removal_prevented) lines += "removal prevented\n";
  return lines;
}

std::optional<TTray> TakeTrayLines(std::string* text, TLineNumbers numbers, std::string* error) {
  TTray tray;
  std::string rest;
  rest.reserve(text->size());
  size_t begin = 0;
  size_t line_number = 0;
  while (begin < text->size()) {
    size_t end = text->find('\n', begin);
    const bool last = end == std::string::npos;
    if (last) end = text->size();
    const std::string_view line(text->data() + begin, end - begin);
    ++line_number;
    std::string problem;
    const bool tray_line = TakeLine(line, &tray, &problem);
    if (!problem.empty()) {
      if (error) *error = "ligne " + std::to_string(line_number) + "\u00A0: " + problem;
      return std::nullopt;
    }
    if (!tray_line) rest.append(line);
    if (!last && (!tray_line || numbers == TLineNumbers::kKeep)) rest.push_back('\n');
    begin = end + 1;
  }
  *text = std::move(rest);
  return tray;
}

std::string CanonicalImagePath(const std::string& image_path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(image_path.c_str(), nullptr), &std::free);
  if (resolved) return resolved.get();
  if (!image_path.empty() && image_path[0] == '/') return image_path;
  std::vector<char> cwd(4096);
  if (!::getcwd(cwd.data(), cwd.size())) return image_path;
  return std::string(cwd.data()) + "/" + image_path;
}

std::string PressedTrayPath(const std::string& canonical_image) {
  const std::string home = StateHome();
  if (home.empty()) return {};
  char name[32];
  std::snprintf(name, sizeof name, "%016llx.tray", static_cast<unsigned long long>(Fnv1a64(canonical_image)));
  return home + "/zamo/emulated-trays/" + name;
}

std::string PressedTrayText(const TTray& tray, const std::string& canonical_image) {
  // The image's line comes last and runs to the end: any file name fits.
  return std::string(kPressedHeader) + TrayLines(tray) + std::string(kImageKey) + canonical_image + "\n";
}

TTray ParsePressedTray(std::string_view text, const std::string& canonical_image) {
  if (!text.starts_with(kPressedHeader)) return {};
  text.remove_prefix(kPressedHeader.size());
  size_t image_at = text.starts_with(kImageKey) ? 0 : text.find("\n" + std::string(kImageKey));
  if (image_at == std::string_view::npos) return {};
  if (image_at > 0) ++image_at;  // past the newline ending the last tray line
  std::string_view image = text.substr(image_at + kImageKey.size());
  if (!image.ends_with('\n')) return {};  // cut short: not a file this code wrote
  image.remove_suffix(1);
  if (image != canonical_image) return {};
  std::string lines(text.substr(0, image_at));
  std::string problem;
  const std::optional<TTray> tray = TakeTrayLines(&lines, TLineNumbers::kDrop, &problem);
  if (!tray || lines.find_first_not_of(" \t\r\n") != std::string::npos) return {};
  return *tray;
}

}  // namespace zamo::emu
