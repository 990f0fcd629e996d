// transport_faults.cpp: the kernel's side of a request to an emulated recorder.
#include "emulator/transport_faults.h"

#include <scsi/sg.h>

#include <cerrno>
#include <cstring>

#include "burner/drive/linux_sg.h"
#include "burner/platform/byte_order.h"

namespace zamo::emu {
namespace {

constexpr uint16_t kDidTimeOut = 0x03;  // the kernel's host byte of a command it gave up on

// READ (10/12) and WRITE (10/12): the blocks a command covers.
bool Covers(std::span<const uint8_t> cdb, uint32_t lba) {
  uint32_t first = 0, count = 0;
  switch (cdb[0]) {
    case 0x28:
    case 0x2A:
      if (cdb.size() < 10) return false;
      first = GetBe32(cdb, 2);
      count = GetBe16(cdb, 7);
      break;
    case 0xA8:
    case 0xAA:
      if (cdb.size() < 12) return false;
      first = GetBe32(cdb, 2);
      count = GetBe32(cdb, 6);
      break;
    default:
      return false;
  }
  return lba >= first && uint64_t{lba} < uint64_t{first} + count;
}

}  // namespace

bool SafeForReadOnlyHandle(uint8_t opcode) {
  switch (opcode) {
    case 0x00: case 0x03: case 0x08: case 0x12: case 0x1A: case 0x1B: case 0x23: case 0x25: case 0x28:
    case 0x2B: case 0x2F: case 0x3C: case 0x42: case 0x43: case 0x44: case 0x45: case 0x46: case 0x47:
    case 0x4A: case 0x4B: case 0x4E: case 0x51: case 0x52: case 0x5A: case 0x5C: case 0xA4: case 0xA5:
    case 0xA8: case 0xAC: case 0xAD: case 0xB9: case 0xBA: case 0xBD: case 0xBE:
      return true;
    default:
      return false;
  }
}

TTransportVerdict TTransportFaults::Judge(std::span<const uint8_t> cdb, uint32_t data_length) {
  using TKind = TTransportVerdict::TKind;
  if (cdb.empty()) return {};
  if (gone_ != 0) return {TKind::kErrno, gone_};
  // The kernel checks the handle and the size before anything is sent.
  if (config_.read_only_access && !SafeForReadOnlyHandle(cdb[0])) return {TKind::kErrno, EPERM};
  if (config_.max_transfer_bytes > 0 && data_length > config_.max_transfer_bytes) return {TKind::kErrno, EIO};
  int error = 0;
  for (const TInjectedErrno& fault : config_.opcode_errors)
    if (fault.opcode == cdb[0]) error = fault.error;
  for (const TInjectedErrno& fault : config_.io_errors)
    if (Covers(cdb, fault.lba)) error = fault.error;
  if (error != 0) {
    if (error == ENODEV || error == ENXIO) gone_ = error;  // unplugged: nothing answers any more
    return {TKind::kErrno, error};
  }
  if (config_.kernel_timeout == cdb[0]) return {TKind::kKernelTimeout, 0};
  return {};
}

TDeviceAccess TTransportFaults::Access() const {
  TDeviceAccess access;
  access.max_transfer_bytes = config_.max_transfer_bytes;
  access.read_only = config_.read_only_access;
  if (access.read_only)
    access.problem = "GRAVEUR ÉMULÉ OUVERT EN LECTURE SEULE (OPTION access=readonly)";
  return access;
}

void FillTransportFailure(TSRB_ExecSCSICmd* srb, const TTransportVerdict& verdict) {
  // The same mapping as the SG_IO back end's: an ioctl that failed with
  // errno, or a request the kernel ended with DID_TIME_OUT.
  sg_io_hdr_t hdr{};
  TSgOutcome outcome;
  if (verdict.kind == TTransportVerdict::TKind::kKernelTimeout) {
    hdr.host_status = kDidTimeOut;
    outcome = MapSgResult(0, 0, hdr);
  } else {
    outcome = MapSgResult(-1, verdict.error, hdr);
  }
  std::memset(srb->SenseArea, 0, sizeof(srb->SenseArea));
  srb->SRB_HaStat = outcome.ha_status;
  srb->SRB_TargStat = outcome.target_status;
  srb->TransportErrno = verdict.kind == TTransportVerdict::TKind::kErrno ? verdict.error : 0;
  srb->SRB_Status = outcome.status;
}

}  // namespace zamo::emu
