// emulated_recorders.h: the emulated recorders a window test starts the
// program over, set as a user sets them (ZAMO_EMULATED_DRIVES), with no
// real drive of this machine taking part.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "burner/drive/transport.h"

namespace zamo::test {

// `drives` holds "KIND[,options]", recorded on `dir`/disc<i>.img, or
// "KIND:IMAGE[,options]" naming its own image file.
inline void UseEmulatedRecorders(const std::string& dir, const std::vector<std::string>& drives) {
  std::string list;
  for (size_t i = 0; i < drives.size(); ++i) {
    std::string drive = drives[i];
    const size_t comma = drive.find(',');
    if (drive.substr(0, comma).find(':') == std::string::npos) {
      drive = drive.substr(0, comma) + ":" + dir + "/disc" + std::to_string(i) + ".img" +
              (comma == std::string::npos ? "" : drive.substr(comma));
    }
    list += (i ? ";" : "") + drive;
  }
  setenv("ZAMO_EMULATED_DRIVES", list.c_str(), 1);
  transport::SetPassThroughFactory([] { return std::unique_ptr<TAspiBackEnd>(); });
}

}  // namespace zamo::test
