// fake_backend.h: a back end for drive tests. It records every request (CDB,
// flags, length, outgoing data, timeout, address), answers through a settable
// responder, can leave a request pending (to be completed later or aborted)
// and records aborts. Devices sit on one adapter at given addresses, each with
// its INQUIRY data and device node.
//
//   auto* fake = test::InstallFakeBackEnd();          // owned by the transport
//   fake->AddDevice(1, 0, 0, test::MakeInquiry(5, "QEMU", "QEMU DVD-ROM", "2.5+"));
//   fake->responder = [](const test::TRecordedRequest& r) -> std::optional<test::TFakeReply> {
//     if (r.opcode() == 0x25) return test::Good({0, 0, 0x10, 0, 0, 0, 8, 0});
//     return std::nullopt;                            // default answer
//   };
//
// Thread safety: every member function takes the fake's (re-entrant) mutex;
// the responder runs under it. Read the records through Requests() / Aborts().
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "burner/drive/srb.h"
#include "burner/drive/transport.h"

namespace zamo::test {

// One execute request as the back end saw it when it was sent.
struct TRecordedRequest {
  std::vector<uint8_t> cdb;       // SRB_CDBLen bytes
  uint8_t flags = 0;
  uint32_t length = 0;            // SRB_BufLen
  std::vector<uint8_t> data_out;  // the buffer's bytes when flag 0x10 is set
  uint32_t timeout_ms = 0;
  uint8_t ha = 0, target = 0, lun = 0;
  uint8_t sense_length = 0;
  bool has_event = false;
  const TSRB_ExecSCSICmd* srb = nullptr;
  uint8_t opcode() const { return cdb.empty() ? 0xFF : cdb[0]; }
};

// How the fake answers one request.
struct TFakeReply {
  uint8_t status = SS_COMP;
  uint8_t ha_status = HASTAT_OK;
  uint8_t target_status = STATUS_GOOD;
  std::vector<uint8_t> data;   // copied into the buffer of a data-in request (at most its length)
  std::vector<uint8_t> sense;  // copied into the sense area (at most 33 bytes)
  bool pending = false;        // leave the request pending: CompletePending or an abort ends it
};

inline TFakeReply Good(std::vector<uint8_t> data = {}) {
  TFakeReply r;
  r.data = std::move(data);
  return r;
}

// Fixed-format sense data (70h) with additional length 10.
inline std::vector<uint8_t> FixedSense(uint8_t key, uint8_t asc, uint8_t ascq, uint8_t additional_length = 10) {
  std::vector<uint8_t> s(18, 0);
  s[0] = 0x70;
  s[2] = key;
  s[7] = additional_length;
  s[12] = asc;
  s[13] = ascq;
  return s;
}

inline TFakeReply CheckCondition(uint8_t key, uint8_t asc, uint8_t ascq) {
  TFakeReply r;
  r.status = SS_ERR;
  r.target_status = STATUS_CHKCOND;
  r.sense = FixedSense(key, asc, ascq);
  return r;
}

inline TFakeReply Pending() {
  TFakeReply r;
  r.status = SS_PENDING;
  r.pending = true;
  return r;
}

// Standard INQUIRY data: peripheral device type, then vendor (8), product
// (16) and revision (4) padded with spaces.
inline std::vector<uint8_t> MakeInquiry(uint8_t type, const std::string& vendor, const std::string& product,
                                        const std::string& revision) {
  std::vector<uint8_t> d(96, 0);
  d[0] = type;
  d[1] = 0x80;  // removable
  d[2] = 0x05;
  d[3] = 0x32;
  d[4] = 91;    // additional length
  const auto put = [&](size_t at, const std::string& text, size_t width) {
    for (size_t i = 0; i < width; ++i) d[at + i] = i < text.size() ? static_cast<uint8_t>(text[i]) : ' ';
  };
  put(8, vendor, 8);
  put(16, product, 16);
  put(32, revision, 4);
  return d;
}

class TFakeBackEnd : public TAspiBackEnd {
 public:
  struct Device {
    uint8_t ha, target, lun;
    std::vector<uint8_t> inquiry;
    std::string path;
  };
  // Returns the reply for a request, or nullopt for the default answer
  // (INQUIRY data for INQUIRY, good status and no data otherwise).
  using TResponder = std::function<std::optional<TFakeReply>(const TRecordedRequest&)>;

  TResponder responder;
  std::string name = "FAKEASPI";
  // Adapter count reported by the host adapter inquiry; -1: the highest
  // device adapter plus one.
  int adapter_count = -1;
  // When set, the host adapter inquiry reports this count instead.
  std::optional<uint8_t> reported_count;

