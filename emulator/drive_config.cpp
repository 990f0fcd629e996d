// drive_config.cpp: parsing the emulated drive list.
#include "emulator/drive_config.h"

#include <cerrno>
#include <charconv>

namespace zamo::emu {
namespace {

constexpr size_t kMaxDrives = 8;  // the device scan visits targets 0 to 7
constexpr size_t kModelLength = 16;
constexpr uint64_t kMinBufferBytes = 32 * 1024;
constexpr uint64_t kBlockBytes = 2048;

std::string_view Trim(std::string_view text) {
  const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!text.empty() && space(text.front())) text.remove_prefix(1);
  while (!text.empty() && space(text.back())) text.remove_suffix(1);
  return text;
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  size_t begin = 0;
  for (;;) {
    const size_t end = text.find(separator, begin);
    parts.push_back(text.substr(begin, end == std::string_view::npos ? std::string_view::npos : end - begin));
    if (end == std::string_view::npos) return parts;
    begin = end + 1;
  }
}

template <typename T>
bool ParseNumber(std::string_view text, int base, T* value) {
  if (text.empty()) return false;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, *value, base);
  return ec == std::errc() && ptr == end;
}

bool ParseBool(std::string_view text, bool* value) {
  if (text == "1" || text == "yes" || text == "on" || text == "true") return *value = true, true;
  if (text == "0" || text == "no" || text == "off" || text == "false") return *value = false, true;
  return false;
}

// LBA:KEY/ASC/ASCQ, the LBA in decimal and the sense bytes in hexadecimal.
bool ParseWriteError(std::string_view text, TInjectedWriteError* out) {
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  if (!ParseNumber(text.substr(0, colon), 10, &out->lba)) return false;
  const std::vector<std::string_view> bytes = Split(text.substr(colon + 1), '/');
  if (bytes.size() != 3) return false;
  return ParseNumber(bytes[0], 16, &out->sense.key) && out->sense.key <= 0x0F &&
         ParseNumber(bytes[1], 16, &out->sense.asc) && ParseNumber(bytes[2], 16, &out->sense.ascq);
}

// notready=, busy=: a count of commands, or "always".
bool ParseCount(std::string_view text, uint32_t* count) {
  if (text == "always") return *count = kWithoutEnd, true;
  return ParseNumber(text, 10, count) && *count != kWithoutEnd;
}

// faultat=: a block address in decimal (the first WRITE reaching it), "sync"
// (the first SYNCHRONIZE CACHE) or "close" (the first CLOSE TRACK/SESSION).
bool ParseFaultStart(std::string_view text, std::optional<TFaultStart>* start) {
  TFaultStart parsed;
  if (text == "close") {
    parsed.at = TFaultStart::TAt::kClose;
  } else if (text == "sync") {
    parsed.at = TFaultStart::TAt::kSynchronize;
  } else if (!ParseNumber(text, 10, &parsed.lba)) {
    return false;
  }
  *start = parsed;
  return true;
}

// speed=N or Nx, or "drive": the speed the host sets.
bool ParseSpeed(std::string_view text, TDriveConfig* config) {
  if (text == "drive") {
    config->speed_from_host = true;
    config->speed_x = 0;
    return true;
  }
  if (!text.empty() && (text.back() == 'x' || text.back() == 'X')) text.remove_suffix(1);
  config->speed_from_host = false;
  return ParseNumber(text, 10, &config->speed_x) && config->speed_x <= 64;
}

// SIZE: bytes, or KiB / MiB with a K or M suffix, from `minimum` to 1 GiB.
bool ParseSize(std::string_view text, uint64_t minimum, uint32_t* bytes) {
  uint64_t unit = 1;
  if (!text.empty() && (text.back() == 'k' || text.back() == 'K')) unit = 1024;
  if (!text.empty() && (text.back() == 'm' || text.back() == 'M')) unit = 1024 * 1024;
  if (unit != 1) text.remove_suffix(1);
  uint64_t count = 0;
  if (!ParseNumber(text, 10, &count) || count > (uint64_t{1} << 30) / unit) return false;
  const uint64_t size = count * unit;
  if (size < minimum) return false;
  *bytes = static_cast<uint32_t>(size);
  return true;
}

