// boot_test.cpp: bootable (El Torito) images made by `zamo-cli mkiso --boot`.
// The images are read byte by byte, described by xorriso, unpacked by 7z and
// bsdtar, and booted in QEMU (SeaBIOS) from a boot sector assembled here: it
// prints a word on COM1, reads the emulated disk's last sector through INT 13h,
// prints the text found there, and quits QEMU through the isa-debug-exit port.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/peer_tools.h"
#include "tests/support/run.h"
#include "tests/support/temp_dir.h"

namespace zamo::test {
namespace {

// The image file of a volume of `sectors`: zamo-cli's default save pads a
// small image with zeros to 300 sectors, a disc session's minimum.
uint64_t ImageFileSectors(uint64_t sectors) { return std::max<uint64_t>(sectors, 300); }

namespace fs = std::filesystem;
using ::testing::HasSubstr;

constexpr size_t kCdSector = 2048;
constexpr size_t kDiskSector = 512;
constexpr uint32_t kFirstDataLba = 150;
constexpr int kToolSeconds = 60;
constexpr int kQemuSeconds = 60;

// The boot program writes this to the isa-debug-exit port; QEMU then exits
// with status (value << 1) | 1.
constexpr uint8_t kDebugExitValue = 0x31;
constexpr int kQemuExitStatus = (kDebugExitValue << 1) | 1;

const std::string kBootWord = "ZAMOBOOT";

uint32_t Le16(const std::string& bytes, size_t at) {
  return static_cast<uint8_t>(bytes[at]) | static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 1])) << 8;
}

uint32_t Le32(const std::string& bytes, size_t at) { return Le16(bytes, at) | Le16(bytes, at + 2) << 16; }

size_t SectorsFor(size_t bytes) { return (bytes + kCdSector - 1) / kCdSector; }

std::string PadToCdSectors(std::string bytes) {
  bytes.resize(SectorsFor(bytes.size()) * kCdSector, '\0');
  return bytes;
}

// Compares two large byte strings without printing them.
::testing::AssertionResult SameBytes(const std::string& actual, const std::string& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  const size_t common = std::min(actual.size(), expected.size());
  size_t i = 0;
  while (i < common && actual[i] == expected[i]) ++i;
  return ::testing::AssertionFailure() << "sizes " << actual.size() << " and " << expected.size()
                                       << ", first difference at byte " << i;
}

bool AllZero(const std::string& bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](char c) { return c == '\0'; });
}

// ---------------------------------------------------------------------------
// Emulated disks and the boot sector that probes them.

struct Geometry {
  int cylinders, heads, sectors;
  size_t Bytes() const { return static_cast<size_t>(cylinders) * heads * sectors * kDiskSector; }
  // Text of the disk's last sector: what the boot program prints after the word.
  std::string LastSectorText() const {
    return "[LAST C" + std::to_string(cylinders - 1) + " H" + std::to_string(heads - 1) + " S" +
           std::to_string(sectors) + "]";
  }
};

