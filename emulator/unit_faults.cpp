// unit_faults.cpp: the faults the configuration injects into every command
// (notready=, busy=, hang= from the start or from faultat=, and removeat=close),
// and the command trace (trace=).
#include "emulator/unit_command.h"

namespace zamo::emu {

namespace {

constexpr uint8_t kWrite10 = 0x2A;
constexpr uint8_t kWrite12 = 0xAA;
constexpr uint8_t kSynchronizeCache = 0x35;
constexpr uint8_t kCloseTrackSession = 0x5B;

// Whether `cdb` is the command a fault waits for.
bool Reaches(const TFaultStart& start, std::span<const uint8_t> cdb) {
  switch (start.at) {
    case TFaultStart::TAt::kWrite: {
      if (cdb[0] != kWrite10 && cdb[0] != kWrite12) return false;
      const uint32_t lba = CdbBe32(cdb, 2);
      const uint32_t blocks = cdb[0] == kWrite10 ? CdbBe16(cdb, 7) : CdbBe32(cdb, 6);
      return blocks > 0 && uint64_t{lba} + blocks > start.lba;  // its last block is at or past it
    }
    case TFaultStart::TAt::kSynchronize:
      return cdb[0] == kSynchronizeCache;
    case TFaultStart::TAt::kClose:
      return cdb[0] == kCloseTrackSession;
  }
  return false;
}

}  // namespace

void TEmulatedUnit::NoteFaultStart(std::span<const uint8_t> cdb) {
  if (config_.remove_at_close && cdb[0] == kCloseTrackSession && MediumPresent()) {
    // The disc leaves as the close begins: nothing of it is recorded.
    EndRecording(clock_());
    medium_removed_ = true;
    simulated_next_.reset();
  }
  if (!faults_on_ && Reaches(*config_.fault_start, cdb)) faults_on_ = true;
}

std::optional<TCommandResult> TEmulatedUnit::InjectedBusyOrNotReady() {
  if (!faults_on_) return std::nullopt;
  if (busy_left_ > 0) {
    if (busy_left_ != kWithoutEnd) --busy_left_;
    TCommandResult busy;
    busy.status = STATUS_BUSY;
    return busy;
  }
  if (not_ready_left_ > 0) {
    if (not_ready_left_ != kWithoutEnd) --not_ready_left_;
    return Fail(InjectedNotReadySense());
  }
  return std::nullopt;
}

TSenseCode TEmulatedUnit::InjectedNotReadySense() const {
  // From the start a drive is becoming ready; one that stops answering
  // during a recording is still writing, as far as it says.
  return config_.fault_start ? sense::kLongWriteInProgress : sense::kBecomingReady;
}

bool TEmulatedUnit::StuckNotReady() const { return faults_on_ && not_ready_left_ == kWithoutEnd; }

void TEmulatedUnit::TraceTransport(std::span<const uint8_t> cdb, const std::string& answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!trace_) return;
  TraceCdb(cdb);
  std::fprintf(trace_.get(), " -> %s\n", answer.c_str());
  std::fflush(trace_.get());
}

void TEmulatedUnit::TraceCdb(std::span<const uint8_t> cdb) {
  // "   12.345 2A 00 00 00 01 40 00 00 20 00"
  const double seconds = std::chrono::duration<double>(clock_() - opened_at_).count();
  std::fprintf(trace_.get(), "%9.3f", seconds);
  for (uint8_t byte : cdb) std::fprintf(trace_.get(), " %02X", byte);
}

void TEmulatedUnit::Trace(std::span<const uint8_t> cdb, const TCommandResult& result) {
  if (!trace_) return;
  // "   12.345 2A 00 00 00 01 40 00 00 20 00 -> GOOD"
  TraceCdb(cdb);
  if (result.never) {
    std::fputs(" -> NEVER ANSWERED\n", trace_.get());
  } else if (result.retry_at) {
    const double in = std::chrono::duration<double>(*result.retry_at - clock_()).count();
    std::fprintf(trace_.get(), " -> HELD %.3f s\n", in);
  } else if (result.host_status != HASTAT_OK) {
    std::fprintf(trace_.get(), " -> HOST STATUS %02X\n", result.host_status);
  } else if (result.status == STATUS_BUSY) {
    std::fputs(" -> BUSY\n", trace_.get());
  } else if (result.status == STATUS_CHKCOND) {
    const TSenseCode code = result.code();
    std::fprintf(trace_.get(), " -> CHECK CONDITION %X/%02X/%02X\n", code.key, code.asc, code.ascq);
  } else {
    std::fputs(" -> GOOD\n", trace_.get());
  }
  std::fflush(trace_.get());  // another process follows the file as it grows
}

}  // namespace zamo::emu
