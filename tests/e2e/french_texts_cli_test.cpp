// french_texts_cli_test.cpp: what zamo-cli itself prints is in one French:
// every help text and the messages of failures (a missing file or folder, an
// unknown option, a bad value, a session or image that is not there, an
// emulated recorder described wrongly) are read line by line against the
// forms that French typography or a French user would not accept: ASCII
// quotes around a name, a colon, semicolon, question mark or percent sign
// without a non-breaking space before it, English units and words, a doubled
// slash in a path, capitals without their accents. The component's own log
// lines (upper-case, kept as the desktop program writes them) are not
// zamo-cli's texts and are left aside.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/run.h"
#include "tests/support/temp_dir.h"

namespace zamo::test {
namespace {

const std::string kNbsp = "\u00A0";

bool IsLowerLatin(const std::string& line, size_t at) {
  const auto c = static_cast<unsigned char>(line[at]);
  if (c >= 'a' && c <= 'z') return true;
  // UTF-8 of U+00E0..U+00FF (à to ÿ): 0xC3 then 0xA0..0xBF.
  return c == 0xC3 && at + 1 < line.size() && static_cast<unsigned char>(line[at + 1]) >= 0xA0;
}

// A line of the component's log: no lower-case letter at all.
bool IsComponentLine(const std::string& line) {
  for (size_t i = 0; i < line.size(); ++i) {
    if (IsLowerLatin(line, i)) return false;
  }
  return true;
}

bool AfterNbsp(const std::string& line, size_t at) { return at >= 2 && line.compare(at - 2, 2, kNbsp) == 0; }

// The line without what stands between « and » (a name or path of the
// user's, which may hold any word) nor option names ("--drive").
std::string Prose(const std::string& line) {
  std::string out;
  int depth = 0;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line.compare(i, 2, "«") == 0) ++depth;
    if (line.compare(i, 2, "»") == 0 && depth > 0) --depth;
    if (depth > 0) continue;
    if (line.compare(i, 2, "--") == 0) {
      while (i < line.size() && line[i] != ' ') ++i;
      continue;
    }
    out += line[i];
  }
  return out;
}

bool IsWordByte(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || (c & 0x80) != 0; }

enum class Case { kAside, kKept };

// `word` as a whole word of `text`.
bool HasWord(const std::string& text, const std::string& word, Case letter_case) {
  std::string lower = text;
  if (letter_case == Case::kAside) {
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  for (size_t at = lower.find(word); at != std::string::npos; at = lower.find(word, at + 1)) {
    const bool starts = at == 0 || !IsWordByte(lower[at - 1]);
    const bool ends = at + word.size() == lower.size() || !IsWordByte(lower[at + word.size()]);
    if (starts && ends) return true;
  }
  return false;
}

// The forms a line must not hold, each said with the line.
std::vector<std::string> WrongForms(const std::string& line) {
  std::vector<std::string> wrong;
  auto flag = [&](const std::string& why) { wrong.push_back(why + ": [" + line + "]"); };
  if (IsComponentLine(line)) return wrong;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    // A colon, semicolon, question or exclamation mark that ends a clause
    // (a space or the line's end after it: not "TYPE:IMAGE" nor "1:05").
    if ((c == ':' || c == ';' || c == '?' || c == '!') && (i + 1 == line.size() || line[i + 1] == ' ') &&
        !AfterNbsp(line, i))
      flag(std::string("« ") + c + " » sans espace insécable avant");
    if (c == '%' && i > 0 && (line[i - 1] == ' ' || std::isdigit(static_cast<unsigned char>(line[i - 1]))))
      flag("« % » sans espace insécable avant");
    if (c == '"' && i + 1 < line.size() && line[i + 1] != ' ' && line.find('"', i + 1) != std::string::npos)
      flag("guillemets droits");
    if (c == '\'' && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '(') && i + 1 < line.size() &&
        line[i + 1] != ' ' && line.find('\'', i + 1) != std::string::npos)
      flag("apostrophes en guise de guillemets");
    if (c == '/' && i + 1 < line.size() && line[i + 1] == '/' && (i == 0 || line[i - 1] != ':'))
      flag("« // » dans un chemin");
  }
  if (line.find("« ") != std::string::npos || line.find(" »") != std::string::npos)
    flag("espace ordinaire dans « »");
  const std::string prose = Prose(line);
  for (const char* unit : {"MB", "KB", "GB", "MiB", "KiB", "GiB", "kB"}) {
    if (HasWord(prose, unit, Case::kKept)) flag(std::string("unité anglaise ") + unit);
  }
  if (prose.find("B/s") != std::string::npos) flag("unité anglaise B/s");
  for (const char* word : {"error", "file", "not found", "failed", "invalid", "usage", "warning", "device", "drive",
                           "cannot", "must", "unknown", "missing", "expected"}) {
    if (HasWord(prose, word, Case::kAside)) flag(std::string("mot anglais « ") + word + " »");
  }
  for (const char* word : {"ECRITURE", "ETAT", "ECHEC", "EJECTE", "MEDIA", "REUSSI", "PRET", "ELEMENT", "ENDOMMAGE",
                           "Ecriture", "Etat", "Echec", "Ejecte", "Element", "Emule"}) {
    if (prose.find(word) != std::string::npos) flag(std::string("capitale sans accent « ") + word + " »");
  }
  return wrong;
}

