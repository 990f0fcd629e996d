// Failure texts: request, host adapter and SCSI status, sense keys and the
// additional sense table.
#include "burner/drive/sense.h"

#include <gtest/gtest.h>

#include "burner/drive/scsi_device.h"
#include "tests/drive/fake_backend.h"

namespace zamo {
namespace {

TEST(StatusTextTest, EveryStatusCombination) {
  struct Case {
    uint8_t status, ha, target;
    const char* text;
    bool busy;
  } cases[] = {
      {0, 0, 0, "", false}, {1, 9, 2, "", false},
      {2, 0, 0, "OPÉRATION TERMINÉE PAR L'USAGER", false}, {3, 0, 0, "OPÉRATION TERMINÉE PAR L'USAGER", false},
      {4, 0, 0, "CHECK CONDITION", false}, {4, 0, 2, "CHECK CONDITION", false},
      {4, 0, 8, "CIBLE OCCUPÉE", true}, {4, 0, 0x18, "TARGET RESERVATION CONFLICT", false},
      {4, 0, 0x28, "TARGET QUEUE FULL", false}, {4, 0, 0x30, "INCONNU", false},
      {4, 9, 0, "COMMAND TIMEOUT", false}, {4, 11, 0, "SRB TIMEOUT", false}, {4, 13, 0, "MESSAGE REJECT", false},
      {4, 14, 0, "BUS RESET", false}, {4, 15, 0, "ERREUR DE PARITÉ", false},
      {4, 16, 0, "REQUEST SENSE FAILED", false}, {4, 17, 0, "SELECTION TIMEOUT", false},
      {4, 18, 0, "DATA OVERRUN", false}, {4, 19, 8, "UNEXPECTED BUS FREE", false}, {4, 12, 0, "INCONNU", false},
      {0x80, 0, 0, "REQUÊTE INVALIDE", false}, {0x81, 0, 0, "INVALID HOST ADAPTER", false},
      {0x82, 0, 0, "AUCUN PÉRIPHÉRIQUE", false}, {0xE0, 0, 0, "SRB INVALIDE", false},
      {0xE1, 0, 0, "BUFFER ALIGNMENT", false}, {0xE5, 0, 0, "ASPI OCCUPÉ!", false},
      {0xE6, 0, 0, "ZONE TAMPON TROP VOLUMINEUSE", false}, {0xE2, 0, 0, "INCONNU", false},
  };
  TSCSIDevice device(nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.status) << "/" << int(c.ha) << "/" << int(c.target));
    device.TargetBusy = !c.busy;
    EXPECT_EQ(device.StatusText(c.status, c.ha, c.target), c.text);
    EXPECT_EQ(device.TargetBusy, c.busy);
  }
}

// DescribeError on a CHECK CONDITION with the given sense bytes.
std::string Describe(std::vector<uint8_t> sense, TSCSIDevice& device) {
  TSRB_ExecSCSICmd r{};
  r.SRB_Status = SS_ERR;
  r.SRB_TargStat = STATUS_CHKCOND;
  std::copy(sense.begin(), sense.end(), r.SenseArea);
  device.DescribeError(r);
  return device.LastError;
}

