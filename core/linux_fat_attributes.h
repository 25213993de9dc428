#pragma once
#include "core/fat_attributes.h"

class LinuxFatAttributes final : public FatAttributes {
 public:
  int read(int fd, std::uint32_t* attributes) override;
};
