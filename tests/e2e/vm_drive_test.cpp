// vm_drive_test.cpp: zamo-cli against a real Linux kernel and CD-ROM drives
// nobody on the team wrote. tests/vm/run-in-vm.sh boots Debian's kernel in QEMU
// with two IDE/ATAPI drives: the first (primary master, /dev/sr0) holds an ISO
// image made here by genisoimage, the second (primary slave, /dev/sr1) is
// empty. The machine runs kCommands once for the whole suite; each test reads
// the steps it needs from the console.
//
// What the kernel (sysfs) and sg3-utils see of the drives from inside the
// machine is the oracle: the VmHarness tests prove that the machine, the
// drives and SG_IO from user space work; the VmZamoCli tests check that
// zamo-cli reports the same drives, disc and tray states. A zamo-cli command
// that does not exist yet skips its test.
//
// Under ctest every test is a process of its own: the first one boots the
// machine and leaves the console in the work folder, and the others of the same
// ctest run (same parent process, same binaries) read it instead of booting
// again.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/run.h"
#include "tests/support/temp_dir.h"

namespace zamo::test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr int kMachineSeconds = 100;  // bound on one boot, commands included
constexpr int kCommandSeconds = 15;   // bound on each command inside the machine
constexpr int kScriptSeconds = kMachineSeconds + 120;  // plus building the initramfs
constexpr int kLockSeconds = kScriptSeconds + 60;      // waiting for another process's boot

// Programs of sg3-utils copied into the machine.
const std::vector<std::string> kTools = {"sg_inq", "sg_turs", "sg_get_config", "sg_readcap", "sg_start"};

// The commands, in the order the machine runs them. The tray steps of
// sg3-utils come before zamo-cli's so that a zamo-cli fault cannot leave the
// oracle a tray it did not expect.
const std::string kBlockDevices = "ls /sys/class/block";
const std::string kBlockAddresses =
    R"sh(for d in sr0 sr1; do echo "$d $(basename "$(readlink /sys/class/block/$d/device)")"; done)sh";
const std::string kInquiryFields =
    R"sh(for d in sr0 sr1; do p=/sys/class/block/$d/device; )sh"
    R"sh(echo "$d|$(cat $p/vendor)|$(cat $p/model)|$(cat $p/rev)|$(cat $p/type)"; done)sh";
const std::string kGenericAddresses =
    R"sh(for g in sg0 sg1; do echo "$g $(basename "$(readlink /sys/class/scsi_generic/$g/device)")"; done)sh";
const std::string kSgInqSr0 = "sg_inq /dev/sr0";
const std::string kSgInqSg1 = "sg_inq /dev/sg1";
const std::string kSgTursSr0 = "sg_turs /dev/sr0";
const std::string kSgTursSr1 = "sg_turs /dev/sr1";
const std::string kSgConfig = "sg_get_config -c /dev/sr0";
const std::string kSgReadCap = "sg_readcap /dev/sr0";
const std::string kDiscSum = "md5sum /dev/sr0";
const std::string kSgEject = "sg_start --eject /dev/sr0";
const std::string kSgLoad = "sg_start --load /dev/sr0";
const std::string kDevices = "zamo-cli devices";
const std::string kInfo = "zamo-cli info";
const std::string kCaps = "zamo-cli caps";
const std::string kReady = "zamo-cli ready";
const std::string kEject = "zamo-cli eject";
const std::string kLoad = "zamo-cli load";
// Drive 1 of the list: the empty drive, listed after /dev/sr0.
const std::string kEmptyReady = "zamo-cli --drive 1 ready";
const std::string kEmptyInfo = "zamo-cli --drive 1 info";
// The disc's session listed, then copied out whole and one file alone; the
// copies' bytes (md5sum) and dates (seconds since the epoch) are printed.
const std::string kLs = "zamo-cli ls";
const std::string kLsFolder = "zamo-cli ls --session 1 /donnees";
const std::string kExtractAll = "zamo-cli extract / /tmp/copie";
const std::string kCopySums = "cd /tmp/copie && find . -type f | sort | while IFS= read -r f; do md5sum \"$f\"; done";
const std::string kCopyDates =
    "cd /tmp/copie && find . -mindepth 1 | sort | while IFS= read -r f; do stat -c '%Y %n' \"$f\"; done";
