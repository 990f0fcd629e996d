// srb.h: the request blocks that travel through the command gate, in the
// layout of the ASPI for Win32 interface, and their codes. Every back end
// (Linux SG_IO pass-through, the emulated recorder, a test's fake) offers the
// same two entry points over these records.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

namespace zamo {

// Request codes (byte 0 of every request block).
constexpr uint8_t SC_HA_INQUIRY = 0x00;
constexpr uint8_t SC_GET_DEV_TYPE = 0x01;
constexpr uint8_t SC_EXEC_SCSI_CMD = 0x02;
constexpr uint8_t SC_ABORT_SRB = 0x03;
constexpr uint8_t SC_GET_DISK_INFO = 0x06;

// Request status (SRB_Status).
constexpr uint8_t SS_PENDING = 0x00;
constexpr uint8_t SS_COMP = 0x01;
constexpr uint8_t SS_ABORTED = 0x02;
constexpr uint8_t SS_ABORT_FAIL = 0x03;
constexpr uint8_t SS_ERR = 0x04;
constexpr uint8_t SS_INVALID_CMD = 0x80;
constexpr uint8_t SS_INVALID_HA = 0x81;
constexpr uint8_t SS_NO_DEVICE = 0x82;
constexpr uint8_t SS_INVALID_SRB = 0xE0;
constexpr uint8_t SS_BUFFER_ALIGN = 0xE1;
constexpr uint8_t SS_NO_ASPI = 0xE2;  // also ExecuteCommand's "nothing was sent"
constexpr uint8_t SS_ASPI_IS_BUSY = 0xE5;
constexpr uint8_t SS_BUFFER_TO_BIG = 0xE6;

// Request flags.
constexpr uint8_t SRB_DIR_IN = 0x08;
constexpr uint8_t SRB_DIR_OUT = 0x10;
constexpr uint8_t SRB_EVENT_NOTIFY = 0x40;
// The direction flags the command set uses (data in / out / none, always
// with completion notification).
constexpr uint8_t kFlagsIn = 0x48;
constexpr uint8_t kFlagsOut = 0x50;
constexpr uint8_t kFlagsNone = 0x40;

// Host adapter status (SRB_HaStat).
constexpr uint8_t HASTAT_OK = 0x00;
constexpr uint8_t HASTAT_TIMEOUT = 0x09;
constexpr uint8_t HASTAT_COMMAND_TIMEOUT = 0x0B;
constexpr uint8_t HASTAT_MESSAGE_REJECT = 0x0D;
constexpr uint8_t HASTAT_BUS_RESET = 0x0E;
constexpr uint8_t HASTAT_PARITY_ERROR = 0x0F;
constexpr uint8_t HASTAT_REQUEST_SENSE_FAILED = 0x10;
constexpr uint8_t HASTAT_SEL_TO = 0x11;
constexpr uint8_t HASTAT_DO_DU = 0x12;
constexpr uint8_t HASTAT_BUS_FREE = 0x13;

// SCSI status (SRB_TargStat).
constexpr uint8_t STATUS_GOOD = 0x00;
constexpr uint8_t STATUS_CHKCOND = 0x02;
constexpr uint8_t STATUS_BUSY = 0x08;
constexpr uint8_t STATUS_RESCONF = 0x18;
constexpr uint8_t STATUS_QUEUE_FULL = 0x28;

constexpr int kSenseAreaSize = 33;  // SENSE_LEN + 2 bytes of the ASPI record
constexpr uint8_t kSenseLength = 24;

// The completion event of a request (a manual-reset event). The gate creates
// it when flag 0x40 is set; a back end that completes a request later sets it.
class TCompletionEvent {
 public:
  void Set() {
    std::lock_guard<std::mutex> lock(mutex_);
    signaled_ = true;
    cv_.notify_all();
  }
  // Waits at most `ms` milliseconds; true when the event was set.
  bool Wait(int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return signaled_; });
  }
  bool IsSet() {
    std::lock_guard<std::mutex> lock(mutex_);
    return signaled_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool signaled_ = false;
};

// SRB_ExecSCSICmd: one SCSI command. Callers zero the whole record (`{}`),
// then fill the flags, the CDB length and bytes and, with data, the buffer.
struct TSRB_ExecSCSICmd {
  uint8_t SRB_Cmd = 0;        // SC_EXEC_SCSI_CMD (set by ExecuteCommand)
  uint8_t SRB_Status = 0;     // SS_*
  uint8_t SRB_HaId = 0;       // host adapter (set by ExecuteCommand)
  uint8_t SRB_Flags = 0;      // SRB_DIR_IN / SRB_DIR_OUT / SRB_EVENT_NOTIFY
  uint32_t SRB_Hdr_Rsvd = 0;
  uint8_t SRB_Target = 0;     // set by ExecuteCommand
  uint8_t SRB_Lun = 0;        // set by ExecuteCommand
  uint16_t SRB_Rsvd1 = 0;
  uint32_t SRB_BufLen = 0;    // bytes to transfer
  uint8_t* SRB_BufPointer = nullptr;
  uint8_t SRB_SenseLen = 0;   // always 24 (set by ExecuteCommand)
  uint8_t SRB_CDBLen = 0;     // 6, 10 or 12
  uint8_t SRB_HaStat = 0;     // HASTAT_*
  uint8_t SRB_TargStat = 0;   // STATUS_*
  TCompletionEvent* SRB_PostProc = nullptr;  // completion event with flag 0x40
  // The reserved area of the ASPI record carries, on this platform, the
  // caller's timeout so that a back end can bound the command itself.
  uint32_t TimeoutMs = 0;
  // And the errno of a command the transport could not carry (the device
  // gone, access refused, an input/output error below SCSI); 0 otherwise.
  int32_t TransportErrno = 0;
  uint8_t SRB_Rsvd2[12] = {};
  uint8_t CDBByte[16] = {};
  uint8_t SenseArea[kSenseAreaSize] = {};
};

