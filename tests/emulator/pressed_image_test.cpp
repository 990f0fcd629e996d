// A read-only drive (cd-rom, dvd-rom) holding an image file that was cut
// short: the disc is the file's whole blocks. Everything the drive says
// about its size agrees with that, and a READ that reaches past it fails as
// a drive's does (05/21/00) without handing back a single made-up byte.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "tests/emulator/emu_test_util.h"

namespace zamo::emu::test {
namespace {

constexpr TSenseCode kOutOfRange{5, 0x21, 0};

struct PressedCase {
  TMediaKind kind;
  size_t whole_blocks;
  size_t tail_bytes;  // of a partial block after them
};

class PressedFile : public UnitTest {
 protected:
  // An image whose every byte differs from zero, so a padded block shows.
  std::string MakeImage(size_t bytes) {
    std::string image(bytes, '\0');
    for (size_t i = 0; i < bytes; ++i) image[i] = static_cast<char>(1 + i % 251);
    std::ofstream(ImagePath(), std::ios::binary).write(image.data(), static_cast<std::streamsize>(image.size()));
    return image;
  }
  bool SameBytes(const std::string& image, size_t from_block, size_t blocks) const {
    return image.compare(from_block * 2048, blocks * 2048,
                         std::string(reinterpret_cast<const char*>(in_.data()), blocks * 2048)) == 0;
  }
};

class PressedImage : public PressedFile, public ::testing::WithParamInterface<PressedCase> {};

TEST_P(PressedImage, TheDiscEndsAtTheLastWholeBlockOfTheFile) {
  const PressedCase& c = GetParam();
  const std::string image = MakeImage(c.whole_blocks * 2048 + c.tail_bytes);
  Load(c.kind);
  const auto n = static_cast<uint32_t>(c.whole_blocks);

  ASSERT_TRUE(In(ReadCapacity()).good());
  EXPECT_EQ(GetBe32(in_, 0), n - 1);
  ASSERT_TRUE(In(ReadToc(0)).good());
  EXPECT_EQ(GetBe32(in_, 12 + 4), n);  // the lead-out
  const TrackInfo track = Track(1);
  EXPECT_EQ(track.size, n);
  EXPECT_FALSE(track.nwa_valid);

  ASSERT_TRUE(In(Read10(n - 2, 2), 2 * 2048).good());
  EXPECT_TRUE(SameBytes(image, n - 2, 2));
  // The partial block and anything after it: refused, and a read that
  // starts inside the disc but runs past its end transfers nothing.
  EXPECT_EQ(SenseOf(In(Read10(n, 1))), kOutOfRange);
  const TCommandResult across = In(Read10(n - 1, 2), 2 * 2048);
  EXPECT_EQ(SenseOf(across), kOutOfRange);
  EXPECT_EQ(across.transferred, 0u);
  EXPECT_EQ(SenseOf(In(Read10(n + 50, 1))), kOutOfRange);
}

INSTANTIATE_TEST_SUITE_P(Kinds, PressedImage,
                         ::testing::Values(PressedCase{TMediaKind::kCdRom, 40, 1},
                                           PressedCase{TMediaKind::kCdRom, 40, 2047},
                                           PressedCase{TMediaKind::kDvdRom, 33, 1000},
                                           PressedCase{TMediaKind::kDvdRom, 33, 0}),
                         [](const auto& param_info) {
                           return std::string(Traits(param_info.param.kind).name == "cd-rom" ? "CdRom" : "DvdRom") +
                                  "Tail" + std::to_string(param_info.param.tail_bytes);
                         });

TEST_F(PressedFile, BlocksCutAwayWhileLoadedAreNeverReadAsZeros) {
  const std::string image = MakeImage(20 * 2048);
  Load(TMediaKind::kCdRom);
  ASSERT_EQ(truncate(ImagePath().c_str(), 12 * 2048 + 5), 0);
  ASSERT_TRUE(In(Read10(0, 12), 12 * 2048).good());
  EXPECT_TRUE(SameBytes(image, 0, 12));
  EXPECT_EQ(SenseOf(In(Read10(12, 1))), kOutOfRange);
  EXPECT_EQ(SenseOf(In(Read10(10, 8), 8 * 2048)), kOutOfRange);
}

TEST_F(PressedFile, AnImageWithoutOneWholeBlockIsRefused) {
  MakeImage(2047);
  std::string error;
  EXPECT_EQ(TEmulatedUnit::Open(Config(TMediaKind::kDvdRom), &error), nullptr);
  EXPECT_NE(error.find("ne contient aucun secteur entier"), std::string::npos) << error;
}

}  // namespace
}  // namespace zamo::emu::test
