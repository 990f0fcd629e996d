// drive_buffer.cpp: the write buffer's fill over time, and its figures.
#include "emulator/drive_buffer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace zamo::emu {
namespace {

using std::chrono::nanoseconds;

double Seconds(nanoseconds span) { return std::chrono::duration<double>(span).count(); }

}  // namespace

std::string TWriteStats::Text() const {
  char text[512];
  std::snprintf(text, sizeof text,
                "zamo-write-stats 1\n"
                "speed %gx%s\n"
                "rate %llu\n"
                "buffer %llu\n"
                "bytes %llu\n"
                "seconds %.3f\n"
                "average %.0f\n"
                "minfill %llu\n"
                "steadyfill %llu\n"
                "underruns %u\n"
                "recordings %u\n",
                speed_x, set_by_host ? " (set by the host)" : "", static_cast<unsigned long long>(rate), static_cast<unsigned long long>(buffer_size),
                static_cast<unsigned long long>(bytes), seconds, bytes_per_second,
                static_cast<unsigned long long>(min_fill), static_cast<unsigned long long>(min_steady_fill), underruns,
                recordings);
  return text;
}

TDriveBuffer::TDriveBuffer(uint64_t capacity, uint64_t bytes_per_second, double speed_x, bool set_by_host)
    : capacity_(capacity), rate_(bytes_per_second), speed_x_(speed_x), set_by_host_(set_by_host) {}

void TDriveBuffer::SetRate(uint64_t bytes_per_second, double speed_x, TimePoint now) {
  if (bytes_per_second == rate_) return;
  // The fill so far drained at the old rate; from now on at the new one. A
  // buffer that ran empty in a recording stays empty since then.
  if (recording_ && RanEmpty(now)) {
    fill_ = 0;
    updated_ = DrainedAt();
  } else {
    fill_ = Fill(now);
    updated_ = std::max(updated_, now);
  }
  rate_ = bytes_per_second;
  speed_x_ = speed_x;
}

uint64_t TDriveBuffer::Fill(TimePoint now) const {
  if (fill_ == 0 || now <= updated_) return fill_;
  const double recorded = Seconds(now - updated_) * static_cast<double>(rate_);
  if (recorded >= static_cast<double>(fill_)) return 0;
  return fill_ - static_cast<uint64_t>(recorded);
}

TDriveBuffer::TimePoint TDriveBuffer::RoomAt(uint64_t bytes, TimePoint now) const {
  const uint64_t target = bytes >= capacity_ ? 0 : capacity_ - bytes;  // the fill at which `bytes` fit
  if (Fill(now) <= target) return now;
  // Rounded up, so that the fill at the answer is at or below the target.
  const double seconds = static_cast<double>(fill_ - target) / static_cast<double>(rate_);
  return updated_ + nanoseconds(static_cast<int64_t>(std::ceil(seconds * 1e9)) + 1);
}

TDriveBuffer::TimePoint TDriveBuffer::DrainedAt() const {
  const double seconds = static_cast<double>(fill_) / static_cast<double>(rate_);
  return updated_ + nanoseconds(static_cast<int64_t>(std::ceil(seconds * 1e9)));
}

bool TDriveBuffer::RanEmpty(TimePoint now) const { return recording_ && DrainedAt() < now; }

void TDriveBuffer::Put(uint64_t bytes, TimePoint now) {
  const uint64_t fill = Fill(now);
  if (!recording_) {
    recording_ = true;
    recording_start_ = now;
    filled_ = false;
    ++recordings_;
  } else {
    if (RanEmpty(now)) ++underruns_;
    min_fill_ = std::min(min_fill_.value_or(fill), fill);
    if (filled_) min_steady_fill_ = std::min(min_steady_fill_.value_or(fill), fill);
  }
  fill_ = fill + bytes;
  if (fill_ * 10 >= capacity_ * 9) filled_ = true;
  updated_ = now;
  bytes_ += bytes;
}

void TDriveBuffer::LoseStream() {
  ++underruns_;
  min_fill_ = 0;
  if (filled_) min_steady_fill_ = 0;
}

void TDriveBuffer::EndRecording(TimePoint now) {
  if (!recording_) return;
  // The recording's last byte is recorded when the buffer drains, which may
  // be before `now` (the host waited before ending it) or after.
  finished_time_ += std::max(DrainedAt() - recording_start_, nanoseconds(0));
  fill_ = Fill(now);
  updated_ = now;
  recording_ = false;
}

void TDriveBuffer::Discard(TimePoint now) {
  EndRecording(now);
  fill_ = 0;
  updated_ = now;
}

TWriteStats TDriveBuffer::Stats(TimePoint now) const {
  TWriteStats stats;
  stats.speed_x = speed_x_;
  stats.set_by_host = set_by_host_;
  stats.rate = rate_;
  stats.buffer_size = capacity_;
  stats.bytes = bytes_;
  nanoseconds time = finished_time_;
  if (recording_) time += std::max(std::min(now, DrainedAt()) - recording_start_, nanoseconds(0));
  stats.seconds = Seconds(time);
  stats.bytes_per_second = stats.seconds > 0 ? static_cast<double>(bytes_) / stats.seconds : 0;
  stats.min_fill = min_fill_.value_or(capacity_);
  stats.min_steady_fill = min_steady_fill_.value_or(capacity_);
  stats.underruns = underruns_;
  stats.recordings = recordings_;
  return stats;
}

}  // namespace zamo::emu
