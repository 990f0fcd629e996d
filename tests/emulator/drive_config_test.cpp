// Parsing the emulated drive list (ZAMO_EMULATED_DRIVES, zamo-cli --emulate).
#include "emulator/drive_config.h"

#include <gtest/gtest.h>

#include <cerrno>

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

TEST(ParseDriveList, ReadsTheSpeedBufferTimingAndFaultOptions) {
  std::vector<TDriveConfig> configs;
  std::string error;
  ASSERT_TRUE(ParseDriveList("cd-rw:a,speed=16x,buffer=512K,timing=real,blank=0.25,fullblank=90,removeat=1234;"
                             "dvd-r:b,speed=4,buffer=3M,format=8,close=2,sync=1;dvd+rw:c",
                             &configs, &error))
      << error;
  ASSERT_EQ(configs.size(), 3u);
  EXPECT_EQ(configs[0].speed_x, 16u);
  EXPECT_EQ(configs[0].buffer_bytes, 512u * 1024);
  EXPECT_TRUE(configs[0].real_timing);
  EXPECT_EQ(configs[0].blank_time, std::chrono::milliseconds(250));
  EXPECT_EQ(configs[0].full_blank_time, std::chrono::seconds(90));
  EXPECT_EQ(configs[0].remove_at, 1234u);
  EXPECT_EQ(configs[1].speed_x, 4u);
  EXPECT_EQ(configs[1].buffer_bytes, 3u * 1024 * 1024);
  EXPECT_FALSE(configs[1].real_timing);
  EXPECT_EQ(configs[1].format_time, std::chrono::seconds(8));
  EXPECT_EQ(configs[1].close_time, std::chrono::seconds(2));
  EXPECT_EQ(configs[1].sync_time, std::chrono::seconds(1));
  // Defaults: as fast as the host, a 2 MiB buffer, everything instant, nothing injected.
  EXPECT_EQ(configs[2].speed_x, 0u);
  EXPECT_EQ(configs[2].buffer_bytes, 2u * 1024 * 1024);
  EXPECT_FALSE(configs[2].real_timing);
  EXPECT_FALSE(configs[2].blank_time.has_value());
  EXPECT_FALSE(configs[2].remove_at.has_value());
  EXPECT_FALSE(configs[2].hang_opcode.has_value());

  for (const char* bad : {"speed=65", "speed=x", "buffer=16K", "buffer=2G", "buffer=12Q", "timing=slow",
                          "blank=-1", "close=soon", "removeat=-3", "hang=ZZ"}) {
    EXPECT_FALSE(ParseDriveList(std::string("cd-rw:a,") + bad, &configs, &error)) << bad;
    const std::string name(bad, std::string(bad).find('='));
    EXPECT_TRUE(error.substr(error.find(")\u00A0: ") + 5).starts_with(name)) << bad << " -> " << error;  // names the option
  }
}

