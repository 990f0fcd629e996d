// omissions_cli_test.cpp: nothing zamo-cli leaves out or changes goes
// without a word. Entries that are neither files nor folders (named pipes,
// sockets, devices, broken or looping symbolic links) are named one by one
// and make the exit status 1, in an image and on a disc; a volume name longer
// than its fields is cut and the log says what each field keeps; a boot
// image's emulation is chosen with --boot-emulation, and the one its size
// gives is said. A tree larger than the compilation's entry capacity
// (--max-entries) is refused whole by every command that builds one. Peer
// tools read what was written.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/peer_tools.h"
#include "tests/support/run.h"
#include "tests/support/temp_dir.h"

namespace zamo::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

const std::string kNbsp = "\u00A0";

std::string Quoted(const std::string& text) { return "«" + kNbsp + text + kNbsp + "»"; }

// zamo-cli with `args`, in a UTF-8 locale, without the user's emulated drives.
RunResult Cli(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"env", "-u", "ZAMO_EMULATED_DRIVES", "LC_ALL=C.UTF-8", ZamoCli()};
  argv.insert(argv.end(), args.begin(), args.end());
  return Run(argv, 60);
}

void MakeSocket(const std::string& path) {
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof address.sun_path);
  std::copy(path.begin(), path.end(), address.sun_path);
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  close(sock);
}

// ---------------------------------------------------------------------------
// Entries that are neither files nor folders.

class SpecialEntries : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    REQUIRE_TOOLS("bsdtar");
    MakeTree(dir_ / "src", {{"a.txt", "kept"}, {"sub/b.txt", "kept too"}});
    ASSERT_EQ(mkfifo((dir_ / "src/pipe").c_str(), 0600), 0);
    MakeSocket(dir_ / "src/sub/sock");
    ASSERT_EQ(symlink("gone.txt", (dir_ / "src/sub/broken").c_str()), 0);
    ASSERT_EQ(symlink("/dev/null", (dir_ / "src/null").c_str()), 0);
    ASSERT_EQ(symlink("loop2", (dir_ / "src/loop1").c_str()), 0);
    ASSERT_EQ(symlink("loop1", (dir_ / "src/loop2").c_str()), 0);
    ASSERT_EQ(mkfifo((dir_ / "named pipe").c_str(), 0600), 0);  // a source of its own
  }
  TempDir dir_;
};

// Each one named with its path and what it is; the files recorded whole; the
// exit status 1, as for every entry left out. A pipe read as a file would
// hang the job: the time limit catches it.
TEST_P(SpecialEntries, AreEachNamedAndTheStatusIsOne) {
  const std::string command = GetParam();
  const std::string image = dir_ / "disc.img";
  std::vector<std::string> args = {"mkiso", "-o", image};
  if (command == "burn") args = {"--emulate", "cd-r:" + image, "burn"};
  args.insert(args.end(), {dir_ / "src", dir_ / "named pipe"});
  const RunResult r = Cli(args);
  ASSERT_FALSE(r.timed_out) << Describe(r);
  EXPECT_EQ(r.status, 1) << Describe(r);
  const std::string head = ">>> Élément ignoré, ni fichier ni dossier" + kNbsp + ": ";
  for (const auto& [path, kind] : std::vector<std::pair<std::string, std::string>>{
           {dir_ / "src/pipe", "tube nommé (FIFO)"},
           {dir_ / "src/sub/sock", "socket"},
           {dir_ / "src/sub/broken", "lien symbolique brisé vers " + Quoted("gone.txt")},
           {dir_ / "src/null", "fichier de périphérique"},
           {dir_ / "src/loop1", "boucle de liens symboliques"},
           {dir_ / "src/loop2", "boucle de liens symboliques"},
           {dir_ / "named pipe", "tube nommé (FIFO)"}}) {
    EXPECT_THAT(r.err, HasSubstr(head + Quoted(path) + ", " + kind + "\n")) << Describe(r);
  }
  EXPECT_THAT(r.err, HasSubstr(">>> Attention\u00A0: 7 éléments ignorés, voir ci-dessus."));
  EXPECT_THAT(r.err,
              HasSubstr(command == "burn" ? ">>> Gravure terminée\u00A0: succès" : ">>> ÉCRITURE TERMINÉE: - SUCCÈS"));
  const Extraction e = Extract("bsdtar", image, dir_ / "x");
  ASSERT_TRUE(e.ok) << e.log;
  EXPECT_TRUE(SameTree(e.tree, {{"a.txt", "kept"}, {"sub/", ""}, {"sub/b.txt", "kept too"}}));
}

