// emulated_backend.cpp: ASPI request handling for the emulated recorders.
#include "emulator/emulated_backend.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace zamo::emu {
namespace {

constexpr uint8_t kAdapter = 0;
constexpr uint8_t kAdapterScsiId = 7;
constexpr uint8_t kCdDvdDevice = 5;
constexpr uint8_t kNoDeviceType = 0x1F;
constexpr uint8_t kNoBiosDrive = 0x80;
// How soon the worker takes a request again when its unit's clock is not
// this process's steady clock (a test's) and says "due" already.
constexpr std::chrono::milliseconds kLongestNap{50};

void CopyName(char (&field)[16], const char* name) {
  std::memset(field, ' ', sizeof(field));
  std::memcpy(field, name, std::min(std::strlen(name), sizeof(field)));
}

}  // namespace

TEmulatedBackEnd::TEmulatedBackEnd(std::vector<std::unique_ptr<TEmulatedUnit>> units) : units_(std::move(units)) {
  for (const auto& unit : units_) transports_.emplace_back(unit->config());
}

TEmulatedBackEnd::~TEmulatedBackEnd() {
  {
    std::lock_guard<std::mutex> lock(pending_mutex_);
    stopping_ = true;
  }
  pending_changed_.notify_all();
  if (worker_.joinable()) worker_.join();
  // Whoever still waits on a request is let go now, not at its time-out.
  std::lock_guard<std::mutex> lock(pending_mutex_);
  for (const TPendingRequest& request : pending_) Finish(request.srb, SS_ABORTED);
  pending_.clear();
}

size_t TEmulatedBackEnd::PendingCount() {
  std::lock_guard<std::mutex> lock(pending_mutex_);
  return pending_.size();
}

uint32_t TEmulatedBackEnd::GetASPI32SupportInfo() {
  // High byte: SS_COMP; low byte: the number of host adapters.
  return units_.empty() ? 0xE800 : 0x0100 | 1;
}

TEmulatedUnit* TEmulatedBackEnd::Address(uint8_t ha, uint8_t target, uint8_t lun) const {
  if (ha != kAdapter || lun != 0 || target >= units_.size()) return nullptr;
  return units_[target].get();
}

std::string TEmulatedBackEnd::DevicePath(uint8_t ha, uint8_t target, uint8_t lun) const {
  if (!Address(ha, target, lun)) return {};
  return "emu" + std::to_string(target);
}

TDeviceAccess TEmulatedBackEnd::Access(uint8_t ha, uint8_t target, uint8_t lun) const {
  if (!Address(ha, target, lun)) return {};
  return transports_[target].Access();
}

uint32_t TEmulatedBackEnd::SendASPI32Command(void* srb) {
  if (!srb) return SS_INVALID_SRB;
  uint8_t status = SS_INVALID_CMD;
  switch (*static_cast<const uint8_t*>(srb)) {
    case SC_HA_INQUIRY:
      status = HostAdapterInquiry(static_cast<TSRB_HAInquiry*>(srb));
      break;
    case SC_GET_DEV_TYPE:
      status = DeviceType(static_cast<TSRB_GDEVBlock*>(srb));
      break;
    case SC_EXEC_SCSI_CMD:
      return Execute(static_cast<TSRB_ExecSCSICmd*>(srb));
    case SC_ABORT_SRB:
      status = Abort(static_cast<TSRB_Abort*>(srb));
      break;
    case SC_GET_DISK_INFO: {
      auto* info = static_cast<TSRB_GetDiskInfo*>(srb);
      info->SRB_DriveFlags = 0;
      info->SRB_Int13HDriveInfo = kNoBiosDrive;  // no BIOS drive stands for an emulated recorder
      status = Address(info->SRB_HaId, info->SRB_Target, info->SRB_Lun) ? SS_COMP : SS_NO_DEVICE;
      break;
    }
    default:
      break;
  }
  static_cast<uint8_t*>(srb)[1] = status;  // SRB_Status sits at byte 1 of every request block
  return status;
}

