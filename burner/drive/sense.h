// sense.h: reading sense data in either of its SPC formats, and the texts
// for the outcome of a failed command: the additional sense code table and
// the sense-key texts used by TSCSIDevice::DescribeError.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace zamo {

// What sense data says, whichever format the drive chose (SPC-4 4.5). The
// response code is byte 0 without bit 7 (VALID in fixed format: the
// information field holds something, F0h is 70h with it set):
//   70h current, 71h deferred: fixed format, key in byte 2, ASC/ASCQ at 12-13;
//   72h current, 73h deferred: descriptor format, key, ASC, ASCQ at 1-3.
// A deferred error belongs to an earlier command that already returned
// GOOD: an operation started with the immediate bit (a blank, a format, a
// close) that failed later. Any other response code (0 when the drive wrote
// nothing) is read at the fixed-format places, as it always was.
struct TSenseFields {
  uint8_t response_code = 0;  // byte 0 & 7Fh
  uint8_t key = 0;            // sense key, 0 to 15
  uint8_t asc = 0;
  uint8_t ascq = 0;
  // Fixed format's byte 2 bits 7-5 (FILEMARK, EOM, ILI); in descriptor format
  // from the stream commands descriptor (04h), when there is one.
  uint8_t flags = 0;
  bool recognised = false;  // one of the four SPC formats
  bool descriptor = false;
  bool deferred = false;
  // A deferred error that is one: a deferred RECOVERED ERROR (or no sense)
  // says the operation succeeded.
  bool DeferredError() const { return deferred && key > 1; }
  // The sense-key byte as fixed format spells it: flags, then the key.
  uint8_t KeyByte() const { return static_cast<uint8_t>(flags | key); }
  // The progress indication of a long operation (a blank, a format, a
  // close), in 65536ths done: NO SENSE or NOT READY with SKSV set in the
  // sense-key specific field (fixed format bytes 15-17, or the sense-key
  // specific descriptor 02h). -1 when the drive gave none.
  int32_t progress = -1;
};

// Decodes `sense` (missing bytes count as zero).
TSenseFields DecodeSense(std::span<const uint8_t> sense);

// The text of an additional sense code pair (ASC, ASCQ): the standards'
// English description in capitals, or the component's own wording for a few
// pairs; empty for a pair the table does not hold.
const char* AdditionalSenseText(uint8_t asc, uint8_t ascq);

// How many pairs the table holds (for tests).
int AdditionalSenseCount();

// The text of fixed-format sense data's sense key (byte 2); empty when the
// key leaves the status text as it is (keys 9 and 12).
std::string SenseKeyText(uint8_t byte2);

// A command the transport could not carry, in the user's words: `error` is
// the errno the device node `node` gave (access refused, in use, no disc,
// unplugged, input/output error, no answer), any other errno by its name and
// the system's text.
std::string TransportErrorText(int error, const std::string& node);

// The likely cause of a host adapter status (a failure below SCSI: time-out,
// drive unreachable, reset, lost sense data ...), in French; empty for
// HASTAT_OK and for statuses that need no explanation.
const char* HostStatusCause(uint8_t host_adapter_status);

}  // namespace zamo