INSTANTIATE_TEST_SUITE_P(Commands, SpecialEntries, ::testing::Values("mkiso", "burn"));

// ---------------------------------------------------------------------------
// A volume name longer than its fields.

// Latin-1 bytes as UTF-8 (Windows-1252 is Latin-1 for the names used here);
// with `ucs2`, the low bytes of big-endian UCS-2 units below 100h.
std::string Latin1ToUtf8(const std::string& bytes, bool ucs2 = false) {
  std::string text;
  for (size_t i = ucs2 ? 1 : 0; i < bytes.size(); i += ucs2 ? 2 : 1) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80) {
      text += static_cast<char>(c);
    } else {
      text += static_cast<char>(0xC0 | (c >> 6));
      text += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return text;
}

// The volume identifier of the descriptor at `sector` (32 bytes), its padding left out.
std::string VolumeField(const std::string& image, int sector, bool ucs2) {
  const std::string text = Latin1ToUtf8(ReadFile(image).substr(static_cast<size_t>(sector) * 2048 + 40, 32), ucs2);
  return text.substr(0, text.find_last_not_of(' ') + 1);
}

struct VolumeCase {
  const char* name;
  std::string volume;
  bool joliet;
  std::string said;  // what the log says was kept; "" for nothing said
};

class VolumeName : public ::testing::TestWithParam<VolumeCase> {};