// 16-bit x86 machine code, byte by byte, with short jumps resolved by place.
class Code {
 public:
  void Emit(std::initializer_list<int> bytes) {
    for (int b : bytes) bytes_.push_back(static_cast<char>(b));
  }
  size_t Here() const { return bytes_.size(); }
  // A short jump (`opcode` rel8) to a place still to come: Land() it there.
  size_t JumpAhead(int opcode) {
    Emit({opcode, 0});
    return Here();
  }
  void Land(size_t after_jump) {
    const size_t distance = Here() - after_jump;
    EXPECT_LE(distance, 127u);
    bytes_[after_jump - 1] = static_cast<char>(distance);
  }
  void JumpBack(int opcode, size_t to) {
    Emit({opcode, 0});
    const size_t distance = Here() - to;
    EXPECT_LE(distance, 128u);
    bytes_.back() = static_cast<char>(-static_cast<int>(distance));
  }
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

// The program: print `word` on COM1; read the last sector of the boot drive
// (cylinder, head and sector from `g`) to 07E0:0000 with INT 13h AH=02h;
// print its text up to the first zero byte, or '!' when the read fails; then
// quit QEMU through port F4h. Any BIOS load segment works: nothing in it
// depends on where it runs.
std::string BootProgram(const std::string& word, const Geometry& g) {
  const int cylinder = g.cylinders - 1;
  Code c;
  c.Emit({0x52});              // push dx         ; DL: the drive booted from
  c.Emit({0xBA, 0xF8, 0x03});  // mov dx,0x3F8    ; COM1 data port
  for (char ch : word) c.Emit({0xB0, static_cast<uint8_t>(ch), 0xEE});  // mov al,ch ; out dx,al
  c.Emit({0xB8, 0xE0, 0x07});  // mov ax,0x07E0
  c.Emit({0x8E, 0xC0});        // mov es,ax
  c.Emit({0x31, 0xDB});        // xor bx,bx       ; buffer at 07E0:0000
  // mov cx,imm16: CL = sector | cylinder bits 8-9 in bits 6-7, CH = cylinder bits 0-7.
  c.Emit({0xB9, g.sectors | ((cylinder >> 8) << 6), cylinder & 0xFF});
  c.Emit({0x5A});                        // pop dx          ; DL: the drive again
  c.Emit({0xB6, g.heads - 1});           // mov dh,head
  c.Emit({0xB8, 0x01, 0x02});            // mov ax,0x0201   ; read one sector
  c.Emit({0xCD, 0x13});                  // int 0x13
  c.Emit({0xBA, 0xF8, 0x03});            // mov dx,0x3F8
  const size_t on_error = c.JumpAhead(0x72);  // jc error
  c.Emit({0x31, 0xF6});                  // xor si,si
  c.Emit({0xFC});                        // cld
  const size_t next = c.Here();
  c.Emit({0x26, 0xAC});                  // next: lodsb (from ES:SI)
  c.Emit({0x84, 0xC0});                  // test al,al
  const size_t at_zero = c.JumpAhead(0x74);  // jz done
  c.Emit({0xEE});                        // out dx,al
  c.JumpBack(0xEB, next);                // jmp next
  c.Land(on_error);
  c.Emit({0xB0, '!', 0xEE});             // error: mov al,'!' ; out dx,al
  c.Land(at_zero);
  c.Emit({0xB0, kDebugExitValue});       // done: mov al,value
  c.Emit({0xE6, 0xF4});                  // out 0xF4,al     ; isa-debug-exit
  const size_t halt = c.Here();
  c.Emit({0xFA, 0xF4});                  // halt: cli ; hlt
  c.JumpBack(0xEB, halt);                // jmp halt
  return c.bytes();
}

void PutChs(std::string& entry, size_t at, const Geometry& g, int lba) {
  const int cylinder = lba / (g.heads * g.sectors);
  const int head = lba / g.sectors % g.heads;
  const int sector = lba % g.sectors + 1;
  entry[at] = static_cast<char>(head);
  entry[at + 1] = static_cast<char>(sector | ((cylinder >> 8) << 6));
  entry[at + 2] = static_cast<char>(cylinder & 0xFF);
}

void PutLe32(std::string& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

// A disk of geometry `g` filled with a pattern, the boot sector first and the
// last sector's text at the end. With `partition`, the boot sector is an MBR
// with one active partition from sector 1 to the end of the disk, so that a
// BIOS emulating a hard disk takes its geometry from the partition's end.
std::string DiskImage(const Geometry& g, bool partition, uint32_t seed) {
  std::string image = Bytes(g.Bytes(), seed);
  std::string boot(kDiskSector, '\0');
  const std::string program = BootProgram(kBootWord, g);
  EXPECT_LE(program.size(), 446u);
  boot.replace(0, program.size(), program);
  if (partition) {
    const size_t entry = 446;
    const int total = g.cylinders * g.heads * g.sectors;
    boot[entry] = static_cast<char>(0x80);  // active
    PutChs(boot, entry + 1, g, 1);
    boot[entry + 4] = 0x01;  // FAT12
    PutChs(boot, entry + 5, g, total - 1);
    PutLe32(boot, entry + 8, 1);
    PutLe32(boot, entry + 12, static_cast<uint32_t>(total - 1));
  }
  boot[510] = static_cast<char>(0x55);
  boot[511] = static_cast<char>(0xAA);
  image.replace(0, kDiskSector, boot);
  std::string last(kDiskSector, '\0');
  const std::string text = g.LastSectorText();
  last.replace(0, text.size(), text);
  image.replace(image.size() - kDiskSector, kDiskSector, last);
  return image;
}

// ---------------------------------------------------------------------------
// The image file and what peer tools say about it.

class IsoImage {
 public:
  explicit IsoImage(const std::string& path) : bytes_(ReadFile(path)) {}
  size_t size() const { return bytes_.size(); }
  std::string Sectors(size_t lba, size_t count = 1) const {
    if ((lba + count) * kCdSector > bytes_.size()) {
      ADD_FAILURE() << "sectors " << lba << "+" << count << " lie past the end of the image";
      return std::string(count * kCdSector, '\0');
    }
    return bytes_.substr(lba * kCdSector, count * kCdSector);
  }
  uint32_t CatalogLba() const { return Le32(Sectors(17), 71); }
  std::string Catalog() const { return Sectors(CatalogLba()); }
  uint32_t LoadRba() const { return Le32(Catalog(), 40); }
  uint8_t MediaType() const { return static_cast<uint8_t>(Catalog()[33]); }

 private:
  std::string bytes_;
};

// Checks the catalog entry by entry: the validation entry (header 01h,
// platform 80x86, id, checksum, key 55h AAh) and the default entry.
void ExpectCatalog(const std::string& catalog, uint8_t media_type, uint32_t load_rba) {
  ASSERT_EQ(catalog.size(), kCdSector);
  EXPECT_EQ(static_cast<uint8_t>(catalog[0]), 0x01) << "header id";
  EXPECT_EQ(static_cast<uint8_t>(catalog[1]), 0x00) << "platform";
  EXPECT_EQ(Le16(catalog, 2), 0u) << "reserved";
  EXPECT_EQ(catalog.substr(4, 24), std::string("Vesk") + std::string(20, '\0')) << "id string";
  uint32_t sum = 0;
  for (size_t i = 0; i < 32; i += 2) sum += Le16(catalog, i);
  EXPECT_EQ(sum % 0x10000, 0u) << "the validation entry's words must sum to zero; checksum " << std::hex
                               << Le16(catalog, 28);
  EXPECT_EQ(static_cast<uint8_t>(catalog[30]), 0x55);
  EXPECT_EQ(static_cast<uint8_t>(catalog[31]), 0xAA);

  EXPECT_EQ(static_cast<uint8_t>(catalog[32]), 0x88) << "boot indicator";
  EXPECT_EQ(static_cast<uint8_t>(catalog[33]), media_type) << "boot media type";
  EXPECT_EQ(Le16(catalog, 34), 0u) << "load segment (0: the default 07C0h)";
  EXPECT_EQ(static_cast<uint8_t>(catalog[36]), 0x00) << "system type";
  EXPECT_EQ(static_cast<uint8_t>(catalog[37]), 0x00) << "unused";
  EXPECT_EQ(Le16(catalog, 38), 1u) << "sector count";
  EXPECT_EQ(Le32(catalog, 40), load_rba) << "load RBA";
  EXPECT_TRUE(AllZero(catalog.substr(44))) << "nothing may follow the default entry";
}

struct XorrisoBoot {
  uint32_t catalog = 0;
  int images = 0;
  std::string platform, bootable, emulation, load_segment;
  int load_size = 0;
  uint32_t lba = 0;
};

// `xorriso -report_el_torito plain`: the catalog's place and the boot images.
XorrisoBoot XorrisoElTorito(const std::string& iso) {
  const RunResult r = Run({"xorriso", "-indev", iso, "-report_el_torito", "plain"}, kToolSeconds);
  EXPECT_EQ(r.status, 0) << r.err;
  XorrisoBoot report;
  std::istringstream lines(r.out + "\n" + r.err);
  for (std::string line; std::getline(lines, line);) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::istringstream fields(line.substr(colon + 1));
    if (line.starts_with("El Torito catalog")) {
      fields >> report.catalog;
    } else if (line.starts_with("El Torito boot img")) {
      int number = 0;
      std::string hdpt;
      fields >> number >> report.platform >> report.bootable >> report.emulation >> report.load_segment >> hdpt >>
          report.load_size >> report.lba;
      ++report.images;
    }
  }
  return report;
}

struct Extent {
  uint32_t lba = 0;
  uint32_t blocks = 0;
};

// Every file's data extent, by ISO path, from `xorriso -find / -exec report_lba`.
std::map<std::string, Extent> FileExtents(const std::string& iso) {
  const RunResult r = Run({"xorriso", "-indev", iso, "-find", "/", "-exec", "report_lba", "--"}, kToolSeconds);
  EXPECT_EQ(r.status, 0) << r.err;
  std::map<std::string, Extent> extents;
  std::istringstream lines(r.out + "\n" + r.err);
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with("File data lba:")) continue;
    // "File data lba:  0 ,      150 ,        1 ,        6 , '/a.txt'"
    unsigned section = 0, lba = 0, blocks = 0;
    unsigned long long size = 0;
    if (std::sscanf(line.c_str(), "File data lba: %u , %u , %u , %llu ,", &section, &lba, &blocks, &size) != 4) {
      ADD_FAILURE() << "cannot read: " << line;
      continue;
    }
    const size_t quote = line.find('\'');
    const std::string path = line.substr(quote + 1, line.rfind('\'') - quote - 1);
    extents[path] = Extent{lba, blocks};
  }
  return extents;
}

