// failure_advice.h: a failed job explained to a user who does not read the
// log: what happened, in plain French, and what to try (another disc, a
// lower speed, erasing first ...). Drawn from the job's error text, which
// holds the component's message and, in brackets, the drive's own words.
// Pure functions; any thread.
#pragma once

#include <string>

namespace zamo {

// The job that failed.
enum class TFailedJob { kBurn, kImageBurn, kImageSave, kErase };

// What went wrong, as far as the error text tells.
enum class TFailureCause {
  kStoppedByUser,
  kImageFolderFull,   // no room left for the image file
  kImageFile,         // the image file could not be made or written
  kSourceFile,        // a file to record could not be read to its end
  kDiscTooSmall,
  kDiscNotBlank,      // data already there, a closed disc, a DVD-RW holding sessions
  kDiscNotRecordable, // a disc this drive does not write
  kWriteProtected,
  kNoDisc,            // none in the drive, or taken out during the job
  kDriveAccess,       // the system does not let the program use the drive
  kDriveNotAnswering,
  kCalibration,       // the laser could not be calibrated for this disc
  kWriteFailed,       // the drive could not record (or erase) the disc
  kOther,
};

TFailureCause ClassifyFailure(const std::string& error);

struct TFailureAdvice {
  std::string Headline;  // "La gravure a échoué." ...
  std::string Advice;    // the cause and what to try, in sentences
};

// The explanation of `job` ending with `error` (the text of OnWriteDone, or
// EraseErrorText).
TFailureAdvice AdviseOnFailure(TFailedJob job, const std::string& error);

}  // namespace zamo
