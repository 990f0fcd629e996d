// boot_test.cpp: bootable (El Torito) images made by `zamo-cli mkiso --boot`.
// The images are read byte by byte, described by xorriso, unpacked by 7z and
// bsdtar, and booted in QEMU (SeaBIOS) from a boot sector assembled here: it
// prints a word on COM1, reads the emulated disk's last sector through INT 13h,
// prints the text found there, and quits QEMU through the isa-debug-exit port.
// No-emulation images boot a program assembled here too, which prints the
// text of the last sector the BIOS was to load and what it finds in its boot
// information table, checksum included.
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
  // A near call (E8 rel16) to a routine already emitted at `to`.
  void CallBack(size_t to) {
    const int rel = static_cast<int>(to) - static_cast<int>(Here() + 3);
    Emit({0xE8, rel & 0xFF, (rel >> 8) & 0xFF});
  }
  // Writes `text` to the port in DX, one `mov al,ch ; out dx,al` a character.
  void Print(const std::string& text) {
    for (char ch : text) Emit({0xB0, static_cast<uint8_t>(ch), 0xEE});
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
void ExpectCatalog(const std::string& catalog, uint8_t media_type, uint32_t load_rba, uint32_t sector_count = 1) {
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
  EXPECT_EQ(Le16(catalog, 38), sector_count) << "sector count";
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

// Writes the boot image `image` as dir/`name` and the folder dir/src holding
// `files`, and makes them into dir/x.iso booting from that image.
void MakeBootableIso(const TempDir& dir, const std::string& name, const std::string& image,
                     const TreeContents& files) {
  WriteFile(dir / name, image);
  MakeTree(dir / "src", files);
  const RunResult r = MakeIso({"-o", dir / "x.iso", "--boot", dir / name, dir / "src"});
  ASSERT_EQ(r.status, 0) << r.err;
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
    MakeBootableIso(dir, "floppy.img", image, {{"readme.txt", "boot disc\n"}, {"tools/setup.bin", Bytes(5000, 3)}});
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
    MakeBootableIso(dir, "disk.img", image, {{"readme.txt", "hard disk boot\n"}});
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
    MakeBootableIso(dir, "short.img", image, {{"a.txt", "first\n"}, {"b/c.bin", Bytes(3 * kCdSector + 1, 5)}});
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
  ASSERT_NO_FATAL_FAILURE(
      MakeBootableIso(dir, "boot.img", image, {{"after.txt", "the first file after the boot image\n"}}));

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
    EXPECT_THAT(r.err, HasSubstr("Image de démarrage introuvable ou vide"));
    EXPECT_THAT(r.err, HasSubstr(boot));
    EXPECT_FALSE(fs::exists(dir / "x.iso"));
  }
  const RunResult r = MakeIso({"-o", dir / "x.iso", dir / "src", "--boot"});
  EXPECT_EQ(r.status, 2) << "--boot without its value is a usage error";
  EXPECT_FALSE(fs::exists(dir / "x.iso"));
}

// ---------------------------------------------------------------------------
// No emulation: the BIOS loads the first load-size 512-byte sectors of the
// boot image at 07C0:0000 and runs them; with --boot-info-table the image on
// the disc carries the boot information table at byte 8.

const std::string kNoEmulationWord = "ZAMONOEMUL";

// The text at the start of the last sector the BIOS is to load.
std::string LastLoadedText(int load_size) { return "[LAST LOADED SECTOR " + std::to_string(load_size) + "]"; }

std::string Hex32(uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", value);
  return text;
}

// The little-endian 32-bit words of `bytes` from `from` to the end, a short
// last word padded with zeros, added modulo 2^32.
uint32_t WordSum(const std::string& bytes, size_t from) {
  uint32_t sum = 0;
  for (size_t i = from; i < bytes.size(); i += 4) {
    uint32_t word = 0;
    for (size_t k = 0; k < 4 && i + k < bytes.size(); ++k)
      word |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[i + k])) << (8 * k);
    sum += word;
  }
  return sum;
}

// `image` as the disc must hold it with the boot information table.
std::string WithBootInfoTable(std::string image, uint32_t primary_lba, uint32_t image_lba) {
  const uint32_t checksum = WordSum(image, 64);
  PutLe32(image, 8, primary_lba);
  PutLe32(image, 12, image_lba);
  PutLe32(image, 16, static_cast<uint32_t>(image.size()));
  PutLe32(image, 20, checksum);
  image.replace(24, 40, std::string(40, '\0'));
  return image;
}

