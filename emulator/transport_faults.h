// transport_faults.h: what the host's side of the cable does to a request
// before the drive sees it, as the Linux kernel's SG_IO does: refuse a
// command that the handle's mode does not allow (EPERM on a read-only
// handle), one that carries more than the device's transfer limit (EIO), fail
// one the transport cannot carry (ioerror=, ioerrorop=), or give up on one the
// drive does not answer in time (kerneltimeout=).
//
// Not thread-safe: the back end calls it under its own lock.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "burner/drive/srb.h"
#include "emulator/drive_config.h"

namespace zamo::emu {

struct TTransportVerdict {
  enum class TKind { kPass, kErrno, kKernelTimeout } kind = TKind::kPass;
  int error = 0;  // kErrno
};

class TTransportFaults {
 public:
  explicit TTransportFaults(const TDriveConfig& config) : config_(config) {}

  // The fate of a request with `cdb` and `data_length` bytes of data.
  TTransportVerdict Judge(std::span<const uint8_t> cdb, uint32_t data_length);
  // How the device is reached (TAspiBackEnd::Access).
  TDeviceAccess Access() const;

 private:
  const TDriveConfig& config_;
  int gone_ = 0;  // ENODEV or ENXIO once met: the device stays gone
};

// Whether the kernel lets a read-only handle send the command (its list of
// commands safe for reading: reads, queries, START STOP UNIT).
bool SafeForReadOnlyHandle(uint8_t opcode);

// Fills a request the transport failed: SS_ERR with the host adapter status
// the SG_IO back end gives the same failure, no sense data, the errno in
// TransportErrno (0 for a kernel time-out, which is no failed ioctl).
void FillTransportFailure(TSRB_ExecSCSICmd* srb, const TTransportVerdict& verdict);

}  // namespace zamo::emu
