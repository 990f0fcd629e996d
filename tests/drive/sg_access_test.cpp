// The component over the SG_IO back end with its ioctl and open(2) replaced:
// every failure below SCSI ends a command at once with its French reason and
// the flags a job decides on; drives that cannot be opened, or only for
// reading, are listed with why; the transfer limit comes from sysfs; the
// exclusive handle of a job is held and let go on every path.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "burner/drive/scsi_device.h"
#include "tests/drive/fake_sysfs.h"

namespace zamo {
namespace {

using Clock = std::chrono::steady_clock;

class SgAccessTest : public test::SgFixture {
 protected:
  // One drive at 0:0:0 (sr0), installed and selected by a fresh component.
  TLinuxSgBackEnd* Ready() {
    AddNode("sr0", "0:0:0:0");
    TLinuxSgBackEnd* back_end = Install();
    device_ = std::make_unique<TSCSIDevice>(nullptr);
    EXPECT_EQ(device_->Devices.size(), 1u);
    if (!device_->Devices.empty()) device_->SelectDevice(device_->Devices[0]);
    seen.clear();
    opens.clear();
    return back_end;
  }
  // A text of messages.h with the drive's node in place of %s.
  std::string WithNode(const std::string& format) {
    const std::string node = Node("sr0");
    std::string text = format;
    text.replace(text.find("%s"), 2, node);
    return text;
  }
  static bool Closed(int fd) { return fcntl(fd, F_GETFD) == -1; }
  static int OpenDescriptors() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
    return count;
  }

