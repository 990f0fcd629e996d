// import_messages.h: the texts of reading a session back from a disc and of
// extracting its files. French, upper case, as the component's other
// messages; %d, %u and %s are filled by the caller.
#pragma once

namespace zamo::msg {

// Importing a session (progress: type 1; failures: type 4).
inline constexpr const char* kImportSession = "IMPORTER LA SESSION # %d";
inline constexpr const char* kImportSessionFailed = "ERREUR IMPORTATION SESSION";
inline constexpr const char* kImportNoIsoImage = "ERREUR IMPORTATION DE SESSION %d (IMAGE ISO NON TROUVÉE)";
// Followed by "\n\r" and the name.
inline constexpr const char* kImportNameTooLong = "ERREUR IMPORTATION SESSION, NOM DE FICHIER EXCÈDE 120 CARACTÈRES\"";
inline constexpr const char* kImportBadRecord =
    "ERREUR IMPORTATION SESSION, ENREGISTREMENT INVALIDE DANS LE DOSSIER \"%s\" (SECTEUR %u)";
inline constexpr const char* kImportBadName = "ERREUR IMPORTATION SESSION, NOM INVALIDE IGNORÉ DANS LE DOSSIER \"%s\"";
inline constexpr const char* kImportOutsideVolume =
    "ERREUR IMPORTATION SESSION, \"%s\" EST HORS DU VOLUME (SECTEUR %u, %llu OCTETS) ET EST IGNORÉ";
inline constexpr const char* kImportUnreadable =
    "ERREUR IMPORTATION SESSION, SECTEUR %u ILLISIBLE: LE DOSSIER \"%s\" EST INCOMPLET";
inline constexpr const char* kImportLoop = "ERREUR IMPORTATION SESSION, DOSSIER DÉJÀ LU (BOUCLE) IGNORÉ \"%s\"";
inline constexpr const char* kImportTooDeep =
    "ERREUR IMPORTATION SESSION, PLUS DE %d NIVEAUX DE DOSSIERS: \"%s\" EST IGNORÉ";
inline constexpr const char* kImportTooManyRecords =
    "ERREUR IMPORTATION SESSION, PLUS DE %d ENREGISTREMENTS: IMPORTATION ARRÊTÉE, LES ÉLÉMENTS DÉJÀ LUS SONT CONSERVÉS";
inline constexpr const char* kImportTooMuchDirectoryData =
    "ERREUR IMPORTATION SESSION, PLUS DE %d SECTEURS DE DOSSIERS: IMPORTATION ARRÊTÉE, LES ÉLÉMENTS DÉJÀ LUS SONT "
    "CONSERVÉS";
// The compilation's capacities, reached while a session is read.
inline constexpr const char* kImportDirectoryLimit =
    "ERREUR IMPORTATION SESSION, LIMITE DE %d DOSSIERS ATTEINTE: \"%s\" ET SON CONTENU NE SONT PAS IMPORTÉS";
inline constexpr const char* kImportFileLimit =
    "ERREUR IMPORTATION SESSION, LIMITE DE %d FICHIERS ATTEINTE: IMPORTATION ARRÊTÉE, LES ÉLÉMENTS DÉJÀ LUS SONT "
    "CONSERVÉS";
// A file in several extents whose parts do not follow one another on the
// disc (or whose last part never comes): it is left out.
inline constexpr const char* kImportMultiExtent =
    "ERREUR IMPORTATION SESSION, FICHIER EN PLUSIEURS PARTIES NON PRIS EN CHARGE \"%s\"";
inline constexpr const char* kImportChainIncomplete =
    "ERREUR IMPORTATION SESSION, FICHIER EN PLUSIEURS PARTIES SANS SA DERNIÈRE PARTIE \"%s\" IGNORÉ";
// A file whose data runs past what the disc holds recorded (an interrupted
// session, an image cut short); %u is the first sector not recorded.
inline constexpr const char* kImportDamaged =
    "FICHIER ENDOMMAGÉ: \"%s\" DÉPASSE LA FIN DES DONNÉES ENREGISTRÉES (SECTEUR %u)";
inline constexpr const char* kImportDamagedLeftOut =
    "FICHIER ENDOMMAGÉ: \"%s\" DÉPASSE LA FIN DES DONNÉES ENREGISTRÉES (SECTEUR %u), IL N'EST PAS REPRIS DANS LA "
    "NOUVELLE SESSION";
inline constexpr const char* kImportMoreErrors =
    "ERREUR IMPORTATION SESSION, TROP D'ERREURS: LES SUIVANTES NE SONT PLUS AFFICHÉES";
inline constexpr const char* kImportNameClash =
    "ERREUR IMPORTATION SESSION, UN AUTRE ÉLÉMENT PORTE DÉJÀ LE NOM \"%s\": IL EST IGNORÉ";

// Laying a session out on a disc (type 0).
inline constexpr const char* kNoNextWritableAddress = "ERROR GETTING NEXT WRITABLE ADDRESS";

// Extracting a file (progress: type 1; failures: type 0).
inline constexpr const char* kExtractFiles = "EXTRAIRE LES FICHIERS %s vers %s";
inline constexpr const char* kExtractNotOnDisc = "EXTRACTION IMPOSSIBLE: \"%s\" N'EST PAS UN FICHIER DU DISQUE";
inline constexpr const char* kExtractDamaged =
    "EXTRACTION REFUSÉE: LE FICHIER \"%s\" EST ENDOMMAGÉ, SES DONNÉES DÉPASSENT LA FIN DES DONNÉES ENREGISTRÉES "
    "DU DISQUE";
inline constexpr const char* kExtractCannotCreate = "IMPOSSIBLE DE CRÉER LE FICHIER \"%s\" (%s)";
inline constexpr const char* kExtractReadError =
    "ERREUR DE LECTURE DU DISQUE: FICHIER \"%s\", SECTEUR %u (%s). LE FICHIER N'EST PAS EXTRAIT";
inline constexpr const char* kExtractWriteError =
    "ERREUR D'ÉCRITURE DU FICHIER \"%s\" (%s). LE FICHIER N'EST PAS EXTRAIT";
inline constexpr const char* kExtractDateError = "IMPOSSIBLE DE DONNER SA DATE AU FICHIER \"%s\" (%s)";

}  // namespace zamo::msg