uint8_t TEmulatedBackEnd::HostAdapterInquiry(TSRB_HAInquiry* srb) const {
  if (srb->SRB_HaId != kAdapter) return SS_INVALID_HA;
  srb->HA_Count = 1;
  srb->HA_SCSI_ID = kAdapterScsiId;
  CopyName(srb->HA_ManagerId, "ZAMOEMU");
  CopyName(srb->HA_Identifier, "EMULATED 0");
  std::memset(srb->HA_Unique, 0, sizeof(srb->HA_Unique));
  srb->HA_Unique[3] = 8;  // targets per adapter
  // The largest transfer: the smallest limit of a unit (maxtransfer=).
  uint32_t max_transfer = 0x00FF0000;
  for (const auto& unit : units_)
    if (unit->config().max_transfer_bytes > 0) max_transfer = std::min(max_transfer, unit->config().max_transfer_bytes);
  for (int i = 0; i < 4; ++i) srb->HA_Unique[4 + i] = static_cast<uint8_t>(max_transfer >> (8 * i));
  return SS_COMP;
}

uint8_t TEmulatedBackEnd::DeviceType(TSRB_GDEVBlock* srb) const {
  if (srb->SRB_HaId != kAdapter) {
    srb->SRB_DeviceType = kNoDeviceType;
    return SS_INVALID_HA;
  }
  const bool present = Address(srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun) != nullptr;
  srb->SRB_DeviceType = present ? kCdDvdDevice : kNoDeviceType;
  return present ? SS_COMP : SS_NO_DEVICE;
}

uint8_t TEmulatedBackEnd::Finish(TSRB_ExecSCSICmd* srb, uint8_t status) {
  srb->SRB_Status = status;
  if (srb->SRB_PostProc) srb->SRB_PostProc->Set();  // the gate waits on it while the status is pending
  return status;
}

TCommandResult TEmulatedBackEnd::Run(TEmulatedUnit& unit, TSRB_ExecSCSICmd* srb) {
  const uint8_t direction_bits = srb->SRB_Flags & (SRB_DIR_IN | SRB_DIR_OUT);
  const TDataDirection direction = direction_bits == SRB_DIR_IN    ? TDataDirection::kIn
                                   : direction_bits == SRB_DIR_OUT ? TDataDirection::kOut
                                                                   : TDataDirection::kNone;
  const std::span<const uint8_t> cdb(srb->CDBByte, srb->SRB_CDBLen);
  const std::span<uint8_t> data(srb->SRB_BufPointer, srb->SRB_BufPointer ? srb->SRB_BufLen : 0);
  return unit.Execute(cdb, direction, data);
}

uint8_t TEmulatedBackEnd::Complete(TSRB_ExecSCSICmd* srb, const TCommandResult& result) {
  std::memset(srb->SenseArea, 0, sizeof(srb->SenseArea));
  if (result.good()) return Finish(srb, SS_COMP);
  srb->SRB_HaStat = result.host_status;
  srb->SRB_TargStat = result.status;
  if (result.status == STATUS_CHKCOND) {
    const size_t count = std::min<size_t>({srb->SRB_SenseLen, sizeof(srb->SenseArea), result.sense.size()});
    std::memcpy(srb->SenseArea, result.sense.data(), count);
  }
  return Finish(srb, SS_ERR);
}