  std::unique_ptr<TSCSIDevice> device_;
};

// ---------------------------------------------------------------------------
// An errno of the ioctl: the reason in the user's words, no sense, no busy,
// a transport failure; only ETIMEDOUT is a time-out.

struct ErrnoCase {
  const char* name;
  int error;
  const char* text;  // %s: the node
  bool timed_out;
};

class SgErrnoTest : public SgAccessTest, public ::testing::WithParamInterface<ErrnoCase> {};

TEST_P(SgErrnoTest, EndsTheCommandWithItsReason) {
  Ready();
  const ErrnoCase& c = GetParam();
  reply = [&c](sg_io_hdr_t*) { return errno = c.error, -1; };
  uint8_t block[2048] = {};
  const auto start = Clock::now();
  EXPECT_FALSE(device_->Write10(0, 1, block, sizeof block, kFlagsOut));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(device_->LastError, WithNode(c.text));
  EXPECT_TRUE(device_->LastFailureIsTransport());
  EXPECT_EQ(device_->LastCommandTimedOut, c.timed_out);
  EXPECT_FALSE(device_->TargetBusy) << "nothing to retry";
  EXPECT_EQ(device_->LastAsc(), 0);
  EXPECT_EQ(device_->LastSenseKey(), 0);
  // The next command that succeeds leaves no trace of it.
  reply = nullptr;
  EXPECT_TRUE(device_->TestUnitReady(5000));
  EXPECT_FALSE(device_->LastFailureIsTransport());
  EXPECT_FALSE(device_->LastCommandTimedOut);
  EXPECT_EQ(device_->LastError, "");
}

INSTANTIATE_TEST_SUITE_P(
    Errnos, SgErrnoTest,
    ::testing::Values(
        ErrnoCase{"EACCES", EACCES,
                  "ACCÈS REFUSÉ AU GRAVEUR %s: AJOUTEZ L'UTILISATEUR AU GROUPE cdrom (OU LANCEZ LE PROGRAMME AVEC LES "
                  "DROITS NÉCESSAIRES)",
                  false},
        ErrnoCase{"EPERM", EPERM,
                  "ACCÈS REFUSÉ AU GRAVEUR %s: AJOUTEZ L'UTILISATEUR AU GROUPE cdrom (OU LANCEZ LE PROGRAMME AVEC LES "
                  "DROITS NÉCESSAIRES)",
                  false},
        ErrnoCase{"EBUSY", EBUSY, "LE GRAVEUR EST UTILISÉ PAR UN AUTRE PROGRAMME (%s)", false},
        ErrnoCase{"ENOMEDIUM", ENOMEDIUM, "AUCUN DISQUE DANS LE GRAVEUR %s", false},
        ErrnoCase{"ENODEV", ENODEV, "LE GRAVEUR %s A ÉTÉ DÉCONNECTÉ", false},
        ErrnoCase{"ENXIO", ENXIO, "LE GRAVEUR %s A ÉTÉ DÉCONNECTÉ", false},
        ErrnoCase{"EIO", EIO, "ERREUR D'ENTRÉE/SORTIE DU GRAVEUR %s OU DE SON CÂBLE", false},
        ErrnoCase{"EROFS", EROFS, "LE SYSTÈME N'OUVRE LE GRAVEUR %s QU'EN LECTURE", false},
        ErrnoCase{"ETIMEDOUT", ETIMEDOUT, "LE GRAVEUR %s NE RÉPOND PAS", true},
        ErrnoCase{"EINVAL", EINVAL, "LE SYSTÈME REFUSE LA COMMANDE AU GRAVEUR %s (ERREUR EINVAL)", false}),
    [](const ::testing::TestParamInfo<ErrnoCase>& param) { return std::string(param.param.name); });

// ---------------------------------------------------------------------------
// Host, driver and SCSI status as SG_IO returns them.

struct StatusCase {
  const char* name;
  uint16_t host, driver;
  uint8_t scsi;
  std::vector<uint8_t> sense;
  const char* text;
  bool transport, timed_out, busy;
};

class SgStatusTest : public SgAccessTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(SgStatusTest, GivesTheTextAndFlagsAJobDecidesOn) {
  Ready();
  const StatusCase& c = GetParam();
  reply = [&c](sg_io_hdr_t* hdr) {
    hdr->host_status = c.host;
    hdr->driver_status = c.driver;
    hdr->status = c.scsi;
    std::memcpy(hdr->sbp, c.sense.data(), std::min<size_t>(c.sense.size(), hdr->mx_sb_len));
    hdr->sb_len_wr = static_cast<unsigned char>(std::min<size_t>(c.sense.size(), hdr->mx_sb_len));
    return 0;
  };
  uint8_t block[2048] = {};
  EXPECT_FALSE(device_->Write10(16, 1, block, sizeof block, kFlagsOut));
  EXPECT_EQ(device_->LastError, c.text);
  EXPECT_EQ(device_->LastFailureIsTransport(), c.transport);
  EXPECT_EQ(device_->LastCommandTimedOut, c.timed_out);
  EXPECT_EQ(device_->TargetBusy, c.busy);
}

const std::vector<uint8_t> kNoSense;

INSTANTIATE_TEST_SUITE_P(
    Statuses, SgStatusTest,
    ::testing::Values(
        StatusCase{"KernelTimeOut", 0x03, 0, 0, kNoSense, "COMMAND TIMEOUT (LE GRAVEUR NE RÉPOND PAS)", true, true,
                   false},
        StatusCase{"DriverTimeOut", 0, 0x06, 0, kNoSense, "COMMAND TIMEOUT (LE GRAVEUR NE RÉPOND PAS)", true, true,
                   false},
        StatusCase{"NoConnect", 0x01, 0, 0, kNoSense, "SELECTION TIMEOUT (LE GRAVEUR EST DÉCONNECTÉ OU ÉTEINT)", true,
                   false, false},
        StatusCase{"BadTarget", 0x04, 0, 0, kNoSense, "SELECTION TIMEOUT (LE GRAVEUR EST DÉCONNECTÉ OU ÉTEINT)", true,
                   false, false},
        StatusCase{"HostError", 0x07, 0, 0, kNoSense,
                   "UNEXPECTED BUS FREE (ERREUR DE TRANSMISSION AVEC LE GRAVEUR: CÂBLE OU CONTRÔLEUR)", true, false,
                   false},
        StatusCase{"DriverError", 0, 0x04, 0, kNoSense,
                   "UNEXPECTED BUS FREE (ERREUR DE TRANSMISSION AVEC LE GRAVEUR: CÂBLE OU CONTRÔLEUR)", true, false,
                   false},
        StatusCase{"Reset", 0x08, 0, 0, kNoSense, "BUS RESET (LE GRAVEUR A ÉTÉ RÉINITIALISÉ PENDANT LA COMMANDE)",
                   true, false, false},
        StatusCase{"Abort", 0x05, 0, 0, kNoSense, "SRB TIMEOUT (LE SYSTÈME A ABANDONNÉ LA COMMANDE)", true, false,
                   false},
        StatusCase{"SenseLost", 0, 0x08, 0x02, kNoSense,
                   "REQUEST SENSE FAILED (LE GRAVEUR A SIGNALÉ UNE ERREUR SANS EN DONNER LA CAUSE)", true, false,
                   false},
        // The drive's own answers: what a job may retry or report as MMC says.
        StatusCase{"FixedSense", 0, 0x08, 0x02, test::FixedSense(2, 0x04, 0x08),
                   "PAS PRÊT (LOGICAL UNIT NOT READY, LONG WRITE IN PROGRESS)", false, false, false},
        StatusCase{"DescriptorSense", 0, 0x08, 0x02, {0x72, 0x05, 0x21, 0x02, 0, 0, 0, 0},
                   "REQUÊTE ILLÉGALE (INVALID ADDRESS FOR WRITE)", false, false, false},
        StatusCase{"Busy", 0, 0, 0x08, kNoSense, "CIBLE OCCUPÉE", false, false, true},
        StatusCase{"BusBusy", 0x02, 0, 0, kNoSense, "CIBLE OCCUPÉE", false, false, true}),
    [](const ::testing::TestParamInfo<StatusCase>& param) { return std::string(param.param.name); });

// ---------------------------------------------------------------------------
// The device list and how each drive is reached.

TEST_F(SgAccessTest, TransferLimitIsTheSmallestQueueLimitInSysfs) {
  AddNode("sr0", "0:0:0:0");
  AddSysfs("sr0", "queue/max_hw_sectors_kb", "120\n");  // a USB bridge's
  AddSysfs("sr0", "queue/max_sectors_kb", "1024\n");
  AddNode("sr1", "0:0:1:0");
  AddSysfs("sr1", "queue/max_hw_sectors_kb", "32767\n");
  AddSysfs("sr1", "queue/max_sectors_kb", "64\n");
  AddNode("sr2", "0:0:2:0");  // no queue limits: unknown
  AddNode("sr3", "0:0:3:0");
  AddSysfs("sr3", "queue/max_hw_sectors_kb", "1024\n");
  AddSysfs("sr3", "queue/max_segments", "17\n");  // 16 pages fit wherever a buffer starts
  AddNode("sr4", "0:0:4:0");
  AddSysfs("sr4", "queue/max_hw_sectors_kb", "lots\n");
  TLinuxSgBackEnd* back_end = Install();
  EXPECT_EQ(back_end->Access(0, 0, 0).max_transfer_bytes, 120u * 1024);
  EXPECT_EQ(back_end->Access(0, 1, 0).max_transfer_bytes, 64u * 1024);
  EXPECT_EQ(back_end->Access(0, 2, 0).max_transfer_bytes, 0u);
  EXPECT_EQ(back_end->Access(0, 3, 0).max_transfer_bytes, 16u * static_cast<uint32_t>(sysconf(_SC_PAGESIZE)));
  EXPECT_EQ(back_end->Access(0, 4, 0).max_transfer_bytes, 0u) << "a value that is no number is no limit";
  EXPECT_EQ(back_end->Access(0, 7, 0).max_transfer_bytes, 0u);

  TSCSIDevice device(nullptr);
  ASSERT_EQ(device.Devices.size(), 5u);
  device.SelectDevice(device.Devices[0]);
  EXPECT_EQ(device.MaxTransferBytes, 120u * 1024);
  EXPECT_EQ(device.TransferSectors(64), 60u);
  EXPECT_EQ(device.TransferSectors(32), 32u);
  // A transfer longer than the kernel takes never reaches the ioctl, which
  // would fail it with EIO (read as a faulty cable).
  seen.clear();
  std::vector<uint8_t> buffer(61 * 2048);
  EXPECT_FALSE(device.Write10(0, 61, buffer.data(), static_cast<uint32_t>(buffer.size()), kFlagsOut));
  EXPECT_TRUE(seen.empty());
  EXPECT_EQ(device.LastError, "ZONE TAMPON TROP VOLUMINEUSE");
  EXPECT_TRUE(device.LastFailureIsTransport());
  EXPECT_TRUE(device.Write10(0, 60, buffer.data(), 60 * 2048, kFlagsOut));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].length, 60u * 2048);
}

