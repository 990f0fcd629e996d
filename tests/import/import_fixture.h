// import_fixture.h: what the import and extraction tests share: discs on the
// emulated recorder (an image made by zamo-cli or a peer tool loaded as a
// CD-ROM, or a recordable disc written session by session through the
// component's own commands), small discs built byte by byte in memory, and
// the tree of a compilation read back as paths.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "burner/compilation/dir_record.h"
#include "burner/compilation/veskburner.h"
#include "burner/drive/transport.h"
#include "burner/import/session_reader.h"
#include "burner/platform/byte_order.h"
#include "burner/platform/call_queue.h"
#include "burner/platform/file_attributes.h"
#include "emulator/emulated_backend.h"
#include "tests/support/emulated_drive.h"
#include "tests/support/run.h"
#include "tests/support/temp_dir.h"

namespace zamo::test {

// ---- Images -------------------------------------------------------------------

enum class Maker { kZamo, kZamoNoJoliet, kGenisoimage, kGenisoimageNoJoliet, kXorriso };

inline const char* MakerName(Maker maker) {
  switch (maker) {
    case Maker::kZamo: return "zamo";
    case Maker::kZamoNoJoliet: return "zamo_no_joliet";
    case Maker::kGenisoimage: return "genisoimage";
    case Maker::kGenisoimageNoJoliet: return "genisoimage_no_joliet";
    case Maker::kXorriso: return "xorriso";
  }
  return "";
}

// Makes an image of `src` at `iso`; the tools' own output on failure.
inline std::string MakeImage(Maker maker, const std::string& src, const std::string& iso) {
  std::vector<std::string> argv;
  switch (maker) {
    case Maker::kZamo: argv = {ZamoCli(), "mkiso", "-o", iso, "--volume", "ESSAI", src + "/"}; break;
    case Maker::kZamoNoJoliet: argv = {ZamoCli(), "mkiso", "--no-joliet", "-o", iso, src + "/"}; break;
    case Maker::kGenisoimage: argv = {"genisoimage", "-quiet", "-J", "-r", "-input-charset", "utf-8", "-o", iso, src}; break;
    case Maker::kGenisoimageNoJoliet: argv = {"genisoimage", "-quiet", "-o", iso, src}; break;
    case Maker::kXorriso: argv = {"xorriso", "-as", "mkisofs", "-J", "-quiet", "-o", iso, src}; break;
  }
  argv.insert(argv.begin(), {"env", "LC_ALL=C.UTF-8"});
  const RunResult r = Run(argv);
  return r.status == 0 ? "" : r.out + r.err;
}

inline std::string Utf16Be(const std::string& ascii) {
  std::string out;
  for (char c : ascii) {
    out.push_back('\0');
    out.push_back(c);
  }
  return out;
}

// Offset of the only place `pattern` occurs in `bytes`; npos when not
// exactly once (a test that mutates a record must find the right one).
inline size_t FindOnce(const std::string& bytes, const std::string& pattern) {
  const size_t at = bytes.find(pattern);
  if (at == std::string::npos || bytes.find(pattern, at + 1) != std::string::npos) return std::string::npos;
  return at;
}

// The start of the Joliet directory record whose identifier is `id` (ASCII, ";1" included for a file).
inline size_t JolietRecordAt(const std::string& image, const std::string& id) {
  const std::string bytes = Utf16Be(id);
  const size_t at = FindOnce(image, static_cast<char>(bytes.size()) + bytes);
  return at == std::string::npos ? at : at - 32;
}

inline uint32_t Le32At(const std::string& bytes, size_t at) {
  return GetLe32(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), at);
}
inline void PutBoth32At(std::string& bytes, size_t at, uint32_t value) {
  PutBoth32(std::span(reinterpret_cast<uint8_t*>(bytes.data()), bytes.size()), at, value);
}

// ---- Discs built in memory --------------------------------------------------------

// A disc built sector by sector: descriptors and hand-made directory records,
// read back through SessionTreeReader without a drive.
class MiniDisc {
 public:
  explicit MiniDisc(uint32_t sectors = 64) : bytes_(size_t{sectors} * 2048, 0) {}

