// emulated_unit.cpp: the unit's command dispatch, the checks every command
// passes (faults injected by the configuration, unit attention, long
// operations, medium presence), and the drive-level commands: TEST UNIT READY,
// REZERO UNIT, REQUEST SENSE, INQUIRY, START STOP UNIT and PREVENT ALLOW
// MEDIUM REMOVAL.
#include "emulator/emulated_unit.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>

#include "emulator/unit_command.h"

namespace zamo::emu {
namespace {

constexpr uint8_t kNeedsMedium = 0x01;    // fails with MEDIUM NOT PRESENT without a disc
constexpr uint8_t kAlwaysAnswers = 0x02;  // INQUIRY, REQUEST SENSE: no injected fault, no unit attention
constexpr uint8_t kNoAttention = 0x04;    // does not report a unit attention (GET CONFIGURATION)
constexpr uint8_t kWhileBusy = 0x08;      // answered normally during a long operation
constexpr uint8_t kRecords = 0x10;        // changes the disc: refused on a kind the drive does not write
constexpr uint8_t kAmidWrites = 0x20;     // WRITE, READ BUFFER CAPACITY: the state of the writes may wait

// The units of this process by image file. A unit opened on the files of
// another that is recording first has that one save what it recorded, so
// that it sees the disc as it is (a drive shares one disc with all its
// initiators).
std::mutex g_units_mutex;
std::multimap<std::string, TEmulatedUnit*>& UnitsByImage() {
  static std::multimap<std::string, TEmulatedUnit*> units;
  return units;
}

constexpr uint8_t kInquiryLength = 96;
constexpr char kVendor[] = "ZAMO    ";
constexpr char kRevision[] = "1.00";

}  // namespace

struct TEmulatedUnit::TCommandInfo {
  uint8_t opcode;
  uint8_t cdb_length;
  TDataDirection direction;
  uint8_t flags;
  THandler handler;
};

void PutMsf(std::span<uint8_t> out, size_t at, int32_t lba) {
  out[at] = 0;
  PutMsf3(out, at + 1, lba);
}

void PutMsf3(std::span<uint8_t> out, size_t at, int32_t lba) {
  int64_t frames = static_cast<int64_t>(lba) + kMsfOffset;
  if (frames < 0) frames += 450'000;  // lead-in addresses: 90:00:00 and up
  out[at] = static_cast<uint8_t>(frames / 4500);
  out[at + 1] = static_cast<uint8_t>(frames / 75 % 60);
  out[at + 2] = static_cast<uint8_t>(frames % 75);
}

const TEmulatedUnit::TCommandInfo* TEmulatedUnit::Find(uint8_t opcode) {
  using D = TDataDirection;
  static const TCommandInfo kCommands[] = {
      {0x00, 6, D::kNone, kNeedsMedium, &TEmulatedUnit::TestUnitReady},
      {0x01, 6, D::kNone, kNeedsMedium, &TEmulatedUnit::RezeroUnit},
      {0x03, 6, D::kIn, kAlwaysAnswers | kWhileBusy, &TEmulatedUnit::RequestSense},
      {0x04, 6, D::kOut, kNeedsMedium | kRecords, &TEmulatedUnit::FormatUnit},
      {0x12, 6, D::kIn, kAlwaysAnswers | kWhileBusy, &TEmulatedUnit::Inquiry},
      {0x1B, 6, D::kNone, 0, &TEmulatedUnit::StartStopUnit},
      {0x1E, 6, D::kNone, 0, &TEmulatedUnit::PreventAllowRemoval},
      {0x23, 10, D::kIn, kNeedsMedium, &TEmulatedUnit::ReadFormatCapacities},
      {0x25, 10, D::kIn, kNeedsMedium, &TEmulatedUnit::ReadCapacity},
      {0x28, 10, D::kIn, kNeedsMedium, &TEmulatedUnit::Read},
      {0x2A, 10, D::kOut, kNeedsMedium | kRecords | kAmidWrites, &TEmulatedUnit::Write},
      {0x35, 10, D::kNone, kNeedsMedium, &TEmulatedUnit::SynchronizeCache},
      {0x43, 10, D::kIn, kNeedsMedium, &TEmulatedUnit::ReadTocPmaAtip},
      {0x46, 10, D::kIn, kNoAttention | kWhileBusy, &TEmulatedUnit::GetConfiguration},
      {0x51, 10, D::kIn, kNeedsMedium, &TEmulatedUnit::ReadDiscInformation},
      {0x52, 10, D::kIn, kNeedsMedium, &TEmulatedUnit::ReadTrackInformation},
      {0x53, 10, D::kNone, kNeedsMedium | kRecords, &TEmulatedUnit::ReserveTrack},
      {0x54, 10, D::kNone, kNeedsMedium | kRecords, &TEmulatedUnit::SendOpcInformation},
      {0x55, 10, D::kOut, 0, &TEmulatedUnit::ModeSelect},
      {0x5A, 10, D::kIn, 0, &TEmulatedUnit::ModeSense},
      {0x5B, 10, D::kNone, kNeedsMedium | kRecords, &TEmulatedUnit::CloseTrackSession},
      {0x5C, 10, D::kIn, kAmidWrites, &TEmulatedUnit::ReadBufferCapacity},
      {0x5D, 10, D::kOut, kNeedsMedium | kRecords, &TEmulatedUnit::SendCueSheet},
      {0xA1, 12, D::kNone, kNeedsMedium | kRecords, &TEmulatedUnit::Blank},
      {0xA8, 12, D::kIn, kNeedsMedium, &TEmulatedUnit::Read},
      {0xAC, 12, D::kIn, kNeedsMedium, &TEmulatedUnit::GetPerformance},
      {0xAA, 12, D::kOut, kNeedsMedium | kRecords | kAmidWrites, &TEmulatedUnit::Write},
      {0xB6, 12, D::kOut, 0, &TEmulatedUnit::SetStreaming},
      {0xBB, 12, D::kNone, 0, &TEmulatedUnit::SetCdSpeed},
      {0xBF, 12, D::kOut, kNeedsMedium, &TEmulatedUnit::SendDvdStructure},
  };
  for (const TCommandInfo& info : kCommands)
    if (info.opcode == opcode) return &info;
  return nullptr;
}

std::unique_ptr<TEmulatedUnit> TEmulatedUnit::Open(const TDriveConfig& config, std::string* error, TClock clock) {
  std::lock_guard<std::mutex> units_lock(g_units_mutex);
  const auto [first, last] = UnitsByImage().equal_range(config.image_path);
  for (auto it = first; it != last; ++it) {
    std::lock_guard<std::mutex> lock(it->second->mutex_);
    std::string ignored;  // the other unit's next command reports a failure to save
    it->second->SaveRecordedState(&ignored);
  }
  std::string problem;
  std::unique_ptr<TDiscStore> store = TDiscStore::Open(config, &problem);
  if (!store) {
    if (error) *error = problem;
    return nullptr;
  }
  if (!clock) clock = [] { return std::chrono::steady_clock::now(); };
  std::unique_ptr<TEmulatedUnit> unit(new TEmulatedUnit(config, std::move(store), std::move(clock)));
  UnitsByImage().emplace(config.image_path, unit.get());
  return unit;
}

TEmulatedUnit::TEmulatedUnit(const TDriveConfig& config, std::unique_ptr<TDiscStore> store, TClock clock)
    : config_(config),
      store_(std::move(store)),
      disc_(store_->initial_state()),
      clock_(std::move(clock)),
      tray_(store_->tray()),
      busy_left_(config.busy_commands),
      not_ready_left_(config.not_ready_commands),
      faults_on_(!config.fault_start.has_value()),
      opened_at_(clock_()) {
  if (config.tray_open) tray_.open = true;  // tray=open: whatever the last run left
  // A trace that cannot be written costs the drive nothing.
  if (!config.trace_path.empty()) trace_.reset(std::fopen(config.trace_path.c_str(), "ae"));
  times_ = TimesOf(config);
  ResetWriteParameters();
  read_speed_ = Traits(disc_.kind()).max_read_kbs;
  write_speed_ = Traits(disc_.kind()).max_write_kbs;
  // The drive buffer: it holds writes back with a recording speed; without
  // one the data is recorded as it comes, and the buffer only shows its fill
  // (a forgiving unit shows it empty).
  buffer_throttles_ = config.speed_x > 0 || config.speed_from_host;
  if (buffer_throttles_ || Strict(TRule::kBufferFill))
    buffer_.emplace(config.buffer_bytes, RecordingRate(), RecordingSpeed(), config.speed_from_host);
}

TEmulatedUnit::~TEmulatedUnit() {
  std::lock_guard<std::mutex> units_lock(g_units_mutex);
  const auto [first, last] = UnitsByImage().equal_range(config_.image_path);
  for (auto it = first; it != last; ++it) {
    if (it->second == this) {
      UnitsByImage().erase(it);
      break;
    }
  }
  // The writes of the last moments before the unit closes: nobody is left
  // to hear of a failure.
  try {
    std::string problem;
    SaveRecordedState(&problem);
  } catch (...) {
  }
}

bool TEmulatedUnit::NoteRecorded(std::chrono::steady_clock::time_point now, std::string* error) {
  if (!unsaved_since_) unsaved_since_ = now;
  if (now - *unsaved_since_ < kRecordedStateLag) return true;
  return SaveRecordedState(error);
}

bool TEmulatedUnit::SaveRecordedState(std::string* error) {
  if (!unsaved_since_) return true;
  unsaved_since_.reset();
  return Commit(error);
}

void TEmulatedUnit::SetOperationTimes(const TOperationTimes& times) {
  std::lock_guard<std::mutex> lock(mutex_);
  times_ = times;
}

TOperationTimes TEmulatedUnit::TimesOf(const TDriveConfig& config) {
  const auto pick = [&config](const std::optional<std::chrono::milliseconds>& given,
                              std::chrono::milliseconds real) {
    return given.value_or(config.real_timing ? real : std::chrono::milliseconds(0));
  };
  TOperationTimes times;
  times.blank = pick(config.blank_time, kRealBlankTime);
  times.full_blank = pick(config.full_blank_time, config.blank_time.value_or(kRealFullBlankTime));
  times.format = pick(config.format_time, kRealFormatTime);
  times.close = pick(config.close_time, kRealCloseTime);
  times.synchronize = pick(config.sync_time, kRealSyncTime);
  return times;
}

std::optional<TWriteStats> TEmulatedUnit::WriteStats() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!buffer_ || !buffer_throttles_) return std::nullopt;
  return buffer_->Stats(clock_());
}