const std::string kExtractOne = "zamo-cli extract /donnees/bloc.bin /tmp/bloc.bin && md5sum /tmp/bloc.bin";
const std::string kEmptyLs = "zamo-cli --drive 1 ls";
// The same program run by users: "invite" is outside the group cdrom, which
// owns the drives' nodes (mode 660, as on Debian); "graveur" is in it.
const std::string kGuestDevices = "su -s /bin/sh invite -c 'zamo-cli devices'";
const std::string kGuestInfo = "su -s /bin/sh invite -c 'zamo-cli info'";
const std::string kMemberDevices = "su -s /bin/sh graveur -c 'zamo-cli devices'";
const std::string kMemberInfo = "su -s /bin/sh graveur -c 'zamo-cli info'";
const std::string kNodeModes = "ls -l /dev/sr0 /dev/sr1";
// The block queue's limits of the first drive, in the order zamo reads them.
const std::string kQueueLimits =
    "cd /sys/class/block/sr0/queue && cat max_hw_sectors_kb max_sectors_kb max_segments";

const std::vector<std::string> kCommands = {
    kBlockDevices, kBlockAddresses, kInquiryFields, kGenericAddresses,
    kSgInqSr0,     kSgInqSg1,       kSgTursSr0,     kSgTursSr1,
    kSgConfig,     kSgReadCap,      kDiscSum,       kQueueLimits,   kSgEject,
    kSgTursSr0,    kSgLoad,         kSgTursSr0,     kDevices,
    kInfo,         kCaps,           kReady,         kEject,
    kReady,        kLoad,           kReady,         kEmptyReady,
    kEmptyInfo,    kLs,             kLsFolder,      kExtractAll,
    kCopySums,     kCopyDates,      kExtractOne,    kEmptyLs,
    kNodeModes,    kGuestDevices,   kGuestInfo,     kMemberDevices,
    kMemberInfo,
};

// ---------------------------------------------------------------------------
// Texts of zamo-cli's drive commands. Their owner adjusts these when the
// wording settles; the facts they stand for (one complete session, a drive
// that writes nothing) are the drive's and stay.
const std::regex kInfoCompleteDisc(R"(\bcomplet)", std::regex::icase);
const std::regex kInfoOneSession("Sessions?(?:\\s|\u00A0)*:\\s*1\\b", std::regex::icase);
const std::regex kCapsWritesNothing("Grave(?:\\s|\u00A0)*:\\s*aucun", std::regex::icase);
const char* const kUnknownCommand = "commande inconnue";
// ---------------------------------------------------------------------------

// One command line as the machine ran it.
struct Step {
  std::string command;
  std::string out;
  std::string err;
  int status = -1;
  bool TimedOut() const { return status == 143 || status == 137; }
};

std::ostream& operator<<(std::ostream& os, const Step& s) {
  return os << "[" << s.command << "] status " << s.status << "\n--- stdout\n" << s.out << "--- stderr\n" << s.err;
}

struct Machine {
  std::string skip_reason;  // not empty: a prerequisite is missing
  int script_status = -1;
  std::string console;
  std::string diagnostics;  // the script's standard error
  bool finished = false;    // the machine printed its end marker
  std::vector<Step> steps;
  std::string iso_md5;
  uint64_t iso_sectors = 0;

  // The `occurrence`th run of `command` (0 = the first), or null.
  const Step* Find(const std::string& command, int occurrence = 0) const {
    for (const Step& s : steps) {
      if (s.command == command && occurrence-- == 0) return &s;
    }
    return nullptr;
  }
  std::string Tail() const {
    return console.size() > 4000 ? "..." + console.substr(console.size() - 4000) : console;
  }
};