TEST(ParseDriveList, ReadsTheRulesModelAndTransportOptions) {
  std::vector<TDriveConfig> configs;
  std::string error;
  ASSERT_TRUE(ParseDriveList("dvd-r:a,model=modern,speed=drive,spinup=0.2,lenient=ecc/reserved,"
                             "ioerror=1000:EIO,ioerror=2000:ENODEV,ioerrorop=5b:EBUSY,kerneltimeout=35,"
                             "access=readonly,maxtransfer=64K;"
                             "cd-r:b,lenient=1,strict=tao;cd-r:c,lenient=all,strict=all;cd-r:d",
                             &configs, &error))
      << error;
  ASSERT_EQ(configs.size(), 4u);
  const TDriveConfig& a = configs[0];
  EXPECT_TRUE(a.modern);
  EXPECT_EQ(a.model, "VIRTUAL RECORDER");  // "modern" is a generation, not a product name
  EXPECT_TRUE(a.speed_from_host);
  EXPECT_EQ(a.speed_x, 0u);
  EXPECT_EQ(a.spin_up, std::chrono::milliseconds(200));
  EXPECT_FALSE(a.rules.Has(TRule::kEccPadding));
  EXPECT_FALSE(a.rules.Has(TRule::kReservedTrackFull));
  EXPECT_TRUE(a.rules.Has(TRule::kDaoNeedsReservation));
  ASSERT_EQ(a.io_errors.size(), 2u);
  EXPECT_EQ(a.io_errors[0].lba, 1000u);
  EXPECT_EQ(a.io_errors[0].error, EIO);
  EXPECT_EQ(a.io_errors[1].error, ENODEV);
  ASSERT_EQ(a.opcode_errors.size(), 1u);
  EXPECT_EQ(a.opcode_errors[0].opcode, 0x5B);
  EXPECT_EQ(a.opcode_errors[0].error, EBUSY);
  EXPECT_EQ(a.kernel_timeout, 0x35);
  EXPECT_TRUE(a.read_only_access);
  EXPECT_EQ(a.max_transfer_bytes, 64u * 1024);

  TRuleSet only_tao = TRuleSet::None();
  only_tao.Set(TRule::kTaoTrackEnd, true);
  EXPECT_EQ(configs[1].rules, only_tao);  // lenient=1 relaxes all, strict= enforces again in order
  EXPECT_EQ(configs[2].rules, TRuleSet::All());
  // By default every rule holds but those the component does not obey yet.
  EXPECT_EQ(configs[3].rules, TRuleSet::Default());
  for (const TRuleAwaitingComponent& awaiting : RulesAwaitingComponent())
    EXPECT_FALSE(configs[3].rules.Has(awaiting.rule)) << RuleName(awaiting.rule);
  EXPECT_EQ(configs[3].spin_up, kDefaultSpinUp);
  EXPECT_FALSE(configs[3].modern || configs[3].speed_from_host || configs[3].read_only_access);
  EXPECT_EQ(configs[3].max_transfer_bytes, 0u);

  for (const char* bad : {"lenient=everything", "strict=ecc/zip", "ioerror=12", "ioerror=12:EWHAT",
                          "ioerrorop=ZZ:EIO", "kerneltimeout=100", "access=some", "maxtransfer=1K", "spinup=later",
                          "speed=host"}) {
    EXPECT_FALSE(ParseDriveList(std::string("cd-rw:a,") + bad, &configs, &error)) << bad;
    const std::string name(bad, std::string(bad).find('='));
    EXPECT_TRUE(error.substr(error.find(")\u00A0: ") + 5).starts_with(name)) << bad << " -> " << error;
  }
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
      {"", "aucun graveur émulé"},
      {"cd-r", "TYPE:FICHIER-IMAGE"},
      {"cd-r:a;bluray:b", "graveur émulé 2 («\u00A0bluray:b\u00A0»)\u00A0: type inconnu «\u00A0bluray\u00A0» (types\u00A0: cd-rom, cd-r,"},
      {"cd-r:", "le nom du fichier image manque"},
      {"cd-r:a,colour=red", "option inconnue «\u00A0colour\u00A0»"},
      {"cd-r:a,tray", "attend une valeur"},
      {"cd-r:a,model=A MODEL NAME TOO LONG", "1 à 16 caractères ASCII imprimables"},
      {"cd-r:a,writeerror=12:3/0C", "LBA:KEY/ASC/ASCQ"},
      {"cd-r:a,writeerror=12:13/0C/00", "LBA:KEY/ASC/ASCQ"},  // sense keys end at F
      {"cd-r:a,notready=-1", "notready"},
      {"cd-r:a,opc=maybe", "opc attend fail ou ok"},
      {"cd-r:a;cd-r:b;cd-r:c;cd-r:d;cd-r:e;cd-r:f;cd-r:g;cd-r:h;cd-r:i", "au plus 8"},
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