// ---------------------------------------------------------------------------
// zamo-cli and QEMU.

RunResult MakeIso(const std::vector<std::string>& args, const std::string& cwd = "") {
  std::vector<std::string> argv = {ZamoCli(), "mkiso"};
  argv.insert(argv.end(), args.begin(), args.end());
  return Run(argv, kToolSeconds, cwd);
}

struct QemuBoot {
  RunResult run;
  double seconds = 0;
};

QemuBoot BootFromCd(const std::string& iso) {
  const auto start = std::chrono::steady_clock::now();
  QemuBoot boot;
  boot.run = Run({"qemu-system-x86_64", "-machine", "pc", "-m", "64", "-nodefaults", "-display", "none",
                  "-no-reboot", "-serial", "stdio", "-cdrom", iso, "-boot", "order=d,strict=on,reboot-timeout=0",
                  "-device", "isa-debug-exit,iobase=0xf4,iosize=0x04"},
                 kQemuSeconds);
  boot.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ::testing::Test::RecordProperty("qemu_seconds", std::to_string(boot.seconds));
  return boot;
}

// Boots `iso` and expects the boot program's word followed by the emulated
// disk's last sector, which proves that the BIOS found the boot sector and
// that the whole disk lies where the catalog says.
void ExpectBootsAndReadsLastSector(const std::string& iso, const Geometry& g) {
  REQUIRE_TOOLS("qemu-system-x86_64");
  const QemuBoot boot = BootFromCd(iso);
  ASSERT_FALSE(boot.run.timed_out) << "QEMU still running after " << kQemuSeconds
                                   << " s; serial so far: \"" << boot.run.out << "\"";
  EXPECT_THAT(boot.run.out, HasSubstr(kBootWord + g.LastSectorText()))
      << "'!' after the word means the BIOS could not read the emulated disk's last sector; stderr: "
      << boot.run.err;
  EXPECT_EQ(boot.run.status, kQemuExitStatus) << "the boot program did not reach its end";
}

