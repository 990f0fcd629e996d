// sense.cpp: decoding sense data and describing a failed command. The status
// text comes from the request status and the host adapter and SCSI status
// bytes; a CHECK CONDITION is refined by the sense key, and the additional
// sense code pair is appended in parentheses.
#include "burner/drive/sense.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

#include "burner/drive/messages.h"
#include "burner/drive/scsi_device.h"
#include "burner/platform/str_format.h"

namespace zamo {

namespace {

struct AscEntry {
  uint8_t asc;
  uint8_t ascq;
  const char* text;
};

// Sorted by (ASC, ASCQ). SPC and MMC descriptions (T10 ASC/ASCQ
// assignments), apart from the pairs worded in messages.h.
constexpr AscEntry kAscTable[] = {
    {0x00, 0x00, "NO ADDITIONAL SENSE INFORMATION"},
    {0x00, 0x06, "I/O PROCESS TERMINATED"},
    {0x00, 0x11, "AUDIO PLAY OPERATION IN PROGRESS"},
    {0x00, 0x12, "AUDIO PLAY OPERATION PAUSED"},
    {0x00, 0x13, "AUDIO PLAY OPERATION SUCCESSFULLY COMPLETED"},
    {0x00, 0x14, "AUDIO PLAY OPERATION STOPPED DUE TO ERROR"},
    {0x00, 0x15, "NO CURRENT AUDIO STATUS TO RETURN"},
    {0x00, 0x16, "OPERATION IN PROGRESS"},
    {0x00, 0x17, "CLEANING REQUESTED"},
    {0x02, 0x00, "NO SEEK COMPLETE"},
    {0x04, 0x00, "LOGICAL UNIT NOT READY, CAUSE NOT REPORTABLE"},
    {0x04, 0x01, "LOGICAL UNIT IS IN PROCESS OF BECOMING READY"},
    {0x04, 0x02, "LOGICAL UNIT NOT READY, INITIALIZING COMMAND REQUIRED"},
    {0x04, 0x03, "LOGICAL UNIT NOT READY, MANUAL INTERVENTION REQUIRED"},
    {0x04, 0x04, "LOGICAL UNIT NOT READY, FORMAT IN PROGRESS"},
    {0x04, 0x07, "LOGICAL UNIT NOT READY, OPERATION IN PROGRESS"},
    {0x04, 0x08, "LOGICAL UNIT NOT READY, LONG WRITE IN PROGRESS"},
    {0x04, 0x09, "LOGICAL UNIT NOT READY, SELF-TEST IN PROGRESS"},
    {0x05, 0x00, "LOGICAL UNIT DOES NOT RESPOND TO SELECTION"},
    {0x06, 0x00, "NO REFERENCE POSITION FOUND"},
    {0x07, 0x00, "MULTIPLE PERIPHERAL DEVICES SELECTED"},
    {0x08, 0x00, "LOGICAL UNIT COMMUNICATION FAILURE"},
    {0x08, 0x01, "LOGICAL UNIT COMMUNICATION TIME-OUT"},
    {0x08, 0x02, "LOGICAL UNIT COMMUNICATION PARITY ERROR"},
    {0x08, 0x03, "LOGICAL UNIT COMMUNICATION CRC ERROR (ULTRA-DMA/32)"},
    {0x08, 0x04, "UNREACHABLE COPY TARGET"},
    {0x09, 0x00, "TRACK FOLLOWING ERROR"},
    {0x09, 0x01, "TRACKING SERVO FAILURE"},
    {0x09, 0x02, "FOCUS SERVO FAILURE"},
    {0x09, 0x03, "SPINDLE SERVO FAILURE"},
    {0x09, 0x04, "HEAD SELECT FAULT"},
    {0x0A, 0x00, "ERROR LOG OVERFLOW"},
    {0x0B, 0x00, msg::kAscWarning},
    {0x0B, 0x01, msg::kAscWarningTemperature},
    {0x0B, 0x02, msg::kAscWarningEnclosure},
    {0x0C, 0x00, "WRITE ERROR"},
    {0x0C, 0x07, msg::kAscWriteRecoveryNeeded},
    {0x0C, 0x08, msg::kAscWriteRecoveryFailed},
    {0x0C, 0x09, msg::kAscWriteLossOfStreaming},
    {0x0C, 0x0A, msg::kAscWritePaddingAdded},
    {0x0D, 0x00, "ERROR DETECTED BY THIRD PARTY TEMPORARY INITIATOR"},
    {0x0D, 0x01, "THIRD PARTY DEVICE FAILURE"},
    {0x0D, 0x02, "COPY TARGET DEVICE NOT REACHABLE"},
    {0x0D, 0x03, "INCORRECT COPY TARGET DEVICE TYPE"},
    {0x0D, 0x04, "COPY TARGET DEVICE DATA UNDERRUN"},
    {0x0D, 0x05, "COPY TARGET DEVICE DATA OVERRUN"},
    {0x11, 0x00, "UNRECOVERED READ ERROR"},
    {0x11, 0x01, "READ RETRIES EXHAUSTED"},
    {0x11, 0x02, "ERROR TOO LONG TO CORRECT"},
    {0x11, 0x05, "L-EC UNCORRECTABLE ERROR"},
    {0x11, 0x06, "CIRC UNRECOVERED ERROR"},
    {0x11, 0x0D, "DE-COMPRESSION CRC ERROR"},
    {0x11, 0x0E, "CANNOT DECOMPRESS USING DECLARED ALGORITHM"},
    {0x11, 0x0F, "ERROR READING UPC/EAN NUMBER"},
    {0x11, 0x10, "ERROR READING ISRC NUMBER"},
    {0x11, 0x11, "READ ERROR - LOSS OF STREAMING"},
    {0x14, 0x00, "RECORDED ENTITY NOT FOUND"},
    {0x14, 0x01, msg::kAscRecordNotFound},
    {0x15, 0x00, "RANDOM POSITIONING ERROR"},
    {0x15, 0x01, "MECHANICAL POSITIONING ERROR"},
    {0x15, 0x02, "POSITIONING ERROR DETECTED BY READ OF MEDIUM"},
    {0x17, 0x00, "RECOVERED DATA WITH NO ERROR CORRECTION APPLIED"},
    {0x17, 0x01, "RECOVERED DATA WITH RETRIES"},
    {0x17, 0x02, "RECOVERED DATA WITH POSITIVE HEAD OFFSET"},
    {0x17, 0x03, "RECOVERED DATA WITH NEGATIVE HEAD OFFSET"},
    {0x17, 0x04, "RECOVERED DATA WITH RETRIES AND/OR CIRC APPLIED"},
    {0x17, 0x05, "RECOVERED DATA USING PREVIOUS SECTOR ID"},
    {0x17, 0x07, "RECOVERED DATA WITHOUT ECC - RECOMMEND REASSIGNMENT"},
    {0x17, 0x08, "RECOVERED DATA WITHOUT ECC - RECOMMEND REWRITE"},
    {0x17, 0x09, "RECOVERED DATA WITHOUT ECC - DATA REWRITTEN"},
    {0x18, 0x00, "RECOVERED DATA WITH ERROR CORRECTION APPLIED"},
    {0x18, 0x01, "RECOVERED DATA WITH ERROR CORR. & RETRIES APPLIED"},
    {0x18, 0x02, "RECOVERED DATA - DATA AUTO-REALLOCATED"},
    {0x18, 0x03, "RECOVERED DATA WITH CIRC"},
    {0x18, 0x04, "RECOVERED DATA WITH L-EC"},
    {0x18, 0x05, "RECOVERED DATA - RECOMMEND REASSIGNMENT"},
    {0x18, 0x06, "RECOVERED DATA - RECOMMEND REWRITE"},
    {0x18, 0x08, "RECOVERED DATA WITH LINKING"},
    {0x1A, 0x00, "PARAMETER LIST LENGTH ERROR"},
    {0x1B, 0x00, "SYNCHRONOUS DATA TRANSFER ERROR"},
    {0x1D, 0x00, "MISCOMPARE DURING VERIFY OPERATION"},
    {0x20, 0x00, "INVALID COMMAND OPERATION CODE"},
    {0x21, 0x00, "LOGICAL BLOCK ADDRESS OUT OF RANGE"},
    {0x21, 0x01, "INVALID ELEMENT ADDRESS"},
    {0x21, 0x02, "INVALID ADDRESS FOR WRITE"},
    {0x24, 0x00, msg::kAscInvalidFieldInCdb},
    {0x24, 0x01, "CDB DECRYPTION ERROR"},
    {0x25, 0x00, msg::kAscLunNotSupported},
    {0x26, 0x00, msg::kAscInvalidFieldInList},
    {0x26, 0x01, msg::kAscParameterNotSupported},
    {0x26, 0x02, msg::kAscParameterValueInvalid},
    {0x26, 0x03, "THRESHOLD PARAMETERS NOT SUPPORTED"},
    {0x26, 0x04, "INVALID RELEASE OF PERSISTENT RESERVATION"},
    {0x26, 0x05, "DATA DECRYPTION ERROR"},
    {0x26, 0x06, "TOO MANY TARGET DESCRIPTORS"},
    {0x26, 0x07, "UNSUPPORTED TARGET DESCRIPTOR TYPE CODE"},
    {0x26, 0x08, "TOO MANY SEGMENT DESCRIPTORS"},
    {0x26, 0x09, "UNSUPPORTED SEGMENT DESCRIPTOR TYPE CODE"},
    {0x26, 0x0A, "UNEXPECTED INEXACT SEGMENT"},
    {0x26, 0x0B, "INLINE DATA LENGTH EXCEEDED"},
    {0x26, 0x0C, "INVALID OPERATION FOR COPY SOURCE OR DESTINATION"},
    {0x26, 0x0D, "COPY SEGMENT GRANULARITY VIOLATION"},
    {0x27, 0x00, "WRITE PROTECTED"},
    {0x27, 0x01, "HARDWARE WRITE PROTECTED"},
    {0x27, 0x02, "LOGICAL UNIT SOFTWARE WRITE PROTECTED"},
    {0x27, 0x03, "ASSOCIATED WRITE PROTECT"},
    {0x27, 0x04, "PERSISTENT WRITE PROTECT"},
    {0x27, 0x05, "PERMANENT WRITE PROTECT"},
    {0x27, 0x06, "CONDITIONAL WRITE PROTECT"},
    {0x28, 0x00, "NOT READY TO READY CHANGE, MEDIUM MAY HAVE CHANGED"},
    {0x28, 0x01, "IMPORT OR EXPORT ELEMENT ACCESSED"},
    {0x29, 0x00, "POWER ON, RESET, OR BUS DEVICE RESET OCCURRED"},
    {0x29, 0x01, "POWER ON OCCURRED"},
    {0x29, 0x02, "SCSI BUS RESET OCCURRED"},
    {0x29, 0x03, "BUS DEVICE RESET FUNCTION OCCURRED"},
    {0x29, 0x04, "DEVICE INTERNAL RESET"},
    {0x29, 0x05, "TRANSCEIVER MODE CHANGED TO SINGLE-ENDED"},
    {0x29, 0x06, "TRANSCEIVER MODE CHANGED TO LVD"},
    {0x2A, 0x00, "PARAMETERS CHANGED"},
    {0x2A, 0x01, "MODE PARAMETERS CHANGED"},
    {0x2A, 0x02, "LOG PARAMETERS CHANGED"},
    {0x2A, 0x03, "RESERVATIONS PREEMPTED"},
    {0x2A, 0x04, "RESERVATIONS RELEASED"},
    {0x2A, 0x05, "REGISTRATIONS PREEMPTED"},
    {0x2B, 0x00, "COPY CANNOT EXECUTE SINCE HOST CANNOT DISCONNECT"},
    {0x2C, 0x00, "COMMAND SEQUENCE ERROR"},
    {0x2C, 0x03, "CURRENT PROGRAM AREA IS NOT EMPTY"},
    {0x2C, 0x04, "CURRENT PROGRAM AREA IS EMPTY"},
    {0x2C, 0x06, "PERSISTENT PREVENT CONFLICT"},
    {0x2E, 0x00, "INSUFFICIENT TIME FOR OPERATION"},
    {0x2F, 0x00, "COMMANDS CLEARED BY ANOTHER INITIATOR"},
    {0x30, 0x00, "INCOMPATIBLE MEDIUM INSTALLED"},
    {0x30, 0x01, "CANNOT READ MEDIUM - UNKNOWN FORMAT"},
    {0x30, 0x02, "CANNOT READ MEDIUM - INCOMPATIBLE FORMAT"},
    {0x30, 0x03, "CLEANING CARTRIDGE INSTALLED"},
    {0x30, 0x04, "CANNOT WRITE MEDIUM - UNKNOWN FORMAT"},
    {0x30, 0x05, "CANNOT WRITE MEDIUM - INCOMPATIBLE FORMAT"},
    {0x30, 0x06, "CANNOT FORMAT MEDIUM - INCOMPATIBLE MEDIUM"},
    {0x30, 0x07, "CLEANING FAILURE"},
    {0x30, 0x08, "CANNOT WRITE - APPLICATION CODE MISMATCH"},
    {0x30, 0x09, "CURRENT SESSION NOT FIXATED FOR APPEND"},
    {0x30, 0x10, "MEDIUM NOT FORMATTED"},
    {0x31, 0x00, "MEDIUM FORMAT CORRUPTED"},
    {0x31, 0x01, "FORMAT COMMAND FAILED"},
    {0x31, 0x02, "ZONED FORMATTING FAILED DUE TO SPARE LINKING"},
    {0x34, 0x00, "ENCLOSURE FAILURE"},
    {0x35, 0x00, "ENCLOSURE SERVICES FAILURE"},
    {0x35, 0x01, "UNSUPPORTED ENCLOSURE FUNCTION"},
    {0x35, 0x02, "ENCLOSURE SERVICES UNAVAILABLE"},
    {0x35, 0x03, "ENCLOSURE SERVICES TRANSFER FAILURE"},
    {0x35, 0x04, "ENCLOSURE SERVICES TRANSFER REFUSED"},
    {0x37, 0x00, "ROUNDED PARAMETER"},
    {0x39, 0x00, "SAVING PARAMETERS NOT SUPPORTED"},
    {0x3A, 0x00, "MEDIUM NOT PRESENT"},
    {0x3A, 0x01, "MEDIUM NOT PRESENT - TRAY CLOSED"},
    {0x3A, 0x02, "MEDIUM NOT PRESENT - TRAY OPEN"},
    {0x3A, 0x03, "MEDIUM NOT PRESENT - LOADABLE"},
    {0x3A, 0x04, "MEDIUM NOT PRESENT - MEDIUM AUXILIARY MEMORY ACCESSIBLE"},
    {0x3B, 0x0D, "MEDIUM DESTINATION ELEMENT FULL"},
    {0x3B, 0x0E, "MEDIUM SOURCE ELEMENT EMPTY"},
    {0x3B, 0x0F, "END OF MEDIUM REACHED"},
    {0x3B, 0x11, "MEDIUM MAGAZINE NOT ACCESSIBLE"},
    {0x3B, 0x12, "MEDIUM MAGAZINE REMOVED"},
    {0x3B, 0x13, "MEDIUM MAGAZINE INSERTED"},
    {0x3B, 0x14, "MEDIUM MAGAZINE LOCKED"},
    {0x3B, 0x15, "MEDIUM MAGAZINE UNLOCKED"},
    {0x3B, 0x16, "MECHANICAL POSITIONING OR CHANGER ERROR"},
    {0x3D, 0x00, "INVALID BITS IN IDENTIFY MESSAGE"},
    {0x3E, 0x00, "LOGICAL UNIT HAS NOT SELF-CONFIGURED YET"},
    {0x3E, 0x01, "LOGICAL UNIT FAILURE"},
    {0x3E, 0x02, "TIMEOUT ON LOGICAL UNIT"},
    {0x3E, 0x03, "LOGICAL UNIT FAILED SELF-TEST"},
    {0x3E, 0x04, "LOGICAL UNIT UNABLE TO UPDATE SELF-TEST LOG"},
    {0x3F, 0x00, "TARGET OPERATING CONDITIONS HAVE CHANGED"},
    {0x3F, 0x01, "MICROCODE HAS BEEN CHANGED"},
    {0x3F, 0x02, "CHANGED OPERATING DEFINITION"},
    {0x3F, 0x03, "INQUIRY DATA HAS CHANGED"},
    {0x3F, 0x04, "COMPONENT DEVICE ATTACHED"},
    {0x3F, 0x05, "DEVICE IDENTIFIER CHANGED"},
    {0x3F, 0x06, "REDUNDANCY GROUP CREATED OR MODIFIED"},
    {0x3F, 0x07, "REDUNDANCY GROUP DELETED"},
    {0x3F, 0x08, "SPARE CREATED OR MODIFIED"},
    {0x3F, 0x09, "SPARE DELETED"},
    {0x3F, 0x0A, "VOLUME SET CREATED OR MODIFIED"},
    {0x3F, 0x0B, "VOLUME SET DELETED"},
    {0x3F, 0x0C, "VOLUME SET DEASSIGNED"},
    {0x3F, 0x0D, "VOLUME SET REASSIGNED"},
    {0x3F, 0x0E, "REPORTED LUNS DATA HAS CHANGED"},
    {0x3F, 0x0F, "ECHO BUFFER OVERWRITTEN"},
    {0x3F, 0x10, "MEDIUM LOADABLE"},
    {0x3F, 0x11, "MEDIUM AUXILIARY MEMORY ACCESSIBLE"},
    {0x43, 0x00, "MESSAGE ERROR"},
    {0x44, 0x00, "INTERNAL TARGET FAILURE"},
    {0x45, 0x00, "SELECT OR RESELECT FAILURE"},
    {0x46, 0x00, "UNSUCCESSFUL SOFT RESET"},
    {0x47, 0x00, "SCSI PARITY ERROR"},
    {0x47, 0x01, "DATA PHASE CRC ERROR DETECTED"},
    {0x47, 0x02, "SCSI PARITY ERROR DETECTED DURING ST DATA PHASE"},
    {0x47, 0x03, "INFORMATION UNIT IUCRC ERROR DETECTED"},
    {0x47, 0x04, "ASYNCHRONOUS INFORMATION PROTECTION ERROR DETECTED"},
    {0x48, 0x00, "INITIATOR DETECTED ERROR MESSAGE RECEIVED"},
    {0x49, 0x00, "INVALID MESSAGE ERROR"},
    {0x4A, 0x00, "COMMAND PHASE ERROR"},
    {0x4B, 0x00, "DATA PHASE ERROR"},
    {0x4C, 0x00, "LOGICAL UNIT FAILED SELF-CONFIGURATION"},
    {0x4E, 0x00, "OVERLAPPED COMMANDS ATTEMPTED"},
    {0x51, 0x00, "ERASE FAILURE"},
    {0x51, 0x01, "ERASE FAILURE - INCOMPLETE ERASE OPERATION DETECTED"},
    {0x53, 0x00, "MEDIA LOAD OR EJECT FAILED"},
    {0x53, 0x02, "MEDIUM REMOVAL PREVENTED"},
    {0x55, 0x02, "INSUFFICIENT RESERVATION RESOURCES"},
    {0x55, 0x03, "INSUFFICIENT RESOURCES"},
    {0x55, 0x04, "INSUFFICIENT REGISTRATION RESOURCES"},
    {0x57, 0x00, "UNABLE TO RECOVER TABLE-OF-CONTENTS"},
    {0x5A, 0x00, "OPERATOR REQUEST OR STATE CHANGE INPUT"},
    {0x5A, 0x01, "OPERATOR MEDIUM REMOVAL REQUEST"},
    {0x5A, 0x02, "OPERATOR SELECTED WRITE PROTECT"},
    {0x5A, 0x03, "OPERATOR SELECTED WRITE PERMIT"},
    {0x5B, 0x00, "LOG EXCEPTION"},
    {0x5B, 0x01, "THRESHOLD CONDITION MET"},
    {0x5B, 0x02, "LOG COUNTER AT MAXIMUM"},
    {0x5B, 0x03, "LOG LIST CODES EXHAUSTED"},
    {0x5D, 0x00, "FAILURE PREDICTION THRESHOLD EXCEEDED"},
    {0x5D, 0x01, "MEDIA FAILURE PREDICTION THRESHOLD EXCEEDED"},
    {0x5D, 0x02, "LOGICAL UNIT FAILURE PREDICTION THRESHOLD EXCEEDED"},
    {0x5D, 0x03, "SPARE AREA EXHAUSTION PREDICTION THRESHOLD EXCEEDED"},
    {0x5D, 0xFF, "FAILURE PREDICTION THRESHOLD EXCEEDED (FALSE)"},
    {0x5E, 0x00, "LOW POWER CONDITION ON"},
    {0x5E, 0x01, "IDLE CONDITION ACTIVATED BY TIMER"},
    {0x5E, 0x02, "STANDBY CONDITION ACTIVATED BY TIMER"},
    {0x5E, 0x03, "IDLE CONDITION ACTIVATED BY COMMAND"},
    {0x5E, 0x04, "STANDBY CONDITION ACTIVATED BY COMMAND"},
    {0x63, 0x00, "END OF USER AREA ENCOUNTERED ON THIS TRACK"},
    {0x63, 0x01, "PACKET DOES NOT FIT IN AVAILABLE SPACE"},
    {0x64, 0x00, msg::kAscIllegalMode},
    {0x64, 0x01, "INVALID PACKET SIZE"},
    {0x65, 0x00, "VOLTAGE FAULT"},
    {0x6F, 0x00, "COPY PROTECTION KEY EXCHANGE FAILURE - AUTHENTICATION FAILURE"},
    {0x6F, 0x01, "COPY PROTECTION KEY EXCHANGE FAILURE - KEY NOT PRESENT"},
    {0x6F, 0x02, "COPY PROTECTION KEY EXCHANGE FAILURE - KEY NOT ESTABLISHED"},
    {0x6F, 0x03, "READ OF SCRAMBLED SECTOR WITHOUT AUTHENTICATION"},
    {0x6F, 0x04, "MEDIA REGION CODE IS MISMATCHED TO LOGICAL UNIT REGION"},
    {0x6F, 0x05, "DRIVE REGION MUST BE PERMANENT/REGION RESET COUNT ERROR"},
    {0x72, 0x00, "SESSION FIXATION ERROR"},
    {0x72, 0x01, "SESSION FIXATION ERROR WRITING LEAD-IN"},
    {0x72, 0x02, "SESSION FIXATION ERROR WRITING LEAD-OUT"},
    {0x72, 0x03, "SESSION FIXATION ERROR - INCOMPLETE TRACK IN SESSION"},
    {0x72, 0x04, "EMPTY OR PARTIALLY WRITTEN RESERVED TRACK"},
    {0x72, 0x05, "NO MORE TRACK RESERVATIONS ALLOWED"},
    {0x73, 0x00, "CD CONTROL ERROR"},
    {0x73, 0x01, "POWER CALIBRATION AREA ALMOST FULL"},
    {0x73, 0x02, "POWER CALIBRATION AREA IS FULL"},
    {0x73, 0x03, "POWER CALIBRATION AREA ERROR"},
    {0x73, 0x04, "PROGRAM MEMORY AREA UPDATE FAILURE"},
    {0x73, 0x05, "PROGRAM MEMORY AREA IS FULL"},
    {0x73, 0x06, "RMA/PMA IS ALMOST FULL"},
};

constexpr bool Sorted() {
  for (size_t i = 1; i < std::size(kAscTable); ++i) {
    const AscEntry& a = kAscTable[i - 1];
    const AscEntry& b = kAscTable[i];
    if (a.asc > b.asc || (a.asc == b.asc && a.ascq >= b.ascq)) return false;
  }
  return true;
}
static_assert(Sorted(), "the additional sense table is looked up by binary search");

}  // namespace

TSenseFields DecodeSense(std::span<const uint8_t> sense) {
  const auto at = [&sense](size_t i) -> uint8_t { return i < sense.size() ? sense[i] : 0; };
  TSenseFields f;
  f.response_code = at(0) & 0x7F;
  f.recognised = f.response_code >= 0x70 && f.response_code <= 0x73;
  f.descriptor = f.response_code == 0x72 || f.response_code == 0x73;
  f.deferred = f.response_code == 0x71 || f.response_code == 0x73;
  // SPC-4 4.5.2.4.1: a progress indication goes with NO SENSE or NOT READY only.
  const auto progress = [&f](uint8_t sksv, uint8_t high, uint8_t low) {
    if ((sksv & 0x80) != 0 && (f.key == 0x0 || f.key == 0x2)) f.progress = (high << 8) | low;
  };
  if (!f.descriptor) {
    f.key = at(2) & 0x0F;
    f.flags = at(2) & 0xE0;
    f.asc = at(12);
    f.ascq = at(13);
    if (at(7) >= 10) progress(at(15), at(16), at(17));  // the additional length covers bytes 15-17
    return f;
  }
  f.key = at(1) & 0x0F;
  f.asc = at(2);
  f.ascq = at(3);
  // The descriptors follow the 8-byte header, as many as the additional
  // length (byte 7) and the bytes at hand cover.
  const size_t end = std::min(sense.size(), size_t{8} + at(7));
  for (size_t d = 8; d + 4 <= end; d += size_t{2} + at(d + 1)) {
    if (at(d) == 0x04) f.flags = at(d + 3) & 0xE0;  // stream commands: FILEMARK, EOM, ILI
    if (at(d) == 0x05) f.flags = at(d + 3) & 0x20;  // block commands: ILI
    if (at(d) == 0x02 && d + 7 <= end) progress(at(d + 4), at(d + 5), at(d + 6));  // sense-key specific
  }
  return f;
}

const char* AdditionalSenseText(uint8_t asc, uint8_t ascq) {
  const auto key = [](const AscEntry& e) { return (e.asc << 8) | e.ascq; };
  const int wanted = (asc << 8) | ascq;
  const auto* it = std::lower_bound(std::begin(kAscTable), std::end(kAscTable), wanted,
                                    [&](const AscEntry& e, int k) { return key(e) < k; });
  if (it == std::end(kAscTable) || key(*it) != wanted) return "";
  return it->text;
}

int AdditionalSenseCount() { return static_cast<int>(std::size(kAscTable)); }

std::string SenseKeyText(uint8_t byte2) {
  switch (byte2 & 0x0F) {
    case 0x0:
      if (byte2 & 0x80) return msg::kFilemark;
      if (byte2 & 0x40) return msg::kEndOfMedium;
      if (byte2 & 0x20) return msg::kIllegalLength;
      return msg::kNoSense;
    case 0x1: return msg::kRecoveredError;
    case 0x2: return msg::kNotReady;
    case 0x3: return msg::kMediumError;
    case 0x4: return msg::kHardwareError;
    case 0x5: return msg::kIllegalRequest;
    case 0x6: return msg::kUnitAttention;
    case 0x7: return msg::kWriteProtected;
    case 0x8: return msg::kEraseCheck;
    case 0xA: return msg::kCopyAborted;
    case 0xB: return msg::kAbortedCommand;
    case 0xD: return msg::kVolumeOverflow;
    case 0xE: return msg::kMiscompare;
    case 0xF: return msg::kReservedKey;
    default: return {};  // 9 and 12: vendor specific, equal
  }
}

std::string TransportErrorText(int error, const std::string& node) {
  const char* where = node.empty() ? "?" : node.c_str();
  switch (error) {
    case EACCES:
    case EPERM:
      return StrFormat(msg::kAccessDenied, where);
    case EROFS:  // the node's file system is mounted read-only
      return StrFormat(msg::kDriveReadOnlySystem, where);
    case EBUSY:
      return StrFormat(msg::kDriveInUse, where);
    case ENOMEDIUM:
      return StrFormat(msg::kNoMediumInDrive, where);
    case ENODEV:
    case ENXIO:
      return StrFormat(msg::kDriveDisconnected, where);
    case ENOENT:
      return StrFormat(msg::kDriveNodeMissing, where);
    case EIO:
      return StrFormat(msg::kDriveIoError, where);
    case ETIMEDOUT:
      return StrFormat(msg::kDriveNoAnswer, where);
    default: {
      const char* name = strerrorname_np(error);
      return StrFormat(msg::kDriveSystemError, where, name != nullptr ? name : std::to_string(error).c_str());
    }
  }
}

const char* HostStatusCause(uint8_t host_adapter_status) {
  switch (host_adapter_status) {
    case HASTAT_TIMEOUT: return msg::kCauseNoAnswer;
    case HASTAT_COMMAND_TIMEOUT: return msg::kCauseAborted;
    case HASTAT_SEL_TO: return msg::kCauseUnreachable;
    case HASTAT_BUS_RESET: return msg::kCauseReset;
    case HASTAT_MESSAGE_REJECT:
    case HASTAT_PARITY_ERROR:
    case HASTAT_BUS_FREE:
      return msg::kCauseLink;
    case HASTAT_REQUEST_SENSE_FAILED: return msg::kCauseSenseLost;
    default: return "";
  }
}

std::string TSCSIDevice::StatusText(uint8_t Status, uint8_t HostAdapterStatus, uint8_t TargetStatus) {
  TargetBusy = false;
  switch (Status) {
    case SS_PENDING:
    case SS_COMP:
      return {};
    case SS_ABORTED:
    case SS_ABORT_FAIL:
      return msg::kAbortedByUser;
    case SS_ERR:
      break;
    case SS_INVALID_CMD: return msg::kInvalidRequest;
    case SS_INVALID_HA: return msg::kInvalidHostAdapter;
    case SS_NO_DEVICE: return msg::kNoDevice;
    case SS_INVALID_SRB: return msg::kInvalidSrb;
    case SS_BUFFER_ALIGN: return msg::kBufferAlignment;
    case SS_ASPI_IS_BUSY: return msg::kAspiBusy;
    case SS_BUFFER_TO_BIG: return msg::kBufferTooBig;
    default:
      return msg::kUnknown;
  }
  switch (HostAdapterStatus) {
    case HASTAT_OK:
      switch (TargetStatus) {
        case STATUS_GOOD:
        case STATUS_CHKCOND:
          return msg::kCheckCondition;
        case STATUS_BUSY:
          TargetBusy = true;
          return msg::kTargetBusy;
        case STATUS_RESCONF: return msg::kReservationConflict;
        case STATUS_QUEUE_FULL: return msg::kQueueFull;
        default: return msg::kUnknown;
      }
    case HASTAT_TIMEOUT: return msg::kCommandTimeout;
    case HASTAT_COMMAND_TIMEOUT: return msg::kSrbTimeout;
    case HASTAT_MESSAGE_REJECT: return msg::kMessageReject;
    case HASTAT_BUS_RESET: return msg::kBusReset;
    case HASTAT_PARITY_ERROR: return msg::kParityError;
    case HASTAT_REQUEST_SENSE_FAILED: return msg::kRequestSenseFailed;
    case HASTAT_SEL_TO: return msg::kSelectionTimeout;
    case HASTAT_DO_DU: return msg::kDataOverrun;
    case HASTAT_BUS_FREE: return msg::kUnexpectedBusFree;
    default: return msg::kUnknown;
  }
}

void TSCSIDevice::DescribeError(const TSRB_ExecSCSICmd& Request) {
  if (Request.TransportErrno != 0) {
    // Nothing reached the drive, or nothing came back: no status and no
    // sense to describe, only the system's reason.
    TargetBusy = false;
    LastError = TransportErrorText(Request.TransportErrno, GetDevicePath());
    std::memcpy(LastSense, Request.SenseArea, sizeof LastSense);
    return;
  }
  std::string text = StatusText(Request.SRB_Status, Request.SRB_HaStat, Request.SRB_TargStat);
  // A wait the user cut short (LastCommandCancelled) has no cause to give.
  if (const char* cause = HostStatusCause(Request.SRB_HaStat);
      Request.SRB_Status == SS_ERR && *cause != '\0' && !LastCommandCancelled) {
    text += " (" + std::string(cause) + ")";
  }
  if (text == msg::kCheckCondition) {
    const TSenseFields sense = DecodeSense(Request.SenseArea);
    if (Request.SenseArea[0] == 0) {
      text.clear();
    } else if (!sense.recognised) {
      text = msg::kUnknown;  // neither fixed nor descriptor format
    } else if (std::string key = SenseKeyText(sense.KeyByte()); !key.empty()) {
      text = key;
    }
  }
  LastError = text;
  DescribeAdditionalSense(Request);
}

void TSCSIDevice::DescribeAdditionalSense(const TSRB_ExecSCSICmd& Request) {
  const TSenseFields sense = DecodeSense(Request.SenseArea);
  std::string text = AdditionalSenseText(sense.asc, sense.ascq);
  std::memcpy(LastSense, Request.SenseArea, sizeof LastSense);
  if (text.empty()) text = StrFormat("%u,%u", sense.asc, sense.ascq);
  // Fixed format holds ASC and ASCQ only when its additional length (byte 7)
  // reaches them; descriptor format always has them in its 8-byte header,
  // byte 7 counting only the descriptors that follow.
  if (Request.SenseArea[7] != 0 || sense.descriptor) LastError += " (" + text + ")";
}

uint8_t TSCSIDevice::LastAsc() const { return DecodeSense(LastSense).asc; }
uint8_t TSCSIDevice::LastAscq() const { return DecodeSense(LastSense).ascq; }
uint8_t TSCSIDevice::LastSenseKey() const { return DecodeSense(LastSense).key; }
bool TSCSIDevice::LastDeferredError() const { return DecodeSense(LastSense).DeferredError(); }

void TSCSIDevice::AdoptRequestSenseData(const uint8_t* Data, int Length) {
  TSRB_ExecSCSICmd request{};
  request.SRB_Status = SS_ERR;
  request.SRB_TargStat = STATUS_CHKCOND;
  std::memcpy(request.SenseArea, Data, static_cast<size_t>(std::clamp(Length, 0, kSenseAreaSize)));
  DescribeError(request);
  last_failure_transport_ = false;  // the drive answered, with sense data
}

}  // namespace zamo
