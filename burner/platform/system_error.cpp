#include "burner/platform/system_error.h"

#include <errno.h>

#include "burner/platform/str_format.h"

namespace zamo {

std::string SystemErrorText(int error) {
  switch (error) {
    case ENOENT: return "FICHIER INTROUVABLE";
    case EACCES:
    case EPERM: return "ACCÈS REFUSÉ";
    case EIO: return "ERREUR D'ENTRÉE/SORTIE";
    case ENOSPC: return "DISQUE PLEIN";
    case EDQUOT: return "QUOTA DISQUE DÉPASSÉ";
    case EFBIG: return "TAILLE MAXIMALE DE FICHIER DÉPASSÉE";
    case EISDIR: return "C'EST UN DOSSIER";
    case EROFS: return "SYSTÈME DE FICHIERS EN LECTURE SEULE";
    case ENAMETOOLONG: return "NOM TROP LONG";
    default: return StrFormat("ERREUR SYSTÈME %d", error);
  }
}

}  // namespace zamo
