// emulated_unit.h: one emulated MMC logical unit: a DVD±RW/RAM recorder with
// an emulated disc in its tray. Execute takes a CDB and a data buffer as a
// SCSI target would, and answers with a SCSI status and fixed-format sense
// data following the MMC-5 and SPC-3 rules for every command the component
// sends (drive identity, features and mode pages, disc/track/TOC information,
// reading, writing, closing, reserving, blanking, formatting, tray and lock).
//
// A command the unit cannot answer yet (a write waiting for room in the drive
// buffer, a flush waiting for it to drain, a command set to hang) comes back
// pending: the caller takes it again at its retry time, or never.
//
// Thread-safety: Execute may be called from several threads; one command runs
// at a time.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "burner/drive/srb.h"
#include "emulator/disc_state.h"
#include "emulator/drive_buffer.h"
#include "emulator/disc_store.h"
#include "emulator/drive_config.h"
#include "emulator/sense.h"

namespace zamo::emu {

enum class TDataDirection { kNone, kIn, kOut };

struct TCommandResult {
  uint8_t status = STATUS_GOOD;     // SCSI status
  uint8_t host_status = HASTAT_OK;  // transport failure (data direction or length)
  TSenseBytes sense{};              // with CHECK CONDITION
  uint32_t transferred = 0;         // bytes moved to or from the host's buffer
  // Not answered yet: nothing was done; the command is to be run again at
  // `retry_at` (on the unit's clock) or, with `never`, it never completes.
  std::optional<std::chrono::steady_clock::time_point> retry_at;
  bool never = false;

  bool pending() const { return never || retry_at.has_value(); }
  bool good() const { return !pending() && status == STATUS_GOOD && host_status == HASTAT_OK; }
  TSenseCode code() const { return {static_cast<uint8_t>(sense[2] & 0x0F), sense[12], sense[13]}; }
};

// The unit's time line; tests replace it to step through long operations.
using TClock = std::function<std::chrono::steady_clock::time_point()>;

// How long the operations started with the immediate bit keep the unit busy
// (NOT READY with progress). All zero by default: everything is instant.
struct TOperationTimes {
  std::chrono::milliseconds blank{0};       // minimal blank; a whole-disc blank too unless full_blank is set
  std::chrono::milliseconds full_blank{0};
  std::chrono::milliseconds format{0};
  std::chrono::milliseconds close{0};
  std::chrono::milliseconds synchronize{0};
};

class TEmulatedUnit {
 public:
  // Opens the disc of `config`; null with a message when its files cannot be used.
  static std::unique_ptr<TEmulatedUnit> Open(const TDriveConfig& config, std::string* error, TClock clock = {});
  ~TEmulatedUnit();
  TEmulatedUnit(const TEmulatedUnit&) = delete;
  TEmulatedUnit& operator=(const TEmulatedUnit&) = delete;

  // Runs one command. `direction` is what the host announced (kNone: decided
  // by the command); `data` is the host's buffer, never touched past its end.
  TCommandResult Execute(std::span<const uint8_t> cdb, TDataDirection direction, std::span<uint8_t> data);

  void SetOperationTimes(const TOperationTimes& times);
  // The durations the configuration gives (timing=, blank=, format= ...).
  static TOperationTimes TimesOf(const TDriveConfig& config);

  // The recording figures of a unit that writes at a real speed (speed=N or
  // speed=drive); none otherwise. Also saved to IMAGEFILE.stats when a
  // recording ends.
  std::optional<TWriteStats> WriteStats() const;
  std::string StatsPath() const;

  // What the host sent, for diagnostics and tests.
  std::optional<std::array<uint8_t, 28>> LastPerformanceDescriptor() const;
  std::optional<std::string> LastTimeStamp() const;  // SEND DVD STRUCTURE 0Fh: "yyyymmddhhnnss"
  uint16_t CurrentReadSpeed() const;
  uint16_t CurrentWriteSpeed() const;
  const TDriveConfig& config() const { return config_; }
  // trace=: a line for a command the transport ended before this unit saw it.
  void TraceTransport(std::span<const uint8_t> cdb, const std::string& answer);

