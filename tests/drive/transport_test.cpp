// Choosing the back end: the pass-through first when asked for and it finds a
// drive, else the loadable one, else the pass-through, scanning once.
#include "burner/drive/transport.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "burner/drive/scsi_device.h"
#include "tests/drive/fake_backend.h"

namespace zamo {
namespace {

// Counts how it is let go.
struct CountingFake : test::TFakeBackEnd {
  CountingFake(int& finalized, int& destroyed) : finalized_(finalized), destroyed_(destroyed) {}
  ~CountingFake() override { ++destroyed_; }
  void Finalize() override { ++finalized_; }
  int& finalized_;
  int& destroyed_;
};

class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    transport::SetPassThroughFactory([this]() -> std::unique_ptr<TAspiBackEnd> {
      ++scans;
      return drive_found ? Fake("PTASPI32") : nullptr;
    });
    transport::SetLibraryLoader([this](const std::string& path) -> std::unique_ptr<TAspiBackEnd> {
      loads.push_back(path);
      if (library_throws) throw std::runtime_error("broken library");
      return library_present ? Fake("ZAMOEMU") : nullptr;
    });
  }
  void TearDown() override {
    transport::AspiUnload();
    transport::SetPassThroughFactory(nullptr);
    transport::SetLibraryLoader(nullptr);
  }
  std::unique_ptr<TAspiBackEnd> Fake(const char* name) {
    auto fake = std::make_unique<CountingFake>(finalized, destroyed);
    fake->name = name;
    fake->AddDevice(0, 1, 0, test::MakeInquiry(5, "EMU", "RECORDER", "1.0"), "emu0");
    made.push_back(fake.get());
    return fake;
  }

  bool drive_found = false, library_present = false, library_throws = false;
  int scans = 0, finalized = 0, destroyed = 0;
  std::vector<std::string> loads;
  std::vector<test::TFakeBackEnd*> made;
};

TEST_F(TransportTest, PassThroughFirstWhenPreferredAndAvailable) {
  drive_found = library_present = true;
  ASSERT_TRUE(transport::AspiInitialize(true, ""));
  EXPECT_EQ(transport::TransportName(), "PTASPI32");
  EXPECT_TRUE(loads.empty());
  EXPECT_EQ(made.back()->SupportInfoCalls(), 1);
}

TEST_F(TransportTest, LibraryWhenNoDriveIsFoundAndNoSecondScan) {
  library_present = true;
  ASSERT_TRUE(transport::AspiInitialize(true, "drives.cfg"));
  EXPECT_EQ(transport::TransportName(), "ZAMOEMU");
  EXPECT_EQ(loads, std::vector<std::string>{"drives.cfg"});
  EXPECT_EQ(scans, 1);

  library_present = false;
  EXPECT_FALSE(transport::AspiInitialize(true, ""));
  EXPECT_EQ(scans, 2) << "one scan per initialisation";
  EXPECT_FALSE(transport::Initialized());
  EXPECT_EQ(transport::BackEnd(), nullptr);
}

TEST_F(TransportTest, LibraryFirstOtherwiseThenPassThrough) {
  drive_found = true;
  ASSERT_TRUE(transport::AspiInitialize(false, ""));
  EXPECT_EQ(transport::TransportName(), "PTASPI32");
  EXPECT_EQ(loads.size(), 1u);
  EXPECT_EQ(scans, 1);

  library_throws = true;  // a library that fails to load counts as none
  ASSERT_TRUE(transport::AspiInitialize(false, ""));
  EXPECT_EQ(transport::TransportName(), "PTASPI32");
}

TEST_F(TransportTest, ReinitialiseStartsTheSameChoiceAndLetsTheOldOneGo) {
  library_present = true;
  ASSERT_TRUE(transport::AspiInitialize(false, "drives.cfg"));
  transport::AspiReinitialize();
  EXPECT_TRUE(transport::Initialized());
  EXPECT_EQ(loads, (std::vector<std::string>{"drives.cfg", "drives.cfg"}));
  EXPECT_EQ(transport::BackEnd(), made.back());
  EXPECT_EQ(finalized, 1) << "the first back end closed its handles";
  EXPECT_EQ(destroyed, 1);

  transport::AspiUnload();
  EXPECT_EQ(finalized, 2);
  EXPECT_EQ(destroyed, 2);
  EXPECT_FALSE(transport::Initialized());
  EXPECT_EQ(transport::TransportName(), "");
}

TEST_F(TransportTest, InitializeAspiListsTheDevices) {
  library_present = true;
  TSCSIDevice device(nullptr);
  ASSERT_TRUE(device.InitializeASPI(true, ""));
  EXPECT_TRUE(device.ASPIInitialized());
  EXPECT_EQ(device.HostAdapterCount, 1);
  ASSERT_EQ(device.Devices.size(), 1u);
  EXPECT_EQ(device.Devices[0], "0:1:0,emu0: EMU     RECORDER        1.0 ");

  // A component created after the start lists the devices at once.
  TSCSIDevice later(nullptr);
  EXPECT_EQ(later.Devices, device.Devices);

  transport::AspiUnload();
  library_present = false;
  TSCSIDevice none(nullptr);
  EXPECT_FALSE(none.InitializeASPI(true, ""));
  EXPECT_TRUE(none.Devices.empty());
}

}  // namespace
}  // namespace zamo
