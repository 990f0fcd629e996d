// The failed jobs' error texts, as the component writes them (its messages
// with the drive's words in brackets), sorted into the causes a user is told
// about; a more particular cause wins over the general write failure.
#include "burner/writing/failure_advice.h"

#include <gtest/gtest.h>

#include <string>

#include "burner/drive/messages.h"
#include "burner/platform/str_format.h"

namespace zamo {
namespace {

struct CauseCase {
  const char* name;
  std::string error;
  TFailureCause cause;
};

class FailureCauses : public ::testing::TestWithParam<CauseCase> {};

TEST_P(FailureCauses, ErrorTextGivesItsCause) { EXPECT_EQ(ClassifyFailure(GetParam().error), GetParam().cause); }

std::string Bracketed(const char* message, const char* drive) { return std::string(message) + " [" + drive + "]"; }

INSTANTIATE_TEST_SUITE_P(
    Messages, FailureCauses,
    ::testing::Values(
        CauseCase{"Aborted", msg::kAbortedByUser, TFailureCause::kStoppedByUser},
        CauseCase{"AbortedWhileClosing", msg::kAbortedWhileClosing, TFailureCause::kStoppedByUser},
        CauseCase{"ImageFolderFull", StrFormat(msg::kDiskFull, "/tmp/a.iso"), TFailureCause::kImageFolderFull},
        CauseCase{"ImageNotCreated", StrFormat(msg::kCannotCreateImage, "/x/a.iso", "PERMISSION NON ACCORDÉE"),
                  TFailureCause::kImageFile},
        CauseCase{"ImageWriteError", StrFormat(msg::kWriteError, "/tmp/a.iso", "ERREUR D'ENTRÉE/SORTIE"),
                  TFailureCause::kImageFile},
        CauseCase{"SourceShrank", StrFormat(msg::kFileShrank, "/a/b.txt", 10LL, 20LL), TFailureCause::kSourceFile},
        CauseCase{"SourceUnreadable", StrFormat(msg::kReadError, "/a/b.txt", "EIO"), TFailureCause::kSourceFile},
        CauseCase{"WritePastTheEnd",
                  Bracketed(msg::kDiscWriteError, "REQUÊTE ILLÉGALE (LOGICAL BLOCK ADDRESS OUT OF RANGE)"),
                  TFailureCause::kDiscTooSmall},
        CauseCase{"ImageTooLarge", StrFormat(msg::kImageTooLarge, 400000LL, 359849u), TFailureCause::kDiscTooSmall},
        CauseCase{"ImageOnAUsedDisc", msg::kImageNeedsBlankDisc, TFailureCause::kDiscNotBlank},
        CauseCase{"SequentialDvdRw", msg::kSequentialDvdRwHoldsSessions, TFailureCause::kDiscNotBlank},
        CauseCase{"Protected", Bracketed(msg::kDiscWriteError, "PROTÉGÉ EN ÉCRITURE (WRITE PROTECTED)"),
                  TFailureCause::kWriteProtected},
        CauseCase{"Removed", msg::kDiscRemoved, TFailureCause::kNoDisc},
        CauseCase{"NoDisc", std::string(msg::kNoDiscReady) + " : PAS PRÊT (MEDIUM NOT PRESENT - TRAY OPEN)",
                  TFailureCause::kNoDisc},
        CauseCase{"ReadOnlyDevice", std::string(msg::kDeviceReadOnly) + ": LECTURE SEULE",
                  TFailureCause::kDriveAccess},
        CauseCase{"NoAnswer", StrFormat(msg::kDriveNoAnswer, "/dev/sr0"), TFailureCause::kDriveNotAnswering},
        CauseCase{"Calibration", Bracketed(msg::kDiscWriteError, "ERREUR DISQUE (POWER CALIBRATION AREA ERROR)"),
                  TFailureCause::kCalibration},
        CauseCase{"MediumError", Bracketed(msg::kDiscWriteError, "ERREUR DISQUE (WRITE ERROR)"),
                  TFailureCause::kWriteFailed},
        CauseCase{"DriveKeptRefusing",
                  std::string(msg::kWriterBusy) + " [" + StrFormat(msg::kWriterBusyFor, 120, msg::kDriveAnswersBusy) +
                      "]",
                  TFailureCause::kWriteFailed},
        CauseCase{"CloseFailed", Bracketed(msg::kCloseFailed, "ERREUR DISQUE"), TFailureCause::kWriteFailed},
        CauseCase{"EraseFailed", Bracketed(msg::kEraseFailed, "ERREUR DISQUE (WRITE ERROR)"),
                  TFailureCause::kWriteFailed},
        CauseCase{"Unknown", "QUELQUE CHOSE D'INATTENDU", TFailureCause::kOther}),
    [](const ::testing::TestParamInfo<CauseCase>& param_info) { return std::string(param_info.param.name); });

// The same cause is told in the words of the job it stopped.
TEST(FailureAdvice, EachJobHasItsHeadlineAndItsAdvice) {
  const std::string write_error = Bracketed(msg::kDiscWriteError, "ERREUR DISQUE (WRITE ERROR)");
  const TFailureAdvice burn = AdviseOnFailure(TFailedJob::kBurn, write_error);
  EXPECT_EQ(burn.Headline, "La gravure a échoué.");
  EXPECT_NE(burn.Advice.find("vitesse plus lente"), std::string::npos) << burn.Advice;
  EXPECT_NE(burn.Advice.find("autre disque"), std::string::npos) << burn.Advice;

  const TFailureAdvice erase = AdviseOnFailure(TFailedJob::kErase, StrFormat(msg::kEraseWriteError, 64u));
  EXPECT_EQ(erase.Headline, "L'effacement a échoué.");
  EXPECT_NE(erase.Advice.find("effacer ce disque"), std::string::npos) << erase.Advice;

  EXPECT_EQ(AdviseOnFailure(TFailedJob::kImageSave, "").Headline, "L'enregistrement du fichier image a échoué.");
  EXPECT_EQ(AdviseOnFailure(TFailedJob::kImageBurn, "").Headline, "La gravure de l'image a échoué.");
  // A used disc: erasing first is what to try.
  EXPECT_NE(AdviseOnFailure(TFailedJob::kImageBurn, msg::kImageNeedsBlankDisc).Advice.find("Effacez-le d'abord"),
            std::string::npos);
}

}  // namespace
}  // namespace zamo
