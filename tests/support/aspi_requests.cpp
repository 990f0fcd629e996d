#include "tests/support/aspi_requests.h"

#include <algorithm>

namespace zamo::test {

TSRB_ExecSCSICmd ExecRequest(ScsiAddress to, const Cdb& cdb, uint8_t flags, uint8_t* buffer, uint32_t length,
                             TCompletionEvent* done) {
  TSRB_ExecSCSICmd request{};
  request.SRB_Cmd = SC_EXEC_SCSI_CMD;
  request.SRB_HaId = to.ha;
  request.SRB_Target = to.target;
  request.SRB_Lun = to.lun;
  request.SRB_Flags = flags;
  request.SRB_SenseLen = kSenseLength;
  request.SRB_CDBLen = static_cast<uint8_t>(cdb.length());
  std::copy(cdb.bytes().begin(), cdb.bytes().end(), request.CDBByte);
  request.SRB_BufPointer = buffer;
  request.SRB_BufLen = length;
  request.SRB_PostProc = done;
  return request;
}

uint8_t SendAndWait(TAspiBackEnd& back_end, TSRB_ExecSCSICmd& request, int timeout_ms) {
  TCompletionEvent own;
  TCompletionEvent* const given = request.SRB_PostProc;
  if (given == nullptr) request.SRB_PostProc = &own;
  if (back_end.SendASPI32Command(&request) == SS_PENDING && !request.SRB_PostProc->Wait(timeout_ms)) {
    Abort(back_end, &request);  // the back end lets go of it: nothing signals `own` once it is gone
  }
  if (given == nullptr) request.SRB_PostProc = nullptr;
  return request.SRB_Status;
}

uint32_t Abort(TAspiBackEnd& back_end, TSRB_ExecSCSICmd* request) {
  TSRB_Abort abort{};
  abort.SRB_Cmd = SC_ABORT_SRB;
  abort.SRB_ToAbort = request;
  return back_end.SendASPI32Command(&abort);
}

AdapterInquiry InquireAdapter(TAspiBackEnd& back_end, uint8_t ha) {
  AdapterInquiry answer;
  answer.record.SRB_Cmd = SC_HA_INQUIRY;
  answer.record.SRB_HaId = ha;
  answer.status = back_end.SendASPI32Command(&answer.record);
  return answer;
}

DeviceType GetDeviceType(TAspiBackEnd& back_end, ScsiAddress at) {
  TSRB_GDEVBlock block{};
  block.SRB_Cmd = SC_GET_DEV_TYPE;
  block.SRB_HaId = at.ha;
  block.SRB_Target = at.target;
  block.SRB_Lun = at.lun;
  const uint32_t status = back_end.SendASPI32Command(&block);
  return {status, block.SRB_DeviceType};
}

}  // namespace zamo::test
