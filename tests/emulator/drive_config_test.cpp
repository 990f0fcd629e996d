// Parsing the emulated drive list (ZAMO_EMULATED_DRIVES, zamo-cli --emulate).
#include "emulator/drive_config.h"

#include <gtest/gtest.h>

namespace zamo::emu {
namespace {

TEST(ParseDriveList, ReadsKindsImagesAndOptions) {
  std::vector<TDriveConfig> configs;
  std::string error;
  ASSERT_TRUE(ParseDriveList(
      " cd-r:/tmp/a.img ; dvd+r-dl:/tmp/b:c.img,model=DL WRITER 9,tray=open,notready=3,busy=2,opc=fail,"
      "writeerror=100:3/0C/00,writeerror=7:4/44/0,protected=1,speed=8,hang=2A;",
      &configs, &error))
      << error;
  ASSERT_EQ(configs.size(), 2u);
  EXPECT_EQ(configs[0].kind, TMediaKind::kCdR);
  EXPECT_EQ(configs[0].image_path, "/tmp/a.img");
  EXPECT_EQ(configs[0].model, "VIRTUAL RECORDER");
  EXPECT_FALSE(configs[0].tray_open);

  const TDriveConfig& dl = configs[1];
  EXPECT_EQ(dl.kind, TMediaKind::kDvdPlusRDl);
  EXPECT_EQ(dl.image_path, "/tmp/b:c.img");  // only the first colon separates the kind
  EXPECT_EQ(dl.model, "DL WRITER 9");
  EXPECT_TRUE(dl.tray_open);
  EXPECT_EQ(dl.not_ready_commands, 3u);
  EXPECT_EQ(dl.busy_commands, 2u);
  EXPECT_TRUE(dl.opc_fails);
  EXPECT_TRUE(dl.write_protected);
  ASSERT_EQ(dl.write_errors.size(), 2u);
  EXPECT_EQ(dl.write_errors[0].lba, 100u);
  EXPECT_EQ(dl.write_errors[0].sense, (TSenseCode{0x3, 0x0C, 0x00}));
  EXPECT_EQ(dl.write_errors[1].sense, (TSenseCode{0x4, 0x44, 0x00}));
  EXPECT_EQ(dl.speed_x, 8u);
  EXPECT_EQ(dl.hang_opcode, 0x2A);
}

TEST(ParseDriveList, EveryKindIsKnownByItsName) {
  for (const char* kind : {"cd-rom", "cd-r", "cd-rw", "dvd-rom", "dvd-r", "dvd-rw", "dvd+r", "dvd+r-dl", "dvd+rw",
                           "dvd-ram"}) {
    std::vector<TDriveConfig> configs;
    std::string error;
    EXPECT_TRUE(ParseDriveList(std::string(kind) + ":x.img", &configs, &error)) << kind << ": " << error;
    ASSERT_EQ(configs.size(), 1u);
    EXPECT_EQ(Traits(configs[0].kind).name, kind);
  }
}

TEST(ParseDriveList, ExplainsWhatIsWrongAndWhere) {
  const struct {
    const char* list;
    const char* expected;
  } cases[] = {
      {"", "no emulated drive"},
      {"cd-r", "KIND:IMAGEFILE"},
      {"cd-r:a;bluray:b", "emulated drive 2 (\"bluray:b\"): unknown kind \"bluray\" (kinds: cd-rom, cd-r,"},
      {"cd-r:", "image file name is missing"},
      {"cd-r:a,colour=red", "unknown option \"colour\""},
      {"cd-r:a,tray", "needs a value"},
      {"cd-r:a,model=A MODEL NAME TOO LONG", "1 to 16 printable"},
      {"cd-r:a,writeerror=12:3/0C", "LBA:KEY/ASC/ASCQ"},
      {"cd-r:a,writeerror=12:13/0C/00", "LBA:KEY/ASC/ASCQ"},  // sense keys end at F
      {"cd-r:a,notready=-1", "notready"},
      {"cd-r:a,opc=maybe", "opc must be fail or ok"},
      {"cd-r:a;cd-r:b;cd-r:c;cd-r:d;cd-r:e;cd-r:f;cd-r:g;cd-r:h;cd-r:i", "at most 8"},
  };
  for (const auto& c : cases) {
    std::vector<TDriveConfig> configs(1);
    std::string error;
    EXPECT_FALSE(ParseDriveList(c.list, &configs, &error)) << c.list;
    EXPECT_NE(error.find(c.expected), std::string::npos) << c.list << " -> " << error;
    EXPECT_TRUE(configs.empty());
  }
}

}  // namespace
}  // namespace zamo::emu