// ---------------------------------------------------------------------------
// Diskette emulation: 1.2, 1.44 and 2.88 MB images, each booted.

struct DisketteCase {
  const char* name;
  Geometry geometry;
  uint8_t media_type;
  const char* xorriso_emulation;
  const char* seven_zip_name;  // how 7z shows the boot image
};

void PrintTo(const DisketteCase& c, std::ostream* os) { *os << c.name; }

class BootDisketteTest : public ::testing::TestWithParam<DisketteCase> {
 protected:
  void SetUp() override {
    REQUIRE_TOOLS("xorriso");
    image = DiskImage(GetParam().geometry, /*partition=*/false, 7);
    WriteFile(dir / "floppy.img", image);
    MakeTree(dir / "src", {{"readme.txt", "boot disc\n"}, {"tools/setup.bin", Bytes(5000, 3)}});
    const RunResult r = MakeIso({"-o", dir / "x.iso", "--boot", dir / "floppy.img", dir / "src"});
    ASSERT_EQ(r.status, 0) << r.err;
  }

  TempDir dir;
  std::string image;
};

TEST_P(BootDisketteTest, CatalogDescribesTheDisketteRightAfterIt) {
  const IsoImage iso(dir / "x.iso");
  const uint32_t catalog = iso.CatalogLba();
  ExpectCatalog(iso.Catalog(), GetParam().media_type, catalog + 1);
  EXPECT_TRUE(SameBytes(iso.Sectors(catalog + 1, image.size() / kCdSector), image));

  const XorrisoBoot report = XorrisoElTorito(dir / "x.iso");
  EXPECT_EQ(report.images, 1);
  EXPECT_EQ(report.catalog, catalog);
  EXPECT_EQ(report.platform, "BIOS");
  EXPECT_EQ(report.bootable, "y");
  EXPECT_EQ(report.emulation, GetParam().xorriso_emulation);
  EXPECT_EQ(report.load_size, 1);
  EXPECT_EQ(report.lba, catalog + 1);
}

