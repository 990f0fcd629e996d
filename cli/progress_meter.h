// progress_meter.h: zamo-cli's view of a running job's progress: the
// percentage, which never goes back; the rate at which the target (a drive,
// an image file) records the data, measured over the last seconds, and the
// time left from it; the French texts of sizes, rates and durations; and the
// two forms of a progress line: the one that stands at the bottom of a
// terminal, and the plain one written every few seconds to a log that is not
// one (a file, a pipe, cron's mail).
#pragma once

#include <cstdint>
#include <deque>
#include <string>

namespace zamo::cli {

// "123,4 Mo": mebibytes with one decimal and a decimal comma.
std::string SizeText(int64_t bytes);
// "702,83 Mo": the same with two decimals, for sizes that are not moving
// (a disc's free space, a listing's total).
std::string ExactSizeText(int64_t bytes);
// "850 Ko/s" below one Mo/s, "8,5 Mo/s" from there.
std::string RateText(double bytes_per_second);
// "0:04", "12:30", "1:02:03".
std::string DurationText(double seconds);
// "45 %" with a non-breaking space before the sign; three digits wide when `padded`.
std::string PercentText(int percent, bool padded = false);

// Where a meter's rate starts: the last seconds of data (a drive's or a
// file's pace varies, and the preparation before the first byte is no part
// of it), or the job's first look (an erase, whose progress comes in steps).
enum class RateOver { kLastSeconds, kWholeJob };

class ProgressMeter {
 public:
  explicit ProgressMeter(RateOver over = RateOver::kLastSeconds) : over_(over) {}
  // One look at the job, `seconds` after its start: `done` of `total` units
  // taken by the target, `pending` of them still waiting in a drive's buffer.
  void Update(double seconds, int64_t done, int64_t total, int64_t pending = 0);
  int Percent() const { return percent_; }
  // The target's rate in units per second: what it recorded (taken, less
  // what waits in its buffer) over the last seconds or the whole job; 0
  // until it is known (a second of data at least), and once nothing has
  // moved for a while.
  double Rate() const;
  // Seconds until the target has recorded everything at that rate; -1 when
  // it is not known.
  double SecondsLeft() const;

 private:
  struct Sample {
    double seconds;
    int64_t recorded;
  };
  // The rate's window, and how long nothing may move before the rate and
  // the time left are no longer known.
  static constexpr double kWindowSeconds = 10;
  double StallSeconds() const { return over_ == RateOver::kLastSeconds ? kWindowSeconds : 120; }

  const RateOver over_;
  std::deque<Sample> samples_;  // one a change of `recorded_`, the first at or before the window's start
  double now_ = 0;
  int64_t total_ = 0;
  int64_t recorded_ = 0;  // never goes back, whatever a drive's buffer says
  int percent_ = 0;
};

// What one progress line says.
struct ProgressView {
  int percent = 0;
  bool sizes = true;  // done and total are bytes to show (an erase has none)
  int64_t done = 0;
  int64_t total = 0;
  double rate = 0;           // bytes per second; 0: not shown
  double seconds_left = -1;  // -1: not shown
  // What the job does when the data is not flowing: "préparation du
  // graveur", "fermeture de la session depuis 0:12"; "" while it flows.
  std::string state;
  // Terminal only: "cache 97 %   tampon du graveur 88 %".
  std::string gauges;
};

// " 45 %   123,4 Mo / 456,8 Mo   8,5 Mo/s   cache 97 %   reste 0:40"
std::string TerminalLine(const ProgressView& view);
// "Progression : 45 %, 123,4 Mo sur 456,8 Mo, 8,5 Mo/s, reste 0:40"
std::string PlainLine(const ProgressView& view);

// Seconds between two plain lines: ZAMO_PROGRESS_INTERVAL (seconds, decimals
// allowed; 0 for none), 5 when it is not set or not a number.
double PlainLineInterval();

}  // namespace zamo::cli
