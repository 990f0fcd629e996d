// verify_jobs.cpp: the component's verifications: the session it recorded
// last, against the layout it still holds; or a session of the disc, read
// back, against the files a compilation was built from. Both plan on the
// caller's thread and read and compare on TVerifyThread.
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "burner/compilation/veskburner.h"
#include "burner/drive/messages.h"
#include "burner/platform/str_format.h"
#include "burner/platform/text.h"
#include "burner/verify/verify_messages.h"
#include "burner/verify/verify_plan.h"
#include "burner/verify/verify_thread.h"

namespace zamo {
namespace {

// The tree a session is read into: the application's largest compilation,
// and as many folders as path-table records can number.
constexpr int kSessionMaxFiles = 600000;
constexpr int kSessionMaxDirs = 65535;

// A verification that could not start: reported at once, on this thread.
bool FailToStart(TVeskBurner& burner, const std::string& error) {
  burner.VerifyCounts = {};
  if (burner.OnVerifyDone) burner.OnVerifyDone(&burner, error);
  return false;
}

}  // namespace

void TVeskBurner::VerifyThreadDeleter::operator()(TVerifyThread* thread) const {
  if (thread == nullptr) return;
  thread->Cancel();
  thread->WaitFor();
  if (!thread->Finished()) {
    // Freed from its own thread (OnVerifyDone without a dispatcher started
    // another verification): it frees itself once it has returned.
    thread->FreeOnTerminate = true;
    return;
  }
  delete thread;
}

bool TVeskBurner::VerifyRecording() {
  if (Verifying()) return FailToStart(*this, msg::kVerifyBusy);
  if (TestWrite) return FailToStart(*this, msg::kVerifyTestWrite);
  verify_abort_ = false;
  VerifyPlan plan;
  std::string error;
  if (!PlanRecordingVerify(*this, IsOverwritableOnceFormatted(GetDiscType()), plan, error)) return FailToStart(*this, error);
  TVerifyThread::Launch(*this, std::move(plan));
  return true;
}

bool TVeskBurner::VerifyImageFile(const std::string& FileName) {
  if (Verifying()) return FailToStart(*this, msg::kVerifyBusy);
  if (TestWrite) return FailToStart(*this, msg::kVerifyTestWrite);
  verify_abort_ = false;
  struct stat st {};
  if (stat(FileName.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return FailToStart(*this, StrFormat(msg::kCannotOpenFile, DisplayUtf8(FileName).c_str()));
  }
  TVerifyThread::Launch(*this, PlanImageVerify(FileName, st.st_size));
  return true;
}

std::vector<TVeskBurner::TVerifySource> TVeskBurner::VerifySources() {
  LayoutImage(/*to_image_file=*/true, nullptr);
  return ListVerifySources(*this);
}

bool TVeskBurner::VerifySession(int Session, const std::vector<TVerifySource>& Sources) {
  if (Verifying()) return FailToStart(*this, msg::kVerifyBusy);
  verify_abort_ = false;  // an abort asked while the session is imported stops the verification at once
  // The session may hold as many entries as the compilation compared with it.
  ClearCompilation(std::max(kSessionMaxFiles, max_files_), kSessionMaxDirs);
  // What the import could not read (a directory sector, a record) it says
  // in lines of type 4; each is counted as an error of the verification.
  // No other thread logs meanwhile: no job runs.
  int import_errors = 0;
  const TOnDebugMsg handler = OnDebugMessage;
  OnDebugMessage = [&import_errors, &handler](TObject* sender, const std::string& text, uint8_t type) {
    if (type == kMsgCompilation || type == kMsgLimit) ++import_errors;
    if (handler) handler(sender, text, type);
  };
  const bool imported = ImportSessionTree(Session, nullptr);
  OnDebugMessage = handler;
  if (!imported) return FailToStart(*this, StrFormat(msg::kVerifyNoSession, Session < 0 ? GetSessionCount() : Session));
  VerifyPlan plan = PlanSessionVerify(*this, Sources);
  plan.import_errors = import_errors;
  TVerifyThread::Launch(*this, std::move(plan));
  return true;
}

void TVeskBurner::AbortVerify() {
  verify_abort_ = true;
  CancelPendingCommand();
}

bool TVeskBurner::Verifying() const {
  std::lock_guard lock(verify_mutex_);
  return verify_thread_ != nullptr && verify_thread_->Running();
}

int64_t TVeskBurner::VerifyBytesDone() const {
  std::lock_guard lock(verify_mutex_);
  return verify_thread_ ? verify_thread_->BytesDone() : 0;
}

int64_t TVeskBurner::VerifyBytesTotal() const {
  std::lock_guard lock(verify_mutex_);
  return verify_thread_ ? verify_thread_->BytesTotal() : 0;
}

}  // namespace zamo