uint8_t TEmulatedBackEnd::Execute(TSRB_ExecSCSICmd* srb) {
  srb->SRB_HaStat = HASTAT_OK;
  srb->SRB_TargStat = STATUS_GOOD;
  srb->TransportErrno = 0;
  if (srb->SRB_HaId != kAdapter) return Finish(srb, SS_INVALID_HA);
  TEmulatedUnit* unit = Address(srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun);
  if (!unit) return Finish(srb, SS_NO_DEVICE);
  const uint8_t direction_bits = srb->SRB_Flags & (SRB_DIR_IN | SRB_DIR_OUT);
  if (direction_bits == (SRB_DIR_IN | SRB_DIR_OUT) || srb->SRB_CDBLen == 0 ||
      srb->SRB_CDBLen > sizeof(srb->CDBByte) || (srb->SRB_BufLen > 0 && !srb->SRB_BufPointer))
    return Finish(srb, SS_INVALID_SRB);

  TTransportVerdict verdict;
  {
    std::lock_guard<std::mutex> lock(transport_mutex_);
    verdict = transports_[srb->SRB_Target].Judge(std::span<const uint8_t>(srb->CDBByte, srb->SRB_CDBLen),
                                                  srb->SRB_BufLen);
  }
  const std::span<const uint8_t> cdb(srb->CDBByte, srb->SRB_CDBLen);
  if (verdict.kind == TTransportVerdict::TKind::kErrno) {
    FillTransportFailure(srb, verdict);  // the drive never saw it
    unit->TraceTransport(cdb, std::string(ErrnoName(verdict.error)) + " BELOW SCSI");
    return Finish(srb, srb->SRB_Status);
  }
  const bool kernel_timeout = verdict.kind == TTransportVerdict::TKind::kKernelTimeout;
  TCommandResult result;
  if (kernel_timeout) {
    result.retry_at = std::chrono::steady_clock::now() + kKernelTimeoutDelay;
    unit->TraceTransport(cdb, "KERNEL TIME-OUT");
  } else {
    result = Run(*unit, srb);
    if (!result.pending()) return Complete(srb, result);
  }

  // From here the worker owns the request until it completes it or the
  // host aborts it: nothing below touches it.
  srb->SRB_Status = SS_PENDING;
  {
    std::lock_guard<std::mutex> lock(pending_mutex_);
    pending_.push_back({srb, unit, result.never ? std::nullopt : result.retry_at, kernel_timeout});
    if (!worker_.joinable()) worker_ = std::thread([this] { CompleteWhenDue(); });
  }
  pending_changed_.notify_all();
  return SS_PENDING;
}

void TEmulatedBackEnd::CompleteWhenDue() {
  std::unique_lock<std::mutex> lock(pending_mutex_);
  while (!stopping_) {
    const auto now = std::chrono::steady_clock::now();
    auto wake = now + std::chrono::seconds(1);
    for (auto it = pending_.begin(); it != pending_.end();) {
      if (it->retry_at && *it->retry_at <= now && it->kernel_timeout) {
        FillTransportFailure(it->srb, {TTransportVerdict::TKind::kKernelTimeout, 0});
        Finish(it->srb, it->srb->SRB_Status);
        it = pending_.erase(it);
        continue;
      }
      if (it->retry_at && *it->retry_at <= now) {
        // Run under the lock, so that an abort never overlaps a completion.
        const TCommandResult result = Run(*it->unit, it->srb);
        if (!result.pending()) {
          Complete(it->srb, result);
          it = pending_.erase(it);
          continue;
        }
        it->retry_at = result.never ? std::nullopt : result.retry_at;
      }
      // A unit on another clock than this one (a test's) may still say
      // "earlier than now": it is looked at again a little later.
      if (it->retry_at) wake = std::min(wake, *it->retry_at > now ? *it->retry_at : now + kLongestNap);
      ++it;
    }
    pending_changed_.wait_until(lock, wake);
  }
}

uint8_t TEmulatedBackEnd::Abort(TSRB_Abort* srb) {
  if (srb->SRB_HaId != kAdapter) return SS_INVALID_HA;
  // A request still pending is forgotten; one completed already is let go of.
  std::lock_guard<std::mutex> lock(pending_mutex_);
  auto it = std::find_if(pending_.begin(), pending_.end(),
                         [srb](const TPendingRequest& request) { return request.srb == srb->SRB_ToAbort; });
  if (it == pending_.end()) return SS_ABORT_FAIL;
  pending_.erase(it);
  return SS_COMP;
}

std::unique_ptr<TAspiBackEnd> CreateEmulatedBackEnd(const std::string& config, std::string* error) {
  std::string list = config;
  if (list.empty()) {
    const char* from_environment = std::getenv("ZAMO_EMULATED_DRIVES");
    list = from_environment ? from_environment : "";
  }
  std::string problem;
  std::vector<TDriveConfig> configs;
  if (!ParseDriveList(list, &configs, &problem)) {
    if (error) *error = problem;
    return nullptr;
  }
  std::vector<std::unique_ptr<TEmulatedUnit>> units;
  for (size_t i = 0; i < configs.size(); ++i) {
    std::unique_ptr<TEmulatedUnit> unit = TEmulatedUnit::Open(configs[i], &problem);
    if (!unit) {
      if (error) *error = "graveur émulé " + std::to_string(i + 1) + "\u00A0: " + problem;
      return nullptr;
    }
    units.push_back(std::move(unit));
  }
  return std::make_unique<TEmulatedBackEnd>(std::move(units));
}

}  // namespace zamo::emu