// A no-emulation boot image of `bytes` bytes (under 64 KiB): patterned bytes,
// the program at byte 0 (a jump over bytes 8-63, the table's place, zero in
// the file) and from byte 64 on, LastLoadedText at the start of the last of
// the `load_size` sectors. The program prints the word, then that text; with
// `read_table`, then " PVD=", " LBA=" and " LEN=" with the table's first
// three fields in hexadecimal, and " CK=OK" when the words of its own bytes
// from 64 to LEN, as loaded, add up to the table's checksum (" CK=BAD"
// otherwise; LEN must lie within the loaded sectors). Then it quits QEMU.
std::string NoEmulationImage(size_t bytes, int load_size, bool read_table) {
  std::string image = Bytes(bytes, 41);
  std::fill(image.begin() + 2, image.begin() + 64, '\0');
  Code c;
  c.Emit({0xEB, 0x3E});  // jmp short 64    ; over the table
  while (c.Here() < 64) c.Emit({0x00});
  // jmp 07C0:69: from here on offsets count from the image's first byte,
  // wherever the BIOS jumped in, and a wrong load address shows.
  c.Emit({0xEA, 69, 0x00, 0xC0, 0x07});
  c.Emit({0x0E, 0x1F});        // push cs ; pop ds
  c.Emit({0xFC});              // cld
  c.Emit({0xBA, 0xF8, 0x03});  // mov dx,0x3F8    ; COM1 data port
  const size_t to_main = c.JumpAhead(0xEB);
  const size_t print = c.Here();  // print: DS:SI up to its zero byte
  c.Emit({0xAC});                 // lodsb
  c.Emit({0x84, 0xC0});           // test al,al
  const size_t at_zero = c.JumpAhead(0x74);
  c.Emit({0xEE});  // out dx,al
  c.JumpBack(0xEB, print);
  c.Land(at_zero);
  c.Emit({0xC3});               // ret
  const size_t hex = c.Here();  // hex: EAX as eight digits
  c.Emit({0xB9, 0x08, 0x00});   // mov cx,8
  const size_t digit = c.Here();
  c.Emit({0x66, 0xC1, 0xC0, 0x04});  // rol eax,4
  c.Emit({0x50});                    // push ax
  c.Emit({0x24, 0x0F});              // and al,0x0F
  c.Emit({0x04, '0'});               // add al,'0'
  c.Emit({0x3C, '9'});               // cmp al,'9'
  const size_t decimal = c.JumpAhead(0x76);
  c.Emit({0x04, 'A' - '9' - 1});  // add al,7
  c.Land(decimal);
  c.Emit({0xEE});  // out dx,al
  c.Emit({0x58});  // pop ax
  c.JumpBack(0xE2, digit);  // loop digit
  c.Emit({0xC3});           // ret
  c.Land(to_main);
  c.Print(kNoEmulationWord);
  const int last = (load_size - 1) * 512;
  c.Emit({0xBE, last & 0xFF, last >> 8});  // mov si,last
  c.CallBack(print);
  if (read_table) {
    for (const auto& [label, offset] :
         {std::pair{" PVD=", 8}, std::pair{" LBA=", 12}, std::pair{" LEN=", 16}}) {
      c.Print(label);
      c.Emit({0x66, 0xA1, offset, 0x00});  // mov eax,[offset]
      c.CallBack(hex);
    }
    c.Emit({0x8B, 0x0E, 0x10, 0x00});  // mov cx,[16]     ; LEN
    c.Emit({0x66, 0x31, 0xC0});        // xor eax,eax
    c.Emit({0xBE, 0x40, 0x00});        // mov si,64
    const size_t word = c.Here();
    c.Emit({0x39, 0xCE});  // cmp si,cx
    const size_t summed = c.JumpAhead(0x73);  // jae summed
    c.Emit({0x66, 0x03, 0x04});  // add eax,[si]
    c.Emit({0x83, 0xC6, 0x04});  // add si,4
    c.JumpBack(0xEB, word);
    c.Land(summed);
    c.Emit({0x66, 0x3B, 0x06, 0x14, 0x00});  // cmp eax,[20]   ; the table's checksum
    c.Print(" CK=");                          // (mov and out leave the flags)
    const size_t bad = c.JumpAhead(0x75);
    c.Print("OK");
    const size_t done = c.JumpAhead(0xEB);
    c.Land(bad);
    c.Print("BAD");
    c.Land(done);
  }
  c.Emit({0xB0, kDebugExitValue});  // mov al,value
  c.Emit({0xE6, 0xF4});             // out 0xF4,al     ; isa-debug-exit
  const size_t halt = c.Here();
  c.Emit({0xFA, 0xF4});  // cli ; hlt
  c.JumpBack(0xEB, halt);
  EXPECT_LE(c.Here(), static_cast<size_t>(last)) << "the program must end before the last loaded sector";
  image.replace(0, c.Here(), c.bytes());
  const std::string text = LastLoadedText(load_size) + '\0';
  image.replace(static_cast<size_t>(last), text.size(), text);
  return image;
}