// ioerror=LBA:ERRNO (LBA in decimal) or ioerrorop=OPCODE:ERRNO (opcode in hexadecimal).
bool ParseInjectedErrno(std::string_view text, bool by_opcode, TInjectedErrno* out) {
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  const std::string_view where = text.substr(0, colon);
  const bool place = by_opcode ? ParseNumber(where, 16, &out->opcode) : ParseNumber(where, 10, &out->lba);
  const std::optional<int> error = ErrnoFromName(text.substr(colon + 1));
  if (!place || !error) return false;
  out->error = *error;
  return true;
}

struct TErrnoName {
  int error;
  std::string_view name;
};
constexpr TErrnoName kErrnoNames[] = {{EIO, "EIO"},     {ENODEV, "ENODEV"}, {ENXIO, "ENXIO"},
                                      {EPERM, "EPERM"}, {EACCES, "EACCES"}, {EBUSY, "EBUSY"},
                                      {ENOMEDIUM, "ENOMEDIUM"}};

// A duration in seconds, decimals allowed ("2", "0.25").
bool ParseSeconds(std::string_view text, std::optional<std::chrono::milliseconds>* duration) {
  double seconds = 0;
  if (text.empty()) return false;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, seconds);
  if (ec != std::errc() || ptr != end || !(seconds >= 0) || seconds > 86'400) return false;
  *duration = std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000 + 0.5));
  return true;
}

// writes=: kinds separated by "/", or "all", or "none" (a reader that writes nothing).
bool ParseWrites(std::string_view text, uint32_t* writes) {
  if (text == "all") return *writes = kWritesAll, true;
  if (text == "none") return *writes = 0, true;
  uint32_t mask = 0;
  for (std::string_view name : Split(text, '/')) {
    const std::optional<TMediaKind> kind = MediaKindFromName(Trim(name));
    if (!kind || Traits(*kind).read_only) return false;
    mask |= 1u << static_cast<int>(*kind);
  }
  *writes = mask;
  return true;
}

bool ParseModel(std::string_view text, std::string* model) {
  if (text.empty() || text.size() > kModelLength) return false;
  for (char c : text)
    if (c < 0x20 || c > 0x7E) return false;
  *model = std::string(text);
  return true;
}

