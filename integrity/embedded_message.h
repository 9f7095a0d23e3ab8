// The message an embedded image signature covers, streamed out of the file.
// Shared by the check and the signer so both read exactly the same bytes.
#pragma once

#include <cstdint>
#include <vector>

#include "integrity/pe_ranges.h"
#include "platform/platform.h"

namespace CryptoPP {
class BufferedTransformation;
}

// Read buffer of the message streams: the file passes through it once.
constexpr uint32_t kSignedMessageBlock = 64 * 1024;

// Puts bytes [0, signedLength) of the file, read from its current position
// (the start), into `sink` block by block. With `ranges` (ascending, as
// ComputePeExclusionRanges gives them) those bytes are skipped: the bytes in
// front of each range are read and put, then the range is passed over; a
// short read there throws std::length_error("Unable to read PE file").
// Behind the last range a failed or empty read ends the message early
// without an error; the result tells whether it was complete.
bool PutSignedMessage(platform::FileHandle file, int64_t signedLength, const std::vector<PeExclusionRange>* ranges,
                      CryptoPP::BufferedTransformation& sink);
