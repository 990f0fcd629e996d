// emulated_backend.h: the transport back end "ZAMOEMU" that carries the
// command gate's ASPI request blocks to emulated recorders: one host adapter
// (0), one target per configured drive (0, 1, ...), LUN 0, device paths
// "emu0", "emu1"...
//
// A command the unit cannot answer at once (a write waiting for room in the
// drive buffer, a flush waiting for it to drain, hang=) stays pending: the
// request returns SS_PENDING and a worker thread completes it when the unit
// answers, setting its status and then its event, unless the host aborts it
// first. Once an abort returns, the request is never touched again.
//
// Before a request reaches its unit it passes the host's side, as SG_IO's:
// the transport faults of the unit's configuration (transport_faults.h).
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "burner/drive/srb.h"
#include "emulator/drive_config.h"
#include "emulator/emulated_unit.h"
#include "emulator/transport_faults.h"

namespace zamo::emu {

class TEmulatedBackEnd : public TAspiBackEnd {
 public:
  explicit TEmulatedBackEnd(std::vector<std::unique_ptr<TEmulatedUnit>> units);
  ~TEmulatedBackEnd() override;

  const char* TransportName() const override { return "ZAMOEMU"; }
  uint32_t GetASPI32SupportInfo() override;
  uint32_t SendASPI32Command(void* srb) override;
  std::string DevicePath(uint8_t ha, uint8_t target, uint8_t lun) const override;
  // access=readonly and maxtransfer= of the unit's configuration.
  TDeviceAccess Access(uint8_t ha, uint8_t target, uint8_t lun) const override;

  size_t UnitCount() const { return units_.size(); }
  // REQUIRES: target < UnitCount().
  TEmulatedUnit& Unit(size_t target) { return *units_[target]; }
  // Requests taken and not completed or aborted yet.
  size_t PendingCount();

 private:
  struct TPendingRequest {
    TSRB_ExecSCSICmd* srb;
    TEmulatedUnit* unit;
    std::optional<std::chrono::steady_clock::time_point> retry_at;  // none: never answered
    bool kernel_timeout = false;  // the kernel gives up on it at retry_at
  };

  TEmulatedUnit* Address(uint8_t ha, uint8_t target, uint8_t lun) const;
  uint8_t HostAdapterInquiry(TSRB_HAInquiry* srb) const;
  uint8_t DeviceType(TSRB_GDEVBlock* srb) const;
  uint8_t Execute(TSRB_ExecSCSICmd* srb);
  static TCommandResult Run(TEmulatedUnit& unit, TSRB_ExecSCSICmd* srb);
  // Fills the request from the unit's answer and signals its event.
  static uint8_t Complete(TSRB_ExecSCSICmd* srb, const TCommandResult& result);
  static uint8_t Finish(TSRB_ExecSCSICmd* srb, uint8_t status);
  uint8_t Abort(TSRB_Abort* srb);
  void CompleteWhenDue();  // the worker thread

  std::vector<std::unique_ptr<TEmulatedUnit>> units_;
  std::mutex transport_mutex_;
  std::vector<TTransportFaults> transports_;  // GUARDED_BY(transport_mutex_), one per unit
  std::mutex pending_mutex_;
  std::condition_variable pending_changed_;
  std::vector<TPendingRequest> pending_;  // GUARDED_BY(pending_mutex_)
  bool stopping_ = false;                 // GUARDED_BY(pending_mutex_)
  std::thread worker_;                    // started by the first request that has to wait
};

// Builds the back end from a drive list (empty: the environment variable
// ZAMO_EMULATED_DRIVES). Null, with the reason in `error`, when nothing is
// configured, the list is invalid or a disc's files cannot be used.
std::unique_ptr<TAspiBackEnd> CreateEmulatedBackEnd(const std::string& config, std::string* error);

}  // namespace zamo::emu