 private:
  struct TCommand;
  struct TCommandInfo;
  using THandler = TCommandResult (TEmulatedUnit::*)(const TCommand&);
  struct TLongOperation {
    TSenseCode code;
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::time_point end;
  };

  TEmulatedUnit(const TDriveConfig& config, std::unique_ptr<TDiscStore> store, TClock clock);
  static const TCommandInfo* Find(uint8_t opcode);
  TCommandResult Dispatch(std::span<const uint8_t> cdb, TDataDirection direction, std::span<uint8_t> data);

  // Answers.
  static TCommandResult Good() { return {}; }
  static TCommandResult Fail(const TSense& sense);
  static TCommandResult Fail(TSenseCode code) { return Fail(TSense::Of(code)); }
  static TCommandResult HostError();
  static TCommandResult RetryAt(std::chrono::steady_clock::time_point when);
  static TCommandResult NeverAnswers();
  static TCommandResult DataIn(const TCommand& command, std::span<const uint8_t> response, uint32_t allocation);
  // The parameter list of a data-out command, or the failure when the host
  // sent less than `length` bytes.
  static std::optional<std::span<const uint8_t>> ParameterList(const TCommand& command, uint32_t length);

  bool MediumPresent() const { return !tray_.open && !config_.no_disc && !medium_removed_; }
  TSenseCode NoMediumSense() const;
  bool IsCd() const { return Traits(disc_.kind()).is_cd; }
  // A disc being identified after a load has no profile yet.
  uint16_t CurrentProfile() const { return MediumPresent() && !spinning_up_ ? disc_.Profile() : kProfileNone; }
  bool Strict(TRule rule) const { return config_.rules.Has(rule); }
  // DVD-R or DVD-RW in sequential recording: the media of borders and RZones.
  bool DvdMinusSequential() const;
  // Spin-up after a load (spinup=): true while the disc is not ready yet;
  // when it ends, the unit attention for the new medium is raised.
  bool SpinningUp(std::chrono::steady_clock::time_point now);
  std::optional<TSense> LongOperationSense();
  void StartLongOperation(TSenseCode code, std::chrono::milliseconds duration);
  // A flush or close without the immediate bit: held (pending) until the
  // buffer has drained at `drained`, plus `duration`; null once it is done.
  std::optional<TCommandResult> HoldUntilDone(uint8_t opcode, std::chrono::steady_clock::time_point drained,
                                              std::chrono::milliseconds duration,
                                              std::chrono::steady_clock::time_point now);

  // Injected faults (unit_faults.cpp). faultat= and removeat=close: takes
  // effect when `cdb` is the command where they begin.
  void NoteFaultStart(std::span<const uint8_t> cdb);
  // notready= and busy=, when on: the answer instead of the command's.
  std::optional<TCommandResult> InjectedBusyOrNotReady();
  TSenseCode InjectedNotReadySense() const;
  // notready=always is on: REQUEST SENSE reports it too.
  bool StuckNotReady() const;
  // trace=: one line for the command and its answer.
  void Trace(std::span<const uint8_t> cdb, const TCommandResult& result);
  void TraceCdb(std::span<const uint8_t> cdb);  // the time and the CDB of a line
  // The host ended a recording: the buffer's figures are saved.
  void EndRecording(std::chrono::steady_clock::time_point now);
  // How long a flush or close waits for the buffer to drain (zero without
  // one), and the end of the recording under way.
  std::chrono::milliseconds FinishRecording(std::chrono::steady_clock::time_point now);
  // When the data the buffer holds will have been recorded (`now` when
  // writes do not wait for the buffer).
  std::chrono::steady_clock::time_point DrainedAt(std::chrono::steady_clock::time_point now) const;
  // Bytes per second the buffer drains at, and the x-speed: the fixed
  // speed=N, else the write speed the host set.
  uint64_t RecordingRate() const;
  double RecordingSpeed() const;
  void FollowWriteSpeed();  // the host changed the speed: the buffer drains at it
  bool Commit(std::string* error);  // saves the disc's state
  TCommandResult CommitOrFail();
  std::array<uint8_t, 52> DefaultWriteParameters() const;
  bool state_saved_by_write_ = false;  // the state file was saved since this unit's first write
  // A write on a sequential disc moves its next writable address, which the
  // state file keeps. Replacing that file on every WRITE took longer than
  // the write (a burn of 600 MiB spent 9 s on it), so a run of writes saves
  // it at most every kRecordedStateLag, before any other command but READ
  // BUFFER CAPACITY, before another unit of this process opens the same
  // files, and when the unit closes. A process killed in the middle loses
  // at most that much of the recording, as a drive loses what its buffer
  // held when its power is cut.
  static constexpr std::chrono::milliseconds kRecordedStateLag{250};
  std::optional<std::chrono::steady_clock::time_point> unsaved_since_;  // the oldest write not saved
  bool NoteRecorded(std::chrono::steady_clock::time_point now, std::string* error);
  bool SaveRecordedState(std::string* error);  // the writes not saved yet, if any
  void ResetWriteParameters() { write_params_ = DefaultWriteParameters(); }
  void MediumLoaded();
  // The tray: another unit on the same files may have moved it (as another
  // initiator would a real drive's); a move of this unit's is saved first,
  // and fails with INTERNAL TARGET FAILURE when it cannot be.
  void FollowSavedTray();
  void ApplyTray(const TTray& tray);
  TCommandResult MoveTray(const TTray& tray);

