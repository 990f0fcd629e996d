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

void CopyName(char (&field)[16], const char* name) {
  std::memset(field, ' ', sizeof(field));
  std::memcpy(field, name, std::min(std::strlen(name), sizeof(field)));
}

}  // namespace

TEmulatedBackEnd::TEmulatedBackEnd(std::vector<std::unique_ptr<TEmulatedUnit>> units) : units_(std::move(units)) {}

TEmulatedBackEnd::~TEmulatedBackEnd() = default;

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
  const uint32_t max_transfer = 0x00FF0000;
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

uint8_t TEmulatedBackEnd::Execute(TSRB_ExecSCSICmd* srb) {
  const auto finish = [srb](uint8_t status) {
    srb->SRB_Status = status;
    if (srb->SRB_PostProc) srb->SRB_PostProc->Set();  // the gate waits on it while the status is pending
    return status;
  };
  srb->SRB_HaStat = HASTAT_OK;
  srb->SRB_TargStat = STATUS_GOOD;
  if (srb->SRB_HaId != kAdapter) return finish(SS_INVALID_HA);
  TEmulatedUnit* unit = Address(srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun);
  if (!unit) return finish(SS_NO_DEVICE);
  const uint8_t direction_bits = srb->SRB_Flags & (SRB_DIR_IN | SRB_DIR_OUT);
  if (direction_bits == (SRB_DIR_IN | SRB_DIR_OUT) || srb->SRB_CDBLen == 0 ||
      srb->SRB_CDBLen > sizeof(srb->CDBByte) || (srb->SRB_BufLen > 0 && !srb->SRB_BufPointer))
    return finish(SS_INVALID_SRB);

  const TDataDirection direction = direction_bits == SRB_DIR_IN    ? TDataDirection::kIn
                                   : direction_bits == SRB_DIR_OUT ? TDataDirection::kOut
                                                                   : TDataDirection::kNone;
  const std::span<const uint8_t> cdb(srb->CDBByte, srb->SRB_CDBLen);
  const std::span<uint8_t> data(srb->SRB_BufPointer, srb->SRB_BufPointer ? srb->SRB_BufLen : 0);
  const TCommandResult result = unit->Execute(cdb, direction, data);

  std::memset(srb->SenseArea, 0, sizeof(srb->SenseArea));
  if (result.good()) return finish(SS_COMP);
  srb->SRB_HaStat = result.host_status;
  srb->SRB_TargStat = result.status;
  if (result.status == STATUS_CHKCOND) {
    const size_t count = std::min<size_t>({srb->SRB_SenseLen, sizeof(srb->SenseArea), result.sense.size()});
    std::memcpy(srb->SenseArea, result.sense.data(), count);
  }
  return finish(SS_ERR);
}

uint8_t TEmulatedBackEnd::Abort(TSRB_Abort* srb) {
  if (srb->SRB_HaId != kAdapter) return SS_INVALID_HA;
  // Every command completes before Execute returns, so a request to abort is
  // either still in the pending list (a later version may keep one there) or
  // already finished and let go of.
  std::lock_guard<std::mutex> lock(pending_mutex_);
  auto it = std::find(pending_.begin(), pending_.end(), srb->SRB_ToAbort);
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
      if (error) *error = "emulated drive " + std::to_string(i + 1) + ": " + problem;
      return nullptr;
    }
    units.push_back(std::move(unit));
  }
  return std::make_unique<TEmulatedBackEnd>(std::move(units));
}

}  // namespace zamo::emu