// One option of an entry; an empty return means it was taken.
std::string ApplyOption(std::string_view name, std::string_view value, TDriveConfig* config) {
  bool flag = false;
  if (name == "model") {
    if (value == "modern") {
      config->modern = true;
    } else if (!ParseModel(value, &config->model)) {
      return "model attend modern ou 1 à 16 caractères ASCII imprimables";
    }
  } else if (name == "writes") {
    if (!ParseWrites(value, &config->writes))
      return "writes attend all, none ou des types enregistrables séparés par / (cd-r, cd-rw, dvd-r, dvd-rw, "
             "dvd+r, dvd+r-dl, dvd+rw, dvd-ram\u00A0; par exemple dvd+r ou cd-r/cd-rw)";
  } else if (name == "tray") {
    if (value != "open" && value != "closed") return "tray attend open ou closed";
    config->tray_open = value == "open";
  } else if (name == "disc") {
    if (value != "none" && value != "present") return "disc attend none ou present";
    config->no_disc = value == "none";
  } else if (name == "protected") {
    if (!ParseBool(value, &flag)) return "protected attend 1 ou 0";
    config->write_protected = flag;
  } else if (name == "erasable") {
    if (!ParseBool(value, &flag)) return "erasable attend 1 ou 0";
    config->erasable_bit = flag;
  } else if (name == "notready") {
    if (!ParseCount(value, &config->not_ready_commands)) return "notready attend un nombre de commandes ou always";
  } else if (name == "busy") {
    if (!ParseCount(value, &config->busy_commands)) return "busy attend un nombre de commandes ou always";
  } else if (name == "faultat") {
    if (!ParseFaultStart(value, &config->fault_start))
      return "faultat attend une adresse de secteur en décimal, sync ou close";
  } else if (name == "opc") {
    if (value != "fail" && value != "ok") return "opc attend fail ou ok";
    config->opc_fails = value == "fail";
  } else if (name == "writeerror") {
    TInjectedWriteError injected;
    if (!ParseWriteError(value, &injected))
      return "writeerror attend LBA:KEY/ASC/ASCQ (LBA en décimal, octets de sense en hexadécimal, par exemple "
             "100:3/0C/00)";
    config->write_errors.push_back(injected);
  } else if (name == "removeat") {
    uint32_t lba = 0;
    if (value == "close") {
      config->remove_at_close = true;
    } else if (ParseNumber(value, 10, &lba)) {
      config->remove_at = lba;
    } else {
      return "removeat attend une adresse de secteur en décimal ou close";
    }
  } else if (name == "trace") {
    if (value.empty()) return "trace attend un nom de fichier";
    config->trace_path = std::string(value);
  } else if (name == "speed") {
    if (!ParseSpeed(value, config)) return "speed attend une vitesse de 0 à 64 (par exemple 16 ou 16x) ou «\u00A0drive\u00A0» (celle que "
                                             "choisit l'ordinateur)";
  } else if (name == "buffer") {
    if (!ParseSize(value, kMinBufferBytes, &config->buffer_bytes))
      return "buffer attend une taille de 32K à 1024M (en octets, ou K / M pour Kio / Mio)";
  } else if (name == "maxtransfer") {
    if (!ParseSize(value, kBlockBytes, &config->max_transfer_bytes))
      return "maxtransfer attend une taille de 2K à 1024M (en octets, ou K / M pour Kio / Mio, par exemple 64K)";
  } else if (name == "access") {
    if (value != "readonly" && value != "readwrite") return "access attend readonly ou readwrite";
    config->read_only_access = value == "readonly";
  } else if (name == "ioerror" || name == "ioerrorop") {
    TInjectedErrno injected;
    if (!ParseInjectedErrno(value, name == "ioerrorop", &injected))
      return std::string(name) +
             (name == "ioerror" ? " attend LBA:ERRNO (LBA en décimal, par exemple 1000:EIO)"
                                : " attend OPCODE:ERRNO (code d'opération en hexadécimal, par exemple 2A:ENODEV)") +
             "\u00A0; codes\u00A0: EIO, ENODEV, ENXIO, EPERM, EACCES, EBUSY, ENOMEDIUM";
    (name == "ioerror" ? config->io_errors : config->opcode_errors).push_back(injected);
  } else if (name == "kerneltimeout") {
    uint8_t opcode = 0;
    if (!ParseNumber(value, 16, &opcode)) return "kerneltimeout attend un code d'opération en hexadécimal (par exemple 5B)";
    config->kernel_timeout = opcode;
  } else if (name == "spinup") {
    std::optional<std::chrono::milliseconds> duration;
    if (!ParseSeconds(value, &duration)) return "spinup attend une durée en secondes (par exemple 0.5 ou 0)";
    config->spin_up = *duration;
  } else if (name == "lenient" || name == "strict") {
    const bool taken = name == "lenient" ? ApplyLenient(value, &config->rules) : ApplyStrict(value, &config->rules);
    if (!taken)
      return std::string(name) + " attend " + (name == "lenient" ? "1, 0, " : "") + "all ou des noms de règles séparés par / (" +
             RuleNames() + ")";
  } else if (name == "timing") {
    if (value != "real" && value != "instant") return "timing attend real ou instant";
    config->real_timing = value == "real";
  } else if (name == "blank" || name == "fullblank" || name == "format" || name == "close" || name == "sync") {
    auto& duration = name == "blank"       ? config->blank_time
                     : name == "fullblank" ? config->full_blank_time
                     : name == "format"    ? config->format_time
                     : name == "close"     ? config->close_time
                                           : config->sync_time;
    if (!ParseSeconds(value, &duration)) return std::string(name) + " attend une durée en secondes (par exemple 5 ou 0.5)";
  } else if (name == "hang") {
    uint8_t opcode = 0;
    if (!ParseNumber(value, 16, &opcode)) return "hang attend un code d'opération en hexadécimal (par exemple 2A)";
    config->hang_opcode = opcode;
  } else {
    return "option inconnue «\u00A0" + std::string(name) +
           "\u00A0» (options\u00A0: model, writes, tray, disc, protected, notready, busy, faultat, opc, writeerror, removeat, "
           "hang, trace, speed, buffer, timing, blank, fullblank, format, close, sync, spinup, lenient, strict, "
           "ioerror, ioerrorop, kerneltimeout, access, maxtransfer)";
  }
  return {};
}