  void AddDevice(uint8_t ha, uint8_t target, uint8_t lun, std::vector<uint8_t> inquiry, std::string path = {}) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    devices_.push_back({ha, target, lun, std::move(inquiry), std::move(path)});
  }

  std::vector<TRecordedRequest> Requests() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return requests_;
  }
  // Requests other than the INQUIRY probes of a device scan.
  std::vector<TRecordedRequest> Commands() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::vector<TRecordedRequest> out;
    for (const auto& r : requests_) {
      if (r.opcode() != 0x12) out.push_back(r);
    }
    return out;
  }
  TRecordedRequest Last() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return requests_.empty() ? TRecordedRequest{} : requests_.back();
  }
  void ClearRequests() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    requests_.clear();
  }
  std::vector<const TSRB_ExecSCSICmd*> Aborts() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return aborts_;
  }
  int PendingCount() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return static_cast<int>(pending_.size());
  }
  int SupportInfoCalls() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return support_info_calls_;
  }
  int FinalizeCalls() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return finalize_calls_;
  }

  // Completes every request still pending (not aborted) with `reply`: its
  // data, status and sense are written, then its event is set.
  void CompletePending(const TFakeReply& reply) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    for (TSRB_ExecSCSICmd* srb : pending_) {
      Fill(*srb, reply);
      if (srb->SRB_PostProc != nullptr) srb->SRB_PostProc->Set();
    }
    pending_.clear();
  }

  const char* TransportName() const override { return name.c_str(); }

  uint32_t GetASPI32SupportInfo() override {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    ++support_info_calls_;
    return 0x0100u + static_cast<uint32_t>(AdapterCountLocked());
  }

  uint32_t SendASPI32Command(void* srb) override {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    switch (*static_cast<uint8_t*>(srb)) {
      case SC_HA_INQUIRY: {
        auto& r = *static_cast<TSRB_HAInquiry*>(srb);
        if (r.SRB_HaId >= AdapterCountLocked()) {
          r.SRB_Status = SS_INVALID_HA;
          return r.SRB_Status;
        }
        r.HA_Count = reported_count ? *reported_count : static_cast<uint8_t>(AdapterCountLocked());
        r.HA_SCSI_ID = 7;
        std::memcpy(r.HA_ManagerId, "FAKE MANAGER    ", 16);
        std::memcpy(r.HA_Identifier, "FAKE ADAPTER    ", 16);
        r.SRB_Status = SS_COMP;
        return r.SRB_Status;
      }
      case SC_GET_DEV_TYPE: {
        auto& r = *static_cast<TSRB_GDEVBlock*>(srb);
        const Device* d = FindLocked(r.SRB_HaId, r.SRB_Target, r.SRB_Lun);
        r.SRB_Status = d ? SS_COMP : SS_NO_DEVICE;
        r.SRB_DeviceType = d ? static_cast<uint8_t>(d->inquiry.empty() ? 5 : d->inquiry[0] & 0x1F) : 0x1F;
        return r.SRB_Status;
      }
      case SC_EXEC_SCSI_CMD:
        return ExecuteLocked(*static_cast<TSRB_ExecSCSICmd*>(srb));
      case SC_ABORT_SRB: {
        auto& r = *static_cast<TSRB_Abort*>(srb);
        aborts_.push_back(r.SRB_ToAbort);
        std::erase(pending_, r.SRB_ToAbort);
        r.SRB_Status = SS_COMP;
        return r.SRB_Status;
      }
      default:
        static_cast<uint8_t*>(srb)[1] = SS_ERR;
        return SS_ERR;
    }
  }

  std::string DevicePath(uint8_t ha, uint8_t target, uint8_t lun) const override {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const Device* d = const_cast<TFakeBackEnd*>(this)->FindLocked(ha, target, lun);
    return d ? d->path : std::string();
  }

  void Finalize() override {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    ++finalize_calls_;
  }

 private:
  int AdapterCountLocked() const {
    if (adapter_count >= 0) return adapter_count;
    int count = 0;
    for (const Device& d : devices_) count = std::max(count, d.ha + 1);
    return std::max(count, 1);
  }

  Device* FindLocked(uint8_t ha, uint8_t target, uint8_t lun) {
    for (Device& d : devices_) {
      if (d.ha == ha && d.target == target && d.lun == lun) return &d;
    }
    return nullptr;
  }

  static void Fill(TSRB_ExecSCSICmd& srb, const TFakeReply& reply) {
    if ((srb.SRB_Flags & SRB_DIR_IN) && srb.SRB_BufPointer != nullptr && !reply.data.empty()) {
      std::memcpy(srb.SRB_BufPointer, reply.data.data(), std::min<size_t>(reply.data.size(), srb.SRB_BufLen));
    }
    if (!reply.sense.empty()) {
      std::memcpy(srb.SenseArea, reply.sense.data(), std::min<size_t>(reply.sense.size(), kSenseAreaSize));
    }
    srb.SRB_HaStat = reply.ha_status;
    srb.SRB_TargStat = reply.target_status;
    srb.SRB_Status = reply.status;
  }

  uint32_t ExecuteLocked(TSRB_ExecSCSICmd& srb) {
    TRecordedRequest rec;
    rec.cdb.assign(srb.CDBByte, srb.CDBByte + std::min<int>(srb.SRB_CDBLen, 16));
    rec.flags = srb.SRB_Flags;
    rec.length = srb.SRB_BufLen;
    if ((srb.SRB_Flags & SRB_DIR_OUT) && srb.SRB_BufPointer != nullptr) {
      rec.data_out.assign(srb.SRB_BufPointer, srb.SRB_BufPointer + srb.SRB_BufLen);
    }
    rec.timeout_ms = srb.TimeoutMs;
    rec.ha = srb.SRB_HaId;
    rec.target = srb.SRB_Target;
    rec.lun = srb.SRB_Lun;
    rec.sense_length = srb.SRB_SenseLen;
    rec.has_event = srb.SRB_PostProc != nullptr;
    rec.srb = &srb;
    requests_.push_back(rec);

    const Device* device = FindLocked(srb.SRB_HaId, srb.SRB_Target, srb.SRB_Lun);
    if (device == nullptr) {
      srb.SRB_Status = SS_NO_DEVICE;
      return srb.SRB_Status;
    }
    std::optional<TFakeReply> reply;
    if (responder) reply = responder(rec);
    if (!reply) reply = rec.opcode() == 0x12 ? Good(device->inquiry) : Good();
    if (reply->pending) {
      srb.SRB_Status = SS_PENDING;
      pending_.push_back(&srb);
      return SS_PENDING;
    }
    Fill(srb, *reply);
    if (srb.SRB_PostProc != nullptr) srb.SRB_PostProc->Set();
    return srb.SRB_Status;
  }

  mutable std::recursive_mutex mutex_;
  std::vector<Device> devices_;
  std::vector<TRecordedRequest> requests_;
  std::vector<TSRB_ExecSCSICmd*> pending_;
  std::vector<const TSRB_ExecSCSICmd*> aborts_;
  int support_info_calls_ = 0;
  int finalize_calls_ = 0;
};