uint64_t TEmulatedUnit::RecordingRate() const {
  const uint64_t one_x = IsCd() ? kCdBytesPerSecond1x : kDvdBytesPerSecond1x;
  return std::max<uint64_t>(static_cast<uint64_t>(RecordingSpeed() * static_cast<double>(one_x) + 0.5), 1);
}

double TEmulatedUnit::RecordingSpeed() const {
  if (config_.speed_x > 0) return config_.speed_x;
  // The nominal speed of the one set: 2822 KB/s is 16x, 3324 KB/s 2.4x.
  return std::round(XSpeed(disc_.kind(), write_speed_) * 10) / 10;
}

void TEmulatedUnit::FollowWriteSpeed() {
  if (buffer_ && config_.speed_x == 0) buffer_->SetRate(RecordingRate(), RecordingSpeed(), clock_());
}

std::chrono::steady_clock::time_point TEmulatedUnit::DrainedAt(std::chrono::steady_clock::time_point now) const {
  return buffer_ && buffer_throttles_ ? buffer_->DrainedAt() : now;
}

std::string TEmulatedUnit::StatsPath() const { return config_.image_path + ".stats"; }

void TEmulatedUnit::EndRecording(std::chrono::steady_clock::time_point now) {
  if (!buffer_ || !buffer_->recording()) return;
  if (!buffer_throttles_) {  // the data is on the disc already
    buffer_->Discard(now);
    return;
  }
  buffer_->EndRecording(now);
  // For benchmarks run through zamo-cli: the figures outlive the process.
  // A file that cannot be written costs the recording nothing.
  std::ofstream(StatsPath(), std::ios::trunc) << buffer_->Stats(now).Text();
}