void ParseConsole(Machine& m) {
  std::istringstream in(m.console);
  std::string line;
  bool begun = false;
  enum { kNone, kOut, kErr } section = kNone;
  const std::string cmd = "ZAMO-VM CMD ", status = "ZAMO-VM STATUS ";
  while (std::getline(in, line)) {
    if (line == "ZAMO-VM BEGIN") {
      begun = true;
    } else if (!begun) {
      continue;
    } else if (line == "ZAMO-VM END") {
      m.finished = true;
      break;
    } else if (line.starts_with(cmd)) {
      m.steps.push_back(Step{line.substr(cmd.size()), "", "", -1});
      section = kOut;
    } else if (line == "ZAMO-VM STDERR" && section == kOut) {
      section = kErr;
    } else if (line.starts_with(status) && section == kErr) {
      m.steps.back().status = std::atoi(line.c_str() + status.size());
      section = kNone;
    } else if (section != kNone) {
      (section == kOut ? m.steps.back().out : m.steps.back().err) += line + "\n";
    }
  }
}

fs::path ScriptPath() {
  if (const char* env = std::getenv("ZAMO_VM_SCRIPT")) return env;
  return fs::path(__FILE__).parent_path().parent_path() / "vm" / "run-in-vm.sh";
}

fs::path WorkDir() { return fs::absolute(fs::path(ZamoCli()).parent_path() / "zamo-vm"); }

