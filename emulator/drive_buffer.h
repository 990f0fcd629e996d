// drive_buffer.h: the recorder's write buffer when recording runs at a real
// speed (speed=N). Data goes in at the host's pace while there is room and
// leaves at the recording rate from the first write of a recording on; the
// fill is a function of time, worked out whenever it is asked for.
//
// A recording runs from its first write until the host ends it with
// SYNCHRONIZE CACHE or a close. The buffer running empty in between means the
// host did not keep up: an underrun.
//
// Not thread-safe: the unit calls it under its own lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace zamo::emu {

// User data per second at 1x: 75 sectors of 2048 bytes on a CD (a data CD
// carries 2048 of the 2352 bytes of each sector: 153,600 bytes/s, not the
// 176,400 of audio), 1,385,000 bytes on a DVD.
inline constexpr uint64_t kCdBytesPerSecond1x = 75 * 2048;
inline constexpr uint64_t kDvdBytesPerSecond1x = 1'385'000;

// What a benchmark wants to know about the recordings made so far.
struct TWriteStats {
  double speed_x = 0;            // the speed of the last recording (speed=drive: as the host set it)
  bool set_by_host = false;      // speed=drive
  uint64_t rate = 0;             // bytes per second recorded
  uint64_t buffer_size = 0;
  uint64_t bytes = 0;            // taken into the buffer
  double seconds = 0;            // recording time: from each recording's first write until its data was recorded
  double bytes_per_second = 0;   // bytes / seconds: below `rate` when the host made the drive wait
  uint64_t min_fill = 0;         // lowest fill a write of a recording found (its first write aside)
  // The same once the buffer had first been filled (to 90 %): the start of
  // a recording, while the host fills it, aside.
  uint64_t min_steady_fill = 0;
  uint32_t underruns = 0;
  uint32_t recordings = 0;

  // "key value" lines, the content of the stats file.
  std::string Text() const;
};

class TDriveBuffer {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  // REQUIRES: capacity > 0, bytes_per_second > 0.
  TDriveBuffer(uint64_t capacity, uint64_t bytes_per_second, double speed_x, bool set_by_host = false);

  uint64_t capacity() const { return capacity_; }
  uint64_t Fill(TimePoint now) const;
  uint64_t Free(TimePoint now) const { return capacity_ - Fill(now); }
  // When `bytes` more fit in: `now` or earlier when they fit already. A write
  // larger than the whole buffer fits once the buffer is empty.
  TimePoint RoomAt(uint64_t bytes, TimePoint now) const;
  // When the data now in the buffer will have been recorded.
  TimePoint DrainedAt() const;
  // True when a recording is under way and its buffer ran empty before `now`.
  bool RanEmpty(TimePoint now) const;

  // Takes `bytes` at `now`, starting a recording when none is under way; an
  // empty buffer found during one counts as an underrun (the drive stopped
  // and now resumes). REQUIRES: RoomAt(bytes, now) <= now.
  void Put(uint64_t bytes, TimePoint now);
  // Counts an underrun the drive could not recover from (the caller then
  // ends the recording).
  void LoseStream();
  // The host ended the recording; its time runs until the data is recorded.
  void EndRecording(TimePoint now);
  // The data not yet recorded is dropped (blanking, formatting).
  void Discard(TimePoint now);
  // From `now` on the buffer drains at another rate (the host changed the
  // write speed). REQUIRES: bytes_per_second > 0.
  void SetRate(uint64_t bytes_per_second, double speed_x, TimePoint now);
  bool recording() const { return recording_; }

  TWriteStats Stats(TimePoint now) const;

 private:
  uint64_t capacity_;
  uint64_t rate_;
  double speed_x_;
  bool set_by_host_;
  uint64_t fill_ = 0;  // at updated_, recorded at rate_ since
  TimePoint updated_{};
  bool recording_ = false;
  TimePoint recording_start_{};
  std::chrono::nanoseconds finished_time_{0};  // of the recordings that ended
  uint64_t bytes_ = 0;
  uint32_t underruns_ = 0;
  uint32_t recordings_ = 0;
  std::optional<uint64_t> min_fill_;
  bool filled_ = false;  // the buffer reached 90 % in this recording
  std::optional<uint64_t> min_steady_fill_;
};

}  // namespace zamo::emu