TEST_F(SgAccessTest, DriveThatCannotBeOpenedIsListedWithItsReason) {
  AddNode("sr0", "0:0:0:0");
  AddSysfs("sr0", "device/vendor", "QEMU    \n");
  AddSysfs("sr0", "device/model", "QEMU DVD-ROM    \n");
  AddSysfs("sr0", "device/rev", "2.5+\n");
  AddSysfs("sr0", "device/type", "5\n");
  AddNode("sr1", "0:0:1:0");
  refuse_open = [this](const std::string& node, int) { return node == Node("sr0") ? EACCES : 0; };
  TLinuxSgBackEnd* back_end = Install();
  ASSERT_EQ(back_end->Drives().size(), 2u);
  EXPECT_EQ(seen.size(), 1u) << "only sr1 was asked for its INQUIRY";

  TSCSIDevice device(nullptr);
  const std::string denied = WithNode(
      "ACCÈS REFUSÉ AU GRAVEUR %s: AJOUTEZ L'UTILISATEUR AU GROUPE cdrom (OU LANCEZ LE PROGRAMME AVEC LES DROITS "
      "NÉCESSAIRES)");
  ASSERT_EQ(device.Devices.size(), 2u);
  EXPECT_EQ(device.Devices[0], "0:0:0," + Node("sr0") + ": QEMU    QEMU DVD-ROM    2.5+ (INACCESSIBLE)");
  EXPECT_EQ(device.Devices[1], "0:1:0," + Node("sr1") + ": VENDOR  DRIVE 1         1.00");
  const TDeviceAccess access = device.DeviceAccessOf(device.Devices[0]);
  EXPECT_EQ(access.problem, denied);
  EXPECT_FALSE(access.read_only);
  EXPECT_EQ(device.DeviceAccessOf(device.Devices[1]).problem, "");
  EXPECT_EQ(device.DeviceAccessOf("no address").problem, "");

  // Selected all the same (the address is good); each command says why it fails.
  device.SelectDevice(device.Devices[0]);
  EXPECT_EQ(device.HaId, 0);
  EXPECT_EQ(device.DeviceAccessText, denied);
  EXPECT_FALSE(device.ReadOnlyAccess);
  EXPECT_FALSE(device.TestUnitReady(5000));
  EXPECT_EQ(device.LastError, denied);
  EXPECT_TRUE(device.LastFailureIsTransport());
  EXPECT_EQ(back_end->OpenHandles(), 0);

  // Let in later (the user joined the group): the next command opens it.
  refuse_open = nullptr;
  EXPECT_TRUE(device.TestUnitReady(5000));
  EXPECT_EQ(back_end->Access(0, 0, 0).problem, "");
}