std::vector<std::string> WrongFormsOf(const std::string& text) {
  std::vector<std::string> wrong;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    for (std::string& w : WrongForms(line)) wrong.push_back(std::move(w));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return wrong;
}

// The checker itself: each rule caught on a line it must catch, and the
// forms that are right left alone.
TEST(FrenchForms, CatchTheWrongFormsAndLetTheRightOnes) {
  for (const char* bad : {"Usage : zamo-cli", "zamo-cli: commande inconnue", "Volume : \"Sauvegarde\"",
                          "reste 1 %", "Progression\u00A0: 45 %", "702.83 MB libres", "850 KB/s", "taille en MiB",
                          "file not found", "Lecteur « x » introuvable", "chemin «\u00A0/a//b\u00A0»x // y",
                          "ECRITURE terminée", "Etat\u00A0: vierge", "prête ?", "sans lui ; rapide",
                          "the 'name' is", "Image ISO 9660: a.iso"}) {
    EXPECT_FALSE(WrongFormsOf(bad).empty()) << bad;
  }
  for (const char* good : {"Utilisation\u00A0: zamo-cli [--drive N] COMMANDE", "  --boot-emulation floppy|hd  l'image",
                           "Progression\u00A0: 45\u00A0%, 1,4\u00A0Mo sur 2,0 Mo, reste 1:05",
                           "--emulate cd-r:/tmp/cd.img, H:T:L", "Lecteur «\u00A0missing file\u00A0» introuvable",
                           ">>> MÉDIA ÉJECTÉ: - ÉCHEC.", "l'option --drive attend une valeur",
                           "«\u00A0TYPE:IMAGE[;TYPE:IMAGE...]\u00A0»", "http://example.org/"}) {
    EXPECT_EQ(WrongFormsOf(good), std::vector<std::string>{}) << good;
  }
}

// ---------------------------------------------------------------------------
// zamo-cli's texts. In the arguments, "$T/" stands for the test's folder and
// "$ISO" for an image of one small file made there first.

struct TextCase {
  const char* name;
  std::vector<std::string> args;
  int status;  // the exit status the command gives: the case did run into what it is about
  std::string drives = "";  // ZAMO_EMULATED_DRIVES, unset when empty
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << c.name; }

class CliTexts : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeTree(dir_ / "src", {{"a.txt", "bonjour"}});
    WriteFile(dir_ / "notes.iso", std::string(4096, 'x'));  // a name ending in .iso, not an image
    WriteFile(dir_ / "tiny.iso", "x");
  }

  std::string Expand(std::string arg) {
    if (arg == "$ISO") return Image();
    for (size_t at = arg.find("$T"); at != std::string::npos; at = arg.find("$T")) arg.replace(at, 2, dir_.path());
    return arg;
  }

  // zamo-cli in a UTF-8 locale, with the emulated recorders of `drives` only.
  RunResult Cli(const std::vector<std::string>& args, const std::string& drives = "") {
    std::vector<std::string> argv = {"env", "-u", "ZAMO_EMULATED_DRIVES", "LC_ALL=C.UTF-8"};
    if (!drives.empty()) argv.push_back("ZAMO_EMULATED_DRIVES=" + Expand(drives));
    argv.push_back(ZamoCli());
    for (const std::string& arg : args) argv.push_back(Expand(arg));
    return zamo::test::Run(argv, 60);
  }

  std::string Image() {
    const std::string image = dir_ / "disc.iso";
    if (!PathExists(image)) {
      const RunResult made = zamo::test::Run({ZamoCli(), "mkiso", "-o", image, dir_ / "src"}, 60);
      EXPECT_EQ(made.status, 0) << Describe(made);
    }
    return image;
  }

  TempDir dir_;
};

class FrenchTexts : public CliTexts, public ::testing::WithParamInterface<TextCase> {};

TEST_P(FrenchTexts, HoldNoWrongForm) {
  const TextCase& c = GetParam();
  const RunResult r = Cli(c.args, c.drives);
  ASSERT_FALSE(r.timed_out) << Describe(r);
  EXPECT_EQ(r.status, c.status) << Describe(r);
  EXPECT_FALSE(r.out.empty() && r.err.empty()) << "nothing said";
  std::vector<std::string> wrong = WrongFormsOf(r.out);
  for (std::string& w : WrongFormsOf(r.err)) wrong.push_back(std::move(w));
  EXPECT_EQ(wrong, std::vector<std::string>{}) << Describe(r);
}