// Identifies this ctest run: the parent process (pid and start time) and the
// binaries under test. Another run, or a rebuilt binary, boots again.
std::string RunKey() {
  std::string key = std::to_string(getppid());
  std::ifstream stat("/proc/" + std::to_string(getppid()) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 1));
  std::string field;
  for (int i = 0; i < 20 && fields >> field; ++i) {
  }
  key += " " + field + "\n";  // field 22 of the stat line: start time
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  key += Run({"sha256sum", self.string(), ZamoCli(), ScriptPath().string()}, 60).out;
  return key;
}

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteText(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// An exclusive lock on a file, waited for with a bound; released on destruction.
class FileLock {
 public:
  FileLock(const fs::path& path, int seconds) : fd_(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (fd_ >= 0 && !held_ && std::chrono::steady_clock::now() < deadline) {
      held_ = flock(fd_, LOCK_EX | LOCK_NB) == 0;
      if (!held_) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  }
  ~FileLock() {
    if (fd_ >= 0) close(fd_);
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool held() const { return held_; }

 private:
  int fd_;
  bool held_ = false;
};

// The source of the disc's image (kept beside it: extraction is compared with it).
fs::path DiscSource(const fs::path& suite) { return suite / "disc"; }

// A few files in several folders, with dates of their own; their bytes are
// what the drive must read.
void MakeDisc(const fs::path& dir, const fs::path& iso) {
  const fs::path src = DiscSource(dir);
  fs::remove_all(src);
  MakeTree(src.string(), {{"LISEZMOI.TXT", "Disque de test de Zamo.\n"},
                          {"Documents/Lettre à Noël.txt", "Une lettre.\n"},
                          {"donnees/bloc.bin", Bytes(70000, 7)},
                          {"donnees/vide/", ""}});
  int64_t seconds = 1181899800;  // 15 June 2007, then a few days apart
  for (const char* path : {"LISEZMOI.TXT", "Documents/Lettre à Noël.txt", "donnees/bloc.bin", "donnees/vide",
                           "Documents", "donnees"})
    SetModifiedTime((src / path).string(), seconds += 3 * 86400 + 7);
  Run({"genisoimage", "-quiet", "-r", "-J", "-V", "ZAMO_VM", "-o", iso.string(), src.string()}, 60);
}

Machine Boot(const fs::path& suite, const fs::path& iso) {
  Machine m;
  fs::path commands = suite / "commands.sh";
  std::string text = "# Written by vm_drive_test: one command a line.\n";
  for (const std::string& c : kCommands) text += c + "\n";
  WriteText(commands, text);
  const RunResult r = Run({ScriptPath().string(), "--work-dir", WorkDir().string(), "--drive", "none", "--timeout",
                           std::to_string(kMachineSeconds), "--command-timeout", std::to_string(kCommandSeconds),
                           "--tool", kTools[0], "--tool", kTools[1], "--tool", kTools[2], "--tool", kTools[3],
                           "--tool", kTools[4], iso.string(), ZamoCli(), commands.string()},
                          kScriptSeconds);
  m.script_status = r.timed_out ? -1 : r.status;
  m.console = r.out;
  m.diagnostics = r.err + (r.timed_out ? "run-in-vm.sh itself did not finish in time\n" : "");
  std::printf("[ VM       ] %s", m.diagnostics.c_str());
  return m;
}

Machine LoadMachine() {
  Machine m;
  if (!HaveProgram("genisoimage")) {
    m.skip_reason = "genisoimage is not installed";
    return m;
  }
  const fs::path suite = WorkDir() / "suite";
  fs::create_directories(suite);
  const fs::path iso = suite / "disc.iso";
  FileLock lock(suite / "lock", kLockSeconds);
  if (!lock.held()) {
    m.diagnostics = "another test kept " + (suite / "lock").string() + " locked";
    return m;
  }
  const std::string key = RunKey();
  if (ReadText(suite / "run.key") == key && fs::exists(iso)) {
    m.script_status = std::atoi(ReadText(suite / "run.status").c_str());
    m.console = ReadText(suite / "run.out");
    m.diagnostics = ReadText(suite / "run.err");
  } else {
    fs::remove(suite / "run.key");
    fs::remove(iso);
    MakeDisc(suite, iso);
    if (!fs::exists(iso)) {
      m.diagnostics = "genisoimage made no image";
      return m;
    }
    m = Boot(suite, iso);
    WriteText(suite / "run.status", std::to_string(m.script_status));
    WriteText(suite / "run.out", m.console);
    WriteText(suite / "run.err", m.diagnostics);
    WriteText(suite / "run.key.tmp", key);
    fs::rename(suite / "run.key.tmp", suite / "run.key");
  }
  if (m.script_status == 3) m.skip_reason = m.diagnostics;
  m.iso_sectors = fs::file_size(iso) / 2048;
  m.iso_md5 = Run({"md5sum", iso.string()}, 60).out.substr(0, 32);
  ParseConsole(m);
  return m;
}

const Machine& TheMachine() {
  static const Machine machine = LoadMachine();
  return machine;
}

// Fields of the sysfs inquiry line of `drive`: vendor, model, revision, type.
std::vector<std::string> InquiryFields(const Machine& m, const std::string& drive) {
  const Step* s = m.Find(kInquiryFields);
  if (s == nullptr) return {};
  std::istringstream in(s->out);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.starts_with(drive + "|")) continue;
    std::vector<std::string> fields;
    std::istringstream parts(line.substr(drive.size() + 1));
    std::string f;
    while (std::getline(parts, f, '|')) fields.push_back(f);
    return fields;
  }
  return {};
}

// The device-list line zamo-cli must print for a drive at `htl` ("H:T:L"),
// from what the kernel read in its INQUIRY: vendor (8), product (16) and
// revision (4) as they stand.
std::string ExpectedDeviceLine(const Machine& m, const std::string& drive, const std::string& htl) {
  const std::vector<std::string> f = InquiryFields(m, drive);
  if (f.size() < 3) return "(no inquiry data for " + drive + ")";
  return htl + ",/dev/" + drive + ": " + f[0] + f[1] + f[2];
}

class VmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const Machine& m = TheMachine();
    if (!m.skip_reason.empty()) GTEST_SKIP() << m.skip_reason;
    ASSERT_TRUE(m.finished) << "script status " << m.script_status << "\n"
                            << m.diagnostics << "\nconsole:\n"
                            << m.Tail();
  }
  const Machine& machine() const { return TheMachine(); }
  // The step, which must have run; fails the test otherwise.
  const Step& StepOf(const std::string& command, int occurrence = 0) const {
    static const Step kMissing{"(did not run)", "", "", -1};
    const Step* s = machine().Find(command, occurrence);
    EXPECT_NE(s, nullptr) << "the machine did not run \"" << command << "\" #" << occurrence;
    return s != nullptr ? *s : kMissing;
  }
};

using VmHarness = VmTest;
using VmZamoCli = VmTest;