TEST_P(VolumeName, ACutNameIsSaidWithWhatIsKept) {
  const VolumeCase& c = GetParam();
  TempDir dir;
  MakeTree(dir / "src", {{"a.txt", "a"}});
  std::vector<std::string> args = {"mkiso", "-o", dir / "v.iso", "--volume", c.volume};
  if (!c.joliet) args.push_back("--no-joliet");
  args.push_back(dir / "src");
  const RunResult r = Cli(args);
  ASSERT_EQ(r.status, 0) << "a cut name is no entry left out\n" << Describe(r);
  if (c.said.empty()) {
    EXPECT_THAT(r.err, Not(HasSubstr("trop long"))) << Describe(r);
  } else {
    EXPECT_THAT(r.err, HasSubstr("Nom de volume " + Quoted(c.volume) + " trop long pour le disque, raccourci" +
                                 kNbsp + ": " + c.said + ".\n"))
        << Describe(r);
  }
  // What the log says is what the descriptors hold.
  const std::string iso = VolumeField(dir / "v.iso", 16, false);
  const std::string joliet = c.joliet ? VolumeField(dir / "v.iso", 17, true) : "";
  if (c.said.find("en ISO 9660") != std::string::npos) {
    EXPECT_THAT(c.said, HasSubstr(Quoted(iso) + " en ISO 9660"));
  }
  if (c.said.find("en Joliet") != std::string::npos) {
    EXPECT_THAT(c.said, HasSubstr(Quoted(joliet) + " en Joliet"));
  }
  if (HaveTool("xorriso")) {
    const RunResult info = RunTool({"xorriso", "-indev", dir / "v.iso", "-pvd_info"});
    EXPECT_THAT(Latin1ToUtf8(info.out), HasSubstr("Volume Id    : " + iso + "\n")) << info.out;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, VolumeName,
    ::testing::Values(
        VolumeCase{"FitsBoth", "Photos 2024", true, ""},
        VolumeCase{"SixteenFitJoliet", "Mes photos d'été", true, ""},
        VolumeCase{"LongerThanJoliet", "Photos des vacances d'été", true,
                   Quoted("Photos des vacan") + " en Joliet (16 caractères)"},
        VolumeCase{"LongerThanJolietWithoutJoliet", "Photos des vacances d'été", false, ""},
        VolumeCase{"LongerThanBoth", "Sauvegarde des documents de la famille Lévêque", true,
                   Quoted("SAUVEGARDE DES DOCUMENTS DE LA F") + " en ISO 9660 (32 caractères) et " +
                       Quoted("Sauvegarde des d") + " en Joliet (16 caractères)"}),
    [](const ::testing::TestParamInfo<VolumeCase>& param_info) { return std::string(param_info.param.name); });

// ---------------------------------------------------------------------------
// The boot image's emulation.

struct BootCase {
  const char* name;
  size_t bytes;            // the boot image's size
  const char* emulation;   // --boot-emulation's value; "" without it
  int status;              // zamo-cli's exit status
  int media;               // the boot catalog's media type; -1 for no image
  std::string said;        // in the log; "" for nothing about the emulation
};

class BootEmulation : public ::testing::TestWithParam<BootCase> {};

TEST_P(BootEmulation, IsChosenOrSaid) {
  const BootCase& c = GetParam();
  TempDir dir;
  MakeTree(dir / "src", {{"a.txt", "a"}});
  WriteFile(dir / "boot.img", std::string(c.bytes, '\xF4'));
  std::vector<std::string> args = {"mkiso", "-o", dir / "b.iso", "--boot", dir / "boot.img"};
  if (*c.emulation != '\0') args.insert(args.end(), {"--boot-emulation", c.emulation});
  args.push_back(dir / "src");
  const RunResult r = Cli(args);
  ASSERT_EQ(r.status, c.status) << Describe(r);
  if (c.status == 2) {  // a usage error, the usage after it
    EXPECT_THAT(r.err, HasSubstr("--boot-emulation attend floppy, hd ou none"));
    EXPECT_FALSE(PathExists(dir / "b.iso"));
    return;
  }
  if (c.said.empty()) {
    EXPECT_THAT(r.err, Not(HasSubstr("d'après sa taille"))) << Describe(r);
  } else {
    EXPECT_THAT(r.err, HasSubstr(c.said)) << Describe(r);
  }
  if (c.media < 0) {
    EXPECT_FALSE(PathExists(dir / "b.iso"));
    return;
  }
  // The boot record (sector 17) points at the catalog; its initial entry's
  // byte 1 is the media type.
  const std::string image = ReadFile(dir / "b.iso");
  ASSERT_GT(image.size(), 18u * 2048);
  const auto catalog = static_cast<uint8_t>(image[17 * 2048 + 71]) | static_cast<uint8_t>(image[17 * 2048 + 72]) << 8;
  EXPECT_EQ(static_cast<uint8_t>(image[static_cast<size_t>(catalog) * 2048 + 33]), c.media);
  if (HaveTool("isoinfo")) {
    const RunResult info = RunTool({"isoinfo", "-d", "-i", dir / "b.iso"});
    EXPECT_THAT(info.out, HasSubstr("Boot media " + std::to_string(c.media) + " ")) << info.out;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Choices, BootEmulation,
    ::testing::Values(
        BootCase{"DisketteBySize", 1'474'560, "", 0, 2,
                 "vue comme une disquette de 1,44" + kNbsp + "Mo, d'après sa taille" + kNbsp +
                     "; --boot-emulation hd pour un disque dur.\n"},
        BootCase{"HardDiskBySize", 5000, "", 0, 4, "vue comme un disque dur, d'après sa taille"},
        BootCase{"HardDiskChosenForADisketteSize", 1'474'560, "hd", 0, 4, ""},
        BootCase{"DisketteChosen", 1'228'800, "floppy", 0, 1, ""},
        BootCase{"DisketteOfNoDisketteSize", 5000, "floppy", 1, -1,
                 "n'a la taille d'aucune disquette (1\u00A0228\u00A0800, 1\u00A0474\u00A0560 ou 2\u00A0949\u00A0120 "
                 "octets)"},
        // No emulation: media type 0, whatever the size.
        BootCase{"NoEmulation", 1'474'560, "none", 0, 0, ""},
        BootCase{"UnknownValue", 2048, "cdrom", 2, -1, ""}),
    [](const ::testing::TestParamInfo<BootCase>& param_info) { return std::string(param_info.param.name); });

TEST(BootEmulationUsage, NeedsABootImage) {
  TempDir dir;
  MakeTree(dir / "src", {{"a.txt", "a"}});
  const RunResult r = Cli({"mkiso", "-o", dir / "b.iso", "--boot-emulation", "hd", dir / "src"});
  EXPECT_EQ(r.status, 2) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr("--boot-emulation choisit l'émulation de l'image de démarrage donnée par --boot"));
  EXPECT_FALSE(PathExists(dir / "b.iso"));
}

// ---------------------------------------------------------------------------
// The compilation's entry capacity (--max-entries).

// 47 files in 3 folders: 50 entries (the root is none). Each file holds its
// own name, so that a file lost or swapped shows.
TreeContents FiftyEntries() {
  TreeContents tree;
  for (int i = 0; i < 47; ++i) {
    const std::string folder = i < 16 ? "a/" : i < 32 ? "b/" : "b/c/";
    const std::string path = folder + "f" + std::to_string(i) + ".txt";
    tree.emplace_back(path, path);
  }
  return tree;
}

// What the commands that build a compilation run, on `dir`: its image
// x.iso, its emulated CD-R cd.img, its tree src.
std::vector<std::string> CommandArgs(const std::string& command, const TempDir& dir,
                                     const std::vector<std::string>& options) {
  std::vector<std::string> args;
  if (command == "mkiso") args = {"mkiso", "-o", dir / "x.iso"};
  if (command == "print-size") args = {"mkiso", "--print-size"};
  if (command == "burn") args = {"--emulate", "cd-r:" + dir / "cd.img", "burn"};
  if (command == "verify") args = {"verify", dir / "ok.iso"};
  args.insert(args.end(), options.begin(), options.end());
  args.push_back(dir / "src");
  return args;
}

class EntryCapacity : public ::testing::TestWithParam<std::tuple<const char*, int>> {
 protected:
  void SetUp() override {
    MakeTree(dir_ / "src", FiftyEntries());
    // The image verify compares the tree with, made at the default capacity.
    const RunResult made = Cli({"mkiso", "-o", dir_ / "ok.iso", dir_ / "src"});
    ASSERT_EQ(made.status, 0) << Describe(made);
  }
  TempDir dir_;
};

// A tree cut at the capacity is taken by no command: the message names the
// capacity and the option that raises it, no size is printed, no image
// written, nothing burned or compared. One entry too many is enough.
TEST_P(EntryCapacity, ATreeOverItIsRefusedWhole) {
  const auto [command, capacity] = GetParam();
  const RunResult r = Cli(CommandArgs(command, dir_, {"--max-entries", std::to_string(capacity)}));
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr("La compilation ne peut contenir que " + std::to_string(capacity) +
                               " entrées (fichiers et dossiers), l'arborescence donnée en compte plus" + kNbsp +
                               ": augmentez la limite avec --max-entries N"));
  EXPECT_EQ(r.out, "") << "no size, summary or listing for a cut tree";
  EXPECT_FALSE(PathExists(dir_ / "x.iso"));
  EXPECT_THAT(r.err, Not(HasSubstr("Début de la gravure")));
  EXPECT_THAT(r.err, Not(HasSubstr("VÉRIFICATION DE LA SESSION")));
  if (std::string(command) == "burn") {
    const RunResult info = Cli({"--emulate", "cd-r:" + dir_ / "cd.img", "info"});
    EXPECT_THAT(info.out, HasSubstr("vierge")) << Describe(info);
  }
}

