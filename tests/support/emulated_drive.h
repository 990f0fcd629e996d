// emulated_drive.h: a component on a back end for a test, the way the
// programs reach a drive: the back end installed as the transport, the
// drives it offers listed, the first one selected. The test unloads the
// transport at its end (transport::AspiUnload).
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "burner/drive/scsi_device.h"
#include "burner/drive/srb.h"

namespace zamo::test {

// Installs `back_end` as the transport, lists its drives on `device` and
// selects the first one. Fails, saying why, when there is no back end, when
// it lists another number of drives than `drives`, or when the selection
// does not take.
::testing::AssertionResult SelectFirstDrive(TSCSIDevice& device, std::unique_ptr<TAspiBackEnd> back_end,
                                            size_t drives = 1);

// The emulated recorders of `config` ("KIND:IMAGE[,option=value...]", ";"
// between drives) as the transport, the first one selected on `device`;
// every configured drive must be listed.
::testing::AssertionResult UseEmulatedDrives(TSCSIDevice& device, const std::string& config);

// Writes the emulated CD-R `image` (and its state file) as a disc whose
// closed first session leaves `free` blocks before the 80-minute lead-out;
// returns `image`.
std::string NearlyFullCd(const std::string& image, uint32_t free);

// A drive kind as a test name: "dvd+r-dl" gives "dvdPr_dl".
std::string KindTestName(std::string kind);
// The name of a test instantiated over drive kinds (INSTANTIATE_TEST_SUITE_P).
struct KindParamName {
  template <typename Kind>
  std::string operator()(const ::testing::TestParamInfo<Kind>& info) const {
    return KindTestName(info.param);
  }
};

}  // namespace zamo::test
