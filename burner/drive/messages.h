// messages.h: the component's message table. Texts are shown to users as they
// stand: French for the component's own words, English for the wording of the
// SCSI standards; %d and %s are filled by the caller.
#pragma once

namespace zamo::msg {

// Compilation limits (type 3).
inline constexpr const char* kMaxDirectories = "MAXIMUM DIRECTORIES CAN BE %d";
inline constexpr const char* kMaxFiles = "MAXIMUM FILES CAN BE %d";

// Compilation errors (type 4).
inline constexpr const char* kInvalidDestination = "CHEMIN DESTINATION INVALIDE";
// More than a file's records can describe (8 extents of 4 GiB - 2048 bytes).
inline constexpr const char* kFileTooLarge = "FICHIER DE PLUS DE %lld OCTETS IGNORÉ \"%s\"";
inline constexpr const char* kNotAFile = "DOSSIER REFUSÉ À LA PLACE D'UN FICHIER \"%s\"";
inline constexpr const char* kFileNameTooLong = "NOM DE FICHIER TROP LONG (PLUS DE %d CARACTÈRES) \"%s\"";
inline constexpr const char* kFolderNameTooLong = "NOM DE DOSSIER TROP LONG (PLUS DE %d CARACTÈRES) \"%s\"";
inline constexpr const char* kReplaceFolderRefused = "LE DOSSIER \"%s\" N'EST PAS REMPLACÉ PAR LE FICHIER \"%s\"";
inline constexpr const char* kUnreadableFile = "FICHIER ILLISIBLE IGNORÉ \"%s\"";
inline constexpr const char* kUnreadableFolder = "DOSSIER ILLISIBLE, SON CONTENU EST IGNORÉ \"%s\" (%s)";
inline constexpr const char* kLinkLoop = "BOUCLE DE LIENS SYMBOLIQUES IGNORÉE \"%s\"";
// An entry of a folder that is neither a file nor a folder: its path, then
// its kind (SkippedKindText).
inline constexpr const char* kNotAFileOrFolder = "Élément ignoré, ni fichier ni dossier\u00A0: «\u00A0%s\u00A0», %s";
inline constexpr const char* kSameNameExists =
    "FICHIER IGNORÉ, UN ÉLÉMENT DU MÊME NOM EXISTE DÉJÀ SUR LE DISQUE \"%s\"";
inline constexpr const char* kInternal0004 = "ERREUR INTERNE 0004";
inline constexpr const char* kInternal0005 = "ERREUR INTERNE 0005";
inline constexpr const char* kXattrUnsupported =
    "ATTRIBUTS ÉTENDUS NON PRIS EN CHARGE: TOUS LES FICHIERS SONT CONSIDÉRÉS COMME MODIFIÉS";

// Failures of the writing jobs (OnWriteDone).
inline constexpr const char* kAbortedByUser = "OPÉRATION TERMINÉE PAR L'USAGER";
inline constexpr const char* kCannotCreateFile = "IMPOSSIBLE DE CRÉER LE FICHIER \"%s\"";
inline constexpr const char* kCacheStalled =
    "LA LECTURE DES FICHIERS NE PROGRESSE PLUS DEPUIS %d SECONDES (FICHIER \"%s\")";
inline constexpr const char* kCannotOpenFile =
    "IMPOSSIBLE D'OUVRIR LE FICHIER \"%s\" LE FICHIER EST PEUT-ÊTRE UTILISÉ PAR UN LOGICIEL";
inline constexpr const char* kCannotCreateImage = "IMPOSSIBLE DE CRÉER LE FICHIER IMAGE \"%s\" (%s)";
inline constexpr const char* kReadError = "ERREUR DE LECTURE DU FICHIER \"%s\" (%s)";
inline constexpr const char* kFileShrank =
    "LE FICHIER \"%s\" A RÉTRÉCI DEPUIS SON AJOUT: %lld OCTETS LUS SUR %lld";
inline constexpr const char* kWriteError = "ERREUR D'ÉCRITURE DU FICHIER IMAGE \"%s\" (%s)";
inline constexpr const char* kImageInCompilation =
    "LE FICHIER IMAGE NE PEUT PAS FAIRE PARTIE DE LA COMPILATION \"%s\"";
inline constexpr const char* kDiskFull = "ESPACE DISQUE INSUFFISANT POUR LE FICHIER IMAGE \"%s\"";
// The program reading the image from a pipe (or a socket) closed it first.
inline constexpr const char* kImageReaderGone =
    "ÉCRITURE DE L'IMAGE \"%s\" INTERROMPUE: LE PROGRAMME QUI LA LISAIT S'EST FERMÉ (TUBE ROMPU)";

// Drive layer: the device list (type 0).
inline constexpr const char* kInvalidDevice = "ID MATÉRIEL NON VALIDE / PAS UN CD OU DVD";

// Drive layer: request status, host adapter status and SCSI status texts.
inline constexpr const char* kUnknown = "INCONNU";
inline constexpr const char* kCheckCondition = "CHECK CONDITION";
inline constexpr const char* kTargetBusy = "CIBLE OCCUPÉE";
inline constexpr const char* kReservationConflict = "TARGET RESERVATION CONFLICT";
inline constexpr const char* kQueueFull = "TARGET QUEUE FULL";
inline constexpr const char* kCommandTimeout = "COMMAND TIMEOUT";
inline constexpr const char* kSrbTimeout = "SRB TIMEOUT";
inline constexpr const char* kMessageReject = "MESSAGE REJECT";
inline constexpr const char* kBusReset = "BUS RESET";
inline constexpr const char* kParityError = "ERREUR DE PARITÉ";
inline constexpr const char* kRequestSenseFailed = "REQUEST SENSE FAILED";
inline constexpr const char* kSelectionTimeout = "SELECTION TIMEOUT";
inline constexpr const char* kDataOverrun = "DATA OVERRUN";
inline constexpr const char* kUnexpectedBusFree = "UNEXPECTED BUS FREE";
inline constexpr const char* kInvalidRequest = "REQUÊTE INVALIDE";
inline constexpr const char* kInvalidHostAdapter = "INVALID HOST ADAPTER";
inline constexpr const char* kNoDevice = "AUCUN PÉRIPHÉRIQUE";
inline constexpr const char* kInvalidSrb = "SRB INVALIDE";
inline constexpr const char* kBufferAlignment = "BUFFER ALIGNMENT";
inline constexpr const char* kAspiBusy = "ASPI OCCUPÉ!";
inline constexpr const char* kBufferTooBig = "ZONE TAMPON TROP VOLUMINEUSE";

// Appended to a list line whose device could only be opened for reading, or
// not at all (the reason is the back end's access text).
inline constexpr const char* kListedReadOnly = " (LECTURE SEULE)";
inline constexpr const char* kListedUnusable = " (INACCESSIBLE)";

// Drive layer: a command the transport could not carry (an errno of the
// device node, %s); the nearest cause in the user's words.
inline constexpr const char* kAccessDenied =
    "ACCÈS REFUSÉ AU GRAVEUR %s: AJOUTEZ L'UTILISATEUR AU GROUPE cdrom (OU LANCEZ LE PROGRAMME AVEC LES DROITS "
    "NÉCESSAIRES)";
inline constexpr const char* kReadOnlyAccess =
    "OUVERTURE EN ÉCRITURE REFUSÉE POUR %s: AJOUTEZ L'UTILISATEUR AU GROUPE cdrom POUR GRAVER";
inline constexpr const char* kDriveInUse = "LE GRAVEUR EST UTILISÉ PAR UN AUTRE PROGRAMME (%s)";
inline constexpr const char* kNoMediumInDrive = "AUCUN DISQUE DANS LE GRAVEUR %s";
inline constexpr const char* kDriveDisconnected = "LE GRAVEUR %s A ÉTÉ DÉCONNECTÉ";
inline constexpr const char* kDriveIoError = "ERREUR D'ENTRÉE/SORTIE DU GRAVEUR %s OU DE SON CÂBLE";
inline constexpr const char* kDriveNoAnswer = "LE GRAVEUR %s NE RÉPOND PAS";
inline constexpr const char* kDriveNodeMissing = "LE PÉRIPHÉRIQUE %s N'EXISTE PAS";
inline constexpr const char* kDriveReadOnlySystem = "LE SYSTÈME N'OUVRE LE GRAVEUR %s QU'EN LECTURE";
// Any other errno, by its symbolic name (EINVAL ...).
inline constexpr const char* kDriveSystemError = "LE SYSTÈME REFUSE LA COMMANDE AU GRAVEUR %s (ERREUR %s)";
// Appended in parentheses to the host adapter status text of a command that
// failed below SCSI.
inline constexpr const char* kCauseNoAnswer = "LE GRAVEUR NE RÉPOND PAS";
inline constexpr const char* kCauseUnreachable = "LE GRAVEUR EST DÉCONNECTÉ OU ÉTEINT";
inline constexpr const char* kCauseReset = "LE GRAVEUR A ÉTÉ RÉINITIALISÉ PENDANT LA COMMANDE";
inline constexpr const char* kCauseAborted = "LE SYSTÈME A ABANDONNÉ LA COMMANDE";
inline constexpr const char* kCauseLink = "ERREUR DE TRANSMISSION AVEC LE GRAVEUR: CÂBLE OU CONTRÔLEUR";
inline constexpr const char* kCauseSenseLost = "LE GRAVEUR A SIGNALÉ UNE ERREUR SANS EN DONNER LA CAUSE";

// Drive layer: sense keys of fixed-format sense data.
inline constexpr const char* kFilemark = "FILEMARK";
inline constexpr const char* kEndOfMedium = "FIN DU DISQUE";
inline constexpr const char* kIllegalLength = "ILLEGAL LENGTH";
inline constexpr const char* kNoSense = "NO ADDITIONAL SENSE INFORMATION";
inline constexpr const char* kRecoveredError = "RECOVERED ERROR";
inline constexpr const char* kNotReady = "PAS PRÊT";
inline constexpr const char* kMediumError = "ERREUR DISQUE";
inline constexpr const char* kHardwareError = "HARDWARE ERROR";
inline constexpr const char* kIllegalRequest = "REQUÊTE ILLÉGALE";
inline constexpr const char* kUnitAttention = "UNIT ATTENTION";
inline constexpr const char* kWriteProtected = "PROTÉGÉ EN ÉCRITURE";
inline constexpr const char* kEraseCheck = "ERASE CHECK";
inline constexpr const char* kCopyAborted = "COPYABORTED";
inline constexpr const char* kAbortedCommand = "COMMANDE D'ANNULATION";
inline constexpr const char* kVolumeOverflow = "VOLUME OVERFLOW";
inline constexpr const char* kMiscompare = "MISCOMPARE";
inline constexpr const char* kReservedKey = "RÉSERVÉ";

// Drive layer: additional sense texts of the component's own wording (the
// others are the standards' English descriptions, sense.cpp).
inline constexpr const char* kAscWarning = "AVERTISSEMENT";
inline constexpr const char* kAscWarningTemperature = "AVERTISSEMENT - SPECIFIED TEMPERATURE EXCEEDED";
inline constexpr const char* kAscWarningEnclosure = "AVERTISSEMENT - ENCLOSURE DEGRADED";
inline constexpr const char* kAscWriteRecoveryNeeded = "ERREUR D'ÉCRITURE - RECOVERY NEEDED";
inline constexpr const char* kAscWriteRecoveryFailed = "ERREUR D'ÉCRITURE - RECOVERY FAILED";
inline constexpr const char* kAscWriteLossOfStreaming = "ERREUR D'ÉCRITURE - LOSS OF STREAMING";
inline constexpr const char* kAscWritePaddingAdded = "ERREUR D'ÉCRITURE - PADDING BLOCKS ADDED";
inline constexpr const char* kAscRecordNotFound = "ENREGISTREMENT NON TROUVÉ";
inline constexpr const char* kAscInvalidFieldInCdb = "CHAMP INVALIDE DANS LE CDB";
inline constexpr const char* kAscLunNotSupported = "UNITÉ LOGIQUE NON SUPPORTÉE";
inline constexpr const char* kAscInvalidFieldInList = "CHAMP INVALIDE DANS LA LISTE DES PARAMÈTRES";
inline constexpr const char* kAscParameterNotSupported = "PARAMÈTRE NON SUPPORTÉ";
inline constexpr const char* kAscParameterValueInvalid = "VALEUR DE PARAMÈTRE INVALIDE";
inline constexpr const char* kAscIllegalMode = "MODE ILLÉGAL - INSÉRER CD VIERGE OU EFFACER LES DONNÉES? -  ";

// Recording to a disc (the writer thread).
inline constexpr const char* kDiscWriteError = "ERREUR D'ÉCRITURE";  // followed by " [" LastError "]"
inline constexpr const char* kWriterBusy = "WRITER BUSY/BUFFER FULL";
inline constexpr const char* kWritingTo = "ÉCRITURE de %s vers %s";
inline constexpr const char* kTestWrite = "TEST/ÉCRITURE";
inline constexpr const char* kSequentialDvdRwHoldsSessions =
    "CE DVD-RW CONTIENT DES SESSIONS ENREGISTRÉES EN MODE SÉQUENTIEL: LE FORMATER LES EFFACERAIT. "
    "EFFACEZ-LE D'ABORD OU UTILISEZ UN AUTRE DISQUE";
inline constexpr const char* kFinalizeTimeout =
    "LE GRAVEUR N'A PAS TERMINÉ L'ENREGISTREMENT EN %d SECONDES: LE DISQUE EST PEUT-ÊTRE INCOMPLET";
// The drive kept refusing a write for %d seconds; %s says what it answered.
inline constexpr const char* kWriterBusyFor = "LE GRAVEUR A REFUSÉ L'ÉCRITURE PENDANT %d SECONDES: %s";
inline constexpr const char* kDriveAnswersBusy = "IL RÉPOND OCCUPÉ (BUSY)";
inline constexpr const char* kDriveAnswers = "IL RÉPOND \"%s\"";
inline constexpr const char* kDiscRemoved = "LE DISQUE A ÉTÉ RETIRÉ DU GRAVEUR: RIEN N'A ÉTÉ FERMÉ";
inline constexpr const char* kFlushFailed =
    "LE GRAVEUR N'A PAS PU ENREGISTRER LES DERNIÈRES DONNÉES: LA SESSION N'EST PAS FERMÉE";  // + " [" LastError "]"
inline constexpr const char* kCloseFailed =
    "LA FERMETURE DE LA SESSION A ÉCHOUÉ: LA SESSION N'EST PEUT-ÊTRE PAS FERMÉE";  // + " [" LastError "]"
inline constexpr const char* kCloseTimeout =
    "LE GRAVEUR N'A PAS TERMINÉ LA FERMETURE DE LA SESSION EN %d SECONDES: LA SESSION N'EST PEUT-ÊTRE PAS FERMÉE";
inline constexpr const char* kAbortedWhileClosing =
    "OPÉRATION TERMINÉE PAR L'USAGER PENDANT LA FERMETURE: LA SESSION N'EST PEUT-ÊTRE PAS FERMÉE";
inline constexpr const char* kHeadWriteFailed =
    "ERREUR D'ÉCRITURE DES DESCRIPTEURS DU VOLUME: LE DISQUE EST PEUT-ÊTRE ILLISIBLE";  // + " [" LastError "]"
inline constexpr const char* kFormatFailed = "LE FORMATAGE DU DVD+RW A ÉCHOUÉ";  // + " [" LastError "]"
inline constexpr const char* kFormatTimeout = "LE FORMATAGE DU DVD+RW NE S'EST PAS TERMINÉ EN %d SECONDES";
// Before a new session on a write-once disc whose last session was interrupted.
inline constexpr const char* kClosingInterruptedSession =
    "LA SESSION %d A ÉTÉ INTERROMPUE: ELLE EST FERMÉE AVANT LA NOUVELLE SESSION, SES FICHIERS INCOMPLETS NE SONT PAS "
    "REPRIS";
inline constexpr const char* kInterruptedSessionNotClosed =
    "LA SESSION INTERROMPUE N'A PAS PU ÊTRE FERMÉE: AUCUNE NOUVELLE SESSION N'EST POSSIBLE";  // + " [" LastError "]"
inline constexpr const char* kNoLongerFits =
    "LA COMPILATION NE TIENT PLUS SUR LE DISQUE APRÈS LA FERMETURE DE LA SESSION INTERROMPUE: %lld SECTEURS POUR %u "
    "LIBRES";
// Before a burn: the disc in the drive and the compilation (PlanBurn).
inline constexpr const char* kNoDiscReady = "AUCUN DISQUE PRÊT DANS LE GRAVEUR";  // + " : " LastError when there is one
inline constexpr const char* kDriveDoesNotAnswer = "LE GRAVEUR NE RÉPOND PAS";    // + " [" LastError "]"
inline constexpr const char* kDiscNotRecordable = "LE DISQUE %s NE PEUT PAS ÊTRE GRAVÉ";
inline constexpr const char* kDiscClosed = "LE DISQUE EST FERMÉ: AUCUNE SESSION NE PEUT Y ÊTRE AJOUTÉE";
inline constexpr const char* kNothingToBurn = "RIEN À GRAVER: AUCUN FICHIER DANS LA COMPILATION";
inline constexpr const char* kFreeSpaceUnknown = "L'ESPACE LIBRE DU DISQUE N'A PAS PU ÊTRE LU";  // + " [" LastError "]"
inline constexpr const char* kDoesNotFit = "LA COMPILATION NE TIENT PAS SUR LE DISQUE: %s POUR %s LIBRES";
// A drive that could only be opened for reading.
inline constexpr const char* kDeviceReadOnly =
    "LE GRAVEUR N'EST ACCESSIBLE QU'EN LECTURE: IL NE PEUT NI GRAVER NI EFFACER";  // + ": " the reason
// An image file goes to the disc from sector 0.
inline constexpr const char* kImageNeedsBlankDisc =
    "LE DISQUE CONTIENT DÉJÀ DES DONNÉES: UNE IMAGE SE GRAVE À PARTIR DU DÉBUT DU DISQUE, SUR UN DISQUE VIERGE OU "
    "RÉINSCRIPTIBLE";
inline constexpr const char* kImageTooLarge = "L'IMAGE NE TIENT PAS SUR LE DISQUE: %lld SECTEURS POUR %u";
inline constexpr const char* kBootImageMissing =
    "IMAGE DE DÉMARRAGE INTROUVABLE OU VIDE \"%s\": LE DISQUE NE SERA PAS AMORÇABLE";
inline constexpr const char* kBootInfoNotWritten =
    "TABLE D'INFORMATIONS DE DÉMARRAGE NON ÉCRITE: IMAGE DE DÉMARRAGE \"%s\" ILLISIBLE OU DE MOINS DE 64 OCTETS";

// Erasing rewritable discs (EraseDisc, TEraseThread).
inline constexpr const char* kErasing = "SUPPRESSION de %s À %s - Veillez patienter...";  // after ">>> "
inline constexpr const char* kEraseAlreadyRunning = "UN EFFACEMENT EST DÉJÀ EN COURS";
inline constexpr const char* kEraseNotReady = "L'UNITÉ MEDIA/GRAVEUR N'EST PAS PRÊTE: EFFACEMENT IMPOSSIBLE";
inline constexpr const char* kEraseNotStarted = "L'EFFACEMENT N'A PAS PU DÉMARRER";  // + " [" LastError "]"
inline constexpr const char* kEraseFormatTimeout = "LE FORMATAGE NE S'EST PAS TERMINÉ EN %d SECONDES";
inline constexpr const char* kEraseWriteError = "ERREUR D'ÉCRITURE AU SECTEUR %u PENDANT L'EFFACEMENT";  // + " [" LastError "]"
inline constexpr const char* kEraseNeverReady =
    "LE GRAVEUR N'EST PAS REDEVENU PRÊT EN %d SECONDES: L'EFFACEMENT N'EST PEUT-ÊTRE PAS TERMINÉ";
inline constexpr const char* kEraseNoMedium = "LE DISQUE A DISPARU PENDANT L'EFFACEMENT";
// The drive reported that the blank or format it ran failed (a deferred error).
inline constexpr const char* kEraseFailed = "LE GRAVEUR SIGNALE L'ÉCHEC DE L'EFFACEMENT";  // + " [" LastError "]"
inline constexpr const char* kEraseInternal = "L'EFFACEMENT S'EST ARRÊTÉ SUR UNE ERREUR INATTENDUE";

}  // namespace zamo::msg