std::chrono::milliseconds TEmulatedUnit::FinishRecording(std::chrono::steady_clock::time_point now) {
  if (!buffer_) return std::chrono::milliseconds(0);
  if (!buffer_throttles_) {
    EndRecording(now);
    return std::chrono::milliseconds(0);
  }
  const auto drained = buffer_->DrainedAt();
  EndRecording(now);
  if (drained <= now) return std::chrono::milliseconds(0);
  return std::chrono::ceil<std::chrono::milliseconds>(drained - now);
}

std::optional<std::array<uint8_t, 28>> TEmulatedUnit::LastPerformanceDescriptor() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return performance_;
}

std::optional<std::string> TEmulatedUnit::LastTimeStamp() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return time_stamp_;
}

uint16_t TEmulatedUnit::CurrentReadSpeed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return read_speed_;
}

uint16_t TEmulatedUnit::CurrentWriteSpeed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return write_speed_;
}

TCommandResult TEmulatedUnit::Execute(std::span<const uint8_t> cdb, TDataDirection direction,
                                      std::span<uint8_t> data) {
  std::lock_guard<std::mutex> lock(mutex_);
  TCommandResult result;
  try {
    result = Dispatch(cdb, direction, data);
  } catch (...) {
    result = Fail(TSenseCode{0x4, 0x44, 0x00});  // HARDWARE ERROR, INTERNAL TARGET FAILURE
  }
  Trace(cdb, result);
  return result;
}

