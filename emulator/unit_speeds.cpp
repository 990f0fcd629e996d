// unit_speeds.cpp: the speed and buffer commands: SET CD SPEED and SET
// STREAMING choose the read and write speeds (within what the loaded medium
// takes), GET PERFORMANCE reports them (MMC-5 6.8: nominal performance, type
// 00h, and the write speed descriptors, type 03h), READ BUFFER CAPACITY the
// drive buffer.
#include <algorithm>
#include <vector>

#include "emulator/unit_command.h"

namespace zamo::emu {
namespace {

constexpr size_t kPerformanceHeader = 8;
constexpr size_t kPerformanceDescriptor = 16;
constexpr uint8_t kNominalPerformance = 0x00;
constexpr uint8_t kWriteSpeeds = 0x03;
constexpr uint8_t kToleranceNominal = 0x10;
constexpr uint8_t kExact = 0x02;  // a write speed descriptor that holds for the whole disc  // tolerance 10b: 10 % nominal, the only one MMC-5 defines

// The write speed the recorder settles on for a request: the fastest it
// offers at or below it, else its slowest.
uint16_t ChooseWriteSpeed(TMediaKind kind, uint32_t requested) {
  const std::vector<uint16_t> speeds = WriteSpeeds(kind);
  for (uint16_t speed : speeds)
    if (speed <= requested) return speed;
  return speeds.back();
}

uint16_t ChooseReadSpeed(TMediaKind kind, uint32_t requested) {
  const uint16_t slowest = Traits(kind).is_cd ? 706 : 1385;
  return static_cast<uint16_t>(std::clamp<uint32_t>(requested, slowest, Traits(kind).max_read_kbs));
}

// Four 32-bit fields (a write speed descriptor's first is its flags byte and
// three reserved ones).
void AppendDescriptor(std::vector<uint8_t>* out, uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  const size_t at = out->size();
  out->resize(at + kPerformanceDescriptor, 0);
  PutBe32(*out, at, a);
  PutBe32(*out, at + 4, b);
  PutBe32(*out, at + 8, c);
  PutBe32(*out, at + 12, d);
}

}  // namespace

TCommandResult TEmulatedUnit::SetCdSpeed(const TCommand& command) {
  const uint16_t read = CdbBe16(command.cdb, 2);
  const uint16_t write = CdbBe16(command.cdb, 4);
  read_speed_ = ChooseReadSpeed(disc_.kind(), read);  // 0xFFFF: as fast as the disc allows
  write_speed_ = ChooseWriteSpeed(disc_.kind(), write);
  FollowWriteSpeed();
  return Good();
}

TCommandResult TEmulatedUnit::SetStreaming(const TCommand& command) {
  const uint8_t type = command.cdb[8];
  const uint32_t length = CdbBe16(command.cdb, 9);
  if (type != 0) return Fail(TSense::CdbField(8));  // only the performance descriptor
  const std::optional<std::span<const uint8_t>> list = ParameterList(command, length);
  if (!list) return HostError();
  if (length < 28) return Fail(sense::kParameterListLength);
  std::array<uint8_t, 28> descriptor{};
  std::copy_n(list->begin(), descriptor.size(), descriptor.begin());
  if (descriptor[0] & 0x04) {  // RDD: back to the drive's own performance
    performance_ = descriptor;
    read_speed_ = Traits(disc_.kind()).max_read_kbs;
    write_speed_ = Traits(disc_.kind()).max_write_kbs;
    FollowWriteSpeed();
    return Good();
  }
  const uint32_t start = GetBe32(descriptor, 4);
  const uint32_t end = GetBe32(descriptor, 8);
  const uint32_t read_size = GetBe32(descriptor, 12);
  const uint32_t read_time = GetBe32(descriptor, 16);
  const uint32_t write_size = GetBe32(descriptor, 20);
  const uint32_t write_time = GetBe32(descriptor, 24);
  if (end < start) return Fail(TSense::ParameterField(8));
  // A size of zero asks for no data at all: drives refuse it.
  if (read_size == 0 && Strict(TRule::kStreamingSizes)) return Fail(TSense::ParameterField(12));
  if (read_time == 0) return Fail(TSense::ParameterField(16));
  if (write_size == 0 && Strict(TRule::kStreamingSizes)) return Fail(TSense::ParameterField(20));
  if (write_time == 0) return Fail(TSense::ParameterField(24));
  performance_ = descriptor;
  // Sizes are kilobytes per the given milliseconds.
  read_speed_ = ChooseReadSpeed(disc_.kind(), static_cast<uint32_t>(uint64_t{read_size} * 1000 / read_time));
  write_speed_ = ChooseWriteSpeed(disc_.kind(), static_cast<uint32_t>(uint64_t{write_size} * 1000 / write_time));
  FollowWriteSpeed();
  return Good();
}

TCommandResult TEmulatedUnit::GetPerformance(const TCommand& command) {
  const uint8_t data_type = command.cdb[1] & 0x1F;
  const uint32_t most = CdbBe16(command.cdb, 8);  // descriptors the host takes
  const uint8_t type = command.cdb[10];
  const uint32_t allocation = static_cast<uint32_t>(kPerformanceHeader + most * kPerformanceDescriptor);
  const uint32_t last_lba = std::max(disc_.capacity(), 1u) - 1;

  std::vector<uint8_t> response(kPerformanceHeader, 0);
  if (type == kNominalPerformance) {
    if ((data_type & 0x18) != kToleranceNominal) return Fail(TSense::CdbField(1));
    const bool write = data_type & 0x04;
    const uint8_t except = data_type & 0x03;
    if (except == 3) return Fail(TSense::CdbField(1));
    response[4] = static_cast<uint8_t>((write ? 0x02 : 0x00) | (except != 0 ? 0x01 : 0x00));
    // Constant linear velocity over the whole disc: one region, start to end.
    // There are no exceptions to report.
    if (except == 0 && most > 0) {
      const uint32_t speed = write ? write_speed_ : read_speed_;
      AppendDescriptor(&response, 0, speed, last_lba, speed);
    }
  } else if (type == kWriteSpeeds) {
    const std::vector<uint16_t> speeds = WriteSpeeds(disc_.kind());
    // Fastest first; constant linear velocity (WRC 00b), exact for this disc.
    for (size_t i = 0; i < speeds.size() && i < most; ++i)
      AppendDescriptor(&response, uint32_t{kExact} << 24, last_lba, Traits(disc_.kind()).max_read_kbs, speeds[i]);
  } else {
    return Fail(TSense::CdbField(10));  // unusable area, defect status ...: none kept
  }
  PutBe32(response, 0, static_cast<uint32_t>(response.size() - 4));
  return DataIn(command, response, allocation);
}

TCommandResult TEmulatedUnit::ReadBufferCapacity(const TCommand& command) {
  const bool in_blocks = command.cdb[1] & 0x01;
  const uint32_t allocation = CdbBe16(command.cdb, 7);
  // The buffer fills with writes and drains at the recording speed; a unit
  // without one (lenient) shows it empty.
  const uint32_t size = config_.buffer_bytes;
  const uint32_t free = buffer_ ? static_cast<uint32_t>(buffer_->Free(clock_())) : size;
  std::array<uint8_t, 12> response{};
  PutBe16(response, 0, 10);
  if (in_blocks) {
    response[3] = 0x01;
    PutBe32(response, 8, free / kBlockSize);  // available blocks
  } else {
    PutBe32(response, 4, size);
    PutBe32(response, 8, free);
  }
  return DataIn(command, response, allocation);
}

}  // namespace zamo::emu