TEST_P(BootDisketteTest, SevenZipExtractsTheWholeDiskette) {
  Extraction x = Extract("7z", dir / "x.iso", dir / "out");
  ASSERT_TRUE(x.ok) << x.log;
  EXPECT_TRUE(SameBytes(x.tree[std::string("[BOOT]/") + GetParam().seven_zip_name], image));
}

TEST_P(BootDisketteTest, BootsInQemu) { ExpectBootsAndReadsLastSector(dir / "x.iso", GetParam().geometry); }

INSTANTIATE_TEST_SUITE_P(Boot, BootDisketteTest,
                         ::testing::Values(DisketteCase{"1_2M", {80, 2, 15}, 1, "fd1.2", "Boot-1.2M.img"},
                                           DisketteCase{"1_44M", {80, 2, 18}, 2, "fd1.4", "Boot-1.44M.img"},
                                           DisketteCase{"2_88M", {80, 2, 36}, 3, "fd2.8", "Boot-2.88M.img"}),
                         [](const auto& test_info) { return std::string(test_info.param.name); });

// ---------------------------------------------------------------------------
// Hard disk emulation: an MBR disk of 2 cylinders, 16 heads, 63 sectors
// (1,032,192 bytes: 504 CD sectors, no diskette size).

class BootHardDiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_TOOLS("xorriso");
    image = DiskImage(geometry, /*partition=*/true, 11);
    ASSERT_EQ(image.size(), 504 * kCdSector);
    WriteFile(dir / "disk.img", image);
    MakeTree(dir / "src", {{"readme.txt", "hard disk boot\n"}});
    const RunResult r = MakeIso({"-o", dir / "x.iso", "--boot", dir / "disk.img", dir / "src"});
    ASSERT_EQ(r.status, 0) << r.err;
  }

  const Geometry geometry{2, 16, 63};
  TempDir dir;
  std::string image;
};

TEST_F(BootHardDiskTest, CatalogDeclaresHardDiskEmulation) {
  const IsoImage iso(dir / "x.iso");
  const uint32_t catalog = iso.CatalogLba();
  ExpectCatalog(iso.Catalog(), 4, catalog + 1);
  EXPECT_TRUE(SameBytes(iso.Sectors(catalog + 1, 504), image));

  const XorrisoBoot report = XorrisoElTorito(dir / "x.iso");
  EXPECT_EQ(report.images, 1);
  EXPECT_EQ(report.emulation, "hd");
  EXPECT_EQ(report.lba, catalog + 1);
}

TEST_F(BootHardDiskTest, BootsInQemu) { ExpectBootsAndReadsLastSector(dir / "x.iso", geometry); }

// ---------------------------------------------------------------------------
// A short boot image (15 disk sectors: 3.75 CD sectors) ends long before
// sector 150: it still follows the catalog, and the zeros up to the file data
// come after it.

class BootShortImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_TOOLS("xorriso");
    image = DiskImage(geometry, /*partition=*/true, 13);
    ASSERT_EQ(image.size(), 7680u);
    WriteFile(dir / "short.img", image);
    MakeTree(dir / "src", {{"a.txt", "first\n"}, {"b/c.bin", Bytes(3 * kCdSector + 1, 5)}});
    const RunResult r = MakeIso({"-o", dir / "x.iso", "--boot", dir / "short.img", dir / "src"});
    ASSERT_EQ(r.status, 0) << r.err;
  }

  const Geometry geometry{1, 1, 15};
  TempDir dir;
  std::string image;
};