// A zamo-cli that does not know the command: status 2 and the usage line.
bool Unknown(const Step& s) { return s.status == 2 && s.err.find(kUnknownCommand) != std::string::npos; }

#define SKIP_IF_UNKNOWN(step, name) \
  if (Unknown(step)) GTEST_SKIP() << "zamo-cli has no " << (name) << " command yet"

// ---------------------------------------------------------------------------
// The harness: the kernel, the drives and SG_IO from user space.

TEST_F(VmHarness, KernelSeesBothDrivesAtTheirScsiAddresses) {
  const Machine& m = machine();
  // The CD-ROM drives among the block devices (a kernel may add loop devices).
  std::string cd_drives;
  std::istringstream devices(StepOf(kBlockDevices).out);
  for (std::string name; std::getline(devices, name);) {
    if (name.starts_with("sr")) cd_drives += name + " ";
  }
  EXPECT_EQ(cd_drives, "sr0 sr1 ") << StepOf(kBlockDevices);
  // Primary master and primary slave of the first ATA port: same host,
  // channel 0, targets 0 and 1, LUN 0.
  EXPECT_EQ(StepOf(kBlockAddresses).out, "sr0 0:0:0:0\nsr1 0:0:1:0\n");
  EXPECT_EQ(StepOf(kGenericAddresses).out, "sg0 0:0:0:0\nsg1 0:0:1:0\n");
  for (const char* drive : {"sr0", "sr1"}) {
    SCOPED_TRACE(drive);
    // INQUIRY fields as they stand, padded with spaces; type 5: CD/DVD.
    const std::vector<std::string> f = InquiryFields(m, drive);
    ASSERT_EQ(f.size(), 4u) << StepOf(kInquiryFields);
    EXPECT_EQ(f[0], "QEMU    ");
    EXPECT_EQ(f[1], "QEMU DVD-ROM    ");
    EXPECT_EQ(f[2].size(), 4u) << f[2];
    EXPECT_EQ(f[3], "5");
  }
}

TEST_F(VmHarness, SgIoFromUserSpaceReachesBothDrives) {
  // Through the block node and through the generic node of the other drive.
  for (const std::string& c : {kSgInqSr0, kSgInqSg1}) {
    const Step& s = StepOf(c);
    EXPECT_EQ(s.status, 0) << s;
    EXPECT_THAT(s.out, HasSubstr("Vendor identification: QEMU    \n")) << s;
    EXPECT_THAT(s.out, HasSubstr("Product identification: QEMU DVD-ROM    \n")) << s;
    EXPECT_THAT(s.out, HasSubstr("PDT=5")) << s;
  }
  const Step& loaded = StepOf(kSgTursSr0);
  EXPECT_EQ(loaded.status, 0) << loaded;
  const Step& empty = StepOf(kSgTursSr1);
  EXPECT_EQ(empty.status, 2) << empty;  // sg3-utils: 2 = not ready
  EXPECT_THAT(empty.out + empty.err, HasSubstr("not ready")) << empty;
}

TEST_F(VmHarness, DriveHoldsTheImageAsACdRom) {
  const Machine& m = machine();
  // QEMU reports a CD-ROM profile for an image this small.
  const Step& config = StepOf(kSgConfig);
  EXPECT_EQ(config.status, 0) << config;
  EXPECT_THAT(config.out, HasSubstr("Current profile: CD-ROM\n")) << config;
  const Step& capacity = StepOf(kSgReadCap);
  EXPECT_EQ(capacity.status, 0) << capacity;
  EXPECT_THAT(capacity.out, HasSubstr("Number of logical blocks=" + std::to_string(m.iso_sectors) + "\n")) << capacity;
  EXPECT_THAT(capacity.out, HasSubstr("Logical block length=2048 bytes")) << capacity;
  // Every byte of the image, read back through the kernel's CD-ROM driver.
  const Step& sum = StepOf(kDiscSum);
  EXPECT_EQ(sum.status, 0) << sum;
  EXPECT_EQ(sum.out, m.iso_md5 + "  /dev/sr0\n");
}