  // A primary (type 1) or Joliet (type 2) descriptor at `lba`.
  void Descriptor(uint32_t lba, uint8_t type, uint32_t root_lba, uint32_t root_length, uint32_t volume_size) {
    uint8_t* s = Sector(lba);
    s[0] = type;
    std::memcpy(s + 1, "CD001", 5);
    s[6] = 1;
    if (type == 2) {
      s[88] = 0x25;
      s[89] = 0x2F;
      s[90] = 0x45;
    }
    PutBoth32(Span(lba), 80, volume_size);
    Record(lba, 156, std::string(1, '\0'), root_lba, root_length, kFlagDirectory);
  }
  void Terminator(uint32_t lba) {
    uint8_t* s = Sector(lba);
    s[0] = 255;
    std::memcpy(s + 1, "CD001", 5);
    s[6] = 1;
  }
  // A record at byte `at` of sector `lba`; returns the byte after it.
  size_t Record(uint32_t lba, size_t at, const std::string& id, uint32_t extent, uint32_t size, uint8_t flags,
                RecordDate date = {107, 6, 15, 10, 30, 0, 4}) {
    return at + PutDirectoryRecord(Span(lba).subspan(at), {extent, size, date, flags, id});
  }
  // "." and ".." of a directory at `lba`: returns where the next record goes.
  size_t DotRecords(uint32_t lba, uint32_t length, uint32_t parent_lba) {
    const size_t at = Record(lba, 0, std::string(1, '\0'), lba, length, kFlagDirectory);
    return Record(lba, at, std::string(1, '\1'), parent_lba, 2048, kFlagDirectory);
  }
  // A Joliet session: descriptor at 16, terminator at 17, root at `root_lba`.
  void JolietSession(uint32_t root_lba = 20, uint32_t root_length = 2048) {
    Descriptor(16, 2, root_lba, root_length, Sectors());
    Terminator(17);
  }

  uint8_t* Sector(uint32_t lba) { return reinterpret_cast<uint8_t*>(bytes_.data()) + size_t{lba} * 2048; }
  std::span<uint8_t> Span(uint32_t lba) { return {Sector(lba), 2048}; }
  uint32_t Sectors() const { return static_cast<uint32_t>(bytes_.size() / 2048); }
  std::string& bytes() { return bytes_; }

  SectorReader Reader() {
    return [this](uint32_t lba, uint8_t* out) {
      if (lba >= Sectors()) return false;
      std::memcpy(out, Sector(lba), 2048);
      return true;
    };
  }

 private:
  std::string bytes_;
};

// ---- Trees --------------------------------------------------------------------------

// Every entry of a compilation as "a/b/" (folder) or "a/b/c.txt" -> size,
// with the names as the disc gives them.
inline std::map<std::string, int64_t> TreePaths(const TDEntry* dir, const std::string& prefix = "") {
  std::map<std::string, int64_t> out;
  for (const TFEntry* e = dir->FirstChild; e != nullptr; e = e->Next) {
    const std::string path = prefix + DiscName(*e);
    if (e->Attr & faDirectory) {
      out[path + "/"] = 0;
      if (e->Dir != nullptr) out.merge(TreePaths(e->Dir, path + "/"));
    } else {
      out[path] = e->IsoSize;
    }
  }
  return out;
}

// The same shape for a tree on disk (ReadTree's paths, file sizes).
inline std::map<std::string, int64_t> DiskPaths(const std::string& root) {
  std::map<std::string, int64_t> out;
  for (const auto& [path, content] : ReadTree(root)) out[path] = path.ends_with("/") ? 0 : static_cast<int64_t>(content.size());
  return out;
}

// Two trees as ReadTree gives them, compared without printing file bytes:
// a mismatch names the paths that differ, with their sizes.
inline ::testing::AssertionResult SameFiles(const std::map<std::string, std::string>& got,
                                            const std::map<std::string, std::string>& expected) {
  if (got == expected) return ::testing::AssertionSuccess();
  auto failure = ::testing::AssertionFailure();
  for (const auto& [path, content] : expected) {
    auto it = got.find(path);
    if (it == got.end()) {
      failure << "missing " << path << "; ";
    } else if (it->second != content) {
      failure << path << " differs (" << it->second.size() << " bytes, expected " << content.size() << "); ";
    }
  }
  for (const auto& [path, content] : got) {
    if (!expected.contains(path)) failure << "unexpected " << path << "; ";
  }
  return failure;
}

inline const TFEntry* FindPath(const TVeskBurner& b, const std::string& path) {
  const TDEntry* dir = b.RootDir;
  const TFEntry* found = nullptr;
  size_t at = 0;
  while (at < path.size()) {
    if (dir == nullptr) return nullptr;
    const size_t slash = path.find('/', at);
    const std::string part = path.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
    at = slash == std::string::npos ? path.size() : slash + 1;
    found = nullptr;
    for (const TFEntry* e = dir->FirstChild; e != nullptr && found == nullptr; e = e->Next) {
      if (DiscName(*e) == part) found = e;
    }
    if (found == nullptr) return nullptr;
    dir = found->Dir;
  }
  return found;
}

