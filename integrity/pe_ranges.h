// The byte ranges of a PE image that a header-excluding embedded signature
// leaves out: fields that Authenticode signing and section appending change.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/platform.h"

struct PeExclusionRange {
  uint32_t offset;
  uint32_t length;
};

// Appends, in ascending file order, the five ranges of a PE32 (i386) or
// PE32+ (AMD64) image with 1 to 15 sections: NumberOfSections, SizeOfImage,
// CheckSum, the certificate table's directory entry, and the header area
// behind the section table (from the last section header on when the last
// section is ".KZBNDL"). Reads only the headers; the handle's file position
// is restored. False, without a message, for anything else.
bool ComputePeExclusionRanges(platform::FileHandle file, std::vector<PeExclusionRange>* ranges);
