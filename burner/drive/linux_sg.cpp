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

#include "burner/drive/transport.h"

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

int OpenNode(const std::string& node) {
  int fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) fd = ::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  return fd;
}

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

}  // namespace

TSgOutcome MapSgResult(int ioctl_result, int error, const sg_io_hdr_t& hdr) {
  TSgOutcome out;
  if (ioctl_result < 0) {
    out.status = SS_ERR;
    // A node that went away: the nearest ASPI word is a selection time-out.
    if (error == ENODEV || error == ENXIO || error == ENOENT) out.ha_status = HASTAT_SEL_TO;
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
  if (host != kDidOk || out.ha_status != HASTAT_OK || out.target_status != STATUS_GOOD) {
    out.status = SS_ERR;
  }
  return out;
}

int TLinuxSgBackEnd::KernelSgIo(int fd, sg_io_hdr_t* hdr) { return ::ioctl(fd, SG_IO, hdr); }

TLinuxSgBackEnd::TLinuxSgBackEnd(std::string sysfs_root, std::string dev_root, TSgIo sg_io)
    : sysfs_root_(std::move(sysfs_root)), dev_root_(std::move(dev_root)), sg_io_(std::move(sg_io)) {}

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
    if (!ProbeLocked(drive)) continue;
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

bool TLinuxSgBackEnd::ProbeLocked(TDrive& drive) {
  int fd = OpenNode(drive.node);
  if (fd < 0) return false;
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
  CloseFd(fd);
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
  if (drive->fd < 0) drive->fd = OpenNode(drive->node);
  if (drive->fd < 0) {
    error = errno;
  } else {
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
  const TSgOutcome outcome = MapSgResult(rc, error, hdr);
  r.SRB_Status = outcome.status;
  r.SRB_HaStat = outcome.ha_status;
  r.SRB_TargStat = outcome.target_status;
  if (outcome.status != SS_COMP && rc >= 0) {
    const size_t length = std::min<size_t>(hdr.sb_len_wr, hdr.mx_sb_len);
    std::memcpy(r.SenseArea, sense, length);
  }
  if (transport::ReleaseHandles) CloseFd(drive->fd);
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
  for (TDrive& d : drives_) CloseFd(d.fd);
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
