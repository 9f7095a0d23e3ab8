// Files the micro-benchmarks work on, written once per process into a
// temporary folder: the same bytes on every run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kzbench {

// Pseudo-random bytes (incompressible).
std::vector<uint8_t> RandomContent(size_t size, uint32_t seed);
// Sentences over a small vocabulary: about 3:1 under zlib level 9.
std::vector<uint8_t> TextContent(size_t size, uint32_t seed);
// Half of the entries random, half text-like, as in the end-to-end workload.
std::vector<uint8_t> MixedContent(size_t index, size_t size);

// A folder removed with its content when the process ends.
const std::string& ScratchDir();
std::wstring Wide(const std::string& path);

// A file of `payloadMiB` bytes of mixed content followed by a chain holding
// it as "LOAD"; the chain ends at the end of the file.
std::string AttachmentContainer(size_t payloadMiB);
// A signed bundle (goal "IBND") of `entries` entries of `entryKiB` each
// (together 1 MiB pieces of random and text-like content in turn),
// 1 MiB chunks at zlib level 9, as the installer receives it.
std::string SignedBundle(size_t entries, size_t entryKiB);
// A file of `sizeMiB` bytes with an "_SG2" record that signs all of it.
std::string SignedImage(size_t sizeMiB);

}  // namespace kzbench