TEST_F(VmHarness, DriveOpensAndClosesItsTrayOnStartStopUnit) {
  EXPECT_EQ(StepOf(kSgEject).status, 0) << StepOf(kSgEject);
  const Step& open = StepOf(kSgTursSr0, 1);
  EXPECT_EQ(open.status, 2) << open;
  EXPECT_EQ(StepOf(kSgLoad).status, 0) << StepOf(kSgLoad);
  const Step& closed = StepOf(kSgTursSr0, 2);
  EXPECT_EQ(closed.status, 0) << closed;
}

// ---------------------------------------------------------------------------
// zamo-cli's drive commands against the same drives.

TEST_F(VmZamoCli, DevicesListsBothDrivesAsTheKernelSeesThem) {
  const Step& s = StepOf(kDevices);
  SKIP_IF_UNKNOWN(s, "devices");
  ASSERT_EQ(s.status, 0) << s;
  EXPECT_THAT(s.out, HasSubstr(ExpectedDeviceLine(machine(), "sr0", "0:0:0"))) << s;
  EXPECT_THAT(s.out, HasSubstr(ExpectedDeviceLine(machine(), "sr1", "0:1:0"))) << s;
  // One line a drive, the loaded one first.
  const std::regex device_line(R"(\d+:\d+:\d+,/dev/sr\d+: )");
  const auto lines = std::distance(std::sregex_iterator(s.out.begin(), s.out.end(), device_line), std::sregex_iterator());
  EXPECT_EQ(lines, 2) << s;
  EXPECT_LT(s.out.find(",/dev/sr0: "), s.out.find(",/dev/sr1: ")) << s;
  EXPECT_THAT(s.out, Not(HasSubstr("not supported"))) << s;
}

TEST_F(VmZamoCli, InfoDescribesTheDiscInTheDrive) {
  const Step& s = StepOf(kInfo);
  SKIP_IF_UNKNOWN(s, "info");
  ASSERT_EQ(s.status, 0) << s;
  EXPECT_THAT(s.out, HasSubstr("CD-ROM")) << s;  // the drive's current profile, as sg_get_config saw it
  EXPECT_TRUE(std::regex_search(s.out, kInfoCompleteDisc)) << s;
  EXPECT_TRUE(std::regex_search(s.out, kInfoOneSession)) << s;
  // The track holds the whole image.
  EXPECT_TRUE(std::regex_search(s.out, std::regex("\\b" + std::to_string(machine().iso_sectors) + "\\b"))) << s;
  // The empty drive has no disc to describe: a failure, reported in time.
  const Step& empty = StepOf(kEmptyInfo);
  EXPECT_EQ(empty.status, 1) << empty;
}

TEST_F(VmZamoCli, CapsNamesAReaderThatWritesNothing) {
  const Step& s = StepOf(kCaps);
  SKIP_IF_UNKNOWN(s, "caps");
  ASSERT_EQ(s.status, 0) << s;
  EXPECT_THAT(s.out, HasSubstr("QEMU")) << s;
  EXPECT_THAT(s.out, HasSubstr("QEMU DVD-ROM")) << s;
  EXPECT_THAT(s.out, HasSubstr("DVD-ROM")) << s;
  EXPECT_TRUE(std::regex_search(s.out, kCapsWritesNothing)) << s;
}

TEST_F(VmZamoCli, CapsGivesTheTransferLimitOfTheKernelsQueue) {
  const Step& limits = StepOf(kQueueLimits);
  ASSERT_EQ(limits.status, 0) << limits;
  std::istringstream in(limits.out);
  uint64_t hw_kb = 0, soft_kb = 0, segments = 0;
  ASSERT_TRUE(in >> hw_kb >> soft_kb >> segments) << limits;
  const uint64_t page = 4096;  // x86-64
  const uint64_t expected = std::min({hw_kb * 1024, soft_kb * 1024, (segments - 1) * page});
  const Step& s = StepOf(kCaps);
  SKIP_IF_UNKNOWN(s, "caps");
  EXPECT_THAT(s.out, HasSubstr("Transfert max     \u00A0: " + std::to_string(expected) + " octets par commande\n"))
      << s;
}

