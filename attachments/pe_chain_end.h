// Where an attachment chain ends in a PE file: at the end of the last
// section's raw data, or, in a signed 32-bit image whose chain was appended
// after the image, just below the certificate table.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/platform.h"

// End of the last section-table entry's raw data (top bit cleared), or -1.
// Failures write "Error reading file", "Invalid DOS Sig" or "Invalid NT Sig"
// to standard output. Only the headers are read; the stream position moves.
int32_t PeRawDataEnd(FILE* container);

// How many bytes of the file lie after the chain's end; 0 puts the end at the
// end of the file (not a PE image, not signed, any check failing).
// `sizeHint` is the file size or 0 to have it queried. `belowCertificate` 1
// searches the 63 bytes below a 32-bit image's certificate table for the last
// trailer's magic; any other value takes the end of the last section.
// Reads only the headers (and those 63 bytes); the file position is kept.
uint32_t PeTrailingDataSize(platform::FileHandle file, uint32_t sizeHint, uint16_t belowCertificate);