struct NoEmulationCase {
  const char* name;
  size_t bytes;   // the boot image's size
  int load_size;  // --boot-load-size; 0 when not given (4)
  bool table;     // --boot-info-table
  bool quick;     // --quick: the one-pass writer
};

void PrintTo(const NoEmulationCase& c, std::ostream* os) { *os << c.name; }

class BootNoEmulationTest : public ::testing::TestWithParam<NoEmulationCase> {
 protected:
  void SetUp() override {
    REQUIRE_TOOLS("xorriso");
    const NoEmulationCase& c = GetParam();
    image = NoEmulationImage(c.bytes, LoadSize(), c.table);
    WriteFile(dir / "boot.bin", image);
    MakeTree(dir / "src", {{"readme.txt", "no emulation\n"}, {"data/after.bin", Bytes(9000, 43)}});
    std::vector<std::string> args = {"-o", dir / "x.iso", "--boot", dir / "boot.bin", "--boot-emulation", "none"};
    if (c.load_size != 0) args.insert(args.end(), {"--boot-load-size", std::to_string(c.load_size)});
    if (c.table) args.push_back("--boot-info-table");
    if (c.quick) args.push_back("--quick");
    args.push_back(dir / "src");
    made = MakeIso(args);
    ASSERT_EQ(made.status, 0) << Describe(made);
  }
  int LoadSize() const { return GetParam().load_size != 0 ? GetParam().load_size : 4; }

  TempDir dir;
  std::string image;
  RunResult made;
};

TEST_P(BootNoEmulationTest, CatalogAndImageAsTheBiosReadsThem) {
  const NoEmulationCase& c = GetParam();
  const IsoImage iso(dir / "x.iso");
  const uint32_t catalog = iso.CatalogLba();
  const uint32_t load = catalog + 1;
  ExpectCatalog(iso.Catalog(), 0, load, static_cast<uint32_t>(LoadSize()));

  const XorrisoBoot report = XorrisoElTorito(dir / "x.iso");
  EXPECT_EQ(report.images, 1);
  EXPECT_EQ(report.platform, "BIOS");
  EXPECT_EQ(report.bootable, "y");
  EXPECT_EQ(report.emulation, "none");
  EXPECT_EQ(report.load_segment, "0x0000");
  EXPECT_EQ(report.load_size, LoadSize());
  EXPECT_EQ(report.lba, load);

  // The whole file goes onto the disc, the table over its bytes 8-63 only;
  // the source file is left as it was.
  const std::string expected = c.table ? WithBootInfoTable(image, 16, load) : image;
  const auto sectors = static_cast<uint32_t>(SectorsFor(image.size()));
  EXPECT_TRUE(SameBytes(iso.Sectors(load, sectors), PadToCdSectors(expected)));
  EXPECT_TRUE(SameBytes(ReadFile(dir / "boot.bin"), image)) << "the source boot image was changed";
  EXPECT_THAT(made.out, HasSubstr("(sans émulation, " + std::to_string(LoadSize()) + " secteurs de 512 octets chargés" +
                                  (c.table ? ", table d'informations de démarrage)" : ")")));

  // The files follow the boot image, whole.
  const std::map<std::string, Extent> extents = FileExtents(dir / "x.iso");
  ASSERT_EQ(extents.count("/data/after.bin"), 1u);
  const Extent after = extents.at("/data/after.bin");
  EXPECT_GE(after.lba, std::max(kFirstDataLba, load + sectors));
  EXPECT_TRUE(SameBytes(iso.Sectors(after.lba, after.blocks).substr(0, 9000), Bytes(9000, 43)));
}

