// gate.cpp: the command gate. Every drive command is one request block handed
// to the current back end here, waited for with a bound, and described when
// it fails.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "burner/drive/scsi_device.h"
#include "burner/drive/sense.h"
#include "burner/drive/transport.h"
#include "burner/platform/str_format.h"

namespace zamo {

namespace {

// Opcodes whose failures are expected in normal use (probes, polls, queries)
// and stay out of the error log.
bool QuietOpcode(uint8_t opcode) {
  switch (opcode) {
    case 0x00: case 0x01: case 0x04: case 0x12: case 0x1B: case 0x1E: case 0x23: case 0x35: case 0x43:
    case 0x46: case 0x51: case 0x52: case 0x55: case 0x5A: case 0x5C: case 0xAC: case 0xB6: case 0xBB:
      return true;
    default:
      return false;
  }
}

std::string Hex(unsigned value, int digits) { return StrFormat("%0*X", digits, value); }

// A failed request the drive did not answer with a SCSI status of its own:
// an errno, a host or driver failure, a request the back end could not take,
// or a CHECK CONDITION whose sense data never arrived.
bool FailedBelowScsi(const TSRB_ExecSCSICmd& r) {
  if (r.SRB_Status == SS_PENDING || r.SRB_Status == SS_COMP) return false;
  if (r.TransportErrno != 0 || r.SRB_Status != SS_ERR || r.SRB_HaStat != HASTAT_OK) return true;
  switch (r.SRB_TargStat) {
    case STATUS_BUSY:
    case STATUS_RESCONF:
    case STATUS_QUEUE_FULL:
      return false;
    case STATUS_CHKCOND:
      return !DecodeSense(r.SenseArea).recognised;
    default:
      return true;
  }
}

// The command ran out of time below the gate: the back end (the kernel's own
// time-out) reported host adapter status 9 or ETIMEDOUT.
bool TimedOutBelow(const TSRB_ExecSCSICmd& r) {
  return r.SRB_Status == SS_ERR && (r.SRB_HaStat == HASTAT_TIMEOUT || r.TransportErrno == ETIMEDOUT);
}

constexpr size_t kLoggedDataBytes = 257;

}  // namespace

uint8_t TSCSIDevice::ExecuteCommand(TSRB_ExecSCSICmd& Request, int TimeoutMs) {
  LastError.clear();
  TargetBusy = false;
  LastCommandTimedOut = false;
  LastCommandCancelled = false;
  last_failure_transport_ = false;
  std::memset(LastSense, 0, sizeof LastSense);

  TAspiBackEnd* back_end = transport::BackEnd();
  if (back_end == nullptr || HaId == 0xFE) {
    last_failure_transport_ = true;  // nothing could be sent
    return SS_NO_ASPI;
  }

  // The event outlives the wait: a pending request is aborted below before
  // the event goes, so no back end signals a released event.
  std::unique_ptr<TCompletionEvent> event;
  if (Request.SRB_Flags & SRB_EVENT_NOTIFY) event = std::make_unique<TCompletionEvent>();
  Request.SRB_PostProc = event.get();
  Request.SRB_Cmd = SC_EXEC_SCSI_CMD;
  Request.SRB_HaId = HaId;
  Request.SRB_Target = TargetId;
  Request.SRB_Lun = Lun;
  Request.SRB_SenseLen = kSenseLength;
  Request.TimeoutMs = static_cast<uint32_t>(std::max(TimeoutMs, 0));
  Request.TransportErrno = 0;
  Request.CDBByte[1] = static_cast<uint8_t>((Request.CDBByte[1] & 0x1F) | (Lun << 5));

  // The returned status says whether the back end kept the request: only
  // then may it still write the request from another thread, so its fields
  // are read after the event or after the abort, never before.
  const uint32_t sent = back_end->SendASPI32Command(&Request);
  ErrorLogDone = true;
  if (sent == SS_PENDING) {
    // Without an event there is nothing to wait on: such a request is
    // aborted at once rather than left to complete into a released buffer.
    // The wait is sliced so that a cancellation (the user stopping the job)
    // ends it within a fraction of a second, whatever the command's bound.
    const int wait_ms = std::min(std::max(TimeoutMs, MinimumCommandWaitMs), MaximumCommandWaitMs);
    const unsigned generation = cancel_generation_.load();
    bool completed = false;
    bool cancelled = false;
    for (int waited = 0; event != nullptr && waited < wait_ms && !completed; waited += kCancelCheckMs) {
      completed = event->Wait(std::min(kCancelCheckMs, wait_ms - waited));
      if (!completed && cancel_generation_.load() != generation) {
        cancelled = true;
        break;
      }
    }
    if (!completed) {
      TSRB_Abort abort{};
      abort.SRB_Cmd = SC_ABORT_SRB;
      abort.SRB_HaId = HaId;
      abort.SRB_ToAbort = &Request;
      back_end->SendASPI32Command(&abort);
      if (Request.SRB_Status == SS_PENDING) {
        Request.SRB_Status = SS_ERR;
        Request.SRB_HaStat = HASTAT_TIMEOUT;
        if (cancelled) {
          LastCommandCancelled = true;
        } else {
          LastCommandTimedOut = true;
        }
      }
    }
  }
  Request.SRB_PostProc = nullptr;

  // A kernel time-out is a time-out as the gate's own bounded wait is.
  if (!LastCommandCancelled && TimedOutBelow(Request)) LastCommandTimedOut = true;
  last_failure_transport_ = !LastCommandCancelled && FailedBelowScsi(Request);
  if (Request.SRB_Status != SS_PENDING && Request.SRB_Status != SS_COMP) DescribeError(Request);
  WriteErrorLogLine(Request);
  return SS_COMP;
}

bool TSCSIDevice::RunCommand(const uint8_t* cdb, int cdb_length, uint8_t flags, uint8_t* buffer, uint32_t length,
                             int timeout_ms, bool accept_pending) {
  TSRB_ExecSCSICmd request{};
  request.SRB_Flags = flags;
  request.SRB_CDBLen = static_cast<uint8_t>(cdb_length);
  std::memcpy(request.CDBByte, cdb, static_cast<size_t>(std::clamp(cdb_length, 0, 16)));
  request.SRB_BufLen = length;
  request.SRB_BufPointer = buffer;
  // Nothing sent is a failure, whatever the caller accepts as pending.
  if (ExecuteCommand(request, timeout_ms) != SS_COMP) return false;
  return request.SRB_Status == SS_COMP || (accept_pending && request.SRB_Status == SS_PENDING);
}

void TSCSIDevice::WriteErrorLogLine(const TSRB_ExecSCSICmd& Request) {
  if (!LogCommandErrors) return;
  if (Request.SRB_Status == SS_PENDING || Request.SRB_Status == SS_COMP) return;
  const uint8_t opcode = Request.CDBByte[0];
  if (QuietOpcode(opcode)) return;
  const TSenseFields sense = DecodeSense(LastSense);
  if (sense.asc == 0x04 && sense.ascq == 0x08) return;  // long write in progress

  std::string line = StrFormat("%u:%s:%u <%s> [%s]", Request.SRB_HaId, Hex(Request.SRB_Target, 1).c_str(),
                               Request.SRB_Lun, Hex(Request.SRB_Status, 2).c_str(),
                               Hex(Request.SRB_BufLen, 5).c_str());
  line = "(" + Hex(opcode, 2) + ") {" + Hex(Request.SRB_Flags, 2) + "|" + Hex(Request.SRB_CDBLen, 2) + "} - " + line +
         " ";
  for (int i = 1; i < 16; ++i) line += Hex(Request.CDBByte[i], 2) + " ";
  line = CommandName(opcode) + " " + line + " ";
  line += "|";
  if (Request.SRB_BufPointer != nullptr) {
    const size_t shown = std::min<size_t>(Request.SRB_BufLen, kLoggedDataBytes);
    for (size_t i = 0; i < shown; ++i) line += Hex(Request.SRB_BufPointer[i], 2) + " ";
  }
  line = "<<< " + line + "= " + Hex(Request.SRB_HaStat, 2) + " " + Hex(Request.SRB_TargStat, 2) + " " +
         Hex(LastSense[0], 2) + " " + Hex(sense.KeyByte(), 2) + " ASC:" + Hex(sense.asc, 2) + ",ASQ:" +
         Hex(sense.ascq, 2) + " " + LastError;
  DebugMessage(line, kMsgStatus);
}

}  // namespace zamo