TEST_F(VmZamoCli, ReadyFollowsTheTray) {
  const Step& before = StepOf(kReady, 0);
  SKIP_IF_UNKNOWN(before, "ready");
  EXPECT_EQ(before.status, 0) << before;  // a disc in a closed tray
  const Step& eject = StepOf(kEject);
  SKIP_IF_UNKNOWN(eject, "eject");
  EXPECT_EQ(eject.status, 0) << eject;
  const Step& open = StepOf(kReady, 1);
  EXPECT_EQ(open.status, 1) << open;
  const Step& load = StepOf(kLoad);
  SKIP_IF_UNKNOWN(load, "load");
  EXPECT_EQ(load.status, 0) << load;
  const Step& closed = StepOf(kReady, 2);
  EXPECT_EQ(closed.status, 0) << closed;
  const Step& empty = StepOf(kEmptyReady);
  EXPECT_EQ(empty.status, 1) << empty;
  for (const Step* step : {&before, &eject, &open, &load, &closed, &empty}) {
    EXPECT_FALSE(step->TimedOut()) << *step;
  }
}

// ---------------------------------------------------------------------------
// zamo-cli run by a user the kernel refuses the drives to, and by one it lets in.

const char* const kAccessDenied =
    "ACCÈS REFUSÉ AU GRAVEUR %s: AJOUTEZ L'UTILISATEUR AU GROUPE cdrom (OU LANCEZ LE PROGRAMME AVEC LES DROITS "
    "NÉCESSAIRES)";

std::string Denied(const std::string& node) {
  std::string text = kAccessDenied;
  return text.replace(text.find("%s"), 2, node);
}

TEST_F(VmHarness, DriveNodesBelongToTheGroupCdrom) {
  const Step& s = StepOf(kNodeModes);
  EXPECT_EQ(s.status, 0) << s;
  const std::regex node_line(R"(brw-rw----\s+\d+\s+root\s+cdrom\s.*/dev/sr[01]\n)");
  const auto lines = std::distance(std::sregex_iterator(s.out.begin(), s.out.end(), node_line), std::sregex_iterator());
  EXPECT_EQ(lines, 2) << s;
}

TEST_F(VmZamoCli, UserOutsideTheGroupCdromIsToldWhyTheDrivesCannotBeUsed) {
  const Step& devices = StepOf(kGuestDevices);
  SKIP_IF_UNKNOWN(devices, "devices");
  EXPECT_EQ(devices.status, 1) << devices;
  // Both drives are listed, as the kernel names them, each marked and
  // followed by the reason; none is said to be missing.
  for (const auto& [drive, htl] : {std::pair{"sr0", "0:0:0"}, std::pair{"sr1", "0:1:0"}}) {
    EXPECT_THAT(devices.out, HasSubstr(ExpectedDeviceLine(machine(), drive, htl) + " (INACCESSIBLE)\n")) << devices;
    EXPECT_THAT(devices.out, HasSubstr("   " + Denied(std::string("/dev/") + drive) + "\n")) << devices;
  }
  EXPECT_THAT(devices.err, HasSubstr("Aucun lecteur de CD ou DVD utilisable.")) << devices;
  EXPECT_THAT(devices.err, Not(HasSubstr("trouvé"))) << devices;

  const Step& info = StepOf(kGuestInfo);
  EXPECT_EQ(info.status, 1) << info;
  EXPECT_THAT(info.err, HasSubstr(Denied("/dev/sr0"))) << info;
  EXPECT_EQ(info.out, "") << info;
  for (const Step* step : {&devices, &info}) EXPECT_FALSE(step->TimedOut()) << *step;
}