INSTANTIATE_TEST_SUITE_P(Commands, EntryCapacity,
                         ::testing::Combine(::testing::Values("mkiso", "print-size", "burn", "verify"),
                                            ::testing::Values(40, 49)),
                         [](const auto& param_info) {
                           std::string name = std::get<0>(param_info.param);
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name + "_" + std::to_string(std::get<1>(param_info.param));
                         });

// At exactly the capacity, the tree is taken whole: the same size as at the
// default capacity, every file in the image with its bytes, a verification
// that finds them all.
TEST(EntryCapacityExact, TakesTheWholeTree) {
  REQUIRE_TOOLS("bsdtar");
  TempDir dir;
  MakeTree(dir / "src", FiftyEntries());
  const RunResult by_default = Cli({"mkiso", "--print-size", dir / "src"});
  ASSERT_EQ(by_default.status, 0) << Describe(by_default);
  const RunResult sized = Cli({"mkiso", "--print-size", "--max-entries", "50", dir / "src"});
  EXPECT_EQ(sized.status, 0) << Describe(sized);
  EXPECT_EQ(sized.out, by_default.out);

  const RunResult made = Cli({"mkiso", "-o", dir / "x.iso", "--max-entries", "50", dir / "src"});
  ASSERT_EQ(made.status, 0) << Describe(made);
  const Extraction e = Extract("bsdtar", dir / "x.iso", dir / "x");
  ASSERT_TRUE(e.ok) << e.log;
  EXPECT_EQ(e.tree, ReadTree(dir / "src")) << "every file, no other, with its bytes";

  const RunResult verified = Cli({"verify", "--max-entries", "50", dir / "x.iso", dir / "src"});
  EXPECT_EQ(verified.status, 0) << Describe(verified);
  EXPECT_THAT(verified.err, HasSubstr("47 FICHIERS IDENTIQUES"));
}

