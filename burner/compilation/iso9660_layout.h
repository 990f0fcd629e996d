// iso9660_layout.h: where each field of the ISO 9660 structures lies, as
// 0-based byte offsets (ECMA-119 8 and 9; Joliet's supplementary
// descriptor). The image writer (compilation/) and the session reader
// (import/) both take their offsets from here: a field has one place,
// whichever side writes or reads it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zamo {

// ---- Volume descriptors (ECMA-119 8.1, 8.4, 8.5) ------------------------------

// Every descriptor of the set begins with its type, "CD001" and version 1.
constexpr size_t kVdType = 0, kVdId = 1, kVdVersion = 6;
constexpr char kVdStandardId[] = "CD001";
constexpr size_t kVdStandardIdLength = 5;
constexpr uint8_t kVdTypeBootRecord = 0, kVdTypePrimary = 1, kVdTypeSupplementary = 2, kVdTypeTerminator = 255;

// The primary and supplementary descriptors. Numbers are both-byte order
// (little-endian copy first) except the path table locations, one per order.
constexpr size_t kVdFlags = 7, kVdSystemId = 8, kVdVolumeId = 40, kVdSpaceSize = 80, kVdEscapes = 88,
                 kVdSetSize = 120, kVdSequence = 124, kVdBlockSize = 128, kVdPathTableSize = 132,
                 kVdPathTableL = 140, kVdPathTableM = 148, kVdRoot = 156, kVdVolumeSetId = 190,
                 kVdPublisherId = 318, kVdPreparerId = 446, kVdApplicationId = 574, kVdCopyrightFile = 702,
                 kVdAbstractFile = 739, kVdBibliographicFile = 776, kVdCreation = 813, kVdModification = 830,
                 kVdExpiration = 847, kVdEffective = 864, kVdStructureVersion = 881, kVdApplicationUse = 883;
// Field lengths: identifiers, the file identifiers (37 bytes, of which
// Joliet uses 36: 18 UCS-2 characters) and the root's directory record.
constexpr size_t kVdShortIdLength = 32, kVdLongIdLength = 128, kVdFileIdLength = 37, kVdRootLength = 34;

// Joliet's escape sequences at kVdEscapes: "%/" then "@", "C" or "E" for
// UCS-2 levels 1, 2 and 3. This program writes level 1.
constexpr uint8_t kJolietEscape[] = {0x25, 0x2F, 0x40};
constexpr uint8_t kJolietLevel2Final = 0x43, kJolietLevel3Final = 0x45;

// ---- Directory record (ECMA-119 9.1) -----------------------------------------

// Extent and size are both-byte order 32-bit, the volume sequence number
// both-byte order 16-bit; the recording date takes 7 bytes.
constexpr size_t kDrLength = 0, kDrExtAttrLength = 1, kDrExtent = 2, kDrSize = 10, kDrDate = 18, kDrFlags = 25,
                 kDrUnitSize = 26, kDrGap = 27, kDrVolumeSeq = 28, kDrIdLength = 32, kDrId = 33;
// 33 fixed bytes and an identifier of at least one byte.
constexpr size_t kDrMinLength = 34;

// File flags (byte 25).
constexpr uint8_t kFlagHidden = 0x01;
constexpr uint8_t kFlagDirectory = 0x02;
constexpr uint8_t kFlagAssociated = 0x04;
constexpr uint8_t kFlagNotFinal = 0x80;  // more extents of the same file follow

// ---- Path table record (ECMA-119 9.4) ----------------------------------------

// The extent and the parent's number are in the table's own byte order.
constexpr size_t kPtIdLength = 0, kPtExtAttrLength = 1, kPtExtent = 2, kPtParent = 6, kPtId = 8;

}  // namespace zamo