TEST_F(VmZamoCli, MemberOfTheGroupCdromUsesTheDrivesWithoutBeingRoot) {
  const Step& devices = StepOf(kMemberDevices);
  SKIP_IF_UNKNOWN(devices, "devices");
  EXPECT_EQ(devices.status, 0) << devices;
  EXPECT_THAT(devices.out, HasSubstr(ExpectedDeviceLine(machine(), "sr0", "0:0:0") + "\n")) << devices;
  EXPECT_THAT(devices.out, HasSubstr(ExpectedDeviceLine(machine(), "sr1", "0:1:0") + "\n")) << devices;
  EXPECT_THAT(devices.out, Not(HasSubstr("INACCESSIBLE"))) << devices;
  EXPECT_THAT(devices.out, Not(HasSubstr("LECTURE SEULE"))) << devices;
  const Step& info = StepOf(kMemberInfo);
  EXPECT_EQ(info.status, 0) << info;
  EXPECT_THAT(info.out, HasSubstr("CD-ROM")) << info;
  EXPECT_TRUE(std::regex_search(info.out, kInfoOneSession)) << info;
  EXPECT_THAT(info.err, Not(HasSubstr("ACCÈS REFUSÉ"))) << info;
}

// ---------------------------------------------------------------------------
// zamo-cli's session listing and extraction, the disc read through the kernel.

// What the machine prints for its copy of the disc, computed here from the
// source of the image: "MD5  ./PATH" for each file, or "SECONDS ./PATH" for
// each file and folder, in byte order of the paths.
std::string SourceLines(bool sums) {
  const fs::path src = DiscSource(WorkDir() / "suite");
  std::string lines;
  for (const auto& [relative, content] : ReadTree(src.string())) {
    const std::string path = relative.ends_with("/") ? relative.substr(0, relative.size() - 1) : relative;
    if (sums) {
      if (relative.ends_with("/")) continue;
      lines += Run({"md5sum", (src / path).string()}, 60).out.substr(0, 32) + "  ./" + path + "\n";
    } else {
      const auto time = fs::last_write_time(src / path);
      const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
          std::chrono::file_clock::to_sys(time).time_since_epoch()).count();
      lines += std::to_string(seconds) + " ./" + path + "\n";
    }
  }
  return lines;
}

TEST_F(VmZamoCli, LsListsTheSessionOfTheDisc) {
  const Step& s = StepOf(kLs);
  SKIP_IF_UNKNOWN(s, "ls");
  ASSERT_EQ(s.status, 0) << s;
  EXPECT_THAT(s.out, HasSubstr("Session 1 (arborescence Joliet)\n")) << s;
  EXPECT_THAT(s.out, HasSubstr("2007-06-24 09:30:21            70000  /donnees/bloc.bin\n")) << s;
  EXPECT_THAT(s.out, HasSubstr("12  /Documents/Lettre à Noël.txt\n")) << s;
  EXPECT_THAT(s.out, HasSubstr("<DOSSIER>  /donnees/vide/\n")) << s;
  EXPECT_THAT(s.out, HasSubstr("3 dossier(s), 3 fichier(s), 0,07 Mo\n")) << s;
  const Step& folder = StepOf(kLsFolder);
  ASSERT_EQ(folder.status, 0) << folder;
  EXPECT_THAT(folder.out, HasSubstr("2 dossier(s), 1 fichier(s)")) << folder;
  EXPECT_THAT(folder.out, Not(HasSubstr("LISEZMOI"))) << folder;
  // The empty drive: a failure, in time.
  const Step& empty = StepOf(kEmptyLs);
  EXPECT_EQ(empty.status, 1) << empty;
}

TEST_F(VmZamoCli, ExtractCopiesTheDiscsFilesWithTheirBytesAndDates) {
  const Step& s = StepOf(kExtractAll);
  SKIP_IF_UNKNOWN(s, "extract");
  ASSERT_EQ(s.status, 0) << s;
  EXPECT_EQ(StepOf(kCopySums).out, SourceLines(true)) << StepOf(kCopySums);
  EXPECT_EQ(StepOf(kCopyDates).out, SourceLines(false)) << StepOf(kCopyDates);
  const Step& one = StepOf(kExtractOne);
  EXPECT_EQ(one.status, 0) << one;
  const std::string bloc = (DiscSource(WorkDir() / "suite") / "donnees/bloc.bin").string();
  EXPECT_EQ(one.out, test::Run({"md5sum", bloc}, 60).out.substr(0, 32) + "  /tmp/bloc.bin\n") << one;
}

}  // namespace
}  // namespace zamo::test
