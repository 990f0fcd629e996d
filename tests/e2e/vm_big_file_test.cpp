// vm_big_file_test.cpp: a file of 5 GiB on a disc zamo-cli burnt, read by
// the Linux kernel's own ISO 9660 file system. tests/vm/run-in-vm.sh boots
// Debian's kernel in QEMU with the disc (an emulated DVD+R DL's image,
// sparse) in an IDE/ATAPI drive; the machine mounts it with isofs through
// its Joliet tree, then through its ISO 9660 tree (nojoliet), and prints the
// file's size, the bytes around each mark and the digests of the sectors
// around the end of its first extent and of its last sectors, which the
// test compares with the file it made.
//
// One of the largest tests (a 5 GiB burn before the boot): ctest runs it
// with the BigFile test, alone (tests/CMakeLists.txt).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/marked_file.h"
#include "tests/support/run.h"
#include "tests/support/temp_dir.h"

namespace zamo::test {
namespace {

namespace fs = std::filesystem;

constexpr int kMachineSeconds = 150;  // bound on the boot and the commands
constexpr int kCommandSeconds = 60;
constexpr int64_t kSector = 2048;
constexpr int64_t kFirstExtentSectors = 0xFFFFF800 / kSector;

const std::string kJolietPath = "/mnt/Films/Vidéo de vacances.mkv";
const std::string kIsoPath = "/mnt/films/vid_od~1.mkv";  // isofs shows ISO 9660 names in lower case, without ";1"

// A byte range of the file, read in the machine.
struct Range {
  int64_t offset;
  int64_t length;
};

// The bytes around each mark: 16 before and 16 after, inside the file.
std::vector<Range> MarkRanges(const MarkedFile& file) {
  std::vector<Range> ranges;
  for (const Mark& m : file.marks) {
    const int64_t from = std::max<int64_t>(m.offset - 16, 0);
    const int64_t to = std::min<int64_t>(m.offset + static_cast<int64_t>(m.bytes.size()) + 16, file.size);
    ranges.push_back({from, to - from});
  }
  return ranges;
}

// Sector ranges whose digests are compared: 2 MiB across the end of the
// first extent, and the file's last 1 MiB.
std::vector<Range> SectorRanges(const MarkedFile& file) {
  return {{kFirstExtentSectors - 512, 1024}, {file.size / kSector - 512, 512}};
}

std::string Hex(const std::string& bytes) {
  std::string out;
  char two[3];
  for (unsigned char c : bytes) {
    std::snprintf(two, sizeof(two), "%02x", c);
    out += two;
  }
  return out;
}

// The commands for one mounted tree, and what each must print.
void TreeCommands(const MarkedFile& file, const std::string& path, const std::string& md5_dir,
                  std::vector<std::pair<std::string, std::string>>& steps) {
  const std::string quoted = "'" + path + "'";
  steps.emplace_back("stat -c %s " + quoted, std::to_string(file.size));
  for (const Range& r : MarkRanges(file)) {
    std::string expected;
    for (int64_t k = 0; k < r.length; ++k) expected.push_back(file.At(r.offset + k));
    steps.emplace_back("dd if=" + quoted + " bs=1 skip=" + std::to_string(r.offset) + " count=" +
                           std::to_string(r.length) + " 2>/dev/null | od -An -tx1 -v | tr -d ' \\n'",
                       Hex(expected));
  }
  for (const Range& r : SectorRanges(file)) {
    std::string region;
    for (int64_t k = 0; k < r.length * kSector; ++k) region.push_back(file.At(r.offset * kSector + k));
    const std::string region_file = md5_dir + "/region";
    WriteFile(region_file, region);
    const std::string md5 = Run({"md5sum", region_file}, 60).out.substr(0, 32);
    steps.emplace_back("dd if=" + quoted + " bs=2048 skip=" + std::to_string(r.offset) + " count=" +
                           std::to_string(r.length) + " 2>/dev/null | md5sum | cut -c1-32",
                       md5);
  }
}

// The machine's console parsed: each command's stdout and status.
std::map<std::string, std::pair<std::string, int>> ParseSteps(const std::string& console) {
  std::map<std::string, std::pair<std::string, int>> steps;
  std::istringstream in(console);
  std::string line, command;
  bool out = false;
  for (; std::getline(in, line);) {
    if (line.starts_with("ZAMO-VM CMD ")) {
      command = line.substr(12);
      steps[command] = {"", -1};
      out = true;
    } else if (line == "ZAMO-VM STDERR") {
      out = false;
    } else if (line.starts_with("ZAMO-VM STATUS ") && !command.empty()) {
      steps[command].second = std::atoi(line.c_str() + 15);
      command.clear();
    } else if (out && !command.empty()) {
      steps[command].first += line;
    }
  }
  return steps;
}

TEST(VmBigFile, KernelIsofsReadsTheFileWholeThroughBothTrees) {
  const fs::path script = fs::path(__FILE__).parent_path().parent_path() / "vm" / "run-in-vm.sh";
  TempDir dir;
  const MarkedFile big = FiveGiBMarked();
  fs::create_directories(dir / "src/Films");
  ASSERT_TRUE(big.Make(dir / "src/Films/Vidéo de vacances.mkv"));
  // The disc as a burn leaves it: the emulator keeps zeros as holes, so the
  // 5 GiB disc costs no disk either.
  const std::string disc = dir / "dl.img";
  const RunResult burn = test::Run(CliOn("dvd+r-dl:" + disc, {"burn", dir / "src"}), 600);
  ASSERT_EQ(burn.status, 0) << Describe(burn);

  std::vector<std::pair<std::string, std::string>> steps;  // command, expected stdout
  // echo of a pattern: the names as their bytes (busybox's ls shows "?" for non-ASCII).
  const std::string mount_joliet = "mount -t iso9660 -o ro,utf8 /dev/sr0 /mnt && echo /mnt/Films/*";
  const std::string mount_iso = "mount -t iso9660 -o ro,nojoliet /dev/sr0 /mnt && echo /mnt/films/*";
  steps.emplace_back(mount_joliet, kJolietPath);
  TreeCommands(big, kJolietPath, dir.path(), steps);
  steps.emplace_back("umount /mnt", "");
  steps.emplace_back(mount_iso, kIsoPath);
  TreeCommands(big, kIsoPath, dir.path(), steps);
  steps.emplace_back("umount /mnt", "");
  std::string commands;
  for (const auto& [command, expected] : steps) commands += command + "\n";
  WriteFile(dir / "commands.sh", commands);

  const std::string work_dir = (fs::path(ZamoCli()).parent_path() / "zamo-vm").string();
  const RunResult r = test::Run({script.string(), "--work-dir", work_dir,
                           "--timeout", std::to_string(kMachineSeconds), "--command-timeout",
                           std::to_string(kCommandSeconds), disc, ZamoCli(), dir / "commands.sh"},
                          kMachineSeconds + 180);
  if (r.status == 3) GTEST_SKIP() << r.err;
  ASSERT_EQ(r.status, 0) << Describe(r);
  const auto ran = ParseSteps(r.out);
  for (const auto& [command, expected] : steps) {
    SCOPED_TRACE(command);
    ASSERT_TRUE(ran.contains(command)) << r.out;
    EXPECT_EQ(ran.at(command).second, 0) << r.out;
    EXPECT_EQ(ran.at(command).first, expected);
  }
}

}  // namespace
}  // namespace zamo::test