// SRB_HAInquiry: host adapter inquiry (request code 0).
struct TSRB_HAInquiry {
  uint8_t SRB_Cmd = 0;
  uint8_t SRB_Status = 0;
  uint8_t SRB_HaId = 0;
  uint8_t SRB_Flags = 0;
  uint32_t SRB_Hdr_Rsvd = 0;
  uint8_t HA_Count = 0;
  uint8_t HA_SCSI_ID = 0;
  char HA_ManagerId[16] = {};
  char HA_Identifier[16] = {};
  uint8_t HA_Unique[16] = {};
  uint16_t HA_Rsvd1 = 0;
};

// SRB_GDEVBlock: device type of an address (request code 1).
struct TSRB_GDEVBlock {
  uint8_t SRB_Cmd = 0;
  uint8_t SRB_Status = 0;
  uint8_t SRB_HaId = 0;
  uint8_t SRB_Flags = 0;
  uint32_t SRB_Hdr_Rsvd = 0;
  uint8_t SRB_Target = 0;
  uint8_t SRB_Lun = 0;
  uint8_t SRB_DeviceType = 0;
  uint8_t SRB_Rsvd1 = 0;
};

// SRB_Abort: abort a pending request (request code 3). When the back end
// returns from it, it never touches that request or its buffer again.
struct TSRB_Abort {
  uint8_t SRB_Cmd = 0;
  uint8_t SRB_Status = 0;
  uint8_t SRB_HaId = 0;
  uint8_t SRB_Flags = 0;
  uint32_t SRB_Hdr_Rsvd = 0;
  TSRB_ExecSCSICmd* SRB_ToAbort = nullptr;
};

// SRB_GetDiskInfo: BIOS drive number of a device (request code 6).
struct TSRB_GetDiskInfo {
  uint8_t SRB_Cmd = 0;
  uint8_t SRB_Status = 0;
  uint8_t SRB_HaId = 0;
  uint8_t SRB_Flags = 0;
  uint32_t SRB_Hdr_Rsvd = 0;
  uint8_t SRB_Target = 0;
  uint8_t SRB_Lun = 0;
  uint8_t SRB_DriveFlags = 0;
  uint8_t SRB_Int13HDriveInfo = 0;
  uint8_t SRB_Heads = 0;
  uint8_t SRB_Sectors = 0;
  uint8_t SRB_Rsvd1[10] = {};
};

// A back end: the two entry points. SendASPI32Command dispatches on the
// request code in byte 0 of `srb`. An execute request either completes before
// the call returns (status other than SS_PENDING) or stays pending and is
// completed later by setting its fields and then its event; an abort request
// for it guarantees that the back end lets go of it.
// How a back end reaches one device: the largest transfer one command may
// carry, and whether it could only be opened for reading (and why).
struct TDeviceAccess {
  uint32_t max_transfer_bytes = 0;  // 0: no limit known
  bool read_only = false;
  std::string problem;  // French: why the device is read-only or unusable; empty when all is well
};

class TAspiBackEnd {
 public:
  virtual ~TAspiBackEnd() = default;
  virtual const char* TransportName() const = 0;
  virtual uint32_t GetASPI32SupportInfo() = 0;
  virtual uint32_t SendASPI32Command(void* srb) = 0;
  // One line per device this back end serves: the device node (/dev/sr0,
  // emu0) of the address, or empty when none is known.
  virtual std::string DevicePath(uint8_t ha, uint8_t target, uint8_t lun) const = 0;
  // Closes every handle the back end holds open (process end, reinitialise).
  virtual void Finalize() {}
  // How the device at the address is reached.
  virtual TDeviceAccess Access(uint8_t /*ha*/, uint8_t /*target*/, uint8_t /*lun*/) const { return {}; }
  // Holds the device for this process alone until EndExclusive: its handle
  // is opened once, exclusively, and kept for every command whatever
  // transport::ReleaseHandles says. Calls nest; the last EndExclusive lets
  // go. Returns empty when held, else why not (French). By default there is
  // nothing to hold.
  virtual std::string BeginExclusive(uint8_t /*ha*/, uint8_t /*target*/, uint8_t /*lun*/) { return {}; }
  virtual void EndExclusive(uint8_t /*ha*/, uint8_t /*target*/, uint8_t /*lun*/) {}
};

}  // namespace zamo