TEST_P(BootNoEmulationTest, BootsInQemu) {
  REQUIRE_TOOLS("qemu-system-x86_64");
  const uint32_t load = IsoImage(dir / "x.iso").CatalogLba() + 1;
  std::string expected = kNoEmulationWord + LastLoadedText(LoadSize());
  if (GetParam().table)
    expected += " PVD=" + Hex32(16) + " LBA=" + Hex32(load) + " LEN=" + Hex32(static_cast<uint32_t>(image.size())) +
                " CK=OK";
  const QemuBoot boot = BootFromCd(dir / "x.iso");
  ASSERT_FALSE(boot.run.timed_out) << "QEMU still running after " << kQemuSeconds << " s; serial so far: \""
                                   << boot.run.out << "\"";
  EXPECT_THAT(boot.run.out, HasSubstr(expected))
      << "without the last sector's text the BIOS did not load every sector the catalog asks for; stderr: "
      << boot.run.err;
  EXPECT_EQ(boot.run.status, kQemuExitStatus) << "the boot program did not reach its end";
}

INSTANTIATE_TEST_SUITE_P(
    Boot, BootNoEmulationTest,
    ::testing::Values(NoEmulationCase{"DefaultLoadSize", 3000, 0, false, false},
                      // 6141 bytes: the checksum's last word is cut short.
                      NoEmulationCase{"LoadSize12WithTable", 6141, 12, true, false},
                      NoEmulationCase{"LoadSize12WithTableQuick", 6141, 12, true, true},
                      NoEmulationCase{"WholeSectorsWithTable", 8192, 16, true, false}),
    [](const auto& test_info) { return std::string(test_info.param.name); });

// The no-emulation options: refused where they cannot apply, or with values
// out of range; a load size past the image is said.
struct NoEmulationOptionCase {
  const char* name;
  std::vector<std::string> options;  // after --boot IMAGE
  size_t boot_bytes;
  int status;
  std::string said;    // on stderr; "" for nothing to check
  int sector_count;    // the catalog's, when an image is made
};

void PrintTo(const NoEmulationOptionCase& c, std::ostream* os) { *os << c.name; }

class BootNoEmulationOptionTest : public ::testing::TestWithParam<NoEmulationOptionCase> {};

TEST_P(BootNoEmulationOptionTest, RefusedOrApplied) {
  const NoEmulationOptionCase& c = GetParam();
  TempDir dir;
  MakeTree(dir / "src", {{"a.txt", "a"}});
  const std::string boot = Bytes(c.boot_bytes, 47);
  WriteFile(dir / "boot.bin", boot);
  std::vector<std::string> args = {"-o", dir / "x.iso", "--boot", dir / "boot.bin"};
  args.insert(args.end(), c.options.begin(), c.options.end());
  args.push_back(dir / "src");
  const RunResult r = MakeIso(args);
  ASSERT_EQ(r.status, c.status) << Describe(r);
  if (!c.said.empty()) {
    EXPECT_THAT(r.err, HasSubstr(c.said)) << Describe(r);
  }
  if (c.status != 0) {
    EXPECT_FALSE(fs::exists(dir / "x.iso"));
    return;
  }
  const IsoImage iso(dir / "x.iso");
  const uint32_t load = iso.CatalogLba() + 1;
  ExpectCatalog(iso.Catalog(), 0, load, static_cast<uint32_t>(c.sector_count));
  const bool table = std::find(c.options.begin(), c.options.end(), "--boot-info-table") != c.options.end();
  const std::string expected = table ? WithBootInfoTable(boot, 16, load) : boot;
  EXPECT_TRUE(SameBytes(iso.Sectors(load, static_cast<uint32_t>(SectorsFor(boot.size()))), PadToCdSectors(expected)));
}

const std::string kLoadSizeRange = "--boot-load-size attend un nombre de secteurs de 512\u00A0octets, de 1 à 65535";
const std::string kOnlyWithoutEmulation = " ne s'applique qu'à une image de démarrage sans émulation\u00A0: ajoutez ";

