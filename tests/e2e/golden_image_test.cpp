// golden_image_test.cpp: the bytes of images of a fixed tree, pinned. The
// same tree (names, contents, dates), the same clock (SOURCE_DATE_EPOCH) and
// the same zone give the same image; these digests were taken from the
// program's images when they were pinned (mkiso_test.cpp reads such images
// back with the peers). A change of the layout, of a record, of a
// descriptor or of the data's place shows here, even one every reader
// tolerates: images of existing backups must not change under their users.
//
// When a digest differs on purpose (a deliberate change of the format), the
// new image must first be checked with the peers (mkiso_test.cpp does) and
// the digests taken again from it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/run.h"
#include "tests/support/temp_dir.h"

namespace zamo::test {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kSector = 2048;
constexpr const char* kEpoch = "1700000000";  // 2023-11-14 22:13:20 UTC

// Folders spanning several sectors in both trees, records ending near
// sector ends, accents, a hidden folder, an empty file, a file one byte past
// a sector, names that meet in the ISO 9660 tree (a+b.txt and a_b.txt), a name
// without extension and one with several dots.
TreeContents GoldenTree() {
  TreeContents tree = {
      {"LISEZMOI.TXT", Bytes(100, 1)},
      {"Makefile", Bytes(3000, 2)},
      {"archive.tar.gz.part", Bytes(4096, 3)},
      {"Documents/Lettre à Noël – brouillon définitif.txt", Bytes(2049, 4)},
      {"Documents/vide.dat", ""},
      {"Documents/.cache/état des lieux", Bytes(5000, 5)},
      {"Mixte/a+b.txt", Bytes(10, 6)},
      {"Mixte/a_b.txt", Bytes(11, 7)},
      {"Mixte/Rapport annuel 2023.txt", Bytes(12, 8)},
      {"Mixte/Rapport annuel 2024.txt", Bytes(13, 9)},
      {"Musique/Ω grec/morceau numéro un.flac", Bytes(70000, 8)},
  };
  for (int i = 1; i <= 90; ++i) {
    char name[128];
    std::snprintf(name, sizeof(name), "Photos/2024/Une photo au nom assez long pour remplir le dossier %03d.jpg", i);
    tree.emplace_back(name, Bytes(static_cast<size_t>(500 + 37 * i), static_cast<uint32_t>(100 + i)));
  }
  return tree;
}

// Gives every file and folder of the tree a date of its own, a day apart.
void DateTree(const std::string& root, const TreeContents& tree) {
  int64_t seconds = 1600000000;
  std::vector<std::string> paths;
  for (const auto& [path, content] : tree) {
    paths.push_back(path);
    for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
      paths.push_back(path.substr(0, slash));
  }
  // Files first, then folders deepest first: dating a file changes its folder's time.
  std::sort(paths.begin(), paths.end(), [](const std::string& a, const std::string& b) {
    const auto depth = [](const std::string& p) { return std::count(p.begin(), p.end(), '/'); };
    return depth(a) != depth(b) ? depth(a) > depth(b) : a < b;
  });
  paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
  for (const std::string& p : paths) SetModifiedTime(root + "/" + p, seconds += 86400 + 17);
}

std::string Sha256(const std::string& path, int64_t sectors = -1) {
  const std::string command = sectors < 0 ? "sha256sum < '" + path + "'"
                                          : "head -c " + std::to_string(sectors * kSector) + " '" + path +
                                                "' | sha256sum";
  const RunResult r = Run({"sh", "-c", command}, 60);
  return r.out.substr(0, 64);
}

struct GoldenCase {
  const char* name;
  std::vector<std::string> options;
  int64_t sectors;
  int64_t first_file_sector;
  const char* head_sha256;   // the sectors before the file data
  const char* image_sha256;  // the whole image
};

class GoldenImage : public ::testing::TestWithParam<GoldenCase> {};

TEST_P(GoldenImage, SameTreeGivesTheSameBytes) {
  const GoldenCase& c = GetParam();
  TempDir dir;
  const TreeContents tree = GoldenTree();
  MakeTree(dir / "src", tree);
  DateTree(dir / "src", tree);
  std::vector<std::string> argv = {"env", "LC_ALL=C.UTF-8", "TZ=UTC0", std::string("SOURCE_DATE_EPOCH=") + kEpoch,
                                   ZamoCli(), "mkiso", "--volume", "Golden"};
  argv.insert(argv.end(), c.options.begin(), c.options.end());
  argv.insert(argv.end(), {"-o", dir / "golden.iso", dir / "src"});
  const RunResult r = zamo::test::Run(argv, 60);
  ASSERT_EQ(r.status, 0) << Describe(r);

  std::smatch m;
  ASSERT_TRUE(std::regex_search(r.out, m, std::regex(R"(à partir du secteur (\d+))"))) << r.out;
  const int64_t first = std::stoll(m[1]);
  EXPECT_EQ(first, c.first_file_sector) << r.out;
  EXPECT_EQ(static_cast<int64_t>(fs::file_size(dir / "golden.iso")), c.sectors * kSector);
  EXPECT_EQ(Sha256(dir / "golden.iso", first), c.head_sha256) << "the image head (descriptors, path tables, "
                                                                   "directories) changed";
  EXPECT_EQ(Sha256(dir / "golden.iso"), c.image_sha256) << "the image changed";
}

INSTANTIATE_TEST_SUITE_P(
    Trees, GoldenImage,
    ::testing::Values(GoldenCase{"Joliet", {}, 338, 150,
                                 "5ec14df39abbc0b9c4f7d739a2087b6c61ef0a6c18bf4a31ad5da4f6405ab4d5",
                                 "c5ce00bcb1ead2cc261559341e372b3d271b311eb95ad1819cb9c77602a6df15"},
                      GoldenCase{"NoJoliet", {"--no-joliet"}, 338, 150,
                                 "e30f56bf85cbed02f1146aa6c23ff6c2f516b425d017eecfcc2f3deef23adde7",
                                 "d9c79db15e1b3257165976e93bbc4f5325cd1b7b0e33f6430888341368141042"},
                      // One pass, without the read-ahead cache: the same bytes.
                      GoldenCase{"QuickSave", {"--quick"}, 338, 150,
                                 "5ec14df39abbc0b9c4f7d739a2087b6c61ef0a6c18bf4a31ad5da4f6405ab4d5",
                                 "c5ce00bcb1ead2cc261559341e372b3d271b311eb95ad1819cb9c77602a6df15"}),
    [](const ::testing::TestParamInfo<GoldenCase>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace zamo::test
