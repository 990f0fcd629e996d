// pipeline_test.cpp: the threaded image save of `zamo-cli mkiso` (a cache
// thread reading ahead, a writer thread writing), the default save, checked
// end to end through the binary:
//  - its bytes against the one-pass save (`--quick`): the same volume, the
//    threaded image padded with zeros to 300 sectors when it is smaller;
//    reproducible with SOURCE_DATE_EPOCH, whatever the cache size;
//  - `--print-size` against the files written;
//  - what happens to a job while it runs: Ctrl-C and SIGTERM, a disk or a
//    file-size limit that runs out, a source file that vanishes or shrinks,
//    and the progress line on a terminal;
//  - its memory: the cache, a window of the image head and the tree, never
//    the whole head.
//
// The jobs are fast (hundreds of MB/s), so a test that must act while a job
// runs does not race it: it waits until the image file has started to grow,
// stops the whole process with SIGSTOP, checks that the job is really half
// way (the image is far from complete), acts, then lets it go on (SIGCONT).
// The cache runs at most its block count ahead of the file written (blocks
// of 64 KiB, or spans of up to 1 MiB of a file of 1 MiB or more), so what
// the test changes beyond that has not been read yet.
#include <errno.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <ostream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/background.h"
#include "tests/support/peer_tools.h"
#include "tests/support/run.h"
#include "tests/support/temp_dir.h"

namespace zamo::test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr int64_t kSector = 2048;
constexpr int64_t kMinimumImageBytes = 300 * kSector;
constexpr int64_t kMiB = 1 << 20;
constexpr int64_t kEpoch = 1700000000;
constexpr const char* kAbortedText = "OPÉRATION TERMINÉE PAR L'USAGER";

using Clock = std::chrono::steady_clock;
// Relative path -> content, for MakeTree.
using Tree = std::vector<std::pair<std::string, std::string>>;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::string EpochSetting(int64_t seconds) { return "SOURCE_DATE_EPOCH=" + std::to_string(seconds); }