TCommandResult TEmulatedUnit::Dispatch(std::span<const uint8_t> cdb, TDataDirection direction,
                                       std::span<uint8_t> data) {
  if (cdb.empty()) return Fail(sense::kInvalidOpcode);
  const TCommandInfo* info = Find(cdb[0]);
  if (!info) return Fail(sense::kInvalidOpcode);
  if (cdb.size() < info->cdb_length) return Fail(TSense::CdbField(0));
  // Whatever comes after a run of writes (a flush, a close, a question
  // about the disc, another unit reading the state file) finds it saved.
  if (!(info->flags & kAmidWrites)) {
    if (std::string problem; !SaveRecordedState(&problem)) return Fail(TSenseCode{0x4, 0x44, 0x00});
  }
  // A host announcing the opposite transfer gets a transport error, as a
  // real adapter reports the data phase it did not expect.
  if (direction != TDataDirection::kNone && info->direction != TDataDirection::kNone &&
      direction != info->direction)
    return HostError();
  NoteFaultStart(cdb);
  // hang=OPCODE: the command is taken and never answered; the host's
  // command gate gives up on it and aborts it.
  if (faults_on_ && config_.hang_opcode == cdb[0]) return NeverAnswers();
  const TCommand command{cdb.first(info->cdb_length), direction, data};
  FollowSavedTray();
  SpinningUp(clock_());  // a spin-up that ended raises its unit attention now

  if (!(info->flags & kAlwaysAnswers)) {
    if (std::optional<TCommandResult> injected = InjectedBusyOrNotReady()) return *injected;
    if (!(info->flags & kNoAttention) && !pending_.empty()) {
      const TSense pending = pending_.front();
      pending_.pop_front();
      return Fail(pending);
    }
  }
  if (!(info->flags & kWhileBusy)) {
    if (std::optional<TSense> busy = LongOperationSense()) return Fail(*busy);
  }
  if ((info->flags & kNeedsMedium) && !MediumPresent()) return Fail(NoMediumSense());
  if ((info->flags & kNeedsMedium) && SpinningUp(clock_())) return Fail(sense::kBecomingReady);
  // writes=: a recordable disc of a kind this drive only reads.
  if ((info->flags & kRecords) && !Traits(disc_.kind()).read_only && !config_.Writes(disc_.kind()))
    return Fail(cdb[0] == 0x04 ? sense::kCannotFormat : sense::kCannotWriteIncompatible);
  return (this->*info->handler)(command);
}

bool TEmulatedUnit::SpinningUp(std::chrono::steady_clock::time_point now) {
  if (!spinning_up_) return false;
  if (now < spun_up_at_) return true;
  spinning_up_ = false;
  pending_.push_back(TSense::Of(sense::kMediumChanged));  // not ready to ready
  return false;
}

bool TEmulatedUnit::DvdMinusSequential() const {
  const uint16_t profile = disc_.Profile();
  return profile == kProfileDvdR || profile == kProfileDvdRwSequential;
}

TCommandResult TEmulatedUnit::Fail(const TSense& sense) {
  TCommandResult result;
  result.status = STATUS_CHKCOND;
  result.sense = EncodeSense(sense);
  return result;
}

TCommandResult TEmulatedUnit::HostError() {
  TCommandResult result;
  result.host_status = HASTAT_DO_DU;
  return result;
}

TCommandResult TEmulatedUnit::RetryAt(std::chrono::steady_clock::time_point when) {
  TCommandResult result;
  result.retry_at = when;
  return result;
}

TCommandResult TEmulatedUnit::NeverAnswers() {
  TCommandResult result;
  result.never = true;
  return result;
}

TSenseCode TEmulatedUnit::NoMediumSense() const {
  if (medium_removed_) return sense::kNoMedium;  // gone, tray or not
  return tray_.open ? sense::kNoMediumTrayOpen : sense::kNoMediumTrayClosed;
}