// A value out of 1..100,000,000 or not a plain number is a usage error of
// every command that takes the option, and nothing is written.
class EntryCapacityValue : public ::testing::TestWithParam<std::tuple<const char*, const char*>> {};

TEST_P(EntryCapacityValue, IsRefused) {
  const auto [command, value] = GetParam();
  TempDir dir;
  MakeTree(dir / "src", {{"a.txt", "a"}});
  const RunResult r = Cli(CommandArgs(command, dir, {"--max-entries", value}));
  EXPECT_EQ(r.status, 2) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr("--max-entries attend un nombre d'entrées (fichiers et dossiers), de 1 à 100" + kNbsp +
                               "000" + kNbsp + "000"));
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(PathExists(dir / "x.iso"));
}

INSTANTIATE_TEST_SUITE_P(Values, EntryCapacityValue,
                         ::testing::Combine(::testing::Values("mkiso", "print-size", "burn", "verify"),
                                            ::testing::Values("0", "-1", "100000001", "4294967336", "abc", "12x",
                                                              "+5", "")));

// The option missing its value is a usage error too, not a source named "--max-entries".
TEST(EntryCapacityValue, MissingIsRefused) {
  TempDir dir;
  MakeTree(dir / "src", {{"a.txt", "a"}});
  const RunResult r = Cli({"mkiso", "--print-size", dir / "src", "--max-entries"});
  EXPECT_EQ(r.status, 2) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr("l'option --max-entries attend une valeur"));
  EXPECT_EQ(r.out, "");
}

