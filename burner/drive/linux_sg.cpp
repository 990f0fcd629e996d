// linux_sg.cpp: the pass-through back end over SG_IO on /dev/srN.
#include "burner/drive/linux_sg.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "burner/drive/messages.h"
#include "burner/drive/sense.h"
#include "burner/drive/transport.h"
#include "burner/platform/str_format.h"

namespace zamo {

namespace {

// Host byte of an SG_IO header (the kernel's DID_* values).
constexpr uint16_t kDidOk = 0x00, kDidNoConnect = 0x01, kDidBusBusy = 0x02, kDidTimeOut = 0x03,
                   kDidBadTarget = 0x04, kDidAbort = 0x05, kDidParity = 0x06, kDidReset = 0x08,
                   kDidImmRetry = 0x0C, kDidRequeue = 0x0D, kDidTransportDisrupted = 0x0E,
                   kDidTransportFailfast = 0x0F;
// Driver byte, low nibble (the kernel's DRIVER_* values).
constexpr uint16_t kDriverOk = 0x00, kDriverBusy = 0x01, kDriverTimeout = 0x06, kDriverSense = 0x08;

constexpr uint8_t kInquiry = 0x12;
constexpr unsigned kProbeLength = 96;
constexpr size_t kStoredInquiry = 40;
constexpr uint32_t kAnsweredInquiry = 36;  // what an INQUIRY gets from the table

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// "1:0:0:0" -> host, channel, target, LUN; false unless all four fit a byte.
bool ParseScsiAddress(const std::string& text, unsigned& host, unsigned& target, unsigned& lun) {
  unsigned channel = 0;
  int consumed = 0;
  if (std::sscanf(text.c_str(), "%u:%u:%u:%u%n", &host, &channel, &target, &lun, &consumed) != 4) return false;
  if (static_cast<size_t>(consumed) != text.size()) return false;
  return host <= 0xFF && target <= 0xFF && lun <= 0xFF;
}

// sr nodes in numeric order (sr2 before sr10); -1 for other names.
long SrNumber(const std::string& name) {
  if (name.size() < 3 || name.compare(0, 2, "sr") != 0) return -1;
  long n = 0;
  for (size_t i = 2; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9' || n > 1000000) return -1;
    n = n * 10 + (name[i] - '0');
  }
  return n;
}

void PutName(char (&field)[16], const std::string& text) {
  std::memset(field, 0, sizeof field);
  std::memcpy(field, text.data(), std::min(text.size(), sizeof field));
}

// A sysfs number (its line without the line end); false for anything else,
// `value` then being unspecified.
bool ParseCount(const std::string& text, uint64_t& value) {
  if (text.empty() || text.size() > 18) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return true;
}

// An INQUIRY text field as the kernel shows it in sysfs: padded with spaces
// to its width, or cut to it.
void PutField(uint8_t* field, size_t width, const std::string& text) {
  std::memset(field, ' ', width);
  std::memcpy(field, text.data(), std::min(text.size(), width));
}

}  // namespace

TSgOutcome MapSgResult(int ioctl_result, int error, const sg_io_hdr_t& hdr) {
  TSgOutcome out;
  if (ioctl_result < 0) {
    // Nothing came back from the drive: the errno is the whole story. The
    // host adapter status is its nearest ASPI word, for readers of the block.
    out.status = SS_ERR;
    out.transport_errno = error != 0 ? error : EIO;
    switch (out.transport_errno) {
      case ENODEV:
      case ENXIO:
      case ENOENT:
        out.ha_status = HASTAT_SEL_TO;  // the node went away
        break;
      case ETIMEDOUT:
        out.ha_status = HASTAT_TIMEOUT;
        break;
      case EIO:
        out.ha_status = HASTAT_BUS_FREE;
        break;
      default:
        break;
    }
    return out;
  }
  const uint16_t host = hdr.host_status;
  const uint16_t driver = hdr.driver_status & 0x0F;
  out.target_status = hdr.status;
  if (host == kDidTimeOut || driver == kDriverTimeout) {
    out.status = SS_ERR;
    out.ha_status = HASTAT_TIMEOUT;
    return out;
  }
  switch (host) {
    case kDidOk:
      break;
    case kDidNoConnect:
    case kDidBadTarget:
    case kDidTransportFailfast:
      out.ha_status = HASTAT_SEL_TO;
      break;
    case kDidBusBusy:
    case kDidImmRetry:
    case kDidRequeue:
      // "Try again later": reported as a busy target so that callers retry.
      out.target_status = STATUS_BUSY;
      break;
    case kDidAbort:
      out.ha_status = HASTAT_COMMAND_TIMEOUT;
      break;
    case kDidParity:
      out.ha_status = HASTAT_PARITY_ERROR;
      break;
    case kDidReset:
    case kDidTransportDisrupted:
      out.ha_status = HASTAT_BUS_RESET;
      break;
    default:
      out.ha_status = HASTAT_BUS_FREE;  // the transport lost the command
      break;
  }
  if (driver == kDriverBusy) out.target_status = STATUS_BUSY;
  const bool driver_failed = driver != kDriverOk && driver != kDriverSense && driver != kDriverBusy;
  if (driver_failed && out.ha_status == HASTAT_OK && out.target_status == STATUS_GOOD) {
    out.ha_status = HASTAT_BUS_FREE;
  }
  // A CHECK CONDITION whose sense data never arrived says nothing of the
  // drive's state: reported as the failed request for sense it is.
  if (out.ha_status == HASTAT_OK && hdr.status == STATUS_CHKCOND && hdr.sb_len_wr == 0) {
    out.ha_status = HASTAT_REQUEST_SENSE_FAILED;
  }
  if (host != kDidOk || out.ha_status != HASTAT_OK || out.target_status != STATUS_GOOD) {
    out.status = SS_ERR;
  }
  return out;
}

int TLinuxSgBackEnd::KernelSgIo(int fd, sg_io_hdr_t* hdr) { return ::ioctl(fd, SG_IO, hdr); }

int TLinuxSgBackEnd::KernelOpen(const std::string& node, int flags) { return ::open(node.c_str(), flags); }

TLinuxSgBackEnd::TLinuxSgBackEnd(std::string sysfs_root, std::string dev_root, TSgIo sg_io, TOpen open)
    : sysfs_root_(std::move(sysfs_root)),
      dev_root_(std::move(dev_root)),
      sg_io_(std::move(sg_io)),
      open_(std::move(open)) {}

// Non-blocking, so that a drive without a disc opens too; read/write for
// recording, read-only when that is all the node allows.
TLinuxSgBackEnd::TOpened TLinuxSgBackEnd::OpenNode(const std::string& node, int extra_flags) const {
  TOpened opened;
  const int flags = O_NONBLOCK | O_CLOEXEC | extra_flags;
  errno = 0;
  opened.fd = open_(node, O_RDWR | flags);
  if (opened.fd >= 0) return opened;
  opened.write_error = errno != 0 ? errno : EIO;
  errno = 0;
  opened.fd = open_(node, O_RDONLY | flags);
  if (opened.fd >= 0) {
    opened.read_only = true;
    return opened;
  }
  opened.error = errno != 0 ? errno : EIO;
  return opened;
}

void TLinuxSgBackEnd::NoteAccess(TDrive& drive, const TOpened& opened) {
  drive.open_error = opened.error;
  drive.read_only = opened.fd >= 0 && opened.read_only;
  drive.write_error = opened.read_only ? opened.write_error : 0;
}

bool TLinuxSgBackEnd::ReadSysfs(const std::string& name, const std::string& file, std::string& text) const {
  std::ifstream in(std::filesystem::path(sysfs_root_) / "class" / "block" / name / file);
  if (!in || !std::getline(in, text)) return false;
  return true;
}

void TLinuxSgBackEnd::InquiryFromSysfs(TDrive& drive) const {
  std::string text;
  // The sr driver takes CD/DVD (5) and write-once (4) devices only.
  uint64_t type = 5;
  if (uint64_t value = 0; ReadSysfs(drive.name, "device/type", text) && ParseCount(text, value) && value <= 0x1F) {
    type = value;
  }
  std::memset(drive.inquiry, 0, sizeof drive.inquiry);
  drive.inquiry[0] = static_cast<uint8_t>(type);
  drive.inquiry[1] = 0x80;  // removable medium
  drive.inquiry[3] = 0x02;  // response data format 2
  drive.inquiry[4] = 31;    // 36 bytes in all
  PutField(drive.inquiry + 8, 8, ReadSysfs(drive.name, "device/vendor", text) ? text : "");
  PutField(drive.inquiry + 16, 16, ReadSysfs(drive.name, "device/model", text) ? text : "");
  PutField(drive.inquiry + 32, 4, ReadSysfs(drive.name, "device/rev", text) ? text : "");
}

// The block queue's limits: max_sectors_kb (what the kernel splits file
// system requests to; USB bridges often set 64 or 120 KiB there),
// max_hw_sectors_kb (the controller's limit, which SG_IO enforces itself by
// refusing a longer transfer with EIO), and max_segments (a user buffer is
// mapped page by page, so a buffer of (max_segments - 1) pages fits wherever
// it starts). The smallest known one is the drive's limit.
void TLinuxSgBackEnd::ReadTransferLimit(TDrive& drive) const {
  uint64_t limit = 0;
  const auto take = [&limit](uint64_t bytes) {
    if (bytes > 0 && (limit == 0 || bytes < limit)) limit = bytes;
  };
  std::string text;
  uint64_t value = 0;
  if (ReadSysfs(drive.name, "queue/max_hw_sectors_kb", text) && ParseCount(text, value)) {
    drive.kernel_limit_bytes = static_cast<uint32_t>(std::min<uint64_t>(value * 1024, UINT32_MAX));
    take(value * 1024);
  }
  if (ReadSysfs(drive.name, "queue/max_sectors_kb", text) && ParseCount(text, value)) take(value * 1024);
  const long page = ::sysconf(_SC_PAGESIZE);
  if (ReadSysfs(drive.name, "queue/max_segments", text) && ParseCount(text, value) && value > 1 && page > 0) {
    take((value - 1) * static_cast<uint64_t>(page));
  }
  drive.max_transfer_bytes = static_cast<uint32_t>(std::min<uint64_t>(limit, UINT32_MAX));
}

TLinuxSgBackEnd::~TLinuxSgBackEnd() { Finalize(); }

int TLinuxSgBackEnd::Scan() {
  namespace fs = std::filesystem;
  std::lock_guard<std::mutex> lock(mutex_);
  CloseAllLocked();
  drives_.clear();
  adapter_count_ = 0;

  std::vector<std::pair<long, std::string>> nodes;
  std::error_code ec;
  for (fs::directory_iterator it(fs::path(sysfs_root_) / "class" / "block", ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (long n = SrNumber(name); n >= 0) nodes.emplace_back(n, name);
  }
  std::sort(nodes.begin(), nodes.end());

  int unaddressed = 0;
  for (const auto& [number, name] : nodes) {
    TDrive drive;
    drive.name = name;
    drive.node = dev_root_ + "/" + name;
    unsigned host = 0, target = 0, lun = 0;
    std::error_code link_error;
    const fs::path link = fs::read_symlink(fs::path(sysfs_root_) / "class" / "block" / name / "device", link_error);
    if (!link_error && ParseScsiAddress(link.filename().string(), host, target, lun)) {
      drive.ha = static_cast<uint8_t>(host);
      drive.target = static_cast<uint8_t>(target);
      drive.lun = static_cast<uint8_t>(lun);
    } else {
      drive.addressed = false;
    }
    const TOpened opened = OpenNode(drive.node, 0);
    NoteAccess(drive, opened);
    if (opened.fd >= 0) {
      const bool answered = ProbeLocked(drive, opened.fd);
      ::close(opened.fd);
      if (!answered) continue;
    } else {
      // It exists but this process may not open it (permissions, busy):
      // listed all the same, so that the user learns why it cannot be used.
      InquiryFromSysfs(drive);
    }
    ReadTransferLimit(drive);
    if (!drive.addressed) drive.target = static_cast<uint8_t>(unaddressed++);
    drives_.push_back(drive);
  }

  for (const TDrive& d : drives_) {
    if (d.addressed) adapter_count_ = std::max(adapter_count_, d.ha + 1);
  }
  // Drives without an address share one extra adapter after the real ones.
  if (unaddressed > 0 && adapter_count_ <= 0xFF) {
    for (TDrive& d : drives_) {
      if (d.addressed) continue;
      d.ha = static_cast<uint8_t>(adapter_count_);
      d.lun = 0;
    }
    ++adapter_count_;
  } else if (unaddressed > 0) {
    std::erase_if(drives_, [](const TDrive& d) { return !d.addressed; });
  }
  return static_cast<int>(drives_.size());
}

bool TLinuxSgBackEnd::ProbeLocked(TDrive& drive, int fd) {
  uint8_t cdb[6] = {kInquiry, 0, 0, 0, kProbeLength, 0};
  uint8_t response[kProbeLength] = {};
  uint8_t sense[kSenseAreaSize] = {};
  sg_io_hdr_t hdr{};
  hdr.interface_id = 'S';
  hdr.dxfer_direction = SG_DXFER_FROM_DEV;
  hdr.cmd_len = sizeof cdb;
  hdr.cmdp = cdb;
  hdr.dxfer_len = sizeof response;
  hdr.dxferp = response;
  hdr.mx_sb_len = kSenseLength;
  hdr.sbp = sense;
  hdr.timeout = kMinimumSgTimeoutMs;
  errno = 0;
  const int rc = sg_io_(fd, &hdr);
  const TSgOutcome outcome = MapSgResult(rc, errno, hdr);
  if (outcome.status != SS_COMP) return false;
  std::memcpy(drive.inquiry, response, kStoredInquiry);
  return true;
}

TLinuxSgBackEnd::TDrive* TLinuxSgBackEnd::FindLocked(uint8_t ha, uint8_t target, uint8_t lun) {
  for (TDrive& d : drives_) {
    if (d.ha == ha && d.target == target && d.lun == lun) return &d;
  }
  return nullptr;
}

const TLinuxSgBackEnd::TDrive* TLinuxSgBackEnd::FindLocked(uint8_t ha, uint8_t target, uint8_t lun) const {
  return const_cast<TLinuxSgBackEnd*>(this)->FindLocked(ha, target, lun);
}

uint32_t TLinuxSgBackEnd::GetASPI32SupportInfo() {
  std::lock_guard<std::mutex> lock(mutex_);
  return adapter_count_ > 0 ? 0x0100u + static_cast<uint32_t>(adapter_count_) : 0xE800u;
}

uint32_t TLinuxSgBackEnd::SendASPI32Command(void* srb) {
  if (srb == nullptr) return SS_INVALID_SRB;
  std::lock_guard<std::mutex> lock(mutex_);
  switch (*static_cast<uint8_t*>(srb)) {
    case SC_HA_INQUIRY: {
      auto& r = *static_cast<TSRB_HAInquiry*>(srb);
      HostAdapterInquiryLocked(r);
      return r.SRB_Status;
    }
    case SC_GET_DEV_TYPE: {
      auto& r = *static_cast<TSRB_GDEVBlock*>(srb);
      const bool present = FindLocked(r.SRB_HaId, r.SRB_Target, r.SRB_Lun) != nullptr;
      r.SRB_Status = present ? SS_COMP : SS_NO_DEVICE;
      r.SRB_DeviceType = present ? 5 : 0x1F;
      return r.SRB_Status;
    }
    case SC_EXEC_SCSI_CMD: {
      auto& r = *static_cast<TSRB_ExecSCSICmd*>(srb);
      ExecuteLocked(r);
      const uint8_t status = r.SRB_Status;
      if (r.SRB_PostProc != nullptr) r.SRB_PostProc->Set();
      return status;
    }
    case SC_ABORT_SRB: {
      // Every request completes before SendASPI32Command returns: nothing is
      // ever pending here, so nothing is held.
      auto& r = *static_cast<TSRB_Abort*>(srb);
      r.SRB_Status = SS_COMP;
      return r.SRB_Status;
    }
    case SC_GET_DISK_INFO: {
      auto& r = *static_cast<TSRB_GetDiskInfo*>(srb);
      r.SRB_Status = SS_PENDING;  // no BIOS drive numbers here
      return SS_ERR;
    }
    default: {
      static_cast<uint8_t*>(srb)[1] = SS_ERR;
      return SS_ERR;
    }
  }
}

void TLinuxSgBackEnd::HostAdapterInquiryLocked(TSRB_HAInquiry& r) {
  if (r.SRB_HaId >= adapter_count_) {
    r.SRB_Status = SS_INVALID_HA;
    return;
  }
  r.HA_Count = static_cast<uint8_t>(std::min(adapter_count_, 0xFF));
  r.HA_SCSI_ID = 7;
  PutName(r.HA_ManagerId, "Annotation");
  PutName(r.HA_Identifier, "SPTI " + std::to_string(r.SRB_HaId));
  std::memset(r.HA_Unique, 0, sizeof r.HA_Unique);
  r.HA_Unique[0] = 7;  // buffer alignment mask
  r.HA_Unique[3] = 8;  // targets per adapter
  // Largest transfer, 0x00FF0000, stored as the ASPI record holds it
  // (little-endian).
  r.HA_Unique[4] = 0x00;
  r.HA_Unique[5] = 0x00;
  r.HA_Unique[6] = 0xFF;
  r.HA_Unique[7] = 0x00;
  r.SRB_Status = SS_COMP;
}

void TLinuxSgBackEnd::ExecuteLocked(TSRB_ExecSCSICmd& r) {
  TDrive* drive = FindLocked(r.SRB_HaId, r.SRB_Target, r.SRB_Lun);
  if (drive == nullptr) {
    r.SRB_Status = SS_NO_DEVICE;
    return;
  }
  if (r.CDBByte[0] == kInquiry) {
    // Answered from the table; the drive is not disturbed. Never more than
    // the caller's buffer holds.
    if (r.SRB_HaId >= adapter_count_) {
      r.SRB_Status = SS_INVALID_HA;
      return;
    }
    if (r.SRB_BufPointer != nullptr) {
      std::memcpy(r.SRB_BufPointer, drive->inquiry, std::min(r.SRB_BufLen, kAnsweredInquiry));
    }
    r.SRB_Status = SS_COMP;
    return;
  }
  const bool data_in = (r.SRB_Flags & SRB_DIR_IN) != 0;
  const bool data_out = !data_in && (r.SRB_Flags & SRB_DIR_OUT) != 0;
  const bool has_data = (data_in || data_out) && r.SRB_BufLen > 0;
  if (r.SRB_CDBLen == 0 || r.SRB_CDBLen > sizeof r.CDBByte || (has_data && r.SRB_BufPointer == nullptr)) {
    r.SRB_Status = SS_INVALID_SRB;
    return;
  }

  sg_io_hdr_t hdr{};
  uint8_t sense[kSenseAreaSize] = {};
  int rc = -1;
  int error = 0;
  if (drive->fd < 0) {
    const TOpened opened = OpenNode(drive->node, 0);
    NoteAccess(*drive, opened);
    drive->fd = opened.fd;
    error = opened.error;
  }
  // Longer than the kernel takes: it would refuse it with EIO, which reads
  // as a faulty cable.
  const bool too_big = has_data && drive->kernel_limit_bytes != 0 && r.SRB_BufLen > drive->kernel_limit_bytes;
  if (drive->fd >= 0 && !too_big) {
    hdr.interface_id = 'S';
    hdr.dxfer_direction = !has_data ? SG_DXFER_NONE : data_in ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
    hdr.cmd_len = r.SRB_CDBLen;
    hdr.cmdp = r.CDBByte;
    hdr.dxfer_len = has_data ? r.SRB_BufLen : 0;
    hdr.dxferp = has_data ? r.SRB_BufPointer : nullptr;
    hdr.mx_sb_len = static_cast<unsigned char>(std::min<int>(r.SRB_SenseLen, kSenseAreaSize));
    hdr.sbp = sense;
    hdr.timeout = std::max(kMinimumSgTimeoutMs, r.TimeoutMs);
    errno = 0;
    rc = sg_io_(drive->fd, &hdr);
    error = errno;
  }
  if (drive->fd >= 0 && too_big) {
    r.SRB_Status = SS_BUFFER_TO_BIG;
    r.TransportErrno = 0;
  } else {
    const TSgOutcome outcome = MapSgResult(rc, error, hdr);
    r.SRB_Status = outcome.status;
    r.SRB_HaStat = outcome.ha_status;
    r.SRB_TargStat = outcome.target_status;
    r.TransportErrno = outcome.transport_errno;
    if (outcome.status != SS_COMP && rc >= 0) {
      const size_t length = std::min<size_t>(hdr.sb_len_wr, hdr.mx_sb_len);
      std::memcpy(r.SenseArea, sense, length);
    }
  }
  // An exclusive handle stays until EndExclusive, whatever happened.
  if (transport::ReleaseHandles && drive->exclusive == 0) CloseFd(drive->fd);
}

std::string TLinuxSgBackEnd::DevicePath(uint8_t ha, uint8_t target, uint8_t lun) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const TDrive& d : drives_) {
    if (d.ha == ha && d.target == target && d.lun == lun) return d.node;
  }
  return {};
}