std::string ParseEntry(std::string_view entry, TDriveConfig* config) {
  const size_t colon = entry.find(':');
  if (colon == std::string_view::npos) return "TYPE:FICHIER-IMAGE attendu";
  const std::string_view kind = Trim(entry.substr(0, colon));
  const std::optional<TMediaKind> parsed = MediaKindFromName(kind);
  if (!parsed) return "type inconnu «\u00A0" + std::string(kind) + "\u00A0» (types\u00A0: " + MediaKindNames() + ")";
  config->kind = *parsed;

  const std::vector<std::string_view> fields = Split(entry.substr(colon + 1), ',');
  config->image_path = std::string(Trim(fields[0]));
  if (config->image_path.empty()) return "le nom du fichier image manque";
  for (size_t i = 1; i < fields.size(); ++i) {
    const std::string_view option = Trim(fields[i]);
    const size_t equals = option.find('=');
    if (equals == std::string_view::npos) return "l'option «\u00A0" + std::string(option) + "\u00A0» attend une valeur (nom=valeur)";
    std::string problem = ApplyOption(Trim(option.substr(0, equals)), Trim(option.substr(equals + 1)), config);
    if (!problem.empty()) return problem;
  }
  return {};
}

}  // namespace

std::optional<int> ErrnoFromName(std::string_view name) {
  for (const TErrnoName& entry : kErrnoNames)
    if (entry.name == name) return entry.error;
  return std::nullopt;
}

std::string_view ErrnoName(int error) {
  for (const TErrnoName& entry : kErrnoNames)
    if (entry.error == error) return entry.name;
  return {};
}

bool ParseDriveList(std::string_view list, std::vector<TDriveConfig>* configs, std::string* error) {
  configs->clear();
  std::vector<TDriveConfig> parsed;
  for (std::string_view entry : Split(list, ';')) {
    entry = Trim(entry);
    if (entry.empty()) continue;
    TDriveConfig config;
    std::string problem = ParseEntry(entry, &config);
    if (problem.empty() && parsed.size() == kMaxDrives)
      problem = "au plus " + std::to_string(kMaxDrives) + " graveurs émulés";
    if (!problem.empty()) {
      if (error)
        *error = "graveur émulé " + std::to_string(parsed.size() + 1) + " («\u00A0" + std::string(entry) + "\u00A0»)\u00A0: " + problem;
      return false;
    }
    parsed.push_back(std::move(config));
  }
  if (parsed.empty()) {
    if (error) *error = "aucun graveur émulé n'est décrit (TYPE:FICHIER-IMAGE[,option=valeur...] attendu)";
    return false;
  }
  *configs = std::move(parsed);
  return true;
}

}  // namespace zamo::emu