TEST_F(SgAccessTest, DriveWithoutSysfsInquiryFieldsIsStillListed) {
  AddNode("sr0", "0:0:0:0");
  refuse_open = [](const std::string&, int) { return EBUSY; };
  Install();
  TSCSIDevice device(nullptr);
  ASSERT_EQ(device.Devices.size(), 1u);
  EXPECT_EQ(device.Devices[0], "0:0:0," + Node("sr0") + ":" + std::string(30, ' ') + "(INACCESSIBLE)");
  EXPECT_EQ(device.DeviceAccessOf(device.Devices[0]).problem,
            WithNode("LE GRAVEUR EST UTILISÉ PAR UN AUTRE PROGRAMME (%s)"));
}

TEST_F(SgAccessTest, ReadOnlyFallbackIsMarkedAndItsWritesRefusedWithTheReason) {
  AddNode("sr0", "0:0:0:0");
  refuse_open = [](const std::string&, int flags) { return (flags & O_ACCMODE) == O_RDWR ? EACCES : 0; };
  TLinuxSgBackEnd* back_end = Install();
  TSCSIDevice device(nullptr);
  ASSERT_EQ(device.Devices.size(), 1u);
  EXPECT_EQ(device.Devices[0], "0:0:0," + Node("sr0") + ": VENDOR  DRIVE 1         1.00 (LECTURE SEULE)");
  const std::string why = WithNode("OUVERTURE EN ÉCRITURE REFUSÉE POUR %s: AJOUTEZ L'UTILISATEUR AU GROUPE cdrom POUR GRAVER");
  const TDeviceAccess access = back_end->Access(0, 0, 0);
  EXPECT_TRUE(access.read_only);
  EXPECT_EQ(access.problem, why);

  device.SelectDevice(device.Devices[0]);
  EXPECT_EQ(device.HaId, 0) << "list lines with a mark stay selectable";
  EXPECT_TRUE(device.ReadOnlyAccess);
  EXPECT_EQ(device.DeviceAccessText, why);
  // Reads go through the read-only handle; the kernel refuses a WRITE (10)
  // on it with EPERM.
  seen.clear();
  reply = [](sg_io_hdr_t* hdr) { return hdr->cmdp[0] == 0x2A ? (errno = EPERM, -1) : 0; };
  EXPECT_TRUE(device.TestUnitReady(5000));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].access_mode, O_RDONLY);
  uint8_t block[2048] = {};
  EXPECT_FALSE(device.Write10(0, 1, block, sizeof block, kFlagsOut));
  EXPECT_EQ(device.LastError,
            WithNode("ACCÈS REFUSÉ AU GRAVEUR %s: AJOUTEZ L'UTILISATEUR AU GROUPE cdrom (OU LANCEZ LE PROGRAMME AVEC "
                     "LES DROITS NÉCESSAIRES)"));
  EXPECT_TRUE(device.LastFailureIsTransport());
}

