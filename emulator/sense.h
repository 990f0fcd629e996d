// sense.h: fixed-format sense data (SPC-3 4.5.3) and the sense codes the
// emulated recorder reports, named as the SCSI and MMC standards name them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "emulator/drive_config.h"

namespace zamo::emu {

constexpr size_t kFixedSenseLength = 18;  // response code 70h, additional length 10
using TSenseBytes = std::array<uint8_t, kFixedSenseLength>;

// Sense keys.
constexpr uint8_t kNoSense = 0x0;
constexpr uint8_t kNotReady = 0x2;
constexpr uint8_t kMediumError = 0x3;
constexpr uint8_t kIllegalRequest = 0x5;
constexpr uint8_t kUnitAttention = 0x6;
constexpr uint8_t kDataProtect = 0x7;

namespace sense {
constexpr TSenseCode kBecomingReady{kNotReady, 0x04, 0x01};          // LOGICAL UNIT IS IN PROCESS OF BECOMING READY
constexpr TSenseCode kFormatInProgress{kNotReady, 0x04, 0x04};       // ... FORMAT IN PROGRESS
constexpr TSenseCode kOperationInProgress{kNotReady, 0x04, 0x07};    // ... OPERATION IN PROGRESS
constexpr TSenseCode kLongWriteInProgress{kNotReady, 0x04, 0x08};    // ... LONG WRITE IN PROGRESS
constexpr TSenseCode kParameterListLength{kIllegalRequest, 0x1A, 0x00};  // PARAMETER LIST LENGTH ERROR
constexpr TSenseCode kInvalidOpcode{kIllegalRequest, 0x20, 0x00};    // INVALID COMMAND OPERATION CODE
constexpr TSenseCode kLbaOutOfRange{kIllegalRequest, 0x21, 0x00};    // LOGICAL BLOCK ADDRESS OUT OF RANGE
constexpr TSenseCode kInvalidWriteAddress{kIllegalRequest, 0x21, 0x02};  // INVALID ADDRESS FOR WRITE
constexpr TSenseCode kInvalidCdbField{kIllegalRequest, 0x24, 0x00};  // INVALID FIELD IN CDB
constexpr TSenseCode kInvalidParameterField{kIllegalRequest, 0x26, 0x00};  // INVALID FIELD IN PARAMETER LIST
constexpr TSenseCode kWriteProtected{kDataProtect, 0x27, 0x00};      // WRITE PROTECTED
constexpr TSenseCode kMediumChanged{kUnitAttention, 0x28, 0x00};     // NOT READY TO READY CHANGE, MEDIUM MAY HAVE CHANGED
constexpr TSenseCode kCommandSequence{kIllegalRequest, 0x2C, 0x00};  // COMMAND SEQUENCE ERROR
constexpr TSenseCode kIncompatibleMedium{kIllegalRequest, 0x30, 0x00};   // INCOMPATIBLE MEDIUM INSTALLED
constexpr TSenseCode kCannotWriteIncompatible{kIllegalRequest, 0x30, 0x05};  // CANNOT WRITE MEDIUM - INCOMPATIBLE FORMAT
constexpr TSenseCode kCannotFormat{kIllegalRequest, 0x30, 0x06};     // CANNOT FORMAT MEDIUM - INCOMPATIBLE MEDIUM
constexpr TSenseCode kMediumNotFormatted{kIllegalRequest, 0x30, 0x10};  // MEDIUM NOT FORMATTED
constexpr TSenseCode kSavingNotSupported{kIllegalRequest, 0x39, 0x00};  // SAVING PARAMETERS NOT SUPPORTED
constexpr TSenseCode kNoMedium{kNotReady, 0x3A, 0x00};               // MEDIUM NOT PRESENT
constexpr TSenseCode kNoMediumTrayClosed{kNotReady, 0x3A, 0x01};     // MEDIUM NOT PRESENT - TRAY CLOSED
constexpr TSenseCode kNoMediumTrayOpen{kNotReady, 0x3A, 0x02};       // MEDIUM NOT PRESENT - TRAY OPEN
constexpr TSenseCode kRemovalPrevented{kIllegalRequest, 0x53, 0x02};  // MEDIUM REMOVAL PREVENTED
constexpr TSenseCode kIllegalModeForTrack{kIllegalRequest, 0x64, 0x00};  // ILLEGAL MODE FOR THIS TRACK
constexpr TSenseCode kPowerCalibrationError{kMediumError, 0x73, 0x03};  // POWER CALIBRATION AREA ERROR
}  // namespace sense

// One piece of sense data before it is encoded.
struct TSense {
  TSenseCode code;
  bool deferred = false;  // response code 71h: the error belongs to an earlier command
  // Sense-key specific bytes 15-17: progress of a long operation (0 to
  // 65535) or the byte of the CDB / parameter list holding a bad field.
  enum class TSpecific { kNone, kProgress, kCdbField, kParameterField } specific = TSpecific::kNone;
  uint16_t specific_value = 0;
  // The information field (bytes 3-6) with the VALID bit (response code
  // F0h/F1h): the block a medium or hardware error happened at.
  std::optional<uint32_t> information = std::nullopt;

  static TSense Of(TSenseCode code) { return TSense{code}; }
  static TSense CdbField(uint16_t byte) {
    return TSense{sense::kInvalidCdbField, false, TSpecific::kCdbField, byte};
  }
  static TSense ParameterField(uint16_t byte) {
    return TSense{sense::kInvalidParameterField, false, TSpecific::kParameterField, byte};
  }
  static TSense Progress(TSenseCode code, uint16_t fraction) {
    return TSense{code, false, TSpecific::kProgress, fraction};
  }
};

TSenseBytes EncodeSense(const TSense& sense);
// The answer of REQUEST SENSE when nothing is to be reported.
TSenseBytes NoSense();

}  // namespace zamo::emu
