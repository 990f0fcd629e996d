#include "cli/progress_meter.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

#include "burner/platform/str_format.h"

namespace zamo::cli {
namespace {

constexpr const char* kNbsp = "\u00A0";
constexpr double kMebibyte = 1048576.0;

// `decimals` (1 or 2) after a decimal comma, the thousands apart: "4 480,5".
std::string DecimalText(double value, int decimals = 1) {
  const int64_t scale = decimals == 2 ? 100 : 10;
  const auto scaled = static_cast<int64_t>(std::llround(value * static_cast<double>(scale)));
  std::string whole = std::to_string(scaled / scale);
  for (int at = static_cast<int>(whole.size()) - 3; at > 0; at -= 3) whole.insert(static_cast<size_t>(at), kNbsp);
  return whole + "," + StrFormat(decimals == 2 ? "%02d" : "%d", static_cast<int>(scaled % scale));
}

}  // namespace

std::string SizeText(int64_t bytes) { return DecimalText(static_cast<double>(bytes) / kMebibyte) + " Mo"; }

std::string ExactSizeText(int64_t bytes) { return DecimalText(static_cast<double>(bytes) / kMebibyte, 2) + " Mo"; }

std::string RateText(double bytes_per_second) {
  if (bytes_per_second < kMebibyte) return std::to_string(std::lround(bytes_per_second / 1024)) + " Ko/s";
  return DecimalText(bytes_per_second / kMebibyte) + " Mo/s";
}

std::string DurationText(double seconds) {
  const long s = std::lround(std::max(seconds, 0.0));
  if (s >= 3600) return StrFormat("%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  return StrFormat("%ld:%02ld", s / 60, s % 60);
}

std::string PercentText(int percent, bool padded) {
  return StrFormat(padded ? "%3d" : "%d", percent) + kNbsp + "%";
}

void ProgressMeter::Update(double seconds, int64_t done, int64_t total, int64_t pending) {
  now_ = seconds;
  total_ = total;
  if (total > 0) {
    const int64_t shown = std::clamp<int64_t>(done, 0, total);
    percent_ = std::max(percent_, static_cast<int>(shown * 100 / total));
  }
  const int64_t recorded = std::max(recorded_, done - std::max<int64_t>(pending, 0));
  if (samples_.empty()) {
    samples_.push_back({seconds, recorded});
    recorded_ = recorded;
    return;
  }
  if (recorded == recorded_) {
    // Before the first byte, the rate's start moves with the looks: the
    // preparation of a drive is no part of its pace.
    if (over_ == RateOver::kLastSeconds && samples_.size() == 1 && recorded == 0) samples_.front().seconds = seconds;
    return;
  }
  recorded_ = recorded;
  samples_.push_back({seconds, recorded});
  if (over_ == RateOver::kLastSeconds) {
    while (samples_.size() > 2 && samples_[1].seconds <= seconds - kWindowSeconds) samples_.pop_front();
  }
}

double ProgressMeter::Rate() const {
  if (samples_.size() < 2) return 0;
  const Sample& first = samples_.front();
  const Sample& last = samples_.back();
  if (now_ - last.seconds > StallSeconds()) return 0;
  const double span = last.seconds - first.seconds;
  if (span < 1.0) return 0;
  return static_cast<double>(last.recorded - first.recorded) / span;
}

double ProgressMeter::SecondsLeft() const {
  const double rate = Rate();
  if (rate <= 0 || total_ <= 0) return -1;
  // Counted from the last change: between two steps of the progress the
  // time left goes down with the clock instead of rising.
  const double left = static_cast<double>(total_ - recorded_) / rate - (now_ - samples_.back().seconds);
  return std::max(left, 0.0);
}

std::string TerminalLine(const ProgressView& view) {
  std::string line = PercentText(view.percent, /*padded=*/true);
  if (view.sizes) line += "   " + SizeText(view.done) + " / " + SizeText(view.total);
  if (view.rate > 0) line += "   " + RateText(view.rate);
  if (!view.gauges.empty()) line += "   " + view.gauges;
  if (!view.state.empty()) line += "   " + view.state;
  if (view.seconds_left >= 0) line += "   reste " + DurationText(view.seconds_left);
  return line;
}

std::string PlainLine(const ProgressView& view) {
  std::string line = std::string("Progression") + kNbsp + ": " + PercentText(view.percent);
  if (view.sizes) line += ", " + SizeText(view.done) + " sur " + SizeText(view.total);
  if (view.rate > 0) line += ", " + RateText(view.rate);
  if (!view.state.empty()) line += ", " + view.state;
  if (view.seconds_left >= 0) line += ", reste " + DurationText(view.seconds_left);
  return line;
}

double PlainLineInterval() {
  constexpr double kDefault = 5;
  const char* text = std::getenv("ZAMO_PROGRESS_INTERVAL");
  if (text == nullptr || *text == '\0') return kDefault;
  // from_chars reads "0.5" whatever the locale says of the decimal point.
  const std::string_view value(text);
  double seconds = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), seconds);
  if (error != std::errc() || end != value.data() + value.size() || !std::isfinite(seconds) || seconds < 0)
    return kDefault;
  return seconds;
}

}  // namespace zamo::cli
