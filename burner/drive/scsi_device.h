// scsi_device.h: TSCSIDevice, the drive-access component and the base of the
// burner component: its log channel, its critical section, the selected
// drive, and every drive command (command gate, command set, sense texts,
// disc and drive information, recording control, tray and readiness).
//
// Thread safety: DebugMessage may be called from any thread and runs the
// handler on that thread; Lock/Unlock guard data shared between the
// component's threads. Drive commands take no lock: one caller at a time
// (the front ends disable their controls while a job runs).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "burner/drive/cdb.h"
#include "burner/drive/disc_kind.h"
#include "burner/drive/parameter_lists.h"
#include "burner/drive/replies.h"
#include "burner/drive/srb.h"
#include "burner/platform/component.h"
#include "burner/platform/date_time.h"

namespace zamo {

// Message types of the log channel.
constexpr uint8_t kMsgStatus = 0;       // errors and plain status lines
constexpr uint8_t kMsgInfo = 1;         // ">>> " informational and progress lines
constexpr uint8_t kMsgLimit = 3;        // compilation limits reached
constexpr uint8_t kMsgCompilation = 4;  // compilation and session-import errors

using TOnDebugMsg = std::function<void(TObject* Sender, const std::string& Message, uint8_t mType)>;
using TDeviceChangeEvent = std::function<void(TObject* Sender)>;
using TEraseDoneEvent = std::function<void(TObject* Sender, bool WithError)>;

class TEraseThread;

// The disc record of GetDiscInfo.
struct TDisc {
  bool Ready = false;
  uint32_t Capacity = 0;
  uint32_t Size = 0;
  uint32_t BlockLength = 0;
  uint8_t FirstSession = 0;
  uint8_t LastSession = 0;
  uint8_t LastSessionState = 0;  // 0 empty, 1 incomplete, 2 reserved, 3 complete
  uint8_t DiscStatus = 0;        // 0 empty, 1 incomplete, 2 complete, 3 other
  uint16_t Profile = 0;
  std::string TypeName;
  bool Erasable = false;
};

class TSCSIDevice : public TComponent {
 public:
  explicit TSCSIDevice(TComponent* owner);
  ~TSCSIDevice() override;

  // ==== Frame: log channel, critical section ================================
  // Fires OnDebugMessage(this, Msg, mType) when a handler is set; the text is
  // passed on unchanged (prefixes such as ">>> " belong to the caller).
  void DebugMessage(const std::string& Msg, uint8_t mType);

  // Runs `call` on the user-interface thread through Dispatcher, which the
  // front end installs (the desktop program posts to its window thread; the
  // command line and the tests pump a CallQueue). Without a dispatcher the
  // call runs at once on the calling thread. Never waits for the call.
  void Synchronize(std::function<void()> call);
  std::function<void(std::function<void()>)> Dispatcher;

  // The component's critical section; re-entrant for the thread holding it.
  void Lock() { critical_section_.lock(); }
  void Unlock() { critical_section_.unlock(); }

  TOnDebugMsg OnDebugMessage;
  TDeviceChangeEvent OnDeviceChange;
  // Set once the first command ran (kept for the writer, which sets it too).
  bool ErrorLogDone = false;

  // ==== Transport and devices (transport.cpp, device_list.cpp) ==============
  // Chooses and starts a back end (transport.h), then scans the devices.
  bool InitializeASPI(bool PreferSpti, const std::string& DllPath);
  bool ASPIInitialized() const;
  void ScanDevices();
  void HostAdapterInquiry(uint8_t HaId);
  // Makes the device of a list line current ("H:T:L,node: VENDOR...").
  void SelectDevice(const std::string& S);
  // The device node of the selected device (/dev/sr0, emu0), empty if none.
  std::string GetDevicePath() const;
  static void SetReleaseHandles(bool Value);
  // Runs one request through the back end; returns 1, or SS_NO_ASPI when
  // nothing could be sent. The outcome is the request's status byte. A
  // request still pending after max(TimeoutMs, MinimumCommandWaitMs) is
  // aborted through the back end (which then lets go of it and its buffer)
  // and ends with status 4, host adapter status 9.
  uint8_t ExecuteCommand(TSRB_ExecSCSICmd& Request, int TimeoutMs);
  static constexpr int kMinimumCommandWaitMs = 10000;
  // The shortest wait for any command; tests lower it to time out quickly.
  int MinimumCommandWaitMs = kMinimumCommandWaitMs;
  // The longest wait for any command (tests shorten a 2-minute write's).
  int MaximumCommandWaitMs = 0x7FFFFFFF;
  // The last command did not complete within its wait (it was aborted).
  bool LastCommandTimedOut = false;
  // Ends the wait for the command in flight at once, as if it had not
  // completed (LastCommandCancelled instead of LastCommandTimedOut); the
  // commands sent after it are waited for as usual. Only stores to an
  // atomic: a signal handler may call it.
  void CancelPendingCommand() { cancel_generation_.fetch_add(1); }
  // The last command was cut short by CancelPendingCommand.
  bool LastCommandCancelled = false;
  // How often a command's wait looks for a cancellation.
  static constexpr int kCancelCheckMs = 100;
  // The last command failed below SCSI: the transport could not carry it (an
  // errno in TransportErrno: access refused, drive unplugged, input/output
  // error), the host or driver reported a failure (unreachable drive, reset,
  // kernel or gate time-out: LastCommandTimedOut says which), the drive's
  // sense data was lost, or nothing could be sent. No drive retries its way
  // out of these: a job ends on them with LastError. False after a success,
  // after an answer of the drive itself (sense data, busy, reservation
  // conflict, queue full) and after a wait cut short by CancelPendingCommand.
  bool LastFailureIsTransport() const { return last_failure_transport_; }

