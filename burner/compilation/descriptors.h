// descriptors.h: the volume descriptor set (ECMA-119 8): the primary volume
// descriptor, the Joliet supplementary descriptor and the set terminator,
// one 2048-byte sector each.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "burner/platform/date_time.h"

namespace zamo {

using Sector = std::array<uint8_t, 2048>;

struct VolumeIdentifiers {
  std::string system, volume, volume_set, publisher, preparer, application;
  std::string copyright_file, abstract_file, bibliographic_file;
};

struct VolumeFields {
  VolumeIdentifiers ids;
  uint32_t volume_space_size = 0;
  uint32_t path_table_size = 0;
  uint32_t path_table_l = 0;
  uint32_t path_table_m = 0;
  uint32_t root_extent = 0;
  uint32_t root_size = 0;
  TDateTime creation = 0;
  TDateTime modification = 0;
};

// Primary descriptor: text fields upper-cased (a to z) in Windows-1252.
Sector MakePrimaryDescriptor(const VolumeFields& f);
// Joliet supplementary descriptor (UCS-2 level 1): text fields in UTF-16.
Sector MakeJolietDescriptor(const VolumeFields& f);
Sector MakeTerminator();

}  // namespace zamo