// A burn reads the session it keeps into the compilation: 30 entries on
// the disc and 15 given are refused under --max-entries 40, before anything
// is written (the disc keeps its one session); under 45, the new session
// holds both trees.
TEST(EntryCapacityBurn, CountsTheSessionKept) {
  REQUIRE_TOOLS("xorriso");
  TempDir dir;
  TreeContents one, two;
  for (int i = 0; i < 29; ++i) one.emplace_back("a/f" + std::to_string(i), "one " + std::to_string(i));
  for (int i = 0; i < 14; ++i) two.emplace_back("b/g" + std::to_string(i), "two " + std::to_string(i));
  MakeTree(dir / "one", one);
  MakeTree(dir / "two", two);
  const std::string drive = "cd-r:" + dir / "cd.img";
  RunResult r = Cli({"--emulate", drive, "burn", dir / "one"});
  ASSERT_EQ(r.status, 0) << Describe(r);

  r = Cli({"--emulate", drive, "burn", "--max-entries", "40", dir / "two"});
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr("La compilation ne peut contenir que 40 entrées (fichiers et dossiers), la session "
                               "importée et l'arborescence donnée en comptent plus" + kNbsp +
                               ": augmentez la limite avec --max-entries N"));
  EXPECT_THAT(r.err, Not(HasSubstr("Début de la gravure")));
  r = Cli({"--emulate", drive, "info"});
  EXPECT_TRUE(std::regex_search(r.out, std::regex("Sessions *\u00A0: 1\n"))) << Describe(r);

  r = Cli({"--emulate", drive, "burn", "--max-entries", "45", dir / "two"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  r = Cli({"--emulate", drive, "info"});
  std::smatch track;
  ASSERT_TRUE(std::regex_search(r.out, track, std::regex("Piste 2 +session +2 +début ([0-9]+)"))) << Describe(r);
  const Extraction e = Extract("xorriso", dir / "cd.img", dir / "x", static_cast<uint32_t>(std::stoul(track[1])));
  ASSERT_TRUE(e.ok) << e.log;
  std::map<std::string, std::string> both = ReadTree(dir / "one");
  both.merge(ReadTree(dir / "two"));
  EXPECT_EQ(e.tree, both);
}

// The folders' capacity, the path tables' 65,535 records with the root's,
// cannot be raised: a tree over it is refused with a message that says so,
// whatever --max-entries allows.
TEST(FolderCapacity, ATreeOverItIsRefusedWhole) {
  const std::unique_ptr<TempDir> in_memory = InMemoryTempDir();
  const TempDir& dir = *in_memory;
  for (int i = 0; i < 65535; ++i) {
    const std::string folder = dir / ("src/d" + std::to_string(i));
    ASSERT_TRUE(std::filesystem::create_directories(folder));
    WriteFile(folder + "/f", "");  // a folder left empty would not count
  }
  const RunResult r = Cli({"mkiso", "--print-size", "--max-entries", "200000", dir / "src"});
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_THAT(r.err, HasSubstr("La compilation ne peut contenir que 65" + kNbsp +
                               "535 dossiers, racine comprise (tables des chemins ISO 9660)"));
  EXPECT_THAT(r.err, Not(HasSubstr("--max-entries N")));
  EXPECT_EQ(r.out, "");
}

// The capacity is not allocated ahead: the largest one costs a tiny tree no
// more memory than the default does (an entry table of 100,000,000 slots
// would take 800 MB).
TEST(EntryCapacityMemory, TheLargestCostsATinyTreeNothing) {
  if (!PathExists("/usr/bin/time")) GTEST_SKIP() << "/usr/bin/time is missing";
  TempDir dir;
  MakeTree(dir / "src", {{"a.txt", "a"}, {"b/c.txt", "c"}});
  auto max_rss_kb = [&](const std::vector<std::string>& options) -> long {
    std::vector<std::string> argv = {"/usr/bin/time", "-f", "max-rss=%M", "env", "-u", "ZAMO_EMULATED_DRIVES",
                                     "LC_ALL=C.UTF-8", ZamoCli(), "mkiso", "--print-size"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(dir / "src");
    const RunResult r = zamo::test::Run(argv, 60);
    EXPECT_EQ(r.status, 0) << Describe(r);
    std::smatch m;
    if (!std::regex_search(r.err, m, std::regex("max-rss=([0-9]+)"))) {
      ADD_FAILURE() << Describe(r);
      return -1;
    }
    return std::stol(m[1]);
  };
  const long by_default = max_rss_kb({});
  const long largest = max_rss_kb({"--max-entries", "100000000"});
  ASSERT_GT(by_default, 0);
  EXPECT_LT(largest, by_default + 16 * 1024) << "KB, against " << by_default << " KB at the default capacity";
}

}  // namespace
}  // namespace zamo::test
