// Files of 4 GiB and more imported from a session and written again by the
// next one: the records of one file become one imported entry (the summed
// size, the first extent), and the next session's directories give the same
// extents, sizes and flags again, in the Joliet tree and in the ISO 9660
// tree. The sessions are image heads built in memory: no data is written.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "tests/compilation/burner_fixture.h"
#include "tests/import/import_fixture.h"

namespace zamo::test {
namespace {

constexpr int64_t kGiB = int64_t{1} << 30;

// A file's records as a directory gives them: extent, size and flags of each.
using Parts = std::vector<std::tuple<uint32_t, uint32_t, uint8_t>>;

class MultiExtentImport : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    for (TVeskBurner* b : {&first_, &second_}) {
      b->Clock = [] { return EncodeDateTime({2024, 3, 1, 12, 0, 0, 0}); };
      b->JolietFileSystem = GetParam();
      b->OnDebugMessage = [this](TObject*, const std::string& text, uint8_t) { log_ += text + "\n"; };
      b->ResetCompilation();
    }
  }

  // Reads sectors of the head `b` built; the file data past it reads as zeros.
  static SectorReader HeadReader(const TVeskBurner& b) {
    return [&b](uint32_t lba, uint8_t* out) {
      if (lba >= static_cast<uint64_t>(b.VolumeSpaceSize)) return false;
      const auto head = b.ImageStream.Memory();
      const size_t at = size_t{lba - static_cast<uint32_t>(b.SessionStart)} * 2048;
      std::memset(out, 0, 2048);
      if (at + 2048 <= head.size()) std::memcpy(out, head.data() + at, 2048);
      return true;
    };
  }

  // The records of `dir` in the head of `b`, by identifier, each file's parts in order.
  static std::map<std::string, Parts> Records(const TVeskBurner& b, const TDEntry* dir) {
    const bool joliet = GetParam();
    const int64_t lba = joliet ? b.JolietDirBase + dir->JolietSector : b.IsoDirBase + dir->IsoSector;
    const int64_t bytes = joliet ? dir->JolietSize : dir->IsoSize;
    const auto head = b.ImageStream.Memory();
    std::map<std::string, Parts> out;
    for (const ParsedRecord& r :
         ParseDirectory(head.subspan(static_cast<size_t>(lba - b.SessionStart) * 2048, static_cast<size_t>(bytes)))) {
      if (r.id.size() > 1) out[r.id].emplace_back(r.extent, r.size, r.flags);
    }
    return out;
  }

  TVeskBurner first_{nullptr};
  TVeskBurner second_{nullptr};
  std::string log_;
};

TEST_P(MultiExtentImport, RecordsOfOneFileComeBackAsOneEntryAndGoOutAgainTheSame) {
  TDEntry* films = first_.AddDir(first_.RootDir, DirRec("films"));
  ASSERT_EQ(first_.AddFileEntry(first_.RootDir, FileRec("petit.txt", 10), false, 0, "/s/petit.txt"), 1);
  ASSERT_EQ(first_.AddFileEntry(first_.RootDir, FileRec("video.mkv", 5 * kGiB), false, 0, "/s/video.mkv"), 1);
  ASSERT_EQ(first_.AddFileEntry(films, FileRec("long.mkv", 9 * kGiB, "", faHidden), false, 0, "/s/long.mkv"), 1);
  ASSERT_EQ(first_.AddFileEntry(films, FileRec("max.bin", 0xFFFFFFFF), false, 0, "/s/max.bin"), 1);
  first_.LayoutImage(true, nullptr);
  first_.BuildImageHeader(true, nullptr);

  SessionTreeReader reader(second_, HeadReader(first_));
  ASSERT_EQ(reader.ReadSession(0, second_.RootDir),
            GetParam() ? SessionTreeReader::Tree::kJoliet : SessionTreeReader::Tree::kIso9660)
      << log_;
  EXPECT_EQ(log_, "");
  const TFEntry* video = FindPath(second_, GetParam() ? "video.mkv" : "VIDEO.MKV");
  const TFEntry* long_film = FindPath(second_, GetParam() ? "films/long.mkv" : "FILMS/LONG.MKV");
  const TFEntry* max = FindPath(second_, GetParam() ? "films/max.bin" : "FILMS/MAX.BIN");
  ASSERT_NE(video, nullptr) << log_;
  ASSERT_NE(long_film, nullptr) << log_;
  ASSERT_NE(max, nullptr) << log_;
  EXPECT_TRUE(video->Imported);
  EXPECT_EQ(video->IsoSize, 5 * kGiB);
  EXPECT_EQ(video->IsoExtent, first_.FirstFileLba + 1);  // after petit.txt
  EXPECT_EQ(long_film->IsoSize, 9 * kGiB);
  EXPECT_EQ(long_film->Attr & faHidden, faHidden);
  EXPECT_EQ(max->IsoSize, 0xFFFFFFFF);

  // The next session, further on the disc, with a file of its own.
  second_.SessionStart = static_cast<int32_t>(first_.VolumeSpaceSize + 1000);
  ASSERT_EQ(second_.AddFileEntry(second_.RootDir, FileRec("nouveau.txt", 3), false, 0, "/s/nouveau.txt"), 1);
  second_.LayoutCompilation();
  second_.BuildImageHeader(false, nullptr);
  const TDEntry* films_again = second_.FindDir("\\FILMS");
  ASSERT_NE(films_again, nullptr);

  const auto root_before = Records(first_, first_.RootDir);
  const auto root_after = Records(second_, second_.RootDir);
  const std::string video_id = GetParam() ? Ucs2(u"video.mkv;1") : "VIDEO.MKV;1";
  ASSERT_EQ(root_before.at(video_id).size(), 2u);  // 5 GiB: 4 GiB - 2048, then the rest
  EXPECT_EQ(root_after.at(video_id), root_before.at(video_id));
  const auto films_before = Records(first_, films);
  const auto films_after = Records(second_, films_again);
  for (const std::string& id : GetParam() ? std::vector<std::string>{Ucs2(u"long.mkv;1"), Ucs2(u"max.bin;1")}
                                          : std::vector<std::string>{"LONG.MKV;1", "MAX.BIN;1"}) {
    ASSERT_TRUE(films_before.contains(id) && films_after.contains(id));
    EXPECT_EQ(films_after.at(id), films_before.at(id));
  }
  EXPECT_EQ(films_before.at(GetParam() ? Ucs2(u"long.mkv;1") : "LONG.MKV;1").size(), 3u);  // 9 GiB
  EXPECT_EQ(films_before.at(GetParam() ? Ucs2(u"max.bin;1") : "MAX.BIN;1").size(), 1u);
  // The new session's data starts after its head, well past the imported files.
  const std::string new_id = GetParam() ? Ucs2(u"nouveau.txt;1") : "NOUVEAU.TXT;1";
  EXPECT_EQ(std::get<0>(root_after.at(new_id).front()), static_cast<uint32_t>(second_.FirstFileLba));
}

INSTANTIATE_TEST_SUITE_P(Trees, MultiExtentImport, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "Joliet" : "Iso9660"; });

}  // namespace
}  // namespace zamo::test