TEST(DescribeErrorTest, SenseKeyAndAdditionalSense) {
  TSCSIDevice device(nullptr);
  using test::FixedSense;
  EXPECT_EQ(Describe(FixedSense(5, 0x24, 0), device), "REQUÊTE ILLÉGALE (CHAMP INVALIDE DANS LE CDB)");
  EXPECT_EQ(Describe(FixedSense(5, 0x24, 0, /*additional_length=*/0), device), "REQUÊTE ILLÉGALE");
  EXPECT_EQ(Describe(FixedSense(3, 0x66, 1), device), "ERREUR DISQUE (102,1)");
  EXPECT_EQ(Describe(FixedSense(2, 0x3A, 1), device), "PAS PRÊT (MEDIUM NOT PRESENT - TRAY CLOSED)");
  EXPECT_EQ(Describe(FixedSense(5, 0x64, 0), device),
            "REQUÊTE ILLÉGALE (MODE ILLÉGAL - INSÉRER CD VIERGE OU EFFACER LES DONNÉES? -  )");
  EXPECT_EQ(Describe(FixedSense(9, 0x00, 0), device), "CHECK CONDITION (NO ADDITIONAL SENSE INFORMATION)");
  EXPECT_EQ(Describe(FixedSense(12, 0x00, 0, 0), device), "CHECK CONDITION");
  EXPECT_EQ(Describe(FixedSense(0x80, 0, 0, 0), device), "FILEMARK");
  EXPECT_EQ(Describe(FixedSense(0x40, 0, 0, 0), device), "FIN DU DISQUE");
  EXPECT_EQ(Describe(FixedSense(0x20, 0, 0, 0), device), "ILLEGAL LENGTH");
  EXPECT_EQ(Describe(FixedSense(0x0B, 0, 0, 0), device), "COMMANDE D'ANNULATION");
  EXPECT_EQ(Describe(FixedSense(0x0F, 0, 0, 0), device), "RÉSERVÉ");

  std::vector<uint8_t> deferred = FixedSense(6, 0x29, 0, 0);
  deferred[0] = 0x71;
  EXPECT_EQ(Describe(deferred, device), "UNIT ATTENTION");
  std::vector<uint8_t> with_valid_bit = FixedSense(3, 0x11, 0);
  with_valid_bit[0] = 0xF0;  // information field valid: still fixed-format sense
  EXPECT_EQ(Describe(with_valid_bit, device), "ERREUR DISQUE (UNRECOVERED READ ERROR)");
  // Descriptor format: key, ASC and ASCQ in bytes 1 to 3, there even
  // without descriptors (additional length 0).
  const std::vector<uint8_t> descriptor = {0x72, 0x03, 0x11, 0x00, 0, 0, 0, 0};
  EXPECT_EQ(Describe(descriptor, device), "ERREUR DISQUE (UNRECOVERED READ ERROR)");
  EXPECT_EQ(Describe({0x72, 0x02, 0x3A, 0x01, 0, 0, 0, 0}, device), "PAS PRÊT (MEDIUM NOT PRESENT - TRAY CLOSED)");
  std::vector<uint8_t> deferred_descriptor = {0x73, 0x02, 0x04, 0x08, 0, 0, 0, 6, 0, 0, 0, 0, 0x3A, 0x00};
  EXPECT_EQ(Describe(deferred_descriptor, device), "PAS PRÊT (LOGICAL UNIT NOT READY, LONG WRITE IN PROGRESS)")
      << "bytes 12-13 belong to a descriptor there";
  EXPECT_EQ(device.LastSenseKey(), 2);
  EXPECT_EQ(device.LastAsc(), 0x04);
  EXPECT_EQ(device.LastAscq(), 0x08);
  EXPECT_TRUE(device.LastDeferredError());
  std::vector<uint8_t> vendor = FixedSense(3, 0x11, 0);
  vendor[0] = 0x7F;
  EXPECT_EQ(Describe(vendor, device), "INCONNU (UNRECOVERED READ ERROR)");
  std::vector<uint8_t> no_response_code = FixedSense(3, 0x11, 0);
  no_response_code[0] = 0;
  EXPECT_EQ(Describe(no_response_code, device), " (UNRECOVERED READ ERROR)");
  EXPECT_EQ(device.LastAsc(), 0x11) << "the sense bytes are kept";
}

TEST(DescribeErrorTest, HostAdapterFailuresKeepTheirStatusTextAndSayTheCause) {
  TSCSIDevice device(nullptr);
  const std::pair<uint8_t, const char*> cases[] = {
      {HASTAT_SEL_TO, "SELECTION TIMEOUT (LE GRAVEUR EST DÉCONNECTÉ OU ÉTEINT)"},
      {HASTAT_TIMEOUT, "COMMAND TIMEOUT (LE GRAVEUR NE RÉPOND PAS)"},
      {HASTAT_BUS_RESET, "BUS RESET (LE GRAVEUR A ÉTÉ RÉINITIALISÉ PENDANT LA COMMANDE)"},
      {HASTAT_BUS_FREE, "UNEXPECTED BUS FREE (ERREUR DE TRANSMISSION AVEC LE GRAVEUR: CÂBLE OU CONTRÔLEUR)"},
      {HASTAT_REQUEST_SENSE_FAILED,
       "REQUEST SENSE FAILED (LE GRAVEUR A SIGNALÉ UNE ERREUR SANS EN DONNER LA CAUSE)"},
      {HASTAT_DO_DU, "DATA OVERRUN"},
  };
  for (const auto& [ha, text] : cases) {
    TSRB_ExecSCSICmd r{};
    r.SRB_Status = SS_ERR;
    r.SRB_HaStat = ha;
    device.DescribeError(r);
    EXPECT_EQ(device.LastError, text);
  }
  // A wait the user cut short blames no drive.
  TSRB_ExecSCSICmd cut{};
  cut.SRB_Status = SS_ERR;
  cut.SRB_HaStat = HASTAT_TIMEOUT;
  device.LastCommandCancelled = true;
  device.DescribeError(cut);
  EXPECT_EQ(device.LastError, "COMMAND TIMEOUT");
}

