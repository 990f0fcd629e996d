// failure_advice.cpp: the error texts of the jobs sorted into causes, and
// each cause explained for the job it stopped. The needles are parts of the
// component's messages (messages.h) and of the drive's sense texts
// (sense.cpp); the first cause with a needle in the text wins, so the more
// particular causes come first.
#include "burner/writing/failure_advice.h"

#include <initializer_list>
#include <string_view>

namespace zamo {
namespace {

struct CauseNeedles {
  TFailureCause cause;
  std::initializer_list<std::string_view> needles;
};

const CauseNeedles kCauses[] = {
    {TFailureCause::kStoppedByUser, {"OPÉRATION TERMINÉE PAR L'USAGER"}},
    {TFailureCause::kImageFolderFull, {"ESPACE DISQUE INSUFFISANT POUR LE FICHIER IMAGE"}},
    {TFailureCause::kImageFile,
     {"IMPOSSIBLE DE CRÉER LE FICHIER", "ERREUR D'ÉCRITURE DU FICHIER IMAGE",
      "LE FICHIER IMAGE NE PEUT PAS FAIRE PARTIE"}},
    {TFailureCause::kSourceFile,
     {"ERREUR DE LECTURE DU FICHIER", "A RÉTRÉCI DEPUIS SON AJOUT", "IMPOSSIBLE D'OUVRIR LE FICHIER",
      "LA LECTURE DES FICHIERS NE PROGRESSE PLUS"}},
    {TFailureCause::kDiscTooSmall,
     {"NE TIENT PAS SUR LE DISQUE", "NE TIENT PLUS SUR LE DISQUE", "LOGICAL BLOCK ADDRESS OUT OF RANGE",
      "END OF USER AREA", "FIN DU DISQUE", "VOLUME OVERFLOW"}},
    {TFailureCause::kDiscNotBlank,
     {"LE DISQUE CONTIENT DÉJÀ DES DONNÉES", "CONTIENT DES SESSIONS", "LE DISQUE EST FERMÉ",
      "INSÉRER CD VIERGE OU EFFACER", "INVALID ADDRESS FOR WRITE"}},
    {TFailureCause::kDiscNotRecordable, {"NE PEUT PAS ÊTRE GRAVÉ", "CANNOT WRITE MEDIUM", "CANNOT FORMAT MEDIUM",
                                         "INCOMPATIBLE MEDIUM"}},
    {TFailureCause::kWriteProtected, {"PROTÉGÉ EN ÉCRITURE", "WRITE PROTECTED"}},
    {TFailureCause::kNoDisc,
     {"AUCUN DISQUE", "MEDIUM NOT PRESENT", "LE DISQUE A ÉTÉ RETIRÉ", "LE DISQUE A DISPARU"}},
    {TFailureCause::kDriveAccess,
     {"ACCÈS REFUSÉ AU GRAVEUR", "OUVERTURE EN ÉCRITURE REFUSÉE", "ACCESSIBLE QU'EN LECTURE",
      "UTILISÉ PAR UN AUTRE PROGRAMME", "QU'EN LECTURE"}},
    {TFailureCause::kDriveNotAnswering,
     {"NE RÉPOND PAS", "DÉCONNECTÉ", "ERREUR D'ENTRÉE/SORTIE", "N'EXISTE PAS", "RÉINITIALISÉ", "TIMEOUT",
      "N'EST PAS PRÊTE", "N'EST PAS REDEVENU PRÊT"}},
    {TFailureCause::kCalibration, {"POWER CALIBRATION"}},
    {TFailureCause::kWriteFailed,
     {"ERREUR D'ÉCRITURE", "WRITER BUSY", "LA FERMETURE DE LA SESSION", "LES DERNIÈRES DONNÉES",
      "N'A PAS TERMINÉ", "LOSS OF STREAMING", "FORMATAGE", "ERREUR DISQUE", "HARDWARE ERROR",
      "L'ÉCHEC DE L'EFFACEMENT", "L'EFFACEMENT"}},
};

const char* Headline(TFailedJob job) {
  switch (job) {
    case TFailedJob::kBurn:
      return "La gravure a échoué.";
    case TFailedJob::kImageBurn:
      return "La gravure de l'image a échoué.";
    case TFailedJob::kImageSave:
      return "L'enregistrement du fichier image a échoué.";
    case TFailedJob::kErase:
      return "L'effacement a échoué.";
  }
  return "";
}

// What to try after a write that failed on the disc itself.
constexpr const char* kTryAnotherDisc =
    " Essayez une vitesse plus lente (liste des vitesses, en haut de la fenêtre) ou un autre disque. Un CD-R ou "
    "un DVD-R raté ne peut plus servir ; un disque réinscriptible peut être effacé puis gravé à nouveau.";

std::string Explain(TFailedJob job, TFailureCause cause) {
  const bool erase = job == TFailedJob::kErase;
  const bool image_save = job == TFailedJob::kImageSave;
  switch (cause) {
    case TFailureCause::kStoppedByUser:
      if (image_save) return "Vous avez arrêté l'opération : le fichier image incomplet a été supprimé.";
      return "Vous avez arrêté l'opération. La session commencée n'est pas complète et ses fichiers ne sont pas "
             "lisibles ; sur un CD-R ou un DVD-R, la prochaine gravure la fermera avant d'en ajouter une nouvelle.";
    case TFailureCause::kImageFolderFull:
      return "Le dossier choisi n'a plus assez de place pour le fichier image. Libérez de la place, ou enregistrez "
             "l'image dans un dossier d'un autre disque.";
    case TFailureCause::kImageFile:
      if (job == TFailedJob::kImageBurn)
        return "Le fichier image n'a pas pu être lu. Vérifiez qu'il existe encore et que vous avez le droit de le "
               "lire, puis recommencez.";
      return "Le fichier image n'a pas pu être écrit à cet endroit. Choisissez un dossier où vous avez le droit "
             "d'écrire, ou un autre nom de fichier (l'image ne peut pas être enregistrée parmi les fichiers à "
             "graver).";
    case TFailureCause::kSourceFile:
      return "Un des fichiers à graver n'a pas pu être lu jusqu'au bout : il a été effacé, modifié ou rendu "
             "illisible pendant l'opération. Vérifiez qu'il existe encore et qu'aucun programme ne le modifie, puis "
             "recommencez.";
    case TFailureCause::kDiscTooSmall:
      return "Le disque est trop petit pour tout ce qu'il faut y graver. Utilisez un disque de plus grande "
             "capacité (un DVD au lieu d'un CD) ou retirez des fichiers de la liste.";
    case TFailureCause::kDiscNotBlank:
      return "Le disque contient déjà des données qui empêchent cette gravure, ou il est fermé. Effacez-le d'abord "
             "s'il est réinscriptible (« Effacer.R »), ou utilisez un disque vierge.";
    case TFailureCause::kDiscNotRecordable:
      if (erase) return "Ce disque ne peut pas être effacé par ce graveur. Utilisez un disque réinscriptible (RW).";
      return "Ce graveur ne sait pas graver ce disque. Utilisez un disque vierge d'un type qu'il grave (« Topo » "
             "les montre).";
    case TFailureCause::kWriteProtected:
      return "Le disque est protégé en écriture. Retirez la protection, ou utilisez un autre disque.";
    case TFailureCause::kNoDisc:
      return "Il n'y a pas de disque utilisable dans le graveur, ou il a été retiré pendant l'opération. Insérez "
             "le disque, attendez que le graveur l'ait reconnu (« Prêt? »), puis recommencez.";
    case TFailureCause::kDriveAccess:
      return "Le système ne laisse pas le programme utiliser le graveur : droits insuffisants, ou graveur occupé "
             "par un autre programme. Fermez les autres programmes de gravure ou de lecture de disques ; le "
             "message du graveur ci-dessous dit quels droits ajouter.";
    case TFailureCause::kDriveNotAnswering:
      return "Le graveur ne répond plus. Vérifiez qu'il est bien branché, éjectez puis rechargez le disque et "
             "recommencez ; s'il ne répond toujours pas, débranchez-le et rebranchez-le, ou redémarrez "
             "l'ordinateur.";
    case TFailureCause::kCalibration:
      return std::string("Le graveur n'a pas pu régler son laser pour ce disque.") + kTryAnotherDisc;
    case TFailureCause::kWriteFailed:
      if (erase)
        return "Le graveur n'a pas réussi à effacer ce disque. Essayez l'effacement complet (« Effacer.C »), une "
               "vitesse plus lente, ou un autre disque : un disque réinscriptible qui ne s'efface plus est usé.";
      return std::string("Le graveur n'a pas réussi à écrire sur ce disque : disque de mauvaise qualité, rayé ou "
                         "sale, ou vitesse trop élevée pour lui.") + kTryAnotherDisc;
    case TFailureCause::kOther:
      break;
  }
  if (image_save)
    return "Le fichier image n'a pas pu être enregistré. Le message ci-dessous en donne la raison ; choisissez un "
           "autre dossier ou recommencez.";
  if (erase)
    return "Essayez à nouveau, puis l'effacement complet (« Effacer.C ») ou un autre disque. Le message du graveur "
           "ci-dessous en donne la raison.";
  return std::string("Le message du graveur ci-dessous en donne la raison.") + kTryAnotherDisc +
         " Un disque qui contient déjà des données peut devoir être effacé d'abord.";
}

}  // namespace

TFailureCause ClassifyFailure(const std::string& error) {
  for (const CauseNeedles& entry : kCauses) {
    for (std::string_view needle : entry.needles) {
      if (error.find(needle) != std::string::npos) return entry.cause;
    }
  }
  return TFailureCause::kOther;
}

TFailureAdvice AdviseOnFailure(TFailedJob job, const std::string& error) {
  return {Headline(job), Explain(job, ClassifyFailure(error))};
}

}  // namespace zamo
