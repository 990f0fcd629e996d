// verify_messages.h: the texts of a verification: a session read back from
// the disc and compared with what was recorded. French, upper case, as the
// component's other messages; %d, %u, %lld and %s are filled by the caller.
#pragma once

namespace zamo::msg {

// Start lines (type 1).
inline constexpr const char* kVerifyRecording = "VÉRIFICATION DE LA SESSION GRAVÉE (SECTEURS %u À %u)";
inline constexpr const char* kVerifySession = "VÉRIFICATION DE LA SESSION # %d";
inline constexpr const char* kVerifyImage = "VÉRIFICATION DE L'IMAGE GRAVÉE (SECTEURS 0 À %u)";
inline constexpr const char* kVerifiedImage = "IMAGE \"%s\"";
inline constexpr const char* kVerifyHeadNotKept =
    "VÉRIFICATION: L'EN-TÊTE DE L'IMAGE N'A PAS ÉTÉ CONSERVÉ, SEULS LES DESCRIPTEURS DE VOLUME SONT COMPARÉS";

// What a verification compares: an area of the session's head, a file.
inline constexpr const char* kAreaSystem = "ZONE SYSTÈME";
inline constexpr const char* kAreaDescriptors = "DESCRIPTEURS DE VOLUME";
inline constexpr const char* kAreaHeadCopy = "DESCRIPTEURS DE VOLUME DU DÉBUT DU DISQUE";
inline constexpr const char* kAreaIsoPathTables = "TABLES DES CHEMINS ISO 9660";
inline constexpr const char* kAreaJolietPathTables = "TABLES DES CHEMINS JOLIET";
inline constexpr const char* kAreaIsoDirectory = "DOSSIER ISO 9660 \"%s\"";
inline constexpr const char* kAreaJolietDirectory = "DOSSIER JOLIET \"%s\"";
inline constexpr const char* kAreaBootCatalog = "CATALOGUE DE DÉMARRAGE";
inline constexpr const char* kAreaBootImage = "IMAGE DE DÉMARRAGE \"%s\"";
inline constexpr const char* kAreaPadding = "REMPLISSAGE";
inline constexpr const char* kVerifiedFile = "FICHIER \"%s\"";

// One line per file or area found wrong (type 0); the first %s is one of the above.
inline constexpr const char* kVerifyContentDiffers = "ERREUR DE VÉRIFICATION: %s, CONTENU DIFFÉRENT À L'OCTET %lld (SECTEUR %u)";
inline constexpr const char* kVerifyUnreadable = "ERREUR DE VÉRIFICATION: %s, SECTEUR %u ILLISIBLE (%s)";
inline constexpr const char* kVerifySizeDiffers =
    "ERREUR DE VÉRIFICATION: %s, %lld OCTETS SUR LE DISQUE ET %lld DANS LE FICHIER SOURCE";
inline constexpr const char* kVerifyMissing = "ERREUR DE VÉRIFICATION: %s, ABSENT DU DISQUE";
inline constexpr const char* kVerifyDamaged =
    "ERREUR DE VÉRIFICATION: %s, ILLISIBLE: SES DONNÉES DÉPASSENT LA FIN ENREGISTRÉE DE LA SESSION";
inline constexpr const char* kVerifySourceUnreadable =
    "ERREUR DE VÉRIFICATION: %s, FICHIER SOURCE \"%s\" ILLISIBLE (%s)";

// Summary lines (type 1): the counts, each with its agreement.
inline constexpr const char* kVerifyHeadSummary = "VÉRIFICATION DE L'EN-TÊTE: %s, %s, %s";
inline constexpr const char* kVerifySummary = "VÉRIFICATION: %s, %s, %s";

// The outcome (OnVerifyDone's Error).
inline constexpr const char* kVerifyFailed = "LE DISQUE NE CORRESPOND PAS À CE QUI A ÉTÉ GRAVÉ, VOIR CI-DESSUS";
inline constexpr const char* kVerifyNothingRecorded =
    "VÉRIFICATION IMPOSSIBLE: AUCUNE SESSION N'A ÉTÉ GRAVÉE PAR CE COMPOSANT";
inline constexpr const char* kVerifyTestWrite = "VÉRIFICATION IMPOSSIBLE: LA GRAVURE ÉTAIT UNE SIMULATION";
inline constexpr const char* kVerifyNoSession = "VÉRIFICATION IMPOSSIBLE: LA SESSION %d N'A PAS PU ÊTRE LUE";
inline constexpr const char* kVerifyBusy = "VÉRIFICATION IMPOSSIBLE: UNE VÉRIFICATION EST DÉJÀ EN COURS";
inline constexpr const char* kVerifyInternal = "ERREUR INTERNE PENDANT LA VÉRIFICATION";

}  // namespace zamo::msg