// Every pair the table must hold, as ASC and inclusive ASCQ ranges.
TEST(AdditionalSenseTableTest, HoldsEveryListedPairInCapitals) {
  const std::vector<std::tuple<int, int, int>> ranges = {
      {0x00, 0x00, 0x00}, {0x00, 0x06, 0x06}, {0x00, 0x11, 0x17}, {0x02, 0, 0}, {0x04, 0, 4}, {0x04, 7, 9},
      {0x05, 0, 0}, {0x06, 0, 0}, {0x07, 0, 0}, {0x08, 0, 4}, {0x09, 0, 4}, {0x0A, 0, 0}, {0x0B, 0, 2},
      {0x0C, 0, 0}, {0x0C, 7, 0x0A}, {0x0D, 0, 5}, {0x11, 0, 2}, {0x11, 5, 6}, {0x11, 0x0D, 0x11},
      {0x14, 0, 1}, {0x15, 0, 2}, {0x17, 0, 5}, {0x17, 7, 9}, {0x18, 0, 6}, {0x18, 8, 8}, {0x1A, 0, 0},
      {0x1B, 0, 0}, {0x1D, 0, 0}, {0x20, 0, 0}, {0x21, 0, 2}, {0x24, 0, 1}, {0x25, 0, 0}, {0x26, 0, 0x0D},
      {0x27, 0, 6}, {0x28, 0, 1}, {0x29, 0, 6}, {0x2A, 0, 5}, {0x2B, 0, 0}, {0x2C, 0, 0}, {0x2C, 3, 4},
      {0x2C, 6, 6}, {0x2E, 0, 0}, {0x2F, 0, 0}, {0x30, 0, 9}, {0x30, 0x10, 0x10}, {0x31, 0, 2}, {0x34, 0, 0},
      {0x35, 0, 4}, {0x37, 0, 0}, {0x39, 0, 0}, {0x3A, 0, 4}, {0x3B, 0x0D, 0x0F}, {0x3B, 0x11, 0x16},
      {0x3D, 0, 0}, {0x3E, 0, 4}, {0x3F, 0, 0x11}, {0x43, 0, 0}, {0x44, 0, 0}, {0x45, 0, 0}, {0x46, 0, 0},
      {0x47, 0, 4}, {0x48, 0, 0}, {0x49, 0, 0}, {0x4A, 0, 0}, {0x4B, 0, 0}, {0x4C, 0, 0}, {0x4E, 0, 0},
      {0x51, 0, 1}, {0x53, 0, 0}, {0x53, 2, 2}, {0x55, 2, 4}, {0x57, 0, 0}, {0x5A, 0, 3}, {0x5B, 0, 3},
      {0x5D, 0, 3}, {0x5D, 0xFF, 0xFF}, {0x5E, 0, 4}, {0x63, 0, 1}, {0x64, 0, 1}, {0x65, 0, 0}, {0x6F, 0, 5},
      {0x72, 0, 5}, {0x73, 0, 6},
  };
  int listed = 0;
  for (auto [asc, first, last] : ranges) {
    for (int ascq = first; ascq <= last; ++ascq, ++listed) {
      const std::string text = AdditionalSenseText(static_cast<uint8_t>(asc), static_cast<uint8_t>(ascq));
      SCOPED_TRACE(testing::Message() << std::hex << asc << "/" << ascq << " " << text);
      EXPECT_FALSE(text.empty());
      EXPECT_EQ(text.find_first_of("abcdefghijklmnopqrstuvwxyz"), std::string::npos);
    }
  }
  EXPECT_EQ(listed, 256);
  EXPECT_EQ(AdditionalSenseCount(), 256) << "nothing beyond the listed pairs";
  EXPECT_STREQ(AdditionalSenseText(0x04, 0x00), "LOGICAL UNIT NOT READY, CAUSE NOT REPORTABLE");
  EXPECT_STREQ(AdditionalSenseText(0x21, 0x00), "LOGICAL BLOCK ADDRESS OUT OF RANGE");
  EXPECT_STREQ(AdditionalSenseText(0x5D, 0xFF), "FAILURE PREDICTION THRESHOLD EXCEEDED (FALSE)");
  EXPECT_STREQ(AdditionalSenseText(0x0C, 0x09), "ERREUR D'ÉCRITURE - LOSS OF STREAMING");
  EXPECT_STREQ(AdditionalSenseText(0x26, 0x02), "VALEUR DE PARAMÈTRE INVALIDE");
  EXPECT_STREQ(AdditionalSenseText(0x04, 0x05), "");
}

}  // namespace
}  // namespace zamo
