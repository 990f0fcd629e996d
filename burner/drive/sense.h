// sense.h: texts for the outcome of a failed command: the additional sense
// code table and the sense-key texts used by TSCSIDevice::DescribeError.
#pragma once

#include <cstdint>
#include <string>

namespace zamo {

// The text of an additional sense code pair (ASC, ASCQ): the standards'
// English description in capitals, or the component's own wording for a few
// pairs; empty for a pair the table does not hold.
const char* AdditionalSenseText(uint8_t asc, uint8_t ascq);

// How many pairs the table holds (for tests).
int AdditionalSenseCount();

// The text of fixed-format sense data's sense key (byte 2); empty when the
// key leaves the status text as it is (keys 9 and 12).
std::string SenseKeyText(uint8_t byte2);

}  // namespace zamo
