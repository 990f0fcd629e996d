// linux_sg.h: the built-in pass-through back end ("PTASPI32"): every request
// block becomes one SG_IO ioctl on the drive's /dev/srN node.
//
// Drives are found through <sysfs>/class/block/sr*/device, whose link ends in
// the SCSI address "H:C:T:L" (adapter = H, target = T, LUN = L). A node whose
// address cannot be read is placed on one extra adapter after the real ones,
// with targets 0, 1, 2 ... in node order and LUN 0.
//
// A node that exists but cannot be opened (permissions, busy) stays in the
// table with its INQUIRY fields from sysfs and its reason (Access); a node
// that opens only for reading is kept read-only and says so. The largest
// transfer of each drive comes from its queue limits in sysfs.
//
// The ioctl and open(2) sit behind replaceable functions, and sysfs is read
// under a given root, so the building of requests, the mapping of their
// outcome and the access rules are tested without hardware.
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
  int transport_errno = 0;  // the ioctl itself failed (TSRB_ExecSCSICmd::TransportErrno)
};

// Maps an SG_IO result: `ioctl_result` and `error` (errno when it failed) and
// the filled header. SCSI status goes to the target status; a time-out
// (host DID_TIME_OUT, driver timeout, ETIMEDOUT) becomes host adapter status
// 9; other host and driver failures their nearest ASPI host adapter status; a
// CHECK CONDITION without sense data "request sense failed"; a failed ioctl
// status 4 with its errno (an unplugged drive also as a selection time-out).
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
  // Opens a device node as open(2) does (flags include O_CLOEXEC); returns
  // the descriptor, or -1 with errno set.
  using TOpen = std::function<int(const std::string& node, int flags)>;
  static int KernelOpen(const std::string& node, int flags);

  // One drive of the table.
  struct TDrive {
    uint8_t ha = 0, target = 0, lun = 0;
    std::string node;        // "/dev/sr0"
    std::string name;        // "sr0", its name under <sysfs>/class/block
    bool addressed = true;   // its SCSI address was read from sysfs
    int fd = -1;             // open handle, or -1
    uint8_t inquiry[40] = {};  // the first 40 bytes of its INQUIRY data
    // How the node opened last time: not at all (open_error, its errno), or
    // only for reading (read_only, write_error the errno of read/write).
    int open_error = 0;
    bool read_only = false;
    int write_error = 0;
    // Largest transfer of one command (0: unknown), and the part of it the
    // kernel itself enforces for SG_IO (max_hw_sectors_kb).
    uint32_t max_transfer_bytes = 0;
    uint32_t kernel_limit_bytes = 0;
    int exclusive = 0;  // nesting of BeginExclusive; fd is then the O_EXCL handle
  };

  explicit TLinuxSgBackEnd(std::string sysfs_root = "/sys", std::string dev_root = "/dev",
                           TSgIo sg_io = KernelSgIo, TOpen open = KernelOpen);
  ~TLinuxSgBackEnd() override;
  TLinuxSgBackEnd(const TLinuxSgBackEnd&) = delete;
  TLinuxSgBackEnd& operator=(const TLinuxSgBackEnd&) = delete;

  // Rebuilds the table: every sr node that answers INQUIRY, and every one
  // that cannot be opened (listed with its reason). Returns how many. Closes
  // every handle first, exclusive ones too.
  int Scan();

  const char* TransportName() const override { return "PTASPI32"; }
  uint32_t GetASPI32SupportInfo() override;
  uint32_t SendASPI32Command(void* srb) override;
  std::string DevicePath(uint8_t ha, uint8_t target, uint8_t lun) const override;
  void Finalize() override;
  // The drive's transfer limit and, when it could not be opened for writing
  // or at all, why (as its last open found it).
  TDeviceAccess Access(uint8_t ha, uint8_t target, uint8_t lun) const override;
  // Opens the node with O_EXCL (read/write, else read-only): the kernel
  // refuses it with EBUSY while the disc is mounted or another program holds
  // the drive exclusively, and while it is held such openers are refused.
  // The handle then carries every command, whatever ReleaseHandles says, and
  // is closed by the last EndExclusive (which lets the kernel unlock the
  // door). A shared handle held between commands is closed first.
  std::string BeginExclusive(uint8_t ha, uint8_t target, uint8_t lun) override;
  void EndExclusive(uint8_t ha, uint8_t target, uint8_t lun) override;

  // For tests and diagnostics.
  std::vector<TDrive> Drives() const;
  int AdapterCount() const;
  int OpenHandles() const;

 private:
  // One attempt at opening a node: read/write, else read-only.
  struct TOpened {
    int fd = -1;
    bool read_only = false;
    int error = 0;        // errno when neither mode opened
    int write_error = 0;  // errno of the read/write attempt
  };
  TOpened OpenNode(const std::string& node, int extra_flags) const;
  static void NoteAccess(TDrive& drive, const TOpened& opened);
  TDrive* FindLocked(uint8_t ha, uint8_t target, uint8_t lun);
  const TDrive* FindLocked(uint8_t ha, uint8_t target, uint8_t lun) const;
  bool ProbeLocked(TDrive& drive, int fd);
  // INQUIRY fields of a node that cannot be opened, as the kernel read them.
  void InquiryFromSysfs(TDrive& drive) const;
  void ReadTransferLimit(TDrive& drive) const;
  // A file under <sysfs>/class/block/<name>/, without its line end.
  bool ReadSysfs(const std::string& name, const std::string& file, std::string& text) const;
  void HostAdapterInquiryLocked(TSRB_HAInquiry& srb);
  void ExecuteLocked(TSRB_ExecSCSICmd& srb);
  void CloseAllLocked();

  const std::string sysfs_root_;
  const std::string dev_root_;
  const TSgIo sg_io_;
  const TOpen open_;
  mutable std::mutex mutex_;
  std::vector<TDrive> drives_;
  int adapter_count_ = 0;
};

}  // namespace zamo