// ---------------------------------------------------------------------------
// Exclusive access for a job.

TEST_F(SgAccessTest, ExclusiveHandleCarriesEveryCommandUntilTheLastEnd) {
  TLinuxSgBackEnd* back_end = Ready();
  ASSERT_TRUE(device_->BeginExclusive());
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0].flags & (O_EXCL | O_ACCMODE | O_NONBLOCK), O_EXCL | O_RDWR | O_NONBLOCK);
  const int held = opens[0].fd;
  EXPECT_TRUE(device_->HoldsExclusive());

  // ReleaseHandles asks for a close after every command: not while held,
  // and not after a failure either.
  transport::ReleaseHandles = true;
  EXPECT_TRUE(device_->TestUnitReady(5000));
  reply = [](sg_io_hdr_t*) { return errno = EIO, -1; };
  EXPECT_FALSE(device_->TestUnitReady(5000));
  reply = nullptr;
  device_->LoadEject(true);  // a tray command releases the handle otherwise
  EXPECT_TRUE(device_->TestUnitReady(5000));
  ASSERT_EQ(seen.size(), 4u);
  for (const test::SeenIo& io : seen) EXPECT_EQ(io.fd, held);
  EXPECT_EQ(opens.size(), 1u) << "no second open";
  EXPECT_EQ(back_end->OpenHandles(), 1);

  // Nested holds: the inner end keeps it.
  ASSERT_TRUE(device_->BeginExclusive());
  device_->EndExclusive();
  EXPECT_FALSE(Closed(held));
  device_->EndExclusive();
  EXPECT_TRUE(Closed(held));
  EXPECT_EQ(back_end->OpenHandles(), 0);
  EXPECT_FALSE(device_->HoldsExclusive());
  device_->EndExclusive();  // one too many: nothing happens

  // Back to a handle per command.
  opens.clear();
  transport::ReleaseHandles = true;
  EXPECT_TRUE(device_->TestUnitReady(5000));
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0].flags & O_EXCL, 0);
  EXPECT_EQ(back_end->OpenHandles(), 0);
}