  // How the back end reaches the device of a list line (empty for a line
  // that names no device): zamo-cli shows why a listed drive is unusable.
  TDeviceAccess DeviceAccessOf(const std::string& line) const;

  // Holds the selected device for this process alone while a job runs: on
  // Linux its node is opened once with O_EXCL and kept open, so that desktop
  // pollers and automounters keep away and a door lock holds. False, with
  // the reason in LastError, when it is refused (the disc is mounted or
  // another program holds the drive) or no device is selected. Calls nest:
  // each successful BeginExclusive needs one EndExclusive, the last of which
  // lets go of the device it was begun on. TExclusiveDevice pairs them.
  bool BeginExclusive();
  void EndExclusive();
  bool HoldsExclusive() const { return exclusive_depth_ > 0; }
  // The hold of a writing or erasing job: taken when the job starts, let go
  // however it ends (once, from whichever thread ends it).
  bool BeginJobExclusive();
  void EndJobExclusive();

  // The selected device as its back end reaches it (SelectDevice): the
  // bytes one command may carry (0: no limit known), and a device that could
  // only be opened for reading, which no writing job may use (the reason in
  // DeviceAccessText).
  uint32_t MaxTransferBytes = 0;
  bool ReadOnlyAccess = false;
  std::string DeviceAccessText;
  // Sectors one command may carry, at most `wanted`: within MaxTransferBytes.
  uint32_t TransferSectors(uint32_t wanted) const;
  // Why no writing job may use the selected device (ReadOnlyAccess), in
  // French; empty when it may.
  std::string WritingRefusal() const;

  uint8_t HaId = 0xFE, TargetId = 0xFE, Lun = 0xFE;
  int8_t HostAdapterCount = -1;
  std::vector<std::string> Devices;
  std::string DeviceString;
  uint8_t DeviceType = 0x7F;
  std::string DeviceName;
  uint8_t InquiryData[131] = {};
  std::string LastError;
  uint8_t LastSense[kSenseAreaSize] = {};
  bool TargetBusy = false;
  bool DoDebug = false;
  std::string HostAdapterManager, HostAdapterName;  // from the last inquiry
  // Per-model quirks (SelectDevice).
  bool UnderrunCapableModel = false;
  bool LinkSizeValidModel = false;
  bool SlowReadyModel = false;
  static std::atomic<bool> SlowReadyVendor;
  static std::atomic<bool> ImmediateCloseModel;
  // Every failed command's log line is written (not only the first); tests
  // and the command line may switch it off.
  bool LogCommandErrors = true;

  // ==== Sense data and messages (sense.cpp) =================================
  std::string StatusText(uint8_t Status, uint8_t HostAdapterStatus, uint8_t TargetStatus);
  void DescribeError(const TSRB_ExecSCSICmd& Request);
  void DescribeAdditionalSense(const TSRB_ExecSCSICmd& Request);
  // LastSense's fields, in fixed or descriptor format (DecodeSense, sense.h).
  uint8_t LastAsc() const;
  uint8_t LastAscq() const;
  uint8_t LastSenseKey() const;
  // The last failure is a deferred error (71h/F1h, 73h, a sense key above
  // RECOVERED ERROR): an operation started earlier with the immediate bit
  // failed; the command that reported it was not carried out.
  bool LastDeferredError() const;
  // Describes sense data that REQUEST SENSE returned (a deferred error the
  // drive kept for it) into LastError and LastSense, as if the last command
  // had ended in a CHECK CONDITION with it.
  void AdoptRequestSenseData(const uint8_t* Data, int Length);

