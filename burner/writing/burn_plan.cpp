// burn_plan.cpp: the checks before a burn, the same for every front end: the
// disc is ready, answers, can be recorded and is not closed; the compilation
// holds something; the previous session's files are kept; the session fits.
#include "burner/compilation/veskburner.h"
#include "burner/drive/messages.h"
#include "burner/platform/str_format.h"

namespace zamo {
namespace {

}  // namespace

bool TVeskBurner::CheckBurnDisc(TBurnPlan& plan) {
  plan = TBurnPlan{};
  const auto refuse = [&plan](std::string text) {
    plan.Refusal = std::move(text);
    return false;
  };
  TDisc disc;
  GetDiscInfo(disc);
  if (!disc.Ready) {
    return refuse(LastError.empty() ? std::string(msg::kNoDiscReady)
                                    : std::string(msg::kNoDiscReady) + " : " + LastError);
  }
  // A drive that leaves the disc's description unanswered would make every
  // question that follows wait as long.
  if (!ReadDiscInfo() && LastCommandTimedOut) return refuse(std::string(msg::kDriveDoesNotAnswer) + " [" + LastError + "]");
  plan.Kind = NoteDiscKind();
  if (!IsRecordableKind(plan.Kind)) return refuse(StrFormat(msg::kDiscNotRecordable, DiscKindName(plan.Kind)));
  plan.Overwritable = IsOverwritableKind(plan.Kind);
  // Overwritable discs are written over whatever their status says; other
  // discs take no session once closed.
  if (!plan.Overwritable && GetDiscStatus() == 2) return refuse(msg::kDiscClosed);
  // Overwritable discs keep no sessions: a volume recorded at their start
  // is what there is to keep.
  plan.HoldsFiles = plan.Overwritable ? GetIsoVolumeSize() > 0 : GetSessionCount() > 0;
  plan.DiscChecked = true;
  return true;
}

bool TVeskBurner::PlanBurn(TBurnPlan& plan, int import_session) {
  if (!plan.DiscChecked && !CheckBurnDisc(plan)) return false;
  plan.Refusal.clear();
  if (DirectoryCount() == 0 && FileCount() == 0) {
    plan.Refusal = msg::kNothingToBurn;
    return false;
  }
  // The previous session stays visible: its files are listed again in the
  // new session's directories (their data stays where it is on the disc).
  if (import_session < 0) {
    SessionToImport = plan.HoldsFiles ? 0xFFFF : 0;
  } else {
    SessionToImport = static_cast<uint16_t>(import_session);
  }
  // Does it fit? The layout for this disc says how many sectors the session takes.
  CalculateLayout(false, nullptr);
  plan.Sectors = ImageSectors();
  plan.FreeBlocks = GetFreeBlocks();
  if (plan.FreeBlocks == 0 && !ReadDiscInfo()) {
    // No room at all because the drive did not answer: its reason, not a
    // disc too small.
    plan.Refusal = std::string(msg::kFreeSpaceUnknown) + " [" + LastError + "]";
    return false;
  }
  if (plan.Sectors > static_cast<int64_t>(plan.FreeBlocks)) {
    plan.Refusal = StrFormat(msg::kDoesNotFit, FormatMb(plan.Sectors * kSectorSize).c_str(),
                             FormatMb(static_cast<int64_t>(plan.FreeBlocks) * kSectorSize).c_str());
    return false;
  }
  return true;
}

}  // namespace zamo