TEST_F(SgAccessTest, ExclusiveHandleIsLetGoOnEveryPathOutOfAJob) {
  TLinuxSgBackEnd* back_end = Ready();
  // A job that ends on a drive unplugged mid-way, then returns early.
  const auto job = [&]() -> bool {
    TExclusiveDevice hold(*device_);
    if (!hold.held()) return false;
    EXPECT_EQ(back_end->OpenHandles(), 1);
    reply = [](sg_io_hdr_t*) { return errno = ENODEV, -1; };
    uint8_t block[2048] = {};
    if (!device_->Write10(0, 1, block, sizeof block, kFlagsOut)) return false;
    ADD_FAILURE() << "the write should have failed";
    return true;
  };
  EXPECT_FALSE(job());
  EXPECT_EQ(device_->LastError, WithNode("LE GRAVEUR %s A ÉTÉ DÉCONNECTÉ"));
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_TRUE(Closed(opens[0].fd));
  EXPECT_EQ(back_end->OpenHandles(), 0);
  EXPECT_FALSE(device_->HoldsExclusive());

  // A shared handle kept between commands goes before the exclusive open
  // (its number may come back for the exclusive one: count descriptors).
  reply = nullptr;
  transport::ReleaseHandles = false;
  const int before = OpenDescriptors();
  EXPECT_TRUE(device_->TestUnitReady(5000));
  EXPECT_EQ(OpenDescriptors(), before + 1);
  {
    TExclusiveDevice hold(*device_);
    ASSERT_TRUE(hold.held());
    EXPECT_EQ(OpenDescriptors(), before + 1);
    EXPECT_EQ(opens.back().flags & O_EXCL, O_EXCL);
    hold.Release();
    EXPECT_EQ(OpenDescriptors(), before);
  }
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(SgAccessTest, ExclusiveOpenRefusedWhileTheDriveIsInUse) {
  TLinuxSgBackEnd* back_end = Ready();
  refuse_open = [](const std::string&, int flags) { return (flags & O_EXCL) != 0 ? EBUSY : 0; };
  {
    TExclusiveDevice hold(*device_);
    EXPECT_FALSE(hold.held());
    EXPECT_EQ(device_->LastError, WithNode("LE GRAVEUR EST UTILISÉ PAR UN AUTRE PROGRAMME (%s)"));
    EXPECT_FALSE(device_->HoldsExclusive());
  }
  EXPECT_EQ(back_end->OpenHandles(), 0);
  EXPECT_EQ(back_end->Access(0, 0, 0).problem, "") << "a refusal is the moment's, not the drive's";
  // The drive still answers shared commands.
  EXPECT_TRUE(device_->TestUnitReady(5000));

  // Nothing selected: nothing to hold.
  TSCSIDevice none(nullptr);
  none.SelectDevice("");
  EXPECT_FALSE(none.BeginExclusive());
  EXPECT_EQ(none.LastError, "AUCUN PÉRIPHÉRIQUE");
}

TEST_F(SgAccessTest, ScanEndsExclusiveAccessAndALaterEndIsHarmless) {
  TLinuxSgBackEnd* back_end = Ready();
  ASSERT_TRUE(device_->BeginExclusive());
  const int held = opens.at(0).fd;
  back_end->Scan();
  EXPECT_TRUE(Closed(held));
  device_->EndExclusive();
  EXPECT_EQ(back_end->OpenHandles(), 0);
  EXPECT_TRUE(device_->TestUnitReady(5000));
}

}  // namespace
}  // namespace zamo
