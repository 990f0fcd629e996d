// linux_sg.h: the built-in pass-through back end ("PTASPI32"): every request
// block becomes one SG_IO ioctl on the drive's /dev/srN node.
//
// Drives are found through <sysfs>/class/block/sr*/device, whose link ends in
// the SCSI address "H:C:T:L" (adapter = H, target = T, LUN = L). A node whose
// address cannot be read is placed on one extra adapter after the real ones,
// with targets 0, 1, 2 ... in node order and LUN 0.
//
// The ioctl itself sits behind one replaceable function, so the building of
// requests and the mapping of their outcome are tested without hardware.
//
// Thread safety: every entry point takes the back end's mutex; one SG_IO runs
// at a time.
#pragma once

#include <scsi/sg.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "burner/drive/srb.h"

namespace zamo {

// The outcome of one SG_IO as a request block reports it.
struct TSgOutcome {
  uint8_t status = SS_COMP;
  uint8_t ha_status = HASTAT_OK;
  uint8_t target_status = STATUS_GOOD;
};

// Maps an SG_IO result: `ioctl_result` and `error` (errno when it failed) and
// the filled header. SCSI status goes to the target status; a transport
// time-out (host DID_TIME_OUT or driver timeout) becomes host adapter status
// 9; other host and driver failures their nearest ASPI host adapter status;
// a failed ioctl status 4.
TSgOutcome MapSgResult(int ioctl_result, int error, const sg_io_hdr_t& hdr);

// The kernel allows this long at least for any command: a close or a full
// blank can take minutes. A longer request timeout is passed on as it is.
constexpr unsigned kMinimumSgTimeoutMs = 120000;

class TLinuxSgBackEnd final : public TAspiBackEnd {
 public:
  // Runs one SG_IO request on an open descriptor; returns the ioctl's result
  // and leaves errno set when it fails.
  using TSgIo = std::function<int(int fd, sg_io_hdr_t* hdr)>;
  static int KernelSgIo(int fd, sg_io_hdr_t* hdr);

  // One drive of the table.
  struct TDrive {
    uint8_t ha = 0, target = 0, lun = 0;
    std::string node;        // "/dev/sr0"
    bool addressed = true;   // its SCSI address was read from sysfs
    int fd = -1;             // open handle, or -1
    uint8_t inquiry[40] = {};  // the first 40 bytes of its INQUIRY data
  };

  explicit TLinuxSgBackEnd(std::string sysfs_root = "/sys", std::string dev_root = "/dev",
                           TSgIo sg_io = KernelSgIo);
  ~TLinuxSgBackEnd() override;
  TLinuxSgBackEnd(const TLinuxSgBackEnd&) = delete;
  TLinuxSgBackEnd& operator=(const TLinuxSgBackEnd&) = delete;

  // Rebuilds the table: every sr node that answers INQUIRY. Returns how many.
  int Scan();

  const char* TransportName() const override { return "PTASPI32"; }
  uint32_t GetASPI32SupportInfo() override;
  uint32_t SendASPI32Command(void* srb) override;
  std::string DevicePath(uint8_t ha, uint8_t target, uint8_t lun) const override;
  void Finalize() override;

  // For tests and diagnostics.
  std::vector<TDrive> Drives() const;
  int AdapterCount() const;
  int OpenHandles() const;

 private:
  TDrive* FindLocked(uint8_t ha, uint8_t target, uint8_t lun);
  bool ProbeLocked(TDrive& drive);
  void HostAdapterInquiryLocked(TSRB_HAInquiry& srb);
  void ExecuteLocked(TSRB_ExecSCSICmd& srb);
  void CloseAllLocked();

  const std::string sysfs_root_;
  const std::string dev_root_;
  const TSgIo sg_io_;
  mutable std::mutex mutex_;
  std::vector<TDrive> drives_;
  int adapter_count_ = 0;
};

}  // namespace zamo
