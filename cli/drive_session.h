// drive_session.h: what every drive subcommand of zamo-cli opens first: the
// component with its log on stderr, the back end (real drives or the
// emulated recorders of --emulate / ZAMO_EMULATED_DRIVES) and the drive
// chosen with --drive.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "burner/compilation/veskburner.h"
#include "burner/drive/transport.h"
#include "cli/drive_commands.h"
#include "cli/file_checks.h"
#include "cli/log_output.h"

namespace zamo::cli {

// Why the emulated back end could not be built (filled by RegisterEmulator's loader).
inline std::string& EmulatorError() {
  static std::string error;
  return error;
}

// Said when no drive can be used and no emulated recorder was asked for.
inline constexpr const char* kEmulationHint =
    "Un graveur émulé peut le remplacer\u00A0: --emulate TYPE:IMAGE (par exemple --emulate cd-r:/tmp/cd.img) ou "
    "la variable ZAMO_EMULATED_DRIVES (TYPE:IMAGE, plusieurs graveurs séparés par «\u00A0;\u00A0»)\u00A0; "
    "«\u00A0zamo-cli devices --help\u00A0» donne les types.";
// And how to read an image file without any drive.
inline constexpr const char* kImageHint =
    "Pour lire un fichier image comme un disque\u00A0: zamo-cli ls --image IMAGE.iso (de même avec extract, "
    "verify et info).";

// "La session 5 n'existe pas : le disque n'a que la session 1."
inline std::string MissingSessionText(int number, int count) {
  std::string has;
  if (count <= 0) {
    has = "le disque n'a aucune session";
  } else if (count == 1) {
    has = "le disque n'a que la session 1";
  } else {
    has = "le disque a les sessions 1 " + std::string(count == 2 ? "et " : "à ") + std::to_string(count);
  }
  return "La session " + std::to_string(number) + " n'existe pas" + kNbsp + ": " + has + ".";
}
// The list line's address ("H:T:L") and device node.
inline std::string LineAddress(const std::string& line) { return line.substr(0, line.find(',')); }
inline std::string LineNode(const std::string& line) {
  const size_t comma = line.find(',');
  if (comma == std::string::npos) return {};
  const size_t colon = line.find(": ", comma);
  return line.substr(comma + 1, colon == std::string::npos ? std::string::npos : colon - comma - 1);
}

// The component, its log on stderr, and the chosen drive.
class DriveSession {
 public:
  explicit DriveSession(const DriveOptions& options) : burner_(nullptr), log_(burner_, options.verbose) {
    burner_.DoDebug = options.verbose;
    if (!options.image.empty()) {
      OpenImage(options.image);
      return;
    }
    std::string config = options.emulate;
    if (config.empty()) {
      if (const char* env = std::getenv("ZAMO_EMULATED_DRIVES")) config = env;
    }
    emulated_ = !config.empty();
    // Configured emulated recorders are what the user asked for: the
    // pass-through back end is only tried first without them.
    initialized_ = burner_.InitializeASPI(!emulated_, config);
  }

  TVeskBurner& burner() { return burner_; }
  LogOutput& log() { return log_; }
  bool initialized() const { return initialized_; }

  // Reports why no drive can be used; false when there is none.
  bool HaveDrives() {
    if (!image_problem_.empty()) {
      log_.Line(image_problem_);
      return false;
    }
    if (!initialized_) {
      if (emulated_) {
        log_.Line("Graveurs émulés inutilisables\u00A0: " + EmulatorError());
      } else {
        log_.Line("Aucun lecteur de CD ou DVD trouvé (aucun /dev/sr* ne répond).");
        log_.Line(kEmulationHint);
        log_.Line(kImageHint);
      }
      return false;
    }
    if (burner_.Devices.empty()) {
      log_.Line("Aucun lecteur de CD ou DVD trouvé.");
      if (!emulated_) {
        log_.Line(kEmulationHint);
        log_.Line(kImageHint);
      }
      return false;
    }
    return true;
  }

  bool emulated() const { return emulated_; }

  // Selects the drive named by --drive; false (with a line) when it fails.
  bool Select(const std::string& which) {
    if (!HaveDrives()) return false;
    const std::vector<std::string>& devices = burner_.Devices;
    int index = -1;
    if (which.empty()) {
      index = 0;
    } else {
      char* end = nullptr;
      const long n = std::strtol(which.c_str(), &end, 10);
      if (end != which.c_str() && *end == '\0') {
        index = (n >= 0 && n < static_cast<long>(devices.size())) ? static_cast<int>(n) : -2;
      } else {
        for (size_t i = 0; i < devices.size(); ++i) {
          if (LineNode(devices[i]) == which || LineAddress(devices[i]) == which) index = static_cast<int>(i);
        }
      }
    }
    if (index < 0) {
      log_.Line("Lecteur " + Quoted(which) + " introuvable\u00A0; «\u00A0zamo-cli devices\u00A0» donne la liste.");
      return false;
    }
    // A drive this process cannot open is not selected: every command would
    // fail for the same reason, said once here.
    const std::string& line = devices[static_cast<size_t>(index)];
    if (const TDeviceAccess access = burner_.DeviceAccessOf(line); !access.problem.empty() && !access.read_only) {
      log_.Line("Lecteur " + Quoted(line) + " inutilisable\u00A0: " + access.problem);
      return false;
    }
    burner_.SelectDevice(line);
    if (burner_.HaId == 0xFE) {
      log_.Line("Lecteur " + Quoted(devices[static_cast<size_t>(index)]) + " inutilisable.");
      return false;
    }
    return true;
  }

  // The disc is ready and holds session `number` (negative: any, the last
  // one); false with a line saying why not.
  bool DiscHoldsSession(int number) {
    if (!burner_.TestUnitReady(5000)) {
      burner_.WaitUntilReady(10000, 500);
      if (!burner_.TestUnitReady(5000)) {
        ReportFailure(">>> L'UNITÉ MEDIA/GRAVEUR N'EST PAS PRÊTE ");
        return false;
      }
    }
    const int count = burner_.GetSessionCount();
    if (count == 0) {
      log_.Line("Le disque ne contient aucune session.");
      return false;
    }
    if (number > count) {
      log_.Line(MissingSessionText(number, count));
      return false;
    }
    return true;
  }

  // The drive's failure text, when the last command left one.
  void ReportFailure(const std::string& what) {
    std::string line = what;
    if (!burner_.LastError.empty()) line += "\u00A0: " + burner_.LastError;
    log_.Line(line);
  }

 private:
  // --image: one read-only drive holding the file, and no other drive (not
  // even a real one should the image not open).
  void OpenImage(const std::string& image) {
    emulated_ = true;
    image_problem_ = ImageDiscProblem(image);
    if (!image_problem_.empty()) return;
    RegisterImageReader(image);
    initialized_ = burner_.InitializeASPI(/*PreferSpti=*/false, image);
    if (initialized_ && transport::TransportName() != "ZAMOEMU") {
      transport::AspiUnload();
      initialized_ = false;
    }
    if (!initialized_)
      image_problem_ = "Le fichier image " + Quoted(image) + " ne peut pas être lu comme un disque" + kNbsp + ": " +
                       EmulatorError();
  }

  TVeskBurner burner_;
  LogOutput log_;
  bool emulated_ = false;
  bool initialized_ = false;
  std::string image_problem_;  // why --image cannot be read; empty when it can
};

}  // namespace zamo::cli
