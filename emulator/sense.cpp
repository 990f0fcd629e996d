// sense.cpp: encoding fixed-format sense data.
#include "emulator/sense.h"

namespace zamo::emu {

TSenseBytes EncodeSense(const TSense& sense) {
  TSenseBytes bytes{};
  bytes[0] = sense.deferred ? 0x71 : 0x70;
  bytes[2] = sense.code.key & 0x0F;
  bytes[7] = kFixedSenseLength - 8;  // additional length: bytes 8 to 17
  if (sense.information) {
    bytes[0] |= 0x80;  // VALID
    for (int i = 0; i < 4; ++i) bytes[3 + i] = static_cast<uint8_t>(*sense.information >> (24 - 8 * i));
  }
  bytes[12] = sense.code.asc;
  bytes[13] = sense.code.ascq;
  switch (sense.specific) {
    case TSense::TSpecific::kNone:
      break;
    case TSense::TSpecific::kProgress:
      bytes[15] = 0x80;  // SKSV
      break;
    case TSense::TSpecific::kCdbField:
      bytes[15] = 0x80 | 0x40;  // SKSV, C/D = the field is in the CDB
      break;
    case TSense::TSpecific::kParameterField:
      bytes[15] = 0x80;  // SKSV, C/D clear = the field is in the parameter list
      break;
  }
  if (sense.specific != TSense::TSpecific::kNone) {
    bytes[16] = static_cast<uint8_t>(sense.specific_value >> 8);
    bytes[17] = static_cast<uint8_t>(sense.specific_value);
  }
  return bytes;
}

TSenseBytes NoSense() { return EncodeSense(TSense::Of({kNoSense, 0, 0})); }

}  // namespace zamo::emu