// The command line of `zamo-cli mkiso ARGS...` in a UTF-8 locale, in UTC,
// with SOURCE_DATE_EPOCH only when `env` sets it.
std::vector<std::string> MkisoCommand(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
  std::vector<std::string> argv = {"env", "-u", "SOURCE_DATE_EPOCH", "LC_ALL=C.UTF-8", "TZ=UTC0"};
  argv.insert(argv.end(), env.begin(), env.end());
  argv.push_back(ZamoCli());
  argv.push_back("mkiso");
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

RunResult Mkiso(const std::vector<std::string>& args, const std::vector<std::string>& env = {}, int timeout = 60) {
  return Run(MkisoCommand(args, env), timeout);
}

// The sector count `--print-size` prints, or -1.
int64_t PrintedSize(const RunResult& r) {
  std::istringstream in(r.out);
  int64_t value = -1;
  std::string rest;
  if (r.status != 0 || !(in >> value) || (in >> rest)) return -1;
  return value;
}

int64_t FileSize(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

std::vector<std::string> Listing(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Where two byte strings first differ, or "" when they are equal (large
// strings are never printed whole).
std::string FirstDifference(const std::string& a, const std::string& b) {
  const size_t common = std::min(a.size(), b.size());
  size_t i = 0;
  while (i < common && a[i] == b[i]) ++i;
  if (i == common && a.size() == b.size()) return "";
  std::ostringstream out;
  out << "sizes " << a.size() << " and " << b.size() << ", first difference at byte " << i << " (sector " << i / kSector
      << ")";
  return out.str();
}

bool AllZero(const std::string& bytes, size_t from) {
  return std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(std::min(from, bytes.size())), bytes.end(),
                     [](char c) { return c == '\0'; });
}

// Writes `bytes` of data that differs from one MiB to the next, quickly.
void WriteLargeFile(const std::string& path, int64_t bytes, uint32_t seed) {
  fs::create_directories(fs::path(path).parent_path());
  std::string chunk = Bytes(kMiB, seed);
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot create " + path);
  for (int64_t at = 0, index = 0; at < bytes; at += kMiB, ++index) {
    std::memcpy(chunk.data(), &index, sizeof index);
    const auto n = static_cast<size_t>(std::min<int64_t>(kMiB, bytes - at));
    if (write(fd, chunk.data(), n) != static_cast<ssize_t>(n)) {
      close(fd);
      throw std::runtime_error("cannot write " + path);
    }
  }
  close(fd);
}

// ---------------------------------------------------------------------------
// A zamo-cli job in the background (tests/support/background.h), for the
// tests that act on it while it runs.

// The job's resident memory, in bytes (0 once it has gone).
int64_t ResidentBytes(const Background& job) {
  std::istringstream in(ReadFile("/proc/" + std::to_string(job.pid()) + "/statm"));
  int64_t total = 0, resident = 0;
  if (!(in >> total >> resident)) return 0;
  return resident * sysconf(_SC_PAGESIZE);
}

// Waits (polling, bounded) until `image` holds at least `min_bytes` while
// the job runs; false when the job ended first or the wait timed out.
bool WaitForImage(Background& job, const std::string& image, int64_t min_bytes, int64_t timeout_ms = 20000) {
  const auto start = Clock::now();
  while (MsSince(start) < timeout_ms) {
    if (FileSize(image) >= min_bytes) return true;
    if (job.Poll()) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return false;
}

// Starts `zamo-cli mkiso ARGS` writing `image` and holds it (SIGSTOP) once
// the image has begun to grow, while less than `max_bytes` of it is written.
// A job that outran the test is run again, up to three times; nullptr then.
std::unique_ptr<Background> StartHeld(const std::vector<std::string>& args, const std::string& image,
                                      int64_t max_bytes, const std::string& log_dir, std::string& log,
                                      const BackgroundOptions& options = {}) {
  for (int attempt = 1; attempt <= 3; ++attempt) {
    fs::remove(image);
    auto job = std::make_unique<Background>(MkisoCommand(args), log_dir + "/job", options);
    if (!job->started()) {
      log += "cannot start zamo-cli\n";
      return nullptr;
    }
    if (WaitForImage(*job, image, 1) && job->Hold()) {
      const int64_t size = FileSize(image);
      if (size > 0 && size < max_bytes) return job;
      log += "attempt " + std::to_string(attempt) + ": held with " + std::to_string(size) + " bytes written\n";
      job->Resume();
    } else {
      log += "attempt " + std::to_string(attempt) + ": not held\n";
    }
    job->Wait(30000);
    log += job->Describe() + "\n";
  }
  return nullptr;
}

// Folders of large files, made once for the whole run: the signal and
// timing tests need jobs that last, and writing the data is what costs.
constexpr int64_t kLargeFileBytes = 64 * kMiB;
constexpr int kLargeFileCount = 3;

const std::string& LargeTree() {
  static TempDir dir;  // removed when the process ends
  static const std::string path = [] {
    for (int i = 0; i < kLargeFileCount; ++i) {
      WriteLargeFile(dir / ("large/part" + std::to_string(i) + ".bin"), kLargeFileBytes, static_cast<uint32_t>(i + 1));
    }
    return dir / "large";
  }();
  return path;
}

// The same amount of data in files under a megabyte: the threaded save reads
// them into its cache (a larger file goes to the writer as spans of its
// source, which take no memory).
constexpr int64_t kMediumFileBytes = 768 * 1024;
constexpr int kMediumFileCount = 256;

const std::string& MediumTree() {
  static TempDir dir;
  static const std::string path = [] {
    for (int i = 0; i < kMediumFileCount; ++i) {
      WriteLargeFile(dir / ("medium/part" + std::to_string(i) + ".bin"), kMediumFileBytes, static_cast<uint32_t>(i + 1));
    }
    return dir / "medium";
  }();
  return path;
}

// ---------------------------------------------------------------------------
// Threaded save against the quick save.

struct SaveCase {
  const char* name;
  bool large;        // more than 300 sectors
  const char* boot;  // "", "disk" (hard-disk emulation) or "floppy"
  bool joliet;
};

void PrintTo(const SaveCase& c, std::ostream* os) { *os << c.name; }

class PipelineBytes : public ::testing::TestWithParam<SaveCase> {
 protected:
  void SetUp() override {
    const SaveCase& c = GetParam();
    Tree tree = {{"empty.dat", ""},
                 {"one.txt", "1"},
                 {"sector.bin", Bytes(2048, 2)},
                 {"sector plus one.bin", Bytes(2049, 3)},
                 {"sub/deeper/note.txt", "a note"}};
    if (c.large) {
      tree.emplace_back("sub/three MiB and one.bin", Bytes(3 * kMiB + 1, 4));
      tree.emplace_back("sub/deeper/five MB.bin", Bytes(5000000, 5));
      tree.emplace_back("z last.bin", Bytes(70000, 6));
    }
    MakeTree(dir_ / "src", tree);
    options_.clear();
    if (std::string(c.boot) == "disk") {
      WriteFile(dir_ / "boot.img", Bytes(5000, 7));  // not a whole number of sectors
      options_ = {"--boot", dir_ / "boot.img"};
    } else if (std::string(c.boot) == "floppy") {
      WriteFile(dir_ / "boot.img", Bytes(1474560, 8));  // 1.44 MB diskette
      options_ = {"--boot", dir_ / "boot.img"};
    }
    if (!c.joliet) options_.push_back("--no-joliet");
  }

  std::vector<std::string> Args(std::vector<std::string> head) const {
    head.insert(head.end(), options_.begin(), options_.end());
    head.push_back(dir_ / "src");
    return head;
  }

  TempDir dir_;
  std::vector<std::string> options_;
};

// `threaded` must be `quick` followed by zeros up to 300 sectors, or equal
// to it when it has 300 sectors or more; "" when it is.
std::string PaddingMismatch(const std::string& threaded, const std::string& quick) {
  if (quick.empty() || quick.size() % kSector != 0) return "quick image of " + std::to_string(quick.size()) + " bytes";
  if (static_cast<int64_t>(quick.size()) >= kMinimumImageBytes) return FirstDifference(threaded, quick);
  if (static_cast<int64_t>(threaded.size()) != kMinimumImageBytes) {
    return "threaded image of " + std::to_string(threaded.size()) + " bytes, expected 614400";
  }
  const std::string head = FirstDifference(threaded.substr(0, quick.size()), quick);
  if (!head.empty()) return "volume: " + head;
  if (!AllZero(threaded, quick.size())) return "padding after byte " + std::to_string(quick.size()) + " is not zero";
  return "";
}

TEST_P(PipelineBytes, ThreadedImageIsTheQuickImagePaddedTo300Sectors) {
  const std::vector<std::string> epoch = {EpochSetting(kEpoch)};
  const RunResult threaded = Mkiso(Args({"-o", dir_ / "threaded.iso"}), epoch);
  ASSERT_EQ(threaded.status, 0) << Describe(threaded);
  const RunResult quick = Mkiso(Args({"--quick", "-o", dir_ / "quick.iso"}), epoch);
  ASSERT_EQ(quick.status, 0) << Describe(quick);
  const std::string a = ReadFile(dir_ / "threaded.iso");
  const std::string b = ReadFile(dir_ / "quick.iso");
  EXPECT_EQ(PaddingMismatch(a, b), "");
  EXPECT_EQ(static_cast<int64_t>(b.size()) >= kMinimumImageBytes, GetParam().large) << b.size() << " bytes";
}

TEST_P(PipelineBytes, PrintSizeIsTheSizeOfTheFileWritten) {
  const RunResult threaded_size = Mkiso(Args({"--print-size"}));
  const RunResult quick_size = Mkiso(Args({"--print-size", "--quick"}));
  ASSERT_GT(PrintedSize(threaded_size), 0) << Describe(threaded_size);
  ASSERT_GT(PrintedSize(quick_size), 0) << Describe(quick_size);
  ASSERT_EQ(Mkiso(Args({"-o", dir_ / "threaded.iso"})).status, 0);
  ASSERT_EQ(Mkiso(Args({"--quick", "-o", dir_ / "quick.iso"})).status, 0);
  const int64_t quick_bytes = FileSize(dir_ / "quick.iso");
  EXPECT_EQ(PrintedSize(quick_size) * kSector, quick_bytes);
  EXPECT_EQ(PrintedSize(threaded_size) * kSector, FileSize(dir_ / "threaded.iso"));
  EXPECT_EQ(PrintedSize(threaded_size), std::max<int64_t>(quick_bytes / kSector, 300));
}

INSTANTIATE_TEST_SUITE_P(
    PipelineTrees, PipelineBytes,
    ::testing::Values(SaveCase{"Small", false, "", true}, SaveCase{"SmallBootableHardDisk", false, "disk", true},
                      SaveCase{"SmallWithoutJoliet", false, "", false}, SaveCase{"Large", true, "", true},
                      SaveCase{"LargeBootableDiskette", true, "floppy", true},
                      SaveCase{"LargeBootableHardDisk", true, "disk", false}),
    [](const ::testing::TestParamInfo<SaveCase>& param_info) { return std::string(param_info.param.name); });

// Volumes of 299, 300 and 301 sectors: only the first is padded.
TEST(PipelineBytesAt300Sectors, OnlyAVolumeBelow300SectorsIsPadded) {
  TempDir dir;
  MakeTree(dir / "src", {{"a.txt", "a"}, {"sub/b.txt", "b"}});
  WriteFile(dir / "src/fill.bin", Bytes(kSector, 1));
  const RunResult base = Mkiso({"--print-size", "--quick", dir / "src"});
  ASSERT_GT(PrintedSize(base), 0) << Describe(base);
  ASSERT_LT(PrintedSize(base), 299) << "the base tree is already too large";
  for (int64_t target : {299, 300, 301}) {
    SCOPED_TRACE("volume of " + std::to_string(target) + " sectors");
    // fill.bin's size changes only its own sector count.
    WriteFile(dir / "src/fill.bin", Bytes(static_cast<size_t>((1 + target - PrintedSize(base)) * kSector - 100), 1));
    ASSERT_EQ(PrintedSize(Mkiso({"--print-size", "--quick", dir / "src"})), target);
    const std::vector<std::string> epoch = {EpochSetting(kEpoch)};
    const RunResult threaded = Mkiso({"-o", dir / "t.iso", dir / "src"}, epoch);
    ASSERT_EQ(threaded.status, 0) << Describe(threaded);
    ASSERT_EQ(Mkiso({"--quick", "-o", dir / "q.iso", dir / "src"}, epoch).status, 0);
    const std::string a = ReadFile(dir / "t.iso");
    const std::string b = ReadFile(dir / "q.iso");
    EXPECT_EQ(static_cast<int64_t>(b.size()), target * kSector);
    EXPECT_EQ(static_cast<int64_t>(a.size()), std::max<int64_t>(target, 300) * kSector);
    EXPECT_EQ(PaddingMismatch(a, b), "");
    EXPECT_EQ(PrintedSize(Mkiso({"--print-size", dir / "src"})) * kSector, static_cast<int64_t>(a.size()));
  }
}

// ---------------------------------------------------------------------------
// Reproducibility.

// The volume creation date of the primary volume descriptor (sector 16):
// its digits to the second, and its offset from UTC in quarter hours.
std::string CreationDate(const std::string& image) {
  constexpr size_t kAt = 16 * kSector + 813;
  if (image.size() < kAt + 17) return "";
  return image.substr(kAt, 14) + " " + std::to_string(static_cast<int8_t>(image[kAt + 16]));
}

std::string DateDigits(time_t seconds) {
  tm parts{};
  gmtime_r(&seconds, &parts);
  char text[32];
  strftime(text, sizeof text, "%Y%m%d%H%M%S", &parts);
  return std::string(text) + " 0";
}

class PipelineReproducible : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeTree(dir_ / "src",
             {{"a.txt", "alpha"}, {"b/c.bin", Bytes(700001, 1)}, {"b/d/e.txt", ""}, {"f.bin", Bytes(2049, 2)}});
  }
  std::string Save(const std::string& name, const std::vector<std::string>& env,
                   const std::vector<std::string>& options = {}) {
    std::vector<std::string> args = options;
    args.insert(args.end(), {"-o", dir_ / name, dir_ / "src"});
    const RunResult r = Mkiso(args, env);
    EXPECT_EQ(r.status, 0) << Describe(r);
    return ReadFile(dir_ / name);
  }
  TempDir dir_;
};

TEST_F(PipelineReproducible, SameEpochGivesTheSameBytesInAnotherSecond) {
  const std::string first = Save("1.iso", {EpochSetting(kEpoch)});
  // Without the epoch the clock would give the next run other dates.
  const time_t then = time(nullptr);
  for (int i = 0; i < 150 && time(nullptr) == then; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_NE(time(nullptr), then);
  const std::string second = Save("2.iso", {EpochSetting(kEpoch)});
  EXPECT_EQ(FirstDifference(first, second), "");
  EXPECT_EQ(CreationDate(first), DateDigits(kEpoch));
  // Another epoch: other dates, the same size.
  const std::string other = Save("3.iso", {EpochSetting(kEpoch + 86400 * 400 + 3661)});
  EXPECT_NE(FirstDifference(first, other), "");
  EXPECT_EQ(first.size(), other.size());
  EXPECT_EQ(CreationDate(other), DateDigits(kEpoch + 86400 * 400 + 3661));
}

TEST_F(PipelineReproducible, CacheSizeDoesNotChangeTheBytes) {
  // A tree several times the smallest cache, so that the cache fills,
  // waits and is refilled many times.
  for (int i = 0; i < 6; ++i) {
    WriteFile(dir_ / ("src/big/" + std::to_string(i) + ".bin"), Bytes(static_cast<size_t>(2 * kMiB + 999 * i), 10 + i));
  }
  const std::vector<std::string> epoch = {EpochSetting(kEpoch)};
  const std::string by_default = Save("default.iso", epoch);
  ASSERT_GT(by_default.size(), static_cast<size_t>(12 * kMiB));
  for (const char* mib : {"2", "3", "64", "2047"}) {
    SCOPED_TRACE(std::string("--cache-size ") + mib);
    const std::string other = Save(std::string("cache") + mib + ".iso", epoch, {"--cache-size", mib});
    EXPECT_EQ(FirstDifference(by_default, other), "");
  }
  const std::string quick = Save("quick.iso", epoch, {"--quick"});
  EXPECT_EQ(FirstDifference(by_default, quick), "");
}

TEST_F(PipelineReproducible, WithoutEpochTheClockGivesTheDates) {
  REQUIRE_TOOLS("bsdtar");
  // An unusable SOURCE_DATE_EPOCH is the same as none.
  for (const std::vector<std::string>& env :
       {std::vector<std::string>{}, std::vector<std::string>{"SOURCE_DATE_EPOCH=soon"},
        std::vector<std::string>{"SOURCE_DATE_EPOCH="}}) {
    SCOPED_TRACE(env.empty() ? std::string("no SOURCE_DATE_EPOCH") : env[0]);
    const time_t before = time(nullptr);
    const std::string image = Save("now.iso", env);
    const time_t after = time(nullptr);
    ASSERT_EQ(image.size() % kSector, 0u);
    const std::string date = CreationDate(image);
    EXPECT_TRUE(date >= DateDigits(before) && date <= DateDigits(after))
        << date << " not between " << DateDigits(before) << " and " << DateDigits(after);
    fs::remove_all(dir_ / "x");
    fs::create_directories(dir_ / "x");
    const RunResult x = zamo::test::Run({"bsdtar", "-x", "-f", dir_ / "now.iso", "-C", dir_ / "x"}, 60);
    ASSERT_EQ(x.status, 0) << Describe(x);
    EXPECT_TRUE(ReadTree(dir_ / "x") == ReadTree(dir_ / "src")) << "the image does not hold the tree";
  }
}

// ---------------------------------------------------------------------------
// Read back by independent readers.

TEST(PipelineReadBack, ReadersUnpackTheTreeByteForByte) {
  TempDir dir;
  Tree tree = {{"Documents/Lettre à Élodie.txt", "Chère Élodie,\n"},
               {"Documents/rapport 2023 (final).pdf", Bytes(123457, 1)},
               {"Documents/vide.txt", ""},
               {"Photos/été/plage.jpg", Bytes(2 * kMiB + 17, 2)},
               {"Photos/été/coucher de soleil.jpg", Bytes(1536001, 3)},
               {"Photos/hiver/neige.png", Bytes(2048, 4)},
               {"Musique/Album/01 - Ouverture.flac", Bytes(4 * kMiB - 1, 5)},
               {"Musique/Album/02 - Finale.flac", Bytes(2049, 6)},
               {"notes.md", "# Notes\n"},
               {"a/b/c/d/e/f/profond.txt", "deep"}};
  for (int i = 0; i < 40; ++i) tree.emplace_back("Divers/fichier " + std::to_string(i) + ".dat", Bytes(i * 97, 10 + i));
  MakeTree(dir / "src", tree);
  const RunResult r = Mkiso({"--volume", "Sauvegarde", "-o", dir / "r.iso", dir / "src"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  const auto expected = ReadTree(dir / "src");
  int readers = 0;
  for (const char* reader : {"7z", "bsdtar"}) {
    if (!HaveProgram(reader)) continue;
    ++readers;
    const Extraction x = Extract(reader, dir / "r.iso", dir / (std::string("x-") + reader));
    ASSERT_TRUE(x.ok) << x.log;
    EXPECT_TRUE(SameTree(x.tree, expected)) << reader;
  }
  if (readers == 0) GTEST_SKIP() << "neither 7z nor bsdtar is installed";
}

// ---------------------------------------------------------------------------
// --cache-size.

// Each is a usage error (status 2) that writes nothing and names the option.
void ExpectCacheSizeRefused(const std::vector<std::vector<std::string>>& cases, const std::string& out) {
  for (const auto& args : cases) {
    std::string shown;
    for (const std::string& a : args) shown += "'" + a + "' ";
    const RunResult r = Mkiso(args);
    EXPECT_EQ(r.status, 2) << shown << "\n" << Describe(r);
    EXPECT_THAT(r.err, HasSubstr("--cache-size")) << shown;
    EXPECT_FALSE(PathExists(out)) << shown;
    fs::remove(out);
  }
}

TEST(PipelineCacheSize, MissingOrMalformedValuesAreUsageErrors) {
  TempDir dir;
  MakeTree(dir / "src", {{"a.txt", "a"}});
  const std::string out = dir / "o.iso";
  ExpectCacheSizeRefused({{"--cache-size", "0", "-o", out, dir / "src"},
                          {"--cache-size", "abc", "-o", out, dir / "src"},
                          {"--cache-size", "", "-o", out, dir / "src"},
                          {"--cache-size", "4x", "-o", out, dir / "src"},
                          {"--cache-size", "-4", "-o", out, dir / "src"},
                          {"--cache-size", "2048", "-o", out, dir / "src"},
                          {"--cache-size", "99999999999999999999", "-o", out, dir / "src"},
                          {"-o", out, dir / "src", "--cache-size"}},  // no value
                         out);
}

// The help and the error message both give 2 MiB as the smallest cache.
TEST(PipelineCacheSize, OneMibIsBelowTheMinimum) {
  TempDir dir;
  MakeTree(dir / "src", {{"a.txt", "a"}});
  ExpectCacheSizeRefused({{"--cache-size", "1", "-o", dir / "o.iso", dir / "src"}}, dir / "o.iso");
}

// ---------------------------------------------------------------------------
// Ctrl-C and SIGTERM.

class PipelineInterrupt : public ::testing::TestWithParam<int> {};

TEST_P(PipelineInterrupt, StopsTheJobAndRemovesThePartialImage) {
  const int sig = GetParam();
  TempDir dir;
  fs::create_directories(dir / "out");
  const std::string image = dir / "out/x.iso";
  const int64_t total = kLargeFileCount * kLargeFileBytes;
  std::string log;
  auto job = StartHeld({"-o", image, LargeTree()}, image, total / 2, dir.path(), log);
  ASSERT_NE(job, nullptr) << "the job could not be caught running\n" << log;
  job->Signal(sig);
  const auto resumed = Clock::now();
  job->Resume();
  ASSERT_TRUE(job->Wait(10000)) << "still running 10 s after the signal";
  EXPECT_LT(MsSince(resumed), 3000) << "the job took long to stop";
  EXPECT_EQ(job->exit_status(), 1) << job->Describe();
  EXPECT_THAT(job->Err(), HasSubstr("Arrêt demandé\u00A0: fin de l'écriture en cours, puis suppression du fichier "
                                    "image partiel.\n"))
      << job->Describe();
  EXPECT_THAT(job->Err(), HasSubstr(kAbortedText)) << job->Describe();
  EXPECT_THAT(job->Err(), Not(HasSubstr("SUCCÈS")));
  EXPECT_FALSE(PathExists(image)) << "the partial image is left";
  EXPECT_EQ(Listing(dir / "out"), std::vector<std::string>{});
}

// With a cache larger than the tree, the whole tree (files under a megabyte)
// is read into memory before the image file is created. The job is held while the cache fills
// (half the tree resident, no image yet): the signal lands before the
// writer starts, and must stop the job all the same.
TEST_P(PipelineInterrupt, StopsTheJobWhileTheCacheFillsBeforeTheImageIsCreated) {
  const int sig = GetParam();
  TempDir dir;
  const std::string image = dir / "x.iso";
  const int64_t total = kMediumFileCount * kMediumFileBytes;
  std::string log;
  std::unique_ptr<Background> job;
  for (int attempt = 1; attempt <= 5 && job == nullptr; ++attempt) {
    fs::remove(image);
    auto candidate =
        std::make_unique<Background>(MkisoCommand({"--cache-size", "1024", "-o", image, MediumTree()}), dir / "job");
    ASSERT_TRUE(candidate->started());
    int64_t resident = -1;
    const auto start = Clock::now();
    while (MsSince(start) < 20000 && !candidate->Poll() && !PathExists(image)) {
      resident = ResidentBytes(*candidate);
      if (resident >= total / 2) {
        if (candidate->Hold() && !PathExists(image)) job = std::move(candidate);
        break;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (job == nullptr) {
      log += "attempt " + std::to_string(attempt) + ": not caught while the cache filled (" +
             std::to_string(resident) + " bytes resident" + (PathExists(image) ? ", image created" : "") + ")\n";
      candidate->Resume();
      candidate->Wait(30000);
    }
  }
  ASSERT_NE(job, nullptr) << log;
  job->Signal(sig);
  const auto resumed = Clock::now();
  job->Resume();
  ASSERT_TRUE(job->Wait(10000)) << "still running 10 s after the signal";
  EXPECT_LT(MsSince(resumed), 3000) << "the job took long to stop";
  EXPECT_EQ(job->exit_status(), 1) << "the signal came before the image file was created\n" << job->Describe();
  EXPECT_THAT(job->Err(), HasSubstr(kAbortedText)) << job->Describe();
  EXPECT_FALSE(PathExists(image)) << "an image of " << FileSize(image) << " bytes is left";
}

INSTANTIATE_TEST_SUITE_P(PipelineSignals, PipelineInterrupt, ::testing::Values(SIGINT, SIGTERM),
                         [](const ::testing::TestParamInfo<int>& param_info) {
                           return std::string(param_info.param == SIGINT ? "Sigint" : "Sigterm");
                         });

// ---------------------------------------------------------------------------
// No room for the image.

// A tmpfs of `size` mounted on `folder` for the test's duration (root only).
class TmpfsMount {
 public:
  TmpfsMount(const std::string& folder, const std::string& size) : folder_(folder) {
    fs::create_directories(folder);
    const RunResult r = Run({"mount", "-t", "tmpfs", "-o", "size=" + size, "tmpfs", folder}, 20);
    mounted_ = r.status == 0;
    why_ = Describe(r);
  }
  ~TmpfsMount() {
    if (mounted_ && Run({"umount", folder_}, 20).status != 0) Run({"umount", "-l", folder_}, 20);
  }
  TmpfsMount(const TmpfsMount&) = delete;
  TmpfsMount& operator=(const TmpfsMount&) = delete;
  bool mounted() const { return mounted_; }
  const std::string& why() const { return why_; }

 private:
  std::string folder_;
  bool mounted_ = false;
  std::string why_;
};

class PipelineNoRoom : public ::testing::Test {
 protected:
  void ExpectCleanFailure(const std::string& err, int status, const std::string& image, const std::string& folder) {
    EXPECT_EQ(status, 1) << err;
    EXPECT_THAT(err, ::testing::ContainsRegex("ESPACE DISQUE INSUFFISANT|ERREUR D'ÉCRITURE")) << err;
    EXPECT_THAT(err, HasSubstr("\"" + image + "\"")) << "the message names the image";
    EXPECT_THAT(err, Not(HasSubstr("SUCCÈS")));
    EXPECT_FALSE(PathExists(image)) << "a partial image of " << FileSize(image) << " bytes is left";
    EXPECT_EQ(Listing(folder), std::vector<std::string>{});
  }
  TempDir dir_;  // declared first: the mount goes before the folder
};

TEST_F(PipelineNoRoom, FullDiskFailsTheJobAndRemovesTheImage) {
  MakeTree(dir_ / "src", {{"a.txt", "a"}, {"b.bin", Bytes(3 * kMiB, 1)}, {"c.bin", Bytes(100000, 2)}});
  TmpfsMount mount(dir_ / "small", "2m");
  if (!mount.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here\n" << mount.why();
  const std::string image = dir_ / "small/full.iso";
  const RunResult r = Mkiso({"-o", image, dir_ / "src"});
  ExpectCleanFailure(r.err, r.status, image, dir_ / "small");
  // The same place takes an image that fits.
  const RunResult fits = Mkiso({"-o", image, dir_ / "src/c.bin"});
  EXPECT_EQ(fits.status, 0) << Describe(fits);
  EXPECT_EQ(FileSize(image), kMinimumImageBytes);
}

// The volume fits in the tmpfs, its padding to 300 sectors would not if it
// were written: zeros in a new image are holes, so the padded image is there
// whole (its length the minimum, its bytes the quick save's and zeros).
TEST_F(PipelineNoRoom, PaddingTakesNoRoomInANewImage) {
  MakeTree(dir_ / "src", {{"a.txt", "a"}, {"b.bin", Bytes(50000, 1)}});
  const int64_t volume = PrintedSize(Mkiso({"--print-size", "--quick", dir_ / "src"}));
  ASSERT_GT(volume, 0);
  ASSERT_LT(volume * kSector, 400 * 1024) << "the volume must fit in the tmpfs with room to spare";
  TmpfsMount mount(dir_ / "small", "480k");
  if (!mount.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here\n" << mount.why();
  const std::string quick_image = dir_ / "small/quick.iso";
  const std::vector<std::string> epoch = {EpochSetting(kEpoch)};  // the same dates in both
  const RunResult quick = Mkiso({"--quick", "-o", quick_image, dir_ / "src"}, epoch);
  ASSERT_EQ(quick.status, 0) << "the volume alone fits\n" << Describe(quick);
  const std::string quick_bytes = ReadFile(quick_image);
  fs::remove(quick_image);
  const std::string image = dir_ / "small/padded.iso";
  const RunResult r = Mkiso({"-o", image, dir_ / "src"}, epoch);
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_EQ(FileSize(image), kMinimumImageBytes);
  EXPECT_EQ(PaddingMismatch(ReadFile(image), quick_bytes), "");
}

// A file-size limit (ulimit -f) makes writes fail with EFBIG once SIGXFSZ
// is ignored; under the default action the kernel kills the process.
TEST_F(PipelineNoRoom, FileSizeLimitFailsTheJobWhenSigxfszIsIgnored) {
  MakeTree(dir_ / "src", {{"a.txt", "a"}, {"b.bin", Bytes(3 * kMiB, 1)}});
  fs::create_directories(dir_ / "out");
  const std::string image = dir_ / "out/limited.iso";
  BackgroundOptions options;
  options.file_size_limit = kMiB;
  options.ignore_sigxfsz = true;
  Background job(MkisoCommand({"-o", image, dir_ / "src"}), dir_ / "job", options);
  ASSERT_TRUE(job.Wait(60000)) << "still running after 60 s";
  ExpectCleanFailure(job.Err(), job.exit_status(), image, dir_ / "out");
}

TEST_F(PipelineNoRoom, FileSizeLimitFailsTheJobUnderTheDefaultSigxfszAction) {
  MakeTree(dir_ / "src", {{"a.txt", "a"}, {"b.bin", Bytes(3 * kMiB, 1)}});
  fs::create_directories(dir_ / "out");
  const std::string image = dir_ / "out/limited.iso";
  BackgroundOptions options;
  options.file_size_limit = kMiB;
  Background job(MkisoCommand({"-o", image, dir_ / "src"}), dir_ / "job", options);
  ASSERT_TRUE(job.Wait(60000)) << "still running after 60 s";
  EXPECT_EQ(job.term_signal(), 0) << "killed by signal " << job.term_signal() << " (" << strsignal(job.term_signal())
                                  << ")";
  ExpectCleanFailure(job.Err(), job.exit_status(), image, dir_ / "out");
}

// ---------------------------------------------------------------------------
// Source files that change while the job runs.

enum class Change { kVanishes, kShrinksByOneByte, kShrinksWhileBeingRead, kBecomesANamedPipe };

struct ChangeCase {
  const char* name;
  Change change;
};

void PrintTo(const ChangeCase& c, std::ostream* os) { *os << c.name; }

class PipelineSourceChanges : public ::testing::TestWithParam<ChangeCase> {};

TEST_P(PipelineSourceChanges, FailTheJobNamingTheFile) {
  TempDir dir;
  // Given in this order, the large file comes first in the image: the job
  // is still reading it when the later file changes. It goes to the writer
  // as spans of 1 MiB, one a cache block: with the default cache of 64
  // blocks, the reading runs up to about 68 MiB ahead of the writer (the
  // queue, the blocks the writer holds, the one being staged), so the later
  // file must lie well past that from where the job is held.
  const std::string first = dir / "src/first.bin";
  const std::string later = dir / "src/later/later.txt";
  WriteLargeFile(first, 160 * kMiB, 21);
  WriteFile(later, Bytes(10000, 22));
  fs::create_directories(dir / "out");
  const std::string image = dir / "out/x.iso";
  std::string log;
  // Held while the writer is at least 96 MiB before the end of the first
  // file: the reading has not reached the later file.
  auto job = StartHeld({"--paths", "last", "-o", image, first, dir / "src/later"}, image, 64 * kMiB, dir.path(), log);
  ASSERT_NE(job, nullptr) << "the job could not be caught running\n" << log;
  const int64_t written = FileSize(image);
  std::string changed;
  switch (GetParam().change) {
    case Change::kVanishes:
      fs::remove(later);
      changed = later;
      break;
    case Change::kShrinksByOneByte:
      WriteFile(later, Bytes(9999, 22));
      changed = later;
      break;
    case Change::kShrinksWhileBeingRead:
      ASSERT_EQ(truncate(first.c_str(), written + 24 * kMiB), 0);
      changed = first;
      break;
    case Change::kBecomesANamedPipe:
      // Opening it must not wait for a writer that never comes.
      fs::remove(later);
      ASSERT_EQ(mkfifo(later.c_str(), 0644), 0);
      changed = later;
      break;
  }
  job->Resume();
  ASSERT_TRUE(job->Wait(30000)) << "still running 30 s after the change";
  EXPECT_EQ(job->exit_status(), 1) << job->Describe();
  EXPECT_THAT(job->Err(), HasSubstr(changed)) << job->Describe();
  EXPECT_THAT(job->Err(), Not(HasSubstr("SUCCÈS")));
  EXPECT_FALSE(PathExists(image)) << "an image with a hole or shifted files is left";
  EXPECT_EQ(Listing(dir / "out"), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(PipelineChanges, PipelineSourceChanges,
                         ::testing::Values(ChangeCase{"LaterFileVanishes", Change::kVanishes},
                                           ChangeCase{"LaterFileShrinksByOneByte", Change::kShrinksByOneByte},
                                           ChangeCase{"FileBeingReadShrinks", Change::kShrinksWhileBeingRead},
                                           ChangeCase{"LaterFileBecomesANamedPipe", Change::kBecomesANamedPipe}),
                         [](const ::testing::TestParamInfo<ChangeCase>& param_info) {
                           return std::string(param_info.param.name);
                         });

// ---------------------------------------------------------------------------
// Progress line.

// Runs a job on the large tree, holding it for a while half way so that it
// lasts well over the 250 ms between two progress lines.
std::unique_ptr<Background> RunWithAPause(const std::string& image, const TempDir& dir,
                                          const BackgroundOptions& options, std::string& log) {
  auto job =
      StartHeld({"-o", image, LargeTree()}, image, kLargeFileCount * kLargeFileBytes / 2, dir.path(), log, options);
  if (job == nullptr) return nullptr;
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  job->Resume();
  job->Wait(60000);
  return job;
}

TEST(PipelineProgress, TerminalShowsAProgressLine) {
  TempDir dir;
  const std::string image = dir / "p.iso";
  BackgroundOptions options;
  options.stderr_on_terminal = true;
  std::string log;
  auto job = RunWithAPause(image, dir, options, log);
  ASSERT_NE(job, nullptr) << "the job could not be caught running\n" << log;
  ASSERT_TRUE(job->ended()) << "still running after 60 s";
  EXPECT_EQ(job->exit_status(), 0) << job->Describe();
  // The terminal shows "\n" as "\r\n"; what is left of "\r" is the program's.
  const std::string err = std::regex_replace(job->Err(), std::regex("\r\n"), "\n");
  EXPECT_THAT(err, HasSubstr("\r"));
  // " 45 %   123,4 Mo / 456,8 Mo   85,2 Mo/s ..." (a non-breaking space before "%")
  static const std::regex kLine("(\\d+)\xC2\xA0%   ([0-9,]+ Mo) / ([0-9,]+ Mo)");
  std::vector<int> percents;
  std::string total;
  for (auto it = std::sregex_iterator(err.begin(), err.end(), kLine); it != std::sregex_iterator(); ++it) {
    percents.push_back(std::stoi((*it)[1]));
    total = (*it)[3];
  }
  ASSERT_FALSE(percents.empty()) << "no progress line in:\n" << err;
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end())) << ::testing::PrintToString(percents);
  EXPECT_LE(percents.back(), 100);
  // The total shown is the image's size, in Mo with one decimal.
  char size[32];
  std::snprintf(size, sizeof size, "%.1f Mo", static_cast<double>(FileSize(image)) / kMiB);
  std::string expected = size;
  std::replace(expected.begin(), expected.end(), '.', ',');
  EXPECT_EQ(total, expected);
  // Every log line starts a line of its own, the progress line cleared.
  for (size_t at = err.find(">>>"); at != std::string::npos; at = err.find(">>>", at + 1)) {
    const bool clean = at == 0 || err[at - 1] == '\n' || (at >= 4 && err.compare(at - 4, 4, "\r\033[K") == 0);
    EXPECT_TRUE(clean) << "log line glued to the progress line: ..." << err.substr(at >= 60 ? at - 60 : 0, 120);
  }
  EXPECT_EQ(FileSize(image), PrintedSize(Mkiso({"--print-size", LargeTree()})) * kSector);
}

TEST(PipelineProgress, NoProgressLineWhenStderrIsNotATerminal) {
  TempDir dir;
  const std::string image = dir / "p.iso";
  std::string log;
  auto job = RunWithAPause(image, dir, {}, log);
  ASSERT_NE(job, nullptr) << "the job could not be caught running\n" << log;
  ASSERT_TRUE(job->ended()) << "still running after 60 s";
  EXPECT_EQ(job->exit_status(), 0) << job->Describe();
  const std::string err = job->Err();
  EXPECT_EQ(err.find('\r'), std::string::npos) << err;
  EXPECT_EQ(err.find('\033'), std::string::npos) << err;
  EXPECT_THAT(err, Not(HasSubstr("Mo/s   ")));  // no terminal line, whatever plain lines there are
  EXPECT_THAT(err, HasSubstr("ÉCRITURE TERMINÉE"));
}

// ---------------------------------------------------------------------------
// Memory. On a tree of tiny files in small folders the directory extents of
// the two trees take a sector each per folder, as much as the tree itself:
// the save must generate them as the cache takes them, not hold them whole.

// How a child ended and the most memory it held.
struct Measured {
  int status = -1;  // exit status; -1 when killed or timed out
  int64_t max_rss_kib = 0;
};

// Runs `argv` (stdout and stderr to /dev/null) and reads its peak resident
// memory from wait4's rusage; killed after `timeout_seconds`.
Measured RunMeasured(const std::vector<std::string>& argv, int timeout_seconds = 120) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_RDWR);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    execvp(args[0], args.data());
    _exit(127);
  }
  Measured result;
  if (pid < 0) return result;
  const auto start = Clock::now();
  int status = 0;
  struct rusage usage {};
  for (;;) {
    const pid_t done = wait4(pid, &status, WNOHANG, &usage);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) return result;
    if (MsSince(start) > int64_t{timeout_seconds} * 1000) {
      kill(pid, SIGKILL);
      wait4(pid, &status, 0, &usage);
      return result;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
  result.max_rss_kib = usage.ru_maxrss;
  return result;
}

// `folders` folders of 15 empty files under `root`: 16 entries a folder.
void MakeTinyTree(const fs::path& root, int folders) {
  for (int d = 0; d < folders; ++d) {
    const fs::path folder = root / ("dossier" + std::to_string(d));
    fs::create_directories(folder);
    for (int f = 0; f < 15; ++f) {
      const std::string file = folder / ("f" + std::to_string(f) + ".txt");
      const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (fd < 0) throw std::runtime_error("cannot create " + file);
      close(fd);
    }
  }
}

// The least peak of two runs of `zamo-cli mkiso ARGS`: a peak only grows by
// what a run happened to hold at one moment, never shrinks below its need.
Measured LeastPeakOfTwo(const std::vector<std::string>& args) {
  Measured best;
  for (int run = 0; run < 2; ++run) {
    const Measured m = RunMeasured(MkisoCommand(args, {EpochSetting(kEpoch)}));
    if (m.status != 0) return m;
    if (run == 0 || m.max_rss_kib < best.max_rss_kib) best = m;
  }
  return best;
}

TEST(PipelineMemory, TheHeadIsNotHeldWholeWhileTheSaveRuns) {
  constexpr int kSmallFolders = 1250, kLargeFolders = 5000;  // 20,000 and 80,000 entries
  constexpr double kMaxKibPerEntry = 0.35;                    // what a tree's entry may cost
  // The smallest cache: the heads of both trees (5 and 20 MB) fill it, so
  // that it cancels out of the slope.
  constexpr int64_t kCacheMib = 2;
  // The head kept in memory: system area, descriptors and path tables (about
  // 300 KiB here), and the window of directory extents (256 KiB).
  constexpr int64_t kHeadWindowMib = 2;
  constexpr int64_t kFixedMib = 64;
  const std::unique_ptr<TempDir> in_memory = InMemoryTempDir();
  const TempDir& dir = *in_memory;
  MakeTinyTree(dir / "small", kSmallFolders);
  MakeTinyTree(dir / "large", kLargeFolders);
  const std::vector<std::string> cache = {"--cache-size", std::to_string(kCacheMib)};
  std::vector<std::string> small_args = cache, large_args = cache;
  small_args.insert(small_args.end(), {"-o", "/dev/null", dir / "small"});
  large_args.insert(large_args.end(), {"-o", "/dev/null", dir / "large"});

  const Measured small = LeastPeakOfTwo(small_args);
  const Measured large = LeastPeakOfTwo(large_args);
  ASSERT_EQ(small.status, 0);
  ASSERT_EQ(large.status, 0);
  const Measured tree = RunMeasured(MkisoCommand({"--print-size", dir / "large"}));
  ASSERT_EQ(tree.status, 0);

  // (a) Each extra entry costs at most the tree's share: fixed costs and the
  // cache cancel out. Measured: 0.27 KiB; 0.49 with the head held whole.
  const double extra_entries = 16.0 * (kLargeFolders - kSmallFolders);
  const double per_entry = static_cast<double>(large.max_rss_kib - small.max_rss_kib) / extra_entries;
  EXPECT_LE(per_entry, kMaxKibPerEntry) << "peaks " << small.max_rss_kib << " KiB at 20,000 entries, "
                                        << large.max_rss_kib << " KiB at 80,000";
  // (b) The save holds the tree (what --print-size holds, laid out and not
  // saved), its cache, the head's window and a fixed part.
  const int64_t bound_kib = tree.max_rss_kib + (kCacheMib + kHeadWindowMib + kFixedMib) * 1024;
  EXPECT_LE(large.max_rss_kib, bound_kib) << "--print-size took " << tree.max_rss_kib << " KiB";
}

}  // namespace
}  // namespace zamo::test
