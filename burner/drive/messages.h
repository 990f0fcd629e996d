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
inline constexpr const char* kFileTooLarge = "FICHIER DE 4 GO OU PLUS IGNORÉ \"%s\"";
inline constexpr const char* kNotAFile = "DOSSIER REFUSÉ À LA PLACE D'UN FICHIER \"%s\"";
inline constexpr const char* kFileNameTooLong = "NOM DE FICHIER TROP LONG (PLUS DE %d CARACTÈRES) \"%s\"";
inline constexpr const char* kFolderNameTooLong = "NOM DE DOSSIER TROP LONG (PLUS DE %d CARACTÈRES) \"%s\"";
inline constexpr const char* kReplaceFolderRefused = "LE DOSSIER \"%s\" N'EST PAS REMPLACÉ PAR LE FICHIER \"%s\"";
inline constexpr const char* kUnreadableFile = "FICHIER ILLISIBLE IGNORÉ \"%s\"";
inline constexpr const char* kUnreadableFolder = "DOSSIER ILLISIBLE, SON CONTENU EST IGNORÉ \"%s\" (%s)";
inline constexpr const char* kLinkLoop = "BOUCLE DE LIENS SYMBOLIQUES IGNORÉE \"%s\"";
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

}  // namespace zamo::msg
