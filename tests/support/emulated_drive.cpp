#include "tests/support/emulated_drive.h"

#include <unistd.h>

#include <algorithm>
#include <utility>

#include "burner/drive/transport.h"
#include "emulator/emulated_backend.h"
#include "tests/support/temp_dir.h"

namespace zamo::test {

::testing::AssertionResult SelectFirstDrive(TSCSIDevice& device, std::unique_ptr<TAspiBackEnd> back_end,
                                            size_t drives) {
  if (back_end == nullptr) return ::testing::AssertionFailure() << "no back end";
  transport::Install(std::move(back_end));
  device.HostAdapterInquiry(0);
  device.ScanDevices();
  if (device.Devices.size() != drives) {
    return ::testing::AssertionFailure() << device.Devices.size() << " drives listed, " << drives << " expected";
  }
  device.SelectDevice(device.Devices[0]);
  if (device.HaId == 0xFE) return ::testing::AssertionFailure() << "\"" << device.Devices[0] << "\" not selected";
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult UseEmulatedDrives(TSCSIDevice& device, const std::string& config) {
  std::string error;
  std::unique_ptr<TAspiBackEnd> back_end = emu::CreateEmulatedBackEnd(config, &error);
  if (back_end == nullptr) return ::testing::AssertionFailure() << error;
  const auto drives = static_cast<size_t>(std::count(config.begin(), config.end(), ';')) + 1;
  return SelectFirstDrive(device, std::move(back_end), drives);
}

std::string KindTestName(std::string kind) {
  for (char& c : kind) c = c == '-' ? '_' : c == '+' ? 'P' : c;
  return kind;
}

std::string NearlyFullCd(const std::string& image, uint32_t free) {
  // 80 minutes of blocks; a closed CD session leaves its lead-out, the next
  // lead-in and the pre-gap (6750 + 4500 + 150 blocks) before the next track.
  constexpr uint32_t kCapacity = 359849, kGap = 6750 + 4500 + 150;
  const uint32_t next = kCapacity - free, size = next - kGap;
  WriteFile(image + ".state", "zamo-disc 1\nkind cd-r\nfinalized no\nformatted no\nrestricted-overwrite no\n"
                              "session 1 closed\ntrack 1 complete 0 " + std::to_string(size) + " " +
                                  std::to_string(size) + "\nsession 2 open\ntrack 2 invisible " +
                                  std::to_string(next) + " 0 0\n");
  WriteFile(image, "");
  EXPECT_EQ(truncate(image.c_str(), static_cast<off_t>(size) * 2048), 0);
  return image;
}

}  // namespace zamo::test
