// emulated_backend.h: the transport back end "ZAMOEMU" that carries the
// command gate's ASPI request blocks to emulated recorders: one host adapter
// (0), one target per configured drive (0, 1, ...), LUN 0, device paths
// "emu0", "emu1"...
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "burner/drive/srb.h"
#include "emulator/drive_config.h"
#include "emulator/emulated_unit.h"

namespace zamo::emu {

class TEmulatedBackEnd : public TAspiBackEnd {
 public:
  explicit TEmulatedBackEnd(std::vector<std::unique_ptr<TEmulatedUnit>> units);
  ~TEmulatedBackEnd() override;

  const char* TransportName() const override { return "ZAMOEMU"; }
  uint32_t GetASPI32SupportInfo() override;
  uint32_t SendASPI32Command(void* srb) override;
  std::string DevicePath(uint8_t ha, uint8_t target, uint8_t lun) const override;

  size_t UnitCount() const { return units_.size(); }
  // REQUIRES: target < UnitCount().
  TEmulatedUnit& Unit(size_t target) { return *units_[target]; }

 private:
  TEmulatedUnit* Address(uint8_t ha, uint8_t target, uint8_t lun) const;
  uint8_t HostAdapterInquiry(TSRB_HAInquiry* srb) const;
  uint8_t DeviceType(TSRB_GDEVBlock* srb) const;
  uint8_t Execute(TSRB_ExecSCSICmd* srb);
  uint8_t Abort(TSRB_Abort* srb);

  std::vector<std::unique_ptr<TEmulatedUnit>> units_;
  std::mutex pending_mutex_;
  std::vector<TSRB_ExecSCSICmd*> pending_;  // requests not completed yet; an abort forgets them
};

// Builds the back end from a drive list (empty: the environment variable
// ZAMO_EMULATED_DRIVES). Null, with the reason in `error`, when nothing is
// configured, the list is invalid or a disc's files cannot be used.
std::unique_ptr<TAspiBackEnd> CreateEmulatedBackEnd(const std::string& config, std::string* error);

}  // namespace zamo::emu
