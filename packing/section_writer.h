// Adding the section `.KZBNDL` to a PE32 or PE32+ image: the patched header
// area and where the image's data ends, so that a writer can put the image
// and a chain of known length after it into one output file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct ImageWithSection {
  std::vector<uint8_t> headers;  // the image's first SizeOfHeaders bytes, patched
  uint64_t dataEnd = 0;          // the image's section data ends here; copied unchanged after the headers
  uint64_t chainStart = 0;       // the chain's raw data: the next SectionAlignment boundary after dataEnd
  std::vector<std::string> notes;  // changes besides the new section, one sentence each
};

// One more section header, `.KZBNDL`: raw data of exactly `chainLength`
// bytes at `chainStart`, VirtualSize equal to it, initialised read-only
// data; NumberOfSections, SizeOfImage and SizeOfInitializedData updated,
// CheckSum zeroed. A COFF symbol table at the end of the image is dropped
// (noted). Refused, with a sentence naming `name` in `*error`: not a PE
// image, no room for the header, a certificate table (sign after adding the
// chain), other data after the sections, a chain that would pass 2 GiB.
// `image` is open for binary reading and `fileSize` bytes long; its
// position moves. Notes made before a refusal are kept.
bool PlanImageWithSection(FILE* image, uint64_t fileSize, const std::string& name, uint64_t chainLength,
                          ImageWithSection* plan, std::string* error);