  // ==== Command set (commands.cpp) ==========================================
  bool TestUnitReady(int TimeoutMs);
  void RezeroUnit();
  bool RequestSense(uint8_t* Buffer, uint8_t Length);
  bool FormatUnit(uint8_t Byte1, const uint8_t* List, int Length);
  bool Inquiry();
  bool LoadEject(bool Eject);
  bool PreventAllowRemoval(bool Allow);
  bool ReadFormatCapacities(uint32_t& Blocks, uint32_t& BlockLength);
  bool ReadCapacity(uint32_t& LastLba, uint32_t& BlockLength);
  bool Read10(uint32_t Lba, uint16_t Blocks, uint8_t* Buffer, uint32_t BufferLength);
  bool Write10(uint32_t Lba, uint16_t Blocks, const uint8_t* Buffer, uint32_t BufferLength, uint8_t Flags);
  bool SynchronizeCache(int TimeoutMs, bool Immediate);
  // Length above 255: refused before anything is sent (returns false).
  bool ReadTocPmaAtip(uint8_t Format, uint8_t* Buffer, uint8_t Control, bool Msf, uint8_t Number, int Length);
  // The table of contents read and parsed: its tracks with their block
  // addresses and the lead-out (format 0); every session's tracks from
  // `Session` on (format 2, a CD's full TOC); the complete sessions and the
  // last one's start (format 1). False, `Toc`/`Info` untouched, on failure.
  bool ReadToc(TTableOfContents& Toc);
  bool ReadFullToc(uint8_t Session, TTableOfContents& Toc);
  bool ReadMultisessionInfo(TMultisessionInfo& Info);
  bool GetConfiguration(uint8_t RequestType, uint16_t StartFeature, int Length, uint8_t* Buffer);
  bool ReadDiscInformation(uint8_t* Buffer, int Length);
  bool ReadDiscInfo();
  // The track number goes to CDB bytes 4-5, so tracks after 255 can be asked.
  bool ReadTrackInformation(uint16_t Track);
  // READ TRACK INFORMATION by address type (0 an LBA, 1 a track number, 2 a
  // session number: that session's first track) into TrackInfo.
  bool ReadTrackInformationOf(uint8_t AddressType, uint32_t Number);
  bool ReserveTrack(uint32_t Blocks);
  bool SendOpcInformation();
  bool ModeSelect(const uint8_t* List, int Length);
  bool ModeSense(uint8_t Page, uint8_t* Buffer, bool Defaults, int Length, int BufferSize);
  bool CloseTrackSession(bool Immediate, uint8_t Function, uint8_t Number);
  bool CloseSessionOrTrack(bool CloseTrack, bool Immediate, bool Finalize);
  bool ReadBufferCapacity(uint32_t& Size, uint32_t& Free);
  bool SendCueSheet(const uint8_t* Buffer, int Length);
  // BLANK (immediate); success is status 0 or 1.
  bool Blank(bool Quick);
  bool SetStreaming(const uint8_t* Buffer, int Length);
  bool SetCdSpeed(uint16_t ReadKBs, uint16_t WriteKBs);
  bool SendDvdStructure(uint8_t Format, const uint8_t* Buffer, int Length);
  bool SendTimeStamp(TDateTime When);
  // Name of an opcode for the error log line: padded to 22 characters, or
  // two hexadecimal digits.
  static const std::string& CommandName(uint8_t Opcode);

