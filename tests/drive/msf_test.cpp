// msf_test.cpp: sector counts to and from minutes, seconds and frames.
#include <gtest/gtest.h>

#include "burner/drive/scsi_device.h"

namespace zamo {
namespace {

using Msf = TSCSIDevice::TMsf;

TEST(LbaToMsf, SeventyFiveFramesASecondAndNoLeadInOffset) {
  EXPECT_EQ(TSCSIDevice::LbaToMsf(0), (Msf{0, 0, 0}));
  EXPECT_EQ(TSCSIDevice::LbaToMsf(74), (Msf{0, 0, 74}));
  EXPECT_EQ(TSCSIDevice::LbaToMsf(75), (Msf{0, 1, 0}));
  EXPECT_EQ(TSCSIDevice::LbaToMsf(150), (Msf{0, 2, 0})) << "no 150-sector offset is added";
  EXPECT_EQ(TSCSIDevice::LbaToMsf(4499), (Msf{0, 59, 74}));
  EXPECT_EQ(TSCSIDevice::LbaToMsf(4500), (Msf{1, 0, 0}));
  EXPECT_EQ(TSCSIDevice::LbaToMsf(359849), (Msf{79, 57, 74}));  // an 80-minute disc's last sector
}

TEST(LbaToMsf, GoesBackToTheSameSectorThroughMsfToLba) {
  for (uint32_t sector : {0u, 1u, 149u, 150u, 4500u, 123456u, 359999u}) {
    const Msf msf = TSCSIDevice::LbaToMsf(sector);
    EXPECT_EQ(TSCSIDevice::MsfToLba(0, msf.Minute, msf.Second, msf.Frame), sector) << sector;
  }
}

}  // namespace
}  // namespace zamo