TEST_F(BootShortImageTest, ImageFollowsTheCatalogAndPaddingFollowsTheImage) {
  const IsoImage iso(dir / "x.iso");
  const uint32_t catalog = iso.CatalogLba();
  const uint32_t load = catalog + 1;
  ExpectCatalog(iso.Catalog(), 4, load);
  ASSERT_LT(load + 4, kFirstDataLba);
  EXPECT_TRUE(SameBytes(iso.Sectors(load, 4), PadToCdSectors(image)));
  EXPECT_TRUE(AllZero(iso.Sectors(load + 4, kFirstDataLba - (load + 4))))
      << "the sectors between the boot image and the file data must be zeros";

  const std::map<std::string, Extent> extents = FileExtents(dir / "x.iso");
  ASSERT_EQ(extents.size(), 2u);
  uint32_t first = UINT32_MAX, end = 0;
  for (const auto& [path, extent] : extents) {
    first = std::min(first, extent.lba);
    end = std::max(end, extent.lba + extent.blocks);
  }
  EXPECT_EQ(first, kFirstDataLba);
  EXPECT_EQ(end, kFirstDataLba + 1 + 4);
  EXPECT_EQ(iso.size(), ImageFileSectors(end) * kCdSector);
  EXPECT_EQ(Le32(iso.Sectors(16), 80), end) << "volume space size";
  EXPECT_EQ(XorrisoElTorito(dir / "x.iso").lba, load);
}

TEST_F(BootShortImageTest, BootsInQemu) { ExpectBootsAndReadsLastSector(dir / "x.iso", geometry); }

// ---------------------------------------------------------------------------
// Sizes that are not a diskette's: hard disk emulation, the image rounded up
// to whole sectors and nothing laid over its last one.

struct SizeCase {
  const char* name;
  size_t bytes;
  uint32_t sectors;
};

void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.bytes << " bytes"; }

class BootImageSizeTest : public ::testing::TestWithParam<SizeCase> {};

TEST_P(BootImageSizeTest, HardDiskEmulationOverWholeSectors) {
  REQUIRE_TOOLS("xorriso");
  TempDir dir;
  const std::string image = Bytes(GetParam().bytes, 17);
  WriteFile(dir / "boot.img", image);
  MakeTree(dir / "src", {{"after.txt", "the first file after the boot image\n"}});
  const RunResult r = MakeIso({"-o", dir / "x.iso", "--boot", dir / "boot.img", dir / "src"});
  ASSERT_EQ(r.status, 0) << r.err;

  const IsoImage iso(dir / "x.iso");
  const uint32_t load = iso.CatalogLba() + 1;
  ExpectCatalog(iso.Catalog(), 4, load);
  EXPECT_EQ(XorrisoElTorito(dir / "x.iso").emulation, "hd");
  const std::string padded = PadToCdSectors(image);
  ASSERT_EQ(padded.size(), GetParam().sectors * kCdSector);
  EXPECT_TRUE(SameBytes(iso.Sectors(load, GetParam().sectors), padded));

  const std::map<std::string, Extent> extents = FileExtents(dir / "x.iso");
  ASSERT_EQ(extents.count("/after.txt"), 1u);
  EXPECT_EQ(extents.at("/after.txt").lba, std::max(kFirstDataLba, load + GetParam().sectors));
  EXPECT_EQ(iso.Sectors(extents.at("/after.txt").lba).substr(0, 36), "the first file after the boot image\n");
}

INSTANTIATE_TEST_SUITE_P(Boot, BootImageSizeTest,
                         ::testing::Values(SizeCase{"OneByteOverDiskette", 1474561, 721},
                                           SizeCase{"OneSectorUnderDiskette", 1474560 - 2048, 719},
                                           SizeCase{"OneByte", 1, 1}),
                         [](const auto& test_info) { return std::string(test_info.param.name); });

// A boot image ending one sector before sector 150, on it, or one after: the
// zeros shrink to one sector, then to none, then the file data follows the image.
class BootDataStartTest : public ::testing::TestWithParam<int> {};