TCommandResult TEmulatedUnit::DataIn(const TCommand& command, std::span<const uint8_t> response,
                                     uint32_t allocation) {
  const size_t count = std::min({response.size(), static_cast<size_t>(allocation), command.data.size()});
  std::copy_n(response.begin(), count, command.data.begin());
  TCommandResult result;
  result.transferred = static_cast<uint32_t>(count);
  return result;
}

std::optional<std::span<const uint8_t>> TEmulatedUnit::ParameterList(const TCommand& command, uint32_t length) {
  if (command.data.size() < length) return std::nullopt;
  return std::span<const uint8_t>(command.data.data(), length);
}

std::optional<TSense> TEmulatedUnit::LongOperationSense() {
  if (!long_operation_) return std::nullopt;
  const auto now = clock_();
  if (now >= long_operation_->end) {
    long_operation_.reset();
    return std::nullopt;
  }
  const auto total = long_operation_->end - long_operation_->start;
  const auto done = std::max(now - long_operation_->start, std::chrono::steady_clock::duration::zero());
  const uint16_t fraction = static_cast<uint16_t>(std::min<int64_t>(65535, done * 65536 / total));
  return TSense::Progress(long_operation_->code, fraction);
}

void TEmulatedUnit::StartLongOperation(TSenseCode code, std::chrono::milliseconds duration) {
  if (duration.count() <= 0) return;
  const auto now = clock_();
  long_operation_ = TLongOperation{code, now, now + duration};
}

bool TEmulatedUnit::Commit(std::string* error) { return store_->SaveState(disc_, tray_, error); }

TCommandResult TEmulatedUnit::CommitOrFail() {
  std::string problem;
  if (Commit(&problem)) return Good();
  return Fail(TSenseCode{0x4, 0x44, 0x00});  // the host's disk failed us: INTERNAL TARGET FAILURE
}

std::array<uint8_t, 52> TEmulatedUnit::DefaultWriteParameters() const {
  std::array<uint8_t, 52> page{};
  page[0] = 0x05;
  page[1] = static_cast<uint8_t>(page.size() - 2);
  const TMediaKind kind = disc_.kind();
  if (kind == TMediaKind::kDvdR || kind == TMediaKind::kDvdRw) {
    page[2] = 0x20;  // LS_V, incremental
    page[3] = 0x05;  // data track, recorded incrementally
    page[5] = 16;    // link size
  } else {
    page[2] = 0x01;  // track at once
    page[3] = 0x04;  // data track, uninterrupted
  }
  page[4] = 0x08;  // mode 1: 2048 bytes of user data
  page[15] = 150;  // audio pause length
  return page;
}

void TEmulatedUnit::MediumLoaded() {
  // The drive spins the disc up and identifies it; the unit attention comes
  // once it is ready.
  if (Strict(TRule::kSpinUp) && config_.spin_up.count() > 0) {
    spinning_up_ = true;
    spun_up_at_ = clock_() + config_.spin_up;
  } else {
    pending_.push_back(TSense::Of(sense::kMediumChanged));
  }
  ResetWriteParameters();
  simulated_next_.reset();
  cue_sheet_sent_ = false;
}

void TEmulatedUnit::FollowSavedTray() {
  if (std::optional<TTray> saved = store_->ChangedTray()) ApplyTray(*saved);
}

void TEmulatedUnit::ApplyTray(const TTray& tray) {
  const bool was_open = tray_.open;
  tray_ = tray;
  if (!was_open && tray.open) {  // the disc left: what was under way on it is forgotten
    simulated_next_.reset();
    cue_sheet_sent_ = false;
    spinning_up_ = false;
    StopBackgroundFormat(clock_());
  } else if (was_open && !tray.open && !config_.no_disc) {
    MediumLoaded();
  }
}

TCommandResult TEmulatedUnit::MoveTray(const TTray& tray) {
  // tray=open may leave this unit open while the saved tray is closed: an
  // eject is then saved all the same.
  if (tray == tray_ && tray == store_->tray()) return Good();
  std::string problem;
  if (!store_->SaveTray(tray, disc_, &problem)) return Fail(TSenseCode{0x4, 0x44, 0x00});  // INTERNAL TARGET FAILURE
  ApplyTray(tray);
  return Good();
}

uint32_t TEmulatedUnit::PacketSize() const { return GetBe32(write_params_, 10); }