  // Write parameters page (05h) fields.
  uint8_t WriteType() const { return write_params_[2] & 0x0F; }
  bool TestWrite() const { return (write_params_[2] & 0x10) != 0; }
  bool UnderrunProtection() const { return (write_params_[2] & 0x40) != 0; }
  bool NextSessionAllowed() const { return (write_params_[3] & 0xC0) == 0xC0; }
  bool FixedPacket() const { return (write_params_[3] & 0x20) != 0; }
  uint8_t DataBlockType() const { return write_params_[4] & 0x0F; }
  uint32_t PacketSize() const;
  bool WriteParamsApply() const;  // false for media that ignore the page

  // Commands (emulated_unit.cpp).
  TCommandResult TestUnitReady(const TCommand&);
  TCommandResult RezeroUnit(const TCommand&);
  TCommandResult RequestSense(const TCommand&);
  TCommandResult Inquiry(const TCommand&);
  TCommandResult StartStopUnit(const TCommand&);
  TCommandResult PreventAllowRemoval(const TCommand&);
  // unit_features.cpp
  TCommandResult GetConfiguration(const TCommand&);
  // unit_mode_pages.cpp
  TCommandResult ModeSense(const TCommand&);
  TCommandResult ModeSelect(const TCommand&);
  TCommandResult SetCdSpeed(const TCommand&);
  TCommandResult SetStreaming(const TCommand&);
  TCommandResult ReadBufferCapacity(const TCommand&);
  std::vector<uint8_t> CapabilitiesPage() const;
  std::optional<TSense> CheckWriteParameters(std::span<const uint8_t> page, size_t page_offset) const;
  // unit_speeds.cpp
  TCommandResult GetPerformance(const TCommand&);
  // unit_disc_info.cpp
  TCommandResult ReadCapacity(const TCommand&);
  TCommandResult ReadFormatCapacities(const TCommand&);
  TCommandResult ReadDiscInformation(const TCommand&);
  TCommandResult ReadTrackInformation(const TCommand&);
  TCommandResult ReadTocPmaAtip(const TCommand&);
  std::vector<uint8_t> TrackInformation(uint32_t number) const;
  TCommandResult ReadToc(const TCommand&, bool msf, uint8_t start_track);
  TCommandResult ReadSessionInfo(const TCommand&, bool msf);
  TCommandResult ReadFullToc(const TCommand&);
  TCommandResult ReadAtip(const TCommand&);
  // unit_recording.cpp
  TCommandResult Read(const TCommand&);
  TCommandResult Write(const TCommand&);
  TCommandResult SynchronizeCache(const TCommand&);
  TCommandResult CloseTrackSession(const TCommand&);
  TCommandResult ReserveTrack(const TCommand&);
  TCommandResult Blank(const TCommand&);
  TCommandResult FormatUnit(const TCommand&);
  TCommandResult SendOpcInformation(const TCommand&);
  TCommandResult SendCueSheet(const TCommand&);
  TCommandResult SendDvdStructure(const TCommand&);
  TCommandResult ReadBlocks(const TCommand&, uint32_t lba, uint32_t blocks);
  TCommandResult WriteBlocks(const TCommand&, uint32_t lba, uint32_t blocks);
  std::optional<TSense> CheckWriteAddress(uint32_t lba, uint32_t blocks, uint32_t* track) const;
  // The MMC rules of the recording mode for a write into `track`.
  std::optional<TSense> CheckRecordingMode(uint32_t track) const;
  // Closing: the reserved tracks a DVD-R/-RW drive refuses to close unfilled,
  // how the drive ends a CD track, and the padding it records.
  std::optional<TSense> CheckReservedTracksFull(uint32_t track, bool whole_session) const;
  TTrackEnding TrackEndingOfClose() const;
  bool RecordPadding(const std::vector<TBlockRange>& padding);
  // DVD-R/-RW: the open tracks' last ECC blocks padded when the host ends a
  // recording (flush or close); false when the state cannot be saved.
  bool PadToEccBlocks();
  // DVD+RW background format (format= time): its state in READ DISC
  // INFORMATION (0 none, 1 stopped, 2 running, 3 complete), its progress, and
  // how long the rest takes.
  uint8_t BackgroundFormatStatus(std::chrono::steady_clock::time_point now);
  std::optional<TSense> BackgroundFormatSense(std::chrono::steady_clock::time_point now);
  std::chrono::milliseconds BackgroundFormatLeft(std::chrono::steady_clock::time_point now) const;
  void StopBackgroundFormat(std::chrono::steady_clock::time_point now);
  // Throttled writing: whether `bytes` may go into the buffer now (null), or
  // the answer to give instead (pending until there is room, or a failure).
  std::optional<TCommandResult> AdmitToBuffer(uint64_t bytes, std::chrono::steady_clock::time_point now);
  TCommandResult FormatOverwritable(uint8_t type, uint32_t blocks, uint32_t parameter);