  // ==== Disc and drive information (disc_info.cpp) ==========================
  bool ReadCapabilities();
  // The profiles the drive lists in its profile-list feature, in its order,
  // and the current one (0 without a disc).
  bool ReadProfiles(std::vector<uint16_t>& Profiles, uint16_t& Current);
  bool HasUnderrunPage();
  uint16_t GetMaxWriteSpeed();
  uint16_t GetMaxReadSpeed();
  uint16_t GetCurrentWriteSpeed();
  void ReadDeviceName();
  TDiscKind GetDiscType();
  // GetDiscType, noted as the recorded disc kind.
  TDiscKind NoteDiscKind();
  // The disc kind this component last noted (dkUnknown before any): the
  // erase, the layout's disc step, the burn checks, the writer and
  // IsDiscErasable note it; the size queries note it when none is; the
  // readiness wait reads it. Each component keeps its own: two drives in
  // one program never share it. Written by the writer thread too.
  TDiscKind RecordedDiscKind() const { return recorded_disc_kind_.load(); }
  bool IsDiscErasable();
  int GetDiscStatus();
  int GetSessionCount();
  void GetDiscInfo(TDisc& Disc);
  uint32_t GetIsoVolumeSize();
  uint32_t GetNextWritableAddress();
  uint32_t GetFreeBlocks();
  uint32_t GetDiscCapacity();
  static uint32_t MsfToLba(uint32_t H, uint32_t M, uint32_t S, uint32_t F) {
    return H * 270000 + M * 4500 + S * 75 + F;
  }
  // A sector count as minutes, seconds and frames (75 frames a second),
  // without the 150 frames of MSF 00:02:00: sector 4500 is 01:00:00. The
  // minute is cut to a byte, as the fields it goes into hold one.
  struct TMsf {
    uint8_t Minute = 0, Second = 0, Frame = 0;
    bool operator==(const TMsf&) const = default;
  };
  static TMsf LbaToMsf(uint32_t Lba) {
    return {static_cast<uint8_t>(Lba / 4500), static_cast<uint8_t>(Lba / 75 % 60),
            static_cast<uint8_t>(Lba % 75)};
  }

  // What ReadCapabilities learnt: the speeds (those the capabilities page
  // leaves zero taken from GET PERFORMANCE, a write speed of 0 made 1x DVD),
  // the buffer and the write speed list, with the media bits of
  // Capabilities and the write types of SupportedWriteTypes as they are now.
  TDriveCapabilities DriveCapabilities() const;
  // The fields of DiscInfoBuffer, as the last READ DISC INFORMATION left it.
  TDiscInformation DiscInformation() const;
  // Last track in the last session, from the disc information (both bytes).
  uint16_t LastTrackOfLastSession() const;

  // The capabilities page (2Ah) from its page code, as the drive sent it.
  uint8_t CapabilitiesPage[516] = {};
  uint32_t Capabilities = 0;
  uint16_t DeviceMaxWriteSpeed = 0;
  uint16_t DeviceMaxReadSpeed = 0;
  // The drive buffer, as READ BUFFER CAPACITY last said (written by the
  // writer thread, read by the window's timer).
  std::atomic<uint32_t> DeviceBufferSize{0};
  std::atomic<uint32_t> DeviceFreeBufferSize{0};
  // READ DISC INFORMATION response as the drive sent it (big-endian);
  // DiscInfoLength is its data length (bytes 0-1) in host order.
  uint8_t DiscInfoBuffer[56] = {};
  uint16_t DiscInfoLength = 0;
  TTrackInfo TrackInfo;
  uint8_t AtipBuffer[26] = {};
  uint8_t ConfigBuffer[114] = {};

  // ==== Recording control (recording_control.cpp) ===========================
  // The write parameters page for a disc of `Kind`, sent with MODE SELECT
  // (nothing for a DVD-RAM). `Finalize` is what the session's close does to
  // the disc (a write-once DVD-R or a CD announce it); `CloseFlag` sets a
  // DVD+R DL's multisession field.
  bool SetWriteParameters(bool TestWriteOn, bool UnderrunProtectionOn, bool CloseFlag, TDiscKind Kind,
                          TDiscFinalize Finalize);
  void ProbeWriteTypes();
  bool TryWriteType(int Kind);  // 0 raw, 1 session-at-once, 2 track-at-once
  bool SetPerformance(uint32_t StartLba, uint32_t EndLba, uint32_t ReadSize, uint32_t WriteSize,
                      uint32_t ReadTime, uint32_t WriteTime);
  uint16_t WriteSpeed() const { return write_speed_; }
  // Sends SET CD SPEED (ReadSpeed, value), then stores the value.
  void SetWriteSpeed(uint16_t value);
  uint16_t ReadSpeed = 0;

  uint8_t WriteParamsPage[54] = {};
  uint8_t SupportedWriteTypes = 0;  // kWriteTypeRaw, kWriteTypeSessionAtOnce, kWriteTypeTrackAtOnce
  bool TestWrite = false;
  bool UnderrunProtection = true;
  // The user's choice: the job closes the disc for good (no further session).
  bool FinalizeDisc = false;
  bool FinalizeTrack = true;
  bool PerformOPC = false;

  // ==== Tray, lock and readiness (tray.cpp) =================================
  bool WaitUntilReady(int TotalMs, int StepMs);
  // Sleep used by the readiness waits and the erase thread (a seam for
  // tests; default sleeps). Called from the erase thread too.
  std::function<void(int ms)> Sleep;