INSTANTIATE_TEST_SUITE_P(
    Boot, BootNoEmulationOptionTest,
    ::testing::Values(
        NoEmulationOptionCase{"LoadSizeZero", {"--boot-emulation", "none", "--boot-load-size", "0"}, 2048, 2,
                              kLoadSizeRange, 0},
        NoEmulationOptionCase{"LoadSizeOver65535", {"--boot-emulation", "none", "--boot-load-size", "65536"}, 2048, 2,
                              kLoadSizeRange, 0},
        NoEmulationOptionCase{"LoadSizeNotANumber", {"--boot-emulation", "none", "--boot-load-size", "4x"}, 2048, 2,
                              kLoadSizeRange, 0},
        NoEmulationOptionCase{"LoadSizeNegative", {"--boot-emulation", "none", "--boot-load-size", "-4"}, 2048, 2,
                              kLoadSizeRange, 0},
        NoEmulationOptionCase{"LoadSizeForAHardDisk", {"--boot-emulation", "hd", "--boot-load-size", "4"}, 2048, 2,
                              "--boot-load-size" + kOnlyWithoutEmulation + "--boot-emulation none", 0},
        NoEmulationOptionCase{"LoadSizeWithoutEmulationChosen", {"--boot-load-size", "4"}, 2048, 2,
                              "--boot-load-size" + kOnlyWithoutEmulation + "--boot-emulation none", 0},
        NoEmulationOptionCase{"TableForADiskette", {"--boot-emulation", "floppy", "--boot-info-table"}, 1474560, 2,
                              "--boot-info-table" + kOnlyWithoutEmulation + "--boot-emulation none", 0},
        NoEmulationOptionCase{"TableOnAnImageTooShort", {"--boot-emulation", "none", "--boot-info-table"}, 63, 1,
                              "n'a que 63 octets", 0},
        NoEmulationOptionCase{"TableOnAnImageOf64Bytes", {"--boot-emulation", "none", "--boot-info-table"}, 64, 0, "",
                              4},
        NoEmulationOptionCase{"LoadSizeOne", {"--boot-emulation", "none", "--boot-load-size", "1"}, 2048, 0, "", 1},
        NoEmulationOptionCase{"LoadSizePastTheImage",
                              {"--boot-emulation", "none", "--boot-load-size", "65535", "--boot-info-table"},
                              2049, 0,
                              "le BIOS chargera 65535 secteurs de 512\u00A0octets (--boot-load-size), "
                              "au-delà de ses 8.",
                              65535}),
    [](const auto& test_info) { return std::string(test_info.param.name); });

// A second session burnt on an emulated CD-R with the table: its primary
// descriptor is not at sector 16, and the table names the session's own; the
// verification after the burn, and verify later, expect the table's bytes on
// the disc, not the source file's.
TEST(BootNoEmulationBurnTest, SecondSessionTableNamesItsOwnDescriptorAndVerifies) {
  TempDir dir;
  MakeTree(dir / "one", {{"first.txt", "first session\n"}});
  MakeTree(dir / "two", {{"second.txt", "second session\n"}});
  const std::string image = NoEmulationImage(6141, 12, true);
  WriteFile(dir / "boot.bin", image);
  const std::string drive = "cd-r:" + (dir / "disc.img");
  RunResult r = test::Run(CliOn(drive, {"burn", dir / "one"}), kToolSeconds);
  ASSERT_EQ(r.status, 0) << Describe(r);
  const std::vector<std::string> boot = {"--boot", dir / "boot.bin", "--boot-emulation", "none",
                                         "--boot-load-size", "12", "--boot-info-table"};
  std::vector<std::string> args = {"burn"};
  args.insert(args.end(), boot.begin(), boot.end());
  args.push_back(dir / "two");
  r = test::Run(CliOn(drive, args, ReadBack::kVerify), kToolSeconds);
  ASSERT_EQ(r.status, 0) << Describe(r) << "\n(a difference found by --verify fails the burn)";
  EXPECT_TRUE(SameBytes(ReadFile(dir / "boot.bin"), image)) << "the source boot image was changed";

  // The second session's primary descriptor: the last one on the disc.
  const std::string disc = ReadFile(dir / "disc.img");
  uint32_t primary = 0;
  for (size_t at = 17 * kCdSector; at + kCdSector <= disc.size(); at += kCdSector) {
    if (disc.compare(at, 7, std::string("\x01" "CD001\x01", 7)) == 0) primary = static_cast<uint32_t>(at / kCdSector);
  }
  ASSERT_GT(primary, 16u) << "no second session found on the disc";
  const std::string record = disc.substr((primary + 1) * kCdSector, kCdSector);
  ASSERT_EQ(record.substr(7, 23), "EL TORITO SPECIFICATION") << "the boot record follows the primary descriptor";
  const uint32_t catalog = Le32(record, 71);
  const std::string entries = disc.substr(catalog * kCdSector, kCdSector);
  ExpectCatalog(entries, 0, Le32(entries, 40), 12);
  const uint32_t load = Le32(entries, 40);
  EXPECT_EQ(load, catalog + 1);
  EXPECT_TRUE(SameBytes(disc.substr(load * kCdSector, 3 * kCdSector),
                        PadToCdSectors(WithBootInfoTable(image, primary, load))));

  args = {"verify"};
  args.insert(args.end(), boot.begin(), boot.end());
  args.push_back(dir / "two");
  r = test::Run(CliOn(drive, args), kToolSeconds);
  EXPECT_EQ(r.status, 0) << Describe(r);
}

}  // namespace
}  // namespace zamo::test
