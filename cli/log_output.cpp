#include "cli/log_output.h"

#include <cstdio>

#include "burner/platform/text.h"

namespace zamo::cli {

LogOutput::LogOutput(TVeskBurner& burner, bool verbose) : verbose_(verbose) {
  burner.OnDebugMessage = [this](TObject*, const std::string& message, uint8_t type) {
    if (type == kMsgLimit || type == kMsgCompilation) {
      // A job lays the compilation out more than once (the size check, then
      // the recording), and each layout's import says the same: an entry is
      // counted, and shown, once.
      {
        std::lock_guard lock(mutex_);
        if (!left_out_lines_.insert(message).second) return;
      }
      ++left_out_;
    }
    // The drive layer's command dumps ("<<< " lines) are for --verbose:
    // a query such as the free space of a blank disc expects some refusals.
    if (!verbose_ && message.starts_with("<<< ")) return;
    Line(message);
  };
}

void LogOutput::Line(const std::string& text) {
  const std::string shown = DisplayUtf8(text);
  std::lock_guard lock(mutex_);
  if (progress_active_ && !progress_.empty()) {
    std::fprintf(stderr, "\r\033[K%s\n%s", shown.c_str(), progress_.c_str());
  } else {
    std::fprintf(stderr, "%s\n", shown.c_str());
  }
  std::fflush(stderr);
}

void LogOutput::SayLeftOut(int count, const std::string& also) {
  const std::string plural = count > 1 ? "s" : "";
  Line(">>> Attention\u00A0: " + std::to_string(count) + " élément" + plural + " ignoré" + plural +
       (also.empty() ? "" : ", " + also + plural) + ", voir ci-dessus.");
}

void LogOutput::SetProgressActive(bool active) {
  std::lock_guard lock(mutex_);
  if (!active && progress_active_ && !progress_.empty()) std::fputs("\r\033[K", stderr);
  progress_active_ = active;
  progress_.clear();
  std::fflush(stderr);
}

void LogOutput::Progress(const std::string& text) {
  std::lock_guard lock(mutex_);
  if (!progress_active_) return;
  progress_ = text;
  std::fprintf(stderr, "\r\033[K%s", text.c_str());
  std::fflush(stderr);
}

}  // namespace zamo::cli