// ---- Reading discs built in memory ------------------------------------------------------

// Joliet identifier bytes of an ASCII name, for MiniDisc records.
inline std::string J(const std::string& name) { return Utf16Be(name); }

// A compilation that the session reader fills from a MiniDisc, its log
// captured: every line, and how many are compilation lines (type 4).
class MiniDiscTest : public ::testing::Test {
 protected:
  void SetUp() override {
    burner_.OnDebugMessage = [this](TObject*, const std::string& text, uint8_t type) {
      log_ += text + "\n";
      if (type == kMsgCompilation) ++compilation_lines_;
    };
    burner_.ClearCompilation(1000, 100);
  }

  // Reads the session at block 0 of disc_ into the root, within `limits`;
  // files whose data runs past `recorded_end` are `damaged` (marked or left out).
  SessionTreeReader::Tree Read(ImportLimits limits = {}, std::optional<uint32_t> recorded_end = std::nullopt,
                               DamagedFiles damaged = DamagedFiles::kMark) {
    SessionTreeReader reader(burner_, disc_.Reader(), limits);
    if (recorded_end) reader.SetRecordedEnd(*recorded_end, damaged);
    return reader.ReadSession(0, burner_.RootDir);
  }
  std::map<std::string, int64_t> Tree() { return TreePaths(burner_.RootDir); }

  MiniDisc disc_;
  TVeskBurner burner_{nullptr};
  std::string log_;
  int compilation_lines_ = 0;
};

// ---- The emulated recorder ------------------------------------------------------------

// A back end between the component and the emulated recorder that passes
// every request on; tests derive from it to watch or change some of them.
class PassThroughDrive : public TAspiBackEnd {
 public:
  explicit PassThroughDrive(std::unique_ptr<TAspiBackEnd> inner) : inner_(std::move(inner)) {}

  const char* TransportName() const override { return inner_->TransportName(); }
  uint32_t GetASPI32SupportInfo() override { return inner_->GetASPI32SupportInfo(); }
  uint32_t SendASPI32Command(void* srb) override { return inner_->SendASPI32Command(srb); }
  std::string DevicePath(uint8_t ha, uint8_t target, uint8_t lun) const override {
    return inner_->DevicePath(ha, target, lun);
  }
  void Finalize() override { inner_->Finalize(); }
  TDeviceAccess Access(uint8_t ha, uint8_t target, uint8_t lun) const override {
    return inner_->Access(ha, target, lun);
  }
  std::string BeginExclusive(uint8_t ha, uint8_t target, uint8_t lun) override {
    return inner_->BeginExclusive(ha, target, lun);
  }
  void EndExclusive(uint8_t ha, uint8_t target, uint8_t lun) override { inner_->EndExclusive(ha, target, lun); }

 private:
  std::unique_ptr<TAspiBackEnd> inner_;
};

class DiscTest : public ::testing::Test {
 protected:
  void SetUp() override {
    burner_.OnDebugMessage = [this](TObject*, const std::string& text, uint8_t type) {
      std::lock_guard lock(log_mutex_);
      log_ += text + "\n";
      if (type == kMsgCompilation) compilation_lines_ += text + "\n";
    };
    burner_.LogCommandErrors = false;
    burner_.Sleep = [](int) {};  // the readiness waits are bounds, not needed here
  }
  void TearDown() override {
    transport::AspiUnload();
  }

  // Loads a drive of `kind` holding `image` (an ISO file for cd-rom).
  void Load(const std::string& kind, const std::string& image, const std::string& options = "") {
    ASSERT_TRUE(UseEmulatedDrives(burner_, kind + ":" + image + options));
  }

  // Loads the emulated drive `emulation` ("kind:image", as --emulate takes
  // it) behind a `Drive` (a PassThroughDrive) and selects it; `drive` is left
  // pointing at it (the transport owns it).
  template <typename Drive>
  void LoadBehind(const std::string& emulation, Drive*& drive) {
    std::string error;
    auto emulated = emu::CreateEmulatedBackEnd(emulation, &error);
    ASSERT_NE(emulated, nullptr) << error;
    auto wrapper = std::make_unique<Drive>(std::move(emulated));
    drive = wrapper.get();
    transport::Install(std::move(wrapper));
    burner_.HostAdapterInquiry(0);
    burner_.ScanDevices();
    ASSERT_EQ(burner_.Devices.size(), 1u);
    burner_.SelectDevice(burner_.Devices[0]);
  }

