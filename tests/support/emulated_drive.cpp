#include "tests/support/emulated_drive.h"

#include <algorithm>
#include <utility>

#include "burner/drive/transport.h"
#include "emulator/emulated_backend.h"

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

}  // namespace zamo::test
