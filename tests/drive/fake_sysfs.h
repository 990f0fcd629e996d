// fake_sysfs.h: the SG_IO back end over a fake sysfs tree and /dev folder,
// with its ioctl and open(2) replaced. The fake ioctl records what it saw
// and answers INQUIRY with "VENDOR" / "DRIVE n"; `reply` answers the rest.
// The fake open opens the fake node for real (so descriptors can be checked
// for being closed), unless `refuse_open` names an errno for its flags.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <scsi/sg.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "burner/drive/linux_sg.h"
#include "burner/drive/transport.h"
#include "tests/drive/fake_backend.h"
#include "tests/support/temp_dir.h"

namespace zamo::test {

// What the fake ioctl saw of one request.
struct SeenIo {
  int fd;
  int access_mode;
  std::vector<uint8_t> cdb;
  int direction;
  unsigned length;
  void* buffer;
  unsigned sense_max;
  unsigned timeout;
};

// One call of the fake open.
struct SeenOpen {
  std::string node;
  int flags;
  int fd;  // -1 when refused
};

class SgFixture : public ::testing::Test {
 protected:
  void SetUp() override { transport::ReleaseHandles = true; }
  void TearDown() override {
    transport::AspiUnload();
    transport::ReleaseHandles = true;
  }

  // An sr node whose sysfs "device" link ends in `address` ("" for none).
  void AddNode(const std::string& name, const std::string& address) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::path(root_.path()) / "sys/class/block" / name;
    fs::create_directories(dir);
    if (!address.empty()) {
      const fs::path target = fs::path(root_.path()) / "sys/devices/host/target" / address;
      fs::create_directories(target);
      fs::create_directory_symlink(target, dir / "device");
    }
    fs::create_directories(root_ / "dev");
    WriteFile(root_ / ("dev/" + name), "");
  }
  // A file under <sysfs>/class/block/<name>/ ("queue/max_sectors_kb").
  void AddSysfs(const std::string& name, const std::string& file, const std::string& text) {
    const std::filesystem::path path = std::filesystem::path(root_ / ("sys/class/block/" + name)) / file;
    std::filesystem::create_directories(path.parent_path());
    WriteFile(path.string(), text);
  }
  std::string Node(const std::string& name) { return root_ / ("dev/" + name); }

  std::unique_ptr<TLinuxSgBackEnd> Make() {
    return std::make_unique<TLinuxSgBackEnd>(
        root_ / "sys", root_ / "dev",
        [this](int fd, sg_io_hdr_t* hdr) {
          SeenIo io{fd, fcntl(fd, F_GETFL) & O_ACCMODE,
                    std::vector<uint8_t>(hdr->cmdp, hdr->cmdp + hdr->cmd_len), hdr->dxfer_direction, hdr->dxfer_len,
                    hdr->dxferp, hdr->mx_sb_len, hdr->timeout};
          seen.push_back(io);
          if (io.cdb[0] == 0x12) {
            const std::vector<uint8_t> data = MakeInquiry(5, "VENDOR", "DRIVE " + std::to_string(seen.size()), "1.00");
            std::memcpy(hdr->dxferp, data.data(), std::min<size_t>(hdr->dxfer_len, data.size()));
            return 0;
          }
          return reply ? reply(hdr) : 0;
        },
        [this](const std::string& node, int flags) {
          const int refused = refuse_open ? refuse_open(node, flags) : 0;
          const int fd = refused != 0 ? (errno = refused, -1) : ::open(node.c_str(), flags);
          const int saved = errno;
          opens.push_back({node, flags, fd});
          errno = saved;
          return fd;
        });
  }

  // Installs a scanned back end as the transport's and returns it (the
  // transport owns it).
  TLinuxSgBackEnd* Install() {
    auto back_end = Make();
    back_end->Scan();
    TLinuxSgBackEnd* raw = back_end.get();
    transport::Install(std::move(back_end));
    return raw;
  }

  TempDir root_;
  std::vector<SeenIo> seen;
  std::vector<SeenOpen> opens;
  std::function<int(sg_io_hdr_t*)> reply;
  // The errno an open of `node` with `flags` fails with, or 0.
  std::function<int(const std::string& node, int flags)> refuse_open;
};

}  // namespace zamo::test