bool TEmulatedUnit::WriteParamsApply() const {
  const uint16_t profile = disc_.Profile();
  return profile == kProfileCdR || profile == kProfileCdRw || profile == kProfileDvdR ||
         profile == kProfileDvdRwSequential;
}

TCommandResult TEmulatedUnit::TestUnitReady(const TCommand&) { return Good(); }

TCommandResult TEmulatedUnit::RezeroUnit(const TCommand&) { return Good(); }

TCommandResult TEmulatedUnit::RequestSense(const TCommand& command) {
  if (command.cdb[1] & 0x01) return Fail(TSense::CdbField(1));  // descriptor format: not offered
  TSenseBytes answer = NoSense();
  if (!pending_.empty()) {
    answer = EncodeSense(pending_.front());
    pending_.pop_front();
  } else if (std::optional<TSense> busy = LongOperationSense()) {
    answer = EncodeSense(*busy);
  } else if (MediumPresent() && SpinningUp(clock_())) {
    answer = EncodeSense(TSense::Of(sense::kBecomingReady));
  } else if (StuckNotReady()) {
    answer = EncodeSense(TSense::Of(InjectedNotReadySense()));
  } else if (!MediumPresent()) {
    // The standing condition, so that a host polling REQUEST SENSE for
    // readiness never takes an empty tray for a ready unit.
    answer = EncodeSense(TSense::Of(NoMediumSense()));
  } else if (std::optional<TSense> formatting = BackgroundFormatSense(clock_())) {
    answer = EncodeSense(*formatting);  // ready, with the progress of the background format
  }
  return DataIn(command, answer, command.cdb[4]);
}

TCommandResult TEmulatedUnit::Inquiry(const TCommand& command) {
  const uint32_t allocation = CdbBe16(command.cdb, 3);
  if (command.cdb[1] & 0x02) return Fail(TSense::CdbField(1));  // CMDDT is obsolete
  if (command.cdb[1] & 0x01) {
    // Vital product data: the list of pages and the unit serial number.
    const uint8_t page = command.cdb[2];
    std::vector<uint8_t> vpd = {0x05, page, 0x00, 0x00};
    if (page == 0x00) {
      vpd.push_back(0x00);  // (one at a time: GCC 12 warns wrongly on an initializer-list insert)
      vpd.push_back(0x80);
    } else if (page == 0x80) {
      const std::string serial = "ZAMOEMU" + std::to_string(static_cast<int>(config_.kind));
      vpd.insert(vpd.end(), serial.begin(), serial.end());
    } else {
      return Fail(TSense::CdbField(2));
    }
    vpd[3] = static_cast<uint8_t>(vpd.size() - 4);
    return DataIn(command, vpd, allocation);
  }
  if (command.cdb[2] != 0) return Fail(TSense::CdbField(2));

  std::array<uint8_t, kInquiryLength> data{};
  data[0] = 0x05;  // CD/DVD device, connected
  data[1] = 0x80;  // removable medium
  data[2] = 0x05;  // SPC-3
  data[3] = 0x02;  // response data format 2
  data[4] = kInquiryLength - 5;
  std::memcpy(&data[8], kVendor, 8);
  std::memset(&data[16], ' ', 16);
  std::memcpy(&data[16], config_.model.data(), std::min<size_t>(config_.model.size(), 16));
  std::memcpy(&data[32], kRevision, 4);
  PutBe16(data, 58, 0x05A0);  // version descriptors: MMC-5, SPC-3
  PutBe16(data, 60, 0x0300);
  return DataIn(command, data, allocation);
}

TCommandResult TEmulatedUnit::StartStopUnit(const TCommand& command) {
  const uint8_t control = command.cdb[4];
  if ((control & 0xF0) != 0) return Good();  // a power condition: LoEj and Start do not apply
  const bool load_eject = control & 0x02;
  const bool start = control & 0x01;
  if (!load_eject) return Good();  // spinning up or down changes nothing here
  TTray moved = tray_;
  if (!start) {
    if (tray_.removal_prevented) return Fail(sense::kRemovalPrevented);
    moved.open = true;
  } else {
    moved.open = false;  // loading a loaded disc changes nothing
  }
  return MoveTray(moved);
}

TCommandResult TEmulatedUnit::PreventAllowRemoval(const TCommand& command) {
  TTray locked = tray_;
  locked.removal_prevented = (command.cdb[4] & 0x01) != 0;
  return MoveTray(locked);
}

}  // namespace zamo::emu