TEST_P(BootDataStartTest, FileDataStartsAtSector150OrRightAfterTheImage) {
  REQUIRE_TOOLS("xorriso");
  TempDir dir;
  MakeTree(dir / "src", {{"after.txt", "the first file after the boot image\n"}});
  // The catalog's place does not depend on the image's size: learn it first.
  WriteFile(dir / "boot.img", "x");
  ASSERT_EQ(MakeIso({"-o", dir / "probe.iso", "--boot", dir / "boot.img", dir / "src"}).status, 0);
  const uint32_t load = IsoImage(dir / "probe.iso").CatalogLba() + 1;
  ASSERT_LT(load, kFirstDataLba);
  const auto end = static_cast<uint32_t>(static_cast<int>(kFirstDataLba) + GetParam());
  const std::string image = Bytes((end - load) * kCdSector - 100, 29);
  WriteFile(dir / "boot.img", image);
  const RunResult r = MakeIso({"-o", dir / "x.iso", "--boot", dir / "boot.img", dir / "src"});
  ASSERT_EQ(r.status, 0) << r.err;

  const IsoImage iso(dir / "x.iso");
  ASSERT_EQ(iso.CatalogLba() + 1, load);
  ExpectCatalog(iso.Catalog(), 4, load);
  EXPECT_TRUE(SameBytes(iso.Sectors(load, end - load), PadToCdSectors(image)));
  const uint32_t first_file = std::max(kFirstDataLba, end);
  if (end < first_file) {
    EXPECT_TRUE(AllZero(iso.Sectors(end, first_file - end))) << "zeros between the image and the file data";
  }
  const std::map<std::string, Extent> extents = FileExtents(dir / "x.iso");
  ASSERT_EQ(extents.count("/after.txt"), 1u);
  EXPECT_EQ(extents.at("/after.txt").lba, first_file);
  EXPECT_EQ(iso.size(), ImageFileSectors(first_file + 1) * kCdSector);
}

INSTANTIATE_TEST_SUITE_P(Boot, BootDataStartTest, ::testing::Values(-1, 0, 1), [](const auto& test_info) {
  return std::string(test_info.param < 0 ? "EndsBefore150" : test_info.param == 0 ? "EndsAt150" : "EndsAfter150");
});

// ---------------------------------------------------------------------------
// Volume descriptors: the boot record is always sector 17, the catalog the
// sector after the last directory.

class BootDescriptorTest : public ::testing::TestWithParam<bool> {};

TEST_P(BootDescriptorTest, BootRecordAtSector17PointsAfterTheDirectories) {
  const bool joliet = GetParam();
  TempDir dir;
  WriteFile(dir / "boot.img", DiskImage({1, 1, 15}, true, 19));
  MakeTree(dir / "src", {{"one.txt", "1"}, {"two.txt", "2"}});
  std::vector<std::string> args = {"-o", dir / "x.iso", "--boot", dir / "boot.img"};
  if (!joliet) args.push_back("--no-joliet");
  args.push_back(dir / "src");
  const RunResult r = MakeIso(args);
  ASSERT_EQ(r.status, 0) << r.err;

  const IsoImage iso(dir / "x.iso");
  const std::string primary = iso.Sectors(16);
  EXPECT_EQ(primary.substr(0, 7), std::string("\x01" "CD001\x01", 7));
  const uint32_t catalog = iso.CatalogLba();
  std::string record(kCdSector, '\0');
  record.replace(0, 7, std::string("\0CD001\x01", 7));
  record.replace(7, 23, "EL TORITO SPECIFICATION");
  PutLe32(record, 71, catalog);
  EXPECT_TRUE(SameBytes(iso.Sectors(17), record)) << "boot record";
  size_t next = 18;
  std::string last_root = primary.substr(156, 34);
  if (joliet) {
    const std::string supplementary = iso.Sectors(next++);
    EXPECT_EQ(supplementary.substr(0, 7), std::string("\x02" "CD001\x01", 7));
    EXPECT_EQ(supplementary.substr(88, 3), "%/@");
    last_root = supplementary.substr(156, 34);
  }
  EXPECT_EQ(iso.Sectors(next).substr(0, 7), std::string("\xFF" "CD001\x01", 7)) << "terminator";

  // With one folder, the last directory written is the root of the last tree.
  const uint32_t root_end = Le32(last_root, 2) + static_cast<uint32_t>(SectorsFor(Le32(last_root, 10)));
  EXPECT_EQ(catalog, root_end);
  ExpectCatalog(iso.Catalog(), 4, catalog + 1);
  EXPECT_EQ(ImageFileSectors(Le32(primary, 80)) * kCdSector, iso.size()) << "volume space size";
}

INSTANTIATE_TEST_SUITE_P(Boot, BootDescriptorTest, ::testing::Bool(),
                         [](const auto& test_info) { return std::string(test_info.param ? "Joliet" : "NoJoliet"); });