  mutable std::mutex mutex_;
  const TDriveConfig config_;
  std::unique_ptr<TDiscStore> store_;
  TDiscState disc_;
  TClock clock_;
  TOperationTimes times_;

  TTray tray_;
  uint32_t busy_left_;
  uint32_t not_ready_left_;
  std::deque<TSense> pending_;  // unit attentions and deferred errors, for the next command
  std::optional<TLongOperation> long_operation_;
  // With speed=N or speed=drive the buffer holds writes back
  // (buffer_throttles_); otherwise it only shows its fill.
  std::optional<TDriveBuffer> buffer_;
  bool buffer_throttles_ = false;
  bool spinning_up_ = false;
  std::chrono::steady_clock::time_point spun_up_at_{};
  struct TBackgroundFormat {
    std::chrono::steady_clock::duration total;
    std::chrono::steady_clock::duration done{};  // before running_since
    std::optional<std::chrono::steady_clock::time_point> running_since;  // none: stopped
  };
  std::optional<TBackgroundFormat> background_format_;
  bool medium_removed_ = false;         // removeat= was reached: the disc is gone for good
  bool faults_on_;                      // notready=, busy=, hang= apply (faultat= was reached)
  struct THeld {
    uint8_t opcode;
    std::chrono::steady_clock::time_point until;
  };
  std::optional<THeld> held_;           // the flush or close being held
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> trace_{nullptr, &std::fclose};
  std::chrono::steady_clock::time_point opened_at_;  // trace= times count from here

  std::array<uint8_t, 52> write_params_{};  // mode page 05h from its page code byte
  bool cue_sheet_sent_ = false;
  std::optional<uint32_t> simulated_next_;  // next address of a test write (nothing is recorded)
  uint16_t read_speed_ = 0;
  uint16_t write_speed_ = 0;
  std::optional<std::array<uint8_t, 28>> performance_;
  std::optional<std::string> time_stamp_;
};

}  // namespace zamo::emu