  // Records the files of `src` as the disc's next session with the burn job
  // (the writer thread), importing session `import` (0: none), and waits for
  // its end (a minute at most): the job must succeed.
  void BurnAsSession(const std::string& src, uint16_t import) {
    CallQueue queue;
    burner_.Dispatcher = [&queue](std::function<void()> call) { queue.Post(std::move(call)); };
    int done = 0;
    std::string error;
    burner_.OnWriteDone = [&](TObject*, const std::string& text) {
      ++done;
      error = text;
    };
    ASSERT_TRUE(burner_.ClearCompilation(1000, 100));
    burner_.SessionToImport = import;
    ASSERT_GT(burner_.AddFolder("\\", src + "/", false, false, true, faAnyFile, "*"), 0);
    const bool started = burner_.RecordCompilation() == 1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (started && done == 0 && std::chrono::steady_clock::now() < deadline) {
      queue.RunFor(std::chrono::milliseconds(20));
    }
    burner_.Dispatcher = nullptr;
    burner_.OnWriteDone = nullptr;
    ASSERT_TRUE(started) << error << Log();
    ASSERT_EQ(done, 1);
    ASSERT_EQ(error, "") << Log();
  }

  // Writes the compilation, laid out for the disc in the drive, as its next
  // session with the component's own commands (track at once, the session
  // left open for another one), and closes the session.
  void RecordSession() {
    burner_.WritingToDisc = true;
    burner_.LayoutImage(false, nullptr);
    burner_.BuildImageHeader(false, nullptr);
    burner_.WritingToDisc = false;
    const int64_t sectors = std::max<int64_t>(burner_.SessionSectors, kMinimumSessionSectors);
    std::string session(static_cast<size_t>(sectors) * 2048, '\0');
    const auto head = burner_.ImageStream.Memory();
    std::memcpy(session.data(), head.data(), head.size());
    for (const TFEntry* e : burner_.FileEntries()) {
      if ((e->Attr & faDirectory) || e->Imported || e->IsoSize == 0) continue;
      const std::string data = ReadFile(e->SourcePath());
      const int64_t at = (int64_t{burner_.FirstFileLba} + e->IsoExtent - burner_.SessionStart) * 2048;
      ASSERT_LE(at + static_cast<int64_t>(data.size()), static_cast<int64_t>(session.size()));
      std::memcpy(session.data() + at, data.data(), data.size());
    }
    const TDiscFinalize finalize = DiscFinalizeIf(burner_.FinalizeDisc);
    ASSERT_TRUE(burner_.SetWriteParameters(false, true, false, burner_.GetDiscType(), finalize)) << burner_.LastError;
    constexpr int64_t kChunk = 27;
    for (int64_t s = 0; s < sectors; s += kChunk) {
      const auto n = static_cast<uint16_t>(std::min(kChunk, sectors - s));
      ASSERT_TRUE(burner_.Write10(static_cast<uint32_t>(burner_.SessionStart + s), n,
                                  reinterpret_cast<const uint8_t*>(session.data()) + s * 2048, n * 2048u, kFlagsOut))
          << "sector " << burner_.SessionStart + s << ": " << burner_.LastError;
    }
    ASSERT_TRUE(burner_.SynchronizeCache(60000, false)) << burner_.LastError;
    ASSERT_TRUE(burner_.CloseSessionOrTrack(false, false, false)) << burner_.LastError;
  }

  // Extracts every file and folder of `dir` below `dest` through ExtractFile.
  void ExtractAll(const TDEntry* dir, const std::string& dest) {
    ASSERT_EQ(mkdir(dest.c_str(), 0777) == 0 || errno == EEXIST, true) << dest;
    for (const TFEntry* e = dir->FirstChild; e != nullptr; e = e->Next) {
      const std::string path = dest + "/" + DiscName(*e);
      if (e->Attr & faDirectory) {
        ExtractAll(e->Dir, path);
      } else {
        ASSERT_TRUE(burner_.ExtractFile(e, path)) << burner_.ExtractError;
      }
    }
  }

  std::string Log() {
    std::lock_guard lock(log_mutex_);
    return log_;
  }
  std::string CompilationLines() {
    std::lock_guard lock(log_mutex_);
    return compilation_lines_;
  }
  void ClearLog() {
    std::lock_guard lock(log_mutex_);
    log_.clear();
    compilation_lines_.clear();
  }

  TempDir dir_;
  TVeskBurner burner_{nullptr};
  std::mutex log_mutex_;
  std::string log_;
  std::string compilation_lines_;
};

}  // namespace zamo::test