// Installs a new fake as the process's back end; the transport owns it until
// the next Install/AspiUnload.
inline TFakeBackEnd* InstallFakeBackEnd() {
  auto fake = std::make_unique<TFakeBackEnd>();
  TFakeBackEnd* raw = fake.get();
  transport::Install(std::move(fake));
  return raw;
}

}  // namespace zamo::test

// A fixture with a fake back end serving one CD/DVD drive at 1:0:0
// ("/dev/sr0") and a component addressed to it directly (no SelectDevice,
// so no capability probing clutters the records).
#include <gtest/gtest.h>

#include "burner/drive/scsi_device.h"

namespace zamo::test {

class FakeDriveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    transport::ReleaseHandles = true;
    fake = InstallFakeBackEnd();
    fake->AddDevice(1, 0, 0, MakeInquiry(5, "QEMU", "QEMU DVD-ROM", "2.5+"), "/dev/sr0");
    device = std::make_unique<TSCSIDevice>(nullptr);
    Address(1, 0, 0);
    fake->ClearRequests();
  }
  void TearDown() override {
    device.reset();
    transport::AspiUnload();
    transport::ReleaseHandles = true;
  }
  void Address(uint8_t ha, uint8_t target, uint8_t lun) {
    device->HaId = ha;
    device->TargetId = target;
    device->Lun = lun;
  }
  // Collects the component's log lines into `log` from now on.
  void StartLogging() {
    device->OnDebugMessage = [this](TObject*, const std::string& line, uint8_t) { log.push_back(line); };
  }

  TFakeBackEnd* fake = nullptr;
  std::unique_ptr<TSCSIDevice> device;
  std::vector<std::string> log;
};

}  // namespace zamo::test
