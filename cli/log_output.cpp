#include "cli/log_output.h"

#include <cstdio>

#include "burner/platform/text.h"

namespace zamo::cli {

LogOutput::LogOutput(TVeskBurner& burner, bool verbose) : verbose_(verbose) {
  burner.OnDebugMessage = [this](TObject*, const std::string& message, uint8_t type) {
    if (type == kMsgLimit || type == kMsgCompilation) ++left_out_;
    Line(message);
  };
}

void LogOutput::Line(const std::string& text) const {
  const std::string shown = DisplayUtf8(text);
  std::fprintf(stderr, "%s\n", shown.c_str());
  std::fflush(stderr);
}

}  // namespace zamo::cli
