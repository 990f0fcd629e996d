// interposed_drive.h: a back end between the component and another one (the
// emulated recorder) for tests that need a drive to misbehave as real ones
// do: it records every request, lets a test answer any of them instead of the
// drive (a transport error, a kernel time-out, a transient sense), and says
// what Access() reports (a transfer limit, a read-only handle).
//
// Thread safety: requests come from the writer thread; the records are
// guarded by a mutex, and `answer` runs on the thread that sent the request.
#pragma once

#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "burner/drive/srb.h"

namespace zamo::test {

struct InterposedRequest {
  std::vector<uint8_t> cdb;
  std::vector<uint8_t> data_out;  // the outgoing bytes of a data-out request
  uint32_t length = 0;
  uint8_t opcode() const { return cdb.empty() ? 0xFF : cdb[0]; }
};

class InterposedDrive : public TAspiBackEnd {
 public:
  explicit InterposedDrive(std::unique_ptr<TAspiBackEnd> inner) : inner_(std::move(inner)) {}

  // Answers a request in place of the drive: return the request's status
  // after filling it (see Finish); nullopt lets the drive answer.
  std::function<std::optional<uint32_t>(TSRB_ExecSCSICmd&)> answer;
  TDeviceAccess access;

  const char* TransportName() const override { return inner_->TransportName(); }
  uint32_t GetASPI32SupportInfo() override { return inner_->GetASPI32SupportInfo(); }
  std::string DevicePath(uint8_t ha, uint8_t target, uint8_t lun) const override {
    return inner_->DevicePath(ha, target, lun);
  }
  TDeviceAccess Access(uint8_t, uint8_t, uint8_t) const override { return access; }

  uint32_t SendASPI32Command(void* srb) override {
    auto* request = static_cast<TSRB_ExecSCSICmd*>(srb);
    if (request->SRB_Cmd != SC_EXEC_SCSI_CMD) return inner_->SendASPI32Command(srb);
    InterposedRequest seen;
    seen.cdb.assign(request->CDBByte, request->CDBByte + request->SRB_CDBLen);
    seen.length = request->SRB_BufLen;
    if ((request->SRB_Flags & SRB_DIR_OUT) && request->SRB_BufPointer != nullptr)
      seen.data_out.assign(request->SRB_BufPointer, request->SRB_BufPointer + request->SRB_BufLen);
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(std::move(seen));
    }
    if (answer) {
      if (std::optional<uint32_t> status = answer(*request)) return *status;
    }
    return inner_->SendASPI32Command(srb);
  }

  std::vector<InterposedRequest> Requests(uint8_t opcode) {
    std::lock_guard lock(mutex_);
    std::vector<InterposedRequest> chosen;
    for (const auto& r : requests_) {
      if (r.opcode() == opcode) chosen.push_back(r);
    }
    return chosen;
  }

  // Ends `request` with the given statuses (and sense, errno), as a back end does.
  static uint32_t Finish(TSRB_ExecSCSICmd& request, uint8_t status, uint8_t host, uint8_t target,
                         const std::vector<uint8_t>& sense = {}, int transport_errno = 0) {
    std::memcpy(request.SenseArea, sense.data(), std::min(sense.size(), sizeof request.SenseArea));
    request.TransportErrno = transport_errno;
    request.SRB_HaStat = host;
    request.SRB_TargStat = target;
    request.SRB_Status = status;
    if (request.SRB_PostProc) request.SRB_PostProc->Set();
    return status;
  }
  // A CHECK CONDITION with fixed-format sense KEY/ASC/ASCQ.
  static uint32_t Sense(TSRB_ExecSCSICmd& request, uint8_t key, uint8_t asc, uint8_t ascq) {
    std::vector<uint8_t> sense(18, 0);
    sense[0] = 0x70;
    sense[2] = key;
    sense[7] = 10;
    sense[12] = asc;
    sense[13] = ascq;
    return Finish(request, SS_ERR, HASTAT_OK, STATUS_CHKCOND, sense);
  }

 private:
  std::unique_ptr<TAspiBackEnd> inner_;
  std::mutex mutex_;
  std::vector<InterposedRequest> requests_;
};

}  // namespace zamo::test