void TLinuxSgBackEnd::Finalize() {
  std::lock_guard<std::mutex> lock(mutex_);
  CloseAllLocked();
}

void TLinuxSgBackEnd::CloseAllLocked() {
  for (TDrive& d : drives_) {
    CloseFd(d.fd);
    d.exclusive = 0;
  }
}

TDeviceAccess TLinuxSgBackEnd::Access(uint8_t ha, uint8_t target, uint8_t lun) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const TDrive* drive = FindLocked(ha, target, lun);
  if (drive == nullptr) return {};
  TDeviceAccess access;
  access.max_transfer_bytes = drive->max_transfer_bytes;
  if (drive->open_error != 0) {
    access.problem = TransportErrorText(drive->open_error, drive->node);
  } else if (drive->read_only) {
    access.read_only = true;
    const int why = drive->write_error;
    access.problem = why == EACCES || why == EPERM ? StrFormat(msg::kReadOnlyAccess, drive->node.c_str())
                                                   : TransportErrorText(why, drive->node);
  }
  return access;
}

std::string TLinuxSgBackEnd::BeginExclusive(uint8_t ha, uint8_t target, uint8_t lun) {
  std::lock_guard<std::mutex> lock(mutex_);
  TDrive* drive = FindLocked(ha, target, lun);
  if (drive == nullptr) return msg::kNoDevice;
  if (drive->exclusive > 0) {
    ++drive->exclusive;
    return {};
  }
  // A shared handle would keep the exclusive open from being granted to us
  // no more than to others; it goes first.
  CloseFd(drive->fd);
  const TOpened opened = OpenNode(drive->node, O_EXCL);
  // A refusal is this moment's state, not the drive's: it leaves the
  // access the scan found as it was.
  if (opened.fd < 0) return TransportErrorText(opened.error, drive->node);
  NoteAccess(*drive, opened);
  drive->fd = opened.fd;
  drive->exclusive = 1;
  return {};
}

void TLinuxSgBackEnd::EndExclusive(uint8_t ha, uint8_t target, uint8_t lun) {
  std::lock_guard<std::mutex> lock(mutex_);
  TDrive* drive = FindLocked(ha, target, lun);
  if (drive == nullptr || drive->exclusive == 0) return;
  if (--drive->exclusive == 0) CloseFd(drive->fd);
}

std::vector<TLinuxSgBackEnd::TDrive> TLinuxSgBackEnd::Drives() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return drives_;
}

int TLinuxSgBackEnd::AdapterCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return adapter_count_;
}

int TLinuxSgBackEnd::OpenHandles() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(std::count_if(drives_.begin(), drives_.end(), [](const TDrive& d) { return d.fd >= 0; }));
}

}  // namespace zamo