// ---------------------------------------------------------------------------
// The files beside a boot image read back intact, whether their data starts
// at sector 150 or after a diskette, and when the boot image is also one of
// the files (named relative to the working folder).

struct ReadBackCase {
  const char* name;
  size_t boot_bytes;
  bool boot_in_tree;
};

void PrintTo(const ReadBackCase& c, std::ostream* os) { *os << c.name; }

class BootReadBackTest : public ::testing::TestWithParam<ReadBackCase> {};

TEST_P(BootReadBackTest, FilesReadBackIntact) {
  REQUIRE_TOOLS("xorriso", "7z", "bsdtar");
  TempDir dir;
  MakeTree(dir / "src", {{"readme.txt", "read me first\n"},
                         {"empty.dat", ""},
                         {"one sector exactly.bin", Bytes(kCdSector, 21)},
                         {"Documents/a rather long file name, with spaces.txt", Bytes(5000, 22)},
                         {"Documents/deep/er/big.bin", Bytes(300 * 1024 + 7, 23)}});
  const std::string boot_name = GetParam().boot_in_tree ? "src/boot.img" : "boot.img";
  const std::string boot = Bytes(GetParam().boot_bytes, 24);
  WriteFile(dir / boot_name, boot);
  const std::map<std::string, std::string> expected = ReadTree(dir / "src");
  const RunResult r = MakeIso({"-o", "x.iso", "--boot", boot_name, "src"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;

  const IsoImage iso(dir / "x.iso");
  const RunResult size = MakeIso({"--print-size", "--boot", boot_name, "src"}, dir.path());
  EXPECT_EQ(size.out, std::to_string(iso.size() / kCdSector) + "\n") << "--print-size counts the boot image";
  const uint32_t load = iso.CatalogLba() + 1;
  const uint32_t boot_sectors = static_cast<uint32_t>(SectorsFor(boot.size()));
  EXPECT_TRUE(SameBytes(iso.Sectors(load, boot_sectors), PadToCdSectors(boot)));
  // No file's data may lie over the catalog or the boot image.
  for (const auto& [path, extent] : FileExtents(dir / "x.iso")) {
    if (extent.blocks == 0) continue;
    EXPECT_GE(extent.lba, std::max(kFirstDataLba, load + boot_sectors)) << path;
  }

  Extraction x = Extract("7z", dir / "x.iso", dir / "7z");
  ASSERT_TRUE(x.ok) << x.log;
  std::erase_if(x.tree, [](const auto& item) { return item.first.starts_with("[BOOT]"); });
  EXPECT_EQ(x.tree, expected);

  x = Extract("bsdtar", dir / "x.iso", dir / "tar");
  ASSERT_TRUE(x.ok) << x.log;
  EXPECT_EQ(x.tree, expected);
}

INSTANTIATE_TEST_SUITE_P(Boot, BootReadBackTest,
                         ::testing::Values(ReadBackCase{"DataAtSector150", 7680, false},
                                           ReadBackCase{"DataAfterDiskette", 1474560, false},
                                           ReadBackCase{"BootImageAlsoAFile", 1474560, true}),
                         [](const auto& test_info) { return std::string(test_info.param.name); });

// ---------------------------------------------------------------------------
// A boot image that cannot be used stops the job before any image is written.

TEST(BootCliTest, UnusableBootImageFailsWithoutWritingAnImage) {
  TempDir dir;
  MakeTree(dir / "src", {{"a.txt", "a"}, {"folder/b.txt", "b"}});
  WriteFile(dir / "empty.img", "");
  fs::create_directories(dir / "folder");
  for (const std::string& boot : {dir / "missing.img", dir / "folder", dir / "empty.img"}) {
    SCOPED_TRACE(boot);
    const RunResult r = MakeIso({"-o", dir / "x.iso", "--boot", boot, dir / "src"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_THAT(r.err, HasSubstr("IMAGE DE DÉMARRAGE INTROUVABLE"));
    EXPECT_THAT(r.err, HasSubstr(boot));
    EXPECT_FALSE(fs::exists(dir / "x.iso"));
  }
  const RunResult r = MakeIso({"-o", dir / "x.iso", dir / "src", "--boot"});
  EXPECT_EQ(r.status, 2) << "--boot without its value is a usage error";
  EXPECT_FALSE(fs::exists(dir / "x.iso"));
}

}  // namespace
}  // namespace zamo::test