  // ==== Erasing rewritable discs (burner/erase/) ============================
  // Starts erasing the disc (Quick: minimal blank / the start of the disc;
  // otherwise all of it); the waiting runs on TEraseThread. True when the
  // erase started: OnEraseDone follows once, through Synchronize. False when
  // it could not start: OnEraseDone(this, true) has run already on this
  // thread, except while another erase runs (then nothing is fired).
  bool EraseDisc(bool Quick);
  // Percent done of the running erase (0 when none runs).
  int GetEraseProgress() const;
  // True from a started EraseDisc until its OnEraseDone has run.
  bool Erasing() const { return erasing_; }
  bool EraseQuick = false;
  TEraseDoneEvent OnEraseDone;
  // Why the last erase failed, in French ("" after a success); set before
  // OnEraseDone(this, true) and written to the log as well.
  std::string EraseErrorText;
  // Asks a running erase thread to stop and waits (bounded) until it no
  // longer uses this component; OnEraseDone is not fired. The drive goes on
  // with a blank or format it runs on its own. Run by the destructor too.
  void StopErase();

 protected:
  // Zeroes a request block, fills it and runs it; true on status 1 (or 0
  // when `accept_pending`).
  bool RunCommand(const uint8_t* cdb, int cdb_length, uint8_t flags, uint8_t* buffer, uint32_t length,
                  int timeout_ms, bool accept_pending = false);
  bool RunCommand(const Cdb& cdb, uint8_t flags, uint8_t* buffer, uint32_t length, int timeout_ms,
                  bool accept_pending = false) {
    return RunCommand(cdb.data(), static_cast<int>(cdb.length()), flags, buffer, length, timeout_ms, accept_pending);
  }
  void WriteErrorLogLine(const TSRB_ExecSCSICmd& Request);
  // Common start of the size queries; returns the disc's kind.
  TDiscKind PrepareSizeQuery();

 private:
  friend class TEraseThread;
  // Erase start helpers (burner/erase/erase_disc.cpp).
  bool StartEraseOperation(TDiscKind kind, bool quick);
  bool FailEraseStart(const std::string& text);
  // Called by the erase thread as its last use of this component.
  void DeliverEraseDone(bool with_error, const std::string& text);
  std::atomic<bool> erasing_{false};
  std::atomic<bool> erase_thread_running_{false};
  std::atomic<bool> erase_cancel_{false};
  std::atomic<int> erase_progress_{0};
  // Whether this component still exists, for the OnEraseDone call posted to
  // the user-interface thread.
  std::shared_ptr<bool> erase_alive_ = std::make_shared<bool>(true);

  std::recursive_mutex critical_section_;
  std::atomic<TDiscKind> recorded_disc_kind_{dkUnknown};
  bool last_failure_transport_ = false;
  std::atomic<bool> job_exclusive_{false};  // the running job holds the device (BeginJobExclusive)
  // Nesting of BeginExclusive and the address it holds.
  int exclusive_depth_ = 0;
  uint8_t exclusive_ha_ = 0xFE, exclusive_target_ = 0xFE, exclusive_lun_ = 0xFE;
  // Counts CancelPendingCommand calls; a command's wait ends when it changes.
  std::atomic<unsigned> cancel_generation_{0};
  uint16_t write_speed_ = 0;
  TDriveCapabilities drive_capabilities_;  // speeds, buffer and speed list of the last ReadCapabilities
  uint8_t scratch_[65536] = {};       // MODE SENSE response, MODE SELECT list
  uint8_t parameters_[4081] = {};     // capacities, buffer capacity, format list, time stamp
  uint8_t format_capacities_[248] = {};
  uint8_t sense_wait_[40] = {};       // readiness wait's sense buffer
};

// Holds a device exclusively for a scope (a job): BeginExclusive when made,
// EndExclusive when destroyed or released, on every path out. Borrows
// `device`, which must outlive it.
class TExclusiveDevice {
 public:
  explicit TExclusiveDevice(TSCSIDevice& device) : device_(device), held_(device.BeginExclusive()) {}
  ~TExclusiveDevice() { Release(); }
  TExclusiveDevice(const TExclusiveDevice&) = delete;
  TExclusiveDevice& operator=(const TExclusiveDevice&) = delete;
  // False when refused: the reason is in the device's LastError.
  bool held() const { return held_; }
  void Release() {
    if (held_) device_.EndExclusive();
    held_ = false;
  }

 private:
  TSCSIDevice& device_;
  bool held_;
};

}  // namespace zamo