std::vector<TextCase> HelpCases() {
  static const char* const kCommands[] = {"mkiso", "burn", "burn-image", "erase", "ls",   "extract", "verify",
                                          "devices", "caps", "info",       "load",  "eject", "ready"};
  std::vector<TextCase> cases = {{"help", {"help"}, 0}, {"dash_help", {"--help"}, 0}, {"no_command", {}, 2}};
  for (const char* command : kCommands) {
    cases.push_back({command, {command, "--help"}, 0});
    cases.push_back({command, {"help", command}, 0});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Help, FrenchTexts, ::testing::ValuesIn(HelpCases()), [](const auto& test) {
  std::string name = std::string(test.param.name) + "_" + std::to_string(test.index);
  for (char& ch : name) ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
  return name;
});

const TextCase kFailures[] = {
    {"missing_source", {"mkiso", "-o", "$T/out.iso", "$T/missing"}, 1},
    {"missing_output_folder", {"mkiso", "-o", "$T/nofolder/out.iso", "$T/src"}, 1},
    {"unknown_option", {"mkiso", "--bogus", "-o", "$T/out.iso", "$T/src"}, 2},
    {"unknown_option_ls", {"ls", "-l", "$ISO"}, 2},
    {"unknown_command", {"frobnicate"}, 2},
    {"unexpected_argument", {"devices", "extra"}, 2},
    {"bad_cache_size", {"mkiso", "--cache-size", "1", "-o", "$T/out.iso", "$T/src"}, 2},
    {"bad_paths", {"mkiso", "--paths", "some", "-o", "$T/out.iso", "$T/src"}, 2},
    {"bad_import_session", {"burn", "--import-session", "x", "$T/src"}, 2},
    {"bad_session_number", {"ls", "--session", "zero", "$ISO"}, 2},
    {"bad_speed", {"--emulate", "cd-r:$T/cd.img", "burn", "--speed", "fast", "$T/src"}, 2},
    {"image_with_mkiso", {"--image", "$ISO", "mkiso", "-o", "$T/out.iso", "$T/src"}, 2},
    {"missing_session", {"ls", "--session", "5", "$ISO"}, 1},
    {"missing_disc_path", {"ls", "$ISO", "/nothing/here"}, 1},
    {"extract_missing_folder", {"extract", "$ISO", "/a.txt", "$T/no/such/a.txt"}, 1},
    {"not_an_iso", {"ls", "$T/notes.iso"}, 1},
    {"too_small_image", {"ls", "--image", "$T/tiny.iso"}, 1},
    {"missing_boot_image", {"mkiso", "-o", "$T/out.iso", "--boot", "$T/missing.img", "$T/src"}, 1},
    {"boot_load_size_without_none", {"mkiso", "-o", "$T/out.iso", "--boot-load-size", "8", "$T/src"}, 2},
    {"missing_image", {"ls", "--image", "$T/missing.iso"}, 1},
    {"missing_burn_image", {"--emulate", "cd-r:$T/cd.img", "burn-image", "$T/missing.iso"}, 1},
    {"unknown_drive", {"--emulate", "cd-r:$T/cd.img", "--drive", "7", "info"}, 1},
    {"emulator_option_value", {"--emulate", "cd-r:$T/cd.img,tray=ajar", "info"}, 1},
    {"emulator_unknown_option", {"--emulate", "cd-r:$T/cd.img,colour=red", "info"}, 1},
    {"emulator_unknown_kind", {"devices"}, 1, "cd-r:$T/a.img;bluray:$T/b.img"},
    {"emulator_no_image", {"--emulate", "cd-r", "devices"}, 1},
    {"emulator_missing_rom", {"--emulate", "cd-rom:$T/missing.iso", "info"}, 1},
    {"emulator_bad_speed", {"--emulate", "cd-r:$T/cd.img,speed=99", "caps"}, 1},
    {"empty_disc", {"--emulate", "cd-r:$T/cd.img", "ls"}, 1},
};

INSTANTIATE_TEST_SUITE_P(Failures, FrenchTexts, ::testing::ValuesIn(kFailures),
                         [](const auto& test) { return std::string(test.param.name); });

// devices without any drive, where the machine has none: the hints on
// emulated recorders and image files. A machine with a drive lists it.
TEST_F(CliTexts, DevicesWithoutDrive) {
  const RunResult r = Cli({"devices"});
  ASSERT_FALSE(r.timed_out) << Describe(r);
  std::vector<std::string> wrong = WrongFormsOf(r.out);
  for (std::string& w : WrongFormsOf(r.err)) wrong.push_back(std::move(w));
  EXPECT_EQ(wrong, std::vector<std::string>{}) << Describe(r);
}

}  // namespace
}  // namespace zamo::test
